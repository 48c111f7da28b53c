// mkcat: catalogues a directory tree into a ZEX or MUR catalogue.
//
//   mkcat [-v] zex|mur OUTPUT DIRECTORY      (OUTPUT "-" is standard output)
//
// The catalogue's root holds DIRECTORY's contents. Entries are sorted bytewise by name so
// that the same tree always gives the same bytes. Symbolic links are never followed. What
// cannot be read is skipped with a warning, as tar and find do, and the run goes on.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalogue_version.h"
#include "tools/writer/bytes.h"
#include "tools/writer/mur_writer.h"
#include "tools/writer/short_names.h"
#include "tools/writer/text.h"
#include "tools/writer/zex_writer.h"

namespace {

using namespace catwriter;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // also: written, but entries were skipped
constexpr int kExitUsage = 2;
constexpr uint64_t kMaxRecordedSize = 0xFFFFFFFF;  // sizes are 32-bit in both formats
// Both modules list paths of up to 259 characters; a longer one is cut and its item damaged.
constexpr size_t kMaxListedPath = 259;
// ZEX directory records number their first entry, count their files and give their level in
// 16 bits.
constexpr uint64_t kZexMaxU16 = 0xFFFF;

constexpr const char* kUsage = "usage: mkcat [-v] zex|mur OUTPUT DIRECTORY\n";
constexpr const char* kHelp =
    "usage: mkcat [-v] zex|mur OUTPUT DIRECTORY\n"
    "\n"
    "Writes a catalogue of DIRECTORY's contents to OUTPUT (\"-\": standard output).\n"
    "  zex   8.3 names made as DOS and Windows make short names, local time stamps\n"
    "  mur   long names in Windows code page 1252, UTC time stamps\n"
    "A file named descript.ion (any case) in a directory gives descriptions to the\n"
    "entries beside it. Symbolic links and special files are recorded as empty files.\n"
    "\n"
    "  -v, --verbose   report counts on standard error\n"
    "  -h, --help      show this help\n"
    "      --version   show the version\n"
    "\n"
    "Warnings (standard error, one line each, and a count at the end):\n"
    "  - a file or folder that cannot be read is skipped, and the run goes on;\n"
    "  - a path longer than 259 characters in the catalogue: the item is written, but the\n"
    "    format modules list it as damaged, with its path cut;\n"
    "  - mur: a name or description changed to fit code page 1252 (characters it lacks\n"
    "    become '?'); names that would then be equal are made unique with ~2, ~3, ...;\n"
    "  - a size above 4 GiB - 1, recorded as 4 GiB - 1.\n"
    "zex refuses a tree past the format's 16-bit limits before writing anything.\n"
    "\n"
    "Exit status:\n"
    "  0  the catalogue was written with every entry\n"
    "  1  the catalogue was written, but entries that could not be read were skipped;\n"
    "     or it was not written (the message says why)\n"
    "  2  usage error\n";

// A failure that ends the run; the message already names the path.
struct ToolError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string ErrnoMessage(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

// Warnings go out as they arise; the count comes at the end.
class Reporter {
 public:
  void Warn(const std::string& path, const std::string& message) {
    std::fprintf(stderr, "mkcat: %s: warning: %s\n", path.c_str(), message.c_str());
    ++warnings_;
  }
  void Skip(const std::string& path, const std::string& reason) {
    Warn(path, reason + "; skipped");
    ++skipped_;
  }
  uint64_t skipped() const { return skipped_; }

  void PrintCount() const {
    if (warnings_ == 0) return;
    std::fprintf(stderr, "mkcat: %llu warning%s, %llu entr%s skipped\n",
                 static_cast<unsigned long long>(warnings_), warnings_ == 1 ? "" : "s",
                 static_cast<unsigned long long>(skipped_), skipped_ == 1 ? "y" : "ies");
  }

 private:
  uint64_t warnings_ = 0;
  uint64_t skipped_ = 0;
};

struct ScannedEntry {
  std::string name;
  bool isDirectory = false;
  uint32_t size = 0;
  mode_t mode = 0;
  time_t mtime = 0;
  std::optional<std::string> description;
  std::vector<ScannedEntry> children;
};

struct Counts {
  uint64_t directories = 0;
  uint64_t files = 0;
  uint64_t descriptions = 0;
};

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (!directory.empty() && directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

// The whole file, or nothing with `error` set.
std::optional<std::string> ReadWholeFile(const std::string& path, int* error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = errno;
    return std::nullopt;
  }
  std::string content;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
  const bool failed = std::ferror(file) != 0;
  *error = errno;
  std::fclose(file);
  if (failed) return std::nullopt;
  return content;
}

// The directory's names in bytewise order, or nothing with `error` set.
std::optional<std::vector<std::string>> SortedNames(const std::string& path, int* error) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) {
    *error = errno;
    return std::nullopt;
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
    errno = 0;
  }
  *error = errno;
  closedir(dir);
  if (*error != 0) return std::nullopt;
  std::sort(names.begin(), names.end());  // std::string compares bytewise
  return names;
}

