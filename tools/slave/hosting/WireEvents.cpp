#include "WireEvents.h"

#include <cstring>

#include "frame/VstAbi.h"
#include "link/EventRecords.h"
#include "link/TransferBlock.h"
#include "link/WireWords.h"

namespace tovik::slave::hosting {

namespace {

using link::ReadInt32;
using link::WriteInt32;

constexpr int32_t kMidiRecordBytes = kEventTagBytes + kMidiBodyBytes;
// Field offsets within a record, after its tag byte.
constexpr int32_t kTypeAt = 0;
constexpr int32_t kByteSizeAt = 4;
constexpr int32_t kDeltaAt = 8;
constexpr int32_t kMidiDataAt = 24;
constexpr int32_t kDumpBytesAt = 16;

}  // namespace

int32_t MidiMessageLength(unsigned char status) {
  if (status < 0x80) return 0;
  if (status < 0xC0) return 3;
  if (status < 0xE0) return 2;
  if (status < 0xF0) return 3;
  switch (status) {
    case 0xF1:
    case 0xF3:
      return 2;
    case 0xF2:
      return 3;
    case 0xF0:
    case 0xF7:
    case 0xF4:
    case 0xF5:
      return 0;
    default:
      return 1;
  }
}

int32_t ReadWireEvents(const unsigned char* area, int32_t length, int32_t sysexFixed, CEventList* events) {
  int32_t added = 0;
  if (area == nullptr || length <= 0) return 0;
  const size_t end = static_cast<size_t>(length);
  size_t pos = 0;
  while (pos < end) {
    const size_t size = link::EventRecordSize(area + pos, end - pos, static_cast<size_t>(sysexFixed));
    if (size == 0) break;
    const unsigned char* body = area + pos + kEventTagBytes;
    const int32_t type = ReadInt32(body + kTypeAt);
    const int32_t frame = ReadInt32(body + kDeltaAt);
    if (type == kVstMidiType) {
      const int32_t bytes = MidiMessageLength(body[kMidiDataAt]);
      if (bytes > 0 && events->Add(frame, body + kMidiDataAt, static_cast<size_t>(bytes))) ++added;
    } else {
      const int32_t dump = ReadInt32(body + kDumpBytesAt);
      if (dump > 0 && events->Add(frame, body + sysexFixed, static_cast<size_t>(dump))) ++added;
    }
    pos += size;
  }
  return added;
}

int32_t WriteWireEvents(const CEventList& events, int32_t sysexFixed, unsigned char* area, int32_t capacity) {
  int32_t used = 0;
  for (size_t i = 0; i < events.Count(); ++i) {
    const CEventList::Event& event = events.At(i);
    const unsigned char* data = events.Data(event);
    if (event.size <= 3 && data[0] != 0xF0) {
      if (capacity - used < kMidiRecordBytes) break;
      unsigned char* record = area + used;
      std::memset(record, 0, kMidiRecordBytes);
      unsigned char* body = record + kEventTagBytes;
      WriteInt32(body + kTypeAt, kVstMidiType);
      WriteInt32(body + kByteSizeAt, static_cast<int32_t>(sizeof(VstMidiEvent)));
      WriteInt32(body + kDeltaAt, event.frame);
      std::memcpy(body + kMidiDataAt, data, event.size);
      used += kMidiRecordBytes;
      continue;
    }
    const int64_t need = int64_t{kEventTagBytes} + sysexFixed + event.size;
    if (capacity - used < need) break;
    unsigned char* record = area + used;
    std::memset(record, 0, static_cast<size_t>(kEventTagBytes + sysexFixed));
    unsigned char* body = record + kEventTagBytes;
    WriteInt32(body + kTypeAt, kVstSysExType);
    // The size of the event structure in the plug-in's own build.
    WriteInt32(body + kByteSizeAt, sysexFixed == link::kSysexFixed32Bit ? 32 : 48);
    WriteInt32(body + kDeltaAt, event.frame);
    WriteInt32(body + kDumpBytesAt, static_cast<int32_t>(event.size));
    std::memcpy(body + sysexFixed, data, event.size);
    used += static_cast<int32_t>(need);
  }
  return used;
}

}  // namespace tovik::slave::hosting
