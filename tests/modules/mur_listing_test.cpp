// mur_fmt through its entry points, on catalogues made by the writer.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/support/module_fixture.h"
#include "tests/support/trees.h"
#include "tools/writer/mur_writer.h"

namespace {

namespace mw = catwriter::mur;
using catwriter::BuildMur;
using catwriter::MakeDosStamp;
using catwriter::MurImage;
using catwriter::MurLinkStyle;
using catwriter::MurNode;
using catwriter::MurTree;

MurImage Build(std::vector<MurNode> top, MurLinkStyle links = MurLinkStyle::FirstLinkChain) {
  MurTree tree;
  tree.top = std::move(top);
  tree.links = links;
  return BuildMur(tree);
}

bool AllBytesAre(const void* field, size_t size, uint8_t value) {
  const auto* bytes = static_cast<const uint8_t*>(field);
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != value) return false;
  }
  return true;
}

std::vector<int> ResultsOf(const std::vector<ListedItem>& items) {
  std::vector<int> results;
  for (const ListedItem& listed : items) results.push_back(listed.result);
  return results;
}

std::vector<std::string> AllPaths(const std::vector<ListedItem>& items) {
  std::vector<std::string> paths;
  for (const ListedItem& listed : items) {
    if (listed.result != StatusEnd) paths.push_back(listed.path());
  }
  return paths;
}

class MurListing : public ::testing::Test {
 protected:
  MurListing() : module_(MUR_FMT_PATH) {}
  const FormatModule& mur() { return module_.get(); }

  void Open(const std::vector<uint8_t>& bytes) {
    file_ = std::make_unique<TempFile>(bytes);
    int32_t type = -1;
    ASSERT_EQ(mur().openArchive(file_->path(), &type), 1);
    EXPECT_EQ(type, 0);
  }
  std::vector<ListedItem> List(const std::vector<uint8_t>& bytes) {
    Open(bytes);
    return ListAll(mur());
  }
  // Every call up to the end, going on after delivered items with result 2.
  std::vector<ListedItem> ListThrough(const std::vector<uint8_t>& bytes) {
    Open(bytes);
    return ListDelivered(mur(), 1000);
  }

  LoadedModule module_;
  std::unique_ptr<TempFile> file_;
};

TEST_F(MurListing, ProbeWantsFortyBytesTheMagicAndVersionOne) {
  std::vector<uint8_t> header = Build({trees::MurFileOf("A")}).bytes;
  header.resize(mw::kHeaderSize);
  auto accepted = [&](const std::vector<uint8_t>& bytes, uint32_t size) {
    return mur().isArchive("any", bytes.data(), size);
  };
  EXPECT_EQ(accepted(header, 40), 1);
  EXPECT_EQ(accepted(header, 39), 0);
  for (uint32_t version : {0u, 2u, 0x101u}) {
    std::vector<uint8_t> bytes = header;
    Poke32(bytes, mw::kVersionField, version);
    EXPECT_EQ(accepted(bytes, 40), 0) << version;
  }
  std::vector<uint8_t> magic = header;
  magic[3] = 'Q';
  EXPECT_EQ(accepted(magic, 40), 0);
}

TEST_F(MurListing, WalksDepthFirstWhicheverLinksJoinTheSiblings) {
  std::vector<MurNode> top = {
      trees::MurDirOf("DOCS",
                      {trees::MurFileOf("A.TXT"),
                       trees::MurDirOf("SUB", {trees::MurFileOf("B"), trees::MurFileOf("B2"),
                                               trees::MurFileOf("B3")}),
                       trees::MurFileOf("A2")}),
      trees::MurFileOf("C.TXT"), trees::MurDirOf("EMPTY"), trees::MurFileOf("D"),
      trees::MurFileOf("E")};
  const std::vector<std::string> expected = {"DOCS",
                                             "DOCS\\A.TXT",
                                             "DOCS\\SUB",
                                             "DOCS\\SUB\\B",
                                             "DOCS\\SUB\\B2",
                                             "DOCS\\SUB\\B3",
                                             "DOCS\\A2",
                                             "C.TXT",
                                             "EMPTY",
                                             "D",
                                             "E"};
  for (MurLinkStyle links :
       {MurLinkStyle::FirstLinkChain, MurLinkStyle::SecondLinkChain, MurLinkStyle::Balanced}) {
    const std::vector<ListedItem> items = List(Build(top, links).bytes);
    EXPECT_EQ(PathsOf(items), expected) << static_cast<int>(links);
    EXPECT_EQ(items.back().result, StatusEnd);
    // The call that delivered the last item released the state; later calls write nothing.
    const ListedItem after = NextItem(mur());
    EXPECT_EQ(after.result, StatusEnd);
    EXPECT_TRUE(AllBytesAre(&after.item, sizeof after.item, kItemFill));
    EXPECT_TRUE(AllBytesAre(&after.details, sizeof after.details, kDetailsFill));
  }
}

