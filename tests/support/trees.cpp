#include "tests/support/trees.h"

#include <utility>

namespace trees {

namespace {
const catwriter::DosStamp kFileStamp = catwriter::MakeDosStamp(2001, 2, 3, 4, 5, 6);
const catwriter::DosStamp kDirStamp = catwriter::MakeDosStamp(1999, 12, 31, 23, 59, 58);
}  // namespace

catwriter::ZexFile ZexFileOf(std::string name, std::string extension, uint32_t size) {
  catwriter::ZexFile file;
  file.name = std::move(name);
  file.extension = std::move(extension);
  file.size = size;
  file.stamp = kFileStamp;
  return file;
}

catwriter::ZexDir ZexDirOf(std::string name, std::vector<catwriter::ZexFile> files,
                           std::vector<catwriter::ZexDir> subdirs) {
  catwriter::ZexDir dir;
  dir.name = std::move(name);
  dir.files = std::move(files);
  dir.subdirs = std::move(subdirs);
  dir.stamp = kDirStamp;
  return dir;
}

catwriter::MurNode MurFileOf(std::string name, uint32_t size, int kind) {
  catwriter::MurNode node;
  node.name = std::move(name);
  node.size = size;
  node.stamp = kFileStamp;
  node.nameKind = kind;
  return node;
}

catwriter::MurNode MurDirOf(std::string name, std::vector<catwriter::MurNode> children) {
  catwriter::MurNode node = MurFileOf(std::move(name));
  node.isDirectory = true;
  node.stamp = kDirStamp;
  node.children = std::move(children);
  return node;
}

catwriter::ZexImage ThreeFilesMiddleDescribed() {
  catwriter::ZexTree tree;
  tree.rootFiles = {ZexFileOf("ONE", "", 1), ZexFileOf("TWO", "", 2), ZexFileOf("THREE", "", 3)};
  tree.rootFiles[1].description = "the second file";
  return catwriter::BuildZex(tree);
}

}  // namespace trees
