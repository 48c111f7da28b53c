// A real directory tree through mkcat and cathost: the listing must equal the tree.
#include <gtest/gtest.h>

#if defined(MKCAT_PATH) && defined(CATHOST_PATH) && defined(ZEX_FMT_PATH)

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/module_fixture.h"
#include "tests/support/program_run.h"
#include "tests/support/scratch.h"

namespace {

struct TreeItem {
  std::string path;  // as the catalogue shows it: upper case, backslashes
  bool isDirectory;
  uint32_t size;
  uint64_t ticks;  // FILETIME of the modification time, rounded down to two seconds
};

class ZexRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(root_.empty()); }

  // Makes a file or directory below the tree with the given size and time, and records the
  // item the listing must show for it.
  void Make(const std::string& relative, bool isDirectory, uint32_t size, int year, int month,
            int day, int hour, int minute, int second) {
    const std::string path = root_ + "/tree/" + relative;
    if (isDirectory) {
      ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
    } else {
      FILE* file = std::fopen(path.c_str(), "wb");
      ASSERT_NE(file, nullptr) << path;
      std::fclose(file);
      ASSERT_EQ(truncate(path.c_str(), size), 0);
    }
    const uint64_t ticks = TicksOf(year, month, day, hour, minute, second - second % 2);
    struct timeval times[2];
    const int64_t unixSeconds =
        static_cast<int64_t>(TicksOf(year, month, day, hour, minute, second) / 10'000'000ull) -
        11'644'473'600ll;
    times[0].tv_sec = times[1].tv_sec = unixSeconds;
    times[0].tv_usec = times[1].tv_usec = 0;
    ASSERT_EQ(utimes(path.c_str(), times), 0);
    std::string shown;
    for (char c : relative) shown += c == '/' ? '\\' : static_cast<char>(std::toupper(c));
    items_.push_back({shown, isDirectory, isDirectory ? 0 : size, ticks});
  }

  Scratch scratch_;
  const std::string& root_ = scratch_.path;
  std::vector<TreeItem> items_;
};

TEST_F(ZexRoundTrip, MkcatThenCathostGivesBackTheTree) {
  ASSERT_EQ(mkdir((root_ + "/tree").c_str(), 0755), 0);
  std::mt19937 random(1234);
  auto pick = [&](int low, int high) { return std::uniform_int_distribution<>(low, high)(random); };
  // The listing order: the root's files, then each directory followed by its files, with its
  // subdirectories after them, names in byte order within a directory.
  std::vector<std::string> expectedOrder;
  auto files = [&](const std::string& prefix, int count) {
    for (int i = 0; i < count; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "f%03d.%c%c", i, 'a' + pick(0, 25), 'a' + pick(0, 25));
      Make(prefix + name, false, static_cast<uint32_t>(pick(0, 1 << 20)), pick(1980, 2107),
           pick(1, 12), pick(1, 28), pick(0, 23), pick(0, 59), pick(0, 59));
    }
  };
  files("", 5);
  for (int d = 0; d < 4; ++d) {
    const std::string dir = "dir" + std::to_string(d);
    Make(dir, true, 0, 1990 + d, 6, 15, 12, 0, 0);
    files(dir + "/", pick(0, 20));
    for (int s = 0; s < 2; ++s) {
      const std::string sub = dir + "/sub" + std::to_string(s);
      Make(sub, true, 0, 2000, 1, 1, 0, 0, 0);
      files(sub + "/", pick(0, 10));
      if (s == 1) {
        Make(sub + "/deep", true, 0, 2010, 2, 3, 4, 5, 6);
        files(sub + "/deep/", 3);
      }
    }
  }
  // Directory times are set last: making files inside them changed those times.
  for (const TreeItem& item : items_) {
    if (!item.isDirectory) continue;
    std::string relative;
    for (char c : item.path) relative += c == '\\' ? '/' : static_cast<char>(std::tolower(c));
    const int64_t unixSeconds = static_cast<int64_t>(item.ticks / 10'000'000ull) - 11'644'473'600ll;
    struct timeval times[2] = {{unixSeconds, 0}, {unixSeconds, 0}};
    ASSERT_EQ(utimes((root_ + "/tree/" + relative).c_str(), times), 0);
  }

  const std::string catalogue = root_ + "/tree.zex";
  ASSERT_EQ(program_run::Run({MKCAT_PATH, "zex", catalogue, root_ + "/tree"}).exitStatus, 0);
  const RunResult run =
      program_run::Run({CATHOST_PATH, "--json", "--module", ZEX_FMT_PATH, catalogue});
  EXPECT_EQ(run.exitStatus, 0) << run;
  const std::string& listing = run.out;

  static const std::regex kLine(
      "\"result\":1,\"path\":\"([^\"]*)\".*\"attributes\":([0-9]+).*\"size\":([0-9]+).*"
      "\"write_time_raw\":([0-9]+)");
  std::vector<TreeItem> listed;
  size_t start = 0;
  while (start < listing.size()) {
    const size_t end = listing.find('\n', start);
    const std::string line = listing.substr(start, end - start);
    start = end == std::string::npos ? listing.size() : end + 1;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(line, match, kLine)) << line;
    std::string path;
    for (size_t i = 0; i < match[1].str().size(); ++i) {
      if (match[1].str()[i] == '\\') ++i;  // JSON escapes each backslash
      path += match[1].str()[i];
    }
    listed.push_back({path, (std::stoul(match[2]) & kAttrDirectory) != 0,
                      static_cast<uint32_t>(std::stoul(match[3])), std::stoull(match[4])});
  }

  // The expected order: walk the recorded items the way the tables are laid out.
  std::vector<TreeItem> expected;
  auto parentOf = [](const std::string& path) {
    const size_t slash = path.rfind('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
  };
  auto sorted = [&](const std::string& parent, bool directories) {
    std::vector<TreeItem> children;
    for (const TreeItem& item : items_) {
      if (item.isDirectory == directories && parentOf(item.path) == parent)
        children.push_back(item);
    }
    std::sort(children.begin(), children.end(),
              [](const TreeItem& a, const TreeItem& b) { return a.path < b.path; });
    return children;
  };
  std::function<void(const std::string&)> walk = [&](const std::string& dir) {
    for (const TreeItem& sub : sorted(dir, true)) {
      expected.push_back(sub);
      for (const TreeItem& file : sorted(sub.path, false)) expected.push_back(file);
      walk(sub.path);
    }
  };
  for (const TreeItem& file : sorted("", false)) expected.push_back(file);
  walk("");

  ASSERT_EQ(listed.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(listed[i].path, expected[i].path) << i;
    EXPECT_EQ(listed[i].isDirectory, expected[i].isDirectory) << expected[i].path;
    EXPECT_EQ(listed[i].size, expected[i].size) << expected[i].path;
    EXPECT_EQ(listed[i].ticks, expected[i].ticks) << expected[i].path;
  }
}

}  // namespace

#endif
