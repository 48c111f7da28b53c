#include "tools/index/find_query.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#include <string.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <limits>

#include "tools/common/display_text.h"
#include "tools/common/file_time.h"
#include "tools/common/glob_match.h"

namespace find_query {
namespace {

// The trigram table finds nothing shorter than three characters.
constexpr size_t kShortestNarrowingLiteral = 3;

using glob_match::CharacterLength;
using glob_match::MatchSet;

// The byte offset of each character of `text`, then its size: character i is
// text[starts[i], starts[i + 1]).
std::vector<size_t> CharacterStarts(std::string_view text) {
  std::vector<size_t> starts;
  for (size_t at = 0; at < text.size(); at += CharacterLength(text.substr(at))) {
    starts.push_back(at);
  }
  starts.push_back(text.size());
  return starts;
}

}  // namespace

// A regular expression compiled once (UTF-8, invalid sequences in a text never matched), with
// its match data, which each search reuses.
struct CompiledRegex {
  pcre2_code* code = nullptr;
  pcre2_match_data* data = nullptr;
  int errorCode = 0;
  PCRE2_SIZE errorOffset = 0;

  CompiledRegex(std::string_view regex, bool ignoreCase) {
    uint32_t options = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF | (ignoreCase ? PCRE2_CASELESS : 0);
    code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(regex.data()), regex.size(), options,
                         &errorCode, &errorOffset, nullptr);
    if (code == nullptr) return;
    // Without JIT (a platform without it) PCRE2 interprets: slower, the same answers.
    pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    data = pcre2_match_data_create_from_pattern(code, nullptr);
  }
  ~CompiledRegex() {
    pcre2_match_data_free(data);
    pcre2_code_free(code);
  }
  CompiledRegex(const CompiledRegex&) = delete;
  CompiledRegex& operator=(const CompiledRegex&) = delete;

  // Whether the expression matches somewhere in `text`. A search that passes PCRE2's limits
  // (catastrophic backtracking) counts as no match.
  bool Search(std::string_view text) const {
    if (code == nullptr) return false;
    return pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, 0, data,
                       nullptr) >= 0;
  }
};

namespace {

void FoldInPlace(std::string& folded) {
  for (size_t i = 0; i < folded.size(); ++i) {
    auto byte = static_cast<uint8_t>(folded[i]);
    if (byte >= 'A' && byte <= 'Z') {
      folded[i] = static_cast<char>(byte + 0x20);
    } else if (byte == 0xC3 && i + 1 < folded.size()) {
      // U+00C0..U+00DE are C3 80..C3 9E; their small letters C3 A0..C3 BE. U+00D7 is the
      // multiplication sign, which has none.
      auto next = static_cast<uint8_t>(folded[i + 1]);
      if (next >= 0x80 && next <= 0x9E && next != 0x97)
        folded[i + 1] = static_cast<char>(next + 0x20);
      ++i;
    }
  }
}

}  // namespace

bool IsGlob(std::string_view pattern) {
  return pattern.find_first_of("*?[") != std::string_view::npos;
}

std::string WithBackslashes(std::string_view pattern) {
  std::string converted(pattern);
  std::replace(converted.begin(), converted.end(), '/', '\\');
  return converted;
}

std::string RegexWithBackslashes(std::string_view regex) {
  // A backslash escaped is one both outside a class and within one.
  std::string converted;
  bool quoted = false;  // within \Q...\E, where every character is itself
  for (size_t i = 0; i < regex.size(); ++i) {
    const char c = regex[i];
    const char next = i + 1 < regex.size() ? regex[i + 1] : '\0';
    if (quoted) {
      if (c == '\\' && next == 'E') {
        quoted = false;
        converted.append("\\E");
        ++i;
      } else if (c == '/') {
        converted.append("\\E\\\\\\Q");
      } else {
        converted.push_back(c);
      }
    } else if (c == '\\' && i + 1 < regex.size()) {
      quoted = next == 'Q';
      converted.append(next == '/' ? "\\\\" : std::string{c, next});
      ++i;
    } else {
      converted.append(c == '/' ? "\\\\" : std::string(1, c));
    }
  }
  return converted;
}

