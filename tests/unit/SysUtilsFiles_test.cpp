// File-system primitives over a Linux host on a temporary root.
#include "common/SysUtilsFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "TestSupport.h"
#include "common/SysUtils.h"
#include "host/Host.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;
using test::HostPathExists;
using test::ReadHostFile;
using test::WriteHostFile;

class SysUtilsFilesTest : public ::testing::Test {
 protected:
  std::string Disk(const std::string& relative) const { return drives_.Disk(relative); }

  std::vector<std::string> Search(const std::string& pattern, uint8_t filter) {
    std::vector<std::string> names;
    TSearchRec rec;
    for (int32_t error = SearchFirst(pattern, filter, rec); error == 0; error = SearchNext(rec)) {
      names.push_back(rec.EntryName);
    }
    SearchClose(rec);
    SearchClose(rec);  // closing twice is harmless
    return names;
  }

  test::DriveRoot drives_{"c"};
};

TEST_F(SysUtilsFilesTest, FileIsPresentLooksAtTheFirstMatch) {
  WriteHostFile(Disk("c/x/a.dwl"), "");
  fs::create_directories(Disk("c/x/folder.dwl"));
  fs::create_directories(Disk("c/y/b.dwl"));
  WriteHostFile(Disk("c/y/c.dwl"), "");
  EXPECT_TRUE(FileIsPresent("C:\\x\\a.dwl"));
  EXPECT_TRUE(FileIsPresent("C:\\x\\*.dwl"));   // a.dwl comes first
  EXPECT_FALSE(FileIsPresent("C:\\y\\*.dwl"));  // the folder b.dwl comes first
  EXPECT_FALSE(FileIsPresent("C:\\x\\folder.dwl"));
  EXPECT_FALSE(FileIsPresent("C:\\x\\missing.dwl"));
  EXPECT_FALSE(FileIsPresent("C:\\missing\\a.dwl"));
}

TEST_F(SysUtilsFilesTest, FileIsPresentNeedsAFatDate) {
  WriteHostFile(Disk("c/old"), "");
  WriteHostFile(Disk("c/recent"), "");
  auto touch = [&](const char* name, int year) {
    test::SetUtcWriteTime(Disk(name), year, 6, 15, 0, 0, 0);
  };
  touch("c/old", 1975);
  touch("c/recent", 2020);
  EXPECT_FALSE(FileIsPresent("C:\\old"));
  EXPECT_TRUE(FileIsPresent("C:\\recent"));
  touch("c/recent", 2110);
  EXPECT_FALSE(FileIsPresent("C:\\recent"));
}

TEST_F(SysUtilsFilesTest, DirIsPresent) {
  fs::create_directories(Disk("c/dir"));
  WriteHostFile(Disk("c/file"), "");
  EXPECT_TRUE(DirIsPresent("C:\\dir"));
  EXPECT_TRUE(DirIsPresent("C:\\"));
  EXPECT_FALSE(DirIsPresent("C:\\file"));
  EXPECT_FALSE(DirIsPresent("C:\\missing"));
}

TEST_F(SysUtilsFilesTest, CreateDirPath) {
  try {
    CreateDirPath("");
    ADD_FAILURE() << "no exception";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Message(), "Unable to create directory");
    EXPECT_EQ(e.ErrorCode(), 3);
  }
  EXPECT_TRUE(CreateDirPath("C:\\"));
  EXPECT_TRUE(CreateDirPath("C:"));
  EXPECT_EQ(std::distance(fs::directory_iterator(Disk("c")), fs::directory_iterator()), 0);
  // Made where the resolved path says, relative ones against the current folder.
  EXPECT_TRUE(CreateDirPath("\\NOVA\\.\\"));
  EXPECT_TRUE(CreateDirPath("NOVA\\x\\..\\y. .//z"));
  EXPECT_TRUE(fs::is_directory(Disk("c/NOVA/y/z")));
  EXPECT_FALSE(HostPathExists(Disk("c/NOVA/x")));

  fs::create_directories(Disk("c/a"));
  EXPECT_TRUE(CreateDirPath("C:\\a\\b\\c"));
  EXPECT_TRUE(fs::is_directory(Disk("c/a/b/c")));
  EXPECT_TRUE(CreateDirPath("C:\\a\\d\\"));
  EXPECT_TRUE(fs::is_directory(Disk("c/a/d")));
  EXPECT_TRUE(CreateDirPath("D:"));  // a bare drive counts as present

  WriteHostFile(Disk("c/f/file"), "");
  EXPECT_FALSE(CreateDirPath("C:\\f\\file\\x"));
  EXPECT_FALSE(CreateDirPath("Q:\\x\\y"));  // no such drive
  EXPECT_FALSE(CreateDirPath("C:\\a\\bad|name"));

  // A path the host refuses (248 characters or more for a new folder) makes no folder at all,
  // and costs no more than its length.
  std::string deep = "C:\\deep";
  for (int i = 0; i < 50000; ++i) deep += "\\a";
  EXPECT_FALSE(CreateDirPath(deep));
  EXPECT_FALSE(HostPathExists(Disk("c/deep")));
  EXPECT_FALSE(CreateDirPath("C:\\new\\NUL"));
  EXPECT_FALSE(HostPathExists(Disk("c/new")));
}

