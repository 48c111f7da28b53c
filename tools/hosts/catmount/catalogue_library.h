// What catmount serves: one catalogue, or a folder of catalogues listed on first use and kept
// in a cache bounded in memory. Modules are driven only through their entry points, in the
// archive host's order: IsArchive on the first bytes, OpenArchive, GetArcItem while it
// returns 1 (and past a result 2 that delivered its item), CloseArchive.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tools/hosts/cathost/exit_status.h"
#include "tools/hosts/catmount/catalogue_tree.h"
#include "tools/hosts/loader/module_loader.h"

namespace catmount {

// Exit statuses before mounting: cathost's for the same failures, and catmount's own for a
// mount point that cannot be used.
constexpr int kExitMountFailed = 20;

// Where problems found while serving go: standard error in the foreground, else syslog.
void SetReportToSyslog(bool toSyslog);
void Report(const std::string& message);

// Loads the modules at `paths`, or without paths every *_fmt.so beside the executable, and
// calls LoadFormatModule on each. On failure says why in `error`.
bool LoadModules(const std::vector<std::string>& paths, std::vector<FormatModule>* modules,
                 std::string* error);
std::string FormatNameOf(const FormatModule& module);

struct ListedCatalogue {
  CatalogueTree tree;
  std::string format;  // the format name of the module that listed it
};

struct CatalogueFile {
  std::string name;  // the directory it appears as, in a folder
  std::string path;
  struct stat info;  // of the catalogue file: owner and times of its root
};

class CatalogueLibrary {
 public:
  static constexpr size_t kNotFound = SIZE_MAX;

  CatalogueLibrary(std::vector<FormatModule> modules, size_t cacheBytes)
      : modules_(std::move(modules)), cacheBytes_(cacheBytes) {}
  ~CatalogueLibrary();

  // Lists one catalogue now. Returns kExitOk (problems while listing are in its status), or an
  // exit status with `error` set when no module accepts it or it cannot be opened.
  int OpenSingle(const std::string& path, std::string* error);
  // Scans a folder: each file that a module accepts becomes a catalogue, listed on first use.
  // `skipped`, when given, receives a line for each file left out.
  int OpenFolder(const std::string& path, std::string* error, std::vector<std::string>* skipped);

  bool IsFolder() const { return isFolder_; }
  const struct stat& FolderInfo() const { return folderInfo_; }
  size_t CatalogueCount() const { return catalogues_.size(); }
  const CatalogueFile& Catalogue(size_t index) const { return catalogues_[index]; }
  size_t FindCatalogue(std::string_view name) const;

  // The listing of catalogue `index`, made on first use and after an eviction.
  std::shared_ptr<const ListedCatalogue> Listing(size_t index);

  // For measurements and tests: listings held and their bytes.
  size_t CachedListings();
  size_t CachedBytes();

 private:
  std::shared_ptr<const ListedCatalogue> List(const CatalogueFile& catalogue);
  void UnloadModules();

  std::vector<FormatModule> modules_;
  size_t cacheBytes_;
  bool isFolder_ = false;
  struct stat folderInfo_ {};
  std::vector<CatalogueFile> catalogues_;
  std::unordered_map<std::string_view, size_t> byName_;

  // Modules hold one open catalogue each: listings run one at a time.
  std::mutex listingMutex_;
  std::mutex cacheMutex_;
  struct CacheSlot {
    std::shared_ptr<const ListedCatalogue> listing;
    std::list<size_t>::iterator recent;
    size_t bytes = 0;
  };
  std::vector<CacheSlot> cache_;
  std::list<size_t> recentFirst_;
  size_t cachedBytes_ = 0;
  std::shared_ptr<const ListedCatalogue> single_;
};

}  // namespace catmount
