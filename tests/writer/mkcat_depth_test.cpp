// mkcat's walk: no recursion limit, no path-length limit and no open-file limit on deep
// trees, no way out of the tree for folders that change under it, and what --exclude, -x and
// -L leave out or follow. The deep trees are built a level at a time relative to the last, as no
// path can name their deepest folders.
#include <gtest/gtest.h>

#if defined(MKCAT_PATH) && defined(CATHOST_PATH)

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/mkcat_run.h"

namespace {

using namespace mkcat_test;

// Makes `levels` nested folders named `component` below `top`, with a file named
// "fileN" in every `fileEvery`-th of them; returns the number of files made.
size_t MakeDeepTree(const std::string& top, size_t levels, const std::string& component,
                    size_t fileEvery) {
  size_t files = 0;
  int level = open(top.c_str(), O_RDONLY | O_DIRECTORY);
  for (size_t i = 1; i <= levels && level >= 0; ++i) {
    if (mkdirat(level, component.c_str(), 0755) != 0) break;
    const int next = openat(level, component.c_str(), O_RDONLY | O_DIRECTORY);
    close(level);
    level = next;
    if (level >= 0 && i % fileEvery == 0) {
      const int file =
          openat(level, ("file" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
      if (file >= 0) {
        close(file);
        ++files;
      }
    }
  }
  if (level >= 0) close(level);
  return files;
}

// The number cathost counts in a catalogue, damaged items included.
long ItemsCounted(const std::string& catalogue) {
  const RunResult run = program_run::Run({CATHOST_PATH, "--keep-going", "--count", catalogue});
  return run.out.empty() ? -1 : std::stol(run.out);
}

// 3,000 levels (which crashed a recursive walk at about 1,900), with 256 open files allowed
// (one per level would run out at 256): every folder and file comes back in both formats,
// and the one warning is the first path too long for a listing, with the items inside it.
TEST(MkcatDepth, ThreeThousandLevelsInBothFormats) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string tree = scratch.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  const size_t files = MakeDeepTree(tree, 3000, "d", 500);
  ASSERT_EQ(files, 6u);

  for (const char* format : {"zex", "mur"}) {
    const std::string catalogue = scratch.path + "/deep." + format;
    const auto start = std::chrono::steady_clock::now();
    program_run::Program make;
    make.argv = {MKCAT_PATH, format, catalogue, tree};
    make.openFilesLimit = 256;
    const RunResult run = program_run::Run(make);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(run.exitStatus, 0) << format;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << format;
    // "d\d\..." passes 259 characters at level 131; 2,869 folders and 6 files lie inside.
    EXPECT_NE(run.err.find("is 261 characters, over the 259 that a listing holds: it will list "
                           "as damaged, its path cut; so will the 2875 items inside it\n"),
              std::string::npos)
        << run.err.substr(0, 200);
    EXPECT_EQ(ItemsCounted(catalogue), 3006) << format;
    std::printf("[ measured ] mkcat %s, 3,000 levels: %.2f s\n", format, seconds);
  }
}

// The warning for paths past 259 characters comes once, at the first item past it.
TEST(MkcatDepth, TooLongPathsAreReportedOncePerFolder) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string tree = scratch.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  ASSERT_EQ(MakeDeepTree(tree, 200, "dd", 100), 2u);
  const RunResult run = RunMkcat({"mur", scratch.path + "/out.mur", tree});
  EXPECT_EQ(run.exitStatus, 0);
  // "dd\dd\..." passes 259 characters at level 87 (260 of them).
  std::string path = tree;
  for (int i = 0; i < 87; ++i) path += "/dd";
  EXPECT_EQ(run.err, "mkcat: " + path +
                         ": warning: its path in the catalogue is 260 characters, over the 259 "
                         "that a listing holds: it will list as damaged, its path cut; so will "
                         "the 115 items inside it\n"
                         "mkcat: 1 warning, 0 entries skipped\n");
}

// Paths past PATH_MAX (4,096 bytes) are walked like any other: 25 levels of 200-character
// names hold a file beyond 5,000 bytes of path.
TEST(MkcatDepth, PathsPastPathMaxAreCatalogued) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string tree = scratch.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  ASSERT_EQ(MakeDeepTree(tree, 25, std::string(200, 'n'), 5), 5u);
  for (const char* format : {"zex", "mur"}) {
    const std::string catalogue = scratch.path + "/long." + format;
    const RunResult run = RunMkcat({format, catalogue, tree});
    EXPECT_EQ(run.exitStatus, 0) << format << run.err;
    EXPECT_EQ(run.err.find("cannot read"), std::string::npos) << run.err;
    EXPECT_EQ(ItemsCounted(catalogue), 30) << format;
  }
}

