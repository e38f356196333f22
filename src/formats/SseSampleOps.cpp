// SSE variants (see SseSampleOps.h for the caller's obligations). This file is compiled for SSE (and MMX)
// and runs only where the processor reports them. It uses no inline function or template shared with
// other files, so no code compiled for SSE can be picked by the linker for the plain variants.
// [audio-thread] safe: no allocation, no locks.
#include "formats/SseSampleOps.h"

#include <xmmintrin.h>

#include <cstring>

#include "formats/PlainSampleOps.h"

namespace tovik::formats::sse {
namespace {

// Number of whole four-float groups that cover count samples (count > 0).
inline uint32_t Groups(int32_t count) {
  return (static_cast<uint32_t>(count) + 3u) / 4u;
}

inline __m128 Load(const float* p, uint32_t g) {
  return _mm_load_ps(p + 4 * static_cast<size_t>(g));
}

inline void Store(float* p, uint32_t g, __m128 v) {
  _mm_store_ps(p + 4 * static_cast<size_t>(g), v);
}

void CopyGroups(const float* src, float* dst, int32_t count) {
  if (count <= 0 || src == dst) return;
  const uint32_t groups = Groups(count);
  for (uint32_t g = 0; g < groups; ++g) Store(dst, g, Load(src, g));
}

void FillZeroGroups(float* dst, int32_t count) {
  if (count <= 0) return;
  const uint32_t groups = Groups(count);
  const __m128 zero = _mm_setzero_ps();
  for (uint32_t g = 0; g < groups; ++g) Store(dst, g, zero);
}

// Clip to +-3 with min then max, then x * (x^2 + 27) / (9x^2 + 27), in the plain variant's order.
inline __m128 SoftClip(__m128 x) {
  const __m128 three = _mm_set1_ps(3.0f);
  const __m128 c = _mm_max_ps(_mm_min_ps(x, three), _mm_set1_ps(-3.0f));
  const __m128 c2 = _mm_mul_ps(c, c);
  const __m128 k27 = _mm_set1_ps(27.0f);
  return _mm_div_ps(_mm_mul_ps(c, _mm_add_ps(c2, k27)), _mm_add_ps(_mm_mul_ps(_mm_set1_ps(9.0f), c2), k27));
}

inline bool Aligned(const void* a, const void* b) {
  return ((reinterpret_cast<uintptr_t>(a) | reinterpret_cast<uintptr_t>(b)) & 15u) == 0;
}

// Slot 6's SIMD rule on four floats, converted two at a time into MMX registers and packed to 16 bits
// with signed saturation.
inline __m64 ToShortsMmx(__m128 x) {
  __m128 v = _mm_mul_ps(x, _mm_set1_ps(32767.0f));
  v = _mm_min_ps(v, _mm_set1_ps(32767.0f));  // NaN gives the second operand: +32767
  v = _mm_max_ps(v, _mm_set1_ps(-32768.0f));
  const __m64 low = _mm_cvtps_pi32(v);
  const __m64 high = _mm_cvtps_pi32(_mm_movehl_ps(v, v));
  return _mm_packs_pi32(low, high);
}

}  // namespace

void AddFloat(float* buffer, int32_t count, double value) {
  if (value == 0 || count <= 0) return;
  const __m128 v = _mm_set1_ps(static_cast<float>(value));
  const uint32_t groups = Groups(count);
  for (uint32_t g = 0; g < groups; ++g) Store(buffer, g, _mm_add_ps(Load(buffer, g), v));
}

void AddFloatTo(const float* src, float* dst, int32_t count, double value) {
  if (value == 0) return CopyGroups(src, dst, count);
  if (count <= 0) return;
  const __m128 v = _mm_set1_ps(static_cast<float>(value));
  const uint32_t groups = Groups(count);
  for (uint32_t g = 0; g < groups; ++g) Store(dst, g, _mm_add_ps(Load(src, g), v));
}

void AccumulateFloat(const float* src, float* dst, int32_t count) {
  if (count <= 0) return;
  const uint32_t groups = Groups(count);
  for (uint32_t g = 0; g < groups; ++g) Store(dst, g, _mm_add_ps(Load(dst, g), Load(src, g)));
}

void ScaleFloat(float* buffer, int32_t count, double gain) {
  if (gain == 0) return FillZeroGroups(buffer, count);
  if (gain == 1 || count <= 0) return;
  const __m128 k = _mm_set1_ps(static_cast<float>(gain));
  const uint32_t groups = Groups(count);
  for (uint32_t g = 0; g < groups; ++g) Store(buffer, g, _mm_mul_ps(Load(buffer, g), k));
}

void ScaleFloatTo(const float* src, float* dst, int32_t count, double gain) {
  if (gain == 0) return FillZeroGroups(dst, count);
  if (gain == 1) return CopyGroups(src, dst, count);
  if (count <= 0) return;
  const __m128 k = _mm_set1_ps(static_cast<float>(gain));
  const uint32_t groups = Groups(count);
  for (uint32_t g = 0; g < groups; ++g) Store(dst, g, _mm_mul_ps(Load(src, g), k));
}

void MultiplyFloat(const float* src, float* dst, int32_t count) {
  if (count <= 0) return;
  const uint32_t groups = Groups(count);
  for (uint32_t g = 0; g < groups; ++g) Store(dst, g, _mm_mul_ps(Load(dst, g), Load(src, g)));
}

void MixFloat(const float* src, float* dst, int32_t count, double gain) {
  if (gain == 0 || count <= 0) return;
  if (gain == 1) return AccumulateFloat(src, dst, count);
  const __m128 k = _mm_set1_ps(static_cast<float>(gain));
  const uint32_t groups = Groups(count);
  for (uint32_t g = 0; g < groups; ++g) Store(dst, g, _mm_add_ps(Load(dst, g), _mm_mul_ps(Load(src, g), k)));
}

void SoftClipFloat(float* buffer, int32_t count) {
  if (count <= 0) return;
  const uint32_t groups = Groups(count);
  for (uint32_t g = 0; g < groups; ++g) Store(buffer, g, SoftClip(Load(buffer, g)));
}

void SoftClipFloatTo(const float* src, float* dst, int32_t count) {
  if (count <= 0) return;
  const uint32_t groups = Groups(count);
  for (uint32_t g = 0; g < groups; ++g) Store(dst, g, SoftClip(Load(src, g)));
}

// A NaN sample is passed over, as in the plain variant: max returns its second operand for NaN.
float PeakFloat(const float* buffer, int32_t count) {
  if (count <= 0) return 0.0f;
  const __m128 sign = _mm_set1_ps(-0.0f);
  __m128 peak = _mm_setzero_ps();
  const uint32_t groups = Groups(count);
  for (uint32_t g = 0; g < groups; ++g) peak = _mm_max_ps(_mm_andnot_ps(sign, Load(buffer, g)), peak);
  peak = _mm_max_ps(peak, _mm_movehl_ps(peak, peak));
  peak = _mm_max_ss(peak, _mm_shuffle_ps(peak, peak, 1));
  return _mm_cvtss_f32(peak);
}

// The squares are summed in four float lanes, which are added into a double total every 64 groups, so the
// rounding error stays a few units in the last place of a float whatever the count.
float RmsFloat(const float* buffer, int32_t count) {
  if (count <= 0) return 0.0f;
  const uint32_t groups = Groups(count);
  double total = 0.0;
  for (uint32_t g = 0; g < groups;) {
    const uint32_t end = groups - g > 64u ? g + 64u : groups;
    __m128 sum = _mm_setzero_ps();
    for (; g < end; ++g) {
      const __m128 x = Load(buffer, g);
      sum = _mm_add_ps(sum, _mm_mul_ps(x, x));
    }
    float lanes[4];
    _mm_storeu_ps(lanes, sum);
    total += (static_cast<double>(lanes[0]) + lanes[1]) + (static_cast<double>(lanes[2]) + lanes[3]);
  }
  return total > 0 ? static_cast<float>(__builtin_sqrt(total / count)) : 0.0f;
}

void FloatToShortMmx(const float* src, int16_t* dst, int32_t count) {
  if (count <= 0) return;
  if (!Aligned(src, dst)) return plain::FloatToShort(src, dst, count);
  int32_t i = 0;
  for (; count - i >= 4; i += 4) {
    const __m64 packed = ToShortsMmx(_mm_load_ps(src + i));
    std::memcpy(dst + i, &packed, sizeof packed);
  }
  if (i < count) {
    const auto rest = static_cast<size_t>(count - i);
    float in[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    std::memcpy(in, src + i, rest * sizeof(float));
    const __m64 packed = ToShortsMmx(_mm_loadu_ps(in));
    int16_t out[4];
    std::memcpy(out, &packed, sizeof out);
    std::memcpy(dst + i, out, rest * sizeof(int16_t));
  }
  _mm_empty();
}

}  // namespace tovik::formats::sse
