// Reading the event records of a block: a tag byte, then a MIDI body (30 bytes)
// or a SysEx fixed part (20 bytes from a 32-bit plug-in, 24 from a 64-bit one)
// and its dump bytes. Every walk stays within the length it is given.
#pragma once

#include <cstdint>

namespace tovik::slave {

// A SysEx record's fixed part: type, byteSize, deltaFrames, flags and
// dumpBytes from a 32-bit plug-in; the same and the 4-byte alignment gap after
// dumpBytes from a 64-bit one.
constexpr int32_t kSysexFixed32Bit = 20;
constexpr int32_t kSysexFixed64Bit = 24;

struct EventWalk {
  int32_t bytes = 0;    // bytes taken by the whole valid records from the start
  int32_t records = 0;  // how many
  int32_t sysex = 0;    // of which SysEx
  bool exact = false;   // the valid records fill the length exactly
};

// [audio path] Walks the records in area[0, length) taking sysexFixed (20 or 24)
// as the SysEx fixed part; stops at the first record of another type, with a
// negative dump size, or that runs past the length.
EventWalk WalkEventRecords(const unsigned char* area, int32_t length, int32_t sysexFixed);

// [audio path] Which SysEx fixed part size the records were written with: the
// one whose walk ends exactly on the length; when both or neither do, the one
// that covers more bytes, and on a tie the preferred one.
int32_t DetectSysexFixed(const unsigned char* area, int32_t length, int32_t preferred);

}  // namespace tovik::slave
