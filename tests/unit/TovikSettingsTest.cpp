// The relay object's settings as a host and a user see them: defaults, the
// per-user store, parameters, the settings chunk, pin names, identity and
// capabilities, and input/output changes. Each test runs on its own empty
// per-user store.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/UserStore.h"
#include "relay/BuildConstants.h"
#include "relay/Factory.h"
#include "relay/Tovik.h"
#include "support/FakeHost.h"
#include "support/HeldStoreLock.h"
#include "support/ScopedConfigHome.h"
#include "support/TovikInspector.h"

namespace {

using tovik::test::FakeHost;
using I = TovikInspector;

// Every test gets its own empty per-user store.
using tovik::test::ScopedConfigHome;

// Bytes placed right before an inaccessible page: reading one byte past them
// faults at once.
class GuardedBuffer {
 public:
  GuardedBuffer() {
    page_ = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    void* p = ::mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    base_ = static_cast<char*>(p);
    ::mprotect(base_ + page_, page_, PROT_NONE);
  }
  ~GuardedBuffer() {
    if (base_) ::munmap(base_, 2 * page_);
  }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  // Copies n bytes so that they end at the guard page; n is at most a page.
  char* Place(const void* bytes, size_t n) {
    char* at = base_ + page_ - n;
    if (n) std::memcpy(at, bytes, n);
    return at;
  }
  char* Place(const std::string& text) { return Place(text.data(), text.size()); }
  size_t page() const { return page_; }
  bool ok() const { return base_ != nullptr; }

 private:
  char* base_ = nullptr;
  size_t page_ = 4096;
};

const char* const kPrecisionNames[4] = {"8bit unsigned char", "16bit signed int", "24bit imprecise float",
                                        "32bit float"};
const char kDefaultChunk[] = "Host=localhost\nPort=19284\nSynch=1\nCfgDlg=1\nTrmSlave=1\nAudioPrec=4\n";
const char kDefaultChunkWithIo[] =
    "Host=localhost\nPort=19284\nSynch=1\nCfgDlg=0\nTrmSlave=1\nAudioPrec=4\n"
    "NumInputs=2\nNumOutputs=2\nStereoPins=0";

class TovikSettingsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    host_.onCall = nullptr;
    for (AEffect* e : open_) e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
  }

  // A new instance on a host that accepts input/output changes or not, and
  // that supports asynchronous processing or not.
  CTovik* Load(bool acceptIO = false, bool async = false) {
    host_.canDo["acceptIOChanges"] = acceptIO ? 1 : 0;
    host_.canDo["asyncProcessing"] = async ? 1 : 0;
    AEffect* e = CreateInstance();
    if (!e) return nullptr;
    open_.push_back(e);
    return static_cast<CTovik*>(static_cast<AudioEffect*>(e->object));
  }
  static AEffect* CreateInstance() {
    AudioEffect* effect = createEffectInstance(FakeHost::callback());
    return effect ? effect->getAeffect() : nullptr;
  }
  void Close(CTovik* t) {
    AEffect* e = t->getAeffect();
    for (auto it = open_.begin(); it != open_.end(); ++it) {
      if (*it == e) {
        open_.erase(it);
        break;
      }
    }
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
  }

  static VstIntPtr D(CTovik* t, VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                     float opt = 0.0f) {
    AEffect* e = t->getAeffect();
    return e->dispatcher(e, opcode, index, value, ptr, opt);
  }
  static void Suspend(CTovik* t) { D(t, effMainsChanged, 0, 0); }
  static void Resume(CTovik* t) { D(t, effMainsChanged, 0, 1); }

  // The chunk as the host gets it, NUL included.
  static std::string Chunk(CTovik* t) {
    void* data = nullptr;
    const VstIntPtr size = D(t, effGetChunk, 0, 0, &data);
    if (!data || size <= 0) return std::string();
    return std::string(static_cast<const char*>(data), static_cast<size_t>(size));
  }
  static VstIntPtr SetChunk(CTovik* t, const std::string& text) {
    return D(t, effSetChunk, 0, static_cast<VstIntPtr>(text.size() + 1), const_cast<char*>(text.c_str()));
  }
  static std::string Display(CTovik* t, VstInt32 index) {
    char text[128];
    std::memset(text, 'x', sizeof(text));
    D(t, effGetParamDisplay, index, 0, text);
    text[sizeof(text) - 1] = 0;
    return text;
  }
  static std::string Name(CTovik* t, VstInt32 index) {
    char text[128];
    std::memset(text, 'x', sizeof(text));
    D(t, effGetParamName, index, 0, text);
    text[sizeof(text) - 1] = 0;
    return text;
  }
  static bool S2P(CTovik* t, VstInt32 index, const char* text) {
    return D(t, effString2Parameter, index, 0, const_cast<char*>(text)) != 0;
  }
  static float Get(CTovik* t, VstInt32 index) {
    AEffect* e = t->getAeffect();
    return e->getParameter(e, index);
  }
  static void Set(CTovik* t, VstInt32 index, float value) {
    AEffect* e = t->getAeffect();
    e->setParameter(e, index, value);
  }
  static std::string InputLabel(CTovik* t, VstInt32 index, VstInt32* flags = nullptr) {
    VstPinProperties p;
    std::memset(&p, 0, sizeof(p));
    if (!D(t, effGetInputProperties, index, 0, &p)) return "<none>";
    if (flags) *flags = p.flags;
    return p.label;
  }
  static std::string OutputLabel(CTovik* t, VstInt32 index, VstInt32* flags = nullptr) {
    VstPinProperties p;
    std::memset(&p, 0, sizeof(p));
    if (!D(t, effGetOutputProperties, index, 0, &p)) return "<none>";
    if (flags) *flags = p.flags;
    return p.label;
  }
  static VstIntPtr CanDo(CTovik* t, const char* text) {
    return D(t, effCanDo, 0, 0, const_cast<char*>(text));
  }

  // The per-user store of this build.
  static void Store(const char* name, int32_t value) {
    tovik::platform::UserStore store(build::kStoreKey);
    ASSERT_TRUE(store.WriteInt(name, value));
  }
  static int32_t Stored(const char* name, int32_t missing = -12345) {
    tovik::platform::UserStore store(build::kStoreKey);
    int32_t value = missing;
    store.ReadInt(name, &value);
    return value;
  }

  ScopedConfigHome home_;
  FakeHost host_;
  std::vector<AEffect*> open_;
};

// --- A new instance ---------------------------------------------------------------------

TEST_F(TovikSettingsTest, DefaultsOnAHostWithoutIoChanges) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(I::NumInputs(*t), 2);
  EXPECT_EQ(I::NumOutputs(*t), 2);
  EXPECT_EQ(t->getAeffect()->numParams, 4);
  EXPECT_EQ(I::AudioPrec(*t), 4);
  EXPECT_TRUE(I::CfgDlg(*t));
  EXPECT_TRUE(I::Synch(*t));
  EXPECT_TRUE(I::TrmSlave(*t));
  EXPECT_FALSE(I::StereoPins(*t));
  EXPECT_STREQ(I::Host(*t), "localhost");
  EXPECT_EQ(I::Port(*t), 19284);
  EXPECT_TRUE(I::Suspended(*t));
  EXPECT_EQ(Chunk(t), std::string(kDefaultChunk, sizeof(kDefaultChunk)));
  EXPECT_EQ(Chunk(t).size(), 67u);
  // The two capability questions come first, in this order.
  const auto asked = host_.canDoQueries();
  ASSERT_GE(asked.size(), 2u);
  EXPECT_EQ(asked[0], "asyncProcessing");
  EXPECT_EQ(asked[1], "acceptIOChanges");
}

TEST_F(TovikSettingsTest, HostAcceptingIoChangesGetsSevenParametersAndNoDialog) {
  CTovik* t = Load(true);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->getAeffect()->numParams, 7);
  EXPECT_FALSE(I::CfgDlg(*t));
  EXPECT_EQ(Chunk(t), std::string(kDefaultChunkWithIo, sizeof(kDefaultChunkWithIo)));
  EXPECT_EQ(Chunk(t).size(), 104u);
}

TEST_F(TovikSettingsTest, NegativeCapabilityAnswersMeanNotSupported) {
  host_.canDo["acceptIOChanges"] = -1;
  host_.canDo["asyncProcessing"] = -1;
  AEffect* e = CreateInstance();
  ASSERT_NE(e, nullptr);
  open_.push_back(e);
  auto* t = static_cast<CTovik*>(static_cast<AudioEffect*>(e->object));
  EXPECT_EQ(e->numParams, 4);
  EXPECT_FALSE(I::HostCanAsync(*t));
  EXPECT_FALSE(I::HostAcceptsIO(*t));
}

