// Winsock functions over the platform's own sockets. Each adapter takes the
// Winsock constants and records and answers as the Windows function does:
// 0 for success, INVALID_SOCKET or SOCKET_ERROR on failure with the Winsock
// error code kept per thread for WSAGetLastError. A socket is the file
// descriptor's number.
//
// What the link calls on the host's audio thread (socket, connect, select,
// send, WSASend, recv, setsockopt, getsockopt, ioctlsocket, shutdown,
// closesocket, WSAGetLastError) allocates nothing, takes no lock and waits
// only as long as its arguments say: a blocking connect interrupted by a
// signal waits at most kInterruptedConnectLimitMs for its outcome, and select
// waits at most its time-out (a null time-out, which the link never passes,
// waits as long as Winsock's would). getaddrinfo allocates its list and may
// wait for name servers: the plug-in calls it on the host's main thread only.
//
// The last error lives in initial-exec thread-local storage: a dlopen'ed
// plug-in's first use on a thread then allocates nothing (glibc allocates a
// general-dynamic variable lazily, on the thread's first access).
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>

#include "sockets/SocketApi.h"
#include "sockets/WinsockAdapters.h"

namespace {

using ws::SOCKET;
using ws::socklen;

#if defined(__GNUC__)
__attribute__((tls_model("initial-exec"))) thread_local int lastError = 0;
#else
thread_local int lastError = 0;
#endif

// A blocking connect that a signal interrupted goes on in the background; its
// outcome is awaited this long at most (about Windows' own connect time-out).
constexpr int kInterruptedConnectLimitMs = 21000;

// Successful WSAStartup calls not yet matched by WSACleanup, process-wide.
std::atomic<int> startupCount{0};

// Winsock values that the POSIX numbers differ from or that only Winsock has.
constexpr int kWsaAfUnspec = ws::kAfUnspec;
constexpr int kWsaAfInet6 = ws::kAfInet6;
constexpr int kWsaSockDgram = 2;
constexpr int kWsaMsgOob = 0x1;
constexpr int kWsaMsgPeek = 0x2;
constexpr int kWsaMsgDontRoute = 0x4;
constexpr int kWsaMsgWaitAll = 0x8;
constexpr int kWsaAiCanonName = 0x2;
constexpr int kWsaAiNumericHost = 0x4;
constexpr int kWsaAiNumericServ = 0x8;
constexpr int kWsaAiAddrConfig = 0x400;
constexpr int kWsaSoReuseAddr = 0x0004;
constexpr int kWsaSoKeepAlive = 0x0008;
constexpr int kWsaSoBroadcast = 0x0020;
constexpr int kWsaSoLinger = 0x0080;
constexpr int kWsaSoSndBuf = 0x1001;
constexpr int kWsaSoRcvBuf = 0x1002;
constexpr int kWsaSoType = 0x1008;
constexpr long kWsaFionread = 0x4004667FL;
constexpr int kWsaSdReceive = 0;
constexpr uint16_t kHighestVersion = 0x0202;  // 2.2

constexpr int kWsaEbadf = 10009;
constexpr int kWsaEfault = 10014;
constexpr int kWsaEnoprotoopt = 10042;
constexpr int kWsaEafnosupport = 10047;
constexpr int kWsaEsocktnosupport = 10044;
constexpr int kWsaEopnotsupp = 10045;
constexpr int kWsaNotEnoughMemory = 8;
constexpr int kWsaTryAgain = 11002;
constexpr int kWsaNoRecovery = 11003;
constexpr int kWsaTypeNotFound = 10109;

struct ErrnoCode {
  int posix;
  int winsock;
};

// Windows reports a non-blocking connect in progress as WSAEWOULDBLOCK, not
// WSAEINPROGRESS. A send on a connection that the peer reset or that was shut
// down (EPIPE) is reported as the reset.
constexpr ErrnoCode kErrnoCodes[] = {
    {EINTR, ws::kWsaEintr},
    {EBADF, kWsaEbadf},
    {EACCES, 10013},
    {EFAULT, kWsaEfault},
    {EINVAL, ws::kWsaEinval},
    {EMFILE, 10024},
    {ENFILE, 10024},
    {EWOULDBLOCK, ws::kWsaEwouldblock},
    {EAGAIN, ws::kWsaEwouldblock},
    {EINPROGRESS, ws::kWsaEwouldblock},
    {EALREADY, 10037},
    {ENOTSOCK, ws::kWsaEnotsock},
    {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},
    {ENOPROTOOPT, kWsaEnoprotoopt},
    {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, kWsaEsocktnosupport},
    {EOPNOTSUPP, kWsaEopnotsupp},
    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, kWsaEafnosupport},
    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ENETRESET, 10052},
    {ECONNABORTED, ws::kWsaEconnaborted},
    {ECONNRESET, ws::kWsaEconnreset},
    {EPIPE, ws::kWsaEconnreset},
    {ENOBUFS, 10055},
    {ENOMEM, 10055},
    {EISCONN, 10056},
    {ENOTCONN, ws::kWsaEnotconn},
    {ESHUTDOWN, ws::kWsaEshutdown},
    {ETIMEDOUT, ws::kWsaEtimedout},
    {ECONNREFUSED, ws::kWsaEconnrefused},
    {ELOOP, 10062},
    {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
};

