// Checked access to emulated memory for the system functions: every helper answers false when
// any byte it needs is not mapped, so that a bad pointer from the DLL never reaches the host.
#pragma once

#include <cstdint>
#include <string>

#include "tools/hosts/cathost32/win32_system.h"

namespace emulator {

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
// memcmp over emulated memory; `*order` is negative, zero or positive.
bool CompareBytes(const Memory& memory, uint32_t first, uint32_t second, uint32_t size, int* order);

// Whether every page of [address, address + size) is mapped with all of `protection`.
bool RangeHasProtection(const Memory& memory, uint32_t address, uint32_t size, uint32_t protection);

// "0x0040A1C0", the way addresses appear in the system's messages.
std::string Hex(uint32_t value);

}  // namespace emulator