// Folders that change under the walk, at the moment that matters: once mkcat has listed `a`
// and entered its first subfolder s, t5 (listed as a folder, not yet entered) is swapped for a
// link to a folder outside the tree, and s is moved out of the tree while the walk is inside
// it, so that its ".." leads outside. Nothing outside the tree is ever listed, the folders that
// stay put are all listed, the run ends with 0 or 1, and the walk did meet both changes: mkcat
// warned about t5, and it opened the outside folder (through s's "..") without listing it.
TEST(MkcatWalk, FoldersChangingUnderTheWalkNeverLeadOutOfTheTree) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string tree = scratch.path + "/tree";
  const std::string outside = scratch.path + "/outside";
  const std::string a = tree + "/a";
  for (const std::string& folder : {tree, a, a + "/s", outside}) {
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0) << folder;
  }
  for (int n = 0; n < 50; ++n) {
    const std::string number = std::to_string(n);
    for (const std::string& folder :
         {a + "/t" + number, outside + "/t" + number, a + "/s/d" + number}) {
      ASSERT_EQ(mkdir(folder.c_str(), 0755), 0) << folder;
    }
    ASSERT_TRUE(MakeEmptyFiles(a + "/t" + number, {"inside"}));
    ASSERT_TRUE(MakeEmptyFiles(outside + "/t" + number, {"OUTSIDE-SENTINEL"}));
  }
  // Reading a large descript.ion in s, once inside it, gives the swap milliseconds to come in.
  std::string descriptions;
  for (int n = 0; n < 40000; ++n) {
    descriptions += "x" + std::to_string(n) + " " + std::string(40, 'y') + "\n";
  }
  WriteText(a + "/s/descript.ion", descriptions);
  const std::string away = scratch.path + "/t5.away";
  int metLink = 0, metMove = 0;
  constexpr int kRuns = 10;
  for (int run = 0; run < kRuns; ++run) {
    const int events = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(events, 0) << std::strerror(errno);
    const int sWatch = inotify_add_watch(events, (a + "/s").c_str(), IN_OPEN);
    const int outsideWatch = inotify_add_watch(events, outside.c_str(), IN_OPEN);
    ASSERT_TRUE(sWatch >= 0 && outsideWatch >= 0) << std::strerror(errno);
    std::atomic<bool> stop{false};
    bool swapped = false, outsideOpened = false;
    std::thread swapper([&] {
      // Reads until told to stop and nothing more is queued: mkcat has ended by then.
      for (;;) {
        pollfd ready = {events, POLLIN, 0};
        const int polled = poll(&ready, 1, 20);
        if (polled == 0 && stop) return;
        alignas(inotify_event) char buffer[4096];
        const ssize_t got = polled > 0 ? read(events, buffer, sizeof buffer) : 0;
        for (ssize_t at = 0; at < got;) {
          const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
          at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
          if (event->wd == outsideWatch && event->len == 0) outsideOpened = true;
          if (event->wd != sWatch || swapped) continue;
          swapped = rename((a + "/t5").c_str(), away.c_str()) == 0 &&
                    symlink("../../outside/t5", (a + "/t5").c_str()) == 0 &&
                    rename((a + "/s").c_str(), (outside + "/s").c_str()) == 0;
        }
      }
    });
    const std::string catalogue = scratch.path + "/walk.mur";
    const RunResult made = RunMkcat({"mur", catalogue, tree});
    stop = true;
    swapper.join();
    close(events);
    ASSERT_TRUE(swapped) << "the walk never entered s";
    // Put back for the next run.
    ASSERT_EQ(unlink((a + "/t5").c_str()), 0);
    ASSERT_EQ(rename(away.c_str(), (a + "/t5").c_str()), 0);
    ASSERT_EQ(rename((outside + "/s").c_str(), (a + "/s").c_str()), 0);

    EXPECT_TRUE(made.exitStatus == 0 || made.exitStatus == 1) << made.exitStatus << made.err;
    size_t insideListed = 0;
    for (const ListedEntry& entry : ListCatalogue(catalogue)) {
      EXPECT_EQ(entry.path.find("OUTSIDE"), std::string::npos) << entry.path;
      if (entry.path.size() > 7 && entry.path.compare(entry.path.size() - 7, 7, "\\inside") == 0 &&
          entry.path.find("a\\t5\\") == std::string::npos) {
        ++insideListed;
      }
    }
    EXPECT_EQ(insideListed, 49u) << made.err;
    metLink += made.err.find(a + "/t5: warning: cannot read the folder: ") != std::string::npos;
    metMove += outsideOpened;
  }
  // A swap that came too late for every run would have tested nothing.
  EXPECT_GT(metLink, 0) << "no run's walk met t5 swapped for a link";
  EXPECT_GT(metMove, 0) << "no run's walk went up from s after it was moved out";
  std::printf("[ measured ] of %d runs, %d met t5 as a link and %d left s after it was moved\n",
              kRuns, metLink, metMove);
}

