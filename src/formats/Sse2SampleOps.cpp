// SSE2 variants (rules and the caller's obligations: Sse2SampleOps.h). This file is compiled for SSE2 and
// runs only where the processor reports it. It uses no inline function or template shared with other
// files, so no code compiled for SSE2 can be picked by the linker for the plain variants.
// [audio-thread] safe: no allocation, no locks.
#include "formats/Sse2SampleOps.h"

#include <emmintrin.h>

#include <cstring>

#include "formats/PlainSampleOps.h"

namespace tovik::formats::sse2 {
namespace {

inline bool Aligned(const void* a, const void* b) {
  return ((reinterpret_cast<uintptr_t>(a) | reinterpret_cast<uintptr_t>(b)) & 15u) == 0;
}

inline bool ValidBits(int32_t bits) {
  return bits >= 1 && bits <= 32;
}

inline __m128i LoadInts(const void* p) {
  return _mm_load_si128(static_cast<const __m128i*>(p));
}

inline void StoreInts(void* p, __m128i v) {
  _mm_store_si128(static_cast<__m128i*>(p), v);
}

// Limits of the packed float-to-integer conversion: scale, then min (NaN gives this upper limit), then max.
struct FloatLimits {
  __m128 scale, upper, lower;
};

struct DoubleLimits {
  __m128d scale, upper, lower;
};

inline __m128i Convert(__m128 x, const FloatLimits& k) {
  const __m128 v = _mm_max_ps(_mm_min_ps(_mm_mul_ps(x, k.scale), k.upper), k.lower);
  return _mm_cvtps_epi32(v);
}

inline __m128i Convert(__m128d x01, __m128d x23, const DoubleLimits& k) {
  const __m128d v01 = _mm_max_pd(_mm_min_pd(_mm_mul_pd(x01, k.scale), k.upper), k.lower);
  const __m128d v23 = _mm_max_pd(_mm_min_pd(_mm_mul_pd(x23, k.scale), k.upper), k.lower);
  return _mm_unpacklo_epi64(_mm_cvtpd_epi32(v01), _mm_cvtpd_epi32(v23));
}

FloatLimits ShortLimits() {
  return {_mm_set1_ps(32767.0f), _mm_set1_ps(32767.0f), _mm_set1_ps(-32768.0f)};
}

// x * 2^31 limited to [-2^31, 2147483520] (the largest float below 2^31).
FloatLimits Int32FloatLimits() {
  return {_mm_set1_ps(2147483648.0f), _mm_set1_ps(2147483520.0f), _mm_set1_ps(-2147483648.0f)};
}

DoubleLimits Int32DoubleLimits() {
  return {_mm_set1_pd(2147483647.0), _mm_set1_pd(2147483647.0), _mm_set1_pd(-2147483648.0)};
}

// s = 2^-(32 - bits): scale floor(s * 2^31), upper floor(s * 2147483520), lower -s * 2^31. Every value is
// exact in float.
FloatLimits IntNFloatLimits(int32_t bits) {
  const int32_t shift = 32 - bits;
  const auto half = static_cast<float>(int64_t{1} << (bits - 1));
  const auto upper = static_cast<float>(int64_t{2147483520} >> shift);
  return {_mm_set1_ps(half), _mm_set1_ps(upper), _mm_set1_ps(-half)};
}

// Scale and upper limit floor(s * 2147483647), lower -s * 2^31.
DoubleLimits IntNDoubleLimits(int32_t bits) {
  const int32_t shift = 32 - bits;
  const auto upper = static_cast<double>(int64_t{2147483647} >> shift);
  const auto half = static_cast<double>(int64_t{1} << (bits - 1));
  return {_mm_set1_pd(upper), _mm_set1_pd(upper), _mm_set1_pd(-half)};
}

// Runs f on groups of four floats read at src + i and returns after the last whole group; the remaining
// 0-3 samples are given to f as one group read from a zero-padded copy, and `store` is told how many of
// its values to keep. Nothing beyond count is read or written.
template <typename Group, typename Store>
inline void ForFloatGroups(const float* src, int32_t count, Group&& group, Store&& store) {
  int32_t i = 0;
  for (; count - i >= 4; i += 4) store(i, group(_mm_load_ps(src + i)), 4);
  if (i < count) {
    float in[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    std::memcpy(in, src + i, static_cast<size_t>(count - i) * sizeof(float));
    store(i, group(_mm_loadu_ps(in)), count - i);
  }
}

template <typename Group, typename Store>
inline void ForDoubleGroups(const double* src, int32_t count, Group&& group, Store&& store) {
  int32_t i = 0;
  for (; count - i >= 4; i += 4) store(i, group(_mm_load_pd(src + i), _mm_load_pd(src + i + 2)), 4);
  if (i < count) {
    double in[4] = {0.0, 0.0, 0.0, 0.0};
    std::memcpy(in, src + i, static_cast<size_t>(count - i) * sizeof(double));
    store(i, group(_mm_loadu_pd(in), _mm_loadu_pd(in + 2)), count - i);
  }
}

// Four 32-bit values stored at dst + i, keeping `keep` of them.
inline void StoreInt32s(int32_t* dst, int32_t i, __m128i v, int32_t keep) {
  if (keep == 4) return StoreInts(dst + i, v);
  int32_t out[4];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
  std::memcpy(dst + i, out, static_cast<size_t>(keep) * sizeof(int32_t));
}

inline void StoreFloats(float* dst, int32_t i, __m128 v, int32_t keep) {
  if (keep == 4) return _mm_store_ps(dst + i, v);
  float out[4];
  _mm_storeu_ps(out, v);
  std::memcpy(dst + i, out, static_cast<size_t>(keep) * sizeof(float));
}

// The low 16 bits of four 32-bit values (all within the int16 range) stored at dst + i.
inline void StoreShorts(int16_t* dst, int32_t i, __m128i v, int32_t keep) {
  const __m128i packed = _mm_packs_epi32(v, v);
  if (keep == 4) return _mm_storel_epi64(static_cast<__m128i*>(static_cast<void*>(dst + i)), packed);
  int16_t out[8];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), packed);
  std::memcpy(dst + i, out, static_cast<size_t>(keep) * sizeof(int16_t));
}

// Bytes 1..3 of each 32-bit value, packed tight: 12 bytes at dst + 3i, of which 3 * keep are written.
inline void StoreUpperBytes(uint8_t* dst, int32_t i, __m128i v, int32_t keep) {
  const __m128i t = _mm_srli_epi32(v, 8);
  // Each 64-bit half becomes 6 tight bytes: low value | high value << 24.
  const __m128i lowWords = _mm_and_si128(t, _mm_set_epi32(0, -1, 0, -1));
  const __m128i packed = _mm_or_si128(lowWords, _mm_slli_epi64(_mm_srli_epi64(t, 32), 24));
  uint8_t out[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), packed);
  uint8_t* p = dst + 3 * static_cast<size_t>(i);
  if (keep == 4) {
    std::memcpy(p, out, 6);
    std::memcpy(p + 6, out + 8, 6);
  } else {
    uint8_t tight[12];
    std::memcpy(tight, out, 6);
    std::memcpy(tight + 6, out + 8, 6);
    std::memcpy(p, tight, 3 * static_cast<size_t>(keep));
  }
}

