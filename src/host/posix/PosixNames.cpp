#include "host/posix/PosixNames.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace orvo::posix {
namespace {

// Unicode of the bytes 0x80-0x9F; the rest of the code page equals Unicode.
constexpr char32_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t ToUnicode(unsigned char c) { return c >= 0x80 && c < 0xA0 ? kHighControls[c - 0x80] : c; }

int FromUnicode(char32_t u) {
  if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return static_cast<int>(u);
  for (int i = 0; i < 32; ++i) {
    if (kHighControls[i] == u) return 0x80 + i;
  }
  return -1;
}

void AppendUtf8(char32_t u, std::string* out) {
  if (u < 0x80) {
    out->push_back(static_cast<char>(u));
  } else if (u < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (u >> 6)));
    out->push_back(static_cast<char>(0x80 | (u & 0x3F)));
  } else if (u < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (u >> 12)));
    out->push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (u & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (u >> 18)));
    out->push_back(static_cast<char>(0x80 | ((u >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (u & 0x3F)));
  }
}

constexpr char32_t kInvalidUtf8 = 0xFFFFFFFF;

// Decodes one character at `*i` and advances; kInvalidUtf8 (one byte consumed) on bad input.
char32_t DecodeUtf8(const std::string& s, size_t* i) {
  unsigned char lead = static_cast<unsigned char>(s[*i]);
  if (lead < 0x80) {
    ++*i;
    return lead;
  }
  size_t extra = (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : 0;
  if (extra == 0 || *i + extra >= s.size()) {
    ++*i;
    return kInvalidUtf8;
  }
  char32_t u = lead & (0x3F >> extra);
  for (size_t k = 1; k <= extra; ++k) {
    unsigned char next = static_cast<unsigned char>(s[*i + k]);
    if ((next & 0xC0) != 0x80) {
      ++*i;
      return kInvalidUtf8;
    }
    u = (u << 6) | (next & 0x3F);
  }
  static constexpr char32_t kMinimum[4] = {0, 0x80, 0x800, 0x10000};
  if (u < kMinimum[extra] || u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) {
    ++*i;
    return kInvalidUtf8;
  }
  *i += extra + 1;
  return u;
}

char32_t UpperUnicode(char32_t u) {
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

bool IsAscii(const std::string& name) {
  for (unsigned char c : name) {
    if (c >= 0x80) return false;
  }
  return true;
}

// Upper-case forms of the 256 bytes of the code page, and the other form of each letter (the
// byte itself for the rest).
struct UpperTable {
  unsigned char upper[256];
  unsigned char other[256];
  UpperTable() {
    for (int c = 0; c < 256; ++c) {
      upper[c] = static_cast<unsigned char>(
          FromUnicode(UpperUnicode(ToUnicode(static_cast<unsigned char>(c)))));
      other[c] = static_cast<unsigned char>(c);
    }
    for (int c = 0; c < 256; ++c) {
      if (upper[c] != c) {
        other[c] = upper[c];
        other[upper[c]] = static_cast<unsigned char>(c);
      }
    }
  }
};
const UpperTable kUpper;

void AppendKeyUnit(char32_t unit, std::string* key) {
  key->push_back(static_cast<char>(unit >> 8));
  key->push_back(static_cast<char>(unit & 0xFF));
}

}  // namespace

std::string Cp1252ToUtf8(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (unsigned char c : name) AppendUtf8(ToUnicode(c), &out);
  return out;
}

std::string Utf8ToCp1252(const std::string& name) {
  if (IsAscii(name)) return name;
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    char32_t u = DecodeUtf8(name, &i);
    int c = u == kInvalidUtf8 ? -1 : FromUnicode(u);
    out.push_back(c < 0 ? '?' : static_cast<char>(c));
  }
  return out;
}

unsigned char UpperCp1252(unsigned char c) { return kUpper.upper[c]; }

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperCp1252(static_cast<unsigned char>(a[i])) !=
        UpperCp1252(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::vector<std::string> CaseForms(const std::string& name, size_t limit) {
  std::vector<std::string> forms{""};
  for (unsigned char c : name) {
    unsigned char other = kUpper.other[c];
    if (other != c && forms.size() > limit / 2) return {};
    // Both forms of a letter take as many UTF-8 bytes, so ordering each position's forms by
    // their UTF-8 bytes orders the whole disk names.
    unsigned char first = c, second = other;
    if (Cp1252ToUtf8(std::string(1, static_cast<char>(second))) <
        Cp1252ToUtf8(std::string(1, static_cast<char>(first)))) {
      std::swap(first, second);
    }
    std::vector<std::string> longer;
    longer.reserve(forms.size() * (other != c ? 2 : 1));
    for (const std::string& form : forms) {
      longer.push_back(form + static_cast<char>(first));
      if (other != c) longer.push_back(form + static_cast<char>(second));
    }
    forms = std::move(longer);
  }
  return forms;
}

std::string NtfsSortKey(const std::string& diskName) {
  std::string key;
  key.reserve(2 * diskName.size());
  for (size_t i = 0; i < diskName.size();) {
    char32_t u = DecodeUtf8(diskName, &i);
    // A byte that is not UTF-8 sorts by its value among the low surrogates, as it would be
    // escaped; such names are rare and need only a stable place.
    if (u == kInvalidUtf8) u = 0xDC00 + static_cast<unsigned char>(diskName[i - 1]);
    u = UpperUnicode(u);
    if (u >= 0x10000) {
      AppendKeyUnit(0xD800 + ((u - 0x10000) >> 10), &key);
      AppendKeyUnit(0xDC00 + ((u - 0x10000) & 0x3FF), &key);
    } else {
      AppendKeyUnit(u, &key);
    }
  }
  return key;
}

namespace {

bool SameLetter(char a, char b) {
  return UpperCp1252(static_cast<unsigned char>(a)) == UpperCp1252(static_cast<unsigned char>(b));
}

// '*' and '?' matching with backtracking to the last star.
bool Glob(const std::string& pattern, const std::string& name) {
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

}  // namespace

bool MatchesPattern(const std::string& pattern, const std::string& name) {
  if (Glob(pattern, name)) return true;
  // "x.*" also matches what "x" matches when the name has no dot ("*.*" matches every name).
  bool finalDotStar = pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0;
  return finalDotStar && name.find('.') == std::string::npos &&
         Glob(pattern.substr(0, pattern.size() - 2), name);
}

bool HasWildcards(const std::string& name) { return name.find_first_of("*?") != std::string::npos; }

bool IsInvalidPattern(const std::string& pattern) {
  for (unsigned char c : pattern) {
    if (c < 32) return true;
    switch (c) {
      case '<':
      case '>':
      case ':':
      case '"':
      case '|':
        return true;
      default:
        break;
    }
  }
  return false;
}

bool IsInvalidName(const std::string& name) { return IsInvalidPattern(name) || HasWildcards(name); }

bool WindowsCanHold(const std::string& diskName) {
  return !IsInvalidName(diskName) && diskName.find('\\') == std::string::npos;
}

}  // namespace orvo::posix
