// The chain of hosted plug-ins with plug-ins made up here: how channels map
// to instances, how long blocks are run in parts and where their events go,
// and the block's event records turned into MIDI messages and back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "SlaveTestSupport.h"
#include "formats/WireFormat.h"
#include "hosting/PluginChain.h"
#include "hosting/WireEvents.h"

namespace tovik::slave::hosting {
namespace {

using test::Bytes;
using test::MidiRecord;
using test::SysexRecord;

// Output o of instance k = input o x (k + 1) x the control "gain" (+ 1000 x
// o for outputs beyond the inputs); notes what each Run got.
struct FakeLog {
  std::vector<int32_t> runFrames;
  std::vector<std::vector<int32_t>> eventFrames;
  int instances = 0;
  int active = 0;
  int64_t latency = 7;
  // Sends its messages last first.
  bool sendsBackwards = false;
  // The time information's sample and quarter-note positions at each run.
  std::vector<std::pair<double, double>> positions;
  std::vector<VstTimeInfo> times;
  // How often the type was asked whether it sends MIDI.
  int midiOutputAsked = 0;
};

class CFakeInstance final : public IPluginInstance {
 public:
  CFakeInstance(int32_t ins, int32_t outs, float gain, int number, bool sends, FakeLog* log)
      : in_(static_cast<size_t>(ins)),
        out_(static_cast<size_t>(outs)),
        gain_(gain),
        number_(number),
        sends_(sends),
        log_(log) {}
  void ConnectInput(int32_t index, const float* buffer) override { in_[static_cast<size_t>(index)] = buffer; }
  void ConnectOutput(int32_t index, float* buffer) override { out_[static_cast<size_t>(index)] = buffer; }
  void Activate() override { ++log_->active; }
  void Deactivate() override { --log_->active; }
  void Run(int32_t frames, const CEventList& in, CEventList* out) override {
    if (number_ == 0) {
      if (time_ != nullptr) {
        log_->positions.emplace_back(time_->samplePos, time_->ppqPos);
        log_->times.push_back(*time_);
      }
      log_->runFrames.push_back(frames);
      std::vector<int32_t> at;
      for (size_t i = 0; i < in.Count(); ++i) at.push_back(in.At(i).frame);
      log_->eventFrames.push_back(at);
    }
    for (size_t o = 0; o < out_.size(); ++o) {
      for (int32_t i = 0; i < frames; ++i) {
        out_[o][i] = o < in_.size() ? in_[o][i] * static_cast<float>(number_ + 1) * gain_
                                    : 1000.0f * static_cast<float>(o) + static_cast<float>(number_);
      }
    }
    if (sends_ && out != nullptr) {
      // Every message goes back a semitone up.
      for (size_t k = 0; k < in.Count(); ++k) {
        const size_t i = log_->sendsBackwards ? in.Count() - 1 - k : k;
        unsigned char data[3];
        std::memcpy(data, in.Data(in.At(i)), 3);
        data[1] = static_cast<unsigned char>(data[1] + 1);
        out->Add(in.At(i).frame, data, 3);
      }
    }
  }
  int64_t Latency() override { return log_->latency; }
  void SetTimeSource(const VstTimeInfo* time) override { time_ = time; }

 private:
  const VstTimeInfo* time_ = nullptr;
  std::vector<const float*> in_;
  std::vector<float*> out_;
  float gain_;
  int number_;
  bool sends_;
  FakeLog* log_;
};

class CFakeType final : public IPluginType {
 public:
  CFakeType(int32_t ins, int32_t outs, bool midiIn, bool midiOut, FakeLog* log)
      : ins_(ins), outs_(outs), midiIn_(midiIn), midiOut_(midiOut), log_(log) {}
  const std::string& Id() const override { return id_; }
  const std::string& Name() const override { return name_; }
  int32_t AudioInputs() const override { return ins_; }
  int32_t AudioOutputs() const override { return outs_; }
  bool MidiInput() const override { return midiIn_; }
  bool MidiOutput() const override {
    ++log_->midiOutputAsked;
    return midiOut_;
  }
  std::vector<float> DefaultControls() const override { return {1.0f}; }
  bool ApplySetting(const std::string&, const std::string&, std::vector<float>*, std::string*,
                    std::string*) const override {
    return false;
  }
  std::unique_ptr<IPluginInstance> Instantiate(double, int32_t, const std::vector<float>& controls,
                                               std::string*) const override {
    return std::make_unique<CFakeInstance>(ins_, outs_, controls[0], log_->instances++, midiOut_, log_);
  }

