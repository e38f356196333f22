// Ends the program when a call into the plug-in does not return: a plug-in
// that hangs in processReplacing or in its dispatcher must not hang the host
// (and a test run with it). The relay thread marks each call; a thread of the
// watchdog's own checks ten times a second.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tovik::host {

class CWatchdog {
 public:
  // limitSeconds: the longest one call may take.
  explicit CWatchdog(double limitSeconds);
  ~CWatchdog();
  CWatchdog(const CWatchdog&) = delete;
  CWatchdog& operator=(const CWatchdog&) = delete;

  // what must be a string literal; it names the call in the message.
  void Begin(const char* what);
  void End();

  // Called on the watchdog's thread just before it ends the process (the
  // private settings store is removed there). Set before the first Begin.
  void SetExitHook(void (*hook)(void*), void* context) {
    exitHook = hook;
    exitContext = context;
  }

 private:
  void Run();

  const std::chrono::steady_clock::duration limit;
  std::atomic<const char*> current{nullptr};
  std::atomic<std::chrono::steady_clock::rep> startedAt{0};
  std::thread thread;
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  void (*exitHook)(void*) = nullptr;
  void* exitContext = nullptr;
};

// Marks one call for the watchdog's whole scope.
class CWatchedCall {
 public:
  CWatchedCall(CWatchdog& watchdog, const char* what) : dog(watchdog) { dog.Begin(what); }
  ~CWatchedCall() { dog.End(); }
  CWatchedCall(const CWatchedCall&) = delete;
  CWatchedCall& operator=(const CWatchedCall&) = delete;

 private:
  CWatchdog& dog;
};

}  // namespace tovik::host
