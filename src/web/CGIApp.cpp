#include "web/CGIApp.h"

#include <memory>
#include <new>
#include <string>

#include "common/SysUtilsText.h"
#include "host/Host.h"
#include "web/CGIHTTP.h"
#include "web/ErrorLog.h"

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
  try {
    // The response is destroyed before the request, also after a failure.
    auto request = std::make_unique<TCGIRequest>();
    auto response = std::make_unique<TCGIResponse>(*request);
    HandleRequest(*request, *response);
    LogCutShort(*request);
  } catch (...) {
    WriteServerErrorPage(std::current_exception());
  }
}

void TCGIApplication::LogCutShort(TCGIRequest& request) {
  // Worth the operator's attention even when the answer went out; a handler that refused the
  // request for it has logged it already.
  const int64_t declared = request.ContentLength();
  const auto received = static_cast<int64_t>(request.Content().size());
  if (declared <= received || FailureLogged()) return;
  LogFailure(request.Method(), request.PathInfo(), "EWebException",
             "Incomplete request body: " + IntToStr(received) + " of " + IntToStr(declared) +
                 " bytes received");
}

void TCGIApplication::WriteServerErrorPage(std::exception_ptr failure) {
  try {
    FailureText text = Describe(failure);
    LogFailure(TCGIRequest::EnvironmentVariable(TWebRequest::kMethod),
               TCGIRequest::EnvironmentVariable(TWebRequest::kPathInfo), text.className,
               text.message);
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
