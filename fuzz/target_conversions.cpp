// StrToInt, StrToFloat, StrToDate and FormatFloat under several locales. Input: a byte choosing
// the locale, then the text. A number that converts has the value the C library reads from the
// same text, and formats and converts back to itself (to the two decimals shown); a date that
// converts lies in the calendar's range and reads back from its own text in the locale's order.
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "FuzzSupport.h"
#include "common/SysUtils.h"
#include "common/SysUtilsConvert.h"
#include "common/SysUtilsText.h"

using namespace orvo;

namespace {

const TLocaleFormats kLocales[] = {
    {',', '.', '/', "dd/MM/yyyy"},  // pt_BR
    {'.', ',', '/', "M/d/yyyy"},    // en_US
    {',', '.', '.', "dd.MM.yyyy"},  // de_DE
    {'.', ' ', '-', "yyyy-MM-dd"},  // an ISO-like one
    {',', '\0', '/', "d/m/yy"},     // no group mark
    {'.', ',', '/', "m/d/yy"},      // the defaults
};
constexpr char kTotalPattern[] = "#,###,###,##0.00";

void CheckInteger(const std::string& text) {
  int32_t value = 0;
  if (!TryStrToInt(text, &value)) return;
  FUZZ_REQUIRE(StrToInt(IntToStr(value)) == value);
}

void CheckFloat(const std::string& text) {
  long double value = 0;
  try {
    value = StrToFloat(text);
  } catch (const EConvertError&) {
    return;
  }
  FUZZ_REQUIRE(std::isfinite(value));
  // The same text in the C library's form: blanks trimmed, the decimal mark a '.'.
  std::string c = text;
  for (char& ch : c) ch = ch == LocaleFormats.DecimalMark ? '.' : ch;
  long double expected = std::strtold(c.c_str(), nullptr);
  if (std::fabs(expected) > 1e-4900L) {
    FUZZ_REQUIRE(std::fabs(value - expected) <= std::fabs(expected) * 1e-12L);
  }
  if (std::fabs(value) >= 1e15L) return;  // beyond what two decimals can show exactly
  std::string shown = FormatFloat(kTotalPattern, value);
  std::string plain;
  for (char c : shown) {
    FUZZ_REQUIRE(std::isdigit(static_cast<unsigned char>(c)) || c == '-' ||
                 c == LocaleFormats.DecimalMark || c == LocaleFormats.GroupMark);
    if (c != LocaleFormats.GroupMark) plain += c;
  }
  long double back = StrToFloat(plain);
  FUZZ_REQUIRE(std::fabs(back - value) <= 0.005L + std::fabs(value) * 1e-15L);
}

void CheckDate(const std::string& text) {
  TDateTime date = 0;
  try {
    date = StrToDate(text);
  } catch (const EConvertError&) {
    return;
  }
  FUZZ_REQUIRE(date >= EncodeDate(1, 1, 1) && date <= EncodeDate(9999, 12, 31));
  FUZZ_REQUIRE(date == std::floor(date));

  // Written back with four-digit years in the pattern's order, it reads as the same date.
  using namespace std::chrono;
  const year_month_day ymd{sys_days{1899y / December / 30} + days{static_cast<int>(date)}};
  const std::string y = std::to_string(static_cast<int>(ymd.year()));
  const std::string m = std::to_string(static_cast<unsigned>(ymd.month()));
  const std::string d = std::to_string(static_cast<unsigned>(ymd.day()));
  const std::string year = std::string(4 - y.size(), '0') + y;
  const char mark = LocaleFormats.DateMark;
  char first = 'm';
  for (char ch : LocaleFormats.ShortDatePattern) {
    ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (ch == 'd' || ch == 'm' || ch == 'y' || ch == 'e') {
      first = ch;
      break;
    }
  }
  std::string written = first == 'd'   ? d + mark + m + mark + year
                        : first == 'm' ? m + mark + d + mark + year
                                       : year + mark + m + mark + d;
  if (mark == '\0' || std::isdigit(static_cast<unsigned char>(mark))) return;
  FUZZ_REQUIRE(StrToDate(written) == date);
}

// Any value, with a pattern from the text; infinities and NaN may give any text, not a crash.
void CheckFormat(const std::string& text) {
  double value = 0;
  if (text.size() < sizeof value) return;
  std::memcpy(&value, text.data(), sizeof value);
  try {
    FormatFloat(text.substr(sizeof value), value);
  } catch (const EConvertError&) {
  }
  FormatFloat(kTotalPattern, value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  LocaleFormats = kLocales[data[0] % std::size(kLocales)];
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  CheckInteger(text);
  CheckFloat(text);
  CheckDate(text);
  CheckFormat(text);
  return 0;
}
