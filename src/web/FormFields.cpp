#include "web/FormFields.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "common/SysUtils.h"
#include "common/SysUtilsText.h"

// x86 processors with SSSE3 and POPCNT (all made since 2009) decode 16 bytes a step; the rest, and
// a build that asks for it (ORVO_PORTABLE_SCAN), 64-byte blocks an escape at a time.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && !defined(ORVO_PORTABLE_SCAN)
#define ORVO_DECODE_SSSE3 1
#include <cpuid.h>
#include <tmmintrin.h>
#endif

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

// Whether any of the `N` x 16 bytes at `p` ends a field: a batch is one long field, so the scan
// takes 64 bytes a step, then 16.
#if defined(__GNUC__) && !defined(ORVO_PORTABLE_SCAN)
// GCC and Clang: their vector type makes this a few instructions where the processor has vector
// registers.
template <int N>
bool HasFieldStop(const char* p) {
  using Bytes = unsigned char __attribute__((vector_size(16)));
  Bytes hits{};
  for (int k = 0; k < N; ++k) {
    Bytes v;
    std::memcpy(&v, p + 16 * k, sizeof v);
    hits |= (v == '&') | (v == '\r') | (v == '\n') | (v == '"') | (v == 0);
  }
  uint64_t halves[2];
  std::memcpy(halves, &hits, sizeof halves);
  return (halves[0] | halves[1]) != 0;
}
#else
// Any other compiler, or a build that asks for it (ORVO_PORTABLE_SCAN): the same answer from the
// table, which compilers unroll.
template <int N>
bool HasFieldStop(const char* p) {
  bool hit = false;
  for (int i = 0; i < 16 * N; ++i) hit |= kFieldStops[static_cast<unsigned char>(p[i])];
  return hit;
}
#endif

// Skips, from `p` on, the runs of 16 bytes before `n` that hold no byte ending a field: the
// byte that ends it lies in the 16 after the result, or in what is left before `n`.
size_t SkipFieldBytes(const char* text, size_t p, size_t n) {
  while (p + 64 <= n && !HasFieldStop<4>(text + p)) p += 64;
  while (p + 16 <= n && !HasFieldStop<1>(text + p)) p += 16;
  return p;
}

// The first position from `p` on whose byte is in `stops`. A NUL is in both sets and the text
// ends with one (its terminator), so the scan needs no bound.
size_t Scan(const std::string& text, size_t p, const std::array<bool, 256>& stops) {
  if (&stops == &kFieldStops) p = SkipFieldBytes(text.data(), p, text.size());
  while (!stops[static_cast<unsigned char>(text[p])]) ++p;
  return p;
}

// Without SSSE3, escapes are decoded 64 bytes at a time: the block is copied aside, its "+"
// become blanks, its "%" are found at once, and the bytes between two escapes move 16 at a time.
constexpr size_t kBlock = 64;

// A bit for each of the 64 bytes at `p` that is a "%".
uint64_t PercentMask(const char* p) {
  uint64_t mask = 0;
  for (size_t k = 0; k < kBlock; ++k) mask |= static_cast<uint64_t>(p[k] == '%') << k;
  return mask;
}

// Copies `n` bytes in steps of 16: `from` and `to` have 15 bytes to spare beyond them.
void CopyRun(char* to, const char* from, size_t n) {
  for (size_t k = 0; k < n; k += 16) std::memcpy(to + k, from + k, 16);
}

struct DecodedBlock {
  size_t consumed;  // input bytes taken: the block, up to two more for an escape across its end
  size_t produced;  // bytes decoded into `out`
};

