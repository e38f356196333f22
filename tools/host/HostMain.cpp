// tovik-host: a command-line VST 2.4 host. Loads a plug-in module, prints what
// a host sees of it, applies relay settings through its settings chunk and
// relays a file or a generated signal through it, with a closing report.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "AudioFile.h"
#include "HostOptions.h"
#include "HostServices.h"
#include "MidiFile.h"
#include "ModuleFile.h"
#include "OutputComparison.h"
#include "PluginInstance.h"
#include "PluginReport.h"
#include "ProgressBar.h"
#include "RelayRunner.h"
#include "SettingsChunk.h"
#include "SlaveProbe.h"
#include "Terminal.h"
#include "TestSignal.h"
#include "Watchdog.h"
#include "link/TransferBlock.h"

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
bool ApplySettings(const HostOptions& o, int channels, const CPluginInstance& plugin, CHostServices& host) {
  std::vector<std::pair<std::string, std::string>> wanted;
  if (o.hostGiven) wanted.emplace_back("Host", o.host);
  if (o.port >= 0) wanted.emplace_back("Port", std::to_string(o.port));
  if (o.prec > 0) wanted.emplace_back("AudioPrec", std::to_string(o.prec));
  if (o.sync != SyncMode::kPlugin) wanted.emplace_back("Synch", o.sync == SyncMode::kSync ? "1" : "0");
  if (channels > 0) {
    wanted.emplace_back("NumInputs", std::to_string(channels));
    wanted.emplace_back("NumOutputs", std::to_string(channels));
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

// "m:ss.mmm" of a position in the signal.
std::string PositionText(double seconds) {
  char text[48];
  const double whole = std::floor(seconds);
  std::snprintf(text, sizeof(text), "%s.%03d", ClockText(whole).c_str(),
                static_cast<int>(std::lround((seconds - whole) * 1000.0)) % 1000);
  return text;
}

// At most limit frames of another source (--seconds of an input file).
class CLimitedSource : public CAudioSource {
 public:
  CLimitedSource(CAudioSource& from, uint64_t limit) : inner(from), frames(std::min(limit, from.Frames())) {}
  int Channels() const override { return inner.Channels(); }
  int SampleRate() const override { return inner.SampleRate(); }
  uint64_t Frames() const override { return frames; }
  size_t Read(std::vector<std::vector<float>>& channels, size_t count) override {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, frames - position));
    const size_t got = n == 0 ? 0 : inner.Read(channels, n);
    position += got;
    return got;
  }

 private:
  CAudioSource& inner;
  uint64_t frames;
  uint64_t position = 0;
};

// Where each relayed block goes: the output file (opened at the first answer,
// or at the end with --allow-gaps, so that a run without answers leaves no
// file), the comparison and the count of samples the wire clips.
class CRunSink : public CRelaySink {
 public:
  CRunSink(const HostOptions& options, const OutputFormat& outputFormat, int wirePrecision, int sampleRate,
           size_t outputChannels, double tolerance)
      : o(options),
        format(outputFormat),
        precision(wirePrecision),
        rate(sampleRate),
        outChannels(outputChannels),
        comparison(wirePrecision, options.expectGainDb, tolerance, options.allowClipping) {}

  void Block(size_t, const std::vector<std::vector<float>>& input, size_t inputChannels,
             const std::vector<std::vector<float>>& output, size_t outputChannels, size_t frames,
             bool answered) override {
    if (precision == 1 || precision == 2) {
      for (size_t c = 0; c < inputChannels && c < sentChannels; ++c)
        for (size_t i = 0; i < frames; ++i)
          if (std::fabs(input[c][i]) > 1.0f) ++clippedOut;
    }
    if (o.compare && answered) comparison.AddBlock(input, inputChannels, output, outputChannels, frames);
    if (o.outPath.empty() || failed) return;
    if (!writer.IsOpen()) {
      if (!answered) {
        pendingSilence += frames;
        return;
      }
      if (!OpenWriter()) return;
    }
    if (!writer.Write(output, frames, error)) failed = true;
  }

