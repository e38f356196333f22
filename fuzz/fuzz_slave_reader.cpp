// tovik-slave's message reader fed any byte stream. Byte 0 picks the session's
// settings (gain, event echo, SysEx record size, silence, tracing) and byte 1
// the size of the pieces the bytes are written in; the rest arrives on one end
// of a socket pair whose other end a session serves, then that end is shut.
//
// Whatever the bytes, the session must end by itself, stay inside its areas
// (the sanitizers watch that), and everything it sends back must be whole
// answers a plug-in can read: msgHelloReply with 2 bytes, msgGetInfo with 12,
// msgProcess with B, C, N in range and C x N x B bytes of audio, each
// msgEvents (records within the limit) followed by a msgProcess. A session
// that is not silent answers every block it counted.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "SlaveSession.h"
#include "link/TransferBlock.h"

namespace {

using tovik::slave::CSlaveSession;
using tovik::slave::SessionEnd;
using tovik::slave::SlaveSettings;

void Check(bool condition) {
  if (!condition) std::abort();
}

// Follows the answers as they arrive, a byte at a time, without keeping them.
class CAnswerChecker {
 public:
  void Take(const unsigned char* data, size_t size) {
    while (size > 0) {
      if (skip_ > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(skip_, size));
        skip_ -= n;
        data += n;
        size -= n;
        continue;
      }
      field_[filled_++] = *data++;
      --size;
      if (filled_ == want_) Complete();
    }
  }

  // The stream ended: it must end between answers.
  void End() const { Check(state_ == State::kCode && filled_ == 0 && skip_ == 0 && !eventsPending_); }
  uint64_t ProcessAnswers() const { return processAnswers_; }

 private:
  enum class State { kCode, kEventLength, kProcessHeader };

  static int32_t Field(const unsigned char* p) {
    int32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
  }

  void Expect(State state, size_t bytes) {
    state_ = state;
    want_ = bytes;
    filled_ = 0;
  }

  void Complete() {
    switch (state_) {
      case State::kCode: {
        const int32_t code = Field(field_);
        Check(!eventsPending_ || code == msgProcess);
        if (code == msgHelloReply) {
          skip_ = kHelloBytes;
          Expect(State::kCode, 4);
        } else if (code == msgGetInfo) {
          skip_ = kGetInfoReplyBytes;
          Expect(State::kCode, 4);
        } else if (code == msgEvents) {
          Expect(State::kEventLength, 4);
        } else {
          Check(code == msgProcess);
          Expect(State::kProcessHeader, 12);
        }
        return;
      }
      case State::kEventLength: {
        const int32_t length = Field(field_);
        // An empty echo is never sent.
        Check(length > 0 && length <= kMaxEventBytes);
        skip_ = static_cast<uint64_t>(length);
        eventsPending_ = true;
        Expect(State::kCode, 4);
        return;
      }
      case State::kProcessHeader: {
        const int32_t precision = Field(field_);
        const int32_t channels = Field(field_ + 4);
        const int32_t frames = Field(field_ + 8);
        Check(precision >= 1 && precision <= 4 && channels >= 0 && channels <= kMaxChannels && frames >= 0 &&
              frames <= kAudioAreaSize);
        const int64_t audio = int64_t{precision} * channels * frames;
        Check(audio <= kAudioAreaSize);
        skip_ = static_cast<uint64_t>(audio);
        eventsPending_ = false;
        ++processAnswers_;
        Expect(State::kCode, 4);
        return;
      }
    }
  }

  State state_ = State::kCode;
  unsigned char field_[12] = {};
  size_t want_ = 4;
  size_t filled_ = 0;
  uint64_t skip_ = 0;
  bool eventsPending_ = false;
  uint64_t processAnswers_ = 0;
};

// The plug-in's end: writes the input in pieces while taking every answer,
// shuts its sending side when the input is out, and takes answers until the
// session's end closes. Waits are bounded so that a stuck session fails the
// run instead of hanging it.
void Feed(int fd, const unsigned char* data, size_t size, size_t piece, CAnswerChecker* checker) {
  static unsigned char answer[64 * 1024];
  bool sending = true;
  if (size == 0) {
    shutdown(fd, SHUT_WR);
    sending = false;
  }
  for (;;) {
    pollfd p{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
    const int ready = poll(&p, 1, 5000);
    Check(ready == 1);
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t got = recv(fd, answer, sizeof answer, MSG_DONTWAIT);
      if (got == 0) return;
      if (got > 0) {
        checker->Take(answer, static_cast<size_t>(got));
      } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        // The session's end is gone (it ended while input was left).
        return;
      }
    }
    if (sending && (p.revents & POLLOUT) != 0) {
      const ssize_t sent = send(fd, data, std::min(size, piece), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent > 0) {
        data += sent;
        size -= static_cast<size_t>(sent);
      } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        sending = false;
      }
      if (size == 0 || !sending) {
        shutdown(fd, SHUT_WR);
        sending = false;
      }
    }
  }
}

std::FILE* traceSink = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  traceSink = std::fopen("/dev/null", "w");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  const size_t piece = 1 + size_t{data[1]} * 37;
  data += 2;
  size -= 2;

  SlaveSettings settings;
  if ((flags & 0x01) != 0) settings.SetGainDb(-6.0);
  settings.echoEvents = (flags & 0x02) != 0;
  const int32_t fixedChoices[4] = {0, 20, 24, 0};
  settings.sysexFixed = fixedChoices[(flags >> 2) & 3];
  settings.silent = (flags & 0x10) != 0;
  settings.verbose = (flags & 0x20) != 0;
  settings.stallMs = 3000;
  settings.messageMs = 6000;

  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return 0;
  std::atomic<bool> stop{false};
  CAnswerChecker checker;
  uint64_t blocks = 0;
  SessionEnd end = SessionEnd::kStopped;
  {
    CSlaveSession session(ends[1], settings, nullptr, &stop);
    session.SetTrace(traceSink, 1);
    std::thread plugin(Feed, ends[0], data, size, piece, &checker);
    end = session.Run();
    blocks = session.Blocks();
    // The plug-in's end sees the connection close and stops taking answers.
    close(ends[1]);
    plugin.join();
  }
  close(ends[0]);

  // Everything written arrived, so the session cannot have stalled or been
  // stopped, and every answer it sent was taken whole.
  Check(end != SessionEnd::kStalled && end != SessionEnd::kStopped);
  if (end != SessionEnd::kSocketError) {
    checker.End();
    if (!settings.silent) Check(checker.ProcessAnswers() == blocks);
  }
  return 0;
}