// Decodes the block at `in` (its 64 bytes and the 2 after them readable) into `out` (80 bytes).
// Stops at an escape that is not two hexadecimal digits, which the byte-by-byte step then takes.
DecodedBlock DecodeBlock(const char* in, char* out) {
  char block[kBlock + 2 + 16] = {};
  std::memcpy(block, in, kBlock + 2);
  uint64_t escapes = PercentMask(block);
  for (size_t k = 0; k < kBlock; ++k) block[k] = block[k] == '+' ? ' ' : block[k];
  size_t at = 0, produced = 0;
  for (; escapes != 0; escapes &= escapes - 1) {
    const auto p = static_cast<size_t>(std::countr_zero(escapes));
    CopyRun(out + produced, block + at, p - at);
    produced += p - at;
    const int high = HexValue(block[p + 1]), low = HexValue(block[p + 2]);
    if ((high | low) < 0) return {p, produced};
    out[produced++] = static_cast<char>(high * 16 + low);
    at = p + 3;
  }
  if (at < kBlock) {
    CopyRun(out + produced, block + at, kBlock - at);
    produced += kBlock - at;
    at = kBlock;
  }
  return {at, produced};
}

#ifdef ORVO_DECODE_SSSE3
// For each byte mask of 8 bits, the shuffle that gathers the bytes whose bit is set to the front.
constexpr std::array<uint64_t, 256> kGather = [] {
  std::array<uint64_t, 256> table{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    uint64_t shuffle = ~uint64_t{0};  // 0xFF: a zero byte
    unsigned to = 0;
    for (unsigned from = 0; from < 8; ++from) {
      if ((mask >> from & 1) == 0) continue;
      shuffle &= ~(uint64_t{0xFF} << (8 * to));
      shuffle |= uint64_t{from} << (8 * to++);
    }
    table[mask] = shuffle;
  }
  return table;
}();

struct HexDigits {
  __m128i values;  // each byte's value as a hexadecimal digit; 0 where it is none
  unsigned mask;   // a bit for each byte that is one
};

__attribute__((target("ssse3,popcnt"))) HexDigits HexDigitsOf(__m128i bytes) {
  const __m128i digit = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
  const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit);
  const __m128i letter = _mm_sub_epi8(_mm_or_si128(bytes, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
  const __m128i isLetter = _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter);
  const __m128i values =
      _mm_or_si128(_mm_and_si128(isDigit, digit),
                   _mm_and_si128(isLetter, _mm_add_epi8(letter, _mm_set1_epi8(10))));
  return {values, static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(isDigit, isLetter)))};
}

// One step of 16 bytes: `length` of them decoded into `produced` bytes, and a bit for each of
// the first bytes of the next step that are digits of an escape among its last two.
struct Chunk {
  size_t length;
  size_t produced;
  unsigned carry;
};

// Decodes the 16 bytes at `in` (the 2 after them readable) into `out`, which takes 16 bytes
// whatever is produced; `out` may lie up to `in` itself, since the bytes are all read before any
// is written. Each escape is decoded where it stands, then the digits after each are dropped,
// and those of `skip` (the carry of the step before). Stops at an escape that is not two
// hexadecimal digits. The next step's place does not depend on what this one finds, so the
// processor can start it before this one ends.
__attribute__((target("ssse3,popcnt"))) Chunk DecodeChunk(const char* in, char* out,
                                                          unsigned skip) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  const __m128i isPercent = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('%'));
  const __m128i isPlus = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('+'));
  __m128i plain =
      _mm_or_si128(_mm_andnot_si128(isPlus, bytes), _mm_and_si128(isPlus, _mm_set1_epi8(' ')));
  auto escapes = static_cast<unsigned>(_mm_movemask_epi8(isPercent));
  if ((escapes | skip) == 0) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), plain);
    return {16, 16, 0};
  }
  const HexDigits high = HexDigitsOf(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 1)));
  const HexDigits low = HexDigitsOf(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2)));
  // An escape that is not two digits ends the step before it. A "%" is no digit, so the digits
  // of the escapes before it lie before it too.
  size_t length = 16;
  if (const unsigned bad = escapes & ~(high.mask & low.mask); bad != 0) {
    length = static_cast<size_t>(std::countr_zero(bad));
    escapes &= (1u << length) - 1;
  }
  const __m128i decoded = _mm_or_si128(_mm_slli_epi16(high.values, 4), low.values);
  plain = _mm_or_si128(_mm_andnot_si128(isPercent, plain), _mm_and_si128(isPercent, decoded));
  const unsigned digits = escapes << 1 | escapes << 2 | skip;
  const unsigned keep = ~digits & ((1u << length) - 1);
  const __m128i front = _mm_shuffle_epi8(
      plain, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kGather[keep & 0xFF])));
  const __m128i back =
      _mm_shuffle_epi8(_mm_srli_si128(plain, 8),
                       _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kGather[keep >> 8])));
  const auto frontCount = static_cast<size_t>(std::popcount(keep & 0xFF));
  const size_t produced = frontCount + static_cast<size_t>(std::popcount(keep >> 8));
  // A step cut short leaves bytes of its 16 to read again: nothing beyond the decoded is written.
  char aside[16];
  char* into = length == 16 ? out : aside;
  _mm_storel_epi64(reinterpret_cast<__m128i*>(into), front);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(into + frontCount), back);
  if (into == aside) std::memcpy(out, aside, produced);
  return {length, produced, digits >> 16};
}

