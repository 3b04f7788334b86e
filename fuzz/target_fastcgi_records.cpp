// The record stream of a FastCGI connection and the name-value decoder. The input is the bytes a
// web server sends; the first byte chooses where they are cut into reads. Properties: cutting
// never changes the requests or the answers (compared with the requests taken after the last
// read: one taken sooner may no longer be aborted, which is right); no request keeps more body
// than its rule allows;
// the bytes held are exactly those of what is still partial; a request taken while its body
// arrives gets exactly the bytes the stream says arrived, within its rule; a decoded parameter
// block encodes back to a block that decodes the same.
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "fastcgi/FastCgiProtocol.h"

namespace {

using orvo::fastcgi::Arrival;
using orvo::fastcgi::BodyStore;
using orvo::fastcgi::Params;
using orvo::fastcgi::Request;
using orvo::fastcgi::RequestStream;

constexpr size_t kLimit = 300;

size_t Rule(const Params& params) {
  auto found = params.find("CONTENT_LENGTH");
  if (found == params.end()) return 0;
  const long long length = std::atoll(found->second.c_str());
  return length > 0 && static_cast<size_t>(length) <= kLimit ? static_cast<size_t>(length) : 0;
}

struct Outcome {
  std::vector<std::string> requests;
  std::string outgoing;
  std::string failure;
  bool operator==(const Outcome&) const = default;
};

// Feeds `bytes` in reads of `step`, taking the complete requests after each read, or only after
// the last one when `takeAtEnd`.
Outcome Run(std::string_view bytes, size_t step, bool takeAtEnd) {
  RequestStream stream(Rule);
  Outcome outcome;
  for (size_t at = 0; at < bytes.size(); at += step) {
    stream.Feed(bytes.substr(at, step));
    const bool last = at + step >= bytes.size();
    while ((last || !takeAtEnd) && stream.HasRequest()) {
      Request request = stream.TakeRequest();
      Params params;
      FUZZ_REQUIRE(orvo::fastcgi::DecodeParams(request.params, &params));
      FUZZ_REQUIRE(request.body.size() <= Rule(params));
      outcome.requests.push_back(std::to_string(request.id) + request.params + "|" + request.body);
    }
  }
  outcome.outgoing = stream.TakeOutgoing();
  outcome.failure = stream.Failure();
  FUZZ_REQUIRE(stream.Partial() || stream.Held() == 0);
  return outcome;
}

struct StringStore : BodyStore {
  bool Append(std::string_view more) override {
    bytes.append(more);
    return true;
  }
  std::string bytes;
};

// Feeds `bytes` in reads of `step`, taking each request while its body arrives when it can, and
// letting it go once its body is whole or cut.
void RunTakingEarly(std::string_view bytes, size_t step) {
  RequestStream stream(Rule,
                       [](std::string_view, size_t) { return std::make_unique<StringStore>(); });
  std::optional<Request> arriving;
  for (size_t at = 0; at < bytes.size(); at += step) {
    stream.Feed(bytes.substr(at, step));
    while (stream.HasRequest()) stream.TakeRequest();
    if (!arriving && stream.CanTakeArriving(1)) arriving = stream.TakeArriving();
    if (!arriving) continue;
    const Arrival arrival = stream.Arrived();
    Params params;
    FUZZ_REQUIRE(orvo::fastcgi::DecodeParams(arriving->params, &params));
    FUZZ_REQUIRE(static_cast<const StringStore&>(*arriving->bodyStore).bytes.size() ==
                     arrival.bytes &&
                 arrival.bytes <= Rule(params));
    if (arrival.whole || arrival.cut) {
      stream.LetArrivingGo();
      arriving.reset();
    }
  }
  FUZZ_REQUIRE(stream.Partial() || stream.Held() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t step = 1 + data[0] % 37;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  FUZZ_REQUIRE(Run(bytes, step, true) == Run(bytes, bytes.size() + 1, true));
  Run(bytes, step, false);
  RunTakingEarly(bytes, step);

  Params decoded;
  if (orvo::fastcgi::DecodeParams(bytes, &decoded)) {
    std::string again;
    for (const auto& [name, value] : decoded) orvo::fastcgi::AppendPair(again, name, value);
    Params twice;
    FUZZ_REQUIRE(orvo::fastcgi::DecodeParams(again, &twice) && twice == decoded);
  }
  return 0;
}
