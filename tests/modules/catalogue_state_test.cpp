// The ranged reader and the state's lifecycle, compiled into the test with the platform layer.
#include "modules/core/catalogue_state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/support/module_fixture.h"

// A state of the test's own, as a format module keeps one.
static CatalogueState gTestState;

namespace {

std::vector<uint8_t> Counting(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  return bytes;
}

class CatalogueStateTest : public ::testing::Test {
 protected:
  void TearDown() override { CloseCatalogue(gTestState); }
  // Drops the image, so that reads go to the file.
  void DropImage() {
    platform::FreeImage(gTestState.fileImage, gTestState.fileSize);
    gTestState.fileImage = nullptr;
  }
};

TEST_F(CatalogueStateTest, ImageReadsAtTheEdgesOfTheFile) {
  const std::vector<uint8_t> bytes = Counting(100);
  TempFile file(bytes);
  ASSERT_EQ(OpenCatalogue(gTestState, file.path()), 1);
  ASSERT_NE(gTestState.fileImage, nullptr);
  EXPECT_EQ(gTestState.fileSize, 100u);
  EXPECT_STREQ(gTestState.pathBuffer, "");

  uint8_t out[128];
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(ReadAt(gTestState, 60, out, 40), StatusOk) << "ends exactly at the last byte";
  EXPECT_EQ(std::memcmp(out, bytes.data() + 60, 40), 0);
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(ReadAt(gTestState, 61, out, 40), StatusDamaged);
  EXPECT_EQ(out[0], 0xEE) << "nothing is copied on 2";
  EXPECT_EQ(ReadAt(gTestState, 100, out, 1), StatusPastEnd) << "begins exactly at the end";
  EXPECT_EQ(ReadAt(gTestState, 100, out, 0), StatusPastEnd) << "0 bytes at the end still 3";
  EXPECT_EQ(ReadAt(gTestState, 0xFFFFFFFF, out, 2), StatusPastEnd);
  EXPECT_EQ(ReadAt(gTestState, 99, out, 0xFFFFFFFF), StatusDamaged) << "no wrap of offset+length";
  EXPECT_EQ(ReadAt(gTestState, 50, out, 0), StatusOk);
  EXPECT_EQ(out[0], 0xEE);
}

// ReadAt is inlined here with constant offsets of 2 GiB and more. GCC for 32-bit targets then
// flags the copy from the image (out of bounds, overlapping), though that branch is never
// taken: the image was dropped.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
TEST_F(CatalogueStateTest, FileReadsWithoutAnImage) {
  const std::vector<uint8_t> bytes = Counting(100);
  TempFile file(bytes);
  ASSERT_EQ(OpenCatalogue(gTestState, file.path()), 1);
  DropImage();
  uint8_t out[64];
  EXPECT_EQ(ReadAt(gTestState, 60, out, 40), StatusOk);
  EXPECT_EQ(std::memcmp(out, bytes.data() + 60, 40), 0);
  EXPECT_EQ(ReadAt(gTestState, 61, out, 40), StatusReadError) << "short read past the end";
  EXPECT_EQ(ReadAt(gTestState, 100, out, 1), StatusReadError);
  EXPECT_EQ(ReadAt(gTestState, 100, out, 0), StatusOk) << "a read of 0 bytes is no failure";
  EXPECT_EQ(ReadAt(gTestState, 0x7FFFFFFF, out, 1), StatusReadError);
  EXPECT_EQ(ReadAt(gTestState, 0x80000000u, out, 1), StatusPastEnd) << "beyond a signed distance";
  EXPECT_EQ(ReadAt(gTestState, 0xFFFFFFFFu, out, 1), StatusPastEnd);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

TEST_F(CatalogueStateTest, EmptyFileHasAnEmptyImage) {
  TempFile file({});
  ASSERT_EQ(OpenCatalogue(gTestState, file.path()), 1);
  EXPECT_NE(gTestState.fileImage, nullptr);
  EXPECT_EQ(gTestState.fileSize, 0u);
  uint8_t out[4];
  EXPECT_EQ(ReadAt(gTestState, 0, out, 4), StatusPastEnd);
  EXPECT_EQ(ReadAt(gTestState, 0, out, 0), StatusPastEnd);
}

TEST_F(CatalogueStateTest, ReleaseAndCloseAnyNumberOfTimes) {
  TempFile file(Counting(10));
  ASSERT_EQ(OpenCatalogue(gTestState, file.path()), 1);
  ReleaseState(gTestState);
  ReleaseState(gTestState);
  EXPECT_FALSE(gTestState.active);
  EXPECT_EQ(gTestState.pathBuffer, nullptr);
  EXPECT_EQ(gTestState.fileImage, nullptr);
  EXPECT_TRUE(platform::IsOpen(gTestState.handle)) << "the handle outlives the memory";
  EXPECT_EQ(CloseCatalogue(gTestState), 1);
  EXPECT_EQ(CloseCatalogue(gTestState), 0) << "a repeated close closes nothing";
}

TEST_F(CatalogueStateTest, ReopenClosesTheEarlierFile) {
  TempFile first(Counting(10));
  TempFile second(Counting(20));
  ASSERT_EQ(OpenCatalogue(gTestState, first.path()), 1);
  const intptr_t earlier = gTestState.handle.value;
  ASSERT_EQ(OpenCatalogue(gTestState, second.path()), 1);
  EXPECT_EQ(gTestState.fileSize, 20u);
  // The earlier descriptor was closed, so the new open reused its number.
  EXPECT_EQ(gTestState.handle.value, earlier);
}

TEST_F(CatalogueStateTest, FailedOpenHoldsNothing) {
  EXPECT_EQ(OpenCatalogue(gTestState, "/nonexistent/file"), 0);
  EXPECT_FALSE(platform::IsOpen(gTestState.handle));
  EXPECT_FALSE(gTestState.active);
}

}  // namespace
