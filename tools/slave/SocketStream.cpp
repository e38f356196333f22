#include "SocketStream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tovik::slave {

namespace {

// Waits are cut into slices of this length so that the stop flag is seen soon.
constexpr int kSliceMs = 100;
constexpr int kMaxPieces = 8;

}  // namespace

CSocketStream::CSocketStream(int fd, int32_t stallMs, int32_t messageMs, const std::atomic<bool>* stop)
    : fd_(fd),
      stall_(std::max<int32_t>(stallMs, 1)),
      messageLimit_(std::max<int32_t>(messageMs, 1)),
      stop_(stop),
      buffer_(new unsigned char[kBufferSize]) {
  const int flags = fcntl(fd_, F_GETFL, 0);
  if (flags >= 0 && SetTimeout(SO_RCVTIMEO, kSliceMs) && SetTimeout(SO_SNDTIMEO, kSliceMs)) {
    blocking_ = (flags & O_NONBLOCK) == 0 || fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) == 0;
  }
  if (!blocking_ && flags >= 0) fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

bool CSocketStream::SetTimeout(int option, int ms) {
  int& current = option == SO_RCVTIMEO ? receiveTimeoutMs_ : sendTimeoutMs_;
  if (current == ms) return true;
  timeval timeout{};
  timeout.tv_sec = ms / 1000;
  timeout.tv_usec = static_cast<decltype(timeout.tv_usec)>((ms % 1000) * 1000);
  if (setsockopt(fd_, SOL_SOCKET, option, &timeout, sizeof timeout) != 0) return false;
  current = ms;
  return true;
}

long CSocketStream::ReceiveSome(void* dst, size_t n) {
  const ssize_t got = recv(fd_, dst, n, 0);
  if (got > 0) {
    bytesIn_ += static_cast<uint64_t>(got);
    return static_cast<long>(got);
  }
  if (got == 0) return 0;
  // A timeout, or a signal (the stop flag may have been set): the caller
  // looks at the flag and the clock and calls again.
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? -1 : -2;
}

CSocketStream::Status CSocketStream::PrepareWait(short events, Clock::time_point lastProgress,
                                                 bool useDeadline) {
  for (;;) {
    if (stop_ != nullptr && stop_->load(std::memory_order_relaxed)) return Status::kStopped;
    const Clock::time_point now = Clock::now();
    Clock::time_point limit = lastProgress + stall_;
    if (useDeadline) limit = std::min(limit, deadline_);
    if (now >= limit) return Status::kStalled;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - now).count() + 1;
    const int wait = static_cast<int>(std::min<long long>(left, kSliceMs));
    if (blocking_) {
      // The next recv or sendmsg waits at most this long.
      if (SetTimeout(events == POLLIN ? SO_RCVTIMEO : SO_SNDTIMEO, wait)) return Status::kOk;
      return Status::kError;
    }
    pollfd p{fd_, events, 0};
    const int ready = poll(&p, 1, wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Status::kError;
    }
    // Errors and hang-ups show up in the following recv or send.
    if (ready > 0) return Status::kOk;
  }
}

CSocketStream::Status CSocketStream::AwaitMessage() {
  if (head_ == tail_) {
    head_ = tail_ = 0;
    // No time limit between messages: wait in slices, looking at the stop flag.
    if (blocking_ && !SetTimeout(SO_RCVTIMEO, kSliceMs)) return Status::kError;
    for (;;) {
      if (stop_ != nullptr && stop_->load(std::memory_order_relaxed)) return Status::kStopped;
      const long got = ReceiveSome(buffer_.get(), kBufferSize);
      if (got > 0) {
        tail_ = static_cast<size_t>(got);
        break;
      }
      if (got == 0) return Status::kClosed;
      if (got == -2) return Status::kError;
      if (blocking_) continue;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, kSliceMs) < 0 && errno != EINTR) return Status::kError;
    }
  }
  messageStart_ = Clock::now();
  deadline_ = messageStart_ + messageLimit_;
  return Status::kOk;
}

CSocketStream::Status CSocketStream::Read(void* dst, size_t n) {
  unsigned char* out = static_cast<unsigned char*>(dst);
  const size_t buffered = std::min(n, tail_ - head_);
  if (buffered > 0) {
    if (out != nullptr) std::memcpy(out, buffer_.get() + head_, buffered);
    head_ += buffered;
    n -= buffered;
    if (out != nullptr) out += buffered;
  }
  if (n == 0) return Status::kOk;
  // The rest must come from the socket, each call waiting no longer than the
  // stall time and the message deadline leave.
  Clock::time_point lastProgress = Clock::now();
  for (;;) {
    const Status ready = PrepareWait(POLLIN, lastProgress, true);
    if (ready != Status::kOk) return ready;
    long got;
    if (out != nullptr && n >= kBufferSize / 2) {
      // Large payloads go straight to their destination.
      got = ReceiveSome(out, n);
      if (got > 0) {
        out += got;
        n -= static_cast<size_t>(got);
      }
    } else {
      head_ = tail_ = 0;
      got = ReceiveSome(buffer_.get(), kBufferSize);
      if (got > 0) {
        tail_ = static_cast<size_t>(got);
        const size_t take = std::min(n, tail_);
        if (out != nullptr) {
          std::memcpy(out, buffer_.get(), take);
          out += take;
        }
        head_ = take;
        n -= take;
      }
    }
    if (got == 0) return Status::kClosed;
    if (got == -2) return Status::kError;
    if (got > 0) {
      if (n == 0) return Status::kOk;
      lastProgress = Clock::now();
      if (lastProgress >= deadline_) return Status::kStalled;
    }
  }
}

CSocketStream::Status CSocketStream::Skip(size_t n) {
  return Read(nullptr, n);
}

CSocketStream::Status CSocketStream::Send(const iovec* pieces, int count) {
  if (count < 0 || count > kMaxPieces) return Status::kError;
  iovec left[kMaxPieces];
  int used = 0;
  for (int i = 0; i < count; ++i) {
    if (pieces[i].iov_len > 0) left[used++] = pieces[i];
  }
  int first = 0;
  // Taken only once the socket has not taken everything at the first call.
  bool waited = false;
  Clock::time_point lastProgress;
  while (first < used) {
    msghdr message{};
    message.msg_iov = left + first;
    message.msg_iovlen = static_cast<size_t>(used - first);
    const ssize_t sent = sendmsg(fd_, &message, MSG_NOSIGNAL);
    if (sent > 0) {
      bytesOut_ += static_cast<uint64_t>(sent);
      size_t done = static_cast<size_t>(sent);
      while (first < used && done >= left[first].iov_len) {
        done -= left[first].iov_len;
        ++first;
      }
      if (first == used) break;
      left[first].iov_base = static_cast<unsigned char*>(left[first].iov_base) + done;
      left[first].iov_len -= done;
      lastProgress = Clock::now();
      waited = true;
    } else {
      if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return Status::kError;
      if (!waited) {
        // A blocking call that timed out has already waited its timeout.
        lastProgress = Clock::now() - std::chrono::milliseconds(blocking_ ? sendTimeoutMs_ : 0);
        waited = true;
      }
    }
    const Status ready = PrepareWait(POLLOUT, lastProgress, false);
    if (ready != Status::kOk) return ready;
  }
  return Status::kOk;
}

}  // namespace tovik::slave
