// The msvcrt functions (all __cdecl: the caller removes the arguments). The DLL's runtime
// writes to its streams only to report a fatal error, so stream output ends the run with the
// text it reports.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>

#include "tools/hosts/cathost32/guest_memory.h"
#include "tools/hosts/cathost32/win32_system_state.h"

namespace emulator {
namespace {

// --- Start-up and fatal exits --------------------------------------------------------------

std::string WithReport(const SystemState& state, std::string message) {
  if (!state.runtimeReport.empty())
    message += "; the DLL's runtime reported: " + state.runtimeReport;
  return message;
}

// _initterm(begin, end): calls each non-NULL function pointer in [begin, end).
uint32_t Initterm(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t begin = call.Argument(0), end = call.Argument(1);
  for (uint32_t entry = begin; entry < end && end - entry >= 4; entry += 4) {
    uint32_t function = 0;
    if (!ReadU32(state.memory, entry, &function)) {
      call.Stop("_initterm: the table entry at " + Hex(entry) + " cannot be read");
      return 0;
    }
    uint32_t result = 0;
    if (function != 0 && !call.CallEmulated(function, &result)) return 0;
  }
  return 0;
}

uint32_t AmsgExit(Win32System& system, SystemCall& call) {
  call.Stop(WithReport(SystemFunctions::Of(system), "the DLL's runtime called _amsg_exit(" +
                                                        std::to_string(call.Argument(0)) + ")"));
  return 0;
}

uint32_t Abort(Win32System& system, SystemCall& call) {
  call.Stop(WithReport(SystemFunctions::Of(system), "the DLL called abort()"));
  return 0;
}

uint32_t Lock(Win32System&, SystemCall&) {
  return 0;
}  // no other thread to exclude

// --- Streams -------------------------------------------------------------------------------

// stdout and stderr are the streams the DLL may write; its report goes into the run's stop.
bool IsOutputStream(SystemState& state, uint32_t stream) {
  const uint32_t iob = IobAddress(state);
  return iob != 0 && (stream == iob + kFileStructBytes || stream == iob + 2 * kFileStructBytes);
}

// The arguments of a printf-style call: from the emulated stack or a va_list.
using NextArgument = std::function<bool(uint32_t*)>;

// Reads a directive's flags, width and precision ('*' taking them from the arguments; capped
// to keep output sane) onto `directive`, and its length modifier, of which only the 64-bit ones
// change what is read (`wide`). Leaves `i` at the conversion; false when an argument cannot be
// read.
bool ReadDirective(const std::string& format, size_t& i, const NextArgument& next,
                   std::string* directive, bool* wide) {
  while (i < format.size() && std::strchr("-+ #0", format[i]) != nullptr) *directive += format[i++];
  for (int part = 0; part < 2; ++part) {
    if (part == 1) {
      if (i >= format.size() || format[i] != '.') break;
      *directive += format[i++];
    }
    if (i < format.size() && format[i] == '*') {
      uint32_t value = 0;
      if (!next(&value)) return false;
      *directive += std::to_string(std::min<int32_t>(static_cast<int32_t>(value), 256));
      ++i;
    } else {
      int number = 0;
      while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
        number = std::min(number * 10 + (format[i++] - '0'), 256);
      }
      if (number > 0 || (part == 1)) *directive += std::to_string(number);
    }
  }
  if (format.compare(i, 3, "I64") == 0) {
    *wide = true;
    i += 3;
  } else if (format.compare(i, 3, "I32") == 0) {
    i += 3;
  } else if (format.compare(i, 2, "ll") == 0) {
    *wide = true;
    i += 2;
  } else if (i < format.size() && std::strchr("hlLjztIw", format[i]) != nullptr) {
    *wide = format[i] == 'j' || format[i] == 'L';
    while (i < format.size() && std::strchr("hlLjztIw", format[i]) != nullptr) ++i;
  }
  return true;
}

enum class Converted { kDone, kUnreadable, kUnknown };

// Appends one conversion's text to `out`, its argument taken from `next`.
Converted Convert(const Memory& memory, char conversion, const std::string& directive, bool wide,
                  const NextArgument& next, std::string* out) {
  char text[640];
  uint64_t integer = 0;
  const auto take = [&](bool sixtyFour) {
    uint32_t low = 0, high = 0;
    if (!next(&low) || (sixtyFour && !next(&high))) return false;
    integer = uint64_t{high} << 32 | low;
    return true;
  };
  switch (conversion) {
    case '%':
      *out += '%';
      return Converted::kDone;
    case 'd':
    case 'i':
      if (!take(wide)) return Converted::kUnreadable;
      std::snprintf(text, sizeof text, (directive + PRId64).c_str(),
                    wide ? static_cast<int64_t>(integer)
                         : static_cast<int64_t>(static_cast<int32_t>(integer)));
      break;
    case 'u':
    case 'x':
    case 'X':
    case 'o': {
      if (!take(wide)) return Converted::kUnreadable;
      const char* length = conversion == 'u'   ? PRIu64
                           : conversion == 'x' ? PRIx64
                           : conversion == 'X' ? PRIX64
                                               : PRIo64;
      std::snprintf(text, sizeof text, (directive + length).c_str(), integer);
      break;
    }
    case 'c':
      if (!take(false)) return Converted::kUnreadable;
      std::snprintf(text, sizeof text, (directive + "c").c_str(), static_cast<int>(integer & 0xFF));
      break;
    case 'p':
      // msvcrt prints a 32-bit pointer as eight upper-case hex digits.
      if (!take(false)) return Converted::kUnreadable;
      std::snprintf(text, sizeof text, "%08" PRIX64, integer);
      break;
    case 'e':
    case 'E':
    case 'f':
    case 'g':
    case 'G':
    case 'a':
    case 'A': {
      if (!take(true)) return Converted::kUnreadable;
      double number = 0;
      std::memcpy(&number, &integer, sizeof number);
      std::snprintf(text, sizeof text, (directive + conversion).c_str(), number);
      break;
    }
    case 's': {
      if (!take(false)) return Converted::kUnreadable;
      std::string argument;
      const uint32_t address = static_cast<uint32_t>(integer);
      if (address == 0) {
        argument = "(null)";
      } else if (!ReadCString(memory, address, &argument, 4096)) {
        argument = "<unreadable text at " + Hex(address) + ">";
      }
      std::snprintf(text, sizeof text, (directive + "s").c_str(), argument.c_str());
      break;
    }
    case 'n':
      // Writes nothing worth reporting.
      return take(false) ? Converted::kDone : Converted::kUnreadable;
    default:
      return Converted::kUnknown;
  }
  *out += text;
  return Converted::kDone;
}

std::string FormatText(const Memory& memory, const std::string& format, const NextArgument& next) {
  std::string out;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out += format[i];
      continue;
    }
    const size_t start = i++;
    std::string directive = "%";
    bool wide = false;
    if (!ReadDirective(format, i, next, &directive, &wide)) return out + "<unreadable argument>";
    if (i >= format.size()) return out + format.substr(start);
    switch (Convert(memory, format[i], directive, wide, next, &out)) {
      case Converted::kDone:
        break;
      case Converted::kUnreadable:
        return out + "<unreadable argument>";
      case Converted::kUnknown:
        out += format.substr(start, i + 1 - start);
        break;
    }
  }
  return out;
}

