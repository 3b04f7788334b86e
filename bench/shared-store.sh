#!/usr/bin/env bash
# The program over a shared GlusterFS volume (replica 2, two bricks on this machine, mounted
# through FUSE) against the same on the local disk, and two front ends over the volume against
# one. Prints one table; run as root (it starts glusterd and mounts the volume, and removes both).
#
#   bench/shared-store.sh --program PROGRAM --tool BENCHTOOL [--quick]
#
# Rows: the program as a web server starts it (benchtool pair: volume and local disk runs taken
# alternately, the ratio run by run) for a 1 MiB upload, a verification and a listing of a store
# of 2,000 batches; then requests per second through nginx (wrk) of 1 KB uploads, each verified,
# to one FastCGI pool over one mount, and to two pools over two mounts behind one upstream.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/common.sh"
source "$ORVO_TOP/scripts/lib/http.sh"
source "$ORVO_TOP/scripts/lib/gluster.sh"

program="" tool="" quick=0
while [ $# -gt 0 ]; do
  case $1 in
    --program) program=$2; shift 2 ;;
    --tool) tool=$2; shift 2 ;;
    --quick) quick=1; shift ;;
    *) die "usage: $0 --program PROGRAM --tool BENCHTOOL [--quick]" ;;
  esac
done
[ -x "$program" ] && [ -x "$tool" ] || die "usage: $0 --program PROGRAM --tool BENCHTOOL [--quick]"
[ "$(id -u)" -eq 0 ] || die "$0 mounts a GlusterFS volume: run it as root"
why=$(fuse_missing)
[ -z "$why" ] || { log "no shared-volume rows: $why"; exit 0; }
ensure_packages "${GLUSTER_PACKAGES[@]}" nginx wrk curl
runs=15 seconds=5 rounds=5
[ $quick = 1 ] && runs=5 seconds=2 rounds=2

work=$(mktemp -d /tmp/orvo-bench-shared.XXXXXX)
on_exit "rm -rf '$work'"
chmod 755 "$work"
volume=orvobench$$
log "starting the GlusterFS volume $volume"
gluster_start_volume "$work" "$volume"
# Roots: "local" on the disk, "shared" and "shared2" with the volume as their D:\Lotes.
for root in local shared shared2; do
  mkdir -p "$work/$root/c/Orvo/Orvo.Net/Config" "$work/$root/d/Lotes"
  printf '[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\Lotes\r\n[Orvo.Mobile.LISTA]\r\nPathXML=D:\\Lotes\r\n' \
    >"$work/$root/c/Orvo/Orvo.Net/Config/Orvo.Config"
done
gluster_mount "$volume" "$work/shared/d/Lotes"
gluster_mount "$volume" "$work/shared2/d/Lotes"
for root in local shared; do
  mkdir -p "$work/$root/d/Lotes/LISTA"
  (cd "$work/$root/d/Lotes/LISTA" && seq -f 'PED00181372024%013g001523903.xml' 2000 | xargs touch)
done

fields='tag=PED001&representante=8137&coddh=20240815093012000&totallote=00152390'
batch=PED001813720240815093012000001523903
# job FILE ROOT PATH_INFO BODY: a CGI run of the program over ROOT.
job() {
  {
    echo "arg $program"
    echo "in $4"
    echo "out $1.out"
    for e in GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=POST SERVER_PROTOCOL=HTTP/1.1 \
      "PATH_INFO=$3" CONTENT_TYPE=application/x-www-form-urlencoded \
      "CONTENT_LENGTH=$(stat -c %s "$4")" "ORVO_ROOT=$work/$2" LANG=pt_BR.UTF-8 TZ=UTC; do
      echo "env $e"
    done
  } >"$1"
}
"$tool" body $((1 << 20)) "$work/upload.body"
printf '%s' "$fields" >"$work/verify.body"
printf 'loja=LISTA&filtro=*.xml' >"$work/list.body"
for side in shared local; do
  store=$work/$side/d/Lotes/VESTRA
  job "$work/upload.$side" "$side" /uploadxml "$work/upload.body"
  job "$work/verify.$side" "$side" /xmlverify "$work/verify.body"
  echo "rename $store/$batch.xml $store/$batch.dwl" >>"$work/verify.$side"
  job "$work/list.$side" "$side" /listaarquivos "$work/list.body"
done
for what in upload verify list; do
  log "measuring $what ($runs runs each)"
  "$tool" pair "$runs" "$work/$what.shared" "$work/$what.local" >"$work/$what.result"
done
grep -q 'Total do Lote' "$work/verify.shared.out" || die "the verification over the volume answered: $(cat "$work/verify.shared.out")"
[ "$(grep -c 'xml.$' "$work/list.shared.out")" = 2000 ] || die "the listing over the volume did not list 2,000 batches"

