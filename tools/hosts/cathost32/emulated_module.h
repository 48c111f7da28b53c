// A 32-bit Windows format module run in the emulator, behind the same FormatModule as a
// native one: each entry point copies the host's arguments into emulated memory, calls the
// DLL's export and copies back what the DLL may write.
//
// The records are lent as the archive host lends them, each ending right before an unmapped
// guard page, so that a byte written or read past ItemRecord, ItemDetails, CloseRecord or the
// bytes given to IsArchive stops the run. A call that breaks a rule (a fault, the calling
// convention, the instruction budget, a handle or heap block left after CloseArchive)
// is reported on stderr at once; the entry point then answers kEmulationFailed, and the
// module answers nothing else from then on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/hosts/cathost32/emulator.h"
#include "tools/hosts/driver/module_loader.h"

namespace emulator {

// What no entry point of a format module returns: the emulated call failed.
constexpr int kEmulationFailed = -1000;

// How many emulated modules one process can hold at once.
constexpr int kEmulatedModuleSlots = 4;

// Options for the modules that LoadEmulatedFormatModule loads from now on, and the program
// name that prefixes the reports of broken rules.
void SetEmulatedModuleOptions(const Options& options, const char* programName);

// Loads the PE32 DLL at `path` into an emulator of its own and fills `module` with entry
// points that call it. False with `error` set when the DLL cannot be loaded.
bool LoadEmulatedFormatModule(const std::string& path, FormatModule* module, std::string* error);

// The emulator behind a module that LoadEmulatedFormatModule filled.
Emulator* EmulatorOf(const FormatModule& module);

// The first rule broken by any emulated module, or an empty text.
const std::string& FirstEmulationFailure();

// Instructions executed inside the DLL's image during calls of each entry point.
struct CallCost {
  uint64_t calls = 0;
  uint64_t instructions = 0;
};
struct ModuleCost {
  std::string path;
  CallCost isArchive, openArchive, getArcItem, closeArchive, other;
};
// The costs of the modules unloaded so far, in the order they were unloaded.
const std::vector<ModuleCost>& CostsOfUnloadedModules();

}  // namespace emulator
