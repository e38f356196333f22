#include "HangWatch.h"

#include <unistd.h>

#include <algorithm>

namespace tovik::slave::hosting {

CHangWatch::CHangWatch(int32_t limitMs, std::FILE* log, std::string line)
    : limit_(std::max(limitMs, 1)), log_(log), line_(std::move(line)), thread_([this] { Watch(); }) {}

CHangWatch::~CHangWatch() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void CHangWatch::Watch() {
  using Clock = std::chrono::steady_clock;
  const auto step = std::clamp(limit_ / 4, std::chrono::milliseconds(10), std::chrono::milliseconds(250));
  std::unique_lock<std::mutex> hold(lock_);
  while (!stop_) {
    wake_.wait_for(hold, step);
    const int64_t since = since_.load(std::memory_order_relaxed);
    if (since == 0) continue;
    const auto running = Clock::now() - Clock::time_point(Clock::duration(since));
    if (running < limit_) continue;
    if (log_ != nullptr) {
      std::fprintf(
          log_, "%s (no answer after %lld ms)\n", line_.c_str(),
          static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(running).count()));
      std::fflush(log_);
    }
    _exit(kExitStatus);
  }
}

}  // namespace tovik::slave::hosting
