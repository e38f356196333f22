// Connection attempts from the host's audio thread: a process call never
// resolves a name, never waits for a connect and never waits for the info
// answer beyond a few milliseconds; attempts are paced (one per 2000 ms from
// any caller, the first after a lost connection at once); IPv6 addresses
// connect. POSIX: the blackholed listener and the IPv6 peer use the
// platform's sockets directly.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/TransferBlock.h"
#include "platform/Platform.h"
#include "platform/UserStore.h"
#include "relay/BuildConstants.h"
#include "relay/Tovik.h"
#include "support/FakeHost.h"
#include "support/LoopbackPorts.h"
#include "support/ScopedConfigHome.h"
#include "support/ScriptedPeer.h"
#include "support/TovikInspector.h"

namespace {

using tovik::test::FakeHost;
using I = TovikInspector;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Counts what the plug-in asks of its socket table, and on which thread.
struct Spy {
  static std::atomic<int> resolves;
  static std::atomic<int> resolvesOnAudioThread;
  static std::atomic<int> connects;
  static std::atomic<int> slowResolveMs;
  static std::thread::id audioThread;
  static ws::proto::getaddrinfo realResolve;
  static ws::proto::connect realConnect;
  static ws::proto::select realSelect;
  static std::atomic<int> waitingSelects;  // select calls allowed to wait (a time-out above 0)

  static int Resolve(const char* node, const char* service, const ws::addrinfo* hints, ws::addrinfo** res) {
    ++resolves;
    if (std::this_thread::get_id() == audioThread) ++resolvesOnAudioThread;
    if (slowResolveMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(slowResolveMs.load()));
    return realResolve(node, service, hints, res);
  }
  static int Connect(ws::SOCKET s, const ws::sockaddr* name, ws::socklen length) {
    ++connects;
    return realConnect(s, name, length);
  }
  static int Select(int n, ws::fd_set* r, ws::fd_set* w, ws::fd_set* e, const ws::timeval* timeout) {
    if (timeout && (timeout->tv_sec > 0 || timeout->tv_usec > 0)) ++waitingSelects;
    return realSelect(n, r, w, e, timeout);
  }
  static void Install(CTovik& t) {
    ws::Winsock2Table& fn = I::Sockets(t);
    realResolve = fn.getaddrinfo;
    realConnect = fn.connect;
    realSelect = fn.select;
    fn.getaddrinfo = &Resolve;
    fn.connect = &Connect;
    fn.select = &Select;
    waitingSelects = 0;
    resolves = resolvesOnAudioThread = connects = slowResolveMs = 0;
    audioThread = std::thread::id();
  }
};
std::atomic<int> Spy::resolves{0};
std::atomic<int> Spy::resolvesOnAudioThread{0};
std::atomic<int> Spy::connects{0};
std::atomic<int> Spy::slowResolveMs{0};
std::thread::id Spy::audioThread;
ws::proto::getaddrinfo Spy::realResolve = nullptr;
ws::proto::connect Spy::realConnect = nullptr;
ws::proto::select Spy::realSelect = nullptr;
std::atomic<int> Spy::waitingSelects{0};

using tovik::test::Blackhole;
using tovik::test::ClosedPort;

// The slave's side of a handshake on a raw descriptor (IPv6 peer): reads
// hello to msgGetInfo by their sizes, answers the info query, reads msgOpen.
bool AnswerRawHandshake(int fd) {
  const size_t sizes[] = {4 + 2, 4 + 16, 4 + 4, 4 + 4, 4, 4};  // hello .. msgOpen
  unsigned char buffer[64];
  for (size_t i = 0; i < 6; ++i) {
    size_t got = 0;
    while (got < sizes[i]) {
      const ssize_t n = ::recv(fd, buffer + got, sizes[i] - got, 0);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    if (i == 4) {
      const int32_t reply[4] = {msgGetInfo, 1, 2, 3};
      if (::send(fd, reply, sizeof reply, 0) != static_cast<ssize_t>(sizeof reply)) return false;
    }
  }
  return true;
}

class ConnectionAttemptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tovik::platform::UserStore store(build::kStoreKey);
    store.WriteInt("ConfigDlg", 0);
    store.Close();
  }
  void TearDown() override { plugin.reset(); }

