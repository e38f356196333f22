// Plain variants of the sample operations. [audio-thread] safe: none allocates, locks or waits.
//
// Every loop handles four samples per pass and then the remaining 0-3 singly (`Unrolled`); a count of
// zero or less does nothing.
#include "formats/PlainSampleOps.h"

#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

#include "formats/PlainMath.h"
#include "formats/SampleOps.h"

namespace tovik::formats::plain {
namespace {

template <typename F>
inline void Unrolled(int32_t count, F&& f) {
  int32_t i = 0;
  for (; count - i >= 4; i += 4) {
    f(i);
    f(i + 1);
    f(i + 2);
    f(i + 3);
  }
  for (; i < count; ++i) f(i);
}

// 16-bit buffers may be the byte-addressed wire area, so they are accessed through memcpy at any address.
inline int16_t LoadShort(const int16_t* p, int32_t i) {
  int16_t v;
  std::memcpy(&v, reinterpret_cast<const unsigned char*>(p) + 2 * static_cast<size_t>(i), sizeof v);
  return v;
}

inline void StoreShort(int16_t* p, int32_t i, int16_t v) {
  std::memcpy(reinterpret_cast<unsigned char*>(p) + 2 * static_cast<size_t>(i), &v, sizeof v);
}

template <size_t N>
inline void ReverseBytes(unsigned char* p) {
  for (size_t a = 0, b = N - 1; a < b; ++a, --b) std::swap(p[a], p[b]);
}

template <size_t N>
void SwapEach(void* buffer, int32_t count) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  Unrolled(count, [bytes](int32_t i) { ReverseBytes<N>(bytes + N * static_cast<size_t>(i)); });
}

constexpr float kShortToFloat = 0x1.0002p-15f;  // the float nearest 1/32767, bits 0x38000100
constexpr double kShortToDouble = 1.0 / 32767.0;
constexpr float kInt31ToFloat = 0x1p-31f;  // bits 0x30000000
constexpr double kInt31ToDouble = 1.0 / 2147483647.0;
constexpr double kInt32Scale = 2147483647.0;

inline bool ValidBits(int32_t bits) {
  return bits >= 1 && bits <= 32;
}

// A right-aligned sample of `bits` bits moved to the top of a 32-bit word (as two's complement).
inline int32_t AlignLeft(int32_t v, int32_t bits) {
  return static_cast<int32_t>(static_cast<uint32_t>(v) << (32 - bits));
}

inline int32_t Int24At(const uint8_t* src, int32_t i) {
  const uint8_t* p = src + 3 * static_cast<size_t>(i);
  const uint32_t u = (uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 24);
  return static_cast<int32_t>(u);
}

inline void StoreInt24(uint8_t* dst, int32_t i, int32_t v) {
  uint8_t* p = dst + 3 * static_cast<size_t>(i);
  const auto u = static_cast<uint32_t>(v);
  p[0] = static_cast<uint8_t>(u);
  p[1] = static_cast<uint8_t>(u >> 8);
  p[2] = static_cast<uint8_t>(u >> 16);
}

// x * scale clipped to +-limit and rounded by the build's rule; NaN gives 0.
inline int32_t ScaleClipRound(double x, double scale, double limit) {
  if (std::isnan(x)) return 0;
  return RoundClipped<kPlainMath>(ClipWide(x * scale, limit));
}

// x clipped to +-1, then scaled and rounded by the build's rule; NaN gives 0.
inline int32_t ClipScaleRound(double x, double scale) {
  if (std::isnan(x)) return 0;
  return RoundClipped<kPlainMath>(ClipWide(x, 1.0) * scale);
}

// The full scale of an N-bit integer left in a 32-bit word: floor(2147483647 / 2^(32 - bits)).
inline double IntNScale(int32_t bits) {
  return bits < 32 ? static_cast<double>(int32_t{2147483647} >> (32 - bits)) : kInt32Scale;
}

template <typename T>
inline T SoftClip(T x) {
  T c;
  if constexpr (std::is_same_v<T, float>) {
    c = ClipFloat(x, 3.0f);
  } else {
    c = ClipWide<T>(x, 3);
  }
  const T c2 = c * c;
  return c * (c2 + 27) / (9 * c2 + 27);
}

template <typename T>
inline void Ramp(const T* src, T* dst, int32_t count, double startGain, double endGain) {
  const double step = count > 1 ? (endGain - startGain) / (count - 1) : 0.0;
  double g = startGain;
  Unrolled(count, [&](int32_t i) {
    dst[i] = static_cast<T>(src[i] * g);
    g += step;
  });
}

template <typename T>
inline void Fade(const T* src, T* dst, int32_t count, double factor, double& gain) {
  double g = gain;
  Unrolled(count, [&](int32_t i) {
    dst[i] = static_cast<T>(src[i] * g);
    g *= factor;
  });
  gain = g;
}

template <typename T>
inline T Peak(const T* buffer, int32_t count) {
  T peak = 0;
  Unrolled(count, [&](int32_t i) {
    const T a = std::fabs(buffer[i]);
    if (a > peak) peak = a;
  });
  return peak;
}

// Sums in double for both members.
template <typename T>
inline T Rms(const T* buffer, int32_t count) {
  if (count <= 0) return 0;
  double sum = 0;
  Unrolled(count, [&](int32_t i) { sum += static_cast<double>(buffer[i]) * buffer[i]; });
  return sum > 0 ? static_cast<T>(std::sqrt(sum / count)) : T(0);
}

template <typename T>
inline void Fill(T* dst, int32_t count, T value) {
  Unrolled(count, [&](int32_t i) { dst[i] = value; });
}

template <typename T>
inline void Copy(const T* src, T* dst, int32_t count) {
  if (count > 0 && src != dst) std::memmove(dst, src, sizeof(T) * static_cast<size_t>(count));
}

}  // namespace

