// The worker pool: its processes, the signals operators send it, and what it tells them.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "host/FastCgi.h"
#include "host/posix/FastCgiHub.h"
#include "host/posix/PosixFastCgi.h"

namespace orvo {
namespace posix {

int workerChannel = -1;
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

constexpr int64_t kWaitWarningMs = 1000;
constexpr size_t kFastEnds = 10;
constexpr int64_t kFastEndWindowMs = 10000;
constexpr int64_t kThrottledStartMs = 1000;
constexpr uint64_t kSignalTag = 1;
constexpr uint64_t kChannelTags = 2;  // a worker's channel is tagged with this + its pid

std::string EndText(int status) {
  return WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                           : "signal " + std::to_string(WTERMSIG(status));
}

// The listener's limits, with large bodies kept in memory files that go to the worker as they are.
FastCgiLimits PoolLimits(FastCgiListener& listener) {
  FastCgiLimits limits = ListenerLimits(listener);
  limits.bodyStore = MemoryFileBodies();
  return limits;
}

// The pool: it holds the connections (a hub), hands each ready request to an idle worker of the
// current generation, and keeps `count` of those running.
class Pool {
 public:
  Pool(FastCgiListener& listener, int count, const std::function<int()>& serve)
      : listener_(listener),
        count_(count),
        serve_(serve),
        hub_(ListenerDescriptor(listener), PoolLimits(listener)) {
    sigemptyset(&waited_);
    for (int signal : {SIGQUIT, SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGCHLD}) {
      sigaddset(&waited_, signal);
    }
  }
  ~Pool() {
    for (auto& [pid, worker] : workers_) CloseChannel(worker);
    if (signals_ >= 0) close(signals_);
  }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  int Run() {
    // The pool takes its signals through a descriptor; its workers get the mask back.
    sigprocmask(SIG_BLOCK, &waited_, &workerMask_);
    signals_ = signalfd(-1, &waited_, SFD_CLOEXEC | SFD_NONBLOCK);
    hub_.Watch(signals_, kSignalTag);
    startMs_ = MonotonicMs();
    owed_ = count_;
    StartDue();
    Say("started " + std::to_string(count_) + " workers");
    while (!stopped_) {
      hub_.Wait(stopping_ ? 250 : 1000, [this](uint64_t tag) {
        if (tag == kSignalTag) {
          Signals();
        } else {
          Heard(static_cast<pid_t>(tag - kChannelTags));
        }
      });
      Dispatch();
      StartDue();
      WatchWaiting();
      if (stopping_) FinishStop();
    }
    const int64_t seconds = (MonotonicMs() - startMs_) / 1000;
    Say("stopped: " + std::to_string(served_) + " requests served in " + std::to_string(seconds) +
        " s");
    return 0;
  }

 private:
  struct Worker {
    int channel = -1;
    int generation = 0;
    uint64_t token = 0;                 // the request in hand; 0 while idle
    bool ending = false;                // answered its last request: takes no other
    bool arriving = false;              // its body still arrives
    std::optional<size_t> waitsBeyond;  // the worker waits for more of that body than this

    // Its request answered: free for the next, unless it ends.
    void Free(bool ends) {
      token = 0;
      ending = ends;
      arriving = false;
      waitsBeyond.reset();
    }
  };

  void Signals() {
    signalfd_siginfo info{};
    while (read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      const int signal = static_cast<int>(info.ssi_signo);
      if (signal == SIGCHLD) Reap();
      if ((signal == SIGHUP || signal == SIGUSR2) && !stopping_) Reload(signal);
      if (signal == SIGQUIT || signal == SIGTERM || signal == SIGINT) Stop(signal);
    }
  }

