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
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
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

// The modules a host loaded, unloaded when the set goes, or before by Unload.
class ModuleSet {
 public:
  explicit ModuleSet(Report report) : report_(report) {}
  // Takes over modules loaded already.
  ModuleSet(std::vector<FormatModule> modules, Report report)
      : modules_(std::move(modules)), report_(report) {}
  ~ModuleSet() { Unload(); }
  ModuleSet(const ModuleSet&) = delete;
  ModuleSet& operator=(const ModuleSet&) = delete;

  // LoadModules into the set: what loaded before a failure stays until the set unloads it.
  bool Load(const std::vector<std::string>& paths, const ModuleSource& source, std::string* error) {
    return LoadModules(paths, source, report_, &modules_, error);
  }
  // UnloadModules, leaving the set empty.
  bool Unload() { return UnloadModules(&modules_, report_); }
  // Hands the modules over: the set no longer unloads them.
  std::vector<FormatModule> Release() { return std::exchange(modules_, {}); }
  const std::vector<FormatModule>& Modules() const { return modules_; }

 private:
  std::vector<FormatModule> modules_;
  Report report_;
};

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

// The first module whose IsArchive accepts `head` (a file's first bytes, at most kProbeBytes),
// or nullptr; with none, `probe` says so as ProbeCatalogue does.
const FormatModule* AcceptingModule(const std::vector<FormatModule>& modules,
                                    const std::string& path, const unsigned char* head,
                                    size_t headSize, Probe* probe);

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

// What a listing says of itself where a host keeps it as one sentence (catmount's trees,
// catindex's catalogues): "complete", or "stopped at item N: why"; then, when delivered items
// were damaged, "; N items damaged (result 2), the first item M". It is built from the
// visitor's callbacks: a visitor derives from it and adds Take, which tells it of each item
// taken (Taken) or of a limit that ends the listing (StopAt). Every call starts from zeroed
// records.
class ListingReport {
 public:
  // The status of a catalogue that OpenArchive refused.
  static constexpr const char* kNotOpened = "not listed: OpenArchive failed";

  void Opened() {}

  void Prepare(ItemRecord& item, ItemDetails& details) {
    std::memset(&item, 0, sizeof item);
    std::memset(&details, 0, sizeof details);
  }

  void Problem(int result, uint64_t itemNumber, bool delivered, bool goingOn) {
    if (goingOn) return;  // a damaged item that was delivered: counted by Taken
    StopAt(itemNumber, ResultInWords(result, delivered));
  }

  std::string Status() const;

 protected:
  // A delivered item (result 1 or 2) taken.
  void Taken(int result, uint64_t itemNumber) {
    if (result == StatusDamaged && damagedItems_++ == 0) firstDamaged_ = itemNumber;
  }
  // The listing ends at item `itemNumber` for `why`; false, for Take to return.
  bool StopAt(uint64_t itemNumber, std::string_view why);

 private:
  std::string stop_;  // empty while the listing runs to its end
  uint64_t damagedItems_ = 0;
  uint64_t firstDamaged_ = 0;
};

}  // namespace driver
