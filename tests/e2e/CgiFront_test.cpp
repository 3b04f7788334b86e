// The CGI front end to end: the probe program started with a prepared environment and body,
// its standard output compared byte for byte. The probe logs each write as "write <n>".
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace orvo {
namespace {

using Env = std::map<std::string, std::string>;

test::ProgramResult Probe(Env environment, const std::string& body = "") {
  if (!body.empty()) environment.emplace("CONTENT_LENGTH", std::to_string(body.size()));
  return test::RunProgram(ORVO_CGIPROBE, environment, body);
}

Env Request(const std::string& path) {
  return {{"REQUEST_METHOD", "POST"}, {"SERVER_PROTOCOL", "HTTP/1.1"}, {"PATH_INFO", path}};
}

std::string Writes(const test::ProgramResult& result) {
  std::string log;
  size_t start = 0;
  while ((start = result.err.find("write ", start)) != std::string::npos) {
    size_t end = result.err.find('\n', start);
    log += result.err.substr(start + 6, end - start - 6) + " ";
    start = end;
  }
  return log;
}

// The operator's log: standard error without the probe's own lines.
std::string LogLines(const test::ProgramResult& result) {
  std::string log;
  size_t start = 0;
  while (start < result.err.size()) {
    size_t end = result.err.find('\n', start);
    end = end == std::string::npos ? result.err.size() : end + 1;
    if (result.err.compare(start, 6, "write ") != 0) log += result.err.substr(start, end - start);
    start = end;
  }
  return log;
}

// Whether the log is the one line for a failure ending in `tail` (the Windows program: none).
bool LoggedOnce(const test::ProgramResult& result, const std::string& tail) {
  return test::IsFailureStderr(LogLines(result), tail);
}

std::string Head200(const std::string& extra = "") {
  return "Status: 200 OK\r\nContent-Type: text/html\r\n" + extra + "Content:\r\n\r\n";
}

std::string ApplicationErrorPage(const std::string& message, const std::string& path) {
  std::string page = "<html><body><h1>Internal Application Error</h1>\r\n<p>" + message +
                     "\r\n<p><hr width=\"100%\"><i>" + path + "</i></body></html>";
  return "Status: 500 Internal Server Error\r\nContent-Type: text/html\r\nContent-Length: " +
         std::to_string(page.size()) + "\r\nContent:\r\n\r\n" + page;
}

// The last-resort page (no dispatch to answer for), its message shown as `shown`.
std::string ServerErrorPage(const std::string& className, const std::string& message,
                            const std::string& shown) {
  const std::string body =
      "<html><title>Internal Server Error 500</title>\r\n"
      "<h1>Internal Server Error 500</h1><hr>\r\n"
      "Exception: " +
      className + "<br>\r\nMessage: " + shown + "<br></html>\r\n";
  return "Status: 500 " + message +
         "\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

TEST(CgiFrontTest, ContentIsSentWithItsLength) {
  auto result = Probe(Request("/content"), "text=N%E3o");
  EXPECT_EQ(result.out, Head200("Content-Length: 3\r\n") + "N\xE3o");
  EXPECT_EQ(Writes(result), std::to_string(result.out.size() - 3) + " 3 ");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(LogLines(result), "");  // a request answered normally logs nothing

  // Letter case of the path does not matter; the method does not either for this entry.
  auto upper = Probe(
      {{"REQUEST_METHOD", "DELETE"}, {"SERVER_PROTOCOL", "HTTP/1.0"}, {"PATH_INFO", "/CONTENT"}});
  EXPECT_EQ(upper.out, Head200("Content-Length: 4\r\n") + "Erro");
}

TEST(CgiFrontTest, NoContentMeansNoContentLength) {
  auto result = Probe(Request("/nothing"));
  EXPECT_EQ(result.out, Head200());
  EXPECT_EQ(Writes(result), std::to_string(Head200().size()) + " ");
  EXPECT_EQ(result.status, 0);
}

TEST(CgiFrontTest, WithoutProtocolVersionOnlyTheBodyIsWritten) {
  Env env = {{"PATH_INFO", "/content"}};
  EXPECT_EQ(Probe(env).out, "Erro");
  env["HTTP_SERVER_PROTOCOL"] = "HTTP/1.1";  // the second name counts
  EXPECT_EQ(Probe(env).out, Head200("Content-Length: 4\r\n") + "Erro");
}

TEST(CgiFrontTest, UnmatchedPathWritesNothing) {
  for (const char* path : {"/zzz", "/content/", "content", "", "/nothandled"}) {
    auto result = Probe(Request(path));
    EXPECT_EQ(result.out, "") << path;
    EXPECT_EQ(Writes(result), "") << path;
    EXPECT_EQ(result.status, 0) << path;
  }
  auto unset = Probe({{"SERVER_PROTOCOL", "HTTP/1.1"}});  // no PATH_INFO at all
  EXPECT_EQ(unset.out, "");
}

TEST(CgiFrontTest, HandlerFailureGivesExactlyOne500Answer) {
  // The handler sets "Erro" and then raises with the message of the body.
  auto result = Probe(Request("/raise"), "message=100%25+%25d+%3Cb%3E%26amp%3B%0D%0Anext");
  // Shown as text: the markup characters are escaped, nothing else changes.
  const std::string message = "100% %d &lt;b&gt;&amp;amp;\r\nnext";
  EXPECT_EQ(result.out, ApplicationErrorPage(message, "/raise"));
  size_t head = result.out.find("\r\n\r\n") + 4;
  EXPECT_EQ(Writes(result),
            std::to_string(head) + " " + std::to_string(result.out.size() - head) + " ");
  EXPECT_EQ(result.status, 0);
  // The log has the message as it is, its control characters written out.
  EXPECT_TRUE(LoggedOnce(result, " POST /raise EConvertError: 100% %d <b>&amp;\\x0D\\x0Anext\n"))
      << result.err;
}

TEST(CgiFrontTest, FailuresInsideTheDispatchAreAnsweredByThePage) {
  auto result = Probe(Request("/content"), "text=%zz");
  EXPECT_EQ(result.out,
            ApplicationErrorPage("Invalid URL encoded character (%zz) at position 6", "/content"));
  auto nomem = Probe(Request("/nomem"));
  EXPECT_EQ(nomem.out, ApplicationErrorPage("Out of memory", "/nomem"));
  EXPECT_TRUE(LoggedOnce(nomem, " POST /nomem EOutOfMemory: Out of memory\n")) << nomem.err;
}

TEST(CgiFrontTest, FailureAfterSendingAddsNothing) {
  auto result = Probe(Request("/sentraise"));
  EXPECT_EQ(result.out, Head200("Content-Length: 7\r\n") + "partial");
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(LoggedOnce(result, " POST /sentraise Exception: after send\n")) << result.err;
}

TEST(CgiFrontTest, ModuleCreationFailureGivesTheServerErrorPage) {
  Env env = Request("/content");
  env["PROBE_FAIL_CREATE"] = "Cannot open 100% %s <x>&\r\nnow";
  auto result = Probe(env);
  const std::string page = ServerErrorPage("EFOpenError", "Cannot open 100% %s <x>&\r\nnow",
                                           "Cannot open 100% %s &lt;x&gt;&amp;\r\nnow");
  EXPECT_EQ(result.out, page);
  const size_t head = page.find("\r\n\r\n") + 4;
  EXPECT_EQ(Writes(result), std::to_string(head) + " " + std::to_string(page.size() - head) + " ");
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(
      LoggedOnce(result, " POST /content EFOpenError: Cannot open 100% %s <x>&\\x0D\\x0Anow\n"))
      << result.err;
}

TEST(CgiFrontTest, StreamIsWrittenInChunksOf8192) {
  auto result = Probe(Request("/stream"));
  const std::string head =
      "Status: 200 OK\r\nContent-Type: application/octet-stream\r\nContent:\r\n\r\n";
  std::string bytes(20000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i % 251);
  EXPECT_EQ(result.out, head + bytes);
  EXPECT_EQ(Writes(result), std::to_string(head.size()) + " 8192 8192 3616 ");
}

TEST(CgiFrontTest, ContentStreamCarriesItsLength) {
  auto result = Probe(Request("/contentstream"));
  const std::string head = Head200("Content-Length: 10000\r\n");
  ASSERT_EQ(result.out.size(), head.size() + 10000);
  EXPECT_EQ(result.out.substr(0, head.size()), head);
  EXPECT_EQ(Writes(result), std::to_string(head.size()) + " 8192 1808 ");
}

TEST(CgiFrontTest, MasksAndTheDefaultEntry) {
  EXPECT_EQ(Probe(Request("/files/a/b.XmL")).out,
            Head200("Content-Length: 19\r\n") + "wild:/files/a/b.XmL");

  Env env = Request("/zzz");
  env["PROBE_DEFAULT"] = "1";  // the disabled default entry answers what nothing else took
  EXPECT_EQ(Probe(env).out, Head200("Content-Length: 12\r\n") + "default:/zzz");

  // Only HEAD requests reach the entry whose mask does not compile; the page shows the path
  // as text.
  Env head = Request("/<script>&");
  head["REQUEST_METHOD"] = "HEAD";
  EXPECT_EQ(Probe(head).out,
            ApplicationErrorPage("'/bad[' is an invalid mask at (6)", "/&lt;script&gt;&amp;"));
}

TEST(CgiFrontTest, BodyFieldsAreDecodedInOrder) {
  auto result = Probe(Request("/fields"), "a=1&&b=x+y%26z\r\n\"q&r\"&c=%4");
  // The list keeps the fields decoded before the failing one.
  std::string body = result.out.substr(result.out.find("\r\n\r\n") + 4);
  EXPECT_EQ(body.substr(0, body.find("held=")),
            "EWebException: Error decoding URL style (%XX) encoded string at position 3\r\n"
            "a=1\r\n\r\nb=x y&z\r\nq&r\r\n\r\nreceived=26 ");
}

TEST(CgiFrontTest, DeclaredLengthDoesNotReserveMemory) {
  Env env = Request("/fields");
  env["CONTENT_LENGTH"] = "2000000000";
  auto result = test::RunProgram(ORVO_CGIPROBE, env, "a=1&b=2345");
  std::string body = result.out.substr(result.out.find("\r\n\r\n") + 4);
  ASSERT_EQ(body.substr(0, 25), "a=1\r\nb=2345\r\nreceived=10 ");
  long held = std::stol(body.substr(body.find("held=") + 5));
  EXPECT_LT(held, 1 << 20);
  EXPECT_EQ(result.status, 0);
}

// One rule for the declared length and its cap, whichever front reads the body: each row runs
// as CGI and through the worker (fastcgi.*) and must give the same bytes.
TEST(CgiFrontTest, DeclaredLengthTable) {
  const std::string body = "a=1&b=" + std::string(41, 'x');  // 47 bytes
  const std::string all = "a=1\r\nb=" + std::string(41, 'x') + "\r\nreceived=47";
  const std::string none = "received=0";
  struct Row {
    const char *length, *httpLength, *maxBody;
    std::string fields;
  } rows[] = {
      {"47", "", "", all},     {"0x2f", "", "", all},
      {"$2f", "", "", all},    {" +47", "", "", all},
      {"abc", "47", "", all},  // HTTP_CONTENT_LENGTH comes first
      {"10", "47", "", all},   {"10", "", "", "a=1\r\nb=xxxx\r\nreceived=10"},
      {"-1", "", "", none},    {"5000000000", "", "", none},
      {"47abc", "", "", none}, {"", "", "", none},
      {"0", "", "", none},     {"2147483647", "", "", all},  // shorter than declared: what arrived
      {"47", "", "47", all},   {"47", "", "junk", all},
      {"48", "", "47", ""},
  };
  for (const Row& row : rows) {
    Env env = Request("/fields");
    env["CONTENT_LENGTH"] = row.length;
    if (*row.httpLength != '\0') env["HTTP_CONTENT_LENGTH"] = row.httpLength;
    if (*row.maxBody != '\0') env["ORVO_MAX_BODY"] = row.maxBody;
    auto result = test::RunProgram(ORVO_CGIPROBE, env, body);
    const std::string where = std::string(row.length) + "/" + row.httpLength + "/" + row.maxBody;
    if (row.fields.empty()) {
      // Over the cap: the failure page at once, nothing read, the reason logged.
      const std::string message = "Request body of 48 bytes refused: over 47 bytes (ORVO_MAX_BODY)";
      EXPECT_EQ(result.out, ServerErrorPage("EWebException", message, message)) << where;
      EXPECT_TRUE(LoggedOnce(result, " POST /fields EWebException: " + message + "\n"))
          << where << result.err;
      continue;
    }
    std::string answer = result.out.substr(result.out.find("\r\n\r\n") + 4);
    EXPECT_EQ(answer.substr(0, answer.find(" held=")), row.fields) << where;
    EXPECT_EQ(result.status, 0) << where;
  }
}

}  // namespace
}  // namespace orvo
