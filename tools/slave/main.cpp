// tovik-slave: the reference slave. Listens for the relay plug-in on TCP,
// answers its handshake and returns every audio block, processed, at the
// precision it came with.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "SlaveServer.h"
#include "SlaveSettings.h"
#include "SlaveStats.h"

namespace {

using tovik::slave::CSlaveServer;
using tovik::slave::SlaveSettings;
using tovik::slave::SlaveStats;

constexpr uint16_t kDefaultPort = 19284;

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

extern "C" void OnStopSignal(int) {
  stopRequested.store(true);
}

const char kUsage[] =
    "Usage: tovik-slave [options]\n"
    "\n"
    "Reference slave for the Tovik relay plug-in. Accepts one plug-in connection at a\n"
    "time, answers its handshake and returns each audio block at the precision it came\n"
    "with. Logs one line on stderr as each connection ends. Stop it with Ctrl+C\n"
    "(SIGINT) or SIGTERM; it then prints a summary of blocks, latency and bytes.\n"
    "\n"
    "Options:\n"
    "  --port N           TCP port to listen on (default 19284)\n"
    "  --bind ADDRESS     address to listen on (default 127.0.0.1; 0.0.0.0 for all IPv4,\n"
    "                     :: for all IPv4 and IPv6, ::1 for IPv6 loopback)\n"
    "  --gain DB          gain applied to the audio in dB (default 0: bit-exact pass-through)\n"
    "  --echo-events      send the block's MIDI and SysEx events back to the plug-in\n"
    "  --sysex-fixed N    SysEx record fixed part: 24 (64-bit plug-in) or 20 (32-bit);\n"
    "                     by default told from the records\n"
    "  --delay-ms N       answer each block N ms late\n"
    "  --silent           accept connections but never answer anything\n"
    "  --stall-ms N       drop a plug-in that stops for N ms inside a message (default 5000)\n"
    "  --exit-on-close    exit when a plug-in sends msgClose\n"
    "  --quiet            print errors only (no connection lines, no summary)\n"
    "  --help             show this text\n"
    "\n"
    "Output j of each answer carries input j modulo the block's channel count, as many\n"
    "outputs as the plug-in announced; silence when the block has no channels.\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "tovik-slave: %s\nTry 'tovik-slave --help'.\n", message.c_str());
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

std::string Duration(int64_t nanoseconds) {
  char text[32];
  if (nanoseconds < 1000) {
    std::snprintf(text, sizeof text, "%lld ns", static_cast<long long>(nanoseconds));
  } else if (nanoseconds < 1000000) {
    std::snprintf(text, sizeof text, "%.1f us", static_cast<double>(nanoseconds) / 1e3);
  } else if (nanoseconds < 1000000000) {
    std::snprintf(text, sizeof text, "%.2f ms", static_cast<double>(nanoseconds) / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(nanoseconds) / 1e9);
  }
  return text;
}

void PrintSummary(const SlaveStats& stats) {
  std::fprintf(
      stderr, "tovik-slave: %llu connections, %llu blocks processed, %llu bytes in, %llu bytes out\n",
      static_cast<unsigned long long>(stats.connections), static_cast<unsigned long long>(stats.blocks),
      static_cast<unsigned long long>(stats.bytesIn), static_cast<unsigned long long>(stats.bytesOut));
  if (stats.latency.Count() > 0) {
    std::fprintf(stderr,
                 "tovik-slave: block latency (code received to answer sent): median %s, p99 %s, max %s\n",
                 Duration(stats.latency.Quantile(0.5)).c_str(),
                 Duration(stats.latency.Quantile(0.99)).c_str(), Duration(stats.latency.Max()).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  SlaveSettings settings;
  long port = kDefaultPort;
  std::string bindAddress = "127.0.0.1";
  bool exitOnClose = false;
  bool quiet = false;

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
                       option == "--sysex-fixed" || option == "--delay-ms" || option == "--stall-ms";
    if (!known) return UsageError("unknown option '" + option + "'");
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    const bool flag = option == "--echo-events" || option == "--silent" || option == "--exit-on-close" ||
                      option == "--quiet";
    if (flag) {
      if (value != nullptr) return UsageError("option '" + option + "' takes no value");
      if (option == "--echo-events") settings.echoEvents = true;
      if (option == "--silent") settings.silent = true;
      if (option == "--exit-on-close") exitOnClose = true;
      if (option == "--quiet") quiet = true;
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
    } else if (option == "--bind") {
      if (*value == '\0') return UsageError("invalid bind address ''");
      bindAddress = value;
    } else if (option == "--gain") {
      if (!ParseDouble(value, -200.0, 60.0, &real)) {
        return UsageError(std::string("invalid gain '") + value + "' (dB, -200 to 60)");
      }
      settings.SetGainDb(real);
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
    }
  }

  struct sigaction stopAction {};
  stopAction.sa_handler = OnStopSignal;
  sigemptyset(&stopAction.sa_mask);
  sigaction(SIGINT, &stopAction, nullptr);
  sigaction(SIGTERM, &stopAction, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  SlaveStats stats;
  CSlaveServer server(settings, stats, quiet ? nullptr : stderr);
  std::string error;
  if (!server.Listen(bindAddress, static_cast<uint16_t>(port), &error)) {
    std::fprintf(stderr, "tovik-slave: %s\n", error.c_str());
    return 1;
  }
  if (!quiet) {
    std::fprintf(stderr, "tovik-slave: listening on %s port %u%s\n", bindAddress.c_str(),
                 static_cast<unsigned>(server.Port()), settings.silent ? " (silent)" : "");
  }
  server.Run(stopRequested, exitOnClose);
  if (!quiet) PrintSummary(stats);
  return 0;
}
