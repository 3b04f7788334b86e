// FastCGI: the listening socket, who may connect to it, and where a worker takes its requests.
#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netdb.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "host/FastCgi.h"
#include "host/posix/FastCgiHub.h"
#include "host/posix/PosixFastCgi.h"

namespace orvo {
namespace posix {
namespace {

constexpr int kBacklog = 1024;

// The identity of a socket file, to remove it only while it is still ours.
struct SocketFile {
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
};

// `text` without the blanks around it.
std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

class SocketListener : public FastCgiListener {
 public:
  // `fd` 0 is the socket on standard input, which belongs to whoever started the program.
  SocketListener(int fd, std::optional<SocketFile> file, const FastCgiLimits& limits)
      : fd_(fd), file_(std::move(file)), limits_(limits) {}
  ~SocketListener() override {
    hub_.reset();
    if (fd_ > 0) close(fd_);
    RemoveSocketFile();
  }

  int fd() const { return fd_; }
  const FastCgiLimits& limits() const { return limits_; }

  std::unique_ptr<FastCgiRequest> Accept() override {
    return workerChannel >= 0 ? FromPool() : FromOwnConnections();
  }

  // New connections are refused from now on. The connections already queued on a socket of our
  // own were made before: `hub` takes them in hand, and then the socket closes, so that none is
  // queued only to be dropped. A manager's socket stays open: its queue is its other workers'.
  void StopListening(FastCgiHub& hub) {
    RemoveSocketFile();
    hub.Stop(fd_ != 0);
    if (fd_ != 0) {
      close(fd_);
      fd_ = -1;
    }
  }

 private:
  // The socket file goes, while it is still ours.
  void RemoveSocketFile() {
    struct stat info {};
    if (file_ && lstat(file_->path.c_str(), &info) == 0 && info.st_dev == file_->device &&
        info.st_ino == file_->inode) {
      unlink(file_->path.c_str());
    }
    file_.reset();
  }

  // A pool's worker: the pool holds the connections and hands over ready requests.
  std::unique_ptr<FastCgiRequest> FromPool() {
    for (;;) {
      pollfd waits[2] = {{WakeDescriptor(), POLLIN, 0}, {workerChannel, POLLIN, 0}};
      // Told to stop, the worker still answers a request that the pool handed it before (a
      // reload's signal can overtake it): the pool counts it as this worker's.
      const bool stopping = stopRequested != 0;
      if (poll(waits, 2, stopping ? 0 : -1) < 0 && errno != EINTR) return nullptr;
      if (waits[1].revents == 0) {
        if (stopping) return nullptr;
        continue;
      }
      int fd = -1;
      uint64_t token = 0;
      std::optional<fastcgi::Request> request = ReceiveFromPool(workerChannel, &fd, &token);
      if (!request) return nullptr;  // the pool let this worker go
      return MakeAnswerRequest(fd, std::move(*request), limits_, [token](Answered answered) {
        TellPoolDone(workerChannel, token, answered);
      });
    }
  }

  // A lone worker (on a process manager's socket): it holds the connections itself between its
  // requests.
  std::unique_ptr<FastCgiRequest> FromOwnConnections() {
    if (!hub_) {
      hub_ = std::make_unique<FastCgiHub>(fd_, limits_);
      hub_->Watch(WakeDescriptor(), 1);
    }
    for (;;) {
      if (stopRequested) return nullptr;
      if (std::optional<ReadyRequest> ready = hub_->TakeReady()) {
        const int fd = fcntl(ready->fd, F_DUPFD_CLOEXEC, 0);
        const uint64_t token = ready->token;
        return MakeAnswerRequest(fd, std::move(ready->request), limits_,
                                 [this, token](Answered answered) {
                                   hub_->Finished(token, answered == Answered::kKeep);
                                 });
      }
      hub_->Wait(-1, [](uint64_t) {});
    }
  }

