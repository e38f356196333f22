// What hosting a plug-in costs in tovik-slave: one slave running a chain of
// one stereo LSP parametric equaliser (LV2), N connections at once (512-frame
// blocks of 2 channels at 48 kHz, 32-bit float wire audio), each paced in real
// time on its own thread. For each N it reports:
//   - the round trip (block sent to answer read), p50 and p99;
//   - the plug-ins' own time per block and the hosting time around it (wire
//     decoding and encoding, channel mapping, event conversion), from the
//     slave's end line of each connection;
//   - the round trip less the plug-ins' time, against the floor: a raw
//     ping-pong of the same bytes with a peer process per connection (as the
//     slave has), N connections paced the same way, in the same run;
//   - the hosting time as a share of the block period (10.67 ms), against the
//     goal of under 2 us per block.
// A report, not a test: it fails only when it cannot run at all, and skips
// (exit 0) when the equaliser is not installed.
// Usage: tovik_bench_slave_hosting [--blocks B] [N ...] (default 300 blocks,
// N = 1 8 32).
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
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackClient.h"
#include "PluginChain.h"
#include "link/TransferBlock.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFrames = 512;
constexpr int kChannels = 2;
constexpr double kRate = 48000.0;
constexpr double kPeriodUs = 1e6 * kFrames / kRate;
constexpr size_t kAudio = size_t{kFrames} * kChannels * 4;
// msgProcess: code, time record, event length (0), B, C, N, audio.
constexpr size_t kRequest = 4 + kTimeInfoBytes + 4 + 12 + kAudio;
// The answer: code, B, C, N, audio.
constexpr size_t kAnswer = 16 + kAudio;
constexpr double kGoalUs = 2.0;

const char kEqualiser[] = "http://lsp-plug.in/plugins/lv2/para_equalizer_x16_stereo";
// Three bands at work: a bell at 1 kHz (+6 dB), a high shelf at 8 kHz (-6 dB)
// and a high-pass at 40 Hz.
const char* const kSettings[] = {"ft_0=1",   "f_0=1000", "g_0=2",  "q_0=1", "ft_1=3",
                                 "f_1=8000", "g_1=0.5",  "ft_2=2", "f_2=40"};

using tovik::bench::Connect;
using tovik::bench::NoDelay;
using tovik::bench::Put;
using tovik::bench::ReadAll;
using tovik::bench::SendAll;

// A listening loopback socket on a free port.
int Listen(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 128) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

int FreePort() {
  int port = 0;
  const int fd = Listen(&port);
  if (fd >= 0) close(fd);
  return port;
}

// The floor: a process that takes connections and gives each a process of
// its own, which answers every kRequest bytes with kAnswer bytes.
pid_t StartPingPongPeer(int listener) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  signal(SIGCHLD, SIG_IGN);  // the connection processes are reaped by the system
  for (;;) {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    if (fork() == 0) {
      close(listener);
      NoDelay(fd);
      std::vector<unsigned char> request(kRequest), answer(kAnswer, 0);
      while (ReadAll(fd, request.data(), request.size()) && SendAll(fd, answer.data(), answer.size())) {
      }
      _exit(0);
    }
    close(fd);
  }
}