std::string RegexProblem(std::string_view regex) {
  CompiledRegex compiled(regex, false);
  if (compiled.code != nullptr) return "";
  PCRE2_UCHAR message[256];
  pcre2_get_error_message(compiled.errorCode, message, sizeof message);
  return std::string(reinterpret_cast<const char*>(message))
      .append(" at offset ")
      .append(std::to_string(compiled.errorOffset));
}

std::string_view BaseName(std::string_view path) {
  // memrchr looks at many bytes at a time; rfind one by one, for every row read.
  const void* slash = memrchr(path.data(), '\\', path.size());
  if (slash == nullptr) return path;
  return path.substr(static_cast<size_t>(static_cast<const char*>(slash) - path.data()) + 1);
}

std::string_view CatalogueName(std::string_view cataloguePath) {
  std::string_view name = cataloguePath.substr(cataloguePath.rfind('/') + 1);
  // A gzip catalogue's name is its catalogue's.
  if (name.size() > 3 && name.ends_with(".gz")) name.remove_suffix(3);
  const size_t dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

bool Holds(std::string_view text, std::string_view substring, bool fold, std::string& folded) {
  if (fold) {
    FoldCaseInto(text, folded);
    text = folded;
  }
  // libstdc++ looks for the first byte with memchr: faster on short texts than memmem's set-up.
  return text.find(substring) != std::string_view::npos;
}

bool PrefixMayHold(std::string_view prefix, std::string_view literal) {
  if (literal.empty()) return true;
  for (size_t at = 0; at < prefix.size(); ++at) {
    const size_t length = std::min(prefix.size() - at, literal.size());
    if (prefix.compare(at, length, literal, 0, length) == 0) return true;
  }
  return false;
}

std::string FoldCase(std::string_view text) {
  std::string folded;
  FoldCaseInto(text, folded);
  return folded;
}

void FoldCaseInto(std::string_view text, std::string& folded) {
  folded.assign(text);
  FoldInPlace(folded);
}

std::string FoldGlob(std::string_view glob) {
  std::string folded;
  size_t unfolded = 0;  // where the text after the last set starts
  for (size_t p = 0; p < glob.size();) {
    size_t end = 0;
    bool unused = false;
    // '[' is never part of a longer UTF-8 sequence: a set starts at a character.
    if (glob[p] == '[' && MatchSet(glob, p, 0, false, end, unused)) {
      folded.append(FoldCase(glob.substr(unfolded, p - unfolded))).append(glob.substr(p, end - p));
      unfolded = p = end;
    } else {
      ++p;
    }
  }
  return folded.append(FoldCase(glob.substr(unfolded)));
}

bool GlobMatches(std::string_view glob, std::string_view text, bool ignoreCase) {
  return glob_match::GlobMatches(glob, text, ignoreCase);
}

std::string LongestLiteral(std::string_view pattern) {
  if (!IsGlob(pattern)) return std::string(pattern);
  std::string_view longest;
  size_t runStart = 0;
  size_t p = 0;
  auto closeRun = [&](size_t runEnd) {
    std::string_view run = pattern.substr(runStart, runEnd - runStart);
    if (CharacterCount(run) > CharacterCount(longest)) longest = run;
  };
  while (p < pattern.size()) {
    char c = pattern[p];
    size_t end = 0;
    bool unused = false;
    if (c == '*' || c == '?') {
      closeRun(p);
      runStart = ++p;
    } else if (c == '[' && MatchSet(pattern, p, 0, false, end, unused)) {
      closeRun(p);
      runStart = p = end;
    } else {
      ++p;
    }
  }
  closeRun(p);
  return std::string(longest);
}

size_t CharacterCount(std::string_view text) {
  size_t count = 0;
  for (size_t at = 0; at < text.size(); at += CharacterLength(text.substr(at))) ++count;
  return count;
}

std::string Fts5String(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  quoted += '"';
  return quoted;
}

std::string TrigramQuery(std::string_view literal) {
  const std::vector<size_t> starts = CharacterStarts(literal);
  size_t characters = starts.size() - 1;
  std::string query;
  if (characters < kShortestNarrowingLiteral) return query;
  auto addTrigram = [&](size_t first) {
    if (!query.empty()) query += ' ';
    query += Fts5String(literal.substr(starts[first], starts[first + 3] - starts[first]));
  };
  for (size_t first = 0; first + 3 <= characters; first += 3) addTrigram(first);
  if (characters % 3 != 0) addTrigram(characters - 3);
  return query;
}

std::vector<std::string> Trigrams(std::string_view text) {
  const std::vector<size_t> starts = CharacterStarts(text);
  std::vector<std::string> trigrams;
  for (size_t first = 0; first + 3 < starts.size(); ++first) {
    std::string_view trigram = text.substr(starts[first], starts[first + 3] - starts[first]);
    if (std::find(trigrams.begin(), trigrams.end(), trigram) == trigrams.end()) {
      trigrams.emplace_back(trigram);
    }
  }
  return trigrams;
}

std::string RarestTrigramsQuery(std::vector<TrigramCount> candidates) {
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const TrigramCount& a, const TrigramCount& b) { return a.count < b.count; });
  std::string query;
  for (size_t i = 0; i < candidates.size() && i < kMostTrigrams; ++i) {
    if (i > 0 && candidates[i].count > candidates[0].count * kCommonerFactor) break;
    if (!query.empty()) query += ' ';
    query += Fts5String(candidates[i].trigram);
  }
  return query;
}

