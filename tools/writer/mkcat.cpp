// mkcat: catalogues a directory tree into a ZEX or MUR catalogue.
//
//   mkcat [-v] zex|mur OUTPUT DIRECTORY
//
// The catalogue's root holds DIRECTORY's contents. Entries are sorted bytewise by name so
// that the same tree always gives the same bytes. Symbolic links are never followed.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/writer/bytes.h"
#include "tools/writer/mur_writer.h"
#include "tools/writer/short_names.h"
#include "tools/writer/text.h"
#include "tools/writer/zex_writer.h"

namespace {

using namespace catwriter;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr uint64_t kMaxRecordedSize = 0xFFFFFFFF;  // sizes are 32-bit in both formats

constexpr const char* kUsage = "usage: mkcat [-v] zex|mur OUTPUT DIRECTORY\n";
constexpr const char* kHelp =
    "usage: mkcat [-v] zex|mur OUTPUT DIRECTORY\n"
    "\n"
    "Writes a catalogue of DIRECTORY's contents to OUTPUT.\n"
    "  zex   8.3 names made as DOS and Windows make short names, local time stamps\n"
    "  mur   long names in Windows code page 1252, UTC time stamps\n"
    "A file named descript.ion (any case) in a directory gives descriptions to the\n"
    "entries beside it. Symbolic links and special files are recorded as empty files.\n"
    "\n"
    "  -v, --verbose   report counts on standard error\n"
    "  -h, --help      show this help\n"
    "\n"
    "Exit status: 0 on success, 1 when the catalogue could not be made, 2 on bad usage.\n";

// A failure that ends the run; the message already names the path.
struct ToolError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string ErrnoMessage(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

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

std::string ReadWholeFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) throw ToolError(ErrnoMessage(path, errno));
  std::string content;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (failed) throw ToolError(ErrnoMessage(path, error));
  return content;
}

std::vector<std::string> SortedNames(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) throw ToolError(ErrnoMessage(path, errno));
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
    errno = 0;
  }
  const int error = errno;
  closedir(dir);
  if (error != 0) throw ToolError(ErrnoMessage(path, error));
  std::sort(names.begin(), names.end());  // std::string compares bytewise
  return names;
}

