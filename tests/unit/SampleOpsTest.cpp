// The plain sample operations, reached through the table as every caller reaches them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "formats/PlainMath.h"
#include "formats/SampleOps.h"

namespace {

using tovik::formats::PlainMath;
using tovik::formats::RoundClipped;

constexpr bool kBuild32 = sizeof(void*) == 4;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr double kNaND = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfD = std::numeric_limits<double>::infinity();

float FromBits(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

uint32_t BitsOf(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

double FromBits64(uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

uint64_t BitsOf(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}

// Forces the plain table for the duration of a test and restores whatever was installed before.
class SampleOpsPlain : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = SampleOps;
    SampleOps = PlainSampleOps();
  }
  void TearDown() override { SampleOps = saved_; }

 private:
  SampleOpsTable saved_{};
};

TEST(SampleOpsLayout, EverySlotOfThePlainTableIsFilled) {
  using Slot = void (*)();
  Slot slots[54];
  static_assert(sizeof slots == sizeof(SampleOpsTable));
  std::memcpy(slots, &PlainSampleOps(), sizeof slots);
  for (int i = 0; i < 54; ++i) EXPECT_NE(slots[i], nullptr) << "slot " << i;
}

TEST(PlainRounding, BuildRules) {
  EXPECT_EQ(RoundClipped<PlainMath::kTiesAway>(2.5), 3);
  EXPECT_EQ(RoundClipped<PlainMath::kTiesAway>(-2.5), -3);
  EXPECT_EQ(RoundClipped<PlainMath::kTiesAway>(0.5), 1);
  EXPECT_EQ(RoundClipped<PlainMath::kTiesAway>(-0.5), -1);
  EXPECT_EQ(RoundClipped<PlainMath::kTiesAway>(static_cast<double>(0.49999997f)), 0);
  EXPECT_EQ(RoundClipped<PlainMath::kTiesAway>(2147483647.0), 2147483647);
  EXPECT_EQ(RoundClipped<PlainMath::kTiesAway>(-2147483647.0), -2147483647);
  EXPECT_EQ(RoundClipped<PlainMath::kX87>(2.5), 2);
  EXPECT_EQ(RoundClipped<PlainMath::kX87>(3.5), 4);
  EXPECT_EQ(RoundClipped<PlainMath::kX87>(-2.5), -2);
  EXPECT_EQ(RoundClipped<PlainMath::kX87>(-0.5), 0);
  EXPECT_EQ(RoundClipped<PlainMath::kX87>(2.5000001), 3);
  EXPECT_EQ(RoundClipped<PlainMath::kX87>(2147483647.0L), 2147483647);
}

TEST_F(SampleOpsPlain, Swaps) {
  unsigned char b16[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  SampleOps.Swap16(b16, 5);
  EXPECT_EQ(std::vector<unsigned char>(b16, b16 + 10),
            (std::vector<unsigned char>{2, 1, 4, 3, 6, 5, 8, 7, 10, 9}));

  unsigned char b24[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  SampleOps.Swap24(b24, 5);
  EXPECT_EQ(std::vector<unsigned char>(b24, b24 + 16),
            (std::vector<unsigned char>{3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10, 15, 14, 13, 16}));

  unsigned char b32[20];
  for (int i = 0; i < 20; ++i) b32[i] = static_cast<unsigned char>(i);
  SampleOps.Swap32(b32, 5);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(b32[i], (i / 4) * 4 + 3 - i % 4);

  unsigned char b64[48];
  for (int i = 0; i < 48; ++i) b64[i] = static_cast<unsigned char>(i);
  SampleOps.Swap64(b64, 5);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(b64[i], (i / 8) * 8 + 7 - i % 8);
  for (int i = 40; i < 48; ++i) EXPECT_EQ(b64[i], i);

  SampleOps.Swap16(b16, 0);
  SampleOps.Swap16(b16, -2);
  EXPECT_EQ(b16[0], 2);
}

TEST_F(SampleOpsPlain, ShortConversions) {
  const int16_t in[5] = {32767, -32768, 1, 0, -32767};
  float f[5];
  SampleOps.ShortToFloat(in, f, 5);
  EXPECT_EQ(f[0], 1.0f);
  EXPECT_EQ(f[1], -32768.0f * FromBits(0x38000100));
  EXPECT_EQ(BitsOf(f[2]), 0x38000100u);
  EXPECT_EQ(f[3], 0.0f);
  EXPECT_EQ(f[4], -1.0f);
  double d[5];
  SampleOps.ShortToDouble(in, d, 5);
  EXPECT_DOUBLE_EQ(d[0], 1.0);
  EXPECT_DOUBLE_EQ(d[1], -32768.0 / 32767.0);
  EXPECT_DOUBLE_EQ(d[2], 1.0 / 32767.0);

  const double din[7] = {1.0, -1.0, -2.0, 600.0, kNaND, -kInfD, 2.5 / 32767.0};
  int16_t s[7];
  SampleOps.DoubleToShort(din, s, 7);
  EXPECT_EQ(s[0], 32767);
  EXPECT_EQ(s[1], -32767);
  EXPECT_EQ(s[2], -32767);
  EXPECT_EQ(s[3], 32767);
  EXPECT_EQ(s[4], 0);
  EXPECT_EQ(s[5], -32767);
  EXPECT_EQ(s[6], kBuild32 ? 2 : 3);
}

TEST_F(SampleOpsPlain, FloatToShortStoresExactlyN) {
  const float in[8] = {1.0f, -1.0f, 0.5f, -0.5f, 0.25f, 2.0f, -2.0f, 0.0f};
  const int16_t expected[8] = {32767, -32767, 16384, -16384, 8192, 32767, -32767, 0};
  for (int32_t n : {1, 2, 3, 5}) {
    alignas(16) int16_t out[16];
    for (int16_t& v : out) v = 0x5A5A;
    SampleOps.FloatToShort(in, out, n);
    for (int32_t i = 0; i < n; ++i) EXPECT_EQ(out[i], expected[i]) << n;
    for (int32_t i = n; i < 16; ++i) EXPECT_EQ(out[i], 0x5A5A) << n;
  }
  alignas(16) int16_t out[4] = {7, 7, 7, 7};
  SampleOps.FloatToShort(in, out, 0);
  SampleOps.FloatToShort(in, out, -4);
  for (int16_t v : out) EXPECT_EQ(v, 7);
}

TEST_F(SampleOpsPlain, Int24Conversions) {
  const uint8_t in[12] = {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0x01, 0x00, 0x00, 0x00, 0x00, 0x40};
  float f[4];
  SampleOps.Int24ToFloat(in, f, 4);
  EXPECT_EQ(f[0], -1.0f);
  EXPECT_EQ(f[1], 8388607.0f / 8388608.0f);
  EXPECT_EQ(f[2], 0x1p-23f);
  EXPECT_EQ(f[3], 0.5f);
  double d[4];
  SampleOps.Int24ToDouble(in, d, 4);
  EXPECT_DOUBLE_EQ(d[0], -2147483648.0 / 2147483647.0);
  EXPECT_DOUBLE_EQ(d[3], 1073741824.0 / 2147483647.0);

  const float fin[6] = {1.0f, -1.0f, 2.0f, kNaN, -kInf, 0.0f};
  uint8_t out[19];
  std::memset(out, 0xA5, sizeof out);
  SampleOps.FloatToInt24(fin, out, 6);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 19),
            (std::vector<uint8_t>{0xFF, 0xFF, 0x7F, 0x01, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0x01, 0x00,
                                  0x80, 0, 0, 0, 0xA5}));
  const double din[3] = {1.0, -kInfD, 0.5};
  SampleOps.DoubleToInt24(din, out, 3);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 9),
            (std::vector<uint8_t>{0xFF, 0xFF, 0x7F, 0x01, 0x00, 0x80, 0x00, 0x00, 0x40}));
}

