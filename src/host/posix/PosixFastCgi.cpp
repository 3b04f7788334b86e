// FastCGI through libfcgi: the listening socket, the accepted requests, the stop signals and
// the worker pool.
#include <fcgiapp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <utility>

#include "host/FastCgi.h"

namespace orvo {
namespace {

constexpr int kBacklog = 1024;

// Set by SIGTERM, SIGINT and SIGUSR1. Those signals are blocked while a request is open, so
// they end only the wait for the next one.
volatile sig_atomic_t stopRequested = 0;

void OnStopSignal(int) {
  stopRequested = 1;
  // A signal that lands just before the wait begins would be missed by it: the alarm
  // interrupts the wait once more a second later.
  alarm(1);
}

void OnAlarm(int) {}

sigset_t WaitOnlySignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGUSR1);
  sigaddset(&signals, SIGALRM);
  return signals;
}

void InstallStopHandlers() {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the signal must interrupt accept
  action.sa_handler = OnStopSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  // libfcgi's own graceful stop, which would otherwise break the open request's streams.
  sigaction(SIGUSR1, &action, nullptr);
  action.sa_handler = OnAlarm;
  sigaction(SIGALRM, &action, nullptr);
  // A web server that closes the connection early must not end the worker.
  signal(SIGPIPE, SIG_IGN);
  sigset_t signals = WaitOnlySignals();
  sigprocmask(SIG_BLOCK, &signals, nullptr);
}

// Appends all bytes to a libfcgi stream, whose calls take an int count.
void PutAll(FCGX_Stream* stream, const void* buffer, size_t count) {
  auto* bytes = static_cast<const char*>(buffer);
  while (count > 0) {
    int chunk = static_cast<int>(std::min<size_t>(count, INT_MAX));
    if (FCGX_PutStr(bytes, chunk, stream) != chunk) return;
    bytes += chunk;
    count -= static_cast<size_t>(chunk);
  }
}

class LibFcgiRequest : public FastCgiRequest {
 public:
  explicit LibFcgiRequest(FCGX_Request& request) : request_(request) {}
  ~LibFcgiRequest() override { FCGX_Finish_r(&request_); }

  std::optional<std::string> Param(const std::string& name) override {
    const char* value = FCGX_GetParam(name.c_str(), request_.envp);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  }
  int64_t Read(void* buffer, size_t count) override {
    int wanted = static_cast<int>(std::min<size_t>(count, INT_MAX));
    int got = FCGX_GetStr(static_cast<char*>(buffer), wanted, request_.in);
    if (got <= 0 && FCGX_GetError(request_.in) != 0) return -1;
    return got;
  }
  void Write(const void* buffer, size_t count) override { PutAll(request_.out, buffer, count); }
  void WriteError(const void* buffer, size_t count) override {
    PutAll(request_.err, buffer, count);
  }

 private:
  FCGX_Request& request_;
};

// The identity of a socket file, to remove it only while it is still ours.
struct SocketFile {
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
};

class LibFcgiListener : public FastCgiListener {
 public:
  // `fd` 0 is the socket on standard input, which belongs to whoever started the program.
  LibFcgiListener(int fd, std::optional<SocketFile> file) : fd_(fd), file_(std::move(file)) {
    FCGX_InitRequest(&request_, fd, FCGI_FAIL_ACCEPT_ON_INTR);
  }
  ~LibFcgiListener() override {
    FCGX_Free(&request_, 1);
    if (fd_ == 0) return;
    close(fd_);
    struct stat info {};
    if (file_ && lstat(file_->path.c_str(), &info) == 0 && info.st_dev == file_->device &&
        info.st_ino == file_->inode) {
      unlink(file_->path.c_str());
    }
  }

  std::unique_ptr<FastCgiRequest> Accept() override {
    sigset_t signals = WaitOnlySignals();
    for (;;) {
      // A stop that came during the last request is taken as soon as the signals open.
      sigprocmask(SIG_UNBLOCK, &signals, nullptr);
      int accepted = stopRequested ? -1 : FCGX_Accept_r(&request_);
      sigprocmask(SIG_BLOCK, &signals, nullptr);
      // A request accepted just as the stop came is still served.
      if (accepted == 0) return std::make_unique<LibFcgiRequest>(request_);
      if (stopRequested || accepted != -EINTR) return nullptr;
    }
  }

 private:
  int fd_;
  std::optional<SocketFile> file_;
  FCGX_Request request_{};
};

