// The audio path allocates nothing. This program replaces the global
// operator new and delete and (glibc) malloc, calloc, realloc and the aligned
// allocators, and counts every allocation that the test's own thread makes
// while counting is on. After activation, 1,000 blocks are processed with
// events going to the slave and coming back, synchronously and then
// asynchronously, against the real slave: the count must stay 0.
//
// The built plug-in module is checked the same way: loaded with dlopen and
// driven through its record as a host drives it, its allocations come to this
// program's malloc as well. A fresh audio thread counts from its first block
// on: the activation, automation of every parameter, the first link error
// (the slave killed) and the reconnection (the slave started again), while a
// main thread sends idle calls.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "QuietHost.h"
#include "SlaveProcess.h"
#include "platform/UserStore.h"
#include "relay/BuildConstants.h"
#include "relay/Tovik.h"
#include "support/ScopedConfigHome.h"
#include "support/TovikInspector.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {

thread_local bool counting = false;
thread_local size_t allocations = 0;
thread_local size_t firstSize = 0;

inline void Count(size_t size) {
  if (!counting) return;
  if (allocations++ == 0) firstSize = size;
}

}  // namespace

// --- Every way to the heap, counted -----------------------------------------------------------

extern "C" void* malloc(size_t size) noexcept {
  Count(size);
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) noexcept {
  Count(count * size);
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, size_t size) noexcept {
  Count(size);
  return __libc_realloc(pointer, size);
}
extern "C" void free(void* pointer) noexcept {
  __libc_free(pointer);
}
extern "C" void* memalign(size_t alignment, size_t size) noexcept {
  Count(size);
  return __libc_memalign(alignment, size);
}
extern "C" void* aligned_alloc(size_t alignment, size_t size) noexcept {
  Count(size);
  return __libc_memalign(alignment, size);
}
extern "C" int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  Count(size);
  void* p = __libc_memalign(alignment, size);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}