TEST_F(SampleOpsPlain, Int32Conversions) {
  const int32_t in[3] = {2147483647, -2147483647 - 1, 0};
  float f[3];
  SampleOps.Int32ToFloat(in, f, 3);
  EXPECT_EQ(f[0], 1.0f);
  EXPECT_EQ(f[1], -1.0f);
  double d[3];
  SampleOps.Int32ToDouble(in, d, 3);
  EXPECT_DOUBLE_EQ(d[0], 1.0);
  EXPECT_DOUBLE_EQ(d[1], -2147483648.0 / 2147483647.0);

  const float fin[7] = {1.0f, -1.0f, 1e10f, -1e10f, kNaN, kInf, 0.5f};
  int32_t out[7];
  SampleOps.FloatToInt32(fin, out, 7);
  EXPECT_EQ(out[0], 2147483647);
  EXPECT_EQ(out[1], -2147483647);
  EXPECT_EQ(out[2], 2147483647);
  EXPECT_EQ(out[3], -2147483647);
  EXPECT_EQ(out[4], 0);
  EXPECT_EQ(out[5], 2147483647);
  EXPECT_EQ(out[6], 1073741824);  // 1073741823.5: both rules round it up
  const double din[4] = {1.0, -kInfD, kNaND, 1e300};
  SampleOps.DoubleToInt32(din, out, 4);
  EXPECT_EQ(out[0], 2147483647);
  EXPECT_EQ(out[1], -2147483647);
  EXPECT_EQ(out[2], 0);
  EXPECT_EQ(out[3], 2147483647);
}

