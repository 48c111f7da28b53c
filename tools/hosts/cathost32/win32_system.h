// The Windows that an emulated DLL sees: the kernel32, user32 and msvcrt functions it imports,
// each written from what Windows documents for it. Files are real files of the host; the
// heap lives in emulated memory with guard zones, a live-block count, and refusals on demand.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "tools/hosts/cathost32/guest_memory.h"

namespace emulator {

// One call from the DLL into the system: its arguments, read from the emulated stack.
class SystemCall {
 public:
  virtual ~SystemCall() = default;
  // The index-th 32-bit argument (0 is the first, just above the return address).
  virtual uint32_t Argument(unsigned index) = 0;
  // Stops the emulated run; the call that is running fails with `why`.
  virtual void Stop(const std::string& why) = 0;
  virtual Memory& memory() = 0;
  // Calls emulated code (a callback of the DLL, such as a constructor that _initterm runs)
  // with the __stdcall/__cdecl-neutral convention of a call with no arguments left on the
  // stack by the callee being checked by the caller. False when that run failed (it has
  // then already stopped the outer run).
  virtual bool CallEmulated(uint32_t function, uint32_t* result) = 0;
};

class Win32System;

// A system function. `argumentBytes` is what the callee removes from the stack: 4 per
// argument for the __stdcall kernel32/user32 functions, 0 for the __cdecl msvcrt ones.
struct SystemFunction {
  uint32_t argumentBytes;
  uint32_t (*run)(Win32System& system, SystemCall& call);
};

// Where the system keeps its own memory inside the emulated address space.
struct SystemLayout {
  // The first page holds the system's own variables (msvcrt's _iob); heap blocks are carved
  // from the next page upwards.
  uint32_t heapBase = 0x20000000;
  uint32_t heapLimit = 0x30000000;
  uint32_t imageBase = 0;  // the loaded DLL (GetModuleHandleA(NULL) and its own name)
  uint32_t imageSize = 0;
  std::string imageName;    // e.g. "zex_fmt.dll"
  uint32_t tebAddress = 0;  // the thread block (process_blocks.h)
};

struct HeapPolicy {
  uint32_t refuseAbove = 0xFFFFFFFFu;
  uint64_t refuseAfter = UINT64_MAX;  // counted from the moment the policy is set
  // Refuse every request of exactly this many bytes (0: none). A catalogue's whole-file
  // image is the one request of the file's size, so this takes the image away alone.
  uint32_t refuseSize = 0;
  // ...but grant the first this many of them (a file as large as a request that comes
  // before the image keeps that one).
  uint32_t grantOfSizeFirst = 0;
};

class Win32System {
 public:
  Win32System(Memory& memory, const SystemLayout& layout, const HeapPolicy& policy);
  ~Win32System();

  // The function that implements DLL!name (DLL in any letter case, e.g. "KERNEL32.dll"),
  // or nullptr when the system does not implement it.
  const SystemFunction* Find(const std::string& dll, const std::string& name) const;
  // Every DLL!name the system provides, functions and variables, in its keys'
  // spelling ("kernel32.dll!CreateFileA").
  static std::set<std::string> ProvidedNames();
  // The address of an imported variable (msvcrt's _iob), laid out in emulated memory by the
  // system, or 0 when the system has no such variable.
  uint32_t FindData(const std::string& dll, const std::string& name);

  // May change between calls of the DLL.
  void SetHeapPolicy(const HeapPolicy& policy);

  size_t OpenHandles() const;
  size_t LiveHeapBlocks() const;
  // Heap blocks from now on count as the DLL's; those allocated before (start-up) do not.
  void MarkHeapBaseline();
  size_t LiveHeapBlocksSinceBaseline() const;
  // Guard-zone damage found by free/realloc or by this sweep: empty when none.
  std::string CheckHeap() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
  friend struct SystemFunctions;
};

// CharToOemA's conversion of one byte: ANSI code page 1252 to OEM code page 437, with
// Windows' best fit for the characters 437 lacks.
uint8_t AnsiToOemByte(uint8_t ansi);

}  // namespace emulator
