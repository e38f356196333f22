#include <dlfcn.h>
#include <strings.h>

#include "platform/DynamicLibrary.h"
#include "sockets/WinsockAdapters.h"

namespace tovik::platform {

namespace {

// There is no Windows Sockets library here: the names "Ws2_32.dll" and
// "Ws2_32" (any case, as on Windows) load a built-in module whose exports are
// the adapters over the platform's own sockets. Its handle is the address of
// this marker; it is never passed to the dynamic loader.
char builtInWinsock;

bool IsWinsockName(const char* fileName) {
  return strcasecmp(fileName, "ws2_32.dll") == 0 || strcasecmp(fileName, "ws2_32") == 0;
}

}  // namespace

ModuleHandle LoadDynamicLibrary(const char* fileName, uint32_t /*flags: Windows only*/) {
  if (fileName == nullptr) return nullptr;
  if (IsWinsockName(fileName)) return &builtInWinsock;
  return dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
}

ProcAddress FindDynamicSymbol(ModuleHandle module, const char* name) {
  if (module == nullptr || name == nullptr) return nullptr;
  if (module == &builtInWinsock) return FindWinsockAdapter(name);
  return reinterpret_cast<ProcAddress>(dlsym(module, name));
}

void PinDynamicLibrary(ModuleHandle) {}  // the built-in socket module never goes away

void FreeDynamicLibrary(ModuleHandle module) {
  if (module == nullptr || module == &builtInWinsock) return;
  dlclose(module);
}

}  // namespace tovik::platform
