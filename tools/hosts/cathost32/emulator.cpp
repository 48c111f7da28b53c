#include "tools/hosts/cathost32/emulator.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "tools/hosts/cathost32/guest_memory.h"
#include "tools/hosts/cathost32/pe_image.h"
#include "tools/hosts/cathost32/process_blocks.h"
#include "tools/hosts/cathost32/win32_system.h"

namespace emulator {
namespace {

// The emulated address space. The first 64 KiB stay unmapped so that null pointers fault.
constexpr uint32_t kGdtAddress = 0x00010000;
constexpr uint32_t kSentinelAddress = 0x00011000;  // returning here ends a run
constexpr uint32_t kTebAddress = 0x00012000;
constexpr uint32_t kPebAddress = 0x00013000;
constexpr uint32_t kStubAddress = 0x00020000;  // one 4-byte stub per imported function
constexpr uint32_t kStubLimit = 0x00040000;
constexpr uint32_t kTlsAddress = 0x00040000;  // the TLS pointer array, then the TLS block
constexpr uint32_t kTlsLimit = 0x000F0000;
// 1 MiB of stack; the page below its limit stays unmapped as a guard.
constexpr uint32_t kStackLimit = 0x00100000;
constexpr uint32_t kStackBase = 0x00200000;
constexpr uint32_t kReservedLimit = kStackBase;  // everything below belongs to the machine
// Lent blocks are placed from here upwards, around whatever else is mapped.
constexpr uint32_t kLendAddress = 0x40000000;
constexpr uint32_t kLendLimit = 0xF0000000;
constexpr uint32_t kStubBytes = 4;

constexpr uint16_t kCodeSelector = 0x08, kDataSelector = 0x10, kThreadSelector = 0x18;

// Callee-saved registers are seeded with these before each call, so that a callee that
// forgets to restore one is caught however the register was used before.
constexpr uint32_t kSeedEbx = 0xEB0000EB, kSeedEsi = 0xE51000E5, kSeedEdi = 0xED1000ED,
                   kSeedEbp = 0xEB9000EB;
constexpr uint32_t kScratchSeed = 0xCCCCCCCC;

constexpr uint32_t kDllProcessAttach = 1, kDllProcessDetach = 0;
constexpr size_t kMaxArguments = 256;

uint32_t AlignUp(uint32_t value, uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

uint32_t ToUnicornProtection(uint32_t protection) {
  uint32_t result = UC_PROT_NONE;
  if (protection & kRead) result |= UC_PROT_READ;
  if (protection & kWrite) result |= UC_PROT_WRITE;
  if (protection & kExecute) result |= UC_PROT_EXEC;
  return result;
}

// An i386 segment descriptor.
uint64_t Descriptor(uint32_t base, uint32_t limit, uint8_t access, uint8_t flags) {
  return (limit & 0xFFFFull) | uint64_t{base & 0xFFFFFF} << 16 | uint64_t{access} << 40 |
         uint64_t{(limit >> 16) & 0xF} << 48 | uint64_t{flags & 0xFu} << 52 |
         uint64_t{base >> 24} << 56;
}
// Present, ring 0, code/data type, already marked accessed so the CPU never writes the table.
constexpr uint8_t kAccessCode = 0x9B, kAccessData = 0x93;
constexpr uint8_t kFlagsPageGranular32 = 0xC, kFlagsByteGranular32 = 0x4;

const char* ExceptionName(uint32_t number) {
  switch (number) {
    case 0:
      return "divide error";
    case 1:
      return "debug trap";
    case 3:
      return "breakpoint (int3)";
    case 4:
      return "overflow (into)";
    case 5:
      return "bound range exceeded";
    case 6:
      return "invalid opcode";
    case 13:
      return "general protection fault";
    case 14:
      return "page fault";
    default:
      return "interrupt";
  }
}

// The emulated address space: Unicorn's memory, with a byte per page beside it that says
// whether the page is mapped and how, so that checked accesses need not ask Unicorn.
class AddressSpace : public Memory {
 public:
  void Open(uc_engine* uc) {
    uc_ = uc;
    pageFlags.assign(size_t{1} << 20, 0);
  }

  bool Read(uint32_t address, void* out, uint32_t size) const override {
    if (size == 0) return true;
    if (!HasAccess(address, size, kRead)) return false;
    return uc_mem_read(uc_, address, out, size) == UC_ERR_OK;
  }
  bool Write(uint32_t address, const void* in, uint32_t size) override {
    if (size == 0) return true;
    if (!HasAccess(address, size, kWrite)) return false;
    return uc_mem_write(uc_, address, in, size) == UC_ERR_OK;
  }
  bool Map(uint32_t address, uint32_t size, uint32_t protection) override {
    if (address % kPageSize != 0 || size == 0 || size % kPageSize != 0 ||
        uint64_t{address} + size > 0x100000000ull) {
      return false;
    }
    if (uc_mem_map(uc_, address, size, ToUnicornProtection(protection)) != UC_ERR_OK) return false;
    SetPages(address, size, protection);
    return true;
  }
  bool Protect(uint32_t address, uint32_t size, uint32_t protection) override {
    if (address % kPageSize != 0 || size == 0 || size % kPageSize != 0 ||
        uint64_t{address} + size > 0x100000000ull) {
      return false;
    }
    for (uint64_t page = address; page < uint64_t{address} + size; page += kPageSize) {
      if (pageFlags[page / kPageSize] == 0) return false;
    }
    if (uc_mem_protect(uc_, address, size, ToUnicornProtection(protection)) != UC_ERR_OK) {
      return false;
    }
    SetPages(address, size, protection);
    return true;
  }
  bool QueryPage(uint32_t address, uint32_t* protection) const override {
    uint8_t flags = pageFlags[address / kPageSize];
    if (flags == 0) return false;
    *protection = flags & ~kMappedFlag;
    return true;
  }

  // Mapping for the machine's own structures, which must not fail.
  bool MapOwn(uint32_t address, uint32_t size, uint32_t protection, std::string* error) {
    if (Map(address, AlignUp(size, kPageSize), protection)) return true;
    *error = "cannot map " + Hex(address) + "+" + Hex(size);
    return false;
  }
  // Writes the machine's own words whatever the page's protection (the import address table
  // of a read-only section, the stubs).
  void Poke32(uint32_t address, uint32_t value) { uc_mem_write(uc_, address, &value, 4); }
  // A block of `size` bytes ending right before an unmapped guard page; 0 when the lending
  // range is used up.
  uint32_t Lend(uint32_t size) {
    uint32_t pages = std::max<uint32_t>(1, (size + kPageSize - 1) / kPageSize);
    uint64_t needed = uint64_t{pages + 1} * kPageSize;  // the block and its guard page
    while (lendNext + needed <= kLendLimit) {
      // Skip anything already mapped in the way (the image, the heap).
      uint32_t busy = 0;
      for (uint32_t page = 0; page <= pages; ++page) {
        if (pageFlags[lendNext / kPageSize + page] != 0) busy = page + 1;
      }
      if (busy == 0) break;
      lendNext += busy * kPageSize;
    }
    if (lendNext + needed > kLendLimit) return 0;
    uint32_t address = static_cast<uint32_t>(lendNext);
    if (!Map(address, pages * kPageSize, kRead | kWrite)) return 0;
    lendNext += needed;
    return address + pages * kPageSize - size;
  }

 private:
  static constexpr uint8_t kMappedFlag = 0x80;

  void SetPages(uint32_t address, uint32_t size, uint32_t protection) {
    for (uint64_t page = address; page < uint64_t{address} + size; page += kPageSize) {
      pageFlags[page / kPageSize] = static_cast<uint8_t>(kMappedFlag | protection);
    }
  }
  bool HasAccess(uint32_t address, uint32_t size, uint32_t access) const {
    uint64_t end = uint64_t{address} + size;
    if (end > 0x100000000ull) return false;
    for (uint64_t page = address / kPageSize; page * kPageSize < end; ++page) {
      if ((pageFlags[page] & access) != access) return false;
    }
    return true;
  }

  uc_engine* uc_ = nullptr;
  std::vector<uint8_t> pageFlags;  // per page: kMappedFlag | protection, or 0 when unmapped
  uint64_t lendNext = kLendAddress;
};

// The process around the DLL: flat segments, FS on the thread block, the sentinel page that
// ends a run, the stack, and the thread and process blocks.
bool SetUpProcess(uc_engine* uc, AddressSpace& memory, uint32_t imageBase, std::string* error) {
  // Flat code and data segments, and FS on the thread block as Windows has it.
  uint64_t gdt[4] = {0, Descriptor(0, 0xFFFFF, kAccessCode, kFlagsPageGranular32),
                     Descriptor(0, 0xFFFFF, kAccessData, kFlagsPageGranular32),
                     Descriptor(kTebAddress, kPageSize - 1, kAccessData, kFlagsByteGranular32)};
  if (!memory.MapOwn(kGdtAddress, kPageSize, kRead, error)) return false;
  uc_mem_write(uc, kGdtAddress, gdt, sizeof gdt);
  uc_x86_mmr gdtr = {0, kGdtAddress, sizeof gdt - 1, 0};
  if (uc_reg_write(uc, UC_X86_REG_GDTR, &gdtr) != UC_ERR_OK) {
    *error = "cannot load the GDT";
    return false;
  }
  const struct {
    int id;
    uint32_t selector;
  } segments[] = {{UC_X86_REG_SS, kDataSelector}, {UC_X86_REG_DS, kDataSelector},
                  {UC_X86_REG_ES, kDataSelector}, {UC_X86_REG_GS, kDataSelector},
                  {UC_X86_REG_CS, kCodeSelector}, {UC_X86_REG_FS, kThreadSelector}};
  for (const auto& segment : segments) {
    if (uc_reg_write(uc, segment.id, &segment.selector) != UC_ERR_OK) {
      *error = "cannot load segment selector " + std::to_string(segment.selector);
      return false;
    }
  }

  // The sentinel page holds hlt; the run ends before it executes.
  if (!memory.MapOwn(kSentinelAddress, kPageSize, kRead | kExecute, error)) return false;
  std::vector<uint8_t> halt(kPageSize, 0xF4);
  uc_mem_write(uc, kSentinelAddress, halt.data(), kPageSize);

  if (!memory.MapOwn(kStackLimit, kStackBase - kStackLimit, kRead | kWrite, error)) return false;

  if (!memory.MapOwn(kTebAddress, kPageSize, kRead | kWrite, error)) return false;
  memory.Poke32(kTebAddress + kTebExceptionListField, 0xFFFFFFFF);
  memory.Poke32(kTebAddress + kTebStackBaseField, kStackBase);
  memory.Poke32(kTebAddress + kTebStackLimitField, kStackLimit);
  memory.Poke32(kTebAddress + kTebSelfField, kTebAddress);
  memory.Poke32(kTebAddress + kTebProcessIdField, kProcessId);
  memory.Poke32(kTebAddress + kTebThreadIdField, kThreadId);
  memory.Poke32(kTebAddress + kTebProcessBlockField, kPebAddress);

  if (!memory.MapOwn(kPebAddress, kPageSize, kRead | kWrite, error)) return false;
  // The process's image: the DLL stands in for it. The system: Windows 10, NT platform.
  memory.Poke32(kPebAddress + kPebImageBaseField, imageBase);
  memory.Poke32(kPebAddress + kPebOsMajorVersionField, 10);
  memory.Poke32(kPebAddress + kPebOsMinorVersionField, 0);
  memory.Poke32(kPebAddress + kPebOsBuildField, 19045);
  memory.Poke32(kPebAddress + kPebPlatformIdField, 2);
  return true;
}

}  // namespace

struct Emulator::Impl {
  struct Stub {
    std::string name;  // "DLL!Function" or "DLL!#ordinal"
    const SystemFunction* function = nullptr;
  };

