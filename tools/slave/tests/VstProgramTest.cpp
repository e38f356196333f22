// tovik-slave running a deliberately faulty VST 2.4 plug-in: one that
// crashes or hangs ends only its own connection, the log names it, and the
// slave goes on serving.
#if defined(TOVIK_TEST_VST)

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>

#include "SlaveProcessSupport.h"
#include "frame/VstAbi.h"

namespace tovik::slave::test {
namespace {

const std::string kName = std::string("Tovik Faulty VST <") + TOVIK_TEST_VST + ">";

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
  ExpectHangEndsOnlyItsConnection(slave, port, 2, kName);
}

// The line naming the hung plug-in is written even when the plug-in hangs
// holding the lock of the stream the slave logs to.
TEST(VstProgram, APluginThatHangsHoldingTheLogsLockIsStillNamedAndEnded) {
  const uint16_t port = FreePort();
  setenv("TOVIK_FAULTY_VST_HANG_HOLDING_STDERR", "1", 1);
  SlaveProcess slave({"--port", std::to_string(port), "--stall-ms", "300", "--plugin", TOVIK_TEST_VST,
                      "--set", "hang_after=0.001"});
  unsetenv("TOVIK_FAULTY_VST_HANG_HOLDING_STDERR");
  ASSERT_TRUE(slave.WaitFor("listening")) << slave.Output();
  EXPECT_EQ(BlocksAnswered(port, 5), 1);
  EXPECT_TRUE(slave.WaitFor("hung in chain " + kName)) << slave.Output();
  EXPECT_TRUE(slave.WaitFor("died: exit status 3 in chain " + kName)) << slave.Output();
  EXPECT_EQ(BlocksAnswered(port, 1), 1);
}

// Over the wire: the block's time record is what the plug-in's
// audioMasterGetTime gets, and the note it sends back comes in msgEvents.
TEST(VstProgram, TheBlocksTimeRecordAndEventsReachThePluginAndItsEventsComeBack) {
  const uint16_t port = FreePort();
  SlaveProcess slave({"--port", std::to_string(port), "--plugin", TOVIK_TEST_VST, "--set", "show_time=1"});
  ASSERT_TRUE(slave.WaitFor("every connection runs")) << slave.Output();
  const int fd = ConnectTo(port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd, Concat({Hello(), SetIo(1, 1), SampleRate(48000.0f), BlockSize(64), Code(msgOpen),
                                  Code(msgResume)})));
  ASSERT_EQ(ReadBytes(fd, 6).size(), 6u);
  VstTimeInfo time{};
  time.samplePos = 9600.0;
  time.sampleRate = 48000.0;
  time.flags = kVstTransportPlaying;
  Bytes block = Code(msgProcess);
  const auto* raw = reinterpret_cast<const unsigned char*>(&time);
  block.insert(block.end(), raw, raw + sizeof time);
  const Bytes events = MidiRecord(7, 0x90, 60, 99);
  Put32(block, static_cast<int32_t>(events.size()));
  block.insert(block.end(), events.begin(), events.end());
  Put32(block, 4);
  Put32(block, 1);
  Put32(block, 64);
  block.insert(block.end(), 256, 0);
  ASSERT_TRUE(SendAll(fd, block));
  const Bytes code = ReadBytes(fd, 8);
  ASSERT_EQ(code.size(), 8u);
  ASSERT_EQ(Get32(code, 0), msgEvents);
  const Bytes back = ReadBytes(fd, static_cast<size_t>(Get32(code, 4)));
  // The note a fifth up at the same frame; the slave's records carry no flags.
  Bytes expected = MidiRecord(7, 0x90, 67, 99);
  Put32(expected, 0);
  std::memcpy(expected.data() + 13, expected.data() + expected.size() - 4, 4);
  expected.resize(expected.size() - 4);
  EXPECT_EQ(back, expected);
  const Bytes answer = ReadBytes(fd, 16 + 256);
  ASSERT_EQ(answer.size(), 16u + 256u);
  EXPECT_EQ(Get32(answer, 0), msgProcess);
  for (size_t i = 0; i < 64; ++i) {
    float sample = 0.0f;
    std::memcpy(&sample, answer.data() + 16 + 4 * i, 4);
    EXPECT_EQ(sample, 9600.0f + static_cast<float>(i)) << i;
  }
  close(fd);
}

