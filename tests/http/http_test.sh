#!/usr/bin/env bash
# HTTP end-to-end tests: starts lighttpd, Apache or nginx ($1) on a loopback port with the program ($2)
# mounted by the deploy/ sample configuration, then checks every endpoint through it with curl.
# With $1 ending in -fastcgi the program runs as FastCGI workers behind the server instead:
# lighttpd starts them itself (mod_fastcgi), Apache (mod_proxy_fcgi) and nginx (fastcgi_pass)
# talk to workers that this script starts.
# The manuals endpoints log in to the Firebird server named by ORVO_TEST_FB_DATABASE,
# ORVO_TEST_FB_USER and ORVO_TEST_FB_PASSWORD (the test command exports them); without them those
# cases are skipped. Ends with the line "N passed, M failed"; exits non-zero when one failed.
set -uo pipefail
server=$1
program=$2
web=${server%-fastcgi}
front=cgi
[ "$web" = "$server" ] || front=fastcgi
source "$(dirname "$0")/../../scripts/lib/common.sh"
source "$ORVO_TOP/scripts/lib/http.sh"
tools=(curl lighttpd)
[ "$web" = apache ] && tools=(curl /usr/sbin/apache2)
[ "$web" = nginx ] && tools=(curl nginx)
[ "$server" = nginx ] && tools+=(fcgiwrap)
[ "$server" = nginx-fastcgi ] && tools+=(ab)
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || { echo "skip: $tool is not installed (./scripts/test installs it)"; exit 77; }
done

tmp=$(mktemp -d)
on_exit "rm -rf '$tmp'"
chmod 755 "$tmp"
root=$tmp/root

# Apache will not run its workers as root; all servers then run the program as www-data, which
# is also how they are deployed. The program is copied where that user can reach it.
user=""
[ "$(id -u)" -eq 0 ] && user=www-data
mkdir -p "$tmp/bin" "$tmp/state"
cp "$program" "$tmp/bin/OrvoWebServerUploadXML"
program=$tmp/bin/OrvoWebServerUploadXML

# --- data root -----------------------------------------------------------------------------------

# put FILE BYTES: a file below the data root with these bytes (printf escapes allowed).
put() { mkdir -p "$(dirname "$root/$1")" && printf "$2" >"$root/$1"; }

config="[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\\\Movel\\\\Lotes\r\n"
config+="[Orvo.Mobile.0042]\r\nPathXML=D:\\\\Movel\\\\Lotes\r\n"
config+="[Orvo.FrameWork]\r\nPathImagens=C:\\\\Orvo\\\\Imagens\r\nPathManuais=C:\\\\Orvo\\\\Manuais\r\n"
config+="DBSuporte=${ORVO_TEST_FB_DATABASE:-}\r\n"
put c/Orvo/Orvo.Net/Config/Orvo.Config "$config"
put d/Movel/Lotes/0042/a.xml '<a/>'
put d/Movel/Lotes/0042/b.dwl '<b/>'
put d/Movel/Lotes/0042/Sub/c.xml '<c/>'
put d/Movel/Lotes/0042/.oculto.xml '<h/>'
put d/Movel/Lotes/0042/NF_TF01.xml '<nf/>'
put c/Orvo/Texto/linhas.txt 'um\nDois\ntr\xeas'
put c/Orvo/Imagens/novo.png 'png'
put c/Orvo/Imagens/velho.png 'png'
put c/Orvo/Imagens/foto.jpg 'jpg'
touch -d '2024-01-14 00:00:00' "$root/c/Orvo/Imagens/novo.png"
touch -d '2024-01-13 23:59:58' "$root/c/Orvo/Imagens/velho.png"
put c/Orvo/Manuais/guia.txt 'Guia\r\n'
# A binary manual: every byte value, NULs among them, over several 8192-byte chunks.
mkdir -p "$root/c/Orvo/Manuais/Binarios"
for _ in $(seq 1 100); do printf "$(printf '\\%03o' $(seq 0 255))"; done |
  head -c 24577 >"$root/c/Orvo/Manuais/Binarios/tabela.bin"

