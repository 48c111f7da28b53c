// The catalogue writer: byte layouts checked against hand-worked offsets, headers against the
// module's ZEX probe, MUR listing order through a small walker, short names, and mkcat end to end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "tools/writer/bytes.h"
#include "tools/writer/mur_writer.h"
#include "tools/writer/short_names.h"
#include "tools/writer/text.h"
#include "tools/writer/zex_writer.h"
#include "zex/zex_format.h"

#ifdef MKCAT_PATH
#include "tests/support/mkcat_run.h"
#endif

namespace {

using namespace catwriter;
using Bytes = std::vector<uint8_t>;

std::string TextAt(const Bytes& bytes, size_t offset, size_t length) {
  return std::string(bytes.begin() + offset, bytes.begin() + offset + length);
}

// The module's own ZEX probe (zex/zex_format.cpp, linked into the tests).
bool ProbesAsZex(const Bytes& data) {
  return ::zex::Probe(data.data(), static_cast<uint32_t>(data.size()));
}

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

// Reads a text chain as a reader does: 36-byte pieces up to the first zero byte.
std::string ReadChain(const Bytes& bytes, uint32_t link) {
  std::string text;
  while (link != 0) {
    text += TextAt(bytes, link + 4, 36);
    link = GetU32(bytes, link);
  }
  return text.substr(0, text.find('\0'));
}

std::string InlineText(const Bytes& bytes, size_t offset, size_t width) {
  const std::string text = TextAt(bytes, offset, width);
  return text.substr(0, text.find('\0'));
}

std::string MurName(const Bytes& bytes, uint32_t node) {
  const uint32_t kind = GetU32(bytes, node + 20) >> 10 & 3;
  if (kind == 0) return InlineText(bytes, node + 24, 16);
  if (kind == 2) return InlineText(bytes, node + 24, 12);
  const std::string base =
      kind == 1 ? InlineText(bytes, node + 24, 12) : ReadChain(bytes, GetU32(bytes, node + 24));
  const uint32_t extension = GetU32(bytes, node + (kind == 1 ? 36 : 32));
  return extension == 0 ? base : base + "." + ReadChain(bytes, extension);
}

// The order a reader lists MUR nodes: a node, what is inside it, then its firstLink, then its
// secondLink. Collects full paths and the offsets visited.
void WalkMur(const Bytes& bytes, uint32_t link, const std::string& path,
             std::vector<std::string>& names, std::vector<uint32_t>& offsets) {
  if (link == 0) return;
  ASSERT_LT(offsets.size(), 1000u) << "links loop";
  offsets.push_back(link);
  const std::string name = path + MurName(bytes, link);
  names.push_back(name);
  if (GetU32(bytes, link + 20) & 0x1000) {
    WalkMur(bytes, GetU32(bytes, link + 8), name + "\\", names, offsets);
  }
  WalkMur(bytes, GetU32(bytes, link), path, names, offsets);
  WalkMur(bytes, GetU32(bytes, link + 4), path, names, offsets);
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
// many share its prefix, and the writer makes the whole catalogue well within a second.
TEST(ShortNames, CostIsLinearInTheNumberOfNames) {
  std::vector<std::string> manPages;
  for (int i = 0; i < 18000; ++i) manPages.push_back("pthread_attr_" + std::to_string(i) + ".3.gz");
  const auto started = std::chrono::steady_clock::now();
  ShortNameCost cost;
  const std::vector<ShortName> made = MakeShortNames(manPages, &cost);
  ZexTree tree;
  for (const ShortName& name : made)
    tree.rootFiles.push_back(MakeZexFile(name.base, name.extension));
  const ZexImage image = BuildZex(tree);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(cost.candidateChecks, manPages.size());
  EXPECT_EQ(Joined(made[17999]), "PT~18000.GZ");
  EXPECT_EQ(image.layout.entryOffsets.size(), manPages.size());
  // The search that started from ~1 for every name took 17 s here. The 32-bit suite runs
  // under qemu-i386, about ten times slower.
  EXPECT_LT(seconds, sizeof(void*) == 4 ? 4.0 : 1.0);

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

#ifdef MKCAT_PATH

using namespace mkcat_test;

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Mkcat, CataloguesADirectoryTree) {
  Scratch work;
  ASSERT_FALSE(work.path.empty());
  const std::string tree = work.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((tree + "/sub").c_str(), 0755), 0);
  WriteText(tree + "/readme.txt", "hello");
  WriteText(tree + "/Long File Name.html", "<p>");
  WriteText(tree + "/sub/x.c", "int x;");
  WriteText(tree + "/descript.ion", "readme.txt Read this\n\"Long File Name.html\" A page\n");
  WriteText(tree + "/.hidden", "");
  ASSERT_EQ(chmod((tree + "/.hidden").c_str(), 0444), 0);
  ASSERT_EQ(symlink("/nonexistent/target", (tree + "/link").c_str()), 0);
  WriteText(tree + "/big", "");
  ASSERT_EQ(truncate((tree + "/big").c_str(), 5LL << 30), 0);   // sparse: takes no space
  const timeval y2001[2] = {{1000000000, 0}, {1000000000, 0}};  // 2001-09-09 01:46:40 UTC
  ASSERT_EQ(utimes((tree + "/readme.txt").c_str(), y2001), 0);
  const timeval y1970[2] = {{0, 0}, {0, 0}};
  ASSERT_EQ(utimes((tree + "/.hidden").c_str(), y1970), 0);

  const RunResult zexRun = RunMkcat({"zex", work.path + "/out.zex", tree});
  ASSERT_EQ(zexRun.exitStatus, 0) << zexRun;
  EXPECT_EQ(zexRun.err, "mkcat: " + tree +
                            "/big: warning: size above 4 GiB - 1, recorded as 4294967295\n"
                            "mkcat: 1 warning, 0 entries skipped\n");
  const Bytes zex = ReadBytes(work.path + "/out.zex");
  ASSERT_TRUE(ProbesAsZex(zex));
  // Root record, then SUB; root files in bytewise order of their long names.
  ASSERT_EQ(GetU32(zex, 16), 80u);
  ASSERT_EQ(GetU16(zex, 116 + 38), 6u);
  const uint32_t entries = GetU32(zex, 0);
  const std::vector<std::string> rootNames = {"HIDDEN~1   ", "LONGFI~1HTM", "BIG        ",
                                              "DESCRIPTION", "LINK       ", "README  TXT"};
  for (size_t i = 0; i < rootNames.size(); ++i) {
    EXPECT_EQ(TextAt(zex, entries + 32 * i, 11), rootNames[i]);
  }
  const uint32_t hidden = entries;
  EXPECT_EQ(zex[hidden + 11], 0x23);                           // read-only, hidden, archive
  EXPECT_EQ(GetU16(zex, hidden + 24), 1 << 5 | 1);             // clamped to 1980-01-01
  EXPECT_EQ(GetU32(zex, entries + 2 * 32 + 28), 0xFFFFFFFFu);  // big: clamped size
  EXPECT_EQ(GetU32(zex, entries + 4 * 32 + 28), 0u);           // the link is an empty file
  const uint32_t readme = entries + 5 * 32;
  EXPECT_EQ(zex[readme + 11], 0x20);
  EXPECT_EQ(GetU32(zex, readme + 28), 5u);
  EXPECT_EQ(GetU16(zex, readme + 24), 21 << 9 | 9 << 5 | 9);    // 2001-09-09
  EXPECT_EQ(GetU16(zex, readme + 22), 1 << 11 | 46 << 5 | 20);  // 01:46:40
  const uint32_t note = GetU32(zex, 36) + GetU32(zex, readme + 16) - 1;
  EXPECT_EQ(TextAt(zex, note + 2, GetU16(zex, note)), "Read this");
  EXPECT_EQ(TextAt(zex, 156 + 2, 11), "SUB        ");
  EXPECT_EQ(zex[156 + 2 + 11], 0x10);

  const RunResult murRun = RunMkcat({"-v", "mur", work.path + "/out.mur", tree});
  ASSERT_EQ(murRun.exitStatus, 0) << murRun;
  const Bytes mur = ReadBytes(work.path + "/out.mur");
  std::vector<std::string> names;
  std::vector<uint32_t> offsets;
  WalkMur(mur, GetU32(mur, 20), "", names, offsets);
  EXPECT_EQ(names,
            (std::vector<std::string>{".hidden", "Long File Name.html", "big", "descript.ion",
                                      "link", "readme.txt", "sub", "sub\\x.c"}));
  EXPECT_EQ(ReadChain(mur, GetU32(mur, offsets[1] + 36)), "A page");
  EXPECT_EQ(GetU32(mur, offsets[5] + 12), (21u << 9 | 9 << 5 | 9) << 16 | (1 << 11 | 46 << 5 | 20));
  EXPECT_NE(murRun.err.find("1 directories, 7 files"), std::string::npos);
}

TEST(Mkcat, UsageAndErrors) {
  Scratch work;
  ASSERT_FALSE(work.path.empty());
  EXPECT_EQ(RunMkcat({}).exitStatus, 2);
  EXPECT_EQ(RunMkcat({"tar", work.path + "/x", work.path}).exitStatus, 2);
  EXPECT_EQ(RunMkcat({"--bogus", "zex", work.path + "/x", work.path}).exitStatus, 2);
  EXPECT_EQ(RunMkcat({"--help"}).exitStatus, 0);
  EXPECT_EQ(RunMkcat({"--version"}).exitStatus, 0);
  const RunResult missing = RunMkcat({"zex", work.path + "/x", work.path + "/missing"});
  EXPECT_EQ(missing.exitStatus, 1);
  EXPECT_EQ(missing.err, "mkcat: " + work.path + "/missing: No such file or directory\n");
  EXPECT_EQ(RunMkcat({"mur", work.path + "/no/such/dir/x", work.path}).exitStatus, 1);
}

// A folder without permissions is skipped with a warning; the rest is written and the run
// exits 1. Root reads past permission bits, so as root mkcat runs as the user "nobody" (a
// run without setpriv is skipped, saying so).
TEST(Mkcat, UnreadableEntriesAreSkippedWithAWarningAndTheRunGoesOn) {
  Scratch work;
  ASSERT_FALSE(work.path.empty());
  const std::string tree = work.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  WriteText(tree + "/kept.txt", "kept");
  ASSERT_EQ(mkdir((tree + "/locked").c_str(), 0), 0);
  WriteText(tree + "/descript.ion", "kept.txt Kept\n");
  std::vector<std::string> arguments;
  if (geteuid() == 0) {
    if (program_run::Run({"setpriv", "--version"}).exitStatus != 0) {
      GTEST_SKIP() << "no setpriv to drop root";
    }
    arguments = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    ASSERT_EQ(chmod(work.path.c_str(), 0777), 0);
  }

  const std::string out = work.path + "/out.zex";
  arguments.insert(arguments.end(), {MKCAT_PATH, "zex", out, tree});
  const RunResult run = program_run::Run(arguments);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.err, "mkcat: " + tree +
                         "/locked: warning: cannot read the folder: Permission denied; "
                         "skipped\n"
                         "mkcat: 1 warning, 1 entry skipped\n");
  const Bytes zex = ReadBytes(out);
  ASSERT_TRUE(ProbesAsZex(zex));
  EXPECT_EQ(GetU16(zex, 116 + 38), 2u);  // descript.ion and kept.txt; no LOCKED
  EXPECT_EQ(GetU32(zex, 16), 40u);       // the root record only
  EXPECT_EQ(TextAt(zex, GetU32(zex, 0) + 32, 11), "KEPT    TXT");
  chmod((tree + "/locked").c_str(), 0755);
}

