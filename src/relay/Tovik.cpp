// CTovik: construction, settings, parameters, settings chunk, pins, identity.
#include "relay/Tovik.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "formats/WireFormat.h"
#include "platform/Dialog.h"
#include "platform/Platform.h"
#include "relay/BuildConstants.h"
#include "relay/Factory.h"
#include "relay/SettingsText.h"
#include "relay/WaitDlg.h"

namespace {

constexpr const char* kParameterNames[7] = {"Synch",  "CfgDlg",  "TrmSlave", "AudioPrec",
                                            "Inputs", "Outputs", "StereoPn"};

// trunc(x) for the stepped parameters, kept inside the int32 range so that
// no host value (NaN aside, which callers skip) converts undefined.
VstInt32 Truncate(float x) {
  if (x > 1.0e6f) return 1000000;
  if (x < -1.0e6f) return -1000000;
  return static_cast<VstInt32>(x);
}

VstInt32 Clamp(VstInt32 v, VstInt32 lo, VstInt32 hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

// Records one requested input/output value and tells the host. The request is
// pending before the host hears of it: some hosts suspend the plug-in and read
// the new counts while they answer audioMasterIOChanged. When the host refuses
// (answers 0) and has not applied the change meanwhile, the request is undone.
template <typename T, typename TellHost>
bool RequestChange(std::atomic<T>& requested, T value, std::atomic<bool>& pending, TellHost tellHost) {
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
    std::snprintf(properties->label, sizeof(properties->label), "%s %d", word,
                  stereo ? index / 2 + 1 : index + 1);
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

  {
    std::lock_guard<std::mutex> guard(storeLock);
    VstInt32 inputs = NumInputs;
    VstInt32 outputs = NumOutputs;
    VstInt32 precision = AudioPrec;
    bool cfgDlg = CfgDlg;
    bool trmSlave = TrmSlave;
    readStore("NumInputs", &inputs);
    readStore("NumOutputs", &outputs);
    readStoreSwitch("ConfigDlg", &cfgDlg);
    readStoreSwitch("TermSlave", &trmSlave);
    readStoreSwitch("StereoPins", &StereoPins);
    readStore("AudioPrec", &precision);
    registryKey.Close();
    CfgDlg = cfgDlg;
    TrmSlave = trmSlave;
    AudioPrec = Clamp(precision, 1, 4);
    // Counts beyond what the audio path holds never get past loading.
    NumInputs = Clamp(inputs, 0, kMaxChannels);
    NumOutputs = Clamp(outputs, 1, kMaxChannels);
  }

  // Where there are no dialog windows, the unattended stand-in runs for every
  // new instance whatever CfgDlg holds: it is how TOVIK_HOST and TOVIK_PORT
  // reach it. It only takes the address; idle or process calls connect.
  if (CfgDlg || !tovik::platform::kHasDialogWindows) {
    CWaitDlg dialog(this);
    dialog.show();
  }
  // All six values, in one store update.
  markStoreDirty(kStoreAll);
  flushUserStore();

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
  // The name is resolved here, on the creating thread, never in a process call.
  useNewAddress();
  suspend();
}

CTovik::~CTovik() {
  flushUserStore();  // nothing automation changed is lost
  link.AttachA(false);
  {
    std::lock_guard<std::mutex> guard(linkLock);
    link.Disconnect();  // while the socket library is still loaded
  }
  // Then the link and its block go, and after them the socket library is
  // cleaned up and unloaded.
}

// --- Per-user store ----------------------------------------------------------------------

bool CTovik::readStore(const char* name, VstInt32* value) {
  return registryKey.ReadInt(name, value);
}

bool CTovik::readStoreSwitch(const char* name, bool* value) {
  VstInt32 temp = *value ? 1 : 0;
  if (!readStore(name, &temp)) return false;
  *value = temp != 0;
  return true;
}

void CTovik::flushUserStore(StoreWait wait) {
  // Idle calls come every few milliseconds: after a failed write they let
  // this long pass before they try again.
  constexpr uint32_t kIdleRetryAfterFailureMs = 2000;
  if (storeDirty.load(std::memory_order_acquire) == 0) return;
  std::unique_lock<std::mutex> guard(storeLock, std::defer_lock);
  if (wait == StoreWait::kNone) {
    if (!guard.try_lock()) return;
    if (idleFlushFailed && tovik::platform::TickCount() - idleFlushFailedAt < kIdleRetryAfterFailureMs)
      return;
  } else {
    guard.lock();
  }
  const uint32_t dirty = storeDirty.exchange(0, std::memory_order_acq_rel);
  if (dirty == 0) return;
  // The values as they are now; a change that comes meanwhile marks its
  // value again, and the next flush writes it.
  tovik::platform::UserStore::Entry entries[6];
  size_t count = 0;
  auto add = [&](uint32_t bit, const char* name, int32_t value) {
    if (dirty & bit) entries[count++] = {name, value};
  };
  add(kStoreNumInputs, "NumInputs", NumInputs);
  add(kStoreNumOutputs, "NumOutputs", NumOutputs);
  add(kStoreConfigDlg, "ConfigDlg", CfgDlg ? 1 : 0);
  add(kStoreTermSlave, "TermSlave", TrmSlave ? 1 : 0);
  add(kStoreStereoPins, "StereoPins", StereoPins ? 1 : 0);
  add(kStoreAudioPrec, "AudioPrec", AudioPrec);
  const bool written = registryKey.WriteInts(
      entries, count, wait == StoreWait::kNone ? 0 : tovik::platform::UserStore::kLockWaitMs);
  registryKey.Close();
  idleFlushFailed = !written;
  if (!written) {
    idleFlushFailedAt = tovik::platform::TickCount();
    markStoreDirty(dirty);  // kept for the next flush
  }
}

// --- Parameters ------------------------------------------------------------------------------

// A request to change the channel layout counts only when the host says it
// takes it (answer to audioMasterIOChanged non-zero): a host that refused keeps
// buffers sized for the old counts, and the process call would index past them.
bool CTovik::requestIoChange(std::atomic<VstInt32>* requested, VstInt32 value) {
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
    // The store values are only marked here: this may be the audio thread.
    // flushUserStore writes them on the main thread.
    case 1:
      if (on == CfgDlg) return;
      CfgDlg = on;
      markStoreDirty(kStoreConfigDlg);
      return;
    case 2:
      if (on == TrmSlave) return;
      TrmSlave = on;
      markStoreDirty(kStoreTermSlave);
      return;
    case 3: {
      const VstInt32 n = 1 - Truncate(value * -3.0f);
      if (n == AudioPrec) return;
      AudioPrec = Clamp(n, 1, 4);
      markStoreDirty(kStoreAudioPrec);
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

void CTovik::getProgramName(char* name) {
  vst_strncpy(name, "--Fixed--", 24);
}

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

bool CTovik::canParameterBeAutomated(VstInt32 index) {
  return index == 0 ? hostCanAsync : true;
}

bool CTovik::string2parameter(VstInt32 index, char* text) {
  if (index < 0 || index >= numParams) return false;
  if (!text || !*text) return true;
  float value = 0.0f;
  if (!tovik::settings::ParameterValueFromText(index, text, &value)) return false;
  setParameter(index, value);
  return true;
}

// --- Settings chunk ------------------------------------------------------------------------------

VstInt32 CTovik::getChunk(void** data, bool) {
  flushUserStore();
  tovik::settings::ChunkValues values{};
  values.host = Host;
  values.port = Port;
  values.synch = Synch;
  values.cfgDlg = CfgDlg;
  values.trmSlave = TrmSlave;
  values.audioPrec = AudioPrec;
  values.withIo = numParams == 7;
  values.numInputs = NumInputs;
  values.numOutputs = NumOutputs;
  values.stereoPins = StereoPins;
  const VstInt32 length = tovik::settings::WriteChunk(values, chunkText, sizeof(chunkText));
  if (data) *data = chunkText;
  return length;
}

VstInt32 CTovik::setChunk(void* data, VstInt32 byteSize, bool) {
  if (!data) return 0;
  // The address is gathered here and stored at the end: a process call may
  // be connecting to the current one.
  tovik::settings::ChunkAddress address{};
  std::memcpy(address.host, Host, sizeof address.host);
  address.port = Port;
  address.changed = false;
  // The parameter lines obey every rule of string2parameter and setParameter.
  auto parameter = [](void* context, int32_t index, char* text) {
    static_cast<CTovik*>(context)->string2parameter(index, text);
  };
  tovik::settings::ReadChunk(static_cast<const char*>(data), byteSize, &address, parameter, this);
  if (address.changed) onAddressChanged(address.host, address.port);
  flushUserStore();
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

VstInt32 CTovik::canHostDo(char* text) {
  return callHost(audioMasterCanDo, 0, 0, text) > 0 ? 1 : 0;
}

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

VstInt32 CTovik::getVendorVersion() {
  return build::kVendorVersion;
}

VstInt32 CTovik::canDo(char* text) {
  if (!text) return -1;
  for (int i = 0; i < build::kCapabilityCount; ++i) {
    if (std::strcmp(text, build::kCapabilities[i]) == 0) return 1;
  }
  return -1;
}
