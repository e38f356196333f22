// The Standard MIDI File reader tovik-host plays with --midi: times through
// the tempo map, both divisions, running status, several tracks, damaged
// files, and the schedule that cuts the song into blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "MidiFile.h"

namespace tovik::host {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Header(uint16_t format, uint16_t tracks, uint16_t division) {
  return {'M',
          'T',
          'h',
          'd',
          0,
          0,
          0,
          6,
          0,
          static_cast<uint8_t>(format),
          0,
          static_cast<uint8_t>(tracks),
          static_cast<uint8_t>(division >> 8),
          static_cast<uint8_t>(division)};
}

Bytes Track(std::initializer_list<uint8_t> events) {
  Bytes t = {'M',
             'T',
             'r',
             'k',
             0,
             0,
             static_cast<uint8_t>(events.size() >> 8),
             static_cast<uint8_t>(events.size())};
  for (uint8_t b : events) t.push_back(b);
  return t;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts)
    for (uint8_t b : p) all.push_back(b);
  return all;
}

struct Expected {
  uint64_t frame;
  uint8_t b0, b1, b2;
};

void ExpectMessages(const MidiSong& song, std::initializer_list<Expected> expected) {
  ASSERT_EQ(song.messages.size(), expected.size());
  size_t i = 0;
  for (const Expected& e : expected) {
    const MidiMessage& m = song.messages[i++];
    EXPECT_EQ(m.frame, e.frame) << "message " << i;
    EXPECT_EQ(m.bytes[0], e.b0) << "message " << i;
    EXPECT_EQ(m.bytes[1], e.b1) << "message " << i;
    EXPECT_EQ(m.bytes[2], e.b2) << "message " << i;
  }
}

// 480 ticks a beat; 120 BPM, then 240 BPM from 1 s; running status.
const Bytes kSong = Cat({Header(0, 1, 480), Track({0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20,  //
                                                   0x83, 0x60, 0x90, 0x3C, 0x64,              //
                                                   0x83, 0x60, 0x80, 0x3C, 0x40,              //
                                                   0x00, 0xFF, 0x51, 0x03, 0x03, 0xD0, 0x90,  //
                                                   0x83, 0x60, 0x90, 0x40, 0x50,              //
                                                   0x81, 0x70, 0x40, 0x00,                    //
                                                   0x00, 0xFF, 0x2F, 0x00})});

TEST(MidiFile, TempoChangesMoveTheLaterEvents) {
  MidiSong song;
  std::string error;
  ASSERT_TRUE(ParseMidiFile(kSong, 48000.0, song, error)) << error;
  ExpectMessages(song, {{24000, 0x90, 0x3C, 0x64},
                        {48000, 0x80, 0x3C, 0x40},
                        {60000, 0x90, 0x40, 0x50},
                        {66000, 0x90, 0x40, 0x00}});
  EXPECT_EQ(song.endFrame, 66000u);
  ASSERT_TRUE(ParseMidiFile(kSong, 44100.0, song, error)) << error;
  EXPECT_EQ(song.messages[2].frame, 55125u);  // 1.25 s
}

TEST(MidiFile, FormatOneMergesTracksAndTheTempoTrackTimesThemAll) {
  // Track 1: 60 BPM from the start. Track 2: a program change (one data byte)
  // at tick 0, a note at beat 2 (2 s), SysEx skipped, pitch bend at beat 3.
  const Bytes file =
      Cat({Header(1, 2, 96), Track({0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40, 0x00, 0xFF, 0x2F, 0x00}),
           Track({0x00, 0xC1, 0x05,                    //
                  0x81, 0x40, 0x91, 0x45, 0x7F,        //
                  0x00, 0xF0, 0x03, 0x7E, 0x00, 0xF7,  //
                  0x60, 0xE1, 0x00, 0x40,              //
                  0x00, 0xFF, 0x2F, 0x00})});
  MidiSong song;
  std::string error;
  ASSERT_TRUE(ParseMidiFile(file, 1000.0, song, error)) << error;
  ExpectMessages(song, {{0, 0xC1, 0x05, 0}, {2000, 0x91, 0x45, 0x7F}, {3000, 0xE1, 0x00, 0x40}});
  EXPECT_EQ(song.messages[0].size, 2);
  EXPECT_EQ(song.skippedSysex, 1u);
  EXPECT_EQ(song.endFrame, 3000u);
}

