// What every fuzz target shares: a host callback that answers like a plain
// VST 2.4 host, a private per-user store, and a fake socket library whose
// select and recv serve the fuzzer's bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/VstAbi.h"
#include "sockets/Winsock2Dll.h"

namespace tovik::fuzz {

// The host: version 2400, every capability in canDo answered with `canDo`,
// input/output changes accepted, no time information. Events handed to the
// host (audioMasterProcessEvents) go to `onEvents` when it is set.
struct FuzzHostAnswers {
  VstIntPtr canDo = 1;
  void (*onEvents)(const VstEvents* events) = nullptr;
};
FuzzHostAnswers& HostAnswers();
audioMasterCallback HostCallback();

// Points XDG_CONFIG_HOME at a fresh folder of this process (in /dev/shm when
// it exists, so that store writes cost no disk flush) and writes ConfigDlg=0.
// Returns the folder.
const char* UsePrivateStore();

// A connection that reads the bytes of one input: select reports the socket
// readable (also at the end, where recv then sees the peer close), recv hands
// out at most `chunk` bytes a call, send accepts everything.
class ByteStreamSocket {
 public:
  static constexpr ws::SOCKET kHandle = 42;

  ByteStreamSocket();
  const ws::Winsock2Table* Table() const { return &table_; }

  void Serve(const uint8_t* data, size_t size, size_t chunk);
  size_t Remaining() const { return size_ - pos_; }

 private:
  static int Select(int, ws::fd_set* readable, ws::fd_set* writable, ws::fd_set* failed, const ws::timeval*);
  static int Recv(ws::SOCKET s, char* data, int n, int flags);
  static int Send(ws::SOCKET s, const char* data, int n, int flags);
  static int WsaSend(ws::SOCKET s, ws::WSABUF* parts, ws::DWORD count, ws::DWORD* sent, ws::DWORD flags,
                     ws::LPWSAOVERLAPPED, ws::LPWSAOVERLAPPED_COMPLETION_ROUTINE);
  static int CloseSocket(ws::SOCKET s);
  static int Shutdown(ws::SOCKET s, int how);
  static int LastError();

  ws::Winsock2Table table_{};
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t pos_ = 0;
  size_t chunk_ = 1;
};

}  // namespace tovik::fuzz
