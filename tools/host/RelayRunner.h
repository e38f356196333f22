// Drives a loaded plug-in through one relay run the way a real host does:
// sample rate, block size, resume, idle calls from a second thread, one
// process call per block, suspend.
//
// The plug-in connects in an idle call or in a process call, and until it is
// connected its process calls write no output. Before the real signal starts, the runner sends blocks
// of silence (warm-up, paced at the sample rate, bounded by the time-out) until
// one comes back answered, so that no block of the signal is lost.
//
// A block counts as answered when the plug-in overwrote the output buffers,
// which the runner fills with a NaN of its own before every call. In
// asynchronous operation the runner also polls effGetCurrentPosition after each
// call until it reports the block done (bounded by the time-out).
//
// The signal streams through: the runner reads one block from its source,
// relays it and hands input and output to a sink (file writer, comparison),
// so a run's memory does not depend on the signal's length.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "AudioFile.h"
#include "HostServices.h"
#include "MidiFile.h"
#include "PluginInstance.h"
#include "RoundTripStats.h"
#include "Watchdog.h"

namespace tovik::host {

struct RelayConfig {
  int blockSize = 512;
  double timeout = 5.0;  // seconds: warm-up, each asynchronous block, answers missing in a row
  bool realtime = false;
  bool progress = false;
  // Shown on standard error during the warm-up when not empty ("connecting to
  // HOST:PORT..." on a terminal).
  std::string connectingText;
  // MIDI played into the plug-in: each block of the signal's events go in by
  // effProcessEvents just before its process call.
  CMidiSchedule* midi = nullptr;
  // Set from another thread or a signal handler: the run stops after the
  // block in flight.
  const std::atomic<bool>* stop = nullptr;
};

// Takes each block of the signal as it is relayed, in order.
class CRelaySink {
 public:
  virtual ~CRelaySink() = default;
  // input: the source's channels (inputChannels of them); output: the
  // plug-in's outputs, silence where the block was not answered (or not sent).
  virtual void Block(size_t index, const std::vector<std::vector<float>>& input, size_t inputChannels,
                     const std::vector<std::vector<float>>& output, size_t outputChannels, size_t frames,
                     bool answered) = 0;
};

// A run of consecutive blocks of the signal without an answer.
struct RelayGap {
  size_t firstBlock = 0;
  size_t blocks = 0;
  bool answeredAfter = false;  // an answer came again after the gap (the relay reconnected)
};

struct RelayResult {
  bool async = false;          // the plug-in ran in asynchronous operation
  size_t warmupBlocks = 0;     // blocks of silence sent before the first answer
  double warmupSeconds = 0.0;  // from resume to the first answer
  bool warmupAnswered = false;
  size_t totalBlocks = 0;  // blocks of the signal
  size_t blocks = 0;       // blocks of the signal sent
  size_t answered = 0;
  size_t unanswered = 0;     // of the signal: sent without an answer, or never sent
  bool aborted = false;      // no answer for longer than the time-out: the rest was not sent
  bool interrupted = false;  // stopped on request: the blocks after the last one sent are not counted
  CRoundTripStats roundTrips;
  static constexpr size_t kGapsKept = 16;
  std::vector<RelayGap> gaps;  // the first kGapsKept
  size_t gapCount = 0;
  // Real-time runs: blocks whose round trip took longer than the block lasts.
  size_t lateBlocks = 0;
  double worstLateMs = 0.0;
  size_t worstLateBlock = 0;
  uint64_t framesDone = 0;      // frames of the signal handed to the sink
  double elapsedSeconds = 0.0;  // from the first block of the signal to the last
};

class CRelayRunner {
 public:
  CRelayRunner(const CPluginInstance& target, CHostServices& services, CWatchdog& watchdog,
               const RelayConfig& settings)
      : plugin(target), host(services), dog(watchdog), config(settings) {}

  // The plug-in must be open and suspended; it is suspended again on return.
  RelayResult Run(CAudioSource& input, CRelaySink& sink);

  // The NaN written into every output sample before a process call.
  static float Sentinel();
  static bool IsSentinel(float sample);

 private:
  // Fills the outputs with the sentinel, calls processReplacing and, in
  // asynchronous operation, waits for the answer up to limit seconds. Returns
  // whether the block was answered and the round trip in milliseconds.
  bool ProcessBlock(int frames, bool async, double limit, double& milliseconds);
  bool WaitForPosition(double limit);
  VstIntPtr Dispatch(const char* what, VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0,
                     float opt = 0.0f);

  const CPluginInstance& plugin;
  CHostServices& host;
  CWatchdog& dog;
  RelayConfig config;
  void NoteGap(RelayResult& result, size_t block, bool answered);
  bool lastAnswered = true;

  std::vector<std::vector<float>> source;
  std::vector<std::vector<float>> inputs;
  std::vector<std::vector<float>> outputs;
  std::vector<float*> inputPointers;
  std::vector<float*> outputPointers;
};

}  // namespace tovik::host
