// mkcat: catalogues a directory tree into a ZEX or MUR catalogue.
//
//   mkcat [OPTIONS] zex|mur OUTPUT DIRECTORY      (OUTPUT "-" is standard output)
//   mkcat [OPTIONS] OUTPUT.zex|OUTPUT.mur DIRECTORY
//
// The catalogue's root holds DIRECTORY's contents. Entries are sorted bytewise by name so
// that the same tree always gives the same bytes. Symbolic links are followed only with -L.
// What cannot be read is skipped with a warning, as tar and find do, and the run goes on.
//
// The walk (tools/common/folder_walk) keeps one folder open at a time (besides the root): it
// reads a folder's entries whole, opens a subfolder relative to it and closes it, and comes back
// up through "..", checking device and inode at every step, so that neither the length of a
// path nor the number of open files limits the depth, and a folder swapped for a link is never
// followed. The catalogue is then built on a thread whose stack grows with the depth found.
#include <fcntl.h>
#include <fnmatch.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalogue_version.h"
#include "tools/common/display_text.h"
#include "tools/common/folder_walk.h"
#include "tools/common/option_parser.h"
#include "tools/writer/bytes.h"
#include "tools/writer/mur_writer.h"
#include "tools/writer/progress.h"
#include "tools/writer/replacement_file.h"
#include "tools/writer/short_names.h"
#include "tools/writer/text.h"
#include "tools/writer/zex_writer.h"

