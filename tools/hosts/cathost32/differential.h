// Call-by-call comparison of an emulated 32-bit DLL with the matching native module: both are
// driven through the same calls on the same file, with records filled with the same pattern,
// and every result code and every byte of every record is compared after every call.
#pragma once

#include <cstdint>
#include <string>

#include "tools/hosts/driver/module_loader.h"

namespace differential {

struct Tally {
  uint64_t catalogues = 0;
  uint64_t calls = 0;  // calls made on each side
  uint64_t bytesCompared = 0;
  // Differences that the missing whole-file image makes by rule (see Compare).
  uint64_t pastEndAsReadError = 0;
  uint64_t emptyReadAtEnd = 0;
  uint64_t bytesAfterEmptyText = 0;
  uint64_t different = 0;   // catalogues with a difference no rule explains
  uint64_t ruleBroken = 0;  // calls after which a record broke what a host relies on
};

struct Settings {
  // The DLL goes without its whole-file image (the emulated heap refuses the file's size),
  // while the native module keeps its own. Without the image the ranged read answers three
  // cases differently, and each is counted apart rather than called a difference:
  //   - a record that runs past or begins after the end gives 4 instead of 2 or 3;
  //   - a read of 0 bytes at the end gives 1 instead of 3 (a description of length 0 whose
  //     text would begin at the end of the file: the item's result 1 instead of 2);
  //   - a short read leaves file bytes in the host's text field after its (empty) text.
  bool refuseImage = false;
  // Mutated copies of each catalogue to compare as well, and the seed that makes them.
  int mutations = 0;
  uint64_t seed = 1;
  std::string workDirectory = "/tmp";  // where mutated copies are written
  bool verbose = false;                // a line for every catalogue, not only the different
};

// Compares the module pair on the calls that take no catalogue (LoadFormatModule,
// GetFormatName, GetDefaultCommands). False when they differ (reported on stderr).
bool CompareConstants(const FormatModule& emulated, const FormatModule& native, Tally* tally);

// Compares the pair on the catalogue at `path` and its mutated copies. False when a
// difference was found (reported on stderr, with the call and the first differing byte).
bool CompareCatalogue(const FormatModule& emulated, const FormatModule& native,
                      const std::string& path, const Settings& settings, Tally* tally);

}  // namespace differential
