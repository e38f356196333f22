// The relay in process: a CTovik made directly with a fake host callback,
// talking over loopback TCP to a scripted slave that checks every byte the
// plug-in sends and answers with bytes of its own. Each test has its own
// per-user store (a fresh XDG_CONFIG_HOME) with the configuration dialog off.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "platform/UserStore.h"
#include "relay/BuildConstants.h"
#include "relay/Factory.h"
#include "relay/Tovik.h"
#include "support/FakeHost.h"
#include "support/ScriptedPeer.h"
#include "support/TovikInspector.h"

namespace {

using tovik::test::FakeHost;
using tovik::test::HostCall;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;
using I = TovikInspector;
using Message = ScriptedPeer::Message;

// The waits of several seconds run once, in the effect build's executable;
// the connection code is the same in both builds.
constexpr bool kRunSlowTests = !build::kInstrument;

// What the host's output buffers hold before a call that must not write them.
constexpr float kUntouched = 7.0f;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

uint32_t BitsOf(float f) {
  uint32_t bits = 0;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

// --- Wire bytes ------------------------------------------------------------------------

Bytes Int32s(std::initializer_list<int32_t> values) {
  Bytes out;
  for (int32_t v : values) ScriptedPeer::PutInt32(out, v);
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes FloatBytes(const std::vector<float>& samples) {
  Bytes out;
  for (float f : samples) ScriptedPeer::PutFloat(out, f);
  return out;
}

Bytes BitsBytes(std::initializer_list<uint32_t> bits) {
  Bytes out;
  for (uint32_t b : bits) ScriptedPeer::PutInt32(out, static_cast<int32_t>(b));
  return out;
}

Bytes ShortBytes(std::initializer_list<int16_t> values) {
  Bytes out;
  for (int16_t v : values) {
    const auto u = static_cast<uint16_t>(v);
    out.push_back(static_cast<unsigned char>(u & 0xFF));
    out.push_back(static_cast<unsigned char>(u >> 8));
  }
  return out;
}

// The 24-bit wire sample: bytes 1, 2 and 3 of the little-endian single.
Bytes TripleBytes(std::initializer_list<uint32_t> bits) {
  Bytes out;
  for (uint32_t b : bits) {
    out.push_back(static_cast<unsigned char>(b >> 8));
    out.push_back(static_cast<unsigned char>(b >> 16));
    out.push_back(static_cast<unsigned char>(b >> 24));
  }
  return out;
}

// The slave's answer to msgGetInfo: the code and 12 bytes.
Bytes InfoReply() {
  return Int32s({msgGetInfo, 1, 2, 3});
}

// The slave's msgProcess: B, C, N and C x N x B bytes of planar audio.
Bytes ProcessReply(int32_t width, int32_t channels, int32_t frames, const Bytes& audio) {
  return Concat({Int32s({msgProcess, width, channels, frames}), audio});
}

Bytes FloatReply(const std::vector<std::vector<float>>& channels) {
  Bytes audio;
  for (const auto& c : channels) {
    const Bytes b = FloatBytes(c);
    audio.insert(audio.end(), b.begin(), b.end());
  }
  const auto frames = channels.empty() ? 0 : static_cast<int32_t>(channels[0].size());
  return ProcessReply(4, static_cast<int32_t>(channels.size()), frames, audio);
}

Bytes EventsMessage(const Bytes& records) {
  return Concat({Int32s({msgEvents, static_cast<int32_t>(records.size())}), records});
}

VstMidiEvent Midi(int n) {
  VstMidiEvent e{};
  e.type = kVstMidiType;
  e.byteSize = static_cast<VstInt32>(sizeof(VstMidiEvent));
  e.deltaFrames = n;
  e.flags = 1;
  e.noteLength = 1000 + n;
  e.noteOffset = 2000 + n;
  e.midiData[0] = static_cast<char>(0x90);
  e.midiData[1] = static_cast<char>(n & 0x7F);
  e.midiData[2] = 100;
  e.detune = -3;
  e.noteOffVelocity = 64;
  return e;
}

// A record as it lies in an event area: tag 0, then the event's first 30 bytes.
Bytes MidiRecord(const VstMidiEvent& e) {
  Bytes out{0};
  ScriptedPeer::PutBytes(out, &e, 30);
  return out;
}

// A SysEx record: tag, type, byteSize, deltaFrames, flags, dumpBytes, the
// fixed part's alignment gap (64-bit layout), then the data that follows.
Bytes SysexRecord(int32_t deltaFrames, int32_t dumpBytes, const Bytes& data) {
  Bytes out{0};
  ScriptedPeer::PutInt32(out, kVstSysExType);
  ScriptedPeer::PutInt32(out, static_cast<int32_t>(sizeof(VstMidiSysexEvent)));
  ScriptedPeer::PutInt32(out, deltaFrames);
  ScriptedPeer::PutInt32(out, 0);
  ScriptedPeer::PutInt32(out, dumpBytes);
  out.resize(1 + kSysexFixedPart, 0);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// An event list of any length, laid out as VstEvents.
struct EventList {
  VstInt32 numEvents = 0;
  VstIntPtr reserved = 0;
  VstEvent* events[512] = {};

  void Add(void* event) { events[numEvents++] = static_cast<VstEvent*>(event); }
  VstEvents* get() { return reinterpret_cast<VstEvents*>(this); }
};
static_assert(offsetof(EventList, events) == offsetof(VstEvents, events), "VstEvents layout");

// Host channel buffers and the pointer array that a process call takes.
class Channels {
 public:
  Channels(int count, int frames, float fill = kUntouched)
      : data_(static_cast<size_t>(count), std::vector<float>(static_cast<size_t>(frames), fill)) {
    for (auto& c : data_) pointers_.push_back(c.data());
  }
  explicit Channels(std::vector<std::vector<float>> data) : data_(std::move(data)) {
    for (auto& c : data_) pointers_.push_back(c.data());
  }
  float** get() { return pointers_.data(); }
  std::vector<float>& operator[](size_t c) { return data_[c]; }
  void Detach(size_t c) { pointers_[c] = nullptr; }

 private:
  std::vector<std::vector<float>> data_;
  std::vector<float*> pointers_;
};

bool AllEqual(const std::vector<float>& samples, float value, size_t from = 0, size_t to = SIZE_MAX) {
  if (to > samples.size()) to = samples.size();
  for (size_t i = from; i < to; ++i) {
    if (BitsOf(samples[i]) != BitsOf(value)) return false;
  }
  return true;
}

std::vector<uint32_t> Bits(const std::vector<float>& samples) {
  std::vector<uint32_t> out;
  for (float f : samples) out.push_back(BitsOf(f));
  return out;
}

// One event as the host received it through audioMasterProcessEvents.
struct HostEvent {
  VstInt32 listCount = 0;
  VstIntPtr listReserved = 0;
  VstInt32 type = 0;
  VstMidiEvent midi{};
  VstMidiSysexEvent sysex{};
  Bytes dump;
};

// --- The slave's side of a handshake ---------------------------------------------------------

// Accepts, reads msgHello to msgGetInfo, answers the info query and reads msgOpen.
bool AnswerHandshake(ScriptedPeer& peer, int acceptMs = ScriptedPeer::kDefaultTimeoutMs) {
  if (!peer.Accept(acceptMs)) return false;
  Message m;
  for (int32_t code : {msgHello, msgSetIo, msgSetSampleRate, msgSetBlockSize, msgGetInfo}) {
    if (!peer.ReadMessage(m) || m.code != code) return false;
  }
  return peer.Write(InfoReply()) && peer.ReadMessage(m) && m.code == msgOpen;
}

// Runs `attempt` (an idle call that connects) while the slave answers the
// handshake on a thread of its own.
// The attempt never waits: it is repeated (each call carries the attempt on)
// until the slave has read msgOpen, for at most 3 s.
bool Handshake(ScriptedPeer& peer, const std::function<void()>& attempt) {
  std::atomic<bool> answered{false};
  std::atomic<bool> done{false};
  std::thread slave([&] {
    answered = AnswerHandshake(peer);
    done = true;
  });
  const auto start = Clock::now();
  do {
    attempt();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  } while (!done && MsSince(start) < 3000);
  slave.join();
  return answered;
}

// The slave's side of an activation: reads the run state (`state`) and the
// block of `frames` frames that the activating process call relays, and
// answers that block with two channels of silence.
bool AnswerActivation(ScriptedPeer& peer, int32_t state, int32_t frames) {
  Message m;
  if (!peer.ReadMessage(m) || m.code != state) return false;
  if (!peer.ReadMessage(m) || m.code != msgProcess || m.frames != frames) return false;
  return peer.Write(ProcessReply(4, 2, frames, Bytes(2 * 4 * static_cast<size_t>(frames), 0)));
}

// The slave's side of `count` blocks at 32-bit float: each msgProcess is
// answered with its own audio times `gain`. The messages are kept in *sent.
bool AnswerWithGain(ScriptedPeer& peer, int count, float gain, std::vector<Message>* sent) {
  for (int b = 0; b < count; ++b) {
    Message m;
    if (!peer.ReadMessage(m) || m.code != msgProcess || m.bytesPerSample != 4) return false;
    Bytes audio(m.audio.size());
    for (size_t i = 0; i + 4 <= m.audio.size(); i += 4) {
      float v = 0.0f;
      std::memcpy(&v, m.audio.data() + i, 4);
      v *= gain;
      std::memcpy(audio.data() + i, &v, 4);
    }
    if (!peer.Write(ProcessReply(4, m.channels, m.frames, audio))) return false;
    if (sent) sent->push_back(std::move(m));
  }
  return true;
}

class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.Listening());
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    configDir =
        std::filesystem::temp_directory_path() / ("tovik-relay-" + std::string(info->name()) + "-" +
                                                  std::to_string(Clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(configDir);
    SetEnvironment("XDG_CONFIG_HOME", configDir.string());
    Store("ConfigDlg", 0);
    host.canDo["receiveVstEvents"] = 1;
    host.onCall = [this](const HostCall& call, VstIntPtr*) {
      if (call.opcode == audioMasterProcessEvents) RecordEvents(call.ptr);
      return false;
    };
  }

  void TearDown() override {
    plugin.reset();
    std::error_code ignored;
    std::filesystem::remove_all(configDir, ignored);
  }

  static void Store(const char* name, int32_t value) {
    tovik::platform::UserStore store(build::kStoreKey);
    store.WriteInt(name, value);
    store.Close();
  }

  // An instance pointed at the scripted slave, at 48 kHz with blocks of 512.
  CTovik& Make() {
    plugin = std::make_unique<CTovik>(FakeHost::callback());
    PointAt(peer);
    plugin->setBlockSizeAndSampleRate(512, 48000.0f);
    return *plugin;
  }

  void SetChunk(std::string text) {
    plugin->setChunk(text.data(), static_cast<VstInt32>(text.size() + 1), false);
  }
  void PointAt(const ScriptedPeer& p) { SetChunk("Host=127.0.0.1\nPort=" + std::to_string(p.Port()) + "\n"); }

  // Idle calls carry an attempt on until the handshake is done (at most 3 s).
  static void IdleUntilPending(CTovik& t) {
    const Clock::time_point start = Clock::now();
    do {
      t.fxIdle();
      SleepMs(1);
    } while (!I::OpenPending(t) && !I::Connected(t) && MsSince(start) < 3000);
  }

  // Resume, a handshake made by an idle call, and the activating process call
  // that delivers msgResume and relays its own block (8 frames), which the
  // slave answers.
  void Connect(CTovik& t) {
    t.resume();
    ASSERT_TRUE(Handshake(peer, [&] { t.fxIdle(); }));
    ASSERT_TRUE(I::OpenPending(t));
    ASSERT_NO_FATAL_FAILURE(Activate(t, peer));
  }

  // The activating process call on a Pending connection, or a process call
  // that connects by itself (`p` then answers the handshake first): the run
  // state goes out and the call's block is relayed and answered. In
  // asynchronous operation the block is then polled until it is done.
  // With a handshake, process calls are repeated until one activates the
  // connection (each carries the attempt on without waiting); the calls before
  // it relay nothing.
  void Activate(CTovik& t, ScriptedPeer& p, int32_t state = msgResume, bool handshake = false) {
    std::atomic<bool> answered{false};
    std::atomic<bool> done{false};
    std::thread slave([&] {
      answered = (!handshake || AnswerHandshake(p)) && AnswerActivation(p, state, 8);
      done = true;
    });
    const Clock::time_point start = Clock::now();
    t.processReplacing(nullptr, nullptr, 8);
    while (handshake && !I::Connected(t) && !done && MsSince(start) < 3000) {
      SleepMs(1);
      t.processReplacing(nullptr, nullptr, 8);
    }
    slave.join();
    ASSERT_TRUE(answered);
    if (!I::Synch(t)) {
      ASSERT_EQ(PollPosition(t), 8);
    }
    ASSERT_TRUE(I::Connected(t));
    ASSERT_FALSE(I::OpenPending(t));
    ASSERT_EQ(I::UnansweredBlocks(t), 0);
  }

  // The same for a host that never calls idle: the first process call
  // connects, activates and relays its block.
  void ConnectByProcess(CTovik& t, ScriptedPeer& p) {
    t.resume();
    ASSERT_NO_FATAL_FAILURE(Activate(t, p, msgResume, true));
  }

  // One synchronous block: the slave reads the msgProcess and answers with
  // `reply` while the process call waits.
  Message Exchange(CTovik& t, float** in, float** out, VstInt32 frames, const Bytes& reply) {
    Message sent;
    bool ok = false;
    std::thread slave([&] { ok = peer.ReadMessage(sent) && sent.code == msgProcess && peer.Write(reply); });
    t.processReplacing(in, out, frames);
    slave.join();
    EXPECT_TRUE(ok);
    return sent;
  }

  // Asks for the asynchronous block's position until it is reported done.
  static VstInt32 PollPosition(CTovik& t, int timeoutMs = 2000) {
    const Clock::time_point start = Clock::now();
    while (MsSince(start) < timeoutMs) {
      if (const VstInt32 position = t.reportCurrentPosition()) return position;
      SleepMs(1);
    }
    return 0;
  }

  void RecordEvents(void* ptr) {
    if (!ptr) return;
    const auto* list = static_cast<const VstEvents*>(ptr);
    HostEvent e;
    e.listCount = list->numEvents;
    e.listReserved = list->reserved;
    const VstEvent* event = list->numEvents > 0 ? list->events[0] : nullptr;
    if (event) {
      e.type = event->type;
      if (event->type == kVstMidiType) std::memcpy(&e.midi, event, sizeof e.midi);
      if (event->type == kVstSysExType) {
        std::memcpy(&e.sysex, event, sizeof e.sysex);
        if (e.sysex.sysexDump && e.sysex.dumpBytes > 0)
          e.dump.assign(e.sysex.sysexDump, e.sysex.sysexDump + e.sysex.dumpBytes);
      }
    }
    std::lock_guard<std::mutex> guard(eventsMutex);
    hostEvents.push_back(e);
  }

  std::vector<HostEvent> HostEvents() {
    std::lock_guard<std::mutex> guard(eventsMutex);
    return hostEvents;
  }

  std::filesystem::path configDir;
  FakeHost host;
  ScriptedPeer peer;
  std::mutex eventsMutex;
  std::vector<HostEvent> hostEvents;
  std::unique_ptr<CTovik> plugin;  // last: goes before the slave and the host
};

// --- Handshake and activation --------------------------------------------------------------

TEST_F(RelayTest, HandshakeSendsExactBytesAndOpensAfterTheInfoAnswer) {
  CTovik& t = Make();
  Bytes handshake;
  Bytes open;
  bool openWaitedForAnswer = false;
  std::thread slave([&] {
    if (!peer.Accept()) return;
    handshake = peer.Read(46);
    // msgOpen only follows the slave's answer to msgGetInfo.
    openWaitedForAnswer = peer.NothingArrives(60);
    peer.Write(InfoReply());
    open = peer.Read(4);
  });
  // Each idle call carries the attempt on without waiting.
  const Clock::time_point start = Clock::now();
  while (!I::OpenPending(t) && MsSince(start) < 3000) {
    EXPECT_EQ(t.fxIdle(), 1);
    SleepMs(1);
  }
  slave.join();

  const Bytes expected = Concat({
      Int32s({msgHello}), Bytes{1, 8},                            // side A's identification
      Int32s({msgSetIo, 2, 2, 1, 1}),                             // inputs, outputs, 1, 1
      Int32s({msgSetSampleRate}), Bytes{0x00, 0x80, 0x3B, 0x47},  // 48000.0f
      Int32s({msgSetBlockSize, 512}),                             //
      Int32s({msgGetInfo}),                                       //
  });
  EXPECT_EQ(handshake, expected);
  EXPECT_TRUE(openWaitedForAnswer);
  EXPECT_EQ(open, Int32s({msgOpen}));
  EXPECT_TRUE(I::OpenPending(t));
  EXPECT_FALSE(I::Connected(t));
}

TEST_F(RelayTest, SilentSlaveEndsTheHandshakeAfterTheInfoWaitAndIsClosed) {
  CTovik& t = Make();
  bool closed = false;
  size_t received = 0;
  std::thread slave([&] {
    if (!peer.Accept()) return;
    received = peer.Read(46).size();
    closed = peer.SeesClose();
  });
  // No idle call waits for the answer; the one that comes 250 ms after
  // msgGetInfo without an answer ends the attempt.
  const Clock::time_point start = Clock::now();
  int64_t longestCall = 0;
  t.fxIdle();
  while (I::AttemptUnderWay(t) && MsSince(start) < 3000) {
    SleepMs(5);
    const Clock::time_point call = Clock::now();
    t.fxIdle();
    longestCall = std::max<int64_t>(longestCall, MsSince(call));
  }
  const int64_t spent = MsSince(start);
  slave.join();
  EXPECT_EQ(received, 46u);
  EXPECT_GE(spent, 245);
  EXPECT_LT(spent, 2000);
  EXPECT_LT(longestCall, 100);
  EXPECT_TRUE(closed);
  EXPECT_FALSE(I::OpenPending(t));
  EXPECT_FALSE(I::Connected(t));
  EXPECT_FALSE(I::SocketOpen(t));
}

TEST_F(RelayTest, FirstProcessCallActivatesSendsResumeAndRelaysItsOwnBlock) {
  CTovik& t = Make();
  t.resume();
  ASSERT_TRUE(Handshake(peer, [&] { t.fxIdle(); }));
  ASSERT_TRUE(I::OpenPending(t));
  Channels in(2, 4, 0.5f);
  Channels out(2, 4);
  Message state;
  Message sent;
  bool answered = false;
  std::thread slave([&] {
    answered = peer.ReadMessage(state) && peer.ReadMessage(sent) &&
               peer.Write(FloatReply({{1, 2, 3, 4}, {5, 6, 7, 8}}));
  });
  t.processReplacing(in.get(), out.get(), 4);
  slave.join();
  ASSERT_TRUE(answered);
  EXPECT_EQ(state.code, msgResume);  // the run state first, then the block
  EXPECT_EQ(sent.code, msgProcess);
  EXPECT_EQ(sent.bytesPerSample, 4);
  EXPECT_EQ(sent.channels, 2);
  EXPECT_EQ(sent.frames, 4);
  EXPECT_EQ(sent.audio, Concat({FloatBytes({0.5f, 0.5f, 0.5f, 0.5f}), FloatBytes({0.5f, 0.5f, 0.5f, 0.5f})}));
  EXPECT_EQ(out[0], (std::vector<float>{1, 2, 3, 4}));
  EXPECT_EQ(out[1], (std::vector<float>{5, 6, 7, 8}));
  EXPECT_EQ(host.count(audioMasterGetTime), 1u);
  EXPECT_TRUE(I::Connected(t));
  EXPECT_FALSE(I::OpenPending(t));
  EXPECT_TRUE(I::StateDelivered(t));
  EXPECT_EQ(I::UnansweredBlocks(t), 0);
  EXPECT_TRUE(peer.NothingArrives(100));
}

TEST_F(RelayTest, ActivationWithoutResumeSendsSuspendThenTheBlock) {
  CTovik& t = Make();  // the constructor suspends
  ASSERT_TRUE(Handshake(peer, [&] { t.fxIdle(); }));
  ASSERT_NO_FATAL_FAILURE(Activate(t, peer, msgSuspend));
  EXPECT_TRUE(I::Suspended(t));
  EXPECT_TRUE(peer.NothingArrives(100));
}

TEST_F(RelayTest, ActivationWhoseRunStateCannotBeSentSkipsTheBlock) {
  CTovik& t = Make();
  t.resume();
  ASSERT_TRUE(Handshake(peer, [&] { t.fxIdle(); }));
  // The plug-in's side can no longer send: the run state fails, and the block
  // is not relayed.
  ASSERT_EQ(peer.Sockets().shutdown(I::SocketHandle(t), ws::kSdSend), 0);
  Channels in(2, 4, 0.5f);
  Channels out(2, 4);
  t.processReplacing(in.get(), out.get(), 4);
  EXPECT_FALSE(I::Connected(t));
  EXPECT_FALSE(I::OpenPending(t));
  EXPECT_FALSE(I::SocketOpen(t));
  EXPECT_TRUE(AllEqual(out[0], kUntouched) && AllEqual(out[1], kUntouched));
  EXPECT_EQ(host.count(audioMasterGetTime), 0u);
  EXPECT_TRUE(peer.SeesClose());
}

TEST_F(RelayTest, SecondAttemptWhilePendingLeavesTheConnectionAlone) {
  CTovik& t = Make();
  t.resume();
  ASSERT_TRUE(Handshake(peer, [&] { t.fxIdle(); }));
  I::SetLastIdleAttempt(t, tovik::platform::TickCount() - 3000);
  t.fxIdle();  // Connect refuses: a connection is open
  EXPECT_TRUE(I::OpenPending(t));
  EXPECT_TRUE(peer.NothingArrives(100));
  ASSERT_NO_FATAL_FAILURE(Activate(t, peer));
}

TEST_F(RelayTest, WhileDisconnectedProcessCallsWriteNothingAndAskNothing) {
  CTovik& t = Make();
  t.resume();
  I::SetLastIdleAttempt(t, tovik::platform::TickCount());
  t.fxIdle();  // idle seen: process calls make no attempt
  Channels in(2, 32, 0.25f);
  Channels out(2, 32);
  t.processReplacing(in.get(), out.get(), 32);
  t.process(in.get(), out.get(), 32);
  EXPECT_TRUE(AllEqual(out[0], kUntouched) && AllEqual(out[1], kUntouched));
  EXPECT_EQ(host.count(audioMasterGetTime), 0u);
  EXPECT_FALSE(peer.Accept(100));
}

TEST_F(RelayTest, ProcessCallsAttemptAgainWhenIdleCallsStop) {
  CTovik& t = Make();
  t.resume();
  I::SetLastIdleAttempt(t, tovik::platform::TickCount());
  t.fxIdle();
  t.processReplacing(nullptr, nullptr, 8);
  EXPECT_FALSE(peer.Accept(100));  // idle calls keep coming: they make the attempts
  // No idle call for more than 5 s: the process call connects by itself,
  // activates and relays its block.
  I::SetLastIdleCall(t, tovik::platform::TickCount() - 5001);
  ASSERT_NO_FATAL_FAILURE(Activate(t, peer, msgResume, true));
}

TEST_F(RelayTest, AudioThreadNeverWaitsBehindAHandshake) {
  CTovik& t = Make();
  t.resume();
  std::atomic<bool> queryPending{false};
  std::atomic<bool> processReturned{false};
  std::atomic<bool> answered{false};
  std::thread slave([&] {
    if (!peer.Accept() || peer.Read(46).size() != 46) return;
    queryPending = true;  // the handshake now waits for the info answer
    const Clock::time_point start = Clock::now();
    while (!processReturned && MsSince(start) < 200) SleepMs(1);
    answered = true;
    peer.Write(InfoReply());
    peer.Read(4);
  });
  t.fxIdle();  // the host's main thread begins the attempt
  const Clock::time_point start = Clock::now();
  while (!queryPending && MsSince(start) < 2000) {
    t.fxIdle();
    SleepMs(1);
  }
  Channels in(2, 8, 0.5f);
  Channels out(2, 8);
  t.processReplacing(in.get(), out.get(), 8);  // the answer is not there: nothing relayed, nothing waited for
  const bool returnedBeforeTheAnswer = !answered;
  processReturned = true;
  while (!I::OpenPending(t) && MsSince(start) < 3000) {
    t.fxIdle();
    SleepMs(1);
  }
  slave.join();
  EXPECT_TRUE(queryPending);
  EXPECT_TRUE(returnedBeforeTheAnswer);
  EXPECT_TRUE(AllEqual(out[0], kUntouched) && AllEqual(out[1], kUntouched));
  EXPECT_TRUE(I::OpenPending(t));  // the handshake itself went through
}

// The host's idle thread comes while a process call makes its own attempt: the
// idle call does not wait behind it (it would take the lock just as the next
// block comes, and that block would be lost), and the next block is relayed.
TEST_F(RelayTest, IdleCallDuringAProcessCallsAttemptNeitherWaitsNorCostsTheNextBlock) {
  CTovik& t = Make();
  t.resume();
  std::atomic<bool> queryPending{false};
  std::atomic<bool> idleReturned{false};
  std::atomic<bool> answered{false};
  bool activated = false;
  std::thread slave([&] {
    if (!peer.Accept() || peer.Read(46).size() != 46) return;
    queryPending = true;  // the process call's handshake now waits for the info answer
    const Clock::time_point start = Clock::now();
    while (!idleReturned && MsSince(start) < 200) SleepMs(1);
    answered = true;
    Message open;
    activated = peer.Write(InfoReply()) && peer.ReadMessage(open) && open.code == msgOpen &&
                AnswerActivation(peer, msgResume, 8);
  });
  std::atomic<bool> stop{false};
  std::thread audio([&] {  // no idle call yet: process calls make the attempt and carry it on
    const Clock::time_point begin = Clock::now();
    while (!stop && !I::Connected(t) && MsSince(begin) < 3000) {
      t.processReplacing(nullptr, nullptr, 8);
      SleepMs(1);
    }
  });
  const Clock::time_point start = Clock::now();
  while (!queryPending && MsSince(start) < 2000) SleepMs(1);
  EXPECT_EQ(t.fxIdle(), 1);
  const bool returnedBeforeTheAnswer = !answered;
  idleReturned = true;
  slave.join();
  stop = true;
  audio.join();
  EXPECT_TRUE(queryPending);
  EXPECT_TRUE(returnedBeforeTheAnswer);
  EXPECT_TRUE(activated);
  EXPECT_TRUE(I::Connected(t));

  Channels in(2, 4, 0.25f);
  Channels out(2, 4);
  Exchange(t, in.get(), out.get(), 4, FloatReply({{1, 2, 3, 4}, {5, 6, 7, 8}}));
  EXPECT_EQ(out[0], (std::vector<float>{1, 2, 3, 4}));
  EXPECT_EQ(out[1], (std::vector<float>{5, 6, 7, 8}));
  EXPECT_FALSE(peer.Accept(100));  // one connection only
}

TEST_F(RelayTest, HostNotificationsReachTheConnectedSlave) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  t.suspend();
  t.setBlockSizeAndSampleRate(256, 96000.0f);
  t.setSampleRate(22050.0f);
  t.setBlockSize(128);
  t.resume();
  const Bytes expected =
      Concat({Int32s({msgSuspend}), Int32s({msgSetSampleRate}), FloatBytes({96000.0f}),
              Int32s({msgSetBlockSize, 256}), Int32s({msgSetSampleRate}), FloatBytes({22050.0f}),
              Int32s({msgSetBlockSize, 128}), Int32s({msgResume})});
  EXPECT_EQ(peer.Read(expected.size()), expected);
}

// --- Audio, synchronous ---------------------------------------------------------------------

TEST_F(RelayTest, AllFourPrecisionsBothWays) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  Channels in({{0.0f, 1.0f, -1.0f, 0.25f, -0.25f, 0.75f, -0.75f, 2.0f},
               {0.1f, 0.5f, -0.5f, 1.5f, -0.1f, 0.0f, 0.0f, 0.0f}});

  struct Case {
    VstInt32 code;
    Bytes sent;                       // both input channels, planar
    Bytes replyChannel0;              // the slave's channel 0; channel 1 is silence
    std::vector<uint32_t> expected0;  // what output 0 then holds, as bits
  };
  const Case cases[] = {
      {1,
       Bytes{128, 255, 1, 160, 96, 223, 33, 255, 141, 192, 64, 255, 115, 128, 128, 128},
       Bytes{128, 255, 1, 0, 192, 64, 160, 96},
       {0x00000000, 0x3F800000, 0xBF800000, 0xBF810204, 0x3F010204, 0xBF010204, 0x3E810204, 0xBE810204}},
      {2,
       Concat({ShortBytes({0, 32767, -32767, 8192, -8192, 24575, -24575, 32767}),
               ShortBytes({3277, 16384, -16384, 32767, -3277, 0, 0, 0})}),
       ShortBytes({0, 32767, -32767, -32768, 16384, -16384, 1, -1}),
       {0x00000000, 0x3F800000, 0xBF800000, 0xBF800100, 0x3F000100, 0xBF000100, 0x38000100, 0xB8000100}},
      {3,
       Concat({TripleBytes(
                   {0, 0x3F800000, 0xBF800000, 0x3E800000, 0xBE800000, 0x3F400000, 0xBF400000, 0x40000000}),
               TripleBytes({0x3DCCCCCD, 0x3F000000, 0xBF000000, 0x3FC00000, 0xBDCCCCCD, 0, 0, 0})}),
       TripleBytes({0, 0x3F800000, 0xBF800000, 0x3DCCCCCD, 0xBF000000, 0x56341234, 0x3F400000, 0x7FFFFFFF}),
       {0x00000000, 0x3F800000, 0xBF800000, 0x3DCCCC00, 0xBF000000, 0x56341200, 0x3F400000, 0x7FFFFF00}},
      {4,
       Concat({FloatBytes(in[0]), FloatBytes(in[1])}),
       BitsBytes(
           {0x00000000, 0x3F800000, 0x7FC01234, 0xFF800000, 0x00000001, 0x80000000, 0x12345678, 0xC0490FDB}),
       {0x00000000, 0x3F800000, 0x7FC01234, 0xFF800000, 0x00000001, 0x80000000, 0x12345678, 0xC0490FDB}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("precision " + std::to_string(c.code));
    t.setParameter(3, static_cast<float>(c.code - 1) / 3.0f);
    ASSERT_EQ(I::AudioPrec(t), c.code);
    const Bytes silence(8 * static_cast<size_t>(c.code), c.code == 1 ? 128 : 0);
    Channels out(2, 8);
    const Message sent =
        Exchange(t, in.get(), out.get(), 8, ProcessReply(c.code, 2, 8, Concat({c.replyChannel0, silence})));
    EXPECT_EQ(sent.bytesPerSample, c.code);
    EXPECT_EQ(sent.channels, 2);
    EXPECT_EQ(sent.frames, 8);
    EXPECT_EQ(sent.audio, c.sent);
    EXPECT_TRUE(sent.events.empty());
    EXPECT_EQ(Bits(out[0]), c.expected0);
    EXPECT_TRUE(AllEqual(out[1], 0.0f));
  }
  EXPECT_TRUE(I::Connected(t));
}

TEST_F(RelayTest, TimeInformationTravelsAndStaysWhenTheHostHasNone) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  VstTimeInfo time{};
  time.samplePos = 4096.0;
  time.sampleRate = 48000.0;
  time.ppqPos = 3.5;
  time.tempo = 128.0;
  time.timeSigNumerator = 7;
  time.timeSigDenominator = 8;
  time.flags = 0x0F02;
  host.timeInfo = &time;
  Bytes expected(sizeof time);
  std::memcpy(expected.data(), &time, sizeof time);

  Channels in(2, 8, 0.0f);
  Channels out(2, 8);
  Message sent = Exchange(t, in.get(), out.get(), 8, FloatReply({{}, {}}));
  EXPECT_EQ(sent.timeInfo, expected);
  const auto asks = host.callsOf(audioMasterGetTime);
  ASSERT_EQ(asks.size(), 2u);  // the activating call's block and this one
  EXPECT_EQ(asks[0].value, 0xFFC7);
  EXPECT_EQ(asks[1].value, 0xFFC7);

  host.timeInfo = nullptr;  // the payload area's previous bytes go again
  sent = Exchange(t, in.get(), out.get(), 8, FloatReply({{}, {}}));
  EXPECT_EQ(sent.timeInfo, expected);
}

TEST_F(RelayTest, NoInputChannelsSendsNoAudioAndStillFillsOutputs) {
  Store("NumInputs", 0);
  CTovik& t = Make();
  Message setIo;
  std::thread slave([&] {
    Message m;
    if (!peer.Accept() || !peer.ReadMessage(m) || !peer.ReadMessage(setIo)) return;
    for (int i = 0; i < 3; ++i) peer.ReadMessage(m);
    peer.Write(InfoReply());
    peer.ReadMessage(m);
  });
  t.resume();
  IdleUntilPending(t);
  slave.join();
  EXPECT_EQ(setIo.payload, Int32s({0, 2, 1, 1}));
  ASSERT_NO_FATAL_FAILURE(Activate(t, peer));

  Channels out(2, 4);
  const Message sent = Exchange(t, nullptr, out.get(), 4, FloatReply({{1, 2, 3, 4}, {5, 6, 7, 8}}));
  EXPECT_EQ(sent.channels, 0);
  EXPECT_EQ(sent.frames, 4);
  EXPECT_TRUE(sent.audio.empty());
  EXPECT_EQ(out[0], (std::vector<float>{1, 2, 3, 4}));
  EXPECT_EQ(out[1], (std::vector<float>{5, 6, 7, 8}));
}

TEST_F(RelayTest, NullChannelPointersSendSilenceAndAreSkipped) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  Channels in(2, 4, 0.5f);
  in.Detach(1);
  Channels out(2, 4);
  out.Detach(0);

