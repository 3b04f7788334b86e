# Web servers that mount the program at /orvo on a loopback port: shared by the serve command and
# the HTTP tests. Each server gets its own configuration, pid and log files in a state folder and
# runs in the background; the caller stops it by pid (registered with on_exit).
# Needs common.sh.

HTTP_PACKAGES=(lighttpd apache2 nginx fcgiwrap curl libfcgi-bin)
ORVO_PREFIX=/orvo

# Prints the deploy/ sample of server $1 (lighttpd, apache or nginx; with -fastcgi appended, its
# FastCGI sample) with the program $2, the data root $3, when given the client library $4, the
# URL prefix $5 and the FastCGI worker socket $6 in place of the sample's; the nginx CGI sample
# talks to fcgiwrap at $ORVO_FCGI_SOCKET when that is set.
orvo_mount_conf() {
  local server=$1 program=$2 root=$3 library=${4:-} prefix=${5:-$ORVO_PREFIX} socket=${6:-}
  local sample="$ORVO_TOP/deploy/$server/orvo.conf"
  [ "$server" = "${server%-fastcgi}" ] || sample="$ORVO_TOP/deploy/${server%-fastcgi}/orvo-fastcgi.conf"
  [ -f "$sample" ] || die "no sample configuration $sample"
  local script="s#\([ \"^]\)$ORVO_PREFIX\b#\1$prefix#g"
  script="$script; s#/usr/bin/OrvoWebServerUploadXML#$program#; s#/var/lib/orvo#$root#"
  script="$script; s#/run/fcgiwrap.socket#${ORVO_FCGI_SOCKET:-/run/fcgiwrap.socket}#"
  if [ -n "$socket" ]; then
    script="$script; s#/run/orvo-webserver-uploadxml/fastcgi.sock#$socket#"
    script="$script; s#/run/lighttpd/orvo-fastcgi.sock#$socket#"
  fi
  # With ORVO_NGINX_KEEPALIVE set, nginx keeps its connections to the workers (start_nginx
  # declares the upstream pool).
  if [ -n "${ORVO_NGINX_KEEPALIVE:-}" ] && [ "$server" = nginx-fastcgi ]; then
    script="$script; s#fastcgi_pass unix:$ORVO_NGINX_KEEPALIVE;#fastcgi_pass orvo_workers; fastcgi_keep_conn on;#"
  fi
  if [ -n "$library" ]; then
    script="$script; /ORVO_CLIENT_LIBRARY/ { s/^\\(\\s*\\)# /\\1/; s#/usr/lib/[^\"]*libfbclient.so.2#$library# }"
  fi
  sed -e "$script" "$sample"
}

# True when something accepts connections on 127.0.0.1:$1.
port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Waits until the server with pid $1 answers HTTP on port $2; false when it died or never answered.
wait_for_http() {
  local pid=$1 port=$2
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || return 1
    curl -s -o /dev/null "http://127.0.0.1:$port/" && return 0
    sleep 0.1
  done
  return 1
}

