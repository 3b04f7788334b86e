// The deadline of a request's answer (ORVO_REQUEST_TIMEOUT seconds, default 60, 0 for none): a
// request that has written nothing when it passes is answered with the dispatcher's failure page
// naming the limit, logged, and its process ends (a worker pool starts another). Once the answer
// has begun it is never cut for being slow.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "host/HostWrapper.h"

namespace orvo {

// A setting in seconds from the process's environment (ORVO_REQUEST_TIMEOUT, ...), read once
// per process; `fallback` when it is unset or not a number. 0 turns the limit off.
int SecondsSetting(Host& host, const std::string& name, int fallback);
// The request deadline's setting: ORVO_REQUEST_TIMEOUT, default 60.
int RequestTimeoutSeconds(Host& host);

// The host of a request under a deadline: its answer belongs to whoever writes first, the
// program or the deadline. The deadline's thread touches only the request's own channels, through
// the host this one wraps: the failure page and one line of the host's log. It never reads the
// configuration, opens LogFile or goes through the default host, which the request's thread
// keeps using beside it.
class TRequestDeadlineHost : public HostWrapper {
 public:
  explicit TRequestDeadlineHost(Host* target) : HostWrapper(target) {}
  ~TRequestDeadlineHost() override;

  // Arms the deadline (nothing when `seconds` is 0). On expiry with no answer begun, the failure
  // page for the request `method` `pathInfo` goes out, then `finish` (which completes the
  // answer), then the process ends with `status`.
  void Start(int seconds, int status, const std::string& method, const std::string& pathInfo,
             std::function<void()> finish = {});

  // Calls the deadline off, waiting for an expiry already under way; after it no other thread
  // acts for the request, so the host that was the default before may come back.
  void Stop() { deadline_.reset(); }
  // Counts the deadline again from now (a worker's body that came in only while it ran).
  void Restart() {
    if (deadline_) deadline_->Restart();
  }

  void WriteStdout(const void* buffer, size_t count) override;

 private:
  enum Owner { kNobody, kProgram, kDeadline };
  bool Claim(Owner owner);

  std::atomic<int> owner_{kNobody};
  std::unique_ptr<Deadline> deadline_;
};

}  // namespace orvo
