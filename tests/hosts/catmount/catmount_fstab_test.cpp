// catmount's command line as mount(8) and /etc/fstab reach it through mount.fuse3: the -o lists
// (catmount's own options taken out, mount(8)'s dropped, rw noted, the rest passed on to FUSE),
// and, as root, a real mount through mount(8) and an fstab line, unmounted with umount(8).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_output.h"
#include "tests/support/program_run.h"
#include "tests/support/scratch.h"
#include "tools/hosts/catmount/command_line.h"

namespace {

namespace fs = std::filesystem;
using catmount::CommandLine;
using catmount::ParseCommandLine;
using catmount::Request;

using Arguments = std::vector<std::string>;

// The -o lists of one command line, in every form a user or a mount helper writes them.
TEST(CatmountCommandLineTest, MountOptionsAreTakenDroppedOrPassedOn) {
  // As mount.fuse3 calls catmount: SOURCE MOUNTPOINT first, then one -o list.
  CommandLine line = ParseCommandLine(
      {"/srv/cats", "/mnt/cats", "-o", "ro,allow_other,nofail,_netdev,cache_mib=8"});
  ASSERT_EQ(line.request, Request::kMount) << line.error;
  EXPECT_EQ(line.settings.positional, (Arguments{"/srv/cats", "/mnt/cats"}));
  EXPECT_EQ(line.settings.cacheMiB, 8u);
  EXPECT_EQ(line.settings.maxItems, catmount::kDefaultMaxItems);
  EXPECT_EQ(line.settings.fuseArguments, (Arguments{"-o", "ro,allow_other"}));

  // Repeated lists, the joined form, options between and after the operands, every option
  // mount(8) keeps for itself, empty entries and a comma escaped as FUSE reads it.
  line = ParseCommandLine({"-o", "listing_mib=3", "SRC", "-omax_items=7,defaults,,auto", "-f", "MP",
                           "-o", "user,users,nouser,noauto", "-o",
                           "fsname=a\\,b,default_permissions,", "-oro"});
  ASSERT_EQ(line.request, Request::kMount) << line.error;
  EXPECT_EQ(line.settings.positional, (Arguments{"SRC", "MP"}));
  EXPECT_EQ(line.settings.listingMiB, 3u);
  EXPECT_EQ(line.settings.maxItems, 7u);
  EXPECT_EQ(line.settings.cacheMiB, catmount::kDefaultCacheMiB);
  EXPECT_EQ(line.settings.fuseArguments,
            (Arguments{"-f", "-o", "fsname=a\\,b,default_permissions", "-o", "ro"}));

  // The long options and the -o forms set the same values: the last one given counts.
  line = ParseCommandLine({"--cache-mib", "5", "-o", "cache_mib=9", "SRC", "MP"});
  EXPECT_EQ(line.settings.cacheMiB, 9u);
  line = ParseCommandLine({"-o", "cache_mib=9,max_items=4", "--cache-mib", "5", "SRC", "MP"});
  EXPECT_EQ(line.settings.cacheMiB, 5u);
  EXPECT_EQ(line.settings.maxItems, 4u);
  EXPECT_TRUE(line.settings.fuseArguments.empty());
  // Also as --NAME=VALUE, between and after the operands.
  line = ParseCommandLine({"SRC", "--max-items=6", "MP", "--listing-mib=2"});
  EXPECT_EQ(line.settings.maxItems, 6u);
  EXPECT_EQ(line.settings.listingMiB, 2u);

  // mount(8)'s options that FUSE refuses are dropped too, around the ones FUSE takes itself.
  for (const char* dropped :
       {"owner",         "group",     "comment=systemd", "x-systemd.automount",
        "X-mount.mkdir", "relatime",  "norelatime",      "strictatime",
        "nostrictatime", "diratime",  "nodiratime",      "lazytime",
        "nolazytime",    "iversion",  "noiversion",      "mand",
        "nomand",        "symfollow", "nosymfollow",     "silent",
        "loud",          "readonly",  "nobackup",        "nosave",
        "kernel_cache",  "use_ino",   "readdir_ino",     "hard_remove"}) {
    line = ParseCommandLine({"SRC", "MP", "-o", std::string("noatime,") + dropped + ",nodev"});
    ASSERT_EQ(line.request, Request::kMount) << dropped << ": " << line.error;
    EXPECT_EQ(line.settings.fuseArguments, (Arguments{"-o", "noatime,nodev"})) << dropped;
  }

  // Only whole names, and the prefixes with their '-' or '=', match: these are FUSE's to judge.
  line =
      ParseCommandLine({"SRC", "MP", "-o", "rwx,users=1,cache_mibs=2,autox,relatimes,x,comment"});
  ASSERT_EQ(line.request, Request::kMount) << line.error;
  EXPECT_EQ(line.settings.cacheMiB, catmount::kDefaultCacheMiB);
  EXPECT_EQ(line.settings.fuseArguments,
            (Arguments{"-o", "rwx,users=1,cache_mibs=2,autox,relatimes,x,comment"}));

  // After "--" an -o is an operand.
  line = ParseCommandLine({"SRC", "--", "-o"});
  ASSERT_EQ(line.request, Request::kMount) << line.error;
  EXPECT_EQ(line.settings.positional, (Arguments{"SRC", "-o"}));
}

TEST(CatmountCommandLineTest, BadValuesAreUsageErrorsNamingTheOption) {
  struct Case {
    Arguments arguments;
    std::string message;
  } cases[] = {
      {{"SRC", "MP", "-o", "cache_mib=x"}, "-o cache_mib needs a positive number of MiB"},
      {{"SRC", "MP", "-o", "cache_mib="}, "-o cache_mib needs"},
      {{"SRC", "MP", "-o", "cache_mib"}, "-o cache_mib needs"},
      {{"SRC", "MP", "-o", "cache_mib=0"}, "-o cache_mib needs"},
      {{"SRC", "MP", "-o", "cache_mib=-1"}, "-o cache_mib needs"},
      {{"SRC", "MP", "-o", "listing_mib=1e3"}, "-o listing_mib needs"},
      {{"SRC", "MP", "-o", "max_items=0"}, "-o max_items needs a number from 1 to 4294967295"},
      {{"SRC", "MP", "-o", "max_items=4294967296"}, "-o max_items needs"},
      {{"SRC", "MP", "-o", "max_items=99999999999999999999999"}, "-o max_items needs"},
      {{"SRC", "MP", "-o", "uid=-1"}, "-o uid needs a number from 0 to 4294967294"},
      {{"SRC", "MP", "-o", "gid=4294967295"}, "-o gid needs"},
      {{"SRC", "MP", "-o", "uid"}, "-o uid needs"},
      {{"SRC", "MP", "-o", "umask=0800"}, "-o umask needs an octal number from 0 to 777"},
      {{"SRC", "MP", "-o", "umask=1000"}, "-o umask needs"},
      {{"SRC", "MP", "-o", "umask="}, "-o umask needs"},
      {{"--cache-mib", "x", "SRC", "MP"}, "--cache-mib needs a positive number of MiB"},
      {{"SRC", "MP", "-o"}, "-o needs a value"},
      {{"SRC", "MP", "--version=1"}, "--version takes no value"},
      {{"SRC", "-o", "ro"}, "SOURCE and MOUNTPOINT are needed"},
      {{"SRC", "MP", "more", "-o", "ro"}, "too many arguments"},
  };
  for (const Case& c : cases) {
    CommandLine line = ParseCommandLine(c.arguments);
    const std::string shown = testing::PrintToString(c.arguments);
    EXPECT_EQ(line.request, Request::kBadUsage) << shown;
    EXPECT_NE(line.error.find(c.message), std::string::npos) << shown << ": " << line.error;
  }
  // rw, however written, is taken out and noted: the mount stays read-only.
  for (const Arguments& arguments :
       {Arguments{"SRC", "MP", "-o", "rw"}, Arguments{"SRC", "MP", "-o", "ro,allow_other,rw"},
        Arguments{"SRC", "MP", "-orw"}, Arguments{"SRC", "MP", "-o", "r\\w"}}) {
    CommandLine line = ParseCommandLine(arguments);
    const std::string shown = testing::PrintToString(arguments);
    ASSERT_EQ(line.request, Request::kMount) << shown << ": " << line.error;
    EXPECT_TRUE(line.settings.readWriteAsked) << shown;
    for (const std::string& passed : line.settings.fuseArguments) {
      EXPECT_EQ(passed.find("rw"), std::string::npos) << shown;
      EXPECT_EQ(passed.find("r\\w"), std::string::npos) << shown;
    }
  }
  EXPECT_FALSE(ParseCommandLine({"SRC", "MP", "-o", "ro,rwx"}).settings.readWriteAsked);
  // The largest value each takes is still good.
  CommandLine line = ParseCommandLine({"SRC", "MP", "-o", "max_items=4294967295"});
  ASSERT_EQ(line.request, Request::kMount) << line.error;
  EXPECT_EQ(line.settings.maxItems, 4294967295u);
  line = ParseCommandLine({"SRC", "MP", "-o", "cache_mib=" + std::to_string(catmount::kMaxMiB)});
  EXPECT_EQ(line.request, Request::kMount) << line.error;
  // uid=, gid= (decimal) and umask= (octal) are catmount's: FUSE never sees them.
  line = ParseCommandLine({"SRC", "MP", "-o", "uid=1000,ro,gid=4294967294,umask=0027"});
  ASSERT_EQ(line.request, Request::kMount) << line.error;
  EXPECT_EQ(line.settings.uid, 1000u);
  EXPECT_EQ(line.settings.gid, 4294967294u);
  EXPECT_EQ(line.settings.umask, 027u);
  EXPECT_EQ(line.settings.fuseArguments, (Arguments{"-o", "ro"}));
}

// The program itself: usage errors in -o lists fail before anything is mounted, with status 64
// and a message on standard error, as mount(8) shows them; so does an option neither
// catmount, mount(8) nor FUSE knows, and a remount.
TEST(CatmountCommandLineTest, TheProgramRefusesBadMountOptions) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string sample = std::string(SOURCE_DIR) + "/samples/photos.mur";
  const std::string mountPoint = scratch.path;
  for (const Arguments& options : {Arguments{"-o", "ro,cache_mib=x"}, Arguments{"-omax_items="},
                                   Arguments{"-o", "ro,relatime,remount"}}) {
    Arguments arguments = {CATMOUNT_PATH, sample, mountPoint};
    arguments.insert(arguments.end(), options.begin(), options.end());
    RunResult result = program_run::Run(arguments);
    EXPECT_EQ(result.exitStatus, 64) << result;
    EXPECT_EQ(result.err.rfind("catmount: -o ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find("catmount --help"), std::string::npos) << result.err;
  }
  RunResult unknown =
      program_run::Run({CATMOUNT_PATH, sample, mountPoint, "-o", "ro,relatime,no_such_option"});
  EXPECT_EQ(unknown.exitStatus, 64) << unknown;
  EXPECT_NE(unknown.err.find("no_such_option"), std::string::npos) << unknown.err;
  EXPECT_EQ(unknown.err.find("relatime"), std::string::npos) << unknown.err;
  RunResult help = program_run::Run({CATMOUNT_PATH, "--help"});
  EXPECT_NE(help.out.find("fuse.catmount"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("cache_mib=N"), std::string::npos) << help.out;
  // Help that cannot be written fails as cathost's does.
  program_run::Program full;
  full.argv = {CATMOUNT_PATH, "--help"};
  full.stdoutPath = "/dev/full";
  EXPECT_EQ(program_run::Run(full).exitStatus, 11);
}

// Why a mount through mount(8) cannot be tested here, or empty when it can.
std::string MountHelperMissing() {
  if (geteuid() != 0) return "mount(8) mounts FUSE file systems for root only";
  int fd = open("/dev/fuse", O_RDWR);
  if (fd < 0) return std::string("/dev/fuse cannot be opened: ") + std::strerror(errno);
  close(fd);
  for (const char* program : {"mount", "umount", "nsenter"}) {
    if (program_run::Run({program, "--version"}).exitStatus != 0) {
      return std::string(program) + " is missing";
    }
  }
  if (access("/sbin/mount.fuse3", X_OK) != 0 && access("/usr/sbin/mount.fuse3", X_OK) != 0) {
    return "mount.fuse3 is missing";
  }
  return {};
}

// mount(8) clears PATH for its helpers, so the shell that mount.fuse3 starts looks for catmount
// in its own default path. A private mount namespace shows the catmount under test first
// there, bound over the path's first folder, and leaves the system's folders alone. The
// namespace lives while this object does; commands run in it through nsenter, and its files
// are reached through /proc/PID/root.
class PrivateMountNamespace {
 public:
  PrivateMountNamespace(const std::string& shownFolder, const std::string& over) {
    int ready[2], hold[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return;
    if (pipe2(hold, O_CLOEXEC) != 0) {
      close(ready[0]);
      close(ready[1]);
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(hold[1]);
      int error = 0;
      if (unshare(CLONE_NEWNS) != 0 ||
          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount(shownFolder.c_str(), over.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        error = errno;
      }
      (void)!write(ready[1], &error, sizeof error);
      char byte;
      // Until the test closes its end, or ends.
      while (read(hold[0], &byte, 1) < 0 && errno == EINTR) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(hold[0]);
    hold_ = hold[1];
    int error = EIO;
    if (pid_ < 0 || read(ready[0], &error, sizeof error) != sizeof error) error = EIO;
    close(ready[0]);
    problem_ = error == 0 ? "" : std::strerror(error);
  }
  ~PrivateMountNamespace() {
    if (hold_ >= 0) close(hold_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }

  // Empty when the namespace is ready.
  const std::string& problem() const { return problem_; }
  RunResult Run(const Arguments& command) const {
    Arguments arguments = {"nsenter", "--target", std::to_string(pid_), "--mount", "--"};
    arguments.insert(arguments.end(), command.begin(), command.end());
    return program_run::Run(arguments);
  }
  std::string Seen(const std::string& path) const {
    return "/proc/" + std::to_string(pid_) + "/root" + path;
  }
  // The namespace's mountinfo line for a mount point, or empty.
  std::string MountInfo(const std::string& mountPoint) const {
    std::istringstream lines(ReadWholeFile("/proc/" + std::to_string(pid_) + "/mountinfo"));
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string id, parent, device, root, point;
      fields >> id >> parent >> device >> root >> point;
      if (point == mountPoint) return line;
    }
    return {};
  }

 private:
  pid_t pid_ = -1;
  int hold_ = -1;
  std::string problem_ = "not made";
};

// The first folder of the shell's default path, where mount.fuse3's shell finds catmount first.
std::string FirstDefaultPathFolder() {
  RunResult path = program_run::Run({"env", "-i", "/bin/sh", "-c", "printf %s \"$PATH\""});
  return path.exitStatus == 0 ? path.out.substr(0, path.out.find(':')) : "";
}

// Whether a catmount process serving `mountPoint` is left.
bool DaemonLeft(const std::string& mountPoint) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string commandLine = ReadWholeFile(entry.path().string() + "/cmdline");
    for (char& c : commandLine) c = c == '\0' ? ' ' : c;
    if (commandLine.find("catmount ") != std::string::npos &&
        commandLine.find(" " + mountPoint + " ") != std::string::npos &&
        ReadWholeFile(entry.path().string() + "/stat").find(") Z") == std::string::npos) {
      return true;
    }
  }
  return false;
}

// As an administrator mounts a folder of catalogues: with mount -t fuse.catmount and from an
// fstab line, each unmounted with umount. mount(8) and mount.fuse3 pick the options they keep
// for themselves out of the list; catmount takes its own and refuses none of the rest.
TEST(CatmountFstabTest, MountAndFstabLinesReachCatmountAndUmountEndsIt) {
  const std::string missing = MountHelperMissing();
  if (!missing.empty()) GTEST_SKIP() << "no mounts through mount(8): " << missing;
  const std::string over = FirstDefaultPathFolder();
  if (over.empty() || !fs::is_directory(over)) {
    GTEST_SKIP() << "the shell's default path starts with no folder: '" << over << "'";
  }
  Scratch scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string source = scratch.path + "/cats";
  const std::string mountPoint = scratch.path + "/mnt";
  const std::string shown = scratch.path + "/bin";
  for (const std::string& folder : {source, mountPoint, shown}) fs::create_directory(folder);
  for (const char* sample : {"photos.mur", "utilities.zex"}) {
    fs::copy_file(std::string(SOURCE_DIR) + "/samples/" + sample, source + "/" + sample);
  }
  fs::create_symlink(CATMOUNT_PATH, shown + "/catmount");
  PrivateMountNamespace space(shown, over);
  if (!space.problem().empty()) {
    GTEST_SKIP() << "no private mount namespace: " << space.problem();
  }
  // Whatever happens below, nothing stays mounted in the namespace.
  struct Unmounter {
    const PrivateMountNamespace& space;
    const std::string& mountPoint;
    ~Unmounter() {
      if (!space.MountInfo(mountPoint).empty()) space.Run({"umount", "-l", mountPoint});
    }
  } unmounter{space, mountPoint};

  auto expectMountedReadOnly = [&](const std::string& how) {
    const std::string info = space.MountInfo(mountPoint);
    ASSERT_FALSE(info.empty()) << how << ": not mounted";
    EXPECT_NE(info.find(" ro,"), std::string::npos) << how << ": " << info;
    EXPECT_NE(info.find(" - fuse.catmount " + source + " "), std::string::npos) << info;
    EXPECT_NE(info.find(",allow_other"), std::string::npos) << info;
    const std::string seen = space.Seen(mountPoint);
    struct statvfs volume;
    ASSERT_EQ(statvfs(seen.c_str(), &volume), 0) << std::strerror(errno);
    EXPECT_NE(volume.f_flag & ST_RDONLY, 0u) << how;
    EXPECT_TRUE(fs::is_regular_file(seen + "/utilities.zex/IO.SYS")) << how;
    errno = 0;
    EXPECT_EQ(open((seen + "/photos.mur/new.txt").c_str(), O_CREAT | O_WRONLY, 0644), -1);
    EXPECT_EQ(errno, EROFS) << how;
  };
  auto expectUnmounted = [&](const std::string& how) {
    RunResult unmounted = space.Run({"umount", mountPoint});
    EXPECT_EQ(unmounted.exitStatus, 0) << how << ": " << unmounted;
    EXPECT_EQ(space.MountInfo(mountPoint), "") << how;
    for (int tries = 0; tries < 300 && DaemonLeft(mountPoint); ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(DaemonLeft(mountPoint)) << how << ": catmount still runs";
  };

  // catmount daemonizes once mounted, so mount(8) returns with the mount up.
  RunResult mounted = space.Run({"mount", "-t", "fuse.catmount", source, mountPoint, "-o",
                                 "ro,allow_other,nofail,_netdev,cache_mib=8"});
  ASSERT_EQ(mounted.exitStatus, 0) << mounted;
  EXPECT_TRUE(DaemonLeft(mountPoint)) << "no catmount serves the mount";
  expectMountedReadOnly("mount -t");
  EXPECT_TRUE(fs::is_regular_file(space.Seen(mountPoint) + "/photos.mur/Family/README"));
  expectUnmounted("mount -t");

  // An fstab line (read from a file of the test's own with -T), mounted by its mount point;
  // its max_items=5 reaches catmount and cuts the listing short, and the generic options that
  // mount(8) hands on and FUSE refuses are dropped.
  const std::string fstab = scratch.path + "/fstab";
  std::ofstream(fstab) << source << " " << mountPoint
                       << " fuse.catmount ro,relatime,nodiratime,lazytime,nosymfollow,silent,"
                          "allow_other,nofail,_netdev,max_items=5 0 0\n";
  mounted = space.Run({"mount", "-T", fstab, mountPoint});
  ASSERT_EQ(mounted.exitStatus, 0) << mounted;
  expectMountedReadOnly("fstab");
  char status[256] = {};
  ASSERT_GT(getxattr((space.Seen(mountPoint) + "/photos.mur").c_str(), "user.catalogue.status",
                     status, sizeof status - 1),
            0)
      << std::strerror(errno);
  EXPECT_EQ(std::string(status).rfind("stopped at item 6", 0), 0u) << status;
  EXPECT_FALSE(fs::exists(space.Seen(mountPoint) + "/photos.mur/Family/README"));
  expectUnmounted("fstab");

  // rw (what mount(8) asks for when not told ro): read-only all the same, with a warning.
  RunResult defaulted =
      space.Run({"mount", "-t", "fuse.catmount", source, mountPoint, "-o", "rw,allow_other"});
  EXPECT_EQ(defaulted.exitStatus, 0) << defaulted;
  EXPECT_NE(defaulted.err.find("mounted read-only"), std::string::npos) << defaulted.err;
  expectMountedReadOnly("rw");
  expectUnmounted("rw");
}

}  // namespace
