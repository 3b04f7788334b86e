#!/usr/bin/env bash
# Several front ends over one GlusterFS volume that this script starts (replica 2, two bricks on
# loopback, FUSE): two FastCGI pools (a and b, one data root each) behind one nginx upstream
# (lb), the CGI program (cgi) and, given the Windows build folder, the Windows program under Wine.
#   shared_store_test.sh PROGRAM [WINDOWS-BUILD]      (as root; skips, saying why, without FUSE)
# Ends with the line "N passed, M failed"; exits non-zero when one failed.
set -uo pipefail
program=$1
wine_build=${2:-}
source "$(dirname "$0")/../../scripts/lib/common.sh"
source "$ORVO_TOP/scripts/lib/http.sh"
source "$ORVO_TOP/scripts/lib/gluster.sh"
[ "$(id -u)" -eq 0 ] || die "$0 mounts file systems: run it as root"
why=$(fuse_missing)
[ -z "$why" ] || { echo "skip: $why, so no GlusterFS volume can be mounted"; exit 77; }
ensure_packages "${GLUSTER_PACKAGES[@]}" nginx fcgiwrap curl

tmp=$(mktemp -d /tmp/orvo-shared.XXXXXX)
on_exit "rm -rf '$tmp'"
chmod 755 "$tmp"
mkdir -p "$tmp/state" "$tmp/bin" "$tmp/out"
volume=orvo$$

# --- the Windows program's prefix, when there is one ---------------------------------------------

# Wine runs as the unprivileged owner of a prefix of its own (made by wine-run.sh), and the Linux
# fronts as that user too, so that every front writes the shared folders as one identity (as the
# operator's guide asks).
user=www-data
wine_run=${ORVO_WINE_RUN:-$ORVO_TOP/tests/support/wine-run.sh}
wine="" wine_skip="no Windows build, Wine, wine-run.sh or stand-in client library"
export WINEPREFIX=$tmp/wineprefix WINEDEBUG=-all
if [ -f "$wine_build/OrvoWebServerUploadXML.exe" ] && [ -x "$wine_run" ] && [ -x /usr/lib/wine/wine64 ] &&
  [ -f "$wine_build/tests/helpers/fbstub/client/gds32.dll" ] && "$wine_run" --new-prefix >"$tmp/wine.log" 2>&1; then
  # One server for the whole run, its helpers started now with their output to /dev/null.
  "$wine_run" /usr/lib/wine/wineserver -p
  on_exit "'$wine_run' /usr/lib/wine/wineserver -k 2>/dev/null"
  (cd "$WINEPREFIX/drive_c" && "$wine_run" /usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1)
  user=$(stat -c %U "$WINEPREFIX")
  wine=$tmp/bin/OrvoWebServerUploadXML.exe
  cp -r "$wine_build/locale" "$tmp/locale"
  # The client library the program loads at start: the tests' stand-in, beside the program.
  cp "$wine_build/OrvoWebServerUploadXML.exe" "$wine_build/tests/helpers/fbstub/client/gds32.dll" "$tmp/bin/"
fi

# --- the volume and the data roots ---------------------------------------------------------------

log "starting the GlusterFS volume $volume"
gluster_start_volume "$tmp" "$volume"
# Both roots, and the Windows program, have the volume as the share \\filesrv\lotes (the prefix's
# share a link to the first mount): every front answers the same paths, which clients send back
# through any front. A build whose path gate refuses shares gets it as D:\Movel\Lotes instead.
root1=$tmp/root1 root2=$tmp/root2
share='\\filesrv\lotes' folder=unc/filesrv/lotes
mkdir -p "$root1/$folder" "$root1/c/Orvo/Orvo.Net/Config"
printf '[Orvo.Mobile.VESTRA]\r\nPathXML=%s\r\n' "$share" >"$root1/c/Orvo/Orvo.Net/Config/Orvo.Config"
if printf 'loja=VESTRA&filtro=*' | env -i ORVO_ROOT="$root1" GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=POST \
  PATH_INFO=/listaarquivos CONTENT_LENGTH=20 "$program" 2>&1 | grep -q 'I/O error 53'; then
  share='D:\Movel\Lotes' folder=d/Movel/Lotes
  wine_skip="this build's path gate refuses UNC shares"
  wine=""
