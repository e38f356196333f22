#include "LatencyHistogram.h"

#include <cmath>

namespace tovik::slave {

namespace {

int HighestBit(uint64_t value) {
  int bit = 0;
  while (value >>= 1) ++bit;
  return bit;
}

}  // namespace

// Values 0..127 have a bucket each. Above, a value with its highest bit at
// position b (7..62) has shift = b - 6 and lands in one of 64 buckets of width
// 2^shift, chosen by its top seven bits.
int CLatencyHistogram::BucketOf(uint64_t value) {
  if (value < kExactValues) return static_cast<int>(value);
  const int shift = HighestBit(value) - 6;
  const int mantissa = static_cast<int>(value >> shift);  // 64..127
  return kExactValues + (shift - 1) * kSubBuckets + (mantissa - kSubBuckets);
}

uint64_t CLatencyHistogram::BucketLow(int bucket) {
  if (bucket < kExactValues) return static_cast<uint64_t>(bucket);
  const int shift = (bucket - kExactValues) / kSubBuckets + 1;
  const uint64_t mantissa = static_cast<uint64_t>((bucket - kExactValues) % kSubBuckets + kSubBuckets);
  return mantissa << shift;
}

uint64_t CLatencyHistogram::BucketWidth(int bucket) {
  if (bucket < kExactValues) return 1;
  return uint64_t{1} << ((bucket - kExactValues) / kSubBuckets + 1);
}

void CLatencyHistogram::Record(int64_t nanoseconds) {
  const uint64_t value = nanoseconds > 0 ? static_cast<uint64_t>(nanoseconds) : 0;
  ++buckets_[static_cast<size_t>(BucketOf(value))];
  ++count_;
  if (static_cast<int64_t>(value) > max_) max_ = static_cast<int64_t>(value);
}

int64_t CLatencyHistogram::Quantile(double fraction) const {
  if (count_ == 0) return 0;
  if (!(fraction > 0.0)) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;
  // The rank (1-based) of the value asked for: the smallest that has at least
  // the fraction of all values at or below it.
  uint64_t rank = static_cast<uint64_t>(std::ceil(fraction * static_cast<double>(count_)));
  if (rank < 1) rank = 1;
  uint64_t seen = 0;
  for (int bucket = 0; bucket < kBucketCount; ++bucket) {
    seen += buckets_[static_cast<size_t>(bucket)];
    if (seen >= rank) {
      const uint64_t middle = BucketLow(bucket) + BucketWidth(bucket) / 2;
      return static_cast<int64_t>(middle) < max_ ? static_cast<int64_t>(middle) : max_;
    }
  }
  return max_;
}

void CLatencyHistogram::Merge(const CLatencyHistogram& other) {
  for (size_t i = 0; i < buckets_.size(); ++i) buckets_[i] += other.buckets_[i];
  count_ += other.count_;
  if (other.max_ > max_) max_ = other.max_;
}

}  // namespace tovik::slave
