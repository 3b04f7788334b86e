// File streams and the string list's file operations over a Linux host on a temporary root.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "common/Classes.h"
#include "common/SysUtils.h"
#include "host/Host.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;
using test::ReadHostFile;
using test::WriteHostFile;

const std::string kNotFound = test::SystemText(2, "The system cannot find the file specified");
const std::string kNoPath = test::SystemText(3, "The system cannot find the path specified");
const std::string kDenied = test::SystemText(5, "Access is denied");
const std::string kInUse = test::SystemText(
    32, "The process cannot access the file because it is being used by another process");
const std::string kBadName =
    test::SystemText(123, "The filename, directory name, or volume label syntax is incorrect");

class StreamsTest : public ::testing::Test {
 protected:
  StreamsTest() {
    fs::create_directories(Disk("c/x"));
    drives_.host().SetCurrentFolder("C:\\x");
  }
  std::string Disk(const std::string& relative) const { return drives_.Disk(relative); }
  size_t EntriesIn(const std::string& relative) const {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(Disk(relative)), fs::directory_iterator()));
  }

  // The message of what `action` throws as E, or "" when it throws nothing.
  template <typename E, typename F>
  std::string MessageOf(F action) {
    try {
      action();
    } catch (const E& e) {
      return e.Message();
    }
    return "";
  }

  test::DriveRoot drives_{"c"};
};

TEST_F(StreamsTest, OpenAndCreateErrorsNameTheFullPathAndTheHostText) {
  EXPECT_EQ(MessageOf<EFOpenError>([] { TFileStream("missing.txt", fmOpenRead); }),
            "Cannot open file \"C:\\x\\missing.txt\". " + kNotFound);
  EXPECT_EQ(MessageOf<EFCreateError>([] { TFileStream("C:\\x\\no\\a.dwl", fmCreate); }),
            "Cannot create file \"C:\\x\\no\\a.dwl\". " + kNoPath);
  EXPECT_EQ(MessageOf<EFCreateError>([] { TFileStream("C:\\x\\a|b.dwl", fmCreate); }),
            "Cannot create file \"C:\\x\\a|b.dwl\". " + kBadName);
  WriteHostFile(Disk("c/x/manual.pdf"), "pdf");
  TFileStream sending("C:\\x\\manual.pdf", fmOpenRead);
  EXPECT_EQ(MessageOf<EFOpenError>(
                [] { TFileStream("C:\\x\\MANUAL.pdf", fmOpenRead | fmShareDenyWrite); }),
            "Cannot open file \"C:\\x\\MANUAL.pdf\". " + kInUse);
}

TEST_F(StreamsTest, ModesGiveTheirAccessAndSharing) {
  WriteHostFile(Disk("c/x/f"), "0123456789");
  {
    TFileStream reader("f", fmOpenRead | fmShareDenyWrite);
    TFileStream another("f", fmOpenRead | fmShareDenyNone);
    EXPECT_NE(MessageOf<EFOpenError>([] { TFileStream("f", fmOpenWrite | fmShareDenyNone); }), "");
    char byte = 'z';
    EXPECT_EQ(reader.Write(&byte, 1), 0);  // no write access
    EXPECT_THROW(reader.WriteBuffer(&byte, 1), EWriteError);
  }
  {
    TFileStream writer("f", fmOpenReadWrite | fmShareExclusive);
    EXPECT_EQ(writer.Size(), 10);
    writer.SetPosition(8);
    writer.WriteBuffer("AB", 2);
    writer.SetSize(4);
    EXPECT_EQ(writer.Size(), 4);
    EXPECT_EQ(writer.Position(), 4);
  }
  EXPECT_EQ(ReadHostFile(Disk("c/x/f")), "0123");
  {
    TFileStream created("f", fmCreate);  // truncates
    EXPECT_EQ(created.Size(), 0);
    created.WriteBuffer("new", 3);
  }
  EXPECT_EQ(ReadHostFile(Disk("c/x/f")), "new");
  EXPECT_NE(MessageOf<EFOpenError>([] { TFileStream("f", 0x0003); }), "");
}

