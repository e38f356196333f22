// Faults injected on a running relay: a slave killed or stalled in the middle
// of a message, restarted many times, answering garbage; a host that closes
// the plug-in during the handshake, that runs 16 instances at once, or that
// never calls idle while no slave can be reached. The plug-in must come back
// from each: every process call returns within its bound, outputs of a block
// without an answer stay as the host gave them, nothing leaks, and the next
// slave is relayed to as before.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "QuietHost.h"
#include "SlaveProcess.h"
#include "platform/UserStore.h"
#include "relay/BuildConstants.h"
#include "relay/Tovik.h"
#include "support/ScriptedPeer.h"
#include "support/TovikInspector.h"

namespace {

using tovik::test::OpenDescriptors;
using tovik::test::QuietHost;
using tovik::test::SlaveProcess;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;
using I = TovikInspector;
using Message = ScriptedPeer::Message;

constexpr float kUntouched = 7.0f;
constexpr int kFrames = 256;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Bytes of heap in use (glibc's count; meaningless under a sanitizer).
size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks;
}

Bytes Int32s(std::initializer_list<int32_t> values) {
  Bytes out;
  for (int32_t v : values) ScriptedPeer::PutInt32(out, v);
  return out;
}

// Host buffers of `channels` channels, filled with `fill`, and their pointers.
struct Buffers {
  Buffers(int channels, int frames, float fill) : data(channels, std::vector<float>(frames, fill)) {
    for (auto& c : data) pointers.push_back(c.data());
  }
  float** get() { return pointers.data(); }
  bool All(float value) const {
    for (const auto& c : data)
      for (float f : c)
        if (f != value) return false;
    return true;
  }
  std::vector<std::vector<float>> data;
  std::vector<float*> pointers;
};

// A test signal that differs per instance and per block.
void FillSignal(Buffers& b, int instance, int block) {
  for (size_t c = 0; c < b.data.size(); ++c)
    for (size_t i = 0; i < b.data[c].size(); ++i)
      b.data[c][i] =
          static_cast<float>(((instance * 131 + block * 17 + static_cast<int>(c * 7 + i)) % 200) - 100) /
          128.0f;
}

// The slave's side of a handshake on a scripted peer.
bool AnswerHandshake(ScriptedPeer& peer, int acceptMs = 3000) {
  if (!peer.Accept(acceptMs)) return false;
  Message m;
  for (int32_t code : {msgHello, msgSetIo, msgSetSampleRate, msgSetBlockSize, msgGetInfo}) {
    if (!peer.ReadMessage(m) || m.code != code) return false;
  }
  return peer.Write(Int32s({msgGetInfo, 1, 2, 3})) && peer.ReadMessage(m) && m.code == msgOpen;
}

class FaultInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    configDir = std::filesystem::temp_directory_path() /
                ("tovik-faults-" + std::string(info->name()) + "-" + std::to_string(getpid()));
    std::filesystem::create_directories(configDir);
    setenv("XDG_CONFIG_HOME", configDir.c_str(), 1);
    tovik::platform::UserStore store(build::kStoreKey);
    store.WriteInt("ConfigDlg", 0);
    store.Close();
    QuietHost::asyncAllowed = true;
  }

  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(configDir, ignored);
  }

  // An instance pointed at 127.0.0.1:port, 48 kHz, blocks of kFrames, resumed.
  static std::unique_ptr<CTovik> Make(unsigned port) {
    auto t = std::make_unique<CTovik>(QuietHost::Callback());
    PointAt(*t, port);
    t->setBlockSizeAndSampleRate(kFrames, 48000.0f);
    t->resume();
    return t;
  }

  static void PointAt(CTovik& t, unsigned port) {
    std::string text = "Host=127.0.0.1\nPort=" + std::to_string(port) + "\n";
    t.setChunk(text.data(), static_cast<VstInt32>(text.size() + 1), false);
  }

  // A host that never calls idle: process calls connect; the one whose
  // handshake succeeds activates the connection and relays its own block.
  // True once connected (within timeoutMs).
  static bool ConnectByProcess(CTovik& t, int timeoutMs = 3000) {
    const Clock::time_point start = Clock::now();
    while (!I::Connected(t) && MsSince(start) < timeoutMs) {
      t.processReplacing(nullptr, nullptr, kFrames);
      if (!I::Connected(t)) SleepMs(2);
    }
    return I::Connected(t);
  }

  // One synchronous block through a pass-through slave at 32-bit float:
  // true when the outputs carry the inputs exactly.
  static bool RelayOneBlock(CTovik& t, int instance, int block) {
    Buffers in(2, kFrames, 0.0f);
    Buffers out(2, kFrames, kUntouched);
    FillSignal(in, instance, block);
    t.processReplacing(in.get(), out.get(), kFrames);
    return out.data == in.data;
  }

  // The scripted slave's handshake, run while the plug-in's process calls
  // connect. The call that connects also activates (msgResume) and relays its
  // own block, which the slave answers with silence.
  static bool ConnectToPeer(CTovik& t, ScriptedPeer& peer) {
    bool answered = false;
    std::thread slave([&] {
      Message resume;
      Message block;
      Bytes silence = Int32s({msgProcess, 4, 2, kFrames});
      silence.resize(silence.size() + 2 * kFrames * 4, 0);
      answered = AnswerHandshake(peer) && peer.ReadMessage(resume) && resume.code == msgResume &&
                 peer.ReadMessage(block) && block.code == msgProcess && block.frames == kFrames &&
                 peer.Write(silence);
    });
    const Clock::time_point start = Clock::now();
    while (!I::Connected(t) && MsSince(start) < 3000) {
      t.processReplacing(nullptr, nullptr, kFrames);
      if (!I::Connected(t)) SleepMs(1);
    }
    slave.join();
    return answered && I::Connected(t) && !I::OpenPending(t) && I::UnansweredBlocks(t) == 0;
  }

  // One synchronous block that the scripted slave answers with the very
  // samples it received.
  static void RelayEchoed(CTovik& t, ScriptedPeer& peer, Buffers& in, Buffers& out) {
    std::thread answer([&] {
      Message block;
      if (!peer.ReadMessage(block) || block.code != msgProcess) return;
      Bytes reply = Int32s({msgProcess, 4, 2, kFrames});
      reply.insert(reply.end(), block.audio.begin(), block.audio.end());
      peer.Write(reply);
    });
    t.processReplacing(in.get(), out.get(), kFrames);
    answer.join();
  }

  std::filesystem::path configDir;
};

