#include "tools/hosts/catmount/command_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "tools/common/option_parser.h"

namespace catmount {
namespace {

// mount(8)'s options that FUSE refuses ("unknown option") and that mean nothing for a
// read-only catalogue mount, dropped before FUSE sees them: mount(8) hands them on from fstab
// lines through mount.fuse3, and a direct caller may give them. Those FUSE takes itself (ro,
// noatime, nodev, nosuid, noexec, sync, dirsync, context=, ...) go on to it. An entry ending in '-'
// or '=' takes every option that starts with it.
constexpr std::string_view kDroppedOptions[] = {
    // mount(8)'s own: when and by whom the mount is made, notes for other programs.
    "defaults", "auto", "noauto", "nofail", "_netdev", "user", "users", "nouser", "owner", "group",
    "comment=", "x-", "X-",
    // Access times and change counters: nothing on a read-only mount ever updates them.
    "relatime", "norelatime", "strictatime", "nostrictatime", "diratime", "nodiratime", "lazytime",
    "nolazytime", "iversion", "noiversion",
    // Mandatory locks on contents that cannot be read or written, symbolic links the tree has
    // none of, and how much the kernel says about the mount.
    "mand", "nomand", "symfollow", "nosymfollow", "silent", "loud",
    // What fstab lines written for archivemount (and libfuse's high-level library) ask for,
    // which this mount always is: read-only, never saved back, cached, with inode numbers.
    "readonly", "nobackup", "nosave", "kernel_cache", "auto_cache", "noauto_cache", "use_ino",
    "readdir_ino", "hard_remove"};

bool IsDropped(std::string_view option) {
  return std::any_of(
      std::begin(kDroppedOptions), std::end(kDroppedOptions), [option](std::string_view entry) {
        return entry.ends_with('-') || entry.ends_with('=') ? option.starts_with(entry)
                                                            : option == entry;
      });
}

// A positive decimal number up to `maximum`.
bool ParseCount(const std::string& text, uint64_t maximum, uint64_t* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  unsigned long long number = std::strtoull(text.c_str(), nullptr, 10);
  if (errno == ERANGE || number == 0 || number > maximum) return false;
  *value = number;
  return true;
}

// An owner or group number (decimal; -1 is no one), or a umask (octal, at most 0777).
bool ParseIdentity(const std::string& text, int base, uint64_t maximum, uint32_t* value) {
  const char* digits = base == 8 ? "01234567" : "0123456789";
  if (text.empty() || text.size() > 12 || text.find_first_not_of(digits) != std::string::npos) {
    return false;
  }
  const unsigned long long number = std::strtoull(text.c_str(), nullptr, base);
  if (number > maximum) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

enum class Count { kCacheMiB, kMaxItems, kListingMiB };

// Sets one of the numeric settings from `value`; `name` is the option as the user wrote it.
bool SetCount(Count which, const std::string& value, const std::string& name, Settings* settings,
              std::string* error) {
  uint64_t number = 0;
  if (which == Count::kMaxItems) {
    if (!ParseCount(value, kMaxItemsLimit, &number)) {
      *error = name + " needs a number from 1 to " + std::to_string(kMaxItemsLimit);
      return false;
    }
    settings->maxItems = number;
    return true;
  }
  if (!ParseCount(value, kMaxMiB, &number)) {
    *error = name + " needs a positive number of MiB";
    return false;
  }
  (which == Count::kCacheMiB ? settings->cacheMiB : settings->listingMiB) =
      static_cast<size_t>(number);
  return true;
}

}  // namespace

bool ApplyMountOptions(std::string_view list, Settings* settings, std::string* error) {
  std::string passed;
  size_t start = 0;
  while (start <= list.size()) {
    // The option as written (for FUSE) and as meant (backslashes taken off the escaped bytes).
    size_t end = start;
    std::string meant;
    while (end < list.size() && list[end] != ',') {
      if (list[end] == '\\' && end + 1 < list.size()) ++end;
      meant += list[end++];
    }
    std::string_view written = list.substr(start, end - start);
    start = end + 1;
    if (meant.empty()) continue;
    const size_t equals = meant.find('=');
    const std::string name = meant.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : meant.substr(equals + 1);
    if (name == "cache_mib" || name == "max_items" || name == "listing_mib") {
      const Count which = name == "cache_mib"   ? Count::kCacheMiB
                          : name == "max_items" ? Count::kMaxItems
                                                : Count::kListingMiB;
      if (!SetCount(which, value, "-o " + name, settings, error)) return false;
    } else if (name == "uid" || name == "gid") {
      uint32_t id = 0;
      if (!ParseIdentity(value, 10, UINT32_MAX - 1, &id)) {
        *error = "-o " + name + " needs a number from 0 to " + std::to_string(UINT32_MAX - 1);
        return false;
      }
      (name == "uid" ? settings->uid : settings->gid) = id;
    } else if (name == "umask") {
      if (!ParseIdentity(value, 8, 0777, &settings->umask)) {
        *error = "-o umask needs an octal number from 0 to 777";
        return false;
      }
    } else if (meant == "rw") {
      // mount(8) asks for rw unless told ro; the mount is read-only all the same, as a
      // write-protected disk's is.
      settings->readWriteAsked = true;
    } else if (meant == "remount") {
      // For "mount -o remount", mount(8) starts catmount again with the mount's options; a
      // mount that is served cannot be changed.
      *error = "-o remount: catmount cannot change a mount; unmount it and mount again";
      return false;
    } else if (!IsDropped(meant)) {
      if (!passed.empty()) passed += ',';
      passed += written;
    }
  }
  if (!passed.empty()) {
    settings->fuseArguments.push_back("-o");
    settings->fuseArguments.push_back(passed);
  }
  return true;
}

namespace {

enum OptionId { kHelp, kVersion, kModule, kCacheMiB, kMaxItems, kListingMiB, kMountOptions };

// catmount's own options; FUSE's (-f, -d, -s, ...) are passed on to it as they are.
constexpr cli::Option kOptions[] = {
    {kHelp, 'h', "help"},
    {kVersion, 'V', "version"},
    {kModule, 0, "module", "a value"},
    {kCacheMiB, 0, "cache-mib", "a value"},
    {kMaxItems, 0, "max-items", "a value"},
    {kListingMiB, 0, "listing-mib", "a value"},
    {kMountOptions, 'o', {}, "a value"},
};

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine line;
  Settings& settings = line.settings;
  auto usageError = [&line](std::string message) {
    line.request = Request::kBadUsage;
    line.error = std::move(message);
    return line;
  };
  cli::OptionParser parser({arguments.begin(), arguments.end()}, kOptions, cli::kPassUnknown);
  for (cli::Item item; parser.Next(&item);) {
    const std::string value(item.value);
    std::string error;
    switch (item.id) {
      case cli::kError:
        return usageError(item.error);
      case cli::kOperand:
        settings.positional.push_back(value);
        break;
      case cli::kPassed:
        settings.fuseArguments.push_back(value);
        break;
      case kHelp:
        line.request = Request::kHelp;
        return line;
      case kVersion:
        line.request = Request::kVersion;
        return line;
      case kModule:
        settings.modulePaths.push_back(value);
        break;
      case kMountOptions:
        if (!ApplyMountOptions(value, &settings, &error)) return usageError(error);
        break;
      case kCacheMiB:
      case kMaxItems:
      case kListingMiB: {
        const Count which = item.id == kCacheMiB   ? Count::kCacheMiB
                            : item.id == kMaxItems ? Count::kMaxItems
                                                   : Count::kListingMiB;
        if (!SetCount(which, value, item.name, &settings, &error)) return usageError(error);
        break;
      }
    }
  }
  if (settings.positional.size() != 2) {
    return usageError(settings.positional.size() < 2 ? "SOURCE and MOUNTPOINT are needed"
                                                     : "too many arguments");
  }
  return line;
}

}  // namespace catmount
