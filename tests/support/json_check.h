// Test support: whether a text is well-formed UTF-8, and one JSON value (RFC 8259). An oracle of
// its own, written apart from the hosts' JSON writer, so that the two cannot share a mistake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace json_check {

// The length of the multi-byte UTF-8 character at `at`, or 0 when none starts there (an
// overlong form, a surrogate, a code point past U+10FFFF, a cut or stray byte).
inline size_t Utf8CharacterLength(std::string_view text, size_t at) {
  auto byte = [&](size_t i) { return static_cast<uint8_t>(text[at + i]); };
  uint8_t first = byte(0);
  size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : 2;
  if (first < 0xC2 || first > 0xF4 || at + length > text.size()) return 0;
  uint32_t code = first & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(i) & 0x3F);
  }
  constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// `text` is well-formed UTF-8 throughout.
inline bool IsWellFormedUtf8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    if (static_cast<uint8_t>(text[at]) < 0x80) {
      ++at;
    } else if (size_t length = Utf8CharacterLength(text, at); length != 0) {
      at += length;
    } else {
      return false;
    }
  }
  return true;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  // The whole text is one value, with white space around it at most.
  bool IsOneValue() {
    SkipSpace();
    if (!Value(0)) return false;
    SkipSpace();
    return at_ == text_.size();
  }

 private:
  static constexpr int kMaxDepth = 64;

  bool Value(int depth) {
    if (depth > kMaxDepth || at_ >= text_.size()) return false;
    char c = text_[at_];
    if (c == '{') return Object(depth);
    if (c == '[') return Array(depth);
    if (c == '"') return String();
    if (c == '-' || (c >= '0' && c <= '9')) return Number();
    return Word("true") || Word("false") || Word("null");
  }

  bool Object(int depth) {
    ++at_;
    SkipSpace();
    if (Take('}')) return true;
    do {
      SkipSpace();
      if (!String()) return false;
      SkipSpace();
      if (!Take(':')) return false;
      SkipSpace();
      if (!Value(depth + 1)) return false;
      SkipSpace();
    } while (Take(','));
    return Take('}');
  }

  bool Array(int depth) {
    ++at_;
    SkipSpace();
    if (Take(']')) return true;
    do {
      SkipSpace();
      if (!Value(depth + 1)) return false;
      SkipSpace();
    } while (Take(','));
    return Take(']');
  }

  bool String() {
    if (!Take('"')) return false;
    while (at_ < text_.size()) {
      auto byte = static_cast<uint8_t>(text_[at_]);
      if (byte == '"') {
        ++at_;
        return true;
      }
      if (byte < 0x20) return false;
      if (byte == '\\') {
        if (++at_ >= text_.size()) return false;
        char escape = text_[at_++];
        if (escape == 'u') {
          for (int i = 0; i < 4; ++i) {
            if (at_ >= text_.size() || !IsHexDigit(text_[at_++])) return false;
          }
        } else if (std::string_view("\"\\/bfnrt").find(escape) == std::string_view::npos) {
          return false;
        }
      } else if (byte < 0x80) {
        ++at_;
      } else if (size_t length = Utf8CharacterLength(text_, at_); length != 0) {
        at_ += length;
      } else {
        return false;
      }
    }
    return false;
  }

  bool Number() {
    size_t start = at_;
    Take('-');
    if (!Take('0') && !Digits()) return false;
    if (Take('.') && !Digits()) return false;
    if (Take('e') || Take('E')) {
      if (!Take('+')) Take('-');
      if (!Digits()) return false;
    }
    return at_ > start;
  }

  bool Digits() {
    size_t start = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    return at_ > start;
  }

  bool Word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  bool Take(char c) {
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }

  void SkipSpace() {
    while (at_ < text_.size() &&
           std::string_view(" \t\r\n").find(text_[at_]) != std::string_view::npos) {
      ++at_;
    }
  }

  static bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  }

  std::string_view text_;
  size_t at_ = 0;
};

// Every line of `lines` (JSON Lines) is one JSON value.
inline bool EveryLineIsJson(std::string_view lines) {
  while (!lines.empty()) {
    size_t end = lines.find('\n');
    if (end == std::string_view::npos) return false;  // JSON Lines end every line
    if (!Parser(lines.substr(0, end)).IsOneValue()) return false;
    lines.remove_prefix(end + 1);
  }
  return true;
}

}  // namespace json_check
