// The SSE variants of the float arithmetic slots, and the 32-bit build's SSE+MMX FloatToShort.
//
// Only the selection installs them, and only when the processor reports SSE (and MMX for
// FloatToShortMmx); callers go through `SampleOps`. Their code must not run on any other processor, which
// is why this header is included only by the selection.
//
// Caller's obligations for the arithmetic members (every slot here but FloatToShortMmx): they work on
// whole 16-byte groups of four floats, so every buffer must be 16-byte aligned and padded to a multiple of
// four floats; the padding is processed like the samples (its values change, and for PeakFloat and
// RmsFloat it must hold zeros). The shortcuts for value/gain 0 and 1 and the float rounding of the value
// are those of the plain variants.
//
// FloatToShortMmx keeps the SIMD rule of FloatToShort (below) but converts two floats at a time into MMX
// registers, packs them with signed saturation and leaves the MMX state cleared on return. When either
// address is not a multiple of 16 the whole call is done by the plain variant. Stores exactly count
// values.
//
// All are [audio-thread] safe: no allocation, no locks.
#pragma once

#include <cstdint>

namespace tovik::formats::sse {

void AddFloat(float* buffer, int32_t count, double value);
void AddFloatTo(const float* src, float* dst, int32_t count, double value);
void AccumulateFloat(const float* src, float* dst, int32_t count);
void ScaleFloat(float* buffer, int32_t count, double gain);
void ScaleFloatTo(const float* src, float* dst, int32_t count, double gain);
void MultiplyFloat(const float* src, float* dst, int32_t count);
void MixFloat(const float* src, float* dst, int32_t count, double gain);
void SoftClipFloat(float* buffer, int32_t count);
void SoftClipFloatTo(const float* src, float* dst, int32_t count);
float PeakFloat(const float* buffer, int32_t count);
float RmsFloat(const float* buffer, int32_t count);

void FloatToShortMmx(const float* src, int16_t* dst, int32_t count);

}  // namespace tovik::formats::sse
