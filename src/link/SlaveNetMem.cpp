#include "link/SlaveNetMem.h"

#include <cstdio>
#include <cstring>

#include "formats/WireFormat.h"
#include "platform/Platform.h"
#include "sockets/Winsock2Dll.h"

namespace {

// Stands in for a missing socket table: every function unavailable.
const ws::Winsock2Table kNoSockets{};

constexpr int kHostTextSize = 260;  // at most 259 characters and the terminator
constexpr int kMaxDrainReads = 16;  // Disconnect reads off at most this many pending chunks

uint32_t Elapsed(uint32_t since) {
  return tovik::platform::TickCount() - since;
}

ws::timeval Timeval(int timeoutMs) {
  ws::timeval tv{};
  tv.tv_sec = static_cast<decltype(tv.tv_sec)>(timeoutMs / 1000);
  tv.tv_usec = static_cast<decltype(tv.tv_usec)>((timeoutMs % 1000) * 1000);
  return tv;
}

ws::fd_set SetOf(ws::SOCKET s) {
  ws::fd_set set{};
  set.fd_count = 1;
  set.fd_array[0] = s;
  return set;
}

void AddPart(ws::WSABUF* parts, int& count, const void* data, int64_t bytes) {
  if (bytes <= 0) return;
  parts[count].buf = static_cast<char*>(const_cast<void*>(data));
  parts[count].len = static_cast<ws::u_long>(bytes);
  ++count;
}

}  // namespace

CSlaveNetMem::CSlaveNetMem(const ws::Winsock2Table* sockets, ws::SOCKET* socketHandle)
    : sockets_(sockets ? sockets : &kNoSockets), socket_(socketHandle ? socketHandle : &noHandle_) {
  Reopen();
}

CSlaveNetMem::~CSlaveNetMem() {
  Disconnect();
  Close();
}

void CSlaveNetMem::DiscardTrace(const char* /*format*/, ...) {}

void CSlaveNetMem::SetTransferTimeout(int timeoutMs) {
  transferTimeoutMs_ = timeoutMs < 1 ? 1 : timeoutMs;
  if (IsConnected()) ConfigureConnection();
}

int CSlaveNetMem::LastError() const {
  return sockets_->WSAGetLastError ? sockets_->WSAGetLastError() : kSendLoopNoErrorCode;
}

bool CSlaveNetMem::TransferExpired() const {
  return Elapsed(messageStart_) >= static_cast<uint32_t>(transferTimeoutMs_);
}

// ---- connection ----

int CSlaveNetMem::Resolve(const ws::Winsock2Table* sockets, const char* host, unsigned port,
                          AddressList* list) {
  if (!list) return ws::kWsaEinval;
  list->count = 0;
  const ws::Winsock2Table& fn = sockets ? *sockets : kNoSockets;
  // The resolver would wrap a larger number to another port.
  if (!host || port < 1 || port > 65535) return ws::kWsaEinval;
  if (!fn.getaddrinfo) return ws::kWsaSysNotReady;

  char portText[16];
  std::snprintf(portText, sizeof portText, "%u", port);
  char hostText[kHostTextSize];
  int length = 0;
  for (; length < kHostTextSize - 1 && host[length] != '\0'; ++length) hostText[length] = host[length];
  hostText[length] = '\0';

  ws::addrinfo hints{};
  hints.ai_flags = ws::kAiPassive;
  hints.ai_family = ws::kAfUnspec;  // IPv4 and IPv6, in the resolver's order
  hints.ai_socktype = ws::kSockStream;
  hints.ai_protocol = ws::kIpprotoTcp;
  ws::addrinfo* found = nullptr;
  const int error = fn.getaddrinfo(hostText, portText, &hints, &found);
  if (error != 0) return error;
  for (const ws::addrinfo* a = found; a && list->count < kMaxAddresses; a = a->ai_next) {
    if ((a->ai_family != ws::kAfInet && a->ai_family != ws::kAfInet6) || !a->ai_addr) continue;
    if (a->ai_addrlen <= 0 || static_cast<size_t>(a->ai_addrlen) > sizeof(Address::bytes)) continue;
    Address& entry = list->entries[list->count++];
    entry.family = a->ai_family;
    entry.length = static_cast<int32_t>(a->ai_addrlen);
    std::memcpy(entry.bytes, a->ai_addr, static_cast<size_t>(a->ai_addrlen));
  }
  if (fn.freeaddrinfo) fn.freeaddrinfo(found);
  return list->count > 0 ? 0 : ws::kWsaHostNotFound;
}

