#include "tools/hosts/cathost32/emulated_module.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <utility>

#include "modules/interface/host_interface.h"

namespace emulator {
namespace {

enum EntryPoint {
  kLoadFormatModule,
  kIsArchive,
  kOpenArchive,
  kGetArcItem,
  kCloseArchive,
  kGetFormatName,
  kGetDefaultCommands,
  kEntryPointCount
};
constexpr std::array<const char*, kEntryPointCount> kEntryPointNames = {
    "LoadFormatModule", "IsArchive",     "OpenArchive",       "GetArcItem",
    "CloseArchive",     "GetFormatName", "GetDefaultCommands"};

// The texts GetFormatName and GetDefaultCommands write are short; the DLL gets this much room,
// filled with a pattern, and the host gets back the text alone.
constexpr uint32_t kTextBlockSize = 256;
constexpr uint8_t kTextPattern = 0xCC;
// IsArchive's bytes and OpenArchive's file name go into blocks of at least this size.
constexpr uint32_t kInitialBlockSize = 64 * 1024;

// A lent block reused for data of any length up to its size, placed at its end so that the
// guard page follows the last byte.
struct TailBlock {
  uint32_t address = 0;
  uint32_t size = 0;
};

struct EmulatedModule {
  Emulator emulator;
  std::string path;
  std::array<uint32_t, kEntryPointCount> exports{};
  uint32_t itemBlock = 0, detailsBlock = 0, closeBlock = 0, formatTypeBlock = 0;
  uint32_t nameBlock = 0, secondBlock = 0, commandBlock = 0;
  TailBlock data, fileName;
  size_t heapBlocksAtLoad = 0;
  bool failed = false;
  ModuleCost cost;
  int slot = 0;
};

Options gOptions;
std::string gProgramName = "cathost32";
std::string gFirstFailure;
std::vector<ModuleCost> gUnloadedCosts;
std::array<std::unique_ptr<EmulatedModule>, kEmulatedModuleSlots> gSlots;

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void Fail(EmulatedModule& module, int entryPoint, const std::string& why) {
  module.failed = true;
  std::string message = BaseName(module.path) + ": " + kEntryPointNames[entryPoint] + ": " + why;
  if (gFirstFailure.empty()) gFirstFailure = message;
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", gProgramName.c_str(), message.c_str());
}

CallCost& CostSlot(ModuleCost& cost, int entryPoint) {
  switch (entryPoint) {
    case kIsArchive:
      return cost.isArchive;
    case kOpenArchive:
      return cost.openArchive;
    case kGetArcItem:
      return cost.getArcItem;
    case kCloseArchive:
      return cost.closeArchive;
    default:
      return cost.other;
  }
}

// Calls the export; false (already reported) when the call broke a rule.
bool Call(EmulatedModule& module, int entryPoint, std::initializer_list<uint32_t> arguments,
          uint32_t* result) {
  if (module.failed) return false;
  CallCost& cost = CostSlot(module.cost, entryPoint);
  const uint64_t before = module.emulator.InstructionsInImage();
  std::string error;
  const std::span<const uint32_t> args(arguments.begin(), arguments.size());
  bool ok = module.emulator.CallStdcall(module.exports[entryPoint], args, result, &error);
  cost.calls += 1;
  cost.instructions += module.emulator.InstructionsInImage() - before;
  if (!ok) Fail(module, entryPoint, error);
  return ok;
}

bool Put(EmulatedModule& module, int entryPoint, uint32_t address, const void* bytes,
         uint32_t size) {
  if (module.emulator.Write(address, bytes, size)) return true;
  Fail(module, entryPoint, "cannot write the lent record into emulated memory");
  return false;
}

bool Get(EmulatedModule& module, int entryPoint, uint32_t address, void* bytes, uint32_t size) {
  if (module.emulator.Read(address, bytes, size)) return true;
  Fail(module, entryPoint, "cannot read the lent record back from emulated memory");
  return false;
}

// Places `size` bytes at the end of the block (growing it when needed); returns their address.
uint32_t PlaceAtEnd(EmulatedModule& module, TailBlock& block, const void* bytes, uint32_t size) {
  if (size > block.size) {
    block.size = size > kInitialBlockSize ? size : kInitialBlockSize;
    block.address = module.emulator.LendBlock(block.size);
  }
  uint32_t address = block.address + block.size - size;
  if (size > 0 && !module.emulator.Write(address, bytes, size)) return 0;
  return address;
}

// Lends a pattern-filled text block for a call that may write one text into it.
bool LendTextBlock(EmulatedModule& module, int entryPoint, uint32_t block) {
  uint8_t pattern[kTextBlockSize];
  std::memset(pattern, kTextPattern, sizeof pattern);
  return Put(module, entryPoint, block, pattern, sizeof pattern);
}

// Hands back the text the DLL wrote into `block` when it reported success; otherwise checks
// that the DLL wrote nothing there, as the host's buffer is of a size the DLL cannot know.
bool ReturnText(EmulatedModule& module, int entryPoint, uint32_t block, bool written,
                char* hostText) {
  uint8_t bytes[kTextBlockSize];
  if (!Get(module, entryPoint, block, bytes, sizeof bytes)) return false;
  if (!written) {
    for (uint8_t byte : bytes) {
      if (byte != kTextPattern) {
        Fail(module, entryPoint, "wrote into the host's text buffer without reporting success");
        return false;
      }
    }
    return true;
  }
  const void* end = std::memchr(bytes, 0, sizeof bytes);
  if (end == nullptr) {
    Fail(module, entryPoint, "wrote a text without its terminating zero byte");
    return false;
  }
  size_t length = static_cast<const uint8_t*>(end) - bytes;
  for (size_t i = length + 1; i < sizeof bytes; ++i) {
    if (bytes[i] != kTextPattern) {
      Fail(module, entryPoint, "wrote past the end of its text");
      return false;
    }
  }
  std::memcpy(hostText, bytes, length + 1);
  return true;
}

// After CloseArchive the module holds nothing: no file, no memory of the listing.
void CheckClosed(EmulatedModule& module) {
  size_t handles = module.emulator.OpenHandles();
  if (handles != 0) {
    Fail(module, kCloseArchive, std::to_string(handles) + " file handle(s) left open");
    return;
  }
  size_t blocks = module.emulator.LiveHeapBlocks();
  if (blocks > module.heapBlocksAtLoad) {
    Fail(module, kCloseArchive,
         std::to_string(blocks - module.heapBlocksAtLoad) + " heap block(s) left allocated");
  }
}

// The entry points of the module in slot `Slot`, with the host's signatures.
template <int Slot>
struct Entry {
  static EmulatedModule& Module() { return *gSlots[Slot]; }

