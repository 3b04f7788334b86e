#include "web/CGIHTTP.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "FakeCgiHost.h"
#include "common/SysUtils.h"
#include "web/HTTPText.h"

namespace orvo {
namespace {

// Bytes in memory that report their own destruction.
class BytesStream : public TStream {
 public:
  explicit BytesStream(std::string bytes, bool* destroyed = nullptr)
      : bytes_(std::move(bytes)), destroyed_(destroyed) {}
  ~BytesStream() override {
    if (destroyed_ != nullptr) *destroyed_ = true;
  }
  int32_t Read(void* buffer, int32_t count) override {
    auto n = static_cast<int32_t>(std::min<int64_t>(count, Size() - position_));
    bytes_.copy(static_cast<char*>(buffer), static_cast<size_t>(n), static_cast<size_t>(position_));
    position_ += n;
    return n;
  }
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t offset, SeekOrigin origin) override {
    int64_t base = origin == SeekOrigin::kBegin ? 0
                   : origin == SeekOrigin::kEnd ? Size()
                                                : position_;
    position_ = std::clamp<int64_t>(base + offset, 0, Size());
    return position_;
  }
  int64_t Size() override { return static_cast<int64_t>(bytes_.size()); }

 private:
  std::string bytes_;
  bool* destroyed_;
  int64_t position_ = 0;
};

class CGIRequestTest : public ::testing::Test {
 protected:
  test::FakeCgiHost host;
};

TEST_F(CGIRequestTest, ValuesFallBackToTheSecondName) {
  host.environment = {{"HTTP_REQUEST_METHOD", "post"}, {"PATH_INFO", ""},
                      {"HTTP_PATH_INFO", "/second"},   {"CONTENT_LENGTH", "5"},
                      {"HTTP_CONTENT_LENGTH", "3"},    {"SERVER_PROTOCOL", "HTTP/1.0"}};
  host.input = "abcdef";
  TCGIRequest request;
  EXPECT_EQ(request.Method(), "post");
  EXPECT_EQ(request.MethodType(), mtPost);
  EXPECT_EQ(request.PathInfo(), "/second");
  EXPECT_EQ(request.ContentLength(), 3);  // HTTP_CONTENT_LENGTH comes first
  EXPECT_EQ(request.Content(), "abc");
  EXPECT_EQ(request.StringVariable(TWebRequest::kContent), "abc");
  EXPECT_EQ(request.ProtocolVersion(), "HTTP/1.0");
  // Read each time, not stored.
  host.environment["HTTP_PATH_INFO"] = "/changed";
  EXPECT_EQ(request.PathInfo(), "/changed");
}

TEST_F(CGIRequestTest, MethodCodes) {
  const struct {
    const char* method;
    TMethodType code;
  } cases[] = {{"GET", mtGet},   {"Put", mtPut},    {"post", mtPost},
               {"HEAD", mtHead}, {"DELETE", mtAny}, {"", mtAny}};
  for (const auto& c : cases) {
    host.environment["REQUEST_METHOD"] = c.method;
    EXPECT_EQ(TCGIRequest().MethodType(), c.code) << c.method;
  }
}

TEST_F(CGIRequestTest, BodyFollowsContentLengthAndInput) {
  const struct {
    const char* length;  // nullptr: not set
    std::string input;
    std::string body;
  } cases[] = {
      {"4", "0123456789", "0123"}, {"10", "0123", "0123"}, {nullptr, "0123", ""}, {"", "0123", ""},
      {"4x", "0123", ""},          {"$3", "0123", "012"},  {"-5", "0123", ""},    {"0", "0123", ""},
  };
  for (const auto& c : cases) {
    test::FakeCgiHost local;
    local.readSize = 3;  // the body arrives in pieces
    if (c.length != nullptr) local.environment["CONTENT_LENGTH"] = c.length;
    local.input = c.input;
    TCGIRequest request;
    EXPECT_EQ(request.Content(), c.body) << (c.length ? c.length : "unset");
    if (request.ContentLength() <= 0) {
      EXPECT_EQ(local.Consumed(), 0u);
    }
  }
}

TEST_F(CGIRequestTest, MemoryFollowsTheBytesReceived) {
  host.environment["CONTENT_LENGTH"] = "2000000000";
  host.input = "a=1&b=%zz&c=3";  // stands for a client that sends little and hangs up
  TCGIRequest request;
  EXPECT_EQ(request.Content(), host.input);
  EXPECT_LT(request.Content().capacity(), 1u << 20);
  // The fields do not reserve the declared length either.
  EXPECT_THROW(request.ContentFields(), EConvertError);
}

TEST_F(CGIRequestTest, LargeBodyArrivesWhole) {
  std::string body(3 * 1000 * 1000 + 7, 'x');
  host.environment["CONTENT_LENGTH"] = std::to_string(body.size());
  host.input = body;
  host.readSize = 100000;
  EXPECT_EQ(TCGIRequest().Content(), body);
}

TEST_F(CGIRequestTest, LargeBodyIsDecodedInItsOwnStorage) {
  const std::string batch(3 * 1000 * 1000, 'x');
  const std::string body = "loja=V&xmldata=" + batch + "%0D%0A+";
  host.environment["CONTENT_LENGTH"] = std::to_string(body.size());
  host.input = body;
  TCGIRequest request;
  EXPECT_EQ(request.ContentFields().Values("loja"), "V");
  EXPECT_EQ(request.ContentFields().TakeValue("xmldata"), batch + "\r\n ");
  EXPECT_EQ(request.Content(), "");
}

TEST_F(CGIRequestTest, ContentFieldsKeepTheFieldsBeforeADecodingFailure) {
  host.environment["CONTENT_LENGTH"] = "20";
  host.input = "a=1&B=2&c=%4&d=4&e=5";
  TCGIRequest request;
  try {
    request.ContentFields();
    ADD_FAILURE() << "decoded";
  } catch (const EWebException& e) {
    EXPECT_EQ(e.Message(), "Error decoding URL style (%XX) encoded string at position 3");
  }
  TStrings& fields = request.ContentFields();  // no failure the second time
  EXPECT_EQ(fields.Text(), "a=1\r\nB=2\r\n");
  EXPECT_EQ(fields.Values("b"), "2");
  EXPECT_EQ(&request.ContentFields(), &fields);
}

TEST_F(CGIRequestTest, ContentFieldsReadWhatTheConstructorDidNotGet) {
  host.environment["CONTENT_LENGTH"] = "7";
  host.input = "a=1&b=2";
  TCGIRequest request;
  EXPECT_EQ(request.ContentFields().Text(), "a=1\r\nb=2\r\n");

  test::FakeCgiHost empty;  // GET with a query string: no fields
  empty.environment = {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "a=1"}};
  TCGIRequest get;
  EXPECT_EQ(get.ContentFields().Count(), 0);
  EXPECT_EQ(get.ContentFields().Values("a"), "");
}

