#include "host/Host.h"

namespace orvo {

Host* Host::installed_ = nullptr;

void Host::SetDefault(Host* host) { installed_ = host; }

namespace {

char* WriteDigits(int value, int count, char* out) {
  for (int i = count - 1; i >= 0; --i, value /= 10) out[i] = static_cast<char>('0' + value % 10);
  return out + count;
}

}  // namespace

void WriteTimeText(const LocalTime& time, char* out) {
  out = WriteDigits(time.year, 4, out);
  *out++ = '-';
  out = WriteDigits(time.month, 2, out);
  *out++ = '-';
  out = WriteDigits(time.day, 2, out);
  *out++ = ' ';
  out = WriteDigits(time.hour, 2, out);
  *out++ = ':';
  out = WriteDigits(time.minute, 2, out);
  *out++ = ':';
  WriteDigits(time.second, 2, out);
}

LocalTime LocalTimeOf(int64_t seconds) {
  // Days to a civil date in the proleptic Gregorian calendar, counted in eras of 400 years from
  // 0000-03-01 (so that the leap day ends a year).
  int64_t days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  const int64_t shifted = days + 719468;
  const int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
  const int64_t dayOfEra = shifted - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  LocalTime time;
  time.day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
  time.month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
  time.year = static_cast<int>(yearOfEra + era * 400 + (time.month <= 2 ? 1 : 0));
  time.hour = static_cast<int>(rest / 3600);
  time.minute = static_cast<int>(rest / 60 % 60);
  time.second = static_cast<int>(rest % 60);
  return time;
}

bool Host::Expire(const PreparedExpiry& expiry) {
  int nobody = 0;
  if (!expiry.owner->compare_exchange_strong(nobody, expiry.claim)) return false;
  std::string line = expiry.line;
  if (line.size() >= 19) WriteTimeText(LocalNow(), line.data());
  WriteOperatorLog(line);
  WriteStdout(expiry.answer.data(), expiry.answer.size());
  return true;
}

std::unique_ptr<Deadline> Host::StartPreparedDeadline(int seconds, PreparedExpiry expiry) {
  const int status = expiry.status;
  return StartDeadline(
      seconds, [this, expiry = std::move(expiry)] { return Expire(expiry); }, status);
}

}  // namespace orvo