# Two fronts against one: each pool has two workers over a mount of its own.
log "starting nginx and the pools"
user=www-data
chown -R "$user:" "$work/shared" "$work/shared2"
mkdir -p "$work/state"
chown "$user:" "$work/state"
pools=()
for root in shared shared2; do
  start_fastcgi_worker "$work/state/$root.log" "$work/state/$root.sock" "$user" "$program" 2 \
    ORVO_ROOT="$work/$root" LANG=pt_BR.UTF-8
  on_exit "stop_server $WORKER_PID"
done
printf 'upstream orvo_fronts {\n  server unix:%s;\n  server unix:%s;\n}\n' \
  "$work/state/shared.sock" "$work/state/shared2.sock" >"$work/state/upstream.conf"
orvo_mount_conf nginx-fastcgi "$program" "" "" /one "$work/state/shared.sock" >"$work/state/one.conf"
orvo_mount_conf nginx-fastcgi "$program" "" "" /two | sed 's#fastcgi_pass unix:[^;]*;#fastcgi_pass orvo_fronts;#' \
  >"$work/state/two.conf"
start_web_server nginx "$work/state" 0 "$user" "$work/state"/{upstream,one,two}.conf
on_exit "stop_server $SERVER_PID"
# Each connection uploads a batch of its own (1 KB) and verifies it, over and over.
cat >"$work/post.lua" <<'EOF'
local xml = string.rep("x", 1024)
local n = 0
request = function()
  n = n + 1
  local coddh = string.format("2024081509%07d", math.floor((n + 1) / 2) % 1000000)
  local fields = "tag=PED001&representante=8137&coddh=" .. coddh .. "&totallote=00152390"
  local path, body = "/uploadxml", fields .. "&xmldata=" .. xml
  if n % 2 == 0 then
    path, body = "/xmlverify", fields
  end
  return wrk.format("POST", prefix .. path,
    { ["Content-Type"] = "application/x-www-form-urlencoded" }, body)
end
setup = function(thread) thread:set("prefix", os.getenv("ORVO_PREFIX")) end
EOF
# rps PREFIX: the requests per second through /PREFIX and how many were answered with a failure.
rps() {
  local out
  out=$(ORVO_PREFIX=/$1 wrk -t1 -c4 -d"${seconds}s" -s "$work/post.lua" "http://127.0.0.1:$SERVER_PORT/")
  awk '/^Requests\/sec:/ { r = $2 } /Non-2xx/ { f = $NF } END { print r + 0, f + 0 }' <<<"$out"
}
: >"$work/fronts.rounds"
for round in $(seq 1 $rounds); do
  log "wrk round $round of $rounds"
  echo "$(rps two) $(rps one)" >>"$work/fronts.rounds"
done

printf '\nOver a GlusterFS volume (replica 2, both bricks on this machine, FUSE) against the local disk.\n'
printf 'Medians [min-max] of paired runs; ratio = volume / local disk, taken run by run.\n\n'
printf '%-34s %-5s %-27s %-27s %s\n' Work "" Volume "Local disk" Ratio
row() {
  awk -v work="$1" '
    function t(v) { return v < 1 ? sprintf("%.1f ms", v * 1000) : sprintf("%.2f s", v) }
    $1 == "wall" {
      printf "%-34s %-5s %-27s %-27s %s\n", work, "wall", sprintf("%s [%s-%s]", t($2), t($3), t($4)),
        sprintf("%s [%s-%s]", t($5), t($6), t($7)), sprintf("%.2f [%.2f-%.2f]", $8, $9, $10)
    }' "$2"
}
row "/uploadxml, 1 MiB batch" "$work/upload.result"
row "/xmlverify, the batch there" "$work/verify.result"
row "/listaarquivos, 2,000 batches" "$work/list.result"
awk '
  function order(a, n,   i, j, t) {
    for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
  }
  function median(a, n) { return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2 }
  { two[NR] = $1; one[NR] = $3; r[NR] = $1 / $3; failed += $2 + $4 }
  END {
    n = NR; order(two, n); order(one, n); order(r, n)
    printf "\nThrough nginx (wrk, 4 connections), 1 KB uploads and their verifications, req/s:\n"
    printf "%-34s %-27s %-27s %s\n", "", "Two fronts", "One front", "Ratio"
    printf "%-34s %-27s %-27s %s\n", "two pools of 2 over two mounts",
      sprintf("%.0f [%.0f-%.0f]", median(two, n), two[1], two[n]),
      sprintf("%.0f [%.0f-%.0f]", median(one, n), one[1], one[n]),
      sprintf("%.2f [%.2f-%.2f]", median(r, n), r[1], r[n])
    printf "Answers that were failures: %d\n", failed
  }' "$work/fronts.rounds"
# What the failures were, as the pools logged them (none is no failure of the benchmark).
{ grep -a 'FastCGI sent in stderr' "$work/state/nginx-error.log" || true; } | sed 's/.*stderr: "[-0-9: ]*//; s/" while .*//' |
  sed 's/[0-9]\{17\}/<coddh>/g' | sort | uniq -c | sort -rn | head -5
