#include "WavCodec.h"

#include <cmath>
#include <cstring>

namespace tovik::host {
namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;
constexpr uint32_t kMaxChannels = 256;

uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

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

float SampleAt(const uint8_t* p, uint16_t tag, uint16_t bits) {
  if (tag == kFormatFloat) {
    if (bits == 32) {
      uint32_t u = Le32(p);
      float f;
      std::memcpy(&f, &u, 4);
      return f;
    }
    uint64_t u = static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
    double d;
    std::memcpy(&d, &u, 8);
    return static_cast<float>(d);
  }
  switch (bits) {
    case 8:
      return (static_cast<int>(p[0]) - 128) / 128.0f;
    case 16:
      return static_cast<int16_t>(Le16(p)) / 32768.0f;
    case 24: {
      int32_t v =
          static_cast<int32_t>((static_cast<uint32_t>(p[0]) << 8) | (static_cast<uint32_t>(p[1]) << 16) |
                               (static_cast<uint32_t>(p[2]) << 24));
      return static_cast<float>((v >> 8) / 8388608.0);
    }
    default:
      return static_cast<float>(static_cast<int32_t>(Le32(p)) / 2147483648.0);
  }
}

}  // namespace

bool CWavCodec::Decode(const std::vector<uint8_t>& bytes, AudioData& audio, std::string& error) {
  const size_t size = bytes.size();
  const uint8_t* data = bytes.data();
  if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0) {
    error = "not a WAV file (no RIFF/WAVE header)";
    return false;
  }
  uint16_t tag = 0, channels = 0, bits = 0, blockAlign = 0;
  uint32_t rate = 0;
  bool haveFormat = false;
  const uint8_t* samples = nullptr;
  size_t sampleBytes = 0;
  size_t pos = 12;
  while (pos + 8 <= size) {
    const uint8_t* chunk = data + pos;
    size_t length = Le32(chunk + 4);
    size_t available = size - pos - 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (length < 16 || length > available) {
        error = "damaged format chunk";
        return false;
      }
      tag = Le16(chunk + 8);
      channels = Le16(chunk + 10);
      rate = Le32(chunk + 12);
      blockAlign = Le16(chunk + 20);
      bits = Le16(chunk + 22);
      if (tag == kFormatExtensible) {
        if (length < 40) {
          error = "damaged extensible format chunk";
          return false;
        }
        tag = Le16(chunk + 8 + 24);  // first two bytes of the sub-format GUID
      }
      haveFormat = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      // Some writers leave the length of a streamed data chunk unset: take what is there.
      samples = chunk + 8;
      sampleBytes = length > available ? available : length;
    }
    if (length > available) break;
    pos += 8 + length + (length & 1);
  }
  if (!haveFormat || samples == nullptr) {
    error = haveFormat ? "no data chunk" : "no format chunk";
    return false;
  }
  const bool intOk = tag == kFormatPcm && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
  const bool floatOk = tag == kFormatFloat && (bits == 32 || bits == 64);
  if (!intOk && !floatOk) {
    error = "unsupported sample format (format tag " + std::to_string(tag) + ", " + std::to_string(bits) +
            " bits)";
    return false;
  }
  if (channels == 0 || channels > kMaxChannels || rate == 0 || blockAlign != channels * (bits / 8)) {
    error = "inconsistent format chunk";
    return false;
  }
  const size_t frames = sampleBytes / blockAlign;
  const size_t width = bits / 8;
  audio.sampleRate = static_cast<int>(rate > 0x7FFFFFFF ? 0x7FFFFFFF : rate);
  audio.channels.assign(channels, std::vector<float>(frames));
  for (size_t f = 0; f < frames; ++f) {
    const uint8_t* frame = samples + f * blockAlign;
    for (size_t c = 0; c < channels; ++c) audio.channels[c][f] = SampleAt(frame + c * width, tag, bits);
  }
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