void Swap16(void* buffer, int32_t count) {
  SwapEach<2>(buffer, count);
}
void Swap24(void* buffer, int32_t count) {
  SwapEach<3>(buffer, count);
}
void Swap32(void* buffer, int32_t count) {
  SwapEach<4>(buffer, count);
}
void Swap64(void* buffer, int32_t count) {
  SwapEach<8>(buffer, count);
}

// Eight samples per pass as one eight-lane value (compiler vector types, which GCC and Clang support on
// every target: packed instructions where the processor has them, plain ones elsewhere), then the rest
// singly; the results are the same either way. Every 16-bit block the relay receives is decoded here.
void ShortToFloat(const int16_t* src, float* dst, int32_t count) {
  typedef int16_t Int16x8 __attribute__((vector_size(16)));
  typedef int32_t Int32x8 __attribute__((vector_size(32)));
  typedef float Float32x8 __attribute__((vector_size(32)));
  int32_t i = 0;
  for (; count - i >= 8; i += 8) {
    Int16x8 in;
    std::memcpy(&in, reinterpret_cast<const unsigned char*>(src) + 2 * static_cast<size_t>(i), sizeof in);
    const Float32x8 out =
        __builtin_convertvector(__builtin_convertvector(in, Int32x8), Float32x8) * kShortToFloat;
    std::memcpy(dst + i, &out, sizeof out);
  }
  for (; i < count; ++i) dst[i] = static_cast<float>(LoadShort(src, i)) * kShortToFloat;
}

void ShortToDouble(const int16_t* src, double* dst, int32_t count) {
  Unrolled(count, [&](int32_t i) { dst[i] = LoadShort(src, i) * kShortToDouble; });
}

void FloatToShort(const float* src, int16_t* dst, int32_t count) {
  Unrolled(count, [&](int32_t i) { StoreShort(dst, i, EncodeSigned16<kPlainMath>(src[i])); });
}

void DoubleToShort(const double* src, int16_t* dst, int32_t count) {
  Unrolled(count, [&](int32_t i) {
    StoreShort(dst, i, static_cast<int16_t>(ScaleClipRound(src[i], 32767.0, 32767.0)));
  });
}

void Int24ToFloat(const uint8_t* src, float* dst, int32_t count) {
  Unrolled(count, [&](int32_t i) { dst[i] = static_cast<float>(Int24At(src, i)) * kInt31ToFloat; });
}

void Int24ToDouble(const uint8_t* src, double* dst, int32_t count) {
  Unrolled(count, [&](int32_t i) { dst[i] = Int24At(src, i) * kInt31ToDouble; });
}

void FloatToInt24(const float* src, uint8_t* dst, int32_t count) {
  Unrolled(count, [&](int32_t i) { StoreInt24(dst, i, ScaleClipRound(src[i], 8388607.0, 8388607.0)); });
}

