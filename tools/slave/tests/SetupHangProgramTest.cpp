// tovik-slave with a VST 2.4 plug-in that hangs while it is being set up: in
// a connection's process (instantiation, activation) only that connection
// ends, with a line naming the plug-in and the step, and the slave goes on;
// at start (loading it, listing it) the slave gives up after --setup-ms.
// Also the chain's times in a connection's end line and in the summary.
#if defined(TOVIK_TEST_VST)

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "SlaveProcessSupport.h"

namespace tovik::slave::test {
namespace {

const std::string kName = std::string("Tovik Faulty VST <") + TOVIK_TEST_VST + ">";

// Connects and shakes hands for one channel at rate and 64 frames; -1 when
// the slave does not answer msgHello.
int Handshake(uint16_t port, float rate) {
  const int fd = ConnectTo(port);
  if (fd < 0) return -1;
  SendAll(fd,
          Concat({Hello(), SetIo(1, 1), SampleRate(rate), BlockSize(64), Code(msgOpen), Code(msgResume)}));
  if (ReadBytes(fd, 6).size() != 6) {
    close(fd);
    return -1;
  }
  return fd;
}

bool OneBlock(int fd) {
  return SendAll(fd, Process(4, 1, 64, Bytes(256, 0))) && ReadBytes(fd, 16 + 256, 3000).size() == 16 + 256;
}

TEST(SetupHangProgram, APluginThatHangsWhileInstantiatedEndsOnlyItsConnection) {
  const uint16_t port = FreePort();
  // The test plug-in's effSetSampleRate never returns for 44100 Hz.
  setenv("TOVIK_FAULTY_VST_HANG_AT_RATE", "44100", 1);
  SlaveProcess slave({"--port", std::to_string(port), "--setup-ms", "400", "--plugin", TOVIK_TEST_VST});
  unsetenv("TOVIK_FAULTY_VST_HANG_AT_RATE");
  ASSERT_TRUE(slave.WaitFor("every connection runs " + kName)) << slave.Output();
  const int healthy = Handshake(port, 48000.0f);
  ASSERT_GE(healthy, 0);
  ASSERT_TRUE(OneBlock(healthy));
  const int hanging = Handshake(port, 44100.0f);
  ASSERT_GE(hanging, 0);
  // Its process ends: the connection closes without an answer.
  EXPECT_FALSE(OneBlock(hanging));
  close(hanging);
  EXPECT_TRUE(slave.WaitFor(": hung while instantiating " + kName + " at 44100 Hz (no answer after"))
      << slave.Output();
  EXPECT_TRUE(slave.WaitFor("died: exit status 3 in chain " + kName)) << slave.Output();
  // The connection next to it keeps being answered, and the slave accepts
  // new ones.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(OneBlock(healthy));
  close(healthy);
  EXPECT_EQ(BlocksAnswered(port, 4), 4);
}

TEST(SetupHangProgram, APluginThatHangsWhenActivatedEndsItsConnectionWithALineNamingIt) {
  const uint16_t port = FreePort();
  setenv("TOVIK_FAULTY_VST_HANG_ON_RESUME", "1", 1);
  SlaveProcess slave({"--port", std::to_string(port), "--setup-ms", "300", "--plugin", TOVIK_TEST_VST});
  unsetenv("TOVIK_FAULTY_VST_HANG_ON_RESUME");
  ASSERT_TRUE(slave.WaitFor("every connection runs " + kName)) << slave.Output();
  EXPECT_EQ(BlocksAnswered(port, 3), 0);
  EXPECT_TRUE(slave.WaitFor(": hung while activating " + kName + " (no answer after")) << slave.Output();
  EXPECT_TRUE(slave.WaitFor("died: exit status 3 in chain " + kName)) << slave.Output();
  // The slave keeps accepting (and each connection meets the same fate).
  EXPECT_EQ(BlocksAnswered(port, 3), 0);
  EXPECT_TRUE(slave.WaitFor("connection 2 from")) << slave.Output();
}

TEST(SetupHangProgram, APluginThatHangsWhileLoadedAtStartStopsTheSlaveAfterTheSetUpLimit) {
  setenv("TOVIK_FAULTY_VST_HANG_ON_LOAD", "1", 1);
  SlaveProcess slave({"--port", std::to_string(FreePort()), "--plugin", TOVIK_TEST_VST, "--setup-ms", "300"});
  unsetenv("TOVIK_FAULTY_VST_HANG_ON_LOAD");
  EXPECT_EQ(slave.Exit(10000), 2);
  EXPECT_NE(slave.Output().find(std::string("tovik-slave: hung while loading the plug-in ") + TOVIK_TEST_VST +
                                " at start (--setup-ms 300): nothing started (no answer after"),
            std::string::npos)
      << slave.Output();
  EXPECT_EQ(slave.Output().find("listening"), std::string::npos) << slave.Output();
}

// --list-plugins loads each .so in a process of its own, which gets the
// set-up limit: one that hangs gets a line saying so and the list goes on.
TEST(SetupHangProgram, ListPluginsGivesUpOnAPluginThatHangsWhileLoaded) {
  std::string directory = TOVIK_TEST_VST;
  directory.resize(directory.find_last_of('/'));
  setenv("VST_PATH", directory.c_str(), 1);
  setenv("TOVIK_FAULTY_VST_HANG_ON_LOAD", "1", 1);
  SlaveProcess slave({"--list-plugins", "--setup-ms", "300"});
  unsetenv("VST_PATH");
  unsetenv("TOVIK_FAULTY_VST_HANG_ON_LOAD");
  EXPECT_EQ(slave.Exit(60000), 0);
  EXPECT_NE(slave.Output().find(std::string(TOVIK_TEST_VST) +
                                "\t(not usable: no answer within 300 ms of loading it, --setup-ms)\n"),
            std::string::npos)
      << slave.Output();
}

TEST(SetupHangProgram, SetUpLimitOutOfRangeIsAUsageError) {
  SlaveProcess zero({"--setup-ms", "0"});
  EXPECT_EQ(zero.Exit(), 2);
  EXPECT_NE(zero.Output().find("invalid set-up limit '0' (1 to 600000 ms)"), std::string::npos)
      << zero.Output();
  SlaveProcess help({"--help"});
  EXPECT_EQ(help.Exit(), 0);
  EXPECT_NE(help.Output().find("--setup-ms N"), std::string::npos);
}

// The end line of a connection and the summary at stop give the plug-ins'
// own time per block, the hosting time around it and the block's service.
TEST(SetupHangProgram, EndLineAndSummaryGiveThePluginAndHostingTimePerBlock) {
  const uint16_t port = FreePort();
  SlaveProcess slave({"--port", std::to_string(port), "--plugin", TOVIK_TEST_VST});
  ASSERT_TRUE(slave.WaitFor("every connection runs")) << slave.Output();
  EXPECT_EQ(BlocksAnswered(port, 40), 40);
  ASSERT_TRUE(slave.WaitFor("us/block\n")) << slave.Output();
  const std::string& out = slave.Output();
  const size_t line = out.find("40 blocks, ");
  ASSERT_NE(line, std::string::npos) << out;
  double plugins = -1.0, hosting = -1.0, service = -1.0;
  const size_t at = out.find("; plug-ins ", line);
  ASSERT_NE(at, std::string::npos) << out;
  ASSERT_EQ(
      std::sscanf(out.c_str() + at, "; plug-ins %lf us/block, hosting %lf us/block, service %lf us/block",
                  &plugins, &hosting, &service),
      3)
      << out.substr(at);
  EXPECT_GT(plugins, 0.0);
  EXPECT_GT(hosting, 0.0);
  EXPECT_LT(plugins + hosting, service);
  slave.Signal(SIGTERM);
  EXPECT_EQ(slave.Exit(), 0);
  EXPECT_NE(slave.Output().find("tovik-slave: chains over 40 blocks: plug-ins "), std::string::npos)
      << slave.Output();
}

// Without a chain nothing is said about plug-ins.
TEST(SetupHangProgram, PassThroughSaysNothingOfPluginTimes) {
  const uint16_t port = FreePort();
  SlaveProcess slave({"--port", std::to_string(port)});
  ASSERT_TRUE(slave.WaitFor("listening")) << slave.Output();
  EXPECT_EQ(BlocksAnswered(port, 5), 5);
  ASSERT_TRUE(slave.WaitFor("5 blocks")) << slave.Output();
  slave.Signal(SIGTERM);
  EXPECT_EQ(slave.Exit(), 0);
  EXPECT_EQ(slave.Output().find("plug-ins"), std::string::npos) << slave.Output();
  EXPECT_EQ(slave.Output().find("chains over"), std::string::npos) << slave.Output();
}

}  // namespace
}  // namespace tovik::slave::test

#endif
