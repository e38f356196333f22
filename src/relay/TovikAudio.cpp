// CTovik: the audio and event path. Every block becomes one msgProcess with
// the host's time information, the queued events and the input audio; the
// slave's msgProcess answer fills the outputs, in the same call (Synch on) or
// when the host asks for the block's position (Synch off).
//
// [audio-thread] Nothing here allocates, logs or waits on a lock: the link
// lock is only tried, and a block that finds it busy is skipped with its
// outputs untouched, as while disconnected. Every wait is bounded.
#include <cstring>

#include "formats/WireFormat.h"
#include "platform/Platform.h"
#include "relay/Tovik.h"

namespace {
constexpr int kAnswerWaitMs = 100;
constexpr int kAnswerWaitSteps = 50;           // about 5 s without any message
constexpr uint32_t kAnswerWaitLimitMs = 5000;  // and never longer in all
constexpr VstInt32 kTimeFilter = 0xFFC7;
constexpr int kMaxMessagesPerPoll = 64;
constexpr size_t kMidiRecordSize = 1 + 30;
}  // namespace

void CTovik::processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) {
  processBlock(inputs, outputs, sampleFrames);
}

// The accumulating entry does the same as the replacing one: it overwrites.
void CTovik::process(float** inputs, float** outputs, VstInt32 sampleFrames) {
  processBlock(inputs, outputs, sampleFrames);
}

void CTovik::processBlock(float** inputs, float** outputs, VstInt32 sampleFrames) {
  // A host block longer than the areas hold is clipped to what fits.
  VstInt32 frames = sampleFrames < 0 ? 0 : sampleFrames;
  if (frames > kMaxFrames) frames = kMaxFrames;

  std::unique_lock<std::mutex> guard(linkLock, std::try_to_lock);
  if (!guard.owns_lock()) return skipBlock(frames);  // a handshake or message is under way on the main thread

  // A call that finds the connection Pending activates it and relays its own
  // block as well. Hosts that never send idle calls (offline renders) connect
  // in their first process call; that block is relayed too, so a render loses
  // nothing.
  if (!connected) {
    activate();
    if (!connected) return skipBlock(frames);
  }
  TransferBlock* block = link.Block();
  if (!block || !link.IsAttachedB()) {
    connected = false;
    onConnectionChanged();
    return skipBlock(frames);
  }

  // Read the settings once: automation on another thread must not change
  // them between encoding and sending.
  const bool synch = Synch;
  const VstInt32 precision = AudioPrec < 1 ? 1 : (AudioPrec > 4 ? 4 : AudioPrec);
  VstInt32 numInputs = NumInputs < 0 ? 0 : (NumInputs > kMaxChannels ? kMaxChannels : NumInputs);
  VstInt32 numOutputs = NumOutputs < 0 ? 0 : (NumOutputs > kMaxChannels ? kMaxChannels : NumOutputs);
  float* noChannels[kMaxChannels] = {};
  if (!inputs) inputs = noChannels;
  if (!outputs) outputs = noChannels;

  forwardSlaveEvents();

  if (const VstTimeInfo* time = getTimeInfo(kTimeFilter))
    std::memcpy(block->payload, time, sizeof(VstTimeInfo));

  block->inputChannels = numInputs;
  block->frames = frames;
  unsigned char* wire = block->wireAudio;
  for (VstInt32 i = 0; i < numInputs; ++i) wire += EncodeChannel(precision, inputs[i], wire, frames);
  link.SetBytesPerSample(precision);
  block->msgCode = msgProcess;
  if (!link.Signal()) {
    dropConnection();  // nothing will answer this block; outputs untouched
    return skipBlock(frames);
  }
  ++unansweredBlocks;

  if (!synch) {
    for (VstInt32 j = 0; j < numOutputs; ++j) pendingOutputs[j] = outputs[j];
    pendingOutputCount = numOutputs;
    pendingFrames = frames;
    replyTaken = false;
    pendingValid = true;
    return;
  }
  if (!waitForAnswer()) return;  // no answer to this block: outputs untouched
  forwardSlaveEvents();
  copyAnswer(outputs, numOutputs, frames);
}

// A block that is not relayed is done at once for a host that asks for its
// position (asynchronous operation): its outputs stay as the host gave them,
// and no later answer is copied into them.
void CTovik::skipBlock(VstInt32 frames) {
  pendingValid = false;
  pendingFrames = frames;
  replyTaken = true;
}

// Waits in steps of 100 ms for the answer to the block just sent. Replies
// owed to earlier blocks are skipped; events that arrive meanwhile are kept.
bool CTovik::waitForAnswer() {
  const uint32_t start = tovik::platform::TickCount();
  int idleSteps = 0;
  for (;;) {
    if (!link.IsAttachedB()) {
      dropConnection();
      return false;
    }
    if (link.Wait(kAnswerWaitMs)) {
      idleSteps = 0;
      const VstInt32 code = link.Block()->msgCode;
      if (code == msgEvents) {
        keepSlaveEvents();
      } else if (code == msgProcess && unansweredBlocks > 0 && --unansweredBlocks == 0) {
        return true;
      }
    } else if (!link.IsAttachedB()) {
      dropConnection();
      return false;
    } else {
      ++idleSteps;
    }
    if (idleSteps >= kAnswerWaitSteps || tovik::platform::TickCount() - start >= kAnswerWaitLimitMs) {
      dropConnection();
      return false;
    }
  }
}

// Takes what the slave has sent without waiting; true once the answer to the
// block sent last has arrived.
bool CTovik::takeAsyncAnswer() {
  for (int i = 0; i < kMaxMessagesPerPoll; ++i) {
    if (!link.Wait(0)) return false;
    const VstInt32 code = link.Block()->msgCode;
    if (code == msgEvents) {
      keepSlaveEvents();  // events are no answer: keep them and read on
    } else if (code == msgProcess && unansweredBlocks > 0 && --unansweredBlocks == 0) {
      return true;
    }
  }
  return false;
}

