// The hosts' driver against scripted modules: the order of calls, where a listing goes on and
// where it stops, which module a file goes to, how modules load and unload.
#include "tools/hosts/driver/host_driver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/hosts/driver/catalogue_source.h"

namespace fs = std::filesystem;

namespace {

// One GetArcItem answer of the scripted module: the result and whether it wrote an item.
struct Answer {
  int result;
  bool delivered;
};

// What the scripted module is told to do, and what it saw: one at a time, as a real module.
struct Script {
  int openResult = 1;
  std::vector<Answer> answers;
  size_t next = 0;
  std::vector<std::string> calls;
};
Script gScript;

int OpenArchive(const char*, int32_t* type) {
  gScript.calls.push_back("OpenArchive");
  *type = 0;
  return gScript.openResult;
}

int GetArcItem(ItemRecord* item, ItemDetails*) {
  gScript.calls.push_back("GetArcItem");
  // A script that runs out ends the listing: a broken script cannot make the driver loop.
  if (gScript.next == gScript.answers.size()) return StatusEnd;
  const Answer answer = gScript.answers[gScript.next++];
  if (answer.delivered) item->dwFileAttributes |= kAttrOffline;
  return answer.result;
}

int CloseArchive(CloseRecord*) {
  gScript.calls.push_back("CloseArchive");
  return 1;
}

FormatModule ScriptedModule() {
  FormatModule module;
  module.path = "scripted";
  module.openArchive = OpenArchive;
  module.getArcItem = GetArcItem;
  module.closeArchive = CloseArchive;
  return module;
}

// Writes every step into the script's call log; refuses the item numbered `refuseAt`.
struct LoggingVisitor {
  uint64_t refuseAt = 0;
  void Opened() { gScript.calls.push_back("Opened"); }
  void Prepare(ItemRecord& item, ItemDetails&) {
    item.dwFileAttributes = 0;
    gScript.calls.push_back("Prepare");
  }
  bool Take(const ItemRecord&, const ItemDetails&, int result, uint64_t itemNumber) {
    gScript.calls.push_back("Take " + std::to_string(itemNumber) + " result " +
                            std::to_string(result));
    return itemNumber != refuseAt;
  }
  void Problem(int result, uint64_t itemNumber, bool delivered, bool goingOn) {
    gScript.calls.push_back("Problem " + std::to_string(itemNumber) + " result " +
                            std::to_string(result) + (delivered ? " delivered" : "") +
                            (goingOn ? " going on" : ""));
  }
};

struct Listed {
  driver::ListingEnd end;
  std::vector<std::string> calls;
};

Listed ListScript(std::vector<Answer> answers, bool keepGoing, uint64_t refuseAt = 0,
                  int openResult = 1) {
  gScript = Script{};
  gScript.openResult = openResult;
  gScript.answers = std::move(answers);
  LoggingVisitor visitor{refuseAt};
  const FormatModule module = ScriptedModule();
  Listed listed;
  listed.end = driver::ListCatalogue(module, "catalogue", keepGoing, visitor);
  listed.calls = gScript.calls;
  return listed;
}

using Calls = std::vector<std::string>;

TEST(HostDriver, ListingCallsInTheHostsOrderUntilResultZero) {
  const Listed listed = ListScript({{1, true}, {1, true}}, false);
  EXPECT_TRUE(listed.end.opened);
  EXPECT_EQ(listed.end.delivered, 2u);
  EXPECT_EQ(listed.calls,
            (Calls{"OpenArchive", "Opened", "Prepare", "GetArcItem", "Take 1 result 1", "Prepare",
                   "GetArcItem", "Take 2 result 1", "Prepare", "GetArcItem", "CloseArchive"}));
}

TEST(HostDriver, RefusedOpenCallsNothingElse) {
  const Listed listed = ListScript({{1, true}}, true, 0, /*openResult=*/0);
  EXPECT_FALSE(listed.end.opened);
  EXPECT_EQ(listed.calls, Calls{"OpenArchive"});
}

TEST(HostDriver, DamagedItemThatWasDeliveredIsPassedOnlyWhenGoingOn) {
  const std::vector<Answer> answers = {{1, true}, {2, true}, {1, true}};
  Listed stopped = ListScript(answers, /*keepGoing=*/false);
  EXPECT_EQ(stopped.end.delivered, 2u);
  EXPECT_EQ(stopped.calls, (Calls{"OpenArchive", "Opened", "Prepare", "GetArcItem",
                                  "Take 1 result 1", "Prepare", "GetArcItem", "Take 2 result 2",
                                  "Problem 2 result 2 delivered", "CloseArchive"}));

  Listed going = ListScript(answers, /*keepGoing=*/true);
  EXPECT_EQ(going.end.delivered, 3u);
  EXPECT_EQ(std::count(going.calls.begin(), going.calls.end(), "GetArcItem"), 4);
  EXPECT_NE(
      std::find(going.calls.begin(), going.calls.end(), "Problem 2 result 2 delivered going on"),
      going.calls.end());
  EXPECT_EQ(going.calls.back(), "CloseArchive");
}

TEST(HostDriver, EveryOtherResultEndsTheListingEvenWhenGoingOn) {
  // A result 2 without the offline bit wrote nothing; 3, 4 and an unknown code end the listing
  // whether or not they carry the bit, and none of them is taken as an item.
  for (const Answer stop : {Answer{2, false}, Answer{3, false}, Answer{3, true}, Answer{4, true},
                            Answer{7, true}, Answer{-1, false}}) {
    const Listed listed = ListScript({{1, true}, stop, {1, true}}, true);
    const std::string problem =
        "Problem 2 result " + std::to_string(stop.result) + (stop.delivered ? " delivered" : "");
    EXPECT_EQ(listed.end.delivered, 1u) << problem;
    EXPECT_EQ(listed.calls,
              (Calls{"OpenArchive", "Opened", "Prepare", "GetArcItem", "Take 1 result 1", "Prepare",
                     "GetArcItem", problem, "CloseArchive"}));
  }
}

TEST(HostDriver, ResultOneWithoutAnItemIsSkippedButNumbered) {
  const Listed listed = ListScript({{1, false}, {1, true}}, false);
  EXPECT_EQ(listed.end.delivered, 1u);
  EXPECT_EQ(std::count(listed.calls.begin(), listed.calls.end(), "Take 2 result 1"), 1);
  EXPECT_EQ(std::count(listed.calls.begin(), listed.calls.end(), "GetArcItem"), 3);
}

TEST(HostDriver, VisitorThatRefusesAnItemEndsTheListingAndTheCatalogueIsClosed) {
  const Listed listed = ListScript({{1, true}, {1, true}, {1, true}}, true, /*refuseAt=*/2);
  EXPECT_EQ(listed.end.delivered, 1u) << "the refused item is not counted";
  EXPECT_EQ(std::count(listed.calls.begin(), listed.calls.end(), "GetArcItem"), 2);
  EXPECT_EQ(listed.calls.back(), "CloseArchive");
}

// Probing: a module accepts when its IsArchive says 1 for the bytes it was handed.
std::vector<std::string> gProbeLog;
std::string gHeadSeen;

template <int Accepts>
int IsArchive(const char*, const unsigned char* head, uint32_t size) {
  gProbeLog.push_back("IsArchive " + std::to_string(Accepts));
  gHeadSeen.assign(reinterpret_cast<const char*>(head), size);
  return Accepts;
}

FormatModule Prober(IsArchiveFn isArchive, std::string path) {
  FormatModule module;
  module.path = std::move(path);
  module.isArchive = isArchive;
  return module;
}

class HostDriverFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("host_driver_test." + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  fs::path dir_;
};

TEST_F(HostDriverFiles, TheFirstModuleThatAcceptsTheHeadWins) {
  std::string bytes(5000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  const std::string path = Write("large", bytes);
  const std::vector<FormatModule> modules = {
      Prober(IsArchive<0>, "no"), Prober(IsArchive<1>, "first"), Prober(IsArchive<1>, "second")};
  gProbeLog.clear();
  const driver::Probe probe = driver::ProbeCatalogue(modules, path);
  ASSERT_NE(probe.module, nullptr);
  EXPECT_EQ(probe.module->path, "first");
  EXPECT_EQ(probe.status, kExitOk);
  EXPECT_EQ(gProbeLog, (std::vector<std::string>{"IsArchive 0", "IsArchive 1"}));
  EXPECT_EQ(gHeadSeen, bytes.substr(0, driver::kProbeBytes)) << "at most 4096 leading bytes";

  Write("short", "ZEX");
  driver::ProbeCatalogue(modules, (dir_ / "short").string());
  EXPECT_EQ(gHeadSeen, "ZEX") << "a shorter file is handed whole";
}

TEST_F(HostDriverFiles, FilesThatAreNoCandidatesHaveTheirStatusAndAskNoModule) {
  const std::vector<FormatModule> modules = {Prober(IsArchive<1>, "accepts all")};
  struct Case {
    std::string path;
    int status;
    std::string reason;
  };
  for (const Case& c :
       {Case{(dir_ / "missing").string(), kExitNoSuchFile, "no such file"},
        Case{(dir_ / "missing" / "below").string(), kExitNoSuchFile, "no such file"},
        Case{dir_.string(), kExitIsDirectory, "is a directory"},
        Case{Write("empty", ""), kExitEmptyFile, "empty file"},
        Case{"/dev/null", kExitCannotRead, "cannot read the file: not a regular file"}}) {
    gProbeLog.clear();
    const driver::Probe probe = driver::ProbeCatalogue(modules, c.path);
    EXPECT_EQ(probe.module, nullptr) << c.path;
    EXPECT_EQ(probe.status, c.status) << c.path;
    EXPECT_EQ(probe.reason, c.reason) << c.path;
    EXPECT_TRUE(gProbeLog.empty()) << c.path;
  }
  const driver::Probe refused =
      driver::ProbeCatalogue({Prober(IsArchive<0>, "refuses")}, Write("text", "plain text"));
  EXPECT_EQ(refused.status, kExitNotAccepted);
  EXPECT_EQ(refused.reason, "no format module accepts this file");
}

// Standard input, pipes and gzip data are copied into a memory file the modules open by name,
// probed on their first bytes as they arrive and refused past the limit.
TEST_F(HostDriverFiles, PipesAndGzipDataAreCopiedIntoMemoryUpToTheLimit) {
#ifndef CATALOGUE_HAVE_ZLIB
  GTEST_SKIP() << "this build reads no gzip data (zlib is missing for this target)";
#endif
  std::string bytes(10000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  const std::string plain = Write("plain", bytes);
  const std::string gzipped = (dir_ / "data.gz").string();
  ASSERT_EQ(std::system(("gzip -c '" + plain + "' > '" + gzipped + "'").c_str()), 0);
  const std::vector<FormatModule> accepts = {Prober(IsArchive<1>, "accepts all")};
  auto contents = [](const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  };

  driver::CatalogueSource source;
  driver::Probe probe = source.Open(accepts, plain);
  EXPECT_EQ(probe.module, &accepts[0]);
  EXPECT_FALSE(source.InMemory());
  EXPECT_EQ(source.Path(), plain);

  probe = source.Open(accepts, gzipped);
  EXPECT_EQ(probe.module, &accepts[0]);
  EXPECT_TRUE(source.InMemory());
  EXPECT_EQ(source.Path().rfind("/proc/self/fd/", 0), 0u) << source.Path();
  EXPECT_EQ(contents(source.Path()), bytes);
  EXPECT_EQ(gHeadSeen, bytes.substr(0, driver::kProbeBytes));
  // Only asked whether a module accepts it: nothing is kept.
  EXPECT_EQ(source.Open(accepts, gzipped, /*probeOnly=*/true).module, &accepts[0]);
  EXPECT_EQ(source.Path(), gzipped);

  // A head no module accepts is the end of it, however much follows.
  source.SetLimit(driver::kProbeBytes);
  EXPECT_EQ(source.Open({Prober(IsArchive<0>, "refuses")}, gzipped).status, kExitNotAccepted);
  probe = source.Open(accepts, gzipped);
  EXPECT_EQ(probe.status, kExitCannotRead);
  EXPECT_EQ(probe.reason,
            "cannot read the file: the decompressed gzip data holds more than 4096 bytes, the "
            "most a catalogue read into memory may hold");

  const std::string cut = Write("cut.gz", contents(gzipped).substr(0, 200));
  EXPECT_EQ(source.Open(accepts, cut).reason, "cannot read the file: the gzip data is cut short");
}

// Loading: a loader that fails for any path holding "bad", and modules that log their start.
std::vector<std::string> gLoadLog;

int LoadFormatModule(void*) {
  gLoadLog.push_back("LoadFormatModule");
  return 0;
}

bool ScriptedLoad(const std::string& path, FormatModule* module, std::string* error) {
  if (path.find("bad") != std::string::npos) {
    *error = "refused\n" + path;
    return false;
  }
  gLoadLog.push_back("load " + fs::path(path).filename().string());
  module->path = path;
  module->loadFormatModule = LoadFormatModule;
  return true;
}

std::vector<std::string> gReports;
void Collect(const std::string& message) {
  gReports.push_back(message);
}

TEST(HostDriverModules, NamedModulesLoadInTheirOrderAndAllStartOnlyWhenAllLoaded) {
  gLoadLog.clear();
  gReports.clear();
  std::vector<FormatModule> modules;
  std::string error;
  const driver::ModuleSource source{"_fmt.so", ScriptedLoad};
  ASSERT_TRUE(driver::LoadModules({"b.so", "a.so"}, source, Collect, &modules, &error));
  EXPECT_EQ(gLoadLog, (std::vector<std::string>{"load b.so", "load a.so", "LoadFormatModule",
                                                "LoadFormatModule"}));

  gLoadLog.clear();
  modules.clear();
  EXPECT_FALSE(driver::LoadModules({"a.so", "bad\x1b.so"}, source, Collect, &modules, &error));
  EXPECT_EQ(error, "'bad\\033.so': 'refused\\012bad\\033.so'") << "both texts shown safely";
  EXPECT_EQ(gLoadLog, std::vector<std::string>{"load a.so"}) << "none started";
  EXPECT_EQ(modules.size(), 1u) << "left for the caller to unload";
  EXPECT_TRUE(gReports.empty());
}

TEST(HostDriverModules, WithoutNamesTheModulesBesideTheExecutableLoadInNameOrder) {
  gLoadLog.clear();
  std::vector<FormatModule> modules;
  std::string error;
  // The test program is built beside the modules, mur_fmt.so and zex_fmt.so.
  ASSERT_TRUE(driver::LoadModules({}, driver::ModuleSource{"_fmt.so", ScriptedLoad}, Collect,
                                  &modules, &error))
      << error;
  std::vector<std::string> names;
  for (const FormatModule& module : modules) names.push_back(fs::path(module.path).filename());
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  EXPECT_EQ(std::count(names.begin(), names.end(), "mur_fmt.so"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), "zex_fmt.so"), 1);
  EXPECT_EQ(gLoadLog.size(), 2 * modules.size()) << "each loaded, then each started";

  modules.clear();
  EXPECT_FALSE(driver::LoadModules({}, driver::ModuleSource{".no-such-suffix", ScriptedLoad},
                                   Collect, &modules, &error));
  EXPECT_EQ(error.rfind("no format module found beside the executable in ", 0), 0u) << error;
}

// The installed folder: searched only when no module sits beside the executable, in name
// order, and named in the error when it holds none either.
TEST(HostDriverModules, InstalledFolderServesOnlyWhenNoneSitsBesideTheExecutable) {
  const fs::path installed =
      fs::temp_directory_path() / ("host_driver_installed." + std::to_string(getpid()));
  fs::create_directories(installed);
  for (const char* name : {"b.test-module", "a.test-module", "other_fmt.so", "c.test-module.old"}) {
    std::ofstream(installed / name) << "module";
  }

  gLoadLog.clear();
  std::vector<FormatModule> modules;
  std::string error;
  const std::string folder = installed.string();
  EXPECT_TRUE(
      driver::LoadModules({}, driver::ModuleSource{".test-module", ScriptedLoad, folder.c_str()},
                          Collect, &modules, &error))
      << error;
  EXPECT_EQ(gLoadLog, (std::vector<std::string>{"load a.test-module", "load b.test-module",
                                                "LoadFormatModule", "LoadFormatModule"}));
  ASSERT_EQ(modules.size(), 2u);
  EXPECT_EQ(modules[0].path, (installed / "a.test-module").string());

  // mur_fmt.so and zex_fmt.so beside the test program win over the installed other_fmt.so.
  gLoadLog.clear();
  modules.clear();
  EXPECT_TRUE(driver::LoadModules({}, driver::ModuleSource{"_fmt.so", ScriptedLoad, folder.c_str()},
                                  Collect, &modules, &error))
      << error;
  EXPECT_FALSE(modules.empty());
  for (const FormatModule& module : modules) {
    EXPECT_NE(fs::path(module.path).parent_path(), installed) << module.path;
  }

  modules.clear();
  EXPECT_FALSE(driver::LoadModules({}, driver::ModuleSource{".none", ScriptedLoad, folder.c_str()},
                                   Collect, &modules, &error));
  const std::string tail = " or in " + folder;
  EXPECT_EQ(error.rfind("no format module found beside the executable in ", 0), 0u) << error;
  EXPECT_EQ(error.substr(error.size() - std::min(error.size(), tail.size())), tail) << error;
  fs::remove_all(installed);
}

bool UnloadLeavingSomething(void*, std::string* error) {
  *error = "1 file handle(s) left open";
  return false;
}

TEST(HostDriverModules, ModuleThatLeavesSomethingBehindIsNamed) {
  std::vector<FormatModule> modules(2);
  modules[0].path = "clean.dll";
  modules[0].unloadLibrary = [](void*, std::string*) { return true; };
  modules[1].path = "leaky.dll";
  modules[1].unloadLibrary = UnloadLeavingSomething;
  gReports.clear();
  EXPECT_FALSE(driver::UnloadModules(&modules, Collect));
  EXPECT_EQ(gReports, std::vector<std::string>{"leaky.dll: 1 file handle(s) left open"});
  EXPECT_TRUE(modules.empty());
}

template <int Result, size_t Length>
int GetFormatName(int32_t, char* name, char*) {
  std::memset(name, 'N', Length);
  return Result;
}

TEST(HostDriverModules, FormatNameIsTheModulesBytesWithinTheBuffer) {
  FormatModule module;
  module.getFormatName = GetFormatName<1, 3>;
  EXPECT_EQ(driver::FormatName(module), "NNN");
  module.getFormatName = GetFormatName<0, 3>;
  EXPECT_EQ(driver::FormatName(module), "(no format name)");
  // A name without its terminating zero is cut at the buffer's last byte.
  module.getFormatName = GetFormatName<1, 256>;
  EXPECT_EQ(driver::FormatName(module), std::string(255, 'N'));
}

}  // namespace
