// mkcat's texts: MUR names made ones Windows can hold, ZEX short names that name no device,
// descriptions in each format's code page and cut to what a listing shows, and messages that
// never hand a control byte to the terminal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/writer/progress.h"
#include "tools/writer/short_names.h"
#include "tools/writer/text.h"

#if defined(MKCAT_PATH) && defined(CATHOST_PATH)
#include <sys/stat.h>

#include "tests/support/mkcat_run.h"
#endif

namespace {

using namespace catwriter;

TEST(WindowsNames, ForbiddenCharactersTrailingDotsAndDevices) {
  struct Case {
    const char* name;
    const char* fitted;
  };
  const Case cases[] = {
      {"plain.txt", "plain.txt"},
      {"system-systemd\\x2dcryptsetup.slice", "system-systemd_x2dcryptsetup.slice"},
      {"a<b>c:d\"e|f?g*h/i", "a_b_c_d_e_f_g_h_i"},
      {"tab\there\x1f", "tab_here_"},
      {"ends in dots..", "ends in dots__"},
      {"ends in a blank ", "ends in a blank_"},
      {"..", "__"},
      {"CON", "CON_"},
      {"con.txt", "con_.txt"},
      {"nul.tar.gz", "nul_.tar.gz"},
      {"Lpt9", "Lpt9_"},
      {"COM\xB9", "COM\xB9_"},  // superscript one
      {"AUX .txt", "AUX _.txt"},
      {"COM10", "COM10"},
      {"CONSOLE", "CONSOLE"},
      {"x.CON", "x.CON"},
      {"LPT0", "LPT0"},
  };
  for (const Case& c : cases) EXPECT_EQ(FitWindowsName(c.name), c.fitted) << c.name;
  WindowsNameChanges changes;
  FitWindowsName("prn. ", &changes);
  EXPECT_FALSE(changes.forbiddenCharacters);
  EXPECT_TRUE(changes.trailingDotsOrSpaces);
  EXPECT_FALSE(changes.reservedDeviceName);  // "prn__" names no device any more
  FitWindowsName("aux.c", &changes);
  EXPECT_TRUE(changes.reservedDeviceName);
}

TEST(WindowsNames, CaseFoldsAsciiAndTheLettersOfCodePage1252) {
  EXPECT_EQ(FoldCp1252Case("ReadMe.Txt"), FoldCp1252Case("README.TXT"));
  EXPECT_EQ(FoldCp1252Case("\xE9t\xE9"), FoldCp1252Case("\xC9T\xC9"));  // ete, accents
  EXPECT_EQ(FoldCp1252Case("\x9A\x9C\x9E\xFF"), FoldCp1252Case("\x8A\x8C\x8E\x9F"));
  EXPECT_NE(FoldCp1252Case("\xF7"), FoldCp1252Case("\xD7"));  // division and multiplication
  EXPECT_NE(FoldCp1252Case("\xDF"), FoldCp1252Case("\xFF"));  // sharp s stays itself
}

// Device names that are already 8.3 names get generated names, which hold a "~" and so never
// name a device; no generated name holds a character a short name cannot.
TEST(ShortNames, NeverADeviceNameOrAForbiddenCharacter) {
  const std::vector<std::string> names = {"CON", "nul.txt", "aux.c",  "COM1",         "lpt9.doc",
                                          "prn", "a\\b",    "x:y*z?", "\x01\x7f.\x1b"};
  const std::vector<ShortName> shortNames = MakeShortNames(names);
  const std::string allowed = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!#$%&'()-@^_`{}~";
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_FALSE(IsReservedDeviceName(shortNames[i].base)) << names[i];
    EXPECT_EQ((shortNames[i].base + shortNames[i].extension).find_first_not_of(allowed),
              std::string::npos)
        << names[i];
  }
  EXPECT_EQ(shortNames[0].base, "CON~1");
  EXPECT_EQ(shortNames[1].base + "." + shortNames[1].extension, "NUL~1.TXT");
  EXPECT_FALSE(IsValidShortName("con"));
  EXPECT_TRUE(IsValidShortName("console"));
}

