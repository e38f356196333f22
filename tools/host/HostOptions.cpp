#include "HostOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

#include "link/TransferBlock.h"

namespace tovik::host {
namespace {

bool ToInt(const std::string& text, long low, long high, int& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v < low || v > high) return false;
  out = static_cast<int>(v);
  return true;
}

bool ToDouble(const std::string& text, double low, double high, double& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(v) || v < low || v > high)
    return false;
  out = v;
  return true;
}

bool IsLineSafe(const std::string& text) {
  for (char c : text)
    if (c == '\n' || c == '\0') return false;
  return true;
}

}  // namespace

std::string HostUsage() {
  return "usage: tovik-host [options] PLUGIN [options]\n"
         "\n"
         "Loads a VST 2.4 plug-in module, prints what a host sees of it, and relays\n"
         "audio through it the way a real host drives it.\n"
         "\n"
         "  --info               print the plug-in's identity, pins, parameters and\n"
         "                       settings, then stop\n"
         "  --in FILE            audio to relay (default: a generated test signal)\n"
         "  --midi FILE          play a Standard MIDI File (format 0 or 1) into the\n"
         "                       plug-in as events, each at its block and frame; the\n"
         "                       generated signal lasts the song and 1 s more\n"
         "  --show-events        print every event the plug-in sends back, with its\n"
         "                       block of the signal and deltaFrames\n"
         "  --out FILE           write the processed audio; the format follows the\n"
         "                       extension (.wav, .flac, .ogg, .aiff)\n"
         "  --format NAME        output container whatever the extension (wav, flac...)\n"
         "  --subtype NAME       output samples: pcm16, pcm24, pcm32, float, double...\n"
         "                       (default: float, or pcm24 for FLAC, vorbis for Ogg)\n"
         "  --block N            frames per process call, 1 to 44100 (default 512)\n"
         "  --sync | --async     synchronous or asynchronous operation (default: as the\n"
         "                       plug-in is set)\n"
         "  --prec 1..4          wire precision: 1 8-bit, 2 16-bit, 3 24-bit, 4 float\n"
         "  --host H --port P    where the plug-in finds its slave\n"
         "  --set KEY=VALUE      any other line of the settings chunk (repeatable)\n"
         "  --seconds S          length of the generated signal (default 3), or at\n"
         "                       most S seconds of the input file\n"
         "  --rate R             sample rate of the generated signal (default 48000)\n"
         "  --channels N         inputs and outputs asked of the plug-in (1 to 16;\n"
         "                       default: the input file's channels) and channels of\n"
         "                       the generated signal\n"
         "  --compare            check the output against the input\n"
         "  --expect-gain DB     the gain the output should show (implies --compare)\n"
         "  --tolerance X        largest sample error accepted (default: what the wire\n"
         "                       precision's quantisation allows)\n"
         "  --allow-clipping     samples clipped by the 8 or 16-bit wire do not fail\n"
         "                       --compare (they are compared clipped)\n"
         "  --allow-gaps         blocks left unanswered do not fail the run\n"
         "  --timeout S          longest wait for the plug-in's first answer and for\n"
         "                       each asynchronous block (default 5)\n"
         "  --realtime           pace the blocks at the sample rate; a block whose\n"
         "                       round trip outlasts it is late and fails the run\n"
         "  --allow-late         late blocks of a --realtime run do not fail it\n"
         "  --user-settings      let the plug-in use and change your own per-user\n"
         "                       settings store (default: a private, temporary store\n"
         "                       for this run, so your settings stay as they are)\n"
         "  --no-progress        no progress bar\n"
         "  -q, --quiet          print only the result line and errors\n"
         "  --version            the version of tovik-host\n"
         "  -h, --help           this text\n"
         "  --                   ends the options: what follows is the plug-in file\n"
         "\n"
         "The last line of a relay run reads\n"
         "  result: N blocks, M unanswered[, max error X, tolerance T], pass|fail\n"
         "N counts the blocks of the signal, M those that came back unanswered or\n"
         "were never sent.\n"
         "\n"
         "Exit status:\n"
         "  0  pass\n"
         "  1  relay failed: a block unanswered (without --allow-gaps), no block\n"
         "     answered, a late block in a --realtime run (without --allow-late), an\n"
         "     output that differs from the input or clipped (with --compare), or the\n"
         "     run was interrupted\n"
         "  2  bad arguments\n"
         "  3  the plug-in could not be loaded or created\n"
         "  4  an audio file could not be read or written\n";
}

std::string HostVersion() {
#ifdef TOVIK_VERSION
  return std::string("tovik-host ") + TOVIK_VERSION + "\n";
#else
  return "tovik-host 1.0.8\n";
#endif
}

