#include "web/CGIApp.h"

#include <memory>
#include <new>
#include <string>

#include "common/IniFiles.h"
#include "common/SysUtilsText.h"
#include "host/Host.h"
#include "web/CGIHTTP.h"
#include "web/ErrorLog.h"
#include "web/HTTPText.h"

namespace orvo {
namespace {

struct FailureText {
  std::string className;
  std::string message;
};

FailureText Describe(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Exception& e) {
    return {e.ClassName(), e.Message()};
  } catch (const std::bad_alloc&) {
    return {"EOutOfMemory", "Out of memory"};
  } catch (...) {
    return {"Exception", ""};
  }
}

// Describes a failure and writes it to the operator's log.
FailureText LogFailureOf(std::exception_ptr failure) {
  FailureText text = Describe(failure);
  LogFailure(TCGIRequest::EnvironmentVariable(TWebRequest::kMethod),
             TCGIRequest::EnvironmentVariable(TWebRequest::kPathInfo), text.className,
             text.message);
  return text;
}

TCGIApplication& TheApplication() {
  static TCGIApplication application;
  return application;
}

}  // namespace

TCGIApplication* const Application = &TheApplication();

TCGIApplication::TCGIApplication() {
  // The host is made first so that it outlives the application (and the module) at exit.
  Host::Default();
}

void TCGIApplication::Run() {
  // The response is destroyed before the request, also after a failure.
  std::unique_ptr<TCGIRequest> request;
  std::unique_ptr<TCGIResponse> response;
  // One read of the configuration for the allowed folders, the handler and the log.
  TRequestConfiguration configuration;
  BeginRequestLog();
  try {
    request = std::make_unique<TCGIRequest>();
    response = std::make_unique<TCGIResponse>(*request);
    HandleRequest(*request, *response);
    LogCutShort(*request);
  } catch (...) {
    // A failure after the answer went out cannot be answered again: a second head would be
    // read as part of the first answer's body.
    if (response && response->Sent()) {
      LogLateFailure(std::current_exception());
    } else {
      WriteServerErrorPage(std::current_exception());
    }
  }
}

void TCGIApplication::LogLateFailure(std::exception_ptr failure) {
  try {
    LogFailureOf(failure);
  } catch (...) {
  }
}

void TCGIApplication::LogCutShort(TCGIRequest& request) {
  // Worth the operator's attention even when the answer went out; a handler that refused the
  // request for it has logged it already.
  const std::string cutShort = request.Body().CutShortText();
  if (cutShort.empty() || FailureLogged()) return;
  LogFailure(request.Method(), request.PathInfo(), "EWebException", cutShort);
}

void TCGIApplication::WriteServerErrorPage(std::exception_ptr failure) {
  try {
    FailureText text = LogFailureOf(failure);
    // Built by concatenation: a "%" in the message is never read as a directive. The status
    // line carries the message as it is; the page shows it as text.
    std::string body =
        "<html><title>Internal Server Error 500</title>\r\n"
        "<h1>Internal Server Error 500</h1><hr>\r\n"
        "Exception: " +
        text.className +
        "<br>\r\n"
        "Message: " +
        HTMLEscape(text.message) + "<br></html>\r\n";
    std::string head = "Status: 500 " + text.message + "\r\n" + "Content-Type: text/html\r\n" +
                       "Content-Length: " + IntToStr(static_cast<int64_t>(body.size())) +
                       "\r\n\r\n";
    Host::Default().WriteStdout(head.data(), head.size());
    Host::Default().WriteStdout(body.data(), body.size());
  } catch (...) {
    // Nothing is left to answer with; the process still ends normally.
  }
}

}  // namespace orvo