bool HaveSlave() {
  return std::filesystem::exists(SlaveProcess::Program());
}

// --- A slave that dies ------------------------------------------------------------------

// The slave's answer stops after half of its audio and the connection closes:
// the process call returns, the outputs keep what the host gave them, the
// connection is dropped, and a slave that comes back is relayed to again.
TEST_F(FaultInjectionTest, SlaveClosingInTheMiddleOfTheAnswerLeavesOutputsAndReconnects) {
  ScriptedPeer peer;
  ASSERT_TRUE(peer.Listening());
  auto t = Make(peer.Port());
  ASSERT_TRUE(ConnectToPeer(*t, peer));

  Buffers in(2, kFrames, 0.25f);
  Buffers out(2, kFrames, kUntouched);
  std::thread slave([&] {
    Message block;
    if (!peer.ReadMessage(block) || block.code != msgProcess) return;
    Bytes half = Int32s({msgProcess, 4, 2, kFrames});
    half.resize(half.size() + kFrames * 4, 0x11);  // one of two channels
    peer.Write(half);
    peer.CloseConnection();
  });
  const Clock::time_point start = Clock::now();
  t->processReplacing(in.get(), out.get(), kFrames);
  const int64_t took = MsSince(start);
  slave.join();
  EXPECT_TRUE(out.All(kUntouched));
  EXPECT_FALSE(I::Connected(*t));
  EXPECT_FALSE(I::SocketOpen(*t));
  EXPECT_LT(took, 2000);

  // The slave is back: the next process calls connect and relay.
  ASSERT_TRUE(ConnectToPeer(*t, peer));
  RelayEchoed(*t, peer, in, out);
  EXPECT_TRUE(out.All(0.25f));
}

