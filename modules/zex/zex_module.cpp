// zex_fmt: lists a ZEX catalogue to the host, one item per GetArcItem call.
//
// The walk alternates between the directory table and the entries of the directory listed
// last: first the root's files (when the first record is the root), then for each directory
// record in table order the directory itself followed by its files.
#include <cstring>

#include "modules/core/bytes.h"
#include "modules/core/catalogue_state.h"
#include "modules/interface/format_module.h"
#include "modules/zex/zex_format.h"

const char kFormatName[] = "ZEX";
const char kHostSystemName[] = "DOS";

bool ProbeFormat(const uint8_t* data, uint32_t dataSize) {
  return zex::Probe(data, dataSize);
}

namespace {

struct ZexState {
  CatalogueState catalogue;
  bool listingDirectories;  // the next item comes from the directory table
  uint32_t dirRemaining;
  uint32_t dirCursor;
  uint32_t entryTable;
  uint32_t entryCursor;
  uint32_t entryRemaining;
  uint32_t noteBase;
  uint32_t formatVersion;
};

ZexState gZex;

// Starts listing the `entryCount` entries from `firstEntry` on; with none, the next item
// comes from the directory table.
void StartEntries(const uint8_t* directory) {
  gZex.entryRemaining = LoadU16(directory + zex::kEntryCountField);
  if (gZex.entryRemaining == 0) return;
  gZex.listingDirectories = false;
  gZex.entryCursor =
      gZex.entryTable + uint32_t{LoadU16(directory + zex::kFirstEntryField)} * zex::kEntrySize;
}

// The next record of the walk: a directory record (its entry, with the path cut back to its
// parent) or an entry of the directory being listed. nullptr with the read's result when it
// cannot be read; nothing has moved then.
const uint8_t* NextEntry(uint8_t* scratch, bool isDirectory, int* status) {
  if (!isDirectory) {
    const Fetched entry = FetchAt(gZex.catalogue, gZex.entryCursor, zex::kEntrySize, scratch);
    *status = entry.status;
    if (entry.bytes == nullptr) return nullptr;
    if (--gZex.entryRemaining != 0) {
      gZex.entryCursor += zex::kEntrySize;
    } else {
      gZex.listingDirectories = true;
    }
    return entry.bytes;
  }
  const Fetched directory = FetchAt(gZex.catalogue, gZex.dirCursor, zex::kDirRecordSize, scratch);
  *status = directory.status;
  if (directory.bytes == nullptr) return nullptr;
  // Back to the parent's path: levels 0 and 1 keep no component, level n keeps n - 1.
  const uint32_t level = LoadU16(directory.bytes + zex::kLevelField);
  CutPathTo(gZex.catalogue, level <= 1 ? 0 : level - 1);
  StartEntries(directory.bytes);
  if (--gZex.dirRemaining != 0) gZex.dirCursor += zex::kDirRecordSize;
  return directory.bytes + zex::kDirEntryField;
}

// A ZexNote starts with its text's length, a 16-bit number; the text follows.
constexpr uint32_t kNoteLengthSize = 2;

// Reads the entry's description, when it has one; returns the item's result.
int FillDescription(const uint8_t* entry, ItemDetails* details) {
  const uint32_t noteRef = LoadU32(entry + zex::kNoteRefField);
  if (noteRef == 0) return StatusOk;
  const uint32_t note = gZex.noteBase + noteRef - 1;  // wraps, as offsets are 32-bit
  uint8_t lengthField[kNoteLengthSize];
  if (ReadAt(gZex.catalogue, note, lengthField, kNoteLengthSize) != StatusOk) return StatusDamaged;
  uint32_t length = LoadU16(lengthField);
  if (length > kDescriptionSize - 1) length = kDescriptionSize - 1;
  if (ReadAt(gZex.catalogue, note + kNoteLengthSize, details->description, length) != StatusOk) {
    details->description[0] = '\0';
    return StatusDamaged;
  }
  details->description[length] = '\0';
  return StatusOk;
}

// A directory's name as the path takes it: the whole 8.3 buffer, since WriteName stores it
// all (the longest name, eight, the dot and three, then zero bytes).
constexpr uint32_t kDirectoryNameRoom = sizeof(zex::ShortName::text);

}  // namespace