int WinsockCode(int posixError) {
  if (posixError == 0) return 0;
  for (const ErrnoCode& code : kErrnoCodes) {
    if (code.posix == posixError) return code.winsock;
  }
  return ws::kWsaEinval;
}

int Fail(int winsockError) {
  lastError = winsockError;
  return ws::kSocketError;
}

int FailErrno() {
  return Fail(WinsockCode(errno));
}

// The descriptor of a socket, or -1 for a value that cannot be one.
int Fd(SOCKET s) {
  return s <= static_cast<SOCKET>(INT_MAX) ? static_cast<int>(s) : -1;
}

bool IsNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags != -1 && (flags & O_NONBLOCK) != 0;
}

// An operation on a blocking socket that runs out of its SO_SNDTIMEO or
// SO_RCVTIMEO: Linux says EAGAIN, Windows WSAETIMEDOUT.
int FailTransfer(int fd) {
  const int error = errno;
  if ((error == EAGAIN || error == EWOULDBLOCK) && !IsNonBlocking(fd)) return Fail(ws::kWsaEtimedout);
  return Fail(WinsockCode(error));
}

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool TranslateFamily(int family, int* out) {
  switch (family) {
    case kWsaAfUnspec:
      *out = AF_UNSPEC;
      return true;
    case ws::kAfInet:
      *out = AF_INET;
      return true;
    case kWsaAfInet6:
      *out = AF_INET6;
      return true;
    default:
      return false;
  }
}

bool TranslateSocketType(int type, int* out) {
  switch (type) {
    case 0:
      *out = 0;
      return true;
    case ws::kSockStream:
      *out = SOCK_STREAM;
      return true;
    case kWsaSockDgram:
      *out = SOCK_DGRAM;
      return true;
    default:
      return false;
  }
}

bool TranslateMessageFlags(int flags, int* out) {
  int result = 0;
  if ((flags & kWsaMsgOob) != 0) result |= MSG_OOB;
  if ((flags & kWsaMsgPeek) != 0) result |= MSG_PEEK;
  if ((flags & kWsaMsgDontRoute) != 0) result |= MSG_DONTROUTE;
  if ((flags & kWsaMsgWaitAll) != 0) result |= MSG_WAITALL;
  if ((flags & ~(kWsaMsgOob | kWsaMsgPeek | kWsaMsgDontRoute | kWsaMsgWaitAll)) != 0) return false;
  *out = result;
  return true;
}

// A send never raises SIGPIPE in the host's process.
#if defined(MSG_NOSIGNAL)
constexpr int kNoSignal = MSG_NOSIGNAL;
#else
constexpr int kNoSignal = 0;
#endif

// Sockets whose non-blocking connect is in progress. Winsock's select reports
// such a socket in the write set when the connect succeeds and in the except
// set (only) when it fails, where poll reports both as a write event. Fixed
// slots, lock-free; when all are taken a failed connect shows as writable
// (with SO_ERROR set), as on BSD systems.
constexpr int kPendingSlots = 64;
std::atomic<int> pendingSlots[kPendingSlots];  // descriptor + 1; 0 is a free slot
std::atomic<int> pendingCount{0};              // slots in use: 0 makes every look-up free

void ForgetPending(int fd) {
  if (pendingCount.load(std::memory_order_acquire) == 0) return;
  for (std::atomic<int>& slot : pendingSlots) {
    int expected = fd + 1;
    if (slot.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
      pendingCount.fetch_sub(1, std::memory_order_acq_rel);
    }
  }
}

