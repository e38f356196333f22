// A small WAV reader and writer of files held in memory, for builds without
// libsndfile and for tests. Reads 8, 16, 24 and 32-bit PCM and 32 and 64-bit
// float (plain or extensible format tag) through the walk of WavReader.h;
// writes 16-bit PCM or 32-bit float. Every length in a file is checked against
// the bytes present: a damaged file is refused, never overrun.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "AudioFile.h"

namespace tovik::host {

enum class WavSampleFormat { kPcm16, kFloat32 };

class CWavCodec {
 public:
  static bool Decode(const std::vector<uint8_t>& bytes, AudioData& audio, std::string& error);
  static std::vector<uint8_t> Encode(const AudioData& audio, WavSampleFormat format);
};

}  // namespace tovik::host
