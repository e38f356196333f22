// CTovik: the connection with the slave. Handshake, activation, retries from
// idle calls, the run state, sample rate and block size messages, close.
//
// Locking rule: every exchange on the connection happens under linkLock. The
// host's main thread takes it (and may wait behind a block being exchanged;
// idle calls only try it); the audio thread only try-locks it and skips the
// block when it is busy.
//
// A connection attempt never waits: names are resolved on the main thread
// when the address is set (construction, chunk, dialog) and again by main-
// thread calls after a failure; the attempt itself is a non-blocking connect
// that later calls (process or idle) carry on, then the handshake, the info
// answer looked for without waiting, msgOpen. Failed attempts are paced: one
// per 2000 ms from any caller, except the first after a lost connection.
#include <cstring>

#include "platform/Platform.h"
#include "relay/Tovik.h"

namespace {
// Idle calls count as seen only while they keep coming: after this long
// without one, process calls make the connection attempts again.
constexpr uint32_t kIdleForgottenMs = 5000;
constexpr uint32_t kAttemptIntervalMs = 2000;
constexpr uint32_t kGetInfoWaitMs = 250;
constexpr int kDialogStepMs = 5;  // the dialog's own attempt looks again this often
constexpr uint32_t kHandshakeGraceMs = 10;
}  // namespace

// --- Senders (called with linkLock held) ------------------------------------------

bool CTovik::sendSimple(VstInt32 code) {
  TransferBlock* block = link.Block();
  if (!block || !link.IsAttachedB()) return false;
  block->msgCode = code;
  return link.Signal();
}

bool CTovik::sendHello() {
  return sendSimple(msgHello);
}

bool CTovik::sendSetIo() {
  TransferBlock* block = link.Block();
  if (!block || !link.IsAttachedB()) return false;
  const int32_t io[4] = {NumInputs, NumOutputs, 1, 1};
  std::memcpy(block->payload, io, sizeof(io));
  block->msgCode = msgSetIo;
  return link.Signal();
}

bool CTovik::sendSampleRate(float rate) {
  TransferBlock* block = link.Block();
  if (!block || !link.IsAttachedB()) return false;
  std::memcpy(block->payload, &rate, sizeof(rate));
  block->msgCode = msgSetSampleRate;
  return link.Signal();
}

bool CTovik::sendBlockSize(VstInt32 size) {
  TransferBlock* block = link.Block();
  if (!block || !link.IsAttachedB()) return false;
  std::memcpy(block->payload, &size, sizeof(size));
  block->msgCode = msgSetBlockSize;
  return link.Signal();
}

// Only sends: the answer is looked for by later calls (advanceConnection).
bool CTovik::sendGetInfo() {
  return sendSimple(msgGetInfo);
}

bool CTovik::sendOpen() {
  openPending = sendSimple(msgOpen);
  return openPending;
}

bool CTovik::sendClose() {
  return sendSimple(msgClose);
}

bool CTovik::sendRunState(bool suspend) {
  if (!link.IsAttachedB() || !connected) {
    stateDelivered = false;
    return false;
  }
  stateDelivered = sendSimple(suspend ? msgSuspend : msgResume);
  return stateDelivered;
}

// --- Addresses ---------------------------------------------------------------------------

void CTovik::resolveAddress() {
  std::lock_guard<std::mutex> one(resolveLock);
  lastResolve = tovik::platform::TickCount();
  char host[kHostLength + 1];
  VstInt32 port;
  uint32_t generation;
  {
    std::lock_guard<std::mutex> guard(addressLock);
    std::memcpy(host, Host, sizeof host);
    port = Port;
    generation = addressGeneration;
  }
  // No lock is held while the resolver works: it may take seconds.
  CSlaveNetMem::AddressList found;
  const int error =
      CSlaveNetMem::Resolve(&sockets.fn, host, port > 0 ? static_cast<unsigned>(port) : 0u, &found);
  std::lock_guard<std::mutex> guard(addressLock);
  if (generation != addressGeneration) return;  // the address moved meanwhile: its own resolution counts
  slaveAddresses = found;
  resolvedGeneration = generation;
  resolveFailed = error != 0 || found.count == 0;
  lastAttemptFailed = false;
}

