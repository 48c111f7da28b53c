// Read-only connections to the catalogue index for catweb's threads, and the time limit of a
// query.
//
// A request borrows a connection (opened on demand, kept for the next request), so no
// connection is ever used by two threads at once (index_db opens them without SQLite's own
// mutex). Each borrow compares the index file's identity (tools/common/file_identity.h) with the
// one the connection was opened on, and a connection to another file (an index built anew under the
// same name) or to an older state of an immutable one is dropped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/common/file_identity.h"
#include "tools/index/index_db.h"

namespace catweb {

class IndexConnections {
 public:
  explicit IndexConnections(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }

  using Identity = FileIdentity;

  struct Connection {
    index_db::IndexDb db;
    Identity identity;
  };
  // A borrowed connection, given back when this goes.
  class Lease {
   public:
    Lease() = default;
    Lease(Lease&&) = default;
    Lease& operator=(Lease&&) = default;
    ~Lease();
    const index_db::IndexDb& db() const;

   private:
    friend class IndexConnections;
    IndexConnections* owner_ = nullptr;
    std::unique_ptr<Connection> connection_;
  };

  // A connection to the index as it is now; false with `error` set (a sentence naming the
  // file) when it cannot be opened.
  bool Borrow(Lease* lease, std::string* error);

  // Whether the index file is missing (catindex has not made it yet).
  bool Missing() const;

 private:
  void GiveBack(std::unique_ptr<Connection> connection);

  std::string path_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Connection>> idle_;
};

// Stops the statements of one connection once `limit` has passed (SQLite's progress handler),
// for as long as it lives. A statement stopped fails with SQLITE_INTERRUPT; Reached() tells
// that failure from another, and also covers the time spent outside SQLite.
class TimeLimit {
 public:
  TimeLimit(const index_db::IndexDb& db, std::chrono::milliseconds limit);
  ~TimeLimit();
  TimeLimit(const TimeLimit&) = delete;
  TimeLimit& operator=(const TimeLimit&) = delete;

  bool Reached() const;

 private:
  static int Check(void* self);

  const index_db::IndexDb& db_;
  std::chrono::steady_clock::time_point deadline_;
  bool stopped_ = false;
};

}  // namespace catweb
