// The per-user settings store of the Linux host.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "TestSupport.h"
#include "host/posix/PosixHost.h"

namespace orvo {
namespace {

class PosixRegistryTest : public ::testing::Test {
 protected:
  PosixRegistryTest() : host_(dir_.path()) {
    setenv("XDG_CONFIG_HOME", (dir_.path() + "/config").c_str(), 1);
  }
  std::string StoreFile() const { return dir_.path() + "/config/orvo/registry"; }

  test::TempDir dir_;
  PosixHost host_;
};

TEST_F(PosixRegistryTest, KeysAreOpenedOrCreated) {
  EXPECT_EQ(host_.OpenUserKey("Orvo\\Config", false), kErrorFileNotFound);
  EXPECT_FALSE(test::HostPathExists(StoreFile()));
  EXPECT_EQ(host_.OpenUserKey("Orvo\\Config", true), kErrorSuccess);
  EXPECT_EQ(host_.OpenUserKey("orvo\\config\\", false), kErrorSuccess);
  EXPECT_EQ(host_.OpenUserKey("Orvo", false), kErrorSuccess);  // a parent of a key exists
  EXPECT_EQ(host_.OpenUserKey("Orvo\\Config\\General", false), kErrorFileNotFound);
  RegistryValue value;
  EXPECT_EQ(host_.ReadUserValue("Orvo\\Config\\General", "URLBase", &value), kErrorFileNotFound);
}

// A text file of the user's own; what each value keeps is in HostContract_test.
TEST_F(PosixRegistryTest, ValuesAreStoredAsText) {
  ASSERT_EQ(host_.WriteUserValue("Orvo\\Config\\General", "Number",
                                 {RegistryType::kInteger, std::string("\x39\x30\0\0", 4)}),
            kErrorSuccess);
  EXPECT_NE(test::ReadHostFile(StoreFile()).find("Number=dword:12345\n"), std::string::npos);
}

TEST_F(PosixRegistryTest, WritingReplacesAValueWhateverTheLetterCase) {
  ASSERT_EQ(host_.WriteUserValue("K", "Name", {RegistryType::kString, "1"}), kErrorSuccess);
  ASSERT_EQ(host_.WriteUserValue("k", "NAME", {RegistryType::kInteger, std::string(4, '\0')}),
            kErrorSuccess);
  RegistryValue read;
  ASSERT_EQ(host_.ReadUserValue("K", "name", &read), kErrorSuccess);
  EXPECT_EQ(read.type, RegistryType::kInteger);
  std::string text = test::ReadHostFile(StoreFile());
  EXPECT_NE(text.find("\nName=dword:0\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("=sz:"), std::string::npos) << text;
}

}  // namespace
}  // namespace orvo
