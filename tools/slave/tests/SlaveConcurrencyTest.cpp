// tovik-slave serving many plug-in connections at once, each in its own
// process: every instance gets exactly its own audio back while others stall,
// stay silent or crash; the connection limit; keepalive on accepted sockets;
// the connection lines, status and warnings on its output.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SlaveProcessSupport.h"
#include "SlaveServer.h"

namespace tovik::slave::test {
namespace {

constexpr int32_t kFrames = 64;
constexpr int32_t kChannels = 2;
constexpr size_t kAudioBytes = size_t{kChannels} * kFrames * 4;

// Audio no other instance and no other block sends.
Bytes InstanceAudio(int instance, int block) {
  Bytes audio(kAudioBytes);
  for (size_t i = 0; i < audio.size(); ++i) {
    audio[i] = static_cast<unsigned char>(instance * 37 + block * 11 + static_cast<int>(i) * 3);
  }
  return audio;
}

Bytes Handshake() {
  return Concat({Hello(), SetIo(kChannels, kChannels), SampleRate(48000.0f), BlockSize(kFrames),
                 Code(msgGetInfo), Code(msgOpen)});
}

// The answer to a block: msgProcess, B, C, N and the same audio.
Bytes Answer(const Bytes& audio) {
  Bytes out = Code(msgProcess);
  Put32(out, 4);
  Put32(out, kChannels);
  Put32(out, kFrames);
  out.insert(out.end(), audio.begin(), audio.end());
  return out;
}

// The lines of the output that contain every one of the given texts.
std::vector<std::string> Lines(const std::string& output, std::initializer_list<std::string> texts) {
  std::vector<std::string> found;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    bool all = true;
    for (const std::string& text : texts) all = all && line.find(text) != std::string::npos;
    if (all) found.push_back(line);
  }
  return found;
}

std::string Tag(int id) {
  return "connection " + std::to_string(id) + " from 127.0.0.1:";
}

TEST(SlaveConcurrency, SixteenInstancesGetTheirOwnAudioWhileOthersStallStaySilentAndCrash) {
  const uint16_t port = FreePort();
  SlaveProcess slave({"--port", std::to_string(port), "--stall-ms", "1000", "--crash-after-blocks", "2",
                      "--crash-connection", "1"});
  ASSERT_TRUE(slave.WaitFor("listening on 127.0.0.1 port " + std::to_string(port))) << slave.Output();

  // Connection 1: its processing crashes on its third block.
  const int crasher = ConnectTo(port);
  ASSERT_GE(crasher, 0);
  ASSERT_TRUE(SendAll(crasher, Handshake()));
  ASSERT_EQ(ReadBytes(crasher, 6 + 16).size(), 22u);
  for (int block = 0; block < 2; ++block) {
    ASSERT_TRUE(SendAll(crasher, Process(4, kChannels, kFrames, InstanceAudio(99, block))));
    ASSERT_EQ(ReadBytes(crasher, 16 + kAudioBytes), Answer(InstanceAudio(99, block)));
  }
  // Connection 2 stops inside a message; connection 3 never sends a byte.
  const int stalled = ConnectTo(port);
  ASSERT_GE(stalled, 0);
  const Bytes half = Process(4, kChannels, kFrames, InstanceAudio(98, 0));
  ASSERT_TRUE(SendAll(stalled, Concat({Handshake(), Bytes(half.begin(), half.begin() + 100)})));
  const int silent = ConnectTo(port);
  ASSERT_GE(silent, 0);

  // Connections 4 to 19: sixteen instances relaying at once.
  constexpr int kInstances = 16;
  constexpr int kBlocks = 100;
  std::vector<int> fds;
  for (int i = 0; i < kInstances; ++i) {
    fds.push_back(ConnectTo(port));
    ASSERT_GE(fds.back(), 0);
    ASSERT_TRUE(SendAll(fds.back(), Handshake()));
  }
  for (int fd : fds) ASSERT_EQ(ReadBytes(fd, 6 + 16).size(), 22u);
  bool stallSeen = false;
  for (int block = 0; block < kBlocks; ++block) {
    if (block == 10) {
      ASSERT_TRUE(SendAll(crasher, Process(4, kChannels, kFrames, InstanceAudio(99, 2))));
    }
    for (int i = 0; i < kInstances; ++i) {
      ASSERT_TRUE(
          SendAll(fds[static_cast<size_t>(i)], Process(4, kChannels, kFrames, InstanceAudio(i, block))));
    }
    for (int i = 0; i < kInstances; ++i) {
      ASSERT_EQ(ReadBytes(fds[static_cast<size_t>(i)], 16 + kAudioBytes, 2000),
                Answer(InstanceAudio(i, block)))
          << "instance " << i << ", block " << block;
    }
    // Paced so that the stalled connection is dropped and the crash happens
    // while the sixteen are relaying.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!stallSeen && slave.WaitFor("left (dropped: stalled)", 10)) stallSeen = true;
  }
  EXPECT_TRUE(stallSeen) << slave.Output();
  EXPECT_TRUE(PeerCloses(crasher));
  EXPECT_TRUE(PeerCloses(stalled));
  // The silent one is still connected, waiting for its first message.
  EXPECT_TRUE(NothingArrives(silent, 0));
  for (int fd : fds) {
    ASSERT_TRUE(SendAll(fd, Code(msgClose)));
    EXPECT_TRUE(PeerCloses(fd));
    close(fd);
  }
  // Every leave line of the sixteen is there before the slave stops.
  for (int id = 4; id < 4 + kInstances; ++id) {
    const std::string left = "left (msgClose): 2 in, 2 out, 48000 Hz, block size 64, 100 blocks, ";
    bool found = false;
    for (int wait = 0; wait < 100 && !found; ++wait) {
      found = !Lines(slave.Output(), {Tag(id), left}).empty();
      if (!found) slave.WaitFor("\x01", 50);
    }
    EXPECT_TRUE(found) << id << "\n" << slave.Output();
    // One connect line; it names the plug-in when its msgHello came within the
    // second the slave waits for it (a loaded machine may take longer).
    EXPECT_EQ(Lines(slave.Output(), {Tag(id), ": connected, "}).size(), 1u) << id;
    EXPECT_EQ(
        Lines(slave.Output(), {Tag(id),
                               ": handshake complete: 2 in, 2 out, 48000 Hz, block size 64, precision 4 "
                               "(32-bit float), first block 2 x 64, chain pass-through"})
            .size(),
        1u)
        << id;
  }
  slave.Signal(SIGTERM);
  EXPECT_EQ(slave.Exit(), 0);
  const std::string& out = slave.Output();
  EXPECT_EQ(Lines(out, {Tag(1),
                        ": left (died: signal 6 (Aborted) in chain pass-through): 2 in, 2 out, 48000 Hz, "
                        "block size 64, 3 blocks, "})
                .size(),
            1u)
      << out;
  EXPECT_EQ(Lines(out, {Tag(2), ": left (dropped: stalled): 2 in, 2 out, 48000 Hz, block size 64, 0 blocks"})
                .size(),
            1u)
      << out;
  EXPECT_EQ(Lines(out, {Tag(3), ": connected, no msgHello yet"}).size(), 1u) << out;
  EXPECT_EQ(Lines(out, {Tag(3), ": left (slave stopping): ? in, ? out, ? Hz, block size ?, 0 blocks"}).size(),
            1u)
      << out;
  // 16 x 100 blocks, and the crashing connection's three.
  EXPECT_NE(out.find("tovik-slave: 19 connections, 1603 blocks processed, "), std::string::npos) << out;
  EXPECT_NE(out.find(", 0 refused, 1 died"), std::string::npos) << out;
  close(crasher);
  close(stalled);
  close(silent);
}

TEST(SlaveConcurrency, AConnectionOverTheLimitIsClosedAtOnceWithALine) {
  const uint16_t port = FreePort();
  SlaveProcess slave({"--port", std::to_string(port), "--max-connections", "2"});
  ASSERT_TRUE(slave.WaitFor("at most 2 connections")) << slave.Output();
  const int first = ConnectTo(port);
  const int second = ConnectTo(port);
  ASSERT_TRUE(SendAll(first, Hello()));
  ASSERT_TRUE(SendAll(second, Hello()));
  ASSERT_EQ(ReadBytes(first, 6).size(), 6u);
  ASSERT_EQ(ReadBytes(second, 6).size(), 6u);
  const int third = ConnectTo(port);
  ASSERT_GE(third, 0);
  ASSERT_TRUE(SendAll(third, Hello()));
  EXPECT_TRUE(PeerCloses(third));
  EXPECT_TRUE(slave.WaitFor(Tag(3)));
  EXPECT_TRUE(slave.WaitFor(": refused: 2 connections already open (--max-connections 2)")) << slave.Output();
  close(third);
  // Once one has left, the next is served.
  close(first);
  ASSERT_TRUE(slave.WaitFor(Tag(1))) << slave.Output();
  ASSERT_TRUE(slave.WaitFor("left (closed by the plug-in)")) << slave.Output();
  const int fourth = ConnectTo(port);
  ASSERT_TRUE(SendAll(fourth, Hello()));
  EXPECT_EQ(ReadBytes(fourth, 6), (Bytes{4, 0, 0, 0, 2, 8}));
  close(fourth);
  close(second);
  slave.Signal(SIGTERM);
  EXPECT_EQ(slave.Exit(), 0);
  EXPECT_NE(slave.Output().find("3 connections, 0 blocks processed"), std::string::npos) << slave.Output();
  EXPECT_NE(slave.Output().find(", 1 refused, 0 died"), std::string::npos) << slave.Output();
}

TEST(SlaveConcurrency, ConfiguredSocketsCarryTheKeepaliveOptions) {
  LoopbackPair pair;
  ASSERT_TRUE(ConfigureAcceptedSocket(pair.server));
  int value = 0;
  socklen_t length = sizeof value;
  ASSERT_EQ(getsockopt(pair.server, SOL_SOCKET, SO_KEEPALIVE, &value, &length), 0);
  EXPECT_EQ(value, 1);
  ASSERT_EQ(getsockopt(pair.server, IPPROTO_TCP, TCP_KEEPIDLE, &value, &length), 0);
  EXPECT_EQ(value, 10);
  ASSERT_EQ(getsockopt(pair.server, IPPROTO_TCP, TCP_KEEPINTVL, &value, &length), 0);
  EXPECT_EQ(value, 5);
  ASSERT_EQ(getsockopt(pair.server, IPPROTO_TCP, TCP_KEEPCNT, &value, &length), 0);
  EXPECT_EQ(value, 3);
  ASSERT_EQ(getsockopt(pair.server, IPPROTO_TCP, TCP_NODELAY, &value, &length), 0);
  EXPECT_EQ(value, 1);
}

// The kernel's table of TCP sockets shows the keepalive timer of the slave's
// end of an idle connection: armed (timer kind 2) and due within 10 s, where
// the system default would be two hours.
TEST(SlaveConcurrency, TheSlavesAcceptedSocketRunsTheShortKeepaliveTimer) {
  const uint16_t port = FreePort();
  SlaveProcess slave({"--port", std::to_string(port)});
  ASSERT_TRUE(slave.WaitFor("listening on")) << slave.Output();
  const int fd = ConnectTo(port);
  ASSERT_TRUE(SendAll(fd, Hello()));
  ASSERT_EQ(ReadBytes(fd, 6).size(), 6u);
  sockaddr_in local{};
  socklen_t length = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::ifstream table("/proc/net/tcp");
  if (!table) GTEST_SKIP() << "no /proc/net/tcp";
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, ":%04X", static_cast<unsigned>(ntohs(local.sin_port)));
  char ours[32];
  std::snprintf(ours, sizeof ours, ":%04X", static_cast<unsigned>(port));
  std::string line;
  bool found = false;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, localAddress, remoteAddress, state, queues, timer;
    fields >> slot >> localAddress >> remoteAddress >> state >> queues >> timer;
    if (localAddress.size() < 5 || localAddress.substr(localAddress.size() - 5) != ours) continue;
    if (remoteAddress.size() < 5 || remoteAddress.substr(remoteAddress.size() - 5) != wanted) continue;
    found = true;
    ASSERT_EQ(timer.size(), 11u) << line;
    EXPECT_EQ(timer.substr(0, 3), "02:") << line;
    const unsigned long ticks = std::stoul(timer.substr(3), nullptr, 16);
    // Clock ticks of 1/100 s.
    EXPECT_LE(ticks, 1000u) << line;
  }
  EXPECT_TRUE(found);
  close(fd);
}

