// The host's threads at once, as a sloppy host drives them: while the audio
// thread processes blocks with events against the real slave (which echoes
// the events) and now and then automates every parameter and sets the sample
// rate itself, a second thread calls idle, changes every parameter and the
// sample rate and block size, suspends and resumes, and loads settings chunks,
// some of which move the slave's address.
// Run under ThreadSanitizer (preset "tsan"), where a data race fails the
// test; in other builds it checks that every call returns and that the
// relay still works afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "QuietHost.h"
#include "SlaveProcess.h"
#include "platform/UserStore.h"
#include "relay/BuildConstants.h"
#include "relay/Tovik.h"
#include "support/ScopedConfigHome.h"
#include "support/TovikInspector.h"

namespace {

using tovik::test::QuietHost;
using tovik::test::SlaveProcess;
using Clock = std::chrono::steady_clock;
using I = TovikInspector;

constexpr int kFrames = 128;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(ThreadStressTest, AudioThreadAgainstIdleParametersSuspendResumeAndChunks) {
  if (!std::filesystem::exists(SlaveProcess::Program())) GTEST_SKIP() << "tovik-slave not built";
  tovik::test::QuietConfigHome home;
  SlaveProcess slave;
  ASSERT_TRUE(slave.Start({"--quiet", "--echo-events"}));
  QuietHost::asyncAllowed = true;
  QuietHost::ioChangesAccepted = true;  // seven parameters
  auto plugin = std::make_unique<CTovik>(QuietHost::Callback());
  CTovik& t = *plugin;
  const std::string port = std::to_string(slave.Port());
  const std::string chunks[] = {
      "Host=127.0.0.1\nPort=" + port + "\nSynch=1\nAudioPrec=4\n",
      "Host=127.0.0.1\nPort=" + port + "\nSynch=0\nAudioPrec=2\nTrmSlave=0\n",
      "Host=localhost\nPort=" + port + "\nAudioPrec=3\n",  // another name: the connection moves
      "Host=127.0.0.1\nPort=" + port + "\nSynch=1\nAudioPrec=1\nCfgDlg=0\n",
  };
  auto load = [&t](const std::string& text) {
    std::string copy = text;
    t.setChunk(copy.data(), static_cast<VstInt32>(copy.size() + 1), false);
  };
  load(chunks[0]);
  t.setBlockSizeAndSampleRate(kFrames, 48000.0f);
  t.resume();
  // Connected before the storm: the first process calls make the handshake.
  const Clock::time_point connecting = Clock::now();
  while (!I::Connected(t) && MsSince(connecting) < 5000) {
    t.processReplacing(nullptr, nullptr, kFrames);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(I::Connected(t));

  constexpr int kSeconds = 4;
  const int64_t timeRequestsBefore = QuietHost::timeRequests;
  std::atomic<bool> stop{false};
  std::atomic<int64_t> blocks{0};
  std::atomic<int64_t> longestMs{0};

  std::thread audio([&] {
    // As many channels as the plug-in may ask for: automation of parameters
    // 4 and 5 changes the counts (the host follows ioChanged).
    static float in[kMaxChannels][kFrames] = {};
    static float out[kMaxChannels][kFrames] = {};
    float* inputs[kMaxChannels] = {};
    float* outputs[kMaxChannels] = {};
    for (int c = 0; c < kMaxChannels; ++c) {
      inputs[c] = in[c];
      outputs[c] = out[c];
    }
    VstMidiEvent note{};
    note.type = kVstMidiType;
    note.byteSize = sizeof note;
    note.midiData[0] = static_cast<char>(0x90);
    struct {
      VstInt32 numEvents = 1;
      VstIntPtr reserved = 0;
      VstEvent* events[2] = {};
    } list;
    list.events[0] = reinterpret_cast<VstEvent*>(&note);
    int64_t n = 0;
    while (!stop) {
      const Clock::time_point start = Clock::now();
      // Automation on the audio thread: every parameter in turn, and now and
      // then the sample rate.
      const VstInt32 index = static_cast<VstInt32>(n % 7);
      t.setParameter(index, static_cast<float>((n / 7) % 2));
      if (n % 16 == 0) t.setSampleRate(n % 32 == 0 ? 44100.0f : 48000.0f);
      ++n;
      t.processEvents(reinterpret_cast<VstEvents*>(&list));
      t.processReplacing(inputs, outputs, kFrames);
      for (int i = 0; i < 50 && t.reportCurrentPosition() == 0; ++i) std::this_thread::yield();
      const int64_t took = MsSince(start);
      if (took > longestMs) longestMs = took;
      ++blocks;
    }
  });

  std::mt19937 random(7);
  int mainCalls = 0;
  const Clock::time_point start = Clock::now();
  int parameter = 0;
  while (MsSince(start) < kSeconds * 1000) {
    switch (random() % 8) {
      case 0:
        t.fxIdle();
        break;
      case 1:
        t.setParameter(static_cast<VstInt32>(random() % 7), static_cast<float>(random() % 101) / 100.0f);
        break;
      case 2:
        t.suspend();
        t.resume();
        break;
      case 3:
        // Now and then a chunk that moves the connection to another name.
        load(chunks[random() % 8 == 0 ? 2 : random() % 2 * 3]);
        break;
      case 4:
        t.getParameter(static_cast<VstInt32>(random() % 7));
        t.getChunk(nullptr, false);
        break;
      case 5:
        // Every parameter in turn, besides the random ones above.
        t.setParameter(parameter, static_cast<float>(random() % 101) / 100.0f);
        parameter = (parameter + 1) % 7;
        break;
      case 6:
        t.setSampleRate(random() % 2 ? 96000.0f : 48000.0f);
        if (random() % 4 == 0) t.setBlockSize(kFrames);
        break;
      default:
        break;
    }
    // A host's other thread is busy, but not spinning.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ++mainCalls;
  }
  stop = true;
  audio.join();
  // Blocks that went to the slave asked the host for its time first.
  const int64_t relayed = QuietHost::timeRequests - timeRequestsBefore;
  std::printf(
      "stress: %lld process calls (%lld relayed), %d main-thread calls in %d s; longest audio call %lld ms\n",
      static_cast<long long>(blocks.load()), static_cast<long long>(relayed), mainCalls, kSeconds,
      static_cast<long long>(longestMs.load()));
  EXPECT_GT(relayed, 0);

  // The host calms down: a chunk with the slave's address, idle calls and a
  // few blocks, and the relay is connected again.
  load(chunks[0]);
  t.suspend();
  t.resume();
  const Clock::time_point settle = Clock::now();
  while (!I::Connected(t) && MsSince(settle) < 5000) {
    t.fxIdle();
    t.processReplacing(nullptr, nullptr, kFrames);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(I::Connected(t));
  plugin.reset();
  slave.Stop();
}

}  // namespace
