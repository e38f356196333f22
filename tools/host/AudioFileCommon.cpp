// What both audio file backends share: the memory source and the whole-file
// reader and writer on top of the block interfaces.
#include <algorithm>

#include "AudioFile.h"

namespace tovik::host {

size_t CMemorySource::Read(std::vector<std::vector<float>>& channels, size_t frames) {
  const size_t total = audio.Frames();
  const size_t count = std::min(frames, total - std::min(total, position));
  for (size_t c = 0; c < audio.channels.size() && c < channels.size(); ++c)
    std::copy(audio.channels[c].begin() + static_cast<std::ptrdiff_t>(position),
              audio.channels[c].begin() + static_cast<std::ptrdiff_t>(position + count), channels[c].begin());
  position += count;
  return count;
}

bool ReadAudioFile(const std::string& path, AudioData& audio, std::string& error) {
  CAudioFileReader reader;
  if (!reader.Open(path, error)) return false;
  constexpr size_t kChunk = 4096;
  const size_t channels = static_cast<size_t>(reader.Channels());
  audio.sampleRate = reader.SampleRate();
  audio.channels.assign(channels, {});
  std::vector<std::vector<float>> block(channels, std::vector<float>(kChunk));
  for (;;) {
    const size_t got = reader.Read(block, kChunk);
    if (got == 0) break;
    for (size_t c = 0; c < channels; ++c)
      audio.channels[c].insert(audio.channels[c].end(), block[c].begin(),
                               block[c].begin() + static_cast<std::ptrdiff_t>(got));
  }
  if (!reader.Error().empty()) {
    error = reader.Error();
    return false;
  }
  return true;
}

bool WriteAudioFile(const std::string& path, const AudioData& audio, std::string& error) {
  OutputFormat format;
  if (!ResolveOutputFormat("out.wav", "", "float", format, error)) return false;
  CAudioFileWriter writer;
  if (!writer.Open(path, format, audio.sampleRate, static_cast<int>(audio.channels.size()), error))
    return false;
  constexpr size_t kChunk = 4096;
  CMemorySource source(audio);
  std::vector<std::vector<float>> block(audio.channels.size(), std::vector<float>(kChunk));
  for (;;) {
    const size_t got = source.Read(block, kChunk);
    if (got == 0) break;
    if (!writer.Write(block, got, error)) {
      std::string ignored;
      writer.Close(ignored);
      return false;
    }
  }
  return writer.Close(error);
}

}  // namespace tovik::host
