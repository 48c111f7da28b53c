#include "tools/writer/bytes.h"

#include <stdexcept>

#include "tools/writer/replacement_file.h"

namespace catwriter {
namespace {

void CheckRange(size_t size, size_t offset, size_t width) {
  // Written as a subtraction so that a huge offset cannot wrap the sum.
  if (width > size || offset > size - width) {
    throw std::out_of_range("field of " + std::to_string(width) + " bytes at offset " +
                            std::to_string(offset) + " lies outside an image of " +
                            std::to_string(size) + " bytes");
  }
}

}  // namespace

void PutU16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
  CheckRange(bytes.size(), offset, 2);
  bytes[offset] = static_cast<uint8_t>(value & 0xFF);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  CheckRange(bytes.size(), offset, 4);
  for (size_t i = 0; i < 4; ++i) {
    bytes[offset + i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
  }
}

uint16_t GetU16(const std::vector<uint8_t>& bytes, size_t offset) {
  CheckRange(bytes.size(), offset, 2);
  return static_cast<uint16_t>(bytes[offset] | static_cast<uint16_t>(bytes[offset + 1]) << 8);
}

uint32_t GetU32(const std::vector<uint8_t>& bytes, size_t offset) {
  CheckRange(bytes.size(), offset, 4);
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) {
    value |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
  }
  return value;
}

void PutText(std::vector<uint8_t>& bytes, size_t offset, const std::string& text, size_t width,
             uint8_t pad) {
  if (text.size() > width) {
    throw std::length_error("text of " + std::to_string(text.size()) +
                            " bytes does not fit a field of " + std::to_string(width));
  }
  CheckRange(bytes.size(), offset, width);
  for (size_t i = 0; i < width; ++i) {
    bytes[offset + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : pad;
  }
}

DosStamp MakeDosStamp(int year, int month, int day, int hour, int minute, int second) {
  if (year < 1980 || year > 2107 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
    throw std::invalid_argument("date or time outside what a DOS stamp holds");
  }
  DosStamp stamp;
  stamp.date = static_cast<uint16_t>((year - 1980) << 9 | month << 5 | day);
  stamp.time = static_cast<uint16_t>(hour << 11 | minute << 5 | second / 2);
  return stamp;
}

DosStamp ClampedDosStamp(int year, int month, int day, int hour, int minute, int second,
                         bool* clamped) {
  if (clamped != nullptr) *clamped = year < 1980 || year > 2107;
  if (year < 1980) return MakeDosStamp(1980, 1, 1, 0, 0, 0);
  if (year > 2107) return MakeDosStamp(2107, 12, 31, 23, 59, 58);
  // A leap second (60) from the C library still belongs to the same minute.
  return MakeDosStamp(year, month, day, hour, minute, second > 59 ? 59 : second);
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
  std::string reason;
  ReplacementFile file;
  const bool written = file.Open(path, &reason) && file.Commit(bytes, &reason);
  if (!written && error != nullptr) *error = reason;
  return written;
}

}  // namespace catwriter