namespace {
void* NewBytes(size_t size) {
  Count(size);
  void* p = __libc_malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void* NewAligned(size_t size, std::align_val_t alignment) {
  Count(size);
  void* p = __libc_memalign(static_cast<size_t>(alignment), size ? size : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
}  // namespace

void* operator new(size_t size) {
  return NewBytes(size);
}
void* operator new[](size_t size) {
  return NewBytes(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  Count(size);
  return __libc_malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  Count(size);
  return __libc_malloc(size ? size : 1);
}
void* operator new(size_t size, std::align_val_t alignment) {
  return NewAligned(size, alignment);
}
void* operator new[](size_t size, std::align_val_t alignment) {
  return NewAligned(size, alignment);
}
void operator delete(void* p) noexcept {
  __libc_free(p);
}
void operator delete[](void* p) noexcept {
  __libc_free(p);
}
void operator delete(void* p, size_t) noexcept {
  __libc_free(p);
}
void operator delete[](void* p, size_t) noexcept {
  __libc_free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  __libc_free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  __libc_free(p);
}
void operator delete(void* p, size_t, std::align_val_t) noexcept {
  __libc_free(p);
}
void operator delete[](void* p, size_t, std::align_val_t) noexcept {
  __libc_free(p);
}

namespace {

using tovik::test::QuietHost;
using tovik::test::SlaveProcess;
using Clock = std::chrono::steady_clock;
using I = TovikInspector;

constexpr int kFrames = 256;
constexpr int kBlocks = 1000;

// Counts the allocations this thread makes while it lives.
class CountAllocations {
 public:
  CountAllocations() {
    allocations = 0;
    firstSize = 0;
    counting = true;
  }
  ~CountAllocations() { counting = false; }
  size_t Count() const { return allocations; }
};

// A host's event list: four note events and one SysEx, made once.
struct HostEvents {
  HostEvents() {
    for (int i = 0; i < 4; ++i) {
      midi[i].type = kVstMidiType;
      midi[i].byteSize = sizeof(VstMidiEvent);
      midi[i].deltaFrames = i * 10;
      midi[i].midiData[0] = static_cast<char>(0x90);
      midi[i].midiData[1] = static_cast<char>(60 + i);
      midi[i].midiData[2] = 100;
      list.events[i] = reinterpret_cast<VstEvent*>(&midi[i]);
    }
    sysex.type = kVstSysExType;
    sysex.byteSize = sizeof(VstMidiSysexEvent);
    sysex.dumpBytes = sizeof dump;
    sysex.sysexDump = dump;
    list.events[4] = reinterpret_cast<VstEvent*>(&sysex);
    list.numEvents = 5;
  }
  VstEvents* get() { return reinterpret_cast<VstEvents*>(&list); }

  struct {
    VstInt32 numEvents = 0;
    VstIntPtr reserved = 0;
    VstEvent* events[5] = {};
  } list;
  VstMidiEvent midi[4] = {};
  VstMidiSysexEvent sysex{};
  char dump[6] = {static_cast<char>(0xF0), 0x43, 0x10, 0x4C, 0x00, static_cast<char>(0xF7)};
};

class AllocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(SlaveProcess::Program())) GTEST_SKIP() << "tovik-slave not built";
    ASSERT_TRUE(slave.Start({"--quiet", "--echo-events"}));
    plugin = std::make_unique<CTovik>(QuietHost::Callback());
    std::string chunk = "Host=127.0.0.1\nPort=" + std::to_string(slave.Port()) + "\n";
    plugin->setChunk(chunk.data(), static_cast<VstInt32>(chunk.size() + 1), false);
    plugin->setBlockSizeAndSampleRate(kFrames, 48000.0f);
    plugin->resume();
    const Clock::time_point start = Clock::now();
    while (!I::Connected(*plugin) && Clock::now() - start < std::chrono::seconds(3)) {
      plugin->processReplacing(nullptr, nullptr, kFrames);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(I::Connected(*plugin));
    for (int c = 0; c < 2; ++c) {
      for (int i = 0; i < kFrames; ++i) in[c][i] = static_cast<float>((i * (c + 3)) % 100) / 100.0f;
      inputs[c] = in[c];
      outputs[c] = out[c];
    }
  }

  void TearDown() override {
    plugin.reset();
    slave.Stop();
  }

  // One block: the host's events, then the block; asynchronously the host
  // then asks for the block's position until it is done (bounded).
  void Block(bool synch) {
    plugin->processEvents(events.get());
    plugin->processReplacing(inputs, outputs, kFrames);
    if (synch) return;
    for (int i = 0; i < 200000 && plugin->reportCurrentPosition() == 0; ++i) std::this_thread::yield();
  }

  tovik::test::QuietConfigHome home;
  SlaveProcess slave;
  std::unique_ptr<CTovik> plugin;
  HostEvents events;
  float in[2][kFrames] = {};
  float out[2][kFrames] = {};
  float* inputs[2] = {};
  float* outputs[2] = {};
};

TEST_F(AllocationTest, SynchronousBlocksWithEventsBothWaysAllocateNothing) {
  for (int i = 0; i < 20; ++i) Block(true);  // warm-up
  const int64_t eventsBefore = QuietHost::eventsReceived;
  size_t count = 0;
  {
    CountAllocations counter;
    for (int i = 0; i < kBlocks; ++i) Block(true);
    count = counter.Count();
  }
  EXPECT_TRUE(I::Connected(*plugin));
  EXPECT_EQ(count, 0u) << "first allocation: " << firstSize << " bytes";
  // The slave echoed the events, and the plug-in handed them to the host.
  EXPECT_GE(QuietHost::eventsReceived - eventsBefore, 5 * (kBlocks - 1));
  EXPECT_EQ(std::memcmp(in, out, sizeof in), 0);
  std::printf("synchronous: %d blocks, %zu allocations, %lld events to the host\n", kBlocks, count,
              static_cast<long long>(QuietHost::eventsReceived - eventsBefore));
}

TEST_F(AllocationTest, AsynchronousBlocksWithEventsBothWaysAllocateNothing) {
  plugin->setParameter(0, 0.0f);  // Synch off
  ASSERT_FALSE(I::Synch(*plugin));
  for (int i = 0; i < 20; ++i) Block(false);
  const int64_t eventsBefore = QuietHost::eventsReceived;
  size_t count = 0;
  {
    CountAllocations counter;
    for (int i = 0; i < kBlocks; ++i) Block(false);
    count = counter.Count();
  }
  EXPECT_TRUE(I::Connected(*plugin));
  EXPECT_EQ(count, 0u) << "first allocation: " << firstSize << " bytes";
  EXPECT_GE(QuietHost::eventsReceived - eventsBefore, 5 * (kBlocks - 2));
  EXPECT_EQ(std::memcmp(in, out, sizeof in), 0);
  std::printf("asynchronous: %d blocks, %zu allocations, %lld events to the host\n", kBlocks, count,
              static_cast<long long>(QuietHost::eventsReceived - eventsBefore));
}

// The counter itself: an allocation on this thread is seen.
TEST_F(AllocationTest, CounterSeesAnAllocation) {
  size_t count = 0;
  {
    CountAllocations counter;
    auto* p = new std::vector<int>(100);
    delete p;
    void* q = std::malloc(10);
    std::free(q);
    count = counter.Count();
  }
  EXPECT_GE(count, 3u);
}

// --- The built module, through dlopen ------------------------------------------------------

#ifdef TOVIK_PLUGIN_MODULE
// What the audio thread counted in each stage.
struct StageCount {
  const char* name = "";
  size_t allocations = 0;
  size_t firstSize = 0;
  bool reached = false;  // the stage ended as it should (relaying, or the link down)
};

TEST(ModuleAllocationTest, AudioThreadOfTheLoadedModuleAllocatesNothing) {
  if (!std::filesystem::exists(SlaveProcess::Program())) GTEST_SKIP() << "tovik-slave not built";
  tovik::test::QuietConfigHome home;
  SlaveProcess slave;
  ASSERT_TRUE(slave.Start({"--quiet", "--echo-events"}));
  const unsigned port = slave.Port();

  void* module = dlopen(TOVIK_PLUGIN_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  using Entry = AEffect* (*)(audioMasterCallback);
  auto entry = reinterpret_cast<Entry>(dlsym(module, "VSTPluginMain"));
  ASSERT_NE(entry, nullptr);
  QuietHost::ioChangesAccepted = true;  // seven parameters
  QuietHost::asyncAllowed = true;
  AEffect* e = entry(QuietHost::Callback());
  ASSERT_NE(e, nullptr);
  ASSERT_EQ(e->numParams, 7);
  auto dispatch = [e](VstInt32 opcode, VstIntPtr value = 0, void* ptr = nullptr, float opt = 0.0f) {
    return e->dispatcher(e, opcode, 0, value, ptr, opt);
  };
  std::string chunk = "Host=127.0.0.1\nPort=" + std::to_string(port) + "\n";
  dispatch(effSetChunk, static_cast<VstIntPtr>(chunk.size() + 1), chunk.data());
  dispatch(effSetSampleRate, 0, nullptr, 48000.0f);
  dispatch(effSetBlockSize, kFrames);
  dispatch(effMainsChanged, 1);

  std::atomic<bool> done{false};
  std::atomic<int> request{0};  // 1: kill the slave, 2: start it again
  std::atomic<int> served{0};
  StageCount stages[4];
  std::thread audio([&] {
    HostEvents events;
    float in[2][kFrames] = {};
    float out[2][kFrames] = {};
    float* inputs[2] = {in[0], in[1]};
    float* outputs[2] = {out[0], out[1]};
    for (int i = 0; i < kFrames; ++i) in[0][i] = in[1][i] = static_cast<float>(i % 50) / 50.0f;
    // Blocks until one is relayed and answered (the time asked and the
    // outputs holding the echo), at most `ms`.
    auto relayUntilAnswered = [&](int ms) {
      const Clock::time_point start = Clock::now();
      while (Clock::now() - start < std::chrono::milliseconds(ms)) {
        const int64_t asked = QuietHost::timeRequests;
        std::memset(out, 0, sizeof out);
        e->dispatcher(e, effProcessEvents, 0, 0, events.get(), 0.0f);
        e->processReplacing(e, inputs, outputs, kFrames);
        if (QuietHost::timeRequests > asked && std::memcmp(in, out, sizeof in) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      return false;
    };
    auto waitServed = [&](int wanted) {
      request = wanted;
      const Clock::time_point start = Clock::now();
      while (served != wanted && Clock::now() - start < std::chrono::seconds(3))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    auto count = [&](StageCount& stage, const char* name, const std::function<bool()>& body) {
      stage.name = name;
      CountAllocations counter;
      stage.reached = body();
      stage.allocations = counter.Count();
      stage.firstSize = firstSize;
    };
    count(stages[0], "activation", [&] { return relayUntilAnswered(5000); });
    count(stages[1], "every parameter", [&] {
      for (VstInt32 index = 0; index < 7; ++index) {
        for (float value : {0.0f, 1.0f, 0.25f}) e->setParameter(e, index, value);
      }
      e->setParameter(e, 0, 1.0f);  // synchronous
      e->setParameter(e, 3, 1.0f);  // 32-bit float: the echo is exact
      return relayUntilAnswered(2000);
    });
    waitServed(1);  // the slave is gone
    count(stages[2], "first link error", [&] {
      // The first block finds the connection gone; the later ones are not
      // relayed (no time is asked for them).
      int64_t asked = 0;
      for (int i = 0; i < 20; ++i) {
        if (i == 10) asked = QuietHost::timeRequests;
        e->processReplacing(e, inputs, outputs, kFrames);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      return QuietHost::timeRequests == asked;
    });
    waitServed(2);  // and back
    count(stages[3], "reconnection", [&] { return relayUntilAnswered(8000); });
    done = true;
  });
  // The host's main thread: idle calls, and the slave's end and restart.
  while (!done) {
    e->dispatcher(e, effIdle, 0, 0, nullptr, 0.0f);
    if (request == 1 && served == 0) {
      slave.Kill();
      served = 1;
    } else if (request == 2 && served == 1) {
      served = slave.Start({"--quiet", "--echo-events"}, port) ? 2 : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  audio.join();
  EXPECT_EQ(served, 2) << "the slave did not start again on port " << port;
  for (const StageCount& stage : stages) {
    EXPECT_TRUE(stage.reached) << stage.name;
    EXPECT_EQ(stage.allocations, 0u) << stage.name << ": first allocation " << stage.firstSize << " bytes";
    std::printf("module, %s: %zu allocations\n", stage.name, stage.allocations);
  }
  dispatch(effMainsChanged, 0);
  dispatch(effClose);
  dlclose(module);
  slave.Stop();
}
#endif

}  // namespace
