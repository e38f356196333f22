#include "OutputComparison.h"

#include <algorithm>
#include <cmath>

namespace tovik::host {

double QuantisationError(int precision) {
  switch (precision) {
    case 1:
      return 0.5 / 127.0;
    case 2:
      return 0.5 / 32767.0;
    case 3:
      return std::ldexp(1.0, -15);  // 8 of 23 mantissa bits dropped: relative 2^-15 at most
    default:
      return 0.0;
  }
}

double DefaultTolerance(int precision, double gainDb) {
  const double gain = std::pow(10.0, gainDb / 20.0);
  const double q = QuantisationError(precision);
  // The slave's float arithmetic and the decoders' reciprocal constants add a
  // little rounding on top.
  return q * (gain + std::max(1.0, gain)) * 1.001 + 1e-6 * std::max(1.0, gain);
}

ComparisonResult CompareOutput(const AudioData& input, const AudioData& output,
                               const std::vector<bool>& blockAnswered, int blockSize, int precision,
                               double gainDb, double tolerance) {
  ComparisonResult result;
  result.tolerance = tolerance;
  const double gain = std::pow(10.0, gainDb / 20.0);
  // The integer wire formats clip at full scale.
  const bool clips = precision == 1 || precision == 2;
  result.channels = std::min(input.channels.size(), output.channels.size());
  const size_t frames = std::min(input.Frames(), output.Frames());
  for (size_t c = 0; c < result.channels; ++c) {
    for (size_t i = 0; i < frames; ++i) {
      const size_t b = i / static_cast<size_t>(blockSize);
      if (b >= blockAnswered.size() || !blockAnswered[b]) continue;
      double expected = static_cast<double>(input.channels[c][i]) * gain;
      if (clips) expected = std::max(-1.0, std::min(1.0, expected));
      const double actual = output.channels[c][i];
      double error = std::fabs(actual - expected);
      if (std::isnan(error)) error = INFINITY;
      result.maxError = std::max(result.maxError, error);
      ++result.samples;
    }
  }
  result.pass = result.samples > 0 && result.maxError <= tolerance;
  return result;
}

}  // namespace tovik::host
