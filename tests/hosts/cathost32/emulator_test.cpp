// The i386 machine that runs the 32-bit Windows DLLs: the shipped DLLs load and answer at their
// own base and moved; damaged files are refused; and each rule the machine enforces (the
// __stdcall convention, callee-saved registers, the instruction budget, guard pages, missing
// imports, leaks at unload) is shown to fire on a tiny DLL written here byte by byte.
#include "tools/hosts/cathost32/emulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tools/hosts/cathost32/pe_image.h"
#include "tools/hosts/cathost32/win32_system.h"

namespace {

using emulator::Emulator;
using emulator::ImageRefusal;
using emulator::kPathBufferRequest;
using emulator::Options;
using emulator::WholeFileImageRefusal;

// In a folder of the test's own: ctest runs the tests side by side, and the DLL's file name
// shows in the messages the tests expect.
std::string WriteTempFile(const std::string& name, const std::vector<uint8_t>& bytes) {
  std::string folder = testing::TempDir() + "emulator_" +
                       testing::UnitTest::GetInstance()->current_test_info()->name();
  std::filesystem::create_directories(folder);
  std::string path = folder + "/" + name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return path;
}

std::string HexAddress(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

void Put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  for (int byte = 0; byte < 4; ++byte) bytes[offset + byte] = value >> (8 * byte) & 0xFF;
}
void Put16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
  bytes[offset] = value & 0xFF;
  bytes[offset + 1] = value >> 8;
}

// ---------------------------------------------------------------------------------------------
// A PE32 DLL assembled here: five sections of one page each (.text, .rdata with the exports,
// .idata, .data, .reloc), hand-written i386 code, and a base relocation for every absolute
// address the code or data holds.
class TinyDll {
 public:
  static constexpr uint32_t kImageBase = 0x10000000;
  static constexpr uint32_t kTextRva = 0x1000, kRdataRva = 0x2000, kIdataRva = 0x3000,
                            kDataRva = 0x4000, kRelocRva = 0x5000, kImageSize = 0x6000;
  static constexpr uint32_t kHeaderSize = 0x400, kSectionCount = 5;
  // Offsets in the file: the headers, then one page per section.
  static constexpr uint32_t kPeOffset = 0x40, kFileHeader = kPeOffset + 4,
                            kOptionalHeader = kFileHeader + 20;

  explicit TinyDll(const std::vector<std::pair<std::string, std::string>>& imports)
      : text_(0x1000, 0xCC), rdata_(0x1000), idata_(0x1000), data_(0x1000), reloc_(0x1000) {
    LayOutImports(imports);
  }

  // Code: the next export starts here.
  TinyDll& Export(const std::string& name) {
    exports_[name] = Here();
    return *this;
  }
  TinyDll& Code(std::initializer_list<uint8_t> bytes) {
    for (uint8_t byte : bytes) text_.at(codeSize_++) = byte;
    return *this;
  }
  // The absolute address of `rva`, fixed up when the image moves.
  TinyDll& Address(uint32_t rva) {
    fixups_.push_back(Here());
    Put32(text_, codeSize_, kImageBase + rva);
    codeSize_ += 4;
    return *this;
  }
  uint32_t Here() const { return kTextRva + codeSize_; }
  uint32_t Iat(const std::string& name) const { return iat_.at(name); }

  void Data(uint32_t rva, const std::string& bytes) {
    std::copy(bytes.begin(), bytes.end(), data_.begin() + (rva - kDataRva));
  }
  // The absolute address of `targetRva`, fixed up when the image moves; 0 stays 0.
  void DataAddress(uint32_t rva, uint32_t targetRva) {
    if (targetRva == 0) return Put32(data_, rva - kDataRva, 0);
    fixups_.push_back(rva);
    Put32(data_, rva - kDataRva, kImageBase + targetRva);
  }
  void SetEntryPoint(uint32_t rva) { entryPoint_ = rva; }
  void SetTlsDirectory(uint32_t rva) { tlsDirectory_ = rva; }
  void StripRelocations() { stripRelocations_ = true; }

  std::vector<uint8_t> Build() const {
    std::vector<uint8_t> file(kHeaderSize + kSectionCount * 0x1000, 0);
    std::vector<uint8_t> text = text_, data = data_, rdata = rdata_, reloc = reloc_;
    uint32_t exportSize = LayOutExports(rdata);
    uint32_t relocSize = stripRelocations_ ? 0 : LayOutRelocations(reloc);

    file[0] = 'M';
    file[1] = 'Z';
    Put32(file, 0x3C, kPeOffset);
    memcpy(&file[kPeOffset], "PE\0\0", 4);
    Put16(file, kFileHeader, 0x014C);
    Put16(file, kFileHeader + 2, kSectionCount);
    Put16(file, kFileHeader + 16, 0xE0);
    Put16(file, kFileHeader + 18, 0x2102 | (stripRelocations_ ? 0x0001 : 0));  // DLL, 32-bit
    const uint32_t o = kOptionalHeader;
    Put16(file, o, 0x010B);
    Put32(file, o + 16, entryPoint_);
    Put32(file, o + 28, kImageBase);
    Put32(file, o + 32, 0x1000);
    Put32(file, o + 36, 0x200);
    Put16(file, o + 48, 4);
    Put32(file, o + 56, kImageSize);
    Put32(file, o + 60, kHeaderSize);
    Put16(file, o + 68, 2);
    Put32(file, o + 92, 16);
    auto directory = [&](int index, uint32_t rva, uint32_t size) {
      Put32(file, o + 96 + 8 * index, rva);
      Put32(file, o + 100 + 8 * index, size);
    };
    directory(0, kRdataRva, exportSize);
    directory(1, kIdataRva, importDescriptorsSize_);
    if (relocSize != 0) directory(5, kRelocRva, relocSize);
    if (tlsDirectory_ != 0) directory(9, tlsDirectory_, 24);

    const struct {
      const char* name;
      uint32_t rva;
      uint32_t characteristics;
      const std::vector<uint8_t>* bytes;
    } sections[] = {{".text", kTextRva, 0x60000020, &text},
                    {".rdata", kRdataRva, 0x40000040, &rdata},
                    {".idata", kIdataRva, 0xC0000040, &idata_},
                    {".data", kDataRva, 0xC0000040, &data},
                    {".reloc", kRelocRva, 0x42000040, &reloc}};
    uint32_t header = o + 0xE0;
    for (uint32_t index = 0; index < kSectionCount; ++index, header += 40) {
      const auto& section = sections[index];
      uint32_t fileOffset = kHeaderSize + index * 0x1000;
      memcpy(&file[header], section.name, strlen(section.name));
      Put32(file, header + 8, 0x1000);
      Put32(file, header + 12, section.rva);
      Put32(file, header + 16, 0x1000);
      Put32(file, header + 20, fileOffset);
      Put32(file, header + 36, section.characteristics);
      std::copy(section.bytes->begin(), section.bytes->end(), file.begin() + fileOffset);
    }
    return file;
  }

