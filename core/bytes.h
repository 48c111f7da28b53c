// Little-endian loads from byte buffers. Every caller has already checked the range.
#pragma once

#include <cstdint>
#include <cstring>

inline uint16_t LoadU16(const uint8_t* p) {
  return static_cast<uint16_t>(static_cast<uint16_t>(p[0]) | static_cast<uint16_t>(p[1]) << 8);
}

inline uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t LoadU64(const uint8_t* p) {
  return static_cast<uint64_t>(LoadU32(p)) | static_cast<uint64_t>(LoadU32(p + 4)) << 32;
}

// Copies exactly `length` bytes, at most 16, with a few fixed-size moves instead of a library
// call: two overlapping moves cover any length from 4 to 16. Short names are copied so once
// or twice per item.
inline void CopyShort(void* dest, const void* source, uint32_t length) {
  auto* out = static_cast<uint8_t*>(dest);
  const auto* in = static_cast<const uint8_t*>(source);
  if (length >= 8) {
    std::memcpy(out, in, 8);
    std::memcpy(out + length - 8, in + length - 8, 8);
  } else if (length >= 4) {
    std::memcpy(out, in, 4);
    std::memcpy(out + length - 4, in + length - 4, 4);
  } else {
    for (uint32_t i = 0; i < length; ++i) out[i] = in[i];
  }
}

// Copies exactly `length` bytes (a path of up to 259 characters) with 16-byte moves, the last
// one overlapping, instead of a library call whose set-up costs more than the copy.
inline void CopyBytes(void* dest, const void* source, uint32_t length) {
  if (length <= 16) {
    CopyShort(dest, source, length);
    return;
  }
  auto* out = static_cast<uint8_t*>(dest);
  const auto* in = static_cast<const uint8_t*>(source);
  for (uint32_t at = 0; at + 16 < length; at += 16) std::memcpy(out + at, in + at, 16);
  std::memcpy(out + length - 16, in + length - 16, 16);
}

// Whether any of the `length` bytes at `text` is zero, or has its high bit set; eight bytes at
// a time, as these run over names and descriptions once per item.
inline bool HasZeroByte(const void* text, uint32_t length) {
  const auto* bytes = static_cast<const uint8_t*>(text);
  uint32_t at = 0;
  for (; at + 8 <= length; at += 8) {
    const uint64_t word = LoadU64(bytes + at);
    if (((word - 0x0101010101010101ull) & ~word & 0x8080808080808080ull) != 0) return true;
  }
  for (; at < length; ++at) {
    if (bytes[at] == 0) return true;
  }
  return false;
}

inline bool HasHighByte(const void* text, uint32_t length) {
  const auto* bytes = static_cast<const uint8_t*>(text);
  uint64_t seen = 0;
  uint32_t at = 0;
  for (; at + 8 <= length; at += 8) seen |= LoadU64(bytes + at);
  for (; at < length; ++at) seen |= bytes[at];
  return (seen & 0x8080808080808080ull) != 0;
}
