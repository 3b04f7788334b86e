# A replicated GlusterFS volume on this machine, mounted through FUSE: two bricks in a work
# folder, served over loopback by glusterd, which these functions start without systemd and stop
# again (unless one was already running). Shared by the shared-store test and the benchmark.
# Needs common.sh; runs as root.

GLUSTER_PACKAGES=(glusterfs-server glusterfs-client)
# A loopback address glusterd takes for its own (it refuses 127.0.0.1 and localhost for bricks),
# so nothing travels beyond this machine whatever the host name resolves to.
GLUSTER_HOST=127.0.1.1

# Prints why a FUSE file system cannot be mounted here; nothing when it can.
fuse_missing() {
  [ -c /dev/fuse ] || { echo "/dev/fuse is missing"; return; }
  grep -qw fuse /proc/filesystems || modprobe fuse 2>/dev/null || true
  grep -qw fuse /proc/filesystems || echo "the kernel has no FUSE file system"
}

gluster_cli() { gluster --mode=script "$@"; }

# gluster_start_volume DIR NAME: glusterd (started when none answers; stopped on exit), then the
# volume NAME, replica 2, with the bricks DIR/b1 and DIR/b2, started. Removed again on exit.
gluster_start_volume() {
  local dir=$1 name=$2
  mkdir -p /var/log/glusterfs "$dir/b1" "$dir/b2"
  if ! gluster_cli volume list >/dev/null 2>&1; then
    glusterd -p "$dir/glusterd.pid" --log-file="$dir/glusterd.log" || die "glusterd did not start"
    on_exit "gluster_stop_glusterd '$dir/glusterd.pid'"
    for _ in $(seq 1 100); do
      gluster_cli volume list >/dev/null 2>&1 && break
      sleep 0.1
    done
  fi
  gluster_cli volume create "$name" replica 2 "$GLUSTER_HOST:$dir/b1" "$GLUSTER_HOST:$dir/b2" force \
    >/dev/null || die "gluster refused to create the volume $name"
  on_exit "gluster_cli volume stop '$name' force >/dev/null 2>&1; gluster_cli volume delete '$name' >/dev/null 2>&1"
  gluster_cli volume start "$name" >/dev/null || die "the volume $name did not start"
}

# Stops the glusterd of the pid file $1 (stopping the volume has stopped its bricks and healer).
gluster_stop_glusterd() {
  local pid
  pid=$(cat "$1" 2>/dev/null) && stop_server "$pid"
  return 0
}

# gluster_mount NAME FOLDER: mounts the volume NAME on FOLDER (a FUSE client of its own);
# unmounted on exit.
gluster_mount() {
  local name=$1 folder=$2
  mkdir -p "$folder"
  mount -t glusterfs "$GLUSTER_HOST:/$name" "$folder" || die "the volume $name did not mount on $folder"
  on_exit "umount -l '$folder' 2>/dev/null"
}

# Prints the pid of the process serving the brick folder $2 of volume $1.
gluster_brick_pid() {
  gluster_cli volume status "$1" --xml |
    sed -n 's#.*<path>\(.*\)</path>.*#path \1#p; s#.*<pid>\(.*\)</pid>.*#pid \1#p' |
    awk -v brick="$2" '$1 == "path" { found = $2 == brick } $1 == "pid" && found { print $2; exit }'
}

# gluster_heal NAME: brings stopped bricks back, heals, and waits (two minutes at most) until every
# brick answers and no entry awaits healing; false otherwise.
gluster_heal() {
  local name=$1 info
  gluster_cli volume start "$name" force >/dev/null || return 1
  for _ in $(seq 1 240); do
    gluster_cli volume heal "$name" >/dev/null 2>&1
    info=$(gluster_cli volume heal "$name" info)
    # Healed: every brick answers, with nothing left to heal. A brick that is still not connected
    # (its restart lost, or its clients not back yet) is started again.
    if grep -q 'not connected' <<<"$info"; then
      gluster_cli volume start "$name" force >/dev/null 2>&1
    elif [ "$(awk '/^Number of entries:/ { n += $4 } END { print n + 0 }' <<<"$info")" = 0 ]; then
      return 0
    fi
    sleep 0.5
  done
  return 1
}
