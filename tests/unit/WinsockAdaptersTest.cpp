// The POSIX stand-in for "Ws2_32.dll", driven through the function table over
// real loopback sockets: every result must be what the Windows function gives.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "sockets/Winsock2Dll.h"

namespace {

using ws::SOCKET;

constexpr SOCKET kInvalid = ws::kInvalidSocket;

ws::timeval Ms(int ms) {
  return ws::timeval{ms / 1000, (ms % 1000) * 1000};
}

ws::fd_set SetOf(SOCKET s) {
  ws::fd_set set{};
  set.fd_count = 1;
  set.fd_array[0] = s;
  return set;
}

class WinsockAdapters : public ::testing::Test {
 protected:
  WinsockAdapters() : dll(true) {}

  void SetUp() override {
    ASSERT_EQ(dll.StartupCount(), 1);
    listener = Listen();
    ASSERT_NE(listener, kInvalid);
  }

  void TearDown() override {
    for (SOCKET s : opened) {
      if (s != kInvalid) fn.closesocket(s);
    }
  }

  SOCKET Track(SOCKET s) {
    if (s != kInvalid) opened.push_back(s);
    return s;
  }

  void Close(SOCKET s) {
    fn.closesocket(s);
    for (SOCKET& o : opened) {
      if (o == s) o = kInvalid;
    }
  }

  static sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }

  static const ws::sockaddr* Address(const sockaddr_in& address) {
    return reinterpret_cast<const ws::sockaddr*>(&address);
  }

  SOCKET NewSocket() { return Track(fn.socket(ws::kAfInet, ws::kSockStream, ws::kIpprotoTcp)); }

  uint16_t PortOf(SOCKET s) {
    sockaddr_in address{};
    ws::socklen length = sizeof address;
    if (fn.getsockname(s, reinterpret_cast<ws::sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
  }

  SOCKET Listen() {
    const SOCKET s = NewSocket();
    if (s == kInvalid) return kInvalid;
    const sockaddr_in address = Loopback(0);
    if (fn.bind(s, Address(address), sizeof address) != 0 || fn.listen(s, 8) != 0) return kInvalid;
    port = PortOf(s);
    return s;
  }

  // A port on which nothing listens.
  uint16_t ClosedPort() {
    const SOCKET s = NewSocket();
    const sockaddr_in address = Loopback(0);
    EXPECT_EQ(fn.bind(s, Address(address), sizeof address), 0);
    const uint16_t closed = PortOf(s);
    Close(s);
    return closed;
  }

  // A connected pair: the client and the listener's accepted end.
  void Connect(SOCKET* client, SOCKET* server) {
    *client = NewSocket();
    ASSERT_NE(*client, kInvalid);
    const sockaddr_in address = Loopback(port);
    ASSERT_EQ(fn.connect(*client, Address(address), sizeof address), 0);
    *server = Track(fn.accept(listener, nullptr, nullptr));
    ASSERT_NE(*server, kInvalid);
  }

  void SetNonBlocking(SOCKET s, bool on) {
    ws::u_long value = on ? 1 : 0;
    ASSERT_EQ(fn.ioctlsocket(s, ws::kFionbio, &value), 0);
  }

  // Receives exactly n bytes within about two seconds.
  std::vector<char> ReceiveAll(SOCKET s, size_t n) {
    std::vector<char> data(n);
    size_t have = 0;
    for (int polls = 0; have < n && polls < 400; ++polls) {
      ws::fd_set readable = SetOf(s);
      const ws::timeval wait = Ms(5);
      if (fn.select(0, &readable, nullptr, nullptr, &wait) != 1) continue;
      const int got = fn.recv(s, data.data() + have, static_cast<int>(n - have), 0);
      if (got <= 0) break;
      have += static_cast<size_t>(got);
    }
    data.resize(have);
    return data;
  }

  CWinsock2Dll dll;
  const ws::Winsock2Table& fn = dll.fn;
  SOCKET listener = kInvalid;
  uint16_t port = 0;
  std::vector<SOCKET> opened;
};

TEST_F(WinsockAdapters, BlockingConnectSendAndReceive) {
  SOCKET client, server;
  Connect(&client, &server);
  const char message[] = "msgHello";
  EXPECT_EQ(fn.send(client, message, 8, 0), 8);
  const std::vector<char> got = ReceiveAll(server, 8);
  ASSERT_EQ(got.size(), 8u);
  EXPECT_EQ(std::memcmp(got.data(), message, 8), 0);
}

TEST_F(WinsockAdapters, NonBlockingReceiveWouldBlock) {
  SOCKET client, server;
  Connect(&client, &server);
  SetNonBlocking(client, true);
  char byte;
  EXPECT_EQ(fn.recv(client, &byte, 1, 0), ws::kSocketError);
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEwouldblock);
  // Back to blocking: a byte that is there is read at once.
  SetNonBlocking(client, false);
  ASSERT_EQ(fn.send(server, "x", 1, 0), 1);
  EXPECT_EQ(fn.recv(client, &byte, 1, 0), 1);
  EXPECT_EQ(byte, 'x');
}

TEST_F(WinsockAdapters, RefusedConnect) {
  const sockaddr_in address = Loopback(ClosedPort());
  const SOCKET s = NewSocket();
  EXPECT_EQ(fn.connect(s, Address(address), sizeof address), ws::kSocketError);
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEconnrefused);
}