// Four packed 24-bit values from 12 bytes, each moved to the top of a 32-bit lane: (0, b0, b1, b2).
inline __m128i LoadInt24s(const uint8_t* p) {
  uint32_t tail;
  std::memcpy(&tail, p + 8, sizeof tail);
  const __m128i v = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                                       _mm_cvtsi32_si128(static_cast<int>(tail)));
  const __m128i lane0 = _mm_and_si128(_mm_slli_si128(v, 1), _mm_set_epi32(0, 0, 0, -256));
  const __m128i lane1 = _mm_and_si128(_mm_slli_si128(v, 2), _mm_set_epi32(0, 0, -256, 0));
  const __m128i lane2 = _mm_and_si128(_mm_slli_si128(v, 3), _mm_set_epi32(0, -256, 0, 0));
  const __m128i lane3 = _mm_and_si128(_mm_slli_si128(v, 4), _mm_set_epi32(-256, 0, 0, 0));
  return _mm_or_si128(_mm_or_si128(lane0, lane1), _mm_or_si128(lane2, lane3));
}

// Calls f(i, lanes, keep) for each group of four packed 24-bit values; the last 1-3 come from a padded copy.
template <typename F>
inline void ForInt24Groups(const uint8_t* src, int32_t count, F&& f) {
  int32_t i = 0;
  for (; count - i >= 4; i += 4) f(i, LoadInt24s(src + 3 * static_cast<size_t>(i)), 4);
  if (i < count) {
    uint8_t in[12] = {};
    std::memcpy(in, src + 3 * static_cast<size_t>(i), 3 * static_cast<size_t>(count - i));
    f(i, LoadInt24s(in), count - i);
  }
}

