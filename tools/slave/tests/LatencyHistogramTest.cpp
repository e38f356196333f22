#include <gtest/gtest.h>

#include "LatencyHistogram.h"

namespace tovik::slave {
namespace {

TEST(LatencyHistogram, EmptyReportsZero) {
  CLatencyHistogram histogram;
  EXPECT_EQ(histogram.Count(), 0u);
  EXPECT_EQ(histogram.Quantile(0.5), 0);
  EXPECT_EQ(histogram.Max(), 0);
}

TEST(LatencyHistogram, SmallValuesAreExact) {
  CLatencyHistogram histogram;
  for (int64_t v = 1; v <= 100; ++v) histogram.Record(v);
  EXPECT_EQ(histogram.Count(), 100u);
  EXPECT_EQ(histogram.Quantile(0.5), 50);
  EXPECT_EQ(histogram.Quantile(0.99), 99);
  EXPECT_EQ(histogram.Quantile(1.0), 100);
  EXPECT_EQ(histogram.Max(), 100);
  histogram.Record(-5);  // a clock that stepped back counts as 0
  EXPECT_EQ(histogram.Quantile(0.0), 0);
}

TEST(LatencyHistogram, LargeValuesStayWithinTheBucketPrecision) {
  CLatencyHistogram histogram;
  // 98 blocks of 20 us, one of 3 ms and one of 2 s.
  for (int i = 0; i < 98; ++i) histogram.Record(20'000);
  histogram.Record(3'000'000);
  histogram.Record(2'000'000'000);
  const int64_t median = histogram.Quantile(0.5);
  EXPECT_NEAR(static_cast<double>(median), 20'000.0, 20'000.0 / 64);
  const int64_t p99 = histogram.Quantile(0.99);
  EXPECT_NEAR(static_cast<double>(p99), 3'000'000.0, 3'000'000.0 / 64);
  EXPECT_EQ(histogram.Max(), 2'000'000'000);
  EXPECT_EQ(histogram.Quantile(1.0), 2'000'000'000);  // never above the largest value
}

TEST(LatencyHistogram, TheLargestValuesFitAndMergeAddsCounts) {
  CLatencyHistogram a;
  CLatencyHistogram b;
  a.Record(INT64_MAX);
  b.Record(7);
  b.Record(7);
  a.Merge(b);
  EXPECT_EQ(a.Count(), 3u);
  EXPECT_EQ(a.Quantile(0.5), 7);
  EXPECT_EQ(a.Max(), INT64_MAX);
}

}  // namespace
}  // namespace tovik::slave
