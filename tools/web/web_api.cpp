#include "tools/web/web_api.h"

#include <sqlite3.h>

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "tools/common/display_text.h"
#include "tools/common/item_format.h"
#include "tools/index/find_query.h"
#include "tools/index/item_search.h"

namespace catweb {

namespace {

constexpr int kBadRequest = 400;
constexpr int kNotFound = 404;
constexpr int kUnavailable = 503;

// Seconds from 1601-01-01 (FILETIME's epoch) to 1970-01-01.
constexpr int64_t kUnixEpochSeconds = 11'644'473'600;

Answer Failure(int status, std::string_view message) {
  return Answer{status, ErrorBody(message)};
}

bool IsUtf8(std::string_view text) {
  return WellFormedUtf8(text) == text;
}

// A value as an error message quotes it: shown as a terminal would see it safely, cut short.
std::string Quoted(std::string_view value) {
  constexpr size_t kShown = 64;
  std::string shown = ShownName(value.substr(0, kShown));
  if (value.size() > kShown) shown.append("...");
  return value.empty() ? std::string("an empty value") : shown;
}

// The query parameters of one request: each known, each but `repeatable` ones at most once.
class Reader {
 public:
  explicit Reader(const Parameters& parameters) : parameters_(parameters) {}

  // An error message, or "" when every parameter is known and given as often as allowed.
  std::string Check(std::initializer_list<std::string_view> known,
                    std::initializer_list<std::string_view> repeatable = {}) const {
    for (auto at = parameters_.begin(); at != parameters_.end();
         at = parameters_.upper_bound(at->first)) {
      const std::string& name = at->first;
      if (std::find(known.begin(), known.end(), name) == known.end()) {
        return std::string("unknown parameter ").append(Quoted(name));
      }
      if (parameters_.count(name) > 1 &&
          std::find(repeatable.begin(), repeatable.end(), name) == repeatable.end()) {
        return std::string("the parameter ").append(name).append(" is given more than once");
      }
    }
    return "";
  }

  std::optional<std::string_view> Get(const std::string& name) const {
    auto found = parameters_.find(name);
    if (found == parameters_.end()) return std::nullopt;
    return std::string_view(found->second);
  }

  std::vector<std::string_view> All(const std::string& name) const {
    std::vector<std::string_view> values;
    auto [first, last] = parameters_.equal_range(name);
    for (auto at = first; at != last; ++at) values.emplace_back(at->second);
    return values;
  }

 private:
  const Parameters& parameters_;
};

// A decimal number from `smallest` to `largest`, digits only.
std::optional<uint64_t> Number(std::string_view text, uint64_t smallest, uint64_t largest) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != text.npos) {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (char c : text) value = value * 10 + static_cast<uint64_t>(c - '0');
  if (value < smallest || value > largest) return std::nullopt;
  return value;
}

struct Page {
  uint64_t offset = 0;
  uint64_t limit = 0;
};

// offset and limit; an error message, or "".
std::string ReadPage(const Reader& reader, uint64_t defaultLimit, Page* page) {
  page->limit = defaultLimit;
  if (auto text = reader.Get("offset")) {
    auto value = Number(*text, 0, kLargestOffset);
    if (!value) {
      return std::string("offset is a number from 0 to ")
          .append(std::to_string(kLargestOffset))
          .append(", not ")
          .append(Quoted(*text));
    }
    page->offset = *value;
  }
  if (auto text = reader.Get("limit")) {
    auto value = Number(*text, 1, kMostRows);
    if (!value) {
      return std::string("limit is a number from 1 to ")
          .append(std::to_string(kMostRows))
          .append(", not ")
          .append(Quoted(*text));
    }
    page->limit = *value;
  }
  return "";
}

// "0" or "1"; an error message, or "".
std::string ReadSwitch(const Reader& reader, const char* name, bool* value) {
  auto text = reader.Get(name);
  if (!text) return "";
  if (*text != "0" && *text != "1") {
    return std::string(name).append(" is 0 or 1, not ").append(Quoted(*text));
  }
  *value = *text == "1";
  return "";
}

const char* Bool(bool value) {
  return value ? "true" : "false";
}

std::string IsoSeconds(int64_t seconds) {
  const int64_t ticks = std::max<int64_t>(0, seconds + kUnixEpochSeconds) * 10'000'000;
  return find_query::FormatTime(static_cast<uint64_t>(ticks), true);
}

// Ends a read transaction however the request ends. Declared before the TimeLimit of its
// connection, so that the limit is gone when the ROLLBACK runs.
class ReadTransaction {
 public:
  explicit ReadTransaction(const index_db::IndexDb& db) : db_(db) {}
  ~ReadTransaction() {
    std::string ignored;
    if (sqlite3_get_autocommit(db_.get()) == 0) index_db::Execute(db_, "ROLLBACK", &ignored);
  }
  bool Begin(std::string* error) { return index_db::Execute(db_, "BEGIN", error); }

