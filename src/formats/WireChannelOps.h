// The per-channel converters of wire codes 1 and 3 behind EncodeChannel and DecodeChannel.
//
// Like `SampleOps`, a table that holds portable variants at load and that the processor-specific
// selection (SelectSse2Ops) upgrades once, before the first plug-in object exists; afterwards it is only
// read. Every variant gives exactly the bytes and floats of the wire rules (the 8-bit encoder rounds by the
// build's rule: ties away from zero in the 64-bit build, ties to even in the 32-bit build), so the choice
// changes speed only. Callers go through EncodeChannel / DecodeChannel, which check the arguments; the
// converters themselves read n samples and write n samples, at any address. [audio-thread] safe.
#pragma once

#include <cstdint>

struct WireChannelOpsTable {
  void (*EncodeUnsigned8)(const float* src, unsigned char* dst, int32_t n);
  void (*DecodeUnsigned8)(const unsigned char* src, float* dst, int32_t n);
  void (*EncodeFloat24)(const float* src, unsigned char* dst, int32_t n);
  void (*DecodeFloat24)(const unsigned char* src, float* dst, int32_t n);
};

extern WireChannelOpsTable WireChannelOps;

// The portable variants, as `WireChannelOps` is at load.
const WireChannelOpsTable& PlainWireChannelOps();
