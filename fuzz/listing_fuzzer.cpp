// libFuzzer target for one format module, whose sources are compiled into the binary. The
// input is the whole catalogue file. One source, built four times:
//   FUZZ_FORMAT_ZEX / FUZZ_FORMAT_MUR  which module is linked in (both define the same seven
//                                      entry points, so one module per binary)
//   FUZZ_HOST_ORDER=1  the host's calling order: the probe decides, the listing stops at the
//                      first result other than 1, a few calls follow, then CloseArchive twice
//   FUZZ_HOST_ORDER=0  the walk itself: open whatever the bytes are and go on while items are
//                      delivered (results 1 and 2), so damaged catalogues are walked too
//
// Every call is checked against what the host may rely on; a breach aborts, which libFuzzer
// reports as a crash:
//   - the host's records are larger than the module's layout and filled with a pattern; no
//     byte the module must not write changes (reserved fields, host fields, the tails);
//   - a call that delivers nothing writes nothing, and the next call fails the same way;
//   - cFileName ends within its 260 bytes, a written description within its 256;
//   - the number of delivered items stays below what the file can hold: more is an endless
//     listing.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "interface/host_interface.h"

namespace {

#if defined(FUZZ_FORMAT_ZEX)
constexpr char kHostSystem[] = "DOS";
constexpr bool kIsZex = true;
#elif defined(FUZZ_FORMAT_MUR)
constexpr char kHostSystem[] = "Win32";
constexpr bool kIsZex = false;
#else
#error "define FUZZ_FORMAT_ZEX or FUZZ_FORMAT_MUR"
#endif

// The upper bound of items a listing of `size` bytes can deliver; one more is a loop.
//   ZEX: each delivered directory record and each entry is read whole from inside the file,
//   at cursors that only move forward by a record: at most size / 40 directories, and per
//   directory (the root included) at most size / 32 entries.
//   MUR: every node is listed once, and every node starts at a distinct offset in the file.
uint64_t ItemBound(size_t size) {
  if (kIsZex) return (uint64_t{size} / 40 + 1) * (uint64_t{size} / 32 + 2);
  return uint64_t{size} + 1;
}

// The host's records may continue past the module's layout; these bytes are the host's.
constexpr size_t kTail = 64;
constexpr uint8_t kItemFill = 0xA5;
// ASCII, so that converting an unwritten description to OEM leaves it as it is.
constexpr uint8_t kDetailsFill = 0x5A;

[[noreturn]] void Fail(const char* what, int call, int result) {
  std::fprintf(stderr, "listing_fuzzer: %s (call %d, result %d)\n", what, call, result);
  std::abort();
}

bool AllFill(const uint8_t* bytes, size_t length, uint8_t fill) {
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] != fill) return false;
  }
  return true;
}

// The two records the host lends to GetArcItem, each with a tail it owns.
struct HostRecords {
  uint8_t* itemBytes;
  uint8_t* detailsBytes;
  ItemRecord* item() { return reinterpret_cast<ItemRecord*>(itemBytes); }
  ItemDetails* details() { return reinterpret_cast<ItemDetails*>(detailsBytes); }
};

// The input as a file the module can open by name: an anonymous memory file, rewritten for
// every input and opened through /proc as an ordinary path.
struct InputFile {
  int fd = -1;
  std::string path;
};

InputFile& TheInputFile() {
  static InputFile file = [] {
    InputFile made;
    made.fd = memfd_create("catalogue", 0);
    if (made.fd < 0) {
      std::perror("memfd_create");
      std::abort();
    }
    made.path = "/proc/self/fd/" + std::to_string(made.fd);
    return made;
  }();
  return file;
}

void WriteInput(const uint8_t* data, size_t size) {
  const InputFile& file = TheInputFile();
  if (ftruncate(file.fd, 0) != 0 ||
      (size != 0 && pwrite(file.fd, data, size, 0) != static_cast<ssize_t>(size))) {
    std::perror("writing the input file");
    std::abort();
  }
}

enum class Outcome { Delivered, Nothing };

