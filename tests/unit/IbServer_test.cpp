// The login check against the real Firebird server that the test command starts.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "TestSupport.h"
#include "db/IBDatabase.h"
#include "db/IBIntf.h"

namespace orvo {
namespace {

// This program talks to the real client library, whatever the environment names.
const bool kUsesRealClient = test::UnsetEnv("ORVO_CLIENT_LIBRARY");

std::string Env(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

class FirebirdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kUsesRealClient);
    database_ = Env("ORVO_TEST_FB_DATABASE");
    user_ = Env("ORVO_TEST_FB_USER");
    password_ = Env("ORVO_TEST_FB_PASSWORD");
    if (database_.empty() || user_.empty()) {
      GTEST_SKIP() << "ORVO_TEST_FB_DATABASE/USER/PASSWORD not set: run ./scripts/test, which "
                      "starts Firebird and sets them";
    }
#ifdef _WIN32
    if (!GetClientLibrary().TryLoad()) {
      GTEST_SKIP() << "no Firebird client library gds32.dll on this Windows machine (under Wine "
                      "the test command installs none)";
    }
#endif
  }

  // The manuals endpoints' login: true when the attach succeeded.
  static bool Login(TIBDatabase& db, const std::string& database, const std::string& user,
                    const std::string& password) {
    try {
      db.SetConnected(false);
      db.SetDatabaseName(database);
      db.Params().Clear();
      db.Params().Add("user_name=" + user);
      db.Params().Add("password=" + password);
      db.SetConnected(true);
    } catch (const Exception& e) {
      last_ = e.ClassName() + std::string(": ") + e.Message();
    }
    return db.Connected();
  }

  std::string database_, user_, password_;
  static inline std::string last_;
};

TEST_F(FirebirdTest, RightCredentialsAttach) {
  TIBDatabase db;
  db.LoginPrompt = false;
  ASSERT_TRUE(Login(db, database_, user_, password_)) << last_;
  EXPECT_EQ(db.DBSQLDialect(), 3);
  db.SetConnected(false);
  EXPECT_FALSE(db.Connected());
  // The same connection logs in again, and a failure after a success leaves it detached.
  EXPECT_TRUE(Login(db, database_, user_, password_)) << last_;
  EXPECT_FALSE(Login(db, database_, user_, password_ + "x"));
}

TEST_F(FirebirdTest, EveryOtherLoginIsRefused) {
  std::string missing = database_.substr(0, database_.rfind('/') + 1) + "nao-existe.fdb";
  struct Refusal {
    const char* what;
    std::string database, user, password;
    const char* exceptionClass;
  };
  const Refusal cases[] = {
      {"wrong password", database_, user_, password_ + "x", "EIBInterBaseError"},
      {"wrong letter case", database_, user_, "senha.de.teste1", "EIBInterBaseError"},
      {"unknown user", database_, "ninguem_aqui", password_, "EIBInterBaseError"},
      {"empty user", database_, "", "", "EIBInterBaseError"},
      {"missing database", missing, user_, password_, "EIBInterBaseError"},
      {"empty database name", "", user_, password_, "EIBClientError"},
      {"300-byte password", database_, user_, std::string(300, 'p'), "EIBClientError"},
      {"password with a wrapped user item", database_, user_,
       std::string(256, 'p') + "\x1c\x06SYSDBA", "EIBClientError"},
  };
  for (const Refusal& c : cases) {
    TIBDatabase db;
    db.LoginPrompt = false;
    last_.clear();
    EXPECT_FALSE(Login(db, c.database, c.user, c.password)) << c.what;
    EXPECT_EQ(last_.substr(0, last_.find(':')), c.exceptionClass) << c.what << ": " << last_;
    EXPECT_EQ(db.Handle(), 0u) << c.what;
  }
}

}  // namespace
}  // namespace orvo
