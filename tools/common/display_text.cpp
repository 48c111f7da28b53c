#include "tools/common/display_text.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD

uint8_t ByteAt(std::string_view text, size_t at) {
  return static_cast<uint8_t>(text[at]);
}

bool IsContinuation(uint8_t byte) {
  return (byte & 0xC0) == 0x80;
}

// C0 controls, DEL, and C1 controls (U+0080 to U+009F, encoded as 0xC2 0x80 to 0xC2 0x9F),
// which some terminals obey as well.
bool IsControlSequence(std::string_view text, size_t length) {
  uint8_t first = ByteAt(text, 0);
  if (length == 1) return first < 0x20 || first == 0x7F;
  return length == 2 && first == 0xC2 && ByteAt(text, 1) < 0xA0;
}

// The length of the character that starts `text` when a terminal shows it as it is, else 0.
size_t ShownCharacterLength(std::string_view text) {
  size_t length = Utf8SequenceLength(text);
  return length != 0 && !IsControlSequence(text, length) ? length : 0;
}

// Whether each of the word's 8 bytes is printable ASCII (0x20 to 0x7E). Without a high bit set,
// no sum carries into the next byte: adding 0x60 sets a byte's high bit from 0x20 on, adding 1
// only at 0x7F.
bool AllPrintableAscii(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101;
  constexpr uint64_t kHighBits = 0x8080808080808080;
  return ((word + kOnes * 0x60) & ~(word + kOnes) & ~word & kHighBits) == kHighBits;
}

void AppendOctalEscape(std::string* out, uint8_t byte) {
  *out += '\\';
  *out += static_cast<char>('0' + (byte >> 6));
  *out += static_cast<char>('0' + ((byte >> 3) & 7));
  *out += static_cast<char>('0' + (byte & 7));
}

}  // namespace

size_t Utf8SequenceLength(std::string_view text) {
  if (text.empty()) return 0;
  uint8_t first = ByteAt(text, 0);
  if (first < 0x80) return 1;
  size_t length;
  uint8_t secondLow = 0x80;   // the second byte's range, narrowed where overlong forms,
  uint8_t secondHigh = 0xBF;  // surrogates or code points past U+10FFFF would begin
  if (first >= 0xC2 && first <= 0xDF) {
    length = 2;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3;
    if (first == 0xE0) secondLow = 0xA0;
    if (first == 0xED) secondHigh = 0x9F;
  } else if (first >= 0xF0 && first <= 0xF4) {
    length = 4;
    if (first == 0xF0) secondLow = 0x90;
    if (first == 0xF4) secondHigh = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  uint8_t second = ByteAt(text, 1);
  if (second < secondLow || second > secondHigh) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (!IsContinuation(ByteAt(text, i))) return 0;
  }
  return length;
}

bool ShowsAsIs(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    uint64_t word;
    if (text.size() - at >= sizeof word) {
      std::memcpy(&word, text.data() + at, sizeof word);
      if (AllPrintableAscii(word)) {
        at += sizeof word;
        continue;
      }
    }
    size_t length = ShownCharacterLength(text.substr(at));
    if (length == 0) return false;
    at += length;
  }
  return true;
}

bool ShowsAsIsByCharacter(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    size_t length = ShownCharacterLength(text.substr(at));
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string ShownName(std::string_view text) {
  if (!text.starts_with('\'') && ShowsAsIsByCharacter(text)) return std::string(text);

  std::string shown = "'";
  for (size_t at = 0; at < text.size();) {
    std::string_view rest = text.substr(at);
    size_t length = Utf8SequenceLength(rest);
    if (length == 0 || IsControlSequence(rest, length)) {
      // An invalid byte alone; a control character with all of its bytes.
      size_t escaped = length == 0 ? 1 : length;
      for (size_t i = 0; i < escaped; ++i) AppendOctalEscape(&shown, ByteAt(rest, i));
      at += escaped;
    } else {
      if (rest[0] == '\\' || rest[0] == '\'') shown += '\\';
      shown.append(rest.substr(0, length));
      at += length;
    }
  }
  shown += '\'';
  return shown;
}

std::string WellFormedUtf8(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    size_t length = Utf8SequenceLength(text.substr(at));
    if (length == 0) {
      result += kReplacementCharacter;
      at += 1;
    } else {
      result.append(text.substr(at, length));
      at += length;
    }
  }
  return result;
}
