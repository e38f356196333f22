// A deliberately faulty VST 2.4 plug-in for tovik-slave's tests, written on
// the project's own VST 2.4 definitions. One input, one output; the input
// passes through. Parameters (0..1):
//   0 "crash_after"  after round(1000 x value) blocks the next one crashes
//                    (a write through a null pointer); 0: never
//   1 "hang_after"   after round(1000 x value) blocks the next one never ends
//   2 "show_time"    from 0.5: the output is the sample position the host's
//                    time answer gives for each frame (samplePos + frame)
// The MIDI it gets through effProcessEvents goes back through
// audioMasterProcessEvents in the same block, notes a fifth up (status and
// velocity kept); SysEx goes back as it came. Its initialDelay is 17. With
// TOVIK_FAULTY_VST_CRASH_ON_LOAD set in the environment it aborts as soon
// as it is loaded; with TOVIK_FAULTY_VST_HANG_ON_LOAD its entry point never
// returns; with TOVIK_FAULTY_VST_HANG_AT_RATE=R, effSetSampleRate with the
// rate R never returns; with TOVIK_FAULTY_VST_HANG_ON_RESUME, effMainsChanged
// turning it on never returns; with TOVIK_FAULTY_VST_HANG_HOLDING_STDERR, the
// hang of "hang_after" holds the stdio lock of the standard error stream.
#include <signal.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame/VstAbi.h"

