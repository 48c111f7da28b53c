// The platform's image memory (platform/posix/image_memory.cpp) for the fuzz targets: refused
// while gRefuseImage is set, plain heap memory otherwise.
#include "fuzz/image_refusal.h"

#include <cstdlib>

#include "modules/platform/platform.h"

bool gRefuseImage = false;

namespace platform {

uint8_t* AllocateImage(uint32_t size) {
  if (gRefuseImage) return nullptr;
  return static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
}

void FreeImage(uint8_t* image, uint32_t /*size*/) {
  std::free(image);
}

}  // namespace platform
