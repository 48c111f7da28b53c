// catfind's matching rules as plain functions: which item a pattern and the filters accept, and
// what the index can be asked first to narrow the rows. SQL only narrows; every row it returns
// is decided here, so the rules live in one place and are tested without a database.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "tools/index/index_db.h"

namespace find_query {

// A pattern holding `*`, `?` or `[` is a glob that must match the whole text; any other pattern
// matches any part of it (locate's rule).
bool IsGlob(std::string_view pattern);

// An item pattern with each `/` made the `\` that separates the components of item paths, so
// that `2003/holiday` finds `2003\holiday.jpg`. Not for regular expressions (RegexWithBackslashes).
std::string WithBackslashes(std::string_view pattern);

// A regular expression with each `/` (also an escaped `\/`, and inside `\Q...\E`) made one
// that matches a backslash.
std::string RegexWithBackslashes(std::string_view regex);

// Why PCRE2 refuses `regex` (after RegexWithBackslashes), with the offset it names; "" when it
// compiles.
std::string RegexProblem(std::string_view regex);

// The name of a catalogue: its file's name without folder and extension ("photos" for
// /x/photos.mur and /x/photos.mur.gz; a name that starts with its only dot keeps it).
std::string_view CatalogueName(std::string_view cataloguePath);

// Whether text that holds `literal` may start it within `prefix` (a catalogue's "NAME\"): some
// suffix of `prefix` is a prefix of `literal`, or `literal` occurs in `prefix`. Both folded
// alike.
bool PrefixMayHold(std::string_view prefix, std::string_view literal);

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
// TrigramQuery is the plain rule this one improves on, for an index without counts. Two at most:
// the trigrams of one word select nearly the same rows, and on real names (the 20 queries of
// bench/peers.sh --search --real) a third and a fourth cost more instructions than they saved.
constexpr uint64_t kCommonerFactor = 4;
constexpr size_t kMostTrigrams = 2;
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
  bool pathOnly = false;            // --path-only: patterns match the item's path only
  bool regex = false;               // -r: patterns are PCRE2 regular expressions
  bool ignoreCase = false;          // -i: also for --description
  std::optional<bool> directories;  // --type: true d, false f
  std::optional<SizeFilter> size;
  std::optional<uint64_t> newerThan;  // write time strictly after (FILETIME ticks)
  std::optional<uint64_t> olderThan;  // write time strictly before
  std::optional<std::string> description;
  std::optional<std::string> catalogue;  // a pattern for the catalogue file's path
};

// The last component of an item's path (the whole path when it has one component).
std::string_view BaseName(std::string_view path);

struct ItemRow {
  std::string_view path;
  std::string_view name;  // BaseName(path)
  uint64_t size;
  uint64_t writeTime;
  uint32_t attributes;
  std::string_view description;
  std::string_view cataloguePath;  // of the catalogue that holds the item: its name matches too
};

struct CompiledRegex;

// The query prepared once: folded patterns, the literal that narrows the rows.
//
// Each pattern must match one of an item's texts: its path, "NAME\PATH" (the name of the
// catalogue that holds it, a backslash, its path) or its description. A substring occurs in
// one, a glob matches one whole, a regular expression matches in one. With -b the text is the
// item's name only, with --path-only its path only.
class Matcher {
 public:
  explicit Matcher(const Query& query);

  // Whether a catalogue's path passes --catalogue (always true without one).
  bool AcceptsCatalogue(std::string_view cataloguePath) const;
  bool Accepts(const ItemRow& row) const;

  // The literal (3 characters or more) that every accepted item holds in its path, its
  // description or "NAME\PATH" (with -b or --path-only: in its path), for the trigram tables;
  // empty when no pattern offers one and every row must be scanned.
  const std::string& NarrowingLiteral() const { return narrowingLiteral_; }
  // The literals whose trigrams are the candidates for RarestTrigramsQuery, case folded: with
  // -b or --path-only, one per pattern that has one (the longest of each), as every pattern
  // matches the path; else NarrowingLiteral's alone, as each pattern may match another text.
  const std::vector<std::string>& NarrowingLiterals() const { return narrowingLiterals_; }
  // Whether the patterns match the item's path or name only (-b, --path-only).
  bool PathsOnly() const { return query_.baseNameOnly || query_.pathOnly; }

 private:
  struct Pattern {
    std::string text;  // folded under -i (a glob outside its sets)
    bool glob;
    std::shared_ptr<CompiledRegex> regex;  // with -r
  };
  // `text` is folded already under -i (but for a regular expression).
  bool TextMatches(const Pattern& pattern, std::string_view text) const;
  // Whether `pattern` matches one of the row's texts (the path in `path`, folded under -i).
  bool ItemMatches(const Pattern& pattern, const ItemRow& row, std::string_view path) const;

  Query query_;
  std::vector<Pattern> patterns_;
  std::optional<Pattern> description_;
  std::optional<Pattern> catalogue_;
  std::string narrowingLiteral_;
  std::vector<std::string> narrowingLiterals_;
  mutable std::string folded_;  // reused by Accepts under -i: no allocation per row
  mutable std::string foldedDescription_;
  mutable std::string namedPath_;  // "NAME\PATH", folded under -i
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

// Catalogues whose names may hold a pattern's literal, at most, for the items query to read
// all their items; past that it reads every item.
constexpr size_t kMostNamedCatalogues = 64;

// What the items query needs to know of the index beside the query.
struct IndexShape {
  // The catalogues searched (their id and path): a pattern may match through their names.
  std::vector<std::pair<int64_t, std::string_view>> catalogues;
  // The index's schema version. Before 4 it has no descriptions' trigram table, and every item
  // is read unless the patterns match paths only.
  int version = index_db::kSchemaVersion;
};

// The columns of ItemsQuery's rows, numbered from 0 as sqlite3_column_* numbers them.
enum ItemColumn {
  kCatalogueColumn,
  kPathColumn,
  kSizeColumn,
  kWriteTimeColumn,
  kAttributesColumn,
  kDescriptionColumn,
  kDamagedColumn,
};

// Whether `text` (first folded into `folded` as FoldCase folds, when `fold`) holds `substring`,
// byte for byte.
bool Holds(std::string_view text, std::string_view substring, bool fold, std::string& folded);

// The SQL function (SUBSTRING, FOLD, TEXT...) that is 1 when Holds holds for one of the TEXTs,
// with which the items query tests its substrings (SQLite's instr() compares at every byte with a
// call of memcmp, and lower() copies every text): the connection must have it (item_search
// registers it).
constexpr const char* kHoldsFunction = "catfind_holds";

// The SQL function that gives BaseName of a path, which --duplicates sorts by: the connection
// must have it (item_search registers it).
constexpr const char* kBaseNameFunction = "catfind_base_name";

// The SELECT that narrows the items before the exact rules judge them: every condition in it
// accepts at least every row that Matcher::Accepts accepts, and every value is bound, never
// written in. Its columns are ItemColumn's. `trigramMatch` is the FTS5 query for the trigram
// tables, asked when the query has a narrowing literal: of the paths alone with -b or --path-only,
// else one SELECT each for the paths, the descriptions (not holding it in the path) and every
// item of the catalogues whose name may hold it (which the other two leave out), joined by
// UNION ALL: each streams as its table gives the rows. With `duplicates`, files only, sorted
// so that the copies of one file (name, size, write time) come together.
SqlQuery ItemsQuery(const Query& query, const Matcher& matcher, bool duplicates,
                    const std::string& trigramMatch, const IndexShape& index);

}  // namespace find_query
