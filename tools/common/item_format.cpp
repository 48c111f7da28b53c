#include "tools/common/item_format.h"

#include <array>
#include <cstring>
#include <ctime>

#include "tools/common/code_page_437.h"
#include "tools/common/display_text.h"
#include "tools/common/file_time.h"

namespace {

// Line room with every text field at its worst: 3 UTF-8 bytes per character in a text line
// (4 for a raw byte escaped as \ooo), 6 per character (\u00XX) in JSON, plus the fixed fields.
constexpr size_t kMaxTextLine = 128 + 4 * (kFileNameSize + kDescriptionSize);
constexpr size_t kMaxJsonLine =
    1024 + 6 * (kFileNameSize + kAlternateNameSize + kHostSystemSize + kDescriptionSize);

constexpr char kHexDigits[] = "0123456789abcdef";

constexpr std::array<char, 200> MakeDigitPairs() {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}
constexpr std::array<char, 200> kDigitPairs = MakeDigitPairs();

char* WriteTwoDigits(char* out, uint32_t value) {
  std::memcpy(out, &kDigitPairs[2 * value], 2);
  return out + 2;
}

// Writes the decimal digits of `value` backwards so that they end just before `end`, two
// digits per step; returns where they begin.
char* WriteDigitsBefore(char* end, uint64_t value) {
  char* first = end;
  while (value >= 100) {
    first -= 2;
    std::memcpy(first, &kDigitPairs[2 * (value % 100)], 2);
    value /= 100;
  }
  if (value >= 10) {
    first -= 2;
    std::memcpy(first, &kDigitPairs[2 * value], 2);
  } else {
    *--first = static_cast<char>('0' + value);
  }
  return first;
}

// Decimal digits of `value`, at least `minDigits` of them (zero-padded).
char* WriteUnsigned(char* out, uint64_t value, int minDigits = 1) {
  char digits[20];
  char* const end = digits + sizeof digits;
  char* first = WriteDigitsBefore(end, value);
  while (end - first < minDigits) *--first = '0';
  auto count = static_cast<size_t>(end - first);
  std::memcpy(out, first, count);
  return out + count;
}

char* WriteRightAligned(char* out, uint64_t value, int width) {
  char digits[20];
  char* end = WriteUnsigned(digits, value);
  int count = static_cast<int>(end - digits);
  for (; width > count; --width) *out++ = ' ';
  std::memcpy(out, digits, static_cast<size_t>(count));
  return out + count;
}

// `value` right-aligned in a field of 10 characters, the width of every size below 10 GB.
// The digits are written backwards into a field first filled with blanks by one 16-byte
// store (the line has room for it), so a size costs no temporary copy.
char* WriteSizeField(char* out, uint64_t value) {
  constexpr int kWidth = 10;
  if (value >= 10'000'000'000ull) return WriteRightAligned(out, value, kWidth);
  std::memcpy(out, "                ", 16);
  WriteDigitsBefore(out + kWidth, value);
  return out + kWidth;
}

char* WriteLiteral(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

size_t FieldLength(const char* field, size_t fieldSize) {
  const void* zero = std::memchr(field, 0, fieldSize);
  return zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - field) : fieldSize;
}

// `\ooo`, as tar -t shows a control byte in a name.
char* WriteOctalEscape(char* out, uint8_t byte) {
  out[0] = '\\';
  out[1] = static_cast<char>('0' + (byte >> 6));
  out[2] = static_cast<char>('0' + ((byte >> 3) & 7));
  out[3] = static_cast<char>('0' + (byte & 7));
  return out + 4;
}

char* WriteUnicodeEscape(char* out, uint8_t byte) {
  out = WriteLiteral(out, "\\u00");
  *out++ = kHexDigits[byte >> 4];
  *out++ = kHexDigits[byte & 0xF];
  return out;
}

// The JSON escape of an ASCII character, or nullptr when it stands for itself.
const char* JsonEscape(uint8_t byte) {
  switch (byte) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\b':
      return "\\b";
    case '\f':
      return "\\f";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default:
      return nullptr;
  }
}

bool NeedsJsonEscape(uint8_t byte) {
  return byte < 0x20 || byte == 0x7F || byte == '"' || byte == '\\';
}

char* WriteJsonAscii(char* out, uint8_t byte) {
  if (const char* escape = JsonEscape(byte)) return WriteLiteral(out, escape);
  return WriteUnicodeEscape(out, byte);
}

}  // namespace