TEST_F(SampleOpsPlain, IntNConversions) {
  const int32_t in[3] = {32767, -32768, 1};
  float f[3];
  SampleOps.IntNToFloat(in, f, 16, 3);
  EXPECT_EQ(f[0], 32767.0f / 32768.0f);
  EXPECT_EQ(f[1], -1.0f);
  EXPECT_EQ(f[2], 0x1p-15f);
  double d[3];
  SampleOps.IntNToDouble(in, d, 16, 3);
  EXPECT_DOUBLE_EQ(d[1], -2147483648.0 / 2147483647.0);
  const int32_t one[1] = {1};
  SampleOps.IntNToFloat(one, f, 1, 1);  // a 1-bit sample of 1 is the sign bit
  EXPECT_EQ(f[0], -1.0f);
  SampleOps.IntNToFloat(in, f, 32, 1);
  EXPECT_EQ(f[0], 32767.0f * 0x1p-31f);

  const float fin[4] = {1.0f, -1.0f, 2.0f, kNaN};
  int32_t out[4];
  SampleOps.FloatToIntN(fin, out, 16, 4);
  EXPECT_EQ(out[0], 32767);
  EXPECT_EQ(out[1], -32767);
  EXPECT_EQ(out[2], 32767);
  EXPECT_EQ(out[3], 0);
  SampleOps.FloatToIntN(fin, out, 24, 2);
  EXPECT_EQ(out[0], 8388607);
  EXPECT_EQ(out[1], -8388607);
  SampleOps.FloatToIntN(fin, out, 32, 2);
  EXPECT_EQ(out[0], 2147483647);
  const double din[2] = {1.0, -1.0};
  SampleOps.DoubleToIntN(din, out, 20, 2);
  EXPECT_EQ(out[0], 524287);
  EXPECT_EQ(out[1], -524287);

  // Widths outside 1..32 do nothing.
  int32_t untouched[2] = {7, 7};
  float funtouched[2] = {7, 7};
  for (int32_t bits : {0, 33, -1}) {
    SampleOps.FloatToIntN(fin, untouched, bits, 2);
    SampleOps.IntNToFloat(in, funtouched, bits, 2);
  }
  EXPECT_EQ(untouched[0], 7);
  EXPECT_EQ(funtouched[1], 7.0f);
}

