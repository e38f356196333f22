#include "SlaveServer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "SlaveSession.h"

namespace tovik::slave {

namespace {

constexpr int kSliceMs = 100;

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

CSlaveServer::CSlaveServer(const SlaveSettings& settings, SlaveStats& stats, std::FILE* log)
    : settings_(settings), stats_(stats), log_(log) {}

CSlaveServer::~CSlaveServer() {
  if (listener_ >= 0) close(listener_);
}

bool CSlaveServer::Listen(const std::string& address, uint16_t port, std::string* error) {
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
  if (listen(fd, 4) != 0) {
    *error = std::string("cannot listen: ") + std::strerror(errno);
    close(fd);
    return false;
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
    port_ = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                        : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  }
  if (listener_ >= 0) close(listener_);
  listener_ = fd;
  return true;
}

void CSlaveServer::Run(const std::atomic<bool>& stop, bool exitOnClose) {
  if (listener_ < 0) return;
  while (!stop.load()) {
    pollfd p{listener_, POLLIN, 0};
    const int ready = poll(&p, 1, kSliceMs);
    if (ready <= 0) continue;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) {
      // The connection went away before it was taken, or no resources are
      // left for it: try again a little later.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    bool closeMessage = false;
    Serve(fd, AddressText(reinterpret_cast<sockaddr*>(&peer)), stop, &closeMessage);
    close(fd);
    if (closeMessage && exitOnClose) return;
  }
}

void CSlaveServer::Serve(int fd, const std::string& peer, const std::atomic<bool>& stop, bool* closeMessage) {
  const int on = 1;
  // Every answer is one gathered write; without this each would wait for the
  // acknowledgement of the one before.
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ++stats_.connections;
  CSlaveSession session(fd, settings_, &stats_, &stop);
  const SessionEnd end = session.Run();
  *closeMessage = end == SessionEnd::kCloseMessage;
  if (log_ == nullptr) return;
  char rate[32] = "?";
  if (session.SampleRate() > 0.0f) std::snprintf(rate, sizeof rate, "%g Hz", double{session.SampleRate()});
  std::fprintf(log_,
               "tovik-slave: connection %llu from %s: %s in, %s out, %s, block size %s, %llu blocks, "
               "%llu bytes in, %llu bytes out; %s\n",
               static_cast<unsigned long long>(stats_.connections), peer.c_str(),
               CountText(session.Inputs()).c_str(), CountText(session.Outputs()).c_str(), rate,
               CountText(session.BlockSize()).c_str(), static_cast<unsigned long long>(session.Blocks()),
               static_cast<unsigned long long>(session.BytesIn()),
               static_cast<unsigned long long>(session.BytesOut()), SessionEndText(end));
  std::fflush(log_);
}

}  // namespace tovik::slave
