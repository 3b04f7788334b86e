#include "host/WindowsNames.h"

#include <algorithm>

namespace orvo {
namespace {

// Unicode of the bytes 0x80-0x9F; the rest of the code page equals Unicode.
constexpr char32_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// The Unicode of a byte of the code page, and the byte of a Unicode character (-1 when it has
// none).
constexpr char32_t UnitOf(unsigned char c) {
  return c >= 0x80 && c < 0xA0 ? kHighControls[c - 0x80] : c;
}

constexpr int ByteOf(char32_t u) {
  if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return static_cast<int>(u);
  for (int i = 0; i < 32; ++i) {
    if (kHighControls[i] == u) return 0x80 + i;
  }
  return -1;
}

constexpr char32_t UpperUnicode(char32_t u) {
  if (u >= 'a' && u <= 'z') return u - 0x20;
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return u - 0x20;
  switch (u) {
    case 0xFF:
      return 0x178;
    case 0x161:
      return 0x160;
    case 0x153:
      return 0x152;
    case 0x17E:
      return 0x17D;
    default:
      return u;
  }
}

// Upper-case forms of the 256 bytes of the code page (every one has a 1252 form), and the rank
// of each upper-case form's UTF-16 unit, by which NTFS orders names. Made by the compiler.
struct UpperTable {
  unsigned char upper[256];
  unsigned char ntfsRank[256];
  constexpr UpperTable() {
    char32_t units[256];
    for (int c = 0; c < 256; ++c) {
      upper[c] =
          static_cast<unsigned char>(ByteOf(UpperUnicode(UnitOf(static_cast<unsigned char>(c)))));
      units[c] = UnitOf(upper[c]);
    }
    // At most 256 units differ, so each one's rank among them fits a byte.
    char32_t sorted[256];
    std::copy(units, units + 256, sorted);
    std::sort(sorted, sorted + 256);
    char32_t* end = std::unique(sorted, sorted + 256);
    for (int c = 0; c < 256; ++c) {
      ntfsRank[c] = static_cast<unsigned char>(std::lower_bound(sorted, end, units[c]) - sorted);
    }
  }
};
constexpr UpperTable kUpper;

bool SameLetter(char a, char b) {
  return UpperCp1252(static_cast<unsigned char>(a)) == UpperCp1252(static_cast<unsigned char>(b));
}

// A byte that Windows refuses in a name, wildcards aside.
bool IsRefusedInPattern(unsigned char c) {
  return c < 32 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|';
}

// '*' and '?' matching with backtracking to the last star.
bool Glob(const std::string& pattern, const std::string& name) {
  // A leading '*' and no other wildcard ("*.xml", what listings ask): the names ending in the rest.
  if (pattern.size() > 1 && pattern[0] == '*' &&
      pattern.find_first_of("*?", 1) == std::string::npos) {
    const size_t rest = pattern.size() - 1;
    return name.size() >= rest &&
           std::equal(pattern.begin() + 1, pattern.end(), name.end() - rest, SameLetter);
  }
  size_t p = 0, n = 0, starP = std::string::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || SameLetter(pattern[p], name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::string::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// The digits of COM and LPT devices: 0-9 and the superscripts 1, 2 and 3 of the code page.
bool IsDeviceDigit(char c) {
  return (c >= '0' && c <= '9') || c == '\xB9' || c == '\xB2' || c == '\xB3';
}

}  // namespace

char32_t Cp1252ToUnicode(unsigned char c) { return UnitOf(c); }

int UnicodeToCp1252(char32_t u) { return ByteOf(u); }

unsigned char UpperCp1252(unsigned char c) { return kUpper.upper[c]; }

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!SameLetter(a[i], b[i])) return false;
  }
  return true;
}

std::string NtfsSortKey(const std::string& name) {
  std::string key(name.size(), '\0');
  for (size_t i = 0; i < name.size(); ++i) {
    key[i] = static_cast<char>(kUpper.ntfsRank[static_cast<unsigned char>(name[i])]);
  }
  return key;
}

bool MatchesPattern(const std::string& pattern, const std::string& name) {
  if (pattern == "*" || pattern == "*.*") return true;  // what a walk asks most
  if (Glob(pattern, name)) return true;
  // "x.*" also matches what "x" matches when the name has no dot ("*.*" matches every name).
  bool finalDotStar = pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0;
  return finalDotStar && name.find('.') == std::string::npos &&
         Glob(pattern.substr(0, pattern.size() - 2), name);
}

bool HasWildcards(const std::string& name) { return name.find_first_of("*?") != std::string::npos; }

bool IsInvalidPattern(const std::string& pattern) {
  return std::any_of(pattern.begin(), pattern.end(),
                     [](char c) { return IsRefusedInPattern(static_cast<unsigned char>(c)); });
}

bool IsInvalidName(const std::string& name) { return IsInvalidPattern(name) || HasWildcards(name); }

bool IsDeviceName(const std::string& name) {
  // The part before the first dot, without the blanks that end it, is what Windows compares.
  size_t end = std::min(name.find('.'), name.size());
  while (end > 0 && name[end - 1] == ' ') --end;
  if (end < 3 || end > 7) return false;  // no device name is shorter or longer
  const std::string base = name.substr(0, end);
  std::string upper;
  for (char c : base)
    upper.push_back(static_cast<char>(UpperCp1252(static_cast<unsigned char>(c))));
  if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL" || upper == "CONIN$" ||
      upper == "CONOUT$") {
    return true;
  }
  return upper.size() == 4 &&
         (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0) &&
         IsDeviceDigit(upper[3]);
}

bool CanNameAgain(const std::string& name) {
  // One pass: a listing asks this of every name it reads.
  for (unsigned char c : name) {
    if (IsRefusedInPattern(c) || c == '*' || c == '?' || c == '\\' || c == '/') {
      return false;
    }
  }
  return !IsDeviceName(name);
}

size_t Utf8Length(const std::string& name) {
  size_t length = 0;
  for (unsigned char c : name) {
    char32_t u = Cp1252ToUnicode(c);
    length += u < 0x80 ? 1 : u < 0x800 ? 2 : 3;
  }
  return length;
}

}  // namespace orvo
