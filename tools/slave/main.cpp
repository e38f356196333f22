// tovik-slave: the reference slave. Listens for the relay plug-in on TCP,
// serves every plug-in connection in a process of its own, answers its
// handshake and returns every audio block, processed, at the precision it
// came with.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "SlaveConfig.h"
#include "SlaveServer.h"
#include "SlaveSettings.h"
#include "SlaveStats.h"
#include "hosting/PluginChain.h"

namespace {

using tovik::slave::CSlaveServer;
using tovik::slave::DurationText;
using tovik::slave::SlaveSettings;
using tovik::slave::SlaveStats;

constexpr uint16_t kDefaultPort = 19284;

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

extern "C" void OnStopSignal(int) {
  stopRequested.store(true);
}

std::atomic<bool> statusRequested{false};

extern "C" void OnStatusSignal(int) {
  statusRequested.store(true);
}

#if !defined(TOVIK_VERSION)
#define TOVIK_VERSION "unknown"
#endif

const char kUsage[] =
    "Usage: tovik-slave [options]\n"
    "\n"
    "Reference slave for the Tovik relay plug-in. Serves every plug-in connection at\n"
    "once, each in a process of its own, answers its handshake and returns each audio\n"
    "block at the precision it came with. Logs on stderr when a plug-in connects, when\n"
    "its handshake is complete and when it leaves (with the reason). SIGUSR1 prints the\n"
    "status of every open connection. Stop it with Ctrl+C (SIGINT) or SIGTERM; it then\n"
    "prints a summary of blocks, latency and bytes.\n"
    "\n"
    "Options:\n"
    "  --port N           TCP port to listen on (default 19284)\n"
    "  --bind ADDRESS     address to listen on (default 127.0.0.1; 0.0.0.0 for all IPv4,\n"
    "                     :: for all IPv4 and IPv6, ::1 for IPv6 loopback). The link has\n"
    "                     no authentication or encryption: face a trusted network only\n"
    "  --max-connections N  plug-in connections served at once (default 64); one more is\n"
    "                     closed at once and the plug-in tries again later\n"
    "  --gain DB          gain applied to the audio in dB (default 0: bit-exact pass-through)\n"
    "  --echo-events      send the block's MIDI and SysEx events back to the plug-in\n"
    "  --sysex-fixed N    SysEx record fixed part: 24 (64-bit plug-in) or 20 (32-bit);\n"
    "                     by default told from the records\n"
    "  --delay-ms N       answer each block N ms late\n"
    "  --silent           accept connections but never answer anything\n"
    "  --stall-ms N       drop a plug-in that stops for N ms inside a message (default 5000);\n"
    "                     with --plugin, a block the chain takes longer than this for ends\n"
    "                     its connection\n"
    "  --setup-ms N       limit of each set-up step of a hosted plug-in (loading it at start\n"
    "                     or for --list-plugins, instantiating, activating, deactivating,\n"
    "                     closing; default 10000): one that hangs longer ends its connection\n"
    "                     with a line naming it, or at start stops the slave (exit 2)\n"
    "  --exit-on-close    exit when a plug-in sends msgClose\n"
    "  --status-interval S  a status line per open connection every S seconds: blocks,\n"
    "                     p50/p99 processing time, late blocks, bytes/s (default 0: off)\n"
    "  --verbose          also a line for every message of every connection\n"
    "  --quiet            print errors and warnings only (no connection lines, no summary)\n"
    "  --plugin ID        run this plug-in on every connection; several --plugin options\n"
    "                     form a chain, in the order given. ID is an LV2 plug-in URI or\n"
    "                     the path of a Linux VST 2.4 .so. Replaces --gain\n"
    "  --set NAME=VALUE   set a control of the plug-in named just before: for LV2 a control\n"
    "                     port symbol and a value in the port's units (out of range:\n"
    "                     clamped, with a warning); for VST 2.4 a parameter name or index\n"
    "                     and a value from 0 to 1. Unset controls keep their defaults\n"
    "  --config FILE      listen on every port of this TOML file, each with its own chain\n"
    "                     (below). --port, if given as well, adds a port for the command\n"
    "                     line's chain; a port given twice is an error\n"
    "  --list-plugins     list the LV2 and VST 2.4 plug-ins found, and exit\n"
    "  --version          print the version and exit\n"
    "  --help             show this text\n"
    "\n"
    "Output j of each answer carries input j modulo the block's channel count, as many\n"
    "outputs as the plug-in announced; silence when the block has no channels.\n"
    "\n"
    "With --plugin, each connection gets its own instances of the chain, made at the\n"
    "connection's sample rate and block size. The chain is as wide as the larger of the\n"
    "connection's input and output counts. A plug-in with fewer audio inputs than that\n"
    "runs one instance per group of channels (a mono plug-in on a stereo connection runs\n"
    "twice); otherwise channels map by index, missing inputs are silence and extra\n"
    "outputs are dropped. Instruments (no audio input) take the relayed MIDI; MIDI the\n"
    "plug-ins send goes back to the plug-in's host. A plug-in that crashes or hangs ends\n"
    "only its own connection.\n"
    "\n"
    "The --config file has one [[slave]] table per port (the other options, such as\n"
    "--stall-ms or --max-connections, apply to every port):\n"
    "  [[slave]]\n"
    "  port = 19284                 # required\n"
    "  bind = \"127.0.0.1\"           # default: --bind\n"
    "  plugins = [ { uri = \"http://lv2plug.in/plugins/eg-amp\", set = { gain = -6.0 } } ]\n"
    "  [[slave]]\n"
    "  port = 19285\n"
    "  plugins = [ { path = \"/usr/lib/vst/plugin.so\", set = { \"Output Gain\" = 0.5 } } ]\n"
    "A plug-in is { uri = LV2 URI } or { path = VST 2.4 .so }, set = { NAME = number, ... }\n"
    "as with --set. Without plugins, gain = DB and echo-events = true work as the options.\n"
    "Errors in the file are reported with line and column, and nothing is started.\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "tovik-slave: %s\nTry 'tovik-slave --help'.\n", message.c_str());
  return 2;
}

