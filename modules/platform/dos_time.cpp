#include "modules/platform/dos_time.h"

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

}  // namespace dos_time
