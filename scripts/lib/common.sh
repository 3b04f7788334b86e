# Shared by the project's scripts: paths, package installation, clean-up on exit.
ORVO_TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
ORVO_WORK=${ORVO_WORK:-$ORVO_TOP/work}   # ignored by git: builds' data, servers' state

log() { printf '==> %s\n' "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# Prints the Debian packages of those named that are not installed.
missing_packages() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || printf '%s ' "$p"
  done
}

# Installs the Debian packages that are missing (as root, or through sudo).
ensure_packages() {
  local missing
  read -ra missing <<<"$(missing_packages "$@")"
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  log "installing ${missing[*]}"
  $sudo apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

BUILD_PACKAGES=(g++ cmake make libgtest-dev libgmock-dev libcurl4-openssl-dev)

# Runs the clean-up commands registered with on_exit, last first, when the script ends.
ORVO_CLEANUPS=()
on_exit() { ORVO_CLEANUPS=("$*" "${ORVO_CLEANUPS[@]}"); }
run_cleanups() { for c in "${ORVO_CLEANUPS[@]}"; do eval "$c" || true; done; }
trap run_cleanups EXIT
trap 'exit 130' INT TERM

# Configures and builds the project into $1 with extra CMake arguments.
build_project() {
  local dir=$1; shift
  cmake -S "$ORVO_TOP" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
