#include "tools/common/file_identity.h"

namespace {

// Nanoseconds since 1970, in unsigned arithmetic: a time past 2262 wraps instead of
// overflowing. The values are only compared.
int64_t Nanoseconds(const struct timespec& time) {
  return static_cast<int64_t>(static_cast<uint64_t>(time.tv_sec) * 1'000'000'000u +
                              static_cast<uint64_t>(time.tv_nsec));
}

}  // namespace

FileIdentity IdentityOf(const struct stat& info) {
  return {static_cast<int64_t>(info.st_dev), static_cast<int64_t>(info.st_ino),
          static_cast<int64_t>(info.st_size), Nanoseconds(info.st_mtim), Nanoseconds(info.st_ctim)};
}

std::optional<FileIdentity> IdentityOfFile(const std::string& path, struct stat* info) {
  struct stat found {};
  if (stat(path.c_str(), &found) != 0) return std::nullopt;
  if (info != nullptr) *info = found;
  return IdentityOf(found);
}
