// Test support: load a module for one test, and drive a listing as the host does.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tools/hosts/driver/module_loader.h"

// The environment variable that names the folder of the modules built with the whole-file
// image refused (tests/CMakeLists.txt); where it is set, LoadedModule loads the module of the
// same file name from there, so the same tests run a second time reading from the file.
constexpr char kImageRefusedModules[] = "CATALOGUE_TEST_IMAGE_REFUSED_MODULES";
// That folder, or null when the tests load the modules as built.
const char* ImageRefusedModules();

// What a record that the end of the file cuts gives: `withImage` (2 when it runs past the end,
// 3 when it begins at it) where the module reads it from the whole-file image; 4 where it reads
// it from the file (the image refused), as a short read is all the file tells it. A MUR node
// known to begin past the end is 3 either way. Nothing is written in any case, and cathost32
// --refuse-image counts the same case apart from the differences.
int PastEndResult(int withImage);

// A module loaded for the lifetime of the object; the test fails when it cannot be loaded.
class LoadedModule {
 public:
  explicit LoadedModule(const std::string& builtPath);
  ~LoadedModule();
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;
  const FormatModule& get() const { return module_; }

 private:
  FormatModule module_;
};

// One GetArcItem call as the host saw it.
struct ListedItem {
  int result = 0;
  ItemRecord item;
  ItemDetails details;
  std::string path() const { return item.cFileName; }
  std::string description() const { return details.description; }
};

// The byte patterns put into the host's records before each call, so tests can tell which
// bytes a module wrote.
constexpr uint8_t kItemFill = 0xA5;
constexpr uint8_t kDetailsFill = 0x5A;

// Calls GetArcItem once with records filled with the patterns.
ListedItem NextItem(const FormatModule& module);

// Calls GetArcItem while it returns 1 and returns every call, including the last one.
// Fails the test after `limit` calls: a listing must end.
std::vector<ListedItem> ListAll(const FormatModule& module, size_t limit = 100000);

// Calls GetArcItem until it returns 0, going on after results that delivered an item (those
// with 0x1000 in the attributes); fails the test on a result that delivered nothing.
std::vector<ListedItem> ListDelivered(const FormatModule& module, size_t limit = 100000);

// Paths of the items delivered with result 1.
std::vector<std::string> PathsOf(const std::vector<ListedItem>& items);

// A file in the test's temporary folder, removed with the object.
class TempFile {
 public:
  explicit TempFile(const std::vector<uint8_t>& bytes);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const char* path() const { return path_.c_str(); }
  void Rewrite(const std::vector<uint8_t>& bytes) const;

 private:
  std::string path_;
};

// Little-endian patches for breaking a valid catalogue in one way.
void Poke16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value);
void Poke32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);

// FILETIME as one number.
inline uint64_t Ticks(const FileTime& time) {
  return static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}
// FILETIME ticks of a UTC calendar time.
uint64_t TicksOf(int year, int month, int day, int hour, int minute, int second);
