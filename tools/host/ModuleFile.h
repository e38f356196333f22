// What kind of file a plug-in path names, read from its first bytes, for the
// message when the module does not load: "a 32-bit library; this host is
// 64-bit", "not a shared library at all".
#pragma once

#include <string>

namespace tovik::host {

// A sentence on why the file cannot be this host's plug-in module, or empty
// when it looks like one (the loader's own reason is then the one to give).
std::string ExplainModuleFile(const std::string& path);

}  // namespace tovik::host
