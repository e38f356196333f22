// The probe's sockets on Windows (Winsock 2, linked by tovik-host itself).
// Winsock's headers come before windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <chrono>
#include <mutex>

#include "SlaveProbe.h"

namespace tovik::host::probe {
namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point After(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

timeval Left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  if (left < 0) left = 0;
  timeval t;
  t.tv_sec = static_cast<long>(left / 1000000);
  t.tv_usec = static_cast<long>(left % 1000000);
  return t;
}

// Winsock started once for the process (never stopped: the process ends first).
bool StartWinsock(std::string& error) {
  static std::once_flag once;
  static int status = 0;
  std::call_once(once, []() {
    WSADATA data;
    status = WSAStartup(MAKEWORD(2, 2), &data);
  });
  if (status != 0) error = "Windows Sockets did not start (error " + std::to_string(status) + ")";
  return status == 0;
}

std::string ErrorText(int code) {
  char text[256] = "";
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(code), 0, text, sizeof(text), nullptr);
  std::string result(text, n);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.'))
    result.pop_back();
  return result.empty() ? "error " + std::to_string(code) : result;
}

// 1: ready; 0: the deadline ran out; -1: an error (the connection failed).
int Wait(SOCKET s, bool forWrite, Clock::time_point deadline) {
  fd_set ready, failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(s, &ready);
  FD_SET(s, &failed);
  timeval t = Left(deadline);
  const int n = select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &t);
  if (n == 0) return 0;
  if (n < 0 || FD_ISSET(s, &failed)) return -1;
  return 1;
}

class CSocket {
 public:
  explicit CSocket(SOCKET handle) : s(handle) {}
  ~CSocket() {
    if (s != INVALID_SOCKET) closesocket(s);
  }
  CSocket(const CSocket&) = delete;
  CSocket& operator=(const CSocket&) = delete;
  SOCKET s;
};

}  // namespace

bool Resolve(const std::string& host, int port, std::vector<Address>& addresses, std::string& error) {
  if (!StartWinsock(error)) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  const int status = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (status != 0) {
    error = status == WSAHOST_NOT_FOUND || status == WSANO_DATA ? "name not found" : ErrorText(status);
    return false;
  }
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
    Address address;
    const auto* bytes = reinterpret_cast<const unsigned char*>(a->ai_addr);
    address.bytes.assign(bytes, bytes + a->ai_addrlen);
    address.family = a->ai_family;
    char text[INET6_ADDRSTRLEN] = "";
    if (getnameinfo(a->ai_addr, static_cast<int>(a->ai_addrlen), text, sizeof(text), nullptr, 0,
                    NI_NUMERICHOST) != 0)
      text[0] = '\0';
    address.text = a->ai_family == AF_INET6 ? "[" + std::string(text) + "]:" + service
                                            : std::string(text) + ":" + service;
    addresses.push_back(std::move(address));
  }
  freeaddrinfo(list);
  return true;
}

ProbeAttempt Try(const Address& address, const std::vector<unsigned char>& handshake,
                 const ProbeSettings& settings) {
  ProbeAttempt attempt;
  attempt.address = address.text;
  if (!StartWinsock(attempt.detail)) return attempt;
  CSocket socket(::socket(address.family, SOCK_STREAM, IPPROTO_TCP));
  if (socket.s == INVALID_SOCKET) {
    attempt.detail = ErrorText(WSAGetLastError());
    return attempt;
  }
  u_long nonBlocking = 1;
  ioctlsocket(socket.s, FIONBIO, &nonBlocking);

  // The connection, bounded. A failed attempt shows in the exception set.
  const auto* where = reinterpret_cast<const sockaddr*>(address.bytes.data());
  int error = 0;
  if (connect(socket.s, where, static_cast<int>(address.bytes.size())) != 0) {
    error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINPROGRESS) {
      const int ready = Wait(socket.s, true, After(settings.connectSeconds));
      if (ready == 0) {
        attempt.outcome = ProbeOutcome::kNoAnswer;
        return attempt;
      }
      error = 0;
      int length = sizeof(error);
      if (getsockopt(socket.s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
        error = WSAGetLastError();
      if (ready < 0 && error == 0) error = WSAECONNREFUSED;
    }
  }
  if (error != 0) {
    attempt.outcome = error == WSAECONNREFUSED ? ProbeOutcome::kRefused
                      : error == WSAETIMEDOUT  ? ProbeOutcome::kNoAnswer
                                               : ProbeOutcome::kConnectFailed;
    attempt.detail = ErrorText(error);
    return attempt;
  }

  unsigned char answer[4];
  size_t received = 0;
  bool closed = false;
  const Clock::time_point sendDeadline = After(settings.answerSeconds);
  size_t sent = 0;
  while (sent < handshake.size() && !closed) {
    const int n = send(socket.s, reinterpret_cast<const char*>(handshake.data() + sent),
                       static_cast<int>(handshake.size() - sent), 0);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
      if (Wait(socket.s, true, sendDeadline) == 0) break;
    } else {
      closed = true;
    }
  }
  const Clock::time_point deadline = After(settings.answerSeconds);
  while (!closed && received < sizeof(answer)) {
    if (Wait(socket.s, false, deadline) == 0) break;
    const int n = recv(socket.s, reinterpret_cast<char*>(answer + received),
                       static_cast<int>(sizeof(answer) - received), 0);
    if (n > 0) {
      received += static_cast<size_t>(n);
    } else if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
      closed = true;
    }
  }
  attempt.outcome = ClassifyAnswer(answer, received, closed);
  return attempt;
}

}  // namespace tovik::host::probe
