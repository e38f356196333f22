#include <windows.h>

#include "platform/DynamicLibrary.h"

namespace tovik::platform {

namespace {
// SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX: a missing library or drive
// fails quietly instead of showing a system message box inside the host.
constexpr UINT kQuietErrorMode = 0x8001;
}  // namespace

ModuleHandle LoadDynamicLibrary(const char* fileName, uint32_t flags) {
  const UINT previousMode = SetErrorMode(kQuietErrorMode);
  const HMODULE module =
      flags != 0 ? LoadLibraryExA(fileName, nullptr, static_cast<DWORD>(flags)) : LoadLibraryA(fileName);
  SetErrorMode(previousMode);
  return reinterpret_cast<ModuleHandle>(module);
}

ProcAddress FindDynamicSymbol(ModuleHandle module, const char* name) {
  if (module == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<ProcAddress>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void PinDynamicLibrary(ModuleHandle module) {
  if (module == nullptr) return;
  // A module handle is the module's base address, which lies inside it.
  HMODULE pinned = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     static_cast<LPCSTR>(module), &pinned);
}

void FreeDynamicLibrary(ModuleHandle module) {
  if (module != nullptr) FreeLibrary(static_cast<HMODULE>(module));
}

}  // namespace tovik::platform
