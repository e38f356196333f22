// The base layer as a host sees it: the dispatcher's results, the record's
// static functions, the text formatting, the host-callback wrappers, the entry
// point and the plug-in record the relay object fills in.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame/AudioEffectX.h"
#include "platform/UserStore.h"
#include "relay/BuildConstants.h"
#include "relay/Tovik.h"
#include "support/FakeHost.h"
#include "support/ScopedConfigHome.h"

// The entry point is linked into the plug-in modules only; the unit tests
// compile it here so that they can call it like a host does.
#include "frame/PluginMain.cpp"  // NOLINT(bugprone-suspicious-include)

namespace {

using tovik::test::FakeHost;
using tovik::test::HostCall;

// Every test gets its own empty per-user store.
using tovik::test::ScopedConfigHome;

// What the probe saw, kept outside the object so that it survives effClose.
struct ProbeLog {
  std::vector<std::string> events;
  int suspends = 0;
  int resumes = 0;
  void** chunkData = nullptr;
  bool chunkPreset = false;
  void* setChunkData = nullptr;
  VstInt32 setChunkSize = 0;
  bool setChunkPreset = false;
  VstInt32 program = -100;
};

// A minimal plug-in on the base layer that records what the dispatcher calls.
class ProbeEffect : public AudioEffectX {
 public:
  ProbeEffect(audioMasterCallback master, ProbeLog* log, VstInt32 programs = 1, VstInt32 params = 2)
      : AudioEffectX(master, programs, params), log_(log) {}
  ~ProbeEffect() override { log_->events.push_back("destroyed"); }

  void processReplacing(float**, float**, VstInt32) override {}
  void close() override { log_->events.push_back("close"); }
  void suspend() override { ++log_->suspends; }
  void resume() override { ++log_->resumes; }
  void setProgram(VstInt32 program) override {
    log_->program = program;
    AudioEffectX::setProgram(program);
  }
  VstInt32 getChunk(void** data, bool isPreset) override {
    log_->chunkData = data;
    log_->chunkPreset = isPreset;
    return 321;
  }
  VstInt32 setChunk(void* data, VstInt32 byteSize, bool isPreset) override {
    log_->setChunkData = data;
    log_->setChunkSize = byteSize;
    log_->setChunkPreset = isPreset;
    return -2;
  }
  VstInt32 getVendorVersion() override { return vendorVersion; }
  VstInt32 canDo(char* text) override { return text && std::strcmp(text, "yes") == 0 ? 1 : -1; }
  using AudioEffect::setFlag;

  VstInt32 vendorVersion = 0;

 private:
  ProbeLog* log_;
};

VstIntPtr Dispatch(AEffect* e, VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                   float opt = 0.0f) {
  return e->dispatcher(e, opcode, index, value, ptr, opt);
}

class FrameTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (probe_) Dispatch(probe_->getAeffect(), effClose);
  }
  ProbeEffect* Probe(VstInt32 programs = 1) {
    probe_ = new ProbeEffect(FakeHost::callback(), &log_, programs);
    return probe_;
  }
  AEffect* Record() { return probe_->getAeffect(); }
  void Forget() { probe_ = nullptr; }

  ScopedConfigHome home_;
  FakeHost host_;
  ProbeLog log_;
  ProbeEffect* probe_ = nullptr;
};

// --- Dispatcher ----------------------------------------------------------------------

TEST_F(FrameTest, CloseRunsCloseThenFreesTheObjectAndReturnsOne) {
  Probe();
  EXPECT_EQ(Dispatch(Record(), effClose), 1);
  Forget();
  EXPECT_EQ(log_.events, (std::vector<std::string>{"close", "destroyed"}));
}

