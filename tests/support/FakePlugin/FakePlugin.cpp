// A stand-in relay plug-in for testing tovik-host: it behaves towards its host
// as the relay does (settings chunk with the relay's keys, activation after the
// host's idle calls, nothing written to the outputs until then, asynchronous
// answers through effGetCurrentPosition), but "relays" in-process: each output
// is its input quantised at the wire precision, times a gain, quantised again.
//
// Settings chunk keys beside the relay's: "Gain=" (dB), "Warmup=" (process
// calls after the first idle call before the connection is active), "Answer="
// (0: never answers), "Events=" (1: one MIDI event to the host per answered
// block), "AsyncPolls=" (position queries that report 0 before an answer),
// "Stop=" (after that many answers, blocks go out but no answer comes back;
// 0: never stops), "Hang=" (1: the first answered process call sleeps 60 s,
// a plug-in that seems to hang).
//
// Built twice: FakePlugin exports VSTPluginMain and main; FakePluginMainOnly
// (FAKE_ONLY_MAIN) exports main alone.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "frame/VstAbi.h"
#include "link/TransferBlock.h"

namespace {

const char* const kPrecisionNames[] = {"8bit unsigned char", "16bit signed int", "24bit imprecise float",
                                       "32bit float"};

float Quantise(float x, int precision) {
  switch (precision) {
    case 1: {
      float v = std::fmax(-1.0f, std::fmin(1.0f, x)) * 127.0f;
      return static_cast<float>(std::lround(v)) * (1.0f / 127.0f);
    }
    case 2: {
      float v = std::fmax(-1.0f, std::fmin(1.0f, x)) * 32767.0f;
      return static_cast<float>(std::lround(v)) * (1.0f / 32767.0f);
    }
    case 3: {
      uint32_t bits;
      std::memcpy(&bits, &x, 4);
      bits &= 0xFFFFFF00u;
      std::memcpy(&x, &bits, 4);
      return x;
    }
    default:
      return x;
  }
}

struct Fake {
  AEffect effect;
  audioMasterCallback host = nullptr;
  bool hostAsync = false;
  bool hostAcceptsIo = false;

  std::string hostName = "localhost";
  int port = 19284;
  bool synch = true;
  int precision = 4;
  double gainDb = 0.0;
  int warmup = 2;
  bool answer = true;
  bool events = false;
  int asyncPolls = 1;
  int stopAfter = 0;
  bool hang = false;
  int answeredBlocks = 0;
  int numInputs = 2, numOutputs = 2;
  int requestedInputs = 2, requestedOutputs = 2;
  bool ioPending = false;

  std::atomic<bool> idleSeen{false};
  int activationCalls = 0;
  bool connected = false;

  std::vector<float> reply[kMaxChannels];
  float* pendingOutputs[kMaxChannels] = {};
  int pendingFrames = 0;
  int polls = 0;
  bool pending = false;
  bool replyTaken = false;

  std::string chunkText;

  VstIntPtr Host(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr) {
    return host != nullptr ? host(&effect, opcode, index, value, ptr, 0.0f) : 0;
  }

  void UpdateFlags() {
    effect.flags = effFlagsCanReplacing | effFlagsProgramChunks | (synch ? 0 : effFlagsExtIsAsync);
    effect.numInputs = numInputs;
    effect.numOutputs = numOutputs;
  }

  void Resume() {
    connected = false;
    activationCalls = 0;
    answeredBlocks = 0;
    idleSeen.store(false);
    pending = false;
    replyTaken = false;
    Host(audioMasterWantMidi, 0, 1);
    Host(audioMasterNeedIdle);
    UpdateFlags();
  }

  void Suspend() {
    if (ioPending) {
      numInputs = requestedInputs;
      numOutputs = requestedOutputs;
      ioPending = false;
      UpdateFlags();
    }
  }

  void BuildChunk() {
    char text[512];
    std::snprintf(text, sizeof(text),
                  "Host=%s\nPort=%d\nSynch=%d\nAudioPrec=%d\nGain=%g\n"
                  "Warmup=%d\nAnswer=%d\nEvents=%d\nAsyncPolls=%d\nStop=%d\nHang=%d",
                  hostName.c_str(), port, synch ? 1 : 0, precision, gainDb, warmup, answer ? 1 : 0,
                  events ? 1 : 0, asyncPolls, stopAfter, hang ? 1 : 0);
    chunkText = text;
    if (hostAcceptsIo) {
      std::snprintf(text, sizeof(text), "\nNumInputs=%d\nNumOutputs=%d", numInputs, numOutputs);
      chunkText += text;
    }
  }

