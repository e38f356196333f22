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
#include "link/EventRecords.h"
#include "platform/Platform.h"
#include "relay/Tovik.h"

namespace {
constexpr int kAnswerWaitMs = 100;
constexpr int kAnswerWaitSteps = 50;           // about 5 s without any message
constexpr uint32_t kAnswerWaitLimitMs = 5000;  // and never longer in all
constexpr VstInt32 kTimeFilter = 0xFFC7;
constexpr int kMaxMessagesPerPoll = 64;
}  // namespace

void CTovik::processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) {
  processBlock(inputs, outputs, sampleFrames);
}

// The accumulating entry does the same as the replacing one: it overwrites.
void CTovik::process(float** inputs, float** outputs, VstInt32 sampleFrames) {
  processBlock(inputs, outputs, sampleFrames);
}

// No host callback is made while linkLock is held: a host may re-enter the
// instance from audioMasterGetTime or audioMasterProcessEvents (idle, sample
// rate, suspend, resume, close on the same thread), and those take the lock.
// So the time information is copied before the lock is taken, and the slave's
// events are collected under it into our own area and handed over after it is
// released.
void CTovik::processBlock(float** inputs, float** outputs, VstInt32 sampleFrames) {
  const VstInt32 frames = sampleFrames < 0 ? 0 : sampleFrames;

  // A call that finds the connection Pending activates it and relays its own
  // block as well. Hosts that never send idle calls (offline renders) connect
  // in their first process calls; the block of the call that finds the
  // connection ready is relayed too, so a render loses nothing.
  // While no connection is active, or the transport has dropped it, nothing
  // is asked of the host and the outputs stay as they are.
  {
    std::unique_lock<std::mutex> guard(linkLock, std::try_to_lock);
    if (!guard.owns_lock()) return skipBlock(frames);  // a message is under way on the main thread
    if (!connected) activate();
    if (!connected) return skipBlock(frames);
    if (!link.Block() || !link.IsAttachedB()) {
      dropConnection();  // the transport dropped it: the next attempt goes at once
      return skipBlock(frames);
    }
  }

  // Events kept from earlier messages reach the host before this block's time
  // is asked for.
  forwardSlaveEvents();

  VstTimeInfo time{};
  const VstTimeInfo* hostTime = getTimeInfo(kTimeFilter);
  const bool haveTime = hostTime != nullptr;
  if (haveTime) std::memcpy(&time, hostTime, sizeof time);

  {
    std::unique_lock<std::mutex> guard(linkLock, std::try_to_lock);
    if (!guard.owns_lock()) return skipBlock(frames);
    relayBlock(inputs, outputs, frames, haveTime ? &time : nullptr);
  }
  forwardSlaveEvents();
}

// Sends the block and (Synch on) takes its answer; linkLock held. A block
// longer than the audio areas hold goes as consecutive messages of at most
// kMaxFrames frames in synchronous operation; in asynchronous operation its
// frames past kMaxFrames are silence.
void CTovik::relayBlock(float** inputs, float** outputs, VstInt32 frames, VstTimeInfo* time) {
  TransferBlock* block = link.Block();
  // The host may have suspended, closed or dropped the connection from its
  // callback, or another thread took the lock in between.
  if (!connected) return skipBlock(frames);
  if (!block || !link.IsAttachedB()) {
    dropConnection();
    return skipBlock(frames);
  }
  if (block->inEventLength > 0) keepSlaveEvents();

  // Read the settings once: automation on another thread must not change
  // them between encoding and sending.
  const bool synch = Synch;
  const VstInt32 precision = AudioPrec < 1 ? 1 : (AudioPrec > 4 ? 4 : AudioPrec);
  const VstInt32 numInputs = NumInputs < 0 ? 0 : (NumInputs > kMaxChannels ? kMaxChannels : NumInputs);
  const VstInt32 numOutputs = NumOutputs < 0 ? 0 : (NumOutputs > kMaxChannels ? kMaxChannels : NumOutputs);
  float* noChannels[kMaxChannels] = {};
  if (!inputs) inputs = noChannels;
  if (!outputs) outputs = noChannels;

  const VstInt32 firstFrames = frames > kMaxFrames ? kMaxFrames : frames;
  if (!synch) {
    if (!sendChunk(inputs, numInputs, 0, firstFrames, precision, time)) return skipBlock(frames);
    // The frames the slave never sees are silence now (the inputs are sent
    // already: in-place buffers may be written).
    for (VstInt32 j = 0; j < numOutputs; ++j) {
      pendingOutputs[j] = outputs[j];
      if (outputs[j] && frames > firstFrames)
        std::memset(outputs[j] + firstFrames, 0, static_cast<size_t>(frames - firstFrames) * sizeof(float));
    }
    pendingOutputCount = numOutputs;
    pendingFrames = frames;
    pendingCopyFrames = firstFrames;
    replyTaken = false;
    pendingValid = true;
    return;
  }

  uint32_t written = 0;  // outputs that received audio of this block, one bit each
  for (VstInt32 offset = 0; offset < frames || offset == 0; offset += kMaxFrames) {
    const VstInt32 chunk = frames - offset > kMaxFrames ? kMaxFrames : frames - offset;
    // A chunk past the first carries the time of its first frame.
    if (time && offset > 0) time->samplePos += kMaxFrames;
    const bool answered = sendChunk(inputs, numInputs, offset, chunk, precision, time) && waitForAnswer();
    if (!answered) {
      // No answer: a block not started stays as the host gave it; one whose
      // first part is in the outputs gets silence for the rest, never what
      // the buffers held before.
      for (VstInt32 j = 0; j < numOutputs; ++j) {
        if (written & (1u << j))
          std::memset(outputs[j] + offset, 0, static_cast<size_t>(frames - offset) * sizeof(float));
      }
      return;
    }
    float* chunkOutputs[kMaxChannels] = {};
    for (VstInt32 j = 0; j < numOutputs; ++j) chunkOutputs[j] = outputs[j] ? outputs[j] + offset : nullptr;
    written |= copyAnswer(chunkOutputs, numOutputs, chunk);
    if (chunk == 0) break;
  }
}

