#include "web/ErrorLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "host/HostWrapper.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;

// Records where the log's line goes, with a fixed clock.
class RecordingHost : public HostWrapper {
 public:
  explicit RecordingHost(Host* target) : HostWrapper(target) { Host::SetDefault(this); }
  ~RecordingHost() override { Host::SetDefault(nullptr); }
  LocalTime LocalNow() override { return {2024, 1, 15, 14, 3, 12, 0}; }
  void WriteStderr(const void* buffer, size_t count) override {
    stderrBytes.append(static_cast<const char*>(buffer), count);
  }
  void WriteOperatorLog(const std::string& line) override { operatorLog.push_back(line); }

  std::vector<std::string> operatorLog;
  std::string stderrBytes;
};

const char kLine[] = "2024-01-15 14:03:12 POST /lerxml EFOpenError: Cannot open file \"x\"";
const char kConfig[] = "c/Orvo/Orvo.Net/Config/Orvo.Config";

TEST(ErrorLogTest, TheLineGoesToTheHostsLogAndToTheConfiguredFile) {
  struct Case {
    const char* what;
    std::string config;    // "" for no configuration file, "/" for a folder in its place
    std::string earlier;   // c/Logs/orvo.log before the failure ("" for none)
    std::string expected;  // c/Logs/orvo.log afterwards ("" for none)
  } cases[] = {
      {"no configuration", "", "", ""},
      {"a new file", "[Orvo.FrameWork]\r\nLogFile=C:\\Logs\\orvo.log\r\n", "",
       std::string(kLine) + "\n"},
      {"appended", "[orvo.framework]\r\nlogfile=\"C:\\Logs\\orvo.log\"\r\n", "earlier\n",
       "earlier\n" + std::string(kLine) + "\n"},
      {"a folder", "[Orvo.FrameWork]\r\nLogFile=C:\\Logs\r\n", "", ""},
      {"a missing folder", "[Orvo.FrameWork]\r\nLogFile=C:\\Nada\\orvo.log\r\n", "", ""},
      {"an unreadable configuration", "/", "", ""},
  };
  for (const Case& c : cases) {
    test::DriveRoot root("c");
    RecordingHost host(&root.host());
    fs::create_directories(root.Disk("c/Logs"));
    if (c.config == "/") fs::create_directories(root.Disk(kConfig));
    if (!c.config.empty() && c.config != "/") test::WriteHostFile(root.Disk(kConfig), c.config);
    if (!c.earlier.empty()) test::WriteHostFile(root.Disk("c/Logs/orvo.log"), c.earlier);

    LogFailure("POST", "/lerxml", "EFOpenError", "Cannot open file \"x\"");

    EXPECT_EQ(host.operatorLog, std::vector<std::string>{kLine}) << c.what;
    EXPECT_EQ(host.stderrBytes, "") << c.what;
    const std::string log = root.Disk("c/Logs/orvo.log");
    EXPECT_EQ(test::HostPathExists(log) ? test::ReadHostFile(log) : "", c.expected) << c.what;
    EXPECT_FALSE(test::HostPathExists(root.Disk("c/Nada"))) << c.what;
  }
}

// Appends land at the end as it is at each write, whoever wrote last, while others read it.
TEST(ErrorLogTest, AppendsOfSeveralOpensNeverOverwriteEachOther) {
  test::DriveRoot root("c");
  Host& host = root.host();
  std::unique_ptr<FileHandle> first, second, reader;
  for (auto [file, access] : {std::pair{&first, FileAccess::kAppend},
                              {&second, FileAccess::kAppend},
                              {&reader, FileAccess::kRead}}) {
    ASSERT_EQ(host.OpenFile("C:\\log", access, {true, true}, FileDisposition::kOpenAlways, file),
              kErrorSuccess);
  }
  size_t done = 0;
  for (auto [file, text] : {std::pair{&first, "one\n"}, {&second, "two\n"}, {&first, "three\n"}}) {
    EXPECT_EQ((*file)->Write(text, std::char_traits<char>::length(text), &done), kErrorSuccess);
  }
  char byte;
  EXPECT_EQ(first->Read(&byte, 1, &done), kErrorAccessDenied);
  EXPECT_EQ(test::ReadHostFile(root.Disk("c/log")), "one\ntwo\nthree\n");
}

}  // namespace
}  // namespace orvo
