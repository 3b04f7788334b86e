// The module's computations on the batch key: the check digit and the batch total.
#include "module/UWM.h"

#include <gtest/gtest.h>

#include <string>

#include "common/SysUtils.h"
#include "common/SysUtilsConvert.h"

namespace orvo {
namespace {

// A key whose 7th, 16th and 21st characters are the given ones.
std::string Key(char seventh, char sixteenth, char twentyFirst) {
  std::string key = "ABCDEF?GHIJKLMN?OPQR?";
  key[6] = seventh;
  key[15] = sixteenth;
  key[20] = twentyFirst;
  return key;
}

TEST(CheckDigitTest, ReducesTheQuotientToOneDigit) {
  struct Case {
    std::string key, digit;
  } cases[] = {
      {"PED00181372024081509301200000152390", "3"},  // 64 / 3 = 21 -> 3
      {"PED00181372024081509001200000152390", "1"},  // "0" counts as 1: 64 -> 10 -> 1
      {"PED00101372024081509301200000152390", "0"},
      {Key('7', '4', '1'), "1"},  // 28 -> 10 -> 1
      {Key('6', '8', '1'), "3"},  // 48 -> 12 -> 3
      {Key('7', '7', '1'), "4"},  // 49 -> 13 -> 4
      {Key('8', '7', '1'), "2"},  // 56 -> 11 -> 2
      {Key('9', '9', '1'), "9"},  // 81 -> 9
      {Key('9', '9', '9'), "9"},
      {Key('9', '9', '0'), "9"},
      {Key('5', '3', '4'), "3"},  // 15 / 4 = 3, truncated
      {Key('0', '0', '0'), "0"},
  };
  for (const Case& c : cases) EXPECT_EQ(TWM1::CheckDigit(c.key), c.digit) << c.key;
}

TEST(CheckDigitTest, RefusesWhatIsNotADigit) {
  struct Case {
    std::string key, text;
  } cases[] = {
      {"", ""},
      {"PED0018137202408150", ""},  // shorter than 21
      {Key(' ', '1', '1'), " "},
      {Key('1', '+', '1'), "+"},
      {Key('1', '1', '-'), "-"},
      {Key('$', '1', '1'), "$"},
      {Key('1', 'a', '1'), "a"},
  };
  for (const Case& c : cases) {
    try {
      TWM1::CheckDigit(c.key);
      ADD_FAILURE() << c.key;
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), "'" + c.text + "' is not a valid integer value");
    }
  }
}

class BatchTotalTest : public ::testing::Test {
 protected:
  BatchTotalTest() : saved_(LocaleFormats) {
    LocaleFormats.DecimalMark = ',';
    LocaleFormats.GroupMark = '.';
  }
  ~BatchTotalTest() override { LocaleFormats = saved_; }
  TLocaleFormats saved_;
};

TEST_F(BatchTotalTest, ReadsEightCharactersFromThe28th) {
  const std::string head = "PED001813720240815093012000";  // 27 characters
  ASSERT_EQ(head.size(), 27u);
  struct Case {
    std::string tail, total;
  } cases[] = {
      {"00152390", "1.523,90"}, {"12345678", "123.456,78"},
      {"  1234  ", "1.234,00"}, {"", "0,00"},
      {"0152390", "15.239,00"}, {"99999999999", "999.999,99"},
      {"00000001", "0,01"},
  };
  for (const Case& c : cases) EXPECT_EQ(TWM1::BatchTotal(head + c.tail), c.total) << c.tail;
  EXPECT_THROW(TWM1::BatchTotal(head + "0015ab90"), EConvertError);

  LocaleFormats.DecimalMark = '.';
  EXPECT_THROW(TWM1::BatchTotal(head + "00152390"), EConvertError);
}

}  // namespace
}  // namespace orvo
