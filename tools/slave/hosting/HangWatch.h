// Ends the connection's process when its chain hangs: a thread that looks at
// when the block in progress started, and when one has run longer than the
// limit, writes a line naming the chain and exits the process (status 3).
// The process is the connection's own, so nothing else ends with it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace tovik::slave::hosting {

class CHangWatch {
 public:
  static constexpr int kExitStatus = 3;

  CHangWatch(int32_t limitMs, std::FILE* log, std::string line);
  ~CHangWatch();
  CHangWatch(const CHangWatch&) = delete;
  CHangWatch& operator=(const CHangWatch&) = delete;

  // [audio path] Around each block's processing.
  void Enter() {
    since_.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  }
  void Leave() { since_.store(0, std::memory_order_relaxed); }

 private:
  void Watch();

  const std::chrono::milliseconds limit_;
  std::FILE* log_;
  const std::string line_;
  std::atomic<int64_t> since_{0};
  std::mutex lock_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace tovik::slave::hosting
