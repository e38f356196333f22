// The pieces of tovik-host that carry logic of their own: settings chunk
// editing, the WAV codec, the command line, round-trip statistics and the
// output comparison.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "HostOptions.h"
#include "HostServices.h"
#include "OutputComparison.h"
#include "RelayRunner.h"
#include "RoundTripStats.h"
#include "SettingsChunk.h"
#include "WavCodec.h"

namespace tovik::host {
namespace {

CSettingsChunk ChunkOf(const std::string& text) {
  return CSettingsChunk(text.c_str(), text.size() + 1);
}

TEST(SettingsChunk, ReplacesPresentKeysIgnoringCaseAndAppendsNewOnes) {
  const std::string relayChunk =
      "Host=localhost\nPort=19284\nSynch=1\nCfgDlg=0\nTrmSlave=1\nAudioPrec=4\nNumInputs=2\nNumOutputs=2\n"
      "StereoPins=0";
  CSettingsChunk chunk = ChunkOf(relayChunk);
  chunk.Set("host", "slave.example");
  chunk.Set("AudioPrec", "2");
  chunk.Set("Gain", "-6");
  EXPECT_EQ(chunk.Text(),
            "Host=slave.example\nPort=19284\nSynch=1\nCfgDlg=0\nTrmSlave=1\nAudioPrec=2\nNumInputs=2\n"
            "NumOutputs=2\nStereoPins=0\nGain=-6");
  std::string value;
  ASSERT_TRUE(chunk.Get("HOST", value));
  EXPECT_EQ(value, "slave.example");
  EXPECT_FALSE(chunk.Get("Hos", value));  // a key is matched up to its "=", not as a prefix
}

TEST(SettingsChunk, KeepsAFinalLineFeedAndStopsAtTheNul) {
  const char data[] = "Host=localhost\nPort=19284\n\0Port=1\n";
  CSettingsChunk chunk(data, sizeof(data));
  chunk.Set("Synch", "0");
  EXPECT_EQ(chunk.Text(), "Host=localhost\nPort=19284\nSynch=0\n");
  std::string value;
  ASSERT_TRUE(chunk.Get("Port", value));
  EXPECT_EQ(value, "19284");
}

TEST(SettingsChunk, EveryLineOfARepeatedKeyIsSetAndTheLastOneIsRead) {
  CSettingsChunk chunk = ChunkOf("Port=1\nHost=a\nPort=2");
  std::string value;
  ASSERT_TRUE(chunk.Get("Port", value));
  EXPECT_EQ(value, "2");
  chunk.Set("Port", "3");
  EXPECT_EQ(chunk.Text(), "Port=3\nHost=a\nPort=3");
}

TEST(SettingsChunk, EmptyOrMissingChunkTakesAppendedLines) {
  CSettingsChunk chunk(nullptr, 0);
  chunk.Set("Host", "h");
  chunk.Set("Port", "7");
  EXPECT_EQ(chunk.Text(), "Host=h\nPort=7");
}

AudioData TwoChannels() {
  AudioData audio;
  audio.sampleRate = 44100;
  audio.channels = {{0.0f, 0.5f, -0.5f, 1.0f, -1.0f}, {0.25f, -0.25f, 0.125f, 2.0f, -2.0f}};
  return audio;
}

TEST(WavCodec, FloatRoundTripKeepsEverySample) {
  AudioData in = TwoChannels();
  std::vector<uint8_t> bytes = CWavCodec::Encode(in, WavSampleFormat::kFloat32);
  EXPECT_EQ(bytes.size(), 44u + 12u + 5u * 2u * 4u);
  AudioData out;
  std::string error;
  ASSERT_TRUE(CWavCodec::Decode(bytes, out, error)) << error;
  EXPECT_EQ(out.sampleRate, 44100);
  EXPECT_EQ(out.channels, in.channels);
}

TEST(WavCodec, Pcm16ClipsAndScales) {
  AudioData in = TwoChannels();
  std::vector<uint8_t> bytes = CWavCodec::Encode(in, WavSampleFormat::kPcm16);
  ASSERT_EQ(bytes.size(), 44u + 5u * 2u * 2u);
  // Second frame, first channel: 0.5 * 32767 = 16383.5, rounded away from zero.
  EXPECT_EQ(bytes[44 + 4], 0x00);
  EXPECT_EQ(bytes[44 + 5], 0x40);
  AudioData out;
  std::string error;
  ASSERT_TRUE(CWavCodec::Decode(bytes, out, error)) << error;
  ASSERT_EQ(out.channels.size(), 2u);
  EXPECT_FLOAT_EQ(out.channels[0][1], 16384.0f / 32768.0f);
  EXPECT_FLOAT_EQ(out.channels[1][3], 32767.0f / 32768.0f);   // +2.0 clipped
  EXPECT_FLOAT_EQ(out.channels[1][4], -32767.0f / 32768.0f);  // -2.0 clipped
}

TEST(WavCodec, DamagedFilesAreRefusedWithoutReadingPastTheEnd) {
  std::vector<uint8_t> good = CWavCodec::Encode(TwoChannels(), WavSampleFormat::kPcm16);
  AudioData out;
  std::string error;

  std::vector<uint8_t> noHeader(good.begin() + 4, good.end());
  EXPECT_FALSE(CWavCodec::Decode(noHeader, out, error));

  std::vector<uint8_t> longFormat = good;
  longFormat[16] = 0xFF;  // fmt chunk claims more bytes than the file holds
  longFormat[17] = 0xFF;
  EXPECT_FALSE(CWavCodec::Decode(longFormat, out, error));

  std::vector<uint8_t> zeroChannels = good;
  zeroChannels[22] = 0;
  EXPECT_FALSE(CWavCodec::Decode(zeroChannels, out, error));

  // A data chunk that claims more than is there is read as far as it goes.
  std::vector<uint8_t> cut(good.begin(), good.end() - 6);
  ASSERT_TRUE(CWavCodec::Decode(cut, out, error)) << error;
  EXPECT_EQ(out.Frames(), 3u);

  std::vector<uint8_t> headerOnly(good.begin(), good.begin() + 36);
  EXPECT_FALSE(CWavCodec::Decode(headerOnly, out, error));
  EXPECT_EQ(error, "no data chunk");
}

bool Parse(std::vector<const char*> args, HostOptions& o, std::string& error) {
  args.insert(args.begin(), "tovik-host");
  return ParseHostOptions(static_cast<int>(args.size()), args.data(), o, error);
}

TEST(HostOptions, ReadsEveryRelayOption) {
  HostOptions o;
  std::string error;
  ASSERT_TRUE(
      Parse({"p.so", "--in",      "a.wav", "--out=b.wav", "--block", "128",   "--async", "--prec",
             "3",    "--host",    "slave", "--port",      "4000",    "--set", "Gain=-6", "--expect-gain",
             "-6",   "--timeout", "1.5",   "--channels",  "4"},
            o, error))
      << error;
  EXPECT_EQ(o.plugin, "p.so");
  EXPECT_EQ(o.inPath, "a.wav");
  EXPECT_EQ(o.outPath, "b.wav");
  EXPECT_EQ(o.block, 128);
  EXPECT_EQ(o.sync, SyncMode::kAsync);
  EXPECT_EQ(o.prec, 3);
  EXPECT_EQ(o.host, "slave");
  EXPECT_EQ(o.port, 4000);
  ASSERT_EQ(o.chunkLines.size(), 1u);
  EXPECT_EQ(o.chunkLines[0].first, "Gain");
  EXPECT_EQ(o.chunkLines[0].second, "-6");
  EXPECT_TRUE(o.compare);
  EXPECT_DOUBLE_EQ(o.expectGainDb, -6.0);
  EXPECT_DOUBLE_EQ(o.timeout, 1.5);
  EXPECT_EQ(o.channels, 4);
}

TEST(HostOptions, RefusesBadValuesWithAMessageNamingThem) {
  struct Case {
    std::vector<const char*> args;
    const char* message;
  } cases[] = {
      {{"p.so", "--prec", "5"}, "--prec wants 1, 2, 3 or 4, not '5'"},
      {{"p.so", "--prec", "0"}, "--prec wants 1, 2, 3 or 4, not '0'"},
      {{"p.so", "--port", "65536"}, "--port wants a TCP port from 0 to 65535, not '65536'"},
      {{"p.so", "--block", "0"}, "--block wants a frame count from 1 to 44100, not '0'"},
      {{"p.so", "--block", "12x"}, "--block wants a frame count from 1 to 44100, not '12x'"},
      // One process call relays at most one transfer block's frames.
      {{"p.so", "--block", "44101"}, "--block wants a frame count from 1 to 44100, not '44101'"},
      {{"--out", "a.wav", "--", "q.so", "r.so"}, "one plug-in only: unexpected 'r.so'"},
      {{"p.so", "--subtype", "pcm24"}, "--format and --subtype choose the format of --out, which is missing"},
      {{"p.so", "--sync", "--async"}, "--sync and --async exclude each other"},
      {{"p.so", "--set", "=1"}, "--set wants KEY=VALUE, not '=1'"},
      {{"p.so", "--port"}, "--port needs a value"},
      {{"p.so", "--bogus"}, "unknown option --bogus"},
      {{"p.so", "q.so"}, "one plug-in only: unexpected 'q.so'"},
      {{}, "no plug-in file given"},
      {{"p.so", "--info", "--out", "x.wav"},
       "--info prints and stops: it takes no --in, --out, --midi or --compare"},
      {{"p.so", "--info=1"}, "--info takes no value"},
  };
  for (const Case& c : cases) {
    HostOptions o;
    std::string error;
    EXPECT_FALSE(Parse(c.args, o, error)) << c.message;
    EXPECT_EQ(error, c.message);
  }
}

TEST(HostOptions, DoubleDashEndsTheOptionsAndNewFlagsAreRead) {
  HostOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"--quiet", "--allow-gaps", "--allow-clipping", "--allow-late", "--user-settings",
                     "--out", "x.flac", "--subtype", "pcm16", "--", "--info"},
                    o, error))
      << error;
  EXPECT_EQ(o.plugin, "--info");
  EXPECT_FALSE(o.info);
  EXPECT_TRUE(o.quiet);
  EXPECT_TRUE(o.allowGaps);
  EXPECT_TRUE(o.allowClipping);
  EXPECT_TRUE(o.allowLate);
  EXPECT_TRUE(o.userSettings);
  EXPECT_EQ(o.subtype, "pcm16");
  EXPECT_TRUE(Parse({"--version"}, o, error));
  EXPECT_TRUE(o.version);
}

