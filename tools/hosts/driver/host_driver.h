// The archive host's calling order, written once for every host: which modules load and in
// what order, how a file is probed, how a catalogue is listed, what a module is called.
// cathost, catmount and cathost32 keep only what is theirs: the output, the tree, the emulator.
//
// The order: LoadFormatModule once per module; per file IsArchive on its first bytes (the
// first module that accepts wins), OpenArchive, GetArcItem while it returns 1 (and past a
// result 2 that still delivered its item, when the host goes on), CloseArchive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "modules/interface/host_interface.h"
#include "tools/common/exit_status.h"
#include "tools/hosts/driver/module_loader.h"

namespace driver {

// The host hands IsArchive at most this many leading bytes of a file.
constexpr size_t kProbeBytes = 4096;

// The folder an installed host takes its modules from when none sits beside its executable
// (the build's CATALOGUE_MODULE_DIR: the installed library folder's catalogue-modules), or an
// empty text when the build names none.
const char* InstalledModuleDirectory();

// Where a host's modules come from: the file names it looks for beside its executable, the
// loader that turns a path into a module (the system's, or an emulator's), and the folder
// searched when none sits beside the executable (null or empty: none).
struct ModuleSource {
  const char* suffix = kNativeModuleSuffix;
  bool (*load)(const std::string& path, FormatModule* module,
               std::string* error) = LoadFormatModuleFile;
  const char* installedDirectory = InstalledModuleDirectory();
};

// Where a host's messages go: standard error, the system log.
using Report = void (*)(const std::string& message);

// Loads the modules at `paths`, in that order, or without paths every module beside the
// executable or, when none is there, in the source's installed folder, in name order (one
// that fails is reported as skipped), then calls
// LoadFormatModule on each. False, with `error` set, when a named module fails or none is
// found; what loaded before the failure stays in `modules` for the caller to unload.
bool LoadModules(const std::vector<std::string>& paths, const ModuleSource& source, Report report,
                 std::vector<FormatModule>* modules, std::string* error);

// Unloads every module; false when one left something behind (reported as "PATH: why").
bool UnloadModules(std::vector<FormatModule>* modules, Report report);

// The module's format name (GetFormatName of type 0) as its bytes, or "(no format name)".
std::string FormatName(const FormatModule& module);

// What a GetArcItem result that ends a listing means, in the words the hosts' statuses use;
// `delivered` when the call still delivered its item.
std::string ResultInWords(int result, bool delivered);

struct Probe {
  int status = kExitOk;                  // the host's exit status for the file
  const FormatModule* module = nullptr;  // the first module whose IsArchive accepted it
  std::string reason;                    // when none did: why, in words
};

// Reads the first kProbeBytes of the file at `path` and asks each module's IsArchive in turn.
Probe ProbeCatalogue(const std::vector<FormatModule>& modules, const std::string& path);

struct ListingEnd {
  bool opened = false;     // false: OpenArchive refused the file and nothing else was called
  uint64_t delivered = 0;  // items delivered and taken by the visitor
};

// Lists the catalogue at `path` with `module`: OpenArchive, the GetArcItem loop, CloseArchive.
// The loop goes on while the result is 1 and, with `keepGoing`, past a result 2 that still
// delivered its item; it stops on anything else. The visitor is told, in this order:
//   void Opened()                                   OpenArchive accepted the file
//   void Prepare(ItemRecord&, ItemDetails&)         before each GetArcItem: clear what it reads
//   bool Take(const ItemRecord&, const ItemDetails&, int result, uint64_t itemNumber)
//                                                   a delivered item (result 1 or 2); false
//                                                   ends the listing
//   void Problem(int result, uint64_t itemNumber, bool delivered, bool goingOn)
//                                                   each result other than 0 and 1
// Items are numbered from 1 by GetArcItem call. Nothing here allocates: the per-item path is
// the module's call and the visitor's work.
template <typename Visitor>
ListingEnd ListCatalogue(const FormatModule& module, const std::string& path, bool keepGoing,
                         Visitor& visitor) {
  ListingEnd end;
  int32_t formatType = -1;
  if (module.openArchive(path.c_str(), &formatType) != 1) return end;
  end.opened = true;
  visitor.Opened();
  ItemRecord item;
  ItemDetails details;
  const GetArcItemFn getArcItem = module.getArcItem;
  for (uint64_t itemNumber = 1;; ++itemNumber) {
    visitor.Prepare(item, details);
    const int result = getArcItem(&item, &details);
    if (result == StatusEnd) break;
    // Every delivered item carries the offline bit; its absence means nothing was written.
    const bool delivered = (item.dwFileAttributes & kAttrOffline) != 0;
    if (delivered && (result == StatusOk || result == StatusDamaged)) {
      if (!visitor.Take(item, details, result, itemNumber)) break;
      ++end.delivered;
    }
    if (result == StatusOk) continue;
    const bool goingOn = keepGoing && result == StatusDamaged && delivered;
    visitor.Problem(result, itemNumber, delivered, goingOn);
    if (!goingOn) break;
  }
  CloseRecord closeRecord = {};
  module.closeArchive(&closeRecord);
  return end;
}

}  // namespace driver