TEST_F(MurListing, FillsTheRecordsAndLeavesTheRestAlone) {
  MurNode file = trees::MurFileOf("F.BIN", 0x12345678);
  file.stamp = MakeDosStamp(2000, 2, 29, 23, 59, 58);
  const std::vector<ListedItem> items = List(Build({trees::MurDirOf("D", {file})}).bytes);
  ASSERT_EQ(items.size(), 3u);
  const uint64_t stamps[2] = {TicksOf(1999, 12, 31, 23, 59, 58), TicksOf(2000, 2, 29, 23, 59, 58)};
  const uint32_t attributes[2] = {0x1031, 0x1021};
  const uint32_t sizes[2] = {0, 0x12345678};
  for (int i = 0; i < 2; ++i) {
    // Packed fields are copied out before gtest binds references to them.
    const ItemRecord& item = items[i].item;
    const ItemDetails& details = items[i].details;
    EXPECT_EQ(items[i].result, StatusOk);
    EXPECT_EQ(uint32_t{item.dwFileAttributes}, attributes[i]);
    EXPECT_EQ(uint32_t{item.nFileSizeLow}, sizes[i]);
    EXPECT_EQ(uint32_t{item.packedSizeLow}, sizes[i]);
    EXPECT_EQ(uint32_t{item.nFileSizeHigh}, 0u);
    EXPECT_EQ(uint32_t{item.packedSizeHigh}, 0u);
    EXPECT_EQ(Ticks(item.ftCreationTime), stamps[i]);
    EXPECT_EQ(Ticks(item.ftLastAccessTime), stamps[i]);
    EXPECT_EQ(Ticks(item.ftLastWriteTime), stamps[i]);
    EXPECT_STREQ(details.hostSystem, "Win32");
    EXPECT_EQ(uint32_t{details.formatVersion}, 0x100u);
    // Not written: reserved fields, the alternate name, the host's fields, the rest of texts,
    // and the description of a name kind without one.
    EXPECT_EQ(uint32_t{item.dwReserved0}, 0xA5A5A5A5u);
    EXPECT_EQ(uint32_t{item.dwReserved1}, 0xA5A5A5A5u);
    EXPECT_TRUE(AllBytesAre(item.cAlternateFileName, kAlternateNameSize, kItemFill));
    EXPECT_EQ(static_cast<uint8_t>(item.cFileName[std::strlen(item.cFileName) + 1]), kItemFill);
    EXPECT_EQ(static_cast<uint8_t>(details.hostSystem[6]), kDetailsFill);
    EXPECT_TRUE(AllBytesAre(details.description, kDescriptionSize, kDetailsFill));
    EXPECT_TRUE(AllBytesAre(details.hostFields, sizeof details.hostFields, kDetailsFill));
  }
}

TEST_F(MurListing, StampsThatDoNotConvertGiveZeroTimesAndNoError) {
  MurImage image = Build({trees::MurFileOf("A"), trees::MurFileOf("B"), trees::MurFileOf("C"),
                          trees::MurFileOf("D"), trees::MurFileOf("E"), trees::MurFileOf("F"),
                          trees::MurFileOf("G"), trees::MurFileOf("OK")});
  const uint32_t year2001 = 21u << 9;
  const uint32_t badStamps[] = {
      (year2001 | 13u << 5 | 1u) << 16,             // month 13
      (year2001 | 0u << 5 | 1u) << 16,              // month 0
      (year2001 | 2u << 5 | 29u) << 16,             // 29 February of a common year
      (year2001 | 4u << 5 | 31u) << 16,             // 31 April
      (year2001 | 1u << 5 | 1u) << 16 | 24u << 11,  // hour 24
      (year2001 | 1u << 5 | 1u) << 16 | 60u << 5,   // minute 60
      (year2001 | 1u << 5 | 1u) << 16 | 30u,        // second 60
  };
  for (size_t i = 0; i < std::size(badStamps); ++i) {
    Poke32(image.bytes, image.layout.nodeOffsets[i] + mw::kStampField, badStamps[i]);
  }
  // The stamps carry no zone: another local zone changes nothing.
  const std::string saved = std::getenv("TZ") != nullptr ? std::getenv("TZ") : "UTC";
  setenv("TZ", "IST-5:30", 1);
  tzset();
  const std::vector<ListedItem> items = List(image.bytes);
  setenv("TZ", saved.c_str(), 1);
  tzset();
  ASSERT_EQ(items.size(), 9u);
  for (size_t i = 0; i < std::size(badStamps); ++i) {
    EXPECT_EQ(items[i].result, StatusOk) << i;
    EXPECT_EQ(Ticks(items[i].item.ftCreationTime), 0u) << i;
    EXPECT_EQ(Ticks(items[i].item.ftLastAccessTime), 0u) << i;
    EXPECT_EQ(Ticks(items[i].item.ftLastWriteTime), 0u) << i;
  }
  EXPECT_EQ(Ticks(items[7].item.ftLastWriteTime), TicksOf(2001, 2, 3, 4, 5, 6));
}