TEST_F(FrameTest, FixedAnswers) {
  Probe();
  EXPECT_EQ(Dispatch(Record(), effIdentify), 0x4E764566);
  EXPECT_EQ(Dispatch(Record(), effGetVstVersion), 2400);
  EXPECT_EQ(Dispatch(Record(), effGetNumProgramCategories), 1);
  EXPECT_EQ(Dispatch(Record(), effGetCurrentMidiProgram), -1);
  EXPECT_EQ(Dispatch(Record(), effKeysRequired), 1);
  EXPECT_EQ(Dispatch(Record(), effGetVu), 0);
  EXPECT_EQ(Dispatch(Record(), effGetPlugCategory), kPlugCategUnknown);
  EXPECT_EQ(Dispatch(Record(), effConnectInput, 0, 1), 1);
  EXPECT_EQ(Dispatch(Record(), effConnectOutput, 3, 0), 1);
  EXPECT_EQ(Dispatch(Record(), effSetBlockSizeAndSampleRate, 0, 256, nullptr, 48000.0f), 1);
  EXPECT_EQ(probe_->getBlockSize(), 256);
  EXPECT_EQ(probe_->getSampleRate(), 48000.0f);
}

TEST_F(FrameTest, PlugCategoryFollowsTheSynthFlag) {
  Probe();
  probe_->isSynth(true);
  EXPECT_EQ(Dispatch(Record(), effGetPlugCategory), kPlugCategSynth);
  probe_->isSynth(false);
  EXPECT_EQ(Dispatch(Record(), effGetPlugCategory), kPlugCategUnknown);
}

TEST_F(FrameTest, TotalSampleToProcessReturnsTheLow32BitsOfValue) {
  Probe();
  EXPECT_EQ(Dispatch(Record(), effSetTotalSampleToProcess, 0, 12345), 12345);
  EXPECT_EQ(Dispatch(Record(), effSetTotalSampleToProcess, 0, -7), -7);
  if (sizeof(VstIntPtr) == 8) {
    const auto wide = static_cast<VstIntPtr>((static_cast<int64_t>(1) << 32) | 5);
    EXPECT_EQ(Dispatch(Record(), effSetTotalSampleToProcess, 0, wide), 5);
  }
}

TEST_F(FrameTest, SetProgramBeyondTheProgramCountIsIgnored) {
  Probe();
  EXPECT_EQ(Dispatch(Record(), effSetProgram, 0, 1), 0);
  EXPECT_EQ(log_.program, -100);
  EXPECT_EQ(Dispatch(Record(), effGetProgram), 0);
  EXPECT_EQ(Dispatch(Record(), effSetProgram, 0, 0), 0);
  EXPECT_EQ(log_.program, 0);
  EXPECT_EQ(Dispatch(Record(), effGetProgram), 0);
}

TEST_F(FrameTest, SetProgramWithinTheProgramCountIsApplied) {
  Probe(3);
  Dispatch(Record(), effSetProgram, 0, 2);
  EXPECT_EQ(Dispatch(Record(), effGetProgram), 2);
  Dispatch(Record(), effSetProgram, 0, 3);
  EXPECT_EQ(Dispatch(Record(), effGetProgram), 2);
}

TEST_F(FrameTest, MainsChangedZeroSuspendsAnyOtherValueResumes) {
  Probe();
  EXPECT_EQ(Dispatch(Record(), effMainsChanged, 0, 0), 0);
  EXPECT_EQ(log_.suspends, 1);
  EXPECT_EQ(log_.resumes, 0);
  Dispatch(Record(), effMainsChanged, 0, 1);
  EXPECT_EQ(log_.resumes, 1);
  Dispatch(Record(), effMainsChanged, 0, 7);
  EXPECT_EQ(log_.resumes, 2);
  EXPECT_EQ(log_.suspends, 1);
}

TEST_F(FrameTest, GetChunkPassesIndexAsPresetFlag) {
  Probe();
  void* data = nullptr;
  EXPECT_EQ(Dispatch(Record(), effGetChunk, 5, 0, &data), 321);
  EXPECT_EQ(log_.chunkData, &data);
  EXPECT_TRUE(log_.chunkPreset);
  EXPECT_EQ(Dispatch(Record(), effGetChunk, 0, 0, &data), 321);
  EXPECT_FALSE(log_.chunkPreset);
}

