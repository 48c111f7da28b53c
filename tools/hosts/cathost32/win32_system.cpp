// The system object and the kernel32 and user32 functions. Each follows what Windows
// documents for it; where Windows would fault on a bad pointer the run stops instead.
#include "tools/hosts/cathost32/win32_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>
#include <vector>

#include "tools/common/file_time.h"
#include "tools/hosts/cathost32/guest_memory.h"
#include "tools/hosts/cathost32/process_blocks.h"
#include "tools/hosts/cathost32/win32_system_state.h"

namespace emulator {

struct Win32System::State : SystemState {
  using SystemState::SystemState;
};

SystemState::SystemState(Memory& memory, const SystemLayout& layout, const HeapPolicy& policy)
    : memory(memory),
      layout(layout),
      heap(memory, layout.heapBase + kPageSize, layout.heapLimit, policy) {}

SystemState::~SystemState() {
  for (const auto& [handle, file] : files) close(file.descriptor);
}

SystemState& SystemFunctions::Of(Win32System& system) {
  return *system.state_;
}

Win32System::Win32System(Memory& memory, const SystemLayout& layout, const HeapPolicy& policy)
    : state_(std::make_unique<State>(memory, layout, policy)) {}

Win32System::~Win32System() = default;

std::string FunctionKey(const std::string& dll, const std::string& name) {
  std::string key = dll;
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (key.find('.') == std::string::npos) key += ".dll";
  return key + "!" + name;
}

namespace {

const FunctionTable& Functions() {
  static const FunctionTable table = [] {
    FunctionTable functions;
    AddKernel32Functions(functions);
    AddUser32Functions(functions);
    AddMsvcrtFunctions(functions);
    return functions;
  }();
  return table;
}

constexpr char kIobKey[] = "msvcrt.dll!_iob";

}  // namespace

const SystemFunction* Win32System::Find(const std::string& dll, const std::string& name) const {
  const auto found = Functions().find(FunctionKey(dll, name));
  return found == Functions().end() ? nullptr : &found->second;
}

std::set<std::string> Win32System::ProvidedNames() {
  std::set<std::string> names{kIobKey};
  for (const auto& [key, function] : Functions()) names.insert(key);
  return names;
}

uint32_t Win32System::FindData(const std::string& dll, const std::string& name) {
  if (FunctionKey(dll, name) == kIobKey) return IobAddress(*state_);
  return 0;
}

void Win32System::SetHeapPolicy(const HeapPolicy& policy) {
  state_->heap.SetPolicy(policy);
}

size_t Win32System::OpenHandles() const {
  return state_->files.size();
}
size_t Win32System::LiveHeapBlocks() const {
  return state_->heap.LiveBlocks();
}
void Win32System::MarkHeapBaseline() {
  state_->heap.MarkBaseline();
}
size_t Win32System::LiveHeapBlocksSinceBaseline() const {
  return state_->heap.LiveBlocksSinceBaseline();
}
std::string Win32System::CheckHeap() const {
  return state_->heap.Check();
}

// --- Shared helpers ------------------------------------------------------------------------

namespace {

constexpr uint32_t kTrue = 1, kFalse = 0;
constexpr uint32_t kInvalidHandleValue = 0xFFFFFFFF;

// A field of the thread block; `fallback` when the block does not carry it (a system tested
// over a bare address space).
uint32_t TebField(SystemState& state, uint32_t offset, uint32_t fallback) {
  uint32_t value = 0;
  if (state.layout.tebAddress == 0 ||
      !ReadU32(state.memory, state.layout.tebAddress + offset, &value) || value == 0) {
    return fallback;
  }
  return value;
}

bool ReadName(SystemState& state, SystemCall& call, const char* function, uint32_t address,
              std::string* name) {
  if (ReadCString(state.memory, address, name, 32768)) return true;
  call.Stop(std::string(function) + ": the name at " + Hex(address) + " cannot be read");
  return false;
}

bool WriteOrStop(SystemState& state, SystemCall& call, const char* function, uint32_t address,
                 uint32_t value) {
  if (WriteU32(state.memory, address, value)) return true;
  call.Stop(std::string(function) + ": cannot write its result to " + Hex(address));
  return false;
}

}  // namespace

bool SetLastError(SystemState& state, SystemCall& call, uint32_t code) {
  if (WriteU32(state.memory, state.layout.tebAddress + kTebLastErrorField, code)) return true;
  call.Stop("the thread block at " + Hex(state.layout.tebAddress) + " cannot be written");
  return false;
}

uint32_t IobAddress(SystemState& state) {
  if (!state.variablesMapped) {
    if (!state.memory.Map(state.layout.heapBase, kPageSize, kRead | kWrite)) return 0;
    state.variablesMapped = true;
    // msvcrt's 32-bit FILE: _ptr, _cnt, _base, _flag, _file, _charbuf, _bufsiz, _tmpfname.
    constexpr uint32_t kStreamRead = 0x1, kStreamWrite = 0x2;  // _IOREAD, _IOWRT
    const uint32_t base = state.layout.heapBase;
    for (uint32_t stream = 0; stream < kIobEntries; ++stream) {
      const uint32_t entry = base + stream * kFileStructBytes;
      const uint32_t flag = stream == 0 ? kStreamRead : stream <= 2 ? kStreamWrite : 0;
      if (!WriteU32(state.memory, entry + 12, flag) ||
          !WriteU32(state.memory, entry + 16, stream <= 2 ? stream : 0xFFFFFFFF)) {
        return 0;
      }
    }
    state.iobAddress = base;
  }
  return state.iobAddress;
}

// --- Files ---------------------------------------------------------------------------------

namespace {

constexpr uint32_t kGenericRead = 0x80000000;
constexpr uint32_t kFileShareRead = 0x1, kFileShareWrite = 0x2;
constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kFileAttributeNormal = 0x80;
constexpr uint32_t kFileFlagSequentialScan = 0x08000000;
constexpr uint32_t kFileBegin = 0, kFileCurrent = 1, kFileEnd = 2;
constexpr uint32_t kInvalidSetFilePointer = 0xFFFFFFFF;
constexpr uint32_t kInvalidFileSize = 0xFFFFFFFF;

// Windows tells a missing file in an existing folder (2) from a missing folder (3).
uint32_t MissingFileError(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string parent = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  struct stat status;
  return stat(parent.c_str(), &status) == 0 && S_ISDIR(status.st_mode) ? kErrorFileNotFound
                                                                       : kErrorPathNotFound;
}

uint32_t OpenError(int error, const std::string& path) {
  switch (error) {
    case ENOENT:
      return MissingFileError(path);
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case ENAMETOOLONG:
      return kErrorFilenameExcedRange;
    case ELOOP:
      return kErrorCantResolveFilename;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    default:
      return kErrorGenFailure;
  }
}

OpenFile* FindFile(SystemState& state, uint32_t handle) {
  const auto found = state.files.find(handle);
  return found == state.files.end() ? nullptr : &found->second;
}

// CreateFileA(name, access, share, security, disposition, flags, template).
uint32_t CreateFileA(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t access = call.Argument(1), share = call.Argument(2), security = call.Argument(3),
                 disposition = call.Argument(4), flags = call.Argument(5),
                 templateFile = call.Argument(6);
  std::string path;
  if (!ReadName(state, call, "CreateFileA", call.Argument(0), &path)) return kInvalidHandleValue;

  // The DLL only ever reads catalogues; anything else is a fault worth stopping for.
  std::string wrong;
  if (access != kGenericRead) wrong += ", access " + Hex(access) + " (not GENERIC_READ)";
  if (share != (kFileShareRead | kFileShareWrite)) {
    wrong += ", share mode " + Hex(share) + " (not FILE_SHARE_READ|FILE_SHARE_WRITE)";
  }
  if (security != 0) wrong += ", security attributes " + Hex(security);
  if (disposition != kOpenExisting) {
    wrong += ", disposition " + std::to_string(disposition) + " (not OPEN_EXISTING)";
  }
  if ((flags & ~kFileAttributeNormal) != kFileFlagSequentialScan) {
    wrong += ", flags " + Hex(flags) + " (not FILE_FLAG_SEQUENTIAL_SCAN)";
  }
  if (templateFile != 0) wrong += ", template file " + Hex(templateFile);
  if (!wrong.empty()) {
    call.Stop("CreateFileA(\"" + path +
              "\") opens it otherwise than for reading: " + wrong.substr(2));
    return kInvalidHandleValue;
  }

  if (path.empty()) {
    SetLastError(state, call, kErrorPathNotFound);
    return kInvalidHandleValue;
  }
  if (path.size() >= 32767) {
    SetLastError(state, call, kErrorFilenameExcedRange);
    return kInvalidHandleValue;
  }
  // Not blocking on a FIFO named by mistake; it then fails to read, as a pipe would.
  const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (descriptor < 0) {
    SetLastError(state, call, OpenError(errno, path));
    return kInvalidHandleValue;
  }
  struct stat status;
  if (fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode)) {
    // CreateFile opens a directory only with FILE_FLAG_BACKUP_SEMANTICS.
    close(descriptor);
    SetLastError(state, call, kErrorAccessDenied);
    return kInvalidHandleValue;
  }
  const uint32_t handle = state.nextHandle;
  state.nextHandle += 4;  // handles are not reused, so a stale one is caught
  state.files[handle] = OpenFile{descriptor, 0, path};
  SetLastError(state, call, kErrorSuccess);
  return handle;
}

uint32_t CloseHandle(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const auto found = state.files.find(call.Argument(0));
  if (found == state.files.end()) {
    SetLastError(state, call, kErrorInvalidHandle);
    return kFalse;
  }
  close(found->second.descriptor);
  state.files.erase(found);
  return kTrue;
}

bool FileSize(const OpenFile& file, uint64_t* size) {
  struct stat status;
  if (fstat(file.descriptor, &status) != 0) return false;
  *size = static_cast<uint64_t>(status.st_size);
  return true;
}

// GetFileSize(handle, sizeHighOut).
uint32_t GetFileSize(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t highOut = call.Argument(1);
  const OpenFile* file = FindFile(state, call.Argument(0));
  uint64_t size = 0;
  if (file == nullptr || !FileSize(*file, &size)) {
    SetLastError(state, call, file == nullptr ? kErrorInvalidHandle : kErrorGenFailure);
    return kInvalidFileSize;
  }
  if (highOut != 0 &&
      !WriteOrStop(state, call, "GetFileSize", highOut, static_cast<uint32_t>(size >> 32))) {
    return kInvalidFileSize;
  }
  const uint32_t low = static_cast<uint32_t>(size);
  // A size whose low half is INVALID_FILE_SIZE is told from a failure by the last error.
  if (low == kInvalidFileSize) SetLastError(state, call, kErrorSuccess);
  return low;
}

// SetFilePointer(handle, distanceLow, distanceHighInOut, method).
uint32_t SetFilePointer(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t distanceLow = call.Argument(1), highAddress = call.Argument(2),
                 method = call.Argument(3);
  OpenFile* file = FindFile(state, call.Argument(0));
  if (file == nullptr) {
    SetLastError(state, call, kErrorInvalidHandle);
    return kInvalidSetFilePointer;
  }
  // Without a high half the distance is a signed 32-bit value; with one, the two halves
  // form a signed 64-bit value.
  int64_t distance = static_cast<int32_t>(distanceLow);
  if (highAddress != 0) {
    uint32_t high = 0;
    if (!ReadU32(state.memory, highAddress, &high)) {
      call.Stop("SetFilePointer: the high half at " + Hex(highAddress) + " cannot be read");
      return kInvalidSetFilePointer;
    }
    distance = static_cast<int64_t>(uint64_t{high} << 32 | distanceLow);
  }
  uint64_t origin = 0;
  if (method == kFileCurrent) {
    origin = file->position;
  } else if (method == kFileEnd) {
    if (!FileSize(*file, &origin)) {
      SetLastError(state, call, kErrorGenFailure);
      return kInvalidSetFilePointer;
    }
  } else if (method != kFileBegin) {
    SetLastError(state, call, kErrorInvalidParameter);
    return kInvalidSetFilePointer;
  }
  const __int128 target = static_cast<__int128>(origin) + distance;
  if (target < 0) {
    SetLastError(state, call, kErrorNegativeSeek);
    return kInvalidSetFilePointer;
  }
  // A position that the caller cannot receive in full is refused.
  if ((highAddress == 0 && target > 0xFFFFFFFF) || target > INT64_MAX) {
    SetLastError(state, call, kErrorInvalidParameter);
    return kInvalidSetFilePointer;
  }
  const uint64_t position = static_cast<uint64_t>(target);
  if (highAddress != 0 && !WriteOrStop(state, call, "SetFilePointer", highAddress,
                                       static_cast<uint32_t>(position >> 32))) {
    return kInvalidSetFilePointer;
  }
  file->position = position;
  const uint32_t low = static_cast<uint32_t>(position);
  // As for GetFileSize: a legitimate low half of 0xFFFFFFFF comes with NO_ERROR.
  if (low == kInvalidSetFilePointer) SetLastError(state, call, kErrorSuccess);
  return low;
}

// ReadFile(handle, buffer, bytesToRead, bytesReadOut, overlapped).
uint32_t ReadFile(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t buffer = call.Argument(1), toRead = call.Argument(2), readOut = call.Argument(3),
                 overlapped = call.Argument(4);
  if (overlapped != 0) {
    call.Stop("ReadFile with an OVERLAPPED structure at " + Hex(overlapped) +
              ": the catalogue is not opened for overlapped reads");
    return kFalse;
  }
  if (readOut == 0) {
    call.Stop(
        "ReadFile without lpNumberOfBytesRead, which Windows requires when "
        "lpOverlapped is NULL");
    return kFalse;
  }
  // Windows zeroes the count before any other check.
  if (!WriteOrStop(state, call, "ReadFile", readOut, 0)) return kFalse;
  OpenFile* file = FindFile(state, call.Argument(0));
  if (file == nullptr) {
    SetLastError(state, call, kErrorInvalidHandle);
    return kFalse;
  }
  // The whole buffer must be writable, however much of it the file fills.
  if (!RangeHasProtection(state.memory, buffer, toRead, kWrite)) {
    SetLastError(state, call, kErrorNoAccess);
    return kFalse;
  }
  constexpr uint32_t kStep = 1024 * 1024;
  std::vector<uint8_t> chunk(std::min(toRead, kStep));
  uint32_t done = 0;
  while (done < toRead) {
    const uint32_t step = std::min(toRead - done, kStep);
    const ssize_t got =
        pread(file->descriptor, chunk.data(), step, static_cast<off_t>(file->position + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      file->position += done;
      SetLastError(state, call, kErrorReadFault);
      return kFalse;
    }
    if (got == 0) break;  // end of file: a short read
    if (!state.memory.Write(buffer + done, chunk.data(), static_cast<uint32_t>(got))) {
      SetLastError(state, call, kErrorNoAccess);
      return kFalse;
    }
    done += static_cast<uint32_t>(got);
  }
  file->position += done;
  if (!WriteOrStop(state, call, "ReadFile", readOut, done)) return kFalse;
  return kTrue;
}

// --- Time ----------------------------------------------------------------------------------

// FILETIME's unit and epoch are the hosts' (tools/common/file_time.h).
using file_time::kDaysFrom1601To1970;
using file_time::kTicksPerSecond;

// The calendar is written apart from the modules' (modules/platform/dos_time.h), by another method
// (days counted by 400-year eras, where the modules look months up in a table): the emulated
// system is the oracle the DLLs are compared with, and an oracle built from the side it
// checks would share its mistakes. The two calendars are compared over every DOS date and
// time field on every test run (win32_system_test).

// Days from 1970-01-01 to the given Gregorian date.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

unsigned DaysInMonth(unsigned year, unsigned month) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// DosDateTimeToFileTime(date, time, fileTimeOut).
uint32_t DosDateTimeToFileTime(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  // WORD arguments occupy a whole stack slot; only the low half is theirs.
  const uint32_t date = call.Argument(0) & 0xFFFF, time = call.Argument(1) & 0xFFFF;
  const uint32_t out = call.Argument(2);
  const unsigned year = 1980 + (date >> 9), month = (date >> 5) & 0xF, day = date & 0x1F;
  const unsigned hour = time >> 11, minute = (time >> 5) & 0x3F, halfSeconds = time & 0x1F;
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
      minute > 59 || halfSeconds > 29) {
    SetLastError(state, call, kErrorInvalidParameter);
    return kFalse;
  }
  const int64_t days = DaysFromCivil(year, month, day) + kDaysFrom1601To1970;
  const uint64_t seconds =
      static_cast<uint64_t>(days) * 86400 + hour * 3600 + minute * 60 + halfSeconds * 2;
  if (!WriteU64(state.memory, out, seconds * kTicksPerSecond)) {
    call.Stop("DosDateTimeToFileTime: cannot write its result to " + Hex(out));
    return kFalse;
  }
  return kTrue;
}

// The offset of local time from UTC in force now, in seconds east, as the C library resolves
// the TZ variable.
int64_t CurrentUtcOffset() {
  tzset();  // picks up a TZ changed since the last call
  const time_t now = std::time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) return 0;
  return local.tm_gmtoff;
}

