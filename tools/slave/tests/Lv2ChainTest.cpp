// Real LV2 plug-ins run by the slave's session, checked against what others
// make of them: eg-amp against lv2apply (lilv-utils) sample for sample, the
// MIDI eg-fifths sends, and an mda-lv2 instrument's pitch.
#if TOVIK_HAVE_LILV

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "SlaveSession.h"
#include "SlaveTestSupport.h"
#include "hosting/PluginChain.h"

namespace tovik::slave::test {
namespace {

const char kAmp[] = "http://lv2plug.in/plugins/eg-amp";
const char kFifths[] = "http://lv2plug.in/plugins/eg-fifths";
const char kEPiano[] = "http://drobilla.net/plugins/mda/EPiano";

std::shared_ptr<const hosting::ChainSpec> MakeChain(const std::string& uri,
                                                    const std::vector<std::string>& sets,
                                                    std::string* error) {
  hosting::CChainBuilder builder;
  std::vector<std::string> warnings;
  if (!builder.AddPlugin(uri, error)) return nullptr;
  for (const std::string& set : sets) {
    if (!builder.AddSetting(set, error, &warnings)) return nullptr;
  }
  return builder.Take();
}

// A session serving one end of a loopback pair on a thread of its own.
class Served {
 public:
  explicit Served(std::shared_ptr<const hosting::ChainSpec> chain) {
    settings_.chain = std::move(chain);
    session_ = std::make_unique<CSlaveSession>(pair_.server, settings_, nullptr, &stop_);
    thread_ = std::thread([this] { end_ = session_->Run(); });
  }
  ~Served() {
    stop_.store(true);
    pair_.CloseClient();
    thread_.join();
  }
  int Client() const { return pair_.client; }
  // Hello, the counts, rate and block size, msgOpen and msgResume, as the
  // plug-in's handshake sends them.
  bool Handshake(int32_t inputs, int32_t outputs, float rate, int32_t block) {
    if (!SendAll(pair_.client, Concat({Hello(), SetIo(inputs, outputs), SampleRate(rate), BlockSize(block),
                                       Code(msgOpen), Code(msgResume)}))) {
      return false;
    }
    return ReadBytes(pair_.client, 6).size() == 6;
  }
  // Sends one block, reads its answer: the events (if any) and the audio.
  bool Block(int32_t channels, const std::vector<float>& planar, int32_t frames, const Bytes& events,
             std::vector<float>* audio, Bytes* eventsBack, int32_t* outChannels) {
    Bytes samples(planar.size() * 4);
    if (!samples.empty()) std::memcpy(samples.data(), planar.data(), samples.size());
    if (!SendAll(pair_.client, Process(4, channels, frames, samples, events))) return false;
    Bytes code = ReadBytes(pair_.client, 4);
    if (code.size() != 4) return false;
    if (Get32(code, 0) == msgEvents) {
      const Bytes length = ReadBytes(pair_.client, 4);
      if (length.size() != 4) return false;
      *eventsBack = ReadBytes(pair_.client, static_cast<size_t>(Get32(length, 0)));
      code = ReadBytes(pair_.client, 4);
    }
    if (code.size() != 4 || Get32(code, 0) != msgProcess) return false;
    const Bytes header = ReadBytes(pair_.client, 12);
    if (header.size() != 12 || Get32(header, 0) != 4 || Get32(header, 8) != frames) return false;
    *outChannels = Get32(header, 4);
    const Bytes data =
        ReadBytes(pair_.client, static_cast<size_t>(*outChannels) * static_cast<size_t>(frames) * 4);
    audio->assign(data.size() / 4, 0.0f);
    std::memcpy(audio->data(), data.data(), data.size());
    return data.size() == audio->size() * 4;
  }

