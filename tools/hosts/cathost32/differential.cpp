#include "tools/hosts/cathost32/differential.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "modules/checks/record_checks.h"
#include "tools/common/display_text.h"
#include "tools/hosts/cathost32/emulated_module.h"
#include "tools/hosts/cathost32/emulator.h"
#include "tools/hosts/driver/host_driver.h"

namespace differential {
namespace {

using record_checks::AllAre;
using record_checks::HostRecords;

constexpr uint8_t kClosePattern = 0xA5;
constexpr int32_t kFormatTypePattern = 0x5A5A5A5A;

// One catalogue driven through both modules.
class Comparison {
 public:
  Comparison(const FormatModule& emulated, const FormatModule& native, std::string name,
             std::string file, bool refuseImage, Tally* tally)
      : emulated_(emulated),
        native_(native),
        name_(std::move(name)),
        file_(std::move(file)),
        refuseImage_(refuseImage),
        tally_(tally) {}

  bool Run() {
    bool same = RunCalls();
    if (opened_) {
      // A difference stopped the listing: close both, so that the next catalogue starts clean.
      CloseRecord ignored{};
      native_.closeArchive(&ignored);
      emulated_.closeArchive(&ignored);
    }
    return same;
  }

 private:
  bool RunCalls() {
    std::ifstream in(file_, std::ios::binary);
    std::vector<unsigned char> head(driver::kProbeBytes);
    in.read(reinterpret_cast<char*>(head.data()), driver::kProbeBytes);
    head.resize(static_cast<size_t>(in.gcount()));
    in.clear();
    in.seekg(0, std::ios::end);
    fileSize_ = static_cast<uint64_t>(in.tellg());
    in.close();

    format_ = driver::FormatName(native_) == "MUR" ? record_checks::Format::Mur
                                                   : record_checks::Format::Zex;
    RefuseImageFromNowOn();

    bool accepted = false;
    for (size_t size : {head.size(), size_t{0}, size_t{39}, size_t{40}, size_t{115}, size_t{116}}) {
      if (size > head.size()) continue;
      int nativeResult = native_.isArchive(file_.c_str(), head.data(), uint32_t(size));
      int emulatedResult = emulated_.isArchive(file_.c_str(), head.data(), uint32_t(size));
      Count(0);
      if (!SameResult("IsArchive(" + std::to_string(size) + " bytes)", nativeResult,
                      emulatedResult)) {
        return false;
      }
      if (size == head.size()) accepted = nativeResult == 1;
    }
    if (!accepted) return true;

    if (!OpenBoth("OpenArchive") || !ListToTheEnd() || !CloseBoth("CloseArchive") ||
        !CloseBoth("a second CloseArchive")) {
      return false;
    }
    // A reopen starts from a fresh state; the host may then close before the end.
    if (!OpenBoth("OpenArchive again")) return false;
    for (int item = 0; item < 3 && opened_; ++item) {
      Outcome outcome;
      if (!CompareItem(&outcome)) return false;
      if (!outcome.delivered) break;
    }
    return CloseBoth("CloseArchive after the reopen");
  }

  struct Outcome {
    int result = 0;
    bool delivered = false;
  };

  void Count(uint64_t bytes) {
    tally_->calls += 1;
    tally_->bytesCompared += bytes + sizeof(int);
  }

  bool Differ(const std::string& call, const std::string& what) {
    std::fflush(stdout);
    std::fprintf(stderr, "DIFFERENT: %s: call %llu, %s: %s\n", ShownName(name_).c_str(),
                 static_cast<unsigned long long>(callNumber_), call.c_str(), what.c_str());
    return false;
  }

  bool SameResult(const std::string& call, int nativeResult, int emulatedResult) {
    ++callNumber_;
    if (emulatedResult == emulator::kEmulationFailed) {
      return Differ(call, "the emulated call failed: " + emulator::FirstEmulationFailure());
    }
    if (nativeResult == emulatedResult) return true;
    return Differ(call, "result " + std::to_string(nativeResult) + " (native), " +
                            std::to_string(emulatedResult) + " (DLL)");
  }

  static std::string FirstDifference(const uint8_t* native, const uint8_t* emulated, size_t size,
                                     const char* record) {
    for (size_t i = 0; i < size; ++i) {
      if (native[i] != emulated[i]) {
        char text[128];
        std::snprintf(text, sizeof text, "%s byte %zu: 0x%02X (native), 0x%02X (DLL)", record, i,
                      native[i], emulated[i]);
        return text;
      }
    }
    return {};
  }

