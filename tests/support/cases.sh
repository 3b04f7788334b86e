# The case runner of the shell test scripts: `run NAME` calls the function NAME, which reports a
# fault with `fail TEXT` (kept in `failures`) or sets `skip` to the reason it did not run; the
# counts go to `passed`, `failed` and `skipped`, for the script's closing "N passed, M failed".
# A script that defines `after_failure` has it called after a failed case (to show its logs).
passed=0 failed=0 skipped=0
failures=()
fail() { failures+=("$*"); }
run() {
  failures=() skip=""
  "$1"
  if [ -n "$skip" ]; then
    skipped=$((skipped + 1))
    echo "skip $1: $skip"
  elif [ ${#failures[@]} -eq 0 ]; then
    passed=$((passed + 1))
    echo "ok   $1"
  else
    failed=$((failed + 1))
    echo "FAIL $1"
    printf '       %s\n' "${failures[@]:0:12}"
    if declare -F after_failure >/dev/null; then after_failure; fi
  fi
}
