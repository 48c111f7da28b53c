// Walks a folder tree depth first (POSIX systems) with one folder open at a time besides the
// root: a folder's names are read whole, a subfolder is opened relative to its parent
// (O_NOFOLLOW, its device and inode checked against what its entry showed) and the walk comes
// back up through "..", checked the same way. Neither the length of a path nor the number of
// open files limits the depth, and a folder swapped for a link is never followed. When ".."
// no longer leads back (a folder was moved meanwhile), the folder is opened again from the
// root by its names, each step checked.
//
// The walk decides nothing: a Visitor looks at the entries, says which subfolders to enter and
// in what order, and is told what could not be entered.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace folder_walk {

// What tells a folder from another one put in its place.
struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const Identity&) const = default;
};

Identity IdentityOf(const struct stat& info);

// Appends `name` to `path` with one slash between them (none after a path that ends in one).
void AppendToPath(std::string& path, std::string_view name);

// The names in the folder open as `fd` but "." and "..", sorted bytewise; 0 or an errno value.
int SortedNames(int fd, std::vector<std::string>* names);

// A subfolder to enter: its name in the folder at the top of the walk, and the identity its
// entry showed when it was looked at. With `followLink` the name may be a symbolic link to a
// folder, and `identity` is then its target's; otherwise a link is never followed.
struct Subfolder {
  std::string name;
  Identity identity;
  bool followLink = false;
};

class Walker;

// What a walk does in each folder. The folder "at the top" is the one the walk is in.
class Visitor {
 public:
  virtual ~Visitor() = default;
  // A folder is entered (the root first): open as `fd` for the time of the call, its `names`
  // read; it is now at the top. 0 to go on, or an errno value to leave it unentered after all
  // (Walk returns it for the root; NotEntered is told for a subfolder).
  virtual int Entered(Walker& walker, int fd, std::vector<std::string> names) = 0;
  // The next subfolder of the folder at the top to enter, or none when it is done.
  virtual std::optional<Subfolder> Next(Walker& walker) = 0;
  // `subfolder` could not be entered: `reason` is strerror's text, or says what changed.
  virtual void NotEntered(Walker& walker, const Subfolder& subfolder,
                          const std::string& reason) = 0;
  // The folder at the top is done (Next gave none); the walk goes back up to its parent.
  virtual void Left(Walker& walker) = 0;
};

class Walker {
 public:
  Walker() = default;
  ~Walker() { Close(); }
  Walker(const Walker&) = delete;
  Walker& operator=(const Walker&) = delete;

  // Walks the tree below the folder `root` (opened as it is named, links followed). 0, or the
  // errno value with which the root could not be opened, read or entered.
  int Walk(const std::string& root, Visitor& visitor);

  // The path of the folder at the top (root as given, then the names), and of `name` in it.
  // Made anew at each call: for messages, not for every folder of a deep tree.
  std::string Path() const;
  std::string PathOf(std::string_view name) const;

  // The folder at the top, open: opened again from the root when the walk could not come back
  // up to it; -1 with `reason` set when its names no longer lead to it.
  int Folder(std::string* reason);

  // The deepest level entered below the root (a file in the root is at level 0).
  size_t Depth() const { return depth_; }

 private:
  struct Frame {
    std::string name;  // the root's path for the first frame
    Identity identity;
    bool followLink = false;
  };

  void Descend(const Subfolder& subfolder, Visitor& visitor);
  void Ascend();
  int Reopen(std::string* reason) const;
  void Close();

  std::vector<Frame> frames_;
  int rootFd_ = -1;
  int current_ = -1;  // the top frame's folder, or -1 when it must be opened again
  size_t depth_ = 0;
};

}  // namespace folder_walk