  // Takes the whole-file image away (with --refuse-image) and nothing else; the counts start
  // again for each OpenArchive.
  void RefuseImageFromNowOn() {
    emulator::Emulator* machine = emulator::EmulatorOf(emulated_);
    if (machine == nullptr) return;
    if (!refuseImage_) {
      machine->SetHeapRefusals(0xFFFFFFFFu, UINT64_MAX, 0);
      return;
    }
    const emulator::ImageRefusal refusal = emulator::WholeFileImageRefusal(fileSize_);
    machine->SetHeapRefusals(0xFFFFFFFFu, UINT64_MAX, refusal.ofSize, refusal.grantOfSizeFirst);
  }

  bool OpenBoth(const char* call) {
    RefuseImageFromNowOn();
    int32_t nativeType = kFormatTypePattern, emulatedType = kFormatTypePattern;
    int nativeResult = native_.openArchive(file_.c_str(), &nativeType);
    int emulatedResult = emulated_.openArchive(file_.c_str(), &emulatedType);
    Count(sizeof nativeType);
    if (!SameResult(call, nativeResult, emulatedResult)) return false;
    if (nativeType != emulatedType) {
      return Differ(call, "format type " + std::to_string(nativeType) + " (native), " +
                              std::to_string(emulatedType) + " (DLL)");
    }
    opened_ = nativeResult == 1;
    return true;
  }

  bool CloseBoth(const char* call) {
    uint8_t nativeRecord[sizeof(CloseRecord)], emulatedRecord[sizeof(CloseRecord)];
    std::memset(nativeRecord, kClosePattern, sizeof nativeRecord);
    std::memset(emulatedRecord, kClosePattern, sizeof emulatedRecord);
    int nativeResult = native_.closeArchive(reinterpret_cast<CloseRecord*>(nativeRecord));
    int emulatedResult = emulated_.closeArchive(reinterpret_cast<CloseRecord*>(emulatedRecord));
    Count(sizeof nativeRecord);
    // CloseHandle's answer is "nonzero on success": the two systems may say it differently.
    if ((nativeResult != 0) != (emulatedResult != 0) ||
        emulatedResult == emulator::kEmulationFailed) {
      return SameResult(call, nativeResult, emulatedResult);
    }
    ++callNumber_;
    std::string difference =
        FirstDifference(nativeRecord, emulatedRecord, sizeof nativeRecord, "CloseRecord");
    if (!difference.empty()) return Differ(call, difference);
    opened_ = false;
    return true;
  }

  bool ListToTheEnd() {
    if (!opened_) return true;
    const uint64_t bound = record_checks::ItemBound(format_, fileSize_);
    Outcome outcome;
    for (uint64_t delivered = 0;; ++delivered) {
      if (delivered > bound) return Differ("GetArcItem", "more items than the file can hold");
      if (!CompareItem(&outcome)) return false;
      if (!outcome.delivered) break;
    }
    // The end, or a record that could not be read, answers the same when asked again.
    for (int again = 0; again < 2; ++again) {
      if (!CompareItem(&outcome)) return false;
      if (outcome.delivered) return Differ("GetArcItem", "an item after the end");
    }
    return true;
  }

  // Bytes that differ only after the zero byte ending the same text in a field of `size`.
  static bool DiffersOnlyAfterText(const uint8_t* native, const uint8_t* emulated, size_t size) {
    const void* end = std::memchr(native, 0, size);
    if (end == nullptr) return std::memcmp(native, emulated, size) == 0;
    size_t text = static_cast<const uint8_t*>(end) - native + 1;
    return std::memcmp(native, emulated, text) == 0;
  }

  // Whether the records differ only where a short read from the file leaves bytes after a text.
  static bool OnlyBytesAfterTexts(const HostRecords& native, const HostRecords& emulated) {
    constexpr size_t kName = offsetof(ItemRecord, cFileName);
    constexpr size_t kDescription = offsetof(ItemDetails, description);
    return std::memcmp(native.itemBytes, emulated.itemBytes, kName) == 0 &&
           DiffersOnlyAfterText(native.itemBytes + kName, emulated.itemBytes + kName,
                                kFileNameSize) &&
           std::memcmp(native.itemBytes + kName + kFileNameSize,
                       emulated.itemBytes + kName + kFileNameSize,
                       sizeof native.itemBytes - kName - kFileNameSize) == 0 &&
           std::memcmp(native.detailsBytes, emulated.detailsBytes, kDescription) == 0 &&
           DiffersOnlyAfterText(native.detailsBytes + kDescription,
                                emulated.detailsBytes + kDescription, kDescriptionSize) &&
           std::memcmp(native.detailsBytes + kDescription + kDescriptionSize,
                       emulated.detailsBytes + kDescription + kDescriptionSize,
                       sizeof native.detailsBytes - kDescription - kDescriptionSize) == 0;
  }

