// The built-in stand-in for "Ws2_32.dll" on POSIX systems: adapters over the
// platform's own sockets that take Winsock arguments (constants, fd_set,
// timeval, option values) and give Winsock results (0 for success,
// INVALID_SOCKET, SOCKET_ERROR with WSAGetLastError codes, per thread).
// Implemented in WinsockAdaptersPosix.cpp; Windows loads the real library.
#pragma once

#include "platform/DynamicLibrary.h"

namespace tovik::platform {

// The adapter exported under a Winsock name, or null for a name without one:
// socket, connect, closesocket, send, recv, select, getaddrinfo, freeaddrinfo,
// setsockopt, getsockopt, ioctlsocket, shutdown, WSASend, WSAStartup,
// WSACleanup, WSAGetLastError, WSASetLastError, bind, listen, accept and
// getsockname. [any-thread]
ProcAddress FindWinsockAdapter(const char* name);

}  // namespace tovik::platform