// Checks one GetArcItem call's records against what the module may write.
Outcome CheckCall(HostRecords& records, int result, int call) {
  if (result < StatusEnd || result > StatusReadError) Fail("unknown result code", call, result);
  if (!AllFill(records.itemBytes + sizeof(ItemRecord), kTail, kItemFill)) {
    Fail("wrote past the 326 bytes of ItemRecord", call, result);
  }
  if (!AllFill(records.detailsBytes + sizeof(ItemDetails), kTail, kDetailsFill)) {
    Fail("wrote past the end of ItemDetails", call, result);
  }
  const bool itemUntouched = AllFill(records.itemBytes, sizeof(ItemRecord), kItemFill);
  const bool detailsUntouched = AllFill(records.detailsBytes, sizeof(ItemDetails), kDetailsFill);
  if (result == StatusEnd || result == StatusPastEnd || result == StatusReadError ||
      (result == StatusDamaged && itemUntouched)) {
    if (!itemUntouched || !detailsUntouched) Fail("wrote records without an item", call, result);
    return Outcome::Nothing;
  }

  const ItemRecord& item = *records.item();
  const ItemDetails& details = *records.details();
  const uint32_t attributes = item.dwFileAttributes;
  const bool isDirectory = (attributes & kAttrDirectory) != 0;
  if ((attributes & kAttrOffline) == 0) Fail("item without the offline attribute", call, result);
  if (kIsZex ? (attributes & ~0x1037u) != 0 : (attributes != 0x1021u && attributes != 0x1031u)) {
    Fail("attribute bits the format never sets", call, result);
  }
  if (item.nFileSizeHigh != 0 || item.packedSizeHigh != 0) Fail("high size", call, result);
  if (item.packedSizeLow != item.nFileSizeLow) Fail("packed size differs", call, result);
  if (isDirectory && item.nFileSizeLow != 0) Fail("directory with a size", call, result);
  if (std::memcmp(&item.ftCreationTime, &item.ftLastAccessTime, sizeof(FileTime)) != 0 ||
      std::memcmp(&item.ftCreationTime, &item.ftLastWriteTime, sizeof(FileTime)) != 0) {
    Fail("the three times differ", call, result);
  }
  const auto* reserved = reinterpret_cast<const uint8_t*>(&item.dwReserved0);
  if (!AllFill(reserved, 8, kItemFill)) Fail("wrote dwReserved0/1", call, result);

  const void* nameEnd = std::memchr(item.cFileName, 0, kFileNameSize);
  if (nameEnd == nullptr) Fail("cFileName not ended within 260 bytes", call, result);
  const auto* alternate = reinterpret_cast<const uint8_t*>(item.cAlternateFileName);
  if (kIsZex) {
    // Path and name are copied up to their end: nothing after the zero byte.
    const size_t nameLength = static_cast<const char*>(nameEnd) - item.cFileName;
    const auto* rest = reinterpret_cast<const uint8_t*>(item.cFileName) + nameLength + 1;
    if (!AllFill(rest, kFileNameSize - nameLength - 1, kItemFill)) {
      Fail("bytes written after the end of cFileName", call, result);
    }
    const void* shortEnd = std::memchr(alternate, 0, kAlternateNameSize);
    if (shortEnd == nullptr) Fail("cAlternateFileName not ended", call, result);
    const size_t shortLength = static_cast<const uint8_t*>(shortEnd) - alternate;
    if (shortLength > 12) Fail("8.3 name longer than 12", call, result);
    if (!AllFill(alternate + shortLength + 1, kAlternateNameSize - shortLength - 1, kItemFill)) {
      Fail("bytes written after the end of cAlternateFileName", call, result);
    }
    // cFileName is the path and the 8.3 name; only a path cut at 259 characters ends early.
    if (result == StatusOk &&
        (nameLength < shortLength ||
         std::memcmp(item.cFileName + nameLength - shortLength, alternate, shortLength) != 0)) {
      Fail("cFileName does not end in the 8.3 name", call, result);
    }
  } else if (!AllFill(alternate, kAlternateNameSize, kItemFill)) {
    Fail("wrote cAlternateFileName", call, result);
  }

  if (std::memcmp(details.hostSystem, kHostSystem, sizeof kHostSystem) != 0 ||
      !AllFill(reinterpret_cast<const uint8_t*>(details.hostSystem) + sizeof kHostSystem,
               kHostSystemSize - sizeof kHostSystem, kDetailsFill)) {
    Fail("hostSystem is not the module's text alone", call, result);
  }
  // Every text the module writes ends with a zero byte, which the pattern does not hold.
  const auto* description = reinterpret_cast<const uint8_t*>(details.description);
  if (!AllFill(description, kDescriptionSize, kDetailsFill) &&
      std::memchr(description, 0, kDescriptionSize) == nullptr) {
    Fail("description written without its end within 256 bytes", call, result);
  }
  if (!AllFill(reinterpret_cast<const uint8_t*>(details.hostFields), sizeof details.hostFields,
               kDetailsFill)) {
    Fail("wrote the host fields", call, result);
  }
  return Outcome::Delivered;
}