TEST_F(SampleOpsPlain, FloatToDoubleInPlace) {
  for (int32_t n : {1, 2, 3, 4, 5, 8, 9, 13}) {
    alignas(16) unsigned char storage[8 * 16];
    std::vector<float> values;
    for (int32_t i = 0; i < n; ++i)
      values.push_back(0.1f * static_cast<float>(i + 1) * (i % 2 ? -1.0f : 1.0f));
    std::memcpy(storage, values.data(), sizeof(float) * values.size());
    SampleOps.FloatToDouble(reinterpret_cast<const float*>(storage), reinterpret_cast<double*>(storage), n);
    for (int32_t i = 0; i < n; ++i) {
      double d;
      std::memcpy(&d, storage + 8 * i, sizeof d);
      EXPECT_EQ(d, static_cast<double>(values[static_cast<size_t>(i)])) << n << " " << i;
    }
  }
}

TEST_F(SampleOpsPlain, DoubleToFloat) {
  const double in[5] = {0.1, -1.0, 1e-300, -kInfD, 3.0};
  float out[5];
  SampleOps.DoubleToFloat(in, out, 5);
  EXPECT_EQ(out[0], 0.1f);
  EXPECT_EQ(out[1], -1.0f);
  EXPECT_EQ(out[2], 0.0f);
  EXPECT_EQ(out[3], -kInf);
  EXPECT_EQ(out[4], 3.0f);
  // In place, floats landing at the buffer's start.
  alignas(16) unsigned char storage[8 * 6];
  std::memcpy(storage, in, sizeof in);
  SampleOps.DoubleToFloat(reinterpret_cast<const double*>(storage), reinterpret_cast<float*>(storage), 5);
  float back[5];
  std::memcpy(back, storage, sizeof back);
  EXPECT_EQ(back[0], 0.1f);
  EXPECT_EQ(back[4], 3.0f);
}

TEST_F(SampleOpsPlain, AddAndAccumulate) {
  float buf[5] = {-0.0f, 1.0f, 2.0f, 3.0f, 4.0f};
  SampleOps.AddFloat(buf, 5, 0.0);  // value 0 leaves the buffer as it is, even -0.0
  EXPECT_EQ(BitsOf(buf[0]), 0x80000000u);
  SampleOps.AddFloat(buf, 5, 0.1);
  EXPECT_EQ(buf[1], 1.0f + 0.1f);  // the constant is applied as float
  EXPECT_EQ(buf[4], 4.0f + 0.1f);

  const float src[5] = {-0.0f, 1.0f, kNaN, 3.0f, 4.0f};
  float dst[5] = {9, 9, 9, 9, 9};
  SampleOps.AddFloatTo(src, dst, 5, 0.0);  // a copy
  EXPECT_EQ(BitsOf(dst[0]), 0x80000000u);
  EXPECT_TRUE(std::isnan(dst[2]));
  SampleOps.AddFloatTo(src, dst, 5, -1.0);
  EXPECT_EQ(dst[1], 0.0f);
  EXPECT_EQ(dst[4], 3.0f);

  double dbuf[3] = {1, 2, 3};
  SampleOps.AddDouble(dbuf, 3, 0.5);
  EXPECT_EQ(dbuf[2], 3.5);
  double ddst[3];
  SampleOps.AddDoubleTo(dbuf, ddst, 3, 0.0);
  EXPECT_EQ(ddst[0], 1.5);
  SampleOps.AddDoubleTo(dbuf, ddst, 3, 1.0);
  EXPECT_EQ(ddst[0], 2.5);

  float acc[6] = {1, 1, 1, 1, 1, 1};
  const float add[6] = {1, 2, 3, 4, 5, 6};
  SampleOps.AccumulateFloat(add, acc, 5);
  EXPECT_EQ(acc[4], 6.0f);
  EXPECT_EQ(acc[5], 1.0f);
  double dacc[2] = {1, 1};
  const double dadd[2] = {0.25, 0.5};
  SampleOps.AccumulateDouble(dadd, dacc, 2);
  EXPECT_EQ(dacc[1], 1.5);
}

