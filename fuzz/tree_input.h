// The input of catmount_tree_fuzzer: a builder's limits, then items as a module delivers them.
// make_seeds writes its seeds with the same encoder.
//
//   byte 0   maxItems (0: no limit)
//   byte 1   maxBytes in 256-byte steps (0: no limit)
//   then items to the end of the input, each:
//     flags    kDirectory   the directory attribute
//              kDamaged     delivered with result 2
//              kDescribed   a description follows: length byte, then its bytes
//              kOtherTimes  creation and access times differ from the write time
//              kRepeated    a count byte follows: the item comes 1 + count times
//              kFilled      the name is repeated up to all 260 bytes with no zero byte (a path the
//                           module cut to its field)
//              kAttributes  an attribute byte follows, added to the low attribute bits
//     length   byte, then that many name bytes (zero bytes included: the name ends there)
//     ...      the bytes the flags announce, in the order above
// A record cut short by the end of the input takes what is there.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tree_input {

enum : uint8_t {
  kDirectory = 0x01,
  kDamaged = 0x02,
  kDescribed = 0x04,
  kOtherTimes = 0x08,
  kRepeated = 0x10,
  kFilled = 0x20,
  kAttributes = 0x40,
};

constexpr size_t kLimitStep = 256;

struct Item {
  uint8_t flags = 0;
  std::string name;
  std::string description;
  uint8_t repeat = 0;
  uint8_t attributes = 0;
};

struct Input {
  uint8_t maxItems = 0;
  uint8_t maxBytesSteps = 0;
  std::vector<Item> items;
};

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool AtEnd() const { return at_ >= bytes_.size(); }
  uint8_t Byte() { return AtEnd() ? 0 : bytes_[at_++]; }
  std::string Text(size_t length) {
    length = std::min(length, bytes_.size() - std::min(at_, bytes_.size()));
    std::string text(reinterpret_cast<const char*>(bytes_.data()) + at_, length);
    at_ += length;
    return text;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t at_ = 0;
};

inline Input Decode(std::span<const uint8_t> bytes) {
  Reader reader(bytes);
  Input input;
  input.maxItems = reader.Byte();
  input.maxBytesSteps = reader.Byte();
  while (!reader.AtEnd()) {
    Item item;
    item.flags = reader.Byte();
    item.name = reader.Text(reader.Byte());
    if ((item.flags & kDescribed) != 0) item.description = reader.Text(reader.Byte());
    if ((item.flags & kRepeated) != 0) item.repeat = reader.Byte();
    if ((item.flags & kAttributes) != 0) item.attributes = reader.Byte();
    input.items.push_back(std::move(item));
  }
  return input;
}

inline std::vector<uint8_t> Encode(const Input& input) {
  std::vector<uint8_t> bytes = {input.maxItems, input.maxBytesSteps};
  const auto text = [&bytes](const std::string& value) {
    bytes.push_back(static_cast<uint8_t>(std::min<size_t>(value.size(), 255)));
    bytes.insert(bytes.end(), value.begin(), value.begin() + std::min<size_t>(value.size(), 255));
  };
  for (const Item& item : input.items) {
    bytes.push_back(item.flags);
    text(item.name);
    if ((item.flags & kDescribed) != 0) text(item.description);
    if ((item.flags & kRepeated) != 0) bytes.push_back(item.repeat);
    if ((item.flags & kAttributes) != 0) bytes.push_back(item.attributes);
  }
  return bytes;
}

}  // namespace tree_input
