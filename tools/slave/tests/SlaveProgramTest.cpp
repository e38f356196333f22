// The tovik-slave program as a user runs it: options, errors, exit codes, the
// connection line and the summary on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "SlaveProcessSupport.h"

namespace tovik::slave::test {
namespace {

TEST(SlaveProgram, HelpDescribesTheOptionsAndExitsZero) {
  SlaveProcess slave({"--help"});
  EXPECT_EQ(slave.Exit(), 0);
  for (const char* option : {"--port", "--bind", "--gain", "--echo-events", "--sysex-fixed", "--delay-ms",
                             "--silent", "--exit-on-close", "--quiet"}) {
    EXPECT_NE(slave.Output().find(option), std::string::npos) << option;
  }
}

TEST(SlaveProgram, BadOptionsAreRefusedWithAClearMessage) {
  for (const char* port : {"0", "65536", "12ab", "-5", ""}) {
    SlaveProcess slave({"--port", port});
    EXPECT_EQ(slave.Exit(), 2) << port;
    EXPECT_NE(slave.Output().find("invalid port"), std::string::npos) << slave.Output();
  }
  SlaveProcess sysex({"--sysex-fixed=22"});
  EXPECT_EQ(sysex.Exit(), 2);
  SlaveProcess gain({"--gain", "loud"});
  EXPECT_EQ(gain.Exit(), 2);
  SlaveProcess unknown({"--frobnicate"});
  EXPECT_EQ(unknown.Exit(), 2);
  EXPECT_NE(unknown.Output().find("unknown option '--frobnicate'"), std::string::npos);
}

TEST(SlaveProgram, APortInUseIsReportedAndExitsNonZero) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string port = std::to_string(ntohs(address.sin_port));
  SlaveProcess slave({"--port", port});
  EXPECT_EQ(slave.Exit(), 1);
  EXPECT_NE(slave.Output().find("port " + port + " is already in use"), std::string::npos) << slave.Output();
  close(fd);
}

TEST(SlaveProgram, LogsEachConnectionAndSummarisesOnSigterm) {
  const uint16_t port = FreePort();
  SlaveProcess slave({"--port", std::to_string(port), "--gain", "-6"});
  ASSERT_TRUE(slave.WaitFor("listening on 127.0.0.1 port " + std::to_string(port))) << slave.Output();

  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_TRUE(SendAll(fd, Concat({Hello(), SetIo(2, 2), SampleRate(44100.0f), BlockSize(64), Code(msgGetInfo),
                                  Code(msgOpen), Process(2, 2, 64, Bytes(256, 0))})));
  EXPECT_EQ(ReadBytes(fd, 6 + 16 + 16 + 256).size(), 6u + 16u + 16u + 256u);
  close(fd);
  EXPECT_TRUE(slave.WaitFor("2 in, 2 out, 44100 Hz, block size 64, 1 blocks")) << slave.Output();

  slave.Signal(SIGTERM);
  EXPECT_EQ(slave.Exit(), 0);
  EXPECT_NE(slave.Output().find("1 connections, 1 blocks processed"), std::string::npos) << slave.Output();
  EXPECT_NE(slave.Output().find("median"), std::string::npos);
  EXPECT_NE(slave.Output().find("p99"), std::string::npos);
}

TEST(SlaveProgram, QuietPrintsNothingAndSigintStopsIt) {
  const uint16_t port = FreePort();
  SlaveProcess slave({"--quiet", "--port", std::to_string(port)});
  // Wait until it accepts connections.
  bool listening = false;
  for (int i = 0; i < 100 && !listening; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    listening = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (!listening) usleep(20000);
  }
  ASSERT_TRUE(listening);
  slave.Signal(SIGINT);
  EXPECT_EQ(slave.Exit(), 0);
  EXPECT_EQ(slave.Output(), "");
}

}  // namespace
}  // namespace tovik::slave::test
