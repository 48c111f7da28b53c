// The FUSE low-level operations that serve a CatalogueLibrary as a read-only file system.
#pragma once

#define FUSE_USE_VERSION 312
#include <fuse3/fuse_lowlevel.h>

namespace catmount {

// The operations; their user data must be the CatalogueLibrary they serve.
const fuse_lowlevel_ops& CatalogueOperations();

}  // namespace catmount
