// The reference host's whole run, shared by cathost (native modules) and cathost32 (the
// 32-bit Windows DLLs in an emulator): options, output, exit status; the calls to the
// modules are the driver's.
#pragma once

#include "tools/hosts/driver/host_driver.h"

struct HostSetup {
  const char* programName = "cathost";
  // How modules load, and which are looked for beside the executable when no --module is given.
  driver::ModuleSource modules;
  // Printed after the common --help text, or nullptr.
  const char* moreHelp = nullptr;
};

// Runs the host on `argv` (options and catalogues) and returns its exit status.
int RunCathost(int argc, char** argv, const HostSetup& setup);
