// Listing benchmarks: both format modules, loaded as the host loads them and driven through
// their exported entry points, against two floors that the same run measures:
//   - the read floor: one sequential read of the same file into a fresh heap buffer (and, for
//     reference, into a fresh 2 MiB-aligned buffer advised for huge pages);
//   - the fill floor: a loop writing the same item and details records from pre-decoded data
//     (the module's own results, stored compactly), with no decoding at all.
// At the end it prints each module's figures as ratios to those floors, the growth of the cost
// per item from the smallest to the largest catalogue, and the peak memory of one listing.
//
// Own options (before or among Google Benchmark's): --sizes=10k,100k,1M picks the catalogue
// sizes; --write-catalogues=DIR writes the catalogues to DIR and exits; --make-tree=DIR with
// --tree-items=N writes a generated tree of N items as empty files (for the peer comparison)
// together with its MUR catalogue (DIR.mur) and a ZEX catalogue of as many items (DIR.zex).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "bench/corpus.h"
#include "tools/hosts/driver/module_loader.h"

namespace {

constexpr uint64_t kSeed = 20240611;
constexpr size_t kHugePage = size_t{2} << 20;

struct Size {
  std::string label;
  uint64_t items;
};

struct Catalogue {
  std::string format;  // "zex" or "mur"
  std::string label;   // "10k", ...
  std::string path;
  uint64_t items = 0;
  uint64_t fileSize = 0;
};

// One module's listing, decoded once, for the fill floor.
struct Decoded {
  struct Item {
    uint32_t attributes;
    uint32_t size;
    FileTime time;
    uint32_t path;  // offsets into `text`
    uint32_t alternate;
    uint32_t description;
    uint16_t pathLength;
    uint16_t alternateLength;
    uint16_t descriptionLength;
  };
  std::vector<Item> items;
  std::string text;
  char hostSystem[kHostSystemSize] = {};
  size_t hostSystemLength = 0;
  uint32_t formatVersion = 0;
  bool writesAlternate = false;
};

FormatModule gZex;
FormatModule gMur;
ItemRecord gItem;
ItemDetails gDetails;

const FormatModule& ModuleFor(const std::string& format) {
  return format == "zex" ? gZex : gMur;
}

[[noreturn]] void Die(const std::string& message) {
  std::fprintf(stderr, "catalogue_bench: %s\n", message.c_str());
  std::exit(1);
}

// The host's order of calls for one whole listing; returns the number of items delivered.
uint64_t ListAll(const FormatModule& module, const char* path) {
  int32_t formatType = -1;
  if (module.openArchive(path, &formatType) != 1) Die(std::string("cannot open ") + path);
  uint64_t items = 0;
  while (module.getArcItem(&gItem, &gDetails) == StatusOk) ++items;
  CloseRecord close{};
  module.closeArchive(&close);
  return items;
}

Decoded Decode(const Catalogue& catalogue) {
  const FormatModule& module = ModuleFor(catalogue.format);
  Decoded decoded;
  decoded.writesAlternate = catalogue.format == "zex";
  int32_t formatType = -1;
  if (module.openArchive(catalogue.path.c_str(), &formatType) != 1)
    Die("cannot open " + catalogue.path);
  for (;;) {
    gDetails.description[0] = '\0';
    if (module.getArcItem(&gItem, &gDetails) != StatusOk) break;
    Decoded::Item item{};
    item.attributes = gItem.dwFileAttributes;
    item.size = gItem.nFileSizeLow;
    item.time = gItem.ftLastWriteTime;
    auto keep = [&decoded](const char* text, uint32_t* at, uint16_t* length) {
      *at = static_cast<uint32_t>(decoded.text.size());
      *length = static_cast<uint16_t>(std::strlen(text));
      decoded.text.append(text, *length + 1u);
    };
    keep(gItem.cFileName, &item.path, &item.pathLength);
    if (decoded.writesAlternate)
      keep(gItem.cAlternateFileName, &item.alternate, &item.alternateLength);
    keep(gDetails.description, &item.description, &item.descriptionLength);
    decoded.items.push_back(item);
    std::memcpy(decoded.hostSystem, gDetails.hostSystem, sizeof decoded.hostSystem);
    decoded.hostSystemLength = std::strlen(gDetails.hostSystem);
    decoded.formatVersion = gDetails.formatVersion;
  }
  CloseRecord close{};
  module.closeArchive(&close);
  return decoded;
}

void SetPerItem(benchmark::State& state, uint64_t items) {
  state.counters["items"] = static_cast<double>(items);
  state.counters["per_item"] =
      benchmark::Counter(static_cast<double>(items), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

// open, every item, close.
void BenchList(benchmark::State& state, const Catalogue* catalogue) {
  const FormatModule& module = ModuleFor(catalogue->format);
  uint64_t items = 0;
  for (auto _ : state) items = ListAll(module, catalogue->path.c_str());
  if (items != catalogue->items) state.SkipWithError("unexpected item count");
  SetPerItem(state, catalogue->items);
}

// Every item with the catalogue already open: the warm cost per item.
void BenchItems(benchmark::State& state, const Catalogue* catalogue) {
  const FormatModule& module = ModuleFor(catalogue->format);
  uint64_t items = 0;
  for (auto _ : state) {
    state.PauseTiming();
    int32_t formatType = -1;
    if (module.openArchive(catalogue->path.c_str(), &formatType) != 1) Die("cannot open");
    items = 0;
    state.ResumeTiming();
    while (module.getArcItem(&gItem, &gDetails) == StatusOk) ++items;
    state.PauseTiming();
    CloseRecord close{};
    module.closeArchive(&close);
    state.ResumeTiming();
  }
  if (items != catalogue->items) state.SkipWithError("unexpected item count");
  SetPerItem(state, catalogue->items);
}

// OpenArchive alone: open the file, hold the whole of it in memory, read the header.
void BenchOpen(benchmark::State& state, const Catalogue* catalogue) {
  const FormatModule& module = ModuleFor(catalogue->format);
  for (auto _ : state) {
    int32_t formatType = -1;
    if (module.openArchive(catalogue->path.c_str(), &formatType) != 1) Die("cannot open");
    state.PauseTiming();
    CloseRecord close{};
    module.closeArchive(&close);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * catalogue->fileSize));
}

void* FreshBuffer(size_t size, bool huge) {
  if (!huge) return std::malloc(size);
  const size_t rounded = (size + kHugePage - 1) & ~(kHugePage - 1);
  void* buffer = std::aligned_alloc(kHugePage, rounded);
  if (buffer != nullptr) ::madvise(buffer, rounded, MADV_HUGEPAGE);
  return buffer;
}

// The read floor: open, a fresh buffer, one sequential read of the whole file.
void BenchReadFloor(benchmark::State& state, const Catalogue* catalogue, bool huge) {
  const size_t size = catalogue->fileSize;
  for (auto _ : state) {
    const int fd = ::open(catalogue->path.c_str(), O_RDONLY | O_CLOEXEC);
    auto* buffer = static_cast<char*>(FreshBuffer(size, huge));
    if (fd < 0 || buffer == nullptr) Die("read floor: open or allocation failed");
    size_t done = 0;
    while (done < size) {
      const ssize_t got = ::read(fd, buffer + done, size - done);
      if (got <= 0) Die("read floor: short read");
      done += static_cast<size_t>(got);
    }
    benchmark::DoNotOptimize(buffer);
    state.PauseTiming();
    std::free(buffer);
    ::close(fd);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// The fill floor: the same stores the module makes for each item, from decoded data, one
// call per item through a function pointer, as the host calls GetArcItem.
struct FillCursor {
  const Decoded* decoded;
  const Decoded::Item* next;
};

__attribute__((noinline)) int FillOne(FillCursor* cursor, ItemRecord* item, ItemDetails* details) {
  const Decoded& decoded = *cursor->decoded;
  const Decoded::Item& d = *cursor->next++;
  const char* text = decoded.text.data();
  item->dwFileAttributes = d.attributes;
  item->ftCreationTime = d.time;
  item->ftLastAccessTime = d.time;
  item->ftLastWriteTime = d.time;
  item->nFileSizeHigh = 0;
  item->nFileSizeLow = d.size;
  item->packedSizeHigh = 0;
  item->packedSizeLow = d.size;
  std::memcpy(item->cFileName, text + d.path, d.pathLength + 1u);
  if (decoded.writesAlternate) {
    std::memcpy(item->cAlternateFileName, text + d.alternate, d.alternateLength + 1u);
  }
  if (d.descriptionLength != 0) {
    std::memcpy(details->description, text + d.description, d.descriptionLength + 1u);
  }
  std::memcpy(details->hostSystem, decoded.hostSystem, decoded.hostSystemLength + 1);
  details->formatVersion = decoded.formatVersion;
  return StatusOk;
}

void BenchFill(benchmark::State& state, const Decoded* decoded) {
  int (*volatile fill)(FillCursor*, ItemRecord*, ItemDetails*) = FillOne;
  for (auto _ : state) {
    FillCursor cursor{decoded, decoded->items.data()};
    const Decoded::Item* end = cursor.next + decoded->items.size();
    while (cursor.next != end) {
      if (fill(&cursor, &gItem, &gDetails) != StatusOk) break;
    }
    benchmark::ClobberMemory();
  }
  SetPerItem(state, decoded->items.size());
}

// --- Peak memory of one listing --------------------------------------------------------------

uint64_t StatusField(const char* field) {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return 0;
  char line[256];
  uint64_t kib = 0;
  const size_t length = std::strlen(field);
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, field, length) == 0) kib = std::strtoull(line + length + 1, nullptr, 10);
  }
  std::fclose(status);
  return kib * 1024;
}

// The growth of the resident set during one listing, measured in a fresh process (this
// program again, in its --peak mode), whose high-water mark before the open is its whole
// resident set: the benchmark process itself has held far more.
int64_t ListingPeak(const Catalogue& catalogue) {
  std::error_code error;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe", error).string();
  if (error) return -1;
  const std::string command = self + " --peak=" + catalogue.format + ":" + catalogue.path;
  FILE* child = ::popen(command.c_str(), "r");
  if (child == nullptr) return -1;
  long long peak = -1;
  if (std::fscanf(child, "%lld", &peak) != 1) peak = -1;
  ::pclose(child);
  return peak;
}

int PeakMode(const std::string& request) {
  const size_t colon = request.find(':');
  const std::string format = request.substr(0, colon);
  std::string error;
  FormatModule& module = format == "zex" ? gZex : gMur;
  const char* override =
      std::getenv(format == "zex" ? "CATALOGUE_BENCH_ZEX" : "CATALOGUE_BENCH_MUR");
  const char* path = override != nullptr ? override : format == "zex" ? ZEX_FMT_PATH : MUR_FMT_PATH;
  if (!LoadFormatModuleFile(path, &module, &error)) {
    Die(error);
  }
  module.loadFormatModule(nullptr);
  const uint64_t before = StatusField("VmHWM:");
  ListAll(module, request.c_str() + colon + 1);
  std::printf("%lld\n",
              static_cast<long long>(StatusField("VmHWM:")) - static_cast<long long>(before));
  return 0;
}

// --- Results and the summary --------------------------------------------------------------

// Median seconds per iteration of each benchmark, by name.
std::map<std::string, double> gSeconds;

class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const double seconds =
          run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      const std::string name = run.run_name.function_name;
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median") gSeconds[name] = seconds;
      } else {
        samples_[name].push_back(seconds);
        // Without repetitions the single run stands; a median aggregate replaces it.
        std::vector<double> sorted = samples_[name];
        std::sort(sorted.begin(), sorted.end());
        gSeconds[name] = sorted[sorted.size() / 2];
      }
    }
  }

 private:
  std::map<std::string, std::vector<double>> samples_;
};