bool CSlaveNetMem::Connect(const char* host, unsigned port) {
  if (!block_ || IsConnected() || connecting_) return false;
  AddressList list;
  if (Resolve(sockets_, host, port, &list) != 0) return false;
  ConnectState state = StartConnect(list);
  const uint32_t start = tovik::platform::TickCount();
  while (state == ConnectState::kInProgress) {
    // Wait for the socket to become writable (or to fail), then look again.
    const uint32_t spent = Elapsed(start);
    const int left =
        spent >= static_cast<uint32_t>(kConnectTimeoutMs) ? 1 : kConnectTimeoutMs - static_cast<int>(spent);
    if (sockets_->select && IsConnected()) {
      ws::fd_set writable = SetOf(*socket_);
      ws::fd_set failed = SetOf(*socket_);
      const ws::timeval tv = Timeval(left < kPollSliceMs ? left : kPollSliceMs);
      sockets_->select(0, nullptr, &writable, &failed, &tv);
    } else {
      tovik::platform::SleepMs(1);
    }
    state = PollConnect();
  }
  return state == ConnectState::kConnected;
}

CSlaveNetMem::ConnectState CSlaveNetMem::StartConnect(const AddressList& list) {
  if (!block_ || IsConnected() || connecting_) return ConnectState::kFailed;
  const int count = list.count < 0 ? 0 : (list.count > kMaxAddresses ? kMaxAddresses : list.count);
  attempt_.count = count;
  for (int i = 0; i < count; ++i) attempt_.entries[i] = list.entries[i];
  attemptIndex_ = 0;
  attemptStart_ = tovik::platform::TickCount();
  connecting_ = true;
  return ConnectNext();
}

CSlaveNetMem::ConnectState CSlaveNetMem::ConnectNext() {
  const ws::Winsock2Table& fn = *sockets_;
  for (; attemptIndex_ < attempt_.count; ++attemptIndex_) {
    if (Elapsed(attemptStart_) >= static_cast<uint32_t>(kConnectTimeoutMs)) break;
    const Address& address = attempt_.entries[attemptIndex_];
    if (!fn.socket || !fn.connect) break;
    *socket_ = fn.socket(address.family, ws::kSockStream, 0);
    if (*socket_ == ws::kInvalidSocket) continue;
    const auto* name = reinterpret_cast<const ws::sockaddr*>(address.bytes);
    if (!SetNonBlocking(true)) {
      // Without ioctlsocket only a blocking connect is possible, bounded by
      // the system's own time-out.
      if (fn.connect(*socket_, name, address.length) == 0) return FinishConnect();
      AbandonAttempt();
      continue;
    }
    if (fn.connect(*socket_, name, address.length) == 0) return FinishConnect();
    const int error = LastError();
    if ((error == ws::kWsaEwouldblock || error == ws::kWsaEinprogress) && fn.select && fn.getsockopt) {
      return ConnectState::kInProgress;
    }
    AbandonAttempt();  // refused at once (or unsupported): the next address
  }
  AbandonAttempt();
  connecting_ = false;
  return ConnectState::kFailed;
}

