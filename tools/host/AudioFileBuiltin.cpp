// Audio files without libsndfile: WAV only, through CWavCodec.
#include <cstdio>

#include "AudioFile.h"
#include "WavCodec.h"

namespace tovik::host {

const char* AudioFileBackend() {
  return "built-in WAV reader (PCM 8/16/24/32-bit, float 32/64-bit)";
}

bool ReadAudioFile(const std::string& path, AudioData& audio, std::string& error) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = "cannot open " + path;
    return false;
  }
  std::vector<uint8_t> bytes;
  uint8_t buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0)
    bytes.insert(bytes.end(), buffer, buffer + got);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    error = "cannot read " + path;
    return false;
  }
  if (!CWavCodec::Decode(bytes, audio, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

bool WriteAudioFile(const std::string& path, const AudioData& audio, std::string& error) {
  std::vector<uint8_t> bytes = CWavCodec::Encode(audio, WavSampleFormat::kFloat32);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    error = "cannot create " + path;
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace tovik::host