// --exclude by name and by path below the root, -x at a mount point, and -L with a link to a
// file, a link to a folder and two loops back up. Without the options the same tree is
// catalogued as it always was: the mount's contents in, links as empty files.
TEST(MkcatWalk, ExcludeOneFileSystemAndFollowedLinks) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string tree = scratch.path + "/tree";
  for (const char* folder : {"", "/$RECYCLE.BIN", "/.Trash-1000", "/docs", "/other"}) {
    ASSERT_EQ(mkdir((tree + folder).c_str(), 0755), 0) << folder;
  }
  WriteText(tree + "/a.txt", "abc");
  ASSERT_TRUE(MakeEmptyFiles(tree + "/$RECYCLE.BIN", {"junk"}));
  ASSERT_TRUE(MakeEmptyFiles(tree + "/.Trash-1000", {"junk"}));
  ASSERT_TRUE(MakeEmptyFiles(tree + "/docs", {"keep.txt", "notes.tmp"}));
  ASSERT_TRUE(MakeEmptyFiles(tree + "/other", {"notes.tmp"}));
  ASSERT_EQ(symlink("a.txt", (tree + "/link-a").c_str()), 0);
  ASSERT_EQ(symlink("docs", (tree + "/to-docs").c_str()), 0);
  ASSERT_EQ(symlink("..", (tree + "/docs/up").c_str()), 0);
  TmpfsMount mount(tree + "/mnt", "size=64k");
  if (!mount.mounted) GTEST_SKIP() << mount.why;
  ASSERT_TRUE(MakeEmptyFiles(tree + "/mnt", {"inside"}));

  const std::string catalogue = scratch.path + "/out.mur";
  const RunResult run = RunMkcat({"-xL", "--exclude", "$RECYCLE.BIN", "--exclude=.Trash-*",
                                  "--exclude", "/docs/*.tmp", catalogue, tree});
  EXPECT_EQ(run.exitStatus, 0) << run;
  std::vector<std::string> paths;
  for (const ListedEntry& entry : ListCatalogue(catalogue)) paths.push_back(entry.path);
  EXPECT_EQ(paths,
            (std::vector<std::string>{"a.txt", "docs", "docs\\keep.txt", "docs\\up", "link-a",
                                      "mnt", "other", "other\\notes.tmp", "to-docs",
                                      "to-docs\\keep.txt", "to-docs\\notes.tmp", "to-docs\\up"}));
  const std::string loop =
      ": warning: not entered: it leads back to a folder it lies in (a loop); recorded as an "
      "empty folder\n";
  EXPECT_EQ(run.err, "mkcat: " + tree + "/docs/up" + loop + "mkcat: " + tree + "/to-docs/up" +
                         loop + "mkcat: 2 warnings, 0 entries skipped\n");
  // The followed link has its target's size: "ATTRS SIZE(10) ..." with the path at column 38.
  const std::string listing = program_run::Run({CATHOST_PATH, catalogue}).out;
  const size_t linkLine = listing.find("link-a\n");
  ASSERT_NE(linkLine, std::string::npos);
  EXPECT_EQ(listing.substr(linkLine - 38 + 7, 10), "         3");

  ASSERT_EQ(RunMkcat({catalogue, tree}).exitStatus, 0);
  paths.clear();
  for (const ListedEntry& entry : ListCatalogue(catalogue)) paths.push_back(entry.path);
  for (const char* path : {"$RECYCLE.BIN\\junk", "docs\\notes.tmp", "mnt\\inside", "to-docs"}) {
    EXPECT_NE(std::find(paths.begin(), paths.end(), path), paths.end()) << path;
  }
  EXPECT_EQ(std::find(paths.begin(), paths.end(), "to-docs\\keep.txt"), paths.end());
}

}  // namespace

#endif
