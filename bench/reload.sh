#!/usr/bin/env bash
# Reloads of the FastCGI pool under a stream of requests: nginx in front of the pool, `ab` sending
# /xmlverify on loopback, and a HUP to the pool every second while it runs. Prints how many
# requests were answered with anything but 200, and the reloads done.
#
#   bench/reload.sh [--program PATH] [--requests N] [--connections N] [--workers N] [--keep-conn]
#
# --keep-conn makes nginx keep its connections to the workers (fastcgi_keep_conn and an
# upstream keepalive pool). Needs nginx and ab (apache2-utils); run as root, the servers and the
# program run as www-data.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/common.sh"
source "$ORVO_TOP/scripts/lib/http.sh"

program=$ORVO_TOP/build-release/OrvoWebServerUploadXML
requests=20000 connections=8 workers=2 keep=0
while [ $# -gt 0 ]; do
  case $1 in
    --program) program=$2 ;;
    --requests) requests=$2 ;;
    --connections) connections=$2 ;;
    --workers) workers=$2 ;;
    --keep-conn) keep=1; shift; continue ;;
    *) die "unknown argument $1 (see the head of $0)" ;;
  esac
  shift 2
done
[ -x "$program" ] || die "no program at $program: build it first"
for tool in nginx ab; do command -v "$tool" >/dev/null || die "$tool is not installed"; done

tmp=$(mktemp -d)
on_exit "rm -rf '$tmp'"
trap run_cleanups EXIT
chmod 755 "$tmp"
user=""
[ "$(id -u)" -eq 0 ] && user=www-data
mkdir -p "$tmp/root/c/Orvo/Orvo.Net/Config" "$tmp/root/d/Movel/Lotes" "$tmp/state"
printf '[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\Movel\\Lotes\r\n' >"$tmp/root/c/Orvo/Orvo.Net/Config/Orvo.Config"
printf 'tag=PED001&representante=8137&coddh=20240815093012000&totallote=00152390' >"$tmp/body"
[ -n "$user" ] && chown -R "$user:$user" "$tmp/root" "$tmp/state"

start_fastcgi_worker "$tmp/state/worker.log" "$tmp/state/orvo.sock" "$user" "$program" \
  "$workers" ORVO_ROOT="$tmp/root" LANG=pt_BR.UTF-8
on_exit "stop_server $WORKER_PID"
orvo_mount_conf nginx-fastcgi "$program" "$tmp/root" "" "" "$tmp/state/orvo.sock" >"$tmp/orvo.conf"
start_web_server nginx "$tmp/state" 0 "$user" "$tmp/orvo.conf"
on_exit "stop_server $SERVER_PID"
# The upstream block belongs to http { }, which start_nginx writes: put it in, then reload.
if [ $keep = 1 ]; then
  printf 'upstream orvo_pool { server unix:%s; keepalive 8; }\n' "$tmp/state/orvo.sock" >"$tmp/upstream.conf"
  sed -i "s#^http {#http {\n  include $tmp/upstream.conf;#" "$tmp/state/nginx.conf"
  sed -i "s#fastcgi_pass unix:$tmp/state/orvo.sock;#fastcgi_keep_conn on; fastcgi_pass orvo_pool;#" "$tmp/orvo.conf"
  nginx -t -q -c "$tmp/state/nginx.conf" -e "$tmp/state/nginx-error.log" || die "nginx refuses the kept connections"
  kill -HUP "$SERVER_PID"
  sleep 1
fi

ab -q -n "$requests" -c "$connections" -p "$tmp/body" -T application/x-www-form-urlencoded \
  "http://127.0.0.1:$SERVER_PORT/orvo/xmlverify" >"$tmp/ab.txt" 2>&1 &
ab=$!
reloads=0
while kill -0 "$ab" 2>/dev/null; do
  sleep 1
  kill -0 "$ab" 2>/dev/null || break
  kill -HUP "$WORKER_PID"
  reloads=$((reloads + 1))
done
wait "$ab" || die "ab failed: $(cat "$tmp/ab.txt")"

complete=$(awk '/^Complete requests:/ { print $3 }' "$tmp/ab.txt")
failed=$(awk '/^Failed requests:/ { print $3 }' "$tmp/ab.txt")
non200=$(awk '/^Non-2xx responses:/ { print $3 }' "$tmp/ab.txt")
rate=$(awk '/^Requests per second:/ { print $4 }' "$tmp/ab.txt")
printf '| requests | connections | workers | kept connections | reloads | non-200 | failed | requests/s |\n'
printf '|---|---|---|---|---|---|---|---|\n'
printf '| %s | %s | %s | %s | %s | %s | %s | %s |\n' "$complete" "$connections" "$workers" \
  "$([ $keep = 1 ] && echo yes || echo no)" "$reloads" "${non200:-0}" "$failed" "$rate"
grep -c 'reloading (HUP)' "$tmp/state/worker.log" >/dev/null || die "the pool never reloaded"
