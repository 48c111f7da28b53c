// The catmount tests' shared pieces: FUSE mounts run and waited for, the tree a mount shows
// walked with its extended attributes, the tree the documented rules make of cathost's items,
// the fixture with its scratch folder and mount point, and small MUR catalogues.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/catmount_names.h"
#include "tests/support/child_output.h"
#include "tests/support/program_run.h"
#include "tests/support/scratch.h"
#include "tools/writer/bytes.h"
#include "tools/writer/mur_writer.h"

namespace catmount_test {

namespace fs = std::filesystem;
using catwriter::MakeDosStamp;

constexpr int64_t kSecondsFrom1601To1970 = 11'644'473'600;

// Unmounts a FUSE mount as users do; true when fusermount3 says it did.
inline bool FuseUnmount(const std::string& mountPoint) {
  return program_run::Run({"fusermount3", "-u", mountPoint}).exitStatus == 0;
}

// Why mounting cannot be tested here, or empty when it can.
inline std::string FuseMissing() {
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

inline bool IsMounted(const std::string& path) {
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

inline std::optional<std::string> XattrOf(const std::string& path, const char* name) {
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

inline std::ostream& operator<<(std::ostream& out, const Entry& e) {
  return out << (e.directory ? "d" : "f") << (e.listed ? "" : " implied") << " size " << e.size
             << " m " << e.mtimeTicks << " a " << e.atimeTicks << " c " << e.ctimeTicks << " ["
             << e.description << "] " << e.letters;
}

// Times compare in the catalogue's own unit, 100 ns since 1970: in nanoseconds a stamp of 1601
// (time 0, which damaged stamps give) would not fit in 64 bits.
inline int64_t Ticks(const timespec& time) {
  return int64_t{time.tv_sec} * 10'000'000 + time.tv_nsec / 100;
}

inline int64_t TicksOfFileTime(uint64_t ticks) {
  return (static_cast<int64_t>(ticks / 10'000'000) - kSecondsFrom1601To1970) * 10'000'000 +
         static_cast<int64_t>(ticks % 10'000'000);
}

// Every entry below `root`, by path relative to it, with stat and extended attributes.
inline std::map<std::string, Entry> WalkMount(const std::string& root) {
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
inline std::map<std::string, std::string> ParseJsonLine(const std::string& line) {
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

inline std::vector<std::string> SplitBackslashes(const std::string& path) {
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

// An item of a MUR tree, stamped 2001-02-03 04:05:06; a directory when it has children.
inline catwriter::MurNode MurItem(const std::string& name, const std::string& description,
                                  std::vector<catwriter::MurNode> children = {},
                                  bool directory = false) {
  catwriter::MurNode node;
  node.name = name;
  node.description = description;
  node.isDirectory = directory || !children.empty();
  node.children = std::move(children);
  node.stamp = MakeDosStamp(2001, 2, 3, 4, 5, 6);
  return node;
}

// A catalogue in two versions of the same shape, so that the old listing's node numbers name
// different items in the new one.
inline std::vector<uint8_t> FirstVersion() {
  catwriter::MurTree tree;
  tree.top = {MurItem("alpha", "old alpha", {MurItem("a1", "old a1")}),
              MurItem("beta", "old beta", {MurItem("b1", "old b1")}), MurItem("gamma", "old gamma"),
              MurItem("omega", "old omega")};
  return catwriter::BuildMur(tree).bytes;
}

inline std::vector<uint8_t> SecondVersion() {
  catwriter::MurTree tree;
  tree.top = {
      MurItem("alpha", "new alpha"),
      MurItem("beta", "new beta", {MurItem("newdir", "new dir", {MurItem("n1", "new n1")})}),
      MurItem("delta", "new delta")};
  return catwriter::BuildMur(tree).bytes;
}

}  // namespace catmount_test
