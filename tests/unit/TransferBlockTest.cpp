// The transfer block's fixed values, its event records and the rows of its
// output float area.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "link/SlaveLocalMem.h"
#include "link/TransferBlock.h"

namespace {

TEST(TransferBlock, MessageCodesAreTheWireValues) {
  EXPECT_EQ(1, msgOpen);
  EXPECT_EQ(2, msgClose);
  EXPECT_EQ(3, msgHello);
  EXPECT_EQ(4, msgHelloReply);
  EXPECT_EQ(5, msgSetIo);
  EXPECT_EQ(6, msgSetIoReply);
  EXPECT_EQ(7, msgSetSampleRate);
  EXPECT_EQ(8, msgSetBlockSize);
  EXPECT_EQ(9, msgTimeInfo);
  EXPECT_EQ(10, msgEvents);
  EXPECT_EQ(11, msgProcess);
  EXPECT_EQ(12, msgSuspend);
  EXPECT_EQ(13, msgResume);
  EXPECT_EQ(16, msgGetInfo);
  EXPECT_EQ(4, static_cast<int>(sizeof(SlaveMsg)));
}

TEST(TransferBlock, AreasHoldSixteenChannelsOfOneSecond) {
  EXPECT_EQ(5776176u, sizeof(TransferBlock));
  EXPECT_EQ(2822400u, sizeof(TransferBlock::wireAudio));
  EXPECT_EQ(2822400u, sizeof(TransferBlock::outputFloats));
  EXPECT_EQ(65536u, sizeof(TransferBlock::outEvents));
  EXPECT_EQ(65536u, sizeof(TransferBlock::inEvents));
  EXPECT_EQ(256u, sizeof(TransferBlock::payload));
}

VstMidiEvent MakeMidi(int32_t delta) {
  VstMidiEvent midi{};
  midi.type = kVstMidiType;
  midi.byteSize = static_cast<VstInt32>(sizeof(VstMidiEvent));
  midi.deltaFrames = delta;
  midi.flags = 1;
  midi.noteLength = 0x01020304;
  midi.noteOffset = -2;
  midi.midiData[0] = static_cast<char>(0x90);
  midi.midiData[1] = 60;
  midi.midiData[2] = 100;
  midi.midiData[3] = 0;
  midi.detune = -5;
  midi.noteOffVelocity = 64;
  midi.reserved1 = 0x55;  // never sent
  midi.reserved2 = 0x66;
  return midi;
}

void PutInt(std::vector<unsigned char>& out, int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(u >> (8 * i)));
}

class AppendEventTest : public ::testing::Test {
 protected:
  const VstEvent* AsEvent(const void* e) { return static_cast<const VstEvent*>(e); }
  CSlaveLocalMem mem;
  TransferBlock& block = *mem.Block();
};

TEST_F(AppendEventTest, MidiRecordIsTagAndThirtyBodyBytes) {
  const VstMidiEvent midi = MakeMidi(17);
  ASSERT_TRUE(mem.AppendEvent(0, AsEvent(&midi)));
  ASSERT_EQ(31, block.outEventLength);

  std::vector<unsigned char> expected{0};
  PutInt(expected, 1);
  PutInt(expected, static_cast<int32_t>(sizeof(VstMidiEvent)));
  PutInt(expected, 17);
  PutInt(expected, 1);
  PutInt(expected, 0x01020304);
  PutInt(expected, -2);
  for (unsigned char b : {0x90, 60, 100, 0, 0xFB, 64}) expected.push_back(b);
  ASSERT_EQ(31u, expected.size());
  EXPECT_EQ(0, std::memcmp(expected.data(), block.outEvents, expected.size()));
  EXPECT_EQ(0, block.outEvents[31]);  // the reserved bytes did not travel
}

TEST_F(AppendEventTest, RecordsArePackedWithoutGaps) {
  const VstMidiEvent a = MakeMidi(1);
  const VstMidiEvent b = MakeMidi(2);
  ASSERT_TRUE(mem.AppendEvent(7, AsEvent(&a)));
  ASSERT_TRUE(mem.AppendEvent(0, AsEvent(&b)));
  EXPECT_EQ(62, block.outEventLength);
  EXPECT_EQ(7, block.outEvents[0]);
  EXPECT_EQ(0, block.outEvents[31]);
  int32_t delta = 0;
  std::memcpy(&delta, block.outEvents + 31 + 1 + 8, 4);
  EXPECT_EQ(2, delta);
}