// Decodes in steps of 16 while 18 bytes are known, from in[*i] into to[*o]; stops early before
// an escape that is not two hexadecimal digits.
__attribute__((target("ssse3,popcnt"))) void DecodeChunks(const char* in, size_t n, char* to,
                                                          size_t* i, size_t* o) {
  unsigned skip = 0;
  while (*i + 18 <= n) {
    const Chunk chunk = DecodeChunk(in + *i, to + *o, skip);
    *i += chunk.length;
    *o += chunk.produced;
    if (chunk.length < 16) return;
    skip = chunk.carry;
  }
  *i += static_cast<size_t>(std::popcount(skip));  // the digits of the last step's escape
}

// Asked once, by the first text long enough to gain: a small request never asks (the question
// is slow under a hypervisor).
bool DecodesInChunks() {
  static const bool able = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_SSSE3) != 0 &&
           (ecx & bit_POPCNT) != 0;
  }();
  return able;
}
#else
bool DecodesInChunks() { return false; }
#endif

struct Decoded {
  size_t consumed;  // input bytes taken
  size_t produced;  // bytes written to `to`
};

// Where the decoded bytes go: over the input itself (output never overtakes input, but a block
// writes up to 16 bytes past what it decodes, so it decodes aside first), or into a buffer of
// their own with FieldDecoder::kSlack bytes to spare beyond them.
enum class Output : uint8_t { kInPlace, kApart };

// Decodes what is known of in[0, n) into `to`. `final` when the field ends at n; otherwise an
// escape cut by n is left for the next bytes. `base` is the field position of in[0], for the
// messages, which count from 1.
Decoded DecodeKnown(const char* in, size_t n, bool final, size_t base, char* to, Output output) {
  char aside[kBlock + 16];
  size_t i = 0, o = 0;
  const bool chunked = n >= kBlock && DecodesInChunks();
  while (i < n) {
#ifdef ORVO_DECODE_SSSE3
    if (chunked) DecodeChunks(in, n, to, &i, &o);
#endif
    while (!chunked && i + kBlock + 2 <= n) {
      char* out = output == Output::kApart ? to + o : aside;
      const DecodedBlock block = DecodeBlock(in + i, out);
      if (out == aside) std::memcpy(to + o, aside, block.produced);
      i += block.consumed;
      o += block.produced;
      if (block.consumed < kBlock) break;
    }
    if (i >= n) break;
    // Byte by byte: the end of the text, and escapes that are not two hexadecimal digits.
    const char c = in[i];
    if (c != '%') {
      to[o++] = c == '+' ? ' ' : c;
      ++i;
      continue;
    }
    const bool doubled = i + 1 < n && in[i + 1] == '%';
    if (!final && i + 2 >= n && !doubled) break;  // the next bytes decide
    const int high = i + 2 < n ? HexValue(in[i + 1]) : -1;
    const int low = i + 2 < n ? HexValue(in[i + 2]) : -1;
    if ((high | low) >= 0) {
      to[o++] = static_cast<char>(high * 16 + low);
      i += 3;
    } else if (doubled) {
      to[o++] = '%';
      i += 2;
    } else if (i + 2 >= n) {
      throw EWebException("Error decoding URL style (%XX) encoded string at position " +
                          IntToStr(static_cast<int64_t>(base + i + 1)));
    } else {
      throw EConvertError("Invalid URL encoded character (" + std::string(in + i, 3) +
                          ") at position " + IntToStr(static_cast<int64_t>(base + i + 1)));
    }
  }
  return {i, o};
}

