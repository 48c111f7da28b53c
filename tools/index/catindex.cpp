// catindex: builds and updates the index of every catalogue (an SQLite database) that catfind
// queries. Catalogues are listed through the hosts' driver exactly as cathost lists them; each
// one is replaced in a single transaction, so a run stopped at any moment leaves every
// catalogue in the index as it was before or as it is after.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue_version.h"
#include "modules/interface/host_interface.h"
#include "tools/common/display_text.h"
#include "tools/common/file_identity.h"
#include "tools/common/folder_walk.h"
#include "tools/common/item_format.h"
#include "tools/common/option_parser.h"
#include "tools/hosts/driver/catalogue_source.h"
#include "tools/hosts/driver/host_driver.h"
#include "tools/hosts/driver/settled_listing.h"
#include "tools/index/index_db.h"
#include "tools/index/trigram_counts.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitSomethingSkipped = 1;
constexpr int kExitFatal = 2;

// A listing past this many items stops, keeping what it listed, as catmount's does: a small
// hostile file can deliver billions of items.
constexpr uint64_t kDefaultMaxItems = 10'000'000;
// A catalogue file larger than this is not listed: a module holds the whole file in memory
// while it lists it. MUR takes about 120 bytes an item with 30-character names: some nine
// million items, far more than any disk of the time held.
constexpr uint64_t kDefaultMaxFileMiB = 1024;

constexpr const char* kUsage =
    "usage: catindex [--db FILE] [--no-prune] [--max-items N] [--max-file-mib N] [-v] [PATH...]\n"
    "       catindex [--db FILE] --list\n"
    "       catindex [--db FILE] [-v] --remove PATH...\n"
    "\n"
    "Adds each catalogue PATH, and every catalogue under each folder PATH (recursively), to\n"
    "the index that catfind searches, and records each PATH as a root; without PATH, every\n"
    "root recorded is indexed again. A catalogue whose device, inode, size, modification and\n"
    "status change times are unchanged is not listed again; one that changed is replaced;\n"
    "catalogues gone from an indexed folder are dropped from the index. A root whose disk is\n"
    "not mounted is kept; one gone from a disk that is there is dropped. A problem that the\n"
    "last run reported is not repeated: a run with nothing new to report prints nothing.\n"
    "\n"
    "  --db FILE          the index (default $XDG_DATA_HOME/catalogue-modules/index.sqlite,\n"
    "                     else ~/.local/share/catalogue-modules/index.sqlite)\n"
    "  --list             show each root and catalogue indexed, its status and item count\n"
    "  --remove           drop each PATH from the roots, with every catalogue at or under it\n"
    "  --no-prune         keep catalogues that are gone from the folders indexed\n"
    "  --max-items N      stop a catalogue's listing after N items (default 10000000)\n"
    "  --max-file-mib N   pass over catalogue files larger than N MiB (default 1024)\n"
    "  -v, --verbose      name the files that are no catalogue, repeat the problems the last\n"
    "                     run reported, and report the counts and items per second at the end\n"
    "  -h, --help         show this help\n"
    "      --version      show the version\n"
    "\n"
    "Exit status: 0 all indexed, or nothing new to report; 1 a new problem (a catalogue\n"
    "damaged or unreadable, a PATH missing or no catalogue; warnings on standard error);\n"
    "2 usage or database error.\n";

// Set while a progress line stands on the terminal: a warning clears it first.
bool gProgressShown = false;

void Warn(const std::string& message) {
  if (gProgressShown) std::fputs("\r\033[K", stderr);
  std::fprintf(stderr, "catindex: %s\n", message.c_str());
}

// What a run reports of each root. A warning that the root's last run reported too is not
// repeated (unless -v) and does not make the exit status 1: a nightly run stays quiet until
// something changes, and --list shows what stands.
struct Problems {
  bool verbose = false;
  std::string root;                                     // the root being walked or indexed
  std::map<std::string, std::set<std::string>> before;  // each root's problems, last run
  std::map<std::string, std::vector<std::string>> now;  // and this run
  uint64_t reported = 0;                                // new problems reported
};
Problems gProblems;

enum class Severity {
  kProblem,     // reported when new; a new one makes the exit status 1
  kNewProblem,  // found by a listing, so of a file that changed: always new
  kNotice,      // reported when new; the exit status stays 0 (a disk not mounted)
};

void Problem(const std::string& message, Severity severity = Severity::kProblem) {
  std::vector<std::string>& now = gProblems.now[gProblems.root];
  if (std::find(now.begin(), now.end(), message) == now.end()) now.push_back(message);
  const auto before = gProblems.before.find(gProblems.root);
  const bool repeated = severity != Severity::kNewProblem && before != gProblems.before.end() &&
                        before->second.count(message) != 0;
  if (repeated && !gProblems.verbose) return;
  Warn(message);
  if (!repeated && severity != Severity::kNotice) ++gProblems.reported;
}

struct Options {
  std::string dbPath;
  bool prune = true;
  bool verbose = false;
  bool list = false;
  bool remove = false;
  uint64_t maxItems = kDefaultMaxItems;
  uint64_t maxFileBytes = kDefaultMaxFileMiB << 20;
  std::vector<std::string> paths;
};

// A positive decimal number up to `maximum`.
bool ParseCount(std::string_view text, uint64_t maximum, uint64_t* value) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != text.npos) {
    return false;
  }
  const uint64_t number = std::strtoull(std::string(text).c_str(), nullptr, 10);
  if (number == 0 || number > maximum) return false;
  *value = number;
  return true;
}

constexpr cli::Program kProgram{"catindex", kExitFatal, kExitFatal};

enum OptionId { kDb, kNoPrune, kMaxItems, kMaxFileMib, kVerbose, kList, kRemove, kHelp, kVersion };

constexpr cli::Option kOptions[] = {
    {kDb, 0, "db", "a FILE", true},
    {kNoPrune, 0, "no-prune"},
    {kMaxItems, 0, "max-items", "a number from 1 to 4294967295"},
    {kMaxFileMib, 0, "max-file-mib", "a number of MiB from 1 to 4096"},
    {kVerbose, 'v', "verbose"},
    {kList, 0, "list"},
    {kRemove, 0, "remove"},
    {kHelp, 'h', "help"},
    {kVersion, 0, "version"},
};

