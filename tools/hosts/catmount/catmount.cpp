// catmount: mounts a disk catalogue, or a folder of them, as a read-only file system (FUSE),
// listing each catalogue through the format modules as the archive host does.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue_version.h"
#include "tools/common/display_text.h"
#include "tools/common/option_parser.h"
#include "tools/hosts/catmount/catalogue_fs.h"
#include "tools/hosts/catmount/catalogue_library.h"
#include "tools/hosts/catmount/command_line.h"

namespace {

using catmount::CatalogueLibrary;
using catmount::Settings;

constexpr cli::Program kProgram{"catmount", kExitUsage, kExitWriteFailed};

constexpr char kUsage[] = R"(Usage: catmount [options] SOURCE MOUNTPOINT

Mounts a disk catalogue read-only: every item becomes a file or directory at its path. SOURCE
is one catalogue, or a folder whose catalogues appear as directories named after their files
(listed on first access), and whose subfolders holding catalogues appear as folders (16 levels
deep; links to folders already scanned and other file systems' mount points are not entered).
Unmount with 'fusermount3 -u MOUNTPOINT' (or Ctrl-C with -f).
Through mount(8) and /etc/fstab:
  mount -t fuse.catmount SOURCE MOUNTPOINT -o ro,allow_other
  SOURCE MOUNTPOINT fuse.catmount ro,allow_other,nofail 0 0     (fstab; umount MOUNTPOINT)

Options:
  --module PATH     use this format module (also --module=PATH; repeatable). Without it, every
                    *_fmt.so beside the executable (when none is there, in the installed
                    module folder), the first whose IsArchive accepts a file.
  --cache-mib N     a folder keeps listings of at most N MiB, dropping the least recently used
                    (default 256; a dropped listing is made again when next needed).
  --max-items N     a listing stops after N items (default 10000000).
  --listing-mib N   a listing stops before its tree takes more than N MiB (default: the
                    --cache-mib size). A stopped listing keeps what it listed; its root's
                    user.catalogue.status says where and why it stopped.
  -f                stay in the foreground, report to standard error (else syslog).
  -d                foreground with FUSE debugging output.
  -s                serve requests on one thread.
  -o OPTIONS        mount options, comma-separated (also -oOPTIONS; repeatable; may follow
                    MOUNTPOINT): cache_mib=N, max_items=N, listing_mib=N as above;
                    uid=N, gid=N the owner and group of every entry; umask=NNN (octal)
                    the permission bits taken off; ro (rw mounts read-only with a
                    warning); archivemount's readonly, nobackup, nosave, kernel_cache,
                    auto_cache, noauto_cache, use_ino, readdir_ino, hard_remove ignored;
                    mount(8)'s that FUSE refuses ignored: defaults, auto, noauto,
                    nofail, _netdev, user, users, nouser, owner, group, comment=, x-*,
                    X-*, [no]relatime, [no]strictatime, [no]diratime, [no]lazytime,
                    [no]iversion, [no]mand, [no]symfollow, silent, loud; remount
                    refused; others go to FUSE (e.g. allow_other, noatime, nosuid).
  -V, --version     show the version (and FUSE's).
  -h, --help        show this text.

The tree: paths split at backslashes, names decoded from code page 437 to UTF-8. Sizes and
times (mtime = last write, atime = last access, ctime = creation) come from the items; st_blocks
counts a file's size in 512-byte blocks (du); modes 0444 and 0555 less the umask, never a write
bit; owner and group of the catalogue file unless uid= and gid= are given. Directories that
paths imply but the catalogue never lists, and the root, take the catalogue file's times.
Names that cannot be path components become U+2205 (empty), U+2024 ("."), U+2025 (".."); "/"
becomes U+2215. A name already taken in its directory gets the first free suffix "~2", "~3",
... Extended attributes: user.description, user.dos.attributes (letters drhsao),
user.catalogue.result ("2" for an item delivered damaged); on a catalogue's root
user.catalogue.status, .format and .items. Reading a file fails with ENOMEDIUM (a catalogue
holds no contents); writing fails with EROFS.

In a folder, a catalogue file that changed (replaced, rewritten, truncated) is shown anew when
its listing is next made, under new inode numbers; the old ones then fail with ESTALE. A
deleted one is shown empty, its status saying why.

Exit status before mounting: 1 no module accepts SOURCE, 5 OpenArchive failed, 6 no such
file, 7 is a directory, 8 cannot read, 9 empty file, 10 no usable module, 11 standard output
cannot be written (--help, --version), 20 mount point unusable (also one that would hide the
folder of catalogues) or mounting failed, 64 usage error (also a mount point inside the folder
of catalogues).
)";

int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "catmount: %s\n", message.c_str());
  return status;
}

