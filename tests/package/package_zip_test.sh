#!/usr/bin/env bash
# The Windows package of the MinGW build folder $1 as an operator gets it: unpacked, installed
# as its install text says into a Wine prefix of its own (C: is the prefix's, D: a folder here),
# its sample configuration switched on, the program started as IIS starts a CGI program. It
# stores a batch and verifies it; a failure goes to the configured log file, never to standard
# error. Skipped (77) without Wine or without that build. Wine runs as an unprivileged user, with
# Z: an empty folder (tests/support/wine-run.sh).
set -uo pipefail
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
run="$(cd "$(dirname "$0")/../support" && pwd)/wine-run.sh"
[ -x "$wine" ] || { echo "skip: Wine ($wine) is not installed"; exit 77; }
build=$(cd "$1" 2>/dev/null && pwd)
stub=$build/tests/helpers/fbstub/client/gds32.dll
[ -f "$build/CPackConfig.cmake" ] && [ -f "$stub" ] ||
  { echo "skip: no Windows build with its tests in $1"; exit 77; }

tmp=$(mktemp -d)
chmod 0711 "$tmp"   # Wine's user passes through to its prefix
export WINEPREFIX=$tmp/prefix WINEDEBUG=-all
trap '"$run" "$wineserver" -k 2>/dev/null; rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL $*"; failed=1; }

cpack -G ZIP --config "$build/CPackConfig.cmake" -B "$tmp/package" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; exit 1; }
(cd "$tmp" && unzip -q package/*.zip) || { echo "FAIL the archive does not unpack"; exit 1; }
top=$(echo "$tmp"/OrvoWebServerUploadXML-*-win64)
for file in cgi-bin/OrvoWebServerUploadXML.exe cgi-bin/web.config Orvo.Config.sample INSTALL.txt \
  docs/operations.md; do
  [ -f "$top/$file" ] || fail "the archive has no $file"
done
sample=$top/Orvo.Config.sample
grep -qv $'\r$' "$sample" && fail "the sample has lines without Windows line ends"
grep -v '^;' "$sample" | tr -d '\r' | grep -q . && fail "the sample has active lines"
grep -q '^;LogFile=' "$sample" || fail "the sample shows no LogFile"
xmllint --noout "$top/cgi-bin/web.config" 2>/dev/null || fail "web.config is not well-formed XML"

"$run" --new-prefix || { echo "FAIL no Wine prefix"; exit 1; }
c=$WINEPREFIX/drive_c
cd "$c" || exit 1
# The server and its helpers stay up, started with their output away from the program's.
"$run" "$wineserver" -p
"$run" "$wine" cmd /c exit </dev/null >/dev/null 2>&1
mkdir -p "$tmp/d" "$c/Orvo/Orvo.Net/Config" "$c/Orvo/Logs"
ln -sfn "$tmp/d" "$WINEPREFIX/dosdevices/d:"
ln -sfn "$(dirname "$stub")" "$WINEPREFIX/dosdevices/y:"
cp -r "$top/cgi-bin" "$c/Orvo/"
sed 's/^;\(\[\|PathXML=\|LogFile=\)/\1/' "$sample" >"$c/Orvo/Orvo.Net/Config/Orvo.Config"
chown -R --reference="$WINEPREFIX" "$tmp/d" "$c/Orvo"

# Runs the program as IIS would for PATH_INFO $1 and the body $2. Every request loads the
# client library: the tests' stand-in, named as the install text says.
client='Y:\gds32.dll'
cgi() {
  printf '%s' "$2" | env GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=POST SERVER_PROTOCOL=HTTP/1.1 \
    PATH_INFO="$1" CONTENT_LENGTH=${#2} LANG=pt_BR.UTF-8 LOCPATH="$build/locale" \
    ORVO_CLIENT_LIBRARY="$client" \
    "$run" "$wine" 'C:\Orvo\cgi-bin\OrvoWebServerUploadXML.exe' >"$tmp/out" 2>"$tmp/err"
  [ -s "$tmp/err" ] && fail "$1 wrote to standard error: $(head -c 300 "$tmp/err")"
}
batch='tag=PED001&representante=8137&coddh=20240815093012000&totallote=00152390&xmldata=pacote'
stored=$tmp/d/Movel/Lotes/VESTRA/PED001813720240815093012000001523903

cgi /uploadxml "$batch"
grep -q '^Status: 200 OK' "$tmp/out" || fail "the upload answered: $(head -c 300 "$tmp/out")"
cmp -s "$stored.dwl" <(printf 'pacote\r\n') || fail "the upload stored no batch"
cgi /xmlverify "$batch"
grep -q 'Total do Lote: 1.523,90' "$tmp/out" ||
  fail "the verification answered: $(head -c 300 "$tmp/out")"
[ -f "$stored.xml" ] || fail "the verification left no verified batch"
cgi /lerxml 'arq=D%3A%5Cnada.txt'
grep -q '^Status: 500' "$tmp/out" || fail "a missing file answered: $(head -c 300 "$tmp/out")"
log=$c/Orvo/Logs/OrvoWebServerUploadXML.log
[ "$(wc -l <"$log" 2>/dev/null)" = 1 ] && grep -q ' POST /lerxml EFOpenError: ' "$log" ||
  fail "the log file is not the failure's one line: $(cat "$log" 2>/dev/null)"

[ "$failed" -eq 0 ] && echo "package: unpacks, serves an upload and its verification, logs a failure"
exit "$failed"