 private:
  const index_db::IndexDb& db_;
};

// One row of the catalogues table.
struct Catalogue {
  int64_t id = 0;
  std::string path;
  std::string format;
  std::string status;
  int64_t itemCount = 0;
  int64_t listedAt = 0;
  // What changes when the catalogue is listed again, to key what is kept of it.
  std::string key;
};

constexpr const char* kCatalogueColumns =
    "SELECT id, path, format, status, item_count, listed_at, size, mtime_ns FROM catalogues";

Catalogue CatalogueOf(const index_db::Statement& row) {
  Catalogue catalogue;
  catalogue.id = row.ColumnInt(0);
  catalogue.path = row.ColumnText(1);
  catalogue.format = row.ColumnText(2);
  catalogue.status = row.ColumnText(3);
  catalogue.itemCount = row.ColumnInt(4);
  catalogue.listedAt = row.ColumnInt(5);
  catalogue.key = std::to_string(catalogue.id)
                      .append("|")
                      .append(std::to_string(catalogue.listedAt))
                      .append("|")
                      .append(std::to_string(row.ColumnInt(6)))
                      .append("|")
                      .append(std::to_string(row.ColumnInt(7)))
                      .append("|")
                      .append(std::to_string(catalogue.itemCount))
                      .append("|")
                      .append(catalogue.path);
  return catalogue;
}

// "complete"; "damaged" (listed to the end, items delivered damaged); "stopped" (the listing
// stopped early); "not listed"; "changed" (the file changed while it was listed).
const char* StateOf(std::string_view status) {
  if (status == "complete") return "complete";
  if (status.starts_with("not listed")) return "not listed";
  if (status.starts_with("stopped")) return "stopped";
  if (status.find("damaged") != std::string_view::npos) return "damaged";
  return "changed";
}

void AppendCatalogue(std::string& json, const Catalogue& catalogue,
                     std::optional<uint64_t> totalSize) {
  const size_t slash = catalogue.path.rfind('/');
  json.append("{\"id\":").append(std::to_string(catalogue.id));
  json.append(",\"path\":").append(JsonQuoted(catalogue.path));
  json.append(",\"name\":")
      .append(JsonQuoted(slash == std::string::npos ? catalogue.path
                                                    : catalogue.path.substr(slash + 1)));
  json.append(",\"format\":").append(JsonQuoted(catalogue.format));
  json.append(",\"status\":").append(JsonQuoted(catalogue.status));
  json.append(",\"state\":\"").append(StateOf(catalogue.status)).append("\"");
  json.append(",\"item_count\":").append(std::to_string(catalogue.itemCount));
  json.append(",\"total_size\":")
      .append(totalSize ? std::to_string(*totalSize) : std::string("null"));
  json.append(",\"listed_at\":\"").append(IsoSeconds(catalogue.listedAt)).append("\"");
  json.append(",\"listed_at_raw\":").append(std::to_string(catalogue.listedAt)).append("}");
}

// The query of a search request; an error message, or "".
std::string ReadQuery(const Reader& reader, find_query::Query* query) {
  for (std::string_view pattern : reader.All("q")) {
    if (pattern.empty()) continue;
    if (!IsUtf8(pattern)) return "q must be UTF-8 text";
    query->patterns.emplace_back(pattern);
  }
  if (auto text = reader.Get("type")) {
    if (*text != "f" && *text != "d") return "type is f (files) or d (folders)";
    query->directories = *text == "d";
  }
  if (auto text = reader.Get("size")) {
    query->size = find_query::ParseSize(*text);
    if (!query->size) {
      return std::string("size is +N, -N or N (k, M, G suffixes), not ").append(Quoted(*text));
    }
  }
  for (const char* name : {"newer", "older"}) {
    if (auto text = reader.Get(name)) {
      std::optional<uint64_t> ticks = find_query::ParseDate(*text);
      if (!ticks) {
        return std::string(name)
            .append(" is YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS (UTC), not ")
            .append(Quoted(*text));
      }
      (std::string_view(name) == "newer" ? query->newerThan : query->olderThan) = ticks;
    }
  }
  if (auto text = reader.Get("description")) {
    if (text->empty()) return "description needs a TEXT";
    if (!IsUtf8(*text)) return "description must be UTF-8 text";
    query->description = std::string(*text);
  }
  // A catalogue's path is bytes as the file system has them: any bytes may match it.
  if (auto text = reader.Get("catalogue")) {
    if (text->empty()) return "catalogue needs a PATTERN";
    query->catalogue = std::string(*text);
  }
  if (std::string error = ReadSwitch(reader, "ignore_case", &query->ignoreCase); !error.empty()) {
    return error;
  }
  if (std::string error = ReadSwitch(reader, "basename", &query->baseNameOnly); !error.empty()) {
    return error;
  }
  if (std::string error = ReadSwitch(reader, "path_only", &query->pathOnly); !error.empty()) {
    return error;
  }
  if (std::string error = ReadSwitch(reader, "regex", &query->regex); !error.empty()) {
    return error;
  }
  if (query->regex) {
    for (const std::string& pattern : query->patterns) {
      const std::string problem =
          find_query::RegexProblem(find_query::RegexWithBackslashes(pattern));
      if (!problem.empty()) {
        return std::string("not a regular expression: ")
            .append(Quoted(pattern))
            .append(": ")
            .append(problem);
      }
    }
  }
  const bool anyFilter = query->directories || query->size || query->newerThan ||
                         query->olderThan || query->description || query->catalogue;
  if (query->patterns.empty() && !anyFilter) return "no pattern: give q or a filter";
  return "";
}

}  // namespace

