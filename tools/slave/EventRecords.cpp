#include "EventRecords.h"

#include <cstddef>
#include <cstring>

#include "frame/VstAbi.h"
#include "link/TransferBlock.h"

namespace tovik::slave {

namespace {

int32_t ReadInt32(const unsigned char* p) {
  int32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// Offsets inside a record: the tag byte, then the event's own fields, which lie
// alike in both builds up to dumpBytes.
constexpr int64_t kTypeOffset = kEventTagBytes + offsetof(VstEvent, type);
constexpr int64_t kDumpBytesOffset = kEventTagBytes + offsetof(VstMidiSysexEvent, dumpBytes);
constexpr int64_t kMidiRecordBytes = kEventTagBytes + kMidiBodyBytes;

}  // namespace

EventWalk WalkEventRecords(const unsigned char* area, int32_t length, int32_t sysexFixed) {
  EventWalk walk;
  if (area == nullptr || length <= 0) {
    walk.exact = length == 0;
    return walk;
  }
  const int64_t end = length;
  int64_t pos = 0;
  while (pos < end) {
    if (end - pos < kTypeOffset + 4) break;
    const int32_t type = ReadInt32(area + pos + kTypeOffset);
    int64_t size;
    if (type == kVstMidiType) {
      size = kMidiRecordBytes;
    } else if (type == kVstSysExType) {
      if (end - pos < kDumpBytesOffset + 4) break;
      const int32_t dumpBytes = ReadInt32(area + pos + kDumpBytesOffset);
      if (dumpBytes < 0) break;
      size = kEventTagBytes + int64_t{sysexFixed} + dumpBytes;
    } else {
      break;
    }
    if (size > end - pos) break;
    pos += size;
    ++walk.records;
    if (type == kVstSysExType) ++walk.sysex;
  }
  walk.bytes = static_cast<int32_t>(pos);
  walk.exact = pos == end;
  return walk;
}

int32_t DetectSysexFixed(const unsigned char* area, int32_t length, int32_t preferred) {
  const int32_t other = preferred == kSysexFixed64Bit ? kSysexFixed32Bit : kSysexFixed64Bit;
  const EventWalk first = WalkEventRecords(area, length, preferred);
  const EventWalk second = WalkEventRecords(area, length, other);
  if (first.exact != second.exact) return first.exact ? preferred : other;
  return second.bytes > first.bytes ? other : preferred;
}

}  // namespace tovik::slave
