// A tovik-slave process on a free loopback port, for tests that need a real
// slave on the other end: started with its options, killed (SIGKILL) or
// stopped (SIGTERM) by its process id, never by name. Every wait is bounded.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tovik::test {

class SlaveProcess {
 public:
  SlaveProcess() = default;
  ~SlaveProcess();
  SlaveProcess(const SlaveProcess&) = delete;
  SlaveProcess& operator=(const SlaveProcess&) = delete;

  // Starts the slave on `port` (a free one when 0) and waits until it
  // listens. False when it did not come up within two seconds.
  bool Start(const std::vector<std::string>& options = {}, unsigned port = 0);
  // Kills it at once (SIGKILL) and reaps it.
  void Kill();
  // Asks it to stop (SIGTERM) and reaps it; kills it after a second.
  void Stop();
  bool Running() const { return pid_ > 0; }
  unsigned Port() const { return port_; }

  // The program under test, from the build.
  static const char* Program();
  // A loopback port that nobody listens on right now.
  static unsigned FreePort();

 private:
  bool WaitListening(int timeoutMs);
  void Reap(int timeoutMs);

  pid_t pid_ = -1;
  unsigned port_ = 0;
  std::string logPath_;
};

// Open file descriptors of this process (entries of /proc/self/fd).
int OpenDescriptors();

}  // namespace tovik::test
