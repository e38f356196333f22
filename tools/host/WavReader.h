// WAV files read in blocks, in memory that does not depend on the file's
// length: the header is walked chunk by chunk (skipping what it does not
// need), then the samples are read a block at a time from the data chunk.
// CWavCodec::Decode reads a file held in memory through the same walk.
//
// Every length in a file is checked against the bytes present: a damaged file
// is refused, never overrun; a data chunk that claims more than the file holds
// (a writer that never finished) is read as far as it goes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AudioFile.h"

namespace tovik::host {

// Bytes at given offsets of a file or of a buffer.
class CByteSource {
 public:
  virtual ~CByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Reads count bytes at offset; returns how many were there (fewer at the end).
  virtual size_t ReadAt(uint64_t offset, void* to, size_t count) = 0;
  bool ReadAll(uint64_t offset, void* to, size_t count) { return ReadAt(offset, to, count) == count; }
};

class CMemoryBytes : public CByteSource {
 public:
  CMemoryBytes(const uint8_t* data, size_t size) : bytes(data), length(size) {}
  uint64_t Size() const override { return length; }
  size_t ReadAt(uint64_t offset, void* to, size_t count) override;

 private:
  const uint8_t* bytes;
  size_t length;
};

// What the header says, checked.
struct WavLayout {
  uint16_t tag = 0;  // 1 PCM, 3 float (an extensible header's sub-format)
  uint16_t channels = 0;
  uint16_t bits = 0;
  uint16_t blockAlign = 0;
  uint32_t sampleRate = 0;
  uint64_t dataOffset = 0;
  uint64_t frames = 0;  // whole frames present in the data chunk
};

// Walks the chunks of a RIFF/WAVE file. false with a message for anything
// that is not a WAV file of a sample format this reader takes.
bool ReadWavLayout(CByteSource& bytes, WavLayout& layout, std::string& error);

// Decodes frames of interleaved samples into channels[c][at..at+frames).
void DecodeWavFrames(const WavLayout& layout, const uint8_t* data, size_t frames,
                     std::vector<std::vector<float>>& channels, size_t at);

// A WAV file opened for reading in blocks.
class CWavFileReader : public CAudioSource {
 public:
  CWavFileReader();
  ~CWavFileReader() override;
  CWavFileReader(const CWavFileReader&) = delete;
  CWavFileReader& operator=(const CWavFileReader&) = delete;

  bool Open(const std::string& path, std::string& error);
  int Channels() const override { return layout.channels; }
  int SampleRate() const override;
  uint64_t Frames() const override { return layout.frames; }
  size_t Read(std::vector<std::vector<float>>& channels, size_t frames) override;
  // Why a read stopped early (the file shrank, a read error), else empty.
  const std::string& Error() const { return error; }
  // The bytes held for samples: at most kChunkFrames frames of the file.
  size_t BufferBytes() const { return buffer.capacity(); }

  static constexpr size_t kChunkFrames = 4096;

 private:
  class CFileBytes;
  std::unique_ptr<CFileBytes> file;
  std::string path;
  WavLayout layout;
  uint64_t position = 0;  // frames read
  std::vector<uint8_t> buffer;
  std::string error;
};

}  // namespace tovik::host
