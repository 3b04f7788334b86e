// The path gate, alone and through the platform's host: every host refuses the same paths with
// the same codes, before anything reaches the system.
#include "host/PathGate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "TestSupport.h"
#include "host/WindowsNames.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;

// A path of `length` characters on drive C:, in folders of 100.
std::string Long(size_t length) {
  std::string path = "C:";
  while (path.size() < length) {
    path += '\\' + std::string(std::min<size_t>(100, length - path.size() - 1), 'a');
  }
  return path;
}

struct GateCase {
  std::string given;
  PathUse use;
  WinError code;
  const char* full = "";  // when passed
};

const GateCase kGateCases[] = {
    {"a.txt", PathUse::kFile, 0, "C:\\Orvo\\a.txt"},
    {"D:x\\..\\y. .", PathUse::kFile, 0, "D:\\y"},
    {"\\Lotes\\\\VESTRA\\", PathUse::kLookup, 0, "C:\\Lotes\\VESTRA\\"},
    {"C:\\x\\*.x?l", PathUse::kPattern, 0, "C:\\x\\*.x?l"},
    {"C:\\x\\con.txt\\..\\ok", PathUse::kFile, 0, "C:\\x\\ok"},
    {"C:\\LPT10\\COM\\CONOUT", PathUse::kFile, 0, "C:\\LPT10\\COM\\CONOUT"},
    {"", PathUse::kLookup, kErrorPathNotFound},
    {std::string("C:\\Orvo\\x.asp\0.xml", 18), PathUse::kFile, kErrorInvalidName},
    {std::string("x\0", 2), PathUse::kLookup, kErrorInvalidName},
    {"\\\\?\\C:\\Orvo", PathUse::kPattern, kErrorInvalidName},
    {"\\\\.\\D:\\Movel", PathUse::kNewFolder, kErrorInvalidName},
    {"\\??\\C:\\x", PathUse::kFile, kErrorInvalidName},
    {"//?/C:/x", PathUse::kFile, kErrorInvalidName},
    {"\\\\?\\GLOBALROOT\\Device", PathUse::kFile, kErrorInvalidName},
    {"\\\\?\\unix\\nonexistent-orvo\\x", PathUse::kFile, kErrorInvalidName},
    {"\\\\.\\NUL", PathUse::kFile, kErrorInvalidName},
    {"\\\\?", PathUse::kLookup, kErrorInvalidName},
    // A share is a root that ".." never leaves; its server and share are names like any other.
    {"\\\\srv\\lotes\\a\\..\\..\\..\\x.xml", PathUse::kFile, 0, "\\\\srv\\lotes\\x.xml"},
    {"//srv/lotes", PathUse::kLookup, 0, "\\\\srv\\lotes\\"},
    {"\\\\Srv. \\lotes.\\VESTRA\\", PathUse::kNewFolder, 0, "\\\\Srv\\lotes\\VESTRA\\"},
    {"\\\\srv\\lotes\\*.dwl", PathUse::kPattern, 0, "\\\\srv\\lotes\\*.dwl"},
    {"\\\\srv", PathUse::kLookup, kErrorBadNetPath},
    {"\\\\\\lotes\\x", PathUse::kFile, kErrorBadNetPath},
    {"\\\\srv\\..\\x", PathUse::kFile, kErrorBadNetPath},
    {"\\\\?. \\lotes\\x", PathUse::kFile, kErrorBadNetPath},
    {"\\\\s*v\\lotes\\x", PathUse::kFile, kErrorInvalidName},
    {"\\\\srv\\lo?es", PathUse::kPattern, kErrorInvalidName},
    {"\\\\CON\\lotes\\x", PathUse::kFile, kErrorInvalidName},
    {"\\\\srv\\aux.x\\x", PathUse::kNewFolder, kErrorInvalidName},
    {"\\\\srv\\lotes\\nul.txt", PathUse::kFile, kErrorInvalidName},
    {"\\\\srv\\lotes\\x.xml:s", PathUse::kFile, kErrorInvalidName},
    {"\\\\?\\UNC\\srv\\lotes\\x", PathUse::kFile, kErrorInvalidName},
    {"\\\\srv\\lotes\\" + std::string(247, 'a'), PathUse::kLookup, 0, ""},
    {"\\\\srv\\lotes\\" + std::string(248, 'a'), PathUse::kLookup, kErrorFilenameExcedRange},
    {"\\\\srv\\lotes\\" + std::string(236, 'a'), PathUse::kNewFolder, kErrorFilenameExcedRange},
    {"C:\\x.xml:8137.dwl", PathUse::kFile, kErrorInvalidName},
    {"C:\\VESTRA::$DATA", PathUse::kNewFolder, kErrorInvalidName},
    {"\\D:Rel", PathUse::kNewFolder, kErrorInvalidName},
    {"1:\\x", PathUse::kLookup, kErrorInvalidName},
    {"C:C:", PathUse::kLookup, kErrorInvalidName},
    {"C:\\NUL", PathUse::kFile, kErrorInvalidName},
    {"C:\\x\\nul.txt", PathUse::kFile, kErrorInvalidName},
    {"Nul ", PathUse::kFile, kErrorInvalidName},
    {"C:\\aux .log.", PathUse::kFile, kErrorInvalidName},
    {"C:\\com1\\x", PathUse::kLookup, kErrorInvalidName},
    {"C:\\x\\Lpt9.xml", PathUse::kMoved, kErrorInvalidName},
    {"C:\\CONIN$", PathUse::kFile, kErrorInvalidName},
    {"C:\\conout$.txt", PathUse::kFile, kErrorInvalidName},
    {"C:\\PRN", PathUse::kCurrentFolder, kErrorInvalidName},
    {"C:\\COM\xB9", PathUse::kFile, kErrorInvalidName},
    {"C:\\x\\*.xml", PathUse::kFile, kErrorInvalidName},
    {"C:\\*\\a.xml", PathUse::kPattern, kErrorInvalidName},
    {"C:\\x\\>.xml", PathUse::kPattern, kErrorInvalidName},
    {"C:\\x\\a\"b", PathUse::kFile, kErrorInvalidName},
    {"C:\\x\\a|b", PathUse::kFile, kErrorInvalidName},
    {"C:\\x\\a\x1f", PathUse::kFile, kErrorInvalidName},
    {"C:\\x\\a.xml\\", PathUse::kFile, kErrorInvalidName},
    {"C:\\x\\a.xml/", PathUse::kMoved, kErrorInvalidName},
    {"C:\\", PathUse::kFile, 0, "C:\\"},
    {Long(259), PathUse::kLookup, 0, ""},
    {Long(260), PathUse::kLookup, kErrorFilenameExcedRange},
    {Long(259), PathUse::kCurrentFolder, kErrorFilenameExcedRange},
    {Long(247), PathUse::kNewFolder, 0, ""},
    {Long(248), PathUse::kNewFolder, kErrorFilenameExcedRange},
    {"C:" + std::string(300, '\\') + "x", PathUse::kFile, kErrorFilenameExcedRange},
    {"C:" + std::string(300, '\\') + "x", PathUse::kMoved, 0, "C:\\x"},
};