  static int FMT_CALL LoadFormatModule(void* loadArgument) {
    uint32_t result = 0;
    auto argument = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(loadArgument));
    if (!Call(Module(), kLoadFormatModule, {argument}, &result)) return kEmulationFailed;
    return static_cast<int>(result);
  }

  static int FMT_CALL IsArchive(const char* candidateName, const unsigned char* data,
                                uint32_t dataSize) {
    EmulatedModule& module = Module();
    if (module.failed) return kEmulationFailed;
    uint32_t nameAddress = 0;
    if (candidateName != nullptr) {
      nameAddress = PlaceAtEnd(module, module.fileName, candidateName,
                               static_cast<uint32_t>(std::strlen(candidateName) + 1));
    }
    uint32_t dataAddress = data == nullptr ? 0 : PlaceAtEnd(module, module.data, data, dataSize);
    if ((candidateName != nullptr && nameAddress == 0) || (data != nullptr && dataAddress == 0)) {
      Fail(module, kIsArchive, "cannot lend the candidate's bytes");
      return kEmulationFailed;
    }
    uint32_t result = 0;
    if (!Call(module, kIsArchive, {nameAddress, dataAddress, dataSize}, &result)) {
      return kEmulationFailed;
    }
    return static_cast<int>(result);
  }

  static int FMT_CALL OpenArchive(const char* fileName, int32_t* formatTypeOut) {
    EmulatedModule& module = Module();
    if (module.failed) return kEmulationFailed;
    uint32_t nameAddress = PlaceAtEnd(module, module.fileName, fileName,
                                      static_cast<uint32_t>(std::strlen(fileName) + 1));
    if (nameAddress == 0) {
      Fail(module, kOpenArchive, "cannot lend the file name");
      return kEmulationFailed;
    }
    if (!Put(module, kOpenArchive, module.formatTypeBlock, formatTypeOut, 4)) {
      return kEmulationFailed;
    }
    uint32_t result = 0;
    if (!Call(module, kOpenArchive, {nameAddress, module.formatTypeBlock}, &result) ||
        !Get(module, kOpenArchive, module.formatTypeBlock, formatTypeOut, 4)) {
      return kEmulationFailed;
    }
    return static_cast<int>(result);
  }

  static int FMT_CALL GetArcItem(ItemRecord* item, ItemDetails* details) {
    EmulatedModule& module = Module();
    if (!Put(module, kGetArcItem, module.itemBlock, item, sizeof *item) ||
        !Put(module, kGetArcItem, module.detailsBlock, details, sizeof *details)) {
      return kEmulationFailed;
    }
    uint32_t result = 0;
    if (!Call(module, kGetArcItem, {module.itemBlock, module.detailsBlock}, &result) ||
        !Get(module, kGetArcItem, module.itemBlock, item, sizeof *item) ||
        !Get(module, kGetArcItem, module.detailsBlock, details, sizeof *details)) {
      return kEmulationFailed;
    }
    return static_cast<int>(result);
  }

  static int FMT_CALL CloseArchive(CloseRecord* closeRecord) {
    EmulatedModule& module = Module();
    if (!Put(module, kCloseArchive, module.closeBlock, closeRecord, sizeof *closeRecord)) {
      return kEmulationFailed;
    }
    uint32_t result = 0;
    if (!Call(module, kCloseArchive, {module.closeBlock}, &result) ||
        !Get(module, kCloseArchive, module.closeBlock, closeRecord, sizeof *closeRecord)) {
      return kEmulationFailed;
    }
    CheckClosed(module);
    return module.failed ? kEmulationFailed : static_cast<int>(result);
  }

