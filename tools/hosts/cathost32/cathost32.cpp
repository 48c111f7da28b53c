// cathost32: cathost for the shipped 32-bit Windows DLLs. Runs each DLL in an i386 emulator
// and lists catalogues exactly as cathost does with the native modules; or drives a DLL and
// the matching native module side by side and compares them call by call (--compare).
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/display_text.h"
#include "tools/hosts/driver/cathost_run.h"
#include "tools/common/exit_status.h"
#include "tools/hosts/cathost32/differential.h"
#include "tools/hosts/cathost32/emulated_module.h"
#include "tools/hosts/cathost32/win32_system.h"

namespace {

// --compare's answer when the two modules listed differently.
constexpr int kExitDifferent = 1;

constexpr char kMoreHelp[] = R"(
cathost32 runs 32-bit Windows format modules (PE32 DLLs such as build-win32/zex_fmt.dll) in
an i386 emulator, lending them the host's records in emulated memory, each followed by an
unmapped guard page. A call that faults, touches a guard page, breaks the __stdcall
convention, exhausts its instruction budget, calls a system function the emulator lacks, or
leaves a file handle or heap block behind after CloseArchive stops the run with status 13.
Without --module it loads every *_fmt.dll beside its own executable.

Emulator options (before or among the others):
  --base ADDRESS        load the DLLs at ADDRESS (hex with 0x) instead of their preferred
                        base, applying their relocations.
  --budget N            instructions one call may execute (default 100000000).
  --refuse-above N      the emulated heap refuses requests of more than N bytes.
  --refuse-after N      ... and every request after N granted ones.
  --instructions        print, on stderr, the instructions each entry point executed in
                        the DLL's own code, in all and per call.
  --startup             print, on stderr, the system functions the DLL's start-up called.
  --dump-charset        print the emulated CharToOemA's table ("oem ANSI OEM", in hex, a
                        line per byte) and exit.

Comparison (instead of a listing):
  --compare NATIVE      drive the one --module DLL and the native module NATIVE side by
                        side on each CATALOGUE: every result code and every byte of the
                        records after every call must be equal. Exit 0 when all are, 1 when
                        one differs, 13 when the DLL broke a rule.
  --refuse-image        the DLL goes without its whole-file image (the emulated heap refuses
                        the file's size); the three answers that the ranged read gives
                        differently without it are counted apart, not as differences.
  --mutations N         also compare N mutated copies of each catalogue (default 0).
  --seed S              the seed of the mutations (default 1).
  --verbose             a line for every catalogue compared.
)";

struct EmulatorSettings {
  emulator::Options options;
  bool instructions = false;
  bool startup = false;
  bool dumpCharset = false;
  std::string compareWith;
  std::vector<std::string> modulePaths;
  differential::Settings compare;
  // What --compare takes besides the --module DLL: the catalogues, and the first of
  // cathost's options, which it refuses.
  std::vector<std::string> catalogues;
  std::string hostOption;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "cathost32: %s\nTry 'cathost32 --help'.\n", message.c_str());
  return kExitUsage;
}

