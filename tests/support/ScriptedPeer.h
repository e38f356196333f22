// An in-process stand-in for the slave: listens on 127.0.0.1 on an ephemeral
// port, accepts one connection and lets a test read the exact bytes that the
// plug-in sent and write any bytes back. Every wait is bounded.
//
// It talks through the same Winsock table as the plug-in (its own
// CWinsock2Dll), so it builds wherever the link builds. One thread at a time
// may use an object; a responder thread may own it while the test drives the
// plug-in side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sockets/Winsock2Dll.h"

class ScriptedPeer {
 public:
  static constexpr int kDefaultTimeoutMs = 2000;

  // One message from the plug-in, split into its parts.
  struct Message {
    int32_t code = 0;
    std::vector<unsigned char> payload;  // fixed-size payload (msgHello, msgSetIo, ...)
    // msgProcess only:
    std::vector<unsigned char> timeInfo;  // 88 bytes
    std::vector<unsigned char> events;    // the event records
    int32_t bytesPerSample = 0;
    int32_t channels = 0;
    int32_t frames = 0;
    std::vector<unsigned char> audio;
  };

  ScriptedPeer();
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  bool Listening() const { return listener_ != ws::kInvalidSocket; }
  unsigned Port() const { return port_; }

  // Accepts the plug-in's connection (TCP_NODELAY, bounded sends).
  bool Accept(int timeoutMs = kDefaultTimeoutMs);
  bool Connected() const { return connection_ != ws::kInvalidSocket; }

  // Reads exactly n bytes within timeoutMs.
  bool ReadExact(void* data, size_t n, int timeoutMs = kDefaultTimeoutMs);
  // Reads n bytes; fewer when they do not all arrive in time.
  std::vector<unsigned char> Read(size_t n, int timeoutMs = kDefaultTimeoutMs);
  // Reads one message of the plug-in, knowing each code's layout.
  bool ReadMessage(Message& message, int timeoutMs = kDefaultTimeoutMs);
  // True when no byte becomes readable within ms (and the connection is open).
  bool NothingArrives(int ms);
  // True when the plug-in closes its end within timeoutMs; pending bytes are
  // read and dropped.
  bool SeesClose(int timeoutMs = kDefaultTimeoutMs);

  bool Write(const void* data, size_t n);
  bool Write(const std::vector<unsigned char>& bytes) { return Write(bytes.data(), bytes.size()); }
  bool WriteInt32(int32_t value) { return Write(&value, sizeof value); }

  // Closes the accepted connection (and, with StopListening, the listener).
  void CloseConnection();
  void StopListening();
  // Receive buffer of the connection, so that a test can fill it quickly.
  void SetReceiveBuffer(int bytes);

  const ws::Winsock2Table& Sockets() const { return dll_.fn; }

  // Little-endian helpers for composing and checking wire bytes.
  static void PutInt32(std::vector<unsigned char>& out, int32_t value);
  static void PutFloat(std::vector<unsigned char>& out, float value);
  static void PutBytes(std::vector<unsigned char>& out, const void* data, size_t n);
  static int32_t Int32At(const std::vector<unsigned char>& bytes, size_t offset);

 private:
  int WaitReadable(ws::SOCKET s, int timeoutMs);

  CWinsock2Dll dll_;
  ws::SOCKET listener_ = ws::kInvalidSocket;
  ws::SOCKET connection_ = ws::kInvalidSocket;
  unsigned port_ = 0;
};