// One connection: the handshake (slave only), then paced blocks; round trips
// in us.
void Instance(int port, bool handshake, int blocks, int index, Clock::time_point start,
              std::vector<double>* trips) {
  const int fd = Connect(port);
  if (fd < 0) return;
  if (handshake) {
    std::vector<unsigned char> hs;
    Put(hs, msgHello);
    hs.push_back(1);
    hs.push_back(8);
    Put(hs, msgSetIo), Put(hs, kChannels), Put(hs, kChannels), Put(hs, 1), Put(hs, 1);
    Put(hs, msgSetSampleRate);
    const float rate = static_cast<float>(kRate);
    unsigned char raw[4];
    std::memcpy(raw, &rate, 4);
    hs.insert(hs.end(), raw, raw + 4);
    Put(hs, msgSetBlockSize), Put(hs, kFrames), Put(hs, msgGetInfo), Put(hs, msgOpen), Put(hs, msgResume);
    unsigned char reply[6 + 16];
    if (!SendAll(fd, hs.data(), hs.size()) || !ReadAll(fd, reply, sizeof reply)) {
      close(fd);
      return;
    }
  }
  std::vector<unsigned char> block;
  Put(block, msgProcess);
  block.resize(block.size() + kTimeInfoBytes, 0);
  Put(block, 0), Put(block, 4), Put(block, kChannels), Put(block, kFrames);
  const size_t audioAt = block.size();
  block.resize(block.size() + kAudio);
  // A quiet noise, so that the equaliser's filters work on real numbers.
  uint32_t seed = 12345u + static_cast<uint32_t>(index);
  for (size_t i = 0; i < size_t{kFrames} * kChannels; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const float sample = static_cast<float>(static_cast<int32_t>(seed) >> 8) / 16777216.0f * 0.25f;
    std::memcpy(block.data() + audioAt + i * 4, &sample, 4);
  }
  std::vector<unsigned char> answer(kAnswer);
  trips->reserve(static_cast<size_t>(blocks));
  for (int b = 0; b < blocks; ++b) {
    std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<int64_t>(b * kPeriodUs)));
    const Clock::time_point sent = Clock::now();
    if (!SendAll(fd, block.data(), block.size()) || !ReadAll(fd, answer.data(), answer.size())) break;
    trips->push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
  }
  if (handshake) {
    std::vector<unsigned char> bye;
    Put(bye, msgClose);
    SendAll(fd, bye.data(), bye.size());
  }
  close(fd);
}

struct Trips {
  size_t count = 0;
  double p50 = 0.0, p99 = 0.0;
};

// N paced connections at once, each starting a fraction of a period after
// the one before.
Trips Round(int port, bool handshake, int n, int blocks) {
  std::vector<std::vector<double>> trips(static_cast<size_t>(n));
  std::vector<std::thread> threads;
  const Clock::time_point start = Clock::now() + std::chrono::milliseconds(300);
  for (int i = 0; i < n; ++i) {
    threads.emplace_back(Instance, port, handshake, blocks, i,
                         start + std::chrono::microseconds(static_cast<int64_t>(i * kPeriodUs / n)),
                         &trips[static_cast<size_t>(i)]);
  }
  for (std::thread& t : threads) t.join();
  std::vector<double> all;
  for (const auto& t : trips) all.insert(all.end(), t.begin(), t.end());
  std::sort(all.begin(), all.end());
  Trips result;
  result.count = all.size();
  if (!all.empty()) {
    result.p50 = all[all.size() / 2];
    result.p99 = all[std::min(all.size() - 1, static_cast<size_t>(std::ceil(0.99 * all.size())) - 1)];
  }
  return result;
}

