// catmount on real FUSE mounts: the tree it shows against the trees mkcat catalogued and
// against cathost's listings, its errors, its handling of damaged catalogues and folders, and
// that it goes away when unmounted. Without /dev/fuse the mounting tests skip, saying why.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/catmount_names.h"
#include "tests/support/child_output.h"
#include "tests/support/program_run.h"
#include "tests/support/scratch.h"
#include "tests/support/trees.h"
#include "tools/hosts/catmount/catalogue_library.h"
#include "tools/hosts/catmount/catalogue_tree.h"
#include "tools/writer/mur_writer.h"
#include "tools/writer/zex_writer.h"

namespace {

namespace fs = std::filesystem;
using catwriter::MakeDosStamp;

constexpr int64_t kSecondsFrom1601To1970 = 11'644'473'600;

// Unmounts a FUSE mount as users do; true when fusermount3 says it did.
bool FuseUnmount(const std::string& mountPoint) {
  return program_run::Run({"fusermount3", "-u", mountPoint}).exitStatus == 0;
}

// Why mounting cannot be tested here, or empty when it can.
std::string FuseMissing() {
  if (access("/dev/fuse", F_OK) != 0) return "/dev/fuse is missing";
  int fd = open("/dev/fuse", O_RDWR);
  if (fd < 0) return std::string("/dev/fuse cannot be opened: ") + std::strerror(errno);
  close(fd);
  if (program_run::Run({"fusermount3", "--version"}).exitStatus != 0) {
    return "fusermount3 is missing";
  }
  return {};
}

#define SKIP_WITHOUT_FUSE()                                              \
  do {                                                                   \
    std::string missing = FuseMissing();                                 \
    if (!missing.empty()) GTEST_SKIP() << "no FUSE mounts: " << missing; \
  } while (false)

bool IsMounted(const std::string& path) {
  std::ifstream mounts("/proc/self/mounts");
  std::string device, point;
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    fields >> device >> point;
    if (point == path) return true;
  }
  return false;
}

