// catmount on real FUSE mounts: the tree it shows against the trees mkcat catalogued and
// against cathost's listings, its errors before mounting, its handling of damaged catalogues,
// and that it goes away when unmounted. Without /dev/fuse the mounting tests skip, saying why.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/hosts/catmount/catmount_fixture.h"
#include "tests/support/trees.h"
#include "tools/writer/mur_writer.h"
#include "tools/writer/zex_writer.h"

namespace {

using namespace catmount_test;

// A tree with nested folders, an empty folder, sizes, odd seconds and a non-ASCII name.
void MakeTree(const std::string& root) {
  struct Item {
    const char* path;
    int64_t size;  // -1 for a directory
    int64_t mtime;
  };
  const Item items[] = {
      {"docs", -1, 946684800},
      {"docs/read me.txt", 1234, 1000000001},
      {"docs/café.txt", 7, 1300000000},
      {"docs/deeper", -1, 1200000000},
      {"docs/deeper/x.bin", 0, 1234567891},
      {"empty", -1, 1500000000},
      {"top.dat", 99999, 1600000003},
  };
  for (const Item& item : items) {
    std::string path = root + "/" + item.path;
    if (item.size < 0) {
      fs::create_directories(path);
    } else {
      std::ofstream(path).close();
      fs::resize_file(path, static_cast<uintmax_t>(item.size));
    }
  }
  // Deepest first, since adding entries changes a directory's time.
  for (auto it = std::rbegin(items); it != std::rend(items); ++it) {
    timespec times[2] = {{it->mtime, 0}, {it->mtime, 0}};
    utimensat(AT_FDCWD, (root + "/" + it->path).c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
}

// "type size seconds" per path of a real tree, times cut to the DOS stamps' 2 seconds.
std::map<std::string, std::string> DosView(const std::string& root) {
  std::map<std::string, std::string> view;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    struct stat info;
    lstat(item.path().c_str(), &info);
    bool directory = S_ISDIR(info.st_mode);
    view[item.path().string().substr(root.size() + 1)] =
        std::string(directory ? "d " : "f ") + std::to_string(directory ? 0 : info.st_size) + " " +
        std::to_string(info.st_mtim.tv_sec / 2 * 2);
  }
  return view;
}

TEST_F(CatmountTest, MurRoundTripShowsTheTreeItCatalogued) {
  SKIP_WITHOUT_FUSE();
  std::string tree = dir_ + "/tree";
  MakeTree(tree);
  ASSERT_EQ(Run({MKCAT_PATH, "mur", dir_ + "/tree.mur", tree}).exitStatus, 0);
  Mount mount(dir_ + "/tree.mur", mountPoint_, LogPath());
  ASSERT_TRUE(mount.mounted()) << mount.Log();
  EXPECT_EQ(DosView(mountPoint_), DosView(tree));
  // find, as a user would run it, sees the same.
  program_run::Program find;
  find.argv = {"find", ".", "-printf", "%y %s %P\\n"};
  find.workingFolder = mountPoint_;
  RunResult found = program_run::Run(find);
  EXPECT_NE(found.out.find("f 7 docs/café.txt\n"), std::string::npos) << found.out;
  EXPECT_EQ(XattrOf(mountPoint_, "user.catalogue.status"), "complete");
  EXPECT_EQ(XattrOf(mountPoint_, "user.catalogue.format"), "MUR");
  EXPECT_TRUE(mount.Unmount());
}

TEST_F(CatmountTest, ZexRoundTripShowsTheShortNamesWithTheTreesSizesAndTimes) {
  SKIP_WITHOUT_FUSE();
  std::string tree = dir_ + "/tree";
  MakeTree(tree);
  std::string catalogue = dir_ + "/tree.zex";
  ASSERT_EQ(Run({MKCAT_PATH, "zex", catalogue, tree}).exitStatus, 0);
  Mount mount(catalogue, mountPoint_, LogPath());
  ASSERT_TRUE(mount.mounted()) << mount.Log();
  // The paths are the 8.3 names cathost lists; sizes and times are the tree's.
  std::set<std::string> shortPaths;
  for (const auto& item : CathostItems(catalogue)) {
    std::string path = item.at("path");
    std::replace(path.begin(), path.end(), '\\', '/');
    shortPaths.insert(path);
  }
  std::map<std::string, std::string> mounted = DosView(mountPoint_);
  std::set<std::string> mountedPaths;
  std::multiset<std::string> mountedFacts, treeFacts;
  for (const auto& [path, facts] : mounted) {
    mountedPaths.insert(path);
    mountedFacts.insert(facts);
  }
  for (const auto& entry : DosView(tree)) treeFacts.insert(entry.second);
  EXPECT_EQ(mountedPaths, shortPaths);
  EXPECT_EQ(mountedFacts, treeFacts);
  EXPECT_TRUE(mount.Unmount());
}

// The samples, and the generated catalogues (a folder, listed lazily), agree with cathost in
// paths, sizes, all three times, attributes and descriptions.
TEST_F(CatmountTest, MountsAgreeWithCathostOnSamplesAndGeneratedCatalogues) {
  SKIP_WITHOUT_FUSE();
  for (const char* sample : {"utilities.zex", "photos.mur"}) {
    std::string catalogue = std::string(SOURCE_DIR) + "/samples/" + sample;
    Mount mount(catalogue, mountPoint_, LogPath());
    ASSERT_TRUE(mount.mounted()) << mount.Log();
    ExpectMountAgreesWithCathost(catalogue, mountPoint_);
  }
  const std::string generated = std::string(GENERATED_CATALOGUES) + "/cats";
  if (!fs::is_directory(generated)) {
    GTEST_SKIP() << "no generated catalogues in " << generated;
  }
  Mount mount(generated, mountPoint_, LogPath());
  ASSERT_TRUE(mount.mounted()) << mount.Log();
  int compared = 0;
  for (const auto& file : fs::directory_iterator(generated)) {
    std::string name = file.path().filename().string();
    ExpectMountAgreesWithCathost(file.path().string(), mountPoint_ + "/" + name);
    ++compared;
  }
  EXPECT_GE(compared, 14);
}

// umask=0 adds no write bit: the mount is read-only whatever the umask.
TEST_F(CatmountTest, ReadingFailsWithNoMediumAndWritingWithReadOnly) {
  SKIP_WITHOUT_FUSE();
  std::string catalogue = std::string(SOURCE_DIR) + "/samples/utilities.zex";
  Mount mount(catalogue, mountPoint_, LogPath(), {"-o", "umask=0"});
  ASSERT_TRUE(mount.mounted()) << mount.Log();
  std::string file = mountPoint_ + "/IO.SYS";
  ASSERT_TRUE(fs::is_regular_file(file));
  errno = 0;
  EXPECT_EQ(open(file.c_str(), O_RDONLY), -1);
  EXPECT_EQ(errno, ENOMEDIUM);
  auto expectReadOnly = [](int result, const char* what) {
    EXPECT_EQ(result, -1) << what;
    EXPECT_EQ(errno, EROFS) << what;
  };
  expectReadOnly(open(file.c_str(), O_WRONLY), "open for writing");
  expectReadOnly(open((mountPoint_ + "/NEW.TXT").c_str(), O_CREAT | O_WRONLY, 0644), "create");
  expectReadOnly(rename(file.c_str(), (mountPoint_ + "/OTHER.SYS").c_str()), "rename");
  expectReadOnly(mkdir((mountPoint_ + "/NEWDIR").c_str(), 0755), "mkdir");
  expectReadOnly(unlink(file.c_str()), "unlink");
  expectReadOnly(truncate(file.c_str(), 0), "truncate");
  expectReadOnly(chmod(file.c_str(), 0644), "chmod");
  expectReadOnly(lsetxattr(file.c_str(), "user.description", "x", 1, 0), "setxattr");
  struct stat info;
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0444u);
  // du counts the stored size: 40,566 bytes in 512-byte blocks.
  EXPECT_EQ(info.st_size, 40566);
  EXPECT_EQ(info.st_blocks, 80);
  EXPECT_EQ(info.st_blksize, 4096);
  ASSERT_EQ(stat((mountPoint_ + "/DOS").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0555u);
  EXPECT_EQ(info.st_blocks, 0);
  ASSERT_EQ(stat((mountPoint_ + "/IO.SYS").c_str(), &info), 0);
  struct stat catalogueInfo;
  ASSERT_EQ(stat(catalogue.c_str(), &catalogueInfo), 0);
  EXPECT_EQ(info.st_uid, catalogueInfo.st_uid);
  EXPECT_EQ(info.st_gid, catalogueInfo.st_gid);
}

TEST_F(CatmountTest, DamagedCataloguesShowWhatWasListedAndReportTheRest) {
  SKIP_WITHOUT_FUSE();
  // A description cut off: the item is delivered with result 2 and the listing goes on.
  catwriter::ZexImage zex = trees::ThreeFilesMiddleDescribed();
  zex.bytes.resize(zex.bytes.size() - 4);
  std::string damaged = Write("damaged.zex", zex.bytes);
  {
    Mount mount(damaged, mountPoint_, LogPath());
    ASSERT_TRUE(mount.mounted()) << mount.Log();
    EXPECT_TRUE(fs::exists(mountPoint_ + "/THREE"));
    EXPECT_EQ(XattrOf(mountPoint_ + "/TWO", "user.catalogue.result"), "2");
    EXPECT_EQ(XattrOf(mountPoint_ + "/ONE", "user.catalogue.result"), std::nullopt);
    std::string status = XattrOf(mountPoint_, "user.catalogue.status").value_or("");
    EXPECT_EQ(status, "complete; 1 item damaged (result 2), the first item 2");
    EXPECT_NE(mount.Log().find(status), std::string::npos) << mount.Log();
  }
  // A MUR catalogue cut in the middle: the items before the cut stay, the stop is reported.
  catwriter::MurTree tree;
  catwriter::MurNode folder;
  folder.name = "folder";
  folder.isDirectory = true;
  for (int i = 0; i < 20; ++i) {
    catwriter::MurNode node;
    node.name = "file" + std::to_string(i);
    node.size = static_cast<uint32_t>(i);
    folder.children.push_back(node);
  }
  tree.top.push_back(folder);
  catwriter::MurImage mur = catwriter::BuildMur(tree);
  mur.bytes.resize(mur.layout.nodeOffsets[11] + 10);
  std::string cut = Write("cut.mur", mur.bytes);
  {
    Mount mount(cut, mountPoint_, LogPath());
    ASSERT_TRUE(mount.mounted()) << mount.Log();
    EXPECT_EQ(WalkMount(mountPoint_).size(), 11u);
    std::string status = XattrOf(mountPoint_, "user.catalogue.status").value_or("");
    EXPECT_EQ(status.rfind("stopped at item 12: ", 0), 0u) << status;
    ExpectMountAgreesWithCathost(cut, mountPoint_);
  }
  // In a folder, the cut catalogue does not disturb its neighbours; other files are left out.
  std::string folderPath = dir_ + "/folder";
  fs::create_directory(folderPath);
  fs::copy_file(cut, folderPath + "/cut.mur");
  fs::copy_file(std::string(SOURCE_DIR) + "/samples/photos.mur", folderPath + "/photos.mur");
  fs::copy_file(std::string(SOURCE_DIR) + "/samples/utilities.zex", folderPath + "/utilities.zex");
  std::ofstream(folderPath + "/notes.txt") << "not a catalogue\n";
  Mount mount(folderPath, mountPoint_, LogPath());
  ASSERT_TRUE(mount.mounted()) << mount.Log();
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(mountPoint_)) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"cut.mur", "photos.mur", "utilities.zex"}));
  EXPECT_NE(mount.Log().find("notes.txt: no format module accepts this file"), std::string::npos);
  EXPECT_EQ(XattrOf(mountPoint_ + "/cut.mur", "user.catalogue.status")
                .value_or("")
                .rfind("stopped at item 12", 0),
            0u);
  ExpectMountAgreesWithCathost(folderPath + "/photos.mur", mountPoint_ + "/photos.mur");
  ExpectMountAgreesWithCathost(folderPath + "/utilities.zex", mountPoint_ + "/utilities.zex");
  EXPECT_EQ(XattrOf(mountPoint_ + "/photos.mur", "user.catalogue.status"), "complete");
}

