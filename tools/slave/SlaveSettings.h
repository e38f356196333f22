// What the command line sets for every connection of the slave.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

namespace tovik::slave {

namespace hosting {
struct ChainSpec;
}

struct SlaveSettings {
  // Gain applied to every block, in dB and as the linear factor used on the
  // samples (set both with SetGainDb). A factor of exactly 1 passes the wire
  // bytes through unchanged at every precision.
  double gainDb = 0.0;
  float gain = 1.0f;
  // Echo the MIDI and SysEx records of each block back as one msgEvents.
  bool echoEvents = false;
  // Size of a SysEx record's fixed part: 20 (32-bit plug-in), 24 (64-bit
  // plug-in) or 0 to tell from the records themselves.
  int32_t sysexFixed = 0;
  // Wait this long before answering each block.
  int32_t delayMs = 0;
  // Read everything, answer nothing.
  bool silent = false;
  // A message that has begun must keep arriving: with no byte for stallMs the
  // connection is dropped, and so it is when one message takes longer than
  // messageMs in all.
  int32_t stallMs = 5000;
  int32_t messageMs = 30000;
  // A plug-in's set-up step (loading, instantiating, activating, closing)
  // that takes longer than this ends its connection, or at start the slave.
  int32_t setupMs = 10000;
  // Test aid: the connection's processing crashes (aborts) on the block after
  // this many answered blocks; 0 never.
  int64_t crashAfterBlocks = 0;
  // With crashAfterBlocks: only the connection of this number (1 for the first
  // accepted) crashes; 0 every connection.
  uint64_t crashConnection = 0;
  // A line on the log for every message read and every answer sent.
  bool verbose = false;
  // The plug-ins every connection runs, in order (none: the gain above).
  std::shared_ptr<const hosting::ChainSpec> chain;
  // Where a connection says what its chain does (latency, a plug-in that
  // refused to start, one that hung); null for nowhere.
  std::FILE* chainLog = nullptr;

  void SetGainDb(double db);
};

}  // namespace tovik::slave