TEST(MidiFile, SmpteDivisionCountsFramesOfTimeCode) {
  // 25 frames a second, 40 ticks a frame: a tick is 1 ms whatever the tempo.
  const Bytes file = Cat({Header(0, 1, 0xE728), Track({0x00, 0xFF, 0x51, 0x03, 0x01, 0x00, 0x00,  //
                                                       0x87, 0x68, 0x90, 0x30, 0x10,              //
                                                       0x00, 0xFF, 0x2F, 0x00})});
  MidiSong song;
  std::string error;
  ASSERT_TRUE(ParseMidiFile(file, 48000.0, song, error)) << error;
  ExpectMessages(song, {{48000, 0x90, 0x30, 0x10}});  // 1000 ticks: 1 s
}

TEST(MidiFile, DamagedFilesAreRefusedWithAReason) {
  MidiSong song;
  std::string error;
  EXPECT_FALSE(ParseMidiFile(Bytes(kSong.begin() + 1, kSong.end()), 48000.0, song, error));
  EXPECT_EQ(error, "not a Standard MIDI File (no MThd header)");

  Bytes cut(kSong.begin(), kSong.end() - 5);
  EXPECT_FALSE(ParseMidiFile(cut, 48000.0, song, error));
  EXPECT_EQ(error, "track 1 claims more bytes than the file holds");

  EXPECT_FALSE(ParseMidiFile(Cat({Header(0, 1, 96), Track({0x00, 0x3C, 0x40})}), 48000.0, song, error));
  EXPECT_EQ(error, "track 1: a data byte without a status (running status not set)");

  EXPECT_FALSE(ParseMidiFile(Cat({Header(0, 1, 96), Track({0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x90})}), 48000.0,
                             song, error));
  EXPECT_EQ(error, "track 1: an event runs past the end of the track");

  EXPECT_FALSE(ParseMidiFile(Cat({Header(0, 1, 96), Track({0x00, 0x90, 0x3C})}), 48000.0, song, error));
  EXPECT_EQ(error, "track 1: a message runs past the end of the track");

  EXPECT_FALSE(
      ParseMidiFile(Cat({Header(0, 1, 96), Track({0x00, 0xFF, 0x01, 0x7F, 0x41})}), 48000.0, song, error));
  EXPECT_EQ(error, "track 1: a meta event runs past the end of the track");

  EXPECT_FALSE(ParseMidiFile(Cat({Header(0, 2, 96), Track({0x00, 0xFF, 0x2F, 0x00})}), 48000.0, song, error));
  EXPECT_EQ(error, "the header announces 2 tracks, the file holds 1");

  EXPECT_FALSE(ParseMidiFile(Cat({Header(2, 1, 96), Track({0x00, 0xFF, 0x2F, 0x00})}), 48000.0, song, error));
  EXPECT_EQ(error, "format 2 (independent songs) is not played; formats 0 and 1 are");

  EXPECT_FALSE(ParseMidiFile(Cat({Header(0, 1, 0), Track({0x00, 0xFF, 0x2F, 0x00})}), 48000.0, song, error));
  EXPECT_EQ(error, "a time division of 0");
}

TEST(MidiSchedule, EachBlockGetsItsEventsWithDeltaFramesFromItsStart) {
  MidiSong song;
  for (uint64_t frame : {0u, 511u, 512u, 700u, 700u, 700u, 2000u}) {
    MidiMessage m;
    m.frame = frame;
    m.bytes[0] = 0x90;
    m.bytes[1] = static_cast<uint8_t>(frame & 0x7F);
    m.size = 3;
    song.messages.push_back(m);
  }
  CMidiSchedule schedule(song, 512);
  VstEvents* first = schedule.EventsFor(0, 512);
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(first->numEvents, 2);
  EXPECT_EQ(first->events[0]->deltaFrames, 0);
  EXPECT_EQ(first->events[1]->deltaFrames, 511);
  const auto* midi = reinterpret_cast<const VstMidiEvent*>(first->events[1]);
  EXPECT_EQ(midi->type, kVstMidiType);
  EXPECT_EQ(midi->byteSize, static_cast<VstInt32>(sizeof(VstMidiEvent)));
  EXPECT_EQ(static_cast<uint8_t>(midi->midiData[0]), 0x90);
  EXPECT_EQ(static_cast<uint8_t>(midi->midiData[1]), 511 & 0x7F);

  VstEvents* second = schedule.EventsFor(512, 512);  // four events: more than the declared two pointers
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(second->numEvents, 4);
  VstEvent* const* slots = second->events;
  EXPECT_EQ(slots[0]->deltaFrames, 0);
  EXPECT_EQ(slots[3]->deltaFrames, 188);
  EXPECT_EQ(schedule.EventsFor(1024, 512), nullptr);
  // A block shorter than the others, then frames skipped over: their event is dropped.
  EXPECT_EQ(schedule.EventsFor(1536, 100), nullptr);
  EXPECT_EQ(schedule.EventsFor(2100, 512), nullptr);
  EXPECT_EQ(schedule.Sent(), 6u);
}

}  // namespace
}  // namespace tovik::host
