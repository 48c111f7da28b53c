#include "tools/hosts/catmount/catalogue_fs.h"

#include <fcntl.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/file_time.h"
#include "tools/common/item_format.h"
#include "tools/hosts/catmount/catalogue_library.h"

namespace catmount {

namespace {

// A view never changes (a changed file gets a new view, under new inode numbers, and the kernel
// is told to drop the old one): the kernel may keep entries and attributes a year.
constexpr double kCacheSeconds = 365.0 * 24 * 3600;
constexpr fuse_ino_t kMountRoot = FUSE_ROOT_ID;

constexpr char kDescriptionAttribute[] = "user.description";
constexpr char kDosAttributesAttribute[] = "user.dos.attributes";
constexpr char kItemResultAttribute[] = "user.catalogue.result";
constexpr char kStatusAttribute[] = "user.catalogue.status";
constexpr char kFormatAttribute[] = "user.catalogue.format";
constexpr char kItemsAttribute[] = "user.catalogue.items";

const ServedLibrary& ServedOf(fuse_req_t request) {
  return *static_cast<const ServedLibrary*>(fuse_req_userdata(request));
}

CatalogueLibrary& LibraryOf(fuse_req_t request) {
  return ServedOf(request).library;
}

// Inode numbers: one catalogue serves node N as N + 1, so its root is the mount's root. In a
// folder, node N of a catalogue's view V is V << 32 | N: a view is never reused, so a
// catalogue listed again from a changed file never serves its new nodes under numbers the
// kernel holds for the old ones. Views start at 1: folder F of the source (the source itself
// is folder 0, the mount's root) is F + 1.
fuse_ino_t InodeOf(const CatalogueLibrary& library, uint32_t view, uint32_t node) {
  if (!library.IsFolder()) return fuse_ino_t{node} + 1;
  return fuse_ino_t{view} << 32 | node;
}

fuse_ino_t FolderInode(size_t folder) {
  return kMountRoot + folder;
}

struct Place {
  bool folderRoot = false;  // a folder of the source
  size_t folder = 0;
  size_t catalogue = 0;
  uint32_t view = 0;
  uint32_t node = 0;
  struct stat rootInfo {};  // the catalogue file (or the folder) its root shows
  std::shared_ptr<const ListedCatalogue> listing;  // set when asked for, or when needed
};

// Finds what `inode` stands for; lists its catalogue when `needListing` or when the node lies
// below the catalogue's root. Returns 0, or the error to answer: ENOENT for an inode that
// names nothing, ESTALE for one of a view replaced since the kernel was given it.
int Locate(CatalogueLibrary& library, fuse_ino_t inode, bool needListing, Place* place) {
  if (!library.IsFolder()) {
    if (inode == 0 || inode - 1 > UINT32_MAX) return ENOENT;
    place->node = static_cast<uint32_t>(inode - 1);
    place->listing = library.SingleListing();
    place->rootInfo = place->listing->info;
    return place->node < place->listing->tree.NodeCount() ? 0 : ENOENT;
  }
  if ((inode >> 32) == 0) {
    if (inode == 0 || inode - 1 >= library.FolderCount()) return ENOENT;
    place->folderRoot = true;
    place->folder = static_cast<size_t>(inode - 1);
    place->rootInfo = library.Folder(place->folder).info;
    return 0;
  }
  place->view = static_cast<uint32_t>(inode >> 32);
  place->node = static_cast<uint32_t>(inode);
  switch (library.FindView(place->view, &place->catalogue, &place->rootInfo)) {
    case ViewState::kCurrent:
      break;
    case ViewState::kReplaced:
      return ESTALE;
    case ViewState::kUnknown:
      return ENOENT;
  }
  if (needListing || place->node != CatalogueTree::kRoot) {
    place->listing = library.Listing(place->view);
    if (place->listing == nullptr) return ESTALE;
    if (place->node >= place->listing->tree.NodeCount()) return ENOENT;
  }
  return 0;
}

timespec TimespecOf(uint64_t ticks) {
  timespec time{};
  time.tv_sec = static_cast<time_t>(static_cast<int64_t>(ticks / file_time::kTicksPerSecond) -
                                    file_time::kSecondsFrom1601To1970);
  time.tv_nsec = static_cast<long>(ticks % file_time::kTicksPerSecond * 100);
  return time;
}

void FillDirectoryFromFile(const ServedLibrary& served, const struct stat& file, fuse_ino_t inode,
                           struct stat* attr) {
  *attr = {};
  attr->st_ino = inode;
  attr->st_mode = S_IFDIR | (0555 & ~served.umask);
  attr->st_nlink = 1;  // unknown: tools then count no subdirectories from it
  attr->st_uid = served.uid.value_or(file.st_uid);
  attr->st_gid = served.gid.value_or(file.st_gid);
  attr->st_blksize = 4096;
  attr->st_mtim = file.st_mtim;
  attr->st_atim = file.st_atim;
  attr->st_ctim = file.st_ctim;
}

void FillAttributes(const ServedLibrary& served, const Place& place, fuse_ino_t inode,
                    struct stat* attr) {
  // The root and the directories the paths imply have no item: they take the catalogue's times.
  FillDirectoryFromFile(served, place.rootInfo, inode, attr);
  if (place.folderRoot || place.node == CatalogueTree::kRoot) return;
  const CatalogueTree& tree = place.listing->tree;
  const TreeNode& node = tree.Node(place.node);
  const bool file = (node.flags & kNodeDirectory) == 0;
  if (file) attr->st_mode = S_IFREG | (0444 & ~served.umask);
  if ((node.flags & kNodeListed) == 0) return;
  attr->st_size = static_cast<off_t>(tree.Size(place.node));
  // du counts the stored size, in 512-byte blocks; a directory's recorded size is not its own.
  if (file) attr->st_blocks = static_cast<blkcnt_t>((tree.Size(place.node) + 511) / 512);
  NodeTimes times = tree.Times(place.node);
  attr->st_mtim = TimespecOf(times.write);
  attr->st_atim = TimespecOf(times.access);
  attr->st_ctim = TimespecOf(times.creation);
}

fuse_entry_param EntryOf(const ServedLibrary& served, const Place& place, fuse_ino_t inode) {
  fuse_entry_param entry{};
  entry.ino = inode;
  entry.generation = place.view;
  entry.attr_timeout = kCacheSeconds;
  entry.entry_timeout = kCacheSeconds;
  FillAttributes(served, place, inode, &entry.attr);
  return entry;
}

fuse_ino_t InodeOfPlace(const CatalogueLibrary& library, const Place& place) {
  return place.folderRoot ? FolderInode(place.folder) : InodeOf(library, place.view, place.node);
}

// What an entry of a folder shows: a subfolder, or a catalogue's current view.
Place FolderEntryPlace(CatalogueLibrary& library, const SourceFolder::Entry& entry) {
  Place place;
  if (entry.isFolder) {
    place.folderRoot = true;
    place.folder = entry.index;
    place.rootInfo = library.Folder(entry.index).info;
  } else {
    place.catalogue = entry.index;
    place.view = library.CurrentView(entry.index, &place.rootInfo);
  }
  return place;
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
  if (int error = Locate(library, parent, true, &where); error != 0) {
    fuse_reply_err(request, error);
    return;
  }
  Place found;
  if (where.folderRoot) {
    const SourceFolder::Entry* entry = library.FindEntry(where.folder, name);
    if (entry == nullptr) {
      ReplyMissing(request);
      return;
    }
    found = FolderEntryPlace(library, *entry);
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
    found = where;
    found.node = child;
  }
  fuse_entry_param entry = EntryOf(ServedOf(request), found, InodeOfPlace(library, found));
  fuse_reply_entry(request, &entry);
}

void GetAttributes(fuse_req_t request, fuse_ino_t inode, fuse_file_info*) {
  CatalogueLibrary& library = LibraryOf(request);
  Place place;
  if (int error = Locate(library, inode, false, &place); error != 0) {
    fuse_reply_err(request, error);
    return;
  }
  struct stat attr;
  FillAttributes(ServedOf(request), place, inode, &attr);
  fuse_reply_attr(request, &attr, kCacheSeconds);
}

bool IsDirectory(const Place& place) {
  return place.folderRoot || place.node == CatalogueTree::kRoot ||
         (place.listing->tree.Node(place.node).flags & kNodeDirectory) != 0;
}

void OpenDirectory(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) {
  // A single catalogue never changes: the kernel then opens and releases directories without
  // asking, two requests per directory fewer for a walk.
  if (ServedOf(request).openDirectoriesAlone) {
    fuse_reply_err(request, ENOSYS);
    return;
  }
  // Listed here also for a catalogue's root: the kernel may answer readdir from its cache, and
  // opening is where a changed file is noticed (the open is then retried under the new view).
  Place place;
  if (int error = Locate(LibraryOf(request), inode, true, &place); error != 0) {
    fuse_reply_err(request, error);
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

// The inode of a directory's parent; the mount's root is its own parent, as far as the mount
// can tell.
fuse_ino_t ParentInode(const CatalogueLibrary& library, const Place& place, fuse_ino_t inode) {
  if (place.folderRoot) {
    return place.folder == 0 ? inode : FolderInode(library.Folder(place.folder).parent);
  }
  if (place.node == CatalogueTree::kRoot) {
    return library.IsFolder() ? FolderInode(library.Catalogue(place.catalogue).folder) : inode;
  }
  return InodeOf(library, place.view, place.listing->tree.Node(place.node).parent);
}

// Entries "." and "..", then the children; an offset is the index of the next entry.
void ReadDirectory(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset, bool plus) {
  CatalogueLibrary& library = LibraryOf(request);
  Place place;
  if (int error = Locate(library, inode, true, &place); error != 0) {
    fuse_reply_err(request, error);
    return;
  }
  if (!IsDirectory(place)) {
    fuse_reply_err(request, ENOTDIR);
    return;
  }
  std::unique_ptr<char[]> buffer(new char[size]);
  size_t used = 0;
  const size_t childCount = place.folderRoot ? library.Folder(place.folder).entries.size()
                                             : place.listing->tree.Children(place.node).size();
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
        entry = EntryOf(ServedOf(request), entryPlace, entryInode);
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
      if (!add(at == 0 ? "." : "..", place, at == 0 ? inode : ParentInode(library, place, inode),
               true, next)) {
        break;
      }
      continue;
    }
    Place child;
    std::string_view name;
    if (place.folderRoot) {
      const SourceFolder::Entry& entry = library.Folder(place.folder).entries[at - 2];
      child = FolderEntryPlace(library, entry);
      name = entry.name;
    } else {
      child = place;
      child.node = place.listing->tree.Children(place.node)[at - 2];
      name = place.listing->tree.Name(child.node);
    }
    const fuse_ino_t childInode = InodeOfPlace(library, child);
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
  if (int error = Locate(LibraryOf(request), inode, true, &place); error != 0) {
    fuse_reply_err(request, error);
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
  if (int error = Locate(LibraryOf(request), inode, true, &place); error != 0) {
    fuse_reply_err(request, error);
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
      library.IsFolder() ? library.CatalogueCount() : library.SingleListing()->tree.NodeCount();
  info.f_flag = ST_RDONLY;
  fuse_reply_statfs(request, &info);
}

void Init(void* userData, fuse_conn_info* connection) {
  auto& served = *static_cast<ServedLibrary*>(userData);
  served.openDirectoriesAlone =
      !served.library.IsFolder() && (connection->capable & FUSE_CAP_NO_OPENDIR_SUPPORT) != 0;
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

ViewInvalidator::ViewInvalidator(fuse_session* session, CatalogueLibrary& library)
    : session_(session), library_(library), thread_([this] { Run(); }) {
  library_.OnViewReplaced([this](const CatalogueFile& catalogue, uint32_t oldView) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back({FolderInode(catalogue.folder), catalogue.name, oldView});
    wake_.notify_one();
  });
}

ViewInvalidator::~ViewInvalidator() {
  library_.OnViewReplaced(nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_one();
  }
  thread_.join();
}

void ViewInvalidator::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
    if (stopping_) return;
    auto [folder, name, oldView] = std::move(pending_.front());
    pending_.pop_front();
    lock.unlock();
    // Errors are expected and harmless: ENOENT when the kernel holds nothing of the old view.
    fuse_lowlevel_notify_inval_entry(session_, folder, name.c_str(), name.size());
    fuse_lowlevel_notify_inval_inode(session_, fuse_ino_t{oldView} << 32 | CatalogueTree::kRoot, 0,
                                     0);
    // The folder's cached directory listing holds the old view's inode number.
    fuse_lowlevel_notify_inval_inode(session_, folder, 0, 0);
    lock.lock();
  }
}

}  // namespace catmount
