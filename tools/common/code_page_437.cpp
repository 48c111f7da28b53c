#include "tools/common/code_page_437.h"

#include <array>
#include <cstring>

namespace code_page_437 {

namespace {

struct Utf8Sequence {
  uint8_t length;
  char bytes[3];
};

// The UTF-8 form of every byte, worked out at compile time: one byte for plain ASCII, two or
// three for the glyphs and the high half.
constexpr std::array<Utf8Sequence, 256> MakeUtf8Table() {
  std::array<Utf8Sequence, 256> table{};
  for (size_t i = 0; i < 256; ++i) {
    uint32_t code = CodePointOf(static_cast<uint8_t>(i));
    if (code < 0x80) {
      table[i] = {1, {static_cast<char>(code), 0, 0}};
    } else if (code < 0x800) {
      table[i] = {
          2, {static_cast<char>(0xC0 | (code >> 6)), static_cast<char>(0x80 | (code & 0x3F)), 0}};
    } else {
      table[i] = {
          3,
          {static_cast<char>(0xE0 | (code >> 12)), static_cast<char>(0x80 | ((code >> 6) & 0x3F)),
           static_cast<char>(0x80 | (code & 0x3F))}};
    }
  }
  return table;
}
constexpr std::array<Utf8Sequence, 256> kUtf8 = MakeUtf8Table();

}  // namespace

char* WriteUtf8(char* out, uint8_t byte) {
  const Utf8Sequence& sequence = kUtf8[byte];
  std::memcpy(out, sequence.bytes, 3);  // the unused bytes are overwritten next
  return out + sequence.length;
}

}  // namespace code_page_437

char* WriteCp437AsUtf8(char* out, const char* field, size_t fieldSize) {
  // Most texts are plain ASCII, which UTF-8 keeps byte for byte: such a text is copied whole.
  const auto* bytes = reinterpret_cast<const uint8_t*>(field);
  size_t length = 0;
  bool plain = true;
  for (; length < fieldSize && bytes[length] != 0; ++length) {
    plain &= code_page_437::IsPlainAscii(bytes[length]);
  }
  if (plain) {
    std::memcpy(out, field, length);
    return out + length;
  }
  for (size_t i = 0; i < length; ++i) out = code_page_437::WriteUtf8(out, bytes[i]);
  return out;
}
