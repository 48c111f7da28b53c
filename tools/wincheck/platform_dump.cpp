// platform_dump: writes what a platform layer answers for every byte's ANSI-to-OEM conversion
// and for a sweep of DOS stamps, and compares two such dumps.
//
//   platform_dump layer OUT         our platform layer (POSIX or Windows, as built)
//   platform_dump system OUT        Windows only: CharToOemA and DosDateTimeToFileTime
//   platform_dump compare OURS THEIRS [--allow-feb29]
//
// A dump is text, one value a line:
//   codepages ANSI OEM             the code pages behind the conversion
//   oem BB CC                      byte BB converts to CC (hex)
//   stamp DDDD TTTT VALUE          DOS date and time (hex) and the FILETIME (hex), or "refused"
//
// The stamp sweep: every one of the 65536 date values at the first and last time of a day, and
// every one of the 65536 time values on the first and last day a DOS date holds, on a leap
// day and on an ordinary day. Together these take every year 1980..2107, every month and day
// field (0 and past the month's end included) and every hour, minute and second field at and
// past its limit.
//
// compare exits 0 when THEIRS agrees with OURS on every line. With --allow-feb29 a stamp on
// 29 February of a year that is not a leap year, which OURS refuses and THEIRS converts, is
// allowed and counted; nothing else is.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "modules/platform/dos_time.h"
#include "modules/platform/platform.h"

#if defined(_WIN32)
#include <windows.h>
#undef CharToOem  // windows.h names CharToOemA so, which would rename our layer's call
#endif

