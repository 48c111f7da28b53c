#include "tools/index/item_search.h"

#include <sqlite3.h>

#include <utility>
#include <variant>
#include <vector>

#include "tools/common/item_format.h"
#include "tools/index/trigram_counts.h"

namespace item_search {

namespace {

void BaseNameOf(sqlite3_context* context, int, sqlite3_value** values) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(values[0]));
  if (text == nullptr) return sqlite3_result_null(context);
  const std::string_view name = find_query::BaseName(
      std::string_view(text, static_cast<size_t>(sqlite3_value_bytes(values[0]))));
  sqlite3_result_text64(context, name.data(), name.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

std::string_view TextOf(sqlite3_value* value) {
  const auto* bytes = static_cast<const char*>(sqlite3_value_blob(value));
  if (bytes == nullptr) return {};
  return {bytes, static_cast<size_t>(sqlite3_value_bytes(value))};
}

void HoldsOf(sqlite3_context* context, int count, sqlite3_value** values) {
  thread_local std::string folded;  // reused: no allocation per row (catweb runs threads)
  if (count < 2) return sqlite3_result_error(context, "SUBSTRING, FOLD, TEXT...", -1);
  const std::string_view substring = TextOf(values[0]);
  const bool fold = sqlite3_value_int(values[1]) != 0;
  for (int i = 2; i < count; ++i) {
    if (find_query::Holds(TextOf(values[i]), substring, fold, folded)) {
      return sqlite3_result_int(context, 1);
    }
  }
  sqlite3_result_int(context, 0);
}

// The functions the items query calls.
bool RegisterFunctions(const index_db::IndexDb& db, std::string* error) {
  constexpr int kFlags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
  if (sqlite3_create_function_v2(db.get(), find_query::kBaseNameFunction, 1, kFlags, nullptr,
                                 BaseNameOf, nullptr, nullptr, nullptr) == SQLITE_OK &&
      sqlite3_create_function_v2(db.get(), find_query::kHoldsFunction, -1, kFlags, nullptr, HoldsOf,
                                 nullptr, nullptr, nullptr) == SQLITE_OK) {
    return true;
  }
  *error = index_db::LastError(db);
  return false;
}

}  // namespace

bool PrepareItems(const index_db::IndexDb& db, const find_query::Query& query,
                  const find_query::Matcher& matcher, bool duplicates, find_query::IndexShape shape,
                  index_db::Statement* statement, std::string* error) {
  std::string match;
  if (const std::string& literal = matcher.NarrowingLiteral(); !literal.empty()) {
    std::vector<find_query::TrigramCount> candidates;
    match = trigram_counts::Read(db, matcher.NarrowingLiterals(), &candidates)
                ? find_query::RarestTrigramsQuery(std::move(candidates))
                : find_query::TrigramQuery(literal);
  }
  shape.version = db.version;
  if (!RegisterFunctions(db, error)) return false;
  const find_query::SqlQuery sql = find_query::ItemsQuery(query, matcher, duplicates, match, shape);
  if (!statement->Prepare(db, sql.sql.c_str(), error)) return false;
  for (size_t i = 0; i < sql.values.size(); ++i) {
    const int number = static_cast<int>(i + 1);
    if (const auto* text = std::get_if<std::string>(&sql.values[i])) {
      statement->BindText(number, *text);
    } else {
      statement->BindInt(number, std::get<int64_t>(sql.values[i]));
    }
  }
  return true;
}

find_query::ItemRow RowOf(const index_db::Statement& statement, std::string_view cataloguePath) {
  const std::string_view path = statement.ColumnText(find_query::kPathColumn);
  return find_query::ItemRow{
      path,
      find_query::BaseName(path),
      static_cast<uint64_t>(statement.ColumnInt(find_query::kSizeColumn)),
      static_cast<uint64_t>(statement.ColumnInt(find_query::kWriteTimeColumn)),
      static_cast<uint32_t>(statement.ColumnInt(find_query::kAttributesColumn)),
      statement.ColumnText(find_query::kDescriptionColumn),
      cataloguePath};
}

bool Damaged(const index_db::Statement& statement) {
  return statement.ColumnInt(find_query::kDamagedColumn) != 0;
}

void AppendItemJson(std::string& json, std::string_view cataloguePath,
                    const find_query::ItemRow& row, bool damaged) {
  json.append("{\"catalogue\":").append(JsonQuoted(cataloguePath));
  json.append(",\"path\":").append(JsonQuoted(row.path));
  json.append(",\"name\":").append(JsonQuoted(row.name));
  json.append(",\"size\":").append(std::to_string(row.size));
  json.append(",\"mtime\":\"").append(find_query::FormatTime(row.writeTime, true));
  json.append("\",\"mtime_raw\":").append(std::to_string(row.writeTime));
  json.append(",\"attributes\":").append(std::to_string(row.attributes));
  json.append(",\"directory\":").append((row.attributes & 0x10) != 0 ? "true" : "false");
  json.append(",\"description\":").append(JsonQuoted(row.description));
  json.append(",\"damaged\":").append(damaged ? "true" : "false").append("}");
}

}  // namespace item_search
