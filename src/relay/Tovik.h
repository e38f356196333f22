// CTovik: one relay instance. It owns the settings (per-user store, project
// chunk, parameters), the link to the slave (transfer block + TCP) and the
// socket library, and relays audio blocks, events and host state changes.
//
// Threads: see docs/threading.md. In short, [audio-thread] entries never block
// on the link lock (they try it and skip the block when it is busy);
// [main-thread] entries take it and may wait for a handshake to finish, except
// idle calls, which only try it.
#pragma once

#include <atomic>
#include <mutex>

#include "frame/AudioEffectX.h"
#include "link/SlaveNetMem.h"
#include "platform/UserStore.h"
#include "relay/SharedValue.h"
#include "sockets/Winsock2Dll.h"

class CWaitDlg;

class CTovik : public AudioEffectX {
 public:
  // The link's channel limit (link/TransferBlock.h), named here for the dialog;
  // the frame limit is the link's kMaxFrames.
  static constexpr int kMaxChannels = ::kMaxChannels;
  static constexpr int kHostLength = 255;  // characters, without the NUL
  static constexpr int kDefaultPort = 19284;

  explicit CTovik(audioMasterCallback audioMaster);
  ~CTovik() override;

  // [main-thread]
  void close() override;
  void suspend() override;
  void resume() override;
  void setSampleRate(float sampleRate) override;
  void setBlockSize(VstInt32 blockSize) override;
  void setBlockSizeAndSampleRate(VstInt32 blockSize, float sampleRate) override;
  VstInt32 fxIdle() override;

  // [audio-thread]
  void processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) override;
  void process(float** inputs, float** outputs, VstInt32 sampleFrames) override;
  VstInt32 processEvents(VstEvents* events) override;
  VstInt32 reportCurrentPosition() override;

  // Parameters. [main-thread], or any thread for host automation.
  void setParameter(VstInt32 index, float value) override;
  float getParameter(VstInt32 index) override;
  void getProgramName(char* name) override;
  void getParameterDisplay(VstInt32 index, char* text) override;
  void getParameterName(VstInt32 index, char* text) override;
  bool canParameterBeAutomated(VstInt32 index) override;
  bool string2parameter(VstInt32 index, char* text) override;

  // Settings chunk. [main-thread]
  VstInt32 getChunk(void** data, bool isPreset) override;
  VstInt32 setChunk(void* data, VstInt32 byteSize, bool isPreset) override;

  bool getInputProperties(VstInt32 index, VstPinProperties* properties) override;
  bool getOutputProperties(VstInt32 index, VstPinProperties* properties) override;
  VstInt32 canHostDo(char* text) override;
  bool getEffectName(char* name) override;
  bool getVendorString(char* text) override;
  bool getProductString(char* text) override;
  VstInt32 getVendorVersion() override;
  VstInt32 canDo(char* text) override;

 private:
  friend class CWaitDlg;
  friend struct TovikInspector;  // tests look inside

  // Per-user store.
  bool openKey();
  bool readInteger(const char* name, VstInt32* value);
  bool readSwitch(const char* name, bool* value);
  bool writeInteger(const char* name, VstInt32 value);
  bool closeKey();
  void applyIoChange();
  bool requestIoChange(VstInt32* requested, VstInt32 value);

  // Connection control; each sender returns true when its message went out.
  bool connectToSlave();
  bool connectToSlaveLocked();
  bool sendHello();
  bool sendSetIo();
  bool sendSampleRate(float sampleRate);
  bool sendBlockSize(VstInt32 blockSize);
  bool sendGetInfo();
  bool sendOpen();
  bool sendClose();
  bool sendRunState(bool suspend);
  bool sendSimple(VstInt32 code);
  void activate();
  void dropConnection();
  void onConnectionChanged();
  bool idleIsRecent(uint32_t now) const;
  void onAddressChanged(const char* host, VstInt32 port);

  // Audio path.
  void processBlock(float** inputs, float** outputs, VstInt32 sampleFrames);
  void relayBlock(float** inputs, float** outputs, VstInt32 frames, VstTimeInfo* time);
  bool sendChunk(float** inputs, VstInt32 numInputs, VstInt32 offset, VstInt32 count, VstInt32 precision,
                 const VstTimeInfo* time);
  bool waitForAnswer();
  bool takeAsyncAnswer();
  uint32_t copyAnswer(float* const* outputs, VstInt32 outputCount, VstInt32 frames);
  void skipBlock(VstInt32 frames);
  void forwardSlaveEvents();
  void keepSlaveEvents();

  // Relay settings. Host and Port change only under linkLock, since a process
  // call may be connecting; the settings that the audio path reads while the
  // host's other threads change them are shared values.
  char Host[kHostLength + 1] = "localhost";
  VstInt32 Port = kDefaultPort;
  TSharedValue<bool> Synch{true};
  bool CfgDlg = true;
  bool TrmSlave = true;
  TSharedValue<VstInt32> AudioPrec{4};
  TSharedValue<VstInt32> NumInputs{2};
  TSharedValue<VstInt32> NumOutputs{2};
  bool StereoPins = false;

  bool hostCanAsync = false;
  bool hostAcceptsIO = false;
  VstInt32 requestedInputs = 2;
  VstInt32 requestedOutputs = 2;
  bool requestedStereoPins = false;
  bool ioChangePending = false;
  tovik::platform::UserStore registryKey;
  char chunkText[512] = {};

  // The link refers to the socket table and the socket handle; both outlive
  // it (members are destroyed in reverse order: the link goes first, then the
  // socket library is cleaned up and unloaded).
  ws::SOCKET socketHandle = ws::kInvalidSocket;
  CWinsock2Dll sockets;
  CSlaveNetMem link;

  // One exchange at a time on the connection. The audio thread only ever
  // try-locks it; see docs/threading.md.
  std::mutex linkLock;

  // Connection state.
  std::atomic<bool> connected{false};
  bool openPending = false;
  std::atomic<bool> idleSeen{false};
  std::atomic<uint32_t> lastIdleCall{0};
  uint32_t lastIdleAttempt = 0;
  TSharedValue<bool> suspended{false};  // cleared by resume, read by a process call's activation
  bool stateDelivered = true;
  bool resumedOnce = false;                     // main thread only: resume sets it, close reads it
  TSharedValue<bool> hostReceivesEvents{true};  // set by resume, read by the audio path
  VstInt32 slaveInfo[3] = {};

  // Asynchronous operation: the block sent last and whether it is answered.
  // replyTaken and pendingValid are also cleared on the main thread (a new or
  // dropped connection, suspend, a switch of Synch), hence atomic.
  float* pendingOutputs[kMaxChannels] = {};
  VstInt32 pendingOutputCount = 0;
  VstInt32 pendingFrames = 0;
  VstInt32 pendingCopyFrames = 0;  // of those, what the answer covers (at most kMaxFrames)
  std::atomic<bool> replyTaken{false};
  int unansweredBlocks = 0;               // msgProcess sent and not yet answered, this connection
  std::atomic<bool> pendingValid{false};  // the host's buffers of that block may still be written

  // Events from the slave, kept until they are handed to the host.
  unsigned char slaveEvents[kEventAreaSize] = {};
  size_t slaveEventLength = 0;
};