// Makes way for a Unix socket at `path`: a socket file that nobody listens on (left by a worker
// that died) is removed; a live socket or any other file is a failure.
bool ClearSocketPath(const std::string& path, std::string* error) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return true;
  if (!S_ISSOCK(info.st_mode)) {
    *error = path + " exists and is not a socket";
    return false;
  }
  sockaddr_un peer{};
  peer.sun_family = AF_UNIX;
  if (path.size() >= sizeof peer.sun_path) {
    *error = path + ": the path is too long for a socket";
    return false;
  }
  std::memcpy(peer.sun_path, path.c_str(), path.size() + 1);
  int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int connected = connect(probe, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
  int reason = errno;
  close(probe);
  if (connected == 0) {
    *error = path + " is in use: another worker listens there";
    return false;
  }
  if (reason == ECONNREFUSED && unlink(path.c_str()) == 0) return true;
  *error = "cannot replace " + path + ": " + std::strerror(reason);
  return false;
}

int64_t NowSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec;
}

void Say(const std::string& text) {
  std::string line = "OrvoWebServerUploadXML: " + text + "\n";
  ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

}  // namespace

// Asked of the socket itself rather than of libfcgi, whose start-up would take over SIGTERM
// and SIGPIPE in a CGI process too.
bool StartedByFastCgiManager() {
  int listening = 0;
  socklen_t size = sizeof listening;
  return getsockopt(STDIN_FILENO, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 &&
         listening != 0;
}

std::unique_ptr<FastCgiListener> OpenFastCgiListener(const std::string& address,
                                                     std::string* error) {
  if (FCGX_Init() != 0) {
    *error = "the FastCGI library cannot start";
    return nullptr;
  }
  int fd = 0;
  std::optional<SocketFile> file;
  if (!address.empty()) {
    // libfcgi reads an address with a colon as host:port, anything else as a socket path.
    bool unixPath = address.find(':') == std::string::npos;
    if (unixPath && !ClearSocketPath(address, error)) return nullptr;
    errno = 0;
    fd = FCGX_OpenSocket(address.c_str(), kBacklog);
    if (fd < 0) {
      *error = "cannot listen on " + address + ": " +
               (errno != 0 ? std::strerror(errno) : "not a socket path or host:port");
      return nullptr;
    }
    struct stat info {};
    if (unixPath && lstat(address.c_str(), &info) == 0) {
      file = SocketFile{address, info.st_dev, info.st_ino};
    }
  }
  InstallStopHandlers();
  return std::make_unique<LibFcgiListener>(fd, std::move(file));
}

int RunWorkerPool(int count, const std::function<int()>& serve) {
  // The pool waits for its signals instead of handling them; its workers get the mask back.
  sigset_t waited;
  sigemptyset(&waited);
  for (int signal : {SIGTERM, SIGINT, SIGCHLD}) sigaddset(&waited, signal);
  sigset_t workerMask;
  sigprocmask(SIG_BLOCK, &waited, &workerMask);

  std::map<pid_t, int64_t> workers;  // pid -> start time
  auto start = [&] {
    pid_t pid = fork();
    if (pid == 0) {
      sigprocmask(SIG_SETMASK, &workerMask, nullptr);
      std::exit(serve());
    }
    if (pid > 0) workers[pid] = NowSeconds();
    if (pid < 0) Say(std::string("cannot start a worker: ") + std::strerror(errno));
  };
  for (int i = 0; i < count; ++i) start();

  for (;;) {
    int signal = 0;
    if (sigwait(&waited, &signal) != 0) continue;
    if (signal != SIGCHLD) break;
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
      auto worker = workers.find(pid);
      if (worker == workers.end()) continue;
      bool early = NowSeconds() - worker->second < 1;
      workers.erase(worker);
      Say("worker " + std::to_string(pid) + " ended (" +
          (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                             : "signal " + std::to_string(WTERMSIG(status))) +
          "); starting another");
      if (early) sleep(1);  // a worker that cannot start must not spin the pool
      start();
    }
  }

  for (const auto& [pid, started] : workers) kill(pid, SIGTERM);
  while (!workers.empty()) {
    pid_t pid = waitpid(-1, nullptr, 0);
    if (pid > 0) workers.erase(pid);
    if (pid < 0 && errno != EINTR) break;
  }
  return 0;
}

}  // namespace orvo
