// CTovik: construction, settings, parameters, settings chunk, pins, identity.
#include "relay/Tovik.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "formats/WireFormat.h"
#include "relay/BuildConstants.h"
#include "relay/Factory.h"
#include "relay/WaitDlg.h"

namespace {

constexpr const char* kParameterNames[7] = {"Synch",  "CfgDlg",  "TrmSlave", "AudioPrec",
                                            "Inputs", "Outputs", "StereoPn"};

bool EqualsIgnoreCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
      return false;
  }
  return *a == *b;
}

// Reads a leading decimal integer like "%d" (leading blanks and a sign allowed)
// without undefined behaviour: values beyond 32 bits saturate.
bool ReadInteger(const char* text, VstInt32* out) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') return false;
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value < 4294967296LL) value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  if (value > 2147483647LL) value = 2147483647LL;
  if (value < -2147483647LL - 1) value = -2147483647LL - 1;
  *out = static_cast<VstInt32>(value);
  return true;
}

// strtol-style reading of the bytes [p, end): no digits give 0.
VstInt32 ReadLong(const char* p, const char* end) {
  while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\v' || *p == '\f')) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  int64_t value = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    if (value < 4294967296LL) value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  if (value > 2147483647LL) value = 2147483647LL;
  if (value < -2147483647LL - 1) value = -2147483647LL - 1;
  return static_cast<VstInt32>(value);
}

// trunc(x) for the stepped parameters, kept inside the int32 range so that
// no host value (NaN aside, which callers skip) converts undefined.
VstInt32 Truncate(float x) {
  if (x > 1.0e6f) return 1000000;
  if (x < -1.0e6f) return -1000000;
  return static_cast<VstInt32>(x);
}

VstInt32 Clamp(VstInt32 v, VstInt32 lo, VstInt32 hi) { return v < lo ? lo : (v > hi ? hi : v); }

// Records one requested input/output value and tells the host. The request is
// pending before the host hears of it: some hosts suspend the plug-in and read
// the new counts while they answer audioMasterIOChanged. When the host refuses
// (answers 0) and has not applied the change meanwhile, the request is undone.
template <typename T, typename TellHost>
bool RequestChange(T& requested, T value, bool& pending, TellHost tellHost) {
  const T previous = requested;
  const bool wasPending = pending;
  requested = value;
  pending = true;
  if (tellHost() || !pending) return true;
  requested = previous;
  pending = wasPending;
  return false;
}

void PinLabel(VstPinProperties* properties, VstInt32 index, VstInt32 count, bool stereo, const char* word) {
  properties->flags = kVstPinIsActive;
  if (stereo && ((index & 1) || index < count - 1)) {
    std::snprintf(properties->label, sizeof(properties->label), "%s %d %c", word, index / 2 + 1,
                  (index & 1) ? 'R' : 'L');
    if (!(index & 1)) properties->flags |= kVstPinIsStereo;
  } else {
    std::snprintf(properties->label, sizeof(properties->label), "%s %d", word, stereo ? index / 2 + 1 : index + 1);
  }
}

}  // namespace

CTovik::CTovik(audioMasterCallback audioMaster_)
    : AudioEffectX(audioMaster_, 1, 4),
      registryKey(build::kStoreKey),
      sockets(false),
      link(&sockets.fn, &socketHandle) {
  if (!sockets.Startup()) socketStartupFailed = true;

  hostCanAsync = canHostDo(const_cast<char*>("asyncProcessing")) != 0;
  hostAcceptsIO = canHostDo(const_cast<char*>("acceptIOChanges")) != 0;
  if (hostAcceptsIO) {
    numParams = 7;
    cEffect.numParams = 7;
    CfgDlg = false;
  }

  VstInt32 inputs = NumInputs;
  VstInt32 outputs = NumOutputs;
  VstInt32 precision = AudioPrec;
  readInteger("NumInputs", &inputs);
  readInteger("NumOutputs", &outputs);
  readSwitch("ConfigDlg", &CfgDlg);
  readSwitch("TermSlave", &TrmSlave);
  readSwitch("StereoPins", &StereoPins);
  readInteger("AudioPrec", &precision);
  AudioPrec = Clamp(precision, 1, 4);
  // Counts beyond what the audio path holds never get past loading.
  NumInputs = Clamp(inputs, 0, kMaxChannels);
  NumOutputs = Clamp(outputs, 1, kMaxChannels);

  if (CfgDlg) {
    CWaitDlg dialog(this);
    dialog.show();
  }
  writeInteger("NumInputs", NumInputs);
  writeInteger("NumOutputs", NumOutputs);
  writeInteger("ConfigDlg", CfgDlg ? 1 : 0);
  writeInteger("TermSlave", TrmSlave ? 1 : 0);
  writeInteger("StereoPins", StereoPins ? 1 : 0);
  writeInteger("AudioPrec", AudioPrec);
  closeKey();

  ioChangePending = false;
  requestedInputs = NumInputs;
  requestedOutputs = NumOutputs;
  requestedStereoPins = StereoPins;

  if (audioMaster) {
    setNumInputs(NumInputs);
    setNumOutputs(NumOutputs);
    canProcessReplacing(true);
    hasVu(false);
    hasClip(false);
    canMono(NumInputs == 1 && NumOutputs >= 2);
    if (build::kInstrument) isSynth(true);
    setUniqueID(build::kUniqueId);
    programsAreChunks(true);
  }
  suspend();
}

