#include "HangWatch.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace tovik::slave::hosting {

CHangWatch::CHangWatch(int32_t limitMs, std::FILE* log, std::string line, int32_t setupMs,
                       std::string setupPrefix, int exitStatus)
    : limit_(std::max(limitMs, 1)),
      setupLimit_(std::max(setupMs, 1)),
      logFd_(log != nullptr ? fileno(log) : -1),
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

void CHangWatch::Fire(const char* prefix, const char* what, std::chrono::steady_clock::duration running) {
  if (logFd_ >= 0) {
    // No stdio (the hung plug-in may hold its lock) and no allocation.
    char text[2048];
    const int length = std::snprintf(
        text, sizeof text, "%s%s (no answer after %lld ms)\n", prefix, what,
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(running).count()));
    size_t left = length > 0 ? std::min(static_cast<size_t>(length), sizeof text - 1) : 0;
    const char* at = text;
    while (left > 0) {
      pollfd ready{logFd_, POLLOUT, 0};
      if (poll(&ready, 1, 1000) != 1 || (ready.revents & POLLOUT) == 0) break;
      const ssize_t written = write(logFd_, at, left);
      if (written <= 0) break;
      at += written;
      left -= static_cast<size_t>(written);
    }
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
      if (running >= limit_) Fire(line_.c_str(), "", running);
    }
    const int64_t setupSince = setupSince_.load(std::memory_order_relaxed);
    if (setupSince != 0) {
      const auto running = Clock::now() - Clock::time_point(Clock::duration(setupSince));
      if (running >= setupLimit_) Fire(setupPrefix_.c_str(), setupWhat_.c_str(), running);
    }
  }
}

}  // namespace tovik::slave::hosting
