#include "SlaveServer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <new>
#include <thread>

#include "SlaveSession.h"
#include "hosting/PluginChain.h"

namespace tovik::slave {

namespace {

// The supervisor looks at its connections this often.
constexpr int kSliceMs = 50;
// A connection that has sent nothing this long after accept gets its connect
// line anyway.
constexpr auto kHelloWait = std::chrono::seconds(1);
// Time the connections get to end on their own when the slave stops.
constexpr auto kStopGrace = std::chrono::seconds(2);

// The connection process's stop flag, set by SIGTERM and SIGINT.
std::atomic<bool> childStop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void OnChildStop(int) {
  childStop.store(true);
}

// Closes every descriptor from 3 up, except keep (and extra when >= 0): the
// connection's process holds its own socket and nothing else, so that no
// other connection's socket stays open because of it.
void CloseOtherDescriptors(int keep, int extra) {
  int kept[2] = {keep, extra};
  if (kept[0] > kept[1]) std::swap(kept[0], kept[1]);
  unsigned int from = 3;
  auto closeRange = [](unsigned int low, unsigned int high) {
    if (low > high) return;
#if defined(SYS_close_range)
    if (syscall(SYS_close_range, low, high, 0) == 0) return;
#endif
    long limit = sysconf(_SC_OPEN_MAX);
    if (limit < 0 || limit > 65536) limit = 65536;
    for (unsigned int fd = low; fd <= high && fd < static_cast<unsigned int>(limit); ++fd)
      close(static_cast<int>(fd));
  };
  for (int fd : kept) {
    if (fd < 3 || static_cast<unsigned int>(fd) < from) continue;
    closeRange(from, static_cast<unsigned int>(fd) - 1);
    from = static_cast<unsigned int>(fd) + 1;
  }
  closeRange(from, ~0U);
}

bool IsLoopback(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  if (address.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    if (IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr) && v6->sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

const char* PrecisionText(int32_t precision) {
  switch (precision) {
    case 1:
      return "8-bit unsigned";
    case 2:
      return "16-bit integer";
    case 3:
      return "24-bit";
    case 4:
      return "32-bit float";
    default:
      return "none yet";
  }
}

std::string ChainText(const SlaveSettings& settings) {
  char text[96];
  if (settings.chain) return settings.chain->Describe();
  if (settings.gain == 1.0f) {
    std::snprintf(text, sizeof text, "pass-through");
  } else {
    std::snprintf(text, sizeof text, "gain %+g dB", settings.gainDb);
  }
  std::string chain = text;
  if (settings.echoEvents) chain += " + event echo";
  if (settings.delayMs > 0) chain += " + " + std::to_string(settings.delayMs) + " ms delay";
  return chain;
}

std::string RateText(float rate) {
  char text[32] = "? Hz";
  if (rate > 0.0f) std::snprintf(text, sizeof text, "%g Hz", double{rate});
  return text;
}

std::string BytesPerSecondText(double bytesPerSecond) {
  char text[32];
  if (bytesPerSecond >= 1e6) {
    std::snprintf(text, sizeof text, "%.2f MB/s", bytesPerSecond / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%.1f kB/s", bytesPerSecond / 1e3);
  }
  return text;
}

std::string AddressText(const sockaddr* address) {
  char host[INET6_ADDRSTRLEN] = "?";
  uint16_t port = 0;
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
    port = ntohs(v4->sin_port);
    return std::string(host) + ":" + std::to_string(port);
  }
  if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    port = ntohs(v6->sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
  }
  return host;
}

std::string CountText(int32_t value) {
  return value < 0 ? std::string("?") : std::to_string(value);
}

}  // namespace

bool ConfigureAcceptedSocket(int fd) {
  const int on = 1;
  const int idle = kKeepAliveIdleSeconds;
  const int interval = kKeepAliveIntervalSeconds;
  const int probes = kKeepAliveProbes;
  bool ok = true;
  // Every answer is one gathered write; without this each would wait for the
  // acknowledgement of the one before.
  ok &= setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
  ok &= setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0;
  ok &= setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0;
  ok &= setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0;
  ok &= setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0;
  return ok;
}

std::string DurationText(int64_t nanoseconds) {
  char text[32];
  if (nanoseconds < 1000) {
    std::snprintf(text, sizeof text, "%lld ns", static_cast<long long>(nanoseconds));
  } else if (nanoseconds < 1000000) {
    std::snprintf(text, sizeof text, "%.1f us", static_cast<double>(nanoseconds) / 1e3);
  } else if (nanoseconds < 1000000000) {
    std::snprintf(text, sizeof text, "%.2f ms", static_cast<double>(nanoseconds) / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(nanoseconds) / 1e9);
  }
  return text;
}

std::string ChainTimesText(uint64_t blocks, uint64_t pluginNs, uint64_t chainNs, uint64_t serviceNs) {
  if (blocks == 0) return std::string();
  const double per = 1e3 * static_cast<double>(blocks);
  const uint64_t hosting = chainNs > pluginNs ? chainNs - pluginNs : 0;
  char text[128];
  std::snprintf(text, sizeof text, "plug-ins %.2f us/block, hosting %.2f us/block, service %.2f us/block",
                static_cast<double>(pluginNs) / per, static_cast<double>(hosting) / per,
                static_cast<double>(serviceNs) / per);
  return text;
}

CSlaveServer::CSlaveServer(const SlaveSettings& settings, SlaveStats& stats, std::FILE* log)
    : settings_(settings), stats_(stats), log_(log) {}

CSlaveServer::~CSlaveServer() {
  StopAll();
  for (const Listener& listener : listeners_) close(listener.fd);
  if (records_ != nullptr) munmap(records_, recordBytes_);
}

bool CSlaveServer::Listen(const std::string& address, uint16_t port, std::string* error) {
  Listener opened;
  if (!Open(address, port, &opened, error)) return false;
  opened.settings = &settings_;
  if (listeners_.empty()) {
    listeners_.push_back(opened);
  } else {
    close(listeners_[0].fd);
    listeners_[0] = opened;
  }
  return true;
}

bool CSlaveServer::AddListener(const std::string& address, uint16_t port, const SlaveSettings* settings,
                               std::string* error) {
  Listener opened;
  if (!Open(address, port, &opened, error)) return false;
  opened.settings = settings;
  listeners_.push_back(opened);
  return true;
}

bool CSlaveServer::LoopbackOnly() const {
  for (const Listener& listener : listeners_) {
    if (!listener.loopback) return false;
  }
  return true;
}

bool CSlaveServer::Open(const std::string& address, uint16_t port, Listener* opened, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int resolved = getaddrinfo(address.c_str(), service.c_str(), &hints, &found);
  if (resolved != 0 || found == nullptr) {
    *error = "cannot resolve bind address \"" + address + "\": " + gai_strerror(resolved);
    return false;
  }
  // When a name has both kinds of address, listen on the IPv4 one (the
  // plug-in tries every address of its slave's name in turn). An IPv6
  // address listens dual-stack: "::" takes IPv4 peers as well.
  const addrinfo* chosen = found;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET) {
      chosen = entry;
      break;
    }
  }
  int fd = socket(chosen->ai_family, chosen->ai_socktype | SOCK_CLOEXEC, chosen->ai_protocol);
  if (fd < 0) {
    *error = std::string("cannot create a socket: ") + std::strerror(errno);
    freeaddrinfo(found);
    return false;
  }
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (chosen->ai_family == AF_INET6) {
    const int off = 0;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  }
  if (bind(fd, chosen->ai_addr, chosen->ai_addrlen) != 0) {
    const int failure = errno;
    if (failure == EADDRINUSE) {
      *error = "port " + std::to_string(port) + " is already in use on " + address;
    } else {
      *error = "cannot bind " + address + ":" + std::to_string(port) + ": " + std::strerror(failure);
    }
    close(fd);
    freeaddrinfo(found);
    return false;
  }
  freeaddrinfo(found);
  // Every instance of a project connects at once when it loads.
  if (listen(fd, SOMAXCONN) != 0) {
    *error = std::string("cannot listen: ") + std::strerror(errno);
    close(fd);
    return false;
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
    opened->loopback = IsLoopback(bound);
    opened->port = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                               : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  }
  opened->fd = fd;
  return true;
}

bool CSlaveServer::MapRecords() {
  if (records_ != nullptr) return true;
  slots_.assign(static_cast<size_t>(maxConnections_), Slot{});
  recordBytes_ = sizeof(ConnectionRecord) * static_cast<size_t>(maxConnections_);
  void* shared = mmap(nullptr, recordBytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) {
    Log("tovik-slave: cannot map the connection records: %s", std::strerror(errno));
    return false;
  }
  records_ = static_cast<ConnectionRecord*>(shared);
  return true;
}

int CSlaveServer::LiveConnections() const {
  int live = 0;
  for (const Slot& slot : slots_) live += slot.pid > 0 ? 1 : 0;
  return live;
}

void CSlaveServer::Log(const char* format, ...) const {
  if (log_ == nullptr) return;
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  // One write per line: the connection processes trace to the same stream.
  std::fprintf(log_, "%s\n", line);
  std::fflush(log_);
}

void CSlaveServer::Run(const std::atomic<bool>& stop, bool exitOnClose) {
  if (listeners_.empty() || !MapRecords()) return;
  nextStatus_ = Clock::now() + statusInterval_;
  std::vector<pollfd> polled;
  for (const Listener& listener : listeners_) polled.push_back(pollfd{listener.fd, POLLIN, 0});
  while (!stop.load()) {
    const int ready = poll(polled.data(), static_cast<nfds_t>(polled.size()), kSliceMs);
    for (size_t i = 0; ready > 0 && i < polled.size(); ++i) {
      if ((polled[i].revents & POLLIN) != 0) Accept(listeners_[i]);
    }
    const bool closeMessage = Reap();
    for (size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i].pid > 0) LogProgress(i, false);
    }
    const Clock::time_point now = Clock::now();
    bool status = statusRequest_ != nullptr && statusRequest_->exchange(false);
    if (statusInterval_.count() > 0 && now >= nextStatus_) {
      status = true;
      nextStatus_ = now + statusInterval_;
    }
    if (status) PrintStatus();
    if (closeMessage && exitOnClose) break;
  }
  StopAll();
}

