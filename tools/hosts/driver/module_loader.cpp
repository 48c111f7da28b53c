#include "tools/hosts/driver/module_loader.h"

#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

void* OpenLibrary(const std::string& path, std::string* error) {
#if defined(_WIN32)
  // As below: a bare name would be searched for along the system's path.
  std::string where = path.find_first_of("\\/:") == std::string::npos ? ".\\" + path : path;
  HMODULE library = LoadLibraryA(where.c_str());
  if (library == nullptr) {
    DWORD code = GetLastError();
    char text[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, text, sizeof text, nullptr);
    // The system's texts end in a full stop and a line break; a one-line message needs neither.
    while (length > 0 && std::strchr(".\r\n ", text[length - 1]) != nullptr) --length;
    *error = "cannot load module: " +
             (length > 0 ? std::string(text, length) : "error " + std::to_string(code));
  }
  return reinterpret_cast<void*>(library);
#else
  // A bare name would make dlopen search the library path; a module is always named by path.
  std::string where = path.find('/') == std::string::npos ? "./" + path : path;
  void* library = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    *error = why != nullptr ? why : "cannot load module";
    // dlerror names the file first; callers name it themselves.
    if (error->starts_with(where + ": ")) error->erase(0, where.size() + 2);
    *error = "cannot load module: " + *error;
  }
  return library;
#endif
}

void* FindSymbol(void* library, const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
#else
  return dlsym(library, name);
#endif
}

void CloseLibrary(void* library) {
#if defined(_WIN32)
  FreeLibrary(static_cast<HMODULE>(library));
#else
  dlclose(library);
#endif
}

template <typename Fn>
bool Resolve(void* library, const char* name, Fn* out, std::string* error) {
  void* symbol = FindSymbol(library, name);
  if (symbol == nullptr) {
    *error = std::string("not a format module: no entry point ") + name;
    return false;
  }
  *out = reinterpret_cast<Fn>(symbol);
  return true;
}

}  // namespace

bool LoadFormatModuleFile(const std::string& path, FormatModule* module, std::string* error) {
  *module = FormatModule{};
  void* library = OpenLibrary(path, error);
  if (library == nullptr) return false;
  FormatModule loaded;
  loaded.library = library;
  loaded.path = path;
  bool ok = Resolve(library, "LoadFormatModule", &loaded.loadFormatModule, error) &&
            Resolve(library, "IsArchive", &loaded.isArchive, error) &&
            Resolve(library, "OpenArchive", &loaded.openArchive, error) &&
            Resolve(library, "GetArcItem", &loaded.getArcItem, error) &&
            Resolve(library, "CloseArchive", &loaded.closeArchive, error) &&
            Resolve(library, "GetFormatName", &loaded.getFormatName, error) &&
            Resolve(library, "GetDefaultCommands", &loaded.getDefaultCommands, error);
  if (!ok) {
    CloseLibrary(library);
    return false;
  }
  *module = loaded;
  return true;
}

bool UnloadFormatModule(FormatModule* module, std::string* error) {
  bool clean = true;
  if (module->unloadLibrary != nullptr) {
    std::string why;
    clean = module->unloadLibrary(module->library, &why);
    if (!clean && error != nullptr) *error = why;
  } else if (module->library != nullptr) {
    CloseLibrary(module->library);
  }
  *module = FormatModule{};
  return clean;
}