  t.setParameter(3, 0.0f);  // 8-bit: silence is 128
  Message sent = Exchange(t, in.get(), out.get(), 4, FloatReply({{1, 2, 3, 4}, {5, 6, 7, 8}}));
  EXPECT_EQ(sent.audio, (Bytes{192, 192, 192, 192, 128, 128, 128, 128}));
  EXPECT_TRUE(AllEqual(out[0], kUntouched));  // its pointer was null: the buffer is not reached
  EXPECT_EQ(out[1], (std::vector<float>{5, 6, 7, 8}));

  t.setParameter(3, 1.0f);  // 32-bit float: silence is zero bytes
  sent = Exchange(t, in.get(), out.get(), 4, FloatReply({{1, 2, 3, 4}, {9, 9, 9, 9}}));
  EXPECT_EQ(sent.audio, Concat({FloatBytes({0.5f, 0.5f, 0.5f, 0.5f}), Bytes(16, 0)}));
  EXPECT_EQ(out[1], (std::vector<float>{9, 9, 9, 9}));

  // Null arrays count as all channels null.
  sent = Exchange(t, nullptr, nullptr, 4, FloatReply({{1, 2, 3, 4}, {5, 6, 7, 8}}));
  EXPECT_EQ(sent.channels, 2);
  EXPECT_EQ(sent.audio, Bytes(32, 0));
  EXPECT_TRUE(I::Connected(t));
}

