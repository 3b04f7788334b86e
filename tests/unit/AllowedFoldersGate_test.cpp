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

const ConfinedCase kConfinedCases[] = {
    {"D:\\Lotes", "D:\\Lotes", PathUse::kLookup, 0},
    {"D:\\Lotes", "d:\\LOTES.\\a\\..\\b.xml", PathUse::kFile, 0},
    {" D:/Lotes/ ; ", "D:\\Lotes\\b.xml", PathUse::kFile, 0},
    {"D:\\Img;d:\\lotes. ", "D:\\Lotes\\*.dwl", PathUse::kPattern, 0},
    {"D:\\", "D:\\any\\where", PathUse::kNewFolder, 0},
    {"D:\\Lotes", "D:\\Lotes2\\b.xml", PathUse::kFile, kErrorAccessDenied},
    {"D:\\Lotes", "D:\\Lotes\\..\\x", PathUse::kFile, kErrorAccessDenied},
    {"D:\\Lotes", "D:\\", PathUse::kLookup, kErrorAccessDenied},
    {"D:\\Lotes", "C:\\Lotes\\b.xml", PathUse::kFile, kErrorAccessDenied},
    {"D:\\Lotes", "b.xml", PathUse::kFile, kErrorAccessDenied},
    {"D:\\Lotes", "D:\\LOTES~1\\b.xml", PathUse::kFile, kErrorAccessDenied},
    {"Lotes;\\Lotes;\\\\server\\share", "C:\\Lotes\\b.xml", PathUse::kFile, kErrorAccessDenied},
    {"D:\\Lotes\\..\\Img", "D:\\Img\\a.png", PathUse::kFile, 0},
    {"D:\\Lotes\\..\\Img", "D:\\Lotes\\a.png", PathUse::kFile, kErrorAccessDenied},
    // The gate's own refusals come first.
    {"D:\\Lotes", "\\\\?\\D:\\Lotes\\b.xml", PathUse::kFile, kErrorInvalidName},
    {"D:\\Lotes", "D:\\Lotes\\CON", PathUse::kFile, kErrorInvalidName},
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
  EXPECT_NE(gate.Confine(nullptr), nullptr);  // lifted
  ASSERT_EQ(gate.Pass("C:\\x", PathUse::kFile, &full), kErrorSuccess);
  EXPECT_FALSE(full.AllowedDepth());
}

TEST(AllowedFoldersGateTest, BlankListConfinesNothing) {
  EXPECT_EQ(AllowedFolders::Parse(""), nullptr);
  EXPECT_EQ(AllowedFolders::Parse(" ; ;"), nullptr);
}

// A walk of folders returns to the folder it started from, which need not be listed.
TEST(AllowedFoldersGateTest, CurrentFolderMayGoBackToWhereTheConfinementBegan) {
  PathGate gate;
  gate.Confine(AllowedFolders::Parse("D:\\Lotes"));
  GatedPath folder;
  ASSERT_EQ(gate.Pass("D:\\Lotes\\VESTRA", PathUse::kCurrentFolder, &folder), kErrorSuccess);
  gate.SetCurrent(folder);
  EXPECT_EQ(gate.Pass("C:\\", PathUse::kCurrentFolder, &folder), kErrorSuccess);
  EXPECT_EQ(gate.Pass("C:\\", PathUse::kLookup, &folder), kErrorAccessDenied);
  EXPECT_EQ(gate.Pass("C:\\Windows", PathUse::kCurrentFolder, &folder), kErrorAccessDenied);
}

}  // namespace
}  // namespace orvo
