#include "tools/index/index_db.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/common/display_text.h"

namespace index_db {

namespace {

// The full-text table keeps no positions (detail=none) and no token counts (columnsize=0):
// catfind checks every row exactly and ranks nothing. Its 'hashsize' lets a catalogue's new
// postings gather in memory up to 64 MiB before they are written: the default 1 MiB writes and
// merges many small segments, which doubled the time of a large insert.
constexpr const char* kSchema = R"sql(
CREATE TABLE catalogues (
  id          INTEGER PRIMARY KEY,
  path        TEXT NOT NULL UNIQUE,
  device      INTEGER NOT NULL,
  inode       INTEGER NOT NULL,
  size        INTEGER NOT NULL,
  mtime_ns    INTEGER NOT NULL,
  format      TEXT NOT NULL,
  status      TEXT NOT NULL,
  item_count  INTEGER NOT NULL,
  listed_at   INTEGER NOT NULL
);
CREATE TABLE items (
  id            INTEGER PRIMARY KEY,
  catalogue     INTEGER NOT NULL REFERENCES catalogues(id) ON DELETE CASCADE,
  path          TEXT NOT NULL,
  name          TEXT NOT NULL,
  size          INTEGER NOT NULL,
  creation_time INTEGER NOT NULL,
  access_time   INTEGER NOT NULL,
  write_time    INTEGER NOT NULL,
  attributes    INTEGER NOT NULL,
  description   TEXT NOT NULL,
  damaged       INTEGER NOT NULL
);
CREATE INDEX items_by_catalogue ON items(catalogue);
CREATE VIRTUAL TABLE item_paths USING fts5(path, content='items', content_rowid='id',
  tokenize='trigram', detail='none', columnsize=0);
INSERT INTO item_paths (item_paths, rank) VALUES ('hashsize', 67108864);
CREATE TABLE trigram_counts (
  trigram TEXT PRIMARY KEY,
  items   INTEGER NOT NULL
) WITHOUT ROWID;
PRAGMA user_version=2;
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

std::string LastError(const IndexDb& db) {
  return db.get() == nullptr ? std::string("no database") : std::string(sqlite3_errmsg(db.get()));
}

bool OpenIndex(const std::string& path, bool create, IndexDb* db, std::string* error) {
  const std::string shown = ShownName(path);
  if (path.empty()) {
    *error = "no index path: set HOME or XDG_DATA_HOME, or give --db FILE";
    return false;
  }
  struct stat info {};
  const bool exists = stat(path.c_str(), &info) == 0;
  if (!exists && !create) {
    *error = std::string(shown).append(": no index here (catindex builds it)");
    return false;
  }
  if (exists && !S_ISREG(info.st_mode)) {
    *error = std::string(shown).append(": not a regular file");
    return false;
  }
  if (!exists) {
    std::string absolute = path;
    if (!absolute.empty() && absolute[0] != '/') absolute.insert(0, "./");
    if (!MakeParentFolders(absolute, error)) return false;
  }
  sqlite3* connection = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
  const int opened = sqlite3_open_v2(path.c_str(), &connection, flags, nullptr);
  db->connection.reset(connection);
  if (opened != SQLITE_OK) {
    *error =
        std::string(shown)
            .append(": cannot open the index: ")
            .append(connection != nullptr ? sqlite3_errmsg(connection) : sqlite3_errstr(opened));
    db->connection.reset();
    return false;
  }
  sqlite3_extended_result_codes(connection, 1);
  sqlite3_busy_timeout(connection, kBusyTimeoutMs);
  auto fail = [&](const std::string& why) {
    *error = std::string(shown).append(": ").append(why);
    db->connection.reset();
    return false;
  };
  std::string why;
  int version = ReadVersion(*db, &why);
  if (version < 0) return fail(std::string("not an index database (").append(why).append(")"));
  if (version == 0) {
    bool empty = false;
    if (!IsEmpty(*db, &empty, &why)) return fail(why);
    if (!empty) return fail("not an index database (it holds other tables)");
    if (!create) return fail("the index is empty (catindex builds it)");
    // WAL is set outside a transaction; it stays with the file.
    if (!Execute(*db, "PRAGMA journal_mode=WAL", &why)) return fail(why);
    if (!Execute(*db, "BEGIN IMMEDIATE", &why)) return fail(why);
    // Another catindex may have created the schema while this one waited for the lock.
    version = ReadVersion(*db, &why);
    if (version < 0) return fail(why);
    if (version == 0) {
      if (!Execute(*db, kSchema, &why)) {
        Execute(*db, "ROLLBACK", &why);
        return fail(std::string("cannot create the index: ").append(why));
      }
      version = kSchemaVersion;
    }
    if (!Execute(*db, "COMMIT", &why)) return fail(why);
  }
  if (version != kSchemaVersion) {
    return fail(std::string("index version ")
                    .append(std::to_string(version))
                    .append(", these programs read version ")
                    .append(std::to_string(kSchemaVersion)));
  }
  // NORMAL in WAL mode keeps every commit atomic (a killed process loses nothing committed);
  // only a power cut may lose the last commits.
  if (!Execute(*db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON",
               &why)) {
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