VstInt32 CTovik::reportCurrentPosition() {
  if (replyTaken) return pendingFrames;
  std::unique_lock<std::mutex> guard(linkLock, std::try_to_lock);
  if (!guard.owns_lock()) return 0;  // ask again
  if (replyTaken) return pendingFrames;
  if (!link.IsAttachedB()) {
    // The connection is gone: the block is done, its outputs stay as they are.
    replyTaken = true;
    return pendingFrames;
  }
  if (takeAsyncAnswer()) {
    replyTaken = true;
    // Only into the buffers of a block that still waits for this answer.
    if (pendingValid) copyAnswer(pendingOutputs, pendingOutputCount, pendingFrames);
    pendingValid = false;
  } else if (!link.IsAttachedB()) {
    replyTaken = true;
  }
  return replyTaken ? pendingFrames : 0;
}

// Each output the answer covers gets the answer's frames and silence after
// them; outputs the answer has no channel for are left alone.
void CTovik::copyAnswer(float* const* outputs, VstInt32 outputCount, VstInt32 frames) {
  const TransferBlock* block = link.Block();
  if (!block) return;
  const VstInt32 stride = link.OutputRowStride();
  VstInt32 available = block->outputFrames;
  // An answer at a sample width outside 1..4 decodes nothing: its rows still
  // hold an older answer, which must not be replayed.
  const int32_t width = link.BytesPerSample();
  if (available < 0 || width < 1 || width > 4) available = 0;
  if (stride >= 0 && available > stride) available = stride;
  const VstInt32 copied = available < frames ? available : frames;
  for (VstInt32 j = 0; j < outputCount; ++j) {
    const float* row = link.OutputChannel(j);
    if (!row || !outputs[j]) continue;
    std::memcpy(outputs[j], row, static_cast<size_t>(copied) * sizeof(float));
    if (copied < frames)
      std::memset(outputs[j] + copied, 0, static_cast<size_t>(frames - copied) * sizeof(float));
  }
}

VstInt32 CTovik::processEvents(VstEvents* events) {
  // Only the audio thread touches the outgoing event area (here and when a
  // msgProcess is sent), so no lock is needed.
  TransferBlock* block = link.Block();
  if (!events || !block) return 1;
  int32_t length = block->outEventLength;
  for (VstInt32 i = 0; i < events->numEvents; ++i) {
    if (!link.AppendEvent(0, events->events[i], block->outEvents, &length)) break;
  }
  block->outEventLength = length;
  return 1;
}

// Moves the records of a msgEvents just received into our own area, after
// those kept before, as far as whole records fit.
void CTovik::keepSlaveEvents() {
  TransferBlock* block = link.Block();
  size_t length = block->inEventLength > 0 ? static_cast<size_t>(block->inEventLength) : 0;
  if (length > sizeof(block->inEvents)) length = sizeof(block->inEvents);
  size_t pos = 0;
  while (pos < length) {
    const size_t size = eventRecordSize(block->inEvents + pos, length - pos);
    if (!size || slaveEventLength + size > sizeof(slaveEvents)) break;
    std::memcpy(slaveEvents + slaveEventLength, block->inEvents + pos, size);
    slaveEventLength += size;
    pos += size;
  }
  block->inEventLength = 0;
}

// The length of the record at p, or 0 when it is not a whole MIDI or SysEx
// record inside the given bytes.
size_t CTovik::eventRecordSize(const unsigned char* p, size_t available) {
  if (available < 1 + sizeof(int32_t)) return 0;
  int32_t type = 0;
  std::memcpy(&type, p + 1, sizeof(type));
  if (type == kVstMidiType) return available >= kMidiRecordSize ? kMidiRecordSize : 0;
  if (type != kVstSysExType || available < 1 + kSysexFixedPart) return 0;
  int32_t dumpBytes = 0;
  std::memcpy(&dumpBytes, p + 1 + offsetof(VstMidiSysexEvent, dumpBytes), sizeof(dumpBytes));
  // A negative or oversized length ends the walk instead of looping on it.
  if (dumpBytes < 0 || static_cast<size_t>(dumpBytes) > available - 1 - kSysexFixedPart) return 0;
  return 1 + kSysexFixedPart + static_cast<size_t>(dumpBytes);
}

// Hands the kept events to the host, one call each.
void CTovik::forwardSlaveEvents() {
  TransferBlock* block = link.Block();
  if (block && block->inEventLength > 0) keepSlaveEvents();
  size_t pos = 0;
  while (hostReceivesEvents && pos < slaveEventLength) {
    const size_t size = eventRecordSize(slaveEvents + pos, slaveEventLength - pos);
    if (!size) break;
    const unsigned char* body = slaveEvents + pos + 1;
    union {
      VstMidiEvent midi;
      VstMidiSysexEvent sysex;
    } local;
    std::memset(&local, 0, sizeof(local));
    int32_t type = 0;
    std::memcpy(&type, body, sizeof(type));
    if (type == kVstMidiType) {
      std::memcpy(&local.midi, body, kMidiRecordSize - 1);
    } else {
      std::memcpy(&local.sysex, body, kSysexFixedPart);
      local.sysex.sysexDump = reinterpret_cast<char*>(slaveEvents + pos + 1 + kSysexFixedPart);
    }
    VstEvents list{};
    list.numEvents = 1;
    list.events[0] = reinterpret_cast<VstEvent*>(&local);
    sendVstEventsToHost(&list);
    pos += size;
  }
  slaveEventLength = 0;
}
