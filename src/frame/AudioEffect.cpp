#include "frame/AudioEffect.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "frame/AEffEditor.h"

void vst_strncpy(char* dst, const char* src, VstInt32 maxLen) {
  if (!dst) return;
  if (maxLen < 0) maxLen = 0;
  VstInt32 i = 0;
  if (src) {
    for (; i < maxLen && src[i]; ++i) dst[i] = src[i];
  }
  dst[i] = 0;
}

AudioEffect::AudioEffect(audioMasterCallback audioMaster_, VstInt32 numPrograms_, VstInt32 numParams_)
    : audioMaster(audioMaster_), numPrograms(numPrograms_), numParams(numParams_) {
  std::memset(&cEffect, 0, sizeof(cEffect));
  cEffect.magic = kEffectMagic;
  cEffect.dispatcher = dispatchEffect;
  cEffect.process = processTrampoline;
  cEffect.setParameter = setParameterTrampoline;
  cEffect.getParameter = getParameterTrampoline;
  cEffect.numPrograms = numPrograms_;
  cEffect.numParams = numParams_;
  cEffect.numInputs = 1;
  cEffect.numOutputs = 2;
  cEffect.flags = effFlagsCanReplacing;
  cEffect.ioRatio = 1.0f;
  cEffect.object = this;
  cEffect.uniqueID = FourCC('N', 'o', 'E', 'f');
  cEffect.version = 1;
  cEffect.processReplacing = processReplacingTrampoline;
  cEffect.processDoubleReplacing = processDoubleReplacingTrampoline;
}

AudioEffect::~AudioEffect() {
  delete editor;
  editor = nullptr;
}

// One atomic read-modify-write: automation on the audio thread switches the
// asynchronous flag while resume on the main thread sets it too. The field
// lies in the host's record, so it stays a plain VstInt32 (GCC/Clang builtins).
void AudioEffect::setFlag(VstInt32 flag, bool state) {
  if (state)
    __atomic_fetch_or(&cEffect.flags, flag, __ATOMIC_RELAXED);
  else
    __atomic_fetch_and(&cEffect.flags, ~flag, __ATOMIC_RELAXED);
}

VstIntPtr AudioEffect::callHost(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
  if (!audioMaster) return 0;
  return audioMaster(&cEffect, opcode, index, value, ptr, opt);
}

// [main-thread] except where the opcode says otherwise; see docs/threading.md.
VstIntPtr AudioEffect::dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
  switch (opcode) {
    case effOpen:
      open();
      return 0;
    case effClose:
      close();
      return 0;
    case effSetProgram:
      if (value < numPrograms) setProgram(static_cast<VstInt32>(value));
      return 0;
    case effGetProgram:
      return getProgram();
    case effSetProgramName:
      setProgramName(static_cast<char*>(ptr));
      return 0;
    case effGetProgramName:
      getProgramName(static_cast<char*>(ptr));
      return 0;
    case effGetParamLabel:
      getParameterLabel(index, static_cast<char*>(ptr));
      return 0;
    case effGetParamDisplay:
      getParameterDisplay(index, static_cast<char*>(ptr));
      return 0;
    case effGetParamName:
      getParameterName(index, static_cast<char*>(ptr));
      return 0;
    case effGetVu: {
      const float vu = getVu() * 32767.0f;
      // Out-of-range values would make the conversion undefined.
      if (!(std::fabs(vu) < 2147483647.0f)) return 0;
      return static_cast<VstIntPtr>(static_cast<VstInt32>(vu));
    }
    case effSetSampleRate:
      setSampleRate(opt);
      return 0;
    case effSetBlockSize:
      setBlockSize(static_cast<VstInt32>(value));
      return 0;
    case effMainsChanged:
      if (value == 0)
        suspend();
      else
        resume();
      return 0;
    case effEditGetRect:
      return editor && editor->getRect(static_cast<ERect**>(ptr)) ? 1 : 0;
    case effEditOpen:
      return editor && editor->open(ptr) ? 1 : 0;
    case effEditClose:
      if (editor) editor->close();
      return 0;
    case effEditIdle:
      if (editor) editor->idle();
      return 0;
    case effIdentify:
      return FourCC('N', 'v', 'E', 'f');
    case effGetChunk:
      return getChunk(static_cast<void**>(ptr), index != 0);
    case effSetChunk:
      return setChunk(ptr, static_cast<VstInt32>(value), index != 0);
    default:
      return 0;
  }
}

