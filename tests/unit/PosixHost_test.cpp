// What only the Linux host has: confinement under its root, links, UTF-8 names on disk, flushed
// moves, Windows' path length limits, share modes across processes. The promises of every host
// are in HostContract_test.
#include "host/posix/PosixHost.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "WithoutOpenat2.h"
#include "host/WindowsNames.h"
#include "host/posix/PosixNames.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;
using test::HostPathExists;
using test::ReadHostFile;
using test::WithoutOpenat2;
using test::WriteHostFile;

class PosixHostTest : public ::testing::Test {
 protected:
  PosixHostTest() {
    fs::create_directories(root_.path() + "/c");
    fs::create_directories(root_.path() + "/d");
  }
  std::string Disk(const std::string& relative) const { return root_.path() + "/" + relative; }

  std::vector<std::string> Names(const std::string& pattern) {
    return test::SearchNames(host_, pattern);
  }
  std::string Read(const std::string& path) { return test::ReadThroughHost(host_, path); }

  WinError Open(const std::string& path, FileAccess access, FileShare share,
                FileDisposition disposition, std::unique_ptr<FileHandle>* file) {
    return host_.OpenFile(path, access, share, disposition, file);
  }

  test::TempDir root_;
  test::TempDir outside_;
  PosixHost host_{root_.path()};
};

TEST_F(PosixHostTest, NothingOutsideTheRootIsReached) {
  WriteHostFile(outside_.path() + "/secret", "secret");
  fs::create_directory_symlink(outside_.path(), Disk("c/escape"));
  fs::create_symlink(outside_.path() + "/secret", Disk("c/secret.lnk"));
  fs::create_directories(Disk("c/a/b"));
  fs::create_directory_symlink("../../..", Disk("c/a/up"));  // relative, above the root
  WriteHostFile(root_.path() + "-twin/secret", "secret");    // shares the root's text
  fs::create_directory_symlink(root_.path() + "-twin", Disk("c/twin"));
  ASSERT_EQ(host_.SetCurrentFolder("C:\\a\\b"), kErrorSuccess);
  std::string hostSecret = outside_.path() + "/secret";
  std::string windowsSecret = "C:" + hostSecret;
  std::replace(windowsSecret.begin(), windowsSecret.end(), '/', '\\');
  const std::string attempts[] = {
      "..\\..\\..\\etc\\passwd",
      "C:\\..\\..\\etc\\passwd",
      "/etc/passwd",
      "..\\..\\..\\..\\..\\..\\..\\..\\..\\.." + hostSecret,
      "C:\\..\\..\\..\\.." + hostSecret,
      hostSecret,
      windowsSecret,
      "C:\\escape\\secret",
      "C:\\secret.lnk",
      "C:\\a\\up\\" + fs::path(outside_.path()).filename().string() + "\\secret",
      "C:\\twin\\secret",
      "\\\\localhost\\c$" + hostSecret,
      "//localhost/" + hostSecret,
      "\\\\?\\" + hostSecret,
  };
  for (bool walk : {false, true}) {
    std::optional<WithoutOpenat2> fallback;
    if (walk) fallback.emplace();
    for (const std::string& path : attempts) {
      std::unique_ptr<FileHandle> file;
      EXPECT_NE(Open(path, FileAccess::kRead, {true, true}, FileDisposition::kOpenExisting, &file),
                kErrorSuccess)
          << path;
      EXPECT_NE(Open(path, FileAccess::kWrite, {}, FileDisposition::kCreateAlways, &file),
                kErrorSuccess)
          << path;
      uint32_t attributes = 0;
      EXPECT_NE(host_.GetAttributes(path, &attributes), kErrorSuccess) << path;
      EXPECT_NE(host_.RemoveFile(path), kErrorSuccess) << path;
      EXPECT_NE(host_.MovePath(path, "C:\\taken", false), kErrorSuccess) << path;
      EXPECT_NE(host_.MovePath("C:\\a\\b", path, true), kErrorSuccess) << path;
      EXPECT_TRUE(Names(path).empty()) << path;
    }
    EXPECT_TRUE(Names("C:\\escape\\*").empty());
    EXPECT_EQ(Names("C:\\*"), (std::vector<std::string>{"a"}));  // the links are missing
    EXPECT_EQ(Names("C:\\a\\*"), (std::vector<std::string>{".", "..", "b"}));
    EXPECT_NE(host_.SetCurrentFolder("C:\\escape"), kErrorSuccess);
  }
  EXPECT_EQ(ReadHostFile(hostSecret), "secret");
  EXPECT_EQ(fs::directory_iterator(outside_.path())->path().filename(), "secret");
  EXPECT_EQ(std::distance(fs::directory_iterator(outside_.path()), fs::directory_iterator()), 1);
  fs::remove_all(root_.path() + "-twin");
}

