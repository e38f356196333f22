// Loads a plug-in module at run time and looks up its exported functions.
// One implementation per platform: ModuleLoaderPosix.cpp (dlopen) and
// ModuleLoaderWin32.cpp (LoadLibraryA).
#pragma once

#include <string>

namespace tovik::host {

class CModuleLoader {
 public:
  CModuleLoader() = default;
  ~CModuleLoader();
  CModuleLoader(const CModuleLoader&) = delete;
  CModuleLoader& operator=(const CModuleLoader&) = delete;

  // Loads the module file. On failure returns false and fills error with the
  // system's reason.
  bool Open(const std::string& path, std::string& error);

  // Address of an exported symbol, or null when the module has none by that name.
  void* Symbol(const char* name) const;

  // Unloads the module; every pointer into it is invalid afterwards.
  void Close();

  bool IsOpen() const { return handle != nullptr; }

 private:
  void* handle = nullptr;
};

}  // namespace tovik::host
