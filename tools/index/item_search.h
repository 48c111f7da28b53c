// A search of the index's items as catfind and catweb run it: the narrowing query prepared and
// bound, and an accepted item written as JSON. The rules themselves are find_query's.
#pragma once

#include <string>
#include <string_view>

#include "tools/index/find_query.h"
#include "tools/index/index_db.h"

namespace item_search {

// Prepares find_query's items query for `query` on `db` into `statement` and binds its values:
// the rarest trigrams of the literals when the index has counted them, else every third of the
// longest. `shape.catalogues` lists the catalogues searched; `shape.version` is set from
// `db`. False with `error` set when the SQL does not prepare.
bool PrepareItems(const index_db::IndexDb& db, const find_query::Query& query,
                  const find_query::Matcher& matcher, bool duplicates, find_query::IndexShape shape,
                  index_db::Statement* statement, std::string* error);

// The row `statement` (prepared by PrepareItems) stands on, of the catalogue at `cataloguePath`.
find_query::ItemRow RowOf(const index_db::Statement& statement, std::string_view cataloguePath);
// Whether that row's item is damaged.
bool Damaged(const index_db::Statement& statement);

// One item as a JSON object: catfind --json's line, and catweb's items.
void AppendItemJson(std::string& json, std::string_view cataloguePath,
                    const find_query::ItemRow& row, bool damaged);

}  // namespace item_search
