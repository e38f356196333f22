// How long a host's process call can take while the slave cannot be reached.
//
// Drives one CTovik (the effect's relay object, linked statically) as a host
// that never sends idle calls: resume, then processReplacing of 64 frames at
// 48 kHz in a loop on an "audio" thread, one call about every millisecond
// (--no-pace: back to back), each call timed with steady_clock. A "main"
// thread meanwhile changes what the relay sees: the slave's address (through
// a chunk), a slave process started, killed or restarted. Cases:
//
//   a        nothing listens on the port
//   b        a listener whose accept queue is full: connection requests are
//            dropped and a connect never completes
//   c        a name whose resolution takes 3 s (a slow resolver put into the
//            socket-function table); a slave listens behind it
//   c-down   the same slow name, nothing listening behind it
//   d        a slave relaying, killed after 2 s, started again 3 s later
//   e        the slave started 1.5 s after the loop begins
//
// Connection attempts are counted in the socket-function table: every socket
// the link opens is one attempt, every getaddrinfo one resolution; those made
// on the audio thread are counted apart.
//
// A measurement, not a test: it prints a report and exits 0 whatever the
// figures are (1 only for a usage error or a case that could not be set up).
// Each case stops after --calls calls or --max-seconds of wall time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "QuietHost.h"
#include "SlaveProcess.h"
#include "platform/UserStore.h"
#include "relay/BuildConstants.h"
#include "relay/Tovik.h"
#include "support/ScopedConfigHome.h"
#include "support/TovikInspector.h"

namespace {

using Clock = std::chrono::steady_clock;
using I = TovikInspector;
using tovik::test::QuietHost;
using tovik::test::SlaveProcess;

constexpr VstInt32 kFrames = 64;
constexpr float kSampleRate = 48000.0f;
constexpr int kChannels = 2;
constexpr float kUntouched = 7.0f;
constexpr float kSignal = 0.25f;
constexpr int kSlowResolveMs = 3000;
constexpr const char* kSlowName = "localhost";

struct Options {
  long calls = 10000;
  double maxSeconds = 30.0;
  bool pace = true;
  int periodUs = 1000;
  std::vector<std::string> cases;
};

double MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// --- Counting wrappers for the socket-function table --------------------------------------------

using SocketFn = decltype(ws::Winsock2Table::socket);
using GetaddrinfoFn = decltype(ws::Winsock2Table::getaddrinfo);

SocketFn realSocket = nullptr;
GetaddrinfoFn realGetaddrinfo = nullptr;
thread_local bool onAudioThread = false;

constexpr int kMaxAttemptTimes = 16384;
std::atomic<int64_t> attemptTimes[kMaxAttemptTimes];  // ns on the steady clock
std::atomic<int> attempts{0};
std::atomic<int> audioAttempts{0};
std::atomic<int> resolutions{0};
std::atomic<int> audioResolutions{0};
std::atomic<int> slowResolutions{0};
std::atomic<bool> slowResolver{false};

void ResetCounts() {
  attempts = 0;
  audioAttempts = 0;
  resolutions = 0;
  audioResolutions = 0;
  slowResolutions = 0;
}

ws::SOCKET CountingSocket(int family, int type, int protocol) {
  const int n = attempts.fetch_add(1);
  if (n < kMaxAttemptTimes) attemptTimes[n] = Clock::now().time_since_epoch().count();
  if (onAudioThread) ++audioAttempts;
  return realSocket ? realSocket(family, type, protocol) : ws::kInvalidSocket;
}

// The slow resolver: the chosen name takes kSlowResolveMs before the real
// resolver answers; every other name (the literals) is answered at once.
int CountingGetaddrinfo(const char* node, const char* service, const ws::addrinfo* hints,
                        ws::addrinfo** result) {
  ++resolutions;
  if (onAudioThread) ++audioResolutions;
  if (slowResolver && node && std::strcmp(node, kSlowName) == 0) {
    ++slowResolutions;
    SleepMs(kSlowResolveMs);
  }
  return realGetaddrinfo ? realGetaddrinfo(node, service, hints, result) : -1;
}

// Puts the counting entries into the instance's table (the real entries are
// the same adapters for every instance).
void InstallCounters(CTovik& t) {
  ws::Winsock2Table& fn = I::Sockets(t);
  if (fn.socket != &CountingSocket) {
    realSocket = fn.socket;
    fn.socket = &CountingSocket;
  }
  if (!realGetaddrinfo) realGetaddrinfo = fn.getaddrinfo;
  fn.getaddrinfo = &CountingGetaddrinfo;
}

// --- The blackhole: a listener whose accept queue is full ----------------------------------------

class Blackhole {
 public:
  ~Blackhole() {
    for (int s : fillers_) close(s);
    if (listener_ >= 0) close(listener_);
  }