uint64_t FileTimeValue(const FileTime& time) {
  return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

char* WriteAttributeLetters(char* out, uint32_t attributes) {
  out[0] = (attributes & kAttrDirectory) != 0 ? 'd' : '-';
  out[1] = (attributes & kAttrReadOnly) != 0 ? 'r' : '-';
  out[2] = (attributes & kAttrHidden) != 0 ? 'h' : '-';
  out[3] = (attributes & kAttrSystem) != 0 ? 's' : '-';
  out[4] = (attributes & kAttrArchive) != 0 ? 'a' : '-';
  out[5] = (attributes & kAttrOffline) != 0 ? 'o' : '-';
  return out + 6;
}

char* WriteEscapedBytes(char* out, const char* field, size_t fieldSize) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(field);
  size_t length = FieldLength(field, fieldSize);
  for (size_t i = 0; i < length; ++i) {
    uint8_t byte = bytes[i];
    if (byte < 0x20 || byte == 0x7F) {
      out = WriteOctalEscape(out, byte);
    } else {
      *out++ = static_cast<char>(byte);
    }
  }
  return out;
}

std::string JsonQuoted(std::string_view text) {
  std::string wellFormed = WellFormedUtf8(text);
  std::string quoted = "\"";
  for (size_t at = 0; at < wellFormed.size(); ++at) {
    auto byte = static_cast<uint8_t>(wellFormed[at]);
    if (NeedsJsonEscape(byte)) {
      char escape[8];
      quoted.append(escape, WriteJsonAscii(escape, byte));
    } else if (byte == 0xC2 && static_cast<uint8_t>(wellFormed[at + 1]) < 0xA0) {
      // A C1 control character (U+0080 to U+009F) goes out escaped, as the C0 ones do.
      char escape[8];
      quoted.append(escape, WriteUnicodeEscape(escape, static_cast<uint8_t>(wellFormed[++at])));
    } else {
      quoted += static_cast<char>(byte);
    }
  }
  quoted += '"';
  return quoted;
}

void ItemFormatter::SetCatalogue(std::string_view fileName) {
  jsonPrefix_ = "{\"catalogue\":" + JsonQuoted(fileName) + ",";
}

uint64_t ItemFormatter::LocalTicks(uint64_t ticks) const {
  const int64_t seconds =
      static_cast<int64_t>(ticks / file_time::kTicksPerSecond) - file_time::kSecondsFrom1601To1970;
  struct tm local {};
#if defined(_WIN32)
  const __time64_t utc = seconds;
  if (_localtime64_s(&local, &utc) != 0) return ticks;
  const int64_t offset = static_cast<int64_t>(_mkgmtime64(&local) - utc);
#else
  const auto utc = static_cast<time_t>(seconds);
  if (localtime_r(&utc, &local) == nullptr) return ticks;
  const int64_t offset = local.tm_gmtoff;
#endif
  const int64_t shift = offset * static_cast<int64_t>(file_time::kTicksPerSecond);
  // A time within the offset of 1601's start stays as it is.
  if (shift < 0 && ticks < static_cast<uint64_t>(-shift)) return ticks;
  return ticks + static_cast<uint64_t>(shift);
}

char* ItemFormatter::WriteStamp(char* out, uint64_t ticks, bool iso) const {
  if (local_ && !iso) ticks = LocalTicks(ticks);
  const file_time::CivilTime civil = file_time::CivilFromFileTime(ticks);
  out = WriteUnsigned(out, civil.year, 4);
  *out++ = '-';
  out = WriteTwoDigits(out, civil.month);
  *out++ = '-';
  out = WriteTwoDigits(out, civil.day);
  *out++ = iso ? 'T' : ' ';
  out = WriteTwoDigits(out, civil.hour);
  *out++ = ':';
  out = WriteTwoDigits(out, civil.minute);
  *out++ = ':';
  out = WriteTwoDigits(out, civil.second);
  if (iso) {
    // Sub-second ticks are kept so that the text says as much as the raw value.
    if (civil.ticks != 0) {
      *out++ = '.';
      out = WriteUnsigned(out, civil.ticks, 7);
    }
    *out++ = 'Z';
  }
  return out;
}

char* ItemFormatter::WriteJsonText(char* out, const char* field, size_t fieldSize) const {
  const auto* bytes = reinterpret_cast<const uint8_t*>(field);
  size_t length = FieldLength(field, fieldSize);
  *out++ = '"';
  for (size_t i = 0; i < length; ++i) {
    uint8_t byte = bytes[i];
    if (byte == '"' || byte == '\\') {
      out = WriteJsonAscii(out, byte);
    } else if (code_page_437::IsPlainAscii(byte)) {
      *out++ = static_cast<char>(byte);
    } else if (raw_) {
      out = byte < 0x20 ? WriteJsonAscii(out, byte) : WriteUnicodeEscape(out, byte);
    } else {
      out = code_page_437::WriteUtf8(out, byte);
    }
  }
  *out++ = '"';
  return out;
}