TEST_F(PosixHostTest, ConfinementHoldsWhileAFolderIsSwappedWithALinkOut) {
  WriteHostFile(Disk("d/docs/f.txt"), "inside");
  WriteHostFile(outside_.path() + "/f.txt", "outside");
  WriteHostFile(outside_.path() + "/only-outside.txt", "");
  fs::create_directory_symlink(outside_.path(), Disk("d/swap"));
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop) {
      renameat2(AT_FDCWD, Disk("d/docs").c_str(), AT_FDCWD, Disk("d/swap").c_str(),
                RENAME_EXCHANGE);
    }
  });
  int insideReads = 0;
  for (bool walk : {false, true}) {
    std::optional<WithoutOpenat2> fallback;
    if (walk) fallback.emplace();
    for (int i = 0; i < 1000; ++i) {
      PosixHost host(root_.path());  // resolves from the root every time
      std::unique_ptr<FileHandle> file;
      if (host.OpenFile("D:\\docs\\f.txt", FileAccess::kRead, {true, true},
                        FileDisposition::kOpenExisting, &file) == kErrorSuccess) {
        char bytes[16];
        size_t done = 0;
        file->Read(bytes, sizeof bytes, &done);
        ASSERT_EQ(std::string(bytes, done), "inside") << walk;
        ++insideReads;
      }
      std::unique_ptr<DirSearch> search;
      FindData entry;
      if (host.FindFirst("D:\\docs\\only*", &search, &entry) == kErrorSuccess) {
        ADD_FAILURE() << "listed outside: " << entry.name;
      }
      host.OpenFile("D:\\docs\\new.txt", FileAccess::kWrite, {}, FileDisposition::kCreateAlways,
                    &file);
    }
  }
  stop = true;
  swapper.join();
  EXPECT_GT(insideReads, 0);
  EXPECT_FALSE(HostPathExists(outside_.path() + "/new.txt"));
  EXPECT_EQ(ReadHostFile(outside_.path() + "/f.txt"), "outside");
}

// A walk holds the folders it reached: while held, a folder that others swap with a link out
// still answers for its path, never what the link leads to; after the hold it is proven again.
TEST_F(PosixHostTest, HeldFoldersStayConfinedAndAreProvenAgainAfterTheHold) {
  WriteHostFile(Disk("d/docs/f.txt"), "inside");
  WriteHostFile(outside_.path() + "/only-outside.txt", "");
  fs::create_directory_symlink(outside_.path(), Disk("d/swap"));
  auto swap = [&] {
    ASSERT_EQ(renameat2(AT_FDCWD, Disk("d/docs").c_str(), AT_FDCWD, Disk("d/swap").c_str(),
                        RENAME_EXCHANGE),
              0);
  };
  const std::vector<std::string> inside{"f.txt"};
  {
    std::unique_ptr<FolderHold> hold = host_.HoldFolders();
    EXPECT_EQ(Names("D:\\docs\\*.txt"), inside);
    swap();
    // The folder reached (now named swap) or nothing, never what the link leads to.
    EXPECT_NE(Names("D:\\docs\\*.txt"), std::vector<std::string>{"only-outside.txt"});
    EXPECT_EQ(Names("D:\\swap\\*.txt"), inside);
    EXPECT_TRUE(Names("D:\\docs\\*.txt").empty());  // reached again: the link out
    swap();
    EXPECT_EQ(Names("D:\\docs\\*.txt"), inside);
  }
  swap();
  EXPECT_TRUE(Names("D:\\docs\\*.txt").empty());
  EXPECT_EQ(Names("D:\\swap\\*.txt"), inside);
}