# Stops the process $1 and waits for it, so its port is free again when this returns.
stop_server() {
  local pid=$1
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

# start_lighttpd STATE PORT USER MOUNT...: writes STATE/lighttpd.conf including the mount files,
# starts lighttpd on 127.0.0.1:PORT (as USER when given and we are root) and sets SERVER_PID.
start_lighttpd() {
  local state=$1 port=$2 user=$3; shift 3
  mkdir -p "$state/www"
  {
    echo "server.document-root = \"$state/www\""
    echo "server.bind = \"127.0.0.1\""
    echo "server.port = $port"
    echo "server.errorlog = \"$state/lighttpd-error.log\""
    # lighttpd gives the standard error of its CGI programs (the program's failure lines) a log
    # of its own; without it they go to lighttpd's standard error.
    echo "server.breakagelog = \"$state/lighttpd-breakage.log\""
    echo "server.upload-dirs = (\"$state\")"
    [ -n "$user" ] && echo "server.username = \"$user\"" && echo "server.groupname = \"$user\""
    echo 'server.modules = ("mod_alias", "mod_cgi", "mod_setenv")'
    for m in "$@"; do echo "include \"$m\""; done
  } >"$state/lighttpd.conf"
  lighttpd -tt -f "$state/lighttpd.conf" >/dev/null || die "lighttpd refuses $state/lighttpd.conf"
  # lighttpd opens its log after it has given up root.
  touch "$state/lighttpd-error.log" "$state/lighttpd-breakage.log"
  [ -n "$user" ] && chown "$user" "$state/lighttpd-error.log" "$state/lighttpd-breakage.log"
  lighttpd -D -f "$state/lighttpd.conf" </dev/null >>"$state/lighttpd-console.log" 2>&1 &
  SERVER_PID=$!
}

# start_apache STATE PORT USER MOUNT...: the same for Apache with mod_cgi (prefork) and
# mod_proxy_fcgi, in the
# foreground so SERVER_PID is the parent that owns the workers, and in a session of its own because
# it signals its whole process group when it stops.
start_apache() {
  local state=$1 port=$2 user=$3; shift 3
  local modules=/usr/lib/apache2/modules
  mkdir -p "$state/www"
  {
    echo "ServerRoot \"$state\""
    echo "ServerName 127.0.0.1"
    echo "Listen 127.0.0.1:$port"
    echo "PidFile \"$state/apache.pid\""
    echo "DefaultRuntimeDir \"$state\""
    echo "ErrorLog \"$state/apache-error.log\""
    echo "LogLevel warn"
    echo "DocumentRoot \"$state/www\""
    for m in mpm_prefork authz_core alias env cgi proxy proxy_fcgi; do
      echo "LoadModule ${m}_module $modules/mod_$m.so"
    done
    [ -n "$user" ] && echo "User $user" && echo "Group $user"
    for m in "$@"; do echo "Include \"$m\""; done
  } >"$state/apache.conf"
  /usr/sbin/apache2 -t -f "$state/apache.conf" >/dev/null 2>&1 ||
    die "apache refuses $state/apache.conf: $(/usr/sbin/apache2 -t -f "$state/apache.conf" 2>&1)"
  setsid /usr/sbin/apache2 -f "$state/apache.conf" -DFOREGROUND </dev/null >>"$state/apache-console.log" 2>&1 &
  SERVER_PID=$!
}

# Stops fcgiwrap $1 and then the children it leaves running when stopped.
stop_fcgiwrap() {
  local children
  children=$(pgrep -P "$1")
  stop_server "$1"
  for child in $children; do stop_server "$child"; done
}

# start_nginx STATE PORT USER MOUNT...: the same for nginx, with fcgiwrap (started once, on the
# socket $ORVO_FCGI_SOCKET when that is set, with $ORVO_FCGIWRAP_CHILDREN processes, stopped on
# exit) running the program as CGI. A MOUNT file that opens with an upstream block goes in the
# http block instead of the server's. With ORVO_NGINX_KEEPALIVE set to a workers' socket, nginx
# keeps up to 16 idle connections to it (the upstream orvo_workers).
start_nginx() {
  local state=$1 port=$2 user=$3; shift 3
  if [ -n "${ORVO_FCGI_SOCKET:-}" ] && [ ! -S "$ORVO_FCGI_SOCKET" ]; then
    local run=()
    [ -n "$user" ] && run=("$(command -v setpriv)" --reuid="$user" --regid="$user" --init-groups)
    "${run[@]}" fcgiwrap -f -c "${ORVO_FCGIWRAP_CHILDREN:-1}" -s "unix:$ORVO_FCGI_SOCKET" \
      </dev/null >>"$state/fcgiwrap.log" 2>&1 &
    # fcgiwrap leaves its children running when it is stopped.
    on_exit "stop_fcgiwrap $!; rm -f '$ORVO_FCGI_SOCKET'"
    for _ in $(seq 1 50); do [ -S "$ORVO_FCGI_SOCKET" ] && break; sleep 0.1; done
  fi
  mkdir -p "$state/www" "$state/nginx-temp"
  cp /etc/nginx/fastcgi_params "$state/"
  {
    echo "daemon off;"
    echo "pid $state/nginx.pid;"
    echo "error_log $state/nginx-error.log;"
    [ -n "$user" ] && echo "user $user;"
    echo "events {}"
    echo "http {"
    echo "  access_log off;"
    [ -z "${ORVO_NGINX_KEEPALIVE:-}" ] ||
      echo "  upstream orvo_workers { server unix:$ORVO_NGINX_KEEPALIVE; keepalive 16; }"
    for m in "$@"; do grep -q '^upstream ' "$m" && echo "  include $m;"; done
    for t in client_body proxy fastcgi uwsgi scgi; do echo "  ${t}_temp_path $state/nginx-temp/$t;"; done
    echo "  server {"
    echo "    listen 127.0.0.1:$port;"
    echo "    root $state/www;"
    for m in "$@"; do grep -q '^upstream ' "$m" || echo "    include $m;"; done
    echo "  }"
    echo "}"
  } >"$state/nginx.conf"
  nginx -t -q -e "$state/nginx-error.log" -c "$state/nginx.conf" ||
    die "nginx refuses $state/nginx.conf"
  nginx -e "$state/nginx-error.log" -c "$state/nginx.conf" </dev/null >>"$state/nginx-console.log" 2>&1 &
  SERVER_PID=$!
}

# start_fastcgi_worker LOG SOCKET USER PROGRAM WORKERS NAME=VALUE...: starts the program as a
# pool of WORKERS FastCGI workers on the Unix socket SOCKET (as USER when given and we are root)
# with exactly the given environment, its messages going to LOG, and waits until the socket is
# there. Sets WORKER_PID; the caller stops it (stop_server).
start_fastcgi_worker() {
  local log=$1 socket=$2 user=$3 program=$4 workers=$5; shift 5
  local run=()
  # setpriv becomes the program (runuser would stay as its parent), so WORKER_PID is the pool.
  [ -n "$user" ] && run=("$(command -v setpriv)" --reuid="$user" --regid="$user" --init-groups)
  env -i "$@" "${run[@]}" "$program" --fastcgi "$socket" --workers "$workers" </dev/null >>"$log" 2>&1 &
  WORKER_PID=$!
  for _ in $(seq 1 100); do
    [ -S "$socket" ] && return 0
    kill -0 "$WORKER_PID" 2>/dev/null || break
    sleep 0.1
  done
  cat "$log" >&2
  die "the FastCGI worker on $socket did not start"
}

# start_web_server SERVER STATE PORT USER MOUNT...: starts lighttpd, apache or nginx (SERVER may
# end in -fastcgi: the same server) and waits until it answers. With PORT 0 it picks free ports
# until one binds. Sets SERVER_PID and SERVER_PORT.
start_web_server() {
  local server=$1 state=$2 port=$3 user=$4; shift 4
  local tries=1
  [ "$port" = 0 ] && tries=10
  for _ in $(seq 1 "$tries"); do
    SERVER_PORT=$port
    if [ "$port" = 0 ]; then
      SERVER_PORT=$((20000 + RANDOM % 30000))
      port_in_use "$SERVER_PORT" && continue
    elif port_in_use "$SERVER_PORT"; then
      die "port $SERVER_PORT is already in use"
    fi
    "start_${server%-fastcgi}" "$state" "$SERVER_PORT" "$user" "$@"
    wait_for_http "$SERVER_PID" "$SERVER_PORT" && return 0
    stop_server "$SERVER_PID"
  done
  tail -n 20 "$state"/*.log >&2
  die "$server did not start"
}