class CGIResponseTest : public ::testing::Test {
 protected:
  explicit CGIResponseTest() { host.environment["SERVER_PROTOCOL"] = "HTTP/1.1"; }
  std::unique_ptr<TCGIResponse> Make() {
    request = std::make_unique<TCGIRequest>();
    return std::make_unique<TCGIResponse>(*request);
  }

  test::FakeCgiHost host;
  std::unique_ptr<TCGIRequest> request;
};

TEST_F(CGIResponseTest, HeadAndBodyForEachKindOfContent) {
  auto response = Make();
  response->SetContent("N\xE3o");
  response->SendResponse();
  EXPECT_EQ(host.writes, (std::vector<std::string>{
                             "Status: 200 OK\r\nContent-Type: text/html\r\nContent-Length: 3\r\n"
                             "Content:\r\n\r\n",
                             "N\xE3o"}));
  EXPECT_TRUE(response->Sent());

  host.writes.clear();
  response = Make();
  response->SendResponse();
  EXPECT_EQ(
      host.writes,
      (std::vector<std::string>{"Status: 200 OK\r\nContent-Type: text/html\r\nContent:\r\n\r\n"}));

  host.writes.clear();
  response = Make();
  response->SetContentType("");
  response->SetStatusCode(404);
  response->SetContent("%s\r\n");
  response->SendResponse();
  EXPECT_EQ(host.Output(), "Status: 404 Not Found\r\nContent-Length: 4\r\nContent:\r\n\r\n%s\r\n");
}