// --- Static functions of the plug-in record -----------------------------------

static AudioEffect* objectOf(AEffect* e) { return e ? static_cast<AudioEffect*>(e->object) : nullptr; }

// An exception must not unwind into the host, whose frames know nothing of
// it: whatever reaches these functions ends here.
VstIntPtr VSTCALLBACK AudioEffect::dispatchEffect(AEffect* e, VstInt32 opcode, VstInt32 index,
                                                  VstIntPtr value, void* ptr, float opt) noexcept {
  AudioEffect* effect = objectOf(e);
  if (!effect) return 0;
  if (opcode == effClose) {
    try {
      effect->dispatcher(opcode, index, value, ptr, opt);
    } catch (...) {
      // The host ends the instance whatever happened in close.
    }
    delete effect;  // the record lives inside the object: gone from here on
    return 1;
  }
  try {
    return effect->dispatcher(opcode, index, value, ptr, opt);
  } catch (...) {
    return 0;
  }
}

void VSTCALLBACK AudioEffect::processTrampoline(AEffect* e, float** inputs, float** outputs,
                                                VstInt32 frames) noexcept {
  try {
    if (AudioEffect* effect = objectOf(e)) effect->process(inputs, outputs, frames);
  } catch (...) {
  }
}

void VSTCALLBACK AudioEffect::processReplacingTrampoline(AEffect* e, float** inputs, float** outputs,
                                                         VstInt32 frames) noexcept {
  try {
    if (AudioEffect* effect = objectOf(e)) effect->processReplacing(inputs, outputs, frames);
  } catch (...) {
  }
}

void VSTCALLBACK AudioEffect::processDoubleReplacingTrampoline(AEffect* e, double** inputs, double** outputs,
                                                               VstInt32 frames) noexcept {
  try {
    if (AudioEffect* effect = objectOf(e)) effect->processDoubleReplacing(inputs, outputs, frames);
  } catch (...) {
  }
}

void VSTCALLBACK AudioEffect::setParameterTrampoline(AEffect* e, VstInt32 index, float value) noexcept {
  try {
    if (AudioEffect* effect = objectOf(e)) effect->setParameter(index, value);
  } catch (...) {
  }
}

float VSTCALLBACK AudioEffect::getParameterTrampoline(AEffect* e, VstInt32 index) noexcept {
  try {
    AudioEffect* effect = objectOf(e);
    return effect ? effect->getParameter(index) : 0.0f;
  } catch (...) {
    return 0.0f;
  }
}

// --- Defaults and host calls -------------------------------------------------------

void AudioEffect::getProgramName(char* name) {
  if (name) name[0] = 0;
}
void AudioEffect::getParameterLabel(VstInt32, char* label) {
  if (label) label[0] = 0;
}
void AudioEffect::getParameterDisplay(VstInt32, char* text) {
  if (text) text[0] = 0;
}
void AudioEffect::getParameterName(VstInt32, char* text) {
  if (text) text[0] = 0;
}

void AudioEffect::setParameterAutomated(VstInt32 index, float value) {
  setParameter(index, value);
  callHost(audioMasterAutomate, index, 0, nullptr, value);
}

VstInt32 AudioEffect::getMasterVersion() {
  const VstInt32 version = static_cast<VstInt32>(callHost(audioMasterVersion));
  return version ? version : 1;
}

