// Checks the relayed output against the input: each output channel that has
// an input channel of the same number should be that input times the expected
// gain, within the quantisation of the wire precision.
//
// The 8 and 16-bit wire precisions clip at full scale, on the way to the slave
// and on the way back: a sample whose expectation lies beyond +-1.0 there is
// counted as clipped. The expectation is the unclipped one (clipping is an
// error) unless clipping is allowed.
#pragma once

#include <cstddef>
#include <vector>

#include "AudioFile.h"

namespace tovik::host {

struct ComparisonResult {
  size_t channels = 0;  // channels compared
  size_t samples = 0;   // samples compared (answered blocks only)
  double maxError = 0.0;
  double tolerance = 0.0;
  size_t clipped = 0;  // samples compared whose expectation clipped on the wire
  bool pass = false;
};

class COutputComparison {
 public:
  COutputComparison(int wirePrecision, double gainDb, double maxError, bool clippingAllowed);

  // One answered block: frames samples of each channel; output channel c is
  // compared with input channel c where both exist.
  void AddBlock(const std::vector<std::vector<float>>& input, size_t inputChannels,
                const std::vector<std::vector<float>>& output, size_t outputChannels, size_t frames);
  const ComparisonResult& Result() const { return result; }

 private:
  int precision;
  double gain;
  bool allowClipping;
  ComparisonResult result;
};

// Largest error one trip through the wire precision can add to a sample of
// magnitude up to 1: half a step for the 8 and 16-bit codes, the dropped
// mantissa byte for code 3, none for code 4.
double QuantisationError(int precision);

// What a relay through a slave that applies gainDb may add: one quantisation
// on the way out, scaled by the gain, and one on the way back.
double DefaultTolerance(int precision, double gainDb);

ComparisonResult CompareOutput(const AudioData& input, const AudioData& output,
                               const std::vector<bool>& blockAnswered, int blockSize, int precision,
                               double gainDb, double tolerance, bool allowClipping);

}  // namespace tovik::host
