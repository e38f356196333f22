#include "IdleThread.h"

#include <chrono>

namespace tovik::host {

void CIdleThread::Start() {
  if (thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = false;
  }
  thread = std::thread([this] { Run(); });
}

void CIdleThread::Stop() {
  if (!thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  wake.notify_all();
  thread.join();
}

void CIdleThread::Run() {
  std::unique_lock<std::mutex> lock(mutex);
  while (!stopping) {
    lock.unlock();
    plugin.Dispatch(effIdle);
    calls.fetch_add(1);
    lock.lock();
    wake.wait_for(lock, std::chrono::milliseconds(kIntervalMs), [this] { return stopping; });
  }
}

}  // namespace tovik::host
