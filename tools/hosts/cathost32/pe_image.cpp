#include "tools/hosts/cathost32/pe_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "tools/hosts/cathost32/guest_memory.h"

namespace emulator::pe {
namespace {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kOptionalMagicPe32 = 0x010B;
constexpr uint16_t kFileExecutableImage = 0x0002;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileDll = 0x2000;
constexpr uint32_t kPeHeaderSize = 24;  // signature and file header
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kDirectoryExport = 0, kDirectoryImport = 1, kDirectoryRelocation = 5,
                   kDirectoryTls = 9;
constexpr uint16_t kRelocationAbsolute = 0, kRelocationHighLow = 3;
constexpr uint32_t kImportByOrdinal = 0x80000000u;
// Bounds on tables read from the file, far above what a linker writes, so that a hostile
// count cannot make the loader spin or allocate without end.
constexpr size_t kMaxImportsPerDll = 65536;
constexpr size_t kMaxTlsCallbacks = 1024;
constexpr size_t kMaxNameLength = 4096;

// Little-endian reads at an offset already checked to be in range.
uint16_t Get16(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}
uint32_t Get32(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

// True when [offset, offset + size) lies inside a buffer of `limit` bytes (no wrap-around).
bool InRange(uint64_t offset, uint64_t size, uint64_t limit) {
  return offset <= limit && size <= limit - offset;
}

// Numbers read from the file, as short as they are.
std::string FileHex(uint32_t value) {
  return Hex(value, 1);
}

// Bytes of the mapped image addressed by RVA, with range checks.
class MappedReader {
 public:
  explicit MappedReader(const Image& image) : memory_(image.memory) {}

  bool Read32(uint32_t rva, uint32_t* value) const {
    if (!InRange(rva, 4, memory_.size())) return false;
    *value = Get32(memory_, rva);
    return true;
  }
  bool Read16(uint32_t rva, uint16_t* value) const {
    if (!InRange(rva, 2, memory_.size())) return false;
    *value = Get16(memory_, rva);
    return true;
  }
  // A NUL-terminated string that must end inside the image.
  bool ReadString(uint32_t rva, std::string* text) const {
    if (rva >= memory_.size()) return false;
    size_t limit = std::min(memory_.size() - rva, kMaxNameLength);
    const uint8_t* begin = memory_.data() + rva;
    const uint8_t* end = static_cast<const uint8_t*>(memchr(begin, 0, limit));
    if (end == nullptr) return false;
    text->assign(begin, end);
    return true;
  }
  bool Contains(uint32_t rva, uint64_t size) const { return InRange(rva, size, memory_.size()); }

 private:
  std::span<const uint8_t> memory_;
};

bool Fail(std::string* error, std::string message) {
  *error = std::move(message);
  return false;
}

// The optional header at `optional` (`optionalSize` bytes, in the file): the image's layout,
// checked against itself, and its data directories.
bool ReadOptionalHeader(std::span<const uint8_t> file, size_t optional, uint16_t optionalSize,
                        Image* image, std::string* error) {
  if (Get16(file, optional) != kOptionalMagicPe32) {
    return Fail(error,
                "not a PE32 image (optional header magic " + FileHex(Get16(file, optional)) + ")");
  }
  image->entryPointRva = Get32(file, optional + 16);
  image->preferredBase = Get32(file, optional + 28);
  image->sizeOfImage = Get32(file, optional + 56);
  image->sizeOfHeaders = Get32(file, optional + 60);
  uint32_t directoryCount = Get32(file, optional + 92);
  image->base = image->preferredBase;
  if (image->preferredBase % kPageSize != 0) {
    return Fail(error, "image base " + FileHex(image->preferredBase) + " is not page aligned");
  }
  if (image->sizeOfImage == 0 || image->sizeOfImage > kMaxImageSize) {
    return Fail(error, "unreasonable SizeOfImage " + FileHex(image->sizeOfImage));
  }
  if (!InRange(image->preferredBase, image->sizeOfImage, 0x100000000ull)) {
    return Fail(error, "image does not fit in the 32-bit address space");
  }
  if (image->sizeOfHeaders > image->sizeOfImage || image->sizeOfHeaders > file.size()) {
    return Fail(
        error, "SizeOfHeaders " + FileHex(image->sizeOfHeaders) + " exceeds the image or the file");
  }
  if (image->entryPointRva >= image->sizeOfImage) {
    return Fail(error, "entry point " + FileHex(image->entryPointRva) + " lies outside the image");
  }

  // Data directories present in both the count and the optional header's size.
  uint32_t directoriesInHeader = (optionalSize - 96) / 8;
  directoryCount = std::min(directoryCount, directoriesInHeader);
  auto directory = [&](uint32_t index) {
    DataDirectory entry;
    if (index < directoryCount) {
      entry.rva = Get32(file, optional + 96 + 8 * index);
      entry.size = Get32(file, optional + 96 + 8 * index + 4);
    }
    return entry;
  };
  image->exportDirectory = directory(kDirectoryExport);
  image->importDirectory = directory(kDirectoryImport);
  image->relocationDirectory = directory(kDirectoryRelocation);
  image->tlsDirectory = directory(kDirectoryTls);
  return true;
}

// Maps the headers and each of the `sectionCount` sections from the table at `sectionTable`
// into the image's memory.
bool MapSections(std::span<const uint8_t> file, size_t sectionTable, uint16_t sectionCount,
                 Image* image, std::string* error) {
  image->memory.assign(image->sizeOfImage, 0);
  std::copy_n(file.begin(), image->sizeOfHeaders, image->memory.begin());
  for (uint16_t index = 0; index < sectionCount; ++index) {
    const size_t header = sectionTable + size_t{index} * kSectionHeaderSize;
    Section section;
    const char* name = reinterpret_cast<const char*>(file.data() + header);
    section.name.assign(name, strnlen(name, 8));
    section.virtualSize = Get32(file, header + 8);
    section.rva = Get32(file, header + 12);
    section.rawSize = Get32(file, header + 16);
    section.rawOffset = Get32(file, header + 20);
    section.characteristics = Get32(file, header + 36);
    if (section.virtualSize == 0) section.virtualSize = section.rawSize;
    if (!InRange(section.rva, section.virtualSize, image->sizeOfImage)) {
      return Fail(error, "section " + section.name + " lies outside SizeOfImage");
    }
    if (section.rva < image->sizeOfHeaders && section.virtualSize != 0) {
      return Fail(error, "section " + section.name + " overlaps the headers");
    }
    // Only the part of the raw data that the virtual size covers is mapped; the rest of the
    // section stays zero.
    uint32_t copied = std::min(section.rawSize, section.virtualSize);
    if (copied != 0) {
      if (!InRange(section.rawOffset, copied, file.size())) {
        return Fail(error, "section " + section.name + " runs past the end of the file");
      }
      std::copy_n(file.begin() + section.rawOffset, copied, image->memory.begin() + section.rva);
    }
    image->sections.push_back(section);
  }
  return true;
}

}  // namespace

bool ParseImage(std::span<const uint8_t> file, Image* image, std::string* error) {
  *image = Image();
  if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') {
    return Fail(error, "not a PE file: no MZ header");
  }
  uint32_t peOffset = Get32(file, 0x3C);
  if (!InRange(peOffset, kPeHeaderSize, file.size()) ||
      memcmp(file.data() + peOffset, "PE\0\0", 4) != 0) {
    return Fail(error, "not a PE file: no PE signature at the offset the MZ header gives");
  }
  const size_t fileHeader = peOffset + 4;
  uint16_t machine = Get16(file, fileHeader);
  uint16_t sectionCount = Get16(file, fileHeader + 2);
  uint16_t optionalSize = Get16(file, fileHeader + 16);
  image->fileCharacteristics = Get16(file, fileHeader + 18);
  if (machine != kMachineI386) {
    return Fail(error, "not an i386 image (machine " + FileHex(machine) + ")");
  }
  if (!(image->fileCharacteristics & kFileExecutableImage) ||
      !(image->fileCharacteristics & kFileDll)) {
    return Fail(error,
                "not a DLL (file characteristics " + FileHex(image->fileCharacteristics) + ")");
  }