inline uint32_t DoubleGroups(int32_t count) {
  return (static_cast<uint32_t>(count) + 1u) / 2u;
}

inline __m128d LoadD(const double* p, uint32_t g) {
  return _mm_load_pd(p + 2 * static_cast<size_t>(g));
}

inline void StoreD(double* p, uint32_t g, __m128d v) {
  _mm_store_pd(p + 2 * static_cast<size_t>(g), v);
}

void CopyDoubleGroups(const double* src, double* dst, int32_t count) {
  if (count <= 0 || src == dst) return;
  const uint32_t groups = DoubleGroups(count);
  for (uint32_t g = 0; g < groups; ++g) StoreD(dst, g, LoadD(src, g));
}

void FillZeroDoubleGroups(double* dst, int32_t count) {
  if (count <= 0) return;
  const uint32_t groups = DoubleGroups(count);
  for (uint32_t g = 0; g < groups; ++g) StoreD(dst, g, _mm_setzero_pd());
}

inline __m128d SoftClip(__m128d x) {
  const __m128d c = _mm_max_pd(_mm_min_pd(x, _mm_set1_pd(3.0)), _mm_set1_pd(-3.0));
  const __m128d c2 = _mm_mul_pd(c, c);
  const __m128d k27 = _mm_set1_pd(27.0);
  return _mm_div_pd(_mm_mul_pd(c, _mm_add_pd(c2, k27)), _mm_add_pd(_mm_mul_pd(_mm_set1_pd(9.0), c2), k27));
}

// Wire code 1 on four floats: the wire byte values as 32-bit lanes. v = x * 127. Inside +-127 the clipping
// idiom |v + 127| - |v - 127| is (v + 127) - (127 - v) term by term, so the same float operations give the
// same d = 2c; outside, the idiom's c rounds to +-127, which limiting d to +-254 gives directly
// (infinities included). NaN passes min and max as NaN and is mended after packing (see Unsigned8Bytes).
//
// Ties away from zero, independent of the rounding mode: with t = d truncated toward zero (exact), the
// result is floor((t + 1) / 2) for t >= 0 and floor(t / 2) for t < 0; the offset of 128 is added before
// the halving.
template <bool kTiesAway>
inline __m128i Unsigned8Lanes(__m128 x) {
  const __m128 k = _mm_set1_ps(127.0f);
  const __m128 v = _mm_mul_ps(x, k);
  const __m128 d = _mm_sub_ps(_mm_add_ps(v, k), _mm_sub_ps(k, v));
  if constexpr (kTiesAway) {
    const __m128 limited = _mm_max_ps(_mm_set1_ps(-254.0f), _mm_min_ps(_mm_set1_ps(254.0f), d));
    const __m128i t = _mm_cvttps_epi32(limited);
    const __m128i biased =
        _mm_add_epi32(_mm_add_epi32(t, _mm_set1_epi32(1 + 2 * 128)), _mm_srai_epi32(t, 31));
    return _mm_srai_epi32(biased, 1);
  } else {
    const __m128 c = _mm_max_ps(_mm_set1_ps(-127.0f), _mm_min_ps(k, _mm_mul_ps(d, _mm_set1_ps(0.5f))));
    return _mm_add_epi32(_mm_cvtps_epi32(c), _mm_set1_epi32(128));
  }
}

// Sixteen wire bytes. A NaN lane converts to the integer indefinite value, which packs to -32768 and
// nothing else does: those lanes become silence (128).
template <bool kTiesAway>
inline __m128i Unsigned8Bytes(const float* src) {
  __m128i a = _mm_packs_epi32(Unsigned8Lanes<kTiesAway>(_mm_loadu_ps(src)),
                              Unsigned8Lanes<kTiesAway>(_mm_loadu_ps(src + 4)));
  __m128i b = _mm_packs_epi32(Unsigned8Lanes<kTiesAway>(_mm_loadu_ps(src + 8)),
                              Unsigned8Lanes<kTiesAway>(_mm_loadu_ps(src + 12)));
  const __m128i nan = _mm_set1_epi16(-32768);
  const __m128i toSilence = _mm_set1_epi16(static_cast<short>(0x8080));  // -32768 ^ 0x8080 = 128
  a = _mm_xor_si128(a, _mm_and_si128(_mm_cmpeq_epi16(a, nan), toSilence));
  b = _mm_xor_si128(b, _mm_and_si128(_mm_cmpeq_epi16(b, nan), toSilence));
  return _mm_packus_epi16(a, b);
}