void RememberPending(int fd) {
  ForgetPending(fd);
  for (std::atomic<int>& slot : pendingSlots) {
    int expected = 0;
    if (slot.compare_exchange_strong(expected, fd + 1, std::memory_order_acq_rel)) {
      pendingCount.fetch_add(1, std::memory_order_acq_rel);
      return;
    }
  }
}

bool IsPending(int fd) {
  if (pendingCount.load(std::memory_order_acquire) == 0) return false;
  for (const std::atomic<int>& slot : pendingSlots) {
    if (slot.load(std::memory_order_acquire) == fd + 1) return true;
  }
  return false;
}

// ---- the adapters ----

SOCKET WsSocket(int af, int type, int protocol) {
  int family = 0;
  int socketType = 0;
  if (!TranslateFamily(af, &family)) {
    lastError = kWsaEafnosupport;
    return ws::kInvalidSocket;
  }
  if (!TranslateSocketType(type, &socketType)) {
    lastError = kWsaEsocktnosupport;
    return ws::kInvalidSocket;
  }
  // IPPROTO_TCP (6) and IPPROTO_UDP (17) have the same numbers here.
  const int fd = ::socket(family, socketType | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    lastError = WinsockCode(errno);
    return ws::kInvalidSocket;
  }
  return static_cast<SOCKET>(fd);
}

int WsClosesocket(SOCKET s) {
  const int fd = Fd(s);
  if (fd < 0) return Fail(ws::kWsaEnotsock);
  ForgetPending(fd);
  if (::close(fd) != 0 && errno != EINTR) return FailErrno();  // after EINTR the descriptor is gone
  return 0;
}

int WsConnect(SOCKET s, const ws::sockaddr* name, socklen namelen) {
  const int fd = Fd(s);
  if (fd < 0) return Fail(ws::kWsaEnotsock);
  if (name == nullptr || namelen <= 0) return Fail(kWsaEfault);
  if (::connect(fd, name, static_cast<socklen_t>(namelen)) == 0) return 0;
  if (errno == EINPROGRESS) {
    RememberPending(fd);
    return Fail(ws::kWsaEwouldblock);
  }
  if (errno != EINTR) return FailErrno();
  // A signal interrupted a blocking connect, which goes on in the background:
  // wait for its outcome as the uninterrupted call would have.
  pollfd p{fd, POLLOUT, 0};
  const int64_t deadline = NowMs() + kInterruptedConnectLimitMs;
  int ready;
  for (;;) {
    int64_t left = deadline - NowMs();
    if (left < 0) left = 0;
    ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready >= 0 || errno != EINTR) break;
  }
  if (ready < 0) return FailErrno();
  if (ready == 0) return Fail(ws::kWsaEtimedout);
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return FailErrno();
  return error == 0 ? 0 : Fail(WinsockCode(error));
}

