# Sourced by scripts/test: after the suites, every fuzz target runs for ORVO_FUZZ_SECONDS (10 by
# default) from its seed corpus; a crash, leak, hang or broken property fails the test command.
ORVO_AFTER_SUITES+=("\"$ORVO_TOP/scripts/fuzz\" all ${ORVO_FUZZ_SECONDS:-10}")
