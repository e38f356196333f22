// The real tovik-slave started as a process by the tests, its output read
// back, and loopback connections to it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "SlaveTestSupport.h"

extern char** environ;

namespace tovik::slave::test {

// A running tovik-slave whose stderr (and stdout) the test reads.
class SlaveProcess {
 public:
  explicit SlaveProcess(const std::vector<std::string>& args) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<std::string> all{TOVIK_SLAVE_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    output_ = pipeFds[0];
  }
  ~SlaveProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) close(output_);
  }

  // Reads output until it contains text (true) or timeoutMs passes.
  bool WaitFor(const std::string& text, int timeoutMs = 5000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (text_.find(text) == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
              .count();
      if (left <= 0) return false;
      pollfd p{output_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      char chunk[4096];
      const ssize_t got = read(output_, chunk, sizeof chunk);
      if (got <= 0) return false;
      text_.append(chunk, static_cast<size_t>(got));
    }
    return true;
  }
  // Waits for the exit and returns the exit code (-1 for a signal or time-out).
  int Exit(int timeoutMs = 5000) {
    WaitFor("\x01", timeoutMs);  // drains the output to its end
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void Signal(int number) { kill(pid_, number); }
  const std::string& Output() const { return text_; }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string text_;
};

// A port that was free a moment ago.
inline uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// A client connection to the slave on loopback port, or -1.
inline int ConnectTo(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

// Connects, shakes hands (1 in, 1 out, 48 kHz, 64 frames) and relays blocks
// of 64 frames until one is not answered; returns how many were.
inline int BlocksAnswered(uint16_t port, int most) {
  const int fd = ConnectTo(port);
  if (fd < 0) return -1;
  SendAll(fd, Concat({Hello(), SetIo(1, 1), SampleRate(48000.0f), BlockSize(64), Code(msgOpen),
                      Code(msgResume)}));
  int answered = 0;
  if (ReadBytes(fd, 6).size() == 6) {
    for (; answered < most; ++answered) {
      if (!SendAll(fd, Process(4, 1, 64, Bytes(256, 0)))) break;
      if (ReadBytes(fd, 16 + 256, 3000).size() != 16 + 256) break;
    }
  }
  close(fd);
  return answered;
}

// A slave on port whose chain (named `chain` in the log) hangs in the block
// after `answered` ones: that connection gets its blocks and is ended after
// a line naming the chain, while a healthy connection opened before it (its
// chain has run no block yet) keeps being answered.
inline void ExpectHangEndsOnlyItsConnection(SlaveProcess& slave, uint16_t port, int answered,
                                            const std::string& chain) {
  ASSERT_TRUE(slave.WaitFor("listening")) << slave.Output();
  const int healthy = ConnectTo(port);
  ASSERT_GE(healthy, 0);
  SendAll(healthy, Concat({Hello(), SetIo(1, 1), SampleRate(48000.0f), BlockSize(64), Code(msgOpen)}));
  ASSERT_EQ(ReadBytes(healthy, 6).size(), 6u);
  EXPECT_EQ(BlocksAnswered(port, 10), answered);
  EXPECT_TRUE(slave.WaitFor("hung in chain " + chain)) << slave.Output();
  EXPECT_TRUE(slave.WaitFor("died: exit status 3 in chain " + chain)) << slave.Output();
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(SendAll(healthy, Process(4, 1, 64, Bytes(256, 0))));
    EXPECT_EQ(ReadBytes(healthy, 16 + 256).size(), 16u + 256u);
  }
  close(healthy);
}

}  // namespace tovik::slave::test
