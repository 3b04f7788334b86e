// Environment, standard channels, clock and dynamic libraries.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "host/ThreadDeadline.h"
#include "host/posix/PosixDisk.h"
#include "host/posix/PosixFastCgi.h"
#include "host/posix/PosixHost.h"
#include "host/posix/PosixZone.h"

namespace orvo {
namespace {

// A reader that went away (a cancelled download, a web server that closed the pipe) must not
// end the process: the write fails with EPIPE instead of raising SIGPIPE, and the program goes
// on to its normal end, detaching from the database on the way.
void IgnoreBrokenPipe() {
  static const bool ignored = [] {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    return sigaction(SIGPIPE, &ignore, nullptr) == 0;
  }();
  (void)ignored;
}

// The CGI front does not examine its writes.
void WriteAll(int fd, const void* buffer, size_t count) {
  IgnoreBrokenPipe();
  posix::WriteWhole(fd, std::string_view(static_cast<const char*>(buffer), count));
}

// The file that a request to end the process removes: a name in a folder held open, so the
// handler, which may only make async-signal-safe calls, removes it with one unlinkat that
// cannot leave the root.
constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};
int removalFolder = -1;
char removalName[NAME_MAX + 1];
volatile sig_atomic_t removalArmed = 0;

extern "C" void RemoveFileAndEnd(int signal) {
  const int savedErrno = errno;
  if (removalArmed) unlinkat(removalFolder, removalName, 0);
  errno = savedErrno;
  // SA_RESETHAND restored the default action: once the handler returns, the signal raised
  // again ends the process as it would have without the handler.
  raise(signal);
}

// Installed once, for the signals whose action is still the default: a signal the process was
// told to ignore (a server started with nohup) stays ignored.
void InstallTerminationHandlers() {
  static const bool installed = [] {
    for (int signal : kTerminationSignals) {
      struct sigaction current {};
      if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
      struct sigaction handler {};
      handler.sa_handler = RemoveFileAndEnd;
      handler.sa_flags = SA_RESETHAND;
      sigemptyset(&handler.sa_mask);
      for (int other : kTerminationSignals) sigaddset(&handler.sa_mask, other);
      sigaction(signal, &handler, nullptr);
    }
    return true;
  }();
  (void)installed;
}

void DisarmRemoval() {
  removalArmed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (removalFolder >= 0) close(removalFolder);
  removalFolder = -1;
}

class PosixLibrary : public DynamicLibrary {
 public:
  explicit PosixLibrary(void* handle) : handle_(handle) {}
  ~PosixLibrary() override { dlclose(handle_); }
  void* Symbol(const std::string& name, WinError* error) override {
    void* address = dlsym(handle_, name.c_str());
    if (address == nullptr && error != nullptr) *error = kErrorProcNotFound;
    return address;
  }
  std::string Folder() const override {
    link_map* map = nullptr;
    if (dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return "";
    std::string_view file = map->l_name;
    return std::string(file.substr(0, file.rfind('/') + 1));  // npos + 1: no folder
  }

 private:
  void* handle_;
};

}  // namespace

std::string PosixHost::RootFromEnvironment() {
  const char* root = std::getenv("ORVO_ROOT");
  return root != nullptr && *root != '\0' ? root : "/var/lib/orvo";
}

std::optional<std::string> PosixHost::GetEnvironment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

int64_t PosixHost::ReadStdin(void* buffer, size_t count) {
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, buffer, count);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

void PosixHost::WriteStdout(const void* buffer, size_t count) {
  WriteAll(STDOUT_FILENO, buffer, count);
}

void PosixHost::WriteStderr(const void* buffer, size_t count) {
  WriteAll(STDERR_FILENO, buffer, count);
}

void PosixHost::WriteOperatorLog(const std::string& line) {
  // One write: lines of requests that share the web server's log never mix.
  const std::string text = line + "\n";
  WriteStderr(text.data(), text.size());
}

WinError PosixHost::RemoveFileOnTermination(const std::string& path) {
  DisarmRemoval();
  if (path.empty()) return kErrorSuccess;
  GatedPath full;
  if (WinError error = gate_.Pass(path, PathUse::kFile, &full)) return error;
  if (full->IsRoot()) return kErrorAccessDenied;
  posix::DiskEntry entry;
  if (WinError error = drives_.Find(full, &entry)) return error;
  if (entry.diskName.size() >= sizeof removalName) return kErrorFilenameExcedRange;
  removalFolder = fcntl(entry.folder->fd.get(), F_DUPFD_CLOEXEC, 0);
  if (removalFolder < 0) return posix::FromErrno(errno);
  std::memcpy(removalName, entry.diskName.c_str(), entry.diskName.size() + 1);
  InstallTerminationHandlers();
  std::atomic_signal_fence(std::memory_order_seq_cst);  // the path is whole before it is armed
  removalArmed = 1;
  return kErrorSuccess;
}

void posix::EndProcessNow(int status) {
  if (removalArmed) unlinkat(removalFolder, removalName, 0);
  _exit(status);
}

void PosixHost::EndProcess(int status) { posix::EndProcessNow(status); }

std::unique_ptr<Deadline> PosixHost::StartDeadline(int seconds, std::function<bool()> expired,
                                                   int status) {
  return StartThreadDeadline(seconds, std::move(expired), [this, status] { EndProcess(status); });
}

namespace {

// The prepared deadline that is armed (one at a time: a CGI process serves one request), read by
// the handler of its timer's signal.
struct ArmedExpiry {
  PreparedExpiry expiry;  // its line ends in a line feed
  long utcOffset = 0;     // seconds east of UTC when it was armed
};
std::atomic<ArmedExpiry*> armedExpiry{nullptr};

// A real-time signal: the Firebird client library keeps SIGALRM and the interval timers.
int ExpirySignal() { return SIGRTMIN + 3; }

void OnExpiry(int) {
  ArmedExpiry* armed = armedExpiry.load();
  if (armed == nullptr) return;
  PreparedExpiry& expiry = armed->expiry;
  int nobody = 0;
  if (!expiry.owner->compare_exchange_strong(nobody, expiry.claim)) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (expiry.line.size() > 19) {
    WriteTimeText(LocalTimeOf(now.tv_sec + armed->utcOffset), expiry.line.data());
  }
  WriteAll(STDERR_FILENO, expiry.line.data(), expiry.line.size());
  WriteAll(STDOUT_FILENO, expiry.answer.data(), expiry.answer.size());
  posix::EndProcessNow(expiry.status);
}

class TimerDeadline : public Deadline {
 public:
  TimerDeadline(timer_t timer, std::unique_ptr<ArmedExpiry> armed, int seconds)
      : timer_(timer), armed_(std::move(armed)), seconds_(seconds) {
    Arm();
  }
  ~TimerDeadline() override {
    // A signal still on its way finds nothing armed.
    armedExpiry.store(nullptr);
    timer_delete(timer_);
  }
  TimerDeadline(const TimerDeadline&) = delete;
  TimerDeadline& operator=(const TimerDeadline&) = delete;

