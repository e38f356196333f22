#include "WavCodec.h"

#include <cmath>
#include <cstring>

#include "WavReader.h"

namespace tovik::host {
namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint32_t kMaxChannels = 256;

// Little-endian writes into a buffer sized beforehand: the whole file is laid out
// in one allocation, with no growth while it is written.
class CLeWriter {
 public:
  explicit CLeWriter(uint8_t* at) : next(at) {}
  void U16(uint32_t v) {
    next[0] = static_cast<uint8_t>(v);
    next[1] = static_cast<uint8_t>(v >> 8);
    next += 2;
  }
  void U32(uint32_t v) {
    U16(v & 0xFFFF);
    U16(v >> 16);
  }
  void Tag(const char (&tag)[5]) {
    std::memcpy(next, tag, 4);
    next += 4;
  }

 private:
  uint8_t* next;
};

}  // namespace

bool CWavCodec::Decode(const std::vector<uint8_t>& bytes, AudioData& audio, std::string& error) {
  CMemoryBytes source(bytes.data(), bytes.size());
  WavLayout layout;
  if (!ReadWavLayout(source, layout, error)) return false;
  const size_t frames = static_cast<size_t>(layout.frames);
  audio.sampleRate = static_cast<int>(layout.sampleRate > 0x7FFFFFFF ? 0x7FFFFFFF : layout.sampleRate);
  audio.channels.assign(layout.channels, std::vector<float>(frames));
  DecodeWavFrames(layout, bytes.data() + layout.dataOffset, frames, audio.channels, 0);
  return true;
}

std::vector<uint8_t> CWavCodec::Encode(const AudioData& audio, WavSampleFormat format) {
  const bool isFloat = format == WavSampleFormat::kFloat32;
  const uint32_t width = isFloat ? 4 : 2;
  const uint32_t channels =
      static_cast<uint32_t>(audio.channels.size() > kMaxChannels ? kMaxChannels : audio.channels.size());
  const uint32_t factBytes = isFloat ? 12 : 0;
  const uint32_t headerBytes = 44 + factBytes;
  // A RIFF file describes at most 4 GiB: longer audio is cut at the last whole frame that fits.
  const size_t frameBytes = static_cast<size_t>(channels) * width;
  const size_t maxFrames = frameBytes == 0 ? 0 : (0xFFFFFFFFu - headerBytes) / frameBytes;
  const size_t frames = audio.Frames() > maxFrames ? maxFrames : audio.Frames();
  const uint32_t dataBytes = static_cast<uint32_t>(frames * frameBytes);

  std::vector<uint8_t> out(static_cast<size_t>(headerBytes) + dataBytes);
  CLeWriter put(out.data());
  put.Tag("RIFF");
  put.U32(headerBytes - 8 + dataBytes);
  put.Tag("WAVE");
  put.Tag("fmt ");
  put.U32(16);
  put.U16(isFloat ? kFormatFloat : kFormatPcm);
  put.U16(channels);
  put.U32(static_cast<uint32_t>(audio.sampleRate));
  put.U32(static_cast<uint32_t>(audio.sampleRate) * channels * width);
  put.U16(channels * width);
  put.U16(width * 8);
  if (isFloat) {
    put.Tag("fact");
    put.U32(4);
    put.U32(static_cast<uint32_t>(frames));
  }
  put.Tag("data");
  put.U32(dataBytes);
  for (size_t f = 0; f < frames; ++f) {
    for (uint32_t c = 0; c < channels; ++c) {
      // A channel shorter than the first is written as silence past its end.
      const std::vector<float>& channel = audio.channels[c];
      const float x = f < channel.size() ? channel[f] : 0.0f;
      if (isFloat) {
        uint32_t u;
        std::memcpy(&u, &x, 4);
        put.U32(u);
      } else {
        const float v = std::isnan(x) ? 0.0f : (x > 1.0f ? 1.0f : (x < -1.0f ? -1.0f : x));
        const long q = std::lround(v * 32767.0f);
        put.U16(static_cast<uint32_t>(static_cast<uint16_t>(static_cast<int16_t>(q))));
      }
    }
  }
  return out;
}

}  // namespace tovik::host