void ItemFormatter::WriteText(OutputBuffer& output, const ItemRecord& item,
                              const ItemDetails& details) {
  char* out = output.Reserve(kMaxTextLine);
  out = WriteAttributeLetters(out, item.dwFileAttributes);
  *out++ = ' ';
  uint64_t size = (uint64_t{item.nFileSizeHigh} << 32) | item.nFileSizeLow;
  out = WriteSizeField(out, size);
  *out++ = ' ';
  out = WriteStamp(out, FileTimeValue(item.ftLastWriteTime), false);
  *out++ = ' ';
  if (raw_) {
    out = WriteEscapedBytes(out, item.cFileName, kFileNameSize);
  } else {
    out = WriteCp437AsUtf8(out, item.cFileName, kFileNameSize);
  }
  if (details.description[0] != 0) {
    out = WriteLiteral(out, "  -- ");
    if (raw_) {
      out = WriteEscapedBytes(out, details.description, kDescriptionSize);
    } else {
      out = WriteCp437AsUtf8(out, details.description, kDescriptionSize);
    }
  }
  *out++ = '\n';
  output.Commit(out);
}

void ItemFormatter::WriteJson(OutputBuffer& output, const ItemRecord& item,
                              const ItemDetails& details, uint64_t itemNumber, int result) {
  output.Append(jsonPrefix_.data(), jsonPrefix_.size());
  char* out = output.Reserve(kMaxJsonLine);
  out = WriteLiteral(out, "\"index\":");
  out = WriteUnsigned(out, itemNumber);
  out = WriteLiteral(out, ",\"result\":");
  out = WriteUnsigned(out, static_cast<uint32_t>(result));
  out = WriteLiteral(out, ",\"path\":");
  out = WriteJsonText(out, item.cFileName, kFileNameSize);
  out = WriteLiteral(out, ",\"alternate_name\":");
  out = WriteJsonText(out, item.cAlternateFileName, kAlternateNameSize);
  out = WriteLiteral(out, ",\"attributes\":");
  out = WriteUnsigned(out, item.dwFileAttributes);
  out = WriteLiteral(out, ",\"attribute_letters\":\"");
  out = WriteAttributeLetters(out, item.dwFileAttributes);
  out = WriteLiteral(out, "\",\"size\":");
  out = WriteUnsigned(out, item.nFileSizeLow);
  out = WriteLiteral(out, ",\"size_high\":");
  out = WriteUnsigned(out, item.nFileSizeHigh);
  out = WriteLiteral(out, ",\"packed_size\":");
  out = WriteUnsigned(out, item.packedSizeLow);
  out = WriteLiteral(out, ",\"packed_size_high\":");
  out = WriteUnsigned(out, item.packedSizeHigh);
  const struct {
    std::string_view name;
    const FileTime& time;
  } stamps[] = {{"creation", item.ftCreationTime},
                {"access", item.ftLastAccessTime},
                {"write", item.ftLastWriteTime}};
  for (const auto& stamp : stamps) {
    uint64_t ticks = FileTimeValue(stamp.time);
    out = WriteLiteral(out, ",\"");
    out = WriteLiteral(out, stamp.name);
    out = WriteLiteral(out, "_time\":\"");
    out = WriteStamp(out, ticks, true);
    out = WriteLiteral(out, "\",\"");
    out = WriteLiteral(out, stamp.name);
    out = WriteLiteral(out, "_time_raw\":");
    out = WriteUnsigned(out, ticks);
  }
  out = WriteLiteral(out, ",\"host_system\":");
  out = WriteJsonText(out, details.hostSystem, kHostSystemSize);
  out = WriteLiteral(out, ",\"description\":");
  out = WriteJsonText(out, details.description, kDescriptionSize);
  out = WriteLiteral(out, ",\"format_version\":");
  out = WriteUnsigned(out, details.formatVersion);
  out = WriteLiteral(out, ",\"format_version_text\":\"");
  out = WriteUnsigned(out, (details.formatVersion >> 8) & 0xFF);
  *out++ = '.';
  out = WriteUnsigned(out, details.formatVersion & 0xFF);
  out = WriteLiteral(out, "\"}\n");
  output.Commit(out);
}
