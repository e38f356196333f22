// HeldStoreLock: another process holds the per-user store's file lock
// ("<file>.lock", flock) until Release or the object goes, as a second host
// writing its settings at that moment would. POSIX only.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace tovik::test {

class HeldStoreLock {
 public:
  // storeFile: the store's file (UserStore::Path()). Held() tells whether the
  // child took the lock.
  explicit HeldStoreLock(const std::string& storeFile) {
    int ready[2], release[2];
    if (::pipe(ready) != 0) return;
    if (::pipe(release) != 0) {
      ::close(ready[0]);
      ::close(ready[1]);
      return;
    }
    child_ = ::fork();
    if (child_ == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      const int fd = ::open((storeFile + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      const char took = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 1 : 0;
      (void)!::write(ready[1], &took, 1);
      char ignored;
      (void)!::read(release[0], &ignored, 1);  // until the parent releases or dies
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    release_ = release[1];
    char took = 0;
    held_ = child_ > 0 && ::read(ready[0], &took, 1) == 1 && took == 1;
    ::close(ready[0]);
  }
  ~HeldStoreLock() { Release(); }
  HeldStoreLock(const HeldStoreLock&) = delete;
  HeldStoreLock& operator=(const HeldStoreLock&) = delete;

  bool Held() const { return held_; }

  // The child lets go of the lock and ends; returns once it has.
  void Release() {
    if (release_ >= 0) {
      ::close(release_);
      release_ = -1;
    }
    if (child_ > 0) {
      int status = 0;
      ::waitpid(child_, &status, 0);
      child_ = -1;
    }
    held_ = false;
  }

 private:
  pid_t child_ = -1;
  int release_ = -1;
  bool held_ = false;
};

}  // namespace tovik::test
