// cathost, run as a subprocess on catalogues from our writer: its line formats, its error
// messages and exit statuses, and that it follows the host's calling order on damaged files.
#include <gtest/gtest.h>

#if defined(CATHOST_PATH) && defined(ZEX_FMT_PATH) && __has_include("tools/writer/zex_writer.h")

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "catalogue_version.h"
#include "tests/support/json_check.h"
#include "tests/support/program_run.h"
#include "tests/support/scratch.h"
#include "tests/support/trees.h"
#include "tools/writer/mur_writer.h"
#include "tools/writer/zex_writer.h"

namespace {

using catwriter::MakeDosStamp;
using catwriter::ZexDir;
using catwriter::ZexFile;
using catwriter::ZexTree;
namespace zex = catwriter::zex;

// Exit statuses documented by cathost --help.
constexpr int kNotAccepted = 1;
constexpr int kDamaged = 2;
constexpr int kPastEnd = 3;
constexpr int kNoSuchFile = 6;
constexpr int kIsDirectory = 7;
constexpr int kCannotRead = 8;
constexpr int kEmptyFile = 9;
constexpr int kBadModule = 10;
constexpr int kWriteFailed = 11;
constexpr int kUsage = 64;

// A listing that loops instead of ending is a failure, not a hung test run.
constexpr unsigned kChildTimeLimitSeconds = 10;

class CathostTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }

  std::string PathOf(const std::string& name) const { return dir_ + "/" + name; }

  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    std::string path = PathOf(name);
    std::string error;
    EXPECT_TRUE(catwriter::WriteFile(path, bytes, &error)) << error;
    return path;
  }

  // Runs cathost with `args` in the UTC zone.
  RunResult Run(const std::vector<std::string>& args) const {
    program_run::Program cathost;
    cathost.argv = {CATHOST_PATH};
    cathost.argv.insert(cathost.argv.end(), args.begin(), args.end());
    cathost.timeLimitSeconds = kChildTimeLimitSeconds;
    return program_run::Run(cathost);
  }

  Scratch scratch_;
  const std::string& dir_ = scratch_.path;
};

ZexFile File(const std::string& name, const std::string& extension, uint8_t attributes,
             uint32_t size, catwriter::DosStamp stamp) {
  ZexFile file;
  file.name = name;
  file.extension = extension;
  file.attributes = attributes;
  file.size = size;
  file.stamp = stamp;
  return file;
}

// Root files, a directory with a file and a nested directory; the stamps cover a leap day
// and both ends of what a DOS stamp can hold.
ZexTree SampleTree() {
  ZexTree tree;
  ZexFile readme = File("README", "TXT", zex::kReadOnly | zex::kArchive, 1234,
                        MakeDosStamp(1995, 6, 7, 8, 9, 10));
  readme.description = "Read me first";
  tree.rootFiles.push_back(readme);
  tree.rootFiles.push_back(File("SYSTEM", "SYS", zex::kHidden | zex::kSystem, 4000000000u,
                                MakeDosStamp(2000, 2, 29, 23, 59, 58)));
  ZexDir docs;
  docs.name = "DOCS";
  docs.stamp = MakeDosStamp(1980, 1, 1, 0, 0, 0);
  docs.files.push_back(File("A", "TXT", zex::kArchive, 0, MakeDosStamp(2107, 12, 31, 23, 59, 58)));
  ZexDir deep;
  deep.name = "DEEP";
  deep.stamp = MakeDosStamp(2024, 12, 31, 12, 0, 0);
  deep.files.push_back(File("B", "", 0, 77, MakeDosStamp(2025, 1, 1, 0, 0, 2)));
  docs.subdirs.push_back(deep);
  tree.dirs.push_back(docs);
  return tree;
}

constexpr char kSampleListing[] =
    "-r--ao       1234 1995-06-07 08:09:10 README.TXT  -- Read me first\n"
    "--hs-o 4000000000 2000-02-29 23:59:58 SYSTEM.SYS\n"
    "d----o          0 1980-01-01 00:00:00 DOCS\n"
    "----ao          0 2107-12-31 23:59:58 DOCS\\A.TXT\n"
    "d----o          0 2024-12-31 12:00:00 DOCS\\DEEP\n"
    "-----o         77 2025-01-01 00:00:02 DOCS\\DEEP\\B\n";

std::vector<uint8_t> CutAt(std::vector<uint8_t> bytes, size_t size) {
  bytes.resize(size);
  return bytes;
}

