// A compiled zone file: a header of counts, then the times of the zone's changes, the type each
// change switches to, the types (offset, daylight saving, name), names, leap seconds and two flag
// tables; from version 2 on the same again with 64-bit times, then between line feeds the POSIX
// TZ rule for the times after the last change.
#include "host/posix/PosixZone.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "host/posix/PosixBeneath.h"

namespace orvo::posix {
namespace {

constexpr size_t kHeaderSize = 44;
constexpr size_t kTypeSize = 6;
constexpr off_t kLargestZoneFile = 1 << 20;

struct Counts {
  uint64_t utFlags, standardFlags, leaps, changes, types, nameBytes;
};

uint64_t BigEndian(std::string_view data, size_t at, size_t size) {
  uint64_t value = 0;
  for (size_t i = 0; i < size; ++i) value = value << 8 | static_cast<unsigned char>(data[at + i]);
  return value;
}

// The counts of the header at `at`; false where there is none.
bool ReadHeader(std::string_view data, size_t at, Counts* counts) {
  if (data.size() < at + kHeaderSize || data.substr(at, 4) != "TZif") return false;
  uint64_t* fields[] = {&counts->utFlags, &counts->standardFlags, &counts->leaps,
                        &counts->changes, &counts->types,         &counts->nameBytes};
  for (size_t i = 0; i < 6; ++i) *fields[i] = BigEndian(data, at + 20 + 4 * i, 4);
  return true;
}

// The size of the block after a header whose times take `timeSize` bytes.
uint64_t BlockSize(const Counts& c, uint64_t timeSize) {
  return c.changes * (timeSize + 1) + c.types * kTypeSize + c.nameBytes + c.leaps * (timeSize + 4) +
         c.standardFlags + c.utFlags;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// The offset east of UTC of a rule without daylight saving ("UTC0", "<-03>3", "XYZ-5:30"): a
// name, then hours[:minutes[:seconds]] west of UTC, then nothing.
std::optional<long> StandardOnlyOffset(std::string_view rule) {
  size_t at = 0;
  if (!rule.empty() && rule[0] == '<') {
    at = rule.find('>');
    if (at == std::string_view::npos) return std::nullopt;
    ++at;
  } else {
    while (at < rule.size() && IsLetter(rule[at])) ++at;
    if (at < 3) return std::nullopt;
  }
  long sign = -1;
  if (at < rule.size() && (rule[at] == '+' || rule[at] == '-')) sign = rule[at++] == '-' ? 1 : -1;
  long seconds = 0;
  for (long unit : {3600L, 60L, 1L}) {
    const size_t first = at;
    long value = 0;
    while (at < rule.size() && at - first < 3 && IsDigit(rule[at]))
      value = value * 10 + (rule[at++] - '0');
    if (at == first) return std::nullopt;
    seconds += value * unit;
    if (unit == 1 || at == rule.size() || rule[at] != ':') break;
    ++at;
  }
  if (at != rule.size()) return std::nullopt;  // a daylight-saving part follows
  return sign * seconds;
}

// The file the C library reads the zone from: the one TZ names (after a ":"; a relative name
// inside TZDIR, else the system's zone folder), /etc/localtime without TZ. "" for an empty TZ.
std::string ZoneFilePath() {
  const char* zone = getenv("TZ");
  if (zone == nullptr) return "/etc/localtime";
  if (*zone == ':') ++zone;
  if (*zone == '\0') return "";
  if (*zone == '/') return zone;
  const char* folder = getenv("TZDIR");
  return std::string(folder != nullptr && *folder != '\0' ? folder : "/usr/share/zoneinfo") + "/" +
         zone;
}

std::optional<std::string> ReadZoneFile(const std::string& path) {
  if (path.empty()) return std::nullopt;
  const Fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (!file || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_size > kLargestZoneFile) {
    return std::nullopt;
  }
  std::string data(static_cast<size_t>(info.st_size), '\0');
  size_t filled = 0;
  while (filled < data.size()) {
    const ssize_t got = read(file.get(), data.data() + filled, data.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    filled += static_cast<size_t>(got);
  }
  return data;
}

}  // namespace

std::optional<long> ZoneFileOffset(std::string_view data, int64_t when) {
  Counts c{};
  if (!ReadHeader(data, 0, &c) || data[4] < '2') return std::nullopt;
  const uint64_t second = kHeaderSize + BlockSize(c, 4);
  if (!ReadHeader(data, second, &c) || c.leaps != 0 || c.types == 0) return std::nullopt;
  const uint64_t times = second + kHeaderSize;
  const uint64_t switchesTo = times + 8 * c.changes;
  const uint64_t types = switchesTo + c.changes;
  const uint64_t rule = times + BlockSize(c, 8);
  if (rule > data.size()) return std::nullopt;

  auto changeTime = [&](uint64_t i) {
    return static_cast<int64_t>(BigEndian(data, times + 8 * i, 8));
  };
  auto offsetOf = [&](uint64_t type) -> std::optional<long> {
    if (type >= c.types) return std::nullopt;
    return static_cast<int32_t>(BigEndian(data, types + kTypeSize * type, 4));
  };
  if (c.changes == 0 || when < changeTime(0)) {
    // Before any change: the first type of standard time (the first type if all keep daylight).
    uint64_t type = 0;
    while (type < c.types && data[types + kTypeSize * type + 4] != 0) ++type;
    return offsetOf(type == c.types ? 0 : type);
  }
  if (when >= changeTime(c.changes - 1)) {
    const std::string_view lines = data.substr(rule);
    const size_t end = lines.find('\n', 1);
    if (lines.empty() || lines[0] != '\n' || end == std::string_view::npos) return std::nullopt;
    return StandardOnlyOffset(lines.substr(1, end - 1));
  }
  // The last change at or before `when`: changeTime(low) <= when < changeTime(high).
  uint64_t low = 0, high = c.changes - 1;
  while (high - low > 1) {
    const uint64_t middle = low + (high - low) / 2;
    (changeTime(middle) <= when ? low : high) = middle;
  }
  return offsetOf(BigEndian(data, switchesTo + low, 1));
}

long UtcOffsetAt(int64_t when) {
  if (const std::optional<std::string> data = ReadZoneFile(ZoneFilePath())) {
    if (const std::optional<long> offset = ZoneFileOffset(*data, when)) return *offset;
  }
  const time_t at = static_cast<time_t>(when);
  tm local{};
  localtime_r(&at, &local);
  return local.tm_gmtoff;
}

}  // namespace orvo::posix
