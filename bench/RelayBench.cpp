// Relay round trips against a raw socket ping-pong of the same byte counts.
//
// Relays 10,000 blocks of 512 frames x 2 channels (32-bit float wire audio, synchronous)
// through the built plug-in module and a tovik-slave on loopback, then, in the same run,
// times a plain TCP ping-pong that moves the same bytes per block: one send per message,
// TCP_NODELAY on both ends, the peer answering the same way. Prints medians, p99s and
// their ratios. The ping-pong runs twice: its peer on a thread of the bench, and in a
// process of its own as the slave's connection is (the switch between processes costs
// more). A measurement, not a test: it exits 0 whatever the numbers are.
//
// TOVIK_BENCH_SLAVE names another tovik-slave program to relay through (an older
// build, to compare). Run it under `taskset -c 0` to pin the bench, the plug-in
// and the slave (which inherits the affinity) to one CPU.

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
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
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "frame/VstAbi.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBlocks = 10000;
constexpr VstInt32 kFrames = 512;
constexpr int kChannels = 2;
constexpr size_t kAudioBytes = static_cast<size_t>(kFrames) * kChannels * 4;
// A process request: code, time info, event length, input channels, output channels,
// frames, then the wire audio. Its answer: code, event length, channels, frames, audio.
constexpr size_t kRequestBytes = 4 + 88 + 4 + 4 + 4 + 4 + kAudioBytes;
constexpr size_t kAnswerBytes = 4 + 4 + 4 + 4 + kAudioBytes;
constexpr int kIoTimeoutMs = 2000;

VstIntPtr VSTCALLBACK HostCallback(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
  return opcode == audioMasterVersion ? kVstVersion : 0;
}

struct Stats {
  double median = 0;
  double p99 = 0;
  size_t count = 0;
};

Stats Summarize(std::vector<double> micros) {
  Stats s;
  s.count = micros.size();
  if (micros.empty()) return s;
  std::sort(micros.begin(), micros.end());
  s.median = micros[micros.size() / 2];
  size_t p99Index = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(micros.size()))) - 1;
  s.p99 = micros[std::min(p99Index, micros.size() - 1)];
  return s;
}

double MicrosSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// A loopback port nobody listens on right now (the kernel's choice for an ephemeral bind).
int FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

bool CanConnect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// Every read and write waits at most kIoTimeoutMs for the socket to become ready.
bool WaitReady(int fd, short events) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, kIoTimeoutMs) == 1 && (p.revents & (events | POLLHUP | POLLERR)) != 0;
}

