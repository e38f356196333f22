// Wire sample formats: exact bytes of the encoders, exact floats of the decoders, silence, bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "formats/PlainMath.h"
#include "formats/SampleOps.h"
#include "formats/WireFormat.h"

namespace {

using tovik::formats::EncodeSigned16;
using tovik::formats::EncodeUnsigned8;
using tovik::formats::PlainMath;

// The 32-bit build rounds ties to even where the 64-bit build rounds them away from zero.
constexpr bool kBuild32 = sizeof(void*) == 4;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

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

// The float nearest 2.5/127: its product with 127 in single precision is exactly 2.5.
const float kTie8 = 2.5f / 127.0f;
// The float nearest 2.5/32767: its single-precision product with 32767 is exactly 2.5, its exact product
// 2.4999999977.
const float kTie16 = 2.5f / 32767.0f;

// The wire tests check the plain 16-bit rule, whatever the processor-specific selection installed.
class WireFormat : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = SampleOps;
    SampleOps = PlainSampleOps();
  }
  void TearDown() override { SampleOps = saved_; }

  static std::vector<unsigned char> Encode(int32_t code, const std::vector<float>& in) {
    std::vector<unsigned char> out(in.size() * static_cast<size_t>(code) + 8, 0xA5);
    const int32_t written = EncodeChannel(code, in.data(), out.data(), static_cast<int32_t>(in.size()));
    EXPECT_EQ(written, static_cast<int32_t>(in.size()) * code);
    for (size_t i = in.size() * static_cast<size_t>(code); i < out.size(); ++i) EXPECT_EQ(out[i], 0xA5);
    out.resize(in.size() * static_cast<size_t>(code));
    return out;
  }

  static std::vector<int16_t> EncodeShorts(const std::vector<float>& in) {
    const std::vector<unsigned char> bytes = Encode(2, in);
    std::vector<int16_t> out(in.size());
    for (size_t i = 0; i < in.size(); ++i)
      out[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return out;
  }

  static std::vector<float> Decode(int32_t code, const std::vector<unsigned char>& in) {
    const size_t n = in.size() / static_cast<size_t>(code);
    std::vector<float> out(n + 2, 123.0f);
    DecodeChannel(code, in.data(), out.data(), static_cast<int32_t>(n));
    EXPECT_EQ(out[n], 123.0f);
    EXPECT_EQ(out[n + 1], 123.0f);
    out.resize(n);
    return out;
  }

 private:
  SampleOpsTable saved_{};
};

TEST_F(WireFormat, PrecisionLabels) {
  EXPECT_STREQ(kPrecisionLabels[0], "8bit unsigned char");
  EXPECT_STREQ(kPrecisionLabels[1], "16bit signed int");
  EXPECT_STREQ(kPrecisionLabels[2], "24bit imprecise float");
  EXPECT_STREQ(kPrecisionLabels[3], "32bit float");
}

TEST_F(WireFormat, Code1FullScaleClipAndSilence) {
  const std::vector<unsigned char> expected = {128, 255, 1, 255, 1, 255, 1, 255, 1, 255, 1, 128, 128};
  EXPECT_EQ(Encode(1, {0.0f, 1.0f, -1.0f, 2.0f, -2.0f, 1e5f, -1e5f, 3e38f, -3e38f, kInf, -kInf, kNaN, -kNaN}),
            expected);
}

TEST_F(WireFormat, Code1TieFollowsTheBuildsRounding) {
  ASSERT_EQ(kTie8 * 127.0f, 2.5f);
  EXPECT_EQ(Encode(1, {kTie8, -kTie8}),
            (std::vector<unsigned char>{kBuild32 ? 130 : 131, kBuild32 ? 126 : 125}));
  // Both rules, whichever build runs the test.
  EXPECT_EQ(EncodeUnsigned8<PlainMath::kTiesAway>(kTie8), 131);
  EXPECT_EQ(EncodeUnsigned8<PlainMath::kX87>(kTie8), 130);
  EXPECT_EQ(EncodeUnsigned8<PlainMath::kTiesAway>(-kTie8), 125);
  EXPECT_EQ(EncodeUnsigned8<PlainMath::kX87>(-kTie8), 126);
}

TEST_F(WireFormat, Code1Decode) {
  const float step = FromBits(0x3C010204);  // the float nearest 1/127
  const std::vector<float> decoded = Decode(1, {0, 1, 128, 255, 129, 127});
  EXPECT_EQ(decoded[0], -128.0f * step);
  EXPECT_FLOAT_EQ(decoded[0], -1.0078740f);
  EXPECT_EQ(decoded[1], -1.0f);
  EXPECT_EQ(BitsOf(decoded[2]), 0u);
  EXPECT_EQ(decoded[3], 1.0f);
  EXPECT_EQ(BitsOf(decoded[4]), 0x3C010204u);
  EXPECT_EQ(BitsOf(decoded[5]), 0xBC010204u);
}

