#include "common/SysUtilsConvert.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "common/SysUtils.h"

namespace orvo {

TLocaleFormats LocaleFormats;

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// ---- Locale ----

// A mark is taken only when the host's value is one byte; an empty value gives NUL.
char LocaleMark(LocaleItem item, char fallback) {
  std::optional<std::string> value = Host::Default().GetLocaleValue(item);
  if (!value || value->size() > 1) return fallback;
  return value->empty() ? '\0' : (*value)[0];
}

// ---- Numbers ----

// 10^n in extended precision, by squaring; infinite when out of range.
long double Power10(int n) {
  long double result = 1.0L;
  long double square = 10.0L;
  for (; n > 0; n >>= 1) {
    if (n & 1) result *= square;
    square *= square;
  }
  return result;
}

std::optional<long double> ParseFloat(const std::string& text, char decimalMark) {
  const size_t n = text.size();
  size_t p = 0;
  while (p < n && text[p] == ' ') ++p;
  bool negative = p < n && text[p] == '-';
  if (p < n && (text[p] == '+' || text[p] == '-')) ++p;

  long double mantissa = 0.0L;
  int fractionDigits = 0;
  bool consumed = false;
  for (; p < n && IsDigit(text[p]); ++p, consumed = true)
    mantissa = mantissa * 10 + (text[p] - '0');
  if (p < n && text[p] == decimalMark) {
    consumed = true;
    for (++p; p < n && IsDigit(text[p]); ++p, ++fractionDigits) {
      mantissa = mantissa * 10 + (text[p] - '0');
    }
  }
  if (!consumed) return std::nullopt;

  int exponent = 0;
  if (p < n && (text[p] == 'E' || text[p] == 'e')) {
    ++p;
    bool negativeExponent = p < n && text[p] == '-';
    if (p < n && (text[p] == '+' || text[p] == '-')) ++p;
    // A digit left unread here makes the end test below fail.
    for (; p < n && IsDigit(text[p]) && exponent < 500; ++p)
      exponent = exponent * 10 + (text[p] - '0');
    if (negativeExponent) exponent = -exponent;
  }
  while (p < n && text[p] == ' ') ++p;
  if (p != n) return std::nullopt;

  long double value = 0.0L;
  if (mantissa != 0.0L) {
    int scale = exponent - fractionDigits;
    value = scale >= 0 ? mantissa * Power10(scale) : mantissa / Power10(-scale);
  }
  if (!std::isfinite(value)) return std::nullopt;
  return negative ? -value : value;
}

// What a one-section pattern asks for.
struct FloatPattern {
  int fractionDigits = 0;  // placeholders after the first '.'
  int minIntegerDigits = 0;
  int minFractionDigits = 0;
  bool grouping = false;
};

FloatPattern ScanPattern(const std::string& pattern) {
  FloatPattern result;
  int placeholders = 0, beforePoint = -1, firstZero = -1, afterLastZero = -1;
  for (char c : pattern) {
    if (c == '0' || c == '#') {
      if (c == '0') {
        if (firstZero < 0) firstZero = placeholders;
        afterLastZero = placeholders + 1;
      }
      ++placeholders;
    } else if (c == '.' && beforePoint < 0) {
      beforePoint = placeholders;
    } else if (c == ',') {
      result.grouping = true;
    }
  }
  if (beforePoint < 0) beforePoint = placeholders;
  result.fractionDigits = placeholders - beforePoint;
  if (firstZero >= 0) {
    result.minIntegerDigits = std::max(0, beforePoint - firstZero);
    result.minFractionDigits = std::max(0, afterLastZero - beforePoint);
  }
  return result;
}

// The magnitude of `value` as decimal digits scaled by 10^-decimals: first to 18 significant
// digits (ties to even), then cut to `decimals` with half away from zero.
std::string ScaledDigits(long double value, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.17Le", std::fabs(value));
  std::string digits = std::string(1, buffer[0]) + std::string(buffer + 2, 17);
  int exponent = std::atoi(buffer + 20);  // "d.ddddddddddddddddde+XX"
  int lastPower = exponent - 17;          // power of ten of the last digit

  if (lastPower >= -decimals) return digits + std::string(lastPower + decimals, '0');
  int dropped = -decimals - lastPower;
  if (dropped > 18) return "0";
  std::string kept = "0" + digits.substr(0, 18 - dropped);  // room for a carry
  if (digits[18 - dropped] >= '5') {
    size_t i = kept.size() - 1;
    while (kept[i] == '9') kept[i--] = '0';
    ++kept[i];
  }
  return kept;
}

// ---- Dates ----

constexpr uint16_t kMonthDays[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                        {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

bool TryEncodeDate(uint16_t year, uint16_t month, uint16_t day, TDateTime* date) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  const uint16_t* days = kMonthDays[IsLeapYear(year) ? 1 : 0];
  if (day > days[month - 1]) return false;
  int32_t dayOfYear = day;
  for (int m = 0; m < month - 1; ++m) dayOfYear += days[m];
  int32_t y = year - 1;
  *date = y * 365 + y / 4 - y / 100 + y / 400 + dayOfYear - 693594;
  return true;
}

enum class DateOrder { kMDY, kDMY, kYMD };

DateOrder OrderOf(const std::string& pattern) {
  for (char c : pattern) {
    switch (c | 0x20) {
      case 'd':
        return DateOrder::kDMY;
      case 'm':
        return DateOrder::kMDY;
      case 'y':
      case 'e':
        return DateOrder::kYMD;
    }
  }
  return DateOrder::kMDY;
}

// Reads a date number: at most four significant digits; remembers how many were written.
struct DateScanner {
  const std::string& text;
  size_t p = 0;

  void SkipBlanks() {
    while (p < text.size() && text[p] == ' ') ++p;
  }
  bool Next(char c) { return p < text.size() && text[p] == c; }
  bool Number(int* value, int* written) {
    SkipBlanks();
    *value = 0;
    *written = 0;
    for (; p < text.size() && IsDigit(text[p]) && *value < 1000; ++p, ++*written) {
      *value = *value * 10 + (text[p] - '0');
    }
    return *written > 0;
  }
};

int WindowYear(int year, int currentYear) {
  int threshold = currentYear - CenturyWindow;
  year += threshold / 100 * 100;
  return year < threshold ? year + 100 : year;
}

bool TryStrToDate(const std::string& text, TDateTime* date) {
  const char mark = LocaleFormats.DateMark;
  DateScanner scan{text};
  int n1, n2, n3, w1, w2, w3;
  if (!scan.Number(&n1, &w1)) return false;
  scan.SkipBlanks();
  if (!scan.Next(mark)) return false;
  ++scan.p;
  if (!scan.Number(&n2, &w2)) return false;
  scan.SkipBlanks();

  DateOrder order = OrderOf(LocaleFormats.ShortDatePattern);
  int year, month, day;
  if (scan.Next(mark)) {
    ++scan.p;
    if (!scan.Number(&n3, &w3)) return false;
    int yearWritten;
    switch (order) {
      case DateOrder::kMDY:
        month = n1, day = n2, year = n3, yearWritten = w3;
        break;
      case DateOrder::kDMY:
        day = n1, month = n2, year = n3, yearWritten = w3;
        break;
      case DateOrder::kYMD:
        year = n1, month = n2, day = n3, yearWritten = w1;
        break;
    }
    if (yearWritten <= 2) year = WindowYear(year, Host::Default().LocalNow().year);
  } else {
    year = Host::Default().LocalNow().year;
    if (order == DateOrder::kDMY) {
      day = n1, month = n2;
    } else {
      month = n1, day = n2;
    }
  }
  scan.SkipBlanks();
  if (scan.Next(mark)) ++scan.p;
  scan.SkipBlanks();
  if (scan.p != text.size()) return false;
  if (year > 9999 || month > 12 || day > 31) return false;
  return TryEncodeDate(static_cast<uint16_t>(year), static_cast<uint16_t>(month),
                       static_cast<uint16_t>(day), date);
}

}  // namespace

void LoadLocaleFormats() {
  TLocaleFormats formats;
  formats.DecimalMark = LocaleMark(LocaleItem::kDecimalMark, formats.DecimalMark);
  formats.GroupMark = LocaleMark(LocaleItem::kGroupMark, formats.GroupMark);
  formats.DateMark = LocaleMark(LocaleItem::kDateMark, formats.DateMark);
  std::optional<std::string> pattern =
      Host::Default().GetLocaleValue(LocaleItem::kShortDatePattern);
  if (pattern && pattern->size() < 256) formats.ShortDatePattern = *pattern;
  LocaleFormats = formats;
}

long double StrToFloat(const std::string& text) {
  std::optional<long double> value = ParseFloat(text, LocaleFormats.DecimalMark);
  if (!value) throw EConvertError("'" + text + "' is not a valid floating point value");
  return *value;
}

std::string FormatFloat(const std::string& pattern, long double value) {
  if (pattern.size() > 224) throw EConvertError("Format string too long");
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";

  const FloatPattern format = ScanPattern(pattern);
  std::string digits = ScaledDigits(value, format.fractionDigits);
  // Split into integer and fraction digits; the integer part loses its leading zeros.
  if (static_cast<int>(digits.size()) <= format.fractionDigits) {
    digits.insert(0, format.fractionDigits + 1 - digits.size(), '0');
  }
  std::string integer = digits.substr(0, digits.size() - format.fractionDigits);
  std::string fraction = digits.substr(integer.size());
  integer.erase(0, std::min(integer.find_first_not_of('0'), integer.size()));
  const bool zero = integer.empty() && fraction.find_first_not_of('0') == std::string::npos;

  if (static_cast<int>(integer.size()) < format.minIntegerDigits) {
    integer.insert(0, format.minIntegerDigits - integer.size(), '0');
  }
  size_t shown = fraction.find_last_not_of('0') + 1;  // npos + 1 is 0
  fraction.resize(std::max(shown, static_cast<size_t>(format.minFractionDigits)));

  std::string result;
  if (value < 0 && !zero) result += '-';
  const char group = LocaleFormats.GroupMark;
  for (size_t i = 0; i < integer.size(); ++i) {
    result += integer[i];
    size_t right = integer.size() - 1 - i;
    if (format.grouping && group != '\0' && right > 0 && right % 3 == 0) result += group;
  }
  if (!fraction.empty()) result += LocaleFormats.DecimalMark + fraction;
  return result;
}

TDateTime StrToDate(const std::string& text) {
  TDateTime date = 0;
  if (!TryStrToDate(text, &date)) throw EConvertError("'" + text + "' is not a valid date");
  return date;
}

bool IsLeapYear(int32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

TDateTime EncodeDate(uint16_t year, uint16_t month, uint16_t day) {
  TDateTime date = 0;
  if (!TryEncodeDate(year, month, day, &date)) {
    throw EConvertError("Invalid argument to date encode");
  }
  return date;
}

TDateTime EncodeTime(uint16_t hour, uint16_t minute, uint16_t second, uint16_t millisecond) {
  if (hour > 23 || minute > 59 || second > 59 || millisecond > 999) {
    throw EConvertError("Invalid argument to time encode");
  }
  return (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + millisecond) / 86400000.0;
}

TDateTime Now() {
  LocalTime t = Host::Default().LocalNow();
  auto u16 = [](int v) { return static_cast<uint16_t>(v); };
  return EncodeDate(u16(t.year), u16(t.month), u16(t.day)) +
         EncodeTime(u16(t.hour), u16(t.minute), u16(t.second), u16(t.millisecond));
}

TDateTime FileStampToDateTime(int32_t stamp) {
  const uint32_t s = static_cast<uint32_t>(stamp);
  TDateTime date =
      EncodeDate(static_cast<uint16_t>((s >> 25) + 1980), (s >> 21) & 0x0F, (s >> 16) & 0x1F);
  return date + EncodeTime((s >> 11) & 0x1F, (s >> 5) & 0x3F, (s & 0x1F) * 2, 0);
}

bool FileTimeToDosDateTime(FileTime local, int32_t* stamp) {
  constexpr int64_t kTicksPerSecond = 10000000;
  constexpr int64_t kDays1601To1970 = 134774;
  if (local < 0) return false;
  const LocalTime t = LocalTimeOf(local / kTicksPerSecond - kDays1601To1970 * 86400);
  if (t.year < 1980 || t.year > 2107) return false;
  const uint32_t packed =
      static_cast<uint32_t>(t.year - 1980) << 25 | static_cast<uint32_t>(t.month) << 21 |
      static_cast<uint32_t>(t.day) << 16 | static_cast<uint32_t>(t.hour) << 11 |
      static_cast<uint32_t>(t.minute) << 5 | static_cast<uint32_t>(t.second / 2);
  *stamp = static_cast<int32_t>(packed);
  return true;
}

}  // namespace orvo
