#include "tools/index/item_search.h"

#include <utility>
#include <variant>
#include <vector>

#include "tools/common/item_format.h"
#include "tools/index/trigram_counts.h"

namespace item_search {

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
  // Version 4 added the descriptions' trigram table.
  shape.descriptionTable = db.version >= 4;
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