// NaN when the benchmark did not run (filtered out), so that its ratios print as "nan".
double Seconds(const std::string& name) {
  auto found = gSeconds.find(name);
  return found == gSeconds.end() ? std::numeric_limits<double>::quiet_NaN() : found->second;
}

const char* Verdict(bool met) {
  return met ? "met" : "NOT MET";
}

void PrintSummary(const std::vector<Catalogue>& catalogues) {
  std::printf("\n== Ratios (median CPU time per iteration; floors measured in this run) ==\n");
  std::printf("%-4s %5s %9s | %9s %9s %9s | %10s %6s\n", "fmt", "size", "items", "list ns",
              "items ns", "fill ns", "items/fill", "target");
  for (const Catalogue& c : catalogues) {
    const std::string key = c.format + "/" + c.label;
    const double n = static_cast<double>(c.items);
    const double list = Seconds("list/" + key) / n * 1e9;
    const double items = Seconds("items/" + key) / n * 1e9;
    const double fill = Seconds("fill_floor/" + key) / n * 1e9;
    const double limit = c.format == "zex" ? 2.0 : 3.0;
    std::printf("%-4s %5s %9llu | %9.1f %9.1f %9.1f | %10.2f <=%.0f %s\n", c.format.c_str(),
                c.label.c_str(), static_cast<unsigned long long>(c.items), list, items, fill,
                items / fill, limit, Verdict(items / fill <= limit));
  }
  std::printf("\n%-4s %5s %9s | %9s %10s %10s | %10s %6s\n", "fmt", "size", "file MB", "open ms",
              "floor ms", "huge ms", "open/floor", "target");
  for (const Catalogue& c : catalogues) {
    const std::string key = c.format + "/" + c.label;
    const double open = Seconds("open/" + key) * 1e3;
    const double floor = Seconds("read_floor/" + key) * 1e3;
    const double huge = Seconds("read_floor_huge/" + key) * 1e3;
    std::printf("%-4s %5s %9.1f | %9.2f %10.2f %10.2f | %10.2f <=1.5 %s\n", c.format.c_str(),
                c.label.c_str(), static_cast<double>(c.fileSize) / 1e6, open, floor, huge,
                open / floor, Verdict(open / floor <= 1.5));
  }
  std::printf(
      "\nGrowth of the cost per item, largest catalogue against the smallest (target <= 1.20):\n");
  for (const std::string format : {"zex", "mur"}) {
    const Catalogue* small = nullptr;
    const Catalogue* large = nullptr;
    for (const Catalogue& c : catalogues) {
      if (c.format != format) continue;
      if (small == nullptr || c.items < small->items) small = &c;
      if (large == nullptr || c.items > large->items) large = &c;
    }
    if (small == nullptr || small == large) continue;
    for (const std::string kind : {"items", "list"}) {
      const double a =
          Seconds(kind + "/" + format + "/" + small->label) / static_cast<double>(small->items);
      const double b =
          Seconds(kind + "/" + format + "/" + large->label) / static_cast<double>(large->items);
      std::printf("  %s %-5s %s %.1f ns -> %s %.1f ns: %.2f %s\n", format.c_str(), kind.c_str(),
                  small->label.c_str(), a * 1e9, large->label.c_str(), b * 1e9, b / a,
                  Verdict(b / a <= 1.20));
    }
  }
  std::printf(
      "\nPeak memory of one listing (growth of the resident set of a fresh process, median of "
      "3):\n");
  for (const Catalogue& c : catalogues) {
    std::vector<int64_t> peaks;
    for (int i = 0; i < 3; ++i) peaks.push_back(ListingPeak(c));
    std::sort(peaks.begin(), peaks.end());
    if (peaks[1] < 0) {
      std::printf("  %s %-5s peak not measured\n", c.format.c_str(), c.label.c_str());
      continue;
    }
    const double peak = static_cast<double>(peaks[1]) / (1 << 20);
    const double file = static_cast<double>(c.fileSize) / (1 << 20);
    const double limit = file + 2 + (c.format == "mur" ? file / 8 : 0);
    std::printf("  %s %-5s file %8.2f MiB, peak %8.2f MiB, limit %8.2f MiB: %s\n", c.format.c_str(),
                c.label.c_str(), file, peak, limit, Verdict(peak <= limit));
  }
}