TEST_F(SampleOpsPlain, ScaleAndMultiply) {
  float buf[5] = {kNaN, kInf, 1.0f, -2.0f, 3.0f};
  SampleOps.ScaleFloat(buf, 5, 1.0);  // gain 1: nothing, the NaN stays
  EXPECT_TRUE(std::isnan(buf[0]));
  SampleOps.ScaleFloat(buf, 5, 0.0);  // gain 0: zeros, also where a product would be NaN
  for (float v : buf) EXPECT_EQ(BitsOf(v), 0u);

  float odd[5] = {0.3f, 0.7f, 1.1f, -5.3f, 1.9f};
  float copy[5];
  std::memcpy(copy, odd, sizeof odd);
  SampleOps.ScaleFloat(odd, 5, 0.1);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(odd[i], copy[i] * 0.1f);

  float dst[5] = {9, 9, 9, 9, 9};
  SampleOps.ScaleFloatTo(copy, dst, 5, 1.0);
  EXPECT_EQ(std::memcmp(dst, copy, sizeof dst), 0);
  SampleOps.ScaleFloatTo(copy, dst, 5, 2.0);
  EXPECT_EQ(dst[3], -10.6f);
  SampleOps.ScaleFloatTo(copy, dst, 5, 0.0);
  for (float v : dst) EXPECT_EQ(BitsOf(v), 0u);

  double dbuf[3] = {1, 2, kInfD};
  SampleOps.ScaleDouble(dbuf, 3, 0.5);
  EXPECT_EQ(dbuf[1], 1.0);
  SampleOps.ScaleDouble(dbuf, 3, 0.0);
  EXPECT_EQ(dbuf[2], 0.0);
  const double dsrc[2] = {3, -4};
  double ddst[2];
  SampleOps.ScaleDoubleTo(dsrc, ddst, 2, -0.5);
  EXPECT_EQ(ddst[1], 2.0);

  float m[3] = {2, 3, 4};
  const float by[3] = {0.5f, -1.0f, 0.0f};
  SampleOps.MultiplyFloat(by, m, 3);
  EXPECT_EQ(m[0], 1.0f);
  EXPECT_EQ(m[1], -3.0f);
  EXPECT_EQ(m[2], 0.0f);
  double dm[2] = {2, 3};
  const double dby[2] = {0.25, 2};
  SampleOps.MultiplyDouble(dby, dm, 2);
  EXPECT_EQ(dm[0], 0.5);
  EXPECT_EQ(dm[1], 6.0);
}

TEST_F(SampleOpsPlain, Mix) {
  const float src[5] = {1, 2, 3, 4, kNaN};
  float dst[5] = {1, 1, 1, 1, 1};
  SampleOps.MixFloat(src, dst, 5, 0.0);  // gain 0: nothing, even with a NaN in the source
  for (float v : dst) EXPECT_EQ(v, 1.0f);
  SampleOps.MixFloat(src, dst, 4, 1.0);
  EXPECT_EQ(dst[3], 5.0f);
  SampleOps.MixFloat(src, dst, 4, 0.5);
  EXPECT_EQ(dst[3], 7.0f);
  EXPECT_EQ(dst[4], 1.0f);
  const double dsrc[2] = {2, 4};
  double ddst[2] = {1, 1};
  SampleOps.MixDouble(dsrc, ddst, 2, 0.25);
  EXPECT_EQ(ddst[1], 2.0);
  SampleOps.MixDouble(dsrc, ddst, 0, 1.0);
  EXPECT_EQ(ddst[1], 2.0);
}

