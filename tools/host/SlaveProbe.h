// Finds out why a plug-in got no answer from its slave, the way the plug-in
// itself connects: the name is resolved, each address is connected to without
// blocking (bounded), and on a connection the handshake a plug-in opens with
// (msgHello, msgSetIo, msgSetSampleRate, msgSetBlockSize, msgGetInfo) is sent
// and any answer awaited for 250 ms; then the probe closes the connection.
//
// The plug-in's own state is not visible to a host, so tovik-host runs the
// probe after a warm-up that got no answer and names what it found.
// SlaveProbe.cpp holds the steps and the messages; SlaveProbePosix.cpp and
// SlaveProbeWin32.cpp the sockets.
#pragma once

#include <string>
#include <vector>

namespace tovik::host {

// How far a probe got, from the least far to the furthest.
enum class ProbeOutcome {
  kNameNotResolved,    // the name resolves to no address
  kNameTimedOut,       // the resolver gave no result within its bound
  kRefused,            // every address refused the connection
  kNoAnswer,           // an attempt had no answer within the connect bound (and none connected)
  kConnectFailed,      // another error (unreachable network...)
  kClosedAtOnce,       // connected, then closed by the peer without a word: busy
  kNoHandshakeAnswer,  // connected, nothing came back within 250 ms
  kForeignAnswer,      // connected, and what came back is no slave's msgHelloReply
  kAnswered,           // connected, and the slave answered the handshake
};

#if defined(_WIN32)
// Windows tries a refused connection again twice, half a second apart, before
// it reports the refusal: a shorter bound would call it no answer.
constexpr double kProbeConnectSeconds = 2.5;
#else
constexpr double kProbeConnectSeconds = 1.0;
#endif

struct ProbeSettings {
  double resolveSeconds = 5.0;                   // longest wait for the name's addresses
  double connectSeconds = kProbeConnectSeconds;  // longest wait for one address to take the connection
  double answerSeconds = 0.25;  // longest wait for the first byte of an answer to the handshake
  int inputs = 2;               // what msgSetIo announces
  int outputs = 2;
  float sampleRate = 48000.0f;
  int blockSize = 512;
};

// One address's attempt.
struct ProbeAttempt {
  std::string address;  // "127.0.0.1:19284", "[::1]:19284"
  ProbeOutcome outcome = ProbeOutcome::kConnectFailed;
  std::string detail;  // the system's words for a failure, if any
};

struct ProbeResult {
  ProbeOutcome outcome = ProbeOutcome::kConnectFailed;  // the furthest any attempt got
  std::string detail;                                   // the resolver's words when it failed
  std::vector<ProbeAttempt> attempts;                   // in the order the resolver gave the addresses
  std::string message;                                  // one sentence for the user
};

// The bytes a plug-in sends from msgHello to msgGetInfo.
std::vector<unsigned char> ProbeHandshake(const ProbeSettings& settings);

// Classifies what came back to the handshake: the first bytes received
// (possibly fewer than four), or none and whether the peer closed.
ProbeOutcome ClassifyAnswer(const unsigned char* bytes, size_t count, bool closed);

// Runs the probe. Every step is bounded: the whole takes at most
// resolveSeconds + addresses * (connectSeconds + answerSeconds) and a little.
ProbeResult ProbeSlave(const std::string& host, int port, const ProbeSettings& settings);

// The message for a finished probe (filled into ProbeResult::message).
std::string ProbeMessage(const std::string& host, int port, const ProbeSettings& settings,
                         const ProbeResult& result);

// Platform parts (SlaveProbePosix.cpp, SlaveProbeWin32.cpp).
namespace probe {
struct Address {
  std::vector<unsigned char> bytes;  // a sockaddr of its family
  int family = 0;
  std::string text;
};
// Resolves the name (blocking: SlaveProbe.cpp bounds it). false with the
// resolver's words in error.
bool Resolve(const std::string& host, int port, std::vector<Address>& addresses, std::string& error);
// Connects, sends the handshake and waits for an answer, each bounded.
ProbeAttempt Try(const Address& address, const std::vector<unsigned char>& handshake,
                 const ProbeSettings& settings);
}  // namespace probe

}  // namespace tovik::host
