// mkcat end to end: the catalogues it writes for a real tree, read byte by byte; its usage and
// errors, unreadable entries, names outside the code page, ZEX's limits, and "-" for standard
// output.
#include <gtest/gtest.h>

#if defined(MKCAT_PATH)

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/mkcat_run.h"
#include "tests/support/raw_catalogue.h"
#include "tools/writer/bytes.h"

namespace {

using namespace catwriter;
using namespace raw_catalogue;
using Bytes = std::vector<uint8_t>;

using namespace mkcat_test;

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Mkcat, CataloguesADirectoryTree) {
  Scratch work;
  ASSERT_FALSE(work.path.empty());
  const std::string tree = work.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((tree + "/sub").c_str(), 0755), 0);
  WriteText(tree + "/readme.txt", "hello");
  WriteText(tree + "/Long File Name.html", "<p>");
  WriteText(tree + "/sub/x.c", "int x;");
  WriteText(tree + "/descript.ion", "readme.txt Read this\n\"Long File Name.html\" A page\n");
  WriteText(tree + "/.hidden", "");
  ASSERT_EQ(chmod((tree + "/.hidden").c_str(), 0444), 0);
  ASSERT_EQ(symlink("/nonexistent/target", (tree + "/link").c_str()), 0);
  WriteText(tree + "/big", "");
  ASSERT_EQ(truncate((tree + "/big").c_str(), 5LL << 30), 0);   // sparse: takes no space
  const timeval y2001[2] = {{1000000000, 0}, {1000000000, 0}};  // 2001-09-09 01:46:40 UTC
  ASSERT_EQ(utimes((tree + "/readme.txt").c_str(), y2001), 0);
  const timeval y1970[2] = {{0, 0}, {0, 0}};
  ASSERT_EQ(utimes((tree + "/.hidden").c_str(), y1970), 0);

  const RunResult zexRun = RunMkcat({"zex", work.path + "/out.zex", tree});
  ASSERT_EQ(zexRun.exitStatus, 0) << zexRun;
  EXPECT_EQ(zexRun.err, "mkcat: " + tree +
                            "/big: warning: size above 4 GiB - 1, recorded as 4294967295\n"
                            "mkcat: 1 warning, 0 entries skipped\n");
  const Bytes zex = ReadBytes(work.path + "/out.zex");
  ASSERT_TRUE(ProbesAsZex(zex));
  // Root record, then SUB; root files in bytewise order of their long names.
  ASSERT_EQ(GetU32(zex, 16), 80u);
  ASSERT_EQ(GetU16(zex, 116 + 38), 6u);
  const uint32_t entries = GetU32(zex, 0);
  const std::vector<std::string> rootNames = {"HIDDEN~1   ", "LONGFI~1HTM", "BIG        ",
                                              "DESCRIPTION", "LINK       ", "README  TXT"};
  for (size_t i = 0; i < rootNames.size(); ++i) {
    EXPECT_EQ(TextAt(zex, entries + 32 * i, 11), rootNames[i]);
  }
  const uint32_t hidden = entries;
  EXPECT_EQ(zex[hidden + 11], 0x23);                           // read-only, hidden, archive
  EXPECT_EQ(GetU16(zex, hidden + 24), 1 << 5 | 1);             // clamped to 1980-01-01
  EXPECT_EQ(GetU32(zex, entries + 2 * 32 + 28), 0xFFFFFFFFu);  // big: clamped size
  EXPECT_EQ(GetU32(zex, entries + 4 * 32 + 28), 0u);           // the link is an empty file
  const uint32_t readme = entries + 5 * 32;
  EXPECT_EQ(zex[readme + 11], 0x20);
  EXPECT_EQ(GetU32(zex, readme + 28), 5u);
  EXPECT_EQ(GetU16(zex, readme + 24), 21 << 9 | 9 << 5 | 9);    // 2001-09-09
  EXPECT_EQ(GetU16(zex, readme + 22), 1 << 11 | 46 << 5 | 20);  // 01:46:40
  const uint32_t note = GetU32(zex, 36) + GetU32(zex, readme + 16) - 1;
  EXPECT_EQ(TextAt(zex, note + 2, GetU16(zex, note)), "Read this");
  EXPECT_EQ(TextAt(zex, 156 + 2, 11), "SUB        ");
  EXPECT_EQ(zex[156 + 2 + 11], 0x10);

  const RunResult murRun = RunMkcat({"-v", work.path + "/out.mur", tree});  // format by name
  ASSERT_EQ(murRun.exitStatus, 0) << murRun;
  const Bytes mur = ReadBytes(work.path + "/out.mur");
  std::vector<std::string> names;
  std::vector<uint32_t> offsets;
  WalkMur(mur, GetU32(mur, 20), "", names, offsets);
  EXPECT_EQ(names,
            (std::vector<std::string>{".hidden", "Long File Name.html", "big", "descript.ion",
                                      "link", "readme.txt", "sub", "sub\\x.c"}));
  EXPECT_EQ(ReadChain(mur, GetU32(mur, offsets[1] + 36)), "A page");
  EXPECT_EQ(GetU32(mur, offsets[5] + 12), (21u << 9 | 9 << 5 | 9) << 16 | (1 << 11 | 46 << 5 | 20));
  EXPECT_NE(murRun.err.find("1 directories, 7 files"), std::string::npos);
}