  CTovik& Make(const std::string& host, unsigned port) {
    plugin = std::make_unique<CTovik>(FakeHost::callback());
    Spy::Install(*plugin);
    SetAddress(host, port);
    plugin->setBlockSizeAndSampleRate(64, 48000.0f);
    return *plugin;
  }
  void SetAddress(const std::string& host, unsigned port) {
    std::string text = "Host=" + host + "\nPort=" + std::to_string(port) + "\n";
    plugin->setChunk(text.data(), static_cast<VstInt32>(text.size() + 1), false);
  }
  // One process call of 64 frames; returns how long it took.
  int64_t Process(CTovik& t) {
    const auto start = Clock::now();
    t.processReplacing(in.data(), out.data(), 64);
    return MsSince(start);
  }

  tovik::test::ScopedConfigHome home;
  FakeHost fakeHost;
  std::unique_ptr<CTovik> plugin;
  std::vector<float> buffers[4] = {std::vector<float>(64, 0.5f), std::vector<float>(64, 0.5f),
                                   std::vector<float>(64, 7.0f), std::vector<float>(64, 7.0f)};
  std::vector<float*> in{buffers[0].data(), buffers[1].data()};
  std::vector<float*> out{buffers[2].data(), buffers[3].data()};
};

TEST_F(ConnectionAttemptTest, ProcessCallsNeverResolveNames) {
  ClosedPort closed;
  CTovik& t = Make("localhost", closed.port());
  EXPECT_GE(Spy::resolves.load(), 1);  // the chunk's address, resolved on this (main) thread
  t.resume();
  std::thread audio([&] {
    Spy::audioThread = std::this_thread::get_id();
    for (int i = 0; i < 200; ++i) Process(t);
  });
  audio.join();
  EXPECT_EQ(Spy::resolvesOnAudioThread.load(), 0);
}

TEST_F(ConnectionAttemptTest, AFailedAttemptIsRepeatedAtMostEvery2000Ms) {
  ClosedPort closed;
  CTovik& t = Make("127.0.0.1", closed.port());
  t.resume();
  Spy::audioThread = std::this_thread::get_id();
  for (int i = 0; i < 100; ++i) Process(t);
  EXPECT_EQ(Spy::connects.load(), 1);  // the host sends no idle calls: the first call tried, the rest wait
  EXPECT_FALSE(I::Connected(t));
  I::SetLastIdleAttempt(t, tovik::platform::TickCount() - 2000);
  Process(t);
  EXPECT_EQ(Spy::connects.load(), 2);
  // Idle calls obey the same pacing.
  t.fxIdle();
  t.fxIdle();
  EXPECT_EQ(Spy::connects.load(), 2);
}

// A project that names another slave is tried at once, not at the next
// pacing slot of the old address's failures.
TEST_F(ConnectionAttemptTest, ANewAddressIsTriedAtOnce) {
  ClosedPort closed;
  ScriptedPeer peer;
  CTovik& t = Make("127.0.0.1", closed.port());
  t.resume();
  Process(t);
  EXPECT_EQ(Spy::connects.load(), 1);
  SetAddress("127.0.0.1", peer.Port());
  Process(t);
  EXPECT_EQ(Spy::connects.load(), 2);
  EXPECT_TRUE(peer.Accept(1000));
}

