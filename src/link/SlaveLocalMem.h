// A transfer block in the process's own memory: CSlaveMem with storage.
//
// The block lives in a 16-byte aligned buffer that this object owns; it is
// created by the constructor (Open) and kept until Close or destruction, so
// nothing on the audio path allocates.
#pragma once

#include "link/AlignedBuf.h"
#include "link/SlaveMem.h"

class CSlaveLocalMem : public CSlaveMem {
 public:
  // Builds an empty buffer, then opens the block; a constructed object
  // normally has its block (none when the memory cannot be had).
  CSlaveLocalMem();
  ~CSlaveLocalMem() override;

  // Returns the existing block unchanged, or makes the buffer
  // kTransferBlockSize bytes long (zero-filled) and initialises its header.
  TransferBlock* Open() override;
  // Returns the block's memory; the block reference becomes none.
  void Close() override;

 private:
  TAlignedBuf<unsigned char, 16> buffer_;
};