// --- Setup --------------------------------------------------------------------------------

std::vector<Size> ParseSizes(const std::string& list) {
  std::vector<Size> sizes;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t end = std::min(list.find(',', start), list.size());
    const std::string label = list.substr(start, end - start);
    uint64_t value = std::strtoull(label.c_str(), nullptr, 10);
    if (label.ends_with("k")) value *= 1000;
    if (label.ends_with("M")) value *= 1000000;
    if (value == 0) Die("bad size " + label);
    sizes.push_back({label, value});
    start = end + 1;
  }
  return sizes;
}

Catalogue WriteCatalogue(const std::string& dir, const std::string& format, const Size& size) {
  Catalogue c{format, size.label, dir + "/" + size.label + "." + format, 0, 0};
  std::vector<uint8_t> bytes;
  if (format == "zex") {
    bytes = bench::MakeZex(size.items, kSeed, &c.items);
  } else {
    const bench::GenTree tree = bench::MakeTree(size.items, kSeed);
    bytes = bench::MakeMur(tree);
    c.items = tree.items;
  }
  if (!bench::WriteBytes(c.path, bytes)) Die("cannot write " + c.path);
  c.fileSize = bytes.size();
  return c;
}

int MakePeerTree(const std::string& root, uint64_t items) {
  const bench::GenTree tree = bench::MakeTree(items, kSeed);
  std::string error;
  if (!bench::WriteTreeToDisk(tree, root, &error)) Die(error);
  if (!bench::WriteBytes(root + ".mur", bench::MakeMur(tree))) Die("cannot write " + root + ".mur");
  uint64_t zexItems = 0;
  if (!bench::WriteBytes(root + ".zex", bench::MakeZex(items, kSeed, &zexItems)))
    Die("cannot write");
  std::printf("%llu %llu\n", static_cast<unsigned long long>(tree.items),
              static_cast<unsigned long long>(zexItems));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Every large block fresh from the system, as in a host that opens one catalogue: glibc
  // otherwise raises its mmap threshold after the first large free and serves later images
  // and floor buffers from heap pages it already holds, which hides the page faults that
  // dominate the cost of reading a big file. Setting the threshold fixes it at its initial
  // value, before anything large is allocated.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  std::string sizeList = "10k,100k,1M";
  std::string writeDir;
  std::string treeRoot;
  uint64_t treeItems = 1'000'000;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--sizes=")) {
      sizeList = arg.substr(8);
    } else if (arg.starts_with("--write-catalogues=")) {
      writeDir = arg.substr(19);
    } else if (arg.starts_with("--make-tree=")) {
      treeRoot = arg.substr(12);
    } else if (arg.starts_with("--peak=")) {
      return PeakMode(std::string(arg.substr(7)));
    } else if (arg.starts_with("--tree-items=")) {
      treeItems = std::strtoull(argv[i] + 13, nullptr, 10);
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (!treeRoot.empty()) return MakePeerTree(treeRoot, treeItems);

  std::string error;
  // Other builds of the modules (an earlier commit, for before-and-after figures) may be
  // named in CATALOGUE_BENCH_ZEX and CATALOGUE_BENCH_MUR.
  const char* zexPath = std::getenv("CATALOGUE_BENCH_ZEX");
  const char* murPath = std::getenv("CATALOGUE_BENCH_MUR");
  if (!LoadFormatModuleFile(zexPath != nullptr ? zexPath : ZEX_FMT_PATH, &gZex, &error)) Die(error);
  if (!LoadFormatModuleFile(murPath != nullptr ? murPath : MUR_FMT_PATH, &gMur, &error)) Die(error);
  gZex.loadFormatModule(nullptr);
  gMur.loadFormatModule(nullptr);

  const bool keep = !writeDir.empty();
  std::string dir = writeDir;
  if (!keep) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/catalogue_bench.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) Die("cannot make a temporary folder");
    dir = pattern;
  }
  std::vector<Catalogue> catalogues;
  for (const std::string format : {"zex", "mur"}) {
    for (const Size& size : ParseSizes(sizeList)) {
      catalogues.push_back(WriteCatalogue(dir, format, size));
      const Catalogue& c = catalogues.back();
      std::fprintf(stderr, "catalogue %s: %llu items, %llu bytes\n", c.path.c_str(),
                   static_cast<unsigned long long>(c.items),
                   static_cast<unsigned long long>(c.fileSize));
      const uint64_t listed = ListAll(ModuleFor(format), c.path.c_str());
      if (listed != c.items) Die(c.path + ": listed " + std::to_string(listed) + " items");
    }
  }
  if (keep) return 0;

  std::vector<Decoded> decoded;
  decoded.reserve(catalogues.size());
  for (const Catalogue& c : catalogues) decoded.push_back(Decode(c));
  for (size_t i = 0; i < catalogues.size(); ++i) {
    const Catalogue* c = &catalogues[i];
    const std::string key = c->format + "/" + c->label;
    benchmark::RegisterBenchmark(("read_floor/" + key).c_str(), BenchReadFloor, c, false)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("read_floor_huge/" + key).c_str(), BenchReadFloor, c, true)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("open/" + key).c_str(), BenchOpen, c)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("fill_floor/" + key).c_str(), BenchFill, &decoded[i])
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("items/" + key).c_str(), BenchItems, c)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("list/" + key).c_str(), BenchList, c)
        ->Unit(benchmark::kMillisecond);
  }

  int restCount = static_cast<int>(rest.size());
  benchmark::Initialize(&restCount, rest.data());
  if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintSummary(catalogues);
  benchmark::Shutdown();

  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  UnloadFormatModule(&gZex);
  UnloadFormatModule(&gMur);
  return 0;
}
