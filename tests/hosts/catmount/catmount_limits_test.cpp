// catmount's limits on real FUSE mounts: listings that stop at the item limit or the listing's
// memory limit within bounded memory, and a large sparse catalogue that costs its image alone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/hosts/catmount/catmount_fixture.h"
#include "tools/writer/mur_writer.h"
#include "tools/writer/zex_writer.h"

namespace {

using namespace catmount_test;

// A ZEX catalogue of 2 MB whose directory records all share one range of 60000 entries: it
// delivers 60000 items per directory, 18 million in all.
std::vector<uint8_t> AmplifiedZex() {
  catwriter::ZexTree tree;
  catwriter::ZexDir full;
  full.name = "FULL";
  for (int file = 0; file < 60000; ++file) {
    catwriter::ZexFile entry;
    entry.name = std::string("F").append(std::to_string(100000 + file).substr(1));
    entry.size = static_cast<uint32_t>(file);
    full.files.push_back(entry);
  }
  tree.dirs.push_back(full);
  for (int dir = 0; dir < 300; ++dir) {
    catwriter::ZexDir empty;
    empty.name = std::string("D").append(std::to_string(1000 + dir).substr(1));
    tree.dirs.push_back(empty);
  }
  catwriter::ZexImage image = catwriter::BuildZex(tree);
  // The records of the empty directories take FULL's first entry and entry count.
  const uint32_t fullRecord = image.layout.dirRecordOffsets[1];
  for (size_t record = 2; record < image.layout.dirRecordOffsets.size(); ++record) {
    std::copy_n(image.bytes.begin() + fullRecord + catwriter::zex::kFirstEntryField,
                catwriter::zex::kDirRecordSize - catwriter::zex::kFirstEntryField,
                image.bytes.begin() + image.layout.dirRecordOffsets[record] +
                    catwriter::zex::kFirstEntryField);
  }
  return image.bytes;
}

// Under a sanitizer, catmount's memory is the sanitizer's (shadow memory, quarantine): the
// bounds below are not its own.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedMemory = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitizedMemory = true;
#else
constexpr bool kSanitizedMemory = false;
#endif
#else
constexpr bool kSanitizedMemory = false;
#endif

long AvailableMemoryKiB() {
  std::istringstream info(ReadWholeFile("/proc/meminfo"));
  std::string line;
  while (std::getline(info, line)) {
    if (line.rfind("MemAvailable:", 0) == 0) return std::stol(line.substr(13));
  }
  return 0;
}

// A listing stops at the item limit or at the listing's memory limit, says so in its status,
// keeps what it listed, and the process stays within the limit plus a fixed allowance.
TEST_F(CatmountTest, ListingsStopAtTheirLimitsWithinBoundedMemory) {
  SKIP_WITHOUT_FUSE();
  const std::string catalogue = Write("amplified.zex", AmplifiedZex());
  ASSERT_LT(fs::file_size(catalogue), 2u << 20);
  // The program, its modules and the catalogue's image, without a listing: about 10 MiB.
  constexpr long kAllowanceKiB = 24 << 10;
  {
    Mount mount(catalogue, mountPoint_, LogPath(), {"--max-items", "100000"});
    ASSERT_TRUE(mount.mounted()) << mount.Log();
    const std::string status = XattrOf(mountPoint_, "user.catalogue.status").value_or("");
    EXPECT_EQ(status.rfind("stopped at item 100001: ", 0), 0u) << status;
    EXPECT_EQ(XattrOf(mountPoint_, "user.catalogue.items"), "100000");
    EXPECT_TRUE(fs::exists(mountPoint_ + "/FULL/F59999"));
    // FULL and its 60000 files, D000 and 39998 of its files.
    EXPECT_TRUE(fs::exists(mountPoint_ + "/D000/F39997"));
    EXPECT_FALSE(fs::exists(mountPoint_ + "/D000/F39998"));
    EXPECT_NE(mount.Log().find(status), std::string::npos) << mount.Log();
    if (!kSanitizedMemory) {
      EXPECT_LT(mount.PeakResidentKiB(), kAllowanceKiB) << "KiB at its peak";
    }
  }
  // By memory: 32 MiB of tree, well before the default 10 million items.
  constexpr long kListingMiB = 32;
  Mount mount(catalogue, mountPoint_, LogPath(), {"--listing-mib", std::to_string(kListingMiB)});
  ASSERT_TRUE(mount.mounted()) << mount.Log();
  const std::string status = XattrOf(mountPoint_, "user.catalogue.status").value_or("");
  EXPECT_EQ(status.rfind("stopped at item ", 0), 0u) << status;
  const uint64_t items = std::stoull(XattrOf(mountPoint_, "user.catalogue.items").value_or("0"));
  EXPECT_GT(items, 200000u);
  EXPECT_LT(items, 1000000u);
  EXPECT_TRUE(fs::exists(mountPoint_ + "/D001/F00000"));
  // A table that grows by doubling holds its old copy while it moves: twice the limit at most.
  const long peak = mount.PeakResidentKiB();
  if (!kSanitizedMemory) {
    EXPECT_LT(peak, 2 * (kListingMiB << 10) + kAllowanceKiB) << "KiB at its peak";
  }
  std::printf("[ measured ] %s: %llu items listed, peak resident %ld KiB\n", status.c_str(),
              static_cast<unsigned long long>(items), peak);
}

// A sparse file of almost 4 GiB holding one item: the module reads the whole file into memory
// (the format's rule), catmount itself adds little and reserves nothing from the file's size.
TEST_F(CatmountTest, ALargeSparseCatalogueCostsItsImageAndLittleMore) {
  SKIP_WITHOUT_FUSE();
  if (kSanitizedMemory) GTEST_SKIP() << "memory is measured without a sanitizer only";
  constexpr off_t kSparseSize = (off_t{1} << 32) - 2;  // the largest size the modules read whole
  const long neededKiB = static_cast<long>(kSparseSize >> 10) + (1 << 20);
  if (AvailableMemoryKiB() < neededKiB) {
    GTEST_SKIP() << "the module's image of a 4 GiB file needs " << neededKiB
                 << " KiB of memory available, and there is " << AvailableMemoryKiB();
  }
  catwriter::MurTree tree;
  tree.top = {MurItem("only", "the one item")};
  const std::string catalogue = Write("sparse.mur", catwriter::BuildMur(tree).bytes);
  ASSERT_EQ(truncate(catalogue.c_str(), kSparseSize), 0);
  // Reading 4 GiB of holes takes 20 seconds and more on a busy machine.
  Mount mount(catalogue, mountPoint_, LogPath(), {}, /*waitSeconds=*/100);
  ASSERT_TRUE(mount.mounted()) << mount.Log();
  EXPECT_EQ(XattrOf(mountPoint_ + "/only", "user.description"), "the one item");
  EXPECT_EQ(XattrOf(mountPoint_, "user.catalogue.status"), "complete");
  const long peak = mount.PeakResidentKiB();
  EXPECT_LT(peak, static_cast<long>(kSparseSize >> 10) + (48 << 10)) << "KiB at its peak";
  std::printf("[ measured ] sparse %lld-byte catalogue: peak resident %ld KiB\n",
              static_cast<long long>(kSparseSize), peak);
}

}  // namespace
