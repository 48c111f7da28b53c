// Catalogues that change under a folder mount: replaced, truncated and deleted while readers
// walk them, each walk shows one version whole under inode numbers of its own; and the
// library that lists them, without a mount.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/hosts/catmount/catmount_fixture.h"
#include "tools/hosts/catmount/catalogue_library.h"
#include "tools/hosts/catmount/catalogue_tree.h"
#include "tools/writer/mur_writer.h"

namespace {

using namespace catmount_test;

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

// A catalogue large enough to evict a small one from 1 MiB.
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

// A folder mount whose catalogue, in a subfolder, is replaced, truncated and deleted while its
// listing is evicted: every walk, also by readers running all the while, shows one version of
// the file whole, under inode numbers of one view that belong to that version alone.
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
  fs::create_directories(folder + "/1990s/disks");
  const std::string catalogue = folder + "/1990s/disks/A.mur";
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
  const std::string mounted = mountPoint_ + "/1990s/disks/A.mur";
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
  library->OnViewReplaced([&](const catmount::CatalogueFile& catalogue, uint32_t view) {
    replaced.emplace_back(catalogue.name, view);
  });
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

}  // namespace