  // False when the queue could not be filled (a connect still completes).
  bool Open() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 0) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return false;
    address_ = address;
    // Never accepted: once the queue holds its one connection, further
    // connection requests are dropped.
    for (int i = 0; i < 3; ++i) {
      const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      connect(s, reinterpret_cast<sockaddr*>(&address_), sizeof address_);
      fillers_.push_back(s);
    }
    SleepMs(50);
    return ProbeHangs();
  }

  unsigned Port() const { return ntohs(address_.sin_port); }

 private:
  // A further non-blocking connect is still in progress after 200 ms.
  bool ProbeHangs() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) return false;
    connect(s, reinterpret_cast<sockaddr*>(&address_), sizeof address_);
    SleepMs(200);
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length);
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    const bool connected = getpeername(s, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0;
    close(s);
    return !connected && error == 0;
  }

  int listener_ = -1;
  sockaddr_in address_{};
  std::vector<int> fillers_;
};

// --- One run ----------------------------------------------------------------------------------

struct CallRecord {
  double atMs;  // when the call began, from the loop's start
  float ms;
  bool relayed;
  bool connected;
};

struct Run {
  std::string name;
  std::string what;
  std::vector<CallRecord> calls;
  double wallSeconds = 0;
  int attempts = 0;
  int audioAttempts = 0;
  int resolutions = 0;
  int audioResolutions = 0;
  int slowResolutions = 0;
  std::vector<double> attemptOffsetsMs;  // from the loop's start
  // Milliseconds from the loop's start; negative when it did not happen.
  double firstConnectedMs = -1;
  double killedMs = -1;
  double startingMs = -1;   // the slave is started again (d) or for the first time (e)
  double restartedMs = -1;  // and found listening (its port polled every 5 ms)
  double reconnectedMs = -1;
  double chunkMs = -1;  // how long the main thread's setChunk took (c)
  double chunkAtMs = -1;
  bool setUpFailed = false;

  Run() = default;
  Run(std::string caseName, std::string description)
      : name(std::move(caseName)), what(std::move(description)) {}
};

std::unique_ptr<CTovik> MakeInstance(unsigned port) {
  auto t = std::make_unique<CTovik>(QuietHost::Callback());
  InstallCounters(*t);
  std::string text = "Host=127.0.0.1\nPort=" + std::to_string(port) + "\n";
  t->setChunk(text.data(), static_cast<VstInt32>(text.size() + 1), false);
  t->setBlockSizeAndSampleRate(kFrames, kSampleRate);
  t->resume();
  return t;
}