TEST_F(RelayTest, ShortAnswersLeaveUncoveredOutputsAloneAndEndInSilence) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  Channels in(2, 8, 0.5f);
  Channels out(2, 8);
  // Fewer channels than NumOutputs: output 1 keeps what the host gave.
  Exchange(t, in.get(), out.get(), 8, FloatReply({{1, 2, 3, 4, 5, 6, 7, 8}}));
  EXPECT_EQ(out[0], (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_TRUE(AllEqual(out[1], kUntouched));

  // Fewer frames than the block: the answer's frames, then silence, never the
  // previous answer's tail.
  Channels out2(2, 8);
  Exchange(t, in.get(), out2.get(), 8, FloatReply({{-1, -2, -3}, {-4, -5, -6}}));
  EXPECT_EQ(out2[0], (std::vector<float>{-1, -2, -3, 0, 0, 0, 0, 0}));
  EXPECT_EQ(out2[1], (std::vector<float>{-4, -5, -6, 0, 0, 0, 0, 0}));
}

TEST_F(RelayTest, AnswerAtAnUnknownSampleWidthReplaysNothing) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  Channels in(2, 4, 0.5f);
  Channels out(2, 4);
  Exchange(t, in.get(), out.get(), 4, FloatReply({{1, 1, 1, 1}, {2, 2, 2, 2}}));
  ASSERT_TRUE(AllEqual(out[0], 1.0f));
  // Widths 0 and 5 decode nothing: the covered outputs get silence, never the
  // previous answer still in the block.
  Channels out2(2, 4);
  Exchange(t, in.get(), out2.get(), 4, ProcessReply(0, 2, 4, {}));
  EXPECT_TRUE(AllEqual(out2[0], 0.0f) && AllEqual(out2[1], 0.0f));
  Channels out3(2, 4);
  Exchange(t, in.get(), out3.get(), 4, ProcessReply(5, 2, 4, Bytes(40, 0x3F)));
  EXPECT_TRUE(AllEqual(out3[0], 0.0f) && AllEqual(out3[1], 0.0f));
  EXPECT_TRUE(I::Connected(t));
  // The next block goes out at the configured width again.
  const Message sent = Exchange(t, in.get(), out3.get(), 4, FloatReply({{3, 3, 3, 3}, {4, 4, 4, 4}}));
  EXPECT_EQ(sent.bytesPerSample, 4);
  EXPECT_TRUE(AllEqual(out3[0], 3.0f));
}