TEST(HostOptions, HelpNeedsNoPlugin) {
  HostOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"--help"}, o, error));
  EXPECT_TRUE(o.help);
}

TEST(RoundTripStats, NearestRankPercentiles) {
  CRoundTripStats stats;
  EXPECT_EQ(stats.Median(), 0.0);
  for (int i = 100; i >= 1; --i) stats.Add(i);
  EXPECT_EQ(stats.Median(), 50.0);
  EXPECT_EQ(stats.P99(), 99.0);
  EXPECT_EQ(stats.Max(), 100.0);
  stats.Add(1000.0);
  EXPECT_EQ(stats.Median(), 51.0);
  EXPECT_EQ(stats.P99(), 100.0);
  EXPECT_EQ(stats.Max(), 1000.0);
}

TEST(OutputComparison, ToleranceFollowsThePrecisionAndGain) {
  EXPECT_DOUBLE_EQ(QuantisationError(1), 0.5 / 127.0);
  EXPECT_DOUBLE_EQ(QuantisationError(2), 0.5 / 32767.0);
  EXPECT_DOUBLE_EQ(QuantisationError(3), 1.0 / 32768.0);
  EXPECT_DOUBLE_EQ(QuantisationError(4), 0.0);
  EXPECT_NEAR(DefaultTolerance(2, 0.0), 2 * 0.5 / 32767.0 * 1.001 + 1e-6, 1e-12);
  EXPECT_NEAR(DefaultTolerance(4, 0.0), 1e-6, 1e-12);
  // +6 dB: the outgoing error doubles, the returning one is relative to twice the level.
  const double g = std::pow(10.0, 6.0 / 20.0);
  EXPECT_NEAR(DefaultTolerance(1, 6.0), 0.5 / 127.0 * 2 * g * 1.001 + 1e-6 * g, 1e-12);
}