  int fd_;
  std::optional<SocketFile> file_;
  FastCgiLimits limits_;
  std::unique_ptr<FastCgiHub> hub_;
};

// Makes way for a Unix socket at `path`: a socket file that nobody listens on (left by a pool
// that is gone) is removed; a live socket or any other file is a failure.
bool ClearSocketPath(const std::string& path, std::string* error) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return true;
  if (!S_ISSOCK(info.st_mode)) {
    *error = path + " exists and is not a socket";
    return false;
  }
  sockaddr_un peer{};
  peer.sun_family = AF_UNIX;
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

// Holds an exclusive lock on a file beside the socket, so that two pools that start together take
// turns at clearing and binding its path.
class PathLock {
 public:
  explicit PathLock(const std::string& path)
      : fd_(open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ >= 0) {
      while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~PathLock() {
    if (fd_ >= 0) close(fd_);
  }
  PathLock(const PathLock&) = delete;
  PathLock& operator=(const PathLock&) = delete;

 private:
  int fd_;
};

int ListenOnPath(const std::string& path, std::optional<SocketFile>* file, std::string* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    *error = path + ": the path is too long for a socket";
    return -1;
  }
  PathLock lock(path);
  if (!ClearSocketPath(path, error)) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct stat info {};
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      listen(fd, kBacklog) == 0) {
    if (lstat(path.c_str(), &info) == 0) *file = SocketFile{path, info.st_dev, info.st_ino};
    return fd;
  }
  *error = "cannot listen on " + path + ": " + std::strerror(errno);
  if (fd >= 0) close(fd);
  return -1;
}

// "host:port"; an empty host is every address.
int ListenOnPort(const std::string& address, std::string* error) {
  size_t colon = address.rfind(':');
  std::string host = address.substr(0, colon), port = address.substr(colon + 1);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (int failure =
          getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found)) {
    *error = "cannot listen on " + address + ": " + gai_strerror(failure);
    return -1;
  }
  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int reuse = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  bool listening =
      fd >= 0 && bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, kBacklog) == 0;
  int reason = errno;
  freeaddrinfo(found);
  if (listening) return fd;
  *error = "cannot listen on " + address + ": " + std::strerror(reason);
  if (fd >= 0) close(fd);
  return -1;
}

}  // namespace

std::string PeerAddress(int fd) {
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  char text[INET6_ADDRSTRLEN] = "";
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) return "";
  if (peer.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in&>(peer).sin_addr, text, sizeof text);
  } else if (peer.ss_family == AF_INET6) {
    const in6_addr& address = reinterpret_cast<sockaddr_in6&>(peer).sin6_addr;
    // An IPv4 peer of a socket that takes both families reads as the IPv4 address it is.
    if (IN6_IS_ADDR_V4MAPPED(&address)) {
      inet_ntop(AF_INET, address.s6_addr + 12, text, sizeof text);
    } else {
      inet_ntop(AF_INET6, &address, text, sizeof text);
    }
  }
  return text;
}

// The addresses in FCGI_WEB_SERVER_ADDRS (comma-separated, blanks around each ignored) when that
// is set and not empty, the setting that FastCGI workers have long taken.
bool PeerAllowed(const std::string& peer) {
  static const std::vector<std::string> allowed = [] {
    std::vector<std::string> addresses;
    const char* value = std::getenv("FCGI_WEB_SERVER_ADDRS");
    std::string rest = value != nullptr ? value : "";
    for (size_t comma; !rest.empty();
         rest.erase(0, comma == std::string::npos ? comma : comma + 1)) {
      comma = rest.find(',');
      if (std::string entry = Trimmed(rest.substr(0, comma)); !entry.empty()) {
        addresses.push_back(entry);
      }
    }
    return addresses;
  }();
  return peer.empty() || allowed.empty() ||
         std::find(allowed.begin(), allowed.end(), peer) != allowed.end();
}

int ListenerDescriptor(FastCgiListener& listener) {
  return static_cast<SocketListener&>(listener).fd();
}

const FastCgiLimits& ListenerLimits(FastCgiListener& listener) {
  return static_cast<SocketListener&>(listener).limits();
}

void StopListening(FastCgiListener& listener, FastCgiHub& hub) {
  static_cast<SocketListener&>(listener).StopListening(hub);
}

}  // namespace posix

// Asked of the socket itself: a CGI process has none.
bool StartedByFastCgiManager() {
  int listening = 0;
  socklen_t size = sizeof listening;
  return getsockopt(STDIN_FILENO, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 &&
         listening != 0;
}

std::unique_ptr<FastCgiListener> OpenFastCgiListener(const std::string& address,
                                                     const FastCgiLimits& limits,
                                                     std::string* error) {
  int fd = STDIN_FILENO;
  std::optional<posix::SocketFile> file;
  if (!address.empty()) {
    bool unixPath = address.find(':') == std::string::npos;
    fd =
        unixPath ? posix::ListenOnPath(address, &file, error) : posix::ListenOnPort(address, error);
    if (fd < 0) return nullptr;
  }
  // Large buffers (a body, an answer) come from the system and go straight back after use, so a
  // worker's memory returns to its idle size after each request.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  // Each waiting connection is a descriptor: take every one the system allows this process.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  // Read without blocking: connections are taken as they come, never waited for.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  posix::InstallWorkerSignals();
  return std::make_unique<posix::SocketListener>(fd, std::move(file), limits);
}

}  // namespace orvo