  // Starts one worker of the current generation; false when it cannot (it stays owed).
  bool Start() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
      Say(std::string("cannot start a worker: ") + std::strerror(errno));
      return false;
    }
    const pid_t pool = getpid();
    pid_t pid = fork();
    if (pid == 0) {
      // Workers never outlive their pool: one that is gone cannot replace them or stop them.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != pool) _exit(0);
      // The pool's connections and descriptors stay with the pool.
      hub_.CloseDescriptorsInChild();
      for (auto& [other, worker] : workers_) close(worker.channel);
      close(signals_);
      close(ends[0]);
      close(ListenerDescriptor(listener_));
      sigprocmask(SIG_SETMASK, &workerMask_, nullptr);
      workerChannel = ends[1];
      InstallWorkerSignals();
      std::exit(serve_());
    }
    close(ends[1]);
    if (pid < 0) {
      close(ends[0]);
      Say(std::string("cannot start a worker: ") + std::strerror(errno));
      return false;
    }
    Worker& started = workers_[pid];
    started.channel = ends[0];
    started.generation = generation_;
    hub_.Watch(ends[0], kChannelTags + static_cast<uint64_t>(pid));
    return true;
  }

  void CloseChannel(Worker& worker) {
    if (worker.channel < 0) return;
    hub_.Unwatch(worker.channel);
    close(worker.channel);
    worker.channel = -1;
  }

  // A worker's channel spoke: a request answered, a wait for its body, or the worker is gone.
  void Heard(pid_t pid) {
    auto found = workers_.find(pid);
    if (found == workers_.end()) return;
    Worker& worker = found->second;
    WorkerWord word;
    const bool alive = ReadWorkerWord(worker.channel, &word);
    if (word.waitsBeyond) {
      worker.waitsBeyond = word.waitsBeyond;
      TellWhatArrived(worker);
    }
    if (word.token != 0 && word.token == worker.token) {
      hub_.Finished(word.token, word.answered == Answered::kKeep);
      worker.Free(word.answered == Answered::kCloseAndEnd);
      ++served_;
    }
    if (!alive) {
      if (worker.token != 0) hub_.Finished(worker.token, false);  // its answer is lost
      worker.token = 0;
      CloseChannel(worker);
    } else if (worker.generation != generation_ && worker.token == 0) {
      CloseChannel(worker);  // it left after a reload, as asked
    }
  }

  // Answers a worker that waits for more of its body once there is more, or it is whole or cut.
  void TellWhatArrived(Worker& worker) {
    if (!worker.waitsBeyond || worker.channel < 0) return;
    const fastcgi::Arrival arrival = hub_.Arrived(worker.token);
    if (arrival.bytes <= *worker.waitsBeyond && !arrival.Ended()) return;
    TellArrival(worker.channel, arrival);
    worker.waitsBeyond.reset();
  }

  // Hands the ready requests to the idle workers of the current generation; then, to the idle
  // ones left, large bodies that still arrive, which they read as they come. At most half of
  // the workers wait on such bodies: slow senders never hold them all.
  void Dispatch() {
    size_t arriving = 0;
    for (auto& [pid, worker] : workers_) {
      TellWhatArrived(worker);
      arriving += worker.arriving ? 1 : 0;
    }
    for (auto& [pid, worker] : workers_) {
      if (worker.generation != generation_ || worker.token != 0 || worker.ending ||
          worker.channel < 0) {
        continue;
      }
      std::optional<ReadyRequest> ready = hub_.HasReady() ? hub_.TakeReady() : std::nullopt;
      if (!ready && arriving < static_cast<size_t>(count_) / 2) {
        ready = hub_.TakeArriving();
      }
      if (!ready) return;
      const std::string name = ready->request.name;
      const bool arrives = ready->request.arriving;
      if (!HandToWorker(worker.channel, ready->token, ready->fd, std::move(ready->request))) {
        Say(name + ": the worker was gone before it ran; not run");
        hub_.Finished(ready->token, false);
        continue;
      }
      worker.token = ready->token;
      worker.arriving = arrives;
      arriving += arrives ? 1 : 0;
    }
  }

