// One msgProcess exchange (512 frames, 2 channels, 32-bit float) over
// loopback against the in-process slave, and in the same run a raw exchange
// of the same byte counts: each message one send on a TCP_NODELAY socket,
// read whole by a peer that answers the same way. The closing line gives the
// ratio of the medians (link / raw).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "link/SlaveNetMem.h"
#include "sockets/Winsock2Dll.h"
#include "support/ScriptedPeer.h"

namespace {

constexpr int32_t kFrames = 512;
constexpr int32_t kChannels = 2;
constexpr int32_t kWidth = 4;
constexpr size_t kAudioBytes = static_cast<size_t>(kFrames) * kChannels * kWidth;
// Code, time record, event length 0, B, C, N, audio.
constexpr size_t kRequestBytes = 4 + 88 + 4 + 12 + kAudioBytes;
// Code, B, C, N, audio.
constexpr size_t kReplyBytes = 4 + 12 + kAudioBytes;

std::vector<unsigned char> ReplyBytes() {
  std::vector<unsigned char> reply;
  ScriptedPeer::PutInt32(reply, msgProcess);
  ScriptedPeer::PutInt32(reply, kWidth);
  ScriptedPeer::PutInt32(reply, kChannels);
  ScriptedPeer::PutInt32(reply, kFrames);
  for (int32_t i = 0; i < kFrames * kChannels; ++i)
    ScriptedPeer::PutFloat(reply, static_cast<float>(i) / 1024.0f);
  return reply;
}

// The slave's side of both benchmarks: read a whole request, answer with one
// send, until the other side closes.
std::thread Responder(ScriptedPeer& peer) {
  return std::thread([&peer] {
    std::vector<unsigned char> request(kRequestBytes);
    const std::vector<unsigned char> reply = ReplyBytes();
    while (peer.ReadExact(request.data(), request.size(), 5000) && peer.Write(reply)) {
    }
  });
}

void LinkExchange(benchmark::State& state, bool gathered) {
  CWinsock2Dll dll(true);
  ws::Winsock2Table table = dll.fn;
  if (!gathered) table.WSASend = nullptr;  // one send per part
  ws::SOCKET handle = ws::kInvalidSocket;
  CSlaveNetMem link(&table, &handle);
  ScriptedPeer peer;
  link.AttachA(true);
  link.SetIdentA(1, 8);
  if (!link.Connect("127.0.0.1", peer.Port()) || !peer.Accept()) {
    state.SkipWithError("no connection");
    return;
  }
  std::thread responder = Responder(peer);
  TransferBlock& block = *link.Block();
  block.inputChannels = kChannels;
  block.frames = kFrames;
  for (size_t i = 0; i < kAudioBytes; ++i) block.wireAudio[i] = static_cast<unsigned char>(i);
  for (auto _ : state) {
    link.SetBytesPerSample(kWidth);
    block.msgCode = msgProcess;
    if (!link.Signal() || !link.Wait(1000) || block.msgCode != msgProcess) {
      state.SkipWithError("exchange failed");
      break;
    }
    benchmark::DoNotOptimize(link.OutputChannel(1)[kFrames - 1]);
  }
  link.Disconnect();
  responder.join();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (kRequestBytes + kReplyBytes));
}

void BM_LinkProcessExchange(benchmark::State& state) {
  LinkExchange(state, true);
}
void BM_LinkProcessExchangePerPartSends(benchmark::State& state) {
  LinkExchange(state, false);
}

void BM_RawExchange(benchmark::State& state) {
  CWinsock2Dll dll(true);
  const ws::Winsock2Table& fn = dll.fn;
  ScriptedPeer peer;
  ws::addrinfo hints{};
  hints.ai_family = ws::kAfInet;
  hints.ai_socktype = ws::kSockStream;
  hints.ai_protocol = ws::kIpprotoTcp;
  ws::addrinfo* list = nullptr;
  const std::string port = std::to_string(peer.Port());
  if (fn.getaddrinfo("127.0.0.1", port.c_str(), &hints, &list) != 0) {
    state.SkipWithError("no address");
    return;
  }
  const ws::SOCKET s = fn.socket(ws::kAfInet, ws::kSockStream, 0);
  const bool connected = s != ws::kInvalidSocket && fn.connect(s, list->ai_addr, 16) == 0;
  fn.freeaddrinfo(list);
  if (!connected || !peer.Accept()) {
    state.SkipWithError("no connection");
    if (s != ws::kInvalidSocket) fn.closesocket(s);
    return;
  }
  const int one = 1;
  fn.setsockopt(s, ws::kIpprotoTcp, ws::kTcpNoDelay, reinterpret_cast<const char*>(&one),
                static_cast<ws::socklen>(sizeof one));
  std::thread responder = Responder(peer);
  std::vector<char> request(kRequestBytes, 1);
  std::vector<char> reply(kReplyBytes);
  for (auto _ : state) {
    if (fn.send(s, request.data(), static_cast<int>(request.size()), 0) != static_cast<int>(request.size())) {
      state.SkipWithError("send failed");
      break;
    }
    size_t got = 0;
    while (got < reply.size()) {
      const int r = fn.recv(s, reply.data() + got, static_cast<int>(reply.size() - got), 0);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    if (got != reply.size()) {
      state.SkipWithError("recv failed");
      break;
    }
    benchmark::DoNotOptimize(reply[kReplyBytes - 1]);
  }
  fn.shutdown(s, ws::kSdBoth);
  fn.closesocket(s);
  responder.join();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (kRequestBytes + kReplyBytes));
}

BENCHMARK(BM_LinkProcessExchange)->UseRealTime()->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_LinkProcessExchangePerPartSends)->UseRealTime()->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_RawExchange)->UseRealTime()->Repetitions(10)->ReportAggregatesOnly(true);

// The console report, then the ratio of each link median to the raw median.
class MedianRatioReporter : public benchmark::ConsoleReporter {
 public:
  MedianRatioReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" && !run.error_occurred) {
        medians_[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto raw = medians_.find("BM_RawExchange");
    if (raw == medians_.end() || raw->second <= 0) return;
    for (const auto& [name, median] : medians_) {
      if (name == raw->first) continue;
      std::printf("median ratio %s / %s: %.2f\n", name.c_str(), raw->first.c_str(), median / raw->second);
    }
  }

 private:
  std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  MedianRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
