// The transfer block that the plug-in and the slave share, and the message
// codes of the wire protocol.
//
// The block is one fixed-layout record of 5,776,176 bytes. Every message is a
// 32-bit code followed by the payload that belongs to that code and direction;
// the transport (CSlaveNetMem) copies exactly the regions of this record that
// belong to a message onto the connection, and stores what the slave sends
// into the regions named for it. All values are little-endian, nothing is
// pointer-sized, and the layout is the same in the 32-bit and 64-bit builds.
#pragma once

#include <cstddef>
#include <cstdint>

// Message codes. The slave's answers reuse the codes of the requests; codes
// 0, 14 and 15 carry no payload in either direction, and -1 from the slave is
// a failure.
enum SlaveMsg : int32_t {
  msgOpen = 1,           // no payload
  msgClose = 2,          // no payload
  msgHello = 3,          // plug-in: side A identification bytes (2)
  msgHelloReply = 4,     // slave: side B identification bytes (2)
  msgSetIo = 5,          // 16 bytes: inputs, outputs, 1, 1
  msgSetIoReply = 6,     // slave: 16 bytes
  msgSetSampleRate = 7,  // float32 sample rate
  msgSetBlockSize = 8,   // plug-in: int32 block size; slave: 4 + 88 bytes
  msgTimeInfo = 9,       // 88-byte time record (never sent by the plug-in)
  msgEvents = 10,        // slave: int32 length and event records
  msgProcess = 11,       // time, events and audio; slave: audio
  msgSuspend = 12,       // no payload
  msgResume = 13,        // no payload
  msgGetInfo = 16,       // plug-in: no payload; slave: 12 bytes
};

// A received code that stands for a failed read.
constexpr int32_t kMsgFailed = -1;

constexpr int32_t kTransferBlockSize = 5776176;
constexpr int32_t kPayloadAreaSize = 256;
constexpr int32_t kTimeInfoBytes = 88;  // the time record at the start of the payload area
constexpr int32_t kEventAreaSize = 65536;
constexpr int32_t kMaxEventBytes = kEventAreaSize - 1;  // at most 65,535 bytes are ever used
constexpr int32_t kMaxChannels = 16;
constexpr int32_t kMaxFrames = 44100;
constexpr int32_t kMaxBytesPerSample = 4;
constexpr int32_t kAudioAreaSize = kMaxChannels * kMaxFrames * kMaxBytesPerSample;  // 2,822,400
constexpr int32_t kOutputFloatCount = kMaxChannels * kMaxFrames;                    // 705,600 floats

// Record sizes of the event areas: a tag byte, then the event body.
constexpr int32_t kEventTagBytes = 1;
constexpr int32_t kMidiBodyBytes = 30;  // VstMidiEvent without its two reserved bytes

// Message payload sizes (bytes after the code).
constexpr int32_t kHelloBytes = 2;
constexpr int32_t kSetIoBytes = 16;
constexpr int32_t kSampleRateBytes = 4;
constexpr int32_t kBlockSizeBytes = 4;
constexpr int32_t kGetInfoReplyBytes = 12;

struct TransferBlock {
  char magic[4];          // "KTKT"
  uint8_t sideAAttached;  // 1 while the plug-in holds role A
  uint8_t sideAIdent1;    // the plug-in sets 1
  uint8_t sideAIdent2;    // the plug-in sets 8
  uint8_t sideBAttached;  // 1 while the slave is connected
  uint8_t sideBIdent1;    // from msgHelloReply
  uint8_t sideBIdent2;    // from msgHelloReply
  uint8_t padding[2];     // not used
  int32_t msgCode;        // code of the message last sent or received
  int32_t reserved;       // never sent, never read
  unsigned char payload[kPayloadAreaSize];
  int32_t outEventLength;                   // bytes used in outEvents
  unsigned char outEvents[kEventAreaSize];  // host -> slave event records
  int32_t inEventLength;                    // bytes used in inEvents
  unsigned char inEvents[kEventAreaSize];   // slave -> host event records
  int32_t inputChannels;                    // C of the last msgProcess sent
  int32_t frames;                           // N of the last msgProcess sent
  int32_t outputChannels;                   // C of the last msgProcess reply
  int32_t outputFrames;                     // N of the last msgProcess reply
  int32_t unused;
  unsigned char wireAudio[kAudioAreaSize];  // planar audio in the wire precision
  float outputFloats[kOutputFloatCount];    // the last reply as rows of 32-bit floats
};

static_assert(offsetof(TransferBlock, magic) == 0, "magic");
static_assert(offsetof(TransferBlock, sideAAttached) == 4, "side A attached");
static_assert(offsetof(TransferBlock, sideAIdent1) == 5, "side A identification 1");
static_assert(offsetof(TransferBlock, sideAIdent2) == 6, "side A identification 2");
static_assert(offsetof(TransferBlock, sideBAttached) == 7, "side B attached");
static_assert(offsetof(TransferBlock, sideBIdent1) == 8, "side B identification 1");
static_assert(offsetof(TransferBlock, sideBIdent2) == 9, "side B identification 2");
static_assert(offsetof(TransferBlock, padding) == 10, "padding");
static_assert(offsetof(TransferBlock, msgCode) == 12, "message code");
static_assert(offsetof(TransferBlock, reserved) == 16, "reserved");
static_assert(offsetof(TransferBlock, payload) == 20, "payload area");
static_assert(offsetof(TransferBlock, outEventLength) == 276, "outgoing event length");
static_assert(offsetof(TransferBlock, outEvents) == 280, "outgoing event area");
static_assert(offsetof(TransferBlock, inEventLength) == 65816, "incoming event length");
static_assert(offsetof(TransferBlock, inEvents) == 65820, "incoming event area");
static_assert(offsetof(TransferBlock, inputChannels) == 131356, "input channel count");
static_assert(offsetof(TransferBlock, frames) == 131360, "frame count");
static_assert(offsetof(TransferBlock, outputChannels) == 131364, "output channel count");
static_assert(offsetof(TransferBlock, outputFrames) == 131368, "output frame count");
static_assert(offsetof(TransferBlock, unused) == 131372, "unused");
static_assert(offsetof(TransferBlock, wireAudio) == 131376, "wire audio area");
static_assert(offsetof(TransferBlock, outputFloats) == 2953776, "output float area");
static_assert(sizeof(TransferBlock) == kTransferBlockSize, "transfer block size");
static_assert(kAudioAreaSize == 2822400, "audio area size");
static_assert(offsetof(TransferBlock, wireAudio) % 16 == 0 && offsetof(TransferBlock, outputFloats) % 16 == 0,
              "both audio areas start on a 16-byte boundary of a 16-byte aligned block");
