// Counters that the slave keeps over all its connections, for the summary
// printed when it stops. Written by the supervisor, which takes each
// connection's totals when its process has ended.
#pragma once

#include <cstdint>

#include "LatencyHistogram.h"

namespace tovik::slave {

struct SlaveStats {
  // Connections served, refused over the limit, and whose process died.
  uint64_t connections = 0;
  uint64_t refused = 0;
  uint64_t died = 0;
  uint64_t blocks = 0;
  uint64_t bytesIn = 0;
  uint64_t bytesOut = 0;
  // Time from the arrival of a block's message code to its answer having been
  // handed to the socket.
  CLatencyHistogram latency;
  // The chains' times over all connections (see ConnectionRecord).
  uint64_t chainBlocks = 0;
  uint64_t pluginNs = 0;
  uint64_t chainNs = 0;
  uint64_t serviceNs = 0;
};

}  // namespace tovik::slave