 private:
  LoopbackPair pair_;
  SlaveSettings settings_;
  std::atomic<bool> stop_{false};
  std::unique_ptr<CSlaveSession> session_;
  std::thread thread_;
  SessionEnd end_ = SessionEnd::kSocketError;
};

// 32-bit float WAV files, mono, as lv2apply reads and writes them.
void WriteWav(const std::string& path, const std::vector<float>& samples, int rate) {
  std::ofstream out(path, std::ios::binary);
  auto put32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto put16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  const auto dataBytes = static_cast<uint32_t>(samples.size() * 4);
  out.write("RIFF", 4);
  put32(36 + dataBytes);
  out.write("WAVEfmt ", 8);
  put32(16);
  put16(3);
  put16(1);
  put32(static_cast<uint32_t>(rate));
  put32(static_cast<uint32_t>(rate) * 4);
  put16(4);
  put16(32);
  out.write("data", 4);
  put32(dataBytes);
  out.write(reinterpret_cast<const char*>(samples.data()), dataBytes);
}

// The samples of a mono 32-bit float WAV file (empty when it is not one).
std::vector<float> ReadWav(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<float> samples;
  size_t pos = 12;
  bool isFloatMono = false;
  while (pos + 8 <= bytes.size()) {
    uint32_t size;
    std::memcpy(&size, bytes.data() + pos + 4, 4);
    const std::string id = bytes.substr(pos, 4);
    if (id == "fmt " && size >= 16 && pos + 8 + 16 <= bytes.size()) {
      uint16_t format, channels, bits;
      std::memcpy(&format, bytes.data() + pos + 8, 2);
      std::memcpy(&channels, bytes.data() + pos + 10, 2);
      std::memcpy(&bits, bytes.data() + pos + 22, 2);
      isFloatMono = (format == 3 || format == 0xFFFE) && channels == 1 && bits == 32;
    }
    if (id == "data" && isFloatMono) {
      const size_t count = std::min<size_t>(size, bytes.size() - pos - 8) / 4;
      samples.resize(count);
      std::memcpy(samples.data(), bytes.data() + pos + 8, count * 4);
      return samples;
    }
    pos += 8 + size + (size & 1);
  }
  return samples;
}

std::vector<float> TestSignal(int channel, size_t frames) {
  std::vector<float> out(frames);
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / 48000.0;
    out[i] = static_cast<float>(0.6 * std::sin(2 * M_PI * 220.0 * (channel + 1) * t) +
                                0.3 * std::sin(2 * M_PI * 3100.0 * t + channel));
  }
  return out;
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/tovik-lv2-XXXXXX";
    path = mkdtemp(pattern) != nullptr ? pattern : "";
  }
  ~TempDir() {
    if (!path.empty()) std::system(("rm -rf '" + path + "'").c_str());
  }
  std::string path;
};

// The relay's output for `channels` channels of TestSignal through eg-amp at
// -6 dB, against lv2apply's for each channel alone.
void CompareAmpWithLv2apply(int32_t channels) {
#if !defined(TOVIK_LV2APPLY)
  GTEST_SKIP() << "lv2apply (lilv-utils) is not installed";
#else
  std::string error;
  auto chain = MakeChain(kAmp, {"gain=-6"}, &error);
  if (!chain) GTEST_SKIP() << "eg-amp (lv2-examples) is not installed: " << error;
  constexpr int32_t kBlock = 512;
  constexpr size_t kFrames = 48000 / 2 + 300;  // a last block shorter than the others
  std::vector<std::vector<float> > input, relayed(static_cast<size_t>(channels));
  for (int32_t c = 0; c < channels; ++c) input.push_back(TestSignal(c, kFrames));

  Served served(chain);
  ASSERT_TRUE(served.Handshake(channels, channels, 48000.0f, kBlock));
  for (size_t start = 0; start < kFrames; start += kBlock) {
    const auto frames = static_cast<int32_t>(std::min<size_t>(kBlock, kFrames - start));
    std::vector<float> planar;
    for (int32_t c = 0; c < channels; ++c) {
      const auto& signal = input[static_cast<size_t>(c)];
      planar.insert(planar.end(), signal.begin() + static_cast<long>(start),
                    signal.begin() + static_cast<long>(start) + frames);
    }
    std::vector<float> audio;
    Bytes events;
    int32_t outChannels = 0;
    ASSERT_TRUE(served.Block(channels, planar, frames, Bytes(), &audio, &events, &outChannels));
    ASSERT_EQ(outChannels, channels);
    for (int32_t c = 0; c < channels; ++c) {
      relayed[static_cast<size_t>(c)].insert(relayed[static_cast<size_t>(c)].end(),
                                             audio.begin() + c * frames, audio.begin() + (c + 1) * frames);
    }
  }

  TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  for (int32_t c = 0; c < channels; ++c) {
    const std::string in = dir.path + "/in" + std::to_string(c) + ".wav";
    const std::string out = dir.path + "/out" + std::to_string(c) + ".wav";
    WriteWav(in, input[static_cast<size_t>(c)], 48000);
    const std::string command = std::string(TOVIK_LV2APPLY) + " -i '" + in + "' -o '" + out +
                                "' -c gain -6 " + kAmp + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const std::vector<float> reference = ReadWav(out);
    ASSERT_EQ(reference.size(), kFrames);
    const auto& got = relayed[static_cast<size_t>(c)];
    ASSERT_EQ(got.size(), kFrames);
    double largest = 0.0;
    for (size_t i = 0; i < kFrames; ++i)
      largest = std::max(largest, std::fabs(double{got[i]} - reference[i]));
    // Both run the same plug-in code on the same floats: at most a rounding
    // step apart (in practice identical).
    EXPECT_LE(largest, 1e-7) << "channel " << c;
    // And it is -6 dB of the input, not a copy of it.
    EXPECT_NEAR(got[100], input[static_cast<size_t>(c)][100] * std::pow(10.0f, -6.0f / 20.0f), 1e-6);
  }
#endif
}

TEST(Lv2Chain, EgAmpAtMinus6DbEqualsLv2applyOnAMonoConnection) {
  CompareAmpWithLv2apply(1);
}

