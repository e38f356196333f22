// What the slave benchmarks need to talk to tovik-slave on loopback: little-
// endian message words, whole reads and writes (reads wait at most 5 s for
// each piece), and a connection without Nagle's delay.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace tovik::bench {

inline void Put(std::vector<unsigned char>& out, int32_t v) {
  unsigned char raw[4];
  std::memcpy(raw, &v, 4);
  out.insert(out.end(), raw, raw + 4);
}

inline bool ReadAll(int fd, unsigned char* p, size_t n) {
  while (n > 0) {
    pollfd w{fd, POLLIN, 0};
    if (poll(&w, 1, 5000) != 1) return false;
    const ssize_t got = recv(fd, p, n, 0);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

inline bool SendAll(int fd, const unsigned char* p, size_t n) {
  while (n > 0) {
    const ssize_t sent = send(fd, p, n, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    p += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

inline void NoDelay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// A connection to 127.0.0.1:port (-1 when refused).
inline int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  NoDelay(fd);
  return fd;
}

}  // namespace tovik::bench