TEST_F(PosixHostTest, FollowsLinksThatStayInside) {
  WriteHostFile(Disk("d/real/file.txt"), "inside");
  fs::create_directory_symlink(Disk("d/real"), Disk("c/alias"));
  fs::create_directory_symlink("../d/./real/", Disk("c/relative"));
  fs::create_symlink("../../c/relative/file.txt", Disk("c/alias/linked.txt"));
  for (bool walk : {false, true}) {
    std::optional<WithoutOpenat2> fallback;
    if (walk) fallback.emplace();
    PosixHost host(root_.path());
    for (const char* path :
         {"C:\\alias\\file.txt", "C:\\relative\\file.txt", "D:\\real\\linked.txt"}) {
      std::unique_ptr<FileHandle> file;
      ASSERT_EQ(host.OpenFile(path, FileAccess::kRead, {true, true}, FileDisposition::kOpenExisting,
                              &file),
                kErrorSuccess)
          << path << walk;
    }
  }
  EXPECT_EQ(Read("C:\\alias\\file.txt"), "inside");
  EXPECT_EQ(Names("C:\\*"), (std::vector<std::string>{"alias", "relative"}));
}

TEST_F(PosixHostTest, NamesAre1252InsideAndUtf8OnDisk) {
  WriteHostFile(Disk("d/Movel/Lotes/Ação.XML"), "lote");
  EXPECT_EQ(Read("d:\\MOVEL\\lotes\\AÇÃO.xml"), "<error>");  // UTF-8 literal is not 1252
  EXPECT_EQ(Read("d:\\MOVEL\\lotes\\A\xC7\xC3O.xml"), "lote");
  std::unique_ptr<FileHandle> file;
  ASSERT_EQ(Open("C:\\Relat\xF3rio \x80.txt", FileAccess::kWrite, {},
                 FileDisposition::kCreateAlways, &file),
            kErrorSuccess);
  file.reset();
  EXPECT_TRUE(HostPathExists(Disk("c/Relatório €.txt")));
  WriteHostFile(Disk("c/日本.txt"), "x");
  // A name without a 1252 form could not be named again: searches leave it out.
  EXPECT_EQ(Names("C:\\*.txt"), (std::vector<std::string>{"Relat\xF3rio \x80.txt"}));
  EXPECT_EQ(posix::Utf8ToCp1252("a\xFF"
                                "b"),
            "a?b");
  for (int c = 1; c < 256; ++c) {
    std::string name(1, static_cast<char>(c));
    EXPECT_EQ(posix::Utf8ToCp1252(posix::Cp1252ToUtf8(name)), name) << c;
  }
  // The case forms tried by name, in the order of their disk names; none past the limit.
  using Forms = std::vector<std::string>;
  EXPECT_EQ(posix::CaseForms("a1\xE9", 4), (Forms{"A1\xC9", "A1\xE9", "a1\xC9", "a1\xE9"}));
  EXPECT_EQ(posix::CaseForms("\xFFz", 4), (Forms{"\xFFZ", "\xFFz", "\x9FZ", "\x9Fz"}));
  EXPECT_EQ(posix::CaseForms("a1\xE9", 3), Forms{});
  EXPECT_EQ(posix::CaseForms("12", 0), Forms{"12"});
}

