# Sourced by scripts/test: a running Firebird server with a support database and a user for
# the database tests. Stops the server at the end only when it started it.
source "$ORVO_TOP/scripts/lib/firebird.sh"

fb_ensure_packages
fb_start_server stop-on-exit
ORVO_TEST_FB_FILE="$FB_DATA_DIR/orvo-test.fdb"
fb_create_database "$ORVO_TEST_FB_FILE"
fb_create_user "$ORVO_TEST_FB_FILE" orvo_teste 'Senha.De.Teste1'
export ORVO_TEST_FB_DATABASE="localhost:$ORVO_TEST_FB_FILE"
export ORVO_TEST_FB_USER=orvo_teste
export ORVO_TEST_FB_PASSWORD='Senha.De.Teste1'
