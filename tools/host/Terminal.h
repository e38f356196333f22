// Console and process facts that differ between Windows and POSIX:
// TerminalPosix.cpp and TerminalWin32.cpp.
#pragma once

#include <atomic>
#include <string>

namespace tovik::host {

// True when the standard error stream is an interactive terminal (a progress
// bar is drawn only there).
bool StderrIsTerminal();

// From now on Ctrl+C (SIGINT, SIGTERM; the console's Ctrl+C and Ctrl+Break
// on Windows) sets flag instead of ending the process. flag must outlive the run.
void CatchInterrupt(std::atomic<bool>& flag);

// A private, empty per-user settings store for the plug-in, for this run only:
// on POSIX a temporary folder as XDG_CONFIG_HOME, on Windows a private registry
// key that HKEY_CURRENT_USER maps to. The destructor removes it.
class CPrivateUserStore {
 public:
  CPrivateUserStore() = default;
  ~CPrivateUserStore();
  CPrivateUserStore(const CPrivateUserStore&) = delete;
  CPrivateUserStore& operator=(const CPrivateUserStore&) = delete;

  // Must run before the plug-in is loaded. where names the store.
  bool Begin(std::string& where, std::string& error);
  // Removes the store now (also done by the destructor).
  void Remove();
  static void RemoveHook(void* store) { static_cast<CPrivateUserStore*>(store)->Remove(); }

 private:
  std::string location;
  bool active = false;
};

}  // namespace tovik::host
