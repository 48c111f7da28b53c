#include "modules/mur/mur_format.h"

#include <cstring>

#include "modules/core/bytes.h"

namespace mur {

bool Probe(const uint8_t* data, uint32_t dataSize) {
  if (data == nullptr || dataSize < kHeaderSize) return false;
  if (std::memcmp(data + kMagicField, "MURP", 4) != 0) return false;
  return LoadU32(data + kVersionField) == kSupportedVersion;
}

ChainText ReadChain(CatalogueState& state, uint32_t link, char* dest, uint32_t capacity,
                    bool findCut) {
  char* end = dest;
  uint32_t room = capacity - 1;
  uint8_t scratch[kChunkSize];
  Fetched chunk{nullptr, StatusOk};
  uint32_t taken = kChunkTextSize;  // bytes of the last chunk copied; none read yet
  bool complete = true;
  // The text is measured on the chunks as they are copied, up to its first zero byte.
  TextMeasure text{0, false};
  bool measuring = true;
  while (link != 0 && room != 0) {
    chunk = FetchAt(state, link, kChunkSize, scratch);
    if (chunk.bytes == nullptr) {
      complete = false;
      break;
    }
    taken = room < kChunkTextSize ? room : kChunkTextSize;
    TextMeasure piece{0, false};
    if (taken == kChunkTextSize) {
      piece = CopyWholeChunk(end, chunk.bytes + kChunkTextField);
    } else {
      CopyBytes(end, chunk.bytes + kChunkTextField, taken);
      if (measuring) piece = MeasureText(chunk.bytes + kChunkTextField, taken);
    }
    if (measuring) {
      text.length += piece.length;
      text.hasHighByte = text.hasHighByte || piece.hasHighByte;
      measuring = piece.length == taken;
    }
    end += taken;
    room -= taken;
    link = LoadU32(chunk.bytes + kNextChunkField);
  }
  *end = '\0';
  const uint32_t written = static_cast<uint32_t>(end - dest);
  ChainText chain{text.length, complete, text.hasHighByte, false};
  // The room ran out before the text ended when no zero byte was copied and the next byte the
  // chain holds is not zero.
  if (findCut && complete && room == 0 && text.length == written) {
    if (taken < kChunkTextSize) {
      chain.cut = chunk.bytes[kChunkTextField + taken] != 0;
    } else if (link != 0) {
      const Fetched next = FetchAt(state, link, kChunkSize, scratch);
      chain.cut = next.bytes == nullptr || next.bytes[kChunkTextField] != 0;
    }
  }
  return chain;
}

}  // namespace mur
