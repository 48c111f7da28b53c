// The plain twin of the POSIX image memory, for the tests that compare the two.
#pragma once

#include <cstdint>

namespace platform {

// Heap memory as it comes, with no alignment or advice: what AllocateImage gives below a huge
// page. FreeImage releases it.
uint8_t* AllocatePlainImage(uint32_t size);

}  // namespace platform