  void ApplyLine(const std::string& key, const std::string& value) {
    int n = std::atoi(value.c_str());
    if (key == "host") hostName = value;
    if (key == "port") port = n;
    if (key == "synch" && hostAsync) synch = n != 0;
    if (key == "audioprec") precision = n < 1 ? 1 : (n > 4 ? 4 : n);
    if (key == "gain") gainDb = std::atof(value.c_str());
    if (key == "warmup") warmup = n;
    if (key == "answer") answer = n != 0;
    if (key == "events") events = n != 0;
    if (key == "asyncpolls") asyncPolls = n;
    if (key == "stop") stopAfter = n;
    if (key == "hang") hang = n != 0;
    if ((key == "numinputs" || key == "numoutputs") && hostAcceptsIo) {
      int count = n < 1 ? 1 : (n > kMaxChannels ? kMaxChannels : n);
      int& requested = key == "numinputs" ? requestedInputs : requestedOutputs;
      if (count != requested) {
        requested = count;
        ioPending = true;
        Host(audioMasterIOChanged);
      }
    }
  }

  void SetChunk(const char* data, VstIntPtr size) {
    std::string text(data, static_cast<size_t>(size));
    text = text.substr(0, text.find('\0'));
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      size_t eq = line.find('=');
      if (eq != std::string::npos) {
        std::string key = line.substr(0, eq);
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        ApplyLine(key, line.substr(eq + 1));
      }
      start = end + 1;
    }
    UpdateFlags();
  }

  void Process(float** inputs, float** outputs, int frames) {
    if (!connected) {
      // Like the relay: activation takes process calls, and they write nothing.
      if (idleSeen.load() && ++activationCalls >= warmup) connected = true;
      return;
    }
    if (!answer || frames <= 0) return;
    if (hang) std::this_thread::sleep_for(std::chrono::seconds(60));
    if (stopAfter > 0 && answeredBlocks >= stopAfter) {
      // Sent, but the answer never comes.
      pending = false;
      replyTaken = false;
      return;
    }
    ++answeredBlocks;
    Host(audioMasterGetTime, 0, kVstTempoValid | kVstPpqPosValid);
    const float gain = static_cast<float>(std::pow(10.0, gainDb / 20.0));
    for (int c = 0; c < numOutputs && c < kMaxChannels; ++c) {
      std::vector<float>& out = reply[c];
      out.assign(static_cast<size_t>(frames), 0.0f);
      const float* in = (c < numInputs && inputs != nullptr) ? inputs[c] : nullptr;
      for (int i = 0; i < frames; ++i) {
        float x = in != nullptr ? Quantise(in[i], precision) : 0.0f;
        out[static_cast<size_t>(i)] = Quantise(x * gain, precision);
      }
    }
    if (events) {
      VstMidiEvent note{};
      note.type = kVstMidiType;
      note.byteSize = sizeof(VstMidiEvent);
      note.midiData[0] = static_cast<char>(0x90);
      note.midiData[1] = 60;
      note.midiData[2] = 100;
      VstEvents list{};
      list.numEvents = 1;
      list.events[0] = reinterpret_cast<VstEvent*>(&note);
      Host(audioMasterProcessEvents, 0, 0, &list);
    }
    if (synch) {
      CopyReply(outputs, frames);
    } else {
      for (int c = 0; c < numOutputs && c < kMaxChannels; ++c)
        pendingOutputs[c] = outputs != nullptr ? outputs[c] : nullptr;
      pendingFrames = frames;
      polls = 0;
      pending = true;
      replyTaken = false;
    }
  }

  void CopyReply(float** outputs, int frames) {
    for (int c = 0; c < numOutputs && c < kMaxChannels; ++c)
      if (outputs != nullptr && outputs[c] != nullptr)
        std::memcpy(outputs[c], reply[c].data(), sizeof(float) * static_cast<size_t>(frames));
  }

  VstIntPtr Position() {
    if (replyTaken) return pendingFrames;
    if (!pending) return 0;
    if (polls++ < asyncPolls) return 0;
    CopyReply(pendingOutputs, pendingFrames);
    pending = false;
    replyTaken = true;
    return pendingFrames;
  }

  float Parameter(VstInt32 index) const {
    switch (index) {
      case 0:
        return synch ? 1.0f : 0.0f;
      case 1:
        return static_cast<float>(precision - 1) / 3.0f;
      case 2:
        return static_cast<float>((gainDb + 24.0) / 48.0);
      default:
        return 0.0f;
    }
  }

  void ParameterText(VstInt32 opcode, VstInt32 index, char* text) const {
    static const char* const kNames[] = {"Synch", "AudioPrec", "Gain"};
    if (index < 0 || index > 2) return;
    if (opcode == effGetParamName) std::strcpy(text, kNames[index]);
    if (opcode == effGetParamLabel) std::strcpy(text, index == 2 ? "dB" : "");
    if (opcode == effGetParamDisplay) {
      if (index == 0) std::strcpy(text, synch ? "On" : "Off");
      if (index == 1) std::strcpy(text, kPrecisionNames[precision - 1]);
      if (index == 2) std::snprintf(text, 9, "%.1f", gainDb);
    }
  }