std::string ErrorBody(std::string_view message) {
  return std::string("{\"error\":").append(JsonQuoted(message)).append("}");
}

Answer Api::Search(const Parameters& parameters) {
  const Reader reader(parameters);
  std::string error =
      reader.Check({"q", "type", "size", "newer", "older", "description", "catalogue",
                    "ignore_case", "basename", "path_only", "regex", "offset", "limit"},
                   {"q"});
  find_query::Query query;
  Page page;
  if (error.empty()) error = ReadQuery(reader, &query);
  if (error.empty()) error = ReadPage(reader, kDefaultSearchRows, &page);
  if (!error.empty()) return Failure(kBadRequest, error);

  IndexConnections::Lease lease;
  if (!connections_.Borrow(&lease, &error)) return Failure(kUnavailable, error);
  const index_db::IndexDb& db = lease.db();
  ReadTransaction transaction(db);
  TimeLimit timeLimit(db, timeLimit_);
  auto databaseFailure = [&] {
    if (timeLimit.Reached()) return Failure(kUnavailable, "the query took too long");
    return Failure(kUnavailable,
                   std::string("cannot read the index: ").append(index_db::LastError(db)));
  };
  if (!transaction.Begin(&error)) return databaseFailure();

  // One read transaction: the catalogues and their items come from the same committed state.
  const find_query::Matcher matcher(query);
  std::unordered_map<int64_t, std::string> catalogues;
  index_db::Statement catalogueRows;
  bool failed = false;
  if (!catalogueRows.Prepare(db, "SELECT id, path FROM catalogues", &error)) {
    return databaseFailure();
  }
  while (catalogueRows.Step(&failed)) {
    std::string_view path = catalogueRows.ColumnText(1);
    if (matcher.AcceptsCatalogue(path)) catalogues.emplace(catalogueRows.ColumnInt(0), path);
  }
  if (failed) return databaseFailure();

  index_db::Statement items;
  find_query::IndexShape shape;
  for (const auto& [id, path] : catalogues) shape.catalogues.emplace_back(id, path);
  if (!item_search::PrepareItems(db, query, matcher, false, std::move(shape), &items, &error)) {
    return databaseFailure();
  }
  std::string json = "{\"items\":[";
  uint64_t skipped = 0;
  uint64_t listed = 0;
  bool more = false;
  while (items.Step(&failed)) {
    auto catalogue = catalogues.find(items.ColumnInt(find_query::kCatalogueColumn));
    if (catalogue == catalogues.end()) continue;
    const find_query::ItemRow row = item_search::RowOf(items, catalogue->second);
    if (!matcher.Accepts(row)) continue;
    if (skipped < page.offset) {
      ++skipped;
      continue;
    }
    if (listed == page.limit) {
      more = true;
      break;
    }
    if (listed++ > 0) json.push_back(',');
    item_search::AppendItemJson(json, catalogue->second, row, item_search::Damaged(items));
  }
  bool partial = false;
  if (failed) {
    if (!timeLimit.Reached()) return databaseFailure();
    partial = true;
  }
  json.append("],\"offset\":").append(std::to_string(page.offset));
  json.append(",\"limit\":").append(std::to_string(page.limit));
  json.append(",\"more\":").append(Bool(more));
  json.append(",\"partial\":").append(Bool(partial)).append("}");
  return Answer{200, std::move(json)};
}