void DoubleToInt24(const double* src, uint8_t* dst, int32_t count) {
  Unrolled(count, [&](int32_t i) { StoreInt24(dst, i, ScaleClipRound(src[i], 8388607.0, 8388607.0)); });
}

void Int32ToFloat(const int32_t* src, float* dst, int32_t count) {
  Unrolled(count, [&](int32_t i) { dst[i] = static_cast<float>(src[i] * kInt31ToDouble); });
}

void Int32ToDouble(const int32_t* src, double* dst, int32_t count) {
  Unrolled(count, [&](int32_t i) { dst[i] = src[i] * kInt31ToDouble; });
}

void IntNToFloat(const int32_t* src, float* dst, int32_t bits, int32_t count) {
  if (!ValidBits(bits)) return;
  Unrolled(count, [&](int32_t i) { dst[i] = static_cast<float>(AlignLeft(src[i], bits)) * kInt31ToFloat; });
}

void IntNToDouble(const int32_t* src, double* dst, int32_t bits, int32_t count) {
  if (!ValidBits(bits)) return;
  Unrolled(count, [&](int32_t i) { dst[i] = AlignLeft(src[i], bits) * kInt31ToDouble; });
}

void FloatToInt32(const float* src, int32_t* dst, int32_t count) {
  Unrolled(count, [&](int32_t i) { dst[i] = ClipScaleRound(src[i], kInt32Scale); });
}

void DoubleToInt32(const double* src, int32_t* dst, int32_t count) {
  Unrolled(count, [&](int32_t i) { dst[i] = ClipScaleRound(src[i], kInt32Scale); });
}

void FloatToIntN(const float* src, int32_t* dst, int32_t bits, int32_t count) {
  if (!ValidBits(bits)) return;
  const double scale = IntNScale(bits);
  Unrolled(count, [&](int32_t i) { dst[i] = ClipScaleRound(src[i], scale); });
}

void DoubleToIntN(const double* src, int32_t* dst, int32_t bits, int32_t count) {
  if (!ValidBits(bits)) return;
  const double scale = IntNScale(bits);
  Unrolled(count, [&](int32_t i) { dst[i] = ClipScaleRound(src[i], scale); });
}

// Both may run in place on one buffer. The accesses go through memcpy, so that the compiler cannot
// reorder a float access past an overlapping double access.
void DoubleToFloat(const double* src, float* dst, int32_t count) {
  const auto* in = reinterpret_cast<const unsigned char*>(src);
  auto* out = reinterpret_cast<unsigned char*>(dst);
  int32_t i = 0;
  for (; count - i >= 4; i += 4) {
    double d[4];
    std::memcpy(d, in + 8 * static_cast<size_t>(i), sizeof d);
    const float f[4] = {static_cast<float>(d[0]), static_cast<float>(d[1]), static_cast<float>(d[2]),
                        static_cast<float>(d[3])};
    std::memcpy(out + 4 * static_cast<size_t>(i), f, sizeof f);
  }
  for (; i < count; ++i) {
    double d;
    std::memcpy(&d, in + 8 * static_cast<size_t>(i), sizeof d);
    const auto f = static_cast<float>(d);
    std::memcpy(out + 4 * static_cast<size_t>(i), &f, sizeof f);
  }
}

// From the last sample to the first: the double written for sample i covers only floats i and above,
// which have all been read by then.
void FloatToDouble(const float* src, double* dst, int32_t count) {
  if (count <= 0) return;
  const auto* in = reinterpret_cast<const unsigned char*>(src);
  auto* out = reinterpret_cast<unsigned char*>(dst);
  int32_t i = count;
  for (int32_t single = count & 3; single > 0; --single) {
    --i;
    float f;
    std::memcpy(&f, in + 4 * static_cast<size_t>(i), sizeof f);
    const double d = f;
    std::memcpy(out + 8 * static_cast<size_t>(i), &d, sizeof d);
  }
  while (i > 0) {
    i -= 4;
    float f[4];
    std::memcpy(f, in + 4 * static_cast<size_t>(i), sizeof f);
    const double d[4] = {f[0], f[1], f[2], f[3]};
    std::memcpy(out + 8 * static_cast<size_t>(i), d, sizeof d);
  }
}

