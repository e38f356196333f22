#include "sockets/Winsock2Dll.h"

namespace ws {

#define TOVIK_WINSOCK_NAME(name) #name,
const char* const kWinsockNames[kWinsockNameCount] = {TOVIK_WINSOCK_NAMES(TOVIK_WINSOCK_NAME)};
#undef TOVIK_WINSOCK_NAME

}  // namespace ws

namespace {
constexpr uint16_t kWinsockVersion22 = 0x0202;
}  // namespace

CWinsock2Dll::CWinsock2Dll(bool startup) {
  Load("Ws2_32.dll", 0);
  if (startup && !Startup()) Unload();
}

CWinsock2Dll::~CWinsock2Dll() {
  CleanupStartups();
  CAutoDll::Unload();
}

bool CWinsock2Dll::Load(const char* fileName, uint32_t flags) {
  if (!CAutoDll::Load(fileName, flags)) return false;
  // Once loaded, the socket library stays for the life of the process: after a
  // full unload some systems hand out sockets that bind and connect reject.
  tovik::platform::PinDynamicLibrary(module);
  // Walk the name list and the table in step: entry i is bound to name i.
  int index = 0;
#define TOVIK_WINSOCK_BIND(name) \
  fn.name = reinterpret_cast<decltype(fn.name)>(GetProc(ws::kWinsockNames[index++]));
  TOVIK_WINSOCK_NAMES(TOVIK_WINSOCK_BIND)
#undef TOVIK_WINSOCK_BIND
  return true;
}

void CWinsock2Dll::Unload() {
  CleanupStartups();
  fn = Winsock2Table{};
  CAutoDll::Unload();
}

bool CWinsock2Dll::Startup() {
  if (fn.WSAStartup == nullptr) return false;
  ws::WSADATA data{};
  if (fn.WSAStartup(kWinsockVersion22, &data) != 0) return false;
  ++startups;
  return true;
}

void CWinsock2Dll::CleanupStartups() {
  for (; startups > 0; --startups) {
    if (fn.WSACleanup != nullptr) fn.WSACleanup();
  }
}
