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
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "tools/common/display_text.h"
#include "tools/common/item_format.h"
#include "tools/index/find_query.h"
#include "tools/index/index_db.h"
#include "tools/index/trigram_counts.h"

#if __has_include("catalogue_version.h")
#include "catalogue_version.h"
#else
#define CATALOGUE_VERSION "unversioned"
#endif

namespace {

// grep's exit statuses.
constexpr int kMatched = 0;
constexpr int kNothingMatched = 1;
constexpr int kFailed = 2;

// Output is written in blocks of this size: one write per block, not per line.
constexpr size_t kOutputBlock = 1 << 16;

// Substring patterns SQL tests beside the trigram table, at most: each is an instr() on every
// row the table leaves, and past a few the exact check of those rows costs no more. SQL takes
// only so much besides (expressions 1000 terms deep, 32766 parameters), and xargs may give
// tens of thousands of patterns.
constexpr size_t kMostSubstringConditions = 16;

constexpr char kUsage[] =
    "usage: catfind [--db FILE] [OPTIONS] PATTERN...\n"
    "Finds the items of every indexed catalogue whose path holds each PATTERN.\n"
    "A PATTERN without *, ? or [ matches any part of the path; one with them must match\n"
    "the whole path (* and ? match the backslash between components too).\n"
    "  --db FILE          the index (default $XDG_DATA_HOME/catalogue-modules/index.sqlite)\n"
    "  -b, --basename     match the last component only\n"
    "  -i, --ignore-case  ignore case (ASCII and Latin-1 letters)\n"
    "  -c, --count        print the number of matches only\n"
    "  -l, --limit N      stop after N matches\n"
    "  -0, --null         end each result with a NUL instead of a newline\n"
    "  --type f|d         files or folders only\n"
    "  --size +N|-N|N     bigger than, smaller than or exactly N bytes (k, M, G: 1024-based)\n"
    "  --newer DATE       written after DATE (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS, UTC)\n"
    "  --older DATE       written before DATE\n"
    "  --description TEXT the description holds TEXT\n"
    "  --catalogue PATTERN  the catalogue file's path matches PATTERN (same rules)\n"
    "  --long             add size, write time and description\n"
    "  --json             JSON Lines instead of text\n"
    "  -h, --help         show this help; --version the version\n"
    "  --duplicates       files on more than one catalogue (same name, size and write\n"
    "                     time), grouped; patterns and filters choose the copies\n"
    "Exit status: 0 something matched, 1 nothing did, 2 an error.\n";

struct Options {
  std::string databasePath;
  find_query::Query query;
  bool count = false;
  uint64_t limit = std::numeric_limits<uint64_t>::max();
  bool nulSeparated = false;
  bool longFormat = false;
  bool json = false;
  bool duplicates = false;
};

void Complain(std::string_view message) {
  std::string line = std::string("catfind: ").append(message).append("\n");
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// An item text from the index as cathost prints it, unless it holds what a terminal would
// obey (a control character or bytes outside UTF-8, which cathost never stores): then quoted
// and escaped as every hostile name is.
std::string ShownItemText(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    auto byte = static_cast<uint8_t>(text[at]);
    if (byte < 0x20 || byte == 0x7F) return ShownName(text);
    if (byte < 0x80) {
      ++at;
      continue;
    }
    size_t length = Utf8SequenceLength(text.substr(at));
    // C1 controls are U+0080..U+009F: C2 80..C2 9F.
    if (length == 0 || (byte == 0xC2 && static_cast<uint8_t>(text[at + 1]) < 0xA0)) {
      return ShownName(text);
    }
    at += length;
  }
  return std::string(text);
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

// Reads the command line; false (with the complaint made) on a usage error. `help` and
// `version` are set for --help and --version.
bool ParseArguments(int argc, char** argv, Options* options, bool* help, bool* version) {
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      options->query.patterns.emplace_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    std::string_view name = argument;
    std::optional<std::string_view> attached;
    if (argument.starts_with("--")) {
      if (size_t equals = argument.find('='); equals != std::string_view::npos) {
        name = argument.substr(0, equals);
        attached = argument.substr(equals + 1);
      }
    }
    // A value given to an option that takes none (--json=false) is refused, not ignored.
    constexpr std::string_view kSwitches[] = {"--help",        "--version", "--basename",
                                              "--ignore-case", "--count",   "--null",
                                              "--long",        "--json",    "--duplicates"};
    if (attached &&
        std::find(std::begin(kSwitches), std::end(kSwitches), name) != std::end(kSwitches)) {
      Complain(std::string(name).append(" takes no value"));
      return false;
    }
    // The value of an option that takes one: attached (--x=V) or the next argument.
    auto value = [&](std::string_view* out) {
      if (attached) {
        *out = *attached;
        return true;
      }
      if (i + 1 >= argc) {
        Complain(std::string(name).append(" needs a value"));
        return false;
      }
      *out = argv[++i];
      return true;
    };
    std::string_view text;
    find_query::Query& query = options->query;
    if (name == "--help" || name == "-h") {
      *help = true;
      return true;
    } else if (name == "--version") {
      *version = true;
      return true;
    } else if (name == "--db") {
      // An empty FILE (an unset variable) would otherwise search the default index.
      if (!value(&text)) return false;
      if (text.empty()) {
        Complain("--db needs a FILE");
        return false;
      }
      options->databasePath = text;
    } else if (name == "--basename") {
      query.baseNameOnly = true;
    } else if (name == "--ignore-case") {
      query.ignoreCase = true;
    } else if (name == "--count") {
      options->count = true;
    } else if (name == "--null") {
      options->nulSeparated = true;
    } else if (name == "--long") {
      options->longFormat = true;
    } else if (name == "--json") {
      options->json = true;
    } else if (name == "--duplicates") {
      options->duplicates = true;
    } else if (name == "--limit") {
      if (!value(&text)) return false;
      if (!ParseCount(text, &options->limit)) {
        Complain(std::string("--limit needs a number, not ").append(ShownValue(text)));
        return false;
      }
    } else if (name == "--type") {
      if (!value(&text)) return false;
      if (text != "f" && text != "d") {
        Complain("--type is f (files) or d (folders)");
        return false;
      }
      query.directories = text == "d";
    } else if (name == "--size") {
      if (!value(&text)) return false;
      query.size = find_query::ParseSize(text);
      if (!query.size) {
        Complain(
            std::string("--size is +N, -N or N (k, M, G suffixes), not ").append(ShownValue(text)));
        return false;
      }
    } else if (name == "--newer" || name == "--older") {
      if (!value(&text)) return false;
      std::optional<uint64_t> ticks = find_query::ParseDate(text);
      if (!ticks) {
        Complain(std::string(name)
                     .append(" is YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS (UTC), not ")
                     .append(ShownValue(text)));
        return false;
      }
      (name == "--newer" ? query.newerThan : query.olderThan) = ticks;
    } else if (name == "--description") {
      // An empty TEXT or PATTERN would accept everything, as leaving the option out does: it is
      // taken for a mistake (an unset variable).
      if (!value(&text)) return false;
      if (text.empty()) {
        Complain("--description needs a TEXT");
        return false;
      }
      query.description = std::string(text);
    } else if (name == "--catalogue") {
      if (!value(&text)) return false;
      if (text.empty()) {
        Complain("--catalogue needs a PATTERN");
        return false;
      }
      query.catalogue = std::string(text);
    } else if (argument.starts_with("--")) {
      Complain(std::string("unknown option ").append(ShownName(argument)));
      return false;
    } else {
      // Short options, several in one argument (-bi); -l takes the rest or the next argument.
      for (size_t at = 1; at < argument.size(); ++at) {
        char letter = argument[at];
        if (letter == 'b') {
          query.baseNameOnly = true;
        } else if (letter == 'i') {
          query.ignoreCase = true;
        } else if (letter == 'c') {
          options->count = true;
        } else if (letter == '0') {
          options->nulSeparated = true;
        } else if (letter == 'l') {
          if (at + 1 < argument.size()) {
            text = argument.substr(at + 1);
          } else if (i + 1 < argc) {
            text = argv[++i];
          } else {
            Complain("-l needs a number");
            return false;
          }
          if (!ParseCount(text, &options->limit)) {
            Complain(std::string("-l needs a number, not ").append(ShownValue(text)));
            return false;
          }
          break;
        } else {
          Complain(std::string("unknown option ").append(ShownName(argument)));
          return false;
        }
      }
    }
  }
  const find_query::Query& query = options->query;
  bool anyFilter = query.directories || query.size || query.newerThan || query.olderThan ||
                   query.description || query.catalogue;
  if (query.patterns.empty() && !anyFilter && !options->duplicates) {
    Complain("no pattern (catfind --help shows how)");
    return false;
  }
  if (options->json && options->longFormat) {
    Complain("--json and --long do not go together");
    return false;
  }
  // Item texts are UTF-8: a pattern in another encoding could only match part of a character.
  for (const std::string& pattern : query.patterns) {
    if (WellFormedUtf8(pattern) != pattern) {
      Complain(std::string("a pattern must be UTF-8 text: ").append(ShownName(pattern)));
      return false;
    }
  }
  if (query.description && WellFormedUtf8(*query.description) != *query.description) {
    Complain("--description must be UTF-8 text");
    return false;
  }
  return true;
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
  std::string path;
  std::string shown;  // as text output shows it
};

void WriteItem(Output& output, const Options& options, const Catalogue& catalogue,
               const find_query::ItemRow& row, bool damaged) {
  std::string& text = output.Text();
  if (options.json) {
    text.append("{\"catalogue\":").append(JsonQuoted(catalogue.path));
    text.append(",\"path\":").append(JsonQuoted(row.path));
    text.append(",\"name\":").append(JsonQuoted(row.name));
    text.append(",\"size\":").append(std::to_string(row.size));
    text.append(",\"mtime\":\"").append(find_query::FormatTime(row.writeTime, true));
    text.append("\",\"mtime_raw\":").append(std::to_string(row.writeTime));
    text.append(",\"attributes\":").append(std::to_string(row.attributes));
    text.append(",\"directory\":").append((row.attributes & 0x10) != 0 ? "true" : "false");
    text.append(",\"description\":").append(JsonQuoted(row.description));
    text.append(",\"damaged\":").append(damaged ? "true" : "false");
    text.append("}");
  } else {
    text.append(catalogue.shown).append(": ").append(ShownItemText(row.path));
    if (options.longFormat) {
      text.append("  ").append(std::to_string(row.size)).append("  ");
      text.append(find_query::FormatTime(row.writeTime, false));
      if (!row.description.empty()) text.append("  -- ").append(ShownItemText(row.description));
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
    const Catalogue* catalogue;
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
    text.append(ShownItemText(group.name)).append("  ").append(std::to_string(group.size));
    text.append("  ").append(find_query::FormatTime(group.writeTime, false)).push_back(end);
    for (const Group::Copy& copy : group.copies) {
      text.append("  ").append(copy.catalogue->shown).append(": ");
      text.append(ShownItemText(copy.path)).push_back(end);
    }
  }
  output.LineDone();
}

int Find(const Options& options) {
  index_db::IndexDb db;
  std::string error;
  std::string path =
      options.databasePath.empty() ? index_db::DefaultIndexPath() : options.databasePath;
  // Read-only, so that no lock of ours holds an update up.
  if (!index_db::OpenIndex(path, index_db::Access::kRead, &db, &error)) {
    Complain(error);
    return kFailed;
  }
  auto fail = [&](std::string_view what) {
    Complain(
        ShownName(path).append(": ").append(what).append(": ").append(index_db::LastError(db)));
    return kFailed;
  };
  // One read transaction: the catalogues and their items come from the same committed state.
  if (!index_db::Execute(db, "BEGIN", &error)) return fail("cannot read the index");

  find_query::Matcher matcher(options.query);
  std::unordered_map<int64_t, Catalogue> catalogues;
  {
    index_db::Statement statement;
    if (!statement.Prepare(db, "SELECT id, path FROM catalogues", &error)) {
      return fail("cannot read the catalogues");
    }
    bool failed = false;
    while (statement.Step(&failed)) {
      std::string_view cataloguePath = statement.ColumnText(1);
      if (!matcher.AcceptsCatalogue(cataloguePath)) continue;
      catalogues.emplace(statement.ColumnInt(0),
                         Catalogue{std::string(cataloguePath), ShownName(cataloguePath)});
    }
    if (failed) return fail("cannot read the catalogues");
  }

  constexpr char kColumns[] =
      "items.catalogue, items.path, items.name, items.size, items.write_time, "
      "items.attributes, items.description, items.damaged";
  std::string sql = std::string("SELECT ").append(kColumns);
  const std::string& literal = matcher.NarrowingLiteral();
  // What SQL can test cheaply narrows the rows before C++ reads them; each condition accepts
  // at least every row that the exact rules accept. Values are bound, never written in: each
  // takes the next parameter number, in one list.
  std::vector<std::string> conditions;
  std::vector<std::variant<std::string, int64_t>> values;
  auto parameter = [&](std::variant<std::string, int64_t> value) {
    values.push_back(std::move(value));
    return std::string("?").append(std::to_string(values.size()));
  };
  if (literal.empty()) {
    sql.append(" FROM items");
  } else {
    sql.append(" FROM item_paths JOIN items ON items.id = item_paths.rowid");
    // The rarest trigrams of the patterns when the index has counted them, else the plain rule.
    std::vector<find_query::TrigramCount> candidates;
    const std::string match = trigram_counts::Read(db, matcher.NarrowingLiterals(), &candidates)
                                  ? find_query::RarestTrigramsQuery(std::move(candidates))
                                  : find_query::TrigramQuery(literal);
    conditions.push_back(std::string("item_paths MATCH ").append(parameter(match)));
  }
  const find_query::Query& query = options.query;
  // Substrings (too short for the trigram table, or beside its literal) compared byte for byte
  // as C++ does; under -i only ASCII ones, which SQL's lower() folds as FoldCase does. Each
  // distinct one once, kMostSubstringConditions at most: the rest are left to the exact check.
  std::vector<std::string> substrings;
  for (const std::string& pattern : query.patterns) {
    if (substrings.size() == kMostSubstringConditions) break;
    if (find_query::IsGlob(pattern) || pattern.empty()) continue;
    bool ascii = std::all_of(pattern.begin(), pattern.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (query.ignoreCase && !ascii) continue;
    std::string substring = query.ignoreCase ? find_query::FoldCase(pattern) : pattern;
    if (std::find(substrings.begin(), substrings.end(), substring) != substrings.end()) continue;
    substrings.push_back(substring);
    std::string column = std::string("items.").append(query.baseNameOnly ? "name" : "path");
    if (query.ignoreCase) column = std::string("lower(").append(column).append(")");
    conditions.push_back(std::string("instr(CAST(")
                             .append(column)
                             .append(" AS BLOB), CAST(")
                             .append(parameter(std::move(substring)))
                             .append(" AS BLOB)) > 0"));
  }
  if (query.directories) {
    conditions.push_back(*query.directories ? "items.attributes & 16 != 0"
                                            : "items.attributes & 16 = 0");
  }
  constexpr auto kLargest = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (query.newerThan && *query.newerThan < kLargest) {
    conditions.push_back(std::string("items.write_time > ")
                             .append(parameter(static_cast<int64_t>(*query.newerThan))));
  }
  if (query.olderThan && *query.olderThan < kLargest) {
    conditions.push_back(std::string("items.write_time < ")
                             .append(parameter(static_cast<int64_t>(*query.olderThan))));
  }
  if (query.size && query.size->bytes < kLargest) {
    // A negative size read back is a huge unsigned one: SQL lets C++ judge those.
    constexpr const char* kCompare[] = {" > ", " < ", " = "};
    conditions.push_back(std::string("(items.size < 0 OR items.size")
                             .append(kCompare[static_cast<int>(query.size->compare)])
                             .append(parameter(static_cast<int64_t>(query.size->bytes)))
                             .append(")"));
  }
  if (options.duplicates) conditions.push_back("items.attributes & 16 = 0");
  for (const std::string& condition : conditions) {
    sql.append(&condition == &conditions.front() ? " WHERE " : " AND ").append(condition);
  }
  if (options.duplicates) {
    // Sorted, copies of one file come together: a group is complete when the next row differs.
    sql.append(" ORDER BY items.name, items.size, items.write_time, items.catalogue, items.path");
  }
  index_db::Statement statement;
  if (!statement.Prepare(db, sql.c_str(), &error)) return fail("cannot query the index");
  for (size_t i = 0; i < values.size(); ++i) {
    const int number = static_cast<int>(i + 1);
    if (const auto* text = std::get_if<std::string>(&values[i])) {
      statement.BindText(number, *text);
    } else {
      statement.BindInt(number, std::get<int64_t>(values[i]));
    }
  }

  Output output;
  uint64_t matches = 0;
  bool failed = false;
  Group group;
  auto closeGroup = [&] {
    if (group.OnSeveralCatalogues()) {
      ++matches;
      if (!options.count) WriteGroup(output, options, group);
    }
    group.copies.clear();
  };
  // A failed write ends the search: nobody reads the rest.
  while (matches < options.limit && !output.Failed() && statement.Step(&failed)) {
    auto catalogue = catalogues.find(statement.ColumnInt(0));
    if (catalogue == catalogues.end()) continue;
    find_query::ItemRow row{statement.ColumnText(1),
                            statement.ColumnText(2),
                            static_cast<uint64_t>(statement.ColumnInt(3)),
                            static_cast<uint64_t>(statement.ColumnInt(4)),
                            static_cast<uint32_t>(statement.ColumnInt(5)),
                            statement.ColumnText(6)};
    if (!matcher.Accepts(row)) continue;
    if (options.duplicates) {
      if (row.name != group.name || row.size != group.size || row.writeTime != group.writeTime) {
        closeGroup();
        group.name = row.name;
        group.size = row.size;
        group.writeTime = row.writeTime;
      }
      group.copies.push_back(Group::Copy{&catalogue->second, std::string(row.path)});
      continue;
    }
    ++matches;
    if (!options.count)
      WriteItem(output, options, catalogue->second, row, statement.ColumnInt(7) != 0);
  }
  if (!failed && matches < options.limit) closeGroup();
  if (failed) {
    output.Finish();
    return fail("cannot read the items");
  }
  if (options.count) {
    output.Text().append(std::to_string(matches)).push_back(options.nulSeparated ? '\0' : '\n');
  }
  if (!output.Finish()) {
    Complain(std::string("cannot write the results: ").append(std::strerror(errno)));
    return kFailed;
  }
  return matches > 0 ? kMatched : kNothingMatched;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool help = false;
  bool version = false;
  if (!ParseArguments(argc, argv, &options, &help, &version)) return kFailed;
  if (help || version) {
    if (help) {
      std::fputs(kUsage, stdout);
    } else {
      std::printf("catfind %s\n", CATALOGUE_VERSION);
    }
    return std::fflush(stdout) == 0 ? 0 : kFailed;
  }
  return Find(options);
}