TEST_F(StreamsTest, ReadsAndSeeks) {
  WriteHostFile(Disk("c/x/f"), "abcdef");
  TFileStream stream("f", fmOpenRead);
  char buffer[8] = {};
  EXPECT_EQ(stream.Read(buffer, 4), 4);
  EXPECT_EQ(stream.Read(buffer, 8), 2);  // fewer at the end
  EXPECT_EQ(stream.Read(buffer, 8), 0);
  EXPECT_EQ(stream.Seek(-3, SeekOrigin::kEnd), 3);
  EXPECT_EQ(stream.Seek(1, SeekOrigin::kCurrent), 4);
  EXPECT_EQ(stream.Seek(-10, SeekOrigin::kCurrent), -1);
  stream.SetPosition(5);
  EXPECT_EQ(stream.Size(), 6);
  EXPECT_EQ(stream.Position(), 5);  // Size leaves the position where it was
  EXPECT_THROW(stream.ReadBuffer(buffer, 2), EReadError);
  stream.SetPosition(0);
  stream.ReadBuffer(buffer, 0);  // nothing asked, nothing read
  EXPECT_EQ(stream.Position(), 0);
}

TEST_F(StreamsTest, SaveToFileWritesTheJoinedText) {
  TStringList list;
  list.Add("x\r\ny");
  list.SaveToFile("C:\\x\\a.dwl");
  EXPECT_EQ(ReadHostFile(Disk("c/x/a.dwl")), "x\r\ny\r\n");
  TStringList empty;
  empty.SaveToFile("C:\\x\\A.DWL");  // replaces the file under its existing name
  EXPECT_EQ(ReadHostFile(Disk("c/x/a.dwl")), "");
  EXPECT_EQ(EntriesIn("c/x"), 1u);  // no temporary file left behind
  TStringList loaded;
  loaded.Add("previous");
  loaded.LoadFromFile("a.dwl");
  EXPECT_EQ(loaded.Count(), 0);
}

TEST_F(StreamsTest, LoadFromFileSplitsLines) {
  WriteHostFile(Disk("c/x/in.xml"), "line1\nline2");
  TStringList list;
  list.LoadFromFile("C:\\x\\in.xml");
  EXPECT_EQ(list.Text(), "line1\r\nline2\r\n");
  EXPECT_EQ(MessageOf<EFOpenError>([&] { list.LoadFromFile("C:\\x\\none.xml"); }),
            "Cannot open file \"C:\\x\\none.xml\". " + kNotFound);
  EXPECT_EQ(list.Count(), 2);  // the previous contents stay
}

TEST_F(StreamsTest, TextOfAFileIsTheTextOfItsList) {
  using namespace std::string_literals;
  for (const std::string& bytes :
       {""s, "\r\n"s, "a"s, "a\r\nb"s, "a\nb\n"s, "a\rb\r"s, "a\n\rb"s, "\n\n\n"s, "\r\r\n\n"s,
        "a\0b\nc"s, "\0a"s, "a\r\0b"s, "x\ny\r\rz\xEA"s}) {
    WriteHostFile(Disk("c/x/t.txt"), bytes);
    TStringList list;
    list.LoadFromFile("t.txt");
    EXPECT_EQ(LoadTextFromFile("t.txt"), list.Text()) << testing::PrintToString(bytes);
  }
  EXPECT_EQ(MessageOf<EFOpenError>([] { LoadTextFromFile("none.txt"); }),
            "Cannot open file \"C:\\x\\none.txt\". " + kNotFound);
}

