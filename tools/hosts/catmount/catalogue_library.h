// What catmount serves: one catalogue, or a folder of catalogues listed on first use and kept
// in a cache bounded in memory. Modules are driven only through the hosts' driver, in the
// archive host's order, going on past a result 2 that delivered its item.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tools/common/exit_status.h"
#include "tools/common/file_identity.h"
#include "tools/hosts/catmount/catalogue_tree.h"
#include "tools/hosts/driver/host_driver.h"

namespace catmount {

// Exit statuses before mounting: cathost's for the same failures, and catmount's own for a
// mount point that cannot be used.
constexpr int kExitMountFailed = 20;

// Where problems found while serving go: standard error in the foreground, else syslog.
void SetReportToSyslog(bool toSyslog);
void Report(const std::string& message);

// Loads the modules at `paths`, or without paths every *_fmt.so beside the executable (those
// skipped are reported), and calls LoadFormatModule on each. On failure says why in `error`
// and leaves none loaded.
bool LoadModules(const std::vector<std::string>& paths, std::vector<FormatModule>* modules,
                 std::string* error);

struct ListedCatalogue {
  CatalogueTree tree;
  std::string format;                    // the format name of the module that listed it
  std::optional<FileIdentity> identity;  // of the file it was listed from, when present
  struct stat info {};                   // of that file, when present: owner and times of the root
  bool settled = true;                   // the file was the same before and after the listing
};

struct CatalogueFile {
  std::string name;  // the directory it appears as, in a folder
  std::string path;
  struct stat info;   // of the catalogue file when opened or scanned
  size_t folder = 0;  // the folder that holds it, in a folder
};

// Subfolders deeper than this below a folder mount's source are not entered.
constexpr int kMaxFolderDepth = 16;

// A folder of a folder mount, shown as a directory of its catalogues and of its subfolders
// that hold catalogues. Folder 0 is the source itself.
struct SourceFolder {
  struct Entry {
    std::string name;
    bool isFolder;
    size_t index;  // of the subfolder or of the catalogue
  };
  std::string path;
  struct stat info {};
  size_t parent = 0;
  std::vector<Entry> entries;  // sorted by name
};

// In a folder, each catalogue is served as a view: a serial number, never reused, under which
// one listing of one version of its file is served. The view changes when a listing is made
// again (after an eviction) from a file that changed since the view's listing was made.
enum class ViewState { kCurrent, kReplaced, kUnknown };

class CatalogueLibrary {
 public:
  // `limits` bound each listing; past them it stops, keeping what it listed.
  CatalogueLibrary(std::vector<FormatModule> modules, size_t cacheBytes, TreeLimits limits = {})
      : modules_(std::move(modules), Report), cacheBytes_(cacheBytes), limits_(limits) {}

  // Lists one catalogue now. Returns kExitOk (problems while listing are in its status), or an
  // exit status with `error` set when no module accepts it or it cannot be opened.
  int OpenSingle(const std::string& path, std::string* error);
  // Scans a folder and its subfolders, kMaxFolderDepth levels deep: each file that a module
  // accepts becomes a catalogue, listed on first use, and each subfolder holding one a folder.
  // Not entered: a folder already scanned (a symbolic link loop, or a second link to it), the
  // folder `hidden` (the mount point, when given) and the mount points of other file systems.
  // `skipped`, when given, receives a line for each file or folder left out.
  int OpenFolder(const std::string& path, std::string* error, std::vector<std::string>* skipped,
                 const struct stat* hidden = nullptr);

  bool IsFolder() const { return isFolder_; }
  size_t FolderCount() const { return folders_.size(); }
  const SourceFolder& Folder(size_t index) const { return folders_[index]; }
  // The entry called `name` in folder `folder`, or null.
  const SourceFolder::Entry* FindEntry(size_t folder, std::string_view name) const;
  size_t CatalogueCount() const { return catalogues_.size(); }
  const CatalogueFile& Catalogue(size_t index) const { return catalogues_[index]; }

  // The listing of the single catalogue.
  std::shared_ptr<const ListedCatalogue> SingleListing() const { return single_; }

  // In a folder: the view catalogue `index` shows now, with the file information its root
  // takes (`info` may be null).
  uint32_t CurrentView(size_t index, struct stat* info);
  // Which catalogue `view` shows and its root's information, while it is current.
  ViewState FindView(uint32_t view, size_t* index, struct stat* info);
  // The listing of `view`, made on first use and after an eviction; null when the view has
  // been replaced, also by this call, when its file turned out to have changed.
  std::shared_ptr<const ListedCatalogue> Listing(uint32_t view);
  // Called with a catalogue and its replaced view, outside every lock of the library, so that
  // the kernel can be told to drop what it holds of the old view.
  void OnViewReplaced(std::function<void(const CatalogueFile&, uint32_t oldView)> handler);

  // For measurements and tests: listings held and their bytes.
  size_t CachedListings();
  size_t CachedBytes();

 private:
  std::shared_ptr<ListedCatalogue> List(const CatalogueFile& catalogue);
  std::shared_ptr<ListedCatalogue> ListOnce(const CatalogueFile& catalogue);
  // Scans folder `folder`, `depth` levels below the source; 0, or opendir's errno.
  int ScanFolder(size_t folder, int depth, const struct stat* hidden,
                 std::vector<std::string>* skipped);

  driver::ModuleSet modules_;  // unloaded when the library goes
  size_t cacheBytes_;
  TreeLimits limits_;
  bool isFolder_ = false;
  std::vector<SourceFolder> folders_;
  std::vector<CatalogueFile> catalogues_;
  std::set<std::pair<dev_t, ino_t>> scanned_;  // the folders entered while scanning

  // Modules hold one open catalogue each: listings run one at a time.
  std::mutex listingMutex_;
  std::mutex cacheMutex_;
  struct CacheSlot {
    uint32_t view = 0;
    std::optional<FileIdentity> identity;            // of the file the view shows
    struct stat info {};                             // for the view's root
    std::shared_ptr<const ListedCatalogue> listing;  // null until listed and once evicted
    std::list<size_t>::iterator recent;
    size_t bytes = 0;
  };
  std::vector<CacheSlot> cache_;
  std::unordered_map<uint32_t, size_t> catalogueOfView_;  // current views only
  uint32_t lastView_ = 0;
  std::list<size_t> recentFirst_;
  size_t cachedBytes_ = 0;
  std::function<void(const CatalogueFile&, uint32_t)> onViewReplaced_;
  std::shared_ptr<const ListedCatalogue> single_;
};

}  // namespace catmount
