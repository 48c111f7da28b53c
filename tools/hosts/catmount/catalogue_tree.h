// The items of one catalogue as a compact, immutable directory tree: one vector of 44-byte
// nodes addressed by 32-bit indices, one arena for every name and description, each
// directory's children as a range of one index vector, and one open-addressing hash of
// (parent, name) for lookups in constant time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "modules/interface/host_interface.h"

namespace catmount {

// Names that cannot be path components, shown instead as characters that code page 437 lacks,
// so that no decoded name can ever equal an escape.
inline constexpr std::string_view kEmptyNameEscape = "\u2205";   // ∅
inline constexpr std::string_view kDotNameEscape = "\u2024";     // ․ one dot leader
inline constexpr std::string_view kDotDotNameEscape = "\u2025";  // ‥ two dot leader
inline constexpr std::string_view kSlashEscape = "\u2215";       // ∕ division slash
inline constexpr std::string_view kDuplicateSuffix = "~";        // NAME~2, NAME~3, ...

struct TreeNode {
  uint32_t nameOffset;  // UTF-8, in the arena
  uint32_t parent;
  uint32_t firstChild;  // directories: into the child index vector
  uint32_t childCount;
  uint32_t sizeLow;
  uint32_t sizeHigh;
  uint32_t writeTimeLow;  // FILETIME of ftLastWriteTime
  uint32_t writeTimeHigh;
  uint32_t attributes;         // dwFileAttributes as delivered
  uint32_t descriptionOffset;  // the module's code page 437 bytes, in the arena
  uint16_t nameLength;
  uint8_t descriptionLength;
  uint8_t flags;
};
static_assert(sizeof(TreeNode) == 44);

enum : uint8_t {
  kNodeDirectory = 0x1,
  kNodeListed = 0x2,      // an item of the catalogue, not a directory its paths imply
  kNodeDamaged = 0x4,     // delivered with result 2
  kNodeOtherTimes = 0x8,  // creation or access time differs from the write time
};

struct NodeTimes {
  uint64_t creation;
  uint64_t access;
  uint64_t write;
};

// The creation and access times of a node whose times differ from its write time.
struct OtherTimes {
  uint32_t node;
  uint64_t creation;
  uint64_t access;
};

class CatalogueTree {
 public:
  static constexpr uint32_t kRoot = 0;
  static constexpr uint32_t kNone = UINT32_MAX;

  // The child of `directory` called `name`, or kNone.
  uint32_t Lookup(uint32_t directory, std::string_view name) const;

  size_t NodeCount() const { return nodes_.size(); }
  const TreeNode& Node(uint32_t index) const { return nodes_[index]; }
  std::string_view Name(uint32_t index) const {
    return {arena_.data() + nodes_[index].nameOffset, nodes_[index].nameLength};
  }
  std::span<const uint32_t> Children(uint32_t directory) const {
    const TreeNode& node = nodes_[directory];
    return {children_.data() + node.firstChild, node.childCount};
  }
  uint64_t Size(uint32_t index) const {
    return uint64_t{nodes_[index].sizeHigh} << 32 | nodes_[index].sizeLow;
  }
  NodeTimes Times(uint32_t index) const;
  // The description decoded to UTF-8; empty when the item has none.
  std::string Description(uint32_t index) const;

  // How the listing ended: "complete" or what stopped it, in words.
  const std::string& Status() const { return status_; }
  uint64_t ItemCount() const { return itemCount_; }
  // Heap bytes the tree holds: the capacities of its tables, and the object itself.
  size_t MemoryBytes() const;

 private:
  friend class TreeBuilder;

  std::vector<TreeNode> nodes_;
  std::vector<char> arena_;
  std::vector<uint32_t> children_;
  std::vector<uint32_t> slots_;         // node indices, kNone where empty; size a power of two
  std::vector<OtherTimes> otherTimes_;  // sorted by node once finished
  std::string status_;
  uint64_t itemCount_ = 0;
};

// What a tree may grow to before the listing stops.
struct TreeLimits {
  uint64_t maxItems = 0;  // 0: no limit
  size_t maxBytes = 0;    // heap bytes of the tree as MemoryBytes() counts them; 0: no limit
};

// Builds a tree from items in listing order. Paths split at backslashes; names are decoded
// from code page 437 to UTF-8; directories that paths imply are created; names that cannot be
// path components are escaped and a name already taken in its directory gets the first free
// suffix "~2", "~3", ... so that every item stays visible.
//
// The tables grow only with what is added. Under a memory limit the room an item may need is
// checked before anything of it is added, so the builder's tables (the tree's, the child
// indices Finish will make, and its own table of taken names) never hold more than maxBytes
// together, counted also at the moment a table moves to a larger block while its old one is
// still held. Not counted: the allocator's own overhead and under 2 KiB of scratch text.
class TreeBuilder {
 public:
  explicit TreeBuilder(TreeLimits limits = {});

  // Adds one delivered item; `damaged` when GetArcItem returned 2 for it. False when a limit is
  // reached or the tree is full: the item is then left out, nothing of it is added, and the
  // listing must stop (every later call is refused too).
  bool Add(const ItemRecord& item, const ItemDetails& details, bool damaged);

  // Why Add refused, in words; empty while it has not.
  std::string_view StopReason() const { return stopReason_; }

  CatalogueTree Finish(std::string status);

 private:
  // Per node whose name another item wanted: the next suffix to try after it, and the
  // directory that paths through the name lead to when a file holds the name.
  struct TakenName {
    uint32_t holder;  // kNone where the slot is empty
    uint32_t nextSuffix;
    uint32_t renamedDirectory;
  };

  // Makes room for an item of at most `newNodes` nodes and `newBytes` arena bytes, with
  // `newTimes` entries of other times, within the limits; false (with the reason) otherwise.
  bool MakeRoom(size_t newNodes, size_t newBytes, size_t newTimes);
  // Bytes of every table the builder holds, the children the finished tree will need included.
  size_t BytesHeld() const;
  bool Stop(std::string reason);

  uint32_t Insert(uint32_t parent, std::string_view name, uint8_t flags);
  void GrowSlots(size_t slotCount);
  // The directory that path component `name` under `parent` stands for, created when missing.
  uint32_t DirectoryFor(uint32_t parent, std::string_view name);
  // `name` itself when free under `parent`, else the first free "name~N".
  std::string_view FreeName(uint32_t parent, std::string_view name);
  // The directory a raw parent path (components split by backslashes) leads to, each
  // component found or made; remembered for the next item.
  uint32_t ResolveParent(std::string_view parentPath);
  // The node of a listed item named scratch_ under `parent`: the directory earlier paths
  // implied, taken over by its first listing, or a new node under the first free name.
  uint32_t NodeFor(uint32_t parent, bool isDirectory);

  TakenName* FindTaken(uint32_t holder);
  TakenName& TakenFor(uint32_t holder);
  void GrowTaken(size_t slotCount);

  CatalogueTree tree_;
  TreeLimits limits_;
  std::string stopReason_;
  std::vector<TakenName> taken_;  // open addressing by holder; size zero or a power of two
  size_t takenCount_ = 0;
  // The raw parent path of the previous item and the directory it resolved to.
  std::string lastParentPath_;
  uint32_t lastParent_ = CatalogueTree::kRoot;
  std::string scratch_;
  std::string suffixed_;
};

}  // namespace catmount
