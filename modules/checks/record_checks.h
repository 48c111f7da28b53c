// What a host may rely on after each GetArcItem call, checked byte by byte. Shared by the
// fuzz targets (which abort on a breach), the hostile-input tests (which report it) and
// cathost32's call-by-call comparison of a DLL with a native module.
//
// The host's records are lent larger than the module's layout and filled with a pattern
// before the call; afterwards:
//   - no byte past the 326 bytes of ItemRecord or the 308 of ItemDetails has changed;
//   - a call that delivered nothing (results 0, 3, 4, and 2 for a record past the end) wrote
//     nothing at all;
//   - a delivered item has the offline bit, the format's attributes, sizes whose high halves
//     are 0, three equal times, dwReserved0/1 and the host fields untouched, cFileName ended
//     within 260 bytes, a written description ended within 256, hostSystem the module's text
//     and nothing more; ZEX writes nothing after the ends of cFileName and
//     cAlternateFileName, MUR writes no cAlternateFileName.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "modules/interface/host_interface.h"

namespace record_checks {

constexpr size_t kTail = 64;  // the host's bytes past the module's layout
constexpr uint8_t kItemPattern = 0xA5;
constexpr uint8_t kDetailsPattern = 0x5A;  // ASCII: an unwritten description converts to itself

enum class Format { Zex, Mur };

inline const char* HostSystemOf(Format format) {
  return format == Format::Zex ? "DOS" : "Win32";
}

inline bool AllAre(const void* field, size_t length, uint8_t value) {
  const auto* bytes = static_cast<const uint8_t*>(field);
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] != value) return false;
  }
  return true;
}

// The two records the host lends to GetArcItem, each with a tail that belongs to the host.
struct HostRecords {
  alignas(8) uint8_t itemBytes[sizeof(ItemRecord) + kTail];
  alignas(8) uint8_t detailsBytes[sizeof(ItemDetails) + kTail];

  // The records as the module receives them.
  ItemRecord* itemOut() { return reinterpret_cast<ItemRecord*>(itemBytes); }
  ItemDetails* detailsOut() { return reinterpret_cast<ItemDetails*>(detailsBytes); }
  const ItemRecord& item() const { return *reinterpret_cast<const ItemRecord*>(itemBytes); }
  const ItemDetails& details() const { return *reinterpret_cast<const ItemDetails*>(detailsBytes); }
  void Fill() {
    std::memset(itemBytes, kItemPattern, sizeof itemBytes);
    std::memset(detailsBytes, kDetailsPattern, sizeof detailsBytes);
  }
};

// Checks the records after a call that returned `result`. Returns nullptr when every rule
// held, else what was broken. `delivered` tells whether the call delivered an item.
inline const char* Check(const HostRecords& records, int result, Format format, bool* delivered) {
  *delivered = false;
  if (result < StatusEnd || result > StatusReadError) return "unknown result code";
  if (!AllAre(records.itemBytes + sizeof(ItemRecord), kTail, kItemPattern)) {
    return "wrote past the 326 bytes of ItemRecord";
  }
  if (!AllAre(records.detailsBytes + sizeof(ItemDetails), kTail, kDetailsPattern)) {
    return "wrote past the end of ItemDetails";
  }
  const bool itemUntouched = AllAre(records.itemBytes, sizeof(ItemRecord), kItemPattern);
  const bool detailsUntouched = AllAre(records.detailsBytes, sizeof(ItemDetails), kDetailsPattern);
  if (result != StatusOk && result != StatusDamaged) {
    return itemUntouched && detailsUntouched ? nullptr : "wrote records without an item";
  }
  if (result == StatusDamaged && itemUntouched) {
    return detailsUntouched ? nullptr : "wrote ItemDetails without an item";
  }
  *delivered = true;

  const ItemRecord& item = records.item();
  const ItemDetails& details = records.details();
  const uint32_t attributes = item.dwFileAttributes;
  const bool isDirectory = (attributes & kAttrDirectory) != 0;
  if ((attributes & kAttrOffline) == 0) return "item without the offline attribute";
  if (format == Format::Zex ? (attributes & ~0x1037u) != 0
                            : (attributes != 0x1021u && attributes != 0x1031u)) {
    return "attribute bits the format never sets";
  }
  if (item.nFileSizeHigh != 0 || item.packedSizeHigh != 0) return "a high size half is not 0";
  if (item.packedSizeLow != item.nFileSizeLow) return "packedSizeLow differs from the size";
  if (isDirectory && item.nFileSizeLow != 0) return "a directory with a size";
  if (std::memcmp(&item.ftCreationTime, &item.ftLastAccessTime, sizeof(FileTime)) != 0 ||
      std::memcmp(&item.ftCreationTime, &item.ftLastWriteTime, sizeof(FileTime)) != 0) {
    return "the three times differ";
  }
  if (!AllAre(&item.dwReserved0, 4, kItemPattern) || !AllAre(&item.dwReserved1, 4, kItemPattern)) {
    return "wrote dwReserved0/1";
  }

  const void* nameEnd = std::memchr(item.cFileName, 0, kFileNameSize);
  if (nameEnd == nullptr) return "cFileName not ended within 260 bytes";
  if (format == Format::Zex) {
    // Path and name are copied up to their ends: nothing after the zero bytes.
    const size_t nameLength =
        static_cast<size_t>(static_cast<const char*>(nameEnd) - item.cFileName);
    if (!AllAre(item.cFileName + nameLength + 1, kFileNameSize - nameLength - 1, kItemPattern)) {
      return "bytes written after the end of cFileName";
    }
    const void* shortEnd = std::memchr(item.cAlternateFileName, 0, kAlternateNameSize);
    if (shortEnd == nullptr) return "cAlternateFileName not ended";
    const size_t shortLength =
        static_cast<size_t>(static_cast<const char*>(shortEnd) - item.cAlternateFileName);
    if (shortLength > 12) return "an 8.3 name longer than 12";
    if (!AllAre(item.cAlternateFileName + shortLength + 1, kAlternateNameSize - shortLength - 1,
                kItemPattern)) {
      return "bytes written after the end of cAlternateFileName";
    }
    // cFileName is the path and the 8.3 name; only a path cut at 259 characters differs.
    if (result == StatusOk &&
        (nameLength < shortLength || std::memcmp(item.cFileName + nameLength - shortLength,
                                                 item.cAlternateFileName, shortLength) != 0)) {
      return "cFileName does not end in the 8.3 name";
    }
  } else if (!AllAre(item.cAlternateFileName, kAlternateNameSize, kItemPattern)) {
    return "wrote cAlternateFileName";
  }

  const char* hostSystem = HostSystemOf(format);
  const size_t hostSystemSize = std::strlen(hostSystem) + 1;
  if (std::memcmp(details.hostSystem, hostSystem, hostSystemSize) != 0 ||
      !AllAre(details.hostSystem + hostSystemSize, kHostSystemSize - hostSystemSize,
              kDetailsPattern)) {
    return "hostSystem is not the module's text alone";
  }
  // Every text the module writes ends with a zero byte, which the pattern does not hold.
  if (!AllAre(details.description, kDescriptionSize, kDetailsPattern) &&
      std::memchr(details.description, 0, kDescriptionSize) == nullptr) {
    return "description written without its end within 256 bytes";
  }
  if (!AllAre(details.hostFields, sizeof details.hostFields, kDetailsPattern)) {
    return "wrote the host fields";
  }
  return nullptr;
}

