// catindex as a program: what it stores agrees item for item with what cathost lists, updates
// relist only what changed, a run killed in the middle leaves the index as it was, and bad
// input ends with the documented exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/program_run.h"
#include "tests/support/scratch.h"
#include "tests/support/tmpfs_mount.h"
#include "tests/support/trees.h"
#include "tools/index/index_db.h"
#include "tools/writer/mur_writer.h"
#include "tools/writer/zex_writer.h"

namespace {

namespace fs = std::filesystem;

// One flat JSON object of cathost's: each key's value, strings decoded, numbers as written.
std::map<std::string, std::string> ParseFlatJson(const std::string& line) {
  std::map<std::string, std::string> fields;
  size_t at = 0;
  auto readString = [&]() {
    std::string text;
    ++at;  // the opening quote
    while (at < line.size() && line[at] != '"') {
      if (line[at] != '\\') {
        text += line[at++];
        continue;
      }
      const char escaped = line[at + 1];
      at += 2;
      if (escaped == 'u') {
        const unsigned code = std::stoul(line.substr(at, 4), nullptr, 16);
        at += 4;
        if (code < 0x80) {
          text += static_cast<char>(code);
        } else if (code < 0x800) {
          text += static_cast<char>(0xC0 | code >> 6);
          text += static_cast<char>(0x80 | (code & 0x3F));
        } else {
          text += static_cast<char>(0xE0 | code >> 12);
          text += static_cast<char>(0x80 | (code >> 6 & 0x3F));
          text += static_cast<char>(0x80 | (code & 0x3F));
        }
      } else {
        const std::map<char, char> simple = {
            {'n', '\n'}, {'t', '\t'}, {'r', '\r'}, {'b', '\b'}, {'f', '\f'}};
        text += simple.count(escaped) != 0 ? simple.at(escaped) : escaped;
      }
    }
    ++at;  // the closing quote
    return text;
  };
  while (at < line.size()) {
    at = line.find('"', at);
    if (at == std::string::npos) break;
    const std::string key = readString();
    ++at;  // the colon
    if (line[at] == '"') {
      fields[key] = readString();
    } else {
      const size_t end = line.find_first_of(",}", at);
      fields[key] = line.substr(at, end - at);
      at = end;
    }
  }
  return fields;
}

// An item as both sides can state it: path, size, the three times, attributes, description
// and whether it was damaged.
using ItemLine = std::string;

std::vector<ItemLine> CathostItems(const std::string& catalogue) {
  RunResult listed = program_run::Run({CATHOST_PATH, "--json", "--keep-going", catalogue});
  std::vector<ItemLine> items;
  size_t start = 0;
  while (start < listed.out.size()) {
    const size_t end = listed.out.find('\n', start);
    auto fields = ParseFlatJson(listed.out.substr(start, end - start));
    const uint64_t size = std::stoull(fields["size_high"]) << 32 | std::stoull(fields["size"]);
    items.push_back(std::string(fields["path"])
                        .append("|")
                        .append(std::to_string(size))
                        .append("|")
                        .append(fields["creation_time_raw"])
                        .append("|")
                        .append(fields["access_time_raw"])
                        .append("|")
                        .append(fields["write_time_raw"])
                        .append("|")
                        .append(fields["attributes"])
                        .append("|")
                        .append(fields["description"])
                        .append("|")
                        .append(fields["result"] == "2" ? "1" : "0"));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return items;
}

// The index, read directly with SQL.
class Index {
 public:
  explicit Index(const std::string& path) {
    std::string error;
    opened_ = index_db::OpenIndex(path, index_db::Access::kWrite, &db_, &error);
    EXPECT_TRUE(opened_) << error;
  }

  // Every row of `sql` (parameters bound from `texts`), columns joined by '|'.
  std::vector<std::string> Rows(const std::string& sql,
                                const std::vector<std::string>& texts = {}) {
    std::vector<std::string> rows;
    if (!opened_) return rows;
    index_db::Statement statement;
    std::string error;
    if (!statement.Prepare(db_, sql.c_str(), &error)) {
      ADD_FAILURE() << sql << ": " << error;
      return rows;
    }
    for (size_t i = 0; i < texts.size(); ++i) statement.BindText(static_cast<int>(i + 1), texts[i]);
    bool failed = false;
    while (statement.Step(&failed)) {
      std::string row;
      for (int column = 0; column < sqlite3_column_count(statement.get()); ++column) {
        if (column > 0) row += '|';
        row += statement.ColumnText(column);
      }
      rows.push_back(row);
    }
    EXPECT_FALSE(failed) << sql << ": " << index_db::LastError(db_);
    return rows;
  }

  std::string One(const std::string& sql, const std::vector<std::string>& texts = {}) {
    auto rows = Rows(sql, texts);
    return rows.size() == 1 ? rows[0] : "(" + std::to_string(rows.size()) + " rows)";
  }

  std::vector<ItemLine> Items(const std::string& catalogue) {
    return Rows(
        "SELECT path, size, creation_time, access_time, write_time, attributes, description, "
        "damaged FROM items WHERE catalogue = (SELECT id FROM catalogues WHERE path = ?1) "
        "ORDER BY id",
        {catalogue});
  }

  // SQLite's own check of the file and of the full-text index against the items.
  void ExpectIntact() {
    EXPECT_EQ(One("PRAGMA integrity_check"), "ok");
    std::string error;
    EXPECT_TRUE(index_db::Execute(
        db_, "INSERT INTO item_paths(item_paths, rank) VALUES('integrity-check', 1)", &error))
        << error;
  }

 private:
  index_db::IndexDb db_;
  bool opened_ = false;
};

class CatindexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(scratch_.path.empty());
    root_ = fs::canonical(scratch_.path).string();
    db_ = root_ + "/index.sqlite";
    fs::create_directories(root_ + "/cats/sub");
  }

  std::string Write(const std::string& relative, const std::vector<uint8_t>& bytes) {
    const std::string path = root_ + "/" + relative;
    const std::string temporary = path + ".new";
    std::ofstream(temporary, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    fs::rename(temporary, path);  // a new inode, as a rewritten catalogue has
    return path;
  }

  RunResult Catindex(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {CATINDEX_PATH, "--db", db_});
    return program_run::Run(arguments);
  }