int WsSend(SOCKET s, const char* buf, int len, int flags) {
  const int fd = Fd(s);
  if (fd < 0) return Fail(ws::kWsaEnotsock);
  int nativeFlags = 0;
  if (!TranslateMessageFlags(flags, &nativeFlags)) return Fail(kWsaEopnotsupp);
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(kWsaEfault);
  ssize_t sent;
  do {
    sent = ::send(fd, buf, static_cast<size_t>(len), nativeFlags | kNoSignal);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return FailTransfer(fd);
  ForgetPending(fd);  // the connect has certainly finished
  return static_cast<int>(sent);
}

int WsRecv(SOCKET s, char* buf, int len, int flags) {
  const int fd = Fd(s);
  if (fd < 0) return Fail(ws::kWsaEnotsock);
  int nativeFlags = 0;
  if (!TranslateMessageFlags(flags, &nativeFlags)) return Fail(kWsaEopnotsupp);
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(kWsaEfault);
  ssize_t received;
  do {
    received = ::recv(fd, buf, static_cast<size_t>(len), nativeFlags);
  } while (received < 0 && errno == EINTR);
  if (received < 0) return FailTransfer(fd);
  ForgetPending(fd);
  return static_cast<int>(received);
}

int WsWSASend(SOCKET s, ws::WSABUF* buffers, ws::DWORD bufferCount, ws::DWORD* bytesSent, ws::DWORD flags,
              ws::LPWSAOVERLAPPED overlapped, ws::LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
  const int fd = Fd(s);
  if (fd < 0) return Fail(ws::kWsaEnotsock);
  if (overlapped != nullptr || completion != nullptr) return Fail(kWsaEopnotsupp);  // blocking use only
  int nativeFlags = 0;
  if (!TranslateMessageFlags(static_cast<int>(flags), &nativeFlags)) return Fail(kWsaEopnotsupp);
  if (buffers == nullptr && bufferCount > 0) return Fail(kWsaEfault);
  // Gathered in groups of up to 64 buffers, straight from the caller's memory.
  constexpr ws::DWORD kGroup = 64;
  iovec vectors[kGroup];
  uint64_t total = 0;
  for (ws::DWORD first = 0; first < bufferCount || (first == 0 && bufferCount == 0);) {
    const ws::DWORD count = bufferCount - first < kGroup ? bufferCount - first : kGroup;
    size_t groupBytes = 0;
    for (ws::DWORD i = 0; i < count; ++i) {
      vectors[i].iov_base = buffers[first + i].buf;
      vectors[i].iov_len = buffers[first + i].len;
      groupBytes += buffers[first + i].len;
    }
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = count;
    ssize_t sent;
    do {
      sent = ::sendmsg(fd, &message, nativeFlags | kNoSignal);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
      if (total == 0) return FailTransfer(fd);
      break;  // report what went out before the failure
    }
    total += static_cast<uint64_t>(sent);
    if (static_cast<size_t>(sent) < groupBytes || count == 0) break;
    first += count;
  }
  ForgetPending(fd);
  if (bytesSent != nullptr) *bytesSent = static_cast<ws::DWORD>(total);
  return 0;
}

// select over Winsock's fd_set (a count and a list of sockets) with poll, so
// any socket number works. The sets are rewritten to the ready sockets and the
// result counts each ready socket once per set. A signal does not end the
// wait early: poll is repeated for the time that remains.
int WsSelect(int /*nfds: ignored, as by Winsock*/, ws::fd_set* readfds, ws::fd_set* writefds,
             ws::fd_set* exceptfds, const ws::timeval* timeout) {
  ws::fd_set* const sets[3] = {readfds, writefds, exceptfds};
  const short events[3] = {POLLIN, POLLOUT, POLLPRI};
  pollfd polls[3 * ws::kFdSetSize];
  int count = 0;
  for (int set = 0; set < 3; ++set) {
    if (sets[set] == nullptr) continue;
    if (sets[set]->fd_count > static_cast<unsigned>(ws::kFdSetSize)) return Fail(ws::kWsaEinval);
    for (unsigned i = 0; i < sets[set]->fd_count; ++i) {
      const int fd = Fd(sets[set]->fd_array[i]);
      if (fd < 0) return Fail(ws::kWsaEnotsock);
      polls[count++] = pollfd{fd, events[set], 0};
    }
  }
  if (count == 0) return Fail(ws::kWsaEinval);  // Winsock refuses a wait on nothing

  int64_t waitMs = -1;
  if (timeout != nullptr) {
    const int64_t sec = timeout->tv_sec < 0 ? 0 : timeout->tv_sec;
    const int64_t usec = timeout->tv_usec < 0 ? 0 : timeout->tv_usec;
    waitMs = sec * 1000 + (usec + 999) / 1000;  // round up: a short wait never becomes a busy poll
    if (waitMs > INT_MAX) waitMs = INT_MAX;
  }
  const int64_t deadline = waitMs >= 0 ? NowMs() + waitMs : 0;
  int ready;
  for (;;) {
    ready = ::poll(polls, static_cast<nfds_t>(count), static_cast<int>(waitMs));
    if (ready >= 0 || errno != EINTR) break;
    if (waitMs >= 0) {
      waitMs = deadline - NowMs();
      if (waitMs < 0) waitMs = 0;
    }
  }
  if (ready < 0) return FailErrno();

  // Whether each socket was still connecting when the wait ended, taken for
  // every entry before any is forgotten (one socket may be in two sets).
  bool connecting[3 * ws::kFdSetSize];
  for (int i = 0; i < count; ++i) connecting[i] = IsPending(polls[i].fd);
  int total = 0;
  int index = 0;
  for (int set = 0; set < 3; ++set) {
    if (sets[set] == nullptr) continue;
    unsigned kept = 0;
    for (unsigned i = 0; i < sets[set]->fd_count; ++i, ++index) {
      const short revents = polls[index].revents;
      if ((revents & POLLNVAL) != 0) return Fail(ws::kWsaEnotsock);
      const bool failed = (revents & (POLLERR | POLLHUP)) != 0;
      bool isReady;
      if (set == 0) {
        isReady = (revents & POLLIN) != 0 || (failed && !connecting[index]);
      } else if (set == 1) {
        isReady =
            connecting[index] ? (revents & POLLOUT) != 0 && !failed : (revents & POLLOUT) != 0 || failed;
      } else {
        isReady = (revents & POLLPRI) != 0 || (failed && connecting[index]);
      }
      if (isReady) sets[set]->fd_array[kept++] = sets[set]->fd_array[i];
    }
    sets[set]->fd_count = kept;
    total += static_cast<int>(kept);
  }
  for (int i = 0; i < count; ++i) {
    if (connecting[i] && (polls[i].revents & (POLLOUT | POLLIN | POLLERR | POLLHUP)) != 0) {
      ForgetPending(polls[i].fd);  // the connect has finished, one way or the other
    }
  }
  return total;
}

// Socket options: Winsock levels and names, Winsock value layouts.
enum class Option { kUnknown, kInt, kMilliseconds, kError, kLinger };

struct OptionMap {
  int level;
  int name;
  Option kind;
};

OptionMap TranslateOption(int level, int name) {
  if (level == ws::kSolSocket) {
    switch (name) {
      case ws::kSoSndTimeo:
        return {SOL_SOCKET, SO_SNDTIMEO, Option::kMilliseconds};
      case ws::kSoRcvTimeo:
        return {SOL_SOCKET, SO_RCVTIMEO, Option::kMilliseconds};
      case ws::kSoError:
        return {SOL_SOCKET, SO_ERROR, Option::kError};
      case kWsaSoReuseAddr:
        return {SOL_SOCKET, SO_REUSEADDR, Option::kInt};
      case kWsaSoKeepAlive:
        return {SOL_SOCKET, SO_KEEPALIVE, Option::kInt};
      case kWsaSoBroadcast:
        return {SOL_SOCKET, SO_BROADCAST, Option::kInt};
      case kWsaSoSndBuf:
        return {SOL_SOCKET, SO_SNDBUF, Option::kInt};
      case kWsaSoRcvBuf:
        return {SOL_SOCKET, SO_RCVBUF, Option::kInt};
      case kWsaSoType:
        return {SOL_SOCKET, SO_TYPE, Option::kInt};
      case kWsaSoLinger:
        return {SOL_SOCKET, SO_LINGER, Option::kLinger};
      default:
        break;
    }
  } else if (level == ws::kIpprotoTcp && name == ws::kTcpNoDelay) {
    return {IPPROTO_TCP, TCP_NODELAY, Option::kInt};
  }
  return {0, 0, Option::kUnknown};
}

// Winsock's linger record: two 16-bit fields.
struct WsLinger {
  uint16_t onoff;
  uint16_t seconds;
};

int WsSetsockopt(SOCKET s, int level, int optname, const char* optval, socklen optlen) {
  const int fd = Fd(s);
  if (fd < 0) return Fail(ws::kWsaEnotsock);
  const OptionMap option = TranslateOption(level, optname);
  if (option.kind == Option::kUnknown || option.kind == Option::kError) return Fail(kWsaEnoprotoopt);
  if (optval == nullptr || optlen < 1) return Fail(kWsaEfault);
  int result;
  switch (option.kind) {
    case Option::kMilliseconds: {
      if (optlen < static_cast<socklen>(sizeof(ws::DWORD))) return Fail(kWsaEfault);
      ws::DWORD ms;
      std::memcpy(&ms, optval, sizeof ms);
      timeval tv{};
      tv.tv_sec = static_cast<time_t>(ms / 1000u);
      tv.tv_usec = static_cast<suseconds_t>((ms % 1000u) * 1000u);
      result = ::setsockopt(fd, option.level, option.name, &tv, sizeof tv);
      break;
    }
    case Option::kLinger: {
      if (optlen < static_cast<socklen>(sizeof(WsLinger))) return Fail(kWsaEfault);
      WsLinger in;
      std::memcpy(&in, optval, sizeof in);
      linger out{in.onoff != 0 ? 1 : 0, in.seconds};
      result = ::setsockopt(fd, option.level, option.name, &out, sizeof out);
      break;
    }
    default: {
      // A BOOL or int; Winsock also takes a single byte for a BOOL.
      int value;
      if (optlen >= static_cast<socklen>(sizeof(int))) {
        std::memcpy(&value, optval, sizeof value);
      } else {
        value = static_cast<unsigned char>(optval[0]);
      }
      result = ::setsockopt(fd, option.level, option.name, &value, sizeof value);
      break;
    }
  }
  return result == 0 ? 0 : FailErrno();
}

int WsGetsockopt(SOCKET s, int level, int optname, char* optval, socklen* optlen) {
  const int fd = Fd(s);
  if (fd < 0) return Fail(ws::kWsaEnotsock);
  const OptionMap option = TranslateOption(level, optname);
  if (option.kind == Option::kUnknown) return Fail(kWsaEnoprotoopt);
  if (optval == nullptr || optlen == nullptr) return Fail(kWsaEfault);
  const socklen needed = option.kind == Option::kLinger ? static_cast<socklen>(sizeof(WsLinger))
                                                        : static_cast<socklen>(sizeof(int));
  if (*optlen < needed) return Fail(kWsaEfault);
  switch (option.kind) {
    case Option::kMilliseconds: {
      timeval tv{};
      socklen_t length = sizeof tv;
      if (::getsockopt(fd, option.level, option.name, &tv, &length) != 0) return FailErrno();
      const uint64_t ms =
          static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
      const ws::DWORD value = ms > 0xffffffffu ? 0xffffffffu : static_cast<ws::DWORD>(ms);
      std::memcpy(optval, &value, sizeof value);
      break;
    }
    case Option::kLinger: {
      linger in{};
      socklen_t length = sizeof in;
      if (::getsockopt(fd, option.level, option.name, &in, &length) != 0) return FailErrno();
      const WsLinger out{static_cast<uint16_t>(in.l_onoff != 0 ? 1 : 0), static_cast<uint16_t>(in.l_linger)};
      std::memcpy(optval, &out, sizeof out);
      break;
    }
    default: {
      int value = 0;
      socklen_t length = sizeof value;
      if (::getsockopt(fd, option.level, option.name, &value, &length) != 0) return FailErrno();
      if (option.kind == Option::kError) value = WinsockCode(value);
      if (option.kind == Option::kInt && option.name == SO_TYPE) {
        value = value == SOCK_STREAM ? ws::kSockStream : value == SOCK_DGRAM ? kWsaSockDgram : value;
      }
      std::memcpy(optval, &value, sizeof value);
      break;
    }
  }
  *optlen = needed;
  return 0;
}

int WsIoctlsocket(SOCKET s, long cmd, ws::u_long* argp) {
  const int fd = Fd(s);
  if (fd < 0) return Fail(ws::kWsaEnotsock);
  if (argp == nullptr) return Fail(kWsaEfault);
  if (cmd == ws::kFionbio) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1) return FailErrno();
    const int wanted = *argp != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted != flags && fcntl(fd, F_SETFL, wanted) == -1) return FailErrno();
    return 0;
  }
  if (cmd == kWsaFionread) {
    int pending = 0;
    if (::ioctl(fd, FIONREAD, &pending) != 0) return FailErrno();
    *argp = static_cast<ws::u_long>(pending < 0 ? 0 : pending);
    return 0;
  }
  return Fail(ws::kWsaEinval);
}