  // The system call made by the DLL through stub `stub`, arguments on the emulated stack.
  class StubCall : public SystemCall {
   public:
    StubCall(Impl& impl, const Stub& stub, uint32_t esp) : impl_(impl), stub_(stub), esp_(esp) {}
    uint32_t Argument(unsigned index) override {
      uint32_t value = 0;
      if (!impl_.memory.Read(esp_ + 4 + 4 * index, &value, 4)) {
        Stop("argument " + std::to_string(index) + " lies outside the stack");
      }
      return value;
    }
    void Stop(const std::string& why) override {
      impl_.Fail(stub_.name + ": " + why + " (called from " + impl_.Describe(ReturnAddress()) +
                 ")");
    }
    Memory& memory() override { return impl_.memory; }
    bool CallEmulated(uint32_t function, uint32_t* result) override {
      return impl_.CallNested(function, stub_.name, result);
    }

   private:
    uint32_t ReturnAddress() const {
      uint32_t value = 0;
      impl_.memory.Read(esp_, &value, 4);
      return value;
    }
    Impl& impl_;
    const Stub& stub_;
    uint32_t esp_;
  };

  ~Impl() {
    // The system may still touch memory while it is torn down.
    system.reset();
    if (uc != nullptr) uc_close(uc);
  }

  uint32_t Register(int id) const {
    uint32_t value = 0;
    uc_reg_read(uc, id, &value);
    return value;
  }
  void SetRegister(int id, uint32_t value) { uc_reg_write(uc, id, &value); }