TEST_F(FrameTest, SetChunkPassesTheLow32BitsOfValueAsSize) {
  Probe();
  char bytes[4] = {};
  EXPECT_EQ(Dispatch(Record(), effSetChunk, 1, 64, bytes), -2);
  EXPECT_EQ(log_.setChunkData, bytes);
  EXPECT_EQ(log_.setChunkSize, 64);
  EXPECT_TRUE(log_.setChunkPreset);
  if (sizeof(VstIntPtr) == 8) {
    const auto wide = static_cast<VstIntPtr>((static_cast<int64_t>(1) << 32) | 64);
    Dispatch(Record(), effSetChunk, 0, wide, bytes);
    EXPECT_EQ(log_.setChunkSize, 64);
    EXPECT_FALSE(log_.setChunkPreset);
  }
}

TEST_F(FrameTest, NegativeResultsAreSignExtended) {
  Probe();
  probe_->vendorVersion = -5;
  EXPECT_EQ(Dispatch(Record(), effGetVendorVersion), static_cast<VstIntPtr>(-5));
  EXPECT_EQ(Dispatch(Record(), effCanDo, 0, 0, const_cast<char*>("no")), static_cast<VstIntPtr>(-1));
  EXPECT_EQ(Dispatch(Record(), effCanDo, 0, 0, const_cast<char*>("yes")), 1);
  EXPECT_EQ(Dispatch(Record(), effSetChunk, 0, 1, nullptr), static_cast<VstIntPtr>(-2));
}

TEST_F(FrameTest, OpcodesOutsideTheTableReturnZeroAndChangeNothing) {
  Probe();
  const VstInt32 flags = Record()->flags;
  for (VstInt32 opcode = 80; opcode < 300; ++opcode) EXPECT_EQ(Dispatch(Record(), opcode, 1, 1), 0) << opcode;
  EXPECT_EQ(Dispatch(Record(), -1, 1, 1), 0);
  EXPECT_EQ(Dispatch(Record(), INT32_MIN), 0);
  EXPECT_EQ(Dispatch(Record(), INT32_MAX), 0);
  for (VstInt32 opcode : {16, 17, 18, 20, 21}) EXPECT_EQ(Dispatch(Record(), opcode, 1, 1), 0) << opcode;
  // Editor opcodes without an editor.
  for (VstInt32 opcode : {13, 14, 15, 19, 59, 60, 61})
    EXPECT_EQ(Dispatch(Record(), opcode, 1, 1, nullptr, 3.0f), 0) << opcode;
  EXPECT_EQ(Record()->flags, flags);
  EXPECT_EQ(log_.suspends + log_.resumes, 0);
  EXPECT_EQ(log_.events.size(), 0u);
}

TEST_F(FrameTest, RecordOfTheBaseLayer) {
  Probe();
  EXPECT_EQ(Record()->magic, FourCC('V', 's', 't', 'P'));
  EXPECT_EQ(Record()->object, probe_);
  EXPECT_EQ(Record()->numPrograms, 1);
  EXPECT_EQ(Record()->numParams, 2);
  EXPECT_EQ(Record()->ioRatio, 1.0f);
  EXPECT_EQ(Record()->version, 1);
  EXPECT_NE(Record()->dispatcher, nullptr);
  EXPECT_NE(Record()->process, nullptr);
  EXPECT_NE(Record()->processReplacing, nullptr);
  EXPECT_NE(Record()->processDoubleReplacing, nullptr);
  EXPECT_NE(Record()->setParameter, nullptr);
  EXPECT_NE(Record()->getParameter, nullptr);
}

// --- Text formatting -----------------------------------------------------------------

std::string Int2String(AudioEffect* effect, VstInt32 value, VstInt32 maxLen) {
  char text[32];
  std::memset(text, 'x', sizeof(text));
  effect->int2string(value, text, maxLen);
  EXPECT_EQ(text[std::strlen(text)], 0);
  return text;
}

std::string Float2String(AudioEffect* effect, float value, VstInt32 maxLen = 8) {
  char text[32];
  std::memset(text, 'x', sizeof(text));
  effect->float2string(value, text, maxLen);
  return text;
}

TEST_F(FrameTest, Int2StringTexts) {
  Probe();
  EXPECT_EQ(Int2String(probe_, 0, 8), "0");
  EXPECT_EQ(Int2String(probe_, -5, 8), "-5");
  EXPECT_EQ(Int2String(probe_, 16, 6), "16");
  EXPECT_EQ(Int2String(probe_, 100000000, 8), "Huge!");
  EXPECT_EQ(Int2String(probe_, 2147483647, 8), "Huge!");
  EXPECT_EQ(Int2String(probe_, 99999999, 8), "99999999");
  EXPECT_EQ(Int2String(probe_, 1000, 8), "1000");
  EXPECT_EQ(Int2String(probe_, -99999999, 9), "-99999999");
}

