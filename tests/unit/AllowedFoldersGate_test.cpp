// The allowed folders in the path gate: what a list allows, and that a confined gate refuses the
// rest with "access denied" before anything reaches the system.
#include <gtest/gtest.h>

#include "host/AllowedFolders.h"

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
  EXPECT_EQ(AllowedFolders::Parse(" ; ;"), nullptr);
  EXPECT_NE(gate.Confine(nullptr), nullptr);  // lifted
  ASSERT_EQ(gate.Pass("C:\\x", PathUse::kFile, &full), kErrorSuccess);
  EXPECT_FALSE(full.AllowedDepth());
}

}  // namespace
}  // namespace orvo
