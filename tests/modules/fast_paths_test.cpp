// The per-item fast paths give exactly what their plain twins give: the copies and the text
// measure of modules/core/bytes.h, whole MUR chunks, reads in place from the image, DOS stamps counted
// without division, 8.3 names formed in registers; and the 8.3 names of the built zex_fmt
// match the plain algorithm.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "modules/core/bytes.h"
#include "modules/core/catalogue_state.h"
#include "modules/mur/mur_format.h"
#include "modules/platform/dos_time.h"
#if !defined(_WIN32)
#include "modules/platform/posix/image_memory.h"
#endif
#include "tests/support/module_fixture.h"
#include "tools/writer/zex_writer.h"
#include "modules/zex/zex_format.h"

namespace {

TEST(FastCopies, CopyBytesWritesExactlyWhatMemcpyWritesForEveryPathLength) {
  uint8_t source[300];
  for (size_t i = 0; i < sizeof source; ++i) source[i] = static_cast<uint8_t>(i + 1);
  for (uint32_t length = 0; length <= 260; ++length) {
    uint8_t fast[300];
    uint8_t plain[300];
    std::memset(fast, 0xA5, sizeof fast);
    std::memset(plain, 0xA5, sizeof plain);
    CopyBytes(fast + 8, source, length);
    std::memcpy(plain + 8, source, length);
    ASSERT_EQ(std::memcmp(fast, plain, sizeof fast), 0) << "length " << length;
  }
}

TEST(FastCopies, WholeChunksCopyAndMeasureAsThePlainTwin) {
  // A zero, a 0x01 and a high byte at every position of the 36 text bytes.
  for (uint32_t zeroAt = 0; zeroAt <= mur::kChunkTextSize; ++zeroAt) {
    for (uint32_t highAt = 0; highAt <= mur::kChunkTextSize; ++highAt) {
      uint8_t text[mur::kChunkTextSize];
      for (uint32_t i = 0; i < sizeof text; ++i) text[i] = static_cast<uint8_t>('a' + i % 26);
      if (highAt < sizeof text) text[highAt] = 0xC9;
      if (zeroAt < sizeof text) text[zeroAt] = 0;
      if (zeroAt + 1 < sizeof text) text[zeroAt + 1] = 0x01;
      char fast[mur::kChunkTextSize + 4];
      char plain[mur::kChunkTextSize + 4];
      std::memset(fast, 0x5A, sizeof fast);
      std::memset(plain, 0x5A, sizeof plain);
      const TextMeasure fastMeasure = mur::CopyWholeChunk(fast, text);
      const TextMeasure plainMeasure = mur::CopyWholeChunkPlain(plain, text);
      ASSERT_EQ(std::memcmp(fast, plain, sizeof fast), 0) << zeroAt << " " << highAt;
      ASSERT_EQ(fastMeasure.length, plainMeasure.length) << zeroAt << " " << highAt;
      ASSERT_EQ(fastMeasure.hasHighByte, plainMeasure.hasHighByte) << zeroAt << " " << highAt;
    }
  }
}

TEST(FastScans, TextMeasureMatchesThePlainScanAtEveryPosition) {
  // Lengths up to a whole description field; a zero, a 0x01 and a high byte placed at every
  // position, before and after one another.
  for (uint32_t length = 0; length <= 256; ++length) {
    std::vector<uint8_t> text(length + 16, 0);  // zero bytes beyond the length
    for (uint32_t i = 0; i < length; ++i) text[i] = static_cast<uint8_t>('a' + i % 26);
    const uint32_t step = length > 48 ? 7 : 1;
    for (uint32_t zeroAt = 0; zeroAt <= length; zeroAt += step) {
      for (uint32_t highAt = 0; highAt <= length; highAt += step) {
        std::vector<uint8_t> probe = text;
        if (zeroAt < length) probe[zeroAt] = 0;
        if (zeroAt + 1 < length) probe[zeroAt + 1] = 0x01;
        if (highAt < length && highAt != zeroAt) probe[highAt] = 0xE9;
        const TextMeasure expected = MeasureTextPlain(probe.data(), length);
        const TextMeasure measure = MeasureText(probe.data(), length);
        ASSERT_EQ(measure.length, expected.length) << length << " " << zeroAt << " " << highAt;
        ASSERT_EQ(measure.hasHighByte, expected.hasHighByte)
            << length << " " << zeroAt << " " << highAt;
      }
    }
  }
}

TEST(FastScans, TextMeasureReadsNothingBeyondTheField) {
  // A field with no zero byte, in a heap block of exactly its size: the measures stop at the
  // field's end (the sanitizer build reports any read past it).
  for (uint32_t length : {1u, 7u, 8u, 12u, 15u, 16u, 17u, 36u, 255u, 256u}) {
    std::vector<uint8_t> field(length, 0x80);
    const TextMeasure measure = MeasureText(field.data(), length);
    EXPECT_EQ(measure.length, length);
    EXPECT_TRUE(measure.hasHighByte);
  }
}

// Reads in place give what ReadAt gives: the same result for every range at the edges of the
// file, and the same bytes, from the image and from the file alike.
TEST(FastReads, FetchAtMatchesReadAtWithAndWithoutTheImage) {
  std::vector<uint8_t> bytes(100);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  TempFile file(bytes);
  CatalogueState state{};
  ASSERT_EQ(OpenCatalogue(state, file.path()), 1);
  ASSERT_NE(state.fileImage, nullptr);
  const uint32_t offsets[] = {0, 1, 59, 60, 61, 99, 100, 101, 0x7FFFFFFF, 0xFFFFFFFF};
  const uint32_t lengths[] = {0, 1, 39, 40, 41, 100, 0xFFFFFFFF};
  for (const bool withImage : {true, false}) {
    if (!withImage) {
      platform::FreeImage(state.fileImage, state.fileSize);
      state.fileImage = nullptr;
    }
    for (const uint32_t offset : offsets) {
      for (const uint32_t length : lengths) {
        if (!withImage && length > 100) continue;  // no scratch that large
        uint8_t copied[128];
        uint8_t scratch[128];
        const int expected = ReadAt(state, offset, copied, length);
        const Fetched fetched = FetchAt(state, offset, length, scratch);
        const uint8_t* view = fetched.bytes;
        ASSERT_EQ(fetched.status, expected) << withImage << " " << offset << " " << length;
        ASSERT_EQ(view != nullptr, expected == StatusOk) << offset << " " << length;
        if (view != nullptr) {
          ASSERT_EQ(std::memcmp(view, copied, length), 0) << offset << " " << length;
          if (withImage) {
            EXPECT_EQ(view, state.fileImage + offset);
          }
        }
      }
    }
  }
  CloseCatalogue(state);
}

#if !defined(_WIN32)
// The huge-page image against its plain twin: files on both sides of a huge page read into
// either give the same results and bytes for every range at the edges and across the file.
TEST(FastReads, HugePageImageReadsAsThePlainImage) {
  constexpr uint32_t kHugePage = 2u << 20;
  for (const uint32_t size :
       {1u, 4096u, kHugePage - 1, kHugePage, kHugePage + 1, 2 * kHugePage + 17}) {
    std::vector<uint8_t> bytes(size);
    for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
    TempFile file(bytes);
    CatalogueState state{};
    ASSERT_EQ(OpenCatalogue(state, file.path()), 1);
    ASSERT_NE(state.fileImage, nullptr) << size;
    uint8_t* const hugePageImage = state.fileImage;
    uint8_t* const plainImage = platform::AllocatePlainImage(size);
    ASSERT_NE(plainImage, nullptr);
    ASSERT_TRUE(platform::Seek(state.handle, 0));
    ASSERT_EQ(platform::Read(state.handle, plainImage, size), static_cast<int64_t>(size));
    std::vector<uint32_t> offsets = {0, size / 2, size - 41, size - 40, size - 1, size, size + 1};
    for (uint32_t at = 4093; at < size; at += 65521) offsets.push_back(at);
    for (const uint32_t offset : offsets) {
      for (const uint32_t length : {1u, 40u, 255u}) {
        state.fileImage = hugePageImage;
        const Fetched huge = FetchAt(state, offset, length, nullptr);
        state.fileImage = plainImage;
        const Fetched plain = FetchAt(state, offset, length, nullptr);
        ASSERT_EQ(huge.status, plain.status) << size << " " << offset << " " << length;
        if (plain.bytes != nullptr) {
          ASSERT_EQ(std::memcmp(huge.bytes, plain.bytes, length), 0) << size << " " << offset;
          ASSERT_EQ(std::memcmp(plain.bytes, bytes.data() + offset, length), 0) << offset;
        }
      }
    }
    state.fileImage = hugePageImage;
    platform::FreeImage(plainImage, size);
    CloseCatalogue(state);
  }
}

// Rounding a size just under 4 GiB up to whole huge pages wraps where size_t has 32 bits; such
// an image must be refused, not granted as a few bytes that the file is then read into.
TEST(FastReads, ImageJustUnderFourGibIsRefusedWithThirtyTwoBitAddresses) {
  if (sizeof(size_t) != 4) GTEST_SKIP() << "a 64-bit build can ask for such a block";
  for (const uint32_t size : {0xFFE00001u, 0xFFFFF000u, 0xFFFFFFFFu}) {
    uint8_t* image = platform::AllocateImage(size);
    EXPECT_EQ(image, nullptr) << size;
    platform::FreeImage(image, size);
  }
}
#endif

// The conversion as it was written first, on the general calendar.
bool PlainDosToSeconds(uint16_t dosDate, uint16_t dosTime, int64_t* seconds) {
  const int year = 1980 + (dosDate >> 9);
  const unsigned month = (dosDate >> 5) & 0x0F;
  const unsigned day = dosDate & 0x1F;
  const unsigned hours = dosTime >> 11;
  const unsigned minutes = (dosTime >> 5) & 0x3F;
  const unsigned twoSeconds = dosTime & 0x1F;
  if (month < 1 || month > 12) return false;
  if (day < 1 || day > dos_time::DaysInMonth(year, month)) return false;
  if (hours > 23 || minutes > 59 || twoSeconds > 29) return false;
  *seconds = dos_time::DaysSince1601(year, month, day) * dos_time::kSecondsPerDay + hours * 3600 +
             minutes * 60 + twoSeconds * 2;
  return true;
}

void ExpectSameStamp(uint16_t date, uint16_t time) {
  int64_t fast = -1;
  int64_t plain = -1;
  const bool fastOk = dos_time::DosToSeconds(date, time, &fast);
  ASSERT_EQ(fastOk, PlainDosToSeconds(date, time, &plain)) << date << " " << time;
  if (fastOk) {
    ASSERT_EQ(fast, plain) << date << " " << time;
  }
}

TEST(FastDosStamps, EveryDateAndEveryTimeMatchThePlainCalendar) {
  for (uint32_t date = 0; date <= 0xFFFF; ++date) {
    for (uint16_t time : {0x0000, 0xBF7D, 0xBF7E, 0xC000, 0x0780, 0x001E}) {
      ExpectSameStamp(static_cast<uint16_t>(date), time);
    }
  }
  for (uint32_t time = 0; time <= 0xFFFF; ++time) {
    for (uint16_t date : {0x0021, 0xF39F, 0x2C5D, 0xF05D}) {  // 1980-01-01, 2107-12-31, Feb 29s
      ExpectSameStamp(date, static_cast<uint16_t>(time));
    }
  }
}

// The 8.3 name as it was formed first, one byte at a time.
std::string PlainShortName(const uint8_t* name, const uint8_t* extension) {
  auto padding = [](uint8_t c) { return c == ' ' || c == 0; };
  std::string out;
  uint32_t length = 8;
  while (length > 0 && padding(name[length - 1])) --length;
  out.assign(reinterpret_cast<const char*>(name), length);
  out += '.';
  out.append(reinterpret_cast<const char*>(extension), 3);
  while (!out.empty() && padding(static_cast<uint8_t>(out.back()))) out.pop_back();
  if (!out.empty() && out.back() == '.') out.pop_back();
  const size_t zero = out.find('\0');
  return zero == std::string::npos ? out : out.substr(0, zero);
}

// Every string of `width` bytes drawn from blank, zero, a letter and a dot.
std::vector<std::string> AllPatterns(size_t width) {
  static constexpr char kAlphabet[] = {' ', '\0', 'A', '.'};
  std::vector<std::string> patterns;
  size_t count = 1;
  for (size_t i = 0; i < width; ++i) count *= 4;
  for (size_t n = 0; n < count; ++n) {
    std::string pattern(width, ' ');
    size_t digits = n;
    for (size_t i = 0; i < width; ++i, digits /= 4) pattern[i] = kAlphabet[digits % 4];
    patterns.push_back(pattern);
  }
  return patterns;
}

// Every entry whose base name is `name` and whose extension is each of `extensions`.
void ExpectPackedNamesMatchThePlainOnes(const std::string& name,
                                        const std::vector<std::string>& extensions) {
  for (const std::string& extension : extensions) {
    uint8_t entry[zex::kEntrySize] = {};
    std::memcpy(entry + zex::kNameField, name.data(), zex::kNameWidth);
    std::memcpy(entry + zex::kExtensionField, extension.data(), zex::kExtensionWidth);
    const zex::ShortName plain = zex::FormShortName(entry);
    const zex::PackedName packed = zex::PackShortName(entry);
    ASSERT_EQ(packed.length, plain.length) << ::testing::PrintToString(name + extension);
    // Writing `count` bytes gives exactly the plain name's first `count` bytes.
    for (uint32_t count = 0; count <= 16; ++count) {
      char fast[24];
      char slow[24];
      std::memset(fast, 0x5A, sizeof fast);
      std::memset(slow, 0x5A, sizeof slow);
      zex::WriteName(packed, fast + 4, count);
      zex::WriteName(plain, slow + 4, count);
      ASSERT_EQ(std::memcmp(fast, slow, sizeof fast), 0)
          << ::testing::PrintToString(name + extension) << " " << count;
    }
  }
}

TEST(FastShortNames, NamesFormedInRegistersMatchThePlainOnes) {
  std::vector<std::string> extensions;
  for (const std::string& pattern : AllPatterns(3)) extensions.push_back(pattern);
  for (const std::string& name : AllPatterns(8)) {
    ExpectPackedNamesMatchThePlainOnes(name, {"TXT", " . ", std::string("\0AB", 3), "A. "});
  }
  for (const std::string& pattern : AllPatterns(4)) {
    ExpectPackedNamesMatchThePlainOnes("AB" + pattern + "C ", extensions);
  }
}

// Lists one root directory holding an entry per (name, extension) pair and compares each
// item's cAlternateFileName with the plain algorithm.
void CheckNames(const std::vector<std::string>& names, const std::vector<std::string>& extensions) {
  catwriter::ZexTree tree;
  for (const std::string& name : names) {
    for (const std::string& extension : extensions) {
      catwriter::ZexFile file;
      file.name = name;  // full width: the writer pads nothing
      file.extension = extension;
      tree.rootFiles.push_back(file);
    }
  }
  const catwriter::ZexImage image = catwriter::BuildZex(tree);
  // Named after the test: ctest runs the tests of this file side by side.
  const std::string path = ::testing::TempDir() + "fast_paths_" +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".zex";
  std::string error;
  ASSERT_TRUE(catwriter::WriteFile(path, image.bytes, &error)) << error;
  LoadedModule module(ZEX_FMT_PATH);
  int32_t type = -1;
  ASSERT_EQ(module.get().openArchive(path.c_str(), &type), 1);
  ItemRecord item{};
  ItemDetails details{};
  for (const catwriter::ZexFile& file : tree.rootFiles) {
    ASSERT_EQ(module.get().getArcItem(&item, &details), StatusOk);
    const std::string expected =
        PlainShortName(reinterpret_cast<const uint8_t*>(file.name.data()),
                       reinterpret_cast<const uint8_t*>(file.extension.data()));
    ASSERT_EQ(std::string(item.cAlternateFileName), expected)
        << "name bytes " << ::testing::PrintToString(file.name) << " extension "
        << ::testing::PrintToString(file.extension);
    ASSERT_EQ(std::string(item.cFileName), expected);
  }
  EXPECT_EQ(module.get().getArcItem(&item, &details), StatusEnd);
  CloseRecord close{};
  module.get().closeArchive(&close);
  std::remove(path.c_str());
}

TEST(FastShortNames, EveryNamePatternMatchesThePlainAlgorithm) {
  // 65,536 base names of blanks, zero bytes, letters and dots, each with a few extensions.
  const std::string extensions[] = {"TXT", " . ", std::string("\0AB", 3), "A. "};
  for (const std::string& extension : extensions) {
    const std::vector<std::string> all = AllPatterns(8);
    // A directory holds at most 65,535 entries: two halves.
    CheckNames({all.begin(), all.begin() + 32768}, {extension});
    CheckNames({all.begin() + 32768, all.end()}, {extension});
  }
}

TEST(FastShortNames, EveryExtensionPatternMatchesThePlainAlgorithm) {
  std::vector<std::string> names;
  for (const std::string& pattern : AllPatterns(4)) names.push_back("AB" + pattern + "C ");
  names.push_back(std::string(8, ' '));
  names.push_back(std::string(8, '\0'));
  names.push_back("ABCDEFGH");
  CheckNames(names, AllPatterns(3));
}

}  // namespace
