// A connection's block path allocates nothing once its handshake is done:
// this program replaces malloc and its relatives (operator new comes through
// them too) and counts every allocation of the process while counting is on.
// The session runs on the test's thread; the plug-in's side, on another,
// builds every message beforehand and only sends and receives while counting,
// so any allocation counted is the session's.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "SlaveSession.h"
#include "SlaveTestSupport.h"
#include "alloc/MallocCounter.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<size_t> allocations{0};
}  // namespace

void CountAllocation() {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}

namespace tovik::slave::test {
namespace {

// Reads exactly n bytes into dst without allocating; false on close or error.
bool ReadInto(int fd, unsigned char* dst, size_t n) {
  while (n > 0) {
    const ssize_t got = recv(fd, dst, n, 0);
    if (got <= 0) return false;
    dst += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

class SessionAllocation : public ::testing::TestWithParam<int> {};

TEST_P(SessionAllocation, BlocksAfterTheHandshakeAllocateNothing) {
  SlaveSettings settings;
  settings.stallMs = 2000;
  const int variant = GetParam();
  // 0: pass-through, 1: gain (decode and encode), 2: gain and event echo,
  // 3: a chain of the test VST 2.4 plug-in (timed in the record).
  if (variant == 1 || variant == 2) settings.SetGainDb(-6.0);
  settings.echoEvents = variant == 2;
  if (variant == 3) {
#if defined(TOVIK_TEST_VST)
    hosting::CChainBuilder builder;
    std::string error;
    ASSERT_TRUE(builder.AddPlugin(TOVIK_TEST_VST, &error)) << error;
    settings.chain = builder.Take();
#else
    GTEST_SKIP() << "the test plug-in is not built";
#endif
  }
  ConnectionRecord record;
  constexpr int kBlocks = 200;
  constexpr int32_t kFrames = 256;
  constexpr int32_t kChannels = 2;

  const Bytes handshake = Concat({Hello(), SetIo(kChannels, kChannels), SampleRate(48000.0f),
                                  BlockSize(kFrames), Code(msgGetInfo), Code(msgOpen), Code(msgResume)});
  const Bytes events = Concat({MidiRecord(3, 0x90, 60, 100), SysexRecord(24, Bytes{0xF0, 0x7E, 0xF7}, 9)});
  Bytes audio(static_cast<size_t>(kChannels * kFrames * 2));
  for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<unsigned char>(i * 13);
  // 16-bit wire audio: the gain variants convert every sample both ways.
  const Bytes block =
      variant == 2 ? Process(2, kChannels, kFrames, audio, events) : Process(2, kChannels, kFrames, audio);
  const size_t echoBytes = variant == 2 ? 8 + events.size() : 0;
  const size_t answerBytes = echoBytes + 16 + audio.size();
  Bytes answer(answerBytes);
  unsigned char handshakeAnswer[6 + 16];

  LoopbackPair pair;
  std::atomic<bool> stop{false};
  size_t counted = 0;
  bool exchanged = true;
  std::thread plugin([&] {
    exchanged =
        SendAll(pair.client, handshake) && ReadInto(pair.client, handshakeAnswer, sizeof handshakeAnswer);
    // The first block makes whatever a connection makes once (a chain says
    // its latency after answering it: the second answer comes after that).
    for (int i = 0; i < 2; ++i) {
      exchanged =
          exchanged && SendAll(pair.client, block) && ReadInto(pair.client, answer.data(), answer.size());
    }
    allocations.store(0);
    counting.store(true);
    for (int i = 0; i < kBlocks && exchanged; ++i) {
      exchanged = SendAll(pair.client, block) && ReadInto(pair.client, answer.data(), answer.size());
    }
    counting.store(false);
    counted = allocations.load();
    pair.CloseClient();
  });
  SessionEnd end = SessionEnd::kStopped;
  uint64_t blocks = 0;
  {
    CSlaveSession session(pair.server, settings, nullptr, &stop);
    session.SetRecord(&record);
    end = session.Run();
    blocks = session.Blocks();
  }
  plugin.join();
  ASSERT_TRUE(exchanged);
  EXPECT_EQ(end, SessionEnd::kPeerClosed);
  EXPECT_EQ(blocks, static_cast<uint64_t>(kBlocks + 2));
  EXPECT_EQ(Get32(Bytes(answer.end() - static_cast<std::ptrdiff_t>(16 + audio.size()), answer.end()), 0),
            msgProcess);
  EXPECT_EQ(counted, 0u);
  if (variant == 3) {
    // The plug-in passes its input through (one instance per channel).
    EXPECT_EQ(Bytes(answer.end() - static_cast<std::ptrdiff_t>(audio.size()), answer.end()), audio);
    // Every block ran through the chain and was timed: the plug-ins' own time
    // lies within the chain's, which lies within the block's service.
    EXPECT_EQ(record.chainBlocks.load(), static_cast<uint64_t>(kBlocks + 2));
    const uint64_t plugins = record.pluginNs.load();
    const uint64_t chain = record.chainNs.load();
    const uint64_t service = record.serviceNs.load();
    EXPECT_GT(plugins, 0u);
    EXPECT_LT(plugins, chain);
    EXPECT_LT(chain, service);
  } else {
    EXPECT_EQ(record.chainBlocks.load(), 0u);
    EXPECT_EQ(record.pluginNs.load(), 0u);
    EXPECT_EQ(record.chainNs.load(), 0u);
    EXPECT_EQ(record.serviceNs.load(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(PassThroughGainEchoAndChain, SessionAllocation, ::testing::Values(0, 1, 2, 3));

}  // namespace
}  // namespace tovik::slave::test
