// tovik-host run as a user runs it, against the stand-in plug-in: what it
// prints, the files it writes and its exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "AudioFile.h"
#include "TestSignal.h"
#include "WavCodec.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "../support/LoopbackPorts.h"
#endif

namespace tovik::host {
namespace {

struct HostRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string WorkPath(const std::string& name) {
  return std::string(E2E_WORK_DIR) + "/" + name;
}

std::string ReadText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream buffer;
  buffer << file.rdbuf();
  // Console output on Windows ends its lines with CR LF.
  std::string text = buffer.str();
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

int ExitStatusOf(int status) {
#if defined(_WIN32)
  return status;
#else
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

// cmd.exe drops the first and the last quote of a command line that starts
// with one: wrap it in one more pair there.
std::string ShellCommand(const std::string& command) {
#if defined(_WIN32)
  return "\"" + command + "\"";
#else
  return command;
#endif
}

// The real plug-ins keep per-user settings (the last precision, the stereo
// pins...): each test starts from an empty store. On POSIX that is a folder
// of its own; on Windows it is the current user's registry key, which these
// tests therefore run in a private (Wine) user profile and one at a time.
void UseFreshUserStore(const std::string& dir) {
#if defined(_WIN32)
  (void)dir;
  RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Kestrane\\Tovik");
  RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Kestrane\\TovikI");
#else
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
#endif
}

// Runs tovik-host with the arguments (each quoted) and collects its output.
HostRun RunHost(const std::string& args, bool freshStore = true) {
  const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  const std::string outPath = WorkPath(name + ".stdout");
  const std::string errPath = WorkPath(name + ".stderr");
  if (freshStore) UseFreshUserStore(WorkPath("config-" + name));
  std::string command =
      "\"" + std::string(TOVIK_HOST_EXE) + "\" " + args + " >\"" + outPath + "\" 2>\"" + errPath + "\"";
  HostRun run;
  run.exitCode = ExitStatusOf(std::system(ShellCommand(command).c_str()));
  run.out = ReadText(outPath);
  run.err = ReadText(errPath);
  return run;
}

std::string Fake() {
  return std::string("\"") + FAKE_PLUGIN + "\"";
}

bool HasLine(const std::string& text, const std::string& line) {
  std::istringstream lines(text);
  std::string l;
  while (std::getline(lines, l))
    if (l == line) return true;
  return false;
}

std::string LastLine(const std::string& text) {
  std::istringstream lines(text);
  std::string l, last;
  while (std::getline(lines, l))
    if (!l.empty()) last = l;
  return last;
}

#define EXPECT_LINE(text, line) \
  EXPECT_TRUE(HasLine(text, line)) << "missing line: " << (line) << "\n" << (text)

TEST(HostInfo, ShowsIdentityPinsParametersAndChunkThenStops) {
  HostRun run = RunHost(Fake() + " --info");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_LINE(run.out, "effect name: Fake Relay");
  EXPECT_LINE(run.out, "vendor: Kestrane Tests");
  EXPECT_LINE(run.out, "product: Tovik Fake Plug-in");
  EXPECT_LINE(run.out, "vendor version: 4321");
  EXPECT_LINE(run.out, "VST version: 2400");
  EXPECT_LINE(run.out, "category: 1 (Effect)");
  EXPECT_LINE(run.out, "unique id: 'TvFk' (0x5476466B)");
  EXPECT_LINE(run.out, "flags: 0x30 CanReplacing ProgramChunks");
  EXPECT_LINE(run.out, "inputs: 2");
  EXPECT_LINE(run.out, "  input 0: \"Fake In 1\" flags 3 active stereo");
  EXPECT_LINE(run.out, "  input 1: \"Fake In 2\" flags 1 active");
  EXPECT_LINE(run.out, "outputs: 2");
  EXPECT_LINE(run.out, "  output 1: \"Fake Out 2\" flags 1 active");
  EXPECT_LINE(run.out, "parameters: 3");
  EXPECT_LINE(run.out, "  parameter 0: \"Synch\" = 1.000000 \"On\"");
  EXPECT_LINE(run.out, "  parameter 1: \"AudioPrec\" = 1.000000 \"32bit float\"");
  EXPECT_LINE(run.out, "  parameter 2: \"Gain\" = 0.500000 \"0.0\" dB");
  EXPECT_LINE(run.out, "  Host=localhost");
  EXPECT_LINE(run.out, "  Port=19284");
  // The host answered yes to "acceptIOChanges" while the plug-in was created.
  EXPECT_LINE(run.out, "  NumInputs=2");
  EXPECT_EQ(run.out.find("relay:"), std::string::npos);
  EXPECT_EQ(run.out.find("result:"), std::string::npos);
}

TEST(HostInfo, RelaySettingsGoThroughTheChunk) {
  HostRun run = RunHost(Fake() + " --info --host slave.example --port 1234 --prec 2 --async --set Gain=-6");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_LINE(run.out, "  Host=slave.example");
  EXPECT_LINE(run.out, "  Port=1234");
  EXPECT_LINE(run.out, "  AudioPrec=2");
  // Synch changes only for a host that does asynchronous processing, which this one does.
  EXPECT_LINE(run.out, "  Synch=0");
  EXPECT_LINE(run.out, "  Gain=-6");
  EXPECT_LINE(run.out, "  parameter 1: \"AudioPrec\" = 0.333333 \"16bit signed int\"");
  EXPECT_LINE(run.out, "flags: 0x430 CanReplacing ProgramChunks ExtIsAsync");
  EXPECT_EQ(run.err, "");
}

TEST(HostInfo, ChangedChannelCountsAreTakenAfterASuspend) {
  HostRun run = RunHost(Fake() + " --info --channels 3");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_LINE(run.out, "inputs: 3");
  EXPECT_LINE(run.out, "outputs: 3");
  EXPECT_LINE(run.out, "  output 2: \"Fake Out 3\" flags 1 active");
}

TEST(HostInfo, FallsBackToTheLegacyEntryName) {
  HostRun run = RunHost(std::string("\"") + FAKE_PLUGIN_MAIN_ONLY + "\" --info");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("(entry main)"), std::string::npos) << run.out;
  EXPECT_LINE(run.out, "effect name: Fake Relay");
}

TEST(HostErrors, MissingModuleIsALoadFailure) {
  HostRun run = RunHost("\"" + WorkPath("no-such-plugin.so") + "\" --info");
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_NE(run.err.find("tovik-host: cannot load"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
}

TEST(HostErrors, BadArgumentsAreUsageErrors) {
  HostRun run = RunHost(Fake() + " --prec 5");
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.err, "tovik-host: --prec wants 1, 2, 3 or 4, not '5'\nTry 'tovik-host --help'.\n");
  run = RunHost("");
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("no plug-in file given"), std::string::npos);
  run = RunHost("--help");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out.rfind("usage: tovik-host [options] PLUGIN [options]\n", 0), 0u);
}

TEST(HostErrors, UnreadableInputIsAFileError) {
  std::ofstream(WorkPath("not-audio.wav")) << "plain text";
  HostRun run = RunHost(Fake() + " --in \"" + WorkPath("not-audio.wav") + "\"");
  EXPECT_EQ(run.exitCode, 4);
  EXPECT_NE(run.err.find("cannot read the input"), std::string::npos) << run.err;
}

AudioData ReadBack(const std::string& path) {
  AudioData audio;
  std::string error;
  EXPECT_TRUE(ReadAudioFile(path, audio, error)) << error;
  return audio;
}

TEST(HostRelay, SynchronousRelayWritesEveryBlockOfTheSignal) {
  const std::string out = WorkPath("sync.wav");
  std::remove(out.c_str());
  HostRun run =
      RunHost(Fake() + " --seconds 0.5 --block 256 --set Gain=-6 --expect-gain -6 --out \"" + out + "\"");
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_LINE(
      run.out,
      "relay: 24000 frames, 2 channels in, 2 inputs, 2 outputs, 48000 Hz, block 256, synchronous operation");
  EXPECT_LINE(run.out, "blocks: 94 in the signal, 94 relayed, 94 answered, 0 unanswered");
  EXPECT_EQ(LastLine(run.out).rfind("result: 94 blocks, 0 unanswered, max error ", 0), 0u) << run.out;
  EXPECT_NE(LastLine(run.out).find(", pass"), std::string::npos);
  // The stand-in activates on the second process call after the first idle call.
  EXPECT_NE(run.out.find("warm-up: "), std::string::npos);

  AudioData written = ReadBack(out);
  AudioData signal = MakeTestSignal(2, 48000, 0.5);
  ASSERT_EQ(written.channels.size(), 2u);
  ASSERT_EQ(written.Frames(), 24000u);
  EXPECT_EQ(written.sampleRate, 48000);
  const float gain = static_cast<float>(std::pow(10.0, -6.0 / 20.0));
  for (size_t c = 0; c < 2; ++c) {
    for (size_t i = 0; i < written.Frames(); ++i) {
      // 32-bit float on the wire: exact but for the gain's own rounding.
      ASSERT_NEAR(written.channels[c][i], signal.channels[c][i] * gain, 1e-7)
          << "channel " << c << " frame " << i;
    }
  }
}

TEST(HostRelay, AsynchronousRelayPollsThePositionAndCountsEvents) {
  const std::string out = WorkPath("async.wav");
  HostRun run =
      RunHost(Fake() + " --async --prec 2 --seconds 0.25 --set Events=1 --set AsyncPolls=3 --compare" +
              " --out \"" + out + "\"");
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("asynchronous operation"), std::string::npos) << run.out;
  EXPECT_LINE(run.out, "precision: 2 \"16bit signed int\"");
  EXPECT_LINE(run.out, "blocks: 24 in the signal, 24 relayed, 24 answered, 0 unanswered");
  // One event per answered block, the warm-up block that answered included.
  EXPECT_LINE(run.out, "host: 25 events received in 25 lists, 25 time requests");
  AudioData written = ReadBack(out);
  AudioData signal = MakeTestSignal(2, 48000, 0.25);
  ASSERT_EQ(written.Frames(), signal.Frames());
  for (size_t i = 0; i < written.Frames(); ++i)
    ASSERT_NEAR(written.channels[1][i], signal.channels[1][i], 1.0 / 32767.0) << "frame " << i;
}

