// mur_fmt hands names and descriptions to the host in the OEM character set (code page 437),
// converted from the ANSI one (code page 1252) the catalogue holds.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/module_fixture.h"
#include "tests/support/trees.h"
#include "tools/writer/mur_writer.h"

namespace {

using catwriter::MurNode;
using catwriter::MurTree;

class MurCharset : public ::testing::Test {
 protected:
  MurCharset() : module_(MUR_FMT_PATH) {}
  std::vector<ListedItem> List(std::vector<MurNode> top) {
    MurTree tree;
    tree.top = std::move(top);
    file_ = std::make_unique<TempFile>(catwriter::BuildMur(tree).bytes);
    int32_t type = -1;
    EXPECT_EQ(module_.get().openArchive(file_->path(), &type), 1);
    return ListAll(module_.get());
  }

  LoadedModule module_;
  std::unique_ptr<TempFile> file_;
};

TEST_F(MurCharset, NamesDescriptionsAndThePathsBuiltFromThemAreConverted) {
  MurNode dir = trees::MurDirOf("Caf\xE9");
  MurNode menu = trees::MurFileOf("\xC0 la carte");
  menu.extension = "t\xEAt";
  menu.description = "\x93quoted\x94 \x8A\x81";
  dir.children.push_back(menu);
  const std::vector<ListedItem> items = List({dir, trees::MurFileOf("\xE9t\xE9 \x97 \x8A")});
  EXPECT_EQ(PathsOf(items),
            (std::vector<std::string>{"Caf\x82", "Caf\x82\\A la carte.t\x88t", "\x82t\x82 - S"}));
  EXPECT_EQ(items[1].description(), "\"quoted\" S?");
}

TEST_F(MurCharset, EveryByteMapsAsTheUsEnglishSystemMapsIt) {
  std::string all;
  for (int byte = 1; byte < 256; ++byte) all += static_cast<char>(byte);
  MurNode node = trees::MurFileOf("ALL");
  node.description = all;
  const std::vector<ListedItem> items = List({node});
  const std::string oem = items.at(0).description();
  ASSERT_EQ(oem.size(), 255u) << "no byte becomes a zero byte";
  auto at = [&](unsigned char ansi) { return static_cast<unsigned char>(oem[ansi - 1]); };
  for (unsigned byte = 1; byte < 0x80; ++byte) EXPECT_EQ(at(byte), byte) << "ASCII stays";
  // Letters and signs that 437 holds.
  EXPECT_EQ(at(0xE9), 0x82);  // e acute
  EXPECT_EQ(at(0xC7), 0x80);  // C cedilla
  EXPECT_EQ(at(0xFC), 0x81);  // u diaeresis
  EXPECT_EQ(at(0xDF), 0xE1);  // sharp s
  EXPECT_EQ(at(0xA0), 0xFF);  // no-break space
  EXPECT_EQ(at(0xA3), 0x9C);  // pound
  EXPECT_EQ(at(0x83), 0x9F);  // f with hook
  // Best fits: the base letter, ASCII quotes and dashes, "?" for what 1252 leaves undefined.
  EXPECT_EQ(at(0xC0), 'A');
  EXPECT_EQ(at(0x8A), 'S');
  EXPECT_EQ(at(0x9F), 'Y');
  EXPECT_EQ(at(0xFD), 'y');
  EXPECT_EQ(at(0xF5), 'o');
  EXPECT_EQ(at(0x91), '`');
  EXPECT_EQ(at(0x92), '\'');
  for (unsigned char quote : {0x93, 0x94}) EXPECT_EQ(at(quote), '"');
  for (unsigned char dash : {0x96, 0x97}) EXPECT_EQ(at(dash), '-');
  for (unsigned char undefined : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) EXPECT_EQ(at(undefined), '?');
}

}  // namespace