TEST_F(StreamsTest, StreamOperationsStartAtThePosition) {
  WriteHostFile(Disk("c/x/f"), "skip\r\nkeep\r\n");
  {
    TFileStream stream("f", fmOpenReadWrite);  // shares nothing while open
    stream.SetPosition(6);
    TStringList list;
    list.LoadFromStream(stream);
    EXPECT_EQ(list.Text(), "keep\r\n");
    list.Add("more");
    list.SaveToStream(stream);
  }
  EXPECT_EQ(ReadHostFile(Disk("c/x/f")), "skip\r\nkeep\r\nkeep\r\nmore\r\n");
}

TEST_F(StreamsTest, SaveWritesTheBytesOfTheText) {
  // Long strings are written apart from the short ones gathered around them.
  const std::string big(200 * 1024, 'b');
  const std::string edge(64 * 1024, 'e');
  const std::vector<std::vector<std::string>> cases = {
      {},
      {""},
      {big},
      {"a", big, "", "c"},
      {edge, "x", std::string(64 * 1024 - 3, 'y'), "z", big, big},
      std::vector<std::string>(40000, "line"),
  };
  for (const auto& strings : cases) {
    TStringList list;
    for (const std::string& s : strings) list.Add(s);
    list.SaveToFile("C:\\x\\saved.dwl");
    EXPECT_EQ(ReadHostFile(Disk("c/x/saved.dwl")), list.Text()) << strings.size() << " strings";
  }
}

TEST_F(StreamsTest, FailedSaveKeepsTheTargetAndLeavesNoTemporaryFile) {
  WriteHostFile(Disk("c/x/batch.dwl"), "old batch\r\n");
  TStringList list;
  list.Add("new");

  // The target is held open by a manual download-like reader.
  {
    TFileStream holder("C:\\x\\batch.dwl", fmOpenRead);
    EXPECT_EQ(MessageOf<EFCreateError>([&] { list.SaveToFile("C:\\x\\batch.dwl"); }),
              "Cannot create file \"C:\\x\\batch.dwl\". " + kInUse);
  }
  // The target is a folder.
  fs::create_directories(Disk("c/x/folder.dwl"));
  EXPECT_EQ(MessageOf<EFCreateError>([&] { list.SaveToFile("folder.dwl"); }),
            "Cannot create file \"C:\\x\\folder.dwl\". " + kDenied);
  // The target is read-only.
  WriteHostFile(Disk("c/x/locked.dwl"), "kept");
  fs::permissions(Disk("c/x/locked.dwl"), fs::perms::owner_write, fs::perm_options::remove);
  EXPECT_EQ(MessageOf<EFCreateError>([&] { list.SaveToFile("C:\\x\\locked.dwl"); }),
            "Cannot create file \"C:\\x\\locked.dwl\". " + kDenied);
  EXPECT_EQ(ReadHostFile(Disk("c/x/locked.dwl")), "kept");
  // The target name is one that Windows refuses.
  EXPECT_NE(MessageOf<EFCreateError>([&] { list.SaveToFile("C:\\x\\a?.dwl"); }), "");
  EXPECT_EQ(ReadHostFile(Disk("c/x/batch.dwl")), "old batch\r\n");
  EXPECT_EQ(EntriesIn("c/x"), 3u);
}

TEST_F(StreamsTest, SaveThatFailsMidwayKeepsTheOldContent) {
#ifdef _WIN32
  GTEST_SKIP() << "fills the disk with a file size limit in a forked child: Windows has neither";
#else
  WriteHostFile(Disk("c/x/batch.dwl"), "old batch\r\n");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The disk fills up after 4 KiB: the write of the text fails part of the way.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    TStringList list;
    list.Add(std::string(100000, 'x'));
    try {
      list.SaveToFile("C:\\x\\batch.dwl");
    } catch (const EWriteError& e) {
      _exit(e.Message() == "Stream write error" ? 0 : 2);
    } catch (...) {
      _exit(3);
    }
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadHostFile(Disk("c/x/batch.dwl")), "old batch\r\n");
  EXPECT_EQ(EntriesIn("c/x"), 1u);
#endif
}

}  // namespace
}  // namespace orvo
