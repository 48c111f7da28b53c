// The ZEX catalogue: byte layout, the probe and the 8.3 names of its entries.
//
// Map of the bytes (all integers little-endian, offsets absolute from the start of the file):
//
//   ZexHeader, 116 bytes at 0
//     0  u32 entryTableOffset     4  u32 dirTableOffset     8  u32 third offset (probe only)
//    16  u32 dirTableSize (40 bytes a record)                24  u16 formatMinor (2, 4, 8)
//    28  u16 check word A        30  u16 check word B      32  u32 check value A (probe only)
//    36  u32 noteBase            76  u32 check value B (probe only)
//
//   ZexDirRecord, 40 bytes, the directory table, depth-first from dirTableOffset
//     0  u16 level (0 the root when first, 1 a top-level directory, n n levels down)
//     2  ZexEntry dirEntry (the directory itself; its size is not used)
//    34  u16 firstEntry          38  u16 entryCount (the directory's files in the entry table)
//
//   ZexEntry, 32 bytes, the entry table, entry i at entryTableOffset + i * 32
//     0  name, 8 bytes           8  extension, 3 bytes     11  u8 attributes
//    16  u32 noteRef (0: none; else the ZexNote at noteBase + noteRef - 1)
//    22  u16 DOS time (local)   24  u16 DOS date (local)   28  u32 size
//
//   ZexNote: u16 length, then that many bytes of description text, no terminator.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "modules/core/bytes.h"
#include "modules/interface/host_interface.h"

namespace zex {

constexpr uint32_t kHeaderSize = 116;
constexpr uint32_t kDirRecordSize = 40;
constexpr uint32_t kEntrySize = 32;

// Header fields.
constexpr uint32_t kEntryTableOffsetField = 0;
constexpr uint32_t kDirTableOffsetField = 4;
constexpr uint32_t kThirdOffsetField = 8;
constexpr uint32_t kDirTableSizeField = 16;
constexpr uint32_t kFormatMinorField = 24;
constexpr uint32_t kCheckWordAField = 28;
constexpr uint32_t kCheckWordBField = 30;
constexpr uint32_t kCheckValueAField = 32;
constexpr uint32_t kNoteBaseField = 36;
constexpr uint32_t kCheckValueBField = 76;

// Directory record fields.
constexpr uint32_t kLevelField = 0;
constexpr uint32_t kDirEntryField = 2;
constexpr uint32_t kFirstEntryField = 34;
constexpr uint32_t kEntryCountField = 38;

// Entry fields.
constexpr uint32_t kNameField = 0;
constexpr uint32_t kNameWidth = 8;
constexpr uint32_t kExtensionField = 8;
constexpr uint32_t kExtensionWidth = 3;
constexpr uint32_t kAttributesField = 11;
constexpr uint32_t kNoteRefField = 16;
constexpr uint32_t kTimeField = 22;
constexpr uint32_t kDateField = 24;
constexpr uint32_t kStampField = kTimeField;  // read as one 32-bit value: date << 16 | time
constexpr uint32_t kSizeField = 28;

// The entry attribute bits taken over into the item, where they have the platform's values;
// the rest are not read.
constexpr uint8_t kTakenAttributes = kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive;

// The catalogue's format version is 3.formatMinor: major number in bits 8-15.
constexpr uint32_t kFormatVersionBase = 0x300;
constexpr uint16_t kMinorVersions[] = {2, 4, 8};

// Check word A's accepted range.
constexpr uint16_t kCheckWordAMin = 60;
constexpr uint16_t kCheckWordAMax = 65400;

// Returns true when `data` holds a ZEX header.
bool Probe(const uint8_t* data, uint32_t dataSize);

// An 8.3 name: its characters, then zero bytes to the end of `text`.
struct ShortName {
  char text[16];  // the longest name: eight, the dot and three
  uint32_t length;
};

// Forms the 8.3 name of an entry one byte at a time.
ShortName FormShortName(const uint8_t* entry);

// Writes exactly `count` bytes of `name` (at most 16) to `out`; with `count` = length + 1
// that is the name and its zero byte.
inline void WriteName(const ShortName& name, char* out, uint32_t count) {
  std::memcpy(out, name.text, count);
}

// An 8.3 name held in two words: byte i of `low` (then of `high`) is character i, and every
// byte from `length` on is zero, so the name's terminator comes with it. Built and written
// out in registers: a name put together byte by byte in memory and read back a word at a
// time stalls the processor's store forwarding on every item.
struct PackedName {
  uint64_t low;
  uint64_t high;
  uint32_t length;
};

// Eight bytes at a time: byte i of a word is byte i of the field (the loads are
// little-endian), so the lowest byte is the first one.
constexpr uint64_t kEveryByte = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

// A mask of the low `count` bytes of a word, `count` at most 8.
inline uint64_t LowBytesMask(uint32_t count) {
  return count >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * count)) - 1;
}