std::optional<SizeFilter> ParseSize(std::string_view text) {
  SizeFilter filter{SizeFilter::Compare::kEqual, 0};
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    filter.compare = text[0] == '+' ? SizeFilter::Compare::kBigger : SizeFilter::Compare::kSmaller;
    text.remove_prefix(1);
  }
  unsigned shift = 0;
  if (!text.empty()) {
    switch (text.back()) {
      case 'k':
      case 'K':
        shift = 10;
        break;
      case 'M':
        shift = 20;
        break;
      case 'G':
        shift = 30;
        break;
      default:
        break;
    }
    if (shift != 0) text.remove_suffix(1);
  }
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (value > (std::numeric_limits<uint64_t>::max() - 9) / 10) return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > (std::numeric_limits<uint64_t>::max() >> shift)) return std::nullopt;
  filter.bytes = value << shift;
  return filter;
}

bool SizeAccepts(const SizeFilter& filter, uint64_t size) {
  switch (filter.compare) {
    case SizeFilter::Compare::kBigger:
      return size > filter.bytes;
    case SizeFilter::Compare::kSmaller:
      return size < filter.bytes;
    case SizeFilter::Compare::kEqual:
      break;
  }
  return size == filter.bytes;
}

std::optional<uint64_t> ParseDate(std::string_view text) {
  auto number = [&](size_t at, size_t digits) -> std::optional<uint32_t> {
    uint32_t value = 0;
    for (size_t i = at; i < at + digits; ++i) {
      if (text[i] < '0' || text[i] > '9') return std::nullopt;
      value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    }
    return value;
  };
  if (text.size() != 10 && text.size() != 19) return std::nullopt;
  if (text[4] != '-' || text[7] != '-') return std::nullopt;
  auto year = number(0, 4);
  auto month = number(5, 2);
  auto day = number(8, 2);
  std::optional<uint32_t> hour = 0, minute = 0, second = 0;
  if (text.size() == 19) {
    if ((text[10] != 'T' && text[10] != ' ') || text[13] != ':' || text[16] != ':') {
      return std::nullopt;
    }
    hour = number(11, 2);
    minute = number(14, 2);
    second = number(17, 2);
  }
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  if (*year < 1601 || *month < 1 || *month > 12 || *hour > 23 || *minute > 59 || *second > 59) {
    return std::nullopt;
  }
  if (*day < 1 || *day > file_time::DaysInMonth(*year, *month)) return std::nullopt;
  return file_time::FileTimeFromCivil({*year, *month, *day, *hour, *minute, *second, 0});
}

