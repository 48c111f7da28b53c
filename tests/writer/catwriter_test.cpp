// The catalogue writer: byte layouts checked against hand-worked offsets, headers against the
// module's ZEX probe, MUR listing order through a small walker, short names and texts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "modules/zex/zex_format.h"
#include "tests/support/raw_catalogue.h"
#include "tools/writer/bytes.h"
#include "tools/writer/mur_writer.h"
#include "tools/writer/short_names.h"
#include "tools/writer/text.h"
#include "tools/writer/zex_writer.h"

namespace {

using namespace catwriter;
using namespace raw_catalogue;
using Bytes = std::vector<uint8_t>;

ZexFile MakeZexFile(std::string name, std::string extension, uint32_t size = 0) {
  ZexFile file;
  file.name = std::move(name);
  file.extension = std::move(extension);
  file.size = size;
  return file;
}

TEST(ZexWriter, SmallCatalogueMatchesHandWorkedLayout) {
  ZexTree tree;
  ZexFile readme = MakeZexFile("README", "TXT", 1234);
  readme.stamp = MakeDosStamp(2024, 3, 15, 12, 34, 56);
  readme.description = "Read me";
  tree.rootFiles.push_back(readme);
  ZexDir tools;
  tools.name = "TOOLS";
  ZexFile edit = MakeZexFile("EDIT", "EXE", 5);
  edit.attributes = 0x21;
  tools.files.push_back(edit);
  tree.dirs.push_back(tools);

  const ZexImage image = BuildZex(tree);
  const Bytes& b = image.bytes;
  // header 116 + two directory records 80 + two entries 64 + one note (2 + 7)
  ASSERT_EQ(b.size(), 269u);
  EXPECT_EQ(GetU32(b, 0), 196u);   // entryTableOffset: after the directory table
  EXPECT_EQ(GetU32(b, 4), 116u);   // dirTableOffset: right after the header
  EXPECT_EQ(GetU32(b, 8), 260u);   // third offset: the note area
  EXPECT_EQ(GetU32(b, 16), 80u);   // dirTableSize: two records
  EXPECT_EQ(GetU16(b, 24), 4u);    // formatMinor
  EXPECT_EQ(GetU16(b, 28), 116u);  // check word A
  EXPECT_EQ(GetU16(b, 30), 40u);   // check word B
  EXPECT_EQ(GetU32(b, 32), 269u);  // check value A: image size
  EXPECT_EQ(GetU32(b, 36), 260u);  // noteBase
  EXPECT_EQ(GetU32(b, 76), 260u);  // check value B: noteBase

  // Root record at 116: level 0, entries 0..0.
  EXPECT_EQ(GetU16(b, 116), 0u);
  EXPECT_EQ(GetU16(b, 116 + 34), 0u);  // firstEntry
  EXPECT_EQ(GetU16(b, 116 + 38), 1u);  // entryCount
  // TOOLS record at 156: level 1, its own entry padded with blanks, entries 1..1.
  EXPECT_EQ(GetU16(b, 156), 1u);
  EXPECT_EQ(TextAt(b, 156 + 2, 11), "TOOLS      ");
  EXPECT_EQ(b[156 + 2 + 11], 0x10);        // attributes
  EXPECT_EQ(GetU32(b, 156 + 2 + 16), 0u);  // noteRef: none
  EXPECT_EQ(GetU16(b, 156 + 34), 1u);
  EXPECT_EQ(GetU16(b, 156 + 38), 1u);

  // README.TXT at 196.
  EXPECT_EQ(TextAt(b, 196, 11), "README  TXT");
  EXPECT_EQ(b[196 + 11], 0x20);
  EXPECT_EQ(GetU32(b, 196 + 16), 1u);                       // noteRef 1: at noteBase
  EXPECT_EQ(GetU16(b, 196 + 22), 12 << 11 | 34 << 5 | 28);  // time
  EXPECT_EQ(GetU16(b, 196 + 24), 44 << 9 | 3 << 5 | 15);    // date
  EXPECT_EQ(GetU32(b, 196 + 28), 1234u);
  // EDIT.EXE at 228.
  EXPECT_EQ(TextAt(b, 228, 11), "EDIT    EXE");
  EXPECT_EQ(b[228 + 11], 0x21);
  EXPECT_EQ(GetU32(b, 228 + 16), 0u);
  EXPECT_EQ(GetU32(b, 228 + 28), 5u);
  // The note: length 7, then the text.
  EXPECT_EQ(GetU16(b, 260), 7u);
  EXPECT_EQ(TextAt(b, 262, 7), "Read me");

  EXPECT_EQ(image.layout.dirRecordOffsets, (std::vector<uint32_t>{116, 156}));
  EXPECT_EQ(image.layout.entryOffsets, (std::vector<uint32_t>{196, 228}));
  EXPECT_EQ(image.layout.noteOffsets, (std::vector<uint32_t>{260}));
}

TEST(ZexWriter, EveryHeaderPassesTheProbe) {
  std::vector<ZexTree> trees(5);
  trees[1].rootRecord = false;  // nothing at all: no directory table
  trees[2].formatMinor = 2;
  trees[3].formatMinor = 8;
  trees[3].rootFiles.push_back(MakeZexFile("A", ""));
  trees[3].rootFiles.back().description = std::string(300, 'x');
  trees[4].rootRecord = false;
  trees[4].dirs.resize(3);
  for (const ZexTree& tree : trees) {
    const Bytes bytes = BuildZex(tree).bytes;
    EXPECT_TRUE(ProbesAsZex(bytes)) << "image of " << bytes.size() << " bytes";
  }

  // And says no when one rule is broken.
  Bytes header = BuildZex(trees[0]).bytes;
  EXPECT_FALSE(ProbesAsZex(Bytes(header.begin(), header.begin() + 115)));
  Bytes damaged = header;
  PutU16(damaged, 30, 2 * 116 + 2);  // check word B / 2 > check word A
  EXPECT_FALSE(ProbesAsZex(damaged));
  damaged = header;
  PutU32(damaged, 76, GetU32(header, 32) + 1);  // check value B > check value A
  EXPECT_FALSE(ProbesAsZex(damaged));
}

TEST(ZexWriter, NestedDirectoriesAreListedDepthFirst) {
  ZexTree tree;
  tree.rootRecord = false;
  ZexDir a, b, c, d;
  a.name = "A";
  b.name = "B";
  c.name = "C";
  d.name = "D";
  b.files.push_back(MakeZexFile("IN_B", ""));
  b.description = "dir B";
  c.files = {MakeZexFile("IN_C1", ""), MakeZexFile("IN_C2", "")};
  c.files[1].description = "second in C";
  b.subdirs.push_back(c);
  a.subdirs.push_back(b);
  tree.dirs = {a, d};

  const ZexImage image = BuildZex(tree);
  const Bytes& bytes = image.bytes;
  const std::vector<std::string> names = {"A", "B", "C", "D"};
  const std::vector<uint16_t> levels = {1, 2, 3, 1};
  const std::vector<uint16_t> counts = {0, 1, 2, 0};
  ASSERT_EQ(image.layout.dirRecordOffsets.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    const uint32_t record = image.layout.dirRecordOffsets[i];
    EXPECT_EQ(bytes[record + 2], names[i][0]);
    EXPECT_EQ(GetU16(bytes, record), levels[i]);
    EXPECT_EQ(GetU16(bytes, record + 38), counts[i]);
  }
  EXPECT_EQ(GetU16(bytes, image.layout.dirRecordOffsets[2] + 34), 1u);  // C's files follow B's
  // Notes in listing order: B itself, then the second file in C.
  ASSERT_EQ(image.layout.noteOffsets.size(), 2u);
  EXPECT_EQ(GetU32(bytes, image.layout.dirRecordOffsets[1] + 2 + 16), 1u);
  const uint32_t secondRef = GetU32(bytes, image.layout.entryOffsets[2] + 16);
  EXPECT_EQ(image.layout.noteBase + secondRef - 1, image.layout.noteOffsets[1]);
  EXPECT_EQ(TextAt(bytes, image.layout.noteOffsets[1] + 2, 11), "second in C");
}

TEST(ZexWriter, RefusesWhatTheFormatCannotHold) {
  auto refuses = [](const ZexTree& tree) { EXPECT_THROW(BuildZex(tree), std::invalid_argument); };
  ZexTree tree;
  tree.rootFiles.push_back(MakeZexFile("NINEBYTES", ""));
  refuses(tree);
  tree.rootFiles[0] = MakeZexFile("OK", "LONG");
  refuses(tree);
  tree.rootFiles[0] = MakeZexFile("OK", "TXT");
  tree.rootFiles[0].description = std::string(65536, 'x');
  refuses(tree);
  tree.rootFiles[0].description.reset();
  tree.formatMinor = 3;
  refuses(tree);
  tree.formatMinor = 4;
  tree.rootRecord = false;  // the root file would have nowhere to go
  refuses(tree);

  // Entry numbers are 16 bits: the last file that fits is number 65535.
  ZexTree full;
  full.rootFiles.assign(65535, MakeZexFile("F", ""));
  ZexDir last;
  last.files.push_back(MakeZexFile("LAST", ""));
  full.dirs.push_back(last);
  EXPECT_NO_THROW(BuildZex(full));
  full.dirs.push_back(last);
  refuses(full);
}

MurNode MakeMurNode(std::string name, bool isDirectory = false) {
  MurNode node;
  node.name = std::move(name);
  node.isDirectory = isDirectory;
  return node;
}

TEST(MurWriter, SmallCatalogueMatchesHandWorkedLayout) {
  MurTree tree;
  MurNode docs = MakeMurNode("DOCS", true);
  docs.stamp = MakeDosStamp(2001, 2, 3, 4, 5, 6);
  MurNode readme = MakeMurNode("README");
  readme.extension = "TXT";
  readme.size = 77;
  MurNode notes = MakeMurNode("notes");
  notes.description = "short";
  docs.children = {readme, notes};
  const std::string longName = "a name that needs two chunks of text here";  // 41 bytes
  MurNode longFile = MakeMurNode(longName);
  longFile.extension = "html";
  longFile.description = "a page";
  tree.top = {docs, longFile};

  const MurImage image = BuildMur(tree);
  const Bytes& b = image.bytes;
  ASSERT_EQ(b.size(), 440u);  // header, 4 nodes, 6 chunks
  EXPECT_EQ(TextAt(b, 0, 4), "MURP");
  EXPECT_EQ(GetU32(b, 4), 1u);    // version
  EXPECT_EQ(GetU32(b, 20), 40u);  // rootNode
  // DOCS at 40, kind 0: siblings chained through firstLink, children from 80.
  EXPECT_EQ(GetU32(b, 40 + 0), 240u);  // firstLink: the long-named file
  EXPECT_EQ(GetU32(b, 40 + 4), 0u);    // secondLink
  EXPECT_EQ(GetU32(b, 40 + 8), 80u);   // sizeOrChild: README.TXT
  EXPECT_EQ(GetU32(b, 40 + 12), (21u << 9 | 2 << 5 | 3) << 16 | (4 << 11 | 5 << 5 | 3));
  EXPECT_EQ(GetU32(b, 40 + 20), 0x1000u);  // directory, kind 0
  EXPECT_EQ(TextAt(b, 40 + 24, 16), std::string("DOCS") + std::string(12, '\0'));
  // README at 80, kind 1, its extension chunk at 120.
  EXPECT_EQ(GetU32(b, 80 + 0), 160u);
  EXPECT_EQ(GetU32(b, 80 + 8), 77u);
  EXPECT_EQ(GetU32(b, 80 + 20), 1u << 10);
  EXPECT_EQ(TextAt(b, 80 + 24, 12), std::string("README") + std::string(6, '\0'));
  EXPECT_EQ(GetU32(b, 80 + 36), 120u);
  EXPECT_EQ(GetU32(b, 120), 0u);  // nextChunk
  EXPECT_EQ(TextAt(b, 124, 36), std::string("TXT") + std::string(33, '\0'));
  // notes at 160, kind 2, last of DOCS: no links; description chunk at 200.
  EXPECT_EQ(GetU32(b, 160 + 0), 0u);
  EXPECT_EQ(GetU32(b, 160 + 20), 2u << 10);
  EXPECT_EQ(GetU32(b, 160 + 36), 200u);
  EXPECT_EQ(TextAt(b, 204, 5), "short");
  // The long name at 240, kind 3: name chain 280 -> 320, extension 360, description 400.
  EXPECT_EQ(GetU32(b, 240 + 20), 3u << 10);
  EXPECT_EQ(GetU32(b, 240 + 24), 280u);
  EXPECT_EQ(GetU32(b, 240 + 32), 360u);
  EXPECT_EQ(GetU32(b, 240 + 36), 400u);
  EXPECT_EQ(GetU32(b, 280), 320u);
  EXPECT_EQ(TextAt(b, 284, 36), longName.substr(0, 36));
  EXPECT_EQ(GetU32(b, 320), 0u);
  EXPECT_EQ(TextAt(b, 324, 36), longName.substr(36) + std::string(31, '\0'));
  EXPECT_EQ(ReadChain(b, 360), "html");
  EXPECT_EQ(ReadChain(b, 400), "a page");

  EXPECT_EQ(image.layout.rootNode, 40u);
  EXPECT_EQ(image.layout.nodeOffsets, (std::vector<uint32_t>{40, 80, 160, 240}));
  EXPECT_EQ(image.layout.chunkOffsets,
            (std::vector<std::vector<uint32_t>>{{}, {120}, {200}, {280, 320, 360, 400}}));
}

class MurLinkStyleTest : public testing::TestWithParam<MurLinkStyle> {};

TEST_P(MurLinkStyleTest, ReaderOrderEqualsVectorOrder) {
  // Sibling lists of 0 to 7 nodes, nested three deep.
  MurTree tree;
  tree.links = GetParam();
  std::vector<std::string> expected;
  for (int i = 0; i < 7; ++i) {
    const std::string name = std::string("top").append(std::to_string(i));
    MurNode node = MakeMurNode(name, i % 2 == 1);
    expected.push_back(name);
    for (int k = 0; node.isDirectory && k < i; ++k) {
      MurNode child = MakeMurNode(std::string("c").append(std::to_string(k)), k == 1);
      expected.push_back(name + "\\" + child.name);
      for (int m = 0; child.isDirectory && m < 4; ++m) {
        child.children.push_back(MakeMurNode(std::string("g").append(std::to_string(m))));
        expected.push_back(name + "\\" + child.name + "\\g" + std::to_string(m));
      }
      node.children.push_back(child);
    }
    tree.top.push_back(node);
  }

  const MurImage image = BuildMur(tree);
  std::vector<std::string> names;
  std::vector<uint32_t> offsets;
  WalkMur(image.bytes, GetU32(image.bytes, 20), "", names, offsets);
  EXPECT_EQ(names, expected);
  EXPECT_EQ(offsets, image.layout.nodeOffsets);

  // Each style leans on the links it names.
  bool usesFirst = false, usesSecond = false;
  for (uint32_t node : offsets) {
    usesFirst = usesFirst || GetU32(image.bytes, node) != 0;
    usesSecond = usesSecond || GetU32(image.bytes, node + 4) != 0;
  }
  EXPECT_EQ(usesFirst, GetParam() != MurLinkStyle::SecondLinkChain);
  EXPECT_EQ(usesSecond, GetParam() != MurLinkStyle::FirstLinkChain);
}

std::string LinkStyleName(const testing::TestParamInfo<MurLinkStyle>& info) {
  switch (info.param) {
    case MurLinkStyle::FirstLinkChain:
      return "FirstLinkChain";
    case MurLinkStyle::SecondLinkChain:
      return "SecondLinkChain";
    case MurLinkStyle::Balanced:
      return "Balanced";
  }
  return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(AllStyles, MurLinkStyleTest,
                         testing::Values(MurLinkStyle::FirstLinkChain,
                                         MurLinkStyle::SecondLinkChain, MurLinkStyle::Balanced),
                         LinkStyleName);

TEST(MurWriter, NameKindsChosenAndRefused) {
  MurNode node = MakeMurNode(std::string(16, 'n'));
  EXPECT_EQ(ChooseMurNameKind(node), 0);
  node.name += "n";  // 17 bytes fit no inline field
  EXPECT_EQ(ChooseMurNameKind(node), 3);
  node.name = std::string(12, 'n');
  node.extension = "";
  EXPECT_EQ(ChooseMurNameKind(node), 1);
  node.extension.reset();
  node.description = "d";
  EXPECT_EQ(ChooseMurNameKind(node), 2);
  node.extension = "e";
  EXPECT_EQ(ChooseMurNameKind(node), 3);

  for (int kind : {0, 1, 2}) {  // none of them holds an extension and a description at once
    node.nameKind = kind;
    EXPECT_THROW(BuildMur(MurTree{{node}}), std::invalid_argument) << kind;
  }
  MurNode file = MakeMurNode("f");
  file.children.push_back(MakeMurNode("g"));
  EXPECT_THROW(BuildMur(MurTree{{file}}), std::invalid_argument);

  // Explicit kind 3 for a short name; an empty extension still gets its chain (for the ".")
  // and a name of exactly 36 bytes fills one chunk with no padding chunk after it.
  MurNode explicitKind = MakeMurNode(std::string(36, 'x'));
  explicitKind.nameKind = 3;
  explicitKind.extension = "";
  const MurImage image = BuildMur(MurTree{{explicitKind}});
  EXPECT_EQ(image.layout.chunkOffsets[0].size(), 2u);
  EXPECT_EQ(MurName(image.bytes, image.layout.rootNode), std::string(36, 'x') + ".");
}

TEST(ShortNames, MadeAsDosMakesThem) {
  const std::vector<std::string> names = {
      "readme.txt",           // valid 8.3: upper-cased
      "README.TXT",           // same once upper-cased: generated
      "Long File Name.html",  // long: 6 chars, ~1, extension cut to 3
      "Long File Name.htm",   // same stem: ~2
      "LONGFI~1.HTM",         // already valid: keeps its name, the generated ones step past it
      "a+b.c",                // invalid character: "_" and a tail
      ".profile",             // leading dot is no extension separator
      "archive.tar.gz",       // last dot separates
      "caf\xc3\xa9.txt",      // a UTF-8 letter becomes one "_"
      "noext",                // valid without an extension
  };
  const std::vector<std::string> expected = {
      "README.TXT", "README~1.TXT", "LONGFI~2.HTM", "LONGFI~3.HTM", "LONGFI~1.HTM",
      "A_B~1.C",    "PROFIL~1",     "ARCHIV~1.GZ",  "CAF_~1.TXT",   "NOEXT"};
  const std::vector<ShortName> made = MakeShortNames(names);
  ASSERT_EQ(made.size(), expected.size());
  for (size_t i = 0; i < made.size(); ++i) {
    const std::string joined =
        made[i].extension.empty() ? made[i].base : made[i].base + "." + made[i].extension;
    EXPECT_EQ(joined, expected[i]) << names[i];
  }

  // From ~10 on the base gives up a character.
  std::vector<std::string> many;
  for (int i = 0; i < 11; ++i) many.push_back("documentation" + std::to_string(i) + ".text");
  const std::vector<ShortName> shortened = MakeShortNames(many);
  EXPECT_EQ(shortened[8].base, "DOCUME~9");
  EXPECT_EQ(shortened[9].base, "DOCUM~10");
  EXPECT_EQ(shortened[10].base, "DOCUM~11");
  EXPECT_EQ(shortened[10].extension, "TEX");

  EXPECT_TRUE(IsValidShortName("a"));
  EXPECT_FALSE(IsValidShortName("toolongname.txt"));
  EXPECT_FALSE(IsValidShortName("a.b.c"));
  EXPECT_FALSE(IsValidShortName("name."));
  EXPECT_FALSE(IsValidShortName("a b.txt"));
}

std::string Joined(const ShortName& name) {
  return name.extension.empty() ? name.base : name.base + "." + name.extension;
}

// The short names a plain search gives: each name in turn tries N = 1, 2, ... against every
// name taken so far. Quadratic when many names share a prefix, but plainly right. The base
// and extension a name is generated from are those MakeShortNames gives the second of two
// copies of it, whose tail is a single digit.
std::vector<std::string> ShortNamesBySearchFromOne(const std::vector<std::string>& names) {
  std::vector<std::string> result(names.size());
  std::unordered_set<std::string> taken;
  for (size_t i = 0; i < names.size(); ++i) {
    if (IsValidShortName(names[i])) {
      const std::string own = Joined(MakeShortNames({names[i]})[0]);
      if (taken.insert(own).second) result[i] = own;
    }
  }
  for (size_t i = 0; i < names.size(); ++i) {
    if (!result[i].empty()) continue;
    const ShortName second = MakeShortNames({names[i], names[i]})[1];
    const std::string base = second.base.substr(0, second.base.rfind('~'));
    for (unsigned n = 1; result[i].empty(); ++n) {
      const std::string tail = std::string("~").append(std::to_string(n));
      const std::string candidate =
          Joined({base.substr(0, 8 - tail.size()) + tail, second.extension});
      if (taken.insert(candidate).second) result[i] = candidate;
    }
  }
  return result;
}

// Names whose generated candidates meet across prefixes: bases that share five or four
// characters (so their two- and three-digit tails compete), 8.3 names that hold some of the
// generated names already, and several extensions, in a scrambled order.
TEST(ShortNames, SameNamesAsASearchFromOneForEveryName) {
  std::vector<std::string> names;
  for (int k = 0; k < 150; ++k) {
    for (const char* stem : {"abcdefgh", "abcdeg_x", "abcdhh", "abcd", "abcdefgz"}) {
      names.push_back(stem + std::to_string(k) + (k % 3 == 0 ? ".text" : ".txt"));
    }
  }
  for (const char* held : {"ABCDE~12.TXT", "ABCDEF~3.TXT", "ABCD~100.TXT", "abcdeg~1.tex"}) {
    names.push_back(held);
  }
  // A fixed scramble: the order decides which name gets which tail.
  for (size_t i = 0; i < names.size(); ++i) std::swap(names[i], names[(i * 7919) % names.size()]);

  const std::vector<ShortName> made = MakeShortNames(names);
  const std::vector<std::string> expected = ShortNamesBySearchFromOne(names);
  ASSERT_EQ(made.size(), expected.size());
  std::unordered_set<std::string> distinct;
  for (size_t i = 0; i < made.size(); ++i) {
    EXPECT_EQ(Joined(made[i]), expected[i]) << names[i];
    distinct.insert(Joined(made[i]));
  }
  EXPECT_EQ(distinct.size(), names.size());
}

// A folder of 18,000 names that share their first six letters (a manual-page folder), and
// one whose 18,200 names share five: each name costs a bounded number of checks, however
// many share its prefix (a search from ~1 for every name costs checks in the square of the
// names, and took 17 s for the first folder), and the writer makes the whole catalogue.
TEST(ShortNames, CostIsLinearInTheNumberOfNames) {
  std::vector<std::string> manPages;
  for (int i = 0; i < 18000; ++i) manPages.push_back("pthread_attr_" + std::to_string(i) + ".3.gz");
  ShortNameCost cost;
  const std::vector<ShortName> made = MakeShortNames(manPages, &cost);
  ZexTree tree;
  for (const ShortName& name : made)
    tree.rootFiles.push_back(MakeZexFile(name.base, name.extension));
  const ZexImage image = BuildZex(tree);
  EXPECT_EQ(cost.candidateChecks, manPages.size());
  EXPECT_EQ(Joined(made[17999]), "PT~18000.GZ");
  EXPECT_EQ(image.layout.entryOffsets.size(), manPages.size());

  std::vector<std::string> sharingFive;
  for (char letter = 'a'; letter <= 'z'; ++letter) {
    for (int i = 0; i < 700; ++i)
      sharingFive.push_back(std::string("abcde") + letter + std::to_string(i));
  }
  MakeShortNames(sharingFive, &cost);
  EXPECT_LE(cost.candidateChecks, 2 * sharingFive.size());
}

TEST(Text, Cp1252AndDescriptIon) {
  EXPECT_EQ(Utf8ToCp1252("plain.txt"), "plain.txt");
  EXPECT_EQ(Utf8ToCp1252("caf\xc3\xa9"), "caf\xe9");
  EXPECT_EQ(Utf8ToCp1252("\xe2\x82\xac"), "\x80");  // euro sign
  EXPECT_EQ(Utf8ToCp1252("\xe4\xb8\xad!"), "?!");   // not in the code page
  EXPECT_EQ(Utf8ToCp1252("\xc3"), "?");             // cut sequence
  EXPECT_EQ(Utf8ToCp1252("\xc0\xaf"), "??");        // overlong "/"
  bool exact = false;
  EXPECT_EQ(Utf8ToCp1252("why?\xe2\x82\xac", &exact), "why?\x80");
  EXPECT_TRUE(exact);  // a "?" of its own is no loss
  EXPECT_EQ(Utf8ToCp1252("\xe6\x97\xa5.txt", &exact), "?.txt");
  EXPECT_FALSE(exact);
  EXPECT_EQ(Cp1252ToUtf8("caf\xe9 \x80 \x81"), "caf\xc3\xa9 \xe2\x82\xac \xef\xbf\xbd");

  const DescriptionList list = ParseDescriptIon(
      "readme.txt  Read this first \r\n\"long name.html\" A page\nnodesc\n\nOther.C\tsource\n");
  ASSERT_EQ(list.entries.size(), 3u);
  EXPECT_EQ(*list.Find("readme.txt"), "Read this first");
  EXPECT_EQ(*list.Find("long name.html"), "A page");
  EXPECT_EQ(*list.Find("other.c"), "source");  // letter case differs
  EXPECT_EQ(list.Find("nodesc"), nullptr);
  EXPECT_TRUE(IsDescriptIonName("DESCRIPT.ION"));

  // 0xB5 is A acute in code page 850 and a box-drawing piece in 437; auto takes 850 for what
  // is no UTF-8. 4DOS's extended data after 0x04 0xC2 is no part of a description.
  const std::string dos = "M\x81ller.txt \xB5 \x81\x04\xC2\x01\n";
  const struct {
    DescriptionCharset charset;
    const char* name;
    const char* text;
  } readings[] = {
      {DescriptionCharset::kAuto, "M\xC3\xBCller.txt", "\xC3\x81 \xC3\xBC"},
      {DescriptionCharset::kCp850, "M\xC3\xBCller.txt", "\xC3\x81 \xC3\xBC"},
      {DescriptionCharset::kCp437, "M\xC3\xBCller.txt", "\xE2\x95\xA1 \xC3\xBC"},
      {DescriptionCharset::kCp1252, "M\xEF\xBF\xBDller.txt", "\xC2\xB5 \xEF\xBF\xBD"},
      {DescriptionCharset::kUtf8, "M\x81ller.txt", "\xB5 \x81"},
  };
  for (const auto& reading : readings) {
    const DescriptionList list = ParseDescriptIon(dos, reading.charset);
    const std::string* found = list.Find(reading.name);
    ASSERT_NE(found, nullptr) << reading.name;
    EXPECT_EQ(*found, reading.text) << reading.name;
  }
  EXPECT_EQ(*ParseDescriptIon("caf\xC3\xA9 \xC3\xA9t\xC3\xA9\n", DescriptionCharset::kAuto)
                 .Find("caf\xC3\xA9"),
            "\xC3\xA9t\xC3\xA9");
  DescriptionCharset named = DescriptionCharset::kAuto;
  EXPECT_TRUE(CharsetByName("CP850", &named));
  EXPECT_EQ(named, DescriptionCharset::kCp850);
  EXPECT_TRUE(CharsetByName("UTF8", &named));
  EXPECT_EQ(named, DescriptionCharset::kUtf8);
  EXPECT_FALSE(CharsetByName("latin-2", &named));
}

TEST(Bytes, StampsAndStores) {
  const DosStamp stamp = MakeDosStamp(2107, 12, 31, 23, 59, 59);
  EXPECT_EQ(stamp.date, 127 << 9 | 12 << 5 | 31);
  EXPECT_EQ(stamp.time, 23 << 11 | 59 << 5 | 29);  // odd seconds round down
  EXPECT_THROW(MakeDosStamp(1979, 12, 31, 0, 0, 0), std::invalid_argument);
  bool clamped = false;
  EXPECT_EQ(ClampedDosStamp(1970, 1, 1, 5, 0, 0, &clamped), MakeDosStamp(1980, 1, 1, 0, 0, 0));
  EXPECT_TRUE(clamped);
  EXPECT_EQ(ClampedDosStamp(2200, 6, 1, 0, 0, 0), MakeDosStamp(2107, 12, 31, 23, 59, 58));

  Bytes bytes(6, 0);
  PutU32(bytes, 2, 0x11223344);
  EXPECT_EQ(bytes, (Bytes{0, 0, 0x44, 0x33, 0x22, 0x11}));
  EXPECT_THROW(PutU32(bytes, 3, 0), std::out_of_range);
  EXPECT_THROW(PutU16(bytes, SIZE_MAX, 0), std::out_of_range);
}

}  // namespace
