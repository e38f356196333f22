#include "HostServices.h"

#include <cmath>
#include <cstring>

namespace tovik::host {
namespace {

std::atomic<CHostServices*> currentHost{nullptr};

constexpr double kTempo = 120.0;
constexpr VstInt32 kProcessLevelUser = 1;
constexpr VstInt32 kProcessLevelRealtime = 2;
constexpr VstInt32 kAutomationOff = 1;
constexpr VstInt32 kLanguageEnglish = 1;

const char* const kCapabilities[] = {
    "sendVstEvents",    "sendVstMidiEvent",    "sendVstTimeInfo",
    "receiveVstEvents", "receiveVstMidiEvent", "asyncProcessing",
    "acceptIOChanges",  "startStopProcess",    nullptr,
};

void CopyText(void* ptr, const char* text, size_t room) {
  if (ptr == nullptr) return;
  std::strncpy(static_cast<char*>(ptr), text, room - 1);
  static_cast<char*>(ptr)[room - 1] = '\0';
}

}  // namespace

CHostServices::CHostServices() {
  currentHost.store(this);
}

CHostServices::~CHostServices() {
  CHostServices* self = this;
  currentHost.compare_exchange_strong(self, nullptr);
}

const char* const* CHostServices::Capabilities() {
  return kCapabilities;
}

void CHostServices::StartTransport() {
  samplePos = 0.0;
  transportChanged = true;
}

void CHostServices::AdvanceTransport(int frames) {
  samplePos += frames;
}

VstTimeInfo* CHostServices::FillTime() {
  const double rate = sampleRate;
  const double ppq = samplePos / rate * (kTempo / 60.0);
  std::memset(&timeInfo, 0, sizeof(timeInfo));
  timeInfo.samplePos = samplePos;
  timeInfo.sampleRate = rate;
  timeInfo.nanoSeconds = samplePos / rate * 1e9;
  timeInfo.ppqPos = ppq;
  timeInfo.tempo = kTempo;
  timeInfo.barStartPos = std::floor(ppq / 4.0) * 4.0;  // 4/4: a bar is four quarter notes
  timeInfo.timeSigNumerator = 4;
  timeInfo.timeSigDenominator = 4;
  timeInfo.flags = kVstTransportPlaying | kVstNanosValid | kVstPpqPosValid | kVstTempoValid | kVstBarsValid |
                   kVstTimeSigValid | (transportChanged ? kVstTransportChanged : 0);
  transportChanged = false;
  return &timeInfo;
}

VstIntPtr VSTCALLBACK CHostServices::Callback(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                              VstIntPtr value, void* ptr, float opt) {
  CHostServices* host = currentHost.load();
  if (host == nullptr) return opcode == audioMasterVersion ? kVstVersion : 0;
  return host->Dispatch(opcode, index, value, ptr, opt);
}

VstIntPtr CHostServices::Dispatch(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
  switch (opcode) {
    case audioMasterVersion:
      return kVstVersion;
    case audioMasterCurrentId:
      return 0;
    case audioMasterIdle:
      return 1;
    case audioMasterWantMidi:
      wantMidi.store(true);
      return 1;
    case audioMasterGetTime:
      timeRequests.fetch_add(1);
      return reinterpret_cast<VstIntPtr>(FillTime());
    case audioMasterProcessEvents: {
      const VstEvents* events = static_cast<const VstEvents*>(ptr);
      if (events == nullptr) return 0;
      eventListsReceived.fetch_add(1);
      if (events->numEvents > 0) eventsReceived.fetch_add(events->numEvents);
      for (VstInt32 i = 0; i < events->numEvents; ++i) {
        const VstEvent* event = events->events[i];
        const size_t at = logged.load();
        if (event == nullptr || at >= kEventLogSize) continue;
        ReceivedEvent& noted = eventLog[at];
        noted.block = block.load();
        noted.type = event->type;
        noted.deltaFrames = event->deltaFrames;
        if (event->type == kVstMidiType)
          std::memcpy(noted.midi, reinterpret_cast<const VstMidiEvent*>(event)->midiData, 4);
        logged.store(at + 1);
      }
      return 1;
    }
    case audioMasterIOChanged:
      // Accepted: the relay re-reads the pin counts after the next suspend.
      ioChanged.store(true);
      return 1;
    case audioMasterNeedIdle:
      needIdle.store(true);
      return 1;
    case audioMasterGetSampleRate:
      return static_cast<VstIntPtr>(sampleRate);
    case audioMasterGetBlockSize:
      return blockSize;
    case audioMasterGetInputLatency:
    case audioMasterGetOutputLatency:
      return 0;
    case audioMasterWillReplaceOrAccumulate:
      return 1;  // replace
    case audioMasterGetCurrentProcessLevel:
      return processing.load() ? kProcessLevelRealtime : kProcessLevelUser;
    case audioMasterGetAutomationState:
      return kAutomationOff;
    case audioMasterGetVendorString:
      CopyText(ptr, "Kestrane", 64);
      return 1;
    case audioMasterGetProductString:
      CopyText(ptr, "tovik-host", 64);
      return 1;
    case audioMasterGetVendorVersion:
      return 1008;
    case audioMasterGetLanguage:
      return kLanguageEnglish;
    case audioMasterCanDo: {
      const char* text = static_cast<const char*>(ptr);
      if (text == nullptr) return 0;
      for (const char* const* cap = kCapabilities; *cap != nullptr; ++cap)
        if (std::strcmp(text, *cap) == 0) return 1;
      return 0;
    }
    case audioMasterAutomate:
    case audioMasterBeginEdit:
    case audioMasterEndEdit:
    case audioMasterUpdateDisplay:
      return 1;
    default:
      return 0;
  }
}

}  // namespace tovik::host
