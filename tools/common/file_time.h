// FILETIME, the time the modules deliver: 100 ns ticks since 1601-01-01 00:00 UTC, and the
// proleptic Gregorian calendar in both directions. Every program that shows, reads or converts
// an item's time counts with this one calendar.
#pragma once

#include <cstdint>

namespace file_time {

inline constexpr uint64_t kTicksPerSecond = 10'000'000;
inline constexpr uint64_t kSecondsPerDay = 86'400;
inline constexpr int64_t kDaysFrom1601To1970 = 134'774;
inline constexpr int64_t kSecondsFrom1601To1970 = kDaysFrom1601To1970 * int64_t{kSecondsPerDay};

// A FILETIME split into calendar fields (UTC).
struct CivilTime {
  uint32_t year;
  uint32_t month;  // 1 to 12
  uint32_t day;    // 1 to 31
  uint32_t hour;
  uint32_t minute;
  uint32_t second;
  uint32_t ticks;  // 100 ns units within the second
};

CivilTime CivilFromFileTime(uint64_t ticks);

// The days of `month` (1 to 12) in `year`, February's 29 in leap years.
uint32_t DaysInMonth(uint32_t year, uint32_t month);

// The FILETIME of a time from 1601 on whose fields are in range (the day within its month).
uint64_t FileTimeFromCivil(const CivilTime& civil);

}  // namespace file_time
