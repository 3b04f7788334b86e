// The FastCGI protocol as bytes in and requests out: records, name-value pairs, the assembly of
// requests from a connection's byte stream, and the framing of answers. No system call here: the
// loop that owns the sockets feeds the bytes it read and sends the bytes it is given, so the unit
// tests and the fuzz target drive this code exactly as a connection does.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvo::fastcgi {

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

constexpr size_t kHeaderSize = 8;
constexpr size_t kMaxContent = 65535;
// The parameters of one request may not pass this.
constexpr size_t kMaxParams = 1 << 20;

using Params = std::map<std::string, std::string>;

// The capacity of a buffer for a body of `wanted` bytes once `needed` bytes must fit: the
// smallest of `wanted`, an eighth of it, a sixty-fourth, ... that holds them (and `least`). The
// declared length is only a ceiling, so memory grows with the bytes that arrive; and as each step
// is an eighth of the next, growing copies a seventh of the body at most.
size_t BodyCapacity(size_t wanted, size_t needed, size_t least);

// The header of a record of `length` (at most kMaxContent) content bytes, without padding.
std::array<char, kHeaderSize> RecordHeader(RecordType type, uint16_t requestId, size_t length);
// `bytes` as records of `type`; empty `bytes` give the empty record that ends a stream.
void AppendRecords(std::string& out, RecordType type, uint16_t requestId, std::string_view bytes);
// The record that ends request `requestId`.
std::string EndRequest(uint16_t requestId, uint32_t appStatus, ProtocolStatus status);

// Calls `add` with each name-value pair of a parameter block; false when the block is malformed
// (pairs seen before the fault were added).
bool ReadPairs(std::string_view block,
               const std::function<void(std::string_view, std::string_view)>& add);
void AppendPair(std::string& block, std::string_view name, std::string_view value);
// The pairs of a well-formed block (a later pair of the same name wins); false when malformed.
bool DecodeParams(std::string_view block, Params* params);

// "METHOD PATH" ("-" for either when missing): how the log names a request.
std::string RequestName(const Params& params);

// Where a request's body may go as it arrives instead of into the request's own string: a pool
// hands a large body on to a worker without holding it in its memory as well.
class BodyStore {
 public:
  virtual ~BodyStore() = default;
  // Adds bytes after those already kept; false when they cannot be kept.
  virtual bool Append(std::string_view bytes) = 0;
};

// A request whose part that the program reads has arrived.
struct Request {
  uint16_t id = 0;
  bool keep = false;   // the web server keeps the connection for the next request
  std::string params;  // the parameter block as sent
  std::string body;    // at most the bytes the program will read (empty with a store)
  std::shared_ptr<BodyStore> bodyStore;  // or the store that took them
  size_t storedBytes = 0;                // as many as it took
  std::string name;                      // "METHOD PATH", how the log names it
  bool bodyEnded = false;                // the body's stream ended (else its tail is still to come)
  bool arriving = false;  // taken while its body still arrives: storedBytes are those so far

  size_t BodySize() const { return bodyStore ? storedBytes : body.size(); }
};

// How much of the body of a request taken while it arrives is there: `bytes` so far, all it will
// have once `whole`; `cut` when it will never be whole (the web server aborted the request).
struct Arrival {
  size_t bytes = 0;
  bool whole = false;
  bool cut = false;
  bool Ended() const { return whole || cut; }  // no more of the body will come
};

// The bytes the program will read of a request with these parameters (its declared length,
// within the body limit); 0 when it reads none.
using BodyRule = std::function<size_t(const Params&)>;
// A store for the body of `wanted` bytes of the request with the parameter block `params`, or
// nullptr to keep the body in the request's string.
using BodyStoreMaker =
    std::function<std::unique_ptr<BodyStore>(std::string_view params, size_t wanted)>;

// The requests on one connection, assembled from its bytes in the order they arrive. Answers on
// the way what the worker does not serve (management records, other roles, multiplexing, a
// request aborted before it ran) through Outgoing(). Holds only what the requests will read:
// bytes of a body beyond its length are dropped as they arrive.
class RequestStream {
 public:
  explicit RequestStream(BodyRule bodyRule, BodyStoreMaker bodyStore = {});

  // Takes bytes that arrived; false once the stream is broken (Failure() says why) and the
  // connection must close.
  bool Feed(std::string_view bytes);

  bool HasRequest() const { return !ready_.empty(); }
  // The oldest complete request; only when HasRequest().
  Request TakeRequest();
  // The request being assembled can be taken before its body has arrived: its parameters are
  // complete, its body of at least `least` bytes goes to a store, and no complete one is before
  // it. Taken (TakeArriving), its body's bytes go on into that store, and Arrived() tells how
  // many are there, until the taker lets it go (LetArrivingGo) or the body is whole.
  bool CanTakeArriving(size_t least) const;
  Request TakeArriving();
  Arrival Arrived() const { return arrival_; }
  void LetArrivingGo();
  // Bytes to send to the web server, taken.
  std::string TakeOutgoing();
  // Lines for the log (requests aborted or refused before they ran), taken.
  std::vector<std::string> TakeNotes();
  // True once the web server asked for the connection to close after what is outgoing.
  bool CloseAfterOutgoing() const { return closeAfterOutgoing_; }
  const std::string& Failure() const { return failure_; }

  // A request or a record has begun and is not complete: the peer owes bytes.
  bool Partial() const;
  // Bytes held: a partial record, the request being assembled, the complete ones.
  size_t Held() const { return held_; }

 private:
  bool Record(uint8_t type, uint16_t id, std::string_view content);
  void Management(uint8_t type, std::string_view content);
  bool Begin(uint16_t id, std::string_view content);
  bool Abort(uint16_t id);
  bool ParamsRecord(std::string_view content);
  bool StdinRecord(std::string_view content);
  bool ArrivingRecord(std::string_view content);
  void Finish();
  bool Fail(std::string why);

  BodyRule bodyRule_;
  BodyStoreMaker bodyStore_;
  std::string partialRecord_;
  std::deque<Request> ready_;
  std::string outgoing_;
  std::vector<std::string> notes_;
  std::string failure_;
  // The request being assembled.
  enum class Stage { kNone, kParams, kBody, kArriving, kBodyTail } stage_ = Stage::kNone;
  Request current_;
  size_t bodyWanted_ = 0;
  uint16_t tailId_ =
      0;  // kArriving, kBodyTail: the request whose body's rest goes on or is dropped
  std::shared_ptr<BodyStore> arrivingStore_;  // kArriving: where the rest goes
  Arrival arrival_;                           // of the request last taken while it arrived
  size_t held_ = 0;
  bool closeAfterOutgoing_ = false;
};

}  // namespace orvo::fastcgi