// A catmount running in the foreground on a mount point, unmounted and waited for when it goes.
class Mount {
 public:
  Mount(const std::string& source, const std::string& mountPoint, const std::string& logPath,
        std::vector<std::string> extra = {}, int waitSeconds = 30)
      : mountPoint_(mountPoint), logPath_(logPath) {
    program_run::Program catmount;
    catmount.argv = {CATMOUNT_PATH, "-f"};
    catmount.argv.insert(catmount.argv.end(), extra.begin(), extra.end());
    catmount.argv.push_back(source);
    catmount.argv.push_back(mountPoint);
    pid_ = program_run::Start(catmount, "", logPath);
    // Ready once the mount shows; a child that exits first has failed. A single catalogue is
    // listed before mounting, which takes seconds for the largest ones.
    for (int tries = 0; tries < waitSeconds * 100; ++tries) {
      if (IsMounted(mountPoint_)) {
        mounted_ = true;
        return;
      }
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Mount() { Unmount(); }

  bool mounted() const { return mounted_; }
  std::string Log() const { return ReadWholeFile(logPath_); }
  // The largest resident set the process has had, in KiB (VmHWM), or -1.
  long PeakResidentKiB() const {
    std::istringstream status(ReadWholeFile("/proc/" + std::to_string(pid_) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
  }

  // Unmounts and waits for the process; true when it exited by itself with status 0. With
  // `interrupt`, as Ctrl-C does in the foreground.
  bool Unmount(bool interrupt = false) {
    if (pid_ <= 0) return false;
    if (interrupt) {
      kill(pid_, SIGINT);
    } else if (mounted_) {
      FuseUnmount(mountPoint_);
    }
    mounted_ = false;
    for (int tries = 0; tries < 500; ++tries) {
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return false;
  }

 private:
  std::string mountPoint_;
  std::string logPath_;
  pid_t pid_ = -1;
  bool mounted_ = false;
};

std::optional<std::string> XattrOf(const std::string& path, const char* name) {
  char value[4096];
  ssize_t length = lgetxattr(path.c_str(), name, value, sizeof value);
  if (length < 0) return std::nullopt;
  return std::string(value, static_cast<size_t>(length));
}

// One entry of a tree as the tests compare it.
struct Entry {
  bool directory = false;
  bool listed = true;  // an item; false for a directory only its paths imply
  uint64_t size = 0;
  int64_t mtimeTicks = 0, atimeTicks = 0, ctimeTicks = 0;
  std::string description;
  std::string letters;
  bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Entry& e) {
  return out << (e.directory ? "d" : "f") << (e.listed ? "" : " implied") << " size " << e.size
             << " m " << e.mtimeTicks << " a " << e.atimeTicks << " c " << e.ctimeTicks << " ["
             << e.description << "] " << e.letters;
}

// Times compare in the catalogue's own unit, 100 ns since 1970: in nanoseconds a stamp of 1601
// (time 0, which damaged stamps give) would not fit in 64 bits.
int64_t Ticks(const timespec& time) {
  return int64_t{time.tv_sec} * 10'000'000 + time.tv_nsec / 100;
}

int64_t TicksOfFileTime(uint64_t ticks) {
  return (static_cast<int64_t>(ticks / 10'000'000) - kSecondsFrom1601To1970) * 10'000'000 +
         static_cast<int64_t>(ticks % 10'000'000);
}

// Every entry below `root`, by path relative to it, with stat and extended attributes.
std::map<std::string, Entry> WalkMount(const std::string& root) {
  std::map<std::string, Entry> entries;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    std::string path = item.path().string();
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) continue;
    Entry entry;
    entry.directory = S_ISDIR(info.st_mode);
    entry.size = static_cast<uint64_t>(info.st_size);
    entry.letters = XattrOf(path, "user.dos.attributes").value_or("");
    entry.listed = !entry.letters.empty();
    if (entry.listed) {
      entry.mtimeTicks = Ticks(info.st_mtim);
      entry.atimeTicks = Ticks(info.st_atim);
      entry.ctimeTicks = Ticks(info.st_ctim);
    }
    entry.description = XattrOf(path, "user.description").value_or("");
    entries[path.substr(root.size() + 1)] = entry;
  }
  return entries;
}

// Just enough JSON for cathost's flat lines: strings (with escapes) and unsigned numbers.
std::map<std::string, std::string> ParseJsonLine(const std::string& line) {
  std::map<std::string, std::string> fields;
  size_t at = 1;
  auto readString = [&]() {
    std::string text;
    ++at;  // opening quote
    while (line[at] != '"') {
      char c = line[at++];
      if (c != '\\') {
        text += c;
        continue;
      }
      char kind = line[at++];
      if (kind == 'u') {
        unsigned code = static_cast<unsigned>(std::stoul(line.substr(at, 4), nullptr, 16));
        at += 4;
        if (code < 0x80) {
          text += static_cast<char>(code);
        } else {
          text += static_cast<char>(0xC0 | (code >> 6));
          text += static_cast<char>(0x80 | (code & 0x3F));
        }
      } else {
        const std::string plain = "\"\\/bfnrt";
        const std::string meant = "\"\\/\b\f\n\r\t";
        text += meant[plain.find(kind)];
      }
    }
    ++at;
    return text;
  };
  while (at < line.size() && line[at] == '"') {
    std::string key = readString();
    ++at;  // colon
    if (line[at] == '"') {
      fields[key] = readString();
    } else {
      size_t end = line.find_first_of(",}", at);
      fields[key] = line.substr(at, end - at);
      at = end;
    }
    if (line[at] == ',') ++at;
  }
  return fields;
}

std::vector<std::string> SplitBackslashes(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = path.find('\\', start);
    parts.push_back(path.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// The tree the documented rules make of cathost's items, worked out on whole paths.
class ExpectedTree {
 public:
  void Add(const std::map<std::string, std::string>& item) {
    std::vector<std::string> parts = SplitBackslashes(item.at("path"));
    std::string parent;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
      parent = DirectoryFor(parent, EscapedComponent(parts[i]));
    }
    std::string name = EscapedComponent(parts.back());
    const uint32_t attributes = static_cast<uint32_t>(std::stoul(item.at("attributes")));
    const bool directory = (attributes & 0x10) != 0;
    std::string path;
    if (directory) {
      std::string plain = Join(parent, name);
      auto found = entries_.find(plain);
      if (found != entries_.end() && found->second.directory && !found->second.listed) {
        path = plain;
      } else if (auto renamed = renamed_.find(plain);
                 renamed != renamed_.end() && !entries_[renamed->second].listed) {
        path = renamed->second;
      }
    }
    if (path.empty()) {
      std::string plain = Join(parent, name);
      bool heldByFile = entries_.count(plain) != 0 && !entries_[plain].directory;
      path = FreePath(parent, name);
      if (directory && heldByFile) renamed_.emplace(plain, path);
    }
    Entry& entry = entries_[path];
    entry.directory = directory;
    entry.listed = true;
    entry.size = std::stoull(item.at("size")) | std::stoull(item.at("size_high")) << 32;
    entry.mtimeTicks = TicksOfFileTime(std::stoull(item.at("write_time_raw")));
    entry.atimeTicks = TicksOfFileTime(std::stoull(item.at("access_time_raw")));
    entry.ctimeTicks = TicksOfFileTime(std::stoull(item.at("creation_time_raw")));
    entry.description = item.at("description");
    entry.letters = item.at("attribute_letters");
  }
  const std::map<std::string, Entry>& entries() const { return entries_; }

 private:
  static std::string Join(const std::string& parent, const std::string& name) {
    return parent.empty() ? name : parent + "/" + name;
  }
  std::string FreePath(const std::string& parent, const std::string& name) {
    std::string path = Join(parent, name);
    for (int number = 2; entries_.count(path) != 0; ++number) {
      path = Join(parent, name + "~" + std::to_string(number));
    }
    return path;
  }
  std::string DirectoryFor(const std::string& parent, const std::string& name) {
    std::string plain = Join(parent, name);
    auto found = entries_.find(plain);
    if (found == entries_.end()) {
      Entry implied;
      implied.directory = true;
      implied.listed = false;
      entries_[plain] = implied;
      return plain;
    }
    if (found->second.directory) return plain;
    if (auto renamed = renamed_.find(plain); renamed != renamed_.end()) return renamed->second;
    std::string path = FreePath(parent, name);
    Entry implied;
    implied.directory = true;
    implied.listed = false;
    entries_[path] = implied;
    renamed_.emplace(plain, path);
    return path;
  }

  std::map<std::string, Entry> entries_;
  std::map<std::string, std::string> renamed_;  // plain path held by a file -> the directory
};

class CatmountTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.empty());
    mountPoint_ = dir_ + "/mnt";
    fs::create_directory(mountPoint_);
  }
  void TearDown() override {
    if (IsMounted(mountPoint_)) {
      FuseUnmount(mountPoint_);
    }
  }

  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    std::string path = dir_ + "/" + name;
    std::string error;
    EXPECT_TRUE(catwriter::WriteFile(path, bytes, &error)) << error;
    return path;
  }