TEST(OutputComparison, OnlyAnsweredBlocksCountAndIntegerCodesClip) {
  AudioData in;
  in.sampleRate = 48000;
  in.channels = {{0.5f, 0.5f, 0.9f, 0.9f}};
  AudioData out;
  out.sampleRate = 48000;
  out.channels = {{1.0f, 1.0f, 1.0f, 1.0f}, {0.0f, 0.0f, 0.0f, 0.0f}};
  // +6.02 dB doubles; 0.9 doubled clips to 1.0 on the 16-bit wire. Only the
  // first output channel has an input to compare with. Clipping allowed, the
  // expectation is clipped too.
  const double db = 20.0 * std::log10(2.0);
  ComparisonResult r = CompareOutput(in, out, {true, true}, 2, 2, db, 1e-6, true);
  EXPECT_EQ(r.channels, 1u);
  EXPECT_EQ(r.samples, 4u);
  EXPECT_EQ(r.clipped, 2u);
  EXPECT_NEAR(r.maxError, 0.0, 1e-6);
  EXPECT_TRUE(r.pass);
  // Not allowed, the expectation is the unclipped 1.8: 0.8 off.
  ComparisonResult strict = CompareOutput(in, out, {true, true}, 2, 2, db, 1e-6, false);
  EXPECT_EQ(strict.clipped, 2u);
  EXPECT_NEAR(strict.maxError, 0.8, 1e-6);
  EXPECT_FALSE(strict.pass);
  // On the float wire nothing clips: 1.0 is 0.8 short of 1.8.
  ComparisonResult floats = CompareOutput(in, out, {true, true}, 2, 4, db, 1e-6, true);
  EXPECT_NEAR(floats.maxError, 0.8, 1e-6);
  EXPECT_EQ(floats.clipped, 0u);
  // An unanswered block is left out.
  out.channels[0][2] = 0.0f;
  ComparisonResult half = CompareOutput(in, out, {true, false}, 2, 2, db, 1e-6, true);
  EXPECT_EQ(half.samples, 2u);
  EXPECT_TRUE(half.pass);

  ComparisonResult none = CompareOutput(in, out, {false, false}, 2, 4, 0.0, 1.0, true);
  EXPECT_EQ(none.samples, 0u);
  EXPECT_FALSE(none.pass);  // nothing compared is no proof

  out.channels[0][1] = CRelayRunner::Sentinel();
  ComparisonResult nan = CompareOutput(in, out, {true, true}, 2, 2, db, 1.0, true);
  EXPECT_FALSE(nan.pass);
}

