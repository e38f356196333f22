// Audio files through libsndfile: reads every format it knows, writes 32-bit
// float WAV.
#include <sndfile.h>

#include "AudioFile.h"

namespace tovik::host {

const char* AudioFileBackend() {
  return "libsndfile";
}

bool ReadAudioFile(const std::string& path, AudioData& audio, std::string& error) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    error = path + ": " + sf_strerror(nullptr);
    return false;
  }
  if (info.channels <= 0 || info.channels > 256 || info.samplerate <= 0 || info.frames < 0) {
    sf_close(file);
    error = path + ": unsupported channel count or sample rate";
    return false;
  }
  const size_t channels = static_cast<size_t>(info.channels);
  audio.sampleRate = info.samplerate;
  audio.channels.assign(channels, {});
  std::vector<float> interleaved(4096 * channels);
  for (;;) {
    sf_count_t got = sf_readf_float(file, interleaved.data(), 4096);
    if (got <= 0) break;
    for (sf_count_t f = 0; f < got; ++f)
      for (size_t c = 0; c < channels; ++c)
        audio.channels[c].push_back(interleaved[static_cast<size_t>(f) * channels + c]);
  }
  sf_close(file);
  return true;
}

bool WriteAudioFile(const std::string& path, const AudioData& audio, std::string& error) {
  SF_INFO info{};
  info.samplerate = audio.sampleRate;
  info.channels = static_cast<int>(audio.channels.size());
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) {
    error = path + ": " + sf_strerror(nullptr);
    return false;
  }
  const size_t channels = audio.channels.size();
  const size_t frames = audio.Frames();
  std::vector<float> interleaved(4096 * channels);
  bool ok = true;
  for (size_t start = 0; start < frames && ok; start += 4096) {
    size_t count = frames - start < 4096 ? frames - start : 4096;
    for (size_t f = 0; f < count; ++f)
      for (size_t c = 0; c < channels; ++c) interleaved[f * channels + c] = audio.channels[c][start + f];
    ok = sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(count)) ==
         static_cast<sf_count_t>(count);
  }
  if (!ok) error = path + ": " + sf_strerror(file);
  if (sf_close(file) != 0 && ok) {
    ok = false;
    error = path + ": cannot finish the file";
  }
  return ok;
}

}  // namespace tovik::host