  static int FMT_CALL GetFormatName(int32_t formatType, char* nameOut, char* secondOut) {
    EmulatedModule& module = Module();
    if (!LendTextBlock(module, kGetFormatName, module.nameBlock) ||
        !LendTextBlock(module, kGetFormatName, module.secondBlock)) {
      return kEmulationFailed;
    }
    uint32_t result = 0;
    if (!Call(module, kGetFormatName,
              {static_cast<uint32_t>(formatType), module.nameBlock, module.secondBlock}, &result) ||
        !ReturnText(module, kGetFormatName, module.nameBlock, result == 1, nameOut) ||
        !ReturnText(module, kGetFormatName, module.secondBlock, result == 1, secondOut)) {
      return kEmulationFailed;
    }
    return static_cast<int>(result);
  }

  static int FMT_CALL GetDefaultCommands(int32_t formatType, uint32_t commandIndex,
                                         char* commandOut) {
    EmulatedModule& module = Module();
    if (!LendTextBlock(module, kGetDefaultCommands, module.commandBlock)) {
      return kEmulationFailed;
    }
    uint32_t result = 0;
    if (!Call(module, kGetDefaultCommands,
              {static_cast<uint32_t>(formatType), commandIndex, module.commandBlock}, &result) ||
        !ReturnText(module, kGetDefaultCommands, module.commandBlock, result == 1, commandOut)) {
      return kEmulationFailed;
    }
    return static_cast<int>(result);
  }

  static void Fill(FormatModule* out) {
    out->loadFormatModule = LoadFormatModule;
    out->isArchive = IsArchive;
    out->openArchive = OpenArchive;
    out->getArcItem = GetArcItem;
    out->closeArchive = CloseArchive;
    out->getFormatName = GetFormatName;
    out->getDefaultCommands = GetDefaultCommands;
  }
};

template <int... Slots>
void FillEntryPoints(int slot, FormatModule* out, std::integer_sequence<int, Slots...>) {
  ((slot == Slots ? Entry<Slots>::Fill(out) : void()), ...);
}

bool UnloadEmulatedModule(void* library, std::string* error) {
  auto* module = static_cast<EmulatedModule*>(library);
  int slot = module->slot;
  module->cost.path = module->path;
  gUnloadedCosts.push_back(module->cost);
  bool clean = true;
  if (!module->failed) {
    clean = module->emulator.Unload(error);
  } else {
    *error = "the DLL was not unloaded after it broke a rule";
    clean = false;
  }
  gSlots[slot].reset();
  return clean;
}

}  // namespace

void SetEmulatedModuleOptions(const Options& options, const char* programName) {
  gOptions = options;
  gProgramName = programName;
}

bool LoadEmulatedFormatModule(const std::string& path, FormatModule* module, std::string* error) {
  *module = FormatModule{};
  int slot = 0;
  while (slot < kEmulatedModuleSlots && gSlots[slot] != nullptr) ++slot;
  if (slot == kEmulatedModuleSlots) {
    *error =
        "too many emulated modules at once (at most " + std::to_string(kEmulatedModuleSlots) + ")";
    return false;
  }
  auto loaded = std::make_unique<EmulatedModule>();
  loaded->path = path;
  loaded->slot = slot;
  if (!loaded->emulator.Load(path, gOptions, error)) return false;
  for (int entryPoint = 0; entryPoint < kEntryPointCount; ++entryPoint) {
    loaded->exports[entryPoint] = loaded->emulator.Export(kEntryPointNames[entryPoint]);
    if (loaded->exports[entryPoint] == 0) {
      *error = std::string("not a format module: no entry point ") + kEntryPointNames[entryPoint];
      return false;
    }
  }
  Emulator& emulator = loaded->emulator;
  loaded->itemBlock = emulator.LendBlock(sizeof(ItemRecord));
  loaded->detailsBlock = emulator.LendBlock(sizeof(ItemDetails));
  loaded->closeBlock = emulator.LendBlock(sizeof(CloseRecord));
  loaded->formatTypeBlock = emulator.LendBlock(sizeof(int32_t));
  loaded->nameBlock = emulator.LendBlock(kTextBlockSize);
  loaded->secondBlock = emulator.LendBlock(kTextBlockSize);
  loaded->commandBlock = emulator.LendBlock(kTextBlockSize);
  loaded->heapBlocksAtLoad = emulator.LiveHeapBlocks();

  module->library = loaded.get();
  module->path = path;
  module->unloadLibrary = UnloadEmulatedModule;
  FillEntryPoints(slot, module, std::make_integer_sequence<int, kEmulatedModuleSlots>{});
  gSlots[slot] = std::move(loaded);
  return true;
}

Emulator* EmulatorOf(const FormatModule& module) {
  return module.unloadLibrary == UnloadEmulatedModule
             ? &static_cast<EmulatedModule*>(module.library)->emulator
             : nullptr;
}

const std::string& FirstEmulationFailure() {
  return gFirstFailure;
}

const std::vector<ModuleCost>& CostsOfUnloadedModules() {
  return gUnloadedCosts;
}

}  // namespace emulator
