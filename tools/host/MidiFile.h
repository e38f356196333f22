// Standard MIDI Files (format 0 and 1) read into a list of timed MIDI
// messages, and the schedule that hands a relay run each block's events.
//
// Times follow the file's tempo map (meta event 51 on any track, 120 beats
// per minute until the first) or its SMPTE division, and are turned into
// sample frames at the run's rate. Channel messages are kept (running status
// included); meta events other than tempo and SysEx are skipped and counted.
// Every length and count in the file is checked: a damaged file is refused
// with a message, never overrun.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frame/VstAbi.h"

namespace tovik::host {

struct MidiMessage {
  uint64_t frame = 0;  // from the start of the signal
  uint8_t bytes[3] = {0, 0, 0};
  uint8_t size = 0;  // 2 or 3
};

struct MidiSong {
  std::vector<MidiMessage> messages;  // in time order (file order for equal times)
  uint64_t endFrame = 0;              // the last track's end of track
  size_t skippedSysex = 0;
};

// Decodes a whole file held in memory. sampleRate converts times to frames.
bool ParseMidiFile(const std::vector<uint8_t>& bytes, double sampleRate, MidiSong& song, std::string& error);

// Reads and decodes a file (at most 64 MiB).
bool ReadMidiFile(const std::string& path, double sampleRate, MidiSong& song, std::string& error);

// Hands out the events of consecutive blocks as a VstEvents list that
// effProcessEvents takes. All storage is made up front: a block's list is
// filled without allocating.
class CMidiSchedule {
 public:
  explicit CMidiSchedule(const MidiSong& song, size_t maxBlockFrames);
  // The events of frames [first, first + frames), deltaFrames from first, or
  // nullptr when there are none. Blocks must come in order; events of frames
  // skipped over are dropped.
  VstEvents* EventsFor(uint64_t first, size_t frames);
  size_t Sent() const { return sent; }

 private:
  const MidiSong& song;
  size_t next = 0;
  size_t sent = 0;
  std::vector<VstMidiEvent> events;
  std::vector<unsigned char> list;  // a VstEvents with room for every pointer
};

}  // namespace tovik::host