size_t CountLines(const std::string& text) {
  size_t lines = 0;
  for (char c : text) lines += c == '\n' ? 1 : 0;
  return lines;
}

TEST_F(CathostTest, TextLinesShowAttributesSizeUtcTimePathAndDescription) {
  std::string path = Write("sample.zex", catwriter::BuildZex(SampleTree()).bytes);
  RunResult result = Run({path});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, kSampleListing);
  EXPECT_EQ(result.err, "");

  // The named module gives the same listing as the one found beside the executable.
  EXPECT_EQ(Run({"--module", ZEX_FMT_PATH, path}).out, kSampleListing);
  EXPECT_EQ(Run({"--module=" ZEX_FMT_PATH, path}).out, kSampleListing);

  // Text times are UTC unless --local-time; JSON times stay UTC. The ZEX module takes its
  // stamps for local times three hours ahead of UTC here, so --local-time shows them as made.
  program_run::Program local;
  local.environment = {{"TZ", "<+03>-3"}};
  local.argv = {CATHOST_PATH, path};
  EXPECT_EQ(program_run::Run(local).out.substr(0, 37), "-r--ao       1234 1995-06-07 05:09:10");
  local.argv = {CATHOST_PATH, "--local-time", path};
  EXPECT_EQ(program_run::Run(local).out, kSampleListing);
  local.argv = {CATHOST_PATH, "--local-time", "--json", path};
  EXPECT_NE(program_run::Run(local).out.find("\"write_time\":\"1995-06-07T05:09:10Z\""),
            std::string::npos);
}

// Padded past 4 GiB (sparse, so it takes no space), the file still lists: the host reads its
// first bytes and the module sees the low 32 bits of its size, the catalogue's own size.
TEST_F(CathostTest, CatalogueFileOf4GiBAndMoreListsByTheLow32BitsOfItsSize) {
  const std::vector<uint8_t> bytes = catwriter::BuildZex(SampleTree()).bytes;
  std::string path = Write("padded.zex", bytes);
  ASSERT_EQ(truncate(path.c_str(), (off_t{1} << 32) + static_cast<off_t>(bytes.size())), 0);
  RunResult result = Run({path});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, kSampleListing);
}

TEST_F(CathostTest, NeighboursSharingStampsOrAttributesKeepTheirOwnFields) {
  // The text line reuses the previous item's formatted stamp and attribute letters when they
  // match: each change, and each return to an earlier value, must still show.
  const catwriter::DosStamp first = MakeDosStamp(2001, 2, 3, 4, 5, 6);
  const catwriter::DosStamp second = MakeDosStamp(2001, 2, 3, 4, 5, 8);
  ZexTree tree;
  tree.rootFiles.push_back(File("F1", "", zex::kArchive, 9, first));
  tree.rootFiles.push_back(File("F2", "", zex::kArchive, 10, first));
  tree.rootFiles.push_back(File("F3", "", zex::kHidden, 0, first));
  tree.rootFiles.push_back(File("F4", "", zex::kHidden, 4294967295u, second));
  tree.rootFiles.push_back(File("F5", "", zex::kArchive, 123456789, first));
  std::string path = Write("neighbours.zex", catwriter::BuildZex(tree).bytes);
  RunResult result = Run({path});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out,
            "----ao          9 2001-02-03 04:05:06 F1\n"
            "----ao         10 2001-02-03 04:05:06 F2\n"
            "--h--o          0 2001-02-03 04:05:06 F3\n"
            "--h--o 4294967295 2001-02-03 04:05:08 F4\n"
            "----ao  123456789 2001-02-03 04:05:06 F5\n");
}