TEST_F(FrameTest, Int2StringIsCutToMaxLenAndTerminatedThere) {
  Probe();
  char text[16];
  std::memset(text, 'x', sizeof(text));
  probe_->int2string(123456, text, 3);
  EXPECT_STREQ(text, "123");
  EXPECT_EQ(text[4], 'x');  // nothing written past text[maxLen]
  std::memset(text, 'x', sizeof(text));
  probe_->int2string(100000000, text, 2);
  EXPECT_STREQ(text, "Hu");
  probe_->int2string(5, nullptr, 8);  // no buffer: nothing happens
}

TEST_F(FrameTest, Float2StringTexts) {
  Probe();
  EXPECT_EQ(Float2String(probe_, 3.5f), "3.500000");
  EXPECT_EQ(Float2String(probe_, -1.25f), "-1.25000");
  EXPECT_EQ(Float2String(probe_, 1e9f), "Huge!");
  EXPECT_EQ(Float2String(probe_, -1e8f), "Huge!");
  EXPECT_EQ(Float2String(probe_, 0.0f), "0.000000");
  EXPECT_EQ(Float2String(probe_, 1234.5f), "1234.500");
  EXPECT_EQ(Float2String(probe_, 3.5f, 4), "3.50");
}

TEST_F(FrameTest, DecibelHertzAndMillisecondTexts) {
  Probe();
  char text[16];
  probe_->dB2string(0.0f, text, 8);
  EXPECT_STREQ(text, "-oo");
  probe_->dB2string(-1.0f, text, 8);
  EXPECT_STREQ(text, "-oo");
  probe_->dB2string(1.0f, text, 8);
  EXPECT_STREQ(text, "0.000000");
  probe_->dB2string(10.0f, text, 8);
  EXPECT_STREQ(text, "20.00000");
  probe_->Hz2string(0.0f, text, 8);
  EXPECT_STREQ(text, "0.000000");
  probe_->Hz2string(441.0f, text, 8);  // at 44100 Hz
  EXPECT_STREQ(text, "100.0000");
  probe_->ms2string(44100.0f, text, 8);
  EXPECT_STREQ(text, "1000.000");
}

// --- Host-callback wrappers ----------------------------------------------------------

TEST_F(FrameTest, MasterVersionIsOneWhenTheHostAnswersZero) {
  Probe();
  host_.version = 0;
  EXPECT_EQ(probe_->getMasterVersion(), 1);
  host_.version = 2400;
  EXPECT_EQ(probe_->getMasterVersion(), 2400);
  const auto calls = host_.callsOf(audioMasterVersion);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].effect, Record());

  ProbeLog other;
  ProbeEffect orphan(nullptr, &other);
  EXPECT_EQ(orphan.getMasterVersion(), 1);
}

TEST_F(FrameTest, PinConnectedIsTrueForAZeroAnswer) {
  Probe();
  host_.answers[audioMasterPinConnected] = 0;
  EXPECT_TRUE(probe_->isInputConnected(3));
  host_.answers[audioMasterPinConnected] = 1;
  EXPECT_FALSE(probe_->isInputConnected(3));
  EXPECT_FALSE(probe_->isOutputConnected(4));
  const auto calls = host_.callsOf(audioMasterPinConnected);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].index, 3);
  EXPECT_EQ(calls[0].value, 0);
  EXPECT_EQ(calls[2].index, 4);
  EXPECT_EQ(calls[2].value, 1);

  ProbeLog other;
  ProbeEffect orphan(nullptr, &other);
  EXPECT_TRUE(orphan.isInputConnected(0));
  EXPECT_TRUE(orphan.isOutputConnected(0));
}

