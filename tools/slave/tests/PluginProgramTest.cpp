// tovik-slave with --plugin as a program: what it refuses at start (exit 2,
// nothing started), what it warns about, and a hosted plug-in that crashes
// or hangs ending only its own connection with a line naming it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <thread>

#include "SlaveProcessSupport.h"

namespace tovik::slave::test {
namespace {

const char kAmp[] = "http://lv2plug.in/plugins/eg-amp";

// Refused: exit status 2 and the message, and nothing listening.
void ExpectRefused(const std::vector<std::string>& args, const std::string& message) {
  SlaveProcess slave(args);
  EXPECT_EQ(slave.Exit(), 2) << slave.Output();
  EXPECT_NE(slave.Output().find(message), std::string::npos) << slave.Output();
  EXPECT_EQ(slave.Output().find("listening"), std::string::npos) << slave.Output();
}

TEST(PluginProgram, BadPluginOptionsAreRefusedAtStartWithExitStatus2) {
  const std::string port = std::to_string(FreePort());
#if TOVIK_HAVE_LILV
  ExpectRefused({"--port", port, "--plugin", "http://example.org/no-such-plugin"},
                "no LV2 plug-in has the URI http://example.org/no-such-plugin");
#else
  ExpectRefused(
      {"--port", port, "--plugin", "http://example.org/no-such-plugin"},
      "cannot host the LV2 plug-in http://example.org/no-such-plugin: this tovik-slave was built without "
      "lilv (liblilv-dev)");
#endif
  ExpectRefused({"--port", port, "--set", "gain=1"}, "--set gain=1 comes before any --plugin");
  ExpectRefused({"--port", port, "--plugin", "/etc/hostname"}, "/etc/hostname");
#if TOVIK_HAVE_LILV
  ExpectRefused({"--port", port, "--plugin", kAmp, "--set", "volume=3"},
                "has no control input 'volume' (its controls: gain)");
  ExpectRefused({"--port", port, "--plugin", kAmp, "--set", "gain=loud"}, "invalid value 'loud'");
  ExpectRefused({"--port", port, "--plugin", kAmp, "--set", "gain"}, "invalid setting 'gain' (NAME=VALUE)");
#endif
}

#if TOVIK_HAVE_LILV

TEST(PluginProgram, AValueOutOfTheControlsRangeIsClampedWithAWarning) {
  SlaveProcess slave({"--port", std::to_string(FreePort()), "--plugin", kAmp, "--set", "gain=100"});
  ASSERT_TRUE(slave.WaitFor("every connection runs")) << slave.Output();
  EXPECT_NE(slave.Output().find("warning: gain=100 is out of the control's range (-90 to 24): clamped to 24"),
            std::string::npos)
      << slave.Output();
  EXPECT_NE(slave.Output().find("every connection runs Simple Amplifier <" + std::string(kAmp) + ">"),
            std::string::npos);
}

TEST(PluginProgram, ListPluginsShowsEachWithItsPorts) {
  SlaveProcess slave({"--list-plugins"});
  // Every installed LV2 bundle is read (hundreds with the LSP plug-ins): a
  // loaded machine takes a while.
  EXPECT_EQ(slave.Exit(60000), 0);
  EXPECT_NE(slave.Output().find(std::string(kAmp) + "\tSimple Amplifier\t1 in, 1 out\n"), std::string::npos)
      << slave.Output().substr(0, 2000);
  EXPECT_NE(slave.Output().find(
                "http://lv2plug.in/plugins/eg-fifths\tExample Fifths\t0 in, 0 out, MIDI in, MIDI out\n"),
            std::string::npos);
}

#if defined(TOVIK_TEST_LV2_DIR)

// LV2_PATH for the programs this test starts: the test bundle and the system's.
class TestBundlePath {
 public:
  TestBundlePath() {
    const char* old = getenv("LV2_PATH");
    if (old != nullptr) old_ = old, hadOld_ = true;
    setenv("LV2_PATH", (std::string(TOVIK_TEST_LV2_DIR) + ":/usr/lib/lv2:/usr/local/lib/lv2").c_str(), 1);
  }
  ~TestBundlePath() {
    if (hadOld_) {
      setenv("LV2_PATH", old_.c_str(), 1);
    } else {
      unsetenv("LV2_PATH");
    }
  }

 private:
  std::string old_;
  bool hadOld_ = false;
};

TEST(PluginProgram, APluginRequiringAFeatureTheSlaveLacksIsRefusedNamingTheFeature) {
  TestBundlePath path;
  ExpectRefused({"--port", std::to_string(FreePort()), "--plugin", "urn:tovik:test:needs-feature"},
                "requires the feature urn:tovik:test:no-such-feature, which tovik-slave does not provide");
}

TEST(PluginProgram, APluginThatCrashesEndsOnlyItsConnectionAndTheLogNamesIt) {
  TestBundlePath path;
  const uint16_t port = FreePort();
  SlaveProcess slave(
      {"--port", std::to_string(port), "--plugin", "urn:tovik:test:faulty", "--set", "crash_after=3"});
  ASSERT_TRUE(slave.WaitFor("listening")) << slave.Output();
  EXPECT_EQ(BlocksAnswered(port, 10), 3);
  EXPECT_TRUE(slave.WaitFor(
      "died: signal 11 (Segmentation fault) in chain Tovik Faulty Test <urn:tovik:test:faulty>"))
      << slave.Output();
  // The slave goes on: the next connection gets its three blocks too.
  EXPECT_EQ(BlocksAnswered(port, 10), 3);
}

TEST(PluginProgram, APluginThatHangsEndsOnlyItsConnectionAndTheLogNamesIt) {
  TestBundlePath path;
  const uint16_t port = FreePort();
  SlaveProcess slave({"--port", std::to_string(port), "--stall-ms", "400", "--plugin",
                      "urn:tovik:test:faulty", "--set", "hang_after=2"});
  ExpectHangEndsOnlyItsConnection(slave, port, 2, "Tovik Faulty Test <urn:tovik:test:faulty>");
}

#endif
#endif

}  // namespace
}  // namespace tovik::slave::test