TEST_F(WinsockAdapters, NonBlockingConnectCompletesThroughSelectForWrite) {
  const SOCKET s = NewSocket();
  SetNonBlocking(s, true);
  const sockaddr_in address = Loopback(port);
  const int result = fn.connect(s, Address(address), sizeof address);
  if (result != 0) {
    EXPECT_EQ(result, ws::kSocketError);
    EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEwouldblock);  // what Windows says for "in progress"
  }
  ws::fd_set writable = SetOf(s);
  ws::fd_set failed = SetOf(s);
  const ws::timeval wait = Ms(2000);
  EXPECT_EQ(fn.select(0, nullptr, &writable, &failed, &wait), 1);
  EXPECT_EQ(writable.fd_count, 1u);
  EXPECT_EQ(writable.fd_array[0], s);
  EXPECT_EQ(failed.fd_count, 0u);
  int error = -1;
  ws::socklen length = sizeof error;
  ASSERT_EQ(fn.getsockopt(s, ws::kSolSocket, ws::kSoError, reinterpret_cast<char*>(&error), &length), 0);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(length, 4);
}

TEST_F(WinsockAdapters, FailedNonBlockingConnectShowsInExceptSetOnly) {
  const SOCKET s = NewSocket();
  SetNonBlocking(s, true);
  const sockaddr_in address = Loopback(ClosedPort());
  if (fn.connect(s, Address(address), sizeof address) == ws::kSocketError &&
      fn.WSAGetLastError() == ws::kWsaEconnrefused) {
    return;  // refused at once: also a Windows outcome
  }
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEwouldblock);
  ws::fd_set writable = SetOf(s);
  ws::fd_set failed = SetOf(s);
  const ws::timeval wait = Ms(2000);
  EXPECT_EQ(fn.select(0, nullptr, &writable, &failed, &wait), 1);
  EXPECT_EQ(writable.fd_count, 0u);
  EXPECT_EQ(failed.fd_count, 1u);
  int error = 0;
  ws::socklen length = sizeof error;
  ASSERT_EQ(fn.getsockopt(s, ws::kSolSocket, ws::kSoError, reinterpret_cast<char*>(&error), &length), 0);
  EXPECT_EQ(error, ws::kWsaEconnrefused);
}

TEST_F(WinsockAdapters, ClosedPeerIsReadableAndReceivesZero) {
  SOCKET client, server;
  Connect(&client, &server);
  Close(server);
  ws::fd_set readable = SetOf(client);
  const ws::timeval wait = Ms(2000);
  EXPECT_EQ(fn.select(0, &readable, nullptr, nullptr, &wait), 1);
  EXPECT_EQ(readable.fd_count, 1u);
  char byte;
  EXPECT_EQ(fn.recv(client, &byte, 1, 0), 0);
}

