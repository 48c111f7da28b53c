#include "tests/web/web_catalogues.h"

#include "tests/support/trees.h"
#include "tools/writer/bytes.h"

namespace web_test {

namespace {

catwriter::MurNode Described(catwriter::MurNode node, std::string description) {
  node.description = std::move(description);
  return node;
}

}  // namespace

bool WriteCatalogues(const std::string& folder, Catalogues* written, std::string* error) {
  using trees::MurDirOf;
  using trees::MurFileOf;
  catwriter::MurTree hostile;
  hostile.top = {
      MurDirOf(kMarkupFolder, {Described(MurFileOf(kScriptFile, 1'500'000), kScriptDescription),
                               // An escape sequence and a bell: code page 437 shows them as glyphs.
                               MurFileOf("\x1b[31mred\x07 bell", 10)}),
      Described(MurFileOf("&amp; &lt;b&gt; entity.txt", 5000), "<i>not italic</i> & \"quoted\""),
      MurFileOf("big.bin", 3'000'000)};

  catwriter::MurTree plain;
  plain.top = {MurDirOf("Pictures", {Described(MurFileOf("IMG_0001.JPG", 2'000'000), "harbour"),
                                     MurFileOf("IMG_0002.JPG", 1'500'000),
                                     MurDirOf("Raw", {MurFileOf("IMG_0001.CR2", 9'000'000)})}),
               MurDirOf("Documents", {Described(MurFileOf("invoice 2001.txt", 12'000), "paid"),
                                      MurFileOf("letter.doc", 30'000)}),
               MurFileOf("readme.txt", 700)};

  // The end of the file cut: the described file in the middle lists damaged.
  catwriter::ZexImage damaged = trees::ThreeFilesMiddleDescribed();
  damaged.bytes.resize(damaged.bytes.size() - 4);

  written->hostile = folder + "/" + kHostileCatalogueName;
  written->plain = folder + "/pictures.mur";
  written->damaged = folder + "/damaged.zex";
  return catwriter::WriteFile(written->hostile, catwriter::BuildMur(hostile).bytes, error) &&
         catwriter::WriteFile(written->plain, catwriter::BuildMur(plain).bytes, error) &&
         catwriter::WriteFile(written->damaged, damaged.bytes, error);
}

}  // namespace web_test
