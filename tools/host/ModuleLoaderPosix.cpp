#include <dlfcn.h>

#include "ModuleLoader.h"

namespace tovik::host {

CModuleLoader::~CModuleLoader() {
  Close();
}

bool CModuleLoader::Open(const std::string& path, std::string& error) {
  Close();
  // A path without a slash would make dlopen search the library path instead of
  // loading the file the user named.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    error = reason != nullptr ? reason : "dlopen failed";
    return false;
  }
  return true;
}

void* CModuleLoader::Symbol(const char* name) const {
  if (handle == nullptr) return nullptr;
  return dlsym(handle, name);
}

void CModuleLoader::Close() {
  if (handle != nullptr) {
    dlclose(handle);
    handle = nullptr;
  }
}

}  // namespace tovik::host
