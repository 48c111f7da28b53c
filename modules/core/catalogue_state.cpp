#include "modules/core/catalogue_state.h"

#include <cstdlib>

int AcquireState(CatalogueState& state) {
  if (state.active) ReleaseState(state);
  char* path = static_cast<char*>(std::malloc(kPathBufferSize));
  if (path == nullptr) return 0;
  path[0] = '\0';
  state.pathBuffer = path;
  state.fileImage = nullptr;
  state.active = true;
  return 1;
}

void ReleaseState(CatalogueState& state) {
  if (!state.active) return;
  std::free(state.pathBuffer);
  state.pathBuffer = nullptr;
  if (state.fileImage != nullptr) platform::FreeImage(state.fileImage, state.fileSize);
  state.fileImage = nullptr;
  state.pathLength = 0;
  state.componentCount = 0;
  state.pathCut = false;
  state.active = false;
}

// A missing image is no failure: every later read then goes to the file.
static void LoadImage(CatalogueState& state) {
  state.fileSize = platform::FileSize(state.handle);
  if (state.fileSize == platform::kSizeUnknown) return;
  uint8_t* image = platform::AllocateImage(state.fileSize);
  if (image == nullptr) return;
  if (!platform::Seek(state.handle, 0) ||
      platform::Read(state.handle, image, state.fileSize) != static_cast<int64_t>(state.fileSize)) {
    platform::FreeImage(image, state.fileSize);
    return;
  }
  state.fileImage = image;
}

int OpenCatalogue(CatalogueState& state, const char* fileName) {
  // A second open while a catalogue is still open closes the earlier file first.
  CloseCatalogue(state);
  state.handle = platform::OpenForReading(fileName);
  if (!platform::IsOpen(state.handle)) return 0;
  if (AcquireState(state) == 0) {
    CloseCatalogue(state);
    return 0;
  }
  LoadImage(state);
  return 1;
}

int CloseCatalogue(CatalogueState& state) {
  ReleaseState(state);
  if (!platform::IsOpen(state.handle)) return 0;
  const int closed = platform::Close(state.handle);
  // Forget the handle, so that a repeated close never closes a handle the host has reused.
  state.handle.value = platform::kNoFile;
  return closed;
}

int ReadFromFile(CatalogueState& state, uint32_t offset, void* dest, uint32_t length) {
  if (!platform::Seek(state.handle, offset)) return StatusPastEnd;
  if (platform::Read(state.handle, dest, length) != static_cast<int64_t>(length)) {
    return StatusReadError;
  }
  return StatusOk;
}

void EnterDirectory(CatalogueState& state, const char* name, uint32_t nameLength) {
  char* path = state.pathBuffer;
  const uint32_t room = kMaxPathText - state.pathLength;
  if (nameLength + 1 <= room) {
    std::memcpy(path + state.pathLength, name, nameLength);
    state.pathLength += nameLength;
    path[state.pathLength++] = '\\';
    state.componentEnds[state.componentCount++] = static_cast<uint16_t>(state.pathLength);
  } else {
    // Too deep for a complete path: keep what fits, as the item's own cFileName did.
    std::memcpy(path + state.pathLength, name, room);
    state.pathLength += room;
    state.pathCut = true;
  }
  path[state.pathLength] = '\0';
}

void FillItemFields(ItemRecord* item, uint32_t attributes, uint32_t size, uint32_t dosStamp,
                    StampZone zone) {
  item->dwFileAttributes = attributes;
  item->nFileSizeHigh = 0;
  item->nFileSizeLow = size;
  item->packedSizeHigh = 0;
  item->packedSizeLow = size;
  FileTime time{0, 0};
  FileTime stamp;
  if (platform::DosDateTimeToFileTime(static_cast<uint16_t>(dosStamp >> 16),
                                      static_cast<uint16_t>(dosStamp), &stamp)) {
    if (zone == StampZone::Utc) {
      time = stamp;
    } else if (!platform::LocalFileTimeToFileTime(&stamp, &time)) {
      time = FileTime{0, 0};
    }
  }
  item->ftCreationTime = time;
  item->ftLastAccessTime = time;
  item->ftLastWriteTime = time;
}
