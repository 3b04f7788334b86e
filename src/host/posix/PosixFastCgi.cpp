// FastCGI: the listening socket, the connections a worker takes from it, the requests on them.
#include "host/posix/PosixFastCgi.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
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

#include "host/FastCgi.h"
#include "host/posix/FastCgiConnection.h"

namespace orvo {
namespace posix {
namespace {

constexpr int kBacklog = 1024;
constexpr uint16_t kResponder = 1;
constexpr uint8_t kKeepConnection = 1;
constexpr size_t kMaxParams = 1 << 20;
constexpr size_t kOutputChunk = 32 * 1024;
// A kept connection idle this long gives its worker up to connections that wait.
constexpr int64_t kKeptIdleMs = 1000;

// The answers to a web server's questions about the worker (FCGI_GET_VALUES).
const std::map<std::string, std::string> kValues = {
    {"FCGI_MAX_CONNS", "1"}, {"FCGI_MAX_REQS", "1"}, {"FCGI_MPXS_CONNS", "0"}};

void AppendPair(std::string& block, const std::string& name, const std::string& value) {
  for (size_t length : {name.size(), value.size()}) block += static_cast<char>(length);
  block += name + value;
}

// A request read whole from its connection.
struct Incoming {
  uint16_t id = 0;
  bool keep = false;
  std::map<std::string, std::string> params;
  std::deque<std::string> body;
};

class SocketRequest : public FastCgiRequest {
 public:
  SocketRequest(FastCgiConnection& connection, Incoming incoming)
      : connection_(connection), incoming_(std::move(incoming)) {}
  ~SocketRequest() override { Complete(); }

  std::optional<std::string> Param(const std::string& name) override {
    auto found = incoming_.params.find(name);
    if (found == incoming_.params.end()) return std::nullopt;
    return found->second;
  }
  int64_t Read(void* buffer, size_t count) override {
    auto* bytes = static_cast<char*>(buffer);
    size_t got = 0;
    while (got < count && !incoming_.body.empty()) {
      std::string& front = incoming_.body.front();
      size_t take = std::min(count - got, front.size() - bodyAt_);
      std::memcpy(bytes + got, front.data() + bodyAt_, take);
      got += take;
      bodyAt_ += take;
      if (bodyAt_ == front.size()) {
        incoming_.body.pop_front();  // memory goes as the request takes the body
        bodyAt_ = 0;
      }
    }
    return static_cast<int64_t>(got);
  }
  void Write(const void* buffer, size_t count) override {
    std::lock_guard lock(answering_);
    if (completed_) return;
    output_.append(static_cast<const char*>(buffer), count);
    if (output_.size() >= kOutputChunk) Flush();
  }
  void WriteError(const void* buffer, size_t count) override {
    std::lock_guard lock(answering_);
    if (completed_ || count == 0) return;
    errorsSent_ = true;
    connection_.Send(kStderr, incoming_.id,
                     std::string_view(static_cast<const char*>(buffer), count));
  }
  void Complete() override {
    std::lock_guard lock(answering_);
    if (completed_) return;
    completed_ = true;
    Flush();
    connection_.Send(kStdout, incoming_.id, {});
    if (errorsSent_) connection_.Send(kStderr, incoming_.id, {});
    connection_.SendEnd(incoming_.id, 0, kRequestComplete);
  }

  bool Keep() const { return incoming_.keep; }

 private:
  void Flush() {
    if (!output_.empty()) connection_.Send(kStdout, incoming_.id, output_);
    output_.clear();
  }

  FastCgiConnection& connection_;
  Incoming incoming_;
  size_t bodyAt_ = 0;
  std::mutex answering_;
  std::string output_;
  bool completed_ = false;
  bool errorsSent_ = false;
};

// The address of a TCP peer ("" for a Unix socket's).
std::string PeerAddress(int fd) {
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  char text[INET6_ADDRSTRLEN] = "";
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) return "";
  if (peer.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in&>(peer).sin_addr, text, sizeof text);
  } else if (peer.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6&>(peer).sin6_addr, text, sizeof text);
  }
  return text;
}