// fwrite(buffer, size, count, stream): the text joins the report that a later vfprintf,
// abort or _amsg_exit stops the run with (the runtime writes its heading with fwrite).
uint32_t Fwrite(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t buffer = call.Argument(0), size = call.Argument(1), count = call.Argument(2),
                 stream = call.Argument(3);
  if (!IsOutputStream(state, stream)) {
    call.Stop("fwrite to " + Hex(stream) + ", which is not stdout or stderr");
    return 0;
  }
  const uint64_t bytes = uint64_t{size} * count;
  constexpr uint32_t kKept = 4096;
  std::string text(static_cast<size_t>(std::min<uint64_t>(bytes, kKept)), '\0');
  if (!text.empty() &&
      !state.memory.Read(buffer, text.data(), static_cast<uint32_t>(text.size()))) {
    call.Stop(WithReport(state, "fwrite: the text at " + Hex(buffer) + " cannot be read"));
    return 0;
  }
  state.runtimeReport += text;
  return bytes == 0 ? 0 : count;
}

uint32_t ReportAndStop(SystemState& state, SystemCall& call, const char* function, uint32_t stream,
                       uint32_t formatAddress, const NextArgument& next) {
  if (!IsOutputStream(state, stream)) {
    call.Stop(std::string(function) + " to " + Hex(stream) + ", which is not stdout or stderr");
    return 0;
  }
  std::string format;
  if (!ReadCString(state.memory, formatAddress, &format, 4096)) {
    call.Stop(WithReport(state, std::string(function) + ": the format at " + Hex(formatAddress) +
                                    " cannot be read"));
    return 0;
  }
  state.runtimeReport += FormatText(state.memory, format, next);
  call.Stop("the DLL's runtime reported: " + state.runtimeReport);
  return 0;
}

// vfprintf(stream, format, va_list): a 32-bit va_list points at the arguments.
uint32_t Vfprintf(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  uint32_t cursor = call.Argument(2);
  const NextArgument next = [&state, &cursor](uint32_t* value) {
    const bool read = ReadU32(state.memory, cursor, value);
    cursor += 4;
    return read;
  };
  return ReportAndStop(state, call, "vfprintf", call.Argument(0), call.Argument(1), next);
}

