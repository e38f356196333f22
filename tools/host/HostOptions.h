// Command line of tovik-host.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tovik::host {

// Process exit codes.
enum ExitCode : int {
  kExitOk = 0,
  kExitRelayFailed = 1,  // no block answered, or the output did not match
  kExitUsage = 2,        // bad arguments
  kExitLoadFailed = 3,   // the plug-in could not be loaded or created
  kExitFileFailed = 4,   // an audio file could not be read or written
};

enum class SyncMode { kPlugin, kSync, kAsync };

struct HostOptions {
  std::string plugin;
  bool info = false;
  bool help = false;
  bool version = false;
  bool quiet = false;         // only the result line and errors
  bool userSettings = false;  // the user's own per-user store instead of a private one
  std::string format;         // --format: output container, else from the extension
  std::string subtype;        // --subtype: output sample format, else the container's default
  std::string inPath;
  std::string midiPath;     // --midi: a Standard MIDI File played into the plug-in
  bool showEvents = false;  // --show-events: print the events the plug-in sends back
  std::string outPath;
  int block = 512;
  SyncMode sync = SyncMode::kPlugin;
  int prec = 0;  // 0: leave the plug-in's precision
  std::string host;
  bool hostGiven = false;
  int port = -1;         // -1: leave the plug-in's port
  double seconds = 0.0;  // 0: generated signal of 3 s, or the whole input file
  int rate = 48000;
  bool rateGiven = false;
  int channels = 0;  // 0: the input file's channel count, or the plug-in's input count
  std::vector<std::pair<std::string, std::string>> chunkLines;  // --set KEY=VALUE
  bool compare = false;
  bool allowGaps = false;      // blocks left unanswered do not fail the run
  bool allowClipping = false;  // samples clipped by the wire do not fail a comparison
  bool allowLate = false;      // late blocks do not fail a real-time run
  double expectGainDb = 0.0;
  double tolerance = -1.0;  // < 0: from the precision
  double timeout = 5.0;
  bool realtime = false;
  bool progress = true;
};

// Parses argv. On failure returns false and fills error with a message that
// names the offending argument.
bool ParseHostOptions(int argc, const char* const* argv, HostOptions& options, std::string& error);

// The --help text.
std::string HostUsage();

// The --version line.
std::string HostVersion();

}  // namespace tovik::host
