// The FILETIME calendar: both directions agree on every day from 1601 to 9999, days follow
// one another without a gap, and the epochs fall where FILETIME and Unix time put them.
#include "tools/common/file_time.h"

#include <gtest/gtest.h>

namespace {

using file_time::CivilTime;

constexpr uint64_t kTicksPerDay = file_time::kSecondsPerDay * file_time::kTicksPerSecond;

TEST(FileTime, EveryDayRoundTripsAndFollowsTheDayBefore) {
  EXPECT_EQ(file_time::FileTimeFromCivil({1601, 1, 1, 0, 0, 0, 0}), 0u);
  EXPECT_EQ(file_time::FileTimeFromCivil({1970, 1, 1, 0, 0, 0, 0}),
            static_cast<uint64_t>(file_time::kSecondsFrom1601To1970) * file_time::kTicksPerSecond);
  EXPECT_EQ(file_time::DaysInMonth(1900, 2), 28u);
  EXPECT_EQ(file_time::DaysInMonth(2000, 2), 29u);
  EXPECT_EQ(file_time::DaysInMonth(2024, 2), 29u);
  uint64_t expected = 0;
  size_t disagreements = 0;
  for (uint32_t year = 1601; year <= 9999; ++year) {
    for (uint32_t month = 1; month <= 12; ++month) {
      for (uint32_t day = 1; day <= file_time::DaysInMonth(year, month); ++day) {
        const CivilTime civil{year, month, day, day % 24, month * 4, year % 60, year * day};
        const uint64_t ticks = file_time::FileTimeFromCivil(civil);
        const CivilTime back = file_time::CivilFromFileTime(ticks);
        const uint64_t midnight = ticks - (ticks % kTicksPerDay);
        disagreements += midnight != expected || back.year != year || back.month != month ||
                         back.day != day || back.hour != civil.hour ||
                         back.minute != civil.minute || back.second != civil.second ||
                         back.ticks != civil.ticks;
        expected = midnight + kTicksPerDay;
      }
    }
  }
  EXPECT_EQ(disagreements, 0u);
}

}  // namespace