TEST(HostRelay, ComparisonHoldsToThePrecisionsQuantisation) {
  HostRun coarse = RunHost(Fake() + " --prec 1 --seconds 0.2 --compare");
  EXPECT_EQ(coarse.exitCode, 0) << coarse.out;
  EXPECT_NE(LastLine(coarse.out).find(", pass"), std::string::npos) << coarse.out;

  HostRun strict = RunHost(Fake() + " --prec 1 --seconds 0.2 --compare --tolerance 0.0001");
  EXPECT_EQ(strict.exitCode, 1);
  EXPECT_NE(LastLine(strict.out).find(", fail"), std::string::npos) << strict.out;

  HostRun wrongGain = RunHost(Fake() + " --seconds 0.2 --expect-gain 6");
  EXPECT_EQ(wrongGain.exitCode, 1);
}

TEST(HostRelay, PlugInThatNeverAnswersFailsWithinTheTimeOut) {
  HostRun run = RunHost(Fake() + " --set Answer=0 --timeout 0.3 --seconds 0.1");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.out.find("no answer within"), std::string::npos) << run.out;
  EXPECT_EQ(LastLine(run.out), "result: 10 blocks, 10 unanswered, fail");
}

TEST(HostRelay, BlocksLeftUnansweredAreSilenceAndCounted) {
  const std::string out = WorkPath("stopped.wav");
  // The warm-up answer and 9 blocks of the signal come back, the other 85 do not.
  HostRun run = RunHost(Fake() + " --seconds 1 --set Stop=10 --allow-gaps --out \"" + out + "\"");
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;  // gaps accepted on purpose
  EXPECT_LINE(run.out, "blocks: 94 in the signal, 94 relayed, 9 answered, 85 unanswered");
  EXPECT_EQ(LastLine(run.out), "result: 94 blocks, 85 unanswered, pass");
  AudioData written = ReadBack(out);
  AudioData signal = MakeTestSignal(2, 48000, 1.0);
  ASSERT_EQ(written.Frames(), 48000u);
  EXPECT_EQ(written.channels[0][9 * 512 - 1], signal.channels[0][9 * 512 - 1]);
  for (size_t i = 9 * 512; i < 48000; ++i) ASSERT_EQ(written.channels[0][i], 0.0f) << "frame " << i;

  // Compared, the silence does not match the input.
  HostRun compared = RunHost(Fake() + " --seconds 1 --set Stop=10 --compare --allow-gaps");
  EXPECT_EQ(compared.exitCode, 1);
  EXPECT_EQ(LastLine(compared.out).rfind("result: 94 blocks, 85 unanswered, max error 0, ", 0), 0u)
      << compared.out;
}

