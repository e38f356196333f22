// The host side of the VST 2.4 interface: the callback through which the
// plug-in asks the host for time, sample rate, capabilities and so on.
//
// Threads: the callback may be called from the thread that creates the plug-in
// (inside VSTPluginMain), from the relay thread during process calls and from
// the idle thread during effIdle. Everything it touches from more than one of
// them is atomic; the time record is written and read only on the relay thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "frame/VstAbi.h"

namespace tovik::host {

class CHostServices {
 public:
  CHostServices();
  ~CHostServices();
  CHostServices(const CHostServices&) = delete;
  CHostServices& operator=(const CHostServices&) = delete;

  // The audioMasterCallback handed to the plug-in. Finds the one host object
  // of this process; answers 0 to every opcode it does not know.
  static VstIntPtr VSTCALLBACK Callback(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                        void* ptr, float opt);

  // Set before the plug-in is resumed; read-only while it runs.
  void SetSampleRate(double rate) { sampleRate = rate; }
  void SetBlockSize(int frames) { blockSize = frames; }

  // Transport: the relay thread moves the play position after each block.
  // [relay thread]
  void StartTransport();
  void AdvanceTransport(int frames);
  void SetProcessing(bool on) { processing.store(on); }

  // Clears and returns whether the plug-in reported changed pins
  // (audioMasterIOChanged) since the last call.
  bool TakeIoChanged() { return ioChanged.exchange(false); }

  // The events the plug-in sends to the host, noted with the block of the
  // signal being relayed (-1 before the signal starts). The first kEventLogSize
  // are kept, in fixed storage.
  struct ReceivedEvent {
    long block = -1;
    VstInt32 type = 0;
    VstInt32 deltaFrames = 0;
    unsigned char midi[4] = {0, 0, 0, 0};
  };
  static constexpr size_t kEventLogSize = 4096;
  void SetBlock(long index) { block.store(index); }  // [relay thread]
  size_t EventsLogged() const { return logged.load(); }
  const ReceivedEvent& LoggedEvent(size_t i) const { return eventLog[i]; }

  // Counters for the report.
  long EventsReceived() const { return eventsReceived.load(); }
  long EventListsReceived() const { return eventListsReceived.load(); }
  long TimeRequests() const { return timeRequests.load(); }
  bool WantsMidi() const { return wantMidi.load(); }
  bool WantsIdle() const { return needIdle.load(); }

  // The capabilities this host announces, for --help and the report.
  static const char* const* Capabilities();

 private:
  VstIntPtr Dispatch(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt);
  VstTimeInfo* FillTime();

  double sampleRate = 48000.0;
  int blockSize = 512;
  std::atomic<bool> processing{false};
  std::atomic<bool> ioChanged{false};
  std::atomic<bool> wantMidi{false};
  std::atomic<bool> needIdle{false};
  std::atomic<long> eventsReceived{0};
  std::atomic<long> eventListsReceived{0};
  std::atomic<long> timeRequests{0};

  std::atomic<long> block{-1};
  std::atomic<size_t> logged{0};
  ReceivedEvent eventLog[kEventLogSize];

  // Relay thread only.
  double samplePos = 0.0;
  bool transportChanged = true;
  VstTimeInfo timeInfo{};
};

}  // namespace tovik::host