CSlaveNetMem::ConnectState CSlaveNetMem::PollConnect(int waitMs) {
  const ws::Winsock2Table& fn = *sockets_;
  if (!connecting_)
    return IsConnected() && block_ && block_->sideBAttached ? ConnectState::kConnected : ConnectState::kNone;
  if (!IsConnected()) return ConnectNext();
  ws::fd_set writable = SetOf(*socket_);
  ws::fd_set failed = SetOf(*socket_);  // Winsock reports a failed connect here only
  const ws::timeval tv = Timeval(waitMs > 0 ? waitMs : 0);
  const int ready = fn.select ? fn.select(0, nullptr, &writable, &failed, &tv) : -1;
  if (ready > 0 && failed.fd_count == 0 && writable.fd_count != 0) {
    int soError = 0;
    ws::socklen soLength = static_cast<ws::socklen>(sizeof soError);
    if (fn.getsockopt &&
        fn.getsockopt(*socket_, ws::kSolSocket, ws::kSoError, reinterpret_cast<char*>(&soError), &soLength) ==
            0 &&
        soError == 0) {
      return FinishConnect();
    }
  } else if (ready == 0 && Elapsed(attemptStart_) < static_cast<uint32_t>(kConnectTimeoutMs)) {
    return ConnectState::kInProgress;
  }
  // This address failed (or the attempt ran out of time): the next one.
  AbandonAttempt();
  ++attemptIndex_;
  return ConnectNext();
}

CSlaveNetMem::ConnectState CSlaveNetMem::FinishConnect() {
  connecting_ = false;
  if (!SetNonBlocking(false) && sockets_->ioctlsocket) {
    AbandonAttempt();
    return ConnectState::kFailed;
  }
  ConfigureConnection();
  block_->sideBAttached = 1;
  return ConnectState::kConnected;
}

// Closes the socket of an address that did not connect (nothing was sent).
void CSlaveNetMem::AbandonAttempt() {
  if (IsConnected() && sockets_->closesocket) sockets_->closesocket(*socket_);
  *socket_ = ws::kInvalidSocket;
}

bool CSlaveNetMem::SetNonBlocking(bool on) {
  if (!sockets_->ioctlsocket) return false;
  ws::u_long mode = on ? 1 : 0;
  return sockets_->ioctlsocket(*socket_, ws::kFionbio, &mode) == 0;
}

// Messages are written with one send each and answered at once, so Nagle's
// algorithm would hold every request back for the peer's delayed
// acknowledgement. The send time-out bounds a send to a slave that stops
// reading.
void CSlaveNetMem::ConfigureConnection() {
  const ws::Winsock2Table& fn = *sockets_;
  if (!fn.setsockopt) return;
  const int noDelay = 1;
  fn.setsockopt(*socket_, ws::kIpprotoTcp, ws::kTcpNoDelay, reinterpret_cast<const char*>(&noDelay),
                static_cast<ws::socklen>(sizeof noDelay));
  const ws::DWORD sendTimeout = static_cast<ws::DWORD>(transferTimeoutMs_);
  fn.setsockopt(*socket_, ws::kSolSocket, ws::kSoSndTimeo, reinterpret_cast<const char*>(&sendTimeout),
                static_cast<ws::socklen>(sizeof sendTimeout));
}

void CSlaveNetMem::CloseSocket(bool graceful) {
  const ws::Winsock2Table& fn = *sockets_;
  if (connecting_) graceful = false;  // nothing was sent on it
  connecting_ = false;
  if (IsConnected()) {
    if (graceful && fn.shutdown) {
      // FIN first, so that a message just sent (msgClose) reaches the slave;
      // then read off what is already pending, without waiting, so that the
      // close does not turn into a reset.
      fn.shutdown(*socket_, ws::kSdSend);
      char sink[512];
      for (int i = 0; i < kMaxDrainReads && fn.recv && SelectReadable(0) == 1; ++i) {
        if (fn.recv(*socket_, sink, static_cast<int>(sizeof sink), 0) <= 0) break;
      }
    }
    if (fn.closesocket) fn.closesocket(*socket_);
  }
  *socket_ = ws::kInvalidSocket;
  readable_ = false;
  aheadBegin_ = aheadEnd_ = 0;
  if (block_) block_->sideBAttached = 0;
}

bool CSlaveNetMem::Disconnect() {
  if (!block_) return false;
  if (IsConnected()) CloseSocket(true);
  return true;
}

// ---- sending ----