// The audio thread's loop. `scenario` runs on the calling (main) thread
// while the loop runs and is given the loop's start; the loop ends after
// opt.calls calls once `scenarioDone` is set, or at the wall-time cap.
void Drive(
    CTovik& t, const Options& opt, Run& run,
    const std::function<void(Clock::time_point, const std::atomic<bool>& stop)>& scenario,
    const std::function<bool()>& scenarioDone = [] { return true; }) {
  std::vector<std::vector<float>> in(kChannels, std::vector<float>(kFrames, kSignal));
  std::vector<std::vector<float>> out(kChannels, std::vector<float>(kFrames, kUntouched));
  float* inputs[kChannels] = {in[0].data(), in[1].data()};
  float* outputs[kChannels] = {out[0].data(), out[1].data()};
  run.calls.reserve(static_cast<size_t>(opt.calls) + 200000);

  ResetCounts();
  std::atomic<bool> stop{false};
  std::atomic<bool> started{false};
  Clock::time_point start;
  const auto cap = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt.maxSeconds));
  const auto period = std::chrono::microseconds(opt.periodUs);

  std::thread audio([&] {
    onAudioThread = true;
    start = Clock::now();
    started = true;
    Clock::time_point next = start;
    for (long i = 0;; ++i) {
      const Clock::time_point now = Clock::now();
      if (now - start >= cap) break;
      if (i >= opt.calls && scenarioDone()) break;
      if (opt.pace) {
        if (next > now) std::this_thread::sleep_until(next);
        next = std::max(next + period, Clock::now());
      }
      for (auto& c : out) std::fill(c.begin(), c.end(), kUntouched);
      const Clock::time_point before = Clock::now();
      t.processReplacing(inputs, outputs, kFrames);
      const Clock::time_point after = Clock::now();
      const bool connected = I::Connected(t);
      run.calls.push_back({MsBetween(start, before), static_cast<float>(MsBetween(before, after)),
                           out[0][0] == kSignal, connected});
      if (connected && run.firstConnectedMs < 0) run.firstConnectedMs = MsBetween(start, after);
    }
    stop = true;
    run.wallSeconds = MsBetween(start, Clock::now()) / 1000.0;
  });
  while (!started) std::this_thread::yield();
  scenario(start, stop);
  audio.join();

  // The connection formed again: the end of the first call that found it
  // connected after the slave was killed (d), or the first one at all (e).
  if (run.startingMs >= 0) {
    for (const CallRecord& c : run.calls) {
      if (c.connected && c.atMs > run.killedMs) {
        run.reconnectedMs = c.atMs + c.ms;
        break;
      }
    }
  }
  run.attempts = attempts;
  run.audioAttempts = audioAttempts;
  run.resolutions = resolutions;
  run.audioResolutions = audioResolutions;
  run.slowResolutions = slowResolutions;
  const int n = std::min(run.attempts, kMaxAttemptTimes);
  for (int i = 0; i < n; ++i) {
    const Clock::time_point at{Clock::duration(attemptTimes[i].load())};
    run.attemptOffsetsMs.push_back(MsBetween(start, at));
  }
}

// Sleeps until `ms` after `start`, or returns false when the loop stopped.
bool WaitUntil(Clock::time_point start, double ms, const std::atomic<bool>& stop) {
  while (!stop && MsBetween(start, Clock::now()) < ms) SleepMs(1);
  return !stop;
}

void Nothing(Clock::time_point, const std::atomic<bool>&) {}

Run CaseNotListening(const Options& opt) {
  Run run("a", "nothing listens on the port");
  auto t = MakeInstance(SlaveProcess::FreePort());
  Drive(*t, opt, run, Nothing);
  return run;
}

Run CaseBlackholed(const Options& opt) {
  Run run("b", "listener with a full accept queue (SYNs dropped)");
  Blackhole hole;
  if (!hole.Open()) {
    run.setUpFailed = true;
    return run;
  }
  auto t = MakeInstance(hole.Port());
  Drive(*t, opt, run, Nothing);
  t.reset();
  return run;
}

// The instance first points at a literal address nobody listens on; once the
// loop runs, the main thread gives it the slow name through a chunk.
Run CaseSlowName(const Options& opt, bool slaveListening) {
  Run run(slaveListening ? "c" : "c-down", std::string("name resolving in 3 s, ") +
                                               (slaveListening ? "slave listening" : "nothing listening"));
  SlaveProcess slave;
  unsigned port = SlaveProcess::FreePort();
  if (slaveListening) {
    if (!slave.Start({"--quiet"})) {
      run.setUpFailed = true;
      return run;
    }
    port = slave.Port();
  }
  auto t = MakeInstance(SlaveProcess::FreePort());
  slowResolver = true;
  Drive(*t, opt, run, [&](Clock::time_point start, const std::atomic<bool>& stop) {
    if (!WaitUntil(start, 100, stop)) return;
    std::string text = std::string("Host=") + kSlowName + "\nPort=" + std::to_string(port) + "\n";
    const Clock::time_point before = Clock::now();
    run.chunkAtMs = MsBetween(start, before);
    t->setChunk(text.data(), static_cast<VstInt32>(text.size() + 1), false);
    run.chunkMs = MsBetween(before, Clock::now());
  });
  t.reset();  // may resolve again: still slow
  slowResolver = false;
  return run;
}