TEST_F(WireFormat, Code1DecodeIsTheEncodersInverse) {
  std::vector<unsigned char> all(256);
  for (int b = 0; b < 256; ++b) all[static_cast<size_t>(b)] = static_cast<unsigned char>(b);
  const std::vector<unsigned char> again = Encode(1, Decode(1, all));
  EXPECT_EQ(again[0], 1);  // -1.0078740 clips to -1.0
  for (int b = 1; b < 256; ++b) EXPECT_EQ(again[static_cast<size_t>(b)], b);
}

TEST_F(WireFormat, Code2PlainFullScaleClipAndSilence) {
  const std::vector<int16_t> expected = {0,     32767,  -32767, 32767,  -32767, 32767, -32767,
                                         32767, -32767, 32767,  -32767, 0,      0};
  EXPECT_EQ(EncodeShorts(
                {0.0f, 1.0f, -1.0f, 2.0f, -2.0f, 600.0f, -600.0f, 1e30f, -1e30f, kInf, -kInf, kNaN, -kNaN}),
            expected);
}

TEST_F(WireFormat, Code2IsLittleEndian) {
  EXPECT_EQ(Encode(2, {1.0f, -1.0f, 0.5f}), (std::vector<unsigned char>{0xFF, 0x7F, 0x01, 0x80, 0x00, 0x40}));
}

TEST_F(WireFormat, Code2TieFollowsTheBuildsRounding) {
  ASSERT_EQ(kTie16 * 32767.0f, 2.5f);
  EXPECT_EQ(EncodeShorts({kTie16, -kTie16}),
            (std::vector<int16_t>{kBuild32 ? int16_t{2} : int16_t{3}, kBuild32 ? int16_t{-2} : int16_t{-3}}));
  EXPECT_EQ(EncodeSigned16<PlainMath::kTiesAway>(kTie16), 3);
  EXPECT_EQ(EncodeSigned16<PlainMath::kTiesAway>(-kTie16), -3);
  // The x87 rule keeps the exact product 2.4999999977; the check needs an 80-bit long double.
  if (std::numeric_limits<long double>::digits >= 64) {
    EXPECT_EQ(EncodeSigned16<PlainMath::kX87>(kTie16), 2);
    EXPECT_EQ(EncodeSigned16<PlainMath::kX87>(-kTie16), -2);
  }
  // An exact tie in every precision: 0.5 * 32767 = 16383.5 rounds to 16384 under both rules.
  EXPECT_EQ(EncodeSigned16<PlainMath::kTiesAway>(0.5f), 16384);
  EXPECT_EQ(EncodeSigned16<PlainMath::kX87>(0.5f), 16384);
  EXPECT_EQ(EncodeSigned16<PlainMath::kX87>(-0.5f), -16384);
}

TEST_F(WireFormat, Code2X87RuleClipsLikeThePlainOne) {
  for (float x : {600.0f, -600.0f, 1e30f, -1e30f, kInf, -kInf, 2.0f, -2.0f, 1.0f, -1.0f}) {
    EXPECT_EQ(EncodeSigned16<PlainMath::kX87>(x), EncodeSigned16<PlainMath::kTiesAway>(x)) << x;
  }
  EXPECT_EQ(EncodeSigned16<PlainMath::kX87>(kNaN), 0);
  EXPECT_EQ(EncodeUnsigned8<PlainMath::kX87>(kNaN), 128);
  EXPECT_EQ(EncodeUnsigned8<PlainMath::kX87>(1e5f), 255);
  EXPECT_EQ(EncodeUnsigned8<PlainMath::kX87>(-kInf), 1);
}

TEST_F(WireFormat, Code2Decode) {
  const std::vector<float> decoded = Decode(2, {0xFF, 0x7F, 0x00, 0x80, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x00});
  EXPECT_EQ(decoded[0], 1.0f);
  EXPECT_EQ(decoded[1], -32768.0f * FromBits(0x38000100));
  EXPECT_FLOAT_EQ(decoded[1], -1.0000305f);
  EXPECT_EQ(BitsOf(decoded[2]), 0x38000100u);
  EXPECT_EQ(BitsOf(decoded[3]), 0xB8000100u);
  EXPECT_EQ(BitsOf(decoded[4]), 0u);
}

