// The connection against the project's stand-in client library, which logs every call.
#include "db/IBDatabase.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "TestSupport.h"

namespace orvo {
namespace {

const bool kUsesStub = test::SetEnv("ORVO_CLIENT_LIBRARY", ORVO_FBSTUB);

using test::ScopedEnv;

class IBDatabaseTest : public ::testing::Test {
 protected:
  IBDatabaseTest() : log_("FBSTUB_LOG", dir_.path() + "/calls") {}

  // The calls the stand-in received, one per line.
  std::vector<std::string> Calls() {
    std::ifstream in(dir_.path() + "/calls");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // A connection with the manuals endpoints' settings.
  static void Prepare(TIBDatabase& db, const std::string& user, const std::string& password) {
    db.LoginPrompt = false;
    db.SetDatabaseName("localhost:/srv/suporte.fdb");
    db.Params().Clear();
    db.Params().Add("user_name=" + user);
    db.Params().Add("password=" + password);
  }

  test::TempDir dir_;
  ScopedEnv log_;
};

TEST_F(IBDatabaseTest, AttachesWithTheBlockAndDetaches) {
  ASSERT_TRUE(kUsesStub);
  TIBDatabase db;
  EXPECT_FALSE(db.Connected());
  EXPECT_EQ(db.SQLDialect(), 3);
  EXPECT_EQ(db.DBSQLDialect(), 3);
  Prepare(db, "abc", "");
  std::vector<std::string> events;
  db.BeforeConnect = [&] { events.push_back("BeforeConnect"); };
  db.AfterConnect = [&] { events.push_back("AfterConnect"); };
  db.BeforeDisconnect = [&] { events.push_back("BeforeDisconnect"); };
  db.AfterDisconnect = [&] { events.push_back("AfterDisconnect"); };

  db.SetConnected(true);
  EXPECT_TRUE(db.Connected());
  db.SetConnected(true);  // unchanged: nothing runs
  db.SetConnected(false);
  EXPECT_FALSE(db.Connected());
  EXPECT_EQ(db.DBSQLDialect(), 1);
  db.SetConnected(false);

  EXPECT_EQ(events, (std::vector<std::string>{"BeforeConnect", "AfterConnect", "BeforeDisconnect",
                                              "AfterDisconnect"}));
  EXPECT_EQ(Calls(), (std::vector<std::string>{"attach localhost:/srv/suporte.fdb 011c036162631d00",
                                               "info 7 3e", "detach 7"}));
}

TEST_F(IBDatabaseTest, ChangesWhileAttachedAreRefused) {
  TIBDatabase db;
  Prepare(db, "abc", "x");
  db.SetConnected(true);
  db.SetDatabaseName("localhost:/srv/suporte.fdb");  // unchanged: allowed
  try {
    db.SetDatabaseName("localhost:/srv/outro.fdb");
    FAIL() << "name changed while attached";
  } catch (const EIBClientError& e) {
    EXPECT_EQ(e.SqlErrorCode(), 16);
    EXPECT_EQ(e.Message(),
              "N\xE3o \xE9 poss\xEDvel executar opera\xE7\xE3o -- DB est\xE1 atualmente aberto");
  }
  EXPECT_EQ(db.DatabaseName(), "localhost:/srv/suporte.fdb");

  try {
    db.Params().Add("lc_ctype=WIN1252");
    FAIL() << "line added while attached";
  } catch (const EIBClientError& e) {
    EXPECT_EQ(e.SqlErrorCode(), 16);
  }
  EXPECT_EQ(db.Params().Count(), 2);
  TStringList other;
  EXPECT_THROW(db.SetParams(other), EIBClientError);
  EXPECT_EQ(db.Params().Count(), 2);

  db.SetConnected(false);
  db.SetParams(other);
  EXPECT_EQ(db.Params().Count(), 0);
}

TEST_F(IBDatabaseTest, ConnectFailuresLeaveItDetached) {
  TIBDatabase db;
  db.LoginPrompt = false;
  try {
    db.SetConnected(true);
    FAIL() << "attached without a name";
  } catch (const EIBClientError& e) {
    EXPECT_EQ(e.SqlErrorCode(), 17);
    EXPECT_EQ(e.Message(), "Faltando nome do Banco de Dados");
  }

  Prepare(db, "abc", "wrong");
  db.SetConnected(true);
  db.SetConnected(false);
  ASSERT_EQ(db.DBSQLDialect(), 1);
  {
    ScopedEnv fail("FBSTUB_ATTACH_FAIL", "335544472");
    ScopedEnv messages("FBSTUB_MESSAGES", "Your user name and password are not defined.");
    try {
      db.SetConnected(true);
      FAIL() << "attached";
    } catch (const EIBInterBaseError& e) {
      EXPECT_EQ(e.Message(), "Your user name and password are not defined");
      EXPECT_EQ(e.PrimaryStatusCode(), 335544472);
    }
  }
  EXPECT_FALSE(db.Connected());
  EXPECT_EQ(db.Handle(), 0u);
  EXPECT_EQ(db.DBSQLDialect(), 1);
}

// After a block that could not be built, the next attach with the same lines builds again.
TEST_F(IBDatabaseTest, FailedBuildIsNeverReplacedByAnOlderBlock) {
  TIBDatabase db;
  Prepare(db, "abc", "ok");
  db.SetConnected(true);
  db.SetConnected(false);
  Prepare(db, "abc", std::string(300, 'p'));
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      db.SetConnected(true);
      FAIL() << "attached with a 300-byte password";
    } catch (const EIBClientError& e) {
      EXPECT_EQ(e.SqlErrorCode(), ceDpbValueTooLong);
    }
    EXPECT_FALSE(db.Connected());
  }
  EXPECT_EQ(Calls().size(), 3u);  // only the first attach, its info and its detach
}

TEST_F(IBDatabaseTest, Dialect1DatabaseLowersTheClientDialect) {
  ScopedEnv dialect("FBSTUB_DIALECT", "1");
  TIBDatabase db;
  Prepare(db, "a", "b");
  int warnings = 0;
  db.OnDialectDowngradeWarning = [&] { ++warnings; };
  db.SetConnected(true);
  EXPECT_EQ(db.DBSQLDialect(), 1);
  EXPECT_EQ(db.SQLDialect(), 1);
  EXPECT_EQ(warnings, 1);
}

TEST_F(IBDatabaseTest, LostConnectionDuringTheDialectQueryDetachesByForce) {
  for (std::string code : {"335544741", "335544726", "335544727"}) {
    ScopedEnv fail("FBSTUB_INFO_FAIL", code);
    ScopedEnv messages("FBSTUB_MESSAGES", "connection lost.");
    ScopedEnv detach("FBSTUB_DETACH_FAIL", "335544741");  // the force ignores it
    TIBDatabase db;
    Prepare(db, "a", "b");
    int disconnects = 0;
    db.AfterDisconnect = [&] { ++disconnects; };
    if (code == "335544741") {
      try {
        db.SetConnected(true);
        FAIL() << "connected";
      } catch (const EIBInterBaseRoleError&) {
        FAIL() << "role error";
      } catch (const EIBInterBaseError& e) {
        EXPECT_EQ(e.Message(), "connection lost");
        EXPECT_EQ(e.PrimaryStatusCode(), 335544741);
      }
      EXPECT_FALSE(db.Connected()) << code;
      EXPECT_EQ(disconnects, 1);
    } else {
      // Only the lost-connection code makes the query check the status in raising mode.
      EXPECT_THROW(db.SetConnected(true), EIBInterBaseError);
      EXPECT_TRUE(db.Connected()) << code;
    }
  }
}

TEST_F(IBDatabaseTest, OtherDialectQueryFailureLeavesItAttached) {
  TIBDatabase db;
  Prepare(db, "a", "b");
  {
    ScopedEnv fail("FBSTUB_INFO_FAIL", "335544344");
    EXPECT_THROW(db.SetConnected(true), EIBInterBaseError);
  }
  EXPECT_TRUE(db.Connected());
  db.SetConnected(false);
  EXPECT_FALSE(db.Connected());
}

TEST_F(IBDatabaseTest, RefusedDetachRaisesAndStillEndsDetached) {
  TIBDatabase db;
  Prepare(db, "a", "b");
  db.SetConnected(true);
  {
    ScopedEnv fail("FBSTUB_DETACH_FAIL", "335544721");
    ScopedEnv messages("FBSTUB_MESSAGES", "Unable to complete network request.");
    try {
      db.SetConnected(false);
      FAIL() << "detach reported success";
    } catch (const EIBInterBaseError& e) {
      EXPECT_EQ(e.Message(), "Unable to complete network request");
    }
  }
  EXPECT_FALSE(db.Connected());
  EXPECT_EQ(Calls().size(), 4u);  // attach, info, refused detach, forced detach
}

TEST_F(IBDatabaseTest, DestructionDetaches) {
  {
    TIBDatabase db;
    Prepare(db, "a", "b");
    db.SetConnected(true);
  }
  {
    ScopedEnv fail("FBSTUB_DETACH_FAIL", "335544721");
    TIBDatabase db;
    Prepare(db, "a", "b");
    db.SetConnected(true);
  }
  std::vector<std::string> calls = Calls();
  ASSERT_EQ(calls.size(), 7u);
  EXPECT_EQ(calls[2], "detach 7");
  EXPECT_EQ(calls[5], "detach 7");
  EXPECT_EQ(calls[6], "detach 7");
}

}  // namespace
}  // namespace orvo
