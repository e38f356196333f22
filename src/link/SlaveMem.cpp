#include "link/SlaveMem.h"

#include <cstring>

CSlaveMem::~CSlaveMem() = default;

TransferBlock* CSlaveMem::Open() {
  return nullptr;
}

void CSlaveMem::Close() {}

void CSlaveMem::Init() {
  if (!block_) return;
  std::memcpy(block_->magic, "KTKT", 4);
  block_->sideAAttached = 0;
  block_->sideAIdent1 = 0;
  block_->sideAIdent2 = 0;
  block_->sideBAttached = 0;
  block_->sideBIdent1 = 0;
  block_->sideBIdent2 = 0;
  block_->msgCode = 0;
  block_->reserved = 0;
  block_->outEventLength = 0;
  block_->inEventLength = 0;
}

bool CSlaveMem::IsAttachedA() const {
  return block_ && block_->sideAAttached != 0;
}

bool CSlaveMem::AttachA(bool attach) {
  if (!block_) return false;
  if (attach == attachedA_) return true;
  if (attach) {
    if (block_->sideAAttached != 0) return false;  // held by someone else
    if (attachedB_) AttachB(false);
    block_->sideAAttached = 1;
    attachedA_ = true;
  } else {
    block_->sideAAttached = 0;
    attachedA_ = false;
  }
  return true;
}

bool CSlaveMem::SetIdentA(uint8_t ident1, uint8_t ident2) {
  if (!block_) return false;
  block_->sideAIdent1 = ident1;
  block_->sideAIdent2 = ident2;
  return true;
}

void CSlaveMem::GetIdentB(uint8_t& ident1, uint8_t& ident2) const {
  ident1 = block_ ? block_->sideBIdent1 : 0;
  ident2 = block_ ? block_->sideBIdent2 : 0;
}

bool CSlaveMem::IsAttachedB() const {
  return block_ && block_->sideBAttached != 0;
}

bool CSlaveMem::AttachB(bool attach) {
  if (!block_) return false;
  if (attach == attachedB_) return true;
  if (attach) {
    if (block_->sideBAttached != 0) return false;  // held by someone else
    if (attachedA_) AttachA(false);
    block_->sideBAttached = 1;
    attachedB_ = true;
  } else {
    block_->sideBAttached = 0;
    attachedB_ = false;
  }
  return true;
}

bool CSlaveMem::SetIdentB(uint8_t ident1, uint8_t ident2) {
  if (!block_) return false;
  block_->sideBIdent1 = ident1;
  block_->sideBIdent2 = ident2;
  return true;
}

void CSlaveMem::GetIdentA(uint8_t& ident1, uint8_t& ident2) const {
  ident1 = block_ ? block_->sideAIdent1 : 0;
  ident2 = block_ ? block_->sideAIdent2 : 0;
}

void CSlaveMem::Reopen() {
  Close();
  Open();
  if (!block_) return;
  if (attachedA_) {
    if (block_->sideAAttached != 0) {
      attachedA_ = false;
    } else {
      block_->sideAAttached = 1;
    }
  }
  if (attachedB_) {
    if (block_->sideBAttached != 0) {
      attachedB_ = false;
    } else {
      block_->sideBAttached = 1;
    }
  }
}

// [audio-thread] Called from the host's event delivery: no allocation, no
// lock, and every size is checked in 64 bits before a byte is written.
bool CSlaveMem::AppendEvent(uint8_t tag, const VstEvent* event, unsigned char* area, int32_t* length) {
  if (!area && !block_) return false;
  if (!length && !block_) return false;
  if (!area) area = block_->outEvents;
  if (!length) length = &block_->outEventLength;
  if (!event) return false;

  const int64_t used = *length;
  if (used < 0 || used > kMaxEventBytes) return false;
  const int64_t room = kMaxEventBytes - used;  // bytes a record may still take

  int64_t body = 0;
  int64_t extra = 0;
  const char* extraData = nullptr;
  if (event->type == kVstMidiType) {
    body = kMidiBodyBytes;
  } else if (event->type == kVstSysExType) {
    const auto* sysex = reinterpret_cast<const VstMidiSysexEvent*>(event);
    body = static_cast<int64_t>(kSysexFixedPart);
    extra = sysex->dumpBytes;
    extraData = sysex->sysexDump;
    if (extra < 0 || extra > room) return false;
    if (extra != 0 && !extraData) return false;
  } else {
    return false;
  }
  if (kEventTagBytes + body + extra > room) return false;

  unsigned char* out = area + used;
  *out = tag;
  std::memcpy(out + kEventTagBytes, event, static_cast<size_t>(body));
  if (extra > 0) std::memcpy(out + kEventTagBytes + body, extraData, static_cast<size_t>(extra));
  *length = static_cast<int32_t>(used + kEventTagBytes + body + extra);
  return true;
}

int32_t CSlaveMem::OutputRowStride() const {
  if (!block_ || block_->frames < 0) return -1;
  const int64_t frames = block_->frames;
  return static_cast<int32_t>(frames > INT32_MAX - 3 ? -1 : (frames + 3) & ~int64_t{3});
}

float* CSlaveMem::OutputChannel(int32_t c) const {
  if (!block_ || c < 0 || c >= block_->outputChannels) return nullptr;
  const int32_t stride = OutputRowStride();
  if (stride < 0) return nullptr;
  const int64_t start = static_cast<int64_t>(c) * stride;
  if (start + stride > kOutputFloatCount) return nullptr;
  return block_->outputFloats + start;
}
