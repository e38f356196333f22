// Counters that the slave keeps over all its connections, for the summary
// printed when it stops. Written by the one thread that serves connections.
#pragma once

#include <cstdint>

#include "LatencyHistogram.h"

namespace tovik::slave {

struct SlaveStats {
  uint64_t connections = 0;
  uint64_t blocks = 0;
  uint64_t bytesIn = 0;
  uint64_t bytesOut = 0;
  // Time from the arrival of a block's message code to its answer having been
  // handed to the socket.
  CLatencyHistogram latency;
};

}  // namespace tovik::slave
