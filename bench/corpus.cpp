#include "bench/corpus.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "tools/writer/mur_writer.h"
#include "tools/writer/zex_writer.h"

namespace bench {
namespace {

// Directory sizes: log-uniform between these, so most directories are small.
constexpr double kMinFiles = 10;
constexpr double kMaxFiles = 1000;
// Long names, extension included.
constexpr uint32_t kMinName = 8;
constexpr uint32_t kMaxName = 40;
// One item in this many has a description; one name in this many a Latin-1 letter.
constexpr uint32_t kDescribedEvery = 20;
constexpr uint32_t kLatinEvery = 50;

constexpr const char* kExtensions[] = {"txt", "cpp", "h",   "jpg", "png", "doc", "pdf",
                                       "mp3", "dat", "htm", "zip", "exe", "c",   ""};
constexpr const char* kWords[] = {"backup", "copy",   "draft", "final",  "notes",  "old",
                                  "photos", "report", "scan",  "source", "letter", "data"};

// splitmix64: small, fast and the same on every machine.
struct Random {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(Next() % bound); }
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
};

std::string RandomText(Random& random, uint32_t length) {
  static constexpr char kChars[] =
      "abcdefghijklmnopqrstuvwxyz0123456789_-ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string text;
  for (uint32_t i = 0; i < length; ++i) {
    // Mostly lower case and digits; a space or an upper-case letter now and then.
    const uint32_t pick = random.Below(100);
    if (pick < 3 && i > 0 && i + 1 < length) {
      text += ' ';
    } else if (pick < 10) {
      text += kChars[38 + random.Below(26)];
    } else {
      text += kChars[random.Below(38)];
    }
  }
  if (random.Below(kLatinEvery) == 0) text[random.Below(length)] = '\xE9';  // e acute in 1252
  return text;
}

std::string RandomDescription(Random& random) {
  std::string text;
  const uint32_t target = 10 + random.Below(70);
  while (text.size() < target) {
    if (!text.empty()) text += ' ';
    text += kWords[random.Below(std::size(kWords))];
  }
  return text;
}

catwriter::DosStamp RandomStamp(Random& random) {
  return catwriter::MakeDosStamp(
      1990 + static_cast<int>(random.Below(30)), 1 + static_cast<int>(random.Below(12)),
      1 + static_cast<int>(random.Below(28)), static_cast<int>(random.Below(24)),
      static_cast<int>(random.Below(60)), 2 * static_cast<int>(random.Below(30)));
}

// Names within one directory are unique, as on a real disk.
class Namer {
 public:
  explicit Namer(Random& random) : random_(random) {}
  GenFile File() {
    GenFile file;
    for (;;) {
      const double u = random_.Unit();
      const auto total = kMinName + static_cast<uint32_t>((kMaxName - kMinName + 1) * u * u);
      file.extension = kExtensions[random_.Below(std::size(kExtensions))];
      const uint32_t stemLength =
          file.extension.empty() ? total : std::max<uint32_t>(1, total - 1 - file.extension.size());
      file.stem = RandomText(random_, stemLength);
      const std::string full =
          file.extension.empty() ? file.stem : file.stem + "." + file.extension;
      if (used_.insert(full).second) break;
    }
    file.size = random_.Below(4u << 20);
    file.stamp = RandomStamp(random_);
    if (random_.Below(kDescribedEvery) == 0) file.description = RandomDescription(random_);
    return file;
  }
  GenDir Dir() {
    GenDir dir;
    do {
      dir.name = RandomText(random_, 4 + random_.Below(17));
    } while (!used_.insert(dir.name).second);
    dir.stamp = RandomStamp(random_);
    if (random_.Below(kDescribedEvery) == 0) dir.description = RandomDescription(random_);
    return dir;
  }

