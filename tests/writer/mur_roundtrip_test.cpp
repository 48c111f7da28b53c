// A real directory tree, catalogued by mkcat and listed by cathost through mur_fmt, comes
// back as it was: names, sizes, directories and UTC times to the two seconds a stamp holds.
#include <gtest/gtest.h>

#if defined(MKCAT_PATH) && defined(CATHOST_PATH) && defined(MUR_FMT_PATH)

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>

#include "tests/support/module_fixture.h"
#include "tests/support/program_run.h"

namespace {

namespace fs = std::filesystem;

struct Entry {
  bool isDirectory = false;
  uint64_t size = 0;
  int64_t unixTime = 0;
  bool operator==(const Entry&) const = default;
};

constexpr int64_t kUnixEpochIn1601Seconds = 11'644'473'600;

void SetTime(const fs::path& path, int64_t unixTime) {
  struct timespec times[2] = {{unixTime, 0}, {unixTime, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// The text of the JSON string field `key` in `line`, with its escapes undone.
std::string JsonString(const std::string& line, const std::string& key) {
  size_t at = line.find("\"" + key + "\":\"");
  if (at == std::string::npos) return "<missing>";
  std::string text;
  for (at += key.size() + 4; at < line.size() && line[at] != '"'; ++at) {
    if (line[at] != '\\') {
      text += line[at];
    } else if (line[++at] == 'u') {
      text += static_cast<char>(std::stoi(line.substr(at + 1, 4), nullptr, 16));
      at += 4;
    } else {
      text += line[at];
    }
  }
  return text;
}

uint64_t JsonNumber(const std::string& line, const std::string& key) {
  const size_t at = line.find("\"" + key + "\":");
  return at == std::string::npos ? ~0ull : std::stoull(line.substr(at + key.size() + 3));
}

TEST(MurRoundTrip, MkcatThenCathostGivesBackTheTree) {
  const fs::path root = fs::temp_directory_path() / ("mur_roundtrip_" + std::to_string(getpid()));
  fs::remove_all(root);
  const fs::path tree = root / "tree";
  std::map<std::string, Entry> expected;  // by the path the listing shows
  auto addFile = [&](const std::string& path, size_t size, int64_t time) {
    std::ofstream(tree / path) << std::string(size, 'x');
    SetTime(tree / path, time);
    std::string shown = path;
    for (char& c : shown) c = c == '/' ? '\\' : c;
    expected[shown] = Entry{false, size, time};
  };
  const std::string outer = "A directory with a rather long name";
  const std::string inner = outer + "/nested directory, level two";
  fs::create_directories(tree / inner);
  fs::create_directories(tree / outer / "empty directory inside");
  addFile(inner + "/a file whose name is longer than sixteen.characters.txt", 1234, 1433664550);
  addFile(inner + "/caf\xC3\xA9 au lait.text", 7, 1546398245);  // an odd second
  addFile("README", 0, 946684800);
  addFile("zz last file with a long name.data", 70000, 1700000000);
  const std::pair<std::string, int64_t> dirs[] = {
      {inner, 1262304000}, {outer + "/empty directory inside", 1262304002}, {outer, 1262304004}};
  for (const auto& [path, time] : dirs) {
    SetTime(tree / path, time);
    std::string shown = path;
    for (char& c : shown) c = c == '/' ? '\\' : c;
    expected[shown] = Entry{true, 0, time};
  }

  const fs::path catalogue = root / "tree.mur";
  ASSERT_EQ(program_run::Run({MKCAT_PATH, "mur", catalogue, tree}).exitStatus, 0);
  const RunResult listing =
      program_run::Run({CATHOST_PATH, "--module", MUR_FMT_PATH, "--json", catalogue});
  ASSERT_EQ(listing.exitStatus, 0) << listing;

  std::map<std::string, Entry> listed;
  std::istringstream lines(listing.out);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_EQ(JsonNumber(line, "result"), 1u) << line;
    const uint64_t ticks = JsonNumber(line, "write_time_raw");
    listed[JsonString(line, "path")] =
        Entry{(JsonNumber(line, "attributes") & kAttrDirectory) != 0, JsonNumber(line, "size"),
              static_cast<int64_t>(ticks / 10'000'000) - kUnixEpochIn1601Seconds};
  }
  // A stamp counts two-second steps: odd seconds come back one second early.
  for (auto& [path, entry] : expected) {
    auto found = listed.find(path);
    if (found != listed.end() && entry.unixTime - found->second.unixTime == 1) {
      entry.unixTime -= 1;
    }
  }
  EXPECT_EQ(listed, expected);
  fs::remove_all(root);
}

// Code page 1252 as Unicode: ASCII, the 27 characters at 0x80 to 0x9F (five bytes there are
// unassigned, empty here) and Latin-1 from 0xA0.
std::string Cp1252Character(int byte) {
  static const char* const kHighControls[32] = {
      "\u20AC", "",       "\u201A", "\u0192", "\u201E", "\u2026", "\u2020", "\u2021",
      "\u02C6", "\u2030", "\u0160", "\u2039", "\u0152", "",       "\u017D", "",
      "",       "\u2018", "\u2019", "\u201C", "\u201D", "\u2022", "\u2013", "\u2014",
      "\u02DC", "\u2122", "\u0161", "\u203A", "\u0153", "",       "\u017E", "\u0178"};
  if (byte < 0x80) return std::string(1, static_cast<char>(byte));
  if (byte < 0xA0) return kHighControls[byte - 0x80];
  return {static_cast<char>(0xC0 | (byte >> 6)), static_cast<char>(0x80 | (byte & 0x3F))};
}

// Every character code page 437 draws, as the glyphs of its 255 non-zero bytes.
constexpr std::string_view kCp437Glyphs =
    "☺☻♥♦♣♠•◘○◙♂♀♪♫☼►◄↕‼¶§▬↨↑↓→←∟↔▲▼ !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    "[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~⌂ÇüéâäàåçêëèïîìÄÅÉæÆôöòûùÿÖÜ¢£¥₧ƒáíóúñÑªº¿⌐¬½¼¡«»░▒▓│┤╡"
    "╢╖╕╣║╗╝╜╛┐└┴┬├─┼╞╟╚╔╩╦╠═╬╧╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀αßΓπΣσµτΦΘΩδ∞φε∩≡±≥≤⌠⌡÷≈°∙·√ⁿ²■\u00A0";

// A character that a Windows name cannot hold; mkcat stores "_" in its place.
bool ForbiddenInWindowsNames(int byte) {
  return std::string_view("\\:*?\"<>|").find(static_cast<char>(byte)) != std::string_view::npos;
}

// Each character of code page 1252 in a file name goes through mkcat (UTF-8 to 1252), the
// module (1252 to 437, as Windows converts) and cathost (437 to UTF-8). What code page 437
// has comes back as it was; what it lacks comes back as one stand-in character, never as a
// control character or nothing.
TEST(MurRoundTrip, EveryCodePage1252CharacterInANameComesBackOrAsOneStandIn) {
  const fs::path root = fs::temp_directory_path() / ("mur_charset_" + std::to_string(getpid()));
  fs::remove_all(root);
  const fs::path tree = root / "tree";
  fs::create_directories(tree);
  std::map<std::string, int> byteOfName;  // the name written, and its character's byte
  for (int byte = 0x20; byte < 0x100; ++byte) {
    std::string character = Cp1252Character(byte);
    if (character.empty() || byte == '/') continue;
    // Framed, so that no name is "." or ends in a dot or a blank.
    std::string name = std::to_string(byte) + "[" + character + "]";
    std::ofstream(tree / name).put('x');
    byteOfName[name] = byte;
  }
  ASSERT_EQ(byteOfName.size(), 0xE0u - 5 - 1);

  const fs::path catalogue = root / "names.mur";
  // Written complete: the forbidden characters are replaced, each with a warning.
  ASSERT_EQ(program_run::Run({MKCAT_PATH, "mur", catalogue, tree}).exitStatus, 0);
  const RunResult listing =
      program_run::Run({CATHOST_PATH, "--module", MUR_FMT_PATH, "--json", catalogue});
  ASSERT_EQ(listing.exitStatus, 0) << listing;

  size_t returned = 0, stoodIn = 0;
  std::istringstream lines(listing.out);
  for (std::string line; std::getline(lines, line);) {
    const std::string path = JsonString(line, "path");
    const size_t open = path.find('['), close = path.rfind(']');
    ASSERT_TRUE(open != std::string::npos && close != std::string::npos && open < close) << path;
    const int byte = std::stoi(path.substr(0, open));
    const std::string shown = path.substr(open + 1, close - open - 1);
    const std::string original = Cp1252Character(byte);
    if (ForbiddenInWindowsNames(byte)) {
      EXPECT_EQ(shown, "_") << byte;
    } else if (kCp437Glyphs.find(original) != std::string_view::npos) {
      EXPECT_EQ(shown, original) << "byte " << byte;
      ++returned;
    } else {
      // One character that is no control: one UTF-8 sequence at 0x20 or above.
      const auto lead = static_cast<uint8_t>(shown.empty() ? 0 : shown[0]);
      const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
      EXPECT_TRUE(!shown.empty() && shown.size() == length && lead >= 0x20 && lead != 0x7F)
          << "byte " << byte << " shown as " << shown;
      ++stoodIn;
    }
    byteOfName.erase(std::to_string(byte) + "[" + original + "]");
  }
  EXPECT_TRUE(byteOfName.empty()) << byteOfName.size() << " names not listed";
  EXPECT_EQ(returned + stoodIn + 8, 0xE0u - 6);
  // Among those that come back: the bullet, section and pilcrow signs through 0x07, 0x15, 0x14.
  EXPECT_GT(returned, 120u);
  fs::remove_all(root);
}

}  // namespace

#endif
