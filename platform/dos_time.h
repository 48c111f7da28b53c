// DOS date and time stamps and FILETIME arithmetic, independent of any operating system.
#pragma once

#include <cstdint>

namespace dos_time {

constexpr uint64_t kTicksPerSecond = 10'000'000;  // FILETIME counts 100 ns intervals
constexpr int64_t kSecondsPerDay = 86'400;

// Days from 1601-01-01 (the FILETIME epoch) to the given Gregorian date.
int64_t DaysSince1601(int year, unsigned month, unsigned day);

bool IsLeapYear(int year);
unsigned DaysInMonth(int year, unsigned month);

// Converts a DOS date and time to seconds since 1601-01-01, refusing fields out of range.
bool DosToSeconds(uint16_t dosDate, uint16_t dosTime, int64_t* seconds);

}  // namespace dos_time