TEST(Lv2Chain, EgAmpAtMinus6DbEqualsLv2applyOnAStereoConnectionWithTheMonoPluginTwice) {
  CompareAmpWithLv2apply(2);
}

TEST(Lv2Chain, TheMidiEgFifthsSendsComesBackInOrderAtItsFrames) {
  std::string error;
  auto chain = MakeChain(kFifths, {}, &error);
  if (!chain) GTEST_SKIP() << "eg-fifths (lv2-examples) is not installed: " << error;
  Served served(chain);
  ASSERT_TRUE(served.Handshake(1, 1, 48000.0f, 256));
  const Bytes events = Concat({MidiRecord(3, 0x90, 60, 100), MidiRecord(200, 0x80, 60, 0)});
  std::vector<float> audio;
  Bytes back;
  int32_t outChannels = 0;
  ASSERT_TRUE(served.Block(1, std::vector<float>(256, 0.5f), 256, events, &audio, &back, &outChannels));
  // Each note and its fifth above, at the note's frame, in order.
  ASSERT_EQ(back.size(), 4u * 31u);
  const int32_t frames[] = {3, 3, 200, 200};
  const unsigned char messages[4][3] = {{0x90, 60, 100}, {0x90, 67, 100}, {0x80, 60, 0}, {0x80, 67, 0}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(Get32(back, i * 31 + 1), 1);
    EXPECT_EQ(Get32(back, i * 31 + 9), frames[i]) << i;
    EXPECT_EQ(
        Bytes(back.begin() + static_cast<long>(i * 31 + 25), back.begin() + static_cast<long>(i * 31 + 28)),
        Bytes(messages[i], messages[i] + 3))
        << i;
  }
  // It has no audio: the connection's channel is silence.
  ASSERT_EQ(outChannels, 1);
  EXPECT_EQ(audio, std::vector<float>(256, 0.0f));
}

// Strength of frequency f in x (Hann window).
double Strength(const std::vector<float>& x, double f, double rate) {
  double re = 0.0, im = 0.0;
  const size_t n = x.size();
  for (size_t i = 0; i < n; ++i) {
    const double w = 0.5 - 0.5 * std::cos(2 * M_PI * static_cast<double>(i) / static_cast<double>(n - 1));
    const double phase = 2 * M_PI * f * static_cast<double>(i) / rate;
    re += w * x[i] * std::cos(phase);
    im -= w * x[i] * std::sin(phase);
  }
  return std::hypot(re, im);
}

TEST(Lv2Chain, AnMdaEPianoPlaysTheRelayedNoteAtItsPitchAndIsSilentBeforeAndAfter) {
  std::string error;
  auto chain = MakeChain(kEPiano, {}, &error);
  if (!chain) GTEST_SKIP() << "mda EPiano (mda-lv2) is not installed: " << error;
  Served served(chain);
  constexpr int32_t kBlock = 512;
  constexpr float kRate = 48000.0f;
  ASSERT_TRUE(served.Handshake(0, 2, kRate, kBlock));
  // A4 (440 Hz) from frame 1000 to 0.5 s later, then 2.5 s more.
  constexpr int32_t kOn = 1000, kOff = 1000 + 24000, kTotal = 48000 * 3;
  std::vector<float> left;
  for (int32_t start = 0; start < kTotal; start += kBlock) {
    Bytes events;
    if (kOn >= start && kOn < start + kBlock) events = MidiRecord(kOn - start, 0x90, 69, 100);
    if (kOff >= start && kOff < start + kBlock) events = MidiRecord(kOff - start, 0x80, 69, 0);
    std::vector<float> audio;
    Bytes back;
    int32_t outChannels = 0;
    ASSERT_TRUE(served.Block(0, {}, kBlock, events, &audio, &back, &outChannels));
    ASSERT_EQ(outChannels, 2);
    left.insert(left.end(), audio.begin(), audio.begin() + kBlock);
  }
  auto peak = [&](int32_t from, int32_t to) {
    float largest = 0.0f;
    for (int32_t i = from; i < to; ++i) largest = std::max(largest, std::fabs(left[static_cast<size_t>(i)]));
    return largest;
  };
  EXPECT_EQ(peak(0, kOn), 0.0f);
  EXPECT_GT(peak(kOn, kOn + 4800), 0.05f);
  EXPECT_LT(peak(kTotal - 4800, kTotal), 1e-4f);
  // The fundamental: the strongest frequency from 400 to 480 Hz in a quarter
  // second of the note, within a few cents of 440 Hz.
  const std::vector<float> note(left.begin() + kOn + 2400, left.begin() + kOn + 2400 + 12000);
  double best = 0.0, bestStrength = 0.0;
  for (double f = 400.0; f <= 480.0; f += 0.1) {
    const double s = Strength(note, f, kRate);
    if (s > bestStrength) {
      bestStrength = s;
      best = f;
    }
  }
  const double cents = 1200.0 * std::log2(best / 440.0);
  EXPECT_LT(std::fabs(cents), 5.0) << best << " Hz";
}

}  // namespace
}  // namespace tovik::slave::test

#endif
