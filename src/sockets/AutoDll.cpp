#include "sockets/AutoDll.h"

using tovik::platform::ModuleHandle;
using tovik::platform::ProcAddress;

CAutoDll::~CAutoDll() {
  if (module != nullptr) tovik::platform::FreeDynamicLibrary(module);
  module = nullptr;
}

bool CAutoDll::Load(const char* fileName, uint32_t flags) {
  Unload();
  module = tovik::platform::LoadDynamicLibrary(fileName, flags);
  loadFlags = flags;
  return module != nullptr;
}

void CAutoDll::Unload() {
  if (module != nullptr) tovik::platform::FreeDynamicLibrary(module);
  module = nullptr;
}

bool CAutoDll::Attach(ModuleHandle handle) {
  if (module != nullptr) return false;
  module = handle;
  return module != nullptr;
}

bool CAutoDll::Detach() {
  if (module == nullptr) return false;
  module = nullptr;
  return true;
}

ProcAddress CAutoDll::GetProc(const char* name) const {
  if (module == nullptr) return nullptr;
  return tovik::platform::FindDynamicSymbol(module, name);
}
