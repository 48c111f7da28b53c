// catmount's tree builder on its own, without mounting: the names it gives duplicates and
// names that cannot be path components, the time it takes for many items at one path, and the
// limits that stop a listing before it holds too much.
#include "tools/hosts/catmount/catalogue_tree.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/common/item_format.h"

namespace {

using catmount::CatalogueTree;
using catmount::TreeBuilder;
using catmount::TreeLimits;

constexpr uint32_t kFile = kAttrOffline | kAttrArchive;
constexpr uint32_t kDirectory = kAttrOffline | kAttrDirectory;
constexpr size_t kMiB = size_t{1} << 20;

ItemRecord Item(const std::string& path, uint32_t attributes, uint32_t size = 0) {
  ItemRecord item{};
  std::memcpy(item.cFileName, path.data(), std::min(path.size(), sizeof item.cFileName));
  item.dwFileAttributes = attributes;
  item.nFileSizeLow = size;
  return item;
}

bool Add(TreeBuilder& builder, const std::string& path, uint32_t attributes, uint32_t size = 0) {
  ItemDetails details{};
  return builder.Add(Item(path, attributes, size), details, false);
}

std::string PathOf(const CatalogueTree& tree, uint32_t node) {
  std::string path(tree.Name(node));
  for (uint32_t up = tree.Node(node).parent; up != CatalogueTree::kRoot;
       up = tree.Node(up).parent) {
    path = std::string(tree.Name(up)) + "/" + path;
  }
  return path;
}

// Every node by its path, walked through the children ranges; each found again by Lookup.
// Items show their size, directories that only paths imply show "implied".
std::map<std::string, std::string> Listing(const CatalogueTree& tree) {
  std::map<std::string, std::string> listing;
  std::vector<uint32_t> pending = {CatalogueTree::kRoot};
  while (!pending.empty()) {
    uint32_t directory = pending.back();
    pending.pop_back();
    for (uint32_t child : tree.Children(directory)) {
      EXPECT_EQ(tree.Lookup(directory, tree.Name(child)), child);
      const catmount::TreeNode& node = tree.Node(child);
      const bool isDirectory = (node.flags & catmount::kNodeDirectory) != 0;
      std::string shown = (node.flags & catmount::kNodeListed) == 0
                              ? "implied"
                              : (isDirectory ? "dir " : "") + std::to_string(tree.Size(child));
      EXPECT_TRUE(listing.emplace(PathOf(tree, child), shown).second) << PathOf(tree, child);
      if (isDirectory) pending.push_back(child);
    }
  }
  EXPECT_EQ(listing.size() + 1, tree.NodeCount()) << "every node is some directory's child";
  return listing;
}

long PeakResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Items at one path get the first free suffix, whether the suffixed name was taken by a real
// item before them or arrives after them.
TEST(CatalogueTreeTest, DuplicatesTakeTheFirstFreeSuffixBesideRealSuffixedNames) {
  TreeBuilder builder;
  uint32_t size = 0;
  for (const char* name : {"same", "same", "same~2",   // the real same~2 comes too late
                           "a~3", "a", "a", "a", "a",  // a~3 is skipped, a~4 and a~5 follow
                           "a~6", "a", "a~2",          // a~6 still free; then a~7, a~2~2
                           "b~2", "b~2", "b", "b"}) {  // b~2~2; then b, and b~3 past the real b~2
    ASSERT_TRUE(Add(builder, name, kFile, ++size));
  }
  CatalogueTree tree = builder.Finish("complete");
  const std::map<std::string, std::string> expected = {
      {"same", "1"},   {"same~2", "2"}, {"same~2~2", "3"}, {"a~3", "4"}, {"a", "5"},
      {"a~2", "6"},    {"a~4", "7"},    {"a~5", "8"},      {"a~6", "9"}, {"a~7", "10"},
      {"a~2~2", "11"}, {"b~2", "12"},   {"b~2~2", "13"},   {"b", "14"},  {"b~3", "15"}};
  EXPECT_EQ(Listing(tree), expected);
  EXPECT_EQ(tree.ItemCount(), size);
}

// A file and a directory of one name: the directory moves to a suffix and the paths below it
// follow it, whichever comes first; the first listing of an implied directory takes it over,
// a second listing of it is an item of its own.
TEST(CatalogueTreeTest, DirectoriesWhoseNameAFileTookKeepTheirPathsUnderTheSuffix) {
  TreeBuilder builder;
  ASSERT_TRUE(Add(builder, "x", kFile, 1));
  ASSERT_TRUE(Add(builder, "x\\inside", kFile, 2));  // implies x~2
  ASSERT_TRUE(Add(builder, "x", kDirectory, 3));     // takes x~2 over
  ASSERT_TRUE(Add(builder, "x\\more", kFile, 4));
  ASSERT_TRUE(Add(builder, "x", kDirectory, 5));  // listed twice: an item of its own
  ASSERT_TRUE(Add(builder, "x\\last", kFile, 6));
  ASSERT_TRUE(Add(builder, "y\\in", kFile, 7));   // implies y
  ASSERT_TRUE(Add(builder, "y", kDirectory, 8));  // takes y over
  ASSERT_TRUE(Add(builder, "y", kFile, 9));
  ASSERT_TRUE(Add(builder, "z", kDirectory, 10));
  ASSERT_TRUE(Add(builder, "z", kDirectory, 11));
  ASSERT_TRUE(Add(builder, "z\\under", kFile, 12));
  ASSERT_TRUE(Add(builder, "x~2\\real", kFile, 13));  // the real x~2 path is the suffixed one
  ASSERT_TRUE(Add(builder, "w", kFile, 14));
  ASSERT_TRUE(Add(builder, "w", kDirectory, 15));  // after the file: the suffix at once
  ASSERT_TRUE(Add(builder, "w\\in", kFile, 16));
  CatalogueTree tree = builder.Finish("complete");
  const std::map<std::string, std::string> expected = {
      {"x", "1"},         {"x~2", "dir 3"},  {"x~2/inside", "2"}, {"x~2/more", "4"},
      {"x~3", "dir 5"},   {"x~2/last", "6"}, {"y", "dir 8"},      {"y/in", "7"},
      {"y~2", "9"},       {"z", "dir 10"},   {"z~2", "dir 11"},   {"z/under", "12"},
      {"x~2/real", "13"}, {"w", "14"},       {"w~2", "dir 15"},   {"w~2/in", "16"}};
  EXPECT_EQ(Listing(tree), expected);
}

// Names that cannot be path components are escaped; a backslash splits the path; code page
// 437's glyph bytes below 0x20 and 0x7F are names like any other.
TEST(CatalogueTreeTest, NamesThatCannotBeComponentsAreEscapedAndGlyphBytesAreNames) {
  TreeBuilder builder;
  uint32_t size = 0;
  for (const char* name : {"", ".", "..", "a/b", "back\\slash", "\\lead", "\x01", "\x1f", "\x7f"}) {
    ASSERT_TRUE(Add(builder, name, kFile, ++size));
  }
  CatalogueTree tree = builder.Finish("complete");
  std::map<std::string, std::string> listing = Listing(tree);
  for (const auto& [path, shown] : listing) {
    for (const std::string_view bad : {"", ".", ".."}) EXPECT_NE(path, bad);
  }
  EXPECT_EQ(listing["\u2205"], "1");
  EXPECT_EQ(listing["\u2024"], "2");
  EXPECT_EQ(listing["\u2025"], "3");
  EXPECT_EQ(listing["a\u2215b"], "4");
  EXPECT_EQ(listing["back"], "implied");
  EXPECT_EQ(listing["back/slash"], "5");
  EXPECT_EQ(listing["\u2205~2"], "implied") << "the empty component before a leading backslash";
  EXPECT_EQ(listing["\u2205~2/lead"], "6");
  // The glyph bytes: each name as the decoder shows it, none alike, none empty.
  uint32_t glyphSize = 7;
  for (const char* byte : {"\x01", "\x1f", "\x7f"}) {
    char decoded[16] = {};
    char* end = WriteCp437AsUtf8(decoded, byte, 1);
    std::string name(decoded, end);
    ASSERT_FALSE(name.empty());
    uint32_t node = tree.Lookup(CatalogueTree::kRoot, name);
    ASSERT_NE(node, CatalogueTree::kNone) << "byte " << int(static_cast<unsigned char>(*byte));
    EXPECT_EQ(tree.Size(node), glyphSize++);
  }
  EXPECT_EQ(listing.size(), 11u);
}

// Times and descriptions stay with their item, also on a directory that paths implied before
// its listing came (it has the lower node number, listed after later nodes).
TEST(CatalogueTreeTest, ItemsKeepTheirTimesAndDescriptions) {
  TreeBuilder builder;
  auto stamped = [](const std::string& path, uint32_t attributes, uint32_t base) {
    ItemRecord item = Item(path, attributes);
    item.ftLastWriteTime = {base, 1};
    item.ftCreationTime = {base + 1, 1};
    item.ftLastAccessTime = {base + 2, 1};
    return item;
  };
  ItemDetails details{};
  std::snprintf(details.description, sizeof details.description, "the note");
  ASSERT_TRUE(builder.Add(stamped("dir\\file", kFile, 100), details, false));
  details = {};
  ASSERT_TRUE(builder.Add(stamped("dir", kDirectory, 200), details, true));
  ASSERT_TRUE(builder.Add(Item("plain", kFile), details, false));
  CatalogueTree tree = builder.Finish("complete");
  uint32_t directory = tree.Lookup(CatalogueTree::kRoot, "dir");
  ASSERT_NE(directory, CatalogueTree::kNone);
  uint32_t file = tree.Lookup(directory, "file");
  ASSERT_NE(file, CatalogueTree::kNone);
  ASSERT_LT(directory, file);
  const uint64_t high = uint64_t{1} << 32;
  catmount::NodeTimes times = tree.Times(file);
  EXPECT_EQ(times.write, high + 100);
  EXPECT_EQ(times.creation, high + 101);
  EXPECT_EQ(times.access, high + 102);
  times = tree.Times(directory);
  EXPECT_EQ(times.write, high + 200);
  EXPECT_EQ(times.creation, high + 201);
  EXPECT_EQ(times.access, high + 202);
  EXPECT_EQ(tree.Description(file), "the note");
  EXPECT_EQ(tree.Description(directory), "");
  EXPECT_NE(tree.Node(directory).flags & catmount::kNodeDamaged, 0);
  EXPECT_EQ(tree.Node(file).flags & catmount::kNodeDamaged, 0);
  uint32_t plain = tree.Lookup(CatalogueTree::kRoot, "plain");
  ASSERT_NE(plain, CatalogueTree::kNone);
  EXPECT_EQ(tree.Times(plain).creation, 0u);
}

// Many items at one path, whether the catalogue names them alike or the module cut their long
// paths to one: each finds its suffix in constant time, amortised, so they build about as fast
// as as many distinct names. Taking every suffix from ~2 again costs seconds already at 20,000
// items and grows with their square.
TEST(CatalogueTreeTest, ManyItemsAtOnePathBuildInLinearTime) {
  constexpr int kItems = 50'000;
  using Clock = std::chrono::steady_clock;
  const std::string longDirectory(255, 'd');
  // Every path, also when it holds the item's number; nullopt once the build took `bound`.
  const auto build = [&](auto pathOf, Clock::duration bound) -> std::optional<CatalogueTree> {
    TreeBuilder builder;
    const auto start = Clock::now();
    for (int item = 0; item < kItems; ++item) {
      EXPECT_TRUE(Add(builder, pathOf(item), kFile, static_cast<uint32_t>(item)));
      // A quadratic build stops here instead of running for minutes.
      if (item % 1000 == 0 && Clock::now() - start > bound) return std::nullopt;
    }
    CatalogueTree tree = builder.Finish("complete");
    if (Clock::now() - start > bound) return std::nullopt;
    return tree;
  };
  const auto start = Clock::now();
  ASSERT_TRUE(
      build([](int item) { return std::string("n").append(std::to_string(item)).append(".txt"); },
            Clock::duration::max()));
  // The same load slows both builds alike: the bound follows the distinct names' time.
  const Clock::duration bound =
      std::max<Clock::duration>(std::chrono::seconds(2), 20 * (Clock::now() - start));
  struct Case {
    std::function<std::string(int)> pathOf;
    std::string directory;
    std::string leaf;
  };
  const std::vector<Case> cases = {
      {[](int) { return std::string("same.txt"); }, "", "same.txt"},
      // 255 + 1 + 4 bytes fill the name field: the number never makes it in.
      {[&](int item) { return longDirectory + "\\file" + std::to_string(item); }, longDirectory,
       "file"}};
  for (const Case& at : cases) {
    std::optional<CatalogueTree> tree = build(at.pathOf, bound);
    ASSERT_TRUE(tree.has_value()) << at.leaf << ": over "
                                  << std::chrono::duration<double>(bound).count() << " s";
    ASSERT_EQ(tree->ItemCount(), static_cast<uint64_t>(kItems));
    uint32_t directory = CatalogueTree::kRoot;
    if (!at.directory.empty()) directory = tree->Lookup(CatalogueTree::kRoot, at.directory);
    ASSERT_NE(directory, CatalogueTree::kNone);
    ASSERT_EQ(tree->Children(directory).size(), static_cast<size_t>(kItems));
    uint32_t last = tree->Lookup(directory, at.leaf + "~" + std::to_string(kItems));
    ASSERT_NE(last, CatalogueTree::kNone);
    EXPECT_EQ(tree->Size(last), static_cast<uint64_t>(kItems - 1));
    EXPECT_EQ(tree->Lookup(directory, at.leaf + "~" + std::to_string(kItems + 1)),
              CatalogueTree::kNone);
  }
}

// The item limit: what came before it stays, the item that meets it and every later one are
// refused, and the reason says which limit.
TEST(CatalogueTreeTest, TheItemLimitStopsTheListing) {
  TreeBuilder builder(TreeLimits{.maxItems = 3});
  EXPECT_EQ(builder.StopReason(), "");
  ASSERT_TRUE(Add(builder, "one", kFile, 1));
  ASSERT_TRUE(Add(builder, "two\\deep", kFile, 2));
  ASSERT_TRUE(Add(builder, "three", kFile, 3));
  EXPECT_FALSE(Add(builder, "four\\deeper", kFile, 4));
  EXPECT_EQ(builder.StopReason(), "item limit (3) reached");
  EXPECT_FALSE(Add(builder, "five", kFile, 5)) << "a stopped listing stays stopped";
  CatalogueTree tree = builder.Finish("stopped");
  EXPECT_EQ(tree.ItemCount(), 3u);
  const std::map<std::string, std::string> expected = {
      {"one", "1"}, {"two", "implied"}, {"two/deep", "2"}, {"three", "3"}};
  EXPECT_EQ(Listing(tree), expected);
}

// The memory limit: the builder's tables never pass it, and an item that does not fit leaves
// nothing behind, not even the directories its path implies.
TEST(CatalogueTreeTest, TheMemoryLimitStopsTheListingWithNothingHalfAdded) {
  for (size_t limit : {size_t{4096}, size_t{100'000}, kMiB}) {
    TreeBuilder builder(TreeLimits{.maxBytes = limit});
    uint32_t accepted = 0;
    for (uint32_t item = 0; item < 1'000'000; ++item) {
      const std::string number = std::to_string(item);
      if (!Add(builder, "d" + number + "\\e" + number + "\\f" + number, kFile, item)) break;
      ++accepted;
    }
    ASSERT_GT(accepted, 0u) << limit;
    ASSERT_LT(accepted, 1'000'000u) << limit;
    EXPECT_EQ(builder.StopReason(),
              limit == kMiB ? std::string("memory limit (1 MiB) reached")
                            : "memory limit (" + std::to_string(limit) + " bytes) reached");
    CatalogueTree tree = builder.Finish("stopped");
    EXPECT_LE(tree.MemoryBytes(), limit);
    EXPECT_EQ(tree.ItemCount(), accepted);
    EXPECT_EQ(tree.NodeCount(), 1 + 3 * size_t{accepted}) << "no directories of the refused item";
    const uint32_t last = accepted - 1;
    const std::string number = std::to_string(last);
    uint32_t node = tree.Lookup(CatalogueTree::kRoot, "d" + number);
    ASSERT_NE(node, CatalogueTree::kNone);
    node = tree.Lookup(node, "e" + number);
    ASSERT_NE(node, CatalogueTree::kNone);
    node = tree.Lookup(node, "f" + number);
    ASSERT_NE(node, CatalogueTree::kNone);
    EXPECT_EQ(tree.Size(node), last);
  }
}

// The tree grows with what is added: nothing is set aside for items that may never come, and
// a file that delivers a few items gets a tree of a few kilobytes.
TEST(CatalogueTreeTest, ATreeHoldsMemoryOnlyForWhatWasAdded) {
  EXPECT_LE(TreeBuilder().Finish("complete").MemoryBytes(), 4096u);
  TreeBuilder builder;
  ASSERT_TRUE(Add(builder, "only\\item", kFile, 1));
  EXPECT_LE(builder.Finish("complete").MemoryBytes(), 8192u);
}

// The tree's memory stays within 64 bytes per item plus the names, and lookups find every item
// among many siblings.
TEST(CatalogueTreeTest, HoldsManyItemsCompactly) {
  catmount::TreeBuilder builder;
  ItemRecord item{};
  ItemDetails details{};
  size_t nameBytes = 0;
  constexpr int kFolders = 100;
  constexpr int kFiles = 1000;
  for (int folder = 0; folder < kFolders; ++folder) {
    std::string folderName = "folder" + std::to_string(folder);
    std::snprintf(item.cFileName, sizeof item.cFileName, "%s", folderName.c_str());
    item.dwFileAttributes = 0x1010;
    ASSERT_TRUE(builder.Add(item, details, false));
    nameBytes += folderName.size();
    for (int file = 0; file < kFiles; ++file) {
      std::string fileName = "file" + std::to_string(file) + ".txt";
      std::snprintf(item.cFileName, sizeof item.cFileName, "%s\\%s", folderName.c_str(),
                    fileName.c_str());
      item.dwFileAttributes = 0x1020;
      item.nFileSizeLow = static_cast<uint32_t>(file);
      ASSERT_TRUE(builder.Add(item, details, false));
      nameBytes += fileName.size();
    }
  }
  catmount::CatalogueTree tree = builder.Finish("complete");
  const size_t items = kFolders * (kFiles + 1);
  EXPECT_EQ(tree.ItemCount(), items);
  EXPECT_LE(tree.MemoryBytes(), 64 * items + nameBytes);
  uint32_t folder = tree.Lookup(catmount::CatalogueTree::kRoot, "folder42");
  ASSERT_NE(folder, catmount::CatalogueTree::kNone);
  ASSERT_EQ(tree.Children(folder).size(), static_cast<size_t>(kFiles));
  EXPECT_EQ(tree.Name(tree.Children(folder)[7]), "file7.txt");
  uint32_t file = tree.Lookup(folder, "file777.txt");
  ASSERT_NE(file, catmount::CatalogueTree::kNone);
  EXPECT_EQ(tree.Size(file), 777u);
  EXPECT_EQ(tree.Lookup(folder, "file1000.txt"), catmount::CatalogueTree::kNone);
}

// Millions of items (as a small ZEX file whose directories share entry ranges delivers) under a
// 64 MiB limit: the listing stops, the tree stays within the limit and the process's peak
// memory grows by about that much, not by the gigabytes the items would take. Measured in a
// child process, whose peak starts from where it was forked.
TEST(CatalogueTreeTest, AMemoryLimitBoundsTheTreeAndThePeakOfMillionsOfItems) {
  constexpr uint64_t kItems = 5'000'000;
  constexpr size_t kLimit = 64 * kMiB;
  struct Outcome {
    uint64_t accepted;
    size_t memoryBytes;
    long peakGrowthKiB;
    bool stoppedForMemory;
  };
  int results[2];
  ASSERT_EQ(pipe(results), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(results[0]);
    Outcome outcome{};
    const long peakBefore = PeakResidentKiB();
    {
      TreeBuilder builder(TreeLimits{.maxBytes = kLimit});
      ItemRecord item = Item("", kFile);
      ItemDetails details{};
      for (uint64_t number = 0; number < kItems; ++number) {
        std::snprintf(item.cFileName, sizeof item.cFileName, "DIR%llu\\FILE%llu.TXT",
                      static_cast<unsigned long long>(number / 1000),
                      static_cast<unsigned long long>(number));
        if (!builder.Add(item, details, false)) break;
        ++outcome.accepted;
      }
      outcome.stoppedForMemory = builder.StopReason() == "memory limit (64 MiB) reached";
      CatalogueTree tree = builder.Finish("stopped");
      outcome.memoryBytes = tree.MemoryBytes();
      outcome.peakGrowthKiB = PeakResidentKiB() - peakBefore;
    }
    bool written = write(results[1], &outcome, sizeof outcome) == sizeof outcome;
    _exit(written ? 0 : 1);
  }
  close(results[1]);
  Outcome outcome{};
  const bool read = ::read(results[0], &outcome, sizeof outcome) == sizeof outcome;
  close(results[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(read && WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(outcome.stoppedForMemory);
  EXPECT_GT(outcome.accepted, 100'000u);
  EXPECT_LT(outcome.accepted, kItems);
  EXPECT_LE(outcome.memoryBytes, kLimit);
  // Blocks freed while the tables grew may stay resident (and a sanitizer holds them back for
  // a while): twice the limit, where the whole listing would take over 500 MiB.
  EXPECT_LE(outcome.peakGrowthKiB, static_cast<long>(2 * kLimit / 1024 + 32 * 1024));
}

}  // namespace
