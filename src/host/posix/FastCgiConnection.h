// One FastCGI connection from the web server: its records in, its records out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace orvo::posix {

enum RecordType : uint8_t {
  kBeginRequest = 1,
  kAbortRequest = 2,
  kEndRequest = 3,
  kParams = 4,
  kStdin = 5,
  kStdout = 6,
  kStderr = 7,
  kData = 8,
  kGetValues = 9,
  kGetValuesResult = 10,
  kUnknownType = 11,
};

enum ProtocolStatus : uint8_t {
  kRequestComplete = 0,
  kCantMultiplex = 1,
  kOverloaded = 2,
  kUnknownRole = 3,
};

struct Record {
  uint8_t type = 0;
  uint16_t requestId = 0;
  std::string content;
};

// How a wait for bytes ended.
enum class Arrival { kBytes, kClosed, kIdle, kFailed };

class FastCgiConnection {
 public:
  // Takes `fd`, a connected socket; a send that moves nothing for `idleSeconds` fails.
  FastCgiConnection(int fd, int idleSeconds);
  ~FastCgiConnection();
  FastCgiConnection(const FastCgiConnection&) = delete;
  FastCgiConnection& operator=(const FastCgiConnection&) = delete;

  int fd() const { return fd_; }
  // The next record, waiting at most `timeoutMs` for each of its bytes.
  Arrival Next(Record* record, int timeoutMs);
  // Whether records already received, or bytes that can be read without waiting, hold a
  // request to abort `requestId` (kAborted), or show that the web server closed the connection.
  enum class Abandon { kNo, kAborted, kClosed };
  Abandon AbandonedWithoutWaiting(uint16_t requestId);
  // Sends `bytes` as records of `type` (an empty stream end for empty `bytes`); false once the
  // connection failed or the web server took nothing for the idle time. Safe from two threads.
  bool Send(RecordType type, uint16_t requestId, std::string_view bytes);
  bool SendEnd(uint16_t requestId, uint32_t appStatus, ProtocolStatus status);
  // True once a send failed because the web server took none of it for the idle time.
  bool StalledOnSend() const { return stalled_; }

 private:
  Arrival Fill(int timeoutMs);
  bool SendLocked(std::string_view bytes);

  int fd_;
  std::string received_;
  std::mutex sending_;
  bool failed_ = false;
  bool stalled_ = false;
};

// The name-value pairs of a parameter block; false when it is malformed.
bool ReadPairs(std::string_view block, const std::function<void(std::string, std::string)>& add);

}  // namespace orvo::posix
