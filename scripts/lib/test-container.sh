# Sourced by scripts/test: after the suites, the FastCGI unit as systemd rates it (an exposure of
# 1.5 at most by `systemd-analyze security`) and as systemd runs it, in a booted Debian container
# (tests/package/container_test.sh; skipped with its reason where the container cannot boot).
source "$ORVO_TOP/scripts/lib/container.sh"
ensure_packages "${CONTAINER_PACKAGES[@]}" socat

orvo_unit_stage() {
  local unit=$ORVO_TOP/packaging/orvo-webserver-uploadxml-fastcgi.service exposure status
  exposure=$(systemd-analyze security --offline=true "$unit" 2>/dev/null |
    sed -n 's/^.*Overall exposure level for .*: \([0-9.]*\) .*$/\1/p')
  log "the FastCGI unit's exposure: ${exposure:-not rated} (1.5 at most)"
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e + 0 <= 1.5) }' || return 1
  bash "$ORVO_TOP/tests/package/container_test.sh" "$ORVO_TOP/build-release"
  status=$?
  [ $status -eq 77 ] || return $status
}
ORVO_AFTER_SUITES+=(orvo_unit_stage)
