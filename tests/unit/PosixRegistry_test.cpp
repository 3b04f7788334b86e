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

TEST_F(PosixRegistryTest, ValuesKeepTheirTypeAndBytes) {
  const std::vector<std::pair<std::string, RegistryValue>> values = {
      {"Plain", {RegistryType::kString, "http://x/y?a=b&c"}},
      {"Odd bytes", {RegistryType::kString, std::string("a\0b\r\n%41\xE9[x]=#", 15)}},
      {"Expand", {RegistryType::kExpandString, "%HOME%\\x"}},
      {"Number", {RegistryType::kInteger, std::string("\x39\x30\0\0", 4)}},
      {"Blob", {RegistryType::kBinary, std::string("\0\xFF\x10", 3)}},
      {"Name=with[odd]#chars", {RegistryType::kString, ""}},
  };
  for (const auto& [name, value] : values) {
    ASSERT_EQ(host_.WriteUserValue("Orvo\\Config\\General", name, value), kErrorSuccess);
  }
  PosixHost another(dir_.path());  // reads the file anew
  for (const auto& [name, value] : values) {
    RegistryValue read;
    ASSERT_EQ(another.ReadUserValue("ORVO\\config\\general", name, &read), kErrorSuccess) << name;
    EXPECT_EQ(read.type, value.type) << name;
    EXPECT_EQ(read.data, value.data) << name;
  }
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
