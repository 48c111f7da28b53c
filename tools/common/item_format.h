// Turns the records a module delivers into listing lines: `ls -l` style text or JSON Lines.
// Everything here runs once per item, so it formats by hand into the output block: no stdio
// and no allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "modules/interface/host_interface.h"
#include "tools/common/output_buffer.h"

// A FILETIME split into calendar fields (proleptic Gregorian, UTC).
struct CivilTime {
  uint32_t year;
  uint32_t month;
  uint32_t day;
  uint32_t hour;
  uint32_t minute;
  uint32_t second;
  uint32_t ticks;  // 100 ns units within the second
};

uint64_t FileTimeValue(const FileTime& time);
CivilTime CivilFromFileTime(uint64_t ticks);

// The six attribute letters "drhsao", '-' for each bit that is absent.
char* WriteAttributeLetters(char* out, uint32_t attributes);

// Writes the 8-bit OEM text (code page 437) found in a field of `fieldSize` bytes, up to its
// zero byte, as UTF-8, at most 3 bytes per byte (and room for 3 past the last). Bytes 0x20 to
// 0x7E are copied unchanged; 0x01 to 0x1F and 0x7F become the code page's glyphs (0x07 the
// bullet, 0x15 the section sign, 0x7F the house), so the text never holds a control character.
char* WriteCp437AsUtf8(char* out, const char* field, size_t fieldSize);

// Writes a field's bytes up to its zero byte unchanged, except bytes below 0x20 and 0x7F,
// which become `\ooo` octal escapes (as tar -t shows them): at most 4 bytes per byte.
char* WriteEscapedBytes(char* out, const char* field, size_t fieldSize);

// A JSON string literal, quotes included, for a host text such as a file name: bytes outside
// well-formed UTF-8 become U+FFFD, control characters (C0, DEL, C1) \u escapes.
std::string JsonQuoted(std::string_view text);

class ItemFormatter {
 public:
  // `raw` leaves item texts as the module's bytes instead of decoding code page 437: in text
  // lines unchanged but for control bytes (\ooo), in JSON as \u00XX escapes whose code points
  // equal the bytes.
  explicit ItemFormatter(bool raw) : raw_(raw) {}

  // The catalogue that the following JSON lines name.
  void SetCatalogue(std::string_view fileName);

  void WriteText(OutputBuffer& output, const ItemRecord& item, const ItemDetails& details);
  void WriteJson(OutputBuffer& output, const ItemRecord& item, const ItemDetails& details,
                 uint64_t itemNumber, int result);

 private:
  char* WriteDate(char* out, uint32_t daysSince1601) const;
  char* WriteStamp(char* out, uint64_t ticks, bool iso) const;
  char* WriteJsonText(char* out, const char* field, size_t fieldSize) const;

  bool raw_;
  std::string jsonPrefix_;  // `{"catalogue":"...",`
};
