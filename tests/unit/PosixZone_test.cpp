// The zone offset read from the compiled zone files, against the C library's for every zone.
#include "host/posix/PosixZone.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace orvo::posix {
namespace {

// Makes TZ name `tz` ("-" for none), for the C library too.
void UseZone(const std::string& tz) {
  tz == "-" ? unsetenv("TZ") : setenv("TZ", tz.c_str(), 1);
  tzset();
}

long LibraryOffset(int64_t when) {
  const time_t at = when;
  tm local{};
  localtime_r(&at, &local);
  return local.tm_gmtoff;
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every zone from 1902 to 2104 in steps of a month, and each change the C library shows there
// to the second: where the file settles the offset, it is the C library's.
TEST(PosixZoneTest, AgreesWithTheCLibraryInEveryZoneAndAtEachChange) {
  int zones = 0, settled = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator("/usr/share/zoneinfo")) {
    const std::string path = entry.path().string(), tz = ":" + path;
    if (!entry.is_regular_file() || path.find("/right/") != std::string::npos) continue;
    const std::string data = FileBytes(path);
    if (data.compare(0, 4, "TZif") != 0) continue;
    ++zones;
    UseZone(tz);
    auto expectSame = [&](int64_t when) {
      const std::optional<long> offset = ZoneFileOffset(data, when);
      if (!offset) return;
      ++settled;
      EXPECT_EQ(*offset, LibraryOffset(when)) << path << " at " << when;
    };
    for (int64_t before = -2'145'916'800, when = before + 2'629'743; when < 4'260'211'200;
         before = when, when += 2'629'743) {
      expectSame(when);
      int64_t low = before, high = when;  // a change in (low, high] is found to the second
      while (high - low > 1 && LibraryOffset(low) != LibraryOffset(high)) {
        const int64_t middle = low + (high - low) / 2;
        (LibraryOffset(middle) == LibraryOffset(low) ? low : high) = middle;
      }
      if (high - low > 1) continue;
      expectSame(low);
      expectSame(high);
    }
  }
  EXPECT_GT(zones, 300);
  EXPECT_GT(settled, zones * 1000);  // most instants are settled by the file itself
}

TEST(PosixZoneTest, SettlesTheCommonZonesNowAndFallsBackForTheRest) {
  const int64_t now = time(nullptr);
  const std::string lisbon = FileBytes("/usr/share/zoneinfo/Europe/Lisbon");
  EXPECT_TRUE(ZoneFileOffset(FileBytes("/usr/share/zoneinfo/UTC"), now) &&
              ZoneFileOffset(lisbon, now));
  // Cut anywhere, a file settles nothing or what the whole file does (a cut in the rule for
  // later times leaves the offset now settled).
  for (size_t size = 0; size < lisbon.size(); ++size) {
    const std::optional<long> offset = ZoneFileOffset(lisbon.substr(0, size), now);
    EXPECT_TRUE(!offset || offset == ZoneFileOffset(lisbon, now)) << size;
  }
  // Zones named as the C library reads them, by file or by rule, and none.
  for (const char* tz :
       {"-", "Asia/Kolkata", ":America/Sao_Paulo", "<-03>3", "EST5EDT,M3.2.0,M11.1.0", ""}) {
    for (int64_t when : {now, now + 180 * 86400}) {
      UseZone(tz);
      EXPECT_EQ(UtcOffsetAt(when), LibraryOffset(when)) << tz;
    }
  }
}

}  // namespace
}  // namespace orvo::posix
