// The slave's hosting path allocates nothing once a chain is made: this
// program replaces malloc and its relatives (operator new comes through them
// too, and so do the hosted plug-ins' allocations) and counts what the test's
// own thread allocates while counting is on. Blocks with events are read from
// the wire's records, run through real LV2 chains (a mono plug-in replicated
// on a stereo connection, a MIDI plug-in, instruments, a sampler and a test
// plug-in that hand work to the worker thread) in one part and in several,
// and their events written back: the count must stay 0.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "SlaveTestSupport.h"
#include "alloc/MallocCounter.h"
#include "hosting/PluginChain.h"
#include "hosting/WireEvents.h"

namespace {
thread_local bool counting = false;
thread_local size_t allocations = 0;
}  // namespace

void CountAllocation() {
  if (counting) ++allocations;
}

namespace tovik::slave::hosting {
namespace {

using test::Bytes;

struct Case {
  const char* uri;
  int32_t channels;
};

// Runs 200 blocks through an activated chain as the session does (the wire's
// event records read, the chain, its events written back), alternating 256
// frames in one part with 1000 in four and going through all four
// precisions, with the time record `time` (null: a stopped transport); the
// allocations made meanwhile on this thread. The last block's events are
// left in *out.
size_t AllocationsOverBlocks(CPluginChain* chain, int32_t channels, const unsigned char* time,
                             CEventList* out) {
  CEventList in;
  std::vector<unsigned char> input(static_cast<size_t>(channels) * 1000 * 4, 0);
  std::vector<unsigned char> output(input.size());
  std::vector<unsigned char> back(65535);
  const Bytes records = test::Concat({test::MidiRecord(3, 0x90, 60, 100), test::MidiRecord(300, 0x80, 60, 0),
                                      test::SysexRecord(24, {0xF0, 1, 0xF7}, 5)});
  size_t counted = 0;
  for (int block = 0; block < 200; ++block) {
    const int32_t frames = block % 2 == 0 ? 256 : 1000;
    const int32_t precision = 1 + block % 4;
    counting = true;
    in.Clear();
    ReadWireEvents(records.data(), static_cast<int32_t>(records.size()), 24, &in);
    chain->SetTimeRecord(time);
    chain->ProcessWire(precision, channels, frames, input.data(), output.data(), channels, in, out);
    WriteWireEvents(*out, 24, back.data(), static_cast<int32_t>(back.size()));
    counting = false;
    counted += allocations;
    allocations = 0;
  }
  return counted;
}

TEST(ChainAllocation, BlocksThroughRealLv2ChainsAllocateNothingAfterSetUp) {
#if !TOVIK_HAVE_LILV
  GTEST_SKIP() << "built without lilv";
#else
#if defined(TOVIK_TEST_LV2_DIR)
  setenv("LV2_PATH", (std::string(TOVIK_TEST_LV2_DIR) + ":/usr/lib/lv2:/usr/local/lib/lv2").c_str(), 1);
#endif
  const Case cases[] = {{"http://lv2plug.in/plugins/eg-amp", 2},
                        {"http://lv2plug.in/plugins/eg-fifths", 1},
                        {"http://drobilla.net/plugins/mda/EPiano", 2},
                        {"http://lv2plug.in/plugins/eg-sampler", 1},
                        {"urn:tovik:test:worker", 1}};
  int ran = 0;
  bool ranWorker = false;
  for (const Case& one : cases) {
    CChainBuilder builder;
    std::string error;
    if (!builder.AddPlugin(one.uri, &error)) continue;  // not installed
    CPluginChain chain(builder.Take());
    ASSERT_TRUE(chain.Configure(48000.0, 256, one.channels, &error)) << error;
    chain.Activate();
    CEventList out;
    EXPECT_EQ(AllocationsOverBlocks(&chain, one.channels, nullptr, &out), 0u) << one.uri;
    ++ran;
    ranWorker = ranWorker || std::string(one.uri) == "urn:tovik:test:worker";
  }
#if defined(TOVIK_TEST_LV2_DIR)
  EXPECT_TRUE(ranWorker) << "the worker test plug-in is built here and must run";
#endif
  if (ran == 0) GTEST_SKIP() << "none of the test plug-ins is installed";
#endif
}

// VST 2.4 plug-ins: the test plug-in asking for the time and sending back
// every event it gets, and an LSP compressor when lsp-plugins-vst is there.
TEST(ChainAllocation, BlocksThroughVstChainsAllocateNothingAfterSetUp) {
#if !defined(TOVIK_TEST_VST)
  GTEST_SKIP() << "the test plug-in is not built";
#else
  const Case cases[] = {{TOVIK_TEST_VST, 2}, {"/usr/lib/vst/lsp-plugins/compressor-stereo.so", 2}};
  int ran = 0;
  for (const Case& one : cases) {
    CChainBuilder builder;
    std::string error;
    std::vector<std::string> warnings;
    if (!builder.AddPlugin(one.uri, &error)) continue;  // not installed
    if (std::string(one.uri) == TOVIK_TEST_VST) {
      ASSERT_TRUE(builder.AddSetting("show_time=1", &error, &warnings));
    }
    CPluginChain chain(builder.Take());
    ASSERT_TRUE(chain.Configure(48000.0, 256, one.channels, &error)) << error;
    chain.Activate();
    CEventList out;
    const std::vector<unsigned char> time(88, 0);
    EXPECT_EQ(AllocationsOverBlocks(&chain, one.channels, time.data(), &out), 0u) << one.uri;
    if (std::string(one.uri) == TOVIK_TEST_VST) {
      EXPECT_EQ(out.Count(), 3u);
    }
    ++ran;
  }
  EXPECT_GE(ran, 1);
#endif
}

}  // namespace
}  // namespace tovik::slave::hosting