TEST(PathGateTest, ResolvesAndRefusesAsWindowsDoes) {
  WindowsPath orvo;
  orvo.components = {"Orvo"};
  PathGate gate(orvo);
  for (const GateCase& c : kGateCases) {
    GatedPath full;
    EXPECT_EQ(gate.Pass(c.given, c.use, &full), c.code) << c.given;
    if (c.code == kErrorSuccess && *c.full != '\0') {
      EXPECT_EQ(full->Text(), c.full) << c.given;
    }
  }
}

TEST(PathGateTest, NamesAFilePathEndingInASeparatorNoFile) {
  WindowsPath folder;
  folder.components = {"x"};
  folder.trailingSeparator = true;
  EXPECT_EQ(CheckFinalSeparator(folder, kAttrArchive), kErrorInvalidName);
  EXPECT_EQ(CheckFinalSeparator(folder, kAttrDirectory), kErrorSuccess);
  folder.trailingSeparator = false;
  EXPECT_EQ(CheckFinalSeparator(folder, kAttrArchive), kErrorSuccess);
}

TEST(PathGateTest, KnowsTheDeviceNames) {
  for (const char* name : {"CON", "con", "Prn.txt", "AUX.", "nul .x", "COM0", "com9.log", "LPT1",
                           "conin$", "CONOUT$.a.b", "COM\xB2", "LPT\xB3"}) {
    EXPECT_TRUE(IsDeviceName(name)) << name;
    EXPECT_FALSE(CanNameAgain(name)) << name;
  }
  for (const char* name : {"CONS", "NULL.txt", "COM", "COM10", "LPT", "xCON", "CON_1", "CONIN"}) {
    EXPECT_FALSE(IsDeviceName(name)) << name;
  }
}

// The platform's host refuses what the gate refuses, and nothing appears on the disk. (Files are
// only ever created new here: a host that let a path through must not harm what it reaches.)
TEST(PathGateTest, HostsRefuseBeforeTheSystemSeesThePath) {
  test::DriveRoot drives;
  Host& host = drives.host();
  fs::create_directories(drives.Disk("c/Orvo"));
  test::WriteHostFile(drives.Disk("c/Orvo/a.xml"), "a");
  for (const GateCase& c : kGateCases) {
    if (c.code == kErrorSuccess || c.given.empty()) continue;
    std::unique_ptr<FileHandle> file;
    switch (c.use) {
      case PathUse::kFile:
        EXPECT_EQ(
            host.OpenFile(c.given, FileAccess::kWrite, {}, FileDisposition::kCreateNew, &file),
            c.code)
            << c.given;
        break;
      case PathUse::kNewFolder:
        EXPECT_EQ(host.CreateFolder(c.given), c.code) << c.given;
        break;
      case PathUse::kMoved:
        EXPECT_EQ(host.MovePath("C:\\Orvo\\a.xml", c.given, false), c.code) << c.given;
        break;
      case PathUse::kCurrentFolder:
        EXPECT_EQ(host.SetCurrentFolder(c.given), c.code) << c.given;
        break;
      case PathUse::kLookup:
      case PathUse::kPattern: {
        uint32_t attributes = 0;
        std::unique_ptr<DirSearch> search;
        FindData entry;
        if (c.use == PathUse::kLookup) {
          EXPECT_EQ(host.GetAttributes(c.given, &attributes), c.code) << c.given;
        }
        EXPECT_EQ(host.FindFirst(c.given, &search, &entry), c.code) << c.given;
        break;
      }
    }
  }
  std::vector<std::string> left;
  for (const auto& entry : fs::recursive_directory_iterator(drives.Disk("c"))) {
    std::string name = entry.path().filename().string();
    if (name != "windows" && name != "users") left.push_back(name);
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"Orvo", "a.xml"}));
  EXPECT_EQ(host.GetCurrentFolder(), "C:\\");
}

}  // namespace
}  // namespace orvo
