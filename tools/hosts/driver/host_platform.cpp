#include "tools/hosts/driver/host_platform.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <unistd.h>
#endif

namespace {

#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

HeadStatus ReadFileHead(const std::string& path, unsigned char* buffer, size_t capacity,
                        size_t* bytesRead, std::string* reason) {
  *bytesRead = 0;
#if defined(_WIN32)
  // The 64-bit variant, as the plain one fails on files of 2 GiB and more.
  struct _stat64 info;
  int statResult = _stat64(path.c_str(), &info);
#else
  struct stat info;
  int statResult = stat(path.c_str(), &info);
#endif
  if (statResult != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return HeadStatus::kNoSuchFile;
    *reason = std::strerror(errno);
    return HeadStatus::kCannotRead;
  }
  if ((info.st_mode & S_IFMT) == S_IFDIR) return HeadStatus::kIsDirectory;
  // A catalogue is a file: reading a pipe, a socket or a terminal could wait for ever.
  if ((info.st_mode & S_IFMT) != S_IFREG) {
    *reason = "not a regular file";
    return HeadStatus::kCannotRead;
  }
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *reason = std::strerror(errno);
    return HeadStatus::kCannotRead;
  }
  size_t count = std::fread(buffer, 1, capacity, file);
  bool failed = std::ferror(file) != 0;
  int readErrno = errno;
  std::fclose(file);
  if (failed) {
    *reason = std::strerror(readErrno);
    return HeadStatus::kCannotRead;
  }
  *bytesRead = count;
  return count == 0 ? HeadStatus::kEmpty : HeadStatus::kOk;
}

std::string ExecutableDirectory() {
  std::string path;
#if defined(_WIN32)
  char buffer[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return {};
  path.assign(buffer, length);
  size_t cut = path.find_last_of("\\/");
#else
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return {};
  path.assign(buffer, static_cast<size_t>(length));
  size_t cut = path.rfind('/');
#endif
  if (cut == std::string::npos) return {};
  return path.substr(0, cut);
}

std::vector<std::string> FormatModulesIn(const std::string& directory, const std::string& suffix) {
  std::vector<std::string> names;
#if defined(_WIN32)
  WIN32_FIND_DATAA found;
  std::string pattern = directory + "\\*" + suffix;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      // The pattern also matches longer extensions (8.3 aliases); keep exact ones only.
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
          EndsWith(found.cFileName, suffix)) {
        names.push_back(found.cFileName);
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
#else
  if (DIR* folder = opendir(directory.c_str())) {
    while (const dirent* entry = readdir(folder)) {
      if (EndsWith(entry->d_name, suffix)) names.push_back(entry->d_name);
    }
    closedir(folder);
  }
#endif
  std::sort(names.begin(), names.end());
  std::vector<std::string> paths;
  for (const std::string& name : names) paths.push_back(directory + kPathSeparator + name);
  return paths;
}
