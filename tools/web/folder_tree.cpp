#include "tools/web/folder_tree.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "tools/web/index_connections.h"

namespace catweb {

namespace {

// Rows read between two looks at the clock.
constexpr uint32_t kRowsPerCheck = 4096;

}  // namespace

FolderTree::Built FolderTree::Build(const index_db::IndexDb& db, int64_t id,
                                    std::chrono::milliseconds limit, FolderTree* tree,
                                    std::string* error) {
  index_db::Statement items;
  if (!items.Prepare(db,
                     std::string("SELECT path, size, write_time, attributes, description, damaged "
                                 "FROM items WHERE ")
                         .append(index_db::CatalogueItems(db.version, "?1"))
                         .append(" ORDER BY id")
                         .c_str(),
                     error)) {
    return Built::kFailed;
  }
  items.BindInt(1, id);
  TimeLimit timeLimit(db, limit);

  std::vector<Node>& nodes = tree->nodes_;
  std::string& text = tree->text_;
  nodes.assign(1, Node{});
  nodes[0].directory = true;
  // Every folder path seen, to its node: the first node made for it.
  std::unordered_map<std::string, uint32_t> folders;
  folders.emplace("", 0);
  bool tooLarge = false;

  auto addText = [&](std::string_view value, uint32_t* offset, uint16_t* length) {
    const size_t kept = std::min<size_t>(value.size(), std::numeric_limits<uint16_t>::max());
    if (text.size() + kept > std::numeric_limits<uint32_t>::max()) {
      tooLarge = true;
      return;
    }
    *offset = static_cast<uint32_t>(text.size());
    *length = static_cast<uint16_t>(kept);
    text.append(value.substr(0, kept));
  };
  auto newNode = [&](uint32_t parent, std::string_view name) {
    Node node;
    node.parent = parent;
    addText(name, &node.name, &node.nameLength);
    nodes.push_back(node);
    return static_cast<uint32_t>(nodes.size() - 1);
  };
  // The folder at `path`, made (with the folders above it) when no item named it yet.
  auto folderAt = [&](auto& self, std::string_view path) -> uint32_t {
    if (auto found = folders.find(std::string(path)); found != folders.end()) return found->second;
    const size_t split = path.rfind('\\');
    const uint32_t parent = split == std::string_view::npos ? 0 : self(self, path.substr(0, split));
    const uint32_t folder =
        newNode(parent, split == std::string_view::npos ? path : path.substr(split + 1));
    nodes[folder].directory = true;
    nodes[folder].implied = true;
    folders.emplace(std::string(path), folder);
    return folder;
  };

  bool failed = false;
  uint32_t rows = 0;
  while (items.Step(&failed)) {
    if (++rows % kRowsPerCheck == 0 && timeLimit.Reached()) return Built::kTimeUp;
    if (nodes.size() >= std::numeric_limits<uint32_t>::max() - 1 || tooLarge) {
      *error = "the catalogue is too large to be shown as a tree";
      return Built::kFailed;
    }
    const std::string_view path = items.ColumnText(0);
    const auto attributes = static_cast<uint32_t>(items.ColumnInt(3));
    const bool directory = (attributes & 0x10) != 0;
    uint32_t node = 0;
    auto known = directory ? folders.find(std::string(path)) : folders.end();
    if (known != folders.end() && nodes[known->second].implied) {
      node = known->second;  // listed after the items that implied it
      nodes[node].implied = false;
    } else {
      const size_t split = path.rfind('\\');
      const uint32_t parent =
          split == std::string_view::npos ? 0 : folderAt(folderAt, path.substr(0, split));
      node = newNode(parent, split == std::string_view::npos ? path : path.substr(split + 1));
      if (directory && known == folders.end()) folders.emplace(std::string(path), node);
    }
    Node& item = nodes[node];
    item.size = static_cast<uint64_t>(items.ColumnInt(1));
    item.writeTime = static_cast<uint64_t>(items.ColumnInt(2));
    item.attributes = attributes;
    item.directory = directory;
    item.damaged = items.ColumnInt(5) != 0;
    addText(items.ColumnText(4), &item.description, &item.descriptionLength);
  }
  if (failed) {
    if (timeLimit.Reached()) return Built::kTimeUp;
    *error = index_db::LastError(db);
    return Built::kFailed;
  }

  // Children in the order their nodes were made (a parent always before its children), and
  // the totals summed from the deepest up.
  const auto count = static_cast<uint32_t>(nodes.size());
  for (uint32_t i = 1; i < count; ++i) ++nodes[nodes[i].parent].childCount;
  uint32_t next = 0;
  for (Node& node : nodes) {
    node.firstChild = next;
    next += node.childCount;
    node.childCount = 0;
    node.totalSize = node.directory ? 0 : node.size;
  }
  tree->order_.assign(count > 0 ? count - 1 : 0, 0);
  for (uint32_t i = 1; i < count; ++i) {
    Node& parent = nodes[nodes[i].parent];
    tree->order_[parent.firstChild + parent.childCount++] = i;
  }
  for (uint32_t i = count - 1; i > 0; --i) nodes[nodes[i].parent].totalSize += nodes[i].totalSize;
  nodes.shrink_to_fit();
  text.shrink_to_fit();
  return Built::kDone;
}

const FolderTree::Node* FolderTree::Find(std::string_view path) const {
  const Node* folder = &nodes_[0];
  while (!path.empty()) {
    const size_t split = path.find('\\');
    const std::string_view name = path.substr(0, split);
    const Node* found = nullptr;
    for (uint32_t i = 0; i < folder->childCount && found == nullptr; ++i) {
      const Node& child = Child(*folder, i);
      if (child.directory && Name(child) == name) found = &child;
    }
    if (found == nullptr) return nullptr;
    folder = found;
    path = split == std::string_view::npos ? std::string_view() : path.substr(split + 1);
    if (split != std::string_view::npos && path.empty()) return nullptr;  // a trailing backslash
  }
  return folder;
}

size_t FolderTree::Bytes() const {
  return sizeof(FolderTree) + nodes_.capacity() * sizeof(Node) +
         order_.capacity() * sizeof(uint32_t) + text_.capacity();
}

std::shared_ptr<const FolderTree> FolderTrees::Find(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = byKey_.find(key);
  if (found == byKey_.end()) return nullptr;
  entries_.splice(entries_.begin(), entries_, found->second);
  return found->second->tree;
}

void FolderTrees::Keep(const std::string& key, std::shared_ptr<const FolderTree> tree) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (byKey_.count(key) != 0) return;  // another request built it meanwhile
  bytes_ += tree->Bytes();
  entries_.push_front(Entry{key, std::move(tree)});
  byKey_.emplace(key, entries_.begin());
  // The newest stays, even alone over the budget.
  while (bytes_ > budgetBytes_ && entries_.size() > 1) {
    bytes_ -= entries_.back().tree->Bytes();
    byKey_.erase(entries_.back().key);
    entries_.pop_back();
  }
}

}  // namespace catweb
