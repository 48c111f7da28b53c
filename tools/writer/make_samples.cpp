// make_samples OUTDIR: writes the sample catalogues bundled in samples/, always byte for byte
// the same, so a test can tell when the writer's output drifts.
#include <cstdio>
#include <string>

#include "catalogue_version.h"
#include "tools/writer/mur_writer.h"
#include "tools/writer/text.h"
#include "tools/writer/zex_writer.h"

namespace {

using namespace catwriter;

ZexFile DosFile(const char* name, const char* extension, uint32_t size, DosStamp stamp,
                uint8_t attributes = zex::kArchive, const char* description = nullptr) {
  ZexFile file;
  file.name = name;
  file.extension = extension;
  file.size = size;
  file.stamp = stamp;
  file.attributes = attributes;
  if (description != nullptr) file.description = description;
  return file;
}

ZexDir DosDir(const char* name, DosStamp stamp, std::vector<ZexFile> files,
              std::vector<ZexDir> subdirs = {}, const char* description = nullptr) {
  ZexDir dir;
  dir.name = name;
  dir.stamp = stamp;
  dir.files = std::move(files);
  dir.subdirs = std::move(subdirs);
  if (description != nullptr) dir.description = description;
  return dir;
}

// A DOS boot and utilities disk of the early nineties.
ZexTree UtilitiesDisk() {
  const DosStamp dos = MakeDosStamp(1993, 9, 30, 6, 20, 0);
  const DosStamp tools = MakeDosStamp(1994, 3, 12, 18, 45, 32);
  ZexTree tree;
  tree.formatMinor = 4;
  const uint8_t hiddenSystem = zex::kReadOnly | zex::kHidden | zex::kSystem;
  tree.rootFiles = {
      DosFile("IO", "SYS", 40566, dos, hiddenSystem),
      DosFile("MSDOS", "SYS", 38138, dos, hiddenSystem),
      DosFile("COMMAND", "COM", 54619, dos),
      DosFile("CONFIG", "SYS", 142, tools, zex::kArchive, "Loads HIMEM and EMM386"),
      DosFile("AUTOEXEC", "BAT", 318, tools, zex::kArchive, "Sets the PATH and the prompt"),
      DosFile("README", "TXT", 2761, tools, zex::kReadOnly, "Read this first"),
  };
  tree.dirs = {
      DosDir("DOS", dos,
             {DosFile("EDIT", "COM", 413, dos), DosFile("QBASIC", "EXE", 194309, dos),
              DosFile("FORMAT", "COM", 22717, dos), DosFile("HIMEM", "SYS", 29136, dos),
              DosFile("EMM386", "EXE", 115294, dos)},
             {}, "The operating system's own tools"),
      DosDir("UTILS", tools,
             {DosFile("PKUNZIP", "EXE", 29378, tools, zex::kArchive, "Unpacks ZIP archives"),
              DosFile("LIST", "COM", 9400, tools)},
             {DosDir("NORTON", tools,
                     {DosFile("NC", "EXE", 143120, tools, zex::kArchive, "File manager"),
                      DosFile("NC", "INI", 1024, tools)}),
              DosDir("EMPTY", tools, {})}),
      DosDir("GAMES", MakeDosStamp(1994, 12, 24, 20, 0, 0),
             {DosFile("TETRIS", "EXE", 51200, MakeDosStamp(1994, 12, 24, 20, 1, 2))}),
  };
  return tree;
}

MurNode Node(const std::string& utf8Name, uint32_t size, DosStamp stamp,
             const char* description = nullptr) {
  MurNode node;
  node.name = Utf8ToCp1252(utf8Name);
  node.size = size;
  node.stamp = stamp;
  if (description != nullptr) node.description = Utf8ToCp1252(description);
  return node;
}

MurNode Folder(const std::string& utf8Name, DosStamp stamp, std::vector<MurNode> children,
               const char* description = nullptr) {
  MurNode node = Node(utf8Name, 0, stamp, description);
  node.isDirectory = true;
  node.children = std::move(children);
  return node;
}

MurNode WithExtension(MurNode node, const char* extension) {
  node.extension = extension;
  return node;
}

// A CD of holiday photographs, with long names, accents and descriptions.
MurTree PhotoDisc() {
  const DosStamp taken = MakeDosStamp(2003, 8, 14, 9, 30, 10);
  const DosStamp burnt = MakeDosStamp(2003, 9, 1, 22, 15, 0);
  MurTree tree;
  tree.links = MurLinkStyle::Balanced;
  tree.top = {
      Folder("Holiday 2003 – Côte d'Azur", burnt,
             {WithExtension(Node("Nice, Promenade des Anglais", 1843211, taken,
                                 "Morning light over the bay"),
                            "jpg"),
              WithExtension(Node("Èze village", 1620044, taken), "jpg"),
              WithExtension(Node("Monaco harbour at dusk", 2011562, taken,
                                 "Taken from the Rocher, 21:40"),
                            "jpg"),
              Folder("Unsorted", burnt, {})},
             "Two weeks on the Riviera"),
      Folder("Family", burnt,
             {Folder("Grandparents’ 50th anniversary", burnt,
                     {WithExtension(Node("Toast", 998100, taken), "jpg"),
                      WithExtension(Node("Cake", 1200300, taken), "jpg")}),
              Node("README", 1290, burnt, "Who is who in these photos")}),
      Node("index.htm", 48213, burnt),
      Node("autorun.inf", 64, burnt),
  };
  return tree;
}

bool Save(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::string error;
  if (WriteFile(path, bytes, &error)) return true;
  std::fprintf(stderr, "make_samples: %s\n", error.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("make_samples (%s) %s\n", CATALOGUE_PRODUCT_NAME, CATALOGUE_VERSION);
    return 0;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_samples OUTDIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const bool ok = Save(dir + "/utilities.zex", BuildZex(UtilitiesDisk()).bytes) &&
                  Save(dir + "/photos.mur", BuildMur(PhotoDisc()).bytes);
  return ok ? 0 : 1;
}