TEST_F(ConnectionAttemptTest, ABlackholedSlaveNeverHoldsAProcessCall) {
  Blackhole hole;
  CTovik& t = Make("127.0.0.1", hole.port());
  t.resume();
  // Only the call that makes the first attempt may wait (a few ms, for a
  // render's first block); the calls after it only look.
  int64_t longest = Process(t);
  Spy::waitingSelects = 0;
  for (int i = 0; i < 50; ++i) longest = std::max(longest, Process(t));
  EXPECT_EQ(Spy::waitingSelects.load(), 0);
  EXPECT_EQ(Spy::connects.load(), 1);
  EXPECT_TRUE(I::AttemptUnderWay(t));    // the connect is in progress, carried on by later calls
  EXPECT_LT(longest, 200);               // a blocking connect took 1000 ms here
  EXPECT_FLOAT_EQ(buffers[2][0], 7.0f);  // outputs untouched while not connected
}

TEST_F(ConnectionAttemptTest, ASlowResolverRunsOnTheMainThreadOnly) {
  ScriptedPeer peer;
  CTovik& t = Make("127.0.0.1", peer.Port());
  Spy::slowResolveMs = 300;
  t.resume();
  // The address moves to a name that takes long to resolve; the main thread
  // resolves it while the audio thread keeps processing.
  std::atomic<bool> done{false};
  int64_t longest = 0;
  std::thread audio([&] {
    Spy::audioThread = std::this_thread::get_id();
    while (!done) {
      longest = std::max(longest, Process(t));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  const auto start = Clock::now();
  SetAddress("localhost", peer.Port());
  EXPECT_GE(MsSince(start), 300);
  done = true;
  audio.join();
  EXPECT_EQ(Spy::resolvesOnAudioThread.load(), 0);
  EXPECT_LT(longest, 200);
  EXPECT_GE(I::ResolvedAddresses(t), 1);
}

TEST_F(ConnectionAttemptTest, TheHandshakeIsCarriedOnByLaterCalls) {
  ScriptedPeer peer;
  CTovik& t = Make("127.0.0.1", peer.Port());
  t.resume();
  // The slave answers the info query 60 ms late: the first call sends the
  // handshake and returns, a later one finds the answer, activates and relays.
  std::atomic<bool> answered{false};
  std::thread slave([&] {
    ScriptedPeer::Message m;
    bool ok = peer.Accept();
    for (int32_t code : {msgHello, msgSetIo, msgSetSampleRate, msgSetBlockSize, msgGetInfo})
      ok = ok && peer.ReadMessage(m) && m.code == code;
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    const int32_t info[4] = {msgGetInfo, 1, 2, 3};
    ok = ok && peer.Write(info, sizeof info);
    ok = ok && peer.ReadMessage(m) && m.code == msgOpen;
    ok = ok && peer.ReadMessage(m) && m.code == msgResume;
    ok = ok && peer.ReadMessage(m) && m.code == msgProcess && m.frames == 64;
    std::vector<unsigned char> reply(4 * 4 + 2 * 64 * 4, 0);
    const int32_t head[4] = {msgProcess, 4, 2, 64};
    std::memcpy(reply.data(), head, sizeof head);
    ok = ok && peer.Write(reply);
    answered = ok;
  });
  const int64_t first = Process(t);
  EXPECT_LT(first, 50);
  EXPECT_TRUE(I::AttemptUnderWay(t));
  EXPECT_FALSE(I::Connected(t));
  const auto start = Clock::now();
  while (!I::Connected(t) && MsSince(start) < 2000) {
    Process(t);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  slave.join();
  EXPECT_TRUE(answered.load());
  EXPECT_TRUE(I::Connected(t));
  EXPECT_FLOAT_EQ(buffers[2][0], 0.0f);  // the activating call relayed its own block
}

TEST_F(ConnectionAttemptTest, NoInfoAnswerWithin250MsFailsTheAttempt) {
  ScriptedPeer peer;
  CTovik& t = Make("127.0.0.1", peer.Port());
  t.resume();
  Process(t);
  ASSERT_TRUE(peer.Accept());
  EXPECT_TRUE(I::AttemptUnderWay(t));
  std::this_thread::sleep_for(std::chrono::milliseconds(260));
  Process(t);
  EXPECT_FALSE(I::AttemptUnderWay(t));
  EXPECT_FALSE(I::SocketOpen(t));
  EXPECT_TRUE(peer.SeesClose());
  EXPECT_EQ(Spy::connects.load(), 1);
  Process(t);  // paced: no new attempt yet
  EXPECT_EQ(Spy::connects.load(), 1);
}

TEST_F(ConnectionAttemptTest, TheFirstAttemptAfterALostConnectionGoesAtOnce) {
  ScriptedPeer peer;
  fakeHost.canDo["asyncProcessing"] = 1;
  CTovik& t = Make("127.0.0.1", peer.Port());
  t.setParameter(0, 0.0f);  // asynchronous: the blocks need no answer here
  t.resume();
  std::thread slave([&] {
    ScriptedPeer::Message m;
    bool ok = peer.Accept();
    for (int32_t code : {msgHello, msgSetIo, msgSetSampleRate, msgSetBlockSize, msgGetInfo})
      ok = ok && peer.ReadMessage(m) && m.code == code;
    const int32_t info[4] = {msgGetInfo, 1, 2, 3};
    ok = ok && peer.Write(info, sizeof info) && peer.ReadMessage(m) && m.code == msgOpen;
    EXPECT_TRUE(ok);
  });
  const auto start = Clock::now();
  while (!I::Connected(t) && MsSince(start) < 2000) Process(t);
  slave.join();
  ASSERT_TRUE(I::Connected(t));
  peer.CloseConnection();
  // The next calls find the connection gone and try again at once, without
  // waiting for the 2000 ms pacing.
  const int before = Spy::connects.load();
  for (int i = 0; i < 5 && Spy::connects.load() == before; ++i) Process(t);
  EXPECT_EQ(Spy::connects.load(), before + 1);
}

TEST_F(ConnectionAttemptTest, AnIpv6LiteralConnects) {
  const int listener = ::socket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(listener);
    GTEST_SKIP() << "no IPv6 loopback on this machine";
  }
  ::listen(listener, 4);
  socklen_t length = sizeof a;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
  const unsigned port = ntohs(a.sin6_port);

  CTovik& t = Make("::1", port);
  EXPECT_EQ(I::ResolvedAddresses(t), 1);
  std::atomic<bool> answered{false};
  std::thread slave([&] {
    const int fd = ::accept(listener, nullptr, nullptr);
    answered = fd >= 0 && AnswerRawHandshake(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (fd >= 0) ::close(fd);
  });
  t.resume();
  const auto start = Clock::now();
  while (!I::OpenPending(t) && !I::Connected(t) && MsSince(start) < 2000) {
    t.fxIdle();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  slave.join();
  ::close(listener);
  EXPECT_TRUE(answered.load());
  EXPECT_TRUE(I::OpenPending(t));
}

TEST_F(ConnectionAttemptTest, ResolveListsIpv4AndIpv6AddressesInTheResolversOrder) {
  CSlaveNetMem::AddressList list;
  CWinsock2Dll dll(true);
  ASSERT_EQ(CSlaveNetMem::Resolve(&dll.fn, "127.0.0.1", 19284, &list), 0);
  ASSERT_EQ(list.count, 1);
  EXPECT_EQ(list.entries[0].family, ws::kAfInet);
  EXPECT_EQ(list.entries[0].length, 16);
  ASSERT_EQ(CSlaveNetMem::Resolve(&dll.fn, "::1", 19284, &list), 0);
  ASSERT_EQ(list.count, 1);
  EXPECT_EQ(list.entries[0].family, ws::kAfInet6);
  EXPECT_EQ(list.entries[0].length, 28);
  EXPECT_NE(CSlaveNetMem::Resolve(&dll.fn, "127.0.0.1", 0, &list), 0);
  EXPECT_EQ(list.count, 0);
  EXPECT_NE(CSlaveNetMem::Resolve(&dll.fn, "127.0.0.1", 65536, &list), 0);
}

}  // namespace
