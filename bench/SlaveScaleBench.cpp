// One tovik-slave, N plug-in connections relaying at once: 256-frame blocks of
// 2 channels at 48 kHz (32-bit float wire audio), each connection paced in real
// time on its own thread. Prints per N the p50 and p99 round trip and the
// blocks whose round trip exceeded the block period (5.33 ms). A measurement,
// not a test. Usage: tovik_bench_slave_scale [N ...] (default 1 8 32 64).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackClient.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFrames = 256;
constexpr int kChannels = 2;
constexpr int kBlocks = 1500;
constexpr double kPeriodUs = 1e6 * kFrames / 48000.0;
constexpr size_t kAudio = size_t{kFrames} * kChannels * 4;

using tovik::bench::Connect;
using tovik::bench::Put;
using tovik::bench::ReadAll;
using tovik::bench::SendAll;

// One instance: handshake, then kBlocks paced blocks; round trips in us.
void Instance(int port, int index, Clock::time_point start, std::vector<double>* trips,
              std::atomic<int>* wrong) {
  const int fd = Connect(port);
  if (fd < 0) return;
  std::vector<unsigned char> hs;
  Put(hs, 3);
  hs.push_back(1);
  hs.push_back(8);
  Put(hs, 5), Put(hs, kChannels), Put(hs, kChannels), Put(hs, 1), Put(hs, 1);
  Put(hs, 7);
  const float rate = 48000.0f;
  unsigned char raw[4];
  std::memcpy(raw, &rate, 4);
  hs.insert(hs.end(), raw, raw + 4);
  Put(hs, 8), Put(hs, kFrames), Put(hs, 16), Put(hs, 1), Put(hs, 13);
  unsigned char reply[22];
  if (!SendAll(fd, hs.data(), hs.size()) || !ReadAll(fd, reply, sizeof reply)) {
    close(fd);
    return;
  }
  std::vector<unsigned char> block;
  Put(block, 11);
  block.resize(block.size() + 88, 0);
  Put(block, 0), Put(block, 4), Put(block, kChannels), Put(block, kFrames);
  const size_t audioAt = block.size();
  block.resize(block.size() + kAudio);
  std::vector<unsigned char> answer(16 + kAudio);
  trips->reserve(kBlocks);
  for (int b = 0; b < kBlocks; ++b) {
    for (size_t i = 0; i < kAudio; ++i) block[audioAt + i] = static_cast<unsigned char>(index * 31 + b + i);
    std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<int64_t>(b * kPeriodUs)));
    const Clock::time_point sent = Clock::now();
    if (!SendAll(fd, block.data(), block.size()) || !ReadAll(fd, answer.data(), answer.size())) break;
    trips->push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    if (std::memcmp(answer.data() + 16, block.data() + audioAt, kAudio) != 0) ++*wrong;
  }
  unsigned char bye[4] = {2, 0, 0, 0};
  SendAll(fd, bye, 4);
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  const char* program = std::getenv("TOVIK_BENCH_SLAVE");
  if (program == nullptr || *program == '\0') program = TOVIK_SLAVE_PATH;
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {1, 8, 32, 64};
  const int port = 20000 + static_cast<int>(getpid() % 20000);
  const pid_t pid = fork();
  if (pid == 0) {
    const std::string portText = std::to_string(port);
    execl(program, program, "--port", portText.c_str(), "--quiet", "--max-connections", "256",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 100; ++i) {
    const int fd = Connect(port);
    if (fd >= 0) {
      close(fd);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::printf("%d blocks of %d frames x %d channels per instance, paced at %.2f ms\n", kBlocks, kFrames,
              kChannels, kPeriodUs / 1000);
  std::printf("%6s %10s %10s %10s %8s %8s\n", "N", "blocks", "p50 (us)", "p99 (us)", "late", "wrong");
  for (int n : counts) {
    std::vector<std::vector<double>> trips(static_cast<size_t>(n));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    const Clock::time_point start = Clock::now() + std::chrono::milliseconds(200);
    for (int i = 0; i < n; ++i) {
      threads.emplace_back(Instance, port, i,
                           start + std::chrono::microseconds(static_cast<int64_t>(i * kPeriodUs / n)),
                           &trips[static_cast<size_t>(i)], &wrong);
    }
    for (std::thread& t : threads) t.join();
    std::vector<double> all;
    for (const auto& t : trips) all.insert(all.end(), t.begin(), t.end());
    std::sort(all.begin(), all.end());
    const size_t late =
        static_cast<size_t>(std::count_if(all.begin(), all.end(), [](double us) { return us > kPeriodUs; }));
    const double p50 = all.empty() ? 0 : all[all.size() / 2];
    const double p99 =
        all.empty() ? 0
                    : all[std::min(all.size() - 1, static_cast<size_t>(std::ceil(0.99 * all.size())) - 1)];
    std::printf("%6d %10zu %10.1f %10.1f %8zu %8d\n", n, all.size(), p50, p99, late, wrong.load());
    std::fflush(stdout);
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return 0;
}
