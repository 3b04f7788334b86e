#include "common/SysUtilsConvert.h"

#include <gtest/gtest.h>

#include <map>

#include "DriveRootHost.h"
#include "common/SysUtils.h"
#include "host/HostWrapper.h"

namespace orvo {
namespace {

// A host with a fixed clock and chosen locale values.
class FakeHost : public HostWrapper {
 public:
  FakeHost() : HostWrapper(NewDriveRootHost("/nonexistent")) {}
  LocalTime LocalNow() override { return now; }
  std::optional<std::string> GetLocaleValue(LocaleItem item) override {
    auto found = locale.find(item);
    if (found == locale.end()) return std::nullopt;
    return found->second;
  }
  LocalTime now{2024, 6, 1, 12, 0, 0, 0};
  std::map<LocaleItem, std::string> locale;
};

// Installs a fake host and restores the host and the locale record afterwards.
class ConvertTest : public testing::Test {
 protected:
  void SetUp() override { Host::SetDefault(&host_); }
  void TearDown() override {
    Host::SetDefault(nullptr);
    LocaleFormats = TLocaleFormats();
  }
  void UseBrazil() { LocaleFormats = TLocaleFormats{',', '.', '/', "dd/MM/yyyy"}; }
  FakeHost host_;
};

template <typename F>
std::string FailureOf(F action) {
  try {
    action();
  } catch (const EConvertError& e) {
    return e.Message();
  }
  return "no failure";
}

TEST_F(ConvertTest, LoadLocaleFormatsTakesOneByteMarksOnly) {
  LoadLocaleFormats();
  EXPECT_EQ(LocaleFormats.DecimalMark, '.');
  EXPECT_EQ(LocaleFormats.GroupMark, ',');
  EXPECT_EQ(LocaleFormats.DateMark, '/');
  EXPECT_EQ(LocaleFormats.ShortDatePattern, "m/d/yy");

  host_.locale = {{LocaleItem::kDecimalMark, ","},
                  {LocaleItem::kGroupMark, ""},
                  {LocaleItem::kDateMark, "--"},
                  {LocaleItem::kShortDatePattern, "dd/MM/yyyy"}};
  LoadLocaleFormats();
  EXPECT_EQ(LocaleFormats.DecimalMark, ',');
  EXPECT_EQ(LocaleFormats.GroupMark, '\0');
  EXPECT_EQ(LocaleFormats.DateMark, '/');
  EXPECT_EQ(LocaleFormats.ShortDatePattern, "dd/MM/yyyy");
}

TEST_F(ConvertTest, StrToFloatWithCommaMark) {
  UseBrazil();
  struct Case {
    const char* text;
    long double value;
  };
  const Case cases[] = {
      {"123456,78", 12345678.0L / 100},
      {"  -12,5  ", -12.5L},
      {"123456,", 123456.0L},
      {",", 0.0L},
      {"1e3", 1000.0L},
      {"1E", 1.0L},
      {"+,5e-1", 0.05L},
      {"0,1", 1.0L / 10},
      {"0e4999", 0.0L},
      {"25E-2", 0.25L},
  };
  for (const Case& c : cases) EXPECT_EQ(StrToFloat(c.text), c.value) << c.text;
  EXPECT_GT(StrToFloat("1e0500"), 1e499L);  // the exponent reads up to 500 and stops

  const char* refused[] = {"123.456,78", "12.5",  "-",  "",    "  ", "1e5000",
                           "1e4999",     "1,2,3", "e3", "1 2", "\t1"};
  for (const char* text : refused) {
    EXPECT_EQ(FailureOf([&] { StrToFloat(text); }),
              "'" + std::string(text) + "' is not a valid floating point value");
  }
}

TEST_F(ConvertTest, StrToFloatWithDefaultMarkRefusesComma) {
  EXPECT_EQ(StrToFloat("12.5"), 12.5L);
  EXPECT_EQ(FailureOf([] { StrToFloat("12,5"); }), "'12,5' is not a valid floating point value");
}

TEST_F(ConvertTest, FormatFloatBatchTotalPattern) {
  UseBrazil();
  const std::string pattern = "#,###,###,##0.00";
  struct Case {
    long double value;
    const char* text;
  };
  const Case cases[] = {
      {1234567.5L, "1.234.567,50"},
      {0.0L, "0,00"},
      {0.5L, "0,50"},
      {0.005L, "0,01"},
      {-0.004L, "0,00"},
      {-1234.5L, "-1.234,50"},
      {12345678901.5L, "12.345.678.901,50"},
      {0.125L, "0,13"},
      {-0.125L, "-0,13"},
      {999.995L, "1.000,00"},
      {123456.78L, "123.456,78"},
      {1e20L, "100.000.000.000.000.000.000,00"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatFloat(pattern, c.value), c.text) << c.text;

  LocaleFormats = TLocaleFormats();
  EXPECT_EQ(FormatFloat(pattern, 1234567.5L), "1,234,567.50");
}

TEST_F(ConvertTest, FormatFloatPlaceholderRules) {
  struct Case {
    const char* pattern;
    long double value;
    const char* text;
  };
  const Case cases[] = {
      {"0.##", 1.5L, "1.5"},
      {"0.##", 2.0L, "2"},
      {"#.##", 0.25L, ".25"},
      {"#.##", 0.0L, ""},
      {"000", 7.0L, "007"},
      {"#", 1234.5L, "1235"},
      {"#,#", 1234567.0L, "1,234,567"},
      {"0.0#0", 1.5L, "1.500"},
      {"#0.0##", 0.12345L, "0.123"},
      {"0", -0.4L, "0"},
      {"0.00", 1.005L, "1.01"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatFloat(c.pattern, c.value), c.text) << c.pattern << " " << c.text;
  }
  LocaleFormats.GroupMark = '\0';
  EXPECT_EQ(FormatFloat("#,##0", 1234567.0L), "1234567");
  EXPECT_EQ(FormatFloat(std::string(224, '#'), 1.0L), "1");
  EXPECT_EQ(FailureOf([] { FormatFloat(std::string(225, '#'), 1.0L); }), "Format string too long");
}

TEST_F(ConvertTest, StrToDateDayMonthYear) {
  UseBrazil();
  host_.now.year = 2024;
  struct Case {
    const char* text;
    int year, month, day;
  };
  const Case cases[] = {
      {"15/03/2024", 2024, 3, 15},       {"15/03/24", 2024, 3, 15},    {"15/03/75", 1975, 3, 15},
      {"15/03/74", 1974, 3, 15},         {"15/03/73", 2073, 3, 15},    {"15/03", 2024, 3, 15},
      {" 15 / 03 / 2024 ", 2024, 3, 15}, {"15/03/2024/", 2024, 3, 15}, {"15/03/024", 24, 3, 15},
      {"0015/003/2024", 2024, 3, 15},    {"29/02/2024", 2024, 2, 29},  {"1/1/0", 2000, 1, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StrToDate(c.text), EncodeDate(c.year, c.month, c.day)) << c.text;
  }
  const char* refused[] = {"31/02/2024", "2024-03-15", "15/03/2024 10:00", "",
                           "15",         "15/03/",     "15/03/2024//",     "29/02/2023",
                           "15/13/2024", "00/03/2024", "15/03/0000",       "15/03/12345"};
  for (const char* text : refused) {
    EXPECT_EQ(FailureOf([&] { StrToDate(text); }),
              "'" + std::string(text) + "' is not a valid date");
  }
}

TEST_F(ConvertTest, StrToDateOrderFollowsThePattern) {
  host_.now.year = 2024;
  LocaleFormats.ShortDatePattern = "M/d/yyyy";
  EXPECT_EQ(StrToDate("03/15/2024"), EncodeDate(2024, 3, 15));
  EXPECT_EQ(StrToDate("03/15"), EncodeDate(2024, 3, 15));
  EXPECT_EQ(FailureOf([] { StrToDate("15/03/2024"); }), "'15/03/2024' is not a valid date");

  LocaleFormats.ShortDatePattern = "yyyy-MM-dd";
  LocaleFormats.DateMark = '-';
  EXPECT_EQ(StrToDate("2024-03-15"), EncodeDate(2024, 3, 15));
  EXPECT_EQ(StrToDate("24-03-15"), EncodeDate(2024, 3, 15));
  EXPECT_EQ(StrToDate("03-15"), EncodeDate(2024, 3, 15));  // two numbers: month, day

  LocaleFormats.ShortDatePattern = "";
  EXPECT_EQ(StrToDate("03-15-2024"), EncodeDate(2024, 3, 15));
}

TEST_F(ConvertTest, CalendarEncoding) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
  EXPECT_EQ(EncodeDate(2024, 3, 1) - EncodeDate(2024, 2, 28), 2.0);
  EXPECT_EQ(EncodeDate(2100, 3, 1) - EncodeDate(2100, 2, 28), 1.0);
  EXPECT_EQ(EncodeTime(12, 0, 0, 0), 0.5);
  EXPECT_EQ(EncodeTime(6, 0, 0, 0), 0.25);
  EXPECT_TRUE(IsLeapYear(2000));
  EXPECT_FALSE(IsLeapYear(1900));
  EXPECT_TRUE(IsLeapYear(2024));
  EXPECT_FALSE(IsLeapYear(2023));

  const std::string date = "Invalid argument to date encode";
  const std::string time = "Invalid argument to time encode";
  EXPECT_EQ(FailureOf([] { EncodeDate(0, 1, 1); }), date);
  EXPECT_EQ(FailureOf([] { EncodeDate(10000, 1, 1); }), date);
  EXPECT_EQ(FailureOf([] { EncodeDate(2023, 2, 29); }), date);
  EXPECT_EQ(FailureOf([] { EncodeDate(2024, 13, 1); }), date);
  EXPECT_EQ(FailureOf([] { EncodeDate(2024, 4, 31); }), date);
  EXPECT_EQ(FailureOf([] { EncodeTime(24, 0, 0, 0); }), time);
  EXPECT_EQ(FailureOf([] { EncodeTime(0, 60, 0, 0); }), time);
  EXPECT_EQ(FailureOf([] { EncodeTime(0, 0, 60, 0); }), time);
  EXPECT_EQ(FailureOf([] { EncodeTime(0, 0, 0, 1000); }), time);
}

TEST_F(ConvertTest, NowReadsTheHostClock) {
  host_.now = {2024, 3, 15, 18, 0, 0, 0};
  EXPECT_EQ(Now(), EncodeDate(2024, 3, 15) + 0.75);
}

int32_t Pack(int year, int month, int day, int hour, int minute, int second) {
  return static_cast<int32_t>(static_cast<uint32_t>(year - 1980) << 25 | month << 21 | day << 16 |
                              hour << 11 | minute << 5 | second / 2);
}

TEST_F(ConvertTest, FileStampsUnpackAndPack) {
  EXPECT_EQ(FileStampToDateTime(Pack(2024, 3, 15, 10, 30, 58)),
            EncodeDate(2024, 3, 15) + EncodeTime(10, 30, 58, 0));
  EXPECT_EQ(FileStampToDateTime(Pack(2107, 12, 31, 0, 0, 0)), EncodeDate(2107, 12, 31));
  EXPECT_EQ(FailureOf([] { FileStampToDateTime(Pack(2024, 0, 15, 10, 30, 0)); }),
            "Invalid argument to date encode");
  EXPECT_EQ(FailureOf([] { FileStampToDateTime(Pack(2024, 0, 15, 25, 30, 0)); }),
            "Invalid argument to date encode");
  EXPECT_EQ(FailureOf([] { FileStampToDateTime(Pack(2024, 3, 15, 24, 0, 0)); }),
            "Invalid argument to time encode");

  // File times count 100 ns ticks from 1601-01-01, which is day -109205.
  auto fileTime = [](TDateTime moment) {
    return static_cast<FileTime>((moment + 109205) * 86400 + 0.5) * 10000000;
  };
  struct Case {
    TDateTime moment;
    bool inRange;
    int32_t stamp;
  };
  const Case cases[] = {
      {EncodeDate(2024, 3, 15) + EncodeTime(10, 30, 59, 0), true, Pack(2024, 3, 15, 10, 30, 58)},
      {EncodeDate(1980, 1, 1), true, Pack(1980, 1, 1, 0, 0, 0)},
      {EncodeDate(2107, 12, 31) + EncodeTime(23, 59, 59, 0), true, Pack(2107, 12, 31, 23, 59, 58)},
      {EncodeDate(2000, 2, 29) + EncodeTime(12, 0, 0, 0), true, Pack(2000, 2, 29, 12, 0, 0)},
      {EncodeDate(1979, 12, 31) + EncodeTime(23, 59, 59, 0), false, 0},
      {EncodeDate(2108, 1, 1), false, 0},
  };
  for (const Case& c : cases) {
    int32_t stamp = 0;
    EXPECT_EQ(FileTimeToDosDateTime(fileTime(c.moment), &stamp), c.inRange) << c.moment;
    if (c.inRange) {
      EXPECT_EQ(stamp, c.stamp) << c.moment;
    }
  }
  int32_t stamp = 0;
  EXPECT_FALSE(FileTimeToDosDateTime(-1, &stamp));
}

}  // namespace
}  // namespace orvo
