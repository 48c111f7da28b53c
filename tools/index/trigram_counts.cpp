#include "tools/index/trigram_counts.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <unordered_map>

namespace trigram_counts {

bool Recount(const index_db::IndexDb& db, std::string* error) {
  index_db::Statement range;
  index_db::Statement pathFrom;
  if (!range.Prepare(db, "SELECT min(id), max(id) FROM items", error) ||
      !pathFrom.Prepare(db, "SELECT id, path FROM items WHERE id >= ?1 ORDER BY id LIMIT 1",
                        error)) {
    return false;
  }
  if (!index_db::Execute(db, "BEGIN IMMEDIATE", error)) return false;
  auto fail = [&] {
    *error = index_db::LastError(db);
    std::string ignored;
    index_db::Execute(db, "ROLLBACK", &ignored);
    return false;
  };
  bool failed = false;
  if (!range.Step(&failed)) return fail();
  const bool empty = sqlite3_column_type(range.get(), 0) == SQLITE_NULL;
  const int64_t first = range.ColumnInt(0);
  const int64_t last = range.ColumnInt(1);
  range.Reset();

  std::unordered_map<std::string, uint64_t> counts;
  std::string folded;
  if (!empty) {
    // Ids as distances from the first, in unsigned arithmetic: an index edited by hand may hold
    // any ids, and no sum may overflow.
    const auto distance = [&](int64_t id) {
      return static_cast<uint64_t>(id) - static_cast<uint64_t>(first);
    };
    const uint64_t span = distance(last);
    const uint64_t step = span / kSampledPaths + 1;
    uint64_t next = 0;  // the distance of the first id not sampled yet
    for (uint64_t offset = 0; offset <= span && next <= span; offset += step) {
      const uint64_t wanted = std::max(offset, next);
      pathFrom.BindInt(1, static_cast<int64_t>(static_cast<uint64_t>(first) + wanted));
      const bool found = pathFrom.Step(&failed);
      if (failed) return fail();
      if (found) {
        next = distance(pathFrom.ColumnInt(0)) + 1;
        find_query::FoldCaseInto(pathFrom.ColumnText(1), folded);
        for (std::string& trigram : find_query::Trigrams(folded)) ++counts[std::move(trigram)];
      }
      pathFrom.Reset();
      if (!found || next == 0 || offset > span - step) break;
    }
  }

  index_db::Statement insert;
  if (!index_db::Execute(db, "DELETE FROM trigram_counts", error) ||
      !insert.Prepare(db, "INSERT INTO trigram_counts (trigram, items) VALUES (?1, ?2)", error)) {
    return fail();
  }
  for (const auto& [trigram, count] : counts) {
    insert.BindText(1, trigram);
    insert.BindInt(2, static_cast<int64_t>(count));
    if (!insert.Run()) return fail();
  }
  if (!index_db::Execute(db, "COMMIT", error)) return fail();
  return true;
}

bool Read(const index_db::IndexDb& db, const std::vector<std::string>& literals,
          std::vector<find_query::TrigramCount>* candidates) {
  candidates->clear();
  index_db::Statement count;
  std::string error;
  if (!count.Prepare(db, "SELECT items FROM trigram_counts WHERE trigram = ?1", &error)) {
    return false;
  }
  bool failed = false;
  bool anyCounted = false;
  for (const std::string& literal : literals) {
    for (std::string& trigram : find_query::Trigrams(literal)) {
      if (std::any_of(
              candidates->begin(), candidates->end(),
              [&](const find_query::TrigramCount& known) { return known.trigram == trigram; })) {
        continue;
      }
      count.BindText(1, trigram);
      const bool counted = count.Step(&failed);
      const uint64_t items = counted ? static_cast<uint64_t>(count.ColumnInt(0)) : 0;
      count.Reset();
      if (failed) {
        candidates->clear();
        return false;
      }
      anyCounted = anyCounted || counted;
      candidates->push_back({std::move(trigram), items});
    }
  }
  if (anyCounted) return true;
  // None of these trigrams is counted: the index may have no counts at all.
  index_db::Statement any;
  if (!any.Prepare(db, "SELECT 1 FROM trigram_counts LIMIT 1", &error) || !any.Step(&failed)) {
    candidates->clear();
    return false;
  }
  return true;
}

}  // namespace trigram_counts
