#!/usr/bin/env bash
# Requests per second of /xmlverify through nginx, once with the program as CGI behind fcgiwrap
# (a process per request) and once as resident FastCGI workers, measured with wrk on loopback.
# Prints one table row per front and their ratio.
#
#   bench/fastcgi.sh [--program PATH] [--duration SECONDS] [--connections N] [--workers N]
#
# The program defaults to build-release/OrvoWebServerUploadXML; both fronts get as many
# processes (fcgiwrap children, FastCGI workers) as the machine has cores. Needs nginx, fcgiwrap
# and wrk (Debian packages); run as root, the servers and the program run as www-data.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/common.sh"
source "$ORVO_TOP/scripts/lib/http.sh"

program=$ORVO_TOP/build-release/OrvoWebServerUploadXML
duration=10
connections=8
workers=$(nproc)
while [ $# -gt 0 ]; do
  case $1 in
    --program) program=$2 ;;
    --duration) duration=$2 ;;
    --connections) connections=$2 ;;
    --workers) workers=$2 ;;
    *) die "unknown argument $1 (see the head of $0)" ;;
  esac
  shift 2
done
[ -x "$program" ] || die "no program at $program: build it first"
for tool in nginx fcgiwrap wrk; do command -v "$tool" >/dev/null || die "$tool is not installed"; done

tmp=$(mktemp -d)
on_exit "rm -rf '$tmp'"
chmod 755 "$tmp"
user=""
[ "$(id -u)" -eq 0 ] && user=www-data
mkdir -p "$tmp/bin" "$tmp/root/c/Orvo/Orvo.Net/Config" "$tmp/root/d/Movel/Lotes" "$tmp/cgi" "$tmp/fastcgi"
cp "$program" "$tmp/bin/OrvoWebServerUploadXML"
program=$tmp/bin/OrvoWebServerUploadXML
printf '[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\Movel\\Lotes\r\n' >"$tmp/root/c/Orvo/Orvo.Net/Config/Orvo.Config"
[ -n "$user" ] && chown -R "$user:$user" "$tmp/root" "$tmp/cgi" "$tmp/fastcgi"

# A verification of a batch that was never uploaded: reads the configuration, looks for the
# file, answers "Erro"; it changes nothing, so every request does the same work.
cat >"$tmp/xmlverify.lua" <<'EOF'
wrk.method = "POST"
wrk.body = "tag=PED001&representante=8137&coddh=20240815093012000&totallote=00152390"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
EOF

# measure STATE: wrk against the server of STATE; prints the requests per second.
measure() {
  local url=http://127.0.0.1:$SERVER_PORT/orvo/xmlverify
  local answer
  answer=$(curl -s -d tag=PED001 -d representante=8137 -d coddh=20240815093012000 -d totallote=00152390 "$url")
  [ "$answer" = Erro ] || die "$url answered '$answer' instead of Erro"
  wrk -t 2 -c "$connections" -d "${duration}s" -s "$tmp/xmlverify.lua" "$url" >"$1/wrk.txt"
  grep -q 'Non-2xx' "$1/wrk.txt" && die "failed requests: $(cat "$1/wrk.txt")"
  awk '/^Requests\/sec:/ { printf "%.0f", $2 }' "$1/wrk.txt"
}

# CGI: nginx hands each request to fcgiwrap, which starts the program.
export ORVO_FCGI_SOCKET=$tmp/cgi/fcgiwrap.socket ORVO_FCGIWRAP_CHILDREN=$workers
orvo_mount_conf nginx "$program" "$tmp/root" >"$tmp/cgi/orvo.conf"
start_web_server nginx "$tmp/cgi" 0 "$user" "$tmp/cgi/orvo.conf"
on_exit "stop_server $SERVER_PID"
cgi=$(measure "$tmp/cgi")
stop_server "$SERVER_PID"
unset ORVO_FCGI_SOCKET

# FastCGI: nginx talks to the resident workers.
start_fastcgi_worker "$tmp/fastcgi/worker.log" "$tmp/fastcgi/orvo.sock" "$user" "$program" \
  "$workers" ORVO_ROOT="$tmp/root" LANG=pt_BR.UTF-8
on_exit "stop_server $WORKER_PID"
orvo_mount_conf nginx-fastcgi "$program" "$tmp/root" "" "" "$tmp/fastcgi/orvo.sock" >"$tmp/fastcgi/orvo.conf"
start_web_server nginx "$tmp/fastcgi" 0 "$user" "$tmp/fastcgi/orvo.conf"
on_exit "stop_server $SERVER_PID"
fastcgi=$(measure "$tmp/fastcgi")

printf '| %-44s | %12s |\n' "/xmlverify, $connections connections, ${duration} s" "requests/s"
printf '| %-44s | %12s |\n' "nginx + fcgiwrap + CGI ($workers children)" "$cgi"
printf '| %-44s | %12s |\n' "nginx + FastCGI ($workers workers)" "$fastcgi"
printf '| %-44s | %11sx |\n' "FastCGI / CGI" "$(awk -v a="$fastcgi" -v b="$cgi" 'BEGIN { printf "%.1f", a / b }')"
