#include <gtest/gtest.h>

#include "SlaveTestSupport.h"
#include "link/EventRecords.h"

namespace tovik::slave::test {
namespace {

using link::DetectSysexFixed;
using link::EventRecordSize;
using link::EventWalk;
using link::WalkEventRecords;

// The one record reader the plug-in uses as well (with its own build's fixed part).
TEST(EventRecords, RecordSizeIsZeroForAnythingButOneWholeRecord) {
  const Bytes midi = MidiRecord(0, 0x90, 1, 2);
  EXPECT_EQ(EventRecordSize(midi.data(), midi.size(), 24), 31u);
  EXPECT_EQ(EventRecordSize(midi.data(), 30, 24), 0u);
  EXPECT_EQ(EventRecordSize(midi.data(), 4, 24), 0u);
  EXPECT_EQ(EventRecordSize(nullptr, 31, 24), 0u);
  const Bytes sysex = SysexRecord(24, Bytes(5, 0x42));
  EXPECT_EQ(EventRecordSize(sysex.data(), sysex.size(), 24), 30u);
  EXPECT_EQ(EventRecordSize(sysex.data(), sysex.size(), 20), 26u);
  EXPECT_EQ(EventRecordSize(sysex.data(), sysex.size() - 1, 24), 0u);
  Bytes negative = sysex;
  const int32_t minusOne = -1;
  std::memcpy(negative.data() + 17, &minusOne, 4);
  EXPECT_EQ(EventRecordSize(negative.data(), negative.size(), 24), 0u);
  Bytes other = midi;
  other[1] = 3;  // another type
  EXPECT_EQ(EventRecordSize(other.data(), other.size(), 24), 0u);
}

TEST(EventRecords, WalksMidiAndSysExWithTheGivenFixedPart) {
  const Bytes records =
      Concat({MidiRecord(0, 0x90, 1, 2), SysexRecord(24, Bytes(5, 0x42)), MidiRecord(1, 0x80, 1, 0)});
  const EventWalk walk = WalkEventRecords(records.data(), static_cast<int32_t>(records.size()), 24);
  EXPECT_TRUE(walk.exact);
  EXPECT_EQ(walk.bytes, 31 + 30 + 31);
  EXPECT_EQ(walk.records, 3);
  EXPECT_EQ(walk.sysex, 1);
  const EventWalk as20 = WalkEventRecords(records.data(), static_cast<int32_t>(records.size()), 20);
  EXPECT_FALSE(as20.exact);
  EXPECT_LT(as20.bytes, walk.bytes);
}

TEST(EventRecords, StopsInsideTheLengthAtAnythingItCannotRead) {
  const Bytes midi = MidiRecord(0, 0x90, 1, 2);
  // Only part of the record lies within the length.
  EXPECT_EQ(WalkEventRecords(midi.data(), 30, 24).bytes, 0);
  EXPECT_EQ(WalkEventRecords(midi.data(), 3, 24).bytes, 0);
  // A SysEx record whose dump size is enormous.
  Bytes sysex = SysexRecord(20, {});
  const int32_t huge = 0x7FFFFFFF;
  std::memcpy(sysex.data() + 17, &huge, 4);
  const EventWalk walk = WalkEventRecords(sysex.data(), static_cast<int32_t>(sysex.size()), 20);
  EXPECT_EQ(walk.bytes, 0);
  EXPECT_FALSE(walk.exact);
  EXPECT_TRUE(WalkEventRecords(nullptr, 0, 24).exact);
  EXPECT_EQ(WalkEventRecords(midi.data(), -4, 24).bytes, 0);
}

TEST(EventRecords, DetectionPrefersTheExactWalkThenTheLongerThenThePreferred) {
  const Bytes from32 = Concat({SysexRecord(20, {0xF0, 0xF7}), MidiRecord(0, 0x90, 1, 2)});
  EXPECT_EQ(DetectSysexFixed(from32.data(), static_cast<int32_t>(from32.size()), 24), 20);
  const Bytes from64 = Concat({SysexRecord(24, {0xF0, 0xF7}), MidiRecord(0, 0x90, 1, 2)});
  EXPECT_EQ(DetectSysexFixed(from64.data(), static_cast<int32_t>(from64.size()), 20), 24);
  // MIDI alone reads the same either way: the preferred size stands.
  const Bytes midi = MidiRecord(0, 0x90, 1, 2);
  EXPECT_EQ(DetectSysexFixed(midi.data(), 31, 20), 20);
  EXPECT_EQ(DetectSysexFixed(midi.data(), 31, 24), 24);
  // Neither walk exact (a broken tail): the one that reads further wins.
  Bytes broken = Concat({from64, Bytes{0, 9, 9, 9, 9}});
  EXPECT_EQ(DetectSysexFixed(broken.data(), static_cast<int32_t>(broken.size()), 20), 24);
}

}  // namespace
}  // namespace tovik::slave::test
