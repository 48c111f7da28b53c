#include "tools/index/index_db.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/common/display_text.h"

namespace index_db {

namespace {

// The schema of a new index, its comments kept by SQLite in sqlite_schema. README.md shows the
// same text (the index tests compare the two).
constexpr const char* kSchema = R"sql(
-- The file is in WAL mode (PRAGMA journal_mode=WAL), and PRAGMA user_version is 5.
CREATE TABLE catalogues (
  id          INTEGER PRIMARY KEY,
  path        TEXT NOT NULL UNIQUE,   -- absolute path of the catalogue file (bytes as the file system has them)
  device      INTEGER NOT NULL,
  inode       INTEGER NOT NULL,
  size        INTEGER NOT NULL,
  mtime_ns    INTEGER NOT NULL,       -- st_mtim in nanoseconds since 1970 (past 2262, wrapped modulo 2^64)
  format      TEXT NOT NULL,          -- the module's format name
  status      TEXT NOT NULL,          -- "complete" or what stopped the listing, as catmount words it
  item_count  INTEGER NOT NULL,
  listed_at   INTEGER NOT NULL,       -- seconds since 1970
  ctime_ns    INTEGER NOT NULL DEFAULT 0, -- st_ctim as mtime_ns; 0 until listed by version 3
  first_item  INTEGER NOT NULL DEFAULT 0, -- its items' ids lie from first_item to last_item (one
  last_item   INTEGER NOT NULL DEFAULT -1 -- listing, one transaction: consecutive ids)
);
CREATE TABLE items (
  id            INTEGER PRIMARY KEY,
  catalogue     INTEGER NOT NULL,     -- catalogues.id; found by catalogues.first_item to last_item
  path          TEXT NOT NULL,        -- UTF-8 as cathost prints it (code page 437 decoded, glyphs for 0x01-0x1F/0x7F), components separated by backslashes
  size          INTEGER NOT NULL,     -- nFileSizeHigh << 32 | nFileSizeLow
  creation_time INTEGER NOT NULL,     -- FILETIME ticks (100 ns since 1601-01-01 UTC)
  access_time   INTEGER NOT NULL,
  write_time    INTEGER NOT NULL,
  attributes    INTEGER NOT NULL,     -- dwFileAttributes as delivered (0x10 directory)
  description   TEXT NOT NULL,        -- UTF-8 as cathost prints it; '' when none
  damaged       INTEGER NOT NULL      -- 1 when GetArcItem returned 2 for it
);
CREATE INDEX catalogues_by_file       -- one file, one catalogue
  ON catalogues(device, inode);
CREATE VIRTUAL TABLE item_paths USING fts5(
  -- The items' paths by trigram, filled in the same transaction as items, and emptied for a
  -- catalogue's rows with the FTS5 'delete' command before its items are deleted. No positions
  -- (detail=none) and no token counts (columnsize=0): catfind checks every row exactly and
  -- ranks nothing.
  path, content='items', content_rowid='id', tokenize='trigram', detail='none', columnsize=0
);
-- 'hashsize' lets up to 64 MiB of new postings gather in memory before FTS5 writes them: the
-- default 1 MiB writes and merges many small segments, which doubled the time of a large insert.
INSERT INTO item_paths (item_paths, rank) VALUES ('hashsize', 67108864);
CREATE TABLE trigram_counts (         -- statistics: how many of a sample of the item paths
                                      -- (16,384 spread over the ids, letters folded as -i folds
                                      -- them) hold each trigram; counted anew after every run
                                      -- of catindex that changed the index
  trigram TEXT PRIMARY KEY,
  items   INTEGER NOT NULL
) WITHOUT ROWID;
CREATE VIRTUAL TABLE item_descriptions USING fts5(
  -- The items' descriptions by trigram, for the words only a description holds (an 8.3 name
  -- says little). Only items with a description have a row; kept as item_paths is.
  description, content='items', content_rowid='id', tokenize='trigram', detail='none',
  columnsize=0
);
CREATE TABLE roots (                  -- each PATH catindex was given, so that a run without one
                                      -- updates them all
  path       TEXT PRIMARY KEY,        -- absolute, symbolic links resolved
  kind       TEXT NOT NULL,           -- 'folder' or 'file'
  device     INTEGER NOT NULL,        -- st_dev of the path when it was last walked
  added_at   INTEGER NOT NULL,        -- seconds since 1970
  walked_at  INTEGER NOT NULL,        -- seconds since 1970; 0 before the first walk
  status     TEXT NOT NULL,           -- "walked", "not mounted", or why the last run could not walk it
  problems   TEXT NOT NULL DEFAULT '' -- what the last run reported of it, one warning a line: a
                                      -- run repeats none that the last run reported (unless -v)
) WITHOUT ROWID;
PRAGMA user_version=5;
)sql";