CTovik::~CTovik() {
  link.AttachA(false);
  {
    std::lock_guard<std::mutex> guard(linkLock);
    link.Disconnect();  // while the socket library is still loaded
  }
  // Then the link and its block go, and after them the socket library is
  // cleaned up and unloaded.
}

// --- Per-user store ----------------------------------------------------------------------

bool CTovik::openKey() { return registryKey.Open(); }

bool CTovik::readInteger(const char* name, VstInt32* value) { return registryKey.ReadInt(name, value); }

bool CTovik::readSwitch(const char* name, bool* value) {
  VstInt32 temp = *value ? 1 : 0;
  if (!readInteger(name, &temp)) return false;
  *value = temp != 0;
  return true;
}

bool CTovik::writeInteger(const char* name, VstInt32 value) { return registryKey.WriteInt(name, value); }

bool CTovik::closeKey() { return registryKey.Close(); }

// --- Parameters ------------------------------------------------------------------------------

// A request to change the channel layout counts only when the host says it
// takes it (answer to audioMasterIOChanged non-zero): a host that refused keeps
// buffers sized for the old counts, and the process call would index past them.
bool CTovik::requestIoChange(VstInt32* requested, VstInt32 value) {
  return RequestChange(*requested, value, ioChangePending, [this] { return ioChanged(); });
}

void CTovik::setParameter(VstInt32 index, float value) {
  if (index < 0 || index > 6 || std::isnan(value)) return;
  const bool on = value >= 0.5f;
  switch (index) {
    case 0:
      if (!hostCanAsync || on == Synch) return;
      Synch = on;
      // An asynchronous block still waiting for its answer keeps its answer
      // out of the host's buffers: they may be gone after the switch.
      pendingValid = false;
      wantAsyncOperation(!Synch);
      return;
    case 1:
      if (on == CfgDlg) return;
      CfgDlg = on;
      writeInteger("ConfigDlg", CfgDlg ? 1 : 0);
      closeKey();
      return;
    case 2:
      if (on == TrmSlave) return;
      TrmSlave = on;
      writeInteger("TermSlave", TrmSlave ? 1 : 0);
      closeKey();
      return;
    case 3: {
      const VstInt32 n = 1 - Truncate(value * -3.0f);
      if (n == AudioPrec) return;
      AudioPrec = Clamp(n, 1, 4);
      writeInteger("AudioPrec", AudioPrec);
      closeKey();
      return;
    }
    case 4: {
      if (!hostAcceptsIO) return;
      const VstInt32 n = Clamp(Truncate(value * 16.0f), 0, kMaxChannels);
      if (n != requestedInputs) requestIoChange(&requestedInputs, n);
      return;
    }
    case 5: {
      if (!hostAcceptsIO) return;
      const VstInt32 n = Clamp(1 - Truncate(value * -15.0f), 1, kMaxChannels);
      if (n != requestedOutputs) requestIoChange(&requestedOutputs, n);
      return;
    }
    case 6: {
      if (!hostAcceptsIO || on == requestedStereoPins) return;
      RequestChange(requestedStereoPins, on, ioChangePending, [this] { return ioChanged(); });
      return;
    }
    default:
      return;
  }
}