 private:
  // Descriptors, then per DLL its lookup table, address table, names.
  void LayOutImports(const std::vector<std::pair<std::string, std::string>>& imports) {
    std::map<std::string, std::vector<std::string>> byDll;
    std::vector<std::string> dllOrder;
    for (const auto& [dll, name] : imports) {
      if (byDll.find(dll) == byDll.end()) dllOrder.push_back(dll);
      byDll[dll].push_back(name);
    }
    importDescriptorsSize_ = static_cast<uint32_t>(20 * (dllOrder.size() + 1));
    uint32_t next = importDescriptorsSize_;
    uint32_t descriptor = 0;
    for (const std::string& dll : dllOrder) {
      const std::vector<std::string>& names = byDll[dll];
      uint32_t lookup = next, iat = lookup + 4 * static_cast<uint32_t>(names.size() + 1);
      next = iat + 4 * static_cast<uint32_t>(names.size() + 1);
      for (size_t index = 0; index < names.size(); ++index) {
        uint32_t hintName = next;
        memcpy(&idata_[hintName + 2], names[index].c_str(), names[index].size() + 1);
        next += static_cast<uint32_t>(2 + names[index].size() + 2) & ~1u;
        Put32(idata_, lookup + 4 * index, kIdataRva + hintName);
        Put32(idata_, iat + 4 * index, kIdataRva + hintName);
        iat_[names[index]] = kIdataRva + iat + 4 * static_cast<uint32_t>(index);
      }
      uint32_t dllName = next;
      memcpy(&idata_[dllName], dll.c_str(), dll.size() + 1);
      next += static_cast<uint32_t>(dll.size() + 1);
      Put32(idata_, descriptor, kIdataRva + lookup);
      Put32(idata_, descriptor + 12, kIdataRva + dllName);
      Put32(idata_, descriptor + 16, kIdataRva + iat);
      descriptor += 20;
    }
  }

  uint32_t LayOutExports(std::vector<uint8_t>& rdata) const {
    const uint32_t count = static_cast<uint32_t>(exports_.size());
    const uint32_t functions = 40, names = functions + 4 * count, ordinals = names + 4 * count;
    uint32_t next = ordinals + 2 * count;
    memcpy(&rdata[next], "tiny.dll", 9);
    Put32(rdata, 12, kRdataRva + next);
    next += 9;
    Put32(rdata, 16, 1);
    Put32(rdata, 20, count);
    Put32(rdata, 24, count);
    Put32(rdata, 28, kRdataRva + functions);
    Put32(rdata, 32, kRdataRva + names);
    Put32(rdata, 36, kRdataRva + ordinals);
    uint32_t index = 0;
    for (const auto& [name, rva] : exports_) {  // sorted by name, as the format requires
      Put32(rdata, functions + 4 * index, rva);
      Put32(rdata, names + 4 * index, kRdataRva + next);
      Put16(rdata, ordinals + 2 * index, static_cast<uint16_t>(index));
      memcpy(&rdata[next], name.c_str(), name.size() + 1);
      next += static_cast<uint32_t>(name.size() + 1);
      ++index;
    }
    return next;
  }

  uint32_t LayOutRelocations(std::vector<uint8_t>& reloc) const {
    std::map<uint32_t, std::vector<uint16_t>> byPage;
    for (uint32_t rva : fixups_) byPage[rva & ~0xFFFu].push_back(0x3000 | (rva & 0xFFF));
    uint32_t offset = 0;
    for (auto& [page, entries] : byPage) {
      if (entries.size() % 2 != 0) entries.push_back(0);  // ABSOLUTE: padding
      uint32_t size = 8 + 2 * static_cast<uint32_t>(entries.size());
      Put32(reloc, offset, page);
      Put32(reloc, offset + 4, size);
      for (size_t index = 0; index < entries.size(); ++index) {
        Put16(reloc, offset + 8 + 2 * index, entries[index]);
      }
      offset += size;
    }
    return offset;
  }

