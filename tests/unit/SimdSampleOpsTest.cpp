// The SIMD sample operations against the plain ones, their own exact rules, the processor identification
// and the selection that installs them.
#include <gtest/gtest.h>

#include <algorithm>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "formats/CpuInfo.h"
#include "formats/SampleOps.h"
#include "formats/SimdSelect.h"
#include "formats/WireChannelOps.h"
#include "formats/WireFormat.h"

namespace {

// memcmp for ranges that may be empty: an empty vector's data() may be null,
// which memcmp must not be given even with a count of 0.
int CompareBytes(const void* a, const void* b, size_t n) { return n == 0 ? 0 : std::memcmp(a, b, n); }

using tovik::formats::InstallSse2Ops;
using tovik::formats::InstallSse2WireOps;
using tovik::formats::InstallSseOps;
using tovik::formats::SimdBuild;

constexpr bool kBuild32 = sizeof(void*) == 4;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr double kNaND = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfD = std::numeric_limits<double>::infinity();
constexpr uint32_t kAllFeatures = kCpuFeatureMmx | kCpuFeatureSse | kCpuFeatureSse2;

// The plain float members compute at x87 precision in the 32-bit build, so there they may differ from
// the SIMD ones in the last place.
constexpr bool kPlainFloatIsExact = FLT_EVAL_METHOD == 0;

// The float nearest 2.5/32767: its single-precision product with 32767 is exactly 2.5.
const float kTie16 = 2.5f / 32767.0f;
// The float nearest 2.5/127: its product with 127 in single precision is exactly 2.5.
const float kTie8 = 2.5f / 127.0f;

bool ProcessorHasSimd() {
  return (CpuInfo.features & (kCpuFeatureSse | kCpuFeatureSse2)) == (kCpuFeatureSse | kCpuFeatureSse2);
}

#define REQUIRE_SIMD() \
  if (!ProcessorHasSimd()) GTEST_SKIP() << "the processor reports no SSE2"

// The table with every SIMD variant of the given build.
SampleOpsTable SimdTable(SimdBuild build = tovik::formats::kSimdBuild) {
  SampleOpsTable table = PlainSampleOps();
  InstallSseOps(table, kAllFeatures, build);
  InstallSse2Ops(table, kAllFeatures, build);
  return table;
}

const SampleOpsTable& Plain() {
  return PlainSampleOps();
}

// Slot pointers by slot number.
std::vector<const void*> Slots(const SampleOpsTable& table) {
  std::vector<const void*> slots(54);
  static_assert(sizeof(SampleOpsTable) == 54 * sizeof(void*));
  std::memcpy(slots.data(), &table, sizeof table);
  return slots;
}

std::set<int> ChangedSlots(const SampleOpsTable& table) {
  const std::vector<const void*> a = Slots(table), b = Slots(PlainSampleOps());
  std::set<int> changed;
  for (int i = 0; i < 54; ++i)
    if (a[static_cast<size_t>(i)] != b[static_cast<size_t>(i)]) changed.insert(i);
  return changed;
}

const std::set<int> kSseSlots = {22, 24, 26, 28, 30, 32, 34, 44, 46, 48, 50};
const std::set<int> kSse2Slots = {6,  7,  8,  9,  10, 11, 12, 14, 16, 17, 18, 19,
                                  23, 25, 27, 29, 31, 33, 35, 45, 47, 49, 51};

std::set<int> Without(std::set<int> s, int slot) {
  s.erase(slot);
  return s;
}

std::set<int> With(std::set<int> s, const std::set<int>& more) {
  s.insert(more.begin(), more.end());
  return s;
}

// count values of T at a 16-byte boundary plus `offset` bytes, followed by guard bytes. Every byte starts
// as 0xA5, so that writes beyond count can be seen.
template <typename T>
class Placed {
 public:
  Placed(size_t count, size_t offset) : count_(count), raw_(count * sizeof(T) + offset + 16 + kGuard, 0xA5) {
    const auto address = reinterpret_cast<uintptr_t>(raw_.data());
    start_ = (16 - address % 16) % 16 + offset;
  }
  T* data() { return static_cast<T*>(static_cast<void*>(raw_.data() + start_)); }
  const T* data() const { return static_cast<const T*>(static_cast<const void*>(raw_.data() + start_)); }
  void Set(const std::vector<T>& values) {
    if (!values.empty()) std::memcpy(data(), values.data(), values.size() * sizeof(T));
  }
  std::vector<T> Values() const {
    std::vector<T> v(count_);
    if (count_ > 0) std::memcpy(v.data(), data(), count_ * sizeof(T));
    return v;
  }
  // True when nothing after the count values was written.
  bool GuardIntact() const {
    for (size_t i = start_ + count_ * sizeof(T); i < raw_.size(); ++i)
      if (raw_[i] != 0xA5) return false;
    return true;
  }

 private:
  static constexpr size_t kGuard = 48;
  size_t count_;
  std::vector<unsigned char> raw_;
  size_t start_ = 0;
};

std::vector<float> RandomFloats(size_t n, uint32_t seed, float range = 1.25f) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> dist(-range, range);
  std::vector<float> v(n);
  for (float& x : v) x = dist(random);
  return v;
}

std::vector<double> RandomDoubles(size_t n, uint32_t seed, double range = 1.25) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> dist(-range, range);
  std::vector<double> v(n);
  for (double& x : v) x = dist(random);
  return v;
}

std::vector<int32_t> RandomInts(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<int32_t> v(n);
  for (int32_t& x : v) x = static_cast<int32_t>(random());
  return v;
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> v(n);
  for (uint8_t& x : v) x = static_cast<uint8_t>(random());
  return v;
}

// Lengths worth trying: every length up to 37 and a few large ones.
std::vector<int32_t> Lengths() {
  std::vector<int32_t> lengths;
  for (int32_t n = 0; n <= 37; ++n) lengths.push_back(n);
  for (int32_t n : {512, 1001, 4099}) lengths.push_back(n);
  return lengths;
}

// Rounds in the current rounding mode (ties to even by default), as the packed conversions do.
int32_t RoundCurrent(double v) {
  return static_cast<int32_t>(std::nearbyint(v));
}

float Narrow(double v) {
  volatile float f = static_cast<float>(v);
  return f;
}

// The SIMD conversion rule: scale, min (NaN gives the upper limit), max, convert.
int32_t SimdRule(float x, float scale, float upper, float lower) {
  float v = Narrow(static_cast<double>(x) * scale);
  v = v < upper ? v : upper;
  v = v > lower ? v : lower;
  return RoundCurrent(v);
}

int32_t SimdRuleD(double x, double scale, double upper, double lower) {
  double v = x * scale;
  v = v < upper ? v : upper;
  v = v > lower ? v : lower;
  return RoundCurrent(v);
}

int16_t SimdShort(float x) {
  return static_cast<int16_t>(SimdRule(x, 32767.0f, 32767.0f, -32768.0f));
}

// ---------------------------------------------------------------------------------------------------------
// Processor identification and selection

TEST(CpuIdentification, ReadsTheProcessorAtLoad) {
  // Every processor this library is built for has the identification instruction.
  EXPECT_GE(CpuInfo.maxStandardLeaf, 1u);
  EXPECT_EQ(std::strlen(CpuInfo.vendor), 12u);
  EXPECT_EQ(CpuInfo.isIntel, std::strcmp(CpuInfo.vendor, "GenuineIntel") == 0);
  EXPECT_EQ(CpuInfo.isAmd, !CpuInfo.isIntel && std::strcmp(CpuInfo.vendor, "AuthenticAMD") == 0);
  EXPECT_LT(std::strlen(CpuInfo.brand), sizeof CpuInfo.brand);
  if (CpuInfo.maxExtendedLeaf < 0x80000004u) {
    EXPECT_STREQ(CpuInfo.brand, "");
  }
  // Every 64-bit x86 processor has SSE and SSE2.
  if (!kBuild32) {
    EXPECT_NE(CpuInfo.features & kCpuFeatureSse, 0u);
    EXPECT_NE(CpuInfo.features & kCpuFeatureSse2, 0u);
  }
  const CpuInfoRecord again = ReadCpuInfo();
  EXPECT_EQ(again.features, CpuInfo.features);
  EXPECT_EQ(again.signature, CpuInfo.signature);
  EXPECT_STREQ(again.vendor, CpuInfo.vendor);
}

