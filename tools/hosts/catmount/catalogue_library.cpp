#include "tools/hosts/catmount/catalogue_library.h"

#include <dirent.h>
#include <malloc.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "tools/common/display_text.h"
#include "tools/hosts/driver/catalogue_source.h"
#include "tools/hosts/driver/settled_listing.h"

namespace catmount {

namespace {

std::atomic<bool> gReportToSyslog{false};

// The driver's visitor: the tree grows with what is delivered, never with the file's size, and
// up to the limits; the tree's status is the listing's report.
class TreeListing : public driver::ListingReport {
 public:
  explicit TreeListing(const TreeLimits& limits) : builder_(limits) {}

  bool Take(const ItemRecord& item, const ItemDetails& details, int result, uint64_t itemNumber) {
    if (!builder_.Add(item, details, result == StatusDamaged)) {
      return StopAt(itemNumber, builder_.StopReason());
    }
    Taken(result, itemNumber);
    return true;
  }

  CatalogueTree Finish() { return builder_.Finish(Status()); }

 private:
  TreeBuilder builder_;
};

// Lists the catalogue that `module` accepted, going on past damaged items that were delivered
// (as cathost --keep-going); false when OpenArchive refuses it.
bool ListWith(const FormatModule& module, const std::string& path, const TreeLimits& limits,
              ListedCatalogue* listed) {
  TreeListing listing(limits);
  if (!driver::ListCatalogue(module, path, /*keepGoing=*/true, listing).opened) return false;
  listed->tree = listing.Finish();
  listed->format = driver::FormatName(module);
  return true;
}

}  // namespace

void SetReportToSyslog(bool toSyslog) {
  if (toSyslog) openlog("catmount", LOG_PID, LOG_USER);
  gReportToSyslog = toSyslog;
}

void Report(const std::string& message) {
  if (gReportToSyslog) {
    syslog(LOG_WARNING, "%s", message.c_str());
  } else {
    std::fprintf(stderr, "catmount: %s\n", message.c_str());
  }
}

bool LoadModules(const std::vector<std::string>& paths, std::vector<FormatModule>* modules,
                 std::string* error) {
  driver::ModuleSet loaded(Report);
  if (!loaded.Load(paths, driver::ModuleSource{}, error)) return false;
  *modules = loaded.Release();
  return true;
}

int CatalogueLibrary::OpenSingle(const std::string& path, std::string* error) {
  CatalogueFile catalogue;
  catalogue.path = path;
  if (stat(path.c_str(), &catalogue.info) != 0) {
    *error = ShownName(path) + ": " + std::strerror(errno);
    return errno == ENOENT || errno == ENOTDIR ? kExitNoSuchFile : kExitCannotRead;
  }
  driver::CatalogueSource source;  // a gzip-compressed catalogue is listed decompressed
  driver::Probe probe = source.Open(modules_.Modules(), path);
  if (probe.module == nullptr) {
    *error = ShownName(path) + ": " + probe.reason;
    return probe.status;
  }
  auto listed = std::make_shared<ListedCatalogue>();
  if (!ListWith(*probe.module, source.Path(), limits_, listed.get())) {
    *error = ShownName(path) + ": OpenArchive failed (" + ShownName(probe.module->path) + ")";
    return kExitOpenFailed;
  }
  listed->identity = IdentityOf(catalogue.info);
  listed->info = catalogue.info;
  if (listed->tree.Status() != "complete") {
    Report(ShownName(path) + ": " + listed->tree.Status());
  }
  catalogues_.push_back(std::move(catalogue));
  single_ = std::move(listed);
  malloc_trim(0);  // the builder's growth leaves freed pages behind
  return kExitOk;
}

int CatalogueLibrary::OpenFolder(const std::string& path, std::string* error,
                                 std::vector<std::string>* skipped, const struct stat* hidden) {
  isFolder_ = true;
  folders_.emplace_back();
  folders_[0].path = path;
  if (stat(path.c_str(), &folders_[0].info) != 0) {
    *error = ShownName(path) + ": " + std::strerror(errno);
    return kExitNoSuchFile;
  }
  scanned_.emplace(folders_[0].info.st_dev, folders_[0].info.st_ino);
  if (int problem = ScanFolder(0, 0, hidden, skipped); problem != 0) {
    *error = ShownName(path) + ": " + std::strerror(problem);
    return kExitCannotRead;
  }
  scanned_.clear();
  cache_.resize(catalogues_.size());
  for (size_t index = 0; index < catalogues_.size(); ++index) {
    CacheSlot& slot = cache_[index];
    slot.view = ++lastView_;
    slot.identity = IdentityOf(catalogues_[index].info);
    slot.info = catalogues_[index].info;
    catalogueOfView_.emplace(slot.view, index);
  }
  return kExitOk;
}

int CatalogueLibrary::ScanFolder(size_t folder, int depth, const struct stat* hidden,
                                 std::vector<std::string>* skipped) {
  const std::string path = folders_[folder].path;
  DIR* listing = opendir(path.c_str());
  if (listing == nullptr) return errno;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(listing)) {
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  closedir(listing);
  std::sort(names.begin(), names.end());
  const auto skip = [skipped](const std::string& what, const std::string& why) {
    if (skipped != nullptr) skipped->push_back(ShownName(what) + ": " + why);
  };
  for (const std::string& name : names) {
    CatalogueFile catalogue;
    catalogue.name = name;
    catalogue.path = path + "/" + name;
    catalogue.folder = folder;
    const bool present = stat(catalogue.path.c_str(), &catalogue.info) == 0;
    if (present && S_ISDIR(catalogue.info.st_mode)) {
      const struct stat& info = catalogue.info;
      if (depth + 1 > kMaxFolderDepth) {
        skip(catalogue.path,
             "deeper than " + std::to_string(kMaxFolderDepth) + " folders, not entered");
      } else if (info.st_dev != folders_[0].info.st_dev) {
        skip(catalogue.path, "another file system, not entered");
      } else if (hidden != nullptr && info.st_dev == hidden->st_dev &&
                 info.st_ino == hidden->st_ino) {
        skip(catalogue.path, "the mount point, not entered");
      } else if (!scanned_.emplace(info.st_dev, info.st_ino).second) {
        skip(catalogue.path, "a folder already scanned (a link to it), not entered");
      } else {
        const size_t below = folders_.size();
        folders_.push_back({catalogue.path, info, folder, {}});
        if (int problem = ScanFolder(below, depth + 1, hidden, skipped); problem != 0) {
          skip(catalogue.path, std::strerror(problem));
        }
        // A folder that holds no catalogue is left out, and so are all below it.
        if (folders_[below].entries.empty()) {
          folders_.pop_back();
        } else {
          folders_[folder].entries.push_back({name, true, below});
        }
      }
      continue;
    }
    if (!present || !S_ISREG(catalogue.info.st_mode)) {
      skip(catalogue.path, "not a regular file");
      continue;
    }
    driver::CatalogueSource source;
    driver::Probe probe = source.Open(modules_.Modules(), catalogue.path, /*probeOnly=*/true);
    if (probe.module == nullptr) {
      skip(catalogue.path, probe.reason);
      continue;
    }
    folders_[folder].entries.push_back({name, false, catalogues_.size()});
    catalogues_.push_back(std::move(catalogue));
  }
  return 0;
}

const SourceFolder::Entry* CatalogueLibrary::FindEntry(size_t folder, std::string_view name) const {
  const std::vector<SourceFolder::Entry>& entries = folders_[folder].entries;
  auto found = std::lower_bound(entries.begin(), entries.end(), name,
                                [](const SourceFolder::Entry& entry, std::string_view wanted) {
                                  return entry.name < wanted;
                                });
  return found != entries.end() && found->name == name ? &*found : nullptr;
}

std::shared_ptr<ListedCatalogue> CatalogueLibrary::ListOnce(const CatalogueFile& catalogue) {
  auto listed = std::make_shared<ListedCatalogue>();
  // The file is probed again: it may have changed since the folder was scanned.
  driver::CatalogueSource source;
  driver::Probe probe = source.Open(modules_.Modules(), catalogue.path);
  if (probe.module == nullptr) {
    listed->tree = TreeBuilder().Finish("not listed: " + probe.reason);
  } else if (!ListWith(*probe.module, source.Path(), limits_, listed.get())) {
    listed->tree = TreeBuilder().Finish(driver::ListingReport::kNotOpened);
    listed->format = driver::FormatName(*probe.module);
  }
  return listed;
}

std::shared_ptr<ListedCatalogue> CatalogueLibrary::List(const CatalogueFile& catalogue) {
  std::shared_ptr<ListedCatalogue> listed;
  driver::SettledListing settling(catalogue.path);
  while (settling.NextAttempt()) {
    listed = ListOnce(catalogue);
    listed->identity = settling.Before();
    listed->info = listed->identity ? settling.BeforeInfo() : catalogue.info;
    listed->settled = settling.Settled();
    if (listed->settled) break;
  }
  if (listed->tree.Status() != "complete") {
    Report(ShownName(catalogue.path) + ": " + listed->tree.Status());
  }
  return listed;
}

uint32_t CatalogueLibrary::CurrentView(size_t index, struct stat* info) {
  std::lock_guard<std::mutex> lock(cacheMutex_);
  if (info != nullptr) *info = cache_[index].info;
  return cache_[index].view;
}

ViewState CatalogueLibrary::FindView(uint32_t view, size_t* index, struct stat* info) {
  std::lock_guard<std::mutex> lock(cacheMutex_);
  auto found = catalogueOfView_.find(view);
  if (found == catalogueOfView_.end()) {
    return view != 0 && view <= lastView_ ? ViewState::kReplaced : ViewState::kUnknown;
  }
  *index = found->second;
  if (info != nullptr) *info = cache_[found->second].info;
  return ViewState::kCurrent;
}

void CatalogueLibrary::OnViewReplaced(
    std::function<void(const CatalogueFile&, uint32_t oldView)> handler) {
  std::lock_guard<std::mutex> lock(cacheMutex_);
  onViewReplaced_ = std::move(handler);
}

std::shared_ptr<const ListedCatalogue> CatalogueLibrary::Listing(uint32_t view) {
  size_t index;
  {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    auto found = catalogueOfView_.find(view);
    if (found == catalogueOfView_.end()) return nullptr;
    index = found->second;
    CacheSlot& slot = cache_[index];
    if (slot.listing != nullptr) {
      recentFirst_.splice(recentFirst_.begin(), recentFirst_, slot.recent);
      return slot.listing;
    }
  }
  // Views change only here, under this lock.
  std::lock_guard<std::mutex> listing(listingMutex_);
  {
    // Another thread may have listed it, or replaced the view, while this one waited.
    std::lock_guard<std::mutex> lock(cacheMutex_);
    if (cache_[index].view != view) return nullptr;
    if (cache_[index].listing != nullptr) return cache_[index].listing;
  }
  std::shared_ptr<ListedCatalogue> listed = List(catalogues_[index]);
  std::function<void(const CatalogueFile&, uint32_t)> onReplaced;
  std::unique_lock<std::mutex> lock(cacheMutex_);
  CacheSlot& slot = cache_[index];
  // A file that changed since the view was made gets a new view: the node numbers of the new
  // listing must never be served under the inode numbers the kernel holds for the old one.
  const bool changed = !listed->settled || !(listed->identity == slot.identity);
  if (changed) {
    if (lastView_ == UINT32_MAX) {
      // No serial is left to tell a new version from the old one: serve none of it.
      listed = std::make_shared<ListedCatalogue>();
      listed->tree = TreeBuilder().Finish("not listed: the file changed too often");
    } else {
      catalogueOfView_.erase(slot.view);
      slot.view = ++lastView_;
      catalogueOfView_.emplace(slot.view, index);
      onReplaced = onViewReplaced_;
    }
  }
  slot.identity = listed->identity;
  if (listed->identity) slot.info = listed->info;
  slot.listing = listed;
  slot.bytes = listed->tree.MemoryBytes() + listed->format.size();
  recentFirst_.push_front(index);
  slot.recent = recentFirst_.begin();
  cachedBytes_ += slot.bytes;
  // Least recently used listings go first; the newest always stays. Whoever still uses an
  // evicted listing keeps it alive until done.
  bool evicted = false;
  while (cachedBytes_ > cacheBytes_ && recentFirst_.size() > 1) {
    CacheSlot& oldest = cache_[recentFirst_.back()];
    cachedBytes_ -= oldest.bytes;
    oldest.listing.reset();
    oldest.bytes = 0;
    recentFirst_.pop_back();
    evicted = true;
  }
  if (evicted) malloc_trim(0);
  const bool stillCurrent = slot.view == view;
  lock.unlock();
  // Outside the cache's lock: the handler may take time or locks of its own.
  if (onReplaced) onReplaced(catalogues_[index], view);
  return stillCurrent ? listed : nullptr;
}

size_t CatalogueLibrary::CachedListings() {
  std::lock_guard<std::mutex> lock(cacheMutex_);
  return recentFirst_.size();
}

size_t CatalogueLibrary::CachedBytes() {
  std::lock_guard<std::mutex> lock(cacheMutex_);
  return cachedBytes_;
}

}  // namespace catmount
