// The MUR catalogue: byte layout, the probe and the reading of text chains.
//
// Map of the bytes (all integers little-endian; every link is the absolute file offset of a
// 40-byte record, 0 for none):
//
//   MurHeader, 40 bytes at 0
//     0  "MURP"                   4  u32 version (1)        20  u32 rootNode
//
//   MurNode, 40 bytes, anywhere in the file
//     0  u32 firstLink            4  u32 secondLink (further nodes of the same directory)
//     8  u32 sizeOrChild (a file's size; a directory's first node inside, 0 when empty)
//    12  u32 stamp (DOS date << 16 | DOS time)
//    20  u32 flags: 0x1000 directory, bits 10-11 NameKind
//    24  name area, by NameKind:
//          0  16 inline name bytes
//          1  12 inline base name bytes, @36 extension chain
//          2  12 inline name bytes,      @36 description chain
//          3  @24 name chain, @32 extension chain, @36 description chain
//        An inline text ends at its first zero byte or fills its field.
//
//   MurTextChunk, 40 bytes: u32 nextChunk (0: last), then 36 text bytes. A chain's text is
//   the pieces in link order, up to the first zero byte.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "modules/core/bytes.h"
#include "modules/core/catalogue_state.h"

namespace mur {

constexpr uint32_t kHeaderSize = 40;
constexpr uint32_t kNodeSize = 40;
constexpr uint32_t kChunkSize = 40;
constexpr uint32_t kChunkTextSize = 36;
constexpr uint32_t kSupportedVersion = 1;
// The items' format version: the header's version as the major number, in bits 8-15.
constexpr uint32_t kFormatVersionShift = 8;

// Header fields.
constexpr uint32_t kMagicField = 0;
constexpr uint32_t kVersionField = 4;
constexpr uint32_t kRootNodeField = 20;

// Node fields.
constexpr uint32_t kFirstLinkField = 0;
constexpr uint32_t kSecondLinkField = 4;
constexpr uint32_t kSizeOrChildField = 8;
constexpr uint32_t kStampField = 12;
constexpr uint32_t kFlagsField = 20;
constexpr uint32_t kNameAreaField = 24;
constexpr uint32_t kNameChainField = 24;       // kind 3
constexpr uint32_t kExtensionChainField = 32;  // kind 3
constexpr uint32_t kKindLinkField = 36;        // kind 1 extension; kinds 2 and 3 description

constexpr uint32_t kLongInlineName = 16;   // kind 0
constexpr uint32_t kShortInlineName = 12;  // kinds 1 and 2

constexpr uint32_t kDirectoryFlag = 0x1000;
constexpr uint32_t kNameKindShift = 10;
constexpr uint32_t kNameKindMask = 0x3;

// How a node's name area is laid out (flags bits 10-11).
enum class NameKind : uint32_t {
  LongInline = 0,             // 16 inline name bytes
  InlineWithExtension = 1,    // 12 inline bytes, extension chain
  InlineWithDescription = 2,  // 12 inline bytes, description chain
  Chains = 3,                 // name, extension and description chains
};

inline NameKind NameKindOf(uint32_t flags) {
  return static_cast<NameKind>((flags >> kNameKindShift) & kNameKindMask);
}

// Chunk fields.
constexpr uint32_t kNextChunkField = 0;
constexpr uint32_t kChunkTextField = 4;

// Returns true when `data` holds a MUR header.
bool Probe(const uint8_t* data, uint32_t dataSize);

// Copies a whole chunk's 36 text bytes to `dest` and measures them (up to the first zero
// byte): the reference for the fast version below.
inline TextMeasure CopyWholeChunkPlain(char* dest, const uint8_t* text) {
  std::memcpy(dest, text, kChunkTextSize);
  return MeasureText(text, kChunkTextSize);
}

// The same from three 16-byte loads where the processor has SSE2 (the last overlapping the
// second), which both copy and measure: most chunks are copied whole.
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
  return CopyWholeChunkPlain(dest, text);
#endif
}

// What ReadChain delivered.
struct ChainText {
  uint32_t length;   // of the text up to its first zero byte, within what was copied
  bool complete;     // every chunk up to the last link (or until the room ran out) was read
  bool hasHighByte;  // a byte above 0x7F before that end
  bool cut;          // the text went on beyond the room (only when asked for)
};

// Copies the text of the chain at `link` (0: the empty text) into `dest` (`capacity` bytes, at
// least 1), raw, zero bytes included, always ending it with a zero byte; a chain longer than
// the room is cut. What was copied before a chunk that cannot be read stays. `cut` is found
// only when `findCut` is set: a continuation that cannot be read then counts as cut.
ChainText ReadChain(CatalogueState& state, uint32_t link, char* dest, uint32_t capacity,
                    bool findCut);

}  // namespace mur