int WsShutdown(SOCKET s, int how) {
  const int fd = Fd(s);
  if (fd < 0) return Fail(ws::kWsaEnotsock);
  int nativeHow;
  switch (how) {
    case kWsaSdReceive:
      nativeHow = SHUT_RD;
      break;
    case ws::kSdSend:
      nativeHow = SHUT_WR;
      break;
    case ws::kSdBoth:
      nativeHow = SHUT_RDWR;
      break;
    default:
      return Fail(ws::kWsaEinval);
  }
  return ::shutdown(fd, nativeHow) == 0 ? 0 : FailErrno();
}

int WsBind(SOCKET s, const ws::sockaddr* name, socklen namelen) {
  const int fd = Fd(s);
  if (fd < 0) return Fail(ws::kWsaEnotsock);
  if (name == nullptr || namelen <= 0) return Fail(kWsaEfault);
  return ::bind(fd, name, static_cast<socklen_t>(namelen)) == 0 ? 0 : FailErrno();
}

int WsListen(SOCKET s, int backlog) {
  const int fd = Fd(s);
  if (fd < 0) return Fail(ws::kWsaEnotsock);
  return ::listen(fd, backlog) == 0 ? 0 : FailErrno();
}

// The accepted socket is non-blocking when the listening socket is, as with
// Winsock.
SOCKET WsAccept(SOCKET s, ws::sockaddr* addr, socklen* addrlen) {
  const int fd = Fd(s);
  if (fd < 0) {
    lastError = ws::kWsaEnotsock;
    return ws::kInvalidSocket;
  }
  if (addr != nullptr && (addrlen == nullptr || *addrlen < 0)) {
    lastError = kWsaEfault;
    return ws::kInvalidSocket;
  }
  socklen_t length = addrlen != nullptr ? static_cast<socklen_t>(*addrlen) : 0;
  int accepted;
  do {
    accepted = ::accept(fd, addr, addr != nullptr ? &length : nullptr);
  } while (accepted < 0 && errno == EINTR);
  if (accepted < 0) {
    lastError = WinsockCode(errno);
    return ws::kInvalidSocket;
  }
  fcntl(accepted, F_SETFD, FD_CLOEXEC);
  if (IsNonBlocking(fd)) fcntl(accepted, F_SETFL, fcntl(accepted, F_GETFL) | O_NONBLOCK);
  if (addr != nullptr) *addrlen = static_cast<socklen>(length);
  return static_cast<SOCKET>(accepted);
}

