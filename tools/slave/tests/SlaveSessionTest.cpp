#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <memory>
#include <random>
#include <thread>

#include "SlaveSession.h"
#include "SlaveTestSupport.h"

namespace tovik::slave::test {
namespace {

// A session serving the server end of a loopback connection on its own thread;
// the test talks to it through the client end.
class SessionHarness {
 public:
  explicit SessionHarness(const SlaveSettings& settings) : settings_(settings) {
    session_ = std::make_unique<CSlaveSession>(pair_.server, settings_, &stats_, &stop_);
    end_ = std::async(std::launch::async, [this] { return session_->Run(); });
  }
  ~SessionHarness() {
    stop_ = true;
    pair_.CloseClient();
    if (end_.valid()) end_.wait();
  }

  int Client() const { return pair_.client; }
  void Send(const Bytes& data) { ASSERT_TRUE(SendAll(pair_.client, data)); }
  Bytes Read(size_t n) { return ReadBytes(pair_.client, n); }
  // Waits for the session to end by itself.
  SessionEnd WaitEnd() {
    if (end_.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "the session did not end";
      stop_ = true;
    }
    return end_.get();
  }
  // Closes the client's end and waits for the session to end.
  SessionEnd Hangup() {
    pair_.CloseClient();
    return WaitEnd();
  }
  void Stop() { stop_ = true; }
  const CSlaveSession& Session() const { return *session_; }
  const SlaveStats& Stats() const { return stats_; }

