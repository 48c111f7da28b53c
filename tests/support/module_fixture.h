// Test support: load a module for one test, and drive a listing as the host does.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tools/hosts/loader/module_loader.h"

// A module loaded for the lifetime of the object; the test fails when it cannot be loaded.
class LoadedModule {
 public:
  explicit LoadedModule(const std::string& path);
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
