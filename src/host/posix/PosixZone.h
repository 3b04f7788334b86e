// The local zone's offset from UTC, read without loading the zone into the C library.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace orvo::posix {

// The offset east of UTC, in seconds, that this process's zone (TZ, else /etc/localtime) gives
// at `when`. Read from the compiled zone file where the file settles it, which costs one small
// read; else the C library's, which loads its whole zone machinery into the process.
long UtcOffsetAt(int64_t when);

// What a compiled zone file (`data`, all of it) settles of the offset at `when`: nothing where
// the file is not of version 2 or later, where leap seconds count, or where `when` lies past the
// file's last change and its rule for later times keeps daylight saving.
std::optional<long> ZoneFileOffset(std::string_view data, int64_t when);

}  // namespace orvo::posix
