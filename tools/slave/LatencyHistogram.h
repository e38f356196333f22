// Distribution of per-block processing times, kept in fixed buckets so that
// recording a value never allocates: values below 128 ns are exact, larger ones
// fall into buckets 1/64 of their power of two wide (under 1.6 % error).
#pragma once

#include <array>
#include <cstdint>

namespace tovik::slave {

class CLatencyHistogram {
 public:
  // [audio path] Adds one value in nanoseconds; negative values count as 0.
  void Record(int64_t nanoseconds);

  uint64_t Count() const { return count_; }
  int64_t Max() const { return max_; }
  // The value below which the given fraction (0..1) of the recorded values lie,
  // as the middle of its bucket and never above the largest value; 0 when empty.
  int64_t Quantile(double fraction) const;

  void Merge(const CLatencyHistogram& other);

 private:
  static constexpr int kExactValues = 128;
  static constexpr int kSubBuckets = 64;
  static constexpr int kBucketCount = kExactValues + 56 * kSubBuckets;

  static int BucketOf(uint64_t value);
  static uint64_t BucketLow(int bucket);
  static uint64_t BucketWidth(int bucket);

  std::array<uint64_t, kBucketCount> buckets_{};
  uint64_t count_ = 0;
  int64_t max_ = 0;
};

}  // namespace tovik::slave
