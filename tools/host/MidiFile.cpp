#include "MidiFile.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace tovik::host {
namespace {

constexpr size_t kMaxFileBytes = 64u << 20;
constexpr size_t kMaxMessages = 4u << 20;
constexpr uint32_t kDefaultTempo = 500000;  // microseconds per quarter note: 120 BPM

uint32_t Be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
uint16_t Be16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// An event of a track before the tempo map turns its ticks into time.
struct TickEvent {
  uint64_t tick = 0;
  size_t order = 0;    // file order, for equal ticks
  uint32_t tempo = 0;  // a tempo change when not 0
  MidiMessage message;
};

class CTrackReader {
 public:
  CTrackReader(const uint8_t* data, size_t size) : p(data), end(data + size) {}
  bool AtEnd() const { return p >= end; }
  bool Byte(uint8_t& out) {
    if (p >= end) return false;
    out = *p++;
    return true;
  }
  // A variable-length quantity: at most four bytes.
  bool Number(uint32_t& out) {
    out = 0;
    for (int i = 0; i < 4; ++i) {
      uint8_t b;
      if (!Byte(b)) return false;
      out = (out << 7) | (b & 0x7F);
      if ((b & 0x80) == 0) return true;
    }
    return false;
  }
  bool Skip(uint32_t count, const uint8_t** at = nullptr) {
    if (static_cast<size_t>(end - p) < count) return false;
    if (at != nullptr) *at = p;
    p += count;
    return true;
  }

 private:
  const uint8_t* p;
  const uint8_t* end;
};

bool ReadTrack(const uint8_t* data, size_t size, size_t track, std::vector<TickEvent>& out, uint64_t& endTick,
               size_t& skippedSysex, std::string& error) {
  CTrackReader r(data, size);
  uint64_t tick = 0;
  uint8_t status = 0;
  const std::string where = "track " + std::to_string(track + 1) + ": ";
  while (!r.AtEnd()) {
    uint32_t delta;
    uint8_t first;
    if (!r.Number(delta) || !r.Byte(first)) {
      error = where + "an event runs past the end of the track";
      return false;
    }
    tick += delta;
    if (first == 0xFF) {
      uint8_t type;
      uint32_t length;
      const uint8_t* body = nullptr;
      if (!r.Byte(type) || !r.Number(length) || !r.Skip(length, &body)) {
        error = where + "a meta event runs past the end of the track";
        return false;
      }
      if (type == 0x2F) break;  // end of track
      if (type == 0x51) {
        if (length != 3) {
          error = where + "a tempo event of " + std::to_string(length) + " bytes";
          return false;
        }
        const uint32_t tempo = (static_cast<uint32_t>(body[0]) << 16) | (body[1] << 8) | body[2];
        if (tempo == 0) {
          error = where + "a tempo of 0 microseconds per beat";
          return false;
        }
        TickEvent e;
        e.tick = tick;
        e.tempo = tempo;
        out.push_back(e);
      }
      continue;
    }
    if (first == 0xF0 || first == 0xF7) {
      uint32_t length;
      if (!r.Number(length) || !r.Skip(length)) {
        error = where + "a SysEx event runs past the end of the track";
        return false;
      }
      ++skippedSysex;
      status = 0;
      continue;
    }
    uint8_t data1;
    if (first & 0x80) {
      if (first > 0xEF) {
        error = where + "an unknown status byte " + std::to_string(first);
        return false;
      }
      status = first;
      if (!r.Byte(data1)) {
        error = where + "a message runs past the end of the track";
        return false;
      }
    } else {
      if (status == 0) {
        error = where + "a data byte without a status (running status not set)";
        return false;
      }
      data1 = first;
    }
    const uint8_t kind = status & 0xF0;
    TickEvent e;
    e.tick = tick;
    e.message.bytes[0] = status;
    e.message.bytes[1] = data1 & 0x7F;
    e.message.size = 2;
    if (kind != 0xC0 && kind != 0xD0) {
      uint8_t data2;
      if (!r.Byte(data2)) {
        error = where + "a message runs past the end of the track";
        return false;
      }
      e.message.bytes[2] = data2 & 0x7F;
      e.message.size = 3;
    }
    if (out.size() >= kMaxMessages) {
      error = "more than " + std::to_string(kMaxMessages) + " events";
      return false;
    }
    out.push_back(e);
  }
  endTick = std::max(endTick, tick);
  return true;
}

}  // namespace

