#include "tests/support/checked_module.h"

#include <filesystem>

std::vector<uint8_t> Prefix(const std::vector<uint8_t>& bytes, size_t length) {
  return std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(length));
}

size_t OpenDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

int CheckedModuleTest::Open(const std::vector<uint8_t>& bytes) {
  file_ = std::make_unique<TempFile>(bytes);
  int32_t type = -1;
  return module().openArchive(file_->path(), &type);
}

record_checks::CheckedListing CheckedModuleTest::ListChecked(uint64_t fileSize) {
  return record_checks::ListChecked(module().getArcItem, format_, fileSize);
}

record_checks::CheckedListing CheckedModuleTest::OpenAndList(const std::vector<uint8_t>& bytes) {
  EXPECT_EQ(Open(bytes), 1);
  record_checks::CheckedListing listing = ListChecked(bytes.size());
  EXPECT_FALSE(listing.endless);
  EXPECT_EQ(listing.broken, nullptr) << listing.broken;
  return listing;
}
