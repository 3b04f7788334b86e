// The deadline of both hosts: a thread that waits for the time or for being called off.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "host/Host.h"

namespace orvo {

class ThreadDeadline : public Deadline {
 public:
  // `end` ends the process; it is called after `expired` when that returns true.
  ThreadDeadline(int seconds, std::function<bool()> expired, std::function<void()> end)
      : thread_([this, seconds, expired = std::move(expired), end = std::move(end)] {
          std::unique_lock lock(mutex_);
          for (;;) {
            restarted_ = false;
            const bool woken = calledOff_.wait_for(lock, std::chrono::seconds(seconds),
                                                   [&] { return off_ || restarted_; });
            if (off_) return;
            if (!woken) break;  // the time has passed
          }
          lock.unlock();
          if (expired()) end();
        }) {}
  ~ThreadDeadline() override {
    {
      std::lock_guard lock(mutex_);
      off_ = true;
    }
    calledOff_.notify_one();
    thread_.join();
  }
  ThreadDeadline(const ThreadDeadline&) = delete;
  ThreadDeadline& operator=(const ThreadDeadline&) = delete;

  void Restart() override {
    {
      std::lock_guard lock(mutex_);
      restarted_ = true;
    }
    calledOff_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable calledOff_;
  bool off_ = false;
  bool restarted_ = false;
  std::thread thread_;  // last: it starts once the rest is made
};

// The hosts' StartDeadline: nullptr when the thread cannot start.
inline std::unique_ptr<Deadline> StartThreadDeadline(int seconds, std::function<bool()> expired,
                                                     std::function<void()> end) {
  try {
    return std::make_unique<ThreadDeadline>(seconds, std::move(expired), std::move(end));
  } catch (const std::system_error&) {
    return nullptr;
  }
}

}  // namespace orvo