TEST_F(CathostTest, JsonLineCarriesEveryFieldWithEscapedOrDecodedTexts) {
  ZexTree tree;
  ZexDir docs;
  docs.name = "DOCS";
  docs.stamp = MakeDosStamp(1995, 6, 7, 8, 9, 10);
  ZexFile file = File("NOTE", "TXT", zex::kReadOnly | zex::kArchive, 1234, docs.stamp);
  file.description = std::string("say \"hi\" C:\\DOS\tnow\x01", 20);
  docs.files.push_back(file);
  tree.dirs.push_back(docs);
  tree.formatMinor = 8;
  std::string path = Write("quote\"d.zex", catwriter::BuildZex(tree).bytes);

  RunResult result = Run({"--json", path});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  std::string catalogue = "\"" + dir_ + "/quote\\\"d.zex\"";
  std::string stamp = "\"1995-06-07T08:09:10Z\"";
  std::string raw = "124469861500000000";
  std::string expected =
      "{\"catalogue\":" + catalogue +
      ",\"index\":1,\"result\":1,\"path\":\"DOCS\",\"alternate_name\":\"DOCS\","
      "\"attributes\":4112,\"attribute_letters\":\"d----o\",\"size\":0,\"size_high\":0,"
      "\"packed_size\":0,\"packed_size_high\":0,"
      "\"creation_time\":" +
      stamp + ",\"creation_time_raw\":" + raw + ",\"access_time\":" + stamp +
      ",\"access_time_raw\":" + raw + ",\"write_time\":" + stamp + ",\"write_time_raw\":" + raw +
      ",\"host_system\":\"DOS\",\"description\":\"\",\"format_version\":776,"
      "\"format_version_text\":\"3.8\"}\n"
      "{\"catalogue\":" +
      catalogue +
      ",\"index\":2,\"result\":1,\"path\":\"DOCS\\\\NOTE.TXT\",\"alternate_name\":\"NOTE.TXT\","
      "\"attributes\":4129,\"attribute_letters\":\"-r--ao\",\"size\":1234,\"size_high\":0,"
      "\"packed_size\":1234,\"packed_size_high\":0,"
      "\"creation_time\":" +
      stamp + ",\"creation_time_raw\":" + raw + ",\"access_time\":" + stamp +
      ",\"access_time_raw\":" + raw + ",\"write_time\":" + stamp + ",\"write_time_raw\":" + raw +
      ",\"host_system\":\"DOS\",\"description\":\"say \\\"hi\\\" C:\\\\DOS\u25CBnow\u263A\","
      "\"format_version\":776,\"format_version_text\":\"3.8\"}\n";
  EXPECT_EQ(result.out, expected);
  // Undecoded, the same bytes are JSON escapes whose code points equal them.
  EXPECT_NE(Run({"--json", "--raw", path}).out.find("\"say \\\"hi\\\" C:\\\\DOS\\tnow\\u0001\""),
            std::string::npos);
}

TEST_F(CathostTest, CountIsABareNumberOrAsWcCountAndNamePerCatalogueAndATotal) {
  std::string sample = Write("sample.zex", catwriter::BuildZex(SampleTree()).bytes);
  std::string three = Write("three.zex", trees::ThreeFilesMiddleDescribed().bytes);
  EXPECT_EQ(Run({"--count", sample}).out, "6\n");
  RunResult result = Run({"--count", sample, three});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, "6 " + sample + "\n3 " + three + "\n9 total\n");

  // --match keeps the items whose path any glob matches, in every mode; --total sums them.
  const std::vector<std::string> match = {"--match", "*.TXT", "--match=DOCS\\DEE?"};
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.begin(), match.begin(), match.end());
    return Run(args).out;
  };
  EXPECT_EQ(with({"--count", sample, three}), "3 " + sample + "\n0 " + three + "\n3 total\n");
  EXPECT_EQ(with({"--total", sample}),
            "-r--ao       1234 1995-06-07 08:09:10 README.TXT  -- Read me first\n"
            "----ao          0 2107-12-31 23:59:58 DOCS\\A.TXT\n"
            "d----o          0 2024-12-31 12:00:00 DOCS\\DEEP\n"
            "total: 2 files, 1 folder, 1234 bytes\n");
  EXPECT_EQ(CountLines(with({"--json", sample})), 3u);
  EXPECT_EQ(Run({"--total", sample, three}).out,
            "==> " + sample + " <==\n" + kSampleListing +
                "total: 4 files, 2 folders, 4000001311 bytes\n" + "\n==> " + three + " <==\n" +
                Run({three}).out +
                "total: 3 files, 0 folders, 6 bytes\n\ntotal: 7 files, 2 folders, 4000001317 bytes "
                "in 2 catalogues\n");
  const std::string json = Run({"--json", "--total", sample, three}).out;
  EXPECT_TRUE(json_check::EveryLineIsJson(json)) << json;
  EXPECT_NE(json.find("\n{\"catalogue\":\"" + sample +
                      "\",\"total\":{\"files\":4,\"folders\":2,\"bytes\":4000001311}}\n"),
            std::string::npos)
      << json;
  EXPECT_EQ(json.substr(json.rfind("{\"total\"")),
            "{\"total\":{\"catalogues\":2,\"files\":7,\"folders\":2,\"bytes\":4000001317}}\n");
}