std::vector<ScannedEntry> ScanDirectory(const std::string& path, Counts& counts) {
  std::vector<ScannedEntry> entries;
  for (const std::string& name : SortedNames(path)) {
    const std::string full = JoinPath(path, name);
    struct stat info {};
    if (lstat(full.c_str(), &info) != 0) throw ToolError(ErrnoMessage(full, errno));
    ScannedEntry entry;
    entry.name = name;
    entry.mode = info.st_mode;
    entry.mtime = info.st_mtime;
    if (S_ISDIR(info.st_mode)) {
      entry.isDirectory = true;
      entry.children = ScanDirectory(full, counts);
      ++counts.directories;
    } else {
      // Symbolic links and special files are recorded as empty files: a link's target may
      // lie outside the tree or loop back into it, and a device or pipe has no size to give.
      if (S_ISREG(info.st_mode)) {
        const uint64_t size = static_cast<uint64_t>(info.st_size);
        if (size > kMaxRecordedSize) {
          std::fprintf(stderr, "mkcat: %s: warning: size above 4 GiB - 1, recorded as %llu\n",
                       full.c_str(), static_cast<unsigned long long>(kMaxRecordedSize));
        }
        entry.size = static_cast<uint32_t>(std::min(size, kMaxRecordedSize));
      }
      ++counts.files;
    }
    entries.push_back(std::move(entry));
  }
  // The first descript.ion in sorted order wins; only a regular file is read.
  for (const ScannedEntry& entry : entries) {
    if (IsDescriptIonName(entry.name) && S_ISREG(entry.mode)) {
      const DescriptionList list = ParseDescriptIon(ReadWholeFile(JoinPath(path, entry.name)));
      for (ScannedEntry& described : entries) {
        if (const std::string* text = list.Find(described.name)) {
          described.description = *text;
          ++counts.descriptions;
        }
      }
      break;
    }
  }
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

uint8_t ZexAttributes(const ScannedEntry& entry) {
  uint8_t attributes = entry.isDirectory ? zex::kDirectory : zex::kArchive;
  if ((entry.mode & S_IWUSR) == 0) attributes |= zex::kReadOnly;
  if (!entry.name.empty() && entry.name[0] == '.') attributes |= zex::kHidden;
  return attributes;
}

// Fills `files` and `dirs` with one directory's entries; short names are unique across
// both, since files and subdirectories share one name space.
void ToZex(const std::vector<ScannedEntry>& entries, std::vector<ZexFile>& files,
           std::vector<ZexDir>& dirs) {
  std::vector<std::string> longNames;
  for (const ScannedEntry& entry : entries) longNames.push_back(entry.name);
  const std::vector<ShortName> shortNames = MakeShortNames(longNames);
  for (size_t i = 0; i < entries.size(); ++i) {
    const ScannedEntry& entry = entries[i];
    if (entry.isDirectory) {
      ZexDir dir;
      dir.name = shortNames[i].base;
      dir.extension = shortNames[i].extension;
      dir.attributes = ZexAttributes(entry);
      dir.stamp = StampOf(entry.mtime, true);
      dir.description = entry.description;
      ToZex(entry.children, dir.files, dir.subdirs);
      dirs.push_back(std::move(dir));
    } else {
      ZexFile file;
      file.name = shortNames[i].base;
      file.extension = shortNames[i].extension;
      file.attributes = ZexAttributes(entry);
      file.size = entry.size;
      file.stamp = StampOf(entry.mtime, true);
      file.description = entry.description;
      files.push_back(std::move(file));
    }
  }
}

std::vector<MurNode> ToMur(const std::vector<ScannedEntry>& entries) {
  std::vector<MurNode> nodes;
  for (const ScannedEntry& entry : entries) {
    MurNode node;
    const std::string name = Utf8ToCp1252(entry.name);
    if (entry.description) node.description = Utf8ToCp1252(*entry.description);
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
    node.isDirectory = entry.isDirectory;
    node.size = entry.size;
    node.stamp = StampOf(entry.mtime, false);
    node.children = ToMur(entry.children);
    nodes.push_back(std::move(node));
  }
  return nodes;
}

int Run(bool verbose, const std::string& format, const std::string& output,
        const std::string& directory) {
  struct stat info {};
  if (stat(directory.c_str(), &info) != 0) throw ToolError(ErrnoMessage(directory, errno));
  if (!S_ISDIR(info.st_mode)) throw ToolError(ErrnoMessage(directory, ENOTDIR));

  Counts counts;
  const std::vector<ScannedEntry> entries = ScanDirectory(directory, counts);
  std::vector<uint8_t> bytes;
  try {
    if (format == "zex") {
      ZexTree tree;
      ToZex(entries, tree.rootFiles, tree.dirs);
      bytes = BuildZex(tree).bytes;
    } else {
      MurTree tree;
      tree.top = ToMur(entries);
      bytes = BuildMur(tree).bytes;
    }
  } catch (const std::invalid_argument& error) {
    throw ToolError(directory + ": cannot be catalogued as " + format + ": " + error.what());
  }

  std::string error;
  if (!WriteFile(output, bytes, &error)) throw ToolError(error);
  if (verbose) {
    std::fprintf(stderr, "mkcat: %s: %llu directories, %llu files, %llu descriptions, %zu bytes\n",
                 output.c_str(), static_cast<unsigned long long>(counts.directories),
                 static_cast<unsigned long long>(counts.files),
                 static_cast<unsigned long long>(counts.descriptions), bytes.size());
  }
  return kExitOk;
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
  } catch (const ToolError& error) {
    std::fprintf(stderr, "mkcat: %s\n", error.what());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "mkcat: %s\n", error.what());
  }
  return kExitFailure;
}