// A plug-in that cannot be used: nothing is started.
int PluginError(const std::string& message) {
  std::fprintf(stderr, "tovik-slave: %s\n", message.c_str());
  return 2;
}

bool ParseInt(const char* text, long minimum, long maximum, long* value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed < minimum || parsed > maximum) return false;
  *value = parsed;
  return true;
}

bool ParseDouble(const char* text, double minimum, double maximum, double* value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const double parsed = std::strtod(text, &end);
  if (errno != 0 || *end != '\0' || !(parsed >= minimum && parsed <= maximum)) return false;
  *value = parsed;
  return true;
}

void PrintSummary(const SlaveStats& stats) {
  std::fprintf(stderr,
               "tovik-slave: %llu connections, %llu blocks processed, %llu bytes in, %llu bytes out, "
               "%llu refused, %llu died\n",
               static_cast<unsigned long long>(stats.connections),
               static_cast<unsigned long long>(stats.blocks), static_cast<unsigned long long>(stats.bytesIn),
               static_cast<unsigned long long>(stats.bytesOut),
               static_cast<unsigned long long>(stats.refused), static_cast<unsigned long long>(stats.died));
  if (stats.latency.Count() > 0) {
    std::fprintf(
        stderr, "tovik-slave: block latency (code received to answer sent): median %s, p99 %s, max %s\n",
        DurationText(stats.latency.Quantile(0.5)).c_str(), DurationText(stats.latency.Quantile(0.99)).c_str(),
        DurationText(stats.latency.Max()).c_str());
  }
  if (stats.chainBlocks > 0) {
    std::fprintf(
        stderr, "tovik-slave: chains over %llu blocks: %s\n",
        static_cast<unsigned long long>(stats.chainBlocks),
        tovik::slave::ChainTimesText(stats.chainBlocks, stats.pluginNs, stats.chainNs, stats.serviceNs)
            .c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  SlaveSettings settings;
  tovik::slave::hosting::CChainBuilder chainBuilder;
  std::vector<std::string> chainWarnings;
  long port = kDefaultPort;
  std::string bindAddress = "127.0.0.1";
  bool exitOnClose = false;
  bool quiet = false;
  long maxConnections = tovik::slave::kDefaultMaxConnections;
  long statusInterval = 0;
  std::string configPath;
  bool portGiven = false;
  bool commandLineChain = false;

  // --setup-ms bounds the loading of every --plugin, wherever it is given
  // (checked with the other options below).
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const char* value = nullptr;
    if (option == "--setup-ms" && i + 1 < argc) value = argv[i + 1];
    if (option.rfind("--setup-ms=", 0) == 0) value = argv[i] + 11;
    long number = 0;
    if (value != nullptr && ParseInt(value, 1, 600000, &number))
      settings.setupMs = static_cast<int32_t>(number);
  }
  chainBuilder.SetLoadLimit(settings.setupMs, stderr);

  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    const char* value = nullptr;
    const size_t equals = option.find('=');
    if (option.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = argv[i] + equals + 1;
      option.resize(equals);
    }
    const bool known = option == "--help" || option == "-h" || option == "--echo-events" ||
                       option == "--silent" || option == "--exit-on-close" || option == "--quiet" ||
                       option == "--port" || option == "--bind" || option == "--gain" ||
                       option == "--sysex-fixed" || option == "--delay-ms" || option == "--stall-ms" ||
                       option == "--verbose" || option == "--version" || option == "--max-connections" ||
                       option == "--status-interval" || option == "--crash-after-blocks" ||
                       option == "--crash-connection" || option == "--plugin" || option == "--set" ||
                       option == "--list-plugins" || option == "--config" || option == "--setup-ms";
    if (!known) return UsageError("unknown option '" + option + "'");
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (option == "--version") {
      std::printf("tovik-slave %s\n", TOVIK_VERSION);
      return 0;
    }
    if (option == "--list-plugins") {
      if (value != nullptr) return UsageError("option '" + option + "' takes no value");
      chainBuilder.List(stdout);
      return 0;
    }
    const bool flag = option == "--echo-events" || option == "--silent" || option == "--exit-on-close" ||
                      option == "--quiet" || option == "--verbose";
    if (flag) {
      if (value != nullptr) return UsageError("option '" + option + "' takes no value");
      if (option == "--echo-events") settings.echoEvents = true, commandLineChain = true;
      if (option == "--silent") settings.silent = true;
      if (option == "--exit-on-close") exitOnClose = true;
      if (option == "--quiet") quiet = true;
      if (option == "--verbose") settings.verbose = true;
      continue;
    }
    if (value == nullptr) {
      if (i + 1 >= argc) return UsageError("option '" + option + "' needs a value");
      value = argv[++i];
    }
    long number = 0;
    double real = 0.0;
    if (option == "--port") {
      if (!ParseInt(value, 1, 65535, &port))
        return UsageError(std::string("invalid port '") + value + "' (1 to 65535)");
      portGiven = true;
    } else if (option == "--bind") {
      if (*value == '\0') return UsageError("invalid bind address ''");
      bindAddress = value;
    } else if (option == "--gain") {
      if (!ParseDouble(value, -200.0, 60.0, &real)) {
        return UsageError(std::string("invalid gain '") + value + "' (dB, -200 to 60)");
      }
      settings.SetGainDb(real);
      commandLineChain = true;
    } else if (option == "--config") {
      if (*value == '\0') return UsageError("--config needs a file name");
      if (!configPath.empty()) return UsageError("--config is given twice");
      configPath = value;
    } else if (option == "--sysex-fixed") {
      if (!ParseInt(value, 20, 24, &number) || (number != 20 && number != 24)) {
        return UsageError(std::string("invalid SysEx fixed part '") + value + "' (20 or 24)");
      }
      settings.sysexFixed = static_cast<int32_t>(number);
    } else if (option == "--delay-ms") {
      if (!ParseInt(value, 0, 600000, &number)) {
        return UsageError(std::string("invalid delay '") + value + "' (0 to 600000 ms)");
      }
      settings.delayMs = static_cast<int32_t>(number);
    } else if (option == "--stall-ms") {
      if (!ParseInt(value, 1, 600000, &number)) {
        return UsageError(std::string("invalid stall time '") + value + "' (1 to 600000 ms)");
      }
      settings.stallMs = static_cast<int32_t>(number);
      if (settings.messageMs < settings.stallMs) settings.messageMs = settings.stallMs;
    } else if (option == "--setup-ms") {
      if (!ParseInt(value, 1, 600000, &number)) {
        return UsageError(std::string("invalid set-up limit '") + value + "' (1 to 600000 ms)");
      }
    } else if (option == "--max-connections") {
      if (!ParseInt(value, 1, 4096, &maxConnections)) {
        return UsageError(std::string("invalid connection limit '") + value + "' (1 to 4096)");
      }
    } else if (option == "--status-interval") {
      if (!ParseInt(value, 0, 86400, &statusInterval)) {
        return UsageError(std::string("invalid status interval '") + value + "' (0 to 86400 s)");
      }
    } else if (option == "--plugin") {
      std::string error;
      if (!chainBuilder.AddPlugin(value, &error)) return PluginError(error);
      commandLineChain = true;
    } else if (option == "--set") {
      std::string error;
      if (!chainBuilder.AddSetting(value, &error, &chainWarnings)) return PluginError(error);
    } else if (option == "--crash-after-blocks") {
      // Test aid, not in the help: the connection's processing aborts after
      // this many blocks, as a crashing plug-in in the chain would.
      if (!ParseInt(value, 1, 1000000000, &number)) {
        return UsageError(std::string("invalid block count '") + value + "'");
      }
      settings.crashAfterBlocks = number;
    } else if (option == "--crash-connection") {
      // Test aid: only the connection of this number crashes.
      if (!ParseInt(value, 1, 1000000000, &number)) {
        return UsageError(std::string("invalid connection number '") + value + "'");
      }
      settings.crashConnection = static_cast<uint64_t>(number);
    }
  }

  if (!chainBuilder.Empty()) {
    settings.chain = chainBuilder.Take();
    settings.chainLog = quiet ? nullptr : stderr;
  }
  // The file's ports, each with the command line's settings but its own chain.
  std::vector<tovik::slave::PortConfig> ports;
  std::vector<SlaveSettings> portSettings;
  if (!configPath.empty()) {
    std::string error;
    if (!tovik::slave::ReadSlaveConfig(configPath, chainBuilder, &ports, &chainWarnings, &error))
      return PluginError(error);
    if (!portGiven && commandLineChain) {
      return UsageError(
          "with --config, --plugin, --gain and --echo-events on the command line need a --port of their own");
    }
    for (const tovik::slave::PortConfig& entry : ports) {
      if (portGiven && entry.port == port) {
        return PluginError(entry.where + ": port " + std::to_string(port) +
                           " is given both on the command line (--port) and in the file");
      }
      SlaveSettings served = settings;
      served.chain = entry.chain;
      served.chainLog = entry.chain && !quiet ? stderr : nullptr;
      served.SetGainDb(entry.hasGain ? entry.gainDb : 0.0);
      served.echoEvents = entry.echoEvents;
      portSettings.push_back(served);
    }
  }

  struct sigaction stopAction {};
  stopAction.sa_handler = OnStopSignal;
  sigemptyset(&stopAction.sa_mask);
  sigaction(SIGINT, &stopAction, nullptr);
  sigaction(SIGTERM, &stopAction, nullptr);
  struct sigaction statusAction {};
  statusAction.sa_handler = OnStatusSignal;
  sigemptyset(&statusAction.sa_mask);
  sigaction(SIGUSR1, &statusAction, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  if (quiet) settings.verbose = false;
  for (const std::string& warning : chainWarnings)
    std::fprintf(stderr, "tovik-slave: warning: %s\n", warning.c_str());

  SlaveStats stats;
  CSlaveServer server(settings, stats, quiet ? nullptr : stderr);
  server.SetMaxConnections(static_cast<int>(maxConnections));
  server.SetStatusInterval(static_cast<int>(statusInterval));
  server.SetStatusRequest(&statusRequested);
  std::string error;
  if (configPath.empty() || portGiven) {
    if (!server.Listen(bindAddress, static_cast<uint16_t>(port), &error)) {
      std::fprintf(stderr, "tovik-slave: %s\n", error.c_str());
      return 1;
    }
    if (!quiet) {
      std::fprintf(stderr, "tovik-slave: listening on %s port %u%s, at most %ld connections\n",
                   bindAddress.c_str(), static_cast<unsigned>(server.Port()),
                   settings.silent ? " (silent)" : "", maxConnections);
      if (settings.chain)
        std::fprintf(stderr, "tovik-slave: every connection runs %s\n", settings.chain->Describe().c_str());
    }
    if (!server.LoopbackOnly()) {
      // Printed even with --quiet: whoever reaches this port can use the slave.
      std::fprintf(stderr,
                   "tovik-slave: warning: listening on %s, which other machines can reach. The link has no "
                   "authentication or encryption: let only a trusted network reach port %u.\n",
                   bindAddress.c_str(), static_cast<unsigned>(server.Port()));
    }
  }
  for (size_t i = 0; i < ports.size(); ++i) {
    const std::string& address = ports[i].bind.empty() ? bindAddress : ports[i].bind;
    if (!server.AddListener(address, ports[i].port, &portSettings[i], &error)) {
      std::fprintf(stderr, "tovik-slave: %s: %s\n", ports[i].where.c_str(), error.c_str());
      return 1;
    }
    const bool loopback = server.LastLoopback();
    if (!quiet) {
      const SlaveSettings& served = portSettings[i];
      std::string chain = "pass-through";
      if (served.chain) {
        chain = served.chain->Describe();
      } else if (served.gain != 1.0f) {
        char text[48];
        std::snprintf(text, sizeof text, "gain %+g dB", served.gainDb);
        chain = text;
      }
      if (served.echoEvents) chain += " + event echo";
      std::fprintf(stderr, "tovik-slave: listening on %s port %u%s (%s), at most %ld connections in all\n",
                   address.c_str(), static_cast<unsigned>(ports[i].port), served.silent ? " (silent)" : "",
                   chain.c_str(), maxConnections);
    }
    if (!loopback) {
      std::fprintf(stderr,
                   "tovik-slave: warning: listening on %s, which other machines can reach. The link has no "
                   "authentication or encryption: let only a trusted network reach port %u.\n",
                   address.c_str(), static_cast<unsigned>(ports[i].port));
    }
  }
  server.Run(stopRequested, exitOnClose);
  if (!quiet) PrintSummary(stats);
  return 0;
}