void CSlaveServer::Accept(const Listener& listener) {
  sockaddr_storage peerAddress{};
  socklen_t length = sizeof peerAddress;
  const int fd = accept4(listener.fd, reinterpret_cast<sockaddr*>(&peerAddress), &length, SOCK_CLOEXEC);
  if (fd < 0) {
    // The connection went away before it was taken, or no resources are
    // left for it: try again a little later.
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return;
  }
  const uint64_t id = ++nextId_;
  const std::string peer = AddressText(reinterpret_cast<sockaddr*>(&peerAddress));
  size_t index = slots_.size();
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].pid <= 0) {
      index = i;
      break;
    }
  }
  if (index == slots_.size()) {
    // The plug-in sees the connection closed and tries again by its own rules.
    ++stats_.refused;
    close(fd);
    Log("tovik-slave: connection %llu from %s: refused: %d connections already open (--max-connections %d)",
        static_cast<unsigned long long>(id), peer.c_str(), maxConnections_, maxConnections_);
    return;
  }
  if (!ConfigureAcceptedSocket(fd)) {
    Log("tovik-slave: connection %llu from %s: keepalive options refused: %s",
        static_cast<unsigned long long>(id), peer.c_str(), std::strerror(errno));
  }
  ConnectionRecord* record = new (records_ + index) ConnectionRecord();
  std::fflush(nullptr);
  const pid_t supervisor = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
