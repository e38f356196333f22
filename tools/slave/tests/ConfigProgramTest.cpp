// tovik-slave --config FILE as a program: one slave listening on every port
// of the file, each port's connections running that port's chain, and the
// file's mistakes refused at start with their line and column (exit 2,
// nothing started).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "SlaveProcessSupport.h"

namespace tovik::slave::test {
namespace {

#if TOVIK_HAVE_TOML

// A TOML file in the temporary directory, removed with the object.
class ConfigFile {
 public:
  explicit ConfigFile(const std::string& text) {
    char name[] = "/tmp/tovik-slave-config-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) {
      path_ = name;
      const ssize_t written = write(fd, text.data(), text.size());
      (void)written;
      close(fd);
    }
  }
  ~ConfigFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

void ExpectRefused(const std::vector<std::string>& args, const std::string& message) {
  SlaveProcess slave(args);
  EXPECT_EQ(slave.Exit(), 2) << slave.Output();
  EXPECT_NE(slave.Output().find(message), std::string::npos) << slave.Output();
  EXPECT_EQ(slave.Output().find("listening"), std::string::npos) << slave.Output();
}

// Stereo blocks of 64 frames through the slave on port, on one connection:
// the last answer's samples, or nothing when a block was not answered.
std::vector<float> RelayStereoBlock(uint16_t port, const std::vector<float>& planar, int blocks = 1) {
  const int fd = ConnectTo(port);
  if (fd < 0) return {};
  Bytes audio(planar.size() * 4);
  std::memcpy(audio.data(), planar.data(), audio.size());
  SendAll(fd, Concat({Hello(), SetIo(2, 2), SampleRate(48000.0f), BlockSize(64), Code(msgOpen),
                      Code(msgResume)}));
  std::vector<float> samples;
  if (ReadBytes(fd, 6).size() == 6) {
    for (int block = 0; block < blocks; ++block) {
      samples.clear();
      SendAll(fd, Process(4, 2, 64, audio));
      const Bytes answer = ReadBytes(fd, 16 + audio.size(), 5000);
      if (answer.size() != 16 + audio.size()) break;
      samples.resize(planar.size());
      std::memcpy(samples.data(), answer.data() + 16, audio.size());
    }
  }
  close(fd);
  return samples;
}

#if TOVIK_HAVE_LILV

TEST(ConfigProgram, EachPortOfTheFileRelaysThroughItsOwnChain) {
  const uint16_t first = FreePort();
  uint16_t second = FreePort();
  while (second == first) second = FreePort();
  const uint16_t plain = FreePort();
  ConfigFile file(
      "# two amplifiers, one slave\n"
      "[[slave]]\n"
      "port = " +
      std::to_string(first) +
      "\n"
      "bind = \"127.0.0.1\"\n"
      "plugins = [ { uri = \"http://lv2plug.in/plugins/eg-amp\", set = { gain = -6.0 } } ]\n"
      "\n"
      "[[slave]]\n"
      "port = " +
      std::to_string(second) +
      "\n"
      "plugins = [ { uri = \"http://lv2plug.in/plugins/eg-amp\", set = { gain = -12 } } ]\n");
  // The command line's own port runs the command line's chain (none: a
  // pass-through) next to the file's.
  SlaveProcess slave({"--config", file.Path(), "--port", std::to_string(plain)});
  ASSERT_TRUE(slave.WaitFor("port " + std::to_string(second) + " (Simple Amplifier")) << slave.Output();
  std::vector<float> planar(128);
  for (size_t i = 0; i < planar.size(); ++i) planar[i] = static_cast<float>(i % 64) / 64.0f - 0.5f;
  const std::vector<float> atSix = RelayStereoBlock(first, planar);
  const std::vector<float> atTwelve = RelayStereoBlock(second, planar);
  const std::vector<float> passed = RelayStereoBlock(plain, planar);
  ASSERT_EQ(atSix.size(), planar.size()) << slave.Output();
  ASSERT_EQ(atTwelve.size(), planar.size());
  ASSERT_EQ(passed.size(), planar.size());
  // eg-amp multiplies by 10^(gain / 20), computed in float as it does.
  const float six = std::pow(10.0f, -6.0f * 0.05f);
  const float twelve = std::pow(10.0f, -12.0f * 0.05f);
  for (size_t i = 0; i < planar.size(); ++i) {
    EXPECT_EQ(atSix[i], planar[i] * six) << i;
    EXPECT_EQ(atTwelve[i], planar[i] * twelve) << i;
    EXPECT_EQ(passed[i], planar[i]) << i;
  }
  EXPECT_NEAR(20.0 * std::log10(atSix[0] / planar[0]), -6.0, 1e-5);
  EXPECT_NEAR(20.0 * std::log10(atTwelve[0] / planar[0]), -12.0, 1e-5);
}

TEST(ConfigProgram, APortGivenTwiceIsAnError) {
  const std::string port = std::to_string(FreePort());
  const std::string table = "[[slave]]\nport = " + port + "\n";
  ConfigFile twice(table + "\n" + table);
  ExpectRefused({"--config", twice.Path()},
                twice.Path() + ":4:1: port " + port + " is given twice (first at " + twice.Path() + ":1:1)");
  ConfigFile once(table);
  ExpectRefused(
      {"--config", once.Path(), "--port", port},
      once.Path() + ":1:1: port " + port + " is given both on the command line (--port) and in the file");
}

TEST(ConfigProgram, ABadSettingInTheFileNamesItsPlace) {
  const std::string port = std::to_string(FreePort());
  ConfigFile file("[[slave]]\nport = " + port +
                  "\nplugins = [ { uri = \"http://lv2plug.in/plugins/eg-amp\", set = { volume = 3 } } ]\n");
  ExpectRefused(
      {"--config", file.Path()},
      file.Path() + ":3:74: LV2 plug-in http://lv2plug.in/plugins/eg-amp has no control input 'volume'");
}

#endif

#if defined(TOVIK_TEST_VST)

// A VST 2.4 plug-in named by its path, its parameter set by name; one that
// crashes on its port ends only that connection.
TEST(ConfigProgram, AVstPluginByPathWithItsParameters) {
  const uint16_t port = FreePort();
  ConfigFile file("[[slave]]\nport = " + std::to_string(port) + "\nplugins = [ { path = \"" + TOVIK_TEST_VST +
                  "\", set = { crash_after = 0.001 } } ]\n");
  SlaveProcess slave({"--config", file.Path()});
  const std::string name = std::string("Tovik Faulty VST <") + TOVIK_TEST_VST + ">";
  ASSERT_TRUE(slave.WaitFor("port " + std::to_string(port) + " (" + name + ")")) << slave.Output();
  std::vector<float> planar(128, 0.25f);
  EXPECT_EQ(RelayStereoBlock(port, planar), planar);
  EXPECT_TRUE(RelayStereoBlock(port, planar, 2).empty());
  EXPECT_TRUE(slave.WaitFor("died: signal 11 (Segmentation fault) in chain " + name)) << slave.Output();
  ConfigFile bad("[[slave]]\nport = " + std::to_string(port) + "\nplugins = [ { path = \"" + TOVIK_TEST_VST +
                 "\", set = { volume = 1 } } ]\n");
  ExpectRefused({"--config", bad.Path()}, bad.Path() + ":3:");
  ExpectRefused({"--config", bad.Path()}, "has no parameter 'volume'");
}

#endif

TEST(ConfigProgram, TomlErrorsGiveLineAndColumnAndStartNothing) {
  const std::string port = std::to_string(FreePort());
  ConfigFile syntax("[[slave]]\nport = " + port + "\nbind = \"127.0.0.1\n");
  ExpectRefused({"--config", syntax.Path()}, syntax.Path() + ":3:");
  ConfigFile noPort("[[slave]]\nbind = \"127.0.0.1\"\n");
  ExpectRefused({"--config", noPort.Path()}, noPort.Path() + ":1:1: this [[slave]] table has no port");
  ConfigFile badPort("[[slave]]\nport = 70000\n");
  ExpectRefused({"--config", badPort.Path()},
                badPort.Path() + ":2:8: port must be a whole number from 1 to 65535");
  ConfigFile unknown("[[slave]]\nport = " + port + "\nplugin = []\n");
  ExpectRefused({"--config", unknown.Path()},
                unknown.Path() + ":3:10: unknown key 'plugin' in a [[slave]] table");
  ConfigFile empty("# nothing\n");
  ExpectRefused({"--config", empty.Path()}, empty.Path() + ":1:1: no [[slave]] table");
  ExpectRefused({"--config", "/nonexistent/tovik.toml"}, "/nonexistent/tovik.toml");
  ConfigFile fine("[[slave]]\nport = " + port + "\n");
  ExpectRefused(
      {"--config", fine.Path(), "--gain", "-6"},
      "with --config, --plugin, --gain and --echo-events on the command line need a --port of their own");
}

TEST(ConfigProgram, APortWithoutPluginsTakesTheGainOfItsTable) {
  const uint16_t port = FreePort();
  ConfigFile file("[[slave]]\nport = " + std::to_string(port) + "\ngain = -6.0\n");
  SlaveProcess slave({"--config", file.Path()});
  ASSERT_TRUE(slave.WaitFor("(gain -6 dB)")) << slave.Output();
  std::vector<float> planar(128, 0.5f);
  const std::vector<float> out = RelayStereoBlock(port, planar);
  ASSERT_EQ(out.size(), planar.size()) << slave.Output();
  const float expected = 0.5f * static_cast<float>(std::pow(10.0, -6.0 / 20.0));
  for (float sample : out) EXPECT_NEAR(sample, expected, 1e-7f);
}

#else

TEST(ConfigProgram, ASlaveWithoutTomlRefusesConfigFiles) {
  SlaveProcess slave({"--config", "/tmp/any.toml"});
  EXPECT_EQ(slave.Exit(), 2);
  EXPECT_NE(slave.Output().find("built without toml++"), std::string::npos) << slave.Output();
}

#endif

}  // namespace
}  // namespace tovik::slave::test
