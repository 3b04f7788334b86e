// Conversions between text and numbers or dates that follow the locale's marks, the date value
// and its calendar routines, and the packed file time stamps.
#pragma once

#include <cstdint>
#include <string>

#include "host/Host.h"

namespace orvo {

// Days since 1899-12-30 in the integer part, the time of day in the fraction.
using TDateTime = double;

// The locale's marks, filled once at start-up by LoadLocaleFormats.
struct TLocaleFormats {
  char DecimalMark = '.';
  char GroupMark = ',';
  char DateMark = '/';
  std::string ShortDatePattern = "m/d/yy";
};

// The process-wide record; only start-up (and tests) write it.
extern TLocaleFormats LocaleFormats;

inline constexpr int CenturyWindow = 50;

// Fills LocaleFormats from the host's locale values; missing values give the defaults.
void LoadLocaleFormats();

// EConvertError "'<text>' is not a valid floating point value".
long double StrToFloat(const std::string& text);
// Formats by a one-section pattern of '#', '0', ',' and '.'.
// EConvertError "Format string too long" for a pattern over 224 characters.
std::string FormatFloat(const std::string& pattern, long double value);

// EConvertError "'<text>' is not a valid date".
TDateTime StrToDate(const std::string& text);
// EConvertError "Invalid argument to date encode".
TDateTime EncodeDate(uint16_t year, uint16_t month, uint16_t day);
// The fraction of a day; EConvertError "Invalid argument to time encode".
TDateTime EncodeTime(uint16_t hour, uint16_t minute, uint16_t second, uint16_t millisecond);
bool IsLeapYear(int32_t year);
// The host's local clock.
TDateTime Now();
// A packed FAT date and time (local) as a date value; fails as EncodeDate and EncodeTime.
TDateTime FileStampToDateTime(int32_t stamp);
// Packs a local file time as a FAT date and time; false outside the years 1980 to 2107.
bool FileTimeToDosDateTime(FileTime local, int32_t* stamp);

}  // namespace orvo