// LocalFileTimeToFileTime(localIn, utcOut): Windows applies the bias in force now, not
// the one at the stamp's date.
uint32_t LocalFileTimeToFileTime(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t in = call.Argument(0), out = call.Argument(1);
  uint64_t local = 0;
  if (!ReadU64(state.memory, in, &local)) {
    call.Stop("LocalFileTimeToFileTime: the local time at " + Hex(in) + " cannot be read");
    return kFalse;
  }
  const uint64_t bias = static_cast<uint64_t>(CurrentUtcOffset()) * kTicksPerSecond;
  if (!WriteU64(state.memory, out, local - bias)) {
    call.Stop("LocalFileTimeToFileTime: cannot write its result to " + Hex(out));
    return kFalse;
  }
  return kTrue;
}

// Sleep(milliseconds): there is no other thread to wait for.
uint32_t Sleep(Win32System&, SystemCall&) {
  return 0;
}

// --- Threads, errors, TLS --------------------------------------------------------------------

uint32_t GetLastError(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  uint32_t code = 0;
  if (!ReadU32(state.memory, state.layout.tebAddress + kTebLastErrorField, &code)) {
    call.Stop("the thread block at " + Hex(state.layout.tebAddress) + " cannot be read");
  }
  return code;
}

uint32_t TlsSlotAddress(const SystemState& state, uint32_t index) {
  return state.layout.tebAddress + kTebTlsSlotsField + 4 * index;
}

