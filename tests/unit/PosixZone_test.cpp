// The zone offset read from the compiled zone files, against the C library's for every zone.
#include "host/posix/PosixZone.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace orvo::posix {
namespace {

const char kZones[] = "/usr/share/zoneinfo";

// Sets TZ for the test's length (unset for nullopt), and the C library's zone with it.
class ZoneSetting {
 public:
  explicit ZoneSetting(const std::optional<std::string>& zone) {
    if (const char* old = getenv("TZ")) old_ = old;
    zone ? setenv("TZ", zone->c_str(), 1) : unsetenv("TZ");
    tzset();
  }
  ~ZoneSetting() {
    old_ ? setenv("TZ", old_->c_str(), 1) : unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> old_;
};

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

// Every zone from 1901 to 2105 in steps of about a month, and each change the C library shows
// there to the second: where the file settles the offset, it is the C library's.
TEST(PosixZoneTest, AgreesWithTheCLibraryInEveryZoneAndAtEachChange) {
  int zones = 0, settled = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(kZones)) {
    const std::string path = entry.path().string();
    if (!entry.is_regular_file() || path.find("/right/") != std::string::npos ||
        path.find("/posix/") != std::string::npos) {
      continue;
    }
    const std::string data = FileBytes(path);
    if (data.compare(0, 4, "TZif") != 0) continue;
    ++zones;
    ZoneSetting zone(":" + path);
    auto expectSame = [&](int64_t when) {
      const std::optional<long> offset = ZoneFileOffset(data, when);
      if (!offset) return;
      ++settled;
      EXPECT_EQ(*offset, LibraryOffset(when)) << path << " at " << when;
    };
    int64_t before = -2'145'916'800;  // 1902-01-01
    for (int64_t when = before + 2'629'743; when < 4'260'211'200;
         before = when, when += 2'629'743) {
      expectSame(when);
      if (LibraryOffset(before) == LibraryOffset(when)) continue;
      int64_t low = before, high = when;  // the change lies in (low, high]
      while (high - low > 1) {
        const int64_t middle = low + (high - low) / 2;
        (LibraryOffset(middle) == LibraryOffset(before) ? low : high) = middle;
      }
      expectSame(low);
      expectSame(high);
    }
  }
  EXPECT_GT(zones, 300);
  EXPECT_GT(settled, zones * 1000);  // most instants are settled by the file itself
}

TEST(PosixZoneTest, SettlesTheCommonZonesNowAndFallsBackForTheRest) {
  const int64_t now = time(nullptr);
  const std::string lisbon = FileBytes(std::string(kZones) + "/Europe/Lisbon");
  EXPECT_TRUE(ZoneFileOffset(FileBytes(std::string(kZones) + "/UTC"), now).has_value());
  EXPECT_TRUE(ZoneFileOffset(lisbon, now).has_value());
  // A file cut anywhere settles nothing, or what the whole file does (a cut in the rule for
  // later times leaves the offset now settled).
  for (size_t size = 0; size < lisbon.size(); ++size) {
    const std::optional<long> offset = ZoneFileOffset(lisbon.substr(0, size), now);
    if (offset) {
      EXPECT_EQ(offset, ZoneFileOffset(lisbon, now)) << size;
    }
  }
  // Zones named as the C library reads them, by file or by rule, and none.
  for (const std::optional<std::string>& tz :
       {std::optional<std::string>(), std::optional<std::string>("Asia/Kolkata"),
        std::optional<std::string>(":America/Sao_Paulo"), std::optional<std::string>("<-03>3"),
        std::optional<std::string>("EST5EDT,M3.2.0,M11.1.0"), std::optional<std::string>("")}) {
    ZoneSetting zone(tz);
    EXPECT_EQ(UtcOffsetAt(now), LibraryOffset(now)) << tz.value_or("(unset)");
    EXPECT_EQ(UtcOffsetAt(now + 180 * 86400), LibraryOffset(now + 180 * 86400));
  }
}

}  // namespace
}  // namespace orvo::posix
