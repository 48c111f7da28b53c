#include "platform/dos_time.h"

namespace dos_time {

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned DaysInMonth(int year, unsigned month) {
  static constexpr unsigned kLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && IsLeapYear(year)) return 29;
  return kLengths[month - 1];
}

// Howard Hinnant's days-from-civil, shifted from the Unix epoch to 1601-01-01.
int64_t DaysSince1601(int year, unsigned month, unsigned day) {
  const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yearOfEra = y - era * 400;
  const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  constexpr int64_t kUnixEpochFrom1601 = 134'774;  // days from 1601-01-01 to 1970-01-01
  return era * 146'097 + dayOfEra - 719'468 + kUnixEpochFrom1601;
}

// DOS years run from 1980 to 2107, where every fourth year is a leap year but 2100. The year
// and month bits of a DOS date (its top 11 bits) pick one entry of a table made at compile
// time: the days from 1980-01-01 to the month's first day, and the month's length (0 for a
// month number out of range). A stamp then costs one load and a few comparisons.
namespace {
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
constexpr MonthTable kMonthTable = MakeMonthTable();
static_assert(kMonthTable.entries[127 << 4 | 12] >> kMonthLengthShift == 31);
static_assert((kMonthTable.entries[127 << 4 | 12] & 0xFFFF) == 46'720);  // to 2107-12-01
}  // namespace

bool DosToSeconds(uint16_t dosDate, uint16_t dosTime, int64_t* seconds) {
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