// Counts the calls of the scale slots, to show that the ramps reach them through the table.
int scaleCalls = 0;
void CountingScaleFloat(float* buffer, int32_t count, double gain) {
  ++scaleCalls;
  PlainSampleOps().ScaleFloat(buffer, count, gain);
}
void CountingScaleFloatTo(const float* src, float* dst, int32_t count, double gain) {
  ++scaleCalls;
  PlainSampleOps().ScaleFloatTo(src, dst, count, gain);
}

TEST_F(SampleOpsPlain, Ramps) {
  float buf[5] = {1, 1, 1, 1, 1};
  SampleOps.RampFloat(buf, 5, 0.0, 1.0);
  EXPECT_EQ(std::vector<float>(buf, buf + 5), (std::vector<float>{0.0f, 0.25f, 0.5f, 0.75f, 1.0f}));

  const float src[6] = {2, 2, 2, 2, 2, 2};
  float dst[6] = {9, 9, 9, 9, 9, 9};
  SampleOps.RampFloatTo(src, dst, 5, 1.0, 0.0);
  EXPECT_EQ(std::vector<float>(dst, dst + 6), (std::vector<float>{2.0f, 1.5f, 1.0f, 0.5f, 0.0f, 9.0f}));

  double dbuf[3] = {4, 4, 4};
  SampleOps.RampDouble(dbuf, 3, 0.5, 1.5);
  EXPECT_EQ(dbuf[0], 2.0);
  EXPECT_EQ(dbuf[1], 4.0);
  EXPECT_EQ(dbuf[2], 6.0);
  const double dsrc[2] = {1, 1};
  double ddst[2];
  SampleOps.RampDoubleTo(dsrc, ddst, 2, -1.0, 1.0);
  EXPECT_EQ(ddst[0], -1.0);
  EXPECT_EQ(ddst[1], 1.0);

  float single[1] = {3};
  SampleOps.RampFloat(single, 1, 0.5, 2.0);  // one sample takes the start gain
  EXPECT_EQ(single[0], 1.5f);

  // Equal gains go to the scale slots through the table.
  SampleOps.ScaleFloat = CountingScaleFloat;
  SampleOps.ScaleFloatTo = CountingScaleFloatTo;
  scaleCalls = 0;
  float flat[4] = {1, 2, 3, 4};
  SampleOps.RampFloat(flat, 4, 0.5, 0.5);
  EXPECT_EQ(scaleCalls, 1);
  EXPECT_EQ(flat[3], 2.0f);
  SampleOps.RampFloatTo(flat, dst, 4, 0.0, 0.0);
  EXPECT_EQ(scaleCalls, 2);
  EXPECT_EQ(dst[0], 0.0f);
}

TEST_F(SampleOpsPlain, Fades) {
  float buf[5] = {1, 1, 1, 1, 1};
  double gain = 1.0;
  SampleOps.FadeFloat(buf, 5, 0.5, gain);
  EXPECT_EQ(std::vector<float>(buf, buf + 5), (std::vector<float>{1.0f, 0.5f, 0.25f, 0.125f, 0.0625f}));
  EXPECT_EQ(gain, 0.03125);

  // Factor 1 changes nothing, even with a gain other than 1.
  gain = 2.0;
  SampleOps.FadeFloat(buf, 5, 1.0, gain);
  EXPECT_EQ(buf[0], 1.0f);
  EXPECT_EQ(gain, 2.0);
  // Count 0 changes nothing either.
  SampleOps.FadeFloat(buf, 0, 0.0, gain);
  EXPECT_EQ(gain, 2.0);
  // Factor 0 silences and zeroes the gain.
  SampleOps.FadeFloat(buf, 5, 0.0, gain);
  for (float v : buf) EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(gain, 0.0);

  const float src[3] = {4, 4, 4};
  float dst[4] = {9, 9, 9, 9};
  gain = 0.5;
  SampleOps.FadeFloatTo(src, dst, 3, 2.0, gain);
  EXPECT_EQ(std::vector<float>(dst, dst + 4), (std::vector<float>{2.0f, 4.0f, 8.0f, 9.0f}));
  EXPECT_EQ(gain, 4.0);
  SampleOps.FadeFloatTo(src, dst, 3, 1.0, gain);
  EXPECT_EQ(dst[0], 2.0f);
  SampleOps.FadeFloatTo(src, dst, 3, 0.0, gain);
  EXPECT_EQ(dst[2], 0.0f);
  EXPECT_EQ(dst[3], 9.0f);
  EXPECT_EQ(gain, 0.0);

  double dbuf[2] = {8, 8};
  gain = 1.0;
  SampleOps.FadeDouble(dbuf, 2, 0.25, gain);
  EXPECT_EQ(dbuf[1], 2.0);
  EXPECT_EQ(gain, 0.0625);
  const double dsrc[2] = {1, 1};
  double ddst[2];
  gain = 3.0;
  SampleOps.FadeDoubleTo(dsrc, ddst, 2, 0.5, gain);
  EXPECT_EQ(ddst[1], 1.5);
  EXPECT_EQ(gain, 0.75);
}