  std::vector<uint8_t> text_, rdata_, idata_, data_, reloc_;
  uint32_t codeSize_ = 0;
  std::map<std::string, uint32_t> exports_;
  std::map<std::string, uint32_t> iat_;
  std::vector<uint32_t> fixups_;
  uint32_t importDescriptorsSize_ = 0;
  uint32_t entryPoint_ = 0;
  uint32_t tlsDirectory_ = 0;
  bool stripRelocations_ = false;
};

// Addresses in the tiny DLL's .data.
constexpr uint32_t kCounter = 0x4000;
constexpr uint32_t kLogCount = 0x4010, kLogEntries = 0x4014;     // notifications received
constexpr uint32_t kGoodTable = 0x4040, kGoodTableEnd = 0x404C;  // _initterm tables
constexpr uint32_t kBadTable = 0x4050, kBadTableEnd = 0x4058;
constexpr uint32_t kTlsTemplate = 0x4100, kTlsIndex = 0x4110, kTlsCallbacks = 0x4120,
                   kTlsDirectory = 0x4140;
constexpr uint32_t kTlsZeroFill = 12;

// The tiny DLL with the exports the tests call. The TLS callback and the entry point append
// 0x10 + reason and 0x20 + reason to the log, so that their order shows.
TinyDll MakeTinyDll() {
  TinyDll dll({{"KERNEL32.dll", "NoSuchFunction"},
               {"msvcrt.dll", "_initterm"},
               {"msvcrt.dll", "malloc"},
               {"KERNEL32.dll", "CreateFileA"}});
  auto logReason = [&](uint8_t tag) {
    // mov eax,[esp+8]; add eax,tag; mov ecx,[count]; mov [ecx*4+entries],eax; inc ecx;
    // mov [count],ecx
    dll.Code({0x8B, 0x44, 0x24, 0x08, 0x83, 0xC0, tag, 0x8B, 0x0D})
        .Address(kLogCount)
        .Code({0x89, 0x04, 0x8D})
        .Address(kLogEntries)
        .Code({0x41, 0x89, 0x0D})
        .Address(kLogCount);
  };
  uint32_t tlsCallback = dll.Here();
  logReason(0x10);
  dll.Code({0xC2, 0x0C, 0x00});  // ret 12
  dll.SetEntryPoint(dll.Here());
  logReason(0x20);
  dll.Code({0xB8, 1, 0, 0, 0, 0xC2, 0x0C, 0x00});  // mov eax,1; ret 12

  uint32_t constructor = dll.Here();
  dll.Code({0xFF, 0x05}).Address(kCounter).Code({0xC3});  // inc dword [counter]; ret
  uint32_t faultingConstructor = dll.Here();
  dll.Code({0xA1, 0x10, 0, 0, 0, 0xC3});  // mov eax,[0x10]; ret

  dll.Export("Add").Code({0x8B, 0x44, 0x24, 0x04, 0x03, 0x44, 0x24, 0x08, 0xC2, 0x08, 0x00});
  dll.Export("AddCdecl").Code({0x8B, 0x44, 0x24, 0x04, 0x03, 0x44, 0x24, 0x08, 0xC3});
  dll.Export("ClobberEbx").Code({0xBB, 1, 0, 0, 0, 0xC3});
  dll.Export("ClobberEsi").Code({0xBE, 1, 0, 0, 0, 0xC3});
  dll.Export("ClobberEdi").Code({0xBF, 1, 0, 0, 0, 0xC3});
  dll.Export("ClobberEbp").Code({0xBD, 1, 0, 0, 0, 0xC3});
  dll.Export("Forever").Code({0xEB, 0xFE});
  // PokeAt(address, offset): mov byte [address+offset],1. PeekAt: movzx eax,byte [...].
  dll.Export("PokeAt").Code(
      {0x8B, 0x44, 0x24, 0x04, 0x8B, 0x4C, 0x24, 0x08, 0xC6, 0x04, 0x08, 0x01, 0xC2, 0x08, 0x00});
  dll.Export("PeekAt").Code(
      {0x8B, 0x44, 0x24, 0x04, 0x8B, 0x4C, 0x24, 0x08, 0x0F, 0xB6, 0x04, 0x08, 0xC2, 0x08, 0x00});
  dll.Export("WriteOwnCode").Code({0xC6, 0x05}).Address(TinyDll::kTextRva).Code({0x90, 0xC3});
  dll.Export("Recurse").Code({0xE8, 0xFB, 0xFF, 0xFF, 0xFF});  // call Recurse
  // CallPointer(function): mov eax,[esp+4]; call eax; ret 4
  dll.Export("CallPointer").Code({0x8B, 0x44, 0x24, 0x04, 0xFF, 0xD0, 0xC2, 0x04, 0x00});
  dll.Export("CallMissing").Code({0xFF, 0x15}).Address(dll.Iat("NoSuchFunction")).Code({0xC3});
  dll.Export("ReadCounter").Code({0xA1}).Address(kCounter).Code({0xC3});
  // _initterm(table, end) through the import, then the counter.
  for (auto [name, table, end] : {std::tuple{"RunInitterm", kGoodTable, kGoodTableEnd},
                                  std::tuple{"RunFaultingInitterm", kBadTable, kBadTableEnd}}) {
    dll.Export(name).Code({0x68}).Address(end).Code({0x68}).Address(table);
    dll.Code({0xFF, 0x15}).Address(dll.Iat("_initterm")).Code({0x83, 0xC4, 0x08, 0xA1});
    dll.Address(kCounter).Code({0xC3});
  }
  // malloc(16), never freed.
  dll.Export("Leak").Code({0x6A, 0x10, 0xFF, 0x15}).Address(dll.Iat("malloc"));
  dll.Code({0x83, 0xC4, 0x04, 0xC3});
  // OpenFile(name): CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0,
  // OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, 0), never closed.
  dll.Export("OpenFile")
      .Code({0x6A, 0x00})                    // push 0
      .Code({0x68, 0x00, 0x00, 0x00, 0x08})  // push 0x08000000
      .Code({0x6A, 0x03})                    // push 3
      .Code({0x6A, 0x00})                    // push 0
      .Code({0x6A, 0x03})                    // push 3
      .Code({0x68, 0x00, 0x00, 0x00, 0x80})  // push 0x80000000
      .Code({0xFF, 0x74, 0x24, 0x1C})        // push dword [esp+28]: the name
      .Code({0xFF, 0x15})                    // call [CreateFileA]
      .Address(dll.Iat("CreateFileA"))
      .Code({0xC2, 0x04, 0x00});  // ret 4
  // The thread block's self pointer, and this thread's TLS block.
  dll.Export("ThreadBlock").Code({0x64, 0xA1, 0x18, 0, 0, 0, 0xC3});
  dll.Export("TlsBlock").Code({0x64, 0xA1, 0x2C, 0, 0, 0, 0x8B, 0x0D});
  dll.Address(kTlsIndex).Code({0x8B, 0x04, 0x88, 0xC3});

  dll.DataAddress(kGoodTable, constructor);
  dll.DataAddress(kGoodTable + 4, 0);  // _initterm skips empty entries
  dll.DataAddress(kGoodTable + 8, constructor);
  dll.DataAddress(kBadTable, constructor);
  dll.DataAddress(kBadTable + 4, faultingConstructor);
  // The template is "TLS!"; the bytes after it in the image must not reach the block.
  dll.Data(kTlsTemplate, "TLS!XXXXXXXXXXXX");
  dll.Data(kTlsIndex, "\x7F\x7F\x7F\x7F");
  dll.DataAddress(kTlsCallbacks, tlsCallback);
  dll.DataAddress(kTlsDirectory, kTlsTemplate);
  dll.DataAddress(kTlsDirectory + 4, kTlsTemplate + 4);
  dll.DataAddress(kTlsDirectory + 8, kTlsIndex);
  dll.DataAddress(kTlsDirectory + 12, kTlsCallbacks);
  dll.Data(kTlsDirectory + 16, std::string("\x0C\0\0\0", 4));  // zero fill: kTlsZeroFill
  dll.SetTlsDirectory(kTlsDirectory);
  return dll;
}

