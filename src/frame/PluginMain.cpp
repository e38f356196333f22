// Entry point: placeholder until the frame lands.
#include "frame/VstAbi.h"
extern "C" __attribute__((visibility("default"))) AEffect* VSTPluginMain(audioMasterCallback) { return nullptr; }
