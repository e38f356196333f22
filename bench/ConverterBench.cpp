// Wire encoders and decoders against memcpy of the same float bytes, in one run.
//
// One block is 16 channels of 512 frames, the host channels and the wire area 16-byte aligned as the
// transfer block provides them. Each wire code is encoded and decoded with the plain table and with the
// processor's selection; after the run a table gives each CPU time as a multiple of the memcpy time (the
// fastest repetition of each, with --benchmark_repetitions).
// Targets: codes 2 and 4 within 2x memcpy, codes 1 and 3 within 3x.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "formats/SampleOps.h"
#include "formats/SimdSelect.h"
#include "formats/WireFormat.h"

namespace {

constexpr int32_t kChannels = 16;
constexpr int32_t kFrames = 512;

// A 16-byte aligned block of bytes.
class AlignedBytes {
 public:
  explicit AlignedBytes(size_t size) : raw_(size + 16) {
    const auto address = reinterpret_cast<uintptr_t>(raw_.data());
    start_ = raw_.data() + ((16 - address % 16) % 16);
  }
  unsigned char* data() { return start_; }
  float* floats() { return static_cast<float*>(static_cast<void*>(start_)); }

 private:
  std::vector<unsigned char> raw_;
  unsigned char* start_ = nullptr;
};

struct Block {
  AlignedBytes host{sizeof(float) * kChannels * kFrames};
  AlignedBytes back{sizeof(float) * kChannels * kFrames};
  AlignedBytes wire{sizeof(float) * kChannels * kFrames};

  Block() {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> signal(-1.0f, 1.0f);
    for (int32_t i = 0; i < kChannels * kFrames; ++i) host.floats()[i] = signal(random);
    std::memset(wire.data(), 0, sizeof(float) * kChannels * kFrames);
  }
  float* channel(AlignedBytes& area, int32_t c) { return area.floats() + static_cast<size_t>(c) * kFrames; }
};

Block& TheBlock() {
  static Block block;
  return block;
}

enum Variant { kPlain = 0, kSimd = 1 };

void UseVariant(int64_t variant) {
  UsePlainSampleOps();
  if (variant == kSimd) {
    SelectSseOps();
    SelectSse2Ops();
  }
}

void BM_Memcpy(benchmark::State& state) {
  Block& b = TheBlock();
  for (auto _ : state) {
    for (int32_t c = 0; c < kChannels; ++c)
      std::memcpy(b.channel(b.back, c), b.channel(b.host, c), sizeof(float) * kFrames);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kChannels * kFrames * static_cast<int64_t>(sizeof(float)));
}

void BM_Encode(benchmark::State& state) {
  const auto code = static_cast<int32_t>(state.range(0));
  UseVariant(state.range(1));
  Block& b = TheBlock();
  for (auto _ : state) {
    unsigned char* out = b.wire.data();
    for (int32_t c = 0; c < kChannels; ++c) out += EncodeChannel(code, b.channel(b.host, c), out, kFrames);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kChannels * kFrames * static_cast<int64_t>(sizeof(float)));
  UsePlainSampleOps();
}

void BM_Decode(benchmark::State& state) {
  const auto code = static_cast<int32_t>(state.range(0));
  UseVariant(state.range(1));
  Block& b = TheBlock();
  {
    unsigned char* out = b.wire.data();
    for (int32_t c = 0; c < kChannels; ++c) out += EncodeChannel(code, b.channel(b.host, c), out, kFrames);
  }
  for (auto _ : state) {
    const unsigned char* in = b.wire.data();
    for (int32_t c = 0; c < kChannels; ++c, in += static_cast<size_t>(kFrames) * code)
      DecodeChannel(code, in, b.channel(b.back, c), kFrames);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kChannels * kFrames * static_cast<int64_t>(sizeof(float)));
  UsePlainSampleOps();
}

BENCHMARK(BM_Memcpy);
BENCHMARK(BM_Encode)->ArgNames({"code", "simd"})->ArgsProduct({{1, 2, 3, 4}, {kPlain, kSimd}});
BENCHMARK(BM_Decode)->ArgNames({"code", "simd"})->ArgsProduct({{1, 2, 3, 4}, {kPlain, kSimd}});

// Keeps the console output and remembers each benchmark's time per iteration for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      // With repetitions the fastest run counts: the machine may be shared.
      std::string name = run.benchmark_name();
      name = name.substr(0, name.find("/repeats:"));
      const double time = run.GetAdjustedCPUTime();
      const auto it = times_.find(name);
      if (it == times_.end() || time < it->second) times_[name] = time;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    const auto base = times_.find("BM_Memcpy");
    if (base == times_.end() || base->second <= 0) return;
    std::printf("\nTime as a multiple of memcpy (%d channels x %d frames, %.0f ns CPU):\n", kChannels,
                kFrames, base->second);
    std::printf("%-6s %-8s %10s %10s %8s\n", "code", "op", "plain", "simd", "target");
    for (int code = 1; code <= 4; ++code) {
      for (const char* op : {"Encode", "Decode"}) {
        const double plain = Ratio(op, code, kPlain), simd = Ratio(op, code, kSimd);
        std::printf("%-6d %-8s %9.2fx %9.2fx %7.0fx\n", code, op, plain, simd,
                    code == 1 || code == 3 ? 3.0 : 2.0);
      }
    }
  }

 private:
  double Ratio(const char* op, int code, int variant) const {
    const std::string name =
        std::string("BM_") + op + "/code:" + std::to_string(code) + "/simd:" + std::to_string(variant);
    const auto it = times_.find(name);
    return it == times_.end() ? 0.0 : it->second / times_.at("BM_Memcpy");
  }

  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
