// Test support: a small tmpfs mounted for one test, where a file system must run full or turn
// read-only under the program tested.
#pragma once

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace test_mounts {

// A tmpfs mounted on a folder for the test's lifetime; `mounted` false (with `why`) where
// the process may not mount.
struct TmpfsMount {
  std::string where;
  bool mounted = false;
  std::string why;
  TmpfsMount(std::string folder, const std::string& options) : where(std::move(folder)) {
    mkdir(where.c_str(), 0755);
    if (mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) == 0) {
      mounted = true;
    } else {
      why = "cannot mount a tmpfs here (" + std::string(std::strerror(errno)) +
            "); the test needs root or CAP_SYS_ADMIN";
    }
  }
  bool MakeReadOnly() {
    return mount("tmpfs", where.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }
  ~TmpfsMount() {
    if (mounted) umount2(where.c_str(), MNT_DETACH);
  }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;
};

}  // namespace test_mounts
