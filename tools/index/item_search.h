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
// longest. `shape.catalogues` lists the catalogues searched; the descriptions' table is used
// where the index's version has it. False with `error` set when the SQL does not prepare.
bool PrepareItems(const index_db::IndexDb& db, const find_query::Query& query,
                  const find_query::Matcher& matcher, bool duplicates, find_query::IndexShape shape,
                  index_db::Statement* statement, std::string* error);

// One item as a JSON object: catfind --json's line, and catweb's items.
void AppendItemJson(std::string& json, std::string_view cataloguePath,
                    const find_query::ItemRow& row, bool damaged);

}  // namespace item_search