Run CaseSlaveKilled(const Options& opt) {
  Run run("d", "slave killed after 2 s, started again 3 s later");
  SlaveProcess slave;
  if (!slave.Start({"--quiet"})) {
    run.setUpFailed = true;
    return run;
  }
  const unsigned port = slave.Port();
  auto t = MakeInstance(port);
  std::atomic<bool> done{false};
  Drive(
      *t, opt, run,
      [&](Clock::time_point start, const std::atomic<bool>& stop) {
        if (!WaitUntil(start, 2000, stop)) return;
        slave.Kill();
        run.killedMs = MsBetween(start, Clock::now());
        if (!WaitUntil(start, 5000, stop)) return;
        run.startingMs = MsBetween(start, Clock::now());
        if (slave.Start({"--quiet"}, port)) run.restartedMs = MsBetween(start, Clock::now());
        done = true;
      },
      [&] { return done && I::Connected(*t); });
  t.reset();
  return run;
}

Run CaseSlaveLate(const Options& opt) {
  Run run("e", "slave started 1.5 s after the loop begins");
  SlaveProcess slave;
  const unsigned port = SlaveProcess::FreePort();
  auto t = MakeInstance(port);
  std::atomic<bool> done{false};
  Drive(
      *t, opt, run,
      [&](Clock::time_point start, const std::atomic<bool>& stop) {
        if (!WaitUntil(start, 1500, stop)) return;
        run.startingMs = MsBetween(start, Clock::now());
        if (slave.Start({"--quiet"}, port)) run.restartedMs = MsBetween(start, Clock::now());
        done = true;
      },
      [&] { return done && I::Connected(*t); });
  t.reset();
  return run;
}

// --- Report -----------------------------------------------------------------------------------

double Percentile(std::vector<float> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t k = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size())));
  if (k > 0) --k;
  return v[std::min(k, v.size() - 1)];
}

std::string Ms(double ms) {
  char text[32];
  const double size = std::fabs(ms);
  std::snprintf(text, sizeof text, size < 10 ? "%.3f" : (size < 1000 ? "%.1f" : "%.0f"), ms);
  return text;
}

