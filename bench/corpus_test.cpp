// The benchmark corpora: the tree has the promised shape, and a ZEX catalogue whose
// directories share entry ranges is accepted and listed item by item with distinct paths.
#include "bench/corpus.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "tools/hosts/driver/module_loader.h"

namespace {

struct Listing {
  int lastResult = -1;
  std::vector<std::string> paths;
};

Listing ListWith(const char* modulePath, const std::vector<uint8_t>& bytes) {
  FormatModule module;
  std::string error;
  EXPECT_TRUE(LoadFormatModuleFile(modulePath, &module, &error)) << error;
  char name[] = "/tmp/corpus_test.XXXXXX";
  const int fd = ::mkstemp(name);
  EXPECT_GE(fd, 0);
  ::close(fd);
  EXPECT_TRUE(bench::WriteBytes(name, bytes));
  Listing listing;
  EXPECT_EQ(module.isArchive(name, bytes.data(), static_cast<uint32_t>(bytes.size())), 1);
  int32_t type = -1;
  EXPECT_EQ(module.openArchive(name, &type), 1);
  ItemRecord item{};
  ItemDetails details{};
  while ((listing.lastResult = module.getArcItem(&item, &details)) == StatusOk) {
    listing.paths.emplace_back(item.cFileName);
  }
  CloseRecord close{};
  module.closeArchive(&close);
  UnloadFormatModule(&module);
  std::remove(name);
  return listing;
}

void CheckDirectory(const bench::GenDir& dir, uint32_t depth) {
  EXPECT_GE(dir.files.size(), 10u);
  EXPECT_LE(dir.files.size(), 1000u);
  EXPECT_LE(depth, bench::kMaxDepth);
  for (const bench::GenFile& file : dir.files) {
    const size_t length =
        file.stem.size() + (file.extension.empty() ? 0 : 1 + file.extension.size());
    EXPECT_GE(length, 8u) << file.stem;
    EXPECT_LE(length, 40u) << file.stem;
  }
  for (const bench::GenDir& sub : dir.subdirs) CheckDirectory(sub, depth + 1);
}

TEST(BenchCorpus, TreeHasDirectoriesOfTenToAThousandFilesAndNamesOfEightToForty) {
  const bench::GenTree tree = bench::MakeTree(20'000, 7);
  EXPECT_GE(tree.items, 20'000u);
  EXPECT_LT(tree.items, 21'000u);  // only the last directory runs past the target
  for (const bench::GenDir& dir : tree.dirs) CheckDirectory(dir, 1);
  EXPECT_EQ(bench::MakeTree(20'000, 7).dirs.size(), tree.dirs.size());  // same seed, same tree
}

TEST(BenchCorpus, MurCatalogueListsEveryItemOfTheTree) {
  const bench::GenTree tree = bench::MakeTree(5'000, 3);
  const Listing listing = ListWith(MUR_FMT_PATH, bench::MakeMur(tree));
  EXPECT_EQ(listing.lastResult, StatusEnd);
  EXPECT_EQ(listing.paths.size(), tree.items);
}

TEST(BenchCorpus, SharedZexRangesListEveryCopyUnderItsOwnTopLevelName) {
  uint64_t expected = 0;
  const std::vector<uint8_t> image = bench::MakeZex(3 * bench::kZexPoolItems, 5, &expected);
  const Listing listing = ListWith(ZEX_FMT_PATH, image);
  EXPECT_EQ(listing.lastResult, StatusEnd);
  ASSERT_EQ(listing.paths.size(), expected);
  EXPECT_GT(expected, 2 * bench::kZexPoolItems);
  // Short names may repeat inside one directory, but copies never share a top-level name.
  std::set<std::string> topLevel;
  for (const std::string& path : listing.paths) {
    const size_t slash = path.find('\\');
    if (slash != std::string::npos) topLevel.insert(path.substr(0, slash));
  }
  std::set<std::string> copies;
  for (const std::string& top : topLevel) {
    const size_t dot = top.rfind('.');
    copies.insert(dot == std::string::npos ? "" : top.substr(dot));
  }
  EXPECT_EQ(copies, (std::set<std::string>{"", ".001", ".002"}));
}

TEST(BenchCorpus, ReplicatingOnceChangesNothing) {
  uint64_t items = 0;
  const std::vector<uint8_t> image = bench::MakeZex(2'000, 9, &items);
  EXPECT_EQ(bench::ReplicateZexDirectories(image, 1), image);
  EXPECT_EQ(ListWith(ZEX_FMT_PATH, image).paths.size(), items);
}

}  // namespace
