// The link's receiving side fed any byte stream: every message code, every
// length, split into recv calls of any size. Wait reads message after message
// until the stream ends or a message fails; after each one the block must hold
// only what fits its areas.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "FuzzHost.h"
#include "link/SlaveNetMem.h"

namespace {

using tovik::fuzz::ByteStreamSocket;

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckBlock(const CSlaveNetMem& link) {
  const TransferBlock* block = link.Block();
  Check(block->inEventLength >= 0 && block->inEventLength <= kEventAreaSize);
  if (block->msgCode == msgProcess) {
    Check(block->outputChannels >= 0 && block->outputFrames >= 0);
    const int64_t stride = link.OutputRowStride();
    Check(stride >= 0 && static_cast<int64_t>(block->outputChannels) * stride <= kOutputFloatCount);
    // Every row the plug-in may copy from lies inside the output float area.
    for (int32_t c = 0; c < block->outputChannels && c < kMaxChannels + 1; ++c) {
      const float* row = link.OutputChannel(c);
      if (!row) continue;
      Check(row >= block->outputFloats && row + stride <= block->outputFloats + kOutputFloatCount);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ByteStreamSocket stream;
  static ws::SOCKET handle = ws::kInvalidSocket;
  static CSlaveNetMem link(stream.Table(), &handle);
  if (size < 3) return 0;

  // Byte 0: how many bytes each recv hands out (1 to 64, or everything).
  const size_t chunk = data[0] >= 0xC0 ? SIZE_MAX : 1 + (data[0] & 0x3F);
  // Bytes 1 and 2: the frame count of the block sent last, which sets the
  // row stride of the output float area.
  const int32_t frames = static_cast<int32_t>((data[1] | data[2] << 8) % (kMaxFrames + 2));
  stream.Serve(data + 3, size - 3, chunk);

  if (!link.HoldsRoleA()) link.AttachA(true);
  link.SetTransferTimeout(20);
  link.SetBytesPerSample(4);
  TransferBlock* block = link.Block();
  block->frames = frames;
  block->inEventLength = 0;
  handle = ByteStreamSocket::kHandle;
  block->sideBAttached = 1;

  for (int messages = 0; messages < 100000 && link.Wait(0); ++messages) CheckBlock(link);
  // A failed message drops the connection; a stream that ended cleanly is
  // taken as the peer closing.
  if (link.IsConnected()) link.Disconnect();
  Check(!link.IsConnected() && block->sideBAttached == 0);
  return 0;
}