std::string UnescapeMountField(const std::string& field) {
  std::string text;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      text += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
      i += 3;
    } else {
      text += field[i];
    }
  }
  return text;
}

// Whether something is already mounted at `path` (absolute, resolved).
bool IsMountPoint(const std::string& path) {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint;
    fields >> id >> parent >> device >> root >> mountPoint;
    if (UnescapeMountField(mountPoint) == path) return true;
  }
  return false;
}

// Checks the mount point; returns an empty text when it can be used.
std::string MountPointProblem(const std::string& mountPointGiven, std::string* resolved,
                              struct stat* info) {
  const std::string mountPoint = ShownName(mountPointGiven);
  if (stat(mountPointGiven.c_str(), info) != 0) {
    if (errno == ENOENT) return "mount point " + mountPoint + ": no such directory";
    if (errno == ENOTCONN) {
      return "mount point " + mountPoint +
             ": a file system there has stopped; unmount it with fusermount3 -u";
    }
    return "mount point " + mountPoint + ": " + std::strerror(errno);
  }
  if (!S_ISDIR(info->st_mode)) return "mount point " + mountPoint + ": not a directory";
  char buffer[PATH_MAX];
  if (realpath(mountPointGiven.c_str(), buffer) == nullptr) {
    return "mount point " + mountPoint + ": " + std::strerror(errno);
  }
  *resolved = buffer;
  if (IsMountPoint(*resolved)) {
    return "mount point " + mountPoint + ": something is already mounted there";
  }
  return {};
}

