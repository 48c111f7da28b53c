// The catalogue index: one SQLite database that catindex fills and catfind reads. This file
// opens it (creating it and its folders when asked), checks that it is an index of the version
// these programs read, and wraps the connection and statements so that they close themselves.
//
// The schema (user_version 5) is Schema(), which README.md shows; both programs rely on exactly
// that.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace index_db {

// The schema version this code writes (PRAGMA user_version). An index of an older version
// from kOldestReadableVersion on is read as it is and brought up to date by its next writer.
constexpr int kSchemaVersion = 5;
constexpr int kOldestReadableVersion = 2;

// How long a reader waits for a lock (a recovery, a checkpoint) before it gives up, in
// milliseconds.
constexpr int kBusyTimeoutMs = 10000;
// How long a writer waits for another writer's transaction: one catalogue's listing, which
// may take minutes for millions of items.
constexpr int kWriterBusyTimeoutMs = 600000;

struct ConnectionCloser {
  void operator()(sqlite3* connection) const;
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const;
};

// An open index: the connection, closed when this goes.
struct IndexDb {
  std::unique_ptr<sqlite3, ConnectionCloser> connection;
  // Its schema version (PRAGMA user_version) once open: for a reader, kOldestReadableVersion
  // to kSchemaVersion; a writer's is brought up to kSchemaVersion.
  int version = 0;
  sqlite3* get() const { return connection.get(); }
};

// $XDG_DATA_HOME/catalogue-modules/index.sqlite when XDG_DATA_HOME is an absolute path, else
// $HOME/.local/share/catalogue-modules/index.sqlite; "" when neither HOME nor XDG_DATA_HOME
// is usable.
std::string DefaultIndexPath();

enum class Access {
  // SQLITE_OPEN_READONLY: never writes the file or its folder. Where the WAL's shared-memory
  // file cannot be made or written (another user's index, read-only media or a read-only
  // bind mount), the index is opened as immutable instead: the last checkpointed state,
  // without the locks that a file nobody may write needs none of.
  kRead,
  // Reads and writes an index that exists; an older version is brought up to date.
  kWrite,
  // As kWrite; a missing file is created (with its missing folders) and given the schema.
  kCreate,
};

// The SQL that gives a new index its tables, their comments and its version.
std::string_view Schema();

// The condition of a WHERE clause that picks the items of the catalogue whose id is the SQL
// expression `id` (a parameter: "?1"), in an index of `version`: from version 5 on through the
// range of ids that the catalogues table keeps for it (items.catalogue has no index of its own
// there), before through items.catalogue's index.
std::string CatalogueItems(int version, std::string_view id);

// Opens the index at `path`. A writer's connection uses WAL, enforces foreign keys and waits
// kWriterBusyTimeoutMs for another writer's lock; a reader waits kBusyTimeoutMs. A file that
// is not SQLite, holds no index tables, or is an index of another version is refused. False
// with `error` set (a sentence naming the file, shown safely) on any failure.
bool OpenIndex(const std::string& path, Access access, IndexDb* db, std::string* error);

// Runs SQL that returns no rows (several statements allowed). False with `error` set.
bool Execute(const IndexDb& db, const char* sql, std::string* error);

// The connection's last error as a sentence.
std::string LastError(const IndexDb& db);

// A prepared statement, kept and reused: bind, Step until it returns false, Reset.
class Statement {
 public:
  Statement() = default;
  // False with `error` set when the SQL does not compile.
  bool Prepare(const IndexDb& db, const char* sql, std::string* error);

  // Parameters are numbered from 1. Texts are copied by SQLite.
  void BindInt(int parameter, int64_t value);
  void BindText(int parameter, std::string_view text);

  // Steps once: true with a row to read, false when done; `*failed` set on an error (the
  // statement's error in LastError).
  bool Step(bool* failed);
  // Runs a statement that returns no row; false on an error.
  bool Run();
  // Ready for new parameters (the old bindings are cleared).
  void Reset();

  int64_t ColumnInt(int column) const;
  std::string_view ColumnText(int column) const;

  sqlite3_stmt* get() const { return statement_.get(); }

 private:
  std::unique_ptr<sqlite3_stmt, StatementFinalizer> statement_;
};

}  // namespace index_db
