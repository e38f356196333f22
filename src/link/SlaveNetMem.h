// The transfer block mirrored to the slave over one TCP connection.
//
// CSlaveNetMem owns a local block (CSlaveLocalMem) and adds Connect,
// Disconnect, Signal (send the message that stands in the block) and Wait
// (receive one message from the slave into the block). Every socket function
// is called through the run-time bound Winsock table; an entry that is null
// counts as unavailable.
//
// Rules of the message path ([audio-thread] for msgProcess):
// - nothing is allocated: messages go out straight from the block (one
//   gathered send per message) and come in straight into it, short parts
//   through the object's own read-ahead buffer;
// - every wait is bounded: a connection attempt gives up after
//   kConnectTimeoutMs (and never waits inside StartConnect/PollConnect), a send
//   that makes no progress and a message that has begun to arrive both fail
//   after the transfer time-out (5 s unless set otherwise), and Wait's first
//   wait is the caller's time-out;
// - every size taken from the wire is computed in 64 bits and checked against
//   its area before a byte is stored; a message that would not fit is a failed
//   read;
// - a failed send or read drops the connection, and the plug-in reconnects
//   later.
// No locks: the plug-in object serialises exchanges (a Signal, or a Signal and
// the Waits for its reply) on its one connection.
#pragma once

#include <cstdint>

#include "link/SlaveLocalMem.h"
#include "sockets/SocketApi.h"

namespace ws {
struct Winsock2Table;
}  // namespace ws

class CSlaveNetMem : public CSlaveLocalMem {
 public:
  // A printf-style sink for the transport's trace lines; the default discards
  // them. It may be called on the audio thread.
  using TraceFn = void (*)(const char* format, ...);

  static constexpr int kConnectTimeoutMs = 1000;
  static constexpr int kDefaultTransferTimeoutMs = 5000;
  static constexpr int kPollSliceMs = 5;              // receive loop: one readiness wait
  static constexpr int kStallSleepMs = 10;            // send loop: pause after a stall
  static constexpr int kMaxSendStalls = 100;          // send loop: stalls tolerated per call
  static constexpr int kSendLoopNoErrorCode = 10092;  // WSAGetLastError not bound
  static constexpr int kSendLoopStalled = -1;
  // Small parts of a message are received through a read-ahead buffer, so
  // that a short message arrives with one receive call; parts at least this
  // long go straight into the block.
  static constexpr int32_t kReadAheadBytes = 8192;

  // Neither reference is used during construction. The handle variable
  // belongs to the caller, which sets it to ws::kInvalidSocket before the
  // first connection; the link reads, replaces and invalidates it.
  CSlaveNetMem(const ws::Winsock2Table* sockets, ws::SOCKET* socketHandle);
  ~CSlaveNetMem() override;

  // The slave's resolved addresses, in the resolver's order: IPv4 and IPv6
  // socket addresses as connect takes them, with Winsock family numbers.
  static constexpr int kMaxAddresses = 8;
  static constexpr int kAddressBytes = 128;  // a sockaddr_storage
  struct Address {
    int32_t family = 0;  // ws::kAfInet or ws::kAfInet6
    int32_t length = 0;  // bytes of bytes[] in use
    alignas(8) unsigned char bytes[kAddressBytes] = {};
  };
  struct AddressList {
    int count = 0;
    Address entries[kMaxAddresses];
  };

  // Resolves host (name, dotted IPv4 or IPv6 literal, cut to 259 characters)
  // and port (1..65535) into *list. Returns 0 on success, otherwise a Winsock
  // error code (the list is then empty). It allocates and may wait for name
  // servers without a bound of ours. [main-thread: never on the audio thread]
  static int Resolve(const ws::Winsock2Table* sockets, const char* host, unsigned port, AddressList* list);

  // Where a non-blocking connection attempt stands.
  enum class ConnectState { kNone, kInProgress, kConnected, kFailed };

  // Starts connecting to the addresses of list, in order, without waiting:
  // kInProgress, kConnected at once, or kFailed (no block, a connection or
  // attempt exists already, no address takes the connect). [any-thread;
  // audio thread: nothing allocated, no wait]
  ConnectState StartConnect(const AddressList& list);
  // Carries the attempt on without waiting: the connect to the current address
  // finished (kConnected: side B attached, the socket blocking again with the
  // transfer time-outs set), failed (the next address is tried while the
  // attempt is younger than kConnectTimeoutMs), or is still under way. After
  // kConnectTimeoutMs the attempt fails. [same threads as StartConnect]
  // waitMs > 0 waits that long at most for the outcome (only the render's
  // first attempt does, see CTovik::activate).
  ConnectState PollConnect(int waitMs = 0);
  bool IsConnecting() const { return connecting_; }

