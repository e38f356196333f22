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

COutputComparison::COutputComparison(int wirePrecision, double gainDb, double maxError, bool clippingAllowed)
    : precision(wirePrecision), gain(std::pow(10.0, gainDb / 20.0)), allowClipping(clippingAllowed) {
  result.tolerance = maxError;
}

void COutputComparison::AddBlock(const std::vector<std::vector<float>>& input, size_t inputChannels,
                                 const std::vector<std::vector<float>>& output, size_t outputChannels,
                                 size_t frames) {
  const bool clips = precision == 1 || precision == 2;
  const size_t channels = std::min(inputChannels, outputChannels);
  result.channels = std::max(result.channels, channels);
  for (size_t c = 0; c < channels; ++c) {
    for (size_t i = 0; i < frames; ++i) {
      const double x = input[c][i];
      double expected = x * gain;
      if (clips) {
        // Clipped on the way to the slave, then on the way back.
        const double sent = std::max(-1.0, std::min(1.0, x));
        const double back = sent * gain;
        if (std::fabs(x) > 1.0 || std::fabs(back) > 1.0) {
          ++result.clipped;
          if (allowClipping) expected = std::max(-1.0, std::min(1.0, back));
        }
      }
      double error = std::fabs(static_cast<double>(output[c][i]) - expected);
      if (std::isnan(error)) error = INFINITY;
      result.maxError = std::max(result.maxError, error);
      ++result.samples;
    }
  }
  result.pass = result.samples > 0 && result.maxError <= result.tolerance;
}

ComparisonResult CompareOutput(const AudioData& input, const AudioData& output,
                               const std::vector<bool>& blockAnswered, int blockSize, int precision,
                               double gainDb, double tolerance, bool allowClipping) {
  COutputComparison comparison(precision, gainDb, tolerance, allowClipping);
  const size_t frames = std::min(input.Frames(), output.Frames());
  const size_t block = static_cast<size_t>(blockSize);
  std::vector<std::vector<float>> in(input.channels.size(), std::vector<float>(block));
  std::vector<std::vector<float>> out(output.channels.size(), std::vector<float>(block));
  for (size_t b = 0; b * block < frames && b < blockAnswered.size(); ++b) {
    if (!blockAnswered[b]) continue;
    const size_t first = b * block;
    const size_t count = std::min(block, frames - first);
    for (size_t c = 0; c < in.size(); ++c)
      std::copy(input.channels[c].begin() + static_cast<std::ptrdiff_t>(first),
                input.channels[c].begin() + static_cast<std::ptrdiff_t>(first + count), in[c].begin());
    for (size_t c = 0; c < out.size(); ++c)
      std::copy(output.channels[c].begin() + static_cast<std::ptrdiff_t>(first),
                output.channels[c].begin() + static_cast<std::ptrdiff_t>(first + count), out[c].begin());
    comparison.AddBlock(in, in.size(), out, out.size(), count);
  }
  ComparisonResult result = comparison.Result();
  result.channels = std::min(input.channels.size(), output.channels.size());
  result.pass = result.samples > 0 && result.maxError <= tolerance;
  return result;
}

}  // namespace tovik::host