void PrintRun(const Run& run) {
  std::printf("\n(%s) %s\n", run.name.c_str(), run.what.c_str());
  if (run.setUpFailed) {
    std::printf("    could not be set up\n");
    return;
  }
  std::vector<float> all, quiet, relayed;
  long over1 = 0, over1Relayed = 0;
  for (size_t i = 0; i < run.calls.size(); ++i) {
    const CallRecord& c = run.calls[i];
    all.push_back(c.ms);
    (c.relayed ? relayed : quiet).push_back(c.ms);
    if (c.ms > 1.0f) ++over1;
    if (c.ms > 1.0f && c.relayed) ++over1Relayed;
  }
  std::printf("    calls %zu in %.1f s\n", run.calls.size(), run.wallSeconds);
  // A call that relayed a block includes the slave's own processing of it.
  std::printf(
      "    call duration ms: max %s  p99 %s  p50 %s   calls over 1 ms: %ld (%ld of them relayed a block)\n",
      Ms(Percentile(all, 1.0)).c_str(), Ms(Percentile(all, 0.99)).c_str(), Ms(Percentile(all, 0.5)).c_str(),
      over1, over1Relayed);
  std::printf("    calls that relayed a block: %zu", relayed.size());
  if (!relayed.empty()) std::printf(" (max %s ms)", Ms(Percentile(relayed, 1.0)).c_str());
  std::printf("; calls that did not: %zu", quiet.size());
  if (!quiet.empty()) std::printf(" (max %s ms)", Ms(Percentile(quiet, 1.0)).c_str());
  std::printf("\n");
  std::printf("    connection attempts (sockets opened): %d, %d of them in process calls\n", run.attempts,
              run.audioAttempts);
  std::printf("    name resolutions: %d, %d of them in process calls", run.resolutions, run.audioResolutions);
  if (run.slowResolutions) std::printf(" (%d of the slow name)", run.slowResolutions);
  std::printf("\n");
  if (run.attemptOffsetsMs.size() >= 2) {
    std::vector<float> gaps;
    for (size_t i = 1; i < run.attemptOffsetsMs.size(); ++i)
      gaps.push_back(static_cast<float>(run.attemptOffsetsMs[i] - run.attemptOffsetsMs[i - 1]));
    std::printf("    time between attempts ms: min %s  p50 %s  max %s\n", Ms(Percentile(gaps, 0.0)).c_str(),
                Ms(Percentile(gaps, 0.5)).c_str(), Ms(Percentile(gaps, 1.0)).c_str());
  }
  if (run.chunkAtMs >= 0)
    std::printf("    setChunk with the slow name at %s ms (main thread) took %s ms\n",
                Ms(run.chunkAtMs).c_str(), Ms(run.chunkMs).c_str());
  if (run.firstConnectedMs < 0)
    std::printf("    connection formed: never");
  else
    std::printf("    connection formed at: %s ms after the loop began", Ms(run.firstConnectedMs).c_str());
  if (run.chunkAtMs >= 0 && run.firstConnectedMs >= 0)
    std::printf(" (%s ms after setChunk began, %s ms after it returned)",
                Ms(run.firstConnectedMs - run.chunkAtMs).c_str(),
                Ms(run.firstConnectedMs - run.chunkAtMs - run.chunkMs).c_str());
  std::printf("\n");
  if (run.killedMs >= 0) std::printf("    slave killed at %s ms\n", Ms(run.killedMs).c_str());
  if (run.startingMs >= 0) {
    // The slave counts as listening once its port shows in /proc/net/tcp
    // (polled every 5 ms).
    std::printf("    slave started at %s ms, found listening at %s ms; connected %s",
                Ms(run.startingMs).c_str(), run.restartedMs < 0 ? "never" : Ms(run.restartedMs).c_str(),
                run.reconnectedMs < 0 ? "never" : "");
    if (run.reconnectedMs >= 0)
      std::printf(
          "at %s ms = %s ms after it was started, %s ms after it was found listening (goal: within 2000)",
          Ms(run.reconnectedMs).c_str(), Ms(run.reconnectedMs - run.startingMs).c_str(),
          Ms(run.reconnectedMs - run.restartedMs).c_str());
    std::printf("\n");
    // Blocks not relayed once the slave was gone, split by whether it could
    // be reached.
    long whileDown = 0, whileReachable = 0;
    for (const CallRecord& c : run.calls) {
      if (c.relayed) continue;
      if (run.killedMs >= 0 && c.atMs >= run.killedMs && c.atMs < run.startingMs) ++whileDown;
      if (c.atMs >= run.restartedMs && (run.reconnectedMs < 0 || c.atMs < run.reconnectedMs))
        ++whileReachable;
    }
    if (run.killedMs >= 0) std::printf("    blocks not relayed while the slave was down: %ld\n", whileDown);
    std::printf("    blocks not relayed while the slave listened, before the connection formed: %ld\n",
                whileReachable);
  }
}

