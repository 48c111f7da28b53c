// The emulated Windows system, driven through its function table as the machine drives it,
// over a fake address space.
#include "tools/hosts/cathost32/win32_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <unordered_map>
#include <vector>

#include "modules/platform/platform.h"
#include "tools/hosts/cathost32/guest_memory.h"
#include "tools/hosts/cathost32/process_blocks.h"

namespace emulator {
namespace {

constexpr uint32_t kInvalidHandle = 0xFFFFFFFF;

// A page-granular address space; host-side reads and writes ignore protection, as the
// emulator's do.
class FakeMemory : public Memory {
 public:
  bool Read(uint32_t address, void* out, uint32_t size) const override {
    for (uint32_t i = 0; i < size; ++i) {
      const auto page = pages_.find((address + i) / kPageSize);
      if (page == pages_.end()) return false;
      static_cast<uint8_t*>(out)[i] = page->second.bytes[(address + i) % kPageSize];
    }
    return true;
  }
  bool Write(uint32_t address, const void* in, uint32_t size) override {
    for (uint32_t i = 0; i < size; ++i) {
      if (!pages_.contains((address + i) / kPageSize)) return false;
    }
    for (uint32_t i = 0; i < size; ++i) {
      pages_[(address + i) / kPageSize].bytes[(address + i) % kPageSize] =
          static_cast<const uint8_t*>(in)[i];
    }
    return true;
  }
  bool Map(uint32_t address, uint32_t size, uint32_t protection) override {
    for (uint32_t page = address / kPageSize; page < (address + size) / kPageSize; ++page) {
      if (pages_.contains(page)) return false;
      pages_[page] = Page{std::vector<uint8_t>(kPageSize), protection};
    }
    return true;
  }
  bool Protect(uint32_t address, uint32_t size, uint32_t protection) override {
    for (uint32_t page = address / kPageSize; page < (address + size) / kPageSize; ++page) {
      if (!pages_.contains(page)) return false;
      pages_[page].protection = protection;
    }
    return true;
  }
  bool QueryPage(uint32_t address, uint32_t* protection) const override {
    const auto page = pages_.find(address / kPageSize);
    if (page == pages_.end()) return false;
    *protection = page->second.protection;
    return true;
  }

 private:
  struct Page {
    std::vector<uint8_t> bytes;
    uint32_t protection = 0;
  };
  std::unordered_map<uint32_t, Page> pages_;
};

class FakeCall : public SystemCall {
 public:
  FakeCall(Memory& memory, std::vector<uint32_t> arguments)
      : memory_(memory), arguments_(std::move(arguments)) {}
  uint32_t Argument(unsigned index) override {
    return index < arguments_.size() ? arguments_[index] : 0xBAD0BAD0;
  }
  void Stop(const std::string& why) override {
    if (stopped.empty()) stopped = why;
  }
  Memory& memory() override { return memory_; }
  bool CallEmulated(uint32_t function, uint32_t* result) override {
    called.push_back(function);
    *result = 0;
    return true;
  }

  std::string stopped;
  std::vector<uint32_t> called;

 private:
  Memory& memory_;
  std::vector<uint32_t> arguments_;
};

constexpr uint32_t kTeb = 0x7FFDE000;
constexpr uint32_t kImage = 0x10000000;
constexpr uint32_t kData = 0x00400000;  // the test's own variables and strings
constexpr uint32_t kReadOnlyPage = 0x00500000;

class Win32SystemTest : public ::testing::Test {
 protected:
  void SetUp() override { Start(HeapPolicy{}, 0x30000000); }

  void Start(const HeapPolicy& policy, uint32_t heapLimit) {
    memory_ = std::make_unique<FakeMemory>();
    memory_->Map(kTeb, 2 * kPageSize, kRead | kWrite);
    memory_->Map(kImage, 4 * kPageSize, kRead | kExecute);
    memory_->Map(kData, 16 * kPageSize, kRead | kWrite);
    memory_->Map(kReadOnlyPage, kPageSize, kRead);
    SystemLayout layout;
    layout.heapLimit = heapLimit;
    layout.imageBase = kImage;
    layout.imageSize = 4 * kPageSize;
    layout.imageName = "zex_fmt.dll";
    layout.tebAddress = kTeb;
    system_ = std::make_unique<Win32System>(*memory_, layout, policy);
    dataTop_ = kData;
  }

  uint32_t Call(const char* dll, const char* name, std::vector<uint32_t> arguments) {
    const SystemFunction* function = system_->Find(dll, name);
    if (function == nullptr) {
      ADD_FAILURE() << dll << "!" << name << " is missing";
      return 0;
    }
    FakeCall call(*memory_, std::move(arguments));
    const uint32_t result = function->run(*system_, call);
    stopped_ = call.stopped;
    called_ = call.called;
    return result;
  }
  uint32_t Kernel32(const char* name, std::vector<uint32_t> arguments) {
    return Call("KERNEL32.dll", name, std::move(arguments));
  }
  uint32_t Crt(const char* name, std::vector<uint32_t> arguments) {
    return Call("msvcrt.dll", name, std::move(arguments));
  }
  uint32_t LastError() { return Kernel32("GetLastError", {}); }