// The real slave is killed (SIGKILL) while it holds a block: same outcome.
TEST_F(FaultInjectionTest, SlaveKilledWhileHoldingABlock) {
  if (!HaveSlave()) GTEST_SKIP() << "tovik-slave not built";
  SlaveProcess slave;
  ASSERT_TRUE(slave.Start({"--quiet", "--delay-ms", "400"}));
  auto t = Make(slave.Port());
  ASSERT_TRUE(ConnectByProcess(*t));

  Buffers in(2, kFrames, 0.5f);
  Buffers out(2, kFrames, kUntouched);
  std::thread killer([&] {
    SleepMs(100);
    slave.Kill();
  });
  const Clock::time_point start = Clock::now();
  t->processReplacing(in.get(), out.get(), kFrames);
  const int64_t took = MsSince(start);
  killer.join();
  EXPECT_TRUE(out.All(kUntouched));
  EXPECT_FALSE(I::Connected(*t));
  EXPECT_LT(took, 2000);

  ASSERT_TRUE(slave.Start({"--quiet"}, slave.Port()));
  ASSERT_TRUE(ConnectByProcess(*t));
  EXPECT_TRUE(RelayOneBlock(*t, 0, 1));
}

// --- A slave that stalls ----------------------------------------------------------------

// The answer stops in the middle and the connection stays open: the read
// gives up after the transfer time-out, the connection is dropped (the slave
// sees it close) and the outputs are untouched.
TEST_F(FaultInjectionTest, SlaveStallingInTheMiddleOfAMessageIsDroppedWithinTheTransferTimeout) {
  struct Stall {
    const char* name;
    Bytes bytes;
  };
  const Bytes partialHeader = Int32s({msgProcess, 4});
  Bytes partialAudio = Int32s({msgProcess, 4, 2, kFrames});
  partialAudio.resize(partialAudio.size() + 100, 0);
  Bytes partialEvents = Int32s({msgEvents, 62});
  partialEvents.resize(partialEvents.size() + 31, 0);
  const Stall stalls[] = {
      {"header", partialHeader}, {"audio", partialAudio}, {"events", partialEvents}, {"code", Bytes{11, 0}}};

  ScriptedPeer peer;
  ASSERT_TRUE(peer.Listening());
  auto t = Make(peer.Port());
  constexpr int kTransferTimeoutMs = 300;
  for (const Stall& stall : stalls) {
    SCOPED_TRACE(stall.name);
    ASSERT_TRUE(ConnectToPeer(*t, peer));
    I::Link(*t).SetTransferTimeout(kTransferTimeoutMs);
    Buffers in(2, kFrames, 0.5f);
    Buffers out(2, kFrames, kUntouched);
    std::thread slave([&] {
      Message block;
      if (peer.ReadMessage(block) && block.code == msgProcess) peer.Write(stall.bytes);
    });
    const Clock::time_point start = Clock::now();
    t->processReplacing(in.get(), out.get(), kFrames);
    const int64_t took = MsSince(start);
    slave.join();
    EXPECT_TRUE(out.All(kUntouched));
    EXPECT_FALSE(I::Connected(*t));
    // The message begins within one 100 ms wait and ends at the transfer
    // time-out; the rest is slack for a loaded machine.
    EXPECT_LT(took, kTransferTimeoutMs + 100 + 1500);
    EXPECT_TRUE(peer.SeesClose(1000));
    peer.CloseConnection();
  }
}

// --- A slave restarted many times --------------------------------------------------------