float CTovik::getParameter(VstInt32 index) {
  switch (index) {
    case 0:
      return Synch ? 1.0f : 0.0f;
    case 1:
      return CfgDlg ? 1.0f : 0.0f;
    case 2:
      return TrmSlave ? 1.0f : 0.0f;
    case 3:
      return static_cast<float>(AudioPrec - 1) / 3.0f;
    case 4:
      return static_cast<float>(requestedInputs) * 0.0625f;
    case 5:
      return static_cast<float>(requestedOutputs - 1) / 15.0f;
    case 6:
      return requestedStereoPins ? 1.0f : 0.0f;
    default:
      return 0.0f;
  }
}

void CTovik::getProgramName(char* name) { vst_strncpy(name, "--Fixed--", 24); }

void CTovik::getParameterDisplay(VstInt32 index, char* text) {
  if (!text) return;
  switch (index) {
    case 0:
      vst_strncpy(text, Synch ? "On" : "Off", 8);
      return;
    case 1:
      vst_strncpy(text, CfgDlg ? "On" : "Off", 8);
      return;
    case 2:
      vst_strncpy(text, TrmSlave ? "On" : "Off", 8);
      return;
    case 3:
      vst_strncpy(text, kPrecisionLabels[Clamp(AudioPrec, 1, 4) - 1], 63);
      return;
    case 4:
      int2string(requestedInputs, text, 6);
      return;
    case 5:
      int2string(requestedOutputs, text, 6);
      return;
    case 6:
      vst_strncpy(text, requestedStereoPins ? "On" : "Off", 8);
      return;
    default:
      text[0] = 0;
      return;
  }
}

void CTovik::getParameterName(VstInt32 index, char* text) {
  if (!text) return;
  if (index >= 0 && index < numParams && index < 7)
    vst_strncpy(text, kParameterNames[index], 63);
  else
    text[0] = 0;
}

bool CTovik::canParameterBeAutomated(VstInt32 index) { return index == 0 ? hostCanAsync : true; }

bool CTovik::string2parameter(VstInt32 index, char* text) {
  if (index < 0 || index >= numParams) return false;
  if (!text || !*text) return true;
  VstInt32 n = 0;
  switch (index) {
    case 3:
      for (int p = 3; p >= 0; --p) {
        if (EqualsIgnoreCase(text, kPrecisionLabels[p])) {
          setParameter(3, static_cast<float>(p) / 3.0f);
          return true;
        }
      }
      if (!ReadInteger(text, &n)) return false;
      n = Clamp(n, 1, 4);
      setParameter(3, static_cast<float>(n - 1) / 3.0f);
      return true;
    case 4:
      if (!ReadInteger(text, &n)) return false;
      if (n < 0)
        setParameter(4, 0.0f);
      else
        setParameter(4, static_cast<float>(n > kMaxChannels ? kMaxChannels : n) * 0.0625f);
      return true;
    case 5:
      if (!ReadInteger(text, &n)) return false;
      n = Clamp(n, 1, kMaxChannels);
      setParameter(5, static_cast<float>(n - 1) / 15.0f);
      return true;
    default:
      if (EqualsIgnoreCase(text, "on")) {
        setParameter(index, 1.0f);
      } else if (EqualsIgnoreCase(text, "off")) {
        setParameter(index, 0.0f);
      } else {
        if (!ReadInteger(text, &n)) return false;
        setParameter(index, n > 0 ? 1.0f : 0.0f);
      }
      return true;
  }
}

// --- Settings chunk ------------------------------------------------------------------------------

VstInt32 CTovik::getChunk(void** data, bool) {
  int length = std::snprintf(chunkText, sizeof(chunkText),
                             "Host=%s\nPort=%d\nSynch=%d\nCfgDlg=%d\nTrmSlave=%d\nAudioPrec=%d\n", Host, Port,
                             Synch ? 1 : 0, CfgDlg ? 1 : 0, TrmSlave ? 1 : 0,
                             static_cast<VstInt32>(AudioPrec));
  if (numParams == 7 && length > 0 && length < static_cast<int>(sizeof(chunkText))) {
    length += std::snprintf(chunkText + length, sizeof(chunkText) - static_cast<size_t>(length),
                            "NumInputs=%d\nNumOutputs=%d\nStereoPins=%d", static_cast<VstInt32>(NumInputs),
                            static_cast<VstInt32>(NumOutputs), StereoPins ? 1 : 0);
  }
  if (data) *data = chunkText;
  return static_cast<VstInt32>(std::strlen(chunkText) + 1);
}