  // Records the first failure of the current run and stops the emulator.
  void Fail(const std::string& why) {
    if (!failed) {
      failed = true;
      failure = why;
    }
    uc_emu_stop(uc);
  }

  // An address with what lies there: an offset into the image or the stub it belongs to.
  std::string Describe(uint32_t address) const {
    std::string text = Hex(address);
    if (address - imageBase < imageSize) {
      char offset[64];
      snprintf(offset, sizeof offset, " (%s+0x%X)", imageName.c_str(), address - imageBase);
      text += offset;
    } else if (address >= kStubAddress && (address - kStubAddress) / kStubBytes < stubs.size()) {
      text += " (stub of " + stubs[(address - kStubAddress) / kStubBytes].name + ")";
    } else if (address == kSentinelAddress) {
      text += " (the caller's return address)";
    }
    return text;
  }

  std::string DescribeError(uc_err error) const;

  // Runs `function` with `arguments` pushed right to left below `stackTop` and a return to the
  // sentinel; checks afterwards that the callee removed its arguments (__stdcall) and kept
  // the callee-saved registers.
  bool Invoke(uint32_t function, std::span<const uint32_t> arguments, uint32_t stackTop,
              uint32_t* result, std::string* error);

  // A run started by the machine (an export, the entry point, a TLS callback).
  bool Call(uint32_t function, std::span<const uint32_t> arguments, uint32_t* result,
            std::string* error) {
    failed = false;
    failure.clear();
    budgetLimit = instructionsInImage + instructionBudget;
    return Invoke(function, arguments, kStackBase - 16, result, error);
  }

