#include "zex/zex_format.h"

#include "core/bytes.h"

namespace zex {

bool Probe(const uint8_t* data, uint32_t dataSize) {
  if (data == nullptr || dataSize < kHeaderSize) return false;
  const uint32_t offsets[4] = {LoadU32(data + kEntryTableOffsetAt),
                               LoadU32(data + kDirTableOffsetAt), LoadU32(data + kThirdOffsetAt),
                               LoadU32(data + kNoteBaseAt)};
  bool oneIsHeaderSize = false;
  for (uint32_t offset : offsets) oneIsHeaderSize = oneIsHeaderSize || offset == kHeaderSize;
  if (!oneIsHeaderSize) return false;
  const uint16_t minor = LoadU16(data + kFormatMinorAt);
  if (minor != 2 && minor != 4 && minor != 8) return false;
  const uint16_t checkWordA = LoadU16(data + kCheckWordAAt);
  const uint16_t checkWordB = LoadU16(data + kCheckWordBAt);
  if (static_cast<uint16_t>(checkWordB >> 1) > checkWordA) return false;
  if (checkWordA < kCheckWordAMin || checkWordA > kCheckWordAMax) return false;
  if (LoadU32(data + kCheckValueBAt) > LoadU32(data + kCheckValueAAt)) return false;
  for (uint32_t offset : offsets) {
    if (offset < kHeaderSize) return false;
  }
  return true;
}

}  // namespace zex
