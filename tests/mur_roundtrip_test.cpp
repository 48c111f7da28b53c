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
#include <string>

#include "tests/support/module_fixture.h"

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
  const fs::path json = root / "listing.json";
  const std::string mkcat = std::string(MKCAT_PATH) + " mur '" + catalogue.string() + "' '" +
                            tree.string() + "' 2>/dev/null";
  ASSERT_EQ(std::system(mkcat.c_str()), 0);
  const std::string cathost = std::string(CATHOST_PATH) + " --module '" + MUR_FMT_PATH +
                              "' --json '" + catalogue.string() + "' > '" + json.string() + "'";
  ASSERT_EQ(std::system(cathost.c_str()), 0);

  std::map<std::string, Entry> listed;
  std::ifstream lines(json);
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

}  // namespace

#endif