uint32_t TlsGetValue(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t index = call.Argument(0);
  if (index >= kTlsSlotCount) {
    SetLastError(state, call, kErrorInvalidParameter);
    return 0;
  }
  uint32_t value = 0;
  if (!ReadU32(state.memory, TlsSlotAddress(state, index), &value)) {
    call.Stop("TlsGetValue: the thread block at " + Hex(state.layout.tebAddress) +
              " cannot be read");
    return 0;
  }
  // Documented: success clears the last error, so that a stored 0 can be told from a failure.
  SetLastError(state, call, kErrorSuccess);
  return value;
}

// --- Critical sections -----------------------------------------------------------------------

// The 32-bit CRITICAL_SECTION: DebugInfo, LockCount, RecursionCount, OwningThread,
// LockSemaphore, SpinCount. The system keeps the real state and mirrors LockCount,
// RecursionCount and OwningThread there for any code that looks.
bool MirrorCriticalSection(SystemState& state, SystemCall& call, const char* function,
                           uint32_t address, uint32_t recursion) {
  const uint32_t owner = recursion > 0 ? TebField(state, kTebThreadIdField, kThreadId) : 0;
  // LockCount: -1 free; -2 held with nobody waiting.
  const uint32_t lockCount = recursion > 0 ? 0xFFFFFFFEu : 0xFFFFFFFFu;
  if (WriteU32(state.memory, address + 4, lockCount) &&
      WriteU32(state.memory, address + 8, recursion) &&
      WriteU32(state.memory, address + 12, owner)) {
    return true;
  }
  call.Stop(std::string(function) + ": the critical section at " + Hex(address) +
            " cannot be written");
  return false;
}