int WsGetsockname(SOCKET s, ws::sockaddr* name, socklen* namelen) {
  const int fd = Fd(s);
  if (fd < 0) return Fail(ws::kWsaEnotsock);
  if (name == nullptr || namelen == nullptr || *namelen < 0) return Fail(kWsaEfault);
  socklen_t length = static_cast<socklen_t>(*namelen);
  if (::getsockname(fd, name, &length) != 0) return FailErrno();
  *namelen = static_cast<socklen>(length);
  return 0;
}

int AddrinfoCode(int error) {
  switch (error) {
    case 0:
      return 0;
    case EAI_AGAIN:
      return kWsaTryAgain;
    case EAI_BADFLAGS:
      return ws::kWsaEinval;
    case EAI_FAIL:
      return kWsaNoRecovery;
    case EAI_FAMILY:
      return kWsaEafnosupport;
    case EAI_MEMORY:
      return kWsaNotEnoughMemory;
    case EAI_NONAME:
      return ws::kWsaHostNotFound;
    case EAI_SERVICE:
      return kWsaTypeNotFound;
    case EAI_SOCKTYPE:
      return kWsaEsocktnosupport;
    case EAI_SYSTEM:
      return WinsockCode(errno);
    default:
      return ws::kWsaHostNotFound;  // EAI_NODATA, EAI_ADDRFAMILY: the name has no address
  }
}

