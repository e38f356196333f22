#include "FuzzHost.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/UserStore.h"
#include "relay/BuildConstants.h"

namespace tovik::fuzz {
namespace {

VstIntPtr VSTCALLBACK Dispatch(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void* ptr, float) {
  switch (opcode) {
    case audioMasterVersion:
      return 2400;
    case audioMasterCanDo:
      return HostAnswers().canDo;
    case audioMasterIOChanged:
      return 1;
    case audioMasterProcessEvents:
      if (HostAnswers().onEvents) HostAnswers().onEvents(static_cast<const VstEvents*>(ptr));
      return 1;
    default:
      return 0;
  }
}

// The one stream being served; the socket functions are plain function
// pointers without a context argument.
ByteStreamSocket* current = nullptr;

}  // namespace

FuzzHostAnswers& HostAnswers() {
  static FuzzHostAnswers answers;
  return answers;
}

audioMasterCallback HostCallback() {
  return &Dispatch;
}

const char* UsePrivateStore() {
  static std::string folder;
  if (!folder.empty()) return folder.c_str();
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  char name[256];
  std::snprintf(name, sizeof name, "%s/tovik-fuzz-%d", base, static_cast<int>(getpid()));
  folder = name;
  setenv("XDG_CONFIG_HOME", name, 1);
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  });
  tovik::platform::UserStore store(build::kStoreKey);
  store.WriteInt("ConfigDlg", 0);
  store.Close();
  return folder.c_str();
}

ByteStreamSocket::ByteStreamSocket() {
  table_.select = &Select;
  table_.recv = &Recv;
  table_.send = &Send;
  table_.WSASend = &WsaSend;
  table_.closesocket = &CloseSocket;
  table_.shutdown = &Shutdown;
  table_.WSAGetLastError = &LastError;
}

void ByteStreamSocket::Serve(const uint8_t* data, size_t size, size_t chunk) {
  data_ = data;
  size_ = size;
  pos_ = 0;
  chunk_ = chunk ? chunk : 1;
  current = this;
}

int ByteStreamSocket::Select(int, ws::fd_set* readable, ws::fd_set* writable, ws::fd_set* failed,
                             const ws::timeval*) {
  if (writable) writable->fd_count = 0;
  if (failed) failed->fd_count = 0;
  if (!readable || readable->fd_count != 1 || readable->fd_array[0] != kHandle) return -1;
  return 1;  // bytes or the end of the stream: both are readable
}

int ByteStreamSocket::Recv(ws::SOCKET s, char* data, int n, int) {
  if (s != kHandle || !current || n <= 0) return -1;
  size_t count = current->size_ - current->pos_;
  if (count > current->chunk_) count = current->chunk_;
  if (count > static_cast<size_t>(n)) count = static_cast<size_t>(n);
  std::memcpy(data, current->data_ + current->pos_, count);
  current->pos_ += count;
  return static_cast<int>(count);  // 0 at the end: the peer has closed
}

int ByteStreamSocket::Send(ws::SOCKET s, const char*, int n, int) {
  return s == kHandle ? n : -1;
}

int ByteStreamSocket::WsaSend(ws::SOCKET s, ws::WSABUF* parts, ws::DWORD count, ws::DWORD* sent, ws::DWORD,
                              ws::LPWSAOVERLAPPED, ws::LPWSAOVERLAPPED_COMPLETION_ROUTINE) {
  if (s != kHandle) return -1;
  ws::DWORD total = 0;
  for (ws::DWORD i = 0; i < count; ++i) total += parts[i].len;
  *sent = total;
  return 0;
}

int ByteStreamSocket::CloseSocket(ws::SOCKET) {
  return 0;
}
int ByteStreamSocket::Shutdown(ws::SOCKET, int) {
  return 0;
}
int ByteStreamSocket::LastError() {
  return ws::kWsaEconnreset;
}

}  // namespace tovik::fuzz
