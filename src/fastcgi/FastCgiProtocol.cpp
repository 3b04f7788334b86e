#include "fastcgi/FastCgiProtocol.h"

#include <algorithm>
#include <utility>

namespace orvo::fastcgi {
namespace {

constexpr uint8_t kVersion = 1;
constexpr uint16_t kResponder = 1;
constexpr uint8_t kKeepConnection = 1;

// The answers to a web server's questions about the worker (FCGI_GET_VALUES).
const std::map<std::string, std::string, std::less<>> kValues = {
    {"FCGI_MAX_CONNS", "1"}, {"FCGI_MAX_REQS", "1"}, {"FCGI_MPXS_CONNS", "0"}};

unsigned Byte(std::string_view bytes, size_t at) { return static_cast<unsigned char>(bytes[at]); }

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

void AppendLength(std::string& block, size_t length) {
  if (length < 0x80) {
    block += static_cast<char>(length);
    return;
  }
  for (int shift : {24, 16, 8, 0}) {
    auto byte = static_cast<unsigned char>(length >> shift);
    block += static_cast<char>(shift == 24 ? byte | 0x80 : byte);
  }
}

}  // namespace

std::string RequestName(const Params& params) {
  auto param = [&](const char* name) {
    auto found = params.find(name);
    return found == params.end() || found->second.empty() ? std::string("-") : found->second;
  };
  return param("REQUEST_METHOD") + " " + param("PATH_INFO");
}

std::array<char, kHeaderSize> RecordHeader(RecordType type, uint16_t requestId, size_t length) {
  return {static_cast<char>(kVersion),
          static_cast<char>(type),
          static_cast<char>(requestId >> 8),
          static_cast<char>(requestId & 0xFF),
          static_cast<char>(length >> 8 & 0xFF),
          static_cast<char>(length & 0xFF),
          0,
          0};
}

void AppendRecords(std::string& out, RecordType type, uint16_t requestId, std::string_view bytes) {
  do {
    const size_t length = std::min(bytes.size(), kMaxContent);
    const auto header = RecordHeader(type, requestId, length);
    out.append(header.data(), header.size());
    out.append(bytes.substr(0, length));
    bytes.remove_prefix(length);
  } while (!bytes.empty());
}

std::string EndRequest(uint16_t requestId, uint32_t appStatus, ProtocolStatus status) {
  const char body[8] = {static_cast<char>(appStatus >> 24),
                        static_cast<char>(appStatus >> 16 & 0xFF),
                        static_cast<char>(appStatus >> 8 & 0xFF),
                        static_cast<char>(appStatus & 0xFF),
                        static_cast<char>(status),
                        0,
                        0,
                        0};
  std::string out;
  AppendRecords(out, kEndRequest, requestId, std::string_view(body, sizeof body));
  return out;
}

bool ReadPairs(std::string_view block,
               const std::function<void(std::string_view, std::string_view)>& add) {
  size_t at = 0;
  while (at < block.size()) {
    size_t nameLength = 0, valueLength = 0;
    if (!ReadLength(block, at, nameLength) || !ReadLength(block, at, valueLength)) return false;
    if (block.size() - at < nameLength || block.size() - at - nameLength < valueLength) {
      return false;
    }
    add(block.substr(at, nameLength), block.substr(at + nameLength, valueLength));
    at += nameLength + valueLength;
  }
  return true;
}

void AppendPair(std::string& block, std::string_view name, std::string_view value) {
  AppendLength(block, name.size());
  AppendLength(block, value.size());
  block.append(name);
  block.append(value);
}

bool DecodeParams(std::string_view block, Params* params) {
  return ReadPairs(block, [params](std::string_view name, std::string_view value) {
    params->insert_or_assign(std::string(name), std::string(value));
  });
}

size_t BodyCapacity(size_t wanted, size_t needed, size_t least) {
  const size_t floor = std::max(needed, least);
  size_t next = wanted;
  while (next / 8 >= floor) next /= 8;
  return next;
}

RequestStream::RequestStream(BodyRule bodyRule, BodyStoreMaker bodyStore)
    : bodyRule_(std::move(bodyRule)), bodyStore_(std::move(bodyStore)) {}

namespace {
// The length of the record at the front of `bytes` with its padding; 0 while its header is not
// all there.
size_t RecordLength(std::string_view bytes) {
  if (bytes.size() < kHeaderSize) return 0;
  return kHeaderSize + (Byte(bytes, 4) << 8 | Byte(bytes, 5)) + Byte(bytes, 6);
}
}  // namespace

bool RequestStream::Feed(std::string_view bytes) {
  if (!failure_.empty()) return false;
  while (!bytes.empty()) {
    std::string_view record = bytes;
    if (!partialRecord_.empty()) {
      // A record that began in an earlier read is completed in its own buffer: its header
      // first, then the rest.
      for (size_t want = std::max(RecordLength(partialRecord_), kHeaderSize);
           partialRecord_.size() < want && !bytes.empty();
           want = std::max(RecordLength(partialRecord_), kHeaderSize)) {
        const size_t take = std::min(bytes.size(), want - partialRecord_.size());
        partialRecord_.append(bytes.substr(0, take));
        held_ += take;
        bytes.remove_prefix(take);
      }
      if (partialRecord_.size() < std::max(RecordLength(partialRecord_), kHeaderSize)) {
        return true;
      }
      record = partialRecord_;
    } else if (record.size() < std::max(RecordLength(record), kHeaderSize)) {
      partialRecord_.assign(record);
      held_ += record.size();
      return true;
    }
    const size_t total = RecordLength(record);
    const bool ok =
        Byte(record, 0) != kVersion
            ? Fail("a record of an unknown protocol version")
            : Record(static_cast<uint8_t>(Byte(record, 1)),
                     static_cast<uint16_t>(Byte(record, 2) << 8 | Byte(record, 3)),
                     record.substr(kHeaderSize, Byte(record, 4) << 8 | Byte(record, 5)));
    if (partialRecord_.empty()) {
      bytes.remove_prefix(total);
    } else {
      held_ -= partialRecord_.size();
      std::string().swap(partialRecord_);
    }
    if (!ok) return false;
  }
  return true;
}

bool RequestStream::Record(uint8_t type, uint16_t id, std::string_view content) {
  if (id == 0) {
    Management(type, content);
    return true;
  }
  if (type == kBeginRequest) return Begin(id, content);
  if (type == kAbortRequest) return Abort(id);
  if (stage_ == Stage::kArriving) {
    return id == tailId_ && type == kStdin ? ArrivingRecord(content) : true;
  }
  if (stage_ == Stage::kBodyTail) {
    if (id == tailId_ && type == kStdin && content.empty()) stage_ = Stage::kNone;
    return true;
  }
  if (stage_ == Stage::kNone || id != current_.id) return true;  // of no request open here
  if (type == kParams && stage_ == Stage::kParams) return ParamsRecord(content);
  if (type == kStdin && stage_ == Stage::kBody) return StdinRecord(content);
  return true;
}

void RequestStream::Management(uint8_t type, std::string_view content) {
  if (type != kGetValues) {
    const char unknown[8] = {static_cast<char>(type)};
    AppendRecords(outgoing_, kUnknownType, 0, std::string_view(unknown, sizeof unknown));
    return;
  }
  std::string answer;
  ReadPairs(content, [&](std::string_view name, std::string_view) {
    auto value = kValues.find(name);
    if (value != kValues.end()) AppendPair(answer, name, value->second);
  });
  AppendRecords(outgoing_, kGetValuesResult, 0, answer);
}

bool RequestStream::Begin(uint16_t id, std::string_view content) {
  if (content.size() < 3) return Fail("a malformed request start");
  if (stage_ == Stage::kParams || stage_ == Stage::kBody || stage_ == Stage::kArriving) {
    if (id != (stage_ == Stage::kArriving ? tailId_ : current_.id)) {
      outgoing_ += EndRequest(id, 0, kCantMultiplex);
    }
    return true;
  }
  const auto role = static_cast<uint16_t>(Byte(content, 0) << 8 | Byte(content, 1));
  const bool keep = (Byte(content, 2) & kKeepConnection) != 0;
  if (role != kResponder) {
    outgoing_ += EndRequest(id, 0, kUnknownRole);
    closeAfterOutgoing_ = closeAfterOutgoing_ || !keep;
    return true;
  }
  stage_ = Stage::kParams;
  current_ = Request{};
  current_.id = id;
  current_.keep = keep;
  return true;
}

bool RequestStream::Abort(uint16_t id) {
  if (stage_ == Stage::kArriving && id == tailId_) {
    // Running already: its worker answers, and learns that the rest of its body will not come.
    arrival_.cut = true;
    LetArrivingGo();
    stage_ = Stage::kNone;
    return true;
  }
  std::string name;
  bool keep = true;
  if ((stage_ == Stage::kParams || stage_ == Stage::kBody) && id == current_.id) {
    name = current_.name.empty() ? "- -" : current_.name;
    keep = current_.keep;
    held_ -= current_.params.size() + current_.BodySize();
    current_ = Request{};
    stage_ = Stage::kNone;
  } else {
    // A complete request that has not run yet: the latest of that id.
    auto queued = std::find_if(ready_.rbegin(), ready_.rend(),
                               [id](const Request& request) { return request.id == id; });
    if (queued == ready_.rend()) return true;  // running or unknown: too late to matter
    name = queued->name;
    keep = queued->keep;
    held_ -= queued->params.size() + queued->BodySize();
    ready_.erase(std::next(queued).base());
  }
  notes_.push_back(name + ": aborted by the web server before it ran; not run");
  outgoing_ += EndRequest(id, 0, kRequestComplete);
  closeAfterOutgoing_ = closeAfterOutgoing_ || !keep;
  return true;
}

bool RequestStream::ParamsRecord(std::string_view content) {
  if (!content.empty()) {
    if (current_.params.size() + content.size() > kMaxParams) {
      notes_.push_back("refused a request whose parameters pass 1 MiB");
      outgoing_ += EndRequest(current_.id, 0, kOverloaded);
      closeAfterOutgoing_ = true;
      held_ -= current_.params.size();
      current_ = Request{};
      stage_ = Stage::kNone;
      return true;
    }
    current_.params.append(content);
    held_ += content.size();
    return true;
  }
  Params params;
  if (!DecodeParams(current_.params, &params)) return Fail("parameters are malformed");
  current_.name = RequestName(params);
  bodyWanted_ = bodyRule_ ? bodyRule_(params) : 0;
  stage_ = Stage::kBody;
  if (bodyStore_ && bodyWanted_ > 0) current_.bodyStore = bodyStore_(current_.params, bodyWanted_);
  // Never more than the request will read, however much the peer announces.
  if (!current_.bodyStore) current_.body.reserve(std::min(bodyWanted_, kMaxContent));
  if (bodyWanted_ == 0) Finish();
  return true;
}

bool RequestStream::StdinRecord(std::string_view content) {
  if (content.empty()) {
    current_.bodyEnded = true;
    Finish();
    return true;
  }
  const size_t take = std::min(content.size(), bodyWanted_ - current_.BodySize());
  if (current_.bodyStore) {
    if (!current_.bodyStore->Append(content.substr(0, take))) {
      return Fail(current_.name + ": its body could not be kept");
    }
    current_.storedBytes += take;
  } else {
    if (current_.body.size() + take > current_.body.capacity()) {
      // Never past the length the program reads.
      current_.body.reserve(BodyCapacity(bodyWanted_, current_.body.size() + take, kMaxContent));
    }
    current_.body.append(content.substr(0, take));
  }
  held_ += take;
  if (current_.BodySize() == bodyWanted_) Finish();
  return true;
}

bool RequestStream::ArrivingRecord(std::string_view content) {
  const size_t take = std::min(content.size(), bodyWanted_ - arrival_.bytes);
  if (take > 0 && !arrivingStore_->Append(content.substr(0, take))) {
    return Fail("a body could not be kept as it arrived");
  }
  arrival_.bytes += take;
  if (content.empty() || arrival_.bytes == bodyWanted_) {
    arrival_.whole = true;
    LetArrivingGo();
    if (content.empty()) stage_ = Stage::kNone;
  }
  return true;
}

bool RequestStream::CanTakeArriving(size_t least) const {
  return stage_ == Stage::kBody && current_.bodyStore && bodyWanted_ >= least && ready_.empty();
}

Request RequestStream::TakeArriving() {
  held_ -= current_.params.size() + current_.BodySize();
  tailId_ = current_.id;
  arrivingStore_ = current_.bodyStore;
  arrival_ = Arrival{current_.storedBytes};
  stage_ = Stage::kArriving;
  Request request = std::exchange(current_, Request{});
  request.arriving = true;
  return request;
}

void RequestStream::LetArrivingGo() {
  arrivingStore_.reset();
  if (stage_ == Stage::kArriving) stage_ = Stage::kBodyTail;
}

void RequestStream::Finish() {
  tailId_ = current_.id;
  stage_ = current_.bodyEnded ? Stage::kNone : Stage::kBodyTail;
  ready_.push_back(std::move(current_));
  current_ = Request{};
}

Request RequestStream::TakeRequest() {
  Request request = std::move(ready_.front());
  ready_.pop_front();
  held_ -= request.params.size() + request.BodySize();
  return request;
}

std::string RequestStream::TakeOutgoing() { return std::exchange(outgoing_, {}); }

std::vector<std::string> RequestStream::TakeNotes() { return std::exchange(notes_, {}); }

bool RequestStream::Partial() const { return !partialRecord_.empty() || stage_ != Stage::kNone; }

bool RequestStream::Fail(std::string why) {
  failure_ = std::move(why);
  return false;
}

}  // namespace orvo::fastcgi