TEST_F(SampleOpsPlain, SoftClip) {
  float buf[9] = {3.0f, -3.0f, 5.0f, -1e30f, kInf, -kInf, 0.0f, 1.0f, -1.0f};
  SampleOps.SoftClipFloat(buf, 9);
  EXPECT_EQ(buf[0], 1.0f);
  EXPECT_EQ(buf[1], -1.0f);
  EXPECT_EQ(buf[2], 1.0f);
  EXPECT_EQ(buf[3], -1.0f);
  EXPECT_EQ(buf[4], 1.0f);
  EXPECT_EQ(buf[5], -1.0f);
  EXPECT_EQ(buf[6], 0.0f);
  EXPECT_FLOAT_EQ(buf[7], 28.0f / 36.0f);
  EXPECT_EQ(buf[8], -buf[7]);  // odd

  const double dsrc[5] = {3.0, -3.0, 1e300, 0.5, -0.5};
  double ddst[5];
  SampleOps.SoftClipDoubleTo(dsrc, ddst, 5);
  EXPECT_EQ(ddst[0], 1.0);
  EXPECT_EQ(ddst[1], -1.0);
  EXPECT_EQ(ddst[2], 1.0);
  EXPECT_DOUBLE_EQ(ddst[3], 0.5 * 27.25 / 29.25);
  EXPECT_EQ(ddst[4], -ddst[3]);
  double dbuf[2] = {6.0, -kInfD};
  SampleOps.SoftClipDouble(dbuf, 2);
  EXPECT_EQ(dbuf[0], 1.0);
  EXPECT_EQ(dbuf[1], -1.0);
  const float fsrc[2] = {2.0f, -4.0f};
  float fdst[2];
  SampleOps.SoftClipFloatTo(fsrc, fdst, 2);
  EXPECT_FLOAT_EQ(fdst[0], 2.0f * 31.0f / 63.0f);
  EXPECT_EQ(fdst[1], -1.0f);
  // Never beyond full scale, and increasing through the middle of the range.
  for (int i = -600; i <= 600; ++i) {
    float x = static_cast<float>(i) / 100.0f;
    SampleOps.SoftClipFloat(&x, 1);
    EXPECT_LE(std::fabs(x), 1.0f);
  }
  float lower = -2.0f, upper = -1.9f;
  SampleOps.SoftClipFloat(&lower, 1);
  SampleOps.SoftClipFloat(&upper, 1);
  EXPECT_LT(lower, upper);
}

