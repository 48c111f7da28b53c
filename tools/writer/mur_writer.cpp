#include "tools/writer/mur_writer.h"

#include <stdexcept>

namespace catwriter {
namespace {

constexpr uint64_t kMaxImageSize = 0xFFFFFFFF;

class MurBuilder {
 public:
  explicit MurBuilder(MurLinkStyle links) : links_(links) {
    Allocate(mur::kHeaderSize);
    bytes_[0] = 'M';
    bytes_[1] = 'U';
    bytes_[2] = 'R';
    bytes_[3] = 'P';
  }

  // Emits list[lo, hi) in listing order and returns the offset of the node that leads to
  // them all (0 when the range is empty).
  uint32_t EmitSiblings(const std::vector<MurNode>& list, size_t lo, size_t hi) {
    if (lo == hi) return 0;
    if (links_ == MurLinkStyle::Balanced) {
      const uint32_t head = EmitNode(list[lo]);
      const size_t firstHalf = (hi - lo) / 2;  // ceil((hi - lo - 1) / 2)
      const size_t middle = lo + 1 + firstHalf;
      PutU32(bytes_, head + mur::kFirstLinkField, EmitSiblings(list, lo + 1, middle));
      PutU32(bytes_, head + mur::kSecondLinkField, EmitSiblings(list, middle, hi));
      return head;
    }
    // The chains are built in a loop: a directory of many files must not recurse once each.
    const size_t linkField =
        links_ == MurLinkStyle::FirstLinkChain ? mur::kFirstLinkField : mur::kSecondLinkField;
    const uint32_t head = EmitNode(list[lo]);
    uint32_t previous = head;
    for (size_t i = lo + 1; i < hi; ++i) {
      const uint32_t next = EmitNode(list[i]);
      PutU32(bytes_, previous + linkField, next);
      previous = next;
    }
    return head;
  }

  MurImage Finish(uint32_t version, uint32_t rootNode) {
    PutU32(bytes_, mur::kVersionField, version);
    PutU32(bytes_, mur::kRootNodeField, rootNode);
    layout_.rootNode = rootNode;
    return MurImage{std::move(bytes_), std::move(layout_)};
  }

 private:
  uint32_t Allocate(size_t size) {
    const uint64_t offset = bytes_.size();
    if (offset + size > kMaxImageSize) throw std::invalid_argument("catalogue larger than 4 GiB");
    bytes_.resize(offset + size, 0);
    return static_cast<uint32_t>(offset);
  }

  // Writes `text` as a chain of chunks right here and returns the first chunk's offset.
  uint32_t AppendChain(const std::string& text, std::vector<uint32_t>& owned) {
    const size_t chunkCount =
        text.empty() ? 1 : (text.size() + mur::kChunkTextSize - 1) / mur::kChunkTextSize;
    uint32_t first = 0;
    uint32_t previous = 0;
    for (size_t i = 0; i < chunkCount; ++i) {
      const uint32_t chunk = Allocate(mur::kChunkSize);
      const size_t begin = i * mur::kChunkTextSize;
      const std::string piece = begin < text.size() ? text.substr(begin, mur::kChunkTextSize) : "";
      PutText(bytes_, chunk + mur::kChunkTextField, piece, mur::kChunkTextSize, 0);
      if (previous != 0) PutU32(bytes_, previous + mur::kNextChunkField, chunk);
      if (first == 0) first = chunk;
      previous = chunk;
      owned.push_back(chunk);
    }
    return first;
  }

  uint32_t EmitNode(const MurNode& node) {
    if (!node.isDirectory && !node.children.empty()) {
      throw std::invalid_argument("a file node cannot have children: " + node.name);
    }
    const int kind = node.nameKind < 0 ? ChooseMurNameKind(node) : node.nameKind;
    CheckKind(node, kind);

    const uint32_t offset = Allocate(mur::kNodeSize);
    layout_.nodeOffsets.push_back(offset);
    layout_.chunkOffsets.emplace_back();
    const size_t index = layout_.chunkOffsets.size() - 1;
    std::vector<uint32_t> owned;

    PutU32(bytes_, offset + mur::kStampField,
           static_cast<uint32_t>(node.stamp.date) << 16 | node.stamp.time);
    uint32_t flags = static_cast<uint32_t>(kind) << mur::kNameKindShift;
    if (node.isDirectory) flags |= mur::kDirectoryFlag;
    PutU32(bytes_, offset + mur::kFlagsField, flags);
    if (!node.isDirectory) PutU32(bytes_, offset + mur::kSizeOrChildField, node.size);

    // An empty description or name needs no chain: link 0 reads as the empty text. An
    // extension always gets one, because link 0 would drop the "." as well.
    const std::string description = node.description.value_or("");
    switch (kind) {
      case 0:
        PutText(bytes_, offset + mur::kNameAreaField, node.name, mur::kLongInlineName, 0);
        break;
      case 1:
        PutText(bytes_, offset + mur::kNameAreaField, node.name, mur::kShortInlineName, 0);
        if (node.extension) {
          PutU32(bytes_, offset + mur::kKindLinkField, AppendChain(*node.extension, owned));
        }
        break;
      case 2:
        PutText(bytes_, offset + mur::kNameAreaField, node.name, mur::kShortInlineName, 0);
        if (!description.empty()) {
          PutU32(bytes_, offset + mur::kKindLinkField, AppendChain(description, owned));
        }
        break;
      default:
        if (!node.name.empty()) {
          PutU32(bytes_, offset + mur::kNameChainField, AppendChain(node.name, owned));
        }
        if (node.extension) {
          PutU32(bytes_, offset + mur::kExtensionChainField, AppendChain(*node.extension, owned));
        }
        if (!description.empty()) {
          PutU32(bytes_, offset + mur::kKindLinkField, AppendChain(description, owned));
        }
        break;
    }
    layout_.chunkOffsets[index] = std::move(owned);

    if (node.isDirectory) {
      const uint32_t firstChild = EmitSiblings(node.children, 0, node.children.size());
      PutU32(bytes_, offset + mur::kSizeOrChildField, firstChild);
    }
    return offset;
  }

  static void CheckKind(const MurNode& node, int kind) {
    bool fits = false;
    switch (kind) {
      case 0:
        fits = !node.extension && !node.description && node.name.size() <= mur::kLongInlineName;
        break;
      case 1:
        fits = !node.description && node.name.size() <= mur::kShortInlineName;
        break;
      case 2:
        fits = !node.extension && node.name.size() <= mur::kShortInlineName;
        break;
      case 3:
        fits = true;
        break;
      default:
        throw std::invalid_argument("nameKind must be -1 or 0 to 3");
    }
    if (!fits) {
      throw std::invalid_argument("nameKind " + std::to_string(kind) +
                                  " cannot hold the texts of " + node.name);
    }
  }

  MurLinkStyle links_;
  std::vector<uint8_t> bytes_;
  MurLayout layout_;
};

}  // namespace

int ChooseMurNameKind(const MurNode& node) {
  if (!node.extension && !node.description && node.name.size() <= mur::kLongInlineName) return 0;
  if (!node.description && node.name.size() <= mur::kShortInlineName) return 1;
  if (!node.extension && node.name.size() <= mur::kShortInlineName) return 2;
  return 3;
}

MurImage BuildMur(const MurTree& tree) {
  MurBuilder builder(tree.links);
  const uint32_t rootNode = builder.EmitSiblings(tree.top, 0, tree.top.size());
  return builder.Finish(tree.version, rootNode);
}

}  // namespace catwriter
