// Builds ZEX catalogues in memory, byte-exact, from a tree description.
//
// Map of the image the writer lays out (all integers little-endian):
//   0    header, 116 bytes (field offsets in namespace zex below)
//   116  directory table: 40-byte records, depth-first, the root record first when written
//        +0 level, +2 dirEntry (a 32-byte entry for the directory), +34 firstEntry,
//        +38 entryCount
//        then the entry table: 32-byte entries, the root's files first, then each directory's
//        files in directory-table order
//        +0 name (8, blank padded), +8 extension (3), +11 attributes, +16 noteRef, +22 time,
//        +24 date, +28 size
//        then the note area at noteBase: one block per description, a 16-bit length and the
//        text, in listing order (root files; then each directory, followed by its files).
//        noteRef = block offset - noteBase + 1, so 0 stays free to mean "no description".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/writer/bytes.h"

namespace catwriter {

namespace zex {
constexpr size_t kHeaderSize = 116;
constexpr size_t kDirRecordSize = 40;
constexpr size_t kEntrySize = 32;
constexpr size_t kNameWidth = 8;
constexpr size_t kExtensionWidth = 3;

// Header fields.
constexpr size_t kEntryTableOffsetField = 0;
constexpr size_t kDirTableOffsetField = 4;
constexpr size_t kThirdOffsetField = 8;
constexpr size_t kDirTableSizeField = 16;
constexpr size_t kFormatMinorField = 24;
constexpr size_t kCheckWordAField = 28;
constexpr size_t kCheckWordBField = 30;
constexpr size_t kCheckValueAField = 32;
constexpr size_t kNoteBaseField = 36;
constexpr size_t kCheckValueBField = 76;

// The values the writer gives the fields that readers only use to recognise the file. Any
// header must have word B / 2 <= word A, word A in 60..65400 and value B <= value A, and at
// least one of the offsets at 0, 4, 8 and 36 equal to 116. The writer picks values that say
// something true of the file, so that they can never contradict each other:
//   check word A  = 116, the header size
//   check word B  = 40, the directory record size (40 / 2 <= 116)
//   check value A = the size of the whole image
//   check value B = noteBase, where the note area starts (never past the end of the image)
//   third offset  = noteBase as well
// The directory table always starts at 116, right after the header, which gives the offset
// equal to 116 that readers look for.
constexpr uint16_t kCheckWordA = 116;
constexpr uint16_t kCheckWordB = 40;

// Directory record fields.
constexpr size_t kLevelField = 0;
constexpr size_t kDirEntryField = 2;
constexpr size_t kFirstEntryField = 34;
constexpr size_t kEntryCountField = 38;

// Entry fields.
constexpr size_t kNameField = 0;
constexpr size_t kExtensionField = 8;
constexpr size_t kAttributesField = 11;
constexpr size_t kNoteRefField = 16;
constexpr size_t kTimeField = 22;
constexpr size_t kDateField = 24;
constexpr size_t kSizeField = 28;

// Attribute bits.
constexpr uint8_t kReadOnly = 0x01;
constexpr uint8_t kHidden = 0x02;
constexpr uint8_t kSystem = 0x04;
constexpr uint8_t kDirectory = 0x10;
constexpr uint8_t kArchive = 0x20;
}  // namespace zex

// Names are raw bytes: at most 8 for the name and 3 for the extension. Shorter ones are
// padded with blanks; a caller who wants zero bytes or other padding passes the full width.
struct ZexFile {
  std::string name;
  std::string extension;
  uint8_t attributes = zex::kArchive;
  uint32_t size = 0;
  DosStamp stamp;
  std::optional<std::string> description;
};

struct ZexDir {
  std::string name;
  std::string extension;
  uint8_t attributes = zex::kDirectory;
  DosStamp stamp;
  std::optional<std::string> description;
  std::vector<ZexFile> files;
  std::vector<ZexDir> subdirs;
};

struct ZexTree {
  std::vector<ZexFile> rootFiles;
  std::vector<ZexDir> dirs;  // top-level directories, level 1
  // Whether to write a level-0 record for the root. Without it the root can hold no files.
  bool rootRecord = true;
  uint16_t formatMinor = 4;  // 2, 4 or 8
};

struct ZexLayout {
  uint32_t dirTableOffset = 0;
  uint32_t dirTableSize = 0;
  uint32_t entryTableOffset = 0;
  uint32_t noteBase = 0;
  std::vector<uint32_t> dirRecordOffsets;  // table order, the root record first when written
  std::vector<uint32_t> entryOffsets;      // entry table order
  std::vector<uint32_t> noteOffsets;       // each note block, in the order written
};

struct ZexImage {
  std::vector<uint8_t> bytes;
  ZexLayout layout;
};

// Throws std::invalid_argument for what the format cannot hold: a name or extension too
// long, a formatMinor other than 2, 4 or 8, root files without a root record, an entry
// number, count or level past 65535, a description past 65535 bytes, or an image past 4 GiB.
ZexImage BuildZex(const ZexTree& tree);

}  // namespace catwriter
