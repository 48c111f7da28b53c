#include "tools/writer/replacement_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace catwriter {
namespace {

// The temporary file's name keeps this much of the target's, so that ".NAME.XXXXXX" stays
// within the 255 bytes a file name may have.
constexpr size_t kMaxNameKept = 200;

std::string Failure(const std::string& path, const std::string& what, int error) {
  return path + ": " + what + std::strerror(error);
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(wrote);
  }
  return true;
}

mode_t NewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

ReplacementFile::~ReplacementFile() {
  if (fd_ >= 0) close(fd_);
  if (!temporaryPath_.empty()) unlink(temporaryPath_.c_str());
}

bool ReplacementFile::Open(const std::string& path, std::string* error) {
  target_ = path;
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    if (char* resolved = realpath(path.c_str(), nullptr)) {
      target_ = resolved;
      free(resolved);
    } else {
      // A link to a file not made yet: the file is made where the link points, beside the
      // link when the link is relative.
      std::string pointed(static_cast<size_t>(info.st_size) + 1, '\0');
      const ssize_t length = readlink(path.c_str(), pointed.data(), pointed.size());
      if (length > 0 && static_cast<size_t>(length) < pointed.size()) {
        pointed.resize(static_cast<size_t>(length));
        const size_t slash = path.rfind('/');
        target_ = pointed[0] == '/' || slash == std::string::npos
                      ? pointed
                      : path.substr(0, slash + 1) + pointed;
      }
    }
  }
  const size_t slash = target_.rfind('/');
  const std::string name = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  folder_ = slash == std::string::npos ? "." : slash == 0 ? "/" : target_.substr(0, slash);
  if (name.empty()) {
    *error = Failure(path, "", EISDIR);
    return false;
  }

  mode_t mode = NewFileMode();
  bool replacing = false;
  if (stat(target_.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      *error = Failure(path, "", EISDIR);
      return false;
    }
    identities_.push_back({info.st_dev, info.st_ino});
    if (!S_ISREG(info.st_mode)) {
      stream_ = true;
      return true;
    }
    mode = info.st_mode & 07777;
    replacing = true;
  } else if (errno != ENOENT) {
    *error = Failure(path, "", errno);
    return false;
  }

  std::string pattern = folder_ + "/." + name.substr(0, kMaxNameKept) + ".XXXXXX";
  fd_ = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd_ < 0) {
    *error = Failure(path, "cannot create a file in " + folder_ + ": ", errno);
    return false;
  }
  temporaryPath_ = pattern;
  // A replaced file keeps its owner where the writer may give it one (root); elsewhere the
  // new file is the writer's, as any rewritten file would be.
  if (replacing && geteuid() == 0 && fchown(fd_, info.st_uid, info.st_gid) != 0) {
    *error = Failure(path, "cannot give the new file the old one's owner: ", errno);
    return false;
  }
  struct stat made {};
  if (fchmod(fd_, mode) != 0 || fstat(fd_, &made) != 0) {
    *error = Failure(path, "cannot set up the new file: ", errno);
    return false;
  }
  identities_.push_back({made.st_dev, made.st_ino});
  return true;
}

bool ReplacementFile::Commit(const std::vector<uint8_t>& bytes, std::string* error) {
  if (stream_) {
    const int fd = open(target_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
      *error = Failure(target_, "", errno);
      return false;
    }
    const bool wrote = WriteAll(fd, bytes);
    const int writeError = errno;
    if (close(fd) != 0 && wrote) {
      *error = Failure(target_, "", errno);
      return false;
    }
    if (!wrote) *error = Failure(target_, "", writeError);
    return wrote;
  }
  if (fd_ < 0 || temporaryPath_.empty()) {
    *error = target_ + ": nothing to commit";
    return false;
  }
  if (!WriteAll(fd_, bytes) || fsync(fd_) != 0) {
    *error = Failure(target_, "cannot write: ", errno);
    return false;
  }
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) {
    *error = Failure(target_, "cannot write: ", errno);
    return false;
  }
  if (rename(temporaryPath_.c_str(), target_.c_str()) != 0) {
    *error = Failure(target_, "cannot replace: ", errno);
    return false;
  }
  temporaryPath_.clear();
  // The rename is durable once the folder is synced; file systems that cannot sync a folder
  // say EINVAL and keep it anyway.
  const int folder = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0 || (fsync(folder) != 0 && errno != EINVAL)) {
    const int syncError = errno;
    if (folder >= 0) close(folder);
    *error = Failure(target_, "written, but its folder cannot be synced: ", syncError);
    return false;
  }
  close(folder);
  return true;
}

}  // namespace catwriter
