// The POSIX platform layer: DOS stamps, the local-to-UTC step and large files.
#include "modules/platform/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tests/support/module_fixture.h"

namespace {

uint16_t DosDate(int year, int month, int day) {
  return static_cast<uint16_t>((year - 1980) << 9 | month << 5 | day);
}
uint16_t DosTime(int hour, int minute, int twoSeconds) {
  return static_cast<uint16_t>(hour << 11 | minute << 5 | twoSeconds);
}

TEST(DosStamps, ConvertValidStampsExactly) {
  FileTime out;
  ASSERT_TRUE(platform::DosDateTimeToFileTime(DosDate(1980, 1, 1), DosTime(0, 0, 0), &out));
  EXPECT_EQ(Ticks(out), TicksOf(1980, 1, 1, 0, 0, 0));
  ASSERT_TRUE(platform::DosDateTimeToFileTime(DosDate(2107, 12, 31), DosTime(23, 59, 29), &out));
  EXPECT_EQ(Ticks(out), TicksOf(2107, 12, 31, 23, 59, 58));
  ASSERT_TRUE(platform::DosDateTimeToFileTime(DosDate(2000, 2, 29), DosTime(12, 30, 15), &out));
  EXPECT_EQ(Ticks(out), TicksOf(2000, 2, 29, 12, 30, 30));
  ASSERT_TRUE(platform::DosDateTimeToFileTime(DosDate(2024, 2, 29), DosTime(1, 2, 3), &out));
  EXPECT_EQ(Ticks(out), TicksOf(2024, 2, 29, 1, 2, 6));
}

TEST(DosStamps, EveryDayOfEveryYearMatchesAPlainCount) {
  FileTime out;
  uint64_t expected = TicksOf(1980, 1, 1, 0, 0, 0);
  const uint64_t kDay = 86400ull * 10'000'000ull;
  static const int kLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  for (int year = 1980; year <= 2107; ++year) {
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    for (int month = 1; month <= 12; ++month) {
      const int length = kLengths[month - 1] + (month == 2 && leap ? 1 : 0);
      for (int day = 1; day <= length; ++day, expected += kDay) {
        ASSERT_TRUE(platform::DosDateTimeToFileTime(DosDate(year, month, day), 0, &out))
            << year << "-" << month << "-" << day;
        ASSERT_EQ(Ticks(out), expected) << year << "-" << month << "-" << day;
      }
      // The day after the month's last is refused.
      out = FileTime{7, 7};
      EXPECT_FALSE(platform::DosDateTimeToFileTime(DosDate(year, month, length + 1), 0, &out))
          << year << "-" << month << "-" << length + 1;
      EXPECT_EQ(out.dwLowDateTime, 7u) << "a refused stamp writes nothing";
    }
  }
}

TEST(DosStamps, FieldsOutOfRangeAreRefused) {
  FileTime out;
  const uint16_t goodDate = DosDate(1999, 6, 15);
  EXPECT_FALSE(platform::DosDateTimeToFileTime(DosDate(1999, 0, 15), 0, &out));
  EXPECT_FALSE(platform::DosDateTimeToFileTime(DosDate(1999, 13, 15), 0, &out));
  EXPECT_FALSE(platform::DosDateTimeToFileTime(DosDate(1999, 6, 0), 0, &out));
  EXPECT_FALSE(platform::DosDateTimeToFileTime(DosDate(2100, 2, 29), 0, &out)) << "not leap";
  EXPECT_FALSE(platform::DosDateTimeToFileTime(DosDate(2023, 2, 29), 0, &out));
  EXPECT_FALSE(platform::DosDateTimeToFileTime(goodDate, DosTime(24, 0, 0), &out));
  EXPECT_FALSE(platform::DosDateTimeToFileTime(goodDate, DosTime(0, 60, 0), &out));
  EXPECT_FALSE(platform::DosDateTimeToFileTime(goodDate, DosTime(0, 0, 30), &out));
  EXPECT_TRUE(platform::DosDateTimeToFileTime(goodDate, DosTime(23, 59, 29), &out));
  EXPECT_FALSE(platform::DosDateTimeToFileTime(0, 0, &out)) << "the all-zero stamp";
}

// Sets TZ for one test and restores the test run's zone after it.
class ZoneTest : public ::testing::Test {
 protected:
  void SetZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  void TearDown() override {
    if (saved_.empty()) {
      unsetenv("TZ");
    } else {
      setenv("TZ", saved_.c_str(), 1);
    }
    tzset();
  }
  std::string saved_ = std::getenv("TZ") != nullptr ? std::getenv("TZ") : "";
};

TEST_F(ZoneTest, LocalToUtcSubtractsTheOffsetInForceNow) {
  const FileTime local{0x12345678u, 0x01D00000u};
  FileTime utc;
  SetZone("UTC0");
  // The offset is looked up again once the second changes; wait for a new second.
  const time_t start = time(nullptr);
  while (time(nullptr) == start) {
  }
  ASSERT_TRUE(platform::LocalFileTimeToFileTime(&local, &utc));
  EXPECT_EQ(Ticks(utc), Ticks(local));

  // A fixed zone five and a half hours east of UTC, with no daylight saving.
  SetZone("IST-5:30");
  const time_t next = time(nullptr);
  while (time(nullptr) == next) {
  }
  ASSERT_TRUE(platform::LocalFileTimeToFileTime(&local, &utc));
  EXPECT_EQ(Ticks(local) - Ticks(utc), 19'800ull * 10'000'000ull);
}

// Files of 2 GiB and more, sparse so that they take no space. A 32-bit build without 64-bit
// file offsets could neither open nor measure them.
TEST(LargeFiles, OpenWithTheLow32BitsOfTheirSize) {
  TempFile file({});
  const int fd = ::open(file.path(), O_WRONLY);
  ASSERT_GE(fd, 0);
  const char marker[] = "MARKER";
  const off_t markerOffset = 0x7FFFFFF0;
  ASSERT_EQ(::pwrite(fd, marker, sizeof marker, markerOffset), ssize_t{sizeof marker});

  ASSERT_EQ(::ftruncate(fd, off_t{3} << 30), 0);
  platform::FileHandle handle = platform::OpenForReading(file.path());
  ASSERT_TRUE(platform::IsOpen(handle));
  EXPECT_EQ(platform::FileSize(handle), 0xC0000000u);
  ASSERT_TRUE(platform::Seek(handle, 0x7FFFFFF0u));
  char read[sizeof marker] = {};
  EXPECT_EQ(platform::Read(handle, read, sizeof read), int64_t{sizeof read});
  EXPECT_EQ(std::memcmp(read, marker, sizeof marker), 0);
  EXPECT_FALSE(platform::Seek(handle, 0x80000000u)) << "2 GiB is beyond a signed distance";
  EXPECT_EQ(platform::Close(handle), 1);

  ASSERT_EQ(::ftruncate(fd, (off_t{1} << 32) + 100), 0);
  handle = platform::OpenForReading(file.path());
  ASSERT_TRUE(platform::IsOpen(handle));
  EXPECT_EQ(platform::FileSize(handle), 100u);
  EXPECT_EQ(platform::Close(handle), 1);
  ::close(fd);
}

}  // namespace
