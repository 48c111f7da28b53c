// Byte-level helpers shared by the catalogue writers: little-endian stores at fixed offsets,
// DOS date and time packing, and writing a finished image to disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace catwriter {

// Stores `value` little-endian at `offset`. The buffer never grows: an offset whose field
// would run past the end throws std::out_of_range, so a miscomputed layout fails loudly.
void PutU16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value);
void PutU32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);

// Little-endian loads with the same range rule, for tests and tools that inspect an image.
uint16_t GetU16(const std::vector<uint8_t>& bytes, size_t offset);
uint32_t GetU32(const std::vector<uint8_t>& bytes, size_t offset);

// Copies `text` to `offset`, padding the rest of a `width`-byte field with `pad`. Throws
// std::out_of_range when the field leaves the buffer and std::length_error when the text is
// wider than the field.
void PutText(std::vector<uint8_t>& bytes, size_t offset, const std::string& text, size_t width,
             uint8_t pad);

// A DOS date and time in the file allocation table packing:
//   time: hours << 11 | minutes << 5 | seconds / 2
//   date: (year - 1980) << 9 | month << 5 | day
struct DosStamp {
  uint16_t date = 0;
  uint16_t time = 0;
};

inline bool operator==(const DosStamp& a, const DosStamp& b) {
  return a.date == b.date && a.time == b.time;
}

// Packs the given calendar fields; odd seconds round down. Throws std::invalid_argument for a
// field outside what the packing holds (years 1980 to 2107, months 1-12, days 1-31, ...).
DosStamp MakeDosStamp(int year, int month, int day, int hour, int minute, int second);

// Like MakeDosStamp, but a moment before 1980 becomes 1980-01-01 00:00:00 and one after 2107
// becomes 2107-12-31 23:59:58, the ends of the range a DOS stamp can hold. `clamped`, when
// given, tells whether that happened.
DosStamp ClampedDosStamp(int year, int month, int day, int hour, int minute, int second,
                         bool* clamped = nullptr);

// Writes `bytes` to `path`, replacing what is there whole or not at all (ReplacementFile).
// On failure returns false and sets `error` to "<path>: <reason>".
bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);

}  // namespace catwriter
