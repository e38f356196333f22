// The Windows Sockets 2 interface as the link sees it: types, constants and
// the table of 87 functions bound by name at run time.
//
// Everything lives in namespace ws. On Windows the types are the real Winsock
// ones and every entry carries the prototype of its Winsock function. On POSIX
// the same names describe small adapters over the platform's own sockets
// (src/sockets/WinsockAdaptersPosix.cpp) that take Winsock constants and
// return Winsock results (0 for success, INVALID_SOCKET, WSAGetLastError codes);
// the entries that the link never calls stay null there.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#endif

namespace ws {

#if defined(_WIN32)
#define TOVIK_WSAAPI WSAAPI
using SOCKET = ::SOCKET;
using fd_set = ::fd_set;
using timeval = ::timeval;
using WSADATA = ::WSADATA;
using WSABUF = ::WSABUF;
using addrinfo = ::addrinfo;
using sockaddr = ::sockaddr;
using u_long = ::u_long;
using DWORD = ::DWORD;
using LPWSAOVERLAPPED = ::LPWSAOVERLAPPED;
using LPWSAOVERLAPPED_COMPLETION_ROUTINE = ::LPWSAOVERLAPPED_COMPLETION_ROUTINE;
using socklen = int;
#else
#define TOVIK_WSAAPI
using SOCKET = uintptr_t;
using u_long = uint32_t;  // Winsock's u_long is 32 bits wide everywhere
using DWORD = uint32_t;
using socklen = int;
// Winsock's fd_set: a count and an array of sockets, not a bit mask, so any
// socket number fits.
constexpr int kFdSetSize = 64;
struct fd_set {
  unsigned int fd_count;
  SOCKET fd_array[kFdSetSize];
};
struct timeval {
  int32_t tv_sec;  // Winsock's timeval holds two 32-bit longs
  int32_t tv_usec;
};
struct WSADATA {
  uint16_t wVersion;
  uint16_t wHighVersion;
  char szDescription[257];
  char szSystemStatus[129];
  uint16_t iMaxSockets;
  uint16_t iMaxUdpDg;
  char* lpVendorInfo;
};
struct WSABUF {
  u_long len;
  char* buf;
};
using addrinfo = ::addrinfo;
using sockaddr = ::sockaddr;
struct WSAOVERLAPPED;
using LPWSAOVERLAPPED = WSAOVERLAPPED*;
using LPWSAOVERLAPPED_COMPLETION_ROUTINE = void (*)(DWORD, DWORD, LPWSAOVERLAPPED, DWORD);
#endif

constexpr SOCKET kInvalidSocket = ~static_cast<SOCKET>(0);
constexpr int kSocketError = -1;

// Winsock constants, the same numbers on every platform (the POSIX adapters
// translate them).
constexpr int kAfUnspec = 0;
constexpr int kAfInet = 2;
constexpr int kAfInet6 = 23;
constexpr int kSockStream = 1;
constexpr int kIpprotoTcp = 6;
constexpr int kAiPassive = 1;
constexpr int kSolSocket = 0xffff;
constexpr int kSoSndTimeo = 0x1005;  // DWORD milliseconds
constexpr int kSoRcvTimeo = 0x1006;  // DWORD milliseconds
constexpr int kSoError = 0x1007;
constexpr int kTcpNoDelay = 1;
constexpr long kFionbio = static_cast<long>(0x8004667EL);
constexpr int kSdSend = 1;
constexpr int kSdBoth = 2;

constexpr int kWsaEintr = 10004;
constexpr int kWsaEinval = 10022;
constexpr int kWsaEwouldblock = 10035;
constexpr int kWsaEinprogress = 10036;
constexpr int kWsaEnotsock = 10038;
constexpr int kWsaEconnaborted = 10053;
constexpr int kWsaEconnreset = 10054;
constexpr int kWsaEnotconn = 10057;
constexpr int kWsaEshutdown = 10058;
constexpr int kWsaEtimedout = 10060;
constexpr int kWsaEconnrefused = 10061;
constexpr int kWsaSysNotReady = 10091;
constexpr int kWsaVerNotSupported = 10092;
constexpr int kWsaNotInitialised = 10093;
constexpr int kWsaHostNotFound = 11001;

// The 87 names, in table order.
#define TOVIK_WINSOCK_NAMES(X)                                                                             \
  X(accept) X(bind) X(closesocket) X(connect) X(ioctlsocket) X(getpeername) X(getsockname) X(getsockopt)   \
  X(htonl) X(htons) X(inet_addr) X(inet_ntoa) X(listen) X(ntohl) X(ntohs) X(recv) X(recvfrom) X(select)    \
  X(send) X(sendto) X(setsockopt) X(shutdown) X(socket) X(gethostbyaddr) X(gethostbyname) X(gethostname) \
  X(getservbyport) X(getservbyname) X(getprotobynumber) X(getprotobyname) X(getaddrinfo) X(freeaddrinfo) \
  X(getnameinfo) X(WSAStartup) X(WSACleanup) X(WSASetLastError) X(WSAGetLastError) X(WSAIsBlocking)      \
  X(WSAUnhookBlockingHook) X(WSASetBlockingHook) X(WSACancelBlockingCall) X(WSAAsyncGetServByName)       \
  X(WSAAsyncGetServByPort) X(WSAAsyncGetProtoByName) X(WSAAsyncGetProtoByNumber)                         \
  X(WSAAsyncGetHostByName) X(WSAAsyncGetHostByAddr) X(WSACancelAsyncRequest) X(WSAAsyncSelect)           \
  X(WSAAccept) X(WSACloseEvent) X(WSAConnect) X(WSACreateEvent) X(WSADuplicateSocketA)                   \
  X(WSAEnumNetworkEvents) X(WSAEnumProtocolsA) X(WSAEventSelect) X(WSAGetOverlappedResult)               \
  X(WSAGetQOSByName) X(WSAHtonl) X(WSAHtons) X(WSAIoctl) X(WSAJoinLeaf) X(WSANtohl) X(WSANtohs)          \
  X(WSARecv) X(WSARecvDisconnect) X(WSARecvFrom) X(WSAResetEvent) X(WSASend) X(WSASendDisconnect)        \
  X(WSASendTo) X(WSASetEvent) X(WSASocketA) X(WSAWaitForMultipleEvents) X(WSAAddressToStringA)           \
  X(WSAStringToAddressA) X(WSALookupServiceBeginA) X(WSALookupServiceNextA) X(WSALookupServiceEnd)       \
  X(WSAInstallServiceClassA) X(WSARemoveServiceClass) X(WSAGetServiceClassInfoA)                          \
  X(WSAEnumNameSpaceProvidersA) X(WSAGetServiceClassNameByClassIdA) X(WSASetServiceA)                    \
  X(WSAProviderConfigChange)

constexpr int kWinsockNameCount = 87;
extern const char* const kWinsockNames[kWinsockNameCount];

#if !defined(_WIN32)
// POSIX: entries the link calls carry the Winsock prototype over ws types;
// every other entry is an untyped function pointer that stays null.
using FarProc = void (*)();
namespace proto {
using accept = SOCKET (*)(SOCKET, sockaddr*, socklen*);
using bind = int (*)(SOCKET, const sockaddr*, socklen);
using closesocket = int (*)(SOCKET);
using connect = int (*)(SOCKET, const sockaddr*, socklen);
using ioctlsocket = int (*)(SOCKET, long, u_long*);
using getsockopt = int (*)(SOCKET, int, int, char*, socklen*);
using getsockname = int (*)(SOCKET, sockaddr*, socklen*);
using listen = int (*)(SOCKET, int);
using recv = int (*)(SOCKET, char*, int, int);
using select = int (*)(int, fd_set*, fd_set*, fd_set*, const timeval*);
using send = int (*)(SOCKET, const char*, int, int);
using setsockopt = int (*)(SOCKET, int, int, const char*, socklen);
using shutdown = int (*)(SOCKET, int);
using socket = SOCKET (*)(int, int, int);
using getaddrinfo = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
using freeaddrinfo = void (*)(addrinfo*);
using WSAStartup = int (*)(uint16_t, WSADATA*);
using WSACleanup = int (*)();
using WSASetLastError = void (*)(int);
using WSAGetLastError = int (*)();
using WSASend = int (*)(SOCKET, WSABUF*, DWORD, DWORD*, DWORD, LPWSAOVERLAPPED,
                        LPWSAOVERLAPPED_COMPLETION_ROUTINE);
using WSARecv = int (*)(SOCKET, WSABUF*, DWORD, DWORD*, DWORD*, LPWSAOVERLAPPED,
                        LPWSAOVERLAPPED_COMPLETION_ROUTINE);
}  // namespace proto
#else
// Windows: every entry carries the system headers' prototype of its name, with
// one exception. The MinGW-w64 headers declare select's time-out as
// `timeval* const`; Winsock's own prototype, used here as on POSIX, takes
// `const timeval*`.
namespace proto {
using select = int(WSAAPI*)(int, fd_set*, fd_set*, fd_set*, const timeval*);
}  // namespace proto
#endif

}  // namespace ws
