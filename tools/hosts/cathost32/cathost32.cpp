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
#include "tools/common/exit_status.h"
#include "tools/common/option_parser.h"
#include "tools/hosts/cathost32/differential.h"
#include "tools/hosts/cathost32/emulated_module.h"
#include "tools/hosts/cathost32/win32_system.h"
#include "tools/hosts/driver/cathost_run.h"

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
  // The catalogues, and cathost's options (which --compare refuses), for cathost's run.
  std::vector<std::string> catalogues;
  std::vector<std::string> hostOptions;
};

constexpr cli::Program kProgram{"cathost32", kExitUsage, kExitWriteFailed};

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

enum OptionId {
  kBase,
  kBudget,
  kRefuseAbove,
  kRefuseAfter,
  kMutations,
  kSeed,
  kInstructions,
  kStartup,
  kDumpCharset,
  kRefuseImage,
  kVerbose,
  kCompare,
  kModule,
};

// The emulator's options, and cathost's --module, which --compare needs too, in OptionId
// order. A value that is missing and one that is wrong get the same complaint.
constexpr cli::Option kOptions[] = {
    {kBase, 0, "base", "an address that is a multiple of 0x10000"},
    {kBudget, 0, "budget", "a positive count"},
    {kRefuseAbove, 0, "refuse-above", "a byte count"},
    {kRefuseAfter, 0, "refuse-after", "a count"},
    {kMutations, 0, "mutations", "a count"},
    {kSeed, 0, "seed", "a number"},
    {kInstructions, 0, "instructions"},
    {kStartup, 0, "startup"},
    {kDumpCharset, 0, "dump-charset"},
    {kRefuseImage, 0, "refuse-image"},
    {kVerbose, 0, "verbose"},
    {kCompare, 0, "compare", "the path of a native module"},
    {kModule, 0, "module", "a path", true},
};

// Takes the emulator's own options from the command line and notes the modules, catalogues and
// cathost's other options, for --compare and for cathost's run. Returns kExitOk or a usage
// failure (reported).
int TakeEmulatorOptions(int argc, char** argv, EmulatorSettings* settings) {
  cli::OptionParser parser(argc, argv, kOptions, cli::kPassUnknown);
  for (cli::Item item; parser.Next(&item);) {
    uint64_t number = 0;
    auto numberUpTo = [&](uint64_t limit) {
      return ParseNumber(item.value, &number) && number <= limit;
    };
    auto refused = [&] {
      return cli::UsageError(kProgram, item.name + " needs " + kOptions[item.id].needs);
    };
    switch (item.id) {
      case cli::kError:
        return cli::UsageError(kProgram, item.error);
      case cli::kOperand:
        settings->catalogues.emplace_back(item.value);
        break;
      case cli::kPassed:
        settings->hostOptions.emplace_back(item.value);
        break;
      case kModule:
        settings->modulePaths.emplace_back(item.value);
        break;
      case kBase:
        if (!numberUpTo(0xFFFF0000u) || (number & 0xFFFF) != 0) return refused();
        settings->options.loadBase = static_cast<uint32_t>(number);
        break;
      case kBudget:
        if (!numberUpTo(UINT64_MAX) || number == 0) return refused();
        settings->options.instructionBudget = number;
        break;
      case kRefuseAbove:
        if (!numberUpTo(0xFFFFFFFFu)) return refused();
        settings->options.refuseAllocationsAbove = static_cast<uint32_t>(number);
        break;
      case kRefuseAfter:
        if (!numberUpTo(UINT64_MAX)) return refused();
        settings->options.refuseAllocationsAfter = number;
        break;
      case kMutations:
        if (!numberUpTo(1000000)) return refused();
        settings->compare.mutations = static_cast<int>(number);
        break;
      case kSeed:
        if (!numberUpTo(UINT64_MAX)) return refused();
        settings->compare.seed = number;
        break;
      case kInstructions:
        settings->instructions = true;
        break;
      case kStartup:
        settings->startup = true;
        break;
      case kDumpCharset:
        settings->dumpCharset = true;
        break;
      case kRefuseImage:
        settings->compare.refuseImage = true;
        break;
      case kVerbose:
        settings->compare.verbose = true;
        break;
      case kCompare:
        settings->compareWith = item.value;
        break;
    }
  }
  return kExitOk;
}

// cathost's command line: its options, the modules and then the catalogues after "--".
std::vector<std::string> HostArguments(const char* programPath, const EmulatorSettings& settings) {
  std::vector<std::string> arguments = {programPath};
  arguments.insert(arguments.end(), settings.hostOptions.begin(), settings.hostOptions.end());
  for (const std::string& path : settings.modulePaths) {
    arguments.push_back("--module");
    arguments.push_back(path);
  }
  arguments.push_back("--");
  arguments.insert(arguments.end(), settings.catalogues.begin(), settings.catalogues.end());
  return arguments;
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
    return cli::UsageError(kProgram, "--compare needs exactly one --module DLL");
  }
  if (catalogues.empty()) return cli::UsageError(kProgram, "no catalogue given");
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
  int status = TakeEmulatorOptions(argc, argv, &settings);
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
    if (!settings.hostOptions.empty()) {
      return cli::UsageError(
          kProgram, "--compare takes no option " + ShownName(settings.hostOptions.front()));
    }
    return Compare(settings, settings.catalogues);
  }

  HostSetup setup;
  setup.programName = "cathost32";
  // The DLLs sit beside cathost32 only: the installed module folder holds native modules.
  setup.modules = {"_fmt.dll", LoadModuleWithReport, nullptr};
  setup.moreHelp = kMoreHelp;
  std::vector<std::string> hostArguments =
      HostArguments(argc > 0 ? argv[0] : kProgram.name, settings);
  std::vector<char*> hostArgv;
  for (std::string& argument : hostArguments) hostArgv.push_back(argument.data());
  hostArgv.push_back(nullptr);
  status = RunCathost(static_cast<int>(hostArguments.size()), hostArgv.data(), setup);
  if (settings.instructions) PrintCosts();
  if (!emulator::FirstEmulationFailure().empty()) return kExitModuleFault;
  return status;
}
