#include "tools/common/option_parser.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "tools/common/display_text.h"

namespace cli {

OptionParser::OptionParser(std::vector<std::string_view> arguments, std::span<const Option> options,
                           Unknown unknown)
    : arguments_(std::move(arguments)), options_(options), unknown_(unknown) {}

OptionParser::OptionParser(int argc, char** argv, std::span<const Option> options, Unknown unknown)
    : OptionParser(std::vector<std::string_view>(argv + (argc > 0 ? 1 : 0), argv + argc), options,
                   unknown) {}

bool OptionParser::Next(Item* item) {
  *item = Item{};
  if (stopped_) return false;
  if (letter_ != 0) {
    Short(arguments_[next_], item);
    return true;
  }
  while (next_ < arguments_.size()) {
    const std::string_view argument = arguments_[next_];
    if (optionsEnded_ || argument.size() < 2 || argument[0] != '-') {
      ++next_;
      item->id = kOperand;
      item->value = argument;
      return true;
    }
    if (argument == "--") {
      ++next_;
      optionsEnded_ = true;
      continue;
    }
    if (argument[1] == '-') {
      Long(argument, item);
    } else {
      letter_ = 1;
      Short(argument, item);
    }
    return true;
  }
  return false;
}

void OptionParser::Long(std::string_view argument, Item* item) {
  const size_t equals = argument.find('=');
  const std::string_view name = argument.substr(2, equals - 2);
  for (const Option& option : options_) {
    if (option.longName.empty() || option.longName != name) continue;
    ++next_;
    item->id = option.id;
    item->name = std::string("--").append(name);
    if (equals == std::string_view::npos) {
      TakeValue(option, nullptr, item);
    } else if (option.needs == nullptr) {
      Fail(item, item->name + " takes no value");
    } else {
      const std::string_view attached = argument.substr(equals + 1);
      TakeValue(option, &attached, item);
    }
    return;
  }
  ++next_;
  if (unknown_ == kPassUnknown) {
    item->id = kPassed;
    item->value = argument;
  } else {
    Fail(item, "unknown option " + ShownName(argument));
  }
}

void OptionParser::Short(std::string_view argument, Item* item) {
  const char letter = argument[letter_];
  const bool first = letter_ == 1;
  // The next letter of the bundle, or the next argument.
  if (++letter_ == argument.size()) {
    letter_ = 0;
    ++next_;
  }
  item->name = std::string("-") + letter;
  for (const Option& option : options_) {
    if (option.shortName == 0 || option.shortName != letter) continue;
    item->id = option.id;
    if (option.needs == nullptr || letter_ == 0) {
      TakeValue(option, nullptr, item);
    } else {
      // -lVALUE: the rest of the argument is the value.
      const std::string_view attached = argument.substr(letter_);
      letter_ = 0;
      ++next_;
      TakeValue(option, &attached, item);
    }
    return;
  }
  if (first && unknown_ == kPassUnknown) {
    if (letter_ != 0) {
      letter_ = 0;
      ++next_;
    }
    item->id = kPassed;
    item->value = argument;
    return;
  }
  Fail(item, "unknown option " + ShownName(item->name));
}

void OptionParser::TakeValue(const Option& option, const std::string_view* attached, Item* item) {
  if (option.needs == nullptr) return;
  if (attached != nullptr) {
    item->value = *attached;
  } else if (next_ < arguments_.size()) {
    item->value = arguments_[next_++];
  } else {
    Fail(item, item->name + " needs " + option.needs);
    return;
  }
  if (option.nonEmpty && item->value.empty()) Fail(item, item->name + " needs " + option.needs);
}

void OptionParser::Fail(Item* item, std::string message) {
  stopped_ = true;
  item->id = kError;
  item->value = {};
  item->error = std::move(message);
}

int UsageError(const Program& program, std::string_view message) {
  std::fprintf(stderr, "%s: %.*s\nTry '%s --help'.\n", program.name,
               static_cast<int>(message.size()), message.data(), program.name);
  return program.usageStatus;
}

std::string VersionText(std::string_view program, std::string_view version) {
  return std::string(program).append(" (catalogue-modules) ").append(version).append("\n");
}

int PrintInfo(const Program& program, std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "%s: cannot write: %s\n", program.name, std::strerror(errno));
    return program.writeFailedStatus;
  }
  return 0;
}

}  // namespace cli