// Resolutions after a failure are paced like attempts.
void CTovik::refreshAddress(uint32_t now) {
  if ((resolveFailed || lastAttemptFailed) && now - lastResolve.load() >= kAttemptIntervalMs)
    resolveAddress();
}

bool CTovik::setSlaveAddress(const char* host, VstInt32 port) {
  char text[kHostLength + 1];
  int n = 0;
  for (; host && n < kHostLength && host[n]; ++n) text[n] = host[n];
  text[n] = 0;  // the first 255 characters, always terminated
  {
    std::lock_guard<std::mutex> guard(addressLock);
    if (std::strcmp(text, Host) == 0 && port == Port) return false;
    std::memcpy(Host, text, sizeof Host);
    Port = port;
    ++addressGeneration;
    slaveAddresses.count = 0;
  }
  return true;
}

// A chunk or the dialog moved the slave's address: any open socket, Pending
// and an attempt under way included, goes, and the new address is resolved
// here, on the main thread, so that the next attempt uses it.
void CTovik::onAddressChanged(const char* host, VstInt32 port) {
  setSlaveAddress(host, port);
  useNewAddress();
}

bool CTovik::useNewAddress() {
  {
    std::lock_guard<std::mutex> guard(addressLock);
    if (resolvedGeneration == addressGeneration) return false;
  }
  {
    std::lock_guard<std::mutex> guard(linkLock);
    if (socketHandle != ws::kInvalidSocket || connected || openPending || attemptPhase != AttemptPhase::kNone)
      dropConnection();
    attemptMade = false;  // the new address is tried at once
  }
  resolveAddress();
  return true;
}

bool CTovik::attemptUnderWay() {
  std::lock_guard<std::mutex> guard(linkLock);
  return attemptPhase != AttemptPhase::kNone;
}

// --- Attempts ------------------------------------------------------------------------------

bool CTovik::attemptDue(uint32_t now) const {
  // The unsigned difference keeps working when the tick count wraps.
  return !attemptMade || now - lastAttempt.load() >= kAttemptIntervalMs;
}

void CTovik::failAttempt() {
  dropConnection();
  lastAttemptFailed = true;
}

// One step, or as many as are ready, of the attempt; never waits (linkLock
// held). The wire order is msgHello, msgSetIo, msgSetSampleRate,
// msgSetBlockSize, msgGetInfo, then msgOpen once any message has come back.
void CTovik::advanceConnection(uint32_t now, bool mayStart, int infoWaitMs) {
  if (connected || openPending) return;
  if (attemptPhase == AttemptPhase::kNone) {
    if (linkWasUp) {
      linkWasUp = false;
      attemptMade = false;  // the first attempt after a lost connection goes at once
    }
    if (!mayStart || !attemptDue(now)) return;
    if (!link.HoldsRoleA() && !link.AttachA(true)) return;
    link.SetIdentA(1, 8);
    if (socketHandle != ws::kInvalidSocket) return;  // a connection exists already: leave it alone
    // The addresses are copied only when nobody is installing new ones.
    std::unique_lock<std::mutex> addresses(addressLock, std::try_to_lock);
    if (!addresses.owns_lock()) return;
    // Nothing resolved (yet): the main thread is resolving, or resolves again
    // after a failure. No attempt is counted, so that the new address is
    // tried at once when it arrives.
    if (slaveAddresses.count == 0) return;
    attemptHasGrace = !attemptMade;  // the first attempt, not the paced repeats
    attemptMade = true;
    lastAttempt = now;
    const CSlaveNetMem::ConnectState started = link.StartConnect(slaveAddresses);
    addresses.unlock();
    if (started == CSlaveNetMem::ConnectState::kFailed) {
      lastAttemptFailed = true;
      return;
    }
    attemptPhase = AttemptPhase::kConnecting;
  }
  if (attemptPhase == AttemptPhase::kConnecting) {
    const CSlaveNetMem::ConnectState state = link.PollConnect(infoWaitMs);
    if (state == CSlaveNetMem::ConnectState::kInProgress) return;
    if (state != CSlaveNetMem::ConnectState::kConnected) return failAttempt();
    onConnectionChanged();
    link.Wait(0);  // a message already there is taken; its result does not matter
    handshakeSampleRate = getSampleRate();
    handshakeBlockSize = getBlockSize();
    if (!(sendHello() && sendSetIo() && sendSampleRate(handshakeSampleRate) &&
          sendBlockSize(handshakeBlockSize) && sendGetInfo())) {
      return failAttempt();
    }
    infoSentAt = tovik::platform::TickCount();
    attemptPhase = AttemptPhase::kAwaitingInfo;
  }
  if (attemptPhase == AttemptPhase::kAwaitingInfo) {
    // Any message counts as the answer; the info itself is kept but not used.
    if (link.Wait(infoWaitMs)) {
      TransferBlock* block = link.Block();
      if (block && block->msgCode == msgGetInfo) std::memcpy(slaveInfo, block->payload, sizeof(slaveInfo));
      if (!finishHandshake()) return failAttempt();
      return;
    }
    if (!link.IsAttachedB() || tovik::platform::TickCount() - infoSentAt >= kGetInfoWaitMs)
      return failAttempt();
  }
}