void ApplyDescriptions(const std::string& path, std::vector<ScannedEntry>& entries, Counts& counts,
                       Reporter& reporter) {
  // The first descript.ion in sorted order wins; only a regular file is read.
  for (const ScannedEntry& entry : entries) {
    if (!IsDescriptIonName(entry.name) || !S_ISREG(entry.mode)) continue;
    const std::string full = JoinPath(path, entry.name);
    int error = 0;
    const std::optional<std::string> content = ReadWholeFile(full, &error);
    if (!content) {
      reporter.Skip(full, std::string("cannot read the descriptions: ") + std::strerror(error));
      return;
    }
    const DescriptionList list = ParseDescriptIon(*content);
    for (ScannedEntry& described : entries) {
      if (const std::string* text = list.Find(described.name)) {
        described.description = *text;
        ++counts.descriptions;
      }
    }
    return;
  }
}

// The entries of the directory at `path`, or nothing when it cannot be read (reported).
std::optional<std::vector<ScannedEntry>> ScanDirectory(const std::string& path, Counts& counts,
                                                       Reporter& reporter) {
  int error = 0;
  const std::optional<std::vector<std::string>> names = SortedNames(path, &error);
  if (!names) {
    reporter.Skip(path, std::string("cannot read the folder: ") + std::strerror(error));
    return std::nullopt;
  }
  std::vector<ScannedEntry> entries;
  for (const std::string& name : *names) {
    const std::string full = JoinPath(path, name);
    struct stat info {};
    if (lstat(full.c_str(), &info) != 0) {
      reporter.Skip(full, std::string("cannot read: ") + std::strerror(errno));
      continue;
    }
    ScannedEntry entry;
    entry.name = name;
    entry.mode = info.st_mode;
    entry.mtime = info.st_mtime;
    if (S_ISDIR(info.st_mode)) {
      entry.isDirectory = true;
      std::optional<std::vector<ScannedEntry>> children = ScanDirectory(full, counts, reporter);
      if (!children) continue;
      entry.children = std::move(*children);
      ++counts.directories;
    } else {
      // Symbolic links and special files are recorded as empty files: a link's target may
      // lie outside the tree or loop back into it, and a device or pipe has no size to give.
      if (S_ISREG(info.st_mode)) {
        const uint64_t size = static_cast<uint64_t>(info.st_size);
        if (size > kMaxRecordedSize) {
          reporter.Warn(full,
                        "size above 4 GiB - 1, recorded as " + std::to_string(kMaxRecordedSize));
        }
        entry.size = static_cast<uint32_t>(std::min(size, kMaxRecordedSize));
      }
      ++counts.files;
    }
    entries.push_back(std::move(entry));
  }
  ApplyDescriptions(path, entries, counts, reporter);
  return entries;
}

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

std::string CataloguePath(const std::string& parent, const std::string& name) {
  return parent.empty() ? name : parent + "\\" + name;
}

void WarnIfPathTooLong(const std::string& fsPath, const std::string& cataloguePath,
                       Reporter& reporter) {
  if (cataloguePath.size() <= kMaxListedPath) return;
  reporter.Warn(fsPath, "its path in the catalogue is " + std::to_string(cataloguePath.size()) +
                            " characters, over the " + std::to_string(kMaxListedPath) +
                            " that a listing holds: it will list as damaged, its path cut");
}