// Version 2 to 3: the status change time joins the file's identity, and the files' device and
// inode are indexed (one file is indexed once, under whichever path). Every catalogue's
// ctime_ns is 0 until its next listing, so the first run of version 3 lists each once more.
constexpr const char* kUpgradeFrom2 = R"sql(
ALTER TABLE catalogues ADD COLUMN ctime_ns INTEGER NOT NULL DEFAULT 0;
CREATE INDEX catalogues_by_file ON catalogues(device, inode);
PRAGMA user_version=3;
)sql";

// Version 3 to 4: the descriptions' trigram table, filled from the items, and the roots (empty:
// an index of version 3 learns them from the next runs that name a PATH).
constexpr const char* kUpgradeFrom3 = R"sql(
CREATE VIRTUAL TABLE item_descriptions USING fts5(
  -- The items' descriptions by trigram, for the words only a description holds (an 8.3 name
  -- says little). Only items with a description have a row; kept as item_paths is.
  description, content='items', content_rowid='id', tokenize='trigram', detail='none',
  columnsize=0
);
INSERT INTO item_descriptions (rowid, description)
  SELECT id, description FROM items WHERE description <> '';
CREATE TABLE roots (                  -- each PATH catindex was given, so that a run without one
                                      -- updates them all
  path       TEXT PRIMARY KEY,        -- absolute, symbolic links resolved
  kind       TEXT NOT NULL,           -- 'folder' or 'file'
  device     INTEGER NOT NULL,        -- st_dev of the path when it was last walked
  added_at   INTEGER NOT NULL,        -- seconds since 1970
  walked_at  INTEGER NOT NULL,        -- seconds since 1970; 0 before the first walk
  status     TEXT NOT NULL,           -- "walked", "not mounted", or why the last run could not walk it
  problems   TEXT NOT NULL DEFAULT '' -- what the last run reported of it, one warning a line: a
                                      -- run repeats none that the last run reported (unless -v)
) WITHOUT ROWID;
PRAGMA user_version=4;
)sql";

// Version 4 to 5: the items lose their name (the last component of the path, computed when
// needed), their index by catalogue and the foreign key that needed it (each deletion of a
// catalogue searched the items for its own); a catalogue's items are found by the range of
// their ids instead, which a listing makes consecutive. The items are copied once, ids and
// all, so the trigram tables stay as they are.
constexpr const char* kUpgradeFrom4 = R"sql(
ALTER TABLE catalogues ADD COLUMN first_item INTEGER NOT NULL DEFAULT 0;
ALTER TABLE catalogues ADD COLUMN last_item INTEGER NOT NULL DEFAULT -1;
UPDATE catalogues SET
  first_item = coalesce((SELECT min(id) FROM items WHERE items.catalogue = catalogues.id), 0),
  last_item = coalesce((SELECT max(id) FROM items WHERE items.catalogue = catalogues.id), -1);
CREATE TABLE items_of_version_5 (
  id            INTEGER PRIMARY KEY,
  catalogue     INTEGER NOT NULL,     -- catalogues.id; found by catalogues.first_item to last_item
  path          TEXT NOT NULL,        -- UTF-8 as cathost prints it (code page 437 decoded, glyphs for 0x01-0x1F/0x7F), components separated by backslashes
  size          INTEGER NOT NULL,     -- nFileSizeHigh << 32 | nFileSizeLow
  creation_time INTEGER NOT NULL,     -- FILETIME ticks (100 ns since 1601-01-01 UTC)
  access_time   INTEGER NOT NULL,
  write_time    INTEGER NOT NULL,
  attributes    INTEGER NOT NULL,     -- dwFileAttributes as delivered (0x10 directory)
  description   TEXT NOT NULL,        -- UTF-8 as cathost prints it; '' when none
  damaged       INTEGER NOT NULL      -- 1 when GetArcItem returned 2 for it
);
INSERT INTO items_of_version_5 (id, catalogue, path, size, creation_time, access_time,
                                write_time, attributes, description, damaged)
  SELECT id, catalogue, path, size, creation_time, access_time, write_time, attributes,
         description, damaged FROM items ORDER BY id;
DROP TABLE items;
ALTER TABLE items_of_version_5 RENAME TO items;
PRAGMA user_version=5;
)sql";