  Scratch scratch_;
  std::string root_;
  std::string db_;
};

catwriter::MurNode Described(catwriter::MurNode node, std::string description) {
  node.description = std::move(description);
  return node;
}

catwriter::MurTree MixedMur() {
  catwriter::MurTree tree;
  tree.top = {trees::MurFileOf("plain.txt", 12),
              Described(trees::MurFileOf("caf\x82 na\x8Bve", 7), "50% off_now 'quoted' \\ \"x\""),
              trees::MurDirOf("folder", {trees::MurFileOf("inner%_.bin", 70000),
                                         Described(trees::MurFileOf("bell\x07", 1), "tab\there")}),
              trees::MurFileOf("back\\slash", 3)};
  return tree;
}

catwriter::MurTree ManyFiles(size_t count, const std::string& prefix) {
  catwriter::MurTree tree;
  catwriter::MurNode folder = trees::MurDirOf(prefix);
  for (size_t i = 0; i < count; ++i) {
    folder.children.push_back(
        trees::MurFileOf(prefix + "_file_number_" + std::to_string(i), static_cast<uint32_t>(i)));
  }
  tree.top.push_back(std::move(folder));
  return tree;
}

TEST_F(CatindexTest, StoresEveryItemAsCathostListsItAndTheCataloguesAsTheFilesAre) {
  const std::string mixed = Write("cats/mixed.mur", catwriter::BuildMur(MixedMur()).bytes);
  catwriter::ZexImage cut = trees::ThreeFilesMiddleDescribed();
  cut.bytes.resize(cut.bytes.size() - 4);  // the middle item's description cut: result 2
  const std::string damaged = Write("cats/sub/damaged.zex", cut.bytes);
  const std::string clean = Write("cats/sub/clean.zex", trees::ThreeFilesMiddleDescribed().bytes);
  Write("cats/notes.txt", {'n', 'o', 't', 'e', 's', '\n'});

  RunResult run = Catindex({root_ + "/cats"});
  EXPECT_EQ(run.exitStatus, 1) << run;  // the damaged catalogue; the text file is only counted
  EXPECT_EQ(run.err.find("notes.txt"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("damaged.zex: "), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("clean.zex"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find('\r'), std::string::npos) << "no progress line off a terminal";

  Index index(db_);
  index.ExpectIntact();
  EXPECT_EQ(index.Rows("SELECT path, format, status FROM catalogues ORDER BY path"),
            (std::vector<std::string>{
                mixed + "|MUR|complete", clean + "|ZEX|complete",
                damaged + "|ZEX|complete; 1 item damaged (result 2), the first item 2"}));
  for (const std::string& catalogue : std::vector<std::string>{mixed, damaged, clean}) {
    SCOPED_TRACE(catalogue);
    const std::vector<ItemLine> expected = CathostItems(catalogue);
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(index.Items(catalogue), expected);
    struct stat info {};
    ASSERT_EQ(stat(catalogue.c_str(), &info), 0);
    EXPECT_EQ(
        index.One("SELECT device, inode, size, mtime_ns, item_count, "
                  "(SELECT count(*) FROM items WHERE catalogue = catalogues.id) "
                  "FROM catalogues WHERE path = ?1",
                  {catalogue}),
        std::to_string(info.st_dev) + "|" + std::to_string(info.st_ino) + "|" +
            std::to_string(info.st_size) + "|" +
            std::to_string(int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec) +
            "|" + std::to_string(expected.size()) + "|" + std::to_string(expected.size()));
  }
  // Each catalogue's items lie in its range of ids; the full-text index finds what LIKE finds.
  EXPECT_EQ(index.One("SELECT count(*) FROM items JOIN catalogues ON catalogues.id = "
                      "items.catalogue WHERE items.id NOT BETWEEN first_item AND last_item"),
            "0");
  EXPECT_EQ(index.One("SELECT sum(last_item - first_item + 1 = item_count) = count(*) FROM "
                      "catalogues"),
            "1");
  for (const char* text : {"inner", "older\\in", "slash", "PLAIN"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(
        index.Rows("SELECT rowid FROM item_paths WHERE path LIKE '%' || ?1 || '%' ORDER BY rowid",
                   {text}),
        index.Rows("SELECT id FROM items WHERE instr(lower(path), lower(?1)) > 0 ORDER BY id",
                   {text}));
  }
}

TEST_F(CatindexTest, UpdatesListOnlyWhatChangedAndDropWhatIsGone) {
  const std::string first = Write("cats/first.mur", catwriter::BuildMur(MixedMur()).bytes);
  const std::string second =
      Write("cats/sub/second.mur", catwriter::BuildMur(ManyFiles(50, "second")).bytes);
  ASSERT_EQ(Catindex({root_ + "/cats"}).exitStatus, 0);
  {
    // listed_at cleared: a catalogue listed again gets it back.
    Index index(db_);
    std::string error;
    ASSERT_NE(index.One("SELECT count(*) FROM catalogues"), "0");
  }
  auto clearListedAt = [&] {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &raw), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(raw, "UPDATE catalogues SET listed_at = 0", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);
  };
  clearListedAt();
  RunResult unchanged = Catindex({"-v", root_ + "/cats"});
  EXPECT_EQ(unchanged.exitStatus, 0) << unchanged;
  EXPECT_NE(unchanged.err.find("0 listed, 2 unchanged"), std::string::npos) << unchanged.err;
  EXPECT_EQ(Index(db_).Rows("SELECT listed_at FROM catalogues"),
            (std::vector<std::string>{"0", "0"}));

  // The second catalogue rewritten: it alone is listed again, and holds only its new items.
  Write("cats/sub/second.mur", catwriter::BuildMur(ManyFiles(20, "again")).bytes);
  RunResult replaced = Catindex({root_ + "/cats"});
  EXPECT_EQ(replaced.exitStatus, 0) << replaced;
  {
    Index index(db_);
    index.ExpectIntact();
    EXPECT_EQ(index.One("SELECT listed_at FROM catalogues WHERE path = ?1", {first}), "0");
    EXPECT_NE(index.One("SELECT listed_at FROM catalogues WHERE path = ?1", {second}), "0");
    EXPECT_EQ(index.Items(second), CathostItems(second));
    EXPECT_EQ(index.One("SELECT count(*) FROM items WHERE path LIKE 'second%'"), "0");
    EXPECT_EQ(index.One("SELECT count(*) FROM item_paths WHERE path LIKE '%second%'"), "0");
    EXPECT_EQ(index.One("SELECT count(*) FROM item_paths WHERE path LIKE '%again%'"), "21");
  }

  // The index's own files inside an indexed folder are passed over, not counted as skipped.
  {
    const std::string inside = root_ + "/cats/index.sqlite";
    RunResult run = program_run::Run({CATINDEX_PATH, "--db", inside, root_ + "/cats"});
    EXPECT_EQ(run.exitStatus, 0) << run;
    run = program_run::Run({CATINDEX_PATH, "-v", "--db", inside, root_ + "/cats"});
    EXPECT_EQ(run.exitStatus, 0) << run;
    EXPECT_NE(run.err.find("0 listed, 2 unchanged"), std::string::npos) << run.err;
    fs::remove(inside);
  }

  // Gone from the folder: kept with --no-prune, dropped by default with its items.
  fs::remove(second);
  EXPECT_EQ(Catindex({"--no-prune", root_ + "/cats"}).exitStatus, 0);
  EXPECT_EQ(Index(db_).One("SELECT count(*) FROM catalogues"), "2");
  EXPECT_EQ(Catindex({root_ + "/cats"}).exitStatus, 0);
  {
    Index index(db_);
    index.ExpectIntact();
    EXPECT_EQ(index.Rows("SELECT path FROM catalogues"), std::vector<std::string>{first});
    EXPECT_EQ(index.One("SELECT count(*) FROM items"), std::to_string(CathostItems(first).size()));
  }

  // Indexing another folder does not prune this one; a catalogue that is no longer one leaves.
  fs::create_directories(root_ + "/other");
  EXPECT_EQ(Catindex({root_ + "/other"}).exitStatus, 0);
  EXPECT_EQ(Index(db_).One("SELECT count(*) FROM catalogues"), "1");
  Write("cats/first.mur", {'n', 'o', 'p', 'e'});
  EXPECT_EQ(Catindex({root_ + "/cats"}).exitStatus, 0);
  EXPECT_EQ(Index(db_).One("SELECT count(*) FROM catalogues"), "0");
  EXPECT_EQ(Index(db_).One("SELECT count(*) FROM items"), "0");
}

// A folder of catalogues moved within the indexed folder: its catalogues are found at their new
// paths, with the same items, and the old paths leave the index.
TEST_F(CatindexTest, AMovedFolderIsIndexedAtItsNewPlace) {
  const std::string stays = Write("cats/stays.mur", catwriter::BuildMur(MixedMur()).bytes);
  const std::string moving =
      Write("cats/sub/moving.mur", catwriter::BuildMur(ManyFiles(30, "moving")).bytes);
  ASSERT_EQ(Catindex({root_ + "/cats"}).exitStatus, 0);
  const std::vector<ItemLine> items = Index(db_).Items(moving);
  fs::rename(root_ + "/cats/sub", root_ + "/cats/renamed");
  RunResult run = Catindex({"-v", root_ + "/cats"});
  EXPECT_EQ(run.exitStatus, 0) << run;
  EXPECT_NE(run.err.find("1 listed, 1 unchanged, 1 pruned"), std::string::npos) << run.err;
  const std::string moved = root_ + "/cats/renamed/moving.mur";
  Index index(db_);
  index.ExpectIntact();
  EXPECT_EQ(index.Rows("SELECT path FROM catalogues ORDER BY path"),
            (std::vector<std::string>{moved, stays}));
  EXPECT_EQ(index.Items(moved), items);
  EXPECT_EQ(program_run::Run({CATFIND_PATH, "--db", db_, "moving_file_number_29"}).out,
            moved + ": moving\\moving_file_number_29\n");
}

TEST_F(CatindexTest, ARunKilledWhileReplacingACatalogueLeavesTheOldVersion) {
  const std::string catalogue =
      Write("cats/big.mur", catwriter::BuildMur(ManyFiles(10, "old")).bytes);
  ASSERT_EQ(Catindex({catalogue}).exitStatus, 0);
  const std::vector<ItemLine> old = Index(db_).Items(catalogue);
  ASSERT_EQ(old.size(), 11u);
  Write("cats/big.mur", catwriter::BuildMur(ManyFiles(200000, "new")).bytes);

  // Killed once early in the listing and once well into it.
  for (const uintmax_t walBytes : {uintmax_t{1} << 20, uintmax_t{8} << 20}) {
    SCOPED_TRACE(walBytes);
    program_run::Program program;
    program.argv = {CATINDEX_PATH, "--db", db_, catalogue};
    const pid_t child = program_run::Start(program, "", "");
    ASSERT_GT(child, 0);
    bool exited = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::error_code ignored;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(child, &status, WNOHANG) == child) {
        exited = true;
        break;
      }
      if (fs::file_size(db_ + "-wal", ignored) >= walBytes && !ignored) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_FALSE(exited) << "the run ended before it could be killed";
    // A reader meanwhile sees the last committed state (WAL), not the writer's half.
    EXPECT_EQ(Index(db_).One("SELECT item_count, status FROM catalogues"), "11|complete");
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    Index index(db_);
    index.ExpectIntact();
    EXPECT_EQ(index.Items(catalogue), old);
    EXPECT_EQ(index.One("SELECT item_count, status FROM catalogues"), "11|complete");
    EXPECT_EQ(index.One("SELECT count(*) FROM item_paths WHERE path LIKE '%new!_file%' ESCAPE '!'"),
              "0");
  }
  // The next run completes the work.
  RunResult finished = Catindex({catalogue});
  EXPECT_EQ(finished.exitStatus, 0) << finished;
  Index index(db_);
  index.ExpectIntact();
  EXPECT_EQ(index.One("SELECT item_count FROM catalogues"), "200001");
  EXPECT_EQ(index.One("SELECT count(*) FROM items"), "200001");
}

TEST_F(CatindexTest, ACatalogueChangedWhileItIsListedIsListedAgain) {
  const std::string catalogue =
      Write("cats/busy.mur", catwriter::BuildMur(ManyFiles(150000, "busy")).bytes);
  program_run::Program program;
  program.argv = {CATINDEX_PATH, "--db", db_, catalogue};
  const std::string errPath = root_ + "/err.txt";
  const pid_t child = program_run::Start(program, "", errPath);
  ASSERT_GT(child, 0);
  bool exited = false;
  int status = 0;
  std::error_code ignored;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(child, &status, WNOHANG) == child) {
      exited = true;
      break;
    }
    if (fs::file_size(db_ + "-wal", ignored) >= (uintmax_t{1} << 20) && !ignored) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_FALSE(exited) << "the listing ended before the file could be changed";
  // A new modification time in the middle of the listing: what was listed may be either.
  const struct timespec times[2] = {{0, UTIME_OMIT}, {1'000'000'000, 123}};
  ASSERT_EQ(utimensat(AT_FDCWD, catalogue.c_str(), times, 0), 0);
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  Index index(db_);
  EXPECT_EQ(index.One("SELECT mtime_ns, status, item_count FROM catalogues"),
            "1000000000000000123|complete|150001")
      << "listed again, and recorded as the file now is";
}

TEST_F(CatindexTest, RefusesWhatIsNoIndexAndCountsWhatIsNoCatalogue) {
  const std::string catalogue = Write("cats/one.mur", catwriter::BuildMur(MixedMur()).bytes);
  {
    std::ofstream(db_) << "this is a text file, not a database\n";
    RunResult run = Catindex({catalogue});
    EXPECT_EQ(run.exitStatus, 2) << run;
    EXPECT_NE(run.err.find("not an index database"), std::string::npos) << run.err;
    std::ifstream kept(db_);
    std::string line;
    std::getline(kept, line);
    EXPECT_EQ(line, "this is a text file, not a database") << "the file is left alone";
  }
  {
    fs::remove(db_);
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &raw), SQLITE_OK);
    sqlite3_exec(raw, "CREATE TABLE t(x); PRAGMA user_version=7", nullptr, nullptr, nullptr);
    sqlite3_close(raw);
    RunResult run = Catindex({catalogue});
    EXPECT_EQ(run.exitStatus, 2) << run;
    EXPECT_NE(run.err.find("index version 7"), std::string::npos) << run.err;
  }
  fs::remove(db_);
  EXPECT_EQ(Catindex({}).exitStatus, 2);  // without PATH, only an index that exists
  EXPECT_EQ(Catindex({"--bogus", catalogue}).exitStatus, 2);

  // A file given by name that no module accepts: named (safely), counted, the rest indexed.
  const std::string hostile = Write("cats/evil\n\x1b[2J.txt", {'h', 'i'});
  RunResult run = Catindex({hostile, catalogue, root_ + "/missing.mur"});
  EXPECT_EQ(run.exitStatus, 1) << run;
  EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("evil\\012\\033[2J.txt'"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("1 file skipped"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("missing.mur"), std::string::npos) << run.err;
  EXPECT_EQ(Index(db_).Rows("SELECT path FROM catalogues"), std::vector<std::string>{catalogue});

  // The default location: under XDG_DATA_HOME, folders made as needed.
  program_run::Program program;
  program.argv = {CATINDEX_PATH, catalogue};
  program.environment.emplace_back("XDG_DATA_HOME", root_ + "/data");
  EXPECT_EQ(program_run::Run(program).exitStatus, 0);
  EXPECT_TRUE(fs::exists(root_ + "/data/catalogue-modules/index.sqlite"));
}

}  // namespace