 private:
  int32_t ins_, outs_;
  bool midiIn_, midiOut_;
  FakeLog* log_;
  std::string id_ = "fake:plugin", name_ = "Fake";
};

std::shared_ptr<const ChainSpec> Chain(std::vector<std::shared_ptr<const IPluginType>> types,
                                       float gain = 1.0f) {
  auto spec = std::make_shared<ChainSpec>();
  for (auto& type : types) spec->stages.push_back(ChainStage{type, {gain}});
  return spec;
}

Bytes Floats(const std::vector<float>& values) {
  Bytes out(values.size() * 4);
  std::memcpy(out.data(), values.data(), out.size());
  return out;
}

std::vector<float> ToFloats(const Bytes& bytes) {
  std::vector<float> out(bytes.size() / 4);
  std::memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

TEST(PluginChain, AMonoPluginOnAStereoConnectionRunsOnceForEachChannel) {
  FakeLog log;
  CPluginChain chain(Chain({std::make_shared<CFakeType>(1, 1, false, false, &log)}));
  std::string error;
  ASSERT_TRUE(chain.Configure(48000.0, 4, 2, &error)) << error;
  EXPECT_EQ(log.instances, 2);
  chain.Activate();
  EXPECT_EQ(log.active, 2);
  const Bytes in = Floats({1, 2, 3, 4, 10, 20, 30, 40});
  Bytes out(in.size());
  CEventList none;
  chain.ProcessWire(4, 2, 4, in.data(), out.data(), 2, none, nullptr);
  EXPECT_EQ(ToFloats(out), (std::vector<float>{1, 2, 3, 4, 20, 40, 60, 80}));
  chain.Deactivate();
  EXPECT_EQ(log.active, 0);
  EXPECT_EQ(chain.Latency(), 7);
}

TEST(PluginChain, AStereoPluginOnThreeChannelsRunsTwiceAndOnePluginMapsChannelsByIndex) {
  FakeLog log;
  // Two inputs on 3 channels: instance 1 takes channel 2 and silence.
  CPluginChain chain(Chain({std::make_shared<CFakeType>(2, 2, false, false, &log)}));
  std::string error;
  ASSERT_TRUE(chain.Configure(48000.0, 2, 3, &error)) << error;
  EXPECT_EQ(log.instances, 2);
  const Bytes in = Floats({1, 2, 3, 4, 5, 6});
  Bytes out(in.size());
  CEventList none;
  chain.ProcessWire(4, 3, 2, in.data(), out.data(), 3, none, nullptr);
  EXPECT_EQ(ToFloats(out), (std::vector<float>{1, 2, 3, 4, 10, 12}));

  // Three inputs and four outputs on 2 channels: one instance, input 2 is
  // silence, outputs 2 and 3 are dropped.
  FakeLog wideLog;
  CPluginChain wide(Chain({std::make_shared<CFakeType>(3, 4, false, false, &wideLog)}));
  ASSERT_TRUE(wide.Configure(48000.0, 2, 2, &error)) << error;
  EXPECT_EQ(wideLog.instances, 1);
  Bytes outWide(16);
  wide.ProcessWire(4, 2, 2, in.data(), outWide.data(), 2, none, nullptr);
  EXPECT_EQ(ToFloats(outWide), (std::vector<float>{1, 2, 3, 4}));

  // A plug-in with one output on a 2-channel connection leaves channel 1
  // silent, whatever was in its buffer before.
  FakeLog log2;
  CPluginChain narrow(Chain({std::make_shared<CFakeType>(2, 1, false, false, &log2)}));
  ASSERT_TRUE(narrow.Configure(48000.0, 2, 2, &error)) << error;
  Bytes out2(16, 0xFF);
  narrow.ProcessWire(4, 2, 2, in.data(), out2.data(), 2, none, nullptr);
  EXPECT_EQ(ToFloats(out2), (std::vector<float>{1, 2, 0, 0}));
}

TEST(PluginChain, AnInstrumentTakesNoAudioAndTwoStagesRunInOrder) {
  FakeLog synthLog, ampLog;
  CPluginChain chain(Chain({std::make_shared<CFakeType>(0, 2, true, false, &synthLog),
                            std::make_shared<CFakeType>(1, 1, false, false, &ampLog)},
                           0.5f));
  std::string error;
  ASSERT_TRUE(chain.Configure(44100.0, 8, 2, &error)) << error;
  EXPECT_EQ(synthLog.instances, 1);
  EXPECT_EQ(ampLog.instances, 2);
  const Bytes in = Floats({9, 9, 9, 9});
  Bytes out(16);
  CEventList none;
  chain.ProcessWire(4, 2, 2, in.data(), out.data(), 2, none, nullptr);
  // Synth: output 0 = 1000 x 0 + 0, output 1 = 1000; amp x 0.5 x (k + 1).
  EXPECT_EQ(ToFloats(out), (std::vector<float>{0, 0, 1000, 1000}));
  EXPECT_EQ(chain.Latency(), 14);
}

TEST(PluginChain, LongBlocksRunInPartsAndEachEventLandsInItsPart) {
  FakeLog log;
  CPluginChain chain(Chain({std::make_shared<CFakeType>(1, 1, true, true, &log)}));
  std::string error;
  ASSERT_TRUE(chain.Configure(48000.0, 4, 1, &error)) << error;
  std::vector<float> samples(10);
  for (int i = 0; i < 10; ++i) samples[static_cast<size_t>(i)] = static_cast<float>(i);
  const Bytes in = Floats(samples);
  Bytes out(in.size());
  CEventList events, sent;
  const unsigned char note[3] = {0x90, 60, 100};
  for (int32_t frame : {-5, 0, 3, 4, 9, 12}) events.Add(frame, note, 3);
  chain.ProcessWire(4, 1, 10, in.data(), out.data(), 1, events, &sent);
  EXPECT_EQ(ToFloats(out), samples);
  EXPECT_EQ(log.runFrames, (std::vector<int32_t>{4, 4, 2}));
  // Before the block: at its first frame; past its end: at its last.
  EXPECT_EQ(log.eventFrames, (std::vector<std::vector<int32_t>>{{0, 0, 3}, {0}, {1, 1}}));
  ASSERT_EQ(sent.Count(), 6u);
  const int32_t expected[] = {0, 0, 3, 4, 9, 9};
  for (size_t i = 0; i < sent.Count(); ++i) {
    EXPECT_EQ(sent.At(i).frame, expected[i]);
    EXPECT_EQ(sent.Data(sent.At(i))[1], 61);
  }
}

TEST(PluginChain, EventsOutOfOrderReachThePluginInFrameOrder) {
  FakeLog log;
  CPluginChain chain(Chain({std::make_shared<CFakeType>(1, 1, true, false, &log)}));
  std::string error;
  ASSERT_TRUE(chain.Configure(48000.0, 64, 1, &error)) << error;
  const Bytes in(64 * 4, 0);
  Bytes out(in.size());
  CEventList events;
  const unsigned char note[3] = {0x90, 60, 100};
  // The record past the block's end lands on its last frame, before 9 and 2
  // in arrival order: the plug-in still gets them in time order.
  for (int32_t frame : {300, 9, 2, 9, 0}) events.Add(frame, note, 3);
  chain.ProcessWire(4, 1, 64, in.data(), out.data(), 1, events, nullptr);
  EXPECT_EQ(log.eventFrames, (std::vector<std::vector<int32_t>>{{0, 2, 9, 9, 63}}));
}

TEST(PluginChain, WidthAndBlockOutOfRangeAreBoundedAndMatchesTellsWhenToMakeItAgain) {
  FakeLog log;
  CPluginChain chain(Chain({std::make_shared<CFakeType>(1, 1, false, false, &log)}));
  std::string error;
  ASSERT_TRUE(chain.Configure(48000.0, 0, 0, &error));
  EXPECT_EQ(chain.MaxBlock(), CPluginChain::kDefaultBlock);
  EXPECT_EQ(chain.Width(), 1);
  EXPECT_TRUE(chain.Matches(48000.0, -3, 0));
  EXPECT_FALSE(chain.Matches(44100.0, 0, 0));
  ASSERT_TRUE(chain.Configure(48000.0, 1 << 20, 99, &error));
  EXPECT_EQ(chain.MaxBlock(), CPluginChain::kLargestBlock);
  EXPECT_EQ(chain.Width(), 16);
  EXPECT_EQ(log.instances, 1 + 16);
}

TEST(PluginChain, AnUnusableRateIsTakenAsConfigureTakesItSoTheChainIsNotMadeForEveryBlock) {
  FakeLog log;
  CPluginChain chain(Chain({std::make_shared<CFakeType>(1, 1, false, false, &log)}));
  std::string error;
  for (double rate : {0.0, -48000.0, 5e6, std::nan("")}) {
    ASSERT_TRUE(chain.Configure(rate, 64, 1, &error));
    EXPECT_TRUE(chain.Matches(rate, 64, 1)) << rate;
    EXPECT_TRUE(chain.Matches(44100.0, 64, 1)) << rate;
    EXPECT_FALSE(chain.Matches(48000.0, 64, 1)) << rate;
  }
}

TEST(PluginChain, MessagesAPluginSendsOutOfOrderReachTheNextAndTheHostInTimeOrder) {
  FakeLog first, second;
  first.sendsBackwards = true;
  CPluginChain chain(Chain({std::make_shared<CFakeType>(1, 1, true, true, &first),
                            std::make_shared<CFakeType>(1, 1, true, true, &second)}));
  std::string error;
  ASSERT_TRUE(chain.Configure(48000.0, 64, 1, &error)) << error;
  const Bytes in(64 * 4, 0);
  Bytes out(in.size());
  CEventList events, sent;
  const unsigned char note[3] = {0x90, 60, 100};
  for (int32_t frame : {1, 5, 5, 40}) events.Add(frame, note, 3);
  chain.ProcessWire(4, 1, 64, in.data(), out.data(), 1, events, &sent);
  EXPECT_EQ(second.eventFrames, (std::vector<std::vector<int32_t>>{{1, 5, 5, 40}}));
  ASSERT_EQ(sent.Count(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(sent.At(i).frame, (std::vector<int32_t>{1, 5, 5, 40})[i]);
}

// Asked on every block: answered from what the chain learnt when it was made,
// without a call to each plug-in type.
TEST(PluginChain, WhetherTheChainSendsEventsIsKnownOnceAndNotAskedOfItsPluginsEachBlock) {
  FakeLog synth, amp;
  CPluginChain quiet(Chain({std::make_shared<CFakeType>(0, 1, true, false, &synth),
                            std::make_shared<CFakeType>(1, 1, false, false, &amp)}));
  EXPECT_FALSE(quiet.SendsEvents());
  FakeLog first, last;
  CPluginChain sends(Chain({std::make_shared<CFakeType>(1, 1, true, false, &first),
                            std::make_shared<CFakeType>(1, 1, true, true, &last)}));
  std::string error;
  ASSERT_TRUE(sends.Configure(48000.0, 64, 1, &error)) << error;
  const int asked = first.midiOutputAsked + last.midiOutputAsked;
  for (int block = 0; block < 3; ++block) EXPECT_TRUE(sends.SendsEvents());
  EXPECT_EQ(first.midiOutputAsked + last.midiOutputAsked, asked);
}

TEST(PluginChain, ALatencyReportedAsNonsenseIsBoundedPerPlugin) {
  FakeLog negative, huge;
  negative.latency = -500;
  huge.latency = INT64_MAX;
  CPluginChain chain(Chain({std::make_shared<CFakeType>(1, 1, false, false, &negative),
                            std::make_shared<CFakeType>(1, 1, false, false, &huge),
                            std::make_shared<CFakeType>(1, 1, false, false, &huge)}));
  std::string error;
  ASSERT_TRUE(chain.Configure(48000.0, 64, 1, &error)) << error;
  EXPECT_EQ(chain.Latency(), 2 * int64_t{INT32_MAX});
}

TEST(PluginChain, EachPartOfALongBlockHasItsOwnSampleAndQuarterNotePosition) {
  FakeLog log;
  CPluginChain chain(Chain({std::make_shared<CFakeType>(1, 1, false, false, &log)}));
  std::string error;
  ASSERT_TRUE(chain.Configure(48000.0, 4800, 1, &error)) << error;
  VstTimeInfo time{};
  time.samplePos = 96000.0;
  time.ppqPos = 4.0;
  time.tempo = 120.0;
  time.flags = kVstPpqPosValid | kVstTempoValid;
  chain.SetTimeRecord(reinterpret_cast<const unsigned char*>(&time));
  const Bytes in(12000 * 4, 0);
  Bytes out(in.size());
  CEventList none;
  chain.ProcessWire(4, 1, 12000, in.data(), out.data(), 1, none, nullptr);
  // Parts of 4800 frames, 0.1 s each: at 120 BPM, 0.2 quarter notes apart.
  ASSERT_EQ(log.positions.size(), 3u);
  EXPECT_EQ(log.positions[0], std::make_pair(96000.0, 4.0));
  EXPECT_EQ(log.positions[1].first, 100800.0);
  EXPECT_DOUBLE_EQ(log.positions[1].second, 4.2);
  EXPECT_EQ(log.positions[2].first, 105600.0);
  EXPECT_DOUBLE_EQ(log.positions[2].second, 4.4);
}

TEST(PluginChain, ATimeRecordsImpossibleFieldsLoseTheirFlagsBeforeAPluginSeesThem) {
  FakeLog log;
  CPluginChain chain(Chain({std::make_shared<CFakeType>(1, 1, false, false, &log)}));
  std::string error;
  ASSERT_TRUE(chain.Configure(48000.0, 64, 1, &error)) << error;
  VstTimeInfo time{};
  time.samplePos = std::nan("");
  time.ppqPos = INFINITY;
  time.tempo = -3.0;
  time.barStartPos = 8.0;
  time.timeSigNumerator = 7;
  time.timeSigDenominator = 0;
  time.flags = kVstTransportPlaying | kVstPpqPosValid | kVstTempoValid | kVstBarsValid | kVstTimeSigValid;
  chain.SetTimeRecord(reinterpret_cast<const unsigned char*>(&time));
  const Bytes in(64 * 4, 0);
  Bytes out(in.size());
  CEventList none;
  chain.ProcessWire(4, 1, 64, in.data(), out.data(), 1, none, nullptr);
  ASSERT_EQ(log.times.size(), 1u);
  const VstTimeInfo& seen = log.times[0];
  // What is right stays; the rest is flagged invalid with harmless values.
  EXPECT_EQ(seen.flags, kVstTransportPlaying | kVstBarsValid);
  EXPECT_EQ(seen.barStartPos, 8.0);
  EXPECT_EQ(seen.samplePos, 0.0);
  EXPECT_EQ(seen.ppqPos, 0.0);
  EXPECT_EQ(seen.tempo, 120.0);
  EXPECT_EQ(seen.timeSigNumerator, 4);
  EXPECT_EQ(seen.timeSigDenominator, 4);
  EXPECT_EQ(seen.sampleRate, 48000.0);
}

TEST(WireEvents, MidiAndSysexRecordsBecomeMessagesAndGoBackAsTheSameRecords) {
  for (int32_t fixed : {20, 24}) {
    const Bytes area = test::Concat({MidiRecord(5, 0x90, 60, 100), SysexRecord(fixed, {0xF0, 1, 2, 0xF7}, 7),
                                     MidiRecord(9, 0xC3, 12, 0)});
    CEventList events;
    EXPECT_EQ(ReadWireEvents(area.data(), static_cast<int32_t>(area.size()), fixed, &events), 3);
    ASSERT_EQ(events.Count(), 3u);
    EXPECT_EQ(events.At(0).frame, 5);
    EXPECT_EQ(Bytes(events.Data(events.At(0)), events.Data(events.At(0)) + events.At(0).size),
              (Bytes{0x90, 60, 100}));
    EXPECT_EQ(Bytes(events.Data(events.At(1)), events.Data(events.At(1)) + events.At(1).size),
              (Bytes{0xF0, 1, 2, 0xF7}));
    EXPECT_EQ(events.At(1).frame, 7);
    EXPECT_EQ(events.At(2).size, 2u);  // a program change has one data byte

    Bytes back(1000);
    const int32_t length = WriteWireEvents(events, fixed, back.data(), static_cast<int32_t>(back.size()));
    ASSERT_EQ(length, 31 + (1 + fixed + 4) + 31);
    back.resize(static_cast<size_t>(length));
    // A MIDI record: type 1, byteSize 32, deltaFrames, flags 0, the message.
    EXPECT_EQ(test::Get32(back, 1), 1);
    EXPECT_EQ(test::Get32(back, 5), 32);
    EXPECT_EQ(test::Get32(back, 9), 5);
    EXPECT_EQ(test::Get32(back, 13), 0);
    EXPECT_EQ(Bytes(back.begin() + 25, back.begin() + 31), (Bytes{0x90, 60, 100, 0, 0, 0}));
    // A SysEx record of the plug-in's build: its structure's size there, the
    // dump after the fixed part.
    EXPECT_EQ(test::Get32(back, 32), 6);
    EXPECT_EQ(test::Get32(back, 36), fixed == 24 ? 48 : 32);
    EXPECT_EQ(test::Get32(back, 40), 7);
    EXPECT_EQ(test::Get32(back, 48), 4);
    EXPECT_EQ(Bytes(back.begin() + 32 + fixed, back.begin() + 36 + fixed), (Bytes{0xF0, 1, 2, 0xF7}));
    const size_t third = static_cast<size_t>(31 + 1 + fixed + 4);
    EXPECT_EQ(test::Get32(back, third + 9), 9);
    EXPECT_EQ(Bytes(back.begin() + static_cast<long>(third) + 25, back.end()), (Bytes{0xC3, 12, 0, 0, 0, 0}));
    // Read again, the records give the same messages.
    CEventList again;
    EXPECT_EQ(ReadWireEvents(back.data(), length, fixed, &again), 3);
    for (size_t i = 0; i < 3; ++i) {
      ASSERT_EQ(again.At(i).size, events.At(i).size);
      EXPECT_EQ(again.At(i).frame, events.At(i).frame);
      EXPECT_EQ(std::memcmp(again.Data(again.At(i)), events.Data(events.At(i)), events.At(i).size), 0);
    }
  }
}

TEST(WireEvents, RecordsCutShortOrWithoutAStatusByteAreLeftOutAndAFullAreaTakesNoMore) {
  Bytes area =
      test::Concat({MidiRecord(0, 0x40, 1, 2), MidiRecord(1, 0x80, 60, 0), SysexRecord(24, {0xF0, 0xF7})});
  area.resize(area.size() - 1);  // the SysEx runs past the end
  CEventList events;
  EXPECT_EQ(ReadWireEvents(area.data(), static_cast<int32_t>(area.size()), 24, &events), 1);
  ASSERT_EQ(events.Count(), 1u);
  EXPECT_EQ(events.At(0).frame, 1);

  CEventList small(2, 4);
  const unsigned char note[3] = {0x90, 1, 2};
  EXPECT_TRUE(small.Add(0, note, 3));
  EXPECT_FALSE(small.Add(0, note, 3));  // 6 bytes in a pool of 4
  unsigned char tiny[40];
  EXPECT_EQ(WriteWireEvents(small, 24, tiny, 30), 0);  // a MIDI record takes 31
  EXPECT_EQ(WriteWireEvents(small, 24, tiny, 40), 31);
}

}  // namespace
}  // namespace tovik::slave::hosting
