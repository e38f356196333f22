// The slave's listening socket: accepts one plug-in connection at a time,
// serves it with a CSlaveSession to its end, logs one line about it and takes
// the next.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "SlaveSettings.h"
#include "SlaveStats.h"

namespace tovik::slave {

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
  // The port actually bound.
  uint16_t Port() const { return port_; }

  // Serves connections until stop is set or, with exitOnClose, a plug-in has
  // sent msgClose.
  void Run(const std::atomic<bool>& stop, bool exitOnClose);

 private:
  void Serve(int fd, const std::string& peer, const std::atomic<bool>& stop, bool* closeMessage);

  const SlaveSettings& settings_;
  SlaveStats& stats_;
  std::FILE* log_;
  int listener_ = -1;
  uint16_t port_ = 0;
};

}  // namespace tovik::slave