VstIntPtr Ask(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr) {
  return CHostServices::Callback(nullptr, opcode, index, value, ptr, 0.0f);
}

TEST(HostServices, AnswersWhatTheRelayAsksOfItsHost) {
  CHostServices host;
  host.SetSampleRate(44100.0);
  host.SetBlockSize(256);
  EXPECT_EQ(Ask(audioMasterVersion), 2400);
  for (const char* yes : {"asyncProcessing", "acceptIOChanges", "receiveVstEvents", "receiveVstMidiEvent",
                          "sendVstTimeInfo", "sendVstEvents", "sendVstMidiEvent"})
    EXPECT_EQ(Ask(audioMasterCanDo, 0, 0, const_cast<char*>(yes)), 1) << yes;
  EXPECT_EQ(Ask(audioMasterCanDo, 0, 0, const_cast<char*>("sizeWindow")), 0);
  EXPECT_EQ(Ask(audioMasterCanDo, 0, 0, const_cast<char*>("AsyncProcessing")), 0);
  EXPECT_EQ(Ask(audioMasterCanDo), 0);
  EXPECT_EQ(Ask(audioMasterGetSampleRate), 44100);
  EXPECT_EQ(Ask(audioMasterGetBlockSize), 256);
  EXPECT_EQ(Ask(audioMasterWantMidi, 0, 1), 1);
  EXPECT_TRUE(host.WantsMidi());
  EXPECT_EQ(Ask(audioMasterNeedIdle), 1);
  EXPECT_TRUE(host.WantsIdle());
  EXPECT_FALSE(host.TakeIoChanged());
  EXPECT_EQ(Ask(audioMasterIOChanged), 1);
  EXPECT_TRUE(host.TakeIoChanged());
  EXPECT_FALSE(host.TakeIoChanged());
  EXPECT_EQ(Ask(49 + 1), 0);  // beyond the last host opcode

  VstMidiEvent notes[2] = {};
  VstEvents list{};
  list.numEvents = 2;
  for (int i = 0; i < 2; ++i) list.events[i] = reinterpret_cast<VstEvent*>(&notes[i]);
  EXPECT_EQ(Ask(audioMasterProcessEvents, 0, 0, &list), 1);
  EXPECT_EQ(Ask(audioMasterProcessEvents), 0);
  EXPECT_EQ(host.EventsReceived(), 2);
  EXPECT_EQ(host.EventListsReceived(), 1);
}

