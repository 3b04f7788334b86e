# Sourced by scripts/test: the sources keep the repository's .clang-format, so that neither
# platform's files drift. A difference fails the test command (after the tests have run).
ensure_packages clang-format
log "checking the formatting"
format_folders=()
for d in src tests bench fuzz; do [ -d "$ORVO_TOP/$d" ] && format_folders+=("$d"); done
if ! (cd "$ORVO_TOP" && find "${format_folders[@]}" \( -name '*.cpp' -o -name '*.h' \) -print0 |
  sort -z | xargs -0 clang-format --dry-run -Werror); then
  log "formatting differs from .clang-format: run clang-format -i on the files named above"
  status=1
fi