// Whether a TCP peer may connect: the addresses in FCGI_WEB_SERVER_ADDRS (comma-separated) when
// that is set, the setting that FastCGI workers have long taken.
bool PeerAllowed(const std::string& peer) {
  static const std::string allowed = [] {
    const char* value = std::getenv("FCGI_WEB_SERVER_ADDRS");
    return value != nullptr ? "," + std::string(value) + "," : std::string();
  }();
  return peer.empty() || allowed.empty() || allowed.find("," + peer + ",") != std::string::npos;
}

// The body bytes that the request may store, by the program's rule (FastCgiLimits::bodyBytes).
size_t DeclaredLength(const Incoming& request, const FastCgiLimits& limits) {
  if (!limits.bodyBytes) return 0;
  return limits.bodyBytes([&request](const std::string& name) {
    auto found = request.params.find(name);
    return found == request.params.end() ? std::string() : found->second;
  });
}

// The text by which a request is named in the log.
std::string RequestName(const Incoming& request) {
  auto param = [&](const char* name) {
    auto found = request.params.find(name);
    return found == request.params.end() || found->second.empty() ? std::string("-")
                                                                  : found->second;
  };
  return param("REQUEST_METHOD") + " " + param("PATH_INFO");
}

// How reading a request off a connection ended.
enum class Reading { kRequest, kDropped, kClosed };

class SocketListener;

// The request handed out, which gives its connection back to the listener when it ends.
class ServedRequest : public SocketRequest {
 public:
  ServedRequest(SocketListener& listener, FastCgiConnection& connection, std::string name,
                Incoming incoming);
  ~ServedRequest() override;

 private:
  SocketListener& listener_;
  std::string name_;
  int64_t startMs_;
};

// The identity of a socket file, to remove it only while it is still ours.
struct SocketFile {
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
};

class SocketListener : public FastCgiListener {
 public:
  // `fd` 0 is the socket on standard input, which belongs to whoever started the program.
  SocketListener(int fd, std::optional<SocketFile> file, const FastCgiLimits& limits)
      : fd_(fd), file_(std::move(file)), limits_(limits) {}
  ~SocketListener() override {
    if (fd_ == 0) return;
    close(fd_);
    RemoveSocketFile();
  }

  int fd() const { return fd_; }
  const FastCgiLimits& limits() const { return limits_; }

  // The socket file goes, while it is still ours: new connections are refused from now on.
  void RemoveSocketFile() {
    struct stat info {};
    if (file_ && lstat(file_->path.c_str(), &info) == 0 && info.st_dev == file_->device &&
        info.st_ino == file_->inode) {
      unlink(file_->path.c_str());
    }
    file_.reset();
  }

  std::unique_ptr<FastCgiRequest> Accept() override {
    for (;;) {
      std::unique_ptr<FastCgiConnection> connection = NextConnection();
      if (connection == nullptr) return nullptr;
      Incoming incoming;
      Reading reading = ReadRequest(*connection, &incoming);
      if (reading == Reading::kClosed) continue;
      kept_ = std::move(connection);
      if (reading == Reading::kDropped) {
        if (!incoming.keep) kept_.reset();
        keptSinceMs_ = MonotonicMs();
        continue;
      }
      std::string name = RequestName(incoming);
      return std::make_unique<ServedRequest>(*this, *kept_, std::move(name), std::move(incoming));
    }
  }

  // The connection of a request that ended: kept for the next one when the web server asked.
  void Finished(bool keep) {
    if (!keep || kept_->StalledOnSend()) {
      if (kept_->StalledOnSend()) {
        Say("closed a connection that took none of the answer for " +
            std::to_string(limits_.idleSeconds) + " s");
      }
      kept_.reset();
    }
    keptSinceMs_ = MonotonicMs();
  }

