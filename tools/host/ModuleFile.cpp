#include "ModuleFile.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace tovik::host {
namespace {

struct Kind {
  bool known = false;
  bool windows = false;  // a PE image, else ELF
  int bits = 0;
  std::string machine;
};

uint32_t Le(const unsigned char* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

const char* ElfMachine(uint32_t m) {
  switch (m) {
    case 3:
      return "x86";
    case 62:
      return "x86-64";
    case 40:
      return "ARM";
    case 183:
      return "ARM64";
    default:
      return "another processor";
  }
}

const char* PeMachine(uint32_t m, int& bits) {
  switch (m) {
    case 0x14C:
      bits = 32;
      return "x86";
    case 0x8664:
      bits = 64;
      return "x86-64";
    case 0xAA64:
      bits = 64;
      return "ARM64";
    default:
      bits = 0;
      return "another processor";
  }
}

std::string ThisHost() {
  const int bits = static_cast<int>(sizeof(void*) * 8);
#if defined(_WIN32)
  return "this host is a " + std::to_string(bits) + "-bit Windows program";
#else
  return "this host is " + std::to_string(bits) + "-bit";
#endif
}

}  // namespace

std::string ExplainModuleFile(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return "no such file";
  if (std::filesystem::is_directory(path, ec)) return "a folder, not a plug-in module";
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return "";
  unsigned char head[64] = {0};
  const size_t got = std::fread(head, 1, sizeof(head), file);
  Kind kind;
  if (got >= 20 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F') {
    kind.known = true;
    kind.bits = head[4] == 1 ? 32 : (head[4] == 2 ? 64 : 0);
    const bool little = head[5] != 2;
    const uint32_t machine = little ? Le(head + 18, 2) : (static_cast<uint32_t>(head[18]) << 8 | head[19]);
    kind.machine = ElfMachine(machine);
  } else if (got >= 64 && head[0] == 'M' && head[1] == 'Z') {
    const uint32_t peOffset = Le(head + 0x3C, 4);
    unsigned char pe[6] = {0};
    if (peOffset < (1u << 24) && std::fseek(file, static_cast<long>(peOffset), SEEK_SET) == 0 &&
        std::fread(pe, 1, sizeof(pe), file) == sizeof(pe) && pe[0] == 'P' && pe[1] == 'E' && pe[2] == 0 &&
        pe[3] == 0) {
      kind.known = true;
      kind.windows = true;
      kind.machine = PeMachine(Le(pe + 4, 2), kind.bits);
    }
  }
  std::fclose(file);
  if (!kind.known) {
    if (got == 0) return "an empty file, not a plug-in module";
#if defined(_WIN32)
    return "not a Windows DLL (no PE image)";
#else
    return "not a shared library (no ELF image)";
#endif
  }
  const std::string what = std::string(kind.windows ? "a Windows DLL" : "an ELF shared library") + " for " +
                           kind.machine + (kind.bits != 0 ? " (" + std::to_string(kind.bits) + "-bit)" : "");
#if defined(_WIN32)
  const bool ownFormat = kind.windows;
#else
  const bool ownFormat = !kind.windows;
#endif
  if (!ownFormat) {
#if defined(_WIN32)
    return what + "; this host loads Windows DLLs";
#else
    return what + "; this host loads ELF shared libraries (run the Windows build of tovik-host for a DLL)";
#endif
  }
  const int ownBits = static_cast<int>(sizeof(void*) * 8);
  if (kind.bits != 0 && kind.bits != ownBits)
    return "a " + std::to_string(kind.bits) + "-bit library; " + ThisHost();
#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) || defined(_M_IX86)
  if (kind.machine != "x86" && kind.machine != "x86-64") return what + "; " + ThisHost() + " for x86";
#endif
  return "";
}

}  // namespace tovik::host