namespace {

// The item paths catfind prints for `pattern` in the index `database`, and its exit status.
std::pair<int, std::string> Found(const std::string& database, const std::string& pattern) {
  RunResult run = program_run::Run({CATFIND_PATH, "--db", database, pattern});
  return {run.exitStatus, run.out + run.err};
}

// A full disk ends the run with exit 2 and keeps every catalogue committed before; a disk turned
// read-only refuses the update the same way, and catfind still answers from it.
TEST_F(CatindexTest, AFullOrReadOnlyLocationFailsClearlyAndKeepsWhatTheIndexHeld) {
  test_mounts::TmpfsMount disk(root_ + "/disk", "size=1m");
  if (!disk.mounted) GTEST_SKIP() << disk.why;
  const std::string database = disk.where + "/index.sqlite";
  const std::string small = Write("cats/small.mur", catwriter::BuildMur(MixedMur()).bytes);
  const std::string large =
      Write("cats/large.mur", catwriter::BuildMur(ManyFiles(30000, "large")).bytes);
  auto catindex = [&](std::vector<std::string> paths) {
    paths.insert(paths.begin(), {CATINDEX_PATH, "--db", database});
    return program_run::Run(paths);
  };
  ASSERT_EQ(catindex({small}).exitStatus, 0);
  const std::pair<int, std::string> before = Found(database, "inner%_");
  ASSERT_EQ(before.first, 0) << before.second;

  RunResult full = catindex({large});
  EXPECT_EQ(full.exitStatus, 2) << full;
  EXPECT_NE(full.err.find("full"), std::string::npos) << full.err;
  {
    Index index(database);
    index.ExpectIntact();
    EXPECT_EQ(index.Rows("SELECT path FROM catalogues"), std::vector<std::string>{small});
  }
  EXPECT_EQ(Found(database, "inner%_"), before);
  EXPECT_EQ(Found(database, "large_file").first, 1);

  ASSERT_TRUE(disk.MakeReadOnly());
  RunResult readOnly = catindex({small, large});
  EXPECT_EQ(readOnly.exitStatus, 2) << readOnly;
  EXPECT_NE(readOnly.err.find("read"), std::string::npos) << readOnly.err;
  EXPECT_EQ(Found(database, "inner%_"), before);
  RunResult nowhere =
      program_run::Run({CATINDEX_PATH, "--db", disk.where + "/new/index.sqlite", small});
  EXPECT_EQ(nowhere.exitStatus, 2) << nowhere;
  EXPECT_NE(nowhere.err.find("Read-only file system"), std::string::npos) << nowhere.err;
}

// A catalogue or a folder that cannot be read is named and skipped (exit 1); what the index held
// of it stays, and the rest is indexed. As root, the programs run as nobody for this.
TEST_F(CatindexTest, UnreadableCataloguesAndFoldersAreSkippedAndKept) {
  const bool root = geteuid() == 0;
  constexpr uid_t kNobody = 65534;
  fs::permissions(root_, fs::perms::all);
  auto catindex = [&](std::vector<std::string> paths) {
    program_run::Program program;
    program.argv = {CATINDEX_PATH, "--db", db_};
    program.argv.insert(program.argv.end(), paths.begin(), paths.end());
    if (root) program.userId = kNobody;
    return program_run::Run(program);
  };
  const std::string kept = Write("cats/kept.mur", catwriter::BuildMur(MixedMur()).bytes);
  const std::string locked =
      Write("cats/locked.mur", catwriter::BuildMur(ManyFiles(3, "locked")).bytes);
  const std::string hidden =
      Write("cats/sub/hidden.mur", catwriter::BuildMur(ManyFiles(3, "hidden")).bytes);
  fs::permissions(root_ + "/cats", fs::perms::all);
  fs::permissions(root_ + "/cats/sub", fs::perms::all);
  for (const std::string& file : {kept, locked, hidden}) {
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  }
  ASSERT_EQ(catindex({root_ + "/cats"}).exitStatus, 0);
  const std::vector<std::string> lockedItems = Index(db_).Items(locked);
  ASSERT_EQ(lockedItems.size(), 4u);

  // Changed, then made unreadable: the old listing stays rather than nothing.
  Write("cats/locked.mur", catwriter::BuildMur(ManyFiles(5, "locked")).bytes);
  fs::permissions(locked, fs::perms::none);
  fs::permissions(root_ + "/cats/sub", fs::perms::none);
  const std::string added = Write("cats/added.mur", catwriter::BuildMur(MixedMur()).bytes);
  fs::permissions(added, fs::perms::owner_read | fs::perms::others_read);
  RunResult run = catindex({root_ + "/cats"});
  fs::permissions(root_ + "/cats/sub", fs::perms::all);
  EXPECT_EQ(run.exitStatus, 1) << run;
  EXPECT_NE(run.err.find("locked.mur: cannot read the file: Permission denied"), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("sub: cannot read the folder: Permission denied"), std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("skipped"), std::string::npos) << run.err;
  Index index(db_);
  std::vector<std::string> held = {added, hidden, kept, locked};
  std::sort(held.begin(), held.end());
  EXPECT_EQ(index.Rows("SELECT path FROM catalogues ORDER BY path"), held);
  EXPECT_EQ(index.Items(locked), lockedItems);
  EXPECT_EQ(index.Items(added).size(), index.Items(kept).size());
  index.ExpectIntact();
}

}  // namespace

