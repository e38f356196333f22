#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Platform.h"
#include "platform/TextParse.h"
#include "platform/UserStore.h"

namespace tovik::platform {
namespace {

constexpr size_t kMaxFileBytes = 1 << 20;  // a settings file is a few hundred bytes

// A value: a decimal 32-bit integer with optional sign and surrounding blanks
// (a carriage return may end it), nothing else.
bool ParseValue(const char* s, size_t n, int32_t* out) {
  const char* end = s + n;
  while (s < end && (*s == ' ' || *s == '\t')) ++s;
  const text::ParsedInteger number = text::ParseInteger(s, end);
  if (!number.exact) return false;
  const char* p = number.next;
  while (p < end && (*p == ' ' || *p == '\t' || *p == '\r')) ++p;
  if (p != end) return false;
  *out = number.value;
  return true;
}

bool ReadFile(const char* path, std::string* text) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[4096];
  bool ok = true;
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ok = false;
      break;
    }
    if (got == 0) break;
    text->append(buffer, static_cast<size_t>(got));
    if (text->size() > kMaxFileBytes) {
      ok = false;
      break;
    }
  }
  ::close(fd);
  return ok;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

bool MakeDirs(const char* path) {
  char partial[1024];
  const size_t n = std::strlen(path);
  if (n >= sizeof(partial)) return false;
  for (size_t i = 1; i <= n; ++i) {
    if (path[i] == '/' || path[i] == 0) {
      std::memcpy(partial, path, i);
      partial[i] = 0;
      if (::mkdir(partial, 0700) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

// Holds an exclusive lock on "<file>.lock" so that two instances writing at
// once take turns. The wait is bounded by waitMs (0: one try).
class FileLock {
 public:
  FileLock(const std::string& path, uint32_t waitMs) {
    fd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return;
    const uint32_t start = TickCount();
    for (;;) {
      if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        locked_ = true;
        break;
      }
      if (errno != EWOULDBLOCK && errno != EINTR) break;
      if (TickCount() - start >= waitMs) break;
      SleepMs(2);
    }
  }
  ~FileLock() {
    if (fd_ >= 0) {
      if (locked_) ::flock(fd_, LOCK_UN);
      ::close(fd_);
    }
  }
  bool locked() const { return locked_; }

 private:
  int fd_ = -1;
  bool locked_ = false;
};

}  // namespace

UserStore::UserStore(const char* keyPath) {
  std::strncpy(keyPath_, keyPath ? keyPath : "", sizeof(keyPath_) - 1);
}

UserStore::~UserStore() {
  Close();
}

bool UserStore::Open() {
  if (handle_) return true;
  // The last two components of the key name the folder and the file.
  const char* name = std::strrchr(keyPath_, '\\');
  name = name ? name + 1 : keyPath_;
  char vendor[128] = {};
  if (name > keyPath_) {
    const char* end = name - 1;
    const char* start = end;
    while (start > keyPath_ && start[-1] != '\\') --start;
    const size_t len = static_cast<size_t>(end - start);
    if (len < sizeof(vendor)) std::memcpy(vendor, start, len);
  }
  if (!*name) return false;

  std::string base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') {
      const passwd* pw = getpwuid(getuid());
      home = pw ? pw->pw_dir : nullptr;
    }
    if (!home) return false;
    base = std::string(home) + "/.config";
  }
  std::string path = base + "/";
  if (*vendor) path += std::string(vendor) + "/";
  path += std::string(name) + ".conf";
  if (path.size() >= sizeof(path_)) return false;
  std::memcpy(path_, path.c_str(), path.size() + 1);
  handle_ = this;
  return true;
}

bool UserStore::ReadInt(const char* name, int32_t* value) {
  if (!name || !value || !Open()) return false;
  std::string text;
  if (!ReadFile(path_, &text)) return false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const char* line = text.data() + pos;
    const size_t len = end - pos;
    const void* eq = std::memchr(line, '=', len);
    if (eq) {
      const size_t keyLen = static_cast<size_t>(static_cast<const char*>(eq) - line);
      if (text::EqualsIgnoreCase(line, keyLen, name))
        return ParseValue(line + keyLen + 1, len - keyLen - 1, value);
    }
    pos = end + 1;
  }
  return false;
}