TEST_F(FrameTest, SendEventsCountsOnlyAnAnswerOfOne) {
  Probe();
  VstEvents events{};
  host_.answers[audioMasterProcessEvents] = 2;
  EXPECT_FALSE(probe_->sendVstEventsToHost(&events));
  host_.answers[audioMasterProcessEvents] = 1;
  EXPECT_TRUE(probe_->sendVstEventsToHost(&events));
  const auto calls = host_.callsOf(audioMasterProcessEvents);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].ptr, &events);
}

TEST_F(FrameTest, UpdateSampleRateKeepsTheRateForAnswersNotAboveZero) {
  Probe();
  host_.answers[audioMasterGetSampleRate] = 0;
  EXPECT_EQ(probe_->updateSampleRate(), 44100.0);
  host_.answers[audioMasterGetSampleRate] = -1;
  EXPECT_EQ(probe_->updateSampleRate(), 44100.0);
  EXPECT_EQ(probe_->getSampleRate(), 44100.0f);
  host_.answers[audioMasterGetSampleRate] = 48000;
  EXPECT_EQ(probe_->updateSampleRate(), 48000.0);
  EXPECT_EQ(probe_->getSampleRate(), 48000.0f);
}

TEST_F(FrameTest, UpdateBlockSizeKeepsTheSizeForAnswersNotAboveZero) {
  Probe();
  host_.answers[audioMasterGetBlockSize] = 0;
  EXPECT_EQ(probe_->updateBlockSize(), 1024);
  host_.answers[audioMasterGetBlockSize] = -64;
  EXPECT_EQ(probe_->updateBlockSize(), 1024);
  host_.answers[audioMasterGetBlockSize] = 512;
  EXPECT_EQ(probe_->updateBlockSize(), 512);
  EXPECT_EQ(probe_->getBlockSize(), 512);
}

TEST_F(FrameTest, NullSelectorsAndPathsAreNotPassedToTheHost) {
  Probe();
  host_.answers[audioMasterOpenFileSelector] = 1;
  host_.answers[audioMasterCloseFileSelector] = 1;
  host_.answers[audioMasterGetChunkFile] = 1;
  EXPECT_FALSE(probe_->openFileSelector(nullptr));
  EXPECT_FALSE(probe_->closeFileSelector(nullptr));
  EXPECT_FALSE(probe_->getChunkFile(nullptr));
  EXPECT_EQ(host_.calls().size(), 0u);
  int storage = 0;  // the record's layout does not matter to the wrapper
  auto* select = reinterpret_cast<VstFileSelect*>(&storage);
  EXPECT_TRUE(probe_->openFileSelector(select));
  ASSERT_EQ(host_.count(audioMasterOpenFileSelector), 1u);
  EXPECT_EQ(host_.callsOf(audioMasterOpenFileSelector)[0].ptr, select);
}

TEST_F(FrameTest, CanHostDoOfTheBaseCountsEveryNonZeroAnswer) {
  Probe();
  host_.canDo["sizeWindow"] = -1;
  host_.canDo["openFileSelector"] = 3;
  EXPECT_EQ(probe_->canHostDo(const_cast<char*>("sizeWindow")), 1);
  EXPECT_EQ(probe_->canHostDo(const_cast<char*>("openFileSelector")), 1);
  EXPECT_EQ(probe_->canHostDo(const_cast<char*>("offline")), 0);
  EXPECT_EQ(host_.canDoQueries(), (std::vector<std::string>{"sizeWindow", "openFileSelector", "offline"}));
}

TEST_F(FrameTest, SetParameterAutomatedTellsTheHostIndexAndValue) {
  Probe();
  probe_->setParameterAutomated(1, 0.25f);
  const auto calls = host_.callsOf(audioMasterAutomate);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].index, 1);
  EXPECT_EQ(calls[0].opt, 0.25f);
  EXPECT_EQ(calls[0].effect, Record());
}

TEST_F(FrameTest, WrappersWithoutACallbackDoNotCall) {
  ProbeLog other;
  ProbeEffect orphan(nullptr, &other);
  EXPECT_FALSE(orphan.ioChanged());
  EXPECT_FALSE(orphan.needIdle());
  EXPECT_EQ(orphan.getTimeInfo(0xFFC7), nullptr);
  EXPECT_EQ(orphan.canHostDo(const_cast<char*>("sizeWindow")), 0);
  EXPECT_EQ(orphan.updateSampleRate(), 44100.0);
  EXPECT_EQ(orphan.updateBlockSize(), 1024);
  VstEvents events{};
  EXPECT_FALSE(orphan.sendVstEventsToHost(&events));
  orphan.wantEvents(1);
  EXPECT_EQ(host_.calls().size(), 0u);
}

