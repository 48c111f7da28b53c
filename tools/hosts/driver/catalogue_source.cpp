#include "tools/hosts/driver/catalogue_source.h"

#if defined(__linux__)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#endif

#if defined(CATALOGUE_HAVE_ZLIB)
#include <zlib.h>
#endif

namespace driver {

#if defined(__linux__)

namespace {

constexpr size_t kChunkBytes = size_t{1} << 18;

bool IsGzip(const unsigned char* bytes, size_t size) {
  return size >= 2 && bytes[0] == 0x1F && bytes[1] == 0x8B;
}

Probe CannotRead(const std::string& why) {
  Probe probe;
  probe.status = kExitCannotRead;
  probe.reason = "cannot read the file: " + why;
  return probe;
}

// Reads what is there, up to `size` bytes; 0 at the end, -1 on an error (errno set).
ssize_t ReadSome(int fd, unsigned char* buffer, size_t size) {
  for (;;) {
    const ssize_t count = read(fd, buffer, size);
    if (count >= 0 || errno != EINTR) return count;
  }
}

// The memory file as it fills: its size, its first kProbeBytes, which module accepts them.
class MemoryFile {
 public:
  MemoryFile(int fd, const std::vector<FormatModule>& modules, const std::string& named,
             uint64_t limit)
      : fd_(fd), modules_(modules), named_(named), limit_(limit) {}

  // Appends `size` bytes; false, with `failure` set, past kMaxCopiedBytes or when the memory
  // file cannot grow.
  bool Append(const unsigned char* bytes, size_t size, const char* what) {
    // The head is kept whatever the limit: what no module accepts is refused as such.
    const size_t toHead = std::min(size, sizeof head_ - headSize_);
    std::memcpy(head_ + headSize_, bytes, toHead);
    headSize_ += toHead;
    if (size > limit_ - size_) {
      constexpr uint64_t kGiB = uint64_t{1} << 30;
      const bool gibibytes = limit_ % kGiB == 0;
      failure_ = CannotRead(std::string(what) + " holds more than " +
                            std::to_string(gibibytes ? limit_ / kGiB : limit_) +
                            (gibibytes ? " GiB" : " bytes") +
                            ", the most a catalogue read into memory may hold");
      return false;
    }
    size_ += size;
    while (size > 0) {
      const ssize_t written = write(fd_, bytes, size);
      if (written < 0) {
        if (errno == EINTR) continue;
        failure_ = CannotRead(std::string("cannot copy it into memory: ") + std::strerror(errno));
        return false;
      }
      bytes += written;
      size -= static_cast<size_t>(written);
    }
    return true;
  }

  // Once the first kProbeBytes are in (or at the end, `ended`), asks the modules about them;
  // true while the copy is to go on.
  bool GoOn(bool ended, bool probeOnly) {
    if (probed_ || (!ended && headSize_ < sizeof head_)) return true;
    probed_ = true;
    if (headSize_ == 0) {
      probe_.status = kExitEmptyFile;
      probe_.reason = "empty file";
      return false;
    }
    probe_.module = AcceptingModule(modules_, named_, head_, headSize_, &probe_);
    return probe_.module != nullptr && !probeOnly;
  }

  bool Failed() const { return failure_.status != kExitOk; }
  const Probe& Failure() const { return failure_; }
  const Probe& Result() const { return probe_; }
  bool Probed() const { return probed_; }

 private:
  int fd_;
  const std::vector<FormatModule>& modules_;
  const std::string& named_;
  uint64_t limit_;
  uint64_t size_ = 0;
  unsigned char head_[kProbeBytes];
  size_t headSize_ = 0;
  bool probed_ = false;
  Probe probe_;
  Probe failure_;
};

// Copies the rest of `in` unchanged, `pending` bytes of it read already into `buffer`.
Probe CopyPlain(int in, std::vector<unsigned char>& buffer, size_t pending, MemoryFile& memory,
                bool probeOnly) {
  for (;;) {
    if (pending == 0) {
      memory.GoOn(true, probeOnly);
      return {};
    }
    if (!memory.Append(buffer.data(), pending, "the pipe") || !memory.GoOn(false, probeOnly)) {
      return {};
    }
    const ssize_t count = ReadSome(in, buffer.data(), buffer.size());
    if (count < 0) return CannotRead(std::strerror(errno));
    pending = static_cast<size_t>(count);
  }
}

#if defined(CATALOGUE_HAVE_ZLIB)
// Decompresses the rest of `in`, gzip members one after another (as gzip -d reads them),
// `pending` bytes of it read already into `buffer`. Bytes after the last member that start
// no other are ignored, as gzip ignores trailing garbage.
Probe Decompress(int in, std::vector<unsigned char>& buffer, size_t pending, MemoryFile& memory,
                 bool probeOnly) {
  z_stream stream = {};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return CannotRead("zlib failed to start");
  std::vector<unsigned char> out(kChunkBytes);
  stream.next_in = buffer.data();
  stream.avail_in = static_cast<uInt>(pending);
  bool memberEnded = false;
  bool inputEnded = false;
  Probe failure;
  for (;;) {
    if (stream.avail_in == 0 && !inputEnded) {
      const ssize_t count = ReadSome(in, buffer.data(), buffer.size());
      if (count < 0) {
        failure = CannotRead(std::strerror(errno));
        break;
      }
      inputEnded = count == 0;
      stream.next_in = buffer.data();
      stream.avail_in = static_cast<uInt>(count);
    }
    if (memberEnded) {
      if (stream.avail_in == 0 || stream.next_in[0] != 0x1F) break;
      inflateReset(&stream);
      memberEnded = false;
    }
    if (stream.avail_in == 0) {
      failure = CannotRead("the gzip data is cut short");
      break;
    }
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = inflate(&stream, Z_NO_FLUSH);
    if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
      failure = CannotRead(std::string("damaged gzip data (") +
                           (stream.msg != nullptr ? stream.msg : "zlib error") + ")");
      break;
    }
    const size_t produced = out.size() - stream.avail_out;
    if (produced > 0 && !memory.Append(out.data(), produced, "the decompressed gzip data")) break;
    if (!memory.GoOn(false, probeOnly)) break;
    memberEnded = result == Z_STREAM_END;
  }
  inflateEnd(&stream);
  if (failure.status == kExitOk && !memory.Failed()) memory.GoOn(true, probeOnly);
  return failure;
}
#endif

}  // namespace

