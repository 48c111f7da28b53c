#include "tools/writer/zex_writer.h"

#include <stdexcept>
#include <utility>

namespace catwriter {
namespace {

// The 16-bit fields of a directory record bound levels, entry numbers and counts.
constexpr uint64_t kMaxU16 = 0xFFFF;
constexpr uint64_t kMaxImageSize = 0xFFFFFFFF;

struct DirRecordPlan {
  uint64_t level = 0;
  const ZexDir* dir = nullptr;  // null for the root record
  const std::vector<ZexFile>* files = nullptr;
  uint64_t firstEntry = 0;
};

// Lists the directory records depth-first with an explicit stack, so that a deep tree cannot
// exhaust the call stack before the level check refuses it.
std::vector<DirRecordPlan> PlanDirRecords(const ZexTree& tree) {
  std::vector<DirRecordPlan> records;
  if (tree.rootRecord) {
    records.push_back({0, nullptr, &tree.rootFiles, 0});
  } else if (!tree.rootFiles.empty()) {
    throw std::invalid_argument("root files need a root record");
  }
  std::vector<std::pair<const ZexDir*, uint64_t>> pending;
  for (auto it = tree.dirs.rbegin(); it != tree.dirs.rend(); ++it) pending.emplace_back(&*it, 1);
  while (!pending.empty()) {
    auto [dir, level] = pending.back();
    pending.pop_back();
    if (level > kMaxU16) throw std::invalid_argument("directory nested deeper than 65535 levels");
    records.push_back({level, dir, &dir->files, 0});
    for (auto it = dir->subdirs.rbegin(); it != dir->subdirs.rend(); ++it) {
      pending.emplace_back(&*it, level + 1);
    }
  }
  return records;
}

void CheckName(const std::string& name, const std::string& extension) {
  if (name.size() > zex::kNameWidth) {
    throw std::invalid_argument("name longer than 8 bytes: " + name);
  }
  if (extension.size() > zex::kExtensionWidth) {
    throw std::invalid_argument("extension longer than 3 bytes: " + extension);
  }
}

void PutEntry(std::vector<uint8_t>& bytes, size_t offset, const std::string& name,
              const std::string& extension, uint8_t attributes, DosStamp stamp, uint32_t size,
              uint32_t noteRef) {
  PutText(bytes, offset + zex::kNameField, name, zex::kNameWidth, ' ');
  PutText(bytes, offset + zex::kExtensionField, extension, zex::kExtensionWidth, ' ');
  bytes.at(offset + zex::kAttributesField) = attributes;
  PutU32(bytes, offset + zex::kNoteRefField, noteRef);
  PutU16(bytes, offset + zex::kTimeField, stamp.time);
  PutU16(bytes, offset + zex::kDateField, stamp.date);
  PutU32(bytes, offset + zex::kSizeField, size);
}

// Numbers the entries in table order, each record's files consecutive from its firstEntry,
// checking names and the 16-bit limits; the number of entries.
uint64_t NumberEntries(std::vector<DirRecordPlan>& records) {
  uint64_t entries = 0;
  for (DirRecordPlan& record : records) {
    if (record.dir != nullptr) CheckName(record.dir->name, record.dir->extension);
    record.firstEntry = entries;
    if (record.files->size() > kMaxU16) {
      throw std::invalid_argument("a directory holds more than 65535 files");
    }
    if (!record.files->empty() && record.firstEntry > kMaxU16) {
      throw std::invalid_argument("entry number past 65535: the catalogue holds too many files");
    }
    for (const ZexFile& file : *record.files) CheckName(file.name, file.extension);
    entries += record.files->size();
  }
  return entries;
}

// The bytes of the description blocks (a 16-bit length, then the text) of every directory and
// file.
uint64_t NoteBlockBytes(const std::vector<DirRecordPlan>& records) {
  uint64_t bytes = 0;
  auto add = [&](const std::optional<std::string>& description) {
    if (!description) return;
    if (description->size() > kMaxU16) throw std::invalid_argument("description longer than 65535");
    bytes += 2 + description->size();
  };
  for (const DirRecordPlan& record : records) {
    if (record.dir != nullptr) add(record.dir->description);
    for (const ZexFile& file : *record.files) add(file.description);
  }
  return bytes;
}

void PutHeader(std::vector<uint8_t>& bytes, const ZexLayout& layout, uint16_t formatMinor,
               uint64_t imageSize) {
  PutU32(bytes, zex::kEntryTableOffsetField, layout.entryTableOffset);
  PutU32(bytes, zex::kDirTableOffsetField, layout.dirTableOffset);
  PutU32(bytes, zex::kThirdOffsetField, layout.noteBase);
  PutU32(bytes, zex::kDirTableSizeField, layout.dirTableSize);
  PutU16(bytes, zex::kFormatMinorField, formatMinor);
  PutU16(bytes, zex::kCheckWordAField, zex::kCheckWordA);
  PutU16(bytes, zex::kCheckWordBField, zex::kCheckWordB);
  PutU32(bytes, zex::kCheckValueAField, static_cast<uint32_t>(imageSize));
  PutU32(bytes, zex::kNoteBaseField, layout.noteBase);
  PutU32(bytes, zex::kCheckValueBField, layout.noteBase);
}

}  // namespace

ZexImage BuildZex(const ZexTree& tree) {
  if (tree.formatMinor != 2 && tree.formatMinor != 4 && tree.formatMinor != 8) {
    throw std::invalid_argument("formatMinor must be 2, 4 or 8");
  }
  std::vector<DirRecordPlan> records = PlanDirRecords(tree);
  const uint64_t entryCount = NumberEntries(records);

  const uint64_t dirTableOffset = zex::kHeaderSize;
  const uint64_t dirTableSize = records.size() * zex::kDirRecordSize;
  const uint64_t entryTableOffset = dirTableOffset + dirTableSize;
  const uint64_t noteBase = entryTableOffset + entryCount * zex::kEntrySize;
  const uint64_t imageSize = noteBase + NoteBlockBytes(records);
  if (imageSize > kMaxImageSize) throw std::invalid_argument("catalogue larger than 4 GiB");

  ZexImage image;
  std::vector<uint8_t>& bytes = image.bytes;
  bytes.assign(imageSize, 0);
  ZexLayout& layout = image.layout;
  layout.dirTableOffset = static_cast<uint32_t>(dirTableOffset);
  layout.dirTableSize = static_cast<uint32_t>(dirTableSize);
  layout.entryTableOffset = static_cast<uint32_t>(entryTableOffset);
  layout.noteBase = static_cast<uint32_t>(noteBase);

  PutHeader(bytes, layout, tree.formatMinor, imageSize);

  uint64_t noteCursor = noteBase;
  auto appendNote = [&](const std::optional<std::string>& description) -> uint32_t {
    if (!description) return 0;
    const uint32_t offset = static_cast<uint32_t>(noteCursor);
    PutU16(bytes, offset, static_cast<uint16_t>(description->size()));
    for (size_t i = 0; i < description->size(); ++i) {
      bytes[offset + 2 + i] = static_cast<uint8_t>((*description)[i]);
    }
    noteCursor += 2 + description->size();
    layout.noteOffsets.push_back(offset);
    return offset - layout.noteBase + 1;
  };

  uint64_t entryCursor = entryTableOffset;
  for (size_t i = 0; i < records.size(); ++i) {
    const DirRecordPlan& record = records[i];
    const uint32_t recordOffset = static_cast<uint32_t>(dirTableOffset + i * zex::kDirRecordSize);
    layout.dirRecordOffsets.push_back(recordOffset);
    PutU16(bytes, recordOffset + zex::kLevelField, static_cast<uint16_t>(record.level));
    const size_t dirEntry = recordOffset + zex::kDirEntryField;
    if (record.dir != nullptr) {
      const ZexDir& dir = *record.dir;
      PutEntry(bytes, dirEntry, dir.name, dir.extension, dir.attributes, dir.stamp, 0,
               appendNote(dir.description));
    } else {
      // The root is never listed; its entry carries nothing but the directory bit.
      bytes[dirEntry + zex::kAttributesField] = zex::kDirectory;
    }
    // An empty directory's firstEntry is never read; keep it in range all the same.
    PutU16(bytes, recordOffset + zex::kFirstEntryField,
           static_cast<uint16_t>(record.firstEntry > kMaxU16 ? 0 : record.firstEntry));
    PutU16(bytes, recordOffset + zex::kEntryCountField,
           static_cast<uint16_t>(record.files->size()));
    for (const ZexFile& file : *record.files) {
      const uint32_t entryOffset = static_cast<uint32_t>(entryCursor);
      layout.entryOffsets.push_back(entryOffset);
      PutEntry(bytes, entryOffset, file.name, file.extension, file.attributes, file.stamp,
               file.size, appendNote(file.description));
      entryCursor += zex::kEntrySize;
    }
  }
  return image;
}

}  // namespace catwriter
