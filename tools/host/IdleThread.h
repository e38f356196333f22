// The host's idle calls: effIdle every 50 ms from a thread of its own, the way
// a host's user-interface thread sends them while the plug-in runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "PluginInstance.h"

namespace tovik::host {

class CIdleThread {
 public:
  static constexpr int kIntervalMs = 50;

  explicit CIdleThread(const CPluginInstance& target) : plugin(target) {}
  ~CIdleThread() { Stop(); }
  CIdleThread(const CIdleThread&) = delete;
  CIdleThread& operator=(const CIdleThread&) = delete;

  // The first effIdle goes out at once.
  void Start();
  // Returns after the last effIdle call has returned (each waits at most one interval).
  void Stop();

  long Calls() const { return calls.load(); }

 private:
  void Run();

  const CPluginInstance& plugin;
  std::thread thread;
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  std::atomic<long> calls{0};
};

}  // namespace tovik::host