// [audio-thread] Bounded: each blocking send returns within the socket's send
// time-out, and the loop gives up once the transfer time-out has passed or
// after kMaxSendStalls pauses of kStallSleepMs.
int CSlaveNetMem::SendLoop(ws::WSABUF* parts, int count, int64_t* sent) {
  const ws::Winsock2Table& fn = *sockets_;
  *sent = 0;
  int stalls = 0;
  const uint32_t start = tovik::platform::TickCount();
  int first = 0;
  while (first < count) {
    if (*sent > 0 || stalls > 0) {
      if (Elapsed(start) >= static_cast<uint32_t>(transferTimeoutMs_)) return kSendLoopStalled;
    }
    int64_t done = 0;
    int result = -1;
    if (fn.WSASend) {
      // One gathered send for everything that remains, straight from the block.
      ws::DWORD bytes = 0;
      result = fn.WSASend(*socket_, parts + first, static_cast<ws::DWORD>(count - first), &bytes, 0, nullptr,
                          nullptr);
      if (result == 0) done = bytes;
    } else if (fn.send) {
      const int bytes = fn.send(*socket_, parts[first].buf, static_cast<int>(parts[first].len), 0);
      result = bytes < 0 ? -1 : 0;
      if (bytes > 0) done = bytes;
    }
    if (result == 0 && done > 0) {
      *sent += done;
      while (first < count && done >= static_cast<int64_t>(parts[first].len)) {
        done -= parts[first].len;
        ++first;
      }
      if (first < count) {
        parts[first].buf += done;
        parts[first].len -= static_cast<ws::u_long>(done);
      }
      continue;
    }
    if (result != 0) {
      if (!fn.WSAGetLastError) return kSendLoopNoErrorCode;
      const int error = fn.WSAGetLastError();
      if (error == ws::kWsaEintr) {
        ++stalls;  // interrupted: try again, within the time bound
        continue;
      }
      if (error != ws::kWsaEwouldblock) return error;
    }
    if (++stalls > kMaxSendStalls) return kSendLoopStalled;
    tovik::platform::SleepMs(kStallSleepMs);
  }
  return 0;
}

bool CSlaveNetMem::Signal() {
  if (!block_ || !(IsAttachedA() || IsAttachedB())) {
    trace_("Signal() - preconditions wrong\n");
    return false;
  }
  const int32_t code = block_->msgCode;
  if (!IsConnected()) {
    trace_("Signal(%d) not connected!\n", code);
    return false;
  }

  ws::WSABUF parts[8];
  int count = 0;
  bool valid = true;
  AddPart(parts, count, &block_->msgCode, 4);
  switch (code) {
    case msgHello:
      AddPart(parts, count, &block_->sideAIdent1, kHelloBytes);
      break;
    case msgSetIo:
      AddPart(parts, count, block_->payload, kSetIoBytes);
      break;
    case msgSetSampleRate:
    case msgSetBlockSize:
      AddPart(parts, count, block_->payload, 4);
      break;
    case msgTimeInfo:
      AddPart(parts, count, block_->payload, kTimeInfoBytes);
      break;
    case msgProcess: {
      // Time record, event length and events, bytes per sample, C and N, then
      // C x N x B bytes of planar audio, all taken where they lie.
      const int64_t events = block_->outEventLength;
      const int64_t channels = block_->inputChannels;
      const int64_t frames = block_->frames;
      const int64_t width = bytesPerSample_;
      int64_t audio = 0;
      if (events < 0 || events > kEventAreaSize) {
        block_->outEventLength = 0;  // cannot be sent; never offered again
        valid = false;
      }
      if (channels < 0 || frames < 0 || width < 0) {
        valid = false;
      } else if (channels != 0 && frames != 0 && width != 0) {
        audio = channels * frames;  // below 2^62
        if (audio > kAudioAreaSize || audio * width > kAudioAreaSize) valid = false;
        audio *= width;
      }
      AddPart(parts, count, block_->payload, kTimeInfoBytes);
      AddPart(parts, count, &block_->outEventLength, 4);
      if (valid) AddPart(parts, count, block_->outEvents, events);
      AddPart(parts, count, &bytesPerSample_, 4);
      AddPart(parts, count, &block_->inputChannels, 8);  // C and N lie side by side
      if (valid) AddPart(parts, count, block_->wireAudio, audio);
      break;
    }
    default:
      break;  // the code alone
  }

  int64_t sent = 0;
  const int result = valid ? SendLoop(parts, count, &sent) : kSendLoopStalled;
  // Once the code of a msgProcess has gone out, its events count as sent, also
  // when a later part fails; when the code itself fails they stay queued.
  if (code == msgProcess && sent >= 4) block_->outEventLength = 0;
  if (result != 0) {
    trace_("Signal(%d) failed!\n", code);
    CloseSocket(false);
    block_->sideAAttached = 0;
    return false;
  }
  return true;
}

