// Little-endian loads from byte buffers. Every caller has already checked the range.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Little-endian stores, the counterparts of the loads above.
inline void StoreU32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void StoreU64(uint8_t* p, uint64_t value) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
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

// Byte masks of a 64-bit word: the lowest and the highest bit of each byte.
constexpr uint64_t kByteOnes = 0x0101010101010101ull;
constexpr uint64_t kByteHighs = 0x8080808080808080ull;

// The high bit of each zero byte of `word`, and possibly of a 0x01 byte above a zero: in a
// little-endian word the lowest flagged byte is always the first true zero.
inline uint64_t ZeroBytesOf(uint64_t word) {
  return (word - kByteOnes) & ~word & kByteHighs;
}

// A text in a field: its length (up to its first zero byte, or the whole field) and whether a
// byte above 0x7F comes before that end.
struct TextMeasure {
  uint32_t length;
  bool hasHighByte;
};

// Measures the text in the `fieldSize` bytes at `field` in one pass, sixteen bytes at a time
// where the processor has SSE2 and eight otherwise: the host's description field is measured
// so on every item, whatever it holds. Nothing beyond the field is read.
inline TextMeasure MeasureText(const void* field, uint32_t fieldSize) {
  const auto* bytes = static_cast<const uint8_t*>(field);
  bool seenHigh = false;
  uint32_t at = 0;
#if defined(__SSE2__)
  for (; at + 16 <= fieldSize; at += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at));
    const auto zeros =
        static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_setzero_si128())));
    const auto highs = static_cast<uint32_t>(_mm_movemask_epi8(block));
    if (zeros != 0) {
      const uint32_t below = (zeros & (0u - zeros)) - 1;  // the bytes before the first zero
      return {at + static_cast<uint32_t>(std::countr_zero(zeros)),
              seenHigh || (highs & below) != 0};
    }
    seenHigh = seenHigh || highs != 0;
  }
#endif
  for (; at + 8 <= fieldSize; at += 8) {
    const uint64_t word = LoadU64(bytes + at);
    const uint64_t zeros = ZeroBytesOf(word);
    if (zeros != 0) {
      const uint64_t below = (zeros & (0 - zeros)) - 1;
      return {at + static_cast<uint32_t>(std::countr_zero(zeros)) / 8,
              seenHigh || (word & below & kByteHighs) != 0};
    }
    seenHigh = seenHigh || (word & kByteHighs) != 0;
  }
  for (; at < fieldSize; ++at) {
    if (bytes[at] == 0) return {at, seenHigh};
    seenHigh = seenHigh || bytes[at] >= 0x80;
  }
  return {fieldSize, seenHigh};
}

// The index of the first zero byte among the `length` bytes at `text`, or `length` when there
// is none; eight bytes at a time, as names and chunks are measured once per item. A last word
// that overlaps bytes already found non-zero covers the tail without a byte loop (no byte
// below the first zero is ever flagged).
inline uint32_t ZeroByteIndex(const void* text, uint32_t length) {
  const auto* bytes = static_cast<const uint8_t*>(text);
  if (length < 8) {
    for (uint32_t at = 0; at < length; ++at) {
      if (bytes[at] == 0) return at;
    }
    return length;
  }
  uint32_t at = 0;
  for (;; at += 8) {
    if (at + 8 > length) at = length - 8;  // the overlapping last word
    const uint64_t zeros = ZeroBytesOf(LoadU64(bytes + at));
    if (zeros != 0) return at + static_cast<uint32_t>(std::countr_zero(zeros)) / 8;
    if (at + 8 == length) return length;
  }
}
