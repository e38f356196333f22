// A connected socket read and written in whole pieces within bounded time. The
// stream buffers what arrives so that a message's small fields cost no system
// call each, and reads large payloads straight into their destination.
//
// Every wait is bounded: once a message has begun, a peer that sends nothing
// for the stall time, or takes longer than the message time for the whole
// message, fails the read; a peer that takes nothing for the stall time fails
// the send. Waits also end when the stop flag is set.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace tovik::slave {

class CSocketStream {
 public:
  enum class Status { kOk, kClosed, kStalled, kError, kStopped };

  // Puts fd in non-blocking mode; the stream does not close it.
  CSocketStream(int fd, int32_t stallMs, int32_t messageMs, const std::atomic<bool>* stop);

  // Waits, without a time limit, until the first byte of the next message is
  // there and starts that message's clock. kClosed when the peer has closed.
  Status AwaitMessage();
  // Reads exactly n bytes of the current message.
  Status Read(void* dst, size_t n);
  // Skips exactly n bytes of the current message.
  Status Skip(size_t n);
  // Sends every byte of the pieces, in order, in as few system calls as the
  // socket allows.
  Status Send(const iovec* pieces, int count);

  uint64_t BytesIn() const { return bytesIn_; }
  uint64_t BytesOut() const { return bytesOut_; }

 private:
  using Clock = std::chrono::steady_clock;

  // Waits for the socket to become readable (events POLLIN) or writable
  // (POLLOUT), no longer than the stall time since lastProgress and the
  // message deadline allow.
  Status WaitFor(short events, Clock::time_point lastProgress, bool useDeadline);
  // One recv into the buffer or into dst; >0 bytes, 0 closed, -1 would block, -2 error.
  long ReceiveSome(void* dst, size_t n);

  static constexpr size_t kBufferSize = 64 * 1024;

  int fd_;
  std::chrono::milliseconds stall_;
  std::chrono::milliseconds messageLimit_;
  const std::atomic<bool>* stop_;
  std::unique_ptr<unsigned char[]> buffer_;
  size_t head_ = 0;
  size_t tail_ = 0;
  Clock::time_point deadline_;
  uint64_t bytesIn_ = 0;
  uint64_t bytesOut_ = 0;
};

}  // namespace tovik::slave