// A folder's subfolders are folders of their catalogues, 16 levels deep at most; folders without
// catalogues, symbolic-link loops and other file systems are left out. uid=, gid= and umask=
// set every entry's owner, group and permission bits.
TEST_F(CatmountTest, FoldersShowTheirSubfoldersWithinBounds) {
  SKIP_WITHOUT_FUSE();
  const std::string source = dir_ + "/cats";
  const std::string photos = std::string(SOURCE_DIR) + "/samples/photos.mur";
  std::string deep = source;
  for (int level = 1; level <= 17; ++level) {
    deep += "/d" + std::to_string(level);
    fs::create_directories(deep);
    if (level >= 16) fs::copy_file(photos, deep + "/at" + std::to_string(level) + ".mur");
  }
  fs::create_directories(source + "/1990s/disks");
  fs::create_directories(source + "/empty/emptier");
  fs::create_directories(source + "/other");
  fs::copy_file(photos, source + "/photos.mur");
  fs::copy_file(std::string(SOURCE_DIR) + "/samples/utilities.zex",
                source + "/1990s/disks/utilities.zex");
  fs::create_directory_symlink("..", source + "/1990s/loop");
  // Another file system inside the folder: a mount of its own.
  Mount other(photos, source + "/other", dir_ + "/other.log");
  ASSERT_TRUE(other.mounted()) << other.Log();
  Mount mount(source, mountPoint_, LogPath(), {"-o", "uid=1234,gid=99,umask=027"});
  ASSERT_TRUE(mount.mounted()) << mount.Log();
  std::set<std::string> folders;
  std::set<uint64_t> inodes;
  for (auto at = fs::recursive_directory_iterator(mountPoint_); at != decltype(at)(); ++at) {
    struct stat info;
    ASSERT_EQ(lstat(at->path().c_str(), &info), 0) << at->path();
    EXPECT_TRUE(inodes.insert(info.st_ino).second) << at->path() << " shares its inode";
    EXPECT_EQ(info.st_uid, 1234u);
    EXPECT_EQ(info.st_gid, 99u);
    EXPECT_EQ(info.st_mode & 07777, S_ISDIR(info.st_mode) ? 0550u : 0440u) << at->path();
    const std::string path = at->path().string().substr(mountPoint_.size() + 1);
    if (path.ends_with(".mur") || path.ends_with(".zex")) {
      folders.insert(path);
      at.disable_recursion_pending();
    }
  }
  std::string shown = "d1";
  for (int level = 2; level <= 16; ++level) shown += "/d" + std::to_string(level);
  EXPECT_EQ(folders, (std::set<std::string>{"photos.mur", "1990s/disks/utilities.zex",
                                            shown + "/at16.mur"}));
  for (const char* gone : {"empty", "other", "1990s/loop",
                           "d1/d2/d3/d4/d5/d6/d7/d8/d9/d10/d11/d12/d13/d14/d15/d16/d17"}) {
    EXPECT_FALSE(fs::exists(mountPoint_ + "/" + gone)) << gone;
  }
  EXPECT_TRUE(fs::is_regular_file(mountPoint_ + "/1990s/disks/utilities.zex/IO.SYS"));
  // ".." leads back up through the folders.
  struct stat up, folder;
  ASSERT_EQ(stat((mountPoint_ + "/1990s/disks/utilities.zex/..").c_str(), &up), 0);
  ASSERT_EQ(stat((mountPoint_ + "/1990s/disks").c_str(), &folder), 0);
  EXPECT_EQ(up.st_ino, folder.st_ino);
  const std::string log = mount.Log();
  for (const char* reason : {"loop: a folder already scanned", "d17: deeper than 16 folders",
                             "other: another file system"}) {
    EXPECT_NE(log.find(reason), std::string::npos) << reason << "\n" << log;
  }
  EXPECT_TRUE(mount.Unmount()) << mount.Log();
}

