#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "Terminal.h"

namespace tovik::host {
namespace {

std::atomic<bool>* interruptFlag = nullptr;

extern "C" void OnInterrupt(int) {
  if (interruptFlag != nullptr) interruptFlag->store(true);
}

}  // namespace

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}

void CatchInterrupt(std::atomic<bool>& flag) {
  interruptFlag = &flag;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

CPrivateUserStore::~CPrivateUserStore() {
  Remove();
}

void CPrivateUserStore::Remove() {
  if (!active) return;
  active = false;
  std::error_code ignored;
  std::filesystem::remove_all(location, ignored);
}

bool CPrivateUserStore::Begin(std::string& where, std::string& error) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/tovik-host-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    error = "cannot create a private settings folder in " + pattern.substr(0, pattern.rfind('/'));
    return false;
  }
  location = pattern;
  active = true;
  // The plug-in keeps its per-user store under XDG_CONFIG_HOME.
  setenv("XDG_CONFIG_HOME", location.c_str(), 1);
  where = location;
  return true;
}

}  // namespace tovik::host
