// Per-block round-trip times of a relay run and their summary.
#pragma once

#include <cstddef>
#include <vector>

namespace tovik::host {

class CRoundTripStats {
 public:
  void Reserve(size_t count) { samples.reserve(count); }
  void Add(double milliseconds) { samples.push_back(milliseconds); }
  size_t Count() const { return samples.size(); }

  // Nearest-rank percentiles over the recorded times; 0 when there are none.
  double Median() const { return Percentile(50.0); }
  double P99() const { return Percentile(99.0); }
  double Max() const;
  double Percentile(double percent) const;

 private:
  std::vector<double> samples;
};

}  // namespace tovik::host
