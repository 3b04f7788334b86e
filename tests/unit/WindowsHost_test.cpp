// What only the Windows host has: the process's environment, locale and libraries as the system
// gives them, and the user stores of the tests' drive roots. Its file system is stated, with the
// Linux host's, in HostContract_test.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "host/Host.h"

namespace orvo {
namespace {

TEST(WindowsSystemTest, ProcessLocaleAndLibraries) {
  Host& host = Host::Default();
  for (LocaleItem item : {LocaleItem::kDecimalMark, LocaleItem::kGroupMark, LocaleItem::kDateMark,
                          LocaleItem::kShortDatePattern}) {
    EXPECT_TRUE(host.GetLocaleValue(item).has_value());
  }

  test::ScopedEnv set("ORVO_HOST_TEST", "valor \xE9");
  EXPECT_EQ(host.GetEnvironment("orvo_host_test"), "valor \xE9");  // names ignore case
  EXPECT_EQ(host.GetEnvironment("ORVO_HOST_TEST_MISSING"), std::nullopt);

  std::unique_ptr<DynamicLibrary> library;
  ASSERT_EQ(host.OpenLibrary("kernel32.dll", &library), kErrorSuccess);
  EXPECT_NE(library->Symbol("GetTickCount", nullptr), nullptr);
  WinError error = kErrorSuccess;
  EXPECT_EQ(library->Symbol("NoSuchFunction", &error), nullptr);
  EXPECT_EQ(error, kErrorProcNotFound);
  EXPECT_EQ(host.OpenLibrary("no-such-library.dll", &library), kErrorModNotFound);
}

// The drive roots of the tests keep their user stores apart (a key of the root's own).
TEST(WindowsSystemTest, EachDriveRootHasAUserStoreOfItsOwn) {
  test::TempDir first, second;
  std::unique_ptr<Host> host = NewDriveRootHost(first.path());
  ASSERT_EQ(host->OpenUserKey("Orvo\\Config", true), kErrorSuccess);
  EXPECT_EQ(NewDriveRootHost(second.path())->OpenUserKey("Orvo\\Config", false),
            kErrorFileNotFound);
}

}  // namespace
}  // namespace orvo
