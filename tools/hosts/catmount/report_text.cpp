#include "tools/hosts/catmount/report_text.h"

#include <cstdint>

namespace catmount {

namespace {

// The length of the valid UTF-8 sequence at `text[at]` whose code point a terminal prints, or
// 0: a control, or a byte that starts no valid sequence (overlong forms, surrogates and code
// points past U+10FFFF are not valid).
size_t PrintableSequenceAt(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(at);
  if (lead < 0x20 || lead == 0x7F) return 0;
  if (lead < 0x80) return 1;
  size_t length;
  uint32_t codePoint;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    codePoint = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    codePoint = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    codePoint = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    codePoint = codePoint << 6 | (byte(at + i) & 0x3Fu);
  }
  const bool overlong = (length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000);
  const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
  const bool control = codePoint >= 0x80 && codePoint <= 0x9F;
  if (overlong || surrogate || control || codePoint > 0x10FFFF) return 0;
  return length;
}

}  // namespace

std::string QuotedForReport(std::string_view bytes) {
  bool plain = true;
  for (size_t at = 0; at < bytes.size() && plain;) {
    const size_t length = PrintableSequenceAt(bytes, at);
    plain = length > 0 && bytes[at] != '\'' && bytes[at] != '\\';
    at += length;
  }
  if (plain) return std::string(bytes);
  std::string quoted = "'";
  for (size_t at = 0; at < bytes.size();) {
    const size_t length = PrintableSequenceAt(bytes, at);
    if (length > 0 && bytes[at] != '\'' && bytes[at] != '\\') {
      quoted.append(bytes.substr(at, length));
      at += length;
      continue;
    }
    // A quote or backslash, a control or a byte of no valid sequence: one escape each (the
    // bytes of a C1 control follow one by one, as neither starts a printable sequence).
    const auto byte = static_cast<uint8_t>(bytes[at]);
    quoted += '\\';
    quoted += static_cast<char>('0' + (byte >> 6));
    quoted += static_cast<char>('0' + ((byte >> 3) & 7));
    quoted += static_cast<char>('0' + (byte & 7));
    ++at;
  }
  return quoted + "'";
}

}  // namespace catmount
