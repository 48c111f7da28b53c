// catindex: builds and updates the index of every catalogue (an SQLite database) that catfind
// queries. Catalogues are listed through the hosts' driver exactly as cathost lists them; each
// one is replaced in a single transaction, so a run stopped at any moment leaves every
// catalogue in the index as it was before or as it is after.
#include <dirent.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "interface/host_interface.h"
#include "tools/common/display_text.h"
#include "tools/hosts/cathost/item_format.h"
#include "tools/hosts/loader/host_driver.h"
#include "tools/index/index_db.h"
#include "tools/index/trigram_counts.h"

#if __has_include("catalogue_version.h")
#include "catalogue_version.h"
#else
#define CATALOGUE_VERSION "unversioned"
#endif

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitSomethingSkipped = 1;
constexpr int kExitFatal = 2;

// Listings made again while their file keeps changing under them, before one is kept.
constexpr int kListingAttempts = 3;

constexpr const char* kUsage =
    "usage: catindex [--db FILE] [--no-prune] [-v] PATH...\n"
    "\n"
    "Adds each catalogue PATH, and every catalogue under each folder PATH (recursively), to\n"
    "the index that catfind searches. A catalogue whose size, modification time and inode are\n"
    "unchanged is not listed again; one that changed is replaced; catalogues gone from an\n"
    "indexed folder are dropped from the index.\n"
    "\n"
    "  --db FILE     the index (default $XDG_DATA_HOME/catalogue-modules/index.sqlite,\n"
    "                else ~/.local/share/catalogue-modules/index.sqlite)\n"
    "  --no-prune    keep catalogues that are gone from the folders indexed\n"
    "  -v, --verbose report the counts and the items per second at the end\n"
    "  -h, --help    show this help\n"
    "      --version show the version\n"
    "\n"
    "Exit status: 0 all indexed, 1 something skipped or damaged (warnings on standard error),\n"
    "2 usage or database error.\n";

// Set while a progress line stands on the terminal: a warning clears it first.
bool gProgressShown = false;

void Warn(const std::string& message) {
  if (gProgressShown) std::fputs("\r\033[K", stderr);
  std::fprintf(stderr, "catindex: %s\n", message.c_str());
}

struct Options {
  std::string dbPath;
  bool prune = true;
  bool verbose = false;
  std::vector<std::string> paths;
};

// -1 when the options are usable, else the exit status.
int ParseOptions(int argc, char** argv, Options* options) {
  bool dbGiven = false;
  bool optionsEnd = false;
  for (int at = 1; at < argc; ++at) {
    const std::string_view argument = argv[at];
    if (optionsEnd || argument.empty() || argument[0] != '-' || argument == "-") {
      options->paths.emplace_back(argument);
    } else if (argument == "--") {
      optionsEnd = true;
    } else if (argument == "--db") {
      if (++at == argc) {
        Warn("--db needs a FILE");
        return kExitFatal;
      }
      options->dbPath = argv[at];
      dbGiven = true;
    } else if (argument.substr(0, 5) == "--db=") {
      options->dbPath = argument.substr(5);
      dbGiven = true;
    } else if (argument == "--no-prune") {
      options->prune = false;
    } else if (argument == "--verbose" || argument == "-v") {
      options->verbose = true;
    } else if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return kExitSuccess;
    } else if (argument == "--version") {
      std::printf("catindex %s\n", CATALOGUE_VERSION);
      return kExitSuccess;
    } else {
      Warn(std::string("unknown option ").append(ShownName(argument)));
      std::fputs(kUsage, stderr);
      return kExitFatal;
    }
  }
  if (options->paths.empty()) {
    std::fputs(kUsage, stderr);
    return kExitFatal;
  }
  if (dbGiven && options->dbPath.empty()) {
    Warn("--db needs a FILE");
    return kExitFatal;
  }
  if (!dbGiven) options->dbPath = index_db::DefaultIndexPath();
  return -1;
}