  void Restart() override { Arm(); }

 private:
  void Arm() {
    itimerspec when{};
    when.it_value.tv_sec = seconds_;
    timer_settime(timer_, 0, &when, nullptr);
  }

  timer_t timer_;
  std::unique_ptr<ArmedExpiry> armed_;
  int seconds_;
};

}  // namespace

std::unique_ptr<Deadline> PosixHost::StartPreparedDeadline(int seconds, PreparedExpiry expiry) {
  static const bool handled = [] {
    struct sigaction action {};
    action.sa_handler = OnExpiry;
    action.sa_flags = SA_RESTART;
    sigfillset(&action.sa_mask);
    return sigaction(ExpirySignal(), &action, nullptr) == 0;
  }();
  IgnoreBrokenPipe();  // set up now: the handler's writes must find it done
  // A web server may start its programs with signals blocked; this one must get through.
  sigset_t expirySignal;
  sigemptyset(&expirySignal);
  sigaddset(&expirySignal, ExpirySignal());
  pthread_sigmask(SIG_UNBLOCK, &expirySignal, nullptr);
  if (!handled || armedExpiry.load() != nullptr) {
    return Host::StartPreparedDeadline(seconds, std::move(expiry));
  }
  auto armed = std::make_unique<ArmedExpiry>();
  armed->utcOffset = posix::UtcOffsetAt(time(nullptr));
  armed->expiry = std::move(expiry);
  armed->expiry.line += '\n';
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = ExpirySignal();
  event._sigev_un._tid = gettid();
  timer_t timer{};
  if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) {
    armed->expiry.line.pop_back();
    return Host::StartPreparedDeadline(seconds, std::move(armed->expiry));
  }
  armedExpiry.store(armed.get());
  return std::make_unique<TimerDeadline>(timer, std::move(armed), seconds);
}

LocalTime PosixHost::LocalNow() {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  return LocalTime{local.tm_year + 1900,
                   local.tm_mon + 1,
                   local.tm_mday,
                   local.tm_hour,
                   local.tm_min,
                   local.tm_sec,
                   static_cast<int>(now.tv_usec / 1000)};
}

FileTime PosixHost::UtcToLocalFileTime(FileTime utc) {
  // Windows applies the offset in force now, not the one at the stamp's moment.
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  return utc + static_cast<FileTime>(local.tm_gmtoff) * 10'000'000;
}

WinError PosixHost::OpenLibrary(const std::string& name, std::unique_ptr<DynamicLibrary>* library) {
  void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return kErrorModNotFound;
  *library = std::make_unique<PosixLibrary>(handle);
  return kErrorSuccess;
}

}  // namespace orvo
