// Audio files without libsndfile: WAV only. The reader streams the file in
// blocks through CWavFileReader; the writer streams 16 or 24-bit PCM or 32-bit
// float and fills in the header's lengths when it closes. Memory does not grow
// with the file's length either way.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "AudioFile.h"
#include "WavReader.h"

namespace tovik::host {
namespace {

enum : int { kPcm16 = 2, kPcm24 = 3, kFloat = 4 };  // bytes per sample but for float

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

const char* AudioFileBackend() {
  return "built-in WAV reader and writer (reads PCM 8/16/24/32-bit, float 32/64-bit)";
}

std::string OutputFormatNames() {
  return "formats: wav; subtypes: pcm16 pcm24 float";
}

bool ResolveOutputFormat(const std::string& path, const std::string& format, const std::string& subtype,
                         OutputFormat& out, std::string& error) {
  if (!format.empty()) {
    if (Lower(format) != "wav") {
      error = "unknown --format '" + format + "' (" + OutputFormatNames() + ")";
      return false;
    }
  } else {
    const size_t slash = path.find_last_of("/\\");
    const size_t dot = path.rfind('.');
    const std::string extension = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                                      ? ""
                                      : Lower(path.substr(dot + 1));
    if (extension != "wav") {
      error = extension.empty() ? "the output '" + path + "' has no extension to choose its format by"
                                : "unknown output extension '." + extension + "'";
      error += " (this build writes .wav only)";
      return false;
    }
  }
  const std::string s = Lower(subtype);
  if (s.empty() || s == "float") {
    out.code = kFloat;
    out.description = "WAV, 32-bit float";
  } else if (s == "pcm16") {
    out.code = kPcm16;
    out.description = "WAV, 16-bit PCM";
  } else if (s == "pcm24") {
    out.code = kPcm24;
    out.description = "WAV, 24-bit PCM";
  } else {
    error = "unknown --subtype '" + subtype + "' (" + OutputFormatNames() + ")";
    return false;
  }
  return true;
}

struct CAudioFileReader::Impl {
  CWavFileReader wav;
};

CAudioFileReader::CAudioFileReader() : impl(new Impl) {}
CAudioFileReader::~CAudioFileReader() = default;

bool CAudioFileReader::Open(const std::string& path, std::string& error) {
  return impl->wav.Open(path, error);
}

int CAudioFileReader::Channels() const {
  return impl->wav.Channels();
}

int CAudioFileReader::SampleRate() const {
  return impl->wav.SampleRate();
}

uint64_t CAudioFileReader::Frames() const {
  return impl->wav.Frames();
}

const std::string& CAudioFileReader::Error() const {
  return impl->wav.Error();
}

size_t CAudioFileReader::Read(std::vector<std::vector<float>>& channels, size_t frames) {
  return impl->wav.Read(channels, frames);
}

struct CAudioFileWriter::Impl {
  FILE* file = nullptr;
  std::string path;
  int kind = kFloat;
  size_t channels = 0;
  uint64_t dataBytes = 0;
  std::vector<uint8_t> bytes;
};

CAudioFileWriter::CAudioFileWriter() : impl(new Impl) {}

CAudioFileWriter::~CAudioFileWriter() {
  std::string ignored;
  Close(ignored);
}

bool CAudioFileWriter::Open(const std::string& path, const OutputFormat& format, int sampleRate, int channels,
                            std::string& error) {
  if (channels < 1 || channels > 65535 || sampleRate <= 0) {
    error = path + ": cannot write " + std::to_string(channels) + " channels";
    return false;
  }
  impl->file = std::fopen(path.c_str(), "wb");
  if (impl->file == nullptr) {
    error = "cannot create " + path;
    return false;
  }
  impl->path = path;
  impl->kind = format.code;
  impl->channels = static_cast<size_t>(channels);
  impl->dataBytes = 0;
  written = 0;
  // RIFF header, "fmt " chunk (16 bytes; "fact" for float) and "data", lengths filled in at Close.
  const uint32_t width = impl->kind == kFloat ? 4u : static_cast<uint32_t>(impl->kind);
  uint8_t header[56] = {0};
  size_t at = 0;
  auto text = [&](const char* t) {
    for (int i = 0; i < 4; ++i) header[at++] = static_cast<uint8_t>(t[i]);
  };
  text("RIFF");
  at += 4;
  text("WAVE");
  text("fmt ");
  Put32(header + at, 16);
  at += 4;
  Put16(header + at, impl->kind == kFloat ? 3 : 1);
  Put16(header + at + 2, static_cast<uint32_t>(channels));
  Put32(header + at + 4, static_cast<uint32_t>(sampleRate));
  Put32(header + at + 8, static_cast<uint32_t>(sampleRate) * width * static_cast<uint32_t>(channels));
  Put16(header + at + 12, width * static_cast<uint32_t>(channels));
  Put16(header + at + 14, width * 8);
  at += 16;
  if (impl->kind == kFloat) {
    text("fact");
    Put32(header + at, 4);
    at += 8;
  }
  text("data");
  at += 4;
  isOpen = true;
  if (std::fwrite(header, 1, at, impl->file) != at) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

bool CAudioFileWriter::Write(const std::vector<std::vector<float>>& channels, size_t frames,
                             std::string& error) {
  if (impl->file == nullptr) return false;
  const size_t width = impl->kind == kFloat ? 4 : static_cast<size_t>(impl->kind);
  impl->bytes.resize(frames * impl->channels * width);
  uint8_t* p = impl->bytes.data();
  for (size_t f = 0; f < frames; ++f) {
    for (size_t c = 0; c < impl->channels; ++c) {
      const float x = c < channels.size() ? channels[c][f] : 0.0f;
      if (impl->kind == kFloat) {
        uint32_t bits;
        std::memcpy(&bits, &x, 4);
        Put32(p, bits);
      } else {
        const double scale = impl->kind == kPcm16 ? 32767.0 : 8388607.0;
        const double clipped = std::isnan(x) ? 0.0 : std::max(-1.0, std::min(1.0, static_cast<double>(x)));
        const uint32_t v = static_cast<uint32_t>(static_cast<int32_t>(std::lround(clipped * scale)));
        for (size_t i = 0; i < width; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
      }
      p += width;
    }
  }
  if (std::fwrite(impl->bytes.data(), 1, impl->bytes.size(), impl->file) != impl->bytes.size()) {
    error = "cannot write " + impl->path;
    return false;
  }
  impl->dataBytes += impl->bytes.size();
  written += frames;
  return true;
}

bool CAudioFileWriter::Close(std::string& error) {
  isOpen = false;
  if (impl->file == nullptr) return true;
  FILE* file = impl->file;
  impl->file = nullptr;
  const bool isFloat = impl->kind == kFloat;
  const uint64_t headerBytes = isFloat ? 56 : 44;
  bool ok = impl->dataBytes + headerBytes - 8 <= 0xFFFFFFFFull;
  if (!ok) error = impl->path + ": longer than a WAV file can hold";
  const uint32_t data = static_cast<uint32_t>(impl->dataBytes);
  uint8_t field[4];
  auto patch = [&](long offset, uint32_t value) {
    Put32(field, value);
    if (ok && (std::fseek(file, offset, SEEK_SET) != 0 || std::fwrite(field, 1, 4, file) != 4)) {
      ok = false;
      error = "cannot finish " + impl->path;
    }
  };
  if (impl->dataBytes & 1) {  // chunks are padded to an even length
    const uint8_t pad = 0;
    ok = ok && std::fwrite(&pad, 1, 1, file) == 1;
  }
  patch(4, static_cast<uint32_t>(headerBytes - 8 + impl->dataBytes + (impl->dataBytes & 1)));
  if (isFloat)
    patch(44, static_cast<uint32_t>(impl->channels == 0 ? 0 : impl->dataBytes / (4 * impl->channels)));
  patch(static_cast<long>(headerBytes - 4), data);
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    error = "cannot write " + impl->path;
  }
  return ok;
}

}  // namespace tovik::host