// msgOpen; then what changed on the main thread while the handshake ran (its
// senders wait for the handshake to end) goes out.
bool CTovik::finishHandshake() {
  attemptPhase = AttemptPhase::kNone;
  if (!sendOpen()) return false;
  lastAttemptFailed = false;
  const float rate = getSampleRate();
  const VstInt32 size = getBlockSize();
  if (rate != handshakeSampleRate) sendSampleRate(rate);
  if (size != handshakeBlockSize) sendBlockSize(size);
  return true;
}

bool CTovik::connectToSlave(int budgetMs) {
  // A new address is resolved once; an old one again after a failure.
  if (!useNewAddress() && (resolveFailed || (lastAttemptFailed && !attemptUnderWay()))) resolveAddress();
  const uint32_t start = tovik::platform::TickCount();
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(linkLock);
      if (connected || openPending) return true;
      if (attemptPhase == AttemptPhase::kNone) attemptMade = false;  // the user asked: no pacing
      advanceConnection(tovik::platform::TickCount(), true);
      if (openPending) return true;
      if (attemptPhase == AttemptPhase::kNone) return false;  // failed
    }
    if (tovik::platform::TickCount() - start >= static_cast<uint32_t>(budgetMs))
      return false;  // goes on later
    tovik::platform::SleepMs(kDialogStepMs);
  }
}

// Whatever was owed to the previous connection is void: blocks waiting for an
// answer, the delivered run state.
void CTovik::onConnectionChanged() {
  unansweredBlocks = 0;
  stateDelivered = false;
  pendingValid = false;
  replyTaken = true;  // a host that polls for the old block is not kept waiting
}

void CTovik::dropConnection() {
  link.Disconnect();
  if (connected) linkWasUp = true;
  connected = false;
  openPending = false;
  attemptPhase = AttemptPhase::kNone;
  onConnectionChanged();
}

// Activation, made by a process call while not connected (linkLock held).
// The call carries an attempt under way on, and begins one itself when idle
// calls do not come (they begin them then); it never waits. A Pending
// connection (made by an idle call, the dialog or these steps) is activated at
// once: the run state goes out, and the caller relays its block on it.
void CTovik::activate() {
  const uint32_t now = tovik::platform::TickCount();
  if (!openPending) advanceConnection(now, !idleIsRecent(now));
  // A synchronous call waits for its own block's answer anyway: when it makes
  // the first attempt itself (a render without idle calls), it gives the
  // connect and the info answer a few milliseconds, so that the first block of
  // a render is relayed too (a loopback connect may still be under way when
  // the call looks first, under Wine for one). A refused connect costs
  // nothing, a slave that does not answer costs this once, and the paced
  // repeats of a failing attempt never wait.
  const uint32_t graceStart = tovik::platform::TickCount();
  while (Synch && attemptHasGrace && !idleIsRecent(now) && attemptPhase != AttemptPhase::kNone &&
         tovik::platform::TickCount() - graceStart < kHandshakeGraceMs) {
    advanceConnection(tovik::platform::TickCount(), false, 1);
  }
  attemptHasGrace = false;  // one call's grace per attempt: later calls only look
  if (!openPending) return;
  openPending = false;
  connected = link.IsAttachedB();
  if (connected && !stateDelivered) sendRunState(suspended);
  if (!connected) onConnectionChanged();
}

