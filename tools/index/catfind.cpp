// catfind: finds items in the catalogue index that catindex builds, with locate's habits.
// The index is opened read-only, so a query runs beside an update (the index is in WAL mode)
// and sees the catalogues as the last committed update left them.
//
// SQL only narrows: a literal of three characters or more goes to the trigram table, shorter
// patterns scan the items; find_query decides every row it returns with the exact rules.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "catalogue_version.h"
#include "tools/common/display_text.h"
#include "tools/common/item_format.h"
#include "tools/common/option_parser.h"
#include "tools/index/find_query.h"
#include "tools/index/index_db.h"
#include "tools/index/item_search.h"
#include "tools/index/trigram_counts.h"

namespace {

// grep's exit statuses.
constexpr int kMatched = 0;
constexpr int kNothingMatched = 1;
constexpr int kFailed = 2;

// Output is written in blocks of this size: one write per block, not per line.
constexpr size_t kOutputBlock = 1 << 16;

constexpr char kUsage[] =
    "usage: catfind [-d FILE[:FILE...]] [OPTIONS] PATTERN...\n"
    "       catfind [-d FILE[:FILE...]] -S\n"
    "Finds the items of every indexed catalogue that each PATTERN matches: in the item's\n"
    "path, in NAME\\PATH (NAME: the catalogue file's name without folder and extension) or\n"
    "in its description. A PATTERN without *, ? or [ matches any part of one; one with them\n"
    "must match one whole (* and ? match the backslash between components too). / and \\\n"
    "both separate components.\n"
    "  -d, --database FILE[:FILE...]\n"
    "                     the indexes, repeatable (default $CATFIND_DB, else\n"
    "                     $XDG_DATA_HOME/catalogue-modules/index.sqlite)\n"
    "  --db FILE          one index, its path taken whole (repeatable too)\n"
    "  -b, --basename     match the last component only\n"
    "  --path-only        match the item's path only (not NAME\\PATH nor the description)\n"
    "  -r, --regex        PATTERNs are PCRE2 regular expressions, matched anywhere (also\n"
    "                     --regexp)\n"
    "  -i, --ignore-case  ignore case (ASCII and Latin-1 letters; with -r, all of Unicode)\n"
    "  -A, --all          every PATTERN must match (the default)\n"
    "  -e, --existing     only items of catalogues whose file still exists\n"
    "  -c, --count        print the number of matches only\n"
    "  -l, --limit N      stop after N matches (N from 1)\n"
    "  -0, --null         end each result with a NUL, texts raw (for xargs -0)\n"
    "  -S, --statistics   print each index's catalogues, items, size, version, update\n"
    "  --type f|d         files or folders only\n"
    "  --size +N|-N|N     bigger than, smaller than or exactly N bytes (k, M, G: 1024-based)\n"
    "  --newer DATE       written after DATE (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS, UTC)\n"
    "  --older DATE       written before DATE\n"
    "  --description TEXT the description holds TEXT\n"
    "  --catalogue PATTERN  the catalogue file's path matches PATTERN (substring or glob)\n"
    "  --long             add size, write time and description\n"
    "  --json             JSON Lines instead of text\n"
    "  -h, --help         show this help; --version the version\n"
    "  --duplicates       files on more than one catalogue (same name, size and write\n"
    "                     time), grouped; patterns and filters choose the copies\n"
    "Exit status: 0 something matched, 1 nothing did, 2 an error.\n";

struct Options {
  std::vector<std::string> databasePaths;
  find_query::Query query;
  bool count = false;
  uint64_t limit = std::numeric_limits<uint64_t>::max();
  bool nulSeparated = false;
  bool longFormat = false;
  bool json = false;
  bool duplicates = false;
  bool existing = false;
  bool statistics = false;
};

void Complain(std::string_view message) {
  std::string line = std::string("catfind: ").append(message).append("\n");
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// Appends an item text from the index as cathost prints it, unless it holds what a terminal
// would obey (a control character or bytes outside UTF-8, which cathost never stores): then
// quoted and escaped as every hostile name is.
void AppendShownItemText(std::string& out, std::string_view text) {
  if (ShowsAsIs(text)) {
    out.append(text);
  } else {
    out.append(ShownName(text));
  }
}

bool ParseCount(std::string_view text, uint64_t* value) {
  if (text.empty()) return false;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || number > (std::numeric_limits<uint64_t>::max() - 9) / 10) {
      return false;
    }
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  *value = number;
  return true;
}

// An option's value as a complaint shows it; an empty one, which would show nothing, in words.
std::string ShownValue(std::string_view text) {
  return text.empty() ? std::string("an empty value") : ShownName(text);
}

constexpr cli::Program kProgram{"catfind", kFailed, kFailed};

enum OptionId {
  kHelp,
  kVersion,
  kDb,
  kDatabase,
  kAll,
  kRegex,
  kPathOnly,
  kExisting,
  kStatistics,
  kBasename,
  kIgnoreCase,
  kCount,
  kLimit,
  kNull,
  kType,
  kSize,
  kNewer,
  kOlder,
  kDescription,
  kCatalogue,
  kLong,
  kJson,
  kDuplicates,
};

// An empty FILE (an unset variable) would search the default index; an empty TEXT or PATTERN
// would accept everything, as leaving the option out does: both are taken for mistakes.
constexpr cli::Option kOptions[] = {
    {kHelp, 'h', "help"},
    {kVersion, 0, "version"},
    {kDb, 0, "db", "a FILE", true},
    {kDatabase, 'd', "database", "a FILE", true},
    {kAll, 'A', "all"},
    {kRegex, 'r', "regex"},
    {kRegex, 0, "regexp"},
    {kPathOnly, 0, "path-only"},
    {kExisting, 'e', "existing"},
    {kStatistics, 'S', "statistics"},
    {kBasename, 'b', "basename"},
    {kIgnoreCase, 'i', "ignore-case"},
    {kCount, 'c', "count"},
    {kLimit, 'l', "limit", "a number"},
    {kNull, '0', "null"},
    {kType, 0, "type", "a value"},
    {kSize, 0, "size", "a value"},
    {kNewer, 0, "newer", "a value"},
    {kOlder, 0, "older", "a value"},
    {kDescription, 0, "description", "a TEXT", true},
    {kCatalogue, 0, "catalogue", "a PATTERN", true},
    {kLong, 0, "long"},
    {kJson, 0, "json"},
    {kDuplicates, 0, "duplicates"},
};

// A colon list of index paths as locate reads LOCATE_PATH: a backslash makes the next
// character (a colon, a backslash) itself; empty elements are skipped.
std::vector<std::string> SplitPaths(std::string_view list) {
  std::vector<std::string> paths(1);
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i] == '\\' && i + 1 < list.size()) {
      paths.back().push_back(list[++i]);
    } else if (list[i] == ':') {
      paths.emplace_back();
    } else {
      paths.back().push_back(list[i]);
    }
  }
  std::erase_if(paths, [](const std::string& path) { return path.empty(); });
  return paths;
}

