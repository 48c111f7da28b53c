// Test support for the tests that run mkcat and cathost on trees they build: scratch
// folders, files made in bulk, runs of mkcat and cathost's listings.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/child_output.h"
#include "tests/support/program_run.h"
#include "tests/support/scratch.h"
#include "tests/support/tmpfs_mount.h"

namespace mkcat_test {

using test_mounts::TmpfsMount;

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Makes an empty file for every name in `folder`; false at the first that cannot be made.
inline bool MakeEmptyFiles(const std::string& folder, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    const int file = open((folder + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (file < 0) return false;
    close(file);
  }
  return true;
}

#ifdef MKCAT_PATH
// Runs mkcat with `arguments` in UTC.
inline RunResult RunMkcat(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), MKCAT_PATH);
  return program_run::Run(std::move(arguments));
}
#endif

#ifdef CATHOST_PATH
struct ListedEntry {
  std::string path;
  std::string description;
  bool operator==(const ListedEntry&) const = default;
};

// The items cathost lists (decoded to UTF-8), damaged ones included: path and description.
inline std::vector<ListedEntry> ListCatalogue(const std::string& catalogue) {
  const RunResult run = program_run::Run({CATHOST_PATH, "--keep-going", catalogue});
  std::vector<ListedEntry> entries;
  size_t start = 0;
  while (start < run.out.size()) {
    size_t end = run.out.find('\n', start);
    if (end == std::string::npos) end = run.out.size();
    // "ATTRS SIZE(10) DATE TIME PATH[  -- DESCRIPTION]": the path starts at column 38.
    const std::string line = run.out.substr(start, end - start);
    start = end + 1;
    if (line.size() < 38) continue;
    const std::string rest = line.substr(38);
    const size_t split = rest.find("  -- ");
    entries.push_back(
        {rest.substr(0, split), split == std::string::npos ? "" : rest.substr(split + 5)});
  }
  return entries;
}
#endif

// The names in a folder, "." and ".." left out, sorted.
inline std::vector<std::string> NamesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace mkcat_test