// InitializeCriticalSection(section): returns nothing.
uint32_t InitializeCriticalSection(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t address = call.Argument(0);
  const char* function = "InitializeCriticalSection";
  if (auto found = state.criticalSections.find(address);
      found != state.criticalSections.end() && found->second.recursion > 0) {
    call.Stop(std::string(function) + " on the critical section at " + Hex(address) +
              ", which is entered");
    return 0;
  }
  // DebugInfo, LockSemaphore and SpinCount; the mirror writes the rest.
  if (!WriteU32(state.memory, address, 0) || !WriteU32(state.memory, address + 16, 0) ||
      !WriteU32(state.memory, address + 20, 0)) {
    call.Stop(std::string(function) + ": the critical section at " + Hex(address) +
              " cannot be written");
    return 0;
  }
  if (!MirrorCriticalSection(state, call, function, address, 0)) return 0;
  state.criticalSections[address] = CriticalSectionState{};
  return 0;
}

CriticalSectionState* InitializedSection(SystemState& state, SystemCall& call, const char* function,
                                         uint32_t address) {
  const auto found = state.criticalSections.find(address);
  if (found != state.criticalSections.end()) return &found->second;
  call.Stop(std::string(function) + " on " + Hex(address) +
            ", which is not an initialized critical section");
  return nullptr;
}