  std::string LogPath() const { return dir_ + "/catmount.log"; }

  static RunResult Run(std::vector<std::string> arguments) {
    return program_run::Run(std::move(arguments));
  }

  // cathost's JSON items of a catalogue, as --keep-going lists them.
  std::vector<std::map<std::string, std::string>> CathostItems(const std::string& catalogue) {
    RunResult listing = Run({CATHOST_PATH, "--json", "--keep-going", catalogue});
    std::vector<std::map<std::string, std::string>> items;
    std::istringstream lines(listing.out);
    std::string line;
    while (std::getline(lines, line)) items.push_back(ParseJsonLine(line));
    return items;
  }

  void ExpectMountAgreesWithCathost(const std::string& catalogue, const std::string& mounted) {
    ExpectedTree expected;
    for (const auto& item : CathostItems(catalogue)) expected.Add(item);
    std::map<std::string, Entry> actual = WalkMount(mounted);
    EXPECT_EQ(actual.size(), expected.entries().size()) << catalogue;
    for (const auto& [path, entry] : expected.entries()) {
      auto found = actual.find(path);
      if (found == actual.end()) {
        ADD_FAILURE() << catalogue << ": missing " << path;
        continue;
      }
      EXPECT_EQ(found->second, entry) << catalogue << ": " << path;
    }
  }

  Scratch scratch_;
  const std::string& dir_ = scratch_.path;
  std::string mountPoint_;
};

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

TEST_F(CatmountTest, ReadingFailsWithNoMediumAndWritingWithReadOnly) {
  SKIP_WITHOUT_FUSE();
  std::string catalogue = std::string(SOURCE_DIR) + "/samples/utilities.zex";
  Mount mount(catalogue, mountPoint_, LogPath());
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
  EXPECT_EQ(info.st_blocks, 0);
  struct stat catalogueInfo;
  ASSERT_EQ(stat(catalogue.c_str(), &catalogueInfo), 0);
  EXPECT_EQ(info.st_uid, catalogueInfo.st_uid);
  EXPECT_EQ(info.st_gid, catalogueInfo.st_gid);
}

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

// One walk of a mounted catalogue through descriptors, so that every name, inode number and
// description comes from the directory the walk holds open, never from a path looked up again.
struct Snapshot {
  bool whole = false;  // false when a step failed (ESTALE once a view is replaced)
  int failure = 0;
  uint64_t rootInode = 0;
  std::map<std::string, std::string> descriptions;  // path -> user.description
  std::map<std::string, uint64_t> inodes;
};

