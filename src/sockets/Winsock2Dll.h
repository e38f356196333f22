// CWinsock2Dll: "Ws2_32.dll" loaded at run time and its 87 functions bound by
// name into ws::Winsock2Table.
#pragma once

#include "sockets/AutoDll.h"
#include "sockets/SocketApi.h"

namespace ws {

// Each entry's type is looked up from ws::proto::entry: a prototype in
// ws::proto is found first; any other name falls back to the namespace
// system_entry (made visible in ws by the using-directive): on Windows the
// system headers' declaration, on POSIX an untyped pointer that stays null.
#if defined(_WIN32)
// Some names (the blocking hooks, gethostbyname, inet_addr, ...) are declared
// deprecated; naming them here only takes their type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#define TOVIK_WINSOCK_SYSTEM_TYPE(name) using name = decltype(&::name);
#else
#define TOVIK_WINSOCK_SYSTEM_TYPE(name) using name = FarProc;
#endif
namespace system_entry {
TOVIK_WINSOCK_NAMES(TOVIK_WINSOCK_SYSTEM_TYPE)
}  // namespace system_entry
#undef TOVIK_WINSOCK_SYSTEM_TYPE
#if defined(_WIN32)
#pragma GCC diagnostic pop
#endif

namespace proto::entry {
using namespace ::ws::system_entry;
#define TOVIK_WINSOCK_TYPE(name) using name##_type = name;
TOVIK_WINSOCK_NAMES(TOVIK_WINSOCK_TYPE)
#undef TOVIK_WINSOCK_TYPE
}  // namespace proto::entry

// The socket functions, one entry per name of TOVIK_WINSOCK_NAMES in the same
// order. A null entry means the function is not available; every caller tests
// the entry first. After loading, the table is only read, from any thread.
struct Winsock2Table {
#define TOVIK_WINSOCK_ENTRY(name) proto::entry::name##_type name = nullptr;
  TOVIK_WINSOCK_NAMES(TOVIK_WINSOCK_ENTRY)
#undef TOVIK_WINSOCK_ENTRY
};

static_assert(sizeof(Winsock2Table) == kWinsockNameCount * sizeof(tovik::platform::ProcAddress),
              "one pointer per Winsock name");

}  // namespace ws

// The name the link and the plug-in use for the table.
using Winsock2Table = ws::Winsock2Table;

class CWinsock2Dll : public CAutoDll {
 public:
  // Loads "Ws2_32.dll" and binds every name. With startup true, also starts
  // the library (WSAStartup 2.2) and unloads everything when that fails.
  // Nothing is reported: the outcome shows in the entries. [main-thread]
  explicit CWinsock2Dll(bool startup);

  // Calls WSACleanup once for each successful Startup, then frees the
  // library. The entries are left as they are.
  ~CWinsock2Dll() override;

  // The base Load, then one GetProc per name in list order; a name that the
  // library does not export leaves its entry null without failing the load.
  bool Load(const char* fileName, uint32_t flags) override;

  // Cleans up outstanding start-ups, clears every entry, frees the library.
  void Unload() override;

  // WSAStartup with version 0x0202 and a zeroed WSADATA through the table.
  // True when the entry is bound and the call returned 0; each success is
  // matched by exactly one WSACleanup (in Unload or the destructor).
  bool Startup();

  // The number of successful Startup calls not yet cleaned up.
  int StartupCount() const { return startups; }

  Winsock2Table fn;

 private:
  void CleanupStartups();

  int startups = 0;
};