TEST(HostRelay, UnansweredBlocksFailTheRunNamingWhenAndHowMany) {
  HostRun run = RunHost(Fake() + " --seconds 1 --set Stop=10");
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_EQ(LastLine(run.out), "result: 94 blocks, 85 unanswered, fail");
  // Block 9 starts 9 * 512 frames in: 0.096 s.
  EXPECT_NE(run.err.find("tovik-host: 85 blocks unanswered from 0:00.096 (block 9), and no answer came back "
                         "after that\n"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("85 of 94 blocks unanswered"), std::string::npos) << run.err;
}

TEST(HostRelay, AsynchronousRunStopsWhenAnswersStopForTheTimeOut) {
  HostRun run = RunHost(Fake() + " --async --seconds 1 --set Stop=10 --timeout 1");
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  // Block 10 waits 1 s for its position and ends the run.
  EXPECT_LINE(run.out, "blocks: 94 in the signal, 10 relayed, 9 answered, 85 unanswered");
  EXPECT_LINE(run.out, "stopped: no answer for 1 s, 84 blocks not sent");
  EXPECT_NE(run.err.find("85 blocks unanswered from 0:00.096 (block 9)"), std::string::npos) << run.err;
}

TEST(HostRelay, RunWithoutAnswersWritesNoFileAndNoLatency) {
  const std::string out = WorkPath("never.wav");
  std::remove(out.c_str());
  HostRun run = RunHost(Fake() + " --set Answer=0 --timeout 0.2 --seconds 0.1 --out \"" + out + "\"");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_LINE(run.out, "round trip ms: n/a (no block answered)");
  EXPECT_NE(run.err.find("no output written"), std::string::npos) << run.err;
  HostRun allowed =
      RunHost(Fake() + " --set Answer=0 --timeout 0.2 --seconds 0.1 --allow-gaps --out \"" + out + "\"");
  EXPECT_EQ(allowed.exitCode, 1);
  AudioData written = ReadBack(out);
  EXPECT_EQ(written.Frames(), 4800u);
}

TEST(HostRelay, PlugInThatHangsIsGivenUpAfterTheWatchdogsLimit) {
  // The limit is 10 s at least: longer than the relay's own synchronous wait.
  HostRun run = RunHost(Fake() + " --set Hang=1 --seconds 0.1 --timeout 1");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("tovik-host: the plug-in has not returned from processReplacing for "),
            std::string::npos)
      << run.err;
}