fi
rm -rf "$root1"
volume_dir=$root1/$folder
gluster_mount "$volume" "$volume_dir"
gluster_mount "$volume" "$root2/$folder"
# config FILE: a front's configuration, its stores on the share.
config() {
  mkdir -p "$(dirname "$1")"
  printf '[Orvo.Mobile.VESTRA]\r\nPathXML=%s\r\n[Orvo.Mobile.Loja7]\r\nPathXML=%s\r\n' "$share" "$share" >"$1"
}
for root in "$root1" "$root2"; do
  config "$root/c/Orvo/Orvo.Net/Config/Orvo.Config"
  mkdir -p "$root/d"
done
if [ -n "$wine" ]; then
  config "$WINEPREFIX/drive_c/Orvo/Orvo.Net/Config/Orvo.Config"
  mkdir -p "$WINEPREFIX/dosdevices/unc/filesrv"
  ln -s "$volume_dir" "$WINEPREFIX/dosdevices/unc/filesrv/lotes"
fi
chown -R "$user:" "$root1" "$root2" "$tmp/state"
cp "$program" "$tmp/bin/OrvoWebServerUploadXML"
program=$tmp/bin/OrvoWebServerUploadXML

# --- the fronts ----------------------------------------------------------------------------------

declare -A pool_pid
# start_pool NAME ROOT: a pool of two workers over ROOT on the socket $tmp/state/NAME.sock.
start_pool() {
  rm -f "$tmp/state/$1.sock"
  start_fastcgi_worker "$tmp/state/pool-$1.log" "$tmp/state/$1.sock" "$user" "$program" 2 \
    ORVO_ROOT="$2" LANG=pt_BR.UTF-8 ASAN_OPTIONS=detect_leaks=0
  pool_pid[$1]=$WORKER_PID
}
# Stops the pool NAME: TERM to its manager, which stops its workers; KILL to the manager and then
# to each of its workers, by their ids, as a crash of the whole front would.
stop_pool() {
  local pid=${pool_pid[$1]} workers
  workers=$(pgrep -P "$pid")
  kill "-$2" "$pid" 2>/dev/null
  [ "$2" = KILL ] && for worker in $workers; do kill -KILL "$worker" 2>/dev/null; done
  wait "$pid" 2>/dev/null
}
start_pool a "$root1"
start_pool b "$root2"
on_exit 'stop_pool a TERM; stop_pool b TERM'

for front in a b; do
  orvo_mount_conf nginx-fastcgi "$program" "" "" "/$front" "$tmp/state/$front.sock" >"$tmp/state/$front.conf"
done
# The balanced location: both pools as one upstream.
printf 'upstream orvo_fronts {\n  server unix:%s;\n  server unix:%s;\n}\n' \
  "$tmp/state/a.sock" "$tmp/state/b.sock" >"$tmp/state/upstream.conf"
orvo_mount_conf nginx-fastcgi "$program" "" "" /lb | sed 's#fastcgi_pass unix:[^;]*;#fastcgi_pass orvo_fronts;#' \
  >"$tmp/state/lb.conf"
export ORVO_FCGI_SOCKET=$tmp/state/fcgiwrap.sock ORVO_FCGIWRAP_CHILDREN=2
orvo_mount_conf nginx "$program" "$root2" "" /cgi >"$tmp/state/cgi.conf"
start_web_server nginx "$tmp/state" 0 "$user" "$tmp/state/upstream.conf" "$tmp/state"/{a,b,lb,cgi}.conf
on_exit "stop_server $SERVER_PID"
base=http://127.0.0.1:$SERVER_PORT
printf 'nginx on port %s; pools %s and %s\n' "$SERVER_PORT" "${pool_pid[a]}" "${pool_pid[b]}"

# --- requests ------------------------------------------------------------------------------------

