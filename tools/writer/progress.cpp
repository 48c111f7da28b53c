#include "tools/writer/progress.h"

#include <cstdio>
#include <vector>

#include "tools/common/display_text.h"

namespace catwriter {
namespace {

std::string SizeText(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

// The columns of each character of well-formed UTF-8 `text` (ShownName's output is), with the
// byte each starts at.
struct Character {
  size_t start;
  size_t columns;
};

std::vector<Character> CharactersOf(const std::string& text) {
  std::vector<Character> characters;
  for (size_t i = 0; i < text.size();) {
    size_t length = Utf8SequenceLength(std::string_view(text).substr(i));
    if (length == 0) length = 1;
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    // From U+1100 on: three-byte sequences past E1 84 80, and every four-byte one.
    const bool wide =
        length == 4 ||
        (length == 3 &&
         (lead > 0xE1 || (lead == 0xE1 && static_cast<unsigned char>(text[i + 1]) >= 0x84)));
    characters.push_back({i, wide ? 2u : 1u});
    i += length;
  }
  return characters;
}

// The first characters of `text` that fit in `columns`.
std::string Head(const std::string& text, size_t columns) {
  size_t used = 0;
  for (const Character& character : CharactersOf(text)) {
    if (used + character.columns > columns) return text.substr(0, character.start);
    used += character.columns;
  }
  return text;
}

size_t ColumnsOf(const std::string& text) {
  size_t columns = 0;
  for (const Character& character : CharactersOf(text)) columns += character.columns;
  return columns;
}

}  // namespace

std::string ProgressLine(uint64_t files, uint64_t folders, uint64_t bytes,
                         const std::string& folder, size_t width) {
  const size_t room = width > 1 ? width - 1 : 0;
  const std::string counts = std::to_string(files) + (files == 1 ? " file, " : " files, ") +
                             std::to_string(folders) + (folders == 1 ? " folder, " : " folders, ") +
                             SizeText(bytes) + ": ";
  const std::string shown = ShownName(folder);
  if (ColumnsOf(counts) + ColumnsOf(shown) <= room) return counts + shown;
  const std::string cut = "...";
  if (ColumnsOf(counts) + cut.size() >= room) return Head(counts, room);
  // The end of the folder's path, as many whole characters as fit after "...".
  const size_t left = room - ColumnsOf(counts) - cut.size();
  const std::vector<Character> characters = CharactersOf(shown);
  size_t used = 0;
  size_t start = shown.size();
  for (size_t i = characters.size(); i-- > 0;) {
    if (used + characters[i].columns > left) break;
    used += characters[i].columns;
    start = characters[i].start;
  }
  return counts + cut + shown.substr(start);
}

}  // namespace catwriter
