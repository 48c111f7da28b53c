#include "tools/hosts/catmount/catalogue_tree.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>

#include "tools/common/item_format.h"

namespace catmount {

namespace {

constexpr uint64_t kHashMultiplier = 0x9E3779B97F4A7C15ull;
constexpr size_t kInitialSlots = 64;
constexpr size_t kInitialTakenSlots = 16;
// Room for a whole path decoded: up to three UTF-8 bytes per byte, and the decoder's wide
// stores past the end.
constexpr size_t kDecodeRoom = 3 * kFileNameSize + 64;
// A decoded component takes at most three bytes per byte of the module's, plus three for the
// escape of an empty name, plus "~" and up to ten digits of a suffix.
constexpr size_t kMostBytesPerByte = 3;
constexpr size_t kMostBytesAddedPerName = 3 + 1 + 10;
constexpr size_t kMiB = size_t{1} << 20;

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

uint64_t TakenHashOf(uint32_t holder) {
  return (uint64_t{holder} + 1) * kHashMultiplier;
}

int ShiftFor(size_t slotCount) {
  return 64 - std::countr_zero(slotCount);
}

// The capacity a table of `capacity` elements grows to when it must hold `needed`: double,
// or as much as `roomBytes` holds when doubling does not fit (the table moves once more at
// most). False when not even `needed` fits.
bool GrowCapacity(size_t* capacity, size_t needed, size_t elementSize, size_t roomBytes) {
  if (needed <= *capacity) return true;
  const size_t grown =
      std::min(std::max({needed, *capacity * 2, size_t{16}}), roomBytes / elementSize);
  if (grown < needed) return false;
  *capacity = grown;
  return true;
}

std::string InWords(size_t bytes) {
  if (bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
  return std::to_string(bytes) + " bytes";
}

}  // namespace

uint32_t CatalogueTree::Lookup(uint32_t directory, std::string_view name) const {
  if (slots_.empty()) return kNone;
  const size_t mask = slots_.size() - 1;
  const int shift = ShiftFor(slots_.size());
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
    auto found = std::lower_bound(
        otherTimes_.begin(), otherTimes_.end(), index,
        [](const OtherTimes& entry, uint32_t wanted) { return entry.node < wanted; });
    if (found != otherTimes_.end() && found->node == index) {
      times.creation = found->creation;
      times.access = found->access;
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
         otherTimes_.capacity() * sizeof(OtherTimes) + sizeof(*this);
}

TreeBuilder::TreeBuilder(TreeLimits limits) : limits_(limits) {
  TreeNode root{};
  root.parent = CatalogueTree::kNone;
  root.flags = kNodeDirectory;
  tree_.nodes_.reserve(1);
  tree_.nodes_.push_back(root);
  tree_.slots_.assign(kInitialSlots, CatalogueTree::kNone);
}

bool TreeBuilder::Stop(std::string reason) {
  stopReason_ = std::move(reason);
  return false;
}

size_t TreeBuilder::BytesHeld() const {
  // The finished tree holds one child index per node but the root.
  return tree_.MemoryBytes() + (tree_.nodes_.size() - 1) * sizeof(uint32_t) +
         taken_.capacity() * sizeof(TakenName);
}

bool TreeBuilder::MakeRoom(size_t newNodes, size_t newBytes, size_t newTimes) {
  CatalogueTree& tree = tree_;
  const size_t nodesNeeded = tree.nodes_.size() + newNodes;
  const size_t arenaNeeded = tree.arena_.size() + newBytes;
  if (nodesNeeded >= CatalogueTree::kNone || arenaNeeded > UINT32_MAX) {
    return Stop("tree full (2^32 nodes or 4 GiB of names)");
  }
  // Each table that must grow moves to a new block while its old one is still held: the
  // limit holds for that moment too. The tables move one after another, in this order.
  size_t held = BytesHeld() + newNodes * sizeof(uint32_t);
  bool fits = limits_.maxBytes == 0 || held <= limits_.maxBytes;
  const auto room = [&] {
    return limits_.maxBytes == 0 ? SIZE_MAX : fits ? limits_.maxBytes - held : 0;
  };
  const auto move = [&](size_t oldCapacity, size_t newCapacity, size_t elementSize) {
    if (newCapacity == oldCapacity) return;
    fits = fits && newCapacity <= room() / elementSize;
    held += (newCapacity - oldCapacity) * elementSize;
  };
  // The hash tables double, at most three quarters full.
  size_t slotCount = tree.slots_.size();
  while (nodesNeeded * 4 > slotCount * 3) slotCount *= 2;
  move(tree.slots_.size(), slotCount, sizeof(uint32_t));
  size_t takenSlots = taken_.size();
  while ((takenCount_ + newNodes) * 4 > takenSlots * 3) {
    takenSlots = std::max(kInitialTakenSlots, takenSlots * 2);
  }
  move(taken_.size(), takenSlots, sizeof(TakenName));
  size_t nodesCapacity = tree.nodes_.capacity();
  fits = fits && GrowCapacity(&nodesCapacity, nodesNeeded, sizeof(TreeNode), room());
  move(tree.nodes_.capacity(), nodesCapacity, sizeof(TreeNode));
  size_t arenaCapacity = tree.arena_.capacity();
  fits = fits && GrowCapacity(&arenaCapacity, arenaNeeded, 1, room());
  move(tree.arena_.capacity(), arenaCapacity, 1);
  size_t timesCapacity = tree.otherTimes_.capacity();
  fits = fits && GrowCapacity(&timesCapacity, tree.otherTimes_.size() + newTimes,
                              sizeof(OtherTimes), room());
  move(tree.otherTimes_.capacity(), timesCapacity, sizeof(OtherTimes));
  if (!fits) return Stop("memory limit (" + InWords(limits_.maxBytes) + ") reached");

  if (slotCount != tree.slots_.size()) GrowSlots(slotCount);
  if (takenSlots != taken_.size()) GrowTaken(takenSlots);
  tree.nodes_.reserve(nodesCapacity);
  tree.arena_.reserve(arenaCapacity);
  tree.otherTimes_.reserve(timesCapacity);
  return true;
}

void TreeBuilder::GrowSlots(size_t slotCount) {
  tree_.slots_.assign(slotCount, CatalogueTree::kNone);
  const size_t mask = slotCount - 1;
  const int shift = ShiftFor(slotCount);
  for (uint32_t index = 1; index < tree_.nodes_.size(); ++index) {
    size_t at = HashOf(tree_.nodes_[index].parent, tree_.Name(index)) >> shift;
    while (tree_.slots_[at] != CatalogueTree::kNone) at = (at + 1) & mask;
    tree_.slots_[at] = index;
  }
}

uint32_t TreeBuilder::Insert(uint32_t parent, std::string_view name, uint8_t flags) {
  // MakeRoom made room for the node, its name and its slot.
  TreeNode node{};
  node.nameOffset = static_cast<uint32_t>(tree_.arena_.size());
  node.nameLength = static_cast<uint16_t>(name.size());
  node.parent = parent;
  node.flags = flags;
  tree_.arena_.insert(tree_.arena_.end(), name.begin(), name.end());
  auto index = static_cast<uint32_t>(tree_.nodes_.size());
  tree_.nodes_.push_back(node);
  ++tree_.nodes_[parent].childCount;

  const size_t mask = tree_.slots_.size() - 1;
  size_t at = HashOf(parent, name) >> ShiftFor(tree_.slots_.size());
  while (tree_.slots_[at] != CatalogueTree::kNone) at = (at + 1) & mask;
  tree_.slots_[at] = index;
  return index;
}

TreeBuilder::TakenName* TreeBuilder::FindTaken(uint32_t holder) {
  if (taken_.empty()) return nullptr;
  const size_t mask = taken_.size() - 1;
  for (size_t at = TakenHashOf(holder) >> ShiftFor(taken_.size());; at = (at + 1) & mask) {
    if (taken_[at].holder == holder) return &taken_[at];
    if (taken_[at].holder == CatalogueTree::kNone) return nullptr;
  }
}

TreeBuilder::TakenName& TreeBuilder::TakenFor(uint32_t holder) {
  if (TakenName* found = FindTaken(holder)) return *found;
  // MakeRoom made room; this only keeps the table from filling up should it ever not have.
  if ((takenCount_ + 1) * 4 > taken_.size() * 3) {
    GrowTaken(std::max(kInitialTakenSlots, taken_.size() * 2));
  }
  const size_t mask = taken_.size() - 1;
  size_t at = TakenHashOf(holder) >> ShiftFor(taken_.size());
  while (taken_[at].holder != CatalogueTree::kNone) at = (at + 1) & mask;
  taken_[at] = {holder, 2, CatalogueTree::kNone};
  ++takenCount_;
  return taken_[at];
}

void TreeBuilder::GrowTaken(size_t slotCount) {
  std::vector<TakenName> old(slotCount, {CatalogueTree::kNone, 0, CatalogueTree::kNone});
  old.swap(taken_);
  const size_t mask = slotCount - 1;
  const int shift = ShiftFor(slotCount);
  for (const TakenName& entry : old) {
    if (entry.holder == CatalogueTree::kNone) continue;
    size_t at = TakenHashOf(entry.holder) >> shift;
    while (taken_[at].holder != CatalogueTree::kNone) at = (at + 1) & mask;
    taken_[at] = entry;
  }
}

std::string_view TreeBuilder::FreeName(uint32_t parent, std::string_view name) {
  const uint32_t holder = tree_.Lookup(parent, name);
  if (holder == CatalogueTree::kNone) return name;
  // Suffixes below the holder's next one are all taken (nothing leaves the tree), so the
  // search goes on from there: each taken "name~N" is passed over at most once.
  TakenName& taken = TakenFor(holder);
  for (;; ++taken.nextSuffix) {
    suffixed_.assign(name);
    suffixed_ += kDuplicateSuffix;
    suffixed_ += std::to_string(taken.nextSuffix);
    if (tree_.Lookup(parent, suffixed_) == CatalogueTree::kNone) {
      ++taken.nextSuffix;
      return suffixed_;
    }
  }
}

uint32_t TreeBuilder::DirectoryFor(uint32_t parent, std::string_view name) {
  uint32_t found = tree_.Lookup(parent, name);
  if (found == CatalogueTree::kNone) return Insert(parent, name, kNodeDirectory);
  if ((tree_.nodes_[found].flags & kNodeDirectory) != 0) return found;
  // A file holds the name: the directory the paths speak of lives under a suffixed name.
  if (const TakenName* taken = FindTaken(found);
      taken != nullptr && taken->renamedDirectory != CatalogueTree::kNone) {
    return taken->renamedDirectory;
  }
  uint32_t directory = Insert(parent, FreeName(parent, name), kNodeDirectory);
  TakenFor(found).renamedDirectory = directory;
  return directory;
}

uint32_t TreeBuilder::ResolveParent(std::string_view parentPath) {
  uint32_t parent = CatalogueTree::kRoot;
  size_t start = 0;
  for (;;) {
    size_t end = parentPath.find('\\', start);
    DecodeComponent(parentPath.substr(start, end - start), &scratch_);
    parent = DirectoryFor(parent, scratch_);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  // A leading mark tells a cached empty parent path from no cache at all.
  lastParentPath_.clear();
  lastParentPath_.push_back('/');  // (assign("/") trips a false -Wrestrict in GCC 12 at -O3)
  lastParentPath_.append(parentPath);
  lastParent_ = parent;
  return parent;
}

uint32_t TreeBuilder::NodeFor(uint32_t parent, bool isDirectory) {
  if (isDirectory) {
    // The first listing of a directory that earlier paths implied takes it over.
    uint32_t found = tree_.Lookup(parent, scratch_);
    if (found != CatalogueTree::kNone &&
        (tree_.nodes_[found].flags & (kNodeDirectory | kNodeListed)) != kNodeDirectory) {
      const TakenName* taken = FindTaken(found);
      found = taken != nullptr ? taken->renamedDirectory : CatalogueTree::kNone;
      if (found != CatalogueTree::kNone && (tree_.nodes_[found].flags & kNodeListed) != 0) {
        found = CatalogueTree::kNone;
      }
    }
    if (found != CatalogueTree::kNone) return found;
  }
  uint32_t fileHoldingName = CatalogueTree::kNone;
  if (isDirectory) {
    uint32_t plain = tree_.Lookup(parent, scratch_);
    if (plain != CatalogueTree::kNone && (tree_.nodes_[plain].flags & kNodeDirectory) == 0) {
      fileHoldingName = plain;
    }
  }
  const uint32_t index =
      Insert(parent, FreeName(parent, scratch_), isDirectory ? kNodeDirectory : 0);
  // Later paths through this name lead into this directory, not into the file.
  if (fileHoldingName != CatalogueTree::kNone) {
    TakenName& taken = TakenFor(fileHoldingName);
    if (taken.renamedDirectory == CatalogueTree::kNone) taken.renamedDirectory = index;
  }
  return index;
}

bool TreeBuilder::Add(const ItemRecord& item, const ItemDetails& details, bool damaged) {
  if (!stopReason_.empty()) return false;
  if (limits_.maxItems != 0 && tree_.itemCount_ >= limits_.maxItems) {
    return Stop("item limit (" + std::to_string(limits_.maxItems) + ") reached");
  }
  std::string_view path(item.cFileName, strnlen(item.cFileName, kFileNameSize));
  const size_t cut = path.rfind('\\');
  const std::string_view parentPath =
      cut == std::string_view::npos ? std::string_view() : path.substr(0, cut);
  // Neighbouring items mostly share their directory: its path is resolved once.
  const bool parentKnown =
      cut == std::string_view::npos ||
      (!lastParentPath_.empty() && parentPath == std::string_view(lastParentPath_).substr(1));

  const uint64_t write = FileTimeValue(item.ftLastWriteTime);
  const uint64_t creation = FileTimeValue(item.ftCreationTime);
  const uint64_t access = FileTimeValue(item.ftLastAccessTime);
  const bool otherTimes = creation != write || access != write;
  const size_t descriptionLength = strnlen(details.description, kDescriptionSize - 1);
  // Room for the worst case before anything is added: each component a new node.
  const size_t newNodes =
      parentKnown ? 1
                  : 2 + static_cast<size_t>(std::count(parentPath.begin(), parentPath.end(), '\\'));
  const size_t rawBytes = parentKnown ? path.size() - (cut + 1) : path.size();
  if (!MakeRoom(
          newNodes,
          kMostBytesPerByte * rawBytes + kMostBytesAddedPerName * newNodes + descriptionLength,
          otherTimes ? 1 : 0)) {
    return false;
  }

  uint32_t parent = CatalogueTree::kRoot;
  if (cut != std::string_view::npos) parent = parentKnown ? lastParent_ : ResolveParent(parentPath);
  DecodeComponent(cut == std::string_view::npos ? path : path.substr(cut + 1), &scratch_);
  const uint32_t index = NodeFor(parent, (item.dwFileAttributes & kAttrDirectory) != 0);

  TreeNode& node = tree_.nodes_[index];
  node.flags |= kNodeListed | (damaged ? kNodeDamaged : 0);
  node.attributes = item.dwFileAttributes;
  node.sizeLow = item.nFileSizeLow;
  node.sizeHigh = item.nFileSizeHigh;
  node.writeTimeLow = item.ftLastWriteTime.dwLowDateTime;
  node.writeTimeHigh = item.ftLastWriteTime.dwHighDateTime;
  if (otherTimes) {
    node.flags |= kNodeOtherTimes;
    tree_.otherTimes_.push_back({index, creation, access});
  }
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
  taken_ = {};
  takenCount_ = 0;
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
  // A directory that paths implied and a listing took over came before later nodes.
  std::sort(tree_.otherTimes_.begin(), tree_.otherTimes_.end(),
            [](const OtherTimes& a, const OtherTimes& b) { return a.node < b.node; });
  // Spare room beyond an eighth is given back: a copy, worth it only then, and made only
  // where the copy fits beside the table within the limit.
  const auto shrinkable = [this](size_t capacity, size_t size, size_t elementSize) {
    return capacity > size + size / 8 &&
           (limits_.maxBytes == 0 || tree_.MemoryBytes() + size * elementSize <= limits_.maxBytes);
  };
  if (shrinkable(nodes.capacity(), nodes.size(), sizeof(TreeNode))) nodes.shrink_to_fit();
  auto& arena = tree_.arena_;
  if (shrinkable(arena.capacity(), arena.size(), 1)) arena.shrink_to_fit();
  tree_.status_ = std::move(status);
  return std::move(tree_);
}

}  // namespace catmount