template <bool kTiesAway>
void EncodeUnsigned8(const float* src, unsigned char* dst, int32_t n) {
  int32_t i = 0;
  for (; n - i >= 16; i += 16)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), Unsigned8Bytes<kTiesAway>(src + i));
  if (i < n) {
    const auto rest = static_cast<size_t>(n - i);
    float in[16] = {};
    std::memcpy(in, src + i, rest * sizeof(float));
    unsigned char out[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), Unsigned8Bytes<kTiesAway>(in));
    std::memcpy(dst + i, out, rest);
  }
}

// Sixteen wire bytes to sixteen floats: (byte - 128) * the float nearest 1/127.
inline void Unsigned8ToFloats(const unsigned char* src, float* dst) {
  const __m128i s =
      _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), _mm_set1_epi8(-128));
  const __m128i low = _mm_srai_epi16(_mm_unpacklo_epi8(s, s), 8);
  const __m128i high = _mm_srai_epi16(_mm_unpackhi_epi8(s, s), 8);
  const __m128 step = _mm_set1_ps(0x1.020408p-7f);
  const __m128i words[4] = {
      _mm_srai_epi32(_mm_unpacklo_epi16(low, low), 16), _mm_srai_epi32(_mm_unpackhi_epi16(low, low), 16),
      _mm_srai_epi32(_mm_unpacklo_epi16(high, high), 16), _mm_srai_epi32(_mm_unpackhi_epi16(high, high), 16)};
  for (int k = 0; k < 4; ++k) _mm_storeu_ps(dst + 4 * k, _mm_mul_ps(_mm_cvtepi32_ps(words[k]), step));
}

// Four floats to their bytes 1..3, packed tight into the low 12 bytes of the result.
inline __m128i Float24Bytes(__m128 x) {
  const __m128i t = _mm_srli_epi32(_mm_castps_si128(x), 8);
  const __m128i pairs =
      _mm_or_si128(_mm_and_si128(t, _mm_set_epi32(0, -1, 0, -1)), _mm_slli_epi64(_mm_srli_epi64(t, 32), 24));
  return _mm_or_si128(_mm_move_epi64(pairs), _mm_slli_si128(_mm_srli_si128(pairs, 8), 6));
}

// Four floats rebuilt from the first 12 of 16 loaded bytes: (0, b0, b1, b2) per float.
inline __m128 Float24ToFloats(__m128i v) {
  const __m128i w = _mm_unpacklo_epi64(v, _mm_srli_si128(v, 6));
  const __m128i even = _mm_and_si128(_mm_slli_epi64(w, 8), _mm_set_epi32(0, -256, 0, -256));
  const __m128i odd = _mm_and_si128(_mm_slli_epi64(w, 16), _mm_set_epi32(-256, 0, -256, 0));
  return _mm_castsi128_ps(_mm_or_si128(even, odd));
}

}  // namespace

void EncodeUnsigned8TiesAway(const float* src, unsigned char* dst, int32_t n) {
  EncodeUnsigned8<true>(src, dst, n);
}

void EncodeUnsigned8TiesEven(const float* src, unsigned char* dst, int32_t n) {
  EncodeUnsigned8<false>(src, dst, n);
}

void DecodeUnsigned8(const unsigned char* src, float* dst, int32_t n) {
  int32_t i = 0;
  for (; n - i >= 16; i += 16) Unsigned8ToFloats(src + i, dst + i);
  if (i < n) {
    const auto rest = static_cast<size_t>(n - i);
    unsigned char in[16] = {};
    std::memcpy(in, src + i, rest);
    float out[16];
    Unsigned8ToFloats(in, out);
    std::memcpy(dst + i, out, rest * sizeof(float));
  }
}