// The hints carry Winsock numbers; the result list is the platform's own
// addrinfo, whose addresses connect and bind take as they are.
int WsGetaddrinfo(const char* node, const char* service, const ws::addrinfo* hints, ws::addrinfo** res) {
  if (res == nullptr) {
    lastError = ws::kWsaEinval;
    return ws::kWsaEinval;
  }
  *res = nullptr;
  addrinfo native{};
  if (hints != nullptr) {
    int flags = hints->ai_flags & ws::kAiPassive;  // AI_PASSIVE is 1 on both sides
    if ((hints->ai_flags & kWsaAiCanonName) != 0) flags |= AI_CANONNAME;
    if ((hints->ai_flags & kWsaAiNumericHost) != 0) flags |= AI_NUMERICHOST;
    if ((hints->ai_flags & kWsaAiNumericServ) != 0) flags |= AI_NUMERICSERV;
    if ((hints->ai_flags & kWsaAiAddrConfig) != 0) flags |= AI_ADDRCONFIG;
    native.ai_flags = flags;
    if (!TranslateFamily(hints->ai_family, &native.ai_family)) {
      lastError = kWsaEafnosupport;
      return kWsaEafnosupport;
    }
    if (!TranslateSocketType(hints->ai_socktype, &native.ai_socktype)) {
      lastError = kWsaEsocktnosupport;
      return kWsaEsocktnosupport;
    }
    native.ai_protocol = hints->ai_protocol;
  }
  const int error = AddrinfoCode(::getaddrinfo(node, service, hints != nullptr ? &native : nullptr, res));
  lastError = error;
  // The entries carry Winsock's family numbers, so that socket() takes them
  // as on Windows; the addresses inside keep the platform's own, as connect
  // and bind expect.
  if (error == 0) {
    for (addrinfo* entry = *res; entry != nullptr; entry = entry->ai_next) {
      if (entry->ai_family == AF_INET6)
        entry->ai_family = kWsaAfInet6;
      else if (entry->ai_family == AF_INET)
        entry->ai_family = ws::kAfInet;
    }
  }
  return error;
}