TEST_F(CathostTest, SeveralCataloguesAsTextEachComeAfterAHeaderAsHeadWritesThem) {
  std::string sample = Write("sample.zex", catwriter::BuildZex(SampleTree()).bytes);
  std::string three = Write("three.zex", trees::ThreeFilesMiddleDescribed().bytes);
  std::string threeListing =
      "----ao          1 2001-02-03 04:05:06 ONE\n"
      "----ao          2 2001-02-03 04:05:06 TWO  -- the second file\n"
      "----ao          3 2001-02-03 04:05:06 THREE\n";
  // A file that cannot be listed gets no header, only its message.
  RunResult result = Run({sample, PathOf("missing.zex"), three});
  EXPECT_EQ(result.exitStatus, kNoSuchFile);
  EXPECT_EQ(result.out, "==> " + sample + " <==\n" + kSampleListing + "\n==> " + three + " <==\n" +
                            threeListing);
  EXPECT_EQ(result.err, "cathost: " + PathOf("missing.zex") + ": no such file\n");

  // JSON lines name their catalogue themselves.
  std::string json = Run({"--json", sample, three}).out;
  EXPECT_EQ(json.find("==>"), std::string::npos);
  EXPECT_EQ(CountLines(json), 9u);
}

TEST_F(CathostTest, VersionNamesTheProgramAndTheRelease) {
  RunResult result = Run({"--version"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, "cathost (catalogue-modules) " CATALOGUE_VERSION "\n");
}

TEST_F(CathostTest, Cp437TextsBecomeUtf8UnlessRaw) {
  ZexTree tree;
  // u-umlaut, sharp s, a box corner (three UTF-8 bytes) and pound sign.
  ZexFile file = File(
      "\x81"
      "BER\xE1",
      "\xC9\x9C", zex::kArchive, 5, MakeDosStamp(2001, 1, 1, 0, 0, 0));
  file.description = "caf\x82 \xE3r\xFD";
  tree.rootFiles.push_back(file);
  std::string path = Write("oem.zex", catwriter::BuildZex(tree).bytes);

  EXPECT_EQ(Run({path}).out,
            "----ao          5 2001-01-01 00:00:00 \xC3\xBC"
            "BER\xC3\x9F.\xE2\x95\x94\xC2\xA3"
            "  -- caf\xC3\xA9 \xCF\x80r\xC2\xB2\n");
  EXPECT_EQ(Run({"--raw", path}).out,
            "----ao          5 2001-01-01 00:00:00 \x81"
            "BER\xE1.\xC9\x9C  -- caf\x82 \xE3r\xFD\n");

  std::string json = Run({"--json", path}).out;
  EXPECT_NE(json.find("\"path\":\"\xC3\xBC"
                      "BER\xC3\x9F.\xE2\x95\x94\xC2\xA3\""),
            std::string::npos)
      << json;
  std::string rawJson = Run({"--json", "--raw", path}).out;
  EXPECT_NE(rawJson.find("\"description\":\"caf\\u0082 \\u00e3r\\u00fd\""), std::string::npos)
      << rawJson;
}

// A byte a terminal would obey: C0 controls other than the line ends, and DEL.
bool HoldsControlByte(const std::string& text) {
  for (char c : text) {
    auto byte = static_cast<uint8_t>(c);
    if ((byte < 0x20 && byte != '\n') || byte == 0x7F) return true;
  }
  return false;
}

// Every byte from 0x01 to 0xFF in names (eight to a name) and in one description.
ZexTree EveryByteInNamesAndDescriptions() {
  ZexTree tree;
  std::string everyByte;
  for (int byte = 1; byte < 256; ++byte) everyByte += static_cast<char>(byte);
  for (size_t first = 0; first < everyByte.size(); first += zex::kNameWidth) {
    ZexFile file = File(everyByte.substr(first, zex::kNameWidth), "", zex::kArchive, 1,
                        MakeDosStamp(2001, 1, 1, 0, 0, 0));
    file.description = everyByte;
    tree.rootFiles.push_back(file);
  }
  return tree;
}

TEST_F(CathostTest, ControlBytesShowAsTheCodePagesGlyphsAndNeverReachTheTerminal) {
  std::string path =
      Write("bytes.zex", catwriter::BuildZex(EveryByteInNamesAndDescriptions()).bytes);

  RunResult text = Run({"--keep-going", path});
  EXPECT_EQ(CountLines(text.out), 32u);
  EXPECT_FALSE(HoldsControlByte(text.out));
  EXPECT_TRUE(json_check::IsWellFormedUtf8(text.out));
  // The first name holds bytes 1 to 8: smiling faces, card suits, the bullet (an ANSI bullet
  // after the ANSI-to-OEM step) and the inverse bullet.
  EXPECT_NE(text.out.find("\u263A\u263B\u2665\u2666\u2663\u2660\u2022\u25D8"), std::string::npos)
      << text.out;
  // The description's run of bytes 0x0F, 0x14, 0x15, ..., 0x1F and 0x7F.
  EXPECT_NE(text.out.find("\u263C\u25BA\u25C4\u2195\u203C\u00B6\u00A7\u25AC\u21A8\u2191\u2193"
                          "\u2192\u2190\u221F\u2194\u25B2\u25BC !\"#"),
            std::string::npos);
  EXPECT_NE(text.out.find("}~\u2302\u00C7"), std::string::npos);

  RunResult raw = Run({"--keep-going", "--raw", path});
  EXPECT_EQ(CountLines(raw.out), 32u);
  EXPECT_FALSE(HoldsControlByte(raw.out));
  EXPECT_NE(raw.out.find("\\001\\002\\003\\004\\005\\006\\007\\010"), std::string::npos) << raw.out;
  EXPECT_NE(raw.out.find("\\036\\037 !"), std::string::npos);
  EXPECT_NE(raw.out.find("}~\\177\x80\x81"), std::string::npos);

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--json", path}, {"--json", "--raw", path}}) {
    RunResult json = Run(args);
    EXPECT_EQ(CountLines(json.out), 32u);
    EXPECT_FALSE(HoldsControlByte(json.out));
    EXPECT_TRUE(json_check::EveryLineIsJson(json.out)) << json.out;
  }
}

