// A host callback for tests that run many blocks or many instances: it
// records nothing and allocates nothing, so it can be called from any
// thread, also while a test counts heap allocations. It answers version 2400,
// "receiveVstEvents", "receiveVstMidiEvent" and (when asyncAllowed) "asyncProcessing"
// with 1, hands out one time record, and counts the events it receives.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "frame/VstAbi.h"

namespace tovik::test {

struct QuietHost {
  static inline std::atomic<bool> asyncAllowed{true};
  // "acceptIOChanges" (seven parameters) and audioMasterIOChanged answered 1.
  static inline std::atomic<bool> ioChangesAccepted{false};
  static inline std::atomic<int64_t> eventsReceived{0};
  static inline std::atomic<int64_t> timeRequests{0};

  static audioMasterCallback Callback() { return &Dispatch; }

 private:
  static VstTimeInfo* Time() {
    static VstTimeInfo time = [] {
      VstTimeInfo t{};
      t.sampleRate = 48000.0;
      t.tempo = 120.0;
      t.flags = kVstTransportPlaying | kVstTempoValid;
      return t;
    }();
    return &time;
  }

  static bool Is(const void* text, const char* what) {
    return text && std::strcmp(static_cast<const char*>(text), what) == 0;
  }

  static VstIntPtr VSTCALLBACK Dispatch(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void* ptr, float) {
    switch (opcode) {
      case audioMasterVersion:
        return 2400;
      case audioMasterCanDo:
        if (Is(ptr, "receiveVstEvents") || Is(ptr, "receiveVstMidiEvent")) return 1;
        if (Is(ptr, "asyncProcessing")) return asyncAllowed ? 1 : 0;
        if (Is(ptr, "acceptIOChanges")) return ioChangesAccepted ? 1 : 0;
        return 0;
      case audioMasterIOChanged:
        return ioChangesAccepted ? 1 : 0;
      case audioMasterGetTime:
        ++timeRequests;
        return reinterpret_cast<VstIntPtr>(Time());
      case audioMasterProcessEvents:
        if (ptr) eventsReceived += static_cast<const VstEvents*>(ptr)->numEvents;
        return 1;
      default:
        return 0;
    }
  }
};

}  // namespace tovik::test
