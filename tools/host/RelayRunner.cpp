#include "RelayRunner.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "IdleThread.h"
#include "ProgressBar.h"

namespace tovik::host {
namespace {

using Clock = std::chrono::steady_clock;

// A quiet NaN with a payload of our own: no sample format decodes to it.
constexpr uint32_t kSentinelBits = 0x7FC5E7A1u;
constexpr VstIntPtr kProcessPrecision32 = 0;  // effSetProcessPrecision: 32-bit float buffers
// How long a warm-up block in asynchronous operation waits for its answer:
// blocks sent before the connection is up are never answered.
constexpr double kWarmupPollSeconds = 0.25;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace

float CRelayRunner::Sentinel() {
  float f;
  std::memcpy(&f, &kSentinelBits, sizeof(f));
  return f;
}

bool CRelayRunner::IsSentinel(float sample) {
  uint32_t bits;
  std::memcpy(&bits, &sample, sizeof(bits));
  return bits == kSentinelBits;
}

VstIntPtr CRelayRunner::Dispatch(const char* what, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                 float opt) {
  CWatchedCall call(dog, what);
  return plugin.Dispatch(opcode, index, value, nullptr, opt);
}

bool CRelayRunner::WaitForPosition(double limit) {
  const Clock::time_point start = Clock::now();
  for (;;) {
    if (Dispatch("effGetCurrentPosition", effGetCurrentPosition) != 0) return true;
    const double elapsed = Seconds(Clock::now() - start);
    if (elapsed >= limit) return false;
    // Spin briefly for a fast answer, then poll with short sleeps.
    if (elapsed < 0.002)
      std::this_thread::yield();
    else
      std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

bool CRelayRunner::ProcessBlock(int frames, bool async, double limit, double& milliseconds) {
  const float sentinel = Sentinel();
  for (auto& channel : outputs) std::fill(channel.begin(), channel.begin() + frames, sentinel);
  AEffect* effect = plugin.Effect();
  host.SetProcessing(true);
  const Clock::time_point start = Clock::now();
  {
    CWatchedCall call(dog, "processReplacing");
    effect->processReplacing(effect, inputPointers.data(), outputPointers.data(), frames);
  }
  bool done = true;
  if (async) done = WaitForPosition(limit);
  const Clock::time_point end = Clock::now();
  host.SetProcessing(false);
  host.AdvanceTransport(frames);
  milliseconds = std::chrono::duration<double, std::milli>(end - start).count();
  if (!done) return false;
  bool written = false;
  for (auto& channel : outputs) {
    for (int i = 0; i < frames; ++i) {
      if (!IsSentinel(channel[static_cast<size_t>(i)])) {
        written = true;
        break;
      }
    }
  }
  if (!written) return false;
  // Channels the answer did not cover are silence.
  for (auto& channel : outputs)
    for (int i = 0; i < frames; ++i)
      if (IsSentinel(channel[static_cast<size_t>(i)])) channel[static_cast<size_t>(i)] = 0.0f;
  return true;
}

void CRelayRunner::NoteGap(RelayResult& result, size_t block, bool answered) {
  const bool lastKept = result.gapCount <= RelayResult::kGapsKept && !result.gaps.empty();
  if (answered) {
    if (!lastAnswered && lastKept) result.gaps.back().answeredAfter = true;
  } else if (lastAnswered) {
    ++result.gapCount;
    if (result.gaps.size() < RelayResult::kGapsKept) {
      RelayGap gap;
      gap.firstBlock = block;
      gap.blocks = 1;
      result.gaps.push_back(gap);
    }
  } else if (lastKept) {
    ++result.gaps.back().blocks;
  }
  lastAnswered = answered;
}

RelayResult CRelayRunner::Run(CAudioSource& input, CRelaySink& sink) {
  RelayResult result;
  AEffect* effect = plugin.Effect();
  const size_t numIn = static_cast<size_t>(std::max(0, effect->numInputs));
  const size_t numOut = static_cast<size_t>(std::max(0, effect->numOutputs));
  const size_t numSource = static_cast<size_t>(std::max(0, input.Channels()));
  const int block = config.blockSize;
  const size_t blockFrames = static_cast<size_t>(block);
  const int rate = input.SampleRate();
  source.assign(numSource, std::vector<float>(blockFrames, 0.0f));
  inputs.assign(numIn, std::vector<float>(blockFrames, 0.0f));
  outputs.assign(numOut, std::vector<float>(blockFrames, 0.0f));
  inputPointers.clear();
  outputPointers.clear();
  for (auto& channel : inputs) inputPointers.push_back(channel.data());
  for (auto& channel : outputs) outputPointers.push_back(channel.data());
  // Never hand the plug-in an empty array as its channel list.
  inputPointers.push_back(nullptr);
  outputPointers.push_back(nullptr);

  const uint64_t frames = input.Frames();
  const size_t totalBlocks = static_cast<size_t>((frames + blockFrames - 1) / blockFrames);
  result.totalBlocks = totalBlocks;
  result.roundTrips.Reserve(std::min<size_t>(totalBlocks, 1 << 20));
  lastAnswered = true;

  host.SetSampleRate(rate);
  host.SetBlockSize(block);
  Dispatch("effSetSampleRate", effSetSampleRate, 0, 0, static_cast<float>(rate));
  Dispatch("effSetBlockSize", effSetBlockSize, 0, block);
  Dispatch("effSetProcessPrecision", effSetProcessPrecision, 0, kProcessPrecision32);
  host.StartTransport();
  const Clock::time_point resumed = Clock::now();
  Dispatch("effMainsChanged (resume)", effMainsChanged, 0, 1);
  Dispatch("effStartProcess", effStartProcess);
  result.async = (effect->flags & effFlagsExtIsAsync) != 0;

  CIdleThread idle(plugin);
  idle.Start();

  auto stopRequested = [&]() { return config.stop != nullptr && config.stop->load(); };
  const double blockMs = 1000.0 * static_cast<double>(block) / rate;
  const auto blockDuration = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(block) / rate));
  if (!config.connectingText.empty()) {
    std::fprintf(stderr, "%s", config.connectingText.c_str());
    std::fflush(stderr);
  }
  // Warm-up: silence until the plug-in answers, in real time, within the time-out.
  const Clock::time_point warmupDeadline =
      resumed + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(config.timeout));
  Clock::time_point next = Clock::now();
  while (!stopRequested()) {
    for (auto& channel : inputs) std::fill(channel.begin(), channel.end(), 0.0f);
    const double left = Seconds(warmupDeadline - Clock::now());
    double ms = 0.0;
    ++result.warmupBlocks;
    // Until the connection is up an asynchronous block is never answered, so
    // wait for one only briefly.
    if (ProcessBlock(block, result.async, std::max(0.0, std::min(kWarmupPollSeconds, left)), ms)) {
      result.warmupAnswered = true;
      break;
    }
    if (Clock::now() >= warmupDeadline) break;
    next += blockDuration;
    std::this_thread::sleep_until(std::min(next, warmupDeadline));
  }
  result.warmupSeconds = Seconds(Clock::now() - resumed);
  if (!config.connectingText.empty()) {
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(config.connectingText.size()), "");
    std::fflush(stderr);
  }

