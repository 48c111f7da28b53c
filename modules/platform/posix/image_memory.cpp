// The whole-file image's memory, in a source of its own: the fuzz targets link a twin of this
// file that can refuse the image, and a changed signature then fails to link.
#include "modules/platform/posix/image_memory.h"

#include <sys/mman.h>

#include <cstdlib>

#include "modules/platform/platform.h"

namespace platform {

// Large images are aligned to huge-page boundaries and advised for huge pages: the kernel then
// backs them with few page faults, which is most of the cost of reading a big catalogue.
static constexpr size_t kHugePage = size_t{2} << 20;

uint8_t* AllocatePlainImage(uint32_t size) {
  return static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
}

uint8_t* AllocateImage(uint32_t size) {
  const size_t rounded = (static_cast<size_t>(size) + kHugePage - 1) & ~(kHugePage - 1);
  // Where size_t has 32 bits, rounding a size just under 4 GiB up wraps past zero: such a
  // block is asked for as it is, and refused.
  if (size < kHugePage || rounded < size) return AllocatePlainImage(size);
  void* image = std::aligned_alloc(kHugePage, rounded);
  if (image != nullptr) ::madvise(image, rounded, MADV_HUGEPAGE);
  return static_cast<uint8_t*>(image);
}

void FreeImage(uint8_t* image, uint32_t /*size*/) {
  std::free(image);
}

}  // namespace platform
