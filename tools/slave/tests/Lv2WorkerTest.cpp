// The LV2 worker extension: the ring that carries requests and answers, and a
// test plug-in built here whose every note-on is worked on the worker's
// thread and comes back an octave higher at the start of a later run.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if TOVIK_HAVE_LILV
#include "hosting/Lv2Worker.h"
#include "hosting/PluginChain.h"

namespace tovik::slave::hosting {
namespace {

TEST(RecordRing, RecordsComeOutWholeAndInOrderAcrossTheEndOfTheRing) {
  CRecordRing ring(64);
  unsigned char out[64];
  uint32_t size = 0;
  EXPECT_FALSE(ring.Read(out, sizeof out, &size));
  // Records of 4 + 10 bytes: the fifth wraps around the ring's end.
  for (int round = 0; round < 20; ++round) {
    unsigned char record[10];
    for (int i = 0; i < 10; ++i) record[i] = static_cast<unsigned char>(round * 10 + i);
    ASSERT_TRUE(ring.Write(record, sizeof record)) << round;
    ASSERT_TRUE(ring.Read(out, sizeof out, &size)) << round;
    ASSERT_EQ(size, 10u);
    EXPECT_EQ(std::memcmp(out, record, 10), 0) << round;
  }
  EXPECT_FALSE(ring.Read(out, sizeof out, &size));
}

TEST(RecordRing, AFullRingRefusesAndARecordTooLongForTheReaderIsSkipped) {
  CRecordRing ring(32);
  const unsigned char twelve[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_TRUE(ring.Write(twelve, 12));   // 16 bytes used
  EXPECT_TRUE(ring.Write(twelve, 12));   // 32: full
  EXPECT_FALSE(ring.Write(twelve, 1));   // no room for 5 more
  EXPECT_FALSE(ring.Write(twelve, 40));  // never fits
  unsigned char out[8];
  uint32_t size = 0;
  // Both are longer than the reader's 8 bytes: dropped, the ring emptied.
  EXPECT_FALSE(ring.Read(out, sizeof out, &size));
  EXPECT_TRUE(ring.Write(twelve, 0));
  EXPECT_TRUE(ring.Read(out, sizeof out, &size));
  EXPECT_EQ(size, 0u);
}

#if defined(TOVIK_TEST_LV2_DIR)

struct Sent {
  int32_t frame;
  unsigned char message[3];
};

// Runs blocks of 64 frames of the test plug-in until `want` messages came
// back (or 500 blocks went by, 1 ms apart).
std::vector<Sent> RunUntil(CPluginChain* chain, const CEventList& first, size_t want) {
  std::vector<Sent> sent;
  CEventList none, out;
  for (int block = 0; block < 500 && sent.size() < want; ++block) {
    out.Clear();
    chain->Run(64, block == 0 ? first : none, &out);
    for (size_t i = 0; i < out.Count(); ++i) {
      const unsigned char* data = out.Data(out.At(i));
      if (out.At(i).size == 3) sent.push_back(Sent{out.At(i).frame, {data[0], data[1], data[2]}});
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return sent;
}

TEST(Lv2Worker, ANoteIsWorkedOnAnotherThreadAndItsAnswerComesBackAfterTheRun) {
  setenv("LV2_PATH", (std::string(TOVIK_TEST_LV2_DIR) + ":/usr/lib/lv2:/usr/local/lib/lv2").c_str(), 1);
  CChainBuilder builder;
  std::string error;
  ASSERT_TRUE(builder.AddPlugin("urn:tovik:test:worker", &error)) << error;
  CPluginChain chain(builder.Take());
  ASSERT_TRUE(chain.Configure(48000.0, 64, 1, &error)) << error;
  chain.Activate();

  CEventList notes;
  const unsigned char c4[3] = {0x90, 60, 100}, e4[3] = {0x90, 64, 90}, off[3] = {0x80, 60, 0};
  notes.Add(5, c4, 3);
  notes.Add(9, off, 3);  // not a note-on: no work
  notes.Add(20, e4, 3);
  const std::vector<Sent> sent = RunUntil(&chain, notes, 2);
  // Both answers, in the order asked, an octave up, worked on another thread
  // (velocity 2), sent at the start of the run after their answers came.
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].frame, 0);
  EXPECT_EQ(std::vector<int>(sent[0].message, sent[0].message + 3), (std::vector<int>{0x90, 72, 2}));
  EXPECT_EQ(std::vector<int>(sent[1].message, sent[1].message + 3), (std::vector<int>{0x90, 76, 2}));

  // A request larger than the ring is refused (the plug-in says so as note
  // 1), and the worker goes on working later ones.
  CEventList big;
  const unsigned char huge[3] = {0x90, 0, 1}, a4[3] = {0x90, 69, 1};
  big.Add(0, huge, 3);
  big.Add(1, a4, 3);
  const std::vector<Sent> after = RunUntil(&chain, big, 2);
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0].message[1], 1);
  EXPECT_EQ(after[1].message[1], 81);
  chain.Deactivate();
}

#endif

// lv2-examples' sampler needs the worker and its default state (the sample
// it plays is named there): it plays that sample from a note-on's frame.
TEST(Lv2Worker, TheExampleSamplerLoadsItsDefaultSampleAndPlaysItAtTheNote) {
  CChainBuilder builder;
  std::string error;
  if (!builder.AddPlugin("http://lv2plug.in/plugins/eg-sampler", &error)) {
    GTEST_SKIP() << "eg-sampler (lv2-examples) is not usable here: " << error;
  }
  CPluginChain chain(builder.Take());
  ASSERT_TRUE(chain.Configure(48000.0, 256, 1, &error)) << error;
  chain.Activate();
  CEventList none, note;
  const unsigned char on[3] = {0x90, 60, 127};
  note.Add(100, on, 3);
  std::vector<float> played;
  for (int block = 0; block < 8; ++block) {
    chain.Run(256, block == 2 ? note : none, nullptr);
    played.insert(played.end(), chain.Output(0), chain.Output(0) + 256);
  }
  size_t first = played.size();
  for (size_t i = 0; i < played.size() && first == played.size(); ++i) {
    if (played[i] != 0.0f) first = i;
  }
  EXPECT_EQ(first, 2u * 256u + 100u);
  chain.Deactivate();
}

}  // namespace
}  // namespace tovik::slave::hosting
#endif
