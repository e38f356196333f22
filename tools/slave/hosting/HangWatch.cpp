#include "HangWatch.h"

#include <unistd.h>

#include <algorithm>

namespace tovik::slave::hosting {

CHangWatch::CHangWatch(int32_t limitMs, std::FILE* log, std::string line, int32_t setupMs,
                       std::string setupPrefix, int exitStatus)
    : limit_(std::max(limitMs, 1)),
      setupLimit_(std::max(setupMs, 1)),
      log_(log),
      line_(std::move(line)),
      setupPrefix_(std::move(setupPrefix)),
      exitStatus_(exitStatus),
      thread_([this] { Watch(); }) {}

CHangWatch::~CHangWatch() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void CHangWatch::EnterSetup(const std::string& what) {
  std::lock_guard<std::mutex> hold(lock_);
  setupWhat_ = what;
  setupSince_.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
}

void CHangWatch::LeaveSetup() {
  setupSince_.store(0, std::memory_order_relaxed);
}

void CHangWatch::Fire(const std::string& line, std::chrono::steady_clock::duration running) {
  if (log_ != nullptr) {
    std::fprintf(
        log_, "%s (no answer after %lld ms)\n", line.c_str(),
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(running).count()));
    std::fflush(log_);
  }
  _exit(exitStatus_);
}

void CHangWatch::Watch() {
  using Clock = std::chrono::steady_clock;
  const auto shorter = std::min(limit_, setupLimit_);
  const auto step = std::clamp(shorter / 4, std::chrono::milliseconds(10), std::chrono::milliseconds(250));
  std::unique_lock<std::mutex> hold(lock_);
  while (!stop_) {
    wake_.wait_for(hold, step);
    const int64_t since = since_.load(std::memory_order_relaxed);
    if (since != 0) {
      const auto running = Clock::now() - Clock::time_point(Clock::duration(since));
      if (running >= limit_) Fire(line_, running);
    }
    const int64_t setupSince = setupSince_.load(std::memory_order_relaxed);
    if (setupSince != 0) {
      const auto running = Clock::now() - Clock::time_point(Clock::duration(setupSince));
      if (running >= setupLimit_) Fire(setupPrefix_ + setupWhat_, running);
    }
  }
}

}  // namespace tovik::slave::hosting