bool WalkDescriptor(int directory, const std::string& prefix, Snapshot* snapshot) {
  int listing = dup(directory);
  DIR* entries = listing >= 0 ? fdopendir(listing) : nullptr;
  if (entries == nullptr) {
    if (listing >= 0) close(listing);
    snapshot->failure = errno;
    return false;
  }
  errno = 0;
  std::vector<std::pair<std::string, uint64_t>> names;
  while (const dirent* entry = readdir(entries)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name, entry->d_ino);
  }
  int readError = errno;
  closedir(entries);
  if (readError != 0) {
    snapshot->failure = readError;
    return false;
  }
  for (const auto& [name, listedInode] : names) {
    const std::string path = prefix + name;
    int item = openat(directory, name.c_str(), O_PATH | O_NOFOLLOW);
    struct stat info;
    if (item < 0 || fstat(item, &info) != 0) {
      snapshot->failure = errno;
      if (item >= 0) close(item);
      return false;
    }
    // The descriptor's own inode answers, through its link in /proc.
    char value[512];
    std::string link = "/proc/self/fd/" + std::to_string(item);
    ssize_t length = getxattr(link.c_str(), "user.description", value, sizeof value);
    int xattrError = errno;
    close(item);
    if (length < 0 && xattrError != ENODATA) {
      snapshot->failure = xattrError;
      return false;
    }
    snapshot->descriptions[path] = length < 0 ? "" : std::string(value, size_t(length));
    snapshot->inodes[path] = info.st_ino;
    if (info.st_ino != listedInode) {
      ADD_FAILURE() << path << ": listed as inode " << listedInode << ", is " << info.st_ino;
    }
    if (S_ISDIR(info.st_mode)) {
      int below = openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY);
      if (below < 0) {
        snapshot->failure = errno;
        return false;
      }
      bool whole = WalkDescriptor(below, path + "/", snapshot);
      close(below);
      if (!whole) return false;
    }
  }
  return true;
}

Snapshot TakeSnapshot(const std::string& root) {
  Snapshot snapshot;
  int directory = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  struct stat info;
  if (directory < 0 || fstat(directory, &info) != 0) {
    snapshot.failure = errno;
    if (directory >= 0) close(directory);
    return snapshot;
  }
  snapshot.rootInode = info.st_ino;
  snapshot.whole = WalkDescriptor(directory, "", &snapshot);
  close(directory);
  return snapshot;
}

