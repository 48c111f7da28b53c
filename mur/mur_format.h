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

#include <cstdint>

#include "core/bytes.h"
#include "core/catalogue_state.h"

namespace mur {

constexpr uint32_t kHeaderSize = 40;
constexpr uint32_t kNodeSize = 40;
constexpr uint32_t kChunkSize = 40;
constexpr uint32_t kChunkTextSize = 36;
constexpr uint32_t kSupportedVersion = 1;

// Header fields.
constexpr uint32_t kMagicAt = 0;
constexpr uint32_t kVersionAt = 4;
constexpr uint32_t kRootNodeAt = 20;

// Node fields.
constexpr uint32_t kFirstLinkAt = 0;
constexpr uint32_t kSecondLinkAt = 4;
constexpr uint32_t kSizeOrChildAt = 8;
constexpr uint32_t kStampAt = 12;
constexpr uint32_t kFlagsAt = 20;
constexpr uint32_t kNameAreaAt = 24;
constexpr uint32_t kNameChainAt = 24;       // kind 3
constexpr uint32_t kExtensionChainAt = 32;  // kind 3
constexpr uint32_t kKindLinkAt = 36;        // kind 1 extension; kinds 2 and 3 description

constexpr uint32_t kLongInlineName = 16;   // kind 0
constexpr uint32_t kShortInlineName = 12;  // kinds 1 and 2

constexpr uint32_t kDirectoryFlag = 0x1000;
constexpr uint32_t kNameKindShift = 10;
constexpr uint32_t kNameKindMask = 0x3;

// Chunk fields.
constexpr uint32_t kNextChunkAt = 0;
constexpr uint32_t kChunkTextAt = 4;

// Returns true when `data` holds a MUR header.
bool Probe(const uint8_t* data, uint32_t dataSize);

// Copies the text of the chain at `link` into `dest` (`capacity` bytes, at least 1), raw,
// zero bytes included, always ending it with a zero byte; a chain longer than the room is
// cut. Returns 1, or 0 when a chunk could not be read (what was copied before stays).
// `*written` receives the number of bytes copied before the final zero byte (on failure too),
// so that callers measure the text within them instead of over the whole field.
// When `textCut` is given it tells whether the text (up to its first zero byte) went on
// beyond the room; a continuation that cannot be read counts as cut.
// When `measure` is given it receives the text's length within the `*written` bytes (up to
// their first zero byte) and whether a byte above 0x7F comes before that end, measured on the
// chunks as they are read rather than on `dest` afterwards.
int ReadChain(CatalogueState& state, uint32_t link, char* dest, uint32_t capacity,
              uint32_t* written, bool* textCut = nullptr, TextMeasure* measure = nullptr);

// ReadChain, with the empty chain (link 0: most nodes have no description) answered inline.
inline int ReadChainOrNone(CatalogueState& state, uint32_t link, char* dest, uint32_t capacity,
                           uint32_t* written, bool* textCut = nullptr,
                           TextMeasure* measure = nullptr) {
  if (link != 0) return ReadChain(state, link, dest, capacity, written, textCut, measure);
  *dest = '\0';
  *written = 0;
  if (textCut != nullptr) *textCut = false;
  if (measure != nullptr) *measure = TextMeasure{0, false};
  return 1;
}

}  // namespace mur