namespace {

constexpr int kParams = 3;
constexpr int kMostEvents = 64;
constexpr int kSysexBytes = 4096;

struct Faulty {
  AEffect effect{};
  audioMasterCallback host = nullptr;
  float params[kParams] = {0.0f, 0.0f, 0.0f};
  long blocks = 0;
  // What arrived through effProcessEvents for the next block.
  VstMidiEvent midi[kMostEvents]{};
  VstMidiSysexEvent sysex[kMostEvents]{};
  char sysexBytes[kSysexBytes]{};
  VstEvent* pending[kMostEvents]{};
  int count = 0;
};

Faulty* Of(AEffect* effect) {
  return static_cast<Faulty*>(effect->object);
}

long Count(float value) {
  return std::lround(double{value} * 1000.0);
}

[[noreturn]] void HangForever() {
  for (;;) {
    timespec second{1, 0};
    nanosleep(&second, nullptr);
  }
}

void Copy(void* ptr, const char* text) {
  std::strncpy(static_cast<char*>(ptr), text, 32);
  static_cast<char*>(ptr)[31] = '\0';
}

VstIntPtr VSTCALLBACK Dispatch(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                               float opt) {
  Faulty* self = Of(effect);
  static const char* const kNames[kParams] = {"crash_after", "hang_after", "show_time"};
  switch (opcode) {
    case effClose:
      delete self;
      return 1;
    case effSetSampleRate: {
      const char* rate = std::getenv("TOVIK_FAULTY_VST_HANG_AT_RATE");
      if (rate != nullptr && std::atof(rate) == double{opt}) HangForever();
      return 0;
    }
    case effMainsChanged:
      if (value != 0 && std::getenv("TOVIK_FAULTY_VST_HANG_ON_RESUME") != nullptr) HangForever();
      return 0;
    case effGetParamName:
      if (index >= 0 && index < kParams) Copy(ptr, kNames[index]);
      return 0;
    case effGetEffectName:
      Copy(ptr, "Tovik Faulty VST");
      return 1;
    case effGetProductString:
      Copy(ptr, "Tovik Faulty VST");
      return 1;
    case effCanDo: {
      const char* what = static_cast<const char*>(ptr);
      if (what == nullptr) return 0;
      if (std::strcmp(what, "receiveVstMidiEvent") == 0 || std::strcmp(what, "receiveVstEvents") == 0 ||
          std::strcmp(what, "sendVstMidiEvent") == 0 || std::strcmp(what, "sendVstEvents") == 0) {
        return 1;
      }
      return -1;
    }
    case effProcessEvents: {
      const auto* events = static_cast<const VstEvents*>(ptr);
      int used = 0;
      for (VstInt32 i = 0; events != nullptr && i < events->numEvents && self->count < kMostEvents; ++i) {
        const VstEvent* event = events->events[i];
        const int at = self->count;
        if (event->type == kVstMidiType) {
          VstMidiEvent midi;
          std::memcpy(&midi, event, sizeof midi);
          if ((midi.midiData[0] & 0xE0) == 0x80) midi.midiData[1] = static_cast<char>(midi.midiData[1] + 7);
          self->midi[at] = midi;
          self->pending[self->count++] = reinterpret_cast<VstEvent*>(&self->midi[at]);
        } else if (event->type == kVstSysExType) {
          const auto* sysex = reinterpret_cast<const VstMidiSysexEvent*>(event);
          if (sysex->dumpBytes <= 0 || sysex->dumpBytes > kSysexBytes - used) continue;
          std::memcpy(self->sysexBytes + used, sysex->sysexDump, static_cast<size_t>(sysex->dumpBytes));
          self->sysex[at] = *sysex;
          self->sysex[at].sysexDump = self->sysexBytes + used;
          used += sysex->dumpBytes;
          self->pending[self->count++] = reinterpret_cast<VstEvent*>(&self->sysex[at]);
        }
      }
      return 1;
    }
    default:
      return 0;
  }
}

void VSTCALLBACK Process(AEffect* effect, float** inputs, float** outputs, VstInt32 frames) {
  Faulty* self = Of(effect);
  const long crash = Count(self->params[0]);
  const long hang = Count(self->params[1]);
  if (crash > 0 && self->blocks >= crash) {
    raise(SIGSEGV);  // a segfault, without undefined behaviour the sanitizers would report first
  }
  if (hang > 0 && self->blocks >= hang) {
    // Hangs holding the lock of the standard error stream the slave logs to.
    if (std::getenv("TOVIK_FAULTY_VST_HANG_HOLDING_STDERR") != nullptr) flockfile(stderr);
    HangForever();
  }
  ++self->blocks;
  if (self->params[2] >= 0.5f) {
    const auto* time =
        reinterpret_cast<const VstTimeInfo*>(self->host(effect, audioMasterGetTime, 0, 0, nullptr, 0));
    const double position = time != nullptr ? time->samplePos : -1.0;
    for (VstInt32 i = 0; i < frames; ++i) outputs[0][i] = static_cast<float>(position + i);
  } else {
    for (VstInt32 i = 0; i < frames; ++i) outputs[0][i] = inputs[0][i];
  }
  if (self->count > 0) {
    struct {
      VstInt32 numEvents;
      VstIntPtr reserved;
      VstEvent* events[kMostEvents];
    } list{};
    list.numEvents = self->count;
    for (int i = 0; i < self->count; ++i) list.events[i] = self->pending[i];
    self->host(effect, audioMasterProcessEvents, 0, 0, &list, 0);
    self->count = 0;
  }
}

void VSTCALLBACK SetParameter(AEffect* effect, VstInt32 index, float value) {
  if (index >= 0 && index < kParams) Of(effect)->params[index] = value;
}

float VSTCALLBACK GetParameter(AEffect* effect, VstInt32 index) {
  return index >= 0 && index < kParams ? Of(effect)->params[index] : 0.0f;
}

}  // namespace

extern "C" VST_EXPORT AEffect* VSTPluginMain(audioMasterCallback host) {
  // For the plug-in lists: a plug-in that crashes as soon as it is loaded.
  if (std::getenv("TOVIK_FAULTY_VST_CRASH_ON_LOAD") != nullptr) std::abort();
  if (std::getenv("TOVIK_FAULTY_VST_HANG_ON_LOAD") != nullptr) HangForever();
  if (host == nullptr || host(nullptr, audioMasterVersion, 0, 0, nullptr, 0) == 0) return nullptr;
  auto* self = new Faulty;
  self->host = host;
  AEffect& effect = self->effect;
  effect.magic = kEffectMagic;
  effect.dispatcher = Dispatch;
  effect.setParameter = SetParameter;
  effect.getParameter = GetParameter;
  effect.numParams = kParams;
  effect.numInputs = 1;
  effect.numOutputs = 1;
  effect.flags = effFlagsCanReplacing;
  effect.initialDelay = 17;
  effect.object = self;
  effect.uniqueID = FourCC('T', 'v', 'F', 'v');
  effect.version = 1;
  effect.processReplacing = Process;
  return &effect;
}
