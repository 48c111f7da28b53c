// cathost: the reference host. Loads format modules, drives them in the archive host's order
// of calls and prints what they list, as text lines, JSON Lines or a count.
#include "tools/hosts/driver/cathost_run.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include "catalogue_version.h"
#include "tools/common/display_text.h"
#include "tools/common/exit_status.h"
#include "tools/common/glob_match.h"
#include "tools/common/item_format.h"
#include "tools/common/option_parser.h"
#include "tools/common/output_buffer.h"
#include "tools/hosts/driver/catalogue_source.h"
#include "tools/hosts/driver/host_driver.h"

namespace {

// The host being run: its name in messages and how it loads modules.
const HostSetup* gSetup = nullptr;

// After "Usage: PROGRAM".
constexpr char kUsage[] = R"( [options] CATALOGUE...

Lists disk catalogues through format modules, calling each module as the archive host does:
IsArchive on the first bytes of the file, OpenArchive, GetArcItem until it stops returning 1,
then CloseArchive. A CATALOGUE of - is standard input; one read from a pipe, and one
compressed with gzip, is copied (decompressed) into memory first, 1 GiB at most.

Options:
  --module PATH   use this format module (also --module=PATH); repeated, these modules
                  only, in the order given. Without it, the host loads every *_fmt.so
                  (Windows: *_fmt.dll) beside its own executable (Linux: when none is
                  there, in the installed module folder), in name order, and uses the
                  first whose IsArchive accepts the file.
  --match GLOB    list only the items whose path (decoded to UTF-8) the glob matches, as
                  catfind's globs do: * any run of characters, backslashes too, ? one
                  character, [...] one of a set; case counts. Repeated: any of them.
  --json          one JSON object per item (JSON Lines) with every field of the records.
  --count         print only the number of items (after a failure: the items delivered
                  before it). With several catalogues, as wc does: a "COUNT NAME" line for
                  each catalogue that opened, then "COUNT total". Not with --json or
                  --total.
  --total         end each catalogue's listing with its sums:
                    total: F files, D folders, B bytes
                    {"catalogue":NAME,"total":{"files":F,"folders":D,"bytes":B}} (JSON)
                  and, with several catalogues, the whole run's after a blank line:
                    total: F files, D folders, B bytes in N catalogues
                    {"total":{"catalogues":N,"files":F,"folders":D,"bytes":B}} (JSON)
  --local-time    show text lines' times in the local time zone instead of UTC.
  --raw           print item texts as the module's bytes instead of decoding them from
                  code page 437 to UTF-8; control bytes (below 0x20, and 0x7F) become
                  \ooo octal escapes (in JSON: bytes above 0x7E become \u00XX).
  --keep-going    after a damaged item (result 2) that was still delivered, go on listing;
                  the exit status still reports the damage.
  --list-modules  print each module found and its format name, then exit.
  -h, --help      show this text.
  --version       show the version.

Without --keep-going the listing stops at the first GetArcItem result other than 1, as the
archive host's does.
Items are numbered from 1 in listing order, in JSON ("index") and in error messages.

Text lines: attributes (d directory, r read-only, h hidden, s system, a archive, o offline;
'-' when absent), size, last write time (UTC unless --local-time; JSON times are always UTC),
path and, if present, "  -- " and the description. With several catalogues, as head does, a
"==> NAME <==" line comes before each one's items, and a blank line between catalogues.

Exit status (with several catalogues, the highest of theirs: the table runs from the
mildest failure to the gravest):
   0  every catalogue listed completely
   1  no format module accepts the file
   2  damaged catalogue (GetArcItem result 2)
   3  record past the end of the file (GetArcItem result 3)
   4  read error (GetArcItem result 4)
   5  OpenArchive failed
   6  no such file
   7  is a directory
   8  cannot read the file (permission or I/O; past 1 GiB in memory; damaged gzip data)
   9  empty file
  10  a module cannot be loaded or is not a format module; or no module was found
  11  cannot write the listing (or the text of --help or --version)
  12  a module returned an unknown result code
  13  a module broke the host's rules in a way only an emulating host sees (cathost32)
  64  usage error
)";

