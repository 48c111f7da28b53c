#include "tools/web/index_connections.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <optional>

namespace catweb {

namespace {

// SQLite's virtual machine instructions between two looks at the clock: some microseconds.
constexpr int kInstructionsPerCheck = 1000;

}  // namespace

IndexConnections::Lease::~Lease() {
  if (owner_ != nullptr && connection_) owner_->GiveBack(std::move(connection_));
}

const index_db::IndexDb& IndexConnections::Lease::db() const {
  return connection_->db;
}

bool IndexConnections::Missing() const {
  struct stat info {};
  return stat(path_.c_str(), &info) != 0 && errno == ENOENT;
}

bool IndexConnections::Borrow(Lease* lease, std::string* error) {
  const std::optional<FileIdentity> now = IdentityOfFile(path_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!idle_.empty()) {
      std::unique_ptr<Connection> connection = std::move(idle_.back());
      idle_.pop_back();
      if (now && connection->identity == *now) {
        lease->owner_ = this;
        lease->connection_ = std::move(connection);
        return true;
      }
    }
  }
  auto connection = std::make_unique<Connection>();
  if (!index_db::OpenIndex(path_, index_db::Access::kRead, &connection->db, error)) return false;
  connection->identity = now.value_or(FileIdentity{});
  lease->owner_ = this;
  lease->connection_ = std::move(connection);
  return true;
}

void IndexConnections::GiveBack(std::unique_ptr<Connection> connection) {
  // A connection left inside a transaction by a failed request is not kept.
  if (sqlite3_get_autocommit(connection->db.get()) == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  idle_.push_back(std::move(connection));
}

TimeLimit::TimeLimit(const index_db::IndexDb& db, std::chrono::milliseconds limit)
    : db_(db), deadline_(std::chrono::steady_clock::now() + limit) {
  sqlite3_progress_handler(db_.get(), kInstructionsPerCheck, &TimeLimit::Check, this);
}

TimeLimit::~TimeLimit() {
  sqlite3_progress_handler(db_.get(), 0, nullptr, nullptr);
}

bool TimeLimit::Reached() const {
  return stopped_ || std::chrono::steady_clock::now() >= deadline_;
}

int TimeLimit::Check(void* self) {
  auto* limit = static_cast<TimeLimit*>(self);
  if (std::chrono::steady_clock::now() >= limit->deadline_) limit->stopped_ = true;
  return limit->stopped_ ? 1 : 0;
}

}  // namespace catweb
