// The platform layer on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "modules/platform/dos_time.h"
#include "modules/platform/platform.h"

namespace platform {

// Descriptors are stored plus one, so that zero means no file.
static int Descriptor(FileHandle file) {
  return static_cast<int>(file.value - 1);
}

FileHandle OpenForReading(const char* path) {
  // Without O_NONBLOCK, opening a named pipe waits for a writer, for ever if none comes.
  int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return FileHandle{kNoFile};
  // Only files and disks are catalogues: a directory fails, as it does for the Windows file
  // call without backup semantics, and so do pipes, sockets and terminals, whose reads could
  // wait for ever.
  struct stat info;
  if (::fstat(fd, &info) != 0 || !(S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)) ||
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return FileHandle{kNoFile};
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return FileHandle{static_cast<intptr_t>(fd) + 1};
}

uint32_t FileSize(FileHandle file) {
  struct stat info;
  if (::fstat(Descriptor(file), &info) != 0) return kSizeUnknown;
  return static_cast<uint32_t>(static_cast<uint64_t>(info.st_size));
}

bool Seek(FileHandle file, uint32_t offset) {
  if (offset > 0x7FFFFFFFu) return false;
  return ::lseek(Descriptor(file), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

int64_t Read(FileHandle file, void* dest, uint32_t length) {
  auto* out = static_cast<uint8_t*>(dest);
  uint32_t done = 0;
  while (done < length) {
    ssize_t got = ::read(Descriptor(file), out + done, length - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;  // end of file
    done += static_cast<uint32_t>(got);
  }
  return done;
}

int Close(FileHandle file) {
  return ::close(Descriptor(file)) == 0 ? 1 : 0;
}

bool DosDateTimeToFileTime(uint16_t dosDate, uint16_t dosTime, FileTime* out) {
  int64_t seconds;
  if (!dos_time::DosToSeconds(dosDate, dosTime, &seconds)) return false;
  const uint64_t ticks = static_cast<uint64_t>(seconds) * dos_time::kTicksPerSecond;
  out->dwLowDateTime = static_cast<uint32_t>(ticks);
  out->dwHighDateTime = static_cast<uint32_t>(ticks >> 32);
  return true;
}

// The offset from UTC in force now, in FILETIME ticks, looked up again once the wall-clock
// second has changed: a lookup costs a system call, and the offset in force may change during
// a long listing. Kept in ticks, so that a conversion is one clock read and a subtraction.
static int64_t CurrentUtcOffsetTicks() {
  static time_t cachedSecond = -1;
  static int64_t cachedOffsetTicks = 0;
  // The wall-clock second from the cheapest clock there is: Linux serves time() from the
  // vDSO as one load of the clock's current second, with neither a system call nor the
  // retry loop of clock_gettime.
  const time_t now = ::time(nullptr);
  if (now != cachedSecond) [[unlikely]] {
    struct tm local;
    const int64_t offset = ::localtime_r(&now, &local) != nullptr ? local.tm_gmtoff : 0;
    cachedOffsetTicks = offset * static_cast<int64_t>(dos_time::kTicksPerSecond);
    cachedSecond = now;
  }
  return cachedOffsetTicks;
}

bool LocalFileTimeToFileTime(const FileTime* local, FileTime* utc) {
  const uint64_t localTicks =
      static_cast<uint64_t>(local->dwHighDateTime) << 32 | local->dwLowDateTime;
  const int64_t offsetTicks = CurrentUtcOffsetTicks();
  // A result before 1601 cannot be expressed.
  if (offsetTicks > 0 && localTicks < static_cast<uint64_t>(offsetTicks)) return false;
  const uint64_t utcTicks = localTicks - static_cast<uint64_t>(offsetTicks);
  utc->dwLowDateTime = static_cast<uint32_t>(utcTicks);
  utc->dwHighDateTime = static_cast<uint32_t>(utcTicks >> 32);
  return true;
}

}  // namespace platform