// fsname is one -o value: commas and backslashes in it are escaped.
std::string EscapeOptionValue(const std::string& value) {
  std::string escaped;
  for (char c : value) {
    if (c == ',' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

int Serve(CatalogueLibrary& library, const Settings& options, const std::string& source,
          const std::string& mountPoint) {
  std::vector<std::string> arguments = {"catmount"};
  arguments.insert(arguments.end(), options.fuseArguments.begin(), options.fuseArguments.end());
  arguments.push_back("-oro,default_permissions,subtype=catmount,fsname=" +
                      EscapeOptionValue(source));
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  fuse_cmdline_opts settings{};
  if (fuse_parse_cmdline(&args, &settings) != 0) {
    fuse_opt_free_args(&args);
    return kExitUsage;
  }
  free(settings.mountpoint);  // there is none among the passed arguments
  int status = catmount::kExitMountFailed;
  catmount::ServedLibrary served{library, options.uid, options.gid, options.umask};
  fuse_session* session =
      fuse_session_new(&args, &catmount::CatalogueOperations(), sizeof(fuse_lowlevel_ops), &served);
  if (session == nullptr) {
    fuse_opt_free_args(&args);
    return kExitUsage;
  }
  if (fuse_set_signal_handlers(session) == 0) {
    if (fuse_session_mount(session, mountPoint.c_str()) == 0) {
      fuse_daemonize(settings.foreground);
      catmount::SetReportToSyslog(!settings.foreground);
      // Threads start after fuse_daemonize, whose fork would leave them behind.
      std::optional<catmount::ViewInvalidator> invalidator;
      if (library.IsFolder()) invalidator.emplace(session, library);
      int result;
      if (settings.singlethread) {
        result = fuse_session_loop(session);
      } else {
        fuse_loop_config* config = fuse_loop_cfg_create();
        fuse_loop_cfg_set_clone_fd(config, static_cast<unsigned>(settings.clone_fd));
        fuse_loop_cfg_set_max_threads(config, settings.max_threads);
        result = fuse_session_loop_mt(session, config);
        fuse_loop_cfg_destroy(config);
      }
      invalidator.reset();
      fuse_session_unmount(session);
      status = result < 0 ? catmount::kExitMountFailed : kExitOk;
    }
    fuse_remove_signal_handlers(session);
  }
  fuse_session_destroy(session);
  fuse_opt_free_args(&args);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  catmount::CommandLine line = catmount::ParseCommandLine({argv + 1, argv + argc});
  switch (line.request) {
    case catmount::Request::kHelp:
      return cli::PrintInfo(kProgram, kUsage);
    case catmount::Request::kVersion:
      return cli::PrintInfo(kProgram, cli::VersionText("catmount", CATALOGUE_VERSION) + "FUSE " +
                                          std::to_string(FUSE_MAJOR_VERSION) + "." +
                                          std::to_string(FUSE_MINOR_VERSION) + "\n");
    case catmount::Request::kBadUsage:
      return cli::UsageError(kProgram, line.error);
    case catmount::Request::kMount:
      break;
  }
  const Settings& options = line.settings;
  const std::string& sourceGiven = options.positional[0];
  const std::string& mountPointGiven = options.positional[1];

  // Everything that can fail is checked before mounting, while errors still reach the user.
  struct stat sourceInfo;
  if (stat(sourceGiven.c_str(), &sourceInfo) != 0) {
    return Fail(errno == ENOENT || errno == ENOTDIR ? kExitNoSuchFile : kExitCannotRead,
                ShownName(sourceGiven) + ": " + std::strerror(errno));
  }
  char resolvedSource[PATH_MAX];
  if (realpath(sourceGiven.c_str(), resolvedSource) == nullptr) {
    return Fail(kExitCannotRead, ShownName(sourceGiven) + ": " + std::strerror(errno));
  }
  std::string mountPoint;
  struct stat mountPointInfo;
  std::string problem = MountPointProblem(mountPointGiven, &mountPoint, &mountPointInfo);
  if (!problem.empty()) return Fail(catmount::kExitMountFailed, problem);
  // A folder's catalogues are listed while mounted: a mount over the folder, or over a folder
  // that holds it, would hide them, and each would be read through the mount itself.
  if (S_ISDIR(sourceInfo.st_mode) &&
      ((sourceInfo.st_dev == mountPointInfo.st_dev && sourceInfo.st_ino == mountPointInfo.st_ino) ||
       (std::string(resolvedSource) + "/")
           .starts_with(mountPoint == "/" ? "/" : mountPoint + "/"))) {
    return Fail(catmount::kExitMountFailed,
                "mount point " + ShownName(mountPointGiven) +
                    ": the mount would hide the folder of catalogues; mount it elsewhere");
  }
  // One inside it would hide the subfolder it is, and its catalogues with it.
  if (S_ISDIR(sourceInfo.st_mode) &&
      mountPoint.starts_with(
          std::string(resolvedSource) == "/" ? "/" : std::string(resolvedSource) + "/")) {
    return cli::UsageError(kProgram, "mount point " + ShownName(mountPointGiven) +
                                         " is inside the folder of catalogues " +
                                         ShownName(sourceGiven) + "; mount it outside");
  }

  std::vector<FormatModule> modules;
  std::string error;
  if (!catmount::LoadModules(options.modulePaths, &modules, &error)) {
    return Fail(kExitBadModule, error);
  }
  catmount::TreeLimits limits;
  limits.maxItems = options.maxItems;
  limits.maxBytes = (options.listingMiB != 0 ? options.listingMiB : options.cacheMiB) << 20;
  CatalogueLibrary library(std::move(modules), options.cacheMiB << 20, limits);
  const std::string source = resolvedSource;
  int status;
  if (S_ISDIR(sourceInfo.st_mode)) {
    bool verbose = false;
    for (const std::string& argument : options.fuseArguments) {
      verbose = verbose || argument == "-f" || argument == "-d" || argument == "--debug";
    }
    std::vector<std::string> skipped;
    status = library.OpenFolder(source, &error, verbose ? &skipped : nullptr, &mountPointInfo);
    for (const std::string& line : skipped)
      std::fprintf(stderr, "catmount: left out %s\n", line.c_str());  // quoted by the library
  } else {
    status = library.OpenSingle(source, &error);
  }
  if (status != kExitOk) return Fail(status, error);
  if (options.readWriteAsked) {
    std::fprintf(stderr,
                 "catmount: %s: mounted read-only (-o rw asked; a catalogue is never written)\n",
                 ShownName(sourceGiven).c_str());
  }
  return Serve(library, options, source, mountPoint);
}