bool ParseNumber(std::string_view text, uint64_t* value) {
  std::string copy(text);
  if (copy.empty() || copy[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long parsed = std::strtoull(copy.c_str(), &end, 0);
  if (errno != 0 || end == copy.c_str() || *end != '\0') return false;
  *value = parsed;
  return true;
}

// Takes the emulator's own options out of argv, leaving cathost's (for its run) and noting the
// modules and catalogues (for --compare) on the way: the one pass over the arguments here.
// Returns kExitOk or a usage failure (reported).
int TakeEmulatorOptions(int* argc, char** argv, EmulatorSettings* settings) {
  int kept = 1;
  bool optionsEnded = false;
  for (int i = 1; i < *argc; ++i) {
    std::string_view argument = argv[i];
    auto value = [&](uint64_t* out, uint64_t limit) {
      if (i + 1 >= *argc) return false;
      return ParseNumber(argv[++i], out) && *out <= limit;
    };
    uint64_t number = 0;
    if (optionsEnded) {
      settings->catalogues.emplace_back(argument);
      argv[kept++] = argv[i];
    } else if (argument == "--") {
      optionsEnded = true;
      argv[kept++] = argv[i];
    } else if (argument == "--base") {
      if (!value(&number, 0xFFFF0000u) || (number & 0xFFFF) != 0) {
        return UsageError("--base needs an address that is a multiple of 0x10000");
      }
      settings->options.loadBase = static_cast<uint32_t>(number);
    } else if (argument == "--budget") {
      if (!value(&number, UINT64_MAX) || number == 0) {
        return UsageError("--budget needs a positive count");
      }
      settings->options.instructionBudget = number;
    } else if (argument == "--refuse-above") {
      if (!value(&number, 0xFFFFFFFFu)) return UsageError("--refuse-above needs a byte count");
      settings->options.refuseAllocationsAbove = static_cast<uint32_t>(number);
    } else if (argument == "--refuse-after") {
      if (!value(&number, UINT64_MAX)) return UsageError("--refuse-after needs a count");
      settings->options.refuseAllocationsAfter = number;
    } else if (argument == "--mutations") {
      if (!value(&number, 1000000)) return UsageError("--mutations needs a count");
      settings->compare.mutations = static_cast<int>(number);
    } else if (argument == "--seed") {
      if (!value(&number, UINT64_MAX)) return UsageError("--seed needs a number");
      settings->compare.seed = number;
    } else if (argument == "--instructions") {
      settings->instructions = true;
    } else if (argument == "--startup") {
      settings->startup = true;
    } else if (argument == "--dump-charset") {
      settings->dumpCharset = true;
    } else if (argument == "--refuse-image") {
      settings->compare.refuseImage = true;
    } else if (argument == "--verbose") {
      settings->compare.verbose = true;
    } else if (argument == "--compare") {
      if (i + 1 >= *argc) return UsageError("--compare needs the path of a native module");
      settings->compareWith = argv[++i];
    } else if (argument == "--module") {
      // cathost's, with its path whatever that looks like; remembered for --compare.
      argv[kept++] = argv[i];
      if (i + 1 < *argc) {
        settings->modulePaths.emplace_back(argv[i + 1]);
        argv[kept++] = argv[++i];
      }
    } else if (argument.starts_with("--module=")) {
      settings->modulePaths.emplace_back(argument.substr(std::strlen("--module=")));
      argv[kept++] = argv[i];
    } else {
      // cathost's own option, or a catalogue.
      if (!argument.starts_with("--")) {
        settings->catalogues.emplace_back(argument);
      } else if (settings->hostOption.empty()) {
        settings->hostOption = argument;
      }
      argv[kept++] = argv[i];
    }
  }
  *argc = kept;
  argv[kept] = nullptr;
  return kExitOk;
}

void PrintCosts() {
  for (const emulator::ModuleCost& cost : emulator::CostsOfUnloadedModules()) {
    auto line = [&](const char* entry, const emulator::CallCost& call) {
      if (call.calls == 0) return;
      std::fprintf(stderr,
                   "%s: %-14s %10" PRIu64 " calls %14" PRIu64 " instructions %10.1f per call\n",
                   ShownName(cost.path).c_str(), entry, call.calls, call.instructions,
                   static_cast<double>(call.instructions) / static_cast<double>(call.calls));
    };
    line("IsArchive", cost.isArchive);
    line("OpenArchive", cost.openArchive);
    line("GetArcItem", cost.getArcItem);
    line("CloseArchive", cost.closeArchive);
    line("other", cost.other);
  }
}

void PrintStartup(const FormatModule& module) {
  emulator::Emulator* machine = emulator::EmulatorOf(module);
  if (machine == nullptr) return;
  std::fprintf(stderr, "%s: start-up called", ShownName(module.path).c_str());
  for (const std::string& call : machine->StartupCalls()) std::fprintf(stderr, " %s", call.c_str());
  std::fputc('\n', stderr);
}

bool gReportStartup = false;

// Loads a DLL into the emulator, telling what its start-up called when asked to.
bool LoadModuleWithReport(const std::string& path, FormatModule* module, std::string* error) {
  if (!emulator::LoadEmulatedFormatModule(path, module, error)) return false;
  if (gReportStartup) PrintStartup(*module);
  return true;
}

int Compare(const EmulatorSettings& settings, const std::vector<std::string>& catalogues) {
  if (settings.modulePaths.size() != 1) {
    return UsageError("--compare needs exactly one --module DLL");
  }
  if (catalogues.empty()) return UsageError("no catalogue given");
  FormatModule native, emulated;
  std::string error;
  if (!LoadFormatModuleFile(settings.compareWith, &native, &error)) {
    std::fprintf(stderr, "cathost32: %s: %s\n", ShownName(settings.compareWith).c_str(),
                 error.c_str());
    return kExitBadModule;
  }
  if (!LoadModuleWithReport(settings.modulePaths[0], &emulated, &error)) {
    std::fprintf(stderr, "cathost32: %s: %s\n", ShownName(settings.modulePaths[0]).c_str(),
                 error.c_str());
    UnloadFormatModule(&native);
    return kExitBadModule;
  }
  differential::Tally tally;
  bool same = differential::CompareConstants(emulated, native, &tally);
  for (const std::string& catalogue : catalogues) {
    same = differential::CompareCatalogue(emulated, native, catalogue, settings.compare, &tally) &&
           same;
  }
  UnloadFormatModule(&native);
  if (!UnloadFormatModule(&emulated, &error)) {
    std::fprintf(stderr, "cathost32: %s: %s\n", ShownName(settings.modulePaths[0]).c_str(),
                 error.c_str());
    same = false;
  }
  std::printf("compared: %" PRIu64 " catalogues, %" PRIu64 " calls on each side, %" PRIu64
              " bytes; different: %" PRIu64 "; without the image: %" PRIu64
              " past-end reads as 4, %" PRIu64 " empty reads at the end, %" PRIu64
              " texts with file bytes after them\n",
              tally.catalogues, tally.calls, tally.bytesCompared, tally.different,
              tally.pastEndAsReadError, tally.emptyReadAtEnd, tally.bytesAfterEmptyText);
  if (settings.instructions) PrintCosts();
  if (!emulator::FirstEmulationFailure().empty()) return kExitModuleFault;
  return same ? kExitOk : kExitDifferent;
}

}  // namespace

int main(int argc, char** argv) {
  EmulatorSettings settings;
  int status = TakeEmulatorOptions(&argc, argv, &settings);
  if (status != kExitOk) return status;
  if (settings.dumpCharset) {
    for (int ansi = 0; ansi < 256; ++ansi) {
      std::printf("oem %02X %02X\n", ansi, emulator::AnsiToOemByte(static_cast<uint8_t>(ansi)));
    }
    return kExitOk;
  }
  emulator::SetEmulatedModuleOptions(settings.options, "cathost32");
  gReportStartup = settings.startup;

  if (!settings.compareWith.empty()) {
    if (!settings.hostOption.empty()) {
      return UsageError("--compare takes no option " + settings.hostOption);
    }
    return Compare(settings, settings.catalogues);
  }

  HostSetup setup;
  setup.programName = "cathost32";
  // The DLLs sit beside cathost32 only: the installed module folder holds native modules.
  setup.modules = {"_fmt.dll", LoadModuleWithReport, nullptr};
  setup.moreHelp = kMoreHelp;
  status = RunCathost(argc, argv, setup);
  if (settings.instructions) PrintCosts();
  if (!emulator::FirstEmulationFailure().empty()) return kExitModuleFault;
  return status;
}