std::string FormatTime(uint64_t ticks, bool iso) {
  const file_time::CivilTime civil = file_time::CivilFromFileTime(ticks);
  char text[80];
  int length =
      std::snprintf(text, sizeof text, "%04u-%02u-%02u%c%02u:%02u:%02u", civil.year, civil.month,
                    civil.day, iso ? 'T' : ' ', civil.hour, civil.minute, civil.second);
  std::string formatted(text, static_cast<size_t>(length));
  if (!iso) return formatted.append(" UTC");
  // Sub-second ticks are kept so that the text says as much as the raw value.
  if (civil.ticks != 0) {
    std::snprintf(text, sizeof text, ".%07u", civil.ticks);
    formatted.append(text);
  }
  return formatted.append("Z");
}

Matcher::Matcher(const Query& query) : query_(query) {
  // Under -i a glob's sets stay as written: GlobMatches tries both cases of a character.
  auto prepare = [&](std::string_view text) {
    const bool glob = IsGlob(text);
    if (!query.ignoreCase) return Pattern{std::string(text), glob, nullptr};
    return Pattern{glob ? FoldGlob(text) : FoldCase(text), glob, nullptr};
  };
  for (const std::string& pattern : query.patterns) {
    if (query.regex) {
      // A regular expression offers no literal: every row is scanned.
      const std::string regex = RegexWithBackslashes(pattern);
      patterns_.push_back(
          Pattern{regex, false, std::make_shared<CompiledRegex>(regex, query.ignoreCase)});
      continue;
    }
    const std::string text = WithBackslashes(pattern);
    patterns_.push_back(prepare(text));
    // A name is part of its path: the literal narrows the paths under -b too.
    std::string literal = LongestLiteral(text);
    if (CharacterCount(literal) < kShortestNarrowingLiteral) continue;
    if (CharacterCount(literal) > CharacterCount(narrowingLiteral_)) narrowingLiteral_ = literal;
    if (PathsOnly()) narrowingLiterals_.push_back(FoldCase(literal));
  }
  if (!PathsOnly() && !narrowingLiteral_.empty()) {
    narrowingLiterals_.push_back(FoldCase(narrowingLiteral_));
  }
  // --description is a substring, whatever characters it holds.
  if (query.description) {
    description_ = Pattern{query.ignoreCase ? FoldCase(*query.description) : *query.description,
                           false, nullptr};
  }
  if (query.catalogue) catalogue_ = prepare(*query.catalogue);
}

bool Matcher::TextMatches(const Pattern& pattern, std::string_view text) const {
  if (pattern.regex) return pattern.regex->Search(text);
  if (pattern.glob) return GlobMatches(pattern.text, text, query_.ignoreCase);
  return text.find(pattern.text) != std::string_view::npos;
}

bool Matcher::AcceptsCatalogue(std::string_view cataloguePath) const {
  if (!catalogue_) return true;
  return TextMatches(*catalogue_, query_.ignoreCase ? FoldCase(cataloguePath) : cataloguePath);
}

bool Matcher::Accepts(const ItemRow& row) const {
  if (query_.directories && ((row.attributes & 0x10) != 0) != *query_.directories) return false;
  if (query_.size && !SizeAccepts(*query_.size, row.size)) return false;
  if (query_.newerThan && !(row.writeTime > *query_.newerThan)) return false;
  if (query_.olderThan && !(row.writeTime < *query_.olderThan)) return false;
  // A regular expression folds nothing: PCRE2 ignores case itself.
  const bool fold = query_.ignoreCase && !query_.regex;
  std::string_view target = query_.baseNameOnly ? row.name : row.path;
  if (fold && !patterns_.empty()) {
    FoldCaseInto(target, folded_);
    target = folded_;
  }
  // "NAME\PATH" and the description, made when a pattern first needs them.
  bool named = false;
  std::optional<std::string_view> description;
  auto foldedDescription = [&] {
    if (!description) {
      description = row.description;
      if (query_.ignoreCase) {
        FoldCaseInto(row.description, foldedDescription_);
        description = foldedDescription_;
      }
    }
    return *description;
  };
  for (const Pattern& pattern : patterns_) {
    if (TextMatches(pattern, target)) continue;
    if (PathsOnly()) return false;
    if (!named) {
      namedPath_.assign(CatalogueName(row.cataloguePath)).append("\\").append(row.path);
      if (fold) FoldInPlace(namedPath_);
      named = true;
    }
    if (TextMatches(pattern, namedPath_)) continue;
    if (query_.regex) {
      if (TextMatches(pattern, row.description)) continue;
    } else if (TextMatches(pattern, foldedDescription())) {
      continue;
    }
    return false;
  }
  if (description_) {
    if (!TextMatches(*description_, query_.ignoreCase ? foldedDescription() : row.description)) {
      return false;
    }
  }
  return true;
}

