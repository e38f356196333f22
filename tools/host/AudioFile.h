// Reading and writing audio files. Two implementations: AudioFileSndfile.cpp
// (libsndfile, every format it knows) and AudioFileBuiltin.cpp (WAV only,
// through CWavCodec), chosen by the build.
#pragma once

#include <string>
#include <vector>

namespace tovik::host {

// Planar audio held in memory: one vector of float samples per channel, all of
// the same length.
struct AudioData {
  int sampleRate = 0;
  std::vector<std::vector<float>> channels;

  size_t Frames() const { return channels.empty() ? 0 : channels[0].size(); }
};

// Reads a whole file. Integer formats are scaled to full scale +-1.0.
bool ReadAudioFile(const std::string& path, AudioData& audio, std::string& error);

// Writes a WAV file of 32-bit float samples, which keeps every sample exactly.
bool WriteAudioFile(const std::string& path, const AudioData& audio, std::string& error);

// Names the implementation, for the --help text.
const char* AudioFileBackend();

}  // namespace tovik::host