extern "C" {

int FMT_CALL OpenArchive(const char* fileName, int32_t* formatTypeOut) {
  if (OpenCatalogue(gZex.catalogue, fileName) == 0) return 0;
  ResetCursors(gZex);
  uint8_t header[zex::kHeaderSize];
  if (ReadAt(gZex.catalogue, 0, header, zex::kHeaderSize) != StatusOk) {
    CloseCatalogue(gZex.catalogue);
    return 0;
  }
  gZex.dirRemaining = LoadU32(header + zex::kDirTableSizeField) / zex::kDirRecordSize;
  gZex.noteBase = LoadU32(header + zex::kNoteBaseField);
  gZex.listingDirectories = true;
  if (gZex.dirRemaining != 0) {
    gZex.entryTable = LoadU32(header + zex::kEntryTableOffsetField);
    gZex.dirCursor = LoadU32(header + zex::kDirTableOffsetField);
    uint8_t record[zex::kDirRecordSize];
    if (ReadAt(gZex.catalogue, gZex.dirCursor, record, zex::kDirRecordSize) != StatusOk) {
      CloseCatalogue(gZex.catalogue);
      return 0;
    }
    // A first record of level 0 is the root: not an item, its entries are the top-level files.
    if (LoadU16(record + zex::kLevelField) == 0) {
      --gZex.dirRemaining;
      gZex.dirCursor += zex::kDirRecordSize;
      StartEntries(record);
    }
  }
  gZex.formatVersion = zex::kFormatVersionBase + LoadU16(header + zex::kFormatMinorField);
  *formatTypeOut = 0;
  return 1;
}

int FMT_CALL GetArcItem(ItemRecord* item, ItemDetails* details) {
  if (!gZex.catalogue.active) return StatusEnd;  // finished, closed or never opened
  const bool isDirectory = gZex.listingDirectories;
  if (isDirectory && gZex.dirRemaining == 0) {
    ReleaseState(gZex.catalogue);
    return StatusEnd;
  }
  uint8_t scratch[zex::kDirRecordSize];
  int read = StatusOk;
  const uint8_t* entry = NextEntry(scratch, isDirectory, &read);
  if (entry == nullptr) return read;

  const uint32_t attributes = kAttrOffline | (entry[zex::kAttributesField] & zex::kTakenAttributes);
  FillItemFields(item, isDirectory ? attributes | kAttrDirectory : attributes,
                 isDirectory ? 0 : LoadU32(entry + zex::kSizeField),
                 LoadU32(entry + zex::kStampField), StampZone::Local);

  const auto name = zex::MakeName(entry);
  zex::WriteName(name, item->cAlternateFileName, name.length + 1);
  // The path and the name, cut to 259 characters when they do not fit.
  int result = gZex.catalogue.pathCut ? StatusDamaged : StatusOk;
  char* ownName = WritePath(gZex.catalogue, item);
  const uint32_t room = kMaxPathText - gZex.catalogue.pathLength;
  if (name.length <= room) {
    zex::WriteName(name, ownName, name.length + 1);
  } else {
    zex::WriteName(name, ownName, room);
    ownName[room] = '\0';
    result = StatusDamaged;
  }
  if (isDirectory) {
    char text[kDirectoryNameRoom];
    zex::WriteName(name, text, sizeof text);
    EnterDirectory(gZex.catalogue, text, name.length);
  }

  const int described = FillDescription(entry, details);
  if (described != StatusOk) result = described;
  std::memcpy(details->hostSystem, kHostSystemName, sizeof(kHostSystemName));
  details->formatVersion = gZex.formatVersion;
  return result;
}

int FMT_CALL CloseArchive(CloseRecord* closeRecord) {
  closeRecord->fields[kCloseDoneField] = kCloseDone;
  return CloseCatalogue(gZex.catalogue);
}

}  // extern "C"
