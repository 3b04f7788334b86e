#include "host/posix/FastCgiConnection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace orvo::posix {
namespace {

constexpr size_t kHeader = 8;
constexpr size_t kMaxContent = 65535;
constexpr uint8_t kVersion = 1;

void AppendHeader(std::string& out, RecordType type, uint16_t requestId, size_t length) {
  const char header[kHeader] = {static_cast<char>(kVersion),
                                static_cast<char>(type),
                                static_cast<char>(requestId >> 8),
                                static_cast<char>(requestId & 0xFF),
                                static_cast<char>(length >> 8),
                                static_cast<char>(length & 0xFF),
                                0,
                                0};
  out.append(header, kHeader);
}

unsigned Byte(std::string_view bytes, size_t at) { return static_cast<unsigned char>(bytes[at]); }

// The length of a complete record at the front of `bytes`, 0 when it is not all there.
size_t CompleteRecord(std::string_view bytes) {
  if (bytes.size() < kHeader) return 0;
  size_t total = kHeader + (Byte(bytes, 4) << 8 | Byte(bytes, 5)) + Byte(bytes, 6);
  return bytes.size() >= total ? total : 0;
}

bool ReadLength(std::string_view block, size_t& at, size_t& length) {
  if (at >= block.size()) return false;
  if (Byte(block, at) < 0x80) {
    length = Byte(block, at++);
    return true;
  }
  if (block.size() - at < 4) return false;
  length = (Byte(block, at) & 0x7F) << 24 | Byte(block, at + 1) << 16 | Byte(block, at + 2) << 8 |
           Byte(block, at + 3);
  at += 4;
  return true;
}

}  // namespace

FastCgiConnection::FastCgiConnection(int fd, int idleSeconds) : fd_(fd) {
  timeval limit{idleSeconds, 0};
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

FastCgiConnection::~FastCgiConnection() { close(fd_); }

Arrival FastCgiConnection::Fill(int timeoutMs) {
  pollfd wait{fd_, POLLIN, 0};
  int ready;
  while ((ready = poll(&wait, 1, timeoutMs)) < 0 && errno == EINTR) {
  }
  if (ready == 0) return Arrival::kIdle;
  char buffer[65536];
  ssize_t got;
  while ((got = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) < 0 && errno == EINTR) {
  }
  if (got > 0) {
    received_.append(buffer, static_cast<size_t>(got));
    return Arrival::kBytes;
  }
  return got == 0 ? Arrival::kClosed : Arrival::kFailed;
}

Arrival FastCgiConnection::Next(Record* record, int timeoutMs) {
  size_t total;
  while ((total = CompleteRecord(received_)) == 0) {
    Arrival arrival = Fill(timeoutMs);
    if (arrival != Arrival::kBytes) return arrival;
  }
  std::string_view bytes(received_);
  if (Byte(bytes, 0) != kVersion) return Arrival::kFailed;
  record->type = static_cast<uint8_t>(Byte(bytes, 1));
  record->requestId = static_cast<uint16_t>(Byte(bytes, 2) << 8 | Byte(bytes, 3));
  record->content.assign(bytes.substr(kHeader, Byte(bytes, 4) << 8 | Byte(bytes, 5)));
  received_.erase(0, total);
  return Arrival::kBytes;
}

FastCgiConnection::Abandon FastCgiConnection::AbandonedWithoutWaiting(uint16_t requestId) {
  pollfd peek{fd_, POLLIN | POLLRDHUP, 0};
  bool closed = false;
  if (poll(&peek, 1, 0) > 0) {
    closed = (peek.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
    if (peek.revents & POLLIN) closed = Fill(0) != Arrival::kBytes || closed;
  }
  std::string_view bytes(received_);
  while (size_t total = CompleteRecord(bytes)) {
    uint16_t id = static_cast<uint16_t>(Byte(bytes, 2) << 8 | Byte(bytes, 3));
    if (Byte(bytes, 1) == kAbortRequest && id == requestId) return Abandon::kAborted;
    bytes.remove_prefix(total);
  }
  return closed ? Abandon::kClosed : Abandon::kNo;
}

bool FastCgiConnection::SendLocked(std::string_view bytes) {
  while (!failed_ && !bytes.empty()) {
    ssize_t sent = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) {
      stalled_ = errno == EAGAIN || errno == EWOULDBLOCK;
      failed_ = true;
      break;
    }
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return !failed_;
}

bool FastCgiConnection::Send(RecordType type, uint16_t requestId, std::string_view bytes) {
  std::lock_guard lock(sending_);
  std::string out;
  do {
    size_t length = std::min(bytes.size(), kMaxContent);
    AppendHeader(out, type, requestId, length);
    out.append(bytes.substr(0, length));
    bytes.remove_prefix(length);
  } while (!bytes.empty());
  return SendLocked(out);
}

bool FastCgiConnection::SendEnd(uint16_t requestId, uint32_t appStatus, ProtocolStatus status) {
  const char body[8] = {static_cast<char>(appStatus >> 24),
                        static_cast<char>(appStatus >> 16 & 0xFF),
                        static_cast<char>(appStatus >> 8 & 0xFF),
                        static_cast<char>(appStatus & 0xFF),
                        static_cast<char>(status),
                        0,
                        0,
                        0};
  return Send(kEndRequest, requestId, std::string_view(body, sizeof body));
}

bool ReadPairs(std::string_view block, const std::function<void(std::string, std::string)>& add) {
  size_t at = 0;
  while (at < block.size()) {
    size_t nameLength = 0, valueLength = 0;
    if (!ReadLength(block, at, nameLength) || !ReadLength(block, at, valueLength)) return false;
    if (block.size() - at < nameLength || block.size() - at - nameLength < valueLength) {
      return false;
    }
    add(std::string(block.substr(at, nameLength)),
        std::string(block.substr(at + nameLength, valueLength)));
    at += nameLength + valueLength;
  }
  return true;
}

}  // namespace orvo::posix
