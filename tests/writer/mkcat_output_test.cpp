// mkcat's output: replaced whole or not at all, with the mode and owner a rewrite keeps,
// links followed and devices written as streams, and never catalogued itself.
#include <gtest/gtest.h>

#if defined(MKCAT_PATH) && defined(CATHOST_PATH)

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/mkcat_run.h"

namespace {

using namespace mkcat_test;

// Three thousand files with long names: a MUR catalogue of about 240 KiB.
void MakeLargeTree(const std::string& tree) {
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  std::vector<std::string> names;
  for (int i = 1; i <= 3000; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "a-rather-long-file-name-number-%06d.txt", i);
    names.push_back(name);
  }
  ASSERT_TRUE(MakeEmptyFiles(tree, names));
}

std::vector<std::string> PathsListed(const std::string& catalogue) {
  std::vector<std::string> paths;
  for (const ListedEntry& entry : ListCatalogue(catalogue)) paths.push_back(entry.path);
  return paths;
}

// On a 64 KiB file system, a catalogue that no longer fits leaves the old one as it was and
// no temporary file beside it.
TEST(MkcatOutput, OldCatalogueSurvivesAWriteThatNoLongerFits) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path.empty());
  TmpfsMount disk(scratch.path + "/disk", "size=64k");
  if (!disk.mounted) GTEST_SKIP() << disk.why;
  ASSERT_EQ(mkdir((scratch.path + "/small").c_str(), 0755), 0);
  WriteText(scratch.path + "/small/one.txt", "1");
  MakeLargeTree(scratch.path + "/large");
  const std::string catalogue = disk.where + "/cat.mur";

  ASSERT_EQ(RunMkcat({"mur", catalogue, scratch.path + "/small"}).exitStatus, 0);
  const std::string old = ReadWholeFile(catalogue);
  ASSERT_FALSE(old.empty());

  for (const char* format : {"mur", "zex"}) {
    const RunResult run = RunMkcat({format, catalogue, scratch.path + "/large"});
    EXPECT_EQ(run.exitStatus, 1) << format;
    EXPECT_EQ(run.err, "mkcat: " + catalogue + ": cannot write: No space left on device\n");
    EXPECT_EQ(ReadWholeFile(catalogue), old) << format;
    EXPECT_EQ(NamesIn(disk.where), std::vector<std::string>{"cat.mur"}) << format;
  }
  EXPECT_EQ(PathsListed(catalogue), std::vector<std::string>{"one.txt"});
}

// A folder the output cannot be made in fails the run before the walk, with the reason, and
// leaves both an old catalogue and the folder untouched. Root writes past permission bits,
// so the folder is a read-only file system.
TEST(MkcatOutput, AFolderThatCannotBeWrittenFailsWithoutTouchingAnything) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path.empty());
  TmpfsMount disk(scratch.path + "/disk", "size=64k");
  if (!disk.mounted) GTEST_SKIP() << disk.why;
  const std::string tree = scratch.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  WriteText(tree + "/one.txt", "1");
  const std::string catalogue = disk.where + "/cat.zex";
  ASSERT_EQ(RunMkcat({"zex", catalogue, tree}).exitStatus, 0);
  const std::string old = ReadWholeFile(catalogue);
  WriteText(tree + "/two.txt", "2");
  ASSERT_TRUE(disk.MakeReadOnly()) << std::strerror(errno);

  for (const std::string& target : {catalogue, disk.where + "/new.zex"}) {
    const RunResult run = RunMkcat({"zex", target, tree});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, "mkcat: " + target + ": cannot create a file in " + disk.where +
                           ": Read-only file system\n");
  }
  EXPECT_EQ(ReadWholeFile(catalogue), old);
  EXPECT_EQ(NamesIn(disk.where), std::vector<std::string>{"cat.zex"});
}