  CProgressBar bar(config.progress, totalBlocks, blockFrames, rate);
  const Clock::time_point started = Clock::now();
  Clock::time_point lastAnswer = started;
  next = started;
  bool sending = result.warmupAnswered;
  for (size_t b = 0; b < totalBlocks; ++b) {
    if (stopRequested()) {
      result.interrupted = true;
      break;
    }
    const size_t count = input.Read(source, blockFrames);
    if (count == 0) break;  // the source ended early (a damaged file)
    bool answered = false;
    if (sending) {
      for (size_t c = 0; c < numIn; ++c) {
        std::vector<float>& channel = inputs[c];
        if (c < numSource)
          std::copy(source[c].begin(), source[c].begin() + static_cast<std::ptrdiff_t>(count),
                    channel.begin());
        else
          std::fill(channel.begin(), channel.end(), 0.0f);
      }
      host.SetBlock(static_cast<long>(b));
      if (config.midi != nullptr) {
        VstEvents* events = config.midi->EventsFor(result.framesDone, count);
        if (events != nullptr) {
          CWatchedCall call(dog, "effProcessEvents");
          plugin.Dispatch(effProcessEvents, 0, 0, events);
        }
      }
      double ms = 0.0;
      answered = ProcessBlock(static_cast<int>(count), result.async, config.timeout, ms);
      ++result.blocks;
      if (answered) {
        ++result.answered;
        result.roundTrips.Add(ms);
        lastAnswer = Clock::now();
        if (config.realtime && ms > blockMs) {
          ++result.lateBlocks;
          if (ms > result.worstLateMs) {
            result.worstLateMs = ms;
            result.worstLateBlock = b;
          }
        }
      } else if (Seconds(Clock::now() - lastAnswer) > config.timeout) {
        result.aborted = true;
        sending = false;  // the rest goes to the sink as silence, unsent
      }
    }
    if (!answered) {
      ++result.unanswered;
      for (auto& channel : outputs)
        std::fill(channel.begin(), channel.begin() + static_cast<std::ptrdiff_t>(count), 0.0f);
    }
    NoteGap(result, b, answered);
    sink.Block(b, source, numSource, outputs, numOut, count, answered);
    result.framesDone += count;
    bar.Update(b + 1, result.unanswered);
    if (config.realtime && sending) {
      next += blockDuration;
      std::this_thread::sleep_until(next);
    }
  }
  result.elapsedSeconds = Seconds(Clock::now() - started);
  bar.Finish(result.framesDone == frames ? totalBlocks : static_cast<size_t>(result.framesDone / blockFrames),
             result.unanswered);

  {
    CWatchedCall call(dog, "effIdle");
    idle.Stop();
  }
  Dispatch("effStopProcess", effStopProcess);
  Dispatch("effMainsChanged (suspend)", effMainsChanged, 0, 0);
  return result;
}

}  // namespace tovik::host