void WriteWav(const std::string& path, const AudioData& audio, WavSampleFormat format) {
  std::vector<uint8_t> bytes = CWavCodec::Encode(audio, format);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

AudioData Ramp(size_t channels, size_t frames, int rate) {
  AudioData audio;
  audio.sampleRate = rate;
  audio.channels.assign(channels, std::vector<float>(frames));
  for (size_t c = 0; c < channels; ++c)
    for (size_t i = 0; i < frames; ++i)
      audio.channels[c][i] = static_cast<float>((i + 7 * c) % 100) / 100.0f - 0.5f;
  return audio;
}

TEST(HostRelay, TheRelaysChannelsFollowTheInputFile) {
  const std::string in = WorkPath("mono-in.wav");
  const std::string out = WorkPath("mono-out.wav");
  WriteWav(in, Ramp(1, 1000, 44100), WavSampleFormat::kPcm16);
  HostRun run = RunHost(Fake() + " --in \"" + in + "\" --out \"" + out + "\" --block 300 --compare");
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_LINE(
      run.out,
      "relay: 1000 frames, 1 channels in, 1 inputs, 1 outputs, 44100 Hz, block 300, synchronous operation");
  EXPECT_LINE(run.out, "blocks: 4 in the signal, 4 relayed, 4 answered, 0 unanswered");
  EXPECT_EQ(run.err, "");
  AudioData written = ReadBack(out);
  AudioData original = ReadBack(in);
  ASSERT_EQ(written.channels.size(), 1u);
  ASSERT_EQ(written.Frames(), 1000u);
  EXPECT_EQ(written.sampleRate, 44100);
  for (size_t i = 0; i < 1000; ++i)
    ASSERT_EQ(written.channels[0][i], original.channels[0][i]) << "frame " << i;
}

TEST(HostRelay, SixChannelFileComesBackWithSixChannels) {
  const std::string in = WorkPath("six-in.wav");
  const std::string out = WorkPath("six-out.wav");
  AudioData six = Ramp(6, 2000, 48000);
  WriteWav(in, six, WavSampleFormat::kFloat32);
  HostRun run = RunHost(Fake() + " --in \"" + in + "\" --out \"" + out + "\" --compare");
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_LINE(run.out, "inputs: 6");
  EXPECT_LINE(run.out, "outputs: 6");
  AudioData written = ReadBack(out);
  ASSERT_EQ(written.channels.size(), 6u);
  ASSERT_EQ(written.Frames(), 2000u);
  for (size_t c = 0; c < 6; ++c)
    for (size_t i = 0; i < 2000; ++i) ASSERT_EQ(written.channels[c][i], six.channels[c][i]) << c << " " << i;
}

TEST(HostRelay, ChannelsThatDoNotFitAreNamed) {
  const std::string in = WorkPath("six-in-2.wav");
  WriteWav(in, Ramp(6, 600, 48000), WavSampleFormat::kPcm16);
  HostRun fewer = RunHost(Fake() + " --in \"" + in + "\" --channels 2");
  EXPECT_EQ(fewer.exitCode, 0) << fewer.err;
  EXPECT_NE(
      fewer.err.find("warning: the signal has 6 channels, the plug-in takes 2: channels 3 to 6 dropped"),
      std::string::npos)
      << fewer.err;
  HostRun more = RunHost(Fake() + " --in \"" + in + "\" --channels 8");
  EXPECT_EQ(more.exitCode, 0) << more.err;
  EXPECT_NE(more.err.find("the plug-in takes 8: its input channels 7 to 8 get silence"), std::string::npos)
      << more.err;

  const std::string wide = WorkPath("seventeen.wav");
  WriteWav(wide, Ramp(17, 100, 48000), WavSampleFormat::kPcm16);
  HostRun tooMany = RunHost(Fake() + " --in \"" + wide + "\"");
  EXPECT_EQ(tooMany.exitCode, 4);
  EXPECT_NE(tooMany.err.find("has 17 channels; the relay takes at most 16"), std::string::npos)
      << tooMany.err;
}

TEST(HostRelay, ClippedFloatInputIsReportedAndFailsAComparison) {
  const std::string in = WorkPath("hot.wav");
  AudioData hot = Ramp(2, 1000, 48000);
  for (size_t i = 0; i < 10; ++i) hot.channels[0][i * 50] = 1.5f;  // 10 samples beyond full scale
  WriteWav(in, hot, WavSampleFormat::kFloat32);
  HostRun run = RunHost(Fake() + " --in \"" + in + "\" --prec 2 --compare");
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_LINE(run.out, "clipped: 10 samples");
  EXPECT_NE(run.err.find("tovik-host: 10 samples clipped at full scale on the 16-bit wire"),
            std::string::npos)
      << run.err;
  HostRun allowed = RunHost(Fake() + " --in \"" + in + "\" --prec 2 --compare --allow-clipping");
  EXPECT_EQ(allowed.exitCode, 0) << allowed.out << allowed.err;
  EXPECT_LINE(allowed.out, "clipped: 10 samples");
  // Without a comparison the clipping is reported, not failed.
  HostRun plain = RunHost(Fake() + " --in \"" + in + "\" --prec 1");
  EXPECT_EQ(plain.exitCode, 0) << plain.err;
  EXPECT_NE(plain.err.find("warning: 10 samples clipped at full scale on the 8-bit wire"), std::string::npos)
      << plain.err;
  // The float wire does not clip.
  HostRun floats = RunHost(Fake() + " --in \"" + in + "\" --prec 4 --compare");
  EXPECT_EQ(floats.exitCode, 0) << floats.err;
  EXPECT_EQ(floats.out.find("clipped:"), std::string::npos);
}

TEST(HostRelay, ReportsElapsedTimeAndTheRealTimeFactor) {
  HostRun run = RunHost(Fake() + " --seconds 0.5");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const size_t at = run.out.find("\ntime: 0.500 s of audio in ");
  ASSERT_NE(at, std::string::npos) << run.out;
  EXPECT_NE(run.out.find("x real time\n", at), std::string::npos) << run.out;
}

TEST(HostFiles, OutputFormatFollowsTheExtensionOrTheOptions) {
  const std::string flac = WorkPath("out.flac");
  std::remove(flac.c_str());
  HostRun run = RunHost(Fake() + " --seconds 0.2 --out \"" + flac + "\" --subtype pcm16");
#if defined(_WIN32)
  // The built-in writer does WAV only, and says so before relaying.
  EXPECT_EQ(run.exitCode, 4);
  EXPECT_EQ(run.out, "");
#else
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("output: " + flac + ", FLAC, 16-bit PCM, 2 channels, 9600 frames"),
            std::string::npos)
      << run.out;
  std::ifstream file(flac, std::ios::binary);
  char magic[4] = {0};
  file.read(magic, 4);
  EXPECT_EQ(std::string(magic, 4), "fLaC");
  AudioData back = ReadBack(flac);
  AudioData signal = MakeTestSignal(2, 48000, 0.2);
  ASSERT_EQ(back.Frames(), 9600u);
  for (size_t i = 0; i < 9600; ++i)
    ASSERT_NEAR(back.channels[1][i], signal.channels[1][i], 1.0 / 32767.0) << i;
#endif
}

