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
// DOS years run from 1980 to 2107, where every fourth year is a leap year but 2100. The year
// and month bits of a DOS date (its top 11 bits) pick one entry of a table made at compile
// time: the days from 1980-01-01 to the month's first day, and the month's length (0 for a
// month number out of range). A stamp then costs one load and a few comparisons.
namespace detail {
constexpr int kDosYearOffsetOf2100 = 2100 - 1980;
constexpr uint16_t kDaysBeforeMonth[13] = {0,   0,   31,  59,  90,  120, 151,
                                           181, 212, 243, 273, 304, 334};
constexpr uint8_t kMonthLength[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int64_t kDaysTo1980 = 138'426;  // 1601-01-01 to 1980-01-01
constexpr unsigned kMonthLengthShift = 16;

struct MonthTable {
  uint32_t entries[2048];  // by dosDate >> 5: days before the month | length << 16
};

constexpr MonthTable MakeMonthTable() {
  MonthTable table{};
  for (unsigned yearOffset = 0; yearOffset < 128; ++yearOffset) {
    const bool leap = yearOffset % 4 == 0 && yearOffset != kDosYearOffsetOf2100;
    // Leap days of the whole years before this one.
    const unsigned leapDays = (yearOffset + 3) / 4 - (yearOffset > kDosYearOffsetOf2100 ? 1 : 0);
    for (unsigned month = 1; month <= 12; ++month) {
      const unsigned days =
          yearOffset * 365 + leapDays + kDaysBeforeMonth[month] + (leap && month > 2 ? 1 : 0);
      const unsigned length = kMonthLength[month] + (leap && month == 2 ? 1 : 0);
      table.entries[yearOffset << 4 | month] = days | length << kMonthLengthShift;
    }
  }
  return table;
}
inline constexpr MonthTable kMonthTable = MakeMonthTable();
static_assert(kMonthTable.entries[127 << 4 | 12] >> kMonthLengthShift == 31);
static_assert((kMonthTable.entries[127 << 4 | 12] & 0xFFFF) == 46'720);  // to 2107-12-01
}  // namespace detail

// Inline, as the platform's stamp conversion runs it once per item.
inline bool DosToSeconds(uint16_t dosDate, uint16_t dosTime, int64_t* seconds) {
  using namespace detail;
  const uint32_t entry = kMonthTable.entries[dosDate >> 5];
  const unsigned day = dosDate & 0x1F;
  const unsigned hours = dosTime >> 11;
  const unsigned minutes = (dosTime >> 5) & 0x3F;
  const unsigned twoSeconds = dosTime & 0x1F;
  // Day 0 and days past the month's length (all days of a month out of range) are refused.
  if (day - 1 >= entry >> kMonthLengthShift) return false;
  if (hours > 23 || minutes > 59 || twoSeconds > 29) return false;
  const int64_t days = kDaysTo1980 + (entry & 0xFFFF) + day - 1;
  *seconds = days * kSecondsPerDay + hours * 3600 + minutes * 60 + twoSeconds * 2;
  return true;
}

}  // namespace dos_time
