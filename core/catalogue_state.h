// The one open catalogue of a module: its file, its whole-file image, the path of the
// directory being listed, and the ranged read through which every record is fetched.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/bytes.h"
#include "interface/host_interface.h"
#include "platform/platform.h"

constexpr uint32_t kPathBufferSize = kFileNameSize;  // 259 characters and the zero byte

struct CatalogueState {
  platform::FileHandle handle;  // from OpenArchive until CloseArchive
  uint32_t fileSize;            // as reported at open; kSizeUnknown when the platform failed
  uint8_t* fileImage;           // the whole file, or nullptr: reads then go to the file
  char* pathBuffer;             // 260 bytes: the path of the directory being listed
  bool active;                  // pathBuffer (and fileImage, if any) are allocated
};

// Each format module provides these: its one state, and the release of the memory that its
// own walk owns (called by ReleaseState).
CatalogueState& ModuleCatalogue();
void ReleaseFormatMemory();

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

int ReadAtFile(CatalogueState& state, uint32_t offset, void* dest, uint32_t length);

// Copies `length` bytes at `offset` into `dest`. Returns StatusOk, or StatusDamaged (the range
// runs past the end), StatusPastEnd (it begins at or after the end, or positioning failed) or
// StatusReadError (the read failed or came back short). Nothing is copied on 2 and 3.
inline int ReadAt(CatalogueState& state, uint32_t offset, void* dest, uint32_t length) {
  if (state.fileImage == nullptr) return ReadAtFile(state, offset, dest, length);
  if (offset >= state.fileSize) return StatusPastEnd;
  if (length > state.fileSize - offset) return StatusDamaged;
  std::memcpy(dest, state.fileImage + offset, length);
  return StatusOk;
}

// ReadAt for a short range (a description of at most 255 bytes): the same checks and results,
// but the copy from the image is made with 16-byte moves, which at these lengths cost less
// than the library copy's set-up.
inline int ReadShortAt(CatalogueState& state, uint32_t offset, void* dest, uint32_t length) {
  if (state.fileImage == nullptr) return ReadAtFile(state, offset, dest, length);
  if (offset >= state.fileSize) return StatusPastEnd;
  if (length > state.fileSize - offset) return StatusDamaged;
  CopyBytes(dest, state.fileImage + offset, length);
  return StatusOk;
}

// The `length` bytes at `offset`, with the checks and results of ReadAt but no copy when the
// whole file is held: then a pointer into the image (valid until the state is released),
// otherwise `scratch` (at least `length` bytes) filled from the file. Returns nullptr on
// failure, with ReadAt's result in `*status`. Records are read in place this way, so that a
// chunk's text goes from the image straight into the host's record.
inline const uint8_t* ViewAt(CatalogueState& state, uint32_t offset, uint32_t length,
                             uint8_t* scratch, int* status) {
  if (state.fileImage == nullptr) {
    *status = ReadAtFile(state, offset, scratch, length);
    return *status == StatusOk ? scratch : nullptr;
  }
  if (offset >= state.fileSize) {
    *status = StatusPastEnd;
    return nullptr;
  }
  if (length > state.fileSize - offset) {
    *status = StatusDamaged;
    return nullptr;
  }
  *status = StatusOk;
  return state.fileImage + offset;
}

constexpr uint32_t kCacheLineSize = 64;

// Asks the processor to start fetching `lines` cache lines of the image from `offset` on, when
// the file is held and they lie inside it. Nothing is read: a hint for reads to come.
inline void PrefetchLines(const CatalogueState& state, uint32_t offset, uint32_t lines) {
#if defined(__GNUC__)
  const uint32_t length = lines * kCacheLineSize;
  if (state.fileImage != nullptr && offset < state.fileSize && length <= state.fileSize - offset) {
    for (uint32_t line = 0; line < lines; ++line) {
      __builtin_prefetch(state.fileImage + offset + line * kCacheLineSize);
    }
  }
#else
  (void)state;
  (void)offset;
  (void)lines;
#endif
}