TEST_F(RelayTest, NegativeFrameCountIsTakenAsZero) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  Channels in(2, 8, 0.5f);
  Channels out(2, 8);
  const Message sent = Exchange(t, in.get(), out.get(), -7, ProcessReply(4, 2, 0, {}));
  EXPECT_EQ(sent.channels, 2);
  EXPECT_EQ(sent.frames, 0);
  EXPECT_TRUE(sent.audio.empty());
  EXPECT_TRUE(AllEqual(out[0], kUntouched) && AllEqual(out[1], kUntouched));
  EXPECT_TRUE(I::Connected(t));
}

TEST_F(RelayTest, CountsAboveSixteenAreClampedAndLongBlocksRelayedInParts) {
  Store("NumInputs", 40);
  Store("NumOutputs", 99);
  CTovik& t = Make();
  EXPECT_EQ(I::NumInputs(t), 16);
  EXPECT_EQ(I::NumOutputs(t), 16);
  Message setIo;
  std::thread slave([&] {
    Message m;
    if (!peer.Accept() || !peer.ReadMessage(m) || !peer.ReadMessage(setIo)) return;
    for (int i = 0; i < 3; ++i) peer.ReadMessage(m);
    peer.Write(InfoReply());
    peer.ReadMessage(m);
  });
  t.resume();
  IdleUntilPending(t);
  slave.join();
  EXPECT_EQ(setIo.payload, Int32s({16, 16, 1, 1}));
  ASSERT_NO_FATAL_FAILURE(Activate(t, peer));

  // A block longer than the areas hold goes in parts of at most 44,100
  // frames, each answered, within the same call.
  constexpr int kFrames = 50000;
  Channels in(16, kFrames);
  for (int c = 0; c < 16; ++c) {
    for (int i = 0; i < kFrames; ++i)
      in[static_cast<size_t>(c)][static_cast<size_t>(i)] = static_cast<float>(c * 100000 + i);
  }
  Channels out(16, kFrames);
  std::vector<Message> sent;
  bool answered = false;
  std::thread gainSlave([&] { answered = AnswerWithGain(peer, 2, -1.0f, &sent); });
  t.processReplacing(in.get(), out.get(), kFrames);
  gainSlave.join();
  ASSERT_TRUE(answered);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].channels, 16);
  EXPECT_EQ(sent[0].frames, 44100);
  EXPECT_EQ(sent[1].channels, 16);
  EXPECT_EQ(sent[1].frames, kFrames - 44100);
  ASSERT_EQ(sent[1].audio.size(), 16u * (kFrames - 44100) * 4u);
  float first = 0.0f;
  float last = 0.0f;
  std::memcpy(&first, sent[1].audio.data(), 4);
  std::memcpy(&last, sent[1].audio.data() + sent[1].audio.size() - 4, 4);
  EXPECT_EQ(first, 44100.0f);
  EXPECT_EQ(last, static_cast<float>(15 * 100000 + kFrames - 1));
  for (size_t c = 0; c < 16; ++c) {
    std::vector<float> expected(in[c]);
    for (float& v : expected) v = -v;
    EXPECT_EQ(out[c], expected) << "output " << c;
  }
  EXPECT_TRUE(I::Connected(t));
  EXPECT_EQ(I::UnansweredBlocks(t), 0);
}

TEST_F(RelayTest, LongSynchronousBlockIsRelayedWholeWithTheTimeOfEachPart) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  VstTimeInfo time{};
  time.samplePos = 1000.0;
  time.sampleRate = 48000.0;
  time.tempo = 120.0;
  host.timeInfo = &time;
  constexpr int kFrames = 65536;
  Channels in(2, kFrames);
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < kFrames; ++i)
      in[static_cast<size_t>(c)][static_cast<size_t>(i)] = static_cast<float>((c + 1) * (i % 1000)) / 1000.0f;
  }
  Channels out(2, kFrames);
  std::vector<Message> sent;
  bool answered = false;
  std::thread slave([&] { answered = AnswerWithGain(peer, 2, 0.5f, &sent); });
  t.processReplacing(in.get(), out.get(), kFrames);
  slave.join();
  ASSERT_TRUE(answered);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].frames, 44100);
  EXPECT_EQ(sent[1].frames, kFrames - 44100);
  VstTimeInfo firstTime{};
  VstTimeInfo secondTime{};
  ASSERT_EQ(sent[1].timeInfo.size(), sizeof secondTime);
  std::memcpy(&firstTime, sent[0].timeInfo.data(), sizeof firstTime);
  std::memcpy(&secondTime, sent[1].timeInfo.data(), sizeof secondTime);
  EXPECT_EQ(firstTime.samplePos, 1000.0);
  EXPECT_EQ(secondTime.samplePos, 1000.0 + 44100.0);
  EXPECT_EQ(secondTime.tempo, 120.0);
  EXPECT_EQ(host.count(audioMasterGetTime), 2u);  // the activating block and this one: asked once per call
  for (size_t c = 0; c < 2; ++c) {
    std::vector<float> expected(in[c]);
    for (float& v : expected) v *= 0.5f;
    EXPECT_EQ(out[c], expected) << "output " << c;
  }
  EXPECT_TRUE(I::Connected(t));
}