namespace {

using namespace catwriter;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // also: written, but entries or descriptions were not read
constexpr int kExitUsage = 2;
constexpr uint64_t kMaxRecordedSize = 0xFFFFFFFF;  // sizes are 32-bit in both formats
// Both modules list paths of up to 259 characters; a longer one is cut and its item damaged.
constexpr size_t kMaxListedPath = 259;
// Both modules deliver at most 255 bytes of a description (the host's field and its end).
constexpr size_t kMaxListedDescription = 255;
// ZEX directory records number their first entry, count their files and give their level in
// 16 bits.
constexpr uint64_t kZexMaxU16 = 0xFFFF;
// The catalogue is built by functions that recurse once per level of the tree; their thread
// gets this much stack per level on top of a base: a level takes under 1 KiB in an optimised
// build and up to about 8 KiB under AddressSanitizer (measured on 65,535 levels).
constexpr size_t kStackPerLevel = 8192;
constexpr size_t kBaseStack = 16u << 20;

constexpr const char* kHelp =
    "usage: mkcat [OPTIONS] zex|mur OUTPUT DIRECTORY\n"
    "       mkcat [OPTIONS] OUTPUT.zex|OUTPUT.mur DIRECTORY\n"
    "\n"
    "Writes a catalogue of DIRECTORY's contents to OUTPUT (\"-\": standard output).\n"
    "  zex   8.3 names made as DOS and Windows make short names, local time stamps,\n"
    "        descriptions in code page 437\n"
    "  mur   long names and descriptions in Windows code page 1252, UTC time stamps\n"
    "Without a format, OUTPUT's extension (.zex or .mur, any case) names it.\n"
    "A file named descript.ion (any case) in a directory gives descriptions to the\n"
    "entries beside it. Symbolic links (without -L) and special files are recorded as\n"
    "empty files.\n"
    "OUTPUT is replaced whole or not at all (a temporary file beside it is renamed\n"
    "over it), and is never catalogued itself, even inside DIRECTORY.\n"
    "On a terminal, standard error shows the progress: files, folders, bytes and the\n"
    "folder being read.\n"
    "\n"
    "  -v, --verbose          report counts on standard error\n"
    "      --exclude GLOB     leave out the entries GLOB matches, and all below them\n"
    "                         (repeatable); a GLOB without \"/\" is matched against\n"
    "                         each name, one with \"/\" against the whole path below\n"
    "                         DIRECTORY (\"*\" matching no \"/\"; a leading \"/\" is\n"
    "                         dropped): --exclude '$RECYCLE.BIN' --exclude '.Trash-*'\n"
    "  -x, --one-file-system  do not descend into folders of other file systems\n"
    "                         (mount points below DIRECTORY); they stay empty folders\n"
    "  -L, --dereference      follow symbolic links: to a file, its target's size and\n"
    "                         time; to a folder, its contents. A folder that leads\n"
    "                         back to one it lies in is not entered again (a warning)\n"
    "      --description-charset NAME\n"
    "                         the character set of descript.ion files: utf-8, cp437,\n"
    "                         cp850, cp1252, or auto (the default: UTF-8 when a file\n"
    "                         is well-formed UTF-8, else cp850, the code page of\n"
    "                         Western European DOS)\n"
    "  -h, --help             show this help\n"
    "      --version          show the version\n"
    "\n"
    "Warnings (standard error, one line each, and a count at the end):\n"
    "  - a file or folder that cannot be read is skipped, and the run goes on;\n"
    "  - a descript.ion file that cannot be read: its folder's entries are\n"
    "    catalogued without descriptions (counted as descriptions not read);\n"
    "  - a path longer than 259 characters in the catalogue: the item is written, but the\n"
    "    format modules list it as damaged, with its path cut (said once for a folder\n"
    "    and the items inside it);\n"
    "  - mur: a name changed to be one Windows can hold: characters code page 1252\n"
    "    lacks, \\ / : * ? \" < > |, control characters and trailing dots and\n"
    "    spaces become '_'; a device name (CON, NUL, COM1, ...) before the first dot\n"
    "    gets '_' after it; names that would then be equal, letter case aside, are\n"
    "    made unique with ~2, ~3, ... before the extension;\n"
    "  - a description changed: characters the code page lacks (437 for zex, 1252 for\n"
    "    mur) and control characters become '?' (a tab a blank); one longer than 255\n"
    "    characters is cut to the 255 that a listing shows;\n"
    "  - a size above 4 GiB - 1, recorded as 4 GiB - 1.\n"
    "zex refuses a tree past the format's 16-bit limits before writing anything.\n"
    "A name or path in a message that holds control characters or malformed UTF-8\n"
    "is shown in single quotes, those bytes as \\ooo octal escapes.\n"
    "\n"
    "Exit status:\n"
    "  0  the catalogue was written with every entry and description that was read\n"
    "     (excluded entries and changes made to fit the format aside)\n"
    "  1  the catalogue was written, but entries or a descript.ion file could not be\n"
    "     read; or it was not written (the message says why)\n"
    "  2  usage error, or the text of --help or --version could not be written\n";

// A failure that ends the run; the message already names the path.
struct ToolError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string ErrnoMessage(const std::string& path, int error) {
  return ShownName(path) + ": " + std::strerror(error);
}

std::string EntriesText(uint64_t count) {
  return std::to_string(count) + (count == 1 ? " entry" : " entries");
}

// Whether the progress line is on the terminal, for the signal handler that clears it.
volatile sig_atomic_t gProgressShown = 0;
constexpr char kClearLine[] = "\r\033[K";

// The progress line on a terminal (standard error): drawn at most every 200 ms, over itself,
// and cleared before a warning and at the end. Off when standard error is no terminal.
class Progress {
 public:
  explicit Progress(bool on) : on_(on) {}
  ~Progress() { Clear(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // `folder` gives the path of the folder being read; called only when the line is drawn.
  template <typename FolderPath>
  void Update(uint64_t files, uint64_t folders, uint64_t bytes, const FolderPath& folder) {
    if (!on_) return;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t milliseconds = int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
    if (shown_ && milliseconds - drawn_ < 200) return;
    drawn_ = milliseconds;
    winsize size{};
    const size_t width =
        ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    const std::string line = ProgressLine(files, folders, bytes, folder(), width);
    std::fprintf(stderr, "%s%s", kClearLine, line.c_str());
    std::fflush(stderr);
    shown_ = true;
    gProgressShown = 1;
  }

  void Clear() {
    if (!shown_) return;
    std::fputs(kClearLine, stderr);
    std::fflush(stderr);
    shown_ = false;
    gProgressShown = 0;
  }

 private:
  bool on_;
  bool shown_ = false;
  int64_t drawn_ = 0;
};

// Warnings go out as they arise; the count comes at the end. Paths arrive raw and leave
// escaped; messages are the program's own words with any name in them already escaped.
class Reporter {
 public:
  explicit Reporter(Progress& progress) : progress_(progress) {}

  void Warn(const std::string& path, const std::string& message) {
    progress_.Clear();
    std::fprintf(stderr, "mkcat: %s: warning: %s\n", ShownName(path).c_str(), message.c_str());
    ++warnings_;
  }
  void Skip(const std::string& path, const std::string& reason) {
    Warn(path, reason + "; skipped");
    ++skipped_;
  }
  // A descript.ion that could not be read: the `entries` beside it are catalogued without
  // their descriptions.
  void DescriptionsNotRead(const std::string& path, const std::string& reason, uint64_t entries) {
    Warn(path, "cannot read the descriptions: " + reason + "; descriptions of " +
                   EntriesText(entries) + " not read");
    ++unreadFiles_;
    unreadEntries_ += entries;
  }
  // Whether something in the tree could not be read: an entry, or a descript.ion file.
  bool Incomplete() const { return skipped_ > 0 || unreadFiles_ > 0; }

  void PrintCount() const {
    if (warnings_ == 0) return;
    std::string count = std::to_string(warnings_) +
                        (warnings_ == 1 ? " warning, " : " warnings, ") + EntriesText(skipped_) +
                        " skipped";
    if (unreadFiles_ > 0) count += ", descriptions of " + EntriesText(unreadEntries_) + " not read";
    std::fprintf(stderr, "mkcat: %s\n", count.c_str());
  }

 private:
  Progress& progress_;
  uint64_t warnings_ = 0;
  uint64_t skipped_ = 0;
  uint64_t unreadFiles_ = 0;
  uint64_t unreadEntries_ = 0;
};

// What the command line asks of the walk.
struct WalkSettings {
  std::vector<std::string> excludes;
  bool oneFileSystem = false;
  bool followLinks = false;
  DescriptionCharset charset = DescriptionCharset::kAuto;
};

struct ScannedEntry {
  std::string name;
  bool isDirectory = false;
  bool skipped = false;  // a folder that could not be read
  bool viaLink = false;  // with -L: a symbolic link, its target's details recorded
  uint32_t size = 0;
  mode_t mode = 0;
  time_t mtime = 0;
  FileIdentity identity;
  std::optional<std::string> description;
  std::vector<ScannedEntry> children;
};

struct Counts {
  uint64_t directories = 0;
  uint64_t files = 0;
  uint64_t descriptions = 0;
  uint64_t bytes = 0;  // of the regular files, whole
  uint64_t excluded = 0;
};

// A path for messages, held as a chain of names so that deep trees do not copy long paths
// level by level; the string is made only when a message needs it.
struct PathLink {
  const PathLink* parent = nullptr;
  const std::string* name = nullptr;  // the root's path for the first link
};

std::string PathOf(const PathLink& link) {
  std::vector<const std::string*> names;
  for (const PathLink* at = &link; at != nullptr; at = at->parent) names.push_back(at->name);
  std::string path;
  for (size_t i = names.size(); i-- > 0;) folder_walk::AppendToPath(path, *names[i]);
  return path;
}

FileIdentity IdentityOf(const struct stat& info) {
  return {info.st_dev, info.st_ino};
}

// The whole of a regular file in the folder, or an errno value. Follows a link only when told
// to and never waits on a pipe put in the file's place after it was listed.
int ReadFileAt(int folderFd, const std::string& name, bool followLink, std::string* content) {
  const int fd = openat(folderFd, name.c_str(),
                        O_RDONLY | (followLink ? 0 : O_NOFOLLOW) | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat info {};
  const int statError = fstat(fd, &info) != 0 ? errno : S_ISREG(info.st_mode) ? 0 : EINVAL;
  if (statError != 0) {
    close(fd);
    return statError;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      close(fd);
      return error;
    }
    content->append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return 0;
}

// Reads the tree below a root folder as the folder walk enters it (see the top of the file):
// each folder's entries whole with their details and descriptions, then its subfolders in
// name order. Excluded names are not looked at; with -x a folder of another file system, and
// always a folder that leads back to one on the path to it, is recorded but not entered.
class TreeScanner : public folder_walk::Visitor {
 public:
  TreeScanner(std::string root, std::vector<FileIdentity> excluded, const WalkSettings& settings,
              Counts& counts, Reporter& reporter, Progress& progress)
      : root_(std::move(root)),
        excluded_(std::move(excluded)),
        settings_(settings),
        counts_(counts),
        reporter_(reporter),
        progress_(progress) {
    for (const std::string& pattern : settings_.excludes) {
      if (pattern.find('/') == std::string::npos) {
        namePatterns_.push_back(pattern);
        continue;
      }
      // Paths below the root have no leading slash.
      const size_t start = pattern.find_first_not_of('/');
      pathPatterns_.push_back(start == std::string::npos ? "" : pattern.substr(start));
    }
  }

  // The root's entries, with everything below them. Throws ToolError when the root cannot
  // be read at all.
  std::vector<ScannedEntry> Scan() {
    folder_walk::Walker walker;
    if (const int error = walker.Walk(root_, *this)) throw ToolError(ErrnoMessage(root_, error));
    depth_ = walker.Depth();
    return std::move(tree_);
  }

  // Levels below the root that the walk entered (a file in the root is at level 0).
  size_t depth() const { return depth_; }

 private:
  struct Frame {
    std::vector<ScannedEntry> entries;
    size_t next = 0;  // the next entry to look at for a subfolder
    FileIdentity identity;
    size_t relativeLength = 0;  // of relative_ before this folder's name
  };

  bool Excluded(const FileIdentity& identity) const {
    return std::find(excluded_.begin(), excluded_.end(), identity) != excluded_.end();
  }

  // Whether --exclude leaves out `name` in the folder at relative_.
  bool ExcludedByPattern(const std::string& name) const {
    for (const std::string& pattern : namePatterns_) {
      if (fnmatch(pattern.c_str(), name.c_str(), 0) == 0) return true;
    }
    if (pathPatterns_.empty()) return false;
    const std::string path = relative_.empty() ? name : relative_ + "/" + name;
    for (const std::string& pattern : pathPatterns_) {
      if (fnmatch(pattern.c_str(), path.c_str(), FNM_PATHNAME) == 0) return true;
    }
    return false;
  }

  // A folder's entries, their details and descriptions, as the new top frame.
  int Entered(folder_walk::Walker& walker, int fd, std::vector<std::string> names) override {
    // A folder that can be listed but not searched is skipped whole: none of its entries could
    // be looked at.
    struct stat self {};
    if (fstatat(fd, ".", &self, 0) != 0) return errno;
    Frame frame;
    frame.identity = IdentityOf(self);
    frame.relativeLength = relative_.size();
    if (frames_.empty()) {
      rootDevice_ = self.st_dev;
    } else {
      const Frame& parent = frames_.back();
      if (!relative_.empty()) relative_ += '/';
      relative_ += parent.entries[parent.next - 1].name;
    }
    const auto folderPath = [&walker] { return walker.Path(); };
    for (std::string& entryName : names) {
      if (ExcludedByPattern(entryName)) {
        ++counts_.excluded;
        continue;
      }
      struct stat info {};
      if (fstatat(fd, entryName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        reporter_.Skip(walker.PathOf(entryName),
                       std::string("cannot read: ") + std::strerror(errno));
        continue;
      }
      // With -L a link stands for its target; a link whose target is missing stays a link.
      bool viaLink = false;
      struct stat target {};
      if (settings_.followLinks && S_ISLNK(info.st_mode) &&
          fstatat(fd, entryName.c_str(), &target, 0) == 0) {
        info = target;
        viaLink = true;
      }
      // The catalogue being written is no part of the tree, wherever it lies.
      if (Excluded(IdentityOf(info))) continue;
      ScannedEntry entry;
      entry.name = std::move(entryName);
      entry.mode = info.st_mode;
      entry.mtime = info.st_mtime;
      entry.identity = IdentityOf(info);
      entry.isDirectory = S_ISDIR(info.st_mode);
      entry.viaLink = viaLink;
      if (!entry.isDirectory) {
        // Symbolic links not followed and special files are recorded as empty files: a link's
        // target may lie outside the tree or loop back into it, and a device or pipe has no
        // size.
        if (S_ISREG(info.st_mode)) {
          const uint64_t size = static_cast<uint64_t>(info.st_size);
          if (size > kMaxRecordedSize) {
            reporter_.Warn(walker.PathOf(entry.name),
                           "size above 4 GiB - 1, recorded as " + std::to_string(kMaxRecordedSize));
          }
          entry.size = static_cast<uint32_t>(std::min(size, kMaxRecordedSize));
          counts_.bytes += size;
        }
        ++counts_.files;
      }
      frame.entries.push_back(std::move(entry));
      progress_.Update(counts_.files, counts_.directories, counts_.bytes, folderPath);
    }
    ApplyDescriptions(walker, fd, frame.entries);
    frames_.push_back(std::move(frame));
    progress_.Update(counts_.files, counts_.directories, counts_.bytes, folderPath);
    return 0;
  }

  void ApplyDescriptions(const folder_walk::Walker& walker, int fd,
                         std::vector<ScannedEntry>& entries) {
    // The first descript.ion in sorted order wins; only a regular file is read.
    for (const ScannedEntry& entry : entries) {
      if (!IsDescriptIonName(entry.name) || !S_ISREG(entry.mode)) continue;
      std::string content;
      if (const int error = ReadFileAt(fd, entry.name, entry.viaLink, &content)) {
        reporter_.DescriptionsNotRead(walker.PathOf(entry.name), std::strerror(error),
                                      entries.size() - 1);
        return;
      }
      const DescriptionList list = ParseDescriptIon(content, settings_.charset);
      for (ScannedEntry& described : entries) {
        if (const std::string* text = list.Find(described.name)) described.description = *text;
      }
      return;
    }
  }

  std::optional<folder_walk::Subfolder> Next(folder_walk::Walker& walker) override {
    Frame& top = frames_.back();
    for (;;) {
      while (top.next < top.entries.size() && !top.entries[top.next].isDirectory) ++top.next;
      if (top.next == top.entries.size()) return std::nullopt;
      const ScannedEntry& entry = top.entries[top.next++];
      // Recorded as an empty folder, not entered: a folder of another file system (-x), as
      // du -x and find -xdev leave a mount point, and one that leads back to a folder on the
      // path to it (through a link with -L, or a bind mount).
      if (settings_.oneFileSystem && entry.identity.device != rootDevice_) {
        ++counts_.directories;
        continue;
      }
      if (std::any_of(frames_.begin(), frames_.end(),
                      [&](const Frame& frame) { return frame.identity == entry.identity; })) {
        reporter_.Warn(walker.PathOf(entry.name),
                       "not entered: it leads back to a folder it lies in (a loop); recorded as "
                       "an empty folder");
        ++counts_.directories;
        continue;
      }
      return folder_walk::Subfolder{
          entry.name, {entry.identity.device, entry.identity.inode}, entry.viaLink};
    }
  }

  void NotEntered(folder_walk::Walker& walker, const folder_walk::Subfolder& subfolder,
                  const std::string& reason) override {
    reporter_.Skip(walker.PathOf(subfolder.name), "cannot read the folder: " + reason);
    frames_.back().entries[frames_.back().next - 1].skipped = true;
  }

  // The folder's entries once every subfolder has been walked, the unreadable ones dropped,
  // go to its entry in the parent.
  void Left(folder_walk::Walker&) override {
    std::vector<ScannedEntry> entries = std::move(frames_.back().entries);
    relative_.resize(frames_.back().relativeLength);
    frames_.pop_back();
    std::erase_if(entries, [](const ScannedEntry& entry) { return entry.skipped; });
    for (const ScannedEntry& entry : entries) counts_.descriptions += entry.description ? 1 : 0;
    if (frames_.empty()) {
      tree_ = std::move(entries);
      return;
    }
    Frame& parent = frames_.back();
    parent.entries[parent.next - 1].children = std::move(entries);
    ++counts_.directories;
  }

  std::string root_;
  std::vector<FileIdentity> excluded_;
  const WalkSettings& settings_;
  std::vector<std::string> namePatterns_;
  std::vector<std::string> pathPatterns_;
  Counts& counts_;
  Reporter& reporter_;
  Progress& progress_;
  std::vector<Frame> frames_;
  std::vector<ScannedEntry> tree_;
  std::string relative_;  // the top folder's path below the root, for --exclude
  dev_t rootDevice_ = 0;
  size_t depth_ = 0;
};

DosStamp StampOf(time_t mtime, bool localTime) {
  std::tm parts{};
  const bool converted =
      localTime ? localtime_r(&mtime, &parts) != nullptr : gmtime_r(&mtime, &parts) != nullptr;
  if (!converted) {
    // Only a time_t beyond any calendar fails here; it lies past either end of the range.
    return mtime < 0 ? MakeDosStamp(1980, 1, 1, 0, 0, 0) : MakeDosStamp(2107, 12, 31, 23, 59, 58);
  }
  return ClampedDosStamp(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                         parts.tm_min, parts.tm_sec);
}

uint64_t ItemsInside(const ScannedEntry& entry) {
  uint64_t items = 0;
  for (const ScannedEntry& child : entry.children) items += 1 + ItemsInside(child);
  return items;
}

// A path over the limit is reported at the first item that passes it; everything inside
// that item passes it too, and is only counted.
void WarnIfPathTooLong(const PathLink& fsPath, const ScannedEntry& entry, size_t pathLength,
                       size_t parentPathLength, Reporter& reporter) {
  if (pathLength <= kMaxListedPath || parentPathLength > kMaxListedPath) return;
  std::string message = "its path in the catalogue is " + std::to_string(pathLength) +
                        " characters, over the " + std::to_string(kMaxListedPath) +
                        " that a listing holds: it will list as damaged, its path cut";
  if (const uint64_t inside = ItemsInside(entry)) {
    message += "; so will the " + std::to_string(inside) + " item" + (inside == 1 ? "" : "s") +
               " inside it";
  }
  reporter.Warn(PathOf(fsPath), message);
}

size_t ChildPathLength(size_t parentLength, size_t nameLength) {
  return parentLength == 0 ? nameLength : parentLength + 1 + nameLength;
}

// A description in the code page of the format, fit for a listing: a tab becomes a blank,
// other control characters and characters the code page lacks "?", and what passes 255
// characters is cut. One warning says what changed.
std::string FitDescription(const std::string& utf8, bool cp437, const PathLink& fsPath,
                           Reporter& reporter) {
  std::string cleaned = utf8;
  bool controls = false;
  for (char& c : cleaned) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte == '\t') {
      c = ' ';
    } else if (byte < 0x20 || byte == 0x7F) {
      c = '?';
      controls = true;
    }
  }
  bool exact = true;
  std::string converted = cp437 ? Utf8ToCp437(cleaned, &exact) : Utf8ToCp1252(cleaned, &exact);
  std::vector<std::string> changes;
  const char* codePage = cp437 ? "437" : "1252";
  if (!exact) changes.push_back(std::string("characters code page ") + codePage + " lacks");
  if (controls) changes.push_back("control characters");
  std::string message;
  if (!changes.empty()) {
    message = changes[0] + (changes.size() > 1 ? " and " + changes[1] : "") + " became \"?\"";
  }
  if (converted.size() > kMaxListedDescription) {
    // One byte is one character in both code pages, so any cut falls between characters.
    if (!message.empty()) message += "; ";
    message += "cut from " + std::to_string(converted.size()) + " characters to the " +
               std::to_string(kMaxListedDescription) + " that a listing shows";
    converted.resize(kMaxListedDescription);
  }
  if (!message.empty()) reporter.Warn(PathOf(fsPath), "description changed: " + message);
  return converted;
}

// What a ZEX catalogue of the tree would exceed, checked before any name is made.
class ZexLimitCheck {
 public:
  explicit ZexLimitCheck(std::string root) : root_(std::move(root)) {}

  void Check(const std::vector<ScannedEntry>& entries) {
    // Entry numbers run through the root's files, then each directory's in depth-first order.
    // Each folder keeps its place in `places_`, from which a path is made only for a message.
    places_.push_back({nullptr, 0});
    Record(0, entries);
    struct Pending {
      const ScannedEntry* dir;
      size_t parentPlace;
      uint64_t level;
    };
    std::vector<Pending> pending;
    auto pushChildren = [&](const std::vector<ScannedEntry>& list, size_t place, uint64_t level) {
      for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (it->isDirectory) pending.push_back({&*it, place, level});
      }
    };
    pushChildren(entries, 0, 1);
    while (!pending.empty()) {
      const Pending next = pending.back();
      pending.pop_back();
      ++directories_;
      places_.push_back({&next.dir->name, next.parentPlace});
      const size_t place = places_.size() - 1;
      if (next.level > kZexMaxU16 && problem_.empty()) {
        problem_ = ShownName(PathAt(place)) + " lies " + std::to_string(next.level) +
                   " levels deep, and ZEX holds 65535 levels";
      }
      Record(place, next.dir->children);
      pushChildren(next.dir->children, place, next.level + 1);
    }
    if (problem_.empty()) return;
    throw ToolError(ShownName(root_) + ": too large for a ZEX catalogue: the tree has " +
                    std::to_string(files_) + " files in " + std::to_string(directories_) +
                    " folders; " + problem_ +
                    ". Catalogue a smaller tree, or write mur, which has no such limits");
  }

 private:
  struct Place {
    const std::string* name;  // null for the root
    size_t parent;
  };

  std::string PathAt(size_t place) const {
    std::vector<const std::string*> names;
    for (size_t at = place; at != 0; at = places_[at].parent) names.push_back(places_[at].name);
    std::string path = root_;
    for (size_t i = names.size(); i-- > 0;) folder_walk::AppendToPath(path, *names[i]);
    return path;
  }

  void Record(size_t place, const std::vector<ScannedEntry>& list) {
    uint64_t files = 0;
    for (const ScannedEntry& entry : list) files += entry.isDirectory ? 0 : 1;
    if (files > 0 && problem_.empty()) {
      if (files > kZexMaxU16) {
        problem_ = ShownName(PathAt(place)) + " holds " + std::to_string(files) +
                   " files, and ZEX holds 65535 in one folder";
      } else if (files_ > kZexMaxU16) {
        problem_ = "the files of " + ShownName(PathAt(place)) + " would start at entry " +
                   std::to_string(files_) +
                   ", and ZEX numbers a folder's first entry with 16 bits (up to 65535)";
      }
    }
    files_ += files;
  }

  std::string root_;
  std::vector<Place> places_;
  uint64_t files_ = 0;
  uint64_t directories_ = 0;
  std::string problem_;
};

uint8_t ZexAttributes(const ScannedEntry& entry) {
  uint8_t attributes = entry.isDirectory ? zex::kDirectory : zex::kArchive;
  if ((entry.mode & S_IWUSR) == 0) attributes |= zex::kReadOnly;
  if (!entry.name.empty() && entry.name[0] == '.') attributes |= zex::kHidden;
  return attributes;
}

// Fills `files` and `dirs` with one directory's entries; short names are unique across
// both, since files and subdirectories share one name space.
void ToZex(const std::vector<ScannedEntry>& entries, const PathLink& fsPath, size_t pathLength,
           std::vector<ZexFile>& files, std::vector<ZexDir>& dirs, Reporter& reporter) {
  std::vector<std::string> longNames;
  for (const ScannedEntry& entry : entries) longNames.push_back(entry.name);
  const std::vector<ShortName> shortNames = MakeShortNames(longNames);
  for (size_t i = 0; i < entries.size(); ++i) {
    const ScannedEntry& entry = entries[i];
    const ShortName& shortName = shortNames[i];
    const PathLink here{&fsPath, &entry.name};
    const size_t nameLength =
        shortName.base.size() + (shortName.extension.empty() ? 0 : 1 + shortName.extension.size());
    const size_t length = ChildPathLength(pathLength, nameLength);
    WarnIfPathTooLong(here, entry, length, pathLength, reporter);
    std::optional<std::string> description;
    if (entry.description) description = FitDescription(*entry.description, true, here, reporter);
    if (entry.isDirectory) {
      ZexDir dir;
      dir.name = shortName.base;
      dir.extension = shortName.extension;
      dir.attributes = ZexAttributes(entry);
      dir.stamp = StampOf(entry.mtime, true);
      dir.description = std::move(description);
      ToZex(entry.children, here, length, dir.files, dir.subdirs, reporter);
      dirs.push_back(std::move(dir));
    } else {
      ZexFile file;
      file.name = shortName.base;
      file.extension = shortName.extension;
      file.attributes = ZexAttributes(entry);
      file.size = entry.size;
      file.stamp = StampOf(entry.mtime, true);
      file.description = std::move(description);
      files.push_back(std::move(file));
    }
  }
}

// Whether a UTF-8 name holds a character no Windows name can: they are all ASCII, which
// stands for itself in UTF-8.
bool HoldsForbiddenCharacter(const std::string& name) {
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || std::strchr("\\/:*?\"<>|", c) != nullptr) {
      return true;
    }
  }
  return false;
}

