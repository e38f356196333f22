// What a host sees of a plug-in, printed as "key: value" lines that a script
// can read.
#pragma once

#include <cstdio>
#include <string>

#include "PluginInstance.h"

namespace tovik::host {

// 'Tovk' style text of a four-character code; unprintable bytes become '.'.
std::string FourCharText(VstInt32 code);

// Names of the set effFlags bits, separated by spaces.
std::string EffectFlagNames(VstInt32 flags);

const char* CategoryName(VstIntPtr category);

// Identity, pins, parameters and settings chunk.
void PrintPluginInfo(FILE* out, const std::string& path, const CPluginInstance& plugin);

}  // namespace tovik::host