  const size_t optional = peOffset + kPeHeaderSize;
  if (optionalSize < 96 || !InRange(optional, optionalSize, file.size())) {
    return Fail(error, "truncated optional header");
  }
  if (!ReadOptionalHeader(file, optional, optionalSize, image, error)) return false;

  const size_t sectionTable = optional + optionalSize;
  if (!InRange(sectionTable, uint64_t{sectionCount} * kSectionHeaderSize, file.size())) {
    return Fail(error, "truncated section table");
  }
  return MapSections(file, sectionTable, sectionCount, image, error);
}

bool Relocate(Image* image, uint32_t newBase, std::string* error) {
  if (newBase == image->base) return true;
  if (newBase % 0x10000 != 0) {
    return Fail(error, "load base " + FileHex(newBase) + " is not 64 KiB aligned");
  }
  if (!InRange(newBase, image->sizeOfImage, 0x100000000ull)) {
    return Fail(error, "the image does not fit in the address space at " + FileHex(newBase));
  }
  const DataDirectory& directory = image->relocationDirectory;
  if ((image->fileCharacteristics & kFileRelocsStripped) || directory.size == 0) {
    return Fail(error,
                "the image has no base relocations and cannot move from " + FileHex(image->base));
  }
  if (!InRange(directory.rva, directory.size, image->memory.size())) {
    return Fail(error, "relocation directory lies outside the image");
  }
  const uint32_t delta = newBase - image->base;
  std::span<uint8_t> memory(image->memory);
  uint32_t offset = 0;
  while (directory.size - offset >= 8) {
    const uint32_t block = directory.rva + offset;
    uint32_t pageRva = Get32(memory, block);
    uint32_t blockSize = Get32(memory, block + 4);
    if (blockSize < 8 || blockSize % 2 != 0 || blockSize > directory.size - offset) {
      return Fail(error, "relocation block at RVA " + FileHex(block) + " has a bad size " +
                             FileHex(blockSize));
    }
    for (uint32_t entry = 8; entry < blockSize; entry += 2) {
      uint16_t value = Get16(memory, block + entry);
      uint16_t type = value >> 12;
      uint32_t target = pageRva + (value & 0xFFF);
      if (type == kRelocationAbsolute) continue;
      if (type != kRelocationHighLow) {
        return Fail(error, "unsupported relocation type " + std::to_string(type) + " at RVA " +
                               FileHex(target));
      }
      if (!InRange(target, 4, memory.size()) || target < pageRva) {
        return Fail(error, "relocation target RVA " + FileHex(target) + " lies outside the image");
      }
      uint32_t fixed = Get32(memory, target) + delta;
      for (int byte = 0; byte < 4; ++byte) memory[target + byte] = fixed >> (8 * byte) & 0xFF;
    }
    offset += blockSize;
  }
  image->base = newBase;
  return true;
}

bool LoadImageFile(const std::string& path, uint32_t loadBase, Image* image, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return Fail(error, "cannot open " + path);
  file.seekg(0, std::ios::end);
  const std::streamoff fileSize = file.tellg();
  if (fileSize < 0 || static_cast<uint64_t>(fileSize) > kMaxFileSize) {
    return Fail(error, "cannot read " + path + " (or it is too large)");
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(fileSize));
  file.seekg(0);
  if (!file.read(reinterpret_cast<char*>(bytes.data()), fileSize)) {
    return Fail(error, "cannot read " + path);
  }
  if (!ParseImage(bytes, image, error)) return false;
  return Relocate(image, loadBase != 0 ? loadBase : image->preferredBase, error);
}

bool MapImage(const Image& image, Memory& memory, std::string* error) {
  // Mapped writable for the copy, then each run of pages with the same protection set.
  const uint32_t size = (image.sizeOfImage + kPageSize - 1) / kPageSize * kPageSize;
  if (!memory.Map(image.base, size, kRead | kWrite)) {
    return Fail(error, "cannot map " + Hex(image.base) + "+" + Hex(size));
  }
  if (!memory.Write(image.base, image.memory.data(), image.sizeOfImage)) {
    return Fail(error, "cannot write the image");
  }
  const std::vector<uint32_t> pages = PageProtections(image);
  for (size_t first = 0; first < pages.size();) {
    size_t last = first;
    while (last + 1 < pages.size() && pages[last + 1] == pages[first]) ++last;
    const uint32_t address = image.base + static_cast<uint32_t>(first) * kPageSize;
    const uint32_t length = static_cast<uint32_t>(last - first + 1) * kPageSize;
    if (!memory.Protect(address, length, pages[first])) {
      return Fail(error, "cannot protect the image pages at " + Hex(address));
    }
    first = last + 1;
  }
  return true;
}

std::vector<uint32_t> PageProtections(const Image& image) {
  std::vector<uint32_t> pages((image.sizeOfImage + kPageSize - 1) / kPageSize, 0);
  for (uint32_t page = 0; page * kPageSize < image.sizeOfHeaders; ++page) pages[page] = kRead;
  for (const Section& section : image.sections) {
    if (section.virtualSize == 0) continue;
    uint32_t protection = 0;
    if (section.characteristics & kSectionRead) protection |= kRead;
    if (section.characteristics & kSectionWrite) protection |= kWrite;
    if (section.characteristics & kSectionExecute) protection |= kExecute;
    // Sections aligned below the page size may share a page; it gets every right they need.
    uint32_t first = section.rva / kPageSize;
    uint32_t last = (section.rva + section.virtualSize - 1) / kPageSize;
    for (uint32_t page = first; page <= last && page < pages.size(); ++page) {
      pages[page] |= protection;
    }
  }
  return pages;
}

bool ReadImports(const Image& image, std::vector<Import>* imports, std::string* error) {
  imports->clear();
  const DataDirectory& directory = image.importDirectory;
  if (directory.rva == 0 && directory.size == 0) return true;
  MappedReader reader(image);
  constexpr uint32_t kDescriptorSize = 20;
  for (uint32_t descriptor = directory.rva;; descriptor += kDescriptorSize) {
    if (!reader.Contains(descriptor, kDescriptorSize)) {
      return Fail(error, "import directory runs past the end of the image");
    }
    uint32_t lookupRva = 0, nameRva = 0, iatRva = 0;
    reader.Read32(descriptor, &lookupRva);
    reader.Read32(descriptor + 12, &nameRva);
    reader.Read32(descriptor + 16, &iatRva);
    if (lookupRva == 0 && nameRva == 0 && iatRva == 0) break;
    std::string dll;
    if (!reader.ReadString(nameRva, &dll)) {
      return Fail(error, "import descriptor at RVA " + FileHex(descriptor) + " has a bad DLL name");
    }
    // Without the lookup table, the address table holds the names until it is bound.
    if (lookupRva == 0) lookupRva = iatRva;
    for (size_t index = 0;; ++index) {
      if (index == kMaxImportsPerDll) {
        return Fail(error, "import table of " + dll + " has no end");
      }
      uint32_t lookup = 0;
      if (!reader.Read32(lookupRva + 4 * index, &lookup) ||
          !reader.Contains(iatRva + 4 * static_cast<uint32_t>(index), 4)) {
        return Fail(error, "import table of " + dll + " runs past the end of the image");
      }
      if (lookup == 0) break;
      Import import;
      import.dll = dll;
      import.iatRva = iatRva + 4 * static_cast<uint32_t>(index);
      if (lookup & kImportByOrdinal) {
        import.ordinal = static_cast<uint16_t>(lookup);
      } else if (!reader.Read16(lookup, &import.ordinal) ||
                 !reader.ReadString(lookup + 2, &import.name) || import.name.empty()) {
        return Fail(error, "import " + std::to_string(index) + " of " + dll + " has a bad name");
      }
      imports->push_back(std::move(import));
    }
  }
  return true;
}

bool ReadExports(const Image& image, std::map<std::string, uint32_t>* exports, std::string* error) {
  exports->clear();
  const DataDirectory& directory = image.exportDirectory;
  if (directory.rva == 0 && directory.size == 0) return true;
  MappedReader reader(image);
  if (!reader.Contains(directory.rva, 40)) {
    return Fail(error, "export directory lies outside the image");
  }
  uint32_t functionCount = 0, nameCount = 0, functionsRva = 0, namesRva = 0, ordinalsRva = 0;
  reader.Read32(directory.rva + 20, &functionCount);
  reader.Read32(directory.rva + 24, &nameCount);
  reader.Read32(directory.rva + 28, &functionsRva);
  reader.Read32(directory.rva + 32, &namesRva);
  reader.Read32(directory.rva + 36, &ordinalsRva);
  if (!reader.Contains(functionsRva, uint64_t{functionCount} * 4) ||
      !reader.Contains(namesRva, uint64_t{nameCount} * 4) ||
      !reader.Contains(ordinalsRva, uint64_t{nameCount} * 2)) {
    return Fail(error, "export tables lie outside the image");
  }
  for (uint32_t index = 0; index < nameCount; ++index) {
    uint32_t nameRva = 0, functionRva = 0;
    uint16_t ordinalIndex = 0;
    std::string name;
    reader.Read32(namesRva + 4 * index, &nameRva);
    reader.Read16(ordinalsRva + 2 * index, &ordinalIndex);
    if (!reader.ReadString(nameRva, &name)) {
      return Fail(error, "export name " + std::to_string(index) + " lies outside the image");
    }
    if (ordinalIndex >= functionCount) {
      return Fail(error, "export " + name + " has an ordinal past the address table");
    }
    reader.Read32(functionsRva + 4 * ordinalIndex, &functionRva);
    bool forwarded = functionRva >= directory.rva && functionRva - directory.rva < directory.size;
    if (forwarded) continue;
    if (functionRva == 0 || functionRva >= image.sizeOfImage) {
      return Fail(error, "export " + name + " points outside the image");
    }
    (*exports)[name] = functionRva;
  }
  return true;
}

bool ReadTls(const Image& image, TlsInfo* tls, std::string* error) {
  *tls = TlsInfo();
  const DataDirectory& directory = image.tlsDirectory;
  if (directory.rva == 0) return true;
  MappedReader reader(image);
  if (!reader.Contains(directory.rva, 24)) {
    return Fail(error, "TLS directory lies outside the image");
  }
  uint32_t start = 0, end = 0, indexAddress = 0, callbacksAddress = 0;
  reader.Read32(directory.rva, &start);
  reader.Read32(directory.rva + 4, &end);
  reader.Read32(directory.rva + 8, &indexAddress);
  reader.Read32(directory.rva + 12, &callbacksAddress);
  reader.Read32(directory.rva + 16, &tls->zeroFill);
  // The directory holds addresses; RVAs follow from the base the image is relocated for.
  auto toRva = [&](uint32_t address, uint32_t size, uint32_t* rva) {
    *rva = address - image.base;
    return address >= image.base && reader.Contains(*rva, size);
  };
  if (end < start || !toRva(start, end - start, &tls->templateRva)) {
    return Fail(error, "TLS template lies outside the image");
  }
  tls->templateSize = end - start;
  if (tls->zeroFill > kMaxImageSize) return Fail(error, "TLS zero fill is unreasonably large");
  if (!toRva(indexAddress, 4, &tls->indexRva)) {
    return Fail(error, "TLS index lies outside the image");
  }
  if (callbacksAddress != 0) {
    uint32_t arrayRva = 0;
    for (uint32_t index = 0;; ++index) {
      uint32_t callback = 0, callbackRva = 0;
      if (index == kMaxTlsCallbacks || !toRva(callbacksAddress + 4 * index, 4, &arrayRva)) {
        return Fail(error, "TLS callback list lies outside the image or has no end");
      }
      reader.Read32(arrayRva, &callback);
      if (callback == 0) break;
      if (!toRva(callback, 1, &callbackRva)) {
        return Fail(error, "TLS callback " + FileHex(callback) + " lies outside the image");
      }
      tls->callbackRvas.push_back(callbackRva);
    }
  }
  tls->present = true;
  return true;
}

}  // namespace emulator::pe