TEST(SimdSelection, NeitherFeatureKeepsEveryPlainSlot) {
  for (SimdBuild build : {SimdBuild::k64Bit, SimdBuild::k32Bit}) {
    SampleOpsTable table = PlainSampleOps();
    EXPECT_FALSE(InstallSseOps(table, kCpuFeatureMmx, build));
    EXPECT_FALSE(InstallSse2Ops(table, kCpuFeatureMmx, build));
    EXPECT_TRUE(ChangedSlots(table).empty());
    WireChannelOpsTable wire = PlainWireChannelOps();
    EXPECT_FALSE(InstallSse2WireOps(wire, kCpuFeatureMmx | kCpuFeatureSse, build));
    EXPECT_EQ(CompareBytes(&wire, &PlainWireChannelOps(), sizeof wire), 0);
  }
}

TEST(SimdSelection, SseOnlyGivesTheElevenFloatArithmeticSlots) {
  SampleOpsTable table = PlainSampleOps();
  EXPECT_TRUE(InstallSseOps(table, kCpuFeatureSse | kCpuFeatureMmx, SimdBuild::k64Bit));
  EXPECT_FALSE(InstallSse2Ops(table, kCpuFeatureSse | kCpuFeatureMmx, SimdBuild::k64Bit));
  EXPECT_EQ(ChangedSlots(table), kSseSlots);
}

TEST(SimdSelection, Sse2OnlyGivesTheConversionAndDoubleSlots) {
  SampleOpsTable table = PlainSampleOps();
  EXPECT_FALSE(InstallSseOps(table, kCpuFeatureSse2, SimdBuild::k64Bit));
  EXPECT_TRUE(InstallSse2Ops(table, kCpuFeatureSse2, SimdBuild::k64Bit));
  EXPECT_EQ(ChangedSlots(table), kSse2Slots);
  WireChannelOpsTable wire = PlainWireChannelOps();
  EXPECT_TRUE(InstallSse2WireOps(wire, kCpuFeatureSse2, SimdBuild::k64Bit));
  EXPECT_NE(wire.EncodeUnsigned8, PlainWireChannelOps().EncodeUnsigned8);
  EXPECT_NE(wire.DecodeFloat24, PlainWireChannelOps().DecodeFloat24);
}

TEST(SimdSelection, BothInEitherOrder) {
  SampleOpsTable first = PlainSampleOps(), second = PlainSampleOps();
  InstallSseOps(first, kAllFeatures, SimdBuild::k64Bit);
  InstallSse2Ops(first, kAllFeatures, SimdBuild::k64Bit);
  InstallSse2Ops(second, kAllFeatures, SimdBuild::k64Bit);
  InstallSseOps(second, kAllFeatures, SimdBuild::k64Bit);
  EXPECT_EQ(ChangedSlots(first), With(kSseSlots, kSse2Slots));
  EXPECT_EQ(CompareBytes(&first, &second, sizeof first), 0);
}

TEST(SimdSelection, ThirtyTwoBitBuildTakesFloatToShortWithSseAndMmx) {
  SampleOpsTable sseMmx = PlainSampleOps();
  EXPECT_TRUE(InstallSseOps(sseMmx, kCpuFeatureSse | kCpuFeatureMmx, SimdBuild::k32Bit));
  EXPECT_EQ(ChangedSlots(sseMmx), With(kSseSlots, {6}));

  SampleOpsTable sseOnly = PlainSampleOps();
  EXPECT_TRUE(InstallSseOps(sseOnly, kCpuFeatureSse, SimdBuild::k32Bit));
  EXPECT_EQ(ChangedSlots(sseOnly), kSseSlots);

  SampleOpsTable sse2Only = PlainSampleOps();
  EXPECT_TRUE(InstallSse2Ops(sse2Only, kCpuFeatureSse2 | kCpuFeatureMmx, SimdBuild::k32Bit));
  EXPECT_EQ(ChangedSlots(sse2Only), Without(kSse2Slots, 6));

  SampleOpsTable all = SimdTable(SimdBuild::k32Bit);
  EXPECT_EQ(ChangedSlots(all), With(kSseSlots, kSse2Slots));
  // The MMX variant stays in slot 6: the SSE2 selection does not replace it.
  EXPECT_EQ(all.FloatToShort, sseMmx.FloatToShort);
}

TEST(SimdSelection, SecondSelectionChangesNothing) {
  for (SimdBuild build : {SimdBuild::k64Bit, SimdBuild::k32Bit}) {
    SampleOpsTable once = SimdTable(build);
    SampleOpsTable twice = once;
    EXPECT_TRUE(InstallSseOps(twice, kAllFeatures, build));
    EXPECT_TRUE(InstallSse2Ops(twice, kAllFeatures, build));
    EXPECT_EQ(CompareBytes(&once, &twice, sizeof once), 0);
  }
}

// The global selection acts on `SampleOps` by `CpuInfo`; UsePlainSampleOps undoes it.
TEST(SimdSelection, GlobalSelectionFollowsTheProcessorAndCanBeUndone) {
  const SampleOpsTable saved = SampleOps;
  const WireChannelOpsTable savedWire = WireChannelOps;
  UsePlainSampleOps();
  EXPECT_TRUE(ChangedSlots(SampleOps).empty());
  const bool sse = SelectSseOps();
  const bool sse2 = SelectSse2Ops();
  EXPECT_EQ(sse, (CpuInfo.features & kCpuFeatureSse) != 0);
  EXPECT_EQ(sse2, (CpuInfo.features & kCpuFeatureSse2) != 0);
  SampleOpsTable expected = PlainSampleOps();
  InstallSseOps(expected, CpuInfo.features);
  InstallSse2Ops(expected, CpuInfo.features);
  EXPECT_EQ(CompareBytes(&SampleOps, &expected, sizeof expected), 0);
  const SampleOpsTable selected = SampleOps;
  SelectSseOps();
  SelectSse2Ops();
  EXPECT_EQ(CompareBytes(&SampleOps, &selected, sizeof selected), 0);
  UsePlainSampleOps();
  EXPECT_EQ(CompareBytes(&SampleOps, &PlainSampleOps(), sizeof SampleOps), 0);
  EXPECT_EQ(CompareBytes(&WireChannelOps, &PlainWireChannelOps(), sizeof WireChannelOps), 0);
  SampleOps = saved;
  WireChannelOps = savedWire;
}

// ---------------------------------------------------------------------------------------------------------
// FloatToShort (slot 6): the SSE2 variant and the 32-bit build's SSE+MMX variant

struct ShortVariant {
  const char* name;
  void (*op)(const float*, int16_t*, int32_t);
};

std::vector<ShortVariant> ShortVariants() {
  return {{"sse2", SimdTable(SimdBuild::k64Bit).FloatToShort},
          {"sse+mmx", SimdTable(SimdBuild::k32Bit).FloatToShort}};
}

std::vector<int16_t> RunShorts(void (*op)(const float*, int16_t*, int32_t), const std::vector<float>& in,
                               size_t srcOffset, size_t dstOffset) {
  Placed<float> src(in.size(), srcOffset);
  src.Set(in);
  Placed<int16_t> dst(in.size(), dstOffset);
  op(src.data(), dst.data(), static_cast<int32_t>(in.size()));
  EXPECT_TRUE(dst.GuardIntact()) << "wrote beyond " << in.size() << " values";
  return dst.Values();
}

