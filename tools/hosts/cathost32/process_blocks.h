// The thread block (TEB, where FS points) and the process block (PEB) of the one emulated
// process: the fields the DLLs' runtime reads and the system functions keep there, at the
// offsets 32-bit Windows has them. The machine fills them at start-up (emulator.cpp); the
// system functions read and write them (win32_system.cpp).
#pragma once

#include <cstdint>

namespace emulator {

// Thread block fields.
constexpr uint32_t kTebExceptionListField = 0x00;  // 0xFFFFFFFF: the chain's end
constexpr uint32_t kTebStackBaseField = 0x04;      // the stack's top
constexpr uint32_t kTebStackLimitField = 0x08;     // its lowest mapped byte
constexpr uint32_t kTebSelfField = 0x18;           // the block's own address
constexpr uint32_t kTebProcessIdField = 0x20;
constexpr uint32_t kTebThreadIdField = 0x24;
constexpr uint32_t kTebTlsPointerField = 0x2C;  // the static TLS blocks' pointer array
constexpr uint32_t kTebProcessBlockField = 0x30;
constexpr uint32_t kTebLastErrorField = 0x34;
constexpr uint32_t kTebTlsSlotsField = 0xE10;  // TlsAlloc's slots, 4 bytes each
constexpr uint32_t kTlsSlotCount = 64;

// Process block fields.
constexpr uint32_t kPebImageBaseField = 0x08;
constexpr uint32_t kPebOsMajorVersionField = 0xA4;
constexpr uint32_t kPebOsMinorVersionField = 0xA8;
constexpr uint32_t kPebOsBuildField = 0xAC;
constexpr uint32_t kPebPlatformIdField = 0xB0;

// The ids of the one process and its one thread.
constexpr uint32_t kProcessId = 0x1000, kThreadId = 0x1004;

}  // namespace emulator
