// The common entry points of both modules, checked through the loaded libraries.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/module_fixture.h"

namespace {

std::vector<std::string> BuiltModules() {
  std::vector<std::string> paths;
#ifdef ZEX_FMT_PATH
  paths.push_back(ZEX_FMT_PATH);
#endif
#ifdef MUR_FMT_PATH
  paths.push_back(MUR_FMT_PATH);
#endif
  return paths;
}

class CommonEntryPoints : public ::testing::TestWithParam<std::string> {};

TEST_P(CommonEntryPoints, AnswerFromConstants) {
  LoadedModule module(GetParam());
  const FormatModule& m = module.get();
  EXPECT_EQ(m.loadFormatModule(nullptr), 0);
  int dummy = 0;
  EXPECT_EQ(m.loadFormatModule(&dummy), 0);

  char name[64];
  char second[64];
  std::memset(name, 'x', sizeof name);
  std::memset(second, 'y', sizeof second);
  // Another format type writes nothing.
  EXPECT_EQ(m.getFormatName(1, name, second), 0);
  EXPECT_EQ(name[0], 'x');
  EXPECT_EQ(second[0], 'y');
  EXPECT_EQ(m.getFormatName(-1, name, second), 0);
  ASSERT_EQ(m.getFormatName(0, name, second), 1);
  EXPECT_STREQ(name, second);
  EXPECT_TRUE(std::string(name) == "ZEX" || std::string(name) == "MUR") << name;

  char command[64];
  for (uint32_t index = 0; index < 14; ++index) {
    std::memset(command, 'z', sizeof command);
    ASSERT_EQ(m.getDefaultCommands(0, index, command), 1) << index;
    EXPECT_EQ(command[0], '\0') << index;
    EXPECT_EQ(command[1], 'z') << "an empty entry writes only its zero byte";
  }
  ASSERT_EQ(m.getDefaultCommands(0, 14, command), 1);
  EXPECT_STREQ(command, "*.*");
  for (uint32_t index : {15u, 16u, 0x80000000u, 0xFFFFFFFFu}) {
    std::memset(command, 'z', sizeof command);
    EXPECT_EQ(m.getDefaultCommands(0, index, command), 0) << index;
    EXPECT_EQ(command[0], 'z');
  }
  EXPECT_EQ(m.getDefaultCommands(1, 14, command), 0);
  EXPECT_EQ(command[0], 'z');
}

TEST_P(CommonEntryPoints, CloseWithoutOpenWritesTheCloseFlagOnly) {
  LoadedModule module(GetParam());
  CloseRecord record;
  std::memset(&record, 0xAB, sizeof record);
  EXPECT_EQ(module.get().closeArchive(&record), 0);
  EXPECT_EQ(record.fields[3], 1u);
  EXPECT_EQ(record.fields[0], 0xABABABABu);
  EXPECT_EQ(record.fields[1], 0xABABABABu);
  EXPECT_EQ(record.fields[2], 0xABABABABu);
}

TEST_P(CommonEntryPoints, ProbeRefusesShortAndEmptyData) {
  LoadedModule module(GetParam());
  unsigned char nothing[1] = {0};
  EXPECT_EQ(module.get().isArchive("x", nothing, 0), 0);
  EXPECT_EQ(module.get().isArchive("x", nothing, 1), 0);
}

TEST_P(CommonEntryPoints, OpenOfWhatIsNoFileFails) {
  LoadedModule module(GetParam());
  int32_t type = 77;
  EXPECT_EQ(module.get().openArchive("/nonexistent/catalogue", &type), 0);
  EXPECT_EQ(module.get().openArchive(TEST_BINARY_DIR, &type), 0);
  // A named pipe with no writer: the open must neither wait for one nor succeed.
  const std::string pipe = std::string(TEST_BINARY_DIR) + "/open_test_pipe";
  ::unlink(pipe.c_str());
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_EQ(module.get().openArchive(pipe.c_str(), &type), 0);
  ::unlink(pipe.c_str());
  EXPECT_EQ(type, 77) << "a failed open leaves formatTypeOut untouched";
}

INSTANTIATE_TEST_SUITE_P(Modules, CommonEntryPoints, ::testing::ValuesIn(BuiltModules()),
                         [](const auto& info) {
                           return info.param.find("zex") != std::string::npos ? "zex" : "mur";
                         });

}  // namespace