  // A difference that the missing image explains; counts it and returns true.
  bool ClassifyWithoutImage(int nativeResult, int emulatedResult, bool sameBytes) {
    if (!refuseImage_) return false;
    const bool nothingWritten =
        AllAre(emulated_records_.itemBytes, sizeof emulated_records_.itemBytes,
               record_checks::kItemPattern) &&
        AllAre(emulated_records_.detailsBytes, sizeof emulated_records_.detailsBytes,
               record_checks::kDetailsPattern);
    if ((nativeResult == StatusDamaged || nativeResult == StatusPastEnd) &&
        emulatedResult == StatusReadError && sameBytes && nothingWritten) {
      ++tally_->pastEndAsReadError;
      return true;
    }
    if (nativeResult == StatusDamaged && emulatedResult == StatusOk && sameBytes &&
        format_ == record_checks::Format::Zex) {
      ++tally_->emptyReadAtEnd;
      return true;
    }
    if (nativeResult == StatusDamaged && emulatedResult == StatusDamaged &&
        OnlyBytesAfterTexts(native_records_, emulated_records_)) {
      ++tally_->bytesAfterEmptyText;
      return true;
    }
    return false;
  }

  bool CompareItem(Outcome* outcome) {
    native_records_.Fill();
    emulated_records_.Fill();
    int nativeResult = native_.getArcItem(native_records_.itemOut(), native_records_.detailsOut());
    int emulatedResult =
        emulated_.getArcItem(emulated_records_.itemOut(), emulated_records_.detailsOut());
    Count(sizeof native_records_.itemBytes + sizeof native_records_.detailsBytes);
    ++callNumber_;
    if (emulatedResult == emulator::kEmulationFailed) {
      return Differ("GetArcItem", "the emulated call failed: " + emulator::FirstEmulationFailure());
    }
    std::string difference = FirstDifference(native_records_.itemBytes, emulated_records_.itemBytes,
                                             sizeof native_records_.itemBytes, "ItemRecord");
    if (difference.empty()) {
      difference = FirstDifference(native_records_.detailsBytes, emulated_records_.detailsBytes,
                                   sizeof native_records_.detailsBytes, "ItemDetails");
    }
    if ((nativeResult != emulatedResult || !difference.empty()) &&
        !ClassifyWithoutImage(nativeResult, emulatedResult, difference.empty())) {
      if (nativeResult != emulatedResult) {
        difference = "result " + std::to_string(nativeResult) + " (native), " +
                     std::to_string(emulatedResult) + " (DLL)" +
                     (difference.empty() ? "" : "; " + difference);
      }
      return Differ("GetArcItem", difference);
    }
    // Both sides agree; the records must still keep what a host relies on.
    const char* broken =
        record_checks::Check(native_records_, nativeResult, format_, &outcome->delivered);
    if (broken != nullptr) {
      ++tally_->ruleBroken;
      return Differ("GetArcItem", std::string("both modules broke a rule: ") + broken);
    }
    outcome->result = nativeResult;
    return true;
  }

