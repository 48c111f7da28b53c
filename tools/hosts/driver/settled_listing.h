// A listing that shows one version of a file (POSIX systems): the file is looked at before
// and after each listing, and a file rewritten meanwhile is listed again, a few times at most;
// the last listing is kept as it is.
//
//   driver::SettledListing settling(path);
//   while (settling.NextAttempt()) {
//     ... list the file as Before() shows it ...
//     if (settling.Settled()) break;
//   }
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <utility>

#include "tools/common/file_identity.h"

namespace driver {

// Listings made while the file keeps changing under them, the last one kept as it is.
constexpr int kListingAttempts = 3;

class SettledListing {
 public:
  explicit SettledListing(std::string path) : path_(std::move(path)) {}

  // Starts the next attempt, looking at the file before it is listed; false when every
  // attempt has been made.
  bool NextAttempt() {
    if (attempt_ == kListingAttempts) return false;
    ++attempt_;
    beforeInfo_ = {};
    before_ = IdentityOfFile(path_, &beforeInfo_);
    return true;
  }
  bool LastAttempt() const { return attempt_ == kListingAttempts; }

  // The file before this attempt's listing, none when it could not be looked at (errno says
  // why, right after NextAttempt); and what stat found then.
  const std::optional<FileIdentity>& Before() const { return before_; }
  const struct stat& BeforeInfo() const { return beforeInfo_; }

  // Looks at the file after this attempt's listing: whether it is as it was before.
  bool Settled() const { return IdentityOfFile(path_) == before_; }

 private:
  std::string path_;
  int attempt_ = 0;
  std::optional<FileIdentity> before_;
  struct stat beforeInfo_ {};
};

}  // namespace driver
