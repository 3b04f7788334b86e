#!/usr/bin/env bash
# Run inside the booted container by container_test.sh: $1 the support database (host:path),
# $2 and $3 its login, $4 HOST/PORT of the same server at an address outside the allow list.
set -uo pipefail
export LC_ALL=C
db=$1 login="u=$2&p=$3" outside=$4
unit=orvo-webserver-uploadxml-fastcgi
socket=/run/orvo-webserver-uploadxml/fastcgi.sock
dropins=/etc/systemd/system/$unit.service.d
failed=0
fail() { echo "FAIL $*"; failed=1; }
DEBIAN_FRONTEND=noninteractive apt-get install -y -q /root/orvo.deb >/tmp/apt.log 2>&1 ||
  { cat /tmp/apt.log; echo "FAIL apt-get install"; exit 1; }

write_config() { # ROOT DATABASE [STORE PATHXML]...: the configuration file of the data root ROOT
  local file=$1/c/Orvo/Orvo.Net/Config/Orvo.Config
  mkdir -p "${file%/*}"
  printf '[Orvo.FrameWork]\r\nPathImagens=C:\\Orvo\\Imagens\r\nPathManuais=C:\\Orvo\\Manuais\r\nDBSuporte=%s\r\n' "$2" >"$file"
  printf '[Orvo.Mobile.%s]\r\nPathXML=%s\r\n' VESTRA 'D:\Lotes' "${@:3}" >>"$file"
}
root=/var/lib/orvo
write_config $root "$db"
mkdir -p $root/d/Lotes/VESTRA $root/c/Orvo/Imagens $root/c/Orvo/Manuais
printf '<nf/>' >$root/d/Lotes/VESTRA/NF_TF01.xml
printf 'png' >$root/c/Orvo/Imagens/novo.png
printf 'Guia\r\n' >$root/c/Orvo/Manuais/guia.txt
chown -R www-data:www-data $root

# request PATH BODY: one FastCGI request through the unit's socket (ASCII bodies, encoded).
request() {
  printf '%s' "$2" | env -i REQUEST_METHOD=POST SERVER_PROTOCOL=HTTP/1.1 PATH_INFO="$1" \
    CONTENT_LENGTH=${#2} cgi-fcgi -bind -connect $socket 2>&1 | tr -d '\r'
}
expect() { # PATH BODY TEXT: the answer holds TEXT
  local answer
  answer=$(request "$1" "$2")
  grep -qF -- "$3" <<<"$answer" || fail "$1 answered '$(head -c 300 <<<"$answer")', expected '$3'"
}
start() { # start|restart, then wait for the socket
  systemctl daemon-reload && systemctl "$1" $unit || fail "the unit did not $1"
  for _ in $(seq 1 50); do [ -S $socket ] && return; sleep 0.1; done
  fail "no socket after $1: $(journalctl -u $unit --no-pager | tail -5)"
}
start start

batch='tag=PED001&representante=8137&coddh=20240815093012000&totallote=00152390'
name=PED001813720240815093012000001523903.xml
expect /uploadxml "$batch&xmldata=pacote" 'Status: 200'
expect /xmlverify "$batch" 'Total do Lote: 1.523,90'
expect /listaarquivos 'loja=VESTRA&filtro=*.xml' "D:\\Lotes\\VESTRA\\$name"
expect /lerxml "arq=D:%5CLotes%5CVESTRA%5C$name" 'pacote'
expect /importarxml 'arquivoxml=D:%5CLotes%5CVESTRA%5CNF_TF01.xml' 'NF_TM01.xml'
expect /imagens "data=$(date +%d/%m/%Y)" 'C:\Orvo\Imagens\novo.png'
expect /listamanuais "pasta=&$login" 'C:\Orvo\Manuais\guia.txt'
expect /lermanuais "arq=C:%5COrvo%5CManuais%5Cguia.txt&$login" 'Guia'

# Every process of the unit, as the kernel sees it.
for pid in $(systemctl show -P MainPID $unit) $(pgrep -P "$(systemctl show -P MainPID $unit)"); do
  [ "$(grep -cE '^(NoNewPrivs:\s1|Seccomp:\s2|CapBnd:\s0{16}|CapEff:\s0{16})$' /proc/$pid/status)" -eq 4 ] ||
    fail "process $pid: $(grep -E '^(NoNewPrivs|Seccomp|Cap)' /proc/$pid/status | xargs)"
done

# streams ACTION: three streams of uploads while ACTION runs, a line per request: ok, refused
# (not accepted: the stream ends) or lost (anything else). None may be lost, each ok is on disk.
streams() {
  rm -f /tmp/halt /tmp/stream.*
  for n in 1 2 3; do
    for ((i = 1; ; i++)); do
      answer=$(request /uploadxml "tag=S${n}x$i&${batch#tag=*&}&xmldata=x" | tr '\n' ' ')
      case "$answer" in *'Status: 200'*) echo ok ;; *'Could not connect'*) echo refused; break ;; *) echo "lost: $answer" ;; esac
      [ -e /tmp/halt ] && break
    done >/tmp/stream.$n &
  done
  sleep 0.5; "$1"; touch /tmp/halt; wait
  counts=$(cut -d: -f1 /tmp/stream.* | sort | uniq -c | xargs)
  echo "$1 under load: $counts"
  grep -q lost <<<"$counts" && fail "$(grep -h '^lost' /tmp/stream.* | head -3)"
  [ "$(find $root/d/Lotes -name 'S*.dwl' -delete -print | wc -l)" -eq "$(cat /tmp/stream.* | grep -c '^ok')" ] ||
    fail "an answered upload is missing"
}
reload() { for _ in 1 2 3; do systemctl reload $unit || fail "systemctl reload"; sleep 0.5; done; }
stop() { sleep 0.5; systemctl stop $unit; }
streams reload
[[ "$counts" =~ ok && ! "$counts" =~ refused ]] || fail "uploads failed across reloads: $counts"

