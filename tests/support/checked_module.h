// Test support for hostile inputs: a module under test whose listings are checked call by
// call against the rules every listing keeps (modules/checks/record_checks.h).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "modules/checks/record_checks.h"
#include "tests/support/module_fixture.h"

// The first `length` bytes of `bytes`.
std::vector<uint8_t> Prefix(const std::vector<uint8_t>& bytes, size_t length);

// How many file descriptors the process holds: a module must not leak any.
size_t OpenDescriptors();

class CheckedModuleTest : public ::testing::Test {
 protected:
  CheckedModuleTest(const char* modulePath, record_checks::Format format)
      : module_(modulePath), format_(format) {}
  const FormatModule& module() { return module_.get(); }

  // Opens `bytes` as a catalogue file; returns what OpenArchive returned.
  int Open(const std::vector<uint8_t>& bytes);
  record_checks::CheckedListing ListChecked(uint64_t fileSize);
  // Opens and lists `bytes`; the listing must end and keep every rule.
  record_checks::CheckedListing OpenAndList(const std::vector<uint8_t>& bytes);

  LoadedModule module_;
  record_checks::Format format_;
  std::unique_ptr<TempFile> file_;
};
