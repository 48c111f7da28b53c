// A format module that breaks one of the archive host's rules on purpose, chosen at build time
// by one BREAK_... definition; without one it keeps every rule. cathost32 must report each
// breach. Otherwise minimal: it accepts any file and lists one item, BROKEN.TXT.
#include <windows.h>

#include <cstdint>
#include <cstring>

#if defined(BREAK_CALLER_CLEANS)
#define ITEM_CALL __cdecl  // the host expects the callee to remove the arguments
#else
#define ITEM_CALL __stdcall
#endif

namespace {

HANDLE gFile = INVALID_HANDLE_VALUE;
bool gDelivered = false;

}  // namespace

extern "C" {

int __stdcall LoadFormatModule(void*) {
  return 0;
}

int __stdcall IsArchive(const char*, const unsigned char*, uint32_t dataSize) {
  return dataSize > 0 ? 1 : 0;
}

int __stdcall OpenArchive(const char* fileName, int32_t* formatTypeOut) {
  gFile = CreateFileA(fileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (gFile == INVALID_HANDLE_VALUE) return 0;
  gDelivered = false;
  *formatTypeOut = 0;
  return 1;
}

int ITEM_CALL GetArcItem(unsigned char* item, unsigned char* details) {
#if defined(BREAK_ENDLESS)
  for (volatile uint32_t spin = 1; spin != 0;) spin = spin | 1;
#endif
  if (gDelivered) return 0;
  gDelivered = true;
  const uint32_t attributes = 0x1021;
  std::memcpy(item, &attributes, 4);
  std::memset(item + 4, 0, 40 - 4);  // times and sizes; the reserved words stay the host's
  std::memcpy(item + 44, "BROKEN.TXT", 11);
  std::memset(item + 318, 0, 8);
  std::memcpy(details, "Win32", 6);
  const uint32_t version = 0x100;
  std::memcpy(details + 304, &version, 4);
#if defined(BREAK_WRITE_PAST_RECORD)
  item[326] = 'X';  // one byte past ItemRecord, into memory the host did not lend
#endif
  return 1;
}

int __stdcall CloseArchive(uint32_t* closeRecord) {
  closeRecord[3] = 1;
#if defined(BREAK_HANDLE_LEAK)
  return 1;
#else
  BOOL closed = CloseHandle(gFile);
  gFile = INVALID_HANDLE_VALUE;
  return closed;
#endif
}

int __stdcall GetFormatName(int32_t formatType, char* nameOut, char* secondOut) {
  if (formatType != 0) return 0;
  std::strcpy(nameOut, "BRK");
  std::strcpy(secondOut, "BRK");
  return 1;
}

int __stdcall GetDefaultCommands(int32_t formatType, uint32_t commandIndex, char* commandOut) {
  if (formatType != 0 || commandIndex >= 15) return 0;
  std::strcpy(commandOut, commandIndex == 14 ? "*.*" : "");
  return 1;
}

}  // extern "C"