TEST_F(TovikSettingsTest, ConstructionWritesAllStoreValues) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(Stored("NumInputs"), 2);
  EXPECT_EQ(Stored("NumOutputs"), 2);
  EXPECT_EQ(Stored("ConfigDlg"), 1);
  EXPECT_EQ(Stored("TermSlave"), 1);
  EXPECT_EQ(Stored("StereoPins"), 0);
  EXPECT_EQ(Stored("AudioPrec"), 4);
}

// --- Per-user store ---------------------------------------------------------------------

TEST_F(TovikSettingsTest, StoredPrecisionIsClampedOnLoad) {
  const struct {
    int32_t stored, loaded;
  } cases[] = {{0, 1}, {9, 4}, {-7, 1}, {INT32_MIN, 1}, {INT32_MAX, 4}, {2, 2}, {3, 3}};
  for (const auto& c : cases) {
    Store("AudioPrec", c.stored);
    CTovik* t = Load();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(I::AudioPrec(*t), c.loaded) << c.stored;
    EXPECT_EQ(Stored("AudioPrec"), c.loaded);  // written back as loaded
    Close(t);
  }
}

TEST_F(TovikSettingsTest, StoredCountsAreClampedOnLoad) {
  const struct {
    int32_t inputs, outputs, loadedInputs, loadedOutputs;
  } cases[] = {{17, 0, 16, 1}, {-1, 99, 0, 16},  {INT32_MIN, INT32_MAX, 0, 16},
               {0, 1, 0, 1},   {16, 16, 16, 16}, {INT32_MAX, INT32_MIN, 16, 1},
               {5, -5, 5, 1}};
  for (const auto& c : cases) {
    Store("NumInputs", c.inputs);
    Store("NumOutputs", c.outputs);
    CTovik* t = Load();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(I::NumInputs(*t), c.loadedInputs) << c.inputs;
    EXPECT_EQ(I::NumOutputs(*t), c.loadedOutputs) << c.outputs;
    EXPECT_EQ(t->getAeffect()->numInputs, c.loadedInputs);
    EXPECT_EQ(t->getAeffect()->numOutputs, c.loadedOutputs);
    Close(t);
  }
}

TEST_F(TovikSettingsTest, StoredSwitchesAreLoaded) {
  Store("ConfigDlg", 0);
  Store("TermSlave", 0);
  Store("StereoPins", 7);
  Store("NumInputs", 3);
  Store("NumOutputs", 5);
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  EXPECT_FALSE(I::CfgDlg(*t));
  EXPECT_FALSE(I::TrmSlave(*t));
  EXPECT_TRUE(I::StereoPins(*t));
  EXPECT_EQ(I::NumInputs(*t), 3);
  EXPECT_EQ(I::NumOutputs(*t), 5);
  EXPECT_EQ(Stored("StereoPins"), 1);
}

TEST_F(TovikSettingsTest, StoredDialogSwitchOverridesTheIoChangeDefault) {
  Store("ConfigDlg", 1);
  CTovik* t = Load(true);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(I::CfgDlg(*t));
}

TEST_F(TovikSettingsTest, MalformedStoreLeavesDefaults) {
  const std::string dir = home_.path() + "/Kestrane";
  std::filesystem::create_directories(dir);
  const std::string file = dir + (build::kInstrument ? "/TovikI.conf" : "/Tovik.conf");
  {
    FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("NumInputs=lots\nNumOutputs=\nAudioPrec=2x\n\x01\x02garbage\nTermSlave=99999999999\n", f);
    std::fclose(f);
  }
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(I::NumInputs(*t), 2);
  EXPECT_EQ(I::NumOutputs(*t), 2);
  EXPECT_EQ(I::AudioPrec(*t), 4);
  EXPECT_TRUE(I::TrmSlave(*t));
}

TEST_F(TovikSettingsTest, UnreadableStoreLeavesDefaults) {
  // A folder where the file should be: nothing can be read or written.
  std::filesystem::create_directories(home_.path() + "/Kestrane" +
                                      (build::kInstrument ? "/TovikI.conf" : "/Tovik.conf"));
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(I::NumInputs(*t), 2);
  EXPECT_EQ(I::AudioPrec(*t), 4);
  EXPECT_EQ(Chunk(t), std::string(kDefaultChunk, sizeof(kDefaultChunk)));
}

TEST_F(TovikSettingsTest, TheTwoBuildsKeepTheirSettingsInDifferentFiles) {
  const std::string own = home_.path() + "/Kestrane/" + (build::kInstrument ? "TovikI.conf" : "Tovik.conf");
  const std::string other = home_.path() + "/Kestrane/" + (build::kInstrument ? "Tovik.conf" : "TovikI.conf");
  {
    tovik::platform::UserStore store(build::kInstrument ? "Software\\Kestrane\\Tovik"
                                                        : "Software\\Kestrane\\TovikI");
    ASSERT_TRUE(store.WriteInt("AudioPrec", 1));
    ASSERT_TRUE(store.WriteInt("NumInputs", 7));
  }
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(I::AudioPrec(*t), 4);
  EXPECT_EQ(I::NumInputs(*t), 2);
  EXPECT_TRUE(std::filesystem::exists(own));
  Set(t, 3, 0.0f);
  t->flushUserStore();
  EXPECT_EQ(Stored("AudioPrec"), 1);
  tovik::platform::UserStore otherStore(build::kInstrument ? "Software\\Kestrane\\Tovik"
                                                           : "Software\\Kestrane\\TovikI");
  int32_t value = 0;
  ASSERT_TRUE(otherStore.ReadInt("NumInputs", &value));
  EXPECT_EQ(value, 7);
  EXPECT_TRUE(std::filesystem::exists(other));
  EXPECT_EQ(std::string(build::kStoreKey),
            build::kInstrument ? "Software\\Kestrane\\TovikI" : "Software\\Kestrane\\Tovik");
}

// Parameter changes reach the store at the next flush (here the host's idle
// call), never inside setParameter.
TEST_F(TovikSettingsTest, ParameterChangesAreWrittenToTheStore) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  SetChunk(t, "Port=0\n");  // the idle calls below connect to nothing
  Set(t, 1, 0.0f);
  EXPECT_EQ(Stored("ConfigDlg"), 1);
  D(t, effIdle);
  EXPECT_EQ(Stored("ConfigDlg"), 0);
  Set(t, 2, 0.2f);
  Set(t, 3, 0.5f);
  EXPECT_EQ(Stored("TermSlave"), 1);
  EXPECT_EQ(Stored("AudioPrec"), 4);
  D(t, effIdle);
  EXPECT_EQ(Stored("TermSlave"), 0);
  EXPECT_EQ(Stored("AudioPrec"), 2);
  Set(t, 2, 0.5f);
  t->flushUserStore();
  EXPECT_EQ(Stored("TermSlave"), 1);
  EXPECT_TRUE(S2P(t, 1, "on"));
  t->flushUserStore();
  EXPECT_EQ(Stored("ConfigDlg"), 1);
  EXPECT_TRUE(S2P(t, 1, "off"));
  EXPECT_FALSE(I::CfgDlg(*t));
  t->flushUserStore();
  EXPECT_EQ(Stored("ConfigDlg"), 0);
  // A new instance starts from what the last one chose.
  CTovik* next = Load();
  ASSERT_NE(next, nullptr);
  EXPECT_FALSE(I::CfgDlg(*next));
  EXPECT_TRUE(I::TrmSlave(*next));
  EXPECT_EQ(I::AudioPrec(*next), 2);
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Hosts automate parameters from their audio thread. While another process
// holds the store's lock (another host writing its settings), no
// setParameter call waits for it: the values change at once, the file stays
// as it was, and the main thread's flush writes them once the lock is free.
TEST_F(TovikSettingsTest, AutomationNeverWaitsForTheStoreOfAnotherProcess) {
  using Clock = std::chrono::steady_clock;
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  SetChunk(t, "Port=0\n");  // the idle call below connects to nothing
  tovik::platform::UserStore store(build::kStoreKey);
  ASSERT_TRUE(store.Open());
  const std::string file = store.Path();
  const std::string before = FileText(file);
  ASSERT_NE(before, "");
  const uint32_t updates = tovik::platform::UserStore::UpdateCount();
  tovik::test::HeldStoreLock otherProcess(file);
  ASSERT_TRUE(otherProcess.Held());

  Clock::duration longest{};
  int calls = 0;
  std::thread audio([&] {
    for (int i = 0; i < 1002; ++i) {
      const VstInt32 index = 1 + i % 3;  // CfgDlg, TrmSlave, AudioPrec
      const float value = i == 1001 ? 0.5f : static_cast<float>((i / 3 + 1) % 2);  // ends off, off, 2
      const Clock::time_point start = Clock::now();
      Set(t, index, value);
      longest = std::max(longest, Clock::now() - start);
      ++calls;
      if (longest > std::chrono::milliseconds(500)) break;  // waited for the lock
    }
  });
  audio.join();
  // A sanity bound only: the lock is waited for up to 2 s per write.
  EXPECT_LT(longest, std::chrono::milliseconds(500));
  EXPECT_EQ(calls, 1002);
  EXPECT_FALSE(I::CfgDlg(*t));
  EXPECT_FALSE(I::TrmSlave(*t));
  EXPECT_EQ(I::AudioPrec(*t), 2);
  EXPECT_EQ(FileText(file), before);
  EXPECT_EQ(tovik::platform::UserStore::UpdateCount(), updates);

  D(t, effIdle);  // an idle call's flush does not wait for the lock either
  EXPECT_EQ(FileText(file), before);

  otherProcess.Release();
  t->flushUserStore();
  EXPECT_EQ(tovik::platform::UserStore::UpdateCount(), updates + 1);
  EXPECT_EQ(Stored("ConfigDlg"), 0);
  EXPECT_EQ(Stored("TermSlave"), 0);
  EXPECT_EQ(Stored("AudioPrec"), 2);
}