TEST_F(RelayTest, LongBlockWhoseSecondPartIsNotAnsweredEndsInSilence) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  constexpr int kFrames = 50000;
  Channels in(2, kFrames, 0.25f);
  Channels out(2, kFrames);
  bool answered = false;
  std::thread slave([&] {
    answered = AnswerWithGain(peer, 1, 2.0f, nullptr);
    peer.CloseConnection();  // the second part gets no answer
  });
  t.processReplacing(in.get(), out.get(), kFrames);
  slave.join();
  ASSERT_TRUE(answered);
  for (size_t c = 0; c < 2; ++c) {
    EXPECT_TRUE(AllEqual(out[c], 0.5f, 0, 44100)) << "output " << c;
    EXPECT_TRUE(AllEqual(out[c], 0.0f, 44100)) << "output " << c;  // never the buffer's old contents
  }
  EXPECT_FALSE(I::Connected(t));
}

// --- A host that calls the instance back from its callbacks ---------------------------------

// Runs `call` on a thread of its own and fails (ending the program: a
// deadlocked thread cannot be joined) when it does not return in time.
void ReturnsWithin(int ms, const std::function<void()>& call) {
  std::atomic<bool> done{false};
  std::thread runner([&] {
    call();
    done = true;
  });
  const Clock::time_point start = Clock::now();
  while (!done && MsSince(start) < ms) SleepMs(1);
  if (!done) {
    std::fprintf(stderr, "FAILED: the call did not return within %d ms (deadlock)\n", ms);
    std::fflush(stderr);
    std::_Exit(1);
  }
  runner.join();
}

TEST_F(RelayTest, HostReenteringFromItsTimeAndEventCallbacksNeitherDeadlocksNorStopsTheRelay) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  VstTimeInfo time{};
  time.samplePos = 512.0;
  host.timeInfo = &time;
  std::atomic<int> reentered{0};
  host.onCall = [&](const HostCall& call, VstIntPtr*) {
    if (call.opcode == audioMasterGetTime) {
      // From inside the process call, on the audio thread.
      t.fxIdle();
      t.setSampleRate(44100.0f);
      t.setParameter(3, 1.0f);  // 32-bit float, as it was
      ++reentered;
    } else if (call.opcode == audioMasterProcessEvents) {
      RecordEvents(call.ptr);
      t.suspend();
      t.resume();
      t.fxIdle();
      t.setBlockSize(256);
      ++reentered;
    }
    return false;
  };
  Channels in(2, 8, 0.5f);
  Channels out(2, 8);
  std::vector<int32_t> codes;
  bool answered = false;
  std::thread slave([&] {
    Message m;
    // msgSetSampleRate comes from the time callback, before the block.
    while (peer.ReadMessage(m)) {
      codes.push_back(m.code);
      if (m.code == msgProcess) break;
    }
    answered = m.code == msgProcess && peer.Write(EventsMessage(MidiRecord(Midi(5)))) &&
               peer.Write(FloatReply({{1, 2, 3, 4, 5, 6, 7, 8}, {8, 7, 6, 5, 4, 3, 2, 1}}));
    // Then what the event callback sent once the block was done.
    for (int i = 0; i < 3 && peer.ReadMessage(m); ++i) codes.push_back(m.code);
  });
  ReturnsWithin(5000, [&] { t.processReplacing(in.get(), out.get(), 8); });
  slave.join();
  ASSERT_TRUE(answered);
  EXPECT_EQ(reentered, 2);
  EXPECT_EQ(codes,
            (std::vector<int32_t>{msgSetSampleRate, msgProcess, msgSuspend, msgResume, msgSetBlockSize}));
  EXPECT_EQ(out[0], (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(out[1], (std::vector<float>{8, 7, 6, 5, 4, 3, 2, 1}));
  ASSERT_EQ(HostEvents().size(), 1u);
  EXPECT_EQ(HostEvents()[0].midi.deltaFrames, 5);
  EXPECT_EQ(t.getSampleRate(), 44100.0f);

  // The relay goes on.
  host.onCall = nullptr;
  Channels out2(2, 4);
  Exchange(t, in.get(), out2.get(), 4, FloatReply({{9, 9, 9, 9}, {3, 3, 3, 3}}));
  EXPECT_EQ(out2[0], (std::vector<float>{9, 9, 9, 9}));
  EXPECT_TRUE(I::Connected(t));
}

TEST_F(RelayTest, HostClosingFromItsEventCallbackDoesNotDeadlock) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  host.onCall = [&](const HostCall& call, VstIntPtr*) {
    if (call.opcode == audioMasterProcessEvents) t.close();
    return false;
  };
  Channels in(2, 4, 0.5f);
  Channels out(2, 4);
  int32_t afterBlock = 0;
  std::thread slave([&] {
    Message m;
    if (peer.ReadMessage(m) && m.code == msgProcess && peer.Write(EventsMessage(MidiRecord(Midi(1)))) &&
        peer.Write(FloatReply({{1, 2, 3, 4}, {4, 3, 2, 1}})) && peer.ReadMessage(m))
      afterBlock = m.code;
  });
  ReturnsWithin(5000, [&] { t.processReplacing(in.get(), out.get(), 4); });
  slave.join();
  EXPECT_EQ(afterBlock, msgClose);  // resumed and TrmSlave on: the slave is told
  EXPECT_EQ(out[0], (std::vector<float>{1, 2, 3, 4}));
}

TEST_F(RelayTest, FailedReadDuringTheWaitLeavesOutputsUntouched) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  Channels in(2, 8, 0.5f);
  Channels out(2, 8);
  Exchange(t, in.get(), out.get(), 8, FloatReply({{1, 1, 1, 1, 1, 1, 1, 1}, {2, 2, 2, 2, 2, 2, 2, 2}}));
  ASSERT_TRUE(AllEqual(out[0], 1.0f));

  // The next answer breaks off in its audio and the slave goes away.
  Channels out2(2, 8);
  std::thread slave([&] {
    Message m;
    if (peer.ReadMessage(m)) peer.Write(Concat({Int32s({msgProcess, 4, 2, 8}), Bytes(10, 0x11)}));
    peer.CloseConnection();
  });
  t.processReplacing(in.get(), out2.get(), 8);
  slave.join();
  EXPECT_TRUE(AllEqual(out2[0], kUntouched) && AllEqual(out2[1], kUntouched));
  EXPECT_FALSE(I::Connected(t));
}

TEST_F(RelayTest, FailedSendLeavesOutputsUntouched) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  Channels in(2, 8, 0.5f);
  Channels out(2, 8);
  Exchange(t, in.get(), out.get(), 8, FloatReply({{1, 1, 1, 1, 1, 1, 1, 1}, {2, 2, 2, 2, 2, 2, 2, 2}}));
  ASSERT_TRUE(AllEqual(out[0], 1.0f));

  // The plug-in's side can no longer send.
  ASSERT_EQ(peer.Sockets().shutdown(I::SocketHandle(t), ws::kSdSend), 0);
  Channels out2(2, 8);
  t.processReplacing(in.get(), out2.get(), 8);
  EXPECT_TRUE(AllEqual(out2[0], kUntouched) && AllEqual(out2[1], kUntouched));
  EXPECT_FALSE(I::Connected(t));
  EXPECT_FALSE(I::SocketOpen(t));
}

TEST_F(RelayTest, SilentSlaveTimesOutTheSynchronousWait) {
  if (!kRunSlowTests) GTEST_SKIP() << "runs in the effect build";
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  Channels in(2, 8, 0.5f);
  Channels out(2, 8);
  Message sent;
  std::thread slave([&] { peer.ReadMessage(sent); });
  const Clock::time_point start = Clock::now();
  t.processReplacing(in.get(), out.get(), 8);
  const int64_t spent = MsSince(start);
  slave.join();
  EXPECT_EQ(sent.code, msgProcess);
  EXPECT_GE(spent, 4500);
  EXPECT_LT(spent, 8000);
  EXPECT_FALSE(I::Connected(t));
  EXPECT_TRUE(AllEqual(out[0], kUntouched) && AllEqual(out[1], kUntouched));
  EXPECT_TRUE(peer.SeesClose());
}

TEST_F(RelayTest, ChattySlaveCannotHoldTheSynchronousWait) {
  if (!kRunSlowTests) GTEST_SKIP() << "runs in the effect build";
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  Channels in(2, 8, 0.5f);
  Channels out(2, 8);
  std::atomic<bool> stop{false};
  int sentMessages = 0;
  std::thread slave([&] {
    Message m;
    if (!peer.ReadMessage(m)) return;
    // Messages that are no answer, every 20 ms, until the plug-in gives up.
    const Clock::time_point start = Clock::now();
    while (!stop && MsSince(start) < 9000 && peer.Write(EventsMessage({}))) {
      ++sentMessages;
      SleepMs(20);
    }
  });
  const Clock::time_point start = Clock::now();
  t.processReplacing(in.get(), out.get(), 8);
  const int64_t spent = MsSince(start);
  stop = true;
  slave.join();
  EXPECT_GT(sentMessages, 100);
  EXPECT_GE(spent, 4500);
  EXPECT_LT(spent, 8000);
  EXPECT_FALSE(I::Connected(t));
  EXPECT_TRUE(AllEqual(out[0], kUntouched) && AllEqual(out[1], kUntouched));
}

// --- Events ---------------------------------------------------------------------------------

TEST_F(RelayTest, HostEventsAreCutAtTheFirstUnsupportedType) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  std::vector<VstMidiEvent> midi;
  for (int i = 0; i < 110; ++i) midi.push_back(Midi(i));
  VstEvent other{};
  other.type = 3;
  other.byteSize = static_cast<VstInt32>(sizeof other);
  EventList list;
  for (int i = 0; i < 100; ++i) list.Add(&midi[static_cast<size_t>(i)]);
  list.Add(&other);
  for (int i = 100; i < 110; ++i) list.Add(&midi[static_cast<size_t>(i)]);
  EXPECT_EQ(t.processEvents(list.get()), 1);

  Channels in(2, 4, 0.0f);
  Channels out(2, 4);
  Message sent = Exchange(t, in.get(), out.get(), 4, FloatReply({{}, {}}));
  ASSERT_EQ(sent.events.size(), 100u * 31u);
  for (size_t i = 0; i < 100; ++i) {
    const Bytes record(sent.events.begin() + static_cast<std::ptrdiff_t>(i * 31),
                       sent.events.begin() + static_cast<std::ptrdiff_t>(i * 31 + 31));
    ASSERT_EQ(record, MidiRecord(midi[i])) << "record " << i;
  }
  sent = Exchange(t, in.get(), out.get(), 4, FloatReply({{}, {}}));
  EXPECT_TRUE(sent.events.empty());  // sending emptied the queue
}

