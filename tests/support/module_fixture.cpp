#include "tests/support/module_fixture.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

const char* ImageRefusedModules() {
  const char* folder = std::getenv(kImageRefusedModules);
  return folder != nullptr && *folder != '\0' ? folder : nullptr;
}

int PastEndResult(int withImage) {
  return ImageRefusedModules() != nullptr ? StatusReadError : withImage;
}

LoadedModule::LoadedModule(const std::string& builtPath) {
  std::string path = builtPath;
  if (const char* folder = ImageRefusedModules()) {
    path = std::string(folder) + "/" + builtPath.substr(builtPath.rfind('/') + 1);
  }
  std::string error;
  if (!LoadFormatModuleFile(path, &module_, &error)) {
    ADD_FAILURE() << "cannot load " << path << ": " << error;
  }
}

LoadedModule::~LoadedModule() {
  // Leave the module closed for the next test: its one state is per library, and dlclose may
  // keep the library loaded.
  if (module_.closeArchive != nullptr) {
    CloseRecord record{};
    module_.closeArchive(&record);
  }
  UnloadFormatModule(&module_);
}

ListedItem NextItem(const FormatModule& module) {
  ListedItem listed;
  std::memset(&listed.item, kItemFill, sizeof listed.item);
  std::memset(&listed.details, kDetailsFill, sizeof listed.details);
  listed.result = module.getArcItem(&listed.item, &listed.details);
  return listed;
}

std::vector<ListedItem> ListAll(const FormatModule& module, size_t limit) {
  std::vector<ListedItem> items;
  for (size_t call = 0; call < limit; ++call) {
    items.push_back(NextItem(module));
    if (items.back().result != StatusOk) return items;
  }
  ADD_FAILURE() << "the listing did not end after " << limit << " calls";
  return items;
}

std::vector<ListedItem> ListDelivered(const FormatModule& module, size_t limit) {
  std::vector<ListedItem> items;
  for (size_t call = 0; call < limit; ++call) {
    items.push_back(NextItem(module));
    const ListedItem& last = items.back();
    if (last.result == StatusEnd) return items;
    if ((last.item.dwFileAttributes & kAttrOffline) == 0 || last.result > StatusDamaged) {
      ADD_FAILURE() << "call " << call << " returned " << last.result << " and delivered nothing";
      return items;
    }
  }
  ADD_FAILURE() << "the listing did not end after " << limit << " calls";
  return items;
}

std::vector<std::string> PathsOf(const std::vector<ListedItem>& items) {
  std::vector<std::string> paths;
  for (const ListedItem& listed : items) {
    if (listed.result == StatusOk) paths.push_back(listed.path());
  }
  return paths;
}

TempFile::TempFile(const std::vector<uint8_t>& bytes) {
  static std::atomic<int> counter{0};
  const char* dir = std::getenv("TMPDIR");
  path_ = std::string(dir != nullptr ? dir : "/tmp") + "/catalogue_test_" +
          std::to_string(::getpid()) + "_" + std::to_string(counter++);
  Rewrite(bytes);
}

TempFile::~TempFile() {
  std::remove(path_.c_str());
}

void TempFile::Rewrite(const std::vector<uint8_t>& bytes) const {
  FILE* file = std::fopen(path_.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  if (!bytes.empty()) {
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
  }
  std::fclose(file);
}

void Poke16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
  ASSERT_LE(offset + 2, bytes.size());
  bytes[offset] = static_cast<uint8_t>(value);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void Poke32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  ASSERT_LE(offset + 4, bytes.size());
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t TicksOf(int year, int month, int day, int hour, int minute, int second) {
  // Days from 1601-01-01, counted plainly so the test does not share the module's arithmetic.
  int64_t days = 0;
  for (int y = 1601; y < year; ++y) {
    days += ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0) ? 366 : 365;
  }
  static const int kLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  for (int m = 1; m < month; ++m) days += (m == 2 && leap) ? 29 : kLengths[m - 1];
  days += day - 1;
  const int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second;
  return static_cast<uint64_t>(seconds) * 10'000'000u;
}
