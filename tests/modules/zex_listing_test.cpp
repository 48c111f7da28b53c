// zex_fmt through its entry points, on catalogues made by the writer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/module_fixture.h"
#include "tests/support/trees.h"
#include "tools/writer/zex_writer.h"

namespace {

namespace zw = catwriter::zex;
using catwriter::ZexDir;
using catwriter::ZexFile;
using catwriter::ZexImage;
using catwriter::ZexTree;

// README.TXT at the root and TOOLS holding EDIT.EXE.
ZexTree SmallTree() {
  ZexTree tree;
  tree.rootFiles.push_back(trees::ZexFileOf("README", "TXT", 1234));
  tree.dirs.push_back(trees::ZexDirOf("TOOLS", {trees::ZexFileOf("EDIT", "EXE", 56789)}));
  return tree;
}

class ZexListing : public ::testing::Test {
 protected:
  ZexListing() : module_(ZEX_FMT_PATH) {}
  const FormatModule& zex() { return module_.get(); }

  // Opens `bytes` as a catalogue; the file stays until the test ends.
  void Open(const std::vector<uint8_t>& bytes) {
    file_ = std::make_unique<TempFile>(bytes);
    int32_t type = -1;
    ASSERT_EQ(zex().openArchive(file_->path(), &type), 1);
    EXPECT_EQ(type, 0);
  }
  std::vector<ListedItem> List(const std::vector<uint8_t>& bytes) {
    Open(bytes);
    return ListAll(zex());
  }
  std::vector<std::string> Paths(const ZexTree& tree) {
    return PathsOf(List(catwriter::BuildZex(tree).bytes));
  }

  LoadedModule module_;
  std::unique_ptr<TempFile> file_;
};

TEST_F(ZexListing, ProbeFollowsTheHeaderRules) {
  std::vector<uint8_t> header = catwriter::BuildZex(SmallTree()).bytes;
  header.resize(zw::kHeaderSize);
  auto accepted = [&](const std::vector<uint8_t>& bytes, uint32_t size) {
    return zex().isArchive("any", bytes.data(), size);
  };
  EXPECT_EQ(accepted(header, 116), 1);
  EXPECT_EQ(accepted(header, 115), 0) << "115 bytes are refused whatever they hold";

  // None of the four offsets is 116; then only the one at 8.
  std::vector<uint8_t> offsets = header;
  for (size_t at : {0, 4, 8, 36}) Poke32(offsets, at, 200);
  EXPECT_EQ(accepted(offsets, 116), 0);
  Poke32(offsets, 8, 116);
  EXPECT_EQ(accepted(offsets, 116), 1);
  Poke32(offsets, 0, 115);
  EXPECT_EQ(accepted(offsets, 116), 0) << "every offset must be at least 116";

  for (uint16_t minor : {2, 4, 8}) {
    std::vector<uint8_t> bytes = header;
    Poke16(bytes, zw::kFormatMinorField, minor);
    EXPECT_EQ(accepted(bytes, 116), 1) << minor;
  }
  for (uint16_t minor : {0, 3, 5, 0x104}) {
    std::vector<uint8_t> bytes = header;
    Poke16(bytes, zw::kFormatMinorField, minor);
    EXPECT_EQ(accepted(bytes, 116), 0) << minor;
  }

  auto withWords = [&](uint16_t a, uint16_t b) {
    std::vector<uint8_t> bytes = header;
    Poke16(bytes, zw::kCheckWordAField, a);
    Poke16(bytes, zw::kCheckWordBField, b);
    return accepted(bytes, 116);
  };
  EXPECT_EQ(withWords(59, 0), 0);
  EXPECT_EQ(withWords(60, 0), 1);
  EXPECT_EQ(withWords(65400, 0), 1);
  EXPECT_EQ(withWords(65401, 0), 0);
  EXPECT_EQ(withWords(100, 201), 1) << "201 halved is 100";
  EXPECT_EQ(withWords(100, 202), 0);
  EXPECT_EQ(withWords(32767, 0xFFFF), 1) << "0xFFFF halved is 32767, unsigned";
  EXPECT_EQ(withWords(32766, 0xFFFF), 0);

  auto withValues = [&](uint32_t a, uint32_t b) {
    std::vector<uint8_t> bytes = header;
    Poke32(bytes, zw::kCheckValueAField, a);
    Poke32(bytes, zw::kCheckValueBField, b);
    return accepted(bytes, 116);
  };
  EXPECT_EQ(withValues(500, 500), 1) << "B equal to A passes";
  EXPECT_EQ(withValues(500, 501), 0);
  EXPECT_EQ(withValues(0xFFFFFFFF, 0x80000000u), 1) << "compared unsigned";
  EXPECT_EQ(withValues(0x80000000u, 0xFFFFFFFF), 0);
}

TEST_F(ZexListing, ListsRootFilesThenEachDirectoryAndItsFiles) {
  const std::vector<ListedItem> items = List(catwriter::BuildZex(SmallTree()).bytes);
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(PathsOf(items), (std::vector<std::string>{"README.TXT", "TOOLS", "TOOLS\\EDIT.EXE"}));
  EXPECT_EQ(items[3].result, StatusEnd);
  // After the end every call keeps returning 0 and writes nothing.
  for (int i = 0; i < 3; ++i) {
    ListedItem after = NextItem(zex());
    EXPECT_EQ(after.result, StatusEnd);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&after.item)[0], kItemFill);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&after.details)[0], kDetailsFill);
  }
}

