// libFuzzer target for one format module, whose sources are compiled into the binary. The
// input is the whole catalogue file. One source, built four times:
//   FUZZ_FORMAT_ZEX / FUZZ_FORMAT_MUR  which module is linked in (both define the same seven
//                                      entry points, so one module per binary)
//   FUZZ_HOST_ORDER=1  the host's calling order: the probe decides, the listing stops at the
//                      first result other than 1, a few calls follow, then CloseArchive twice
//   FUZZ_HOST_ORDER=0  the walk itself: open whatever the bytes are and go on while items are
//                      delivered (results 1 and 2), so damaged catalogues are walked too; each
//                      input is walked twice, the second time with the whole-file image
//                      refused, so that the reads that go to the file are fuzzed as well
//
// Every call is checked by record_checks.h; besides, a call that delivers nothing is answered
// the same way when repeated, a failed OpenArchive holds no file, and the number of delivered
// items stays within what the file can hold (more is an endless listing). A breach aborts,
// which libFuzzer reports as a crash.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "modules/checks/record_checks.h"
#include "fuzz/image_refusal.h"
#include "modules/interface/host_interface.h"

namespace {

using record_checks::Format;
using record_checks::HostRecords;

#if defined(FUZZ_FORMAT_ZEX)
constexpr Format kFormat = Format::Zex;
#elif defined(FUZZ_FORMAT_MUR)
constexpr Format kFormat = Format::Mur;
#else
#error "define FUZZ_FORMAT_ZEX or FUZZ_FORMAT_MUR"
#endif

[[noreturn]] void Fail(const char* what, int call, int result) {
  std::fprintf(stderr, "listing_fuzzer: %s (call %d, result %d)\n", what, call, result);
  std::abort();
}

// The input as a file the module can open by name: an anonymous memory file, rewritten for
// every input and opened through /proc as an ordinary path.
struct InputFile {
  int fd = -1;
  std::string path;
};

const InputFile& TheInputFile() {
  static const InputFile file = [] {
    InputFile made;
    made.fd = memfd_create("catalogue", 0);
    if (made.fd < 0) {
      std::perror("memfd_create");
      std::abort();
    }
    made.path = "/proc/self/fd/" + std::to_string(made.fd);
    return made;
  }();
  return file;
}

void WriteInput(const uint8_t* data, size_t size) {
  const InputFile& file = TheInputFile();
  if (ftruncate(file.fd, 0) != 0 ||
      (size != 0 && pwrite(file.fd, data, size, 0) != static_cast<ssize_t>(size))) {
    std::perror("writing the input file");
    std::abort();
  }
}

HostRecords gRecords;

// One GetArcItem call with freshly filled records, checked. Returns the result.
int Next(int call, bool* delivered, uint32_t* version) {
  gRecords.Fill();
  const int result = GetArcItem(gRecords.itemOut(), gRecords.detailsOut());
  if (const char* broken = record_checks::Check(gRecords, result, kFormat, delivered)) {
    Fail(broken, call, result);
  }
  if (*delivered) {
    const uint32_t itemVersion = gRecords.details().formatVersion;
    if (*version != 0 && itemVersion != *version) Fail("formatVersion changed", call, result);
    *version = itemVersion;
  }
  return result;
}

int Close() {
  int closed = 0;
  if (const char* broken = record_checks::CheckedClose(CloseArchive, &closed)) {
    Fail(broken, -1, closed);
  }
  return closed;
}

void ConstantEntryPoints(const uint8_t* data, size_t size) {
  if (LoadFormatModule(nullptr) != 0) Fail("LoadFormatModule", -1, 1);
  char name[64];
  char second[64];
  if (GetFormatName(0, name, second) != 1 || std::strcmp(name, second) != 0) {
    Fail("GetFormatName", -1, 0);
  }
  uint32_t index = 14;
  if (size >= 4) std::memcpy(&index, data, 4);
  char command[kFileNameSize];
  std::memset(command, record_checks::kItemPattern, sizeof command);
  const int served = GetDefaultCommands(0, index, command);
  if (served != (index < kCommandCount ? 1 : 0)) Fail("GetDefaultCommands result", -1, served);
  if (served == 0 && !record_checks::AllAre(command, sizeof command, record_checks::kItemPattern)) {
    Fail("GetDefaultCommands wrote on refusal", -1, served);
  }
}

// Opens the input file and drives the listing; see the top of the file.
void ListInput(size_t size) {
  int32_t formatType = -7;
  if (OpenArchive(TheInputFile().path.c_str(), &formatType) != 1) {
    if (formatType != -7) Fail("a failed OpenArchive wrote the format type", -1, 0);
    if (Close() != 0) Fail("a failed OpenArchive left the file open", -1, 0);
    return;
  }
  if (formatType != 0) Fail("OpenArchive format type", -1, formatType);

  const uint64_t bound = record_checks::ItemBound(kFormat, size);
  uint64_t count = 0;
  uint32_t version = 0;
  int call = 0;
  bool delivered = false;
  int result = StatusEnd;
  for (;; ++call) {
    result = Next(call, &delivered, &version);
    if (!delivered) break;
    if (++count > bound) Fail("endless listing: more items than the file can hold", call, 0);
    if (FUZZ_HOST_ORDER && result != StatusOk) break;
  }

  // After the end every call returns 0; after a record that could not be read the same
  // record is tried again with the same result. After a damaged item the host stops; the
  // further calls only have to keep to the rules.
  for (int again = 0; again < 3; ++again) {
    bool deliveredAgain = false;
    const int repeated = Next(++call, &deliveredAgain, &version);
    if (!delivered && (repeated != result || deliveredAgain)) {
      Fail("a call after the end or a failed record changed its answer", call, repeated);
    }
  }

  if (Close() == 0) Fail("CloseArchive did not close the file", call, 0);
  if (Close() != 0) Fail("a repeated CloseArchive closed something", call, 0);
  if (Next(++call, &delivered, &version) != StatusEnd) Fail("GetArcItem after close", call, 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ConstantEntryPoints(data, size);
  const int accepted = IsArchive("candidate", data, static_cast<uint32_t>(size));
  if (accepted != 0 && accepted != 1) Fail("IsArchive result", -1, accepted);
  if (FUZZ_HOST_ORDER && accepted == 0) return 0;

  WriteInput(data, size);
  ListInput(size);
  if (!FUZZ_HOST_ORDER) {
    gRefuseImage = true;
    ListInput(size);
    gRefuseImage = false;
  }
  return 0;
}