// A project with 40 instances makes 40 store updates (one fsync each), not
// 240: each new instance writes its six values in one update.
TEST_F(TovikSettingsTest, NewInstancesWriteTheirSixValuesInOneUpdate) {
  const uint32_t updates = tovik::platform::UserStore::UpdateCount();
  for (int i = 0; i < 40; ++i) ASSERT_NE(Load(i % 2 == 0), nullptr);
  EXPECT_EQ(tovik::platform::UserStore::UpdateCount(), updates + 40);
  EXPECT_EQ(Stored("NumInputs"), 2);
  EXPECT_EQ(Stored("AudioPrec"), 4);
}

TEST_F(TovikSettingsTest, AutomationIsCoalescedIntoOneUpdate) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  const uint32_t updates = tovik::platform::UserStore::UpdateCount();
  for (int i = 0; i < 1000; ++i) Set(t, 1 + i % 3, static_cast<float>(i % 7) / 6.0f);
  EXPECT_EQ(tovik::platform::UserStore::UpdateCount(), updates);
  t->flushUserStore();
  EXPECT_EQ(tovik::platform::UserStore::UpdateCount(), updates + 1);
  t->flushUserStore();  // nothing changed since
  EXPECT_EQ(tovik::platform::UserStore::UpdateCount(), updates + 1);
  EXPECT_EQ(Stored("ConfigDlg"), I::CfgDlg(*t) ? 1 : 0);
  EXPECT_EQ(Stored("TermSlave"), I::TrmSlave(*t) ? 1 : 0);
  EXPECT_EQ(Stored("AudioPrec"), I::AudioPrec(*t));
}

// Whatever automation changed is written by the main-thread calls that come
// next: suspend, resume, the chunk calls, close, and destruction.
TEST_F(TovikSettingsTest, MainThreadCallsWriteWhatAutomationChanged) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  Set(t, 3, 0.0f);
  Suspend(t);
  EXPECT_EQ(Stored("AudioPrec"), 1);
  Set(t, 3, 0.4f);
  Resume(t);
  EXPECT_EQ(Stored("AudioPrec"), 2);
  Set(t, 3, 0.7f);
  Chunk(t);
  EXPECT_EQ(Stored("AudioPrec"), 3);
  SetChunk(t, "TrmSlave=0\n");
  EXPECT_EQ(Stored("TermSlave"), 0);
  Set(t, 3, 1.0f);
  Close(t);
  EXPECT_EQ(Stored("AudioPrec"), 4);

  auto* raw = new CTovik(FakeHost::callback());  // destroyed without close
  raw->setParameter(2, 1.0f);
  delete raw;
  EXPECT_EQ(Stored("TermSlave"), 1);
}

TEST_F(TovikSettingsTest, InputCountIsStoredAfterTheSuspendThatAppliesIt) {
  CTovik* t = Load(true);
  ASSERT_NE(t, nullptr);
  Set(t, 4, 0.5f);
  EXPECT_EQ(Stored("NumInputs"), 2);
  Suspend(t);
  EXPECT_EQ(Stored("NumInputs"), 8);
  EXPECT_EQ(Stored("NumOutputs"), 2);
  EXPECT_EQ(Stored("StereoPins"), 0);
}

// --- Identity and capabilities --------------------------------------------------------------

TEST_F(TovikSettingsTest, IdentityStrings) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  char text[256];
  EXPECT_EQ(D(t, effGetEffectName, 0, 0, text), 1);
  EXPECT_STREQ(text, build::kInstrument ? "Tovik VSTi" : "Tovik");
  EXPECT_EQ(D(t, effGetVendorString, 0, 0, text), 1);
  EXPECT_STREQ(text, "Kestrane");
  EXPECT_EQ(D(t, effGetProductString, 0, 0, text), 1);
  EXPECT_STREQ(text, build::kInstrument ? "Orlimb: Tovik VSTi" : "Orlimb: Tovik");
  EXPECT_EQ(D(t, effGetVendorVersion), 1008);
  std::memset(text, 'x', sizeof(text));
  D(t, effGetProgramName, 0, 0, text);
  EXPECT_STREQ(text, "--Fixed--");
  for (VstInt32 i = -1; i < 8; ++i) {
    std::memset(text, 'x', sizeof(text));
    D(t, effGetParamLabel, i, 0, text);
    EXPECT_STREQ(text, "") << i;
  }
  EXPECT_EQ(t->getAeffect()->uniqueID,
            build::kInstrument ? FourCC('T', 'o', 'v', 'I') : FourCC('T', 'o', 'v', 'k'));
  EXPECT_EQ(D(t, effGetPlugCategory), build::kInstrument ? 2 : 0);
  EXPECT_EQ((t->getAeffect()->flags & effFlagsIsSynth) != 0, build::kInstrument);
}

TEST_F(TovikSettingsTest, CapabilityAnswers) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  for (const char* both : {"sendVstEvents", "receiveVstEvents", "sendVstMidiEvent", "receiveVstMidiEvent",
                           "receiveVstTimeInfo", "conformsToWindowRules"})
    EXPECT_EQ(CanDo(t, both), 1) << both;
  EXPECT_EQ(CanDo(t, "plugAsChannelInsert"), build::kInstrument ? -1 : 1);
  EXPECT_EQ(CanDo(t, "plugAsSend"), build::kInstrument ? -1 : 1);
  for (const char* never : {"PlugAsSend", "plugAsSend ", "sendVstEvent", "", "offline", "bypass",
                            "receiveVstEvents\n", "SENDVSTEVENTS"})
    EXPECT_EQ(CanDo(t, never), -1) << never;
  EXPECT_EQ(D(t, effCanDo, 0, 0, nullptr), -1);
}

// --- Parameters ---------------------------------------------------------------------------

TEST_F(TovikSettingsTest, ParameterNames) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  const char* const names[] = {"Synch", "CfgDlg", "TrmSlave", "AudioPrec"};
  for (VstInt32 i = 0; i < 4; ++i) EXPECT_EQ(Name(t, i), names[i]);
  for (VstInt32 i : {4, 5, 6, 7, -1, 100, INT32_MIN}) EXPECT_EQ(Name(t, i), "") << i;

  CTovik* io = Load(true);
  ASSERT_NE(io, nullptr);
  const char* const all[] = {"Synch", "CfgDlg", "TrmSlave", "AudioPrec", "Inputs", "Outputs", "StereoPn"};
  for (VstInt32 i = 0; i < 7; ++i) EXPECT_EQ(Name(io, i), all[i]);
  for (VstInt32 i : {7, -1}) EXPECT_EQ(Name(io, i), "") << i;
}

