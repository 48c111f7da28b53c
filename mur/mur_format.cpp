#include "mur/mur_format.h"

#include <cstring>

#include "core/bytes.h"

namespace mur {

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
    CopyBytes(dest, chunk + kChunkTextAt, taken);
    if (measuring) {
      const TextMeasure piece = MeasureText(chunk + kChunkTextAt, taken);
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
