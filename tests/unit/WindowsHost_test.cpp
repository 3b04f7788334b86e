// The Windows host: the system's own answers through the host's contract, on a drive root of
// the test's own (drive X is the folder <root>\x).
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "TestSupport.h"
#include "host/Host.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;
using test::ReadHostFile;
using test::WriteHostFile;

class WindowsHostTest : public ::testing::Test {
 protected:
  std::string Disk(const std::string& relative) const { return drives_.Disk(relative); }
  Host& host() { return drives_.host(); }

  // The names and attribute words a search yields, in order.
  std::vector<std::pair<std::string, uint32_t>> Search(const std::string& pattern) {
    std::vector<std::pair<std::string, uint32_t>> found;
    std::unique_ptr<DirSearch> search;
    FindData entry;
    if (host().FindFirst(pattern, &search, &entry) != kErrorSuccess) return found;
    do found.emplace_back(entry.name, entry.attributes);
    while (search->Next(&entry) == kErrorSuccess);
    return found;
  }

  WinError Open(const std::string& path, FileAccess access, FileShare share,
                FileDisposition disposition, std::unique_ptr<FileHandle>* file) {
    return host().OpenFile(path, access, share, disposition, file);
  }

  test::DriveRoot drives_;
};

TEST_F(WindowsHostTest, PathsResolveAgainstTheHostsOwnCurrentFolder) {
  fs::create_directories(Disk("c/work"));
  ASSERT_EQ(host().SetCurrentFolder("c:/work"), kErrorSuccess);
  EXPECT_EQ(host().GetCurrentFolder(), "c:\\work");
  struct Case {
    const char* path;
    const char* full;
  } cases[] = {
      {"a.txt", "c:\\work\\a.txt"},
      {"sub\\..\\a.txt", "c:\\work\\a.txt"},
      {"\\x\\y", "c:\\x\\y"},
      {"D:\\a\\..\\..\\b", "D:\\b"},
      {"D:relative", "D:\\relative"},
      {"c:relative", "c:\\work\\relative"},
      {"C:", "C:\\work"},
      {"..\\..", "c:\\"},
      {"D:\\Movel//Lotes\\", "D:\\Movel\\Lotes\\"},
  };
  for (const Case& c : cases) {
    std::string full;
    EXPECT_EQ(host().FullPathName(c.path, &full), kErrorSuccess) << c.path;
    EXPECT_EQ(full, c.full) << c.path;
  }
  std::string full;
  EXPECT_EQ(host().FullPathName("", &full), kErrorInvalidName);

  // A failed change leaves the current folder where it was.
  WriteHostFile(Disk("c/work/file"), "");
  EXPECT_EQ(host().SetCurrentFolder("C:\\missing"), kErrorFileNotFound);
  EXPECT_EQ(host().SetCurrentFolder("C:\\work\\file"), kErrorDirectory);
  EXPECT_EQ(host().GetCurrentFolder(), "c:\\work");
  EXPECT_EQ(host().SetCurrentFolder("\\"), kErrorSuccess);
  EXPECT_EQ(host().GetCurrentFolder(), "c:\\");
}

TEST_F(WindowsHostTest, SearchesYieldDotEntriesFirstExceptAtTheDriveRoot) {
  for (const char* name : {"c/d/b.dwl", "c/d/A.dwl", "c/d/c.xml", "c/top.dwl"}) {
    WriteHostFile(Disk(name), "");
  }
  fs::create_directories(Disk("c/d/sub"));
  using Entries = std::vector<std::pair<std::string, uint32_t>>;
  EXPECT_EQ(
      Search("C:\\d\\*.*"),
      (Entries{{".", 16}, {"..", 16}, {"A.dwl", 32}, {"b.dwl", 32}, {"c.xml", 32}, {"sub", 16}}));
  EXPECT_EQ(Search("C:\\D\\*.DWL"), (Entries{{"A.dwl", 32}, {"b.dwl", 32}}));
  EXPECT_EQ(Search("C:\\*"), (Entries{{"d", 16}, {"top.dwl", 32}}));

  std::unique_ptr<DirSearch> search;
  FindData entry;
  EXPECT_EQ(host().FindFirst("C:\\d\\*.png", &search, &entry), kErrorFileNotFound);
  EXPECT_EQ(host().FindFirst("C:\\none\\*.*", &search, &entry), kErrorPathNotFound);
  EXPECT_EQ(search, nullptr);
}

