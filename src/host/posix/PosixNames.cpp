#include "host/posix/PosixNames.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "host/WindowsNames.h"

namespace orvo::posix {
namespace {

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

bool IsAscii(const std::string& name) {
  for (unsigned char c : name) {
    if (c >= 0x80) return false;
  }
  return true;
}

// The other case form of each code page 1252 letter; the byte itself for the rest.
struct OtherCaseTable {
  unsigned char other[256];
  OtherCaseTable() {
    for (int c = 0; c < 256; ++c) other[c] = static_cast<unsigned char>(c);
    for (int c = 0; c < 256; ++c) {
      unsigned char upper = UpperCp1252(static_cast<unsigned char>(c));
      if (upper != c) {
        other[c] = upper;
        other[upper] = static_cast<unsigned char>(c);
      }
    }
  }
};
// Made on first use: the upper-case table it is made from is another file's static.
const OtherCaseTable& OtherCase() {
  static const OtherCaseTable table;
  return table;
}

}  // namespace

std::string Cp1252ToUtf8(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (unsigned char c : name) AppendUtf8(Cp1252ToUnicode(c), &out);
  return out;
}

std::string Utf8ToCp1252(const std::string& name) {
  if (IsAscii(name)) return name;
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    char32_t u = DecodeUtf8(name, &i);
    int c = u == kInvalidUtf8 ? -1 : UnicodeToCp1252(u);
    out.push_back(c < 0 ? '?' : static_cast<char>(c));
  }
  return out;
}

bool CanNameAgainOnDisk(const std::string& diskName) {
  if (IsAscii(diskName)) return CanNameAgain(diskName);  // the same bytes in both forms
  std::string name = Utf8ToCp1252(diskName);
  return Cp1252ToUtf8(name) == diskName && CanNameAgain(name);
}

std::vector<std::string> CaseForms(const std::string& name, size_t limit) {
  // Each letter doubles the forms: counted first, so that none is made when there are too many.
  size_t count = 1;
  for (unsigned char c : name) {
    if (OtherCase().other[c] != c && (count *= 2) > limit) return {};
  }
  // The bits of f choose form f's letters, the first letter by the highest bit, each letter's
  // lower code point first. UTF-8 keeps the order of code points and both forms of a letter take
  // as many bytes, so the forms come in the order of their disk names.
  std::vector<std::string> forms(count, name);
  size_t stride = count;
  for (size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    const unsigned char other = OtherCase().other[c];
    if (other == c) continue;
    char first = static_cast<char>(c), second = static_cast<char>(other);
    if (Cp1252ToUnicode(other) < Cp1252ToUnicode(c)) std::swap(first, second);
    stride /= 2;
    for (size_t f = 0; f < count; ++f) forms[f][i] = (f / stride) % 2 == 0 ? first : second;
  }
  return forms;
}

}  // namespace orvo::posix
