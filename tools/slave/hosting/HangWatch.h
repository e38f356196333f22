// Ends the connection's process when its chain hangs: a thread that looks at
// when the block in progress started, and when one has run longer than the
// limit, writes a line naming the chain and exits the process (status 3).
// The process is the connection's own, so nothing else ends with it. The
// line is written straight to the log's file descriptor, waiting at most a
// second for it to take it: a plug-in that hangs holding the log's stdio lock,
// or a log pipe nobody reads, cannot keep the process from ending.
//
// Setting a plug-in up (loading, instantiating, activating, deactivating,
// closing) is watched the same way with a limit of its own, longer than a
// block's: some plug-ins take seconds to load. The line then names the step
// and the plug-in.
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
  static constexpr int32_t kDefaultSetupMs = 10000;

  // limitMs: a block's limit; line: what is written when a block hangs.
  // setupMs: the limit of one set-up step; setupPrefix + the step's
  // description is written when one hangs. exitStatus: the process's.
  CHangWatch(int32_t limitMs, std::FILE* log, std::string line, int32_t setupMs = kDefaultSetupMs,
             std::string setupPrefix = std::string(), int exitStatus = kExitStatus);
  ~CHangWatch();
  CHangWatch(const CHangWatch&) = delete;
  CHangWatch& operator=(const CHangWatch&) = delete;

  // [audio path] Around each block's processing; Enter takes the block's
  // start as the caller has just read it (the clock is not read twice).
  void Enter(std::chrono::steady_clock::time_point started) {
    since_.store(started.time_since_epoch().count(), std::memory_order_relaxed);
  }
  void Leave() { since_.store(0, std::memory_order_relaxed); }

  // Around one set-up step (not on the audio path): what names the step and
  // the plug-in ("instantiating Amp <URI>").
  void EnterSetup(const std::string& what);
  void LeaveSetup();

 private:
  void Watch();
  [[noreturn]] void Fire(const char* prefix, const char* what, std::chrono::steady_clock::duration running);

  const std::chrono::milliseconds limit_;
  const std::chrono::milliseconds setupLimit_;
  const int logFd_;  // -1: no log
  const std::string line_;
  const std::string setupPrefix_;
  const int exitStatus_;
  std::atomic<int64_t> since_{0};
  std::atomic<int64_t> setupSince_{0};
  std::mutex lock_;
  std::condition_variable wake_;
  std::string setupWhat_;  // under lock_
  bool stop_ = false;
  std::thread thread_;
};

// Runs a set-up step under a watch (none: unwatched).
class CSetupStep {
 public:
  CSetupStep(CHangWatch* watch, const std::string& what) : watch_(watch) {
    if (watch_ != nullptr) watch_->EnterSetup(what);
  }
  ~CSetupStep() {
    if (watch_ != nullptr) watch_->LeaveSetup();
  }
  CSetupStep(const CSetupStep&) = delete;
  CSetupStep& operator=(const CSetupStep&) = delete;

 private:
  CHangWatch* watch_;
};

}  // namespace tovik::slave::hosting
