/* The floor of a request: the least any CGI program of this kind does. It loads the same
 * database client library as the program, reads the body the server declared, and writes the
 * answer the program gives to a verification of a batch that is not there. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const char kAnswer[] =
    "Status: 200 OK\r\nContent-Type: text/html\r\nContent-Length: 4\r\nContent:\r\n\r\nErro";

int main(void) {
  const char* library = getenv("ORVO_CLIENT_LIBRARY");
  void* handle = dlopen(library != NULL ? library : "libfbclient.so.2", RTLD_NOW | RTLD_LOCAL);
  if (handle == NULL || dlsym(handle, "isc_attach_database") == NULL) return 1;

  const char* length = getenv("CONTENT_LENGTH");
  long missing = length != NULL ? atol(length) : 0;
  char buffer[65536];
  while (missing > 0) {
    ssize_t got = read(0, buffer, missing < (long)sizeof buffer ? (size_t)missing : sizeof buffer);
    if (got <= 0) break;
    missing -= got;
  }
  if (write(1, kAnswer, strlen(kAnswer)) < 0) return 1;
  dlclose(handle);
  return 0;
}
