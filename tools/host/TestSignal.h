// The signal relayed when no input file is given.
#pragma once

#include "AudioFile.h"

namespace tovik::host {

// One sine per channel at half full scale: channel c at 220 * (c + 2) Hz, so
// that crossed channels show up in a comparison.
AudioData MakeTestSignal(int channels, int sampleRate, double seconds);

// The same signal, computed block by block as it is read.
class CSignalSource : public CAudioSource {
 public:
  CSignalSource(int channels, int sampleRate, double seconds);
  int Channels() const override { return channelCount; }
  int SampleRate() const override { return rate; }
  uint64_t Frames() const override { return frames; }
  size_t Read(std::vector<std::vector<float>>& channels, size_t count) override;

 private:
  int channelCount;
  int rate;
  uint64_t frames;
  uint64_t position = 0;
};

}  // namespace tovik::host
