// The probe's sockets on POSIX systems.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "SlaveProbe.h"

namespace tovik::host::probe {
namespace {

using Clock = std::chrono::steady_clock;

#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

// Milliseconds left until the deadline, at least 0.
int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

Clock::time_point After(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Waits for events on the socket until the deadline; 0 when it ran out.
short WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int n = poll(&entry, 1, MillisecondsLeft(deadline));
    if (n > 0) return entry.revents;
    if (n == 0) return 0;
    if (errno != EINTR) return POLLERR;
  }
}

bool IsClosedError(int error) {
  return error == ECONNRESET || error == EPIPE || error == ECONNABORTED;
}

class CSocket {
 public:
  explicit CSocket(int descriptor) : fd(descriptor) {}
  ~CSocket() {
    if (fd >= 0) close(fd);
  }
  CSocket(const CSocket&) = delete;
  CSocket& operator=(const CSocket&) = delete;
  int fd;
};

}  // namespace

bool Resolve(const std::string& host, int port, std::vector<Address>& addresses, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  const int status = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (status != 0) {
    error = status == EAI_NONAME
#if defined(EAI_NODATA) && EAI_NODATA != EAI_NONAME
                    || status == EAI_NODATA
#endif
                ? "name not found"
                : gai_strerror(status);
    return false;
  }
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
    Address address;
    const auto* bytes = reinterpret_cast<const unsigned char*>(a->ai_addr);
    address.bytes.assign(bytes, bytes + a->ai_addrlen);
    address.family = a->ai_family;
    char text[INET6_ADDRSTRLEN] = "";
    const void* raw =
        a->ai_family == AF_INET
            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr)
            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr);
    inet_ntop(a->ai_family, raw, text, sizeof(text));
    address.text = a->ai_family == AF_INET6 ? "[" + std::string(text) + "]:" + service
                                            : std::string(text) + ":" + service;
    addresses.push_back(std::move(address));
  }
  freeaddrinfo(list);
  return true;
}

ProbeAttempt Try(const Address& address, const std::vector<unsigned char>& handshake,
                 const ProbeSettings& settings) {
  ProbeAttempt attempt;
  attempt.address = address.text;
  CSocket socket(::socket(address.family, SOCK_STREAM, IPPROTO_TCP));
  if (socket.fd < 0) {
    attempt.detail = std::strerror(errno);
    return attempt;
  }
  fcntl(socket.fd, F_SETFD, FD_CLOEXEC);
  fcntl(socket.fd, F_SETFL, fcntl(socket.fd, F_GETFL, 0) | O_NONBLOCK);
#if defined(SO_NOSIGPIPE)
  int on = 1;
  setsockopt(socket.fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof(on));
#endif

  // The connection, bounded.
  const auto* where = reinterpret_cast<const sockaddr*>(address.bytes.data());
  int error = 0;
  if (connect(socket.fd, where, static_cast<socklen_t>(address.bytes.size())) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      error = errno;
    } else {
      const short events = WaitFor(socket.fd, POLLOUT, After(settings.connectSeconds));
      if (events == 0) {
        attempt.outcome = ProbeOutcome::kNoAnswer;
        return attempt;
      }
      socklen_t length = sizeof(error);
      if (getsockopt(socket.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    }
  }
  if (error != 0) {
    attempt.outcome = error == ECONNREFUSED ? ProbeOutcome::kRefused
                      : error == ETIMEDOUT  ? ProbeOutcome::kNoAnswer
                                            : ProbeOutcome::kConnectFailed;
    attempt.detail = std::strerror(error);
    return attempt;
  }

  // The handshake: a few dozen bytes, which an open connection takes at once.
  unsigned char answer[4];
  size_t received = 0;
  bool closed = false;
  const Clock::time_point sendDeadline = After(settings.answerSeconds);
  size_t sent = 0;
  while (sent < handshake.size() && !closed) {
    const ssize_t n = send(socket.fd, handshake.data() + sent, handshake.size() - sent, kSendFlags);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (WaitFor(socket.fd, POLLOUT, sendDeadline) == 0) break;
    } else {
      closed = true;
    }
  }
  // Any answer within the bound: the first bytes tell a slave from another program.
  const Clock::time_point deadline = After(settings.answerSeconds);
  while (!closed && received < sizeof(answer)) {
    const short events = WaitFor(socket.fd, POLLIN, deadline);
    if (events == 0) break;
    const ssize_t n = recv(socket.fd, answer + received, sizeof(answer) - received, 0);
    if (n > 0) {
      received += static_cast<size_t>(n);
    } else if (n == 0 || !(errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (n != 0 && !IsClosedError(errno)) attempt.detail = std::strerror(errno);
      closed = true;
    }
  }
  attempt.outcome = ClassifyAnswer(answer, received, closed);
  return attempt;
}

}  // namespace tovik::host::probe