TEST_F(MurListing, EveryNameKind) {
  MurNode readme = trees::MurFileOf("README", 0, 1);
  readme.extension = "TXT";
  MurNode notes = trees::MurFileOf("NOTES", 0, 2);
  notes.description = "about the notes";
  MurNode chained = trees::MurFileOf("a long file name beyond one chunk of text", 0, 3);
  chained.extension = "html";
  chained.description = "described";
  MurNode bare = trees::MurFileOf("bare name", 0, 3);
  const std::vector<ListedItem> items = List(
      Build({trees::MurFileOf("ABCDEFGHIJKLMNOP", 0, 0), readme, trees::MurFileOf("README", 0, 1),
             notes, trees::MurFileOf("SILENT", 0, 2), chained, bare})
          .bytes);
  EXPECT_EQ(PathsOf(items), (std::vector<std::string>{
                                "ABCDEFGHIJKLMNOP", "README.TXT", "README", "NOTES", "SILENT",
                                "a long file name beyond one chunk of text.html", "bare name"}));
  EXPECT_EQ(items[3].description(), "about the notes");
  EXPECT_EQ(items[4].description(), "") << "kind 2 with link 0: the empty description";
  EXPECT_EQ(static_cast<uint8_t>(items[4].details.description[1]), kDetailsFill);
  EXPECT_EQ(items[5].description(), "described");
  EXPECT_EQ(items[6].description(), "");
}

TEST_F(MurListing, ChainsReadAcrossChunksAndStopAtTheRoom) {
  MurNode forty = trees::MurFileOf("FORTY", 0, 2);
  forty.description = std::string(36, 'a') + "bcde";
  MurNode eight = trees::MurFileOf("EIGHT", 0, 2);
  eight.description = std::string(8 * 36, 'x');
  const MurImage image = Build({forty, eight});
  ASSERT_EQ(image.layout.chunkOffsets[0].size(), 2u);
  const std::vector<ListedItem> items = List(image.bytes);
  EXPECT_EQ(items[0].description(), forty.description);
  EXPECT_EQ(items[1].result, StatusOk) << "a description cut at 255 characters is no fault";
  EXPECT_EQ(items[1].description(), std::string(255, 'x'));
}

TEST_F(MurListing, UnreadableChunksGiveResultTwoWithTheItemAndTheWalkGoingOn) {
  MurNode second = trees::MurFileOf("SECOND", 0, 2);
  second.description = std::string(36, 'q') + "rest";
  MurNode early = trees::MurFileOf("EARLY", 0, 2);
  early.description = "AB";
  MurNode noExtension = trees::MurFileOf("name", 0, 3);
  noExtension.extension = "ext";
  noExtension.description = "desc";
  MurNode noName = noExtension;
  MurNode longExtension = trees::MurFileOf("BASE", 0, 1);
  longExtension.extension = std::string(40, 'e');
  MurImage image =
      Build({second, early, noExtension, noName, longExtension, trees::MurFileOf("AFTER")});
  const uint32_t beyond = static_cast<uint32_t>(image.bytes.size()) + 100;
  const auto& nodes = image.layout.nodeOffsets;
  const auto& chunks = image.layout.chunkOffsets;
  Poke32(image.bytes, chunks[0][0] + mw::kNextChunkField, beyond);  // second chunk missing
  // A zero byte ends the text, but the chain is read to its last link all the same.
  Poke32(image.bytes, chunks[1][0] + mw::kNextChunkField, beyond);
  Poke32(image.bytes, nodes[2] + mw::kExtensionChainField, beyond);
  Poke32(image.bytes, nodes[3] + mw::kNameChainField, beyond);
  Poke32(image.bytes, chunks[4][0] + mw::kNextChunkField, beyond);
  const std::vector<ListedItem> items = ListThrough(image.bytes);
  ASSERT_EQ(items.size(), 7u);
  EXPECT_EQ(ResultsOf(items), (std::vector<int>{2, 2, 2, 2, 2, 1, 0}));
  EXPECT_EQ(items[0].description(), std::string(36, 'q'));
  EXPECT_EQ(items[1].description(), "AB");
  EXPECT_EQ(items[2].path(), "name.") << "an unreadable extension leaves the dot";
  EXPECT_EQ(items[3].path(), "");
  for (int i : {2, 3}) {
    EXPECT_TRUE(AllBytesAre(items[i].details.description, kDescriptionSize, kDetailsFill))
        << "no description once the name could not be read";
  }
  EXPECT_EQ(items[4].path(), "BASE." + std::string(36, 'e'));
  EXPECT_EQ(items[5].path(), "AFTER");
}

