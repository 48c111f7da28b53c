#include "tools/hosts/catmount/catalogue_tree.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>

#include "tools/hosts/cathost/item_format.h"

namespace catmount {

namespace {

constexpr uint64_t kHashMultiplier = 0x9E3779B97F4A7C15ull;
constexpr uint32_t kInitialSlots = 1024;
// Room for a whole path decoded: up to three UTF-8 bytes per byte, and the decoder's wide
// stores past the end.
constexpr size_t kDecodeRoom = 3 * kFileNameSize + 64;

uint64_t HashOf(uint32_t parent, std::string_view name) {
  return (std::hash<std::string_view>{}(name) ^ (uint64_t{parent} + 1) * kHashMultiplier) *
         kHashMultiplier;
}

// Decodes one path component from code page 437 and escapes what cannot be a component.
void DecodeComponent(std::string_view raw, std::string* out) {
  out->resize(kDecodeRoom);
  char* end = WriteCp437AsUtf8(out->data(), raw.data(), raw.size());
  out->resize(static_cast<size_t>(end - out->data()));
  if (out->empty()) {
    out->assign(kEmptyNameEscape);
  } else if (*out == ".") {
    out->assign(kDotNameEscape);
  } else if (*out == "..") {
    out->assign(kDotDotNameEscape);
  } else if (out->find('/') != std::string::npos) {
    std::string escaped;
    for (char c : *out) {
      if (c == '/') {
        escaped += kSlashEscape;
      } else {
        escaped += c;
      }
    }
    *out = std::move(escaped);
  }
}

std::string RenamedKey(uint32_t parent, std::string_view name) {
  std::string key = std::to_string(parent);
  key += '/';
  key += name;
  return key;
}

}  // namespace

uint32_t CatalogueTree::Lookup(uint32_t directory, std::string_view name) const {
  if (slots_.empty()) return kNone;
  const size_t mask = slots_.size() - 1;
  const int shift = 64 - std::countr_zero(slots_.size());
  for (size_t at = HashOf(directory, name) >> shift;; at = (at + 1) & mask) {
    uint32_t index = slots_[at];
    if (index == kNone) return kNone;
    if (nodes_[index].parent == directory && Name(index) == name) return index;
  }
}

NodeTimes CatalogueTree::Times(uint32_t index) const {
  const TreeNode& node = nodes_[index];
  uint64_t write = uint64_t{node.writeTimeHigh} << 32 | node.writeTimeLow;
  NodeTimes times{write, write, write};
  if ((node.flags & kNodeOtherTimes) != 0) {
    auto found = otherTimes_.find(index);
    if (found != otherTimes_.end()) {
      times.creation = found->second.first;
      times.access = found->second.second;
    }
  }
  return times;
}

std::string CatalogueTree::Description(uint32_t index) const {
  const TreeNode& node = nodes_[index];
  if (node.descriptionLength == 0) return {};
  std::string text(3 * size_t{node.descriptionLength} + 64, '\0');
  char* end =
      WriteCp437AsUtf8(text.data(), arena_.data() + node.descriptionOffset, node.descriptionLength);
  text.resize(static_cast<size_t>(end - text.data()));
  return text;
}

size_t CatalogueTree::MemoryBytes() const {
  return nodes_.capacity() * sizeof(TreeNode) + arena_.capacity() +
         children_.capacity() * sizeof(uint32_t) + slots_.capacity() * sizeof(uint32_t) +
         otherTimes_.size() * 48 + sizeof(*this);
}

TreeBuilder::TreeBuilder(size_t expectedItems) {
  expectedItems = std::min<size_t>(expectedItems, size_t{1} << 28);
  tree_.nodes_.reserve(expectedItems + 1);
  TreeNode root{};
  root.parent = CatalogueTree::kNone;
  root.flags = kNodeDirectory;
  tree_.nodes_.push_back(root);
  slotCount_ =
      std::max(kInitialSlots, std::bit_ceil(static_cast<uint32_t>(expectedItems * 4 / 3 + 1)));
  tree_.slots_.assign(slotCount_, CatalogueTree::kNone);
}

uint32_t TreeBuilder::FindSlot(uint32_t parent, std::string_view name) const {
  return tree_.Lookup(parent, name);
}

void TreeBuilder::Grow() {
  slotCount_ *= 2;
  tree_.slots_.assign(slotCount_, CatalogueTree::kNone);
  const size_t mask = slotCount_ - 1;
  const int shift = 64 - std::countr_zero(slotCount_);
  for (uint32_t index = 1; index < tree_.nodes_.size(); ++index) {
    size_t at = HashOf(tree_.nodes_[index].parent, tree_.Name(index)) >> shift;
    while (tree_.slots_[at] != CatalogueTree::kNone) at = (at + 1) & mask;
    tree_.slots_[at] = index;
  }
}

uint32_t TreeBuilder::Insert(uint32_t parent, std::string_view name, uint8_t flags) {
  if (tree_.nodes_.size() >= CatalogueTree::kNone - 1 ||
      tree_.arena_.size() + name.size() + kDescriptionSize > UINT32_MAX) {
    full_ = true;
    return CatalogueTree::kNone;
  }
  if ((tree_.nodes_.size() + 1) * 4 > size_t{slotCount_} * 3) Grow();
  TreeNode node{};
  node.nameOffset = static_cast<uint32_t>(tree_.arena_.size());
  node.nameLength = static_cast<uint16_t>(name.size());
  node.parent = parent;
  node.flags = flags;
  tree_.arena_.insert(tree_.arena_.end(), name.begin(), name.end());
  auto index = static_cast<uint32_t>(tree_.nodes_.size());
  tree_.nodes_.push_back(node);
  ++tree_.nodes_[parent].childCount;

  const size_t mask = slotCount_ - 1;
  const int shift = 64 - std::countr_zero(slotCount_);
  size_t at = HashOf(parent, name) >> shift;
  while (tree_.slots_[at] != CatalogueTree::kNone) at = (at + 1) & mask;
  tree_.slots_[at] = index;
  return index;
}

std::string_view TreeBuilder::FreeName(uint32_t parent, std::string_view name) {
  if (FindSlot(parent, name) == CatalogueTree::kNone) return name;
  for (uint64_t number = 2;; ++number) {
    suffixed_.assign(name);
    suffixed_ += kDuplicateSuffix;
    suffixed_ += std::to_string(number);
    if (FindSlot(parent, suffixed_) == CatalogueTree::kNone) return suffixed_;
  }
}

uint32_t TreeBuilder::DirectoryFor(uint32_t parent, std::string_view name) {
  uint32_t found = FindSlot(parent, name);
  if (found == CatalogueTree::kNone) return Insert(parent, name, kNodeDirectory);
  if ((tree_.nodes_[found].flags & kNodeDirectory) != 0) return found;
  // A file holds the name: the directory the paths speak of lives under a suffixed name.
  std::string key = RenamedKey(parent, name);
  auto renamed = renamedDirectories_.find(key);
  if (renamed != renamedDirectories_.end()) return renamed->second;
  uint32_t directory = Insert(parent, FreeName(parent, name), kNodeDirectory);
  if (directory != CatalogueTree::kNone) renamedDirectories_.emplace(std::move(key), directory);
  return directory;
}

bool TreeBuilder::Add(const ItemRecord& item, const ItemDetails& details, bool damaged) {
  if (full_) return false;
  std::string_view path(item.cFileName, strnlen(item.cFileName, kFileNameSize));
  size_t cut = path.rfind('\\');
  uint32_t parent = CatalogueTree::kRoot;
  if (cut != std::string_view::npos) {
    std::string_view parentPath = path.substr(0, cut);
    // Neighbouring items mostly share their directory: resolve its path once.
    if (!lastParentPath_.empty() && parentPath == std::string_view(lastParentPath_).substr(1)) {
      parent = lastParent_;
    } else {
      size_t start = 0;
      while (parent != CatalogueTree::kNone) {
        size_t end = parentPath.find('\\', start);
        std::string_view component = parentPath.substr(start, end - start);
        DecodeComponent(component, &scratch_);
        parent = DirectoryFor(parent, scratch_);
        if (end == std::string_view::npos) break;
        start = end + 1;
      }
      if (parent == CatalogueTree::kNone) return false;
      // A leading mark tells a cached empty parent path from no cache at all.
      lastParentPath_.clear();
      lastParentPath_.push_back('/');  // (assign("/") trips a false -Wrestrict in GCC 12 at -O3)
      lastParentPath_.append(parentPath);
      lastParent_ = parent;
    }
  }
  DecodeComponent(cut == std::string_view::npos ? path : path.substr(cut + 1), &scratch_);

  const bool isDirectory = (item.dwFileAttributes & kAttrDirectory) != 0;
  uint32_t index = CatalogueTree::kNone;
  if (isDirectory) {
    // The first listing of a directory that earlier paths implied takes it over.
    uint32_t found = FindSlot(parent, scratch_);
    if (found != CatalogueTree::kNone &&
        (tree_.nodes_[found].flags & (kNodeDirectory | kNodeListed)) != kNodeDirectory) {
      auto renamed = renamedDirectories_.find(RenamedKey(parent, scratch_));
      found = renamed != renamedDirectories_.end() ? renamed->second : CatalogueTree::kNone;
      if (found != CatalogueTree::kNone && (tree_.nodes_[found].flags & kNodeListed) != 0) {
        found = CatalogueTree::kNone;
      }
    }
    index = found;
  }
  if (index == CatalogueTree::kNone) {
    bool nameHeldByFile = false;
    if (isDirectory) {
      uint32_t plain = FindSlot(parent, scratch_);
      nameHeldByFile =
          plain != CatalogueTree::kNone && (tree_.nodes_[plain].flags & kNodeDirectory) == 0;
    }
    index = Insert(parent, FreeName(parent, scratch_), isDirectory ? kNodeDirectory : 0);
    if (index == CatalogueTree::kNone) return false;
    // Later paths through this name lead into this directory, not into the file.
    if (isDirectory && nameHeldByFile) {
      renamedDirectories_.emplace(RenamedKey(parent, scratch_), index);
    }
  }

  TreeNode& node = tree_.nodes_[index];
  node.flags |= kNodeListed | (damaged ? kNodeDamaged : 0);
  node.attributes = item.dwFileAttributes;
  node.sizeLow = item.nFileSizeLow;
  node.sizeHigh = item.nFileSizeHigh;
  node.writeTimeLow = item.ftLastWriteTime.dwLowDateTime;
  node.writeTimeHigh = item.ftLastWriteTime.dwHighDateTime;
  const uint64_t write = FileTimeValue(item.ftLastWriteTime);
  const uint64_t creation = FileTimeValue(item.ftCreationTime);
  const uint64_t access = FileTimeValue(item.ftLastAccessTime);
  if (creation != write || access != write) {
    node.flags |= kNodeOtherTimes;
    tree_.otherTimes_[index] = {creation, access};
  }
  size_t descriptionLength = strnlen(details.description, kDescriptionSize - 1);
  if (descriptionLength > 0) {
    node.descriptionOffset = static_cast<uint32_t>(tree_.arena_.size());
    node.descriptionLength = static_cast<uint8_t>(descriptionLength);
    tree_.arena_.insert(tree_.arena_.end(), details.description,
                        details.description + descriptionLength);
  }
  ++tree_.itemCount_;
  return true;
}

CatalogueTree TreeBuilder::Finish(std::string status) {
  auto& nodes = tree_.nodes_;
  // Children ranges in listing order: the counts made while inserting become offsets, then
  // each count is rebuilt while the indices are placed.
  uint32_t next = 0;
  for (TreeNode& node : nodes) {
    node.firstChild = next;
    next += node.childCount;
    node.childCount = 0;
  }
  tree_.children_.resize(next);
  for (uint32_t index = 1; index < nodes.size(); ++index) {
    TreeNode& parent = nodes[nodes[index].parent];
    tree_.children_[parent.firstChild + parent.childCount++] = index;
  }
  // Spare room beyond an eighth is given back (a copy; worth it only then).
  if (nodes.capacity() > nodes.size() + nodes.size() / 8) nodes.shrink_to_fit();
  auto& arena = tree_.arena_;
  if (arena.capacity() > arena.size() + arena.size() / 8) arena.shrink_to_fit();
  tree_.status_ = std::move(status);
  renamedDirectories_.clear();
  return std::move(tree_);
}

}  // namespace catmount