TEST_F(WindowsHostTest, FoldersAndFilesFailWithTheSystemsCodes) {
  uint32_t attributes = 0;
  EXPECT_EQ(host().GetAttributes("C:\\", &attributes), kErrorSuccess);
  EXPECT_NE(attributes & kAttrDirectory, 0u);
  EXPECT_EQ(host().GetAttributes("C:\\none", &attributes), kErrorFileNotFound);
  EXPECT_EQ(host().GetAttributes("C:\\none\\a", &attributes), kErrorPathNotFound);
  EXPECT_EQ(host().GetAttributes("Q:\\", &attributes), kErrorPathNotFound);  // no such drive

  EXPECT_EQ(host().CreateFolder("C:\\a"), kErrorSuccess);
  EXPECT_EQ(host().CreateFolder("C:\\a"), kErrorAlreadyExists);
  EXPECT_EQ(host().CreateFolder("C:\\b\\c"), kErrorPathNotFound);
  WriteHostFile(Disk("c/a/f"), "");
  EXPECT_EQ(host().RemoveFolder("C:\\a"), kErrorDirNotEmpty);
  EXPECT_EQ(host().RemoveFile("C:\\a\\f"), kErrorSuccess);
  EXPECT_EQ(host().RemoveFile("C:\\a\\f"), kErrorFileNotFound);
  EXPECT_EQ(host().RemoveFolder("C:\\a"), kErrorSuccess);

  std::unique_ptr<FileHandle> file;
  EXPECT_EQ(Open("C:\\f", FileAccess::kReadWrite, {}, FileDisposition::kCreateNew, &file),
            kErrorSuccess);
  std::unique_ptr<FileHandle> other;
  EXPECT_EQ(Open("C:\\F", FileAccess::kRead, {true, true}, FileDisposition::kOpenExisting, &other),
            kErrorSharingViolation);
  file.reset();
  EXPECT_EQ(Open("C:\\f", FileAccess::kRead, {}, FileDisposition::kCreateNew, &other),
            kErrorFileExists);
  EXPECT_EQ(other, nullptr);
}

TEST_F(WindowsHostTest, FileTransfersAndLength) {
  std::unique_ptr<FileHandle> file;
  ASSERT_EQ(Open("D:\\f", FileAccess::kReadWrite, {}, FileDisposition::kCreateAlways, &file),
            kErrorSuccess);
  size_t done = 0;
  EXPECT_EQ(file->Write("0123456789", 10, &done), kErrorSuccess);
  EXPECT_EQ(done, 10u);
  int64_t position = -1;
  EXPECT_EQ(file->Seek(-4, SeekOrigin::kEnd, &position), kErrorSuccess);
  EXPECT_EQ(position, 6);
  EXPECT_EQ(file->Seek(-1, SeekOrigin::kBegin, &position), kErrorNegativeSeek);
  EXPECT_EQ(position, 6);
  EXPECT_EQ(file->SetEndOfFile(), kErrorSuccess);
  EXPECT_EQ(file->Flush(), kErrorSuccess);
  char bytes[16];
  EXPECT_EQ(file->Seek(0, SeekOrigin::kBegin, &position), kErrorSuccess);
  EXPECT_EQ(file->Read(bytes, sizeof bytes, &done), kErrorSuccess);
  EXPECT_EQ(std::string(bytes, done), "012345");
  file.reset();

  ASSERT_EQ(Open("D:\\f", FileAccess::kWrite, {}, FileDisposition::kOpenExisting, &file),
            kErrorSuccess);
  EXPECT_EQ(file->Read(bytes, 1, &done), kErrorAccessDenied);
  EXPECT_EQ(done, 0u);
}

