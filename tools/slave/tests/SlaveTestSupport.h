// Raw-socket client helpers for the slave's tests: a loopback TCP connection,
// exact reads with a time limit and builders for the plug-in's messages.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "link/TransferBlock.h"

namespace tovik::slave::test {

using Bytes = std::vector<unsigned char>;

inline void Put32(Bytes& out, int32_t value) {
  unsigned char raw[4];
  std::memcpy(raw, &value, 4);
  out.insert(out.end(), raw, raw + 4);
}

inline void PutFloat(Bytes& out, float value) {
  unsigned char raw[4];
  std::memcpy(raw, &value, 4);
  out.insert(out.end(), raw, raw + 4);
}

inline int32_t Get32(const Bytes& in, size_t at) {
  int32_t value;
  std::memcpy(&value, in.data() + at, 4);
  return value;
}

inline Bytes Code(int32_t code) {
  Bytes out;
  Put32(out, code);
  return out;
}

inline Bytes Hello(unsigned char ident1 = 1, unsigned char ident2 = 8) {
  Bytes out = Code(msgHello);
  out.push_back(ident1);
  out.push_back(ident2);
  return out;
}

inline Bytes SetIo(int32_t inputs, int32_t outputs) {
  Bytes out = Code(msgSetIo);
  Put32(out, inputs);
  Put32(out, outputs);
  Put32(out, 1);
  Put32(out, 1);
  return out;
}

inline Bytes SampleRate(float rate) {
  Bytes out = Code(msgSetSampleRate);
  PutFloat(out, rate);
  return out;
}

inline Bytes BlockSize(int32_t frames) {
  Bytes out = Code(msgSetBlockSize);
  Put32(out, frames);
  return out;
}

// A msgProcess as the plug-in sends it: time record, events, B, C, N, audio.
inline Bytes Process(int32_t precision, int32_t channels, int32_t frames, const Bytes& audio,
                     const Bytes& events = Bytes()) {
  Bytes out = Code(msgProcess);
  for (int i = 0; i < kTimeInfoBytes; ++i) out.push_back(static_cast<unsigned char>(i));
  Put32(out, static_cast<int32_t>(events.size()));
  out.insert(out.end(), events.begin(), events.end());
  Put32(out, precision);
  Put32(out, channels);
  Put32(out, frames);
  out.insert(out.end(), audio.begin(), audio.end());
  return out;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// A MIDI record: tag, type 1, byteSize 32, deltaFrames, flags, noteLength,
// noteOffset, 4 data bytes, detune, noteOffVelocity.
inline Bytes MidiRecord(int32_t deltaFrames, unsigned char status, unsigned char data1, unsigned char data2) {
  Bytes out{0};
  Put32(out, 1);
  Put32(out, 32);
  Put32(out, deltaFrames);
  Put32(out, 1);
  Put32(out, 0);
  Put32(out, 0);
  out.insert(out.end(), {status, data1, data2, 0, 0, 0});
  return out;
}

// A SysEx record with a fixed part of fixedBytes (20 or 24) and the given dump.
inline Bytes SysexRecord(int32_t fixedBytes, const Bytes& dump, int32_t deltaFrames = 0) {
  Bytes out{0};
  Put32(out, 6);
  Put32(out, fixedBytes == 24 ? 48 : 36);
  Put32(out, deltaFrames);
  Put32(out, 0);
  Put32(out, static_cast<int32_t>(dump.size()));
  if (fixedBytes == 24) out.insert(out.end(), {0xAA, 0xBB, 0xCC, 0xDD});
  out.insert(out.end(), dump.begin(), dump.end());
  return out;
}

// One end of a loopback TCP connection, the other end returned by Accept.
class LoopbackPair {
 public:
  LoopbackPair() {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 1);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    client = socket(AF_INET, SOCK_STREAM, 0);
    connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    server = accept(listener, nullptr, nullptr);
    close(listener);
    const int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  ~LoopbackPair() {
    CloseClient();
    if (server >= 0) close(server);
  }
  void CloseClient() {
    if (client >= 0) close(client);
    client = -1;
  }
  int client = -1;
  int server = -1;
};

inline bool SendAll(int fd, const Bytes& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t sent = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return true;
}

// Reads exactly n bytes within timeoutMs; returns what arrived (fewer on
// time-out or close).
inline Bytes ReadBytes(int fd, size_t n, int timeoutMs = 5000) {
  Bytes out(n);
  size_t done = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (done < n) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
    const ssize_t got = recv(fd, out.data() + done, n - done, 0);
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  out.resize(done);
  return out;
}

// True when nothing arrives within waitMs (the peer neither sent nor closed).
inline bool NothingArrives(int fd, int waitMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, waitMs) == 0;
}

// True when the peer closes within timeoutMs, discarding what it still sends.
inline bool PeerCloses(int fd, int timeoutMs = 5000) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  unsigned char sink[4096];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    const ssize_t got = recv(fd, sink, sizeof sink, 0);
    if (got <= 0) return true;
  }
}

}  // namespace tovik::slave::test
