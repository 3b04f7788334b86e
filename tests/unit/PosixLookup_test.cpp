// The Linux host finding names in another letter case, and seeing what other processes change in
// folders it has read before.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "host/Host.h"
#include "host/posix/PosixDisk.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// What a search yields: the entry a path without wildcards finds, or the names a pattern matches.
Names Listed(Host& host, const std::string& pattern) { return test::SearchNames(host, pattern); }

// The same answers in a folder of a few names, where a name is looked for in one read of the
// folder, and in one of thousands, where its case forms are tried one by one where they are few.
TEST(PosixLookupTest, FindsTheFirstNameEqualIgnoringCaseInNtfsOrder) {
  struct Case {
    Names disk;          // UTF-8
    std::string wanted;  // code page 1252
    Names found;
  } cases[] = {
      {{"Lote.XML"}, "lOTE.xml", {"Lote.XML"}},
      // Equal in NTFS order: the disk names' bytes decide.
      {{"b.XML", "B.xml", "B.XML"}, "b.xml", {"B.XML"}},
      {{"Ação.TXT"}, "A\xC7\xC3O.txt", {"A\xE7\xE3o.TXT"}},
      {{"ŸŠŽŒÀÉÞ"}, "\xFF\x9A\x9E\x9C\xE0\xE9\xFE", {"\x9F\x8A\x8E\x8C\xC0\xC9\xDE"}},
      // Letters without another form in the code page, and near misses of the same length.
      {{"µß.x", "lote.xmm", "lote.xml.bak"}, "\xB5\xDF.X", {"\xB5\xDF.x"}},
      {{"lote.xmm", "lote.xml.bak", "LOTE.XM", "straße"}, "lote.xml", {}},
      {{"STRASSE"}, "stra\xDF\x65", {}},
      // A disk name that is not UTF-8 is never a case form, whatever its bytes.
      {{"a\xE9.txt"}, "A\xE9.TXT", {}},
      {{"Pasta/Lote.xml"}, "PASTA\\lote.XML", {"Lote.xml"}},  // a folder on the way too
      {{"Relatorio-De-Vendas.xml"}, "RELATORIO-DE-VENDAS.XML", {"Relatorio-De-Vendas.xml"}},
  };
  for (int others : {0, 3000}) {
    test::TempDir root;
    const std::string folder = root.path() + "/d/x";
    fs::create_directories(folder);
    for (int i = 0; i < others; ++i) {
      test::WriteHostFile(folder + "/" + std::to_string(100000 + i) + "-anterior.xml", "");
    }
    for (const Case& c : cases) {
      for (const std::string& name : c.disk) test::WriteHostFile(folder + "/" + name, "x");
      std::unique_ptr<Host> host = NewDriveRootHost(root.path());
      EXPECT_EQ(Listed(*host, "D:\\x\\" + c.wanted), c.found) << c.wanted << " among " << others;
      for (const std::string& name : c.disk)
        fs::remove_all(folder + "/" + name.substr(0, name.find('/')));
    }
  }
}

// A resident worker keeps what it read of folders; whatever another process does to them next
// must show at once, however soon after the read, also through a link.
TEST(PosixLookupTest, SeesWhatOthersChangeRightAfterARead) {
  struct Case {
    const char *from, *to, *added;  // in D:\Lotes: a rename, then a file made
    Names listed;
    std::string wanted;  // the last listed name in another case, or a.xml's
  } cases[] = {
      {"", "", "x/b.xml", {"a.xml", "b.xml"}, "B.XML"},
      {"x/a.xml", "a.xml", "", {}, "A.XML"},
      {"x/a.xml", "x/c.xml", "", {"c.xml"}, "C.XML"},
      {"x", "x.old", "x/d.xml", {"d.xml"}, "D.XML"},  // the folder replaced
  };
  for (bool throughLink : {false, true}) {
    for (const Case& c : cases) {
      test::TempDir root;
      const std::string lotes = root.path() + "/d/Lotes/";
      if (throughLink) {
        for (const char* made : {"/d/real", "/d/Lotes"}) fs::create_directories(root.path() + made);
        fs::create_directory_symlink("../real", lotes + "x");
      }
      test::WriteHostFile(lotes + "x/a.xml", "");
      // Older than the clock's tick: only then may the host keep what it read of the folders.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::unique_ptr<Host> host = NewDriveRootHost(root.path());
      ASSERT_EQ(Listed(*host, "D:\\Lotes\\x\\*.xml"), Names{"a.xml"});
      Listed(*host, "D:\\Lotes\\x\\" + c.wanted);  // a name found, or one found missing
      if (*c.from != '\0') fs::rename(lotes + c.from, lotes + c.to);
      if (*c.added != '\0') test::WriteHostFile(lotes + c.added, "");
      const std::string where = std::string(c.from) + c.added + (throughLink ? " (link)" : "");
      EXPECT_EQ(Listed(*host, "D:\\Lotes\\x\\*.xml"), c.listed) << where;
      Names found = c.listed.empty() ? Names{} : Names{c.listed.back()};
      EXPECT_EQ(Listed(*host, "D:\\Lotes\\x\\" + c.wanted), found) << where;
    }
  }
}

// What a folder's change time proves is trusted (and a resident worker keeps names and listings)
// only on file systems that this kernel stamps itself: never where another machine writes.
TEST(PosixLookupTest, TrustsChangeTimesOfLocalFileSystemsOnly) {
  struct Case {
    unsigned long magic;
    const char* name;
    bool trusted;
  } cases[] = {
      {0xEF53, "ext2/3/4", true},
      {0x58465342, "xfs", true},
      {0x9123683E, "btrfs", true},
      {0x01021994, "tmpfs", true},
      {0x6969, "nfs", false},
      {0xFF534D42, "cifs", false},
      {0xFE534D42, "smb2", false},
      {0x517B, "smb", false},
      {0x65735546, "fuse (glusterfs, sshfs)", false},
      {0x00C36400, "ceph", false},
      {0x01021997, "9p", false},
      {0x794C7630, "overlayfs", false},
      {0x5346414F, "afs", false},
      {0x0BD00BD0, "lustre", false},
      {0, "unknown", false},
  };
  for (const Case& c : cases) EXPECT_EQ(posix::StampsItsOwnChanges(c.magic), c.trusted) << c.name;
}

}  // namespace
}  // namespace orvo
