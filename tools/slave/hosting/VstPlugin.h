// Linux VST 2.4 plug-ins (.so files) in the slave, loaded with the project's
// own VST 2.4 definitions.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "HostedPlugin.h"

namespace tovik::slave::hosting {

// The plug-in in the file at path, loaded once to learn its name, ports and
// parameters. Null with a message when the file is not a VST 2.4 plug-in.
std::shared_ptr<const IPluginType> FindVstPlugin(const std::string& path, std::string* error);

// Loads the file once in a process of its own that gets limitMs: false with a
// message when the plug-in crashes, hangs or ends the process while it is
// loaded (so that the slave can say so instead of dying with it at start).
bool VstLoadsInAChild(const std::string& path, int32_t limitMs, std::string* error);

// The .so files in VST_PATH, LXVST_PATH, ~/.vst and /usr/lib/vst (and their
// subdirectories) with their names and channel counts. Each file is loaded in
// a process of its own that gets limitMs to answer.
void ListVstPlugins(std::FILE* out, int32_t limitMs);

// The directories ListVstPlugins looks in, in order.
std::vector<std::string> VstSearchPath();

}  // namespace tovik::slave::hosting
