// What the system functions share: the state behind Win32System, and the helpers that the
// kernel32/user32 and msvcrt halves both use. Private to the emulated system.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

#include "tools/hosts/cathost32/emulated_heap.h"
#include "tools/hosts/cathost32/win32_system.h"

namespace emulator {

// Windows error codes the system functions set.
enum : uint32_t {
  kErrorSuccess = 0,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorTooManyOpenFiles = 4,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorBadLength = 24,
  kErrorReadFault = 30,
  kErrorGenFailure = 31,
  kErrorInvalidParameter = 87,
  kErrorModNotFound = 126,
  kErrorProcNotFound = 127,
  kErrorNegativeSeek = 131,
  kErrorFilenameExcedRange = 206,
  kErrorInvalidAddress = 487,
  kErrorNoAccess = 998,
  kErrorCantResolveFilename = 1921,
};

struct OpenFile {
  int descriptor;
  uint64_t position;
  std::string path;
};

struct CriticalSectionState {
  uint32_t recursion = 0;
};

struct SystemState {
  SystemState(Memory& memory, const SystemLayout& layout, const HeapPolicy& policy);
  ~SystemState();

  Memory& memory;
  const SystemLayout layout;
  EmulatedHeap heap;

  std::map<uint32_t, OpenFile> files;  // by handle
  uint32_t nextHandle = 4;
  std::map<uint32_t, CriticalSectionState> criticalSections;  // by address

  // The first page of the heap range: msvcrt's _iob, set up when the DLL imports it.
  bool variablesMapped = false;
  uint32_t iobAddress = 0;
  // What the DLL's runtime wrote to its streams, kept for the message that stops the run.
  std::string runtimeReport;
};

// Hands the system functions the state behind a Win32System.
struct SystemFunctions {
  static SystemState& Of(Win32System& system);
};

using FunctionTable = std::unordered_map<std::string, SystemFunction>;
void AddKernel32Functions(FunctionTable& table);
void AddUser32Functions(FunctionTable& table);
void AddMsvcrtFunctions(FunctionTable& table);
// Table keys: "kernel32.dll!CreateFileA".
std::string FunctionKey(const std::string& dll, const std::string& name);

// The thread's last error, in the thread block. False (and the run stopped) when the TEB is
// unmapped.
bool SetLastError(SystemState& state, SystemCall& call, uint32_t code);

// Maps the variables page and lays out _iob there; 0 when the page cannot be mapped.
uint32_t IobAddress(SystemState& state);
constexpr uint32_t kIobEntries = 20;
constexpr uint32_t kFileStructBytes = 32;

}  // namespace emulator
