// Little-endian loads from byte buffers, and the measure of a text in a field. Every caller has
// already checked the range.
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

// Copies exactly `length` bytes, as std::memcpy does, with 16-, 8- and 4-byte moves (the last
// one overlapping) instead of a library call whose set-up costs more than the copy: paths,
// names and text chunks are copied so several times per item.
inline void CopyBytes(void* dest, const void* source, uint32_t length) {
  auto* out = static_cast<uint8_t*>(dest);
  const auto* in = static_cast<const uint8_t*>(source);
  if (length > 16) {
    for (uint32_t at = 0; at + 16 < length; at += 16) std::memcpy(out + at, in + at, 16);
    std::memcpy(out + length - 16, in + length - 16, 16);
  } else if (length >= 8) {
    std::memcpy(out, in, 8);
    std::memcpy(out + length - 8, in + length - 8, 8);
  } else if (length >= 4) {
    std::memcpy(out, in, 4);
    std::memcpy(out + length - 4, in + length - 4, 4);
  } else {
    for (uint32_t i = 0; i < length; ++i) out[i] = in[i];
  }
}

// A text in a field: its length (up to its first zero byte, or the whole field) and whether a
// byte above 0x7F comes before that end.
struct TextMeasure {
  uint32_t length;
  bool hasHighByte;
};

// MeasureText one byte at a time: the reference for the fast version below.
inline TextMeasure MeasureTextPlain(const void* field, uint32_t fieldSize) {
  const auto* bytes = static_cast<const uint8_t*>(field);
  bool high = false;
  for (uint32_t at = 0; at < fieldSize; ++at) {
    if (bytes[at] == 0) return {at, high};
    high = high || bytes[at] >= 0x80;
  }
  return {fieldSize, high};
}

// Measures the text in the `fieldSize` bytes at `field`, sixteen bytes at a time where the
// processor has SSE2: MUR measures the host's whole description field on every item, whatever
// it holds. Nothing beyond the field is read.
inline TextMeasure MeasureText(const void* field, uint32_t fieldSize) {
  const auto* bytes = static_cast<const uint8_t*>(field);
  uint32_t at = 0;
  bool high = false;
#if defined(__SSE2__)
  for (; at + 16 <= fieldSize; at += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at));
    const auto zeros =
        static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_setzero_si128())));
    const auto highs = static_cast<uint32_t>(_mm_movemask_epi8(block));
    if (zeros != 0) {
      const uint32_t before = (zeros & (0u - zeros)) - 1;  // the bytes before the first zero
      return {at + static_cast<uint32_t>(std::countr_zero(zeros)), high || (highs & before) != 0};
    }
    high = high || highs != 0;
  }
#endif
  const TextMeasure rest = MeasureTextPlain(bytes + at, fieldSize - at);
  return {at + rest.length, high || rest.hasHighByte};
}