// While at least eight samples remain, each group of four is stored as 16 bytes of which the last four are
// rewritten by the next group; the last groups go through a copy.
void EncodeFloat24(const float* src, unsigned char* dst, int32_t n) {
  int32_t i = 0;
  for (; n - i >= 8; i += 4)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * static_cast<size_t>(i)),
                     Float24Bytes(_mm_loadu_ps(src + i)));
  for (; i < n; i += 4) {
    const auto rest = static_cast<size_t>(n - i < 4 ? n - i : 4);
    float in[4] = {};
    std::memcpy(in, src + i, rest * sizeof(float));
    unsigned char out[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), Float24Bytes(_mm_loadu_ps(in)));
    std::memcpy(dst + 3 * static_cast<size_t>(i), out, 3 * rest);
  }
}

// Loads 16 bytes per group of four while at least six samples (18 bytes) remain; the rest from a copy.
void DecodeFloat24(const unsigned char* src, float* dst, int32_t n) {
  int32_t i = 0;
  for (; n - i >= 6; i += 4) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * static_cast<size_t>(i)));
    _mm_storeu_ps(dst + i, Float24ToFloats(v));
  }
  for (; i < n; i += 4) {
    const auto rest = static_cast<size_t>(n - i < 4 ? n - i : 4);
    unsigned char in[16] = {};
    std::memcpy(in, src + 3 * static_cast<size_t>(i), 3 * rest);
    float out[4];
    _mm_storeu_ps(out, Float24ToFloats(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))));
    std::memcpy(dst + i, out, rest * sizeof(float));
  }
}

void FloatToShort(const float* src, int16_t* dst, int32_t count) {
  if (count <= 0) return;
  if (!Aligned(src, dst)) return plain::FloatToShort(src, dst, count);
  const FloatLimits k = ShortLimits();
  int32_t i = 0;
  for (; count - i >= 8; i += 8) {
    const __m128i a = Convert(_mm_load_ps(src + i), k);
    const __m128i b = Convert(_mm_load_ps(src + i + 4), k);
    StoreInts(dst + i, _mm_packs_epi32(a, b));
  }
  ForFloatGroups(
      src + i, count - i, [&](__m128 x) { return Convert(x, k); },
      [&](int32_t j, __m128i v, int32_t keep) { StoreShorts(dst + i, j, v, keep); });
}

// Each pair of doubles is narrowed to float first, then slot 6's SIMD rule.
void DoubleToShort(const double* src, int16_t* dst, int32_t count) {
  if (count <= 0) return;
  if (!Aligned(src, dst)) return plain::DoubleToShort(src, dst, count);
  const FloatLimits k = ShortLimits();
  ForDoubleGroups(
      src, count,
      [&](__m128d x01, __m128d x23) {
        return Convert(_mm_movelh_ps(_mm_cvtpd_ps(x01), _mm_cvtpd_ps(x23)), k);
      },
      [&](int32_t i, __m128i v, int32_t keep) { StoreShorts(dst, i, v, keep); });
}

void Int24ToFloat(const uint8_t* src, float* dst, int32_t count) {
  if (count <= 0) return;
  const __m128 unit = _mm_set1_ps(0x1p-31f);
  ForInt24Groups(src, count, [&](int32_t i, __m128i v, int32_t keep) {
    StoreFloats(dst, i, _mm_mul_ps(_mm_cvtepi32_ps(v), unit), keep);
  });
}

void Int24ToDouble(const uint8_t* src, double* dst, int32_t count) {
  if (count <= 0) return;
  const __m128d unit = _mm_set1_pd(1.0 / 2147483647.0);
  ForInt24Groups(src, count, [&](int32_t i, __m128i v, int32_t keep) {
    const __m128d d01 = _mm_mul_pd(_mm_cvtepi32_pd(v), unit);
    const __m128d d23 = _mm_mul_pd(_mm_cvtepi32_pd(_mm_srli_si128(v, 8)), unit);
    if (keep == 4) {
      _mm_store_pd(dst + i, d01);
      _mm_store_pd(dst + i + 2, d23);
    } else {
      double out[4];
      _mm_storeu_pd(out, d01);
      _mm_storeu_pd(out + 2, d23);
      std::memcpy(dst + i, out, static_cast<size_t>(keep) * sizeof(double));
    }
  });
}

void FloatToInt24(const float* src, uint8_t* dst, int32_t count) {
  if (count <= 0) return;
  const FloatLimits k = Int32FloatLimits();
  ForFloatGroups(
      src, count, [&](__m128 x) { return Convert(x, k); },
      [&](int32_t i, __m128i v, int32_t keep) { StoreUpperBytes(dst, i, v, keep); });
}