// ---- receiving ----

int CSlaveNetMem::SelectReadable(int timeoutMs) {
  const ws::Winsock2Table& fn = *sockets_;
  if (!fn.select) return -1;
  if (timeoutMs < 0) timeoutMs = 0;
  const uint32_t start = tovik::platform::TickCount();
  for (;;) {
    const uint32_t spent = Elapsed(start);
    const int left = spent >= static_cast<uint32_t>(timeoutMs) ? 0 : timeoutMs - static_cast<int>(spent);
    ws::fd_set readable = SetOf(*socket_);
    const ws::timeval tv = Timeval(left);
    const int ready = fn.select(0, &readable, nullptr, nullptr, &tv);
    if (ready < 0 && left > 0 && LastError() == ws::kWsaEintr) continue;  // interrupted: wait the rest
    if (ready < 0) return -1;
    return ready == 1 && readable.fd_count == 1 ? 1 : 0;
  }
}

int32_t CSlaveNetMem::TakeReadAhead(char* data, int32_t n) {
  const int32_t available = aheadEnd_ - aheadBegin_;
  const int32_t count = available < n ? available : n;
  if (count <= 0) return 0;
  std::memcpy(data, readAhead_ + aheadBegin_, static_cast<size_t>(count));
  aheadBegin_ += count;
  if (aheadBegin_ == aheadEnd_) aheadBegin_ = aheadEnd_ = 0;
  return count;
}

// [audio-thread] Polls in kPollSliceMs slices and stops once the transfer
// time-out has passed since the message began.
int32_t CSlaveNetMem::ReceiveLoop(void* data, int32_t n, bool keepWaiting) {
  const ws::Winsock2Table& fn = *sockets_;
  if (!data || n <= 0) return 0;
  char* out = static_cast<char*>(data);
  int32_t received = TakeReadAhead(out, n);
  if (received > 0 && !keepWaiting) return received;
  while (received < n) {
    if (TransferExpired()) break;
    if (!readable_) {
      const int ready = SelectReadable(kPollSliceMs);
      if (ready < 0) break;
      if (ready == 0) {
        if (!keepWaiting) break;
        continue;
      }
    }
    readable_ = false;
    if (!fn.recv) break;
    // The read-ahead buffer is empty here: everything in it was taken first.
    const int32_t wanted = n - received;
    const bool direct = wanted >= kReadAheadBytes;
    const int bytes = direct ? fn.recv(*socket_, out + received, wanted, 0)
                             : fn.recv(*socket_, reinterpret_cast<char*>(readAhead_), kReadAheadBytes, 0);
    if (bytes > 0) {
      if (direct) {
        received += bytes;
      } else {
        aheadBegin_ = 0;
        aheadEnd_ = bytes;
        received += TakeReadAhead(out + received, wanted);
      }
      if (!keepWaiting) break;
      continue;
    }
    if (bytes < 0) {
      const int error = LastError();
      if (error == ws::kWsaEintr || error == ws::kWsaEwouldblock) continue;  // nothing lost: wait again
    }
    break;  // the peer closed, or the connection failed
  }
  return received;
}

