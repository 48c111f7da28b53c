// libFuzzer target for catmount's tree builder: the input (fuzz/tree_input.h) is a sequence of
// items as a module delivers them, with hostile names (backslashes, empty components, `.`,
// `..`, `/`, names ending in `~N`, duplicates, paths cut at 260 bytes), damaged flags,
// attributes and descriptions, under limits or none. The finished tree is then checked whole:
//   - every node but the root sits in a directory made before it, its name non-empty, without
//     '/', '\' or a zero byte, not "." or "..", and Lookup finds it there;
//   - the children ranges hold each node once, under its parent, no two of one name;
//   - every accepted item is one listed node (nothing merged, nothing lost): its attributes,
//     times, damage and description, and on its path each name the decoded component itself
//     or that name with the first suffix "~N" that was free, all of ~2 ... ~N-1 being taken;
//   - the limits: a refusal says which limit, holds from then on, and the tree's memory stays
//     within the byte limit.
// A breach aborts, which libFuzzer reports as a crash.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/tree_input.h"
#include "fuzz/catmount_names.h"
#include "tools/common/item_format.h"
#include "tools/hosts/catmount/catalogue_tree.h"

namespace {

using catmount::CatalogueTree;

// Items per input at most, repeats included: enough for suffixes past ~1000.
constexpr size_t kMostItems = 4096;
// Suffixes below a name's own that are checked to be taken.
constexpr uint64_t kSuffixesChecked = 16;

[[noreturn]] void Fail(const char* what, uint32_t node) {
  std::fprintf(stderr, "catmount_tree_fuzzer: %s (node %u)\n", what, node);
  std::abort();
}

void Check(bool holds, const char* what, uint32_t node = 0) {
  if (!holds) Fail(what, node);
}

std::string Decoded(std::string_view raw) {
  std::string text(3 * raw.size() + 64, '\0');
  char* end = WriteCp437AsUtf8(text.data(), raw.data(), raw.size());
  text.resize(static_cast<size_t>(end - text.data()));
  return text;
}

// A path component as the tree should name it before any suffix.
std::string ExpectedName(std::string_view raw) {
  return EscapedComponent(Decoded(raw));
}

// The N of `name` == `base` + "~N" (N >= 2, no leading zero), or 0.
uint64_t SuffixNumber(std::string_view name, std::string_view base) {
  if (name.size() <= base.size() + 1 || name.substr(0, base.size()) != base ||
      name[base.size()] != '~') {
    return 0;
  }
  std::string_view digits = name.substr(base.size() + 1);
  if (digits.size() > 10 || digits[0] == '0') return 0;
  uint64_t number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  return number >= 2 ? number : 0;
}

// `node`'s name is `base`, or `base`~N with every smaller suffix taken in its directory.
void CheckNameFrom(const CatalogueTree& tree, uint32_t node, const std::string& base) {
  std::string_view name = tree.Name(node);
  if (name == base) return;
  uint64_t number = SuffixNumber(name, base);
  Check(number != 0, "a name is neither its component nor the component with a suffix", node);
  const uint32_t parent = tree.Node(node).parent;
  Check(tree.Lookup(parent, base) != CatalogueTree::kNone, "a suffix where the name was free",
        node);
  // The nearest smaller suffixes and the first (all of them would make long runs quadratic).
  for (uint64_t smaller = number - 1; smaller >= 2 && smaller + kSuffixesChecked >= number;
       --smaller) {
    Check(tree.Lookup(parent, base + "~" + std::to_string(smaller)) != CatalogueTree::kNone,
          "a suffix past a free one", node);
  }
  Check(number == 2 || tree.Lookup(parent, base + "~2") != CatalogueTree::kNone,
        "a suffix past a free one", node);
}

void CheckStructure(const CatalogueTree& tree) {
  const auto nodeCount = static_cast<uint32_t>(tree.NodeCount());
  Check(nodeCount >= 1 && (tree.Node(CatalogueTree::kRoot).flags & catmount::kNodeDirectory) != 0,
        "no root directory");
  size_t children = 0;
  for (uint32_t node = 0; node < nodeCount; ++node) {
    const catmount::TreeNode& entry = tree.Node(node);
    const bool isDirectory = (entry.flags & catmount::kNodeDirectory) != 0;
    Check(isDirectory || entry.childCount == 0, "a file with children", node);
    std::set<std::string_view> names;
    for (uint32_t child : tree.Children(node)) {
      Check(child > node && child < nodeCount, "a child out of order", node);
      Check(tree.Node(child).parent == node, "a child of another parent", child);
      Check(names.insert(tree.Name(child)).second, "two children of one name", child);
    }
    children += entry.childCount;
    if (node == CatalogueTree::kRoot) continue;
    Check(entry.parent < node, "a parent made after its child", node);
    std::string_view name = tree.Name(node);
    Check(!name.empty() && name != "." && name != "..", "a name that is no component", node);
    Check(name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos,
          "a name with a separator or a zero byte", node);
    Check(tree.Lookup(entry.parent, name) == node, "Lookup misses a node", node);
  }
  Check(children == nodeCount - 1, "a node in no directory or in two");
}

// The accepted item numbered `number` (its size) against its node.
void CheckItem(const CatalogueTree& tree, uint32_t node, const ItemRecord& record,
               const tree_input::Item& item) {
  const catmount::TreeNode& entry = tree.Node(node);
  Check(entry.attributes == record.dwFileAttributes, "attributes changed", node);
  const bool isDirectory = (record.dwFileAttributes & kAttrDirectory) != 0;
  Check(((entry.flags & catmount::kNodeDirectory) != 0) == isDirectory, "file or directory", node);
  Check(((entry.flags & catmount::kNodeDamaged) != 0) == ((item.flags & tree_input::kDamaged) != 0),
        "damage lost or invented", node);
  catmount::NodeTimes times = tree.Times(node);
  Check(times.write == FileTimeValue(record.ftLastWriteTime) &&
            times.creation == FileTimeValue(record.ftCreationTime) &&
            times.access == FileTimeValue(record.ftLastAccessTime),
        "times changed", node);
  std::string_view description(item.description);
  description = description.substr(0, std::min(description.find('\0'), kDescriptionSize - 1));
  Check(tree.Description(node) == Decoded(description), "description changed", node);

  // The path, from the leaf up: each name its component's, suffixed or not.
  std::string_view path(record.cFileName, strnlen(record.cFileName, kFileNameSize));
  uint32_t at = node;
  for (;;) {
    Check(at != CatalogueTree::kRoot, "a path deeper than its node", node);
    size_t cut = path.rfind('\\');
    CheckNameFrom(tree, at,
                  ExpectedName(cut == std::string_view::npos ? path : path.substr(cut + 1)));
    at = tree.Node(at).parent;
    Check((tree.Node(at).flags & catmount::kNodeDirectory) != 0, "a parent that is a file", node);
    if (cut == std::string_view::npos) break;
    path = path.substr(0, cut);
  }
  Check(at == CatalogueTree::kRoot, "a path shallower than its node", node);
}

ItemRecord RecordOf(const tree_input::Item& item, uint32_t number) {
  ItemRecord record{};
  std::string name = item.name;
  if ((item.flags & tree_input::kFilled) != 0) {
    // The name over the whole field, without a zero byte: a path cut to the field.
    std::string pattern = name.empty() ? std::string("x") : name;
    for (char& c : pattern) {
      if (c == '\0') c = 'z';
    }
    name.clear();
    while (name.size() < kFileNameSize) name += pattern;
  }
  std::memcpy(record.cFileName, name.data(), std::min(name.size(), kFileNameSize));
  record.dwFileAttributes =
      kAttrOffline | kAttrArchive |
      ((item.flags & tree_input::kDirectory) != 0 ? uint32_t{kAttrDirectory} : 0u) |
      item.attributes;
  record.nFileSizeLow = number;
  record.nFileSizeHigh = item.flags;
  record.ftLastWriteTime = {number, 0x01D00000};
  record.ftCreationTime = record.ftLastWriteTime;
  record.ftLastAccessTime = record.ftLastWriteTime;
  if ((item.flags & tree_input::kOtherTimes) != 0) {
    record.ftCreationTime.dwLowDateTime += 1;
    record.ftLastAccessTime.dwHighDateTime += 1;
  }
  return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const tree_input::Input input = tree_input::Decode(std::span<const uint8_t>(data, size));
  catmount::TreeLimits limits;
  limits.maxItems = input.maxItems;
  limits.maxBytes = input.maxBytesSteps * tree_input::kLimitStep;
  static const size_t emptyTreeBytes = catmount::TreeBuilder().Finish("").MemoryBytes();

  catmount::TreeBuilder builder(limits);
  // The accepted items by number; their records are made again from that number.
  std::vector<const tree_input::Item*> accepted;
  accepted.reserve(kMostItems);
  bool refused = false;
  for (const tree_input::Item& item : input.items) {
    for (int copy = 0; copy <= item.repeat && !refused && accepted.size() < kMostItems; ++copy) {
      ItemRecord record = RecordOf(item, static_cast<uint32_t>(accepted.size()));
      ItemDetails details{};
      std::memcpy(details.description, item.description.data(),
                  std::min(item.description.size(), sizeof details.description - 1));
      if (builder.Add(record, details, (item.flags & tree_input::kDamaged) != 0)) {
        accepted.push_back(&item);
      } else {
        refused = true;
      }
    }
  }
  if (refused) {
    std::string_view reason = builder.StopReason();
    const std::string itemLimit = "item limit (" + std::to_string(limits.maxItems) + ") reached";
    Check(reason == itemLimit ? accepted.size() == limits.maxItems
                              : limits.maxBytes != 0 && reason.starts_with("memory limit ("),
          "a refusal for no limit reached");
    ItemRecord again = RecordOf(input.items.front(), 0);
    ItemDetails details{};
    Check(!builder.Add(again, details, false), "an item taken after a refusal");
  } else {
    Check(builder.StopReason().empty(), "a stop reason without a refusal");
    Check(limits.maxItems == 0 || accepted.size() <= limits.maxItems, "past the item limit");
  }

  const CatalogueTree tree = builder.Finish("fuzzed");
  Check(tree.ItemCount() == accepted.size(), "the item count");
  if (limits.maxBytes != 0) {
    Check(tree.MemoryBytes() <= std::max(limits.maxBytes, emptyTreeBytes), "past the memory limit");
  }
  CheckStructure(tree);

  // Each accepted item is the one listed node of its size.
  std::vector<uint32_t> nodeOf(accepted.size(), CatalogueTree::kNone);
  for (uint32_t node = 1; node < tree.NodeCount(); ++node) {
    if ((tree.Node(node).flags & catmount::kNodeListed) == 0) continue;
    const uint32_t number = tree.Node(node).sizeLow;
    Check(number < accepted.size() && nodeOf[number] == CatalogueTree::kNone,
          "a listed node of no item, or two of one", node);
    nodeOf[number] = node;
  }
  for (uint32_t number = 0; number < accepted.size(); ++number) {
    Check(nodeOf[number] != CatalogueTree::kNone, "an item lost", number);
    CheckItem(tree, nodeOf[number], RecordOf(*accepted[number], number), *accepted[number]);
  }
  return 0;
}
