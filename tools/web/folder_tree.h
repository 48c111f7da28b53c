// One catalogue's items as a tree of folders, for catweb's folder view and its picture of
// where the space went: each folder's children in listing order and each folder's total size
// (its files' sizes, at every depth).
//
// The index keeps items by catalogue only, not by folder, so a folder's children cannot be
// asked of SQL without reading the whole catalogue: the tree is built once from one read of
// its items and kept in a cache, until the catalogue is listed again.
//
// Paths split at backslashes, as cathost prints them. A folder that paths imply but the
// catalogue never lists is made (without attributes or time, `implied`); a folder listed after
// its items takes over the one they implied. A folder path listed twice keeps its items under
// the first; the second shows empty.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tools/index/index_db.h"

namespace catweb {

class FolderTree {
 public:
  struct Node {
    uint64_t size = 0;
    uint64_t writeTime = 0;
    uint64_t totalSize = 0;  // a file's size; a folder's files' sizes, at every depth
    uint32_t attributes = 0;
    uint32_t parent = 0;
    uint32_t firstChild = 0;  // into the child order
    uint32_t childCount = 0;
    uint32_t name = 0;  // offset of the name in the text
    uint32_t description = 0;
    uint16_t nameLength = 0;
    uint16_t descriptionLength = 0;
    bool directory = false;
    bool damaged = false;
    bool implied = false;
  };

  enum class Built { kDone, kTimeUp, kFailed };

  // Reads the items of catalogue `id` (the caller holds a read transaction). kTimeUp when
  // `limit` stopped it; kFailed with `error` set on a database failure or a catalogue too large
  // for the tree's 32-bit offsets.
  static Built Build(const index_db::IndexDb& db, int64_t id, std::chrono::milliseconds limit,
                     FolderTree* tree, std::string* error);

  // The folder at `path` (components separated by backslashes; "" is the root), or nullptr.
  const Node* Find(std::string_view path) const;
  const Node& Child(const Node& folder, uint32_t index) const {
    return nodes_[order_[folder.firstChild + index]];
  }
  std::string_view Name(const Node& node) const {
    return {text_.data() + node.name, node.nameLength};
  }
  std::string_view Description(const Node& node) const {
    return {text_.data() + node.description, node.descriptionLength};
  }
  // What the tree holds in memory, roughly, for the cache's budget.
  size_t Bytes() const;

 private:
  std::vector<Node> nodes_;      // nodes_[0] is the root; a node's parent comes before it
  std::vector<uint32_t> order_;  // the children of each folder together, in listing order
  std::string text_;             // names and descriptions
};

// Trees of recently opened catalogues, kept up to a memory budget (the least recently used
// dropped first), each under the identity of the catalogue it was read from: a catalogue listed
// again gets a new tree.
class FolderTrees {
 public:
  explicit FolderTrees(size_t budgetBytes) : budgetBytes_(budgetBytes) {}

  std::shared_ptr<const FolderTree> Find(const std::string& key);
  void Keep(const std::string& key, std::shared_ptr<const FolderTree> tree);

 private:
  struct Entry {
    std::string key;
    std::shared_ptr<const FolderTree> tree;
  };
  size_t budgetBytes_;
  size_t bytes_ = 0;
  std::mutex mutex_;
  std::list<Entry> entries_;  // the most recently used first
  std::unordered_map<std::string, std::list<Entry>::iterator> byKey_;
};

}  // namespace catweb
