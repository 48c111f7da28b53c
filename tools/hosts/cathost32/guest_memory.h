// The emulated process's memory as the system functions, the heap and the loader see it, and
// checked access to it: every helper answers false when any byte it needs is not mapped, so
// that a bad pointer from the DLL never reaches the host.
#pragma once

#include <cstdint>
#include <string>

namespace emulator {

// Access to the emulated process, given to each system function by the machine.
class Memory {
 public:
  virtual ~Memory() = default;
  virtual bool Read(uint32_t address, void* out, uint32_t size) const = 0;
  virtual bool Write(uint32_t address, const void* in, uint32_t size) = 0;
  // Page-granular mapping; `protection` is a mask of kRead, kWrite, kExecute.
  virtual bool Map(uint32_t address, uint32_t size, uint32_t protection) = 0;
  virtual bool Protect(uint32_t address, uint32_t size, uint32_t protection) = 0;
  // The protection of the page holding `address`, or false when it is not mapped.
  virtual bool QueryPage(uint32_t address, uint32_t* protection) const = 0;
};
constexpr uint32_t kRead = 1, kWrite = 2, kExecute = 4;
constexpr uint32_t kPageSize = 0x1000;

bool ReadU32(const Memory& memory, uint32_t address, uint32_t* value);
bool WriteU32(Memory& memory, uint32_t address, uint32_t value);
bool ReadU64(const Memory& memory, uint32_t address, uint64_t* value);
bool WriteU64(Memory& memory, uint32_t address, uint64_t value);

// Reads the bytes at `address` up to (not including) the first NUL, at most `limit` of them.
// Reads never run into the page after the terminator, which may be unmapped.
bool ReadCString(const Memory& memory, uint32_t address, std::string* text,
                 uint32_t limit = UINT32_MAX);

bool FillBytes(Memory& memory, uint32_t address, uint8_t byte, uint32_t size);
// Copies as memmove does: overlapping ranges come out as if copied through a buffer.
bool MoveBytes(Memory& memory, uint32_t destination, uint32_t source, uint32_t size);

// Whether every page of [address, address + size) is mapped with all of `protection`.
bool RangeHasProtection(const Memory& memory, uint32_t address, uint32_t size, uint32_t protection);

// "0x0040A1C0", the way addresses appear in the machine's and the system's messages; with
// `minimumDigits` 1, "0x40A1C0", the way the loader names numbers read from the file.
std::string Hex(uint32_t value, int minimumDigits = 8);

}  // namespace emulator