namespace {

constexpr uid_t kNobody = 65534;

// catindex or catfind on `database`, as nobody where the test runs as root (permissions must
// hold it back).
RunResult RunAsUser(const std::string& program, const std::string& database,
                    std::vector<std::string> arguments) {
  program_run::Program run;
  run.argv = {program, "--db", database};
  run.argv.insert(run.argv.end(), arguments.begin(), arguments.end());
  if (geteuid() == 0) run.userId = kNobody;
  return program_run::Run(run);
}

// A folder that can be listed but not searched hides what it holds without saying it is gone:
// its catalogues stay, named, exit 1, whether it is a subfolder or the folder given. A name
// past PATH_MAX is named too.
TEST_F(CatindexTest, WhatCannotBeLookedAtIsNamedAndKept) {
  fs::permissions(root_, fs::perms::all);
  const std::string top = Write("cats/top.mur", catwriter::BuildMur(MixedMur()).bytes);
  const std::string inner = Write("cats/sub/inner.mur", catwriter::BuildMur(MixedMur()).bytes);
  fs::permissions(root_ + "/cats", fs::perms::all);
  fs::permissions(root_ + "/cats/sub", fs::perms::all);
  fs::permissions(top, fs::perms::all);
  fs::permissions(inner, fs::perms::all);
  ASSERT_EQ(RunAsUser(CATINDEX_PATH, db_, {root_ + "/cats"}).exitStatus, 0);
  const auto readOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
  for (const std::string& folder : {root_ + "/cats/sub", root_ + "/cats"}) {
    SCOPED_TRACE(folder);
    fs::permissions(folder, readOnly);
    RunResult run = RunAsUser(CATINDEX_PATH, db_, {root_ + "/cats"});
    fs::permissions(folder, fs::perms::all);
    EXPECT_EQ(run.exitStatus, 1) << run;
    EXPECT_NE(run.err.find(folder + ": cannot search the folder: Permission denied"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(Index(db_).Rows("SELECT path FROM catalogues ORDER BY path"),
              (std::vector<std::string>{inner, top}));
  }

  // Folders of 200-byte names down to a file whose path is past PATH_MAX.
  const std::string name(200, 'n');
  std::string deep = root_ + "/cats/deep";
  fs::create_directories(deep);
  while (deep.size() < 4000) {
    deep += "/" + name;
    fs::create_directory(deep);
  }
  const int folder = open(deep.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(folder, 0);
  const int file = openat(folder, (name + ".mur").c_str(), O_WRONLY | O_CREAT, 0644);
  const std::vector<uint8_t> bytes = catwriter::BuildMur(MixedMur()).bytes;
  EXPECT_EQ(write(file, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(file);
  close(folder);
  RunResult run = Catindex({root_ + "/cats"});
  EXPECT_EQ(run.exitStatus, 1) << run;
  EXPECT_NE(run.err.find(".mur: cannot look at it: File name too long"), std::string::npos)
      << run.err;
}

// Two runs over the same new catalogues at once: the second waits for each lock, finds each
// catalogue done and leaves it.
TEST_F(CatindexTest, TwoRunsAtOnceBothSucceed) {
  for (int i = 0; i < 300; ++i) {
    // Appended, not "c" + ...: GCC 12 at -O3 warns (-Wrestrict) on that operator+.
    const std::string name = std::string("c").append(std::to_string(i));
    Write(std::string("cats/").append(name).append(".mur"),
          catwriter::BuildMur(ManyFiles(5, name)).bytes);
  }
  program_run::Program program;
  program.argv = {CATINDEX_PATH, "--db", db_, root_ + "/cats"};
  const pid_t first = program_run::Start(program, "", root_ + "/first.err");
  const pid_t second = program_run::Start(program, "", root_ + "/second.err");
  for (const pid_t child : {first, second}) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  for (const char* err : {"/first.err", "/second.err"}) {
    std::ifstream stream(root_ + err);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stream), {}), "") << err;
  }
  Index index(db_);
  index.ExpectIntact();
  EXPECT_EQ(index.One("SELECT count(*), sum(item_count) FROM catalogues"), "300|1800");
  EXPECT_EQ(index.One("SELECT count(*) FROM items"), "1800");
}

// An index the user may read but not write (another user's, or on read-only media or a
// read-only bind mount) answers catfind; catindex says why it cannot update it.
TEST_F(CatindexTest, AnIndexThatCannotBeWrittenIsStillRead) {
  const std::string catalogue = Write("cats/one.mur", catwriter::BuildMur(MixedMur()).bytes);
  fs::permissions(root_, fs::perms::all);
  fs::create_directories(root_ + "/owned");
  const std::string database = root_ + "/owned/index.sqlite";
  ASSERT_EQ(program_run::Run({CATINDEX_PATH, "--db", database, catalogue}).exitStatus, 0);
  fs::permissions(catalogue, fs::perms::all);
  fs::permissions(root_ + "/owned", fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
  const std::string expected = catalogue + ": folder\\inner%_.bin\n";
  if (geteuid() == 0 || getuid() != 0) {
    // As another user (nobody, run by root), or as the owner of a folder made read-only.
    if (geteuid() != 0)
      fs::permissions(root_ + "/owned", fs::perms::owner_read | fs::perms::owner_exec);
    RunResult found = RunAsUser(CATFIND_PATH, database, {"inner"});
    EXPECT_EQ(found.exitStatus, 0) << found;
    EXPECT_EQ(found.out, expected);
    RunResult update = RunAsUser(CATINDEX_PATH, database, {catalogue});
    EXPECT_EQ(update.exitStatus, 2) << update;
    EXPECT_NE(update.err.find("its folder is not writable"), std::string::npos) << update.err;
    fs::permissions(root_ + "/owned", fs::perms::owner_all);
  }
  // The same folder seen through a read-only bind mount.
  const std::string view = root_ + "/view";
  fs::create_directories(view);
  if (mount((root_ + "/owned").c_str(), view.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "no bind mount here: " << std::strerror(errno);
  }
  const bool readOnly =
      mount(nullptr, view.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
  RunResult found = program_run::Run({CATFIND_PATH, "--db", view + "/index.sqlite", "inner"});
  umount2(view.c_str(), MNT_DETACH);
  ASSERT_TRUE(readOnly);
  EXPECT_EQ(found.exitStatus, 0) << found;
  EXPECT_EQ(found.out, expected);
}

// What one catalogue file is: indexed once under its own path whatever leads to it, seen
// again when rewritten in place with its old time, and not left behind when a folder takes
// its name. A listing stops at --max-items and keeps what it listed.
TEST_F(CatindexTest, OneFileIsOneCatalogueWhateverLeadsToIt) {
  const std::string disk = Write("cats/disk1.mur", catwriter::BuildMur(ManyFiles(3, "aaa")).bytes);
  fs::create_symlink("disk1.mur", root_ + "/cats/latest.mur");
  fs::create_hard_link(disk, root_ + "/cats/sub/hard.mur");
  RunResult run = Catindex({"-v", root_ + "/cats", disk});
  EXPECT_EQ(run.exitStatus, 0) << run;
  EXPECT_NE(run.err.find("1 listed, 0 unchanged"), std::string::npos) << run.err;
  EXPECT_EQ(Index(db_).Rows("SELECT path FROM catalogues"), std::vector<std::string>{disk});
  RunResult duplicates = program_run::Run({CATFIND_PATH, "--db", db_, "--duplicates"});
  EXPECT_EQ(duplicates.exitStatus, 1) << duplicates;

  // Same size, the old modification time set back (cp -p, rsync --inplace -t).
  struct stat old {};
  ASSERT_EQ(stat(disk.c_str(), &old), 0);
  {
    const std::vector<uint8_t> bytes = catwriter::BuildMur(ManyFiles(3, "bbb")).bytes;
    ASSERT_EQ(static_cast<off_t>(bytes.size()), old.st_size);
    std::ofstream(disk, std::ios::binary | std::ios::in)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    const struct timespec times[2] = {old.st_atim, old.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, disk.c_str(), times, 0), 0);
  }
  EXPECT_EQ(Catindex({root_ + "/cats"}).exitStatus, 0);
  EXPECT_EQ(Index(db_).One("SELECT count(*) FROM items WHERE path LIKE 'bbb%'"), "4");

  // A catalogue given by name becomes a folder of catalogues, and back.
  const std::string swapped = Write("cats/swapped.mur", catwriter::BuildMur(MixedMur()).bytes);
  ASSERT_EQ(Catindex({swapped}).exitStatus, 0);
  fs::remove(swapped);
  fs::create_directories(swapped);
  const std::string within =
      Write("cats/swapped.mur/within.mur", catwriter::BuildMur(MixedMur()).bytes);
  EXPECT_EQ(Catindex({swapped}).exitStatus, 0);
  EXPECT_EQ(Index(db_).Rows("SELECT path FROM catalogues WHERE path LIKE '%swapped%'"),
            std::vector<std::string>{within});
  fs::remove_all(swapped);
  Write("cats/swapped.mur", catwriter::BuildMur(MixedMur()).bytes);
  EXPECT_EQ(Catindex({swapped}).exitStatus, 0);
  EXPECT_EQ(Index(db_).Rows("SELECT path FROM catalogues WHERE path LIKE '%swapped%'"),
            std::vector<std::string>{swapped});

  // A modification time past 2262 (nanoseconds past the signed 64-bit range).
  const struct timespec future[2] = {{0, UTIME_OMIT}, {int64_t{10'000'000'000}, 5}};
  ASSERT_EQ(utimensat(AT_FDCWD, swapped.c_str(), future, 0), 0);
  EXPECT_EQ(Catindex({swapped}).exitStatus, 0);
  run = Catindex({"-v", swapped});
  EXPECT_NE(run.err.find("0 listed, 1 unchanged"), std::string::npos) << run.err;

  const std::string many = Write("cats/many.mur", catwriter::BuildMur(ManyFiles(50, "m")).bytes);
  run = Catindex({"--max-items=10", many});
  EXPECT_EQ(run.exitStatus, 1) << run;
  EXPECT_NE(run.err.find("many.mur: stopped at item 11: item limit (10) reached"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(Index(db_).One("SELECT item_count, status FROM catalogues WHERE path = ?1", {many}),
            "10|stopped at item 11: item limit (10) reached");
  const std::string large =
      Write("cats/large.mur", catwriter::BuildMur(ManyFiles(20000, "large")).bytes);
  ASSERT_GT(fs::file_size(large), 1u << 20);
  run = Catindex({"--max-file-mib", "1", large});
  EXPECT_EQ(run.exitStatus, 1) << run;
  EXPECT_NE(run.err.find("large.mur: not listed: larger than 1 MiB"), std::string::npos) << run.err;

  // No longer a catalogue: counted with what else left the index.
  Write("cats/many.mur", {'n', 'o', 'p', 'e'});
  run = Catindex({"-v", many});
  EXPECT_NE(run.err.find("0 listed, 0 unchanged, 1 pruned"), std::string::npos) << run.err;
}

// An index of an older version is read as it is and brought up to date by the next catindex,
// which lists every catalogue again; a version alone does not make an index.
TEST_F(CatindexTest, AnOlderIndexIsReadAndBroughtUpToDate) {
  const std::string catalogue = Write("cats/one.mur", catwriter::BuildMur(MixedMur()).bytes);
  ASSERT_EQ(Catindex({catalogue}).exitStatus, 0);
  const std::string found = program_run::Run({CATFIND_PATH, "--db", db_, "-c", "inner"}).out;
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &raw), SQLITE_OK);
  EXPECT_EQ(
      sqlite3_exec(raw,
                   "DROP TABLE roots; DROP TABLE item_descriptions; DROP INDEX catalogues_by_file; "
                   "ALTER TABLE catalogues DROP COLUMN ctime_ns; "
                   "ALTER TABLE catalogues DROP COLUMN first_item; "
                   "ALTER TABLE catalogues DROP COLUMN last_item; "
                   "ALTER TABLE items ADD COLUMN name TEXT NOT NULL DEFAULT ''; "
                   "CREATE INDEX items_by_catalogue ON items(catalogue); PRAGMA user_version=2",
                   nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(raw);
  EXPECT_EQ(program_run::Run({CATFIND_PATH, "--db", db_, "inner"}).exitStatus, 0);
  RunResult run = Catindex({"-v", catalogue});
  EXPECT_NE(run.err.find("1 listed, 0 unchanged"), std::string::npos) << run;
  EXPECT_EQ(Index(db_).One("PRAGMA user_version"), "5");
  EXPECT_EQ(Index(db_).One("SELECT count(*) FROM pragma_table_info('items') WHERE name = 'name'"),
            "0");
  EXPECT_EQ(program_run::Run({CATFIND_PATH, "--db", db_, "-c", "inner"}).out, found);
  EXPECT_EQ(
      Index(db_).One("SELECT count(*) FROM item_descriptions WHERE description LIKE '%quoted%'"),
      "1");

  const std::string bare = root_ + "/bare.sqlite";
  ASSERT_EQ(sqlite3_open(bare.c_str(), &raw), SQLITE_OK);
  sqlite3_exec(raw, "PRAGMA user_version=2", nullptr, nullptr, nullptr);
  sqlite3_close(raw);
  for (const char* program : {CATINDEX_PATH, CATFIND_PATH}) {
    run = program_run::Run({program, "--db", bare, catalogue});
    EXPECT_EQ(run.exitStatus, 2) << run;
    EXPECT_NE(run.err.find(bare + ": not an index database (its tables are missing)"),
              std::string::npos)
        << run;
  }
  for (const char* program : {CATINDEX_PATH, CATFIND_PATH}) {
    for (const char* option : {"--help", "--version"}) {
      program_run::Program full;
      full.argv = {program, option};
      full.stdoutPath = "/dev/full";
      EXPECT_EQ(program_run::Run(full).exitStatus, 2) << program << " " << option;
    }
  }
}

}  // namespace

namespace {

// The README's schema is the one a new index is given, comments and all, and the index keeps
// each statement as written.
TEST_F(CatindexTest, TheReadmeShowsTheSchemaTheIndexKeeps) {
  std::ifstream stream(std::string(SOURCE_DIR) + "/README.md");
  const std::string readme(std::istreambuf_iterator<char>(stream), {});
  const size_t start = readme.find("```sql\n");
  ASSERT_NE(start, std::string::npos);
  const size_t end = readme.find("\n```\n", start);
  const std::string_view schema = index_db::Schema();
  const size_t first = schema.find_first_not_of('\n');
  EXPECT_EQ(readme.substr(start + 7, end - start - 7),
            schema.substr(first, schema.find_last_not_of('\n') + 1 - first));

  ASSERT_EQ(Catindex({root_ + "/cats"}).exitStatus, 0);
  const std::vector<std::string> statements = Index(db_).Rows(
      "SELECT sql FROM sqlite_schema WHERE sql NOT NULL AND name NOT GLOB 'item_paths_*' "
      "AND name NOT GLOB 'item_descriptions_*'");
  EXPECT_EQ(statements.size(), 7u);
  for (const std::string& statement : statements) {
    EXPECT_NE(schema.find(statement), std::string_view::npos) << statement;
  }
}

}  // namespace

namespace {

// The nightly journey: every PATH given is a root that a run without PATH updates; a run with
// nothing new to report prints nothing; a disk not mounted keeps its roots, a root gone from a
// disk that is there leaves; --list shows what is indexed and --remove drops it.
TEST_F(CatindexTest, RootsAreRememberedAndARunIsQuietUntilSomethingNeedsAPerson) {
  test_mounts::TmpfsMount disk(root_ + "/disk", "size=4m");
  if (!disk.mounted) GTEST_SKIP() << disk.why;
  fs::create_directories(disk.where + "/cats");
  fs::create_directories(root_ + "/old");
  const std::string removable = Write("disk/cats/r.mur", catwriter::BuildMur(MixedMur()).bytes);
  const std::string kept = Write("cats/kept.mur", catwriter::BuildMur(MixedMur()).bytes);
  const std::string evil = Write("cats/evil\x1b.mur", catwriter::BuildMur(MixedMur()).bytes);
  const std::string inner = Write("cats/sub/inner.mur", catwriter::BuildMur(MixedMur()).bytes);
  const std::string old = Write("old/o.mur", catwriter::BuildMur(MixedMur()).bytes);
  const std::string single = Write("single.mur", catwriter::BuildMur(MixedMur()).bytes);
  Write("cats/notes.txt", {'n', 'o', 't', 'e', 's', '\n'});
  auto catalogues = [&] { return Index(db_).Rows("SELECT path FROM catalogues ORDER BY path"); };

  RunResult run = Catindex({root_ + "/cats", disk.where + "/cats", root_ + "/old", single});
  EXPECT_EQ(run.exitStatus, 0) << run;
  EXPECT_EQ(run.err, "") << "a file beside the catalogues is counted, not reported";
  EXPECT_EQ(
      Index(db_).Rows("SELECT path, kind, status FROM roots ORDER BY path"),
      (std::vector<std::string>{root_ + "/cats|folder|walked", disk.where + "/cats|folder|walked",
                                root_ + "/old|folder|walked", single + "|file|walked"}));
  run = Catindex({"-v"});
  EXPECT_EQ(run.exitStatus, 0) << run;
  EXPECT_NE(run.err.find("notes.txt: no format module accepts"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("0 listed, 6 unchanged, 0 pruned, 1 no catalogue"), std::string::npos)
      << run.err;

  // A new problem is reported by the run that finds it, and not again while it stands (-v
  // repeats it); a damaged catalogue is reported when it is listed.
  const std::string large =
      Write("cats/large.mur", catwriter::BuildMur(ManyFiles(20000, "large")).bytes);
  catwriter::ZexImage cut = trees::ThreeFilesMiddleDescribed();
  cut.bytes.resize(cut.bytes.size() - 4);
  Write("cats/damaged.zex", cut.bytes);
  run = Catindex({"--max-file-mib=1"});
  EXPECT_EQ(run.exitStatus, 1) << run;
  EXPECT_NE(run.err.find("large.mur: not listed: larger than 1 MiB"), std::string::npos) << run;
  EXPECT_NE(run.err.find("damaged.zex: complete; 1 item damaged"), std::string::npos) << run;
  run = Catindex({"--max-file-mib=1"});
  EXPECT_EQ(run.exitStatus, 0) << run;
  EXPECT_EQ(run.err, "");
  run = Catindex({"--max-file-mib=1", "-v"});
  EXPECT_EQ(run.exitStatus, 0) << run;
  EXPECT_NE(run.err.find("large.mur: not listed"), std::string::npos) << run;

  RunResult list = Catindex({"--list"});
  EXPECT_EQ(list.exitStatus, 0) << list;
  EXPECT_NE(list.out.find(root_ + "/cats: folder, walked "), std::string::npos) << list.out;
  EXPECT_NE(list.out.find(", 4 catalogues, "), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("  problem: " + large + ": not listed"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("  sub/inner.mur: MUR, complete, 6 items, listed "), std::string::npos)
      << list.out;
  EXPECT_NE(list.out.find("  'evil\\033.mur': MUR, complete"), std::string::npos) << list.out;
  EXPECT_EQ(list.out.find('\x1b'), std::string::npos);

  // The disk unmounted between runs keeps its catalogues; a root moved away on a disk that is
  // there leaves, and so does a folder gone from under a root when it is named.
  ASSERT_EQ(umount2(disk.where.c_str(), MNT_DETACH), 0);
  fs::rename(root_ + "/old", root_ + "/older");
  run = Catindex({"--max-file-mib=1"});
  EXPECT_EQ(run.exitStatus, 0) << run;
  EXPECT_NE(run.err.find(disk.where + "/cats: its disk is not mounted"), std::string::npos) << run;
  EXPECT_NE(
      run.err.find(root_ + "/old: gone from its disk; dropped from the index with 1 catalogue"),
      std::string::npos)
      << run;
  run = Catindex({"--max-file-mib=1"});
  EXPECT_EQ(run.exitStatus, 0) << run;
  EXPECT_EQ(run.err, "");
  fs::remove_all(root_ + "/cats/sub");
  EXPECT_EQ(Catindex({root_ + "/cats/sub"}).exitStatus, 0);
  std::vector<std::string> held = {evil, kept, removable, single, root_ + "/cats/damaged.zex"};
  std::sort(held.begin(), held.end());
  EXPECT_EQ(catalogues(), held);
  list = Catindex({"--list"});
  EXPECT_NE(list.out.find(disk.where + "/cats: folder, not mounted, last walked "),
            std::string::npos)
      << list.out;

  // --remove: the roots named and every catalogue under them.
  run = Catindex({"--remove", disk.where + "/cats", single});
  EXPECT_EQ(run.exitStatus, 0) << run;
  EXPECT_EQ(Index(db_).Rows("SELECT path FROM roots"), std::vector<std::string>{root_ + "/cats"});
  held = {evil, kept, root_ + "/cats/damaged.zex"};
  std::sort(held.begin(), held.end());
  EXPECT_EQ(catalogues(), held);
  EXPECT_EQ(Catindex({"--remove", single}).exitStatus, 1);
  Index(db_).ExpectIntact();
}

}  // namespace