TEST(SlaveConcurrency, Sigusr1PrintsTheStatusOfEveryOpenConnection) {
  const uint16_t port = FreePort();
  SlaveProcess slave({"--port", std::to_string(port)});
  ASSERT_TRUE(slave.WaitFor("listening on")) << slave.Output();
  const int a = ConnectTo(port);
  const int b = ConnectTo(port);
  for (int fd : {a, b}) ASSERT_TRUE(SendAll(fd, Handshake()));
  for (int fd : {a, b}) ASSERT_EQ(ReadBytes(fd, 22).size(), 22u);
  for (int block = 0; block < 5; ++block) {
    ASSERT_TRUE(SendAll(a, Process(4, kChannels, kFrames, InstanceAudio(1, block))));
    ASSERT_EQ(ReadBytes(a, 16 + kAudioBytes), Answer(InstanceAudio(1, block)));
  }
  ASSERT_TRUE(slave.WaitFor(Tag(1) + "")) << slave.Output();
  slave.Signal(SIGUSR1);
  ASSERT_TRUE(slave.WaitFor("tovik-slave: status: 2 open, 2 served, 0 refused, 0 died")) << slave.Output();
  ASSERT_TRUE(slave.WaitFor(" 0 blocks, processing p50 0 ns, p99 0 ns, 0 late, ")) << slave.Output();
  EXPECT_EQ(Lines(slave.Output(), {Tag(1), ": 5 blocks, processing p50 ", ", 0 late, "}).size(), 1u)
      << slave.Output();
  EXPECT_EQ(Lines(slave.Output(), {Tag(2), ": 0 blocks, processing p50 0 ns, p99 0 ns, 0 late, "}).size(), 1u)
      << slave.Output();
  close(a);
  close(b);
}