// --- Heap ----------------------------------------------------------------------------------

uint32_t Malloc(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  std::string fault;
  const uint32_t block = state.heap.Allocate(call.Argument(0), false, &fault);
  if (!fault.empty()) call.Stop("malloc: " + fault);
  return block;
}

uint32_t Calloc(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint64_t bytes = uint64_t{call.Argument(0)} * call.Argument(1);
  if (bytes > UINT32_MAX) return 0;  // the product does not fit: no block
  std::string fault;
  const uint32_t block = state.heap.Allocate(static_cast<uint32_t>(bytes), true, &fault);
  if (!fault.empty()) call.Stop("calloc: " + fault);
  return block;
}

uint32_t Realloc(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  std::string fault;
  uint32_t block = 0;
  if (!state.heap.Reallocate(call.Argument(0), call.Argument(1), &block, &fault)) {
    call.Stop(fault.starts_with("realloc") ? fault
                                           : "realloc of " + Hex(call.Argument(0)) + ": " + fault);
    return 0;
  }
  return block;
}

uint32_t Free(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  std::string fault;
  if (!state.heap.Free(call.Argument(0), &fault)) {
    call.Stop(fault.starts_with("free") ? fault
                                        : "free of " + Hex(call.Argument(0)) + ": " + fault);
  }
  return 0;
}

// --- Memory and strings --------------------------------------------------------------------

bool ReadTextOrStop(SystemState& state, SystemCall& call, const char* function, uint32_t address,
                    std::string* text, uint32_t limit = UINT32_MAX) {
  if (ReadCString(state.memory, address, text, limit)) return true;
  call.Stop(std::string(function) + ": the text at " + Hex(address) + " cannot be read");
  return false;
}

bool WriteOrStop(SystemState& state, SystemCall& call, const char* function, uint32_t address,
                 const void* bytes, uint32_t size) {
  if (size == 0 || state.memory.Write(address, bytes, size)) return true;
  call.Stop(std::string(function) + ": " + std::to_string(size) + " bytes at " + Hex(address) +
            " cannot be written");
  return false;
}

uint32_t Sign(int order) {
  return static_cast<uint32_t>(order < 0 ? -1 : order > 0 ? 1 : 0);
}

// Compares as the C library does: as unsigned char, the end of a string lower than any byte.
int CompareTexts(const std::string& a, const std::string& b) {
  const int order = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (order != 0) return order;
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// memcpy(destination, source, size). msvcrt's memcpy copies overlapping ranges as memmove
// does, so it does here.
uint32_t Memcpy(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t destination = call.Argument(0), source = call.Argument(1), size = call.Argument(2);
  if (!MoveBytes(state.memory, destination, source, size)) {
    call.Stop("memcpy of " + std::to_string(size) + " bytes from " + Hex(source) + " to " +
              Hex(destination) + " runs into unmapped memory");
  }
  return destination;
}

uint32_t Strlen(Win32System& system, SystemCall& call) {
  std::string text;
  if (!ReadTextOrStop(SystemFunctions::Of(system), call, "strlen", call.Argument(0), &text)) {
    return 0;
  }
  return static_cast<uint32_t>(text.size());
}

uint32_t Strcpy(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t destination = call.Argument(0);
  std::string text;
  if (!ReadTextOrStop(state, call, "strcpy", call.Argument(1), &text)) return 0;
  WriteOrStop(state, call, "strcpy", destination, text.c_str(),
              static_cast<uint32_t>(text.size() + 1));
  return destination;
}

// strncmp(a, b, count): reads no byte past the count'th of either string.
uint32_t Strncmp(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t count = call.Argument(2);
  std::string a, b;
  if (!ReadTextOrStop(state, call, "strncmp", call.Argument(0), &a, count) ||
      !ReadTextOrStop(state, call, "strncmp", call.Argument(1), &b, count)) {
    return 0;
  }
  return Sign(CompareTexts(a, b));
}

}  // namespace

void AddMsvcrtFunctions(FunctionTable& table) {
  // __cdecl: the caller removes the arguments.
  const auto add = [&table](const char* name, uint32_t (*run)(Win32System&, SystemCall&)) {
    table[FunctionKey("msvcrt.dll", name)] = SystemFunction{0, run};
  };
  add("_initterm", Initterm);
  add("_amsg_exit", AmsgExit);
  add("abort", Abort);
  add("_lock", Lock);
  add("_unlock", Lock);
  add("fwrite", Fwrite);
  add("vfprintf", Vfprintf);
  add("malloc", Malloc);
  add("calloc", Calloc);
  add("realloc", Realloc);
  add("free", Free);
  add("memcpy", Memcpy);
  add("strlen", Strlen);
  add("strcpy", Strcpy);
  add("strncmp", Strncmp);
}

}  // namespace emulator