// One directory's names in code page 1252, each one Windows can hold, unique within the
// folder letter case aside (FitWindowsName, FoldCp1252Case). Names that need no change
// keep their form; every other one, and the later of two that differ only in case, gets
// "~2", "~3", ... before its extension when its form is taken, the lowest free. Each changed
// name is reported once, with every reason.
std::vector<std::string> MurNames(const std::vector<ScannedEntry>& entries, const PathLink& fsPath,
                                  Reporter& reporter) {
  std::vector<std::string> names(entries.size());
  std::vector<std::vector<std::string>> reasons(entries.size());
  std::unordered_set<std::string> taken;  // folded forms
  for (size_t i = 0; i < entries.size(); ++i) {
    bool exact = false;
    WindowsNameChanges changes;
    names[i] = FitWindowsName(Utf8ToCp1252(entries[i].name, &exact), &changes);
    if (!exact) reasons[i].push_back("code page 1252 lacks some of its characters");
    if (HoldsForbiddenCharacter(entries[i].name)) {
      reasons[i].push_back("a Windows name cannot hold \\ / : * ? \" < > | or control characters");
    }
    if (changes.trailingDotsOrSpaces)
      reasons[i].push_back("Windows drops trailing dots and spaces");
    if (changes.reservedDeviceName) reasons[i].push_back("it would name a Windows device");
    if (reasons[i].empty() && !taken.insert(FoldCp1252Case(names[i])).second) {
      reasons[i].push_back("another name in the folder differs from it only in letter case");
    }
  }
  std::unordered_map<std::string, unsigned> nextTail;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (reasons[i].empty()) continue;
    std::string name = names[i];
    if (!taken.insert(FoldCp1252Case(name)).second) {
      const size_t dot = name.rfind('.');
      const bool splits = dot != std::string::npos && dot > 0;
      const std::string stem = splits ? name.substr(0, dot) : name;
      const std::string extension = splits ? name.substr(dot) : "";
      unsigned& tail = nextTail.try_emplace(FoldCp1252Case(name), 2).first->second;
      do {
        name = stem + "~" + std::to_string(tail++) + extension;
      } while (!taken.insert(FoldCp1252Case(name)).second);
      if (reasons[i].back().find("letter case") == std::string::npos) {
        reasons[i].push_back("another name in the folder is stored alike, letter case aside");
      }
    }
    names[i] = name;
    std::string message = "name stored as \"" + ShownName(Cp1252ToUtf8(name)) + "\": ";
    for (size_t k = 0; k < reasons[i].size(); ++k) message += (k > 0 ? "; " : "") + reasons[i][k];
    const PathLink here{&fsPath, &entries[i].name};
    reporter.Warn(PathOf(here), message);
  }
  return names;
}

