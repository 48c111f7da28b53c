// zex_fmt on hostile catalogues: each case breaks a valid catalogue from our writer on
// purpose and checks the exact results, that the listing ends, and (through the checks the
// fuzz targets use) that no byte of the host's records is written that must stay.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "modules/checks/record_checks.h"
#include "tests/support/checked_module.h"
#include "tests/support/module_fixture.h"
#include "tests/support/trees.h"
#include "tools/writer/zex_writer.h"

namespace {

namespace zw = catwriter::zex;
using catwriter::GetU16;
using catwriter::GetU32;
using catwriter::ZexDir;
using catwriter::ZexFile;
using catwriter::ZexImage;
using catwriter::ZexTree;
using record_checks::CheckedCall;
using record_checks::CheckedListing;
using record_checks::Format;

// Root files, a description on a file and on a directory, nesting and an empty directory.
ZexTree SmallTree() {
  ZexTree tree;
  tree.rootFiles = {trees::ZexFileOf("README", "TXT"), trees::ZexFileOf("NOTES")};
  tree.rootFiles[1].description = "root notes";
  tree.dirs = {trees::ZexDirOf("TOOLS", {trees::ZexFileOf("EDIT", "EXE")},
                               {trees::ZexDirOf("SUB", {trees::ZexFileOf("DEEP")})}),
               trees::ZexDirOf("EMPTY")};
  tree.dirs[0].description = "the tools";
  return tree;
}

class HostileZex : public CheckedModuleTest {
 protected:
  HostileZex() : CheckedModuleTest(ZEX_FMT_PATH, Format::Zex) {}
  const FormatModule& zex() { return module(); }
};

// Where each item of the small tree's listing has its record and its description block.
struct ItemRecordPlace {
  uint32_t recordOffset;
  uint32_t recordSize;
  uint32_t noteEnd;  // 0 without a description
};

std::vector<ItemRecordPlace> PlacesInListingOrder(const ZexImage& image) {
  const std::vector<uint8_t>& bytes = image.bytes;
  auto noteEnd = [&](uint32_t entry) -> uint32_t {
    const uint32_t noteRef = GetU32(bytes, entry + zw::kNoteRefField);
    if (noteRef == 0) return 0;
    const uint32_t note = image.layout.noteBase + noteRef - 1;
    const uint32_t length = GetU16(bytes, note);
    return note + 2 + (length < 255 ? length : 255);
  };
  std::vector<ItemRecordPlace> places;
  size_t entry = 0;
  auto addEntries = [&](uint32_t record) {
    for (uint16_t i = 0; i < GetU16(bytes, record + zw::kEntryCountField); ++i, ++entry) {
      const uint32_t offset = image.layout.entryOffsets[entry];
      places.push_back({offset, 32, noteEnd(offset)});
    }
  };
  addEntries(image.layout.dirRecordOffsets[0]);  // the root's files
  for (size_t d = 1; d < image.layout.dirRecordOffsets.size(); ++d) {
    const uint32_t record = image.layout.dirRecordOffsets[d];
    places.push_back({record, 40, noteEnd(record + zw::kDirEntryField)});
    addEntries(record);
  }
  return places;
}

// Cut after every byte, the catalogue still opens once its root record is whole; then each
// item whose record is whole is delivered (2 when its description is cut), and the first
// record that is not gives 2 (it runs past the end) or 3 (it begins at or after the end) on
// this and every later call, with nothing written.
TEST_F(HostileZex, TruncatedAtEveryLength) {
  const ZexImage image = catwriter::BuildZex(SmallTree());
  const std::vector<ItemRecordPlace> places = PlacesInListingOrder(image);
  const CheckedListing whole = OpenAndList(image.bytes);
  ASSERT_EQ(whole.calls.size(), places.size() + 1);
  const uint32_t openable = image.layout.dirRecordOffsets[0] + 40;

  for (uint32_t length = 0; length < image.bytes.size(); ++length) {
    SCOPED_TRACE("cut at " + std::to_string(length));
    const std::vector<uint8_t> cut = Prefix(image.bytes, length);
    EXPECT_EQ(zex().isArchive("x", cut.data(), length), length >= 116 ? 1 : 0);
    if (length < openable) {
      EXPECT_EQ(Open(cut), 0);
      continue;
    }
    const CheckedListing listing = OpenAndList(cut);
    size_t i = 0;
    for (; i < places.size() && places[i].recordOffset + places[i].recordSize <= length; ++i) {
      ASSERT_LT(i, listing.calls.size());
      const bool noteCut = places[i].noteEnd > length;
      EXPECT_EQ(listing.calls[i].result, noteCut ? StatusDamaged : StatusOk) << i;
      EXPECT_EQ(listing.calls[i].path, whole.calls[i].path) << i;
    }
    ASSERT_EQ(listing.calls.size(), i + 1);
    const int expected = i == places.size()                 ? StatusEnd
                         : places[i].recordOffset >= length ? PastEndResult(StatusPastEnd)
                                                            : PastEndResult(StatusDamaged);
    EXPECT_EQ(listing.calls.back().result, expected);
  }
}

// Each table start and the description base moved to every offset in and just past the file:
// whatever the records then hold, the listing ends and writes only what it may.
TEST_F(HostileZex, TablesAtEveryOffsetEnd) {
  const std::vector<uint8_t> bytes = catwriter::BuildZex(SmallTree()).bytes;
  for (size_t field : {zw::kDirTableOffsetField, zw::kEntryTableOffsetField, zw::kNoteBaseField}) {
    for (uint32_t offset = 0; offset < bytes.size() + 8; ++offset) {
      SCOPED_TRACE("field " + std::to_string(field) + " = " + std::to_string(offset));
      std::vector<uint8_t> moved = bytes;
      Poke32(moved, field, offset);
      if (Open(moved) != 1) continue;  // the first directory record is not whole
      const CheckedListing listing = ListChecked(moved.size());
      ASSERT_FALSE(listing.endless);
      ASSERT_EQ(listing.broken, nullptr) << listing.broken;
    }
  }
}

TEST_F(HostileZex, DirectoryTableSizeNear4GiB) {
  // Directories only: the table is the end of the file, so the first record that is not
  // there begins at the end.
  ZexTree tree;
  tree.rootRecord = false;
  tree.dirs = {trees::ZexDirOf("A"), trees::ZexDirOf("B", {}, {trees::ZexDirOf("C")})};
  std::vector<uint8_t> bytes = catwriter::BuildZex(tree).bytes;
  ASSERT_EQ(bytes.size(), 116u + 3 * 40);
  Poke32(bytes, zw::kDirTableSizeField, 0xFFFFFFFFu);
  CheckedListing listing = OpenAndList(bytes);
  ASSERT_EQ(listing.calls.size(), 4u);
  EXPECT_EQ(listing.calls[2].path, "B\\C");
  EXPECT_EQ(listing.calls[3].result, PastEndResult(StatusPastEnd));

  // With files and descriptions behind the table, their bytes are read as directory records
  // until one is not whole: the listing still ends, within what the file can hold.
  const ZexImage image = catwriter::BuildZex(SmallTree());
  const CheckedListing whole = OpenAndList(image.bytes);
  bytes = image.bytes;
  Poke32(bytes, zw::kDirTableSizeField, 0xFFFFFFF0u);
  listing = OpenAndList(bytes);
  ASSERT_GE(listing.calls.size(), whole.calls.size() - 1);
  for (size_t i = 0; i + 1 < whole.calls.size(); ++i) {
    EXPECT_EQ(listing.calls[i].path, whole.calls[i].path) << i;
  }
  EXPECT_NE(listing.calls.back().result, StatusEnd);
}

// Entry ranges that leave the file: a first entry far past the end, and a count of 65535.
TEST_F(HostileZex, EntryRangesBeyondTheEnd) {
  const ZexImage image = catwriter::BuildZex(SmallTree());
  const uint32_t tools = image.layout.dirRecordOffsets[1];

  std::vector<uint8_t> far = image.bytes;
  Poke16(far, tools + zw::kFirstEntryField, 0xFFFF);
  CheckedListing listing = OpenAndList(far);
  ASSERT_EQ(listing.calls.size(), 4u);
  EXPECT_EQ(listing.calls[2].path, "TOOLS");
  EXPECT_EQ(listing.calls[3].result, PastEndResult(StatusPastEnd));

  std::vector<uint8_t> many = image.bytes;
  Poke16(many, image.layout.dirRecordOffsets[0] + zw::kEntryCountField, 0xFFFF);
  listing = OpenAndList(many);
  // The root's files run on through the other entries and the descriptions to the end.
  const uint32_t first = image.layout.entryOffsets[0];
  const size_t whole = (many.size() - first) / 32;
  ASSERT_EQ(listing.calls.size(), whole + 1);
  EXPECT_EQ(listing.calls.back().result,
            PastEndResult(first + whole * 32 == many.size() ? StatusPastEnd : StatusDamaged));
}

// noteBase + noteRef - 1 is 32-bit arithmetic: references that wrap past 4 GiB reach the same
// blocks, and one that wraps to just before the note area reads what lies there.
TEST_F(HostileZex, NoteReferencesThatWrap) {
  const ZexImage image = catwriter::BuildZex(SmallTree());
  const CheckedListing whole = OpenAndList(image.bytes);
  std::vector<uint8_t> bytes = image.bytes;
  const uint32_t base = 0xFFFFF000u;
  Poke32(bytes, zw::kNoteBaseField, base);
  auto rebase = [&](uint32_t entry) {
    const uint32_t noteRef = GetU32(bytes, entry + zw::kNoteRefField);
    if (noteRef != 0) {
      Poke32(bytes, entry + zw::kNoteRefField, noteRef + image.layout.noteBase - base);
    }
  };
  for (uint32_t entry : image.layout.entryOffsets) rebase(entry);
  for (uint32_t record : image.layout.dirRecordOffsets) rebase(record + zw::kDirEntryField);
  const CheckedListing wrapped = OpenAndList(bytes);
  ASSERT_EQ(wrapped.calls.size(), whole.calls.size());
  for (size_t i = 0; i < whole.calls.size(); ++i) {
    EXPECT_EQ(wrapped.calls[i].result, whole.calls[i].result) << i;
    EXPECT_EQ(wrapped.calls[i].description, whole.calls[i].description) << i;
  }
  EXPECT_EQ(wrapped.calls[1].description, "root notes");

  // noteRef 0xFFFFFFFF: the block begins two bytes before noteBase, in the last entry's size,
  // whose upper half (here 3) is taken as the length of a text that begins at noteBase.
  bytes = image.bytes;
  const uint32_t lastEntry = image.layout.entryOffsets.back();
  Poke32(bytes, lastEntry + zw::kSizeField, 3u << 16);
  ASSERT_EQ(lastEntry + 32, image.layout.noteBase);
  Poke32(bytes, image.layout.entryOffsets[0] + zw::kNoteRefField, 0xFFFFFFFFu);
  const CheckedListing before = OpenAndList(bytes);
  EXPECT_EQ(before.calls[0].result, StatusOk);
  EXPECT_EQ(before.calls[0].description, std::string(bytes.begin() + image.layout.noteBase,
                                                     bytes.begin() + image.layout.noteBase + 3)
                                             .c_str());
  EXPECT_EQ(before.calls[0].path, "README.TXT");
}

// 300 levels of directories with empty names: each adds only its backslash, so the path
// reaches 259 characters at level 260 and is cut below it (result 2); a directory at the top
// afterwards is listed right again.
TEST_F(HostileZex, EmptyNamesNestedPastThePathLimit) {
  ZexDir chain = trees::ZexDirOf("", {trees::ZexFileOf("F")});
  for (int depth = 0; depth < 299; ++depth) chain = trees::ZexDirOf("", {}, {chain});
  ZexTree tree;
  tree.dirs = {chain, trees::ZexDirOf("AFTER", {trees::ZexFileOf("LAST")})};
  const CheckedListing listing = OpenAndList(catwriter::BuildZex(tree).bytes);
  ASSERT_EQ(listing.calls.size(), 300u + 1 + 2 + 1);
  for (size_t depth = 1; depth <= 300; ++depth) {
    const CheckedCall& dir = listing.calls[depth - 1];
    EXPECT_EQ(dir.path, std::string(depth - 1 < 259 ? depth - 1 : 259, '\\')) << depth;
    EXPECT_EQ(dir.result, depth <= 260 ? StatusOk : StatusDamaged) << depth;
  }
  EXPECT_EQ(listing.calls[300].path, std::string(259, '\\'));
  EXPECT_EQ(listing.calls[300].result, StatusDamaged);
  EXPECT_EQ(listing.calls[301].path, "AFTER");
  EXPECT_EQ(listing.calls[301].result, StatusOk);
  EXPECT_EQ(listing.calls[302].path, "AFTER\\LAST");
  EXPECT_EQ(listing.calls[302].result, StatusOk);
}

// Calls out of the host's order: before any open, a second open that fails, the catalogue
// changed on disk after the open.
TEST_F(HostileZex, CallsOutOfOrderAndFilesThatChange) {
  int closed = -1;
  EXPECT_EQ(record_checks::CheckedClose(zex().closeArchive, &closed), nullptr);
  EXPECT_EQ(closed, 0) << "nothing was open";
  CheckedCall call = record_checks::CallChecked(zex().getArcItem, Format::Zex);
  EXPECT_EQ(call.result, StatusEnd);
  EXPECT_EQ(call.broken, nullptr);

  const size_t descriptors = OpenDescriptors();
  const std::vector<uint8_t> bytes = catwriter::BuildZex(SmallTree()).bytes;
  ASSERT_EQ(Open(bytes), 1);
  EXPECT_EQ(record_checks::CallChecked(zex().getArcItem, Format::Zex).result, StatusOk);
  int32_t type = 5;
  EXPECT_EQ(zex().openArchive("/nonexistent/catalogue.zex", &type), 0);
  EXPECT_EQ(type, 5);
  EXPECT_EQ(OpenDescriptors(), descriptors) << "the failed open closed the earlier file";
  call = record_checks::CallChecked(zex().getArcItem, Format::Zex);
  EXPECT_EQ(call.result, StatusEnd);
  EXPECT_EQ(call.broken, nullptr);
  EXPECT_EQ(record_checks::CheckedClose(zex().closeArchive, &closed), nullptr);
  EXPECT_EQ(closed, 0);

  // The whole file is read at open: growing or replacing it afterwards changes nothing.
  const CheckedListing whole = OpenAndList(bytes);
  ASSERT_EQ(Open(bytes), 1);
  ZexTree other = SmallTree();
  other.rootFiles.push_back(trees::ZexFileOf("GROWN"));
  std::vector<uint8_t> grown = catwriter::BuildZex(other).bytes;
  grown.resize(grown.size() + 4096, 0xEE);
  file_->Rewrite(grown);
  const CheckedListing listing = ListChecked(bytes.size());
  ASSERT_EQ(listing.calls.size(), whole.calls.size());
  for (size_t i = 0; i < whole.calls.size(); ++i) {
    EXPECT_EQ(listing.calls[i].path, whole.calls[i].path) << i;
  }
}

}  // namespace
