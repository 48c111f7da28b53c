// Replays, through the built modules, every input the fuzzers keep: the regression cases in
// fuzz/regressions/<module>/ (each one an input that once found a fault; its file name says
// which) and the seed corpora in fuzz/corpus/<module>_*/. Each is opened whatever the probe
// says and listed to its end under the fuzzers' own checks.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "modules/checks/record_checks.h"
#include "tests/support/module_fixture.h"

namespace {

namespace fs = std::filesystem;
using record_checks::CheckedListing;
using record_checks::Format;

const fs::path kFuzzDirectory = fs::path(SOURCE_DIR) / "fuzz";

std::vector<fs::path> FilesIn(const fs::path& folder) {
  std::vector<fs::path> files;
  if (fs::is_directory(folder)) {
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
  }
  return files;
}

void Replay(const std::string& modulePath, const std::string& module, Format format) {
  LoadedModule loaded(modulePath);
  const FormatModule& fmt = loaded.get();
  // A folder of regression cases that is missing or empty would pass without replaying any.
  std::vector<fs::path> inputs = FilesIn(kFuzzDirectory / "regressions" / module);
  ASSERT_FALSE(inputs.empty()) << "no regression cases in " << kFuzzDirectory << "/regressions/"
                               << module;
  for (const char* target : {"_host", "_walk"}) {
    const std::vector<fs::path> seeds = FilesIn(kFuzzDirectory / "corpus" / (module + target));
    ASSERT_FALSE(seeds.empty()) << "no seeds for " << module << target;
    inputs.insert(inputs.end(), seeds.begin(), seeds.end());
  }
  for (const fs::path& input : inputs) {
    SCOPED_TRACE(input.string());
    std::ifstream stream(input, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(stream),
                                     std::istreambuf_iterator<char>()};
    const int accepted = fmt.isArchive("x", bytes.data(), static_cast<uint32_t>(bytes.size()));
    EXPECT_TRUE(accepted == 0 || accepted == 1);
    int32_t type = -1;
    if (fmt.openArchive(input.c_str(), &type) != 1) continue;
    const CheckedListing listing = record_checks::ListChecked(fmt.getArcItem, format, bytes.size());
    EXPECT_FALSE(listing.endless);
    EXPECT_EQ(listing.broken, nullptr) << listing.broken;
    int closed = 0;
    EXPECT_EQ(record_checks::CheckedClose(fmt.closeArchive, &closed), nullptr);
    EXPECT_NE(closed, 0);
  }
}

TEST(FuzzRegressions, ZexInputsListToTheirEnd) {
  Replay(ZEX_FMT_PATH, "zex", Format::Zex);
}

#ifdef MUR_FMT_PATH
TEST(FuzzRegressions, MurInputsListToTheirEnd) {
  Replay(MUR_FMT_PATH, "mur", Format::Mur);
}
#endif

}  // namespace
