// The FUSE low-level operations that serve a CatalogueLibrary as a read-only file system.
#pragma once

#define FUSE_USE_VERSION 312
#include <fuse3/fuse_lowlevel.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace catmount {

class CatalogueLibrary;
struct CatalogueFile;

// What the mount serves and how every entry is shown.
struct ServedLibrary {
  CatalogueLibrary& library;
  std::optional<uid_t> uid;  // the owner of every entry; else the catalogue file's
  std::optional<gid_t> gid;
  mode_t umask = 0;                   // taken off 0444 (files) and 0555 (directories)
  bool openDirectoriesAlone = false;  // set once FUSE has said what the kernel supports
};

// The operations; their user data must be the ServedLibrary they serve.
const fuse_lowlevel_ops& CatalogueOperations();

// Tells the kernel to forget what it holds of a catalogue's replaced view: the catalogue's name
// in its folder, the old view's root and the folder's cached listing. It notifies
// from a thread of its own, never inside a request: the kernel may hold a directory's lock
// while it waits for the request's answer, and a notification for that directory would wait
// for the same lock. Lives while `session` is mounted.
class ViewInvalidator {
 public:
  ViewInvalidator(fuse_session* session, CatalogueLibrary& library);
  ~ViewInvalidator();
  ViewInvalidator(const ViewInvalidator&) = delete;
  ViewInvalidator& operator=(const ViewInvalidator&) = delete;

 private:
  void Run();

  fuse_session* session_;
  CatalogueLibrary& library_;
  std::mutex mutex_;
  std::condition_variable wake_;
  struct Replaced {
    fuse_ino_t folder;
    std::string name;
    uint32_t oldView;
  };
  std::deque<Replaced> pending_;
  bool stopping_ = false;
  std::thread thread_;  // last: it starts once everything it uses is made
};

}  // namespace catmount
