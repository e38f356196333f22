// The built-in WAV reader streams: the samples it hands out in blocks equal the
// whole-file decode, the chunks around the data are walked and skipped, and the
// memory it holds does not depend on the file's length.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "WavCodec.h"
#include "WavReader.h"

namespace tovik::host {
namespace {

using Bytes = std::vector<uint8_t>;

std::string WorkFile(const std::string& name) {
  return std::string(E2E_WORK_DIR) + "/" + name;
}

void Save(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void Put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
void Tag(Bytes& b, const char* tag) {
  b.insert(b.end(), tag, tag + 4);
}

AudioData Ramp(int channels, size_t frames) {
  AudioData audio;
  audio.sampleRate = 44100;
  audio.channels.assign(static_cast<size_t>(channels), std::vector<float>(frames));
  for (size_t c = 0; c < audio.channels.size(); ++c)
    for (size_t i = 0; i < frames; ++i)
      audio.channels[c][i] = static_cast<float>((static_cast<int>((i * 7 + c * 131) % 2001) - 1000) / 1024.0);
  return audio;
}

// Reads the whole file in blocks of the given size, as a relay run does.
AudioData ReadInBlocks(CWavFileReader& reader, size_t block) {
  AudioData audio;
  audio.sampleRate = reader.SampleRate();
  audio.channels.assign(static_cast<size_t>(reader.Channels()), {});
  std::vector<std::vector<float>> buffer(audio.channels.size(), std::vector<float>(block));
  for (;;) {
    const size_t got = reader.Read(buffer, block);
    if (got == 0) break;
    for (size_t c = 0; c < buffer.size(); ++c)
      audio.channels[c].insert(audio.channels[c].end(), buffer[c].begin(),
                               buffer[c].begin() + static_cast<std::ptrdiff_t>(got));
  }
  return audio;
}

TEST(WavReader, BlocksOfAnySizeEqualTheWholeFileDecode) {
  for (WavSampleFormat format : {WavSampleFormat::kFloat32, WavSampleFormat::kPcm16}) {
    const Bytes bytes = CWavCodec::Encode(Ramp(3, 10007), format);
    const std::string path = WorkFile("reader-blocks.wav");
    Save(path, bytes);
    AudioData whole;
    std::string error;
    ASSERT_TRUE(CWavCodec::Decode(bytes, whole, error)) << error;
    for (size_t block : {size_t(1), size_t(333), size_t(4096), size_t(5000), size_t(44100)}) {
      CWavFileReader reader;
      ASSERT_TRUE(reader.Open(path, error)) << error;
      EXPECT_EQ(reader.Channels(), 3);
      EXPECT_EQ(reader.SampleRate(), 44100);
      EXPECT_EQ(reader.Frames(), 10007u);
      const AudioData read = ReadInBlocks(reader, block);
      EXPECT_EQ(read.channels, whole.channels) << "block " << block;
      EXPECT_EQ(reader.Error(), "");
    }
    std::remove(path.c_str());
  }
}

// 24-bit PCM in an extensible header, a list chunk of odd length before the
// format, and a chunk after the data.
TEST(WavReader, WalksPastOtherChunksAndReadsExtensible24Bit) {
  Bytes b;
  Tag(b, "RIFF");
  Put32(b, 0);  // the reader does not trust the RIFF length
  Tag(b, "WAVE");
  Tag(b, "LIST");
  Put32(b, 3);
  b.insert(b.end(), {'a', 'b', 'c', 0});  // odd length, one pad byte
  Tag(b, "fmt ");
  Put32(b, 40);
  Put16(b, 0xFFFE);
  Put16(b, 1);
  Put32(b, 96000);
  Put32(b, 96000 * 3);
  Put16(b, 3);
  Put16(b, 24);
  Put16(b, 22);
  Put16(b, 24);
  Put32(b, 4);
  Put16(b, 1);  // sub-format GUID: PCM
  for (int i = 0; i < 14; ++i) b.push_back(0);
  Tag(b, "data");
  Put32(b, 9);
  b.insert(b.end(), {0x00, 0x00, 0x40, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x80, 0});  // 0.5, -1 LSB, -1.0, pad
  Tag(b, "cue ");
  Put32(b, 4);
  Put32(b, 0);
  const std::string path = WorkFile("reader-extensible.wav");
  Save(path, b);
  CWavFileReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(path, error)) << error;
  EXPECT_EQ(reader.Channels(), 1);
  EXPECT_EQ(reader.SampleRate(), 96000);
  ASSERT_EQ(reader.Frames(), 3u);
  const AudioData read = ReadInBlocks(reader, 2);
  ASSERT_EQ(read.channels.size(), 1u);
  EXPECT_EQ(read.channels[0], (std::vector<float>{0.5f, static_cast<float>(-1.0 / 8388608.0), -1.0f}));
  std::remove(path.c_str());
}

TEST(WavReader, DamagedFilesAreRefusedAndACutDataChunkIsReadAsFarAsItGoes) {
  const Bytes good = CWavCodec::Encode(Ramp(2, 5), WavSampleFormat::kPcm16);
  const std::string path = WorkFile("reader-damaged.wav");
  CWavFileReader reader;
  std::string error;

  Save(path, Bytes(good.begin() + 4, good.end()));
  EXPECT_FALSE(reader.Open(path, error));
  EXPECT_EQ(error, path + ": not a WAV file (no RIFF/WAVE header)");

  Bytes longFormat = good;
  longFormat[16] = 0xFF;
  longFormat[17] = 0xFF;
  Save(path, longFormat);
  EXPECT_FALSE(reader.Open(path, error));
  EXPECT_EQ(error, path + ": damaged format chunk");

  Bytes zeroChannels = good;
  zeroChannels[22] = 0;
  Save(path, zeroChannels);
  EXPECT_FALSE(reader.Open(path, error));
  EXPECT_EQ(error, path + ": inconsistent format chunk");

  Save(path, Bytes(good.begin(), good.begin() + 36));
  EXPECT_FALSE(reader.Open(path, error));
  EXPECT_EQ(error, path + ": no data chunk");

  // 5 frames of 4 bytes claimed, 3 and a half present.
  Save(path, Bytes(good.begin(), good.end() - 6));
  ASSERT_TRUE(reader.Open(path, error)) << error;
  EXPECT_EQ(reader.Frames(), 3u);
  EXPECT_EQ(ReadInBlocks(reader, 512).Frames(), 3u);

  EXPECT_FALSE(reader.Open(WorkFile("no-such-file.wav"), error));
  EXPECT_EQ(error, "cannot open " + WorkFile("no-such-file.wav"));
  std::remove(path.c_str());
}

TEST(WavReader, AFileCutWhileReadingStopsWithAReason) {
  const Bytes bytes = CWavCodec::Encode(Ramp(2, 20000), WavSampleFormat::kFloat32);
  const std::string path = WorkFile("reader-shrinks.wav");
  Save(path, bytes);
  CWavFileReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(path, error)) << error;
  std::vector<std::vector<float>> block(2, std::vector<float>(4096));
  ASSERT_EQ(reader.Read(block, 4096), 4096u);
  std::filesystem::resize_file(path, 56 + 8000 * 8);  // 8000 frames are left
  size_t total = 4096;
  for (size_t got; (got = reader.Read(block, 4096)) > 0;) total += got;
  EXPECT_EQ(total, 4096u + 3904u);
  EXPECT_EQ(reader.Error(), "cannot read " + path + " past frame 8000");
  std::remove(path.c_str());
}

// The samples are never all in memory: a file ten times longer takes the same
// buffer, of at most one chunk of frames.
TEST(WavReader, MemoryDoesNotGrowWithTheFilesLength) {
  size_t held[2] = {0, 0};
  const size_t lengths[2] = {48000, 480000};
  for (int i = 0; i < 2; ++i) {
    const std::string path = WorkFile("reader-long.wav");
    Save(path, CWavCodec::Encode(Ramp(2, lengths[i]), WavSampleFormat::kFloat32));
    CWavFileReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(path, error)) << error;
    std::vector<std::vector<float>> block(2, std::vector<float>(44100));
    uint64_t total = 0;
    for (size_t got; (got = reader.Read(block, 44100)) > 0;) total += got;
    EXPECT_EQ(total, lengths[i]);
    held[i] = reader.BufferBytes();
    std::remove(path.c_str());
  }
  EXPECT_EQ(held[0], CWavFileReader::kChunkFrames * 8);
  EXPECT_EQ(held[1], held[0]);
}

}  // namespace
}  // namespace tovik::host