TEST_F(WinsockAdapters, SendToClosedPeerFailsWithoutSigpipe) {
  SOCKET client, server;
  Connect(&client, &server);
  Close(server);

  // With SIGPIPE blocked, a raised one stays pending where we can see it.
  sigset_t pipeOnly, previous;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous), 0);

  char block[1024] = {};
  int result = 0;
  for (int i = 0; i < 200 && result != ws::kSocketError; ++i) {
    result = fn.send(client, block, sizeof block, 0);
    if (result != ws::kSocketError) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(result, ws::kSocketError);
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEconnreset);
  ws::WSABUF buffers[2] = {{16, block}, {16, block}};
  ws::DWORD sent = 0;
  EXPECT_EQ(fn.WSASend(client, buffers, 2, &sent, 0, nullptr, nullptr), ws::kSocketError);
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEconnreset);

  sigset_t pending;
  sigemptyset(&pending);
  ASSERT_EQ(sigpending(&pending), 0);
  const bool raised = sigismember(&pending, SIGPIPE) == 1;
  if (raised) {
    const timespec none{0, 0};
    sigtimedwait(&pipeOnly, nullptr, &none);  // drop it before unblocking
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  EXPECT_FALSE(raised);
}

TEST_F(WinsockAdapters, SelectWorksAboveFdSetSize) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  constexpr int kHigh = 1500;  // above FD_SETSIZE (1024)
  if (limit.rlim_cur <= static_cast<rlim_t>(kHigh)) {
    if (limit.rlim_max <= static_cast<rlim_t>(kHigh)) GTEST_SKIP() << "descriptor limit too low";
    limit.rlim_cur = static_cast<rlim_t>(kHigh) + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  SOCKET client, server;
  Connect(&client, &server);
  ASSERT_EQ(dup2(static_cast<int>(client), kHigh), kHigh);
  const SOCKET high = Track(static_cast<SOCKET>(kHigh));

  ws::fd_set readable = SetOf(high);
  ws::timeval wait = Ms(0);
  EXPECT_EQ(fn.select(0, &readable, nullptr, nullptr, &wait), 0);  // nothing yet
  EXPECT_EQ(readable.fd_count, 0u);

  ASSERT_EQ(fn.send(server, "z", 1, 0), 1);
  readable = SetOf(high);
  wait = Ms(2000);
  EXPECT_EQ(fn.select(0, &readable, nullptr, nullptr, &wait), 1);
  ASSERT_EQ(readable.fd_count, 1u);
  EXPECT_EQ(readable.fd_array[0], high);
  char byte = 0;
  EXPECT_EQ(fn.recv(high, &byte, 1, 0), 1);
  EXPECT_EQ(byte, 'z');
}

TEST_F(WinsockAdapters, SelectRewritesSetsAndCountsPerSet) {
  SOCKET client, server;
  Connect(&client, &server);
  SOCKET other, otherServer;
  Connect(&other, &otherServer);
  ASSERT_EQ(fn.send(server, "r", 1, 0), 1);

  // client: readable and writable; other: writable only.
  ws::fd_set readable{};
  readable.fd_count = 2;
  readable.fd_array[0] = other;
  readable.fd_array[1] = client;
  ws::fd_set writable = SetOf(client);
  const ws::timeval wait = Ms(2000);
  ASSERT_EQ(fn.select(0, &readable, &writable, nullptr, &wait), 2);
  ASSERT_EQ(readable.fd_count, 1u);
  EXPECT_EQ(readable.fd_array[0], client);
  EXPECT_EQ(writable.fd_count, 1u);
}

TEST_F(WinsockAdapters, SelectTimeOutAndInvalidArguments) {
  SOCKET client, server;
  Connect(&client, &server);
  ws::fd_set readable = SetOf(client);
  const ws::timeval wait = Ms(20);
  EXPECT_EQ(fn.select(0, &readable, nullptr, nullptr, &wait), 0);
  EXPECT_EQ(readable.fd_count, 0u);

  ws::fd_set empty{};
  EXPECT_EQ(fn.select(0, &empty, nullptr, nullptr, &wait), ws::kSocketError);
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEinval);
  EXPECT_EQ(fn.select(0, nullptr, nullptr, nullptr, &wait), ws::kSocketError);
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEinval);

  const SOCKET closed = NewSocket();
  Close(closed);
  ws::fd_set stale = SetOf(closed);
  EXPECT_EQ(fn.select(0, &stale, nullptr, nullptr, &wait), ws::kSocketError);
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEnotsock);
  ws::fd_set invalid = SetOf(kInvalid);
  EXPECT_EQ(fn.select(0, &invalid, nullptr, nullptr, &wait), ws::kSocketError);
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEnotsock);
}