std::vector<MurNode> ToMur(const std::vector<ScannedEntry>& entries, const PathLink& fsPath,
                           size_t pathLength, Reporter& reporter) {
  const std::vector<std::string> names = MurNames(entries, fsPath, reporter);
  std::vector<MurNode> nodes;
  for (size_t i = 0; i < entries.size(); ++i) {
    const ScannedEntry& entry = entries[i];
    const std::string& name = names[i];
    const PathLink here{&fsPath, &entry.name};
    MurNode node;
    if (entry.description) {
      node.description = FitDescription(*entry.description, false, here, reporter);
    }
    // A short name without a description fits inline whole (kind 0); any other is split at
    // its last dot so that the extension gets a chain of its own (kinds 1 and 3).
    const size_t dot = name.rfind('.');
    const bool splittable = dot != std::string::npos && dot > 0 && dot + 1 < name.size();
    if ((name.size() <= mur::kLongInlineName && !node.description) || !splittable) {
      node.name = name;
    } else {
      node.name = name.substr(0, dot);
      node.extension = name.substr(dot + 1);
    }
    const size_t length = ChildPathLength(pathLength, name.size());
    WarnIfPathTooLong(here, entry, length, pathLength, reporter);
    node.isDirectory = entry.isDirectory;
    node.size = entry.size;
    node.stamp = StampOf(entry.mtime, false);
    node.children = ToMur(entry.children, here, length, reporter);
    nodes.push_back(std::move(node));
  }
  return nodes;
}