namespace {

// The WHERE clause of a query being built: each value takes the next parameter number, in the
// query's one list.
class Conditions {
 public:
  explicit Conditions(SqlQuery& query) : query_(query) {}

  // The placeholder of `value`, bound to the next parameter.
  std::string Parameter(std::variant<std::string, int64_t> value) {
    query_.values.push_back(std::move(value));
    return std::string("?").append(std::to_string(query_.values.size()));
  }
  void Add(std::string condition) { terms_.push_back(std::move(condition)); }

  void AppendTo(std::string& sql) const {
    for (const std::string& term : terms_) {
      sql.append(&term == &terms_.front() ? " WHERE " : " AND ").append(term);
    }
  }

 private:
  SqlQuery& query_;
  std::vector<std::string> terms_;
};

// The ids of the catalogues whose "NAME\\" may start a text that holds `literal` (case blind);
// nullopt past kMostNamedCatalogues.
std::optional<std::vector<int64_t>> NamedCatalogues(const IndexShape& index,
                                                    std::string_view literal) {
  const std::string folded = FoldCase(literal);
  std::vector<int64_t> ids;
  for (const auto& [id, path] : index.catalogues) {
    if (!PrefixMayHold(FoldCase(CatalogueName(path)).append("\\"), folded)) continue;
    if (ids.size() == kMostNamedCatalogues) return std::nullopt;
    ids.push_back(id);
  }
  return ids;
}

// How the catalogues' names may hold the literal: catalogues whose "NAME\\" holds it, or whose
// remainder past "NAME\\" is too short for the trigram table, are read whole; for the others,
// where it may start in "NAME\\" and go on in the path, the path holds the rest of it, and the
// shortest such rest (a suffix of the literal, which every longer rest holds) narrows the paths
// instead of the literal.
struct NamedShape {
  std::vector<int64_t> whole;
  std::optional<std::string> rest;
};

std::optional<NamedShape> ShapeOfNames(const IndexShape& index, std::string_view literal) {
  const std::string folded = FoldCase(literal);
  NamedShape shape;
  for (const auto& [id, path] : index.catalogues) {
    const std::string prefix = FoldCase(CatalogueName(path)).append("\\");
    bool whole = false;
    std::optional<size_t> longest;  // of the literal's starts that end the prefix
    for (size_t at = 0; at < prefix.size() && !whole; ++at) {
      const size_t length = std::min(prefix.size() - at, folded.size());
      if (prefix.compare(at, length, folded, 0, length) != 0) continue;
      if (length == folded.size()) {
        whole = true;
      } else if (!longest || length > *longest) {
        longest = length;
      }
    }
    if (!whole && longest) {
      std::string rest = folded.substr(*longest);
      whole = CharacterCount(rest) < kShortestNarrowingLiteral;
      if (!whole && (!shape.rest || rest.size() < shape.rest->size())) shape.rest = rest;
    }
    if (!whole) continue;
    if (shape.whole.size() == kMostNamedCatalogues) return std::nullopt;
    shape.whole.push_back(id);
  }
  return shape;
}

// "items.catalogue IN (...)" of `ids`, each bound: a filter of the rows another condition finds.
std::string InCatalogues(const std::vector<int64_t>& ids, Conditions& conditions) {
  std::string list = "items.catalogue IN (";
  for (const int64_t& id : ids) {
    list.append(&id == &ids.front() ? "" : ", ").append(conditions.Parameter(id));
  }
  return list.append(")");
}

// The items of the catalogues `ids`, found through what the index keeps of each.
std::string ItemsOfCatalogues(const std::vector<int64_t>& ids, int version,
                              Conditions& conditions) {
  std::string any = "(";
  for (const int64_t& id : ids) {
    any.append(&id == &ids.front() ? "" : " OR ")
        .append(index_db::CatalogueItems(version, conditions.Parameter(id)));
  }
  return any.append(")");
}

// Whether one of the `columns` holds the substring `parameter`, byte for byte, folded as
// FoldCase folds under -i.
std::string Holds(std::string parameter, bool ignoreCase,
                  std::initializer_list<const char*> columns) {
  std::string call =
      std::string(kHoldsFunction).append("(").append(parameter).append(ignoreCase ? ", 1" : ", 0");
  for (const char* column : columns) call.append(", items.").append(column);
  return call.append(")");
}

// Substrings (too short for the trigram table, or beside its literal) compared as the exact
// check compares them. Each distinct one once, kMostSubstringConditions at most: the rest are
// left to the exact check. Unless the patterns match paths only, a substring is looked for in
// the path and the description, and every item of a catalogue whose name may hold it passes.
void AddSubstrings(const Query& query, const IndexShape& index, Conditions& conditions) {
  if (query.regex) return;
  const bool pathsOnly = query.baseNameOnly || query.pathOnly;
  const bool fold = query.ignoreCase;
  std::vector<std::string> substrings;
  for (const std::string& pattern : query.patterns) {
    if (substrings.size() == kMostSubstringConditions) break;
    if (IsGlob(pattern) || pattern.empty()) continue;
    std::string substring = WithBackslashes(fold ? FoldCase(pattern) : pattern);
    if (std::find(substrings.begin(), substrings.end(), substring) != substrings.end()) continue;
    substrings.push_back(substring);
    if (pathsOnly) {
      // A name is part of its path.
      conditions.Add(Holds(conditions.Parameter(std::move(substring)), fold, {"path"}));
      continue;
    }
    const std::optional<std::vector<int64_t>> named = NamedCatalogues(index, substring);
    if (!named) continue;
    std::string condition = std::string("(").append(
        Holds(conditions.Parameter(substring), fold, {"path", "description"}));
    if (!named->empty()) {
      condition.append(" OR ").append(InCatalogues(*named, conditions));
    }
    conditions.Add(condition.append(")"));
  }
}

// --description, --type, --newer, --older and --size. A bound past SQL's integers is left to the
// exact check.
void AddFilters(const Query& query, Conditions& conditions) {
  // --description, whatever its length: the rows without it never leave SQL.
  if (query.description && !query.description->empty()) {
    conditions.Add(Holds(
        conditions.Parameter(query.ignoreCase ? FoldCase(*query.description) : *query.description),
        query.ignoreCase, {"description"}));
  }
  if (query.directories) {
    conditions.Add(*query.directories ? "items.attributes & 16 != 0" : "items.attributes & 16 = 0");
  }
  constexpr auto kLargest = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (query.newerThan && *query.newerThan < kLargest) {
    conditions.Add(std::string("items.write_time > ")
                       .append(conditions.Parameter(static_cast<int64_t>(*query.newerThan))));
  }
  if (query.olderThan && *query.olderThan < kLargest) {
    conditions.Add(std::string("items.write_time < ")
                       .append(conditions.Parameter(static_cast<int64_t>(*query.olderThan))));
  }
  if (query.size && query.size->bytes < kLargest) {
    // A negative size read back is a huge unsigned one: SQL lets C++ judge those.
    constexpr const char* kCompare[] = {" > ", " < ", " = "};
    conditions.Add(std::string("(items.size < 0 OR items.size")
                       .append(kCompare[static_cast<int>(query.size->compare)])
                       .append(conditions.Parameter(static_cast<int64_t>(query.size->bytes)))
                       .append(")"));
  }
}

}  // namespace

