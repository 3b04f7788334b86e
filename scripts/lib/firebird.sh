# Firebird 3 for the support database: install, start without systemd, create a database and a
# user. Sourced after common.sh (log, die, ensure_packages, on_exit).

FIREBIRD_PACKAGES=(firebird3.0-server firebird3.0-utils libfbclient2)
FB_HOST=127.0.0.1
FB_PORT=3050
FB_RUN_DIR=/run/firebird3.0
FB_DATA_DIR=/var/lib/firebird/3.0/data
FB_SYSDBA_FILE=/etc/firebird/3.0/SYSDBA.password
FB_STARTED_GUARD=""   # pid of the fbguard that fb_start_server started, if any

fb_listening() { (: </dev/tcp/$FB_HOST/$FB_PORT) 2>/dev/null; }

# Installs the server, its tools and the client library when they are missing. The package's
# post-install step generates the SYSDBA password; a non-interactive install keeps it random.
fb_ensure_packages() {
  ensure_packages "${FIREBIRD_PACKAGES[@]}"
}

# Starts fbguard as the firebird user unless a server already listens. Registers its stop with
# on_exit when $1 is "stop-on-exit". Dies when the server does not come up.
fb_start_server() {
  if fb_listening; then
    log "firebird already listening on $FB_HOST:$FB_PORT"
    return 0
  fi
  [ "$(id -u)" -eq 0 ] || die "starting firebird needs root (or start it yourself)"
  mkdir -p "$FB_RUN_DIR"
  chown firebird:firebird "$FB_RUN_DIR"
  local pidfile="$FB_RUN_DIR/orvo-firebird.pid"
  rm -f "$pidfile"
  log "starting firebird"
  su -s /bin/sh firebird -c "/usr/sbin/fbguard -daemon -forever -pidfile $pidfile" \
    || die "fbguard did not start"
  local i
  for i in $(seq 1 100); do
    fb_listening && [ -s "$pidfile" ] && break
    sleep 0.1
  done
  fb_listening || die "firebird is not listening on $FB_HOST:$FB_PORT"
  # The pid file names the server; the guard that restarts it is its parent.
  local server
  server=$(cat "$pidfile")
  FB_STARTED_GUARD=$(ps -o ppid= -p "$server" | tr -d ' ')
  [ -n "$FB_STARTED_GUARD" ] || die "cannot find the fbguard of firebird $server"
  FB_STARTED_SERVER=$server
  [ "${1:-}" = stop-on-exit ] && on_exit fb_stop_server
  return 0
}

# Stops what fb_start_server started, by its pids: the guard shuts its server down.
fb_stop_server() {
  [ -n "$FB_STARTED_GUARD" ] || return 0
  log "stopping firebird"
  kill -TERM "$FB_STARTED_GUARD" 2>/dev/null || true
  local i
  for i in $(seq 1 100); do
    kill -0 "$FB_STARTED_SERVER" 2>/dev/null || kill -0 "$FB_STARTED_GUARD" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$FB_STARTED_SERVER" "$FB_STARTED_GUARD" 2>/dev/null || true
  FB_STARTED_GUARD=""
}

fb_sysdba_password() {
  sed -n 's/^ISC_PASSWORD="\{0,1\}\([^"]*\)"\{0,1\}$/\1/p' "$FB_SYSDBA_FILE"
}

# Runs SQL text from standard input as SYSDBA, against database $1 when given.
fb_sql() {
  local pw
  pw=$(fb_sysdba_password)
  [ -n "$pw" ] || die "no SYSDBA password in $FB_SYSDBA_FILE"
  if [ $# -gt 0 ]; then
    isql-fb -q -bail -user SYSDBA -password "$pw" "$FB_HOST:$1"
  else
    isql-fb -q -bail -user SYSDBA -password "$pw"
  fi
}

# Creates the database file $1 (a path under $FB_DATA_DIR) unless it exists.
fb_create_database() {
  local file=$1
  [ -e "$file" ] && return 0
  log "creating database $file"
  local pw
  pw=$(fb_sysdba_password)
  printf "CREATE DATABASE '%s:%s' USER 'SYSDBA' PASSWORD '%s';\nCOMMIT;\n" \
    "$FB_HOST" "$file" "$pw" | isql-fb -q -bail >/dev/null || die "cannot create $file"
}

# Creates user $2 with password $3, or resets the password of an existing one, through the
# database $1.
fb_create_user() {
  local file=$1 user=$2 password=$3
  printf "CREATE OR ALTER USER %s PASSWORD '%s';\nCOMMIT;\n" "$user" "$password" \
    | fb_sql "$file" >/dev/null || die "cannot create user $user"
}