struct Options {
  std::vector<std::string> modulePaths;
  std::vector<std::string> matches;
  bool json = false;
  bool count = false;
  bool total = false;
  bool localTime = false;
  bool raw = false;
  bool keepGoing = false;
  bool listModules = false;
  bool version = false;
  std::vector<std::string> catalogues;
};

void Complain(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", gSetup->programName, message.c_str());
}

cli::Program ThisProgram() {
  return {gSetup->programName, kExitUsage, kExitWriteFailed};
}

enum OptionId {
  kModule,
  kMatch,
  kJson,
  kCount,
  kTotal,
  kLocalTime,
  kRaw,
  kKeepGoing,
  kListModules,
  kHelp,
  kVersion
};

constexpr cli::Option kOptions[] = {
    {kModule, 0, "module", "a path", true},
    {kMatch, 0, "match", "a glob", true},
    {kJson, 0, "json"},
    {kCount, 0, "count"},
    {kTotal, 0, "total"},
    {kLocalTime, 0, "local-time"},
    {kRaw, 0, "raw"},
    {kKeepGoing, 0, "keep-going"},
    {kListModules, 0, "list-modules"},
    {kHelp, 'h', "help"},
    {kVersion, 0, "version"},
};

// Returns kExitOk when the options are usable, -1 for --help, else a usage failure.
int ParseOptions(int argc, char** argv, Options* options) {
  cli::OptionParser parser(argc, argv, kOptions);
  for (cli::Item item; parser.Next(&item);) {
    switch (item.id) {
      case cli::kOperand:
        options->catalogues.emplace_back(item.value);
        break;
      case cli::kError:
        return cli::UsageError(ThisProgram(), item.error);
      case kHelp:
        return -1;
      case kVersion:
        options->version = true;
        break;
      case kJson:
        options->json = true;
        break;
      case kCount:
        options->count = true;
        break;
      case kTotal:
        options->total = true;
        break;
      case kLocalTime:
        options->localTime = true;
        break;
      case kMatch:
        options->matches.emplace_back(item.value);
        break;
      case kRaw:
        options->raw = true;
        break;
      case kKeepGoing:
        options->keepGoing = true;
        break;
      case kListModules:
        options->listModules = true;
        break;
      case kModule:
        options->modulePaths.emplace_back(item.value);
        break;
    }
  }
  // A count is one number a line: neither JSON nor a listing's totals.
  if (options->count && (options->json || options->total)) {
    return cli::UsageError(ThisProgram(), std::string("--count cannot go with ") +
                                              (options->json ? "--json" : "--total"));
  }
  if (options->catalogues.empty() && !options->listModules && !options->version) {
    return cli::UsageError(ThisProgram(), "no catalogue given");
  }
  return kExitOk;
}

// The module's format name, as safe to show as a file name.
std::string FormatNameOf(const FormatModule& module) {
  return ShownName(driver::FormatName(module));
}

// Lists catalogues one after another, and is the driver's visitor for each one's items.
class CatalogueLister {
 public:
  CatalogueLister(const Options& options, const std::vector<FormatModule>& modules,
                  OutputBuffer& output)
      : options_(options),
        modules_(modules),
        output_(output),
        formatter_(options.raw),
        several_(options.catalogues.size() > 1) {
    formatter_.SetLocalTime(options.localTime);
  }

  // Lists one catalogue; returns its exit status, having reported any failure.
  int List(const std::string& path) {
    driver::CatalogueSource source;
    driver::Probe probe = source.Open(modules_, path);
    if (probe.module == nullptr) {
      if (probe.status == kExitNotAccepted && modules_.size() == 1) {
        probe.reason = "not a catalogue that " + FormatNameOf(modules_[0]) + " (" +
                       ShownName(modules_[0].path) + ") accepts";
      }
      Fail(path, probe.reason);
      return probe.status;
    }
    path_ = &path;
    status_ = kExitOk;
    sums_ = Sums{};
    const driver::ListingEnd end =
        driver::ListCatalogue(*probe.module, source.Path(), options_.keepGoing, *this);
    if (!end.opened) {
      Fail(path, "OpenArchive failed (" + ShownName(probe.module->path) + ")");
      return kExitOpenFailed;
    }
    ++opened_;
    run_.files += sums_.files;
    run_.folders += sums_.folders;
    run_.bytes += sums_.bytes;
    if (options_.total) WriteSums(sums_, &path);
    if (options_.count) {
      std::string line = std::to_string(sums_.files + sums_.folders);
      // Appended piece by piece: GCC 12 at -O3 sees a false overlap in " " + std::string.
      if (several_) {
        line += ' ';
        line += ShownName(path);
      }
      line += "\n";
      output_.Append(line.data(), line.size());
    }
    return status_;
  }