TEST(SlaveConcurrency, StatusIntervalPrintsLinesByItself) {
  const uint16_t port = FreePort();
  SlaveProcess slave({"--port", std::to_string(port), "--status-interval", "1"});
  ASSERT_TRUE(slave.WaitFor("listening on")) << slave.Output();
  const int fd = ConnectTo(port);
  ASSERT_TRUE(SendAll(fd, Handshake()));
  ASSERT_EQ(ReadBytes(fd, 22).size(), 22u);
  EXPECT_TRUE(slave.WaitFor("tovik-slave: status: 1 open, 1 served", 5000)) << slave.Output();
  EXPECT_TRUE(slave.WaitFor(": 0 blocks, processing p50 0 ns", 5000)) << slave.Output();
  close(fd);
}

TEST(SlaveConcurrency, VerboseTracesEveryMessage) {
  const uint16_t port = FreePort();
  SlaveProcess slave({"--port", std::to_string(port), "--verbose"});
  ASSERT_TRUE(slave.WaitFor("listening on")) << slave.Output();
  const int fd = ConnectTo(port);
  ASSERT_TRUE(SendAll(fd, Concat({Handshake(), Process(4, kChannels, kFrames, InstanceAudio(0, 0))})));
  ASSERT_EQ(ReadBytes(fd, 22 + 16 + kAudioBytes).size(), 22 + 16 + kAudioBytes);
  for (const char* text : {"connection 1: msgHello 1.8", "connection 1: msgSetIo 2 in, 2 out",
                           "connection 1: msgSetSampleRate 48000", "connection 1: msgSetBlockSize 64",
                           "connection 1: msgGetInfo", "connection 1: msgOpen",
                           "connection 1: msgProcess B 4, C 2, N 64, 0 event bytes"}) {
    EXPECT_TRUE(slave.WaitFor(text)) << text << "\n" << slave.Output();
  }
  close(fd);
}