// The host keeps folders open between calls; one that others renamed or linked elsewhere answers
// no more for its path (the contract suite has the rest of this promise).
TEST_F(PosixHostTest, SearchesFollowLinksSwappedUnderThem) {
  WriteHostFile(Disk("c/x/sub/a.xml"), "");
  fs::create_directory_symlink("sub", Disk("c/x/link"));
  // A search for folders leaves the files out without looking at them.
  std::vector<std::string> folders;
  std::unique_ptr<DirSearch> search;
  FindData entry;
  ASSERT_EQ(host_.FindFirstFolder("C:\\x\\*", &search, &entry), kErrorSuccess);
  do folders.push_back(entry.name);
  while (search->Next(&entry) == kErrorSuccess);
  EXPECT_EQ(folders, (std::vector<std::string>{".", "..", "link", "sub"}));
  using Names_ = std::vector<std::string>;
  EXPECT_EQ(Names("C:\\x\\sub\\*.xml"), Names_{"a.xml"});
  fs::rename(Disk("c/x"), Disk("c/y"));
  WriteHostFile(Disk("c/x/sub/three.xml"), "");
  EXPECT_EQ(Names("C:\\x\\sub\\*.xml"), Names_{"three.xml"});
  fs::create_directory_symlink("y", Disk("c/link"));
  EXPECT_EQ(Names("C:\\link\\sub\\*.xml"), Names_{"a.xml"});
  fs::remove(Disk("c/link"));
  fs::create_directory_symlink("x", Disk("c/link"));
  EXPECT_EQ(Names("C:\\link\\sub\\*.xml"), Names_{"three.xml"});
}

TEST_F(PosixHostTest, SearchesLeaveOutNamesWindowsCannotHold) {
  for (const char* name :
       {"a\\b", "a:b", "a*b", "a?b", "a\"b", "a<b", "a>b", "a|b", "a\nb", "a\x1f"}) {
    WriteHostFile(Disk("c/x/") + name, "");
  }
  WriteHostFile(Disk("c/x/ok"), "");
  EXPECT_EQ(Names("C:\\x\\*"), (std::vector<std::string>{".", "..", "ok"}));
  EXPECT_EQ(Names("C:\\x\\a*"), (std::vector<std::string>{}));
}

// A large folder is read in pieces (a lookup's first one smaller than the rest): a listing gives
// every name once, whole, and a lookup ignoring case finds names from every piece.
TEST_F(PosixHostTest, ReadsEveryNameOfALargeFolder) {
  std::vector<std::string> expected = {".", ".."};
  for (int i = 0; i < 3000; ++i) {
    expected.push_back("f" + std::string(static_cast<size_t>(i % 50), 'x') + std::to_string(i));
    WriteHostFile(Disk("c/many/") + expected.back(), expected.back());
  }
  for (int i = 2; i < 3002; i += 97) {
    std::string upper = expected[static_cast<size_t>(i)];
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    EXPECT_EQ(Read("C:\\many\\" + upper), expected[static_cast<size_t>(i)]);
  }
  std::vector<std::string> listed = Names("C:\\many\\*");
  std::sort(listed.begin(), listed.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected);
}

TEST(PatternTest, FollowsWindowsWildcards) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  } cases[] = {
      {"*.*", "noext", true},
      {"*.*", "a.b.c", true},
      {"*.xml", "A.XML", true},
      {"*.xml", "a.xmlx", false},
      {"*.xml", ".xml", true},
      {"*.xml", "xml", false},
      {"*\xE9", "A\xC9", true},
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"a.*", "a", true},
      {"a.*", "ab", false},
      {"*", ".", true},
      {"\xE7*",
       "\xC7"
       "a",
       true},
      {"*b*b", "abab", true},
      {"TF*.xml", "tf01.xml", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchesPattern(c.pattern, c.name), c.matches) << c.pattern << " " << c.name;
  }
}

