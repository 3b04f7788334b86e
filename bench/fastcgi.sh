#!/usr/bin/env bash
# Requests per second of /xmlverify through nginx, once with the program as CGI behind fcgiwrap
# (a process per request) and once as resident FastCGI workers, measured with wrk on loopback.
# Prints one table row per front and their ratio. Then, with the resident workers, requests per
# second of a verification of a missing batch and of uploads each followed by its verification,
# in store folders of 2,000 and 20,000 batches, each round beside the same in an empty folder.
# Last, 4 workers behind nginx for 32 clients: without and with kept connections
# (fastcgi_keep_conn), then with 1,000 silent connections to the workers held open.
#
#   bench/fastcgi.sh [--program PATH] [--duration SECONDS] [--connections N] [--workers N]
#                    [--rounds N]
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
rounds=3
while [ $# -gt 0 ]; do
  case $1 in
    --program) program=$2 ;;
    --duration) duration=$2 ;;
    --connections) connections=$2 ;;
    --workers) workers=$2 ;;
    --rounds) rounds=$2 ;;
    *) die "unknown argument $1 (see the head of $0)" ;;
  esac
  shift 2
done
[ -x "$program" ] || die "no program at $program: build it first"
for tool in nginx fcgiwrap wrk python3; do command -v "$tool" >/dev/null || die "$tool is not installed"; done

tmp=$(mktemp -d)
on_exit "rm -rf '$tmp'"
chmod 755 "$tmp"
user=""
[ "$(id -u)" -eq 0 ] && user=www-data
mkdir -p "$tmp/bin" "$tmp/root/c/Orvo/Orvo.Net/Config" "$tmp/root/d/Movel/Lotes" "$tmp/cgi" "$tmp/fastcgi"
cp "$program" "$tmp/bin/OrvoWebServerUploadXML"
program=$tmp/bin/OrvoWebServerUploadXML
printf '[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\Movel\\Lotes\r\n' >"$tmp/root/c/Orvo/Orvo.Net/Config/Orvo.Config"
# Store folders of 0, 2,000 and 20,000 verified batches.
store_sizes="0 2000 20000"
for files in $store_sizes; do
  printf '[Orvo.Mobile.LOJA%s]\r\nPathXML=D:\\Movel\\Lotes\r\n' "$files" >>"$tmp/root/c/Orvo/Orvo.Net/Config/Orvo.Config"
  mkdir -p "$tmp/root/d/Movel/Lotes/LOJA$files"
  [ "$files" = 0 ] || (cd "$tmp/root/d/Movel/Lotes/LOJA$files" && seq -f 'PED00181372024%013g001523903.xml' "$files" | xargs touch)
done
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

# Through the resident workers, in each store folder: a verification of a batch that is not
# there (it looks for a name the folder lacks and changes nothing), and pairs of an upload and
# its verification, each connection with keys of its own, so every upload creates a name and
# every verification moves one, as clients do. The batches a round adds are removed before the
# next one.
cat >"$tmp/store.lua" <<'LUA'
counter, id, threads = 0, 0, 0
function setup(thread)
  threads = threads + 1
  thread:set("id", threads)
end
function init(args)
  store, paired = args[1], args[2] == "pairs"
end
function request()
  counter = counter + 1
  local n = paired and math.floor((counter + 1) / 2) or 0
  local fields = "loja=" .. store .. "&tag=WRK001&representante=8137&coddh=" ..
    string.format("9%02d%014d", id, n) .. "&totallote=00152390"
  local headers = { ["Content-Type"] = "application/x-www-form-urlencoded" }
  if paired and counter % 2 == 1 then
    return wrk.format("POST", "/orvo/uploadxml", headers, fields .. "&xmldata=%3Clote%2F%3E")
  end
  return wrk.format("POST", "/orvo/xmlverify", headers, fields)
end
function response(status, headers, body)
  if status ~= 200 then io.write("answer " .. status .. ": " .. body:sub(1, 300) .. "\n") end
end
LUA

