// Names on real FUSE mounts: names that cannot be path components, duplicates, control bytes
// shown as their glyphs, and ".." naming the parent directory.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "tests/hosts/catmount/catmount_fixture.h"
#include "tools/writer/mur_writer.h"

namespace {

using namespace catmount_test;

// Names that cannot be path components, items at the same path, a file and a directory of the
// same name, and a backslash inside a name: every item stays visible under a documented name.
TEST_F(CatmountTest, EscapesAndDuplicatesKeepEveryItem) {
  SKIP_WITHOUT_FUSE();
  catwriter::MurTree tree;
  auto file = [](const std::string& name, uint32_t size) {
    catwriter::MurNode node;
    node.name = name;
    node.size = size;
    node.stamp = MakeDosStamp(2001, 2, 3, 4, 5, 6);
    return node;
  };
  tree.top = {file("", 1),     file(".", 2),    file("..", 3),     file("a/b", 4),
              file("same", 5), file("same", 6), file("same~2", 7), file("x", 8)};
  catwriter::MurNode directory = file("x", 0);
  directory.isDirectory = true;
  directory.children = {file("inside", 9)};
  tree.top.push_back(directory);
  tree.top.push_back(file("back\\slash", 10));
  std::string catalogue = Write("names.mur", catwriter::BuildMur(tree).bytes);
  Mount mount(catalogue, mountPoint_, LogPath());
  ASSERT_TRUE(mount.mounted()) << mount.Log();
  std::map<std::string, uint64_t> sizes;
  for (const auto& [path, entry] : WalkMount(mountPoint_)) sizes[path] = entry.size;
  const std::map<std::string, uint64_t> expected = {
      {"\u2205", 1}, {"\u2024", 2},     {"\u2025", 3},   {"a\u2215b", 4},
      {"same", 5},   {"same~2", 6},     {"same~2~2", 7}, {"x", 8},
      {"x~2", 0},    {"x~2/inside", 9}, {"back", 0},     {"back/slash", 10}};
  EXPECT_EQ(sizes, expected);
  EXPECT_FALSE(XattrOf(mountPoint_ + "/back", "user.dos.attributes").has_value())
      << "a directory only a path implies is no item";
  ExpectMountAgreesWithCathost(catalogue, mountPoint_);
}

// Control bytes in names and descriptions show as code page 437's glyphs, as cathost shows them.
TEST_F(CatmountTest, ControlBytesInNamesShowAsTheirGlyphs) {
  SKIP_WITHOUT_FUSE();
  catwriter::MurTree tree;
  tree.top = {MurItem("bell\x07", "smile\x01")};
  std::string catalogue = Write("glyphs.mur", catwriter::BuildMur(tree).bytes);
  Mount mount(catalogue, mountPoint_, LogPath());
  ASSERT_TRUE(mount.mounted()) << mount.Log();
  EXPECT_TRUE(fs::exists(mountPoint_ + "/bell\u2022"));
  EXPECT_EQ(XattrOf(mountPoint_ + "/bell\u2022", "user.description"), "smile\u263a");
}

// ".." names the parent: the catalogue's directory for its items, the mount's root for it.
TEST_F(CatmountTest, DotDotNamesTheParentDirectory) {
  SKIP_WITHOUT_FUSE();
  fs::create_directory(dir_ + "/cats");
  Write("cats/A.mur", FirstVersion());
  Mount mount(dir_ + "/cats", mountPoint_, LogPath());
  ASSERT_TRUE(mount.mounted()) << mount.Log();
  auto dotDot = [](const std::string& directory) -> uint64_t {
    DIR* entries = opendir(directory.c_str());
    if (entries == nullptr) return 0;
    uint64_t inode = 0;
    while (const dirent* entry = readdir(entries)) {
      if (std::string(entry->d_name) == "..") inode = entry->d_ino;
    }
    closedir(entries);
    return inode;
  };
  auto inodeOf = [](const std::string& path) -> uint64_t {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
  };
  EXPECT_EQ(dotDot(mountPoint_ + "/A.mur/alpha"), inodeOf(mountPoint_ + "/A.mur"));
  EXPECT_EQ(dotDot(mountPoint_ + "/A.mur"), inodeOf(mountPoint_));
}

}  // namespace
