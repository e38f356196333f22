#include <io.h>
#include <windows.h>

#include <cstdio>

#include "Terminal.h"

namespace tovik::host {
namespace {

std::atomic<bool>* interruptFlag = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && interruptFlag != nullptr) {
    interruptFlag->store(true);
    return TRUE;
  }
  return FALSE;
}

}  // namespace

bool StderrIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}

void CatchInterrupt(std::atomic<bool>& flag) {
  interruptFlag = &flag;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

CPrivateUserStore::~CPrivateUserStore() {
  Remove();
}

void CPrivateUserStore::Remove() {
  if (!active) return;
  active = false;
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  RegDeleteTreeA(HKEY_CURRENT_USER, location.c_str());
  RegDeleteKeyA(HKEY_CURRENT_USER, location.c_str());
}

bool CPrivateUserStore::Begin(std::string& where, std::string& error) {
  char name[96];
  std::snprintf(name, sizeof(name), "Software\\Kestrane\\tovik-host private %lu",
                static_cast<unsigned long>(GetCurrentProcessId()));
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    error = std::string("cannot create the private registry key HKEY_CURRENT_USER\\") + name;
    return false;
  }
  // The plug-in's HKEY_CURRENT_USER is this key until the destructor.
  const LONG mapped = RegOverridePredefKey(HKEY_CURRENT_USER, key);
  RegCloseKey(key);
  location = name;
  if (mapped != ERROR_SUCCESS) {
    RegDeleteKeyA(HKEY_CURRENT_USER, name);
    error = "cannot map HKEY_CURRENT_USER to a private key";
    return false;
  }
  active = true;
  where = std::string("HKEY_CURRENT_USER\\") + name;
  return true;
}

}  // namespace tovik::host
