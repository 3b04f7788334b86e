#!/usr/bin/env bash
# The Debian package of the build folder $1, installed with apt into an overlay of this
# machine's root (the machine itself does not change): it makes the data root and a commented
# configuration, keeps both on reinstall, serves a CGI request and, run as its systemd unit
# says, FastCGI requests, and leaves the data behind when removed. Needs root; skipped (77)
# where a mount namespace or an overlay cannot be made.
set -uo pipefail
build=$(cd "$1" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "skip: installing a package needs root"; exit 77; }
for tool in cpack apt-get unshare setpriv cgi-fcgi; do
  command -v "$tool" >/dev/null || { echo "skip: $tool is not installed"; exit 77; }
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/package" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; exit 1; }
deb=$(ls "$tmp"/package/*.deb)
mkdir -p "$tmp/upper" "$tmp/work" "$tmp/root"

# The checks, run inside the overlay as root of it.
cat >"$tmp/checks.sh" <<'CHECKS'
set -uo pipefail
deb=$1
failed=0
fail() { echo "FAIL $*"; failed=1; }
owner() { stat -c %U "$1"; }
config=/var/lib/orvo/c/Orvo/Orvo.Net/Config/Orvo.Config
sample=/usr/share/orvo-webserver-uploadxml/Orvo.Config.sample
unit=/usr/lib/systemd/system/orvo-webserver-uploadxml-fastcgi.service
install_package() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" "$deb" >/tmp/apt.log 2>&1 ||
    { cat /tmp/apt.log; fail "apt-get install $*"; }
}

install_package
for dir in /var/lib/orvo /var/lib/orvo/c /var/lib/orvo/d "$(dirname "$config")"; do
  [ -d "$dir" ] && [ "$(owner "$dir")" = www-data ] || fail "$dir is missing or not www-data's"
done
cmp -s "$sample" "$config" || fail "the configuration is not the commented sample"
[ "$(owner "$config")" = www-data ] || fail "the configuration is not www-data's"
grep -qv '^;' <(tr -d '\r' <"$config" | grep -v '^$') && fail "the sample configuration has active lines"

# A configuration of the operator's own, and data, survive a reinstall.
printf '[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\Lotes\r\n' >"$config"
cp "$config" /tmp/config.before
install_package --reinstall
cmp -s /tmp/config.before "$config" || fail "the reinstall changed the configuration"

# A CGI request, as a web server would start the program as www-data.
batch='tag=PED001&representante=8137&coddh=20240815093012000&totallote=00152390&xmldata=pacote'
cgi() {
  printf '%s' "$batch" | env -i ORVO_ROOT=/var/lib/orvo LANG=pt_BR.UTF-8 REQUEST_METHOD=POST \
    SERVER_PROTOCOL=HTTP/1.1 GATEWAY_INTERFACE=CGI/1.1 PATH_INFO="$1" CONTENT_LENGTH=${#batch} \
    setpriv --reuid=www-data --regid=www-data --init-groups "${@:2}"
}
cgi /uploadxml /usr/bin/OrvoWebServerUploadXML >/tmp/cgi.out
grep -q '^Status: 200 OK' /tmp/cgi.out || fail "CGI upload answered: $(head -c 200 /tmp/cgi.out)"
[ -f /var/lib/orvo/d/Lotes/VESTRA/PED001813720240815093012000001523903.dwl ] ||
  fail "the CGI upload stored nothing"

# The FastCGI workers, started as the unit starts them (no systemd here).
socket=/run/orvo-webserver-uploadxml/fastcgi.sock
install -d -m 0750 -o www-data -g www-data /run/orvo-webserver-uploadxml
command=$(sed -n 's/^ExecStart=//p' "$unit")
environment=$(sed -n 's/^Environment=//p' "$unit")
(umask 0007; env -i $environment setpriv --reuid=www-data --regid=www-data --init-groups \
  $command </dev/null >/tmp/worker.log 2>&1 &
 echo $! >/tmp/worker.pid)
for _ in $(seq 1 50); do [ -S "$socket" ] && break; sleep 0.1; done
printf '%s' "$batch" | env -i REQUEST_METHOD=POST SERVER_PROTOCOL=HTTP/1.1 PATH_INFO=/xmlverify \
  CONTENT_LENGTH=${#batch} cgi-fcgi -bind -connect "$socket" >/tmp/fastcgi.out 2>&1
grep -q 'Total do Lote: 1.523,90' /tmp/fastcgi.out ||
  fail "FastCGI verification answered: $(head -c 300 /tmp/fastcgi.out) $(cat /tmp/worker.log)"
kill "$(cat /tmp/worker.pid)"

DEBIAN_FRONTEND=noninteractive apt-get remove -y -q orvo-webserver-uploadxml >/tmp/apt.log 2>&1 ||
  fail "apt-get remove"
[ ! -e /usr/bin/OrvoWebServerUploadXML ] || fail "the program is still there after removal"
cmp -s /tmp/config.before "$config" || fail "the removal took the configuration"
[ -f /var/lib/orvo/d/Lotes/VESTRA/PED001813720240815093012000001523903.xml ] ||
  fail "the removal took the data"
[ "$failed" -eq 0 ] && echo "package: installs, keeps, serves CGI and FastCGI, removes"
exit "$failed"
CHECKS

cp "$deb" "$tmp/orvo.deb"
unshare -m bash -c '
  set -e
  tmp=$1
  mount -t overlay overlay -o "lowerdir=/,upperdir=$tmp/upper,workdir=$tmp/work" "$tmp/root" 2>/dev/null ||
    { echo "skip: no overlay file system here"; exit 77; }
  mount -t proc proc "$tmp/root/proc"
  mount --rbind /dev "$tmp/root/dev"
  mount -t tmpfs tmpfs "$tmp/root/run"
  mount -t tmpfs tmpfs "$tmp/root/tmp"
  cp "$tmp/checks.sh" "$tmp/orvo.deb" "$tmp/root/tmp/"
  chroot "$tmp/root" bash /tmp/checks.sh /tmp/orvo.deb
' _ "$tmp"