void DoubleToInt24(const double* src, uint8_t* dst, int32_t count) {
  if (count <= 0) return;
  const DoubleLimits k = Int32DoubleLimits();
  ForDoubleGroups(
      src, count, [&](__m128d x01, __m128d x23) { return Convert(x01, x23, k); },
      [&](int32_t i, __m128i v, int32_t keep) { StoreUpperBytes(dst, i, v, keep); });
}

void Int32ToFloat(const int32_t* src, float* dst, int32_t count) {
  if (count <= 0) return;
  if (!Aligned(src, dst)) return plain::Int32ToFloat(src, dst, count);
  const __m128 unit = _mm_set1_ps(0x1p-31f);
  int32_t i = 0;
  for (; count - i >= 4; i += 4) _mm_store_ps(dst + i, _mm_mul_ps(_mm_cvtepi32_ps(LoadInts(src + i)), unit));
  if (i < count) {
    int32_t in[4] = {0, 0, 0, 0};
    std::memcpy(in, src + i, static_cast<size_t>(count - i) * sizeof(int32_t));
    StoreFloats(dst, i,
                _mm_mul_ps(_mm_cvtepi32_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))), unit),
                count - i);
  }
}

void IntNToFloat(const int32_t* src, float* dst, int32_t bits, int32_t count) {
  if (count <= 0 || !ValidBits(bits)) return;
  if (!Aligned(src, dst)) return plain::IntNToFloat(src, dst, bits, count);
  const __m128 unit = _mm_set1_ps(0x1p-31f);
  const __m128i shift = _mm_cvtsi32_si128(32 - bits);
  auto convert = [&](__m128i v) { return _mm_mul_ps(_mm_cvtepi32_ps(_mm_sll_epi32(v, shift)), unit); };
  int32_t i = 0;
  for (; count - i >= 4; i += 4) _mm_store_ps(dst + i, convert(LoadInts(src + i)));
  if (i < count) {
    int32_t in[4] = {0, 0, 0, 0};
    std::memcpy(in, src + i, static_cast<size_t>(count - i) * sizeof(int32_t));
    StoreFloats(dst, i, convert(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))), count - i);
  }
}

void FloatToInt32(const float* src, int32_t* dst, int32_t count) {
  if (count <= 0) return;
  if (!Aligned(src, dst)) return plain::FloatToInt32(src, dst, count);
  const FloatLimits k = Int32FloatLimits();
  ForFloatGroups(
      src, count, [&](__m128 x) { return Convert(x, k); },
      [&](int32_t i, __m128i v, int32_t keep) { StoreInt32s(dst, i, v, keep); });
}

void DoubleToInt32(const double* src, int32_t* dst, int32_t count) {
  if (count <= 0) return;
  if (!Aligned(src, dst)) return plain::DoubleToInt32(src, dst, count);
  const DoubleLimits k = Int32DoubleLimits();
  ForDoubleGroups(
      src, count, [&](__m128d x01, __m128d x23) { return Convert(x01, x23, k); },
      [&](int32_t i, __m128i v, int32_t keep) { StoreInt32s(dst, i, v, keep); });
}

void FloatToIntN(const float* src, int32_t* dst, int32_t bits, int32_t count) {
  if (count <= 0 || !ValidBits(bits)) return;
  if (!Aligned(src, dst)) return plain::FloatToIntN(src, dst, bits, count);
  const FloatLimits k = IntNFloatLimits(bits);
  ForFloatGroups(
      src, count, [&](__m128 x) { return Convert(x, k); },
      [&](int32_t i, __m128i v, int32_t keep) { StoreInt32s(dst, i, v, keep); });
}

void DoubleToIntN(const double* src, int32_t* dst, int32_t bits, int32_t count) {
  if (count <= 0 || !ValidBits(bits)) return;
  if (!Aligned(src, dst)) return plain::DoubleToIntN(src, dst, bits, count);
  const DoubleLimits k = IntNDoubleLimits(bits);
  ForDoubleGroups(
      src, count, [&](__m128d x01, __m128d x23) { return Convert(x01, x23, k); },
      [&](int32_t i, __m128i v, int32_t keep) { StoreInt32s(dst, i, v, keep); });
}

void AddDouble(double* buffer, int32_t count, double value) {
  if (value == 0 || count <= 0) return;
  const __m128d v = _mm_set1_pd(value);
  const uint32_t groups = DoubleGroups(count);
  for (uint32_t g = 0; g < groups; ++g) StoreD(buffer, g, _mm_add_pd(LoadD(buffer, g), v));
}