class TinyDllTest : public testing::Test {
 protected:
  // Loads the tiny DLL (or `bytes`) into a fresh emulator.
  void Load(const Options& options = Options(), std::vector<uint8_t> bytes = {}) {
    if (bytes.empty()) bytes = MakeTinyDll().Build();
    std::string error;
    ASSERT_TRUE(emulator_.Load(WriteTempFile("tiny.dll", bytes), options, &error)) << error;
  }
  // Calls the export; the error text, or "" when the call succeeded.
  std::string Call(const std::string& name, std::vector<uint32_t> arguments = {},
                   uint32_t* result = nullptr) {
    uint32_t function = emulator_.Export(name);
    EXPECT_NE(function, 0u) << name;
    uint32_t value = 0;
    std::string error;
    if (!emulator_.CallStdcall(function, arguments, &value, &error))
      return error.empty() ? "?" : error;
    if (result != nullptr) *result = value;
    return "";
  }
  uint32_t Read32(uint32_t address) {
    uint32_t value = 0;
    EXPECT_TRUE(emulator_.Read(address, &value, 4)) << HexAddress(address);
    return value;
  }
  Emulator emulator_;
};

TEST_F(TinyDllTest, StdcallExportRunsAtEitherBase) {
  for (uint32_t base : {0u, 0x50000000u}) {
    Emulator emulator;
    Options options;
    options.loadBase = base;
    std::string error;
    ASSERT_TRUE(emulator.Load(WriteTempFile("tiny.dll", MakeTinyDll().Build()), options, &error))
        << error;
    uint32_t expectedBase = base == 0 ? TinyDll::kImageBase : base;
    uint32_t add = emulator.Export("Add");
    EXPECT_EQ((add - expectedBase) & ~0xFFFu, TinyDll::kTextRva) << HexAddress(add);
    uint32_t result = 0;
    const uint32_t arguments[] = {40, 2};
    ASSERT_TRUE(emulator.CallStdcall(add, arguments, &result, &error)) << error;
    EXPECT_EQ(result, 42u);
    // Absolute addresses in code and data follow the image: the constructors that _initterm
    // finds through a relocated table count in the relocated counter.
    ASSERT_TRUE(emulator.CallStdcall(emulator.Export("RunInitterm"), {}, &result, &error)) << error;
    EXPECT_EQ(result, 2u);
    EXPECT_GT(emulator.InstructionsInImage(), 0u);
    EXPECT_EQ(emulator.Export("NoSuchExport"), 0u);
  }
}

TEST_F(TinyDllTest, ImageWithoutRelocationsStaysAtItsBase) {
  TinyDll dll = MakeTinyDll();
  dll.StripRelocations();
  Emulator emulator;
  Options options;
  options.loadBase = 0x50000000;
  std::string error;
  EXPECT_FALSE(emulator.Load(WriteTempFile("tiny.dll", dll.Build()), options, &error));
  EXPECT_NE(error.find("no base relocations"), std::string::npos) << error;
}

TEST_F(TinyDllTest, CallerCleanedExportIsCaught) {
  Load();
  EXPECT_EQ(Call("AddCdecl", {1, 2}), "callee removed 0 bytes of arguments, expected 8");
}

