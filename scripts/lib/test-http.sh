# The HTTP tests (tests/http, run by ctest) start lighttpd and Apache themselves; they need the
# servers and curl installed.
source "$ORVO_TOP/scripts/lib/http.sh"
ensure_packages "${HTTP_PACKAGES[@]}"