int64_t MtimeNs(const struct stat& info) {
  return int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         MtimeNs(a) == MtimeNs(b) && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

struct Candidate {
  std::string path;  // absolute
  struct stat info {};
};

// What the walk found: the catalogue candidates, and the folders whose contents are not
// fully known (unreadable), under which nothing is pruned.
struct Walk {
  std::vector<Candidate> files;
  std::vector<std::string> unreadableFolders;
  uint64_t problems = 0;
};

// Every regular file under `folder`, in name order. Symbolic links to files are followed,
// links to folders are not (a link back up would never end).
void WalkFolder(const std::string& folder, Walk* walk) {
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) {
    Warn(ShownName(folder).append(": cannot read the folder: ").append(std::strerror(errno)));
    walk->unreadableFolders.push_back(folder);
    ++walk->problems;
    return;
  }
  std::vector<std::string> names;
  while (const dirent* entry = readdir(directory)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  closedir(directory);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string path = folder == "/" ? std::string("/").append(name)
                                     : std::string(folder).append("/").append(name);
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) continue;  // gone meanwhile
    if (S_ISDIR(info.st_mode)) {
      WalkFolder(path, walk);
      continue;
    }
    if (S_ISLNK(info.st_mode) && (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))) {
      continue;
    }
    if (S_ISREG(info.st_mode)) walk->files.push_back({std::move(path), info});
  }
}

// The statements of a run, prepared once and reused for every catalogue and item.
struct Statements {
  index_db::Statement findCatalogue;
  index_db::Statement insertCatalogue;
  index_db::Statement updateCatalogue;
  index_db::Statement deletePaths;
  index_db::Statement deleteItems;
  index_db::Statement deleteCatalogue;
  index_db::Statement insertItem;
  index_db::Statement insertPaths;
  index_db::Statement cataloguesUnder;

  bool Prepare(const index_db::IndexDb& db, std::string* error) {
    return findCatalogue.Prepare(db,
                                 "SELECT id, device, inode, size, mtime_ns FROM catalogues "
                                 "WHERE path = ?1",
                                 error) &&
           insertCatalogue.Prepare(db,
                                   "INSERT INTO catalogues (path, device, inode, size, mtime_ns, "
                                   "format, status, item_count, listed_at) "
                                   "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
                                   error) &&
           updateCatalogue.Prepare(db,
                                   "UPDATE catalogues SET device = ?2, inode = ?3, size = ?4, "
                                   "mtime_ns = ?5, format = ?6, status = ?7, item_count = ?8, "
                                   "listed_at = ?9 WHERE id = ?1",
                                   error) &&
           deletePaths.Prepare(db,
                               "INSERT INTO item_paths (item_paths, rowid, path) "
                               "SELECT 'delete', id, path FROM items WHERE catalogue = ?1",
                               error) &&
           deleteItems.Prepare(db, "DELETE FROM items WHERE catalogue = ?1", error) &&
           deleteCatalogue.Prepare(db, "DELETE FROM catalogues WHERE id = ?1", error) &&
           insertItem.Prepare(db,
                              "INSERT INTO items (catalogue, path, name, size, creation_time, "
                              "access_time, write_time, attributes, description, damaged) "
                              "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)",
                              error) &&
           insertPaths.Prepare(db,
                               "INSERT INTO item_paths (rowid, path) "
                               "SELECT id, path FROM items WHERE catalogue = ?1",
                               error) &&
           cataloguesUnder.Prepare(db,
                                   "SELECT id, path FROM catalogues "
                                   "WHERE path >= ?1 AND path < ?2 ORDER BY path",
                                   error);
  }
};

// A database failure ends the run (exit 2): the index stays as its last commit left it.
struct DatabaseFailure {
  std::string message;
};

int64_t FileTimeTicks(const FileTime& time) {
  return static_cast<int64_t>(FileTimeValue(time));
}