  // With several catalogues, --count ends with the sum of the counts, as wc does, and
  // --total with the whole run's sums.
  void WriteTotal() {
    if (!several_) return;
    if (options_.count) {
      std::string line = std::to_string(run_.files + run_.folders) + " total\n";
      output_.Append(line.data(), line.size());
    }
    if (options_.total) WriteSums(run_, nullptr);
  }

  // The driver's visitor: what each step of the listing writes.
  void Opened() {
    formatter_.SetCatalogue(*path_);
    WriteHeader(*path_);
  }

  // JSON lines show every field, so each call starts from zeroed records. Text lines and
  // counts read only the fields cleared here: clearing just them spares two 300-byte clears
  // per item, which cost more than a module's whole work for the item.
  void Prepare(ItemRecord& item, ItemDetails& details) {
    if (options_.json) {
      std::memset(&item, 0, sizeof item);
      std::memset(&details, 0, sizeof details);
      return;
    }
    item.dwFileAttributes = 0;
    item.nFileSizeHigh = 0;
    item.nFileSizeLow = 0;
    item.ftLastWriteTime = FileTime{0, 0};
    item.cFileName[0] = '\0';
    details.description[0] = '\0';
  }

  bool Take(const ItemRecord& item, const ItemDetails& details, int result, uint64_t itemNumber) {
    if (!options_.matches.empty() && !Matches(item)) return true;
    if ((item.dwFileAttributes & kAttrDirectory) != 0) {
      ++sums_.folders;
    } else {
      ++sums_.files;
    }
    sums_.bytes += (uint64_t{item.nFileSizeHigh} << 32) | item.nFileSizeLow;
    if (options_.count) return true;
    if (options_.json) {
      formatter_.WriteJson(output_, item, details, itemNumber, result);
    } else {
      formatter_.WriteText(output_, item, details);
    }
    return true;
  }

  void Problem(int result, uint64_t itemNumber, bool delivered, bool /*goingOn*/) {
    status_ = ReportResult(*path_, itemNumber, result, delivered);
  }

 private:
  struct Sums {
    uint64_t files = 0;
    uint64_t folders = 0;
    uint64_t bytes = 0;
  };

  // Whether a --match glob takes the item's path, decoded as text lines show it.
  bool Matches(const ItemRecord& item) {
    char* end = WriteCp437AsUtf8(decoded_, item.cFileName, kFileNameSize);
    const std::string_view path(decoded_, static_cast<size_t>(end - decoded_));
    return std::any_of(
        options_.matches.begin(), options_.matches.end(),
        [&](const std::string& glob) { return glob_match::GlobMatches(glob, path); });
  }

  // A catalogue's sums (`catalogue` its name), or the run's (nullptr).
  void WriteSums(const Sums& sums, const std::string* catalogue) {
    std::string line;
    if (options_.json) {
      line = catalogue != nullptr ? "{\"catalogue\":" + JsonQuoted(*catalogue) + ",\"total\":{"
                                  : "{\"total\":{\"catalogues\":" + std::to_string(opened_) + ",";
      line += "\"files\":" + std::to_string(sums.files) +
              ",\"folders\":" + std::to_string(sums.folders) +
              ",\"bytes\":" + std::to_string(sums.bytes) + "}}\n";
    } else {
      auto counted = [](uint64_t count, const char* one, const char* many) {
        return std::to_string(count) + (count == 1 ? one : many);
      };
      line = catalogue != nullptr ? "total: " : "\ntotal: ";
      line += counted(sums.files, " file, ", " files, ") +
              counted(sums.folders, " folder, ", " folders, ") +
              counted(sums.bytes, " byte", " bytes");
      if (catalogue == nullptr) line += " in " + counted(opened_, " catalogue", " catalogues");
      line += "\n";
    }
    output_.Append(line.data(), line.size());
  }