 private:
  SlaveSettings settings_;
  SlaveStats stats_;
  std::atomic<bool> stop_{false};
  LoopbackPair pair_;
  std::unique_ptr<CSlaveSession> session_;
  std::future<SessionEnd> end_;
};

SlaveSettings Fast() {
  SlaveSettings settings;
  settings.stallMs = 300;
  settings.messageMs = 2000;
  return settings;
}

Bytes RandomBytes(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  Bytes out(n);
  for (auto& byte : out) byte = static_cast<unsigned char>(random());
  return out;
}

// The answer to a block: code 11, B, C, N, then C x N x B bytes.
Bytes ReadProcessAnswer(SessionHarness& harness, int32_t* precision, int32_t* channels, int32_t* frames) {
  const Bytes header = harness.Read(16);
  if (header.size() != 16) return Bytes();
  EXPECT_EQ(Get32(header, 0), msgProcess);
  *precision = Get32(header, 4);
  *channels = Get32(header, 8);
  *frames = Get32(header, 12);
  return harness.Read(static_cast<size_t>(*precision) * static_cast<size_t>(*channels) *
                      static_cast<size_t>(*frames));
}

TEST(SlaveHandshake, AnswersHelloAndGetInfoWithExactBytesAndRecordsTheRest) {
  SessionHarness harness(Fast());
  harness.Send(Concat(
      {Hello(1, 8), SetIo(2, 6), SampleRate(48000.0f), BlockSize(256), Code(msgGetInfo), Code(msgOpen)}));
  EXPECT_EQ(harness.Read(6), (Bytes{4, 0, 0, 0, 2, 8}));
  EXPECT_EQ(harness.Read(16), (Bytes{16, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 6, 0, 0, 0}));
  // Nothing else is answered: not msgSetIo, the rate, the block size or msgOpen.
  EXPECT_TRUE(NothingArrives(harness.Client(), 100));
  harness.Send(Concat({Code(msgResume), Code(msgSuspend)}));
  EXPECT_EQ(harness.Hangup(), SessionEnd::kPeerClosed);
  const CSlaveSession& session = harness.Session();
  EXPECT_EQ(session.PluginIdent1(), 1);
  EXPECT_EQ(session.PluginIdent2(), 8);
  EXPECT_EQ(session.Inputs(), 2);
  EXPECT_EQ(session.Outputs(), 6);
  EXPECT_EQ(session.SampleRate(), 48000.0f);
  EXPECT_EQ(session.BlockSize(), 256);
  EXPECT_TRUE(session.Opened());
  EXPECT_TRUE(session.Suspended());
}

TEST(SlaveHandshake, GetInfoBeforeSetIoReportsZeroCounts) {
  SessionHarness harness(Fast());
  harness.Send(Code(msgGetInfo));
  EXPECT_EQ(harness.Read(16), (Bytes{16, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(SlaveHandshake, CodesWithoutPayloadAreSkippedAndTimeInfoIsConsumed) {
  SessionHarness harness(Fast());
  Bytes timeInfo = Code(msgTimeInfo);
  timeInfo.resize(4 + kTimeInfoBytes, 0xEE);
  harness.Send(Concat({Code(0), Code(4), Code(6), Code(10), Code(14), Code(15), timeInfo, Hello()}));
  EXPECT_EQ(harness.Read(6), (Bytes{4, 0, 0, 0, 2, 8}));
}

TEST(SlaveHandshake, MsgCloseEndsTheConnection) {
  SessionHarness harness(Fast());
  harness.Send(Concat({Hello(), Code(msgClose), Hello()}));
  EXPECT_EQ(harness.Read(6).size(), 6u);
  EXPECT_EQ(harness.WaitEnd(), SessionEnd::kCloseMessage);
}

class SlavePassThrough : public ::testing::TestWithParam<int32_t> {};

TEST_P(SlavePassThrough, ReturnsEveryWireByteUnchangedAtUnityGain) {
  const int32_t precision = GetParam();
  SessionHarness harness(Fast());
  const int32_t channels = 2;
  const int32_t frames = 300;
  const Bytes audio = RandomBytes(static_cast<size_t>(channels * frames * precision), 7u + precision);
  harness.Send(Process(precision, channels, frames, audio));
  int32_t b = 0, c = 0, n = 0;
  const Bytes answer = ReadProcessAnswer(harness, &b, &c, &n);
  EXPECT_EQ(b, precision);
  EXPECT_EQ(c, channels);
  EXPECT_EQ(n, frames);
  EXPECT_EQ(answer, audio);
  EXPECT_EQ(harness.Hangup(), SessionEnd::kPeerClosed);
  EXPECT_EQ(harness.Session().Precision(), precision);
  EXPECT_EQ(harness.Stats().blocks, 1u);
  EXPECT_EQ(harness.Stats().latency.Count(), 1u);
}

INSTANTIATE_TEST_SUITE_P(AllPrecisions, SlavePassThrough, ::testing::Values(1, 2, 3, 4));

TEST(SlavePassThrough, Code4KeepsNaNsInfinitiesAndDenormalsBitExact) {
  SessionHarness harness(Fast());
  Bytes audio;
  for (uint32_t bits : {0x7FC00001u, 0xFF800000u, 0x7F800000u, 0x00000001u, 0x80000000u, 0x3F800000u}) {
    unsigned char raw[4];
    std::memcpy(raw, &bits, 4);
    audio.insert(audio.end(), raw, raw + 4);
  }
  harness.Send(Process(4, 1, 6, audio));
  int32_t b = 0, c = 0, n = 0;
  EXPECT_EQ(ReadProcessAnswer(harness, &b, &c, &n), audio);
}

TEST(SlavePassThrough, AFullAudioAreaOf16ChannelsRoundTrips) {
  SessionHarness harness(Fast());
  const Bytes audio = RandomBytes(static_cast<size_t>(kAudioAreaSize), 99u);
  harness.Send(Concat({SetIo(16, 16), Process(4, 16, kMaxFrames, audio)}));
  int32_t b = 0, c = 0, n = 0;
  const Bytes answer = ReadProcessAnswer(harness, &b, &c, &n);
  EXPECT_EQ(c, 16);
  EXPECT_EQ(n, kMaxFrames);
  EXPECT_TRUE(answer == audio);
}

TEST(SlaveGain, MinusSixDbHalvesTheSamplesAtEachPrecision) {
  SlaveSettings settings = Fast();
  settings.SetGainDb(20.0 * std::log10(0.5));
  ASSERT_EQ(settings.gain, 0.5f);
  SessionHarness harness(settings);

  // 32-bit float: exact halves.
  Bytes floats;
  for (float x : {1.0f, -0.75f, 0.25f, 3.0f}) PutFloat(floats, x);
  harness.Send(Process(4, 1, 4, floats));
  int32_t b = 0, c = 0, n = 0;
  Bytes expected;
  for (float x : {0.5f, -0.375f, 0.125f, 1.5f}) PutFloat(expected, x);
  EXPECT_EQ(ReadProcessAnswer(harness, &b, &c, &n), expected);

  // 16-bit: 1000 -> 500, -2000 -> -1000, 0 -> 0.
  harness.Send(Process(2, 1, 3, Bytes{0xE8, 0x03, 0x30, 0xF8, 0x00, 0x00}));
  EXPECT_EQ(ReadProcessAnswer(harness, &b, &c, &n), (Bytes{0xF4, 0x01, 0x18, 0xFC, 0x00, 0x00}));

  // 8-bit: 128 + 100 -> 128 + 50, 128 - 100 -> 128 - 50, 128 stays.
  harness.Send(Process(1, 1, 3, Bytes{228, 28, 128}));
  EXPECT_EQ(ReadProcessAnswer(harness, &b, &c, &n), (Bytes{178, 78, 128}));

  // 24-bit: the upper three bytes of 0.75 (0x3F400000) -> those of 0.375 (0x3EC00000).
  harness.Send(Process(3, 1, 1, Bytes{0x00, 0x40, 0x3F}));
  EXPECT_EQ(ReadProcessAnswer(harness, &b, &c, &n), (Bytes{0x00, 0xC0, 0x3E}));
  EXPECT_EQ(b, 3);
}

TEST(SlaveChannels, OutputJTakesInputJModuloTheBlocksChannels) {
  SessionHarness harness(Fast());
  const int32_t frames = 5;
  Bytes audio;
  for (int ch = 0; ch < 2; ++ch) {
    for (int i = 0; i < frames; ++i)
      audio.insert(audio.end(), {static_cast<unsigned char>(ch * 16 + i), 0x11});
  }
  harness.Send(Concat({SetIo(2, 5), Process(2, 2, frames, audio)}));
  int32_t b = 0, c = 0, n = 0;
  const Bytes answer = ReadProcessAnswer(harness, &b, &c, &n);
  ASSERT_EQ(c, 5);
  const size_t channelBytes = frames * 2;
  ASSERT_EQ(answer.size(), 5 * channelBytes);
  for (size_t j = 0; j < 5; ++j) {
    const size_t from = (j % 2) * channelBytes;
    EXPECT_TRUE(std::equal(answer.begin() + static_cast<long>(j * channelBytes),
                           answer.begin() + static_cast<long>((j + 1) * channelBytes),
                           audio.begin() + static_cast<long>(from)))
        << "output " << j;
  }

  // Fewer outputs than inputs: the first ones.
  harness.Send(Concat({SetIo(2, 1), Process(2, 2, frames, audio)}));
  EXPECT_EQ(ReadProcessAnswer(harness, &b, &c, &n), Bytes(audio.begin(), audio.begin() + 10));
  EXPECT_EQ(c, 1);
}

TEST(SlaveChannels, ABlockWithoutChannelsIsAnsweredWithSilenceAtItsPrecision) {
  SessionHarness harness(Fast());
  harness.Send(Concat({SetIo(0, 3), Process(1, 0, 4, Bytes())}));
  int32_t b = 0, c = 0, n = 0;
  EXPECT_EQ(ReadProcessAnswer(harness, &b, &c, &n), Bytes(12, 128));
  EXPECT_EQ(c, 3);
  harness.Send(Process(3, 0, 4, Bytes()));
  EXPECT_EQ(ReadProcessAnswer(harness, &b, &c, &n), Bytes(36, 0));
}

TEST(SlaveChannels, WithoutSetIoTheAnswerHasTheBlocksChannels) {
  SessionHarness harness(Fast());
  const Bytes audio = RandomBytes(3 * 8 * 4, 3u);
  harness.Send(Process(4, 3, 8, audio));
  int32_t b = 0, c = 0, n = 0;
  EXPECT_EQ(ReadProcessAnswer(harness, &b, &c, &n), audio);
  EXPECT_EQ(c, 3);
}

TEST(SlaveChannels, ZeroFramesGiveAnAnswerWithoutAudio) {
  SessionHarness harness(Fast());
  harness.Send(Concat({SetIo(2, 2), Process(2, 2, 0, Bytes())}));
  EXPECT_EQ(harness.Read(16), (Bytes{11, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(NothingArrives(harness.Client(), 50));
}

TEST(SlaveChannels, AnAnswerLargerThanTheAudioAreaCarriesTheChannelsThatFit) {
  SessionHarness harness(Fast());
  const int32_t frames = kAudioAreaSize / 4 / 4;  // one channel is a quarter of the area
  const Bytes audio = RandomBytes(static_cast<size_t>(frames) * 4, 5u);
  harness.Send(Concat({SetIo(1, 16), Process(4, 1, frames, audio)}));
  int32_t b = 0, c = 0, n = 0;
  const Bytes answer = ReadProcessAnswer(harness, &b, &c, &n);
  EXPECT_EQ(c, 4);
  EXPECT_EQ(answer.size(), static_cast<size_t>(kAudioAreaSize));
}

// Event echo: the records come back, byte for byte, as one msgEvents sent just
// before the block's answer.
class SlaveEventEcho : public ::testing::Test {
 protected:
  // Sends a one-frame block with the records; returns the event part of the
  // answer (empty when no msgEvents came) and checks that the audio answer follows.
  Bytes Echo(SessionHarness& harness, const Bytes& records) {
    harness.Send(Process(4, 1, 1, Bytes(4, 0), records));
    Bytes code = harness.Read(4);
    if (code.size() != 4) return Bytes{0xFF};
    Bytes events;
    if (Get32(code, 0) == msgEvents) {
      const Bytes length = harness.Read(4);
      events = harness.Read(static_cast<size_t>(Get32(length, 0)));
      code = harness.Read(4);
    }
    EXPECT_EQ(Get32(code, 0), msgProcess);
    EXPECT_EQ(harness.Read(16).size(), 16u);  // B, C, N and one sample
    return events;
  }
  static SlaveSettings Echoing(int32_t sysexFixed = 0) {
    SlaveSettings settings = Fast();
    settings.echoEvents = true;
    settings.sysexFixed = sysexFixed;
    return settings;
  }
};

TEST_F(SlaveEventEcho, MidiAndSysExFromA64BitPlugIn) {
  SessionHarness harness(Echoing());
  const Bytes records = Concat(
      {MidiRecord(0, 0x90, 60, 100), SysexRecord(24, {0xF0, 0x7E, 0x7F, 0xF7}), MidiRecord(17, 0x80, 60, 0)});
  EXPECT_EQ(Echo(harness, records), records);
  EXPECT_EQ(harness.Session().SysexFixed(), 24);
}

TEST_F(SlaveEventEcho, MidiAndSysExFromA32BitPlugIn) {
  SessionHarness harness(Echoing());
  const Bytes records = Concat({SysexRecord(20, {0xF0, 0x01, 0x02, 0x03, 0xF7}), MidiRecord(3, 0xB0, 7, 90),
                                SysexRecord(20, {}), MidiRecord(4, 0xB0, 7, 91)});
  EXPECT_EQ(Echo(harness, records), records);
  EXPECT_EQ(harness.Session().SysexFixed(), 20);
}

TEST_F(SlaveEventEcho, ForcedFixedPartSizeIsUsedAsGiven) {
  // Read as 20-byte SysEx, a 24-byte record's gap bytes pose as dump data and
  // the walk then stops at the MIDI record, whose start it misses.
  SessionHarness harness(Echoing(20));
  const Bytes sysex = SysexRecord(24, {0xF0, 0xF7});
  const Bytes records = Concat({sysex, MidiRecord(0, 0x90, 1, 2)});
  const Bytes echoed = Echo(harness, records);
  EXPECT_LT(echoed.size(), records.size());
  EXPECT_TRUE(std::equal(echoed.begin(), echoed.end(), records.begin()));
}

TEST_F(SlaveEventEcho, RecordsAfterOneThatCannotBeReadAreLeftOut) {
  SessionHarness harness(Echoing());
  const Bytes good = MidiRecord(0, 0x90, 60, 100);
  Bytes unknown{0};
  Put32(unknown, 3);
  unknown.resize(31, 0);
  Bytes negative = SysexRecord(24, {});
  const int32_t minusOne = -1;
  std::memcpy(negative.data() + 17, &minusOne, 4);
  EXPECT_EQ(Echo(harness, Concat({good, unknown, good})), good);
  EXPECT_EQ(Echo(harness, Concat({good, negative, good})), good);
  // A record that runs past the length.
  const Bytes cut(good.begin(), good.end() - 1);
  EXPECT_EQ(Echo(harness, Concat({good, cut})), good);
}

TEST_F(SlaveEventEcho, NoMsgEventsWithoutRecordsOrWithoutTheOption) {
  SessionHarness echoing(Echoing());
  EXPECT_TRUE(Echo(echoing, Bytes()).empty());
  SessionHarness plain(Fast());
  EXPECT_TRUE(Echo(plain, MidiRecord(0, 0x90, 60, 100)).empty());
}

TEST_F(SlaveEventEcho, AFullEventAreaIsEchoed) {
  SessionHarness harness(Echoing());
  Bytes records;
  while (records.size() + 31 + 25 <= static_cast<size_t>(kMaxEventBytes)) {
    const Bytes midi = MidiRecord(static_cast<int32_t>(records.size()), 0x90, 60, 1);
    records.insert(records.end(), midi.begin(), midi.end());
  }
  const size_t pad = kMaxEventBytes - records.size();  // a SysEx record fills the rest exactly
  records = Concat({records, SysexRecord(24, Bytes(pad - 25, 0x55))});
  ASSERT_EQ(records.size(), static_cast<size_t>(kMaxEventBytes));
  EXPECT_EQ(Echo(harness, records), records);
}

// Hostile input: the session ends the connection and never reads or writes
// outside its areas.
class SlaveHostileInput : public ::testing::Test {
 protected:
  static SessionEnd EndAfter(const Bytes& data) {
    SessionHarness harness(Fast());
    harness.Send(data);
    return harness.WaitEnd();
  }
};

TEST_F(SlaveHostileInput, UnknownCodesAndImpossibleSizesDropTheConnection) {
  EXPECT_EQ(EndAfter(Code(17)), SessionEnd::kGarbage);
  EXPECT_EQ(EndAfter(Code(-1)), SessionEnd::kGarbage);
  EXPECT_EQ(EndAfter(Bytes{'G', 'E', 'T', ' '}), SessionEnd::kGarbage);
  EXPECT_EQ(EndAfter(SetIo(-1, 2)), SessionEnd::kGarbage);

  Bytes huge = Process(4, 0, 0, Bytes());
  std::memcpy(huge.data() + 4 + kTimeInfoBytes, &kAudioAreaSize, 4);  // event length far above the area
  EXPECT_EQ(EndAfter(huge), SessionEnd::kGarbage);
  EXPECT_EQ(EndAfter(Process(0, 1, 1, Bytes())), SessionEnd::kGarbage);
  EXPECT_EQ(EndAfter(Process(5, 1, 1, Bytes())), SessionEnd::kGarbage);
  EXPECT_EQ(EndAfter(Process(4, 17, 1, Bytes())), SessionEnd::kGarbage);
  EXPECT_EQ(EndAfter(Process(4, -1, 1, Bytes())), SessionEnd::kGarbage);
  EXPECT_EQ(EndAfter(Process(4, 1, -1, Bytes())), SessionEnd::kGarbage);
  EXPECT_EQ(EndAfter(Process(4, 16, kMaxFrames + 1, Bytes())), SessionEnd::kGarbage);
  // C x N x B overflows 32 bits.
  EXPECT_EQ(EndAfter(Process(4, 16, 0x7FFFFFFF, Bytes())), SessionEnd::kGarbage);
  EXPECT_EQ(EndAfter(Process(2, 2, 0x40000000, Bytes())), SessionEnd::kGarbage);
}

TEST_F(SlaveHostileInput, APeerThatStallsInsideAMessageIsDropped) {
  SessionHarness harness(Fast());
  const Bytes block = Process(4, 2, 64, Bytes(512, 0));
  harness.Send(Bytes(block.begin(), block.begin() + 200));
  EXPECT_EQ(harness.WaitEnd(), SessionEnd::kStalled);
}

TEST_F(SlaveHostileInput, APeerThatTakesNoAnswersIsDropped) {
  // Each 108-byte block asks for 16 channels of 44,100 silent frames back:
  // the socket's buffers fill after a few answers and the send stalls.
  SessionHarness harness(Fast());
  Bytes blocks = SetIo(0, 16);
  for (int i = 0; i < 16; ++i) blocks = Concat({blocks, Process(4, 0, kMaxFrames, Bytes())});
  harness.Send(blocks);
  EXPECT_EQ(harness.WaitEnd(), SessionEnd::kStalled);
  EXPECT_LT(harness.Session().BytesOut(), 16u * (16u + static_cast<uint64_t>(kAudioAreaSize)));
}

TEST_F(SlaveHostileInput, PausesShorterThanTheStallTimeKeepAMessageGoing) {
  // Four pieces 200 ms apart: the message takes 600 ms, longer than the
  // 300 ms stall time, but no pause reaches it.
  SessionHarness harness(Fast());
  const Bytes audio = RandomBytes(4 * 2 * 64, 5u);
  const Bytes block = Process(4, 2, 64, audio);
  const size_t piece = block.size() / 4;
  for (size_t at = 0; at < block.size(); at += piece) {
    if (at > 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    harness.Send(Bytes(block.begin() + static_cast<std::ptrdiff_t>(at),
                       block.begin() + static_cast<std::ptrdiff_t>(std::min(block.size(), at + piece))));
  }
  int32_t b = 0, c = 0, n = 0;
  EXPECT_EQ(ReadProcessAnswer(harness, &b, &c, &n), audio);
  EXPECT_EQ(harness.Hangup(), SessionEnd::kPeerClosed);
}

TEST_F(SlaveHostileInput, APeerThatClosesInsideAMessageEndsTheSession) {
  SessionHarness harness(Fast());
  const Bytes block = Process(4, 2, 64, Bytes(512, 0));
  harness.Send(Bytes(block.begin(), block.end() - 1));
  EXPECT_EQ(harness.Hangup(), SessionEnd::kTruncated);
}

TEST_F(SlaveHostileInput, RandomBytesEndTheSessionWithoutHarm) {
  for (unsigned seed = 1; seed <= 40; ++seed) {
    SessionHarness harness(Fast());
    Bytes data = RandomBytes(64 + seed * 97, seed);
    // Half the runs start like a plug-in so that the random part lands in payloads.
    if (seed % 2 == 0) data = Concat({Hello(), SetIo(2, 2), Code(msgProcess), data});
    harness.Send(data);
    const SessionEnd end = harness.Hangup();
    EXPECT_NE(end, SessionEnd::kStopped) << "seed " << seed;
  }
}

TEST(SlaveSessionLifecycle, TheStopFlagEndsAnIdleSession) {
  SessionHarness harness(Fast());
  harness.Send(Hello());
  EXPECT_EQ(harness.Read(6).size(), 6u);
  harness.Stop();
  EXPECT_EQ(harness.WaitEnd(), SessionEnd::kStopped);
}

TEST(SlaveSessionLifecycle, SilentAnswersNothingButReadsEverything) {
  SlaveSettings settings = Fast();
  settings.silent = true;
  SessionHarness harness(settings);
  harness.Send(
      Concat({Hello(), Code(msgGetInfo), Process(4, 1, 8, Bytes(32, 1)), Process(4, 1, 8, Bytes(32, 1))}));
  EXPECT_TRUE(NothingArrives(harness.Client(), 200));
  EXPECT_EQ(harness.Hangup(), SessionEnd::kPeerClosed);
  EXPECT_EQ(harness.Session().Blocks(), 2u);
}

TEST(SlaveSessionLifecycle, DelayedAnswersCountTheDelayInTheLatency) {
  SlaveSettings settings = Fast();
  settings.delayMs = 60;
  SessionHarness harness(settings);
  harness.Send(Process(4, 1, 8, Bytes(32, 1)));
  int32_t b = 0, c = 0, n = 0;
  EXPECT_EQ(ReadProcessAnswer(harness, &b, &c, &n), Bytes(32, 1));
  EXPECT_EQ(harness.Hangup(), SessionEnd::kPeerClosed);
  EXPECT_GE(harness.Stats().latency.Max(), 60'000'000);
}

TEST(SlaveSessionLifecycle, ARateSoLowThatNoBlockEndsInTimeCountsNoBlockLate) {
  // 44,100 frames at 1e-30 Hz last about 4e43 ns, far beyond any 64-bit count.
  SessionHarness harness(Fast());
  harness.Send(Concat({SampleRate(1e-30f), Process(4, 1, kMaxFrames, Bytes(kMaxFrames * 4, 2))}));
  int32_t b = 0, c = 0, n = 0;
  EXPECT_EQ(ReadProcessAnswer(harness, &b, &c, &n).size(), static_cast<size_t>(kMaxFrames) * 4);
  EXPECT_EQ(harness.Hangup(), SessionEnd::kPeerClosed);
  EXPECT_EQ(harness.Session().Blocks(), 1u);
  EXPECT_EQ(harness.Session().LateBlocks(), 0u);
}

TEST(SlaveSessionLifecycle, ManyBlocksAreAllCountedWithTheirBytes) {
  SlaveSettings settings = Fast();
  SlaveStats stats;
  {
    LoopbackPair pair;
    std::atomic<bool> stop{false};
    auto end = std::async(std::launch::async, [&] {
      CSlaveSession session(pair.server, settings, &stats, &stop);
      return session.Run();
    });
    const Bytes block = Process(2, 2, 512, Bytes(2048, 3));
    for (int i = 0; i < 200; ++i) {
      ASSERT_TRUE(SendAll(pair.client, block));
      ASSERT_EQ(ReadBytes(pair.client, 16 + 2048).size(), 16u + 2048u);
    }
    pair.CloseClient();
    EXPECT_EQ(end.get(), SessionEnd::kPeerClosed);
  }
  EXPECT_EQ(stats.blocks, 200u);
  EXPECT_EQ(stats.latency.Count(), 200u);
  EXPECT_EQ(stats.bytesIn, 200u * (4 + 88 + 4 + 12 + 2048));
  EXPECT_EQ(stats.bytesOut, 200u * (16 + 2048));
}

}  // namespace
}  // namespace tovik::slave::test
