// The hosts' safe display of file names: the UTF-8 check against the tests' own, and the
// quoting of names a terminal would otherwise obey.
#include "tools/common/display_text.h"

#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>

#include "tests/support/json_check.h"
#include "tools/common/code_page_437.h"

namespace {

size_t OracleLength(const std::string& text) {
  if (static_cast<uint8_t>(text[0]) < 0x80) return 1;
  return json_check::Utf8CharacterLength(text, 0);
}

TEST(DisplayText, Utf8SequenceLengthAgreesWithAnIndependentCheckOnEverySequenceUpToThreeBytes) {
  std::string text(3, '\0');
  size_t disagreements = 0;
  for (uint32_t value = 0; value < (1u << 24); ++value) {
    text[0] = static_cast<char>(value >> 16);
    text[1] = static_cast<char>(value >> 8);
    text[2] = static_cast<char>(value);
    size_t expected = OracleLength(text);
    if (expected == 4) expected = 0;  // cut short at three bytes
    disagreements += Utf8SequenceLength(text) != expected ? 1 : 0;
  }
  EXPECT_EQ(disagreements, 0u);
}

TEST(DisplayText, FourByteSequencesEndAtUPlus10FFFF) {
  EXPECT_EQ(Utf8SequenceLength("\xF0\x90\x80\x80"), 4u);  // U+10000
  EXPECT_EQ(Utf8SequenceLength("\xF4\x8F\xBF\xBF"), 4u);  // U+10FFFF
  EXPECT_EQ(Utf8SequenceLength("\xF4\x90\x80\x80"), 0u);  // U+110000
  EXPECT_EQ(Utf8SequenceLength("\xF0\x8F\xBF\xBF"), 0u);  // overlong U+FFFF
  EXPECT_EQ(Utf8SequenceLength("\xF0\x90\x80"), 0u);      // cut short
  EXPECT_EQ(Utf8SequenceLength("\xF5\x80\x80\x80"), 0u);
}

TEST(DisplayText, NamesAreShownAsTheyAreUnlessATerminalWouldObeyThem) {
  EXPECT_EQ(ShownName("photos 2003/C\xC3\xB4te d'Azur.mur"), "photos 2003/C\xC3\xB4te d'Azur.mur");
  EXPECT_EQ(ShownName("a\\b"), "a\\b");
  EXPECT_EQ(ShownName("a\nb"), "'a\\012b'");
  EXPECT_EQ(ShownName("\x1B]0;title\x07"), "'\\033]0;title\\007'");
  EXPECT_EQ(ShownName("del\x7F"), "'del\\177'");
  // A C1 control (U+009B, a terminal's CSI) is escaped with both of its bytes.
  EXPECT_EQ(ShownName("\xC2\x9B"
                      "2J"),
            "'\\302\\2332J'");
  // Bytes outside UTF-8, one escape each; quotes and backslashes inside the quotes escaped.
  EXPECT_EQ(ShownName("it's\\\xFF\xC3"), "'it\\'s\\\\\\377\\303'");
  EXPECT_EQ(ShownName("\xED\xA0\x80"), "'\\355\\240\\200'");  // a surrogate
  EXPECT_EQ(ShownName("long\xC0\xAF"), "'long\\300\\257'");   // "/" in an overlong form
  EXPECT_EQ(ShownName(std::string("nul\0", 4)), "'nul\\000'");
  // A name that begins with a quote is quoted, so that it never looks like an escape.
  EXPECT_EQ(ShownName("'a\\033'"), "'\\'a\\\\033\\''");
  EXPECT_EQ(ShownName("it's"), "it's");
}

// ShowsAsIs takes printable ASCII 8 bytes at a time: it must answer as the rule does on any text,
// wherever the character that decides falls: in a word, across two, or in the tail after them.
TEST(DisplayText, ShowsAsIsAgreesWithTheRuleByCharacter) {
  size_t disagreements = 0;
  size_t asIs = 0;
  size_t tested = 0;
  auto check = [&](const std::string& text) {
    const bool expected = ShowsAsIsByCharacter(text);
    disagreements += ShowsAsIs(text) != expected ? 1 : 0;
    asIs += expected ? 1 : 0;
    ++tested;
  };
  const std::string printable = "abcdefghijklmnopq";
  // Every byte at every place of printable texts of 1 to 17 bytes, and every pair of bytes
  // (stray bytes, two-byte characters, C1 controls) at every place of the longest.
  for (size_t length = 1; length <= printable.size(); ++length) {
    for (size_t at = 0; at < length; ++at) {
      for (int byte = 0; byte < 256; ++byte) {
        std::string text = printable.substr(0, length);
        text[at] = static_cast<char>(byte);
        check(text);
      }
    }
  }
  for (size_t at = 0; at + 1 < printable.size(); ++at) {
    for (uint32_t pair = 0; pair < 0x10000; ++pair) {
      std::string text = printable;
      text[at] = static_cast<char>(pair >> 8);
      text[at + 1] = static_cast<char>(pair);
      check(text);
    }
  }
  // Random texts: raw bytes, and printable ASCII mixed with whole and cut UTF-8 characters,
  // controls and stray bytes.
  const std::string pieces[] = {
      "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xC2\x85",         "\xC2\xA0", "\xE2\x82",
      "\x7F",     "\n",           "\xED\xA0\x80",     "\xF4\x90\x80\x80", "\xFF",     "\x80"};
  std::mt19937 random(20240613);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const size_t length = random() % 40;
    const bool raw = round % 4 == 0;
    while (text.size() < length) {
      if (raw) {
        text.push_back(static_cast<char>(random()));
      } else if (random() % 8 != 0) {
        text.push_back(static_cast<char>(0x20 + random() % 0x5F));
      } else {
        text += pieces[random() % std::size(pieces)];
      }
    }
    check(text);
  }
  EXPECT_EQ(disagreements, 0u);
  // Both answers, many times over.
  EXPECT_GT(asIs, tested / 10);
  EXPECT_LT(asIs, tested - tested / 10);
}

