#include "web/RequestBody.h"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <span>
#include <utility>

#include "common/SysUtils.h"
#include "common/SysUtilsText.h"
#include "fastcgi/FastCgiProtocol.h"
#include "host/Host.h"
#include "host/LargeBuffer.h"
#include "web/FormFields.h"

namespace orvo {
namespace {

constexpr size_t kReadChunk = 64 * 1024;
// A body this small (most requests) is read through a buffer on the stack, a larger one through
// a chunk from the heap: a large buffer on the stack would push every call below it onto fresh
// pages, each a fault.
constexpr size_t kSmallRead = 2048;
// A body this large (a batch) is decoded in its own storage rather than copied beside it.
constexpr size_t kDecodeInPlace = 64 * 1024;
// A buffer this large gains from huge pages (2 MiB each): it holds at least one whole.
constexpr size_t kLargeBuffer = 4 << 20;

// Makes `body` a buffer of `capacity` bytes with the same bytes. A large one is offered huge
// pages before anything is written to it, the bytes it takes over included.
void Grow(std::string& body, size_t capacity) {
  std::string larger;
  larger.reserve(capacity);
  if (larger.capacity() >= kLargeBuffer) {
    AdviseLargeBuffer(larger.data(), larger.capacity());
  }
  larger.append(body);
  body.swap(larger);
}

// Appends up to `count` bytes of standard input to `body`.
void ReadInto(std::string& body, size_t count) {
  const size_t wanted = body.size() + count;
  try {
    std::array<char, kSmallRead> small;
    std::unique_ptr<char[]> large;
    std::span<char> buffer(small);
    if (count > small.size()) {
      large = std::make_unique_for_overwrite<char[]>(kReadChunk);
      buffer = {large.get(), kReadChunk};
    }
    while (body.size() < wanted) {
      size_t chunk = std::min(wanted - body.size(), buffer.size());
      int64_t got = Host::Default().ReadStdin(buffer.data(), chunk);
      if (got <= 0) break;
      const auto received = static_cast<size_t>(got);
      // Appending (rather than resizing and reading in place) leaves the unused part untouched.
      if (body.size() + received > body.capacity()) {
        Grow(body, fastcgi::BodyCapacity(wanted, body.size() + received, kReadChunk));
      }
      body.append(buffer.data(), received);
    }
  } catch (const std::bad_alloc&) {
    throw EOutOfMemory("Out of memory");
  }
}

constexpr int64_t kDefaultMaxBody = 2147483647;

}  // namespace

int32_t DeclaredBodyLength(const std::function<std::string(const std::string& name)>& variable) {
  std::string text = variable("HTTP_CONTENT_LENGTH");
  if (text.empty()) text = variable("CONTENT_LENGTH");
  return StrToIntDefault(text, -1);
}

int64_t MaxBodySetting(Host& host) {
  const std::optional<uint64_t> bytes =
      DigitsValue(host.GetEnvironment("ORVO_MAX_BODY").value_or(""), 18);
  return bytes ? static_cast<int64_t>(*bytes) : kDefaultMaxBody;
}

int64_t BodyBytesToRead(int32_t declared, int64_t maxBody) {
  return declared > 0 && declared <= maxBody ? declared : 0;
}

TRequestBody::TRequestBody(int32_t declared, int64_t maxBody) : declared_(declared) {
  if (declared > maxBody) {
    throw EWebException("Request body of " + IntToStr(declared) + " bytes refused: over " +
                        IntToStr(maxBody) + " bytes (ORVO_MAX_BODY)");
  }
  toRead_ = BodyBytesToRead(declared, maxBody);
  read_ = toRead_ == 0;
}

void TRequestBody::ReadRest() {
  if (read_) return;
  read_ = true;
  const auto wanted = static_cast<size_t>(toRead_ - received_);
  // A worker's request holds its body already: it is handed over whole, not copied.
  if (received_ == 0 && Host::Default().TakeStdin(&content_)) {
    if (content_.size() > wanted) content_.resize(wanted);
  } else {
    ReadInto(content_, wanted);
  }
  received_ = static_cast<int64_t>(content_.size());
}

const std::string& TRequestBody::Content() {
  ReadRest();
  return content_;
}

size_t TRequestBody::ReadSome(char* buffer, size_t count) {
  count = std::min(count, static_cast<size_t>(toRead_ - received_));
  const int64_t got = count > 0 && !read_ ? Host::Default().ReadStdin(buffer, count) : 0;
  if (got <= 0) {
    read_ = true;
    return 0;
  }
  received_ += got;
  return static_cast<size_t>(got);
}

void TRequestBody::GiveBack(std::string bytes) {
  // The rest, if any, is read after these bytes.
  content_ = std::move(bytes);
}

std::string TRequestBody::CutShortText() {
  ReadRest();
  if (declared_ <= received_) return "";
  return "Incomplete request body: " + IntToStr(received_) + " of " + IntToStr(declared_) +
         " bytes received";
}

void TRequestBody::RequireWhole() {
  const std::string cutShort = CutShortText();
  if (!cutShort.empty()) throw EWebException(cutShort);
}

void TRequestBody::DecodeFields(TStrings& fields) {
  if (declared_ <= 0) return;
  ReadRest();
  if (content_.size() < kDecodeInPlace) {
    ExtractFields(std::string_view(content_), fields);
    return;
  }
  std::string body = std::move(content_);
  content_.clear();
  ExtractFields(std::move(body), fields);
}

}  // namespace orvo