#if defined(__linux__)
    // A slave that is killed takes its connections with it, at once.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    if (getppid() != supervisor) _exit(0);
    ServeInChild(fd, id, record, *listener.settings);
  }
  close(fd);
  if (pid < 0) {
    Log("tovik-slave: connection %llu from %s: dropped: cannot start its process: %s",
        static_cast<unsigned long long>(id), peer.c_str(), std::strerror(errno));
    return;
  }
  ++stats_.connections;
  Slot& slot = slots_[index];
  slot = Slot{};
  slot.pid = pid;
  slot.settings = listener.settings;
  slot.id = id;
  slot.peer = peer;
  slot.accepted = Clock::now();
  slot.lastStatus = slot.accepted;
}

void CSlaveServer::ServeInChild(int fd, uint64_t id, ConnectionRecord* record, const SlaveSettings& served) {
  const bool trace = served.verbose && log_ != nullptr;
  CloseOtherDescriptors(fd, trace ? fileno(log_) : -1);
  struct sigaction stopAction {};
  stopAction.sa_handler = OnChildStop;
  sigemptyset(&stopAction.sa_mask);
  sigaction(SIGTERM, &stopAction, nullptr);
  sigaction(SIGINT, &stopAction, nullptr);
  std::signal(SIGUSR1, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  SlaveSettings settings = served;
  if (settings.crashConnection != 0 && settings.crashConnection != id) settings.crashAfterBlocks = 0;
  SessionEnd end = SessionEnd::kSocketError;
  {
    CSlaveSession session(fd, settings, nullptr, &childStop);
    session.SetRecord(record);
    session.SetTrace(trace ? log_ : nullptr, id);
    end = session.Run();
    record->bytesIn.store(session.BytesIn(), std::memory_order_relaxed);
    record->bytesOut.store(session.BytesOut(), std::memory_order_relaxed);
  }
  record->end.store(static_cast<int32_t>(end) + 1, std::memory_order_release);
  close(fd);
  if (trace) std::fflush(log_);
  _exit(0);
}

bool CSlaveServer::Reap() {
  bool closeMessage = false;
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].pid <= 0) continue;
    int status = 0;
    const pid_t ended = waitpid(slots_[i].pid, &status, WNOHANG);
    if (ended != slots_[i].pid) continue;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
        records_[i].end.load(std::memory_order_acquire) ==
            static_cast<int32_t>(SessionEnd::kCloseMessage) + 1) {
      closeMessage = true;
    }
    Finish(i, status);
  }
  return closeMessage;
}

