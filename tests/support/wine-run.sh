#!/bin/sh
# Every test start of the Windows build under Wine goes through here, so that a fault of the
# program's path gate can never reach this machine's files: Wine runs as the owner of $WINEPREFIX,
# never as root, and the prefix's Z: (by default the Linux root) is an empty folder.
#
#   wine-run.sh COMMAND...   runs COMMAND (the loader, wineserver, a shell) as the owner
#   wine-run.sh --test LOADER PROGRAM
#                            runs a test program as the owner, once more when Wine ended the
#                            start itself (see run_test)
#   wine-run.sh --new-prefix makes $WINEPREFIX anew; run by root, for the user orvo-wine (made
#                            here when missing), who may write nothing but the prefix and what a
#                            test hands over to it
set -eu
: "${WINEPREFIX:?WINEPREFIX is not set}"
WINE_USER=orvo-wine
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

fail() { echo "wine-run: $*" >&2; exit 1; }

# Runs "$@" as the prefix's owner, with its own HOME and USER.
as_owner() {
  uid=$(stat -c %u "$WINEPREFIX") || fail "no prefix $WINEPREFIX"
  user=$(stat -c %U "$WINEPREFIX")
  [ "$uid" != 0 ] || fail "$WINEPREFIX belongs to root: make it anew with $0 --new-prefix"
  if [ "$(id -u)" = 0 ]; then
    gid=$(stat -c %g "$WINEPREFIX")
    exec env HOME="$WINEPREFIX" USER="$user" LOGNAME="$user" \
      setpriv --reuid="$uid" --regid="$gid" --clear-groups -- "$@"
  fi
  [ "$uid" = "$(id -u)" ] || fail "$WINEPREFIX belongs to $user, not to $(id -un)"
  exec env HOME="$WINEPREFIX" "$@"
}

# Lets the user reach the prefix's folder: each folder above it that the user cannot pass
# through gets an entry for that user alone (search, not read).
reach_prefix() {
  dir=$(dirname "$WINEPREFIX")
  while [ "$dir" != / ]; do
    if ! setpriv --reuid="$WINE_USER" --regid="$WINE_USER" --clear-groups -- test -x "$dir"; then
      setfacl -m "u:$WINE_USER:x" "$dir" || fail "$WINE_USER cannot pass through $dir"
      echo "wine-run: $WINE_USER may now pass through $dir" >&2
    fi
    dir=$(dirname "$dir")
  done
}

new_prefix() {
  if [ -d "$WINEPREFIX" ]; then
    # A server left by an interrupted run goes with its prefix.
    (as_owner "$wineserver" -k) 2>/dev/null || true
    rm -rf "$WINEPREFIX"
  fi
  empty="$WINEPREFIX-z"
  rm -rf "$empty"
  mkdir -p "$WINEPREFIX" "$empty"
  chmod 0555 "$empty"
  if [ "$(id -u)" = 0 ]; then
    id "$WINE_USER" >/dev/null 2>&1 ||
      useradd --system --user-group --no-create-home --home-dir /nonexistent \
        --shell /usr/sbin/nologin "$WINE_USER" || fail "cannot make the user $WINE_USER"
    chown "$WINE_USER:$WINE_USER" "$WINEPREFIX"
    reach_prefix
  fi
  ("$0" "$wine" wineboot -i) >/dev/null 2>&1 && ("$0" "$wineserver" -w) ||
    fail "wineboot failed in $WINEPREFIX"
  # Z: leads nowhere: the tests name their drives' folders through C:, D:, ...
  ln -sfn "$empty" "$WINEPREFIX/dosdevices/z:"
}

# Rarely, on a loaded machine, Wine ends a start with a failure before the program has run: no
# output at all, or only its own "wine client error:" lines. A test program always prints, so such
# a start is made once more, saying so; the second start's result is the test's. (The end-to-end
# harness, WineTarget.cpp, does the same for the program, whose streams and input it keeps apart.)
run_test() {
  log=$(mktemp) || fail "no temporary file"
  status=0
  (as_owner "$@") >"$log" 2>&1 || status=$?
  if [ "$status" != 0 ] && ! grep -qv '^wine client error:' "$log"; then
    echo "wine-run: Wine ended a start with status $status before the program ran; starting it again"
    status=0
    (as_owner "$@") >"$log" 2>&1 || status=$?
  fi
  cat "$log"
  rm -f "$log"
  exit "$status"
}

case "${1:-}" in
  --new-prefix) new_prefix ;;
  --test) shift; run_test "$@" ;;
  "") fail "usage: $0 --new-prefix | --test LOADER PROGRAM | COMMAND..." ;;
  *) as_owner "$@" ;;
esac
