// The modules built with the whole-file image refused (label image-refused only, with
// CATALOGUE_TEST_IMAGE_REFUSED_MODULES set): the mirror of the tests that show the image
// keeping a listing when the file changes after the open. Without the image each record is read
// from the file when it is listed, so a file emptied after the open stops the listing at its
// first item with a short read (4); that it stops also shows that the modules loaded are the
// ones without the image.
#include <gtest/gtest.h>

#if defined(ZEX_FMT_PATH) && defined(MUR_FMT_PATH)

#include <string>
#include <vector>

#include "tests/support/module_fixture.h"
#include "tests/support/trees.h"
#include "tools/writer/mur_writer.h"

namespace {

// Opens `bytes` through the module, empties the file, and lists what is left.
std::vector<ListedItem> ListEmptiedAfterOpen(const char* builtPath,
                                             const std::vector<uint8_t>& bytes) {
  EXPECT_NE(ImageRefusedModules(), nullptr)
      << "run with " << kImageRefusedModules << " naming the modules built without the image";
  LoadedModule loaded(builtPath);
  TempFile file(bytes);
  int32_t type = -1;
  EXPECT_EQ(loaded.get().openArchive(file.path(), &type), 1);
  file.Rewrite({});
  return ListAll(loaded.get());
}

TEST(ImageRefused, ZexListingReadsTheFileAsItIsWhenListed) {
  const std::vector<ListedItem> items =
      ListEmptiedAfterOpen(ZEX_FMT_PATH, trees::ThreeFilesMiddleDescribed().bytes);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].result, StatusReadError);
}

TEST(ImageRefused, MurListingReadsTheFileAsItIsWhenListed) {
  catwriter::MurTree tree;
  tree.top = {trees::MurFileOf("A"), trees::MurFileOf("B")};
  const std::vector<ListedItem> items =
      ListEmptiedAfterOpen(MUR_FMT_PATH, catwriter::BuildMur(tree).bytes);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].result, StatusReadError);
}

}  // namespace

#endif