// Five directories of 48 letters and one of 4 make a path of 250 characters.
std::vector<MurNode> Deep(std::vector<MurNode> inside) {
  std::vector<MurNode> last;
  last.push_back(trees::MurDirOf("dirs", std::move(inside)));
  inside = std::move(last);
  for (char letter : {'e', 'd', 'c', 'b', 'a'}) {
    std::vector<MurNode> level;
    level.push_back(trees::MurDirOf(std::string(48, letter), std::move(inside)));
    inside = std::move(level);
  }
  return inside;
}
const std::string kDeepPath = std::string(48, 'a') + "\\" + std::string(48, 'b') + "\\" +
                              std::string(48, 'c') + "\\" + std::string(48, 'd') + "\\" +
                              std::string(48, 'e') + "\\dirs\\";

TEST_F(MurListing, NamesCutAtTwoHundredFiftyNineCharactersGiveResultTwo) {
  MurNode chained = trees::MurFileOf("0123456789ABCDEFGHIJ", 0, 3);
  MurNode withDot = trees::MurFileOf("0123456789AB", 0, 1);
  withDot.extension = "TXT";
  std::vector<MurNode> top = Deep(
      {chained, trees::MurFileOf("0123456789ABCDEF", 0, 0), withDot, trees::MurFileOf("fits")});
  top.push_back(trees::MurFileOf("TOP"));
  const std::vector<ListedItem> items = ListThrough(Build(top).bytes);
  const std::string here = kDeepPath;  // room for 9 characters
  ASSERT_EQ(items.size(), 12u);
  EXPECT_EQ(items[6].path(), here + "012345678");
  EXPECT_EQ(items[7].path(), here + "012345678");
  EXPECT_EQ(items[8].path(), here + "012345678") << "no room left for the dot";
  EXPECT_EQ(items[9].path(), here + "fits");
  EXPECT_EQ(items[10].path(), "TOP");
  EXPECT_EQ(ResultsOf(items), (std::vector<int>{1, 1, 1, 1, 1, 1, 2, 2, 2, 1, 1, 0}));
  for (const ListedItem& listed : items) {
    EXPECT_TRUE(AllBytesAre(listed.item.cAlternateFileName, kAlternateNameSize, kItemFill));
  }
}

TEST_F(MurListing, ADirectoryTooDeepForItsPathIsCutAndLeftExactly) {
  // Under 250 characters: "123456789" fills the path to 259 but leaves no room for its
  // backslash; "0123456789" does not fit at all.
  std::vector<MurNode> top =
      Deep({trees::MurFileOf("x"), trees::MurDirOf("123456789", {trees::MurFileOf("in")}),
            trees::MurDirOf("0123456789",
                            {trees::MurFileOf("f"), trees::MurDirOf("g", {trees::MurFileOf("h")})}),
            trees::MurFileOf("ok")});
  top.push_back(trees::MurFileOf("END"));
  const std::vector<ListedItem> items = ListThrough(Build(top).bytes);
  ASSERT_EQ(items.size(), 16u);
  EXPECT_EQ(items[6].path(), kDeepPath + "x");
  EXPECT_EQ(items[7].path(), kDeepPath + "123456789");
  EXPECT_EQ(items[8].path(), kDeepPath + "123456789") << "inside: the cut path alone";
  for (int i : {9, 10, 11, 12}) EXPECT_EQ(items[i].path(), kDeepPath + "012345678") << i;
  EXPECT_EQ(items[13].path(), kDeepPath + "ok");
  EXPECT_EQ(items[14].path(), "END");
  EXPECT_EQ(ResultsOf(items), (std::vector<int>{1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 1, 1, 0}));
}

