#!/usr/bin/env bash
# Concurrent clients through lighttpd: $ORVO_CONCURRENT_CLIENTS (60) clients released at once,
# each running $ORVO_CONCURRENT_ROUNDS (4) rounds of an upload and a verification (of its own key
# in even rounds, of one of five keys shared by twelve clients in odd rounds) followed by a marker
# swap on one of ten contended files, a manual download or a listing. The program ($1) logs in
# through the stand-in client library ($2). Afterwards:
#   - every request was answered (none ran into curl's time limit) with an answer it may give;
#   - every batch file is whole, holding exactly one upload of its key that was answered 200;
#   - each key was verified at most once, and its .xml exists exactly when that answer was given;
#   - each marker file exists under one name, the one the number of successful swaps leads to;
#   - every download answered 200 holds the manual's bytes; no listing shows a temporary file;
#   - no temporary file is left.
# Prints a summary; exits 1 on a violation, 77 when lighttpd or curl is missing.
set -uo pipefail
program=$1
stub=$2
source "$(dirname "$0")/../../scripts/lib/common.sh"
source "$ORVO_TOP/scripts/lib/http.sh"
for tool in curl lighttpd; do
  command -v "$tool" >/dev/null || { echo "skip: $tool is not installed (./scripts/test installs it)"; exit 77; }
done

clients=${ORVO_CONCURRENT_CLIENTS:-60}
rounds=${ORVO_CONCURRENT_ROUNDS:-4}
markers=10

tmp=$(mktemp -d)
on_exit "rm -rf '$tmp'"
chmod 755 "$tmp"
root=$tmp/root
user=""
[ "$(id -u)" -eq 0 ] && user=www-data
mkdir -p "$tmp/bin" "$tmp/state" "$tmp/xml" "$tmp/body" "$tmp/answers"
cp "$program" "$tmp/bin/OrvoWebServerUploadXML"
cp "$stub" "$tmp/bin/libfbstub.so"

store=$root/d/Movel/Lotes/VESTRA
mkdir -p "$store/Marcas" "$root/c/Orvo/Manuais" "$root/c/Orvo/Orvo.Net/Config"
printf '[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\Movel\\Lotes\r\n[Orvo.FrameWork]\r\nDBSuporte=localhost:/suporte.fdb\r\n' \
  >"$root/c/Orvo/Orvo.Net/Config/Orvo.Config"
manuals=4
for n in $(seq 0 $((manuals - 1))); do head -c 300000 /dev/urandom >"$root/c/Orvo/Manuais/manual$n.bin"; done
for m in $(seq 1 $markers); do printf 'marca %s' "$m" >"$store/Marcas/NF_TF$m.xml"; done

# The coddh of client $1's key in round $2: its own, or one of five shared ones.
coddh_of() {
  if (( $2 % 2 == 0 )); then printf '20240815093%06d' "$1"; else printf '202408150939999%02d' $(($1 % 5)); fi
}
# The batch of client c in round r: lines that name them, of a size that differs per client;
# in the body spaces are "+" and line breaks "%0A".
for c in $(seq 0 $((clients - 1))); do
  for r in $(seq 0 $((rounds - 1))); do
    awk -v c="$c" -v r="$r" -v coddh="$(coddh_of "$c" "$r")" -v lines=$((400 + 37 * c)) \
      -v xml="$tmp/xml/$c-$r" -v body="$tmp/body/$c-$r" 'BEGIN {
        printf "tag=PEDCON&representante=8137&coddh=%s&totallote=00152390&xmldata=", coddh > body
        for (i = 0; i <= lines; i++) {
          line = (i == 0) ? "cliente " c " rodada " r " chave " coddh : \
                 (i == lines) ? "fim " c " " r : "item " i " do lote " c " " r " com texto de enchimento"
          printf "%s%s", line, (i < lines ? "\n" : "") > xml
          gsub(/ /, "+", line)
          printf "%s%s", line, (i < lines ? "%0A" : "") > body
        }
      }'
  done
done
[ -n "$user" ] && chown -R "$user:$user" "$root" "$tmp/state"

orvo_mount_conf lighttpd "$tmp/bin/OrvoWebServerUploadXML" "$root" "$tmp/bin/libfbstub.so" \
  >"$tmp/state/orvo.conf"