SqlQuery ItemsQuery(const Query& query, const Matcher& matcher, bool duplicates,
                    const std::string& trigramMatch, const IndexShape& index) {
  SqlQuery items;
  // One SELECT per way an item may hold the literal, each with the substrings and filters, so
  // that each streams its rows as the trigram table gives them (an IN list of a common
  // trigram's rows would be a temporary table of most of the items).
  auto select = [&](const char* from, const std::function<void(Conditions&)>& leading) {
    if (!items.sql.empty()) items.sql.append(" UNION ALL ");
    items.sql.append(
        "SELECT items.catalogue, items.path, items.size, items.write_time, items.attributes, "
        "items.description, items.damaged");
    if (duplicates) items.sql.append(", ").append(kBaseNameFunction).append("(items.path)");
    items.sql.append(from);
    Conditions conditions(items);
    leading(conditions);
    AddSubstrings(query, index, conditions);
    AddFilters(query, conditions);
    if (duplicates) conditions.Add("items.attributes & 16 = 0");
    conditions.AppendTo(items.sql);
  };
  // The trigrams the paths are asked for: the literal's, or those of the rest of it that a
  // catalogue's name leaves to the path.
  std::string pathMatch = trigramMatch;
  auto matches = [&](const char* table, Conditions& conditions) {
    return std::string(table).append(" MATCH ").append(
        conditions.Parameter(std::string_view(table) == "item_paths" ? pathMatch : trigramMatch));
  };
  // Whether the row's text in `table` holds the trigrams: the rows an earlier SELECT gave.
  auto notIn = [&](const char* table, Conditions& conditions) {
    return std::string("NOT EXISTS (SELECT 1 FROM ")
        .append(table)
        .append(" WHERE ")
        .append(matches(table, conditions))
        .append(" AND ")
        .append(table)
        .append(".rowid = items.id)");
  };
  const std::string& literal = matcher.NarrowingLiteral();
  // Without the descriptions' table (an index of version 2 or 3) the descriptions are read: a
  // scan of every item.
  const bool descriptionTable = index.version >= 4;
  const std::optional<NamedShape> named =
      literal.empty() || matcher.PathsOnly() || !descriptionTable ? std::nullopt
                                                                  : ShapeOfNames(index, literal);
  if (named && named->rest) pathMatch = TrigramQuery(*named->rest);
  // --description alone: its text narrows through the descriptions' table, when it has one.
  const bool describedOnly = literal.empty() && descriptionTable && query.description &&
                             CharacterCount(*query.description) >= kShortestNarrowingLiteral;
  if (describedOnly) {
    select(" FROM item_descriptions JOIN items ON items.id = item_descriptions.rowid",
           [&](Conditions& conditions) {
             conditions.Add(std::string("item_descriptions MATCH ")
                                .append(conditions.Parameter(TrigramQuery(*query.description))));
           });
  } else if (literal.empty() || (!matcher.PathsOnly() && !named)) {
    select(" FROM items", [](Conditions&) {});
  } else {
    // The literal in the path (the catalogues read whole below excepted), then in the
    // description and not in the path (the check costs a lookup per row: descriptions are few),
    // then every item of a catalogue whose name may hold it ("NAME\\PATH"); where a name may
    // hold only its start, the paths are asked for the rest instead.
    auto others = [&](Conditions& conditions) {
      if (named && !named->whole.empty()) {
        conditions.Add("NOT " + InCatalogues(named->whole, conditions));
      }
    };
    select(" FROM item_paths JOIN items ON items.id = item_paths.rowid",
           [&](Conditions& conditions) {
             conditions.Add(matches("item_paths", conditions));
             others(conditions);
           });
    if (named) {
      select(" FROM item_descriptions JOIN items ON items.id = item_descriptions.rowid",
             [&](Conditions& conditions) {
               conditions.Add(matches("item_descriptions", conditions));
               conditions.Add(notIn("item_paths", conditions));
               others(conditions);
             });
    }
    if (named && !named->whole.empty()) {
      select(" FROM items", [&](Conditions& conditions) {
        conditions.Add(ItemsOfCatalogues(named->whole, index.version, conditions));
      });
    }
  }
  if (duplicates) {
    // Sorted, copies of one file come together: a group is complete when the next row differs.
    // By column number (name, size, write time, catalogue, path), as a compound SELECT needs.
    items.sql.append(" ORDER BY 8, 3, 4, 1, 2");
  }
  return items;
}

}  // namespace find_query
