// mur_fmt on hostile catalogues: each case breaks a valid catalogue from our writer on
// purpose (or builds one by hand where the writer would not) and checks the exact results,
// that the listing ends, and (through the checks the fuzz targets use) that no byte of the
// host's records is written that must stay.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "modules/checks/record_checks.h"
#include "tests/support/checked_module.h"
#include "tests/support/module_fixture.h"
#include "tests/support/trees.h"
#include "tools/writer/mur_writer.h"

namespace {

namespace mw = catwriter::mur;
using catwriter::BuildMur;
using catwriter::MurImage;
using catwriter::MurNode;
using catwriter::MurTree;
using record_checks::CheckedCall;
using record_checks::CheckedListing;
using record_checks::Format;

MurImage Build(std::vector<MurNode> top) {
  MurTree tree;
  tree.top = std::move(top);
  return BuildMur(tree);
}

// Every NameKind, descriptions of one and of several chunks, an extension chain, nesting
// and an empty directory.
MurImage SmallCatalogue() {
  MurNode withExtension = trees::MurFileOf("README", 7, 1);
  withExtension.extension = "TXT";
  MurNode described = trees::MurFileOf("NOTES", 7, 2);
  described.description = std::string(50, 'd');
  MurNode chained = trees::MurFileOf(std::string(40, 'n'), 3);
  chained.extension = "LONG";
  chained.description = "short";
  return Build({trees::MurDirOf("DOCS", {trees::MurFileOf("SIXTEEN_LETTERS_", 7, 0), withExtension,
                                         trees::MurDirOf("EMPTY")}),
                described, chained, trees::MurFileOf("LAST")});
}

class HostileMur : public CheckedModuleTest {
 protected:
  HostileMur() : CheckedModuleTest(MUR_FMT_PATH, Format::Mur) {}
  const FormatModule& mur() { return module(); }
};

// Cut after every byte, the catalogue opens once its header is whole; each node whose record
// is whole is then delivered (2 when one of its text chunks is not whole), and the first node
// that is not gives 2 (it runs past the end) or 3 (it begins at or after the end) on this and
// every later call, with nothing written.
TEST_F(HostileMur, TruncatedAtEveryLength) {
  const MurImage image = SmallCatalogue();
  const std::vector<uint32_t>& nodes = image.layout.nodeOffsets;
  const CheckedListing whole = OpenAndList(image.bytes);
  ASSERT_EQ(whole.calls.size(), nodes.size() + 1);

  for (uint32_t length = 0; length < image.bytes.size(); ++length) {
    SCOPED_TRACE("cut at " + std::to_string(length));
    const std::vector<uint8_t> cut = Prefix(image.bytes, length);
    EXPECT_EQ(mur().isArchive("x", cut.data(), length), length >= 40 ? 1 : 0);
    if (length < 40) {
      EXPECT_EQ(Open(cut), 0);
      continue;
    }
    const CheckedListing listing = OpenAndList(cut);
    size_t i = 0;
    for (; i < nodes.size() && nodes[i] + 40 <= length; ++i) {
      ASSERT_LT(i, listing.calls.size());
      bool chunkCut = false;
      for (uint32_t chunk : image.layout.chunkOffsets[i]) chunkCut |= chunk + 40 > length;
      EXPECT_EQ(listing.calls[i].result, chunkCut ? StatusDamaged : StatusOk) << i;
      if (!chunkCut) {
        EXPECT_EQ(listing.calls[i].path, whole.calls[i].path) << i;
      }
    }
    ASSERT_EQ(listing.calls.size(), i + 1);
    const int expected = i == nodes.size()    ? StatusEnd
                         : nodes[i] >= length ? StatusPastEnd
                                              : PastEndResult(StatusDamaged);
    EXPECT_EQ(listing.calls.back().result, expected);
  }
}

// The root and the links of the first node pointed at every offset in and just past the file
// (into the header, into the middle of nodes and chunks): the listing ends, listing each node
// at most once, and writes only what it may.
TEST_F(HostileMur, LinksToEveryOffsetEnd) {
  const MurImage image = SmallCatalogue();
  const uint32_t first = image.layout.nodeOffsets[0];
  for (uint32_t field :
       {uint32_t{mw::kRootNodeField}, first + uint32_t{mw::kFirstLinkField},
        first + uint32_t{mw::kSecondLinkField}, first + uint32_t{mw::kSizeOrChildField}}) {
    for (uint32_t offset = 1; offset < image.bytes.size() + 8; ++offset) {
      SCOPED_TRACE("field " + std::to_string(field) + " = " + std::to_string(offset));
      std::vector<uint8_t> moved = image.bytes;
      Poke32(moved, field, offset);
      ASSERT_EQ(Open(moved), 1);
      const CheckedListing listing = ListChecked(moved.size());
      ASSERT_FALSE(listing.endless);
      ASSERT_EQ(listing.broken, nullptr) << listing.broken;
    }
  }
}

// Text chains whose last chunk links back to itself are read until the room is used up:
// names are cut at 259 characters (result 2), descriptions at 255 (no fault).
TEST_F(HostileMur, TextChainsThatLoop) {
  MurNode name = trees::MurFileOf(std::string(36, 'n'), 3);
  name.description = std::string(36, 'd');
  MurNode extension = trees::MurFileOf("BASE", 7, 1);
  extension.extension = std::string(36, 'e');
  MurNode description = trees::MurFileOf("DESCRIBED", 7, 2);
  description.description = std::string(36, 'd');
  MurImage image = Build({name, extension, description, trees::MurFileOf("AFTER")});
  for (size_t node = 0; node < 3; ++node) {
    for (uint32_t chunk : image.layout.chunkOffsets[node]) {
      Poke32(image.bytes, chunk + mw::kNextChunkField, chunk);
    }
  }
  const CheckedListing listing = OpenAndList(image.bytes);
  ASSERT_EQ(listing.calls.size(), 5u);
  EXPECT_EQ(listing.calls[0].path, std::string(259, 'n'));
  EXPECT_EQ(listing.calls[0].result, StatusDamaged);
  EXPECT_EQ(listing.calls[0].description, std::string(255, 'd'));
  EXPECT_EQ(listing.calls[1].path, "BASE." + std::string(254, 'e'));
  EXPECT_EQ(listing.calls[1].result, StatusDamaged);
  EXPECT_EQ(listing.calls[2].path, "DESCRIBED");
  EXPECT_EQ(listing.calls[2].result, StatusOk);
  EXPECT_EQ(listing.calls[2].description, std::string(255, 'd'));
  EXPECT_EQ(listing.calls[3].path, "AFTER");
  EXPECT_EQ(listing.calls[3].result, StatusOk);
}

// Names of 255 characters fit at the top and under a short directory; under a longer one
// they are cut at 259 characters with result 2, and the next item is right again.
TEST_F(HostileMur, NamesOf255Characters) {
  const std::string longName(255, 'x');
  const CheckedListing listing = OpenAndList(
      Build({trees::MurFileOf(longName, 3), trees::MurDirOf("ab", {trees::MurFileOf(longName, 3)}),
             trees::MurDirOf("abcde", {trees::MurFileOf(longName, 3), trees::MurFileOf("", 7, 0)}),
             trees::MurFileOf(longName, 3)})
          .bytes);
  ASSERT_EQ(listing.calls.size(), 8u);
  EXPECT_EQ(listing.calls[0].path, longName);
  EXPECT_EQ(listing.calls[0].result, StatusOk);
  EXPECT_EQ(listing.calls[2].path, "ab\\" + longName);
  EXPECT_EQ(listing.calls[2].result, StatusOk);
  EXPECT_EQ(listing.calls[4].path, ("abcde\\" + longName).substr(0, 259));
  EXPECT_EQ(listing.calls[4].result, StatusDamaged);
  EXPECT_EQ(listing.calls[5].path, "abcde\\") << "an empty name after the cut one";
  EXPECT_EQ(listing.calls[5].result, StatusOk);
  EXPECT_EQ(listing.calls[6].path, longName);
  EXPECT_EQ(listing.calls[6].result, StatusOk);
}

// 20000 directories, each the only content of the one above, then a sibling of the first:
// built by hand, as the writer nests by recursion. The path is full at depth 129 and cut below
// it; the walk keeps no recursion of its own and comes back to the top right.
TEST_F(HostileMur, TwentyThousandLevelsDeep) {
  constexpr uint32_t kLevels = 20000;
  std::vector<uint8_t> bytes((kLevels + 2) * 40, 0);
  std::memcpy(bytes.data(), "MURP", 4);
  Poke32(bytes, mw::kVersionField, 1);
  Poke32(bytes, mw::kRootNodeField, 40);
  for (uint32_t level = 0; level < kLevels; ++level) {
    const uint32_t node = 40 + level * 40;
    Poke32(bytes, node + mw::kSizeOrChildField, level + 1 < kLevels ? node + 40 : 0);
    Poke32(bytes, node + mw::kFlagsField, mw::kDirectoryFlag);  // NameKind 0
    bytes[node + mw::kNameAreaField] = 'd';
  }
  const uint32_t sibling = 40 + kLevels * 40;
  Poke32(bytes, 40 + mw::kFirstLinkField, sibling);
  std::memcpy(bytes.data() + sibling + mw::kNameAreaField, "top", 3);

  const CheckedListing listing = OpenAndList(bytes);
  ASSERT_EQ(listing.calls.size(), kLevels + 2);
  for (uint32_t depth = 0; depth < kLevels; ++depth) {
    const CheckedCall& dir = listing.calls[depth];
    ASSERT_EQ(dir.result, depth <= 129 ? StatusOk : StatusDamaged) << depth;
    std::string expected;
    for (uint32_t i = 0; i < depth && expected.size() < 259; ++i) expected += "d\\";
    expected = (expected + "d").substr(0, 259);
    ASSERT_EQ(dir.path, expected) << depth;
  }
  EXPECT_EQ(listing.calls[kLevels].path, "top");
  EXPECT_EQ(listing.calls[kLevels].result, StatusOk);
  EXPECT_EQ(listing.calls[kLevels + 1].result, StatusEnd);
}

// Calls out of the host's order: before any open, a second open that fails; the catalogue
// shrunk or grown on disk after the open.
TEST_F(HostileMur, CallsOutOfOrderAndFilesThatChange) {
  int closed = -1;
  EXPECT_EQ(record_checks::CheckedClose(mur().closeArchive, &closed), nullptr);
  EXPECT_EQ(closed, 0) << "nothing was open";
  CheckedCall call = record_checks::CallChecked(mur().getArcItem, Format::Mur);
  EXPECT_EQ(call.result, StatusEnd);
  EXPECT_EQ(call.broken, nullptr);

  const size_t descriptors = OpenDescriptors();
  const std::vector<uint8_t> bytes = SmallCatalogue().bytes;
  ASSERT_EQ(Open(bytes), 1);
  EXPECT_EQ(record_checks::CallChecked(mur().getArcItem, Format::Mur).result, StatusOk);
  int32_t type = 5;
  EXPECT_EQ(mur().openArchive("/nonexistent/catalogue.mur", &type), 0);
  EXPECT_EQ(type, 5);
  EXPECT_EQ(OpenDescriptors(), descriptors) << "the failed open closed the earlier file";
  call = record_checks::CallChecked(mur().getArcItem, Format::Mur);
  EXPECT_EQ(call.result, StatusEnd);
  EXPECT_EQ(call.broken, nullptr);
  EXPECT_EQ(record_checks::CheckedClose(mur().closeArchive, &closed), nullptr);
  EXPECT_EQ(closed, 0);

  // The whole file is read at open: shrinking or growing it afterwards changes nothing.
  const CheckedListing whole = OpenAndList(bytes);
  std::vector<uint8_t> grown = Build({trees::MurFileOf("OTHER")}).bytes;
  grown.resize(bytes.size() + 4096, 0xEE);
  for (const std::vector<uint8_t>& changed : {std::vector<uint8_t>{}, grown}) {
    ASSERT_EQ(Open(bytes), 1);
    file_->Rewrite(changed);
    const CheckedListing listing = ListChecked(bytes.size());
    ASSERT_EQ(listing.calls.size(), whole.calls.size());
    for (size_t i = 0; i < whole.calls.size(); ++i) {
      EXPECT_EQ(listing.calls[i].path, whole.calls[i].path) << i;
      EXPECT_EQ(listing.calls[i].result, whole.calls[i].result) << i;
    }
  }
}

}  // namespace