int CallGetArcItem(HostRecords& records, int call, Outcome* outcome, uint32_t* version) {
  std::memset(records.itemBytes, kItemFill, sizeof(ItemRecord) + kTail);
  std::memset(records.detailsBytes, kDetailsFill, sizeof(ItemDetails) + kTail);
  const int result = GetArcItem(records.item(), records.details());
  *outcome = CheckCall(records, result, call);
  if (*outcome == Outcome::Delivered) {
    const uint32_t itemVersion = records.details()->formatVersion;
    if (*version != 0 && itemVersion != *version) Fail("formatVersion changed", call, result);
    *version = itemVersion;
  }
  return result;
}

// CloseArchive writes 1 into the fourth field and nothing else.
int CallCloseArchive() {
  uint8_t bytes[sizeof(CloseRecord) + kTail];
  std::memset(bytes, kItemFill, sizeof bytes);
  const int closed = CloseArchive(reinterpret_cast<CloseRecord*>(bytes));
  uint32_t fourth;
  std::memcpy(&fourth, bytes + 12, 4);
  if (fourth != 1 || !AllFill(bytes, 12, kItemFill) ||
      !AllFill(bytes + sizeof(CloseRecord), kTail, kItemFill)) {
    Fail("CloseArchive wrote more than the fourth field", -1, closed);
  }
  return closed;
}

void ConstantEntryPoints(const uint8_t* data, size_t size) {
  if (LoadFormatModule(nullptr) != 0) Fail("LoadFormatModule", -1, 1);
  char name[64];
  char second[64];
  if (GetFormatName(0, name, second) != 1 || std::strcmp(name, second) != 0) {
    Fail("GetFormatName", -1, 0);
  }
  uint32_t index = 14;
  if (size >= 4) std::memcpy(&index, data, 4);
  char command[kFileNameSize];
  std::memset(command, kItemFill, sizeof command);
  const int served = GetDefaultCommands(0, index, command);
  if (served != (index < kCommandCount ? 1 : 0)) Fail("GetDefaultCommands result", -1, served);
  if (served == 0 && !AllFill(reinterpret_cast<uint8_t*>(command), sizeof command, kItemFill)) {
    Fail("GetDefaultCommands wrote on refusal", -1, served);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint8_t itemBytes[sizeof(ItemRecord) + kTail];
  static uint8_t detailsBytes[sizeof(ItemDetails) + kTail];
  HostRecords records{itemBytes, detailsBytes};

  ConstantEntryPoints(data, size);
  const uint32_t probeSize = static_cast<uint32_t>(size);
  const int accepted = IsArchive("candidate", data, probeSize);
  if (accepted != 0 && accepted != 1) Fail("IsArchive result", -1, accepted);
  if (FUZZ_HOST_ORDER && accepted == 0) return 0;

  WriteInput(data, size);
  int32_t formatType = -7;
  if (OpenArchive(TheInputFile().path.c_str(), &formatType) != 1) {
    if (formatType != -7) Fail("a failed OpenArchive wrote the format type", -1, 0);
    if (CallCloseArchive() != 0) Fail("a failed OpenArchive left the file open", -1, 0);
    return 0;
  }
  if (formatType != 0) Fail("OpenArchive format type", -1, formatType);

  const uint64_t bound = ItemBound(size);
  uint64_t delivered = 0;
  uint32_t version = 0;
  int call = 0;
  Outcome outcome = Outcome::Nothing;
  int result = StatusEnd;
  for (;; ++call) {
    result = CallGetArcItem(records, call, &outcome, &version);
    if (outcome == Outcome::Nothing) break;
    if (++delivered > bound) Fail("endless listing: more items than the file can hold", call, 0);
    if (FUZZ_HOST_ORDER && result != StatusOk) break;
  }

  // After the end, every call returns 0; after a record that could not be read, the same
  // record is tried again with the same result. After a damaged item the host stops; the
  // further calls only have to keep to the rules.
  for (int again = 0; again < 3; ++again) {
    ++call;
    Outcome next;
    const int repeated = CallGetArcItem(records, call, &next, &version);
    if (outcome == Outcome::Nothing && (repeated != result || next != Outcome::Nothing)) {
      Fail("a call after the end or a failed record changed its answer", call, repeated);
    }
  }

  if (CallCloseArchive() == 0) Fail("CloseArchive did not close the file", call, 0);
  if (CallCloseArchive() != 0) Fail("a repeated CloseArchive closed something", call, 0);
  Outcome closed;
  if (CallGetArcItem(records, ++call, &closed, &version) != StatusEnd) {
    Fail("GetArcItem after CloseArchive", call, 1);
  }
  return 0;
}
