// The per-user settings store: one key of 32-bit integer values.
// Windows: the registry key HKEY_CURRENT_USER\<keyPath>.
// POSIX: the text file ${XDG_CONFIG_HOME:-$HOME/.config}/<vendor>/<name>.conf
// (the last two components of keyPath), one "Name=value" line per value.
// Failures are reported by the results only; callers ignore them.
#pragma once

#include <cstdint>

namespace tovik::platform {

class UserStore {
 public:
  // keyPath like "Software\\Kestrane\\Tovik".
  explicit UserStore(const char* keyPath);
  ~UserStore();
  UserStore(const UserStore&) = delete;
  UserStore& operator=(const UserStore&) = delete;

  // Opens (creating when missing) the key; true when it is open.
  bool Open();
  // Reads one value; on success stores it and returns true. A missing,
  // malformed or oversized value leaves *value unchanged.
  bool ReadInt(const char* name, int32_t* value);
  // Writes one value; true on success.
  bool WriteInt(const char* name, int32_t value);
  // Closes the key; true when nothing was open or the close succeeded.
  bool Close();
  bool IsOpen() const { return handle_ != nullptr; }

  // POSIX: the file that holds the values (empty on Windows).
  const char* Path() const { return path_; }

 private:
  char keyPath_[128] = {};
  char path_[1024] = {};
  void* handle_ = nullptr;
};

}  // namespace tovik::platform
