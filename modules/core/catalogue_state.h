// The one open catalogue of a module: its file, its whole-file image, the path of the
// directory being listed, and the ranged read through which every record is fetched.
#pragma once

#include <cstdint>
#include <cstring>

#include "modules/core/bytes.h"
#include "modules/interface/host_interface.h"
#include "modules/platform/platform.h"

constexpr uint32_t kPathBufferSize = kFileNameSize;  // 259 characters and the zero byte
constexpr uint32_t kMaxPathText = kPathBufferSize - 1;

// Where the path stood: leaving a directory restores exactly this, whatever its name held.
struct PathMark {
  uint32_t length;
  uint32_t componentCount;
  bool cut;
};

struct CatalogueState {
  platform::FileHandle handle;  // from OpenArchive until CloseArchive
  uint32_t fileSize;            // as reported at open; kSizeUnknown when the platform failed
  uint8_t* fileImage;           // the whole file, or nullptr: reads then go to the file
  char* pathBuffer;             // 260 bytes: the path of the directory being listed
  bool active;                  // pathBuffer (and fileImage, if any) are allocated
  // pathBuffer as components: where each complete component (its name and backslash) ends.
  // A directory whose name does not fit leaves a cut, incomplete component behind it
  // (`pathCut`); the items listed until the walk leaves that depth are reported as damaged.
  uint32_t pathLength;
  uint32_t componentCount;
  bool pathCut;
  uint16_t componentEnds[kMaxPathText];  // every component takes at least its backslash
};

// Allocates pathBuffer (releasing an earlier state first); returns 1, or 0 when memory ran out.
int AcquireState(CatalogueState& state);

// Frees whatever the state still holds; any number of calls. The handle stays open.
void ReleaseState(CatalogueState& state);

// The opening steps shared by both formats: close a catalogue still open, open the file,
// acquire the state and try to hold the whole file in memory. Returns 1, or 0 with no file
// held open.
int OpenCatalogue(CatalogueState& state, const char* fileName);

// Releases the state, closes the file and forgets the handle (the failure path of OpenArchive,
// and CloseArchive). Returns what the platform's close returned, 0 when no file was open.
int CloseCatalogue(CatalogueState& state);

// Clears a format's state record but for its catalogue, which the opening steps just set up.
template <typename FormatState>
void ResetCursors(FormatState& format) {
  const CatalogueState catalogue = format.catalogue;
  format = FormatState{};
  format.catalogue = catalogue;
}

// The ranged read's one bounds check, safe against overflow: StatusOk when the `length`
// bytes at `offset` lie inside a file of `fileSize` bytes, else StatusPastEnd (the range
// begins at or after the end) or StatusDamaged (it runs past the end).
inline int RangeStatus(uint32_t fileSize, uint32_t offset, uint32_t length) {
  if (offset >= fileSize) return StatusPastEnd;
  if (length > fileSize - offset) return StatusDamaged;
  return StatusOk;
}

// Reads from the file itself: StatusPastEnd when positioning fails, StatusReadError when the
// read fails or comes back short.
int ReadFromFile(CatalogueState& state, uint32_t offset, void* dest, uint32_t length);

// The bytes of a range, or nullptr with the read's result.
struct Fetched {
  const uint8_t* bytes;
  int status;
};

// The `length` bytes at `offset`: a view into the image when the whole file is held (valid
// until the state is released, nothing copied), otherwise read from the file into `scratch`
// (at least `length` bytes), which may then hold part of the data on failure.
inline Fetched FetchAt(CatalogueState& state, uint32_t offset, uint32_t length, void* scratch) {
  if (state.fileImage == nullptr) {
    const int status = ReadFromFile(state, offset, scratch, length);
    return {status == StatusOk ? static_cast<const uint8_t*>(scratch) : nullptr, status};
  }
  const int status = RangeStatus(state.fileSize, offset, length);
  return {status == StatusOk ? state.fileImage + offset : nullptr, status};
}

// Copies `length` bytes at `offset` into `dest`; FetchAt's results. Nothing is copied on 2
// and 3 from the image. The ranges are short (records, and descriptions of at most 255
// bytes), so the copy is CopyBytes's.
inline int ReadAt(CatalogueState& state, uint32_t offset, void* dest, uint32_t length) {
  const Fetched range = FetchAt(state, offset, length, dest);
  if (range.bytes != nullptr && range.bytes != dest) CopyBytes(dest, range.bytes, length);
  return range.status;
}

// Asks the processor to start fetching the `length` bytes of the image at `offset`, when the
// file is held and they lie inside it. Nothing is read: a hint for reads to come.
inline void Prefetch(const CatalogueState& state, uint32_t offset, uint32_t length) {
#if defined(__GNUC__)
  if (state.fileImage == nullptr || RangeStatus(state.fileSize, offset, length) != StatusOk) return;
  constexpr uint32_t kCacheLineSize = 64;
  for (uint32_t at = 0; at < length; at += kCacheLineSize) {
    __builtin_prefetch(state.fileImage + offset + at);
  }
#else
  (void)state;
  (void)offset;
  (void)length;
#endif
}

// The path of the directory being listed.

inline PathMark MarkPath(const CatalogueState& state) {
  return {state.pathLength, state.componentCount, state.pathCut};
}

inline void RestorePath(CatalogueState& state, PathMark mark) {
  state.pathLength = mark.length;
  state.componentCount = mark.componentCount;
  state.pathCut = mark.cut;
  state.pathBuffer[state.pathLength] = '\0';
}

// Keeps the first `keep` components of the path; with fewer, the path stays whole.
inline void CutPathTo(CatalogueState& state, uint32_t keep) {
  if (keep > state.componentCount) return;
  RestorePath(state, {keep == 0 ? 0u : state.componentEnds[keep - 1], keep, false});
}

// Adds a directory's name and a backslash; what does not fit in 259 characters is cut, and
// the path marked cut.
void EnterDirectory(CatalogueState& state, const char* name, uint32_t nameLength);

// Writes the path into the item's cFileName and returns where the item's own name goes.
inline char* WritePath(const CatalogueState& state, ItemRecord* item) {
  CopyBytes(item->cFileName, state.pathBuffer, state.pathLength);
  return item->cFileName + state.pathLength;
}

// The time zone of a catalogue's DOS stamps.
enum class StampZone { Local, Utc };

// The fields every item carries: attributes, size, and the three times from a DOS stamp
// (date in the high half, time in the low half); a stamp that does not convert gives 0.
void FillItemFields(ItemRecord* item, uint32_t attributes, uint32_t size, uint32_t dosStamp,
                    StampZone zone);