// Encodes frames [offset, offset + count) of the inputs and sends them as one
// msgProcess; false (and the connection dropped) when the send failed.
bool CTovik::sendChunk(float** inputs, VstInt32 numInputs, VstInt32 offset, VstInt32 count,
                       VstInt32 precision, const VstTimeInfo* time) {
  TransferBlock* block = link.Block();
  // Without the host's time the payload area keeps what the last message
  // left there, and those 88 bytes go as the time information.
  if (time) std::memcpy(block->payload, time, sizeof(VstTimeInfo));
  block->inputChannels = numInputs;
  block->frames = count;
  unsigned char* wire = block->wireAudio;
  for (VstInt32 i = 0; i < numInputs; ++i)
    wire += EncodeChannel(precision, inputs[i] ? inputs[i] + offset : nullptr, wire, count);
  link.SetBytesPerSample(precision);
  block->msgCode = msgProcess;
  if (!link.Signal()) {
    dropConnection();  // nothing will answer this block
    return false;
  }
  ++unansweredBlocks;
  return true;
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
    if (pendingValid) copyAnswer(pendingOutputs, pendingOutputCount, pendingCopyFrames);
    pendingValid = false;
  } else if (!link.IsAttachedB()) {
    replyTaken = true;
  }
  return replyTaken ? pendingFrames : 0;
}

// Each output the answer covers gets the answer's frames and silence after
// them; outputs the answer has no channel for are left alone. Returns the
// outputs written, one bit each.
uint32_t CTovik::copyAnswer(float* const* outputs, VstInt32 outputCount, VstInt32 frames) {
  const TransferBlock* block = link.Block();
  if (!block) return 0;
  const VstInt32 stride = link.OutputRowStride();
  VstInt32 available = block->outputFrames;
  // An answer at a sample width outside 1..4 decodes nothing: its rows still
  // hold an older answer, which must not be replayed.
  const int32_t width = link.BytesPerSample();
  if (available < 0 || width < 1 || width > 4) available = 0;
  if (stride >= 0 && available > stride) available = stride;
  const VstInt32 copied = available < frames ? available : frames;
  uint32_t written = 0;
  for (VstInt32 j = 0; j < outputCount; ++j) {
    const float* row = link.OutputChannel(j);
    if (!row || !outputs[j]) continue;
    std::memcpy(outputs[j], row, static_cast<size_t>(copied) * sizeof(float));
    if (copied < frames)
      std::memset(outputs[j] + copied, 0, static_cast<size_t>(frames - copied) * sizeof(float));
    written |= 1u << j;
  }
  return written;
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
    const size_t size = tovik::link::EventRecordSize(block->inEvents + pos, length - pos, kSysexFixedPart);
    if (!size || slaveEventLength + size > sizeof(slaveEvents)) break;
    std::memcpy(slaveEvents + slaveEventLength, block->inEvents + pos, size);
    slaveEventLength += size;
    pos += size;
  }
  block->inEventLength = 0;
}

// Hands the kept events to the host, one call each. Called without linkLock:
// the host may call the instance back from audioMasterProcessEvents. Only the
// audio thread touches our own area.
void CTovik::forwardSlaveEvents() {
  size_t pos = 0;
  while (hostReceivesEvents && pos < slaveEventLength) {
    const size_t size =
        tovik::link::EventRecordSize(slaveEvents + pos, slaveEventLength - pos, kSysexFixedPart);
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
      std::memcpy(&local.midi, body, static_cast<size_t>(kMidiBodyBytes));
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