start_web_server lighttpd "$tmp/state" 0 "$user" "$tmp/state/orvo.conf"
on_exit "stop_server $SERVER_PID"
base=http://127.0.0.1:$SERVER_PORT/orvo

# request NAME PATH CURL-ARGS...: the status, or "none" when no answer came, in NAME.status;
# the body in NAME.
request() {
  local name=$1 path=$2
  shift 2
  curl -sS --max-time 120 -o "$name" -w '%{http_code}' "$@" "$base$path" >"$name.status" 2>"$name.err" ||
    echo none >"$name.status"
}

client() {
  local c=$1 r coddh a
  while [ ! -e "$tmp/go" ]; do sleep 0.01; done
  for r in $(seq 0 $((rounds - 1))); do
    coddh=$(coddh_of "$c" "$r")
    a=$tmp/answers/$c-$r
    request "$a.upload" /uploadxml --data-binary "@$tmp/body/$c-$r"
    request "$a.verify" /xmlverify -d tag=PEDCON -d representante=8137 -d "coddh=$coddh" -d totallote=00152390
    case $(((c + r) % 3)) in
      0)
        local m=$(((c + r) % markers + 1)) mark=TF
        (( c % 2 )) && mark=TM
        request "$a.marker-$m" /importarxml --data-urlencode "arquivoxml=D:\\Movel\\Lotes\\VESTRA\\Marcas\\NF_$mark$m.xml"
        ;;
      1) request "$a.manual-$((c % manuals))" /lermanuais -d u=tecnico -d p=segredo \
           --data-urlencode "arq=C:\\Orvo\\Manuais\\manual$((c % manuals)).bin" ;;
      2) request "$a.listing" /listaarquivos --data-urlencode 'filtro=*.dwl' ;;
    esac
  done
}

pids=()
for c in $(seq 0 $((clients - 1))); do
  client "$c" &
  pids+=($!)
done
sleep 1
started=$(date +%s%N)
touch "$tmp/go"
for p in "${pids[@]}"; do wait "$p"; done
elapsed_ms=$((($(date +%s%N) - started) / 1000000))

# --- checks --------------------------------------------------------------------------------------

violations=()
violation() { violations+=("$*"); }
is_status() { [ "$(cat "$1.status")" = "$2" ]; }
count() { ls "$tmp/answers" | grep -c -- "$1" || true; }