bool CTovik::idleIsRecent(uint32_t now) const {
  return idleSeen && now - lastIdleCall.load() < kIdleForgottenMs;
}

// --- Host notifications --------------------------------------------------------------------

VstInt32 CTovik::fxIdle() {
  flushUserStore(StoreWait::kNone);
  const uint32_t now = tovik::platform::TickCount();
  lastIdleCall = now;
  idleSeen = true;
  if (connected) return 1;
  if (attemptPhase == AttemptPhase::kNone) refreshAddress(now);
  // The lock is only tried here: when it is busy, a process call is carrying
  // the attempt on and relays its block on it. An idle call that waited
  // behind it would take the lock just as the next block comes, and that
  // block would be skipped. The next idle call tries again.
  std::unique_lock<std::mutex> guard(linkLock, std::try_to_lock);
  if (!guard.owns_lock()) return 1;
  advanceConnection(now, true);
  return 1;
}

void CTovik::suspend() {
  flushUserStore();
  {
    std::lock_guard<std::mutex> guard(linkLock);
    suspended = true;
    pendingValid = false;  // the host's buffers of the last block may go now
    sendRunState(true);
  }
  if (ioChangePending) applyIoChange();
}

void CTovik::applyIoChange() {
  NumInputs = requestedInputs;
  NumOutputs = requestedOutputs;
  StereoPins = requestedStereoPins;
  setNumInputs(NumInputs);
  setNumOutputs(NumOutputs);
  markStoreDirty(kStoreNumInputs | kStoreNumOutputs | kStoreStereoPins);
  flushUserStore();
  ioChangePending = false;
}

void CTovik::resume() {
  flushUserStore();
  suspended = false;
  resumedOnce = true;
  wantEvents(1);
  needIdle();
  hostReceivesEvents = canHostDo(const_cast<char*>("receiveVstEvents")) != 0 ||
                       canHostDo(const_cast<char*>("receiveVstMidiEvent")) != 0;
  wantAsyncOperation(!Synch);
  // Hosts that send no idle calls (offline renders) resume before rendering:
  // an address that did not resolve is looked up again here, not in a
  // process call.
  refreshAddress(tovik::platform::TickCount());
  std::lock_guard<std::mutex> guard(linkLock);
  sendRunState(false);
}

// While a handshake is under way its own messages carry the values; one that
// changes meanwhile goes out after msgOpen (finishHandshake).
void CTovik::setSampleRate(float rate) {
  AudioEffectX::setSampleRate(rate);
  std::lock_guard<std::mutex> guard(linkLock);
  if (attemptPhase == AttemptPhase::kNone) sendSampleRate(rate);
}

void CTovik::setBlockSize(VstInt32 size) {
  AudioEffectX::setBlockSize(size);
  std::lock_guard<std::mutex> guard(linkLock);
  if (attemptPhase == AttemptPhase::kNone) sendBlockSize(size);
}

void CTovik::setBlockSizeAndSampleRate(VstInt32 size, float rate) {
  AudioEffectX::setBlockSizeAndSampleRate(size, rate);
  std::lock_guard<std::mutex> guard(linkLock);
  if (attemptPhase != AttemptPhase::kNone) return;
  sendSampleRate(rate);
  sendBlockSize(size);
}

// Only an instance that was resumed tells the slave to terminate. Plug-in
// scanners open an instance, query it and close it without ever resuming it,
// and the dialog of that instance may have connected to a slave the user is
// running for a session: scanning must not end it.
void CTovik::close() {
  flushUserStore();
  std::lock_guard<std::mutex> guard(linkLock);
  if (TrmSlave && resumedOnce) sendClose();
  link.AttachA(false);
}