bool CSlaveNetMem::Wait(int timeoutMs) {
  if (!block_ || !(IsAttachedA() || IsAttachedB())) {
    trace_("Wait(%d) - preconditions wrong\n", timeoutMs);
    return false;
  }
  if (!IsConnected()) {
    trace_("Wait(%d) - no connection\n", timeoutMs);
    return false;
  }
  // Bytes read ahead with the previous message are already here.
  if (aheadBegin_ == aheadEnd_) {
    if (SelectReadable(timeoutMs) != 1) {
      trace_("Wait(%d) - timeout\n", timeoutMs);
      return false;
    }
    readable_ = true;
  }
  messageStart_ = tovik::platform::TickCount();
  if (!ReadMessage()) {
    trace_("Wait(%d) - failed\n", timeoutMs);
    CloseSocket(false);
    return false;
  }
  return true;
}

bool CSlaveNetMem::ReadMessage() {
  int32_t code = kMsgFailed;
  if (!ReceiveExact(&code, 4)) return false;  // the code field keeps its old value
  block_->msgCode = code;
  switch (code) {
    case kMsgFailed:
      return false;
    case msgHelloReply: {
      uint8_t ident[kHelloBytes];
      if (!ReceiveExact(ident, kHelloBytes)) return false;
      block_->sideBAttached = 1;
      block_->sideBIdent1 = ident[0];
      block_->sideBIdent2 = ident[1];
      return true;
    }
    case msgSetIo:
    case msgSetIoReply:
      return ReceiveExact(block_->payload, kSetIoBytes);
    case msgSetSampleRate:
      return ReceiveExact(block_->payload, kSampleRateBytes);
    case msgSetBlockSize: {
      // The slave's msgSetBlockSize is 4 bytes and then a time record that
      // overwrites them: 92 bytes in all.
      const bool first = ReceiveExact(block_->payload, kBlockSizeBytes);
      const bool second = ReceiveExact(block_->payload, kTimeInfoBytes);
      return first && second;
    }
    case msgTimeInfo:
      return ReceiveExact(block_->payload, kTimeInfoBytes);
    case msgGetInfo:
      return ReceiveExact(block_->payload, kGetInfoReplyBytes);
    case msgEvents:
      return ReadEvents();
    case msgProcess:
      return ReadAudio();
    default:
      return true;  // a code without payload
  }
}

bool CSlaveNetMem::ReadEvents() {
  int32_t length = 0;
  if (!ReceiveExact(&length, 4)) return false;
  if (length < 0 || length > kEventAreaSize) return false;  // would pass the end of the area
  block_->inEventLength = length;
  if (length == 0) return true;
  if (!ReceiveExact(block_->inEvents, length)) {
    block_->inEventLength = 0;  // records that did not all arrive are never handed on
    return false;
  }
  return true;
}

// [audio-thread] The reply's counts are checked before anything is stored:
// C x N x B bytes must fit the wire audio area and C rows of R floats the
// output float area. Each row receives at most R samples.
bool CSlaveNetMem::ReadAudio() {
  int32_t header[3] = {};  // B, C, N
  if (!ReceiveExact(header, static_cast<int32_t>(sizeof header))) return false;
  const int64_t width = header[0];
  const int64_t channels = header[1];
  const int64_t frames = header[2];
  if (width < 0 || channels < 0 || frames < 0) return false;
  const int32_t stride = OutputRowStride();
  if (stride < 0 || channels * stride > kOutputFloatCount) return false;
  int64_t bytes = 0;
  if (width != 0) {
    if (channels * frames > kAudioAreaSize) return false;
    bytes = channels * frames * width;
    if (bytes > kAudioAreaSize) return false;
  }

  bytesPerSample_ = header[0];
  block_->outputChannels = header[1];
  block_->outputFrames = header[2];
  if (bytes > 0 && !ReceiveExact(block_->wireAudio, static_cast<int32_t>(bytes))) return false;

  if (width < 1 || width > kMaxBytesPerSample) return true;  // rows stay as they were
  const int32_t count = static_cast<int32_t>(frames < stride ? frames : stride);
  if (count == 0) return true;
  const unsigned char* source = block_->wireAudio;
  for (int32_t c = 0; c < header[1]; ++c, source += frames * width) {
    float* row = OutputChannel(c);
    if (row) DecodeChannel(header[0], source, row, count);
  }
  return true;
}
