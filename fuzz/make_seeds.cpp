// make_seeds: writes the fuzzers' seed corpora with our own catalogue writer.
//
//   make_seeds OUTPUT_DIRECTORY
//
// Writes OUTPUT_DIRECTORY/<target>/<shape>.zex|.mur for the targets zex_host, zex_walk,
// mur_host and mur_walk: valid catalogues of every shape the tests use, a few catalogues
// broken in one way each, and (for the walk targets only) catalogues the probe refuses; and
// OUTPUT_DIRECTORY/catmount_tree/<shape>.items, item sequences for the tree builder.
// The same tree always gives the same bytes, so rerunning changes nothing.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/tree_input.h"
#include "tools/writer/bytes.h"
#include "tools/writer/mur_writer.h"
#include "tools/writer/zex_writer.h"

namespace {

using namespace catwriter;

using Seed = std::pair<std::string, std::vector<uint8_t>>;

DosStamp Stamp(int day) {
  return MakeDosStamp(2001, 2, day, 4, 5, 6);
}

ZexFile ZFile(std::string name, std::string extension, uint32_t size = 100) {
  ZexFile file;
  file.name = std::move(name);
  file.extension = std::move(extension);
  file.size = size;
  file.stamp = Stamp(3);
  return file;
}

ZexDir ZDir(std::string name, std::vector<ZexFile> files = {}, std::vector<ZexDir> subdirs = {}) {
  ZexDir dir;
  dir.name = std::move(name);
  dir.files = std::move(files);
  dir.subdirs = std::move(subdirs);
  dir.stamp = Stamp(4);
  return dir;
}

std::vector<Seed> ZexSeeds() {
  std::vector<Seed> seeds;
  auto add = [&](const std::string& name, const ZexTree& tree) {
    seeds.emplace_back(name, BuildZex(tree).bytes);
  };

  ZexTree small;
  small.rootFiles = {ZFile("README", "TXT", 1234)};
  small.dirs = {ZDir("TOOLS", {ZFile("EDIT", "EXE", 56789)})};
  add("small", small);

  ZexTree empty;
  add("root_only", empty);

  ZexTree nested;
  nested.rootFiles = {ZFile("A", "")};
  nested.dirs = {ZDir("A", {ZFile("F1", "")}, {ZDir("B", {}, {ZDir("C", {ZFile("F2", "")})})}),
                 ZDir("D", {}, {ZDir("E")}), ZDir("EMPTY")};
  for (uint16_t minor : {2, 4, 8}) {
    nested.formatMinor = minor;
    add("nested_minor" + std::to_string(minor), nested);
  }

  ZexTree described;
  described.rootFiles = {ZFile("LONG", ""), ZFile("EMPTY", ""), ZFile("PLAIN", "")};
  described.rootFiles[0].description = std::string(300, 'd');
  described.rootFiles[1].description = "";
  described.dirs = {ZDir("DIR", {ZFile("IN", "DIR")})};
  described.dirs[0].description = "about the directory";
  described.dirs[0].files[0].description = "a file in it";
  add("descriptions", described);

  ZexTree names;
  names.rootFiles = {ZFile("X", "A. "),
                     ZFile(std::string("A\0B     ", 8), "EXT"),
                     ZFile("NAME", std::string("\0AB", 3)),
                     ZFile("", "EXT"),
                     ZFile("", ""),
                     ZFile("FULLNAME", "ABC"),
                     ZFile("\xE5OLD", "TXT")};
  names.rootFiles[0].attributes = 0x3F;
  names.dirs = {ZDir(std::string("A\0B     ", 8), {ZFile("F", "TXT")}), ZDir("", {ZFile("G", "")})};
  add("names", names);

  ZexTree rootless;
  rootless.rootRecord = false;
  rootless.dirs = {ZDir("ONLY", {ZFile("F", "")}), ZDir("NEXT")};
  add("rootless", rootless);

  // Deep enough that paths pass 259 characters, then a directory at the top again.
  ZexTree deep;
  ZexDir chain = ZDir("LEAF", {ZFile("F", "TXT")});
  for (int depth = 0; depth < 29; ++depth) {
    chain = ZDir("DIRNAME" + std::string(1, static_cast<char>('A' + depth % 26)),
                 {ZFile("F", "TXT")}, {chain});
  }
  deep.dirs = {chain, ZDir("AFTER", {ZFile("LAST", "TXT")})};
  add("deep", deep);

  ZexTree stamps;
  stamps.rootFiles = {ZFile("BAD", ""), ZFile("GOOD", "")};
  stamps.rootFiles[0].stamp = DosStamp{static_cast<uint16_t>((43 << 9) | (2 << 5) | 29), 0};
  stamps.dirs = {ZDir("LATE")};
  stamps.dirs[0].stamp = DosStamp{static_cast<uint16_t>((20 << 9) | (1 << 5) | 1), 24 << 11};
  add("stamps", stamps);

  // Broken in one way each.
  const ZexImage base = BuildZex(nested);
  std::vector<uint8_t> bytes = base.bytes;
  PutU32(bytes, zex::kDirTableSizeField, 0xFFFFFFF0u);  // a table near 4 GiB
  seeds.emplace_back("huge_dir_table", bytes);
  ZexImage withNote = BuildZex(described);
  bytes = withNote.bytes;
  PutU32(bytes, withNote.layout.entryOffsets[0] + zex::kNoteRefField, 0xFFFFFFFFu);  // wraps
  seeds.emplace_back("note_wraps", bytes);
  bytes = base.bytes;
  PutU16(bytes, base.layout.dirRecordOffsets[2] + zex::kLevelField, 9);  // a level jump
  seeds.emplace_back("level_jump", bytes);
  bytes.assign(base.bytes.begin(), base.bytes.begin() + base.layout.entryOffsets.back() + 10);
  PutU32(bytes, zex::kCheckValueAField, static_cast<uint32_t>(bytes.size()));
  seeds.emplace_back("truncated", bytes);
  return seeds;
}

MurNode MNode(std::string name, uint32_t size = 100, int kind = -1) {
  MurNode node;
  node.name = std::move(name);
  node.size = size;
  node.stamp = Stamp(5);
  node.nameKind = kind;
  return node;
}

MurNode MDir(std::string name, std::vector<MurNode> children = {}) {
  MurNode node = MNode(std::move(name), 0);
  node.isDirectory = true;
  node.children = std::move(children);
  return node;
}

std::vector<Seed> MurSeeds() {
  std::vector<Seed> seeds;
  auto add = [&](const std::string& name, const MurTree& tree) {
    seeds.emplace_back(name, BuildMur(tree).bytes);
  };

  MurTree small;
  MurNode readme = MNode("README");
  readme.extension = "TXT";
  small.top = {MDir("DOCS", {MNode("A.TXT")}), readme};
  add("small", small);

  MurTree rootless;  // no top node: rootNode 0
  add("rootless", rootless);

  // Every NameKind: 16 inline bytes; 12 and an extension; 12 and a description; chains.
  MurNode kind1 = MNode("BASENAME", 1, 1);
  kind1.extension = "EXTENSION";
  MurNode kind2 = MNode("DESCRIBED", 2, 2);
  kind2.description = "a short description";
  MurNode kind3 = MNode(std::string(80, 'n'), 3, 3);
  kind3.extension = std::string(40, 'e');
  kind3.description = std::string(300, 'd');
  MurNode kind3Bare = MNode("short", 4, 3);
  MurNode empty = MNode("", 5, 0);
  MurNode ansi = MNode("caf\xE9 na\xEFve", 6, 2);
  ansi.description = "\xA9 \xE0 la carte";
  MurTree kinds;
  kinds.top = {MNode("SIXTEEN_LETTERS_", 0, 0),
               kind1,
               kind2,
               kind3,
               kind3Bare,
               empty,
               ansi,
               MDir("SUB", {MNode("IN", 7, 0), MDir("EMPTYDIR")})};
  add("name_kinds", kinds);

  MurTree nested;
  nested.top = {MDir("A", {MNode("F1"), MDir("B", {MDir("C", {MNode("F2")}), MNode("F3")})}),
                MDir("D", {MDir("E")}), MDir("EMPTY"), MNode("LAST")};
  for (MurLinkStyle style :
       {MurLinkStyle::FirstLinkChain, MurLinkStyle::SecondLinkChain, MurLinkStyle::Balanced}) {
    nested.links = style;
    add("nested_links" + std::to_string(static_cast<int>(style)), nested);
  }

  // Deep enough that paths pass 259 characters, then a node at the top again.
  MurNode chain = MDir("leaf", {MNode("file")});
  for (int depth = 0; depth < 24; ++depth) {
    chain = MDir("directory_" + std::to_string(depth), {MNode("f"), chain});
  }
  MurTree deep;
  deep.top = {chain, MNode("after")};
  add("deep", deep);

  MurTree stamps;
  stamps.top = {MNode("bad"), MNode("good")};
  stamps.top[0].stamp = DosStamp{static_cast<uint16_t>((43 << 9) | (2 << 5) | 29), 0};
  add("stamps", stamps);

  // Links that loop: to itself, to the root, to an ancestor directory.
  const MurImage base = BuildMur(nested);
  const std::vector<uint32_t>& nodes = base.layout.nodeOffsets;
  std::vector<uint8_t> bytes = base.bytes;
  PutU32(bytes, nodes[1] + mur::kSecondLinkField, nodes[1]);
  seeds.emplace_back("loop_self", bytes);
  bytes = base.bytes;
  PutU32(bytes, nodes[2] + mur::kSecondLinkField, base.layout.rootNode);  // B to A
  seeds.emplace_back("loop_root", bytes);
  bytes = base.bytes;
  PutU32(bytes, nodes[4] + mur::kSecondLinkField, nodes[2]);   // F2, inside C, to B
  PutU32(bytes, nodes[7] + mur::kSizeOrChildField, nodes[6]);  // E's contents are D
  seeds.emplace_back("loop_ancestor", bytes);
  const MurImage kindsImage = BuildMur(kinds);
  bytes = kindsImage.bytes;
  const uint32_t lastChunk = kindsImage.layout.chunkOffsets[3].back();
  PutU32(bytes, lastChunk + mur::kNextChunkField, kindsImage.layout.chunkOffsets[3].front());
  seeds.emplace_back("chain_loop", bytes);
  bytes.assign(base.bytes.begin(), base.bytes.begin() + nodes.back() + 20);
  seeds.emplace_back("truncated", bytes);
  return seeds;
}

// Catalogues the probe refuses but the walk can still go through.
std::vector<Seed> WalkOnly(const std::vector<Seed>& seeds, bool isZex) {
  std::vector<Seed> refused;
  for (const Seed& seed : seeds) {
    if (seed.first != "small" && seed.first != "nested_minor4" && seed.first != "name_kinds") {
      continue;
    }
    std::vector<uint8_t> bytes = seed.second;
    if (isZex) {
      PutU16(bytes, zex::kCheckWordAField, 59);
      PutU16(bytes, zex::kFormatMinorField, 3);
    } else {
      PutU32(bytes, mur::kVersionField, 2);
    }
    refused.emplace_back(seed.first + "_refused", bytes);
  }
  return refused;
}

// Item sequences for catmount's tree builder (fuzz/tree_input.h): duplicates beside real
// suffixed names, names that cannot be components, files and directories of one name, paths
// cut to the field, and both limits.
std::vector<Seed> TreeSeeds() {
  using tree_input::Item;
  const auto item = [](std::string name, uint8_t flags = 0, uint8_t repeat = 0) {
    Item made;
    made.flags = flags | (repeat != 0 ? tree_input::kRepeated : 0);
    made.name = std::move(name);
    made.repeat = repeat;
    return made;
  };
  const uint8_t dir = tree_input::kDirectory;
  std::vector<Seed> seeds;
  const auto add = [&seeds](std::string shape, std::vector<Item> items, uint8_t maxItems = 0,
                            uint8_t maxBytesSteps = 0) {
    tree_input::Input input;
    input.maxItems = maxItems;
    input.maxBytesSteps = maxBytesSteps;
    input.items = std::move(items);
    seeds.emplace_back(std::move(shape), tree_input::Encode(input));
  };
  add("duplicates", {item("same~3"), item("same", 0, 20), item("same~2"), item("same~30"),
                     item("same", dir), item("same\\in")});
  add("escapes", {item(""), item("."), item(".."), item("a/b"), item("\\lead"), item("a\\\\b"),
                  item("x\\.\\..\\y"), item("\x01\x1f\x7f\xe4")});
  add("file_and_directory", {item("x"), item("x\\inside"), item("x", dir), item("x", dir),
                             item("x\\more"), item("y\\in"), item("y", dir), item("y")});
  add("cut_paths", {item("long\\", tree_input::kFilled, 30), item("long", tree_input::kFilled)});
  Item described = item("notes\\file", tree_input::kDescribed | tree_input::kOtherTimes |
                                           tree_input::kDamaged | tree_input::kAttributes);
  described.description = "what the file holds";
  described.attributes = 0x10;
  add("described", {described, item("notes", dir | tree_input::kOtherTimes)});
  add("item_limit", {item("a\\b"), item("a\\c"), item("d", 0, 10)}, 5);
  add("memory_limit", {item("deep\\er\\and\\deeper", 0, 200), item("next")}, 0, 16);
  return seeds;
}

bool WriteSeeds(const std::string& directory, const std::vector<Seed>& seeds,
                const std::string& extension) {
  ::mkdir(directory.c_str(), 0755);
  for (const Seed& seed : seeds) {
    std::string error;
    if (!WriteFile(directory + "/" + seed.first + extension, seed.second, &error)) {
      std::fprintf(stderr, "make_seeds: %s\n", error.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds OUTPUT_DIRECTORY\n");
    return 2;
  }
  const std::string out = argv[1];
  ::mkdir(out.c_str(), 0755);
  const std::vector<Seed> zex = ZexSeeds();
  const std::vector<Seed> mur = MurSeeds();
  std::vector<Seed> zexWalk = zex;
  for (Seed& seed : WalkOnly(zex, true)) zexWalk.push_back(std::move(seed));
  std::vector<Seed> murWalk = mur;
  for (Seed& seed : WalkOnly(mur, false)) murWalk.push_back(std::move(seed));
  const bool written = WriteSeeds(out + "/zex_host", zex, ".zex") &&
                       WriteSeeds(out + "/zex_walk", zexWalk, ".zex") &&
                       WriteSeeds(out + "/mur_host", mur, ".mur") &&
                       WriteSeeds(out + "/mur_walk", murWalk, ".mur") &&
                       WriteSeeds(out + "/catmount_tree", TreeSeeds(), ".items");
  return written ? 0 : 1;
}