# A 16 MiB batch: XML lines with code page 1252 letters, '&', '+', '%' and both line ends.
awk 'BEGIN { for (i = 0; i < 400000; i++)
  printf "<item seq=\"%d\" descr=\"Pre\347o &amp; 5%% + IVA\"/>%s", i, (i % 2 ? "\r\n" : "\n") }' |
  head -c 16777216 >"$tmp/batch.xml"
# Sent percent-encoded byte by byte (curl's own encoder refuses that much).
{
  printf 'tag=PED001&representante=8137&coddh=20240815093012000&totallote=00152390&xmldata='
  od -An -v -tx1 "$tmp/batch.xml" | sed 's/ /%/g' | tr -d '\n'
} >"$tmp/batch.body"

[ -n "$user" ] && chown -R "$user:$user" "$root" "$tmp/state"

# --- server --------------------------------------------------------------------------------------

nolib=/nonexistent/libfbclient.so.2
workers=()
if [ "$front" = cgi ]; then
  export ORVO_FCGI_SOCKET=$tmp/state/fcgiwrap.socket
  orvo_mount_conf "$server" "$program" "$root" >"$tmp/state/orvo.conf"
  orvo_mount_conf "$server" "$program" "$root" "$nolib" /nolib >"$tmp/state/nolib.conf"
else
  # nginx keeps its connections to the workers open (an upstream keepalive pool).
  [ "$web" = nginx ] && export ORVO_NGINX_KEEPALIVE=$tmp/state/orvo.sock
  # The client library is a setting of the worker: /nolib has workers of its own without one.
  orvo_mount_conf "$server" "$program" "$root" "" "" "$tmp/state/orvo.sock" >"$tmp/state/orvo.conf"
  orvo_mount_conf "$server" "$program" "$root" "$nolib" /nolib "$tmp/state/nolib.sock" \
    >"$tmp/state/nolib.conf"
  if [ "$web" != lighttpd ]; then
    # A sanitizer build's LeakSanitizer stops the process with a tracer at exit, which can crash
    # in a pool that changed its user (seen once with Apache); the workers' leaks are checked by
    # the fastcgi.* suites and the soak test, which start them as the test's own user.
    no_leak_check=ASAN_OPTIONS=detect_leaks=0
    start_fastcgi_worker "$tmp/state/worker.log" "$tmp/state/orvo.sock" "$user" "$program" 2 \
      ORVO_ROOT="$root" LANG=pt_BR.UTF-8 "$no_leak_check"
    workers=("$WORKER_PID")
    on_exit "stop_server $WORKER_PID"
    start_fastcgi_worker "$tmp/state/worker.log" "$tmp/state/nolib.sock" "$user" "$program" 1 \
      ORVO_ROOT="$root" LANG=pt_BR.UTF-8 ORVO_CLIENT_LIBRARY="$nolib" "$no_leak_check"
    workers+=("$WORKER_PID")
    on_exit "stop_server $WORKER_PID"
  fi
fi
start_web_server "$server" "$tmp/state" 0 "$user" "$tmp/state/orvo.conf" "$tmp/state/nolib.conf"
on_exit "stop_server $SERVER_PID"
base=http://127.0.0.1:$SERVER_PORT
printf '%s on port %s\n' "$server" "$SERVER_PORT"

# --- helpers -------------------------------------------------------------------------------------

# fetch PATH CURL-ARGS...: one request; sets STATUS and leaves the head and body in files.
fetch() {
  local path=$1
  shift
  STATUS=$(curl -sS -D "$tmp/head" -o "$tmp/body" -w '%{http_code}' "$@" "$base$path") ||
    STATUS="no answer"
}
# post PATH FIELD=VALUE...: a form post whose values curl encodes.
post() {
  local path=$1 args=()
  shift
  for f in "$@"; do args+=(--data-urlencode "$f"); done
  fetch "$path" "${args[@]}"
}
# header NAME: the value of a header of the last answer.
header() { sed -n "s/^$1: *\\(.*\\)\\r$/\\1/Ip" "$tmp/head" | head -n 1; }

