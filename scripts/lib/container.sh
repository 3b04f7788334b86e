# A Debian 12 container booted with systemd as its PID 1 (systemd-nspawn), to run the package's
# unit as on a server. Sourced after common.sh (log, on_exit). The root file system is made once
# with mmdebstrap under $ORVO_WORK/container (minutes) and each boot runs on an overlay of it
# (seconds), so the cache never changes.

CONTAINER_PACKAGES=(systemd-container mmdebstrap)
CONTAINER_INCLUDE=systemd,systemd-sysv,dbus,procps,locales,libfbclient2,libfcgi-bin
CONTAINER_CACHE=$ORVO_WORK/container/bookworm
CONTAINER_INIT=""   # the container's PID 1, as this machine numbers it

# Makes the cached root file system unless it holds CONTAINER_INCLUDE already.
container_rootfs() {
  local cache=$CONTAINER_CACHE
  [ "$(cat "$cache/.orvo-packages" 2>/dev/null)" = "$CONTAINER_INCLUDE" ] && return 0
  log "making the container's root file system in $cache"
  rm -rf "$cache" "$cache.new"
  mkdir -p "$(dirname "$cache")"
  mmdebstrap --variant=minbase --include="$CONTAINER_INCLUDE" bookworm "$cache.new" \
    http://deb.debian.org/debian >"$cache.log" 2>&1 || { tail -5 "$cache.log"; return 1; }
  echo 'pt_BR.UTF-8 UTF-8' >"$cache.new/etc/locale.gen"
  printf '127.0.0.1 localhost\n::1 localhost\n' >"$cache.new/etc/hosts"
  chroot "$cache.new" locale-gen >>"$cache.log" 2>&1 && chroot "$cache.new" apt-get clean &&
    echo "$CONTAINER_INCLUDE" >"$cache.new/.orvo-packages" && mv "$cache.new" "$cache"
}

# container_boot DIR: boots an overlay of the cache in DIR (empty) and waits until its systemd
# runs; the container stops and the overlay goes at exit. Fails, saying why, where it cannot.
container_boot() {
  local dir=$1 nspawn state=""
  mkdir -p "$dir/upper" "$dir/work" "$dir/root"
  mount -t overlay overlay -o "lowerdir=$CONTAINER_CACHE,upperdir=$dir/upper,workdir=$dir/work" \
    "$dir/root" || { echo "no overlay file system here"; return 1; }
  on_exit "umount -l '$dir/root'"
  # bpf() and its capability let the container's systemd apply the units' IP address lists.
  systemd-nspawn -q -D "$dir/root" --register=no --keep-unit --capability=CAP_BPF,CAP_NET_ADMIN \
    --system-call-filter=bpf -b >"$dir/boot.log" 2>&1 &
  nspawn=$!
  on_exit "kill $nspawn 2>/dev/null; wait $nspawn"
  for _ in $(seq 1 300); do
    CONTAINER_INIT=$(pgrep -P "$nspawn" -x systemd | head -1)
    [ -n "$CONTAINER_INIT" ] && state=$(container_run systemctl is-system-running 2>/dev/null)
    case "$state" in running | degraded) return 0 ;; esac
    kill -0 "$nspawn" 2>/dev/null || break
    sleep 0.2
  done
  tail -20 "$dir/boot.log"
  echo "the container did not boot (${state:-no answer})"
  return 1
}

# container_run COMMAND...: runs COMMAND as root inside the booted container.
container_run() {
  nsenter -t "$CONTAINER_INIT" -m -u -i -n -p env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
