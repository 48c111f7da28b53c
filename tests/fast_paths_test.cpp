// The per-item fast paths give exactly what the plain code they replaced gave: the copies and
// byte scans of core/bytes.h, DOS stamps counted without division, and 8.3 names formed eight
// bytes at a time (checked through the built zex_fmt against the plain algorithm).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/catalogue_state.h"
#include "platform/dos_time.h"
#include "tests/support/module_fixture.h"
#include "tools/writer/zex_writer.h"
#include "zex/zex_format.h"

namespace {

TEST(FastCopies, CopyBytesWritesExactlyTheLengthForEveryPathLength) {
  uint8_t source[300];
  for (size_t i = 0; i < sizeof source; ++i) source[i] = static_cast<uint8_t>(i + 1);
  for (uint32_t length = 0; length <= 260; ++length) {
    uint8_t dest[300];
    std::memset(dest, 0xA5, sizeof dest);
    CopyBytes(dest + 8, source, length);
    for (uint32_t i = 0; i < 8; ++i) ASSERT_EQ(dest[i], 0xA5) << "before, length " << length;
    ASSERT_EQ(std::memcmp(dest + 8, source, length), 0) << "length " << length;
    for (uint32_t i = 8 + length; i < sizeof dest; ++i) {
      ASSERT_EQ(dest[i], 0xA5) << "after, length " << length;
    }
  }
}

TEST(FastScans, ZeroAndHighBytesAreFoundAtEveryPositionAndNowhereElse) {
  for (uint32_t length = 0; length <= 40; ++length) {
    std::vector<uint8_t> text(length + 8, 0);  // zero and high bytes beyond the length
    for (uint32_t i = 0; i < length; ++i) text[i] = static_cast<uint8_t>('a' + i % 26);
    text[length] = 0x80;
    EXPECT_FALSE(HasZeroByte(text.data(), length)) << length;
    EXPECT_FALSE(HasHighByte(text.data(), length)) << length;
    for (uint32_t at = 0; at < length; ++at) {
      std::vector<uint8_t> withZero = text;
      withZero[at] = 0;
      EXPECT_TRUE(HasZeroByte(withZero.data(), length)) << length << " " << at;
      std::vector<uint8_t> withHigh = text;
      withHigh[at] = 0xE9;
      EXPECT_TRUE(HasHighByte(withHigh.data(), length)) << length << " " << at;
      // 0x01 after a 0x00 is where the word trick can misfire; it must not make up a zero.
      withHigh[at] = 0x01;
      EXPECT_FALSE(HasZeroByte(withHigh.data(), length)) << length << " " << at;
    }
  }
}

// The plain measures the word-at-a-time ones replace.
uint32_t PlainZeroIndex(const uint8_t* text, uint32_t length) {
  uint32_t at = 0;
  while (at < length && text[at] != 0) ++at;
  return at;
}

bool PlainHighBefore(const uint8_t* text, uint32_t end) {
  for (uint32_t i = 0; i < end; ++i) {
    if (text[i] >= 0x80) return true;
  }
  return false;
}

TEST(FastScans, ZeroIndexAndTextMeasureMatchThePlainScansAtEveryPosition) {
  // Lengths up to a whole description field; a zero, a 0x01 (where the word trick can
  // misfire) and a high byte placed at every position, before and after one another.
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
        const uint32_t expected = PlainZeroIndex(probe.data(), length);
        ASSERT_EQ(ZeroByteIndex(probe.data(), length), expected) << length << " " << zeroAt;
        const TextMeasure measure = MeasureText(probe.data(), length);
        ASSERT_EQ(measure.length, expected) << length << " " << zeroAt << " " << highAt;
        ASSERT_EQ(measure.hasHighByte, PlainHighBefore(probe.data(), expected))
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
    EXPECT_EQ(ZeroByteIndex(field.data(), length), length);
  }
}

// Reads in place give what ReadAt gives: the same result for every range at the edges of the
// file, and the same bytes, from the image and from the file alike.
TEST(FastReads, ViewAtMatchesReadAtWithAndWithoutTheImage) {
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
        uint8_t shortCopy[128];
        ASSERT_EQ(ReadShortAt(state, offset, shortCopy, length), expected)
            << offset << " " << length;
        if (expected == StatusOk) {
          ASSERT_EQ(std::memcmp(shortCopy, copied, length), 0) << offset << " " << length;
        }
        int status = -1;
        const uint8_t* view = ViewAt(state, offset, length, scratch, &status);
        ASSERT_EQ(status, expected) << withImage << " " << offset << " " << length;
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

// The packed name of an entry, as text: its bytes written out with WritePackedName.
std::string PackedText(const zex::PackedName& name) {
  char text[16];
  zex::WritePackedName(name, text, sizeof text);
  return std::string(text, name.length);
}

TEST(FastShortNames, PackedNamesWriteExactlyTheAskedBytesAndCutAtEveryLength) {
  // Names of every length from 0 to 12, with and without an extension.
  const char* const entries[][2] = {{"        ", "   "}, {"A       ", "   "}, {"ABCDEFG ", "   "},
                                    {"ABCDEFGH", "   "}, {"        ", "TXT"}, {"A       ", "B  "},
                                    {"ABCD    ", "TX "}, {"ABCDEFGH", "TXT"}, {"ABCDEFGH", "A. "}};
  for (const auto& parts : entries) {
    uint8_t entry[zex::kEntrySize] = {};
    std::memcpy(entry + zex::kNameAt, parts[0], zex::kNameSize);
    std::memcpy(entry + zex::kExtensionAt, parts[1], zex::kExtensionSize);
    const zex::PackedName name = zex::PackShortName(entry);
    const std::string expected = PlainShortName(entry + zex::kNameAt, entry + zex::kExtensionAt);
    ASSERT_EQ(PackedText(name), expected);
    // Writing `count` bytes gives the name's first `count` bytes, zero bytes past its end,
    // and leaves everything after them alone.
    const std::string padded = expected + std::string(16 - expected.size(), '\0');
    for (uint32_t count = 0; count <= 16; ++count) {
      char out[24];
      std::memset(out, 0x5A, sizeof out);
      zex::WritePackedName(name, out + 4, count);
      ASSERT_EQ(std::string(out + 4, count), padded.substr(0, count)) << expected << " " << count;
      for (const uint32_t at : {0u, 1u, 2u, 3u}) ASSERT_EQ(out[at], 0x5A) << count;
      for (uint32_t at = 4 + count; at < sizeof out; ++at) ASSERT_EQ(out[at], 0x5A) << count;
    }
    for (uint32_t keep = 0; keep <= name.length; ++keep) {
      const zex::PackedName cut = zex::CutPackedName(name, keep);
      ASSERT_EQ(cut.length, keep);
      ASSERT_EQ(PackedText(cut), expected.substr(0, keep)) << expected << " " << keep;
      char text[16];
      zex::WritePackedName(cut, text, sizeof text);
      for (uint32_t at = keep; at < sizeof text; ++at) ASSERT_EQ(text[at], 0) << keep;
    }
  }
}

TEST(FastBytes, StoresAreLittleEndian) {
  uint8_t out[8];
  StoreU32(out, 0x04030201u);
  EXPECT_EQ(LoadU32(out), 0x04030201u);
  EXPECT_EQ(out[0], 0x01);
  StoreU64(out, 0x0807060504030201ull);
  EXPECT_EQ(LoadU64(out), 0x0807060504030201ull);
  EXPECT_EQ(out[7], 0x08);
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
                           ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                           ".zex";
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