  // A run started from inside a system function (a callback of the DLL): below the current
  // stack, with the machine state of the outer run restored afterwards.
  bool CallNested(uint32_t function, const std::string& caller, uint32_t* result);

  // --- Hooks ---

  static void OnStub(uc_engine*, uint64_t address, uint32_t, void* user) {
    auto* impl = static_cast<Impl*>(user);
    impl->RunStub(static_cast<uint32_t>(address));
  }
  void RunStub(uint32_t address);

  static void OnImageInstruction(uc_engine*, uint64_t address, uint32_t, void* user) {
    auto* impl = static_cast<Impl*>(user);
    if (++impl->instructionsInImage > impl->budgetLimit && !impl->failed) {
      impl->Fail("instruction budget of " + std::to_string(impl->instructionBudget) +
                 " exhausted (endless loop?) at EIP " +
                 impl->Describe(static_cast<uint32_t>(address)));
    }
  }

  static bool OnInvalidMemory(uc_engine*, uc_mem_type, uint64_t address, int, int64_t, void* user) {
    static_cast<Impl*>(user)->faultAddress = static_cast<uint32_t>(address);
    return false;  // not handled: the run stops with the matching error
  }

  static void OnInterrupt(uc_engine*, uint32_t number, void* user) {
    auto* impl = static_cast<Impl*>(user);
    impl->Fail("CPU exception " + std::to_string(number) + " (" + ExceptionName(number) +
               ") at EIP " + impl->Describe(impl->Register(UC_X86_REG_EIP)));
  }

  // --- Loading ---

  // Points every import address table slot at a system variable or at a stub of its own,
  // which runs the system function (or stops the run, naming the import, when there is none).
  bool BindImports(const pe::Image& image, std::string* error);

  // Static TLS: one block from the image's template, its index 0 stored in the image, and
  // the thread block's TLS pointer on an array holding the block.
  bool SetUpTls(const pe::Image& image, std::string* error);

