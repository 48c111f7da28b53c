// An i386 emulator that loads a 32-bit Windows DLL (PE32) and calls its exports, so that the
// shipped format modules run on machines that cannot start 32-bit processes. The loader and the
// system the DLL sees (kernel32, user32, msvcrt) are our own; Unicorn executes the code.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace emulator {

struct Options {
  // Where to load the image; 0 loads it at its preferred base. Another base applies the
  // image's base relocations.
  uint32_t loadBase = 0;
  // Instructions one call may execute (in the DLL and the runtime inside it) before it is
  // stopped and reported as endless.
  uint64_t instructionBudget = 100'000'000;
  // The emulated heap refuses any request larger than this many bytes...
  uint32_t refuseAllocationsAbove = 0xFFFFFFFFu;
  // ...and every request after this many have succeeded.
  uint64_t refuseAllocationsAfter = UINT64_MAX;
  // ...and every request of exactly this many bytes (0: none).
  uint32_t refuseAllocationsOfSize = 0;
};

// The heap refusal that takes a catalogue's whole-file image away from a format module while
// leaving it every other request: the image is the one request of the file's size (at least
// one byte). OpenArchive asks for its path buffer before the image, so in a file of the path
// buffer's size the first such request is granted. That order is the module's, not the
// emulator's: emulator_test checks it on the shipped DLLs and fails when it changes.
struct ImageRefusal {
  uint32_t ofSize;
  uint32_t grantOfSizeFirst;
};
constexpr uint32_t kPathBufferRequest = 260;
ImageRefusal WholeFileImageRefusal(uint64_t fileSize);

// One DLL loaded into its own emulated process.
class Emulator {
 public:
  Emulator();
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Maps the image at the chosen base, applies relocations, binds every import (an import
  // the emulated system lacks gets a stub that stops the run, naming it, when called), runs
  // the TLS callbacks and the entry point with DLL_PROCESS_ATTACH. False with `error` set on
  // any failure (not a PE32 i386 DLL, the entry point failed or faulted, ...). One image per
  // emulator: a second Load fails.
  bool Load(const std::string& dllPath, const Options& options, std::string* error);

  // Address of the export of that name, or 0.
  uint32_t Export(const std::string& name) const;

  // A block of `size` bytes of emulated memory placed so that its last byte is followed by an
  // unmapped guard page: a write or read one byte past the block faults. Lives as long as the
  // emulator. Each call returns a fresh block taking its own pages and guard page, never
  // reused: lend the records once and reuse them across calls. 0 when the address space for
  // lending (about 2.7 GiB) is used up.
  uint32_t LendBlock(uint32_t size);

  bool Read(uint32_t address, void* out, uint32_t size) const;
  bool Write(uint32_t address, const void* in, uint32_t size);

  // Calls the __stdcall function at `function` with `arguments` pushed right to left and a
  // return address that stops the emulator. After the return it checks that the callee
  // removed exactly 4 x arguments.size() bytes and kept EBX, ESI, EDI and EBP. False with
  // `error` set on a fault, a stop by a missing import, the budget running out, or a
  // broken convention; `*result` is EAX on success. After a failed call the DLL is left where
  // the failure stopped it (a lock held, blocks allocated, its state half changed): further
  // calls may run or fail, and Unload will likely report what was left. Treat the emulator as
  // spent.
  bool CallStdcall(uint32_t function, std::span<const uint32_t> arguments, uint32_t* result,
                   std::string* error);

  // Instructions executed inside the DLL's own image (not in the emulated system) since Load,
  // including the entry point's. Always counted; the count also enforces the budget.
  uint64_t InstructionsInImage() const;

  // Runs the entry point with DLL_PROCESS_DETACH, then checks that no file handle is left
  // open and no heap block allocated after the attach is left. False with `error` naming
  // what was left or what failed.
  bool Unload(std::string* error);

  // What the TLS callbacks and the entry point called during Load, one "DLL!Function" each,
  // in order of first call.
  const std::vector<std::string>& StartupCalls() const;

  // Changes the heap's refusals between calls (the counts of refuseAllocationsAfter start
  // again from here).
  // `grantOfSizeFirst` requests of `ofSize` bytes are granted before the refusals start.
  void SetHeapRefusals(uint32_t above, uint64_t after, uint32_t ofSize,
                       uint32_t grantOfSizeFirst = 0);

  // The system's bookkeeping, for checks between calls.
  size_t OpenHandles() const;
  size_t LiveHeapBlocks() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace emulator