void AddDoubleTo(const double* src, double* dst, int32_t count, double value) {
  if (value == 0) return CopyDoubleGroups(src, dst, count);
  if (count <= 0) return;
  const __m128d v = _mm_set1_pd(value);
  const uint32_t groups = DoubleGroups(count);
  for (uint32_t g = 0; g < groups; ++g) StoreD(dst, g, _mm_add_pd(LoadD(src, g), v));
}

void AccumulateDouble(const double* src, double* dst, int32_t count) {
  if (count <= 0) return;
  const uint32_t groups = DoubleGroups(count);
  for (uint32_t g = 0; g < groups; ++g) StoreD(dst, g, _mm_add_pd(LoadD(dst, g), LoadD(src, g)));
}

void ScaleDouble(double* buffer, int32_t count, double gain) {
  if (gain == 0) return FillZeroDoubleGroups(buffer, count);
  if (gain == 1 || count <= 0) return;
  const __m128d k = _mm_set1_pd(gain);
  const uint32_t groups = DoubleGroups(count);
  for (uint32_t g = 0; g < groups; ++g) StoreD(buffer, g, _mm_mul_pd(LoadD(buffer, g), k));
}

void ScaleDoubleTo(const double* src, double* dst, int32_t count, double gain) {
  if (gain == 0) return FillZeroDoubleGroups(dst, count);
  if (gain == 1) return CopyDoubleGroups(src, dst, count);
  if (count <= 0) return;
  const __m128d k = _mm_set1_pd(gain);
  const uint32_t groups = DoubleGroups(count);
  for (uint32_t g = 0; g < groups; ++g) StoreD(dst, g, _mm_mul_pd(LoadD(src, g), k));
}

void MultiplyDouble(const double* src, double* dst, int32_t count) {
  if (count <= 0) return;
  const uint32_t groups = DoubleGroups(count);
  for (uint32_t g = 0; g < groups; ++g) StoreD(dst, g, _mm_mul_pd(LoadD(dst, g), LoadD(src, g)));
}

void MixDouble(const double* src, double* dst, int32_t count, double gain) {
  if (gain == 0 || count <= 0) return;
  if (gain == 1) return AccumulateDouble(src, dst, count);
  const __m128d k = _mm_set1_pd(gain);
  const uint32_t groups = DoubleGroups(count);
  for (uint32_t g = 0; g < groups; ++g)
    StoreD(dst, g, _mm_add_pd(LoadD(dst, g), _mm_mul_pd(LoadD(src, g), k)));
}

void SoftClipDouble(double* buffer, int32_t count) {
  if (count <= 0) return;
  const uint32_t groups = DoubleGroups(count);
  for (uint32_t g = 0; g < groups; ++g) StoreD(buffer, g, SoftClip(LoadD(buffer, g)));
}

void SoftClipDoubleTo(const double* src, double* dst, int32_t count) {
  if (count <= 0) return;
  const uint32_t groups = DoubleGroups(count);
  for (uint32_t g = 0; g < groups; ++g) StoreD(dst, g, SoftClip(LoadD(src, g)));
}

// A NaN sample is passed over, as in the plain variant: max returns its second operand for NaN.
double PeakDouble(const double* buffer, int32_t count) {
  if (count <= 0) return 0.0;
  const __m128d sign = _mm_set1_pd(-0.0);
  __m128d peak = _mm_setzero_pd();
  const uint32_t groups = DoubleGroups(count);
  for (uint32_t g = 0; g < groups; ++g) peak = _mm_max_pd(_mm_andnot_pd(sign, LoadD(buffer, g)), peak);
  peak = _mm_max_sd(peak, _mm_unpackhi_pd(peak, peak));
  return _mm_cvtsd_f64(peak);
}

double RmsDouble(const double* buffer, int32_t count) {
  if (count <= 0) return 0.0;
  __m128d sum = _mm_setzero_pd();
  const uint32_t groups = DoubleGroups(count);
  for (uint32_t g = 0; g < groups; ++g) {
    const __m128d x = LoadD(buffer, g);
    sum = _mm_add_pd(sum, _mm_mul_pd(x, x));
  }
  const double total = _mm_cvtsd_f64(_mm_add_sd(sum, _mm_unpackhi_pd(sum, sum)));
  return total > 0 ? __builtin_sqrt(total / count) : 0.0;
}

}  // namespace tovik::formats::sse2