TEST_F(CGIResponseTest, BodyAloneWithoutProtocolVersion) {
  host.environment.erase("SERVER_PROTOCOL");
  host.environment["HTTP_SERVER_PROTOCOL"] = "";
  auto response = Make();
  EXPECT_EQ(response->Version(), "1.0");
  response->SetContent("Erro");
  response->SendResponse();
  EXPECT_EQ(host.writes, std::vector<std::string>{"Erro"});
  EXPECT_TRUE(response->Sent());
}

TEST_F(CGIResponseTest, StatusCodeSetsTheReasonText) {
  auto response = Make();
  response->SetStatusCode(500);
  response->SetStatusCode(500);
  EXPECT_EQ(response->ReasonString(), "Internal Server Error");
  response->SetReasonString("Custom");
  response->SetStatusCode(500);  // the same code changes nothing
  EXPECT_EQ(response->ReasonString(), "Custom");
  response->SetStatusCode(299);
  EXPECT_EQ(response->ReasonString(), "");
  response->SendResponse();
  EXPECT_EQ(host.Output().substr(0, 16), "Status: 200 OK\r\n");
  EXPECT_EQ(response->StatusCode(), 299);

  host.writes.clear();
  response = Make();
  response->SetStatusCode(-1);
  response->SetReasonString("Odd");
  response->SendResponse();
  EXPECT_EQ(host.Output().substr(0, 16), "Status: 200 OK\r\n");
}

TEST(StatusTextTest, KnownAndUnknownCodes) {
  EXPECT_EQ(StatusText(412), "Unless True");
  EXPECT_EQ(StatusText(406), "None Acceptable");
  EXPECT_EQ(StatusText(302), "Moved Temporarily");
  EXPECT_EQ(StatusText(418), "");
}

TEST_F(CGIResponseTest, SendStreamWritesChunksOfAtMost8192FromThePosition) {
  auto response = Make();
  std::string bytes(20000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i % 251);
  BytesStream stream(bytes);
  response->SendStream(stream);
  ASSERT_EQ(host.writes.size(), 3u);
  EXPECT_EQ(host.writes[0].size(), 8192u);
  EXPECT_EQ(host.writes[1].size(), 8192u);
  EXPECT_EQ(host.writes[2].size(), 3616u);
  EXPECT_EQ(host.Output(), bytes);
  EXPECT_FALSE(response->Sent());

  host.writes.clear();
  stream.SetPosition(19990);
  response->SendStream(stream);
  EXPECT_EQ(host.Output(), bytes.substr(19990));

  host.writes.clear();
  BytesStream empty("");
  response->SendStream(empty);
  EXPECT_TRUE(host.writes.empty());
}

// Claims 10 bytes and delivers none, as a file whose read fails.
class FailingStream : public TStream {
 public:
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t, SeekOrigin origin) override { return origin == SeekOrigin::kEnd ? 10 : 0; }
};

TEST_F(CGIResponseTest, AStreamWhoseReadFailsEndsTheAnswerWithEReadError) {
  auto response = Make();
  response->SetContentStream(std::make_unique<FailingStream>());
  EXPECT_THROW(response->SendResponse(), EReadError);
  EXPECT_TRUE(response->Sent());  // the head is out: no error page may follow it
}

TEST_F(CGIResponseTest, ContentStreamIsSentWithItsLengthAndThenDestroyed) {
  auto response = Make();
  response->SetContent("ab");
  bool destroyed = false;
  response->SetContentStream(std::make_unique<BytesStream>("12345", &destroyed));
  EXPECT_EQ(response->ContentLength(), 5);
  response->SetContent("abc");  // a stream keeps its length
  EXPECT_EQ(response->ContentLength(), 5);
  response->SendResponse();
  EXPECT_EQ(host.Output(),
            "Status: 200 OK\r\nContent-Type: text/html\r\nContent-Length: 5\r\nContent:\r\n\r\n"
            "12345");
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(response->ContentStream(), nullptr);
  EXPECT_EQ(response->ContentLength(), 3);
}

TEST_F(CGIResponseTest, ReplacingTheContentStreamDestroysTheOldOne) {
  auto response = Make();
  bool first = false, second = false;
  response->SetContentStream(std::make_unique<BytesStream>("1", &first));
  response->SetContentStream(std::make_unique<BytesStream>("22", &second));
  EXPECT_TRUE(first);
  EXPECT_EQ(response->ContentLength(), 2);
  response.reset();
  EXPECT_TRUE(second);
}

}  // namespace
}  // namespace orvo
