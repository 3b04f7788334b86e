// The directory walk and file routines over a Linux host on a temporary root.
#include "module/Utils.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"
#include "common/SysUtils.h"
#include "common/SysUtilsFiles.h"
#include "host/Host.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;
using test::WriteHostFile;

TEST(ReplaceTextTest, ReplacesEveryOccurrence) {
  struct Case {
    std::string text, search, replacement, result;
  } cases[] = {
      {"NF_TF01.xml", "TF", "TM", "NF_TM01.xml"},
      {"TFTF.xml", "TF", "TM", "TMTM.xml"},
      {"NF_01.xml", "TF", "TM", "NF_01.xml"},
      {"tf_TF", "TF", "TM", "tf_TM"},  // letter case counts
      {"TTFF", "TF", "TM", "TTMF"},
      {"TFF", "TF", "T", "TF"},  // scanning resumes after the inserted text
      {"aaa", "a", "aa", "aaaaaa"},
      {"", "TF", "TM", ""},
      {"abc", "", "x", "abc"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReplaceText(c.text, c.search, c.replacement), c.result) << c.text;
  }
}

class UtilsTest : public ::testing::Test {
 protected:
  std::string Disk(const std::string& relative) const { return drives_.Disk(relative); }

  test::DriveRoot drives_;
  TUnreadFolders unread_;
};

TEST_F(UtilsTest, CollectFilesWalksSubFoldersFirst) {
  for (const char* name : {"Img/b.png", "Img/a.png", "Img/sub/c.png", "Img/sub/z/d.png",
                           "Img/sub/e.txt", "Img/.hidden.png", "Img/.oculta/f.png"}) {
    WriteHostFile(Disk(std::string("d/") + name), "");
  }
  fs::permissions(Disk("d/Img/b.png"), fs::perms::owner_write, fs::perm_options::remove);
  SetWorkDir("C:\\");
  TStringList list;
  list.Add("kept");
  CollectFiles("D:\\Img", "*.png", list, unread_);
  EXPECT_EQ(list.Text(),
            "kept\r\nD:\\Img\\sub\\z\\d.png\r\nD:\\Img\\sub\\c.png\r\nD:\\Img\\a.png\r\n"
            "D:\\Img\\b.png\r\n");
  EXPECT_EQ(GetWorkDir(), "C:\\");
  EXPECT_EQ(ListFiles("D:\\Img\\sub\\z", "*.txt", unread_), "");
}

TEST_F(UtilsTest, WalkNeverFollowsLinks) {
#ifdef _WIN32
  GTEST_SKIP() << "the C++ library of this build makes no links on Windows; the end-to-end "
                  "listing test makes them from Linux for the Windows program";
#endif
  WriteHostFile(Disk("d/Img/a.png"), "");
  WriteHostFile(Disk("d/Img/sub/b.png"), "");
  WriteHostFile(Disk("d/Outro/c.png"), "");
  fs::create_directory_symlink(Disk("d/Img"), Disk("d/Img/loop"));
  fs::create_directory_symlink("..", Disk("d/Img/sub/up"));
  fs::create_directory_symlink("../../Outro", Disk("d/Img/sub/outro"));
  fs::create_symlink("a.png", Disk("d/Img/link.png"));  // a linked file is a file
  EXPECT_EQ(ListFiles("D:\\Img", "*.png", unread_),
            "D:\\Img\\sub\\b.png\r\nD:\\Img\\a.png\r\nD:\\Img\\link.png\r\n");
}

TEST_F(UtilsTest, RelativeStartFolderFailsOnItsFirstSubFolder) {
  WriteHostFile(Disk("d/Img/sub/c.png"), "");
  WriteHostFile(Disk("d/Img/a.png"), "");
  SetWorkDir("D:\\");
  // Inside Img the sub-folder's path Img\sub means D:\Img\Img\sub.
  EXPECT_THROW(ListFiles("Img", "*.png", unread_), EInOutError);
  SetWorkDir("D:\\Img\\sub");
  EXPECT_EQ(ListFiles(".", "*.png", unread_), ".\\c.png\r\n");
}

TEST_F(UtilsTest, GetFileDateRoundsDownToEvenSeconds) {
  test::SetTimeZone("UTC");
  WriteHostFile(Disk("d/a.xml"), "");
  test::SetUtcWriteTime(Disk("d/a.xml"), 2024, 1, 15, 10, 15, 37, 900000);
  EXPECT_EQ(GetFileDate("D:\\a.xml"), EncodeDate(2024, 1, 15) + EncodeTime(10, 15, 36, 0));

  // A missing name or a folder: the current date and time.
  fs::create_directories(Disk("d/pasta"));
  for (const char* name : {"D:\\nada.xml", "D:\\pasta"}) {
    const TDateTime before = Now();
    const TDateTime date = GetFileDate(name);
    EXPECT_GE(date, before) << name;
    EXPECT_LE(date, Now()) << name;
  }
}

}  // namespace
}  // namespace orvo
