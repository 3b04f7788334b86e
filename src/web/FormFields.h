// The fields of a form body: split at "&", CR and LF, honouring double quotes, and decoded from
// "+" and %XX. Every body is read this way, whatever its media type.
#pragma once

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

}  // namespace orvo
