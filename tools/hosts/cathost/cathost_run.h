// The reference host's whole run, shared by cathost (native modules) and cathost32 (the
// 32-bit Windows DLLs in an emulator): options, module loading, listing, exit status.
#pragma once

#include <string>

#include "tools/hosts/loader/module_loader.h"

struct HostSetup {
  const char* programName = "cathost";
  // Modules looked for beside the executable when no --module is given.
  const char* moduleSuffix = kNativeModuleSuffix;
  bool (*loadModule)(const std::string& path, FormatModule* module,
                     std::string* error) = LoadFormatModuleFile;
  // Printed after the common --help text, or nullptr.
  const char* moreHelp = nullptr;
};

// Runs the host on `argv` (options and catalogues) and returns its exit status.
int RunCathost(int argc, char** argv, const HostSetup& setup);