TEST(Mkcat, UsageAndErrors) {
  Scratch work;
  ASSERT_FALSE(work.path.empty());
  EXPECT_EQ(RunMkcat({}).exitStatus, 2);
  EXPECT_EQ(RunMkcat({"tar", work.path + "/x", work.path}).exitStatus, 2);
  // Without a format, OUTPUT's extension names it; any other is a usage error.
  for (const std::string& output : {work.path + "/x.txt", work.path + "/zex", std::string("-")}) {
    const RunResult unnamed = RunMkcat({output, work.path});
    EXPECT_EQ(unnamed.exitStatus, 2) << output;
    EXPECT_EQ(unnamed.err, "mkcat: cannot tell the format from " + output +
                               ": name it (zex or mur) or end OUTPUT in .zex or .mur\n"
                               "Try 'mkcat --help'.\n");
  }
  ASSERT_EQ(mkdir((work.path + "/empty").c_str(), 0755), 0);
  EXPECT_EQ(RunMkcat({work.path + "/X.ZEX", work.path + "/empty"}).exitStatus, 0);
  EXPECT_TRUE(ProbesAsZex(ReadBytes(work.path + "/X.ZEX")));
  EXPECT_EQ(RunMkcat({"--description-charset", "koi8-r", "zex", work.path + "/x", work.path}).err,
            "mkcat: unknown character set koi8-r (utf-8, cp437, cp850, cp1252 or auto)\n"
            "Try 'mkcat --help'.\n");
  EXPECT_EQ(RunMkcat({"--bogus", "zex", work.path + "/x", work.path}).exitStatus, 2);
  const RunResult valued = RunMkcat({"--verbose=yes", "zex", work.path + "/x", work.path});
  EXPECT_EQ(valued.exitStatus, 2);
  EXPECT_EQ(valued.err, "mkcat: --verbose takes no value\nTry 'mkcat --help'.\n");
  EXPECT_EQ(RunMkcat({"--help"}).exitStatus, 0);
  EXPECT_EQ(RunMkcat({"--version"}).exitStatus, 0);
  for (const char* option : {"--help", "--version"}) {
    program_run::Program full;
    full.argv = {MKCAT_PATH, option};
    full.stdoutPath = "/dev/full";
    EXPECT_EQ(program_run::Run(full).exitStatus, 2) << option;
  }
  const RunResult missing = RunMkcat({"zex", work.path + "/x", work.path + "/missing"});
  EXPECT_EQ(missing.exitStatus, 1);
  EXPECT_EQ(missing.err, "mkcat: " + work.path + "/missing: No such file or directory\n");
  EXPECT_EQ(RunMkcat({"mur", work.path + "/no/such/dir/x", work.path}).exitStatus, 1);
}