TEST(SimdFloatToShort, EdgeCasesOnAlignedBuffers) {
  REQUIRE_SIMD();
  ASSERT_EQ(kTie16 * 32767.0f, 2.5f);
  const std::vector<float> in = {-2.0f, kTie16, -kTie16, kNaN, -kNaN, kInf,
                                 -kInf, 1.0f,   -1.0f,   0.0f, 0.5f,  -1.0000153f /* -32767.5 */,
                                 3e38f, -3e38f};
  const std::vector<int16_t> expected = {-32768, 2,      -2, 32767, 32767,  32767, -32768,
                                         32767,  -32767, 0,  16384, -32768, 32767, -32768};
  for (const ShortVariant& v : ShortVariants()) EXPECT_EQ(RunShorts(v.op, in, 0, 0), expected) << v.name;
}

TEST(SimdFloatToShort, UnalignedBuffersFallBackToThePlainRule) {
  REQUIRE_SIMD();
  const std::vector<float> in = {-2.0f, kTie16, -kTie16, kNaN, kInf, -kInf, 1.0f, -1.0f, 0.0f};
  std::vector<int16_t> plain(in.size());
  Plain().FloatToShort(in.data(), plain.data(), static_cast<int32_t>(in.size()));
  EXPECT_EQ(plain[0], -32767);
  EXPECT_EQ(plain[1], kBuild32 ? 2 : 3);
  EXPECT_EQ(plain[3], 0);
  for (const ShortVariant& v : ShortVariants()) {
    EXPECT_EQ(RunShorts(v.op, in, 4, 0), plain) << v.name << " source unaligned";
    EXPECT_EQ(RunShorts(v.op, in, 0, 2), plain) << v.name << " destination unaligned";
    EXPECT_EQ(RunShorts(v.op, in, 8, 6), plain) << v.name << " both unaligned";
  }
}