bool ParseMidiFile(const std::vector<uint8_t>& bytes, double sampleRate, MidiSong& song, std::string& error) {
  song = MidiSong();
  const size_t size = bytes.size();
  const uint8_t* data = bytes.data();
  if (size < 14 || std::memcmp(data, "MThd", 4) != 0 || Be32(data + 4) < 6) {
    error = "not a Standard MIDI File (no MThd header)";
    return false;
  }
  const size_t headerLength = Be32(data + 4);
  if (headerLength > size - 8) {
    error = "damaged header";
    return false;
  }
  const uint16_t format = Be16(data + 8);
  const uint16_t tracks = Be16(data + 10);
  const uint16_t division = Be16(data + 12);
  if (format > 1) {
    error = "format " + std::to_string(format) + " (independent songs) is not played; formats 0 and 1 are";
    return false;
  }
  if (division == 0 || (division & 0x8000 && (division & 0xFF) == 0)) {
    error = "a time division of 0";
    return false;
  }
  std::vector<TickEvent> events;
  uint64_t endTick = 0;
  size_t pos = 8 + headerLength;
  size_t found = 0;
  while (found < tracks && pos + 8 <= size) {
    const size_t length = Be32(data + pos + 4);
    if (length > size - pos - 8) {
      error = "track " + std::to_string(found + 1) + " claims more bytes than the file holds";
      return false;
    }
    if (std::memcmp(data + pos, "MTrk", 4) == 0) {
      if (!ReadTrack(data + pos + 8, length, found, events, endTick, song.skippedSysex, error)) return false;
      ++found;
    }
    pos += 8 + length;  // other chunks are skipped
  }
  if (found < tracks) {
    error =
        "the header announces " + std::to_string(tracks) + " tracks, the file holds " + std::to_string(found);
    return false;
  }
  for (size_t i = 0; i < events.size(); ++i) events[i].order = i;
  std::stable_sort(events.begin(), events.end(),
                   [](const TickEvent& a, const TickEvent& b) { return a.tick < b.tick; });

  // Ticks to seconds: a tempo map for a quarter-note division, fixed for SMPTE.
  const bool smpte = (division & 0x8000) != 0;
  const double smpteTickSeconds =
      smpte ? 1.0 / (static_cast<double>(256 - (division >> 8)) * static_cast<double>(division & 0xFF)) : 0.0;
  double seconds = 0.0;
  uint64_t lastTick = 0;
  uint32_t tempo = kDefaultTempo;
  auto advance = [&](uint64_t tick) {
    const double ticks = static_cast<double>(tick - lastTick);
    seconds += smpte ? ticks * smpteTickSeconds : ticks * tempo / 1e6 / division;
    lastTick = tick;
  };
  auto frameAt = [&]() { return static_cast<uint64_t>(std::llround(seconds * sampleRate)); };
  song.messages.reserve(events.size());
  // Ten hours at most: far from where frame counts could overflow.
  const double longest = 36000.0;
  for (const TickEvent& e : events) {
    advance(e.tick);
    if (seconds > longest) {
      error = "the song lasts longer than ten hours";
      return false;
    }
    if (e.tempo != 0) {
      tempo = e.tempo;
      continue;
    }
    MidiMessage m = e.message;
    m.frame = frameAt();
    song.messages.push_back(m);
  }
  advance(std::max(endTick, lastTick));
  if (seconds > longest) {
    error = "the song lasts longer than ten hours";
    return false;
  }
  song.endFrame = frameAt();
  return true;
}

bool ReadMidiFile(const std::string& path, double sampleRate, MidiSong& song, std::string& error) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = "cannot open " + path;
    return false;
  }
  std::vector<uint8_t> bytes;
  uint8_t buffer[65536];
  size_t got;
  bool tooLong = false;
  while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
    if (bytes.size() + got > kMaxFileBytes) {
      tooLong = true;
      break;
    }
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed || tooLong) {
    error = failed ? "cannot read " + path : path + ": longer than 64 MiB";
    return false;
  }
  if (!ParseMidiFile(bytes, sampleRate, song, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

CMidiSchedule::CMidiSchedule(const MidiSong& played, size_t maxBlockFrames) : song(played) {
  // The most events any block can hold.
  size_t most = 0;
  for (size_t i = 0, j = 0; i < song.messages.size(); ++i) {
    while (song.messages[i].frame - song.messages[j].frame >= maxBlockFrames) ++j;
    most = std::max(most, i - j + 1);
  }
  events.resize(std::max<size_t>(most, 1));
  list.assign(sizeof(VstEvents) + sizeof(VstEvent*) * events.size(), 0);
}

VstEvents* CMidiSchedule::EventsFor(uint64_t first, size_t frames) {
  const std::vector<MidiMessage>& all = song.messages;
  while (next < all.size() && all[next].frame < first) ++next;  // before this block: dropped
  auto* header = reinterpret_cast<VstEvents*>(list.data());
  // The pointer array runs past the two the declaration names, into the room made for it.
  auto** slots = reinterpret_cast<VstEvent**>(list.data() + offsetof(VstEvents, events));
  VstInt32 count = 0;
  while (next < all.size() && all[next].frame < first + frames &&
         static_cast<size_t>(count) < events.size()) {
    const MidiMessage& m = all[next++];
    VstMidiEvent& e = events[static_cast<size_t>(count)];
    std::memset(&e, 0, sizeof(e));
    e.type = kVstMidiType;
    e.byteSize = sizeof(VstMidiEvent);
    e.deltaFrames = static_cast<VstInt32>(m.frame - first);
    std::memcpy(e.midiData, m.bytes, 3);
    slots[count++] = reinterpret_cast<VstEvent*>(&e);
  }
  header->numEvents = count;
  header->reserved = 0;
  sent += static_cast<size_t>(count);
  return count > 0 ? header : nullptr;
}

}  // namespace tovik::host
