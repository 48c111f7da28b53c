// Test support: the one way the tests run a program. The program is started from an argument
// vector (no shell), its standard output and error are caught in files (a daemon that keeps
// them open cannot hold the test up, as it would with pipes), and a run past its time limit
// is killed and reported as timed out, so a hang fails the test instead of stalling it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace program_run {

struct Program {
  std::vector<std::string> argv;  // argv[0] is the program: a path, or a name looked up in PATH
  // The file read as standard input; /dev/null when empty.
  std::string stdinPath;
  // Set in the child's environment on top of the test's own. Listings are in UTC by default.
  std::vector<std::pair<std::string, std::string>> environment = {{"TZ", "UTC"}};
  std::string workingFolder;  // empty: the test's own
  unsigned timeLimitSeconds = 60;
  // Where standard output goes instead of being caught (a catalogue written to "-").
  std::string stdoutPath;
  std::optional<mode_t> umask;
  // RLIMIT_NOFILE for the child; 0 leaves it as it is.
  unsigned openFilesLimit = 0;
  // Runs as this user (and the group of the same number, no others); needs root. Where
  // permissions must hold back a test that runs as root.
  std::optional<uid_t> userId;
};

struct RunResult {
  int exitStatus = -1;  // -1 when the child did not exit normally
  int signal = 0;       // the signal that ended it, 0 when it exited
  bool timedOut = false;
  std::string out;
  std::string err;
};

// Runs the program to its end, or until its time limit kills it.
RunResult Run(const Program& program);

// Runs `arguments` in UTC with the default time limit.
RunResult Run(std::vector<std::string> arguments);

// Starts the program with its standard output and error in the named files (empty: /dev/null)
// and returns its process id, or -1. For programs a test talks to while they run (a mount).
pid_t Start(const Program& program, const std::string& outPath, const std::string& errPath);

// How the run ended, for failure messages.
std::ostream& operator<<(std::ostream& stream, const RunResult& result);

}  // namespace program_run

using program_run::RunResult;
