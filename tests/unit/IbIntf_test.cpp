// The client library loader, the server and client errors and the trace hook, against the
// project's stand-in client library.
#include "db/IBIntf.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>

#include "TestSupport.h"
#include "db/IB.h"
#include "db/IBSQLMonitor.h"

namespace orvo {
namespace {

// The process-wide library of this program is the stand-in.
const bool kUsesStub = test::SetEnv("ORVO_CLIENT_LIBRARY", ORVO_FBSTUB);

using test::ScopedEnv;

// Makes the stand-in fail the attach and leaves its status vector in this thread's vector.
void FailAttach(const std::string& code) {
  ScopedEnv fail("FBSTUB_ATTACH_FAIL", code);
  isc_db_handle handle = 0;
  ASSERT_GT(GetClientLibrary().isc_attach_database(ThreadStatusVector(), 2, "db", &handle, 1, "\1"),
            0);
}

TEST(ClientLibraryTest, MissingLibraryIsClientError1AndCanBeRetried) {
  ASSERT_TRUE(kUsesStub);
  for (std::string name : {"/nonexistent/libfbclient.so.2", ""}) {
    TDynamicLibrary library({name});
    EXPECT_FALSE(library.TryLoad());
    try {
      library.EnsureLoaded();
      FAIL() << "loaded " << name;
    } catch (const EIBClientError& e) {
      EXPECT_EQ(e.SqlErrorCode(), 1);
      EXPECT_EQ(e.Message(),
                "Biblioteca gds32.dll do InterBase n\xE3o encontrada no caminho. Favor instalar "
                "InterBase para usar esta funcionalidade");
    }
  }
}

TEST(ClientLibraryTest, MissingEntryPointRaisesTheSystemErrorAndLeavesItUnloaded) {
  TDynamicLibrary library({ORVO_FBSTUB_WITHOUT_DETACH});
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      library.EnsureLoaded();
      FAIL() << "loaded without isc_detach_database";
    } catch (const EOSError& e) {
      EXPECT_EQ(e.ErrorCode(), 127);
      EXPECT_EQ(e.Message(),
                "System Error.  Code: 127.\r\n" +
                    test::SystemText(127, "The specified procedure could not be found"));
    }
  }
}

TEST(ClientLibraryTest, VersionDecidesWhichFunctionsAreLookedUp) {
  struct VersionCase {
    std::string version;
    int64_t clientVersion;
    bool savepoints;
    bool batches;
  };
  for (const VersionCase& c :
       {VersionCase{"3.0", 30000, false, false}, VersionCase{"7.1", 71000, true, false},
        VersionCase{"8.0", 80000, true, true}}) {
    ScopedEnv version("FBSTUB_VERSION", c.version);
    TDynamicLibrary library({ORVO_FBSTUB});
    EXPECT_EQ(library.ClientVersion(), c.clientVersion);
    EXPECT_NE(library.EntryPoint("isc_rollback_retaining"), nullptr);
    if (c.savepoints) {
      EXPECT_NE(library.EntryPoint("isc_start_savepoint"), nullptr);
    } else {
      try {
        library.EntryPoint("isc_start_savepoint");
        ADD_FAILURE() << c.version;
      } catch (const EIBClientError& e) {
        EXPECT_EQ(e.Message(),
                  "isc_start_savepoint \xE9 uma fun\xE7\xE3o do InterBase 7.1. Por favor atualize "
                  "para o InterBase 7.1 para usar esta fun\xE7\xE3o.");
      }
    }
    if (c.batches) {
      EXPECT_NE(library.EntryPoint("isc_dsql_batch_execute"), nullptr);
    } else {
      try {
        library.EntryPoint("isc_dsql_batch_execute");
        ADD_FAILURE() << c.version;
      } catch (const EIBClientError& e) {
        EXPECT_EQ(e.Message(),
                  "isc_dsql_batch_execute \xE9 uma fun\xE7\xE3o do InterBase 8.0. Por favor "
                  "atualize para o InterBase 8.0 para usar esta fun\xE7\xE3o.");
      }
    }
  }
}