TEST(HostServices, TimeAdvancesWithTheTransportAt120BeatsIn4_4) {
  CHostServices host;
  host.SetSampleRate(48000.0);
  host.StartTransport();
  const VstTimeInfo* t = reinterpret_cast<const VstTimeInfo*>(Ask(audioMasterGetTime, 0, 0xFFFF));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->samplePos, 0.0);
  EXPECT_EQ(t->sampleRate, 48000.0);
  EXPECT_EQ(t->tempo, 120.0);
  EXPECT_EQ(t->timeSigNumerator, 4);
  EXPECT_EQ(t->timeSigDenominator, 4);
  const VstInt32 valid = kVstTransportPlaying | kVstNanosValid | kVstPpqPosValid | kVstTempoValid |
                         kVstBarsValid | kVstTimeSigValid;
  EXPECT_EQ(t->flags, valid | kVstTransportChanged);
  // 5 s at 120 beats a minute: 10 quarter notes, the bar started at quarter 8.
  host.AdvanceTransport(240000);
  t = reinterpret_cast<const VstTimeInfo*>(Ask(audioMasterGetTime, 0, 0xFFFF));
  EXPECT_EQ(t->samplePos, 240000.0);
  EXPECT_DOUBLE_EQ(t->ppqPos, 10.0);
  EXPECT_DOUBLE_EQ(t->barStartPos, 8.0);
  EXPECT_DOUBLE_EQ(t->nanoSeconds, 5e9);
  EXPECT_EQ(t->flags, valid);  // the change is reported once
  EXPECT_EQ(host.TimeRequests(), 2);
}

TEST(RelayRunner, SentinelIsANanNoDecoderProduces) {
  float s = CRelayRunner::Sentinel();
  EXPECT_TRUE(std::isnan(s));
  EXPECT_TRUE(CRelayRunner::IsSentinel(s));
  EXPECT_FALSE(CRelayRunner::IsSentinel(std::nanf("")));
  EXPECT_FALSE(CRelayRunner::IsSentinel(0.0f));
}

}  // namespace
}  // namespace tovik::host
