#include "tools/common/glob_match.h"

#include <cstdint>
#include <cstring>

#include "tools/common/display_text.h"

namespace glob_match {
namespace {

// The other case of an ASCII or Latin-1 letter (those catfind -i folds, and their small
// letters); any other character is its own.
char32_t OtherCase(char32_t c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 0x20;
  if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
  return c;
}

}  // namespace

size_t CharacterLength(std::string_view text) {
  size_t length = Utf8SequenceLength(text);
  return length == 0 ? 1 : length;
}

char32_t CodePoint(std::string_view text, size_t length) {
  auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  if (length == 1) return byte(0);
  char32_t code = byte(0) & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) code = code << 6 | (byte(i) & 0x3F);
  return code;
}

bool MatchSet(std::string_view glob, size_t at, char32_t character, bool ignoreCase, size_t& end,
              bool& matches) {
  const char32_t other = ignoreCase ? OtherCase(character) : character;
  size_t p = at + 1;
  bool negated = p < glob.size() && (glob[p] == '!' || glob[p] == '^');
  if (negated) ++p;
  bool found = false;
  bool first = true;
  while (p < glob.size()) {
    if (glob[p] == ']' && !first) {
      end = p + 1;
      matches = found != negated;
      return true;
    }
    first = false;
    size_t length = CharacterLength(glob.substr(p));
    char32_t low = CodePoint(glob.substr(p), length);
    p += length;
    char32_t high = low;
    // A '-' between two members makes a range; one before the closing ']' is a member.
    if (p + 1 < glob.size() && glob[p] == '-' && glob[p + 1] != ']') {
      size_t highLength = CharacterLength(glob.substr(p + 1));
      high = CodePoint(glob.substr(p + 1), highLength);
      p += 1 + highLength;
    }
    if ((low <= character && character <= high) || (low <= other && other <= high)) found = true;
  }
  return false;
}

namespace {

// The length of the character at text[at]: an ASCII byte without a call.
size_t LengthAt(std::string_view text, size_t at) {
  return static_cast<uint8_t>(text[at]) < 0x80 ? 1 : CharacterLength(text.substr(at));
}

// One star is remembered: on a mismatch the star takes one more character and matching resumes
// after it. Each step moves the text or the star forward, so the work is at most the product of
// the two lengths. With `skip`, a star followed by an ASCII character takes at once every
// character up to the next place that character is: the places between would fail on it.
bool Match(std::string_view glob, std::string_view text, bool ignoreCase, bool skip) {
  size_t p = 0;
  size_t t = 0;
  size_t starGlob = std::string_view::npos;
  size_t starText = 0;
  while (t < text.size()) {
    if (p < glob.size()) {
      char c = glob[p];
      if (c == '*') {
        starGlob = ++p;
        starText = t;
        continue;
      }
      if (c == '?') {
        ++p;
        t += LengthAt(text, t);
        continue;
      }
      size_t end = 0;
      bool inSet = false;
      if (c == '[') {
        const size_t length = LengthAt(text, t);
        if (MatchSet(glob, p, CodePoint(text.substr(t), length), ignoreCase, end, inSet)) {
          if (inSet) {
            p = end;
            t += length;
            continue;
          }
        } else if (c == text[t]) {
          ++p;
          ++t;
          continue;
        }
      } else if (c == text[t]) {
        ++p;
        ++t;
        continue;
      }
    }
    if (starGlob == std::string_view::npos) return false;
    if (skip && starGlob == glob.size()) return true;  // a last star takes whatever is left
    starText += LengthAt(text, starText);
    // An ASCII byte is never part of a longer character: where memchr finds it, one starts.
    const char next = starGlob < glob.size() ? glob[starGlob] : '*';
    if (skip && static_cast<uint8_t>(next) < 0x80 && next != '*' && next != '?' && next != '[' &&
        starText < text.size()) {
      const void* found = std::memchr(text.data() + starText, next, text.size() - starText);
      if (found == nullptr) return false;
      starText = static_cast<size_t>(static_cast<const char*>(found) - text.data());
    }
    p = starGlob;
    t = starText;
  }
  while (p < glob.size() && glob[p] == '*') ++p;
  return p == glob.size();
}

}  // namespace

bool GlobMatches(std::string_view glob, std::string_view text, bool ignoreCase) {
  return Match(glob, text, ignoreCase, true);
}

bool GlobMatchesStepByStep(std::string_view glob, std::string_view text, bool ignoreCase) {
  return Match(glob, text, ignoreCase, false);
}

}  // namespace glob_match
