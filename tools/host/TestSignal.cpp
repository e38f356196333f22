#include "TestSignal.h"

#include <algorithm>
#include <cmath>

namespace tovik::host {
namespace {

float Sample(int channel, int sampleRate, uint64_t frame) {
  constexpr double kPi = 3.14159265358979323846;
  const double step = 2.0 * kPi * 220.0 * (channel + 2) / sampleRate;
  return static_cast<float>(0.5 * std::sin(step * static_cast<double>(frame)));
}

}  // namespace

AudioData MakeTestSignal(int channels, int sampleRate, double seconds) {
  AudioData audio;
  audio.sampleRate = sampleRate;
  const size_t frames = static_cast<size_t>(std::llround(seconds * sampleRate));
  audio.channels.assign(static_cast<size_t>(channels), std::vector<float>(frames));
  for (int c = 0; c < channels; ++c) {
    std::vector<float>& channel = audio.channels[static_cast<size_t>(c)];
    for (size_t i = 0; i < frames; ++i) channel[i] = Sample(c, sampleRate, i);
  }
  return audio;
}

CSignalSource::CSignalSource(int channels, int sampleRate, double seconds)
    : channelCount(channels),
      rate(sampleRate),
      frames(static_cast<uint64_t>(std::llround(seconds * sampleRate))) {}

size_t CSignalSource::Read(std::vector<std::vector<float>>& channels, size_t count) {
  const size_t n = static_cast<size_t>(std::min<uint64_t>(count, frames - position));
  for (int c = 0; c < channelCount && static_cast<size_t>(c) < channels.size(); ++c)
    for (size_t i = 0; i < n; ++i) channels[static_cast<size_t>(c)][i] = Sample(c, rate, position + i);
  position += n;
  return n;
}

}  // namespace tovik::host