TEST_F(TinyDllTest, EachCalleeSavedRegisterIsChecked) {
  for (const char* reg : {"Ebx", "Esi", "Edi", "Ebp"}) {
    Emulator emulator;
    std::string error;
    ASSERT_TRUE(emulator.Load(WriteTempFile("tiny.dll", MakeTinyDll().Build()), Options(), &error));
    uint32_t result;
    EXPECT_FALSE(
        emulator.CallStdcall(emulator.Export(std::string("Clobber") + reg), {}, &result, &error));
    std::string upper = reg;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    EXPECT_NE(error.find("callee changed " + upper + " from"), std::string::npos) << error;
    EXPECT_NE(error.find("to 0x00000001"), std::string::npos) << error;
  }
}

TEST_F(TinyDllTest, EndlessLoopExhaustsTheBudget) {
  Options options;
  options.instructionBudget = 100'000;
  Load(options);
  std::string error = Call("Forever");
  EXPECT_NE(error.find("instruction budget of 100000 exhausted (endless loop?)"), std::string::npos)
      << error;
  EXPECT_NE(error.find("tiny.dll+0x"), std::string::npos) << error;
}

TEST_F(TinyDllTest, LentBlockEndsAtAGuardPage) {
  Load();
  for (uint32_t size : {1u, 326u, 4096u, 5000u}) {
    uint32_t block = emulator_.LendBlock(size);
    ASSERT_NE(block, 0u);
    // The whole block is usable, and fresh for each call.
    std::vector<uint8_t> pattern(size, 0xA5);
    ASSERT_TRUE(emulator_.Write(block, pattern.data(), size));
    uint32_t byte = 0;
    EXPECT_EQ(Call("PokeAt", {block, 0}), "");
    EXPECT_EQ(Call("PokeAt", {block, size - 1}), "");
    EXPECT_EQ(Call("PeekAt", {block, size - 1}, &byte), "");
    EXPECT_EQ(byte, 1u);
    EXPECT_NE(Call("PeekAt", {block, size})
                  .find("read of unmapped memory at " + HexAddress(block + size)),
              std::string::npos);
  }
  uint32_t block = emulator_.LendBlock(16);
  std::string error = Call("PokeAt", {block, 16});
  EXPECT_NE(error.find("write to unmapped memory at " + HexAddress(block + 16)), std::string::npos)
      << error;
  EXPECT_NE(error.find("tiny.dll+0x"), std::string::npos) << error;
  // The host side cannot reach past the block either.
  uint8_t byte = 0;
  EXPECT_FALSE(emulator_.Read(block + 16, &byte, 1));
}

TEST_F(TinyDllTest, FaultsNameTheAccessAndThePlace) {
  Load();
  std::string error = Call("WriteOwnCode");
  EXPECT_NE(error.find("write to read-only memory at " +
                       HexAddress(TinyDll::kImageBase + TinyDll::kTextRva)),
            std::string::npos)
      << error;
  EXPECT_NE(error.find("EIP 0x"), std::string::npos) << error;
  EXPECT_NE(error.find("(tiny.dll+0x"), std::string::npos) << error;

  Emulator recursing, wild;
  ASSERT_TRUE(recursing.Load(WriteTempFile("tiny.dll", MakeTinyDll().Build()), Options(), &error));
  uint32_t result;
  EXPECT_FALSE(recursing.CallStdcall(recursing.Export("Recurse"), {}, &result, &error));
  EXPECT_NE(error.find("stack overflow"), std::string::npos) << error;

  ASSERT_TRUE(wild.Load(WriteTempFile("tiny.dll", MakeTinyDll().Build()), Options(), &error));
  const uint32_t nowhere[] = {0x00001234};
  EXPECT_FALSE(wild.CallStdcall(wild.Export("CallPointer"), nowhere, &result, &error));
  EXPECT_NE(error.find("execution of unmapped memory at 0x00001234"), std::string::npos) << error;
  EXPECT_NE(error.find("return address on the stack 0x"), std::string::npos) << error;
}

TEST_F(TinyDllTest, MissingImportStopsTheRunNamingIt) {
  Load();
  std::string error = Call("CallMissing");
  EXPECT_NE(error.find("KERNEL32.dll!NoSuchFunction"), std::string::npos) << error;
  EXPECT_NE(error.find("does not provide"), std::string::npos) << error;
}

TEST_F(TinyDllTest, FaultInACallbackFailsTheOuterCall) {
  Load();
  std::string error = Call("RunFaultingInitterm");
  EXPECT_NE(error.find("read of unmapped memory at 0x00000010"), std::string::npos) << error;
  EXPECT_NE(error.find("_initterm"), std::string::npos) << error;
}

TEST_F(TinyDllTest, ThreadBlockAndStaticTls) {
  Load();
  uint32_t teb = 0, block = 0;
  ASSERT_EQ(Call("ThreadBlock", {}, &teb), "");
  EXPECT_EQ(Read32(teb + 0x18), teb);
  EXPECT_GT(Read32(teb + 0x04), Read32(teb + 0x08));  // stack base above its limit
  EXPECT_NE(Read32(teb + 0x30), 0u);                  // the process block
  EXPECT_EQ(Read32(TinyDll::kImageBase + kTlsIndex), 0u);
  ASSERT_EQ(Call("TlsBlock", {}, &block), "");
  char bytes[4 + kTlsZeroFill];
  ASSERT_TRUE(emulator_.Read(block, bytes, sizeof bytes));
  EXPECT_EQ(std::string(bytes, 4), "TLS!");
  EXPECT_EQ(std::string(bytes + 4, kTlsZeroFill), std::string(kTlsZeroFill, '\0'));
}

