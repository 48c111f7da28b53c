// The page catweb serves: tools/web/page/*, made into this table at build time by
// embed_page.cmake. Nothing is read from disk while serving.
#pragma once

#include <cstddef>
#include <string_view>

namespace page_assets {

struct Asset {
  std::string_view path;  // "/" for index.html, else "/" and the file's name
  std::string_view contentType;
  const unsigned char* data;
  size_t size;
};

extern const Asset kAssets[];
extern const size_t kAssetCount;

// The asset served at `path`, or nullptr.
inline const Asset* Find(std::string_view path) {
  for (size_t i = 0; i < kAssetCount; ++i) {
    if (kAssets[i].path == path) return &kAssets[i];
  }
  return nullptr;
}

}  // namespace page_assets