TEST_F(RelayTest, HostEventsFillTheAreaUpTo65535Bytes) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  // A SysEx record that leaves 31 bytes free: one MIDI record fits, the next does not.
  const int32_t dumpBytes = 65504 - 1 - static_cast<int32_t>(kSysexFixedPart);
  std::vector<char> dump(static_cast<size_t>(dumpBytes));
  for (size_t i = 0; i < dump.size(); ++i) dump[i] = static_cast<char>(i * 7);
  VstMidiSysexEvent sysex{};
  sysex.type = kVstSysExType;
  sysex.byteSize = static_cast<VstInt32>(sizeof sysex);
  sysex.dumpBytes = dumpBytes;
  sysex.sysexDump = dump.data();
  VstMidiEvent first = Midi(1);
  VstMidiEvent second = Midi(2);
  EventList list;
  list.Add(&sysex);
  list.Add(&first);
  list.Add(&second);
  EXPECT_EQ(t.processEvents(list.get()), 1);
  EventList more;
  more.Add(&second);
  EXPECT_EQ(t.processEvents(more.get()), 1);  // the area is full

  Channels in(2, 4, 0.0f);
  Channels out(2, 4);
  const Message sent = Exchange(t, in.get(), out.get(), 4, FloatReply({{}, {}}));
  ASSERT_EQ(sent.events.size(), 65535u);
  const Bytes head(sent.events.begin(),
                   sent.events.begin() + 1 + static_cast<std::ptrdiff_t>(kSysexFixedPart));
  Bytes expectedHead{0};
  ScriptedPeer::PutBytes(expectedHead, &sysex, kSysexFixedPart);
  EXPECT_EQ(head, expectedHead);
  EXPECT_EQ(std::memcmp(sent.events.data() + 1 + kSysexFixedPart, dump.data(), dump.size()), 0);
  EXPECT_EQ(Bytes(sent.events.begin() + 65504, sent.events.end()), MidiRecord(first));
}

TEST_F(RelayTest, EventsQueuedWhileDisconnectedGoWithTheFirstBlock) {
  CTovik& t = Make();
  VstMidiEvent a = Midi(10);
  VstMidiEvent b = Midi(11);
  EventList list;
  list.Add(&a);
  list.Add(&b);
  EXPECT_EQ(t.processEvents(list.get()), 1);
  t.resume();
  ASSERT_TRUE(Handshake(peer, [&] { t.fxIdle(); }));
  // The activating call relays its block, and the queued events go with it.
  Channels in(2, 4, 0.0f);
  Channels out(2, 4);
  Message state;
  Message sent;
  bool answered = false;
  std::thread slave([&] {
    answered = peer.ReadMessage(state) && peer.ReadMessage(sent) && peer.Write(FloatReply({{}, {}}));
  });
  t.processReplacing(in.get(), out.get(), 4);
  slave.join();
  ASSERT_TRUE(answered);
  EXPECT_EQ(state.code, msgResume);
  EXPECT_EQ(sent.code, msgProcess);
  EXPECT_EQ(sent.events, Concat({MidiRecord(a), MidiRecord(b)}));
  // They went once.
  EXPECT_TRUE(Exchange(t, in.get(), out.get(), 4, FloatReply({{}, {}})).events.empty());
}

TEST_F(RelayTest, SlaveEventsReachTheHostOneCallEach) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  const VstMidiEvent a = Midi(20);
  const VstMidiEvent b = Midi(21);
  const Bytes sysexData{0xF0, 0x7E, 0x01, 0x02, 0xF7};
  // Two msgEvents before the one answer: the records of both are kept.
  const Bytes reply = Concat({EventsMessage(Concat({MidiRecord(a), SysexRecord(5, 5, sysexData)})),
                              EventsMessage(MidiRecord(b)), FloatReply({{1, 2}, {3, 4}})});
  Channels in(2, 2, 0.0f);
  Channels out(2, 2);
  Exchange(t, in.get(), out.get(), 2, reply);
  EXPECT_EQ(out[0], (std::vector<float>{1, 2}));

  const std::vector<HostEvent> events = HostEvents();
  ASSERT_EQ(events.size(), 3u);
  for (const HostEvent& e : events) {
    EXPECT_EQ(e.listCount, 1);
    EXPECT_EQ(e.listReserved, 0);
  }
  VstMidiEvent expectedA = a;
  expectedA.reserved1 = expectedA.reserved2 = 0;
  EXPECT_EQ(events[0].type, kVstMidiType);
  EXPECT_EQ(std::memcmp(&events[0].midi, &expectedA, sizeof expectedA), 0);
  EXPECT_EQ(events[1].type, kVstSysExType);
  EXPECT_EQ(events[1].sysex.byteSize, static_cast<VstInt32>(sizeof(VstMidiSysexEvent)));
  EXPECT_EQ(events[1].sysex.deltaFrames, 5);
  EXPECT_EQ(events[1].sysex.dumpBytes, 5);
  EXPECT_EQ(events[1].sysex.resvd1, 0);
  EXPECT_EQ(events[1].sysex.resvd2, 0);
  EXPECT_EQ(events[1].dump, sysexData);
  EXPECT_EQ(events[2].type, kVstMidiType);
  EXPECT_EQ(events[2].midi.deltaFrames, 21);
  EXPECT_EQ(events[2].midi.noteLength, 1021);

  Exchange(t, in.get(), out.get(), 2, FloatReply({{1, 2}, {3, 4}}));
  EXPECT_EQ(HostEvents().size(), 3u);  // handed over once
}

TEST_F(RelayTest, SlaveEventsAreDiscardedWhenTheHostTakesNone) {
  host.canDo.clear();
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  EXPECT_FALSE(I::HostReceivesEvents(t));
  Channels in(2, 2, 0.0f);
  Channels out(2, 2);
  Exchange(t, in.get(), out.get(), 2,
           Concat({EventsMessage(MidiRecord(Midi(1))), FloatReply({{1, 2}, {3, 4}})}));
  EXPECT_EQ(out[0], (std::vector<float>{1, 2}));
  // Even once the host takes events, the discarded ones stay gone.
  host.canDo["receiveVstMidiEvent"] = 1;
  t.suspend();
  t.resume();
  Message m;
  ASSERT_TRUE(peer.ReadMessage(m));
  ASSERT_TRUE(peer.ReadMessage(m));
  Exchange(t, in.get(), out.get(), 2, FloatReply({{1, 2}, {3, 4}}));
  EXPECT_TRUE(HostEvents().empty());
  EXPECT_EQ(host.count(audioMasterProcessEvents), 0u);
}

TEST_F(RelayTest, MalformedSysExRecordEndsTheWalk) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  Channels in(2, 2, 0.0f);
  Channels out(2, 2);
  // A negative length, then a length that runs past the records received.
  Exchange(t, in.get(), out.get(), 2,
           Concat({EventsMessage(Concat(
                       {MidiRecord(Midi(1)), SysexRecord(0, -5, Bytes(8, 0xAA)), MidiRecord(Midi(2))})),
                   FloatReply({{1, 2}, {3, 4}})}));
  Exchange(t, in.get(), out.get(), 2,
           Concat({EventsMessage(Concat({MidiRecord(Midi(3)), SysexRecord(0, 1000, Bytes(8, 0xBB))})),
                   FloatReply({{5, 6}, {7, 8}})}));
  const std::vector<HostEvent> events = HostEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].midi.deltaFrames, 1);
  EXPECT_EQ(events[1].midi.deltaFrames, 3);
  EXPECT_EQ(out[0], (std::vector<float>{5, 6}));
  EXPECT_TRUE(I::Connected(t));
}

// --- Audio, asynchronous --------------------------------------------------------------------

class AsyncRelayTest : public RelayTest {
 protected:
  CTovik& MakeAsync() {
    host.canDo["asyncProcessing"] = 1;
    CTovik& t = Make();
    t.setParameter(0, 0.0f);
    return t;
  }
};

TEST_F(AsyncRelayTest, PositionIsZeroUntilTheAnswerThenTheFrameCount) {
  CTovik& t = MakeAsync();
  EXPECT_FALSE(I::Synch(t));
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  EXPECT_NE(t.getAeffect()->flags & effFlagsExtIsAsync, 0);

  Channels in(2, 16, 0.25f);
  Channels out(2, 16);
  t.processReplacing(in.get(), out.get(), 16);  // returns at once
  EXPECT_EQ(t.reportCurrentPosition(), 0);
  Message sent;
  ASSERT_TRUE(peer.ReadMessage(sent));
  EXPECT_EQ(sent.code, msgProcess);
  EXPECT_EQ(sent.frames, 16);
  EXPECT_EQ(sent.audio, Concat({FloatBytes(in[0]), FloatBytes(in[1])}));
  EXPECT_EQ(t.reportCurrentPosition(), 0);
  EXPECT_TRUE(AllEqual(out[0], kUntouched));

  std::vector<float> a(16), b(16);
  for (int i = 0; i < 16; ++i) {
    a[static_cast<size_t>(i)] = static_cast<float>(i);
    b[static_cast<size_t>(i)] = static_cast<float>(-i);
  }
  ASSERT_TRUE(peer.Write(FloatReply({a, b})));
  EXPECT_EQ(PollPosition(t), 16);
  EXPECT_EQ(out[0], a);
  EXPECT_EQ(out[1], b);
  EXPECT_EQ(t.reportCurrentPosition(), 16);  // done stays done until the next block
}

TEST_F(AsyncRelayTest, BlocksNotRelayedAreReportedDoneAtOnce) {
  CTovik& t = MakeAsync();
  t.resume();
  I::SetLastIdleAttempt(t, tovik::platform::TickCount());
  t.fxIdle();  // idle seen, no attempt yet: the process call relays nothing
  Channels in(2, 64, 0.5f);
  Channels out(2, 64);
  t.processReplacing(in.get(), out.get(), 64);
  EXPECT_EQ(t.reportCurrentPosition(), 64);  // a host that polls is not kept waiting
  EXPECT_TRUE(AllEqual(out[0], kUntouched) && AllEqual(out[1], kUntouched));

  // The activating call relays its block: it is pending until its answer.
  I::SetLastIdleAttempt(t, tovik::platform::TickCount() - 3000);
  ASSERT_TRUE(Handshake(peer, [&] { t.fxIdle(); }));
  t.processReplacing(in.get(), out.get(), 32);
  EXPECT_TRUE(I::Connected(t));
  EXPECT_EQ(t.reportCurrentPosition(), 0);
  EXPECT_TRUE(AllEqual(out[0], kUntouched) && AllEqual(out[1], kUntouched));
  Message m;
  ASSERT_TRUE(peer.ReadMessage(m));
  EXPECT_EQ(m.code, msgResume);
  ASSERT_TRUE(peer.ReadMessage(m));
  EXPECT_EQ(m.code, msgProcess);
  EXPECT_EQ(m.frames, 32);
  ASSERT_TRUE(peer.Write(FloatReply({std::vector<float>(32, 1.0f), std::vector<float>(32, -1.0f)})));
  EXPECT_EQ(PollPosition(t), 32);
  EXPECT_TRUE(AllEqual(out[0], 1.0f, 0, 32) && AllEqual(out[1], -1.0f, 0, 32));
  EXPECT_TRUE(AllEqual(out[0], kUntouched, 32) && AllEqual(out[1], kUntouched, 32));  // past the block
}