// Runs `job` on a thread with `stackBytes` of stack and hands back what it threw.
template <typename Job>
void RunWithStack(size_t stackBytes, Job& job) {
  struct Call {
    Job* job;
    std::exception_ptr thrown;
  } call{&job, nullptr};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, stackBytes);
  pthread_t thread;
  const int error = pthread_create(
      &thread, &attributes,
      [](void* argument) -> void* {
        Call* running = static_cast<Call*>(argument);
        try {
          (*running->job)();
        } catch (...) {
          running->thrown = std::current_exception();
        }
        return nullptr;
      },
      &call);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    throw ToolError("cannot start a thread with " + std::to_string(stackBytes >> 20) +
                    " MiB of stack for a tree this deep: " + std::strerror(error));
  }
  pthread_join(thread, nullptr);
  if (call.thrown) std::rethrow_exception(call.thrown);
}

// The temporary file's path for the signal handler, which removes it when the run is cut
// short; null when there is none.
const char* volatile gTemporaryPath = nullptr;

extern "C" void RemoveTemporaryAndDie(int signalNumber) {
  if (const char* path = gTemporaryPath) unlink(path);
  if (gProgressShown != 0 && write(STDERR_FILENO, kClearLine, sizeof kClearLine - 1) < 0) {
    // Nothing more can be done in a signal handler.
  }
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

void RemoveTemporaryOnSignals() {
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    struct sigaction action {};
    action.sa_handler = RemoveTemporaryAndDie;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
  }
}