TEST_F(FrameTest, TimeInfoIsTheHostsPointerAndPassesTheFilter) {
  Probe();
  VstTimeInfo info{};
  host_.timeInfo = &info;
  EXPECT_EQ(probe_->getTimeInfo(0xFFC7), &info);
  const auto calls = host_.callsOf(audioMasterGetTime);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].value, 0xFFC7);
}

TEST_F(FrameTest, AllocateArrangementReplacesTheOldOneWithAZeroedOne) {
  Probe();
  VstSpeakerArrangement* arrangement = nullptr;
  ASSERT_TRUE(probe_->allocateArrangement(&arrangement, 1));
  ASSERT_NE(arrangement, nullptr);
  arrangement->type = 77;
  arrangement->speakers[0].azimuth = 1.5f;
  ASSERT_TRUE(probe_->allocateArrangement(&arrangement, 2));
  ASSERT_NE(arrangement, nullptr);
  EXPECT_EQ(arrangement->numChannels, 2);
  EXPECT_EQ(arrangement->type, 0);
  const auto* bytes = reinterpret_cast<const unsigned char*>(arrangement->speakers);
  for (size_t i = 0; i < 2 * sizeof(VstSpeakerProperties); ++i) ASSERT_EQ(bytes[i], 0) << i;
  EXPECT_TRUE(probe_->deallocateArrangement(&arrangement));
  EXPECT_EQ(arrangement, nullptr);
  EXPECT_TRUE(probe_->deallocateArrangement(&arrangement));
}

TEST_F(FrameTest, MatchArrangementCopiesTypeAndSpeakers) {
  Probe();
  VstSpeakerArrangement* from = nullptr;
  VstSpeakerArrangement* to = nullptr;
  ASSERT_TRUE(probe_->allocateArrangement(&from, 2));
  from->type = 1;
  std::memset(from->speakers[1].name, 'n', sizeof(from->speakers[1].name));  // no NUL at all
  from->speakers[1].azimuth = 0.5f;
  from->speakers[1].type = 2;
  ASSERT_TRUE(probe_->allocateArrangement(&to, 5));
  EXPECT_TRUE(probe_->matchArrangement(&to, from));
  ASSERT_NE(to, nullptr);
  EXPECT_EQ(to->numChannels, 2);
  EXPECT_EQ(to->type, 1);
  EXPECT_EQ(to->speakers[1].azimuth, 0.5f);
  EXPECT_EQ(to->speakers[1].type, 2);
  EXPECT_EQ(std::strlen(to->speakers[1].name), 63u);
  EXPECT_FALSE(probe_->matchArrangement(&to, nullptr));
  EXPECT_FALSE(probe_->copySpeaker(nullptr, &from->speakers[0]));
  probe_->deallocateArrangement(&from);
  probe_->deallocateArrangement(&to);
}

// --- Entry point and the relay's record ----------------------------------------------------

class EntryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (AEffect* e : opened_) Dispatch(e, effClose);
  }
  AEffect* Load() {
    AEffect* e = VSTPluginMain(FakeHost::callback());
    if (e) opened_.push_back(e);
    return e;
  }
  void Store(const char* name, int32_t value) {
    tovik::platform::UserStore store(build::kStoreKey);
    ASSERT_TRUE(store.WriteInt(name, value));
  }

  ScopedConfigHome home_;
  FakeHost host_;
  std::vector<AEffect*> opened_;
};

TEST_F(EntryTest, HostAnsweringVersionZeroGetsNoPlugin) {
  host_.version = 0;
  EXPECT_EQ(Load(), nullptr);
  const auto calls = host_.calls();
  ASSERT_EQ(calls.size(), 1u);  // nothing was created
  EXPECT_EQ(calls[0].opcode, audioMasterVersion);
  EXPECT_EQ(calls[0].effect, nullptr);
  EXPECT_EQ(calls[0].index, 0);
  EXPECT_EQ(calls[0].value, 0);
  EXPECT_EQ(calls[0].ptr, nullptr);
  EXPECT_EQ(calls[0].opt, 0.0f);
}

