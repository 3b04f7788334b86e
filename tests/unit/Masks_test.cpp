#include "web/Masks.h"

#include <gtest/gtest.h>

#include <string>

#include "common/SysUtils.h"

namespace orvo {
namespace {

struct MatchCase {
  const char* mask;
  const char* text;
  bool matches;
};

TEST(MaskTest, MatchesWholeTextAsDescribed) {
  const MatchCase cases[] = {
      {"/uploadxml", "/uploadxml", true},
      {"/uploadxml", "/UploadXML", true},
      {"/uploadxml", "/uploadxml/", false},
      {"/uploadxml", "/uploadxml/x", false},
      {"/uploadxml", "uploadxml", false},
      {"/uploadxml", "", false},
      {"", "", true},
      {"", "/", false},
      {"\xC3\xA9", "\xC3\x89", false},  // only A-Z fold
      {"*", "", true},
      {"*", "anything", true},
      {"a*b", "ab", true},
      {"a*b", "axxbxxb", true},
      {"a*b", "axxbxxc", false},
      {"a**b", "a-b", true},
      {"*?", "", true},  // the "?" after a star is dropped
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"abc?", "abc", false},
      {"[a-c]x", "Bx", true},
      {"[a-c]x", "dx", false},
      {"[!a-c]x", "dx", true},
      {"[!a-c]x", "Ax", false},
      {"[xyz]", "Y", true},
      {"[a-]", "-", true},
      {"*.x[m]l", "/files/a.XML", true},
      {"*a*b*c", "aXbYc", true},
      {"*a*b*c", "aXcYb", false},
      {"*ab", "aab", true},
      {"a*a*a", "aa", false},
      {"%d", "%d", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TMask(c.mask).Matches(c.text), c.matches) << c.mask << " vs " << c.text;
  }
}

TEST(MaskTest, InvalidMasksNameMaskAndPosition) {
  struct InvalidCase {
    std::string mask;
    const char* message;
  };
  const InvalidCase cases[] = {
      {"/a[]", "'/a[]' is an invalid mask at (4)"},
      {"[!]", "'[!]' is an invalid mask at (3)"},
      {"/a[bc", "'/a[bc' is an invalid mask at (6)"},
      {"[-a]", "'[-a]' is an invalid mask at (2)"},
      {"[a-c-e]", "'[a-c-e]' is an invalid mask at (5)"},
  };
  for (const auto& c : cases) {
    try {
      TMask mask(c.mask);
      ADD_FAILURE() << c.mask << " compiled";
    } catch (const EMaskException& e) {
      EXPECT_EQ(e.Message(), c.message);
      EXPECT_STREQ(e.ClassName(), "EMaskException");
    }
  }
}

TEST(MaskTest, ThirtyStarRunsAreTheLimit) {
  std::string thirty;
  for (int i = 0; i < 30; ++i) thirty += "**a";  // doubled stars count once
  EXPECT_NO_THROW(TMask{thirty});
  std::string thirtyOne = thirty + "*";
  try {
    TMask mask(thirtyOne);
    ADD_FAILURE() << "31 stars compiled";
  } catch (const EMaskException& e) {
    EXPECT_EQ(e.Message(), "'" + thirtyOne + "' is an invalid mask at (91)");
  }
}

TEST(MaskTest, ManyStarsAgainstLongTextFinishQuickly) {
  // A backtracking matcher would try every alignment one by one here.
  std::string mask;
  for (int i = 0; i < 30; ++i) mask += "*a";
  mask += "b";
  std::string text(20000, 'a');
  EXPECT_FALSE(TMask(mask).Matches(text));
  EXPECT_TRUE(TMask(mask).Matches(text + "b"));
}

}  // namespace
}  // namespace orvo
