// The WAV writer's exact bytes: every header field and the sample layout.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <vector>

#include "WavCodec.h"

namespace tovik::host {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Tag(const char* tag) {
  return Bytes(tag, tag + 4);
}
Bytes Le16(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
}
Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(WavEncode, Float32FileIsHeaderFactAndInterleavedSamples) {
  AudioData audio;
  audio.sampleRate = 48000;
  audio.channels = {{1.0f, -0.5f}, {0.25f, -2.0f}};
  const Bytes expected = Cat({Tag("RIFF"),      Le32(36 + 12 + 16),
                              Tag("WAVE"),  //
                              Tag("fmt "),      Le32(16),
                              Le16(3),          Le16(2),
                              Le32(48000),      Le32(48000 * 8),  //
                              Le16(8),          Le16(32),         //
                              Tag("fact"),      Le32(4),
                              Le32(2),                     //
                              Tag("data"),      Le32(16),  //
                              Le32(0x3F800000), Le32(0x3E800000),
                              Le32(0xBF000000), Le32(0xC0000000)});
  EXPECT_EQ(CWavCodec::Encode(audio, WavSampleFormat::kFloat32), expected);
}

TEST(WavEncode, Pcm16FileHasNoFactChunkAndClipsRoundsAndZeroesNan) {
  AudioData audio;
  audio.sampleRate = 44100;
  audio.channels = {{0.5f, 3.0f, -3.0f, std::numeric_limits<float>::quiet_NaN()}};
  const Bytes expected = Cat({Tag("RIFF"), Le32(36 + 8), Tag("WAVE"),                                 //
                              Tag("fmt "), Le32(16), Le16(1), Le16(1), Le32(44100), Le32(44100 * 2),  //
                              Le16(2), Le16(16),                                                      //
                              Tag("data"), Le32(8),                                                   //
                              Le16(16384), Le16(32767), Le16(0x8001), Le16(0)});
  EXPECT_EQ(CWavCodec::Encode(audio, WavSampleFormat::kPcm16), expected);
}

TEST(WavEncode, NoAudioIsAHeaderWithAnEmptyDataChunk) {
  AudioData audio;
  audio.sampleRate = 8000;
  audio.channels = {{}, {}};
  const Bytes bytes = CWavCodec::Encode(audio, WavSampleFormat::kFloat32);
  ASSERT_EQ(bytes.size(), 56u);
  EXPECT_EQ(Bytes(bytes.end() - 8, bytes.end()), Cat({Tag("data"), Le32(0)}));
}

TEST(WavEncode, AChannelShorterThanTheFirstIsSilencePastItsEnd) {
  AudioData audio;
  audio.sampleRate = 48000;
  audio.channels = {{0.5f, 0.5f, 0.5f}, {1.0f}};
  const Bytes bytes = CWavCodec::Encode(audio, WavSampleFormat::kFloat32);
  ASSERT_EQ(bytes.size(), 56u + 3u * 2u * 4u);
  EXPECT_EQ(Bytes(bytes.begin() + 56, bytes.end()),
            Cat({Le32(0x3F000000), Le32(0x3F800000), Le32(0x3F000000), Le32(0), Le32(0x3F000000), Le32(0)}));
}

}  // namespace
}  // namespace tovik::host
