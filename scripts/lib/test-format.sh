# Sourced by scripts/test: the sources keep the repository's .clang-format, so that neither
# platform's files drift. A difference fails the test command (after the tests have run).
ensure_packages clang-format
log "checking the formatting"
if ! (cd "$ORVO_TOP" && find src tests bench fuzz \( -name '*.cpp' -o -name '*.h' \) 2>/dev/null |
  sort | xargs clang-format --dry-run -Werror); then
  log "formatting differs from .clang-format: run clang-format -i on the files named above"
  status=1
fi
