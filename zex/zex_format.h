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

#include <cstdint>

namespace zex {

constexpr uint32_t kHeaderSize = 116;
constexpr uint32_t kDirRecordSize = 40;
constexpr uint32_t kEntrySize = 32;

// Header fields.
constexpr uint32_t kEntryTableOffsetAt = 0;
constexpr uint32_t kDirTableOffsetAt = 4;
constexpr uint32_t kThirdOffsetAt = 8;
constexpr uint32_t kDirTableSizeAt = 16;
constexpr uint32_t kFormatMinorAt = 24;
constexpr uint32_t kCheckWordAAt = 28;
constexpr uint32_t kCheckWordBAt = 30;
constexpr uint32_t kCheckValueAAt = 32;
constexpr uint32_t kNoteBaseAt = 36;
constexpr uint32_t kCheckValueBAt = 76;

// Directory record fields.
constexpr uint32_t kLevelAt = 0;
constexpr uint32_t kDirEntryAt = 2;
constexpr uint32_t kFirstEntryAt = 34;
constexpr uint32_t kEntryCountAt = 38;

// Entry fields.
constexpr uint32_t kNameAt = 0;
constexpr uint32_t kNameSize = 8;
constexpr uint32_t kExtensionAt = 8;
constexpr uint32_t kExtensionSize = 3;
constexpr uint32_t kAttributesAt = 11;
constexpr uint32_t kNoteRefAt = 16;
constexpr uint32_t kTimeAt = 22;
constexpr uint32_t kDateAt = 24;
constexpr uint32_t kSizeAt = 28;

// The entry attribute bits taken over into the item; the rest are not read.
constexpr uint8_t kTakenAttributes = 0x01 | 0x02 | 0x04 | 0x20;

// Check word A's accepted range.
constexpr uint16_t kCheckWordAMin = 60;
constexpr uint16_t kCheckWordAMax = 65400;

// The longest 8.3 name: eight, the dot and three.
constexpr uint32_t kMaxShortName = kNameSize + 1 + kExtensionSize;

// Returns true when `data` holds a ZEX header.
bool Probe(const uint8_t* data, uint32_t dataSize);

// Forms the 8.3 name of an entry into `out` (room for kMaxShortName bytes, no terminator is
// written) and returns its length.
uint32_t ShortName(const uint8_t* entry, char* out);

}  // namespace zex