// -1 when the options are usable, else the exit status.
int ParseOptions(int argc, char** argv, Options* options) {
  cli::OptionParser parser(argc, argv, kOptions);
  for (cli::Item item; parser.Next(&item);) {
    uint64_t mib = 0;
    switch (item.id) {
      case cli::kError:
        return cli::UsageError(kProgram, item.error);
      case cli::kOperand:
        options->paths.emplace_back(item.value);
        break;
      case kDb:
        options->dbPath = item.value;
        break;
      case kMaxItems:
        if (!ParseCount(item.value, UINT32_MAX, &options->maxItems)) {
          return cli::UsageError(kProgram, "--max-items needs a number from 1 to 4294967295");
        }
        break;
      case kMaxFileMib:
        if (!ParseCount(item.value, 4096, &mib)) {
          return cli::UsageError(kProgram, "--max-file-mib needs a number of MiB from 1 to 4096");
        }
        options->maxFileBytes = mib << 20;
        break;
      case kNoPrune:
        options->prune = false;
        break;
      case kVerbose:
        options->verbose = true;
        break;
      case kList:
        options->list = true;
        break;
      case kRemove:
        options->remove = true;
        break;
      case kHelp:
        return cli::PrintInfo(kProgram, kUsage);
      case kVersion:
        return cli::PrintInfo(kProgram, cli::VersionText("catindex", CATALOGUE_VERSION));
    }
  }
  if (options->list && (options->remove || !options->paths.empty())) {
    return cli::UsageError(kProgram, "--list takes no PATH and no --remove");
  }
  if (options->remove && options->paths.empty()) {
    return cli::UsageError(kProgram, "--remove needs a PATH");
  }
  if (options->dbPath.empty()) options->dbPath = index_db::DefaultIndexPath();
  return -1;
}

struct Candidate {
  std::string path;  // absolute, symbolic links resolved
  struct stat info {};
};

// What the walk found: the catalogue candidates, and the paths whose contents are not known
// (folders that cannot be read, entries that cannot be looked at), under which nothing is
// pruned.
struct Walk {
  std::vector<Candidate> files;
  std::vector<std::string> unknown;
};

// Names `path` as unknown: `what` (": cannot ...: ") and `reason` say why.
void Unknown(Walk* walk, const std::string& path, const char* what, const std::string& reason) {
  Problem(ShownName(path).append(what).append(reason));
  walk->unknown.push_back(path);
}

// `path` with every symbolic link resolved, or "" (errno set).
std::string Resolved(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return "";
  std::string absolute = resolved;
  std::free(resolved);
  return absolute;
}

// Every regular file under a folder, in name order, each subfolder walked at its place among
// them. Symbolic links to files are followed and the file is known by its own path; links to
// folders are not (a link back up would never end). The modules open a catalogue by its
// path, so an entry whose path is PATH_MAX long or longer cannot be looked at.
class FolderScan : public folder_walk::Visitor {
 public:
  explicit FolderScan(Walk* walk) : walk_(walk) {}

 private:
  struct Frame {
    std::string path;
    std::vector<std::string> names;
    size_t next = 0;
  };

  int Entered(folder_walk::Walker& walker, int, std::vector<std::string> names) override {
    frames_.push_back({walker.Path(), std::move(names)});
    return 0;
  }

  std::optional<folder_walk::Subfolder> Next(folder_walk::Walker& walker) override {
    Frame& top = frames_.back();
    if (top.next == top.names.size()) return std::nullopt;
    std::string reason;
    const int fd = walker.Folder(&reason);
    if (fd < 0) {
      // Moved while a subfolder was walked: the rest of it is not known.
      Unknown(walk_, top.path, ": cannot read the folder: ", reason);
      return std::nullopt;
    }
    while (top.next < top.names.size()) {
      const std::string& name = top.names[top.next++];
      std::string path = top.path;
      folder_walk::AppendToPath(path, name);
      struct stat info {};
      const bool tooLong = path.size() >= PATH_MAX;
      if (tooLong || fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = tooLong ? ENAMETOOLONG : errno;
        // Gone meanwhile is no news; anything else (a folder that can be listed but not
        // searched, a path too long) leaves the entry unknown, not gone.
        if (error == EACCES) {
          Unknown(walk_, top.path, ": cannot search the folder: ", std::strerror(error));
          return std::nullopt;
        }
        if (error != ENOENT) Unknown(walk_, path, ": cannot look at it: ", std::strerror(error));
        continue;
      }
      if (S_ISDIR(info.st_mode)) return folder_walk::Subfolder{name, folder_walk::IdentityOf(info)};
      if (S_ISLNK(info.st_mode)) {
        // A link that leads nowhere (or round in a loop) is no catalogue.
        if (fstatat(fd, name.c_str(), &info, 0) != 0) {
          if (errno != ENOENT && errno != ELOOP) {
            Unknown(walk_, path, ": cannot follow the link: ", std::strerror(errno));
          }
          continue;
        }
        if (!S_ISREG(info.st_mode)) continue;
        path = Resolved(path);
        if (path.empty()) continue;
      }
      if (S_ISREG(info.st_mode)) walk_->files.push_back({std::move(path), info});
    }
    return std::nullopt;
  }

  void NotEntered(folder_walk::Walker& walker, const folder_walk::Subfolder& subfolder,
                  const std::string& reason) override {
    Unknown(walk_, walker.PathOf(subfolder.name), ": cannot read the folder: ", reason);
  }

  void Left(folder_walk::Walker&) override { frames_.pop_back(); }

  Walk* walk_;
  std::vector<Frame> frames_;
};

void WalkFolder(const std::string& folder, Walk* walk) {
  FolderScan scan(walk);
  folder_walk::Walker walker;
  if (const int error = walker.Walk(folder, scan)) {
    Unknown(walk, folder, ": cannot read the folder: ", std::strerror(error));
  }
}

// A catalogue's items (?1 its id, ?2 and ?3 its first and last item's): the range finds them,
// the catalogue's id makes sure of them.
#define WHERE_AN_ITEM_OF_THE_CATALOGUE "WHERE id BETWEEN ?2 AND ?3 AND catalogue = ?1"

// The statements of a run, prepared once and reused for every catalogue and item.
struct Statements {
  index_db::Statement findCatalogue;
  index_db::Statement sameFile;
  index_db::Statement insertCatalogue;
  index_db::Statement updateCatalogue;
  index_db::Statement deletePaths;
  index_db::Statement deleteDescriptions;
  index_db::Statement deleteItems;
  index_db::Statement deleteCatalogue;
  index_db::Statement insertItem;
  index_db::Statement insertPaths;
  index_db::Statement insertDescriptions;
  index_db::Statement cataloguesUnder;

