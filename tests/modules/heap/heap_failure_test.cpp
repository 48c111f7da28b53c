// mur_fmt when the heap refuses: this program replaces malloc with one that can be told to
// fail, so a listing can run with no memory to be had. Only the walk's pending nodes come from
// the heap during a listing; an item that needs one and cannot have it gets result 4 and
// leaves the host's records alone, and the next call tries the same node again.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/module_fixture.h"
#include "tests/support/trees.h"
#include "tools/writer/mur_writer.h"

extern "C" void* __libc_malloc(size_t size);

namespace {
std::atomic<bool> gRefuseMalloc{false};
}  // namespace

extern "C" void* malloc(size_t size) {
  if (gRefuseMalloc.load(std::memory_order_relaxed)) return nullptr;
  return __libc_malloc(size);
}

namespace {

using catwriter::BuildMur;
using catwriter::MurLinkStyle;
using catwriter::MurNode;
using catwriter::MurTree;

struct Call {
  int result;
  std::string path;
  bool recordsUntouched;
};

class HeapFailure : public ::testing::Test {
 protected:
  HeapFailure() : module_(MUR_FMT_PATH) {}
  ~HeapFailure() override { gRefuseMalloc = false; }

  void Open(std::vector<MurNode> top, MurLinkStyle links) {
    MurTree tree;
    tree.top = std::move(top);
    tree.links = links;
    file_ = std::make_unique<TempFile>(BuildMur(tree).bytes);
    int32_t type = -1;
    ASSERT_EQ(module_.get().openArchive(file_->path(), &type), 1);
  }

  // One GetArcItem call, with malloc failing throughout it when `refuse` is set.
  Call Next(bool refuse) {
    ItemRecord item;
    ItemDetails details;
    std::memset(&item, kItemFill, sizeof item);
    std::memset(&details, kDetailsFill, sizeof details);
    gRefuseMalloc = refuse;
    const int result = module_.get().getArcItem(&item, &details);
    gRefuseMalloc = false;
    ItemRecord pristineItem;
    ItemDetails pristineDetails;
    std::memset(&pristineItem, kItemFill, sizeof pristineItem);
    std::memset(&pristineDetails, kDetailsFill, sizeof pristineDetails);
    const bool untouched = std::memcmp(&item, &pristineItem, sizeof item) == 0 &&
                           std::memcmp(&details, &pristineDetails, sizeof details) == 0;
    return Call{result, untouched ? std::string() : std::string(item.cFileName), untouched};
  }

  LoadedModule module_;
  std::unique_ptr<TempFile> file_;
};

TEST_F(HeapFailure, ADirectoryWaitsForMemoryAndItsFilesNeedNone) {
  Open(
      {trees::MurDirOf("D", {trees::MurFileOf("a"), trees::MurFileOf("b"), trees::MurFileOf("c")})},
      MurLinkStyle::FirstLinkChain);
  // The directory must be remembered while the walk is inside it.
  const Call refused = Next(true);
  EXPECT_EQ(refused.result, StatusReadError);
  EXPECT_TRUE(refused.recordsUntouched);
  const Call directory = Next(false);
  EXPECT_EQ(directory.result, StatusOk);
  EXPECT_EQ(directory.path, "D");
  // Files along a chain of single links are listed with the heap refusing every request.
  for (const char* path : {"D\\a", "D\\b", "D\\c"}) {
    const Call file = Next(true);
    EXPECT_EQ(file.result, StatusOk) << path;
    EXPECT_EQ(file.path, path);
  }
  EXPECT_EQ(Next(true).result, StatusEnd);
}

TEST_F(HeapFailure, AFileWithTwoLinksWaitsForMemory) {
  // Balanced links: the first file leads to both halves of the rest.
  Open({trees::MurFileOf("a"), trees::MurFileOf("b"), trees::MurFileOf("c")},
       MurLinkStyle::Balanced);
  const Call refused = Next(true);
  EXPECT_EQ(refused.result, StatusReadError);
  EXPECT_TRUE(refused.recordsUntouched);
  EXPECT_EQ(Next(true).result, StatusReadError) << "a refused item is tried again";
  const Call first = Next(false);
  EXPECT_EQ(first.result, StatusOk);
  EXPECT_EQ(first.path, "a");
  for (const char* path : {"b", "c"}) {
    const Call file = Next(true);
    EXPECT_EQ(file.result, StatusOk) << path;
    EXPECT_EQ(file.path, path);
  }
  EXPECT_EQ(Next(true).result, StatusEnd);
}

}  // namespace