  // Collects the workers that ended; `ended` learns of each one of the current generation.
  template <typename Ended>
  void Collect(Ended ended) {
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
      auto found = workers_.find(pid);
      if (found == workers_.end()) continue;
      Worker& worker = found->second;
      if (worker.channel >= 0) Heard(pid);  // its last word, if any
      if (worker.token != 0) hub_.Finished(worker.token, false);
      CloseChannel(worker);
      const bool current = worker.generation == generation_;
      workers_.erase(found);
      if (current && !workersLetGo_) ended(pid, status);  // else it left, as asked
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

  // Starts the workers owed, as long as at most twice the pool's size run (leaving ones
  // included), and no faster than one a second while they end too often. While the pool stops,
  // only as long as requests remain to be answered: a worker lost then must still be replaced.
  void StartDue() {
    if (stopping_ && (atOnce_ || workersLetGo_ || hub_.Quiet())) return;
    const int64_t now = MonotonicMs();
    const bool throttled = recentEnds_.size() > kFastEnds;
    if (throttled && !throttleSaid_) {
      Say("workers ended " + std::to_string(recentEnds_.size()) +
          " times in 10 s: restarting them no faster than one a second");
    }
    throttleSaid_ = throttled;
    while (owed_ > 0 && workers_.size() < static_cast<size_t>(count_) * 2) {
      if (throttled && now - lastStartMs_ < kThrottledStartMs) return;
      if (!Start()) return;
      --owed_;
      lastStartMs_ = now;
      if (throttled) return;
    }
  }

  // The workers that run go once their request is answered; a new generation takes over. The
  // workers owed are counted, so reloads in a row always end with `count_` workers.
  void Reload(int signal) {
    Say(std::string("reloading (") + sigabbrev_np(signal) + "): new workers take over");
    ++generation_;
    for (auto& [pid, worker] : workers_) {
      kill(pid, SIGQUIT);
      if (worker.token == 0) CloseChannel(worker);
    }
    owed_ = count_;
  }

  // One line when a ready request has waited over a second for a worker.
  void WatchWaiting() {
    const int64_t since = hub_.ReadySinceMs();
    if (since == 0) {
      waitingSaid_ = false;
    } else if (MonotonicMs() - since >= kWaitWarningMs && !waitingSaid_) {
      size_t current = 0;
      for (const auto& [pid, worker] : workers_) current += worker.generation == generation_;
      Say("all " + std::to_string(current) +
          " workers busy: a request has waited over 1 s (more --workers may help)");
      waitingSaid_ = true;
    }
  }

  void Stop(int signal) {
    const bool atOnce = signal == SIGINT;
    if (!stopping_) {
      Say(std::string("stopping (") + sigabbrev_np(signal) +
          "): " + (atOnce ? "at once" : "the requests in hand finish first"));
      StopListening(listener_, hub_);
      stopping_ = true;
    }
    if (atOnce) {
      for (const auto& [pid, worker] : workers_) kill(pid, SIGINT);
      atOnce_ = true;
    }
  }

  // Once nothing waits or runs, the workers are let go; the pool ends when they are gone.
  void FinishStop() {
    if (!atOnce_ && !hub_.Quiet()) return;
    if (!workersLetGo_) {
      for (auto& [pid, worker] : workers_) {
        kill(pid, atOnce_ ? SIGINT : SIGQUIT);
        CloseChannel(worker);
      }
      workersLetGo_ = true;
    }
    Collect([](pid_t, int) {});
    stopped_ = workers_.empty();
  }

  FastCgiListener& listener_;
  const int count_;
  const std::function<int()>& serve_;
  FastCgiHub hub_;
  sigset_t waited_;
  sigset_t workerMask_;
  int signals_ = -1;
  std::map<pid_t, Worker> workers_;
  int generation_ = 0;
  int owed_ = 0;
  uint64_t served_ = 0;
  int64_t startMs_ = 0;
  int64_t lastStartMs_ = 0;
  std::deque<int64_t> recentEnds_;
  bool throttleSaid_ = false;
  bool waitingSaid_ = false;
  bool stopping_ = false;
  bool atOnce_ = false;
  bool workersLetGo_ = false;
  bool stopped_ = false;
};

}  // namespace
}  // namespace posix

int RunWorkerPool(FastCgiListener& listener, int count, const std::function<int()>& serve) {
  return posix::Pool(listener, count, serve).Run();
}

}  // namespace orvo
