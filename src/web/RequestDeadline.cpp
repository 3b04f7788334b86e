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
  const std::optional<uint64_t> seconds = DigitsValue(host.GetEnvironment(name).value_or(""), 6);
  return seconds ? static_cast<int>(*seconds) : fallback;
}

int RequestTimeoutSeconds(Host& host) {
  return SecondsSetting(host, "ORVO_REQUEST_TIMEOUT", kDefaultTimeout);
}

TRequestDeadlineHost::~TRequestDeadlineHost() { deadline_.reset(); }

void TRequestDeadlineHost::Start(int seconds, int status, const std::string& method,
                                 const std::string& pathInfo, std::function<void()> finish) {
  if (seconds <= 0) return;
  Host& request = *target();
  // Made now, on the request's thread: the expiry only writes, its own time over the line's.
  const std::string message = "The request was not answered within " + IntToStr(seconds) +
                              " seconds (ORVO_REQUEST_TIMEOUT)";
  const std::string page = ApplicationErrorPage(message, pathInfo);
  PreparedExpiry expiry{
      &owner_, kDeadline, FailureLine(LocalTimeOf(0), method, pathInfo, "EWebException", message),
      "Status: 500 Internal Server Error\r\nContent-Type: text/html\r\nContent-Length: " +
          IntToStr(static_cast<int64_t>(page.size())) + "\r\nContent:\r\n\r\n" + page,
      status};
  if (!finish) {
    deadline_ = request.StartPreparedDeadline(seconds, std::move(expiry));
    return;
  }
  // A worker's answer must also be completed (its end record), which only a thread may do.
  deadline_ = request.StartDeadline(
      seconds,
      [&request, expiry = std::move(expiry), finish = std::move(finish)] {
        if (!request.Expire(expiry)) return false;  // the answer flows: slow is not stuck
        finish();
        return true;
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

}  // namespace orvo
