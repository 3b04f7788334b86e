#!/usr/bin/env bash
# The package's FastCGI unit run by systemd in a booted Debian container (scripts/lib/container.sh):
# the checks of container_checks.sh against the package of the build folder $1 and the Firebird
# server of ORVO_TEST_FB_*. Needs root; skipped (77) only where the container cannot boot.
set -uo pipefail
build=$(cd "$1" && pwd)
source "$(dirname "$0")/../../scripts/lib/common.sh"
source "$ORVO_TOP/scripts/lib/container.sh"
[ "$(id -u)" -eq 0 ] || { echo "skip: booting a container needs root"; exit 77; }
[ -n "${ORVO_TEST_FB_DATABASE:-}" ] || die "ORVO_TEST_FB_* must name the test run's Firebird database"
tmp=$(mktemp -d)
on_exit "rm -rf '$tmp'"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/package" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; exit 1; }
container_rootfs || { echo "skip: the root file system cannot be made"; exit 77; }
container_boot "$tmp/container" || { echo "skip: no booted container here"; exit 77; }
cp "$tmp"/package/*.deb "$tmp/container/root/root/orvo.deb"
cp "$(dirname "$0")/container_checks.sh" "$tmp/container/root/root/"

# The test run's Firebird at an address outside the unit's allow list: this machine's own.
outside=$(ip -4 -o addr show scope global | awk '{ sub("/.*", "", $4); print $4; exit }')
if [ -z "$outside" ]; then
  outside=198.18.0.1
  ip link add orvo-test0 type dummy && ip addr add $outside/32 dev orvo-test0 && ip link set orvo-test0 up
  on_exit "ip link del orvo-test0"
fi
port=$((20000 + $$ % 20000))
socat "TCP-LISTEN:$port,bind=$outside,reuseaddr,fork" TCP:127.0.0.1:3050 &
on_exit "kill $!"

container_run bash /root/container_checks.sh "$ORVO_TEST_FB_DATABASE" "$ORVO_TEST_FB_USER" \
  "$ORVO_TEST_FB_PASSWORD" "$outside/$port"