TEST_F(AppendEventTest, SysexRecordIsFixedPartAndDump) {
  // The fixed part is the structure up to its first reserved pointer-sized
  // field: 20 bytes in the 32-bit build, 24 (with the alignment gap) in the
  // 64-bit build.
  const size_t fixedPart = sizeof(void*) == 8 ? 24u : 20u;
  ASSERT_EQ(fixedPart, kSysexFixedPart);

  char dump[5] = {static_cast<char>(0xF0), 0x43, 0x10, 0x4C, static_cast<char>(0xF7)};
  VstMidiSysexEvent sysex{};
  sysex.type = kVstSysExType;
  sysex.byteSize = static_cast<VstInt32>(sizeof(sysex));
  sysex.deltaFrames = 9;
  sysex.flags = 0;
  sysex.dumpBytes = 5;
  sysex.sysexDump = dump;
  ASSERT_TRUE(mem.AppendEvent(0, AsEvent(&sysex)));
  ASSERT_EQ(static_cast<int32_t>(1 + fixedPart + 5), block.outEventLength);

  std::vector<unsigned char> expected{0};
  PutInt(expected, 6);
  PutInt(expected, static_cast<int32_t>(sizeof(sysex)));
  PutInt(expected, 9);
  PutInt(expected, 0);
  PutInt(expected, 5);
  if (fixedPart == 24) PutInt(expected, 0);  // the gap as it lies in memory
  for (char c : dump) expected.push_back(static_cast<unsigned char>(c));
  EXPECT_EQ(0, std::memcmp(expected.data(), block.outEvents, expected.size()));
}

TEST_F(AppendEventTest, SysexWithoutDataIsItsFixedPartAlone) {
  VstMidiSysexEvent sysex{};
  sysex.type = kVstSysExType;
  sysex.dumpBytes = 0;
  sysex.sysexDump = nullptr;
  ASSERT_TRUE(mem.AppendEvent(0, AsEvent(&sysex)));
  EXPECT_EQ(static_cast<int32_t>(1 + kSysexFixedPart), block.outEventLength);
}

TEST_F(AppendEventTest, LastUsableByteIsSixtyFiveThousandFiveHundredThirtyFive) {
  const VstMidiEvent midi = MakeMidi(0);
  block.outEventLength = 65504;
  ASSERT_TRUE(mem.AppendEvent(0, AsEvent(&midi)));
  EXPECT_EQ(65535, block.outEventLength);

  block.outEventLength = 65505;
  block.outEvents[65505] = 0xAA;
  EXPECT_FALSE(mem.AppendEvent(0, AsEvent(&midi)));
  EXPECT_EQ(65505, block.outEventLength);
  EXPECT_EQ(0xAA, block.outEvents[65505]);
}

TEST_F(AppendEventTest, SysexFillsTheAreaExactly) {
  static char dump[kEventAreaSize];
  VstMidiSysexEvent sysex{};
  sysex.type = kVstSysExType;
  sysex.sysexDump = dump;
  sysex.dumpBytes = static_cast<VstInt32>(65535 - 1 - kSysexFixedPart);
  ASSERT_TRUE(mem.AppendEvent(0, AsEvent(&sysex)));
  EXPECT_EQ(65535, block.outEventLength);

  block.outEventLength = 0;
  sysex.dumpBytes += 1;
  EXPECT_FALSE(mem.AppendEvent(0, AsEvent(&sysex)));
  EXPECT_EQ(0, block.outEventLength);
}

