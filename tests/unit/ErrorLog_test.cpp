#include "web/ErrorLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "host/AllowedFolders.h"
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

// Every case runs confined to C:\Dados with that as the current folder, as a request's line is
// written: the log file is the program's own and is reached all the same.
TEST(ErrorLogTest, TheLineGoesToTheHostsLogAndToTheConfiguredFile) {
  const std::string logFile = "LogFile=C:\\Logs\\orvo.log\r\n";
  struct Case {
    const char* what;
    std::string config;          // "" for no configuration file, "/" for a folder in its place
    std::string earlier;         // c/Logs/orvo.log before the failure ("" for none)
    std::string expected;        // the log file afterwards ("" for none)
    std::string notInFile = "";  // why the line is not in it, told in the host's log (the
                                 // system's text left out)
    const char* file = "c/Logs/orvo.log";  // where the log file is on disk
  } cases[] = {
      {"no configuration", "", "", ""},
      {"a new file", "[Orvo.FrameWork]\r\n" + logFile, "", std::string(kLine) + "\n"},
      {"appended", "[orvo.framework]\r\nlogfile=\"C:\\Logs\\orvo.log\"\r\n", "earlier\n",
       "earlier\n" + std::string(kLine) + "\n"},
      {"beside the configuration", "[Orvo.FrameWork]\r\nLogFile=orvo.log\r\n", "",
       std::string(kLine) + "\n", "", "c/Orvo/Orvo.Net/Config/orvo.log"},
      {"at the root of its drive", "[Orvo.FrameWork]\r\nLogFile=\\Logs\\orvo.log\r\n", "",
       std::string(kLine) + "\n"},
      {"a folder", "[Orvo.FrameWork]\r\nLogFile=C:\\Logs\r\n", "", "",
       "Cannot open file \"C:\\Logs\". "},
      {"a missing folder", "[Orvo.FrameWork]\r\nLogFile=C:\\Nada\\orvo.log\r\n", "", "",
       "Cannot open file \"C:\\Nada\\orvo.log\". "},
      {"an unreadable configuration", "/", "", "",
       "Cannot open file \"C:\\Orvo\\Orvo.Net\\Config\\Orvo.Config\". "},
  };
  for (const Case& c : cases) {
    test::DriveRoot root("c");
    RecordingHost host(&root.host());
    fs::create_directories(root.Disk("c/Logs"));
    fs::create_directories(root.Disk("c/Dados"));
    if (c.config == "/") fs::create_directories(root.Disk(kConfig));
    if (!c.config.empty() && c.config != "/") test::WriteHostFile(root.Disk(kConfig), c.config);
    if (!c.earlier.empty()) test::WriteHostFile(root.Disk(c.file), c.earlier);
    ASSERT_EQ(host.SetCurrentFolder("C:\\Dados"), kErrorSuccess);
    {
      ScopedConfinement confined(host, AllowedFolders::Parse("C:\\Dados"));
      LogFailure("POST", "/lerxml", "EFOpenError", "Cannot open file \"x\"");
    }
    ASSERT_EQ(host.operatorLog.size(), 1u) << c.what;
    const std::string& told = host.operatorLog[0];
    if (c.notInFile.empty()) {
      EXPECT_EQ(told, kLine) << c.what;
    } else {
      EXPECT_EQ(told.substr(0, told.find(". ") + 2), kLine + (" [not in LogFile: " + c.notInFile))
          << c.what;
      EXPECT_EQ(told.back(), ']') << c.what;
    }
    EXPECT_EQ(host.stderrBytes, "") << c.what;
    const std::string log = root.Disk(c.file);
    EXPECT_EQ(test::HostPathExists(log) ? test::ReadHostFile(log) : "", c.expected) << c.what;
    EXPECT_FALSE(test::HostPathExists(root.Disk("c/Nada"))) << c.what;
    EXPECT_FALSE(test::HostPathExists(root.Disk("c/Dados/orvo.log"))) << c.what;
  }
}

// One line a failure, and every line reads back to the bytes logged: control characters and a
// backslash that could begin an escape are written as \xHH.
TEST(ErrorLogTest, EscapingIsOneToOne) {
  const std::pair<const char*, const char*> cases[] = {
      {"a\nb\r", "a\\x0Ab\\x0D"},
      {"literal \\x0A", "literal \\x5Cx0A"},
      {"D:\\Lotes\\xml\\a.xml", "D:\\Lotes\\x5Cxml\\a.xml"},
      {"D:\\Lotes\\", "D:\\Lotes\\"},
      {"\x7F\x01\xE3", "\\x7F\\x01\xE3"},
  };
  for (const auto& [message, logged] : cases) {
    EXPECT_EQ(FailureLine({2024, 1, 15, 14, 3, 12, 0}, "POST", "/x", "E", message),
              "2024-01-15 14:03:12 POST /x E: " + std::string(logged))
        << message;
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
