#include "tools/common/folder_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace folder_walk {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// The folder `name` in the folder `parent`, opened without following a link (unless
// `followLink`); -1 with `reason` set when it cannot be opened or is not the folder `identity`
// names.
int OpenChecked(int parent, const std::string& name, const Identity& identity, std::string* reason,
                bool followLink = false) {
  const int fd = openat(parent, name.c_str(), kFolderFlags | (followLink ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    *reason = std::strerror(errno);
    return -1;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !(IdentityOf(info) == identity)) {
    *reason = "it was replaced while being read";
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

Identity IdentityOf(const struct stat& info) {
  return {info.st_dev, info.st_ino};
}

void AppendToPath(std::string& path, std::string_view name) {
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
}

int SortedNames(int fd, std::vector<std::string>* names) {
  // A descriptor of its own for the listing, which closedir closes; the folder stays open.
  const int listFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (listFd < 0) return errno;
  DIR* dir = fdopendir(listFd);
  if (dir == nullptr) {
    const int error = errno;
    close(listFd);
    return error;
  }
  rewinddir(dir);
  errno = 0;
  while (const dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) names->push_back(name);
    errno = 0;
  }
  const int error = errno;
  closedir(dir);
  if (error != 0) return error;
  std::sort(names->begin(), names->end());  // std::string compares bytewise
  return 0;
}

int Walker::Walk(const std::string& root, Visitor& visitor) {
  Close();
  frames_.clear();
  depth_ = 0;
  rootFd_ = open(root.c_str(), kFolderFlags);
  struct stat info {};
  if (rootFd_ < 0 || fstat(rootFd_, &info) != 0) return errno;
  std::vector<std::string> names;
  if (const int error = SortedNames(rootFd_, &names)) return error;
  frames_.push_back({root, IdentityOf(info)});
  if (const int error = visitor.Entered(*this, rootFd_, std::move(names))) {
    frames_.clear();
    return error;
  }
  current_ = fcntl(rootFd_, F_DUPFD_CLOEXEC, 0);
  while (!frames_.empty()) {
    if (const std::optional<Subfolder> next = visitor.Next(*this)) {
      Descend(*next, visitor);
      continue;
    }
    visitor.Left(*this);
    frames_.pop_back();
    if (!frames_.empty()) Ascend();
  }
  Close();
  return 0;
}

std::string Walker::Path() const {
  std::string path;
  for (const Frame& frame : frames_) AppendToPath(path, frame.name);
  return path;
}

std::string Walker::PathOf(std::string_view name) const {
  std::string path = Path();
  AppendToPath(path, name);
  return path;
}

int Walker::Folder(std::string* reason) {
  if (current_ < 0) current_ = Reopen(reason);
  return current_;
}

void Walker::Descend(const Subfolder& subfolder, Visitor& visitor) {
  std::string reason;
  const int parent = Folder(&reason);
  int child = parent < 0 ? -1
                         : OpenChecked(parent, subfolder.name, subfolder.identity, &reason,
                                       subfolder.followLink);
  std::vector<std::string> names;
  if (child >= 0) {
    if (const int error = SortedNames(child, &names)) {
      reason = std::strerror(error);
      close(child);
      child = -1;
    }
  }
  if (child < 0) return visitor.NotEntered(*this, subfolder, reason);
  frames_.push_back({subfolder.name, subfolder.identity, subfolder.followLink});
  if (const int error = visitor.Entered(*this, child, std::move(names))) {
    frames_.pop_back();
    close(child);
    return visitor.NotEntered(*this, subfolder, std::strerror(error));
  }
  close(current_);
  current_ = child;
  depth_ = std::max(depth_, frames_.size() - 1);
}

// Makes the new top frame's folder the open one again, through ".." from the folder just left;
// when that is not the same folder any more (it was moved), Folder opens it from the root.
void Walker::Ascend() {
  if (current_ < 0) return;
  const int up = openat(current_, "..", kFolderFlags);
  close(current_);
  current_ = up;
  struct stat info {};
  if (current_ >= 0 &&
      (fstat(current_, &info) != 0 || !(IdentityOf(info) == frames_.back().identity))) {
    close(current_);
    current_ = -1;
  }
}

int Walker::Reopen(std::string* reason) const {
  int fd = fcntl(rootFd_, F_DUPFD_CLOEXEC, 0);
  for (size_t level = 1; fd >= 0 && level < frames_.size(); ++level) {
    std::string ignored;
    const int next = OpenChecked(fd, frames_[level].name, frames_[level].identity, &ignored,
                                 frames_[level].followLink);
    close(fd);
    fd = next;
  }
  if (fd < 0) *reason = "a folder above it was moved while being read";
  return fd;
}

void Walker::Close() {
  if (current_ >= 0) close(current_);
  if (rootFd_ >= 0) close(rootFd_);
  current_ = rootFd_ = -1;
}

}  // namespace folder_walk