// Every byte of code page 437 but 0 goes to UTF-8 and back to itself: the glyphs of 0x01 to
// 0x1F and 0x7F included.
TEST(Cp437, EveryByteRoundTrips) {
  std::string all;
  for (int byte = 1; byte < 256; ++byte) all += static_cast<char>(byte);
  bool exact = false;
  EXPECT_EQ(Utf8ToCp437(Cp437ToUtf8(all), &exact), all);
  EXPECT_TRUE(exact);
  EXPECT_EQ(Utf8ToCp437("caf\xC3\xA9 na\xC3\xAFve", &exact), "caf\x82 na\x8Bve");
  EXPECT_TRUE(exact);
  EXPECT_EQ(Utf8ToCp437("\xE2\x98\xBA \xE2\x99\xA5 \xE2\x8C\x82", &exact), "\x01 \x03 \x7F");
  EXPECT_EQ(Utf8ToCp437("\xE4\xB8\xAD x \xC3", &exact), "? x ?");  // missing, then cut short
  EXPECT_FALSE(exact);
}

// The progress line fits the terminal: the folder's path cut at its start, whole characters
// kept (two columns for a wide one), control bytes escaped.
TEST(ProgressLine, FitsTheWidthAndShowsTheFolderSafely) {
  EXPECT_EQ(ProgressLine(1, 2, 1536, "/media/cd", 80), "1 file, 2 folders, 1.5 KiB: /media/cd");
  EXPECT_EQ(ProgressLine(0, 1, 5, "/a/b\x1b[2Jc", 80), "0 files, 1 folder, 5 B: '/a/b\\033[2Jc'");
  const std::string wide = "/\xE4\xB8\xAD\xE6\x96\x87/\xE6\x97\xA5\xE6\x9C\xAC";  // four wide
  EXPECT_EQ(ProgressLine(3, 4, 0, wide, 31), "3 files, 4 folders, 0 B: ...\xE6\x9C\xAC");
  EXPECT_EQ(ProgressLine(3, 4, 0, wide, 10), "3 files, ");
}

#if defined(MKCAT_PATH) && defined(CATHOST_PATH)

using namespace mkcat_test;

std::vector<std::string> PathsOf(const std::vector<ListedEntry>& entries) {
  std::vector<std::string> paths;
  for (const ListedEntry& entry : entries) paths.push_back(entry.path);
  return paths;
}

// Each change is one warning line naming the entry escaped, with every reason; names that
// then meet, letter case aside, get the lowest free "~N".
TEST(MkcatNames, MurNamesAreOnesWindowsCanHold) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string tree = scratch.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  for (const char* name : {"system-systemd\\x2dcryptsetup.slice", "CON", "nul.txt", "a<b>", "a_b_",
                           "dot.", "README", "readme", "Readme", "\xC3\x89t\xC3\xA9",
                           "\xC3\xA9t\xC3\xA9", "bell\x07.txt", "\xE4\xB8\xAD.txt", "?.txt"}) {
    WriteText(tree + "/" + name, "");
  }
  ASSERT_EQ(mkdir((tree + "/sub\\dir").c_str(), 0755), 0);
  WriteText(tree + "/sub\\dir/inside", "");

  const RunResult run = RunMkcat({"mur", scratch.path + "/out.mur", tree});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(PathsOf(ListCatalogue(scratch.path + "/out.mur")),
            (std::vector<std::string>{"_.txt", "CON_", "README", "Readme~2", "a_b_~2", "a_b_",
                                      "bell_.txt", "dot_", "nul_.txt", "readme~3", "sub_dir",
                                      "sub_dir\\inside", "system-systemd_x2dcryptsetup.slice",
                                      "\xC3\x89t\xC3\xA9", "\xC3\xA9t\xC3\xA9~2", "_~2.txt"}));
  const std::string forbidden =
      "a Windows name cannot hold \\ / : * ? \" < > | or control characters";
  const std::string alike = "another name in the folder is stored alike, letter case aside";
  const std::string caseOnly = "another name in the folder differs from it only in letter case";
  // Each entry named as a terminal may show it: quoted where the name holds a control byte.
  const auto plain = [&](const std::string& name) { return tree + "/" + name; };
  const std::vector<std::pair<std::string, std::string>> warnings = {
      {plain("?.txt"), "\"_.txt\": " + forbidden},
      {plain("CON"), "\"CON_\": it would name a Windows device"},
      {plain("Readme"), "\"Readme~2\": " + caseOnly},
      {plain("a<b>"), "\"a_b_~2\": " + forbidden + "; " + alike},
      {"'" + tree + "/bell\\007.txt'", "\"bell_.txt\": " + forbidden},
      {plain("dot."), "\"dot_\": Windows drops trailing dots and spaces"},
      {plain("nul.txt"), "\"nul_.txt\": it would name a Windows device"},
      {plain("readme"), "\"readme~3\": " + caseOnly},
      {plain("sub\\dir"), "\"sub_dir\": " + forbidden},
      {plain("system-systemd\\x2dcryptsetup.slice"),
       "\"system-systemd_x2dcryptsetup.slice\": " + forbidden},
      {plain("\xC3\xA9t\xC3\xA9"), "\"\xC3\xA9t\xC3\xA9~2\": " + caseOnly},
      {plain("\xE4\xB8\xAD.txt"),
       "\"_~2.txt\": code page 1252 lacks some of its characters; " + alike},
  };
  std::string expected;
  for (const auto& [shownPath, stored] : warnings) {
    expected += "mkcat: " + shownPath + ": warning: name stored as " + stored + "\n";
  }
  EXPECT_EQ(run.err, expected + "mkcat: 12 warnings, 0 entries skipped\n");
}

