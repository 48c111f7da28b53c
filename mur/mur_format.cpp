#include "mur/mur_format.h"

#include <bit>
#include <cstring>

#include "core/bytes.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mur {

namespace {

// Copies a whole chunk's 36 text bytes and measures them from the same three loads (the last
// overlapping the second): the length up to the first zero byte and whether a byte above 0x7F
// comes before it.
inline TextMeasure CopyWholeChunk(char* dest, const uint8_t* text) {
  static_assert(kChunkTextSize == 36);
#if defined(__SSE2__)
  const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
  const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 16));
  const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 20));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dest), first);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + 16), second);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + 20), last);
  const __m128i zero = _mm_setzero_si128();
  // One bit per byte of the text; the overlapping bytes give the same bit twice.
  const uint64_t zeros =
      static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(first, zero)))) |
      static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(second, zero))))
          << 16 |
      static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(last, zero))))
          << 20;
  const uint64_t highs =
      static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(first))) |
      static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(second))) << 16 |
      static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(last))) << 20;
  if (zeros == 0) return {kChunkTextSize, highs != 0};
  const uint64_t below = (zeros & (0 - zeros)) - 1;  // the bytes before the first zero
  return {static_cast<uint32_t>(std::countr_zero(zeros)), (highs & below) != 0};
#else
  CopyBytes(dest, text, kChunkTextSize);
  return MeasureText(text, kChunkTextSize);
#endif
}

}  // namespace

bool Probe(const uint8_t* data, uint32_t dataSize) {
  if (data == nullptr || dataSize < kHeaderSize) return false;
  if (std::memcmp(data + kMagicAt, "MURP", 4) != 0) return false;
  return LoadU32(data + kVersionAt) == kSupportedVersion;
}

int ReadChain(CatalogueState& state, uint32_t link, char* dest, uint32_t capacity,
              uint32_t* written, bool* textCut, TextMeasure* measure) {
  char* const start = dest;
  uint32_t room = capacity - 1;
  // Each chunk is read in place (a pointer into the image when the file is held), so its text
  // is copied once, straight into `dest`.
  uint8_t scratch[kChunkSize];
  const uint8_t* chunk = nullptr;
  uint32_t taken = kChunkTextSize;  // bytes of `chunk` already copied; none read yet
  int status = StatusOk;
  // Whether the text's end is still to be found by `measure`.
  bool measuring = measure != nullptr;
  if (measuring) *measure = TextMeasure{0, false};
  while (link != 0 && room != 0) {
    chunk = ViewAt(state, link, kChunkSize, scratch, &status);
    if (chunk == nullptr) {
      *dest = '\0';
      *written = static_cast<uint32_t>(dest - start);
      return 0;
    }
    taken = room < kChunkTextSize ? room : kChunkTextSize;
    TextMeasure piece{0, false};
    if (taken == kChunkTextSize) {
      piece = CopyWholeChunk(dest, chunk + kChunkTextAt);
    } else {
      CopyBytes(dest, chunk + kChunkTextAt, taken);
      if (measuring) piece = MeasureText(chunk + kChunkTextAt, taken);
    }
    if (measuring) {
      measure->length += piece.length;
      measure->hasHighByte = measure->hasHighByte || piece.hasHighByte;
      measuring = piece.length == taken;
    }
    dest += taken;
    room -= taken;
    link = LoadU32(chunk + kNextChunkAt);
  }
  *dest = '\0';
  *written = static_cast<uint32_t>(dest - start);
  if (textCut != nullptr) {
    // The room ran out before the text ended when no zero byte was copied and the next byte
    // the chain holds is not zero. Only a text that filled the room needs either look.
    bool cut = false;
    if (room == 0 && !HasZeroByte(start, capacity - 1)) {
      if (taken < kChunkTextSize) {
        cut = chunk[kChunkTextAt + taken] != 0;
      } else if (link != 0) {
        const uint8_t* next = ViewAt(state, link, kChunkSize, scratch, &status);
        cut = next == nullptr || next[kChunkTextAt] != 0;
      }
    }
    *textCut = cut;
  }
  return 1;
}

}  // namespace mur
