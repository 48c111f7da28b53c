// The entry points whose logic every format module shares; only the texts and the probe
// differ. Each format defines the other three (CloseArchive too: it frees the memory of its
// own walk).
#include <cstring>

#include "modules/interface/format_module.h"
#include "modules/interface/host_interface.h"

// The module offers no commands of its own: only the last entry, the wildcard mask, is set.
static constexpr uint32_t kWildcardCommand = kCommandCount - 1;
static constexpr char kWildcardMask[] = "*.*";

extern "C" {

int FMT_CALL LoadFormatModule(void* /*loadArgument*/) {
  return 0;
}

int FMT_CALL IsArchive(const char* /*candidateName*/, const unsigned char* data,
                       uint32_t dataSize) {
  return ProbeFormat(data, dataSize) ? 1 : 0;
}

int FMT_CALL GetFormatName(int32_t formatType, char* nameOut, char* secondOut) {
  if (formatType != 0) return 0;
  std::strcpy(nameOut, kFormatName);
  std::strcpy(secondOut, kFormatName);
  return 1;
}

int FMT_CALL GetDefaultCommands(int32_t formatType, uint32_t commandIndex, char* commandOut) {
  if (formatType != 0 || commandIndex >= kCommandCount) return 0;
  if (commandIndex == kWildcardCommand) {
    std::strcpy(commandOut, kWildcardMask);
  } else {
    commandOut[0] = '\0';
  }
  return 1;
}

}  // extern "C"