// "caf\u00e9 na\u00efve" and the glyphs of code page 437's low bytes come back from a ZEX
// catalogue as they were; MUR keeps code page 1252. Characters a code page lacks and control
// characters become "?" (a tab a blank), with one warning per description.
TEST(MkcatDescriptions, EachFormatInItsCodePage) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string tree = scratch.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  for (const char* name : {"a", "b", "c", "d"}) WriteText(tree + "/" + name, "");
  WriteText(tree + "/descript.ion",
            "a caf\xC3\xA9 na\xC3\xAFve\n"
            "b \xE2\x98\xBA smile \xE2\x99\xA5 \xE2\x8C\x82 \xC2\xA7\n"
            "c \xE4\xB8\xAD text \xE2\x82\xAC\n"
            "d tab\there bell\x07" +
                std::string(1, '\0') + "nul\n");  // a zero byte would end the text early
  const std::string zex = scratch.path + "/out.zex";
  const std::string mur = scratch.path + "/out.mur";
  const RunResult zexRun = RunMkcat({"zex", zex, tree});
  EXPECT_EQ(zexRun.exitStatus, 0);
  const std::vector<ListedEntry> zexListing = ListCatalogue(zex);
  ASSERT_EQ(zexListing.size(), 5u);
  EXPECT_EQ(zexListing[0].description, "caf\xC3\xA9 na\xC3\xAFve");
  EXPECT_EQ(zexListing[1].description, "\xE2\x98\xBA smile \xE2\x99\xA5 \xE2\x8C\x82 \xC2\xA7");
  EXPECT_EQ(zexListing[2].description, "? text ?");  // the euro sign is not in 437
  EXPECT_EQ(zexListing[3].description, "tab here bell??nul");
  EXPECT_EQ(zexRun.err, "mkcat: " + tree +
                            "/c: warning: description changed: characters code page 437 lacks "
                            "became \"?\"\n"
                            "mkcat: " +
                            tree +
                            "/d: warning: description changed: control characters became "
                            "\"?\"\n"
                            "mkcat: 2 warnings, 0 entries skipped\n");

  const RunResult murRun = RunMkcat({"mur", mur, tree});
  EXPECT_EQ(murRun.exitStatus, 0);
  const std::vector<ListedEntry> murListing = ListCatalogue(mur);
  ASSERT_EQ(murListing.size(), 5u);
  EXPECT_EQ(murListing[0].description, "caf\xC3\xA9 na\xC3\xAFve");
  EXPECT_EQ(murListing[1].description, "? smile ? ? \xC2\xA7");  // 1252 has the section sign
  EXPECT_NE(murRun.err.find("/b: warning: description changed: characters code page 1252 "
                            "lacks became \"?\"\n"),
            std::string::npos)
      << murRun.err;
}

