#include "web/RequestDeadline.h"

#include <chrono>
#include <thread>

#include "common/SysUtilsText.h"
#include "web/ErrorLog.h"
#include "web/HTTPApp.h"

namespace orvo {

namespace {

constexpr int kDefaultTimeout = 60;

}  // namespace

int SecondsSetting(Host& host, const std::string& name, int fallback) {
  std::optional<std::string> text = host.GetEnvironment(name);
  if (!text || text->empty() || text->size() > 6 ||
      text->find_first_not_of("0123456789") != std::string::npos) {
    return fallback;
  }
  return std::stoi(*text);
}

int RequestTimeoutSeconds(Host& host) {
  return SecondsSetting(host, "ORVO_REQUEST_TIMEOUT", kDefaultTimeout);
}

TRequestDeadlineHost::~TRequestDeadlineHost() { deadline_.reset(); }

void TRequestDeadlineHost::Start(int seconds, int status, const std::string& method,
                                 const std::string& pathInfo, std::function<void()> finish) {
  if (seconds <= 0) return;
  // The clock's zone is loaded here, on the request's thread: the expiry reads no file.
  target()->LocalNow();
  deadline_ = target()->StartDeadline(
      seconds,
      [this, seconds, method, pathInfo, finish = std::move(finish)] {
        return Expire(seconds, method, pathInfo, finish);
      },
      status);
}

bool TRequestDeadlineHost::Claim(Owner owner) {
  int expected = kNobody;
  return owner_.compare_exchange_strong(expected, owner) || expected == owner;
}

void TRequestDeadlineHost::WriteStdout(const void* buffer, size_t count) {
  if (!Claim(kProgram)) {
    // The deadline answers and ends the process; nothing of this request may follow its page.
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  HostWrapper::WriteStdout(buffer, count);
}

// Runs on the deadline's thread: true when the process must end.
bool TRequestDeadlineHost::Expire(int seconds, const std::string& method,
                                  const std::string& pathInfo,
                                  const std::function<void()>& finish) {
  if (!Claim(kDeadline)) return false;  // the answer flows: slow is not stuck
  const std::string message = "The request was not answered within " + IntToStr(seconds) +
                              " seconds (ORVO_REQUEST_TIMEOUT)";
  Host& request = *target();
  request.WriteOperatorLog(
      FailureLine(request.LocalNow(), method, pathInfo, "EWebException", message));
  const std::string page = ApplicationErrorPage(message, pathInfo);
  const std::string answer =
      "Status: 500 Internal Server Error\r\nContent-Type: text/html\r\n"
      "Content-Length: " +
      IntToStr(static_cast<int64_t>(page.size())) + "\r\nContent:\r\n\r\n" + page;
  HostWrapper::WriteStdout(answer.data(), answer.size());
  if (finish) finish();
  return true;
}

}  // namespace orvo