// Reads the command line: -1 when the options are usable, else the exit status (a usage
// error reported, or --help or --version answered).
int ParseArguments(int argc, char** argv, Options* options) {
  find_query::Query& query = options->query;
  cli::OptionParser parser(argc, argv, kOptions);
  for (cli::Item item; parser.Next(&item);) {
    const std::string_view text = item.value;
    switch (item.id) {
      case cli::kError:
        return cli::UsageError(kProgram, item.error);
      case cli::kOperand:
        query.patterns.emplace_back(text);
        break;
      case kHelp:
        return cli::PrintInfo(kProgram, kUsage);
      case kVersion:
        return cli::PrintInfo(kProgram, cli::VersionText("catfind", CATALOGUE_VERSION));
      case kDb:
        options->databasePaths.emplace_back(text);
        break;
      case kDatabase: {
        std::vector<std::string> paths = SplitPaths(text);
        if (paths.empty()) return cli::UsageError(kProgram, item.name + " needs a FILE");
        options->databasePaths.insert(options->databasePaths.end(), paths.begin(), paths.end());
        break;
      }
      case kAll:
        break;
      case kRegex:
        query.regex = true;
        break;
      case kPathOnly:
        query.pathOnly = true;
        break;
      case kExisting:
        options->existing = true;
        break;
      case kStatistics:
        options->statistics = true;
        break;
      case kBasename:
        query.baseNameOnly = true;
        break;
      case kIgnoreCase:
        query.ignoreCase = true;
        break;
      case kCount:
        options->count = true;
        break;
      case kNull:
        options->nulSeparated = true;
        break;
      case kLong:
        options->longFormat = true;
        break;
      case kJson:
        options->json = true;
        break;
      case kDuplicates:
        options->duplicates = true;
        break;
      case kLimit:
        if (!ParseCount(text, &options->limit) || options->limit == 0) {
          return cli::UsageError(kProgram,
                                 item.name + " needs a number from 1, not " + ShownValue(text));
        }
        break;
      case kType:
        if (text != "f" && text != "d") {
          return cli::UsageError(kProgram, "--type is f (files) or d (folders)");
        }
        query.directories = text == "d";
        break;
      case kSize:
        query.size = find_query::ParseSize(text);
        if (!query.size) {
          return cli::UsageError(
              kProgram, "--size is +N, -N or N (k, M, G suffixes), not " + ShownValue(text));
        }
        break;
      case kNewer:
      case kOlder: {
        std::optional<uint64_t> ticks = find_query::ParseDate(text);
        if (!ticks) {
          return cli::UsageError(
              kProgram,
              item.name + " is YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS (UTC), not " + ShownValue(text));
        }
        (item.id == kNewer ? query.newerThan : query.olderThan) = ticks;
        break;
      }
      case kDescription:
        query.description = std::string(text);
        break;
      case kCatalogue:
        query.catalogue = std::string(text);
        break;
    }
  }
  bool anyFilter = query.directories || query.size || query.newerThan || query.olderThan ||
                   query.description || query.catalogue;
  if (options->statistics) {
    if (!query.patterns.empty() || anyFilter || options->duplicates) {
      return cli::UsageError(kProgram, "-S takes no pattern or filter");
    }
  } else if (query.patterns.empty() && !anyFilter && !options->duplicates) {
    return cli::UsageError(kProgram, "no pattern");
  }
  if (options->json && options->longFormat) {
    return cli::UsageError(kProgram, "--json and --long do not go together");
  }
  // Item texts are UTF-8: a pattern in another encoding could only match part of a character.
  for (const std::string& pattern : query.patterns) {
    if (WellFormedUtf8(pattern) != pattern) {
      return cli::UsageError(kProgram, "a pattern must be UTF-8 text: " + ShownName(pattern));
    }
  }
  if (query.description && WellFormedUtf8(*query.description) != *query.description) {
    return cli::UsageError(kProgram, "--description must be UTF-8 text");
  }
  if (query.regex) {
    for (const std::string& pattern : query.patterns) {
      const std::string problem =
          find_query::RegexProblem(find_query::RegexWithBackslashes(pattern));
      if (!problem.empty()) {
        return cli::UsageError(kProgram,
                               "not a regular expression: " + ShownName(pattern) + ": " + problem);
      }
    }
  }
  if (options->databasePaths.empty()) {
    const char* list = std::getenv("CATFIND_DB");
    if (list != nullptr) options->databasePaths = SplitPaths(list);
  }
  if (options->databasePaths.empty())
    options->databasePaths.push_back(index_db::DefaultIndexPath());
  return -1;
}