TEST(SimdFloatToShort, StoresExactlyCountValues) {
  REQUIRE_SIMD();
  for (const ShortVariant& v : ShortVariants()) {
    for (int32_t n : Lengths()) {
      const std::vector<float> in = RandomFloats(static_cast<size_t>(n), 11u + static_cast<uint32_t>(n));
      const std::vector<int16_t> out = RunShorts(v.op, in, 0, 0);  // checks the guard
      for (int32_t i = 0; i < n; ++i)
        ASSERT_EQ(out[static_cast<size_t>(i)], SimdShort(in[static_cast<size_t>(i)])) << v.name << " n=" << n;
    }
    // A count of zero or less writes nothing.
    Placed<int16_t> dst(0, 0);
    const float one[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    v.op(one, dst.data(), -3);
    EXPECT_TRUE(dst.GuardIntact());
  }
}

// Where the rules agree the outputs are equal. They differ by one step at most: at ties (the SIMD rule
// rounds them to even), at -32768, and within 1/128 of a tie, where the plain rule's clipping idiom, whose
// float terms round at the scale of 32767, moves the value across the half.
TEST(SimdFloatToShort, AgreesWithThePlainVariantOnRandomData) {
  REQUIRE_SIMD();
  std::vector<float> in = RandomFloats(20000, 5, 1.1f);
  // Exact ties of the scaled value: k + 0.5 for every k, and values at and beyond -32767.5.
  for (int k = -200; k < 200; ++k) in.push_back((static_cast<float>(k) + 0.5f) / 32767.0f);
  for (float x : {-1.0000153f, -1.0000152f, -1.0000154f, -1.00002f}) in.push_back(x);
  std::vector<int16_t> plain(in.size());
  Plain().FloatToShort(in.data(), plain.data(), static_cast<int32_t>(in.size()));
  for (const ShortVariant& v : ShortVariants()) {
    const std::vector<int16_t> simd = RunShorts(v.op, in, 0, 0);
    int differences = 0;
    for (size_t i = 0; i < in.size(); ++i) {
      ASSERT_EQ(simd[i], SimdShort(in[i])) << v.name << " x=" << in[i];
      const float scaled = Narrow(static_cast<double>(in[i]) * 32767.0);
      const bool tie = std::fabs(std::fabs(scaled - std::trunc(scaled)) - 0.5f) <= 1.0f / 128;
      if (simd[i] != plain[i]) {
        ++differences;
        EXPECT_LE(std::abs(simd[i] - plain[i]), 1) << v.name << " x=" << in[i];
        EXPECT_TRUE(tie || simd[i] == -32768) << v.name << " x=" << in[i];
      }
    }
    if (!kBuild32) {
      EXPECT_GT(differences, 0) << "the ties were expected to round differently";
    }
  }
}

// The relay's 16-bit path through the table: aligned host channel and wire area take the SIMD rule,
// unaligned ones the plain rule; the decoder is the same for both.
TEST(SimdFloatToShort, WireCodeTwoWithTheSimdTable) {
  REQUIRE_SIMD();
  const SampleOpsTable saved = SampleOps;
  SampleOps = SimdTable();
  const std::vector<float> in = {-2.0f, kTie16, kNaN, kInf, -kInf, 1.0f, -1.0f, 0.25f};
  Placed<float> src(in.size(), 0);
  src.Set(in);
  Placed<uint8_t> wire(in.size() * 2 + 2, 0);
  EXPECT_EQ(EncodeChannel(2, src.data(), wire.data(), static_cast<int32_t>(in.size())), 16);
  std::vector<int16_t> shorts(in.size());
  std::memcpy(shorts.data(), wire.data(), 16);
  EXPECT_EQ(shorts, (std::vector<int16_t>{-32768, 2, 32767, 32767, -32768, 32767, -32767, 8192}));
  std::vector<float> back(in.size());
  DecodeChannel(2, wire.data(), back.data(), static_cast<int32_t>(in.size()));
  EXPECT_FLOAT_EQ(back[0], -1.0000305f);
  EXPECT_EQ(back[5], 1.0f);
  // The wire area one byte further on is not aligned: the plain rule.
  EXPECT_EQ(EncodeChannel(2, src.data(), wire.data() + 2, static_cast<int32_t>(in.size())), 16);
  std::memcpy(shorts.data(), wire.data() + 2, 16);
  EXPECT_EQ(shorts[0], -32767);
  EXPECT_EQ(shorts[1], kBuild32 ? 2 : 3);
  EXPECT_EQ(shorts[2], 0);
  SampleOps = saved;
}

// ---------------------------------------------------------------------------------------------------------
// The other conversions

// Runs a conversion slot on random input for every length, aligned and (where the slot tests alignment)
// unaligned, and checks the guard. `check(in, out, aligned)` judges the values.
template <typename In, typename Out, typename Op, typename Make, typename Check>
void ForEveryLength(const char* name, Op op, Make make, size_t inPer, size_t outPer,
                    const std::vector<std::pair<size_t, size_t>>& offsets, Check check) {
  for (int32_t n : Lengths()) {
    const std::vector<In> values = make(static_cast<size_t>(n) * inPer, static_cast<uint32_t>(n) + 1u);
    for (const auto& [inOffset, outOffset] : offsets) {
      Placed<In> src(values.size(), inOffset);
      src.Set(values);
      Placed<Out> dst(static_cast<size_t>(n) * outPer, outOffset);
      op(src.data(), dst.data(), n);
      ASSERT_TRUE(dst.GuardIntact()) << name << " n=" << n << " offsets " << inOffset << "/" << outOffset;
      check(values, dst.Values(), inOffset == 0 && outOffset == 0, n);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

TEST(SimdConversions, DoubleToShortNarrowsToFloatFirst) {
  REQUIRE_SIMD();
  const SampleOpsTable simd = SimdTable();
  auto make = [](size_t n, uint32_t seed) {
    std::vector<double> v = RandomDoubles(n, seed, 1.1);
    if (n >= 6) {
      v[0] = -2.0;
      v[1] = kNaND;
      v[2] = kInfD;
      v[3] = -kInfD;
      v[4] = static_cast<double>(kTie16);
      v[5] = 2.5 / 32767.0;
    }
    return v;
  };
  ForEveryLength<double, int16_t>(
      "DoubleToShort", simd.DoubleToShort, make, 1, 1, {{0, 0}, {8, 0}, {0, 2}},
      [](const std::vector<double>& in, const std::vector<int16_t>& out, bool aligned, int32_t n) {
        std::vector<int16_t> plain(in.size());
        Plain().DoubleToShort(in.data(), plain.data(), n);
        for (size_t i = 0; i < in.size(); ++i) {
          if (!aligned) {
            ASSERT_EQ(out[i], plain[i]) << i;
          } else {
            ASSERT_EQ(out[i], SimdShort(Narrow(in[i]))) << i;
            ASSERT_TRUE(std::isnan(in[i]) || std::abs(out[i] - plain[i]) <= 1) << i;
          }
        }
      });
  double edge[4] = {-2.0, kNaND, kInfD, -kInfD};
  alignas(16) double src[4];
  std::memcpy(src, edge, sizeof src);
  alignas(16) int16_t dst[8] = {};
  simd.DoubleToShort(src, dst, 4);
  EXPECT_EQ(dst[0], -32768);
  EXPECT_EQ(dst[1], 32767);
  EXPECT_EQ(dst[2], 32767);
  EXPECT_EQ(dst[3], -32768);
}

// Slots 8 and 9 agree exactly with the plain rule; the packed side may lie anywhere.
TEST(SimdConversions, Int24ToFloatAndDouble) {
  REQUIRE_SIMD();
  const SampleOpsTable simd = SimdTable();
  const std::vector<std::pair<size_t, size_t>> offsets = {{0, 0}, {1, 0}, {3, 0}, {7, 0}};
  ForEveryLength<uint8_t, float>(
      "Int24ToFloat", simd.Int24ToFloat, RandomBytes, 3, 1, offsets,
      [](const std::vector<uint8_t>& in, const std::vector<float>& out, bool, int32_t n) {
        std::vector<float> plain(out.size());
        Plain().Int24ToFloat(in.data(), plain.data(), n);
        EXPECT_EQ(CompareBytes(out.data(), plain.data(), out.size() * 4), 0);
      });
  ForEveryLength<uint8_t, double>(
      "Int24ToDouble", simd.Int24ToDouble, RandomBytes, 3, 1, offsets,
      [](const std::vector<uint8_t>& in, const std::vector<double>& out, bool, int32_t n) {
        std::vector<double> plain(out.size());
        Plain().Int24ToDouble(in.data(), plain.data(), n);
        EXPECT_EQ(CompareBytes(out.data(), plain.data(), out.size() * 8), 0);
      });
  alignas(16) float f[4];
  const uint8_t extremes[12] = {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
  simd.Int24ToFloat(extremes, f, 4);
  EXPECT_EQ(f[0], 8388607.0f / 8388608.0f);
  EXPECT_EQ(f[1], -1.0f);
  EXPECT_EQ(f[2], 0.0f);
  EXPECT_EQ(f[3], 1.0f / 8388608.0f);
}

int32_t Int24Value(const std::vector<uint8_t>& bytes, size_t i) {
  const uint32_t u =
      (uint32_t{bytes[3 * i]} << 8) | (uint32_t{bytes[3 * i + 1]} << 16) | (uint32_t{bytes[3 * i + 2]} << 24);
  return static_cast<int32_t>(u) >> 8;
}

// Slot 10: x * 2^31 limited to [-2^31, 2147483520], bytes 1..3 kept; slot 11 the same in double with
// 2147483647. One or two steps from the plain rule (x * 8388607, rounded).
TEST(SimdConversions, FloatAndDoubleToInt24) {
  REQUIRE_SIMD();
  const SampleOpsTable simd = SimdTable();
  const std::vector<std::pair<size_t, size_t>> offsets = {{0, 0}, {0, 1}, {0, 5}};
  ForEveryLength<float, uint8_t>(
      "FloatToInt24", simd.FloatToInt24, [](size_t n, uint32_t s) { return RandomFloats(n, s); }, 1, 3,
      offsets,
      [](const std::vector<float>& in, const std::vector<uint8_t>& out, bool, int32_t n) {
        std::vector<uint8_t> plain(out.size());
        Plain().FloatToInt24(in.data(), plain.data(), n);
        for (size_t i = 0; i < in.size(); ++i) {
          const int32_t expected = SimdRule(in[i], 2147483648.0f, 2147483520.0f, -2147483648.0f) >> 8;
          ASSERT_EQ(Int24Value(out, i), expected) << in[i];
          ASSERT_LE(std::abs(Int24Value(out, i) - Int24Value(plain, i)), 2) << in[i];
        }
      });
  ForEveryLength<double, uint8_t>(
      "DoubleToInt24", simd.DoubleToInt24, [](size_t n, uint32_t s) { return RandomDoubles(n, s); }, 1, 3,
      offsets,
      [](const std::vector<double>& in, const std::vector<uint8_t>& out, bool, int32_t n) {
        std::vector<uint8_t> plain(out.size());
        Plain().DoubleToInt24(in.data(), plain.data(), n);
        for (size_t i = 0; i < in.size(); ++i) {
          const int32_t expected = SimdRuleD(in[i], 2147483647.0, 2147483647.0, -2147483648.0) >> 8;
          ASSERT_EQ(Int24Value(out, i), expected) << in[i];
          ASSERT_LE(std::abs(Int24Value(out, i) - Int24Value(plain, i)), 2) << in[i];
        }
      });
  alignas(16) float f[4] = {1.0f, -1.0f, kNaN, -kInf};
  uint8_t b[12];
  simd.FloatToInt24(f, b, 4);
  const std::vector<uint8_t> bytes(b, b + 12);
  EXPECT_EQ(Int24Value(bytes, 0), 8388607);
  EXPECT_EQ(Int24Value(bytes, 1), -8388608);
  EXPECT_EQ(Int24Value(bytes, 2), 8388607);
  EXPECT_EQ(Int24Value(bytes, 3), -8388608);
}

TEST(SimdConversions, Int32AndIntNToFloat) {
  REQUIRE_SIMD();
  const SampleOpsTable simd = SimdTable();
  const std::vector<std::pair<size_t, size_t>> offsets = {{0, 0}, {4, 0}, {0, 4}};
  ForEveryLength<int32_t, float>(
      "Int32ToFloat", simd.Int32ToFloat, RandomInts, 1, 1, offsets,
      [](const std::vector<int32_t>& in, const std::vector<float>& out, bool aligned, int32_t n) {
        std::vector<float> plain(out.size());
        Plain().Int32ToFloat(in.data(), plain.data(), n);
        for (size_t i = 0; i < in.size(); ++i) {
          if (aligned) {
            ASSERT_EQ(out[i], Narrow(static_cast<float>(in[i])) * 0x1p-31f) << in[i];
            ASSERT_NEAR(out[i], plain[i], 2.5e-7f) << in[i];
          } else {
            ASSERT_EQ(out[i], plain[i]) << in[i];
          }
        }
      });
  for (int32_t bits : {1, 8, 16, 20, 24, 31, 32}) {
    auto op = [&](const int32_t* src, float* dst, int32_t n) { simd.IntNToFloat(src, dst, bits, n); };
    auto make = [bits](size_t n, uint32_t seed) {
      std::vector<int32_t> v = RandomInts(n, seed);
      for (int32_t& x : v) x = bits == 32 ? x : x >> (32 - bits);
      return v;
    };
    ForEveryLength<int32_t, float>(
        "IntNToFloat", op, make, 1, 1, offsets,
        [bits](const std::vector<int32_t>& in, const std::vector<float>& out, bool, int32_t n) {
          std::vector<float> plain(out.size());
          Plain().IntNToFloat(in.data(), plain.data(), bits, n);
          if (kPlainFloatIsExact) {
            EXPECT_EQ(CompareBytes(out.data(), plain.data(), out.size() * 4), 0) << bits;
          } else {
            for (size_t i = 0; i < in.size(); ++i) ASSERT_NEAR(out[i], plain[i], 2.5e-7f);
          }
        });
  }
  alignas(16) int32_t src[4] = {1, 2, 3, 4};
  alignas(16) float dst[4] = {7.0f, 7.0f, 7.0f, 7.0f};
  for (int32_t bits : {0, 33, -1}) simd.IntNToFloat(src, dst, bits, 4);
  EXPECT_EQ(dst[0], 7.0f);
  alignas(16) int32_t min8[4] = {-128, 127, 0, -1};
  simd.IntNToFloat(min8, dst, 8, 4);
  EXPECT_EQ(dst[0], -1.0f);
  EXPECT_EQ(dst[1], 127.0f / 128.0f);
  EXPECT_EQ(dst[3], -1.0f / 128.0f);
}

TEST(SimdConversions, FloatAndDoubleToInt32) {
  REQUIRE_SIMD();
  const SampleOpsTable simd = SimdTable();
  const std::vector<std::pair<size_t, size_t>> floatOffsets = {{0, 0}, {4, 0}, {0, 4}};
  ForEveryLength<float, int32_t>(
      "FloatToInt32", simd.FloatToInt32, [](size_t n, uint32_t s) { return RandomFloats(n, s); }, 1, 1,
      floatOffsets,
      [](const std::vector<float>& in, const std::vector<int32_t>& out, bool aligned, int32_t n) {
        std::vector<int32_t> plain(out.size());
        Plain().FloatToInt32(in.data(), plain.data(), n);
        for (size_t i = 0; i < in.size(); ++i) {
          if (!aligned) {
            ASSERT_EQ(out[i], plain[i]);
            continue;
          }
          ASSERT_EQ(out[i], SimdRule(in[i], 2147483648.0f, 2147483520.0f, -2147483648.0f)) << in[i];
          ASSERT_LE(std::abs(static_cast<int64_t>(out[i]) - plain[i]), 128) << in[i];
        }
      });
  ForEveryLength<double, int32_t>(
      "DoubleToInt32", simd.DoubleToInt32, [](size_t n, uint32_t s) { return RandomDoubles(n, s); }, 1, 1,
      {{0, 0}, {8, 0}, {0, 4}},
      [](const std::vector<double>& in, const std::vector<int32_t>& out, bool aligned, int32_t n) {
        std::vector<int32_t> plain(out.size());
        Plain().DoubleToInt32(in.data(), plain.data(), n);
        for (size_t i = 0; i < in.size(); ++i) {
          if (!aligned) {
            ASSERT_EQ(out[i], plain[i]);
            continue;
          }
          ASSERT_EQ(out[i], SimdRuleD(in[i], 2147483647.0, 2147483647.0, -2147483648.0)) << in[i];
          // The plain rule clips to +-1 first, so only values below -1 reach -2^31.
          ASSERT_LE(std::abs(static_cast<int64_t>(out[i]) - plain[i]), in[i] < -1.0 ? 1 : 0) << in[i];
        }
      });
  alignas(16) float f[4] = {1.0f, -1.0f, kNaN, kInf};
  alignas(16) int32_t out[4];
  simd.FloatToInt32(f, out, 4);
  EXPECT_EQ(out[0], 2147483520);
  EXPECT_EQ(out[1], std::numeric_limits<int32_t>::min());
  EXPECT_EQ(out[2], 2147483520);
  EXPECT_EQ(out[3], 2147483520);
  alignas(16) double d[4] = {1.0, -2.0, kNaND, -kInfD};
  simd.DoubleToInt32(d, out, 4);
  EXPECT_EQ(out[0], 2147483647);
  EXPECT_EQ(out[1], std::numeric_limits<int32_t>::min());
  EXPECT_EQ(out[2], 2147483647);
  EXPECT_EQ(out[3], std::numeric_limits<int32_t>::min());
}

TEST(SimdConversions, FloatAndDoubleToIntN) {
  REQUIRE_SIMD();
  const SampleOpsTable simd = SimdTable();
  for (int32_t bits : {1, 8, 16, 20, 24, 25, 31, 32}) {
    const int32_t shift = 32 - bits;
    const auto half = static_cast<double>(int64_t{1} << (bits - 1));
    const auto upperF = static_cast<float>(int64_t{2147483520} >> shift);
    const auto upperD = static_cast<double>(int64_t{2147483647} >> shift);
    // The plain rule scales by floor(2147483647 / 2^shift) after clipping; the float rule by 2^(bits - 1).
    const int64_t floatTolerance = bits > 24 ? (int64_t{1} << (bits - 25)) + 2 : 2;
    auto floatOp = [&](const float* src, int32_t* dst, int32_t n) { simd.FloatToIntN(src, dst, bits, n); };
    ForEveryLength<float, int32_t>(
        "FloatToIntN", floatOp, [](size_t n, uint32_t s) { return RandomFloats(n, s); }, 1, 1,
        {{0, 0}, {4, 0}, {0, 12}},
        [&](const std::vector<float>& in, const std::vector<int32_t>& out, bool aligned, int32_t n) {
          std::vector<int32_t> plain(out.size());
          Plain().FloatToIntN(in.data(), plain.data(), bits, n);
          for (size_t i = 0; i < in.size(); ++i) {
            if (!aligned) {
              ASSERT_EQ(out[i], plain[i]);
              continue;
            }
            ASSERT_EQ(out[i], SimdRule(in[i], static_cast<float>(half), upperF, static_cast<float>(-half)))
                << bits << " " << in[i];
            ASSERT_LE(std::abs(static_cast<int64_t>(out[i]) - plain[i]), floatTolerance)
                << bits << " " << in[i];
          }
        });
    auto doubleOp = [&](const double* src, int32_t* dst, int32_t n) { simd.DoubleToIntN(src, dst, bits, n); };
    ForEveryLength<double, int32_t>(
        "DoubleToIntN", doubleOp, [](size_t n, uint32_t s) { return RandomDoubles(n, s); }, 1, 1,
        {{0, 0}, {8, 0}, {0, 4}},
        [&](const std::vector<double>& in, const std::vector<int32_t>& out, bool aligned, int32_t n) {
          std::vector<int32_t> plain(out.size());
          Plain().DoubleToIntN(in.data(), plain.data(), bits, n);
          for (size_t i = 0; i < in.size(); ++i) {
            if (!aligned) {
              ASSERT_EQ(out[i], plain[i]);
              continue;
            }
            ASSERT_EQ(out[i], SimdRuleD(in[i], upperD, upperD, -half)) << bits << " " << in[i];
            ASSERT_LE(std::abs(static_cast<int64_t>(out[i]) - plain[i]), 1) << bits << " " << in[i];
          }
        });
  }
  // The limits of a 16-bit sample: scale 32768, upper 32767, lower -32768.
  alignas(16) float f[4] = {1.0f, -1.0f, 0.5f, kNaN};
  alignas(16) int32_t out[4] = {9, 9, 9, 9};
  simd.FloatToIntN(f, out, 16, 4);
  EXPECT_EQ(out[0], 32767);
  EXPECT_EQ(out[1], -32768);
  EXPECT_EQ(out[2], 16384);
  EXPECT_EQ(out[3], 32767);
  alignas(16) double d[4] = {1.0, -1.0, -2.0, kNaND};
  simd.DoubleToIntN(d, out, 16, 4);
  EXPECT_EQ(out[0], 32767);
  EXPECT_EQ(out[1], -32767);
  EXPECT_EQ(out[2], -32768);
  EXPECT_EQ(out[3], 32767);
  // Widths outside 1..32 write nothing.
  for (int32_t bits : {0, 33}) {
    out[0] = 5;
    simd.FloatToIntN(f, out, bits, 4);
    simd.DoubleToIntN(d, out, bits, 4);
    EXPECT_EQ(out[0], 5);
  }
}

// ---------------------------------------------------------------------------------------------------------
// Arithmetic slots: whole 16-byte groups on aligned, padded buffers

template <typename T>
constexpr size_t kGroup = 16 / sizeof(T);

template <typename T>
size_t Padded(int32_t n) {
  return (static_cast<size_t>(n) + kGroup<T> - 1) / kGroup<T> * kGroup<T>;
}

template <typename T>
std::vector<T> RandomValues(size_t n, uint32_t seed, double range) {
  if constexpr (sizeof(T) == 4) {
    return RandomFloats(n, seed, static_cast<float>(range));
  } else {
    return RandomDoubles(n, seed, range);
  }
}

template <typename T>
void ExpectSame(const std::vector<T>& simd, const std::vector<T>& plain, size_t n, double absTolerance,
                const char* what) {
  // The 32-bit build's plain members compute in the x87 unit at its working
  // precision, so they differ from the SIMD members in the last bits.
  constexpr bool kPlainIsX87 = sizeof(void*) == 4;
  for (size_t i = 0; i < n; ++i) {
    if (kPlainIsX87) {
      const double relative = 1e-5 * std::fabs(static_cast<double>(plain[i]));
      const double tolerance = std::max(absTolerance, std::max(relative, 1e-6));
      ASSERT_NEAR(simd[i], plain[i], tolerance) << what << " i=" << i << " n=" << n;
    } else if (absTolerance == 0 && (sizeof(T) == 8 || kPlainFloatIsExact)) {
      ASSERT_EQ(simd[i], plain[i]) << what << " i=" << i << " n=" << n;
    } else {
      const double tolerance =
          absTolerance > 0 ? absTolerance : 1e-6 * std::fabs(static_cast<double>(plain[i]));
      ASSERT_NEAR(simd[i], plain[i], tolerance) << what << " i=" << i << " n=" << n;
    }
  }
}

// Runs an in-place or out-of-place arithmetic member of the SIMD table and of the plain table on the same
// random data and compares the first n results. The SIMD member's padding is processed too, and nothing
// beyond the padded group is touched.
template <typename T, typename Simd, typename PlainOp>
void CompareArithmetic(const char* what, Simd simdOp, PlainOp plainOp, double tolerance = 0,
                       double range = 4.0) {
  for (int32_t n : Lengths()) {
    const size_t padded = Padded<T>(n);
    const std::vector<T> a = RandomValues<T>(padded, 100u + static_cast<uint32_t>(n), range);
    const std::vector<T> b = RandomValues<T>(padded, 200u + static_cast<uint32_t>(n), range);
    Placed<T> srcS(padded, 0), dstS(padded, 0);
    srcS.Set(a);
    dstS.Set(b);
    simdOp(srcS.data(), dstS.data(), n);
    ASSERT_TRUE(dstS.GuardIntact()) << what << " n=" << n;
    std::vector<T> src = a, dst = b;
    plainOp(src.data(), dst.data(), static_cast<int32_t>(padded));
    ExpectSame(dstS.Values(), dst, n > 0 ? padded : 0, tolerance, what);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// Adapters giving every arithmetic member the (src, dst, count) shape of the comparison.
template <typename T>
struct Arith {
  using InPlace = void (*)(T*, int32_t, double);
  using OutOfPlace = void (*)(const T*, T*, int32_t, double);
  using Pair = void (*)(const T*, T*, int32_t);
  using Unary = void (*)(T*, int32_t);
  using UnaryTo = void (*)(const T*, T*, int32_t);
};

template <typename T>
void CheckArithmeticFamily(const SampleOpsTable& simd, typename Arith<T>::InPlace simdAdd,
                           typename Arith<T>::InPlace plainAdd, typename Arith<T>::OutOfPlace simdAddTo,
                           typename Arith<T>::OutOfPlace plainAddTo, typename Arith<T>::Pair simdAcc,
                           typename Arith<T>::Pair plainAcc, typename Arith<T>::InPlace simdScale,
                           typename Arith<T>::InPlace plainScale, typename Arith<T>::OutOfPlace simdScaleTo,
                           typename Arith<T>::OutOfPlace plainScaleTo, typename Arith<T>::Pair simdMul,
                           typename Arith<T>::Pair plainMul, typename Arith<T>::OutOfPlace simdMix,
                           typename Arith<T>::OutOfPlace plainMix) {
  for (double value : {0.0, 1.0, 0.3, -2.75, 1e-3}) {
    SCOPED_TRACE(value);
    CompareArithmetic<T>(
        "Add", [&](const T*, T* d, int32_t n) { simdAdd(d, n, value); },
        [&](const T*, T* d, int32_t n) { plainAdd(d, n, value); });
    CompareArithmetic<T>(
        "AddTo", [&](const T* s, T* d, int32_t n) { simdAddTo(s, d, n, value); },
        [&](const T* s, T* d, int32_t n) { plainAddTo(s, d, n, value); });
    CompareArithmetic<T>(
        "Scale", [&](const T*, T* d, int32_t n) { simdScale(d, n, value); },
        [&](const T*, T* d, int32_t n) { plainScale(d, n, value); });
    CompareArithmetic<T>(
        "ScaleTo", [&](const T* s, T* d, int32_t n) { simdScaleTo(s, d, n, value); },
        [&](const T* s, T* d, int32_t n) { plainScaleTo(s, d, n, value); });
    CompareArithmetic<T>(
        "Mix", [&](const T* s, T* d, int32_t n) { simdMix(s, d, n, value); },
        [&](const T* s, T* d, int32_t n) { plainMix(s, d, n, value); });
  }
  CompareArithmetic<T>("Accumulate", simdAcc, plainAcc);
  CompareArithmetic<T>("Multiply", simdMul, plainMul);
  (void)simd;
}

TEST(SimdArithmetic, FloatMembersAgreeWithPlain) {
  REQUIRE_SIMD();
  const SampleOpsTable s = SimdTable();
  const SampleOpsTable& p = Plain();
  CheckArithmeticFamily<float>(s, s.AddFloat, p.AddFloat, s.AddFloatTo, p.AddFloatTo, s.AccumulateFloat,
                               p.AccumulateFloat, s.ScaleFloat, p.ScaleFloat, s.ScaleFloatTo, p.ScaleFloatTo,
                               s.MultiplyFloat, p.MultiplyFloat, s.MixFloat, p.MixFloat);
}

TEST(SimdArithmetic, DoubleMembersAgreeWithPlain) {
  REQUIRE_SIMD();
  const SampleOpsTable s = SimdTable();
  const SampleOpsTable& p = Plain();
  CheckArithmeticFamily<double>(s, s.AddDouble, p.AddDouble, s.AddDoubleTo, p.AddDoubleTo, s.AccumulateDouble,
                                p.AccumulateDouble, s.ScaleDouble, p.ScaleDouble, s.ScaleDoubleTo,
                                p.ScaleDoubleTo, s.MultiplyDouble, p.MultiplyDouble, s.MixDouble,
                                p.MixDouble);
}

// The plain clipper computes the clipping idiom, whose terms round at the scale of 3; the SIMD clipper uses
// min and max. So they agree within a few units in the last place of 3.
TEST(SimdArithmetic, SoftClipAgreesWithPlain) {
  REQUIRE_SIMD();
  const SampleOpsTable s = SimdTable();
  const SampleOpsTable& p = Plain();
  CompareArithmetic<float>(
      "SoftClipFloat", [&](const float*, float* d, int32_t n) { s.SoftClipFloat(d, n); },
      [&](const float*, float* d, int32_t n) { p.SoftClipFloat(d, n); }, 1e-6, 5.0);
  CompareArithmetic<float>("SoftClipFloatTo", s.SoftClipFloatTo, p.SoftClipFloatTo, 1e-6, 5.0);
  CompareArithmetic<double>(
      "SoftClipDouble", [&](const double*, double* d, int32_t n) { s.SoftClipDouble(d, n); },
      [&](const double*, double* d, int32_t n) { p.SoftClipDouble(d, n); }, 1e-14, 5.0);
  CompareArithmetic<double>("SoftClipDoubleTo", s.SoftClipDoubleTo, p.SoftClipDoubleTo, 1e-14, 5.0);

  alignas(16) float f[8] = {3.0f, -3.0f, 10.0f, -1e30f, kInf, -kInf, 0.0f, 1.0f};
  s.SoftClipFloat(f, 8);
  EXPECT_EQ(f[0], 1.0f);
  EXPECT_EQ(f[1], -1.0f);
  EXPECT_EQ(f[2], 1.0f);
  EXPECT_EQ(f[3], -1.0f);
  EXPECT_EQ(f[4], 1.0f);
  EXPECT_EQ(f[5], -1.0f);
  EXPECT_EQ(f[6], 0.0f);
  EXPECT_FLOAT_EQ(f[7], 28.0f / 36.0f);
  alignas(16) double d[4] = {3.0, -10.0, 0.0, -1.0};
  s.SoftClipDouble(d, 4);
  EXPECT_EQ(d[0], 1.0);
  EXPECT_EQ(d[1], -1.0);
  EXPECT_EQ(d[2], 0.0);
  EXPECT_DOUBLE_EQ(d[3], -28.0 / 36.0);
}

// The padding of the last group is processed too; the group after it is not.
TEST(SimdArithmetic, WholeGroupsIncludingThePadding) {
  REQUIRE_SIMD();
  const SampleOpsTable s = SimdTable();
  alignas(16) float f[12] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  s.AddFloat(f, 5, 2.0);
  EXPECT_EQ(f[4], 3.0f);
  EXPECT_EQ(f[7], 3.0f);
  EXPECT_EQ(f[8], 1.0f);
  alignas(16) double d[4] = {1, 1, 1, 1};
  s.ScaleDouble(d, 1, 0.5);
  EXPECT_EQ(d[1], 0.5);
  EXPECT_EQ(d[2], 1.0);
  s.AddFloat(f, 0, 2.0);
  s.ScaleDouble(d, -4, 0.0);
  EXPECT_EQ(f[0], 3.0f);
  EXPECT_EQ(d[0], 0.5);
}

TEST(SimdArithmetic, LevelsAgreeWithPlain) {
  REQUIRE_SIMD();
  const SampleOpsTable s = SimdTable();
  const SampleOpsTable& p = Plain();
  for (int32_t n : Lengths()) {
    Placed<float> f(Padded<float>(n), 0);
    std::vector<float> fv = RandomFloats(Padded<float>(n), 300u + static_cast<uint32_t>(n), 2.0f);
    for (size_t i = static_cast<size_t>(n); i < fv.size(); ++i) fv[i] = 0.0f;  // zero padding
    f.Set(fv);
    EXPECT_EQ(s.PeakFloat(f.data(), n), p.PeakFloat(fv.data(), n)) << n;
    const float rms = p.RmsFloat(fv.data(), n);
    EXPECT_NEAR(s.RmsFloat(f.data(), n), rms, 1e-5f * rms) << n;

    Placed<double> d(Padded<double>(n), 0);
    std::vector<double> dv = RandomDoubles(Padded<double>(n), 400u + static_cast<uint32_t>(n), 2.0);
    for (size_t i = static_cast<size_t>(n); i < dv.size(); ++i) dv[i] = 0.0;
    d.Set(dv);
    EXPECT_EQ(s.PeakDouble(d.data(), n), p.PeakDouble(dv.data(), n)) << n;
    const double rmsD = p.RmsDouble(dv.data(), n);
    EXPECT_NEAR(s.RmsDouble(d.data(), n), rmsD, 1e-13 * rmsD) << n;
  }
  // A long block: the float sums stay accurate.
  std::vector<float> ones(1 << 16, 0.5f);
  Placed<float> big(ones.size(), 0);
  big.Set(ones);
  EXPECT_EQ(s.RmsFloat(big.data(), static_cast<int32_t>(ones.size())), 0.5f);
  EXPECT_EQ(s.PeakFloat(big.data(), static_cast<int32_t>(ones.size())), 0.5f);
  // Empty counts and silence give 0; a NaN is passed over by the peak as in the plain member.
  alignas(16) float edge[4] = {0.0f, -0.0f, 0.0f, 0.0f};
  EXPECT_EQ(s.RmsFloat(edge, 4), 0.0f);
  EXPECT_EQ(s.RmsFloat(edge, 0), 0.0f);
  EXPECT_EQ(s.PeakFloat(edge, -1), 0.0f);
  alignas(16) float withNaN[4] = {0.25f, kNaN, -0.75f, 0.0f};
  EXPECT_EQ(s.PeakFloat(withNaN, 4), 0.75f);
  EXPECT_EQ(p.PeakFloat(withNaN, 4), 0.75f);
  alignas(16) double edgeD[2] = {0.0, 0.0};
  EXPECT_EQ(s.RmsDouble(edgeD, 2), 0.0);
  EXPECT_EQ(s.PeakDouble(edgeD, 0), 0.0);
  alignas(16) double negD[2] = {-3.0, 1.0};
  EXPECT_EQ(s.PeakDouble(negD, 2), 3.0);
}

// ---------------------------------------------------------------------------------------------------------
// Wire converters of codes 1 and 3: the SIMD ones give exactly the portable ones' bytes and floats

WireChannelOpsTable SimdWire(SimdBuild build) {
  WireChannelOpsTable table = PlainWireChannelOps();
  InstallSse2WireOps(table, kAllFeatures, build);
  return table;
}

// Values around every rounding tie of code 1, clipping limits, specials and random samples.
std::vector<float> Code1Samples() {
  std::vector<float> v = RandomFloats(50000, 17, 1.3f);
  for (int k = -128; k <= 128; ++k) {
    const float tie = (static_cast<float>(k) + 0.5f) / 127.0f;
    float below = tie, above = tie;
    for (int step = 0; step < 4; ++step) {
      v.push_back(below);
      v.push_back(above);
      below = std::nextafter(below, -kInf);
      above = std::nextafter(above, kInf);
    }
  }
  for (float x : {0.0f,       -0.0f,      1.0f,        -1.0f,  2.0f,
                  -2.0f,      1e5f,       -1e5f,       3e38f,  -3e38f,
                  kInf,       -kInf,      kNaN,        -kNaN,  1e-30f,
                  -1e-30f,    1e-45f,     kTie8,       -kTie8, 0.49999997f / 127.0f,
                  1.0000001f, 2.0000002f, -2.0000002f, 600.0f, 1.9999999f,
                  -1.9999999f})
    v.push_back(x);
  // A stride through every bit pattern.
  for (uint64_t bits = 0; bits < (uint64_t{1} << 32); bits += 65537) {
    const auto b = static_cast<uint32_t>(bits);
    float x;
    std::memcpy(&x, &b, sizeof x);
    v.push_back(x);
  }
  return v;
}

TEST(SimdWireConverters, CodeOneEncoderMatchesThePortableOneExactly) {
  REQUIRE_SIMD();
  const std::vector<float> in = Code1Samples();
  // The portable encoder of this build, against the SIMD encoder with this build's rounding rule.
  std::vector<unsigned char> plain(in.size());
  PlainWireChannelOps().EncodeUnsigned8(in.data(), plain.data(), static_cast<int32_t>(in.size()));
  const WireChannelOpsTable simd = SimdWire(tovik::formats::kSimdBuild);
  for (size_t offset : {0u, 1u, 3u}) {
    std::vector<float> shifted(offset, 0.0f);
    shifted.insert(shifted.end(), in.begin(), in.end());
    std::vector<unsigned char> out(in.size() + 5, 0xA5);
    simd.EncodeUnsigned8(shifted.data() + offset, out.data() + offset % 2, static_cast<int32_t>(in.size()));
    for (size_t i = 0; i < in.size(); ++i)
      ASSERT_EQ(out[i + offset % 2], plain[i]) << "x=" << in[i] << " bits " << std::hex << [&] {
        uint32_t b;
        std::memcpy(&b, &in[i], 4);
        return b;
      }();
    EXPECT_EQ(out[in.size() + offset % 2], 0xA5);
  }
  // Both rules on their edge cases, whichever build runs the test.
  const std::vector<float> edge = {0.0f, 1.0f, -1.0f, 2.0f, kNaN, kInf, -kInf, kTie8, -kTie8};
  std::vector<unsigned char> away(edge.size()), even(edge.size());
  SimdWire(SimdBuild::k64Bit).EncodeUnsigned8(edge.data(), away.data(), static_cast<int32_t>(edge.size()));
  SimdWire(SimdBuild::k32Bit).EncodeUnsigned8(edge.data(), even.data(), static_cast<int32_t>(edge.size()));
  EXPECT_EQ(away, (std::vector<unsigned char>{128, 255, 1, 255, 128, 255, 1, 131, 125}));
  EXPECT_EQ(even, (std::vector<unsigned char>{128, 255, 1, 255, 128, 255, 1, 130, 126}));
}

TEST(SimdWireConverters, EveryLengthWritesExactlyNBytesOrFloats) {
  REQUIRE_SIMD();
  const WireChannelOpsTable simd = SimdWire(tovik::formats::kSimdBuild);
  const WireChannelOpsTable& plain = PlainWireChannelOps();
  for (int32_t n : Lengths()) {
    const auto count = static_cast<size_t>(n);
    const std::vector<float> in = RandomFloats(count, 900u + static_cast<uint32_t>(n), 1.2f);
    for (size_t offset : {0u, 1u, 2u, 5u}) {
      SCOPED_TRACE(testing::Message() << "n=" << n << " offset " << offset);
      Placed<uint8_t> wire8(count, offset), wire24(3 * count, offset);
      simd.EncodeUnsigned8(in.data(), wire8.data(), n);
      simd.EncodeFloat24(in.data(), wire24.data(), n);
      ASSERT_TRUE(wire8.GuardIntact());
      ASSERT_TRUE(wire24.GuardIntact());
      std::vector<uint8_t> plain8(count), plain24(3 * count);
      plain.EncodeUnsigned8(in.data(), plain8.data(), n);
      plain.EncodeFloat24(in.data(), plain24.data(), n);
      ASSERT_EQ(wire8.Values(), plain8);
      ASSERT_EQ(wire24.Values(), plain24);

      Placed<float> back8(count, offset % 4 * 4), back24(count, offset % 4 * 4);
      simd.DecodeUnsigned8(wire8.data(), back8.data(), n);
      simd.DecodeFloat24(wire24.data(), back24.data(), n);
      ASSERT_TRUE(back8.GuardIntact());
      ASSERT_TRUE(back24.GuardIntact());
      std::vector<float> plainBack8(count), plainBack24(count);
      plain.DecodeUnsigned8(plain8.data(), plainBack8.data(), n);
      plain.DecodeFloat24(plain24.data(), plainBack24.data(), n);
      if (count > 0) {  // no pointers to compare behind empty vectors
        ASSERT_EQ(CompareBytes(back8.Values().data(), plainBack8.data(), 4 * count), 0);
        ASSERT_EQ(CompareBytes(back24.Values().data(), plainBack24.data(), 4 * count), 0);
      }
    }
  }
}

TEST(SimdWireConverters, DecodersCoverEveryWireValue) {
  REQUIRE_SIMD();
  const WireChannelOpsTable simd = SimdWire(tovik::formats::kSimdBuild);
  std::vector<unsigned char> all(256);
  for (int b = 0; b < 256; ++b) all[static_cast<size_t>(b)] = static_cast<unsigned char>(b);
  std::vector<float> a(256), b(256);
  simd.DecodeUnsigned8(all.data(), a.data(), 256);
  PlainWireChannelOps().DecodeUnsigned8(all.data(), b.data(), 256);
  EXPECT_EQ(CompareBytes(a.data(), b.data(), sizeof(float) * 256), 0);
  EXPECT_EQ(a[128], 0.0f);
  EXPECT_EQ(a[255], 1.0f);
  EXPECT_EQ(a[1], -1.0f);
  // Every float bit pattern on a stride (NaNs and infinities included) through code 3 and back.
  std::vector<float> in;
  for (uint64_t bits = 0; bits < (uint64_t{1} << 32); bits += 4099) {
    const auto u = static_cast<uint32_t>(bits);
    float x;
    std::memcpy(&x, &u, sizeof x);
    in.push_back(x);
  }
  const auto n = static_cast<int32_t>(in.size());
  std::vector<unsigned char> wire(3 * in.size());
  simd.EncodeFloat24(in.data(), wire.data(), n);
  std::vector<float> back(in.size());
  simd.DecodeFloat24(wire.data(), back.data(), n);
  for (size_t i = 0; i < in.size(); ++i) {
    uint32_t u, v;
    std::memcpy(&u, &in[i], 4);
    std::memcpy(&v, &back[i], 4);
    ASSERT_EQ(v, u & 0xFFFFFF00u) << std::hex << u;
  }
}

// The relay's wire path with the selection installed gives the bytes of the wire rules.
TEST(SimdWireConverters, EncodeChannelWithTheSelection) {
  REQUIRE_SIMD();
  const SampleOpsTable saved = SampleOps;
  const WireChannelOpsTable savedWire = WireChannelOps;
  UsePlainSampleOps();
  SelectSseOps();
  SelectSse2Ops();
  const std::vector<float> in = {0.0f, 1.0f, -1.0f, 2.0f, kTie8, -kTie8, kNaN, -kInf};
  std::vector<unsigned char> out(in.size());
  EXPECT_EQ(EncodeChannel(1, in.data(), out.data(), static_cast<int32_t>(in.size())), 8);
  EXPECT_EQ(out,
            (std::vector<unsigned char>{128, 255, 1, 255, static_cast<unsigned char>(kBuild32 ? 130 : 131),
                                        static_cast<unsigned char>(kBuild32 ? 126 : 125), 128, 1}));
  const float third = 1.0f / 3.0f;  // bits 0x3EAAAAAB
  std::vector<unsigned char> three(3);
  EXPECT_EQ(EncodeChannel(3, &third, three.data(), 1), 3);
  EXPECT_EQ(three, (std::vector<unsigned char>{0xAA, 0xAA, 0x3E}));
  float back = 0;
  DecodeChannel(3, three.data(), &back, 1);
  uint32_t bits;
  std::memcpy(&bits, &back, 4);
  EXPECT_EQ(bits, 0x3EAAAA00u);
  SampleOps = saved;
  WireChannelOps = savedWire;
}

}  // namespace
