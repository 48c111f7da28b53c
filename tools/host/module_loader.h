// Loads a format module by path and looks up its seven entry points, as the archive host does.
#pragma once

#include <string>

#include "interface/host_interface.h"

struct FormatModule {
  void* library = nullptr;
  std::string path;
  LoadFormatModuleFn loadFormatModule = nullptr;
  IsArchiveFn isArchive = nullptr;
  OpenArchiveFn openArchive = nullptr;
  GetArcItemFn getArcItem = nullptr;
  CloseArchiveFn closeArchive = nullptr;
  GetFormatNameFn getFormatName = nullptr;
  GetDefaultCommandsFn getDefaultCommands = nullptr;
};

// Loads the library at `path` and resolves all seven entry points. On failure returns false,
// unloads what it loaded and says why in `error`.
bool LoadFormatModuleFile(const std::string& path, FormatModule* module, std::string* error);

void UnloadFormatModule(FormatModule* module);
