#include "link/SlaveLocalMem.h"

CSlaveLocalMem::CSlaveLocalMem() {
  CSlaveLocalMem::Open();
}

CSlaveLocalMem::~CSlaveLocalMem() {
  CSlaveLocalMem::Close();
}

TransferBlock* CSlaveLocalMem::Open() {
  if (block_) return block_;
  buffer_.Resize(kTransferBlockSize);
  if (!buffer_.Data()) return nullptr;
  // The buffer is 16-byte aligned and at least as aligned as the block needs.
  block_ = static_cast<TransferBlock*>(static_cast<void*>(buffer_.Data()));
  Init();
  return block_;
}

void CSlaveLocalMem::Close() {
  if (!block_) return;
  buffer_.Free();
  block_ = nullptr;
}
