#include "tools/common/file_time.h"

namespace file_time {

namespace {

// Days from 0000-03-01, the epoch of the arithmetic below, to 1601-01-01. Years are counted
// from March, so that a leap day ends its year, in eras of 400 years (146,097 days).
constexpr uint32_t kDaysTo1601 = 584'694;
constexpr uint32_t kDaysPerEra = 146'097;

}  // namespace

CivilTime CivilFromFileTime(uint64_t ticks) {
  uint64_t seconds = ticks / kTicksPerSecond;
  uint32_t secondOfDay = static_cast<uint32_t>(seconds % kSecondsPerDay);
  // All values stay non-negative, and below 2^32 for every FILETIME.
  uint32_t days = static_cast<uint32_t>(seconds / kSecondsPerDay) + kDaysTo1601;
  uint32_t era = days / kDaysPerEra;
  uint32_t dayOfEra = days % kDaysPerEra;
  uint32_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
  uint32_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  uint32_t shiftedMonth = (5 * dayOfYear + 2) / 153;  // 0 is March
  CivilTime civil;
  civil.day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
  civil.month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
  civil.year = era * 400 + yearOfEra + (civil.month <= 2 ? 1 : 0);
  civil.hour = secondOfDay / 3600;
  civil.minute = secondOfDay / 60 % 60;
  civil.second = secondOfDay % 60;
  civil.ticks = static_cast<uint32_t>(ticks % kTicksPerSecond);
  return civil;
}

uint32_t DaysInMonth(uint32_t year, uint32_t month) {
  constexpr uint32_t kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return kMonthDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

uint64_t FileTimeFromCivil(const CivilTime& civil) {
  uint32_t year = civil.year - (civil.month <= 2 ? 1 : 0);
  uint32_t era = year / 400;
  uint32_t yearOfEra = year % 400;
  uint32_t shiftedMonth = civil.month > 2 ? civil.month - 3 : civil.month + 9;
  uint32_t dayOfYear = (153 * shiftedMonth + 2) / 5 + civil.day - 1;
  uint32_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  uint64_t days = uint64_t{era} * kDaysPerEra + dayOfEra - kDaysTo1601;
  uint64_t seconds =
      days * kSecondsPerDay + civil.hour * 3600 + civil.minute * 60 + uint64_t{civil.second};
  return seconds * kTicksPerSecond + civil.ticks;
}

}  // namespace file_time
