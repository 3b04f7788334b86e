// The FastCGI side of the operating system: the listening socket that a long-lived worker
// serves, the requests accepted on it (through Debian's FastCGI library, libfcgi), and the
// processes of a worker pool. Declared everywhere; defined only in builds with FastCGI
// (ORVO_FASTCGI, Linux), so callers guard their use with that macro.
//
// One request is open at a time in a process, as the program is single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace orvo {

// One accepted request: the parameters that the web server sent and the three streams.
// Destroying it finishes the request: the rest of the output goes out and the web server
// learns that the answer is complete.
class FastCgiRequest {
 public:
  virtual ~FastCgiRequest() = default;
  // A parameter of the request (the CGI variables and whatever the server adds); nullopt when
  // the server sent none of that name.
  virtual std::optional<std::string> Param(const std::string& name) = 0;
  // Reads up to `count` bytes of the body; fewer only at its end. 0 at the end, -1 when the
  // connection failed.
  virtual int64_t Read(void* buffer, size_t count) = 0;
  // Appends the bytes to the answer. Failures are not reported: a server that went away loses
  // the rest.
  virtual void Write(const void* buffer, size_t count) = 0;
  // Appends the bytes to the request's error stream (the web server's error log).
  virtual void WriteError(const void* buffer, size_t count) = 0;
};

// A listening socket.
class FastCgiListener {
 public:
  virtual ~FastCgiListener() = default;
  // Waits for the next request and returns it; nullptr once the process was asked to stop
  // (SIGTERM, SIGINT or SIGUSR1, taken while no request is open) or when the socket fails.
  virtual std::unique_ptr<FastCgiRequest> Accept() = 0;
};

// True when standard input is a listening socket: a FastCGI process manager started the program.
bool StartedByFastCgiManager();

// Listens on `address`: a Unix socket path ("/run/orvo/fastcgi.sock"; a stale socket file that
// nobody listens on is replaced, any other file is left alone) or "host:port"; the empty
// address is the listening socket on standard input. On failure returns nullptr and sets
// `*error` to the reason.
std::unique_ptr<FastCgiListener> OpenFastCgiListener(const std::string& address,
                                                     std::string* error);

// A pool of `count` worker processes, each running `serve` and ending with its result. A worker
// that ends is replaced by a new one (after a pause when it ended within a second of its
// start). SIGTERM or SIGINT stops the workers and ends the pool; returns its exit status.
int RunWorkerPool(int count, const std::function<int()>& serve);

}  // namespace orvo
