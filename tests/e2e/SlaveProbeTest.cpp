// The connection probe tovik-host runs when a plug-in got no answer: the bytes
// it opens with, and what it makes of each kind of peer on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "SlaveProbe.h"

#if !defined(_WIN32)
#include <poll.h>

#include "../support/LoopbackPorts.h"
#endif

namespace tovik::host {
namespace {

using Bytes = std::vector<unsigned char>;

TEST(SlaveProbe, OpensWithThePlugInsHandshake) {
  ProbeSettings settings;
  settings.inputs = 1;
  settings.outputs = 1;
  settings.sampleRate = 48000.0f;
  settings.blockSize = 2;
  // msgHello 1.8, msgSetIo 1 in 1 out, msgSetSampleRate 48000.0f, msgSetBlockSize 2, msgGetInfo.
  const Bytes expected = {0x03, 0, 0, 0, 0x01, 0x08,                                                  //
                          0x05, 0, 0, 0, 1,    0,    0,    0,    1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0,  //
                          0x07, 0, 0, 0, 0x00, 0x80, 0x3B, 0x47,                                      //
                          0x08, 0, 0, 0, 0x02, 0,    0,    0,                                         //
                          0x10, 0, 0, 0};
  EXPECT_EQ(ProbeHandshake(settings), expected);
}

TEST(SlaveProbe, ClassifiesTheFirstBytesOfTheAnswer) {
  const unsigned char helloReply[] = {4, 0, 0, 0};
  const unsigned char other[] = {'H', 'T', 'T', 'P'};
  EXPECT_EQ(ClassifyAnswer(helloReply, 4, false), ProbeOutcome::kAnswered);
  EXPECT_EQ(ClassifyAnswer(helloReply, 1, true), ProbeOutcome::kAnswered);
  EXPECT_EQ(ClassifyAnswer(other, 4, false), ProbeOutcome::kForeignAnswer);
  EXPECT_EQ(ClassifyAnswer(other, 0, true), ProbeOutcome::kClosedAtOnce);
  EXPECT_EQ(ClassifyAnswer(other, 0, false), ProbeOutcome::kNoHandshakeAnswer);
}

TEST(SlaveProbe, NameThatDoesNotResolve) {
  ProbeSettings settings;
  const ProbeResult r = ProbeSlave("no-such-host.invalid", 19284, settings);
  EXPECT_EQ(r.outcome, ProbeOutcome::kNameNotResolved);
  EXPECT_TRUE(r.attempts.empty());
  EXPECT_EQ(r.message, "cannot resolve 'no-such-host.invalid': name not found");
}

#if !defined(_WIN32)
using tovik::test::Blackhole;
using tovik::test::ClosedPort;

// A loopback listener that takes one connection and then does what it is told.
class CPeer {
 public:
  enum class Kind { kCloseAtOnce, kReadOnly, kAnswerHello, kAnswerText };

  explicit CPeer(Kind kind) {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 4);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    worker = std::thread([this, kind]() { Serve(kind); });
  }
  ~CPeer() {
    stop = true;
    Finish();
    close(listener);
  }
  unsigned Port() const { return port; }
  // Waits for the peer to see the probe's end of the connection close, then
  // returns what it read.
  const Bytes& Finish() {
    if (worker.joinable()) worker.join();
    return received;
  }

 private:
  void Serve(Kind kind) {
    // Every wait here is bounded: 5 s at most for the whole exchange.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    auto expired = [&]() { return stop || std::chrono::steady_clock::now() > deadline; };
    pollfd entry{listener, POLLIN, 0};
    while (!expired() && poll(&entry, 1, 20) == 0) {
    }
    if (expired()) return;
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    if (kind == Kind::kCloseAtOnce) {
      close(fd);
      return;
    }
    if (kind == Kind::kAnswerHello) {
      const unsigned char reply[] = {4, 0, 0, 0, 2, 8};
      (void)send(fd, reply, sizeof reply, MSG_NOSIGNAL);
    } else if (kind == Kind::kAnswerText) {
      const char text[] = "SSH-2.0-something\r\n";
      (void)send(fd, text, sizeof text - 1, MSG_NOSIGNAL);
    }
    while (!expired()) {
      pollfd in{fd, POLLIN, 0};
      if (poll(&in, 1, 20) <= 0) continue;
      unsigned char buffer[256];
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      received.insert(received.end(), buffer, buffer + n);
    }
    close(fd);
  }