TEST_F(MurListing, EmptyDirectoriesAndOddNamesKeepLaterPathsRight) {
  const std::vector<ListedItem> items =
      List(Build({trees::MurDirOf("EMPTY"), trees::MurFileOf("AFTER"),
                  trees::MurDirOf(
                      "", {trees::MurFileOf("X"), trees::MurDirOf("", {trees::MurFileOf("Y")})}),
                  trees::MurFileOf("Z"), trees::MurDirOf("A\\B", {trees::MurFileOf("C")}),
                  trees::MurFileOf("W"), trees::MurDirOf("D", {trees::MurFileOf("")}),
                  trees::MurFileOf("")})
               .bytes);
  EXPECT_EQ(PathsOf(items),
            (std::vector<std::string>{"EMPTY", "AFTER", "", "\\X", "\\", "\\\\Y", "Z", "A\\B",
                                      "A\\B\\C", "W", "D", "D\\", ""}));
  EXPECT_EQ(uint32_t{items[0].item.dwFileAttributes}, 0x1031u);
}

TEST_F(MurListing, ACatalogueWithoutRootListsNothingUntilClosed) {
  std::vector<uint8_t> bytes = Build({trees::MurFileOf("A")}).bytes;
  Poke32(bytes, mw::kRootNodeField, 0);
  Open(bytes);
  for (int i = 0; i < 3; ++i) {
    const ListedItem listed = NextItem(mur());
    EXPECT_EQ(listed.result, StatusEnd);
    EXPECT_TRUE(AllBytesAre(&listed.item, sizeof listed.item, kItemFill));
  }
  CloseRecord record{};
  EXPECT_NE(mur().closeArchive(&record), 0) << "the file was still open";
  EXPECT_EQ(record.fields[3], 1u);
}

TEST_F(MurListing, NodesThatCannotBeReadAreRetried) {
  MurImage image = Build({trees::MurDirOf("D", {trees::MurFileOf("X")}), trees::MurFileOf("Y")});
  const uint32_t size = static_cast<uint32_t>(image.bytes.size());
  std::vector<uint8_t> pastEnd = image.bytes;
  Poke32(pastEnd, mw::kRootNodeField, size);
  Open(pastEnd);
  EXPECT_EQ(NextItem(mur()).result, StatusPastEnd);
  EXPECT_EQ(NextItem(mur()).result, StatusPastEnd) << "the same node is tried again";
  std::vector<uint8_t> straddling = image.bytes;
  Poke32(straddling, mw::kRootNodeField, size - 20);
  Open(straddling);
  const ListedItem damaged = NextItem(mur());
  EXPECT_EQ(damaged.result, PastEndResult(StatusDamaged));
  EXPECT_TRUE(AllBytesAre(&damaged.item, sizeof damaged.item, kItemFill));
  std::vector<uint8_t> badChild = image.bytes;
  Poke32(badChild, image.layout.nodeOffsets[0] + mw::kSizeOrChildField, size + 4);
  Open(badChild);
  EXPECT_EQ(NextItem(mur()).result, StatusOk);
  EXPECT_EQ(NextItem(mur()).result, StatusPastEnd);
}

