// A PE32 (i386) DLL file, from its bytes to its pages in emulated memory: the headers, the
// sections laid out as the loader maps them, base relocations, imports, exports and the TLS
// directory. Every offset and size read from the file is range-checked, so that a damaged or
// hostile file gives an error and never an access outside the buffers.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "tools/hosts/cathost32/guest_memory.h"

namespace emulator::pe {

struct Section {
  std::string name;
  uint32_t rva = 0;
  uint32_t virtualSize = 0;  // the size mapped (SizeOfRawData when the file leaves it 0)
  uint32_t rawOffset = 0;
  uint32_t rawSize = 0;
  uint32_t characteristics = 0;
};

struct DataDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

// Section characteristics that decide the protection of the pages.
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;

// Images larger than this are refused rather than allocated.
constexpr uint32_t kMaxImageSize = 256u << 20;

struct Image {
  uint32_t preferredBase = 0;
  uint32_t base = 0;  // the base `memory` is relocated for
  uint32_t sizeOfImage = 0;
  uint32_t sizeOfHeaders = 0;
  uint32_t entryPointRva = 0;  // 0 when the DLL has no entry point
  uint16_t fileCharacteristics = 0;
  std::vector<Section> sections;
  DataDirectory exportDirectory, importDirectory, relocationDirectory, tlsDirectory;
  // The image as the loader maps it: headers and each section at its RVA, the rest of every
  // section zero; sizeOfImage bytes.
  std::vector<uint8_t> memory;
};

// DLL files larger than this are refused rather than read.
constexpr uint64_t kMaxFileSize = 512u << 20;

// Checks that `file` is a PE32 i386 DLL and lays it out in `image->memory` at its preferred
// base. False with `error` set otherwise.
bool ParseImage(std::span<const uint8_t> file, Image* image, std::string* error);

// Applies the base relocations for loading at `newBase` (HIGHLOW fixups; ABSOLUTE entries are
// padding). An image without relocations can only stay at its preferred base.
bool Relocate(Image* image, uint32_t newBase, std::string* error);

// Reads the DLL at `path`, checks and lays it out (ParseImage) and relocates it to `loadBase`,
// 0 meaning its preferred base. False with `error` set on any failure.
bool LoadImageFile(const std::string& path, uint32_t loadBase, Image* image, std::string* error);

// Maps the laid-out image into `memory` at image.base, each page with its section's
// protection (PageProtections). False with `error` set when the pages cannot be had.
bool MapImage(const Image& image, Memory& memory, std::string* error);

// Page protections of the mapped image: one mask of kRead/kWrite/kExecute (guest_memory.h
// values) per page, 0 for pages no section covers.
std::vector<uint32_t> PageProtections(const Image& image);

struct Import {
  std::string dll;
  std::string name;  // empty when imported by ordinal
  uint16_t ordinal = 0;
  uint32_t iatRva = 0;  // the slot the loader fills with the address
};
bool ReadImports(const Image& image, std::vector<Import>* imports, std::string* error);

// Exported names and their RVAs; forwarded exports (RVAs inside the export directory, naming
// another DLL) are left out since this loader binds to no other DLL.
bool ReadExports(const Image& image, std::map<std::string, uint32_t>* exports, std::string* error);

struct TlsInfo {
  bool present = false;
  uint32_t templateRva = 0;  // the initial data of each thread's block
  uint32_t templateSize = 0;
  uint32_t zeroFill = 0;  // zero bytes after the template
  uint32_t indexRva = 0;  // where the loader stores the block's index
  std::vector<uint32_t> callbackRvas;
};
// Reads the TLS directory of the image relocated to `image.base` (its fields are addresses).
bool ReadTls(const Image& image, TlsInfo* tls, std::string* error);

}  // namespace emulator::pe