# fields CODDH: the fields of the batch CODDH (17 digits); its total is 1.523,90.
fields() { printf 'tag=LOTE01&representante=8137&coddh=%s&totallote=00152390' "$1"; }
total='Total do Lote: 1.523,90'
# call FRONT ENDPOINT DATA OUT: posts DATA (a string, or @FILE) to FRONT (a, b, lb, cgi or wine),
# the answer's body to OUT; prints the status.
call() {
  local front=$1 endpoint=$2 data=$3 out=$4
  if [ "$front" = wine ]; then
    wine_call "$endpoint" "$data" "$out"
    return
  fi
  curl -sS -o "$out" -w '%{http_code}' --data-binary "$data" "$base/$front/$endpoint" || echo "no answer"
}
# wine_call ENDPOINT DATA OUT: the Windows program run as IIS runs it, as the prefix's owner.
wine_call() {
  local body=$tmp/out/wine.$BASHPID
  case $2 in
    @*) cp "${2#@}" "$body" ;;
    *) printf '%s' "$2" >"$body" ;;
  esac
  (cd "$WINEPREFIX/drive_c" &&
    env GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=POST SERVER_PROTOCOL=HTTP/1.1 PATH_INFO="/$1" \
      CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH="$(stat -c %s "$body")" \
      LANG=pt_BR.UTF-8 LOCPATH="$tmp/locale" "$wine_run" /usr/lib/wine/wine64 "$wine" \
      <"$body" >"$body.answer" 2>/dev/null)
  # The head ends at the first empty line; the status is its Status line.
  sed -n '1,/^\r$/ s/^Status: \([0-9]*\).*/\1/p' "$body.answer"
  perl -0777 -pe 's/\A.*?\r\n\r\n//s' "$body.answer" >"$3"
  rm -f "$body" "$body.answer"
}
# content TAG BYTES: a batch's XML of about BYTES bytes, its items marked TAG, to a file; prints
# its name.
content() {
  local file=$tmp/out/$1.xml
  { printf '<lote>'; yes "<i>$1</i>" | tr -d '\n' | head -c "$2"; printf '</lote>'; } >"$file"
  echo "$file"
}
# upload FRONT CODDH CONTENT-FILE [LOJA]: prints the status.
upload() {
  local body=$tmp/out/body.$BASHPID
  { fields "$2"; printf '&loja=%s&xmldata=' "${4:-}"; cat "$3"; } >"$body"
  call "$1" uploadxml "@$body" "$tmp/out/upload.$BASHPID"
  rm -f "$body"
}
# stored FILE-OF-CONTENT: the bytes a batch of that content is stored as.
stored() { { cat "$1"; printf '\r\n'; } >"$1.stored"; echo "$1.stored"; }
# batch_file LOJA CODDH EXT: the batch's file on the volume (the check digit is any digit).
batch_file() {
  local matches=("$volume_dir/$1/LOTE018137${2}00152390"?".$3")
  [ -e "${matches[0]}" ] && echo "${matches[0]}"
}

source "$ORVO_TOP/tests/support/cases.sh"
preview() { head -c 160 "$1" | cat -v | tr '\n' ' '; }
coddh_seq=100000000
next_coddh() { coddh_seq=$((coddh_seq + 1)); coddh=20240815$coddh_seq; }

# --- cases ---------------------------------------------------------------------------------------

# cross_check ROW...: each ROW names the front that uploads, the one that verifies, the one that
# lists and reads the batch back, and the store code as sent (one store folder, named in any
# case). The verifier and the lister have listed the store just before, so a worker that reused
# its listing would miss the batch.
cross_check() {
  local row up ver lister loja file status listed
  for row in "$@"; do
    read -r up ver lister loja <<<"$row"
    [ "$loja" = "''" ] && loja=""
    next_coddh
    file=$(content "x$coddh" 60000)
    call "$ver" listaarquivos "loja=$loja&filtro=*.*" "$tmp/out/warm" >/dev/null
    call "$lister" listaarquivos "loja=$loja&filtro=*.xml" "$tmp/out/warm" >/dev/null
    status=$(upload "$up" "$coddh" "$file" "$loja")
    [ "$status" = 200 ] || { fail "$row: the upload answered $status"; continue; }
    status=$(call "$ver" xmlverify "$(fields "$coddh")&loja=$loja" "$tmp/out/verify")
    [ "$(cat "$tmp/out/verify")" = "$total" ] ||
      fail "$row: the verification answered $status '$(preview "$tmp/out/verify")'"
    call "$lister" listaarquivos "loja=$loja&filtro=*$coddh*" "$tmp/out/list" >/dev/null
    listed=$(tr -d '\r' <"$tmp/out/list")
    [[ "$listed" == "$share\\${loja:-VESTRA}\\LOTE018137${coddh}00152390"?.xml ]] ||
      { fail "$row: the listing answered '$(preview "$tmp/out/list")'"; continue; }
    call "$lister" lerxml "arq=$(printf '%s' "$listed" | sed 's/\\/%5C/g')" "$tmp/out/read" >/dev/null
    cmp -s "$(stored "$file")" "$tmp/out/read" || fail "$row: the batch read back differs"
  done
  # One store folder whatever the case it was named in, and no save left anything pending.
  local folders
  folders=$(find "$volume_dir" -mindepth 1 -maxdepth 1 -iname loja7 | wc -l)
  [ "$folders" = 1 ] || fail "$folders folders for the store Loja7: $(ls "$volume_dir")"
  [ -z "$(find "$volume_dir" -name '.~orvo*')" ] || fail "pending files left: $(find "$volume_dir" -name '.~orvo*')"
}

