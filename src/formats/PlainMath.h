// The arithmetic of the plain encoders: clipping, rounding, and the two per-sample encoders the relay
// sends on the wire (8-bit and 16-bit).
//
// The two deliverables round differently, by design of the processors they were first built for:
// - the 64-bit build rounds ties away from zero (add +-0.5, then truncate toward zero);
// - the 32-bit build follows the x87 unit: the 16-bit encoder keeps the product and the clip at extended
//   precision, the 8-bit encoder narrows its clipped value to float, and the integer store rounds ties to
//   even (the default rounding mode, which the plug-in never changes).
// So wire bytes can differ by one step between the builds for samples at a rounding tie. Both rules are
// templates so that either can be checked on any machine; `kPlainMath` picks the build's own.
//
// Everything here is [audio-thread] safe: no allocation, no locks. No float-to-integer conversion is ever
// given a value outside the integer's range: NaN is caught first and every value is clipped before it is
// rounded.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>

namespace tovik::formats {

enum class PlainMath {
  kTiesAway,  // 64-bit build
  kX87,       // 32-bit build
};

inline constexpr PlainMath kPlainMath = sizeof(void*) == 4 ? PlainMath::kX87 : PlainMath::kTiesAway;

// Rounds v to float for real, also where float expressions are evaluated at a wider precision (x87).
inline float NarrowToFloat(double v) {
  if constexpr (FLT_EVAL_METHOD == 0) {
    return static_cast<float>(v);
  } else {
    volatile float narrowed = static_cast<float>(v);
    return narrowed;
  }
}

// Clips v to +-k with the idiom (|v + k| - |v - k|) * 0.5, as the float members compute it: both absolute
// values in double, each narrowed to float before the subtraction, the halving in float. v is clamped to
// +-2k first: inside that range the idiom is exact as it stands, while further out the rounding of the two
// terms to float no longer cancels (a 16-bit sample of 600.0 would come out as -32768, an 8-bit sample of
// 1e5 as byte 0). Infinities thus clip to +-k. v must not be NaN.
inline float ClipFloat(float v, float k) {
  const float limit = 2.0f * k;
  v = v > limit ? limit : (v < -limit ? -limit : v);
  const float a = NarrowToFloat(std::fabs(static_cast<double>(v) + k));
  const float b = NarrowToFloat(std::fabs(static_cast<double>(v) - k));
  return NarrowToFloat((a - b) * 0.5f);
}

// The same idiom carried out entirely in T (double, or long double for the x87 rule); same clamp, v not NaN.
template <typename T>
inline T ClipWide(T v, T k) {
  const T limit = 2 * k;
  v = v > limit ? limit : (v < -limit ? -limit : v);
  return (std::fabs(v + k) - std::fabs(v - k)) * T(0.5);
}

// Rounds a clipped value to an integer by the build's rule. c must not be NaN and must lie within
// +-2147483647 (every caller clips first).
template <PlainMath M, typename T>
inline int32_t RoundClipped(T c) {
  if constexpr (M == PlainMath::kTiesAway) {
    return static_cast<int32_t>(c >= 0 ? c + T(0.5) : c - T(0.5));
  } else {
    return static_cast<int32_t>(std::nearbyint(c));
  }
}

// Wire code 1: v = x * 127 (float), clipped to +-127, rounded, offset by 128. So 0.0 -> 128, +1.0 -> 255,
// -1.0 -> 1; NaN is silence (128).
template <PlainMath M>
inline uint8_t EncodeUnsigned8(float x) {
  if (std::isnan(x)) return 128;
  // The product of a float and 127 is exact in double; it is rounded to float once.
  const float clipped = ClipFloat(NarrowToFloat(static_cast<double>(x) * 127.0), 127.0f);
  return static_cast<uint8_t>(RoundClipped<M>(static_cast<double>(clipped)) + 128);
}

// One sample of the plain FloatToShort: v = x * 32767, clipped to +-32767, rounded. Never -32768; NaN
// gives 0.
template <PlainMath M>
inline int16_t EncodeSigned16(float x) {
  if (std::isnan(x)) return 0;
  if constexpr (M == PlainMath::kTiesAway) {
    const float clipped = ClipFloat(NarrowToFloat(static_cast<double>(x) * 32767.0), 32767.0f);
    return static_cast<int16_t>(RoundClipped<M>(static_cast<double>(clipped)));
  } else {
    // The x87 unit keeps the product and the clip at its working precision, without narrowing to float.
    const long double clipped = ClipWide<long double>(static_cast<long double>(x) * 32767.0L, 32767.0L);
    return static_cast<int16_t>(RoundClipped<M>(clipped));
  }
}

}  // namespace tovik::formats