preview() { head -c 160 "$1" | cat -v | tr '\n' ' '; }
expect_status() { [ "$STATUS" = "$1" ] || fail "status $STATUS, expected $1"; }
# expect_body BYTES: the body equals BYTES (printf escapes allowed).
expect_body() {
  printf "$1" >"$tmp/expected"
  cmp -s "$tmp/expected" "$tmp/body" ||
    fail "body '$(preview "$tmp/body")', expected '$(preview "$tmp/expected")'"
}
expect_body_contains() { grep -qF -- "$1" "$tmp/body" || fail "body lacks '$1': $(preview "$tmp/body")"; }
expect_header() { [ "$(header "$1")" = "$2" ] || fail "header $1 is '$(header "$1")', expected '$2'"; }
expect_file() { cmp -s "$1" "$2" || fail "$2 differs from $1"; }

source "$ORVO_TOP/tests/support/cases.sh"
# After a failed case: the last lines the server and the workers logged, for the reason.
after_failure() {
  local log
  for log in "$tmp/state/$web-error.log" "$tmp/state/worker.log"; do
    [ ! -s "$log" ] || tail -n 8 "$log" | sed "s|^|       $(basename "$log"): |"
  done
}
# False, and the case counted as skipped, without a Firebird server to log in to.
have_firebird() {
  [ -n "${ORVO_TEST_FB_DATABASE:-}" ] && return 0
  skip="ORVO_TEST_FB_DATABASE is not set (no Firebird server)"
  return 1
}

# --- cases ---------------------------------------------------------------------------------------

batch_fields=(tag=PED001 representante=8137 coddh=20240815093012000 totallote=00152390)
batch_file=$root/d/Movel/Lotes/VESTRA/PED001813720240815093012000001523903

upload_of_16_mib_batch_is_stored_byte_for_byte() {
  fetch /orvo/uploadxml --data-binary "@$tmp/batch.body"
  expect_status 200
  expect_body ''
  expect_header Content-Type text/html
  { cat "$tmp/batch.xml"; printf '\r\n'; } >"$tmp/stored"
  expect_file "$tmp/stored" "$batch_file.dwl"
}

verification_answers_total_and_keeps_bytes() {
  post /orvo/xmlverify "${batch_fields[@]}"
  expect_status 200
  expect_body 'Total do Lote: 1.523,90'
  expect_file "$tmp/stored" "$batch_file.xml"
  [ ! -e "$batch_file.dwl" ] || fail "the .dwl file is still there"
  post /orvo/xmlverify "${batch_fields[@]}"
  expect_body 'Erro'
}

listing_walks_subfolders_first_and_skips_hidden() {
  post /orvo/listaarquivos loja=0042 'filtro=*.xml'
  expect_status 200
  expect_body 'D:\\Movel\\Lotes\\0042\\Sub\\c.xml\r\nD:\\Movel\\Lotes\\0042\\a.xml\r\nD:\\Movel\\Lotes\\0042\\NF_TF01.xml\r\n'
}

text_file_is_read_with_crlf_lines() {
  post /orvo/lerxml 'arq=C:\Orvo\Texto\linhas.txt'
  expect_status 200
  expect_body 'um\r\nDois\r\ntr\xeas\r\n'
}

marker_swap_renames_and_answers_in_cp1252() {
  post /orvo/importarxml 'arquivoxml=D:\Movel\Lotes\0042\NF_TF01.xml'
  expect_status 200
  expect_body 'Conclu\xeddo: D:\\Movel\\Lotes\\0042\\\\NF_TM01.xml'
  [ -f "$root/d/Movel/Lotes/0042/NF_TM01.xml" ] || fail "NF_TM01.xml was not created"
  post /orvo/importarxml 'arquivoxml=D:\Movel\Lotes\0042\NF_XX99.xml'
  expect_body 'Arquivo n\xe3o encontrado'
}

images_since_the_day_before() {
  post /orvo/imagens data=15/01/2024
  expect_status 200
  expect_body 'C:\\Orvo\\Imagens\\novo.png\r\n'
}

get_reads_no_fields_from_the_query_string() {
  fetch '/orvo/imagens?data=15/01/2024'
  expect_status 200
  expect_body "'' is not a valid date"
  expect_header Content-Type text/html
}

