#include <windows.h>

#include <cstring>

#include "platform/UserStore.h"

namespace tovik::platform {

UserStore::UserStore(const char* keyPath) {
  std::strncpy(keyPath_, keyPath ? keyPath : "", sizeof(keyPath_) - 1);
}

UserStore::~UserStore() {
  Close();
}

bool UserStore::Open() {
  if (handle_) return true;
  HKEY key = nullptr;
  if (RegCreateKeyA(HKEY_CURRENT_USER, keyPath_, &key) != ERROR_SUCCESS) return false;
  handle_ = key;
  return true;
}

bool UserStore::ReadInt(const char* name, int32_t* value) {
  if (!value || !Open()) return false;
  BYTE buffer[4] = {0, 0, 0, 0};
  DWORD size = sizeof(buffer);
  DWORD type = 0;
  if (RegQueryValueExA(static_cast<HKEY>(handle_), name, nullptr, &type, buffer, &size) != ERROR_SUCCESS)
    return false;
  // Any registry type is taken as a little-endian 32-bit integer.
  std::memcpy(value, buffer, sizeof(*value));
  return true;
}

bool UserStore::WriteInt(const char* name, int32_t value) {
  const Entry entry{name, value};
  return WriteInts(&entry, 1);
}

// The values are set in order under the one open key; the caller closes it.
bool UserStore::WriteInts(const Entry* entries, size_t count, uint32_t /*lockWaitMs: POSIX only*/) {
  if (!entries || count == 0) return true;
  if (count > kMaxBatch || !Open()) return false;
  bool ok = true;
  bool any = false;
  for (size_t i = 0; i < count; ++i) {
    const DWORD dword = static_cast<DWORD>(entries[i].value);
    if (RegSetValueExA(static_cast<HKEY>(handle_), entries[i].name, 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&dword), sizeof(dword)) == ERROR_SUCCESS)
      any = true;
    else
      ok = false;
  }
  if (any) CountUpdate();
  return ok;
}

bool UserStore::Close() {
  if (!handle_) return true;
  const bool ok = RegCloseKey(static_cast<HKEY>(handle_)) == ERROR_SUCCESS;
  handle_ = nullptr;
  return ok;
}

}  // namespace tovik::platform