// Creates every missing folder above `path` (mkdir -p of its parent).
bool MakeParentFolders(const std::string& path, std::string* error) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
      *error = ShownName(folder).append(": cannot create the folder: ").append(strerror(errno));
      return false;
    }
  }
  return true;
}

// The version the file declares, or -1 with `error` set when it cannot be read (a file that is
// not SQLite fails here: SQLite reads the header only when asked).
int ReadVersion(const IndexDb& db, std::string* error) {
  Statement version;
  if (!version.Prepare(db, "PRAGMA user_version", error)) return -1;
  bool failed = false;
  if (!version.Step(&failed)) {
    *error = LastError(db);
    return -1;
  }
  return static_cast<int>(version.ColumnInt(0));
}

// Whether the database holds no table at all: a new file, or one emptied by hand.
bool IsEmpty(const IndexDb& db, bool* empty, std::string* error) {
  Statement count;
  if (!count.Prepare(db, "SELECT count(*) FROM sqlite_schema", error)) return false;
  bool failed = false;
  if (!count.Step(&failed)) {
    *error = LastError(db);
    return false;
  }
  *empty = count.ColumnInt(0) == 0;
  return true;
}

// Whether the tables both programs read are there: a version number alone proves nothing.
bool HasIndexTables(const IndexDb& db, std::string* error) {
  Statement tables;
  if (!tables.Prepare(db,
                      "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND "
                      "name IN ('catalogues', 'items', 'item_paths')",
                      error)) {
    return false;
  }
  bool failed = false;
  if (!tables.Step(&failed)) {
    *error = LastError(db);
    return false;
  }
  if (tables.ColumnInt(0) != 3) {
    *error = "not an index database (its tables are missing)";
    return false;
  }
  return true;
}

// As HasIndexTables, for a connection that has not read the schema yet: the tables are looked up
// in the schema as SQLite loads it for any first statement, and no query scans sqlite_schema. A
// connection that has read the schema before may hold it stale (another process may have made
// the tables since), which only a statement would notice.
bool NewConnectionHasIndexTables(const IndexDb& db, std::string* error) {
  // sqlite_schema is in every schema that can be read: a failure here is the file's.
  if (sqlite3_table_column_metadata(db.get(), "main", "sqlite_schema", nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr) != SQLITE_OK) {
    *error = LastError(db);
    return false;
  }
  for (const char* table : {"catalogues", "items", "item_paths"}) {
    if (sqlite3_table_column_metadata(db.get(), "main", table, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr) != SQLITE_OK) {
      *error = "not an index database (its tables are missing)";
      return false;
    }
  }
  return true;
}

// Why the first read of the file failed, in words that say where to look.
std::string FirstReadFailure(const IndexDb& db, const std::string& path, const std::string& why) {
  const int code = sqlite3_errcode(db.get()) & 0xFF;
  if (code == SQLITE_NOTADB) return std::string("not an index database (").append(why).append(")");
  if (code == SQLITE_CANTOPEN || code == SQLITE_READONLY) {
    // WAL keeps two files beside the index, made by whoever opens it first.
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    if (access(folder.c_str(), W_OK) != 0) {
      return std::string("cannot open the index: ")
          .append(why)
          .append(
              " (its folder is not writable, and a writer makes the -wal and -shm files "
              "there)");
    }
  }
  return std::string("cannot read the index (").append(why).append(")");
}

// `path` as an SQLite URI with `query`: every byte but the unreserved ones and '/' escaped.
std::string UriOf(const std::string& path, const char* query) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || std::strchr("/-._~", c) != nullptr) {
      uri += c;
    } else {
      uri.append({'%', kHex[byte >> 4], kHex[byte & 0xF]});
    }
  }
  return uri.append("?").append(query);
}

