// What every host promises about files and folders, stated once and run against each host of
// the build: the Linux host (also on its walk for kernels without openat2) and, in the Windows
// build under Wine, the Windows host. Each host works on drive folders under a temporary root
// (C:\ is <root>/c). What only one platform has stays in its own suite (PosixHost_test,
// WindowsHost_test).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "host/HostWrapper.h"
#ifndef _WIN32
#include "WithoutOpenat2.h"
#endif

namespace orvo {
namespace {

namespace fs = std::filesystem;
using test::ReadHostFile;
using test::WriteHostFile;
using Names = std::vector<std::string>;
using Entries = std::vector<std::pair<std::string, uint32_t>>;

struct HostKind {
  const char* name;
  std::unique_ptr<Host> (*make)(const std::string& root);
};
void PrintTo(const HostKind& kind, std::ostream* out) { *out << kind.name; }

class HostContract : public ::testing::TestWithParam<HostKind> {
 protected:
  HostContract() {
    fs::create_directories(Disk("c"));
    fs::create_directories(Disk("d"));
  }

  std::string Disk(const std::string& relative) const { return root_.path() + "/" + relative; }
  Host& host() { return *host_; }
  // For the few answers in which the hosts differ.
  bool IsWindows() const { return std::string(GetParam().name) == "Windows"; }

  // The names and attribute words a search yields, in order.
  Entries Search(const std::string& pattern) {
    Entries found;
    std::unique_ptr<DirSearch> search;
    FindData entry;
    if (host().FindFirst(pattern, &search, &entry) != kErrorSuccess) return found;
    do found.emplace_back(entry.name, entry.Attributes());
    while (search->Next(&entry) == kErrorSuccess);
    return found;
  }
  Names Find(const std::string& pattern) { return test::SearchNames(host(), pattern); }

  WinError Open(const std::string& path, FileAccess access, FileShare share,
                FileDisposition disposition, std::unique_ptr<FileHandle>* file) {
    return host().OpenFile(path, access, share, disposition, file);
  }
  // Creates a file through the host (so that its name is the host's own, code page 1252).
  void Create(const std::string& path, const std::string& bytes = "") {
    std::unique_ptr<FileHandle> file;
    ASSERT_EQ(Open(path, FileAccess::kWrite, {}, FileDisposition::kCreateNew, &file), 0u) << path;
    size_t done = 0;
    ASSERT_EQ(file->Write(bytes.data(), bytes.size(), &done), 0u) << path;
  }
  std::string Read(const std::string& path) { return test::ReadThroughHost(host(), path); }