// The slave's log, read on a thread of its own so that the pipe never fills.
class SlaveLog {
 public:
  explicit SlaveLog(int fd) : fd_(fd), thread_([this] { Read(); }) {}
  ~SlaveLog() {
    thread_.join();
    close(fd_);
  }
  // Waits until the log holds at least count lines containing text.
  std::vector<std::string> WaitForLines(const std::string& text, size_t count, int timeoutMs) {
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      std::vector<std::string> found;
      {
        std::lock_guard<std::mutex> hold(lock_);
        for (const std::string& line : lines_) {
          if (line.find(text) != std::string::npos) found.push_back(line);
        }
        if (found.size() >= count || ended_ || Clock::now() >= until) return found;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  bool Ended() {
    std::lock_guard<std::mutex> hold(lock_);
    return ended_;
  }
  std::string Text() {
    std::lock_guard<std::mutex> hold(lock_);
    std::string text;
    for (const std::string& line : lines_) text += line + "\n";
    return text;
  }

 private:
  void Read() {
    std::string partial;
    char chunk[4096];
    for (;;) {
      const ssize_t got = read(fd_, chunk, sizeof chunk);
      if (got <= 0) break;
      partial.append(chunk, static_cast<size_t>(got));
      size_t end;
      while ((end = partial.find('\n')) != std::string::npos) {
        std::lock_guard<std::mutex> hold(lock_);
        lines_.push_back(partial.substr(0, end));
        partial.erase(0, end + 1);
      }
    }
    std::lock_guard<std::mutex> hold(lock_);
    ended_ = true;
  }

  int fd_;
  std::mutex lock_;
  std::vector<std::string> lines_;
  bool ended_ = false;
  std::thread thread_;
};

struct ChainTimes {
  uint64_t blocks = 0;
  double pluginUs = 0.0, hostingUs = 0.0, serviceUs = 0.0;  // per block
};

// Sums the end lines "... N blocks, ...; plug-ins X us/block, hosting Y
// us/block, service Z us/block" of the connections, weighted by their blocks.
ChainTimes Collect(const std::vector<std::string>& lines) {
  ChainTimes sum;
  double plugins = 0.0, hosting = 0.0, service = 0.0;
  for (const std::string& line : lines) {
    const size_t at = line.find("; plug-ins ");
    const size_t count = line.find(" blocks, ");
    if (at == std::string::npos || count == std::string::npos) continue;
    size_t start = line.rfind(' ', count - 1);
    const unsigned long long blocks = std::strtoull(line.c_str() + start + 1, nullptr, 10);
    double p = 0, h = 0, s = 0;
    if (std::sscanf(line.c_str() + at, "; plug-ins %lf us/block, hosting %lf us/block, service %lf us/block",
                    &p, &h, &s) != 3) {
      continue;
    }
    sum.blocks += blocks;
    plugins += p * static_cast<double>(blocks);
    hosting += h * static_cast<double>(blocks);
    service += s * static_cast<double>(blocks);
  }
  if (sum.blocks > 0) {
    const double n = static_cast<double>(sum.blocks);
    sum.pluginUs = plugins / n;
    sum.hostingUs = hosting / n;
    sum.serviceUs = service / n;
  }
  return sum;
}

// The same chain in this process, block after block with nothing in between
// (caches warm): what the hosting code itself costs, without the cold start
// each paced block of a connection that sleeps between blocks pays.
bool BackToBack(int blocks, double* pluginUs, double* hostingUs) {
  using namespace tovik::slave::hosting;
  CChainBuilder builder;
  std::string error;
  std::vector<std::string> warnings;
  if (!builder.AddPlugin(kEqualiser, &error)) return false;
  for (const char* setting : kSettings) {
    if (!builder.AddSetting(setting, &error, &warnings)) return false;
  }
  CPluginChain chain(builder.Take());
  if (!chain.Configure(kRate, kFrames, kChannels, &error)) return false;
  chain.Activate();
  std::vector<unsigned char> in(kAudio), out(kAudio), time(kTimeInfoBytes, 0);
  for (size_t i = 0; i < size_t{kFrames} * kChannels; ++i) {
    const float sample = static_cast<float>((i * 7919) % 1000) / 4000.0f;
    std::memcpy(in.data() + i * 4, &sample, 4);
  }
  CEventList events;
  for (int b = 0; b < 100; ++b) {
    chain.SetTimeRecord(time.data());
    chain.ProcessWire(4, kChannels, kFrames, in.data(), out.data(), kChannels, events, nullptr);
  }
  const int64_t pluginsBefore = chain.PluginNanoseconds();
  const Clock::time_point start = Clock::now();
  for (int b = 0; b < blocks; ++b) {
    chain.SetTimeRecord(time.data());
    chain.ProcessWire(4, kChannels, kFrames, in.data(), out.data(), kChannels, events, nullptr);
  }
  const double total = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  *pluginUs = static_cast<double>(chain.PluginNanoseconds() - pluginsBefore) / 1e3 / blocks;
  *hostingUs = total / blocks - *pluginUs;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* program = std::getenv("TOVIK_BENCH_SLAVE");
  if (program == nullptr || *program == '\0') program = TOVIK_SLAVE_PATH;
  int blocks = 300;
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--blocks") == 0 && i + 1 < argc) {
      blocks = std::max(10, std::atoi(argv[++i]));
    } else {
      counts.push_back(std::max(1, std::atoi(argv[i])));
    }
  }
  if (counts.empty()) counts = {1, 8, 32};
  signal(SIGPIPE, SIG_IGN);