bool OpenConnection(const std::string& name, int flags, IndexDb* db, std::string* error) {
  sqlite3* connection = nullptr;
  const int opened =
      sqlite3_open_v2(name.c_str(), &connection, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  db->connection.reset(connection);
  if (opened != SQLITE_OK) {
    *error =
        std::string("cannot open the index: ")
            .append(connection != nullptr ? sqlite3_errmsg(connection) : sqlite3_errstr(opened));
    db->connection.reset();
    return false;
  }
  sqlite3_extended_result_codes(connection, 1);
  return true;
}

// Puts the file in WAL mode, where it stays. Turning a new file to WAL needs it alone for a
// moment, and SQLite does not wait for that: another process that opens the same new file at
// once answers busy, so this waits as a busy timeout would.
bool SetWalMode(const IndexDb& db, std::string* error) {
  constexpr int kPauseMs = 10;
  for (int waited = 0;; waited += kPauseMs) {
    if (Execute(db, "PRAGMA journal_mode=WAL", error)) return true;
    if ((sqlite3_errcode(db.get()) & 0xFF) != SQLITE_BUSY || waited >= kWriterBusyTimeoutMs) {
      return false;
    }
    usleep(kPauseMs * 1000);
  }
}

// Opens the index for reading; the version, or -1 with `error` set.
int OpenForReading(const std::string& path, IndexDb* db, std::string* error) {
  if (!OpenConnection(path, SQLITE_OPEN_READONLY, db, error)) return -1;
  sqlite3_busy_timeout(db->get(), kBusyTimeoutMs);
  std::string why;
  int version = ReadVersion(*db, &why);
  if (version >= 0) return version;
  const int code = sqlite3_errcode(db->get()) & 0xFF;
  if (code != SQLITE_CANTOPEN && code != SQLITE_READONLY) {
    *error = FirstReadFailure(*db, path, why);
    return -1;
  }
  // The WAL's shared memory cannot be had: read the file as it stands.
  if (!OpenConnection(UriOf(path, "immutable=1"), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, db,
                      error)) {
    return -1;
  }
  version = ReadVersion(*db, &why);
  if (version < 0) *error = FirstReadFailure(*db, path, why);
  return version;
}

// Opens the index for writing, creating it when `create`; the version (after any upgrade), or
// -1 with `error` set.
int OpenForWriting(const std::string& path, bool create, IndexDb* db, std::string* error) {
  if (!OpenConnection(path, SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0), db, error)) {
    return -1;
  }
  sqlite3_busy_timeout(db->get(), kWriterBusyTimeoutMs);
  std::string why;
  auto fail = [&](std::string message) {
    *error = std::move(message);
    return -1;
  };
  // The version and the tables from one snapshot: another catindex may be creating the same
  // new index, and its schema and version arrive together.
  if (!Execute(*db, "BEGIN", &why)) return fail(FirstReadFailure(*db, path, why));
  int version = ReadVersion(*db, &why);
  bool empty = false;
  const bool read = version >= 0 && (version != 0 || IsEmpty(*db, &empty, &why));
  // Said before COMMIT, which would replace the connection's error.
  const std::string failure = read ? std::string() : FirstReadFailure(*db, path, why);
  std::string ignored;
  Execute(*db, "COMMIT", &ignored);
  if (!read) return fail(failure);
  if (version == 0) {
    if (!empty) return fail("not an index database (it holds other tables)");
    if (!create) return fail("the index is empty (catindex builds it)");
  }
  // A new file gets the schema, an older index the upgrades; OpenIndex judges the rest.
  const bool older = version >= kOldestReadableVersion && version < kSchemaVersion;
  if (version != 0 && !older) return version;
  if (older && !HasIndexTables(*db, &why)) return fail(why);
  if (!Execute(*db, "BEGIN IMMEDIATE", &why)) return fail(why);
  // Another catindex may have created or upgraded the schema while this one waited for the lock.
  version = ReadVersion(*db, &why);
  const bool creating = version == 0;
  bool changed = version >= 0 && (creating ? Execute(*db, kSchema, &why) : true);
  // Each upgrade takes the index one version further, all in this one transaction.
  for (const auto& [from, upgrade] :
       {std::pair{2, kUpgradeFrom2}, std::pair{3, kUpgradeFrom3}, std::pair{4, kUpgradeFrom4}}) {
    if (changed && !creating && version == from) {
      changed = Execute(*db, upgrade, &why);
      ++version;
    }
  }
  if (!changed || !Execute(*db, "COMMIT", &why)) {
    std::string ignored;
    Execute(*db, "ROLLBACK", &ignored);
    return fail(
        std::string(creating ? "cannot create the index: " : "cannot bring the index up to date: ")
            .append(why));
  }
  return creating ? kSchemaVersion : version;
}

}  // namespace

void ConnectionCloser::operator()(sqlite3* connection) const {
  sqlite3_close_v2(connection);
}

void StatementFinalizer::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

std::string DefaultIndexPath() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (dataHome != nullptr && dataHome[0] == '/') {
    base = dataHome;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') return "";
    base = std::string(home).append("/.local/share");
  }
  return base.append("/catalogue-modules/index.sqlite");
}

