// zex_fmt: lists a ZEX catalogue to the host, one item per GetArcItem call.
//
// The walk alternates between the directory table and the entries of the directory listed
// last: first the root's files (when the first record is the root), then for each directory
// record in table order the directory itself followed by its files.
#include <cstring>

#include "core/bytes.h"
#include "core/catalogue_state.h"
#include "interface/format_module.h"
#include "platform/platform.h"
#include "zex/zex_format.h"

const char kFormatName[] = "ZEX";
const char kHostSystemName[] = "DOS";

namespace {

constexpr uint32_t kMaxPathText = kPathBufferSize - 1;

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
  // pathBuffer as components: where each complete component (its name and backslash) ends.
  // A directory whose name does not fit leaves a cut, incomplete component behind it; its
  // items are then reported as damaged until the walk leaves that depth.
  uint32_t pathLength;
  uint32_t componentCount;
  bool pathCut;
  uint16_t componentEnds[kMaxPathText];  // every component takes at least its backslash
};

ZexState gZex;

void ResetCursors() {
  CatalogueState catalogue = gZex.catalogue;
  gZex = ZexState{};
  gZex.catalogue = catalogue;
}

// Keeps the first `keep` components of the path; with fewer, the path stays whole.
void CutPathTo(uint32_t keep) {
  if (keep > gZex.componentCount) return;
  gZex.pathLength = keep == 0 ? 0 : gZex.componentEnds[keep - 1];
  gZex.componentCount = keep;
  gZex.pathCut = false;
  gZex.catalogue.pathBuffer[gZex.pathLength] = '\0';
}

// Adds a directory's name and backslash; what does not fit in 259 characters is cut.
void EnterDirectory(const char* name, uint32_t nameLength) {
  char* path = gZex.catalogue.pathBuffer;
  const uint32_t room = kMaxPathText - gZex.pathLength;
  if (nameLength + 1 <= room) {
    std::memcpy(path + gZex.pathLength, name, nameLength);
    gZex.pathLength += nameLength;
    path[gZex.pathLength++] = '\\';
    gZex.componentEnds[gZex.componentCount++] = static_cast<uint16_t>(gZex.pathLength);
  } else {
    std::memcpy(path + gZex.pathLength, name, room);
    gZex.pathLength += room;
    gZex.pathCut = true;
  }
  path[gZex.pathLength] = '\0';
}

// Converts the entry's local DOS stamp to UTC; a stamp that does not convert gives zero.
void FillTimes(const uint8_t* entry, ItemRecord* item) {
  FileTime local;
  FileTime utc;
  if (!platform::DosDateTimeToFileTime(LoadU16(entry + zex::kDateAt), LoadU16(entry + zex::kTimeAt),
                                       &local) ||
      !platform::LocalFileTimeToFileTime(&local, &utc)) {
    utc = FileTime{0, 0};
  }
  item->ftCreationTime = utc;
  item->ftLastAccessTime = utc;
  item->ftLastWriteTime = utc;
}

// Reads the entry's description, when it has one; returns the item's result.
int FillDescription(const uint8_t* entry, ItemDetails* details) {
  const uint32_t noteRef = LoadU32(entry + zex::kNoteRefAt);
  if (noteRef == 0) return StatusOk;
  const uint32_t note = gZex.noteBase + noteRef - 1;  // wraps, as offsets are 32-bit
  uint8_t lengthField[2];
  if (ReadAt(gZex.catalogue, note, lengthField, 2) != StatusOk) return StatusDamaged;
  uint32_t length = LoadU16(lengthField);
  if (length > kDescriptionSize - 1) length = kDescriptionSize - 1;
  if (ReadShortAt(gZex.catalogue, note + 2, details->description, length) != StatusOk) {
    details->description[0] = '\0';
    return StatusDamaged;
  }
  details->description[length] = '\0';
  return StatusOk;
}

}  // namespace

CatalogueState& ModuleCatalogue() {
  return gZex.catalogue;
}

void ReleaseFormatMemory() {}

