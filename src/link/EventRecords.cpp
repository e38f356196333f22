#include "link/EventRecords.h"

#include <cstring>

#include "frame/VstAbi.h"
#include "link/TransferBlock.h"
#include "link/WireWords.h"

namespace tovik::link {

namespace {

// Offsets inside a record: the tag byte, then the event's own fields, which lie
// alike in both builds up to dumpBytes.
constexpr size_t kTypeOffset = kEventTagBytes + offsetof(VstEvent, type);
constexpr size_t kDumpBytesOffset = kEventTagBytes + offsetof(VstMidiSysexEvent, dumpBytes);
constexpr size_t kMidiRecordBytes = kEventTagBytes + kMidiBodyBytes;

}  // namespace

size_t EventRecordSize(const unsigned char* record, size_t available, size_t sysexFixed) {
  if (!record || available < kTypeOffset + sizeof(int32_t)) return 0;
  const int32_t type = ReadInt32(record + kTypeOffset);
  if (type == kVstMidiType) return available >= kMidiRecordBytes ? kMidiRecordBytes : 0;
  if (type != kVstSysExType || available < kDumpBytesOffset + sizeof(int32_t)) return 0;
  const int32_t dumpBytes = ReadInt32(record + kDumpBytesOffset);
  // A negative or oversized length ends the walk instead of looping on it.
  const size_t fixed = kEventTagBytes + sysexFixed;
  if (dumpBytes < 0 || available < fixed || static_cast<size_t>(dumpBytes) > available - fixed) return 0;
  return fixed + static_cast<size_t>(dumpBytes);
}

EventWalk WalkEventRecords(const unsigned char* area, int32_t length, int32_t sysexFixed) {
  EventWalk walk;
  if (area == nullptr || length <= 0 || sysexFixed < 0) {
    walk.exact = length == 0;
    return walk;
  }
  const size_t end = static_cast<size_t>(length);
  size_t pos = 0;
  while (pos < end) {
    const size_t size = EventRecordSize(area + pos, end - pos, static_cast<size_t>(sysexFixed));
    if (!size) break;
    int32_t type = 0;
    std::memcpy(&type, area + pos + kTypeOffset, sizeof type);
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

}  // namespace tovik::link
