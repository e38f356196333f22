#include "Watchdog.h"

#include <cstdio>
#include <cstdlib>

#include "HostOptions.h"

namespace tovik::host {

using Clock = std::chrono::steady_clock;

CWatchdog::CWatchdog(double limitSeconds)
    : limit(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limitSeconds))) {
  thread = std::thread([this] { Run(); });
}

CWatchdog::~CWatchdog() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  wake.notify_all();
  thread.join();
}

void CWatchdog::Begin(const char* what) {
  startedAt.store(Clock::now().time_since_epoch().count());
  current.store(what);
}

void CWatchdog::End() {
  current.store(nullptr);
}

void CWatchdog::Run() {
  std::unique_lock<std::mutex> lock(mutex);
  while (!wake.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopping; })) {
    const char* what = current.load();
    if (what == nullptr) continue;
    const Clock::duration running = Clock::now().time_since_epoch() - Clock::duration(startedAt.load());
    if (running > limit && current.load() == what) {
      std::fprintf(stderr, "tovik-host: the plug-in has not returned from %s for %.0f s; giving up\n", what,
                   std::chrono::duration<double>(running).count());
      std::fflush(stdout);
      std::fflush(stderr);
      if (exitHook != nullptr) exitHook(exitContext);
      // The hung call still holds the relay thread: leave without unwinding it.
      std::_Exit(kExitRelayFailed);
    }
  }
}

}  // namespace tovik::host