TEST_F(SampleOpsPlain, Levels) {
  const float f[5] = {0.5f, -3.0f, 2.0f, 1.0f, -2.5f};
  EXPECT_EQ(SampleOps.PeakFloat(f, 5), 3.0f);
  EXPECT_EQ(SampleOps.PeakFloat(f, 1), 0.5f);
  EXPECT_EQ(SampleOps.PeakFloat(f, 0), 0.0f);
  EXPECT_EQ(SampleOps.PeakFloat(f, -1), 0.0f);
  const double d[3] = {-7.0, 1.0, 6.5};
  EXPECT_EQ(SampleOps.PeakDouble(d, 3), 7.0);

  const float r[2] = {3.0f, 4.0f};
  EXPECT_FLOAT_EQ(SampleOps.RmsFloat(r, 2), std::sqrt(12.5f));
  EXPECT_EQ(SampleOps.RmsFloat(r, 0), 0.0f);
  const float zeros[4] = {0, -0.0f, 0, 0};
  EXPECT_EQ(SampleOps.RmsFloat(zeros, 4), 0.0f);
  const float withNaN[2] = {kNaN, 1.0f};
  EXPECT_EQ(SampleOps.RmsFloat(withNaN, 2), 0.0f);  // a sum that is not positive
  const double dr[5] = {1, -1, 1, -1, 1};
  EXPECT_EQ(SampleOps.RmsDouble(dr, 5), 1.0);
  EXPECT_EQ(SampleOps.RmsDouble(dr, -5), 0.0);
}

TEST_F(SampleOpsPlain, SanitizeFloat) {
  float buf[7] = {kNaN, kInf, -kInf, 1e-40f, 1.0f, -1e-40f, -kNaN};
  EXPECT_FALSE(SampleOps.SanitizeFloat(buf, 7));
  EXPECT_EQ(BitsOf(buf[0]), 0u);
  EXPECT_EQ(BitsOf(buf[1]), 0x7A83126Eu);
  EXPECT_EQ(buf[1], 3.4028234e35f);
  EXPECT_EQ(BitsOf(buf[2]), 0xFA83126Eu);
  EXPECT_EQ(BitsOf(buf[3]), 0u);
  EXPECT_EQ(buf[4], 1.0f);
  EXPECT_EQ(BitsOf(buf[5]), 0u);
  EXPECT_EQ(BitsOf(buf[6]), 0u);

  float clean[6] = {1.0f, -0.0f, 0.0f, 3.4e38f, -1.17549435e-38f, 0.5f};
  float copy[6];
  std::memcpy(copy, clean, sizeof clean);
  EXPECT_TRUE(SampleOps.SanitizeFloat(clean, 6));
  EXPECT_EQ(std::memcmp(clean, copy, sizeof clean), 0);

  float nanInLowBits[1] = {FromBits(0x7F800001u)};
  EXPECT_FALSE(SampleOps.SanitizeFloat(nanInLowBits, 1));
  EXPECT_EQ(BitsOf(nanInLowBits[0]), 0u);
  EXPECT_TRUE(SampleOps.SanitizeFloat(nanInLowBits, 0));
}

TEST_F(SampleOpsPlain, SanitizeDouble) {
  double buf[6] = {kNaND, kInfD, -kInfD, 1e-310, 1.0, -0.0};
  EXPECT_FALSE(SampleOps.SanitizeDouble(buf, 6));
  EXPECT_EQ(BitsOf(buf[0]), 0u);
  EXPECT_EQ(BitsOf(buf[1]), 0x4750624DC28F5C29u);
  EXPECT_EQ(buf[1], 3.4028234663852886e35);
  EXPECT_EQ(BitsOf(buf[2]), 0xC750624DC28F5C29u);
  EXPECT_EQ(BitsOf(buf[3]), 0u);
  EXPECT_EQ(buf[4], 1.0);
  EXPECT_EQ(BitsOf(buf[5]), 0x8000000000000000u);

  double clean[3] = {1e308, -2.2250738585072014e-308, 0.25};
  EXPECT_TRUE(SampleOps.SanitizeDouble(clean, 3));
  EXPECT_EQ(clean[1], -2.2250738585072014e-308);
  double nan[1] = {FromBits64(0xFFF0000000000001u)};
  EXPECT_FALSE(SampleOps.SanitizeDouble(nan, 1));
  EXPECT_EQ(BitsOf(nan[0]), 0u);
}

}  // namespace