 private:
  // The connection to read the next request from: the kept one when it speaks, else a new one.
  std::unique_ptr<FastCgiConnection> NextConnection() {
    for (;;) {
      const int64_t keptIdleMs = kept_ ? MonotonicMs() - keptSinceMs_ : 0;
      if (kept_ && keptIdleMs >= limits_.idleSeconds * 1000LL) {
        Say("closed a kept connection idle for " + std::to_string(limits_.idleSeconds) + " s");
        kept_.reset();
      }
      // Others may take the listening socket only once the kept connection had its second.
      const bool listen = !kept_ || keptIdleMs >= kKeptIdleMs;
      pollfd waits[3] = {{WakeDescriptor(), POLLIN, 0},
                         {kept_ ? kept_->fd() : -1, POLLIN, 0},
                         {listen ? fd_ : -1, POLLIN, 0}};
      if (stopRequested) {
        // A request already on the kept connection is served before the worker goes.
        if (kept_ && poll(&waits[1], 1, 0) > 0) return std::move(kept_);
        kept_.reset();
        return nullptr;
      }
      int timeout = kept_ ? static_cast<int>(std::max<int64_t>(
                                kKeptIdleMs - std::min(keptIdleMs, kKeptIdleMs), 200))
                          : -1;
      if (poll(waits, 3, timeout) < 0 && errno != EINTR) return nullptr;
      if (waits[1].revents != 0) return std::move(kept_);
      if (waits[2].revents & (POLLERR | POLLNVAL)) return nullptr;
      if (waits[2].revents == 0) continue;
      int accepted = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (accepted < 0) continue;  // another worker took it
      if (const std::string peer = PeerAddress(accepted); !PeerAllowed(peer)) {
        Say("refused a connection from " + peer + ", which FCGI_WEB_SERVER_ADDRS leaves out");
        close(accepted);
        continue;
      }
      if (kept_) {
        Say("closed a kept connection idle for over 1 s while other connections waited");
        kept_.reset();
      }
      return std::make_unique<FastCgiConnection>(accepted, limits_.idleSeconds);
    }
  }

  // Reads the next request whole: its parameters and its body. Answers on the way what the
  // worker does not serve; closes the connection (kClosed) on silence, failure or abuse.
  Reading ReadRequest(FastCgiConnection& connection, Incoming* request) {
    std::string params;
    bool begun = false, paramsDone = false;
    size_t bodyLength = 0, stored = 0;
    for (Record record;;) {
      Arrival arrival = connection.Next(&record, limits_.idleSeconds * 1000);
      if (arrival == Arrival::kIdle) {
        Say("closed a connection that sent nothing for " + std::to_string(limits_.idleSeconds) +
            " s");
      }
      if (arrival != Arrival::kBytes) return Reading::kClosed;
      if (record.requestId == 0) {
        AnswerManagement(connection, record);
        continue;
      }
      if (record.type == kBeginRequest) {
        if (record.content.size() < 3) return Reading::kClosed;
        if (begun && record.requestId != request->id) {
          connection.SendEnd(record.requestId, 0, kCantMultiplex);
          continue;
        }
        auto role = static_cast<uint16_t>(static_cast<unsigned char>(record.content[0]) << 8 |
                                          static_cast<unsigned char>(record.content[1]));
        bool keep = (record.content[2] & kKeepConnection) != 0;
        if (role != kResponder) {
          connection.SendEnd(record.requestId, 0, kUnknownRole);
          if (!keep) return Reading::kClosed;
          continue;
        }
        begun = true;
        request->id = record.requestId;
        request->keep = keep;
        continue;
      }
      if (!begun || record.requestId != request->id) continue;  // of no request open here
      if (record.type == kAbortRequest) return Aborted(connection, *request);
      if (record.type == kParams && !paramsDone) {
        if (record.content.empty()) {
          paramsDone = true;
          if (!ReadPairs(params, [&](std::string name, std::string value) {
                request->params.insert_or_assign(std::move(name), std::move(value));
              })) {
            Say("closed a connection whose parameters are malformed");
            return Reading::kClosed;
          }
          bodyLength = DeclaredLength(*request, limits_);
        } else if (params.size() + record.content.size() > kMaxParams) {
          Say("refused a request whose parameters pass 1 MiB");
          connection.SendEnd(request->id, 0, kOverloaded);
          return Reading::kClosed;
        }
        params += record.content;
        continue;
      }
      if (record.type != kStdin || !paramsDone) continue;
      if (!record.content.empty()) {
        // Bytes past the declared length are never read: they are not kept either.
        const size_t room = bodyLength - std::min(bodyLength, stored);
        if (record.content.size() > room) record.content.resize(room);
        stored += record.content.size();
        if (!record.content.empty()) request->body.push_back(std::move(record.content));
        continue;
      }
      // The whole request is here. Nobody may be waiting for it any more: a request that sat in
      // the queue after the web server gave up must not change anything.
      switch (connection.AbandonedWithoutWaiting(request->id)) {
        case FastCgiConnection::Abandon::kAborted:
          return Aborted(connection, *request);
        case FastCgiConnection::Abandon::kClosed:
          Say(RequestName(*request) + ": the web server went away before it ran; not run");
          return Reading::kClosed;
        case FastCgiConnection::Abandon::kNo:
          return Reading::kRequest;
      }
    }
  }

