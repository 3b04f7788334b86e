#include <gtest/gtest.h>

#include "FakeCgiHost.h"
#include "common/SysUtils.h"
#include "web/CGIApp.h"
#include "web/CGIHTTP.h"

namespace orvo {
namespace {

int created = 0;
int destroyed = 0;

class TWMA : public TWebModule {
 public:
  TWMA() {
    ++created;
    Actions().Add("a", "/a", [](TObject*, TWebRequest&, TWebResponse& response, bool&) {
      response.SetContent("A");
    });
    Actions().Add("boom", "/boom", [](TObject*, TWebRequest&, TWebResponse&, bool&) {
      throw std::runtime_error("not one of ours");
    });
  }
  ~TWMA() override { ++destroyed; }
};
class TWMB : public TWebModule {};

TEST(WebApplicationTest, OnlyOneModuleClass) {
  TCGIApplication application;
  application.RegisterModuleClass(ModuleClassOf<TWMA>("TWMA"));
  application.RegisterModuleClass(ModuleClassOf<TWMA>("TWMA"));
  EXPECT_EQ(application.ModuleName(), "WMA");
  try {
    application.RegisterModuleClass(ModuleClassOf<TWMB>("TWMB"));
    ADD_FAILURE() << "second class accepted";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "Exception");
    EXPECT_EQ(e.Message(), "Only one data module per application");
  }
}

TEST(WebApplicationTest, NoModuleClassIsAServerError) {
  test::FakeCgiHost host;
  host.environment = {{"SERVER_PROTOCOL", "HTTP/1.1"}, {"PATH_INFO", "/a"}};
  TCGIApplication application;
  application.Run();
  EXPECT_EQ(host.writes.at(0).substr(0, 40), "Status: 500 No data modules registered\r\n");
}

TEST(WebApplicationTest, ModuleIsMadeOnceAndLivesWithTheApplication) {
  test::FakeCgiHost host;
  host.environment = {{"SERVER_PROTOCOL", "HTTP/1.1"}, {"PATH_INFO", "/a"}};
  created = destroyed = 0;
  {
    TCGIApplication application;
    application.RegisterModuleClass(ModuleClassOf<TWMA>("TWMA"));
    application.Run();
    application.Run();
    EXPECT_EQ(created, 1);
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(host.Output(),
            "Status: 200 OK\r\nContent-Type: text/html\r\nContent-Length: 1\r\n"
            "Content:\r\n\r\nA"
            "Status: 200 OK\r\nContent-Type: text/html\r\nContent-Length: 1\r\n"
            "Content:\r\n\r\nA");
}

TEST(WebApplicationTest, ForeignFailureInAHandlerSkipsTheDispatcherPage) {
  test::FakeCgiHost host;
  host.environment = {{"SERVER_PROTOCOL", "HTTP/1.1"}, {"PATH_INFO", "/boom"}};
  TCGIApplication application;
  application.RegisterModuleClass(ModuleClassOf<TWMA>("TWMA"));
  application.Run();
  EXPECT_EQ(host.Output(),
            "Status: 500 \r\nContent-Type: text/html\r\nContent-Length: 136\r\n\r\n"
            "<html><title>Internal Server Error 500</title>\r\n"
            "<h1>Internal Server Error 500</h1><hr>\r\n"
            "Exception: Exception<br>\r\nMessage: <br></html>\r\n");
}

}  // namespace
}  // namespace orvo