class Output {
 public:
  ~Output() { Flush(); }
  std::string& Text() { return block_; }
  void LineDone() {
    if (block_.size() >= kOutputBlock) Flush();
  }
  void Flush() {
    if (!block_.empty() && std::fwrite(block_.data(), 1, block_.size(), stdout) != block_.size()) {
      failed_ = true;
    }
    block_.clear();
  }
  bool Failed() const { return failed_; }
  bool Finish() {
    Flush();
    return std::fflush(stdout) == 0 && !failed_;
  }

 private:
  std::string block_;
  bool failed_ = false;
};

struct Catalogue {
  std::string_view path;  // in Catalogues' arena
  // As text output shows the path (quoted when hostile): made for the first match written, as
  // most catalogues of a search have none.
  std::optional<std::string> shown;

  // The path as text output shows it: raw with -0.
  const std::string& Shown(const Options& options) {
    if (!shown) shown = options.nulSeparated ? std::string(path) : ShownName(path);
    return *shown;
  }
};

// Appends an item text as text output shows it: raw with -0, for xargs -0, else as
// AppendShownItemText.
void AppendOutputText(std::string& out, const Options& options, std::string_view text) {
  if (options.nulSeparated) {
    out.append(text);
  } else {
    AppendShownItemText(out, text);
  }
}