  int listener = -1;
  unsigned port = 0;
  std::atomic<bool> stop{false};
  Bytes received;
  std::thread worker;
};

std::string Loopback(unsigned port) {
  return "127.0.0.1:" + std::to_string(port);
}

TEST(SlaveProbe, ClosedPortIsRefused) {
  ClosedPort closed;
  const ProbeResult r = ProbeSlave("127.0.0.1", static_cast<int>(closed.port()), ProbeSettings());
  EXPECT_EQ(r.outcome, ProbeOutcome::kRefused);
  ASSERT_EQ(r.attempts.size(), 1u);
  EXPECT_EQ(r.message,
            "connection refused by " + Loopback(closed.port()) + ": is tovik-slave running there?");
}

TEST(SlaveProbe, FullBacklogGivesNoAnswerWithinTheBound) {
  Blackhole hole;
  ProbeSettings settings;
  settings.connectSeconds = 0.3;
  const ProbeResult r = ProbeSlave("127.0.0.1", static_cast<int>(hole.port()), settings);
  EXPECT_EQ(r.outcome, ProbeOutcome::kNoAnswer);
  EXPECT_EQ(r.message,
            "no answer from " + Loopback(hole.port()) + " within 300 ms (firewall, or the machine is off)");
}

TEST(SlaveProbe, PeerThatClosesAtOnceIsBusy) {
  CPeer peer(CPeer::Kind::kCloseAtOnce);
  const ProbeResult r = ProbeSlave("127.0.0.1", static_cast<int>(peer.Port()), ProbeSettings());
  EXPECT_EQ(r.outcome, ProbeOutcome::kClosedAtOnce);
  EXPECT_EQ(r.message,
            "the slave at " + Loopback(peer.Port()) +
                " accepted the connection but never activated it (busy: --max-connections reached, or "
                "another program on that port)");
}

TEST(SlaveProbe, PeerThatReadsAndNeverAnswersFailsTheHandshake) {
  CPeer peer(CPeer::Kind::kReadOnly);
  ProbeSettings settings;
  const ProbeResult r = ProbeSlave("127.0.0.1", static_cast<int>(peer.Port()), settings);
  EXPECT_EQ(r.outcome, ProbeOutcome::kNoHandshakeAnswer);
  EXPECT_EQ(r.message, "connected to " + Loopback(peer.Port()) +
                           " but the slave did not answer the handshake within 250 ms");
}

TEST(SlaveProbe, PeerThatAnswersTheHelloIsASlaveAndGotTheWholeHandshake) {
  ProbeSettings settings;
  CPeer peer(CPeer::Kind::kAnswerHello);
  const ProbeResult r = ProbeSlave("127.0.0.1", static_cast<int>(peer.Port()), settings);
  EXPECT_EQ(r.outcome, ProbeOutcome::kAnswered);
  EXPECT_EQ(peer.Finish(), ProbeHandshake(settings));
  EXPECT_NE(r.message.find("answers its handshake now"), std::string::npos) << r.message;
}

TEST(SlaveProbe, PeerThatAnswersSomethingElseIsAnotherProgram) {
  CPeer peer(CPeer::Kind::kAnswerText);
  const ProbeResult r = ProbeSlave("127.0.0.1", static_cast<int>(peer.Port()), ProbeSettings());
  EXPECT_EQ(r.outcome, ProbeOutcome::kForeignAnswer);
  EXPECT_EQ(r.message, "connected to " + Loopback(peer.Port()) +
                           " but what answered is not a Tovik slave (another program on that port?)");
}
#endif

}  // namespace
}  // namespace tovik::host