void IgnoreSignal(int) {}

TEST_F(WinsockAdapters, SelectWaitsOnAfterASignal) {
  SOCKET client, server;
  Connect(&client, &server);
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = IgnoreSignal;  // no SA_RESTART: poll sees EINTR
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

  const pthread_t waiter = pthread_self();
  std::thread signaller([waiter] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pthread_kill(waiter, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  });
  ws::fd_set readable = SetOf(client);
  const ws::timeval wait = Ms(300);
  const auto start = std::chrono::steady_clock::now();
  const int result = fn.select(0, &readable, nullptr, nullptr, &wait);
  const auto waited = std::chrono::steady_clock::now() - start;
  signaller.join();
  sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_EQ(result, 0);  // a time-out, not an error
  EXPECT_GE(waited, std::chrono::milliseconds(250));
}

TEST_F(WinsockAdapters, SendTimeOutEndsASendThatCannotProceed) {
  SOCKET client, server;
  Connect(&client, &server);
  const ws::DWORD timeoutMs = 200;
  ASSERT_EQ(fn.setsockopt(client, ws::kSolSocket, ws::kSoSndTimeo, reinterpret_cast<const char*>(&timeoutMs),
                          sizeof timeoutMs),
            0);
  ws::DWORD readBack = 0;
  ws::socklen length = sizeof readBack;
  ASSERT_EQ(
      fn.getsockopt(client, ws::kSolSocket, ws::kSoSndTimeo, reinterpret_cast<char*>(&readBack), &length), 0);
  EXPECT_EQ(readBack, timeoutMs);

  // The server never reads: the buffers fill and a send runs out of time.
  std::vector<char> chunk(1 << 16, 0x55);
  int result = 0;
  for (int i = 0; i < 4096 && result != ws::kSocketError; ++i) {
    result = fn.send(client, chunk.data(), static_cast<int>(chunk.size()), 0);
  }
  EXPECT_EQ(result, ws::kSocketError);
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEtimedout);  // a blocking socket's time-out, as on Windows

  // The same on a non-blocking socket is a would-block.
  SetNonBlocking(client, true);
  EXPECT_EQ(fn.send(client, chunk.data(), static_cast<int>(chunk.size()), 0), ws::kSocketError);
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEwouldblock);
}

TEST_F(WinsockAdapters, ReceiveTimeOut) {
  SOCKET client, server;
  Connect(&client, &server);
  const ws::DWORD timeoutMs = 50;
  ASSERT_EQ(fn.setsockopt(client, ws::kSolSocket, ws::kSoRcvTimeo, reinterpret_cast<const char*>(&timeoutMs),
                          sizeof timeoutMs),
            0);
  char byte;
  EXPECT_EQ(fn.recv(client, &byte, 1, 0), ws::kSocketError);
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEtimedout);
}

TEST_F(WinsockAdapters, WSASendGathersBuffers) {
  SOCKET client, server;
  Connect(&client, &server);
  char code[4] = {11, 0, 0, 0};
  char time[88];
  char audio[300];
  for (int i = 0; i < 88; ++i) time[i] = static_cast<char>(i);
  for (int i = 0; i < 300; ++i) audio[i] = static_cast<char>(255 - i % 256);
  ws::WSABUF buffers[3] = {{4, code}, {88, time}, {300, audio}};
  ws::DWORD sent = 0;
  ASSERT_EQ(fn.WSASend(client, buffers, 3, &sent, 0, nullptr, nullptr), 0);
  EXPECT_EQ(sent, 392u);
  const std::vector<char> got = ReceiveAll(server, 392);
  ASSERT_EQ(got.size(), 392u);
  EXPECT_EQ(std::memcmp(got.data(), code, 4), 0);
  EXPECT_EQ(std::memcmp(got.data() + 4, time, 88), 0);
  EXPECT_EQ(std::memcmp(got.data() + 92, audio, 300), 0);

  // More buffers than one gathered write takes: all of them, in order.
  std::vector<char> bytes(200);
  std::vector<ws::WSABUF> many(200);
  for (int i = 0; i < 200; ++i) {
    bytes[i] = static_cast<char>(i);
    many[i] = ws::WSABUF{1, &bytes[i]};
  }
  ASSERT_EQ(fn.WSASend(client, many.data(), 200, &sent, 0, nullptr, nullptr), 0);
  EXPECT_EQ(sent, 200u);
  EXPECT_EQ(ReceiveAll(server, 200), bytes);
}