TEST_F(ZexListing, FillsEveryFieldAndLeavesTheRestAsPassed) {
  ZexTree tree = SmallTree();
  tree.rootFiles[0].attributes = 0x3F;  // every low bit, directory and volume bits included
  tree.rootFiles[0].description = "The first file";
  tree.formatMinor = 8;
  const std::vector<ListedItem> items = List(catwriter::BuildZex(tree).bytes);
  ASSERT_GE(items.size(), 3u);

  const ListedItem& file = items[0];
  EXPECT_EQ(file.result, StatusOk);
  EXPECT_EQ(file.item.dwFileAttributes, 0x1027u) << "reported as a file, bits 0x08/0x10 dropped";
  EXPECT_EQ(file.item.nFileSizeLow, 1234u);
  EXPECT_EQ(file.item.nFileSizeHigh, 0u);
  // Packed fields are copied out before gtest binds references to them.
  EXPECT_EQ(uint32_t{file.item.packedSizeLow}, 1234u);
  EXPECT_EQ(uint32_t{file.item.packedSizeHigh}, 0u);
  // TZ is UTC for the test run: the local stamp is the UTC time.
  EXPECT_EQ(Ticks(file.item.ftCreationTime), TicksOf(2001, 2, 3, 4, 5, 6));
  EXPECT_EQ(Ticks(file.item.ftLastAccessTime), Ticks(file.item.ftCreationTime));
  EXPECT_EQ(Ticks(file.item.ftLastWriteTime), Ticks(file.item.ftCreationTime));
  EXPECT_STREQ(file.item.cFileName, "README.TXT");
  EXPECT_STREQ(file.item.cAlternateFileName, "README.TXT");
  EXPECT_EQ(static_cast<uint8_t>(file.item.cFileName[11]), kItemFill) << "one zero byte, no more";
  EXPECT_EQ(file.item.dwReserved0, 0xA5A5A5A5u);
  EXPECT_EQ(file.item.dwReserved1, 0xA5A5A5A5u);
  EXPECT_STREQ(file.details.hostSystem, "DOS");
  EXPECT_EQ(static_cast<uint8_t>(file.details.hostSystem[4]), kDetailsFill);
  EXPECT_STREQ(file.details.description, "The first file");
  EXPECT_EQ(static_cast<uint8_t>(file.details.description[15]), kDetailsFill);
  EXPECT_EQ(uint32_t{file.details.formatVersion}, 0x308u);
  uint32_t hostFields[4];
  std::memcpy(hostFields, &file.details.hostFields, sizeof hostFields);
  for (uint32_t field : hostFields) EXPECT_EQ(field, 0x5A5A5A5Au);

  const ListedItem& dir = items[1];
  EXPECT_EQ(dir.item.dwFileAttributes, 0x1010u);
  EXPECT_EQ(dir.item.nFileSizeLow, 0u);
  EXPECT_EQ(uint32_t{dir.item.packedSizeLow}, 0u);
  EXPECT_EQ(Ticks(dir.item.ftLastWriteTime), TicksOf(1999, 12, 31, 23, 59, 58));
  EXPECT_EQ(static_cast<uint8_t>(dir.details.description[0]), kDetailsFill)
      << "no description block: the field is not written";
}

