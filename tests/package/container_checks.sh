#!/usr/bin/env bash
# Run inside the booted container by container_test.sh: $1 the support database (host:path),
# $2 and $3 its user and password, $4 HOST/PORT of the same server at an address outside the
# unit's allow list.
set -uo pipefail
export LC_ALL=C
db=$1 user=$2 password=$3 outside=$4
unit=orvo-webserver-uploadxml-fastcgi
socket=/run/orvo-webserver-uploadxml/fastcgi.sock
root=/var/lib/orvo
config=$root/c/Orvo/Orvo.Net/Config/Orvo.Config
dropins=/etc/systemd/system/$unit.service.d
failed=0
fail() { echo "FAIL $*"; failed=1; }

DEBIAN_FRONTEND=noninteractive apt-get install -y -q /root/orvo.deb >/tmp/apt.log 2>&1 ||
  { cat /tmp/apt.log; echo "FAIL apt-get install"; exit 1; }

# write_config DATABASE [SECTION PATHXML]...: the configuration file of the data root $root.
write_config() {
  local file=${root:?}/c/Orvo/Orvo.Net/Config/Orvo.Config database=$1
  shift
  mkdir -p "$(dirname "$file")"
  {
    printf '[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\Lotes\r\n'
    while [ $# -gt 0 ]; do printf '[Orvo.Mobile.%s]\r\nPathXML=%s\r\n' "$1" "$2"; shift 2; done
    printf '[Orvo.FrameWork]\r\nPathImagens=C:\\Orvo\\Imagens\r\nPathManuais=C:\\Orvo\\Manuais\r\n'
    printf 'DBSuporte=%s\r\n' "$database"
  } >"$file"
}
write_config "$db"
mkdir -p $root/d/Lotes/VESTRA $root/c/Orvo/Imagens $root/c/Orvo/Manuais
printf '<nf/>' >$root/d/Lotes/VESTRA/NF_TF01.xml
printf 'png' >$root/c/Orvo/Imagens/novo.png
printf 'Guia\r\n' >$root/c/Orvo/Manuais/guia.txt
chown -R www-data:www-data $root

# request PATH BODY: one FastCGI request through the unit's socket (bodies are ASCII, encoded).
request() {
  printf '%s' "$2" | env -i REQUEST_METHOD=POST SERVER_PROTOCOL=HTTP/1.1 PATH_INFO="$1" \
    CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH=${#2} \
    cgi-fcgi -bind -connect $socket 2>&1
}
# expect PATH BODY TEXT: the answer holds TEXT.
expect() {
  local answer
  answer=$(request "$1" "$2" | tr -d '\r')
  grep -qF -- "$3" <<<"$answer" || fail "$1 answered '$(head -c 300 <<<"$answer")', expected '$3'"
}
# start VERB: starts or restarts the unit and waits for its socket.
start() {
  systemctl daemon-reload && systemctl "$1" $unit || fail "the unit did not $1"
  for _ in $(seq 1 50); do [ -S $socket ] && return; sleep 0.1; done
  fail "no socket after $1: $(journalctl -u $unit --no-pager | tail -5)"
}
start start

# --- all eight endpoints ---------------------------------------------------------------------
batch='tag=PED001&representante=8137&coddh=20240815093012000&totallote=00152390'
stored=D:%5CLotes%5CVESTRA%5CPED001813720240815093012000001523903.xml
login="u=$user&p=$password"
expect /uploadxml "$batch&xmldata=pacote" 'Status: 200'
expect /xmlverify "$batch" 'Total do Lote: 1.523,90'
expect /listaarquivos 'loja=VESTRA&filtro=*.xml' 'D:\Lotes\VESTRA\PED001813720240815093012000001523903.xml'
expect /lerxml "arq=$stored" 'pacote'
expect /importarxml 'arquivoxml=D:%5CLotes%5CVESTRA%5CNF_TF01.xml' 'NF_TM01.xml'
expect /imagens "data=$(date +%d/%m/%Y)" 'C:\Orvo\Imagens\novo.png'
expect /listamanuais "pasta=&$login" 'C:\Orvo\Manuais\guia.txt'
expect /lermanuais "arq=C:%5COrvo%5CManuais%5Cguia.txt&$login" 'Guia'

# --- the sandbox, as the kernel sees it in every process of the unit --------------------------
main=$(systemctl show -P MainPID $unit)
for pid in $main $(pgrep -P "$main"); do
  status=$(tr '\t' ' ' </proc/$pid/status)
  for line in 'NoNewPrivs: 1' 'Seccomp: 2' 'CapBnd: 0000000000000000' 'CapEff: 0000000000000000'; do
    grep -q "^$line" <<<"$status" || fail "process $pid lacks '$line'"
  done
done

# --- reload and stop under a stream of uploads ------------------------------------------------
# stream NAME: uploads until /tmp/halt exists or the socket refuses; a line per request in
# /tmp/stream.NAME: ok (answered, stored), refused (not accepted) or lost (anything else).
stream() {
  local i=0 answer
  while [ ! -e /tmp/halt ]; do
    i=$((i + 1))
    answer=$(request /uploadxml "tag=S$1x$i&${batch#tag=*&}&xmldata=x" | tr '\r\n' '  ')
    case "$answer" in
      *'Status: 200'*) echo ok ;;
      *'Could not connect'*) echo refused; break ;;
      *) echo "lost: $answer" ;;
    esac
  done >>/tmp/stream.$1
}
# streams ACTION: three streams while ACTION runs; sets counts (ok, refused, lost) and fails
# where a request was lost or an answered upload is not on the disk.
streams() {
  rm -f /tmp/halt /tmp/stream.*
  for name in 1 2 3; do stream $name & done
  sleep 0.5
  "$1"
  touch /tmp/halt
  wait
  counts=$(cat /tmp/stream.* | cut -d: -f1 | sort | uniq -c | xargs)
  echo "$1 under load: $counts"
  grep -q ok <<<"$counts" || fail "no upload was answered during $1"
  grep -q '^lost' /tmp/stream.* && fail "$(grep -h '^lost' /tmp/stream.* | head -3)"
  local stored
  stored=$(find $root/d/Lotes -name 'S*.dwl' -delete -print | wc -l)
  [ "$stored" -eq "$(cat /tmp/stream.* | grep -c '^ok')" ] || fail "an answered upload is missing"
}
reload() {
  for _ in 1 2 3; do systemctl reload $unit || fail "systemctl reload"; sleep 0.5; done
}
stop() { sleep 0.5; systemctl stop $unit; }
streams reload
grep -q refused <<<"$counts" && fail "requests were refused across reloads: $counts"

