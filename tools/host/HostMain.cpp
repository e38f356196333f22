// tovik-host: a command-line VST 2.4 host. Loads a plug-in module, prints what
// a host sees of it, applies relay settings through its settings chunk and
// relays a file or a generated signal through it, with a closing report.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "AudioFile.h"
#include "HostOptions.h"
#include "HostServices.h"
#include "OutputComparison.h"
#include "PluginInstance.h"
#include "PluginReport.h"
#include "RelayRunner.h"
#include "SettingsChunk.h"
#include "Terminal.h"
#include "TestSignal.h"
#include "Watchdog.h"

namespace tovik::host {
namespace {

constexpr double kDefaultSignalSeconds = 3.0;
constexpr VstIntPtr kMaxChunkBytes = 1 << 20;
const char* const kPrecisionNames[] = {"8bit unsigned char", "16bit signed int", "24bit imprecise float",
                                       "32bit float"};

bool ReadChunk(const CPluginInstance& plugin, CSettingsChunk& chunk) {
  void* data = nullptr;
  VstIntPtr size = plugin.Dispatch(effGetChunk, 0, 0, &data);
  if (size <= 0 || data == nullptr) return false;
  chunk = CSettingsChunk(static_cast<const char*>(data),
                         static_cast<size_t>(size > kMaxChunkBytes ? kMaxChunkBytes : size));
  return true;
}

// Sets the relay settings the user asked for through the settings chunk and
// reports those the plug-in did not take. Returns false when it has no chunk.
bool ApplySettings(const HostOptions& o, const CPluginInstance& plugin, CHostServices& host) {
  std::vector<std::pair<std::string, std::string>> wanted;
  if (o.hostGiven) wanted.emplace_back("Host", o.host);
  if (o.port >= 0) wanted.emplace_back("Port", std::to_string(o.port));
  if (o.prec > 0) wanted.emplace_back("AudioPrec", std::to_string(o.prec));
  if (o.sync != SyncMode::kPlugin) wanted.emplace_back("Synch", o.sync == SyncMode::kSync ? "1" : "0");
  if (o.channels > 0) {
    wanted.emplace_back("NumInputs", std::to_string(o.channels));
    wanted.emplace_back("NumOutputs", std::to_string(o.channels));
  }
  for (const auto& line : o.chunkLines) wanted.push_back(line);
  if (wanted.empty()) return true;

  if ((plugin.Effect()->flags & effFlagsProgramChunks) == 0) {
    std::fprintf(stderr, "tovik-host: warning: the plug-in keeps no settings chunk; settings not applied\n");
    return false;
  }
  CSettingsChunk chunk;
  ReadChunk(plugin, chunk);
  for (const auto& line : wanted) chunk.Set(line.first, line.second);
  std::string text = chunk.Text();
  plugin.Dispatch(effSetChunk, 0, static_cast<VstIntPtr>(text.size() + 1), &text[0]);

  // A host that accepts changed pins suspends the plug-in when told about them
  // and reads the counts again.
  if (host.TakeIoChanged()) plugin.Dispatch(effMainsChanged, 0, 0);

  CSettingsChunk applied;
  ReadChunk(plugin, applied);
  for (const auto& line : wanted) {
    std::string value;
    if (!applied.Get(line.first, value)) {
      std::fprintf(stderr, "tovik-host: warning: the plug-in's chunk has no %s= line after setting it\n",
                   line.first.c_str());
    } else if (value != line.second) {
      std::fprintf(stderr, "tovik-host: warning: the plug-in kept %s=%s (asked for %s)\n", line.first.c_str(),
                   value.c_str(), line.second.c_str());
    }
  }
  return true;
}

int PrecisionOf(const CPluginInstance& plugin) {
  CSettingsChunk chunk;
  std::string value;
  if (ReadChunk(plugin, chunk) && chunk.Get("AudioPrec", value)) {
    int p = std::atoi(value.c_str());
    if (p >= 1 && p <= 4) return p;
  }
  return 4;
}

int Run(int argc, char** argv) {
  HostOptions o;
  std::string error;
  if (!ParseHostOptions(argc, argv, o, error)) {
    std::fprintf(stderr, "tovik-host: %s\nTry 'tovik-host --help'.\n", error.c_str());
    return kExitUsage;
  }
  if (o.help) {
    std::fputs(HostUsage().c_str(), stdout);
    std::printf("\nAudio files: %s.\n", AudioFileBackend());
    return kExitOk;
  }

  AudioData input;
  if (!o.inPath.empty()) {
    if (!ReadAudioFile(o.inPath, input, error)) {
      std::fprintf(stderr, "tovik-host: cannot read the input: %s\n", error.c_str());
      return kExitFileFailed;
    }
    if (input.Frames() == 0) {
      std::fprintf(stderr, "tovik-host: the input %s holds no audio\n", o.inPath.c_str());
      return kExitFileFailed;
    }
    if (o.rateGiven && o.rate != input.sampleRate)
      std::fprintf(stderr, "tovik-host: warning: --rate ignored, the input's rate is %d Hz\n",
                   input.sampleRate);
    if (o.seconds > 0.0) {
      size_t keep = static_cast<size_t>(o.seconds * input.sampleRate);
      if (keep == 0) keep = 1;
      for (auto& channel : input.channels)
        if (channel.size() > keep) channel.resize(keep);
    }
  }

  CHostServices host;
  host.SetSampleRate(o.inPath.empty() ? o.rate : input.sampleRate);
  host.SetBlockSize(o.block);
  // Longer than any wait the relay may take inside one call (its synchronous
  // wait gives up after 5 s).
  CWatchdog dog(std::max(10.0, 2.0 * o.timeout + 5.0));
  CPluginInstance plugin;
  bool loaded;
  {
    CWatchedCall call(dog, "VSTPluginMain");
    loaded = plugin.Load(o.plugin, &CHostServices::Callback, error);
  }
  if (!loaded) {
    std::fprintf(stderr, "tovik-host: cannot load %s: %s\n", o.plugin.c_str(), error.c_str());
    return kExitLoadFailed;
  }
  {
    CWatchedCall call(dog, "effOpen, the settings chunk or the queries of its description");
    plugin.Dispatch(effOpen);
    ApplySettings(o, plugin, host);
    PrintPluginInfo(stdout, o.plugin, plugin);
  }
  if (o.info) {
    CWatchedCall call(dog, "effClose");
    plugin.Close();
    return kExitOk;
  }

  AEffect* effect = plugin.Effect();
  if (effect->processReplacing == nullptr || (effect->flags & effFlagsCanReplacing) == 0) {
    std::fprintf(stderr, "tovik-host: the plug-in offers no processReplacing\n");
    plugin.Close();
    return kExitLoadFailed;
  }
  if (effect->numOutputs <= 0 || effect->numOutputs > 256 || effect->numInputs < 0 ||
      effect->numInputs > 256) {
    std::fprintf(stderr, "tovik-host: cannot relay through %d inputs and %d outputs\n",
                 static_cast<int>(effect->numInputs), static_cast<int>(effect->numOutputs));
    plugin.Close();
    return kExitRelayFailed;
  }
  if (o.inPath.empty()) {
    int channels = o.channels > 0 ? o.channels : (effect->numInputs > 0 ? effect->numInputs : 1);
    input = MakeTestSignal(channels, o.rate, o.seconds > 0.0 ? o.seconds : kDefaultSignalSeconds);
  }
  if (input.channels.size() > static_cast<size_t>(effect->numInputs)) {
    std::fprintf(stderr, "tovik-host: warning: the signal has %zu channels, the plug-in takes %d\n",
                 input.channels.size(), static_cast<int>(effect->numInputs));
  }
  const int precision = PrecisionOf(plugin);

  RelayConfig config;
  config.blockSize = o.block;
  config.timeout = o.timeout;
  config.realtime = o.realtime;
  config.progress = o.progress && StderrIsTerminal();
  CRelayRunner runner(plugin, host, dog, config);
  RelayResult r = runner.Run(input);

  if (o.sync == SyncMode::kAsync && !r.async)
    std::fprintf(stderr, "tovik-host: warning: the plug-in stayed in synchronous operation\n");
  if (o.sync == SyncMode::kSync && r.async)
    std::fprintf(stderr, "tovik-host: warning: the plug-in stayed in asynchronous operation\n");

  std::printf("relay: %zu frames, %zu channels in, %d inputs, %d outputs, %d Hz, block %d, %s operation\n",
              input.Frames(), input.channels.size(), static_cast<int>(effect->numInputs),
              static_cast<int>(effect->numOutputs), input.sampleRate, o.block,
              r.async ? "asynchronous" : "synchronous");
  std::printf("precision: %d \"%s\"\n", precision, kPrecisionNames[precision - 1]);
  if (r.warmupAnswered)
    std::printf("warm-up: %zu blocks, first answer after %.3f s\n", r.warmupBlocks, r.warmupSeconds);
  else
    std::printf("warm-up: %zu blocks, no answer within %.3f s\n", r.warmupBlocks, r.warmupSeconds);
  std::printf("blocks: %zu in the signal, %zu relayed, %zu answered, %zu unanswered\n", r.totalBlocks,
              r.blocks, r.answered, r.unanswered);
  if (r.aborted)
    std::printf("stopped: no answer for %.3g s, %zu blocks not sent\n", o.timeout, r.totalBlocks - r.blocks);
  std::printf("round trip ms: median %.3f, p99 %.3f, max %.3f\n", r.roundTrips.Median(), r.roundTrips.P99(),
              r.roundTrips.Max());
  std::printf("host: %ld events received in %ld lists, %ld time requests\n", host.EventsReceived(),
              host.EventListsReceived(), host.TimeRequests());

  int exitCode = kExitOk;
  if (r.answered == 0) {
    std::fprintf(stderr, "tovik-host: the plug-in answered no block%s\n",
                 r.warmupAnswered ? "" : " (is its slave running, and at the address it was given?)");
    exitCode = kExitRelayFailed;
  }
  if (!o.outPath.empty()) {
    if (!WriteAudioFile(o.outPath, r.output, error)) {
      std::fprintf(stderr, "tovik-host: cannot write the output: %s\n", error.c_str());
      exitCode = kExitFileFailed;
    } else {
      std::printf("output: %s, %zu channels, %zu frames\n", o.outPath.c_str(), r.output.channels.size(),
                  r.output.Frames());
    }
  }

  char tail[160] = "";
  if (o.compare) {
    double tolerance = o.tolerance >= 0.0 ? o.tolerance : DefaultTolerance(precision, o.expectGainDb);
    ComparisonResult c =
        CompareOutput(input, r.output, r.blockAnswered, o.block, precision, o.expectGainDb, tolerance);
    std::printf("compare: %zu channels, %zu samples, gain %.2f dB, max error %.3g, tolerance %.3g\n",
                c.channels, c.samples, o.expectGainDb, c.maxError, c.tolerance);
    std::snprintf(tail, sizeof(tail), ", max error %.3g, tolerance %.3g", c.maxError, c.tolerance);
    // Silence where a block went unanswered does not match the input either.
    if ((!c.pass || r.unanswered > 0) && exitCode == kExitOk) exitCode = kExitRelayFailed;
  }
  std::printf("result: %zu blocks, %zu unanswered%s, %s\n", r.totalBlocks, r.unanswered, tail,
              exitCode == kExitOk ? "pass" : "fail");
  std::fflush(stdout);
  {
    CWatchedCall call(dog, "effClose");
    plugin.Close();
  }
  return exitCode;
}

}  // namespace
}  // namespace tovik::host

int main(int argc, char** argv) {
  return tovik::host::Run(argc, argv);
}