// A folder without permissions is skipped with a warning; the rest is written and the run
// exits 1. An unreadable descript.ion leaves the entries beside it in the catalogue without
// descriptions, counted as such, and exits 1 too. Root reads past permission bits, so as root
// mkcat runs as the user "nobody" (a run without setpriv is skipped, saying so).
TEST(Mkcat, UnreadableEntriesAreSkippedWithAWarningAndTheRunGoesOn) {
  Scratch work;
  ASSERT_FALSE(work.path.empty());
  const std::string tree = work.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  WriteText(tree + "/kept.txt", "kept");
  ASSERT_EQ(mkdir((tree + "/locked").c_str(), 0), 0);
  WriteText(tree + "/descript.ion", "kept.txt Kept\n");
  ASSERT_EQ(mkdir((tree + "/notes").c_str(), 0755), 0);
  ASSERT_TRUE(MakeEmptyFiles(tree + "/notes", {"a", "b", "descript.ion"}));
  ASSERT_EQ(chmod((tree + "/notes/descript.ion").c_str(), 0), 0);
  std::vector<std::string> arguments;
  if (geteuid() == 0) {
    if (program_run::Run({"setpriv", "--version"}).exitStatus != 0) {
      GTEST_SKIP() << "no setpriv to drop root";
    }
    arguments = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    ASSERT_EQ(chmod(work.path.c_str(), 0777), 0);
  }

  const std::string out = work.path + "/out.zex";
  std::vector<std::string> whole = arguments;
  whole.insert(whole.end(), {MKCAT_PATH, "zex", out, tree});
  const RunResult run = program_run::Run(whole);
  EXPECT_EQ(run.exitStatus, 1);
  const std::string notRead =
      "/notes/descript.ion: warning: cannot read the descriptions: "
      "Permission denied; descriptions of 2 entries not read\n";
  EXPECT_EQ(run.err, "mkcat: " + tree +
                         "/locked: warning: cannot read the folder: Permission denied; "
                         "skipped\n"
                         "mkcat: " +
                         tree + notRead +
                         "mkcat: 2 warnings, 1 entry skipped, descriptions of 2 entries not "
                         "read\n");
  const Bytes zex = ReadBytes(out);
  ASSERT_TRUE(ProbesAsZex(zex));
  EXPECT_EQ(GetU16(zex, 116 + 38), 2u);  // descript.ion and kept.txt; no LOCKED
  EXPECT_EQ(GetU32(zex, 16), 80u);       // the root and NOTES
  EXPECT_EQ(TextAt(zex, GetU32(zex, 0) + 32, 11), "KEPT    TXT");
  EXPECT_EQ(GetU16(zex, 156 + 38), 3u);  // all of NOTES

  arguments.insert(arguments.end(), {MKCAT_PATH, "zex", out, tree + "/notes"});
  const RunResult notes = program_run::Run(arguments);
  EXPECT_EQ(notes.exitStatus, 1);
  EXPECT_EQ(notes.err, "mkcat: " + tree + notRead +
                           "mkcat: 1 warning, 0 entries skipped, descriptions of 2 entries not "
                           "read\n");
  chmod((tree + "/locked").c_str(), 0755);
}

// In MUR, names keep every character code page 1252 has; the others become "_", and names
// that then meet are made unique, each change reported. Paths past 259 characters are
// written, with a warning that they will list as damaged. Neither changes the exit status.
TEST(Mkcat, MurNamesOutsideTheCodePageStayDistinctAndLongPathsAreReported) {
  Scratch work;
  ASSERT_FALSE(work.path.empty());
  const std::string tree = work.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  WriteText(tree + "/__.txt", "");                        // really called so
  WriteText(tree + "/caf\xc3\xa9.txt", "");               // in the code page
  WriteText(tree + "/\xe4\xb8\xad\xe6\x96\x87.txt", "");  // two Chinese characters
  WriteText(tree + "/\xe6\x97\xa5\xe6\x9c\xac.txt", "");  // two Japanese characters
  const std::string longName(255, 'n');
  ASSERT_EQ(mkdir((tree + "/" + longName).c_str(), 0755), 0);
  WriteText(tree + "/" + longName + "/inside", "");

  const RunResult run = RunMkcat({"mur", work.path + "/out.mur", tree});
  ASSERT_EQ(run.exitStatus, 0) << run;
  const Bytes mur = ReadBytes(work.path + "/out.mur");
  std::vector<std::string> names;
  std::vector<uint32_t> offsets;
  WalkMur(mur, GetU32(mur, 20), "", names, offsets);
  EXPECT_EQ(names, (std::vector<std::string>{"__.txt", "caf\xe9.txt", longName,
                                             longName + "\\inside", "__~2.txt", "__~3.txt"}));
  const std::string reasons =
      "code page 1252 lacks some of its characters; another name in the folder is stored "
      "alike, letter case aside\n";
  EXPECT_EQ(run.err,
            "mkcat: " + tree + "/\xe4\xb8\xad\xe6\x96\x87.txt: warning: name stored as " +
                "\"__~2.txt\": " + reasons + "mkcat: " + tree +
                "/\xe6\x97\xa5\xe6\x9c\xac.txt: warning: name stored as \"__~3.txt\": " + reasons +
                "mkcat: " + tree + "/" + longName +
                "/inside: warning: its path in the catalogue is " +
                "262 characters, over the 259 that a listing holds: it will list as damaged, its " +
                "path cut\n"
                "mkcat: 3 warnings, 0 entries skipped\n");
}

