#include "support/ScriptedPeer.h"

#include <chrono>
#include <cstring>

#include "link/TransferBlock.h"

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

constexpr int kSoRcvBuf = 0x1002;

}  // namespace

ScriptedPeer::ScriptedPeer() : dll_(true) {
  const ws::Winsock2Table& fn = dll_.fn;
  if (!fn.getaddrinfo || !fn.socket || !fn.bind || !fn.listen || !fn.getsockname) return;
  ws::addrinfo hints{};
  hints.ai_flags = ws::kAiPassive;
  hints.ai_family = ws::kAfInet;
  hints.ai_socktype = ws::kSockStream;
  hints.ai_protocol = ws::kIpprotoTcp;
  ws::addrinfo* list = nullptr;
  if (fn.getaddrinfo("127.0.0.1", "0", &hints, &list) != 0 || !list) return;
  ws::SOCKET s = fn.socket(ws::kAfInet, ws::kSockStream, ws::kIpprotoTcp);
  bool ok = s != ws::kInvalidSocket && fn.bind(s, list->ai_addr, 16) == 0 && fn.listen(s, 4) == 0;
  fn.freeaddrinfo(list);
  // The port lies in bytes 2 and 3 of an IPv4 socket address, most significant first.
  alignas(8) unsigned char address[128] = {};
  ws::socklen length = static_cast<ws::socklen>(sizeof address);
  ok = ok && fn.getsockname(s, reinterpret_cast<ws::sockaddr*>(address), &length) == 0;
  if (!ok) {
    if (s != ws::kInvalidSocket) fn.closesocket(s);
    return;
  }
  listener_ = s;
  port_ = static_cast<unsigned>(address[2]) << 8 | address[3];
}

ScriptedPeer::~ScriptedPeer() {
  CloseConnection();
  StopListening();
}

int ScriptedPeer::WaitReadable(ws::SOCKET s, int timeoutMs) {
  ws::fd_set set{};
  set.fd_count = 1;
  set.fd_array[0] = s;
  ws::timeval tv{};
  tv.tv_sec = static_cast<decltype(tv.tv_sec)>(timeoutMs / 1000);
  tv.tv_usec = static_cast<decltype(tv.tv_usec)>(timeoutMs % 1000 * 1000);
  return dll_.fn.select(0, &set, nullptr, nullptr, &tv);
}

bool ScriptedPeer::Accept(int timeoutMs) {
  const ws::Winsock2Table& fn = dll_.fn;
  if (!Listening() || Connected()) return false;
  if (WaitReadable(listener_, timeoutMs) != 1) return false;
  connection_ = fn.accept(listener_, nullptr, nullptr);
  if (!Connected()) return false;
  const int one = 1;
  fn.setsockopt(connection_, ws::kIpprotoTcp, ws::kTcpNoDelay, reinterpret_cast<const char*>(&one),
                static_cast<ws::socklen>(sizeof one));
  const ws::DWORD sendTimeout = kDefaultTimeoutMs;
  fn.setsockopt(connection_, ws::kSolSocket, ws::kSoSndTimeo, reinterpret_cast<const char*>(&sendTimeout),
                static_cast<ws::socklen>(sizeof sendTimeout));
  return true;
}

bool ScriptedPeer::ReadExact(void* data, size_t n, int timeoutMs) {
  if (!Connected()) return false;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char* out = static_cast<char*>(data);
  size_t got = 0;
  while (got < n) {
    if (WaitReadable(connection_, MsLeft(deadline)) != 1) return false;
    const size_t want = n - got > (1u << 30) ? (1u << 30) : n - got;
    const int bytes = dll_.fn.recv(connection_, out + got, static_cast<int>(want), 0);
    if (bytes <= 0) return false;
    got += static_cast<size_t>(bytes);
  }
  return true;
}

