#include "host/posix/FastCgiHub.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "host/posix/PosixFastCgi.h"

namespace orvo::posix {
namespace {

constexpr uint64_t kListenerTag = uint64_t{1} << 62;
constexpr uint64_t kConnectionTags = uint64_t{1} << 32;  // a connection's tag is this + token
constexpr int kMaxEvents = 256;
constexpr size_t kReadChunk = 256 * 1024;
constexpr int kReadsPerTurn = 4;  // one busy connection does not hold the others up
constexpr int64_t kExpireEveryMs = 200;
// A body at least this large may go to a worker while it still arrives.
constexpr size_t kArrivingBodyBytes = size_t{1} << 20;
constexpr int64_t kAcceptPauseMs = 200;
// Once the hub stops, a connection that has sent nothing yet has this long for its first request:
// it was made before the stop, and the web server's request is on its way.
constexpr int64_t kFirstRequestAtStopMs = 1000;
// Answers the hub owes a peer that reads none of them (management records only).
constexpr size_t kMaxOutgoing = 1 << 20;

std::string Seconds(int64_t ms) { return std::to_string(ms / 1000); }

}  // namespace

struct FastCgiHub::Connection {
  Connection(uint64_t token, int fd, const FastCgiLimits& limits, int64_t now)
      : token(token), fd(fd), stream(limits.bodyRule, limits.bodyStore), lastReadMs(now) {}
  uint64_t token;
  int fd;
  fastcgi::RequestStream stream;
  int64_t lastReadMs;
  int64_t readySinceMs = 0;
  size_t held = 0;
  uint64_t served = 0;
  std::string outgoing;
  bool running = false;
  bool arriving = false;  // running a request taken while its body arrives
  bool queued = false;    // in readyQueue_
  bool offered = false;   // in arrivingQueue_
  bool ended = false;     // the peer sends nothing more (half-closed or gone)
  bool gone = false;      // the peer closed both ways: nobody waits for an answer
  bool closing = false;   // closes once nothing is running
  // Answered and not kept while the web server still owed the end of the request: closes once
  // that has arrived (closing before would fail the web server's writes of it).
  bool lingering = false;

  // Nothing runs, waits to run or has begun to arrive on it.
  bool Idle() const { return !running && !stream.HasRequest() && !stream.Partial(); }
};

FastCgiHub::FastCgiHub(int listenFd, const FastCgiLimits& limits)
    : listenFd_(listenFd), limits_(limits), epoll_(epoll_create1(EPOLL_CLOEXEC)) {
  epoll_event event{EPOLLIN, {.u64 = kListenerTag}};
  epoll_ctl(epoll_, EPOLL_CTL_ADD, listenFd_, &event);
}

FastCgiHub::~FastCgiHub() {
  for (auto& [token, connection] : connections_) close(connection->fd);
  close(epoll_);
}

void FastCgiHub::Watch(int fd, uint64_t tag) {
  epoll_event event{EPOLLIN, {.u64 = tag}};
  epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
}

void FastCgiHub::Unwatch(int fd) { epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr); }

void FastCgiHub::Wait(int timeoutMs, const std::function<void(uint64_t tag)>& other) {
  const int64_t now = MonotonicMs();
  if (!connections_.empty()) {
    const int64_t untilExpire = std::max<int64_t>(0, lastExpireMs_ + kExpireEveryMs - now);
    timeoutMs = timeoutMs < 0 ? static_cast<int>(untilExpire)
                              : std::min(timeoutMs, static_cast<int>(untilExpire));
  }
  if (!stopping_ && acceptPausedUntilMs_ != 0) {
    if (now >= acceptPausedUntilMs_) {
      acceptPausedUntilMs_ = 0;
      epoll_event event{EPOLLIN, {.u64 = kListenerTag}};
      epoll_ctl(epoll_, EPOLL_CTL_ADD, listenFd_, &event);
    } else {
      timeoutMs =
          std::min<int64_t>(timeoutMs < 0 ? kAcceptPauseMs : timeoutMs, acceptPausedUntilMs_ - now);
    }
  }
  epoll_event events[kMaxEvents];
  const int count = epoll_wait(epoll_, events, kMaxEvents, timeoutMs);
  for (int i = 0; i < count; ++i) {
    const uint64_t tag = events[i].data.u64;
    if (tag == kListenerTag) {
      if (!stopping_) Accept(false);
    } else if (tag >= kConnectionTags) {
      auto found = connections_.find(tag - kConnectionTags);
      if (found != connections_.end()) Read(*found->second);
    } else {
      other(tag);
    }
  }
  if (MonotonicMs() - lastExpireMs_ >= kExpireEveryMs) Expire();
}

