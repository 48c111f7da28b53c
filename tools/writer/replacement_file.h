// A file replaced whole or not at all: the new contents go to a temporary file beside the
// target, which is synced and renamed over the target only once complete, so that a full
// disk or a failed write leaves the old file as it was.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace catwriter {

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode;
  }
};

class ReplacementFile {
 public:
  ReplacementFile() = default;
  ~ReplacementFile();  // removes the temporary file unless it was committed
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Creates the temporary file ".NAME.XXXXXX" in the target's folder. A symbolic link as
  // the target is followed: the file it names is replaced (or made) and the link kept. A target
  // that exists but is no regular file (a device, a pipe) is written in place at Commit, as a
  // stream. The new file gets the old one's mode (and, for root, its owner), or the mode a
  // new file would get (0666 less the umask). On failure returns false with `error` set to
  // "<path>: <reason>", having changed nothing.
  bool Open(const std::string& path, std::string* error);

  // Writes `bytes`, syncs them and renames the temporary file over the target, then syncs
  // the folder. On failure returns false with `error` set; the target is left as it was
  // (except a failed folder sync, which comes after the rename and says so).
  bool Commit(const std::vector<uint8_t>& bytes, std::string* error);

  // The files this one is, for a writer that must not read its own output: the target
  // when it exists, and the temporary file.
  const std::vector<FileIdentity>& identities() const { return identities_; }
  // The temporary file's path; empty for a stream or once it is gone.
  const std::string& temporaryPath() const { return temporaryPath_; }

 private:
  std::string target_;
  std::string folder_;
  std::string temporaryPath_;
  int fd_ = -1;
  bool stream_ = false;
  std::vector<FileIdentity> identities_;
};

}  // namespace catwriter