TEST(DisplayText, WellFormedUtf8ReplacesEachStrayByte) {
  EXPECT_EQ(WellFormedUtf8("ok \xC3\xA9"), "ok \xC3\xA9");
  EXPECT_EQ(WellFormedUtf8("\xFF"
                           "a\xC3"),
            "\xEF\xBF\xBD"
            "a\xEF\xBF\xBD");
  EXPECT_TRUE(json_check::IsWellFormedUtf8(WellFormedUtf8("\xE2\x82\xC0\x80\xF8")));
}

// The table both directions share, against the glyphs as an IBM PC draws bytes 0x01 to 0xFF.
TEST(CodePage437, EveryByteIsTheGlyphThePcDraws) {
  const std::string glyphs =
      "☺☻♥♦♣♠•◘○◙♂♀♪♫☼►◄↕‼¶§▬↨↑↓→←∟↔▲▼ !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVW"
      "XYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~⌂ÇüéâäàåçêëèïîìÄÅÉæÆôöòûùÿÖÜ¢£¥₧ƒáíóúñÑªº¿⌐¬½¼¡«»░▒"
      "▓│┤╡╢╖╕╣║╗╝╜╛┐└┴┬├─┼╞╟╚╔╩╦╠═╬╧╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀αßΓπΣσµτΦΘΩδ∞φε∩≡±≥≤⌠⌡÷≈°∙·√ⁿ²■\u00A0";
  size_t at = 0;
  for (int byte = 1; byte < 256; ++byte) {
    ASSERT_LT(at, glyphs.size());
    const size_t length = Utf8SequenceLength(std::string_view(glyphs).substr(at));
    ASSERT_NE(length, 0u);
    uint32_t code = length == 1 ? static_cast<uint8_t>(glyphs[at])
                                : static_cast<uint8_t>(glyphs[at]) & (0x7F >> length);
    for (size_t i = 1; i < length; ++i)
      code = code << 6 | (static_cast<uint8_t>(glyphs[at + i]) & 0x3F);
    EXPECT_EQ(code_page_437::CodePointOf(static_cast<uint8_t>(byte)), code) << "byte " << byte;
    at += length;
  }
  EXPECT_EQ(at, glyphs.size());
}

}  // namespace