// EnterCriticalSection(section): one thread, so entering always succeeds, recursively.
uint32_t EnterCriticalSection(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t address = call.Argument(0);
  CriticalSectionState* section = InitializedSection(state, call, "EnterCriticalSection", address);
  if (section == nullptr) return 0;
  ++section->recursion;
  MirrorCriticalSection(state, call, "EnterCriticalSection", address, section->recursion);
  return 0;
}

uint32_t LeaveCriticalSection(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t address = call.Argument(0);
  CriticalSectionState* section = InitializedSection(state, call, "LeaveCriticalSection", address);
  if (section == nullptr) return 0;
  if (section->recursion == 0) {
    call.Stop("LeaveCriticalSection on the critical section at " + Hex(address) +
              ", which is not entered");
    return 0;
  }
  --section->recursion;
  MirrorCriticalSection(state, call, "LeaveCriticalSection", address, section->recursion);
  return 0;
}

uint32_t DeleteCriticalSection(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t address = call.Argument(0);
  CriticalSectionState* section = InitializedSection(state, call, "DeleteCriticalSection", address);
  if (section == nullptr) return 0;
  if (section->recursion > 0) {
    call.Stop("DeleteCriticalSection on the critical section at " + Hex(address) +
              ", which is still entered");
    return 0;
  }
  state.criticalSections.erase(address);
  return 0;
}

