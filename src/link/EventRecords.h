// Reading the event records of an event area: a tag byte, then a MIDI body
// (30 bytes) or a SysEx fixed part (20 bytes from a 32-bit plug-in, 24 from a
// 64-bit one) and its dump bytes. The plug-in and the slave walk the records
// with these functions; every walk stays within the length it is given, and
// none allocates or fails in any other way (they run on the audio path).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tovik::link {

// A SysEx record's fixed part: type, byteSize, deltaFrames, flags and
// dumpBytes from a 32-bit plug-in; the same and the 4-byte alignment gap after
// dumpBytes from a 64-bit one.
constexpr int32_t kSysexFixed32Bit = 20;
constexpr int32_t kSysexFixed64Bit = 24;

// The length of the record at `record`, or 0 when the bytes there are not one
// whole MIDI or SysEx record within `available` bytes (another type, a
// negative dump size, or a record that runs past them). SysEx records are read
// with a fixed part of `sysexFixed` bytes.
size_t EventRecordSize(const unsigned char* record, size_t available, size_t sysexFixed);

struct EventWalk {
  int32_t bytes = 0;    // bytes taken by the whole valid records from the start
  int32_t records = 0;  // how many
  int32_t sysex = 0;    // of which SysEx
  bool exact = false;   // the valid records fill the length exactly
};

// Walks the records in area[0, length) taking sysexFixed (20 or 24) as the
// SysEx fixed part; stops at the first record that EventRecordSize refuses.
EventWalk WalkEventRecords(const unsigned char* area, int32_t length, int32_t sysexFixed);

// Which SysEx fixed part size the records were written with: the one whose
// walk ends exactly on the length; when both or neither do, the one that
// covers more bytes, and on a tie the preferred one.
int32_t DetectSysexFixed(const unsigned char* area, int32_t length, int32_t preferred);

}  // namespace tovik::link
