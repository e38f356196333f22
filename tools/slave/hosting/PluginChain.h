// The chain of hosted plug-ins every connection of the slave gets: what the
// command line (or the configuration file) names, checked once at start, and
// each connection's running copy of it.
//
// Channel mapping: the chain runs at the connection's width W (the larger of
// its input and output counts, at least 1). A plug-in with A audio inputs,
// 0 < A < W, runs ceil(W / A) instances, instance k taking channels kA to
// kA + A - 1 and giving back its first A outputs on them (a mono plug-in on a
// stereo connection runs twice). Otherwise one instance maps channels by
// index: missing inputs are silence, extra outputs are dropped, channels it
// has no output for are silence. Instruments (no audio input) take the
// relayed MIDI only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "HangWatch.h"
#include "HostedPlugin.h"

namespace tovik::slave::hosting {

struct ChainStage {
  std::shared_ptr<const IPluginType> type;
  std::vector<float> controls;
};

struct ChainSpec {
  std::vector<ChainStage> stages;
  // "Name <ID> -> Name <ID>", for the log.
  std::string Describe() const;
};

class CLv2Host;

// Reads a chain from `--plugin ID` and `--set NAME=VALUE` items in order.
// LV2 plug-ins are looked up in one lilv world loaded on first need; VST 2.4
// plug-ins (an ID that is a path) are loaded and asked for their ports.
class CChainBuilder {
 public:
  CChainBuilder();
  ~CChainBuilder();
  // Bounds loading each plug-in (a VST 2.4 file runs its entry point and
  // effOpen) to limitMs: one that takes longer gets a line on log naming it
  // and ends the process with status 2, nothing started. 0: unbounded.
  void SetLoadLimit(int32_t limitMs, std::FILE* log) {
    loadLimitMs_ = limitMs;
    loadLog_ = log;
  }
  bool AddPlugin(const std::string& id, std::string* error);
  // NAME=VALUE for the plug-in added last. Warnings (a value clamped) are
  // appended to warnings.
  bool AddSetting(const std::string& text, std::string* error, std::vector<std::string>* warnings);
  bool Empty() const { return spec_.stages.empty(); }
  std::shared_ptr<const ChainSpec> Take();
  // Lists the LV2 plug-ins lilv finds and the VST 2.4 files on the usual paths.
  void List(std::FILE* out);

 private:
  CLv2Host& Lv2();
  std::unique_ptr<CLv2Host> lv2_;
  ChainSpec spec_;
  int32_t loadLimitMs_ = 0;
  std::FILE* loadLog_ = nullptr;
};

class CPluginChain {
 public:
  // Frames a Run never exceeds when the host names no block size; larger
  // blocks are taken in parts of at most kLargestBlock.
  static constexpr int32_t kDefaultBlock = 1024;
  static constexpr int32_t kLargestBlock = 8192;

  explicit CPluginChain(std::shared_ptr<const ChainSpec> spec);
  ~CPluginChain();
  CPluginChain(const CPluginChain&) = delete;
  CPluginChain& operator=(const CPluginChain&) = delete;

  // Instantiates every plug-in for width channels at rate, at most maxBlock
  // frames a run (out of range: kDefaultBlock; over kLargestBlock:
  // kLargestBlock), deactivated. Replaces what ran before. Not on the audio
  // path.
  bool Configure(double rate, int32_t maxBlock, int32_t width, std::string* error);
  bool Configured() const { return configured_; }
  // True when Configure with these values would make the same chain.
  bool Matches(double rate, int32_t maxBlock, int32_t width) const;
  void Release();
  void Activate();
  void Deactivate();
  bool Active() const { return active_; }
  // The chain's latency: the sum of its plug-ins' (their first instances').
  int64_t Latency();
  int32_t Width() const { return width_; }
  // The rate it runs at (44,100 Hz when the one asked for was unusable).
  double Rate() const { return rate_; }
  int32_t MaxBlock() const { return maxBlock_; }
  // [audio path] Whether any plug-in of the chain sends MIDI (known once the
  // chain is made: asked on every block, it must not walk the plug-in types).
  bool SendsEvents() const { return sendsEvents_; }
  std::string Describe() const { return spec_->Describe(); }
  // What watches the set-up steps (instantiating, activating, deactivating,
  // closing each plug-in) for a hang; null: nothing. Set off the audio path.
  void SetSetupWatch(CHangWatch* watch) { watch_ = watch; }
  // [audio path] Time spent in the plug-ins' own code (process and event
  // calls) since the chain was first made, in nanoseconds.
  int64_t PluginNanoseconds() const;

  // [audio path] One block on the wire: channels x frames samples at
  // precision in `in` (planar), the events in `events`; writes outChannels x
  // frames samples at the same precision to `out` and the events the chain
  // sends to eventsOut (when not null). Frames beyond MaxBlock are run in
  // parts.
  void ProcessWire(int32_t precision, int32_t channels, int32_t frames, const unsigned char* in,
                   unsigned char* out, int32_t outChannels, const CEventList& events, CEventList* eventsOut);
  // [audio path] One part of at most MaxBlock frames, in Input(c) to Output(c).
  void Run(int32_t frames, const CEventList& events, CEventList* eventsOut);
  // [audio path] The next block's time record as it came on the wire
  // (kTimeInfoBytes bytes, a VstTimeInfo); the plug-ins that ask get it, its
  // sample position moved to each part's start. Null: a stopped transport.
  void SetTimeRecord(const unsigned char* record) { timeRecord_ = record; }
  float* Input(int32_t channel) { return buffers_[0][static_cast<size_t>(channel)].data(); }
  const float* Output(int32_t channel) const;

 private:
  // "Name <ID>" of the plug-in at place stage of the chain.
  std::string StageName(size_t stage) const;

  struct Stage {
    std::vector<std::unique_ptr<IPluginInstance>> instances;
    std::vector<int32_t> silent;  // output channels no instance writes
    bool midiIn = false;
    bool midiOut = false;
  };

  std::shared_ptr<const ChainSpec> spec_;
  bool sendsEvents_;
  std::vector<Stage> stages_;
  bool configured_ = false;
  bool active_ = false;
  double rate_ = 0.0;
  int32_t maxBlock_ = 0;
  int32_t width_ = 0;
  std::vector<std::vector<float>> buffers_[2];
  std::vector<float> zero_, discard_;
  CEventList events_[2];
  CEventList part_, partOut_;
  const unsigned char* timeRecord_ = nullptr;
  VstTimeInfo time_{};
  CHangWatch* watch_ = nullptr;
  // Where the chain's pointers, its plug-ins' per-block data and its
  // buffers lie, asked for at the start of each block; made by Configure.
  std::vector<const void*> runData_;
  // The plug-in time of instances released.
  int64_t retiredNs_ = 0;
};

}  // namespace tovik::slave::hosting