// The slave is killed and started again 20 times, each time with a few blocks
// relayed in between. Afterwards the process holds as many descriptors as
// before and its heap has not grown.
TEST_F(FaultInjectionTest, SlaveRestartedManyTimesLeaksNoDescriptorOrMemory) {
  if (!HaveSlave()) GTEST_SKIP() << "tovik-slave not built";
  constexpr int kRestarts = 20;
  SlaveProcess slave;
  ASSERT_TRUE(slave.Start({"--quiet"}));
  const unsigned port = slave.Port();
  auto t = Make(port);

  int fdsBefore = 0;
  size_t heapBefore = 0;
  int survived = 0;
  for (int round = 0; round <= kRestarts; ++round) {
    if (round > 0) {
      ASSERT_TRUE(slave.Start({"--quiet"}, port)) << "round " << round;
    }
    ASSERT_TRUE(ConnectByProcess(*t)) << "round " << round;
    for (int block = 0; block < 5; ++block) ASSERT_TRUE(RelayOneBlock(*t, round, block)) << "round " << round;
    slave.Kill();
    // The next block finds the slave gone.
    Buffers in(2, kFrames, 0.5f);
    Buffers out(2, kFrames, kUntouched);
    for (int i = 0; i < 3 && I::Connected(*t); ++i) t->processReplacing(in.get(), out.get(), kFrames);
    ASSERT_FALSE(I::Connected(*t)) << "round " << round;
    ASSERT_TRUE(out.All(kUntouched));
    if (round == 0) {
      // Measured after one whole cycle, so that whatever the first
      // connection sets up once (the resolver, the socket library) is in.
      fdsBefore = OpenDescriptors();
      heapBefore = HeapInUse();
    } else {
      ++survived;
    }
  }
  const int fdsAfter = OpenDescriptors();
  const size_t heapAfter = HeapInUse();
  std::printf(
      "restarts survived: %d; descriptors before %d, after %d; heap in use before %zu, after %zu bytes\n",
      survived, fdsBefore, fdsAfter, heapBefore, heapAfter);
  RecordProperty("descriptors_before", fdsBefore);
  RecordProperty("descriptors_after", fdsAfter);
  EXPECT_EQ(survived, kRestarts);
  EXPECT_EQ(fdsAfter, fdsBefore);
  if (!kSanitized) {
    EXPECT_LE(heapAfter, heapBefore + 16 * 1024);
  }
}

// --- A slave that answers garbage ----------------------------------------------------------

// Answers that no slave sends: impossible counts, oversized lengths, unknown
// codes, random bytes. The plug-in survives each, and a well-behaved answer
// on the next connection is relayed exactly.
TEST_F(FaultInjectionTest, SlaveAnsweringGarbageIsSurvived) {
  std::vector<Bytes> garbage = {
      Int32s({msgProcess, 4, -1, kFrames}),  // negative channel count
      Int32s({msgProcess, 4, 16, 1000000}),  // more audio than the area holds
      Int32s({msgProcess, -4, 2, kFrames}),  // negative sample width
      Int32s({msgProcess, 4, 2, -kFrames}),  // negative frame count
      Int32s({msgEvents, -5}),               // negative event length
      Int32s({msgEvents, 70000}),            // more events than the area holds
      Int32s({kMsgFailed}),                  // the failure code
      Int32s({msgHelloReply}),               // a reply without its bytes, then the close
  };
  std::mt19937 random(20261208);
  for (int i = 0; i < 24; ++i) {
    Bytes noise(1 + random() % 4096);
    for (auto& b : noise) b = static_cast<unsigned char>(random());
    if (i % 3 == 0) {
      // A plausible start and noise after it.
      const Bytes head = Int32s({i % 2 ? msgEvents : msgProcess});
      std::copy(head.begin(), head.end(), noise.begin());
    }
    garbage.push_back(noise);
  }

  ScriptedPeer peer;
  ASSERT_TRUE(peer.Listening());
  auto t = Make(peer.Port());
  int survived = 0;
  for (size_t i = 0; i < garbage.size(); ++i) {
    SCOPED_TRACE("garbage " + std::to_string(i));
    ASSERT_TRUE(ConnectToPeer(*t, peer));
    I::Link(*t).SetTransferTimeout(300);
    Buffers in(2, kFrames, 0.5f);
    Buffers out(2, kFrames, kUntouched);
    std::thread slave([&] {
      Message block;
      if (!peer.ReadMessage(block) || block.code != msgProcess) return;
      peer.Write(garbage[i]);
      peer.CloseConnection();  // garbage, then the end of the stream
    });
    const Clock::time_point start = Clock::now();
    t->processReplacing(in.get(), out.get(), kFrames);
    const int64_t took = MsSince(start);
    slave.join();
    EXPECT_LT(took, 2500);
    // Whatever the garbage said, the host's buffers hold either what they
    // held or a decoded answer: never anything outside the buffers (the
    // sanitizer build checks that), and the connection is gone.
    for (int k = 0; k < 3 && I::Connected(*t); ++k) t->processReplacing(in.get(), out.get(), kFrames);
    EXPECT_FALSE(I::Connected(*t));
    ++survived;
  }

  // A well-behaved slave after all that.
  ASSERT_TRUE(ConnectToPeer(*t, peer));
  Buffers in(2, kFrames, 0.125f);
  Buffers out(2, kFrames, kUntouched);
  RelayEchoed(*t, peer, in, out);
  EXPECT_TRUE(out.All(0.125f));
  std::printf("garbage answers survived: %d of %zu\n", survived, garbage.size());
}