void AddFloat(float* buffer, int32_t count, double value) {
  if (value == 0) return;
  const auto v = static_cast<float>(value);
  Unrolled(count, [&](int32_t i) { buffer[i] += v; });
}

void AddDouble(double* buffer, int32_t count, double value) {
  if (value == 0) return;
  Unrolled(count, [&](int32_t i) { buffer[i] += value; });
}

void AddFloatTo(const float* src, float* dst, int32_t count, double value) {
  if (value == 0) return Copy(src, dst, count);
  const auto v = static_cast<float>(value);
  Unrolled(count, [&](int32_t i) { dst[i] = src[i] + v; });
}

void AddDoubleTo(const double* src, double* dst, int32_t count, double value) {
  if (value == 0) return Copy(src, dst, count);
  Unrolled(count, [&](int32_t i) { dst[i] = src[i] + value; });
}

void AccumulateFloat(const float* src, float* dst, int32_t count) {
  Unrolled(count, [&](int32_t i) { dst[i] += src[i]; });
}

void AccumulateDouble(const double* src, double* dst, int32_t count) {
  Unrolled(count, [&](int32_t i) { dst[i] += src[i]; });
}

void ScaleFloat(float* buffer, int32_t count, double gain) {
  if (gain == 0) return Fill(buffer, count, 0.0f);
  if (gain == 1) return;
  const auto g = static_cast<float>(gain);
  Unrolled(count, [&](int32_t i) { buffer[i] *= g; });
}

void ScaleDouble(double* buffer, int32_t count, double gain) {
  if (gain == 0) return Fill(buffer, count, 0.0);
  if (gain == 1) return;
  Unrolled(count, [&](int32_t i) { buffer[i] *= gain; });
}

void ScaleFloatTo(const float* src, float* dst, int32_t count, double gain) {
  if (gain == 0) return Fill(dst, count, 0.0f);
  if (gain == 1) return Copy(src, dst, count);
  const auto g = static_cast<float>(gain);
  Unrolled(count, [&](int32_t i) { dst[i] = src[i] * g; });
}

void ScaleDoubleTo(const double* src, double* dst, int32_t count, double gain) {
  if (gain == 0) return Fill(dst, count, 0.0);
  if (gain == 1) return Copy(src, dst, count);
  Unrolled(count, [&](int32_t i) { dst[i] = src[i] * gain; });
}

void MultiplyFloat(const float* src, float* dst, int32_t count) {
  Unrolled(count, [&](int32_t i) { dst[i] *= src[i]; });
}

void MultiplyDouble(const double* src, double* dst, int32_t count) {
  Unrolled(count, [&](int32_t i) { dst[i] *= src[i]; });
}

void MixFloat(const float* src, float* dst, int32_t count, double gain) {
  if (gain == 0) return;
  if (gain == 1) return AccumulateFloat(src, dst, count);
  const auto g = static_cast<float>(gain);
  Unrolled(count, [&](int32_t i) { dst[i] += src[i] * g; });
}

void MixDouble(const double* src, double* dst, int32_t count, double gain) {
  if (gain == 0) return;
  if (gain == 1) return AccumulateDouble(src, dst, count);
  Unrolled(count, [&](int32_t i) { dst[i] += src[i] * gain; });
}

// Equal gains are a constant gain, which the (possibly faster) scale slots of the table do.
void RampFloat(float* buffer, int32_t count, double startGain, double endGain) {
  if (startGain == endGain) return SampleOps.ScaleFloat(buffer, count, startGain);
  Ramp(buffer, buffer, count, startGain, endGain);
}

void RampDouble(double* buffer, int32_t count, double startGain, double endGain) {
  if (startGain == endGain) return SampleOps.ScaleDouble(buffer, count, startGain);
  Ramp(buffer, buffer, count, startGain, endGain);
}

void RampFloatTo(const float* src, float* dst, int32_t count, double startGain, double endGain) {
  if (startGain == endGain) return SampleOps.ScaleFloatTo(src, dst, count, startGain);
  Ramp(src, dst, count, startGain, endGain);
}

void RampDoubleTo(const double* src, double* dst, int32_t count, double startGain, double endGain) {
  if (startGain == endGain) return SampleOps.ScaleDoubleTo(src, dst, count, startGain);
  Ramp(src, dst, count, startGain, endGain);
}

