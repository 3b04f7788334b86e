#include "host/posix/PosixLocale.h"

#include <gtest/gtest.h>

#include <map>

#include "common/SysUtilsConvert.h"
#include "host/posix/PosixHost.h"

namespace orvo {
namespace {

using Environment = std::map<std::string, std::string>;

// A Linux host whose environment is a map.
class EnvironmentHost : public PosixHost {
 public:
  explicit EnvironmentHost(Environment environment)
      : PosixHost("/nonexistent"), environment_(std::move(environment)) {}
  std::optional<std::string> GetEnvironment(const std::string& name) override {
    auto found = environment_.find(name);
    if (found == environment_.end()) return std::nullopt;
    return found->second;
  }

 private:
  Environment environment_;
};

TEST(PosixLocaleTest, VariablesArePickedPerCategory) {
  struct Case {
    Environment environment;
    std::string numeric, time;
  };
  const Case cases[] = {
      {{}, "", ""},
      {{{"LANG", "pt_BR.UTF-8"}}, "pt_BR.UTF-8", "pt_BR.UTF-8"},
      {{{"LANG", "en_US"}, {"LC_NUMERIC", "de_DE"}}, "de_DE", "en_US"},
      {{{"LANG", "en_US"}, {"LC_TIME", "de_DE"}}, "en_US", "de_DE"},
      {{{"LC_ALL", "fr_FR"}, {"LC_NUMERIC", "de_DE"}, {"LANG", "it_IT"}}, "fr_FR", "fr_FR"},
      {{{"LC_ALL", ""}, {"LC_NUMERIC", ""}, {"LANG", "es_ES"}}, "es_ES", "es_ES"},
  };
  for (const Case& c : cases) {
    EnvironmentHost host(c.environment);
    auto lookup = [&host](const std::string& name) { return host.GetEnvironment(name); };
    EXPECT_EQ(LocaleNameFor(LocaleItem::kDecimalMark, lookup), c.numeric);
    EXPECT_EQ(LocaleNameFor(LocaleItem::kGroupMark, lookup), c.numeric);
    EXPECT_EQ(LocaleNameFor(LocaleItem::kDateMark, lookup), c.time);
    EXPECT_EQ(LocaleNameFor(LocaleItem::kShortDatePattern, lookup), c.time);
  }
}

TEST(PosixLocaleTest, TableGivesWindowsValuesAndIgnoresSuffixes) {
  struct Case {
    const char* name;
    const char *decimal, *group, *date, *pattern;
  };
  const Case cases[] = {
      {"pt_BR", ",", ".", "/", "dd/MM/yyyy"},
      {"pt_BR.UTF-8", ",", ".", "/", "dd/MM/yyyy"},
      {"pt_BR.ISO-8859-1@x", ",", ".", "/", "dd/MM/yyyy"},
      {"en_US.UTF-8", ".", ",", "/", "M/d/yyyy"},
      {"de_DE@euro", ",", ".", ".", "dd.MM.yyyy"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LocaleValue(c.name, LocaleItem::kDecimalMark), c.decimal) << c.name;
    EXPECT_EQ(LocaleValue(c.name, LocaleItem::kGroupMark), c.group) << c.name;
    EXPECT_EQ(LocaleValue(c.name, LocaleItem::kDateMark), c.date) << c.name;
    EXPECT_EQ(LocaleValue(c.name, LocaleItem::kShortDatePattern), c.pattern) << c.name;
  }
  for (const char* name : {"", "C", "POSIX", "C.UTF-8", "xx_YY", "pt", "pt_BRX"}) {
    EXPECT_EQ(LocaleValue(name, LocaleItem::kDecimalMark), std::nullopt) << name;
    EXPECT_EQ(LocaleValue(name, LocaleItem::kShortDatePattern), std::nullopt) << name;
  }
}

TEST(PosixLocaleTest, StartUpFormatsFollowTheEnvironment) {
  EnvironmentHost brazil(Environment{{"LANG", "pt_BR.UTF-8"}});
  Host::SetDefault(&brazil);
  LoadLocaleFormats();
  EXPECT_EQ(FormatFloat("#,###,###,##0.00", 1234567.5L), "1.234.567,50");
  EXPECT_EQ(StrToFloat("123456,78"), StrToFloat("12345678") / 100);
  EXPECT_EQ(StrToDate("15/03/2024"), EncodeDate(2024, 3, 15));

  EnvironmentHost plain(Environment{{"LANG", "C.UTF-8"}});
  Host::SetDefault(&plain);
  LoadLocaleFormats();
  EXPECT_EQ(FormatFloat("#,###,###,##0.00", 1234567.5L), "1,234,567.50");
  EXPECT_EQ(StrToDate("03/15/2024"), EncodeDate(2024, 3, 15));

  Host::SetDefault(nullptr);
  LocaleFormats = TLocaleFormats();
}

}  // namespace
}  // namespace orvo