Answer Api::Catalogues(const Parameters& parameters) {
  const Reader reader(parameters);
  std::string error = reader.Check({"offset", "limit"});
  Page page;
  if (error.empty()) error = ReadPage(reader, kMostRows, &page);
  if (!error.empty()) return Failure(kBadRequest, error);

  IndexConnections::Lease lease;
  if (!connections_.Borrow(&lease, &error)) return Failure(kUnavailable, error);
  const index_db::IndexDb& db = lease.db();
  ReadTransaction transaction(db);
  TimeLimit timeLimit(db, timeLimit_);
  auto databaseFailure = [&] {
    if (timeLimit.Reached()) return Failure(kUnavailable, "the query took too long");
    return Failure(kUnavailable,
                   std::string("cannot read the index: ").append(index_db::LastError(db)));
  };
  index_db::Statement rows;
  index_db::Statement sizes;
  if (!transaction.Begin(&error) ||
      !rows.Prepare(
          db,
          std::string(kCatalogueColumns).append(" ORDER BY path, id LIMIT ?1 OFFSET ?2").c_str(),
          &error) ||
      !sizes.Prepare(db,
                     std::string("SELECT size FROM items WHERE ")
                         .append(index_db::CatalogueItems(db.version, "?1"))
                         .append(" AND attributes & 16 = 0")
                         .c_str(),
                     &error)) {
    return databaseFailure();
  }
  rows.BindInt(1, static_cast<int64_t>(page.limit + 1));
  rows.BindInt(2, static_cast<int64_t>(page.offset));
  std::vector<Catalogue> catalogues;
  bool failed = false;
  while (rows.Step(&failed)) catalogues.push_back(CatalogueOf(rows));
  if (failed) return databaseFailure();
  const bool more = catalogues.size() > page.limit;
  if (more) catalogues.pop_back();

  // The total sizes not known yet are summed while time is left; the rest answer null, and
  // the next request goes on with them.
  bool partial = false;
  std::string json = "{\"catalogues\":[";
  for (const Catalogue& catalogue : catalogues) {
    std::optional<uint64_t> total;
    {
      std::lock_guard<std::mutex> lock(totalsMutex_);
      if (auto known = totals_.find(catalogue.key); known != totals_.end()) total = known->second;
    }
    if (!total && !partial && !timeLimit.Reached()) {
      uint64_t sum = 0;
      sizes.BindInt(1, catalogue.id);
      while (sizes.Step(&failed)) {
        sum += static_cast<uint64_t>(sizes.ColumnInt(0));  // modulo 2^64, as sizes are unsigned
      }
      sizes.Reset();
      if (failed && !timeLimit.Reached()) return databaseFailure();
      if (!failed) {
        total = sum;
        std::lock_guard<std::mutex> lock(totalsMutex_);
        totals_[catalogue.key] = sum;
      }
    }
    partial = partial || !total;
    if (&catalogue != &catalogues.front()) json.push_back(',');
    AppendCatalogue(json, catalogue, total);
  }
  json.append("],\"offset\":").append(std::to_string(page.offset));
  json.append(",\"limit\":").append(std::to_string(page.limit));
  json.append(",\"more\":").append(Bool(more));
  json.append(",\"partial\":").append(Bool(partial)).append("}");
  return Answer{200, std::move(json)};
}

