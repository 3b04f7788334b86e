// The FastCGI front in process: the choice of front, and a worker loop fed by an in-memory
// listener, which must serve every request as a CGI process would serve it alone.
#include "web/FCGIApp.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "common/SysUtils.h"
#include "common/SysUtilsConvert.h"
#include "common/SysUtilsFiles.h"
#include "common/SysUtilsText.h"

namespace orvo {
namespace {

using Args = std::vector<std::string>;

TEST(ChooseFrontTest, CommandLineAndWayOfStarting) {
  struct Case {
    Args args;
    bool startedAsCgi, startedByManager;
    TFrontChoice::TKind kind;
    std::string address;
    int workers;
  } cases[] = {
      {{}, false, false, TFrontChoice::fkCGI, "", 1},
      // Apache turns "?--fastcgi+/tmp/x" into arguments of a CGI program: never a socket.
      {{"--fastcgi", "/tmp/x"}, true, false, TFrontChoice::fkCGI, "", 1},
      {{}, true, true, TFrontChoice::fkCGI, "", 1},
      {{}, false, true, TFrontChoice::fkFastCGI, "", 1},
      {{"--fastcgi", "/run/o.sock"}, false, false, TFrontChoice::fkFastCGI, "/run/o.sock", 1},
      {{"--workers", "4", "--fastcgi", "127.0.0.1:9000"},
       false,
       false,
       TFrontChoice::fkFastCGI,
       "127.0.0.1:9000",
       4},
      {{"--workers", "3"}, false, true, TFrontChoice::fkFastCGI, "", 3},
  };
  for (const Case& c : cases) {
    TFrontChoice choice = ChooseFront(c.args, c.startedAsCgi, c.startedByManager);
    std::string label = ::testing::PrintToString(c.args);
    EXPECT_EQ(choice.Kind, c.kind) << label;
    EXPECT_EQ(choice.Address, c.address) << label;
    EXPECT_EQ(choice.Workers, c.workers) << label;
  }
  for (const Args& wrong : std::vector<Args>{{"--fastcgi"},
                                             {"--fastcgi", ""},
                                             {"--workers", "0", "--fastcgi", "/s"},
                                             {"--workers", "257", "--fastcgi", "/s"},
                                             {"--workers", "2x", "--fastcgi", "/s"},
                                             {"--workers", "2"},
                                             {"-x", "1"},
                                             {"/s"}}) {
    TFrontChoice choice = ChooseFront(wrong, false, false);
    EXPECT_EQ(choice.Kind, TFrontChoice::fkUsage) << ::testing::PrintToString(wrong);
    EXPECT_FALSE(choice.Error.empty());
  }
}

// ---- The worker loop ----

struct Exchange {
  std::map<std::string, std::string> params;
  std::string body;
  std::string out, err;
  bool finished = false;
};

class FakeRequest : public FastCgiRequest {
 public:
  explicit FakeRequest(Exchange& exchange) : exchange_(exchange) {}
  ~FakeRequest() override { exchange_.finished = true; }
  std::optional<std::string> Param(const std::string& name) override {
    auto found = exchange_.params.find(name);
    if (found == exchange_.params.end()) return std::nullopt;
    return found->second;
  }
  int64_t Read(void* buffer, size_t count) override {
    size_t n = std::min(count, exchange_.body.size() - read_);
    exchange_.body.copy(static_cast<char*>(buffer), n, read_);
    read_ += n;
    return static_cast<int64_t>(n);
  }
  void Write(const void* buffer, size_t count) override {
    exchange_.out.append(static_cast<const char*>(buffer), count);
  }
  void WriteError(const void* buffer, size_t count) override {
    exchange_.err.append(static_cast<const char*>(buffer), count);
  }
  void Complete() override {}

 private:
  Exchange& exchange_;
  size_t read_ = 0;
};

// Hands out its exchanges in order, then reports the stop.
class FakeListener : public FastCgiListener {
 public:
  explicit FakeListener(std::deque<Exchange> exchanges) : exchanges(std::move(exchanges)) {}
  std::unique_ptr<FastCgiRequest> Accept() override {
    if (next_ == exchanges.size()) return nullptr;
    return std::make_unique<FakeRequest>(exchanges[next_++]);
  }
  std::deque<Exchange> exchanges;