// 65,537 files: the last folder's files would start at entry 65536, past the 16-bit
// numbers of ZEX. mkcat says so, with the tree's size, before making any name, and writes
// nothing.
TEST(Mkcat, ZexLimitsAreCheckedBeforeAnythingIsWritten) {
  Scratch work;
  ASSERT_FALSE(work.path.empty());
  const std::string tree = work.path + "/tree";
  for (const std::string& folder : {tree, tree + "/a", tree + "/b"}) {
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0) << folder;
  }
  std::vector<std::string> numbers;
  for (int i = 1; i <= 65535; ++i) numbers.push_back(std::to_string(i));
  ASSERT_TRUE(MakeEmptyFiles(tree + "/a", numbers));
  ASSERT_TRUE(MakeEmptyFiles(tree, {"root.txt"}));
  ASSERT_TRUE(MakeEmptyFiles(tree + "/b", {"last.txt"}));
  const std::string out = work.path + "/out.zex";
  const RunResult run = RunMkcat({"zex", out, tree});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.err, "mkcat: " + tree +
                         ": too large for a ZEX catalogue: the tree has 65537 files in 2 "
                         "folders; the files of " +
                         tree +
                         "/b would start at entry 65536, and ZEX numbers a folder's first "
                         "entry with 16 bits (up to 65535). Catalogue a smaller tree, or "
                         "write mur, which has no such limits\n");
  EXPECT_NE(access(out.c_str(), F_OK), 0);
}

TEST(Mkcat, DashWritesTheCatalogueToStandardOutput) {
  Scratch work;
  ASSERT_FALSE(work.path.empty());
  const std::string tree = work.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  WriteText(tree + "/Long File Name.html", "<p>");
  ASSERT_EQ(RunMkcat({"zex", work.path + "/named.zex", tree}).exitStatus, 0);
  program_run::Program toStandardOutput;
  toStandardOutput.argv = {MKCAT_PATH, "zex", "-", tree};
  toStandardOutput.stdoutPath = work.path + "/piped.zex";
  ASSERT_EQ(program_run::Run(toStandardOutput).exitStatus, 0);
  EXPECT_EQ(ReadBytes(work.path + "/piped.zex"), ReadBytes(work.path + "/named.zex"));
  EXPECT_NE(access((work.path + "/-").c_str(), F_OK), 0);
}

// On a terminal, standard error shows a progress line: drawn over itself, the folder's path
// escaped and cut to the terminal's width, and cleared at the end. (Every other test runs with
// standard error in a file and sees no such line.)
TEST(Mkcat, ShowsProgressOnATerminal) {
  Scratch work;
  ASSERT_FALSE(work.path.empty());
  const std::string tree = work.path + "/tree\a" + std::string(60, 'x');
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  WriteText(tree + "/file", "12345");
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  // The program's side stays open here too until it has ended; the line is read after.
  const int side = open(ptsname(terminal), O_RDWR | O_NOCTTY);
  ASSERT_GE(side, 0);
  const winsize size = {24, 60, 0, 0};
  ASSERT_EQ(ioctl(terminal, TIOCSWINSZ, &size), 0);
  const std::string out = work.path + "/out.mur";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int quiet = open("/dev/null", O_RDWR);
    if (quiet < 0 || dup2(side, 2) < 0 || dup2(quiet, 1) < 0) _exit(127);
    execl(MKCAT_PATH, MKCAT_PATH, "mur", out.c_str(), tree.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  close(side);
  std::string shown;
  char buffer[4096];
  for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) > 0;) {
    shown.append(buffer, static_cast<size_t>(got));
  }
  close(terminal);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
  // "\r\033[K" then the line, and the clearing last; no line over 59 columns, no control byte.
  const std::string clear = "\r\033[K";
  ASSERT_GE(shown.size(), 2 * clear.size()) << shown;
  EXPECT_EQ(shown.substr(0, clear.size()), clear);
  EXPECT_EQ(shown.substr(shown.size() - clear.size()), clear);
  const std::string line = shown.substr(clear.size(), shown.find(clear, 1) - clear.size());
  EXPECT_EQ(line.substr(0, 31), "1 file, 0 folders, 5 B: ...xxxx") << line;
  EXPECT_EQ(line.size(), 59u) << line;
  EXPECT_EQ(line.find('\a'), std::string::npos);
  EXPECT_EQ(line.substr(line.size() - 1), "'") << line;
}

}  // namespace

#endif
