// mur_fmt: lists a MUR catalogue to the host, one item per GetArcItem call.
//
// The walk is depth-first over the linked nodes: a node, then (for a directory) everything
// inside it, then everything reached through its firstLink, then through its secondLink.
// Nodes with links still to follow wait on a stack of PendingNode records; pathBuffer holds
// the path of the directory being listed. Names and descriptions reach the host in the OEM
// character set.
#include <cstdlib>
#include <cstring>

#include "core/bytes.h"
#include "core/catalogue_state.h"
#include "interface/format_module.h"
#include "mur/mur_format.h"
#include "platform/platform.h"

const char kFormatName[] = "MUR";
const char kHostSystemName[] = "Win32";

namespace {

// cFileName and pathBuffer hold 259 characters and a zero byte.
constexpr uint32_t kMaxPathText = kPathBufferSize - 1;
constexpr uint32_t kMaxNameText = kFileNameSize - 1;

// No attribute comes from the catalogue: every file is offline, archive and read-only.
constexpr uint32_t kFileAttributes = kAttrOffline | kAttrArchive | kAttrReadOnly;
constexpr uint32_t kDirectoryAttributes = kFileAttributes | kAttrDirectory;

// How far ahead of the node being listed the image is fetched (a few dozen items' worth of
// nodes and texts, enough to cover a memory access at the walk's pace), and how much each
// item fetches: two cache lines, more than an item takes on average, so the fetching keeps
// ahead of the walk.
constexpr uint32_t kReadAhead = 2048;
constexpr uint32_t kReadAheadLines = 2;

// A listed node whose links may still have to be followed.
struct PendingNode {
  uint32_t firstLink;   // 0 once followed
  uint32_t secondLink;  // 0 once followed
  uint32_t childLink;   // a directory's first node inside; 0 for a file or once followed
  // Where pathBuffer stood before this directory's name was added: leaving the directory
  // cuts back to exactly this, whatever its name held.
  uint32_t pathLengthBefore;
  bool pathCutBefore;
  bool descended;  // the walk is inside this node's directory
  PendingNode* below;
};

struct MurState {
  CatalogueState catalogue;
  uint32_t nextNode;  // the node to list on the next call; 0 when none
  uint32_t formatVersion;
  PendingNode* top;
  // Popped nodes kept for reuse, so that a long listing does not call the heap per item.
  PendingNode* spare;
  // One bit per byte offset of the file: set once a node there has been chosen for listing.
  // A link back to such a node is not followed, so every node is listed once and the walk
  // ends whatever the links hold.
  uint8_t* scheduled;
  uint32_t scheduledLimit;  // offsets from here on are past the end of the file
  uint32_t pathLength;
  // A directory was entered whose path did not fit: pathBuffer is incomplete, and every item
  // listed until the walk leaves that depth is reported as damaged.
  bool pathCut;
};

MurState gMur;

void FreeNodes(PendingNode* node) {
  while (node != nullptr) {
    PendingNode* below = node->below;
    std::free(node);
    node = below;
  }
}

void ResetCursors() {
  CatalogueState catalogue = gMur.catalogue;
  gMur = MurState{};
  gMur.catalogue = catalogue;
}

// A file whose size the platform could not tell may hold a node at any 32-bit offset.
bool AllocateSchedule() {
  const uint32_t limit = gMur.catalogue.fileSize;
  gMur.scheduled = static_cast<uint8_t*>(std::calloc(size_t{limit >> 3} + 1, 1));
  if (gMur.scheduled == nullptr) return false;
  gMur.scheduledLimit = limit;
  return true;
}

// Marks the node at `link` as chosen; false when it already was.
bool Schedule(uint32_t link) {
  if (link >= gMur.scheduledLimit) return true;  // no node there: its read will fail
  uint8_t& byte = gMur.scheduled[link >> 3];
  const uint8_t bit = static_cast<uint8_t>(1u << (link & 7));
  if ((byte & bit) != 0) return false;
  byte = static_cast<uint8_t>(byte | bit);
  return true;
}

PendingNode* TakeNode() {
  PendingNode* node = gMur.spare;
  if (node == nullptr) return static_cast<PendingNode*>(std::malloc(sizeof(PendingNode)));
  gMur.spare = node->below;
  return node;
}

void PopNode() {
  PendingNode* node = gMur.top;
  gMur.top = node->below;
  node->below = gMur.spare;
  gMur.spare = node;
}

void EnterDirectory(PendingNode* node, const char* name, uint32_t nameLength) {
  node->pathLengthBefore = gMur.pathLength;
  node->pathCutBefore = gMur.pathCut;
  node->descended = true;
  char* path = gMur.catalogue.pathBuffer;
  const uint32_t room = kMaxPathText - gMur.pathLength;
  if (nameLength + 1 <= room) {
    std::memcpy(path + gMur.pathLength, name, nameLength);
    gMur.pathLength += nameLength;
    path[gMur.pathLength++] = '\\';
  } else {
    // Too deep for a complete path: keep what fits, as the item's own cFileName did.
    const uint32_t kept = nameLength < room ? nameLength : room;
    std::memcpy(path + gMur.pathLength, name, kept);
    gMur.pathLength += kept;
    gMur.pathCut = true;
  }
  path[gMur.pathLength] = '\0';
}

void LeaveDirectory(PendingNode* node) {
  gMur.pathLength = node->pathLengthBefore;
  gMur.pathCut = node->pathCutBefore;
  gMur.catalogue.pathBuffer[gMur.pathLength] = '\0';
  node->descended = false;
}

// Chooses what the next call lists from the pending nodes, starting with the links of the one
// on top. Coming back to a node it descended from, the walk leaves that directory; a node with
// no link left leaves the stack. Links back to a node already chosen are dropped, making the
// result 2. With no node left the listing ends. Returns the item's result.
int FollowPendingLinks(int result) {
  for (PendingNode* top = gMur.top; top != nullptr; top = gMur.top) {
    if (top->descended) LeaveDirectory(top);
    while (top->firstLink != 0 || top->secondLink != 0) {
      uint32_t& slot = top->firstLink != 0 ? top->firstLink : top->secondLink;
      const uint32_t link = slot;
      slot = 0;
      if (!Schedule(link)) {
        result = StatusDamaged;
        continue;
      }
      gMur.nextNode = link;
      // A node with nothing left to give leaves the stack now, so that a chain of siblings
      // does not pile up. Its directory, if any, was already left.
      if (top->firstLink == 0 && top->secondLink == 0) PopNode();
      return result;
    }
    PopNode();
  }
  ReleaseState(gMur.catalogue);
  gMur.nextNode = 0;
  return result;
}

// The walk step after a node that was pushed: into its directory, else along its links.
int StepFromPushedNode(const char* ownName, uint32_t ownLength, int result) {
  PendingNode* top = gMur.top;
  if (top->childLink != 0) {
    const uint32_t child = top->childLink;
    top->childLink = 0;
    if (Schedule(child)) {
      EnterDirectory(top, ownName, ownLength);
      gMur.nextNode = child;
      return result;
    }
    result = StatusDamaged;
  }
  return FollowPendingLinks(result);
}

// The walk step after a file with at most one link (`link`, 0 for none), which is never
// pushed: it would leave the stack in this same step. Most items are such files.
int StepFromFile(uint32_t link, int result) {
  if (link != 0) {
    if (Schedule(link)) {
      gMur.nextNode = link;
      return result;
    }
    result = StatusDamaged;
  }
  return FollowPendingLinks(result);
}

// Writes an inline text of a `field`-byte area (ending at its first zero byte or filling
// the area) with what fits of `room` characters and a zero byte. Returns its length; `*high`
// tells whether a byte above 0x7F was written, measured on the field, not on `dest`.
uint32_t PutInline(char* dest, const uint8_t* field, uint32_t fieldSize, uint32_t room, bool* cut,
                   bool* high) {
  const TextMeasure text = MeasureText(field, fieldSize);
  uint32_t length = text.length;
  *high = text.hasHighByte;
  if (length > room) {
    length = room;
    *cut = true;
    *high = HasHighByte(field, length);
  }
  CopyBytes(dest, field, length);
  dest[length] = '\0';
  return length;
}

// Appends "." and the extension chain to the name of `*length` characters at `name`, and
// moves `*length` to the end of the whole text (the extension's first zero byte, if it holds
// one); `*high` is set when the extension holds a byte above 0x7F. Returns 0 when a chunk of
// the chain could not be read.
int PutExtension(char* name, uint32_t* length, uint32_t room, uint32_t link, bool* cut,
                 bool* high) {
  if (*length + 1 > room) {  // not even the "." fits
    *cut = true;
    return 1;
  }
  char* extension = name + *length + 1;
  name[*length] = '.';
  bool extensionCut = false;
  uint32_t written = 0;
  TextMeasure text{0, false};
  const int read = mur::ReadChain(gMur.catalogue, link, extension, room - *length, &written,
                                  &extensionCut, &text);
  if (extensionCut) *cut = true;
  if (text.hasHighByte) *high = true;
  *length += 1 + text.length;
  return read;
}

// The text in `description` up to its first zero byte, or all 256 bytes when the host
// passed none: nothing beyond the field is read or written. Runs on every item, whatever
// this item wrote, so the text is measured in one pass, many bytes at a time, unless the item
// wrote it from a chain that measured it already (`known`).
void ConvertDescription(char* description, const TextMeasure* known) {
  const TextMeasure text = known != nullptr ? *known : MeasureText(description, kDescriptionSize);
  if (text.length < kDescriptionSize) {
    if (text.hasHighByte) platform::CharToOem(description);
    return;
  }
  char whole[kDescriptionSize + 1];
  std::memcpy(whole, description, kDescriptionSize);
  whole[kDescriptionSize] = '\0';
  platform::CharToOem(whole);
  std::memcpy(description, whole, kDescriptionSize);
}

// The stamp is converted with no time-zone step; one that does not convert gives zero.
void FillTimes(uint32_t stamp, ItemRecord* item) {
  FileTime time{0, 0};
  if (!platform::DosDateTimeToFileTime(static_cast<uint16_t>(stamp >> 16),
                                       static_cast<uint16_t>(stamp), &time)) {
    time = FileTime{0, 0};
  }
  item->ftCreationTime = time;
  item->ftLastAccessTime = time;
  item->ftLastWriteTime = time;
}

}  // namespace

