#!/usr/bin/env bash
# The FastCGI unit as shipped, run by systemd as on a server: boots a Debian container
# (systemd-nspawn, its root file system cached under $ORVO_WORK/container), installs the Debian
# package of the build folder $1 in it and checks, through the unit's socket: all eight
# endpoints (the manuals against the Firebird server named by ORVO_TEST_FB_*), a reload and a
# stop under a stream of uploads with no request lost, and that the sandbox holds where the
# program's own checks are out of play: with ORVO_ROOT=/ an upload into /etc or /usr is refused
# by the file system, and the database is out of reach at an address that the unit does not
# allow. Needs root; skipped (77) only where the container cannot be made or cannot boot.
set -uo pipefail
build=$(cd "$1" && pwd)
source "$(dirname "$0")/../../scripts/lib/common.sh"
[ "$(id -u)" -eq 0 ] || { echo "skip: booting a container needs root"; exit 77; }
for tool in cpack debootstrap systemd-nspawn nsenter socat; do
  command -v "$tool" >/dev/null || { echo "skip: $tool is not installed"; exit 77; }
done
[ -n "${ORVO_TEST_FB_DATABASE:-}" ] ||
  die "ORVO_TEST_FB_DATABASE, _USER and _PASSWORD must name the test run's Firebird database"

# The root file system, made once (about ten minutes; each later run reuses it).
packages=systemd,systemd-sysv,dbus,procps,locales,libfbclient2,libfcgi-bin
cache=$ORVO_WORK/container/bookworm
if [ "$(cat "$cache/.orvo-packages" 2>/dev/null)" != "$packages" ]; then
  log "making the container's root file system in $cache"
  rm -rf "$cache" "$cache.new"
  mkdir -p "$(dirname "$cache")"
  debootstrap --variant=minbase --include="$packages" bookworm "$cache.new" \
    http://deb.debian.org/debian >"$cache.log" 2>&1 ||
    { tail -5 "$cache.log"; echo "skip: debootstrap failed ($cache.log)"; exit 77; }
  echo 'pt_BR.UTF-8 UTF-8' >"$cache.new/etc/locale.gen"
  printf '127.0.0.1 localhost\n::1 localhost\n' >"$cache.new/etc/hosts"
  chroot "$cache.new" locale-gen >>"$cache.log" 2>&1
  chroot "$cache.new" apt-get clean
  echo "$packages" >"$cache.new/.orvo-packages"
  mv "$cache.new" "$cache"
fi

tmp=$(mktemp -d)
on_exit "rm -rf '$tmp'"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/package" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; exit 1; }

# The container runs on an overlay of the cache, which stays as it is.
mkdir -p "$tmp/upper" "$tmp/work" "$tmp/root"
mount -t overlay overlay -o "lowerdir=$cache,upperdir=$tmp/upper,workdir=$tmp/work" "$tmp/root" ||
  { echo "skip: no overlay file system here"; exit 77; }
on_exit "umount -l '$tmp/root'"
cp "$tmp"/package/*.deb "$tmp/root/root/orvo.deb"
cp "$(dirname "$0")/container_checks.sh" "$tmp/root/root/"

# A database address outside the unit's allow list (this machine's own, not loopback) that
# leads to the test run's Firebird server.
outside=$(ip -4 -o addr show scope global 2>/dev/null | awk '{ sub("/.*", "", $4); print $4; exit }')
if [ -z "$outside" ]; then
  ip link add orvo-test0 type dummy && ip addr add 198.18.0.1/32 dev orvo-test0 &&
    ip link set orvo-test0 up || { echo "skip: no address besides loopback can be made"; exit 77; }
  on_exit "ip link del orvo-test0"
  outside=198.18.0.1
fi
port=$((20000 + $$ % 20000))
socat "TCP-LISTEN:$port,bind=$outside,reuseaddr,fork" TCP:127.0.0.1:3050 &
on_exit "kill $!"

# The container's systemd needs bpf() for the units' IP address lists.
systemd-nspawn -q -D "$tmp/root" --register=no --keep-unit --capability=CAP_BPF,CAP_NET_ADMIN \
  --system-call-filter=bpf -b >"$tmp/boot.log" 2>&1 &
nspawn=$!
on_exit "kill $nspawn 2>/dev/null; wait $nspawn"
init=""
for _ in $(seq 1 100); do
  init=$(pgrep -P "$nspawn" -x systemd | head -1)
  [ -n "$init" ] && break
  kill -0 "$nspawn" 2>/dev/null || break
  sleep 0.1
done
inside() { nsenter -t "$init" -m -u -i -n -p env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
state=""
for _ in $(seq 1 300); do
  [ -n "$init" ] || break
  state=$(inside systemctl is-system-running 2>/dev/null)
  case "$state" in running | degraded | maintenance | stopping | offline) break ;; esac
  sleep 0.2
done
case "$state" in
  running | degraded) ;;
  *) tail -20 "$tmp/boot.log"; echo "skip: the container did not boot (${state:-no answer})"; exit 77 ;;
esac

inside bash /root/container_checks.sh "$ORVO_TEST_FB_DATABASE" "$ORVO_TEST_FB_USER" \
  "$ORVO_TEST_FB_PASSWORD" "$outside/$port"