bool ParseHostOptions(int argc, const char* const* argv, HostOptions& o, std::string& error) {
  bool syncGiven = false;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg == "--") {
      if (!optionsEnded) {
        optionsEnded = true;
        continue;
      }
      if (!o.plugin.empty()) {
        error = "one plug-in only: unexpected '" + arg + "'";
        return false;
      }
      o.plugin = arg;
      continue;
    }
    std::string value;
    bool hasInlineValue = false;
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        hasInlineValue = true;
      }
    }
    auto next = [&](std::string& out) {
      if (hasInlineValue) {
        out = value;
        return true;
      }
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    auto flag = [&]() {
      if (hasInlineValue) error = arg + " takes no value";
      return !hasInlineValue;
    };
    std::string v;
    if (arg == "-h" || arg == "--help") {
      o.help = true;
      return true;
    } else if (arg == "--version") {
      o.version = true;
      return true;
    } else if (arg == "-q" || arg == "--quiet") {
      if (!flag()) return false;
      o.quiet = true;
    } else if (arg == "--user-settings") {
      if (!flag()) return false;
      o.userSettings = true;
    } else if (arg == "--allow-gaps") {
      if (!flag()) return false;
      o.allowGaps = true;
    } else if (arg == "--allow-clipping") {
      if (!flag()) return false;
      o.allowClipping = true;
    } else if (arg == "--allow-late") {
      if (!flag()) return false;
      o.allowLate = true;
    } else if (arg == "--format") {
      if (!next(o.format)) return false;
    } else if (arg == "--subtype") {
      if (!next(o.subtype)) return false;
    } else if (arg == "--info") {
      if (!flag()) return false;
      o.info = true;
    } else if (arg == "--in") {
      if (!next(o.inPath)) return false;
    } else if (arg == "--midi") {
      if (!next(o.midiPath)) return false;
    } else if (arg == "--show-events") {
      if (!flag()) return false;
      o.showEvents = true;
    } else if (arg == "--out") {
      if (!next(o.outPath)) return false;
    } else if (arg == "--block") {
      if (!next(v)) return false;
      // One process call relays at most what one transfer block holds.
      if (!ToInt(v, 1, kMaxFrames, o.block)) {
        error = "--block wants a frame count from 1 to " + std::to_string(kMaxFrames) + ", not '" + v + "'";
        return false;
      }
    } else if (arg == "--sync" || arg == "--async") {
      if (!flag()) return false;
      SyncMode mode = arg == "--sync" ? SyncMode::kSync : SyncMode::kAsync;
      if (syncGiven && mode != o.sync) {
        error = "--sync and --async exclude each other";
        return false;
      }
      syncGiven = true;
      o.sync = mode;
    } else if (arg == "--prec") {
      if (!next(v)) return false;
      if (!ToInt(v, 1, 4, o.prec)) {
        error = "--prec wants 1, 2, 3 or 4, not '" + v + "'";
        return false;
      }
    } else if (arg == "--host") {
      if (!next(o.host)) return false;
      if (o.host.empty() || o.host.size() > 255 || !IsLineSafe(o.host)) {
        error = "--host wants a host name of 1 to 255 characters on one line";
        return false;
      }
      o.hostGiven = true;
    } else if (arg == "--port") {
      if (!next(v)) return false;
      if (!ToInt(v, 0, 65535, o.port)) {
        error = "--port wants a TCP port from 0 to 65535, not '" + v + "'";
        return false;
      }
    } else if (arg == "--set") {
      if (!next(v)) return false;
      size_t eq = v.find('=');
      if (eq == std::string::npos || eq == 0 || !IsLineSafe(v)) {
        error = "--set wants KEY=VALUE, not '" + v + "'";
        return false;
      }
      o.chunkLines.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else if (arg == "--seconds") {
      if (!next(v)) return false;
      if (!ToDouble(v, 0.001, 3600.0, o.seconds)) {
        error = "--seconds wants a length from 0.001 to 3600, not '" + v + "'";
        return false;
      }
    } else if (arg == "--rate") {
      if (!next(v)) return false;
      if (!ToInt(v, 1000, 768000, o.rate)) {
        error = "--rate wants a sample rate from 1000 to 768000, not '" + v + "'";
        return false;
      }
      o.rateGiven = true;
    } else if (arg == "--channels") {
      if (!next(v)) return false;
      if (!ToInt(v, 1, kMaxChannels, o.channels)) {
        error = "--channels wants a count from 1 to " + std::to_string(kMaxChannels) + ", not '" + v + "'";
        return false;
      }
    } else if (arg == "--compare") {
      if (!flag()) return false;
      o.compare = true;
    } else if (arg == "--expect-gain") {
      if (!next(v)) return false;
      if (!ToDouble(v, -120.0, 40.0, o.expectGainDb)) {
        error = "--expect-gain wants a gain in dB from -120 to 40, not '" + v + "'";
        return false;
      }
      o.compare = true;
    } else if (arg == "--tolerance") {
      if (!next(v)) return false;
      if (!ToDouble(v, 0.0, 100.0, o.tolerance)) {
        error = "--tolerance wants a sample error from 0 to 100, not '" + v + "'";
        return false;
      }
    } else if (arg == "--timeout") {
      if (!next(v)) return false;
      if (!ToDouble(v, 0.05, 600.0, o.timeout)) {
        error = "--timeout wants seconds from 0.05 to 600, not '" + v + "'";
        return false;
      }
    } else if (arg == "--realtime") {
      if (!flag()) return false;
      o.realtime = true;
    } else if (arg == "--no-progress") {
      if (!flag()) return false;
      o.progress = false;
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option " + arg;
      return false;
    } else if (o.plugin.empty()) {
      o.plugin = arg;
    } else {
      error = "one plug-in only: unexpected '" + arg + "'";
      return false;
    }
  }
  if (o.plugin.empty()) {
    error = "no plug-in file given";
    return false;
  }
  if ((!o.format.empty() || !o.subtype.empty()) && o.outPath.empty()) {
    error = "--format and --subtype choose the format of --out, which is missing";
    return false;
  }
  if (o.info && (!o.inPath.empty() || !o.outPath.empty() || o.compare || !o.midiPath.empty())) {
    error = "--info prints and stops: it takes no --in, --out, --midi or --compare";
    return false;
  }
  return true;
}

}  // namespace tovik::host
