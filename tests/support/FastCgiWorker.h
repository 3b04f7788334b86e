// The program as a FastCGI worker, driven by a small FastCGI client of the tests' own: what
// RunProgram uses under ORVO_TEST_FRONT=fastcgi, and what the worker's own tests start.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace orvo::test {

using Environment = std::map<std::string, std::string>;

// The front through which RunProgram runs a program: "cgi" (default) or "fastcgi", from the
// variable ORVO_TEST_FRONT.
std::string TestFront();

// RunProgram through the FastCGI front: the same environment and body as one request to a
// worker of `path`. The worker is kept for the next request with the same worker environment
// (one per test's data root, locale, ...); one that ended or left a log fails the test.
ProgramResult RunThroughFastCgi(const std::string& path, const Environment& environment,
                                const std::string& input);

// The processes whose parent is `parent` (zombies left out).
std::set<pid_t> ChildrenOf(pid_t parent);

// The bytes of one request as a web server sends them: the start (with `role` and the flag that
// keeps the connection), the parameters and the body.
std::string FastCgiRequestBytes(const Environment& params, const std::string& body, int role = 1,
                                bool keep = false);
// A connection to a worker's socket (a path) or port ("host:port", then from the address `from`
// when given); -1 when it refuses.
int ConnectToWorker(const std::string& address, const std::string& from = "");
// The answer read from `fd` until its request ends (its status), the connection closes (status
// -2) or `seconds` pass (status -1). `protocolStatus` gets the end's protocol status.
ProgramResult ReadFastCgiAnswer(int fd, int seconds, int* protocolStatus = nullptr);

// Splits a CGI environment: what a worker is started with (everything but the request's own
// CGI variables: ORVO_ROOT, LANG, TZ, the stand-in library's settings, ...).
Environment WorkerEnvironment(const Environment& environment);

// `program` started with exactly `environment` and the command line `args`, by default
// "--fastcgi <socket in a temporary folder>"; its own output and error go to a log. Ready once
// the socket named after "--fastcgi" takes connections; throws when the program ends before.
// Destroying it stops it.
class FastCgiWorker {
 public:
  FastCgiWorker(const std::string& program, const Environment& environment,
                std::vector<std::string> args = {});
  ~FastCgiWorker();
  FastCgiWorker(const FastCgiWorker&) = delete;
  FastCgiWorker& operator=(const FastCgiWorker&) = delete;

  // One request on a new connection: `params` as its parameters, `body` as its standard input
  // (sent whole, whatever CONTENT_LENGTH says). `out` and `err` are the request's streams,
  // `status` the application status it ended with, -1 when it ended without an answer.
  // `midway`, when given, runs once half of the request has been sent.
  ProgramResult Request(const Environment& params, const std::string& body,
                        const std::function<void()>& midway = {}) const;

  pid_t pid() const { return pid_; }
  const std::string& socket() const { return socket_; }
  // False once the process has ended.
  bool Running();
  // Sends `signal` and waits for the end; returns the exit status, or 128 + signal number.
  int Stop(int signal = 15);
  // Everything the worker wrote to its own output and error so far.
  std::string Log() const;
  // The log without the pool's lines of every start, stop and reload.
  std::string Complaints() const;

 private:
  TempDir dir_;
  std::string socket_;
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace orvo::test
