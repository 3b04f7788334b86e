// The CGI application: one request per process, read from the CGI channels and answered on
// standard output, failures turned into error pages.
#pragma once

#include <exception>

#include "web/CGIHTTP.h"
#include "web/WebApp.h"

namespace orvo {

class TCGIApplication : public TWebApplication {
 public:
  TCGIApplication();

  // Serves the one request of the process. Never lets a failure out.
  void Run();

  // The last-resort answer: status 500 with the failure's class name and message.
  void WriteServerErrorPage(std::exception_ptr failure);
  // Logs a failure that came after the answer was sent.
  void LogLateFailure(std::exception_ptr failure);

 private:
  // Logs a request whose body arrived shorter than its declared length, once.
  static void LogCutShort(TCGIRequest& request);
};

// The process's application object, created at start-up and destroyed when the process ends
// (and with it the web module).
extern TCGIApplication* const Application;

}  // namespace orvo