void WriteToStandardOutput(const std::vector<uint8_t>& bytes) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
      std::fflush(stdout) != 0) {
    throw ToolError(ErrnoMessage("standard output", errno));
  }
}

int Run(bool verbose, const WalkSettings& settings, const std::string& format,
        const std::string& output, const std::string& directory) {
  if (output == "-" && isatty(STDOUT_FILENO)) {
    throw ToolError(
        "standard output is a terminal: redirect it, or name an output file (./- for a file "
        "named -)");
  }
  struct stat info {};
  if (stat(directory.c_str(), &info) != 0) throw ToolError(ErrnoMessage(directory, errno));
  if (!S_ISDIR(info.st_mode)) throw ToolError(ErrnoMessage(directory, ENOTDIR));

  // The temporary file exists from the start: a folder it cannot be made in fails the run
  // before the walk, and both it and the old catalogue are known by identity to the walk.
  ReplacementFile replacement;
  if (output != "-") {
    std::string error;
    RemoveTemporaryOnSignals();
    if (!replacement.Open(output, &error)) throw ToolError(ShownName(error));
    if (!replacement.temporaryPath().empty()) gTemporaryPath = replacement.temporaryPath().c_str();
  }

  Progress progress(isatty(STDERR_FILENO) != 0);
  Reporter reporter(progress);
  Counts counts;
  std::vector<FileIdentity> excluded = replacement.identities();
  struct stat standardOutput {};
  if (output == "-" && fstat(STDOUT_FILENO, &standardOutput) == 0 &&
      S_ISREG(standardOutput.st_mode)) {
    excluded.push_back(IdentityOf(standardOutput));  // "mkcat mur - DIR > DIR/out.mur"
  }
  TreeScanner scanner(directory, std::move(excluded), settings, counts, reporter, progress);
  std::vector<ScannedEntry> entries = scanner.Scan();
  progress.Clear();
  std::vector<uint8_t> bytes;
  // Built, and the trees taken down, on a thread with stack for the depth the walk found.
  auto build = [&] {
    const std::vector<ScannedEntry> tree = std::move(entries);
    const PathLink root{nullptr, &directory};
    try {
      if (format == "zex") {
        ZexLimitCheck(directory).Check(tree);
        ZexTree zexTree;
        ToZex(tree, root, 0, zexTree.rootFiles, zexTree.dirs, reporter);
        bytes = BuildZex(zexTree).bytes;
      } else {
        MurTree murTree;
        murTree.top = ToMur(tree, root, 0, reporter);
        bytes = BuildMur(murTree).bytes;
      }
    } catch (const std::invalid_argument& error) {
      throw ToolError(ShownName(directory) + ": cannot be catalogued as " + format + ": " +
                      error.what());
    }
  };
  RunWithStack(kBaseStack + scanner.depth() * kStackPerLevel, build);

  if (output == "-") {
    WriteToStandardOutput(bytes);
  } else {
    std::string error;
    const bool committed = replacement.Commit(bytes, &error);
    gTemporaryPath = nullptr;
    if (!committed) throw ToolError(ShownName(error));
  }
  if (verbose) {
    std::fprintf(stderr, "mkcat: %s: %llu directories, %llu files, %llu descriptions, %zu bytes",
                 output == "-" ? "standard output" : ShownName(output).c_str(),
                 static_cast<unsigned long long>(counts.directories),
                 static_cast<unsigned long long>(counts.files),
                 static_cast<unsigned long long>(counts.descriptions), bytes.size());
    if (counts.excluded > 0) {
      std::fprintf(stderr, ", %llu excluded", static_cast<unsigned long long>(counts.excluded));
    }
    std::fputc('\n', stderr);
  }
  reporter.PrintCount();
  return reporter.Incomplete() ? kExitFailure : kExitOk;
}