  // With several catalogues, text lines of each come after a header, as head writes them.
  void WriteHeader(const std::string& path) {
    if (!several_ || options_.json || options_.count) return;
    std::string header = (headerWritten_ ? "\n==> " : "==> ") + ShownName(path) + " <==\n";
    output_.Append(header.data(), header.size());
    headerWritten_ = true;
  }

  int ReportResult(const std::string& path, uint64_t itemNumber, int result, bool delivered) {
    std::string where = "item " + std::to_string(itemNumber) + ": ";
    switch (result) {
      case StatusDamaged:
        if (!delivered) {
          Fail(path, where +
                         "damaged catalogue (result 2), its record runs past the end of the "
                         "file; the listing ends here");
        } else if (options_.keepGoing) {
          Fail(path, where +
                         "damaged catalogue (result 2), item listed without all of its text, "
                         "path or links");
        } else {
          Fail(path, where +
                         "damaged catalogue (result 2), item listed without all of its text, "
                         "path or links (a path over 259 characters is cut); the listing stops "
                         "here as the archive host's does, --keep-going lists the rest");
        }
        return kExitDamaged;
      case StatusPastEnd:
        Fail(path, where + "record past the end of the file (result 3)");
        return kExitPastEnd;
      case StatusReadError:
        Fail(path, where + "read error (result 4)");
        return kExitReadError;
      default:
        Fail(path, where + "unknown result " + std::to_string(result) + " from GetArcItem");
        return kExitUnknownResult;
    }
  }

  void Fail(const std::string& path, const std::string& message) {
    // Items listed so far come out before the complaint, so the two streams read in order.
    output_.Flush();
    Complain(ShownName(path) + ": " + message);
  }

  const Options& options_;
  const std::vector<FormatModule>& modules_;
  OutputBuffer& output_;
  ItemFormatter formatter_;
  bool several_;
  const std::string* path_ = nullptr;  // the catalogue being listed
  int status_ = kExitOk;               // its exit status so far
  bool headerWritten_ = false;
  Sums sums_;            // the catalogue being listed
  Sums run_;             // every catalogue listed
  uint64_t opened_ = 0;  // catalogues that OpenArchive accepted
  char decoded_[kFileNameSize * 3 + 3];
};

int ListModules(const std::vector<FormatModule>& modules, OutputBuffer& output) {
  for (const FormatModule& module : modules) {
    std::string line = ShownName(module.path) + "\t" + FormatNameOf(module) + "\n";
    output.Append(line.data(), line.size());
  }
  return kExitOk;
}

}  // namespace

int RunCathost(int argc, char** argv, const HostSetup& setup) {
  gSetup = &setup;
  Options options;
  int parsed = ParseOptions(argc, argv, &options);
  if (parsed == -1) {
    std::string help = std::string("Usage: ") + setup.programName + kUsage;
    if (setup.moreHelp != nullptr) help += setup.moreHelp;
    return cli::PrintInfo(ThisProgram(), help);
  }
  if (parsed != kExitOk) return parsed;
  if (options.version) {
    return cli::PrintInfo(ThisProgram(), cli::VersionText(setup.programName, CATALOGUE_VERSION));
  }

#if defined(_WIN32)
  // Listings are UTF-8 or raw bytes with '\n' line ends; no newline translation.
  _setmode(_fileno(stdout), _O_BINARY);
#endif

  driver::ModuleSet modules(Complain);
  std::string error;
  int status = kExitOk;
  if (!modules.Load(options.modulePaths, setup.modules, &error)) {
    Complain(error);
    status = kExitBadModule;
  } else {
    OutputBuffer output(stdout);
    if (options.listModules) {
      status = ListModules(modules.Modules(), output);
    } else {
      CatalogueLister lister(options, modules.Modules(), output);
      for (const std::string& catalogue : options.catalogues) {
        status = std::max(status, lister.List(catalogue));
      }
      lister.WriteTotal();
    }
    if (!output.Flush()) {
      Complain(std::string("cannot write the listing: ") + std::strerror(errno));
      status = std::max<int>(status, kExitWriteFailed);
    }
  }
  if (!modules.Unload()) status = std::max<int>(status, kExitModuleFault);
  return status;
}
