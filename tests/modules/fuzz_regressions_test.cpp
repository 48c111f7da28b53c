// Replays, through the built modules, every input the fuzzers keep: the regression cases in
// fuzz/regressions/<module>/ (each one an input that once found a fault; its file name says
// which) and the seed corpora in fuzz/corpus/<module>_*/. The probe's answer is checked for each,
// and each is opened whatever the probe says and listed to its end under the fuzzers' own
// checks: an input that does not open would exercise nothing, and fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
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

// `probeRefuses` names the inputs the probe refuses (the walk target's seeds made to be refused,
// and a cut ZEX catalogue); it takes every other one.
void Replay(const std::string& modulePath, const std::string& module, Format format,
            const std::set<std::string>& probeRefuses) {
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
  std::set<std::string> refusedSeen;
  for (const fs::path& input : inputs) {
    SCOPED_TRACE(input.string());
    std::ifstream stream(input, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(stream),
                                     std::istreambuf_iterator<char>()};
    const bool refused = probeRefuses.count(input.filename().string()) != 0;
    if (refused) refusedSeen.insert(input.filename().string());
    EXPECT_EQ(fmt.isArchive("x", bytes.data(), static_cast<uint32_t>(bytes.size())),
              refused ? 0 : 1);
    int32_t type = -1;
    const int opened = fmt.openArchive(input.c_str(), &type);
    EXPECT_EQ(opened, 1) << "an input kept for replay does not open";
    if (opened != 1) continue;
    EXPECT_EQ(type, 0);
    const CheckedListing listing = record_checks::ListChecked(fmt.getArcItem, format, bytes.size());
    EXPECT_FALSE(listing.endless);
    EXPECT_EQ(listing.broken, nullptr) << listing.broken;
    int closed = 0;
    EXPECT_EQ(record_checks::CheckedClose(fmt.closeArchive, &closed), nullptr);
    EXPECT_NE(closed, 0);
  }
  EXPECT_EQ(refusedSeen, probeRefuses) << "an input named as refused is missing";
}

TEST(FuzzRegressions, ZexInputsListToTheirEnd) {
  Replay(ZEX_FMT_PATH, "zex", Format::Zex,
         {"truncated.zex", "small_refused.zex", "nested_minor4_refused.zex"});
}

#ifdef MUR_FMT_PATH
TEST(FuzzRegressions, MurInputsListToTheirEnd) {
  Replay(MUR_FMT_PATH, "mur", Format::Mur, {"small_refused.mur", "name_kinds_refused.mur"});
}
#endif

}  // namespace