  const FormatModule& emulated_;
  const FormatModule& native_;
  std::string name_;
  std::string file_;
  bool refuseImage_;
  Tally* tally_;
  uint64_t fileSize_ = 0;
  uint64_t callNumber_ = 0;
  bool opened_ = false;
  record_checks::Format format_ = record_checks::Format::Zex;
  HostRecords native_records_;
  HostRecords emulated_records_;
};

// splitmix64: a small generator whose sequence is the same on every machine.
struct Random {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t Below(uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }
};

uint64_t HashOf(const std::string& text) {
  uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a
  for (unsigned char c : text) hash = (hash ^ c) * 0x100000001B3ull;
  return hash;
}

// A few edits of the kinds that break catalogues: a byte changed, a link or count set to a
// value at or past an edge, a 16-bit field set to an extreme, the file cut short.
std::vector<uint8_t> Mutate(const std::vector<uint8_t>& original, Random& random) {
  std::vector<uint8_t> bytes = original;
  const int edits = 1 + static_cast<int>(random.Below(4));
  for (int edit = 0; edit < edits && !bytes.empty(); ++edit) {
    const uint64_t size = bytes.size();
    switch (random.Below(6)) {
      case 0:
        bytes[random.Below(size)] ^= static_cast<uint8_t>(1u << random.Below(8));
        break;
      case 1:
        bytes[random.Below(size)] = static_cast<uint8_t>(random.Next());
        break;
      case 2:
      case 3: {
        if (size < 4) break;
        const uint32_t values[] = {0,
                                   1,
                                   40,
                                   116,
                                   0x7FFFFFFFu,
                                   0x80000000u,
                                   0xFFFFFFFFu,
                                   static_cast<uint32_t>(size),
                                   static_cast<uint32_t>(size - 1),
                                   static_cast<uint32_t>(size - 40),
                                   static_cast<uint32_t>(random.Below(size))};
        uint32_t value = values[random.Below(std::size(values))];
        uint64_t at = random.Below(size - 3) & ~uint64_t{3};
        std::memcpy(&bytes[at], &value, 4);
        break;
      }
      case 4: {
        if (size < 2) break;
        const uint16_t values[] = {0, 1, 2, 3, 0x7FFF, 0xFFFF, 0xFF9F, 0x0021, 0xBFFF};
        uint16_t value = values[random.Below(std::size(values))];
        uint64_t at = random.Below(size - 1) & ~uint64_t{1};
        std::memcpy(&bytes[at], &value, 2);
        break;
      }
      default:
        bytes.resize(static_cast<size_t>(size - 1 - random.Below(size < 64 ? size : 64)));
        break;
    }
  }
  return bytes;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool CompareConstants(const FormatModule& emulated, const FormatModule& native, Tally* tally) {
  bool same = true;
  auto differ = [&](const std::string& call, const std::string& what) {
    std::fprintf(stderr, "DIFFERENT: %s: %s\n", call.c_str(), what.c_str());
    same = false;
  };
  auto count = [&] {
    tally->calls += 1;
    tally->bytesCompared += 256 + sizeof(int);
  };
  int nativeResult = native.loadFormatModule(nullptr);
  int emulatedResult = emulated.loadFormatModule(nullptr);
  count();
  if (nativeResult != emulatedResult) differ("LoadFormatModule", "results differ");
  for (int32_t formatType : {0, 1, -1}) {
    char nativeName[256], nativeSecond[256], emulatedName[256], emulatedSecond[256];
    for (char* buffer : {nativeName, nativeSecond, emulatedName, emulatedSecond}) {
      std::memset(buffer, 0x77, 256);
    }
    nativeResult = native.getFormatName(formatType, nativeName, nativeSecond);
    emulatedResult = emulated.getFormatName(formatType, emulatedName, emulatedSecond);
    count();
    if (nativeResult != emulatedResult || std::memcmp(nativeName, emulatedName, 256) != 0 ||
        std::memcmp(nativeSecond, emulatedSecond, 256) != 0) {
      differ("GetFormatName(" + std::to_string(formatType) + ")", "results or texts differ");
    }
  }
  for (int32_t formatType : {0, 1}) {
    for (uint32_t index : {0u, 1u, 13u, 14u, 15u, 16u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
      char nativeCommand[256], emulatedCommand[256];
      std::memset(nativeCommand, 0x77, sizeof nativeCommand);
      std::memset(emulatedCommand, 0x77, sizeof emulatedCommand);
      nativeResult = native.getDefaultCommands(formatType, index, nativeCommand);
      emulatedResult = emulated.getDefaultCommands(formatType, index, emulatedCommand);
      count();
      if (nativeResult != emulatedResult ||
          std::memcmp(nativeCommand, emulatedCommand, sizeof nativeCommand) != 0) {
        differ(
            "GetDefaultCommands(" + std::to_string(formatType) + ", " + std::to_string(index) + ")",
            "results or texts differ");
      }
    }
  }
  return same;
}

bool CompareCatalogue(const FormatModule& emulated, const FormatModule& native,
                      const std::string& path, const Settings& settings, Tally* tally) {
  bool same = true;
  auto compare = [&](const std::string& name, const std::string& file) {
    tally->catalogues += 1;
    Comparison comparison(emulated, native, name, file, settings.refuseImage, tally);
    bool ok = comparison.Run();
    if (!ok) tally->different += 1;
    if (ok && settings.verbose) std::printf("same: %s\n", ShownName(name).c_str());
    same = same && ok;
  };
  compare(path, path);
  if (settings.mutations <= 0) return same;

  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> original((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  Random random{settings.seed ^ HashOf(BaseName(path))};
  const std::string copy = settings.workDirectory + "/mutated-" + BaseName(path);
  for (int mutation = 1; mutation <= settings.mutations; ++mutation) {
    std::vector<uint8_t> bytes = Mutate(original, random);
    {
      std::ofstream out(copy, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(bytes.data()),
                static_cast<std::streamsize>(bytes.size()));
      if (!out) {
        std::fprintf(stderr, "cannot write %s\n", ShownName(copy).c_str());
        return false;
      }
    }
    compare(path + " (mutation " + std::to_string(mutation) + ")", copy);
  }
  std::remove(copy.c_str());
  return same;
}

}  // namespace differential
