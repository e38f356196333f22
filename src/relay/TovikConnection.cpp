// CTovik: the connection with the slave. Handshake, activation, retries from
// idle calls, the run state, sample rate and block size messages, close.
//
// Locking rule: every exchange on the connection happens under linkLock. The
// host's main thread takes it (and may wait behind a block being exchanged;
// idle calls only try it); the audio thread only try-locks it and skips the
// block when it is busy, so it never waits behind a handshake (a connect of up
// to 1 s and 250 ms for the info answer).
#include <cstring>

#include "platform/Platform.h"
#include "relay/Tovik.h"

namespace {
// Idle calls count as seen only while they keep coming: after this long
// without one, process calls make the connection attempts again.
constexpr uint32_t kIdleForgottenMs = 5000;
constexpr uint32_t kIdleRetryMs = 2000;
constexpr int kGetInfoWaitMs = 250;
}  // namespace

// --- Senders (called with linkLock held) ------------------------------------------

bool CTovik::sendSimple(VstInt32 code) {
  TransferBlock* block = link.Block();
  if (!block || !link.IsAttachedB()) return false;
  block->msgCode = code;
  return link.Signal();
}

bool CTovik::sendHello() { return sendSimple(msgHello); }

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

bool CTovik::sendGetInfo() {
  sendSimple(msgGetInfo);
  // Any message within 250 ms counts; the info itself is kept but not used.
  if (!link.Wait(kGetInfoWaitMs)) return false;
  TransferBlock* block = link.Block();
  if (block && block->msgCode == msgGetInfo) std::memcpy(slaveInfo, block->payload, sizeof(slaveInfo));
  return true;
}

bool CTovik::sendOpen() {
  openPending = sendSimple(msgOpen);
  return openPending;
}

bool CTovik::sendClose() { return sendSimple(msgClose); }

bool CTovik::sendRunState(bool suspend) {
  if (!link.IsAttachedB() || !connected) {
    stateDelivered = false;
    return false;
  }
  stateDelivered = sendSimple(suspend ? msgSuspend : msgResume);
  return stateDelivered;
}

// --- Handshake ---------------------------------------------------------------------------

bool CTovik::connectToSlave() {
  std::lock_guard<std::mutex> guard(linkLock);
  return connectToSlaveLocked();
}

bool CTovik::connectToSlaveLocked() {
  if (!link.HoldsRoleA() && !link.AttachA(true)) return false;
  link.SetIdentA(1, 8);
  // Connect refuses while a connection is open: an attempt made while Pending
  // leaves that connection alone.
  if (!link.Connect(Host, static_cast<unsigned>(Port))) return false;
  onConnectionChanged();
  link.Wait(0);
  const bool ok = sendHello() && sendSetIo() && sendSampleRate(getSampleRate()) &&
                  sendBlockSize(getBlockSize()) && sendGetInfo();
  if (!ok) {
    dropConnection();
    return false;
  }
  if (!sendOpen()) {
    dropConnection();  // the failed send has closed the socket already
    return false;
  }
  return true;
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
  connected = false;
  openPending = false;
  onConnectionChanged();
}

// Activation, made by a process call while not connected (linkLock held).
// Without a Pending connection the call makes the attempt itself, unless idle
// calls keep coming (they make the attempts then). A Pending connection, made
// by an idle call, the dialog or that attempt, is activated at once: the run
// state goes out, and the caller relays its block on it.
void CTovik::activate() {
  if (!openPending && (idleIsRecent(tovik::platform::TickCount()) || !connectToSlaveLocked())) return;
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
  // The unsigned difference keeps working when the tick count wraps.
  if (now - lastIdleAttempt > kIdleRetryMs) {
    // The lock is only tried here: when it is busy, a process call is making
    // its own attempt and relays its block on it. An idle call that waited
    // behind it would take the lock just as the next block comes, and that
    // block would be skipped. The next idle call tries again.
    std::unique_lock<std::mutex> guard(linkLock, std::try_to_lock);
    if (!guard.owns_lock()) return 1;
    lastIdleAttempt = now;
    if (!connected) connectToSlaveLocked();
  }
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
  std::lock_guard<std::mutex> guard(linkLock);
  sendRunState(false);
}

void CTovik::setSampleRate(float rate) {
  AudioEffectX::setSampleRate(rate);
  std::lock_guard<std::mutex> guard(linkLock);
  sendSampleRate(rate);
}

void CTovik::setBlockSize(VstInt32 size) {
  AudioEffectX::setBlockSize(size);
  std::lock_guard<std::mutex> guard(linkLock);
  sendBlockSize(size);
}

void CTovik::setBlockSizeAndSampleRate(VstInt32 size, float rate) {
  AudioEffectX::setBlockSizeAndSampleRate(size, rate);
  std::lock_guard<std::mutex> guard(linkLock);
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

// A chunk moved the slave's address: it is stored while no exchange runs, and
// any open socket, Pending included, goes, so that the next attempt uses the
// new address.
void CTovik::onAddressChanged(const char* host, VstInt32 port) {
  std::lock_guard<std::mutex> guard(linkLock);
  std::memcpy(Host, host, sizeof Host);
  Port = port;
  if (socketHandle != ws::kInvalidSocket || connected || openPending) dropConnection();
}