TEST_F(WireFormat, Code2DecodeIsThePlainEncodersInverse) {
  std::vector<unsigned char> all;
  for (int32_t s = -32768; s <= 32767; ++s) {
    all.push_back(static_cast<unsigned char>(s & 0xFF));
    all.push_back(static_cast<unsigned char>((s >> 8) & 0xFF));
  }
  const std::vector<int16_t> again = EncodeShorts(Decode(2, all));
  EXPECT_EQ(again[0], -32767);  // the plain encoder never produces -32768
  for (int32_t s = -32767; s <= 32767; ++s) ASSERT_EQ(again[static_cast<size_t>(s + 32768)], s);
}

TEST_F(WireFormat, Code3DropsTheLowMantissaByte) {
  const float third = FromBits(0x3EAAAAAB);
  EXPECT_EQ(Encode(3, {third, -third}), (std::vector<unsigned char>{0xAA, 0xAA, 0x3E, 0xAA, 0xAA, 0xBE}));
  const std::vector<float> back = Decode(3, Encode(3, {third, -third}));
  EXPECT_EQ(BitsOf(back[0]), 0x3EAAAA00u);
  EXPECT_EQ(BitsOf(back[1]), 0xBEAAAA00u);
  EXPECT_LT(back[0], third);  // toward zero
  EXPECT_GT(back[1], -third);
}

TEST_F(WireFormat, Code3RoundTrips) {
  const std::vector<uint32_t> exact = {
      0x3F800000u /* 1.0 */, 0x3F000000u /* 0.5 */,  0x80000000u /* -0.0 */, 0x00000000u,
      0xC2F6E900u,           0x7F800000u /* +inf */, 0xFF800000u /* -inf */, 0x7FC00000u /* NaN */};
  std::vector<float> in;
  for (uint32_t b : exact) in.push_back(FromBits(b));
  const std::vector<float> back = Decode(3, Encode(3, in));
  for (size_t i = 0; i < exact.size(); ++i) EXPECT_EQ(BitsOf(back[i]), exact[i]) << i;
  // A NaN whose only mantissa bits lie in the dropped byte comes back as an infinity of its sign.
  const std::vector<float> nans = Decode(3, Encode(3, {FromBits(0x7F800001u), FromBits(0xFF8000FFu)}));
  EXPECT_EQ(BitsOf(nans[0]), 0x7F800000u);
  EXPECT_EQ(BitsOf(nans[1]), 0xFF800000u);
}

TEST_F(WireFormat, Code4CopiesEveryBitPattern) {
  // Every combination of sign, exponent and the upper 15 mantissa bits, with varying low bytes: all
  // classes of value, NaN payloads and signalling NaNs included.
  constexpr uint32_t kChunk = 1u << 16;
  std::vector<float> in(kChunk);
  std::vector<unsigned char> wire(4 * kChunk);
  std::vector<float> back(kChunk);
  for (uint32_t high = 0; high < (1u << 24); high += kChunk) {
    for (uint32_t i = 0; i < kChunk; ++i) {
      const uint32_t upper = high + i;
      in[i] = FromBits((upper << 8) | ((upper * 2654435761u) >> 24));
    }
    ASSERT_EQ(EncodeChannel(4, in.data(), wire.data(), kChunk), static_cast<int32_t>(4 * kChunk));
    DecodeChannel(4, wire.data(), back.data(), kChunk);
    ASSERT_EQ(std::memcmp(in.data(), wire.data(), wire.size()), 0) << high;
    ASSERT_EQ(std::memcmp(in.data(), back.data(), wire.size()), 0) << high;
  }
}

TEST_F(WireFormat, NullChannelIsSilence) {
  for (int32_t code = 1; code <= 4; ++code) {
    std::vector<unsigned char> wire(5 * static_cast<size_t>(code) + 4, 0xA5);
    EXPECT_EQ(EncodeChannel(code, nullptr, wire.data(), 5), 5 * code);
    for (size_t i = 0; i < 5 * static_cast<size_t>(code); ++i)
      EXPECT_EQ(wire[i], code == 1 ? 128 : 0) << code;
    for (size_t i = 5 * static_cast<size_t>(code); i < wire.size(); ++i) EXPECT_EQ(wire[i], 0xA5);
    std::vector<float> out(5, 9.0f);
    DecodeChannel(code, wire.data(), out.data(), 5);
    for (float v : out) EXPECT_EQ(BitsOf(v), 0u) << code;
  }
}

