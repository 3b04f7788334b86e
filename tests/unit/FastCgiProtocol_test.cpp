// The record stream of one connection, fed as a web server sends it: whole, a byte at a time, and
// cut at every offset, each of which must give the same requests and the same answers.
#include "fastcgi/FastCgiProtocol.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace orvo::fastcgi {
namespace {

std::string Record(uint8_t type, uint16_t id, const std::string& content, uint8_t padding = 0) {
  auto header = RecordHeader(static_cast<RecordType>(type), id, content.size());
  header[6] = static_cast<char>(padding);
  return std::string(header.data(), header.size()) + content + std::string(padding, '\0');
}

std::string Begin(uint16_t id, uint16_t role = 1, bool keep = true) {
  return Record(kBeginRequest, id,
                std::string{static_cast<char>(role >> 8), static_cast<char>(role & 0xFF),
                            static_cast<char>(keep), 0, 0, 0, 0, 0});
}

// A whole request: start, parameters (PATH_INFO and CONTENT_LENGTH) and body, with `padding`.
std::string Whole(uint16_t id, const std::string& length, const std::string& body,
                  uint8_t padding = 0) {
  std::string pairs;
  AppendPair(pairs, "PATH_INFO", "/xmlverify");
  AppendPair(pairs, "REQUEST_METHOD", "POST");
  AppendPair(pairs, "CONTENT_LENGTH", length);
  std::string out = Begin(id) + Record(kParams, id, pairs, padding) + Record(kParams, id, "");
  if (!body.empty()) out += Record(kStdin, id, body, padding);
  return out + Record(kStdin, id, "");
}

// The declared length, decimal only, within 1,000 bytes (the tests' body limit).
size_t Rule(const Params& params) {
  auto found = params.find("CONTENT_LENGTH");
  if (found == params.end()) return 0;
  const long long length = std::atoll(found->second.c_str());
  return length > 0 && length <= 1000 ? static_cast<size_t>(length) : 0;
}

struct Outcome {
  std::vector<std::string> bodies = {};  // of the requests, in order
  std::string outgoing = "";
  std::string failure = "";
  bool partial = false;
  size_t held = 0;
  bool operator==(const Outcome&) const = default;
};

// Keeps a body in a string, as the pool's store keeps it in a memory file; or refuses it.
struct StringStore : BodyStore {
  explicit StringStore(bool takes) : takes(takes) {}
  bool Append(std::string_view more) override {
    bytes.append(more);
    return takes;
  }
  bool takes;
  std::string bytes;
};

BodyStoreMaker Stores(bool take) {
  return [take](std::string_view, size_t) { return std::make_unique<StringStore>(take); };
}

std::string BodyOf(const Request& request) {
  if (!request.bodyStore) return request.body;
  EXPECT_EQ(request.body, "");
  return static_cast<const StringStore&>(*request.bodyStore).bytes.substr(0, request.storedBytes);
}

Outcome Feed(const std::string& bytes, const std::vector<size_t>& cuts,
             BodyStoreMaker stores = {}) {
  RequestStream stream(Rule, std::move(stores));
  Outcome outcome;
  size_t at = 0;
  for (size_t cut : cuts) {
    stream.Feed(std::string_view(bytes).substr(at, cut - at));
    at = cut;
  }
  stream.Feed(std::string_view(bytes).substr(at));
  while (stream.HasRequest()) outcome.bodies.push_back(BodyOf(stream.TakeRequest()));
  outcome.outgoing = stream.TakeOutgoing();
  outcome.failure = stream.Failure();
  outcome.partial = stream.Partial();
  outcome.held = stream.Held();
  return outcome;
}

// A parameter block in records of the largest size, then the empty one.
std::string ParamRecords(const std::string& block) {
  std::string out;
  for (size_t at = 0; at < block.size(); at += kMaxContent) {
    out += Record(kParams, 1, block.substr(at, kMaxContent));
  }
  return out + Record(kParams, 1, "");
}

std::string Ends(uint16_t id, ProtocolStatus status) { return EndRequest(id, 0, status); }

TEST(FastCgiProtocolTest, StreamsGiveTheSameRequestsHoweverTheyAreCut) {
  std::string values;
  AppendPair(values, "FCGI_MAX_CONNS", "");
  AppendPair(values, "FCGI_UNKNOWN", "");
  std::string answer;
  AppendPair(answer, "FCGI_MAX_CONNS", "1");
  std::string overParams;
  AppendPair(overParams, "HTTP_X", std::string(kMaxParams, 'p'));
  struct Case {
    const char* name;
    std::string sent;
    Outcome expected;
  };
  const Case cases[] = {
      {"one request", Whole(1, "3", "abc"), {{"abc"}}},
      {"two in one write, served in order",
       Whole(1, "3", "abc") + Whole(1, "2", "de"),
       {{"abc", "de"}}},
      {"padding", Whole(1, "3", "abc", 255) + Whole(2, "1", "x", 7), {{"abc", "x"}}},
      {"bytes past the declared length are not kept", Whole(1, "2", "abcdef"), {{"ab"}}},
      {"a length over the limit reads nothing", Whole(1, "5000000000", "abc"), {{""}}},
      {"a body cut short", Whole(1, "9", "abc"), {{"abc"}}},
      {"complete once the declared bytes are in",
       Whole(1, "3", "abc").substr(0, 101),
       {{"abc"}, "", "", true, 0}},
      {"aborted before it ran",
       Whole(1, "3", "abc") + Record(kAbortRequest, 1, ""),
       {{}, Ends(1, kRequestComplete)}},
      {"aborted while it arrives",
       Begin(1) + Record(kAbortRequest, 1, "") + Whole(1, "1", "z"),
       {{"z"}, Ends(1, kRequestComplete)}},
      {"questions about the worker",
       Record(kGetValues, 0, values) + Record(42, 0, "") + Whole(1, "1", "a"),
       {{"a"},
        Record(kGetValuesResult, 0, answer) + Record(kUnknownType, 0, {42, 0, 0, 0, 0, 0, 0, 0})}},
      {"other roles", Begin(1, 2) + Whole(2, "1", "a"), {{"a"}, Ends(1, kUnknownRole)}},
      {"no multiplexing",
       Begin(1) + Begin(2) + Whole(1, "1", "a"),
       {{"a"}, Ends(2, kCantMultiplex)}},
      {"parameters over 1 MiB",
       Begin(1) + ParamRecords(overParams) + Whole(2, "1", "a"),
       {{"a"}, Ends(1, kOverloaded)}},
      {"an unknown version",
       "\2" + Whole(1, "1", "a").substr(1),
       {{}, "", "a record of an unknown protocol version"}},
      {"malformed parameters",
       Begin(1) + Record(kParams, 1, std::string("\5\0ab", 4)) + Record(kParams, 1, ""),
       {{}, "", "parameters are malformed", true, 4}},
  };
  for (const Case& sent : cases) {
    SCOPED_TRACE(sent.name);
    Outcome whole = Feed(sent.sent, {});
    EXPECT_EQ(Feed(sent.sent, {}, Stores(true)), whole) << "with a store";
    EXPECT_EQ(whole.bodies, sent.expected.bodies);
    EXPECT_EQ(whole.outgoing, sent.expected.outgoing);
    EXPECT_EQ(whole.failure, sent.expected.failure);
    // Cut once at every offset of the first records, then a byte at a time.
    const size_t size = sent.sent.size();
    for (size_t at = 1; at < size; at += at < 600 ? 1 : size / 40) {
      EXPECT_EQ(Feed(sent.sent, {at}), whole) << "cut at " << at;
    }
    std::vector<size_t> everyByte;
    for (size_t at = 1; at < size && size < 4096; ++at) everyByte.push_back(at);
    EXPECT_EQ(Feed(sent.sent, everyByte), whole);
  }
}

TEST(FastCgiProtocolTest, ABodyTheStoreCannotKeepBreaksTheStream) {
  const Outcome outcome = Feed(Whole(1, "3", "abc"), {}, Stores(false));
  EXPECT_EQ(outcome.failure, "POST /xmlverify: its body could not be kept");
  EXPECT_TRUE(outcome.bodies.empty());
}

// A request taken while its body arrives, wherever the bytes are cut when it is taken, ends with
// the body it would have had whole; what follows it on the connection is served as before.
TEST(FastCgiProtocolTest, ARequestTakenWhileItsBodyArrivesEndsWithTheSameBody) {
  const std::string unended = Whole(1, "9", "ab").substr(0, Whole(1, "9", "ab").size() - 8);
  struct Case {
    const char* name;
    std::string sent;
    std::string body;
    bool cut;
    std::string outgoing;
  };
  const std::string next = Whole(1, "1", "z");  // the request after it on the connection
  const Case cases[] = {
      {"whole at its length, the rest dropped", Whole(1, "3", "abcdef"), "abc", false, ""},
      {"ended short", Whole(1, "9", "abc"), "abc", false, ""},
      {"aborted", unended + Record(kAbortRequest, 1, ""), "ab", true, ""},
      {"no multiplexing meanwhile",
       unended + Begin(2) + Record(kStdin, 1, "c") + Record(kStdin, 1, ""), "abc", false,
       Ends(2, kCantMultiplex)},
  };
  for (const Case& sent : cases) {
    SCOPED_TRACE(sent.name);
    int taken = 0;
    const std::string bytes = sent.sent + next;
    for (size_t at = 1; at < sent.sent.size(); ++at) {
      RequestStream stream(Rule, Stores(true));
      stream.Feed(std::string_view(bytes).substr(0, at));
      if (!stream.CanTakeArriving(1)) continue;
      ++taken;
      const Request request = stream.TakeArriving();
      stream.Feed(std::string_view(bytes).substr(at));
      const Arrival arrival = stream.Arrived();
      EXPECT_EQ(static_cast<const StringStore&>(*request.bodyStore).bytes, sent.body) << at;
      EXPECT_EQ(arrival.bytes, sent.body.size());
      EXPECT_EQ(arrival.whole, !sent.cut);
      EXPECT_EQ(arrival.cut, sent.cut);
      std::vector<std::string> after;
      while (stream.HasRequest()) after.push_back(BodyOf(stream.TakeRequest()));
      EXPECT_EQ(after, std::vector<std::string>{"z"}) << at;
      EXPECT_EQ(stream.TakeOutgoing(), sent.outgoing) << at;
      EXPECT_FALSE(stream.Partial());
    }
    EXPECT_GT(taken, 8);
  }
}

TEST(FastCgiProtocolTest, PairsOfEveryLengthFormRoundTrip) {
  const std::pair<std::string, std::string> pairs[] = {
      {"", ""}, {"A", std::string(127, 'v')}, {std::string(128, 'n'), std::string(70000, 'w')}};
  std::string block;
  for (const auto& [name, value] : pairs) AppendPair(block, name, value);
  Params decoded;
  ASSERT_TRUE(DecodeParams(block, &decoded));
  for (const auto& [name, value] : pairs) EXPECT_EQ(decoded[name], value);
  for (size_t cut = 1; cut < 140; ++cut) {
    Params partial;
    EXPECT_FALSE(DecodeParams(std::string_view(block).substr(0, block.size() - cut), &partial));
  }
}

}  // namespace
}  // namespace orvo::fastcgi
