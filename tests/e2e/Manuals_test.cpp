// The manuals endpoints end to end: the real program, its login checked by the real Firebird
// server that the test command starts (or by the project's stand-in client library), its
// answers compared byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"

namespace orvo {
namespace {

using test::WriteHostFile;
using Env = std::map<std::string, std::string>;
using test::CgiAnswer;
using test::Fields;
using test::FormBody;

const char kDownloadHead[] =
    "Status: 200 OK\r\nContent-Type: application/octet-stream\r\nContent:\r\n\r\n";

// Bytes of every value, NULs included, in an order no text file has.
std::string BinaryManual(size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = 12345;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245 + 12345;
    bytes[i] = static_cast<char>(i % 7 == 0 ? 0 : state >> 24);
  }
  return bytes;
}

std::string EnvValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

class ManualsTest : public ::testing::Test {
 protected:
  ManualsTest() {
    WriteHostFile(Disk("d/Manuais/Vendas.pdf"), "vendas");
    WriteHostFile(Disk("d/Manuais/Suporte/Instalar.txt"), "instalar");
    WriteHostFile(Disk("d/Outros/Outro.doc"), "outro");
    Config(database_);
  }

  std::string Disk(const std::string& relative) const { return root_.path() + "/" + relative; }

  void Config(const std::string& database) {
    WriteHostFile(Disk("c/Orvo/Orvo.Net/Config/Orvo.Config"),
                  "[Orvo.FrameWork]\r\nPathManuais=D:\\Manuais\r\nDBSuporte=" + database + "\r\n");
  }

  Env Environment(const std::string& path, const std::string& body) const {
    Env env = {{"ORVO_ROOT", root_.path()},
               {"REQUEST_METHOD", "POST"},
               {"SERVER_PROTOCOL", "HTTP/1.1"},
               {"PATH_INFO", path},
               {"CONTENT_LENGTH", std::to_string(body.size())}};
    env.insert(extraEnv_.begin(), extraEnv_.end());
    return env;
  }
  test::ProgramResult Run(const std::string& path, const Fields& fields) const {
    std::string body = FormBody(fields);
    test::ProgramResult result = test::RunProgram(ORVO_PROGRAM, Environment(path, body), body);
    EXPECT_EQ(result.status, 0);
    return result;
  }
  // The answer; a refused login or a failure page also leaves one line in the operator's log.
  std::string Post(const std::string& path, const Fields& fields) const {
    test::ProgramResult result = Run(path, fields);
    if (!result.err.empty()) {
      EXPECT_TRUE(test::IsFailureStderr(result.err)) << result.err;
    }
    return result.out;
  }

