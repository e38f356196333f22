#include "WavReader.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace tovik::host {
namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;
constexpr uint32_t kMaxWavChannels = 256;

uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

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

// Offsets past 2 GiB (an hour of stereo at 96 kHz in float is 2.8 GB).
class CWavFileReader::CFileBytes : public CByteSource {
 public:
  explicit CFileBytes(FILE* opened) : file(opened) {
    if (Seek(0, SEEK_END)) {
#if defined(_WIN32)
      const long long end = _ftelli64(file);
#else
      const off_t end = ftello(file);
#endif
      size = end < 0 ? 0 : static_cast<uint64_t>(end);
    }
    Seek(0, SEEK_SET);
    at = 0;
  }
  ~CFileBytes() override {
    std::fclose(file);
  }
  CFileBytes(const CFileBytes&) = delete;
  CFileBytes& operator=(const CFileBytes&) = delete;

  uint64_t Size() const override {
    return size;
  }

  size_t ReadAt(uint64_t offset, void* to, size_t count) override {
    if (offset != at) {
      if (!Seek(offset, SEEK_SET)) return 0;
      at = offset;
    }
    const size_t got = std::fread(to, 1, count, file);
    at += got;
    if (got < count) {
      std::clearerr(file);
      at = UINT64_MAX;  // seek again before the next read
    }
    return got;
  }

 private:
  bool Seek(uint64_t offset, int whence) {
#if defined(_WIN32)
    return _fseeki64(file, static_cast<long long>(offset), whence) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), whence) == 0;
#endif
  }

  FILE* file;
  uint64_t size = 0;
  uint64_t at = 0;
};

size_t CMemoryBytes::ReadAt(uint64_t offset, void* to, size_t count) {
  if (offset >= length) return 0;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(count, length - offset));
  std::memcpy(to, bytes + offset, n);
  return n;
}

bool ReadWavLayout(CByteSource& bytes, WavLayout& layout, std::string& error) {
  const uint64_t size = bytes.Size();
  uint8_t head[12];
  if (!bytes.ReadAll(0, head, sizeof(head)) || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "WAVE", 4) != 0) {
    error = "not a WAV file (no RIFF/WAVE header)";
    return false;
  }
  WavLayout found;
  bool haveFormat = false;
  bool haveData = false;
  uint64_t dataBytes = 0;
  uint64_t pos = 12;
  while (pos + 8 <= size) {
    uint8_t chunk[8];
    if (!bytes.ReadAll(pos, chunk, sizeof(chunk))) break;
    const uint64_t length = Le32(chunk + 4);
    const uint64_t available = size - pos - 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      uint8_t format[40];
      if (length < 16 || length > available) {
        error = "damaged format chunk";
        return false;
      }
      const size_t want = static_cast<size_t>(std::min<uint64_t>(length, sizeof(format)));
      if (!bytes.ReadAll(pos + 8, format, want)) {
        error = "damaged format chunk";
        return false;
      }
      found.tag = Le16(format);
      found.channels = Le16(format + 2);
      found.sampleRate = Le32(format + 4);
      found.blockAlign = Le16(format + 12);
      found.bits = Le16(format + 14);
      if (found.tag == kFormatExtensible) {
        if (length < 40) {
          error = "damaged extensible format chunk";
          return false;
        }
        found.tag = Le16(format + 24);  // first two bytes of the sub-format GUID
      }
      haveFormat = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      // Some writers leave the length of a streamed data chunk unset: take what is there.
      found.dataOffset = pos + 8;
      dataBytes = length > available ? available : length;
      haveData = true;
    }
    if (length > available) break;
    pos += 8 + length + (length & 1);
  }
  if (!haveFormat || !haveData) {
    error = haveFormat ? "no data chunk" : "no format chunk";
    return false;
  }
  const uint16_t bits = found.bits;
  const bool intOk = found.tag == kFormatPcm && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
  const bool floatOk = found.tag == kFormatFloat && (bits == 32 || bits == 64);
  if (!intOk && !floatOk) {
    error = "unsupported sample format (format tag " + std::to_string(found.tag) + ", " +
            std::to_string(bits) + " bits)";
    return false;
  }
  if (found.channels == 0 || found.channels > kMaxWavChannels || found.sampleRate == 0 ||
      found.blockAlign != found.channels * (bits / 8)) {
    error = "inconsistent format chunk";
    return false;
  }
  found.frames = dataBytes / found.blockAlign;
  layout = found;
  return true;
}

void DecodeWavFrames(const WavLayout& layout, const uint8_t* data, size_t frames,
                     std::vector<std::vector<float>>& channels, size_t at) {
  const size_t width = layout.bits / 8;
  const size_t count = std::min<size_t>(layout.channels, channels.size());
  for (size_t f = 0; f < frames; ++f) {
    const uint8_t* frame = data + f * layout.blockAlign;
    for (size_t c = 0; c < count; ++c)
      channels[c][at + f] = SampleAt(frame + c * width, layout.tag, layout.bits);
  }
}

CWavFileReader::CWavFileReader() = default;
CWavFileReader::~CWavFileReader() = default;

bool CWavFileReader::Open(const std::string& filePath, std::string& message) {
  file.reset();
  layout = WavLayout();
  position = 0;
  error.clear();
  FILE* opened = std::fopen(filePath.c_str(), "rb");
  if (opened == nullptr) {
    message = "cannot open " + filePath;
    return false;
  }
  file.reset(new CFileBytes(opened));
  if (!ReadWavLayout(*file, layout, message)) {
    message = filePath + ": " + message;
    file.reset();
    layout = WavLayout();
    return false;
  }
  path = filePath;
  buffer.clear();
  buffer.shrink_to_fit();
  buffer.reserve(kChunkFrames * layout.blockAlign);
  return true;
}

int CWavFileReader::SampleRate() const {
  return static_cast<int>(layout.sampleRate > 0x7FFFFFFF ? 0x7FFFFFFF : layout.sampleRate);
}

size_t CWavFileReader::Read(std::vector<std::vector<float>>& channels, size_t frames) {
  if (!file || !error.empty()) return 0;
  size_t done = 0;
  while (done < frames && position < layout.frames) {
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>({frames - done, kChunkFrames, layout.frames - position}));
    buffer.resize(n * layout.blockAlign);
    const size_t got =
        file->ReadAt(layout.dataOffset + position * layout.blockAlign, buffer.data(), buffer.size());
    // The whole frames that were there still count.
    const size_t whole = got / layout.blockAlign;
    DecodeWavFrames(layout, buffer.data(), whole, channels, done);
    done += whole;
    position += whole;
    if (whole < n) {
      error = "cannot read " + path + " past frame " + std::to_string(position);
      break;
    }
  }
  return done;
}

}  // namespace tovik::host