# Apache keeps the program's Content-Length only when it sees the whole body at once.
head_runs_the_handler_without_a_body() {
  fetch /orvo/imagens --head
  expect_status 200
  expect_header Content-Type text/html
  [ "$web" = apache ] || expect_header Content-Length 22
}

path_is_matched_ignoring_case() {
  post /orvo/LerXML 'arq=C:\Orvo\Texto\linhas.txt'
  expect_status 200
  expect_body 'um\r\nDois\r\ntr\xeas\r\n'
}

failure_in_a_handler_is_the_application_error_page() {
  post /orvo/lerxml 'arq=C:\Orvo\Texto\falta.txt'
  expect_status 500
  expect_header Content-Type text/html
  expect_body_contains '<html><body><h1>Internal Application Error</h1>'
  expect_body_contains 'Cannot open file "C:\Orvo\Texto\falta.txt"'
  expect_body_contains '<i>/lerxml</i></body></html>'
}

missing_client_library_is_the_server_error_page() {
  fetch /nolib/imagens
  expect_status 500
  expect_body_contains '<html><title>Internal Server Error 500</title>'
  expect_body_contains 'Exception: EIBClientError<br>'
  expect_body_contains 'gds32.dll'
}

# The program writes nothing for a path that no entry matches; each server answers with a page
# of its own (documented in the README). The Apache FastCGI sample lets only the endpoints through.
unmatched_path_is_answered_by_the_server() {
  local status=500 text='500 Internal Server Error'
  [ "$server" = nginx ] && status=502 text='An error occurred while reading CGI reply'
  [ "$server" = nginx-fastcgi ] && status=502 text='502 Bad Gateway'
  [ "$server" = apache-fastcgi ] && status=404 text='Not Found'
  for path in /orvo/naoexiste /orvo/lerxml/ /orvo; do
    fetch $path
    expect_status $status
    expect_body_contains "$text"
  done
}

# The operator's log: each failure answer writes one line to the program's standard error, which
# every server puts in its error log (lighttpd in the log it keeps for its CGI programs' standard
# error); a request answered normally writes nothing there.
error_log=$tmp/state/$web-error.log
[ "$server" = lighttpd ] && error_log=$tmp/state/lighttpd-breakage.log
# expect_logged FRAGMENT...: a line of the error log holds every fragment (waits a moment, as a
# server may write it after the answer has gone out).
expect_logged() {
  local pattern
  for _ in $(seq 1 50); do
    pattern=$(grep -aF -- "$1" "$error_log")
    for fragment in "${@:2}"; do pattern=$(grep -aF -- "$fragment" <<<"$pattern"); done
    [ -n "$pattern" ] && return 0
    sleep 0.1
  done
  fail "no line in $error_log with: $*"
}

failures_reach_the_error_log() {
  post /orvo/lerxml 'arq=C:\Orvo\Texto\sem-registro.txt'
  expect_status 500
  expect_logged ' POST /lerxml EFOpenError: Cannot open file ' 'sem-registro.txt'
  fetch /nolib/imagens
  expect_status 500
  expect_logged ' GET /imagens EIBClientError: Biblioteca gds32.dll do InterBase'
  # The cases before this one answered normally or answered a failure as above: only the
  # failures of this script and of the cases that expect them are in the log.
  grep -aqE ' (POST|GET|HEAD) /(listaarquivos|importarxml|uploadxml|xmlverify) ' "$error_log" &&
    fail "a request answered normally was logged: $(grep -aE '/(listaarquivos|importarxml)' "$error_log")"
  if [ -n "${ORVO_TEST_FB_DATABASE:-}" ]; then
    post /orvo/listamanuais "u=$ORVO_TEST_FB_USER" "p=errada"
    expect_status 200
    expect_body ''
    expect_logged ' POST /listamanuais EIBInterBaseError: Your user name and password are not defined'
  fi
}

