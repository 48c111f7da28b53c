// catweb's JSON API over the catalogue index, apart from HTTP: each call takes a request's
// query parameters and answers a status and a JSON body.
//
//   Search      GET /api/search      catfind's query: the same rules (find_query), the same SQL
//                                    and the same fields per item as catfind --json, a page
//                                    at a time
//   Catalogues  GET /api/catalogues  the indexed catalogues, their state and total size
//   Children    GET /api/children    a folder of a catalogue: its children, each folder with
//                                    its total size
//
// Every parameter is checked: an unknown or repeated one, a malformed value, text that is not
// UTF-8 or a value out of range answers 400 with {"error": "..."}. Each answer holds at most
// kMostRows rows, and each query runs for at most the time limit: a search then answers what
// it found with "partial": true, the others 503.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "tools/web/folder_tree.h"
#include "tools/web/index_connections.h"

namespace catweb {

constexpr size_t kMostRows = 1000;
constexpr size_t kDefaultSearchRows = 50;
// The largest offset a request may ask for: paging through more results than this is a task
// for catfind.
constexpr uint64_t kLargestOffset = 1'000'000'000;
// The folder trees kept in memory (see FolderTrees).
constexpr size_t kTreeBudgetBytes = size_t{256} << 20;

using Parameters = std::multimap<std::string, std::string>;

struct Answer {
  int status = 200;
  std::string body;  // JSON
};

// {"error": MESSAGE}, the message as a JSON string.
std::string ErrorBody(std::string_view message);

class Api {
 public:
  Api(std::string indexPath, std::chrono::milliseconds timeLimit)
      : connections_(std::move(indexPath)), timeLimit_(timeLimit), trees_(kTreeBudgetBytes) {}

  Answer Search(const Parameters& parameters);
  Answer Catalogues(const Parameters& parameters);
  Answer Children(const Parameters& parameters);

  IndexConnections& connections() { return connections_; }

 private:
  // The sum of the files' sizes of a catalogue, kept under its identity.
  std::unordered_map<std::string, uint64_t> totals_;
  std::mutex totalsMutex_;

  IndexConnections connections_;
  std::chrono::milliseconds timeLimit_;
  FolderTrees trees_;
};

}  // namespace catweb