every_upload_is_verified_and_listed_through_another_front() {
  cross_check "a b cgi Loja7" "b a lb LOJA7" "cgi a b loja7" "lb cgi a Loja7" "a b b VESTRA" "b a a ''"
  grep -q "^OrvoWebServerUploadXML: $volume_dir is a fuse.glusterfs volume that other machines" \
    "$tmp/state/pool-a.log" || fail "pool a did not name the shared volume at start"
}

# The Windows program names the volume \\filesrv\lotes: what it stores the Linux fronts verify
# and list, and the other way round.
windows_program_over_the_share_meets_the_linux_fronts() {
  [ -n "$wine" ] || { skip=$wine_skip; return; }
  cross_check "wine a b Loja7" "b wine wine LOJA7" "wine wine cgi ''" "lb wine a VESTRA"
}

# The same batch (its key) uploaded through two fronts at once, with different bytes: the stored
# batch is always one upload whole. Then verified through both at once: one total, one "Erro",
# and the verified batch is that same whole upload.
race_pairs=("a b" "lb cgi" "cgi a" "b lb" "a cgi")
racing_uploads_and_verifications_never_tear_or_lose_a_batch() {
  local round first second one two dwl xml answers pids torn=0 lost=0
  for round in $(seq 1 15); do
    read -r first second <<<"${race_pairs[$((round % ${#race_pairs[@]}))]}"
    next_coddh
    one=$(stored "$(content "$first$coddh" 1000000)")
    two=$(stored "$(content "$second$coddh" 1000000)")
    upload "$first" "$coddh" "${one%.stored}" >"$tmp/out/s1" &
    pids=($!)
    upload "$second" "$coddh" "${two%.stored}" >"$tmp/out/s2" &
    wait "${pids[@]}" $!
    [ "$(cat "$tmp/out/s1") $(cat "$tmp/out/s2")" = "200 200" ] ||
      fail "round $round ($first, $second): the uploads answered $(cat "$tmp/out/s1") $(cat "$tmp/out/s2")"
    dwl=$(batch_file VESTRA "$coddh" dwl)
    if [ -z "$dwl" ]; then
      lost=$((lost + 1)) && fail "round $round: no batch stored"
      continue
    fi
    cmp -s "$dwl" "$one" || cmp -s "$dwl" "$two" || { torn=$((torn + 1)) && fail "round $round: torn batch"; }
    cp "$dwl" "$tmp/out/kept"
    call "$first" xmlverify "$(fields "$coddh")" "$tmp/out/v1" >/dev/null &
    pids=($!)
    call "$second" xmlverify "$(fields "$coddh")" "$tmp/out/v2" >/dev/null &
    wait "${pids[@]}" $!
    answers=$(printf '%s\n%s\n' "$(cat "$tmp/out/v1")" "$(cat "$tmp/out/v2")" | sort | tr '\n' '|')
    [ "$answers" = "Erro|$total|" ] || fail "round $round: verifications answered '$answers'"
    xml=$(batch_file VESTRA "$coddh" xml)
    if [ -z "$xml" ] || [ -n "$(batch_file VESTRA "$coddh" dwl)" ]; then
      lost=$((lost + 1)) && fail "round $round: after the verifications .xml '$xml', .dwl '$(batch_file VESTRA "$coddh" dwl)'"
    elif ! cmp -s "$xml" "$tmp/out/kept"; then
      torn=$((torn + 1)) && fail "round $round: the verified batch is not the stored one"
    fi
  done
  echo "     15 rounds: $torn torn, $lost lost"
}