TEST_F(WinsockAdapters, SocketOptions) {
  SOCKET client, server;
  Connect(&client, &server);
  const int on = 1;
  EXPECT_EQ(fn.setsockopt(client, ws::kIpprotoTcp, ws::kTcpNoDelay, reinterpret_cast<const char*>(&on), 4),
            0);
  int value = 0;
  ws::socklen length = sizeof value;
  EXPECT_EQ(fn.getsockopt(client, ws::kIpprotoTcp, ws::kTcpNoDelay, reinterpret_cast<char*>(&value), &length),
            0);
  EXPECT_NE(value, 0);
  const char single = 0;  // Winsock also takes a one-byte BOOL
  EXPECT_EQ(fn.setsockopt(client, ws::kIpprotoTcp, ws::kTcpNoDelay, &single, 1), 0);
  EXPECT_EQ(fn.getsockopt(client, ws::kIpprotoTcp, ws::kTcpNoDelay, reinterpret_cast<char*>(&value), &length),
            0);
  EXPECT_EQ(value, 0);

  EXPECT_EQ(
      fn.setsockopt(client, ws::kSolSocket, 4 /* SO_REUSEADDR */, reinterpret_cast<const char*>(&on), 4), 0);
  EXPECT_EQ(fn.setsockopt(client, ws::kSolSocket, 0x7777, reinterpret_cast<const char*>(&on), 4),
            ws::kSocketError);
  EXPECT_EQ(fn.WSAGetLastError(), 10042);  // WSAENOPROTOOPT
  EXPECT_EQ(fn.setsockopt(client, ws::kSolSocket, ws::kSoError, reinterpret_cast<const char*>(&on), 4),
            ws::kSocketError);
  length = 2;
  EXPECT_EQ(fn.getsockopt(client, ws::kSolSocket, ws::kSoError, reinterpret_cast<char*>(&value), &length),
            ws::kSocketError);
  EXPECT_EQ(fn.WSAGetLastError(), 10014);  // WSAEFAULT
}

TEST_F(WinsockAdapters, ShutdownSendEndsTheStreamOneWay) {
  SOCKET client, server;
  Connect(&client, &server);
  ASSERT_EQ(fn.send(client, "bye", 3, 0), 3);
  ASSERT_EQ(fn.shutdown(client, ws::kSdSend), 0);
  EXPECT_EQ(ReceiveAll(server, 3), (std::vector<char>{'b', 'y', 'e'}));
  char byte;
  EXPECT_EQ(fn.recv(server, &byte, 1, 0), 0);  // the end of the client's stream
  ASSERT_EQ(fn.send(server, "k", 1, 0), 1);    // the other way still works
  EXPECT_EQ(ReceiveAll(client, 1), (std::vector<char>{'k'}));
  EXPECT_EQ(fn.shutdown(client, 7), ws::kSocketError);
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEinval);
}

TEST_F(WinsockAdapters, AcceptFollowsTheListenersBlockingMode) {
  SetNonBlocking(listener, true);
  EXPECT_EQ(fn.accept(listener, nullptr, nullptr), kInvalid);
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEwouldblock);

  const SOCKET client = NewSocket();
  const sockaddr_in address = Loopback(port);
  ASSERT_EQ(fn.connect(client, Address(address), sizeof address), 0);
  ws::fd_set readable = SetOf(listener);
  const ws::timeval wait = Ms(2000);
  ASSERT_EQ(fn.select(0, &readable, nullptr, nullptr, &wait), 1);
  sockaddr_in peer{};
  ws::socklen length = sizeof peer;
  const SOCKET server = Track(fn.accept(listener, reinterpret_cast<ws::sockaddr*>(&peer), &length));
  ASSERT_NE(server, kInvalid);
  EXPECT_EQ(length, static_cast<ws::socklen>(sizeof peer));
  EXPECT_EQ(ntohs(peer.sin_port), PortOf(client));
  char byte;
  EXPECT_EQ(fn.recv(server, &byte, 1, 0), ws::kSocketError);  // non-blocking like the listener
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEwouldblock);
}

