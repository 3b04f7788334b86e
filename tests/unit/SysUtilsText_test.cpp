#include "common/SysUtilsText.h"

#include <gtest/gtest.h>

#include "common/SysUtils.h"

namespace orvo {
namespace {

TEST(StrToIntTest, AcceptsDecimalAndHexForms) {
  struct Case {
    const char* text;
    int32_t value;
  };
  const Case cases[] = {
      {"0", 0},
      {" 42", 42},
      {"   +7", 7},
      {"-2147483648", INT32_MIN},
      {"2147483647", INT32_MAX},
      {"007", 7},
      {"$1F", 31},
      {"0x1F", 31},
      {"0X1f", 31},
      {"x1F", 31},
      {"X1f", 31},
      {"-$10", -16},
      {"$FFFFFFFF", -1},
      {"$0000000000FF", 255},
      {"-0", 0},
      {"$80000000", INT32_MIN},
      {"-$80000000", INT32_MIN},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StrToInt(c.text), c.value) << c.text;
  }
}

TEST(StrToIntTest, RefusesMalformedTextWithTheWholeInputInTheMessage) {
  const char* refused[] = {
      "",           "   ", "42 ", "\t42", "+",  "-",   "+-1",  "2147483648",          "-2147483649",
      "$100000000", "A",   "$",   "0x",   "$G", "1.0", "0x-1", "99999999999999999999"};
  for (const char* text : refused) {
    try {
      StrToInt(text);
      ADD_FAILURE() << "accepted '" << text << "'";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), "'" + std::string(text) + "' is not a valid integer value");
    }
  }
  EXPECT_EQ(StrToIntDefault("42 ", -5), -5);
  EXPECT_EQ(StrToIntDefault(" 12", -5), 12);
}

TEST(IntToStrTest, ShortestDecimalForm) {
  EXPECT_EQ(IntToStr(0), "0");
  EXPECT_EQ(IntToStr(-17), "-17");
  EXPECT_EQ(IntToStr(INT32_MIN), "-2147483648");
}

TEST(TrimTest, RemovesControlBytesAndSpacesAtBothEnds) {
  EXPECT_EQ(Trim("\t abc\r\n"), "abc");
  EXPECT_EQ(Trim("\r\n"), "");
  EXPECT_EQ(Trim(std::string("\0a b\x1f", 5)), "a b");
  EXPECT_EQ(Trim("\xA0x\xA0"), "\xA0x\xA0");  // no-break space is above 32
}

TEST(SubstringTest, CopyPosInsertDeleteFollowTheirIndexRules) {
  EXPECT_EQ(Copy("abcdef", 0, 2), "ab");
  EXPECT_EQ(Copy("abcdef", -5, 3), "abc");
  EXPECT_EQ(Copy("abcdef", 7, 1), "");
  EXPECT_EQ(Copy("abcdef", 5, 100), "ef");
  EXPECT_EQ(Copy("abcdef", 2, -1), "");

  EXPECT_EQ(Pos("cd", "abcdcd"), 3);
  EXPECT_EQ(Pos("CD", "abcd"), 0);
  EXPECT_EQ(Pos("", "abc"), 0);
  EXPECT_EQ(Pos("a", ""), 0);

  struct InsertCase {
    const char* into;
    int64_t index;
    const char* expected;
  };
  const InsertCase inserts[] = {{"123456", 7, "123456,"},
                                {"12345678", 7, "123456,78"},
                                {"123", 0, ",123"},
                                {"123", 99, "123,"},
                                {"", 1, ","}};
  for (const InsertCase& c : inserts) {
    std::string s = c.into;
    Insert(",", s, c.index);
    EXPECT_EQ(s, c.expected) << c.into << " at " << c.index;
  }

  std::string s = "abcdef";
  Delete(s, 0, 2);
  Delete(s, 7, 1);
  Delete(s, 2, 0);
  EXPECT_EQ(s, "abcdef");
  Delete(s, 5, 100);
  EXPECT_EQ(s, "abcd");
  Delete(s, 2, 2);
  EXPECT_EQ(s, "ad");
}

TEST(CompareTextTest, AsciiFoldsOnlyPlainLetters) {
  EXPECT_LT(CompareTextAscii("abc", "ABD"), 0);
  EXPECT_EQ(CompareTextAscii("Loja", "LOJA"), 0);
  EXPECT_NE(CompareTextAscii("\xE9", "\xC9"), 0);  // é, É
  EXPECT_LT(CompareTextAscii("ab", "abc"), 0);
  EXPECT_GT(CompareTextAscii("\xE9", "e"), 0);  // bytes compare unsigned
  EXPECT_EQ(LowercaseAscii("AbC\xC9"), "abc\xC9");
  EXPECT_EQ(UppercaseAscii("aBc\xE9"), "ABC\xE9");
}

TEST(CompareTextTest, LocaleFoldsEveryCodePageLetter) {
  // Upper-case and lower-case forms of each letter pair that has one.
  const std::string upper = "ABCXYZ\xC0\xC9\xD6\xD8\xDE\x8A\x8C\x8E\x9F";
  const std::string lower = "abcxyz\xE0\xE9\xF6\xF8\xFE\x9A\x9C\x9E\xFF";
  EXPECT_EQ(CompareTextLocale(upper, lower), 0);
  EXPECT_EQ(LowercaseLocale(upper), lower);
  EXPECT_EQ(UppercaseLocale(lower), upper);
  EXPECT_EQ(CompareTextLocale("\xE9", "\xC9"), 0);  // é, É
  EXPECT_NE(CompareTextLocale("a", "\xE1"), 0);     // a, á
  // × and ÷ are not a case pair; ß and µ have no upper case in the code page.
  EXPECT_NE(CompareTextLocale("\xD7", "\xF7"), 0);
  EXPECT_EQ(LowercaseLocale("\xD7"), "\xD7");
  EXPECT_EQ(UppercaseLocale("\xDF\xB5"), "\xDF\xB5");
  EXPECT_NE(CompareTextLocale("abc", "abcd"), 0);
  EXPECT_EQ(CompareTextLocale("", ""), 0);
}

}  // namespace
}  // namespace orvo