// The driver's visitor: each delivered item goes into the open transaction as cathost prints
// it; the status says where and why the listing stopped, in catmount's words.
class ItemWriter {
 public:
  // `progress` (may be null) is told the items written so far, every kProgressItems items.
  using Progress = std::function<void(uint64_t items)>;
  static constexpr uint64_t kProgressItems = 16384;

  ItemWriter(const index_db::IndexDb& db, Statements& statements, int64_t catalogueId,
             Progress progress)
      : db_(db),
        statements_(statements),
        catalogueId_(catalogueId),
        progress_(std::move(progress)) {}

  void Opened() {}

  void Prepare(ItemRecord& item, ItemDetails& details) {
    std::memset(&item, 0, sizeof item);
    std::memset(&details, 0, sizeof details);
  }

  bool Take(const ItemRecord& item, const ItemDetails& details, int result, uint64_t itemNumber) {
    char* pathEnd = WriteCp437AsUtf8(path_, item.cFileName, kFileNameSize);
    const size_t pathLength = static_cast<size_t>(pathEnd - path_);
    const std::string_view path(path_, pathLength);
    const size_t slash = path.rfind('\\');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    char* descriptionEnd = WriteCp437AsUtf8(description_, details.description, kDescriptionSize);

    sqlite3_stmt* insert = statements_.insertItem.get();
    sqlite3_bind_int64(insert, 1, catalogueId_);
    sqlite3_bind_text(insert, 2, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
    sqlite3_bind_text(insert, 3, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    sqlite3_bind_int64(
        insert, 4, static_cast<int64_t>((uint64_t{item.nFileSizeHigh} << 32) | item.nFileSizeLow));
    sqlite3_bind_int64(insert, 5, FileTimeTicks(item.ftCreationTime));
    sqlite3_bind_int64(insert, 6, FileTimeTicks(item.ftLastAccessTime));
    sqlite3_bind_int64(insert, 7, FileTimeTicks(item.ftLastWriteTime));
    sqlite3_bind_int64(insert, 8, item.dwFileAttributes);
    sqlite3_bind_text(insert, 9, description_, static_cast<int>(descriptionEnd - description_),
                      SQLITE_STATIC);
    sqlite3_bind_int(insert, 10, result == StatusDamaged ? 1 : 0);
    if (sqlite3_step(insert) != SQLITE_DONE) return Failed();
    sqlite3_reset(insert);

    if (++items_ % kProgressItems == 0 && progress_) progress_(items_);
    if (result == StatusDamaged && damagedItems_++ == 0) firstDamaged_ = itemNumber;
    return true;
  }

  void Problem(int result, uint64_t itemNumber, bool delivered, bool goingOn) {
    if (goingOn) return;  // a damaged item that was delivered: counted by Take
    status_ = std::string("stopped at item ")
                  .append(std::to_string(itemNumber))
                  .append(": ")
                  .append(driver::ResultInWords(result, delivered));
  }

  std::string Status() const {
    std::string status = status_;
    if (damagedItems_ > 0) {
      status.append("; ")
          .append(std::to_string(damagedItems_))
          .append(damagedItems_ == 1 ? " item" : " items")
          .append(" damaged (result 2), the first item ")
          .append(std::to_string(firstDamaged_));
    }
    return status;
  }

  uint64_t Items() const { return items_; }
  const std::string& DatabaseError() const { return databaseError_; }

 private:
  bool Failed() {
    databaseError_ = index_db::LastError(db_);
    sqlite3_reset(statements_.insertItem.get());
    return false;
  }

  const index_db::IndexDb& db_;
  Statements& statements_;
  int64_t catalogueId_;
  Progress progress_;
  uint64_t items_ = 0;
  uint64_t damagedItems_ = 0;
  uint64_t firstDamaged_ = 0;
  std::string status_ = "complete";
  std::string databaseError_;
  // The decoded texts: at most 3 UTF-8 bytes per byte, and room for 3 past the last.
  char path_[kFileNameSize * 3 + 3];
  char description_[kDescriptionSize * 3 + 3];
};

struct Totals {
  uint64_t catalogues = 0;  // candidates seen
  uint64_t done = 0;
  uint64_t listed = 0;
  uint64_t unchanged = 0;
  uint64_t notAccepted = 0;
  uint64_t failed = 0;  // damaged, unreadable, refused by OpenArchive
  uint64_t pruned = 0;
  uint64_t dropped = 0;  // removed from the index: pruned, or no longer a catalogue
  uint64_t items = 0;
};

class Indexer {
 public:
  Indexer(const index_db::IndexDb& db, Statements& statements,
          const std::vector<FormatModule>& modules)
      : db_(db), statements_(statements), modules_(modules) {
    progress_ = isatty(STDERR_FILENO) == 1;
    start_ = std::chrono::steady_clock::now();
  }

  Totals& totals() { return totals_; }

  // Indexes one file; `named` when the user gave it (a file no module accepts is then
  // reported by name, not only counted).
  void IndexFile(const Candidate& candidate, bool named) {
    ++totals_.done;
    Existing existing = Find(candidate.path);
    if (existing.found && existing.device == static_cast<int64_t>(candidate.info.st_dev) &&
        existing.inode == static_cast<int64_t>(candidate.info.st_ino) &&
        existing.size == candidate.info.st_size && existing.mtimeNs == MtimeNs(candidate.info)) {
      ++totals_.unchanged;
      ShowProgress(false);
      return;
    }
    for (int attempt = 1;; ++attempt) {
      struct stat before {};
      if (stat(candidate.path.c_str(), &before) != 0) {
        Warn(ShownName(candidate.path).append(": ").append(std::strerror(errno)));
        ++totals_.failed;
        return;
      }
      driver::Probe probe = driver::ProbeCatalogue(modules_, candidate.path);
      // A file that cannot be read now may still be the catalogue the index holds: it stays.
      if (probe.status == kExitCannotRead || probe.status == kExitNoSuchFile) {
        Warn(ShownName(candidate.path).append(": ").append(probe.reason));
        ++totals_.failed;
        return;
      }
      if (probe.module == nullptr) {
        ++totals_.notAccepted;
        if (named) Warn(ShownName(candidate.path).append(": ").append(probe.reason));
        // A file that was a catalogue and is no longer one leaves the index.
        if (existing.found) Drop(existing.id);
        return;
      }
      bool settled = false;
      ListInto(candidate.path, *probe.module, before, existing, attempt == kListingAttempts,
               &settled);
      if (settled) break;
      existing = Find(candidate.path);
    }
    ShowProgress(false);
  }

  // Drops the catalogues under `folder` (absolute) that `seen` does not hold, except those
  // under a folder that could not be read.
  void Prune(const std::string& folder, const std::set<std::string>& seen,
             const std::vector<std::string>& unreadable) {
    std::string low = folder == "/" ? "/" : std::string(folder).append("/");
    std::string high = low;
    high.back() = '/' + 1;
    std::vector<std::pair<int64_t, std::string>> gone;
    index_db::Statement& under = statements_.cataloguesUnder;
    under.BindText(1, low);
    under.BindText(2, high);
    bool failed = false;
    while (under.Step(&failed)) {
      std::string path(under.ColumnText(1));
      if (seen.count(path) != 0) continue;
      const bool keep = std::any_of(unreadable.begin(), unreadable.end(), [&](const auto& skip) {
        return path.compare(0, skip.size() + 1, std::string(skip).append("/")) == 0;
      });
      if (!keep) gone.emplace_back(under.ColumnInt(0), std::move(path));
    }
    under.Reset();
    if (failed) throw DatabaseFailure{index_db::LastError(db_)};
    for (const auto& [id, path] : gone) {
      Drop(id);
      ++totals_.pruned;
    }
  }

  void DropPath(const std::string& path) {
    Existing existing = Find(path);
    if (existing.found) {
      Drop(existing.id);
      ++totals_.pruned;
    }
  }

  void EndProgress() {
    if (gProgressShown) std::fputs("\r\033[K", stderr);
    gProgressShown = false;
  }

  double Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  struct Existing {
    bool found = false;
    int64_t id = 0;
    int64_t device = 0;
    int64_t inode = 0;
    int64_t size = 0;
    int64_t mtimeNs = 0;
  };

  Existing Find(const std::string& path) {
    Existing existing;
    index_db::Statement& find = statements_.findCatalogue;
    find.BindText(1, path);
    bool failed = false;
    if (find.Step(&failed)) {
      existing.found = true;
      existing.id = find.ColumnInt(0);
      existing.device = find.ColumnInt(1);
      existing.inode = find.ColumnInt(2);
      existing.size = find.ColumnInt(3);
      existing.mtimeNs = find.ColumnInt(4);
    }
    find.Reset();
    if (failed) throw DatabaseFailure{index_db::LastError(db_)};
    return existing;
  }

  void Execute(const char* sql) {
    std::string error;
    if (!index_db::Execute(db_, sql, &error)) throw DatabaseFailure{error};
  }

  void Run(index_db::Statement& statement) {
    if (!statement.Run()) {
      std::string error = index_db::LastError(db_);
      statement.Reset();
      throw DatabaseFailure{error};
    }
    statement.Reset();
  }

  // Removes a catalogue's items: the full-text rows first (they are found through the items'
  // paths), then the items themselves.
  void DeleteItems(int64_t id) {
    statements_.deletePaths.BindInt(1, id);
    Run(statements_.deletePaths);
    statements_.deleteItems.BindInt(1, id);
    Run(statements_.deleteItems);
  }

  void Drop(int64_t id) {
    Execute("BEGIN IMMEDIATE");
    try {
      DeleteItems(id);
      statements_.deleteCatalogue.BindInt(1, id);
      Run(statements_.deleteCatalogue);
      Execute("COMMIT");
      ++totals_.dropped;
    } catch (const DatabaseFailure&) {
      std::string ignored;
      index_db::Execute(db_, "ROLLBACK", &ignored);
      throw;
    }
  }

  void BindCatalogue(index_db::Statement& statement, const struct stat& info,
                     const std::string& format, const std::string& status, uint64_t items) {
    statement.BindInt(2, static_cast<int64_t>(info.st_dev));
    statement.BindInt(3, static_cast<int64_t>(info.st_ino));
    statement.BindInt(4, info.st_size);
    statement.BindInt(5, MtimeNs(info));
    statement.BindText(6, format);
    statement.BindText(7, status);
    statement.BindInt(8, static_cast<int64_t>(items));
    statement.BindInt(9, static_cast<int64_t>(std::time(nullptr)));
  }

  // Lists the catalogue into one transaction that replaces what the index held for it.
  // `settled` tells whether the file stayed the same while it was listed; when it did not
  // (and `keepUnsettled` is false) the transaction is rolled back for another attempt.
  void ListInto(const std::string& path, const FormatModule& module, const struct stat& before,
                const Existing& existing, bool keepUnsettled, bool* settled) {
    const std::string format = driver::FormatName(module);
    Execute("BEGIN IMMEDIATE");
    try {
      int64_t id = existing.id;
      if (existing.found) {
        DeleteItems(id);
      } else {
        // The row is made first for its id; its count and status are set when the listing ends.
        statements_.insertCatalogue.BindText(1, path);
        BindCatalogue(statements_.insertCatalogue, before, format, "listing", 0);
        Run(statements_.insertCatalogue);
        id = sqlite3_last_insert_rowid(db_.get());
      }
      ItemWriter::Progress progress;
      if (progress_) {
        progress = [this](uint64_t items) {
          listingItems_ = items;
          ShowProgress(false);
        };
      }
      ItemWriter writer(db_, statements_, id, std::move(progress));
      const driver::ListingEnd end = driver::ListCatalogue(module, path, true, writer);
      listingItems_ = 0;
      if (!writer.DatabaseError().empty()) throw DatabaseFailure{writer.DatabaseError()};
      struct stat after {};
      *settled = stat(path.c_str(), &after) == 0 && SameFile(before, after);
      if (!*settled && !keepUnsettled) {
        Execute("ROLLBACK");
        return;
      }
      // The full-text rows in one statement: SQLite's own loop over the rows just written costs
      // less than a statement step per item.
      statements_.insertPaths.BindInt(1, id);
      Run(statements_.insertPaths);
      std::string status = end.opened ? writer.Status() : "not listed: OpenArchive failed";
      if (!*settled) status.append("; the file changed while it was listed");
      statements_.updateCatalogue.BindInt(1, id);
      // The identity before the listing: a file that changed meanwhile differs from it, so
      // the next run lists it again.
      BindCatalogue(statements_.updateCatalogue, before, format, status, writer.Items());
      Run(statements_.updateCatalogue);
      Execute("COMMIT");
      *settled = true;
      ++totals_.listed;
      totals_.items += writer.Items();
      if (status != "complete") {
        ++totals_.failed;
        Warn(ShownName(path).append(": ").append(status));
      }
    } catch (const DatabaseFailure&) {
      std::string ignored;
      index_db::Execute(db_, "ROLLBACK", &ignored);
      throw;
    }
  }

  void ShowProgress(bool force) {
    if (!progress_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastShown_ < std::chrono::milliseconds(200)) return;
    lastShown_ = now;
    gProgressShown = true;
    const double seconds = Seconds();
    const uint64_t items = totals_.items + listingItems_;
    std::fprintf(stderr, "\rcatindex: catalogue %llu of %llu, %llu items, %.0f items/s\033[K",
                 static_cast<unsigned long long>(totals_.done),
                 static_cast<unsigned long long>(totals_.catalogues),
                 static_cast<unsigned long long>(items),
                 seconds > 0 ? static_cast<double>(items) / seconds : 0.0);
  }

  const index_db::IndexDb& db_;
  Statements& statements_;
  const std::vector<FormatModule>& modules_;
  Totals totals_;
  bool progress_ = false;
  uint64_t listingItems_ = 0;  // items of the catalogue being listed, not yet committed
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastShown_;
};

// `path` made absolute (symbolic links resolved), or "" with a warning.
std::string Absolute(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return "";
  std::string absolute = resolved;
  std::free(resolved);
  return absolute;
}

// The absolute form of a path that no longer exists: its folder resolved, its name kept.
std::string AbsoluteOfMissing(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string absoluteFolder = Absolute(folder);
  if (absoluteFolder.empty() || name.empty() || name == "." || name == "..") return "";
  return absoluteFolder == "/" ? std::string("/").append(name)
                               : std::string(absoluteFolder).append("/").append(name);
}

void ReportModule(const std::string& message) {
  Warn(message);
}

int Run(const Options& options) {
  std::vector<FormatModule> modules;
  std::string error;
  if (!driver::LoadModules({}, driver::ModuleSource{}, ReportModule, &modules, &error)) {
    Warn(error);
    driver::UnloadModules(&modules, ReportModule);
    return kExitFatal;
  }
  int status = kExitSuccess;
  {
    index_db::IndexDb db;
    Statements statements;
    if (!index_db::OpenIndex(options.dbPath, true, &db, &error) ||
        !statements.Prepare(db, &error)) {
      Warn(error);
      driver::UnloadModules(&modules, ReportModule);
      return kExitFatal;
    }
    Indexer indexer(db, statements, modules);
    // The index's own files, when they lie in a folder being indexed, are not catalogues.
    std::set<std::string> indexFiles;
    if (const std::string database = Absolute(options.dbPath); !database.empty()) {
      for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        indexFiles.insert(std::string(database).append(suffix));
      }
    }
    uint64_t walkProblems = 0;
    try {
      // Every path is resolved and walked first, so that the progress line knows the total.
      struct Root {
        std::string path;
        bool folder = false;
        Walk walk;
      };
      std::vector<Root> roots;
      for (const std::string& given : options.paths) {
        Root root;
        root.path = Absolute(given);
        struct stat info {};
        if (root.path.empty() || stat(root.path.c_str(), &info) != 0) {
          Warn(ShownName(given).append(": ").append(std::strerror(errno)));
          ++walkProblems;
          // A catalogue file given by name that is gone leaves the index.
          if (options.prune && errno == ENOENT) {
            const std::string missing = AbsoluteOfMissing(given);
            if (!missing.empty()) indexer.DropPath(missing);
          }
          continue;
        }
        if (S_ISDIR(info.st_mode)) {
          root.folder = true;
          WalkFolder(root.path, &root.walk);
        } else if (S_ISREG(info.st_mode)) {
          root.walk.files.push_back({root.path, info});
        } else {
          Warn(ShownName(given).append(": not a regular file or folder"));
          ++walkProblems;
          continue;
        }
        std::erase_if(root.walk.files,
                      [&](const Candidate& file) { return indexFiles.count(file.path) != 0; });
        walkProblems += root.walk.problems;
        indexer.totals().catalogues += root.walk.files.size();
        roots.push_back(std::move(root));
      }
      for (const Root& root : roots) {
        std::set<std::string> seen;
        for (const Candidate& candidate : root.walk.files) {
          indexer.IndexFile(candidate, !root.folder);
          seen.insert(candidate.path);
        }
        if (root.folder && options.prune) {
          indexer.Prune(root.path, seen, root.walk.unreadableFolders);
        }
      }
    } catch (const DatabaseFailure& failure) {
      indexer.EndProgress();
      Warn(ShownName(options.dbPath).append(": ").append(failure.message));
      status = kExitFatal;
    }
    // The statistics catfind chooses its trigrams by follow what this run changed.
    if (status != kExitFatal && (indexer.totals().listed > 0 || indexer.totals().dropped > 0)) {
      std::string error;
      if (!trigram_counts::Recount(db, &error)) {
        indexer.EndProgress();
        Warn(ShownName(options.dbPath).append(": cannot count the trigrams: ").append(error));
        status = kExitFatal;
      }
    }
    if (status != kExitFatal) {
      indexer.EndProgress();
      const Totals& totals = indexer.totals();
      if (totals.notAccepted > 0) {
        Warn(std::to_string(totals.notAccepted)
                 .append(totals.notAccepted == 1 ? " file" : " files")
                 .append(" skipped: no module accepts it"));
      }
      if (totals.notAccepted > 0 || totals.failed > 0 || walkProblems > 0) {
        status = kExitSomethingSkipped;
      }
      if (options.verbose) {
        const double seconds = indexer.Seconds();
        std::fprintf(stderr,
                     "catindex: %llu listed, %llu unchanged, %llu pruned, %llu items in %.3f s "
                     "(%.0f items/s)\n",
                     static_cast<unsigned long long>(totals.listed),
                     static_cast<unsigned long long>(totals.unchanged),
                     static_cast<unsigned long long>(totals.pruned),
                     static_cast<unsigned long long>(totals.items), seconds,
                     seconds > 0 ? static_cast<double>(totals.items) / seconds : 0.0);
      }
    }
  }
  driver::UnloadModules(&modules, ReportModule);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // SQLite's memory statistics take a global lock on every allocation it makes, several per
  // inserted row; nothing here reads them.
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  Options options;
  const int parsed = ParseOptions(argc, argv, &options);
  if (parsed >= 0) return parsed;
  return Run(options);
}
