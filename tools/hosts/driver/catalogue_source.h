// What the user named, made something a module can open: the modules open a catalogue by its
// name and read it as a whole file, so standard input ("-"), a pipe (`cathost <(cat x.mur)`)
// and a gzip-compressed catalogue are copied, decompressed where needed, into an anonymous
// memory file (Linux: memfd_create, sealed once written) whose /proc/self/fd path the modules
// are given. A plain regular file is given by its own name, as before.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/hosts/driver/host_driver.h"

namespace driver {

// The most a catalogue copied into memory may hold, decompressed: 1 GiB. A catalogue's own
// sizes are 32-bit, but every byte copied is memory held while the catalogue is listed, and a
// few kilobytes of gzip data can decompress to gigabytes: the copy stops here with an error.
constexpr uint64_t kMaxCopiedBytes = uint64_t{1} << 30;

class CatalogueSource {
 public:
  CatalogueSource() = default;
  ~CatalogueSource() { Close(); }
  CatalogueSource(const CatalogueSource&) = delete;
  CatalogueSource& operator=(const CatalogueSource&) = delete;

  // Probes what `named` holds, as ProbeCatalogue does (the same statuses and reasons), and
  // readies it for listing. Standard input, a pipe or a gzip-compressed file is copied into
  // memory (probed on its first kProbeBytes as they arrive: one that no module accepts is not
  // read further); `probeOnly` stops there, for a caller that only asks whether a module
  // accepts it (Path() is then the name). A pipe that no program writes to is an empty file;
  // past the limit, or on damaged gzip data, the file cannot be read (kExitCannotRead, the
  // reason says which).
  Probe Open(const std::vector<FormatModule>& modules, const std::string& named,
             bool probeOnly = false);

  // What the modules are to open: the name itself for a plain file, else the memory file's
  // /proc/self/fd path. Valid until the next Open or the source goes.
  const std::string& Path() const { return path_; }
  // Whether the catalogue was copied into memory.
  bool InMemory() const { return memory_ >= 0; }
  // The most a copy may hold, kMaxCopiedBytes unless set.
  void SetLimit(uint64_t bytes) { limit_ = bytes; }

 private:
  void Close();
  Probe Copy(const std::vector<FormatModule>& modules, int in, bool probeOnly);

  std::string named_;
  std::string path_;
  int memory_ = -1;
  uint64_t limit_ = kMaxCopiedBytes;
};

}  // namespace driver
