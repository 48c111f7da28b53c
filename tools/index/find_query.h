// catfind's matching rules as plain functions: which item a pattern and the filters accept, and
// what the index can be asked first to narrow the rows. SQL only narrows; every row it returns
// is decided here, so the rules live in one place and are tested without a database.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace find_query {

// A pattern holding `*`, `?` or `[` is a glob that must match the whole text; any other pattern
// matches any part of it (locate's rule).
bool IsGlob(std::string_view pattern);

// `text` with ASCII and Latin-1 capitals (U+00C0 to U+00DE but for U+00D7) made small letters.
// The UTF-8 length stays the same, byte for byte.
std::string FoldCase(std::string_view text);
// The same into `folded`, whose storage is reused.
void FoldCaseInto(std::string_view text, std::string& folded);

// Whether the glob matches all of `text`. `*` matches any run of characters, `?` one character
// (a whole UTF-8 sequence), `[...]` one character from a set: ranges `a-c`, negation by a first
// `!` or `^`, a `]` right after the opening (or the negation) is a member. A `[` without its
// closing `]` is an ordinary character. Nothing escapes: a backslash matches itself, as item
// paths use it to separate components; `[*]`, `[?]` and `[[]` match those characters literally.
// Separators get no special care: `*` and `?` match a backslash too.
// With `ignoreCase` (-i), `text` is folded already (FoldCase) and `glob` too (FoldGlob), and a
// set takes a character when the character or its other case is a member (ASCII and Latin-1
// letters, those FoldCase knows): `[A-_]` takes `_` and every letter, `[@-Z]` no `_`.
bool GlobMatches(std::string_view glob, std::string_view text, bool ignoreCase = false);

// `glob` with its characters outside sets folded as FoldCase folds them, for GlobMatches under
// -i; its sets stay as written, so that no range loses or gains members.
std::string FoldGlob(std::string_view glob);

// The longest run of characters a glob's matches must hold literally (the text between its
// wildcards and sets); for a substring pattern, the pattern itself.
std::string LongestLiteral(std::string_view pattern);

// The number of characters (UTF-8 sequences; a stray byte counts as one) in `text`.
size_t CharacterCount(std::string_view text);

// `text` as one FTS5 string: in double quotes, with each double quote doubled.
std::string Fts5String(std::string_view text);

// An FTS5 query for the trigram table that every text holding `literal` (3 characters or
// more) satisfies: the trigrams at every third character and the last one, each an FTS5 string,
// all required. A phrase would say more, but the table keeps no positions (detail=none), and
// the rows are checked exactly anyway.
std::string TrigramQuery(std::string_view literal);

// Every distinct trigram (three consecutive characters) of `text`, in order of first appearance.
std::vector<std::string> Trigrams(std::string_view text);

// A trigram and how many paths of the index's sample hold it (0: none of them).
struct TrigramCount {
  std::string trigram;
  uint64_t count;
};

// An FTS5 query for the trigram table, chosen by how often the trigrams occur: the rarest one,
// and with it the others at most kCommonerFactor times as frequent, kMostTrigrams at most. Any
// of a literal's trigrams is a condition every matching path meets; each one asked costs a walk
// of its posting list, which pays only while the list is short. Empty for no candidates.
// TrigramQuery is the plain rule this one improves on, for an index without counts.
constexpr uint64_t kCommonerFactor = 4;
constexpr size_t kMostTrigrams = 4;
std::string RarestTrigramsQuery(std::vector<TrigramCount> candidates);

// "+N" (bigger than), "-N" (smaller than) or "N" (exactly), N with an optional k, M or G
// suffix (1024-based). nullopt when the text is none of these or N overflows.
struct SizeFilter {
  enum class Compare { kBigger, kSmaller, kEqual } compare;
  uint64_t bytes;
};
std::optional<SizeFilter> ParseSize(std::string_view text);
bool SizeAccepts(const SizeFilter& filter, uint64_t size);

// "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SS" (a space also separates), UTC, as FILETIME ticks
// (100 ns since 1601-01-01). nullopt for any other text or an impossible date.
std::optional<uint64_t> ParseDate(std::string_view text);

// A FILETIME as "YYYY-MM-DD HH:MM:SS UTC" (`iso` false) or "YYYY-MM-DDTHH:MM:SS[.fffffff]Z".
std::string FormatTime(uint64_t ticks, bool iso);

// Every rule of one query. A row is accepted when every pattern and every filter accepts it.
struct Query {
  std::vector<std::string> patterns;
  bool baseNameOnly = false;        // -b: patterns match the last component (the name) only
  bool ignoreCase = false;          // -i: also for --description
  std::optional<bool> directories;  // --type: true d, false f
  std::optional<SizeFilter> size;
  std::optional<uint64_t> newerThan;  // write time strictly after (FILETIME ticks)
  std::optional<uint64_t> olderThan;  // write time strictly before
  std::optional<std::string> description;
  std::optional<std::string> catalogue;  // a pattern for the catalogue file's path
};

struct ItemRow {
  std::string_view path;
  std::string_view name;
  uint64_t size;
  uint64_t writeTime;
  uint32_t attributes;
  std::string_view description;
};

// The query prepared once: folded patterns, the literal that narrows the rows.
class Matcher {
 public:
  explicit Matcher(const Query& query);

  // Whether a catalogue's path passes --catalogue (always true without one).
  bool AcceptsCatalogue(std::string_view cataloguePath) const;
  bool Accepts(const ItemRow& row) const;

  // The literal (3 characters or more) every accepted path holds, for the trigram table;
  // empty when no pattern offers one and every row must be scanned.
  const std::string& NarrowingLiteral() const { return narrowingLiteral_; }
  // Every such literal, one per pattern that has one (the longest of each), case folded: their
  // trigrams are the candidates for RarestTrigramsQuery.
  const std::vector<std::string>& NarrowingLiterals() const { return narrowingLiterals_; }

 private:
  struct Pattern {
    std::string text;  // folded under -i (a glob outside its sets)
    bool glob;
  };
  // `text` is folded already under -i.
  bool TextMatches(const Pattern& pattern, std::string_view text) const;

  Query query_;
  std::vector<Pattern> patterns_;
  std::optional<Pattern> description_;
  std::optional<Pattern> catalogue_;
  std::string narrowingLiteral_;
  std::vector<std::string> narrowingLiterals_;
  mutable std::string folded_;  // reused by Accepts under -i: no allocation per row
};

// Substring patterns the items query tests beside the trigram table, at most: each is an
// instr() on every row the table leaves, and past a few the exact check of those rows costs no
// more. SQL takes only so much besides (expressions 1000 terms deep, 32766 parameters), and
// xargs may give tens of thousands of patterns.
constexpr size_t kMostSubstringConditions = 16;

// An SQL statement and the values of its parameters: values[i] is bound to ?(i + 1).
struct SqlQuery {
  std::string sql;
  std::vector<std::variant<std::string, int64_t>> values;
};

// The SELECT that narrows the items before the exact rules judge them: every condition in it
// accepts at least every row that Matcher::Accepts accepts, and every value is bound, never
// written in. Its columns, in this order: items.catalogue, path, name, size, write_time,
// attributes, description, damaged. `trigramMatch` is the FTS5 query for the trigram table,
// asked when the query has a narrowing literal. With `duplicates`, files only, sorted so that
// the copies of one file (name, size, write time) come together.
SqlQuery ItemsQuery(const Query& query, const Matcher& matcher, bool duplicates,
                    const std::string& trigramMatch);

}  // namespace find_query