std::vector<unsigned char> ScriptedPeer::Read(size_t n, int timeoutMs) {
  std::vector<unsigned char> bytes;
  if (!Connected()) return bytes;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  bytes.resize(n);
  size_t got = 0;
  while (got < n && WaitReadable(connection_, MsLeft(deadline)) == 1) {
    const int r =
        dll_.fn.recv(connection_, reinterpret_cast<char*>(bytes.data() + got), static_cast<int>(n - got), 0);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  bytes.resize(got);
  return bytes;
}

bool ScriptedPeer::ReadMessage(Message& message, int timeoutMs) {
  message = Message{};
  if (!ReadExact(&message.code, 4, timeoutMs)) return false;
  size_t fixed = 0;
  switch (message.code) {
    case msgHello:
      fixed = kHelloBytes;
      break;
    case msgSetIo:
      fixed = kSetIoBytes;
      break;
    case msgSetSampleRate:
    case msgSetBlockSize:
      fixed = 4;
      break;
    case msgTimeInfo:
      fixed = kTimeInfoBytes;
      break;
    case msgProcess: {
      message.timeInfo.resize(kTimeInfoBytes);
      int32_t length = 0;
      if (!ReadExact(message.timeInfo.data(), kTimeInfoBytes, timeoutMs) ||
          !ReadExact(&length, 4, timeoutMs) || length < 0 || length > kEventAreaSize) {
        return false;
      }
      message.events.resize(static_cast<size_t>(length));
      if (length > 0 && !ReadExact(message.events.data(), message.events.size(), timeoutMs)) return false;
      int32_t header[3] = {};
      if (!ReadExact(header, sizeof header, timeoutMs)) return false;
      message.bytesPerSample = header[0];
      message.channels = header[1];
      message.frames = header[2];
      const int64_t bytes = static_cast<int64_t>(header[0]) * header[1] * header[2];
      if (bytes < 0 || bytes > kAudioAreaSize) return false;
      message.audio.resize(static_cast<size_t>(bytes));
      return bytes == 0 || ReadExact(message.audio.data(), message.audio.size(), timeoutMs);
    }
    default:
      break;
  }
  message.payload.resize(fixed);
  return fixed == 0 || ReadExact(message.payload.data(), fixed, timeoutMs);
}

bool ScriptedPeer::NothingArrives(int ms) {
  return Connected() && WaitReadable(connection_, ms) == 0;
}

bool ScriptedPeer::SeesClose(int timeoutMs) {
  if (!Connected()) return false;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char sink[4096];
  while (WaitReadable(connection_, MsLeft(deadline)) == 1) {
    const int r = dll_.fn.recv(connection_, sink, static_cast<int>(sizeof sink), 0);
    if (r <= 0) return true;  // end of stream, or a reset
  }
  return false;
}

bool ScriptedPeer::Write(const void* data, size_t n) {
  if (!Connected()) return false;
  const char* in = static_cast<const char*>(data);
  size_t sent = 0;
  while (sent < n) {
    const int r = dll_.fn.send(connection_, in + sent, static_cast<int>(n - sent), 0);
    if (r <= 0) return false;  // bounded by the send time-out
    sent += static_cast<size_t>(r);
  }
  return true;
}

void ScriptedPeer::CloseConnection() {
  if (!Connected()) return;
  dll_.fn.closesocket(connection_);
  connection_ = ws::kInvalidSocket;
}

void ScriptedPeer::StopListening() {
  if (!Listening()) return;
  dll_.fn.closesocket(listener_);
  listener_ = ws::kInvalidSocket;
}

void ScriptedPeer::SetReceiveBuffer(int bytes) {
  if (!Connected()) return;
  dll_.fn.setsockopt(connection_, ws::kSolSocket, kSoRcvBuf, reinterpret_cast<const char*>(&bytes),
                     static_cast<ws::socklen>(sizeof bytes));
}

void ScriptedPeer::PutInt32(std::vector<unsigned char>& out, int32_t value) {
  const auto u = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(u >> (8 * i)));
}

void ScriptedPeer::PutFloat(std::vector<unsigned char>& out, float value) {
  uint32_t bits = 0;
  std::memcpy(&bits, &value, 4);
  PutInt32(out, static_cast<int32_t>(bits));
}

void ScriptedPeer::PutBytes(std::vector<unsigned char>& out, const void* data, size_t n) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  out.insert(out.end(), bytes, bytes + n);
}

int32_t ScriptedPeer::Int32At(const std::vector<unsigned char>& bytes, size_t offset) {
  if (offset + 4 > bytes.size()) return 0;
  uint32_t u = 0;
  for (int i = 3; i >= 0; --i) u = u << 8 | bytes[offset + static_cast<size_t>(i)];
  return static_cast<int32_t>(u);
}
