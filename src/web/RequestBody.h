// The body of a request: read once, up to the length the request declares. It knows both the
// declared and the received length, so it alone says whether the body was cut short, and it
// hands its bytes to the form decoder.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/Classes.h"

namespace orvo {

class Host;

// The one rule by which both fronts read the body length that a request declares:
// HTTP_CONTENT_LENGTH, or CONTENT_LENGTH when that is unset or empty, read as StrToInt reads a
// number (a sign, decimal digits, or hexadecimal after "$" or "0x"); -1 when it is no such number
// or does not fit 32 bits, and then no body is read. `variable` gives the request's variable of a
// name ("" when unset).
int32_t DeclaredBodyLength(const std::function<std::string(const std::string& name)>& variable);

// ORVO_MAX_BODY from the process's environment: the longest body, in bytes, that a request may
// declare; 2^31-1 (any length a request can declare) when unset or not a number.
int64_t MaxBodySetting(Host& host);

// The bytes of a body declared `declared` bytes long that a front may read and keep: the declared
// length when it lies within 0 and `maxBody`, else 0.
int64_t BodyBytesToRead(int32_t declared, int64_t maxBody);

class TRequestBody {
 public:
  // No body: nothing declared, nothing read.
  TRequestBody() = default;
  // A body of `declared` bytes of standard input, read when first asked for (nothing when it is 0
  // or less). A length over `maxBody` reads nothing and raises EWebException saying so.
  TRequestBody(int32_t declared, int64_t maxBody);

  int32_t Declared() const { return declared_; }

  // The bytes, read whole on the first call: fewer than declared at the end of standard input or
  // on a read failure. Memory grows with the bytes that arrive, never with the declared length
  // alone; EOutOfMemory when they cannot be held. Empty once the fields took a large body over.
  const std::string& Content();

  // "" when the body arrived whole, else the text that says how much of it did.
  std::string CutShortText();
  // EWebException with that text when the body was cut short.
  void RequireWhole();

  // Appends the decoded form fields of the body to `fields` (see ExtractFields). A body of
  // 64 KiB or more is decoded in its own storage rather than beside it: Content() is then empty.
  void DecodeFields(TStrings& fields);

  // For a reader that takes the body as it arrives instead (TFormStream): up to `count` more
  // bytes into `buffer`; 0 once the body has ended. The body is then read.
  size_t ReadSome(char* buffer, size_t count);
  // Puts back `bytes`, all that ReadSome gave, as the start of the body that Content() reads.
  void GiveBack(std::string bytes);

 private:
  void ReadRest();

  int32_t declared_ = -1;
  int64_t toRead_ = 0;    // the bytes that may be read: the declared length within the limit
  int64_t received_ = 0;  // the bytes read so far
  bool read_ = true;      // nothing is left to read
  std::string content_;
};

}  // namespace orvo
