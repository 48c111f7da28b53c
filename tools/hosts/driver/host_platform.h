// The little that the hosts need from the operating system: where their executable lies,
// which format modules sit there, and the first bytes of a catalogue.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum class HeadStatus { kOk, kNoSuchFile, kIsDirectory, kCannotRead, kEmpty };

// Reads up to `capacity` bytes from the start of the file at `path` into `buffer`. On
// kCannotRead, `reason` says why in the system's words.
HeadStatus ReadFileHead(const std::string& path, unsigned char* buffer, size_t capacity,
                        size_t* bytesRead, std::string* reason);

// The folder holding the running executable, or an empty text when it cannot be found.
std::string ExecutableDirectory();

// Paths of the files in `directory` whose names end in `suffix` (format modules such as
// `*_fmt.so`), sorted by file name.
std::vector<std::string> FormatModulesIn(const std::string& directory, const std::string& suffix);