TEST_F(AppendEventTest, RefusesWithoutWritingAnything) {
  block.outEventLength = 100;
  std::memset(block.outEvents + 100, 0xCC, 64);
  auto untouched = [&] {
    EXPECT_EQ(100, block.outEventLength);
    for (int i = 100; i < 164; ++i) ASSERT_EQ(0xCC, block.outEvents[i]) << i;
  };

  EXPECT_FALSE(mem.AppendEvent(0, nullptr));
  untouched();

  VstEvent other{};
  other.type = 3;
  EXPECT_FALSE(mem.AppendEvent(0, &other));
  untouched();

  char dump[4] = {};
  VstMidiSysexEvent sysex{};
  sysex.type = kVstSysExType;
  sysex.sysexDump = dump;
  sysex.dumpBytes = -1;
  EXPECT_FALSE(mem.AppendEvent(0, AsEvent(&sysex)));
  untouched();

  sysex.dumpBytes = INT32_MAX;  // must not overflow the fit test
  EXPECT_FALSE(mem.AppendEvent(0, AsEvent(&sysex)));
  untouched();

  sysex.dumpBytes = INT32_MIN;
  EXPECT_FALSE(mem.AppendEvent(0, AsEvent(&sysex)));
  untouched();

  sysex.dumpBytes = 4;
  sysex.sysexDump = nullptr;
  EXPECT_FALSE(mem.AppendEvent(0, AsEvent(&sysex)));
  untouched();
}

TEST_F(AppendEventTest, CorruptLengthIsRefused) {
  const VstMidiEvent midi = MakeMidi(0);
  int32_t length = -1;
  unsigned char area[kEventAreaSize] = {};
  EXPECT_FALSE(mem.AppendEvent(0, AsEvent(&midi), area, &length));
  length = kEventAreaSize;
  EXPECT_FALSE(mem.AppendEvent(0, AsEvent(&midi), area, &length));
  EXPECT_EQ(kEventAreaSize, length);
}

TEST_F(AppendEventTest, WritesIntoAGivenAreaAndLength) {
  const VstMidiEvent midi = MakeMidi(3);
  std::vector<unsigned char> area(kEventAreaSize, 0xEE);
  int32_t length = 10;
  ASSERT_TRUE(mem.AppendEvent(5, AsEvent(&midi), area.data(), &length));
  EXPECT_EQ(41, length);
  EXPECT_EQ(0xEE, area[9]);
  EXPECT_EQ(5, area[10]);
  EXPECT_EQ(1, area[11]);
  EXPECT_EQ(0xEE, area[41]);
  EXPECT_EQ(0, block.outEventLength);

  // A given area with the block's own length.
  ASSERT_TRUE(mem.AppendEvent(0, AsEvent(&midi), area.data()));
  EXPECT_EQ(31, block.outEventLength);
  EXPECT_EQ(0, block.outEvents[1]);
}

TEST(AppendEventNoBlock, NeedsABlockForTheDefaults) {
  CSlaveMem mem;
  const VstMidiEvent midi = MakeMidi(0);
  EXPECT_FALSE(mem.AppendEvent(0, reinterpret_cast<const VstEvent*>(&midi)));
  std::vector<unsigned char> area(kEventAreaSize);
  int32_t length = 0;
  EXPECT_TRUE(mem.AppendEvent(0, reinterpret_cast<const VstEvent*>(&midi), area.data(), &length));
  EXPECT_EQ(31, length);
}

TEST(OutputChannel, RowsArePaddedToFourFloats) {
  CSlaveLocalMem mem;
  TransferBlock& block = *mem.Block();
  block.frames = 5;  // R = 8
  block.outputChannels = 3;
  EXPECT_EQ(block.outputFloats, mem.OutputChannel(0));
  EXPECT_EQ(block.outputFloats + 8, mem.OutputChannel(1));
  EXPECT_EQ(block.outputFloats + 16, mem.OutputChannel(2));
  EXPECT_EQ(nullptr, mem.OutputChannel(3));
  EXPECT_EQ(nullptr, mem.OutputChannel(-1));
  for (int c = 0; c < 3; ++c) EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(mem.OutputChannel(c)) % 16);

  block.frames = 512;
  EXPECT_EQ(block.outputFloats + 512, mem.OutputChannel(1));
}

TEST(OutputChannel, NeverPointsOutsideTheArea) {
  CSlaveLocalMem mem;
  TransferBlock& block = *mem.Block();
  block.outputChannels = 17;
  block.frames = kMaxFrames;
  EXPECT_NE(nullptr, mem.OutputChannel(15));
  EXPECT_EQ(nullptr, mem.OutputChannel(16));  // would start past the area
  block.frames = -4;
  EXPECT_EQ(nullptr, mem.OutputChannel(0));
  block.frames = INT32_MAX;
  EXPECT_EQ(nullptr, mem.OutputChannel(0));

  CSlaveMem bare;
  EXPECT_EQ(nullptr, bare.OutputChannel(0));
}

}  // namespace