TEST_F(CathostTest, FileNamesWithControlBytesOrInvalidUtf8AreQuotedInEveryLineAboutThem) {
  std::string hostile = Write("a\nb\033]0;title\007.zex", trees::ThreeFilesMiddleDescribed().bytes);
  std::string notUtf8 = Write("\xFF.zex", trees::ThreeFilesMiddleDescribed().bytes);
  const std::string hostileShown = "'" + dir_ + "/a\\012b\\033]0;title\\007.zex'";
  const std::string notUtf8Shown = "'" + dir_ + "/\\377.zex'";

  RunResult text = Run({hostile, notUtf8});
  EXPECT_EQ(text.exitStatus, 0);
  EXPECT_EQ(text.out.find("==> " + hostileShown + " <==\n"), 0u) << text.out;
  EXPECT_NE(text.out.find("\n==> " + notUtf8Shown + " <==\n"), std::string::npos);

  RunResult count = Run({"--count", hostile, notUtf8});
  EXPECT_EQ(count.out, "3 " + hostileShown + "\n3 " + notUtf8Shown + "\n6 total\n");

  RunResult missing = Run({PathOf("gone\r.zex")});
  EXPECT_EQ(missing.err, "cathost: '" + dir_ + "/gone\\015.zex': no such file\n");
  RunResult refused = Run({Write("\x1B[2J.txt", {'n', 'o'})});
  EXPECT_EQ(refused.err.find("cathost: '" + dir_ + "/\\033[2J.txt': "), 0u) << refused.err;

  RunResult json = Run({"--json", hostile, notUtf8});
  EXPECT_TRUE(json_check::EveryLineIsJson(json.out)) << json.out;
  EXPECT_NE(json.out.find("\"catalogue\":\"" + dir_ + "/a\\nb\\u001b]0;title\\u0007.zex\""),
            std::string::npos);
  // A byte that is no UTF-8 becomes the replacement character.
  EXPECT_NE(json.out.find("\"catalogue\":\"" + dir_ + "/\uFFFD.zex\""), std::string::npos);

  for (const RunResult& run : {text, count, missing, refused, json}) {
    EXPECT_FALSE(HoldsControlByte(run.out));
    EXPECT_FALSE(HoldsControlByte(run.err));
  }
}