// --- Virtual memory ------------------------------------------------------------------------

constexpr uint32_t kPageNoAccess = 0x01, kPageReadOnly = 0x02, kPageReadWrite = 0x04,
                   kPageWriteCopy = 0x08, kPageExecute = 0x10, kPageExecuteRead = 0x20,
                   kPageExecuteReadWrite = 0x40, kPageExecuteWriteCopy = 0x80;
constexpr uint32_t kMemCommit = 0x1000, kMemFree = 0x10000;
constexpr uint32_t kMemPrivate = 0x20000, kMemImage = 0x1000000;
constexpr uint32_t kHighestUserAddress = 0x7FFEFFFF;
// VirtualQuery measures regions page by page; it looks this far and no further.
constexpr uint32_t kRegionScanPages = 65536;

uint32_t WindowsProtection(uint32_t protection) {
  const bool read = protection & kRead, write = protection & kWrite,
             execute = protection & kExecute;
  if (execute) return write ? kPageExecuteReadWrite : read ? kPageExecuteRead : kPageExecute;
  if (write) return kPageReadWrite;
  return read ? kPageReadOnly : kPageNoAccess;
}

// The emulator's protection for a PAGE_* value; false for a value Windows refuses.
bool EmulatorProtection(uint32_t windows, uint32_t* protection) {
  switch (windows) {
    case kPageNoAccess:
      *protection = 0;
      return true;
    case kPageReadOnly:
      *protection = kRead;
      return true;
    case kPageReadWrite:
    case kPageWriteCopy:  // a private copy is what the emulated process has anyway
      *protection = kRead | kWrite;
      return true;
    case kPageExecute:
      *protection = kExecute;
      return true;
    case kPageExecuteRead:
      *protection = kRead | kExecute;
      return true;
    case kPageExecuteReadWrite:
    case kPageExecuteWriteCopy:
      *protection = kRead | kWrite | kExecute;
      return true;
    default:
      return false;
  }
}