// A descript.ion that is no UTF-8 is read as code page 850 (names too), unless
// --description-charset names its character set; 4DOS's extended data after 0x04 0xC2 is left
// out. The descriptions come back from both formats as written.
TEST(MkcatDescriptions, DosCodePagesAndExtendedData) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string tree = scratch.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  for (const char* name : {"a", "M\xC3\xBCller.txt"}) WriteText(tree + "/" + name, "");
  WriteText(tree + "/descript.ion",
            "a Gr\x81\xE1"
            "e aus M\x81nchen\x04\xC2\x10\xFF\x7F\r\n"
            "M\x81ller.txt \xBD\r\n");
  const auto described = [&](const std::string& catalogue, const std::string& path) {
    for (const ListedEntry& entry : ListCatalogue(scratch.path + "/" + catalogue)) {
      if (entry.path == path) return entry.description;
    }
    return std::string("(not listed)");
  };
  const std::string gruesse =
      "Gr\xC3\xBC\xC3\x9F"
      "e aus M\xC3\xBCnchen";
  ASSERT_EQ(RunMkcat({scratch.path + "/out.zex", tree}).exitStatus, 0);
  EXPECT_EQ(described("out.zex", "A"), gruesse);
  ASSERT_EQ(RunMkcat({scratch.path + "/out.mur", tree}).exitStatus, 0);
  EXPECT_EQ(described("out.mur", "a"), gruesse);
  // 0xBD: the cent sign in code page 850, a box-drawing piece in 437.
  EXPECT_EQ(described("out.zex", "M_LLER~1.TXT"), "\xC2\xA2");
  ASSERT_EQ(
      RunMkcat({"--description-charset", "cp437", scratch.path + "/437.zex", tree}).exitStatus, 0);
  EXPECT_EQ(described("437.zex", "M_LLER~1.TXT"), "\xE2\x95\x9C");
  WriteText(tree + "/descript.ion",
            "a Gr\xFC\xDF"
            "e\n");
  ASSERT_EQ(
      RunMkcat({"--description-charset=windows-1252", scratch.path + "/1252.zex", tree}).exitStatus,
      0);
  EXPECT_EQ(described("1252.zex", "A"),
            "Gr\xC3\xBC\xC3\x9F"
            "e");
}

// A description past 255 characters is cut at 255 with a warning, in both formats; one past
// the 65535 bytes of a ZEX block no longer stops the whole catalogue.
TEST(MkcatDescriptions, LongOnesAreCutWithAWarning) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string tree = scratch.path + "/tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  WriteText(tree + "/long", "");
  WriteText(tree + "/huge", "");
  // 254 ASCII characters, then accented ones: the cut falls after the first of them.
  const std::string accents = "\xC3\xA9\xC3\xA9\xC3\xA9";
  WriteText(tree + "/descript.ion",
            "long " + std::string(254, 'x') + accents + "\nhuge " + std::string(70000, 'y') + "\n");
  for (const char* format : {"zex", "mur"}) {
    const std::string catalogue = scratch.path + "/out." + format;
    const RunResult run = RunMkcat({format, catalogue, tree});
    EXPECT_EQ(run.exitStatus, 0) << format << run.err;
    const std::vector<ListedEntry> listing = ListCatalogue(catalogue);
    ASSERT_EQ(listing.size(), 3u) << format;
    EXPECT_EQ(listing[1].description, std::string(255, 'y')) << format;
    EXPECT_EQ(listing[2].description, std::string(254, 'x') + "\xC3\xA9") << format;
    EXPECT_EQ(run.err, "mkcat: " + tree +
                           "/huge: warning: description changed: cut from 70000 characters to "
                           "the 255 that a listing shows\n"
                           "mkcat: " +
                           tree +
                           "/long: warning: description changed: cut from 257 characters to "
                           "the 255 that a listing shows\n"
                           "mkcat: 2 warnings, 0 entries skipped\n");
  }
}

#endif

}  // namespace
