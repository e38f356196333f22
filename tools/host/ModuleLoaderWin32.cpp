#include <windows.h>

#include <cstdio>

#include "ModuleLoader.h"

namespace tovik::host {

CModuleLoader::~CModuleLoader() {
  Close();
}

bool CModuleLoader::Open(const std::string& path, std::string& error) {
  Close();
  // No system error boxes: a missing dependency is reported on the console.
  UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE module = LoadLibraryA(path.c_str());
  DWORD code = GetLastError();
  SetErrorMode(oldMode);
  if (module == nullptr) {
    char text[512] = {0};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  0, text, sizeof(text) - 1, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) text[--length] = '\0';
    char number[32];
    std::snprintf(number, sizeof(number), " (error %lu)", static_cast<unsigned long>(code));
    error = std::string(length > 0 ? text : "LoadLibrary failed") + number;
    return false;
  }
  handle = module;
  return true;
}

void* CModuleLoader::Symbol(const char* name) const {
  if (handle == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

void CModuleLoader::Close() {
  if (handle != nullptr) {
    FreeLibrary(static_cast<HMODULE>(handle));
    handle = nullptr;
  }
}

}  // namespace tovik::host
