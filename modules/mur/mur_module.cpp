// mur_fmt: lists a MUR catalogue to the host, one item per GetArcItem call.
//
// The walk is depth-first over the linked nodes: a node, then (for a directory) everything
// inside it, then everything reached through its firstLink, then through its secondLink.
// Nodes with links still to follow wait on a stack of PendingNode records; pathBuffer holds
// the path of the directory being listed. Names and descriptions reach the host in the OEM
// character set.
#include <cstdlib>
#include <cstring>

#include "modules/core/bytes.h"
#include "modules/core/catalogue_state.h"
#include "modules/interface/format_module.h"
#include "modules/mur/mur_format.h"
#include "modules/platform/platform.h"

const char kFormatName[] = "MUR";
const char kHostSystemName[] = "Win32";

bool ProbeFormat(const uint8_t* data, uint32_t dataSize) {
  return mur::Probe(data, dataSize);
}

namespace {

// No attribute comes from the catalogue: every file is offline, archive and read-only.
constexpr uint32_t kFileAttributes = kAttrOffline | kAttrArchive | kAttrReadOnly;
constexpr uint32_t kDirectoryAttributes = kFileAttributes | kAttrDirectory;

// How far ahead of the node being listed the image is fetched (a few dozen items' worth of
// nodes and texts, enough to cover a memory access at the walk's pace), and how much each
// item fetches: two cache lines, more than an item takes on average.
constexpr uint32_t kReadAhead = 2048;
constexpr uint32_t kReadAheadBytes = 128;

// A listed node whose links may still have to be followed.
struct PendingNode {
  uint32_t firstLink;   // 0 once followed
  uint32_t secondLink;  // 0 once followed
  uint32_t childLink;   // a directory's first node inside; 0 for a file or once followed
  PathMark pathBefore;  // where the path stood before this directory's name was added
  bool descended;       // the walk is inside this node's directory
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
};

MurState gMur;

// The fields of a node record.
struct Node {
  uint32_t firstLink;
  uint32_t secondLink;
  uint32_t sizeOrChild;
  uint32_t stamp;
  bool isDirectory;
  mur::NameKind kind;
  const uint8_t* nameArea;
  uint32_t kindLink;  // kind 1 extension; kinds 2 and 3 description
  uint32_t nameChain;
  uint32_t extensionChain;
};

// The item's own name as written into cFileName.
struct OwnName {
  char* text;
  uint32_t length;  // up to its first zero byte, extension included
  bool hasHighByte;
  bool cut;     // it did not fit into cFileName
  bool failed;  // a chain of it could not be read
};

void FreeNodes(PendingNode* node) {
  while (node != nullptr) {
    PendingNode* below = node->below;
    std::free(node);
    node = below;
  }
}

// Frees the walk's own memory, then the catalogue's.
void ReleaseWalk() {
  FreeNodes(gMur.top);
  gMur.top = nullptr;
  FreeNodes(gMur.spare);
  gMur.spare = nullptr;
  std::free(gMur.scheduled);
  gMur.scheduled = nullptr;
  gMur.scheduledLimit = 0;
  gMur.nextNode = 0;
  ReleaseState(gMur.catalogue);
}

// The schedule holds one bit per byte offset: offset `link` is bit link & kScheduleBitMask of
// byte link >> kScheduleByteShift. Offsets are 32-bit, so the bitmap is at most 2^32 / 8 bytes,
// 512 MiB, whatever size the file has.
constexpr uint32_t kScheduleByteShift = 3;  // eight offsets to a byte
constexpr uint32_t kScheduleBitMask = 7;

// A file whose size the platform could not tell may hold a node at any 32-bit offset.
bool AllocateSchedule() {
  const uint32_t limit = gMur.catalogue.fileSize;
  gMur.scheduled = static_cast<uint8_t*>(std::calloc(size_t{limit >> kScheduleByteShift} + 1, 1));
  if (gMur.scheduled == nullptr) return false;
  gMur.scheduledLimit = limit;
  return true;
}

// Marks the node at `link` as chosen; false when it already was.
bool Schedule(uint32_t link) {
  if (link >= gMur.scheduledLimit) return true;  // no node there: its read will fail
  uint8_t& byte = gMur.scheduled[link >> kScheduleByteShift];
  const uint8_t bit = static_cast<uint8_t>(1u << (link & kScheduleBitMask));
  if ((byte & bit) != 0) return false;
  byte = static_cast<uint8_t>(byte | bit);
  return true;
}

// Step 1: the node's fields.
Node DecodeNode(const uint8_t* record) {
  const uint32_t flags = LoadU32(record + mur::kFlagsField);
  return {LoadU32(record + mur::kFirstLinkField),
          LoadU32(record + mur::kSecondLinkField),
          LoadU32(record + mur::kSizeOrChildField),
          LoadU32(record + mur::kStampField),
          (flags & mur::kDirectoryFlag) != 0,
          mur::NameKindOf(flags),
          record + mur::kNameAreaField,
          LoadU32(record + mur::kKindLinkField),
          LoadU32(record + mur::kNameChainField),
          LoadU32(record + mur::kExtensionChainField)};
}

// A directory, or a node with two links, waits on the stack for the walk to come back; most
// items are files with at most one link, which would leave the stack in the same call.
bool WaitsOnStack(const Node& node) {
  return node.isDirectory || (node.firstLink != 0 && node.secondLink != 0);
}

bool PushNode(const Node& node) {
  PendingNode* pending = gMur.spare;
  if (pending != nullptr) {
    gMur.spare = pending->below;
  } else {
    pending = static_cast<PendingNode*>(std::malloc(sizeof(PendingNode)));
    if (pending == nullptr) return false;
  }
  *pending =
      PendingNode{node.firstLink,        node.secondLink, node.isDirectory ? node.sizeOrChild : 0,
                  PathMark{0, 0, false}, false,           gMur.top};
  gMur.top = pending;
  return true;
}

void PopNode() {
  PendingNode* node = gMur.top;
  gMur.top = node->below;
  node->below = gMur.spare;
  gMur.spare = node;
}

// Writes an inline text of a `fieldSize`-byte area (ending at its first zero byte or filling
// the area) with what fits of the room and a zero byte.
void PutInline(OwnName& name, const uint8_t* field, uint32_t fieldSize, uint32_t room) {
  const TextMeasure text = MeasureText(field, fieldSize);
  name.cut = text.length > room;
  name.length = name.cut ? room : text.length;
  name.hasHighByte = name.cut ? MeasureText(field, room).hasHighByte : text.hasHighByte;
  CopyBytes(name.text, field, name.length);
  name.text[name.length] = '\0';
}

// Appends "." and the extension chain at `link` to the name; its length then runs to the
// extension's first zero byte.
void PutExtension(OwnName& name, uint32_t room, uint32_t link) {
  if (name.length + 1 > room) {  // not even the "." fits
    name.cut = true;
    return;
  }
  name.text[name.length] = '.';
  const mur::ChainText extension =
      mur::ReadChain(gMur.catalogue, link, name.text + name.length + 1, room - name.length, true);
  name.length += 1 + extension.length;
  name.hasHighByte = name.hasHighByte || extension.hasHighByte;
  name.cut = name.cut || extension.cut;
  name.failed = !extension.complete;
}

// Step 2: the item's own name by the node's NameKind, written at `text` with `room`
// characters and a zero byte at most.
OwnName FillName(const Node& node, char* text, uint32_t room) {
  OwnName name{text, 0, false, false, false};
  if (node.kind == mur::NameKind::Chains) {
    const mur::ChainText chain =
        mur::ReadChain(gMur.catalogue, node.nameChain, text, room + 1, true);
    name = OwnName{text, chain.length, chain.hasHighByte, chain.cut, !chain.complete};
    if (!name.failed && node.extensionChain != 0) PutExtension(name, room, node.extensionChain);
    return name;
  }
  const bool longName = node.kind == mur::NameKind::LongInline;
  PutInline(name, node.nameArea, longName ? mur::kLongInlineName : mur::kShortInlineName, room);
  if (node.kind == mur::NameKind::InlineWithExtension && node.kindLink != 0) {
    PutExtension(name, room, node.kindLink);
  }
  return name;
}

// Step 3: the description, for the kinds that have one (kind 3 only when its name was read),
// then converted to the OEM character set with whatever the field holds, on every item.
// Returns false when its chain could not be read.
bool FillDescription(const Node& node, const OwnName& name, char* description) {
  bool described = true;
  TextMeasure text;
  const bool hasDescription = node.kind == mur::NameKind::InlineWithDescription ||
                              (node.kind == mur::NameKind::Chains && !name.failed);
  if (hasDescription && node.kindLink == 0) {
    // Most nodes have no description: the empty text, without the chain reader's set-up.
    description[0] = '\0';
    text = TextMeasure{0, false};
  } else if (hasDescription) {
    const mur::ChainText chain =
        mur::ReadChain(gMur.catalogue, node.kindLink, description, kDescriptionSize, false);
    described = chain.complete;
    text = TextMeasure{chain.length, chain.hasHighByte};
  } else {
    // The host's text up to its first zero byte, or all 256 bytes when it passed none:
    // nothing beyond the field is read or written.
    text = MeasureText(description, kDescriptionSize);
  }
  // Bytes below 0x80 are the same in the ANSI and the OEM character sets, so a text without
  // higher bytes is left as it is; the conversion never changes a text's length.
  if (text.length < kDescriptionSize) {
    if (text.hasHighByte) platform::CharToOem(description);
  } else {
    char whole[kDescriptionSize + 1];
    std::memcpy(whole, description, kDescriptionSize);
    whole[kDescriptionSize] = '\0';
    platform::CharToOem(whole);
    std::memcpy(description, whole, kDescriptionSize);
  }
  return described;
}

// Chooses what the next call lists from the pending nodes, starting with the links of the one
// on top. Coming back to a node it descended from, the walk leaves that directory; a node with
// no link left leaves the stack. Links back to a node already chosen are dropped, making the
// result 2. With no node left the listing ends. Returns the item's result.
int FollowPendingLinks(int result) {
  for (PendingNode* top = gMur.top; top != nullptr; top = gMur.top) {
    if (top->descended) {
      RestorePath(gMur.catalogue, top->pathBefore);
      top->descended = false;
    }
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
  ReleaseWalk();
  return result;
}

// Step 4, the walk: into the node's directory, else along its links (a file with at most
// one link was not pushed: its link is `link`), else back to the pending nodes.
int AdvanceWalk(const Node& node, bool pushed, const OwnName& name, int result) {
  const uint32_t link = pushed ? gMur.top->childLink : node.firstLink | node.secondLink;
  if (link != 0) {
    if (pushed) gMur.top->childLink = 0;
    if (Schedule(link)) {
      if (pushed) {
        gMur.top->pathBefore = MarkPath(gMur.catalogue);
        gMur.top->descended = true;
        EnterDirectory(gMur.catalogue, name.text, name.length);
      }
      gMur.nextNode = link;
      return result;
    }
    result = StatusDamaged;
  }
  return FollowPendingLinks(result);
}

}  // namespace

extern "C" {

int FMT_CALL OpenArchive(const char* fileName, int32_t* formatTypeOut) {
  ReleaseWalk();
  if (OpenCatalogue(gMur.catalogue, fileName) == 0) return 0;
  ResetCursors(gMur);
  uint8_t header[mur::kHeaderSize];
  if (ReadAt(gMur.catalogue, 0, header, mur::kHeaderSize) != StatusOk || !AllocateSchedule()) {
    CloseCatalogue(gMur.catalogue);
    return 0;
  }
  gMur.formatVersion = LoadU32(header + mur::kVersionField) << mur::kFormatVersionShift;
  gMur.nextNode = LoadU32(header + mur::kRootNodeField);
  if (gMur.nextNode != 0) Schedule(gMur.nextNode);
  *formatTypeOut = 0;
  return 1;
}

int FMT_CALL GetArcItem(ItemRecord* item, ItemDetails* details) {
  if (!gMur.catalogue.active || gMur.nextNode == 0) return StatusEnd;
  // Past the size known at open there is no node, with or without the image; the schedule
  // covers exactly the offsets below it.
  if (gMur.nextNode >= gMur.scheduledLimit) return StatusPastEnd;
  uint8_t scratch[mur::kNodeSize];
  const Fetched record = FetchAt(gMur.catalogue, gMur.nextNode, mur::kNodeSize, scratch);
  if (record.bytes == nullptr) return record.status;
  // Writers lay the nodes and their texts out in listing order, so the walk runs through the
  // file front to back; fetching well ahead of it hides the memory's latency in a catalogue
  // too big for the caches. (Any other layout still lists the same, without the gain.)
  Prefetch(gMur.catalogue, gMur.nextNode + kReadAhead, kReadAheadBytes);
  const Node node = DecodeNode(record.bytes);
  const bool pushed = WaitsOnStack(node);
  if (pushed && !PushNode(node)) return StatusReadError;

  FillItemFields(item, node.isDirectory ? kDirectoryAttributes : kFileAttributes,
                 node.isDirectory ? 0 : node.sizeOrChild, node.stamp, StampZone::Utc);
  const int pathResult = gMur.catalogue.pathCut ? StatusDamaged : StatusOk;
  char* ownName = WritePath(gMur.catalogue, item);
  const OwnName name = FillName(node, ownName, kMaxPathText - gMur.catalogue.pathLength);
  const bool described = FillDescription(node, name, details->description);
  // Converted before the walk step, so that the path a directory adds holds converted names.
  if (name.hasHighByte) platform::CharToOem(name.text);
  std::memcpy(details->hostSystem, kHostSystemName, sizeof(kHostSystemName));
  details->formatVersion = gMur.formatVersion;
  const bool damaged = name.cut || name.failed || !described;
  return AdvanceWalk(node, pushed, name, damaged ? StatusDamaged : pathResult);
}

int FMT_CALL CloseArchive(CloseRecord* closeRecord) {
  closeRecord->fields[kCloseDoneField] = kCloseDone;
  ReleaseWalk();
  return CloseCatalogue(gMur.catalogue);
}

}  // extern "C"
