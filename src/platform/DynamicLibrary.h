// Run-time loading of shared libraries, one implementation per platform
// (DynamicLibraryWin32.cpp, DynamicLibraryPosix.cpp).
#pragma once

#include <cstdint>

namespace tovik::platform {

// A loaded library; null when nothing is loaded.
using ModuleHandle = void*;

// The address of an exported function. Every function pointer converts to and
// from this type without a warning.
using ProcAddress = void (*)();

// Loads a library by file name; flags are the LoadLibraryExA flags on Windows
// (0 = a plain LoadLibraryA). No system message box is shown for a missing
// library or drive. Returns null on failure. [main-thread]
ModuleHandle LoadDynamicLibrary(const char* fileName, uint32_t flags);

// The address of an exported name, or null. [any-thread]
ProcAddress FindDynamicSymbol(ModuleHandle module, const char* name);

// Releases one load of the library. [main-thread]
void FreeDynamicLibrary(ModuleHandle module);

// Keeps the library in the process until it ends, whatever is freed later.
// Some systems do not start a socket library cleanly a second time once it
// was unloaded, and hosts create and destroy instances freely. [main-thread]
void PinDynamicLibrary(ModuleHandle module);

}  // namespace tovik::platform