bool ReadAll(int fd, unsigned char* data, size_t size) {
  while (size > 0) {
    if (!WaitReady(fd, POLLIN)) return false;
    ssize_t n = ::recv(fd, data, size, 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// One send per message; the loop only continues a send the kernel cut short.
bool SendAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    if (!WaitReady(fd, POLLOUT)) return false;
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void NoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

const char* SlavePath() {
  const char* chosen = std::getenv("TOVIK_BENCH_SLAVE");
  return chosen != nullptr && *chosen != '\0' ? chosen : TOVIK_SLAVE_PATH;
}

class CSlaveProcess {
 public:
  bool Start(int port) {
    pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
      std::string portText = std::to_string(port);
      const char* program = SlavePath();
      ::execl(program, program, "--port", portText.c_str(), "--quiet", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // The slave listens within a few hundred milliseconds; wait at most 5 s.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
      if (CanConnect(port)) return true;
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // SIGTERM, then SIGKILL if it is still there after 3 s.
  void Stop() {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    int status = 0;
    while (Clock::now() < deadline) {
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    pid = -1;
  }

  ~CSlaveProcess() { Stop(); }

 private:
  pid_t pid = -1;
};

bool RelayBench(int port, std::vector<double>* micros) {
  void* module = ::dlopen(TOVIK_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    std::fprintf(stderr, "cannot load %s: %s\n", TOVIK_PLUGIN_PATH, ::dlerror());
    return false;
  }
  using EntryProc = AEffect* (*)(audioMasterCallback);
  void* entry = ::dlsym(module, "VSTPluginMain");
  EntryProc proc = nullptr;
  static_assert(sizeof(proc) == sizeof(entry), "function and data pointers differ in size");
  if (entry) std::memcpy(&proc, &entry, sizeof proc);
  AEffect* effect = proc ? proc(HostCallback) : nullptr;
  if (!effect || effect->magic != kEffectMagic || !effect->dispatcher || !effect->processReplacing) {
    std::fprintf(stderr, "the module gave no usable plug-in\n");
    ::dlclose(module);
    return false;
  }
  auto dispatch = [effect](VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                           float opt = 0.0f) {
    return effect->dispatcher(effect, opcode, index, value, ptr, opt);
  };

  dispatch(effOpen);
  std::string chunk = "Host=127.0.0.1\nPort=" + std::to_string(port) + "\nSynch=1\nAudioPrec=4\n";
  std::vector<char> chunkData(chunk.begin(), chunk.end());
  chunkData.push_back(0);
  dispatch(effSetChunk, 0, static_cast<VstIntPtr>(chunkData.size()), chunkData.data());
  dispatch(effSetSampleRate, 0, 0, nullptr, 48000.0f);
  dispatch(effSetBlockSize, 0, kFrames);
  dispatch(effMainsChanged, 0, 1);

  std::vector<float> in[kChannels], out[kChannels];
  float* inputs[kChannels];
  float* outputs[kChannels];
  for (int c = 0; c < kChannels; ++c) {
    in[c].resize(kFrames);
    out[c].resize(kFrames);
    for (VstInt32 i = 0; i < kFrames; ++i)
      in[c][static_cast<size_t>(i)] = 0.25f * std::sin(0.05f * static_cast<float>(i + c));
    inputs[c] = in[c].data();
    outputs[c] = out[c].data();
  }

  // The plug-in connects from its process call: keep calling until a block comes back
  // (the outputs lose their NaN sentinel), for at most 5 s.
  bool linked = false;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < deadline) {
    for (auto& o : out) std::fill(o.begin(), o.end(), std::numeric_limits<float>::quiet_NaN());
    effect->processReplacing(effect, inputs, outputs, kFrames);
    if (!std::isnan(out[0][0]) && !std::isnan(out[kChannels - 1][kFrames - 1])) {
      linked = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  if (linked) {
    micros->reserve(kBlocks);
    for (int b = 0; b < kBlocks; ++b) {
      const auto start = Clock::now();
      effect->processReplacing(effect, inputs, outputs, kFrames);
      micros->push_back(MicrosSince(start));
    }
  } else {
    std::fprintf(stderr, "the plug-in relayed no block within 5 s\n");
  }

  dispatch(effMainsChanged, 0, 0);
  dispatch(effClose);
  ::dlclose(module);
  return linked;
}

// The peer's side: reads each request whole and answers it with one send.
void PingPongPeer(int listener) {
  if (!WaitReady(listener, POLLIN)) return;
  int fd = ::accept(listener, nullptr, nullptr);
  if (fd < 0) return;
  NoDelay(fd);
  std::vector<unsigned char> request(kRequestBytes), answer(kAnswerBytes, 0x5a);
  for (int b = 0; b < kBlocks; ++b) {
    if (!ReadAll(fd, request.data(), request.size())) break;
    if (!SendAll(fd, answer.data(), answer.size())) break;
  }
  ::close(fd);
}

// The peer runs on a thread of this process, or (ownProcess) in a process of
// its own as tovik-slave's connections do: switching between two processes
// costs more than between two threads of one.
bool PingPongBench(bool ownProcess, std::vector<double>* micros) {
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listener < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(listener);
    return false;
  }

  std::thread peer;
  pid_t peerProcess = -1;
  if (ownProcess) {
    peerProcess = ::fork();
    if (peerProcess == 0) {
      PingPongPeer(listener);
      ::_exit(0);
    }
    if (peerProcess < 0) {
      ::close(listener);
      return false;
    }
  } else {
    peer = std::thread(PingPongPeer, listener);
  }

  bool ok = false;
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    NoDelay(fd);
    std::vector<unsigned char> request(kRequestBytes, 0xa5), answer(kAnswerBytes);
    micros->reserve(kBlocks);
    ok = true;
    for (int b = 0; b < kBlocks && ok; ++b) {
      const auto start = Clock::now();
      ok = SendAll(fd, request.data(), request.size()) && ReadAll(fd, answer.data(), answer.size());
      if (ok) micros->push_back(MicrosSince(start));
    }
  }
  if (fd >= 0) ::close(fd);  // the peer sees the end at once if it is still reading
  if (ownProcess) {
    int status = 0;
    ::waitpid(peerProcess, &status, 0);
  } else {
    peer.join();
  }
  ::close(listener);
  return ok;
}

}  // namespace

int main() {
  std::printf("relay: %d blocks of %d frames x %d channels, 32-bit wire audio, synchronous\n", kBlocks,
              kFrames, kChannels);
  std::printf("ping-pong: %zu bytes out, %zu bytes back per block\n", kRequestBytes, kAnswerBytes);

  std::vector<double> relay, raw, rawProcess;
  int port = FreeLoopbackPort();
  CSlaveProcess slave;
  if (port <= 0 || !slave.Start(port)) {
    std::fprintf(stderr, "cannot start %s\n", SlavePath());
  } else {
    RelayBench(port, &relay);
  }
  slave.Stop();
  PingPongBench(false, &raw);
  PingPongBench(true, &rawProcess);

  const Stats r = Summarize(relay);
  const Stats p = Summarize(raw);
  const Stats q = Summarize(rawProcess);
  std::printf("%-15s %8s %12s %12s\n", "", "blocks", "median (us)", "p99 (us)");
  std::printf("%-15s %8zu %12.1f %12.1f\n", "relay", r.count, r.median, r.p99);
  std::printf("%-15s %8zu %12.1f %12.1f\n", "ping-pong", p.count, p.median, p.p99);
  std::printf("%-15s %8zu %12.1f %12.1f\n", "ping-pong-proc", q.count, q.median, q.p99);
  if (r.count > 0 && p.count > 0 && p.median > 0 && p.p99 > 0) {
    std::printf("ratio median %.2fx (target 1.15x), p99 %.2fx (target 2x)\n", r.median / p.median,
                r.p99 / p.p99);
  } else {
    std::printf("no ratio: a run relayed no blocks\n");
  }
  if (r.count > 0 && q.count > 0 && q.median > 0 && q.p99 > 0) {
    std::printf("against a peer process: ratio median %.2fx, p99 %.2fx\n", r.median / q.median,
                r.p99 / q.p99);
  }
  return 0;
}
