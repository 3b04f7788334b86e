#include "common/SysUtilsText.h"

#include <algorithm>
#include <array>

#include "common/SysUtils.h"

namespace orvo {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigit(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads a hexadecimal number at `p`: at least one digit, at most eight significant ones.
bool ParseHex(const std::string& text, size_t p, uint32_t* value) {
  if (p >= text.size()) return false;
  uint64_t v = 0;
  for (; p < text.size(); ++p) {
    int d = HexDigit(text[p]);
    if (d < 0) return false;
    v = v * 16 + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFu) return false;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

// Reads a decimal magnitude at `p`; `limit` is the largest magnitude the sign allows.
bool ParseDecimal(const std::string& text, size_t p, uint64_t limit, uint32_t* value) {
  if (p >= text.size()) return false;
  uint64_t v = 0;
  for (; p < text.size(); ++p) {
    if (!IsDigit(text[p])) return false;
    v = v * 10 + static_cast<uint64_t>(text[p] - '0');
    if (v > limit) return false;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

// The code page 1252 case pairs: upper-case byte, lower-case byte.
constexpr std::array<std::pair<uint8_t, uint8_t>, 4> kSpecialPairs = {
    {{0x8A, 0x9A}, {0x8C, 0x9C}, {0x8E, 0x9E}, {0x9F, 0xFF}}};

struct CaseTables {
  std::array<uint8_t, 256> lower{};
  std::array<uint8_t, 256> upper{};
  CaseTables() {
    for (int c = 0; c < 256; ++c) lower[c] = upper[c] = static_cast<uint8_t>(c);
    auto pair = [this](int up, int low) {
      lower[up] = static_cast<uint8_t>(low);
      upper[low] = static_cast<uint8_t>(up);
    };
    for (int c = 'A'; c <= 'Z'; ++c) pair(c, c + 32);
    for (int c = 0xC0; c <= 0xDE; ++c) {
      if (c != 0xD7) pair(c, c + 32);  // × and ÷ are not letters
    }
    for (auto [up, low] : kSpecialPairs) pair(up, low);
  }
};

const CaseTables& Tables() {
  static const CaseTables tables;
  return tables;
}

std::string MapBytes(const std::string& text, const std::array<uint8_t, 256>& table) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(table[static_cast<uint8_t>(c)]);
  return result;
}

uint8_t AsciiUpper(uint8_t c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

// Compares after mapping each byte through `fold`; a prefix orders by length.
template <typename Fold>
int32_t CompareFolded(const std::string& a, const std::string& b, Fold fold) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int32_t x = fold(static_cast<uint8_t>(a[i]));
    int32_t y = fold(static_cast<uint8_t>(b[i]));
    if (x != y) return x - y;
  }
  return static_cast<int32_t>(a.size()) - static_cast<int32_t>(b.size());
}

}  // namespace

std::string IntToStr(int64_t value) { return std::to_string(value); }

bool TryStrToInt(const std::string& text, int32_t* value) {
  size_t p = text.find_first_not_of(' ');
  if (p == std::string::npos) return false;
  bool negative = text[p] == '-';
  if (text[p] == '+' || text[p] == '-') ++p;
  if (p >= text.size()) return false;

  uint32_t magnitude = 0;
  if (text[p] == '$' || text[p] == 'x' || text[p] == 'X') {
    if (!ParseHex(text, p + 1, &magnitude)) return false;
  } else if (text[p] == '0' && p + 1 < text.size() && (text[p + 1] == 'x' || text[p + 1] == 'X')) {
    if (!ParseHex(text, p + 2, &magnitude)) return false;
  } else {
    uint64_t limit = negative ? 2147483648u : 2147483647u;
    if (!ParseDecimal(text, p, limit, &magnitude)) return false;
  }
  // Unsigned negation keeps the 32-bit pattern: "-$80000000" stays the lowest value.
  *value = static_cast<int32_t>(negative ? 0u - magnitude : magnitude);
  return true;
}

int32_t StrToInt(const std::string& text) {
  int32_t value = 0;
  if (!TryStrToInt(text, &value)) {
    throw EConvertError("'" + text + "' is not a valid integer value");
  }
  return value;
}

std::optional<uint64_t> DigitsValue(const std::string& text, size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::stoull(text);
}

int32_t StrToIntDefault(const std::string& text, int32_t fallback) {
  int32_t value = 0;
  return TryStrToInt(text, &value) ? value : fallback;
}

std::string Trim(const std::string& text) {
  auto blank = [](char c) { return static_cast<uint8_t>(c) <= 32; };
  auto first = std::find_if_not(text.begin(), text.end(), blank);
  auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
  return first < last ? std::string(first, last) : std::string();
}

std::string Copy(const std::string& text, int64_t index, int64_t count) {
  int64_t length = static_cast<int64_t>(text.size());
  if (index < 1) index = 1;
  if (index > length || count <= 0) return std::string();
  return text.substr(static_cast<size_t>(index - 1),
                     static_cast<size_t>(std::min(count, length - index + 1)));
}

int64_t Pos(const std::string& needle, const std::string& text) {
  if (needle.empty() || text.empty()) return 0;
  size_t at = text.find(needle);
  return at == std::string::npos ? 0 : static_cast<int64_t>(at) + 1;
}

void Insert(const std::string& piece, std::string& text, int64_t index) {
  if (piece.empty()) return;
  int64_t length = static_cast<int64_t>(text.size());
  index = std::clamp<int64_t>(index, 1, length + 1);
  text.insert(static_cast<size_t>(index - 1), piece);
}

void Delete(std::string& text, int64_t index, int64_t count) {
  int64_t length = static_cast<int64_t>(text.size());
  if (index < 1 || index > length || count <= 0) return;
  text.erase(static_cast<size_t>(index - 1),
             static_cast<size_t>(std::min(count, length - index + 1)));
}

int32_t CompareTextAscii(const std::string& a, const std::string& b) {
  return CompareFolded(a, b, AsciiUpper);
}

int32_t CompareTextLocale(const std::string& a, const std::string& b) {
  const auto& lower = Tables().lower;
  return CompareFolded(a, b, [&lower](uint8_t c) { return lower[c]; });
}

std::string LowercaseAscii(const std::string& text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return result;
}

std::string UppercaseAscii(const std::string& text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(AsciiUpper(static_cast<uint8_t>(c)));
  return result;
}

std::string LowercaseLocale(const std::string& text) { return MapBytes(text, Tables().lower); }

std::string UppercaseLocale(const std::string& text) { return MapBytes(text, Tables().upper); }

}  // namespace orvo