// In MUR, names keep every character code page 1252 has; the others become "_", and names
// that then meet are made unique, each change reported. Paths past 259 characters are
// written, with a warning that they will list as damaged. Neither changes the exit status.
TEST(Mkcat, MurNamesOutsideTheCodePageStayDistinctAndLongPathsAreReported) {
  Scratch work;
  ASSERT_FALSE(work.path.empty());
  const std::string tree = work.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  WriteText(tree + "/__.txt", "");                        // really called so
  WriteText(tree + "/caf\xc3\xa9.txt", "");               // in the code page
  WriteText(tree + "/\xe4\xb8\xad\xe6\x96\x87.txt", "");  // two Chinese characters
  WriteText(tree + "/\xe6\x97\xa5\xe6\x9c\xac.txt", "");  // two Japanese characters
  const std::string longName(255, 'n');
  ASSERT_EQ(mkdir((tree + "/" + longName).c_str(), 0755), 0);
  WriteText(tree + "/" + longName + "/inside", "");

  const RunResult run = RunMkcat({"mur", work.path + "/out.mur", tree});
  ASSERT_EQ(run.exitStatus, 0) << run;
  const Bytes mur = ReadBytes(work.path + "/out.mur");
  std::vector<std::string> names;
  std::vector<uint32_t> offsets;
  WalkMur(mur, GetU32(mur, 20), "", names, offsets);
  EXPECT_EQ(names, (std::vector<std::string>{"__.txt", "caf\xe9.txt", longName,
                                             longName + "\\inside", "__~2.txt", "__~3.txt"}));
  const std::string reasons =
      "code page 1252 lacks some of its characters; another name in the folder is stored "
      "alike, letter case aside\n";
  EXPECT_EQ(run.err,
            "mkcat: " + tree + "/\xe4\xb8\xad\xe6\x96\x87.txt: warning: name stored as " +
                "\"__~2.txt\": " + reasons + "mkcat: " + tree +
                "/\xe6\x97\xa5\xe6\x9c\xac.txt: warning: name stored as \"__~3.txt\": " + reasons +
                "mkcat: " + tree + "/" + longName +
                "/inside: warning: its path in the catalogue is " +
                "262 characters, over the 259 that a listing holds: it will list as damaged, its " +
                "path cut\n"
                "mkcat: 3 warnings, 0 entries skipped\n");
}

