// The index's trigram statistics: how many paths of a sample of the items hold each trigram
// (case folded), in the table trigram_counts. catindex counts them again after a run that
// changed the index; catfind reads them to ask the trigram table for the rarest trigrams of its
// patterns first, as a common trigram's posting list holds nearly every item.
//
// The counts only steer the search: any trigram of a pattern is a condition every match meets,
// so stale or missing counts make a query slower, never its answer different.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tools/index/find_query.h"
#include "tools/index/index_db.h"

namespace trigram_counts {

// Paths read for the sample, spread evenly over the items' ids.
constexpr size_t kSampledPaths = 16384;

// Counts the trigrams of a new sample and replaces the table with them, in one transaction.
// False with `error` set on a database failure (the old counts then stay).
bool Recount(const index_db::IndexDb& db, std::string* error);

// The counts of the trigrams of `literals` (each trigram once). False when the index holds no
// counts (an empty index); `candidates` is then empty. Errors read as no counts.
bool Read(const index_db::IndexDb& db, const std::vector<std::string>& literals,
          std::vector<find_query::TrigramCount>* candidates);

}  // namespace trigram_counts
