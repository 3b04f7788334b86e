// A worker's side of a request: how it arrives from the pool, and how its answer goes out.
#include <malloc.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "host/LargeBuffer.h"
#include "host/posix/PosixBeneath.h"
#include "host/posix/PosixFastCgi.h"

namespace orvo::posix {
namespace {

using fastcgi::kHeaderSize;
using fastcgi::kMaxContent;

// Writes smaller than this are gathered into one record; larger ones go out from the program's
// own buffer.
constexpr size_t kGathered = 16 * 1024;
constexpr size_t kIovecBatch = 512;
// A request this small travels inside the channel's message; a larger one in a memory file.
constexpr size_t kInlineBytes = 48 * 1024;
// After a request whose body was this large, the heap's free memory goes back to the system.
constexpr size_t kTrimAfter = 1 << 20;
constexpr char kIncomplete[] =
    "a request handed over by the pool arrived incomplete; its body is left out";

bool ReadWhole(int fd, char* into, size_t count, off_t at) {
  while (count > 0) {
    ssize_t got = pread(fd, into, count, at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    into += got;
    at += got;
    count -= static_cast<size_t>(got);
  }
  return true;
}

// A request's parameters and then its body, written to a memory file as they arrive: the pool
// holds no copy of its own, and hands the file to the worker, which reads the body from it.
class MemoryFileBody : public fastcgi::BodyStore {
 public:
  explicit MemoryFileBody(Fd file, off_t bodyAt = 0) : file_(std::move(file)), bodyAt_(bodyAt) {}
  bool Append(std::string_view bytes) override { return WriteWhole(file_.get(), bytes); }
  int Descriptor() const { return file_.get(); }
  // Up to `count` bytes of the body from its byte `at`; fewer at its end, -1 on a failure.
  ssize_t Read(size_t at, void* buffer, size_t count) const {
    ssize_t got;
    while ((got = pread(file_.get(), buffer, count, bodyAt_ + static_cast<off_t>(at))) < 0 &&
           errno == EINTR) {
    }
    return got;
  }
  bool ReadAll(char* into, size_t count) const {
    return ReadWhole(file_.get(), into, count, bodyAt_);
  }

 private:
  Fd file_;
  off_t bodyAt_;  // where the body starts in the file, after the parameters
};

class AnswerRequest : public FastCgiRequest {
 public:
  AnswerRequest(int fd, fastcgi::Request request, const FastCgiLimits& limits,
                std::function<void(Answered)> done)
      : fd_(fd),
        request_(std::move(request)),
        limits_(limits),
        done_(std::move(done)),
        startMs_(MonotonicMs()),
        large_(request_.arriving || request_.BodySize() >= kTrimAfter),
        stored_(dynamic_cast<const MemoryFileBody*>(request_.bodyStore.get())) {
    fastcgi::DecodeParams(request_.params, &params_);
    std::string().swap(request_.params);
    request_.name = fastcgi::RequestName(params_);
  }
  ~AnswerRequest() override {
    Complete();
    const int64_t tookMs = MonotonicMs() - startMs_;
    if (limits_.slowSeconds > 0 && tookMs >= limits_.slowSeconds * 1000LL) {
      Say("slow request: " + request_.name + " took " + std::to_string(tookMs / 1000) + "." +
          std::to_string(tookMs % 1000 / 100) + " s");
    }
    if (large_) malloc_trim(0);
  }

  std::optional<std::string> Param(const std::string& name) override {
    auto found = params_.find(name);
    if (found == params_.end()) return std::nullopt;
    return found->second;
  }
  int64_t Read(void* buffer, size_t count) override {
    AwaitBody(bodyAt_);
    const size_t take = std::min(count, request_.BodySize() - bodyAt_);
    if (stored_ != nullptr) {
      const ssize_t got = take > 0 ? stored_->Read(bodyAt_, buffer, take) : 0;
      if (got <= 0 && take > 0) Say(kIncomplete);
      bodyAt_ += static_cast<size_t>(std::max<ssize_t>(got, 0));
      return got;
    }
    std::memcpy(buffer, request_.body.data() + bodyAt_, take);
    bodyAt_ += take;
    if (bodyAt_ == request_.body.size()) {
      std::string().swap(request_.body);  // memory goes back as soon as the body is read
      bodyAt_ = 0;
    }
    return static_cast<int64_t>(take);
  }
  bool TakeBody(std::string* body) override {
    if (bodyAt_ != 0) return false;
    AwaitBody(SIZE_MAX);
    if (stored_ != nullptr) {
      // Read whole into a buffer offered large pages, which the decoder then takes over.
      std::string bytes;
      bytes.reserve(request_.storedBytes);
      AdviseLargeBuffer(bytes.data(), bytes.capacity());
      bytes.resize(request_.storedBytes);
      if (!stored_->ReadAll(bytes.data(), bytes.size())) {
        Say(kIncomplete);
        bytes.clear();
      }
      body->swap(bytes);
      return true;
    }
    body->swap(request_.body);
    std::string().swap(request_.body);
    return true;
  }
  void OnBodyArrival(std::function<void()> arrived) override { arrived_ = std::move(arrived); }
  void Write(const void* buffer, size_t count) override {
    std::lock_guard lock(answering_);
    if (completed_) return;
    std::string_view bytes(static_cast<const char*>(buffer), count);
    if (gathered_.size() + count < kGathered) {
      gathered_.append(bytes);
      return;
    }
    std::vector<iovec> parts;
    AddRecords(parts, fastcgi::kStdout, gathered_);
    AddRecords(parts, fastcgi::kStdout, bytes);
    Send(parts);
    gathered_.clear();
  }
  void WriteError(const void* buffer, size_t count) override {
    std::lock_guard lock(answering_);
    if (completed_ || count == 0) return;
    errorsSent_ = true;
    std::vector<iovec> parts;
    AddRecords(parts, fastcgi::kStdout, gathered_);
    AddRecords(parts, fastcgi::kStderr, std::string_view(static_cast<const char*>(buffer), count));
    Send(parts);
    gathered_.clear();
  }
  void Complete() override {
    std::lock_guard lock(answering_);
    if (completed_) return;
    completed_ = true;
    std::string ends;
    fastcgi::AppendRecords(ends, fastcgi::kStdout, request_.id, {});
    if (errorsSent_) fastcgi::AppendRecords(ends, fastcgi::kStderr, request_.id, {});
    ends += fastcgi::EndRequest(request_.id, 0, fastcgi::kRequestComplete);
    std::vector<iovec> parts;
    AddRecords(parts, fastcgi::kStdout, gathered_);
    parts.push_back({ends.data(), ends.size()});
    Send(parts);
    close(fd_);
    if (stalled_) {
      Say("closed a connection that took none of the answer for " +
          std::to_string(limits_.idleSeconds) + " s");
    }
    done_(ending_                     ? Answered::kCloseAndEnd
          : request_.keep && !failed_ ? Answered::kKeep
                                      : Answered::kClose);
  }
  void CompleteBeforeEnd() override {
    ending_ = true;  // else the pool could hand this process a request that it takes with it
    Complete();
  }

 private:
  // A body that still arrives: waits until more than `have` of its bytes are there, or all.
  void AwaitBody(size_t have) {
    while (request_.arriving && request_.storedBytes <= have) {
      const fastcgi::Arrival arrival = AwaitArrival(workerChannel, request_.storedBytes);
      request_.storedBytes = std::max(request_.storedBytes, arrival.bytes);
      request_.arriving = !arrival.Ended();
      if (arrived_) arrived_();
    }
  }

  // `bytes` as records of `type`, their headers in headers_ (kept until sent).
  void AddRecords(std::vector<iovec>& parts, fastcgi::RecordType type, std::string_view bytes) {
    for (; !bytes.empty(); bytes.remove_prefix(std::min(bytes.size(), kMaxContent))) {
      const size_t length = std::min(bytes.size(), kMaxContent);
      headers_.push_back(fastcgi::RecordHeader(type, request_.id, length));
      parts.push_back({headers_.back().data(), kHeaderSize});
      parts.push_back({const_cast<char*>(bytes.data()), length});
    }
  }

  // Sends every part, waiting at most the idle time for the peer to take each piece.
  void Send(std::vector<iovec>& parts) {
    size_t at = 0;
    while (!failed_ && at < parts.size()) {
      const size_t batch = std::min(parts.size() - at, kIovecBatch);
      ssize_t sent = writev(fd_, parts.data() + at, static_cast<int>(batch));
      if (sent < 0 && errno == EINTR) continue;
      if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd room{fd_, POLLOUT, 0};
        int ready;
        while ((ready = poll(&room, 1, limits_.idleSeconds * 1000)) < 0 && errno == EINTR) {
        }
        stalled_ = ready == 0;
        failed_ = ready <= 0 || (room.revents & (POLLERR | POLLHUP)) != 0;
        continue;
      }
      if (sent <= 0) {
        failed_ = true;
        break;
      }
      for (auto left = static_cast<size_t>(sent); left > 0;) {
        const size_t take = std::min(left, parts[at].iov_len);
        parts[at].iov_base = static_cast<char*>(parts[at].iov_base) + take;
        parts[at].iov_len -= take;
        left -= take;
        if (parts[at].iov_len == 0) ++at;
      }
      while (at < parts.size() && parts[at].iov_len == 0) ++at;
    }
    headers_.clear();
  }

  int fd_;
  fastcgi::Request request_;
  fastcgi::Params params_;
  const FastCgiLimits& limits_;
  std::function<void(Answered)> done_;
  int64_t startMs_;
  bool large_;
  const MemoryFileBody* stored_;   // the body's memory file, if it came in one
  std::function<void()> arrived_;  // told of each wait for the body that ended
  size_t bodyAt_ = 0;
  std::mutex answering_;
  std::string gathered_;
  std::deque<std::array<char, kHeaderSize>> headers_;
  bool completed_ = false;
  std::atomic<bool> ending_ = false;
  bool errorsSent_ = false;
  bool failed_ = false;
  bool stalled_ = false;
};

// What travels with a request on a worker's channel.
struct Handoff {
  uint64_t token;
  uint64_t paramsSize;
  uint64_t bodySize;
  uint16_t id;
  uint8_t keep;
  uint8_t bodyEnded;
  uint8_t arriving;
};

// A memory file with `parts` in it; empty when none can be made.
Fd MemoryFile(std::initializer_list<std::string_view> parts) {
  Fd file(memfd_create("orvo-request", MFD_CLOEXEC));
  for (std::string_view part : parts) {
    if (file && !WriteWhole(file.get(), part)) file.Reset();
  }
  return file;
}

}  // namespace

fastcgi::BodyStoreMaker MemoryFileBodies() {
  return [](std::string_view params, size_t wanted) -> std::unique_ptr<fastcgi::BodyStore> {
    if (params.size() + wanted <= kInlineBytes) return nullptr;
    Fd file = MemoryFile({params});
    if (!file) return nullptr;  // kept in the pool's memory, as a small body is
    return std::make_unique<MemoryFileBody>(std::move(file));
  };
}

std::unique_ptr<FastCgiRequest> MakeAnswerRequest(int fd, fastcgi::Request request,
                                                  const FastCgiLimits& limits,
                                                  std::function<void(Answered)> done) {
  return std::make_unique<AnswerRequest>(fd, std::move(request), limits, std::move(done));
}

bool HandToWorker(int channel, uint64_t token, int connection, fastcgi::Request request) {
  Handoff handoff{token,        request.params.size(), request.BodySize(), request.id,
                  request.keep, request.bodyEnded,     request.arriving};
  const auto* stored = dynamic_cast<const MemoryFileBody*>(request.bodyStore.get());
  const bool inlined = !stored && handoff.paramsSize + handoff.bodySize <= kInlineBytes;
  Fd made;
  if (!inlined && !stored) {
    made = MemoryFile({request.params, request.body});
    if (!made) return false;
  }
  int fds[2] = {connection, stored ? stored->Descriptor() : made.get()};
  iovec parts[3] = {{&handoff, sizeof handoff},
                    {request.params.data(), inlined ? request.params.size() : 0},
                    {request.body.data(), inlined ? request.body.size() : 0}};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 3;
  message.msg_control = control;
  message.msg_controllen = CMSG_SPACE(sizeof(int) * (inlined ? 1 : 2));
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int) * (inlined ? 1 : 2));
  std::memcpy(CMSG_DATA(header), fds, sizeof(int) * (inlined ? 1 : 2));
  ssize_t sent;
  while ((sent = sendmsg(channel, &message, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  return sent > 0;
}

std::optional<fastcgi::Request> ReceiveFromPool(int channel, int* fd, uint64_t* token) {
  static std::vector<char> buffer(sizeof(Handoff) + kInlineBytes);
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 2)] = {};
  iovec part{buffer.data(), buffer.size()};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t got;
  while ((got = recvmsg(channel, &message, MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
  }
  int fds[2] = {-1, -1};
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  if (header != nullptr && header->cmsg_type == SCM_RIGHTS) {
    std::memcpy(fds, CMSG_DATA(header), header->cmsg_len - CMSG_LEN(0));
  }
  if (got < static_cast<ssize_t>(sizeof(Handoff)) || fds[0] < 0) {
    for (int open : fds) {
      if (open >= 0) close(open);
    }
    return std::nullopt;
  }
  Handoff handoff;
  std::memcpy(&handoff, buffer.data(), sizeof handoff);
  fastcgi::Request request;
  request.id = handoff.id;
  request.keep = handoff.keep != 0;
  request.bodyEnded = handoff.bodyEnded != 0;
  request.arriving = handoff.arriving != 0 && fds[1] >= 0;
  request.params.resize(handoff.paramsSize);
  bool whole = true;
  if (fds[1] < 0) {
    const char* inlined = buffer.data() + sizeof handoff;
    whole = static_cast<size_t>(got) == sizeof handoff + handoff.paramsSize + handoff.bodySize;
    if (whole) {
      std::memcpy(request.params.data(), inlined, handoff.paramsSize);
      request.body.assign(inlined + handoff.paramsSize, handoff.bodySize);
    }
  } else {
    // The body stays in its memory file, read as the request asks for it.
    Fd file(fds[1]);
    whole = ReadWhole(file.get(), request.params.data(), handoff.paramsSize, 0);
    request.bodyStore =
        std::make_shared<MemoryFileBody>(std::move(file), static_cast<off_t>(handoff.paramsSize));
    request.storedBytes = handoff.bodySize;
  }
  *fd = fds[0];
  *token = handoff.token;
  if (!whole) {
    Say(kIncomplete);
    request.body.clear();
    request.bodyStore.reset();
    request.storedBytes = 0;
  }
  return request;
}

namespace {

// A worker's word: an Answered value and the request's token, or this and a byte count.
constexpr char kWaitsBeyond = 'w';

void SendWord(int channel, char kind, uint64_t value) {
  char word[9] = {kind};
  std::memcpy(word + 1, &value, sizeof value);
  ssize_t ignored = send(channel, word, sizeof word, MSG_NOSIGNAL);
  (void)ignored;
}

}  // namespace

void TellPoolDone(int channel, uint64_t token, Answered answered) {
  SendWord(channel, static_cast<char>(answered), token);
}

fastcgi::Arrival AwaitArrival(int channel, size_t have) {
  SendWord(channel, kWaitsBeyond, have);
  fastcgi::Arrival arrival;
  ssize_t got;
  // Stop signals interrupt the wait, not the request in hand.
  while ((got = recv(channel, &arrival, sizeof arrival, 0)) < 0 && errno == EINTR) {
  }
  if (got != static_cast<ssize_t>(sizeof arrival)) return {have, false, true};  // the pool is gone
  return arrival;
}

bool ReadWorkerWord(int channel, WorkerWord* said) {
  *said = WorkerWord{};
  char word[9];
  ssize_t got;
  while ((got = recv(channel, word, sizeof word, MSG_DONTWAIT)) < 0 && errno == EINTR) {
  }
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
  if (got != sizeof word) return false;
  uint64_t value;
  std::memcpy(&value, word + 1, sizeof value);
  if (word[0] == kWaitsBeyond) {
    said->waitsBeyond = value;
  } else {
    said->token = value;
    said->answered = static_cast<Answered>(word[0]);
  }
  return true;
}

void TellArrival(int channel, const fastcgi::Arrival& arrival) {
  ssize_t ignored = send(channel, &arrival, sizeof arrival, MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)ignored;
}

}  // namespace orvo::posix
