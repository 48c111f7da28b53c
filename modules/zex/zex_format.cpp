#include "modules/zex/zex_format.h"

#include <cstring>

#include "modules/core/bytes.h"

namespace zex {

// Check word B is compared halved, rounded down: a 16-bit shift right by one.
constexpr uint32_t kCheckWordBHalving = 1;

bool Probe(const uint8_t* data, uint32_t dataSize) {
  if (data == nullptr || dataSize < kHeaderSize) return false;
  const uint32_t offsets[4] = {LoadU32(data + kEntryTableOffsetField),
                               LoadU32(data + kDirTableOffsetField),
                               LoadU32(data + kThirdOffsetField), LoadU32(data + kNoteBaseField)};
  bool oneIsHeaderSize = false;
  for (uint32_t offset : offsets) oneIsHeaderSize = oneIsHeaderSize || offset == kHeaderSize;
  if (!oneIsHeaderSize) return false;
  const uint16_t minor = LoadU16(data + kFormatMinorField);
  bool knownMinor = false;
  for (uint16_t known : kMinorVersions) knownMinor = knownMinor || minor == known;
  if (!knownMinor) return false;
  const uint16_t checkWordA = LoadU16(data + kCheckWordAField);
  const uint16_t checkWordB = LoadU16(data + kCheckWordBField);
  if (static_cast<uint16_t>(checkWordB >> kCheckWordBHalving) > checkWordA) return false;
  if (checkWordA < kCheckWordAMin || checkWordA > kCheckWordAMax) return false;
  if (LoadU32(data + kCheckValueBField) > LoadU32(data + kCheckValueAField)) return false;
  for (uint32_t offset : offsets) {
    if (offset < kHeaderSize) return false;
  }
  return true;
}

// The length of a blank- or zero-padded field without its padding (inner blanks and zero
// bytes stay).
static uint32_t TrimmedLength(const uint8_t* field, uint32_t width) {
  while (width > 0 && (field[width - 1] == ' ' || field[width - 1] == '\0')) --width;
  return width;
}

ShortName FormShortName(const uint8_t* entry) {
  ShortName name{};
  char* out = name.text;
  uint32_t length = TrimmedLength(entry + kNameField, kNameWidth);
  std::memcpy(out, entry + kNameField, length);
  // Nothing of the extension left: no separator either. An extension ending in "." loses
  // that character.
  const uint32_t extensionLength = TrimmedLength(entry + kExtensionField, kExtensionWidth);
  if (extensionLength != 0) {
    out[length++] = '.';
    std::memcpy(out + length, entry + kExtensionField, extensionLength);
    length += extensionLength;
    if (out[length - 1] == '.') --length;
  }
  // A zero byte inside the base name or the extension ends the name there.
  name.length = 0;
  while (name.length < length && out[name.length] != '\0') ++name.length;
  std::memset(out + name.length, 0, sizeof name.text - name.length);
  return name;
}

}  // namespace zex