# The database at an address outside the allow list: the filter drops the packets, so the
# login waits for the request deadline (shortened here), until a drop-in names the address.
write_config $root "${outside}:${db#*:}"
mkdir -p $dropins
printf '[Service]\nEnvironment=ORVO_REQUEST_TIMEOUT=5\n' >$dropins/deadline.conf
start restart
expect /listamanuais "pasta=&$login" 'not answered within 5 seconds'
printf '[Service]\nIPAddressAllow=%s\n' "${outside%/*}" >$dropins/database.conf
start restart
expect /listamanuais "pasta=&$login" 'C:\Orvo\Manuais\guia.txt'
rm $dropins/*.conf
write_config $root "$db"

# ORVO_ROOT=/ (an operator's mistake): drives E:, U: and S: lead to /etc, /usr and /srv, whose
# store folders www-data owns; the file system refuses the uploads all the same.
printf '[Service]\nEnvironment=ORVO_ROOT=/\n' >$dropins/root.conf
stores=()
for top in etc usr srv; do
  ln -s /$top /${top:0:1}
  mkdir -p /$top/orvo/${top^^} && chown -R www-data:www-data /$top/orvo
  stores+=("${top^^}" "${top:0:1}:\\orvo")
done
write_config / "$db" "${stores[@]}"
setpriv --reuid=www-data --regid=www-data --init-groups touch /etc/orvo/ETC/probe && rm /etc/orvo/ETC/probe ||
  fail "www-data cannot write /etc/orvo/ETC: the uploads below would prove nothing"
start restart
for store in ETC USR SRV; do
  expect /uploadxml "loja=$store&$batch&xmldata=x" 'The media is write protected'
done
left=$(find /etc/orvo /usr/orvo /srv/orvo -mindepth 2)
[ -z "$left" ] || fail "the uploads left: $left"
rm $dropins/root.conf
start restart

streams stop
[[ "$counts" =~ ok ]] || fail "no upload was answered during the stop: $counts"
[ "$(systemctl show -P Result $unit)" = success ] || fail "the stop ended in $(systemctl show -P Result $unit)"
# Only the worker ended by the shortened deadline may have ended.
journalctl -u $unit --no-pager -q | grep -E 'ended \(|code=(killed|dumped)' | grep -v 'exit status 3' &&
  fail "the journal holds the lines above"
[ "$failed" -eq 0 ] && echo "container: eight endpoints, reload, stop, file system and address limits hold"
exit "$failed"