  // Places bytes in the test's data pages and returns their address.
  uint32_t Put(const void* bytes, uint32_t size) {
    const uint32_t address = dataTop_;
    EXPECT_TRUE(memory_->Write(address, bytes, size));
    dataTop_ += (size + 15) / 16 * 16;
    return address;
  }
  uint32_t PutText(const std::string& text) {
    return Put(text.c_str(), static_cast<uint32_t>(text.size() + 1));
  }
  uint32_t PutU32(uint32_t value) { return Put(&value, 4); }
  uint32_t U32(uint32_t address) {
    uint32_t value = 0;
    EXPECT_TRUE(memory_->Read(address, &value, 4));
    return value;
  }
  uint64_t U64(uint32_t address) {
    uint64_t value = 0;
    EXPECT_TRUE(memory_->Read(address, &value, 8));
    return value;
  }
  std::string Bytes(uint32_t address, uint32_t size) {
    std::string bytes(size, '\0');
    EXPECT_TRUE(memory_->Read(address, bytes.data(), size));
    return bytes;
  }

  std::unique_ptr<FakeMemory> memory_;
  std::unique_ptr<Win32System> system_;
  std::string stopped_;
  std::vector<uint32_t> called_;
  uint32_t dataTop_ = kData;
};

// --- Files ---------------------------------------------------------------------------------

constexpr uint32_t kGenericRead = 0x80000000, kShareReadWrite = 3, kOpenExisting = 3,
                   kSequentialScan = 0x08000000;

class Win32FileTest : public Win32SystemTest {
 protected:
  void SetUp() override {
    Win32SystemTest::SetUp();
    folder_ =
        std::filesystem::temp_directory_path() / ("win32_system_test." + std::to_string(getpid()));
    std::filesystem::create_directories(folder_);
    for (int i = 0; i < 100; ++i) content_ += static_cast<char>(i);
    std::ofstream(folder_ / "hundred.bin", std::ios::binary) << content_;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  uint32_t Open(const std::string& path, uint32_t flags = kSequentialScan) {
    return Kernel32("CreateFileA",
                    {PutText(path), kGenericRead, kShareReadWrite, 0, kOpenExisting, flags, 0});
  }
  std::string Path(const char* name) const { return (folder_ / name).string(); }

  std::filesystem::path folder_;
  std::string content_;
};

TEST_F(Win32FileTest, CreateFileAOpensOnlyAsAReadOnlyCatalogueReaderMust) {
  const uint32_t handle = Open(Path("hundred.bin"), kSequentialScan | 0x80);
  EXPECT_TRUE(stopped_.empty()) << stopped_;
  EXPECT_NE(handle, kInvalidHandle);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(handle % 4, 0u);
  EXPECT_EQ(system_->OpenHandles(), 1u);

  const uint32_t name = PutText(Path("hundred.bin"));
  const struct {
    std::vector<uint32_t> arguments;
    const char* named;
  } wrong[] = {
      {{name, kGenericRead | 0x40000000, 3, 0, 3, kSequentialScan, 0}, "access"},
      {{name, kGenericRead, 1, 0, 3, kSequentialScan, 0}, "share mode"},
      {{name, kGenericRead, 3, kData, 3, kSequentialScan, 0}, "security"},
      {{name, kGenericRead, 3, 0, 4, kSequentialScan, 0}, "disposition"},
      {{name, kGenericRead, 3, 0, 3, 0x80, 0}, "flags"},
      {{name, kGenericRead, 3, 0, 3, kSequentialScan | 0x40000000, 0}, "flags"},
      {{name, kGenericRead, 3, 0, 3, kSequentialScan, kImage}, "template"},
  };
  for (const auto& call : wrong) {
    Kernel32("CreateFileA", call.arguments);
    EXPECT_NE(stopped_.find(call.named), std::string::npos) << stopped_;
  }
  EXPECT_EQ(system_->OpenHandles(), 1u);
}

TEST_F(Win32FileTest, CreateFileAFailsAsWindowsDoes) {
  EXPECT_EQ(Open(Path("missing.bin")), kInvalidHandle);
  EXPECT_EQ(LastError(), 2u);  // ERROR_FILE_NOT_FOUND
  EXPECT_EQ(Open(Path("no-folder/missing.bin")), kInvalidHandle);
  EXPECT_EQ(LastError(), 3u);  // ERROR_PATH_NOT_FOUND
  EXPECT_EQ(Open(Path("hundred.bin/inside")), kInvalidHandle);
  EXPECT_EQ(LastError(), 3u);
  EXPECT_EQ(Open(""), kInvalidHandle);
  EXPECT_EQ(LastError(), 3u);
  EXPECT_EQ(Open(folder_.string()), kInvalidHandle);
  EXPECT_EQ(LastError(), 5u);  // ERROR_ACCESS_DENIED for a directory
  if (geteuid() != 0) {
    std::ofstream(folder_ / "locked.bin") << "x";
    chmod(Path("locked.bin").c_str(), 0);
    EXPECT_EQ(Open(Path("locked.bin")), kInvalidHandle);
    EXPECT_EQ(LastError(), 5u);
  }
  EXPECT_EQ(system_->OpenHandles(), 0u);
  EXPECT_TRUE(stopped_.empty()) << stopped_;
}

TEST_F(Win32FileTest, HandlesCloseOnceAndAreNotReused) {
  const uint32_t first = Open(Path("hundred.bin"));
  const uint32_t second = Open(Path("hundred.bin"));
  EXPECT_NE(first, second);
  EXPECT_EQ(system_->OpenHandles(), 2u);
  EXPECT_EQ(Kernel32("CloseHandle", {first}), 1u);
  EXPECT_EQ(Kernel32("CloseHandle", {first}), 0u);
  EXPECT_EQ(LastError(), 6u);  // ERROR_INVALID_HANDLE
  EXPECT_EQ(Kernel32("CloseHandle", {kInvalidHandle}), 0u);
  const uint32_t third = Open(Path("hundred.bin"));
  EXPECT_NE(third, first);
  EXPECT_EQ(system_->OpenHandles(), 2u);
  const uint32_t readOut = PutU32(7);
  EXPECT_EQ(Kernel32("ReadFile", {first, kData + 0x8000, 4, readOut, 0}), 0u);
  EXPECT_EQ(LastError(), 6u);
  EXPECT_EQ(U32(readOut), 0u);
}

TEST_F(Win32FileTest, SetFilePointerTakesASignedDistanceWithoutHighHalf) {
  const uint32_t file = Open(Path("hundred.bin"));
  const auto seek = [&](int32_t distance, uint32_t method) {
    return Kernel32("SetFilePointer", {file, static_cast<uint32_t>(distance), 0, method});
  };
  EXPECT_EQ(seek(40, 0), 40u);
  EXPECT_EQ(seek(-10, 0), 0xFFFFFFFFu);  // FILE_BEGIN before the start
  EXPECT_EQ(LastError(), 131u);          // ERROR_NEGATIVE_SEEK
  EXPECT_EQ(seek(0, 1), 40u);            // ...and the position did not move
  EXPECT_EQ(seek(INT32_MIN, 1), 0xFFFFFFFFu);
  EXPECT_EQ(seek(-5, 1), 35u);
  EXPECT_EQ(seek(-10, 2), 90u);
  EXPECT_EQ(seek(-101, 2), 0xFFFFFFFFu);
  EXPECT_EQ(seek(1000, 2), 1100u);  // past the end is allowed
  EXPECT_EQ(seek(0, 3), 0xFFFFFFFFu);
  EXPECT_EQ(LastError(), 87u);

  // With a high half, 0xFFFFFFF6 is 4294967286 bytes, not -10.
  const uint32_t high = PutU32(0);
  EXPECT_EQ(Kernel32("SetFilePointer", {file, 0xFFFFFFF6, high, 0}), 0xFFFFFFF6u);
  EXPECT_EQ(U32(high), 0u);
  memory_->Write(high, "\xFF\xFF\xFF\xFF", 4);
  EXPECT_EQ(Kernel32("SetFilePointer", {file, 0xFFFFFFF6, high, 2}), 90u);
  EXPECT_EQ(U32(high), 0u);
}

TEST_F(Win32FileTest, ReadFileReadsShortAtTheEnd) {
  const uint32_t file = Open(Path("hundred.bin"));
  const uint32_t readOut = PutU32(0xAAAAAAAA);
  const uint32_t buffer = kData + 0x8000;
  memory_->Write(buffer, std::string(64, '#').data(), 64);
  Kernel32("SetFilePointer", {file, 90, 0, 0});
  EXPECT_EQ(Kernel32("ReadFile", {file, buffer, 64, readOut, 0}), 1u);
  EXPECT_EQ(U32(readOut), 10u);
  EXPECT_EQ(Bytes(buffer, 12), content_.substr(90) + "##");
  EXPECT_EQ(Kernel32("ReadFile", {file, buffer, 64, readOut, 0}), 1u);
  EXPECT_EQ(U32(readOut), 0u);
  Kernel32("SetFilePointer", {file, 500, 0, 0});
  EXPECT_EQ(Kernel32("ReadFile", {file, buffer, 64, readOut, 0}), 1u);
  EXPECT_EQ(U32(readOut), 0u);

  uint32_t high = 0xAAAAAAAA;
  const uint32_t highOut = Put(&high, 4);
  EXPECT_EQ(Kernel32("GetFileSize", {file, highOut}), 100u);
  EXPECT_EQ(U32(highOut), 0u);

  // A buffer that is not writable fails the call, as Windows does, and stops nothing.
  Kernel32("SetFilePointer", {file, 0, 0, 0});
  EXPECT_EQ(Kernel32("ReadFile", {file, kReadOnlyPage, 16, readOut, 0}), 0u);
  EXPECT_EQ(LastError(), 998u);  // ERROR_NOACCESS
  EXPECT_EQ(Kernel32("ReadFile", {file, kData + 16 * kPageSize - 8, 16, readOut, 0}), 0u);
  EXPECT_EQ(LastError(), 998u);
  EXPECT_TRUE(stopped_.empty()) << stopped_;

  Kernel32("ReadFile", {file, buffer, 4, readOut, kData});
  EXPECT_NE(stopped_.find("OVERLAPPED"), std::string::npos) << stopped_;
  Kernel32("ReadFile", {file, buffer, 4, 0x00600000, 0});
  EXPECT_NE(stopped_.find("0x00600000"), std::string::npos) << stopped_;
}

// --- Time ----------------------------------------------------------------------------------

uint16_t DosDate(int year, int month, int day) {
  return static_cast<uint16_t>((year - 1980) << 9 | month << 5 | day);
}
uint16_t DosTime(int hour, int minute, int second) {
  return static_cast<uint16_t>(hour << 11 | minute << 5 | second / 2);
}

// The FILETIME of a UTC calendar time, by the C library.
uint64_t FileTimeOf(int year, int month, int day, int hour, int minute, int second) {
  struct tm fields = {};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  return (static_cast<uint64_t>(timegm(&fields)) + 11644473600u) * 10000000u;
}

TEST_F(Win32SystemTest, DosDateTimeToFileTimeFollowsTheBitLayout) {
  const uint32_t out = PutU32(0);
  PutU32(0);
  const auto convert = [&](uint32_t date, uint32_t time) {
    return Kernel32("DosDateTimeToFileTime", {date, time, out});
  };
  EXPECT_EQ(convert(DosDate(1980, 1, 1), 0), 1u);
  EXPECT_EQ(U64(out), 0x01A8E79FE1D58000u);
  EXPECT_EQ(convert(DosDate(2107, 12, 31), DosTime(23, 59, 58)), 1u);
  EXPECT_EQ(U64(out), FileTimeOf(2107, 12, 31, 23, 59, 58));
  EXPECT_EQ(convert(DosDate(2000, 2, 29), DosTime(12, 0, 0)), 1u);
  EXPECT_EQ(U64(out), FileTimeOf(2000, 2, 29, 12, 0, 0));
  // A WORD argument's stack slot may carry junk in its high half.
  EXPECT_EQ(convert(0xABCD0000u | DosDate(1999, 12, 31), 0x12340000u | DosTime(1, 2, 4)), 1u);
  EXPECT_EQ(U64(out), FileTimeOf(1999, 12, 31, 1, 2, 4));

  // Every day of the range against the C library's calendar.
  for (int year = 1980; year <= 2107; ++year) {
    for (int month = 1; month <= 12; ++month) {
      for (int day = 1; day <= 31; ++day) {
        struct tm probe = {};
        probe.tm_year = year - 1900;
        probe.tm_mon = month - 1;
        probe.tm_mday = day;
        const time_t seconds = timegm(&probe);
        const bool exists = probe.tm_mday == day;
        ASSERT_EQ(convert(DosDate(year, month, day), DosTime(13, 14, 16)), exists ? 1u : 0u)
            << year << "-" << month << "-" << day;
        if (exists) {
          ASSERT_EQ(U64(out), (static_cast<uint64_t>(seconds) + 11644473600u + 47656u) * 10000000u);
        }
      }
    }
  }

  memory_->Write(out, "\x11\x11\x11\x11\x11\x11\x11\x11", 8);
  const uint32_t refused[][2] = {
      {DosDate(2100, 2, 29), 0},        {DosDate(2001, 2, 30), 0},       {DosDate(2001, 4, 31), 0},
      {DosDate(2001, 0, 1), 0},         {DosDate(2001, 13, 1), 0},       {DosDate(2001, 1, 0), 0},
      {DosDate(2001, 1, 1), 24u << 11}, {DosDate(2001, 1, 1), 60u << 5}, {DosDate(2001, 1, 1), 30},
  };
  for (const auto& [date, time] : refused) {
    EXPECT_EQ(convert(date, time), 0u) << std::hex << date << " " << time;
  }
  EXPECT_EQ(U64(out), 0x1111111111111111u);  // nothing written
}

class ZoneScope {
 public:
  explicit ZoneScope(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old, hadZone_ = true;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneScope() {
    if (hadZone_) {
      setenv("TZ", saved_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::string saved_;
  bool hadZone_ = false;
};

TEST_F(Win32SystemTest, LocalFileTimeToFileTimeSubtractsTheZonesOffset) {
  const uint64_t local = FileTimeOf(1994, 3, 12, 18, 45, 32);
  const uint32_t in = Put(&local, 8);
  const uint32_t out = PutU32(0);
  PutU32(0);
  {
    ZoneScope zone("UTC");
    EXPECT_EQ(Kernel32("LocalFileTimeToFileTime", {in, out}), 1u);
    EXPECT_EQ(U64(out), local);
  }
  {
    ZoneScope zone("Asia/Kolkata");
    EXPECT_EQ(Kernel32("LocalFileTimeToFileTime", {in, out}), 1u);
    EXPECT_EQ(U64(out), local - 19800ull * 10000000u);
  }
  Kernel32("LocalFileTimeToFileTime", {0x00600000, out});
  EXPECT_NE(stopped_.find("0x00600000"), std::string::npos) << stopped_;
}

// --- Code pages ----------------------------------------------------------------------------

TEST_F(Win32SystemTest, CharToOemAConvertsInPlaceAndApart) {
  const uint32_t text = PutText("Caf\xE9 \x80 \xC0 ok");
  EXPECT_EQ(Call("USER32.dll", "CharToOemA", {text, text}), 1u);
  EXPECT_EQ(Bytes(text, 13), std::string("Caf\x82 ? A ok\0", 13));
  const uint32_t source = PutText("\xC9t\xE9");
  const uint32_t destination = PutText("........");
  EXPECT_EQ(Call("USER32.dll", "CharToOemA", {source, destination}), 1u);
  EXPECT_EQ(Bytes(destination, 6), std::string("\x90t\x82\0..", 6));
  EXPECT_EQ(Bytes(source, 3), "\xC9t\xE9");
}

// Where a 1252 character exists in 437, the table must give exactly that byte; the C
// library's converters say which characters those are.
TEST(AnsiToOemTable, CharactersThat437HasMapExactly) {
  iconv_t toUnicode = iconv_open("UTF-32LE", "CP1252");
  iconv_t toOem = iconv_open("IBM437", "UTF-32LE");
  ASSERT_NE(toUnicode, reinterpret_cast<iconv_t>(-1));
  ASSERT_NE(toOem, reinterpret_cast<iconv_t>(-1));
  int exact = 0;
  for (int ansi = 0; ansi < 256; ++ansi) {
    char in = static_cast<char>(ansi), unicode[4], oem[4];
    char *inAt = &in, *unicodeAt = unicode, *oemAt = oem;
    size_t inLeft = 1, unicodeLeft = 4, oemLeft = 4;
    if (iconv(toUnicode, &inAt, &inLeft, &unicodeAt, &unicodeLeft) == static_cast<size_t>(-1)) {
      continue;  // one of the bytes 1252 leaves undefined
    }
    unicodeAt = unicode;
    unicodeLeft = 4;
    if (iconv(toOem, &unicodeAt, &unicodeLeft, &oemAt, &oemLeft) == static_cast<size_t>(-1)) {
      iconv(toOem, nullptr, nullptr, nullptr, nullptr);
      EXPECT_GE(ansi, 0x80) << "ASCII byte " << ansi << " has no 437 byte";
      continue;  // best fit territory
    }
    EXPECT_EQ(AnsiToOemByte(static_cast<uint8_t>(ansi)), static_cast<uint8_t>(oem[0]))
        << "1252 byte " << std::hex << ansi;
    ++exact;
  }
  EXPECT_GT(exact, 128 + 40);
  iconv_close(toUnicode);
  iconv_close(toOem);
  EXPECT_EQ(AnsiToOemByte(0x80), '?');  // € has no best fit in 437
  EXPECT_EQ(AnsiToOemByte(0xC0), 'A');  // À loses its accent
  EXPECT_EQ(AnsiToOemByte(0x8A), 'S');  // Š too
}

// --- The oracle against the modules' platform layer ----------------------------------------
//
// The emulated system's code page table and calendar are written apart from platform/'s, so
// that the DLLs, compared with the emulated system, cannot pass on a mistake both share. Here
// the two must agree: a change to either side that the other does not follow fails.

TEST(OracleAgainstPlatform, CodePageTablesAgreeOnEveryByte) {
  int differences = 0;
  for (unsigned ansi = 1; ansi < 256; ++ansi) {
    char text[2] = {static_cast<char>(ansi), '\0'};
    platform::CharToOem(text);
    const auto platforms = static_cast<uint8_t>(text[0]);
    const uint8_t emulated = AnsiToOemByte(static_cast<uint8_t>(ansi));
    if (emulated != platforms) {
      ADD_FAILURE() << "1252 byte " << std::hex << ansi << ": emulated " << unsigned{emulated}
                    << ", platform " << unsigned{platforms};
      ++differences;
    }
  }
  EXPECT_EQ(differences, 0);
  EXPECT_EQ(AnsiToOemByte(0), 0);  // the terminator; the platform's text ends there
}

// The sweep the Windows stage compares with the system's own DosDateTimeToFileTime: every
// date value at the first and last time of a day, and every time value on the first and last
// day a DOS date holds, a leap day and an ordinary day. That takes every year, every month
// and day field (0 and past the month's end included) and every time field at and past its
// limit.
TEST_F(Win32SystemTest, CalendarAgreesWithThePlatformsOnEveryStamp) {
  const SystemFunction* convert = system_->Find("KERNEL32.dll", "DosDateTimeToFileTime");
  ASSERT_NE(convert, nullptr);
  const uint32_t out = PutU32(0);
  PutU32(0);
  int compared = 0, refused = 0, differences = 0;
  const auto compare = [&](uint16_t date, uint16_t time) {
    FileTime platforms{};
    const bool platformConverted = platform::DosDateTimeToFileTime(date, time, &platforms);
    FakeCall call(*memory_, {date, time, out});
    const bool emulatedConverted = convert->run(*system_, call) != 0;
    const uint64_t expected = uint64_t{platforms.dwHighDateTime} << 32 | platforms.dwLowDateTime;
    ++compared;
    refused += platformConverted ? 0 : 1;
    if (emulatedConverted != platformConverted || (platformConverted && U64(out) != expected)) {
      if (++differences <= 10) {
        ADD_FAILURE() << std::hex << "date " << date << " time " << time << ": emulated "
                      << (emulatedConverted ? "converts" : "refuses") << " to " << U64(out)
                      << ", platform " << (platformConverted ? "converts" : "refuses") << " to "
                      << expected;
      }
    }
  };
  for (uint16_t time : {DosTime(0, 0, 0), DosTime(23, 59, 58)}) {
    for (uint32_t date = 0; date <= 0xFFFF; ++date) compare(static_cast<uint16_t>(date), time);
  }
  for (uint16_t date :
       {DosDate(1980, 1, 1), DosDate(2107, 12, 31), DosDate(2000, 2, 29), DosDate(2023, 7, 15)}) {
    for (uint32_t time = 0; time <= 0xFFFF; ++time) compare(date, static_cast<uint16_t>(time));
  }
  EXPECT_EQ(differences, 0);
  EXPECT_EQ(compared, 6 * 65536);
  // Both accept and both refuse, in good numbers: the sweep reaches both answers.
  EXPECT_GT(refused, 65536);
  EXPECT_LT(refused, compared - 65536);
}

TEST_F(Win32SystemTest, HeapBlocksAreAlignedUniqueAndCounted) {
  const uint32_t empty = Crt("malloc", {0});
  const uint32_t other = Crt("malloc", {0});
  EXPECT_NE(empty, 0u);
  EXPECT_NE(empty, other);
  system_->MarkHeapBaseline();
  const uint32_t block = Crt("malloc", {10});
  EXPECT_EQ(block % 8, 0u);
  EXPECT_EQ(system_->LiveHeapBlocks(), 3u);
  EXPECT_EQ(system_->LiveHeapBlocksSinceBaseline(), 1u);
  Crt("free", {empty});
  EXPECT_EQ(system_->LiveHeapBlocksSinceBaseline(), 1u);
  Crt("free", {block});
  EXPECT_EQ(system_->LiveHeapBlocksSinceBaseline(), 0u);
  Crt("free", {0});
  EXPECT_TRUE(stopped_.empty());

  const uint32_t zeroed = Crt("calloc", {3, 7});
  EXPECT_EQ(Bytes(zeroed, 21), std::string(21, '\0'));
  EXPECT_EQ(Crt("calloc", {0x10000, 0x10001}), 0u);  // count x size overflows 32 bits
  EXPECT_EQ(system_->CheckHeap(), "");
}

TEST_F(Win32SystemTest, ReallocKeepsTheContentAndFreesTheOldBlock) {
  const uint32_t block = Crt("malloc", {4});
  memory_->Write(block, "abcd", 4);
  const uint32_t grown = Crt("realloc", {block, 5000});
  EXPECT_EQ(Bytes(grown, 4), "abcd");
  Crt("free", {block});
  EXPECT_NE(stopped_.find("already freed"), std::string::npos) << stopped_;
  EXPECT_EQ(Crt("realloc", {grown, 0}), 0u);  // msvcrt: frees, returns NULL
  EXPECT_EQ(system_->LiveHeapBlocks(), 0u);
  const uint32_t fresh = Crt("realloc", {0, 8});
  EXPECT_NE(fresh, 0u);
  Crt("realloc", {fresh + 4, 8});
  EXPECT_NE(stopped_.find("not a live heap block"), std::string::npos) << stopped_;
}

TEST_F(Win32SystemTest, HeapRefusesAsThePolicySays) {
  HeapPolicy policy;
  policy.refuseAbove = 1000;
  policy.refuseAfter = 3;
  Start(policy, 0x30000000);
  EXPECT_EQ(Crt("malloc", {1001}), 0u);
  EXPECT_EQ(Crt("calloc", {2, 501}), 0u);
  const uint32_t block = Crt("malloc", {1000});
  memory_->Write(block, "kept", 4);
  EXPECT_EQ(Crt("realloc", {block, 1001}), 0u);
  EXPECT_EQ(Bytes(block, 4), "kept");  // a refused realloc leaves the old block
  const uint32_t second = Crt("realloc", {block, 20});
  EXPECT_NE(second, 0u);
  EXPECT_NE(Crt("calloc", {1, 1}), 0u);
  EXPECT_EQ(Crt("malloc", {1}), 0u);  // the fourth success is refused
  EXPECT_EQ(Crt("realloc", {second, 10}), 0u);
  EXPECT_EQ(Bytes(second, 4), "kept");
  EXPECT_EQ(system_->LiveHeapBlocks(), 2u);

  // A new policy counts its successes afresh; refuseSize takes away one size alone.
  policy = HeapPolicy{};
  policy.refuseSize = 4096;
  policy.refuseAfter = 2;
  system_->SetHeapPolicy(policy);
  EXPECT_EQ(Crt("malloc", {4096}), 0u);
  EXPECT_EQ(Crt("calloc", {2, 2048}), 0u);
  EXPECT_NE(Crt("malloc", {4095}), 0u);
  EXPECT_NE(Crt("malloc", {4097}), 0u);
  EXPECT_EQ(Crt("malloc", {1}), 0u);
  EXPECT_TRUE(stopped_.empty()) << stopped_;
}

TEST_F(Win32SystemTest, GuardZoneDamageIsFound) {
  const uint32_t past = Crt("malloc", {13});
  const uint32_t before = Crt("malloc", {32});
  memory_->Write(past + 13, "!", 1);  // one byte past the requested size
  memory_->Write(before - 1, "!", 1);
  const std::string report = system_->CheckHeap();
  EXPECT_NE(report.find(Hex(past) + " (13 bytes) was written past its end, at offset 13"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find(Hex(before) + " (32 bytes) was written before its start, at offset -1"),
            std::string::npos)
      << report;
  Crt("free", {past});
  EXPECT_NE(stopped_.find("past its end"), std::string::npos) << stopped_;
  Crt("realloc", {before, 64});
  EXPECT_NE(stopped_.find("before its start"), std::string::npos) << stopped_;
}

TEST_F(Win32SystemTest, FreedMemoryWaitsBeforeReuseAndIsWatched) {
  // A 2 MB heap: churning 40 MB through it needs reuse, which must never hand out a block
  // that overlaps a live one.
  Start(HeapPolicy{}, 0x20000000 + 2 * 1024 * 1024);
  const uint32_t keep = Crt("malloc", {100});
  memory_->Write(keep, "live", 4);
  uint32_t previous = 0;
  for (int i = 0; i < 400; ++i) {
    const uint32_t block = Crt("malloc", {100 * 1024});
    ASSERT_NE(block, 0u) << i;
    ASSERT_NE(block, previous);
    ASSERT_TRUE(block + 100 * 1024 <= keep || block >= keep + 100);
    Crt("free", {block});
    ASSERT_TRUE(stopped_.empty()) << stopped_;
    previous = block;
  }
  EXPECT_EQ(Bytes(keep, 4), "live");
  EXPECT_EQ(Crt("malloc", {4 * 1024 * 1024}), 0u);  // larger than the heap: NULL

  // A large freed block's pages become inaccessible...
  const uint32_t large = Crt("malloc", {256 * 1024});
  Crt("free", {large});
  uint32_t protection = 7;
  EXPECT_TRUE(memory_->QueryPage(large + 64 * 1024, &protection));
  EXPECT_EQ(protection, 0u);
  // ...and a write into a small freed block is found when it leaves quarantine.
  const uint32_t small = Crt("malloc", {64});
  Crt("free", {small});
  memory_->Write(small + 8, "x", 1);
  for (int i = 0; i < 100 && stopped_.empty(); ++i) {
    const uint32_t block = Crt("malloc", {512 * 1024});
    if (stopped_.empty()) Crt("free", {block});
  }
  EXPECT_NE(stopped_.find(Hex(small) + " was written after it was freed, at offset 8"),
            std::string::npos)
      << stopped_;
}

// --- Runtime support -----------------------------------------------------------------------

TEST_F(Win32SystemTest, CriticalSectionsMustBalance) {
  const uint32_t section = Put(std::string(24, '\xEE').data(), 24);
  Kernel32("EnterCriticalSection", {section});
  EXPECT_NE(stopped_.find("not an initialized critical section"), std::string::npos);
  Kernel32("InitializeCriticalSection", {section});
  Kernel32("EnterCriticalSection", {section});
  Kernel32("EnterCriticalSection", {section});
  EXPECT_EQ(U32(section + 8), 2u);  // RecursionCount, for code that looks
  Kernel32("DeleteCriticalSection", {section});
  EXPECT_NE(stopped_.find("still entered"), std::string::npos) << stopped_;
  Kernel32("LeaveCriticalSection", {section});
  Kernel32("LeaveCriticalSection", {section});
  EXPECT_TRUE(stopped_.empty()) << stopped_;
  Kernel32("LeaveCriticalSection", {section});
  EXPECT_NE(stopped_.find("not entered"), std::string::npos) << stopped_;
  Kernel32("DeleteCriticalSection", {section});
  EXPECT_TRUE(stopped_.empty()) << stopped_;
}

TEST_F(Win32SystemTest, TlsAndLastErrorLiveInTheThreadBlock) {
  memory_->Write(kTeb + kTebTlsSlotsField + 4 * 5, "\x78\x56\x34\x12", 4);
  const uint32_t stored = 1234;
  memory_->Write(kTeb + kTebLastErrorField, &stored, 4);
  EXPECT_EQ(LastError(), 1234u);
  EXPECT_EQ(Kernel32("TlsGetValue", {5}), 0x12345678u);
  EXPECT_EQ(LastError(), 0u);
  EXPECT_EQ(Kernel32("TlsGetValue", {64}), 0u);
  EXPECT_EQ(LastError(), 87u);
}

TEST_F(Win32SystemTest, VirtualQueryAndProtectSpeakWindowsProtections) {
  uint8_t info[28];
  const uint32_t out = Put(std::string(28, '\0').data(), 28);
  EXPECT_EQ(Kernel32("VirtualQuery", {kImage + 0x1234, out, 28}), 28u);
  memory_->Read(out, info, 28);
  uint32_t fields[7];
  std::memcpy(fields, info, 28);
  EXPECT_EQ(fields[0], kImage + 0x1000);  // BaseAddress
  EXPECT_EQ(fields[1], kImage);           // AllocationBase
  EXPECT_EQ(fields[3], 3 * kPageSize);    // RegionSize: to the image's end
  EXPECT_EQ(fields[4], 0x1000u);          // MEM_COMMIT
  EXPECT_EQ(fields[5], 0x20u);            // PAGE_EXECUTE_READ
  EXPECT_EQ(fields[6], 0x1000000u);       // MEM_IMAGE
  EXPECT_EQ(Kernel32("VirtualQuery", {kImage, out, 27}), 0u);
  EXPECT_EQ(LastError(), 24u);

  // The runtime's pseudo-relocation step: make a page writable, then put it back.
  const uint32_t old = PutU32(0);
  EXPECT_EQ(Kernel32("VirtualProtect", {kImage + 0x1010, 0x10, 0x40, old}), 1u);
  EXPECT_EQ(U32(old), 0x20u);
  uint32_t protection = 0;
  memory_->QueryPage(kImage + 0x1000, &protection);
  EXPECT_EQ(protection, kRead | kWrite | kExecute);
  memory_->QueryPage(kImage + 0x2000, &protection);
  EXPECT_EQ(protection, kRead | kExecute);  // the neighbour is untouched
  EXPECT_EQ(Kernel32("VirtualProtect", {kImage + 0x1010, 0x10, 0x20, old}), 1u);
  EXPECT_EQ(U32(old), 0x40u);
  EXPECT_EQ(Kernel32("VirtualProtect", {0x00600000, 0x10, 0x04, old}), 0u);
  EXPECT_EQ(LastError(), 487u);  // ERROR_INVALID_ADDRESS
}

TEST_F(Win32SystemTest, OnlyTheImageIsALoadedModule) {
  EXPECT_EQ(Kernel32("GetModuleHandleA", {0}), kImage);
  EXPECT_EQ(Kernel32("GetModuleHandleA", {PutText("ZEX_FMT.DLL")}), kImage);
  EXPECT_EQ(Kernel32("GetModuleHandleA", {PutText("zex_fmt")}), kImage);
  EXPECT_EQ(Kernel32("GetModuleHandleA", {PutText("libgcc_s_dw2-1.dll")}), 0u);
  EXPECT_EQ(LastError(), 126u);
  EXPECT_EQ(Kernel32("LoadLibraryA", {PutText("libgcc_s_dw2-1.dll")}), 0u);
  EXPECT_EQ(Kernel32("GetProcAddress", {kImage, PutText("x")}), 0u);
  EXPECT_EQ(LastError(), 127u);
}

TEST_F(Win32SystemTest, InittermCallsEachFunctionInOrder) {
  const uint32_t table[] = {0x10001000, 0, 0x10002000};
  const uint32_t begin = Put(table, sizeof table);
  Crt("_initterm", {begin, begin + static_cast<uint32_t>(sizeof table)});
  EXPECT_EQ(called_, (std::vector<uint32_t>{0x10001000, 0x10002000}));
}

TEST_F(Win32SystemTest, TheRuntimesReportEndsTheRun) {
  const uint32_t iob = system_->FindData("MSVCRT.DLL", "_iob");
  ASSERT_NE(iob, 0u);
  const uint32_t stderrStream = iob + 2 * 32;
  const std::string heading = "Mingw-w64 runtime failure:\n";
  Crt("fwrite", {PutText(heading), 1, static_cast<uint32_t>(heading.size()), stderrStream});
  EXPECT_TRUE(stopped_.empty());
  const uint32_t arguments[] = {PutText("relocation"), 0xFFFFFFFD, 0x00401A2C, 255};
  Crt("vfprintf",
      {stderrStream, PutText("  Unknown %s type %d at %p (%#x)\n"), Put(arguments, 16)});
  EXPECT_EQ(stopped_, "the DLL's runtime reported: " + heading +
                          "  Unknown relocation type -3 at 00401A2C (0xff)\n");
  Crt("fwrite", {PutText("x"), 1, 1, iob});  // stdin
  EXPECT_NE(stopped_.find("not stdout or stderr"), std::string::npos);
  Crt("abort", {});
  EXPECT_NE(stopped_.find("abort"), std::string::npos);
}

// --- Memory and strings --------------------------------------------------------------------

TEST_F(Win32SystemTest, StringFunctionsStayInsideWhatTheyMayRead) {
  // An unterminated text that ends exactly at the end of the mapped pages.
  const uint32_t edge = kData + 16 * kPageSize - 4;
  memory_->Write(edge, "abcd", 4);
  const uint32_t other = PutText("abcz");
  EXPECT_EQ(static_cast<int32_t>(Crt("strncmp", {edge, other, 3})), 0);
  EXPECT_LT(static_cast<int32_t>(Crt("strncmp", {edge, other, 4})), 0);
  EXPECT_TRUE(stopped_.empty()) << stopped_;
  Crt("strlen", {edge});
  EXPECT_NE(stopped_.find("strlen"), std::string::npos);
  // Bytes compare as unsigned char.
  EXPECT_GT(static_cast<int32_t>(Crt("strncmp", {PutText("\xE9"), PutText("z"), 2})), 0);

  // msvcrt's memcpy copies overlapping ranges as memmove does.
  const uint32_t overlap = PutText("0123456789");
  Crt("memcpy", {overlap + 2, overlap, 6});
  EXPECT_EQ(Bytes(overlap, 10), "0101234589");
  Crt("memcpy", {overlap, 0x00600000, 4});
  EXPECT_NE(stopped_.find("unmapped"), std::string::npos);
}

// What the shipped DLLs import (their import tables; emulator_test compares with the built
// DLLs), with the argument counts Windows declares for the __stdcall functions.
TEST_F(Win32SystemTest, ExactlyTheImportsOfBothDllsAreProvided) {
  const std::pair<const char*, uint32_t> kernel32[] = {
      {"CloseHandle", 1},
      {"CreateFileA", 7},
      {"DeleteCriticalSection", 1},
      {"DosDateTimeToFileTime", 3},
      {"EnterCriticalSection", 1},
      {"FreeLibrary", 1},
      {"GetFileSize", 2},
      {"GetLastError", 0},
      {"GetModuleHandleA", 1},
      {"GetProcAddress", 2},
      {"InitializeCriticalSection", 1},
      {"LeaveCriticalSection", 1},
      {"LoadLibraryA", 1},
      {"LocalFileTimeToFileTime", 2},
      {"ReadFile", 5},
      {"SetFilePointer", 4},
      {"Sleep", 1},
      {"TlsGetValue", 1},
      {"VirtualProtect", 4},
      {"VirtualQuery", 3},
  };
  for (const auto& [name, arguments] : kernel32) {
    const SystemFunction* function = system_->Find("KERNEL32.dll", name);
    ASSERT_NE(function, nullptr) << name;
    EXPECT_EQ(function->argumentBytes, 4 * arguments) << name;
  }
  ASSERT_NE(system_->Find("user32.DLL", "CharToOemA"), nullptr);
  EXPECT_EQ(system_->Find("USER32.dll", "CharToOemA")->argumentBytes, 8u);
  const char* const msvcrt[] = {"_amsg_exit", "_initterm", "_lock",  "_unlock", "abort",
                                "calloc",     "free",      "fwrite", "malloc",  "memcpy",
                                "realloc",    "strcpy",    "strlen", "strncmp", "vfprintf"};
  for (const char* name : msvcrt) {
    const SystemFunction* function = system_->Find("msvcrt.dll", name);
    ASSERT_NE(function, nullptr) << name;
    EXPECT_EQ(function->argumentBytes, 0u) << name;
  }
  EXPECT_EQ(system_->Find("KERNEL32.dll", "createfilea"), nullptr);  // names keep their case

  // Nothing else: a function no DLL imports is not kept.
  std::set<std::string> imported{"msvcrt.dll!_iob", "user32.dll!CharToOemA"};
  for (const auto& [name, arguments] : kernel32)
    imported.insert(std::string("kernel32.dll!") + name);
  for (const char* name : msvcrt) imported.insert(std::string("msvcrt.dll!") + name);
  EXPECT_EQ(Win32System::ProvidedNames(), imported);
}

}  // namespace
}  // namespace emulator