namespace {

constexpr uint16_t Date(int year, unsigned month, unsigned day) {
  return static_cast<uint16_t>((year - 1980) << 9 | month << 5 | day);
}
constexpr uint16_t Time(unsigned hours, unsigned minutes, unsigned seconds) {
  return static_cast<uint16_t>(hours << 11 | minutes << 5 | seconds / 2);
}

constexpr uint16_t kSweepTimes[] = {Time(0, 0, 0), Time(23, 59, 58)};
constexpr uint16_t kSweepDates[] = {Date(1980, 1, 1), Date(2107, 12, 31), Date(2000, 2, 29),
                                    Date(2023, 7, 15)};

struct Codepages {
  unsigned ansi;
  unsigned oem;
};

using OemFn = uint8_t (*)(uint8_t);
using StampFn = bool (*)(uint16_t, uint16_t, uint64_t*);

uint8_t LayerOem(uint8_t byte) {
  char text[2] = {static_cast<char>(byte), '\0'};
  platform::CharToOem(text);
  return static_cast<uint8_t>(text[0]);
}

bool LayerStamp(uint16_t date, uint16_t time, uint64_t* value) {
  FileTime converted;
  if (!platform::DosDateTimeToFileTime(date, time, &converted)) return false;
  *value = static_cast<uint64_t>(converted.dwHighDateTime) << 32 | converted.dwLowDateTime;
  return true;
}

#if defined(_WIN32)
uint8_t SystemOem(uint8_t byte) {
  char text[2] = {static_cast<char>(byte), '\0'};
  ::CharToOemA(text, text);
  return static_cast<uint8_t>(text[0]);
}

bool SystemStamp(uint16_t date, uint16_t time, uint64_t* value) {
  FILETIME converted;
  if (!::DosDateTimeToFileTime(date, time, &converted)) return false;
  *value = static_cast<uint64_t>(converted.dwHighDateTime) << 32 | converted.dwLowDateTime;
  return true;
}

Codepages SystemCodepages() {
  return {::GetACP(), ::GetOEMCP()};
}
#endif

Codepages LayerCodepages() {
#if defined(_WIN32)
  return SystemCodepages();
#else
  return {1252, 437};  // the tables behind the POSIX layer's conversion
#endif
}

void WriteStamp(FILE* out, StampFn convert, uint16_t date, uint16_t time) {
  uint64_t value;
  if (convert(date, time, &value)) {
    std::fprintf(out, "stamp %04X %04X %016" PRIX64 "\n", date, time, value);
  } else {
    std::fprintf(out, "stamp %04X %04X refused\n", date, time);
  }
}

int Dump(const char* path, Codepages codepages, OemFn oem, StampFn stamp) {
  FILE* out = std::fopen(path, "wb");
  if (out == nullptr) {
    std::perror(path);
    return 1;
  }
  std::fprintf(out, "codepages %u %u\n", codepages.ansi, codepages.oem);
  for (unsigned byte = 0; byte < 256; ++byte) {
    std::fprintf(out, "oem %02X %02X\n", byte, oem(static_cast<uint8_t>(byte)));
  }
  for (uint16_t time : kSweepTimes) {
    for (uint32_t date = 0; date <= 0xFFFF; ++date) {
      WriteStamp(out, stamp, static_cast<uint16_t>(date), time);
    }
  }
  for (uint16_t date : kSweepDates) {
    for (uint32_t time = 0; time <= 0xFFFF; ++time) {
      WriteStamp(out, stamp, date, static_cast<uint16_t>(time));
    }
  }
  if (std::fclose(out) != 0) {
    std::perror(path);
    return 1;
  }
  return 0;
}

bool ReadLines(const char* path, std::vector<std::string>* lines) {
  FILE* in = std::fopen(path, "rb");
  if (in == nullptr) {
    std::perror(path);
    return false;
  }
  std::string line;
  int c;
  while ((c = std::fgetc(in)) != EOF) {
    if (c == '\n') {
      lines->push_back(line);
      line.clear();
    } else {
      line.push_back(static_cast<char>(c));
    }
  }
  std::fclose(in);
  if (!line.empty()) lines->push_back(line);
  return true;
}

// 29 February of a year that is not a leap year, at a time of day within range.
bool IsFeb29OfCommonYear(uint16_t date, uint16_t time) {
  const int year = 1980 + (date >> 9);
  const bool timeValid = (time >> 11) <= 23 && ((time >> 5) & 0x3F) <= 59 && (time & 0x1F) <= 29;
  return ((date >> 5) & 0x0F) == 2 && (date & 0x1F) == 29 && !dos_time::IsLeapYear(year) &&
         timeValid;
}

int Compare(const char* oursPath, const char* theirsPath, bool allowFeb29) {
  std::vector<std::string> ours;
  std::vector<std::string> theirs;
  if (!ReadLines(oursPath, &ours) || !ReadLines(theirsPath, &theirs)) return 1;
  if (ours.size() != theirs.size()) {
    std::fprintf(stderr, "compare: %zu lines in %s, %zu in %s\n", ours.size(), oursPath,
                 theirs.size(), theirsPath);
    return 1;
  }
  unsigned long oemBytes = 0;
  unsigned long stamps = 0;
  unsigned long refused = 0;
  unsigned long feb29 = 0;
  unsigned long mismatches = 0;
  for (size_t i = 0; i < ours.size(); ++i) {
    const std::string& a = ours[i];
    const std::string& b = theirs[i];
    if (a.rfind("codepages ", 0) == 0) {
      if (a != "codepages 1252 437" || b != a) {
        std::fprintf(stderr, "compare: expected code pages 1252 437: ours \"%s\", theirs \"%s\"\n",
                     a.c_str(), b.c_str());
        ++mismatches;
      }
      continue;
    }
    const bool isStamp = a.rfind("stamp ", 0) == 0;
    if (isStamp) {
      ++stamps;
      if (a.size() > 16 && a.compare(16, std::string::npos, "refused") == 0) ++refused;
    } else {
      ++oemBytes;
    }
    if (a == b) continue;
    unsigned date = 0;
    unsigned time = 0;
    if (allowFeb29 && isStamp && std::sscanf(a.c_str(), "stamp %4X %4X", &date, &time) == 2 &&
        b.compare(0, 16, a, 0, 16) == 0 && a.compare(16, std::string::npos, "refused") == 0 &&
        b.compare(16, std::string::npos, "refused") != 0 &&
        IsFeb29OfCommonYear(static_cast<uint16_t>(date), static_cast<uint16_t>(time))) {
      ++feb29;
      continue;
    }
    if (++mismatches <= 20) {
      std::fprintf(stderr, "compare: ours \"%s\", theirs \"%s\"\n", a.c_str(), b.c_str());
    }
  }
  std::printf(
      "compare %s with %s: %lu charset bytes, %lu stamps (%lu refused by ours), "
      "%lu Feb-29 exceptions, %lu mismatches\n",
      oursPath, theirsPath, oemBytes, stamps, refused, feb29, mismatches);
  return mismatches == 0 && oemBytes == 256 && stamps > 0 ? 0 : 1;
}

int Usage() {
  std::fprintf(stderr,
               "usage: platform_dump layer OUT\n"
               "       platform_dump system OUT   (Windows)\n"
               "       platform_dump compare OURS THEIRS [--allow-feb29]\n");
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "layer") == 0) {
    return Dump(argv[2], LayerCodepages(), LayerOem, LayerStamp);
  }
#if defined(_WIN32)
  if (argc == 3 && std::strcmp(argv[1], "system") == 0) {
    return Dump(argv[2], SystemCodepages(), SystemOem, SystemStamp);
  }
#endif
  if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "compare") == 0) {
    const bool allowFeb29 = argc == 5 && std::strcmp(argv[4], "--allow-feb29") == 0;
    if (argc == 5 && !allowFeb29) return Usage();
    return Compare(argv[2], argv[3], allowFeb29);
  }
  return Usage();
}