# The workers that this script started end cleanly when asked, leaving nothing in their log
# (where a sanitizer build would report) but the pools' start and stop.
workers_stop_cleanly() {
  local status
  for pid in "${workers[@]}"; do
    kill -TERM "$pid"
    wait "$pid"
    status=$?
    [ "$status" -eq 0 ] || fail "worker pool $pid ended with status $status"
  done
  # The pools' own lines of their start and stop are expected, and so are the hints that a burst
  # outran the workers or that a request was slow (a loaded machine makes them: the sanitizer
  # build's 16 MiB upload once took 19 s beside the other tests); anything else is a complaint.
  grep -Ev ']: (started [0-9]+ workers|stopping \(|stopped: |all [0-9]+ workers busy: |slow request: )' \
    "$tmp/state/worker.log" \
    >"$tmp/state/worker-complaints.log"
  [ ! -s "$tmp/state/worker-complaints.log" ] ||
    fail "worker log: $(preview "$tmp/state/worker-complaints.log")"
}

# Apache hands a query string without '=' to a CGI program as its command line: the program,
# started as CGI, must answer as CGI and never take it for its FastCGI options.
query_string_words_are_not_options() {
  fetch "/orvo/xmlverify?--fastcgi+$tmp/state/x" --max-time 20
  expect_status 500
  expect_body_contains "'' is not a valid integer value"
  [ ! -e "$tmp/state/x" ] || fail "the program opened a socket at $tmp/state/x"
}

manuals_are_listed_after_login() {
  have_firebird || return 0
  post /orvo/listamanuais "u=$ORVO_TEST_FB_USER" "p=$ORVO_TEST_FB_PASSWORD"
  expect_status 200
  expect_body 'C:\\Orvo\\Manuais\\Binarios\\tabela.bin\r\nC:\\Orvo\\Manuais\\guia.txt\r\n'
  post /orvo/listamanuais "u=$ORVO_TEST_FB_USER" "p=errada"
  expect_status 200
  expect_body ''
}

binary_manual_is_downloaded_byte_for_byte() {
  have_firebird || return 0
  local manual='C:\Orvo\Manuais\Binarios\tabela.bin'
  post /orvo/lermanuais "arq=$manual" "u=$ORVO_TEST_FB_USER" "p=$ORVO_TEST_FB_PASSWORD"
  expect_status 200
  expect_header Content-Type application/octet-stream
  expect_file "$root/c/Orvo/Manuais/Binarios/tabela.bin" "$tmp/body"
  post /orvo/lermanuais "arq=$manual" "u=$ORVO_TEST_FB_USER" "p=errada"
  expect_status 200
  expect_header Content-Type text/html
  expect_body ''
}

# 32 clients on kept connections at once: every request answered, none closed for idling.
kept_connections_answer_a_burst() {
  printf 'tag=PED001&representante=8137&coddh=20240815093012000&totallote=00152390' >"$tmp/form"
  ab -q -k -c 32 -n 3000 -p "$tmp/form" -T application/x-www-form-urlencoded \
    "$base/orvo/xmlverify" >"$tmp/ab.log" 2>&1 || fail "ab: $(preview "$tmp/ab.log")"
  grep -q '^Complete requests: *3000$' "$tmp/ab.log" && grep -q '^Failed requests: *0$' "$tmp/ab.log" ||
    fail "not every request answered: $(preview "$tmp/ab.log")"
  ! grep -q 'closed' "$tmp/state/worker.log" || fail "worker log: $(preview "$tmp/state/worker.log")"
}

cases=(upload_of_16_mib_batch_is_stored_byte_for_byte verification_answers_total_and_keeps_bytes
  listing_walks_subfolders_first_and_skips_hidden text_file_is_read_with_crlf_lines
  marker_swap_renames_and_answers_in_cp1252 images_since_the_day_before
  get_reads_no_fields_from_the_query_string head_runs_the_handler_without_a_body
  path_is_matched_ignoring_case failure_in_a_handler_is_the_application_error_page
  unmatched_path_is_answered_by_the_server missing_client_library_is_the_server_error_page
  failures_reach_the_error_log manuals_are_listed_after_login binary_manual_is_downloaded_byte_for_byte)
[ "$server" = apache ] && cases+=(query_string_words_are_not_options)
[ -n "${ORVO_NGINX_KEEPALIVE:-}" ] && cases+=(kept_connections_answer_a_burst)
[ ${#workers[@]} -gt 0 ] && cases+=(workers_stop_cleanly)
for t in "${cases[@]}"; do
  run "$t"
done
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