  test::TempDir root_;
  Env extraEnv_;
  std::string database_ = EnvValue("ORVO_TEST_FB_DATABASE");
  std::string user_ = EnvValue("ORVO_TEST_FB_USER");
  std::string password_ = EnvValue("ORVO_TEST_FB_PASSWORD");
};

// Against the real server.
class ManualsServerTest : public ManualsTest {
 protected:
  void SetUp() override {
    if (test::TargetIsWine()) {
      GTEST_SKIP() << "no Windows Firebird client library under Wine: the Windows program's "
                      "client there is the stand-in";
    }
    if (database_.empty() || user_.empty()) {
      GTEST_SKIP() << "ORVO_TEST_FB_DATABASE/USER/PASSWORD not set: run ./scripts/test, which "
                      "starts Firebird and sets them";
    }
  }
  Fields Login() const { return {{"u", user_}, {"p", password_}}; }
};

TEST_F(ManualsServerTest, RightCredentialsListTheManuals) {
  EXPECT_EQ(Post("/listamanuais", Login()),
            CgiAnswer("D:\\Manuais\\Suporte\\Instalar.txt\r\nD:\\Manuais\\Vendas.pdf\r\n"));
  Fields other = Login();
  other.emplace_back("pasta", "D:\\Outros");
  EXPECT_EQ(Post("/listamanuais", other), CgiAnswer("D:\\Outros\\Outro.doc\r\n"));
}

TEST_F(ManualsServerTest, RightCredentialsDownloadEveryByte) {
  const std::string manual = BinaryManual(20000 + 8192 + 77);
  WriteHostFile(Disk("d/Manuais/Binario.bin"), manual);
  WriteHostFile(Disk("d/Manuais/Vazio.pdf"), "");
  Fields fields = Login();
  fields.emplace_back("arq", "D:\\Manuais\\Binario.bin");
  EXPECT_EQ(Post("/lermanuais", fields), kDownloadHead + manual);

  fields.back().second = "D:\\Manuais\\Vazio.pdf";
  EXPECT_EQ(Post("/lermanuais", fields), kDownloadHead);

  fields.back().second = "D:\\Manuais\\Falta.pdf";
  std::string out = Post("/lermanuais", fields);
  EXPECT_EQ(out.rfind("Status: 500 Internal Server Error\r\n", 0), 0u) << out;
  EXPECT_NE(out.find("Cannot open file \"D:\\Manuais\\Falta.pdf\""), std::string::npos) << out;
  EXPECT_EQ(out.find("application/octet-stream"), std::string::npos);
}

TEST_F(ManualsServerTest, EveryOtherLoginAnswersTheEmptyBody) {
  std::string missing = database_.substr(0, database_.rfind('/') + 1) + "nao-existe.fdb";
  struct Refusal {
    const char* what;
    std::string database;
    Fields fields;
  };
  const std::vector<Refusal> refusals = {
      {"wrong password", database_, {{"u", user_}, {"p", password_ + "x"}}},
      {"unknown user", database_, {{"u", "ninguem_aqui"}, {"p", password_}}},
      {"no credentials", database_, {}},
      {"missing database", missing, {{"u", user_}, {"p", password_}}},
      {"empty database name", "", {{"u", user_}, {"p", password_}}},
      {"300-byte password", database_, {{"u", user_}, {"p", std::string(300, 'p')}}},
      {"password that wraps into a user item",
       database_,
       {{"u", user_}, {"p", std::string(256, 'p') + "\x1c\x06SYSDBA"}}},
  };
  WriteHostFile(Disk("d/Manuais/Binario.bin"), BinaryManual(100));
  for (const Refusal& r : refusals) {
    Config(r.database);
    // The client learns nothing; the operator gets the reason in the server's words.
    test::ProgramResult listing = Run("/listamanuais", r.fields);
    EXPECT_EQ(listing.out, CgiAnswer("")) << r.what;
    EXPECT_TRUE(test::IsFailureStderr(listing.err, " POST /listamanuais EIB"))
        << r.what << ": " << listing.err;
    Fields download = r.fields;
    download.emplace_back("arq", "D:\\Manuais\\Binario.bin");
    EXPECT_EQ(Post("/lermanuais", download), CgiAnswer("")) << r.what;
  }
}

// Against the project's stand-in client library, which logs the block it receives.
class ManualsStubTest : public ManualsTest {
 protected:
  ManualsStubTest() {
    extraEnv_ = {{"ORVO_CLIENT_LIBRARY", test::TargetBuildFile(ORVO_FBSTUB)},
                 // On the test's C: drive, which the Windows program under Wine reaches.
                 {"FBSTUB_LOG", test::TargetIsWine() ? "C:\\calls" : Disk("c/calls")}};
    Config("localhost:/srv/suporte.fdb");
  }
  std::string Calls() const {
    return test::HostPathExists(Disk("c/calls")) ? test::ReadHostFile(Disk("c/calls")) : "";
  }
};

TEST_F(ManualsStubTest, FieldsBecomeExactlyTwoItemsAndTheModuleDetachesAtTheEnd) {
  EXPECT_EQ(Post("/listamanuais", {{"p", "a&b="}, {"u", "ab c"}, {"pasta", "D:\\Outros"}}),
            CgiAnswer("D:\\Outros\\Outro.doc\r\n"));
  // user_name "ab c", password "a&b=", then the dialect query and the detach at the end.
  EXPECT_EQ(Calls(),
            "attach localhost:/srv/suporte.fdb 011c04616220631d046126623d\ninfo 7 3e\ndetach 7\n");
}

TEST_F(ManualsStubTest, RefusedLoginIsLoggedWithTheServersText) {
  extraEnv_["FBSTUB_ATTACH_FAIL"] = "335544472";
  extraEnv_["FBSTUB_MESSAGES"] = "Your user name and password are not defined.|Ask your DBA";
  test::ProgramResult result = Run("/listamanuais", {{"u", "a"}, {"p", "b"}});
  EXPECT_EQ(result.out, CgiAnswer(""));
  EXPECT_TRUE(test::IsFailureStderr(result.err,
                                    " POST /listamanuais EIBInterBaseError: Your user name and "
                                    "password are not defined.\\x0D\\x0AAsk your DBA\n"))
      << result.err;
}

TEST_F(ManualsStubTest, ReaderThatGoesAwayLeavesAnOrderlyEnd) {
  if (test::TargetIsWine()) {
    GTEST_SKIP() << "the reader is a shell pipeline around the program, with the signal "
                    "dispositions of POSIX; the Windows program under Wine gets its drives "
                    "only when started by the test runner";
  }
  WriteHostFile(Disk("d/Manuais/Grande.bin"), BinaryManual(8 << 20));
  const std::string body = FormBody({{"u", "a"}, {"p", "b"}, {"arq", "D:\\Manuais\\Grande.bin"}});
  WriteHostFile(Disk("body"), body);
  Env env = Environment("/lermanuais", body);
  env["PROGRAM"] = ORVO_PROGRAM;
  env["BODY"] = Disk("body");
  // The reader takes the first bytes of the download and closes the pipe. The program starts
  // with SIGPIPE at its default, as a web server starts it.
  auto result = test::RunScript(R"(env --default-signal=PIPE "$PROGRAM" <"$BODY" |
                                   head -c 100 >/dev/null; echo "${PIPESTATUS[0]}")",
                                env);
  EXPECT_EQ(result.out, "0\n");
  EXPECT_EQ(Calls(), "attach localhost:/srv/suporte.fdb 011c01611d0162\ninfo 7 3e\ndetach 7\n");
}

TEST_F(ManualsStubTest, MissingClientLibraryFailsEveryRequest) {
  const std::string message =
      "Biblioteca gds32.dll do InterBase n\xE3o encontrada no caminho. Favor instalar InterBase "
      "para usar esta funcionalidade";
  const std::string page =
      "<html><title>Internal Server Error 500</title>\r\n"
      "<h1>Internal Server Error 500</h1><hr>\r\n"
      "Exception: EIBClientError<br>\r\nMessage: " +
      message + "<br></html>\r\n";
  const std::string answer =
      "Status: 500 " + message +
      "\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(page.size()) + "\r\n\r\n" +
      page;
  extraEnv_["ORVO_CLIENT_LIBRARY"] = Disk("no/libfbclient.so.2");
  for (const char* path : {"/listamanuais", "/lermanuais", "/uploadxml", "/imagens", "/nada"}) {
    test::ProgramResult result = Run(path, {{"u", "a"}, {"p", "b"}});
    EXPECT_EQ(result.out, answer) << path;
    EXPECT_TRUE(test::IsFailureStderr(
        result.err, " POST " + std::string(path) + " EIBClientError: " + message + "\n"))
        << result.err;
  }
}

}  // namespace
}  // namespace orvo