TEST_F(AsyncRelayTest, EventsBeforeTheAnswerAreNoAnswer) {
  CTovik& t = MakeAsync();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  Channels in(2, 4, 0.25f);
  Channels out(2, 4);
  Message sent;
  t.processReplacing(in.get(), out.get(), 4);
  ASSERT_TRUE(peer.ReadMessage(sent));
  ASSERT_TRUE(peer.Write(FloatReply({{1, 1, 1, 1}, {1, 1, 1, 1}})));
  ASSERT_EQ(PollPosition(t), 4);

  // The next block's answer comes after a msgEvents: the outputs get this
  // block's answer, not the previous one still in the block.
  Channels out2(2, 4);
  t.processReplacing(in.get(), out2.get(), 4);
  ASSERT_TRUE(peer.ReadMessage(sent));
  const VstMidiEvent e = Midi(9);
  ASSERT_TRUE(peer.Write(EventsMessage(MidiRecord(e))));
  SleepMs(20);
  EXPECT_EQ(t.reportCurrentPosition(), 0);  // events only: the block is not done
  ASSERT_TRUE(peer.Write(FloatReply({{2, 3, 4, 5}, {6, 7, 8, 9}})));
  ASSERT_EQ(PollPosition(t), 4);
  EXPECT_EQ(out2[0], (std::vector<float>{2, 3, 4, 5}));
  EXPECT_EQ(out2[1], (std::vector<float>{6, 7, 8, 9}));
  EXPECT_TRUE(HostEvents().empty());

  // The kept events reach the host with the next block.
  Channels out3(2, 4);
  t.processReplacing(in.get(), out3.get(), 4);
  const std::vector<HostEvent> events = HostEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].midi.deltaFrames, 9);
}

TEST_F(AsyncRelayTest, LostConnectionReportsTheBlockDoneAndReconnectionCopiesNothing) {
  CTovik& t = MakeAsync();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  Channels in(2, 4, 0.25f);
  Channels out(2, 4);
  t.processReplacing(in.get(), out.get(), 4);
  Message sent;
  ASSERT_TRUE(peer.ReadMessage(sent));
  peer.CloseConnection();
  // The connection is gone: the block counts as done, its outputs stay.
  EXPECT_EQ(PollPosition(t), 4);
  EXPECT_TRUE(AllEqual(out[0], kUntouched) && AllEqual(out[1], kUntouched));

  t.processReplacing(in.get(), nullptr, 4);  // finds the link down
  EXPECT_FALSE(I::Connected(t));
  I::SetLastIdleAttempt(t, tovik::platform::TickCount() - 3000);
  ASSERT_TRUE(Handshake(peer, [&] { t.fxIdle(); }));
  t.processReplacing(nullptr, nullptr, 4);
  ASSERT_TRUE(I::Connected(t));
  ASSERT_TRUE(peer.ReadMessage(sent));
  EXPECT_EQ(sent.code, msgResume);
  ASSERT_TRUE(peer.ReadMessage(sent));
  EXPECT_EQ(sent.code, msgProcess);  // the activating call's own block
  // An audio message on the new connection never lands in the old block's buffers.
  ASSERT_TRUE(peer.Write(FloatReply({{9, 9, 9, 9}, {9, 9, 9, 9}})));
  EXPECT_EQ(PollPosition(t), 4);
  EXPECT_TRUE(AllEqual(out[0], kUntouched) && AllEqual(out[1], kUntouched));
}

TEST_F(AsyncRelayTest, AnswerAfterSuspendIsNotCopied) {
  CTovik& t = MakeAsync();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  Channels in(2, 4, 0.25f);
  Channels out(2, 4);
  t.processReplacing(in.get(), out.get(), 4);
  t.suspend();  // the host's buffers of that block may go now
  Message m;
  ASSERT_TRUE(peer.ReadMessage(m));
  ASSERT_TRUE(peer.ReadMessage(m));
  EXPECT_EQ(m.code, msgSuspend);
  ASSERT_TRUE(peer.Write(FloatReply({{9, 9, 9, 9}, {9, 9, 9, 9}})));
  SleepMs(20);
  for (int i = 0; i < 5; ++i) t.reportCurrentPosition();
  EXPECT_TRUE(AllEqual(out[0], kUntouched) && AllEqual(out[1], kUntouched));
}

TEST_F(AsyncRelayTest, SwitchToSynchronousSkipsTheOldAnswer) {
  CTovik& t = MakeAsync();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  Channels in(2, 4, 0.25f);
  Channels out(2, 4);
  t.processReplacing(in.get(), out.get(), 4);
  Message m;
  ASSERT_TRUE(peer.ReadMessage(m));
  t.setParameter(0, 1.0f);
  EXPECT_TRUE(I::Synch(t));
  EXPECT_EQ(t.getAeffect()->flags & effFlagsExtIsAsync, 0);
  ASSERT_TRUE(peer.Write(FloatReply({{1, 1, 1, 1}, {1, 1, 1, 1}})));
  SleepMs(20);
  t.reportCurrentPosition();
  EXPECT_TRUE(AllEqual(out[0], kUntouched) && AllEqual(out[1], kUntouched));

  // The synchronous block takes its own answer, not the one owed to the old block.
  Channels out2(2, 4);
  Exchange(t, in.get(), out2.get(), 4, FloatReply({{2, 2, 2, 2}, {3, 3, 3, 3}}));
  EXPECT_EQ(out2[0], (std::vector<float>{2, 2, 2, 2}));
  EXPECT_EQ(out2[1], (std::vector<float>{3, 3, 3, 3}));
  EXPECT_TRUE(AllEqual(out[0], kUntouched));
}

// --- Hosts that never send idle calls ------------------------------------------------------

// A slave on a thread of its own for a whole run: it answers the handshake
// (keeping the sample rate and block size it was told), records the code of
// every message after it, and answers the n-th msgProcess (from 0) with
// channel 0 holding n * 10000 + i and channel 1 its negative, until msgClose
// or the connection ends.
class RecordingSlave {
 public:
  explicit RecordingSlave(ScriptedPeer& peer) : thread_([this, &peer] { Run(peer); }) {}
  ~RecordingSlave() {
    if (thread_.joinable()) thread_.join();
  }
  void Join() { thread_.join(); }

  static float Sample(int block, int channel, int frame) {
    const auto v = static_cast<float>(block * 10000 + frame);
    return channel == 0 ? v : -v;
  }

  bool handshakeAnswered = false;
  float sampleRate = 0.0f;
  int32_t blockSize = 0;
  std::vector<int32_t> codes;   // after msgOpen
  std::vector<int32_t> frames;  // of each msgProcess
  Bytes firstAudio;             // the first msgProcess's input audio

 private:
  void Run(ScriptedPeer& peer) {
    if (!peer.Accept()) return;
    Message m;
    for (int32_t code : {msgHello, msgSetIo, msgSetSampleRate, msgSetBlockSize, msgGetInfo}) {
      if (!peer.ReadMessage(m) || m.code != code) return;
      if (code == msgSetSampleRate) std::memcpy(&sampleRate, m.payload.data(), sizeof sampleRate);
      if (code == msgSetBlockSize) blockSize = ScriptedPeer::Int32At(m.payload, 0);
    }
    if (!peer.Write(InfoReply()) || !peer.ReadMessage(m) || m.code != msgOpen) return;
    handshakeAnswered = true;
    while (peer.ReadMessage(m)) {
      codes.push_back(m.code);
      if (m.code == msgClose) return;
      if (m.code != msgProcess) continue;
      const int block = static_cast<int>(frames.size());
      frames.push_back(m.frames);
      if (block == 0) firstAudio = m.audio;
      std::vector<std::vector<float>> answer(2, std::vector<float>(static_cast<size_t>(m.frames)));
      for (int c = 0; c < 2; ++c) {
        for (int i = 0; i < m.frames; ++i)
          answer[static_cast<size_t>(c)][static_cast<size_t>(i)] = Sample(block, c, i);
      }
      if (!peer.Write(FloatReply(answer))) return;
    }
  }

  std::thread thread_;
};

// What a host's output buffers must hold after block `block` was relayed.
bool HoldsAnswer(Channels& out, int block, int frames) {
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < frames; ++i) {
      if (BitsOf(out[static_cast<size_t>(c)][static_cast<size_t>(i)]) !=
          BitsOf(RecordingSlave::Sample(block, c, i)))
        return false;
    }
  }
  return true;
}

// A session load as a host's headless tools make it, call for call: the
// address comes with the chunk after the first resume, a second resume
// follows without a suspend between, and no idle call ever comes. The first
// process call connects and its own block is relayed: no block is lost.
TEST_F(RelayTest, SessionLoadWithoutIdleCallsRelaysEveryBlockFromTheFirst) {
  constexpr VstInt32 kBlock = 1024;
  constexpr int kBlocks = 8;
  AudioEffect* effect = createEffectInstance(FakeHost::callback());  // as the entry point does
  ASSERT_NE(effect, nullptr);
  AEffect* e = effect->getAeffect();
  auto d = [e](VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
    return e->dispatcher(e, opcode, index, value, ptr, opt);
  };
  RecordingSlave slave(peer);

  d(effOpen, 0, 0, nullptr, 0.0f);
  EXPECT_EQ(d(effGetVstVersion, 0, 0, nullptr, 0.0f), 2400);
  d(effSetSampleRate, 0, 0, nullptr, 48000.0f);
  d(effSetBlockSize, 0, kBlock, nullptr, 0.0f);
  for (VstInt32 i = 0; i < 4; ++i) d(effCanBeAutomated, i, 0, nullptr, 0.0f);
  for (VstInt32 i = 0; i < 4; ++i) {
    VstParameterProperties properties{};
    d(effGetParameterProperties, i, 0, &properties, 0.0f);
    char name[64] = {};
    d(effGetParamName, i, 0, name, 0.0f);
    d(effGetParamName, i, 0, name, 0.0f);
  }
  char capability[] = "receiveVstTimeInfo";
  d(effCanDo, 0, 0, capability, 0.0f);
  char effectName[64] = {};
  d(effGetEffectName, 0, 0, effectName, 0.0f);
  d(effMainsChanged, 0, 1, nullptr, 0.0f);
  d(effSetProgram, 0, 0, nullptr, 0.0f);
  std::string chunk = "Host=127.0.0.1\nPort=" + std::to_string(peer.Port()) +
                      "\nSynch=1\nCfgDlg=0\nTrmSlave=1\nAudioPrec=4\n";
  ASSERT_EQ(chunk.size() + 1, 67u);  // a five-digit port, as the host's saved chunk had
  EXPECT_EQ(d(effSetChunk, 0, static_cast<VstIntPtr>(chunk.size() + 1), chunk.data(), 0.0f), 1);
  d(effMainsChanged, 0, 1, nullptr, 0.0f);  // again, with no suspend between

  bool allAnswered = true;
  for (int b = 0; b < kBlocks; ++b) {
    Channels in(2, kBlock, 0.25f);
    Channels out(2, kBlock);
    e->processReplacing(e, in.get(), out.get(), kBlock);
    if (!HoldsAnswer(out, b, kBlock)) {
      ADD_FAILURE() << "block " << b << " holds no answer; first sample " << out[0][0];
      allAnswered = false;
    }
  }
  EXPECT_TRUE(allAnswered);
  d(effMainsChanged, 0, 0, nullptr, 0.0f);
  d(effClose, 0, 0, nullptr, 0.0f);  // the instance is gone from here on
  slave.Join();

  ASSERT_TRUE(slave.handshakeAnswered);
  EXPECT_EQ(slave.sampleRate, 48000.0f);
  EXPECT_EQ(slave.blockSize, kBlock);
  // Neither resume reached the slave (nothing was connected yet): the one
  // msgResume is the activation's, then every block, the suspend and the close.
  std::vector<int32_t> expected{msgResume};
  expected.insert(expected.end(), kBlocks, msgProcess);
  expected.push_back(msgSuspend);
  expected.push_back(msgClose);
  EXPECT_EQ(slave.codes, expected);
  EXPECT_EQ(slave.frames, std::vector<int32_t>(kBlocks, kBlock));
  EXPECT_EQ(slave.firstAudio, Concat({FloatBytes(std::vector<float>(kBlock, 0.25f)),
                                      FloatBytes(std::vector<float>(kBlock, 0.25f))}));
  EXPECT_FALSE(peer.Accept(100));  // one handshake only
  EXPECT_EQ(host.count(audioMasterGetTime), static_cast<size_t>(kBlocks));
}

// An offline render of a host without idle calls, at its figures: 88200 Hz,
// blocks of 256, the chunk after resume. N process calls give N msgProcess,
// the first included, and each call's outputs hold its own answer.
TEST_F(RelayTest, OfflineRenderWithoutIdleCallsSendsOneBlockPerProcessCall) {
  constexpr VstInt32 kBlock = 256;
  constexpr int kBlocks = 16;
  plugin = std::make_unique<CTovik>(FakeHost::callback());
  CTovik& t = *plugin;
  RecordingSlave slave(peer);
  t.setSampleRate(88200.0f);
  t.setBlockSize(kBlock);
  t.resume();
  PointAt(peer);
  int answered = 0;
  for (int b = 0; b < kBlocks; ++b) {
    Channels in(2, kBlock, 0.5f);
    Channels out(2, kBlock);
    t.processReplacing(in.get(), out.get(), kBlock);
    if (HoldsAnswer(out, b, kBlock)) ++answered;
  }
  EXPECT_EQ(answered, kBlocks);
  EXPECT_TRUE(I::Connected(t));
  plugin.reset();  // the slave sees the connection end
  slave.Join();

  ASSERT_TRUE(slave.handshakeAnswered);
  EXPECT_EQ(slave.sampleRate, 88200.0f);
  EXPECT_EQ(slave.blockSize, kBlock);
  std::vector<int32_t> expected{msgResume};
  expected.insert(expected.end(), kBlocks, msgProcess);
  EXPECT_EQ(slave.codes, expected);
  EXPECT_EQ(slave.frames, std::vector<int32_t>(kBlocks, kBlock));
}

// --- Reconnection, address changes, close ---------------------------------------------------

TEST_F(RelayTest, ReconnectsAfterTheSlaveRestartsAndResumesIt) {
  CTovik& t = Make();
  const Clock::time_point firstAttempt = Clock::now();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  Channels in(2, 4, 0.25f);
  Channels out(2, 4);
  Exchange(t, in.get(), out.get(), 4, FloatReply({{1, 1, 1, 1}, {1, 1, 1, 1}}));

  peer.CloseConnection();  // the slave stops and starts again on the same port
  Channels out2(2, 4);
  t.processReplacing(in.get(), out2.get(), 4);
  t.processReplacing(in.get(), out2.get(), 4);
  EXPECT_FALSE(I::Connected(t));
  EXPECT_TRUE(AllEqual(out2[0], kUntouched));

  std::atomic<bool> done{false};
  bool answered = false;
  std::thread slave([&] {
    answered = AnswerHandshake(peer, 4000);
    done = true;
  });
  while (!done && MsSince(firstAttempt) < 4500) {
    t.fxIdle();  // the host's idle calls, every 50 ms
    SleepMs(50);
  }
  const int64_t reconnectedAfter = MsSince(firstAttempt);
  slave.join();
  ASSERT_TRUE(answered);
  EXPECT_LT(reconnectedAfter, 3000);  // the next attempt comes 2 s after the last one
  EXPECT_TRUE(I::OpenPending(t));

  // The restarted slave is resumed too, and the activating call's block is relayed.
  Message state;
  Message sent;
  bool relayed = false;
  std::thread restarted([&] {
    relayed = peer.ReadMessage(state) && peer.ReadMessage(sent) &&
              peer.Write(FloatReply({{2, 2, 2, 2}, {2, 2, 2, 2}}));
  });
  t.processReplacing(in.get(), out2.get(), 4);
  restarted.join();
  ASSERT_TRUE(relayed);
  EXPECT_TRUE(I::Connected(t));
  EXPECT_EQ(state.code, msgResume);
  EXPECT_EQ(sent.code, msgProcess);
  EXPECT_TRUE(AllEqual(out2[0], 2.0f));
  Exchange(t, in.get(), out2.get(), 4, FloatReply({{3, 3, 3, 3}, {3, 3, 3, 3}}));
  EXPECT_TRUE(AllEqual(out2[0], 3.0f));
}

TEST_F(RelayTest, ChunkWithANewAddressDisconnectsAndTheNextAttemptUsesIt) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(ConnectByProcess(t, peer));
  ScriptedPeer other;
  ASSERT_TRUE(other.Listening());
  PointAt(other);
  EXPECT_FALSE(I::Connected(t));
  EXPECT_FALSE(I::OpenPending(t));
  EXPECT_FALSE(I::SocketOpen(t));
  EXPECT_TRUE(peer.SeesClose());
  peer.CloseConnection();
  ASSERT_NO_FATAL_FAILURE(Activate(t, other, msgResume, true));
  EXPECT_FALSE(peer.Accept(100));
}

TEST_F(RelayTest, ChunkWithANewAddressWhilePendingDisconnects) {
  CTovik& t = Make();
  t.resume();
  ASSERT_TRUE(Handshake(peer, [&] { t.fxIdle(); }));
  ASSERT_TRUE(I::OpenPending(t));
  I::SetLastIdleCall(t, tovik::platform::TickCount() - 5001);  // the idle calls stop
  ScriptedPeer other;
  PointAt(other);
  EXPECT_FALSE(I::OpenPending(t));
  EXPECT_TRUE(peer.SeesClose());
  // The next process call makes a new attempt instead of activating the old
  // address, and relays its block there.
  ASSERT_NO_FATAL_FAILURE(Activate(t, other, msgResume, true));
  EXPECT_FALSE(peer.Accept(100));
}

TEST_F(RelayTest, ChunkWithTheSameAddressKeepsTheConnection) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(ConnectByProcess(t, peer));
  SetChunk("Host=127.0.0.1\nPort=" + std::to_string(peer.Port()) + "\nSynch=1\nAudioPrec=4\n");
  EXPECT_TRUE(I::Connected(t));
  EXPECT_TRUE(peer.NothingArrives(100));
  Channels in(2, 4, 0.25f);
  Channels out(2, 4);
  Exchange(t, in.get(), out.get(), 4, FloatReply({{1, 2, 3, 4}, {5, 6, 7, 8}}));
  EXPECT_EQ(out[1], (std::vector<float>{5, 6, 7, 8}));
}

TEST_F(RelayTest, CloseWithTerminateSendsCloseAndReleasesSideA) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  ASSERT_TRUE(I::TrmSlave(t));
  t.close();
  EXPECT_EQ(peer.Read(4), Int32s({msgClose}));
  EXPECT_FALSE(I::Link(t).HoldsRoleA());
  EXPECT_FALSE(I::Link(t).IsAttachedA());
  EXPECT_TRUE(peer.NothingArrives(100));  // the connection stays open until destruction
  plugin.reset();
  EXPECT_TRUE(peer.SeesClose());
}

TEST_F(RelayTest, CloseWithoutTerminateSendsNothing) {
  CTovik& t = Make();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  t.setParameter(2, 0.0f);
  ASSERT_FALSE(I::TrmSlave(t));
  t.close();
  EXPECT_FALSE(I::Link(t).HoldsRoleA());
  EXPECT_TRUE(peer.NothingArrives(150));
  plugin.reset();
  EXPECT_TRUE(peer.SeesClose());
}

TEST_F(AsyncRelayTest, LongBlockSendsWhatFitsAndTheRestIsSilence) {
  CTovik& t = MakeAsync();
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  constexpr int kFrames = 50000;
  Channels in(2, kFrames, 0.25f);
  Channels out(2, kFrames);
  t.processReplacing(in.get(), out.get(), kFrames);
  for (size_t c = 0; c < 2; ++c) EXPECT_TRUE(AllEqual(out[c], 0.0f, 44100)) << "output " << c;
  ASSERT_TRUE(AnswerWithGain(peer, 1, 4.0f, nullptr));
  EXPECT_EQ(PollPosition(t), kFrames);
  for (size_t c = 0; c < 2; ++c) {
    EXPECT_TRUE(AllEqual(out[c], 1.0f, 0, 44100)) << "output " << c;
    EXPECT_TRUE(AllEqual(out[c], 0.0f, 44100)) << "output " << c;
  }
  EXPECT_TRUE(peer.NothingArrives(100));  // one message only
}

}  // namespace
