// The SSE2 variants of the conversion slots and of the double arithmetic slots.
//
// Only the selection installs them, and only when the processor reports SSE2; callers go through
// `SampleOps` (and `WireChannelOps`). Their code must not run on any other processor, which is why this
// header is included only by the selection.
//
// The SIMD conversion rule: samples are scaled, limited with min then max (so NaN becomes the upper
// limit), and converted by the processor's packed conversion in the current rounding mode (ties to even by
// default). Where that rule differs from the plain one, both are correct outputs of the slot:
// - FloatToShort: x * 32767, min 32767, max -32768. -32768 is reachable (scaled values of -32767.5 and
//   below), ties round to even, NaN gives +32767, infinities +-full scale. The plain rule's clipping idiom
//   rounds its terms at the scale of 32767, so the two variants also differ by one step for scaled values
//   within about 1/128 of a tie. DoubleToShort first narrows each double to float, then the same.
// - FloatToInt24: x * 2^31, min 2147483520, max -2^31, convert, keep bytes 1..3 of the 32-bit result.
//   DoubleToInt24: x * 2147483647, min 2147483647, max -2^31, same bytes.
// - Int32ToFloat: src * 2^-31.
// - FloatToInt32: x * 2^31, min 2147483520, max -2^31. DoubleToInt32: x * 2147483647, min 2147483647,
//   max -2^31.
// - FloatToIntN / DoubleToIntN: with s = 2^-(32 - bits): float: x * floor(s * 2^31), min
//   floor(s * 2147483520), max -s * 2^31; double: x * floor(s * 2147483647), min the same, max -s * 2^31.
//   bits outside 1..32 do nothing.
//
// Alignment:
// - FloatToShort, DoubleToShort, Int32ToFloat, IntNToFloat, FloatToInt32, DoubleToInt32, FloatToIntN and
//   DoubleToIntN test both addresses: when either is not a multiple of 16 the whole call is done by the
//   plain variant. Stores exactly count values either way.
// - Int24ToFloat, Int24ToDouble, FloatToInt24 and DoubleToInt24 do not test: their float or double buffer
//   must be 16-byte aligned (the packed 24-bit side may lie anywhere). They read and write exactly count
//   values.
// - The double arithmetic members work on whole 16-byte groups of two doubles: every buffer must be 16-byte
//   aligned and padded to an even count; the padding is processed too (for PeakDouble and RmsDouble it must
//   hold zeros). Shortcuts for value/gain 0 and 1 are those of the plain variants.
//
// All are [audio-thread] safe: no allocation, no locks.
#pragma once

#include <cstdint>

namespace tovik::formats::sse2 {

void FloatToShort(const float* src, int16_t* dst, int32_t count);
void DoubleToShort(const double* src, int16_t* dst, int32_t count);
void Int24ToFloat(const uint8_t* src, float* dst, int32_t count);
void Int24ToDouble(const uint8_t* src, double* dst, int32_t count);
void FloatToInt24(const float* src, uint8_t* dst, int32_t count);
void DoubleToInt24(const double* src, uint8_t* dst, int32_t count);
void Int32ToFloat(const int32_t* src, float* dst, int32_t count);
void IntNToFloat(const int32_t* src, float* dst, int32_t bits, int32_t count);
void FloatToInt32(const float* src, int32_t* dst, int32_t count);
void DoubleToInt32(const double* src, int32_t* dst, int32_t count);
void FloatToIntN(const float* src, int32_t* dst, int32_t bits, int32_t count);
void DoubleToIntN(const double* src, int32_t* dst, int32_t bits, int32_t count);

void AddDouble(double* buffer, int32_t count, double value);
void AddDoubleTo(const double* src, double* dst, int32_t count, double value);
void AccumulateDouble(const double* src, double* dst, int32_t count);
void ScaleDouble(double* buffer, int32_t count, double gain);
void ScaleDoubleTo(const double* src, double* dst, int32_t count, double gain);
void MultiplyDouble(const double* src, double* dst, int32_t count);
void MixDouble(const double* src, double* dst, int32_t count, double gain);
void SoftClipDouble(double* buffer, int32_t count);
void SoftClipDoubleTo(const double* src, double* dst, int32_t count);
double PeakDouble(const double* buffer, int32_t count);
double RmsDouble(const double* buffer, int32_t count);

// Wire channel converters of codes 1 and 3 (see WireChannelOps.h): exactly the bytes and floats of the
// portable variants, at any address. The 8-bit encoder comes in both rounding rules: ties away from zero
// (64-bit build) and ties to even (32-bit build, by the current rounding mode).
void EncodeUnsigned8TiesAway(const float* src, unsigned char* dst, int32_t n);
void EncodeUnsigned8TiesEven(const float* src, unsigned char* dst, int32_t n);
void DecodeUnsigned8(const unsigned char* src, float* dst, int32_t n);
void EncodeFloat24(const float* src, unsigned char* dst, int32_t n);
void DecodeFloat24(const unsigned char* src, float* dst, int32_t n);

}  // namespace tovik::formats::sse2