// 65,537 files: the last folder's files would start at entry 65536, past the 16-bit
// numbers of ZEX. mkcat says so, with the tree's size, before making any name, and writes
// nothing.
TEST(Mkcat, ZexLimitsAreCheckedBeforeAnythingIsWritten) {
  Scratch work;
  ASSERT_FALSE(work.path.empty());
  const std::string tree = work.path + "/tree";
  for (const std::string& folder : {tree, tree + "/a", tree + "/b"}) {
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0) << folder;
  }
  std::vector<std::string> numbers;
  for (int i = 1; i <= 65535; ++i) numbers.push_back(std::to_string(i));
  ASSERT_TRUE(MakeEmptyFiles(tree + "/a", numbers));
  ASSERT_TRUE(MakeEmptyFiles(tree, {"root.txt"}));
  ASSERT_TRUE(MakeEmptyFiles(tree + "/b", {"last.txt"}));
  const std::string out = work.path + "/out.zex";
  const RunResult run = RunMkcat({"zex", out, tree});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.err, "mkcat: " + tree +
                         ": too large for a ZEX catalogue: the tree has 65537 files in 2 "
                         "folders; the files of " +
                         tree +
                         "/b would start at entry 65536, and ZEX numbers a folder's first "
                         "entry with 16 bits (up to 65535). Catalogue a smaller tree, or "
                         "write mur, which has no such limits\n");
  EXPECT_NE(access(out.c_str(), F_OK), 0);
}

TEST(Mkcat, DashWritesTheCatalogueToStandardOutput) {
  Scratch work;
  ASSERT_FALSE(work.path.empty());
  const std::string tree = work.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  WriteText(tree + "/Long File Name.html", "<p>");
  ASSERT_EQ(RunMkcat({"zex", work.path + "/named.zex", tree}).exitStatus, 0);
  program_run::Program toStandardOutput;
  toStandardOutput.argv = {MKCAT_PATH, "zex", "-", tree};
  toStandardOutput.stdoutPath = work.path + "/piped.zex";
  ASSERT_EQ(program_run::Run(toStandardOutput).exitStatus, 0);
  EXPECT_EQ(ReadBytes(work.path + "/piped.zex"), ReadBytes(work.path + "/named.zex"));
  EXPECT_NE(access((work.path + "/-").c_str(), F_OK), 0);
}

#endif  // MKCAT_PATH

}  // namespace