TEST(SlaveConcurrency, BindingBeyondLoopbackWarnsEvenWhenQuiet) {
  const uint16_t port = FreePort();
  SlaveProcess open({"--quiet", "--bind", "0.0.0.0", "--port", std::to_string(port)});
  EXPECT_TRUE(
      open.WaitFor("tovik-slave: warning: listening on 0.0.0.0, which other machines can reach. The link has "
                   "no authentication or encryption: let only a trusted network reach port " +
                   std::to_string(port) + "."))
      << open.Output();
  open.Signal(SIGTERM);
  EXPECT_EQ(open.Exit(), 0);

  const uint16_t other = FreePort();
  SlaveProcess loopback({"--bind", "127.0.0.1", "--port", std::to_string(other)});
  ASSERT_TRUE(loopback.WaitFor("listening on")) << loopback.Output();
  loopback.Signal(SIGTERM);
  EXPECT_EQ(loopback.Exit(), 0);
  EXPECT_EQ(loopback.Output().find("warning"), std::string::npos) << loopback.Output();
}

TEST(SlaveConcurrency, VersionPrintsTheProjectVersion) {
  SlaveProcess slave({"--version"});
  EXPECT_EQ(slave.Exit(), 0);
  EXPECT_EQ(slave.Output(), std::string("tovik-slave ") + TOVIK_VERSION + "\n");
}

}  // namespace
}  // namespace tovik::slave::test