  bool AddHooks(std::string* error) {
    uc_hook hook;
    if (uc_hook_add(uc, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&OnImageInstruction), this,
                    imageBase, uint64_t{imageBase} + imageSize - 1) != UC_ERR_OK ||
        uc_hook_add(uc, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&OnInvalidMemory), this,
                    1, 0) != UC_ERR_OK ||
        uc_hook_add(uc, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&OnInterrupt), this, 1, 0) !=
            UC_ERR_OK) {
      *error = "cannot install the emulator hooks";
      return false;
    }
    return true;
  }

  // The TLS callbacks, then the entry point, with `reason`.
  bool Notify(uint32_t reason, std::string* error);

  bool Load(const std::string& path, const Options& options, std::string* error);

  uc_engine* uc = nullptr;
  AddressSpace memory;
  std::unique_ptr<Win32System> system;
  std::vector<Stub> stubs;
  std::map<std::string, uint32_t> exports;
  pe::TlsInfo tls;
  uint32_t imageBase = 0, imageSize = 0, entryPoint = 0;
  std::string imageName;

  bool loading = false, loaded = false;
  std::vector<std::string> startupCalls;
  std::set<std::string> startupSeen;

  uint64_t instructionsInImage = 0;
  uint64_t instructionBudget = 0;
  uint64_t budgetLimit = 0;
  uint32_t faultAddress = 0;
  bool failed = false;
  std::string failure;
};

std::string Emulator::Impl::DescribeError(uc_err error) const {
  uint32_t eip = Register(UC_X86_REG_EIP);
  const char* what = nullptr;
  switch (error) {
    case UC_ERR_READ_UNMAPPED:
      what = "read of unmapped memory";
      break;
    case UC_ERR_WRITE_UNMAPPED:
      what = "write to unmapped memory";
      break;
    case UC_ERR_FETCH_UNMAPPED:
      what = "execution of unmapped memory";
      break;
    case UC_ERR_READ_PROT:
      what = "read of unreadable memory";
      break;
    case UC_ERR_WRITE_PROT:
      what = "write to read-only memory";
      break;
    case UC_ERR_FETCH_PROT:
      what = "execution of non-executable memory";
      break;
    case UC_ERR_READ_UNALIGNED:
    case UC_ERR_WRITE_UNALIGNED:
    case UC_ERR_FETCH_UNALIGNED:
      what = "unaligned access";
      break;
    default:
      break;
  }
  if (what != nullptr) {
    std::string text = std::string(what) + " at " + Hex(faultAddress);
    if (faultAddress >= kStackLimit - kPageSize && faultAddress < kStackLimit) {
      text += " (the guard page below the stack: stack overflow)";
    }
    text += ", EIP " + Describe(eip);
    if (error == UC_ERR_FETCH_UNMAPPED || error == UC_ERR_FETCH_PROT) {
      uint32_t returnAddress = 0;
      if (memory.Read(Register(UC_X86_REG_ESP), &returnAddress, 4)) {
        text += ", return address on the stack " + Describe(returnAddress);
      }
    }
    return text;
  }
  if (error == UC_ERR_INSN_INVALID) return "invalid instruction at EIP " + Describe(eip);
  return std::string("emulation error: ") + uc_strerror(error) + " at EIP " + Describe(eip);
}

bool Emulator::Impl::Invoke(uint32_t function, std::span<const uint32_t> arguments,
                            uint32_t stackTop, uint32_t* result, std::string* error) {
  if (arguments.size() > kMaxArguments) {
    *error = "too many arguments";
    return false;
  }
  uint32_t argumentBytes = static_cast<uint32_t>(4 * arguments.size());
  uint32_t esp = stackTop - argumentBytes - 4;
  std::vector<uint32_t> frame;
  frame.push_back(kSentinelAddress);
  frame.insert(frame.end(), arguments.begin(), arguments.end());
  if (uc_mem_write(uc, esp, frame.data(), 4 * static_cast<uint32_t>(frame.size())) != UC_ERR_OK) {
    *error = "the stack is exhausted";
    return false;
  }
  SetRegister(UC_X86_REG_ESP, esp);
  SetRegister(UC_X86_REG_EBX, kSeedEbx);
  SetRegister(UC_X86_REG_ESI, kSeedEsi);
  SetRegister(UC_X86_REG_EDI, kSeedEdi);
  SetRegister(UC_X86_REG_EBP, kSeedEbp);
  SetRegister(UC_X86_REG_EAX, kScratchSeed);
  SetRegister(UC_X86_REG_ECX, kScratchSeed);
  SetRegister(UC_X86_REG_EDX, kScratchSeed);
  SetRegister(UC_X86_REG_EFLAGS, 0x202);  // direction flag clear, as the ABI requires

  uc_err status = uc_emu_start(uc, function, kSentinelAddress, 0, 0);
  if (failed) {
    *error = failure;
    return false;
  }
  if (status != UC_ERR_OK) {
    *error = DescribeError(status);
    return false;
  }
  uint32_t eip = Register(UC_X86_REG_EIP);
  if (eip != kSentinelAddress) {
    *error = "the run stopped at EIP " + Describe(eip) + " before returning";
    return false;
  }
  int64_t removed = int64_t{Register(UC_X86_REG_ESP)} - int64_t{esp} - 4;
  if (removed != argumentBytes) {
    *error = "callee removed " + std::to_string(removed) + " bytes of arguments, expected " +
             std::to_string(argumentBytes);
    return false;
  }
  const struct {
    int id;
    uint32_t seed;
    const char* name;
  } preserved[] = {{UC_X86_REG_EBX, kSeedEbx, "EBX"},
                   {UC_X86_REG_ESI, kSeedEsi, "ESI"},
                   {UC_X86_REG_EDI, kSeedEdi, "EDI"},
                   {UC_X86_REG_EBP, kSeedEbp, "EBP"}};
  for (const auto& reg : preserved) {
    uint32_t value = Register(reg.id);
    if (value != reg.seed) {
      *error = std::string("callee changed ") + reg.name + " from " + Hex(reg.seed) + " to " +
               Hex(value);
      return false;
    }
  }
  *result = Register(UC_X86_REG_EAX);
  return true;
}