TEST_F(TovikSettingsTest, DefaultValuesAndDisplays) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(Get(t, 0), 1.0f);
  EXPECT_EQ(Get(t, 1), 1.0f);
  EXPECT_EQ(Get(t, 2), 1.0f);
  EXPECT_EQ(Get(t, 3), 1.0f);
  EXPECT_EQ(Get(t, 4), 0.125f);
  EXPECT_EQ(Get(t, 5), 1.0f / 15.0f);
  EXPECT_EQ(Get(t, 6), 0.0f);
  for (VstInt32 i : {7, -1, 1000, INT32_MIN}) EXPECT_EQ(Get(t, i), 0.0f) << i;
  EXPECT_EQ(Display(t, 0), "On");
  EXPECT_EQ(Display(t, 1), "On");
  EXPECT_EQ(Display(t, 2), "On");
  EXPECT_EQ(Display(t, 3), "32bit float");
  EXPECT_EQ(Display(t, 4), "2");
  EXPECT_EQ(Display(t, 5), "2");
  EXPECT_EQ(Display(t, 6), "Off");
  for (VstInt32 i : {7, -1, INT32_MIN}) EXPECT_EQ(Display(t, i), "") << i;
}

TEST_F(TovikSettingsTest, Automation) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(D(t, effCanBeAutomated, 0), 0);
  for (VstInt32 i = 1; i < 7; ++i) EXPECT_EQ(D(t, effCanBeAutomated, i), 1) << i;
  CTovik* async = Load(false, true);
  ASSERT_NE(async, nullptr);
  EXPECT_EQ(D(async, effCanBeAutomated, 0), 1);
}

TEST_F(TovikSettingsTest, SynchChangesOnlyOnAnAsyncHost) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  Set(t, 0, 0.0f);
  EXPECT_TRUE(I::Synch(*t));
  EXPECT_EQ(t->getAeffect()->flags & effFlagsExtIsAsync, 0);
  EXPECT_TRUE(S2P(t, 0, "off"));  // accepted, but changes nothing
  EXPECT_TRUE(I::Synch(*t));

  CTovik* async = Load(false, true);
  ASSERT_NE(async, nullptr);
  Set(async, 0, 0.0f);
  EXPECT_FALSE(I::Synch(*async));
  EXPECT_EQ(Get(async, 0), 0.0f);
  EXPECT_EQ(Display(async, 0), "Off");
  EXPECT_NE(async->getAeffect()->flags & effFlagsExtIsAsync, 0);
  Set(async, 0, 0.5f);
  EXPECT_TRUE(I::Synch(*async));
  EXPECT_EQ(async->getAeffect()->flags & effFlagsExtIsAsync, 0);
}

TEST_F(TovikSettingsTest, PrecisionSteps) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  Set(t, 3, 0.5f);
  EXPECT_EQ(I::AudioPrec(*t), 2);
  EXPECT_EQ(Display(t, 3), "16bit signed int");
  Set(t, 3, 1.0f);
  EXPECT_EQ(I::AudioPrec(*t), 4);
  EXPECT_EQ(Display(t, 3), "32bit float");
  Set(t, 3, 0.0f);
  EXPECT_EQ(I::AudioPrec(*t), 1);
  EXPECT_EQ(Display(t, 3), "8bit unsigned char");
  Set(t, 3, 0.7f);
  EXPECT_EQ(I::AudioPrec(*t), 3);
  EXPECT_EQ(Display(t, 3), "24bit imprecise float");
}

TEST_F(TovikSettingsTest, RoundTripsOfEveryPrecision) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  for (int p = 1; p <= 4; ++p) {
    Set(t, 3, static_cast<float>(p - 1) / 3.0f);
    ASSERT_EQ(I::AudioPrec(*t), p);
    const float value = Get(t, 3);
    const std::string display = Display(t, 3);
    EXPECT_EQ(display, kPrecisionNames[p - 1]);
    Set(t, 3, p == 1 ? 1.0f : 0.0f);
    Set(t, 3, value);
    EXPECT_EQ(I::AudioPrec(*t), p) << "setParameter(getParameter) of " << p;
    Set(t, 3, p == 1 ? 1.0f : 0.0f);
    EXPECT_TRUE(S2P(t, 3, display.c_str()));
    EXPECT_EQ(I::AudioPrec(*t), p) << "string2parameter(display) of " << p;
    Set(t, 3, p == 1 ? 1.0f : 0.0f);
    EXPECT_TRUE(S2P(t, 3, std::to_string(p).c_str()));
    EXPECT_EQ(I::AudioPrec(*t), p) << "string2parameter(number) of " << p;
  }
}

TEST_F(TovikSettingsTest, RoundTripsOfEveryInputCount) {
  CTovik* t = Load(true);
  ASSERT_NE(t, nullptr);
  for (int n = 0; n <= 16; ++n) {
    Set(t, 4, static_cast<float>(n) / 16.0f);
    Suspend(t);
    ASSERT_EQ(I::NumInputs(*t), n);
    EXPECT_EQ(t->getAeffect()->numInputs, n);
    const float value = Get(t, 4);
    const std::string display = Display(t, 4);
    EXPECT_EQ(display, std::to_string(n));
    const float away = n == 0 ? 1.0f : 0.0f;
    Set(t, 4, away);
    Set(t, 4, value);
    Suspend(t);
    EXPECT_EQ(I::NumInputs(*t), n) << "setParameter(getParameter) of " << n;
    Set(t, 4, away);
    EXPECT_TRUE(S2P(t, 4, display.c_str()));
    Suspend(t);
    EXPECT_EQ(I::NumInputs(*t), n) << "string2parameter(display) of " << n;
  }
}

TEST_F(TovikSettingsTest, RoundTripsOfEveryOutputCount) {
  CTovik* t = Load(true);
  ASSERT_NE(t, nullptr);
  for (int n = 1; n <= 16; ++n) {
    Set(t, 5, static_cast<float>(n - 1) / 15.0f);
    Suspend(t);
    ASSERT_EQ(I::NumOutputs(*t), n);
    EXPECT_EQ(t->getAeffect()->numOutputs, n);
    const float value = Get(t, 5);
    const std::string display = Display(t, 5);
    EXPECT_EQ(display, std::to_string(n));
    const float away = n == 1 ? 1.0f : 0.0f;
    Set(t, 5, away);
    Set(t, 5, value);
    Suspend(t);
    EXPECT_EQ(I::NumOutputs(*t), n) << "setParameter(getParameter) of " << n;
    Set(t, 5, away);
    EXPECT_TRUE(S2P(t, 5, display.c_str()));
    Suspend(t);
    EXPECT_EQ(I::NumOutputs(*t), n) << "string2parameter(display) of " << n;
  }
}

TEST_F(TovikSettingsTest, RoundTripsOfEverySwitch) {
  CTovik* t = Load(true, true);
  ASSERT_NE(t, nullptr);
  auto state = [t](VstInt32 index) {
    switch (index) {
      case 0:
        return I::Synch(*t);
      case 1:
        return I::CfgDlg(*t);
      case 2:
        return I::TrmSlave(*t);
      default:
        return I::StereoPins(*t);
    }
  };
  for (VstInt32 index : {0, 1, 2, 6}) {
    for (bool on : {false, true}) {
      Set(t, index, on ? 1.0f : 0.0f);
      Suspend(t);
      ASSERT_EQ(state(index), on) << index;
      const float value = Get(t, index);
      EXPECT_EQ(value, on ? 1.0f : 0.0f);
      const std::string display = Display(t, index);
      EXPECT_EQ(display, on ? "On" : "Off");
      Set(t, index, on ? 0.0f : 1.0f);
      Set(t, index, value);
      Suspend(t);
      EXPECT_EQ(state(index), on) << "setParameter(getParameter) of " << index;
      Set(t, index, on ? 0.0f : 1.0f);
      EXPECT_TRUE(S2P(t, index, display.c_str()));
      Suspend(t);
      EXPECT_EQ(state(index), on) << "string2parameter(display) of " << index;
    }
  }
}

TEST_F(TovikSettingsTest, SwitchesTurnOnAtOneHalf) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  Set(t, 2, 0.49f);
  EXPECT_FALSE(I::TrmSlave(*t));
  Set(t, 2, 0.5f);
  EXPECT_TRUE(I::TrmSlave(*t));
}