TEST(HostFiles, BadOutputsAreRefusedBeforeAnythingIsRelayed) {
  HostRun unknown = RunHost(Fake() + " --out \"" + WorkPath("out.xyz") + "\"");
  EXPECT_EQ(unknown.exitCode, 4);
  EXPECT_NE(unknown.err.find("unknown output extension '.xyz'"), std::string::npos) << unknown.err;
  EXPECT_EQ(unknown.out, "");  // the plug-in was never loaded

  HostRun folder = RunHost(Fake() + " --out \"" + WorkPath("no-such-folder/out.wav") + "\"");
  EXPECT_EQ(folder.exitCode, 4);
  EXPECT_NE(folder.err.find("does not exist"), std::string::npos) << folder.err;
  EXPECT_EQ(folder.out, "");

  const std::string in = WorkPath("same.wav");
  WriteWav(in, Ramp(1, 100, 48000), WavSampleFormat::kPcm16);
  HostRun same = RunHost(Fake() + " --in \"" + in + "\" --out \"" + in + "\"");
  EXPECT_EQ(same.exitCode, 2);
  EXPECT_NE(same.err.find("--in and --out name the same file"), std::string::npos) << same.err;
  AudioData kept = ReadBack(in);
  EXPECT_EQ(kept.Frames(), 100u);  // untouched
}