 private:
  Random& random_;
  std::unordered_set<std::string> used_;
};

uint32_t DirectorySize(Random& random) {
  return static_cast<uint32_t>(
      std::lround(std::exp(std::log(kMinFiles) + random.Unit() * std::log(kMaxFiles / kMinFiles))));
}

void FillDirectory(GenDir& dir, uint32_t depth, Random& random, uint64_t& remaining) {
  Namer namer(random);
  const uint32_t files = DirectorySize(random);
  for (uint32_t i = 0; i < files; ++i) dir.files.push_back(namer.File());
  remaining -= std::min<uint64_t>(remaining, files);
  if (depth >= kMaxDepth) return;
  const uint32_t subdirs = random.Below(kMaxDepth + 1 - depth);
  for (uint32_t i = 0; i < subdirs && remaining > 0; ++i) {
    dir.subdirs.push_back(namer.Dir());
    --remaining;
    FillDirectory(dir.subdirs.back(), depth + 1, random, remaining);
  }
}

uint64_t CountItems(const GenDir& dir) {
  uint64_t items = 1 + dir.files.size();
  for (const GenDir& sub : dir.subdirs) items += CountItems(sub);
  return items;
}

// --- ZEX -----------------------------------------------------------------------------------

// An 8.3 name from a long one: upper case, at most 8 and 3 bytes, cut names marked "~".
void ShortName(const std::string& stem, const std::string& extension, std::string* base,
               std::string* ext) {
  auto upper = [](std::string text) {
    for (char& c : text) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (c == ' ') c = '_';
    }
    return text;
  };
  *base = upper(stem.size() <= 8 ? stem : stem.substr(0, 6) + "~1");
  *ext = upper(extension.substr(0, 3));
}

catwriter::ZexFile ToZexFile(const GenFile& file) {
  catwriter::ZexFile out;
  ShortName(file.stem, file.extension, &out.name, &out.extension);
  out.size = file.size;
  out.stamp = file.stamp;
  if (!file.description.empty()) out.description = file.description;
  return out;
}

catwriter::ZexDir ToZexDir(const GenDir& dir) {
  catwriter::ZexDir out;
  ShortName(dir.name, "", &out.name, &out.extension);
  out.stamp = dir.stamp;
  if (!dir.description.empty()) out.description = dir.description;
  for (const GenFile& file : dir.files) out.files.push_back(ToZexFile(file));
  for (const GenDir& sub : dir.subdirs) out.subdirs.push_back(ToZexDir(sub));
  return out;
}

// --- MUR -----------------------------------------------------------------------------------

// As mkcat does: a short name without a description is kept whole (kind 0); any other is
// split at its dot so that the extension gets a chain of its own.
catwriter::MurNode ToMurFile(const GenFile& file) {
  catwriter::MurNode node;
  const std::string full = file.extension.empty() ? file.stem : file.stem + "." + file.extension;
  if ((full.size() <= catwriter::mur::kLongInlineName && file.description.empty()) ||
      file.extension.empty()) {
    node.name = full;
  } else {
    node.name = file.stem;
    node.extension = file.extension;
  }
  node.size = file.size;
  node.stamp = file.stamp;
  if (!file.description.empty()) node.description = file.description;
  return node;
}

catwriter::MurNode ToMurDir(const GenDir& dir) {
  catwriter::MurNode node;
  node.name = dir.name;
  node.isDirectory = true;
  node.stamp = dir.stamp;
  if (!dir.description.empty()) node.description = dir.description;
  for (const GenFile& file : dir.files) node.children.push_back(ToMurFile(file));
  for (const GenDir& sub : dir.subdirs) node.children.push_back(ToMurDir(sub));
  return node;
}

// --- Disk ----------------------------------------------------------------------------------

std::string Cp1252ToUtf8(const std::string& text) {
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<uint8_t>(c);
    if (byte < 0x80) {
      out += c;
    } else {  // the generator uses only Latin-1 letters, which map to U+0080..U+00FF
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

bool WriteDirectory(const GenDir& dir, const std::string& path, std::string* error) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  for (const GenFile& file : dir.files) {
    const std::string name =
        Cp1252ToUtf8(file.extension.empty() ? file.stem : file.stem + "." + file.extension);
    const std::string full = path + "/" + name;
    const int fd = ::open(full.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) {
      *error = full + ": " + std::strerror(errno);
      return false;
    }
    ::close(fd);
  }
  for (const GenDir& sub : dir.subdirs) {
    if (!WriteDirectory(sub, path + "/" + Cp1252ToUtf8(sub.name), error)) return false;
  }
  return true;
}

}  // namespace

GenTree MakeTree(uint64_t items, uint64_t seed) {
  Random random{seed};
  GenTree tree;
  uint64_t remaining = items;
  Namer top(random);
  const uint32_t rootFiles =
      static_cast<uint32_t>(std::min<uint64_t>(10 + random.Below(91), items));
  for (uint32_t i = 0; i < rootFiles; ++i) tree.rootFiles.push_back(top.File());
  remaining -= rootFiles;
  while (remaining > 0) {
    tree.dirs.push_back(top.Dir());
    --remaining;
    FillDirectory(tree.dirs.back(), 1, random, remaining);
  }
  tree.items = tree.rootFiles.size();
  for (const GenDir& dir : tree.dirs) tree.items += CountItems(dir);
  return tree;
}