// Decodes text[begin, end) into text from position `to` (at most `begin`) and returns the end of
// the decoded bytes. Positions in the messages count from `begin`.
size_t DecodeInPlace(std::string& text, size_t begin, size_t end, size_t to) {
  char* at = text.data();
  return to + DecodeKnown(at + begin, end - begin, true, 0, at + to, Output::kInPlace).produced;
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

// ---- As the bytes arrive ----

FormSplitter::Run FormSplitter::Next(std::string_view chunk, size_t from) {
  Run run;
  size_t p = from;
  const size_t n = chunk.size();
  auto byte = [&chunk](size_t at) { return static_cast<unsigned char>(chunk[at]); };
  if (state_ == State::kBetween) {
    while (p < n && (chunk[p] == '\r' || chunk[p] == '\n')) ++p;
    if (p == n) {
      run.begin = run.end = run.next = p;
      return run;
    }
    state_ = State::kPlain;
    hasBytes_ = leadQuote_ = false;
    if (chunk[p] == '"') {  // the opening quote is not part of the field
      leadQuote_ = true;
      state_ = State::kQuoted;
      ++p;
    }
  }
  run.begin = p;
  for (;;) {
    if (state_ == State::kAfterClose) {
      // The byte after a closing quote ends the field, and is dropped unless it ends the text.
      if (p == n) break;
      run.end = p;
      run.fieldEnded = run.added = true;
      run.bodyEnded = chunk[p] == '\0';
      run.next = p + 1;
      state_ = State::kBetween;
      return run;
    }
    const bool quoted = state_ == State::kQuoted;
    if (!quoted) p = SkipFieldBytes(chunk.data(), p, n);
    const std::array<bool, 256>& stops = quoted ? kQuoteStops : kFieldStops;
    while (p < n && !stops[byte(p)]) ++p;
    hasBytes_ |= p > run.begin;
    if (p == n) break;
    const char c = chunk[p];
    if (c == '"' && !quoted) {  // a quote inside the field opens a quoted part that keeps it
      state_ = State::kQuoted;
      hasBytes_ = true;
      ++p;
      continue;
    }
    if (c == '"' && !leadQuote_) {  // its closing quote stays in the field too
      state_ = State::kAfterClose;
      ++p;
      continue;
    }
    // "&", CR, LF, a NUL, or the closing quote of a field that opened with one.
    run.end = p;
    run.fieldEnded = true;
    run.bodyEnded = c == '\0';
    run.added = hasBytes_ || !run.bodyEnded;
    run.next = p + 1;
    state_ = State::kBetween;
    return run;
  }
  run.end = run.next = n;
  return run;
}

bool FormSplitter::Finish() {
  const bool added = state_ == State::kAfterClose || (state_ != State::kBetween && hasBytes_);
  state_ = State::kBetween;
  return added;
}

size_t FieldDecoder::Feed(std::string_view raw, char* out) {
  size_t produced = 0;
  if (!carry_.empty()) {
    // Completes the waiting escape with the first bytes of `raw`.
    const size_t take = std::min(raw.size(), 3 - carry_.size());
    std::string glue = carry_ + std::string(raw.substr(0, take));
    const Decoded known =
        DecodeKnown(glue.data(), glue.size(), false, position_, out, Output::kApart);
    if (known.consumed == 0) {
      carry_ = std::move(glue);
      return 0;
    }
    raw.remove_prefix(known.consumed - carry_.size());
    position_ += known.consumed;
    produced = known.produced;
    carry_.clear();
  }
  const Decoded known =
      DecodeKnown(raw.data(), raw.size(), false, position_, out + produced, Output::kApart);
  position_ += known.consumed;
  carry_.assign(raw.substr(known.consumed));
  return produced + known.produced;
}

size_t FieldDecoder::Finish(char* out) {
  const size_t produced =
      DecodeKnown(carry_.data(), carry_.size(), true, position_, out, Output::kApart).produced;
  carry_.clear();
  return produced;
}

}  // namespace orvo