// What a ZEX catalogue of the tree would exceed, checked before any name is made.
class ZexLimitCheck {
 public:
  void Check(const std::string& root, const std::vector<ScannedEntry>& entries) {
    // Entry numbers run through the root's files, then each directory's in depth-first order.
    Record(root, entries);
    std::vector<std::pair<const ScannedEntry*, std::pair<std::string, uint64_t>>> pending;
    auto pushChildren = [&](const std::vector<ScannedEntry>& list, const std::string& path,
                            uint64_t level) {
      for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (it->isDirectory) pending.push_back({&*it, {JoinPath(path, it->name), level}});
      }
    };
    pushChildren(entries, root, 1);
    while (!pending.empty()) {
      auto [dir, where] = pending.back();
      pending.pop_back();
      ++directories_;
      if (where.second > kZexMaxU16 && problem_.empty()) {
        problem_ = where.first + " lies " + std::to_string(where.second) +
                   " levels deep, and ZEX holds 65535 levels";
      }
      Record(where.first, dir->children);
      pushChildren(dir->children, where.first, where.second + 1);
    }
    if (problem_.empty()) return;
    throw ToolError(root + ": too large for a ZEX catalogue: the tree has " +
                    std::to_string(files_) + " files in " + std::to_string(directories_) +
                    " folders; " + problem_ +
                    ". Catalogue a smaller tree, or write mur, which has no such limits");
  }

 private:
  void Record(const std::string& path, const std::vector<ScannedEntry>& list) {
    uint64_t files = 0;
    for (const ScannedEntry& entry : list) files += entry.isDirectory ? 0 : 1;
    if (files > 0 && problem_.empty()) {
      if (files > kZexMaxU16) {
        problem_ =
            path + " holds " + std::to_string(files) + " files, and ZEX holds 65535 in one folder";
      } else if (files_ > kZexMaxU16) {
        problem_ = "the files of " + path + " would start at entry " + std::to_string(files_) +
                   ", and ZEX numbers a folder's first entry with 16 bits (up to 65535)";
      }
    }
    files_ += files;
  }

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
void ToZex(const std::vector<ScannedEntry>& entries, const std::string& fsPath,
           const std::string& cataloguePath, std::vector<ZexFile>& files, std::vector<ZexDir>& dirs,
           Reporter& reporter) {
  std::vector<std::string> longNames;
  for (const ScannedEntry& entry : entries) longNames.push_back(entry.name);
  const std::vector<ShortName> shortNames = MakeShortNames(longNames);
  for (size_t i = 0; i < entries.size(); ++i) {
    const ScannedEntry& entry = entries[i];
    const ShortName& shortName = shortNames[i];
    const std::string fsFull = JoinPath(fsPath, entry.name);
    const std::string path = CataloguePath(
        cataloguePath,
        shortName.extension.empty() ? shortName.base : shortName.base + "." + shortName.extension);
    WarnIfPathTooLong(fsFull, path, reporter);
    if (entry.isDirectory) {
      ZexDir dir;
      dir.name = shortName.base;
      dir.extension = shortName.extension;
      dir.attributes = ZexAttributes(entry);
      dir.stamp = StampOf(entry.mtime, true);
      dir.description = entry.description;
      ToZex(entry.children, fsFull, path, dir.files, dir.subdirs, reporter);
      dirs.push_back(std::move(dir));
    } else {
      ZexFile file;
      file.name = shortName.base;
      file.extension = shortName.extension;
      file.attributes = ZexAttributes(entry);
      file.size = entry.size;
      file.stamp = StampOf(entry.mtime, true);
      file.description = entry.description;
      files.push_back(std::move(file));
    }
  }
}

// One directory's names in code page 1252, unique within it. Names that convert exactly keep
// their form; one that lost characters and meets a name already given gets "~2", "~3", ...
// before its extension, the lowest free.
std::vector<std::string> MurNames(const std::vector<ScannedEntry>& entries,
                                  const std::string& fsPath, Reporter& reporter) {
  std::vector<std::string> names(entries.size());
  std::vector<bool> exact(entries.size());
  std::unordered_set<std::string> taken;
  for (size_t i = 0; i < entries.size(); ++i) {
    bool converted = false;
    names[i] = Utf8ToCp1252(entries[i].name, &converted);
    exact[i] = converted;
    if (converted) taken.insert(names[i]);
  }
  std::unordered_map<std::string, unsigned> nextTail;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (exact[i]) continue;
    std::string name = names[i];
    if (!taken.insert(name).second) {
      const size_t dot = name.rfind('.');
      const bool splits = dot != std::string::npos && dot > 0;
      const std::string stem = splits ? name.substr(0, dot) : name;
      const std::string extension = splits ? name.substr(dot) : "";
      unsigned& tail = nextTail.try_emplace(name, 2).first->second;
      do {
        name = stem + "~" + std::to_string(tail++) + extension;
      } while (!taken.insert(name).second);
    }
    names[i] = name;
    reporter.Warn(JoinPath(fsPath, entries[i].name),
                  "name changed to fit code page 1252: stored as \"" + Cp1252ToUtf8(name) + "\"");
  }
  return names;
}

