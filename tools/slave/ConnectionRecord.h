// What one connection's process tells the supervising process about itself.
// The records live in memory shared by the slave's processes (mapped before
// the first fork): the connection's process writes its own record, the
// supervisor reads every record to print the connection's lines and status,
// and after the process has ended takes its totals into the summary.
//
// Counters are lock-free atomics, which are address-free and so valid across
// processes; the latency histogram is written by its one process only and
// read by the supervisor as it is (a status line may miss a block or two).
#pragma once

#include <atomic>
#include <cstdint>

#include "LatencyHistogram.h"

namespace tovik::slave {

struct ConnectionRecord {
  // Progress of the connection, in this order.
  enum Phase : int32_t {
    kAccepted = 0,  // nothing read yet
    kHello = 1,     // msgHello (or a first other message) read
    kRunning = 2,   // the first block has been answered
  };

  std::atomic<int32_t> phase{kAccepted};
  // Set once msgHello has been read: the plug-in's identification bytes.
  std::atomic<bool> helloSeen{false};
  unsigned char ident[2] = {0, 0};
  // The plug-in's settings as last told (-1 / 0: not told), the first block's
  // precision.
  std::atomic<int32_t> inputs{-1};
  std::atomic<int32_t> outputs{-1};
  std::atomic<int32_t> blockSize{-1};
  std::atomic<float> sampleRate{0.0f};
  std::atomic<int32_t> precision{0};
  std::atomic<int32_t> channels{0};
  std::atomic<int32_t> frames{0};

  std::atomic<uint64_t> blocks{0};
  // Blocks whose processing (code read to answer sent) took longer than the
  // audio they carry lasts at the plug-in's sample rate.
  std::atomic<uint64_t> lateBlocks{0};
  std::atomic<uint64_t> bytesIn{0};
  std::atomic<uint64_t> bytesOut{0};
  // How the connection ended (a SessionEnd plus one; 0 while it runs, or when
  // its process died before it could say).
  std::atomic<int32_t> end{0};
  // Processing time of every answered block.
  CLatencyHistogram latency;
  // With a chain of plug-ins, totals over the blocks it ran (chainBlocks), in
  // nanoseconds: inside the plug-ins' own process calls; in the chain as a
  // whole (wire decoding and encoding, channel mapping, event conversion and
  // the plug-ins); and the blocks' service (code read to answer sent). The
  // chain's time less the plug-ins' is what hosting them costs.
  std::atomic<uint64_t> chainBlocks{0};
  std::atomic<uint64_t> pluginNs{0};
  std::atomic<uint64_t> chainNs{0};
  std::atomic<uint64_t> serviceNs{0};

  static_assert(std::atomic<int32_t>::is_always_lock_free, "shared between processes");
  static_assert(std::atomic<uint64_t>::is_always_lock_free, "shared between processes");
  static_assert(std::atomic<float>::is_always_lock_free, "shared between processes");
};

}  // namespace tovik::slave