// Takes the connections waiting in the listen queue: up to 64 at a turn, within the connection
// limit; or, when `everyOne`, all of them.
void FastCgiHub::Accept(bool everyOne) {
  for (int turn = 0; everyOne || turn < 64; ++turn) {
    if (!everyOne && connections_.size() >= static_cast<size_t>(limits_.maxConnections)) {
      std::optional<uint64_t> idlest = IdlestConnection(false, 0);
      if (!idlest) return;  // every one is busy: the rest wait in the listen queue
      Close(*idlest, "closed the connection idle longest: the pool holds its limit of " +
                         std::to_string(limits_.maxConnections) +
                         " connections (ORVO_MAX_CONNECTIONS)");
    }
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: wait a moment rather than spin on a socket that stays readable.
        if (!acceptFailureSaid_) {
          Say(std::string("cannot accept connections for now: ") + std::strerror(errno) +
              " (raise the limit of open files, or lower ORVO_MAX_CONNECTIONS)");
        }
        acceptFailureSaid_ = true;
        acceptPausedUntilMs_ = MonotonicMs() + kAcceptPauseMs;
        epoll_ctl(epoll_, EPOLL_CTL_DEL, listenFd_, nullptr);
      }
      return;
    }
    acceptFailureSaid_ = false;
    if (const std::string peer = PeerAddress(fd); !PeerAllowed(peer)) {
      Say("refused a connection from " + peer + ", which FCGI_WEB_SERVER_ADDRS leaves out");
      close(fd);
      continue;
    }
    const uint64_t token = nextToken_++;
    connections_.emplace(token, std::make_unique<Connection>(token, fd, limits_, MonotonicMs()));
    epoll_event event{EPOLLIN | EPOLLRDHUP, {.u64 = kConnectionTags + token}};
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
  }
}