# --- an address outside the allow list, then named by a drop-in -------------------------------
# The filter drops the packets: the login waits until the request deadline, shortened here.
write_config "${outside}:${db#*:}"
mkdir -p $dropins
printf '[Service]\nEnvironment=ORVO_REQUEST_TIMEOUT=5\n' >$dropins/deadline.conf
start restart
expect /listamanuais "pasta=&$login" 'not answered within 5 seconds'
printf '[Service]\nIPAddressAllow=%s\n' "${outside%/*}" >$dropins/database.conf
start restart
expect /listamanuais "pasta=&$login" 'C:\Orvo\Manuais\guia.txt'
rm $dropins/database.conf $dropins/deadline.conf
write_config "$db"

# --- ORVO_ROOT=/, an operator's mistake: /etc, /usr and /srv stay read-only -------------------
printf '[Service]\nEnvironment=ORVO_ROOT=/\n' >$dropins/root.conf
root=/ write_config "$db" ETC 'E:\orvo' USR 'U:\local\orvo' SRV 'S:\orvo'
ln -s /etc /e
ln -s /usr /u
ln -s /srv /s
mkdir -p /etc/orvo/ETC /usr/local/orvo/USR /srv/orvo/SRV
chown -R www-data:www-data /etc/orvo /usr/local/orvo /srv/orvo
setpriv --reuid=www-data --regid=www-data --init-groups touch /etc/orvo/ETC/probe ||
  fail "www-data cannot write /etc/orvo/ETC: the check below would prove nothing"
rm -f /etc/orvo/ETC/probe
start restart
for store in ETC USR SRV; do
  expect /uploadxml "loja=$store&$batch&xmldata=x" 'The media is write protected'
done
left=$(find /etc/orvo /usr/local/orvo /srv/orvo -mindepth 2)
[ -z "$left" ] || fail "the uploads left: $left"
rm $dropins/root.conf
start restart

# --- stop under a stream: the requests in hand are answered, later ones refused ---------------
streams stop
[ "$(systemctl show -P Result $unit)" = success ] || fail "the unit stopped with $(systemctl show -P Result $unit)"
# Only the worker ended by the shortened deadline above may have ended.
journalctl -u $unit --no-pager -q | grep -E 'ended \(|code=(killed|dumped)' | grep -v 'exit status 3' &&
  fail "the journal holds the lines above"

[ "$failed" -eq 0 ] && echo "container: eight endpoints, reload, stop, file system and address limits hold"
exit "$failed"