# A pool killed outright 0 to 80 ms into its save of a large batch: the batch is afterwards
# either absent or whole, never a torn .dwl, and the other front verifies what is there.
killed_front_leaves_no_torn_batch() {
  local trial file dwl answer pids whole=0
  for trial in $(seq 1 5); do
    next_coddh
    file=$(content "k$coddh" 8000000)
    upload a "$coddh" "$file" >/dev/null &
    pids=($!)
    # Killed once its pending file is there, within what its save takes.
    for _ in $(seq 1 200); do
      [ -n "$(find "$volume_dir/VESTRA" -path '*/.~orvo*' -name '*.tmp' 2>/dev/null)" ] && break
      sleep 0.05
    done
    sleep "0.0$((trial * 2 - 2))"
    stop_pool a KILL
    wait "${pids[@]}"
    dwl=$(batch_file VESTRA "$coddh" dwl)
    if [ -n "$dwl" ]; then
      cmp -s "$dwl" "$(stored "$file")" || fail "trial $trial: a torn batch is left"
      call b xmlverify "$(fields "$coddh")" "$tmp/out/verify" >/dev/null
      answer=$(cat "$tmp/out/verify")
      [ "$answer" = "$total" ] || fail "trial $trial: the whole batch was not verified: '$answer'"
    fi
    [ -n "$dwl" ] && whole=$((whole + 1))
    # A killed save's pending file stays for the sweep an hour later: the next trial looks for its own.
    find "$volume_dir" -path '*/.~orvo*' -name '*.tmp' -delete
    start_pool a "$root1"
  done
  echo "     5 kills: $whole batches stored whole, $((5 - whole)) not stored, none torn"
}

# A brick dies while uploads go on through the balanced location and the CGI program: none is
# lost; once it is back and healed, both bricks hold every batch, byte for byte.
brick_loss_loses_nothing_and_heals() {
  local i coddh_list=() status pid file
  file=$(content brick 5000)
  for i in $(seq 1 24); do
    [ "$i" = 7 ] && {
      pid=$(gluster_brick_pid "$volume" "$tmp/b2")
      [ -n "$pid" ] && kill -KILL "$pid" || fail "no brick process for $tmp/b2"
    }
    next_coddh
    local front=lb
    [ $((i % 3)) = 0 ] && front=cgi
    status=$(upload "$front" "$coddh" "$file")
    [ "$status" = 200 ] || fail "upload $i through $front answered $status with a brick down"
    coddh_list+=("$coddh")
  done
  for coddh in "${coddh_list[@]}"; do
    call b xmlverify "$(fields "$coddh")" "$tmp/out/verify" >/dev/null
    [ "$(cat "$tmp/out/verify")" = "$total" ] || fail "batch $coddh: the verification answered '$(cat "$tmp/out/verify")'"
  done
  gluster_heal "$volume" || fail "the volume did not heal: $(gluster_cli volume heal "$volume" info | tr '\n' ' ')"
  # GlusterFS's own folders are not the volume's data: .glusterfs, and the folder where a heal
  # parks the old entry of a file renamed while its brick was down until it cleans it up.
  diff -r -x .glusterfs -x '.glusterfs-anonymous-inode-*' "$tmp/b1" "$tmp/b2" >"$tmp/out/bricks" ||
    fail "the bricks differ after healing: $(preview "$tmp/out/bricks")"
  local count
  count=$(find "$tmp/b2" -path "$tmp/b2/.glusterfs" -prune -o -name 'LOTE01*' -print | wc -l)
  echo "     both bricks hold $count batches"
}

cases=(every_upload_is_verified_and_listed_through_another_front
  windows_program_over_the_share_meets_the_linux_fronts
  racing_uploads_and_verifications_never_tear_or_lose_a_batch killed_front_leaves_no_torn_batch
  brick_loss_loses_nothing_and_heals)
for t in "${cases[@]}"; do
  run "$t"
done
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
