// catfind: its matching rules as functions, and the program on a small index written with SQL
// (names with Latin-1 letters, %, _, quotes, backslashes and glyphs, in several catalogues):
// exact result sets for every pattern kind and filter, its output forms and exit statuses.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "tests/support/json_check.h"
#include "tests/support/program_run.h"
#include "tests/support/scratch.h"
#include "tools/common/glob_match.h"
#include "tools/index/find_query.h"
#include "tools/index/index_db.h"
#include "tools/index/trigram_counts.h"

namespace {

using find_query::FoldCase;
using find_query::GlobMatches;

TEST(FindQueryGlob, SetsRangesAndNegation) {
  EXPECT_TRUE(GlobMatches("[a-c]", "b"));
  EXPECT_FALSE(GlobMatches("[a-c]", "d"));
  EXPECT_TRUE(GlobMatches("[!x]", "y"));
  EXPECT_FALSE(GlobMatches("[!x]", "x"));
  EXPECT_FALSE(GlobMatches("[^x]", "x"));
  EXPECT_TRUE(GlobMatches("[]]", "]"));
  EXPECT_TRUE(GlobMatches("[!]]", "a"));
  EXPECT_FALSE(GlobMatches("[!]]", "]"));
  EXPECT_TRUE(GlobMatches("[a-]", "-"));
  EXPECT_TRUE(GlobMatches("[*]", "*"));
  EXPECT_FALSE(GlobMatches("[*]", "a"));
  // A set that never closes is an ordinary '['.
  EXPECT_TRUE(GlobMatches("a[b", "a[b"));
  EXPECT_FALSE(GlobMatches("a[b", "ab"));
  // Sets and '?' take whole characters, not bytes.
  EXPECT_TRUE(GlobMatches("[à-ä]", "â"));
  EXPECT_TRUE(GlobMatches("caf?", "café"));
  EXPECT_FALSE(GlobMatches("caf??", "café"));
  // For -i, the glob is folded outside its sets, which keep their ranges as written and take a
  // character when either case of it is a member.
  EXPECT_EQ(find_query::FoldGlob("AÉ[A-_]B[!É]C[D"), "aé[A-_]b[!É]c[d");
  EXPECT_TRUE(GlobMatches("[A-_]", "_", true));
  EXPECT_TRUE(GlobMatches("[A-_]", "q", true));
  EXPECT_FALSE(GlobMatches("[@-Z]", "_", true));
  EXPECT_TRUE(GlobMatches("[À-Ä]", "â", true));
  EXPECT_FALSE(GlobMatches("[!É]", "é", true));
  EXPECT_FALSE(GlobMatches("[A-C]", "b"));
}

TEST(FindQueryGlob, StarsAnchorsAndBackslashes) {
  EXPECT_TRUE(GlobMatches("*", ""));
  EXPECT_TRUE(GlobMatches("abc*", "abc"));
  EXPECT_TRUE(GlobMatches("abc*", "abcdef"));
  EXPECT_FALSE(GlobMatches("abc", "abcd"));
  EXPECT_FALSE(GlobMatches("bcd", "abcd"));
  EXPECT_TRUE(GlobMatches("*.txt", "a\\b\\c.txt"));
  EXPECT_FALSE(GlobMatches("*.txt", "a.txt.gz"));
  EXPECT_TRUE(GlobMatches("*a*b*c*", "xxaxxbxxcxx"));
  EXPECT_FALSE(GlobMatches("*a*b*c*", "xxcxxbxxaxx"));
  // The backslash is an ordinary character that '*' and '?' match too.
  EXPECT_TRUE(GlobMatches("dir\\*", "dir\\sub\\file"));
  EXPECT_TRUE(GlobMatches("dir?file", "dir\\file"));
  EXPECT_FALSE(GlobMatches("dir\\*", "dirfile"));
  EXPECT_TRUE(GlobMatches("a\\\\b", "a\\\\b"));
  // Back-tracking stays bounded on a pattern built to blow up a naive matcher.
  std::string text(2000, 'a');
  EXPECT_FALSE(GlobMatches("*a*a*a*a*a*a*a*a*b", text));
}

// The star that jumps to the next place of the character after it answers as the star that
// takes one character at a time, on globs and texts of the characters that matter to it.
TEST(FindQueryGlob, TheSkippingStarAnswersAsTheStepByStepOne) {
  const std::vector<std::string> pieces = {"a",    "b", "\\",    ".",    "*",        "?",
                                           "[",    "]", "!",     "-",    "\xc3\xa9", "\xc3",
                                           "\xa9", "A", "[a-b]", "[!\\]"};
  std::mt19937 random(7);
  auto make = [&](size_t most) {
    std::string text;
    for (size_t n = random() % (most + 1); n > 0; --n) text += pieces[random() % pieces.size()];
    return text;
  };
  for (int i = 0; i < 200000; ++i) {
    const std::string glob = make(6);
    std::string text = make(12);
    std::erase(text, '*');
    const bool fold = i % 2 == 1;
    ASSERT_EQ(glob_match::GlobMatches(glob, text, fold),
              glob_match::GlobMatchesStepByStep(glob, text, fold))
        << glob << " on " << text << (fold ? " (-i)" : "");
  }
}

TEST(FindQueryText, FoldingLiteralsAndFts5Strings) {
  EXPECT_EQ(FoldCase("AbC ÀÉÞ × ß ÿ"), "abc àéþ × ß ÿ");
  EXPECT_EQ(FoldCase("\xC3"), "\xC3");  // a cut sequence stays as it is
  EXPECT_EQ(find_query::LongestLiteral("ab*cdef?[xyz]gh"), "cdef");
  EXPECT_EQ(find_query::LongestLiteral("plain text"), "plain text");
  EXPECT_EQ(find_query::LongestLiteral("*ééé*abcd"), "abcd");
  EXPECT_EQ(find_query::LongestLiteral("*éééé*abc"), "éééé");
  EXPECT_EQ(find_query::LongestLiteral("a[b"), "a[b");
  EXPECT_EQ(find_query::Fts5String("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(find_query::CharacterCount("café"), 4u);
  EXPECT_EQ(find_query::TrigramQuery("ab"), "");
  EXPECT_EQ(find_query::TrigramQuery("abc"), "\"abc\"");
  EXPECT_EQ(find_query::TrigramQuery("a\"bcdéfg"), "\"a\"\"b\" \"cdé\" \"éfg\"");
  EXPECT_EQ(find_query::TrigramQuery("abcdef"), "\"abc\" \"def\"");
  for (auto [path, name] : {std::pair{"/x/photos.mur", "photos"},
                            {"/x/photos.mur.gz", "photos"},
                            {"/x/a.b.zex", "a.b"},
                            {"/x/.hidden", ".hidden"},
                            {"plain", "plain"}}) {
    EXPECT_EQ(find_query::CatalogueName(path), name) << path;
  }
}

TEST(FindQueryFilters, SizesAndDates) {
  using Compare = find_query::SizeFilter::Compare;
  auto size = find_query::ParseSize("+1k");
  ASSERT_TRUE(size);
  EXPECT_EQ(size->compare, Compare::kBigger);
  EXPECT_EQ(size->bytes, 1024u);
  EXPECT_EQ(find_query::ParseSize("-2M")->compare, Compare::kSmaller);
  EXPECT_EQ(find_query::ParseSize("-2M")->bytes, 2u << 20);
  EXPECT_EQ(find_query::ParseSize("3G")->bytes, 3ull << 30);
  EXPECT_EQ(find_query::ParseSize("17")->compare, Compare::kEqual);
  for (const char* bad : {"", "+", "k", "1x", "1.5k", "99999999999999999999", "17179869184G"}) {
    EXPECT_FALSE(find_query::ParseSize(bad)) << bad;
  }
  EXPECT_TRUE(find_query::SizeAccepts(*find_query::ParseSize("+1k"), 1025));
  EXPECT_FALSE(find_query::SizeAccepts(*find_query::ParseSize("+1k"), 1024));
  EXPECT_FALSE(find_query::SizeAccepts(*find_query::ParseSize("-1k"), 1024));
  EXPECT_TRUE(find_query::SizeAccepts(*find_query::ParseSize("1k"), 1024));

  EXPECT_EQ(find_query::ParseDate("1601-01-01"), 0u);
  EXPECT_EQ(find_query::ParseDate("1970-01-01"), 116'444'736'000'000'000u);
  EXPECT_EQ(find_query::ParseDate("2000-03-01T00:00:01"),
            find_query::ParseDate("2000-02-29T00:00:00").value() + 86'401ull * 10'000'000);
  for (const char* bad : {"2021-02-29", "2021-13-01", "2021-1-01", "1600-12-31",
                          "2021-01-01T24:00:00", "2021-01-01X10:00:00", "yesterday"}) {
    EXPECT_FALSE(find_query::ParseDate(bad)) << bad;
  }
  uint64_t stamp = *find_query::ParseDate("2024-02-29T23:59:58") + 1234567;
  EXPECT_EQ(find_query::FormatTime(stamp, false), "2024-02-29 23:59:58 UTC");
  EXPECT_EQ(find_query::FormatTime(stamp, true), "2024-02-29T23:59:58.1234567Z");
  EXPECT_EQ(find_query::FormatTime(*find_query::ParseDate("1999-12-31"), true),
            "1999-12-31T00:00:00Z");
}

TEST(FindQueryMatcher, NarrowsWithTheLongestLiteralAndDecidesExactly) {
  find_query::Query query;
  query.patterns = {"ab", "*Photos*2020*", "x"};
  find_query::Matcher matcher(query);
  EXPECT_EQ(matcher.NarrowingLiteral(), "Photos");
  find_query::ItemRow row{"Photos 2020\\ab x", "ab x", 0, 0, 0, "", ""};
  EXPECT_TRUE(matcher.Accepts(row));
  row.path = "photos 2020\\ab x";
  EXPECT_FALSE(matcher.Accepts(row));
  query.ignoreCase = true;
  EXPECT_TRUE(find_query::Matcher(query).Accepts(row));
  // Nothing of three characters: every row is scanned.
  query.patterns = {"ab", "*x?"};
  EXPECT_EQ(find_query::Matcher(query).NarrowingLiteral(), "");
  // Under -i a set keeps its ranges: [A-_] holds '_' and every letter, [@-Z] no '_'.
  query.patterns = {"*\\under[A-_]score.TXT"};
  row.path = "Dir\\UNDER_score.txt";
  EXPECT_TRUE(find_query::Matcher(query).Accepts(row));
  query.patterns = {"*[@-Z]score.txt"};
  EXPECT_FALSE(find_query::Matcher(query).Accepts(row));
}

TEST(FindQueryTrigrams, TheRarestAreAskedAndCommonOnesLeftToTheExactCheck) {
  EXPECT_EQ(find_query::Trigrams("abcabcd"),
            (std::vector<std::string>{"abc", "bca", "cab", "bcd"}));
  EXPECT_EQ(find_query::Trigrams("é€x\\"), (std::vector<std::string>{"é€x", "€x\\"}));
  EXPECT_TRUE(find_query::Trigrams("ab").empty());

  using Counts = std::vector<find_query::TrigramCount>;
  // The rarest first; others within kCommonerFactor of it; ties keep the pattern's order.
  EXPECT_EQ(find_query::RarestTrigramsQuery(
                Counts{{"fol", 1000}, {"004", 21}, {"2\\s", 100}, {"017", 21}, {"ub0", 80}}),
            "\"004\" \"017\"");
  EXPECT_EQ(find_query::RarestTrigramsQuery(Counts{{"fol", 1000}, {"004", 21}, {"ub0", 80}}),
            "\"004\" \"ub0\"");
  // Never-seen trigrams are the rarest of all, and only they are asked.
  EXPECT_EQ(find_query::RarestTrigramsQuery(Counts{{"abc", 5}, {"x\"y", 0}, {"zzz", 0}}),
            "\"x\"\"y\" \"zzz\"");
  // At most kMostTrigrams, however alike.
  Counts alike;
  for (char c = 'a'; c < 'a' + 10; ++c) alike.push_back({std::string(3, c), 7});
  EXPECT_EQ(find_query::RarestTrigramsQuery(alike), "\"aaa\" \"bbb\"");
  EXPECT_EQ(find_query::RarestTrigramsQuery({}), "");

  // With --path-only (or -b) every pattern offers its literal, case folded; else only the
  // longest, as each pattern may match another of the item's texts.
  find_query::Query query;
  query.patterns = {"Photos*2020", "ab", "DCIM"};
  EXPECT_EQ(find_query::Matcher(query).NarrowingLiterals(), (std::vector<std::string>{"photos"}));
  query.pathOnly = true;
  EXPECT_EQ(find_query::Matcher(query).NarrowingLiterals(),
            (std::vector<std::string>{"photos", "dcim"}));
}

// The items query binds every value, numbered in one list in the order the conditions take
// them: the trigram MATCH, the substrings (at most kMostSubstringConditions), the filters.
TEST(FindQuerySql, ConditionsAndTheirValuesInOneNumberedList) {
  using Value = std::variant<std::string, int64_t>;
  find_query::Query query;
  for (int i = 0; i < 40; ++i) query.patterns.push_back("part'" + std::to_string(i));
  query.pathOnly = true;
  query.directories = false;
  query.newerThan = 5;
  query.size = find_query::SizeFilter{find_query::SizeFilter::Compare::kBigger, 7};
  const find_query::SqlQuery items =
      find_query::ItemsQuery(query, find_query::Matcher(query), false, "\"art\"", {});
  ASSERT_EQ(items.values.size(), 1 + find_query::kMostSubstringConditions + 2);
  EXPECT_EQ(items.values[0], Value(std::string("\"art\"")));
  EXPECT_EQ(items.values[1], Value(std::string("part'0")));
  EXPECT_EQ(items.values[16], Value(std::string("part'15")));
  EXPECT_EQ(items.values[17], Value(int64_t{5}));
  EXPECT_EQ(items.values[18], Value(int64_t{7}));
  std::vector<int> numbers;
  for (size_t at = items.sql.find('?'); at != std::string::npos; at = items.sql.find('?', at + 1)) {
    numbers.push_back(std::atoi(items.sql.c_str() + at + 1));
  }
  std::vector<int> expected(items.values.size());
  std::iota(expected.begin(), expected.end(), 1);
  EXPECT_EQ(numbers, expected);
  EXPECT_EQ(items.sql.find('\''), std::string::npos);  // no value written in
  EXPECT_NE(items.sql.find("item_paths MATCH ?1 "), std::string::npos);
  EXPECT_NE(items.sql.find("items.attributes & 16 = 0"), std::string::npos);
  EXPECT_NE(items.sql.find("items.write_time > ?18"), std::string::npos);

  // Under -i substrings folded as the exact check folds them; without a literal no trigram
  // table; --duplicates sorts the copies of a file together.
  query = {};
  query.patterns = {"Ab", "\xc3\x89", "aB"};
  query.ignoreCase = true;
  const find_query::SqlQuery copies =
      find_query::ItemsQuery(query, find_query::Matcher(query), true, "", {});
  EXPECT_EQ(copies.values, (std::vector<Value>{std::string("ab"), std::string("\xc3\xa9")}));
  EXPECT_EQ(copies.sql.find("item_paths"), std::string::npos);
  EXPECT_NE(copies.sql.find("ORDER BY 8, 3, 4, 1, 2"), std::string::npos);
}

// The parameter numbers in the order the SQL text shows them, each once (a catalogue's id is
// written thrice where its items are found by their range).
std::vector<int> ParameterNumbers(const std::string& sql) {
  std::vector<int> numbers;
  for (size_t at = sql.find('?'); at != std::string::npos; at = sql.find('?', at + 1)) {
    const int number = std::atoi(sql.c_str() + at + 1);
    if (numbers.empty() || numbers.back() != number) numbers.push_back(number);
  }
  return numbers;
}

// Unless the patterns match paths only, the items come from one SELECT per way to hold the
// literal: the path, else the description, else the name of the catalogue ("NAME\\PATH"), whose
// catalogues the others leave out; a substring is looked for in the path and the description,
// and passes the catalogues whose name may hold it. An index without the descriptions' table is
// scanned.
TEST(FindQuerySql, PathsDescriptionsAndCatalogueNamesNarrowTogether) {
  using Value = std::variant<std::string, int64_t>;
  find_query::Query query;
  query.patterns = {"photos/20", "os\\2"};
  find_query::IndexShape shape;
  shape.catalogues = {{7, "/x/Photos.mur"}, {8, "/x/work.zex"}};
  const find_query::SqlQuery items =
      find_query::ItemsQuery(query, find_query::Matcher(query), false, "\"pho\"", shape);
  for (const std::string part :
       {" FROM item_paths JOIN items ON items.id = item_paths.rowid WHERE item_paths MATCH ?1 AND "
        "NOT items.catalogue IN (?2) AND (catfind_holds(?3, 0, items.path, items.description) OR "
        "items.catalogue IN (?4)) AND (",
        " UNION ALL SELECT ",
        " FROM item_descriptions JOIN items ON items.id = item_descriptions.rowid WHERE "
        "item_descriptions MATCH ?7 AND NOT EXISTS (SELECT 1 FROM item_paths WHERE item_paths "
        "MATCH ?8 AND item_paths.rowid = items.id) AND NOT items.catalogue IN (?9) AND (",
        " FROM items WHERE (items.id BETWEEN (SELECT first_item FROM catalogues WHERE id = ?14) "
        "AND (SELECT last_item FROM catalogues WHERE id = ?14) AND items.catalogue = ?14) AND ("}) {
    EXPECT_NE(items.sql.find(part), std::string::npos) << part << "\nin " << items.sql;
  }
  std::vector<int> expected(items.values.size());
  std::iota(expected.begin(), expected.end(), 1);
  EXPECT_EQ(ParameterNumbers(items.sql), expected);
  EXPECT_EQ(std::vector<Value>(items.values.begin(), items.values.begin() + 6),
            (std::vector<Value>{"\"pho\"", int64_t{7}, "photos\\20", int64_t{7}, "os\\2",
                                int64_t{7}}));
  // "work\\docs" may start in the name "work": the paths are asked for "docs", the rest, and the
  // catalogue is not read whole.
  query.patterns = {"WORK/docs"};
  const find_query::SqlQuery rest =
      find_query::ItemsQuery(query, find_query::Matcher(query), false, "\"wor\"", shape);
  EXPECT_EQ(rest.values[0], Value(find_query::TrigramQuery("docs")));
  EXPECT_NE(std::find(rest.values.begin(), rest.values.end(), Value("\"wor\"")),
            rest.values.end());  // the descriptions' table: the literal's trigrams
  EXPECT_EQ(rest.sql.find("NOT items.catalogue IN"), std::string::npos) << rest.sql;
  EXPECT_EQ(rest.sql.find("FROM items WHERE items.catalogue IN"), std::string::npos) << rest.sql;
  // No catalogue's name holds "docs": no third SELECT. Without the descriptions' table, a scan.
  query.patterns = {"docs"};
  const find_query::SqlQuery two =
      find_query::ItemsQuery(query, find_query::Matcher(query), false, "\"doc\"", shape);
  EXPECT_EQ(two.sql.find("UNION ALL", two.sql.find("UNION ALL") + 1), std::string::npos);
  shape.version = 3;
  const find_query::SqlQuery old =
      find_query::ItemsQuery(query, find_query::Matcher(query), false, "\"doc\"", shape);
  EXPECT_EQ(old.sql.find("item_paths"), std::string::npos) << old.sql;
  EXPECT_EQ(old.sql.find("UNION"), std::string::npos) << old.sql;
  // With --path-only, the paths' table alone, as a locate user's query always was.
  query.pathOnly = true;
  EXPECT_EQ(find_query::ItemsQuery(query, find_query::Matcher(query), false, "\"doc\"", shape).sql,
            "SELECT items.catalogue, items.path, items.size, items.write_time, "
            "items.attributes, items.description, items.damaged FROM item_paths JOIN items ON "
            "items.id = item_paths.rowid WHERE item_paths MATCH ?1 AND "
            "catfind_holds(?2, 0, items.path)");
  // --description alone narrows through the descriptions' table where the index has one.
  find_query::Query described;
  described.description = "Sunset at Sylt";
  for (const bool table : {true, false}) {
    shape.version = table ? index_db::kSchemaVersion : 3;
    const std::string sql =
        find_query::ItemsQuery(described, find_query::Matcher(described), false, "", shape).sql;
    EXPECT_EQ(sql.find("FROM item_descriptions JOIN items") != std::string::npos, table) << sql;
  }
}

#if defined(CATFIND_PATH)

struct TestItem {
  int catalogue;
  const char* path;
  uint64_t size;
  const char* written;  // UTC
  uint32_t attributes;
  const char* description;
};

constexpr uint32_t kDirectory = 0x10;
constexpr uint32_t kArchive = 0x20;

// Catalogue 1, 2 and 3 (the last with a newline in its file name).
const char* const kCataloguePaths[] = {"/disks/Photos 2020.mur", "/disks/backup/Work.zex",
                                       "/disks/evil\nname.mur"};

const TestItem kItems[] = {
    {1, "DCIM", 0, "2020-06-01", kDirectory, ""},
    {1, "DCIM\\IMG_0001.JPG", 2'000'000, "2020-06-01T12:00:00", kArchive, ""},
    {1, "DCIM\\Café Ünïcode.txt", 100, "2020-07-01", kArchive, "Latin-1 letters"},
    {1, "100%_done's \"quote\".txt", 0, "2019-01-01", kArchive, ""},
    {1, "ÉCOLE", 0, "2018-01-01", kDirectory, ""},
    {1, "ÉCOLE\\résumé.PDF", 4096, "2018-05-05T05:05:05", kArchive, "CV \u263A"},
    {1, "ctrl\u263Aglyph.txt", 1, "2021-01-01", kArchive, ""},
    {2, "src", 0, "2022-01-01", kDirectory, ""},
    {2, "src\\main.cpp", 5000, "2022-02-02T10:00:00", kArchive, "entry point 100% _ok_"},
    {2, "src\\Makefile", 300, "2022-02-03", kArchive, "build 'rules'"},
    {2, "docs", 0, "2022-01-01", kDirectory, ""},
    {2, "docs\\readme.md", 1024, "2022-03-01", kArchive, "Read me first"},
    {2, "ab", 2048, "2023-01-01", kArchive, ""},
    {3, "x.txt", 7, "2024-01-01", kArchive, ""},
    // What cathost never stores, from a hostile writer: shown escaped, never raw.
    {3, "\x1B[2Jhostile", 3, "2018-06-01", kArchive,
     "\x07"
     "bell"},
};

// The index every test reads, written once.
class CatfindTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new Scratch;
    database_ = scratch_->path + "/index.sqlite";
    WriteIndex(database_, kCataloguePaths, kItems);
  }

 public:
  // An index at `database` holding the catalogues (ids 1, 2, ...) and their items.
  template <size_t catalogueCount, size_t itemCount>
  static void WriteIndex(const std::string& database,
                         const char* const (&cataloguePaths)[catalogueCount],
                         const TestItem (&items)[itemCount]) {
    index_db::IndexDb db;
    std::string error;
    ASSERT_TRUE(index_db::OpenIndex(database, index_db::Access::kCreate, &db, &error)) << error;
    ASSERT_TRUE(index_db::Execute(db, "BEGIN", &error)) << error;
    index_db::Statement catalogue;
    ASSERT_TRUE(catalogue.Prepare(db,
                                  "INSERT INTO catalogues VALUES (?1, ?2, 1, ?1, 100, 0, 'MUR', "
                                  "'complete', 0, 0, 0, 0, -1)",
                                  &error))
        << error;
    for (size_t id = 1; id <= catalogueCount; ++id) {
      catalogue.BindInt(1, static_cast<int64_t>(id));
      catalogue.BindText(2, cataloguePaths[id - 1]);
      ASSERT_TRUE(catalogue.Run()) << index_db::LastError(db);
      catalogue.Reset();
    }
    index_db::Statement item, path, description;
    ASSERT_TRUE(
        item.Prepare(db, "INSERT INTO items VALUES (?1, ?2, ?3, ?5, 0, 0, ?6, ?7, ?8, 0)", &error))
        << error;
    ASSERT_TRUE(path.Prepare(db, "INSERT INTO item_paths(rowid, path) VALUES (?1, ?2)", &error))
        << error;
    ASSERT_TRUE(description.Prepare(
        db, "INSERT INTO item_descriptions(rowid, description) VALUES (?1, ?2)", &error))
        << error;
    int id = 0;
    for (const TestItem& entry : items) {
      std::string_view itemPath = entry.path;
      item.BindInt(1, ++id);
      item.BindInt(2, entry.catalogue);
      item.BindText(3, itemPath);
      item.BindInt(5, static_cast<int64_t>(entry.size));
      item.BindInt(6, static_cast<int64_t>(find_query::ParseDate(entry.written).value()));
      item.BindInt(7, entry.attributes);
      item.BindText(8, entry.description);
      ASSERT_TRUE(item.Run()) << index_db::LastError(db);
      item.Reset();
      path.BindInt(1, id);
      path.BindText(2, itemPath);
      ASSERT_TRUE(path.Run()) << index_db::LastError(db);
      path.Reset();
      if (*entry.description == '\0') continue;
      description.BindInt(1, id);
      description.BindText(2, entry.description);
      ASSERT_TRUE(description.Run()) << index_db::LastError(db);
      description.Reset();
    }
    ASSERT_TRUE(index_db::Execute(db,
                                  "UPDATE catalogues SET first_item = (SELECT min(id) FROM items "
                                  "WHERE catalogue = catalogues.id), last_item = (SELECT max(id) "
                                  "FROM items WHERE catalogue = catalogues.id); COMMIT",
                                  &error))
        << error;
    ASSERT_TRUE(trigram_counts::Recount(db, &error)) << error;
  }

 protected:
  static void TearDownTestSuite() {
    delete scratch_;
    scratch_ = nullptr;
  }

  static RunResult Catfind(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {CATFIND_PATH, "--db", database_});
    return program_run::Run(arguments);
  }

  // The item paths of the text lines `catfind ARGUMENTS` prints (after "CATALOGUE: "), sorted;
  // fails the test unless the run exits 0 or 1 as its output says.
  static std::vector<std::string> Paths(std::vector<std::string> arguments) {
    RunResult run = Catfind(arguments);
    std::vector<std::string> paths;
    size_t start = 0;
    for (size_t end; (end = run.out.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string line = run.out.substr(start, end - start);
      // No test catalogue's shown name holds ": ".
      size_t colon = line.find(": ");
      paths.push_back(colon == std::string::npos ? line : line.substr(colon + 2));
    }
    EXPECT_EQ(run.exitStatus, paths.empty() ? 1 : 0) << run;
    EXPECT_EQ(start, run.out.size()) << "an unfinished line: " << run;
    std::sort(paths.begin(), paths.end());
    return paths;
  }

  static Scratch* scratch_;
  static std::string database_;
};

Scratch* CatfindTest::scratch_ = nullptr;
std::string CatfindTest::database_;

using Found = std::vector<std::string>;

TEST_F(CatfindTest, SubstringsMatchAnyPartAndTheirCharactersThemselves) {
  EXPECT_EQ(Paths({"IMG"}), Found({"DCIM\\IMG_0001.JPG"}));
  EXPECT_EQ(Paths({"DCIM"}), Found({"DCIM", "DCIM\\Café Ünïcode.txt", "DCIM\\IMG_0001.JPG"}));
  // Narrowed by the case-blind trigram table, decided with case.
  EXPECT_EQ(Paths({"img"}), Found());
  // LIKE's and FTS5's special characters are data (also in descriptions: "100% _ok_").
  EXPECT_EQ(Paths({"%"}), Found({"100%_done's \"quote\".txt", "src\\main.cpp"}));
  EXPECT_EQ(Paths({"_"}),
            Found({"100%_done's \"quote\".txt", "DCIM\\IMG_0001.JPG", "src\\main.cpp"}));
  EXPECT_EQ(Paths({"'s \"quote\""}), Found({"100%_done's \"quote\".txt"}));
  EXPECT_EQ(Paths({"\"\" OR *"}), Found());
  EXPECT_EQ(Paths({"src\\main"}), Found({"src\\main.cpp"}));
  EXPECT_EQ(Paths({"c\\m"}), Found({"src\\main.cpp"}));
  EXPECT_EQ(Paths({"\u263Aglyph"}), Found({"ctrl\u263Aglyph.txt"}));
  EXPECT_EQ(Paths({"--path-only", "b"}), Found({"ab"}));
}

TEST_F(CatfindTest, GlobsMatchTheWholePath) {
  EXPECT_EQ(Paths({"*.txt"}), Found({"100%_done's \"quote\".txt", "DCIM\\Café Ünïcode.txt",
                                     "ctrl\u263Aglyph.txt", "x.txt"}));
  EXPECT_EQ(Paths({"DCIM\\*"}), Found({"DCIM\\Café Ünïcode.txt", "DCIM\\IMG_0001.JPG"}));
  EXPECT_EQ(Paths({"?CIM"}), Found({"DCIM"}));
  EXPECT_EQ(Paths({"src?[a-m]*"}), Found({"src\\main.cpp"}));
  EXPECT_EQ(Paths({"src?[A-Z]*"}), Found({"src\\Makefile"}));
  EXPECT_EQ(Paths({"src?[!M]*"}), Found({"src\\main.cpp"}));
  EXPECT_EQ(Paths({"*IMG"}), Found());
  EXPECT_EQ(Paths({"[ÉE]COLE*"}), Found({"ÉCOLE", "ÉCOLE\\résumé.PDF"}));
}

// Each pattern matches one of an item's texts: its path, "NAME\\PATH" (NAME: the catalogue
// file's name without folder and extension) or its description; `/` separates as `\\` does. A
// substring occurs in one, a glob matches one whole, a regular expression matches in one.
TEST_F(CatfindTest, PatternsMatchThePathTheDiskNameOrTheDescription) {
  const Found work = {"ab", "docs", "docs\\readme.md", "src", "src\\Makefile", "src\\main.cpp"};
  const Found workSrc = {"src\\Makefile", "src\\main.cpp"};
  const std::pair<std::vector<std::string>, Found> cases[] = {
      {{"src/main"}, {"src\\main.cpp"}},
      {{"Work"}, work},
      {{"Work/src/"}, workSrc},
      {{"-i", "wORK/SRC\\"}, workSrc},
      {{"first"}, {"docs\\readme.md"}},
      {{"Work", "first"}, {"docs\\readme.md"}},
      {{"--path-only", "first"}, {}},
      {{"--path-only", "Work"}, {}},
      {{"-b", "Work"}, {}},
      {{"-A", "Work", "--type", "f", "*e*"}, {"docs\\readme.md", "src\\Makefile", "src\\main.cpp"}},
      {{"*.md"}, {"docs\\readme.md"}},
      {{"Work/*.md"}, {"docs\\readme.md"}},
      {{"Read*"}, {"docs\\readme.md"}},
      {{"--path-only", "Read*"}, {}},
      {{"Work*"}, work},
      {{"*Work"}, {}},
      {{"-r", "^src/m"}, {"src\\main.cpp"}},
      {{"-r", "^Work\\\\s"}, {"src", "src\\Makefile", "src\\main.cpp"}},
      {{"-r", "-i", "^read ME"}, {"docs\\readme.md"}},
      {{"-r", "--path-only", "^Work"}, {}},
      {{"-r", "-b", "^s"}, {"src"}},
      {{"-r", "[.]JPG$|^ab$"}, {"DCIM\\IMG_0001.JPG", "ab"}},
      {{"-r", "[/]Caf.\\s"}, {"DCIM\\Café Ünïcode.txt"}},
  };
  for (const auto& [arguments, found] : cases) {
    EXPECT_EQ(Paths(arguments), found) << testing::PrintToString(arguments);
  }
  // An index of version 3 has no descriptions' trigram table: descriptions are read.
  Scratch scratch;
  const std::string old = scratch.path + "/old.sqlite";
  std::filesystem::copy_file(database_, old);
  sqlite3* connection = nullptr;
  ASSERT_EQ(sqlite3_open(old.c_str(), &connection), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(connection, "DROP TABLE item_descriptions; PRAGMA user_version=3", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(connection);
  RunResult run = program_run::Run({CATFIND_PATH, "--db", old, "-c", "first"});
  EXPECT_EQ(run.out, "1\n") << run;
}

TEST_F(CatfindTest, BaseNamesCaseAndSeveralPatterns) {
  EXPECT_EQ(Paths({"-b", "DCIM"}), Found({"DCIM"}));
  EXPECT_EQ(Paths({"-b", "*.md"}), Found({"docs\\readme.md"}));
  EXPECT_EQ(Paths({"-b", "src*"}), Found({"src"}));
  EXPECT_EQ(Paths({"-i", "img"}), Found({"DCIM\\IMG_0001.JPG"}));
  // Too short for the trigram table: ASCII ones narrowed by SQL, the others by C++ alone.
  EXPECT_EQ(Paths({"-i", "Ab"}), Found({"ab"}));
  EXPECT_EQ(Paths({"-i", "iM"}), Found({"DCIM", "DCIM\\Café Ünïcode.txt", "DCIM\\IMG_0001.JPG"}));
  EXPECT_EQ(Paths({"-bi", "É"}), Found({"DCIM\\Café Ünïcode.txt", "ÉCOLE", "ÉCOLE\\résumé.PDF"}));
  EXPECT_EQ(Paths({"école"}), Found());
  EXPECT_EQ(Paths({"-i", "école"}), Found({"ÉCOLE", "ÉCOLE\\résumé.PDF"}));
  EXPECT_EQ(Paths({"-i", "CAFÉ", "üNÏ"}), Found({"DCIM\\Café Ünïcode.txt"}));
  EXPECT_EQ(Paths({"-bi", "*.pdf"}), Found({"ÉCOLE\\résumé.PDF"}));
  EXPECT_EQ(Paths({"DCIM", ".txt"}), Found({"DCIM\\Café Ünïcode.txt"}));
  EXPECT_EQ(Paths({"DCIM", "src"}), Found());
  EXPECT_EQ(Paths({"-bi", "100%[A-_]DONE*"}), Found({"100%_done's \"quote\".txt"}));
  EXPECT_EQ(Paths({"-i", "SRC?[A-_]*"}), Found({"src\\Makefile", "src\\main.cpp"}));
  // Any number of patterns beside the filters; more than SQL takes parameters (32766) too.
  std::vector<std::string> many(120, "DCIM");
  many.insert(many.end(), {"--size", "+1M"});
  EXPECT_EQ(Paths(many), Found({"DCIM\\IMG_0001.JPG"}));
  many.assign({"--newer", "2020-05-01"});
  for (int i = 0; i < 40'000; ++i) many.push_back("IMG_" + std::to_string(i));
  EXPECT_EQ(Paths(many), Found());
}

TEST_F(CatfindTest, EachFilter) {
  EXPECT_EQ(Paths({"--type", "d"}), Found({"DCIM", "docs", "src", "ÉCOLE"}));
  EXPECT_EQ(Paths({"--type", "f", "D"}),
            Found({"DCIM\\Café Ünïcode.txt", "DCIM\\IMG_0001.JPG", "ÉCOLE\\résumé.PDF"}));
  EXPECT_EQ(Paths({"--size", "+1M"}), Found({"DCIM\\IMG_0001.JPG"}));
  EXPECT_EQ(Paths({"--size", "1k"}), Found({"docs\\readme.md"}));
  EXPECT_EQ(Paths({"--size", "-2", "--type", "f"}),
            Found({"100%_done's \"quote\".txt", "ctrl\u263Aglyph.txt"}));
  EXPECT_EQ(Paths({"--newer", "2022-03-01", "--type", "f"}), Found({"ab", "x.txt"}));
  EXPECT_EQ(Paths({"--newer", "2022-02-02T09:59:59", "--older", "2022-02-03"}),
            Found({"src\\main.cpp"}));
  EXPECT_EQ(Paths({"--older", "2018-05-05T05:05:05"}), Found({"ÉCOLE"}));
  EXPECT_EQ(Paths({"--description", "100% _"}), Found({"src\\main.cpp"}));
  EXPECT_EQ(Paths({"--description", "'rules'"}), Found({"src\\Makefile"}));
  EXPECT_EQ(Paths({"--description", "read ME"}), Found());
  EXPECT_EQ(Paths({"-i", "--description", "read ME"}), Found({"docs\\readme.md"}));
  EXPECT_EQ(Paths({"--catalogue", "*.zex", "--type", "d"}), Found({"docs", "src"}));
  EXPECT_EQ(Paths({"--catalogue", "Photos", "--type", "d"}), Found({"DCIM", "ÉCOLE"}));
  EXPECT_EQ(Paths({"--catalogue", "/disks/Work.zex", "src"}), Found());
}

TEST_F(CatfindTest, CountLimitAndNulSeparators) {
  RunResult count = Catfind({"-c", "DCIM"});
  EXPECT_EQ(count.exitStatus, 0) << count;
  EXPECT_EQ(count.out, "3\n");
  RunResult none = Catfind({"-c", "nothing here"});
  EXPECT_EQ(none.exitStatus, 1) << none;
  EXPECT_EQ(none.out, "0\n");
  RunResult limited = Catfind({"-l", "2", "--type", "d"});
  EXPECT_EQ(limited.exitStatus, 0) << limited;
  EXPECT_EQ(std::count(limited.out.begin(), limited.out.end(), '\n'), 2);
  EXPECT_EQ(Catfind({"-l1", "-c", "D"}).out, "1\n");
  EXPECT_EQ(Catfind({"-cl", "1", "D"}).out, "1\n");
  RunResult nul = Catfind({"-0", "DCIM\\"});
  EXPECT_EQ(nul.out, std::string("/disks/Photos 2020.mur: DCIM\\IMG_0001.JPG") + '\0' +
                         "/disks/Photos 2020.mur: DCIM\\Café Ünïcode.txt" + '\0');
  // For xargs -0 the texts are raw, as the index holds them.
  EXPECT_EQ(Catfind({"-0", "--long", "hostile"}).out,
            std::string("/disks/evil\nname.mur: \x1B[2Jhostile  3  2018-06-01 00:00:00 UTC  -- "
                        "\x07") +
                "bell" + '\0');
}

TEST_F(CatfindTest, LinesShowHostileCatalogueNamesEscaped) {
  RunResult run = Catfind({"x.txt"});
  EXPECT_EQ(run.out, "'/disks/evil\\012name.mur': x.txt\n");
  EXPECT_EQ(Catfind({"--long", "hostile"}).out,
            "'/disks/evil\\012name.mur': '\\033[2Jhostile'  3  2018-06-01 00:00:00 UTC  -- "
            "'\\007bell'\n");
  RunResult longForm = Catfind({"--long", "main"});
  EXPECT_EQ(longForm.out,
            "/disks/backup/Work.zex: src\\main.cpp  5000  2022-02-02 10:00:00 UTC  -- entry point "
            "100% _ok_\n");
}

TEST_F(CatfindTest, JsonLinesAreWellFormed) {
  RunResult run = Catfind({"--json", "-i", "E"});
  EXPECT_EQ(run.exitStatus, 0) << run;
  size_t lines = 0;
  size_t start = 0;
  for (size_t end; (end = run.out.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = run.out.substr(start, end - start);
    ++lines;
    EXPECT_TRUE(json_check::IsWellFormedUtf8(line)) << line;
    EXPECT_TRUE(json_check::Parser(line).IsOneValue()) << line;
    for (const char* key : {"\"catalogue\":", "\"path\":", "\"size\":", "\"mtime\":",
                            "\"attributes\":", "\"description\":"}) {
      EXPECT_NE(line.find(key), std::string::npos) << key << " in " << line;
    }
  }
  // DCIM\Café Ünïcode.txt, 100%_done's..., ÉCOLE, ÉCOLE\résumé.PDF, src\Makefile, docs\readme.md,
  // src\main.cpp ("entry point"), and the catalogue "evil\nname": x.txt, ESC[2Jhostile
  EXPECT_EQ(lines, 9u) << run.out;
  RunResult one = Catfind({"--json", "main.cpp"});
  EXPECT_EQ(one.out,
            "{\"catalogue\":\"/disks/backup/Work.zex\",\"path\":\"src\\\\main.cpp\",\"name\":"
            "\"main.cpp\",\"size\":5000,\"mtime\":\"2022-02-02T10:00:00Z\",\"mtime_raw\":"
            "132882696000000000,\"attributes\":32,\"directory\":false,\"description\":\"entry "
            "point 100% _ok_\",\"damaged\":false}\n");
  RunResult evil = Catfind({"--json", "x.txt"});
  EXPECT_NE(evil.out.find("\"catalogue\":\"/disks/evil\\nname.mur\""), std::string::npos)
      << evil.out;
}

TEST_F(CatfindTest, ExitStatusesAsGrep) {
  EXPECT_EQ(Catfind({"DCIM"}).exitStatus, 0);
  EXPECT_EQ(Catfind({"no such name"}).exitStatus, 1);
  RunResult version = Catfind({"--version"});
  EXPECT_EQ(version.exitStatus, 0) << version;
  EXPECT_EQ(version.out.rfind("catfind ", 0), 0u) << version;
  RunResult help = Catfind({"--help"});
  EXPECT_EQ(help.exitStatus, 0) << help;
  EXPECT_NE(help.out.find("Exit status"), std::string::npos) << help;
  for (std::vector<std::string> usage : {std::vector<std::string>{},
                                         {"--size", "big", "x"},
                                         {"--type", "x", "a"},
                                         {"--newer", "2021-02-30", "a"},
                                         {"-l", "many", "a"},
                                         {"-l", "0", "a"},
                                         {"-r", "(", "a"},
                                         {"-S", "a"},
                                         {"--bogus", "a"},
                                         {"\xFF"},
                                         {"--limit"}}) {
    RunResult run = Catfind(usage);
    EXPECT_EQ(run.exitStatus, 2) << run;
    EXPECT_TRUE(run.out.empty()) << run;
    EXPECT_NE(run.err.find("catfind: "), std::string::npos) << run;
  }
  // A value for an option that takes none, or an empty one, is refused and the option named.
  for (std::vector<std::string> usage : {std::vector<std::string>{"--json=false", "a"},
                                         {"--count=no", "a"},
                                         {"--db=", "a"},
                                         {"--db", "", "a"},
                                         {"--catalogue=", "a"},
                                         {"--description", ""}}) {
    RunResult run = Catfind(usage);
    EXPECT_EQ(run.exitStatus, 2) << run;
    EXPECT_TRUE(run.out.empty()) << run;
    EXPECT_NE(run.err.find(usage[0].substr(0, usage[0].find('='))), std::string::npos) << run;
  }
}

TEST_F(CatfindTest, OutputThatCannotBeWrittenIsAnError) {
  for (const char* option : {"--long", "-c"}) {
    program_run::Program program;
    program.argv = {CATFIND_PATH, "--db", database_, option, "D"};
    program.stdoutPath = "/dev/full";
    RunResult run = program_run::Run(program);
    EXPECT_EQ(run.exitStatus, 2) << run;
    EXPECT_NE(run.err.find("cannot write"), std::string::npos) << run;
  }
}

TEST_F(CatfindTest, MissingForeignAndOtherVersionDatabasesAreErrors) {
  Scratch scratch;
  auto find = [](const std::string& database) {
    return program_run::Run({CATFIND_PATH, "--db", database, "abc"});
  };
  RunResult missing = find(scratch.path + "/none.sqlite");
  EXPECT_EQ(missing.exitStatus, 2) << missing;
  EXPECT_NE(missing.err.find("no index here"), std::string::npos) << missing;
  RunResult folder = find(scratch.path);
  EXPECT_EQ(folder.exitStatus, 2) << folder;
  EXPECT_NE(folder.err.find("not a regular file"), std::string::npos) << folder;
  std::string empty = scratch.path + "/empty.sqlite";
  std::ofstream{empty};
  RunResult emptyFile = find(empty);
  EXPECT_EQ(emptyFile.exitStatus, 2) << emptyFile;
  EXPECT_NE(emptyFile.err.find("not an index"), std::string::npos) << emptyFile;
  std::string foreign = scratch.path + "/text.sqlite";
  std::ofstream(foreign) << std::string(4096, 'x');
  RunResult notSqlite = find(foreign);
  EXPECT_EQ(notSqlite.exitStatus, 2) << notSqlite;
  EXPECT_NE(notSqlite.err.find("not an index"), std::string::npos) << notSqlite;
  std::string other = scratch.path + "/other.sqlite";
  sqlite3* connection = nullptr;
  ASSERT_EQ(sqlite3_open(other.c_str(), &connection), SQLITE_OK);
  sqlite3_exec(connection, "CREATE TABLE t(x); PRAGMA user_version=99", nullptr, nullptr, nullptr);
  sqlite3_close(connection);
  RunResult otherVersion = find(other);
  EXPECT_EQ(otherVersion.exitStatus, 2) << otherVersion;
  EXPECT_NE(otherVersion.err.find("index version 99"), std::string::npos) << otherVersion;
}

// The trigram counts only choose which trigrams narrow the rows: without them, or with counts
// that call the commonest trigrams rarest, every answer stays the same.
TEST_F(CatfindTest, TrigramCountsChangeNoAnswer) {
  Scratch scratch;
  auto copyWith = [&](const char* name, const char* sql) {
    std::string copy = scratch.path + "/" + name;
    std::filesystem::copy_file(database_, copy);
    index_db::IndexDb db;
    std::string error;
    EXPECT_TRUE(index_db::OpenIndex(copy, index_db::Access::kWrite, &db, &error)) << error;
    EXPECT_TRUE(index_db::Execute(db, sql, &error)) << error;
    return copy;
  };
  const std::string uncounted = copyWith("uncounted.sqlite", "DELETE FROM trigram_counts");
  const std::string misleading =
      copyWith("misleading.sqlite", "UPDATE trigram_counts SET items = 1000 - 100 * items");
  const std::vector<std::vector<std::string>> queries = {
      {"txt"},           {"-i", "CAFÉ"},
      {"*.txt"},         {"-b", "-i", "résumé.pdf"},
      {"src", "main"},   {"100%_"},
      {"DCIM\\IMG"},     {"-i", "école\\r"},
      {"*\\*"},          {"-i", "ÜNÏ", "txt"},
      {"nowhere at all"}};
  auto runOn = [](const std::string& database, const std::vector<std::string>& query) {
    std::vector<std::string> arguments = {CATFIND_PATH, "--db", database};
    arguments.insert(arguments.end(), query.begin(), query.end());
    return program_run::Run(arguments);
  };
  for (const auto& query : queries) {
    RunResult counting = runOn(database_, query);
    EXPECT_EQ(counting.exitStatus, query.back() == "nowhere at all" ? 1 : 0)
        << query.back() << ": " << counting;
    for (const std::string& other : {uncounted, misleading}) {
      RunResult run = runOn(other, query);
      EXPECT_EQ(run.out, counting.out) << other << " " << query.back();
      EXPECT_EQ(run.exitStatus, counting.exitStatus) << other << " " << query.back();
    }
  }
}

// The sample is spread over the ids, whatever they are: a few rows with ids at both ends of the
// range (an index edited by hand) are each counted once, and an empty index counts nothing.
TEST(TrigramCounts, SampleRowsWithAnyIds) {
  Scratch scratch;
  index_db::IndexDb db;
  std::string error;
  ASSERT_TRUE(
      index_db::OpenIndex(scratch.path + "/ids.sqlite", index_db::Access::kCreate, &db, &error))
      << error;
  auto count = [&](const char* trigram) {
    index_db::Statement statement;
    EXPECT_TRUE(
        statement.Prepare(db, "SELECT items FROM trigram_counts WHERE trigram = ?1", &error));
    statement.BindText(1, trigram);
    bool failed = false;
    return statement.Step(&failed) ? statement.ColumnInt(0) : int64_t{0};
  };
  ASSERT_TRUE(trigram_counts::Recount(db, &error)) << error;
  EXPECT_EQ(count("abc"), 0);
  ASSERT_TRUE(index_db::Execute(db,
                                "INSERT INTO catalogues VALUES (1, '/c', 1, 1, 1, 0, 'MUR', "
                                "'complete', 3, 0, 0, -9223372036854775808, 9223372036854775807);"
                                "INSERT INTO items VALUES (-9223372036854775808, 1, 'Abc', "
                                "0, 0, 0, 0, 0, '', 0);"
                                "INSERT INTO items VALUES (7, 1, 'xabc', 0, 0, 0, 0, 0, '', 0);"
                                "INSERT INTO items VALUES (9223372036854775807, 1, 'abcabc', "
                                "0, 0, 0, 0, 0, '', 0);",
                                &error))
      << error;
  ASSERT_TRUE(trigram_counts::Recount(db, &error)) << error;
  EXPECT_EQ(count("abc"), 3);
  EXPECT_EQ(count("xab"), 1);
  EXPECT_EQ(count("bca"), 1);
}

TEST_F(CatfindTest, AnswersFromTheLastCommitWhileAnUpdateHoldsTheWriteLock) {
  index_db::IndexDb writer;
  std::string error;
  ASSERT_TRUE(index_db::OpenIndex(database_, index_db::Access::kWrite, &writer, &error)) << error;
  ASSERT_TRUE(
      index_db::Execute(writer,
                        "BEGIN IMMEDIATE; INSERT INTO items VALUES (100, 1, 'IMG_9999.JPG', "
                        "1, 0, 0, 0, 0, '', 0); INSERT INTO "
                        "item_paths(rowid, path) VALUES (100, 'IMG_9999.JPG')",
                        &error))
      << error;
  EXPECT_EQ(Paths({"IMG"}), Found({"DCIM\\IMG_0001.JPG"}));
  ASSERT_TRUE(index_db::Execute(writer, "ROLLBACK", &error)) << error;
}

// Several indexes (-d, repeated or a colon list; CATFIND_DB without -d), -e and -S.
TEST(CatfindIndexes, SeveralIndexesExistingCataloguesAndStatistics) {
  Scratch scratch;
  const std::string present = scratch.path + "/present.mur";
  std::ofstream(present) << "x";
  const std::string first = scratch.path + "/first.sqlite";
  const std::string second = scratch.path + "/second:b.sqlite";
  const char* const firstPaths[] = {present.c_str(), "/gone/missing.mur"};
  const TestItem firstItems[] = {{1, "kept.txt", 10, "2020-01-01", kArchive, ""},
                                 {2, "lost.txt", 5, "2020-01-01", kArchive, ""},
                                 {2, "lost", 0, "2020-01-01", kDirectory, ""}};
  const char* const secondPaths[] = {"/d/B.mur"};
  const TestItem secondItems[] = {{1, "other.txt", 1, "2020-01-01", kArchive, ""}};
  CatfindTest::WriteIndex(first, firstPaths, firstItems);
  CatfindTest::WriteIndex(second, secondPaths, secondItems);
  const std::string both = first + ":" + scratch.path + "/second\\:b.sqlite";
  auto find = [](std::vector<std::string> arguments, std::string environment = "") {
    program_run::Program program;
    program.argv = {CATFIND_PATH};
    program.argv.insert(program.argv.end(), arguments.begin(), arguments.end());
    if (!environment.empty()) program.environment.emplace_back("CATFIND_DB", environment);
    return program_run::Run(program);
  };
  EXPECT_EQ(find({"-d", both, "-c", "txt"}).out, "3\n");
  EXPECT_EQ(find({"-d", first, "--database", second, "-c", "-l", "2", "txt"}).out, "2\n");
  EXPECT_EQ(find({"-d", first, "-e", "txt"}).out, present + ": kept.txt\n");
  EXPECT_EQ(find({"-c", "txt"}, both).out, "3\n");
  EXPECT_EQ(find({"--db", second, "-c", "txt"}, both).out, "1\n");
  // A missing index is reported, the others searched, and the status is 2.
  RunResult missing = find({"-c", "-d", first + ":" + scratch.path + "/none.sqlite", "txt"});
  EXPECT_EQ(missing.exitStatus, 2) << missing;
  EXPECT_EQ(missing.out, "2\n");
  EXPECT_NE(missing.err.find("no index here"), std::string::npos) << missing;
  RunResult statistics = find({"-S"}, both);
  EXPECT_EQ(statistics.exitStatus, 0) << statistics;
  EXPECT_EQ(statistics.out.substr(0, statistics.out.find("  last updated")),
            "Index " + first +
                ":\n  version 5\n  2 catalogues\n  3 items (2 files, 1 folders)\n"
                "  15 bytes in the files\n  " +
                std::to_string(std::filesystem::file_size(first)) +
                " bytes used to store the index\n");
  EXPECT_NE(statistics.out.find("Index " + scratch.path +
                                "/second:b.sqlite:\n  version 5\n  1 "
                                "catalogues\n  1 items (1 files, 0 folders)\n"),
            std::string::npos)
      << statistics;
}

const char* const kBackupPaths[] = {"/d/A.mur", "/d/B.mur"};
const TestItem kBackupItems[] = {
    {1, "photos\\x.jpg", 10, "2020-01-01", kArchive, ""},
    {2, "backup\\x.jpg", 10, "2020-01-01", kArchive, ""},
    {1, "X.JPG", 10, "2020-01-01", kArchive, ""},  // another name
    {1, "y.jpg", 10, "2020-01-01", kArchive, ""},
    {2, "y.jpg", 11, "2020-01-01", kArchive, ""},  // another size
    {1, "t.jpg", 10, "2020-01-01", kArchive, ""},
    {2, "t.jpg", 10, "2020-01-02", kArchive, ""},  // another time
    {1, "z.jpg", 10, "2020-01-01", kArchive, ""},
    {1, "dup\\z.jpg", 10, "2020-01-01", kArchive, ""},  // twice on one disk only
    {1, "w", 0, "2020-01-01", kDirectory, ""},
    {2, "w", 0, "2020-01-01", kDirectory, ""},  // folders are not copies
    {2, "v.txt", 5, "2021-01-01", kArchive, ""},
    {1, "a\\v.txt", 5, "2021-01-01", kArchive, ""},
    {2, "b\\v.txt", 5, "2021-01-01", kArchive, ""},
};

TEST(CatfindDuplicates, GroupsFilesOnSeveralCataloguesByNameSizeAndTime) {
  Scratch scratch;
  std::string database = scratch.path + "/index.sqlite";
  CatfindTest::WriteIndex(database, kBackupPaths, kBackupItems);
  auto find = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {CATFIND_PATH, "--db", database, "--duplicates"});
    return program_run::Run(arguments);
  };
  RunResult all = find({});
  EXPECT_EQ(all.exitStatus, 0) << all;
  EXPECT_EQ(all.out,
            "v.txt  5  2021-01-01 00:00:00 UTC\n"
            "  /d/A.mur: a\\v.txt\n"
            "  /d/B.mur: b\\v.txt\n"
            "  /d/B.mur: v.txt\n"
            "x.jpg  10  2020-01-01 00:00:00 UTC\n"
            "  /d/A.mur: photos\\x.jpg\n"
            "  /d/B.mur: backup\\x.jpg\n");
  EXPECT_EQ(find({"-c"}).out, "2\n");
  EXPECT_EQ(find({"-c", "-l", "1"}).out, "1\n");
  EXPECT_EQ(find({"-c", "jpg"}).out, "1\n");
  // Only the copies the patterns accept count: one left is no group.
  RunResult one = find({"photos"});
  EXPECT_EQ(one.exitStatus, 1) << one;
  EXPECT_EQ(one.out, "");
  EXPECT_EQ(find({"-c", "--catalogue", "A.mur"}).out, "0\n");
  RunResult json = find({"--json"});
  EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 2) << json.out;
  size_t firstEnd = json.out.find('\n');
  EXPECT_TRUE(json_check::Parser(json.out.substr(0, firstEnd)).IsOneValue()) << json.out;
  EXPECT_TRUE(json_check::Parser(json.out.substr(firstEnd + 1, json.out.size() - firstEnd - 2))
                  .IsOneValue())
      << json.out;
  EXPECT_NE(json.out.find("\"copies\":[{\"catalogue\":\"/d/A.mur\",\"path\":\"photos\\\\x.jpg\"},"),
            std::string::npos)
      << json.out;
}

#if defined(CATINDEX_PATH) && defined(CATHOST_PATH) && defined(SOURCE_DIR)

// The raw JSON text of each `"key":` value in JSON Lines, one entry per line holding it.
std::vector<std::string> JsonValues(const std::string& lines, const std::string& key) {
  std::vector<std::string> values;
  std::string marker = std::string("\"").append(key).append("\":");
  for (size_t at = lines.find(marker); at != std::string::npos; at = lines.find(marker, at)) {
    at += marker.size();
    size_t end = at;
    if (lines[at] == '"') {
      for (end = at + 1; lines[end] != '"'; ++end) {
        if (lines[end] == '\\') ++end;
      }
      ++end;
    } else {
      end = lines.find_first_of(",}", at);
    }
    values.push_back(lines.substr(at, end - at));
  }
  return values;
}

// Every item cathost lists from the bundled samples, catindex indexes and catfind finds with
// the same path, size, write time and description.
TEST(CatfindIndexed, FindsWhatCathostLists) {
  Scratch scratch;
  std::string database = scratch.path + "/index.sqlite";
  std::vector<std::string> samples = {std::string(SOURCE_DIR).append("/samples/photos.mur"),
                                      std::string(SOURCE_DIR).append("/samples/utilities.zex")};
  RunResult indexed = program_run::Run({CATINDEX_PATH, "--db", database, samples[0], samples[1]});
  ASSERT_EQ(indexed.exitStatus, 0) << indexed;
  for (const std::string& sample : samples) {
    RunResult listed = program_run::Run({CATHOST_PATH, "--json", "--keep-going", sample});
    ASSERT_EQ(listed.exitStatus, 0) << listed;
    RunResult found = program_run::Run(
        {CATFIND_PATH, "--db", database, "--json", "--catalogue", sample, "--", ""});
    ASSERT_EQ(found.exitStatus, 0) << found;
    ASSERT_FALSE(JsonValues(listed.out, "path").empty());
    for (auto [listedKey, foundKey] : {std::pair{"path", "path"},
                                       {"size", "size"},
                                       {"write_time_raw", "mtime_raw"},
                                       {"description", "description"}}) {
      std::vector<std::string> expected = JsonValues(listed.out, listedKey);
      std::vector<std::string> actual = JsonValues(found.out, foundKey);
      std::sort(expected.begin(), expected.end());
      std::sort(actual.begin(), actual.end());
      EXPECT_EQ(actual, expected) << sample << " " << listedKey;
    }
  }
}

#endif  // CATINDEX_PATH

#endif  // CATFIND_PATH

}  // namespace
