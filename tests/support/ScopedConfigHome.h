// ScopedConfigHome: gives a test its own empty per-user store by pointing
// XDG_CONFIG_HOME at a fresh temporary folder, and puts everything back (and
// removes the folder) when it goes. POSIX only.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/UserStore.h"
#include "relay/BuildConstants.h"

namespace tovik::test {

class ScopedConfigHome {
 public:
  ScopedConfigHome() {
    char pattern[] = "/tmp/tovik-store-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (dir) path_ = dir;
    const char* old = std::getenv("XDG_CONFIG_HOME");
    hadOld_ = old != nullptr;
    if (old) old_ = old;
    ::setenv("XDG_CONFIG_HOME", path_.c_str(), 1);
  }
  ~ScopedConfigHome() {
    if (hadOld_)
      ::setenv("XDG_CONFIG_HOME", old_.c_str(), 1);
    else
      ::unsetenv("XDG_CONFIG_HOME");
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScopedConfigHome(const ScopedConfigHome&) = delete;
  ScopedConfigHome& operator=(const ScopedConfigHome&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string old_;
  bool hadOld_ = false;
};

// A private store that already holds ConfigDlg=0, so that constructing an
// instance shows no dialog.
class QuietConfigHome : public ScopedConfigHome {
 public:
  QuietConfigHome() {
    tovik::platform::UserStore store(build::kStoreKey);
    store.WriteInt("ConfigDlg", 0);
    store.Close();
  }
};

}  // namespace tovik::test
