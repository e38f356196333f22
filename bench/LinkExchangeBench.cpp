// One msgProcess exchange (512 frames, 2 channels, 32-bit float) over
// loopback against the in-process slave, and in the same run a raw exchange
// of the same byte counts: each message one send on a TCP_NODELAY socket,
// read whole by a peer that answers the same way. The closing lines give the
// ratio of the medians (link / raw); BM_InterleavedLinkVersusRaw alternates
// the two exchanges so that both see the same load, and reports its own
// medians and ratio as counters.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
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

// The plug-in's side: a connected link with a msgProcess ready in its block.
class LinkClient {
 public:
  explicit LinkClient(bool gathered) : dll_(true), table_(dll_.fn), link_(&table_, &handle_) {
    if (!gathered) table_.WSASend = nullptr;  // one send per part
    link_.AttachA(true);
    link_.SetIdentA(1, 8);
    if (!link_.Connect("127.0.0.1", peer_.Port()) || !peer_.Accept()) return;
    responder_ = Responder(peer_);
    TransferBlock& block = *link_.Block();
    block.inputChannels = kChannels;
    block.frames = kFrames;
    for (size_t i = 0; i < kAudioBytes; ++i) block.wireAudio[i] = static_cast<unsigned char>(i);
  }
  ~LinkClient() {
    link_.Disconnect();
    if (responder_.joinable()) responder_.join();
  }
  bool Ready() const { return responder_.joinable(); }

  bool Exchange() {
    link_.SetBytesPerSample(kWidth);
    link_.Block()->msgCode = msgProcess;
    if (!link_.Signal() || !link_.Wait(1000) || link_.Block()->msgCode != msgProcess) return false;
    benchmark::DoNotOptimize(link_.OutputChannel(1)[kFrames - 1]);
    return true;
  }

 private:
  CWinsock2Dll dll_;
  ws::Winsock2Table table_;
  ws::SOCKET handle_ = ws::kInvalidSocket;
  CSlaveNetMem link_;
  ScriptedPeer peer_;
  std::thread responder_;
};

// The same byte counts with one send per message on a TCP_NODELAY socket and
// a blocking read of the whole reply.
class RawClient {
 public:
  RawClient() : dll_(true), request_(kRequestBytes, 1), reply_(kReplyBytes) {
    const ws::Winsock2Table& fn = dll_.fn;
    ws::addrinfo hints{};
    hints.ai_family = ws::kAfInet;
    hints.ai_socktype = ws::kSockStream;
    hints.ai_protocol = ws::kIpprotoTcp;
    ws::addrinfo* list = nullptr;
    const std::string port = std::to_string(peer_.Port());
    if (fn.getaddrinfo("127.0.0.1", port.c_str(), &hints, &list) != 0) return;
    socket_ = fn.socket(ws::kAfInet, ws::kSockStream, 0);
    const bool connected = socket_ != ws::kInvalidSocket && fn.connect(socket_, list->ai_addr, 16) == 0;
    fn.freeaddrinfo(list);
    if (!connected || !peer_.Accept()) return;
    const int one = 1;
    fn.setsockopt(socket_, ws::kIpprotoTcp, ws::kTcpNoDelay, reinterpret_cast<const char*>(&one),
                  static_cast<ws::socklen>(sizeof one));
    responder_ = Responder(peer_);
  }
  ~RawClient() {
    if (socket_ != ws::kInvalidSocket) {
      dll_.fn.shutdown(socket_, ws::kSdBoth);
      dll_.fn.closesocket(socket_);
    }
    if (responder_.joinable()) responder_.join();
  }
  bool Ready() const { return responder_.joinable(); }

  bool Exchange() {
    const ws::Winsock2Table& fn = dll_.fn;
    const int size = static_cast<int>(request_.size());
    if (fn.send(socket_, request_.data(), size, 0) != size) return false;
    size_t got = 0;
    while (got < reply_.size()) {
      const int r = fn.recv(socket_, reply_.data() + got, static_cast<int>(reply_.size() - got), 0);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    benchmark::DoNotOptimize(reply_[kReplyBytes - 1]);
    return true;
  }

 private:
  CWinsock2Dll dll_;
  ScriptedPeer peer_;
  ws::SOCKET socket_ = ws::kInvalidSocket;
  std::vector<char> request_;
  std::vector<char> reply_;
  std::thread responder_;
};

template <class Client, class... Args>
void RunExchanges(benchmark::State& state, Args... args) {
  Client client(args...);
  if (!client.Ready()) {
    state.SkipWithError("no connection");
    return;
  }
  for (auto _ : state) {
    if (!client.Exchange()) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (kRequestBytes + kReplyBytes));
}

void BM_LinkProcessExchange(benchmark::State& state) {
  RunExchanges<LinkClient>(state, true);
}
void BM_LinkProcessExchangePerPartSends(benchmark::State& state) {
  RunExchanges<LinkClient>(state, false);
}
void BM_RawExchange(benchmark::State& state) {
  RunExchanges<RawClient>(state);
}

double Median(std::vector<double>& values) {
  if (values.empty()) return 0;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2),
                   values.end());
  return values[values.size() / 2];
}

// Link and raw exchanges alternately, each timed on its own, so that both see
// the same machine load; reports both medians and their ratio.
void BM_InterleavedLinkVersusRaw(benchmark::State& state) {
  LinkClient link(true);
  RawClient raw;
  if (!link.Ready() || !raw.Ready()) {
    state.SkipWithError("no connection");
    return;
  }
  using Clock = std::chrono::steady_clock;
  std::vector<double> linkTimes;
  std::vector<double> rawTimes;
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    const bool linkOk = link.Exchange();
    const Clock::time_point t1 = Clock::now();
    const bool rawOk = raw.Exchange();
    const Clock::time_point t2 = Clock::now();
    if (!linkOk || !rawOk) {
      state.SkipWithError("exchange failed");
      break;
    }
    linkTimes.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    rawTimes.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
  }
  const double linkMedian = Median(linkTimes);
  const double rawMedian = Median(rawTimes);
  state.counters["link_us"] = linkMedian;
  state.counters["raw_us"] = rawMedian;
  state.counters["ratio"] = rawMedian > 0 ? linkMedian / rawMedian : 0;
}

BENCHMARK(BM_LinkProcessExchange)->UseRealTime()->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_LinkProcessExchangePerPartSends)->UseRealTime()->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_RawExchange)->UseRealTime()->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_InterleavedLinkVersusRaw)->UseRealTime()->Iterations(20000);

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