bool Emulator::Impl::CallNested(uint32_t function, const std::string& caller, uint32_t* result) {
  if (failed) return false;
  uc_context* saved = nullptr;
  if (uc_context_alloc(uc, &saved) != UC_ERR_OK || uc_context_save(uc, saved) != UC_ERR_OK) {
    Fail(caller + ": cannot save the machine state for a callback");
    if (saved != nullptr) uc_context_free(saved);
    return false;
  }
  uint32_t stackTop = (Register(UC_X86_REG_ESP) - 16) & ~15u;
  std::string error;
  bool ok = Invoke(function, {}, stackTop, result, &error);
  uc_context_restore(uc, saved);
  uc_context_free(saved);
  if (!ok) {
    // The inner run's failure stops the outer run as well.
    failed = false;
    Fail("callback " + Describe(function) + " called by " + caller + ": " + error);
  }
  return ok;
}

void Emulator::Impl::RunStub(uint32_t address) {
  uint32_t offset = address - kStubAddress;
  if (offset % kStubBytes != 0 || offset / kStubBytes >= stubs.size()) {
    Fail("jump into the middle of the system stubs at " + Hex(address));
    return;
  }
  const Stub& stub = stubs[offset / kStubBytes];
  if (loading && startupSeen.insert(stub.name).second) startupCalls.push_back(stub.name);
  uint32_t esp = Register(UC_X86_REG_ESP);
  StubCall call(*this, stub, esp);
  if (stub.function == nullptr) {
    call.Stop("called, but the emulated system does not provide it");
    return;
  }
  uint32_t value = stub.function->run(*system, call);
  if (failed) {
    uc_emu_stop(uc);  // a nested run may have ended; stop the one this stub belongs to
    return;
  }
  SetRegister(UC_X86_REG_EAX, value);
}

bool Emulator::Impl::BindImports(const pe::Image& image, std::string* error) {
  std::vector<pe::Import> imports;
  if (!pe::ReadImports(image, &imports, error)) return false;
  std::map<std::string, uint32_t> stubIndex;
  std::vector<std::pair<uint32_t, uint32_t>> slots;  // IAT address, bound address
  for (const pe::Import& import : imports) {
    std::string name = import.dll + "!";
    if (import.name.empty()) {
      name += '#';
      name += std::to_string(import.ordinal);
    } else {
      name += import.name;
    }
    uint32_t target = 0;
    if (auto found = stubIndex.find(name); found != stubIndex.end()) {
      target = found->second;
    } else if (uint32_t data = import.name.empty() ? 0 : system->FindData(import.dll, import.name);
               data != 0) {
      target = data;
    } else {
      Stub stub;
      stub.name = name;
      if (!import.name.empty()) stub.function = system->Find(import.dll, import.name);
      target = kStubAddress + kStubBytes * static_cast<uint32_t>(stubs.size());
      if (target + kStubBytes > kStubLimit) {
        *error = "too many imports";
        return false;
      }
      stubs.push_back(stub);
      stubIndex[name] = target;
    }
    slots.emplace_back(image.base + import.iatRva, target);
  }
  // Each stub is `ret N`: the hook on it runs the system function first, then the stub
  // returns to the caller and removes the arguments of a __stdcall function.
  std::vector<uint8_t> code(AlignUp(std::max<uint32_t>(1, stubs.size() * kStubBytes), kPageSize),
                            0xCC);
  for (size_t index = 0; index < stubs.size(); ++index) {
    uint32_t argumentBytes = stubs[index].function ? stubs[index].function->argumentBytes : 0;
    uint8_t* stub = &code[index * kStubBytes];
    if (argumentBytes == 0) {
      stub[0] = 0xC3;
    } else {
      stub[0] = 0xC2;
      stub[1] = argumentBytes & 0xFF;
      stub[2] = (argumentBytes >> 8) & 0xFF;
    }
  }
  uint32_t codeSize = static_cast<uint32_t>(code.size());
  if (!memory.MapOwn(kStubAddress, codeSize, kRead | kExecute, error)) return false;
  uc_mem_write(uc, kStubAddress, code.data(), codeSize);
  uc_hook hook;
  if (uc_hook_add(uc, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&OnStub), this, kStubAddress,
                  kStubAddress + codeSize - 1) != UC_ERR_OK) {
    *error = "cannot hook the system stubs";
    return false;
  }
  // The loader fills the address table even where the image keeps it read-only.
  for (const auto& [slot, target] : slots) memory.Poke32(slot, target);
  return true;
}

