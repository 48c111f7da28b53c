#include "tools/hosts/catmount/catalogue_fs.h"

#include <fcntl.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/hosts/cathost/item_format.h"
#include "tools/hosts/catmount/catalogue_library.h"

namespace catmount {

namespace {

// The tree never changes while mounted: the kernel may keep entries and attributes a year.
constexpr double kCacheSeconds = 365.0 * 24 * 3600;
constexpr uint64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kSecondsFrom1601To1970 = 11'644'473'600;
constexpr fuse_ino_t kMountRoot = FUSE_ROOT_ID;

constexpr char kDescriptionAttribute[] = "user.description";
constexpr char kDosAttributesAttribute[] = "user.dos.attributes";
constexpr char kItemResultAttribute[] = "user.catalogue.result";
constexpr char kStatusAttribute[] = "user.catalogue.status";
constexpr char kFormatAttribute[] = "user.catalogue.format";
constexpr char kItemsAttribute[] = "user.catalogue.items";

CatalogueLibrary& LibraryOf(fuse_req_t request) {
  return *static_cast<CatalogueLibrary*>(fuse_req_userdata(request));
}

// Inode numbers: one catalogue serves node N as N + 1, so its root is the mount's root. In a
// folder, the mount's root is the folder and node N of catalogue C is (C + 1) << 32 | N. Both
// stay the same when an evicted listing is made again.
fuse_ino_t InodeOf(const CatalogueLibrary& library, size_t catalogue, uint32_t node) {
  if (!library.IsFolder()) return fuse_ino_t{node} + 1;
  return (fuse_ino_t{catalogue} + 1) << 32 | node;
}

struct Place {
  bool folderRoot = false;
  size_t catalogue = 0;
  uint32_t node = 0;
  std::shared_ptr<const ListedCatalogue> listing;  // set when asked for, or when needed
};

// Finds what `inode` stands for; lists its catalogue when `needListing` or when the node lies
// below the catalogue's root. False for an inode that names nothing.
bool Locate(CatalogueLibrary& library, fuse_ino_t inode, bool needListing, Place* place) {
  if (!library.IsFolder()) {
    if (inode == 0 || inode - 1 > UINT32_MAX) return false;
    place->node = static_cast<uint32_t>(inode - 1);
  } else if (inode == kMountRoot) {
    place->folderRoot = true;
    return true;
  } else {
    uint64_t catalogue = (inode >> 32) - 1;
    if ((inode >> 32) == 0 || catalogue >= library.CatalogueCount()) return false;
    place->catalogue = catalogue;
    place->node = static_cast<uint32_t>(inode);
  }
  if (needListing || place->node != CatalogueTree::kRoot) {
    place->listing = library.Listing(place->catalogue);
    if (place->node >= place->listing->tree.NodeCount()) return false;
  }
  return true;
}

timespec TimespecOf(uint64_t ticks) {
  timespec time{};
  time.tv_sec =
      static_cast<time_t>(static_cast<int64_t>(ticks / kTicksPerSecond) - kSecondsFrom1601To1970);
  time.tv_nsec = static_cast<long>(ticks % kTicksPerSecond * 100);
  return time;
}

void FillDirectoryFromFile(const struct stat& file, fuse_ino_t inode, struct stat* attr) {
  *attr = {};
  attr->st_ino = inode;
  attr->st_mode = S_IFDIR | 0555;
  attr->st_nlink = 1;  // unknown: tools then count no subdirectories from it
  attr->st_uid = file.st_uid;
  attr->st_gid = file.st_gid;
  attr->st_blksize = 4096;
  attr->st_mtim = file.st_mtim;
  attr->st_atim = file.st_atim;
  attr->st_ctim = file.st_ctim;
}

void FillAttributes(const CatalogueLibrary& library, const Place& place, fuse_ino_t inode,
                    struct stat* attr) {
  if (place.folderRoot) {
    FillDirectoryFromFile(library.FolderInfo(), inode, attr);
    return;
  }
  const CatalogueFile& file = library.Catalogue(place.catalogue);
  // The root and the directories the paths imply have no item: they take the catalogue's times.
  FillDirectoryFromFile(file.info, inode, attr);
  if (place.node == CatalogueTree::kRoot) return;
  const CatalogueTree& tree = place.listing->tree;
  const TreeNode& node = tree.Node(place.node);
  if ((node.flags & kNodeDirectory) == 0) {
    attr->st_mode = S_IFREG | 0444;
  }
  if ((node.flags & kNodeListed) == 0) return;
  attr->st_size = static_cast<off_t>(tree.Size(place.node));
  NodeTimes times = tree.Times(place.node);
  attr->st_mtim = TimespecOf(times.write);
  attr->st_atim = TimespecOf(times.access);
  attr->st_ctim = TimespecOf(times.creation);
}

fuse_entry_param EntryOf(const CatalogueLibrary& library, const Place& place, fuse_ino_t inode) {
  fuse_entry_param entry{};
  entry.ino = inode;
  entry.attr_timeout = kCacheSeconds;
  entry.entry_timeout = kCacheSeconds;
  FillAttributes(library, place, inode, &entry.attr);
  return entry;
}

// A name that is not there is cached by the kernel as well.
void ReplyMissing(fuse_req_t request) {
  fuse_entry_param entry{};
  entry.entry_timeout = kCacheSeconds;
  fuse_reply_entry(request, &entry);
}

void Lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
  CatalogueLibrary& library = LibraryOf(request);
  Place where;
  if (!Locate(library, parent, true, &where)) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  Place found;
  if (where.folderRoot) {
    size_t catalogue = library.FindCatalogue(name);
    if (catalogue == CatalogueLibrary::kNotFound) {
      ReplyMissing(request);
      return;
    }
    found.catalogue = catalogue;
  } else {
    const CatalogueTree& tree = where.listing->tree;
    if ((tree.Node(where.node).flags & kNodeDirectory) == 0) {
      fuse_reply_err(request, ENOTDIR);
      return;
    }
    uint32_t child = tree.Lookup(where.node, name);
    if (child == CatalogueTree::kNone) {
      ReplyMissing(request);
      return;
    }
    found.catalogue = where.catalogue;
    found.node = child;
    found.listing = where.listing;
  }
  fuse_entry_param entry = EntryOf(library, found, InodeOf(library, found.catalogue, found.node));
  fuse_reply_entry(request, &entry);
}

void GetAttributes(fuse_req_t request, fuse_ino_t inode, fuse_file_info*) {
  CatalogueLibrary& library = LibraryOf(request);
  Place place;
  if (!Locate(library, inode, false, &place)) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  struct stat attr;
  FillAttributes(library, place, inode, &attr);
  fuse_reply_attr(request, &attr, kCacheSeconds);
}

bool IsDirectory(const Place& place) {
  return place.folderRoot || place.node == CatalogueTree::kRoot ||
         (place.listing->tree.Node(place.node).flags & kNodeDirectory) != 0;
}

void OpenDirectory(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) {
  Place place;
  if (!Locate(LibraryOf(request), inode, false, &place)) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  if (!IsDirectory(place)) {
    fuse_reply_err(request, ENOTDIR);
    return;
  }
  info->cache_readdir = 1;
  info->keep_cache = 1;
  fuse_reply_open(request, info);
}

// Entries "." and "..", then the children; an offset is the index of the next entry.
void ReadDirectory(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset, bool plus) {
  CatalogueLibrary& library = LibraryOf(request);
  Place place;
  if (!Locate(library, inode, true, &place)) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  if (!IsDirectory(place)) {
    fuse_reply_err(request, ENOTDIR);
    return;
  }
  std::unique_ptr<char[]> buffer(new char[size]);
  size_t used = 0;
  const size_t childCount =
      place.folderRoot ? library.CatalogueCount() : place.listing->tree.Children(place.node).size();
  // Adds one entry; false when it no longer fits. "." and ".." carry only their inode: the
  // kernel looks nothing up for them.
  auto add = [&](std::string_view name, const Place& entryPlace, fuse_ino_t entryInode,
                 bool dotEntry, off_t next) {
    std::string nameText(name);
    size_t needed;
    if (plus) {
      fuse_entry_param entry{};
      if (dotEntry) {
        entry.ino = entryInode;
        entry.attr.st_ino = entryInode;
        entry.attr.st_mode = S_IFDIR;
      } else {
        entry = EntryOf(library, entryPlace, entryInode);
      }
      needed = fuse_add_direntry_plus(request, buffer.get() + used, size - used, nameText.c_str(),
                                      &entry, next);
    } else {
      struct stat attr {};
      attr.st_ino = entryInode;
      attr.st_mode = dotEntry || IsDirectory(entryPlace) ? S_IFDIR : S_IFREG;
      needed = fuse_add_direntry(request, buffer.get() + used, size - used, nameText.c_str(), &attr,
                                 next);
    }
    if (needed > size - used) return false;
    used += needed;
    return true;
  };
  for (auto at = static_cast<size_t>(offset); at < childCount + 2; ++at) {
    const off_t next = static_cast<off_t>(at + 1);
    if (at < 2) {
      if (!add(at == 0 ? "." : "..", place, inode, true, next)) break;
      continue;
    }
    Place child;
    fuse_ino_t childInode;
    std::string_view name;
    if (place.folderRoot) {
      child.catalogue = at - 2;
      name = library.Catalogue(child.catalogue).name;
      childInode = InodeOf(library, child.catalogue, CatalogueTree::kRoot);
    } else {
      child.catalogue = place.catalogue;
      child.node = place.listing->tree.Children(place.node)[at - 2];
      child.listing = place.listing;
      name = place.listing->tree.Name(child.node);
      childInode = InodeOf(library, child.catalogue, child.node);
    }
    if (!add(name, child, childInode, false, next)) break;
  }
  fuse_reply_buf(request, buffer.get(), used);
}

void ReadDirectoryPlain(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset,
                        fuse_file_info*) {
  ReadDirectory(request, inode, size, offset, false);
}

void ReadDirectoryPlus(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset,
                       fuse_file_info*) {
  ReadDirectory(request, inode, size, offset, true);
}

// Nothing is ever invented: a catalogue records no contents to read.
void Open(fuse_req_t request, fuse_ino_t, fuse_file_info* info) {
  bool writes = (info->flags & O_ACCMODE) != O_RDONLY || (info->flags & O_TRUNC) != 0;
  fuse_reply_err(request, writes ? EROFS : ENOMEDIUM);
}

void Read(fuse_req_t request, fuse_ino_t, size_t, off_t, fuse_file_info*) {
  fuse_reply_err(request, ENOMEDIUM);
}

// The extended attributes of a place, as (name, value) pairs.
std::vector<std::pair<std::string, std::string>> AttributesOf(const Place& place) {
  std::vector<std::pair<std::string, std::string>> attributes;
  if (place.folderRoot) return attributes;
  const ListedCatalogue& listed = *place.listing;
  const CatalogueTree& tree = listed.tree;
  if (place.node == CatalogueTree::kRoot) {
    attributes.emplace_back(kStatusAttribute, tree.Status());
    if (!listed.format.empty()) attributes.emplace_back(kFormatAttribute, listed.format);
    attributes.emplace_back(kItemsAttribute, std::to_string(tree.ItemCount()));
    return attributes;
  }
  const TreeNode& node = tree.Node(place.node);
  if (node.descriptionLength > 0) {
    attributes.emplace_back(kDescriptionAttribute, tree.Description(place.node));
  }
  if ((node.flags & kNodeListed) != 0) {
    char letters[6];
    WriteAttributeLetters(letters, node.attributes);
    attributes.emplace_back(kDosAttributesAttribute, std::string(letters, sizeof letters));
  }
  if ((node.flags & kNodeDamaged) != 0) attributes.emplace_back(kItemResultAttribute, "2");
  return attributes;
}

void ReplySized(fuse_req_t request, const std::string& value, size_t size) {
  if (size == 0) {
    fuse_reply_xattr(request, value.size());
  } else if (size < value.size()) {
    fuse_reply_err(request, ERANGE);
  } else {
    fuse_reply_buf(request, value.data(), value.size());
  }
}

void GetExtendedAttribute(fuse_req_t request, fuse_ino_t inode, const char* name, size_t size) {
  Place place;
  if (!Locate(LibraryOf(request), inode, true, &place)) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  for (const auto& [attributeName, value] : AttributesOf(place)) {
    if (attributeName == name) {
      ReplySized(request, value, size);
      return;
    }
  }
  fuse_reply_err(request, ENODATA);
}

void ListExtendedAttributes(fuse_req_t request, fuse_ino_t inode, size_t size) {
  Place place;
  if (!Locate(LibraryOf(request), inode, true, &place)) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  std::string names;
  for (const auto& attribute : AttributesOf(place)) {
    names += attribute.first;
    names += '\0';
  }
  ReplySized(request, names, size);
}

void StatFileSystem(fuse_req_t request, fuse_ino_t) {
  CatalogueLibrary& library = LibraryOf(request);
  struct statvfs info {};
  info.f_bsize = 4096;
  info.f_frsize = 4096;
  info.f_namemax = 1024;  // a decoded name can pass 255 bytes
  info.f_files =
      library.IsFolder() ? library.CatalogueCount() : library.Listing(0)->tree.NodeCount();
  info.f_flag = ST_RDONLY;
  fuse_reply_statfs(request, &info);
}

void Init(void*, fuse_conn_info* connection) {
  // Directory listings carry attributes: find and ls need no lookup per entry.
  if ((connection->capable & FUSE_CAP_READDIRPLUS) != 0) {
    connection->want |= FUSE_CAP_READDIRPLUS;
    connection->want &= ~static_cast<unsigned>(FUSE_CAP_READDIRPLUS_AUTO);
  }
}

// Everything that would write answers EROFS, should the kernel ever pass it on.
void RefuseAttributes(fuse_req_t request, fuse_ino_t, struct stat*, int, fuse_file_info*) {
  fuse_reply_err(request, EROFS);
}
void RefuseNode(fuse_req_t request, fuse_ino_t, const char*, mode_t, dev_t) {
  fuse_reply_err(request, EROFS);
}
void RefuseDirectory(fuse_req_t request, fuse_ino_t, const char*, mode_t) {
  fuse_reply_err(request, EROFS);
}
void RefuseName(fuse_req_t request, fuse_ino_t, const char*) {
  fuse_reply_err(request, EROFS);
}
void RefuseSymlink(fuse_req_t request, const char*, fuse_ino_t, const char*) {
  fuse_reply_err(request, EROFS);
}
void RefuseRename(fuse_req_t request, fuse_ino_t, const char*, fuse_ino_t, const char*,
                  unsigned int) {
  fuse_reply_err(request, EROFS);
}
void RefuseLink(fuse_req_t request, fuse_ino_t, fuse_ino_t, const char*) {
  fuse_reply_err(request, EROFS);
}
void RefuseWrite(fuse_req_t request, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*) {
  fuse_reply_err(request, EROFS);
}
void RefuseSetAttribute(fuse_req_t request, fuse_ino_t, const char*, const char*, size_t, int) {
  fuse_reply_err(request, EROFS);
}
void RefuseCreate(fuse_req_t request, fuse_ino_t, const char*, mode_t, fuse_file_info*) {
  fuse_reply_err(request, EROFS);
}
void RefuseAllocate(fuse_req_t request, fuse_ino_t, int, off_t, off_t, fuse_file_info*) {
  fuse_reply_err(request, EROFS);
}

fuse_lowlevel_ops MakeOperations() {
  fuse_lowlevel_ops operations{};
  operations.init = Init;
  operations.lookup = Lookup;
  operations.getattr = GetAttributes;
  operations.opendir = OpenDirectory;
  operations.readdir = ReadDirectoryPlain;
  operations.readdirplus = ReadDirectoryPlus;
  operations.open = Open;
  operations.read = Read;
  operations.getxattr = GetExtendedAttribute;
  operations.listxattr = ListExtendedAttributes;
  operations.statfs = StatFileSystem;
  operations.setattr = RefuseAttributes;
  operations.mknod = RefuseNode;
  operations.mkdir = RefuseDirectory;
  operations.unlink = RefuseName;
  operations.rmdir = RefuseName;
  operations.removexattr = RefuseName;
  operations.symlink = RefuseSymlink;
  operations.rename = RefuseRename;
  operations.link = RefuseLink;
  operations.write = RefuseWrite;
  operations.setxattr = RefuseSetAttribute;
  operations.create = RefuseCreate;
  operations.fallocate = RefuseAllocate;
  return operations;
}

}  // namespace

const fuse_lowlevel_ops& CatalogueOperations() {
  static const fuse_lowlevel_ops operations = MakeOperations();
  return operations;
}

}  // namespace catmount
