// What tells one state of a file from another (POSIX systems): a file replaced (renamed
// over), rewritten, truncated or deleted differs in at least one of these. The status change
// time catches a rewrite in place that kept the size and set the old modification time back
// (cp -p, rsync --inplace -t).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

struct FileIdentity {
  int64_t device = 0;
  int64_t inode = 0;
  int64_t size = 0;
  int64_t mtimeNs = 0;  // nanoseconds since 1970
  int64_t ctimeNs = 0;
  bool operator==(const FileIdentity&) const = default;
};

FileIdentity IdentityOf(const struct stat& info);

// The file at `path` as stat finds it (`info`, when given, receives what it found), or none
// when it cannot be looked at (errno says why).
std::optional<FileIdentity> IdentityOfFile(const std::string& path, struct stat* info = nullptr);