  const int port = FreePort();
  int logPipe[2];
  if (port <= 0 || pipe(logPipe) != 0) {
    std::fprintf(stderr, "tovik_bench_slave_hosting: no port or pipe\n");
    return 1;
  }
  std::fflush(nullptr);
  const pid_t slave = fork();
  if (slave == 0) {
    dup2(logPipe[1], 2);
    close(logPipe[0]);
    close(logPipe[1]);
    const std::string portText = std::to_string(port);
    std::vector<const char*> args{program, "--port",   portText.c_str(), "--max-connections",
                                  "256",   "--plugin", kEqualiser};
    for (const char* setting : kSettings) {
      args.push_back("--set");
      args.push_back(setting);
    }
    args.push_back(nullptr);
    execv(program, const_cast<char* const*>(args.data()));
    _exit(127);
  }
  close(logPipe[1]);
  SlaveLog log(logPipe[0]);
  const std::vector<std::string> ready = log.WaitForLines("every connection runs", 1, 60000);
  if (ready.empty()) {
    int status = 0;
    const bool ended = waitpid(slave, &status, WNOHANG) == slave || log.Ended();
    if (!ended) kill(slave, SIGKILL);
    waitpid(slave, &status, 0);
    const std::string text = log.Text();
    if (text.find(kEqualiser) != std::string::npos || text.find("without lilv") != std::string::npos) {
      std::printf("skipped: tovik-slave cannot run %s (lsp-plugins-lv2 installed?):\n%s", kEqualiser,
                  text.c_str());
      return 0;
    }
    std::fprintf(stderr, "tovik_bench_slave_hosting: %s did not start:\n%s", program, text.c_str());
    return 1;
  }

  int peerPort = 0;
  const int listener = Listen(&peerPort);
  const pid_t peer = listener >= 0 ? StartPingPongPeer(listener) : -1;
  if (listener >= 0) close(listener);

  std::printf("chain: %s (stereo, three bands at work)\n", kEqualiser);
  std::printf(
      "%d blocks of %d frames x %d channels at %g Hz per connection, 32-bit float wire, paced at %.2f ms\n",
      blocks, kFrames, kChannels, kRate, kPeriodUs / 1000);
  std::printf("round trips and ping-pong floor in us (p50 / p99); per-block times from the slave in us\n");
  std::printf("%4s %17s %9s %9s %17s %7s %9s %9s %9s %6s\n", "N", "round trip", "plug-ins", "rt-plug",
              "ping-pong", "ratio", "hosting", "% period", "service", "goal");
  bool allRan = true;
  size_t ended = 0;
  for (int n : counts) {
    const Trips relay = Round(port, true, n, blocks);
    ended += static_cast<size_t>(n);
    // This round's end lines come after those of the rounds before.
    std::vector<std::string> lines = log.WaitForLines("; plug-ins ", ended, 10000);
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(
                                                   std::min(lines.size(), ended - static_cast<size_t>(n))));
    const ChainTimes round = Collect(lines);
    const Trips floor = peer > 0 ? Round(peerPort, false, n, blocks) : Trips{};
    const double less = relay.p50 - round.pluginUs;
    char ratio[16] = "-";
    if (floor.p50 > 0.0) std::snprintf(ratio, sizeof ratio, "%.2fx", less / floor.p50);
    const bool met = round.blocks > 0 && round.hostingUs < kGoalUs;
    std::printf("%4d %8.1f / %6.1f %9.2f %9.1f %8.1f / %6.1f %7s %9.2f %8.4f%% %9.1f %6s\n", n, relay.p50,
                relay.p99, round.pluginUs, less, floor.p50, floor.p99, ratio, round.hostingUs,
                100.0 * round.hostingUs / kPeriodUs, round.serviceUs,
                round.blocks == 0 ? "?"
                : met             ? "met"
                                  : "missed");
    std::fflush(stdout);
    if (relay.count != static_cast<size_t>(n) * static_cast<size_t>(blocks) || round.blocks == 0)
      allRan = false;
  }
  double warmPlugins = 0.0, warmHosting = 0.0;
  if (BackToBack(20 * blocks, &warmPlugins, &warmHosting)) {
    std::printf(
        "back to back in one process (warm caches), %d blocks: plug-ins %.2f us/block, hosting %.2f "
        "us/block (%.4f%% of the period)\n",
        20 * blocks, warmPlugins, warmHosting, 100.0 * warmHosting / kPeriodUs);
  }
  std::printf(
      "goal: hosting adds under %.0f us per block beyond the plug-ins' own work "
      "(hosting = the chain's time in the slave less the plug-ins' process calls)\n",
      kGoalUs);
  if (peer > 0) {
    kill(peer, SIGKILL);
    waitpid(peer, nullptr, 0);
  }
  kill(slave, SIGTERM);
  int status = 0;
  waitpid(slave, &status, 0);
  if (!allRan) {
    std::printf("some blocks were not answered:\n%s", log.Text().c_str());
    return 1;
  }
  return 0;
}
