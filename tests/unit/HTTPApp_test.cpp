#include "web/HTTPApp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeCgiHost.h"
#include "common/Classes.h"
#include "common/SysUtils.h"
#include "web/CGIHTTP.h"

namespace orvo {
namespace {

using V = std::vector<std::string>;

// ---- Dispatcher ----

class DispatcherTest : public ::testing::Test {
 protected:
  DispatcherTest() { host.environment = {{"SERVER_PROTOCOL", "HTTP/1.1"}, {"PATH_INFO", "/b"}}; }

  // Builds a request and a response from the host as it is now, and dispatches.
  bool Dispatch() {
    request = std::make_unique<TCGIRequest>();
    response = std::make_unique<TCGIResponse>(*request);
    return module.DispatchAction(*request, *response);
  }

  THTTPMethodEvent Record(const std::string& name, bool handled = true) {
    return [this, name, handled](TObject*, TWebRequest&, TWebResponse& response, bool& h) {
      ran.push_back(name);
      response.SetContent(name);
      h = handled;
    };
  }

  test::FakeCgiHost host;
  TWebModule module;
  std::unique_ptr<TCGIRequest> request;
  std::unique_ptr<TCGIResponse> response;
  std::vector<std::string> ran;
};

TEST_F(DispatcherTest, FirstMatchingEntryAnswersAndEndsTheSearch) {
  module.Actions().Add("a", "/a", Record("a"));
  module.Actions().Add("b1", "/B", Record("b1"));
  module.Actions().Add("b2", "/b", Record("b2"));
  EXPECT_TRUE(Dispatch());
  EXPECT_EQ(ran, V{"b1"});
}

TEST_F(DispatcherTest, UnhandledEntryLetsLaterEntriesRun) {
  module.Actions().Add("b1", "/b", Record("b1", false));
  module.Actions().Add("b2", "/*", Record("b2"));
  EXPECT_TRUE(Dispatch());
  EXPECT_EQ(ran, (V{"b1", "b2"}));

  ran.clear();
  module.Actions().Items(1).SetPathInfo("/c");
  EXPECT_FALSE(Dispatch());
  EXPECT_EQ(ran, V{"b1"});
}

TEST_F(DispatcherTest, EntriesFilterByMethodAndEnabled) {
  host.environment["REQUEST_METHOD"] = "DELETE";
  module.Actions().Add("get", "/b", Record("get"), mtGet);
  module.Actions().Add("off", "/b", Record("off")).SetEnabled(false);
  module.Actions().Add("none", "/b", nullptr);  // takes the request, never handles it
  module.Actions().Add("any", "/b", Record("any"), mtAny);
  EXPECT_TRUE(Dispatch());
  EXPECT_EQ(ran, V{"any"});

  ran.clear();
  host.environment["REQUEST_METHOD"] = "get";
  EXPECT_TRUE(Dispatch());
  EXPECT_EQ(ran, V{"get"});
}

TEST_F(DispatcherTest, DisabledDefaultEntryAnswersWhatNothingElseTook) {
  module.Actions().Add("a", "/a", Record("a"));
  TWebActionItem& fallback = module.Actions().Add("d", "/d", Record("d"));
  fallback.SetEnabled(false);
  fallback.SetDefault(true);
  EXPECT_TRUE(Dispatch());
  EXPECT_EQ(ran, V{"d"});

  // Only one default entry: setting it on another clears the first.
  module.Actions().Items(0).SetDefault(true);
  EXPECT_FALSE(fallback.Default());
  ran.clear();
  EXPECT_TRUE(Dispatch());
  EXPECT_EQ(ran, V{"a"});
}

TEST_F(DispatcherTest, BeforeAndAfterDispatchDecideTheResult) {
  module.Actions().Add("b", "/b", Record("b"));
  module.BeforeDispatch = [this](TObject* sender, TWebRequest&, TWebResponse&, bool& handled) {
    EXPECT_EQ(sender, &module);
    ran.push_back("before");
    handled = false;
  };
  module.AfterDispatch = [this](TObject*, TWebRequest&, TWebResponse&, bool& handled) {
    ran.push_back("after");
    EXPECT_TRUE(handled);
    handled = false;
  };
  EXPECT_FALSE(Dispatch());
  EXPECT_EQ(ran, (V{"before", "b", "after"}));

  ran.clear();
  module.BeforeDispatch = [this](TObject*, TWebRequest&, TWebResponse& response, bool&) {
    ran.push_back("before");
    response.SendResponse();  // a sent response counts as handled
  };
  EXPECT_TRUE(Dispatch());
  EXPECT_EQ(ran, V{"before"});  // no entry, and no AfterDispatch once sent
}

TEST_F(DispatcherTest, ActionSenderIsTheEntry) {
  TObject* seen = nullptr;
  TWebActionItem& item = module.Actions().Add(
      "b", "/b", [&seen](TObject* sender, TWebRequest&, TWebResponse&, bool&) { seen = sender; });
  Dispatch();
  EXPECT_EQ(seen, &item);
}

TEST_F(DispatcherTest, NamesAreUniqueIgnoringCase) {
  module.Actions().Add("Upload", "/a", nullptr);
  TWebActionItem& other = module.Actions().Add("other", "/b", nullptr);
  try {
    other.SetName("UPLOAD");
    ADD_FAILURE() << "duplicate accepted";
  } catch (const EWebException& e) {
    EXPECT_EQ(e.Message(), "Duplicate action name");
  }
  EXPECT_EQ(other.Name(), "other");
  EXPECT_THROW(module.Actions().Add("upload", "/c", nullptr), EWebException);
  EXPECT_EQ(module.Actions().Count(), 2);
  other.SetName("Other");  // its own name in another case is fine
  EXPECT_EQ(other.Name(), "Other");
}

TEST_F(DispatcherTest, PathInfoIsNormalisedAndRecompiledWhenChanged) {
  TWebActionItem& item = module.Actions().Add("b", "", Record("b"));
  const struct {
    const char* given;
    const char* stored;
  } cases[] = {{"x\\y", "/x/y"}, {"/b", "/b"}, {"", ""}, {"\\b", "/b"}};
  for (const auto& c : cases) {
    item.SetPathInfo(c.given);
    EXPECT_EQ(item.PathInfo(), c.stored);
  }
  EXPECT_TRUE(Dispatch());
  item.SetPathInfo("/other");
  EXPECT_FALSE(Dispatch());
  item.SetPathInfo("/OTHER");  // equal ignoring case: the stored text stays
  EXPECT_EQ(item.PathInfo(), "/other");
}

TEST_F(DispatcherTest, InvalidMaskFailsInTheDispatchOnly) {
  module.Actions().Add("bad", "/b[", Record("bad"));  // compiled lazily
  EXPECT_THROW(Dispatch(), EMaskException);
}

TEST_F(DispatcherTest, HandleExceptionSendsThePageWithStatus500) {
  module.Actions().Add("b", "/b", Record("b"));
  Dispatch();  // sets content "b" and remembers request and response
  bool handled = false;
  module.HandleException(EConvertError("100% <b>\r\nx"), handled);
  EXPECT_TRUE(handled);
  EXPECT_TRUE(response->Sent());
  const std::string page =
      "<html><body><h1>Internal Application Error</h1>\r\n<p>100% &lt;b&gt;\r\nx\r\n"
      "<p><hr width=\"100%\"><i>/b</i></body></html>";
  EXPECT_EQ(host.Output(),
            "Status: 500 Internal Server Error\r\nContent-Type: text/html\r\n"
            "Content-Length: " +
                std::to_string(page.size()) + "\r\nContent:\r\n\r\n" + page);
}

TEST_F(DispatcherTest, HandleExceptionAfterSendReplacesContentOnly) {
  Dispatch();
  response->SendResponse();
  host.writes.clear();
  bool handled = false;
  module.HandleException(Exception("late"), handled);
  EXPECT_TRUE(handled);
  EXPECT_TRUE(host.writes.empty());
  EXPECT_NE(response->Content().find("late"), std::string::npos);
  EXPECT_EQ(response->StatusCode(), 200);
}

TEST_F(DispatcherTest, OnExceptionAnswersInsteadOfThePage) {
  Dispatch();
  module.OnException = [this](TObject* sender, const Exception& e, bool&) {
    EXPECT_EQ(sender, &module);
    EXPECT_EQ(response->StatusCode(), 500);
    response->SetContent("sorry: " + e.Message());
  };
  bool handled = false;
  module.HandleException(Exception("boom"), handled);
  EXPECT_TRUE(handled);
  EXPECT_EQ(host.Output(),
            "Status: 500 Internal Server Error\r\nContent-Type: text/html\r\n"
            "Content-Length: 11\r\nContent:\r\n\r\nsorry: boom");

  // An OnException that declines leaves the standard page to answer.
  host.writes.clear();
  module.OnException = [](TObject*, const Exception&, bool& h) { h = false; };
  module.HandleException(Exception("boom"), handled);
  EXPECT_TRUE(handled);
  EXPECT_TRUE(host.writes.empty());  // already sent: only the content changes
  EXPECT_NE(response->Content().find("<p>boom"), std::string::npos);
}

}  // namespace
}  // namespace orvo