TEST_F(WireFormat, NothingForBadCodeOrCount) {
  const float in[4] = {0.5f, 0.5f, 0.5f, 0.5f};
  unsigned char wire[32];
  std::memset(wire, 0xA5, sizeof wire);
  for (int32_t code : {0, 5, -1, 8, std::numeric_limits<int32_t>::min()}) {
    EXPECT_EQ(EncodeChannel(code, in, wire, 4), 0);
    EXPECT_EQ(EncodeChannel(code, nullptr, wire, 4), 0);
    float out[4] = {7, 7, 7, 7};
    DecodeChannel(code, wire, out, 4);
    for (float v : out) EXPECT_EQ(v, 7.0f);
  }
  for (int32_t code = 1; code <= 4; ++code) {
    EXPECT_EQ(EncodeChannel(code, in, wire, 0), 0);
    EXPECT_EQ(EncodeChannel(code, in, wire, -3), 0);
    EXPECT_EQ(EncodeChannel(code, nullptr, wire, -3), 0);
    EXPECT_EQ(EncodeChannel(code, in, nullptr, 4), 0);
    float out[4] = {7, 7, 7, 7};
    DecodeChannel(code, wire, out, 0);
    DecodeChannel(code, wire, out, -1);
    DecodeChannel(code, nullptr, out, 4);
    for (float v : out) EXPECT_EQ(v, 7.0f);
  }
  for (unsigned char b : wire) EXPECT_EQ(b, 0xA5);
  // A byte count that would not fit in 32 bits is refused, not wrapped.
  EXPECT_EQ(EncodeChannel(4, in, wire, std::numeric_limits<int32_t>::max() / 2), 0);
}

TEST_F(WireFormat, UnalignedWireAddresses) {
  alignas(16) unsigned char wire[64];
  std::memset(wire, 0xA5, sizeof wire);
  const float in[5] = {1.0f, -1.0f, 0.5f, 0.0f, -0.25f};
  ASSERT_EQ(EncodeChannel(2, in, wire + 1, 5), 10);
  EXPECT_EQ(wire[0], 0xA5);
  EXPECT_EQ(wire[11], 0xA5);
  float out[5];
  DecodeChannel(2, wire + 1, out, 5);
  EXPECT_EQ(out[0], 1.0f);
  EXPECT_EQ(out[1], -1.0f);
  EXPECT_EQ(out[3], 0.0f);
  EXPECT_NEAR(out[2], 0.5f, 0.5f / 32767);
  EXPECT_NEAR(out[4], -0.25f, 0.5f / 32767);
}

// Random samples (some beyond full scale) at every code survive the round trip within the code's
// quantisation.
TEST_F(WireFormat, RandomRoundTripWithinQuantisation) {
  std::mt19937 rng(20240611);
  std::uniform_real_distribution<float> sample(-1.25f, 1.25f);
  std::uniform_int_distribution<int32_t> length(1, 700);
  for (int round = 0; round < 40; ++round) {
    std::vector<float> in(static_cast<size_t>(length(rng)));
    for (float& x : in) x = sample(rng);
    for (int32_t code = 1; code <= 4; ++code) {
      const std::vector<float> back = Decode(code, Encode(code, in));
      for (size_t i = 0; i < in.size(); ++i) {
        const float x = in[i];
        const float clipped = std::fmax(-1.0f, std::fmin(1.0f, x));
        switch (code) {
          case 1:
            ASSERT_NEAR(back[i], clipped, 0.5f / 127 + 1e-6f) << x;
            break;
          case 2:
            ASSERT_NEAR(back[i], clipped, 0.5f / 32767 + 1e-7f) << x;
            break;
          case 3:
            ASSERT_LE(std::fabs(back[i]), std::fabs(x));
            ASSERT_LE(std::fabs(x - back[i]), std::fabs(x) * 0x1p-15f) << x;
            ASSERT_EQ(std::signbit(back[i]), std::signbit(x));
            break;
          default:
            ASSERT_EQ(BitsOf(back[i]), BitsOf(x));
        }
      }
    }
  }
}

TEST_F(WireFormat, ChannelsArePlanarAndTight) {
  // Two channels encoded back to back occupy exactly n * code bytes each.
  const float left[3] = {1.0f, 0.0f, -1.0f};
  const float right[3] = {0.5f, 0.5f, 0.5f};
  for (int32_t code = 1; code <= 4; ++code) {
    std::vector<unsigned char> area(6 * static_cast<size_t>(code) + 1, 0xA5);
    const int32_t first = EncodeChannel(code, left, area.data(), 3);
    const int32_t second = EncodeChannel(code, right, area.data() + first, 3);
    EXPECT_EQ(first + second, 6 * code);
    EXPECT_EQ(area.back(), 0xA5);
    float out[6];
    DecodeChannel(code, area.data(), out, 3);
    DecodeChannel(code, area.data() + 3 * code, out + 3, 3);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(out[2], -1.0f);
    EXPECT_NEAR(out[4], 0.5f, 0.5f / 127);
  }
}

}  // namespace