// --- A host that closes during the handshake -----------------------------------------------

// The handshake is under way on the host's idle thread (the slave holds back
// its info answer) when the host closes the plug-in: close waits for the
// handshake, then tells the slave msgClose, and the instance goes without a
// descriptor left behind.
TEST_F(FaultInjectionTest, HostClosingDuringTheHandshake) {
  const int fdsBefore = OpenDescriptors();
  {
    ScriptedPeer peer;
    ASSERT_TRUE(peer.Listening());
    auto t = Make(peer.Port());
    std::vector<int32_t> seen;
    std::thread slave([&] {
      if (!peer.Accept(3000)) return;
      Message m;
      for (int i = 0; i < 5 && peer.ReadMessage(m); ++i) seen.push_back(m.code);
      SleepMs(150);  // the info answer comes late, but within 250 ms
      peer.Write(Int32s({msgGetInfo, 1, 2, 3}));
      while (peer.ReadMessage(m)) seen.push_back(m.code);
    });
    std::thread idle([&] { t->fxIdle(); });
    SleepMs(50);  // the handshake is waiting for the info answer now
    const Clock::time_point start = Clock::now();
    t->close();  // effClose's first step, on the host's other thread
    const int64_t took = MsSince(start);
    idle.join();
    t.reset();  // and the instance goes
    slave.join();
    EXPECT_LT(took, 2000);
    // The idle call sent the handshake and returned; close came while the
    // info answer was awaited, and msgClose went out on the open connection.
    const std::vector<int32_t> expected = {msgHello,        msgSetIo,   msgSetSampleRate,
                                           msgSetBlockSize, msgGetInfo, msgClose};
    EXPECT_EQ(seen, expected);
  }
  {
    // The slave never answers: the idle calls give the attempt up 250 ms after
    // msgGetInfo, and close finds nothing left to send on.
    ScriptedPeer peer;
    auto t = Make(peer.Port());
    t->fxIdle();
    ASSERT_TRUE(peer.Accept(3000));
    const Clock::time_point start = Clock::now();
    while (I::AttemptUnderWay(*t) && MsSince(start) < 2000) {
      SleepMs(5);
      t->fxIdle();
    }
    EXPECT_FALSE(I::SocketOpen(*t));
    AEffect* effect = t->getAeffect();
    effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
    t.release();
    EXPECT_TRUE(peer.SeesClose(1000));
  }
  EXPECT_EQ(OpenDescriptors(), fdsBefore);
}

// --- Sixteen instances at once ---------------------------------------------------------------