VstInt32 AudioEffect::getCurrentUniqueId() { return static_cast<VstInt32>(callHost(audioMasterCurrentId)); }

void AudioEffect::masterIdle() { callHost(audioMasterIdle); }

bool AudioEffect::isInputConnected(VstInt32 input) {
  if (!audioMaster) return true;
  return static_cast<VstInt32>(callHost(audioMasterPinConnected, input, 0)) == 0;
}

bool AudioEffect::isOutputConnected(VstInt32 output) {
  if (!audioMaster) return true;
  return static_cast<VstInt32>(callHost(audioMasterPinConnected, output, 1)) == 0;
}

// --- Text formatting -------------------------------------------------------------------

void AudioEffect::int2string(VstInt32 value, char* text, VstInt32 maxLen) {
  if (!text) return;
  if (value >= 100000000 || value < -999999999) {
    vst_strncpy(text, "Huge!", maxLen);
    return;
  }
  char buffer[16];
  int n = 0;
  int64_t magnitude = value;
  if (magnitude < 0) {
    buffer[n++] = '-';
    magnitude = -magnitude;
  }
  bool started = false;
  for (int64_t place = 100000000; place >= 1; place /= 10) {
    int64_t digit = magnitude / place;
    if (digit > 9) digit = 9;  // magnitudes past 999999999 never get here
    magnitude -= digit * place;
    if (digit || started) {
      buffer[n++] = static_cast<char>('0' + digit);
      started = true;
    }
  }
  if (!started) buffer[n++] = '0';
  buffer[n] = 0;
  vst_strncpy(text, buffer, maxLen);
}

void AudioEffect::float2string(float value, char* text, VstInt32 maxLen) {
  if (!text) return;
  const double v = value;
  if ((v < 0 && -v > 9999999.0) || (v >= 0 && v > 99999999.0) || std::isnan(v)) {
    vst_strncpy(text, "Huge!", maxLen);
    return;
  }
  constexpr int kField = 8;
  char buffer[kField + 2];
  int used = 0;
  const bool negative = v < 0;
  const double magnitude = negative ? -v : v;
  double integer = std::floor(magnitude);
  const double fraction = magnitude - integer;

  // Integer digits, lowest first, while the field has room for them and the point.
  char digits[kField];
  int numDigits = 0;
  const int room = kField - (negative ? 1 : 0) - 1;
  do {
    digits[numDigits++] = static_cast<char>('0' + static_cast<int>(std::fmod(integer, 10.0)));
    integer = std::floor(integer / 10.0);
  } while (integer >= 1.0 && numDigits < room);

  if (negative) buffer[used++] = '-';
  while (numDigits > 0) buffer[used++] = digits[--numDigits];
  buffer[used++] = '.';

  const int freePlaces = kField - used;
  if (freePlaces > 0) {
    const auto scaled = static_cast<int64_t>(fraction * std::pow(10.0, freePlaces));
    int64_t divisor = 1;
    for (int i = 1; i < freePlaces; ++i) divisor *= 10;
    for (int i = 0; i < freePlaces; ++i) {
      buffer[used++] = static_cast<char>('0' + static_cast<int>((scaled / divisor) % 10));
      divisor /= 10;
    }
  }
  buffer[used] = 0;
  vst_strncpy(text, buffer, maxLen);
}

void AudioEffect::dB2string(float value, char* text, VstInt32 maxLen) {
  if (value <= 0)
    vst_strncpy(text, "-oo", maxLen);
  else
    float2string(static_cast<float>(20.0 * std::log10(value)), text, maxLen);
}

void AudioEffect::Hz2string(float samples, char* text, VstInt32 maxLen) {
  float2string(samples != 0 ? getSampleRate() / samples : 0.0f, text, maxLen);
}

void AudioEffect::ms2string(float samples, char* text, VstInt32 maxLen) {
  float2string(samples * 1000.0f / getSampleRate(), text, maxLen);
}