bool Emulator::Impl::SetUpTls(const pe::Image& image, std::string* error) {
  if (!pe::ReadTls(image, &tls, error)) return false;
  if (!tls.present) return true;
  uint64_t blockSize = uint64_t{tls.templateSize} + tls.zeroFill;
  uint32_t blockAddress = kTlsAddress + kPageSize;
  if (blockSize > kTlsLimit - blockAddress) {
    *error = "the TLS block is too large";
    return false;
  }
  uint32_t mapped =
      AlignUp(static_cast<uint32_t>(kPageSize + std::max<uint64_t>(blockSize, 1)), kPageSize);
  if (!memory.MapOwn(kTlsAddress, mapped, kRead | kWrite, error)) return false;
  uc_mem_write(uc, blockAddress, image.memory.data() + tls.templateRva, tls.templateSize);
  memory.Poke32(kTlsAddress, blockAddress);
  memory.Poke32(kTebAddress + kTebTlsPointerField, kTlsAddress);
  memory.Poke32(image.base + tls.indexRva, 0);
  return true;
}

bool Emulator::Impl::Notify(uint32_t reason, std::string* error) {
  const char* reasonName =
      reason == kDllProcessAttach ? "DLL_PROCESS_ATTACH" : "DLL_PROCESS_DETACH";
  const uint32_t arguments[] = {imageBase, reason, 0};
  uint32_t result = 0;
  for (uint32_t callbackRva : tls.callbackRvas) {
    if (!Call(imageBase + callbackRva, arguments, &result, error)) {
      *error = "TLS callback " + Describe(imageBase + callbackRva) + " with " + reasonName + ": " +
               *error;
      return false;
    }
  }
  if (entryPoint == 0) return true;
  if (!Call(entryPoint, arguments, &result, error)) {
    *error = std::string("entry point with ") + reasonName + ": " + *error;
    return false;
  }
  if (reason == kDllProcessAttach && result == 0) {
    *error = "entry point returned FALSE for DLL_PROCESS_ATTACH";
    return false;
  }
  return true;
}

bool Emulator::Impl::Load(const std::string& path, const Options& options, std::string* error) {
  pe::Image image;
  if (!pe::LoadImageFile(path, options.loadBase, &image, error)) return false;
  imageBase = image.base;
  imageSize = AlignUp(image.sizeOfImage, kPageSize);
  imageName = path.substr(path.find_last_of("/\\") + 1);
  entryPoint = image.entryPointRva != 0 ? imageBase + image.entryPointRva : 0;
  instructionBudget = options.instructionBudget;

  SystemLayout layout;
  layout.imageBase = imageBase;
  layout.imageSize = imageSize;
  layout.imageName = imageName;
  layout.tebAddress = kTebAddress;
  auto overlaps = [&](uint32_t begin, uint32_t end) {
    return imageBase < end && begin < imageBase + imageSize;
  };
  if (overlaps(0, kReservedLimit) || overlaps(layout.heapBase, layout.heapLimit)) {
    *error = "the image at " + Hex(imageBase) + "+" + Hex(imageSize) +
             " overlaps the emulator's own memory; load it at another base";
    return false;
  }

  if (uc_open(UC_ARCH_X86, UC_MODE_32, &uc) != UC_ERR_OK) {
    uc = nullptr;
    *error = "cannot start the i386 emulator";
    return false;
  }
  memory.Open(uc);
  if (!SetUpProcess(uc, memory, imageBase, error) || !pe::MapImage(image, memory, error)) {
    return false;
  }
  HeapPolicy policy;
  policy.refuseAbove = options.refuseAllocationsAbove;
  policy.refuseAfter = options.refuseAllocationsAfter;
  policy.refuseSize = options.refuseAllocationsOfSize;
  system = std::make_unique<Win32System>(memory, layout, policy);
  if (!BindImports(image, error) || !pe::ReadExports(image, &exports, error) ||
      !SetUpTls(image, error) || !AddHooks(error)) {
    return false;
  }

  loading = true;
  bool attached = Notify(kDllProcessAttach, error);
  loading = false;
  if (!attached) return false;
  system->MarkHeapBaseline();
  loaded = true;
  return true;
}