// Factor 1 leaves everything as it is, even when the gain is not 1.
void FadeFloat(float* buffer, int32_t count, double factor, double& gain) {
  if (count <= 0 || factor == 1) return;
  if (factor == 0) {
    Fill(buffer, count, 0.0f);
    gain = 0;
    return;
  }
  Fade(buffer, buffer, count, factor, gain);
}

void FadeDouble(double* buffer, int32_t count, double factor, double& gain) {
  if (count <= 0 || factor == 1) return;
  if (factor == 0) {
    Fill(buffer, count, 0.0);
    gain = 0;
    return;
  }
  Fade(buffer, buffer, count, factor, gain);
}

void FadeFloatTo(const float* src, float* dst, int32_t count, double factor, double& gain) {
  if (count <= 0 || factor == 1) return;
  if (factor == 0) {
    Fill(dst, count, 0.0f);
    gain = 0;
    return;
  }
  Fade(src, dst, count, factor, gain);
}

void FadeDoubleTo(const double* src, double* dst, int32_t count, double factor, double& gain) {
  if (count <= 0 || factor == 1) return;
  if (factor == 0) {
    Fill(dst, count, 0.0);
    gain = 0;
    return;
  }
  Fade(src, dst, count, factor, gain);
}

void SoftClipFloat(float* buffer, int32_t count) {
  Unrolled(count, [&](int32_t i) { buffer[i] = SoftClip(buffer[i]); });
}

void SoftClipDouble(double* buffer, int32_t count) {
  Unrolled(count, [&](int32_t i) { buffer[i] = SoftClip(buffer[i]); });
}

void SoftClipFloatTo(const float* src, float* dst, int32_t count) {
  Unrolled(count, [&](int32_t i) { dst[i] = SoftClip(src[i]); });
}

void SoftClipDoubleTo(const double* src, double* dst, int32_t count) {
  Unrolled(count, [&](int32_t i) { dst[i] = SoftClip(src[i]); });
}

float PeakFloat(const float* buffer, int32_t count) {
  return Peak(buffer, count);
}
double PeakDouble(const double* buffer, int32_t count) {
  return Peak(buffer, count);
}
float RmsFloat(const float* buffer, int32_t count) {
  return Rms(buffer, count);
}
double RmsDouble(const double* buffer, int32_t count) {
  return Rms(buffer, count);
}

// Judged by the bit pattern, so that no comparison of a NaN is involved.
bool SanitizeFloat(float* buffer, int32_t count) {
  constexpr uint32_t kExponent = 0x7F800000u, kMantissa = 0x007FFFFFu, kSign = 0x80000000u;
  constexpr uint32_t kInfinityReplacement = 0x7A83126Eu;  // 3.4028234e35
  bool clean = true;
  Unrolled(count, [&](int32_t i) {
    uint32_t bits;
    std::memcpy(&bits, &buffer[i], sizeof bits);
    const uint32_t exponent = bits & kExponent, mantissa = bits & kMantissa;
    if (exponent == kExponent) {
      clean = false;
      bits = mantissa != 0 ? 0u : (bits & kSign) | kInfinityReplacement;
    } else if (exponent == 0 && mantissa != 0) {
      bits = 0;
    } else {
      return;
    }
    std::memcpy(&buffer[i], &bits, sizeof bits);
  });
  return clean;
}

bool SanitizeDouble(double* buffer, int32_t count) {
  constexpr uint64_t kExponent = 0x7FF0000000000000u, kMantissa = 0x000FFFFFFFFFFFFFu;
  constexpr uint64_t kSign = 0x8000000000000000u;
  constexpr uint64_t kInfinityReplacement = 0x4750624DC28F5C29u;  // 3.4028234663852886e35
  bool clean = true;
  Unrolled(count, [&](int32_t i) {
    uint64_t bits;
    std::memcpy(&bits, &buffer[i], sizeof bits);
    const uint64_t exponent = bits & kExponent, mantissa = bits & kMantissa;
    if (exponent == kExponent) {
      clean = false;
      bits = mantissa != 0 ? 0u : (bits & kSign) | kInfinityReplacement;
    } else if (exponent == 0 && mantissa != 0) {
      bits = 0;
    } else {
      return;
    }
    std::memcpy(&buffer[i], &bits, sizeof bits);
  });
  return clean;
}

}  // namespace tovik::formats::plain