  // Ends the output file. Returns false on a write error (in error).
  bool Finish(bool anyAnswered) {
    if (o.outPath.empty() || failed) return !failed;
    if (!writer.IsOpen() && (anyAnswered || o.allowGaps)) OpenWriter();
    if (failed) return false;
    if (writer.IsOpen() && !writer.Close(error)) failed = true;
    return !failed;
  }

  bool Written() const { return writtenFile; }
  uint64_t FramesWritten() const { return writer.FramesWritten(); }
  size_t ClippedOnTheWayOut() const { return clippedOut; }
  const ComparisonResult& Comparison() const { return comparison.Result(); }
  const std::string& Error() const { return error; }
  size_t sentChannels = 0;

 private:
  bool OpenWriter() {
    if (!writer.Open(o.outPath, format, rate, static_cast<int>(outChannels), error)) {
      failed = true;
      return false;
    }
    writtenFile = true;
    // Blocks before the first answer are silence.
    std::vector<std::vector<float>> silence(outChannels, std::vector<float>(4096, 0.0f));
    while (pendingSilence > 0) {
      const size_t n = std::min<uint64_t>(pendingSilence, 4096);
      if (!writer.Write(silence, n, error)) {
        failed = true;
        return false;
      }
      pendingSilence -= n;
    }
    return true;
  }

  const HostOptions& o;
  OutputFormat format;
  int precision;
  int rate;
  size_t outChannels;
  COutputComparison comparison;
  CAudioFileWriter writer;
  uint64_t pendingSilence = 0;
  size_t clippedOut = 0;
  bool failed = false;
  bool writtenFile = false;
  std::string error;
};

// The output path can be written: an existing file is writable, or its folder
// takes a new file. Checked before anything is relayed.
bool CheckOutputPath(const std::string& path, std::string& error) {
  std::error_code ec;
  const std::filesystem::path file(path);
  if (std::filesystem::exists(file, ec)) {
    if (std::filesystem::is_directory(file, ec)) {
      error = "the output '" + path + "' is a folder";
      return false;
    }
    FILE* probe = std::fopen(path.c_str(), "r+b");
    if (probe == nullptr) {
      error = "the output '" + path + "' cannot be written";
      return false;
    }
    std::fclose(probe);
    return true;
  }
  const std::filesystem::path folder =
      file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
  if (!std::filesystem::is_directory(folder, ec)) {
    error = "the output's folder '" + folder.string() + "' does not exist";
    return false;
  }
  FILE* probe = std::fopen(path.c_str(), "wb");
  if (probe == nullptr) {
    error = "cannot create files in the output's folder '" + folder.string() + "'";
    return false;
  }
  std::fclose(probe);
  std::remove(path.c_str());
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  if (std::filesystem::exists(a, ec) && std::filesystem::exists(b, ec))
    return std::filesystem::equivalent(a, b, ec);
  return std::filesystem::weakly_canonical(a, ec) == std::filesystem::weakly_canonical(b, ec);
}