TEST_F(ZexListing, ShortNamesFromPaddedFields) {
  ZexTree tree;
  tree.rootFiles = {
      trees::ZexFileOf("README", "TXT"),
      trees::ZexFileOf("README", ""),
      trees::ZexFileOf("README", "TX"),
      trees::ZexFileOf("X", "A. "),
      trees::ZexFileOf("X", ".  "),
      trees::ZexFileOf(std::string("A\0B     ", 8), "EXT"),
      trees::ZexFileOf("NAME", std::string("\0AB", 3)),
      trees::ZexFileOf(std::string("AB\0\0\0\0\0\0", 8), ""),
      trees::ZexFileOf("", "EXT"),
      trees::ZexFileOf("", ""),
      trees::ZexFileOf("FULLNAME", "ABC"),
      trees::ZexFileOf("IN NER", "T T"),
      trees::ZexFileOf(std::string("\xE5"
                                   "ELETED",
                                   7),
                       "OLD"),
  };
  const std::vector<std::string> expected = {"README.TXT",
                                             "README",
                                             "README.TX",
                                             "X.A",
                                             "X.",
                                             "A",
                                             "NAME.",
                                             "AB",
                                             ".EXT",
                                             "",
                                             "FULLNAME.ABC",
                                             "IN NER.T T",
                                             "\xE5"
                                             "ELETED.OLD"};
  const std::vector<ListedItem> items = List(catwriter::BuildZex(tree).bytes);
  ASSERT_EQ(PathsOf(items), expected);
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_STREQ(items[i].item.cAlternateFileName, expected[i].c_str()) << i;
  }
}

TEST_F(ZexListing, DirectoryNamesFormThePath) {
  ZexTree tree;
  ZexDir cut = trees::ZexDirOf(std::string("A\0B     ", 8), {trees::ZexFileOf("F", "TXT")});
  ZexDir empty = trees::ZexDirOf("", {trees::ZexFileOf("G", "")});
  tree.dirs = {cut, empty};
  EXPECT_EQ(Paths(tree), (std::vector<std::string>{"A", "A\\F.TXT", "", "\\G"}));
}

TEST_F(ZexListing, LevelsCutThePathBackToTheParent) {
  ZexTree tree;
  tree.dirs.push_back(trees::ZexDirOf(
      "A", {trees::ZexFileOf("F1", "")},
      {trees::ZexDirOf("B", {}, {trees::ZexDirOf("C", {trees::ZexFileOf("F2", "")})})}));
  tree.dirs.push_back(trees::ZexDirOf("D", {}, {trees::ZexDirOf("E")}));
  EXPECT_EQ(Paths(tree), (std::vector<std::string>{"A", "A\\F1", "A\\B", "A\\B\\C", "A\\B\\C\\F2",
                                                   "D", "D\\E"}));

  // A level-3 record right after a level-1 record named A keeps A only.
  ZexImage image = catwriter::BuildZex(tree);
  // Records: the root, A, B, C, D, E.
  Poke16(image.bytes, image.layout.dirRecordOffsets[4] + zw::kLevelField, 0);
  EXPECT_EQ(PathsOf(List(image.bytes)),
            (std::vector<std::string>{"A", "A\\F1", "A\\B", "A\\B\\C", "A\\B\\C\\F2", "D", "D\\E"}))
      << "a later level 0 is a top-level directory";
}

TEST_F(ZexListing, LevelJumpsKeepWhatThePathHas) {
  ZexTree tree;
  tree.dirs.push_back(trees::ZexDirOf("A", {}, {trees::ZexDirOf("NAME")}));
  ZexImage image = catwriter::BuildZex(tree);
  Poke16(image.bytes, image.layout.dirRecordOffsets[2] + zw::kLevelField, 3);
  EXPECT_EQ(PathsOf(List(image.bytes)), (std::vector<std::string>{"A", "A\\NAME"}));
}

TEST_F(ZexListing, OpeningShapes) {
  // A first record of level 1: no root files, the directory is an item.
  ZexTree noRoot;
  noRoot.rootRecord = false;
  noRoot.dirs.push_back(trees::ZexDirOf("ONLY", {trees::ZexFileOf("F", "")}));
  EXPECT_EQ(Paths(noRoot), (std::vector<std::string>{"ONLY", "ONLY\\F"}));

  // A root without files and no other record: nothing to list.
  EXPECT_EQ(List(catwriter::BuildZex(ZexTree{}).bytes).front().result, StatusEnd);

  // A directory table smaller than one record lists nothing, whatever follows it.
  ZexImage image = catwriter::BuildZex(SmallTree());
  Poke32(image.bytes, zw::kDirTableSizeField, 39);
  EXPECT_EQ(List(image.bytes).front().result, StatusEnd);

  // A directory without files is followed directly by the next directory.
  ZexTree emptyDirs;
  emptyDirs.dirs = {trees::ZexDirOf("E1"), trees::ZexDirOf("E2", {trees::ZexFileOf("F", "")})};
  EXPECT_EQ(Paths(emptyDirs), (std::vector<std::string>{"E1", "E2", "E2\\F"}));
}

