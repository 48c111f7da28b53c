// Test support: the name catmount's documented rules give a path component (decoded to UTF-8)
// before any "~N" suffix, worked out apart from the tree builder. The catmount tests and the
// tree builder's fuzz target both check the builder against it.
#pragma once

#include <string>
#include <string_view>

#include "tools/hosts/catmount/catalogue_tree.h"

inline std::string EscapedComponent(std::string_view name) {
  if (name.empty()) return std::string(catmount::kEmptyNameEscape);
  if (name == ".") return std::string(catmount::kDotNameEscape);
  if (name == "..") return std::string(catmount::kDotDotNameEscape);
  std::string escaped;
  for (char c : name) {
    if (c == '/') {
      escaped += catmount::kSlashEscape;
    } else {
      escaped += c;
    }
  }
  return escaped;
}
