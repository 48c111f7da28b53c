// Benchmark corpora: a realistic directory tree made from a seed, written as ZEX and MUR
// catalogues by our own writer, and, for the peer comparison, as empty files on disk.
//
// The tree: top-level directories nested up to kMaxDepth levels deep, each directory holding
// 10 to 1,000 files (log-uniform, so small directories are the common case), long names of
// 8 to 40 characters with an extension most of the time and now and then a Latin-1 letter,
// and a description on about one item in twenty.
//
// ZEX limit: an entry's number (firstEntry) and a directory's entryCount are 16-bit, so one
// catalogue addresses at most 65,535 + 65,535 distinct entries. A ZEX catalogue of more items
// than kZexPoolItems is therefore made by letting directories share entry ranges: the writer
// builds a pool tree of about kZexPoolItems items, and its directory records (all but the
// root's) are repeated, each copy's top-level directories renamed by a base-36 extension
// (".001", ".002", ...), so every item keeps a path of its own while the copies point at the
// same firstEntry ranges. Several directory records naming the same range is legal, and the
// reader lists the range once per directory. The ZEX listing of 1M items then re-reads a
// 2 MB entry table instead of streaming 32 MB: the RESULTS note says so beside the figures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/writer/bytes.h"

namespace bench {

constexpr uint32_t kMaxDepth = 5;
constexpr uint32_t kZexPoolItems = 50'000;

struct GenFile {
  std::string stem;       // cp1252 bytes
  std::string extension;  // may be empty
  uint32_t size = 0;
  catwriter::DosStamp stamp;
  std::string description;
};

struct GenDir {
  std::string name;  // cp1252 bytes, no extension
  catwriter::DosStamp stamp;
  std::string description;
  std::vector<GenFile> files;
  std::vector<GenDir> subdirs;
};

struct GenTree {
  std::vector<GenFile> rootFiles;
  std::vector<GenDir> dirs;
  uint64_t items = 0;  // every directory and file
};

// A tree of about `items` items (a little more: the last directory is completed).
GenTree MakeTree(uint64_t items, uint64_t seed);

// Catalogue images of the tree. MakeZex shares entry ranges as described above when the tree
// holds more than kZexPoolItems items; `items` receives the number of items it lists.
std::vector<uint8_t> MakeMur(const GenTree& tree);
std::vector<uint8_t> MakeZex(uint64_t items, uint64_t seed, uint64_t* listedItems);

// Repeats the non-root directory records of a ZEX image `copies` times (see above). Returns
// the new image; the original is returned unchanged when `copies` is 1.
std::vector<uint8_t> ReplicateZexDirectories(const std::vector<uint8_t>& image, uint32_t copies);

// Writes the tree below `root` as directories and empty files with UTF-8 names. Returns false
// and says why in `error` on the first failure.
bool WriteTreeToDisk(const GenTree& tree, const std::string& root, std::string* error);

// Writes `bytes` to `path`; false on failure.
bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace bench