TEST_F(ZexListing, Descriptions) {
  ZexTree tree;
  tree.rootFiles = {trees::ZexFileOf("LONG", ""), trees::ZexFileOf("EMPTY", ""),
                    trees::ZexFileOf("PLAIN", "")};
  tree.rootFiles[0].description = std::string(300, 'd');
  tree.rootFiles[1].description = "";
  tree.dirs.push_back(trees::ZexDirOf("DIR"));
  tree.dirs[0].description = "about the directory";
  const std::vector<ListedItem> items = List(catwriter::BuildZex(tree).bytes);
  ASSERT_EQ(items.size(), 5u);
  EXPECT_EQ(items[0].description(), std::string(255, 'd'));
  EXPECT_EQ(items[0].details.description[255], '\0');
  EXPECT_EQ(items[1].result, StatusOk);
  EXPECT_EQ(items[1].description(), "");
  EXPECT_EQ(static_cast<uint8_t>(items[2].details.description[0]), kDetailsFill);
  EXPECT_EQ(items[3].description(), "about the directory");
}

TEST_F(ZexListing, NoteRefOnePointsAtNoteBase) {
  ZexTree tree;
  tree.rootFiles = {trees::ZexFileOf("A", "")};
  tree.rootFiles[0].description = "at the base";
  ZexImage image = catwriter::BuildZex(tree);
  ASSERT_EQ(image.layout.noteOffsets.front(), image.layout.noteBase);
  EXPECT_EQ(catwriter::GetU32(image.bytes, image.layout.entryOffsets[0] + zw::kNoteRefField), 1u);
  EXPECT_EQ(List(image.bytes)[0].description(), "at the base");
}

TEST_F(ZexListing, UnreadableDescriptionsDeliverTheItemWithResult2) {
  ZexTree tree;
  tree.rootFiles = {trees::ZexFileOf("A", ""), trees::ZexFileOf("B", "")};
  tree.rootFiles[0].description = "x";
  ZexImage image = catwriter::BuildZex(tree);
  const uint32_t fileSize = static_cast<uint32_t>(image.bytes.size());
  // noteRef far beyond the end of the file.
  std::vector<uint8_t> beyond = image.bytes;
  Poke32(beyond, image.layout.entryOffsets[0] + zw::kNoteRefField, 0x7FFFFF00u);
  std::vector<ListedItem> items = List(beyond);
  ASSERT_GE(items.size(), 1u);
  EXPECT_EQ(items[0].result, StatusDamaged);
  EXPECT_STREQ(items[0].item.cFileName, "A");
  EXPECT_EQ(static_cast<uint8_t>(items[0].details.description[0]), kDetailsFill)
      << "an unreadable length leaves the field as passed";
  // The walk moved on: the next call delivers B.
  ListedItem next = NextItem(zex());
  EXPECT_EQ(next.result, StatusOk);
  EXPECT_STREQ(next.item.cFileName, "B");

  // The length field ends exactly at the end of the file: the text read begins at the end.
  std::vector<uint8_t> atEnd = image.bytes;
  Poke32(atEnd, image.layout.entryOffsets[0] + zw::kNoteRefField,
         fileSize - 2 - image.layout.noteBase + 1);
  Poke16(atEnd, fileSize - 2, 0);
  items = List(atEnd);
  // From the image a text that begins at the end cannot be read (2); from the file it is a
  // read of nothing, which an empty text is (1).
  EXPECT_EQ(items[0].result, ImageRefusedModules() != nullptr ? StatusOk : StatusDamaged);
  EXPECT_EQ(items[0].description(), "");

  // A length running past the end empties the description.
  std::vector<uint8_t> tooLong = image.bytes;
  Poke16(tooLong, image.layout.noteOffsets[0], 200);
  items = List(tooLong);
  EXPECT_EQ(items[0].result, StatusDamaged);
  EXPECT_EQ(items[0].description(), "");
}