// The format OUTPUT's extension names ("zex" or "mur", any case), or empty.
std::string FormatOfExtension(const std::string& output) {
  const size_t slash = output.rfind('/');
  const size_t dot = output.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string extension = output.substr(dot + 1);
  for (char& c : extension) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  return extension == "zex" || extension == "mur" ? extension : "";
}

constexpr cli::Program kProgram{"mkcat", kExitUsage, kExitUsage};

enum OptionId {
  kVerbose,
  kExclude,
  kOneFileSystem,
  kDereference,
  kDescriptionCharset,
  kHelpOption,
  kVersion
};

constexpr cli::Option kOptions[] = {
    {kVerbose, 'v', "verbose"},
    {kExclude, 0, "exclude", "a pattern", true},
    {kOneFileSystem, 'x', "one-file-system"},
    {kDereference, 'L', "dereference"},
    {kDescriptionCharset, 0, "description-charset", "a character set", true},
    {kHelpOption, 'h', "help"},
    {kVersion, 0, "version"},
};

}  // namespace

int main(int argc, char** argv) {
  bool verbose = false;
  WalkSettings settings;
  std::vector<std::string> operands;
  cli::OptionParser parser(argc, argv, kOptions);
  for (cli::Item item; parser.Next(&item);) {
    switch (item.id) {
      case cli::kError:
        return cli::UsageError(kProgram, item.error);
      case cli::kOperand:
        operands.emplace_back(item.value);
        break;
      case kVerbose:
        verbose = true;
        break;
      case kExclude:
        settings.excludes.emplace_back(item.value);
        break;
      case kOneFileSystem:
        settings.oneFileSystem = true;
        break;
      case kDereference:
        settings.followLinks = true;
        break;
      case kDescriptionCharset:
        if (!CharsetByName(std::string(item.value), &settings.charset)) {
          return cli::UsageError(kProgram, "unknown character set " + ShownName(item.value) +
                                               " (utf-8, cp437, cp850, cp1252 or auto)");
        }
        break;
      case kHelpOption:
        return cli::PrintInfo(kProgram, kHelp);
      case kVersion:
        return cli::PrintInfo(kProgram, cli::VersionText("mkcat", CATALOGUE_VERSION));
    }
  }
  if (operands.size() == 2) {
    // mkcat OUTPUT.zex DIRECTORY: the extension names the format.
    const std::string format = FormatOfExtension(operands[0]);
    if (format.empty()) {
      return cli::UsageError(kProgram, "cannot tell the format from " + ShownName(operands[0]) +
                                           ": name it (zex or mur) or end OUTPUT in .zex or .mur");
    }
    operands.insert(operands.begin(), format);
  }
  if (operands.size() != 3) {
    return cli::UsageError(kProgram, "expected a format, an output and a directory");
  }
  if (operands[0] != "zex" && operands[0] != "mur") {
    return cli::UsageError(kProgram, "unknown format " + ShownName(operands[0]) + " (zex or mur)");
  }
  try {
    return Run(verbose, settings, operands[0], operands[1], operands[2]);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "mkcat: %s\n", error.what());
  }
  return kExitFailure;
}