TEST_F(TinyDllTest, NotificationsRunInOrderAndUnloadIsClean) {
  Load();
  const uint32_t log = TinyDll::kImageBase + kLogCount;
  ASSERT_EQ(Read32(log), 2u);
  EXPECT_EQ(Read32(log + 4), 0x11u);  // TLS callback, DLL_PROCESS_ATTACH
  EXPECT_EQ(Read32(log + 8), 0x21u);  // entry point, DLL_PROCESS_ATTACH
  std::string error;
  ASSERT_TRUE(emulator_.Unload(&error)) << error;
  ASSERT_EQ(Read32(log), 4u);
  EXPECT_EQ(Read32(log + 12), 0x10u);  // DLL_PROCESS_DETACH
  EXPECT_EQ(Read32(log + 16), 0x20u);
}

TEST_F(TinyDllTest, EntryPointRefusingTheAttachFailsTheLoad) {
  TinyDll dll({});
  dll.SetEntryPoint(dll.Here());
  dll.Code({0x31, 0xC0, 0xC2, 0x0C, 0x00});  // xor eax,eax; ret 12
  Emulator emulator;
  std::string error;
  EXPECT_FALSE(emulator.Load(WriteTempFile("tiny.dll", dll.Build()), Options(), &error));
  EXPECT_NE(error.find("returned FALSE"), std::string::npos) << error;
}

TEST_F(TinyDllTest, UnloadReportsLeftHeapBlocksAndHandles) {
  Load();
  ASSERT_EQ(Call("Leak"), "");
  std::string error;
  EXPECT_FALSE(emulator_.Unload(&error));
  EXPECT_NE(error.find("1 heap block"), std::string::npos) << error;

  Emulator emulator;
  ASSERT_TRUE(emulator.Load(WriteTempFile("tiny.dll", MakeTinyDll().Build()), Options(), &error));
  std::string path = WriteTempFile("opened.bin", {1, 2, 3});
  uint32_t name = emulator.LendBlock(static_cast<uint32_t>(path.size() + 1));
  ASSERT_TRUE(emulator.Write(name, path.c_str(), static_cast<uint32_t>(path.size() + 1)));
  uint32_t handle = 0;
  const uint32_t arguments[] = {name};
  ASSERT_TRUE(emulator.CallStdcall(emulator.Export("OpenFile"), arguments, &handle, &error))
      << error;
  EXPECT_NE(handle, 0xFFFFFFFFu);
  EXPECT_EQ(emulator.OpenHandles(), 1u);
  EXPECT_FALSE(emulator.Unload(&error));
  EXPECT_NE(error.find("1 file handle"), std::string::npos) << error;
}

// ---------------------------------------------------------------------------------------------
// Damaged files.

TEST(PeImageTest, DamagedHeadersAreRefused) {
  const std::vector<uint8_t> good = MakeTinyDll().Build();
  emulator::pe::Image image;
  std::string error;
  ASSERT_TRUE(emulator::pe::ParseImage(good, &image, &error)) << error;

  struct Damage {
    const char* what;
    size_t offset;
    uint16_t value;
    const char* expected;
  } damages[] = {
      {"MZ", 0, 0x5A4E, "no MZ header"},
      {"e_lfanew past the end", 0x3C, 0xFFF0, "no PE signature"},
      {"x86-64 machine", TinyDll::kFileHeader, 0x8664, "not an i386 image"},
      {"an executable, not a DLL", TinyDll::kFileHeader + 18, 0x0102, "not a DLL"},
      {"PE32+ magic", TinyDll::kOptionalHeader, 0x020B, "not a PE32 image"},
      {"optional header too small", TinyDll::kFileHeader + 16, 0x10, "optional header"},
      {"section table past the end", TinyDll::kFileHeader + 2, 0xFFFF, "section table"},
      {"huge SizeOfImage", TinyDll::kOptionalHeader + 58, 0xFFFF, "SizeOfImage"},
      {"entry point outside", TinyDll::kOptionalHeader + 18, 0x7FFF, "entry point"},
      {"section raw data past the end", TinyDll::kOptionalHeader + 0xE0 + 40 + 22, 0x0100,
       "past the end of the file"},
      {"section beyond SizeOfImage", TinyDll::kOptionalHeader + 0xE0 + 12, 0x7000,
       "outside SizeOfImage"},
  };
  for (const Damage& damage : damages) {
    std::vector<uint8_t> bytes = good;
    Put16(bytes, damage.offset, damage.value);
    EXPECT_FALSE(emulator::pe::ParseImage(bytes, &image, &error)) << damage.what;
    EXPECT_NE(error.find(damage.expected), std::string::npos) << damage.what << ": " << error;
  }
  for (size_t length = 0; length < good.size(); length += length < 0x400 ? 1 : 0x100) {
    EXPECT_FALSE(emulator::pe::ParseImage(std::span(good).first(length), &image, &error)) << length;
  }
}