std::vector<uint8_t> MakeMur(const GenTree& tree) {
  catwriter::MurTree mur;
  for (const GenFile& file : tree.rootFiles) mur.top.push_back(ToMurFile(file));
  for (const GenDir& dir : tree.dirs) mur.top.push_back(ToMurDir(dir));
  return catwriter::BuildMur(mur).bytes;
}

std::vector<uint8_t> MakeZex(uint64_t items, uint64_t seed, uint64_t* listedItems) {
  const bool shared = items > kZexPoolItems;
  const GenTree tree = MakeTree(shared ? kZexPoolItems : items, seed);
  catwriter::ZexTree zex;
  for (const GenFile& file : tree.rootFiles) zex.rootFiles.push_back(ToZexFile(file));
  for (const GenDir& dir : tree.dirs) zex.dirs.push_back(ToZexDir(dir));
  std::vector<uint8_t> image = catwriter::BuildZex(zex).bytes;
  uint32_t copies = 1;
  if (shared) {
    copies = static_cast<uint32_t>((items + kZexPoolItems / 2) / kZexPoolItems);
    image = ReplicateZexDirectories(image, copies);
  }
  *listedItems = tree.rootFiles.size() + copies * (tree.items - tree.rootFiles.size());
  return image;
}

std::vector<uint8_t> ReplicateZexDirectories(const std::vector<uint8_t>& image, uint32_t copies) {
  namespace z = catwriter::zex;
  if (copies <= 1) return image;
  const uint32_t dirTable = catwriter::GetU32(image, z::kDirTableOffsetField);
  const uint32_t dirTableSize = catwriter::GetU32(image, z::kDirTableSizeField);
  const uint32_t entryTable = catwriter::GetU32(image, z::kEntryTableOffsetField);
  const uint32_t noteBase = catwriter::GetU32(image, z::kNoteBaseField);
  // The writer lays out the directory table, then the entry table and the notes after it.
  const uint32_t records = dirTableSize / static_cast<uint32_t>(z::kDirRecordSize);
  const bool hasRoot = records > 0 && catwriter::GetU16(image, dirTable + z::kLevelField) == 0;
  const size_t first = dirTable + (hasRoot ? z::kDirRecordSize : 0);
  const size_t copied = dirTable + dirTableSize - first;
  const size_t grow = copied * (copies - 1);

  std::vector<uint8_t> out;
  out.reserve(image.size() + grow);
  out.insert(out.end(), image.begin(), image.begin() + static_cast<std::ptrdiff_t>(first));
  for (uint32_t copy = 0; copy < copies; ++copy) {
    const size_t start = out.size();
    out.insert(out.end(), image.begin() + static_cast<std::ptrdiff_t>(first),
               image.begin() + static_cast<std::ptrdiff_t>(first + copied));
    if (copy == 0) continue;
    // Top-level directories of each further copy get the copy's number as their extension.
    static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    const char number[3] = {kDigits[copy / 1296 % 36], kDigits[copy / 36 % 36], kDigits[copy % 36]};
    for (size_t at = start; at < out.size(); at += z::kDirRecordSize) {
      if (catwriter::GetU16(out, at + z::kLevelField) != 1) continue;
      std::memcpy(&out[at + z::kDirEntryField + z::kExtensionField], number, 3);
    }
  }
  out.insert(out.end(), image.begin() + static_cast<std::ptrdiff_t>(dirTable + dirTableSize),
             image.end());
  const auto delta = static_cast<uint32_t>(grow);
  catwriter::PutU32(out, z::kDirTableSizeField, dirTableSize + delta);
  catwriter::PutU32(out, z::kEntryTableOffsetField, entryTable + delta);
  catwriter::PutU32(out, z::kNoteBaseField, noteBase + delta);
  catwriter::PutU32(out, z::kThirdOffsetField, noteBase + delta);
  catwriter::PutU32(out, z::kCheckValueBField, noteBase + delta);
  catwriter::PutU32(out, z::kCheckValueAField, static_cast<uint32_t>(out.size()));
  return out;
}

bool WriteTreeToDisk(const GenTree& tree, const std::string& root, std::string* error) {
  if (::mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = root + ": " + std::strerror(errno);
    return false;
  }
  GenDir top;
  top.files = tree.rootFiles;
  top.subdirs = tree.dirs;
  return WriteDirectory(top, root, error);
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::string error;
  return catwriter::WriteFile(path, bytes, &error);
}

}  // namespace bench
