// Loopback ports that a slave cannot be reached on, for connection tests.
// POSIX only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

namespace tovik::test {

// A loopback socket bound to an ephemeral port, listening only when asked.
class LoopbackSocket {
 public:
  explicit LoopbackSocket(bool listening) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    address_.sin_family = AF_INET;
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address_), sizeof address_);
    if (listening) ::listen(fd_, 0);
    socklen_t length = sizeof address_;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address_), &length);
  }
  ~LoopbackSocket() { ::close(fd_); }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;
  unsigned port() const { return ntohs(address_.sin_port); }
  const sockaddr_in& address() const { return address_; }

 private:
  int fd_ = -1;
  sockaddr_in address_{};
};

// A port on which nothing listens (bound, never listened on, kept reserved):
// connects to it are refused at once.
class ClosedPort : public LoopbackSocket {
 public:
  ClosedPort() : LoopbackSocket(false) {}
};

// A listener that never accepts and whose accept queue is full: further
// connects get no answer (their SYNs are dropped) and stay in progress.
class Blackhole : public LoopbackSocket {
 public:
  Blackhole() : LoopbackSocket(true) {
    for (int i = 0; i < 8; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address()), sizeof(sockaddr_in));
      fillers_.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ~Blackhole() {
    for (int fd : fillers_) ::close(fd);
  }

 private:
  std::vector<int> fillers_;
};

}  // namespace tovik::test