// Random damage anywhere in the headers and the tables: every reader answers, none reads
// outside its buffers (the sanitizer builds make that visible).
TEST(PeImageTest, RandomDamageNeverReadsOutside) {
  const std::vector<uint8_t> good = MakeTinyDll().Build();
  std::mt19937 random(12345);
  // Headers, and the pages of .rdata (exports), .idata, .data (TLS), .reloc.
  const std::pair<size_t, size_t> regions[] = {
      {0, 0x400}, {0x1400, 0x200}, {0x2400, 0x200}, {0x3500, 0x100}, {0x4400, 0x100}};
  int parsed = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bytes = good;
    const auto& [start, size] = regions[round % std::size(regions)];
    for (int change = 0; change < 4; ++change) {
      bytes[start + random() % size] = static_cast<uint8_t>(random());
    }
    emulator::pe::Image image;
    std::string error;
    if (!emulator::pe::ParseImage(bytes, &image, &error)) continue;
    ++parsed;
    std::vector<emulator::pe::Import> imports;
    std::map<std::string, uint32_t> exports;
    emulator::pe::TlsInfo tls;
    emulator::pe::ReadImports(image, &imports, &error);
    emulator::pe::ReadExports(image, &exports, &error);
    emulator::pe::Relocate(&image, 0x50000000, &error);
    emulator::pe::ReadTls(image, &tls, &error);
    for (uint32_t protection : emulator::pe::PageProtections(image)) EXPECT_LT(protection, 8u);
  }
  EXPECT_GT(parsed, 100);  // the damage reached the tables, not only the headers
}

