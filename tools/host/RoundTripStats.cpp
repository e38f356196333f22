#include "RoundTripStats.h"

#include <algorithm>
#include <cmath>

namespace tovik::host {

double CRoundTripStats::Max() const {
  return samples.empty() ? 0.0 : *std::max_element(samples.begin(), samples.end());
}

double CRoundTripStats::Percentile(double percent) const {
  if (samples.empty()) return 0.0;
  std::vector<double> sorted(samples);
  std::sort(sorted.begin(), sorted.end());
  // Nearest rank: the smallest value with at least percent % of the values at or below it.
  double rank = std::ceil(percent / 100.0 * static_cast<double>(sorted.size()));
  size_t index = rank < 1.0 ? 0 : static_cast<size_t>(rank) - 1;
  if (index >= sorted.size()) index = sorted.size() - 1;
  return sorted[index];
}

}  // namespace tovik::host
