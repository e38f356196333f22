// AudioEffect: the base of every plug-in object. It owns the plug-in record
// (AEffect) handed to the host, routes dispatcher opcodes 0 to 24 to virtual
// operations and wraps the host callback.
//
// Thread tags: [main-thread] calls come from the host's user-interface or
// control thread, [audio-thread] from its processing thread. Nothing here
// takes a lock; what the overrides guard is said where they are defined.
#pragma once

#include <atomic>

#include "frame/VstAbi.h"

class AEffEditor;

class AudioEffect {
 public:
  AudioEffect(audioMasterCallback audioMaster, VstInt32 numPrograms, VstInt32 numParams);
  virtual ~AudioEffect();

  virtual VstIntPtr dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt);

  virtual void open() {}
  virtual void close() {}
  virtual void suspend() {}
  virtual void resume() {}
  virtual void setSampleRate(float newSampleRate) {
    sampleRate.store(newSampleRate, std::memory_order_relaxed);
  }
  virtual void setBlockSize(VstInt32 newBlockSize) {
    blockSize.store(newBlockSize, std::memory_order_relaxed);
  }
  virtual void processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) = 0;
  virtual void processDoubleReplacing(double** inputs, double** outputs, VstInt32 sampleFrames) {}
  virtual void setParameter(VstInt32 index, float value) {}
  virtual float getParameter(VstInt32 index) { return 0; }
  virtual void setParameterAutomated(VstInt32 index, float value);
  virtual VstInt32 getProgram() { return curProgram; }
  virtual void setProgram(VstInt32 program) { curProgram = program; }
  virtual void setProgramName(char* name) {}
  virtual void getProgramName(char* name);
  virtual void getParameterLabel(VstInt32 index, char* label);
  virtual void getParameterDisplay(VstInt32 index, char* text);
  virtual void getParameterName(VstInt32 index, char* text);
  virtual VstInt32 getChunk(void** data, bool isPreset) { return 0; }
  virtual VstInt32 setChunk(void* data, VstInt32 byteSize, bool isPreset) { return 0; }
  virtual void setUniqueID(VstInt32 iD) { cEffect.uniqueID = iD; }
  virtual void setNumInputs(VstInt32 inputs) { cEffect.numInputs = inputs; }
  virtual void setNumOutputs(VstInt32 outputs) { cEffect.numOutputs = outputs; }
  virtual void canProcessReplacing(bool state) { setFlag(effFlagsCanReplacing, state); }
  virtual void canDoubleReplacing(bool state) { setFlag(effFlagsCanDoubleReplacing, state); }
  virtual void programsAreChunks(bool state) { setFlag(effFlagsProgramChunks, state); }
  virtual void setInitialDelay(VstInt32 delay) { cEffect.initialDelay = delay; }
  virtual AEffEditor* getEditor() { return editor; }
  virtual AEffect* getAeffect() { return &cEffect; }
  // [any-thread] A handshake on another thread reads them while the host sets them.
  virtual float getSampleRate() { return sampleRate.load(std::memory_order_relaxed); }
  virtual VstInt32 getBlockSize() { return blockSize.load(std::memory_order_relaxed); }
  virtual VstInt32 getMasterVersion();
  virtual VstInt32 getCurrentUniqueId();
  virtual void masterIdle();
  virtual void dB2string(float value, char* text, VstInt32 maxLen);
  virtual void Hz2string(float samples, char* text, VstInt32 maxLen);
  virtual void ms2string(float samples, char* text, VstInt32 maxLen);
  virtual void float2string(float value, char* text, VstInt32 maxLen);
  virtual void int2string(VstInt32 value, char* text, VstInt32 maxLen);
  virtual void process(float** inputs, float** outputs, VstInt32 sampleFrames) {}
  virtual float getVu() { return 0; }
  virtual void hasVu(bool state) { setFlag(effFlagsHasVu, state); }
  virtual void hasClip(bool state) { setFlag(effFlagsHasClip, state); }
  virtual void canMono(bool state) { setFlag(effFlagsCanMono, state); }
  virtual void setRealtimeQualities(VstInt32 qualities) { cEffect.realQualities = qualities; }
  virtual void setOfflineQualities(VstInt32 qualities) { cEffect.offQualities = qualities; }
  virtual bool isInputConnected(VstInt32 input);
  virtual bool isOutputConnected(VstInt32 output);

  // Static functions stored in the plug-in record. No exception leaves them:
  // one that reaches them is caught and the host gets a safe answer (0, or
  // outputs left as they are).
  static VstIntPtr VSTCALLBACK dispatchEffect(AEffect* e, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                              void* ptr, float opt) noexcept;
  static void VSTCALLBACK processTrampoline(AEffect* e, float** inputs, float** outputs,
                                            VstInt32 frames) noexcept;
  static void VSTCALLBACK processReplacingTrampoline(AEffect* e, float** inputs, float** outputs,
                                                     VstInt32 frames) noexcept;
  static void VSTCALLBACK processDoubleReplacingTrampoline(AEffect* e, double** inputs, double** outputs,
                                                           VstInt32 frames) noexcept;
  static void VSTCALLBACK setParameterTrampoline(AEffect* e, VstInt32 index, float value) noexcept;
  static float VSTCALLBACK getParameterTrampoline(AEffect* e, VstInt32 index) noexcept;

 protected:
  void setFlag(VstInt32 flag, bool state);
  bool hasFlag(VstInt32 flag) const {
    return (__atomic_load_n(&cEffect.flags, __ATOMIC_RELAXED) & flag) != 0;
  }
  VstIntPtr callHost(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                     float opt = 0.0f);

  audioMasterCallback audioMaster;
  AEffEditor* editor = nullptr;
  // Set by the host's main thread, read by a handshake that a process call or
  // an idle call makes: one atomic access each, no order with other memory.
  std::atomic<float> sampleRate{44100.0f};
  std::atomic<VstInt32> blockSize{1024};
  VstInt32 numPrograms;
  VstInt32 numParams;
  VstInt32 curProgram = 0;
  AEffect cEffect;
};

// Text helpers shared by the formatting operations: write text cut to maxLen
// characters, always terminated at text[maxLen] or earlier.
void vst_strncpy(char* dst, const char* src, VstInt32 maxLen);