TEST(EmulatorLoadTest, DamagedFilesAreRefusedWithAnError) {
  const std::vector<uint8_t> good = MakeTinyDll().Build();
  std::vector<uint8_t> truncated(good.begin(), good.begin() + 0x1800);
  std::vector<uint8_t> otherMachine = good;
  Put16(otherMachine, TinyDll::kFileHeader, 0x01C4);  // ARM Thumb-2
  for (const auto& [name, bytes] :
       {std::pair{"truncated", truncated}, std::pair{"machine", otherMachine}}) {
    Emulator emulator;
    std::string error;
    EXPECT_FALSE(emulator.Load(WriteTempFile(name, bytes), Options(), &error)) << name;
    EXPECT_FALSE(error.empty()) << name;
  }
  Emulator emulator;
  std::string error;
  EXPECT_FALSE(emulator.Load(testing::TempDir() + "no-such.dll", Options(), &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

// ---------------------------------------------------------------------------------------------
// The shipped DLLs (the windows-x86 preset's build), at their own base and moved.

std::string ShippedDll(const std::string& name) {
  const char* directory = getenv("WIN32_DLL_DIR");
#ifdef WIN32_DLL_DIR
  if (directory == nullptr) directory = WIN32_DLL_DIR;
#endif
  return directory == nullptr ? "" : std::string(directory) + "/" + name;
}

struct ShippedCase {
  const char* file;
  const char* formatName;
  uint32_t loadBase;
};

void PrintTo(const ShippedCase& param, std::ostream* out) {
  *out << param.file << " at " << (param.loadBase == 0 ? "its base" : HexAddress(param.loadBase));
}

class ShippedDllTest : public testing::TestWithParam<ShippedCase> {};

TEST_P(ShippedDllTest, LoadsAnswersAndUnloadsClean) {
  const ShippedCase& param = GetParam();
  std::string path = ShippedDll(param.file);
  if (path.empty() || !std::filesystem::exists(path)) {
    GTEST_SKIP() << param.file << " is not built (cmake --preset windows-x86)";
  }
  Emulator emulator;
  Options options;
  options.loadBase = param.loadBase;
  std::string error;
  ASSERT_TRUE(emulator.Load(path, options, &error)) << error;
  // Start-up ran through the runtime's constructors, each system call noted once.
  const std::vector<std::string>& startup = emulator.StartupCalls();
  EXPECT_NE(std::find(startup.begin(), startup.end(), "msvcrt.dll!_initterm"), startup.end());
  EXPECT_EQ(std::set<std::string>(startup.begin(), startup.end()).size(), startup.size());
  uint64_t startupInstructions = emulator.InstructionsInImage();
  EXPECT_GT(startupInstructions, 0u);

  for (const char* name : {"LoadFormatModule", "IsArchive", "OpenArchive", "GetArcItem",
                           "CloseArchive", "GetFormatName", "GetDefaultCommands"}) {
    uint32_t address = emulator.Export(name);
    EXPECT_NE(address, 0u) << name;
    if (param.loadBase != 0) {
      EXPECT_EQ(address & 0xFFFF0000u, param.loadBase & 0xFFFF0000u);
    }
  }

  uint32_t result = 0;
  const uint32_t loadArguments[] = {0};
  ASSERT_TRUE(
      emulator.CallStdcall(emulator.Export("LoadFormatModule"), loadArguments, &result, &error))
      << error;
  EXPECT_EQ(result, 0u);

  uint32_t name = emulator.LendBlock(260), second = emulator.LendBlock(260);
  const uint32_t nameArguments[] = {0, name, second};
  ASSERT_TRUE(
      emulator.CallStdcall(emulator.Export("GetFormatName"), nameArguments, &result, &error))
      << error;
  EXPECT_EQ(result, 1u);
  char text[260] = {};
  ASSERT_TRUE(emulator.Read(name, text, sizeof text - 1));
  EXPECT_STREQ(text, param.formatName);
  ASSERT_TRUE(emulator.Read(second, text, sizeof text - 1));
  EXPECT_STREQ(text, param.formatName);

  // Fifteen commands, all empty but the last (the wildcard mask), then no more.
  uint32_t command = emulator.LendBlock(260);
  for (uint32_t index = 0; index <= 15; ++index) {
    const uint32_t fill = 0x58585858;
    ASSERT_TRUE(emulator.Write(command, &fill, 4));
    const uint32_t arguments[] = {0, index, command};
    ASSERT_TRUE(
        emulator.CallStdcall(emulator.Export("GetDefaultCommands"), arguments, &result, &error))
        << index << ": " << error;
    ASSERT_TRUE(emulator.Read(command, text, 4));
    EXPECT_EQ(result, index < 15 ? 1u : 0u) << index;
    if (index < 14) {
      EXPECT_EQ(text[0], '\0') << index;
    } else if (index == 14) {
      EXPECT_EQ(std::string(text, 4), std::string("*.*", 4));
    }
  }
  EXPECT_GT(emulator.InstructionsInImage(), startupInstructions);
  EXPECT_EQ(emulator.OpenHandles(), 0u);
  ASSERT_TRUE(emulator.Unload(&error)) << error;
}

// cathost32 --refuse-image takes the whole-file image away by refusing requests of the
// file's size, granting the first when the file is as large as the path buffer, which
// OpenArchive asks for before the image. Here, on a file of exactly that size, the refusal
// must take one block (the image) and leave OpenArchive its success: with the requests in
// another order, the path buffer would be refused instead and OpenArchive would fail, or the
// image would be granted and the block count would not drop.
TEST_P(ShippedDllTest, ImageRefusalTakesTheImageAloneWhateverTheFileSize) {
  const ShippedCase& param = GetParam();
  std::string path = ShippedDll(param.file);
  if (path.empty() || !std::filesystem::exists(path)) {
    GTEST_SKIP() << param.file << " is not built (cmake --preset windows-x86)";
  }
  Emulator emulator;
  Options options;
  options.loadBase = param.loadBase;
  std::string error;
  ASSERT_TRUE(emulator.Load(path, options, &error)) << error;
  uint32_t result = 0;
  const uint32_t loadArguments[] = {0};
  ASSERT_TRUE(
      emulator.CallStdcall(emulator.Export("LoadFormatModule"), loadArguments, &result, &error))
      << error;

  for (uint32_t fileSize : {kPathBufferRequest, kPathBufferRequest + 1}) {
    // Zero bytes: both formats open them (the walk then finds nothing to list).
    const std::string catalogue =
        WriteTempFile("image_refusal.cat", std::vector<uint8_t>(fileSize, 0));
    const uint32_t name = emulator.LendBlock(static_cast<uint32_t>(catalogue.size() + 1));
    const uint32_t formatType = emulator.LendBlock(4);
    const uint32_t closeRecord = emulator.LendBlock(16);  // a CloseRecord
    ASSERT_TRUE(
        emulator.Write(name, catalogue.c_str(), static_cast<uint32_t>(catalogue.size() + 1)));
    // OpenArchive's result and the heap blocks it leaves live, with the image and without.
    const auto open = [&](bool refuseImage, size_t* blocks) {
      const ImageRefusal refusal = WholeFileImageRefusal(fileSize);
      emulator.SetHeapRefusals(0xFFFFFFFFu, UINT64_MAX, refuseImage ? refusal.ofSize : 0,
                               refusal.grantOfSizeFirst);
      const size_t before = emulator.LiveHeapBlocks();
      uint32_t opened = 0;
      const uint32_t openArguments[] = {name, formatType};
      EXPECT_TRUE(
          emulator.CallStdcall(emulator.Export("OpenArchive"), openArguments, &opened, &error))
          << error;
      *blocks = emulator.LiveHeapBlocks() - before;
      const uint32_t closeArguments[] = {closeRecord};
      EXPECT_TRUE(
          emulator.CallStdcall(emulator.Export("CloseArchive"), closeArguments, &result, &error))
          << error;
      return opened;
    };
    size_t withImage = 0, withoutImage = 0;
    EXPECT_EQ(open(false, &withImage), 1u) << fileSize << " bytes";
    EXPECT_EQ(open(true, &withoutImage), 1u) << fileSize << " bytes, the image refused";
    EXPECT_EQ(withImage, withoutImage + 1) << fileSize << " bytes";
  }
  ASSERT_TRUE(emulator.Unload(&error)) << error;
}

// The emulated system keeps what the shipped DLLs import and nothing more: a function they
// stop importing goes, one they start importing must come.
TEST(ShippedDllImports, TheSystemProvidesExactlyWhatTheDllsImport) {
  std::set<std::string> imported;
  for (const char* file : {"zex_fmt.dll", "mur_fmt.dll"}) {
    const std::string path = ShippedDll(file);
    if (path.empty() || !std::filesystem::exists(path)) {
      GTEST_SKIP() << file << " is not built (cmake --preset windows-x86)";
    }
    emulator::pe::Image image;
    std::vector<emulator::pe::Import> imports;
    std::string error;
    ASSERT_TRUE(emulator::pe::LoadImageFile(path, 0, &image, &error)) << error;
    ASSERT_TRUE(emulator::pe::ReadImports(image, &imports, &error)) << error;
    for (const emulator::pe::Import& import : imports) {
      std::string dll = import.dll;
      std::transform(dll.begin(), dll.end(), dll.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      imported.insert(dll + "!" + import.name);
    }
  }
  EXPECT_EQ(emulator::Win32System::ProvidedNames(), imported);
}

INSTANTIATE_TEST_SUITE_P(BothModules, ShippedDllTest,
                         testing::Values(ShippedCase{"zex_fmt.dll", "ZEX", 0},
                                         ShippedCase{"zex_fmt.dll", "ZEX", 0x10000000},
                                         ShippedCase{"mur_fmt.dll", "MUR", 0},
                                         ShippedCase{"mur_fmt.dll", "MUR", 0x10000000}),
                         [](const testing::TestParamInfo<ShippedCase>& info) {
                           return std::string(info.param.formatName) +
                                  (info.param.loadBase ? "Moved" : "AtItsBase");
                         });

}  // namespace
