// The fields of a form body: split at "&", CR and LF, honouring double quotes, and decoded from
// "+" and %XX. Every body is read this way, whatever its media type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/Classes.h"

namespace orvo {

// Splits a body into fields and appends each field decoded by DecodeURLText. The text ends at
// its first NUL byte.
void ExtractFields(std::string_view content, TStrings& strings);
// The same over a body that is not needed afterwards: each field is decoded in place, and a large
// field that is most of what remains takes over the body's storage instead of being copied.
void ExtractFields(std::string&& content, TStrings& strings);

// Decodes "+" and %XX. EWebException when "%" lacks two bytes, EConvertError when they are
// not hexadecimal digits.
std::string DecodeURLText(std::string_view text);

// Splits a body into fields as ExtractFields does, as its bytes arrive: for a body that is not
// held whole. The bytes of a field that one call returns lie together in the chunk.
class FormSplitter {
 public:
  struct Run {
    size_t begin = 0, end = 0;  // bytes of the current field in the chunk
    size_t next = 0;            // where the next call resumes
    bool fieldEnded = false;    // the current field is complete
    bool added = false;         // ... and ExtractFields would add it
    bool bodyEnded = false;     // a NUL ended the text: nothing after it counts
  };

  // Scans `chunk` from `from` to the end of the current field or of the chunk.
  Run Next(std::string_view chunk, size_t from);
  // The input ended without a NUL: whether a field was open and is added.
  bool Finish();

 private:
  enum class State : uint8_t { kBetween, kPlain, kQuoted, kAfterClose };
  State state_ = State::kBetween;
  bool leadQuote_ = false;
  bool hasBytes_ = false;
};

// Decodes one field as DecodeURLText decodes it whole, as its bytes arrive.
class FieldDecoder {
 public:
  // Bytes that `out` must have to spare, beyond those it receives.
  static constexpr size_t kSlack = 96;

  // Decodes `raw`, the field's next bytes, into `out`, which has room for raw.size() + kSlack
  // bytes; returns the bytes written. An escape cut by the end of `raw` waits for the next bytes.
  // Throws as DecodeURLText does, the position counted from the field's first byte.
  size_t Feed(std::string_view raw, char* out);
  // The field ended: decodes what waited (into `out`, room for kSlack bytes) or throws.
  size_t Finish(char* out);

 private:
  std::string carry_;  // an escape not yet decidable: "%" or "%X"
  size_t position_ = 0;
};

}  // namespace orvo
