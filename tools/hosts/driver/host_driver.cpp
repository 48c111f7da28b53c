#include "tools/hosts/driver/host_driver.h"

#include <cstring>

#include "tools/common/display_text.h"
#include "tools/hosts/driver/host_platform.h"

namespace driver {

namespace {

// Buffers for GetFormatName's two texts, well beyond any format name.
constexpr size_t kFormatNameBufferSize = 256;

}  // namespace

const char* InstalledModuleDirectory() {
#if defined(CATALOGUE_MODULE_DIR)
  return CATALOGUE_MODULE_DIR;
#else
  return "";
#endif
}

bool LoadModules(const std::vector<std::string>& paths, const ModuleSource& source, Report report,
                 std::vector<FormatModule>* modules, std::string* error) {
  std::string why;
  if (!paths.empty()) {
    for (const std::string& path : paths) {
      FormatModule module;
      if (!source.load(path, &module, &why)) {
        *error = ShownName(path) + ": " + ShownName(why);
        return false;
      }
      modules->push_back(module);
    }
  } else {
    // Modules beside the executable (a build tree, the portable package) come before the
    // installed ones, which sit apart from the programs in a system installation.
    const std::string directory = ExecutableDirectory();
    const std::string installed =
        source.installedDirectory != nullptr ? source.installedDirectory : "";
    std::vector<std::string> found = FormatModulesIn(directory, source.suffix);
    if (found.empty() && !installed.empty()) found = FormatModulesIn(installed, source.suffix);
    for (const std::string& path : found) {
      FormatModule module;
      if (source.load(path, &module, &why)) {
        modules->push_back(module);
      } else {
        report("skipping " + ShownName(path) + ": " + ShownName(why));
      }
    }
    if (modules->empty()) {
      *error = "no format module found beside the executable" +
               (directory.empty() ? std::string() : " in " + ShownName(directory)) +
               (installed.empty() ? std::string() : " or in " + ShownName(installed));
      return false;
    }
  }
  for (FormatModule& module : *modules) module.loadFormatModule(nullptr);
  return true;
}

bool UnloadModules(std::vector<FormatModule>* modules, Report report) {
  bool clean = true;
  for (FormatModule& module : *modules) {
    const std::string path = module.path;
    std::string why;
    if (!UnloadFormatModule(&module, &why)) {
      report(ShownName(path) + ": " + ShownName(why));
      clean = false;
    }
  }
  modules->clear();
  return clean;
}

std::string FormatName(const FormatModule& module) {
  char name[kFormatNameBufferSize] = {};
  char second[kFormatNameBufferSize] = {};
  if (module.getFormatName(0, name, second) != 1) return "(no format name)";
  return std::string(name, strnlen(name, sizeof name - 1));
}

std::string ResultInWords(int result, bool delivered) {
  switch (result) {
    case StatusDamaged:
      return delivered ? "damaged catalogue (result 2)"
                       : "damaged catalogue (result 2), its record runs past the end of the file";
    case StatusPastEnd:
      return "record past the end of the file (result 3)";
    case StatusReadError:
      return "read error (result 4)";
    default:
      return std::string("unknown result ")
          .append(std::to_string(result))
          .append(" from GetArcItem");
  }
}

std::string ListingReport::Status() const {
  std::string status = stop_.empty() ? "complete" : stop_;
  if (damagedItems_ > 0) {
    status.append("; ")
        .append(std::to_string(damagedItems_))
        .append(damagedItems_ == 1 ? " item" : " items")
        .append(" damaged (result 2), the first item ")
        .append(std::to_string(firstDamaged_));
  }
  return status;
}

bool ListingReport::StopAt(uint64_t itemNumber, std::string_view why) {
  stop_ = std::string("stopped at item ").append(std::to_string(itemNumber)).append(": ");
  stop_.append(why);
  return false;
}

Probe ProbeCatalogue(const std::vector<FormatModule>& modules, const std::string& path) {
  Probe probe;
  unsigned char head[kProbeBytes];
  size_t headSize = 0;
  switch (ReadFileHead(path, head, sizeof head, &headSize, &probe.reason)) {
    case HeadStatus::kOk:
      break;
    case HeadStatus::kNoSuchFile:
      probe.reason = "no such file";
      probe.status = kExitNoSuchFile;
      return probe;
    case HeadStatus::kIsDirectory:
      probe.reason = "is a directory";
      probe.status = kExitIsDirectory;
      return probe;
    case HeadStatus::kCannotRead:
      probe.reason = "cannot read the file: " + probe.reason;
      probe.status = kExitCannotRead;
      return probe;
    case HeadStatus::kEmpty:
      probe.reason = "empty file";
      probe.status = kExitEmptyFile;
      return probe;
  }
  probe.module = AcceptingModule(modules, path, head, headSize, &probe);
  return probe;
}

const FormatModule* AcceptingModule(const std::vector<FormatModule>& modules,
                                    const std::string& path, const unsigned char* head,
                                    size_t headSize, Probe* probe) {
  for (const FormatModule& module : modules) {
    if (module.isArchive(path.c_str(), head, static_cast<uint32_t>(headSize)) == 1) {
      return &module;
    }
  }
  probe->reason = "no format module accepts this file";
  probe->status = kExitNotAccepted;
  return nullptr;
}

}  // namespace driver