TEST(HostConventions, VersionQuietAndTheEndOfOptions) {
  HostRun version = RunHost("--version");
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out.rfind("tovik-host ", 0), 0u) << version.out;

  HostRun quiet = RunHost("--quiet --seconds 0.1 -- " + Fake());
  EXPECT_EQ(quiet.exitCode, 0) << quiet.err;
  EXPECT_EQ(quiet.out, "result: 10 blocks, 0 unanswered, pass\n");
  EXPECT_EQ(quiet.err, "");

  HostRun help = RunHost("--help");
  EXPECT_NE(help.out.find("Exit status:\n  0  pass\n"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("  4  an audio file could not be read or written\n"), std::string::npos);
  EXPECT_NE(help.out.find("--user-settings"), std::string::npos);
}

TEST(HostConventions, APathThatIsNoPlugInSaysWhatItIs) {
  const std::string text = WorkPath("plain.so");
  std::ofstream(text) << "not a library";
  HostRun run = RunHost("\"" + text + "\" --info");
  EXPECT_EQ(run.exitCode, 3);
#if defined(_WIN32)
  EXPECT_NE(run.err.find(": not a Windows DLL (no PE image)"), std::string::npos) << run.err;
#else
  EXPECT_NE(run.err.find(": not a shared library (no ELF image)"), std::string::npos) << run.err;
  // The first bytes of a 32-bit x86 ELF library.
  const std::string elf32 = WorkPath("elf32.so");
  unsigned char head[64] = {0x7F, 'E', 'L', 'F', 1, 1, 1};
  head[16] = 3;  // ET_DYN
  head[18] = 3;  // EM_386
  std::ofstream(elf32, std::ios::binary).write(reinterpret_cast<const char*>(head), sizeof(head));
  HostRun wrong = RunHost("\"" + elf32 + "\" --info");
  EXPECT_EQ(wrong.exitCode, 3);
  if (sizeof(void*) == 8) {
    EXPECT_NE(wrong.err.find(": a 32-bit library; this host is 64-bit\n"), std::string::npos) << wrong.err;
  }
#endif
}

#if !defined(_WIN32)
TEST(HostFiles, InterruptWritesWhatWasRelayedAndTheSummary) {
  const std::string out = WorkPath("interrupted.wav");
  const std::string log = WorkPath("interrupted.stdout");
  std::remove(out.c_str());
  UseFreshUserStore(WorkPath("config-interrupted"));
  const std::string command = "\"" + std::string(TOVIK_HOST_EXE) + "\" " + Fake() +
                              " --realtime --seconds 5 --out \"" + out + "\" >\"" + log +
                              "\" 2>&1 & pid=$!; sleep 1; kill -INT $pid; wait $pid";
  const int status = ExitStatusOf(std::system(command.c_str()));
  const std::string text = ReadText(log);
  EXPECT_EQ(status, 1) << text;
  EXPECT_NE(text.find("tovik-host: interrupted at 0:0"), std::string::npos) << text;
  EXPECT_NE(text.find("result: 469 blocks, "), std::string::npos) << text;
  AudioData written = ReadBack(out);
  EXPECT_GT(written.Frames(), 0u);
  EXPECT_LT(written.Frames(), 240000u);
  EXPECT_EQ(written.Frames() % 512, 0u);
}
#endif