TEST_F(CathostTest, OutputLargerThanOneBlockKeepsEveryLineInOrder) {
  ZexTree tree;
  for (int d = 0; d < 100; ++d) {
    ZexDir dir;
    dir.name = std::string("D").append(std::to_string(d));
    for (int f = 0; f < 99; ++f) {
      dir.files.push_back(File(std::string("F").append(std::to_string(f)), "DAT", zex::kArchive,
                               uint32_t(f),
                               MakeDosStamp(1990 + d % 30, 1 + f % 12, 1 + f % 28, 0, 0, 0)));
    }
    tree.dirs.push_back(dir);
  }
  std::string path = Write("big.zex", catwriter::BuildZex(tree).bytes);
  RunResult result = Run({path});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_GT(result.out.size(), size_t{1} << 18);  // past one 256 KiB output block
  EXPECT_EQ(CountLines(result.out), 10000u);
  std::string lastLine = "----ao         98 1999-03-15 00:00:00 D99\\F98.DAT\n";
  ASSERT_GT(result.out.size(), lastLine.size());
  EXPECT_EQ(result.out.substr(result.out.size() - lastLine.size()), lastLine);
  EXPECT_EQ(Run({"--count", path}).out, "10000\n");
}

TEST_F(CathostTest, FileProblemsHaveTheirOwnStatusAndMessage) {
  std::string missing = PathOf("missing.zex");
  RunResult result = Run({missing});
  EXPECT_EQ(result.exitStatus, kNoSuchFile);
  EXPECT_EQ(result.err, "cathost: " + missing + ": no such file\n");

  result = Run({dir_});
  EXPECT_EQ(result.exitStatus, kIsDirectory);
  EXPECT_EQ(result.err, "cathost: " + dir_ + ": is a directory\n");

  std::string empty = Write("empty.zex", {});
  result = Run({empty});
  EXPECT_EQ(result.exitStatus, kEmptyFile);
  EXPECT_EQ(result.err, "cathost: " + empty + ": empty file\n");

  std::string text = Write("notes.txt", {'j', 'u', 's', 't', ' ', 't', 'e', 'x', 't', '\n'});
  result = Run({text});
  EXPECT_EQ(result.exitStatus, kNotAccepted);
  EXPECT_EQ(result.err.rfind("cathost: " + text + ": ", 0), 0u) << result.err;
  EXPECT_EQ(result.out, "");

  // A file that opens but whose first read fails: the process's own memory at address 0.
  result = Run({"/proc/self/mem"});
  EXPECT_EQ(result.exitStatus, kCannotRead);
  EXPECT_EQ(result.err.rfind("cathost: /proc/self/mem: cannot read the file: ", 0), 0u)
      << result.err;

  // A named pipe with no writer would block a reader for ever: it is empty at once.
  std::string pipe = PathOf("pipe.zex");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  result = Run({pipe});
  EXPECT_EQ(result.exitStatus, kEmptyFile);
  EXPECT_EQ(result.err, "cathost: " + pipe + ": empty file (nothing was written to the pipe)\n");
  // A device is no catalogue: /dev/zero would never end.
  result = Run({"/dev/zero"});
  EXPECT_EQ(result.exitStatus, kCannotRead);
  EXPECT_EQ(result.err, "cathost: /dev/zero: cannot read the file: not a regular file\n");
}

// Standard input (-) and pipes are copied into memory, gzip data decompressed on the way.
TEST_F(CathostTest, StandardInputPipesAndGzipCataloguesListAsTheirFiles) {
#ifndef CATALOGUE_HAVE_ZLIB
  GTEST_SKIP() << "this build reads no gzip data (zlib is missing for this target)";
#endif
  std::string path = Write("sample.zex", catwriter::BuildZex(SampleTree()).bytes);
  ASSERT_EQ(std::system(("gzip -k '" + path + "'").c_str()), 0);
  auto piped = [&](const std::string& file, const std::vector<std::string>& args) {
    program_run::Program shell;
    shell.argv = {"/bin/sh", "-c", "f=$1; shift; cat \"$f\" | \"$0\" \"$@\"", CATHOST_PATH, file};
    shell.argv.insert(shell.argv.end(), args.begin(), args.end());
    shell.timeLimitSeconds = kChildTimeLimitSeconds;
    return program_run::Run(shell);
  };
  for (const RunResult& result : {Run({path + ".gz"}), piped(path, {"-"}),
                                  piped(path + ".gz", {"-"}), piped(path, {"/dev/stdin"})}) {
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, kSampleListing);
  }
  for (const std::string& file : {path, path + ".gz"}) {
    program_run::Program redirected;
    redirected.argv = {CATHOST_PATH, "-"};
    redirected.stdinPath = file;
    EXPECT_EQ(program_run::Run(redirected).out, kSampleListing) << file;
  }

  // Text that is no catalogue, and gzip data cut short, are refused by name.
  RunResult text = piped(Write("notes.txt", {'h', 'i', '\n'}), {"-"});
  EXPECT_EQ(text.exitStatus, kNotAccepted);
  EXPECT_EQ(text.err, "cathost: -: no format module accepts this file\n");
  std::ifstream file(path + ".gz", std::ios::binary);
  std::vector<uint8_t> gzipped{std::istreambuf_iterator<char>(file), {}};
  std::string cut = Write("cut.zex.gz", CutAt(gzipped, gzipped.size() / 2));
  RunResult damaged = Run({cut});
  EXPECT_EQ(damaged.exitStatus, kCannotRead);
  EXPECT_EQ(damaged.err,
            "cathost: " + cut + ": cannot read the file: the gzip data is cut short\n");
}

