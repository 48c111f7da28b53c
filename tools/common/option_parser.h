// The programs' command lines, read one way: GNU-style options as getopt_long reads them
// (--name=VALUE or --name VALUE, -x VALUE or -xVALUE, bundles such as -bic, options before,
// between and after the operands, "--" ending the options, "-" an operand), without
// getopt_long's abbreviations (--mod for --module) and global state. A switch given a value
// (--json=false) is refused. Usage errors and --help and --version are answered alike by
// every program.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// One option a program accepts.
struct Option {
  int id;                     // what the program calls it (not negative)
  char shortName;             // 'v' for -v, or 0
  std::string_view longName;  // "verbose" for --verbose, or empty
  // For an option that takes a value, what it needs, as the complaint about a missing value
  // says it ("a path": "--module needs a path"); nullptr for a switch.
  const char* needs = nullptr;
  // An empty value is refused as a missing one (an unset variable would otherwise pass).
  bool nonEmpty = false;
};

// What OptionParser::Next found: an option (its id), or one of these.
constexpr int kOperand = -1;  // `value` is an operand
constexpr int kPassed = -2;   // an unknown option, passed on whole as `value` (see kPassUnknown)
constexpr int kError = -3;    // a usage error, described by `error`

struct Item {
  int id = kError;
  std::string name;        // the option as written, for messages: "--db" or "-l"
  std::string_view value;  // the option's value, the operand, or the argument passed on
  std::string error;
};

enum Unknown { kRefuseUnknown, kPassUnknown };

class OptionParser {
 public:
  // `arguments` follow the program's name. With kPassUnknown an argument that starts with an
  // option the table lacks is handed back whole, for another reader (FUSE's, cathost's).
  OptionParser(std::vector<std::string_view> arguments, std::span<const Option> options,
               Unknown unknown = kRefuseUnknown);
  // argv as main receives it, argv[0] the program's name.
  OptionParser(int argc, char** argv, std::span<const Option> options,
               Unknown unknown = kRefuseUnknown);

  // The next option or operand, in the order given; false when none is left. After a kError
  // item the rest is not read.
  bool Next(Item* item);

 private:
  // Read the option that `argument` starts (--name...), or its letter at letter_ (-x...).
  void Long(std::string_view argument, Item* item);
  void Short(std::string_view argument, Item* item);
  // The value of `option`: `attached` when there is one, else the next argument.
  void TakeValue(const Option& option, const std::string_view* attached, Item* item);
  void Fail(Item* item, std::string message);

  std::vector<std::string_view> arguments_;
  std::span<const Option> options_;
  Unknown unknown_;
  size_t next_ = 0;            // the argument to read next
  size_t letter_ = 0;          // within a bundle of short options: the letter to read next
  bool optionsEnded_ = false;  // "--" was read: the rest are operands
  bool stopped_ = false;       // a usage error was reported
};

// What a program says of itself in messages and answers with.
struct Program {
  const char* name;
  int usageStatus;        // for a usage error
  int writeFailedStatus;  // when --help or --version cannot be written
};

// Every usage error ends here: writes "PROGRAM: MESSAGE" and "Try 'PROGRAM --help'." to
// standard error and returns the program's usage status, for main to exit with. The statuses
// are documented in each program's --help and manual page and scripts rely on them, so each
// program keeps its own: 64 (kExitUsage, EX_USAGE of sysexits.h) for the hosts cathost,
// cathost32 and catmount, whose lower statuses each name a way a catalogue failed; 2 for mkcat,
// catindex and catfind, as grep and locate answer.
int UsageError(const Program& program, std::string_view message);

// The one --version line of every program: "PROGRAM (catalogue-modules) VERSION", the
// package's name between the program's and the release.
std::string VersionText(std::string_view program, std::string_view version);

// Writes --help's or --version's text to standard output: 0 when all of it arrived, else the
// program's writeFailedStatus, with the reason on standard error (a full disk, a closed pipe).
int PrintInfo(const Program& program, std::string_view text);

}  // namespace cli
