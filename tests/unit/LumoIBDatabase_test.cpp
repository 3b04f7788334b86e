// The database component: defaults, direct mode over the stand-in client library, the
// multi-tier login exchange against a real HTTP server on loopback, the registry settings.
#include "db/LumoIBDatabase.h"

#include <gtest/gtest.h>

#include "LoopbackServer.h"
#include "TestSupport.h"
#include "db/http/HTTPClient.h"
#include "host/HostWrapper.h"

namespace orvo {
namespace {

const bool kUsesStub = test::SetEnv("ORVO_CLIENT_LIBRARY", ORVO_FBSTUB);
using test::LoopbackServer;

std::string Response(const std::string& status, const std::string& body) {
  return "HTTP/1.0 " + status +
         "\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

// The platform host with standard error captured.
class CapturingHost : public HostWrapper {
 public:
  explicit CapturingHost(const std::string& root) : HostWrapper(NewDriveRootHost(root)) {}
  void WriteStderr(const void* buffer, size_t count) override {
    stderr_.append(static_cast<const char*>(buffer), count);
  }
  std::string stderr_;
};

class LumoIBDatabaseTest : public ::testing::Test {
 protected:
  LumoIBDatabaseTest() : host_(dir_.path()) {
    test::SetEnv("XDG_CONFIG_HOME", dir_.path() + "/config");
    Host::SetDefault(&host_);
  }
  ~LumoIBDatabaseTest() override { Host::SetDefault(nullptr); }

  // Multi-tier mode asking `url` at every connect, the registry switched off.
  static void MultiTier(TLumoIBDatabase& db, const std::string& url) {
    db.UseRegProps = false;
    db.AlwaysConnected = true;
    db.LumoMultiTierProps().Active = true;
    db.LumoMultiTierProps().URL = url;
  }

  void WriteSetting(const std::string& name, RegistryType type, const std::string& data) {
    ASSERT_EQ(host_.WriteUserValue("Orvo\\Config\\General", name, RegistryValue{type, data}),
              kErrorSuccess);
  }

  test::TempDir dir_;
  CapturingHost host_;
};

TEST_F(LumoIBDatabaseTest, NewComponentHasTheDefaults) {
  ASSERT_TRUE(kUsesStub);
  TLumoIBDatabase db;
  EXPECT_TRUE(db.UseRegProps);
  EXPECT_FALSE(db.AlwaysConnected);
  EXPECT_FALSE(db.Connected());
  EXPECT_FALSE(db.MultiTierConnected());
  EXPECT_TRUE(db.LoginPrompt);
  const TLumoMultiTierProps& props = db.LumoMultiTierProps();
  EXPECT_FALSE(props.Active);
  EXPECT_EQ(props.URL, "");
  EXPECT_EQ(props.WebServer, "iorvowebserver.dll");
  EXPECT_EQ(props.AltWebServer, "orvowebserver.exe");
  EXPECT_EQ(props.ProxyPort, 0);
  EXPECT_FALSE(props.UseProxy || props.ShowWait || props.Compressed);
}

TEST_F(LumoIBDatabaseTest, DirectModeIsTheConnectionsLogin) {
  TLumoIBDatabase db;
  db.UseRegProps = false;
  db.LoginPrompt = false;
  db.SetDatabaseName("localhost:/srv/suporte.fdb");
  db.Params().Add("user_name=a");
  db.Params().Add("password=b");
  db.SetConnected(true);
  EXPECT_TRUE(db.Connected());
  EXPECT_FALSE(db.MultiTierConnected());
  db.SetConnected(false);
  EXPECT_FALSE(db.Connected());
  // The registry was never opened.
  EXPECT_FALSE(test::HostPathExists(dir_.path() + "/config/orvo/registry"));
}

TEST_F(LumoIBDatabaseTest, MultiTierWithoutAlwaysConnectedLogsInWithoutTraffic) {
  TLumoIBDatabase db;
  db.UseRegProps = false;
  db.LumoMultiTierProps().Active = true;
  db.LumoMultiTierProps().URL = "http://127.0.0.1:1";  // nothing listens there
  db.SetConnected(true);
  EXPECT_TRUE(db.Connected());
  db.SetDatabaseName("changed while connected");
  db.Params().Add("user_name=x");
  db.SetConnected(false);
  EXPECT_FALSE(db.Connected());
  EXPECT_EQ(db.Handle(), 0u);
}

TEST_F(LumoIBDatabaseTest, LoginExchangePostsTheEncodedForm) {
  LoopbackServer server(Response("200 OK", "true"));
  TLumoIBDatabase db;
  MultiTier(db, server.Url());
  db.SetDatabaseName("C:\\dados\\base.gdb");
  db.Params().Add("USER_NAME=ab c");
  db.Params().Add("password=");
  db.SetConnected(true);
  EXPECT_TRUE(db.Connected());
  const std::string& request = server.Request();
  EXPECT_EQ(request.rfind("POST /iorvowebserver.dll/login HTTP/1.0\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"),
            std::string::npos);
  EXPECT_NE(request.find("\r\nContent-Length: 39\r\n"), std::string::npos);
  EXPECT_NE(request.find("\r\nHost: 127.0.0.1:"), std::string::npos);
  EXPECT_EQ(server.Body(), "db=C%3A%5Cdados%5Cbase%2Egdb&u=ab+c&p=&");
}

TEST(LoginBodyTest, EncodesEveryByteButLettersAndDigits) {
  EXPECT_EQ(EncodeLoginBody("", "Jo\xE3o", "a&p=b\r\n%"), "db=&u=Jo%E3o&p=a%26p%3Db%0D%0A%25&");
}

TEST_F(LumoIBDatabaseTest, AnswersDecideTheLogin) {
  struct AnswerCase {
    std::string answer;
    bool connected;
    std::string stderrText;
  };
  const std::string refused = "N\xE3o foi poss\xEDvel conectar. Usu\xE1rio/Senha inv\xE1lidos\r";
  for (const AnswerCase& c :
       {AnswerCase{"true", true, ""}, AnswerCase{"TRUE", true, ""},
        AnswerCase{"False", false, refused + "False\n"}, AnswerCase{"true\r\n", false, ""},
        AnswerCase{"", false, ""}, AnswerCase{"yes", false, ""}}) {
    host_.stderr_.clear();
    LoopbackServer server(Response("200 OK", c.answer));
    TLumoIBDatabase db;
    MultiTier(db, server.Url() + "/");
    EXPECT_NO_THROW(db.SetConnected(true)) << c.answer;
    EXPECT_EQ(db.Connected(), c.connected) << c.answer;
    EXPECT_EQ(host_.stderr_, c.stderrText) << c.answer;
    EXPECT_EQ(server.Request().rfind("POST //iorvowebserver.dll/login ", 0), 0u);
  }
}

TEST_F(LumoIBDatabaseTest, FailedExchangeRaisesAndKeepsTheState) {
  {
    LoopbackServer server(Response("500 Internal Server Error", "true"));
    TLumoIBDatabase db;
    MultiTier(db, server.Url());
    try {
      db.SetConnected(true);
      FAIL() << "a 500 answer logged in";
    } catch (const EHTTPError& e) {
      EXPECT_EQ(e.ErrorCode(), 500);
      EXPECT_EQ(e.Message(), "HTTP/1.0 500 Internal Server Error");
    }
    EXPECT_FALSE(db.Connected());
  }
  {
    LoopbackServer server(
        "HTTP/1.0 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 4\r\n\r\ntrue");
    TLumoIBDatabase db;
    MultiTier(db, server.Url());
    EXPECT_THROW(db.SetConnected(true), EHTTPError);
  }
  int port;
  {
    LoopbackServer closed(Response("200 OK", "true"));
    port = std::stoi(closed.Url().substr(17));
    PostForm(closed.Url() + "/x", "");
  }
  TLumoIBDatabase db;
  MultiTier(db, "http://127.0.0.1:" + std::to_string(port));
  try {
    db.SetConnected(true);
    FAIL() << "logged in without a server";
  } catch (const EHTTPError& e) {
    EXPECT_EQ(e.ErrorCode(), 0);
  }
  EXPECT_FALSE(db.Connected());
}

TEST_F(LumoIBDatabaseTest, RegistrySelectsTheMode) {
  struct ModeCase {
    std::string active;
    bool multiTier;
  };
  for (const ModeCase& c :
       {ModeCase{"1", true}, ModeCase{"0", false}, ModeCase{"True", false}, ModeCase{"7", true}}) {
    WriteSetting("WebServerActive", RegistryType::kString, c.active);
    TLumoIBDatabase db;
    db.LoginPrompt = false;
    db.SetDatabaseName("localhost:/srv/suporte.fdb");
    db.LumoMultiTierProps().URL = "set by code";
    db.SetConnected(true);  // AlwaysConnected false: no exchange in multi-tier mode
    EXPECT_EQ(db.LumoMultiTierProps().Active, c.multiTier) << c.active;
    EXPECT_EQ(db.MultiTierConnected(), c.multiTier) << c.active;
    EXPECT_EQ(db.Handle() != 0, !c.multiTier) << c.active;
    EXPECT_EQ(db.LumoMultiTierProps().URL, "") << "URLBase is absent";
  }
}

TEST_F(LumoIBDatabaseTest, RegistryFillsTheBlock) {
  WriteSetting("WebServerActive", RegistryType::kString, "1");
  WriteSetting("WebServerShowWait", RegistryType::kExpandString, std::string("1\0garbage", 9));
  WriteSetting("URLBase", RegistryType::kString, "http://middle");
  WriteSetting("ProxyEnabled", RegistryType::kString, "");
  WriteSetting("ProxyHost", RegistryType::kString, "proxy");
  WriteSetting("ProxyPorta", RegistryType::kString, "not a number");
  WriteSetting("ProxyUsuario", RegistryType::kString, "usu\xE1rio");
  WriteSetting("ProxySenha", RegistryType::kString, "s=1");
  TLumoIBDatabase db;
  db.LoadRegistryProps();
  const TLumoMultiTierProps& props = db.LumoMultiTierProps();
  EXPECT_TRUE(props.Active);
  EXPECT_TRUE(props.ShowWait);
  EXPECT_EQ(props.URL, "http://middle");
  EXPECT_FALSE(props.UseProxy);
  EXPECT_EQ(props.ProxyHost, "proxy");
  EXPECT_EQ(props.ProxyPort, 0);
  EXPECT_EQ(props.ProxyUser, "usu\xE1rio");
  EXPECT_EQ(props.ProxyPass, "s=1");

  db.UseRegProps = false;
  db.LumoMultiTierProps().URL = "kept";
  db.LoadRegistryProps();
  EXPECT_EQ(props.URL, "kept");
}

TEST_F(LumoIBDatabaseTest, NonStringRegistryValueRaises) {
  WriteSetting("WebServerActive", RegistryType::kString, "1");
  WriteSetting("URLBase", RegistryType::kString, "http://middle");
  WriteSetting("ProxyPorta", RegistryType::kInteger, std::string("\x50\x1f\0\0", 4));
  TLumoIBDatabase db;
  db.LoginPrompt = false;
  db.SetDatabaseName("localhost:/srv/suporte.fdb");
  try {
    db.SetConnected(true);
    FAIL() << "a number stored as a number was read";
  } catch (const ERegistryException& e) {
    EXPECT_STREQ(e.ClassName(), "ERegistryException");
    EXPECT_EQ(e.Message(), "Invalid data type for 'ProxyPorta'");
  }
  EXPECT_FALSE(db.Connected());
  EXPECT_EQ(db.Handle(), 0u);
  EXPECT_EQ(db.LumoMultiTierProps().URL, "http://middle");  // read before the failure
}

}  // namespace
}  // namespace orvo
