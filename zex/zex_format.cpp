#include "zex/zex_format.h"

#include <cstring>

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

// Eight bytes at a time, as this runs once per item: byte i of the value is byte i of the
// field (LoadU64 is little-endian), so the lowest byte is the first one.
constexpr uint64_t kEveryByte = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

// The number of bytes left when blanks and zero bytes are dropped from the end of the
// `size`-byte field held in `bytes` (unused high bytes zero).
static uint32_t TrimmedLength(uint64_t bytes) {
  // A byte is padding when it is 0x00 or 0x20, that is when setting bit 5 gives 0x20.
  const uint64_t kept = (bytes | 0x20 * kEveryByte) ^ (0x20 * kEveryByte);
  return kept == 0 ? 0 : 8 - static_cast<uint32_t>(__builtin_clzll(kept)) / 8;
}

// The index of the first zero byte among the first `length` bytes, or `length` when none.
static uint32_t FirstZero(uint64_t bytes, uint32_t length) {
  const uint64_t zeros = (bytes - kEveryByte) & ~bytes & kHighBits;  // exact for the lowest
  if (zeros == 0) return length;
  const uint32_t first = static_cast<uint32_t>(__builtin_ctzll(zeros)) / 8;
  return first < length ? first : length;
}

uint32_t ShortName(const uint8_t* entry, char* out) {
  const uint64_t name = LoadU64(entry + kNameAt);
  const uint64_t extension = uint64_t{entry[kExtensionAt]} |
                             uint64_t{entry[kExtensionAt + 1]} << 8 |
                             uint64_t{entry[kExtensionAt + 2]} << 16;
  // Padding dropped from the end of each part (inner blanks and zero bytes stay).
  const uint32_t length = TrimmedLength(name);
  const uint32_t extensionLength = TrimmedLength(extension);
  std::memcpy(out, entry + kNameAt, kNameSize);
  // A zero byte inside the name ends it there, without the extension.
  const uint32_t nameEnd = FirstZero(name, length);
  if (nameEnd < length) return nameEnd;
  // Nothing of the extension left: the separator goes too.
  if (extensionLength == 0) return length;
  out[length] = '.';
  std::memcpy(out + length + 1, entry + kExtensionAt, kExtensionSize);
  // A zero byte inside the extension ends the name there; otherwise an extension ending in
  // "." loses that character.
  const uint32_t extensionEnd = FirstZero(extension, extensionLength);
  if (extensionEnd < extensionLength) return length + 1 + extensionEnd;
  const uint32_t total = length + 1 + extensionLength;
  return out[total - 1] == '.' ? total - 1 : total;
}

}  // namespace zex