  bool Prepare(const index_db::IndexDb& db, std::string* error) {
    return findCatalogue.Prepare(db,
                                 "SELECT id, device, inode, size, mtime_ns, ctime_ns, "
                                 "first_item, last_item FROM catalogues WHERE path = ?1",
                                 error) &&
           sameFile.Prepare(db,
                            "SELECT path FROM catalogues WHERE device = ?1 AND inode = ?2 "
                            "AND path <> ?3",
                            error) &&
           insertCatalogue.Prepare(db,
                                   "INSERT INTO catalogues (path, device, inode, size, mtime_ns, "
                                   "format, status, item_count, listed_at, ctime_ns) "
                                   "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)",
                                   error) &&
           updateCatalogue.Prepare(db,
                                   "UPDATE catalogues SET device = ?2, inode = ?3, size = ?4, "
                                   "mtime_ns = ?5, format = ?6, status = ?7, item_count = ?8, "
                                   "listed_at = ?9, ctime_ns = ?10, first_item = ?11, "
                                   "last_item = ?12 WHERE id = ?1",
                                   error) &&
           deletePaths.Prepare(
               db,
               "INSERT INTO item_paths (item_paths, rowid, path) "
               "SELECT 'delete', id, path FROM items " WHERE_AN_ITEM_OF_THE_CATALOGUE,
               error) &&
           deleteDescriptions.Prepare(
               db,
               "INSERT INTO item_descriptions (item_descriptions, rowid, description) "
               "SELECT 'delete', id, description FROM items " WHERE_AN_ITEM_OF_THE_CATALOGUE
               " AND description <> ''",
               error) &&
           deleteItems.Prepare(db, "DELETE FROM items " WHERE_AN_ITEM_OF_THE_CATALOGUE, error) &&
           deleteCatalogue.Prepare(db, "DELETE FROM catalogues WHERE id = ?1", error) &&
           insertItem.Prepare(db,
                              "INSERT INTO items (catalogue, path, size, creation_time, "
                              "access_time, write_time, attributes, description, damaged) "
                              "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
                              error) &&
           insertPaths.Prepare(db,
                               "INSERT INTO item_paths (rowid, path) "
                               "SELECT id, path FROM items " WHERE_AN_ITEM_OF_THE_CATALOGUE,
                               error) &&
           insertDescriptions.Prepare(
               db,
               "INSERT INTO item_descriptions (rowid, description) "
               "SELECT id, description FROM items " WHERE_AN_ITEM_OF_THE_CATALOGUE
               " AND description <> ''",
               error) &&
           cataloguesUnder.Prepare(db,
                                   "SELECT path FROM catalogues "
                                   "WHERE path = ?1 OR (path >= ?2 AND path < ?3) ORDER BY path",
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
// it; the catalogue's status is the listing's report.
class ItemWriter : public driver::ListingReport {
 public:
  // `progress` (may be null) is told the items written so far, every kProgressItems items.
  using Progress = std::function<void(uint64_t items)>;
  static constexpr uint64_t kProgressItems = 16384;

  ItemWriter(const index_db::IndexDb& db, Statements& statements, int64_t catalogueId,
             uint64_t maxItems, Progress progress)
      : db_(db),
        statements_(statements),
        catalogueId_(catalogueId),
        maxItems_(maxItems),
        progress_(std::move(progress)) {}

  bool Take(const ItemRecord& item, const ItemDetails& details, int result, uint64_t itemNumber) {
    if (items_ >= maxItems_) {
      return StopAt(
          itemNumber,
          std::string("item limit (").append(std::to_string(maxItems_)).append(") reached"));
    }
    char* pathEnd = WriteCp437AsUtf8(path_, item.cFileName, kFileNameSize);
    const size_t pathLength = static_cast<size_t>(pathEnd - path_);
    const std::string_view path(path_, pathLength);
    char* descriptionEnd = WriteCp437AsUtf8(description_, details.description, kDescriptionSize);

    sqlite3_stmt* insert = statements_.insertItem.get();
    sqlite3_bind_int64(insert, 1, catalogueId_);
    sqlite3_bind_text(insert, 2, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
    sqlite3_bind_int64(
        insert, 3, static_cast<int64_t>((uint64_t{item.nFileSizeHigh} << 32) | item.nFileSizeLow));
    sqlite3_bind_int64(insert, 4, FileTimeTicks(item.ftCreationTime));
    sqlite3_bind_int64(insert, 5, FileTimeTicks(item.ftLastAccessTime));
    sqlite3_bind_int64(insert, 6, FileTimeTicks(item.ftLastWriteTime));
    sqlite3_bind_int64(insert, 7, item.dwFileAttributes);
    sqlite3_bind_text(insert, 8, description_, static_cast<int>(descriptionEnd - description_),
                      SQLITE_STATIC);
    sqlite3_bind_int(insert, 9, result == StatusDamaged ? 1 : 0);
    if (sqlite3_step(insert) != SQLITE_DONE) return Failed();
    sqlite3_reset(insert);
    // The ids SQLite gives are consecutive within the transaction; the range is kept whatever
    // they are.
    const int64_t id = sqlite3_last_insert_rowid(db_.get());
    if (items_ == 0 || id < firstId_) firstId_ = id;
    if (items_ == 0 || id > lastId_) lastId_ = id;

    if (++items_ % kProgressItems == 0 && progress_) progress_(items_);
    Taken(result, itemNumber);
    return true;
  }

  uint64_t Items() const { return items_; }
  // The smallest and the largest id of the items written (0 and -1 when there are none).
  int64_t FirstId() const { return firstId_; }
  int64_t LastId() const { return lastId_; }
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
  uint64_t maxItems_;
  Progress progress_;
  uint64_t items_ = 0;
  int64_t firstId_ = 0;
  int64_t lastId_ = -1;
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
  uint64_t namedRefused = 0;  // of those, files named on the command line
  uint64_t failed = 0;        // damaged, unreadable, too large, refused by OpenArchive
  uint64_t pruned = 0;        // removed from the index: gone, or no longer a catalogue
  uint64_t items = 0;
};

class Indexer {
 public:
  Indexer(const index_db::IndexDb& db, Statements& statements,
          const std::vector<FormatModule>& modules, const Options& options)
      : db_(db), statements_(statements), modules_(modules), options_(options) {
    progress_ = isatty(STDERR_FILENO) == 1;
    start_ = std::chrono::steady_clock::now();
  }

  Totals& totals() { return totals_; }

  // Indexes one file; `named` when the user gave it (a file no module accepts is then
  // reported by name, not only counted).
  void IndexFile(const Candidate& candidate, bool named) {
    ++totals_.done;
    // A first look outside any transaction: most catalogues of a run are unchanged.
    Existing existing = Find(candidate.path);
    if (existing.found && existing.identity == IdentityOf(candidate.info)) {
      ++totals_.unchanged;
      ShowProgress(false);
      return;
    }
    if (IndexedElsewhere(candidate)) {
      DropPath(candidate.path);  // a second name is no catalogue of its own
      ShowProgress(false);
      return;
    }
    driver::SettledListing settling(candidate.path);
    while (settling.NextAttempt()) {
      if (!settling.Before()) {
        Problem(ShownName(candidate.path).append(": ").append(std::strerror(errno)));
        ++totals_.failed;
        return;
      }
      driver::CatalogueSource source;  // a gzip-compressed catalogue is listed decompressed
      driver::Probe probe = source.Open(modules_, candidate.path);
      // A file that cannot be read now may still be the catalogue the index holds: it stays.
      if (probe.status == kExitCannotRead || probe.status == kExitNoSuchFile) {
        Problem(ShownName(candidate.path).append(": ").append(probe.reason));
        ++totals_.failed;
        return;
      }
      if (probe.module == nullptr) {
        // Beside the catalogues (notes, pictures) it is only counted; named, it is an error.
        ++totals_.notAccepted;
        if (named) ++totals_.namedRefused;
        if (named || options_.verbose) {
          Warn(ShownName(candidate.path).append(": ").append(probe.reason));
        }
        // A file that was a catalogue and is no longer one leaves the index.
        DropPath(candidate.path);
        return;
      }
      // The module holds the whole file while it lists it.
      if (static_cast<uint64_t>(settling.Before()->size) > options_.maxFileBytes) {
        Problem(ShownName(candidate.path)
                    .append(": not listed: larger than ")
                    .append(std::to_string(options_.maxFileBytes >> 20))
                    .append(" MiB (--max-file-mib)"));
        ++totals_.failed;
        return;
      }
      if (ListInto(candidate.path, source.Path(), *probe.module, settling)) break;
    }
    ShowProgress(false);
  }

  // Drops the catalogues at `root` or under it (absolute) that `seen` does not hold, except
  // those at or under a path whose contents are not known.
  void Prune(const std::string& root, const std::set<std::string>& seen,
             const std::vector<std::string>& unknown) {
    std::string low = root == "/" ? "/" : std::string(root).append("/");
    std::string high = low;
    high.back() = '/' + 1;
    auto isUnder = [](const std::string& path, const std::string& top) {
      return path.compare(0, top.size(), top) == 0 &&
             (path.size() == top.size() || path[top.size()] == '/' || top == "/");
    };
    std::vector<std::string> gone;
    index_db::Statement& under = statements_.cataloguesUnder;
    under.BindText(1, root);
    under.BindText(2, low);
    under.BindText(3, high);
    bool failed = false;
    while (under.Step(&failed)) {
      std::string path(under.ColumnText(0));
      if (seen.count(path) != 0) continue;
      const bool keep = std::any_of(unknown.begin(), unknown.end(),
                                    [&](const std::string& top) { return isUnder(path, top); });
      if (!keep) gone.push_back(std::move(path));
    }
    under.Reset();
    if (failed) throw DatabaseFailure{index_db::LastError(db_)};
    for (const std::string& path : gone) DropPath(path);
  }

  // Removes the catalogue at `path` and its items, when the index holds it.
  void DropPath(const std::string& path) {
    if (!Find(path).found) return;  // the common case, without the write lock
    Transaction transaction(*this);
    const Existing existing = Find(path);
    if (!existing.found) return;
    DeleteItems(existing);
    statements_.deleteCatalogue.BindInt(1, existing.id);
    Run(statements_.deleteCatalogue);
    transaction.Commit();
    ++totals_.pruned;
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
    FileIdentity identity;
    int64_t firstItem = 0;
    int64_t lastItem = -1;
  };

  // BEGIN IMMEDIATE: the write lock is taken before anything is read, so that what a run
  // looks up (is the catalogue there, is it unchanged) still holds when it writes. Rolled
  // back unless committed.
  class Transaction {
   public:
    explicit Transaction(Indexer& indexer) : indexer_(indexer) {
      indexer_.Execute("BEGIN IMMEDIATE");
    }
    ~Transaction() {
      std::string ignored;
      if (!committed_) index_db::Execute(indexer_.db_, "ROLLBACK", &ignored);
    }
    void Commit() {
      indexer_.Execute("COMMIT");
      committed_ = true;
    }

   private:
    Indexer& indexer_;
    bool committed_ = false;
  };

  Existing Find(const std::string& path) {
    Existing existing;
    index_db::Statement& find = statements_.findCatalogue;
    find.BindText(1, path);
    bool failed = false;
    if (find.Step(&failed)) {
      existing.found = true;
      existing.id = find.ColumnInt(0);
      existing.identity = {find.ColumnInt(1), find.ColumnInt(2), find.ColumnInt(3),
                           find.ColumnInt(4), find.ColumnInt(5)};
      existing.firstItem = find.ColumnInt(6);
      existing.lastItem = find.ColumnInt(7);
    }
    find.Reset();
    if (failed) throw DatabaseFailure{index_db::LastError(db_)};
    return existing;
  }

  // Whether the index holds this very file (device and inode) under another path that still
  // leads to it: a hard link, or the same folder reached through a bind mount. One file is
  // indexed once.
  bool IndexedElsewhere(const Candidate& candidate) {
    index_db::Statement& same = statements_.sameFile;
    same.BindInt(1, static_cast<int64_t>(candidate.info.st_dev));
    same.BindInt(2, static_cast<int64_t>(candidate.info.st_ino));
    same.BindText(3, candidate.path);
    bool failed = false;
    bool elsewhere = false;
    while (!elsewhere && same.Step(&failed)) {
      struct stat info {};
      const std::string other(same.ColumnText(0));
      elsewhere = stat(other.c_str(), &info) == 0 && info.st_dev == candidate.info.st_dev &&
                  info.st_ino == candidate.info.st_ino;
    }
    same.Reset();
    if (failed) throw DatabaseFailure{index_db::LastError(db_)};
    return elsewhere;
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
  void DeleteItems(const Existing& existing) {
    for (index_db::Statement* statement :
         {&statements_.deletePaths, &statements_.deleteDescriptions, &statements_.deleteItems}) {
      BindItemsOf(*statement, existing.id, existing.firstItem, existing.lastItem);
      Run(*statement);
    }
  }

  static void BindItemsOf(index_db::Statement& statement, int64_t id, int64_t first, int64_t last) {
    statement.BindInt(1, id);
    statement.BindInt(2, first);
    statement.BindInt(3, last);
  }

  void BindCatalogue(index_db::Statement& statement, const FileIdentity& identity,
                     const std::string& format, const std::string& status, uint64_t items) {
    statement.BindInt(2, identity.device);
    statement.BindInt(3, identity.inode);
    statement.BindInt(4, identity.size);
    statement.BindInt(5, identity.mtimeNs);
    statement.BindText(6, format);
    statement.BindText(7, status);
    statement.BindInt(8, static_cast<int64_t>(items));
    statement.BindInt(9, static_cast<int64_t>(std::time(nullptr)));
    statement.BindInt(10, identity.ctimeNs);
  }

  // The catalogue's row for this listing, its old items gone: the id, or 0 when another
  // catindex has just indexed the file as it is now.
  int64_t Replace(const std::string& path, const FileIdentity& before, const std::string& format) {
    const Existing existing = Find(path);
    if (existing.found && existing.identity == before) return 0;
    if (existing.found) {
      DeleteItems(existing);
      return existing.id;
    }
    // The row is made first for its id; its count and status are set when the listing ends.
    statements_.insertCatalogue.BindText(1, path);
    BindCatalogue(statements_.insertCatalogue, before, format, "listing", 0);
    Run(statements_.insertCatalogue);
    return sqlite3_last_insert_rowid(db_.get());
  }

  // Lists the catalogue into one transaction that replaces what the index held for it. False
  // when the file changed while it was listed and another attempt is left: the transaction is
  // then rolled back for it. The module opens `opened`: the file itself, or its decompressed
  // copy.
  bool ListInto(const std::string& path, const std::string& opened, const FormatModule& module,
                const driver::SettledListing& settling) {
    const FileIdentity& before = *settling.Before();
    const std::string format = driver::FormatName(module);
    Transaction transaction(*this);
    const int64_t id = Replace(path, before, format);
    if (id == 0) {
      ++totals_.unchanged;
      return true;
    }
    ItemWriter::Progress progress;
    if (progress_) {
      progress = [this](uint64_t items) {
        listingItems_ = items;
        ShowProgress(false);
      };
    }
    ItemWriter writer(db_, statements_, id, options_.maxItems, std::move(progress));
    const driver::ListingEnd end = driver::ListCatalogue(module, opened, true, writer);
    listingItems_ = 0;
    if (!writer.DatabaseError().empty()) throw DatabaseFailure{writer.DatabaseError()};
    const bool settled = settling.Settled();
    if (!settled && !settling.LastAttempt()) return false;
    // The full-text rows in one statement: SQLite's own loop over the rows just written costs
    // less than a statement step per item.
    for (index_db::Statement* statement :
         {&statements_.insertPaths, &statements_.insertDescriptions}) {
      BindItemsOf(*statement, id, writer.FirstId(), writer.LastId());
      Run(*statement);
    }
    std::string status = end.opened ? writer.Status() : driver::ListingReport::kNotOpened;
    if (!settled) status.append("; the file changed while it was listed");
    statements_.updateCatalogue.BindInt(1, id);
    // The identity before the listing: a file that changed meanwhile differs from it, so the
    // next run lists it again.
    BindCatalogue(statements_.updateCatalogue, before, format, status, writer.Items());
    statements_.updateCatalogue.BindInt(11, writer.FirstId());
    statements_.updateCatalogue.BindInt(12, writer.LastId());
    Run(statements_.updateCatalogue);
    transaction.Commit();
    ++totals_.listed;
    totals_.items += writer.Items();
    if (status != "complete") {
      ++totals_.failed;
      Problem(ShownName(path).append(": ").append(status), Severity::kNewProblem);
    }
    return true;
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
  const Options& options_;
  Totals totals_;
  bool progress_ = false;
  uint64_t listingItems_ = 0;  // items of the catalogue being listed, not yet committed
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastShown_;
};

// The absolute form of a path that no longer exists: its folder resolved, its name kept.
std::string AbsoluteOfMissing(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string absoluteFolder = Resolved(folder);
  if (absoluteFolder.empty() || name.empty() || name == "." || name == "..") return "";
  return absoluteFolder == "/" ? std::string("/").append(name)
                               : std::string(absoluteFolder).append("/").append(name);
}

void ReportModule(const std::string& message) {
  Warn(message);
}

// A root as the index records it.
struct RootRecord {
  std::string kind;  // "folder" or "file"
  int64_t device = 0;
  int64_t addedAt = 0;
  int64_t walkedAt = 0;
  std::string status;
  std::string problems;  // one a line
};

using Roots = std::map<std::string, RootRecord>;

// The index's roots, by path.
Roots ReadRoots(const index_db::IndexDb& db) {
  index_db::Statement select;
  std::string error;
  if (!select.Prepare(db,
                      "SELECT path, kind, device, added_at, walked_at, status, problems "
                      "FROM roots ORDER BY path",
                      &error)) {
    throw DatabaseFailure{error};
  }
  Roots roots;
  bool failed = false;
  while (select.Step(&failed)) {
    roots[std::string(select.ColumnText(0))] = {std::string(select.ColumnText(1)),
                                                select.ColumnInt(2),
                                                select.ColumnInt(3),
                                                select.ColumnInt(4),
                                                std::string(select.ColumnText(5)),
                                                std::string(select.ColumnText(6))};
  }
  if (failed) throw DatabaseFailure{index_db::LastError(db)};
  return roots;
}

// Runs one statement with text parameters; the rows it changed.
int RunSql(const index_db::IndexDb& db, const char* sql, const std::vector<std::string>& texts) {
  index_db::Statement statement;
  std::string error;
  if (!statement.Prepare(db, sql, &error)) throw DatabaseFailure{error};
  for (size_t i = 0; i < texts.size(); ++i) statement.BindText(static_cast<int>(i + 1), texts[i]);
  if (!statement.Run()) throw DatabaseFailure{index_db::LastError(db)};
  return sqlite3_changes(db.get());
}

// The paths at or under `path`, as a range of the bytewise order: [low, high).
std::pair<std::string, std::string> RangeUnder(const std::string& path) {
  std::string low = path == "/" ? "/" : std::string(path).append("/");
  std::string high = low;
  high.back() = '/' + 1;
  return {low, high};
}

bool IsUnder(const std::string& path, const std::string& top) {
  return path.size() > top.size() && path.compare(0, top.size(), top) == 0 &&
         (path[top.size()] == '/' || top == "/");
}

// The device a path that is gone was on: its root's, else that of a catalogue at or under it.
std::optional<int64_t> RecordedDevice(const index_db::IndexDb& db, const Roots& roots,
                                      const std::string& path) {
  if (const auto root = roots.find(path); root != roots.end()) return root->second.device;
  index_db::Statement select;
  std::string error;
  if (!select.Prepare(db,
                      "SELECT device FROM catalogues "
                      "WHERE path = ?1 OR (path >= ?2 AND path < ?3) LIMIT 1",
                      &error)) {
    throw DatabaseFailure{error};
  }
  const auto [low, high] = RangeUnder(path);
  select.BindText(1, path);
  select.BindText(2, low);
  select.BindText(3, high);
  bool failed = false;
  std::optional<int64_t> device;
  if (select.Step(&failed)) device = select.ColumnInt(0);
  if (failed) throw DatabaseFailure{index_db::LastError(db)};
  return device;
}

// Why a path that was on `device` is gone. Its nearest folder that still exists tells: on the
// same device, the disk is there and the path was deleted or moved; on another, that folder is
// the mount point's parent (or the mount point), and the disk is not mounted.
enum class Absence { kGone, kNotMounted, kUnknown };

Absence WhyAbsent(const std::string& path, int64_t device) {
  std::string above = path;
  while (above.size() > 1) {
    const size_t slash = above.rfind('/');
    if (slash == std::string::npos) return Absence::kUnknown;
    above.resize(slash == 0 ? 1 : slash);
    struct stat info {};
    if (stat(above.c_str(), &info) == 0) {
      return static_cast<int64_t>(info.st_dev) == device ? Absence::kGone : Absence::kNotMounted;
    }
    if (errno != ENOENT && errno != ENOTDIR) return Absence::kUnknown;
  }
  return Absence::kUnknown;
}

// Whether a folder holds nothing: a mount point with no disk mounted on it.
bool IsEmptyFolder(const std::string& path) {
  const std::filesystem::path folder(path);
  std::error_code error;
  return std::filesystem::is_empty(folder, error) && !error;
}

std::string LocalTime(int64_t seconds) {
  const time_t time = static_cast<time_t>(seconds);
  struct tm local {};
  char text[32] = "";
  if (localtime_r(&time, &local) != nullptr)
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return text;
}

// A root to walk: a PATH given, or one the index records.
struct Root {
  std::string path;  // absolute, symbolic links resolved
  bool folder = false;
  bool named = false;  // given on the command line
  Walk walk;
};

// Resolves and walks every root first, so that the progress line knows the total. A root that
// is gone from a disk that is there is dropped from the index here (unless --no-prune); one
// whose disk is not mounted is kept. `after` gets the root rows this run writes.
std::vector<Root> WalkRoots(const std::vector<std::string>& paths, bool named,
                            const Options& options, const index_db::IndexDb& db,
                            const Roots& recorded, Roots* after, Indexer& indexer) {
  // The index's own files, when they lie in a folder being indexed, are not catalogues.
  std::set<std::string> indexFiles;
  if (const std::string database = Resolved(options.dbPath); !database.empty()) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      indexFiles.insert(std::string(database).append(suffix));
    }
  }
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  std::vector<Root> roots;
  for (const std::string& given : paths) {
    Root root;
    root.named = named;
    root.path = Resolved(given);
    int error = root.path.empty() ? errno : 0;
    struct stat info {};
    if (error == 0 && stat(root.path.c_str(), &info) != 0) error = errno;
    std::string absolute = root.path;
    if (absolute.empty() && error == ENOENT) absolute = AbsoluteOfMissing(given);
    gProblems.root = absolute.empty() ? given : absolute;
    const auto record = recorded.find(gProblems.root);
    auto notMounted = [&] {
      Problem(ShownName(gProblems.root)
                  .append(": its disk is not mounted; what the index holds of it is kept"),
              Severity::kNotice);
      if (record != recorded.end()) {
        (*after)[record->first] = record->second;
        (*after)[record->first].status = "not mounted";
      }
    };
    if (error == ENOENT && !absolute.empty()) {
      const std::optional<int64_t> device = RecordedDevice(db, recorded, absolute);
      const Absence absence = device ? WhyAbsent(absolute, *device) : Absence::kUnknown;
      if (absence == Absence::kNotMounted) {
        notMounted();
        continue;
      }
      if (absence == Absence::kGone && options.prune) {
        const uint64_t pruned = indexer.totals().pruned;
        indexer.Prune(absolute, {}, {});
        const auto [low, high] = RangeUnder(absolute);
        RunSql(db, "DELETE FROM roots WHERE path = ?1 OR (path >= ?2 AND path < ?3)",
               {absolute, low, high});
        const uint64_t dropped = indexer.totals().pruned - pruned;
        Problem(ShownName(absolute)
                    .append(": gone from its disk; dropped from the index with ")
                    .append(std::to_string(dropped))
                    .append(dropped == 1 ? " catalogue" : " catalogues"),
                Severity::kNotice);
        continue;
      }
    }
    if (error != 0) {
      Problem(ShownName(given).append(": ").append(std::strerror(error)));
      if (record != recorded.end()) {
        (*after)[record->first] = record->second;
        (*after)[record->first].status = std::string("not walked: ").append(std::strerror(error));
      }
      continue;
    }
    if (S_ISDIR(info.st_mode)) {
      if (record != recorded.end() && record->second.device != static_cast<int64_t>(info.st_dev) &&
          IsEmptyFolder(root.path)) {
        notMounted();  // its mount point, empty
        continue;
      }
      root.folder = true;
      WalkFolder(root.path, &root.walk);
    } else if (S_ISREG(info.st_mode)) {
      root.walk.files.push_back({root.path, info});
    } else {
      Problem(ShownName(given).append(": not a regular file or folder"));
      continue;
    }
    std::erase_if(root.walk.files,
                  [&](const Candidate& file) { return indexFiles.count(file.path) != 0; });
    indexer.totals().catalogues += root.walk.files.size();
    RootRecord row = record != recorded.end() ? record->second : RootRecord{};
    if (record == recorded.end()) row.addedAt = now;
    row.kind = root.folder ? "folder" : "file";
    row.device = static_cast<int64_t>(info.st_dev);
    row.walkedAt = now;
    row.status = "walked";
    (*after)[root.path] = row;
    roots.push_back(std::move(root));
  }
  return roots;
}

// Indexes what the walk found, and prunes what it did not. A file met twice (through a link,
// or under two PATHs given) is indexed once, under its own path; a second name of a file
// indexed this run (a hard link) is passed over and, being no catalogue of its own, pruned.
void IndexRoots(const std::vector<Root>& roots, const Options& options, Indexer& indexer) {
  std::map<std::pair<dev_t, ino_t>, std::string> indexedFiles;
  for (const Root& root : roots) {
    gProblems.root = root.path;
    std::set<std::string> seen;
    for (const Candidate& candidate : root.walk.files) {
      const auto [file, first] = indexedFiles.try_emplace(
          std::make_pair(candidate.info.st_dev, candidate.info.st_ino), candidate.path);
      if (!first && file->second != candidate.path) continue;
      seen.insert(candidate.path);
      if (first) indexer.IndexFile(candidate, !root.folder && root.named);
    }
    if (options.prune) indexer.Prune(root.path, seen, root.walk.unknown);
  }
}

// Writes the roots of this run, with what it reported of each. A new root inside a folder
// root already recorded is not recorded (that root covers it); a new folder root takes over
// the roots inside it. A file root stays while the index holds its catalogue.
void WriteRoots(const index_db::IndexDb& db, const Roots& recorded, const Roots& after) {
  std::string error;
  if (!index_db::Execute(db, "BEGIN IMMEDIATE", &error)) throw DatabaseFailure{error};
  auto covered = [&](const std::string& path) {
    for (const Roots* roots : {&recorded, &after}) {
      for (const auto& [other, row] : *roots) {
        if (row.kind == "folder" && IsUnder(path, other)) return true;
      }
    }
    return false;
  };
  for (const auto& [path, row] : after) {
    const bool isNew = recorded.count(path) == 0;
    if (isNew && covered(path)) continue;
    if (row.kind == "file") {
      index_db::Statement held;
      if (!held.Prepare(db, "SELECT 1 FROM catalogues WHERE path = ?1", &error)) {
        throw DatabaseFailure{error};
      }
      held.BindText(1, path);
      bool failed = false;
      const bool indexed = held.Step(&failed);
      if (failed) throw DatabaseFailure{index_db::LastError(db)};
      if (!indexed) {
        RunSql(db, "DELETE FROM roots WHERE path = ?1", {path});
        continue;
      }
    } else if (isNew) {
      const auto [low, high] = RangeUnder(path);
      RunSql(db, "DELETE FROM roots WHERE path >= ?1 AND path < ?2", {low, high});
    }
    std::string problems;
    for (const std::string& problem : gProblems.now[path]) problems.append(problem).append("\n");
    if (!problems.empty()) problems.pop_back();
    index_db::Statement upsert;
    if (!upsert.Prepare(db,
                        "INSERT INTO roots (path, kind, device, added_at, walked_at, status, "
                        "problems) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7) ON CONFLICT (path) DO "
                        "UPDATE SET kind = ?2, device = ?3, walked_at = ?5, status = ?6, "
                        "problems = ?7",
                        &error)) {
      throw DatabaseFailure{error};
    }
    upsert.BindText(1, path);
    upsert.BindText(2, row.kind);
    upsert.BindInt(3, row.device);
    upsert.BindInt(4, row.addedAt);
    upsert.BindInt(5, row.walkedAt);
    upsert.BindText(6, row.status);
    upsert.BindText(7, problems);
    if (!upsert.Run()) throw DatabaseFailure{index_db::LastError(db)};
  }
  if (!index_db::Execute(db, "COMMIT", &error)) {
    index_db::Execute(db, "ROLLBACK", &error);
    throw DatabaseFailure{error};
  }
}

// --remove: each PATH's roots, and every catalogue at or under it, leave the index.
int RemovePaths(const index_db::IndexDb& db, const Options& options, const Roots& recorded,
                Indexer& indexer) {
  int status = kExitSuccess;
  int removedRoots = 0;
  for (const std::string& given : options.paths) {
    std::string path = Resolved(given);
    if (path.empty()) path = AbsoluteOfMissing(given);
    if (path.empty()) path = given;
    const uint64_t pruned = indexer.totals().pruned;
    indexer.Prune(path, {}, {});
    const auto [low, high] = RangeUnder(path);
    const int roots = RunSql(db, "DELETE FROM roots WHERE path = ?1 OR (path >= ?2 AND path < ?3)",
                             {path, low, high});
    removedRoots += roots;
    if (roots == 0 && indexer.totals().pruned == pruned) {
      Warn(ShownName(given).append(": not in the index"));
      status = kExitSomethingSkipped;
      continue;
    }
    for (const auto& [root, row] : recorded) {
      if (row.kind == "folder" && IsUnder(path, root)) {
        Warn(ShownName(given)
                 .append(": inside the root ")
                 .append(ShownName(root))
                 .append(", whose next run indexes it again (--remove that root instead)"));
      }
    }
  }
  if (options.verbose) {
    std::fprintf(stderr, "catindex: %d %s and %llu %s removed\n", removedRoots,
                 removedRoots == 1 ? "root" : "roots",
                 static_cast<unsigned long long>(indexer.totals().pruned),
                 indexer.totals().pruned == 1 ? "catalogue" : "catalogues");
  }
  return status;
}

// --list: each root, what its last run reported, and its catalogues; then the catalogues no
// root holds (indexed by a version that recorded none).
int ListIndex(const index_db::IndexDb& db, const Options& options) {
  struct Catalogue {
    std::string path;
    std::string format;
    std::string status;
    int64_t items = 0;
    int64_t listedAt = 0;
    bool shown = false;
  };
  std::vector<Catalogue> catalogues;
  Roots roots;
  try {
    index_db::Statement select;
    std::string error;
    if (!select.Prepare(db,
                        "SELECT path, format, status, item_count, listed_at FROM catalogues "
                        "ORDER BY path",
                        &error)) {
      throw DatabaseFailure{error};
    }
    bool failed = false;
    while (select.Step(&failed)) {
      catalogues.push_back({std::string(select.ColumnText(0)), std::string(select.ColumnText(1)),
                            std::string(select.ColumnText(2)), select.ColumnInt(3),
                            select.ColumnInt(4)});
    }
    if (failed) throw DatabaseFailure{index_db::LastError(db)};
    // An index of version 2 or 3, read as it is, records no root.
    index_db::Statement hasRoots;
    if (!hasRoots.Prepare(db, "SELECT 1 FROM sqlite_schema WHERE name = 'roots'", &error)) {
      throw DatabaseFailure{error};
    }
    if (hasRoots.Step(&failed)) roots = ReadRoots(db);
  } catch (const DatabaseFailure& failure) {
    Warn(ShownName(options.dbPath).append(": ").append(failure.message));
    return kExitFatal;
  }
  std::string text;
  auto catalogueLine = [&](const Catalogue& catalogue, const std::string& name) {
    text.append("  ")
        .append(ShownName(name))
        .append(": ")
        .append(catalogue.format)
        .append(", ")
        .append(catalogue.status)
        .append(", ")
        .append(std::to_string(catalogue.items))
        .append(catalogue.items == 1 ? " item" : " items")
        .append(", listed ")
        .append(LocalTime(catalogue.listedAt))
        .append("\n");
  };
  for (const auto& [path, row] : roots) {
    std::vector<Catalogue*> under;
    int64_t items = 0;
    for (Catalogue& catalogue : catalogues) {
      if (catalogue.path == path || IsUnder(catalogue.path, path)) {
        under.push_back(&catalogue);
        items += catalogue.items;
      }
    }
    text.append(ShownName(path)).append(": ").append(row.kind).append(", ").append(row.status);
    if (row.walkedAt != 0) {
      text.append(row.status == "walked" ? " " : ", last walked ").append(LocalTime(row.walkedAt));
    }
    text.append(", ")
        .append(std::to_string(under.size()))
        .append(under.size() == 1 ? " catalogue, " : " catalogues, ")
        .append(std::to_string(items))
        .append(items == 1 ? " item\n" : " items\n");
    for (size_t start = 0; start < row.problems.size();) {
      const size_t end = std::min(row.problems.find('\n', start), row.problems.size());
      text.append("  problem: ").append(row.problems, start, end - start).append("\n");
      start = end + 1;
    }
    for (Catalogue* catalogue : under) {
      catalogue->shown = true;
      const size_t slash = catalogue->path.rfind('/');
      catalogueLine(*catalogue, catalogue->path == path ? catalogue->path.substr(slash + 1)
                                : path == "/"           ? catalogue->path.substr(1)
                                                        : catalogue->path.substr(path.size() + 1));
    }
  }
  bool heading = false;
  for (const Catalogue& catalogue : catalogues) {
    if (catalogue.shown) continue;
    if (!heading) text.append("under no root (index its folder to record one):\n");
    heading = true;
    catalogueLine(catalogue, catalogue.path);
  }
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    Warn(std::string("cannot write the list: ").append(std::strerror(errno)));
    return kExitFatal;
  }
  return kExitSuccess;
}

// The end of a run that the database let finish: the counts, and the exit status.
int Report(const Options& options, Indexer& indexer) {
  indexer.EndProgress();
  const Totals& totals = indexer.totals();
  if (totals.namedRefused > 0) {
    Warn(std::to_string(totals.namedRefused)
             .append(totals.namedRefused == 1 ? " file" : " files")
             .append(" skipped: no module accepts it"));
  }
  if (options.verbose) {
    const double seconds = indexer.Seconds();
    std::fprintf(stderr,
                 "catindex: %llu listed, %llu unchanged, %llu pruned, %llu no catalogue, "
                 "%llu items in %.3f s (%.0f items/s)\n",
                 static_cast<unsigned long long>(totals.listed),
                 static_cast<unsigned long long>(totals.unchanged),
                 static_cast<unsigned long long>(totals.pruned),
                 static_cast<unsigned long long>(totals.notAccepted),
                 static_cast<unsigned long long>(totals.items), seconds,
                 seconds > 0 ? static_cast<double>(totals.items) / seconds : 0.0);
  }
  const bool problems = totals.namedRefused > 0 || gProblems.reported > 0;
  return problems ? kExitSomethingSkipped : kExitSuccess;
}

int IndexInto(const index_db::IndexDb& db, const Options& options,
              const std::vector<FormatModule>& modules) {
  Statements statements;
  std::string error;
  if (!statements.Prepare(db, &error)) {
    Warn(ShownName(options.dbPath).append(": ").append(error));
    return kExitFatal;
  }
  Indexer indexer(db, statements, modules, options);
  gProblems.verbose = options.verbose;
  int status = kExitSuccess;
  try {
    const Roots recorded = ReadRoots(db);
    for (const auto& [path, row] : recorded) {
      for (size_t start = 0; start < row.problems.size();) {
        const size_t end = std::min(row.problems.find('\n', start), row.problems.size());
        gProblems.before[path].insert(row.problems.substr(start, end - start));
        start = end + 1;
      }
    }
    if (options.remove) {
      status = RemovePaths(db, options, recorded, indexer);
    } else {
      std::vector<std::string> paths = options.paths;
      if (paths.empty()) {
        for (const auto& [path, row] : recorded) paths.push_back(path);
      }
      if (paths.empty()) {
        Warn("no PATH given, and the index records none to update: give a folder or a catalogue");
        return kExitFatal;
      }
      Roots after;
      const std::vector<Root> roots =
          WalkRoots(paths, !options.paths.empty(), options, db, recorded, &after, indexer);
      IndexRoots(roots, options, indexer);
      WriteRoots(db, recorded, after);
    }
  } catch (const DatabaseFailure& failure) {
    indexer.EndProgress();
    Warn(ShownName(options.dbPath).append(": ").append(failure.message));
    return kExitFatal;
  }
  // The statistics catfind chooses its trigrams by follow what this run changed.
  if (indexer.totals().listed > 0 || indexer.totals().pruned > 0) {
    if (!trigram_counts::Recount(db, &error)) {
      indexer.EndProgress();
      Warn(ShownName(options.dbPath).append(": cannot count the trigrams: ").append(error));
      return kExitFatal;
    }
  }
  if (options.remove) return status;
  return Report(options, indexer);
}

int Run(const Options& options) {
  std::string error;
  index_db::IndexDb db;
  if (options.list) {
    if (!index_db::OpenIndex(options.dbPath, index_db::Access::kRead, &db, &error)) {
      Warn(error);
      return kExitFatal;
    }
    return ListIndex(db, options);
  }
  driver::ModuleSet modules(ReportModule);
  if (!modules.Load({}, driver::ModuleSource{}, &error)) {
    Warn(error);
    return kExitFatal;
  }
  // Without a PATH (or with --remove) there must be an index already.
  const bool create = !options.remove && !options.paths.empty();
  if (!index_db::OpenIndex(options.dbPath,
                           create ? index_db::Access::kCreate : index_db::Access::kWrite, &db,
                           &error)) {
    Warn(error);
    return kExitFatal;
  }
  return IndexInto(db, options, modules.Modules());
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