TEST_F(SysUtilsFilesTest, SearchFiltersAsTheWalkNeedsThem) {
  fs::create_directories(Disk("c/x/sub"));
  WriteHostFile(Disk("c/x/.hidden"), "");
  WriteHostFile(Disk("c/x/one.txt"), "");
  WriteHostFile(Disk("c/x/two.txt"), "");
  WriteHostFile(Disk("c/x/ro.txt"), "");
  fs::permissions(Disk("c/x/ro.txt"), fs::perms::owner_write, fs::perm_options::remove);
  EXPECT_EQ(Search("C:\\x\\*.*", attrArchive),
            (std::vector<std::string>{"one.txt", "ro.txt", "two.txt"}));
  EXPECT_EQ(Search("C:\\x\\*.*", attrDirectory),
            (std::vector<std::string>{".", "..", "one.txt", "ro.txt", "sub", "two.txt"}));
  EXPECT_EQ(Search("C:\\x\\*.png", attrArchive), std::vector<std::string>{});

  TSearchRec rec;
  EXPECT_EQ(SearchFirst("C:\\x\\s*", attrArchive, rec), 18);  // only a folder matches
  EXPECT_EQ(rec.Search, nullptr);
  EXPECT_EQ(SearchFirst("C:\\x\\*.png", attrArchive, rec), 2);
  EXPECT_EQ(SearchFirst("C:\\none\\*", attrArchive, rec), 3);
  ASSERT_EQ(SearchFirst("C:\\x\\sub", attrDirectory, rec), 0);
  EXPECT_EQ(rec.AttrBits(), 16);
  EXPECT_EQ(rec.SkipAttrs, 14);
  EXPECT_EQ(SearchNext(rec), 18);
}

TEST_F(SysUtilsFilesTest, RenameEntryNeverReplaces) {
  WriteHostFile(Disk("c/x/a.dwl"), "batch");
  WriteHostFile(Disk("c/x/a.xml"), "verified");
  EXPECT_FALSE(RenameEntry("C:\\x\\a.dwl", "C:\\x\\a.xml"));
  EXPECT_EQ(ReadHostFile(Disk("c/x/a.dwl")), "batch");
  EXPECT_EQ(ReadHostFile(Disk("c/x/a.xml")), "verified");
  EXPECT_FALSE(RenameEntry("C:\\x\\missing", "C:\\x\\b"));
  fs::create_directories(Disk("c/y"));
  EXPECT_TRUE(RenameEntry("C:\\x\\a.dwl", "C:\\y\\b.dwl"));
  EXPECT_EQ(ReadHostFile(Disk("c/y/b.dwl")), "batch");
  EXPECT_TRUE(RenameEntry("C:\\y\\b.dwl", "C:\\y\\\\b.dwl"));  // the same entry
  EXPECT_TRUE(HostPathExists(Disk("c/y/b.dwl")));
}

TEST(FileNameTest, PartsAndExtensions) {
  struct Case {
    const char* name;
    const char* path;
    const char* leaf;
    const char* withXml;
  } cases[] = {
      {"C:\\x\\a.dwl", "C:\\x\\", "a.dwl", "C:\\x\\a.xml"},
      {"C:\\x.y\\a", "C:\\x.y\\", "a", "C:\\x.y\\a.xml"},
      {"a.b.c", "", "a.b.c", "a.b.xml"},
      {"C:\\x\\TF01.xml", "C:\\x\\", "TF01.xml", "C:\\x\\TF01.xml"},
      {"dir/a.xml", "dir/", "a.xml", "dir/a.xml"},
      {"D:\\Lotes/TFSTORE/x_TF.xml", "D:\\Lotes/TFSTORE/", "x_TF.xml",
       "D:\\Lotes/TFSTORE/x_TF.xml"},
      {"a.b/c", "a.b/", "c", "a.b/c.xml"},
      {"C:a", "C:", "a", "C:a.xml"},
      {"C:\\x\\", "C:\\x\\", "", "C:\\x\\.xml"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExtractFilePath(c.name), c.path) << c.name;
    EXPECT_EQ(ExtractFileLeaf(c.name), c.leaf) << c.name;
    EXPECT_EQ(ReplaceFileExt(c.name, ".xml"), c.withXml) << c.name;
  }
  EXPECT_EQ(ReplaceFileExt("C:\\x\\a.dwl", ""), "C:\\x\\a");
}

TEST_F(SysUtilsFilesTest, WorkDirAndItsErrors) {
  fs::create_directories(Disk("c/a/b"));
  WriteHostFile(Disk("c/file"), "");
  SetWorkDir("C:\\a");
  EXPECT_EQ(GetWorkDir(), "C:\\a");
  SetWorkDir("b");
  EXPECT_EQ(GetWorkDir(), "C:\\a\\b");
  struct Case {
    const char* dir;
    const char* message;
    int32_t code;
  } cases[] = {
      {"C:\\missing", "File not found", 2},
      {"C:\\missing\\deeper", "Invalid filename", 3},
      {"C:\\file", "I/O error 267", 267},
      {"C:\\bad|name", "I/O error 123", 123},
  };
  for (const Case& c : cases) {
    try {
      SetWorkDir(c.dir);
      ADD_FAILURE() << c.dir;
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.Message(), c.message) << c.dir;
      EXPECT_EQ(e.ErrorCode(), c.code) << c.dir;
    }
    EXPECT_EQ(GetWorkDir(), "C:\\a\\b");
  }
}

}  // namespace
}  // namespace orvo