void WriteItem(Output& output, const Options& options, Catalogue& catalogue,
               const find_query::ItemRow& row, bool damaged) {
  std::string& text = output.Text();
  if (options.json) {
    item_search::AppendItemJson(text, catalogue.path, row, damaged);
  } else {
    text.append(catalogue.Shown(options)).append(": ");
    AppendOutputText(text, options, row.path);
    if (options.longFormat) {
      text.append("  ").append(std::to_string(row.size)).append("  ");
      text.append(find_query::FormatTime(row.writeTime, false));
      if (!row.description.empty()) {
        text.append("  -- ");
        AppendOutputText(text, options, row.description);
      }
    }
  }
  text.push_back(options.nulSeparated ? '\0' : '\n');
  output.LineDone();
}

// Copies of one file (name, size and write time alike) that the query accepted.
struct Group {
  std::string name;
  uint64_t size = 0;
  uint64_t writeTime = 0;
  struct Copy {
    Catalogue* catalogue;
    std::string path;
  };
  std::vector<Copy> copies;

  bool OnSeveralCatalogues() const {
    for (const Copy& copy : copies) {
      if (copy.catalogue != copies.front().catalogue) return true;
    }
    return false;
  }
};

void WriteGroup(Output& output, const Options& options, const Group& group) {
  std::string& text = output.Text();
  const char end = options.nulSeparated ? '\0' : '\n';
  if (options.json) {
    text.append("{\"name\":").append(JsonQuoted(group.name));
    text.append(",\"size\":").append(std::to_string(group.size));
    text.append(",\"mtime\":\"").append(find_query::FormatTime(group.writeTime, true));
    text.append("\",\"mtime_raw\":").append(std::to_string(group.writeTime));
    text.append(",\"copies\":[");
    for (const Group::Copy& copy : group.copies) {
      if (&copy != &group.copies.front()) text.push_back(',');
      text.append("{\"catalogue\":").append(JsonQuoted(copy.catalogue->path));
      text.append(",\"path\":").append(JsonQuoted(copy.path)).append("}");
    }
    text.append("]}").push_back(end);
  } else {
    AppendOutputText(text, options, group.name);
    text.append("  ").append(std::to_string(group.size));
    text.append("  ").append(find_query::FormatTime(group.writeTime, false)).push_back(end);
    for (const Group::Copy& copy : group.copies) {
      text.append("  ").append(copy.catalogue->Shown(options)).append(": ");
      AppendOutputText(text, options, copy.path);
      text.push_back(end);
    }
  }
  output.LineDone();
}

// The catalogues of one index that a search reads, by id. An index may hold thousands, of which
// a search matches few: they are kept in the order of their ids, for a binary search, and their
// paths in the blocks of one arena.
class Catalogues {
 public:
  using Entry = std::pair<int64_t, Catalogue>;
  using iterator = std::vector<Entry>::iterator;

  // `id` is above every id added before.
  void Add(int64_t id, std::string_view path) {
    char* copy = static_cast<char*>(paths_.allocate(path.size(), 1));
    std::memcpy(copy, path.data(), path.size());
    entries_.push_back({id, Catalogue{std::string_view(copy, path.size()), std::nullopt}});
  }
  iterator find(int64_t id) {
    // Rows mostly come a catalogue at a time, as catindex numbers a catalogue's items together.
    if (last_ < entries_.size() && entries_[last_].first == id) return begin() + last_;
    auto found = std::lower_bound(begin(), end(), id, [](const Entry& entry, int64_t wanted) {
      return entry.first < wanted;
    });
    if (found == end() || found->first != id) return end();
    last_ = static_cast<size_t>(found - begin());
    return found;
  }
  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }

 private:
  std::pmr::monotonic_buffer_resource paths_;
  std::vector<Entry> entries_;
  size_t last_ = 0;  // the entry found last
};

// The catalogues whose path --catalogue accepts (with -e, whose file exists); false on a
// database failure.
bool ReadCatalogues(const index_db::IndexDb& db, const Options& options,
                    const find_query::Matcher& matcher, Catalogues* catalogues) {
  index_db::Statement statement;
  std::string error;
  // In id order, as Catalogues wants them: a table's rows come so anyway, and this sorts nothing.
  if (!statement.Prepare(db, "SELECT id, path FROM catalogues ORDER BY id", &error)) return false;
  bool failed = false;
  while (statement.Step(&failed)) {
    std::string_view cataloguePath = statement.ColumnText(1);
    if (!matcher.AcceptsCatalogue(cataloguePath)) continue;
    struct stat info {};
    if (options.existing && stat(std::string(cataloguePath).c_str(), &info) != 0) continue;
    catalogues->Add(statement.ColumnInt(0), cataloguePath);
  }
  return !failed;
}

