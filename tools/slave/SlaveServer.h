// The slave's listening socket and the supervisor of its connections.
//
// Every accepted plug-in connection is served by a process of its own, forked
// right after accept: a connection that stalls, stays silent, sends garbage or
// crashes in its processing ends only its own process, while the supervisor
// keeps accepting, reaps what ended (waitpid), and logs each connection's
// lines: when it connects, when its handshake is complete, how it left, and
// its status on request or at an interval. The connection processes never
// write the log themselves (except per-message tracing with --verbose); they
// publish their progress in a ConnectionRecord in shared memory instead.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "ConnectionRecord.h"
#include "SlaveSettings.h"
#include "SlaveStats.h"

namespace tovik::slave {

// Keepalive on every accepted socket: a peer whose machine vanished is
// dropped within 10 + 3 x 5 = 25 s of its last sign of life.
constexpr int kKeepAliveIdleSeconds = 10;
constexpr int kKeepAliveIntervalSeconds = 5;
constexpr int kKeepAliveProbes = 3;
constexpr int kDefaultMaxConnections = 64;

// TCP_NODELAY and the keepalive options above; false when one was refused.
bool ConfigureAcceptedSocket(int fd);

// "12.3 us", "4.56 ms" and so on.
std::string DurationText(int64_t nanoseconds);

// A chain's times per block: "plug-ins 41.20 us/block, hosting 0.90
// us/block, service 48.31 us/block" (hosting: the chain's time less the
// plug-ins' own). Empty without blocks.
std::string ChainTimesText(uint64_t blocks, uint64_t pluginNs, uint64_t chainNs, uint64_t serviceNs);

class CSlaveServer {
 public:
  // log may be null (nothing is logged).
  CSlaveServer(const SlaveSettings& settings, SlaveStats& stats, std::FILE* log);
  ~CSlaveServer();
  CSlaveServer(const CSlaveServer&) = delete;
  CSlaveServer& operator=(const CSlaveServer&) = delete;

  // Binds address:port (port 0: any free port) and listens. On failure returns
  // false with a message for the user in *error.
  bool Listen(const std::string& address, uint16_t port, std::string* error);
  // Listens on one more port whose connections are served with settings
  // (which must outlive the server) instead of the server's own: a slave
  // with a chain for each port. Same failures as Listen.
  bool AddListener(const std::string& address, uint16_t port, const SlaveSettings* settings,
                   std::string* error);
  // The port actually bound (by Listen, or the first AddListener).
  uint16_t Port() const { return listeners_.empty() ? 0 : listeners_[0].port; }
  // True when every bound address is a loopback one (only this machine reaches it).
  bool LoopbackOnly() const;
  // True when the address of the listener added last is a loopback one.
  bool LastLoopback() const { return listeners_.empty() || listeners_.back().loopback; }

  // Connections served at once (1 or more); one over the limit is closed at
  // once. Set before Run.
  void SetMaxConnections(int count) { maxConnections_ = count < 1 ? 1 : count; }
  // A status line per live connection every so many seconds (0: never).
  void SetStatusInterval(int seconds) { statusInterval_ = std::chrono::seconds(seconds < 0 ? 0 : seconds); }
  // A flag that, when set (from a signal handler, say), has the status printed
  // at once; Run clears it.
  void SetStatusRequest(std::atomic<bool>* request) { statusRequest_ = request; }

  // Serves connections until stop is set or, with exitOnClose, a plug-in has
  // sent msgClose; then ends the connections still open (SIGTERM, and SIGKILL
  // for a process still there after 2 s) and takes their totals.
  void Run(const std::atomic<bool>& stop, bool exitOnClose);

  // Connections being served right now.
  int LiveConnections() const;

 private:
  using Clock = std::chrono::steady_clock;

  struct Listener {
    int fd = -1;
    uint16_t port = 0;
    bool loopback = true;
    const SlaveSettings* settings = nullptr;
  };

  struct Slot {
    pid_t pid = -1;
    const SlaveSettings* settings = nullptr;
    uint64_t id = 0;
    std::string peer;
    Clock::time_point accepted;
    bool connectLogged = false;
    bool runningLogged = false;
    Clock::time_point lastStatus;
    uint64_t lastBytesIn = 0;
    uint64_t lastBytesOut = 0;
  };

  bool Open(const std::string& address, uint16_t port, Listener* opened, std::string* error);
  bool MapRecords();
  void Accept(const Listener& listener);
  // In the connection's process: serves fd and never returns.
  [[noreturn]] void ServeInChild(int fd, uint64_t id, ConnectionRecord* record,
                                 const SlaveSettings& settings);
  // Reaps ended processes; true when one ended with msgClose.
  bool Reap();
  void Finish(size_t index, int status);
  void LogProgress(size_t index, bool ending);
  void PrintStatus();
  void StopAll();
  void Log(const char* format, ...) const
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;

  const SlaveSettings& settings_;
  SlaveStats& stats_;
  std::FILE* log_;
  std::vector<Listener> listeners_;
  int maxConnections_ = kDefaultMaxConnections;
  std::chrono::seconds statusInterval_{0};
  std::atomic<bool>* statusRequest_ = nullptr;
  Clock::time_point nextStatus_;
  uint64_t nextId_ = 0;

  std::vector<Slot> slots_;
  ConnectionRecord* records_ = nullptr;
  size_t recordBytes_ = 0;
};

}  // namespace tovik::slave
