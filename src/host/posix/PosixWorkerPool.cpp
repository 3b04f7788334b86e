// The worker pool: its processes, the signals operators send it, and what it tells them.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <new>
#include <vector>

#include "host/FastCgi.h"
#include "host/posix/PosixFastCgi.h"

namespace orvo {
namespace posix {

WorkerSlot* currentSlot = nullptr;
volatile sig_atomic_t stopRequested = 0;

namespace {

int wakePipe[2] = {-1, -1};

constexpr int kStopSignals[] = {SIGQUIT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2};

extern "C" void OnStopSignal(int) {
  const int savedErrno = errno;
  stopRequested = 1;
  ssize_t ignored = write(wakePipe[1], "", 1);
  (void)ignored;
  errno = savedErrno;
}

extern "C" void OnInterrupt(int) { EndProcessNow(0); }

}  // namespace

int WakeDescriptor() { return wakePipe[0]; }

void InstallWorkerSignals() {
  for (int& end : wakePipe) {
    if (end >= 0) close(end);
  }
  if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe[0] = wakePipe[1] = -1;
  stopRequested = 0;
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // a request in hand goes on undisturbed
  action.sa_handler = OnStopSignal;
  sigset_t handled;
  sigemptyset(&handled);
  for (int signal : kStopSignals) {
    sigaction(signal, &action, nullptr);
    sigaddset(&handled, signal);
  }
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, nullptr);
  sigaddset(&handled, SIGINT);
  // A web server that closes the connection early must not end the worker.
  signal(SIGPIPE, SIG_IGN);
  sigprocmask(SIG_UNBLOCK, &handled, nullptr);
}

int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

void Say(const std::string& text) {
  std::string line = "OrvoWebServerUploadXML[" + std::to_string(getpid()) + "]: " + text + "\n";
  ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

namespace {

constexpr int kTickMs = 250;
constexpr int64_t kWaitWarningMs = 1000;
constexpr size_t kFastEnds = 10;
constexpr int64_t kFastEndWindowMs = 10000;
constexpr int64_t kThrottledStartMs = 1000;

// The slots of the workers, in memory that the forked workers share with the pool. Twice the
// pool's size: during a reload the leaving workers keep theirs.
class SlotTable {
 public:
  explicit SlotTable(int count) : size_(static_cast<size_t>(count) * 2) {
    void* memory =
        mmap(nullptr, Bytes(), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    slots_ = memory == MAP_FAILED ? nullptr : static_cast<WorkerSlot*>(memory);
    for (size_t i = 0; i < size_; ++i) {
      if (slots_ != nullptr) new (&slots_[i]) WorkerSlot;
      free_.push_back(i);
    }
  }
  ~SlotTable() {
    if (slots_ != nullptr) munmap(slots_, Bytes());
  }
  SlotTable(const SlotTable&) = delete;
  SlotTable& operator=(const SlotTable&) = delete;

  // A free slot, emptied; -1 when none is left.
  int Take() {
    if (free_.empty()) return -1;
    size_t index = free_.front();
    free_.pop_front();
    if (slots_ != nullptr) {
      slots_[index].busySinceMs = 0;
      slots_[index].served = 0;
    }
    return static_cast<int>(index);
  }
  // Gives a slot back; returns the requests served in it.
  uint64_t Give(int index) {
    free_.push_back(static_cast<size_t>(index));
    return slots_ != nullptr ? slots_[index].served.load() : 0;
  }
  WorkerSlot* At(int index) { return slots_ != nullptr ? &slots_[index] : nullptr; }

 private:
  size_t Bytes() const { return sizeof(WorkerSlot) * size_; }
  size_t size_;
  WorkerSlot* slots_;
  std::deque<size_t> free_;
};

std::string EndText(int status) {
  return WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                           : "signal " + std::to_string(WTERMSIG(status));
}

class Pool {
 public:
  Pool(FastCgiListener& listener, int count, const std::function<int()>& serve)
      : listener_(listener), count_(count), serve_(serve), slots_(count) {
    sigemptyset(&waited_);
    for (int signal : {SIGQUIT, SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGCHLD}) {
      sigaddset(&waited_, signal);
    }
  }

  int Run() {
    // The pool takes its signals when it is ready for them; its workers get the mask back.
    sigprocmask(SIG_BLOCK, &waited_, &workerMask_);
    startMs_ = MonotonicMs();
    for (int i = 0; i < count_; ++i) Start();
    Say("started " + std::to_string(count_) + " workers");
    for (;;) {
      timespec tick{0, kTickMs * 1000000L};
      int signal = sigtimedwait(&waited_, nullptr, &tick);
      if (signal == SIGCHLD) Reap();
      if (signal == SIGHUP || signal == SIGUSR2) Reload(signal);
      if (signal == SIGQUIT || signal == SIGTERM || signal == SIGINT) return Stop(signal);
      StartDue();
      WatchWaiting();
    }
  }

 private:
  struct Worker {
    int slot;
    int generation;
  };

  void Start() {
    int slot = slots_.Take();
    if (slot < 0) return;
    const pid_t pool = getpid();
    pid_t pid = fork();
    if (pid == 0) {
      // Workers never outlive their pool: one that is gone cannot replace them or stop them.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != pool) _exit(0);
      sigprocmask(SIG_SETMASK, &workerMask_, nullptr);
      currentSlot = slots_.At(slot);
      InstallWorkerSignals();
      std::exit(serve_());
    }
    if (pid < 0) {
      slots_.Give(slot);
      Say(std::string("cannot start a worker: ") + std::strerror(errno));
      ++owed_;
      return;
    }
    workers_[pid] = {slot, generation_};
  }

  // Collects the workers that ended; `ended` learns of each one of the current generation.
  template <typename Ended>
  void Collect(Ended ended) {
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
      auto worker = workers_.find(pid);
      if (worker == workers_.end()) continue;
      served_ += slots_.Give(worker->second.slot);
      bool current = worker->second.generation == generation_;
      workers_.erase(worker);
      if (current) ended(pid, status);  // else it left after a reload, as asked
    }
  }

  void Reap() {
    Collect([this](pid_t pid, int status) {
      Say("worker " + std::to_string(pid) + " ended (" + EndText(status) + "); starting another");
      ++owed_;
      const int64_t now = MonotonicMs();
      recentEnds_.push_back(now);
      while (!recentEnds_.empty() && now - recentEnds_.front() > kFastEndWindowMs) {
        recentEnds_.pop_front();
      }
    });
  }

  // Starts the workers owed, no faster than one a second while they end too often.
  void StartDue() {
    const int64_t now = MonotonicMs();
    const bool throttled = recentEnds_.size() > kFastEnds;
    if (throttled && !throttleSaid_) {
      Say("workers ended " + std::to_string(recentEnds_.size()) +
          " times in 10 s: restarting them no faster than one a second");
    }
    throttleSaid_ = throttled;
    while (owed_ > 0) {
      if (throttled && now - lastStartMs_ < kThrottledStartMs) return;
      --owed_;
      lastStartMs_ = now;
      Start();
      if (throttled) return;
    }
  }

  void Reload(int signal) {
    Say(std::string("reloading (") + sigabbrev_np(signal) + "): new workers take over");
    std::vector<pid_t> leaving;
    for (const auto& [pid, worker] : workers_) leaving.push_back(pid);
    ++generation_;
    owed_ = 0;
    for (int i = 0; i < count_; ++i) Start();
    for (pid_t pid : leaving) kill(pid, SIGQUIT);
  }

  // One line when every worker is busy and a connection has waited over a second.
  void WatchWaiting() {
    bool allBusy = !workers_.empty();
    for (const auto& [pid, worker] : workers_) {
      WorkerSlot* slot = slots_.At(worker.slot);
      allBusy = allBusy && slot != nullptr && slot->busySinceMs != 0;
    }
    pollfd queue{ListenerDescriptor(listener_), POLLIN, 0};
    const bool waiting = allBusy && poll(&queue, 1, 0) > 0;
    const int64_t now = MonotonicMs();
    if (!waiting) {
      waitingSinceMs_ = 0;
      waitingSaid_ = false;
    } else if (waitingSinceMs_ == 0) {
      waitingSinceMs_ = now;
    } else if (now - waitingSinceMs_ >= kWaitWarningMs && !waitingSaid_) {
      Say("all " + std::to_string(workers_.size()) +
          " workers busy: a connection has waited over 1 s (more --workers may help)");
      waitingSaid_ = true;
    }
  }

  int Stop(int signal) {
    const bool atOnce = signal == SIGINT;
    Say(std::string("stopping (") + sigabbrev_np(signal) +
        "): " + (atOnce ? "at once" : "the requests in hand finish first"));
    RemoveListenerFile(listener_);  // new connections are refused from now on
    for (const auto& [pid, worker] : workers_) kill(pid, atOnce ? SIGINT : SIGQUIT);
    while (!workers_.empty()) {
      int next = sigwaitinfo(&waited_, nullptr);
      if (next == SIGINT) {
        for (const auto& [pid, worker] : workers_) kill(pid, SIGINT);
      }
      Collect([](pid_t, int) {});
    }
    const int64_t seconds = (MonotonicMs() - startMs_) / 1000;
    Say("stopped: " + std::to_string(served_) + " requests served in " + std::to_string(seconds) +
        " s");
    return 0;
  }

  FastCgiListener& listener_;
  const int count_;
  const std::function<int()>& serve_;
  SlotTable slots_;
  sigset_t waited_;
  sigset_t workerMask_;
  std::map<pid_t, Worker> workers_;
  int generation_ = 0;
  int owed_ = 0;
  uint64_t served_ = 0;
  int64_t startMs_ = 0;
  int64_t lastStartMs_ = 0;
  std::deque<int64_t> recentEnds_;
  bool throttleSaid_ = false;
  int64_t waitingSinceMs_ = 0;
  bool waitingSaid_ = false;
};

}  // namespace
}  // namespace posix

int RunWorkerPool(FastCgiListener& listener, int count, const std::function<int()>& serve) {
  return posix::Pool(listener, count, serve).Run();
}

}  // namespace orvo
