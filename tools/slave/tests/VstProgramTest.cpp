// tovik-slave running a deliberately faulty VST 2.4 plug-in: one that
// crashes or hangs ends only its own connection, the log names it, and the
// slave goes on serving.
#if defined(TOVIK_TEST_VST)

#include <gtest/gtest.h>

#include <string>

#include "SlaveProcessSupport.h"

namespace tovik::slave::test {
namespace {

const std::string kName = std::string("Tovik Faulty VST <") + TOVIK_TEST_VST + ">";

// Connects, shakes hands (1 in, 1 out, 48 kHz, 64 frames) and relays blocks
// of 64 frames until one is not answered; returns how many were.
int BlocksAnswered(uint16_t port, int most) {
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

TEST(VstProgram, APluginThatCrashesEndsOnlyItsConnectionAndTheLogNamesIt) {
  const uint16_t port = FreePort();
  SlaveProcess slave(
      {"--port", std::to_string(port), "--plugin", TOVIK_TEST_VST, "--set", "crash_after=0.003"});
  ASSERT_TRUE(slave.WaitFor("every connection runs " + kName)) << slave.Output();
  EXPECT_EQ(BlocksAnswered(port, 10), 3);
  EXPECT_TRUE(slave.WaitFor("died: signal 11 (Segmentation fault) in chain " + kName)) << slave.Output();
  EXPECT_NE(slave.Output().find("latency 17 frames"), std::string::npos) << slave.Output();
  // The slave goes on: the next connection gets its three blocks too.
  EXPECT_EQ(BlocksAnswered(port, 10), 3);
}

TEST(VstProgram, APluginThatHangsEndsOnlyItsConnectionAndTheLogNamesIt) {
  const uint16_t port = FreePort();
  SlaveProcess slave({"--port", std::to_string(port), "--stall-ms", "400", "--plugin", TOVIK_TEST_VST,
                      "--set", "hang_after=0.002"});
  ASSERT_TRUE(slave.WaitFor("listening")) << slave.Output();
  // A healthy connection next to it (its plug-in has run no block yet) keeps
  // being answered.
  const int healthy = ConnectTo(port);
  ASSERT_GE(healthy, 0);
  SendAll(healthy, Concat({Hello(), SetIo(1, 1), SampleRate(48000.0f), BlockSize(64), Code(msgOpen)}));
  ASSERT_EQ(ReadBytes(healthy, 6).size(), 6u);
  EXPECT_EQ(BlocksAnswered(port, 10), 2);
  EXPECT_TRUE(slave.WaitFor("hung in chain " + kName)) << slave.Output();
  EXPECT_TRUE(slave.WaitFor("died: exit status 3 in chain " + kName)) << slave.Output();
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(SendAll(healthy, Process(4, 1, 64, Bytes(256, 0))));
    EXPECT_EQ(ReadBytes(healthy, 16 + 256).size(), 16u + 256u);
  }
  close(healthy);
}

TEST(VstProgram, BadVstOptionsAreRefusedAtStartWithExitStatus2) {
  SlaveProcess slave({"--port", std::to_string(FreePort()), "--plugin", TOVIK_TEST_VST, "--set", "volume=1"});
  EXPECT_EQ(slave.Exit(), 2) << slave.Output();
  EXPECT_NE(
      slave.Output().find("has no parameter 'volume' (its parameters: crash_after, hang_after, show_time)"),
      std::string::npos)
      << slave.Output();
  EXPECT_EQ(slave.Output().find("listening"), std::string::npos) << slave.Output();
}

}  // namespace
}  // namespace tovik::slave::test

#endif