// A real VST 2.4 plug-in loaded and probed in the slave, then run in each
// connection's own process: an LSP compressor on a stereo connection.
TEST(VstProgram, AnLspCompressorRunsInEachConnectionsProcess) {
  const std::string plugin = "/usr/lib/vst/lsp-plugins/compressor-stereo.so";
  if (access(plugin.c_str(), R_OK) != 0) GTEST_SKIP() << "lsp-plugins-vst is not installed";
  const uint16_t port = FreePort();
  SlaveProcess slave({"--port", std::to_string(port), "--plugin", plugin});
  ASSERT_TRUE(slave.WaitFor("every connection runs Compressor Stereo <" + plugin + ">")) << slave.Output();
  for (int connection = 0; connection < 2; ++connection) {
    const int fd = ConnectTo(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, Concat({Hello(), SetIo(2, 2), SampleRate(48000.0f), BlockSize(256), Code(msgOpen),
                                    Code(msgResume)})));
    ASSERT_EQ(ReadBytes(fd, 6).size(), 6u);
    double inEnergy = 0.0, outEnergy = 0.0;
    for (int block = 0; block < 40; ++block) {
      std::vector<float> planar(512);
      for (size_t i = 0; i < 256; ++i) {
        const double t = static_cast<double>(block * 256 + static_cast<int>(i)) / 48000.0;
        planar[i] = static_cast<float>(0.9 * std::sin(2.0 * 3.141592653589793 * 440.0 * t));
        planar[256 + i] = planar[i];
      }
      Bytes audio(planar.size() * 4);
      std::memcpy(audio.data(), planar.data(), audio.size());
      ASSERT_TRUE(SendAll(fd, Process(4, 2, 256, audio)));
      const Bytes answer = ReadBytes(fd, 16 + audio.size());
      ASSERT_EQ(answer.size(), 16u + audio.size()) << slave.Output();
      for (size_t i = 0; i < planar.size(); ++i) {
        float sample = 0.0f;
        std::memcpy(&sample, answer.data() + 16 + 4 * i, 4);
        ASSERT_TRUE(std::isfinite(sample));
        if (block >= 20) outEnergy += double{sample} * sample, inEnergy += double{planar[i]} * planar[i];
      }
    }
    close(fd);
    // Compressed: well below the input, far from silence.
    EXPECT_LT(outEnergy / inEnergy, 0.9);
    EXPECT_GT(outEnergy / inEnergy, 0.1);
  }
  EXPECT_TRUE(slave.WaitFor("latency 0 frames")) << slave.Output();
}

// A plug-in that crashes while the slave loads it at start is named with the
// signal, and the slave ends with exit status 2 instead of dying with it.
TEST(VstProgram, APluginThatCrashesWhileLoadedAtStartIsAnErrorNotACrash) {
  setenv("TOVIK_FAULTY_VST_CRASH_ON_LOAD", "1", 1);
  SlaveProcess slave({"--port", std::to_string(FreePort()), "--plugin", TOVIK_TEST_VST});
  unsetenv("TOVIK_FAULTY_VST_CRASH_ON_LOAD");
  EXPECT_EQ(slave.Exit(20000), 2);
  EXPECT_NE(slave.Output().find(std::string("cannot host ") + TOVIK_TEST_VST +
                                ": it crashed while loading: signal 6 (Aborted)"),
            std::string::npos)
      << slave.Output();
  EXPECT_EQ(slave.Output().find("listening"), std::string::npos) << slave.Output();
}

// --list-plugins loads each .so in a process of its own: one that crashes
// while loading gets a line saying so and the list goes on.
TEST(VstProgram, ListPluginsNamesAPluginThatCrashesWhileLoadingAndGoesOn) {
  std::string directory = TOVIK_TEST_VST;
  directory.resize(directory.find_last_of('/'));
  setenv("VST_PATH", directory.c_str(), 1);
  setenv("TOVIK_FAULTY_VST_CRASH_ON_LOAD", "1", 1);
  SlaveProcess slave({"--list-plugins"});
  unsetenv("VST_PATH");
  unsetenv("TOVIK_FAULTY_VST_CRASH_ON_LOAD");
  EXPECT_EQ(slave.Exit(60000), 0);
  EXPECT_NE(slave.Output().find(std::string(TOVIK_TEST_VST) +
                                "\t(not usable: it crashed while loading: signal 6 (Aborted))\n"),
            std::string::npos)
      << slave.Output().substr(slave.Output().find("VST 2.4"), 2000);
  if (access("/usr/lib/vst/lsp-plugins/compressor-stereo.so", R_OK) == 0) {
    EXPECT_NE(slave.Output().find(
                  "/usr/lib/vst/lsp-plugins/compressor-stereo.so\tCompressor Stereo\t2 in, 2 out\n"),
              std::string::npos);
  }
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