TEST_F(TovikSettingsTest, HostileParameterValuesStayInRange) {
  CTovik* t = Load(true, true);
  ASSERT_NE(t, nullptr);
  const float values[] = {std::numeric_limits<float>::quiet_NaN(),
                          -std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity(),
                          std::numeric_limits<float>::max(),
                          -std::numeric_limits<float>::max(),
                          std::numeric_limits<float>::denorm_min(),
                          -std::numeric_limits<float>::denorm_min(),
                          1e30f,
                          -1e30f,
                          3e9f,
                          -3e9f,
                          1.5f,
                          -0.5f,
                          2.0f,
                          -1.0f,
                          1.0000001f,
                          0.9999999f};
  for (float v : values) {
    for (VstInt32 index = 0; index < 7; ++index) {
      Set(t, index, v);
      Suspend(t);
      EXPECT_GE(I::AudioPrec(*t), 1);
      EXPECT_LE(I::AudioPrec(*t), 4);
      EXPECT_GE(I::NumInputs(*t), 0);
      EXPECT_LE(I::NumInputs(*t), 16);
      EXPECT_GE(I::NumOutputs(*t), 1);
      EXPECT_LE(I::NumOutputs(*t), 16);
      EXPECT_GE(Get(t, 4), 0.0f);
      EXPECT_LE(Get(t, 4), 1.0f);
      EXPECT_GE(Get(t, 5), 0.0f);
      EXPECT_LE(Get(t, 5), 1.0f);
      EXPECT_GE(Get(t, 3), 0.0f);
      EXPECT_LE(Get(t, 3), 1.0f);
    }
  }
}

TEST_F(TovikSettingsTest, OutOfRangeValuesSaturate) {
  CTovik* t = Load(true);
  ASSERT_NE(t, nullptr);
  Set(t, 3, 1e30f);
  EXPECT_EQ(I::AudioPrec(*t), 4);
  Set(t, 3, -1e30f);
  EXPECT_EQ(I::AudioPrec(*t), 1);
  Set(t, 3, std::numeric_limits<float>::infinity());
  EXPECT_EQ(I::AudioPrec(*t), 4);
  Set(t, 4, std::numeric_limits<float>::infinity());
  Set(t, 5, 1.5f);
  Suspend(t);
  EXPECT_EQ(I::NumInputs(*t), 16);
  EXPECT_EQ(I::NumOutputs(*t), 16);
  Set(t, 4, -std::numeric_limits<float>::infinity());
  Set(t, 5, -3.0f);
  Suspend(t);
  EXPECT_EQ(I::NumInputs(*t), 0);
  EXPECT_EQ(I::NumOutputs(*t), 1);
  const std::string before = Chunk(t);
  Set(t, 3, std::numeric_limits<float>::quiet_NaN());
  Set(t, 4, std::numeric_limits<float>::quiet_NaN());
  Set(t, 5, std::numeric_limits<float>::quiet_NaN());
  Suspend(t);
  EXPECT_EQ(Chunk(t), before);
}

TEST_F(TovikSettingsTest, IndexesOutsideTheParametersChangeNothing) {
  CTovik* t = Load(true, true);
  ASSERT_NE(t, nullptr);
  const std::string before = Chunk(t);
  const size_t ioCalls = host_.count(audioMasterIOChanged);
  for (VstInt32 index : {-1, -2, 7, 8, 100, INT32_MIN, INT32_MAX}) {
    for (float v : {0.0f, 0.5f, 1.0f}) Set(t, index, v);
    EXPECT_FALSE(S2P(t, index, "1")) << index;
    EXPECT_FALSE(S2P(t, index, "")) << index;
  }
  Suspend(t);
  EXPECT_EQ(Chunk(t), before);
  EXPECT_EQ(host_.count(audioMasterIOChanged), ioCalls);
  // CfgDlg is off by default on a host that accepts input/output changes.
  const float defaults[7] = {1.0f, 0.0f, 1.0f, 1.0f, 0.125f, 1.0f / 15.0f, 0.0f};
  for (VstInt32 i = 0; i < 7; ++i) EXPECT_EQ(Get(t, i), defaults[i]) << i;
}

// --- string2parameter ----------------------------------------------------------------------

TEST_F(TovikSettingsTest, String2ParameterIndexRules) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  EXPECT_FALSE(S2P(t, 4, "3"));  // only four parameters on this host
  EXPECT_FALSE(S2P(t, 5, "3"));
  EXPECT_FALSE(S2P(t, 6, "on"));
  EXPECT_FALSE(S2P(t, -1, "on"));
  EXPECT_TRUE(S2P(t, 3, ""));
  EXPECT_TRUE(S2P(t, 3, nullptr));
  EXPECT_EQ(I::AudioPrec(*t), 4);
  CTovik* io = Load(true);
  ASSERT_NE(io, nullptr);
  EXPECT_TRUE(S2P(io, 6, "on"));
  EXPECT_FALSE(S2P(io, 7, "on"));
}

TEST_F(TovikSettingsTest, String2ParameterPrecision) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  const struct {
    const char* text;
    bool ok;
    int32_t prec;
  } cases[] = {{"16BIT SIGNED INT", true, 2},
               {"8bit Unsigned Char", true, 1},
               {"24BIT imprecise FLOAT", true, 3},
               {"32bit float", true, 4},
               {"2", true, 2},
               {"0", true, 1},
               {"99", true, 4},
               {"-5", true, 1},
               {"  3", true, 3},
               {"+2", true, 2},
               {"1abc", true, 1},
               {"99999999999", true, 4},
               {"-99999999999", true, 1},
               {"3", true, 3},
               {"abc", false, 3},
               {"-", false, 3},
               {" ", false, 3},
               // Not a name: the leading number counts, clamped.
               {"32bit float ", true, 4},
               {"1", true, 1},
               {"16bit", true, 4}};
  for (const auto& c : cases) {
    EXPECT_EQ(S2P(t, 3, c.text), c.ok) << c.text;
    EXPECT_EQ(I::AudioPrec(*t), c.prec) << c.text;
  }
}

TEST_F(TovikSettingsTest, String2ParameterCounts) {
  CTovik* t = Load(true);
  ASSERT_NE(t, nullptr);
  const struct {
    VstInt32 index;
    const char* text;
    bool ok;
    float value;  // getParameter afterwards
  } cases[] = {{5, "99", true, 1.0f},           {5, "0", true, 0.0f},
               {5, "8", true, 7.0f / 15},       {5, "-99999999999", true, 0.0f},
               {5, "99999999999", true, 1.0f},  {5, "x", false, 1.0f},
               {4, "99", true, 1.0f},           {4, "-3", true, 0.0f},
               {4, "5", true, 5.0f / 16},       {4, "99999999999", true, 1.0f},
               {4, "-99999999999", true, 0.0f}, {4, "five", false, 0.0f}};
  for (const auto& c : cases) {
    EXPECT_EQ(S2P(t, c.index, c.text), c.ok) << c.index << " " << c.text;
    EXPECT_EQ(Get(t, c.index), c.value) << c.index << " " << c.text;
  }
  S2P(t, 5, "99");
  S2P(t, 4, "3");
  Suspend(t);
  EXPECT_EQ(I::NumOutputs(*t), 16);
  EXPECT_EQ(I::NumInputs(*t), 3);
  EXPECT_TRUE(S2P(t, 5, "0"));
  Suspend(t);
  EXPECT_EQ(I::NumOutputs(*t), 1);
}

TEST_F(TovikSettingsTest, String2ParameterSwitches) {
  CTovik* t = Load(false, true);
  ASSERT_NE(t, nullptr);
  const struct {
    const char* text;
    bool ok;
    bool on;
  } cases[] = {{"off", true, false},  {"ON", true, true},
               {"Off", true, false},  {"on", true, true},
               {"0", true, false},    {"7", true, true},
               {"-1", true, false},   {"99999999999", true, true},
               {"on ", false, true},  {"yes", false, true},
               {"no", false, true},   {" 0", true, false},
               {"oN", true, true},    {"-99999999999", true, false},
               {"onn", false, false}, {"1", true, true}};
  for (VstInt32 index : {0, 1, 2}) {
    for (const auto& c : cases) {
      EXPECT_EQ(S2P(t, index, c.text), c.ok) << index << " '" << c.text << "'";
      EXPECT_EQ(Get(t, index), c.on ? 1.0f : 0.0f) << index << " '" << c.text << "'";
    }
  }
}

TEST_F(TovikSettingsTest, String2ParameterSurvivesAnyText) {
  CTovik* t = Load(true, true);
  ASSERT_NE(t, nullptr);
  std::mt19937 rng(1234);
  std::uniform_int_distribution<int> length(0, 40);
  std::uniform_int_distribution<int> byte(1, 255);
  const char alphabet[] = "0123456789+- \tonfONF";
  std::uniform_int_distribution<size_t> pick(0, sizeof(alphabet) - 2);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int n = length(rng);
    for (int i = 0; i < n; ++i) text += static_cast<char>(round % 2 ? byte(rng) : alphabet[pick(rng)]);
    S2P(t, static_cast<VstInt32>(round % 9) - 1, text.c_str());
  }
  Suspend(t);
  EXPECT_GE(I::AudioPrec(*t), 1);
  EXPECT_LE(I::AudioPrec(*t), 4);
  EXPECT_GE(I::NumInputs(*t), 0);
  EXPECT_LE(I::NumInputs(*t), 16);
  EXPECT_GE(I::NumOutputs(*t), 1);
  EXPECT_LE(I::NumOutputs(*t), 16);
}

