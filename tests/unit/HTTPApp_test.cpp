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

std::vector<std::string> Fields(const std::string& body) {
  TStringList list;
  ExtractFields(body, list);
  std::vector<std::string> out;
  for (int32_t i = 0; i < list.Count(); ++i) out.push_back(list.Strings(i));
  return out;
}

using V = std::vector<std::string>;

TEST(ExtractFieldsTest, SplitsAtSeparatorsAndQuotes) {
  const struct {
    std::string body;
    V fields;
  } cases[] = {
      {"", {}},
      {"a=1&b=2", {"a=1", "b=2"}},
      {"a=1&&b=2", {"a=1", "", "b=2"}},
      {"&a=1", {"", "a=1"}},
      {"a=1&", {"a=1"}},
      {"a=1\r\nb=2", {"a=1", "b=2"}},
      {"\r\n\r\na=1\n", {"a=1"}},
      {"x=\"1&2\"&y=3", {"x=\"1&2\"", "y=3"}},
      {"\"a&b\"&c=1", {"a&b", "", "c=1"}},
      {"n=\"v\"w&x=1", {"n=\"v\"", "", "x=1"}},
      {"\"a\r\nb\"", {"a\r\nb"}},
      {"q=\"open&rest", {"q=\"open&rest"}},
      {std::string("a=1\0&b=2", 8), {"a=1"}},
      {std::string("abcd\0efgh", 9), {"abcd"}},
      {"a=%26&%3D=b", {"a=&", "==b"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Fields(c.body), c.fields) << c.body;
}

// A field of 64 KiB or more that is most of what remains is decoded in the body's own storage.
TEST(ExtractFieldsTest, LargeFieldsDecodeLikeSmallOnes) {
  const std::string big(70000, 'x');
  const struct {
    std::string body;
    V fields;
  } cases[] = {
      {"a=1&x=" + big + "+%41%%", {"a=1", "x=" + big + " A%"}},
      {"x=%3C" + big + "&b=2\r\nc=3", {"x=<" + big, "b=2", "c=3"}},
      {"x=" + big + "&y=" + big + big + "%00", {"x=" + big, "y=" + big + big + '\0'}},
      {"\"q=" + big + "&r\"&c=1", {"q=" + big + "&r", "", "c=1"}},
      {"x=" + big + std::string("\0&b=2", 5), {"x=" + big}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Fields(c.body), c.fields) << c.body.substr(0, 10);
    TStringList list;
    ExtractFields(std::string(c.body), list);  // consuming the body gives the same fields
    EXPECT_EQ(list.Count(), static_cast<int32_t>(c.fields.size()));
    for (int32_t i = 0; i < list.Count(); ++i) EXPECT_EQ(list.Strings(i), c.fields[i]);
  }
}

TEST(ExtractFieldsTest, LargeFieldFailuresKeepTheFieldsBefore) {
  const std::string big(70000, 'x');
  const struct {
    std::string body;
    const char* message;
  } cases[] = {
      {"a=1&x=" + big + "%4", "Error decoding URL style (%XX) encoded string at position 70003"},
      {"a=1&x=" + big + "%g1&b=2", "Invalid URL encoded character (%g1) at position 70003"},
  };
  for (const auto& c : cases) {
    TStringList list;
    EXPECT_THROW(
        try { ExtractFields(std::string(c.body), list); } catch (const Exception& e) {
          EXPECT_EQ(e.Message(), c.message);
          throw;
        },
        Exception);
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Strings(0), "a=1");
  }
}

TEST(DecodeURLTextTest, DecodesPlusAndEscapes) {
  EXPECT_EQ(DecodeURLText("t=a+b%2Bc%25%%d"), "t=a b+c%%d");
  EXPECT_EQ(DecodeURLText("%e3%C3"), "\xE3\xC3");
  EXPECT_EQ(DecodeURLText("a%00b"), std::string("a\0b", 3));
  EXPECT_EQ(DecodeURLText("%%"), "%");
}

TEST(DecodeURLTextTest, ReportsBadEscapesWithTheirPosition) {
  const struct {
    const char* text;
    const char* className;
    const char* message;
  } cases[] = {
      {"t=%4", "EWebException", "Error decoding URL style (%XX) encoded string at position 3"},
      {"t=%", "EWebException", "Error decoding URL style (%XX) encoded string at position 3"},
      {"t=%zz", "EConvertError", "Invalid URL encoded character (%zz) at position 3"},
      {"ab%4g", "EConvertError", "Invalid URL encoded character (%4g) at position 3"},
  };
  for (const auto& c : cases) {
    try {
      DecodeURLText(c.text);
      ADD_FAILURE() << c.text << " decoded";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.ClassName(), c.className) << c.text;
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}

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
