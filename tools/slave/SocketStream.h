// A connected socket read and written in whole pieces within bounded time. The
// stream buffers what arrives so that a message's small fields cost no system
// call each, and reads large payloads straight into their destination.
//
// The socket stays blocking with a receive and send timeout of at most 100 ms:
// a block costs one recv (the whole message is usually there at once) and one
// sendmsg, with no poll before either. When the timeouts cannot be set the
// socket is made non-blocking and every wait is a poll instead.
//
// Every wait is bounded: once a message has begun, a peer that sends nothing
// for the stall time, or takes longer than the message time for the whole
// message, fails the read; a peer that takes nothing for the stall time fails
// the send. Waits also end when the stop flag is set (within 100 ms, at once
// when a signal interrupts the call).
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
  // When the current message's first bytes were taken from the socket.
  std::chrono::steady_clock::time_point MessageStart() const { return messageStart_; }
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

  // Before a call that may wait: kOk with the wait bounded by the stall time
  // since lastProgress (and the message deadline with useDeadline) and by the
  // stop flag's slice, or why no wait is left. With a non-blocking socket,
  // waits for the socket to become readable (POLLIN) or writable (POLLOUT).
  Status PrepareWait(short events, Clock::time_point lastProgress, bool useDeadline);
  // Sets the socket's receive (or send) timeout when it differs from the one
  // set; false when the socket refuses.
  bool SetTimeout(int option, int ms);
  // One recv into dst; >0 bytes, 0 closed, -1 nothing within the timeout (or
  // interrupted), -2 error.
  long ReceiveSome(void* dst, size_t n);

  static constexpr size_t kBufferSize = 64 * 1024;

  int fd_;
  std::chrono::milliseconds stall_;
  std::chrono::milliseconds messageLimit_;
  const std::atomic<bool>* stop_;
  std::unique_ptr<unsigned char[]> buffer_;
  size_t head_ = 0;
  size_t tail_ = 0;
  // False when the socket is non-blocking and waits are polls.
  bool blocking_ = false;
  int receiveTimeoutMs_ = -1;
  int sendTimeoutMs_ = -1;
  Clock::time_point messageStart_;
  Clock::time_point deadline_;
  uint64_t bytesIn_ = 0;
  uint64_t bytesOut_ = 0;
};

}  // namespace tovik::slave