ImageRefusal WholeFileImageRefusal(uint64_t fileSize) {
  const uint32_t imageSize = fileSize == 0 ? 1 : static_cast<uint32_t>(fileSize);
  return {imageSize, imageSize == kPathBufferRequest ? 1u : 0u};
}

Emulator::Emulator() : impl_(std::make_unique<Impl>()) {}
Emulator::~Emulator() = default;

bool Emulator::Load(const std::string& dllPath, const Options& options, std::string* error) {
  if (impl_->uc != nullptr) {
    *error = "this emulator has loaded an image before; each takes one";
    return false;
  }
  return impl_->Load(dllPath, options, error);
}

uint32_t Emulator::Export(const std::string& name) const {
  auto found = impl_->exports.find(name);
  return found == impl_->exports.end() ? 0 : impl_->imageBase + found->second;
}

uint32_t Emulator::LendBlock(uint32_t size) {
  return impl_->uc ? impl_->memory.Lend(size) : 0;
}

bool Emulator::Read(uint32_t address, void* out, uint32_t size) const {
  return impl_->uc != nullptr && impl_->memory.Read(address, out, size);
}

bool Emulator::Write(uint32_t address, const void* in, uint32_t size) {
  return impl_->uc != nullptr && impl_->memory.Write(address, in, size);
}

bool Emulator::CallStdcall(uint32_t function, std::span<const uint32_t> arguments, uint32_t* result,
                           std::string* error) {
  if (!impl_->loaded) {
    *error = "no image is loaded";
    return false;
  }
  return impl_->Call(function, arguments, result, error);
}

uint64_t Emulator::InstructionsInImage() const {
  return impl_->instructionsInImage;
}

bool Emulator::Unload(std::string* error) {
  if (!impl_->loaded) {
    *error = "no image is loaded";
    return false;
  }
  impl_->loaded = false;
  if (!impl_->Notify(kDllProcessDetach, error)) return false;
  std::string problems;
  auto add = [&](const std::string& problem) {
    problems += (problems.empty() ? "" : "; ") + problem;
  };
  if (size_t handles = impl_->system->OpenHandles(); handles > 0) {
    add(std::to_string(handles) + " file handle(s) left open");
  }
  if (size_t blocks = impl_->system->LiveHeapBlocksSinceBaseline(); blocks > 0) {
    add(std::to_string(blocks) + " heap block(s) allocated after the attach left unfreed");
  }
  if (std::string damage = impl_->system->CheckHeap(); !damage.empty()) add(damage);
  if (!problems.empty()) {
    *error = problems;
    return false;
  }
  return true;
}

const std::vector<std::string>& Emulator::StartupCalls() const {
  return impl_->startupCalls;
}

void Emulator::SetHeapRefusals(uint32_t above, uint64_t after, uint32_t ofSize,
                               uint32_t grantOfSizeFirst) {
  if (impl_->system == nullptr) return;
  HeapPolicy policy;
  policy.refuseAbove = above;
  policy.refuseAfter = after;
  policy.refuseSize = ofSize;
  policy.grantOfSizeFirst = grantOfSizeFirst;
  impl_->system->SetHeapPolicy(policy);
}

size_t Emulator::OpenHandles() const {
  return impl_->system ? impl_->system->OpenHandles() : 0;
}

size_t Emulator::LiveHeapBlocks() const {
  return impl_->system ? impl_->system->LiveHeapBlocks() : 0;
}

}  // namespace emulator