bool PrepareItems(const index_db::IndexDb& db, const Options& options,
                  const find_query::Matcher& matcher, Catalogues& catalogues,
                  index_db::Statement* statement) {
  find_query::IndexShape shape;
  for (const auto& [id, catalogue] : catalogues) shape.catalogues.emplace_back(id, catalogue.path);
  std::string error;
  return item_search::PrepareItems(db, options.query, matcher, options.duplicates, std::move(shape),
                                   statement, &error);
}

// Counts and writes what the search accepts: items, or with --duplicates groups of copies,
// which arrive sorted so that a group is complete when the next row differs.
class Results {
 public:
  Results(const Options& options, Output& output) : options_(options), output_(output) {}

  uint64_t Matches() const { return matches_; }
  // A failed write ends the search too: nobody reads the rest.
  bool Done() const { return matches_ >= options_.limit || output_.Failed(); }

  void Add(Catalogue& catalogue, const find_query::ItemRow& row, bool damaged) {
    if (options_.duplicates) {
      if (row.name != group_.name || row.size != group_.size || row.writeTime != group_.writeTime) {
        CloseGroup();
        group_.name = row.name;
        group_.size = row.size;
        group_.writeTime = row.writeTime;
      }
      group_.copies.push_back(Group::Copy{&catalogue, std::string(row.path)});
      return;
    }
    ++matches_;
    if (!options_.count) WriteItem(output_, options_, catalogue, row, damaged);
  }

  // After the last row: the last group.
  void Finish() {
    if (matches_ < options_.limit) CloseGroup();
  }

 private:
  void CloseGroup() {
    if (group_.OnSeveralCatalogues()) {
      ++matches_;
      if (!options_.count) WriteGroup(output_, options_, group_);
    }
    group_.copies.clear();
  }

  const Options& options_;
  Output& output_;
  uint64_t matches_ = 0;
  Group group_;
};

// Opens one index read-only, so that no lock of ours holds an update up, and begins one read
// transaction: what is read of it comes from one committed state. False once reported.
bool OpenForSearch(const std::string& path, index_db::IndexDb* db) {
  std::string error;
  if (!index_db::OpenIndex(path, index_db::Access::kRead, db, &error)) {
    Complain(error);
    return false;
  }
  if (!index_db::Execute(*db, "BEGIN", &error)) {
    Complain(ShownName(path).append(": cannot read the index: ").append(error));
    return false;
  }
  return true;
}

// Reports a database failure of the index at `path`; false.
bool IndexFailed(const index_db::IndexDb& db, const std::string& path, std::string_view what) {
  Complain(ShownName(path).append(": ").append(what).append(": ").append(index_db::LastError(db)));
  return false;
}

// An index as its search leaves it: open, with its catalogues and its items query.
struct SearchedIndex {
  index_db::IndexDb db;
  Catalogues catalogues;
  index_db::Statement statement;
};

// Searches one index into `results`, keeping it in `index`; false once a failure is reported.
bool Search(const std::string& path, const Options& options, const find_query::Matcher& matcher,
            Results& results, SearchedIndex& index) {
  index_db::IndexDb& db = index.db;
  if (!OpenForSearch(path, &db)) return false;
  Catalogues& catalogues = index.catalogues;
  if (!ReadCatalogues(db, options, matcher, &catalogues)) {
    return IndexFailed(db, path, "cannot read the catalogues");
  }
  index_db::Statement& statement = index.statement;
  if (!PrepareItems(db, options, matcher, catalogues, &statement)) {
    return IndexFailed(db, path, "cannot query the index");
  }
  bool failed = false;
  while (!results.Done() && statement.Step(&failed)) {
    auto catalogue = catalogues.find(statement.ColumnInt(find_query::kCatalogueColumn));
    if (catalogue == catalogues.end()) continue;
    const find_query::ItemRow row = item_search::RowOf(statement, catalogue->second.path);
    if (matcher.Accepts(row)) results.Add(catalogue->second, row, item_search::Damaged(statement));
  }
  // The last group, while its catalogues are still there.
  results.Finish();
  return !failed || IndexFailed(db, path, "cannot read the items");
}

