#include "web/FormFields.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

#include "common/SysUtils.h"
#include "common/SysUtilsText.h"

namespace orvo {

namespace {

// A field this long takes over the body's storage instead of being copied out of it.
constexpr size_t kTakeOver = 64 * 1024;

// The value of each hexadecimal digit; -1 for every other byte.
constexpr std::array<int8_t, 256> kHexValues = [] {
  std::array<int8_t, 256> values{};
  for (int c = 0; c < 256; ++c) {
    values[c] = c >= '0' && c <= '9'   ? static_cast<int8_t>(c - '0')
                : c >= 'A' && c <= 'F' ? static_cast<int8_t>(c - 'A' + 10)
                : c >= 'a' && c <= 'f' ? static_cast<int8_t>(c - 'a' + 10)
                                       : static_cast<int8_t>(-1);
  }
  return values;
}();

int HexValue(char c) { return kHexValues[static_cast<unsigned char>(c)]; }

// The bytes that end a field outside quotes, and those that end a quoted part.
constexpr std::array<bool, 256> StopTable(std::string_view stops) {
  std::array<bool, 256> table{};
  for (char c : stops) table[static_cast<unsigned char>(c)] = true;
  return table;
}
constexpr std::array<bool, 256> kFieldStops = StopTable(std::string_view("&\r\n\"\0", 5));
constexpr std::array<bool, 256> kQuoteStops = StopTable(std::string_view("\"\0", 2));

// Whether any of the 16 bytes at `p` ends a field: a batch is one long field, so the scan
// takes 16 bytes a step.
#if defined(__GNUC__) && !defined(ORVO_PORTABLE_SCAN)
// GCC and Clang: their vector type makes this a few instructions where the processor has vector
// registers.
bool HasFieldStop(const char* p) {
  using Bytes = unsigned char __attribute__((vector_size(16)));
  Bytes v;
  std::memcpy(&v, p, sizeof v);
  const auto hits = (v == '&') | (v == '\r') | (v == '\n') | (v == '"') | (v == 0);
  uint64_t halves[2];
  std::memcpy(halves, &hits, sizeof halves);
  return (halves[0] | halves[1]) != 0;
}
#else
// Any other compiler, or a build that asks for it (ORVO_PORTABLE_SCAN): the same answer from the
// table, which compilers unroll.
bool HasFieldStop(const char* p) {
  bool hit = false;
  for (int i = 0; i < 16; ++i) hit |= kFieldStops[static_cast<unsigned char>(p[i])];
  return hit;
}
#endif

// The first position from `p` on whose byte is in `stops`. A NUL is in both sets and the text
// ends with one (its terminator), so the scan needs no bound.
size_t Scan(const std::string& text, size_t p, const std::array<bool, 256>& stops) {
  if (&stops == &kFieldStops) {
    while (p + 16 <= text.size() && !HasFieldStop(text.data() + p)) p += 16;
  }
  while (!stops[static_cast<unsigned char>(text[p])]) ++p;
  return p;
}

// Decodes text[begin, end) into text from position `to` (at most `begin`) and returns the end of
// the decoded bytes. Output never overtakes input, so the decoding needs no second buffer.
// Positions in the messages count from `begin`.
size_t DecodeInPlace(std::string& text, size_t begin, size_t end, size_t to) {
  char* s = text.data();
  size_t i = begin, o = to;
  while (i < end) {
    const char c = s[i];
    if (c != '%') {
      s[o++] = c == '+' ? ' ' : c;
      ++i;
      continue;
    }
    // The usual escape first: two hexadecimal digits.
    const int high = i + 2 < end ? HexValue(s[i + 1]) : -1;
    const int low = i + 2 < end ? HexValue(s[i + 2]) : -1;
    if ((high | low) >= 0) {
      s[o++] = static_cast<char>(high * 16 + low);
      i += 3;
    } else if (i + 1 < end && s[i + 1] == '%') {
      s[o++] = '%';
      i += 2;
    } else if (i + 2 >= end) {
      throw EWebException("Error decoding URL style (%XX) encoded string at position " +
                          IntToStr(static_cast<int64_t>(i - begin + 1)));
    } else {
      throw EConvertError("Invalid URL encoded character (" + std::string(s + i, 3) +
                          ") at position " + IntToStr(static_cast<int64_t>(i - begin + 1)));
    }
  }
  return o;
}

}  // namespace

std::string DecodeURLText(std::string_view text) {
  std::string out(text);
  out.resize(DecodeInPlace(out, 0, out.size(), 0));
  return out;
}

void ExtractFields(std::string_view content, TStrings& strings) {
  ExtractFields(std::string(content.substr(0, content.find('\0'))), strings);
}

void ExtractFields(std::string&& content, TStrings& strings) {
  // The text ends at its first NUL. Every byte up to it is scanned once, in order, so the first
  // NUL a scan meets is that end; decoding writes only behind the scan.
  std::string text = std::move(content);
  bool quoted = false;  // carries over from one field to the next
  size_t p = 0;
  for (;;) {
    while (text[p] == '\r' || text[p] == '\n') ++p;
    size_t start = p;
    bool inQuote = false, leadQuote = false;
    for (;;) {
      p = Scan(text, p, inQuote ? kQuoteStops : kFieldStops);
      if (text[p] != '"') break;
      if (quoted) {
        quoted = false;
      } else {
        leadQuote = p == start;
        quoted = true;
        if (leadQuote) ++start;  // the opening quote is not part of the field
      }
      inQuote = quoted;
      if (!quoted) break;
      ++p;
    }
    // A closing quote of a field that did not open with one stays in the field.
    if (!leadQuote && text[p] == '"') ++p;
    const bool atEnd = text[p] == '\0';
    if (start < p || !atEnd) {
      if (p - start >= kTakeOver && text.size() - p < p - start) {
        // A large field, most of what is left: decoded to the front of the body, which then
        // becomes the field. The few bytes after it are parsed from a copy.
        std::string rest = text.substr(p);
        text.resize(DecodeInPlace(text, start, p, 0));
        strings.Add(std::move(text));
        text = std::move(rest);
        p = 0;
      } else {
        strings.Add(text.substr(start, DecodeInPlace(text, start, p, start) - start));
      }
    }
    ++p;
    if (atEnd) return;
  }
}

}  // namespace orvo