VstInt32 CTovik::setChunk(void* data, VstInt32 byteSize, bool) {
  if (!data) return 0;
  static constexpr const char* kKeys[] = {"Synch=",     "CfgDlg=",     "TrmSlave=",  "AudioPrec=",
                                          "NumInputs=", "NumOutputs=", "StereoPins="};
  const char* chunk = static_cast<const char*>(data);
  const size_t size = byteSize > 0 ? static_cast<size_t>(byteSize) : 0;
  // The text the chunk holds: up to its first NUL, never past byteSize.
  const void* nul = std::memchr(chunk, 0, size);
  const size_t textEnd = nul ? static_cast<size_t>(static_cast<const char*>(nul) - chunk) : size;
  // The address is gathered here and stored under the link lock at the end: a
  // process call may be connecting to the current one.
  char host[kHostLength + 1];
  std::memcpy(host, Host, sizeof host);
  VstInt32 port = Port;
  bool addressChanged = false;

  size_t pos = 0;
  while (pos < textEnd) {
    const void* lf = std::memchr(chunk + pos, '\n', textEnd - pos);
    size_t end;
    if (lf) {
      end = static_cast<size_t>(static_cast<const char*>(lf) - chunk);
    } else if (nul) {
      end = textEnd;  // the last line ends at the NUL
    } else {
      break;  // a line cut off by byteSize is not applied
    }
    const char* line = chunk + pos;
    const char* lineEnd = chunk + end;
    const void* eq = std::memchr(line, '=', static_cast<size_t>(lineEnd - line));
    if (eq) {
      const char* value = static_cast<const char*>(eq) + 1;
      const size_t keyLen = static_cast<size_t>(value - line);
      char key[16] = {};
      if (keyLen < sizeof(key)) std::memcpy(key, line, keyLen);
      if (EqualsIgnoreCase(key, "Host=")) {
        size_t len = static_cast<size_t>(lineEnd - value);
        if (len > kHostLength) len = kHostLength;
        char newHost[kHostLength + 1];
        std::memcpy(newHost, value, len);
        newHost[len] = 0;
        if (std::strlen(newHost) != std::strlen(host) || !EqualsIgnoreCase(newHost, host)) {
          std::memcpy(host, newHost, len + 1);
          addressChanged = true;
        }
      } else if (EqualsIgnoreCase(key, "Port=")) {
        const VstInt32 newPort = ReadLong(value, lineEnd);
        if (newPort != port) {
          port = newPort;
          addressChanged = true;
        }
      } else {
        for (int i = 0; i < 7; ++i) {
          if (!EqualsIgnoreCase(key, kKeys[i])) continue;
          // The text from after "=" to the end of the chunk; only its leading
          // number counts, and words only on the last line. 63 characters
          // are more than any word or number needs.
          char rest[64];
          size_t len = textEnd - static_cast<size_t>(value - chunk);
          if (len > sizeof(rest) - 1) len = sizeof(rest) - 1;
          std::memcpy(rest, value, len);
          rest[len] = 0;
          string2parameter(i, rest);
          break;
        }
      }
    }
    pos = end + 1;
  }
  if (addressChanged) onAddressChanged(host, port);
  return 1;
}

// --- Pins, identity, capabilities ------------------------------------------------------------

bool CTovik::getInputProperties(VstInt32 index, VstPinProperties* properties) {
  if (!properties || index < 0 || index >= NumInputs) return false;
  PinLabel(properties, index, NumInputs, StereoPins, "Input");
  return true;
}

bool CTovik::getOutputProperties(VstInt32 index, VstPinProperties* properties) {
  if (!properties || index < 0 || index >= NumOutputs) return false;
  PinLabel(properties, index, NumOutputs, StereoPins, "Output");
  return true;
}

VstInt32 CTovik::canHostDo(char* text) { return callHost(audioMasterCanDo, 0, 0, text) > 0 ? 1 : 0; }

bool CTovik::getEffectName(char* name) {
  if (!name) return false;
  vst_strncpy(name, build::kEffectName, 31);
  return true;
}

bool CTovik::getVendorString(char* text) {
  if (!text) return false;
  vst_strncpy(text, build::kVendorString, 63);
  return true;
}

bool CTovik::getProductString(char* text) {
  if (!text) return false;
  vst_strncpy(text, build::kProductString, 63);
  return true;
}

VstInt32 CTovik::getVendorVersion() { return build::kVendorVersion; }

VstInt32 CTovik::canDo(char* text) {
  if (!text) return -1;
  for (int i = 0; i < build::kCapabilityCount; ++i) {
    if (std::strcmp(text, build::kCapabilities[i]) == 0) return 1;
  }
  return -1;
}
