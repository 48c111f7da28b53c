#include "tools/writer/text.h"

#include <cstdint>
#include <cstring>

#include "tools/common/code_page_437.h"

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

// Characters no Windows name holds, besides the control characters.
constexpr const char* kForbiddenInNames = "\\/:*?\"<>|";

char Cp437Byte(uint32_t codePoint) {
  if (codePoint < 0x80) return static_cast<char>(codePoint);
  for (uint32_t byte = 1; byte < 256; ++byte) {
    if (code_page_437::CodePointOf(static_cast<uint8_t>(byte)) == codePoint) {
      return static_cast<char>(byte);
    }
  }
  return '?';
}

void AppendUtf8(std::string& out, uint32_t codePoint) {
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

// The length of the well-formed UTF-8 sequence at `i` with its code point, or 0 when the
// bytes there are malformed (overlong forms and surrogates included).
size_t DecodeUtf8(const std::string& utf8, size_t i, uint32_t* codePoint) {
  const unsigned char lead = static_cast<unsigned char>(utf8[i]);
  size_t length = 0;
  uint32_t value = 0;
  uint32_t minimum = 0;
  if (lead < 0x80) {
    *codePoint = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1F;
    minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0F;
    minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > utf8.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    const unsigned char next = static_cast<unsigned char>(utf8[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    value = value << 6 | (next & 0x3F);
  }
  if (value < minimum || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return 0;
  *codePoint = value;
  return length;
}

std::string Utf8ToCodePage(const std::string& utf8, char (*byteOf)(uint32_t), bool* exact) {
  std::string out;
  bool lost = false;
  size_t i = 0;
  while (i < utf8.size()) {
    uint32_t codePoint = 0;
    const size_t length = DecodeUtf8(utf8, i, &codePoint);
    if (length == 0) {
      out += '?';
      lost = true;
      ++i;
      continue;
    }
    const char byte = byteOf(codePoint);
    if (byte == '?' && codePoint != '?') lost = true;
    out += byte;
    i += length;
  }
  if (exact != nullptr) *exact = !lost;
  return out;
}

char UpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
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

bool IsUtf8(const std::string& text) {
  uint32_t codePoint = 0;
  for (size_t i = 0; i < text.size();) {
    const size_t length = DecodeUtf8(text, i, &codePoint);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

// Code points of bytes 0x80 to 0xFF in code page 850.
constexpr uint16_t kCp850High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 90
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192,  // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // A0
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0,  // B0
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,  // C8
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE,  // D0
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,  // D8
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,  // E0
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,  // E8
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,  // F0
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,  // F8
};

// A descript.ion text in a code page as UTF-8. Bytes below 0x80 are ASCII there, control
// characters included: in a text file they are no glyphs.
std::string CodePageToUtf8(const std::string& text, DescriptionCharset charset) {
  std::string out;
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    uint32_t codePoint = byte;
    if (byte >= 0x80) {
      switch (charset) {
        case DescriptionCharset::kCp437:
          codePoint = code_page_437::kHigh[byte - 0x80];
          break;
        case DescriptionCharset::kCp850:
          codePoint = kCp850High[byte - 0x80];
          break;
        default:
          codePoint = byte < 0xA0 ? kCp1252High[byte - 0x80] : byte;
          if (codePoint == 0) codePoint = 0xFFFD;
          break;
      }
    }
    AppendUtf8(out, codePoint);
  }
  return out;
}

}  // namespace

std::string Utf8ToCp1252(const std::string& utf8, bool* exact) {
  return Utf8ToCodePage(utf8, Cp1252Byte, exact);
}

std::string Utf8ToCp437(const std::string& utf8, bool* exact) {
  return Utf8ToCodePage(utf8, Cp437Byte, exact);
}

std::string Cp437ToUtf8(const std::string& cp437) {
  std::string out(3 * cp437.size() + 3, '\0');
  char* end = out.data();
  for (const char c : cp437) end = code_page_437::WriteUtf8(end, static_cast<uint8_t>(c));
  out.resize(static_cast<size_t>(end - out.data()));
  return out;
}

std::string FitWindowsName(const std::string& cp1252, WindowsNameChanges* changes) {
  WindowsNameChanges changed;
  std::string name = cp1252;
  for (char& c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || std::strchr(kForbiddenInNames, c) != nullptr) {
      c = '_';
      changed.forbiddenCharacters = true;
    }
  }
  for (size_t i = name.size(); i > 0 && (name[i - 1] == '.' || name[i - 1] == ' '); --i) {
    name[i - 1] = '_';
    changed.trailingDotsOrSpaces = true;
  }
  const size_t dot = name.find('.');
  const size_t partEnd = dot == std::string::npos ? name.size() : dot;
  if (IsReservedDeviceName(name.substr(0, partEnd))) {
    name.insert(partEnd, 1, '_');
    changed.reservedDeviceName = true;
  }
  if (changes != nullptr) *changes = changed;
  return name;
}

bool IsReservedDeviceName(const std::string& part) {
  std::string upper = part;
  while (!upper.empty() && upper.back() == ' ') upper.pop_back();
  for (char& c : upper) c = UpperAscii(c);
  if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL") return true;
  if (upper.size() != 4 || (upper.compare(0, 3, "COM") != 0 && upper.compare(0, 3, "LPT") != 0)) {
    return false;
  }
  const unsigned char digit = static_cast<unsigned char>(upper[3]);
  // Superscript one, two and three in code page 1252.
  return (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

std::string FoldCp1252Case(const std::string& cp1252) {
  std::string folded = cp1252;
  for (char& c : folded) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 'a' && byte <= 'z') {
      c = static_cast<char>(byte - 0x20);
    } else if (byte >= 0xE0 && byte <= 0xFE && byte != 0xF7) {  // not the division sign
      c = static_cast<char>(byte - 0x20);
    } else if (byte == 0x9A || byte == 0x9C || byte == 0x9E) {  // s and z with caron, oe
      c = static_cast<char>(byte - 0x10);
    } else if (byte == 0xFF) {  // y with diaeresis
      c = static_cast<char>(0x9F);
    }
  }
  return folded;
}

std::string Cp1252ToUtf8(const std::string& cp1252) {
  std::string out;
  for (const char c : cp1252) {
    const unsigned char byte = static_cast<unsigned char>(c);
    uint32_t codePoint = byte;
    if (byte >= 0x80 && byte < 0xA0) codePoint = kCp1252High[byte - 0x80];
    if (codePoint == 0 && byte != 0) codePoint = 0xFFFD;
    AppendUtf8(out, codePoint);
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

bool CharsetByName(const std::string& name, DescriptionCharset* charset) {
  const struct {
    const char* name;
    DescriptionCharset charset;
  } kNames[] = {
      {"auto", DescriptionCharset::kAuto},           {"utf-8", DescriptionCharset::kUtf8},
      {"utf8", DescriptionCharset::kUtf8},           {"cp437", DescriptionCharset::kCp437},
      {"ibm437", DescriptionCharset::kCp437},        {"437", DescriptionCharset::kCp437},
      {"cp850", DescriptionCharset::kCp850},         {"ibm850", DescriptionCharset::kCp850},
      {"850", DescriptionCharset::kCp850},           {"cp1252", DescriptionCharset::kCp1252},
      {"windows-1252", DescriptionCharset::kCp1252}, {"1252", DescriptionCharset::kCp1252},
  };
  for (const auto& known : kNames) {
    if (EqualIgnoringAsciiCase(name, known.name)) {
      *charset = known.charset;
      return true;
    }
  }
  return false;
}

DescriptionList ParseDescriptIon(const std::string& content, DescriptionCharset charset) {
  DescriptionList list;
  size_t lineStart = 0;
  while (lineStart < content.size()) {
    size_t lineEnd = content.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = content.size();
    std::string line = content.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // 4DOS's extended data: binary, not part of the description.
    if (const size_t marker = line.find("\x04\xC2"); marker != std::string::npos) {
      line.resize(marker);
    }

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
  if (charset == DescriptionCharset::kAuto) {
    charset = DescriptionCharset::kUtf8;
    for (const auto& [name, description] : list.entries) {
      if (!IsUtf8(name) || !IsUtf8(description)) charset = DescriptionCharset::kCp850;
    }
  }
  if (charset == DescriptionCharset::kUtf8) return list;
  for (auto& [name, description] : list.entries) {
    name = CodePageToUtf8(name, charset);
    description = CodePageToUtf8(description, charset);
  }
  return list;
}

bool IsDescriptIonName(const std::string& name) {
  return EqualIgnoringAsciiCase(name, "descript.ion");
}

}  // namespace catwriter
