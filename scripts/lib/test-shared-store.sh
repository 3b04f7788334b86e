# Sourced by scripts/test: after the suites, several front ends (two FastCGI pools behind one
# nginx upstream, the CGI program, the Windows program under Wine) over one GlusterFS volume that
# the test starts on this machine and removes after (tests/shared-store). Skipped, saying why,
# where FUSE is missing; a failure fails the test command.
source "$ORVO_TOP/scripts/lib/gluster.sh"
ensure_packages "${GLUSTER_PACKAGES[@]}"
ORVO_AFTER_SUITES+=("shared_store_stage")

shared_store_stage() {
  local status=0 sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo   # it starts glusterd and mounts the volume
  $sudo bash "$ORVO_TOP/tests/shared-store/shared_store_test.sh" \
    "$ORVO_TOP/build-release/OrvoWebServerUploadXML" "$ORVO_TOP/build-wine" || status=$?
  [ $status -eq 77 ] && return 0
  return $status
}
