// The connections of a FastCGI socket, read without blocking in one epoll set: each one's bytes go
// to its request stream, and a request becomes ready to run once its part that the program reads
// has arrived. Only the process that owns the hub (the pool, or a lone worker) calls it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "fastcgi/FastCgiProtocol.h"
#include "host/FastCgi.h"

namespace orvo::posix {

// A ready request taken from the hub to run.
struct ReadyRequest {
  uint64_t token = 0;  // names its connection in Finished()
  int fd = -1;         // the connection, still the hub's
  fastcgi::Request request;
};

class FastCgiHub {
 public:
  // Serves the listening socket `listenFd` (not taken) within `limits`.
  FastCgiHub(int listenFd, const FastCgiLimits& limits);
  ~FastCgiHub();
  FastCgiHub(const FastCgiHub&) = delete;
  FastCgiHub& operator=(const FastCgiHub&) = delete;

  // Adds `fd` to the set under `tag` (below 2^32; the hub's own tags are above), or removes it.
  void Watch(int fd, uint64_t tag);
  void Unwatch(int fd);
  // Waits at most `timeoutMs` (-1: no limit) and handles what arrived; `other` gets the events
  // of the descriptors added by Watch().
  void Wait(int timeoutMs, const std::function<void(uint64_t tag)>& other);

  bool HasReady() const { return !readyQueue_.empty(); }
  // Since when (MonotonicMs) the oldest ready request waits; 0 when none waits.
  int64_t ReadySinceMs() const;
  // The oldest ready request, whose connection counts as running until Finished(); nullopt
  // when the requests that looked ready turned out to be abandoned.
  std::optional<ReadyRequest> TakeReady();
  // The oldest request whose large body still arrives (into a body store), taken to run while
  // the rest arrives; its connection counts as running until Finished().
  std::optional<ReadyRequest> TakeArriving();
  // How much of the body of the request taken from `token` while it arrived is there; cut when
  // its connection ended, failed or stayed silent for the idle time before it was whole.
  fastcgi::Arrival Arrived(uint64_t token) const;
  // The request taken from `token` has its answer; `keep`: the connection may take the next.
  void Finished(uint64_t token, bool keep);

  // No new connections; when `takeQueued`, those waiting in the listen queue are taken first.
  // Kept connections with nothing begun close now; the others once their requests (those arriving
  // included) are answered, and one that never sent a request once it sends none for a second.
  void Stop(bool takeQueued);
  // Every connection is closed.
  bool Quiet() const;
  // In a process forked from the owner: closes the hub's descriptors without touching the
  // connections' state.
  void CloseDescriptorsInChild();

 private:
  struct Connection;
  void Accept(bool everyOne);
  void Read(Connection& connection);
  void AfterInput(Connection& connection);
  void Flush(Connection& connection);
  void Close(uint64_t token, const std::string& why);
  void Expire();
  void EnforceBudget(uint64_t growing);
  std::optional<uint64_t> IdlestConnection(bool holdingBytes, uint64_t except) const;

  int listenFd_;
  FastCgiLimits limits_;
  int epoll_;
  bool stopping_ = false;
  bool acceptFailureSaid_ = false;
  int64_t acceptPausedUntilMs_ = 0;
  int64_t lastExpireMs_ = 0;
  uint64_t nextToken_ = 1;
  std::map<uint64_t, std::unique_ptr<Connection>> connections_;  // oldest first
  std::deque<uint64_t> readyQueue_;     // connections whose next request waits for a worker
  std::deque<uint64_t> arrivingQueue_;  // connections whose large body is on its way
  size_t held_ = 0;                     // bytes held by every connection
};

}  // namespace orvo::posix