// A new catalogue gets 0666 less the umask; a replaced one keeps its mode (and is a new
// file, renamed into place). A link is followed and kept; a device is written, not replaced.
TEST(MkcatOutput, ModesLinksAndDevicesAreKept) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string tree = scratch.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  WriteText(tree + "/one.txt", "1");
  const std::string fresh = scratch.path + "/fresh.mur";
  program_run::Program make;
  make.argv = {MKCAT_PATH, "mur", fresh, tree};
  make.umask = 027;
  ASSERT_EQ(program_run::Run(make).exitStatus, 0);
  struct stat info {};
  ASSERT_EQ(stat(fresh.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);

  ASSERT_EQ(chmod(fresh.c_str(), 0604), 0);
  const ino_t oldInode = info.st_ino;
  WriteText(tree + "/two.txt", "2");
  make.umask = 077;
  ASSERT_EQ(program_run::Run(make).exitStatus, 0);
  ASSERT_EQ(stat(fresh.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0604u);
  EXPECT_NE(info.st_ino, oldInode);
  EXPECT_EQ(PathsListed(fresh), (std::vector<std::string>{"one.txt", "two.txt"}));

  const std::string link = scratch.path + "/link.mur";
  ASSERT_EQ(symlink("fresh.mur", link.c_str()), 0);
  ASSERT_EQ(unlink((tree + "/one.txt").c_str()), 0);
  ASSERT_EQ(RunMkcat({"mur", link, tree}).exitStatus, 0);
  ASSERT_EQ(lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(PathsListed(fresh), std::vector<std::string>{"two.txt"});

  const std::string dangling = scratch.path + "/dangling.mur";
  ASSERT_EQ(symlink("made-by-mkcat.mur", dangling.c_str()), 0);
  ASSERT_EQ(RunMkcat({"mur", dangling, tree}).exitStatus, 0);
  ASSERT_EQ(lstat(dangling.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(PathsListed(scratch.path + "/made-by-mkcat.mur"), std::vector<std::string>{"two.txt"});

  ASSERT_EQ(RunMkcat({"mur", "/dev/null", tree}).exitStatus, 0);
  ASSERT_EQ(stat("/dev/null", &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
  EXPECT_EQ(RunMkcat({"mur", scratch.path, tree}).err,
            "mkcat: " + scratch.path + ": Is a directory\n");
}

// The catalogue written inside the tree it catalogues is known by device and inode, not by
// name: neither the old one, nor a hard link to it, nor the temporary file is listed.
TEST(MkcatOutput, NeverCataloguesItsOwnOutput) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string tree = scratch.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((tree + "/sub").c_str(), 0755), 0);
  WriteText(tree + "/sub/kept.txt", "kept");
  const std::string catalogue = tree + "/sub/self.mur";
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(RunMkcat({"mur", catalogue, tree}).exitStatus, 0) << run;
    EXPECT_EQ(PathsListed(catalogue), (std::vector<std::string>{"sub", "sub\\kept.txt"})) << run;
  }
  ASSERT_EQ(link(catalogue.c_str(), (tree + "/other-name.mur").c_str()), 0);
  EXPECT_EQ(RunMkcat({"zex", tree + "/self.zex", tree}).exitStatus, 0);
  // The ZEX run sees the MUR catalogue and its second name as ordinary files.
  EXPECT_EQ(PathsListed(tree + "/self.zex"),
            (std::vector<std::string>{"OTHER-~1.MUR", "SUB", "SUB\\KEPT.TXT", "SUB\\SELF.MUR"}));
  EXPECT_EQ(RunMkcat({"mur", catalogue, tree}).exitStatus, 0);
  EXPECT_EQ(PathsListed(catalogue), (std::vector<std::string>{"self.zex", "sub", "sub\\kept.txt"}));
  // Standard output redirected into the tree is left out the same way.
  const std::string piped = tree + "/sub/piped.mur";
  program_run::Program toStandardOutput;
  toStandardOutput.argv = {MKCAT_PATH, "mur", "-", tree};
  toStandardOutput.stdoutPath = piped;
  EXPECT_EQ(program_run::Run(toStandardOutput).exitStatus, 0);
  EXPECT_EQ(PathsListed(piped), (std::vector<std::string>{"other-name.mur", "self.zex", "sub",
                                                          "sub\\kept.txt", "sub\\self.mur"}));
}

}  // namespace

#endif