TEST_F(ZexListing, UnreadableRecordsAreRetriedWithNothingWritten) {
  ZexImage image = catwriter::BuildZex(SmallTree());
  // Cut the file inside the last entry (EDIT.EXE).
  std::vector<uint8_t> cut(image.bytes.begin(),
                           image.bytes.begin() + image.layout.entryOffsets[1] + 10);
  // The writer puts no notes here, so the cut file ends in the entry table.
  Poke32(cut, 32, static_cast<uint32_t>(cut.size()));  // keep check value A >= B
  Open(cut);
  EXPECT_EQ(NextItem(zex()).result, StatusOk);
  EXPECT_EQ(NextItem(zex()).result, StatusOk);
  for (int attempt = 0; attempt < 3; ++attempt) {
    ListedItem failed = NextItem(zex());
    EXPECT_EQ(failed.result, PastEndResult(StatusDamaged));
    const auto* raw = reinterpret_cast<const uint8_t*>(&failed.item);
    for (size_t i = 0; i < sizeof failed.item; ++i) ASSERT_EQ(raw[i], kItemFill) << i;
  }

  // A directory table that begins past the end of the file: 3 on every call.
  std::vector<uint8_t> far = image.bytes;
  Poke32(far, zw::kDirTableSizeField, 80);
  ZexTree twoDirs;
  twoDirs.rootRecord = false;
  twoDirs.dirs = {trees::ZexDirOf("A"), trees::ZexDirOf("B")};
  ZexImage dirs = catwriter::BuildZex(twoDirs);
  Poke32(dirs.bytes, zw::kDirTableSizeField, 40 * 3);  // one record more than there is
  Poke32(dirs.bytes, zw::kEntryTableOffsetField, 116);
  std::vector<uint8_t> shortened(dirs.bytes.begin(), dirs.bytes.begin() + 116 + 80);
  Open(shortened);
  EXPECT_EQ(NextItem(zex()).result, StatusOk);
  EXPECT_EQ(NextItem(zex()).result, StatusOk);
  EXPECT_EQ(NextItem(zex()).result, PastEndResult(StatusPastEnd));
  EXPECT_EQ(NextItem(zex()).result, PastEndResult(StatusPastEnd));
}

TEST_F(ZexListing, OpenFailsOnShortFilesAndHoldsNothing) {
  const std::vector<uint8_t> bytes = catwriter::BuildZex(SmallTree()).bytes;
  int32_t type = 9;
  TempFile empty({});
  EXPECT_EQ(zex().openArchive(empty.path(), &type), 0);
  TempFile shortHeader(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 115));
  EXPECT_EQ(zex().openArchive(shortHeader.path(), &type), 0);
  // The header is there but not the first directory record.
  TempFile noRecord(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 130));
  EXPECT_EQ(zex().openArchive(noRecord.path(), &type), 0);
  EXPECT_EQ(type, 9);
  CloseRecord record{};
  EXPECT_EQ(zex().closeArchive(&record), 0) << "a failed open leaves no file to close";
}

TEST_F(ZexListing, InvalidStampsGiveZeroTimes) {
  ZexTree tree;
  tree.rootFiles = {trees::ZexFileOf("BAD", "")};
  tree.rootFiles[0].stamp =
      catwriter::DosStamp{static_cast<uint16_t>((43 << 9) | (2 << 5) | 29), 0};  // 2023-02-29
  tree.dirs = {trees::ZexDirOf("LATE")};
  tree.dirs[0].stamp = catwriter::DosStamp{static_cast<uint16_t>((20 << 9) | (1 << 5) | 1),
                                           static_cast<uint16_t>(24 << 11)};  // hour 24
  const std::vector<ListedItem> items = List(catwriter::BuildZex(tree).bytes);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(items[i].result, StatusOk);
    EXPECT_EQ(Ticks(items[i].item.ftCreationTime), 0u);
    EXPECT_EQ(Ticks(items[i].item.ftLastAccessTime), 0u);
    EXPECT_EQ(Ticks(items[i].item.ftLastWriteTime), 0u);
  }
}

