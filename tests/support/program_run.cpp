#include "tests/support/program_run.h"

#include <fcntl.h>
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
bool Redirect(const std::string& path, int flags, int target) {
  const int fd = open(path.empty() ? "/dev/null" : path.c_str(), flags, 0600);
  if (fd < 0) return false;
  if (fd != target && (dup2(fd, target) < 0 || close(fd) != 0)) return false;
  return true;
}

// Between fork and exec: only what is safe in a child of a threaded process, and no return.
[[noreturn]] void BecomeProgram(const Program& program, std::vector<char*>& argv,
                                const std::string& outPath, const std::string& errPath) {
  const int write = O_WRONLY | O_CREAT | O_TRUNC;
  if (!Redirect(program.stdinPath, O_RDONLY, 0) || !Redirect(outPath, write, 1) ||
      !Redirect(errPath, write, 2)) {
    _exit(127);
  }
  // Its own process group, so that a time limit kills whatever it started too.
  setpgid(0, 0);
  for (const auto& [name, value] : program.environment) setenv(name.c_str(), value.c_str(), 1);
  if (!program.workingFolder.empty() && chdir(program.workingFolder.c_str()) != 0) _exit(127);
  if (program.umask) ::umask(*program.umask);
  if (program.openFilesLimit != 0) {
    const rlimit limit = {program.openFilesLimit, program.openFilesLimit};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(127);
  }
  execvp(argv[0], argv.data());
  _exit(127);
}

}  // namespace

pid_t Start(const Program& program, const std::string& outPath, const std::string& errPath) {
  if (program.argv.empty()) return -1;
  std::vector<std::string> copies = program.argv;
  std::vector<char*> argv;
  for (std::string& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) BecomeProgram(program, argv, outPath, errPath);
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