// A walk that was not cut short by a replacement, tried again while one is.
Snapshot WholeSnapshot(const std::string& root) {
  Snapshot snapshot;
  for (int tries = 0; tries < 100; ++tries) {
    snapshot = TakeSnapshot(root);
    if (snapshot.whole) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return snapshot;
}

// A catalogue in two versions of the same shape, so that the old listing's node numbers name
// different items in the new one; and one large enough to evict the small one from 1 MiB.
catwriter::MurNode MurItem(const std::string& name, const std::string& description,
                           std::vector<catwriter::MurNode> children = {}, bool directory = false) {
  catwriter::MurNode node;
  node.name = name;
  node.description = description;
  node.isDirectory = directory || !children.empty();
  node.children = std::move(children);
  node.stamp = MakeDosStamp(2001, 2, 3, 4, 5, 6);
  return node;
}

std::vector<uint8_t> FirstVersion() {
  catwriter::MurTree tree;
  tree.top = {MurItem("alpha", "old alpha", {MurItem("a1", "old a1")}),
              MurItem("beta", "old beta", {MurItem("b1", "old b1")}), MurItem("gamma", "old gamma"),
              MurItem("omega", "old omega")};
  return catwriter::BuildMur(tree).bytes;
}

std::vector<uint8_t> SecondVersion() {
  catwriter::MurTree tree;
  tree.top = {
      MurItem("alpha", "new alpha"),
      MurItem("beta", "new beta", {MurItem("newdir", "new dir", {MurItem("n1", "new n1")})}),
      MurItem("delta", "new delta")};
  return catwriter::BuildMur(tree).bytes;
}

std::vector<uint8_t> LargeCatalogue() {
  catwriter::MurTree tree;
  for (int folder = 0; folder < 200; ++folder) {
    std::vector<catwriter::MurNode> files;
    for (int file = 0; file < 150; ++file) {
      files.push_back(MurItem("a rather long file name " + std::to_string(file), ""));
      files.back().description.reset();
    }
    tree.top.push_back(MurItem("folder" + std::to_string(folder), "", std::move(files)));
    tree.top.back().description.reset();
  }
  return catwriter::BuildMur(tree).bytes;
}

class ChangingCatalogueTest : public CatmountTest {
 protected:
  // path -> description of a catalogue file, by the documented rules from cathost's items.
  std::map<std::string, std::string> DescriptionsOf(const std::string& catalogue) {
    ExpectedTree expected;
    for (const auto& item : CathostItems(catalogue)) expected.Add(item);
    std::map<std::string, std::string> descriptions;
    for (const auto& [path, entry] : expected.entries()) descriptions[path] = entry.description;
    return descriptions;
  }

  // Which of `versions` the snapshot shows whole, or -1; checks that its inode numbers are
  // one view's, each used once.
  static int VersionShown(const Snapshot& snapshot,
                          const std::vector<std::map<std::string, std::string>>& versions) {
    std::set<uint64_t> seen;
    for (const auto& [path, inode] : snapshot.inodes) {
      EXPECT_EQ(inode >> 32, snapshot.rootInode >> 32) << path << " is another view's";
      EXPECT_TRUE(seen.insert(inode).second) << path << " shares inode " << inode;
    }
    for (size_t version = 0; version < versions.size(); ++version) {
      if (snapshot.descriptions == versions[version]) return static_cast<int>(version);
    }
    return -1;
  }
};

std::string Describe(const Snapshot& snapshot) {
  std::string text = "root " + std::to_string(snapshot.rootInode) + ":";
  for (const auto& [path, description] : snapshot.descriptions) {
    text += " " + path + "=" + description + "@" + std::to_string(snapshot.inodes.at(path));
  }
  return text;
}

// A folder mount whose catalogue is replaced, truncated and deleted while its listing is
// evicted: every walk, also by readers running all the while, shows one version of the file
// whole, under inode numbers of one view that belong to that version alone.
TEST_F(ChangingCatalogueTest, ChangedCataloguesAreServedWholeUnderNewInodeNumbers) {
  SKIP_WITHOUT_FUSE();
  const std::string folder = dir_ + "/cats";
  fs::create_directory(folder);
  const std::string first = Write("first.mur", FirstVersion());
  const std::string second = Write("second.mur", SecondVersion());
  std::vector<uint8_t> cutBytes = FirstVersion();
  // Cut inside the last item: the items before it stay, the listing stops there.
  const off_t cutSize = static_cast<off_t>(cutBytes.size() - 8);
  cutBytes.resize(static_cast<size_t>(cutSize));
  const std::string cut = Write("cut.mur", cutBytes);
  Write("cats/large.mur", LargeCatalogue());
  const std::string catalogue = folder + "/A.mur";
  auto install = [&](const std::string& from) {
    // Atomically, as a writer should: a copy renamed over the catalogue.
    fs::copy_file(from, catalogue + ".new", fs::copy_options::overwrite_existing);
    ASSERT_EQ(rename((catalogue + ".new").c_str(), catalogue.c_str()), 0);
  };
  install(first);
  const std::vector<std::map<std::string, std::string>> versions = {
      DescriptionsOf(first), DescriptionsOf(second), DescriptionsOf(cut), {}};
  ASSERT_NE(versions[0], versions[2]);
  ASSERT_EQ(versions[0].at("alpha"), "old alpha");

  Mount mount(folder, mountPoint_, LogPath(), {"--cache-mib", "1", "--listing-mib", "64"});
  ASSERT_TRUE(mount.mounted()) << mount.Log();
  const std::string mounted = mountPoint_ + "/A.mur";
  // Extended attributes are never cached by the kernel: asking lists the large catalogue.
  const std::string large = mountPoint_ + "/large.mur";
  // The view each catalogue's root inode number stands for, and the version it showed.
  std::mutex viewsMutex;
  std::map<uint64_t, int> versionOfView;
  auto record = [&](const Snapshot& snapshot, int version) {
    std::lock_guard<std::mutex> lock(viewsMutex);
    auto [at, added] = versionOfView.emplace(snapshot.rootInode >> 32, version);
    EXPECT_EQ(at->second, version)
        << "view " << (snapshot.rootInode >> 32) << " showed two versions";
  };

  std::atomic<bool> done{false};
  std::atomic<int> wholeWalks{0}, cutWalks{0};
  std::vector<std::thread> readers;
  for (int reader = 0; reader < 3; ++reader) {
    readers.emplace_back([&] {
      while (!done) {
        Snapshot snapshot = TakeSnapshot(mounted);
        if (!snapshot.whole) {
          ++cutWalks;
          EXPECT_TRUE(snapshot.failure == ESTALE || snapshot.failure == ENOENT)
              << std::strerror(snapshot.failure);
          continue;
        }
        int version = VersionShown(snapshot, versions);
        EXPECT_NE(version, -1) << "a mixed view: " << Describe(snapshot);
        if (version != -1) record(snapshot, version);
        ++wholeWalks;
      }
    });
  }
  // Each step changes the file, evicts its listing by listing the large catalogue, and checks
  // that a new walk shows the new version.
  struct Step {
    const char* what;
    std::function<void()> change;
    int version;
  };
  const std::vector<Step> steps = {
      {"replaced", [&] { install(second); }, 1},
      {"replaced back", [&] { install(first); }, 0},
      {"truncated", [&] { ASSERT_EQ(truncate(catalogue.c_str(), cutSize), 0); }, 2},
      {"replaced whole", [&] { install(first); }, 0},
      {"deleted", [&] { ASSERT_EQ(unlink(catalogue.c_str()), 0); }, 3},
      {"made again", [&] { install(second); }, 1},
  };
  Snapshot before = WholeSnapshot(mounted);
  ASSERT_TRUE(before.whole);
  EXPECT_EQ(VersionShown(before, versions), 0) << Describe(before);
  for (int round = 0; round < 3; ++round) {
    for (const Step& step : steps) {
      step.change();
      EXPECT_EQ(XattrOf(large, "user.catalogue.items"), "30200");
      Snapshot after = WholeSnapshot(mounted);
      ASSERT_TRUE(after.whole) << step.what << ": " << std::strerror(after.failure);
      EXPECT_EQ(VersionShown(after, versions), step.version)
          << step.what << ": " << Describe(after);
      EXPECT_NE(after.rootInode, before.rootInode) << step.what << ": the same view";
      record(after, step.version);
      if (step.version == 3) {
        EXPECT_EQ(XattrOf(mounted, "user.catalogue.status"), "not listed: no such file");
      }
      before = after;
    }
  }
  done = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_GT(wholeWalks.load(), 0);
  EXPECT_GE(versionOfView.size(), 18u);
  std::printf("[ measured ] readers: %d whole walks, %d cut short by a replaced view; %zu views\n",
              wholeWalks.load(), cutWalks.load(), versionOfView.size());
  EXPECT_TRUE(mount.Unmount()) << mount.Log();
}

// A ZEX catalogue of 2 MB whose directory records all share one range of 60000 entries: it
// delivers 60000 items per directory, 18 million in all.
std::vector<uint8_t> AmplifiedZex() {
  catwriter::ZexTree tree;
  catwriter::ZexDir full;
  full.name = "FULL";
  for (int file = 0; file < 60000; ++file) {
    catwriter::ZexFile entry;
    entry.name = std::string("F").append(std::to_string(100000 + file).substr(1));
    entry.size = static_cast<uint32_t>(file);
    full.files.push_back(entry);
  }
  tree.dirs.push_back(full);
  for (int dir = 0; dir < 300; ++dir) {
    catwriter::ZexDir empty;
    empty.name = std::string("D").append(std::to_string(1000 + dir).substr(1));
    tree.dirs.push_back(empty);
  }
  catwriter::ZexImage image = catwriter::BuildZex(tree);
  // The records of the empty directories take FULL's first entry and entry count.
  const uint32_t fullRecord = image.layout.dirRecordOffsets[1];
  for (size_t record = 2; record < image.layout.dirRecordOffsets.size(); ++record) {
    std::copy_n(image.bytes.begin() + fullRecord + catwriter::zex::kFirstEntryField,
                catwriter::zex::kDirRecordSize - catwriter::zex::kFirstEntryField,
                image.bytes.begin() + image.layout.dirRecordOffsets[record] +
                    catwriter::zex::kFirstEntryField);
  }
  return image.bytes;
}

// Under a sanitizer, catmount's memory is the sanitizer's (shadow memory, quarantine): the
// bounds below are not its own.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedMemory = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitizedMemory = true;
#else
constexpr bool kSanitizedMemory = false;
#endif
#else
constexpr bool kSanitizedMemory = false;
#endif

long AvailableMemoryKiB() {
  std::istringstream info(ReadWholeFile("/proc/meminfo"));
  std::string line;
  while (std::getline(info, line)) {
    if (line.rfind("MemAvailable:", 0) == 0) return std::stol(line.substr(13));
  }
  return 0;
}

// A listing stops at the item limit or at the listing's memory limit, says so in its status,
// keeps what it listed, and the process stays within the limit plus a fixed allowance.
TEST_F(CatmountTest, ListingsStopAtTheirLimitsWithinBoundedMemory) {
  SKIP_WITHOUT_FUSE();
  const std::string catalogue = Write("amplified.zex", AmplifiedZex());
  ASSERT_LT(fs::file_size(catalogue), 2u << 20);
  // The program, its modules and the catalogue's image, without a listing: about 10 MiB.
  constexpr long kAllowanceKiB = 24 << 10;
  {
    Mount mount(catalogue, mountPoint_, LogPath(), {"--max-items", "100000"});
    ASSERT_TRUE(mount.mounted()) << mount.Log();
    const std::string status = XattrOf(mountPoint_, "user.catalogue.status").value_or("");
    EXPECT_EQ(status.rfind("stopped at item 100001: ", 0), 0u) << status;
    EXPECT_EQ(XattrOf(mountPoint_, "user.catalogue.items"), "100000");
    EXPECT_TRUE(fs::exists(mountPoint_ + "/FULL/F59999"));
    // FULL and its 60000 files, D000 and 39998 of its files.
    EXPECT_TRUE(fs::exists(mountPoint_ + "/D000/F39997"));
    EXPECT_FALSE(fs::exists(mountPoint_ + "/D000/F39998"));
    EXPECT_NE(mount.Log().find(status), std::string::npos) << mount.Log();
    if (!kSanitizedMemory) {
      EXPECT_LT(mount.PeakResidentKiB(), kAllowanceKiB) << "KiB at its peak";
    }
  }
  // By memory: 32 MiB of tree, well before the default 10 million items.
  constexpr long kListingMiB = 32;
  Mount mount(catalogue, mountPoint_, LogPath(), {"--listing-mib", std::to_string(kListingMiB)});
  ASSERT_TRUE(mount.mounted()) << mount.Log();
  const std::string status = XattrOf(mountPoint_, "user.catalogue.status").value_or("");
  EXPECT_EQ(status.rfind("stopped at item ", 0), 0u) << status;
  const uint64_t items = std::stoull(XattrOf(mountPoint_, "user.catalogue.items").value_or("0"));
  EXPECT_GT(items, 200000u);
  EXPECT_LT(items, 1000000u);
  EXPECT_TRUE(fs::exists(mountPoint_ + "/D001/F00000"));
  // A table that grows by doubling holds its old copy while it moves: twice the limit at most.
  const long peak = mount.PeakResidentKiB();
  if (!kSanitizedMemory) {
    EXPECT_LT(peak, 2 * (kListingMiB << 10) + kAllowanceKiB) << "KiB at its peak";
  }
  std::printf("[ measured ] %s: %llu items listed, peak resident %ld KiB\n", status.c_str(),
              static_cast<unsigned long long>(items), peak);
}

// A sparse file of almost 4 GiB holding one item: the module reads the whole file into memory
// (the format's rule), catmount itself adds little and reserves nothing from the file's size.
TEST_F(CatmountTest, ALargeSparseCatalogueCostsItsImageAndLittleMore) {
  SKIP_WITHOUT_FUSE();
  if (kSanitizedMemory) GTEST_SKIP() << "memory is measured without a sanitizer only";
  constexpr off_t kSparseSize = (off_t{1} << 32) - 2;  // the largest size the modules read whole
  const long neededKiB = static_cast<long>(kSparseSize >> 10) + (1 << 20);
  if (AvailableMemoryKiB() < neededKiB) {
    GTEST_SKIP() << "the module's image of a 4 GiB file needs " << neededKiB
                 << " KiB of memory available, and there is " << AvailableMemoryKiB();
  }
  catwriter::MurTree tree;
  tree.top = {MurItem("only", "the one item")};
  const std::string catalogue = Write("sparse.mur", catwriter::BuildMur(tree).bytes);
  ASSERT_EQ(truncate(catalogue.c_str(), kSparseSize), 0);
  // Reading 4 GiB of holes takes 20 seconds and more on a busy machine.
  Mount mount(catalogue, mountPoint_, LogPath(), {}, /*waitSeconds=*/100);
  ASSERT_TRUE(mount.mounted()) << mount.Log();
  EXPECT_EQ(XattrOf(mountPoint_ + "/only", "user.description"), "the one item");
  EXPECT_EQ(XattrOf(mountPoint_, "user.catalogue.status"), "complete");
  const long peak = mount.PeakResidentKiB();
  EXPECT_LT(peak, static_cast<long>(kSparseSize >> 10) + (48 << 10)) << "KiB at its peak";
  std::printf("[ measured ] sparse %lld-byte catalogue: peak resident %ld KiB\n",
              static_cast<long long>(kSparseSize), peak);
}

// Every byte of a name that a terminal would obey, or that is no UTF-8, is shown escaped.
// The library without a mount: modules beside catmount, as catmount loads them.
class CatalogueLibraryTest : public CatmountTest {
 protected:
  std::unique_ptr<catmount::CatalogueLibrary> Library(size_t cacheBytes) {
    std::vector<FormatModule> modules;
    std::string error;
    const std::string beside = fs::path(CATMOUNT_PATH).parent_path().string();
    EXPECT_TRUE(
        catmount::LoadModules({beside + "/mur_fmt.so", beside + "/zex_fmt.so"}, &modules, &error))
        << error;
    return std::make_unique<catmount::CatalogueLibrary>(std::move(modules), cacheBytes);
  }
};

// A directory given as a single catalogue fails as cathost fails for it.
TEST_F(CatalogueLibraryTest, ADirectoryFailsWithCathostsStatus) {
  std::string error;
  EXPECT_EQ(Library(1 << 20)->OpenSingle(dir_, &error), kExitIsDirectory) << error;
  EXPECT_NE(error.find("is a directory"), std::string::npos) << error;
  EXPECT_EQ(Run({CATHOST_PATH, dir_}).exitStatus, kExitIsDirectory);
}

// A listing made again from a changed file is a new view; the old one is reported replaced,
// once, and a listing made again from an unchanged file keeps its view.
TEST_F(CatalogueLibraryTest, ListingsOfAChangedFileAreNewViews) {
  fs::create_directory(dir_ + "/cats");
  const std::string catalogue = Write("cats/A.mur", FirstVersion());
  Write("cats/B.mur", SecondVersion());
  auto library = Library(1);  // every listing but the newest is evicted
  std::string error;
  ASSERT_EQ(library->OpenFolder(dir_ + "/cats", &error, nullptr), kExitOk) << error;
  std::vector<std::pair<std::string, uint32_t>> replaced;
  library->OnViewReplaced(
      [&](const std::string& name, uint32_t view) { replaced.emplace_back(name, view); });
  const uint32_t first = library->CurrentView(0, nullptr);
  auto shown = library->Listing(first);
  ASSERT_NE(shown, nullptr);
  EXPECT_NE(shown->tree.Lookup(catmount::CatalogueTree::kRoot, "gamma"),
            catmount::CatalogueTree::kNone);
  // Evicted and listed again, unchanged: the same view.
  ASSERT_NE(library->Listing(library->CurrentView(1, nullptr)), nullptr);
  ASSERT_NE(library->Listing(first), nullptr);
  EXPECT_EQ(library->CurrentView(0, nullptr), first);
  EXPECT_TRUE(replaced.empty());
  shown = library->Listing(first);
  // While listed, a changed file is served as it was; once evicted, its next listing is new.
  ASSERT_EQ(rename(Write("second.mur", SecondVersion()).c_str(), catalogue.c_str()), 0);
  EXPECT_EQ(library->Listing(first), shown);
  ASSERT_NE(library->Listing(library->CurrentView(1, nullptr)), nullptr);
  EXPECT_EQ(library->Listing(first), nullptr);
  const uint32_t second = library->CurrentView(0, nullptr);
  EXPECT_GT(second, first);
  size_t index = 99;
  EXPECT_EQ(library->FindView(first, &index, nullptr), catmount::ViewState::kReplaced);
  EXPECT_EQ(library->FindView(second, &index, nullptr), catmount::ViewState::kCurrent);
  EXPECT_EQ(index, 0u);
  EXPECT_EQ(library->FindView(second + 100, &index, nullptr), catmount::ViewState::kUnknown);
  auto now = library->Listing(second);
  ASSERT_NE(now, nullptr);
  EXPECT_NE(now->tree.Lookup(catmount::CatalogueTree::kRoot, "delta"),
            catmount::CatalogueTree::kNone);
  EXPECT_EQ(replaced, (std::vector<std::pair<std::string, uint32_t>>{{"A.mur", first}}));
  // Deleted: a view of its own, empty, whose status says why.
  ASSERT_NE(library->Listing(library->CurrentView(1, nullptr)), nullptr);
  ASSERT_EQ(unlink(catalogue.c_str()), 0);
  EXPECT_EQ(library->Listing(second), nullptr);
  auto deleted = library->Listing(library->CurrentView(0, nullptr));
  ASSERT_NE(deleted, nullptr);
  EXPECT_EQ(deleted->tree.NodeCount(), 1u);
  EXPECT_EQ(deleted->tree.Status(), "not listed: no such file");
  EXPECT_EQ(replaced.size(), 2u);
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

// The tree's memory stays within 64 bytes per item plus the names, and lookups find every item
// among many siblings.
TEST(CatalogueTreeTest, HoldsManyItemsCompactly) {
  catmount::TreeBuilder builder;
  ItemRecord item{};
  ItemDetails details{};
  size_t nameBytes = 0;
  constexpr int kFolders = 100;
  constexpr int kFiles = 1000;
  for (int folder = 0; folder < kFolders; ++folder) {
    std::string folderName = "folder" + std::to_string(folder);
    std::snprintf(item.cFileName, sizeof item.cFileName, "%s", folderName.c_str());
    item.dwFileAttributes = 0x1010;
    ASSERT_TRUE(builder.Add(item, details, false));
    nameBytes += folderName.size();
    for (int file = 0; file < kFiles; ++file) {
      std::string fileName = "file" + std::to_string(file) + ".txt";
      std::snprintf(item.cFileName, sizeof item.cFileName, "%s\\%s", folderName.c_str(),
                    fileName.c_str());
      item.dwFileAttributes = 0x1020;
      item.nFileSizeLow = static_cast<uint32_t>(file);
      ASSERT_TRUE(builder.Add(item, details, false));
      nameBytes += fileName.size();
    }
  }
  catmount::CatalogueTree tree = builder.Finish("complete");
  const size_t items = kFolders * (kFiles + 1);
  EXPECT_EQ(tree.ItemCount(), items);
  EXPECT_LE(tree.MemoryBytes(), 64 * items + nameBytes);
  uint32_t folder = tree.Lookup(catmount::CatalogueTree::kRoot, "folder42");
  ASSERT_NE(folder, catmount::CatalogueTree::kNone);
  ASSERT_EQ(tree.Children(folder).size(), static_cast<size_t>(kFiles));
  EXPECT_EQ(tree.Name(tree.Children(folder)[7]), "file7.txt");
  uint32_t file = tree.Lookup(folder, "file777.txt");
  ASSERT_NE(file, catmount::CatalogueTree::kNone);
  EXPECT_EQ(tree.Size(file), 777u);
  EXPECT_EQ(tree.Lookup(folder, "file1000.txt"), catmount::CatalogueTree::kNone);
}

}  // namespace