  test::TempDir root_;
  test::ScopedEnv userStore_{"XDG_CONFIG_HOME", root_.path() + "/config"};  // the Linux store
  std::unique_ptr<Host> host_ = GetParam().make(root_.path());
};

TEST_P(HostContract, ResolvesPathsAsWindowsDoes) {
  fs::create_directories(Disk("c/work"));
  ASSERT_EQ(host().SetCurrentFolder("c:/WORK"), kErrorSuccess);
  EXPECT_EQ(host().GetCurrentFolder(), "c:\\WORK");
  struct Case {
    const char* path;
    const char* full;
  } cases[] = {
      {"a.txt", "c:\\WORK\\a.txt"},
      {"sub\\..\\a.txt", "c:\\WORK\\a.txt"},
      {"\\x\\y", "c:\\x\\y"},
      {"D:\\Movel//Lotes\\.\\", "D:\\Movel\\Lotes\\"},
      {"D:\\a\\..\\..\\..\\b", "D:\\b"},
      {"D:relative", "D:\\relative"},
      {"c:relative", "c:\\WORK\\relative"},
      {"C:\\name\\file.xml. .", "C:\\name\\file.xml"},
      {"..\\..", "c:\\"},
  };
  for (const Case& c : cases) {
    std::string full;
    EXPECT_EQ(host().FullPathName(c.path, &full), kErrorSuccess) << c.path;
    EXPECT_EQ(full, c.full) << c.path;
  }
  // The drive named alone keeps the letter as given; trailing dots and spaces of a folder's
  // name go, on both hosts (the path rules are the same).
  std::string full;
  EXPECT_EQ(host().FullPathName("C:", &full), kErrorSuccess);
  EXPECT_EQ(full, "C:\\WORK");
  EXPECT_EQ(host().FullPathName("C:\\name. . \\f", &full), kErrorSuccess);
  EXPECT_EQ(full, "C:\\name\\f");
}

// Paths that no call takes, whatever it is asked to do, with the code each call gives.
// The host-independent path rules add their cases here.
TEST_P(HostContract, RefusesPathsWindowsRefuses) {
  struct Case {
    std::string path;
    WinError error;
  } cases[] = {
      {"\\\\server\\", kErrorBadNetPath},
  };
  for (const Case& c : cases) {
    std::string full = "untouched";
    EXPECT_EQ(host().FullPathName(c.path, &full), c.error) << c.path;
    EXPECT_EQ(full, "untouched") << c.path;
    uint32_t attributes = 0;
    EXPECT_NE(host().GetAttributes(c.path, &attributes), kErrorSuccess) << c.path;
    std::unique_ptr<FileHandle> file;
    EXPECT_NE(Open(c.path, FileAccess::kWrite, {}, FileDisposition::kCreateAlways, &file),
              kErrorSuccess)
        << c.path;
    EXPECT_EQ(file, nullptr) << c.path;
  }
  std::string full = "untouched";
  EXPECT_EQ(host().FullPathName("", &full), kErrorInvalidName);
  EXPECT_EQ(full, "untouched");
  // Refused before any system call, with the same code by every call and on every host.
  const Case refused[] = {
      {std::string("C:\\a\0b.txt", 10), kErrorInvalidName},
      {"C:\\x:y", kErrorInvalidName},
      {"\\\\?\\C:\\x", kErrorInvalidName},
      {"\\\\.\\C:\\x", kErrorInvalidName},
      {"//?/C:/x", kErrorInvalidName},
      {"\\??\\C:\\x", kErrorInvalidName},
      {"C:\\NUL", kErrorInvalidName},
      {"C:\\Com1.txt", kErrorInvalidName},
      {"C:\\aux. .", kErrorInvalidName},
      {"C:\\" + std::string(260, 'a'), kErrorFilenameExcedRange},
  };
  for (const Case& c : refused) {
    uint32_t attributes = 0;
    EXPECT_EQ(host().GetAttributes(c.path, &attributes), c.error) << c.path;
    std::unique_ptr<FileHandle> file;
    EXPECT_EQ(Open(c.path, FileAccess::kWrite, {}, FileDisposition::kCreateAlways, &file), c.error)
        << c.path;
    EXPECT_EQ(host().CreateFolder(c.path), c.error) << c.path;
  }
  EXPECT_EQ(Find("C:\\*"), Names{});
}

TEST_P(HostContract, RefusesNamesWindowsRefuses) {
  Create("C:\\ok");
  std::unique_ptr<FileHandle> file;
  std::vector<std::string> names = {"a<b",
                                    "a>b",
                                    "a\"b",
                                    "a|b",
                                    "a?b",
                                    "a*b",
                                    "a\x01"
                                    "b"};
  names.push_back("a:b");  // on Windows a stream of the file a: the path rules refuse it
  for (const std::string& name : names) {
    std::string path = "C:\\" + name;
    EXPECT_EQ(Open(path, FileAccess::kWrite, {}, FileDisposition::kCreateAlways, &file),
              kErrorInvalidName)
        << name;
    EXPECT_EQ(host().CreateFolder(path), kErrorInvalidName) << name;
    EXPECT_EQ(host().MovePath("C:\\ok", path, false), kErrorInvalidName) << name;
  }
  EXPECT_EQ(Find("C:\\*"), Names{"ok"});
}

TEST_P(HostContract, SearchesInNtfsOrderWithDotsBelowTheRoot) {
  ASSERT_EQ(host().CreateFolder("C:\\x"), kErrorSuccess);
  for (const char* name : {"b.xml", "A.dwl", "_x.xml", "a.xml", "Z.XML",
                           "\xC9"
                           "a.xml"}) {
    Create(std::string("C:\\x\\") + name);
  }
  ASSERT_EQ(host().CreateFolder("C:\\x\\sub"), kErrorSuccess);
  Create("C:\\top.dwl");
  EXPECT_EQ(Search("C:\\x\\*"), (Entries{{".", 16},
                                         {"..", 16},
                                         {"A.dwl", 32},
                                         {"a.xml", 32},
                                         {"b.xml", 32},
                                         {"sub", 16},
                                         {"Z.XML", 32},
                                         {"_x.xml", 32},
                                         {"\xC9"
                                          "a.xml",
                                          32}}));
  EXPECT_EQ(Find("c:\\X\\*.XML"), (Names{"a.xml", "b.xml", "Z.XML", "_x.xml",
                                         "\xC9"
                                         "a.xml"}));
  EXPECT_EQ(Find("C:\\x\\?.dwl"), Names{"A.dwl"});
  EXPECT_EQ(Find("C:\\x\\s*.*"), Names{"sub"});
  EXPECT_EQ(Find("C:\\x\\a.DWL"), Names{"A.dwl"});
  EXPECT_EQ(Find("C:\\x\\*.*"), Find("C:\\x\\*"));
  EXPECT_EQ(Find("C:\\*"), (Names{"top.dwl", "x"}));  // no dots at a drive root

  std::unique_ptr<DirSearch> search;
  FindData entry;
  EXPECT_EQ(host().FindFirst("C:\\x\\*.png", &search, &entry), kErrorFileNotFound);
  EXPECT_EQ(host().FindFirst("C:\\missing\\*", &search, &entry), kErrorPathNotFound);
  EXPECT_EQ(host().FindFirst("Q:\\*", &search, &entry), kErrorPathNotFound);
  EXPECT_EQ(search, nullptr);
  ASSERT_EQ(host().FindFirst("C:\\x\\a.xml", &search, &entry), kErrorSuccess);
  EXPECT_EQ(search->Next(&entry), kErrorNoMoreFiles);
  EXPECT_EQ(entry.name, "a.xml");
}

TEST_P(HostContract, SearchesSeeEveryChangeToTheirFolder) {
  WriteHostFile(Disk("c/x/a.xml"), "");
  fs::create_directories(Disk("c/x/sub"));
  // A search for folders may leave the files out, never a folder.
  Names folders;
  std::unique_ptr<DirSearch> search;
  FindData entry;
  ASSERT_EQ(host().FindFirstFolder("C:\\x\\*", &search, &entry), kErrorSuccess);
  do {
    if (entry.Attributes() & kAttrDirectory) folders.push_back(entry.name);
  } while (search->Next(&entry) == kErrorSuccess);
  EXPECT_EQ(folders, (Names{".", "..", "sub"}));
  // A folder searched again is read again when it changed, by the host or by others.
  Create("C:\\x\\b.xml");
  EXPECT_EQ(Find("C:\\x\\*.xml"), (Names{"a.xml", "b.xml"}));
  WriteHostFile(Disk("c/x/c.xml"), "");
  EXPECT_EQ(Find("C:\\x\\*.xml"), (Names{"a.xml", "b.xml", "c.xml"}));
  fs::remove(Disk("c/x/a.xml"));
  EXPECT_EQ(Find("C:\\x\\*.xml"), (Names{"b.xml", "c.xml"}));
  // The current folder, removed or renamed by others, answers no more for its path: the
  // folder its path names now does.
  ASSERT_EQ(host().SetCurrentFolder("C:\\x\\sub"), kErrorSuccess);
  fs::remove(Disk("c/x/sub"));
  WriteHostFile(Disk("c/x/sub/one.xml"), "");
  EXPECT_EQ(Find("*.xml"), Names{"one.xml"});
  fs::rename(Disk("c/x/sub"), Disk("c/x/old"));
  WriteHostFile(Disk("c/x/sub/two.xml"), "");
  EXPECT_EQ(Find("C:\\x\\sub\\*.xml"), Names{"two.xml"});
  EXPECT_EQ(Find("*.xml"), Names{"two.xml"});
}

TEST_P(HostContract, ReportsAttributeWords) {
  fs::create_directories(Disk("c/folder"));
  fs::create_directories(Disk("c/.hiddenfolder"));
  WriteHostFile(Disk("c/file"), "");
  WriteHostFile(Disk("c/.hidden"), "");
  WriteHostFile(Disk("c/readonly"), "");
  fs::permissions(Disk("c/readonly"), fs::perms::owner_write, fs::perm_options::remove);
  struct Case {
    const char* path;
    WinError error;
    uint32_t attributes;
  } cases[] = {
      {"C:\\", kErrorSuccess, 16},
      {"C:\\folder", kErrorSuccess, 16},
      {"c:\\FOLDER\\", kErrorSuccess, 16},
      {"C:\\.hiddenfolder", kErrorSuccess, 18},
      {"C:\\file", kErrorSuccess, 32},
      {"C:\\.hidden", kErrorSuccess, 34},
      {"C:\\READONLY", kErrorSuccess, 33},
      {"C:\\missing", kErrorFileNotFound, 0},
      {"C:\\missing\\x", kErrorPathNotFound, 0},
      {"C:\\file\\x", kErrorPathNotFound, 0},
      {"Q:\\", kErrorPathNotFound, 0},  // no such drive
  };
  for (const Case& c : cases) {
    uint32_t attributes = 0;
    EXPECT_EQ(host().GetAttributes(c.path, &attributes), c.error) << c.path;
    EXPECT_EQ(attributes, c.attributes) << c.path;
  }
}

TEST_P(HostContract, MatchesExistingNamesIgnoringCase) {
  WriteHostFile(Disk("d/Movel/Lotes/a.XML"), "lote");
  EXPECT_EQ(Read("d:\\MOVEL\\lotes\\A.xml"), "lote");
  Create("d:\\MOVEL\\lotes\\A\xC7\xC3O.txt", "acento");
  EXPECT_EQ(Read("D:\\Movel\\Lotes\\a\xE7\xE3o.TXT"), "acento");
  // A new name is created with the case given, inside the folder that exists.
  Create("D:\\MOVEL\\Novo.txt");
  EXPECT_EQ(Find("D:\\movel\\*"), (Names{".", "..", "Lotes", "Novo.txt"}));
  EXPECT_EQ(host().CreateFolder("d:\\movel\\LOTES"), kErrorAlreadyExists);
}

TEST_P(HostContract, MovesNeverReplaceUnlessAsked) {
  WriteHostFile(Disk("c/a.dwl"), "new");
  WriteHostFile(Disk("c/A.XML"), "old");
  EXPECT_EQ(host().MovePath("C:\\a.dwl", "C:\\a.xml", false), kErrorAlreadyExists);
  EXPECT_EQ(Read("C:\\a.dwl"), "new");
  EXPECT_EQ(Read("C:\\a.xml"), "old");
  EXPECT_EQ(host().MovePath("C:\\a.dwl", "C:\\a.xml", true), kErrorSuccess);
  EXPECT_EQ(Read("C:\\a.dwl"), "<error>");
  EXPECT_EQ(Read("C:\\a.xml"), "new");
  EXPECT_EQ(host().MovePath("C:\\a.xml", "C:\\sub\\a.xml", false), kErrorPathNotFound);
  EXPECT_EQ(host().MovePath("C:\\missing", "C:\\b", false), kErrorFileNotFound);
  ASSERT_EQ(host().MovePath("C:\\A.XML", "C:\\b.xml", false), kErrorSuccess);
  EXPECT_EQ(host().MovePath("C:\\b.xml", "C:\\B.xml", false), kErrorSuccess);  // case change
  EXPECT_EQ(Find("C:\\*.xml"), Names{IsWindows() ? "b.xml" : "B.xml"});  // Wine keeps the case
  EXPECT_EQ(host().MovePath("C:\\b.xml", "D:\\\\b.xml", false), kErrorSuccess);  // another drive
  EXPECT_EQ(Read("D:\\b.xml"), "new");
  ASSERT_EQ(host().CreateFolder("C:\\dir"), kErrorSuccess);
  EXPECT_EQ(host().MovePath("C:\\dir", "D:\\dir", false), kErrorSuccess);  // folders too
  EXPECT_EQ(Find("D:\\*"), (Names{"b.xml", "dir"}));

  // A replace that cannot be made leaves both files.
  WriteHostFile(Disk("c/new"), "new");
  WriteHostFile(Disk("c/b"), "b");
  std::unique_ptr<FileHandle> reader;
  ASSERT_EQ(Open("C:\\b", FileAccess::kRead, {}, FileDisposition::kOpenExisting, &reader), 0u);
  EXPECT_EQ(host().MovePath("C:\\new", "C:\\b", true), kErrorSharingViolation);
  reader.reset();
  fs::permissions(Disk("c/b"), fs::perms::owner_write, fs::perm_options::remove);
  EXPECT_EQ(host().MovePath("C:\\new", "C:\\b", true), kErrorAccessDenied);
  EXPECT_EQ(ReadHostFile(Disk("c/b")), "b");
  EXPECT_EQ(ReadHostFile(Disk("c/new")), "new");
}

TEST_P(HostContract, FoldersAndTheCurrentFolder) {
  EXPECT_EQ(host().GetCurrentFolder(), "C:\\");
  EXPECT_EQ(host().CreateFolder("C:\\a"), kErrorSuccess);
  EXPECT_EQ(host().CreateFolder("C:\\a"), kErrorAlreadyExists);
  EXPECT_EQ(host().CreateFolder("C:\\x\\y"), kErrorPathNotFound);
  Create("C:\\a\\f");
  EXPECT_EQ(host().RemoveFolder("C:\\a"), kErrorDirNotEmpty);
  // A failed change leaves the current folder where it was.
  EXPECT_EQ(host().SetCurrentFolder("C:\\a\\f"), kErrorDirectory);
  EXPECT_EQ(host().SetCurrentFolder("C:\\nothing"), kErrorFileNotFound);
  EXPECT_EQ(host().SetCurrentFolder("Q:\\"), kErrorPathNotFound);
  EXPECT_EQ(host().GetCurrentFolder(), "C:\\");
  EXPECT_EQ(host().SetCurrentFolder("a\\"), kErrorSuccess);
  EXPECT_EQ(host().GetCurrentFolder(), "C:\\a");
  EXPECT_EQ(host().RemoveFile("f"), kErrorSuccess);
  EXPECT_EQ(host().RemoveFile("f"), kErrorFileNotFound);
  EXPECT_EQ(host().SetCurrentFolder("\\"), kErrorSuccess);
  EXPECT_EQ(host().GetCurrentFolder(), "C:\\");
  EXPECT_EQ(host().RemoveFolder("\\a"), kErrorSuccess);
  EXPECT_EQ(Find("C:\\*"), Names{});
}

// A share is a root of its own (\\srv\lotes is the folder <root>/unc/srv/lotes), its server and
// share found ignoring case; ".." stops at it; a share without its folder is a network path that
// cannot be found. (The allowed folders on shares: the end-to-end suite, with its links.)
TEST_P(HostContract, SharesAreRootsOfTheirOwn) {
  fs::create_directories(Disk("unc/FileSrv/Lotes/VESTRA"));
  WriteHostFile(Disk("unc/FileSrv/outra/x.txt"), "outra");
  Create("\\\\filesrv\\LOTES\\VESTRA\\a.xml", "a");
  EXPECT_EQ(ReadHostFile(Disk("unc/FileSrv/Lotes/VESTRA/a.xml")), "a");
  EXPECT_EQ(Read("//FILESRV/lotes/vestra/../../../../VESTRA/A.XML"), "a");
  EXPECT_EQ(Read("\\\\filesrv\\outra\\x.txt"), "outra");
  EXPECT_EQ(host().CreateFolder("\\\\filesrv\\lotes\\NOVA"), kErrorSuccess);
  EXPECT_TRUE(fs::is_directory(Disk("unc/FileSrv/Lotes/NOVA")));
  EXPECT_EQ(Find("\\\\filesrv\\lotes\\VESTRA\\*.xml"), Names{"a.xml"});
  EXPECT_EQ(host().SetCurrentFolder("\\\\filesrv\\lotes\\VESTRA"), kErrorSuccess);
  EXPECT_EQ(host().GetCurrentFolder(), "\\\\filesrv\\lotes\\VESTRA");
  EXPECT_EQ(Read("..\\..\\VESTRA\\a.xml"), "a");
  EXPECT_EQ(host().MovePath("a.xml", "\\NOVA\\b.xml", false), kErrorSuccess);
  EXPECT_EQ(ReadHostFile(Disk("unc/FileSrv/Lotes/NOVA/b.xml")), "a");
  uint32_t attributes = 0;
  EXPECT_EQ(host().GetAttributes("\\\\filesrv\\nada\\x", &attributes), kErrorBadNetPath);
  EXPECT_EQ(host().GetAttributes("\\\\nada\\lotes", &attributes), kErrorBadNetPath);
  EXPECT_EQ(host().CreateFolder("\\\\filesrv\\nada"), kErrorBadNetPath);
}

TEST_P(HostContract, FilesDispositionsAndTransfers) {
  std::unique_ptr<FileHandle> file;
  EXPECT_EQ(Open("C:\\f", FileAccess::kRead, {}, FileDisposition::kOpenExisting, &file),
            kErrorFileNotFound);
  EXPECT_EQ(Open("C:\\no\\f", FileAccess::kRead, {}, FileDisposition::kCreateAlways, &file),
            kErrorPathNotFound);
  ASSERT_EQ(Open("C:\\f", FileAccess::kReadWrite, {}, FileDisposition::kCreateNew, &file),
            kErrorSuccess);
  size_t done = 0;
  EXPECT_EQ(file->Write("0123456789", 10, &done), kErrorSuccess);
  EXPECT_EQ(done, 10u);
  int64_t position = -1;
  EXPECT_EQ(file->Seek(-4, SeekOrigin::kEnd, &position), kErrorSuccess);
  EXPECT_EQ(position, 6);
  EXPECT_EQ(file->Seek(-7, SeekOrigin::kCurrent, &position), kErrorNegativeSeek);
  EXPECT_EQ(position, 6);
  EXPECT_EQ(file->SetEndOfFile(), kErrorSuccess);
  EXPECT_EQ(file->Flush(), kErrorSuccess);
  char bytes[16];
  EXPECT_EQ(file->Seek(0, SeekOrigin::kBegin, &position), kErrorSuccess);
  EXPECT_EQ(file->Read(bytes, sizeof bytes, &done), kErrorSuccess);
  EXPECT_EQ(std::string(bytes, done), "012345");
  EXPECT_EQ(file->Read(bytes, sizeof bytes, &done), kErrorSuccess);
  EXPECT_EQ(done, 0u);
  file.reset();

  std::unique_ptr<FileHandle> other;
  EXPECT_EQ(Open("C:\\F", FileAccess::kWrite, {}, FileDisposition::kCreateNew, &other),
            kErrorFileExists);
  EXPECT_EQ(other, nullptr);
  ASSERT_EQ(Open("C:\\F", FileAccess::kWrite, {}, FileDisposition::kOpenExisting, &file), 0u);
  EXPECT_EQ(file->Read(bytes, 1, &done), kErrorAccessDenied);
  EXPECT_EQ(done, 0u);
  file.reset();
  EXPECT_EQ(Read("C:\\f"), "012345");
  ASSERT_EQ(Open("C:\\F", FileAccess::kWrite, {}, FileDisposition::kCreateAlways, &file), 0u);
  file.reset();
  EXPECT_EQ(Read("C:\\f"), "");
  ASSERT_EQ(host().CreateFolder("C:\\dir"), kErrorSuccess);
  EXPECT_EQ(Open("C:\\dir", FileAccess::kRead, {}, FileDisposition::kOpenExisting, &file),
            kErrorAccessDenied);
}

TEST_P(HostContract, ShareModesConflictAtOnce) {
  Create("C:\\f", "data");
  const FileShare none{}, readOnly{true, false}, both{true, true};
  struct Case {
    FileAccess firstAccess;
    FileShare firstShare;
    FileAccess secondAccess;
    FileShare secondShare;
    bool conflict;
  } cases[] = {
      // Sending a manual (read, no sharing) shuts everyone out.
      {FileAccess::kRead, none, FileAccess::kRead, both, true},
      // Loading a list (read, deny write) lets other loaders in, not writers.
      {FileAccess::kRead, readOnly, FileAccess::kRead, readOnly, false},
      {FileAccess::kRead, readOnly, FileAccess::kReadWrite, none, true},
      {FileAccess::kRead, readOnly, FileAccess::kWrite, both, true},
      // A reader that shares everything refuses a newcomer that denies reading.
      {FileAccess::kRead, both, FileAccess::kWrite, {false, true}, true},
      {FileAccess::kRead, both, FileAccess::kWrite, both, false},
      {FileAccess::kWrite, both, FileAccess::kRead, readOnly, true},
      {FileAccess::kReadWrite, none, FileAccess::kRead, both, true},
  };
  for (const Case& c : cases) {
    std::unique_ptr<FileHandle> first, second;
    ASSERT_EQ(Open("C:\\f", c.firstAccess, c.firstShare, FileDisposition::kOpenExisting, &first),
              kErrorSuccess);
    WinError error =
        Open("C:\\F", c.secondAccess, c.secondShare, FileDisposition::kOpenExisting, &second);
    EXPECT_EQ(error, c.conflict ? kErrorSharingViolation : kErrorSuccess) << &c - cases;
    EXPECT_EQ(second == nullptr, c.conflict) << &c - cases;
  }
  std::unique_ptr<FileHandle> holder, other;
  ASSERT_EQ(Open("C:\\f", FileAccess::kRead, none, FileDisposition::kOpenExisting, &holder), 0u);
  EXPECT_EQ(Open("C:\\f", FileAccess::kWrite, both, FileDisposition::kCreateAlways, &other),
            kErrorSharingViolation);
  EXPECT_EQ(host().RemoveFile("C:\\f"), kErrorSharingViolation);
  EXPECT_EQ(host().MovePath("C:\\f", "C:\\g", false), kErrorSharingViolation);
  holder.reset();
  EXPECT_EQ(Read("C:\\f"), "data");  // a refused create-always truncates nothing
  EXPECT_EQ(Open("C:\\f", FileAccess::kRead, none, FileDisposition::kOpenExisting, &other), 0u);
}

TEST_P(HostContract, UserStoreKeepsTypedValues) {
  const std::string key = "Orvo\\Config\\General";
  EXPECT_EQ(host().OpenUserKey(key, false), kErrorFileNotFound);
  EXPECT_EQ(host().OpenUserKey(key, true), kErrorSuccess);
  EXPECT_EQ(host().OpenUserKey("orvo\\CONFIG\\general", false), kErrorSuccess);
  EXPECT_EQ(host().OpenUserKey("Orvo", false), kErrorSuccess);  // a parent of a key exists
  const std::pair<std::string, RegistryValue> values[] = {
      {"Plain", {RegistryType::kString, "http://x/y?a=b&c"}},
      {"Odd bytes", {RegistryType::kString, std::string("a\0b\r\n%41\xE9[x]=#", 15)}},
      {"Expand", {RegistryType::kExpandString, "%TEMP%\\x"}},
      {"Number", {RegistryType::kInteger, std::string("\x50\x1f\0\0", 4)}},
      {"Blob", {RegistryType::kBinary, std::string("\0\xff\x01", 3)}},
      {"Name=with[odd]#chars", {RegistryType::kString, ""}},
  };
  for (const auto& [name, value] : values) {
    ASSERT_EQ(host().WriteUserValue(key, name, value), kErrorSuccess) << name;
  }
  // A value written again under another letter case replaces the first.
  ASSERT_EQ(host().WriteUserValue("ORVO\\config\\GENERAL", "PLAIN",
                                  {RegistryType::kInteger, std::string(4, '\0')}),
            kErrorSuccess);
  std::unique_ptr<Host> another = GetParam().make(root_.path());  // reads the store anew
  for (auto [name, value] : values) {
    if (name == "Plain") value = {RegistryType::kInteger, std::string(4, '\0')};
    RegistryValue read;
    ASSERT_EQ(another->ReadUserValue("orvo\\CONFIG\\general", name, &read), kErrorSuccess) << name;
    EXPECT_EQ(read.type, value.type) << name;
    EXPECT_EQ(read.data, value.data) << name;
  }
  RegistryValue untouched{RegistryType::kBinary, "x"};
  EXPECT_EQ(host().ReadUserValue(key, "Missing", &untouched), kErrorFileNotFound);
  EXPECT_EQ(host().ReadUserValue(key + "\\Missing", "Plain", &untouched), kErrorFileNotFound);
  EXPECT_EQ(untouched.data, "x");
}

TEST_P(HostContract, ErrorTextsAreTheSystemsSentences) {
  const std::string text = host().ErrorText(kErrorFileNotFound);
  ASSERT_GT(text.size(), 3u);
  EXPECT_EQ(text.substr(text.size() - 3), ".\r\n");
  EXPECT_EQ(host().ErrorText(0xDEADBEEF), "");
}

#ifdef _WIN32
const HostKind kHosts[] = {{"Windows", NewDriveRootHost}};
#else
// The Linux host on the walk that stands in for openat2 where the kernel lacks it.
class WalkingHost : public HostWrapper {
 public:
  explicit WalkingHost(const std::string& root) : HostWrapper(NewDriveRootHost(root)) {}

 private:
  test::WithoutOpenat2 walk_;
};

const HostKind kHosts[] = {
    {"Posix", NewDriveRootHost},
    {"PosixWithoutOpenat2",
     [](const std::string& root) -> std::unique_ptr<Host> {
       return std::make_unique<WalkingHost>(root);
     }},
};
#endif

INSTANTIATE_TEST_SUITE_P(Hosts, HostContract, ::testing::ValuesIn(kHosts),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvo
