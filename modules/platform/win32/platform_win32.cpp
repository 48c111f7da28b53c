// The platform layer on Windows: each call maps onto the Windows function of the same purpose.
#include <windows.h>

#include <cstdlib>

#include "modules/platform/dos_time.h"
#include "modules/platform/platform.h"

// windows.h names the ANSI variant through a macro of the same name as ours.
#undef CharToOem

namespace platform {

// The handle itself is the value: CreateFileA never gives a null handle, and its failure value
// INVALID_HANDLE_VALUE is stored as kNoFile.
static HANDLE ToHandle(FileHandle file) {
  return reinterpret_cast<HANDLE>(file.value);
}

FileHandle OpenForReading(const char* path) {
  HANDLE file = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return FileHandle{kNoFile};
  return FileHandle{reinterpret_cast<intptr_t>(file)};
}

uint32_t FileSize(FileHandle file) {
  // Without a high part, 0xFFFFFFFF (INVALID_FILE_SIZE) is the failure value, kSizeUnknown.
  return ::GetFileSize(ToHandle(file), nullptr);
}

bool Seek(FileHandle file, uint32_t offset) {
  // A distance of 2 GiB or more reads as negative and the platform refuses it.
  const LONG distance = static_cast<LONG>(offset);
  return ::SetFilePointer(ToHandle(file), distance, nullptr, FILE_BEGIN) !=
         INVALID_SET_FILE_POINTER;
}

int64_t Read(FileHandle file, void* dest, uint32_t length) {
  DWORD got = 0;
  if (!::ReadFile(ToHandle(file), dest, length, &got, nullptr)) return -1;
  return got;
}

int Close(FileHandle file) {
  return ::CloseHandle(ToHandle(file));
}

uint8_t* AllocateImage(uint32_t size) {
  return static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
}

void FreeImage(uint8_t* image, uint32_t /*size*/) {
  std::free(image);
}

bool DosDateTimeToFileTime(uint16_t dosDate, uint16_t dosTime, FileTime* out) {
  // Our rule first, so that every platform refuses the same stamps: some implementations of
  // the platform call accept 29 February of years that are not leap years.
  int64_t seconds;
  if (!dos_time::DosToSeconds(dosDate, dosTime, &seconds)) return false;
  FILETIME converted;
  if (!::DosDateTimeToFileTime(dosDate, dosTime, &converted)) return false;
  out->dwLowDateTime = converted.dwLowDateTime;
  out->dwHighDateTime = converted.dwHighDateTime;
  return true;
}

bool LocalFileTimeToFileTime(const FileTime* local, FileTime* utc) {
  const FILETIME in{local->dwLowDateTime, local->dwHighDateTime};
  FILETIME converted;
  if (!::LocalFileTimeToFileTime(&in, &converted)) return false;
  utc->dwLowDateTime = converted.dwLowDateTime;
  utc->dwHighDateTime = converted.dwHighDateTime;
  return true;
}

void CharToOem(char* text) {
  ::CharToOemA(text, text);
}

}  // namespace platform