// One number of an index's statistics, or -1 when it cannot be read.
int64_t Statistic(const index_db::IndexDb& db, const char* sql) {
  index_db::Statement statement;
  std::string error;
  bool failed = false;
  if (!statement.Prepare(db, sql, &error) || !statement.Step(&failed)) return -1;
  return statement.ColumnInt(0);
}

// Writes what -S tells of the index at `path`; false once a failure is reported.
bool WriteStatistics(const std::string& path, Output& output) {
  index_db::IndexDb db;
  if (!OpenForSearch(path, &db)) return false;
  const int64_t catalogues = Statistic(db, "SELECT count(*) FROM catalogues");
  const int64_t items = Statistic(db, "SELECT count(*) FROM items");
  const int64_t folders = Statistic(db, "SELECT count(*) FROM items WHERE attributes & 16 != 0");
  const int64_t bytes = Statistic(db, "SELECT total(size) FROM items WHERE attributes & 16 = 0");
  // The last listing of a catalogue, or of version 4 the last walk of a root.
  const int64_t updated = Statistic(
      db, db.version >= 4 ? "SELECT max(coalesce((SELECT max(listed_at) FROM catalogues), 0), "
                            "coalesce((SELECT max(walked_at) FROM roots), 0))"
                          : "SELECT coalesce(max(listed_at), 0) FROM catalogues");
  if (catalogues < 0 || items < 0 || folders < 0 || bytes < 0 || updated < 0) {
    return IndexFailed(db, path, "cannot read the statistics");
  }
  struct stat info {};
  const int64_t stored = stat(path.c_str(), &info) == 0 ? info.st_size : 0;
  constexpr uint64_t kTicksPerSecond = 10'000'000;
  constexpr uint64_t kTicksTo1970 = 11'644'473'600ull * kTicksPerSecond;
  std::string& text = output.Text();
  text.append("Index ").append(ShownName(path)).append(":\n");
  text.append("  version ").append(std::to_string(db.version)).append("\n");
  text.append("  ").append(std::to_string(catalogues)).append(" catalogues\n");
  text.append("  ").append(std::to_string(items)).append(" items (");
  text.append(std::to_string(items - folders)).append(" files, ");
  text.append(std::to_string(folders)).append(" folders)\n");
  text.append("  ").append(std::to_string(bytes)).append(" bytes in the files\n");
  text.append("  ").append(std::to_string(stored)).append(" bytes used to store the index\n");
  text.append("  last updated ")
      .append(updated == 0
                  ? std::string("never")
                  : find_query::FormatTime(
                        static_cast<uint64_t>(updated) * kTicksPerSecond + kTicksTo1970, false))
      .append("\n");
  output.LineDone();
  return true;
}

// The exit status of what `options` ask; a search ends the process itself.
int Find(const Options& options) {
  Output output;
  bool failed = false;
  if (options.statistics) {
    for (const std::string& path : options.databasePaths) {
      if (!WriteStatistics(path, output)) failed = true;
    }
    if (!output.Finish()) {
      Complain(std::string("cannot write the results: ").append(std::strerror(errno)));
      return kFailed;
    }
    return failed ? kFailed : kMatched;
  }
  const find_query::Matcher matcher(options.query);
  Results results(options, output);
  std::vector<SearchedIndex> indexes(options.databasePaths.size());
  for (size_t i = 0; i < indexes.size() && !results.Done(); ++i) {
    if (!Search(options.databasePaths[i], options, matcher, results, indexes[i])) failed = true;
  }
  if (options.count) {
    output.Text()
        .append(std::to_string(results.Matches()))
        .push_back(options.nulSeparated ? '\0' : '\n');
  }
  if (!output.Finish()) {
    Complain(std::string("cannot write the results: ").append(std::strerror(errno)));
    return kFailed;
  }
  // As grep's: an index that failed makes it 2, whatever the others found.
  const int status = failed ? kFailed : results.Matches() > 0 ? kMatched : kNothingMatched;
  // The results are written and the indexes were only read: closing them (which writes nothing)
  // and freeing the catalogues is work the system does at exit anyway, so the process ends here
  // without it, as a reader that is killed does.
  std::exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  // SQLite's memory statistics take a global lock on every allocation it makes, over a thousand
  // of them to read the schema and prepare a query; nothing here reads them.
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  Options options;
  const int parsed = ParseArguments(argc, argv, &options);
  if (parsed >= 0) return parsed;
  return Find(options);
}