CatalogueState& ModuleCatalogue() {
  return gMur.catalogue;
}

void ReleaseFormatMemory() {
  FreeNodes(gMur.top);
  gMur.top = nullptr;
  FreeNodes(gMur.spare);
  gMur.spare = nullptr;
  std::free(gMur.scheduled);
  gMur.scheduled = nullptr;
  gMur.scheduledLimit = 0;
  gMur.nextNode = 0;
  gMur.pathLength = 0;
  gMur.pathCut = false;
}

extern "C" {

int FMT_CALL IsArchive(const char* /*candidateName*/, const unsigned char* data,
                       uint32_t dataSize) {
  return mur::Probe(data, dataSize) ? 1 : 0;
}

int FMT_CALL OpenArchive(const char* fileName, int32_t* formatTypeOut) {
  if (OpenCatalogue(gMur.catalogue, fileName) == 0) return 0;
  ResetCursors();
  uint8_t header[mur::kHeaderSize];
  if (ReadAt(gMur.catalogue, 0, header, mur::kHeaderSize) != StatusOk || !AllocateSchedule()) {
    CloseCatalogue(gMur.catalogue);
    return 0;
  }
  gMur.formatVersion = LoadU32(header + mur::kVersionAt) << 8;
  gMur.nextNode = LoadU32(header + mur::kRootNodeAt);
  if (gMur.nextNode != 0) Schedule(gMur.nextNode);
  *formatTypeOut = 0;
  return 1;
}

int FMT_CALL GetArcItem(ItemRecord* item, ItemDetails* details) {
  if (!gMur.catalogue.active || gMur.nextNode == 0) return StatusEnd;
  // Past the size known at open there is no node, with or without the image; the schedule
  // covers exactly the offsets below it.
  if (gMur.nextNode >= gMur.scheduledLimit) return StatusPastEnd;
  // The node is read in place: a pointer into the image when the file is held.
  uint8_t scratch[mur::kNodeSize];
  int read = StatusOk;
  const uint8_t* node = ViewAt(gMur.catalogue, gMur.nextNode, mur::kNodeSize, scratch, &read);
  if (node == nullptr) return read;
  // Writers lay the nodes and their texts out in listing order, so the walk runs through the
  // file front to back; fetching well ahead of it hides the memory's latency in a catalogue
  // too big for the caches. (Any other layout still lists the same, without the gain.)
  PrefetchLines(gMur.catalogue, gMur.nextNode + kReadAhead, kReadAheadLines);
  const uint32_t flags = LoadU32(node + mur::kFlagsAt);
  const bool isDirectory = (flags & mur::kDirectoryFlag) != 0;
  const uint32_t sizeOrChild = LoadU32(node + mur::kSizeOrChildAt);
  const uint32_t firstLink = LoadU32(node + mur::kFirstLinkAt);
  const uint32_t secondLink = LoadU32(node + mur::kSecondLinkAt);
  // A directory, or a node with two links, waits on the stack for the walk to come back.
  const bool pushed = isDirectory || (firstLink != 0 && secondLink != 0);
  if (pushed) {
    PendingNode* pending = TakeNode();
    if (pending == nullptr) return StatusReadError;
    pending->firstLink = firstLink;
    pending->secondLink = secondLink;
    pending->childLink = isDirectory ? sizeOrChild : 0;
    pending->pathLengthBefore = 0;
    pending->pathCutBefore = false;
    pending->descended = false;
    pending->below = gMur.top;
    gMur.top = pending;
  }

  int result = gMur.pathCut ? StatusDamaged : StatusOk;
  item->dwFileAttributes = isDirectory ? kDirectoryAttributes : kFileAttributes;
  item->nFileSizeHigh = 0;
  item->nFileSizeLow = isDirectory ? 0 : sizeOrChild;
  item->packedSizeHigh = 0;
  item->packedSizeLow = item->nFileSizeLow;
  FillTimes(LoadU32(node + mur::kStampAt), item);

  // The path, then the item's own name with what fits of the 259 characters.
  CopyBytes(item->cFileName, gMur.catalogue.pathBuffer, gMur.pathLength);
  char* ownName = item->cFileName + gMur.pathLength;
  const uint32_t room = kMaxNameText - gMur.pathLength;
  const uint8_t* area = node + mur::kNameAreaAt;
  const uint32_t kindLink = LoadU32(node + mur::kKindLinkAt);
  bool cut = false;
  bool textFailed = false;
  bool high = false;  // a byte above 0x7F in the own name
  // The description as a chain wrote it: its text ends within the field, at the zero byte
  // the chain wrote last if not before.
  TextMeasure description{0, false};
  const TextMeasure* descriptionKnown = nullptr;
  uint32_t ownLength = 0;  // up to the own name's first zero byte, extension included
  uint32_t unused = 0;
  switch ((flags >> mur::kNameKindShift) & mur::kNameKindMask) {
    case 0:
      ownLength = PutInline(ownName, area, mur::kLongInlineName, room, &cut, &high);
      break;
    case 1:
      ownLength = PutInline(ownName, area, mur::kShortInlineName, room, &cut, &high);
      if (kindLink != 0 && PutExtension(ownName, &ownLength, room, kindLink, &cut, &high) == 0) {
        textFailed = true;
      }
      break;
    case 2:
      ownLength = PutInline(ownName, area, mur::kShortInlineName, room, &cut, &high);
      if (mur::ReadChainOrNone(gMur.catalogue, kindLink, details->description, kDescriptionSize,
                               &unused, nullptr, &description) == 0) {
        textFailed = true;
      }
      descriptionKnown = &description;
      break;
    default: {
      uint32_t written = 0;
      TextMeasure name{0, false};
      const int nameRead = mur::ReadChain(gMur.catalogue, LoadU32(node + mur::kNameChainAt),
                                          ownName, room + 1, &written, &cut, &name);
      ownLength = name.length;
      high = name.hasHighByte;
      if (nameRead == 0) {
        textFailed = true;
        break;
      }
      const uint32_t extensionLink = LoadU32(node + mur::kExtensionChainAt);
      if (extensionLink != 0 &&
          PutExtension(ownName, &ownLength, room, extensionLink, &cut, &high) == 0) {
        textFailed = true;
        break;
      }
      if (mur::ReadChainOrNone(gMur.catalogue, kindLink, details->description, kDescriptionSize,
                               &unused, nullptr, &description) == 0) {
        textFailed = true;
      }
      descriptionKnown = &description;
      break;
    }
  }
  if (cut || textFailed) result = StatusDamaged;

  // Converted before the walk step, so that the path a directory adds holds converted names.
  // Bytes below 0x80 are the same in the ANSI and the OEM character sets, so a text without
  // higher bytes is left as it is; the conversion never changes a text's length.
  if (high) platform::CharToOem(ownName);
  ConvertDescription(details->description, descriptionKnown);
  std::memcpy(details->hostSystem, kHostSystemName, sizeof(kHostSystemName));
  details->formatVersion = gMur.formatVersion;

  return pushed ? StepFromPushedNode(ownName, ownLength, result)
                : StepFromFile(firstLink | secondLink, result);
}

}  // extern "C"