// The number of bytes left when blanks and zero bytes are dropped from the end of a field
// held in `bytes` (unused high bytes zero).
inline uint32_t TrimmedLength(uint64_t bytes) {
  // A byte is padding when it is 0x00 or 0x20, that is when setting bit 5 gives 0x20.
  const uint64_t kept = (bytes | 0x20 * kEveryByte) ^ (0x20 * kEveryByte);
  return kept == 0 ? 0 : 8 - static_cast<uint32_t>(std::countl_zero(kept)) / 8;
}

// The index of the first zero byte among the first `length` bytes, or `length` when none.
inline uint32_t FirstZero(uint64_t bytes, uint32_t length) {
  const uint64_t zeros = (bytes - kEveryByte) & ~bytes & kHighBits;  // exact for the lowest
  if (zeros == 0) return length;
  const uint32_t first = static_cast<uint32_t>(std::countr_zero(zeros)) / 8;
  return first < length ? first : length;
}

// Forms the 8.3 name of an entry.
inline PackedName PackShortName(const uint8_t* entry) {
  const uint64_t name = LoadU64(entry + kNameField);
  const uint64_t extension = uint64_t{entry[kExtensionField]} |
                             uint64_t{entry[kExtensionField + 1]} << 8 |
                             uint64_t{entry[kExtensionField + 2]} << 16;
  // Padding dropped from the end of each part (inner blanks and zero bytes stay).
  const uint32_t length = TrimmedLength(name);
  const uint32_t extensionLength = TrimmedLength(extension);
  // A zero byte inside the name ends it there, without the extension.
  const uint32_t nameEnd = FirstZero(name, length);
  if (nameEnd < length || extensionLength == 0) {
    // Nothing of the extension left: the separator goes too.
    return {name & LowBytesMask(nameEnd), 0, nameEnd};
  }
  // A zero byte inside the extension ends the name there; otherwise an extension ending in
  // "." loses that character.
  uint32_t suffixLength = 1 + FirstZero(extension, extensionLength);
  const uint64_t suffix = '.' | extension << 8;
  if (suffixLength == 1 + extensionLength && (suffix >> (8 * (suffixLength - 1)) & 0xFF) == '.') {
    --suffixLength;
  }
  const uint64_t kept = suffix & LowBytesMask(suffixLength);
  const uint32_t shift = 8 * length;  // 0 to 64
  return {(name & LowBytesMask(length)) | (shift < 64 ? kept << shift : 0),
          shift == 0 ? 0 : kept >> (64 - shift), length + suffixLength};
}

// Writes exactly `count` bytes of `name` (at most 16) to `out`; with `count` = length + 1
// that is the name and its zero byte. Two overlapping stores.
inline void WriteName(const PackedName& name, char* out, uint32_t count) {
  auto* bytes = reinterpret_cast<uint8_t*>(out);
  if (count >= 8) {
    // The last word starts `count` - 8 bytes in: all of `low`, all of `high`, or a shift
    // of both (a shift by 64 bits is undefined, hence the two ends apart).
    const uint32_t shift = 8 * (count - 8);
    const uint64_t last = shift == 0    ? name.low
                          : shift == 64 ? name.high
                                        : (name.low >> shift) | (name.high << (64 - shift));
    StoreU64(bytes, name.low);
    StoreU64(bytes + count - 8, last);
  } else if (count >= 4) {
    StoreU32(bytes, static_cast<uint32_t>(name.low));
    StoreU32(bytes + count - 4, static_cast<uint32_t>(name.low >> (8 * (count - 4))));
  } else {
    for (uint32_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(name.low >> (8 * i));
  }
}

// The names are formed in registers where registers are 64 bits wide: there it saves about a
// seventh of the instructions per item; in 32-bit code the 64-bit arithmetic costs more than
// it saves.
inline auto MakeName(const uint8_t* entry) {
  if constexpr (sizeof(void*) >= 8) {
    return PackShortName(entry);
  } else {
    return FormShortName(entry);
  }
}

}  // namespace zex
