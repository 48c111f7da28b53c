// Test support: the files and directories of catalogue trees, for the writer to lay out.
// Files are stamped 2001-02-03 04:05:06, directories 1999-12-31 23:59:58.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/writer/mur_writer.h"
#include "tools/writer/zex_writer.h"

namespace trees {

catwriter::ZexFile ZexFileOf(std::string name, std::string extension = "", uint32_t size = 0);
catwriter::ZexDir ZexDirOf(std::string name, std::vector<catwriter::ZexFile> files = {},
                           std::vector<catwriter::ZexDir> subdirs = {});

// `kind` -1 lets the writer choose the NameKind that fits the name.
catwriter::MurNode MurFileOf(std::string name, uint32_t size = 0, int kind = -1);
catwriter::MurNode MurDirOf(std::string name, std::vector<catwriter::MurNode> children = {});

// Three root files of 1, 2 and 3 bytes, the middle one described: its note is the last thing
// in the file, so cutting the file's end damages the one item in the middle of the listing.
catwriter::ZexImage ThreeFilesMiddleDescribed();

}  // namespace trees
