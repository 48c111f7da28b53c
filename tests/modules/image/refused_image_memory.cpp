// The platform's image memory (platform/posix/image_memory.cpp) for the test-only build of the
// modules that the image-refused tests load: every whole-file image is refused, so the modules
// read each record from the file, as they do when memory is short.
#include <cstdlib>

#include "modules/platform/platform.h"
#include "modules/platform/posix/image_memory.h"

namespace platform {

uint8_t* AllocatePlainImage(uint32_t /*size*/) {
  return nullptr;
}

uint8_t* AllocateImage(uint32_t /*size*/) {
  return nullptr;
}

void FreeImage(uint8_t* image, uint32_t /*size*/) {
  std::free(image);
}

}  // namespace platform
