#include "mur/mur_format.h"

#include <cstring>

#include "core/bytes.h"

namespace mur {

bool Probe(const uint8_t* data, uint32_t dataSize) {
  if (data == nullptr || dataSize < kHeaderSize) return false;
  if (std::memcmp(data + kMagicAt, "MURP", 4) != 0) return false;
  return LoadU32(data + kVersionAt) == kSupportedVersion;
}

int ReadChain(CatalogueState& state, uint32_t link, char* dest, uint32_t capacity, bool* textCut) {
  uint32_t room = capacity - 1;
  uint8_t chunk[kChunkSize];
  uint32_t taken = kChunkTextSize;  // bytes of `chunk` already copied; none read yet
  bool endsInside = false;          // a zero byte among the copied bytes ends the text
  while (link != 0 && room != 0) {
    if (ReadAt(state, link, chunk, kChunkSize) != StatusOk) {
      *dest = '\0';
      return 0;
    }
    taken = room < kChunkTextSize ? room : kChunkTextSize;
    CopyBytes(dest, chunk + kChunkTextAt, taken);
    if (textCut != nullptr && !endsInside) endsInside = HasZeroByte(dest, taken);
    dest += taken;
    room -= taken;
    link = LoadU32(chunk + kNextChunkAt);
  }
  *dest = '\0';
  if (textCut != nullptr) {
    // The room ran out before the text ended when the next byte the chain holds is not zero.
    bool cut = false;
    if (room == 0 && !endsInside) {
      if (taken < kChunkTextSize) {
        cut = chunk[kChunkTextAt + taken] != 0;
      } else if (link != 0) {
        cut = ReadAt(state, link, chunk, kChunkSize) != StatusOk || chunk[kChunkTextAt] != 0;
      }
    }
    *textCut = cut;
  }
  return 1;
}

}  // namespace mur
