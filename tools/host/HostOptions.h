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
  std::string inPath;
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
  int channels = 0;                                             // 0: the plug-in's input count
  std::vector<std::pair<std::string, std::string>> chunkLines;  // --set KEY=VALUE
  bool compare = false;
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

}  // namespace tovik::host