for f in "$tmp"/answers/*.status; do
  grep -qx none "$f" && violation "no answer: $(basename "$f" .status) ($(head -c 200 "${f%.status}.err"))"
done

# Uploads: all stored.
for f in "$tmp"/answers/*.upload; do
  { is_status "$f" 200 && [ ! -s "$f" ]; } || violation "upload $(basename "$f"): $(cat "$f.status") $(head -c 200 "$f")"
done

# Keys: whole batches, at most one verification, the .xml exactly when it was answered.
declare -A verified=() keys=()
for c in $(seq 0 $((clients - 1))); do
  for r in $(seq 0 $((rounds - 1))); do
    coddh=$(coddh_of "$c" "$r")
    keys[$coddh]=1
    a=$tmp/answers/$c-$r.verify
    if is_status "$a" 200 && [ "$(cat "$a")" = 'Total do Lote: 1.523,90' ]; then
      verified[$coddh]=$((${verified[$coddh]:-0} + 1))
    elif ! is_status "$a" 200 || [ "$(cat "$a")" != Erro ]; then
      violation "verification $c-$r: $(cat "$a.status") $(head -c 200 "$a")"
    fi
  done
done
# whole FILE: the file holds exactly one upload of its key (named by its first line), as sent.
whole() {
  local file=$1 first c r
  first=$(head -n 1 "$file" | tr -d '\r')
  read -r _ c _ r _ <<<"$first"
  [ -n "${c:-}" ] && [ -f "$tmp/xml/$c-$r" ] && [ "$first" = "$(head -n 1 "$tmp/xml/$c-$r")" ] &&
    cmp -s "$file" <(cat "$tmp/xml/$c-$r"; printf '\r\n')
}
batches=0
for coddh in "${!keys[@]}"; do
  base_name=$store/PEDCON8137${coddh}001523903
  n=${verified[$coddh]:-0}
  (( n <= 1 )) || violation "key $coddh verified $n times"
  if [ -e "$base_name.xml" ]; then
    (( n == 1 )) || violation "key $coddh: .xml exists but no verification said so"
    whole "$base_name.xml" || violation "key $coddh: .xml is not one whole upload"
    batches=$((batches + 1))
  else
    (( n == 0 )) || violation "key $coddh: verified, but no .xml"
  fi
  if [ -e "$base_name.dwl" ]; then
    whole "$base_name.dwl" || violation "key $coddh: .dwl is not one whole upload"
    batches=$((batches + 1))
  elif (( n == 0 )); then
    violation "key $coddh: uploaded and never verified, but no .dwl"
  fi
done

# Markers: one name each, the one the successful swaps lead to.
all_swaps=0
for m in $(seq 1 $markers); do
  swaps=0
  for f in "$tmp"/answers/*.marker-$m; do
    body=$(iconv -f CP1252 -t UTF-8 "$f")
    case $body in
      Concluído:*) swaps=$((swaps + 1)) ;;
      "Não foi possível renomear o arquivo:"* | "Arquivo não encontrado") ;;
      *) violation "marker $(basename "$f"): $(cat "$f.status") $(head -c 200 "$f")" ;;
    esac
  done
  all_swaps=$((all_swaps + swaps))
  expected=TF other=TM
  (( swaps % 2 )) && expected=TM other=TF
  [ -f "$store/Marcas/NF_$expected$m.xml" ] && [ ! -e "$store/Marcas/NF_$other$m.xml" ] &&
    [ "$(cat "$store/Marcas/NF_$expected$m.xml")" = "marca $m" ] ||
    violation "marker $m: $swaps swaps, but $(ls "$store/Marcas" | grep "F$m.xml\|M$m.xml" | tr '\n' ' ')"
done

# Downloads: the manual's bytes, or refused while another download holds the file.
downloads=0 busy=0
for f in "$tmp"/answers/*.manual-[0-9]; do
  if is_status "$f" 200; then
    cmp -s "$f" "$root/c/Orvo/Manuais/manual${f##*-}.bin" && downloads=$((downloads + 1)) ||
      violation "download $(basename "$f"): $(stat -c %s "$f") bytes differ from the manual"
  elif is_status "$f" 500 && grep -q 'Cannot open file' "$f"; then
    busy=$((busy + 1))
  else
    violation "download $(basename "$f"): $(cat "$f.status") $(head -c 200 "$f")"
  fi
done

# Listings: batch files only, never a temporary one.
for f in "$tmp"/answers/*.listing; do
  is_status "$f" 200 || violation "listing $(basename "$f"): $(cat "$f.status")"
  if tr -d '\r' <"$f" | grep -v -E '^D:\\Movel\\Lotes\\VESTRA\\PEDCON8137[0-9]{17}001523903\.dwl$' | grep -q .; then
    violation "listing $(basename "$f") shows: $(tr -d '\r' <"$f" | grep -v '\.dwl$' | head -n 3)"
  fi
done

leftovers=$(find "$root" -path '*/.~orvo*' | wc -l)
[ "$leftovers" -eq 0 ] || violation "$leftovers temporary files left"

requests=$(ls "$tmp"/answers/*.status | wc -l)
printf '%s clients x %s rounds through lighttpd: %s requests in %s ms (%s uploads, %s verifications, %s swaps, %s downloads, %s listings)\n' \
  "$clients" "$rounds" "$requests" "$elapsed_ms" "$(count '\.upload\.status')" "$(count '\.verify\.status')" \
  "$(count 'marker-.*\.status')" "$(count 'manual-.*\.status')" "$(count '\.listing\.status')"
printf '%s keys, %s batch files whole, %s verified once; %s markers swapped %s times; %s downloads whole, %s refused while another held the manual\n' \
  "${#keys[@]}" "$batches" "${#verified[@]}" "$markers" "$all_swaps" "$downloads" "$busy"
if [ ${#violations[@]} -gt 0 ]; then
  printf 'FAIL %s\n' "${violations[@]}" | head -n 40
  exit 1
fi
echo "no violations"