// Everything that would make a mount useless fails before mounting, with a message.
TEST_F(CatmountTest, ProblemsBeforeMountingFailClearly) {
  std::string catmount = CATMOUNT_PATH;
  std::string sample = std::string(SOURCE_DIR) + "/samples/photos.mur";
  std::ofstream(dir_ + "/text.txt") << "hello\n";
  std::ofstream(dir_ + "/empty.bin").close();
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string message;
  } cases[] = {
      {{dir_ + "/missing.mur", mountPoint_}, 6, "No such file"},
      {{dir_ + "/text.txt", mountPoint_}, 1, "no format module accepts"},
      {{dir_ + "/empty.bin", mountPoint_}, 9, "empty file"},
      {{sample, dir_ + "/nowhere"}, 20, "no such directory"},
      {{sample, dir_ + "/text.txt"}, 20, "not a directory"},
      {{sample}, 64, "SOURCE and MOUNTPOINT"},
      {{"--module", dir_ + "/text.txt", sample, mountPoint_}, 10, "text.txt"},
      // A folder mounted over itself, or over the folder that holds it, would hide it.
      {{mountPoint_, mountPoint_}, 20, "would hide the folder"},
      {{mountPoint_, mountPoint_ + "/."}, 20, "would hide the folder"},
      {{mountPoint_, dir_}, 20, "would hide the folder"},
      // One inside the folder would hide the subfolder it is.
      {{dir_, mountPoint_}, 64, "is inside the folder of catalogues"},
      // Names that a terminal would obey are shown escaped.
      {{dir_ + "/bad\033]0;title\007\377.mur", mountPoint_},
       6,
       "bad\\033]0;title\\007\\377.mur': No such file"},
      {{sample, dir_ + "/\033[2J"}, 20, "/\\033[2J': no such directory"},
      {{"--max-items", "0", sample, mountPoint_}, 64, "--max-items"},
      {{"--listing-mib", "x", sample, mountPoint_}, 64, "--listing-mib"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {catmount};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    RunResult result = Run(arguments);
    const std::string shown = testing::PrintToString(c.arguments);
    EXPECT_EQ(result.exitStatus, c.status) << shown << "\n" << result;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << shown << "\n" << result.err;
    for (char c : result.err) {
      EXPECT_TRUE(c == '\n' || (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F))
          << "a control byte reached the terminal: " << result.err;
    }
  }
  EXPECT_FALSE(IsMounted(mountPoint_));
  RunResult help = Run({catmount, "--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.out.find("fusermount3 -u"), std::string::npos);
  RunResult version = Run({catmount, "--version"});
  EXPECT_EQ(version.exitStatus, 0);
  EXPECT_EQ(version.out.rfind("catmount ", 0), 0u);
}

// In the background, as users run it: the command returns once mounted, a second mount on the
// same point is refused, and unmounting ends the daemon; in the foreground Ctrl-C ends it.
TEST_F(CatmountTest, UnmountingEndsTheProgramAndASecondMountIsRefused) {
  SKIP_WITHOUT_FUSE();
  std::string sample = std::string(SOURCE_DIR) + "/samples/photos.mur";
  RunResult started = Run({CATMOUNT_PATH, sample, mountPoint_});
  ASSERT_EQ(started.exitStatus, 0) << started.err;
  ASSERT_TRUE(IsMounted(mountPoint_));
  EXPECT_TRUE(fs::exists(mountPoint_ + "/Family/README"));
  // The daemon: the catmount process whose arguments name this mount point.
  auto daemons = [&]() {
    std::vector<pid_t> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::string commandLine = ReadWholeFile(entry.path().string() + "/cmdline");
      if (commandLine.find("catmount") != std::string::npos &&
          commandLine.find(mountPoint_) != std::string::npos &&
          ReadWholeFile(entry.path().string() + "/stat").find(") Z") == std::string::npos) {
        found.push_back(std::stoi(name));
      }
    }
    return found;
  };
  EXPECT_EQ(daemons().size(), 1u);
  RunResult second = Run({CATMOUNT_PATH, sample, mountPoint_});
  EXPECT_EQ(second.exitStatus, 20);
  EXPECT_NE(second.err.find("already mounted"), std::string::npos) << second.err;
  ASSERT_TRUE(FuseUnmount(mountPoint_));
  for (int tries = 0; tries < 300 && !daemons().empty(); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(daemons().empty());
  EXPECT_FALSE(IsMounted(mountPoint_));

  // In the foreground, Ctrl-C unmounts and ends the program.
  Mount foreground(sample, mountPoint_, LogPath());
  ASSERT_TRUE(foreground.mounted()) << foreground.Log();
  EXPECT_TRUE(foreground.Unmount(/*interrupt=*/true));
  EXPECT_FALSE(IsMounted(mountPoint_));
}

}  // namespace