// Attribute words from what a Linux disk has: links, and folders without write permission.
TEST_F(PosixHostTest, ReportsAttributeWordsOfLinksAndFolders) {
  fs::create_directories(Disk("c/folder"));
  WriteHostFile(Disk("c/file"), "");
  // Links carry the reparse-point bit, as junctions and symbolic links do on Windows.
  fs::create_directory_symlink("folder", Disk("c/linkfolder"));
  fs::create_symlink(Disk("c/file"), Disk("c/linkfile"));
  fs::create_directory_symlink("..", Disk("c/folder/.up"));
  // Taken after the link is made in it: without it only root could make the link.
  fs::permissions(Disk("c/folder"), fs::perms::owner_write, fs::perm_options::remove);
  struct Case {
    const char* path;
    uint32_t attributes;
  } cases[] = {{"C:\\folder", 16},
               {"C:\\linkfolder", 0x410},
               {"C:\\linkfile", 0x420},
               {"C:\\folder\\.up", 0x412}};
  for (const Case& c : cases) {
    uint32_t attributes = 0;
    EXPECT_EQ(host_.GetAttributes(c.path, &attributes), kErrorSuccess) << c.path;
    EXPECT_EQ(attributes, c.attributes) << c.path;
  }
  std::unique_ptr<DirSearch> search;
  FindData entry;
  ASSERT_EQ(host_.FindFirst("C:\\linkf*", &search, &entry), kErrorSuccess);
  EXPECT_EQ(entry.Attributes(), 0x420u);  // linkfile comes before linkfolder
  ASSERT_EQ(search->Next(&entry), kErrorSuccess);
  EXPECT_EQ(entry.Attributes(), 0x410u);
  fs::permissions(Disk("c/folder"), fs::perms::owner_write, fs::perm_options::add);
}

TEST_F(PosixHostTest, AReplacingMoveKeepsTheTargetsName) {
  WriteHostFile(Disk("c/a.dwl"), "new");
  WriteHostFile(Disk("c/A.XML"), "old");
  EXPECT_EQ(host_.MovePath("C:\\a.dwl", "C:\\a.xml", true), kErrorSuccess);
  EXPECT_FALSE(HostPathExists(Disk("c/a.dwl")));
  EXPECT_EQ(ReadHostFile(Disk("c/A.XML")), "new");
}

// The folders flushed (by inode) while it lives; flushes fail with `error` when it is set.
class FlushRecorder {
 public:
  FlushRecorder() {
    posix::Fsync = [](int fd) {
      struct stat info {};
      if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) folders.push_back(info.st_ino);
      errno = error;
      return error == 0 ? 0 : -1;
    };
  }
  ~FlushRecorder() {
    posix::Fsync = saved_;
    folders.clear();
    error = 0;
  }
  static inline std::vector<ino_t> folders;
  static inline int error = 0;

 private:
  decltype(posix::Fsync) saved_ = posix::Fsync;
};

TEST_F(PosixHostTest, MovesReachTheDiskBeforeTheyAreAnswered) {
  WriteHostFile(Disk("c/a/f.dwl"), "batch");
  fs::create_directories(Disk("c/b"));
  auto inode = [&](const char* folder) {
    struct stat info {};
    stat(Disk(folder).c_str(), &info);
    return info.st_ino;
  };
  FlushRecorder flushes;
  EXPECT_EQ(host_.MovePath("C:\\a\\f.dwl", "C:\\a\\f.xml", false), kErrorSuccess);
  EXPECT_EQ(flushes.folders, std::vector<ino_t>{inode("c/a")});
  flushes.folders.clear();
  EXPECT_EQ(host_.MovePath("C:\\a\\f.xml", "C:\\b\\F.xml", true), kErrorSuccess);
  EXPECT_EQ(flushes.folders, (std::vector<ino_t>{inode("c/b"), inode("c/a")}));
  // A move whose flush fails is not answered as done.
  flushes.error = EIO;
  EXPECT_EQ(host_.MovePath("C:\\b\\F.xml", "C:\\b\\g.xml", false), kErrorIoDevice);
}

