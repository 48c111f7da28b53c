// ANSI to OEM conversion where the system has no character sets of its own: the pair that a
// Windows system set up for US English uses, ANSI code page 1252 to OEM code page 437.
//
// How the table was derived: each 1252 byte is taken to its Unicode character by the
// published 1252 mapping, then to 437 by the published 437 mapping where that holds the
// character; where it does not, the system's best fit is taken: the letter without its
// accent, ASCII look-alikes for quotes, dashes and modifiers, and the 437 picture characters
// (the glyphs of bytes 0x01-0x1F) for signs they draw. Bytes 1252 leaves undefined, and signs
// with no look-alike, become "?", the system's default character. Bytes 0x00-0x7F are the
// same in both code pages and stay as they are. The Windows build's checks compare all 256
// bytes with the platform's own CharToOemA.
#include <array>
#include <cstdint>

#include "modules/platform/platform.h"

namespace platform {
namespace {

// The 437 bytes for 1252 bytes 0x80-0xFF, eight a row.
// clang-format off
constexpr uint8_t kUpperHalf[128] = {
    // 0x80 euro (none), undefined, low-9 quote, f with hook (exact), low-9 double quote
    // (a comma, as the platform's best fit has it), ellipsis, dagger (a plus), double dagger
    // (the box-drawing cross at 0xD8)
    '?', '?', ',', 0x9F, ',', '.', '+', 0xD8,
    // 0x88 modifier circumflex, per mille, S caron, left angle quote, OE ligature,
    // undefined, Z caron, undefined
    '^', '%', 'S', '<', 'O', '?', 'Z', '?',
    // 0x90 undefined, typographic single quotes (the opening one a grave accent, as the
    // platform's best fit has it) and double quotes, bullet (the 437 glyph at 0x07),
    // en and em dash
    '?', '`', '\'', '"', '"', 0x07, '-', '-',
    // 0x98 small tilde, trade mark, s caron, right angle quote, oe ligature, undefined,
    // z caron, Y diaeresis
    '~', 'T', 's', '>', 'o', '?', 'z', 'Y',
    // 0xA0 no-break space, inverted !, cent, pound (exact); currency sign (the sun glyph at
    // 0x0F), yen (exact), broken bar (half block), section sign (the glyph at 0x15)
    0xFF, 0xAD, 0x9B, 0x9C, 0x0F, 0x9D, 0xDD, 0x15,
    // 0xA8 diaeresis, copyright, feminine ordinal, left guillemet, not sign, soft hyphen,
    // registered, macron (a low line)
    '"', 'c', 0xA6, 0xAE, 0xAA, '-', 'r', '_',
    // 0xB0 degree, plus-minus, superscript two (exact); superscript three, acute accent,
    // micro (exact), pilcrow (the glyph at 0x14), middle dot (exact)
    0xF8, 0xF1, 0xFD, '3', '\'', 0xE6, 0x14, 0xFA,
    // 0xB8 cedilla, superscript one, masculine ordinal, right guillemet, one quarter, one
    // half (exact), three quarters (none close: "_"), inverted ?
    ',', '1', 0xA7, 0xAF, 0xAC, 0xAB, '_', 0xA8,
    // 0xC0 capitals: A grave, acute, circumflex, tilde to A; A diaeresis, A ring, AE,
    // C cedilla (exact)
    'A', 'A', 'A', 'A', 0x8E, 0x8F, 0x92, 0x80,
    // 0xC8 E grave to E, E acute (exact), E circumflex and diaeresis to E, I with any accent
    // to I
    'E', 0x90, 'E', 'E', 'I', 'I', 'I', 'I',
    // 0xD0 Eth to D, N tilde (exact), O grave, acute, circumflex, tilde to O, O diaeresis
    // (exact), multiplication sign to x
    'D', 0xA5, 'O', 'O', 'O', 'O', 0x99, 'x',
    // 0xD8 O stroke to O, U grave, acute, circumflex to U, U diaeresis (exact), Y acute to Y,
    // Thorn (none close: "_"), sharp s (exact)
    'O', 'U', 'U', 'U', 0x9A, 'Y', '_', 0xE1,
    // 0xE0 small letters: a grave, acute, circumflex (exact), a tilde to a, a diaeresis,
    // a ring, ae, c cedilla (exact)
    0x85, 0xA0, 0x83, 'a', 0x84, 0x86, 0x91, 0x87,
    // 0xE8 e and i with accents, all exact
    0x8A, 0x82, 0x88, 0x89, 0x8D, 0xA1, 0x8C, 0x8B,
    // 0xF0 eth to d, n tilde, o grave, acute, circumflex (exact), o tilde to o, o diaeresis,
    // division sign (exact)
    'd', 0xA4, 0x95, 0xA2, 0x93, 'o', 0x94, 0xF6,
    // 0xF8 o stroke to o, u grave, acute, circumflex, diaeresis (exact), y acute to y,
    // thorn (none close: "_"), y diaeresis (exact)
    'o', 0x97, 0xA3, 0x96, 0x81, 'y', '_', 0x98,
};
// clang-format on

constexpr std::array<uint8_t, 256> MakeTable() {
  std::array<uint8_t, 256> table{};
  for (unsigned byte = 0; byte < 0x80; ++byte) table[byte] = static_cast<uint8_t>(byte);
  for (unsigned byte = 0x80; byte < 0x100; ++byte) table[byte] = kUpperHalf[byte - 0x80];
  return table;
}

constexpr std::array<uint8_t, 256> kAnsiToOem = MakeTable();

// Nothing maps to the zero byte, so a converted text ends where it ended before.
constexpr bool NoByteBecomesZero() {
  for (unsigned byte = 1; byte < 0x100; ++byte) {
    if (kAnsiToOem[byte] == 0) return false;
  }
  return true;
}
static_assert(NoByteBecomesZero());

}  // namespace

void CharToOem(char* text) {
  for (auto* p = reinterpret_cast<unsigned char*>(text); *p != 0; ++p) *p = kAnsiToOem[*p];
}

}  // namespace platform