void FastCgiHub::Read(Connection& connection) {
  static std::vector<char> buffer(kReadChunk);
  const size_t heldBefore = connection.held;
  for (int turn = 0; turn < kReadsPerTurn && !connection.ended; ++turn) {
    ssize_t got = recv(connection.fd, buffer.data(), buffer.size(), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (got <= 0) {
      connection.ended = true;
      // A peer that closed both ways (a Unix socket tells) waits for nothing; one that only
      // half-closed still reads the answers to the requests it sent.
      pollfd both{connection.fd, POLLIN, 0};
      connection.gone = got < 0 || (poll(&both, 1, 0) > 0 && (both.revents & POLLHUP) != 0);
      epoll_ctl(epoll_, EPOLL_CTL_DEL, connection.fd, nullptr);
      break;
    }
    connection.lastReadMs = MonotonicMs();
    if (!connection.stream.Feed(std::string_view(buffer.data(), static_cast<size_t>(got)))) {
      connection.closing = true;
      Say("closed a connection: " + connection.stream.Failure());
      break;
    }
    if (static_cast<size_t>(got) < buffer.size()) break;
  }
  connection.held = connection.stream.Held();
  held_ = held_ - heldBefore + connection.held;
  AfterInput(connection);
}

// What a connection's new bytes lead to: answers owed, requests to queue, or its end.
void FastCgiHub::AfterInput(Connection& connection) {
  if (connection.lingering) {
    if (!connection.stream.Partial() || connection.ended || connection.closing) {
      Close(connection.token, "");
    }
    return;
  }
  for (const std::string& note : connection.stream.TakeNotes()) Say(note);
  connection.outgoing += connection.stream.TakeOutgoing();
  if (!connection.running) Flush(connection);
  const uint64_t token = connection.token;
  if (connection.gone) {
    while (connection.stream.HasRequest()) {
      Say(connection.stream.TakeRequest().name +
          ": the web server went away before it ran; not run");
    }
  }
  const bool waiting = connection.stream.HasRequest() || connection.running;
  if (connection.closing || (connection.ended && !waiting) ||
      (stopping_ && connection.Idle() && connection.served > 0) ||
      (connection.stream.CloseAfterOutgoing() && connection.outgoing.empty() && !waiting)) {
    if (!connection.running) Close(token, "");
    return;
  }
  if (connection.stream.HasRequest() && !connection.running && !connection.queued) {
    connection.queued = true;
    connection.readySinceMs = MonotonicMs();
    readyQueue_.push_back(token);
  }
  if (!connection.running && !connection.offered &&
      connection.stream.CanTakeArriving(kArrivingBodyBytes)) {
    connection.offered = true;
    arrivingQueue_.push_back(token);
  }
  if (held_ > limits_.maxWaitingBytes) EnforceBudget(token);
}

void FastCgiHub::Flush(Connection& connection) {
  while (!connection.outgoing.empty()) {
    ssize_t sent = send(connection.fd, connection.outgoing.data(), connection.outgoing.size(),
                        MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) break;
    connection.outgoing.erase(0, static_cast<size_t>(sent));
  }
  if (connection.outgoing.size() > kMaxOutgoing) connection.closing = true;
}

int64_t FastCgiHub::ReadySinceMs() const {
  for (uint64_t token : readyQueue_) {
    auto found = connections_.find(token);
    if (found != connections_.end() && found->second->queued) return found->second->readySinceMs;
  }
  return 0;
}

std::optional<ReadyRequest> FastCgiHub::TakeReady() {
  while (!readyQueue_.empty()) {
    const uint64_t token = readyQueue_.front();
    readyQueue_.pop_front();
    auto found = connections_.find(token);
    if (found == connections_.end()) continue;
    Connection& connection = *found->second;
    connection.queued = false;
    if (connection.running) continue;
    // What is already on its way is read first: the web server may have given the request up.
    // Counted as running meanwhile, so that the read neither queues it again nor closes it.
    connection.running = true;
    if (!connection.ended) Read(connection);
    if (!connection.stream.HasRequest()) {
      connection.running = false;
      AfterInput(connection);
      continue;
    }
    ReadyRequest ready{token, connection.fd, connection.stream.TakeRequest()};
    held_ -= connection.held - connection.stream.Held();
    connection.held = connection.stream.Held();
    return ready;
  }
  return std::nullopt;
}

std::optional<ReadyRequest> FastCgiHub::TakeArriving() {
  while (!arrivingQueue_.empty()) {
    auto found = connections_.find(arrivingQueue_.front());
    arrivingQueue_.pop_front();
    if (found == connections_.end()) continue;
    Connection& connection = *found->second;
    connection.offered = false;
    if (connection.running || connection.closing || connection.ended || connection.lingering ||
        !connection.stream.CanTakeArriving(kArrivingBodyBytes)) {
      continue;  // its body arrived meanwhile, or it is going
    }
    connection.running = connection.arriving = true;
    ReadyRequest ready{found->first, connection.fd, connection.stream.TakeArriving()};
    held_ -= connection.held - connection.stream.Held();
    connection.held = connection.stream.Held();
    return ready;
  }
  return std::nullopt;
}

fastcgi::Arrival FastCgiHub::Arrived(uint64_t token) const {
  auto found = connections_.find(token);
  if (found == connections_.end()) return {0, false, true};
  const Connection& connection = *found->second;
  fastcgi::Arrival arrival = connection.stream.Arrived();
  arrival.cut = arrival.cut || (!arrival.whole && (connection.ended || connection.closing));
  return arrival;
}

void FastCgiHub::Finished(uint64_t token, bool keep) {
  auto found = connections_.find(token);
  if (found == connections_.end()) return;
  Connection& connection = *found->second;
  connection.running = connection.arriving = false;
  connection.stream.LetArrivingGo();  // what the worker did not read is dropped as it comes
  ++connection.served;
  connection.lastReadMs = std::max(connection.lastReadMs, MonotonicMs());
  if (!keep && connection.stream.Partial() && !connection.ended && !connection.closing) {
    connection.lingering = true;
    shutdown(connection.fd, SHUT_WR);
    return;
  }
  if (!keep) {
    Close(token, "");
    return;
  }
  AfterInput(connection);
}

void FastCgiHub::Close(uint64_t token, const std::string& why) {
  auto found = connections_.find(token);
  if (found == connections_.end()) return;
  if (!why.empty()) Say(why);
  Connection& connection = *found->second;
  held_ -= connection.held;
  epoll_ctl(epoll_, EPOLL_CTL_DEL, connection.fd, nullptr);
  close(connection.fd);
  connections_.erase(found);
}

void FastCgiHub::Expire() {
  const int64_t now = lastExpireMs_ = MonotonicMs();
  const int64_t idleMs = limits_.idleSeconds * 1000LL;
  std::vector<std::pair<uint64_t, std::string>> expired;
  for (const auto& [token, connection] : connections_) {
    const bool firstAwaited = connection->served == 0 && connection->Idle();
    const int64_t limitMs =
        stopping_ && firstAwaited ? std::min(idleMs, kFirstRequestAtStopMs) : idleMs;
    if (now - connection->lastReadMs < limitMs) continue;
    if (connection->arriving && !connection->closing && !connection->stream.Arrived().Ended()) {
      // A worker reads this body as it arrives: it learns that the rest will not come.
      connection->closing = true;
      Say("closed a connection whose body stopped arriving for " + Seconds(limitMs) + " s");
    }
    if (connection->running || connection->stream.HasRequest()) continue;
    const bool kept = connection->served > 0 && !connection->stream.Partial();
    expired.emplace_back(
        token, connection->lingering ? ""
               : kept ? "closed a kept connection idle for " + Seconds(limitMs) + " s"
                      : "closed a connection that sent nothing for " + Seconds(limitMs) + " s");
  }
  for (const auto& [token, why] : expired) Close(token, why);
}

// Waiting requests hold more than the pool allows: the connections that hold bytes and were
// idle longest go, but never the one whose bytes just arrived.
void FastCgiHub::EnforceBudget(uint64_t growing) {
  while (held_ > limits_.maxWaitingBytes) {
    std::optional<uint64_t> idlest = IdlestConnection(true, growing);
    if (!idlest) return;
    Close(*idlest, "closed the connection idle longest: waiting requests hold over " +
                       std::to_string(limits_.maxWaitingBytes) + " bytes (ORVO_WAITING_BYTES)");
  }
}

// The connection that waits for its peer and was idle longest: one with a partial request when
// `holdingBytes`, else any that neither runs nor holds a request.
std::optional<uint64_t> FastCgiHub::IdlestConnection(bool holdingBytes, uint64_t except) const {
  std::optional<uint64_t> idlest;
  int64_t since = 0;
  for (const auto& [token, connection] : connections_) {
    if (token == except || connection->running || connection->stream.HasRequest()) continue;
    if (holdingBytes && connection->held == 0) continue;
    if (!idlest || connection->lastReadMs < since) {
      idlest = token;
      since = connection->lastReadMs;
    }
  }
  return idlest;
}

void FastCgiHub::Stop(bool takeQueued) {
  if (!stopping_) {
    if (takeQueued) Accept(true);
    epoll_ctl(epoll_, EPOLL_CTL_DEL, listenFd_, nullptr);
  }
  stopping_ = true;
  std::vector<uint64_t> idle, answered;
  for (auto& [token, connection] : connections_) {
    if (connection->lingering) answered.push_back(token);
    if (connection->Idle()) idle.push_back(token);
  }
  for (uint64_t token : answered) Close(token, "");
  // What a connection has sent already is read first: a request that arrived with the stop is in
  // hand, and a kept connection closes only if nothing has begun on it.
  for (uint64_t token : idle) {
    if (auto found = connections_.find(token); found != connections_.end()) Read(*found->second);
  }
}

bool FastCgiHub::Quiet() const { return connections_.empty(); }

void FastCgiHub::CloseDescriptorsInChild() {
  for (auto& [token, connection] : connections_) close(connection->fd);
  close(epoll_);
}

}  // namespace orvo::posix