// --- Input/output changes ----------------------------------------------------------------------

TEST_F(TovikSettingsTest, InputRequestIsAppliedAtTheNextSuspend) {
  CTovik* t = Load(true);
  ASSERT_NE(t, nullptr);
  host_.clear();
  Set(t, 4, 0.5f);
  EXPECT_EQ(host_.count(audioMasterIOChanged), 1u);
  EXPECT_EQ(Get(t, 4), 0.5f);
  EXPECT_EQ(Display(t, 4), "8");
  // Until the suspend the record, the pins and the chunk keep the old count.
  EXPECT_EQ(t->getAeffect()->numInputs, 2);
  EXPECT_EQ(I::NumInputs(*t), 2);
  EXPECT_EQ(InputLabel(t, 2), "<none>");
  EXPECT_NE(Chunk(t).find("NumInputs=2\n"), std::string::npos);
  Set(t, 4, 0.5f);  // the same request again: the host is not told twice
  EXPECT_EQ(host_.count(audioMasterIOChanged), 1u);
  Suspend(t);
  EXPECT_EQ(t->getAeffect()->numInputs, 8);
  EXPECT_EQ(I::NumInputs(*t), 8);
  EXPECT_EQ(InputLabel(t, 7), "Input 8");
  EXPECT_NE(Chunk(t).find("NumInputs=8\n"), std::string::npos);
  Resume(t);
  Suspend(t);
  EXPECT_EQ(t->getAeffect()->numInputs, 8);
}

TEST_F(TovikSettingsTest, CanMonoIsNotRecomputedWhenCountsChange) {
  Store("NumInputs", 1);
  CTovik* t = Load(true);
  ASSERT_NE(t, nullptr);
  EXPECT_NE(t->getAeffect()->flags & effFlagsCanMono, 0);
  Set(t, 4, 0.125f);
  Suspend(t);
  EXPECT_EQ(t->getAeffect()->numInputs, 2);
  EXPECT_NE(t->getAeffect()->flags & effFlagsCanMono, 0);
}

TEST_F(TovikSettingsTest, RequestsAreIgnoredWithoutIoChanges) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  host_.clear();
  Set(t, 4, 0.5f);
  Set(t, 5, 1.0f);
  Set(t, 6, 1.0f);
  EXPECT_EQ(host_.count(audioMasterIOChanged), 0u);
  EXPECT_EQ(Get(t, 4), 0.125f);
  EXPECT_EQ(Get(t, 6), 0.0f);
  Suspend(t);
  EXPECT_EQ(I::NumInputs(*t), 2);
  EXPECT_EQ(I::NumOutputs(*t), 2);
  EXPECT_FALSE(I::StereoPins(*t));
}

TEST_F(TovikSettingsTest, RequestRefusedByTheHostIsDropped) {
  CTovik* t = Load(true);
  ASSERT_NE(t, nullptr);
  host_.ioChangedAnswer = 0;
  Set(t, 4, 0.5f);
  Set(t, 5, 1.0f);
  Set(t, 6, 1.0f);
  EXPECT_EQ(host_.count(audioMasterIOChanged), 3u);
  Suspend(t);
  EXPECT_EQ(t->getAeffect()->numInputs, 2);
  EXPECT_EQ(t->getAeffect()->numOutputs, 2);
  EXPECT_EQ(I::NumInputs(*t), 2);
  EXPECT_EQ(I::NumOutputs(*t), 2);
  EXPECT_FALSE(I::StereoPins(*t));
  EXPECT_EQ(Get(t, 4), 0.125f);
  EXPECT_EQ(Get(t, 5), 1.0f / 15);
  EXPECT_EQ(Get(t, 6), 0.0f);
  // Once the host takes changes again, a new request goes through.
  host_.ioChangedAnswer = 1;
  Set(t, 4, 0.5f);
  Suspend(t);
  EXPECT_EQ(I::NumInputs(*t), 8);
}

TEST_F(TovikSettingsTest, RefusedRequestKeepsAnEarlierAcceptedOne) {
  CTovik* t = Load(true);
  ASSERT_NE(t, nullptr);
  Set(t, 4, 0.25f);  // 4 inputs, accepted
  host_.ioChangedAnswer = 0;
  Set(t, 4, 0.75f);  // 12 inputs, refused
  Suspend(t);
  EXPECT_EQ(I::NumInputs(*t), 4);
  EXPECT_EQ(t->getAeffect()->numInputs, 4);
}

// A host may suspend the plug-in and read its counts inside its answer to
// audioMasterIOChanged; it must see the new counts then.
TEST_F(TovikSettingsTest, HostSuspendingInsideIoChangedSeesTheNewCounts) {
  CTovik* t = Load(true);
  ASSERT_NE(t, nullptr);
  std::vector<VstInt32> seenInputs, seenOutputs;
  std::vector<std::string> seenLabels;
  host_.onCall = [&](const tovik::test::HostCall& call, VstIntPtr* answer) {
    if (call.opcode != audioMasterIOChanged) return false;
    AEffect* e = call.effect;
    e->dispatcher(e, effMainsChanged, 0, 0, nullptr, 0.0f);
    seenInputs.push_back(e->numInputs);
    seenOutputs.push_back(e->numOutputs);
    seenLabels.push_back(InputLabel(t, 0));
    e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
    *answer = 1;
    return true;
  };
  Set(t, 4, 0.5f);
  Set(t, 5, 1.0f);
  Set(t, 6, 1.0f);
  host_.onCall = nullptr;
  EXPECT_EQ(seenInputs, (std::vector<VstInt32>{8, 8, 8}));
  EXPECT_EQ(seenOutputs, (std::vector<VstInt32>{2, 16, 16}));
  EXPECT_EQ(seenLabels, (std::vector<std::string>{"Input 1", "Input 1", "Input 1 L"}));
  // Nothing is left over for a later suspend.
  Suspend(t);
  EXPECT_EQ(t->getAeffect()->numInputs, 8);
  EXPECT_EQ(t->getAeffect()->numOutputs, 16);
  EXPECT_TRUE(I::StereoPins(*t));
}

// --- Pins ----------------------------------------------------------------------------------

TEST_F(TovikSettingsTest, PinLabelsWithoutStereoPairs) {
  Store("NumInputs", 5);
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  for (VstInt32 i = 0; i < 5; ++i) {
    VstInt32 flags = 0;
    EXPECT_EQ(InputLabel(t, i, &flags), "Input " + std::to_string(i + 1));
    EXPECT_EQ(flags, kVstPinIsActive);
  }
  EXPECT_EQ(InputLabel(t, 5), "<none>");
  EXPECT_EQ(InputLabel(t, -1), "<none>");
  EXPECT_EQ(OutputLabel(t, 0), "Output 1");
  EXPECT_EQ(OutputLabel(t, 1), "Output 2");
  EXPECT_EQ(OutputLabel(t, 2), "<none>");
  EXPECT_EQ(OutputLabel(t, INT32_MIN), "<none>");
}

TEST_F(TovikSettingsTest, PinLabelsWithStereoPairs) {
  Store("NumInputs", 5);
  Store("StereoPins", 1);
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  const char* const labels[] = {"Input 1 L", "Input 1 R", "Input 2 L", "Input 2 R", "Input 3"};
  const VstInt32 flags[] = {3, 1, 3, 1, 1};
  for (VstInt32 i = 0; i < 5; ++i) {
    VstInt32 f = 0;
    EXPECT_EQ(InputLabel(t, i, &f), labels[i]);
    EXPECT_EQ(f, flags[i]) << i;
  }
  VstInt32 f = 0;
  EXPECT_EQ(OutputLabel(t, 0, &f), "Output 1 L");
  EXPECT_EQ(f, kVstPinIsActive | kVstPinIsStereo);
  EXPECT_EQ(OutputLabel(t, 1, &f), "Output 1 R");
  EXPECT_EQ(f, kVstPinIsActive);
}