// Each case breaks the links of a small catalogue; every reachable node is listed once, the
// listing ends, and the call whose walk step dropped a link returns 2.
TEST_F(MurListing, LinksBackToListedNodesAreDroppedAndTheListingEnds) {
  struct Case {
    const char* what;
    std::vector<MurNode> top;
    std::vector<std::pair<int, size_t>> pokes;  // node index, field; -1 targets the node itself
    std::vector<int> targets;
    std::vector<std::string> paths;
    std::vector<int> results;
  };
  const std::vector<Case> cases = {
      {"a secondLink to itself",
       {trees::MurFileOf("A"), trees::MurFileOf("B")},
       {{0, mw::kSecondLinkField}},
       {0},
       {"A", "B"},
       {1, 2, 0}},
      {"a firstLink to the root",
       {trees::MurDirOf("D", {trees::MurFileOf("X")})},
       {{1, mw::kFirstLinkField}},
       {0},
       {"D", "D\\X"},
       {1, 2, 0}},
      {"a link to an ancestor",
       {trees::MurDirOf("D", {trees::MurDirOf("E", {trees::MurFileOf("F")})}),
        trees::MurFileOf("G")},
       {{2, mw::kFirstLinkField}},
       {0},
       {"D", "D\\E", "D\\E\\F", "G"},
       {1, 1, 2, 1, 0}},
      {"a directory that holds itself",
       {trees::MurDirOf("E", {trees::MurFileOf("X")}), trees::MurFileOf("G")},
       {{0, mw::kSizeOrChildField}},
       {0},
       {"E", "G"},
       {2, 1, 0}},
      {"two links to the same node",
       {trees::MurFileOf("A"), trees::MurFileOf("B"), trees::MurFileOf("C")},
       {{0, mw::kSecondLinkField}},
       {1},
       {"A", "B", "C"},
       {1, 1, 2, 0}},
      {"a child link to a later sibling",
       {trees::MurDirOf("D", {trees::MurFileOf("X")}), trees::MurFileOf("S")},
       {{0, mw::kSizeOrChildField}},
       {2},
       {"D", "D\\S"},
       {1, 2, 0}},
  };
  for (const Case& c : cases) {
    MurImage image = Build(c.top);
    for (size_t i = 0; i < c.pokes.size(); ++i) {
      Poke32(image.bytes, image.layout.nodeOffsets[c.pokes[i].first] + c.pokes[i].second,
             image.layout.nodeOffsets[c.targets[i]]);
    }
    const std::vector<ListedItem> items = ListThrough(image.bytes);
    EXPECT_EQ(AllPaths(items), c.paths) << c.what;
    EXPECT_EQ(ResultsOf(items), c.results) << c.what;
  }
}

TEST_F(MurListing, ALongChainOfSiblingsKeepsFewPendingNodes) {
  constexpr size_t kFiles = 100000;
  for (MurLinkStyle links : {MurLinkStyle::FirstLinkChain, MurLinkStyle::SecondLinkChain}) {
    std::vector<MurNode> files(kFiles, trees::MurFileOf("f"));
    Open(Build({trees::MurDirOf("D", std::move(files))}, links).bytes);
    const size_t before = mallinfo2().uordblks;
    ItemRecord item;
    ItemDetails details;
    size_t delivered = 0;
    while (delivered < kFiles && mur().getArcItem(&item, &details) == StatusOk) ++delivered;
    const size_t after = mallinfo2().uordblks;
    EXPECT_EQ(delivered, kFiles);
    EXPECT_LT(after - before, size_t{64} << 10) << "the heap grew with the chain";
    EXPECT_EQ(mur().getArcItem(&item, &details), StatusOk);
    EXPECT_EQ(mur().getArcItem(&item, &details), StatusEnd);
  }
}

TEST_F(MurListing, ADescriptionWithoutZeroByteIsConvertedWithinItsField) {
  Open(Build({trees::MurFileOf("N", 0, 0)}).bytes);
  ItemRecord item;
  ItemDetails details;
  std::memset(&details, 0x77, sizeof details);
  std::memset(details.description, 0xC0, kDescriptionSize);  // A grave, no terminator
  ASSERT_EQ(mur().getArcItem(&item, &details), StatusOk);
  EXPECT_TRUE(AllBytesAre(details.description, kDescriptionSize, 'A'));
  EXPECT_TRUE(AllBytesAre(details.hostFields, sizeof details.hostFields, 0x77));
}

size_t OpenDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

TEST_F(MurListing, OpeningAgainClosesTheEarlierFileAndClosingTwiceClosesNothing) {
  const size_t before = OpenDescriptors();
  TempFile first(Build({trees::MurFileOf("FIRST")}).bytes);
  int32_t type = -1;
  ASSERT_EQ(mur().openArchive(first.path(), &type), 1);
  const std::vector<uint8_t> second = Build({trees::MurFileOf("SECOND")}).bytes;
  EXPECT_EQ(PathsOf(List(second)), std::vector<std::string>{"SECOND"});
  EXPECT_EQ(OpenDescriptors(), before + 1);
  CloseRecord record{};
  EXPECT_NE(mur().closeArchive(&record), 0);
  record.fields[3] = 0;
  EXPECT_EQ(mur().closeArchive(&record), 0);
  EXPECT_EQ(record.fields[3], 1u);
  EXPECT_EQ(OpenDescriptors(), before);
  // A fresh state after close: the same catalogue lists the same again.
  EXPECT_EQ(PathsOf(List(second)), std::vector<std::string>{"SECOND"});
}

}  // namespace
