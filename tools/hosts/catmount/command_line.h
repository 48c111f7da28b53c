// catmount's command line: its own options, the -o lists of mount options (also as mount(8)
// and /etc/fstab hand them on through mount.fuse3, after SOURCE and MOUNTPOINT), and what is
// passed on to FUSE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace catmount {

constexpr size_t kDefaultCacheMiB = 256;
// A listing past these stops, keeping what it listed: memory grows with what a catalogue
// delivers, and a small hostile file can deliver millions of items.
constexpr uint64_t kDefaultMaxItems = 10'000'000;
// Sizes are kept in bytes in a size_t, with room to double.
constexpr uint64_t kMaxMiB = SIZE_MAX / 2 / (1 << 20);
constexpr uint64_t kMaxItemsLimit = UINT32_MAX;

struct Settings {
  std::vector<std::string> modulePaths;
  std::vector<std::string> positional;  // SOURCE and MOUNTPOINT
  size_t cacheMiB = kDefaultCacheMiB;
  uint64_t maxItems = kDefaultMaxItems;
  size_t listingMiB = 0;                   // 0: the cache's size
  std::vector<std::string> fuseArguments;  // after the program name
  bool readWriteAsked = false;             // -o rw: mounted read-only, with a warning
  // -o uid=N, gid=N: the owner and group of every entry (else the catalogue file's); -o
  // umask=NNN: permission bits taken off every entry's (0444 for files, 0555 for directories).
  std::optional<uint32_t> uid;
  std::optional<uint32_t> gid;
  uint32_t umask = 0;
};

enum class Request { kMount, kHelp, kVersion, kBadUsage };

struct CommandLine {
  Request request = Request::kMount;
  Settings settings;
  std::string error;  // what is wrong, for kBadUsage
};

// Reads the arguments after the program name. Options and SOURCE MOUNTPOINT may come in any
// order until "--"; --help and --version end the reading.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// Applies one -o list: catmount's own options (cache_mib=N, max_items=N, listing_mib=N, uid=N,
// gid=N, umask=NNN) set
// `settings`, mount(8)'s that FUSE refuses and a read-only mount has no use for are dropped,
// "rw" is noted (the mount stays read-only), "remount" is refused, and the rest go on to FUSE
// as one "-o" list, written as given. Commas escaped with a backslash stay in their option, as
// FUSE reads them. Returns false with `error` set on a usage error.
bool ApplyMountOptions(std::string_view list, Settings* settings, std::string* error);

}  // namespace catmount
