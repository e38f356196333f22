// TovikInspector: the tests' one view inside CTovik (declared a friend there).
// Every test file that needs to look inside an instance includes this header;
// defining the struct anywhere else would give the test executable two
// different definitions of it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "link/SlaveNetMem.h"
#include "link/TransferBlock.h"
#include "relay/Tovik.h"

struct TovikInspector {
  // Connection state.
  static bool Connected(const CTovik& t) { return t.connected; }
  static bool OpenPending(const CTovik& t) { return t.openPending; }
  static bool IdleSeen(const CTovik& t) { return t.idleSeen; }
  static bool Suspended(const CTovik& t) { return t.suspended; }
  static bool StateDelivered(const CTovik& t) { return t.stateDelivered; }
  static bool HostReceivesEvents(const CTovik& t) { return t.hostReceivesEvents; }
  // Tick counts of the last idle call and idle attempt; tests move them into
  // the past instead of waiting.
  static void SetLastIdleCall(CTovik& t, uint32_t tick) { t.lastIdleCall = tick; }
  static uint32_t LastIdleCall(const CTovik& t) { return t.lastIdleCall; }
  // The last connection attempt from any caller (attempts are paced).
  static void SetLastIdleAttempt(CTovik& t, uint32_t tick) {
    t.lastAttempt = tick;
    t.attemptMade = true;
  }
  static uint32_t LastIdleAttempt(const CTovik& t) { return t.attemptMade ? t.lastAttempt.load() : 0u; }
  static bool AttemptUnderWay(CTovik& t) { return t.attemptUnderWay(); }
  static int ResolvedAddresses(CTovik& t) {
    std::lock_guard<std::mutex> guard(t.addressLock);
    return t.slaveAddresses.count;
  }

  // Settings.
  static const char* Host(const CTovik& t) { return t.Host; }
  static VstInt32 Port(const CTovik& t) { return t.Port; }
  static bool Synch(const CTovik& t) { return t.Synch; }
  static bool CfgDlg(const CTovik& t) { return t.CfgDlg; }
  static bool TrmSlave(const CTovik& t) { return t.TrmSlave; }
  static VstInt32 AudioPrec(const CTovik& t) { return t.AudioPrec; }
  static VstInt32 NumInputs(const CTovik& t) { return t.NumInputs; }
  static VstInt32 NumOutputs(const CTovik& t) { return t.NumOutputs; }
  static bool StereoPins(const CTovik& t) { return t.StereoPins; }
  static bool HostCanAsync(const CTovik& t) { return t.hostCanAsync; }
  static bool HostAcceptsIO(const CTovik& t) { return t.hostAcceptsIO; }
  // Sets a count directly, as a per-user store read without the dialog would.
  static void SetNumInputs(CTovik& t, VstInt32 n) { t.NumInputs = n; }
  static void SetNumOutputs(CTovik& t, VstInt32 n) { t.NumOutputs = n; }
  static void SetAudioPrec(CTovik& t, VstInt32 n) { t.AudioPrec = n; }

  // The link and its transfer block.
  static CSlaveNetMem& Link(CTovik& t) { return t.link; }
  static TransferBlock* Block(CTovik& t) { return t.link.Block(); }
  static bool SocketOpen(const CTovik& t) { return t.socketHandle != ws::kInvalidSocket; }
  static ws::SOCKET SocketHandle(const CTovik& t) { return t.socketHandle; }

  // Asynchronous bookkeeping.
  static int UnansweredBlocks(const CTovik& t) { return t.unansweredBlocks; }
  static VstInt32 PendingFrames(const CTovik& t) { return t.pendingFrames; }
  static bool ReplyTaken(const CTovik& t) { return t.replyTaken; }

  // The walk over the slave's events: records of the last msgEvents are kept
  // (KeepSlaveEvents) and handed to the host one call each (ForwardSlaveEvents).
  static void KeepSlaveEvents(CTovik& t) { t.keepSlaveEvents(); }
  static void ForwardSlaveEvents(CTovik& t) { t.forwardSlaveEvents(); }
  static const unsigned char* SlaveEvents(const CTovik& t) { return t.slaveEvents; }
  static size_t SlaveEventCapacity(const CTovik& t) { return sizeof t.slaveEvents; }
  static void SetHostReceivesEvents(CTovik& t, bool on) { t.hostReceivesEvents = on; }
  // The socket table the link calls through; tests may replace its entries.
  static ws::Winsock2Table& Sockets(CTovik& t) { return t.sockets.fn; }
};