TEST(ClientLibraryTest, XmlLibraryIsLookedForInTheClientsFolder) {
  test::TempDir dir;
  std::string client = dir.path() + "/client.so", xml = dir.path() + "/" + kXmlLibraryName;
  test::WriteHostFile(client, test::ReadHostFile(ORVO_FBSTUB));
  // The stand-in has no XML functions: as the XML library beside the client it fails the load,
  // as a client without one of its functions would, until it is taken away.
  test::WriteHostFile(xml, test::ReadHostFile(ORVO_FBSTUB));
  TDynamicLibrary library({client});
  EXPECT_THROW(library.EnsureLoaded(), EOSError);
  ASSERT_EQ(std::remove(xml.c_str()), 0);
  EXPECT_THROW(library.EntryPoint("isc_dsql_xml_fetch"), EIBClientError);
}

TEST(ServerErrorTest, JoinsMessageLinesAndDropsTheFinalFullStop) {
  struct MessageCase {
    std::string lines;
    std::string message;
  };
  for (const MessageCase& c : {MessageCase{"A.|B.", "A.\r\nB"}, MessageCase{"A\n|B.", "A\nB"},
                               MessageCase{"only line", "only line"},
                               MessageCase{"one.|two.|three", "one.\r\ntwo.\r\nthree"}}) {
    ScopedEnv messages("FBSTUB_MESSAGES", c.lines);
    ScopedEnv sqlcode("FBSTUB_SQLCODE", "-902");
    FailAttach("335544472");
    TServerError error = ComposeServerError();
    EXPECT_EQ(error.message, c.message);
    EXPECT_EQ(error.primaryCode, 335544472);
    EXPECT_EQ(error.sqlCode, -902);
  }
}

TEST(ServerErrorTest, SqlCode551RaisesTheRoleError) {
  TIBSQLMonitor monitor;
  ScopedEnv messages("FBSTUB_MESSAGES", "no permission.");
  {
    ScopedEnv sqlcode("FBSTUB_SQLCODE", "-551");
    FailAttach("335544352");
    try {
      RaiseServerError();
    } catch (const EIBInterBaseRoleError& e) {
      EXPECT_EQ(e.Message(), "no permission");
      EXPECT_EQ(e.SqlErrorCode(), -551);
      EXPECT_EQ(e.PrimaryStatusCode(), 335544352);
    }
  }
  ScopedEnv sqlcode("FBSTUB_SQLCODE", "-552");
  FailAttach("335544352");
  try {
    RaiseServerError();
  } catch (const EIBInterBaseRoleError&) {
    FAIL() << "role error for -552";
  } catch (const EIBInterBaseError& e) {
    EXPECT_STREQ(e.ClassName(), "EIBInterBaseError");
  }
  EXPECT_EQ(monitor.Records(), (std::vector<std::string>{"[Error] -551 335544352 no permission",
                                                         "[Error] -552 335544352 no permission"}));
}

TEST(ClientErrorTest, FormatsTheNumberedMessageAndTracesIt) {
  TIBSQLMonitor monitor;
  try {
    RaiseClientError(11, {"page_size"});
  } catch (const EIBClientError& e) {
    EXPECT_STREQ(e.ClassName(), "EIBClientError");
    EXPECT_EQ(e.Message(), "Constante DPB (isc_dpb_page_size) n\xE3o \xE9 suportada");
    EXPECT_EQ(e.SqlErrorCode(), 11);
    EXPECT_EQ(e.PrimaryStatusCode(), 0);
  }
  EXPECT_THROW(RaiseClientError(58), EIBClientError);
  EXPECT_EQ(
      monitor.Records(),
      std::vector<std::string>{"[Error] Constante DPB (isc_dpb_page_size) n\xE3o \xE9 suportada"});
}

}  // namespace
}  // namespace orvo