extern "C" {

int FMT_CALL IsArchive(const char* /*candidateName*/, const unsigned char* data,
                       uint32_t dataSize) {
  return zex::Probe(data, dataSize) ? 1 : 0;
}

int FMT_CALL OpenArchive(const char* fileName, int32_t* formatTypeOut) {
  if (OpenCatalogue(gZex.catalogue, fileName) == 0) return 0;
  ResetCursors();
  uint8_t header[zex::kHeaderSize];
  if (ReadAt(gZex.catalogue, 0, header, zex::kHeaderSize) != StatusOk) {
    CloseCatalogue(gZex.catalogue);
    return 0;
  }
  gZex.dirRemaining = LoadU32(header + zex::kDirTableSizeAt) / zex::kDirRecordSize;
  gZex.noteBase = LoadU32(header + zex::kNoteBaseAt);
  gZex.listingDirectories = true;
  if (gZex.dirRemaining != 0) {
    gZex.entryTable = LoadU32(header + zex::kEntryTableOffsetAt);
    gZex.dirCursor = LoadU32(header + zex::kDirTableOffsetAt);
    uint8_t record[zex::kDirRecordSize];
    if (ReadAt(gZex.catalogue, gZex.dirCursor, record, zex::kDirRecordSize) != StatusOk) {
      CloseCatalogue(gZex.catalogue);
      return 0;
    }
    // A first record of level 0 is the root: not an item, its entries are the top-level files.
    if (LoadU16(record + zex::kLevelAt) == 0) {
      --gZex.dirRemaining;
      gZex.dirCursor += zex::kDirRecordSize;
      gZex.entryRemaining = LoadU16(record + zex::kEntryCountAt);
      if (gZex.entryRemaining != 0) {
        gZex.listingDirectories = false;
        gZex.entryCursor =
            gZex.entryTable + uint32_t{LoadU16(record + zex::kFirstEntryAt)} * zex::kEntrySize;
      }
    }
  }
  gZex.formatVersion = 0x300u + LoadU16(header + zex::kFormatMinorAt);
  *formatTypeOut = 0;
  return 1;
}

int FMT_CALL GetArcItem(ItemRecord* item, ItemDetails* details) {
  if (!gZex.catalogue.active) return StatusEnd;  // finished, closed or never opened
  uint8_t record[zex::kDirRecordSize];
  const uint8_t* entry;
  bool isDirectory = gZex.listingDirectories;
  if (isDirectory) {
    if (gZex.dirRemaining == 0) {
      ReleaseState(gZex.catalogue);
      return StatusEnd;
    }
    // Records are read in place: a pointer into the image when the file is held.
    int read = StatusOk;
    const uint8_t* directory =
        ViewAt(gZex.catalogue, gZex.dirCursor, zex::kDirRecordSize, record, &read);
    if (directory == nullptr) return read;
    // Back to the parent's path: levels 0 and 1 keep no component, level n keeps n - 1.
    const uint32_t level = LoadU16(directory + zex::kLevelAt);
    CutPathTo(level <= 1 ? 0 : level - 1);
    entry = directory + zex::kDirEntryAt;
    gZex.entryRemaining = LoadU16(directory + zex::kEntryCountAt);
    if (gZex.entryRemaining != 0) {
      gZex.listingDirectories = false;
      gZex.entryCursor =
          gZex.entryTable + uint32_t{LoadU16(directory + zex::kFirstEntryAt)} * zex::kEntrySize;
    }
    if (--gZex.dirRemaining != 0) gZex.dirCursor += zex::kDirRecordSize;
  } else {
    int read = StatusOk;
    entry = ViewAt(gZex.catalogue, gZex.entryCursor, zex::kEntrySize, record, &read);
    if (entry == nullptr) return read;
    if (--gZex.entryRemaining != 0) {
      gZex.entryCursor += zex::kEntrySize;
    } else {
      gZex.listingDirectories = true;
    }
  }

  int result = StatusOk;
  const uint8_t attributes = entry[zex::kAttributesAt] & zex::kTakenAttributes;
  item->dwFileAttributes =
      kAttrOffline | attributes | (isDirectory ? uint32_t{kAttrDirectory} : 0u);
  item->nFileSizeLow = isDirectory ? 0 : LoadU32(entry + zex::kSizeAt);
  item->nFileSizeHigh = 0;
  item->packedSizeHigh = 0;
  item->packedSizeLow = item->nFileSizeLow;
  FillTimes(entry, item);

  // The name goes out from registers: written with its zero byte in one or two stores.
  const zex::PackedName name = zex::PackShortName(entry);
  const uint32_t nameLength = name.length;
  zex::WritePackedName(name, item->cAlternateFileName, nameLength + 1);

  // The path and the name, cut to 259 characters when they do not fit.
  uint32_t pathLength = gZex.pathLength;
  CopyBytes(item->cFileName, gZex.catalogue.pathBuffer, pathLength);
  if (nameLength <= kMaxPathText - pathLength) {
    zex::WritePackedName(name, item->cFileName + pathLength, nameLength + 1);
  } else {
    const uint32_t copied = kMaxPathText - pathLength;
    zex::WritePackedName(zex::CutPackedName(name, copied), item->cFileName + pathLength,
                         copied + 1);
    result = StatusDamaged;
  }
  if (gZex.pathCut) result = StatusDamaged;

  if (isDirectory) {
    char text[2 * sizeof(uint64_t)];
    zex::WritePackedName(name, text, sizeof text);
    EnterDirectory(text, nameLength);
  }

  const int described = FillDescription(entry, details);
  if (described != StatusOk) result = described;
  std::memcpy(details->hostSystem, kHostSystemName, sizeof(kHostSystemName));
  details->formatVersion = gZex.formatVersion;
  return result;
}

}  // extern "C"
