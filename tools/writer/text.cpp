#include "tools/writer/text.h"

#include <cstdint>

namespace catwriter {
namespace {

// Code points of bytes 0x80 to 0x9F in code page 1252; 0 where the byte is unassigned.
// 0xA0 to 0xFF equal U+00A0 to U+00FF.
constexpr uint32_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char Cp1252Byte(uint32_t codePoint) {
  if (codePoint < 0x80) return static_cast<char>(codePoint);
  if (codePoint >= 0xA0 && codePoint <= 0xFF) return static_cast<char>(codePoint);
  for (uint32_t i = 0; i < 32; ++i) {
    if (kCp1252High[i] != 0 && kCp1252High[i] == codePoint) return static_cast<char>(0x80 + i);
  }
  return '?';
}

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace

std::string Utf8ToCp1252(const std::string& utf8, bool* exact) {
  std::string out;
  bool lost = false;
  size_t i = 0;
  while (i < utf8.size()) {
    const unsigned char lead = static_cast<unsigned char>(utf8[i]);
    size_t length = 0;
    uint32_t codePoint = 0;
    uint32_t minimum = 0;
    if (lead < 0x80) {
      length = 1;
      codePoint = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      codePoint = lead & 0x1F;
      minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      codePoint = lead & 0x0F;
      minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      codePoint = lead & 0x07;
      minimum = 0x10000;
    }
    bool wellFormed = length != 0 && i + length <= utf8.size();
    for (size_t k = 1; wellFormed && k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(utf8[i + k]);
      wellFormed = (next & 0xC0) == 0x80;
      codePoint = codePoint << 6 | (next & 0x3F);
    }
    // Overlong forms and surrogates are malformed, too.
    if (wellFormed && (codePoint < minimum || (codePoint >= 0xD800 && codePoint <= 0xDFFF))) {
      wellFormed = false;
    }
    if (!wellFormed) {
      out += '?';
      lost = true;
      ++i;
      continue;
    }
    const char byte = Cp1252Byte(codePoint);
    if (byte == '?' && codePoint != '?') lost = true;
    out += byte;
    i += length;
  }
  if (exact != nullptr) *exact = !lost;
  return out;
}

std::string Cp1252ToUtf8(const std::string& cp1252) {
  std::string out;
  for (const char c : cp1252) {
    const unsigned char byte = static_cast<unsigned char>(c);
    uint32_t codePoint = byte;
    if (byte >= 0x80 && byte < 0xA0) codePoint = kCp1252High[byte - 0x80];
    if (codePoint == 0 && byte != 0) codePoint = 0xFFFD;
    if (codePoint < 0x80) {
      out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
      out += static_cast<char>(0xC0 | codePoint >> 6);
      out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | codePoint >> 12);
      out += static_cast<char>(0x80 | (codePoint >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
  }
  return out;
}

const std::string* DescriptionList::Find(const std::string& longName) const {
  for (const auto& [name, description] : entries) {
    if (name == longName) return &description;
  }
  for (const auto& [name, description] : entries) {
    if (EqualIgnoringAsciiCase(name, longName)) return &description;
  }
  return nullptr;
}

DescriptionList ParseDescriptIon(const std::string& content) {
  DescriptionList list;
  size_t lineStart = 0;
  while (lineStart < content.size()) {
    size_t lineEnd = content.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = content.size();
    std::string line = content.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();

    std::string name;
    size_t rest = 0;
    if (!line.empty() && line[0] == '"') {
      const size_t close = line.find('"', 1);
      if (close == std::string::npos) continue;
      name = line.substr(1, close - 1);
      rest = close + 1;
    } else {
      rest = line.find_first_of(" \t");
      if (rest == std::string::npos) continue;
      name = line.substr(0, rest);
    }
    const size_t textStart = line.find_first_not_of(" \t", rest);
    if (name.empty() || textStart == std::string::npos) continue;
    const size_t textEnd = line.find_last_not_of(" \t");
    list.entries.emplace_back(name, line.substr(textStart, textEnd + 1 - textStart));
  }
  return list;
}

bool IsDescriptIonName(const std::string& name) {
  return EqualIgnoringAsciiCase(name, "descript.ion");
}

}  // namespace catwriter
