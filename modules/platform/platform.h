// What the modules need of the operating system, in the system's own terms. The Windows build
// maps each call onto the platform function of the same purpose; the POSIX build provides the
// same behaviour from POSIX calls.
#pragma once

#include <cstdint>

#include "modules/interface/host_interface.h"

namespace platform {

// An open file, or kNoFile. Zero means none, so that a state that is zero at load holds no
// file; each platform encodes its own handle or descriptor in `value`.
struct FileHandle {
  intptr_t value;
};
constexpr intptr_t kNoFile = 0;
constexpr uint32_t kSizeUnknown = 0xFFFFFFFFu;

inline bool IsOpen(FileHandle file) {
  return file.value != kNoFile;
}

// Opens an existing file read-only, without locking other readers or writers out, with a
// hint that it will be read sequentially. Returns a handle holding kNoFile on failure.
FileHandle OpenForReading(const char* path);

// The low 32 bits of the file's size, or kSizeUnknown when the platform cannot tell.
uint32_t FileSize(FileHandle file);

// Moves the file position to `offset` from the start. The offset travels as a signed 32-bit
// distance, so 2 GiB and beyond cannot be reached and fail. Returns false on failure.
bool Seek(FileHandle file, uint32_t offset);

// Reads up to `length` bytes at the file position into `dest`. Returns the number of bytes
// read (fewer at the end of the file), or -1 when the read failed.
int64_t Read(FileHandle file, void* dest, uint32_t length);

// Closes the file; returns nonzero on success.
int Close(FileHandle file);

// Memory for a whole-file image of `size` bytes (at least one byte is always requested, so an
// empty file still has an image). Returns nullptr when memory ran out.
uint8_t* AllocateImage(uint32_t size);
void FreeImage(uint8_t* image, uint32_t size);

// Converts a DOS date and time to a FILETIME without a time-zone step. Fails, writing
// nothing, when a field is out of range: month 1 to 12, day within that month (Gregorian
// leap years), hours at most 23, minutes at most 59, two-second count at most 29.
bool DosDateTimeToFileTime(uint16_t dosDate, uint16_t dosTime, FileTime* out);

// Converts a local FILETIME to UTC by subtracting the offset from UTC in force now
// (daylight saving included), not the one in force at the stamp's date.
bool LocalFileTimeToFileTime(const FileTime* local, FileTime* utc);

// Converts a zero-terminated text in place from the system's ANSI character set to its OEM
// character set.
void CharToOem(char* text);

}  // namespace platform