# store_rps FILES MODE: requests per second in the store folder of FILES batches; MODE is
# "missing" or "pairs".
store_rps() {
  local out left folder=$tmp/root/d/Movel/Lotes/LOJA$1
  local clients=$connections
  [ "$2" = pairs ] && clients=2  # one connection per thread keeps each pair in order
  out=$(wrk -t 2 -c "$clients" -d "${duration}s" -s "$tmp/store.lua" \
    "http://127.0.0.1:$SERVER_PORT/orvo/xmlverify" -- "LOJA$1" "$2")
  grep -q '^Requests/sec:' <<<"$out" && ! grep -q 'Non-2xx' <<<"$out" ||
    die "failed requests in LOJA$1: $out"$'\n'"$(tail -n 5 "$tmp/fastcgi/worker.log")"
  left=$(find "$folder" -name 'WRK*.dwl' | wc -l)
  # Every upload was verified (a failed verification leaves its upload), but for the pair of
  # each connection that the end of the round cut.
  [ "$left" -le 2 ] || die "$left uploads in LOJA$1 were not verified"
  find "$folder" -name 'WRK*' -delete
  awk '/^Requests\/sec:/ { printf "%.0f", $2 }' <<<"$out"
}
: >"$tmp/store.rounds"
for round in $(seq 1 "$rounds"); do
  line=""
  for mode in missing pairs; do
    for files in $store_sizes; do line="$line $(store_rps "$files" $mode)"; done
  done
  echo "$line" >>"$tmp/store.rounds"
done
printf '\n| %-44s | %12s | %15s |\n' "FastCGI, ${duration} s rounds" "requests/s" "of empty folder"
awk -v sizes="$store_sizes" '
  function median(a, n,   i, j, t) {
    for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  END {
    count = split(sizes, size, " ")
    split("/xmlverify of a missing batch|upload + verification", what, "|")
    for (m = 0; m < 2; m++) {
      for (k = 1; k <= count; k++) {
        for (r = 1; r <= NR; r++) { a[r] = rps[r, m * count + k]; b[r] = a[r] / rps[r, m * count + 1] }
        printf "| %-44s | %12.0f | %14.2fx |\n", what[m + 1] ", " size[k] " batches", median(a, NR), median(b, NR)
      }
    }
  }
  { for (k = 1; k <= NF; k++) rps[NR, k] = $k }' "$tmp/store.rounds"
printf 'Goal: at 20,000 batches at least a third of the empty folder (medians of %s rounds).\n' "$rounds"
stop_server "$SERVER_PID"

# Kept connections: nginx + 4 workers, 32 clients, without and with fastcgi_keep_conn (an
# upstream pool of 16 kept connections), then with 1,000 connections to the workers' socket that
# send nothing held open meanwhile. Latency is wrk's slowest request.
# kept_row NAME STATE: one row of requests per second and the slowest request.
kept_row() {
  local saved=$connections
  connections=32
  measure "$2" >/dev/null
  connections=$saved
  printf '| %-44s | %12s | %10s |\n' "$1" \
    "$(awk '/^Requests\/sec:/ { printf "%.0f", $2 }' "$2/wrk.txt")" \
    "$(awk '$1 == "Latency" { print $4 }' "$2/wrk.txt")"
}
mkdir -p "$tmp/kept" "$tmp/plain"
[ -n "$user" ] && chown "$user:$user" "$tmp/kept" "$tmp/plain"
start_fastcgi_worker "$tmp/kept/worker.log" "$tmp/kept/orvo.sock" "$user" "$program" 4 \
  ORVO_ROOT="$tmp/root" LANG=pt_BR.UTF-8
on_exit "stop_server $WORKER_PID"
printf '\n| %-44s | %12s | %10s |\n' "/xmlverify, 4 workers, 32 connections" "requests/s" "slowest"
orvo_mount_conf nginx-fastcgi "$program" "$tmp/root" "" "" "$tmp/kept/orvo.sock" >"$tmp/plain/orvo.conf"
start_web_server nginx "$tmp/plain" 0 "$user" "$tmp/plain/orvo.conf"
kept_row "nginx, a connection per request" "$tmp/plain"
stop_server "$SERVER_PID"
export ORVO_NGINX_KEEPALIVE=$tmp/kept/orvo.sock
orvo_mount_conf nginx-fastcgi "$program" "$tmp/root" "" "" "$tmp/kept/orvo.sock" >"$tmp/kept/orvo.conf"
start_web_server nginx "$tmp/kept" 0 "$user" "$tmp/kept/orvo.conf"
on_exit "stop_server $SERVER_PID"
kept_row "nginx, fastcgi_keep_conn + keepalive 16" "$tmp/kept"
python3 -c '
import socket, sys, time
held = []
for _ in range(1000):
    s = socket.socket(socket.AF_UNIX)
    s.connect(sys.argv[1])
    held.append(s)
print("held", flush=True)
time.sleep(3600)' "$tmp/kept/orvo.sock" >"$tmp/kept/silent.log" &
silent=$!
on_exit "kill $silent 2>/dev/null || true"
for _ in $(seq 1 100); do grep -q held "$tmp/kept/silent.log" && break; sleep 0.1; done
kept_row "the same with 1,000 silent connections open" "$tmp/kept"
kill "$silent"
unset ORVO_NGINX_KEEPALIVE