TEST_F(WindowsHostTest, MovesReplaceOnlyWhenAsked) {
  WriteHostFile(Disk("c/a"), "a");
  WriteHostFile(Disk("c/b"), "b");
  EXPECT_EQ(host().MovePath("C:\\a", "C:\\b", false), kErrorAlreadyExists);
  EXPECT_EQ(ReadHostFile(Disk("c/b")), "b");
  EXPECT_EQ(host().MovePath("C:\\a", "D:\\a", false), kErrorSuccess);  // to another drive too
  EXPECT_EQ(host().MovePath("D:\\a", "C:\\b", true), kErrorSuccess);
  EXPECT_EQ(ReadHostFile(Disk("c/b")), "a");

  // A replace that cannot be made leaves both files.
  WriteHostFile(Disk("c/new"), "new");
  std::unique_ptr<FileHandle> reader;
  ASSERT_EQ(Open("C:\\b", FileAccess::kRead, {}, FileDisposition::kOpenExisting, &reader),
            kErrorSuccess);
  EXPECT_EQ(host().MovePath("C:\\new", "C:\\b", true), kErrorSharingViolation);
  reader.reset();
  fs::permissions(Disk("c/b"), fs::perms::owner_write, fs::perm_options::remove);
  EXPECT_EQ(host().MovePath("C:\\new", "C:\\b", true), kErrorAccessDenied);
  EXPECT_EQ(ReadHostFile(Disk("c/b")), "a");
  EXPECT_EQ(ReadHostFile(Disk("c/new")), "new");
}

TEST_F(WindowsHostTest, UserStoreKeepsTypedValuesUnderTheRootsOwnKey) {
  const std::string key = "Orvo\\Config\\General";
  EXPECT_EQ(host().OpenUserKey(key, false), kErrorFileNotFound);
  EXPECT_EQ(host().OpenUserKey(key, true), kErrorSuccess);
  EXPECT_EQ(host().OpenUserKey(key, false), kErrorSuccess);
  const RegistryValue values[] = {
      {RegistryType::kString, std::string("1\0garbage", 9)},
      {RegistryType::kExpandString, "%TEMP%\\x"},
      {RegistryType::kInteger, std::string("\x50\x1f\0\0", 4)},
      {RegistryType::kBinary, std::string("\0\xff\x01", 3)},
  };
  for (const RegistryValue& value : values) {
    ASSERT_EQ(host().WriteUserValue(key, "Value", value), kErrorSuccess);
    RegistryValue read;
    ASSERT_EQ(host().ReadUserValue(key, "VALUE", &read), kErrorSuccess);
    EXPECT_EQ(read.type, value.type);
    EXPECT_EQ(read.data, value.data);
  }
  RegistryValue untouched{RegistryType::kBinary, "x"};
  EXPECT_EQ(host().ReadUserValue(key, "Missing", &untouched), kErrorFileNotFound);
  EXPECT_EQ(untouched.data, "x");
  // Another root sees nothing of it.
  EXPECT_EQ(NewDriveRootHost(test::TempDir().path())->OpenUserKey(key, false), kErrorFileNotFound);
}

TEST(WindowsSystemTest, ProcessLocaleAndLibraries) {
  Host& host = Host::Default();
  const std::string text = host.ErrorText(kErrorFileNotFound);
  ASSERT_GT(text.size(), 3u);
  EXPECT_EQ(text.substr(text.size() - 3), ".\r\n");
  EXPECT_EQ(host.ErrorText(0xDEADBEEF), "");
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

}  // namespace
}  // namespace orvo