TEST_F(TovikSettingsTest, PinPropertiesLeaveOtherFieldsAlone) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  VstPinProperties p;
  std::memset(&p, 0x5A, sizeof(p));
  ASSERT_EQ(D(t, effGetInputProperties, 1, 0, &p), 1);
  EXPECT_STREQ(p.label, "Input 2");
  EXPECT_EQ(p.flags, kVstPinIsActive);
  EXPECT_EQ(p.arrangementType, 0x5A5A5A5A);
  for (char c : p.shortLabel) EXPECT_EQ(c, 0x5A);
  for (char c : p.future) EXPECT_EQ(c, 0x5A);
}

TEST_F(TovikSettingsTest, NullPointersFromTheHostAreNeverUsed) {
  CTovik* t = Load(true);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(D(t, effGetInputProperties, 0, 0, nullptr), 0);
  EXPECT_EQ(D(t, effGetOutputProperties, 0, 0, nullptr), 0);
  EXPECT_EQ(D(t, effCanDo, 0, 0, nullptr), -1);
  for (VstInt32 opcode : {effGetProgramName, effGetParamLabel, effGetParamDisplay, effGetParamName})
    for (VstInt32 index = -1; index < 8; ++index) D(t, opcode, index, 0, nullptr);
  EXPECT_EQ(D(t, effGetEffectName, 0, 0, nullptr), 0);
  EXPECT_EQ(D(t, effGetVendorString, 0, 0, nullptr), 0);
  EXPECT_EQ(D(t, effGetProductString, 0, 0, nullptr), 0);
  for (VstInt32 index = -1; index < 8; ++index)
    EXPECT_EQ(D(t, effString2Parameter, index, 0, nullptr), index >= 0 && index < 7 ? 1 : 0);
  EXPECT_EQ(D(t, effSetChunk, 0, 100, nullptr), 0);
  EXPECT_EQ(D(t, effGetChunk, 0, 0, nullptr), 104);
  EXPECT_EQ(Chunk(t), std::string(kDefaultChunkWithIo, sizeof(kDefaultChunkWithIo)));
}

// --- Settings chunk ------------------------------------------------------------------------

TEST_F(TovikSettingsTest, ChunkKeysInLowerCase) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(SetChunk(t, "host=studio-b\nport=1234\ntrmslave=0\n"), 1);
  EXPECT_STREQ(I::Host(*t), "studio-b");
  EXPECT_EQ(I::Port(*t), 1234);
  EXPECT_FALSE(I::TrmSlave(*t));
  EXPECT_EQ(Chunk(t), std::string("Host=studio-b\nPort=1234\nSynch=1\nCfgDlg=1\nTrmSlave=0\nAudioPrec=4\n") +
                          std::string(1, '\0'));
}

TEST_F(TovikSettingsTest, ChunkHostDifferingOnlyInCaseIsIgnored) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  SetChunk(t, "Host=LocalHost\n");
  EXPECT_STREQ(I::Host(*t), "localhost");
  SetChunk(t, "Host=other\n");
  SetChunk(t, "Host=LOCALHOST\n");
  ASSERT_STREQ(I::Host(*t), "LOCALHOST");
  SetChunk(t, "Host=localhost\n");
  EXPECT_STREQ(I::Host(*t), "LOCALHOST");
  SetChunk(t, "Host=localhost.\n");
  EXPECT_STREQ(I::Host(*t), "localhost.");
  SetChunk(t, "Host=\n");
  EXPECT_STREQ(I::Host(*t), "");
}

TEST_F(TovikSettingsTest, ChunkSizeEndingInsideTheSecondLineAppliesOnlyTheFirst) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  GuardedBuffer guard;
  ASSERT_TRUE(guard.ok());
  const std::string text = "Port=4321\nHost=faraway\nAudioPrec=1\n";
  for (size_t size = 10; size < 22; ++size) {
    SetChunk(t, "Host=localhost\nPort=19284\n");
    char* data = guard.Place(text.data(), size);
    EXPECT_EQ(D(t, effSetChunk, 0, static_cast<VstIntPtr>(size), data), 1);
    EXPECT_EQ(I::Port(*t), 4321) << size;
    EXPECT_STREQ(I::Host(*t), "localhost") << size;
    EXPECT_EQ(I::AudioPrec(*t), 4);
  }
  // With the whole text and its NUL every line counts.
  char* data = guard.Place(text.c_str(), text.size() + 1);
  D(t, effSetChunk, 0, static_cast<VstIntPtr>(text.size() + 1), data);
  EXPECT_STREQ(I::Host(*t), "faraway");
  EXPECT_EQ(I::AudioPrec(*t), 1);
}

TEST_F(TovikSettingsTest, ChunkWithoutNulIsReadOnlyUpToItsSize) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  GuardedBuffer guard;
  ASSERT_TRUE(guard.ok());
  const std::string text = "Host=abc\nAudioPrec=2\nTrmSlave=0";
  char* data = guard.Place(text);
  EXPECT_EQ(D(t, effSetChunk, 0, static_cast<VstIntPtr>(text.size()), data), 1);
  EXPECT_STREQ(I::Host(*t), "abc");
  EXPECT_EQ(I::AudioPrec(*t), 2);
  // A Host line that runs to the end of the data.
  const std::string host = "Host=" + std::string(200, 'h');
  data = guard.Place(host);
  EXPECT_EQ(D(t, effSetChunk, 0, static_cast<VstIntPtr>(host.size()), data), 1);
  // A key cut in the middle.
  data = guard.Place("AudioPr", 7);
  EXPECT_EQ(D(t, effSetChunk, 0, 7, data), 1);
  EXPECT_EQ(I::AudioPrec(*t), 2);
}

TEST_F(TovikSettingsTest, CarriageReturnStaysInHostButNumbersAreRead) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  SetChunk(t, "Host=box\r\nPort=42\r\nAudioPrec=3\r\nTrmSlave=0\r\n");
  EXPECT_STREQ(I::Host(*t), "box\r");
  EXPECT_EQ(I::Port(*t), 42);
  EXPECT_EQ(I::AudioPrec(*t), 3);
  EXPECT_FALSE(I::TrmSlave(*t));
}

TEST_F(TovikSettingsTest, ChunkSynchNeedsAnAsyncHost) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  SetChunk(t, "Synch=0\nCfgDlg=0\n");
  EXPECT_TRUE(I::Synch(*t));
  EXPECT_FALSE(I::CfgDlg(*t));
  EXPECT_EQ(Stored("ConfigDlg"), 0);
  CTovik* async = Load(false, true);
  ASSERT_NE(async, nullptr);
  SetChunk(async, "Synch=0\nCfgDlg=1\n");
  EXPECT_FALSE(I::Synch(*async));
  EXPECT_TRUE(I::CfgDlg(*async));
  EXPECT_NE(async->getAeffect()->flags & effFlagsExtIsAsync, 0);
}

TEST_F(TovikSettingsTest, ChunkHostIsCutTo255Characters) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  std::string name;
  for (int i = 0; i < 300; ++i) name += static_cast<char>('a' + i % 26);
  EXPECT_EQ(SetChunk(t, "Host=" + name + "\nPort=7\n"), 1);
  EXPECT_EQ(std::string(I::Host(*t)), name.substr(0, 255));
  EXPECT_EQ(I::Port(*t), 7);
  const std::string chunk = Chunk(t);
  EXPECT_EQ(chunk.substr(0, 5 + 255 + 1), "Host=" + name.substr(0, 255) + "\n");
  EXPECT_LE(chunk.size(), 376u);
  // Exactly 255 characters fit as they are.
  SetChunk(t, "Host=" + std::string(255, 'z') + "\n");
  EXPECT_EQ(std::string(I::Host(*t)), std::string(255, 'z'));
}

TEST_F(TovikSettingsTest, ChunkLineRules) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(SetChunk(t,
                     "no equals sign\n"
                     "Colour=red\n"
                     "Host =spaced\n"
                     " Port=1\n"
                     "\n"
                     "AudioPrec=2\n"
                     "Port=10\n"
                     "Port=11\n"
                     "AudioPrec=abc\n"),
            1);
  EXPECT_STREQ(I::Host(*t), "localhost");
  EXPECT_EQ(I::Port(*t), 11);
  EXPECT_EQ(I::AudioPrec(*t), 2);
}

TEST_F(TovikSettingsTest, ChunkEndsAtTheFirstNul) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  const char text[] = "Host=first\0Port=5\nAudioPrec=1\n";
  EXPECT_EQ(D(t, effSetChunk, 0, static_cast<VstIntPtr>(sizeof(text)), const_cast<char*>(text)), 1);
  EXPECT_STREQ(I::Host(*t), "first");
  EXPECT_EQ(I::Port(*t), 19284);
  EXPECT_EQ(I::AudioPrec(*t), 4);
}

