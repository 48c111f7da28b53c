// The tests' program runner itself: what it hands the program (arguments as they are, standard
// input, environment, folder, umask and open-file limit) and how it reports the end of a run
// (exit status, signal, a hang killed at its time limit). The programs here are the shell and
// sleep, as they are on every system the tests run on.
#include "tests/support/program_run.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <string>

#include "tests/support/scratch.h"

namespace {

TEST(ProgramRun, TheProgramGetsItsInputEnvironmentFolderAndLimits) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string input = scratch.path + "/input";
  std::ofstream(input) << "from the file\n";
  program_run::Program shell;
  // Arguments reach the program as they are: no shell splits or expands them on the way.
  shell.argv = {"sh", "-c",
                "cat; printf '%s|%s|%s|' \"$1\" \"$TZ\" \"$EXTRA\"; pwd; umask; ulimit -n; "
                "echo to-stderr >&2; exit 7",
                "name", "two words '$HOME' \\ *"};
  shell.stdinPath = input;
  shell.environment.push_back({"EXTRA", "added"});
  shell.workingFolder = scratch.path;
  shell.umask = 027;
  shell.openFilesLimit = 64;
  const RunResult run = program_run::Run(shell);
  EXPECT_EQ(run.exitStatus, 7);
  EXPECT_EQ(run.signal, 0);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.out,
            "from the file\ntwo words '$HOME' \\ *|UTC|added|" + scratch.path + "\n0027\n64\n");
  EXPECT_EQ(run.err, "to-stderr\n");
}

TEST(ProgramRun, StandardOutputCanGoToAFile) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path.empty());
  program_run::Program shell;
  shell.argv = {"sh", "-c", "printf 'bytes\\0kept'"};
  shell.stdoutPath = scratch.path + "/out";
  const RunResult run = program_run::Run(shell);
  EXPECT_EQ(run.exitStatus, 0) << run;
  EXPECT_EQ(run.out, "");
  std::ifstream file(shell.stdoutPath, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), std::string("bytes\0kept", 10));
}

TEST(ProgramRun, AHangIsKilledAtItsTimeLimitAndASignalIsReported) {
  program_run::Program hang;
  hang.argv = {"sleep", "30"};
  hang.timeLimitSeconds = 1;
  const auto start = std::chrono::steady_clock::now();
  const RunResult hung = program_run::Run(hang);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(hung.timedOut);
  EXPECT_EQ(hung.exitStatus, -1);
  EXPECT_EQ(hung.signal, SIGKILL);

  const RunResult killed = program_run::Run({"sh", "-c", "kill -TERM $$"});
  EXPECT_FALSE(killed.timedOut);
  EXPECT_EQ(killed.signal, SIGTERM);
  EXPECT_EQ(killed.exitStatus, -1);

  const RunResult missing = program_run::Run({"/nonexistent/program"});
  EXPECT_EQ(missing.exitStatus, 127);
}

}  // namespace