TEST_F(PosixHostTest, RefusesPathsAsLongAsWindowsRefusesThem) {
  // A path of `length` characters below one of 203.
  const std::string base = "C:\\" + std::string(200, 'a');
  auto path = [&](size_t length) { return base + "\\" + std::string(length - 204, 'b'); };
  auto disk = [&](size_t length) {
    return Disk("c/" + std::string(200, 'a') + "/" + std::string(length - 204, 'b'));
  };
  fs::create_directories(disk(258));
  fs::create_directories(disk(259));
  EXPECT_EQ(host_.CreateFolder(path(247)), kErrorSuccess);
  EXPECT_EQ(host_.CreateFolder(path(248)), kErrorFilenameExcedRange);
  uint32_t attributes = 0;
  EXPECT_EQ(host_.GetAttributes(path(259), &attributes), kErrorSuccess);
  EXPECT_EQ(host_.GetAttributes(path(259) + "\\", &attributes), kErrorFilenameExcedRange);
  EXPECT_EQ(host_.GetAttributes(path(261), &attributes), kErrorFilenameExcedRange);
  EXPECT_EQ(host_.SetCurrentFolder(path(259)), kErrorFilenameExcedRange);
  ASSERT_EQ(host_.SetCurrentFolder(path(258)), kErrorSuccess);
  std::unique_ptr<DirSearch> search;
  FindData entry;
  EXPECT_EQ(host_.FindFirst("*", &search, &entry), kErrorFilenameExcedRange);  // 260 in full
  EXPECT_EQ(host_.MovePath(path(259), "C:\\x", false), kErrorSuccess);
  EXPECT_EQ(host_.MovePath("C:\\x", path(260), false), kErrorFilenameExcedRange);
  // A path of any length costs its length: refused where its text must fit the buffer, taken
  // by a move, whose full path is short.
  const std::string huge = "C:" + std::string(100000, '\\') + "x";
  std::unique_ptr<FileHandle> file;
  EXPECT_EQ(Open(huge, FileAccess::kRead, {}, FileDisposition::kOpenExisting, &file),
            kErrorFilenameExcedRange);
  EXPECT_EQ(host_.MovePath(huge, "C:\\y", false), kErrorSuccess);  // it is C:\x in full
}

TEST_F(PosixHostTest, CurrentDirectoryStartsAtTheProcessDirectoryInsideADrive) {
  fs::create_directories(Disk("d/Orvo/Bin"));
  fs::path saved = fs::current_path();
  fs::current_path(Disk("d/Orvo/Bin"));
  PosixHost inside(root_.path());
  fs::current_path(outside_.path());
  PosixHost elsewhere(root_.path());
  fs::current_path(saved);
  EXPECT_EQ(inside.GetCurrentFolder(), "D:\\Orvo\\Bin");
  EXPECT_EQ(elsewhere.GetCurrentFolder(), "C:\\");
}

TEST_F(PosixHostTest, ShareModesHoldAcrossProcesses) {
  WriteHostFile(Disk("c/manual.pdf"), "pdf");
  std::unique_ptr<FileHandle> holder;
  ASSERT_EQ(Open("C:\\manual.pdf", FileAccess::kRead, {}, FileDisposition::kOpenExisting, &holder),
            kErrorSuccess);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    PosixHost other(root_.path());
    std::unique_ptr<FileHandle> file;
    WinError error = other.OpenFile("C:\\manual.pdf", FileAccess::kRead, {true, true},
                                    FileDisposition::kOpenExisting, &file);
    _exit(static_cast<int>(error));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(static_cast<WinError>(WEXITSTATUS(status)), kErrorSharingViolation);
}

}  // namespace
}  // namespace orvo