  static bool Pin(VstInt32 index, int count, const char* word, void* ptr) {
    if (index < 0 || index >= count || ptr == nullptr) return false;
    VstPinProperties* pin = static_cast<VstPinProperties*>(ptr);
    std::snprintf(pin->label, sizeof(pin->label), "Fake %s %d", word, static_cast<int>(index) + 1);
    pin->flags = kVstPinIsActive | ((index % 2 == 0 && index + 1 < count) ? kVstPinIsStereo : 0);
    return true;
  }

  VstIntPtr Dispatch(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
    char* text = static_cast<char*>(ptr);
    switch (opcode) {
      case effMainsChanged:
        if (value != 0)
          Resume();
        else
          Suspend();
        return 0;
      case effIdle:
        idleSeen.store(true);
        return 1;
      case effGetCurrentPosition:
        return Position();
      case effGetChunk:
        BuildChunk();
        if (ptr != nullptr) *static_cast<void**>(ptr) = &chunkText[0];
        return static_cast<VstIntPtr>(chunkText.size() + 1);
      case effSetChunk:
        if (ptr == nullptr) return 0;
        SetChunk(static_cast<const char*>(ptr), value);
        return 1;
      case effGetParamName:
      case effGetParamLabel:
      case effGetParamDisplay:
        ParameterText(opcode, index, text);
        return 0;
      case effGetProgramName:
        std::strcpy(text, "Only");
        return 0;
      case effGetInputProperties:
        return Pin(index, numInputs, "In", ptr) ? 1 : 0;
      case effGetOutputProperties:
        return Pin(index, numOutputs, "Out", ptr) ? 1 : 0;
      case effGetPlugCategory:
        return kPlugCategEffect;
      case effGetEffectName:
        std::strcpy(text, "Fake Relay");
        return 1;
      case effGetVendorString:
        std::strcpy(text, "Kestrane Tests");
        return 1;
      case effGetProductString:
        std::strcpy(text, "Tovik Fake Plug-in");
        return 1;
      case effGetVendorVersion:
        return 4321;
      case effGetVstVersion:
        return kVstVersion;
      case effCanDo:
        return -1;
      default:
        return 0;
    }
  }
};

Fake* Of(AEffect* effect) {
  return static_cast<Fake*>(effect->object);
}

VstIntPtr VSTCALLBACK FakeDispatcher(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                     void* ptr, float opt) {
  Fake* fake = Of(effect);
  if (opcode == effClose) {
    delete fake;
    return 1;
  }
  return fake->Dispatch(opcode, index, value, ptr, opt);
}

void VSTCALLBACK FakeProcess(AEffect* effect, float** inputs, float** outputs, VstInt32 frames) {
  Of(effect)->Process(inputs, outputs, frames);
}

void VSTCALLBACK FakeSetParameter(AEffect*, VstInt32, float) {}

float VSTCALLBACK FakeGetParameter(AEffect* effect, VstInt32 index) {
  return Of(effect)->Parameter(index);
}

AEffect* CreateFake(audioMasterCallback host) {
  if (host == nullptr || host(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
  Fake* fake = new Fake;
  fake->host = host;
  fake->hostAsync = host(nullptr, audioMasterCanDo, 0, 0, const_cast<char*>("asyncProcessing"), 0.0f) > 0;
  fake->hostAcceptsIo = host(nullptr, audioMasterCanDo, 0, 0, const_cast<char*>("acceptIOChanges"), 0.0f) > 0;
  AEffect& e = fake->effect;
  std::memset(&e, 0, sizeof(e));
  e.magic = kEffectMagic;
  e.dispatcher = FakeDispatcher;
  e.process = FakeProcess;
  e.setParameter = FakeSetParameter;
  e.getParameter = FakeGetParameter;
  e.numPrograms = 1;
  e.numParams = 3;
  e.ioRatio = 1.0f;
  e.object = fake;
  e.uniqueID = FourCC('T', 'v', 'F', 'k');
  e.version = 7;
  e.processReplacing = FakeProcess;
  fake->UpdateFlags();
  return &e;
}

}  // namespace

// Exports: on Windows through FakePlugin.def / FakePluginMainOnly.def (MinGW
// cannot name a C++ function main); elsewhere by visibility, with the legacy
// name given through an assembler label.
#if defined(_WIN32)
#define FAKE_EXPORT extern "C"
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#if !defined(FAKE_ONLY_MAIN)
FAKE_EXPORT AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback host) {
  return CreateFake(host);
}
#endif

#if defined(_WIN32)
FAKE_EXPORT AEffect* VSTCALLBACK FakeLegacyMain(audioMasterCallback host) {
  return CreateFake(host);
}
#else
FAKE_EXPORT AEffect* FakeLegacyMain(audioMasterCallback host) __asm__("main");
AEffect* FakeLegacyMain(audioMasterCallback host) {
  return CreateFake(host);
}
#endif