std::vector<MurNode> ToMur(const std::vector<ScannedEntry>& entries, const std::string& fsPath,
                           const std::string& cataloguePath, Reporter& reporter) {
  const std::vector<std::string> names = MurNames(entries, fsPath, reporter);
  std::vector<MurNode> nodes;
  for (size_t i = 0; i < entries.size(); ++i) {
    const ScannedEntry& entry = entries[i];
    const std::string& name = names[i];
    const std::string fsFull = JoinPath(fsPath, entry.name);
    MurNode node;
    if (entry.description) {
      bool exact = false;
      node.description = Utf8ToCp1252(*entry.description, &exact);
      if (!exact) reporter.Warn(fsFull, "description changed to fit code page 1252");
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
    const std::string path = CataloguePath(cataloguePath, name);
    WarnIfPathTooLong(fsFull, path, reporter);
    node.isDirectory = entry.isDirectory;
    node.size = entry.size;
    node.stamp = StampOf(entry.mtime, false);
    node.children = ToMur(entry.children, fsFull, path, reporter);
    nodes.push_back(std::move(node));
  }
  return nodes;
}

void WriteOutput(const std::string& output, const std::vector<uint8_t>& bytes) {
  if (output != "-") {
    std::string error;
    if (!WriteFile(output, bytes, &error)) throw ToolError(error);
    return;
  }
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
      std::fflush(stdout) != 0) {
    throw ToolError(ErrnoMessage("standard output", errno));
  }
}

int Run(bool verbose, const std::string& format, const std::string& output,
        const std::string& directory) {
  if (output == "-" && isatty(STDOUT_FILENO)) {
    throw ToolError(
        "standard output is a terminal: redirect it, or name an output file (./- for a file "
        "named -)");
  }
  struct stat info {};
  if (stat(directory.c_str(), &info) != 0) throw ToolError(ErrnoMessage(directory, errno));
  if (!S_ISDIR(info.st_mode)) throw ToolError(ErrnoMessage(directory, ENOTDIR));
  int error = 0;
  if (!SortedNames(directory, &error)) throw ToolError(ErrnoMessage(directory, error));

  Reporter reporter;
  Counts counts;
  const std::vector<ScannedEntry> entries =
      ScanDirectory(directory, counts, reporter).value_or(std::vector<ScannedEntry>{});
  std::vector<uint8_t> bytes;
  try {
    if (format == "zex") {
      ZexLimitCheck().Check(directory, entries);
      ZexTree tree;
      ToZex(entries, directory, "", tree.rootFiles, tree.dirs, reporter);
      bytes = BuildZex(tree).bytes;
    } else {
      MurTree tree;
      tree.top = ToMur(entries, directory, "", reporter);
      bytes = BuildMur(tree).bytes;
    }
  } catch (const std::invalid_argument& error) {
    throw ToolError(directory + ": cannot be catalogued as " + format + ": " + error.what());
  }

  WriteOutput(output, bytes);
  if (verbose) {
    std::fprintf(stderr, "mkcat: %s: %llu directories, %llu files, %llu descriptions, %zu bytes\n",
                 output == "-" ? "standard output" : output.c_str(),
                 static_cast<unsigned long long>(counts.directories),
                 static_cast<unsigned long long>(counts.files),
                 static_cast<unsigned long long>(counts.descriptions), bytes.size());
  }
  reporter.PrintCount();
  return reporter.skipped() == 0 ? kExitOk : kExitFailure;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "mkcat: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  bool verbose = false;
  std::vector<std::string> operands;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      operands.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "-v" || arg == "--verbose") {
      verbose = true;
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kHelp, stdout);
      return kExitOk;
    } else if (arg == "--version") {
      std::printf("mkcat (%s) %s\n", CATALOGUE_PRODUCT_NAME, CATALOGUE_VERSION);
      return kExitOk;
    } else {
      return UsageError("unknown option " + arg);
    }
  }
  if (operands.size() != 3) return UsageError("expected a format, an output and a directory");
  if (operands[0] != "zex" && operands[0] != "mur") {
    return UsageError("unknown format " + operands[0] + " (zex or mur)");
  }
  try {
    return Run(verbose, operands[0], operands[1], operands[2]);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "mkcat: %s\n", error.what());
  }
  return kExitFailure;
}
