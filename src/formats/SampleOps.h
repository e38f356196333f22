// The process-wide table of sample operations.
//
// Every operation is reached through `SampleOps`; nobody calls a variant directly. At load the table holds
// the plain variants, which run on any processor (a constant initialisation, done before any code runs).
// The processor-specific selection replaces single slots once, before the first plug-in object exists;
// afterwards the table is only read, from any thread.
//
// Common rules of every slot:
// - counts are signed 32-bit sample counts; a count of zero or less does nothing;
// - buffers belong to the caller: no operation allocates, locks or keeps a pointer after it returns, so
//   every slot may be called on the audio thread;
// - gains and constants are passed as double even to the float members, which apply them as float; the
//   ramp and fade members keep their running gain in double;
// - int16 buffers may lie at any address (the wire audio area is addressed byte-wise);
// - the integer encoders clip at full scale, turn NaN into 0 and infinities into full scale.
#pragma once

#include <cstdint>

struct SampleOpsTable {
  // Byte order, in place. Swap24 reverses packed 3-byte values (byte 0 <-> byte 2), 3 bytes per value.
  void (*Swap16)(void* buffer, int32_t count);
  void (*Swap24)(void* buffer, int32_t count);
  void (*Swap32)(void* buffer, int32_t count);
  void (*Swap64)(void* buffer, int32_t count);

  // 16-bit: full scale 32767. Decoding multiplies by the float nearest 1/32767 (bits 0x38000100).
  void (*ShortToFloat)(const int16_t* src, float* dst, int32_t count);
  void (*ShortToDouble)(const int16_t* src, double* dst, int32_t count);
  void (*FloatToShort)(const float* src, int16_t* dst, int32_t count);
  void (*DoubleToShort)(const double* src, int16_t* dst, int32_t count);

  // Packed little-endian 24-bit.
  void (*Int24ToFloat)(const uint8_t* src, float* dst, int32_t count);
  void (*Int24ToDouble)(const uint8_t* src, double* dst, int32_t count);
  void (*FloatToInt24)(const float* src, uint8_t* dst, int32_t count);
  void (*DoubleToInt24)(const double* src, uint8_t* dst, int32_t count);

  // 32-bit and right-aligned N-bit integers (bits 1..32; other widths do nothing).
  void (*Int32ToFloat)(const int32_t* src, float* dst, int32_t count);
  void (*Int32ToDouble)(const int32_t* src, double* dst, int32_t count);
  void (*IntNToFloat)(const int32_t* src, float* dst, int32_t bits, int32_t count);
  void (*IntNToDouble)(const int32_t* src, double* dst, int32_t bits, int32_t count);
  void (*FloatToInt32)(const float* src, int32_t* dst, int32_t count);
  void (*DoubleToInt32)(const double* src, int32_t* dst, int32_t count);
  void (*FloatToIntN)(const float* src, int32_t* dst, int32_t bits, int32_t count);
  void (*DoubleToIntN)(const double* src, int32_t* dst, int32_t bits, int32_t count);

  // DoubleToFloat narrows front to back; FloatToDouble widens back to front, so both work in place on a
  // buffer that holds the source values at its start.
  void (*DoubleToFloat)(const double* src, float* dst, int32_t count);
  void (*FloatToDouble)(const float* src, double* dst, int32_t count);

  // Gain and mixing. value/gain 0 and 1 take the shortcuts documented with each variant.
  void (*AddFloat)(float* buffer, int32_t count, double value);
  void (*AddDouble)(double* buffer, int32_t count, double value);
  void (*AddFloatTo)(const float* src, float* dst, int32_t count, double value);
  void (*AddDoubleTo)(const double* src, double* dst, int32_t count, double value);
  void (*AccumulateFloat)(const float* src, float* dst, int32_t count);
  void (*AccumulateDouble)(const double* src, double* dst, int32_t count);
  void (*ScaleFloat)(float* buffer, int32_t count, double gain);
  void (*ScaleDouble)(double* buffer, int32_t count, double gain);
  void (*ScaleFloatTo)(const float* src, float* dst, int32_t count, double gain);
  void (*ScaleDoubleTo)(const double* src, double* dst, int32_t count, double gain);
  void (*MultiplyFloat)(const float* src, float* dst, int32_t count);
  void (*MultiplyDouble)(const double* src, double* dst, int32_t count);
  void (*MixFloat)(const float* src, float* dst, int32_t count, double gain);
  void (*MixDouble)(const double* src, double* dst, int32_t count, double gain);

  // Linear ramps from startGain (first sample) to endGain (last sample).
  void (*RampFloat)(float* buffer, int32_t count, double startGain, double endGain);
  void (*RampDouble)(double* buffer, int32_t count, double startGain, double endGain);
  void (*RampFloatTo)(const float* src, float* dst, int32_t count, double startGain, double endGain);
  void (*RampDoubleTo)(const double* src, double* dst, int32_t count, double startGain, double endGain);

  // Exponential fades: each sample is multiplied by gain, then gain by factor; the final gain is returned
  // through the caller's variable.
  void (*FadeFloat)(float* buffer, int32_t count, double factor, double& gain);
  void (*FadeDouble)(double* buffer, int32_t count, double factor, double& gain);
  void (*FadeFloatTo)(const float* src, float* dst, int32_t count, double factor, double& gain);
  void (*FadeDoubleTo)(const double* src, double* dst, int32_t count, double factor, double& gain);

  // Soft clipper: odd, through 0, exactly +-1 at +-3 and flat beyond.
  void (*SoftClipFloat)(float* buffer, int32_t count);
  void (*SoftClipDouble)(double* buffer, int32_t count);
  void (*SoftClipFloatTo)(const float* src, float* dst, int32_t count);
  void (*SoftClipDoubleTo)(const double* src, double* dst, int32_t count);

  // Levels: 0 for count <= 0.
  float (*PeakFloat)(const float* buffer, int32_t count);
  double (*PeakDouble)(const double* buffer, int32_t count);
  float (*RmsFloat)(const float* buffer, int32_t count);
  double (*RmsDouble)(const double* buffer, int32_t count);

  // NaN and denormals become +0, infinities +-3.4028234e35; false when a NaN or infinity was met.
  bool (*SanitizeFloat)(float* buffer, int32_t count);
  bool (*SanitizeDouble)(double* buffer, int32_t count);
};

static_assert(sizeof(SampleOpsTable) == 54 * sizeof(void (*)()), "one pointer per slot, 54 slots");

// The table every caller goes through. Holds the plain variants until the processor-specific selection
// replaces some slots, once, before the first plug-in object is created.
extern SampleOpsTable SampleOps;

// The all-plain table, as `SampleOps` is at load: for comparisons and for forcing the plain variants.
const SampleOpsTable& PlainSampleOps();
