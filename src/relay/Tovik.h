// CTovik: one relay instance. It owns the settings (per-user store, project
// chunk, parameters), the link to the slave (transfer block + TCP) and the
// socket library, and relays audio blocks, events and host state changes.
//
// Threads: see docs/threading.md. In short, [audio-thread] entries never block
// on the link lock (they try it and skip the block when it is busy) and never
// wait on a connection attempt (it advances one step per call); [main-thread]
// entries take it and may wait for a block's exchange, except idle calls,
// which only try it.
#pragma once

#include <atomic>
#include <mutex>

#include "frame/AudioEffectX.h"
#include "link/SlaveNetMem.h"
#include "platform/UserStore.h"
#include "relay/SettingsText.h"
#include "relay/SharedValue.h"
#include "sockets/Winsock2Dll.h"

class CWaitDlg;

class CTovik : public AudioEffectX {
 public:
  // The link's channel limit (link/TransferBlock.h), named here for the dialog;
  // the frame limit is the link's kMaxFrames.
  static constexpr int kMaxChannels = ::kMaxChannels;
  static constexpr int kHostLength = tovik::settings::kHostLength;  // characters, without the NUL
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

  // How a flush of the per-user store may wait for another writer: up to
  // UserStore::kLockWaitMs, or not at all (idle calls; the values stay marked
  // and a later call writes them).
  enum class StoreWait { kBounded, kNone };
  // Writes the per-user store values changed since the last flush, all in one
  // store update, and closes the store. Parameter changes only mark their
  // value, since setParameter may come on the audio thread; the flush runs at
  // the next idle call, suspend, resume, close, chunk, the end of
  // construction (after the dialog) and destruction. A failed write keeps the
  // values marked. [main-thread]
  void flushUserStore(StoreWait wait = StoreWait::kBounded);

 private:
  friend class CWaitDlg;
  friend struct TovikInspector;  // tests look inside

  // Per-user store values, one bit each in storeDirty.
  enum StoreValue : uint32_t {
    kStoreNumInputs = 1u << 0,
    kStoreNumOutputs = 1u << 1,
    kStoreConfigDlg = 1u << 2,
    kStoreTermSlave = 1u << 3,
    kStoreStereoPins = 1u << 4,
    kStoreAudioPrec = 1u << 5,
    kStoreAll = (1u << 6) - 1,
  };
  // Marks values for the next flushUserStore. [any-thread] lock-free.
  void markStoreDirty(uint32_t values) { storeDirty.fetch_or(values, std::memory_order_release); }
  bool readStore(const char* name, VstInt32* value);  // with storeLock held
  bool readStoreSwitch(const char* name, bool* value);
  void applyIoChange();
  bool requestIoChange(std::atomic<VstInt32>* requested, VstInt32 value);

  // Connection control; each sender returns true when its message went out.
  //
  // An attempt is a small state machine that the host's calls advance without
  // ever waiting: a non-blocking connect to the resolved addresses, the
  // handshake sends, the info answer looked for (250 ms from msgGetInfo),
  // msgOpen. advanceConnection runs under linkLock; mayStart says whether the
  // caller may begin a new attempt (the pacing is checked here as well).
  enum class AttemptPhase { kNone, kConnecting, kAwaitingInfo };
  void advanceConnection(uint32_t now, bool mayStart, int infoWaitMs = 0);
  bool attemptDue(uint32_t now) const;
  void failAttempt();
  bool finishHandshake();
  // [main-thread] Resolves Host:Port (without holding linkLock) and installs
  // the addresses for the next attempt.
  void resolveAddress();
  // [main-thread] Resolves again when the last resolution or attempt failed
  // and a new attempt is due.
  void refreshAddress(uint32_t now);
  // [main-thread] Sets the slave's address; true when it changed. The
  // connection to the old one stays until useNewAddress.
  bool setSlaveAddress(const char* host, VstInt32 port);
  // [main-thread] When the address changed since it was last resolved: drops
  // the connection or attempt to the old one and resolves the new one.
  bool useNewAddress();  // true when it resolved
  bool attemptUnderWay();
  // [main-thread] Advances an attempt for at most budgetMs (the dialog):
  // true once the connection is Pending or active. Pacing is not applied.
  bool connectToSlave(int budgetMs);
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

  // Relay settings. Host and Port change only under addressLock (the audio
  // path never reads them: it connects to the resolved addresses); the
  // settings that the audio path reads while the host's other threads change
  // them are shared values.
  char Host[kHostLength + 1] = "localhost";
  VstInt32 Port = kDefaultPort;
  TSharedValue<bool> Synch{true};
  TSharedValue<bool> CfgDlg{true};  // parameters 1 and 2 may be automated from the audio thread
  TSharedValue<bool> TrmSlave{true};
  TSharedValue<VstInt32> AudioPrec{4};
  TSharedValue<VstInt32> NumInputs{2};
  TSharedValue<VstInt32> NumOutputs{2};
  bool StereoPins = false;

  bool hostCanAsync = false;
  bool hostAcceptsIO = false;
  // Requested by parameters 4-6 (any thread, automation included), taken
  // up by suspend on the main thread.
  std::atomic<VstInt32> requestedInputs{2};
  std::atomic<VstInt32> requestedOutputs{2};
  std::atomic<bool> requestedStereoPins{false};
  std::atomic<bool> ioChangePending{false};
  // The per-user store is used by main-thread code only, under storeLock,
  // which setParameter never takes: it marks the values in storeDirty.
  std::mutex storeLock;
  tovik::platform::UserStore registryKey;
  std::atomic<uint32_t> storeDirty{0};
  bool idleFlushFailed = false;  // under storeLock: idle flushes wait a while
  uint32_t idleFlushFailedAt = 0;
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

  // The slave's resolved addresses. addressLock is held only to copy them or
  // Host/Port (never across a resolution or an exchange); the audio thread
  // only tries it. resolveLock keeps resolutions one at a time (main thread).
  std::mutex addressLock;
  std::mutex resolveLock;
  CSlaveNetMem::AddressList slaveAddresses;
  uint32_t addressGeneration = 0;          // bumped by every change of Host/Port
  uint32_t resolvedGeneration = ~0u;       // the generation slaveAddresses belong to
  std::atomic<bool> resolveFailed{false};  // the last resolution found no address
  std::atomic<bool> lastAttemptFailed{false};
  std::atomic<uint32_t> lastResolve{0};

  // Connection state.
  std::atomic<bool> connected{false};
  bool openPending = false;
  std::atomic<bool> idleSeen{false};
  std::atomic<uint32_t> lastIdleCall{0};
  // The attempt under way (linkLock) and the pacing of new ones: at most one
  // per kAttemptIntervalMs, except the first after a connection was lost.
  std::atomic<AttemptPhase> attemptPhase{
      AttemptPhase::kNone};  // written under linkLock; idle calls read it without
  uint32_t infoSentAt = 0;
  std::atomic<uint32_t> lastAttempt{0};
  std::atomic<bool> attemptMade{false};  // since construction, an address change or a lost connection
  bool linkWasUp = false;
  bool attemptHasGrace = false;  // the attempt under way is the first since construction or a loss
  float handshakeSampleRate = 0;
  VstInt32 handshakeBlockSize = 0;
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
