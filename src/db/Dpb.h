// The database parameter block: the attach options built from name=value lines.
#pragma once

#include <array>
#include <string>

#include "common/Classes.h"

namespace orvo {

inline constexpr char isc_dpb_version1 = 1;
inline constexpr size_t kDpbMaxLength = 32767;  // the attach call takes a signed 16-bit length
inline constexpr size_t kDpbMaxValueLength = 255;

// The parameter names, codes 1 to 83 in order (without the "isc_dpb_" prefix).
extern const std::array<const char*, 83> DpbParameterNames;

// The version-1 block for `params`. Client error 11 for a name of the table that the block does
// not support, 114 for a name not in it, 122 for a string value over 255 bytes, 123 for a block
// over 32767 bytes; EConvertError for a number that is not one.
std::string BuildDpb(const TStrings& params);

}  // namespace orvo
