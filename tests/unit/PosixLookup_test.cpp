// The Linux host finding a name that the folder holds in another letter case, and seeing what
// other processes change in folders it has read before.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "host/Host.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;

// The name of the entry that `path` finds (a search without wildcards), or "(none)".
std::string Found(Host& host, const std::string& path) {
  std::unique_ptr<DirSearch> search;
  FindData entry;
  return host.FindFirst(path, &search, &entry) == kErrorSuccess ? entry.name : "(none)";
}

std::vector<std::string> Listed(Host& host, const std::string& pattern) {
  std::vector<std::string> names;
  std::unique_ptr<DirSearch> search;
  FindData entry;
  if (host.FindFirst(pattern, &search, &entry) != kErrorSuccess) return names;
  do names.push_back(entry.name);
  while (search->Next(&entry) == kErrorSuccess);
  return names;
}

// The same answers in a folder of a few names, where a name is looked for in one read of the
// folder, and in one of thousands, where its case forms are tried one by one where they are few.
TEST(PosixLookupTest, FindsTheFirstNameEqualIgnoringCaseInNtfsOrder) {
  struct Case {
    std::vector<std::string> disk;  // UTF-8
    std::string wanted;             // code page 1252
    std::string found;
  } cases[] = {
      {{"Lote.XML"}, "lOTE.xml", "Lote.XML"},
      // Equal in NTFS order: the disk names' bytes decide.
      {{"b.XML", "B.xml", "B.XML"}, "b.xml", "B.XML"},
      {{"Ação.TXT"}, "A\xC7\xC3O.txt", "A\xE7\xE3o.TXT"},
      {{"ŸŠŽŒ"}, "\xFF\x9A\x9E\x9C", "\x9F\x8A\x8E\x8C"},
      {{"ÀÉÎÕÜÝÞ"}, "\xE0\xE9\xEE\xF5\xFC\xFD\xFE", "\xC0\xC9\xCE\xD5\xDC\xDD\xDE"},
      // Letters without another form in the code page, and near misses of the same length.
      {{"µß.x", "lote.xmm", "lote.xml.bak"}, "\xB5\xDF.X", "\xB5\xDF.x"},
      {{"lote.xmm", "lote.xml.bak", "LOTE.XM"}, "lote.xml", "(none)"},
      {{"stra\u00dfe", "STRASSE"},
       "STRA\xDF"
       "E",
       "stra\xDF"
       "e"},
      {{"123.456"}, "123.456", "123.456"},
      // A disk name that is not UTF-8 is never a case form, whatever its bytes.
      {{"a\xE9.txt"}, "A\xE9.TXT", "(none)"},
      // A folder on the way is matched the same way.
      {{"Pasta/Lote.xml"}, "PASTA\\lote.XML", "Lote.xml"},
      // A long name with many letters (more forms than are worth trying).
      {{"Relatorio-Mensal-De-Vendas-Da-Loja.xml"},
       "RELATORIO-MENSAL-DE-VENDAS-DA-LOJA.XML",
       "Relatorio-Mensal-De-Vendas-Da-Loja.xml"},
  };
  for (int others : {0, 3000}) {
    test::TempDir root;
    const std::string folder = root.path() + "/d/x";
    fs::create_directories(folder);
    for (int i = 0; i < others; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "/%08d.dat", i);
      test::WriteHostFile(folder + name, "");
    }
    for (const Case& c : cases) {
      for (const std::string& name : c.disk) test::WriteHostFile(folder + "/" + name, "x");
      std::unique_ptr<Host> host = NewDriveRootHost(root.path());
      EXPECT_EQ(Found(*host, "D:\\x\\" + c.wanted), c.found) << c.wanted << " among " << others;
      for (const std::string& name : c.disk)
        fs::remove_all(folder + "/" + name.substr(0, name.find('/')));
    }
  }
}

// A resident worker keeps the folders it read; whatever another process does to them next must
// show at once, however soon after the read.
TEST(PosixLookupTest, SeesWhatOthersChangeRightAfterARead) {
  struct Case {
    const char* what;
    void (*change)(const std::string& folder);
    std::vector<std::string> listed;
  } cases[] = {
      {"a file added",
       [](const std::string& f) { test::WriteHostFile(f + "/b.xml", ""); },
       {"a.xml", "b.xml"}},
      {"a file removed", [](const std::string& f) { fs::remove(f + "/a.xml"); }, {}},
      {"a file renamed",
       [](const std::string& f) { fs::rename(f + "/a.xml", f + "/c.xml"); },
       {"c.xml"}},
      {"the folder replaced",
       [](const std::string& f) {
         fs::rename(f, f + ".old");
         test::WriteHostFile(f + "/d.xml", "");
       },
       {"d.xml"}},
  };
  for (bool throughLink : {false, true}) {
    for (const Case& c : cases) {
      test::TempDir root;
      const std::string folder = root.path() + "/d/Lotes/x";
      if (throughLink) {
        fs::create_directories(root.path() + "/d/Lotes");
        fs::create_directories(root.path() + "/d/real");
        fs::create_directory_symlink("../real", folder);
      }
      test::WriteHostFile(folder + "/a.xml", "");
      // Older than the clock's tick: only then may the host keep what it read of the folders.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::unique_ptr<Host> host = NewDriveRootHost(root.path());
      const std::string last = c.listed.empty() ? "a.xml" : c.listed.back();
      std::string upper = last;  // looked up in another case: found by its case forms
      for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      ASSERT_EQ(Listed(*host, "D:\\Lotes\\x\\*.xml"), std::vector<std::string>{"a.xml"});
      Found(*host, "D:\\Lotes\\x\\" + upper);  // a name found, or one found missing
      c.change(folder);
      EXPECT_EQ(Listed(*host, "D:\\Lotes\\x\\*.xml"), c.listed) << c.what << throughLink;
      EXPECT_EQ(Found(*host, "D:\\Lotes\\x\\" + upper), c.listed.empty() ? "(none)" : last)
          << c.what << throughLink;
    }
  }
}

}  // namespace
}  // namespace orvo