TEST_F(TovikSettingsTest, ChunkPortIsReadLikeStrtol) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  const struct {
    const char* text;
    int32_t port;
  } cases[] = {{"Port=  -12abc\n", -12},
               {"Port=abc\n", 0},
               {"Port=+80\n", 80},
               {"Port=\t443\n", 443},
               {"Port=\n", 0},
               {"Port=99999999999\n", INT32_MAX},
               {"Port=-99999999999\n", INT32_MIN},
               {"Port=65535", 65535}};
  for (const auto& c : cases) {
    SetChunk(t, "Port=5\n");
    SetChunk(t, c.text);
    EXPECT_EQ(I::Port(*t), c.port) << c.text;
  }
}

TEST_F(TovikSettingsTest, ChunkWordsCountOnlyOnTheLastLine) {
  CTovik* t = Load(false, true);
  ASSERT_NE(t, nullptr);
  SetChunk(t, "TrmSlave=off\nHost=x\n");
  EXPECT_TRUE(I::TrmSlave(*t));
  SetChunk(t, "TrmSlave=0\nHost=x\n");
  EXPECT_FALSE(I::TrmSlave(*t));
  SetChunk(t, "Host=x\nTrmSlave=on");
  EXPECT_TRUE(I::TrmSlave(*t));
  SetChunk(t, "Host=x\nAudioPrec=16bit signed int");
  EXPECT_EQ(I::AudioPrec(*t), 2);
  // Not on the last line the text is read as a number: "8bit" gives 8, clamped to 4.
  SetChunk(t, "AudioPrec=8bit unsigned char\nHost=x\n");
  EXPECT_EQ(I::AudioPrec(*t), 4);
  SetChunk(t, "Synch=off");
  EXPECT_FALSE(I::Synch(*t));
}

TEST_F(TovikSettingsTest, ChunkCountsNeedIoChangesAndApplyAtSuspend) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  SetChunk(t, "NumInputs=6\nNumOutputs=4\nStereoPins=1\n");
  Suspend(t);
  EXPECT_EQ(I::NumInputs(*t), 2);
  EXPECT_EQ(I::NumOutputs(*t), 2);
  EXPECT_FALSE(I::StereoPins(*t));

  CTovik* io = Load(true);
  ASSERT_NE(io, nullptr);
  SetChunk(io, "NumInputs=6\nNumOutputs=4\nStereoPins=1\n");
  EXPECT_EQ(I::NumInputs(*io), 2);  // requested, not applied yet
  EXPECT_NE(Chunk(io).find("NumInputs=2\nNumOutputs=2\nStereoPins=0"), std::string::npos);
  Suspend(io);
  EXPECT_EQ(I::NumInputs(*io), 6);
  EXPECT_EQ(I::NumOutputs(*io), 4);
  EXPECT_TRUE(I::StereoPins(*io));
  EXPECT_EQ(io->getAeffect()->numInputs, 6);
  EXPECT_EQ(io->getAeffect()->numOutputs, 4);
  SetChunk(io, "NumInputs=40\nNumOutputs=-3\n");
  Suspend(io);
  EXPECT_EQ(I::NumInputs(*io), 16);
  EXPECT_EQ(I::NumOutputs(*io), 1);
}

TEST_F(TovikSettingsTest, ChunkOfOneInstanceRestoresAnother) {
  CTovik* a = Load(true, true);
  ASSERT_NE(a, nullptr);
  SetChunk(a, "Host=mixer.local\nPort=30000\n");
  Set(a, 0, 0.0f);
  Set(a, 2, 0.0f);
  Set(a, 3, 0.4f);
  Set(a, 4, 0.75f);
  Set(a, 5, 0.0f);
  Set(a, 6, 1.0f);
  Suspend(a);
  const std::string chunk = Chunk(a);
  EXPECT_EQ(chunk, std::string("Host=mixer.local\nPort=30000\nSynch=0\nCfgDlg=0\nTrmSlave=0\nAudioPrec=2\n"
                               "NumInputs=12\nNumOutputs=1\nStereoPins=1") +
                       std::string(1, '\0'));
  CTovik* b = Load(true, true);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(D(b, effSetChunk, 0, static_cast<VstIntPtr>(chunk.size()), const_cast<char*>(chunk.data())), 1);
  Suspend(b);
  EXPECT_EQ(Chunk(b), chunk);
}

TEST_F(TovikSettingsTest, EmptyAndNegativeSizedChunksChangeNothing) {
  CTovik* t = Load();
  ASSERT_NE(t, nullptr);
  const std::string before = Chunk(t);
  char text[] = "Host=elsewhere\nPort=1\n";
  EXPECT_EQ(D(t, effSetChunk, 0, 0, text), 1);
  EXPECT_EQ(D(t, effSetChunk, 0, -1, text), 1);
  EXPECT_EQ(D(t, effSetChunk, 0, INT32_MIN, text), 1);
  char empty[] = "";
  EXPECT_EQ(D(t, effSetChunk, 0, 1, empty), 1);
  EXPECT_EQ(Chunk(t), before);
}

TEST_F(TovikSettingsTest, RandomChunksNeverCrashOrLeaveTheRanges) {
  CTovik* t = Load(true, true);
  ASSERT_NE(t, nullptr);
  GuardedBuffer guard;
  ASSERT_TRUE(guard.ok());
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> size(0, 700);
  std::vector<char> bytes;
  for (int round = 0; round < 3000; ++round) {
    const int n = round % 50 == 0 ? 0 : size(rng);
    bytes.resize(static_cast<size_t>(n));
    for (char& c : bytes) c = static_cast<char>(byte(rng));
    char* data = guard.Place(bytes.data(), bytes.size());
    VstIntPtr byteSize = n;
    if (round % 97 == 0) byteSize = -n - 1;
    ASSERT_EQ(D(t, effSetChunk, 0, byteSize, data), 1) << round;
  }
  Suspend(t);
  EXPECT_LE(std::strlen(I::Host(*t)), 255u);
  EXPECT_GE(I::AudioPrec(*t), 1);
  EXPECT_LE(I::AudioPrec(*t), 4);
}

TEST_F(TovikSettingsTest, RandomKeyValueChunksNeverLeaveTheRanges) {
  CTovik* t = Load(true, true);
  ASSERT_NE(t, nullptr);
  GuardedBuffer guard;
  ASSERT_TRUE(guard.ok());
  const char* const keys[] = {
      "Host=",       "Port=",       "Synch=", "CfgDlg=",    "TrmSlave=", "AudioPrec=", "NumInputs=",
      "NumOutputs=", "StereoPins=", "HOST=",  "numinputs=", "X=",        "=",          ""};
  const char* const values[] = {
      "0",   "1",   "-1",          "16", "17",  "99999999999", "-99999999999",       "on",
      "off", "abc", "32bit float", "",   "  5", "\r",          "8bit unsigned char", "4294967296"};
  std::mt19937 rng(42);
  std::uniform_int_distribution<size_t> key(0, sizeof(keys) / sizeof(keys[0]) - 1);
  std::uniform_int_distribution<size_t> value(0, sizeof(values) / sizeof(values[0]) - 1);
  std::uniform_int_distribution<int> lines(0, 12);
  std::uniform_int_distribution<int> cut(0, 3);
  for (int round = 0; round < 400; ++round) {
    std::string text;
    const int n = lines(rng);
    for (int i = 0; i < n; ++i) {
      text += keys[key(rng)];
      text += values[value(rng)];
      if (i + 1 < n || cut(rng)) text += '\n';
    }
    size_t length = text.size();
    if (cut(rng) == 0 && length) {
      length = static_cast<size_t>(rng() % length);  // no NUL inside
    } else {
      text += '\0';
      ++length;
    }
    char* data = guard.Place(text.data(), length);
    ASSERT_EQ(D(t, effSetChunk, 0, static_cast<VstIntPtr>(length), data), 1);
    Suspend(t);
    ASSERT_GE(I::AudioPrec(*t), 1);
    ASSERT_LE(I::AudioPrec(*t), 4);
    ASSERT_GE(I::NumInputs(*t), 0);
    ASSERT_LE(I::NumInputs(*t), 16);
    ASSERT_GE(I::NumOutputs(*t), 1);
    ASSERT_LE(I::NumOutputs(*t), 16);
    ASSERT_EQ(t->getAeffect()->numInputs, I::NumInputs(*t));
    ASSERT_EQ(t->getAeffect()->numOutputs, I::NumOutputs(*t));
    ASSERT_LE(Chunk(t).size(), 376u);
  }
}

}  // namespace
