// mkcat end to end: the catalogues it writes for a real tree, read byte by byte; its usage and
// errors, unreadable entries, names outside the code page, ZEX's limits, and "-" for standard
// output.
#include <gtest/gtest.h>

#if defined(MKCAT_PATH)

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
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

  const RunResult murRun = RunMkcat({"-v", "mur", work.path + "/out.mur", tree});
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
// exits 1. Root reads past permission bits, so as root mkcat runs as the user "nobody" (a
// run without setpriv is skipped, saying so).
TEST(Mkcat, UnreadableEntriesAreSkippedWithAWarningAndTheRunGoesOn) {
  Scratch work;
  ASSERT_FALSE(work.path.empty());
  const std::string tree = work.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  WriteText(tree + "/kept.txt", "kept");
  ASSERT_EQ(mkdir((tree + "/locked").c_str(), 0), 0);
  WriteText(tree + "/descript.ion", "kept.txt Kept\n");
  std::vector<std::string> arguments;
  if (geteuid() == 0) {
    if (program_run::Run({"setpriv", "--version"}).exitStatus != 0) {
      GTEST_SKIP() << "no setpriv to drop root";
    }
    arguments = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    ASSERT_EQ(chmod(work.path.c_str(), 0777), 0);
  }

  const std::string out = work.path + "/out.zex";
  arguments.insert(arguments.end(), {MKCAT_PATH, "zex", out, tree});
  const RunResult run = program_run::Run(arguments);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.err, "mkcat: " + tree +
                         "/locked: warning: cannot read the folder: Permission denied; "
                         "skipped\n"
                         "mkcat: 1 warning, 1 entry skipped\n");
  const Bytes zex = ReadBytes(out);
  ASSERT_TRUE(ProbesAsZex(zex));
  EXPECT_EQ(GetU16(zex, 116 + 38), 2u);  // descript.ion and kept.txt; no LOCKED
  EXPECT_EQ(GetU32(zex, 16), 40u);       // the root record only
  EXPECT_EQ(TextAt(zex, GetU32(zex, 0) + 32, 11), "KEPT    TXT");
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

}  // namespace

#endif
