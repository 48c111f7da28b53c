// Turns the records a module delivers into listing lines: `ls -l` style text or JSON Lines.
// Everything here runs once per item, so it formats by hand into the output block: no stdio
// and no allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "modules/interface/host_interface.h"
#include "tools/common/code_page_437.h"
#include "tools/common/output_buffer.h"

uint64_t FileTimeValue(const FileTime& time);

// The six attribute letters "drhsao", '-' for each bit that is absent.
char* WriteAttributeLetters(char* out, uint32_t attributes);

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
  // Text lines show times in the local time zone (JSON times stay UTC, with their Z).
  void SetLocalTime(bool local) { local_ = local; }

  void WriteText(OutputBuffer& output, const ItemRecord& item, const ItemDetails& details);
  void WriteJson(OutputBuffer& output, const ItemRecord& item, const ItemDetails& details,
                 uint64_t itemNumber, int result);

 private:
  char* WriteStamp(char* out, uint64_t ticks, bool iso) const;
  char* WriteJsonText(char* out, const char* field, size_t fieldSize) const;

  // The local time of `ticks` (UTC), in ticks.
  uint64_t LocalTicks(uint64_t ticks) const;

  bool raw_;
  bool local_ = false;
  std::string jsonPrefix_;  // `{"catalogue":"...",`
};