std::string ChannelRange(size_t first, size_t last) {
  return first == last ? "channel " + std::to_string(first)
                       : "channels " + std::to_string(first) + " to " + std::to_string(last);
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
    std::printf("\nAudio files: %s (%s).\n", AudioFileBackend(), OutputFormatNames().c_str());
    return kExitOk;
  }
  if (o.version) {
    std::fputs(HostVersion().c_str(), stdout);
    return kExitOk;
  }

  // Everything about the files is checked before the plug-in is loaded.
  OutputFormat outputFormat;
  if (!o.outPath.empty()) {
    if (!ResolveOutputFormat(o.outPath, o.format, o.subtype, outputFormat, error)) {
      std::fprintf(stderr, "tovik-host: %s\n", error.c_str());
      return kExitFileFailed;
    }
    if (!o.inPath.empty() && SameFile(o.inPath, o.outPath)) {
      std::fprintf(stderr, "tovik-host: --in and --out name the same file '%s'\n", o.outPath.c_str());
      return kExitUsage;
    }
    if (!CheckOutputPath(o.outPath, error)) {
      std::fprintf(stderr, "tovik-host: %s\n", error.c_str());
      return kExitFileFailed;
    }
  }
  CAudioFileReader reader;
  int wantedChannels = o.channels;
  if (!o.inPath.empty()) {
    if (!reader.Open(o.inPath, error)) {
      std::fprintf(stderr, "tovik-host: cannot read the input: %s\n", error.c_str());
      return kExitFileFailed;
    }
    if (reader.Frames() == 0) {
      std::fprintf(stderr, "tovik-host: the input '%s' holds no audio\n", o.inPath.c_str());
      return kExitFileFailed;
    }
    if (o.rateGiven && o.rate != reader.SampleRate())
      std::fprintf(stderr, "tovik-host: warning: --rate ignored, the input's rate is %d Hz\n",
                   reader.SampleRate());
    if (wantedChannels == 0) {
      if (reader.Channels() > kMaxChannels) {
        std::fprintf(stderr,
                     "tovik-host: the input '%s' has %d channels; the relay takes at most %d (choose with "
                     "--channels)\n",
                     o.inPath.c_str(), reader.Channels(), static_cast<int>(kMaxChannels));
        return kExitFileFailed;
      }
      wantedChannels = reader.Channels();
    }
  }

  // The plug-in's per-user store: a private one unless asked otherwise, so a
  // run leaves the user's own settings as they are.
  CPrivateUserStore privateStore;
  std::string storeName = "your own per-user store (--user-settings)";
  if (!o.userSettings) {
    if (!privateStore.Begin(storeName, error)) {
      std::fprintf(stderr, "tovik-host: %s\n", error.c_str());
      return kExitLoadFailed;
    }
    storeName = "private for this run, " + storeName;
  }

  const int rate = o.inPath.empty() ? o.rate : reader.SampleRate();
  MidiSong song;
  if (!o.midiPath.empty()) {
    if (!ReadMidiFile(o.midiPath, rate, song, error)) {
      std::fprintf(stderr, "tovik-host: cannot read the MIDI file: %s\n", error.c_str());
      return kExitFileFailed;
    }
    if (song.skippedSysex > 0)
      std::fprintf(stderr, "tovik-host: warning: %zu SysEx events of the MIDI file are not played\n",
                   song.skippedSysex);
  }
  CHostServices host;
  host.SetSampleRate(rate);
  host.SetBlockSize(o.block);
  // Longer than any wait the relay may take inside one call (its synchronous
  // wait gives up after 5 s).
  CWatchdog dog(std::max(10.0, 2.0 * o.timeout + 5.0));
  dog.SetExitHook(&CPrivateUserStore::RemoveHook, &privateStore);
  CPluginInstance plugin;
  bool loaded;
  {
    CWatchedCall call(dog, "VSTPluginMain");
    loaded = plugin.Load(o.plugin, &CHostServices::Callback, error);
  }
  if (!loaded) {
    const std::string why = ExplainModuleFile(o.plugin);
    std::fprintf(stderr, "tovik-host: cannot load '%s': %s\n", o.plugin.c_str(),
                 why.empty() ? error.c_str() : why.c_str());
    return kExitLoadFailed;
  }
  {
    CWatchedCall call(dog, "effOpen, the settings chunk or the queries of its description");
    plugin.Dispatch(effOpen);
    ApplySettings(o, wantedChannels, plugin, host);
    if (!o.quiet) {
      PrintPluginInfo(stdout, o.plugin, plugin);
      std::printf("settings store: %s\n", storeName.c_str());
    }
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
  const size_t numIn = static_cast<size_t>(effect->numInputs);
  const size_t numOut = static_cast<size_t>(effect->numOutputs);
  std::unique_ptr<CAudioSource> generated;
  std::unique_ptr<CAudioSource> limited;
  CAudioSource* source = &reader;
  if (o.inPath.empty()) {
    const int channels = o.channels > 0 ? o.channels : (effect->numInputs > 0 ? effect->numInputs : 1);
    double seconds = o.seconds > 0.0 ? o.seconds : kDefaultSignalSeconds;
    // A song is heard to its end, and a second more for the release.
    if (!o.midiPath.empty() && o.seconds <= 0.0) seconds = static_cast<double>(song.endFrame) / rate + 1.0;
    generated.reset(new CSignalSource(channels, o.rate, seconds));
    source = generated.get();
  } else if (o.seconds > 0.0) {
    uint64_t keep = static_cast<uint64_t>(o.seconds * reader.SampleRate());
    if (keep == 0) keep = 1;
    limited.reset(new CLimitedSource(reader, keep));
    source = limited.get();
  }
  const size_t numSource = static_cast<size_t>(source->Channels());
  // Never relayed silently short: say which channels are dropped or padded.
  if (numSource > numIn) {
    std::fprintf(stderr,
                 "tovik-host: warning: the signal has %zu channels, the plug-in takes %zu: %s dropped\n",
                 numSource, numIn, ChannelRange(numIn + 1, numSource).c_str());
  } else if (numSource < numIn) {
    std::fprintf(
        stderr,
        "tovik-host: warning: the signal has %zu channels, the plug-in takes %zu: its input %s get silence\n",
        numSource, numIn, ChannelRange(numSource + 1, numIn).c_str());
  }
  if (!o.outPath.empty() && numOut != numSource) {
    std::fprintf(
        stderr,
        "tovik-host: warning: the output gets the plug-in's %zu outputs, the signal had %zu channels\n",
        numOut, numSource);
  }
  const int precision = PrecisionOf(plugin);
  const double tolerance = o.tolerance >= 0.0 ? o.tolerance : DefaultTolerance(precision, o.expectGainDb);

  static std::atomic<bool> interrupted{false};
  CatchInterrupt(interrupted);
  RelayConfig config;
  config.blockSize = o.block;
  config.timeout = o.timeout;
  config.realtime = o.realtime;
  const bool terminal = StderrIsTerminal();
  config.progress = o.progress && !o.quiet && terminal;
  config.stop = &interrupted;
  std::string address;
  std::string slaveHost;
  int slavePort = -1;
  {
    CSettingsChunk chunk;
    std::string h, p;
    if (ReadChunk(plugin, chunk) && chunk.Get("Host", h) && chunk.Get("Port", p)) {
      address = h + ":" + p;
      const int port = std::atoi(p.c_str());
      if (!h.empty() && port > 0 && port <= 65535 && p.find_first_not_of("0123456789") == std::string::npos) {
        slaveHost = h;
        slavePort = port;
      }
    }
  }
  if (terminal && !o.quiet && !address.empty())
    config.connectingText = "connecting to " + address + "\xE2\x80\xA6";
  std::unique_ptr<CMidiSchedule> schedule;
  if (!o.midiPath.empty()) {
    schedule.reset(new CMidiSchedule(song, static_cast<size_t>(o.block)));
    config.midi = schedule.get();
  }
  CRunSink sink(o, outputFormat, precision, rate, numOut, tolerance);
  sink.sentChannels = numIn;
  CRelayRunner runner(plugin, host, dog, config);
  RelayResult r = runner.Run(*source, sink);
  const bool written = sink.Finish(r.answered > 0);
  {
    CWatchedCall call(dog, "effClose");
    plugin.Close();
  }
  // Nothing came back at all: find out how far a connection to the slave gets.
  std::string probeMessage;
  if (r.answered == 0 && !r.warmupAnswered && !r.interrupted && !slaveHost.empty()) {
    ProbeSettings probe;
    probe.inputs = static_cast<int>(std::min<size_t>(numIn, kMaxChannels));
    probe.outputs = static_cast<int>(std::min<size_t>(numOut, kMaxChannels));
    probe.sampleRate = static_cast<float>(rate);
    probe.blockSize = o.block;
    const std::string checking = "checking the connection to " + address + "\xE2\x80\xA6";
    if (terminal && !o.quiet) {
      std::fprintf(stderr, "%s", checking.c_str());
      std::fflush(stderr);
    }
    probeMessage = ProbeSlave(slaveHost, slavePort, probe).message;
    if (terminal && !o.quiet) std::fprintf(stderr, "\r%*s\r", static_cast<int>(checking.size()), "");
  }

  const double blockSeconds = static_cast<double>(o.block) / rate;
  if (!o.quiet) {
    if (o.sync == SyncMode::kAsync && !r.async)
      std::fprintf(stderr, "tovik-host: warning: the plug-in stayed in synchronous operation\n");
    if (o.sync == SyncMode::kSync && r.async)
      std::fprintf(stderr, "tovik-host: warning: the plug-in stayed in asynchronous operation\n");
    std::printf(
        "relay: %llu frames, %zu channels in, %zu inputs, %zu outputs, %d Hz, block %d, %s operation\n",
        static_cast<unsigned long long>(source->Frames()), numSource, numIn, numOut, rate, o.block,
        r.async ? "asynchronous" : "synchronous");
    std::printf("precision: %d \"%s\"\n", precision, kPrecisionNames[precision - 1]);
    if (r.warmupAnswered)
      std::printf("warm-up: %zu blocks, first answer after %.3f s\n", r.warmupBlocks, r.warmupSeconds);
    else
      std::printf("warm-up: %zu blocks, no answer within %.3f s\n", r.warmupBlocks, r.warmupSeconds);
    std::printf("blocks: %zu in the signal, %zu relayed, %zu answered, %zu unanswered\n", r.totalBlocks,
                r.blocks, r.answered, r.unanswered);
    if (r.aborted)
      std::printf("stopped: no answer for %.3g s, %zu blocks not sent\n", o.timeout,
                  r.totalBlocks - r.blocks);
    if (r.roundTrips.Count() > 0)
      std::printf("round trip ms: median %.3f, p99 %.3f, max %.3f\n", r.roundTrips.Median(),
                  r.roundTrips.P99(), r.roundTrips.Max());
    else
      std::printf("round trip ms: n/a (no block answered)\n");
    if (o.realtime) {
      if (r.lateBlocks > 0)
        std::printf("late: %zu of %zu blocks took longer than their %.3f ms, the worst %.3f ms at %s\n",
                    r.lateBlocks, r.answered, blockSeconds * 1000.0, r.worstLateMs,
                    PositionText(r.worstLateBlock * blockSeconds).c_str());
      else
        std::printf("late: 0 of %zu blocks took longer than their %.3f ms\n", r.answered,
                    blockSeconds * 1000.0);
    }
    const double audioSeconds = static_cast<double>(r.framesDone) / rate;
    if (r.elapsedSeconds > 0.0)
      std::printf("time: %.3f s of audio in %.3f s, %.1fx real time\n", audioSeconds, r.elapsedSeconds,
                  audioSeconds / r.elapsedSeconds);
    else
      std::printf("time: %.3f s of audio in %.3f s, real-time factor n/a\n", audioSeconds, r.elapsedSeconds);
    std::printf("host: %ld events received in %ld lists, %ld time requests\n", host.EventsReceived(),
                host.EventListsReceived(), host.TimeRequests());
    if (schedule) std::printf("midi: %zu of %zu events sent\n", schedule->Sent(), song.messages.size());
  }
  if (o.showEvents) {
    for (size_t i = 0; i < host.EventsLogged(); ++i) {
      const CHostServices::ReceivedEvent& e = host.LoggedEvent(i);
      if (e.type == kVstMidiType)
        std::printf("event: block %ld delta %d midi %02x %02x %02x\n", e.block,
                    static_cast<int>(e.deltaFrames), e.midi[0], e.midi[1], e.midi[2]);
      else
        std::printf("event: block %ld delta %d type %d\n", e.block, static_cast<int>(e.deltaFrames),
                    static_cast<int>(e.type));
    }
    if (static_cast<size_t>(host.EventsReceived()) > host.EventsLogged())
      std::printf("event: ... %zu more not shown\n",
                  static_cast<size_t>(host.EventsReceived()) - host.EventsLogged());
  }

  int exitCode = kExitOk;
  if (r.answered == 0) {
    if (!probeMessage.empty())
      std::fprintf(stderr, "tovik-host: the plug-in answered no block: %s\n", probeMessage.c_str());
    else
      std::fprintf(stderr, "tovik-host: the plug-in answered no block%s\n",
                   r.warmupAnswered ? "" : " (is its slave running, and at the address it was given?)");
    exitCode = kExitRelayFailed;
  } else if (r.gapCount > 0) {
    // A gap is a failure unless accepted: when, how long, whether answers came back.
    for (const RelayGap& gap : r.gaps) {
      std::fprintf(stderr, "tovik-host: %s%zu block%s unanswered from %s (block %zu)%s\n",
                   o.allowGaps ? "warning: " : "", gap.blocks, gap.blocks == 1 ? "" : "s",
                   PositionText(gap.firstBlock * blockSeconds).c_str(), gap.firstBlock,
                   gap.answeredAfter ? ", then answers came back (the relay reconnected)"
                                     : ", and no answer came back after that");
    }
    if (r.gapCount > r.gaps.size())
      std::fprintf(stderr, "tovik-host: ... and %zu more gaps\n", r.gapCount - r.gaps.size());
    if (!o.allowGaps) {
      std::fprintf(stderr,
                   "tovik-host: %zu of %zu blocks unanswered: the output has silence there (--allow-gaps "
                   "accepts that)\n",
                   r.unanswered, r.totalBlocks);
      exitCode = kExitRelayFailed;
    }
  }
  if (o.realtime && r.lateBlocks > 0 && !o.allowLate) {
    std::fprintf(stderr,
                 "tovik-host: %zu blocks came back late (round trip over the block's %.3f ms), the worst "
                 "%.3f ms at %s:"
                 " too slow for real time (--allow-late accepts that)\n",
                 r.lateBlocks, blockSeconds * 1000.0, r.worstLateMs,
                 PositionText(r.worstLateBlock * blockSeconds).c_str());
    if (exitCode == kExitOk) exitCode = kExitRelayFailed;
  }
  const ComparisonResult& c = sink.Comparison();
  const size_t clipped = o.compare ? c.clipped : sink.ClippedOnTheWayOut();
  if (clipped > 0) {
    const bool fails = o.compare && !o.allowClipping;
    std::fprintf(stderr, "tovik-host: %s%zu samples clipped at full scale on the %s wire%s\n",
                 fails ? "" : "warning: ", clipped, precision == 1 ? "8-bit" : "16-bit",
                 fails ? " (--allow-clipping compares them clipped)" : "");
    if (!o.quiet) std::printf("clipped: %zu samples\n", clipped);
    if (fails && exitCode == kExitOk) exitCode = kExitRelayFailed;
  }
  if (r.interrupted) {
    std::fprintf(stderr, "tovik-host: interrupted at %s after %zu of %zu blocks\n",
                 PositionText(static_cast<double>(r.framesDone) / rate).c_str(), r.blocks, r.totalBlocks);
    if (exitCode == kExitOk) exitCode = kExitRelayFailed;
  }
  if (!o.outPath.empty()) {
    if (!written) {
      std::fprintf(stderr, "tovik-host: cannot write the output: %s\n", sink.Error().c_str());
      exitCode = kExitFileFailed;
    } else if (!sink.Written()) {
      std::fprintf(stderr,
                   "tovik-host: no output written: no block was answered (--allow-gaps writes it anyway)\n");
    } else if (!o.quiet) {
      std::printf("output: %s, %s, %zu channels, %llu frames\n", o.outPath.c_str(),
                  outputFormat.description.c_str(), numOut,
                  static_cast<unsigned long long>(sink.FramesWritten()));
    }
  }

  char tail[160] = "";
  if (o.compare) {
    if (!o.quiet)
      std::printf("compare: %zu channels, %zu samples, gain %.2f dB, max error %.3g, tolerance %.3g\n",
                  c.channels, c.samples, o.expectGainDb, c.maxError, c.tolerance);
    std::snprintf(tail, sizeof(tail), ", max error %.3g, tolerance %.3g", c.maxError, c.tolerance);
    // Silence where a block went unanswered does not match the input either.
    if ((!c.pass || r.unanswered > 0) && exitCode == kExitOk) exitCode = kExitRelayFailed;
  }
  std::printf("result: %zu blocks, %zu unanswered%s, %s\n", r.totalBlocks, r.unanswered, tail,
              exitCode == kExitOk ? "pass" : "fail");
  std::fflush(stdout);
  return exitCode;
}

}  // namespace
}  // namespace tovik::host

int main(int argc, char** argv) {
  return tovik::host::Run(argc, argv);
}
