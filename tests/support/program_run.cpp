#include "tests/support/program_run.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/support/child_output.h"

namespace program_run {

namespace {

// Opens `path` onto descriptor `target` in the child; false when it cannot.
bool Redirect(const char* path, int flags, int target) {
  const int fd = open(path, flags, 0600);
  if (fd < 0) return false;
  if (fd != target && (dup2(fd, target) < 0 || close(fd) != 0)) return false;
  return true;
}

// Everything the child needs, made before the fork: a test may have threads running (one that
// holds the heap's lock at the fork would leave the child's malloc waiting for ever), so the
// child only calls what is safe between fork and exec.
struct Prepared {
  std::vector<std::string> strings;  // argv, then the environment
  std::vector<char*> argv;
  std::vector<char*> environment;
  std::string stdinPath, outPath, errPath;
};

[[noreturn]] void BecomeProgram(const Program& program, Prepared& prepared) {
  const int write = O_WRONLY | O_CREAT | O_TRUNC;
  if (!Redirect(prepared.stdinPath.c_str(), O_RDONLY, 0) ||
      !Redirect(prepared.outPath.c_str(), write, 1) ||
      !Redirect(prepared.errPath.c_str(), write, 2)) {
    _exit(127);
  }
  // Its own process group, so that a time limit kills whatever it started too.
  setpgid(0, 0);
  if (!program.workingFolder.empty() && chdir(program.workingFolder.c_str()) != 0) _exit(127);
  if (program.umask) ::umask(*program.umask);
  if (program.openFilesLimit != 0) {
    const rlimit limit = {program.openFilesLimit, program.openFilesLimit};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(127);
  }
  if (program.userId && (setgroups(0, nullptr) != 0 || setgid(*program.userId) != 0 ||
                         setuid(*program.userId) != 0)) {
    _exit(127);
  }
  execvpe(prepared.argv[0], prepared.argv.data(), prepared.environment.data());
  _exit(127);
}

}  // namespace

pid_t Start(const Program& program, const std::string& outPath, const std::string& errPath) {
  if (program.argv.empty()) return -1;
  Prepared prepared;
  prepared.strings = program.argv;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    const std::string entry = *variable;
    bool replaced = false;
    for (const auto& [name, value] : program.environment) {
      replaced |= entry.compare(0, name.size() + 1, name + "=") == 0;
    }
    if (!replaced) prepared.strings.push_back(entry);
  }
  for (const auto& [name, value] : program.environment) {
    prepared.strings.push_back(name + "=" + value);
  }
  for (size_t i = 0; i < prepared.strings.size(); ++i) {
    (i < program.argv.size() ? prepared.argv : prepared.environment)
        .push_back(prepared.strings[i].data());
  }
  prepared.argv.push_back(nullptr);
  prepared.environment.push_back(nullptr);
  prepared.stdinPath = program.stdinPath.empty() ? "/dev/null" : program.stdinPath;
  prepared.outPath = outPath.empty() ? "/dev/null" : outPath;
  prepared.errPath = errPath.empty() ? "/dev/null" : errPath;
  const pid_t child = fork();
  if (child == 0) BecomeProgram(program, prepared);
  // Set from both sides, so that the group exists whichever runs first.
  if (child > 0) setpgid(child, child);
  return child;
}

RunResult Run(const Program& program) {
  RunResult result;
  char pattern[] = "/tmp/program_run_XXXXXX";
  if (mkdtemp(pattern) == nullptr) return result;
  const std::string folder = pattern;
  const std::string outPath = program.stdoutPath.empty() ? folder + "/out" : program.stdoutPath;
  const std::string errPath = folder + "/err";
  const pid_t child = Start(program, outPath, errPath);
  if (child > 0) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(program.timeLimitSeconds);
    int status = 0;
    pid_t waited = 0;
    while ((waited = waitpid(child, &status, WNOHANG)) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        result.timedOut = true;
        kill(-child, SIGKILL);
        kill(child, SIGKILL);
        waited = waitpid(child, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (waited == child && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    if (waited == child && WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  }
  if (program.stdoutPath.empty()) result.out = ReadWholeFile(outPath);
  result.err = ReadWholeFile(errPath);
  std::remove((folder + "/out").c_str());
  std::remove(errPath.c_str());
  rmdir(folder.c_str());
  return result;
}

RunResult Run(std::vector<std::string> arguments) {
  Program program;
  program.argv = std::move(arguments);
  return Run(program);
}

std::ostream& operator<<(std::ostream& stream, const RunResult& result) {
  if (result.timedOut) {
    stream << "killed at its time limit";
  } else if (result.signal != 0) {
    stream << "ended by signal " << result.signal;
  } else {
    stream << "exit status " << result.exitStatus;
  }
  return stream << "; stderr: " << result.err;
}

}  // namespace program_run