Answer Api::Children(const Parameters& parameters) {
  const Reader reader(parameters);
  std::string error = reader.Check({"catalogue", "path", "offset", "limit"});
  Page page;
  std::optional<uint64_t> id;
  std::string_view path;
  if (error.empty()) error = ReadPage(reader, kMostRows, &page);
  if (error.empty()) {
    auto text = reader.Get("catalogue");
    if (!text) {
      error = "catalogue (a catalogue's id) is needed";
    } else if (id = Number(*text, 0, INT64_MAX); !id) {
      error = std::string("catalogue is a catalogue's id, not ").append(Quoted(*text));
    }
  }
  if (error.empty()) {
    path = reader.Get("path").value_or("");
    if (!IsUtf8(path)) error = "path must be UTF-8 text";
  }
  if (!error.empty()) return Failure(kBadRequest, error);

  IndexConnections::Lease lease;
  if (!connections_.Borrow(&lease, &error)) return Failure(kUnavailable, error);
  const index_db::IndexDb& db = lease.db();
  ReadTransaction transaction(db);
  auto databaseFailure = [&] {
    return Failure(kUnavailable,
                   std::string("cannot read the index: ").append(index_db::LastError(db)));
  };
  index_db::Statement row;
  if (!transaction.Begin(&error) ||
      !row.Prepare(db, std::string(kCatalogueColumns).append(" WHERE id = ?1").c_str(), &error)) {
    return databaseFailure();
  }
  row.BindInt(1, static_cast<int64_t>(*id));
  bool failed = false;
  if (!row.Step(&failed)) {
    if (failed) return databaseFailure();
    return Failure(kNotFound, "no catalogue has that id");
  }
  const Catalogue catalogue = CatalogueOf(row);

  std::shared_ptr<const FolderTree> tree = trees_.Find(catalogue.key);
  if (!tree) {
    auto built = std::make_shared<FolderTree>();
    switch (FolderTree::Build(db, catalogue.id, timeLimit_, built.get(), &error)) {
      case FolderTree::Built::kDone:
        break;
      case FolderTree::Built::kTimeUp:
        return Failure(kUnavailable, "the catalogue took too long to read");
      case FolderTree::Built::kFailed:
        return Failure(kUnavailable, std::string("cannot read the catalogue: ").append(error));
    }
    trees_.Keep(catalogue.key, built);
    tree = std::move(built);
  }
  const FolderTree::Node* folder = tree->Find(path);
  if (folder == nullptr) return Failure(kNotFound, "no such folder in the catalogue");

  std::string json = "{\"catalogue\":";
  AppendCatalogue(json, catalogue, tree->Find("")->totalSize);
  json.append(",\"path\":").append(JsonQuoted(path));
  json.append(",\"total_size\":").append(std::to_string(folder->totalSize));
  json.append(",\"child_count\":").append(std::to_string(folder->childCount));
  json.append(",\"items\":[");
  const uint64_t end = std::min<uint64_t>(folder->childCount, page.offset + page.limit);
  for (uint64_t i = page.offset; i < end; ++i) {
    const FolderTree::Node& child = tree->Child(*folder, static_cast<uint32_t>(i));
    const std::string_view name = tree->Name(child);
    std::string childPath =
        path.empty() ? std::string(name) : std::string(path).append("\\").append(name);
    if (i > page.offset) json.push_back(',');
    json.append("{\"name\":").append(JsonQuoted(name));
    json.append(",\"path\":").append(JsonQuoted(childPath));
    json.append(",\"size\":").append(std::to_string(child.size));
    json.append(",\"total_size\":").append(std::to_string(child.totalSize));
    if (child.implied) {
      json.append(",\"mtime\":null,\"mtime_raw\":null");
    } else {
      json.append(",\"mtime\":\"").append(find_query::FormatTime(child.writeTime, true));
      json.append("\",\"mtime_raw\":").append(std::to_string(child.writeTime));
    }
    json.append(",\"attributes\":").append(std::to_string(child.attributes));
    json.append(",\"directory\":").append(Bool(child.directory));
    json.append(",\"child_count\":").append(std::to_string(child.childCount));
    json.append(",\"description\":").append(JsonQuoted(tree->Description(child)));
    json.append(",\"damaged\":").append(Bool(child.damaged));
    json.append(",\"implied\":").append(Bool(child.implied)).append("}");
  }
  json.append("],\"offset\":").append(std::to_string(page.offset));
  json.append(",\"limit\":").append(std::to_string(page.limit));
  json.append(",\"more\":").append(Bool(end < folder->childCount)).append("}");
  return Answer{200, std::move(json)};
}

}  // namespace catweb
