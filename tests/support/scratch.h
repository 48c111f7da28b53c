// Test support: a fresh folder under /tmp for one test, removed with everything in it when the
// object goes; `path` is empty when none could be made.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

struct Scratch {
  std::string path;
  Scratch() {
    char pattern[] = "/tmp/catalogue_test_XXXXXX";
    if (mkdtemp(pattern) != nullptr) path = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
};
