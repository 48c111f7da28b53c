// Builds MUR catalogues in memory, byte-exact, from a tree description.
//
// Map of the image the writer lays out (all integers little-endian, every link an absolute
// file offset, 0 for none):
//   0   header, 40 bytes: "MURP", version @4, rootNode @20, the rest zero
//   40  the nodes in the order a reader lists them, each 40-byte node followed at once by
//       the 40-byte text chunks it owns (name chain, extension chain, description chain)
// Node: firstLink @0, secondLink @4, sizeOrChild @8 (a directory's first child), stamp @12
// (date << 16 | time), flags @20 (0x1000 directory, NameKind in bits 10-11), name area @24:
//   kind 0  16 inline name bytes
//   kind 1  12 inline name bytes, extension chain @36
//   kind 2  12 inline name bytes, description chain @36
//   kind 3  name chain @24, extension chain @32, description chain @36
// Text chunk: nextChunk @0, 36 bytes of text; the last chunk of a chain is zero padded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/writer/bytes.h"

namespace catwriter {

namespace mur {
constexpr size_t kHeaderSize = 40;
constexpr size_t kNodeSize = 40;
constexpr size_t kChunkSize = 40;
constexpr size_t kChunkTextSize = 36;

// Header fields.
constexpr size_t kMagicField = 0;
constexpr size_t kVersionField = 4;
constexpr size_t kRootNodeField = 20;

// Node fields.
constexpr size_t kFirstLinkField = 0;
constexpr size_t kSecondLinkField = 4;
constexpr size_t kSizeOrChildField = 8;
constexpr size_t kStampField = 12;
constexpr size_t kFlagsField = 20;
constexpr size_t kNameAreaField = 24;
constexpr size_t kNameChainField = 24;       // kind 3
constexpr size_t kExtensionChainField = 32;  // kind 3
constexpr size_t kKindLinkField = 36;        // kind 1 extension, kinds 2 and 3 description

// Chunk fields.
constexpr size_t kNextChunkField = 0;
constexpr size_t kChunkTextField = 4;

constexpr uint32_t kDirectoryFlag = 0x1000;
constexpr int kNameKindShift = 10;
constexpr size_t kLongInlineName = 16;   // kind 0
constexpr size_t kShortInlineName = 12;  // kinds 1 and 2
}  // namespace mur

struct MurNode {
  std::string name;                      // raw bytes, as the reader is to show them
  std::optional<std::string> extension;  // shown after a "." when present
  bool isDirectory = false;
  uint32_t size = 0;  // files only
  DosStamp stamp;
  std::optional<std::string> description;
  std::vector<MurNode> children;  // directories only, in listing order
  // How the name area is laid out, 0 to 3; -1 lets the writer pick the most compact:
  // 0 no extension, no description and a name of at most 16 bytes; 1 no description and a
  // name of at most 12; 2 a description, no extension and a name of at most 12; 3 otherwise.
  int nameKind = -1;
};

// How the nodes of one directory are linked to each other. Each keeps the listing order
// equal to the vector order; they differ in which links the reader has to follow.
enum class MurLinkStyle {
  FirstLinkChain,   // each sibling's firstLink leads to the next
  SecondLinkChain,  // each sibling's secondLink leads to the next
  // Siblings form a binary tree: the first is its root, its firstLink leads to the tree of
  // the first half of the rest and its secondLink to that of the second half.
  Balanced,
};

struct MurTree {
  std::vector<MurNode> top;
  uint32_t version = 1;
  MurLinkStyle links = MurLinkStyle::FirstLinkChain;
};

struct MurLayout {
  uint32_t rootNode = 0;
  std::vector<uint32_t> nodeOffsets;                // listing (depth-first) order
  std::vector<std::vector<uint32_t>> chunkOffsets;  // per node, every text chunk it owns
};

struct MurImage {
  std::vector<uint8_t> bytes;
  MurLayout layout;
};

// The NameKind the writer picks for `node` when it is left to choose.
int ChooseMurNameKind(const MurNode& node);

// Throws std::invalid_argument when an explicit nameKind cannot hold the node's texts, when
// a file has children, or when the image would pass 4 GiB.
MurImage BuildMur(const MurTree& tree);

}  // namespace catwriter
