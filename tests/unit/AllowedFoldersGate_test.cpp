// The allowed folders in the path gate: what a list allows, and that a confined gate refuses the
// rest with "access denied" before anything reaches the system.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/AllowedFolders.h"
#include "host/PathGate.h"

namespace orvo {
namespace {

struct ConfinedCase {
  const char* list;
  const char* given;
  PathUse use;
  WinError code;
};

// The end-to-end table has the escapes; here what a list itself allows.
const ConfinedCase kConfinedCases[] = {
    {" D:/Lotes/ ; ", "d:\\LOTES.\\a\\..\\b.xml", PathUse::kFile, 0},
    {"D:\\Img;d:\\lotes. ", "D:\\Lotes\\*.dwl", PathUse::kPattern, 0},
    {"D:\\", "D:\\any\\where", PathUse::kNewFolder, 0},
    {"D:\\Lotes", "D:\\", PathUse::kLookup, kErrorAccessDenied},
    {"Lotes;\\Lotes;\\\\server\\share", "C:\\Lotes\\b.xml", PathUse::kFile, kErrorAccessDenied},
    {"D:\\Lotes\\..\\Img", "D:\\Lotes\\a.png", PathUse::kFile, kErrorAccessDenied},
    {"D:\\Lotes", "D:\\Lotes\\CON", PathUse::kFile, kErrorInvalidName},  // the gate's first
    // A present key never means "everything".
    {";", "D:\\x", PathUse::kFile, kErrorAccessDenied},
    {" ;; ", "C:\\", PathUse::kLookup, kErrorAccessDenied},
    {"", "D:\\x", PathUse::kFile, kErrorAccessDenied},
    {"x;D:\\CON;D:\\a*", "D:\\a*\\x", PathUse::kFile, kErrorInvalidName},
    // Shares, and folders on them.
    {"\\\\srv\\lotes", "//SRV/Lotes./a\\..\\..\\..\\b.xml", PathUse::kFile, 0},
    {"\\\\srv\\lotes", "\\\\srv\\outra\\b.xml", PathUse::kFile, kErrorAccessDenied},
    {"\\\\srv\\lotes", "\\\\srv2\\lotes\\b.xml", PathUse::kFile, kErrorAccessDenied},
    {"\\\\srv\\lotes", "D:\\lotes\\b.xml", PathUse::kFile, kErrorAccessDenied},
    {"\\\\srv\\lotes\\Img;D:\\lotes", "\\\\srv\\lotes\\img\\a.png", PathUse::kFile, 0},
    {"\\\\srv\\lotes\\Img", "\\\\srv\\lotes\\a.png", PathUse::kFile, kErrorAccessDenied},
};

TEST(AllowedFoldersGateTest, ConfinedGateRefusesWhatLiesOutside) {
  for (const ConfinedCase& c : kConfinedCases) {
    PathGate gate;  // current folder C:\ .
    gate.Confine(AllowedFolders::Parse(c.list));
    GatedPath full;
    EXPECT_EQ(gate.Pass(c.given, c.use, &full), c.code) << c.list << " | " << c.given;
  }
}

TEST(AllowedFoldersGateTest, DepthIsTheWidestListedFolder) {
  PathGate gate;
  gate.Confine(AllowedFolders::Parse("D:\\Lotes\\VESTRA;D:\\Lotes"));
  GatedPath full;
  ASSERT_EQ(gate.Pass("D:\\Lotes\\VESTRA\\a.xml", PathUse::kFile, &full), kErrorSuccess);
  EXPECT_EQ(full.AllowedDepth(), 1u);
  std::vector<std::string> invalid;
  EXPECT_FALSE(
      AllowedFolders::Parse(" ; ;x; D:\\CON ;\\\\s?v\\l;\\\\srv;D:\\a", &invalid)->Empty());
  EXPECT_EQ(invalid, (std::vector<std::string>{"x", "D:\\CON", "\\\\s?v\\l", "\\\\srv"}));
  EXPECT_TRUE(AllowedFolders::Parse(" ; ;")->Empty());
  EXPECT_NE(gate.Confine(nullptr), nullptr);  // lifted
  ASSERT_EQ(gate.Pass("C:\\x", PathUse::kFile, &full), kErrorSuccess);
  EXPECT_FALSE(full.AllowedDepth());
}

}  // namespace
}  // namespace orvo