// As root, cathost runs as nobody here, whom the permissions hold back.
TEST_F(CathostTest, UnreadableFileIsReportedAsCannotRead) {
  std::string path = Write("locked.zex", catwriter::BuildZex(SampleTree()).bytes);
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  program_run::Program cathost;
  cathost.argv = {CATHOST_PATH, path};
  if (geteuid() == 0) cathost.userId = 65534;
  RunResult result = program_run::Run(cathost);
  EXPECT_EQ(result.exitStatus, kCannotRead);
  EXPECT_NE(result.err.find("cannot read the file"), std::string::npos) << result.err;
}

TEST_F(CathostTest, ModulesThatCannotServeAreRefused) {
  std::string catalogue = Write("sample.zex", catwriter::BuildZex(SampleTree()).bytes);
  std::string notLibrary = Write("fake_fmt.so", {'n', 'o', 't', ' ', 'E', 'L', 'F'});
  RunResult result = Run({"--module", notLibrary, catalogue});
  EXPECT_EQ(result.exitStatus, kBadModule);
  EXPECT_EQ(result.err.rfind("cathost: " + notLibrary + ": cannot load module", 0), 0u)
      << result.err;

  // A real shared library without the entry points: the C library itself.
  Dl_info info;
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&fopen), &info), 0);
  result = Run({"--module", info.dli_fname, catalogue});
  EXPECT_EQ(result.exitStatus, kBadModule);
  EXPECT_NE(result.err.find("not a format module: no entry point LoadFormatModule"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(result.out, "");
}

TEST_F(CathostTest, UsageErrorsExitWith64) {
  EXPECT_EQ(Run({}).exitStatus, kUsage);
  EXPECT_EQ(Run({"--no-such-option", "x.zex"}).exitStatus, kUsage);
  EXPECT_EQ(Run({"x.zex", "--module"}).exitStatus, kUsage);
  // A switch given a value and an empty path are refused, naming the option.
  // A count is neither JSON nor totals.
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--json=false", "x.zex"},
                                               {"--module=", "x.zex"},
                                               {"--module", "", "x.zex"},
                                               {"--count", "--json", "x.zex"},
                                               {"--count", "--total", "x.zex"},
                                               {"--match"}}) {
    RunResult result = Run(args);
    EXPECT_EQ(result.exitStatus, kUsage) << result.err;
    EXPECT_EQ(result.err.rfind("cathost: " + args[0].substr(0, args[0].find('=')), 0), 0u)
        << result.err;
    EXPECT_NE(result.err.find("\nTry 'cathost --help'.\n"), std::string::npos) << result.err;
  }
  RunResult help = Run({"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.out.find("64  usage error"), std::string::npos);
  // Help or a version that cannot be written fails as a listing does.
  for (const char* option : {"--help", "--version"}) {
    program_run::Program full;
    full.argv = {CATHOST_PATH, option};
    full.stdoutPath = "/dev/full";
    EXPECT_EQ(program_run::Run(full).exitStatus, kWriteFailed) << option;
  }
}

TEST_F(CathostTest, DamagedTextStopsAfterTheItemUnlessKeepGoing) {
  catwriter::ZexImage image = trees::ThreeFilesMiddleDescribed();
  ASSERT_EQ(image.layout.noteOffsets.size(), 1u);
  // The note's length survives, its text does not: item 2 arrives without its description.
  std::string path = Write("cut.zex", CutAt(image.bytes, image.layout.noteOffsets[0] + 4));
  std::string firstTwo =
      "----ao          1 2001-02-03 04:05:06 ONE\n"
      "----ao          2 2001-02-03 04:05:06 TWO\n";

  RunResult result = Run({path});
  EXPECT_EQ(result.exitStatus, kDamaged);
  EXPECT_EQ(result.out, firstTwo);
  EXPECT_NE(result.err.find("cathost: " + path + ": item 2: damaged catalogue"), std::string::npos)
      << result.err;
  // The message says that the listing stopped on purpose, and how to see the rest.
  EXPECT_NE(result.err.find("the listing stops here as the archive host's does, --keep-going "
                            "lists the rest\n"),
            std::string::npos)
      << result.err;

  result = Run({"--keep-going", path});
  EXPECT_EQ(result.exitStatus, kDamaged);
  EXPECT_EQ(result.out, firstTwo + "----ao          3 2001-02-03 04:05:06 THREE\n");
  EXPECT_EQ(CountLines(result.err), 1u) << result.err;

  EXPECT_EQ(Run({"--count", "--keep-going", path}).out, "3\n");
  EXPECT_NE(Run({"--json", path}).out.find("\"index\":2,\"result\":2,\"path\":\"TWO\""),
            std::string::npos);
}

TEST_F(CathostTest, UndeliveredRecordEndsTheListingEvenWithKeepGoing) {
  catwriter::ZexImage image = trees::ThreeFilesMiddleDescribed();
  uint32_t second = image.layout.entryOffsets[1];
  std::string one = "----ao          1 2001-02-03 04:05:06 ONE\n";

  // The second entry runs past the end: result 2 with nothing delivered. The module would
  // return the same on every retry, so going on would never end.
  std::string torn = Write("torn.zex", CutAt(image.bytes, second + 10));
  RunResult result = Run({"--keep-going", torn});
  EXPECT_EQ(result.exitStatus, kDamaged);
  EXPECT_EQ(result.out, one);
  EXPECT_NE(result.err.find("item 2: damaged catalogue"), std::string::npos) << result.err;

  std::string ended = Write("ended.zex", CutAt(image.bytes, second));
  result = Run({ended});
  EXPECT_EQ(result.exitStatus, kPastEnd);
  EXPECT_EQ(result.out, one);
  EXPECT_EQ(result.err,
            "cathost: " + ended + ": item 2: record past the end of the file (result 3)\n");
}

// The highest status wins, whatever the order: the table runs from the mildest failure to
// the gravest.
TEST_F(CathostTest, SeveralCataloguesExitWithTheWorstStatus) {
  std::string good = Write("good.zex", catwriter::BuildZex(SampleTree()).bytes);
  std::string empty = Write("empty.zex", {});
  RunResult result = Run({"--count", good, PathOf("missing.zex"), empty, good});
  EXPECT_EQ(result.exitStatus, kEmptyFile);
  EXPECT_EQ(result.out, "6 " + good + "\n6 " + good + "\n12 total\n");
  EXPECT_EQ(CountLines(result.err), 2u) << result.err;

  catwriter::ZexImage image = trees::ThreeFilesMiddleDescribed();
  std::string cut = Write("cut.zex", CutAt(image.bytes, image.layout.noteOffsets[0] + 4));
  std::string text = Write("notes.txt", {'t', 'e', 'x', 't', '\n'});
  EXPECT_EQ(Run({cut, text}).exitStatus, kDamaged);
  EXPECT_EQ(Run({text, cut}).exitStatus, kDamaged);
  EXPECT_EQ(Run({text, good}).exitStatus, kNotAccepted);
}

#if defined(MUR_FMT_PATH) && __has_include("tools/writer/mur_writer.h")
TEST_F(CathostTest, EachCatalogueGoesToTheModuleThatAcceptsIt) {
  catwriter::MurTree tree;
  catwriter::MurNode node;
  node.name = "Long name";
  node.extension = "text";
  node.size = 9;
  node.stamp = MakeDosStamp(2010, 5, 6, 7, 8, 10);
  node.description = "kept";
  tree.top.push_back(node);
  std::string mur = Write("one.mur", catwriter::BuildMur(tree).bytes);
  std::string zexPath = Write("sample.zex", catwriter::BuildZex(SampleTree()).bytes);

  RunResult result = Run({zexPath, mur});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, "==> " + zexPath + " <==\n" + kSampleListing + "\n==> " + mur +
                            " <==\n"
                            "-r--ao          9 2010-05-06 07:08:10 Long name.text  -- kept\n");

  EXPECT_EQ(Run({"--module", ZEX_FMT_PATH, mur}).exitStatus, kNotAccepted);

  std::string modules = Run({"--list-modules"}).out;
  EXPECT_NE(modules.find("mur_fmt.so\tMUR\n"), std::string::npos) << modules;
  EXPECT_NE(modules.find("zex_fmt.so\tZEX\n"), std::string::npos) << modules;
}
#endif

}  // namespace

#endif