bool UserStore::WriteInt(const char* name, int32_t value) {
  const Entry entry{name, value};
  return WriteInts(&entry, 1);
}

namespace {

bool ValidName(const char* name) {
  return name && *name && !std::strchr(name, '=') && !std::strchr(name, '\n');
}

bool SameName(const UserStore::Entry& a, const UserStore::Entry& b) {
  return text::EqualsIgnoreCase(a.name, std::strlen(a.name), b.name);
}

}  // namespace

// One update for all entries: the file is read, each value replaces the
// first line of its name (later lines of that name go) or is appended, in
// the order given, and the result is written to a temporary file, flushed
// to the disk and renamed over the old one. The file comes out as it would
// after one WriteInt per entry, in order.
bool UserStore::WriteInts(const Entry* entries, size_t count, uint32_t lockWaitMs) {
  if (!entries || count == 0) return true;
  if (count > kMaxBatch) return false;
  bool allValid = true;
  size_t valid = 0;
  for (size_t i = 0; i < count; ++i) {
    if (ValidName(entries[i].name))
      ++valid;
    else
      allValid = false;
  }
  if (valid == 0 || !Open()) return false;
  const char* slash = std::strrchr(path_, '/');
  if (slash && slash != path_) {
    const std::string dir(path_, static_cast<size_t>(slash - path_));
    if (!MakeDirs(dir.c_str())) return false;
  }
  FileLock lock(path_, lockWaitMs);
  if (!lock.locked()) return false;

  std::string text;
  if (!ReadFile(path_, &text)) {
    // A missing file starts empty. One that exists but cannot be read whole
    // (unreadable, oversized) is left alone: rewriting it from the part that
    // was read would drop the lines after it.
    struct stat info;
    if (::stat(path_, &info) == 0 || errno != ENOENT) return false;
    text.clear();
  }
  // One line per name: it goes where the first entry of that name would put
  // it, and holds the last entry of that name (as writes in order would).
  // last[i] is that entry for the first entry i of each valid name, else
  // count.
  size_t last[kMaxBatch];
  for (size_t i = 0; i < count; ++i) {
    last[i] = count;
    if (!ValidName(entries[i].name)) continue;
    bool first = true;
    for (size_t k = 0; k < i && first; ++k)
      first = !(ValidName(entries[k].name) && SameName(entries[k], entries[i]));
    if (!first) continue;
    last[i] = i;
    for (size_t k = i + 1; k < count; ++k) {
      if (ValidName(entries[k].name) && SameName(entries[k], entries[i])) last[i] = k;
    }
  }
  bool placed[kMaxBatch] = {};
  auto line = [](const Entry& entry) {
    return std::string(entry.name) + "=" + std::to_string(entry.value) + "\n";
  };

  std::string out;
  out.reserve(text.size() + 32 * count);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const char* start = text.data() + pos;
    const size_t len = end - pos;
    const void* eq = std::memchr(start, '=', len);
    size_t ours = count;
    if (eq) {
      const size_t keyLen = static_cast<size_t>(static_cast<const char*>(eq) - start);
      for (size_t i = 0; i < count && ours == count; ++i) {
        if (last[i] < count && text::EqualsIgnoreCase(start, keyLen, entries[i].name)) ours = i;
      }
    }
    if (ours < count) {
      if (!placed[ours]) out += line(entries[last[ours]]);
      placed[ours] = true;
    } else {
      out.append(start, len);  // unknown lines are kept as they are
      out += "\n";
    }
    pos = end + 1;
  }
  for (size_t i = 0; i < count; ++i) {
    if (last[i] < count && !placed[i]) out += line(entries[last[i]]);
  }

  // Never leave a torn file: write a temporary file and rename it over.
  const std::string temp = std::string(path_) + ".tmp." + std::to_string(getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool done = WriteAll(fd, out) && ::fsync(fd) == 0;
  ::close(fd);
  if (!done || ::rename(temp.c_str(), path_) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  CountUpdate();
  return allValid;
}

bool UserStore::Close() {
  handle_ = nullptr;
  return true;
}

}  // namespace tovik::platform
