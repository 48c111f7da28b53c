// Loads a format module by path and looks up its seven entry points, as the archive host does.
#pragma once

#include <string>

#include "modules/interface/host_interface.h"

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
  // Set by loaders other than the system's (the emulated DLLs): unloads `library`, false
  // with `error` set when the module left something behind.
  bool (*unloadLibrary)(void* library, std::string* error) = nullptr;
};

// The file names of the modules that the system's loader loads.
#if defined(_WIN32)
constexpr char kNativeModuleSuffix[] = "_fmt.dll";
#else
constexpr char kNativeModuleSuffix[] = "_fmt.so";
#endif

// Loads the library at `path` and resolves all seven entry points. On failure returns false,
// unloads what it loaded and says why in `error`.
bool LoadFormatModuleFile(const std::string& path, FormatModule* module, std::string* error);

// Unloads the module; false, with `error` set, when its loader found something left behind.
bool UnloadFormatModule(FormatModule* module, std::string* error = nullptr);