// VirtualQuery(address, MEMORY_BASIC_INFORMATION* out, length).
uint32_t VirtualQuery(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t address = call.Argument(0), out = call.Argument(1), length = call.Argument(2);
  constexpr uint32_t kInfoBytes = 28;
  if (length < kInfoBytes) {
    SetLastError(state, call, kErrorBadLength);
    return 0;
  }
  if (address > kHighestUserAddress) {
    SetLastError(state, call, kErrorInvalidParameter);
    return 0;
  }
  const uint32_t page = address - address % kPageSize;
  uint32_t protection = 0;
  const bool mapped = state.memory.QueryPage(page, &protection);

  // The allocation the page belongs to: the image, the heap range, or a run of mapped pages.
  const SystemLayout& layout = state.layout;
  uint32_t allocationBase = 0, allocationProtect = 0, type = 0;
  uint64_t allocationEnd = uint64_t{1} << 32;
  if (mapped && page >= layout.imageBase && page - layout.imageBase < layout.imageSize) {
    allocationBase = layout.imageBase;
    allocationEnd = uint64_t{layout.imageBase} + layout.imageSize;
    allocationProtect = kPageExecuteWriteCopy;  // what Windows reports for image sections
    type = kMemImage;
  } else if (mapped && page >= layout.heapBase && page < layout.heapLimit) {
    allocationBase = layout.heapBase;
    allocationEnd = layout.heapLimit;
    allocationProtect = kPageReadWrite;
    type = kMemPrivate;
  } else if (mapped) {
    allocationBase = page;
    uint32_t below = 0;
    for (uint32_t steps = 0; steps < kRegionScanPages && allocationBase >= kPageSize &&
                             state.memory.QueryPage(allocationBase - kPageSize, &below);
         ++steps) {
      allocationBase -= kPageSize;
    }
    allocationProtect = WindowsProtection(protection);
    type = kMemPrivate;
  }

  // The region: the following pages in the same state and with the same protection.
  uint64_t end = uint64_t{page} + kPageSize;
  for (uint32_t steps = 0; steps < kRegionScanPages && end < allocationEnd; ++steps) {
    uint32_t next = 0;
    const bool nextMapped = state.memory.QueryPage(static_cast<uint32_t>(end), &next);
    if (nextMapped != mapped || (mapped && next != protection)) break;
    end += kPageSize;
  }

  const uint32_t info[7] = {page,
                            allocationBase,
                            allocationProtect,
                            static_cast<uint32_t>(end - page),
                            mapped ? kMemCommit : kMemFree,
                            mapped ? WindowsProtection(protection) : kPageNoAccess,
                            type};
  for (uint32_t i = 0; i < 7; ++i) {
    if (!WriteOrStop(state, call, "VirtualQuery", out + 4 * i, info[i])) return 0;
  }
  return kInfoBytes;
}

// VirtualProtect(address, size, newProtect, oldProtectOut).
uint32_t VirtualProtect(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t address = call.Argument(0), size = call.Argument(1), newProtect = call.Argument(2),
                 oldOut = call.Argument(3);
  // Documented: the call fails when the old-protection out pointer is not valid.
  if (oldOut == 0 || !RangeHasProtection(state.memory, oldOut, 4, kWrite)) {
    SetLastError(state, call, kErrorNoAccess);
    return kFalse;
  }
  uint32_t protection = 0;
  if (size == 0 || !EmulatorProtection(newProtect, &protection)) {
    SetLastError(state, call, kErrorInvalidParameter);
    return kFalse;
  }
  const uint32_t first = address - address % kPageSize;
  const uint64_t end = (uint64_t{address} + size + kPageSize - 1) / kPageSize * kPageSize;
  uint32_t oldProtection = 0;
  if (end > uint64_t{kHighestUserAddress} + 1 || !state.memory.QueryPage(first, &oldProtection) ||
      !RangeHasProtection(state.memory, first, static_cast<uint32_t>(end - first), 0)) {
    SetLastError(state, call, kErrorInvalidAddress);
    return kFalse;
  }
  if (!state.memory.Protect(first, static_cast<uint32_t>(end - first), protection)) {
    SetLastError(state, call, kErrorInvalidAddress);
    return kFalse;
  }
  return WriteOrStop(state, call, "VirtualProtect", oldOut, WindowsProtection(oldProtection))
             ? kTrue
             : kFalse;
}

// --- Modules -------------------------------------------------------------------------------

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Whether `name` (as LoadLibrary takes it: any folder, ".dll" implied) names the image.
bool NamesImage(const SystemLayout& layout, std::string name) {
  const size_t folder = name.find_last_of("\\/");
  if (folder != std::string::npos) name.erase(0, folder + 1);
  if (!name.empty() && name.back() == '.') {
    name.pop_back();  // a trailing dot says "no extension"
  } else if (name.find('.') == std::string::npos) {
    name += ".dll";
  }
  return !layout.imageName.empty() && SameNameIgnoringCase(name, layout.imageName);
}