void WsFreeaddrinfo(ws::addrinfo* ai) {
  if (ai != nullptr) ::freeaddrinfo(ai);
}

int WsWSAStartup(uint16_t requested, ws::WSADATA* data) {
  const unsigned major = requested & 0xffu;
  const unsigned minor = requested >> 8;
  if (data == nullptr) return kWsaEfault;
  std::memset(data, 0, sizeof *data);
  data->wHighVersion = kHighestVersion;
  if (major < 1) {
    data->wVersion = kHighestVersion;
    return ws::kWsaVerNotSupported;
  }
  data->wVersion = (major > 2 || (major == 2 && minor > 2)) ? kHighestVersion : requested;
  std::strcpy(data->szDescription, "WinSock 2.0");
  std::strcpy(data->szSystemStatus, "Running");
  startupCount.fetch_add(1, std::memory_order_acq_rel);
  return 0;
}

int WsWSACleanup() {
  int count = startupCount.load(std::memory_order_acquire);
  while (count > 0) {
    if (startupCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) return 0;
  }
  return Fail(ws::kWsaNotInitialised);
}

int WsWSAGetLastError() {
  return lastError;
}

void WsWSASetLastError(int error) {
  lastError = error;
}

// Each adapter, checked against the prototype of its table entry.
template <typename Prototype>
tovik::platform::ProcAddress Export(Prototype function) {
  return reinterpret_cast<tovik::platform::ProcAddress>(function);
}

struct Adapter {
  const char* name;
  tovik::platform::ProcAddress address;
};

const Adapter kAdapters[] = {
    {"accept", Export<ws::proto::accept>(WsAccept)},
    {"bind", Export<ws::proto::bind>(WsBind)},
    {"closesocket", Export<ws::proto::closesocket>(WsClosesocket)},
    {"connect", Export<ws::proto::connect>(WsConnect)},
    {"ioctlsocket", Export<ws::proto::ioctlsocket>(WsIoctlsocket)},
    {"getsockname", Export<ws::proto::getsockname>(WsGetsockname)},
    {"getsockopt", Export<ws::proto::getsockopt>(WsGetsockopt)},
    {"listen", Export<ws::proto::listen>(WsListen)},
    {"recv", Export<ws::proto::recv>(WsRecv)},
    {"select", Export<ws::proto::select>(WsSelect)},
    {"send", Export<ws::proto::send>(WsSend)},
    {"setsockopt", Export<ws::proto::setsockopt>(WsSetsockopt)},
    {"shutdown", Export<ws::proto::shutdown>(WsShutdown)},
    {"socket", Export<ws::proto::socket>(WsSocket)},
    {"getaddrinfo", Export<ws::proto::getaddrinfo>(WsGetaddrinfo)},
    {"freeaddrinfo", Export<ws::proto::freeaddrinfo>(WsFreeaddrinfo)},
    {"WSAStartup", Export<ws::proto::WSAStartup>(WsWSAStartup)},
    {"WSACleanup", Export<ws::proto::WSACleanup>(WsWSACleanup)},
    {"WSASetLastError", Export<ws::proto::WSASetLastError>(WsWSASetLastError)},
    {"WSAGetLastError", Export<ws::proto::WSAGetLastError>(WsWSAGetLastError)},
    {"WSASend", Export<ws::proto::WSASend>(WsWSASend)},
};

}  // namespace

namespace tovik::platform {

ProcAddress FindWinsockAdapter(const char* name) {
  if (name == nullptr) return nullptr;
  for (const Adapter& adapter : kAdapters) {
    if (std::strcmp(adapter.name, name) == 0) return adapter.address;
  }
  return nullptr;
}

}  // namespace tovik::platform