#if !defined(_WIN32)
// Peak resident size in KiB of one tovik-host run, from its own resource usage.
long PeakResidentKiB(const std::vector<std::string>& args, int& exitCode) {
  std::vector<char*> argv;
  std::string exe = TOVIK_HOST_EXE;
  argv.push_back(&exe[0]);
  std::vector<std::string> copies(args);
  for (std::string& a : copies) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return -1;
  exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return usage.ru_maxrss;
}

TEST(HostFiles, ALongFileIsRelayedInConstantMemory) {
  // One minute of stereo at 96 kHz: 46 MB of floats per direction if it were
  // held in memory. Streamed, the host needs a few MB whatever the length.
  const std::string in = WorkPath("long-in.wav");
  const std::string out = WorkPath("long-out.wav");
  {
    OutputFormat format;
    std::string error;
    ASSERT_TRUE(ResolveOutputFormat(in, "", "pcm16", format, error)) << error;
    CAudioFileWriter writer;
    ASSERT_TRUE(writer.Open(in, format, 96000, 2, error)) << error;
    CSignalSource signal(2, 96000, 60.0);
    std::vector<std::vector<float>> block(2, std::vector<float>(96000));
    for (size_t got; (got = signal.Read(block, 96000)) > 0;)
      ASSERT_TRUE(writer.Write(block, got, error)) << error;
    ASSERT_TRUE(writer.Close(error)) << error;
  }
  UseFreshUserStore(WorkPath("config-long"));
  int exitCode = -1;
  const long kib = PeakResidentKiB({FAKE_PLUGIN, "--in", in, "--out", out, "--subtype", "pcm16", "--block",
                                    "8192", "--prec", "2", "--compare", "--no-progress"},
                                   exitCode);
  EXPECT_EQ(exitCode, 0);
  EXPECT_GT(kib, 0);
  EXPECT_LT(kib, 32 * 1024) << "peak resident size " << kib << " KiB";
  CAudioFileReader back;
  std::string error;
  ASSERT_TRUE(back.Open(out, error)) << error;
  EXPECT_EQ(back.Frames(), 60u * 96000u);
  std::remove(in.c_str());
  std::remove(out.c_str());
}
#endif

#if defined(TOVIK_EFFECT) && defined(TOVIK_INSTRUMENT)
TEST(HostWithRelay, EffectShowsWhatTheRelayAnnounces) {
  HostRun run = RunHost(std::string("\"") + TOVIK_EFFECT + "\" --info");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_LINE(run.out, "effect name: Tovik");
  EXPECT_LINE(run.out, "vendor: Kestrane");
  EXPECT_LINE(run.out, "product: Orlimb: Tovik");
  EXPECT_LINE(run.out, "vendor version: 1008");
  EXPECT_LINE(run.out, "VST version: 2400");
  EXPECT_LINE(run.out, "category: 0 (Unknown)");
  EXPECT_LINE(run.out, "unique id: 'Tovk' (0x546F766B)");
  EXPECT_LINE(run.out, "programs: 1, current 0 \"--Fixed--\"");
  // This host accepts changed pins, so all seven parameters are there.
  EXPECT_LINE(run.out, "parameters: 7");
  EXPECT_LINE(run.out, "  parameter 0: \"Synch\" = 1.000000 \"On\"");
  EXPECT_LINE(run.out, "  parameter 3: \"AudioPrec\" = 1.000000 \"32bit float\"");
  EXPECT_LINE(run.out, "  parameter 6: \"StereoPn\" = 0.000000 \"Off\"");
  EXPECT_LINE(run.out, "  input 0: \"Input 1\" flags 1 active");
  EXPECT_LINE(run.out, "  output 1: \"Output 2\" flags 1 active");
  EXPECT_LINE(run.out, "  Host=localhost");
  EXPECT_LINE(run.out, "  StereoPins=0");
}