uint32_t GetModuleHandleA(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t nameAddress = call.Argument(0);
  if (nameAddress == 0) return state.layout.imageBase;
  std::string name;
  if (!ReadName(state, call, "GetModuleHandleA", nameAddress, &name)) return 0;
  if (NamesImage(state.layout, name)) return state.layout.imageBase;
  // No other module is loaded in the emulated process.
  SetLastError(state, call, kErrorModNotFound);
  return 0;
}

uint32_t LoadLibraryA(Win32System& system, SystemCall& call) {
  SetLastError(SystemFunctions::Of(system), call, kErrorModNotFound);
  return 0;
}

uint32_t FreeLibrary(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  if (call.Argument(0) != 0 && call.Argument(0) == state.layout.imageBase) return kTrue;
  SetLastError(state, call, kErrorModNotFound);
  return kFalse;
}

uint32_t GetProcAddress(Win32System& system, SystemCall& call) {
  SetLastError(SystemFunctions::Of(system), call, kErrorProcNotFound);
  return 0;
}

// --- user32 --------------------------------------------------------------------------------

bool ConvertToOem(SystemState& state, SystemCall& call, const char* function, uint32_t source,
                  uint32_t destination, std::string text, bool terminate) {
  for (char& c : text) c = static_cast<char>(AnsiToOemByte(static_cast<uint8_t>(c)));
  if (terminate) text.push_back('\0');
  if (state.memory.Write(destination, text.data(), static_cast<uint32_t>(text.size()))) {
    return true;
  }
  call.Stop(std::string(function) + ": the text from " + Hex(source) + " cannot be written to " +
            Hex(destination));
  return false;
}

// CharToOemA(source, destination); in place when both are the same.
uint32_t CharToOemA(Win32System& system, SystemCall& call) {
  SystemState& state = SystemFunctions::Of(system);
  const uint32_t source = call.Argument(0), destination = call.Argument(1);
  if (source == 0 || destination == 0) {
    SetLastError(state, call, kErrorInvalidParameter);
    return kFalse;
  }
  std::string text;
  if (!ReadCString(state.memory, source, &text)) {
    call.Stop("CharToOemA: the text at " + Hex(source) + " cannot be read");
    return kFalse;
  }
  return ConvertToOem(state, call, "CharToOemA", source, destination, std::move(text), true)
             ? kTrue
             : kFalse;
}

}  // namespace

// The functions are what the shipped DLLs import (the test DLLs of tests/hosts/cathost32/win32 and
// emulator_test import only some of them), and nothing else: win32_system_test holds the
// list, taken from the DLLs' import tables.
void AddKernel32Functions(FunctionTable& table) {
  // __stdcall: the callee removes 4 bytes per argument.
  const auto add = [&table](const char* name, uint32_t arguments,
                            uint32_t (*run)(Win32System&, SystemCall&)) {
    table[FunctionKey("kernel32.dll", name)] = SystemFunction{4 * arguments, run};
  };
  add("CreateFileA", 7, CreateFileA);
  add("CloseHandle", 1, CloseHandle);
  add("GetFileSize", 2, GetFileSize);
  add("SetFilePointer", 4, SetFilePointer);
  add("ReadFile", 5, ReadFile);
  add("DosDateTimeToFileTime", 3, DosDateTimeToFileTime);
  add("LocalFileTimeToFileTime", 2, LocalFileTimeToFileTime);
  add("Sleep", 1, Sleep);
  add("GetLastError", 0, GetLastError);
  add("TlsGetValue", 1, TlsGetValue);
  add("InitializeCriticalSection", 1, InitializeCriticalSection);
  add("EnterCriticalSection", 1, EnterCriticalSection);
  add("LeaveCriticalSection", 1, LeaveCriticalSection);
  add("DeleteCriticalSection", 1, DeleteCriticalSection);
  add("VirtualQuery", 3, VirtualQuery);
  add("VirtualProtect", 4, VirtualProtect);
  add("GetModuleHandleA", 1, GetModuleHandleA);
  add("LoadLibraryA", 1, LoadLibraryA);
  add("FreeLibrary", 1, FreeLibrary);
  add("GetProcAddress", 2, GetProcAddress);
}

void AddUser32Functions(FunctionTable& table) {
  table[FunctionKey("user32.dll", "CharToOemA")] = SystemFunction{8, CharToOemA};
}

}  // namespace emulator
