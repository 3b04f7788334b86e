// The program's fronts: CGI (one request per process) or FastCGI (a long-lived worker), chosen
// by the way the program was started. A FastCGI worker serves each request with the very CGI
// request cycle that a CGI process runs: its own environment and body, a fresh application and
// module, so the configuration is read anew and any database attachment ends with the request.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/FastCgi.h"
#include "host/Host.h"
#include "web/WebApp.h"

namespace orvo {

// What the start of the program asks for.
struct TFrontChoice {
  enum TKind { fkCGI, fkFastCGI, fkUsage };
  TKind Kind = fkCGI;
  std::string Address;  // fkFastCGI: the socket to listen on; "" is the one on standard input
  int Workers = 1;      // fkFastCGI: worker processes, under a manager that replaces them
  std::string Error;    // fkUsage: what is wrong with the command line
};

// Chooses the front. Started as a CGI program (`startedAsCgi`: GATEWAY_INTERFACE is set) it is
// CGI whatever the command line says: a web server may turn a query string into arguments.
// Otherwise "--fastcgi ADDRESS" [--workers N] or a listening socket on standard input
// (`startedByManager`) choose FastCGI; no arguments choose CGI.
TFrontChoice ChooseFront(const std::vector<std::string>& args, bool startedAsCgi,
                         bool startedByManager);

// Wraps the host of every request; a test program uses it to watch the request's channels.
using TRequestHostWrapper = std::function<std::unique_ptr<Host>(Host* requestHost)>;

// Serves the requests of `listener` until it stops, each with a fresh CGI application running
// `moduleClass`. Deployment settings (the ORVO_* variables) come from the worker's own
// environment; every other variable is the request's. The current folder and the locale are
// put back as they were at start after each request. A request that fails is answered as a
// CGI process would answer it and the worker goes on; after running out of memory the worker
// answers that request and ends with status 1, for its manager to start a fresh one; a request
// that overstays its deadline (ORVO_REQUEST_TIMEOUT) is answered with the failure page and the
// worker ends with status 3. Returns 0 when asked to stop.
int ServeFastCgi(FastCgiListener& listener, const TWebModuleClass& moduleClass,
                 const TRequestHostWrapper& wrap = {});

// The program after start-up: chooses the front and serves with `moduleClass`. Returns the exit
// status (0; 1 for a worker that cannot go on; 2 for a wrong command line).
int RunFront(const std::vector<std::string>& args, const TWebModuleClass& moduleClass,
             const TRequestHostWrapper& wrap = {});

}  // namespace orvo
