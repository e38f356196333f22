// Access to a transfer block: where it is, which of its two roles this object
// has taken (side A, the plug-in; side B, the slave), and the operations on
// the block header and its areas.
//
// CSlaveMem only views storage that a derived class owns (CSlaveLocalMem);
// its own Open gives no block. The virtual slots keep this order in every
// derived class: destructor, Open, Close, Init, then side A's view
// (IsAttachedA, AttachA, SetIdentA, GetIdentB) and side B's view
// (IsAttachedB, AttachB, SetIdentB, GetIdentA).
//
// No locks: the plug-in object serialises every use of its link.
#pragma once

#include <cstdint>

#include "frame/VstAbi.h"
#include "link/TransferBlock.h"

class CSlaveMem {
 public:
  CSlaveMem() = default;
  CSlaveMem(const CSlaveMem&) = delete;
  CSlaveMem& operator=(const CSlaveMem&) = delete;
  virtual ~CSlaveMem();

  // Returns the block, creating it when the storage allows; none here.
  virtual TransferBlock* Open();
  // Releases the block; afterwards there is none.
  virtual void Close();
  // Writes the block header: magic "KTKT", side bytes, message code, reserved
  // field and both event lengths 0. Does nothing without a block.
  virtual void Init();

  // Side A's view of the block.
  virtual bool IsAttachedA() const;
  virtual bool AttachA(bool attach);
  virtual bool SetIdentA(uint8_t ident1, uint8_t ident2);
  virtual void GetIdentB(uint8_t& ident1, uint8_t& ident2) const;

  // Side B's view of the block.
  virtual bool IsAttachedB() const;
  virtual bool AttachB(bool attach);
  virtual bool SetIdentB(uint8_t ident1, uint8_t ident2);
  virtual void GetIdentA(uint8_t& ident1, uint8_t& ident2) const;

  // Releases the block, opens a new one and carries this object's roles over
  // into it (a role already marked in the new block is given up instead).
  void Reopen();

  // Appends one event record (tag byte, event body, SysEx data) to an event
  // area of kEventAreaSize bytes whose used bytes are counted by *length.
  // Without area or length the outgoing event area and its length are used.
  // Returns false, having written nothing, for a null event, a type other
  // than MIDI (1) or SysEx (6), an inconsistent SysEx event, or a record that
  // would bring the area to 65,536 bytes or more.
  // [audio-thread] No allocation, no lock.
  bool AppendEvent(uint8_t tag, const VstEvent* event, unsigned char* area = nullptr,
                   int32_t* length = nullptr);

  // Start of row c of the output float area, or null when there is no block,
  // c is negative, c is not below the output channel count, or the row would
  // not lie inside the area. Rows are R floats apart, R being the frame count
  // field rounded up to a multiple of 4, so every row is 16-byte aligned.
  // [audio-thread]
  float* OutputChannel(int32_t c) const;

  // Floats between two rows of the output float area (R), or -1 when the
  // frame count field is negative.
  int32_t OutputRowStride() const;

  TransferBlock* Block() const { return block_; }
  bool HoldsRoleA() const { return attachedA_; }
  bool HoldsRoleB() const { return attachedB_; }

 protected:
  TransferBlock* block_ = nullptr;  // a view of storage owned by a derived class
  bool attachedA_ = false;          // this object's own record of role A
  bool attachedB_ = false;          // this object's own record of role B
};
