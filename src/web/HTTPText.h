// Texts of HTTP answers: the reason phrase of a status code, and HTML escaping.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvo {

// The reason text of a status code; "" for a code the table lacks.
std::string StatusText(int32_t code);

// `text` with '&', '<' and '>' written as "&amp;", "&lt;" and "&gt;": text from the request or
// the disk put into a text/html answer, so that it shows as text and never becomes markup.
std::string HTMLEscape(std::string_view text);

}  // namespace orvo
