// The configuration file of a slave with several ports (--config FILE): one
// [[slave]] table per listening port, each naming the chain its connections
// run.
//
//   [[slave]]
//   port = 19284                  # required, 1 to 65535, once in the file
//   bind = "127.0.0.1"            # optional, the address to listen on
//   gain = -3.0                   # optional, dB, without plugins only
//   echo-events = false           # optional
//   plugins = [                   # optional, the chain in order
//     { uri = "http://lv2plug.in/plugins/eg-amp", set = { gain = -6.0 } },
//     { path = "/usr/lib/vst/plugin.so", set = { "Output" = 0.5, "3" = 0.25 } },
//   ]
//
// Unknown keys are errors, so that a misspelt setting never goes unnoticed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tovik::slave {

namespace hosting {
class CChainBuilder;
struct ChainSpec;
}  // namespace hosting

struct PortConfig {
  uint16_t port = 0;
  std::string bind;  // empty: the command line's --bind
  bool hasGain = false;
  double gainDb = 0.0;
  bool echoEvents = false;
  std::shared_ptr<const hosting::ChainSpec> chain;  // null: no plug-ins
  // Where the table is, "FILE:LINE:COLUMN", for messages.
  std::string where;
};

// Whether this tovik-slave reads configuration files (it was built with toml++).
bool ConfigFilesSupported();

// Reads the file at path, its plug-ins looked up with builder. False with a
// message "FILE:LINE:COLUMN: what is wrong" in *error; warnings (a value
// clamped) are appended to *warnings, each with its place.
bool ReadSlaveConfig(const std::string& path, hosting::CChainBuilder& builder, std::vector<PortConfig>* ports,
                     std::vector<std::string>* warnings, std::string* error);

}  // namespace tovik::slave