// The connect line once msgHello (or anything) has arrived, or a second after
// accept; the handshake line once the first block is there.
void CSlaveServer::LogProgress(size_t index, bool ending) {
  Slot& slot = slots_[index];
  const ConnectionRecord& record = records_[index];
  const int32_t phase = record.phase.load(std::memory_order_acquire);
  const unsigned long long id = slot.id;
  if (!slot.connectLogged &&
      (ending || phase >= ConnectionRecord::kHello || Clock::now() - slot.accepted >= kHelloWait)) {
    slot.connectLogged = true;
    if (record.helloSeen.load(std::memory_order_acquire)) {
      Log("tovik-slave: connection %llu from %s: connected, plug-in %u.%u (msgHello), %d open", id,
          slot.peer.c_str(), record.ident[0], record.ident[1], LiveConnections());
    } else {
      Log("tovik-slave: connection %llu from %s: connected, no msgHello yet, %d open", id, slot.peer.c_str(),
          LiveConnections());
    }
  }
  if (!slot.runningLogged && phase >= ConnectionRecord::kRunning) {
    slot.runningLogged = true;
    const int32_t precision = record.precision.load(std::memory_order_relaxed);
    Log("tovik-slave: connection %llu from %s: handshake complete: %s in, %s out, %s, block size %s, "
        "precision %d (%s), first block %d x %d, chain %s",
        id, slot.peer.c_str(), CountText(record.inputs.load(std::memory_order_relaxed)).c_str(),
        CountText(record.outputs.load(std::memory_order_relaxed)).c_str(),
        RateText(record.sampleRate.load(std::memory_order_relaxed)).c_str(),
        CountText(record.blockSize.load(std::memory_order_relaxed)).c_str(), precision,
        PrecisionText(precision), record.channels.load(std::memory_order_relaxed),
        record.frames.load(std::memory_order_relaxed), ChainText(*slot.settings).c_str());
  }
}