TEST_F(WinsockAdapters, GetaddrinfoWithTheLinksHints) {
  ws::addrinfo hints{};
  hints.ai_flags = ws::kAiPassive;
  hints.ai_family = ws::kAfInet;
  hints.ai_socktype = ws::kSockStream;
  hints.ai_protocol = ws::kIpprotoTcp;
  ws::addrinfo* result = nullptr;
  ASSERT_EQ(fn.getaddrinfo("127.0.0.1", "5000", &hints, &result), 0);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->ai_family, ws::kAfInet);
  ASSERT_EQ(result->ai_addrlen, 16u);
  const sockaddr_in* address = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
  EXPECT_EQ(ntohs(address->sin_port), 5000);
  EXPECT_EQ(ntohl(address->sin_addr.s_addr), INADDR_LOOPBACK);
  fn.freeaddrinfo(result);

  // A name that is not a number, with numeric hosts only: host not found,
  // without asking any name server.
  hints.ai_flags = 4;  // AI_NUMERICHOST
  result = nullptr;
  EXPECT_EQ(fn.getaddrinfo("slave.invalid", "5000", &hints, &result), ws::kWsaHostNotFound);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaHostNotFound);
  fn.freeaddrinfo(nullptr);  // harmless
}

TEST_F(WinsockAdapters, InvalidSocketsAndArguments) {
  EXPECT_EQ(fn.socket(99, ws::kSockStream, 0), kInvalid);
  EXPECT_EQ(fn.WSAGetLastError(), 10047);  // WSAEAFNOSUPPORT
  EXPECT_EQ(fn.closesocket(kInvalid), ws::kSocketError);
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEnotsock);
  char byte;
  EXPECT_EQ(fn.recv(kInvalid, &byte, 1, 0), ws::kSocketError);
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEnotsock);
  SOCKET client, server;
  Connect(&client, &server);
  ws::u_long value = 0;
  EXPECT_EQ(fn.ioctlsocket(client, 0x1234, &value), ws::kSocketError);
  EXPECT_EQ(fn.WSAGetLastError(), ws::kWsaEinval);
  EXPECT_EQ(fn.recv(client, &byte, -1, 0), ws::kSocketError);
  EXPECT_EQ(fn.WSAGetLastError(), 10014);  // WSAEFAULT
}

TEST_F(WinsockAdapters, LastErrorIsKeptPerThread) {
  fn.WSASetLastError(1234);
  int seenByOther = -1;
  const ws::Winsock2Table* table = &fn;
  std::thread other([table, &seenByOther] {
    seenByOther = table->WSAGetLastError();
    table->WSASetLastError(4321);
  });
  other.join();
  EXPECT_EQ(seenByOther, 0);
  EXPECT_EQ(fn.WSAGetLastError(), 1234);
}

TEST_F(WinsockAdapters, StartupVersionsAndCleanupPairing) {
  ws::WSADATA data{};
  ASSERT_EQ(fn.WSAStartup(0x0202, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0202);
  EXPECT_EQ(data.wHighVersion, 0x0202);
  ASSERT_EQ(fn.WSAStartup(0x0303, &data), 0);  // above 2.2: 2.2 is offered
  EXPECT_EQ(data.wVersion, 0x0202);
  EXPECT_EQ(fn.WSAStartup(0x0000, &data), ws::kWsaVerNotSupported);
  EXPECT_EQ(fn.WSAStartup(0x0202, nullptr), 10014);  // WSAEFAULT
  EXPECT_EQ(fn.WSACleanup(), 0);
  EXPECT_EQ(fn.WSACleanup(), 0);
  // The fixture's own start-up is still outstanding until it is destroyed.
}

}  // namespace

#endif  // !_WIN32