TEST_F(EntryTest, RecordOfANewInstance) {
  AEffect* e = Load();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->magic, 0x56737450);  // 'VstP'
  ASSERT_NE(e->object, nullptr);
  EXPECT_EQ(static_cast<AudioEffect*>(e->object)->getAeffect(), e);
  EXPECT_EQ(e->numPrograms, 1);
  EXPECT_EQ(e->numParams, 4);
  EXPECT_EQ(e->numInputs, 2);
  EXPECT_EQ(e->numOutputs, 2);
  const VstInt32 expectedFlags =
      effFlagsCanReplacing | effFlagsProgramChunks | (build::kInstrument ? effFlagsIsSynth : 0);
  EXPECT_EQ(e->flags, expectedFlags);
  EXPECT_EQ(e->uniqueID, build::kInstrument ? FourCC('T', 'o', 'v', 'I') : FourCC('T', 'o', 'v', 'k'));
  EXPECT_EQ(e->uniqueID, build::kInstrument ? 0x546F7649 : 0x546F766B);
  EXPECT_EQ(e->ioRatio, 1.0f);
  EXPECT_EQ(e->version, 1);
  EXPECT_EQ(Dispatch(e, effGetPlugCategory), build::kInstrument ? 2 : 0);
  EXPECT_EQ(Dispatch(e, effIdentify), 0x4E764566);
  EXPECT_EQ(Dispatch(e, effGetVstVersion), 2400);
  EXPECT_EQ(Dispatch(e, effGetVendorVersion), 1008);
  EXPECT_EQ(Dispatch(e, effKeysRequired), 1);
  EXPECT_EQ(Dispatch(e, effGetNumProgramCategories), 1);
}

TEST_F(EntryTest, SevenParametersWhenTheHostAcceptsIoChanges) {
  host_.canDo["acceptIOChanges"] = 1;
  AEffect* e = Load();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->numParams, 7);
}

TEST_F(EntryTest, CanMonoOnlyForOneInputAndSeveralOutputs) {
  struct Case {
    int32_t inputs, outputs;
    bool mono;
  };
  for (const Case& c :
       {Case{1, 2, true}, Case{1, 16, true}, Case{1, 1, false}, Case{2, 2, false}, Case{0, 2, false}}) {
    Store("NumInputs", c.inputs);
    Store("NumOutputs", c.outputs);
    AEffect* e = Load();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->numInputs, c.inputs);
    EXPECT_EQ(e->numOutputs, c.outputs);
    EXPECT_EQ((e->flags & effFlagsCanMono) != 0, c.mono) << c.inputs << " in, " << c.outputs << " out";
    EXPECT_EQ(e->flags & ~effFlagsCanMono,
              effFlagsCanReplacing | effFlagsProgramChunks | (build::kInstrument ? effFlagsIsSynth : 0));
  }
}

TEST_F(EntryTest, EachInstanceIsItsOwnObject) {
  AEffect* a = Load();
  AEffect* b = Load();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_NE(a->object, b->object);
  EXPECT_EQ(Dispatch(a, effClose), 1);
  opened_.erase(opened_.begin());
  EXPECT_EQ(Dispatch(b, effGetVendorVersion), 1008);
}

TEST_F(EntryTest, TovikCanHostDoCountsOnlyPositiveAnswers) {
  AEffect* e = Load();
  ASSERT_NE(e, nullptr);
  auto* tovik = static_cast<CTovik*>(static_cast<AudioEffect*>(e->object));
  host_.canDo["sizeWindow"] = -1;
  host_.canDo["offline"] = 2;
  EXPECT_EQ(tovik->canHostDo(const_cast<char*>("sizeWindow")), 0);
  EXPECT_EQ(tovik->canHostDo(const_cast<char*>("offline")), 1);
  EXPECT_EQ(tovik->canHostDo(const_cast<char*>("missing")), 0);
}

// --- No exception reaches the host ------------------------------------------------------

