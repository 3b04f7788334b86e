// The FastCGI side of the operating system: the listening socket that a long-lived worker
// serves, the requests accepted on it, and the processes of a worker pool. Declared everywhere;
// defined only in builds with FastCGI (ORVO_FASTCGI, Linux), so callers guard their use with
// that macro.
//
// One request is open at a time in a worker, as the program is single-threaded. The connections
// themselves are held by the pool (or by a lone worker between its requests), which reads them
// without blocking and hands a worker only a request whose part the program reads has arrived.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "fastcgi/FastCgiProtocol.h"

namespace orvo {

// One accepted request: the parameters that the web server sent and the three streams. Its
// whole body has arrived before it is handed out. Destroying it completes the answer.
class FastCgiRequest {
 public:
  virtual ~FastCgiRequest() = default;
  // A parameter of the request (the CGI variables and whatever the server adds); nullopt when
  // the server sent none of that name.
  virtual std::optional<std::string> Param(const std::string& name) = 0;
  // Reads up to `count` bytes of the body; fewer only at its end. 0 at the end.
  virtual int64_t Read(void* buffer, size_t count) = 0;
  // Moves the rest of the body into `*body` without copying it; false when it cannot.
  virtual bool TakeBody(std::string* body) {
    (void)body;
    return false;
  }
  // `arrived` is called whenever more of a body that was still arriving when the request was taken
  // has come in, after the program waited for it.
  virtual void OnBodyArrival(std::function<void()> arrived) { (void)arrived; }
  // Appends the bytes to the answer. Failures are not reported: a server that went away, or
  // took nothing for the idle time, loses the rest.
  virtual void Write(const void* buffer, size_t count) = 0;
  // Appends the bytes to the request's error stream (the web server's error log).
  virtual void WriteError(const void* buffer, size_t count) = 0;
  // Completes the answer now; later writes are dropped. Safe beside the program's thread (a
  // deadline's callback).
  virtual void Complete() = 0;
  // Completes the answer of a process that ends right after: whoever handed the request over
  // learns from that end, not from a word that the process is free for the next request.
  virtual void CompleteBeforeEnd() { Complete(); }
};

// A listening socket.
class FastCgiListener {
 public:
  virtual ~FastCgiListener() = default;
  // Waits for the next request that someone still waits for and returns it; nullptr once the
  // process was asked to stop (taken while no request is open) or when the socket fails.
  // Connections that send nothing, or that were given up before their request ran, are closed
  // on the way, with a line on standard error. Its body is all in memory.
  virtual std::unique_ptr<FastCgiRequest> Accept() = 0;
};

// The limits of the connections and requests of a socket.
struct FastCgiLimits {
  // Seconds between two reads of a connection, or two sends that move nothing, after which it is
  // closed.
  int idleSeconds = 30;
  // A request slower than this many seconds is named on standard error (0: none).
  int slowSeconds = 5;
  // Connections held at once; when full, the one idle longest (running nothing) is closed.
  int maxConnections = 4096;
  // Bytes that waiting requests may hold together; when over, the connections with partial
  // requests that were idle longest are closed.
  size_t maxWaitingBytes = size_t{256} << 20;
  // The body bytes the program will read of a request: no more are kept.
  fastcgi::BodyRule bodyRule;
  // Where a large body goes as it arrives (the pool's memory files); empty: the request's string.
  fastcgi::BodyStoreMaker bodyStore;
};

// True when standard input is a listening socket: a FastCGI process manager started the program.
bool StartedByFastCgiManager();

// Listens on `address`: a Unix socket path ("/run/orvo/fastcgi.sock"; a stale socket file that
// nobody listens on is replaced, any other file is left alone) or "host:port"; the empty
// address is the listening socket on standard input. On failure returns nullptr and sets
// `*error` to the reason.
std::unique_ptr<FastCgiListener> OpenFastCgiListener(const std::string& address,
                                                     const FastCgiLimits& limits,
                                                     std::string* error);

// A pool of `count` worker processes on `listener`, each running `serve` and ending with its
// result, as php-fpm's and nginx's operators expect of the signals to the pool:
//   QUIT, TERM  graceful stop: the workers finish the request in hand and end, the socket
//               file goes, the pool ends with 0
//   INT         stop at once (a save in progress takes its temporary file with it)
//   HUP, USR2   graceful reload: new workers take over the same socket, the old ones finish
//               their request and end
// A worker that ends is replaced; more than 10 ends in 10 s slow the restarts to one a second.
// Workers end when the pool dies. The pool tells standard error when it starts and stops (with
// the requests served) and when every worker is busy while a connection waits. Returns the
// pool's exit status.
int RunWorkerPool(FastCgiListener& listener, int count, const std::function<int()>& serve);

}  // namespace orvo
