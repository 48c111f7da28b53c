#include "tools/hosts/cathost32/guest_memory.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace emulator {
namespace {

// Bulk operations go through a bounded host buffer so that a huge size from the DLL never
// makes the host allocate it; the copy fails at the first unmapped chunk instead.
constexpr uint32_t kChunk = 64 * 1024;

bool RangeFits(uint32_t address, uint32_t size) {
  return uint64_t{address} + size <= uint64_t{1} << 32;
}

}  // namespace

bool ReadU32(const Memory& memory, uint32_t address, uint32_t* value) {
  uint8_t bytes[4];
  if (!RangeFits(address, 4) || !memory.Read(address, bytes, 4)) return false;
  *value = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
  return true;
}

bool WriteU32(Memory& memory, uint32_t address, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return RangeFits(address, 4) && memory.Write(address, bytes, 4);
}

bool ReadU64(const Memory& memory, uint32_t address, uint64_t* value) {
  uint32_t low = 0, high = 0;
  if (!RangeFits(address, 8) || !ReadU32(memory, address, &low) ||
      !ReadU32(memory, address + 4, &high)) {
    return false;
  }
  *value = uint64_t{high} << 32 | low;
  return true;
}

bool WriteU64(Memory& memory, uint32_t address, uint64_t value) {
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return RangeFits(address, 8) && memory.Write(address, bytes, 8);
}

bool ReadCString(const Memory& memory, uint32_t address, std::string* text, uint32_t limit) {
  // Small steps that never cross a page boundary: a short string costs one short read, and
  // a string that ends just before an unmapped page is read without touching it.
  constexpr uint32_t kStep = 256;
  text->clear();
  uint64_t at = address;
  std::array<char, kStep> chunk;
  while (text->size() < limit) {
    if (at >= uint64_t{1} << 32) return false;
    const uint32_t toPageEnd = kPageSize - static_cast<uint32_t>(at % kPageSize);
    const uint32_t step = static_cast<uint32_t>(
        std::min<uint64_t>({kStep, toPageEnd, uint64_t{limit} - text->size()}));
    if (!memory.Read(static_cast<uint32_t>(at), chunk.data(), step)) return false;
    const char* end = static_cast<const char*>(std::memchr(chunk.data(), 0, step));
    if (end != nullptr) {
      text->append(chunk.data(), static_cast<size_t>(end - chunk.data()));
      return true;
    }
    text->append(chunk.data(), step);
    at += step;
  }
  return true;
}

bool FillBytes(Memory& memory, uint32_t address, uint8_t byte, uint32_t size) {
  if (!RangeFits(address, size)) return false;
  std::array<uint8_t, kChunk> chunk;
  chunk.fill(byte);
  for (uint32_t done = 0; done < size;) {
    const uint32_t step = std::min(kChunk, size - done);
    if (!memory.Write(address + done, chunk.data(), step)) return false;
    done += step;
  }
  return true;
}

bool MoveBytes(Memory& memory, uint32_t destination, uint32_t source, uint32_t size) {
  if (!RangeFits(destination, size) || !RangeFits(source, size)) return false;
  std::array<uint8_t, kChunk> chunk;
  // Copying backwards when the destination overlaps the source's tail keeps every source
  // byte unread-over until it has been copied.
  const bool backwards = destination > source && destination - source < size;
  for (uint32_t done = 0; done < size;) {
    const uint32_t step = std::min(kChunk, size - done);
    const uint32_t offset = backwards ? size - done - step : done;
    if (!memory.Read(source + offset, chunk.data(), step) ||
        !memory.Write(destination + offset, chunk.data(), step)) {
      return false;
    }
    done += step;
  }
  return true;
}

bool RangeHasProtection(const Memory& memory, uint32_t address, uint32_t size,
                        uint32_t protection) {
  if (!RangeFits(address, size)) return false;
  if (size == 0) return true;
  const uint64_t last = uint64_t{address} + size - 1;
  for (uint64_t page = address - address % kPageSize; page <= last; page += kPageSize) {
    uint32_t have = 0;
    if (!memory.QueryPage(static_cast<uint32_t>(page), &have) ||
        (have & protection) != protection) {
      return false;
    }
  }
  return true;
}

std::string Hex(uint32_t value, int minimumDigits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", minimumDigits, value);
  return text;
}

}  // namespace emulator