// CloseArchive writes 1 into the fourth 32-bit field and nothing else. Returns nullptr when
// it kept to that; `closed` receives its result.
template <typename CloseFn>
const char* CheckedClose(CloseFn close, int* closed) {
  alignas(8) uint8_t bytes[sizeof(CloseRecord) + kTail];
  std::memset(bytes, kItemPattern, sizeof bytes);
  *closed = close(reinterpret_cast<CloseRecord*>(bytes));
  uint32_t fourth;
  std::memcpy(&fourth, bytes + 12, 4);
  if (fourth != 1) return "CloseArchive did not write 1 into the fourth field";
  if (!AllAre(bytes, 12, kItemPattern) ||
      !AllAre(bytes + sizeof(CloseRecord), kTail, kItemPattern)) {
    return "CloseArchive wrote more than the fourth field";
  }
  return nullptr;
}

// The most items a listing of a `size`-byte file can deliver; one more is a loop.
//   ZEX: each delivered directory record and entry is read whole from inside the file, at
//   cursors that only move forward by a record: at most size / 40 directories, and for each
//   directory (the root included) at most size / 32 entries.
//   MUR: every node is listed once, and every node starts at its own offset in the file.
inline uint64_t ItemBound(Format format, uint64_t size) {
  if (format == Format::Zex) return (size / 40 + 1) * (size / 32 + 2);
  return size + 1;
}

// One GetArcItem call with freshly filled records, as the host saw it.
struct CheckedCall {
  int result = StatusEnd;
  bool delivered = false;
  const char* broken = nullptr;  // the rule the call broke, if any
  std::string path;              // cFileName of a delivered item
  bool described = false;        // the description field was written
  std::string description;
  uint32_t attributes = 0;
  uint64_t time = 0;  // ftLastWriteTime
};

inline CheckedCall CallChecked(GetArcItemFn getArcItem, Format format) {
  static HostRecords records;
  records.Fill();
  CheckedCall call;
  call.result = getArcItem(records.itemOut(), records.detailsOut());
  call.broken = Check(records, call.result, format, &call.delivered);
  if (call.delivered && call.broken == nullptr) {
    const ItemRecord& item = records.item();
    call.path = item.cFileName;
    call.attributes = item.dwFileAttributes;
    call.time =
        uint64_t{item.ftLastWriteTime.dwHighDateTime} << 32 | item.ftLastWriteTime.dwLowDateTime;
    const char* description = records.details().description;
    call.described = !AllAre(description, kDescriptionSize, kDetailsPattern);
    if (call.described) call.description = description;
  }
  return call;
}

// A listing driven to its end: GetArcItem is called while it delivers items (results 1 and
// 2), then twice more, which must give the same answer as the last call and deliver nothing.
struct CheckedListing {
  std::vector<CheckedCall> calls;  // every call up to the first that delivered nothing
  const char* broken = nullptr;    // the first rule broken, if any
  bool endless = false;            // more items than a file of this size can hold
};

inline CheckedListing ListChecked(GetArcItemFn getArcItem, Format format, uint64_t fileSize) {
  CheckedListing listing;
  const uint64_t bound = ItemBound(format, fileSize);
  for (uint64_t delivered = 0;; ++delivered) {
    if (delivered > bound) {
      listing.endless = true;
      return listing;
    }
    listing.calls.push_back(CallChecked(getArcItem, format));
    const CheckedCall& last = listing.calls.back();
    if (last.broken != nullptr) {
      listing.broken = last.broken;
      return listing;
    }
    if (!last.delivered) break;
  }
  for (int again = 0; again < 2; ++again) {
    const CheckedCall repeated = CallChecked(getArcItem, format);
    if (repeated.broken != nullptr) {
      listing.broken = repeated.broken;
    } else if (repeated.result != listing.calls.back().result || repeated.delivered) {
      listing.broken = "a call after the end or a failed record changed its answer";
    }
  }
  return listing;
}

}  // namespace record_checks