std::string CatalogueItems(int version, std::string_view id) {
  std::string condition = std::string("items.catalogue = ").append(id);
  if (version < 5) return condition;
  auto bound = [&](const char* column) {
    return std::string("(SELECT ")
        .append(column)
        .append(" FROM catalogues WHERE id = ")
        .append(id)
        .append(")");
  };
  return std::string("items.id BETWEEN ")
      .append(bound("first_item"))
      .append(" AND ")
      .append(bound("last_item"))
      .append(" AND ")
      .append(condition);
}

std::string_view Schema() {
  return kSchema;
}

std::string LastError(const IndexDb& db) {
  return db.get() == nullptr ? std::string("no database") : std::string(sqlite3_errmsg(db.get()));
}

bool OpenIndex(const std::string& path, Access access, IndexDb* db, std::string* error) {
  const std::string shown = ShownName(path);
  if (path.empty()) {
    *error = "no index path: set HOME or XDG_DATA_HOME, or give --db FILE";
    return false;
  }
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno != ENOENT || access != Access::kCreate) {
      *error = std::string(shown).append(errno == ENOENT
                                             ? ": no index here (catindex builds it)"
                                             : std::string(": ").append(std::strerror(errno)));
      return false;
    }
    std::string absolute = path;
    if (absolute[0] != '/') absolute.insert(0, "./");
    if (!MakeParentFolders(absolute, error)) return false;
  } else if (!S_ISREG(info.st_mode)) {
    *error = std::string(shown).append(": not a regular file");
    return false;
  }
  auto fail = [&](const std::string& why) {
    *error = std::string(shown).append(": ").append(why);
    db->connection.reset();
    return false;
  };
  std::string why;
  const int version = access == Access::kRead
                          ? OpenForReading(path, db, &why)
                          : OpenForWriting(path, access == Access::kCreate, db, &why);
  if (version < 0) return fail(why);
  if (version == 0) return fail("not an index database (no schema version)");
  if (version < kOldestReadableVersion || version > kSchemaVersion) {
    return fail(std::string("index version ")
                    .append(std::to_string(version))
                    .append(", these programs read versions ")
                    .append(std::to_string(kOldestReadableVersion))
                    .append(" to ")
                    .append(std::to_string(kSchemaVersion)));
  }
  // A reader's connection is new, and has read no more than the version.
  if (!(access == Access::kRead ? NewConnectionHasIndexTables(*db, &why)
                                : HasIndexTables(*db, &why))) {
    return fail(why);
  }
  db->version = version;
  if (access == Access::kRead) return true;
  // NORMAL in WAL mode keeps every commit atomic (a killed process loses nothing committed);
  // only a power cut may lose the last commits.
  if (!SetWalMode(*db, &why) || !Execute(*db, "PRAGMA synchronous=NORMAL", &why)) {
    return fail(why);
  }
  return true;
}

bool Execute(const IndexDb& db, const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db.get(), sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = message != nullptr ? message : LastError(db);
  sqlite3_free(message);
  return false;
}

bool Statement::Prepare(const IndexDb& db, const char* sql, std::string* error) {
  sqlite3_stmt* statement = nullptr;
  const int prepared =
      sqlite3_prepare_v3(db.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  statement_.reset(statement);
  if (prepared != SQLITE_OK) {
    *error = LastError(db);
    return false;
  }
  return true;
}

void Statement::BindInt(int parameter, int64_t value) {
  sqlite3_bind_int64(statement_.get(), parameter, value);
}

void Statement::BindText(int parameter, std::string_view text) {
  sqlite3_bind_text64(statement_.get(), parameter, text.data(), text.size(), SQLITE_TRANSIENT,
                      SQLITE_UTF8);
}

bool Statement::Step(bool* failed) {
  const int stepped = sqlite3_step(statement_.get());
  *failed = stepped != SQLITE_ROW && stepped != SQLITE_DONE;
  return stepped == SQLITE_ROW;
}

bool Statement::Run() {
  bool failed = false;
  Step(&failed);
  sqlite3_reset(statement_.get());
  return !failed;
}

void Statement::Reset() {
  sqlite3_reset(statement_.get());
  sqlite3_clear_bindings(statement_.get());
}

int64_t Statement::ColumnInt(int column) const {
  return sqlite3_column_int64(statement_.get(), column);
}

std::string_view Statement::ColumnText(int column) const {
  const unsigned char* text = sqlite3_column_text(statement_.get(), column);
  if (text == nullptr) return {};
  return {reinterpret_cast<const char*>(text),
          static_cast<size_t>(sqlite3_column_bytes(statement_.get(), column))};
}

}  // namespace index_db
