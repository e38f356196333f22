#include "TestSignal.h"

#include <cmath>

namespace tovik::host {

AudioData MakeTestSignal(int channels, int sampleRate, double seconds) {
  constexpr double kPi = 3.14159265358979323846;
  AudioData audio;
  audio.sampleRate = sampleRate;
  const size_t frames = static_cast<size_t>(std::llround(seconds * sampleRate));
  audio.channels.assign(static_cast<size_t>(channels), std::vector<float>(frames));
  for (int c = 0; c < channels; ++c) {
    const double step = 2.0 * kPi * 220.0 * (c + 2) / sampleRate;
    std::vector<float>& channel = audio.channels[static_cast<size_t>(c)];
    for (size_t i = 0; i < frames; ++i)
      channel[i] = static_cast<float>(0.5 * std::sin(step * static_cast<double>(i)));
  }
  return audio;
}

}  // namespace tovik::host
