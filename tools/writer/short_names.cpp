#include "tools/writer/short_names.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "tools/writer/text.h"

namespace catwriter {
namespace {

constexpr size_t kBaseWidth = 8;
constexpr size_t kExtensionWidth = 3;
constexpr size_t kGeneratedBaseWidth = 6;  // before "~N" with a one-digit N
constexpr unsigned kMaxTail = 999999;      // "~999999" leaves one base character

bool IsShortNameChar(unsigned char c) {
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  return c != 0 && std::strchr("!#$%&'()-@^_`{}~", c) != nullptr;
}

char ShortNameChar(unsigned char c) {
  if (!IsShortNameChar(c)) return '_';
  if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
  return static_cast<char>(c);
}

// Maps a piece of a long name to short-name characters, dropping dots and spaces. A UTF-8
// sequence counts as one character and becomes one "_".
std::string ShortChars(const std::string& piece, size_t limit) {
  std::string out;
  for (size_t i = 0; i < piece.size() && out.size() < limit; ++i) {
    const unsigned char c = static_cast<unsigned char>(piece[i]);
    if (c == '.' || c == ' ') continue;
    if ((c & 0xC0) == 0x80) continue;  // continuation byte of a character already replaced
    out += ShortNameChar(c);
  }
  return out;
}

std::string Joined(const ShortName& name) {
  return name.extension.empty() ? name.base : name.base + "." + name.extension;
}

}  // namespace

bool IsValidShortName(const std::string& name) {
  const size_t dot = name.find('.');
  const std::string base = name.substr(0, dot);
  const std::string extension = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (base.empty() || base.size() > kBaseWidth) return false;
  if (dot != std::string::npos && (extension.empty() || extension.size() > kExtensionWidth)) {
    return false;
  }
  for (char c : base + extension) {
    if (!IsShortNameChar(static_cast<unsigned char>(c))) return false;  // a second dot too
  }
  // "CON" or "nul.txt" would name a device on DOS and Windows: such a name gets a generated
  // one ("CON~1"), which never is one, since a device name holds no "~".
  return !IsReservedDeviceName(base);
}

std::vector<ShortName> MakeShortNames(const std::vector<std::string>& longNames,
                                      ShortNameCost* cost) {
  std::vector<ShortName> result(longNames.size());
  std::vector<bool> settled(longNames.size(), false);
  std::unordered_set<std::string> taken;
  uint64_t checks = 0;
  // Registers `candidate` unless another name has it; counts the check.
  auto take = [&](const ShortName& candidate) {
    ++checks;
    return taken.insert(Joined(candidate)).second;
  };

  for (size_t i = 0; i < longNames.size(); ++i) {
    if (!IsValidShortName(longNames[i])) continue;
    const size_t dot = longNames[i].find('.');
    ShortName candidate{
        ShortChars(longNames[i].substr(0, dot), kBaseWidth),
        dot == std::string::npos ? "" : ShortChars(longNames[i].substr(dot + 1), kExtensionWidth)};
    if (take(candidate)) {
      result[i] = candidate;
      settled[i] = true;
    }
  }

  // Each name takes the lowest free tail N. The candidates with D-digit tails share their
  // prefix (the base cut to 7 - D characters) and extension with other names, so the search
  // for them resumes where the last search of the same prefix, extension and width stopped:
  // every tail below that point is taken, and names are only ever added. The names are those
  // a search from N = 1 would give, found with one failed check per name already taken.
  std::unordered_map<std::string, unsigned> nextTail;
  for (size_t i = 0; i < longNames.size(); ++i) {
    if (settled[i]) continue;
    const std::string& name = longNames[i];
    // Leading dots do not start an extension: ".profile" has the base "PROFILE".
    const size_t start = name.find_first_not_of('.');
    const size_t lastDot = name.rfind('.');
    const bool hasExtension =
        start != std::string::npos && lastDot != std::string::npos && lastDot > start;
    const std::string basePart = hasExtension ? name.substr(0, lastDot) : name;
    const std::string extension =
        hasExtension ? ShortChars(name.substr(lastDot + 1), kExtensionWidth) : "";
    const std::string base = ShortChars(basePart, kGeneratedBaseWidth);
    bool found = false;
    unsigned firstOfWidth = 1;
    for (size_t digits = 1; firstOfWidth <= kMaxTail && !found; ++digits) {
      const unsigned lastOfWidth = std::min(firstOfWidth * 10 - 1, kMaxTail);
      const std::string prefix = base.substr(0, kBaseWidth - 1 - digits);
      // '/' never appears in a short name, so the key is unambiguous.
      const std::string key = prefix + '/' + extension + '/' + std::to_string(digits);
      unsigned& tail = nextTail.try_emplace(key, firstOfWidth).first->second;
      for (; tail <= lastOfWidth; ++tail) {
        // Built by appending: g++ 12 at -O3 warns falsely on "~" + std::to_string(n).
        std::string suffix(1, '~');
        suffix += std::to_string(tail);
        if (take(ShortName{prefix + suffix, extension})) {
          result[i] = ShortName{prefix + suffix, extension};
          found = true;
          ++tail;
          break;
        }
      }
      firstOfWidth *= 10;
    }
    if (!found) throw std::invalid_argument("no free short name for " + name);
  }
  if (cost != nullptr) cost->candidateChecks = checks;
  return result;
}

}  // namespace catwriter