void CSlaveServer::Finish(size_t index, int status) {
  Slot& slot = slots_[index];
  ConnectionRecord& record = records_[index];
  LogProgress(index, true);
  std::string reason;
  const int32_t end = record.end.load(std::memory_order_acquire);
  if (WIFSIGNALED(status)) {
    const int number = WTERMSIG(status);
    reason = "died: signal " + std::to_string(number) + " (" + strsignal(number) + ") in chain " +
             ChainText(*slot.settings);
  } else if (WIFEXITED(status) && (WEXITSTATUS(status) != 0 || end == 0)) {
    reason =
        "died: exit status " + std::to_string(WEXITSTATUS(status)) + " in chain " + ChainText(*slot.settings);
  } else {
    reason = SessionEndText(static_cast<SessionEnd>(end - 1));
  }
  const uint64_t blocks = record.blocks.load(std::memory_order_relaxed);
  const uint64_t bytesIn = record.bytesIn.load(std::memory_order_relaxed);
  const uint64_t bytesOut = record.bytesOut.load(std::memory_order_relaxed);
  std::string latency;
  if (record.latency.Count() > 0) {
    latency = "; processing median " + DurationText(record.latency.Quantile(0.5)) + ", p99 " +
              DurationText(record.latency.Quantile(0.99)) + ", max " + DurationText(record.latency.Max()) +
              ", " + std::to_string(record.lateBlocks.load(std::memory_order_relaxed)) + " late";
  }
  const uint64_t chainBlocks = record.chainBlocks.load(std::memory_order_relaxed);
  const uint64_t pluginNs = record.pluginNs.load(std::memory_order_relaxed);
  const uint64_t chainNs = record.chainNs.load(std::memory_order_relaxed);
  const uint64_t serviceNs = record.serviceNs.load(std::memory_order_relaxed);
  if (chainBlocks > 0) latency += "; " + ChainTimesText(chainBlocks, pluginNs, chainNs, serviceNs);
  Log("tovik-slave: connection %llu from %s: left (%s): %s in, %s out, %s, block size %s, %llu blocks, "
      "%llu bytes in, %llu bytes out%s",
      static_cast<unsigned long long>(slot.id), slot.peer.c_str(), reason.c_str(),
      CountText(record.inputs.load(std::memory_order_relaxed)).c_str(),
      CountText(record.outputs.load(std::memory_order_relaxed)).c_str(),
      RateText(record.sampleRate.load(std::memory_order_relaxed)).c_str(),
      CountText(record.blockSize.load(std::memory_order_relaxed)).c_str(),
      static_cast<unsigned long long>(blocks), static_cast<unsigned long long>(bytesIn),
      static_cast<unsigned long long>(bytesOut), latency.c_str());
  stats_.blocks += blocks;
  stats_.bytesIn += bytesIn;
  stats_.bytesOut += bytesOut;
  stats_.latency.Merge(record.latency);
  stats_.chainBlocks += chainBlocks;
  stats_.pluginNs += pluginNs;
  stats_.chainNs += chainNs;
  stats_.serviceNs += serviceNs;
  if (WIFSIGNALED(status) || end == 0) ++stats_.died;
  slot = Slot{};
}

void CSlaveServer::PrintStatus() {
  const Clock::time_point now = Clock::now();
  Log("tovik-slave: status: %d open, %llu served, %llu refused, %llu died", LiveConnections(),
      static_cast<unsigned long long>(stats_.connections), static_cast<unsigned long long>(stats_.refused),
      static_cast<unsigned long long>(stats_.died));
  for (size_t i = 0; i < slots_.size(); ++i) {
    Slot& slot = slots_[i];
    if (slot.pid <= 0) continue;
    const ConnectionRecord& record = records_[i];
    const uint64_t bytesIn = record.bytesIn.load(std::memory_order_relaxed);
    const uint64_t bytesOut = record.bytesOut.load(std::memory_order_relaxed);
    const double seconds = std::chrono::duration<double>(now - slot.lastStatus).count();
    const double in = seconds > 0 ? static_cast<double>(bytesIn - slot.lastBytesIn) / seconds : 0.0;
    const double out = seconds > 0 ? static_cast<double>(bytesOut - slot.lastBytesOut) / seconds : 0.0;
    slot.lastStatus = now;
    slot.lastBytesIn = bytesIn;
    slot.lastBytesOut = bytesOut;
    Log("tovik-slave: connection %llu from %s: %llu blocks, processing p50 %s, p99 %s, %llu late, %s in, %s "
        "out",
        static_cast<unsigned long long>(slot.id), slot.peer.c_str(),
        static_cast<unsigned long long>(record.blocks.load(std::memory_order_relaxed)),
        DurationText(record.latency.Quantile(0.5)).c_str(),
        DurationText(record.latency.Quantile(0.99)).c_str(),
        static_cast<unsigned long long>(record.lateBlocks.load(std::memory_order_relaxed)),
        BytesPerSecondText(in).c_str(), BytesPerSecondText(out).c_str());
  }
}

void CSlaveServer::StopAll() {
  if (records_ == nullptr) return;
  for (const Slot& slot : slots_) {
    if (slot.pid > 0) kill(slot.pid, SIGTERM);
  }
  const Clock::time_point until = Clock::now() + kStopGrace;
  while (LiveConnections() > 0 && Clock::now() < until) {
    Reap();
    if (LiveConnections() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (const Slot& slot : slots_) {
    if (slot.pid > 0) kill(slot.pid, SIGKILL);
  }
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].pid <= 0) continue;
    int status = 0;
    if (waitpid(slots_[i].pid, &status, 0) == slots_[i].pid) Finish(i, status);
  }
}

}  // namespace tovik::slave