// One line per case, for the table at the end.
void PrintSummary(const std::vector<Run>& runs) {
  std::printf(
      "\nSummary (durations in ms; attempts: all / in process calls; connected: ms after the loop\n"
      "began (start), after setChunk with the name returned (chunk), after the slave was started (again)\n"
      "(slave))\n");
  std::printf("%-7s %7s %7s %9s %8s %8s %7s %13s %14s %14s\n", "case", "calls", "wall s", "max", "p99", "p50",
              ">1 ms", "attempts", "min gap", "connected");
  for (const Run& run : runs) {
    if (run.setUpFailed) {
      std::printf("%-7s could not be set up\n", run.name.c_str());
      continue;
    }
    std::vector<float> all;
    long over1 = 0;
    for (const CallRecord& c : run.calls) {
      all.push_back(c.ms);
      if (c.ms > 1.0f) ++over1;
    }
    double minGap = -1;
    for (size_t i = 1; i < run.attemptOffsetsMs.size(); ++i) {
      const double gap = run.attemptOffsetsMs[i] - run.attemptOffsetsMs[i - 1];
      if (minGap < 0 || gap < minGap) minGap = gap;
    }
    // When the connection formed: after the chunk (c), after the slave
    // was started (d, e), else after the loop began.
    std::string connectedText = "never";
    if (run.startingMs >= 0) {
      if (run.reconnectedMs >= 0) connectedText = "+" + Ms(run.reconnectedMs - run.startingMs) + " slave";
    } else if (run.firstConnectedMs >= 0) {
      // After the chunk returned, that is once the name was resolved.
      connectedText = run.chunkAtMs >= 0
                          ? "+" + Ms(run.firstConnectedMs - run.chunkAtMs - run.chunkMs) + " chunk"
                          : Ms(run.firstConnectedMs) + " start";
    }
    char attemptsText[32];
    std::snprintf(attemptsText, sizeof attemptsText, "%d / %d", run.attempts, run.audioAttempts);
    std::printf("%-7s %7zu %7.1f %9s %8s %8s %7ld %13s %14s %14s\n", run.name.c_str(), run.calls.size(),
                run.wallSeconds, Ms(Percentile(all, 1.0)).c_str(), Ms(Percentile(all, 0.99)).c_str(),
                Ms(Percentile(all, 0.5)).c_str(), over1, attemptsText, minGap < 0 ? "-" : Ms(minGap).c_str(),
                connectedText.c_str());
  }
}

int Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--calls N] [--max-seconds S] [--no-pace] [--period-us N] [CASE...]\n"
               "  CASE: a (not listening), b (blackholed), c (slow name), c-down (slow name, nothing\n"
               "        listening), d (slave killed and restarted), e (slave started late); default all\n",
               program);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--calls" && i + 1 < argc) {
      opt.calls = std::strtol(argv[++i], nullptr, 10);
    } else if (a == "--max-seconds" && i + 1 < argc) {
      opt.maxSeconds = std::strtod(argv[++i], nullptr);
    } else if (a == "--period-us" && i + 1 < argc) {
      opt.periodUs = static_cast<int>(std::strtol(argv[++i], nullptr, 10));
    } else if (a == "--no-pace") {
      opt.pace = false;
    } else if (a == "a" || a == "b" || a == "c" || a == "c-down" || a == "d" || a == "e") {
      opt.cases.push_back(a);
    } else {
      return Usage(argv[0]);
    }
  }
  if (opt.calls < 1 || opt.maxSeconds <= 0 || opt.periodUs < 1) return Usage(argv[0]);
  if (opt.cases.empty()) opt.cases = {"a", "b", "c", "c-down", "d", "e"};
  if (!*SlaveProcess::Program()) {
    std::fprintf(stderr, "tovik-slave was not built\n");
    return 1;
  }

  tovik::test::ScopedConfigHome home;
  {
    // No dialog at construction: its stand-in would connect.
    tovik::platform::UserStore store(build::kStoreKey);
    store.WriteInt("ConfigDlg", 0);
    store.Close();
  }
  QuietHost::asyncAllowed = true;

  std::printf("Process-call durations while connecting, host without idle calls\n");
  std::printf("%ld calls of %d frames at %.0f Hz, %s, cap %.0f s per case\n", opt.calls, kFrames,
              static_cast<double>(kSampleRate),
              opt.pace ? ("paced every " + std::to_string(opt.periodUs) + " us").c_str() : "not paced",
              opt.maxSeconds);
  bool failed = false;
  std::vector<Run> runs;
  for (const std::string& c : opt.cases) {
    Run run;
    if (c == "a") run = CaseNotListening(opt);
    if (c == "b") run = CaseBlackholed(opt);
    if (c == "c") run = CaseSlowName(opt, true);
    if (c == "c-down") run = CaseSlowName(opt, false);
    if (c == "d") run = CaseSlaveKilled(opt);
    if (c == "e") run = CaseSlaveLate(opt);
    PrintRun(run);
    std::fflush(stdout);
    failed = failed || run.setUpFailed;
    run.attemptOffsetsMs.shrink_to_fit();
    runs.push_back(std::move(run));
  }
  PrintSummary(runs);
  return failed ? 1 : 0;
}