void CatalogueSource::Close() {
  if (memory_ >= 0) close(memory_);
  memory_ = -1;
}

Probe CatalogueSource::Open(const std::vector<FormatModule>& modules, const std::string& named,
                            bool probeOnly) {
  Close();
  named_ = named;
  path_ = named;
  const bool standardInput = named == "-";
  // Without O_NONBLOCK, opening a named pipe waits for a writer, for ever if none comes.
  const int in = standardInput ? STDIN_FILENO
                               : open(named.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (in < 0) return ProbeCatalogue(modules, named);  // its reasons for what cannot be opened
  struct stat info {};
  const bool looked = fstat(in, &info) == 0;
  bool copy = looked && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) ||
                         (standardInput && S_ISCHR(info.st_mode)));
  if (looked && S_ISREG(info.st_mode)) {
    unsigned char magic[2];
    const off_t at = standardInput ? lseek(in, 0, SEEK_CUR) : 0;
    copy = at >= 0 && pread(in, magic, sizeof magic, at) == 2 && IsGzip(magic, sizeof magic);
    // A plain file on standard input: the modules open it anew, from its start.
    if (!copy && standardInput) path_ = "/proc/self/fd/0";
  }
  Probe probe;
  if (!copy) {
    if (!standardInput) close(in);
    return ProbeCatalogue(modules, path_);
  }
  if (!standardInput) fcntl(in, F_SETFL, fcntl(in, F_GETFL) & ~O_NONBLOCK);
  probe = Copy(modules, in, probeOnly);
  if (!standardInput) close(in);
  return probe;
}

Probe CatalogueSource::Copy(const std::vector<FormatModule>& modules, int in, bool probeOnly) {
  memory_ = memfd_create("catalogue", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (memory_ < 0) return CannotRead(std::string("no memory file: ") + std::strerror(errno));
  std::vector<unsigned char> buffer(kChunkBytes);
  const ssize_t first = ReadSome(in, buffer.data(), buffer.size());
  if (first < 0) return CannotRead(std::strerror(errno));
  MemoryFile memory(memory_, modules, named_, limit_);
  Probe failure;
  if (IsGzip(buffer.data(), static_cast<size_t>(first))) {
#if defined(CATALOGUE_HAVE_ZLIB)
    failure = Decompress(in, buffer, static_cast<size_t>(first), memory, probeOnly);
#else
    failure = CannotRead("gzip-compressed, and this build of the host reads no gzip data");
#endif
  } else {
    failure = CopyPlain(in, buffer, static_cast<size_t>(first), memory, probeOnly);
  }
  if (failure.status == kExitOk && memory.Failed()) failure = memory.Failure();
  if (failure.status != kExitOk) memory.GoOn(true, probeOnly);
  // A failure before the probe stands; one after it, when no module accepted the head, does
  // not matter: the file is no catalogue either way.
  const bool refused = memory.Probed() && memory.Result().status == kExitNotAccepted;
  Probe probe = failure.status != kExitOk && !refused ? failure : memory.Result();
  if (probe.module == nullptr) {
    Close();
    if (probe.status == kExitEmptyFile && first == 0) {
      probe.reason = "empty file (nothing was written to the pipe)";
    }
    return probe;
  }
  if (probeOnly) {
    Close();
    path_ = named_;
    return probe;
  }
  fcntl(memory_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
  path_ = "/proc/self/fd/" + std::to_string(memory_);
  return probe;
}

#else

void CatalogueSource::Close() {}

Probe CatalogueSource::Open(const std::vector<FormatModule>& modules, const std::string& named,
                            bool /*probeOnly*/) {
  named_ = named;
  path_ = named;
  return ProbeCatalogue(modules, named);
}

#endif

}  // namespace driver