  static Reading Aborted(FastCgiConnection& connection, const Incoming& request) {
    Say(RequestName(request) + ": aborted by the web server before it ran; not run");
    connection.SendEnd(request.id, 0, kRequestComplete);
    return Reading::kDropped;
  }

  void AnswerManagement(FastCgiConnection& connection, const Record& record) {
    if (record.type != kGetValues) {
      const char unknown[8] = {static_cast<char>(record.type)};
      connection.Send(kUnknownType, 0, std::string_view(unknown, sizeof unknown));
      return;
    }
    std::string answer;
    ReadPairs(record.content, [&](std::string name, std::string) {
      auto value = kValues.find(name);
      if (value != kValues.end()) AppendPair(answer, name, value->second);
    });
    connection.Send(kGetValuesResult, 0, answer);
  }

  int fd_;
  std::optional<SocketFile> file_;
  FastCgiLimits limits_;
  std::unique_ptr<FastCgiConnection> kept_;
  int64_t keptSinceMs_ = 0;
};

ServedRequest::ServedRequest(SocketListener& listener, FastCgiConnection& connection,
                             std::string name, Incoming incoming)
    : SocketRequest(connection, std::move(incoming)),
      listener_(listener),
      name_(std::move(name)),
      startMs_(MonotonicMs()) {
  if (currentSlot != nullptr) currentSlot->busySinceMs = startMs_;
}

ServedRequest::~ServedRequest() {
  Complete();
  const int64_t tookMs = MonotonicMs() - startMs_;
  if (currentSlot != nullptr) {
    currentSlot->busySinceMs = 0;
    ++currentSlot->served;
  }
  const int slow = listener_.limits().slowSeconds;
  if (slow > 0 && tookMs >= slow * 1000LL) {
    Say("slow request: " + name_ + " took " + std::to_string(tookMs / 1000) + "." +
        std::to_string(tookMs % 1000 / 100) + " s");
  }
  listener_.Finished(Keep());
}

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

int ListenOnPath(const std::string& path, std::string* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    *error = path + ": the path is too long for a socket";
    return -1;
  }
  if (!ClearSocketPath(path, error)) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      listen(fd, kBacklog) == 0) {
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

int ListenerDescriptor(FastCgiListener& listener) {
  return static_cast<SocketListener&>(listener).fd();
}

void RemoveListenerFile(FastCgiListener& listener) {
  static_cast<SocketListener&>(listener).RemoveSocketFile();
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
    fd = unixPath ? posix::ListenOnPath(address, error) : posix::ListenOnPort(address, error);
    if (fd < 0) return nullptr;
    struct stat info {};
    if (unixPath && lstat(address.c_str(), &info) == 0) {
      file = posix::SocketFile{address, info.st_dev, info.st_ino};
    }
  }
  // Every worker waits on the socket; the one that accepts first serves.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  posix::InstallWorkerSignals();
  return std::make_unique<posix::SocketListener>(fd, std::move(file), limits);
}

}  // namespace orvo