 private:
  size_t next_ = 0;
};

int modulesAlive = 0;

// Answers what a request can see of the process, then changes what it can.
class TStateModule : public TWebModule {
 public:
  TStateModule() {
    ++modulesAlive;
    Actions().Add("state", "/state",
                  [this](TObject*, TWebRequest& request, TWebResponse& response, bool&) {
                    ++served_;
                    Host& host = Host::Default();
                    response.SetContent("served=" + IntToStr(served_) + " folder=" + GetWorkDir() +
                                        " mark=" + std::string(1, LocaleFormats.DecimalMark) +
                                        " root=" + host.GetEnvironment("ORVO_ROOT").value_or("-") +
                                        " home=" + host.GetEnvironment("HOME").value_or("-") +
                                        " field=" + request.ContentFields().Values("f") +
                                        " store=" + host.GetEnvironment("STORE").value_or("-"));
                    SetWorkDir("D:\\");
                    LocaleFormats.DecimalMark = '#';
                    std::string note = "noted\n";
                    host.WriteStderr(note.data(), note.size());
                  });
    Actions().Add("fail", "/fail", [](TObject*, TWebRequest&, TWebResponse&, bool&) {
      throw EConvertError("broken");
    });
    Actions().Add("oom", "/oom", [](TObject*, TWebRequest&, TWebResponse&, bool&) {
      // What operator new does when the heap cannot give more.
      std::get_new_handler()();
    });
  }
  ~TStateModule() override { --modulesAlive; }

 private:
  int served_ = 0;
};

Exchange Post(const std::string& path, const std::string& body = "",
              std::map<std::string, std::string> extra = {}) {
  Exchange exchange;
  exchange.params = {{"REQUEST_METHOD", "POST"},
                     {"SERVER_PROTOCOL", "HTTP/1.1"},
                     {"PATH_INFO", path},
                     {"CONTENT_LENGTH", std::to_string(body.size())}};
  exchange.params.insert(extra.begin(), extra.end());
  exchange.body = body;
  return exchange;
}

class FastCgiLoopTest : public ::testing::Test {
 protected:
  int Serve(FakeListener& listener) {
    return ServeFastCgi(listener, ModuleClassOf<TStateModule>("TStateModule"));
  }
  test::DriveRoot root_;
  test::ScopedEnv rootVariable_{"ORVO_ROOT", "/worker/root"};
  TLocaleFormats savedLocale_ = LocaleFormats;
  ~FastCgiLoopTest() override { LocaleFormats = savedLocale_; }
};

TEST_F(FastCgiLoopTest, EveryRequestSeesWhatAFreshProcessWould) {
  LocaleFormats.DecimalMark = ',';
  SetWorkDir("C:\\");
  FakeListener listener({
      Post("/state", "f=um", {{"ORVO_ROOT", "/request/root"}, {"STORE", "L1"}}),
      Post("/fail"),
      Post("/state", "f=dois"),
  });
  EXPECT_EQ(Serve(listener), 0);

  const std::string page =
      "<html><body><h1>Internal Application Error</h1>\r\n<p>broken\r\n"
      "<p><hr width=\"100%\"><i>/fail</i></body></html>";
  // The request's variables are its own; ORVO_ROOT is the worker's whatever the server sends.
  EXPECT_EQ(listener.exchanges[0].out,
            test::CgiAnswer("served=1 folder=C:\\ mark=, root=/worker/root home=- field=um "
                            "store=L1"));
  EXPECT_EQ(listener.exchanges[0].err, "noted\n");
  EXPECT_EQ(listener.exchanges[1].out,
            "Status: 500 Internal Server Error\r\nContent-Type: text/html\r\nContent-Length: " +
                std::to_string(page.size()) + "\r\nContent:\r\n\r\n" + page);
  // Nothing of the first request is left: folder, locale, module, variables.
  EXPECT_EQ(listener.exchanges[2].out,
            test::CgiAnswer("served=1 folder=C:\\ mark=, root=/worker/root home=- field=dois "
                            "store=-"));
  for (const Exchange& exchange : listener.exchanges) EXPECT_TRUE(exchange.finished);
  EXPECT_EQ(modulesAlive, 0);
  EXPECT_EQ(GetWorkDir(), "C:\\");
  EXPECT_EQ(LocaleFormats.DecimalMark, ',');
  EXPECT_EQ(&Host::Default(), &root_.host());
}

TEST_F(FastCgiLoopTest, OutOfMemoryAnswersThenEndsTheWorker) {
  FakeListener listener({Post("/oom"), Post("/state")});
  EXPECT_EQ(Serve(listener), 1);
  const std::string& out = listener.exchanges[0].out;
  // Inside the dispatch, as every failure there: the dispatcher's page.
  EXPECT_EQ(out.substr(0, out.find("\r\n")), "Status: 500 Internal Server Error");
  EXPECT_NE(out.find("Out of memory"), std::string::npos);
  EXPECT_TRUE(listener.exchanges[0].finished);
  EXPECT_FALSE(listener.exchanges[1].finished);  // left to a fresh worker
  EXPECT_EQ(modulesAlive, 0);

  // A worker started afterwards serves normally.
  FakeListener next({Post("/state")});
  EXPECT_EQ(Serve(next), 0);
  EXPECT_NE(next.exchanges[0].out.find("served=1"), std::string::npos);
}

}  // namespace
}  // namespace orvo
