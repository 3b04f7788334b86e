// The sanitizer build's settings, built into every program that links the library
// (CMakeLists.txt).
//
// The leak checker keeps its own account of the thread-local blocks of loaded libraries (the
// client library has some) and guesses a block's bounds from its address: where the C library
// happens to place a block at an address where the guess expects a header, it reads a bogus range
// and the leak check crashes at exit. Without that account the blocks are still scanned, reached
// from the thread's own block vector like any other heap block, so no leak can hide.
extern "C" const char* __asan_default_options() { return "intercept_tls_get_addr=0"; }