  // Resolve, StartConnect and up to kConnectTimeoutMs of waiting for the
  // outcome: true when connected. For tools and tests; the plug-in resolves on
  // its main thread and advances the attempt from its calls.
  bool Connect(const char* host, unsigned port);

  // Shuts down sending, closes the connection and clears side B attached.
  // False only when there is no block. [any-thread]
  bool Disconnect();

  // Sends the message whose code stands in the block; true when every byte
  // went out. On failure the connection is dropped and both side attached
  // bytes are cleared. [audio-thread for msgProcess]
  bool Signal();

  // Waits up to timeoutMs for a message and reads it whole into the block.
  // False without dropping the connection when nothing arrives in time; false
  // and dropped (side B attached cleared) when the message fails.
  // [audio-thread for the msgProcess reply]
  bool Wait(int timeoutMs);

  // The wire sample width of msgProcess audio in both directions.
  int32_t BytesPerSample() const { return bytesPerSample_; }
  void SetBytesPerSample(int32_t bytes) { bytesPerSample_ = bytes; }

  bool IsConnected() const { return *socket_ != ws::kInvalidSocket; }

  // The bound on a message in progress: a send that makes no progress for this
  // long and a message whose bytes have not all arrived this long after its
  // first byte both fail (at least 1 ms).
  void SetTransferTimeout(int timeoutMs);
  int TransferTimeout() const { return transferTimeoutMs_; }

  // Null restores the default sink, which discards everything.
  void SetTrace(TraceFn trace) { trace_ = trace ? trace : &DiscardTrace; }
  static void DiscardTrace(const char* format, ...);

 private:
  // Sends count byte ranges as one message; *sent counts the bytes that went
  // out. Returns 0, a socket error code, kSendLoopNoErrorCode or
  // kSendLoopStalled.
  int SendLoop(ws::WSABUF* parts, int count, int64_t* sent);
  // Receives up to n bytes; with keepWaiting it goes on until all n have come,
  // the peer closes, an error occurs or the transfer time-out has passed since
  // the message began. Returns the bytes received.
  int32_t ReceiveLoop(void* data, int32_t n, bool keepWaiting);
  // Moves up to n read-ahead bytes to data; returns how many.
  int32_t TakeReadAhead(char* data, int32_t n);
  bool ReceiveExact(void* data, int32_t n) { return ReceiveLoop(data, n, true) == n; }
  // Reads the message whose first bytes are waiting.
  bool ReadMessage();
  bool ReadEvents();
  bool ReadAudio();

  // select on the connection for readability: 1 ready, 0 time-out, -1 error.
  int SelectReadable(int timeoutMs);
  // Opens a socket for the address at attemptIndex_ (or the next that takes
  // one) and starts its connect.
  ConnectState ConnectNext();
  ConnectState FinishConnect();
  void AbandonAttempt();
  void ConfigureConnection();
  bool SetNonBlocking(bool on);
  int LastError() const;
  bool TransferExpired() const;
  // Closes the socket (after shutting down sending and reading off what is
  // pending when graceful), invalidates the handle and clears side B.
  void CloseSocket(bool graceful);

  const ws::Winsock2Table* sockets_;
  ws::SOCKET* socket_;
  int32_t bytesPerSample_ = 4;
  int transferTimeoutMs_ = kDefaultTransferTimeoutMs;
  uint32_t messageStart_ = 0;  // tick of the message being read
  bool readable_ = false;      // the last readiness wait said data is there
  int32_t aheadBegin_ = 0;     // unread bytes of readAhead_: [aheadBegin_, aheadEnd_)
  int32_t aheadEnd_ = 0;
  unsigned char readAhead_[kReadAheadBytes];
  TraceFn trace_ = &DiscardTrace;
  // The attempt under way: its addresses, the one being tried, its start.
  AddressList attempt_;
  int attemptIndex_ = 0;
  uint32_t attemptStart_ = 0;
  bool connecting_ = false;
  ws::SOCKET noHandle_ = ws::kInvalidSocket;  // stands in for a null handle variable
};