TEST(HostWithRelay, RelaySettingsReachTheRelaysChunkAndParameters) {
  HostRun run = RunHost(std::string("\"") + TOVIK_EFFECT +
                        "\" --info --host 192.0.2.7 --port 4321 --prec 2 --async --set StereoPins=1");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_LINE(run.out, "  Host=192.0.2.7");
  EXPECT_LINE(run.out, "  Port=4321");
  EXPECT_LINE(run.out, "  Synch=0");
  EXPECT_LINE(run.out, "  AudioPrec=2");
  EXPECT_LINE(run.out, "  StereoPins=1");
  EXPECT_LINE(run.out, "  parameter 3: \"AudioPrec\" = 0.333333 \"16bit signed int\"");
  // Stereo pins are applied at the suspend that follows the plug-in's report of changed pins.
  EXPECT_LINE(run.out, "  input 0: \"Input 1 L\" flags 3 active stereo");
  EXPECT_LINE(run.out, "  input 1: \"Input 1 R\" flags 1 active");
  EXPECT_EQ(run.err, "");
}

#if !defined(_WIN32)
TEST(HostWithRelay, ARunLeavesTheUsersSettingsAsTheyAre) {
  const std::string dir = WorkPath("config-users-own");
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  std::filesystem::create_directories(dir + "/Kestrane");
  const std::string store = dir + "/Kestrane/Tovik.conf";
  // Made by the plug-in itself, with the user's own choices in it.
  setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  HostRun first = RunHost(std::string("\"") + TOVIK_EFFECT + "\" --info --user-settings --prec 3", false);
  ASSERT_EQ(first.exitCode, 0) << first.err;
  const std::string before = ReadText(store);
  ASSERT_NE(before.find("AudioPrec"), std::string::npos) << before;
  auto files = [&dir]() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
      names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  const std::vector<std::string> filesBefore = files();

  HostRun run = RunHost(std::string("\"") + TOVIK_EFFECT + "\" --info --channels 1 --prec 1", false);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("settings store: private for this run"), std::string::npos) << run.out;
  EXPECT_LINE(run.out, "  AudioPrec=1");
  EXPECT_EQ(ReadText(store), before);
  EXPECT_EQ(files(), filesBefore);

  // On purpose, the user's own store changes.
  HostRun own =
      RunHost(std::string("\"") + TOVIK_EFFECT + "\" --info --channels 1 --prec 1 --user-settings", false);
  ASSERT_EQ(own.exitCode, 0) << own.err;
  EXPECT_NE(ReadText(store), before);
}
#endif

#if !defined(_WIN32)
// A relay that gets no answer says how far a connection to its slave gets.
std::string EffectTo(const std::string& host, unsigned port) {
  return std::string("\"") + TOVIK_EFFECT + "\" --host " + host + " --port " + std::to_string(port) +
         " --seconds 0.1 --timeout 0.3";
}

TEST(HostWithRelay, NameThatDoesNotResolveIsNamed) {
  HostRun run = RunHost(EffectTo("no-such-host.invalid", 19284));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("tovik-host: the plug-in answered no block: cannot resolve 'no-such-host.invalid': "
                         "name not found\n"),
            std::string::npos)
      << run.err;
}

TEST(HostWithRelay, RefusedConnectionIsNamed) {
  tovik::test::ClosedPort closed;
  HostRun run = RunHost(EffectTo("127.0.0.1", closed.port()));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("tovik-host: the plug-in answered no block: connection refused by 127.0.0.1:" +
                         std::to_string(closed.port()) + ": is tovik-slave running there?\n"),
            std::string::npos)
      << run.err;
}

TEST(HostWithRelay, ConnectionWithoutAnswerIsNamed) {
  tovik::test::Blackhole hole;
  HostRun run = RunHost(EffectTo("127.0.0.1", hole.port()));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("tovik-host: the plug-in answered no block: no answer from 127.0.0.1:" +
                         std::to_string(hole.port()) + " within 1 s (firewall, or the machine is off)\n"),
            std::string::npos)
      << run.err;
}
#endif

TEST(HostWithRelay, InstrumentShowsItsOwnIdentity) {
  HostRun run = RunHost(std::string("\"") + TOVIK_INSTRUMENT + "\" --info");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_LINE(run.out, "unique id: 'TovI' (0x546F7649)");
  EXPECT_LINE(run.out, "category: 2 (Synth)");
  EXPECT_NE(run.out.find(" IsSynth"), std::string::npos) << run.out;
}
#endif

}  // namespace
}  // namespace tovik::host