// Every operation the record's functions reach throws.
class ThrowingEffect : public AudioEffectX {
 public:
  explicit ThrowingEffect(audioMasterCallback master, ProbeLog* log)
      : AudioEffectX(master, 1, 2), log_(log) {}
  ~ThrowingEffect() override { log_->events.push_back("destroyed"); }
  void processReplacing(float**, float**, VstInt32) override { throw std::runtime_error("processReplacing"); }
  void process(float**, float**, VstInt32) override { throw std::runtime_error("process"); }
  void processDoubleReplacing(double**, double**, VstInt32) override { throw 7; }
  void setParameter(VstInt32, float) override { throw std::bad_alloc(); }
  float getParameter(VstInt32) override { throw std::runtime_error("getParameter"); }
  void close() override {
    log_->events.push_back("close");
    throw std::runtime_error("close");
  }
  VstInt32 getVendorVersion() override { throw std::runtime_error("getVendorVersion"); }
  void resume() override { throw std::bad_alloc(); }

 private:
  ProbeLog* log_;
};

TEST_F(FrameTest, ExceptionsEndAtTheRecordsFunctionsWithSafeResults) {
  auto* effect = new ThrowingEffect(FakeHost::callback(), &log_);
  AEffect* e = effect->getAeffect();
  float sample = 3.0f;
  float* channels[1] = {&sample};
  double wide = 4.0;
  double* wideChannels[1] = {&wide};
  EXPECT_NO_THROW(e->processReplacing(e, channels, channels, 1));
  EXPECT_NO_THROW(e->process(e, channels, channels, 1));
  EXPECT_NO_THROW(e->processDoubleReplacing(e, wideChannels, wideChannels, 1));
  EXPECT_NO_THROW(e->setParameter(e, 0, 0.5f));
  float value = -1.0f;
  EXPECT_NO_THROW(value = e->getParameter(e, 0));
  EXPECT_EQ(value, 0.0f);
  VstIntPtr answer = -1;
  EXPECT_NO_THROW(answer = Dispatch(e, effGetVendorVersion));
  EXPECT_EQ(answer, 0);
  EXPECT_NO_THROW(answer = Dispatch(e, effMainsChanged, 0, 1));
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(sample, 3.0f);
  EXPECT_EQ(wide, 4.0);
  // A close that throws still ends the instance.
  EXPECT_NO_THROW(answer = Dispatch(e, effClose));
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(log_.events, (std::vector<std::string>{"close", "destroyed"}));
}

// The relay's constructor asks the host about its capabilities; a host whose
// callback throws there (or memory that runs out) gives no instance.
TEST_F(EntryTest, ConstructionThatThrowsGivesTheHostNoPlugin) {
  for (int kind = 0; kind < 2; ++kind) {
    host_.onCall = [kind](const HostCall& call, VstIntPtr*) -> bool {
      if (call.opcode != audioMasterCanDo) return false;
      if (kind == 0) throw std::bad_alloc();
      throw std::runtime_error("host callback");
    };
    AEffect* e = nullptr;
    EXPECT_NO_THROW(e = Load()) << "kind " << kind;
    EXPECT_EQ(e, nullptr) << "kind " << kind;
    EXPECT_EQ(createEffectInstance(FakeHost::callback()), nullptr) << "kind " << kind;
  }
  host_.onCall = nullptr;
  AEffect* e = Load();  // the next host that behaves gets one
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(Dispatch(e, effGetVendorVersion), 1008);
}

TEST_F(EntryTest, HostCallbackThatThrowsInADispatcherCallEndsThere) {
  AEffect* e = Load();
  ASSERT_NE(e, nullptr);
  host_.onCall = [](const HostCall& call, VstIntPtr*) -> bool {
    if (call.opcode == audioMasterCanDo || call.opcode == audioMasterWantMidi)
      throw std::runtime_error("host");
    return false;
  };
  VstIntPtr answer = -1;
  EXPECT_NO_THROW(answer = Dispatch(e, effMainsChanged, 0, 1));  // resume asks the host
  EXPECT_EQ(answer, 0);
  host_.onCall = nullptr;
  EXPECT_EQ(Dispatch(e, effGetVendorVersion), 1008);
}

}  // namespace