// 16 instances, each with a slave of its own, relay at the same time from 16
// threads; synchronous and asynchronous instances alternate. Every block of
// every instance comes back exactly.
TEST_F(FaultInjectionTest, SixteenInstancesRelayAtOnce) {
  if (!HaveSlave()) GTEST_SKIP() << "tovik-slave not built";
  constexpr int kInstances = 16;
  constexpr int kBlocks = 100;
  std::vector<std::unique_ptr<SlaveProcess>> slaves;
  std::vector<std::unique_ptr<CTovik>> plugins;
  for (int i = 0; i < kInstances; ++i) {
    slaves.push_back(std::make_unique<SlaveProcess>());
    ASSERT_TRUE(slaves.back()->Start({"--quiet"})) << i;
    plugins.push_back(Make(slaves.back()->Port()));
    if (i % 2) plugins.back()->setParameter(0, 0.0f);  // asynchronous
  }
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kInstances; ++i) {
    threads.emplace_back([&, i] {
      CTovik& t = *plugins[static_cast<size_t>(i)];
      if (!ConnectByProcess(t, 5000)) return;
      const bool synch = I::Synch(t);
      int blocksGood = 0;
      for (int b = 0; b < kBlocks; ++b) {
        Buffers in(2, kFrames, 0.0f);
        Buffers out(2, kFrames, kUntouched);
        FillSignal(in, i, b);
        t.processReplacing(in.get(), out.get(), kFrames);
        if (!synch) {
          const Clock::time_point start = Clock::now();
          while (t.reportCurrentPosition() == 0 && MsSince(start) < 2000) SleepMs(0);
        }
        if (out.data == in.data) ++blocksGood;
      }
      if (blocksGood == kBlocks) ++good;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), kInstances);
}

// --- A host that never calls idle while no slave can be reached ---------------------------------

// Nothing listens on the port: every process call makes a connection attempt,
// which is refused at once.
TEST_F(FaultInjectionTest, NoIdleAndNoSlaveEveryProcessCallReturnsQuickly) {
  auto t = Make(SlaveProcess::FreePort());
  const int fdsBefore = OpenDescriptors();
  Buffers in(2, kFrames, 0.5f);
  Buffers out(2, kFrames, kUntouched);
  int64_t longest = 0;
  for (int i = 0; i < 200; ++i) {
    const Clock::time_point start = Clock::now();
    t->processReplacing(in.get(), out.get(), kFrames);
    longest = std::max(longest, MsSince(start));
  }
  EXPECT_FALSE(I::Connected(*t));
  EXPECT_TRUE(out.All(kUntouched));
  EXPECT_LT(longest, CSlaveNetMem::kConnectTimeoutMs + 250);
  EXPECT_EQ(OpenDescriptors(), fdsBefore);
}

// A listener whose queue is full drops the plug-in's connection requests, so
// its connect never completes: no process call waits for it (the connect is
// non-blocking and looked at again by later calls), the attempt is given up
// after its 1 s bound, and the outputs stay as they were.
TEST_F(FaultInjectionTest, NoIdleAndAnUnreachableSlaveNoProcessCallWaitsForTheConnect) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  // Fill the accept queue; nobody ever accepts.
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    fillers.push_back(s);
  }
  SleepMs(50);

  auto t = Make(ntohs(address.sin_port));
  const int fdsBefore = OpenDescriptors();
  Buffers in(2, kFrames, 0.5f);
  Buffers out(2, kFrames, kUntouched);
  int64_t longest = 0;
  const Clock::time_point begin = Clock::now();
  while (MsSince(begin) < CSlaveNetMem::kConnectTimeoutMs + 200) {
    const Clock::time_point start = Clock::now();
    t->processReplacing(in.get(), out.get(), kFrames);
    longest = std::max(longest, MsSince(start));
    SleepMs(2);
  }
  std::printf("longest process call with an unreachable slave: %lld ms\n", static_cast<long long>(longest));
  EXPECT_FALSE(I::Connected(*t));
  EXPECT_FALSE(I::AttemptUnderWay(*t));  // given up after the connect's bound
  EXPECT_TRUE(out.All(kUntouched));
  // A sanity bound for a loaded machine: a blocking connect took 1000 ms here.
  EXPECT_LT(longest, 100);
  EXPECT_EQ(OpenDescriptors(), fdsBefore);
  t.reset();
  for (int s : fillers) close(s);
  close(listener);
}

}  // namespace
