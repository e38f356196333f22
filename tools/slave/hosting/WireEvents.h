// The block's event records turned into MIDI messages for hosted plug-ins,
// and the messages plug-ins send turned back into records for the plug-in on
// the other end of the wire. [audio path]: neither allocates.
#pragma once

#include <cstdint>

#include "HostedPlugin.h"

namespace tovik::slave::hosting {

// Reads the MIDI and SysEx records of area[0, length) (SysEx fixed part
// sysexFixed, 20 or 24) into events, in order. A MIDI record yields its
// message (1 to 3 bytes, by its status byte; records without a status byte
// are skipped), a SysEx record its dump bytes. Stops at the first record that
// is not whole. Returns the number of messages added.
int32_t ReadWireEvents(const unsigned char* area, int32_t length, int32_t sysexFixed, CEventList* events);

// Writes events as records (a MIDI record for messages of up to 3 bytes that
// do not begin with 0xF0, a SysEx record with a fixed part of sysexFixed bytes
// otherwise) into area, at most capacity bytes; what does not fit is left
// out. Returns the bytes written.
int32_t WriteWireEvents(const CEventList& events, int32_t sysexFixed, unsigned char* area, int32_t capacity);

// The length of the MIDI message that begins with this status byte (0: not a
// status byte, or SysEx).
int32_t MidiMessageLength(unsigned char status);

}  // namespace tovik::slave::hosting
