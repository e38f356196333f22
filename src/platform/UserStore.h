// The per-user settings store: one key of 32-bit integer values.
// Windows: the registry key HKEY_CURRENT_USER\<keyPath>.
// POSIX: the text file ${XDG_CONFIG_HOME:-$HOME/.config}/<vendor>/<name>.conf
// (the last two components of keyPath), one "Name=value" line per value.
// Failures are reported by the results only; callers ignore them.
//
// One UserStore is used by one thread at a time. Writing touches the disk
// (POSIX: a lock file waited for up to lockWaitMs, an fsync and a rename) or
// the registry: never on the audio thread. [main-thread]
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tovik::platform {

class UserStore {
 public:
  // How long a write waits for another writer (another instance, another
  // process) to finish. POSIX only; the registry has no such lock.
  static constexpr uint32_t kLockWaitMs = 2000;
  // The most values one WriteInts takes.
  static constexpr size_t kMaxBatch = 32;

  struct Entry {
    const char* name;
    int32_t value;
  };

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
  // Writes one value; true on success. The same as WriteInts with one entry.
  bool WriteInt(const char* name, int32_t value);
  // Writes several values in one update: on POSIX one lock, one rewrite of
  // the file, one fsync and one rename; on Windows the values are set under
  // one open key. The result is the same as one WriteInt per entry in order
  // (of two entries with the same name the later counts). True when every
  // value was written; entries with names that cannot be stored are skipped
  // and make the result false.
  bool WriteInts(const Entry* entries, size_t count, uint32_t lockWaitMs = kLockWaitMs);
  // Closes the key; true when nothing was open or the close succeeded.
  bool Close();
  bool IsOpen() const { return handle_ != nullptr; }

  // POSIX: the file that holds the values (empty on Windows).
  const char* Path() const { return path_; }

  // How many updates this process has committed (file rewrites; on Windows,
  // WriteInts calls that set their values). [any-thread]
  static uint32_t UpdateCount() { return updates_.load(std::memory_order_relaxed); }

 private:
  static void CountUpdate() { updates_.fetch_add(1, std::memory_order_relaxed); }
  static inline std::atomic<uint32_t> updates_{0};

  char keyPath_[128] = {};
  char path_[1024] = {};
  void* handle_ = nullptr;
};

}  // namespace tovik::platform
