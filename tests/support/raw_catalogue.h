// Test support: a written catalogue's bytes read as a reader reads them, apart from the modules'
// own walk: texts, MUR text chains and names, the MUR listing order; and the module's ZEX probe.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/writer/bytes.h"
#include "modules/zex/zex_format.h"

namespace raw_catalogue {

using catwriter::GetU32;

inline std::string TextAt(const std::vector<uint8_t>& bytes, size_t offset, size_t length) {
  return std::string(bytes.begin() + offset, bytes.begin() + offset + length);
}

// The module's own ZEX probe (modules/zex/zex_format.cpp, linked into the tests).
inline bool ProbesAsZex(const std::vector<uint8_t>& data) {
  return ::zex::Probe(data.data(), static_cast<uint32_t>(data.size()));
}

// Reads a text chain as a reader does: 36-byte pieces up to the first zero byte.
inline std::string ReadChain(const std::vector<uint8_t>& bytes, uint32_t link) {
  std::string text;
  while (link != 0) {
    text += TextAt(bytes, link + 4, 36);
    link = GetU32(bytes, link);
  }
  return text.substr(0, text.find('\0'));
}

inline std::string InlineText(const std::vector<uint8_t>& bytes, size_t offset, size_t width) {
  const std::string text = TextAt(bytes, offset, width);
  return text.substr(0, text.find('\0'));
}

inline std::string MurName(const std::vector<uint8_t>& bytes, uint32_t node) {
  const uint32_t kind = GetU32(bytes, node + 20) >> 10 & 3;
  if (kind == 0) return InlineText(bytes, node + 24, 16);
  if (kind == 2) return InlineText(bytes, node + 24, 12);
  const std::string base =
      kind == 1 ? InlineText(bytes, node + 24, 12) : ReadChain(bytes, GetU32(bytes, node + 24));
  const uint32_t extension = GetU32(bytes, node + (kind == 1 ? 36 : 32));
  return extension == 0 ? base : base + "." + ReadChain(bytes, extension);
}

// The order a reader lists MUR nodes: a node, what is inside it, then its firstLink, then its
// secondLink. Collects full paths and the offsets visited.
inline void WalkMur(const std::vector<uint8_t>& bytes, uint32_t link, const std::string& path,
                    std::vector<std::string>& names, std::vector<uint32_t>& offsets) {
  if (link == 0) return;
  ASSERT_LT(offsets.size(), 1000u) << "links loop";
  offsets.push_back(link);
  const std::string name = path + MurName(bytes, link);
  names.push_back(name);
  if (GetU32(bytes, link + 20) & 0x1000) {
    WalkMur(bytes, GetU32(bytes, link + 8), name + "\\", names, offsets);
  }
  WalkMur(bytes, GetU32(bytes, link), path, names, offsets);
  WalkMur(bytes, GetU32(bytes, link + 4), path, names, offsets);
}

}  // namespace raw_catalogue