TEST_F(ZexListing, StampsAreLocalTimeConvertedWithTheOffsetInForce) {
  const char* saved = std::getenv("TZ");
  const std::string restore = saved != nullptr ? saved : "";
  setenv("TZ", "IST-5:30", 1);
  tzset();
  // The module looks the offset up again once the wall-clock second changes.
  const time_t start = time(nullptr);
  while (time(nullptr) == start) {
  }
  const std::vector<ListedItem> items = List(catwriter::BuildZex(SmallTree()).bytes);
  setenv("TZ", restore.c_str(), 1);
  tzset();
  EXPECT_EQ(Ticks(items[0].item.ftLastWriteTime),
            TicksOf(2001, 2, 3, 4, 5, 6) - 19'800ull * 10'000'000ull);
}

// A chain of directories deep enough that the path passes 259 characters.
TEST_F(ZexListing, PathsBeyond259CharactersAreCutAndReportedAsDamaged) {
  ZexTree tree;
  ZexDir* parent = nullptr;
  for (int depth = 0; depth < 30; ++depth) {  // 30 levels of "DIRNAMEn\" = 9 characters each
    ZexDir dir = trees::ZexDirOf("DIRNAME" + std::string(1, static_cast<char>('A' + depth % 26)),
                                 {trees::ZexFileOf("F", "TXT")});
    if (parent == nullptr) {
      tree.dirs.push_back(dir);
      parent = &tree.dirs.back();
    } else {
      parent->subdirs.push_back(dir);
      parent = &parent->subdirs.back();
    }
  }
  tree.dirs.push_back(trees::ZexDirOf("AFTER", {trees::ZexFileOf("LAST", "TXT")}));
  Open(catwriter::BuildZex(tree).bytes);
  const std::vector<ListedItem> items = ListDelivered(zex());
  ASSERT_EQ(items.size(), 30u * 2 + 2 + 1);
  std::string expectedPath;
  for (int depth = 0; depth < 30; ++depth) {
    const std::string name = "DIRNAME" + std::string(1, static_cast<char>('A' + depth % 26));
    const ListedItem& dir = items[depth * 2];
    const ListedItem& file = items[depth * 2 + 1];
    const std::string fullDir = expectedPath + name;
    expectedPath += name + "\\";
    const std::string fullFile = expectedPath + "F.TXT";
    EXPECT_EQ(dir.path(), fullDir.substr(0, 259)) << depth;
    EXPECT_EQ(dir.result, fullDir.size() > 259 ? StatusDamaged : StatusOk) << depth;
    EXPECT_EQ(file.path(), fullFile.substr(0, 259)) << depth;
    EXPECT_EQ(file.result, fullFile.size() > 259 ? StatusDamaged : StatusOk) << depth;
    EXPECT_LE(std::strlen(file.item.cFileName), 259u);
  }
  EXPECT_EQ(items[60].path(), "AFTER");
  EXPECT_EQ(items[60].result, StatusOk);
  EXPECT_EQ(items[61].path(), "AFTER\\LAST.TXT");
  EXPECT_EQ(items[61].result, StatusOk);
}

TEST_F(ZexListing, ReopenAndRepeatedClose) {
  const std::vector<uint8_t> bytes = catwriter::BuildZex(SmallTree()).bytes;
  TempFile first(bytes);
  TempFile second(bytes);
  int32_t type;
  ASSERT_EQ(zex().openArchive(first.path(), &type), 1);
  EXPECT_EQ(NextItem(zex()).result, StatusOk);
  // A second open while the first is listing closes the first and starts afresh.
  ASSERT_EQ(zex().openArchive(second.path(), &type), 1);
  EXPECT_EQ(PathsOf(ListAll(zex())),
            (std::vector<std::string>{"README.TXT", "TOOLS", "TOOLS\\EDIT.EXE"}));
  CloseRecord record{};
  EXPECT_NE(zex().closeArchive(&record), 0);
  EXPECT_EQ(record.fields[3], 1u);
  record.fields[3] = 0;
  EXPECT_EQ(zex().closeArchive(&record), 0) << "closes nothing the second time";
  EXPECT_EQ(record.fields[3], 1u);
  EXPECT_EQ(NextItem(zex()).result, StatusEnd) << "nothing to list after close";
  // After a close a new open starts from a fresh state.
  ASSERT_EQ(zex().openArchive(first.path(), &type), 1);
  EXPECT_EQ(PathsOf(ListAll(zex())).size(), 3u);
}

TEST_F(ZexListing, TheImageKeepsTheListingWhenTheFileChanges) {
  const std::vector<uint8_t> bytes = catwriter::BuildZex(SmallTree()).bytes;
  Open(bytes);
  file_->Rewrite({});  // shrink the file to nothing after the open
  EXPECT_EQ(PathsOf(ListAll(zex())),
            (std::vector<std::string>{"README.TXT", "TOOLS", "TOOLS\\EDIT.EXE"}));
}

}  // namespace
