// The records, result codes and entry points shared by the host and every format module.
//
// The host owns every record and lends it for one call. All records are byte-packed and
// little-endian; the first 318 bytes of ItemRecord are the platform's WIN32_FIND_DATAA.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define FMT_CALL __stdcall
#define FMT_EXPORT
#else
#define FMT_CALL
#define FMT_EXPORT __attribute__((visibility("default")))
#endif

// Result codes of GetArcItem; ReadAt returns 1 to 4.
enum : int {
  StatusEnd = 0,        // nothing delivered, the listing is finished
  StatusOk = 1,         // an item was delivered
  StatusDamaged = 2,    // record ran past the end, or a piece of the item's text failed
  StatusPastEnd = 3,    // record begins at or after the end, or positioning failed
  StatusReadError = 4,  // reading failed or came back short, or memory ran out
};

// Attribute bits of dwFileAttributes (the platform's values).
enum : uint32_t {
  kAttrReadOnly = 0x1,
  kAttrHidden = 0x2,
  kAttrSystem = 0x4,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
  kAttrOffline = 0x1000,
};

// Text sizes the host guarantees.
constexpr size_t kFileNameSize = 260;
constexpr size_t kAlternateNameSize = 14;
constexpr size_t kHostSystemSize = 32;
constexpr size_t kDescriptionSize = 256;
constexpr size_t kCommandCount = 15;

#pragma pack(push, 1)

// The platform's 64-bit time: 100 ns intervals since 1601-01-01 00:00 UTC, low half first.
struct FileTime {
  uint32_t dwLowDateTime;
  uint32_t dwHighDateTime;
};

struct ItemRecord {
  uint32_t dwFileAttributes;
  FileTime ftCreationTime;
  FileTime ftLastAccessTime;
  FileTime ftLastWriteTime;
  uint32_t nFileSizeHigh;
  uint32_t nFileSizeLow;
  uint32_t dwReserved0;
  uint32_t dwReserved1;
  char cFileName[kFileNameSize];
  char cAlternateFileName[kAlternateNameSize];
  uint32_t packedSizeHigh;
  uint32_t packedSizeLow;
};

struct ItemDetails {
  char hostSystem[kHostSystemSize];
  char description[kDescriptionSize];
  uint32_t hostFields[4];
  uint32_t formatVersion;
};

struct CloseRecord {
  uint32_t fields[4];
};
// CloseArchive writes kCloseDone into this field of CloseRecord, the fourth, and nothing else.
constexpr size_t kCloseDoneField = 3;
constexpr uint32_t kCloseDone = 1;

#pragma pack(pop)

static_assert(sizeof(FileTime) == 8);
static_assert(offsetof(FileTime, dwLowDateTime) == 0);
static_assert(offsetof(FileTime, dwHighDateTime) == 4);

static_assert(offsetof(ItemRecord, dwFileAttributes) == 0);
static_assert(offsetof(ItemRecord, ftCreationTime) == 4);
static_assert(offsetof(ItemRecord, ftLastAccessTime) == 12);
static_assert(offsetof(ItemRecord, ftLastWriteTime) == 20);
static_assert(offsetof(ItemRecord, nFileSizeHigh) == 28);
static_assert(offsetof(ItemRecord, nFileSizeLow) == 32);
static_assert(offsetof(ItemRecord, dwReserved0) == 36);
static_assert(offsetof(ItemRecord, dwReserved1) == 40);
static_assert(offsetof(ItemRecord, cFileName) == 44);
static_assert(offsetof(ItemRecord, cAlternateFileName) == 304);
static_assert(offsetof(ItemRecord, packedSizeHigh) == 318);
static_assert(offsetof(ItemRecord, packedSizeLow) == 322);
static_assert(sizeof(ItemRecord) == 326);

static_assert(offsetof(ItemDetails, hostSystem) == 0);
static_assert(offsetof(ItemDetails, description) == 32);
static_assert(offsetof(ItemDetails, hostFields) == 288);
static_assert(offsetof(ItemDetails, formatVersion) == 304);
static_assert(sizeof(ItemDetails) == 308);

static_assert(offsetof(CloseRecord, fields) == 0);
static_assert(sizeof(CloseRecord) == 16);

// The seven entry points; every other symbol of a module is hidden.
extern "C" {
FMT_EXPORT int FMT_CALL LoadFormatModule(void* loadArgument);
FMT_EXPORT int FMT_CALL IsArchive(const char* candidateName, const unsigned char* data,
                                  uint32_t dataSize);
FMT_EXPORT int FMT_CALL OpenArchive(const char* fileName, int32_t* formatTypeOut);
FMT_EXPORT int FMT_CALL GetArcItem(ItemRecord* item, ItemDetails* details);
FMT_EXPORT int FMT_CALL CloseArchive(CloseRecord* closeRecord);
FMT_EXPORT int FMT_CALL GetFormatName(int32_t formatType, char* nameOut, char* secondOut);
FMT_EXPORT int FMT_CALL GetDefaultCommands(int32_t formatType, uint32_t commandIndex,
                                           char* commandOut);
}

// Pointer types a host uses after looking the entry points up by name.
extern "C" {
typedef int(FMT_CALL* LoadFormatModuleFn)(void*);
typedef int(FMT_CALL* IsArchiveFn)(const char*, const unsigned char*, uint32_t);
typedef int(FMT_CALL* OpenArchiveFn)(const char*, int32_t*);
typedef int(FMT_CALL* GetArcItemFn)(ItemRecord*, ItemDetails*);
typedef int(FMT_CALL* CloseArchiveFn)(CloseRecord*);
typedef int(FMT_CALL* GetFormatNameFn)(int32_t, char*, char*);
typedef int(FMT_CALL* GetDefaultCommandsFn)(int32_t, uint32_t, char*);
}
