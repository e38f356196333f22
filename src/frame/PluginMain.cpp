// The library's entry point. Hosts look up VSTPluginMain (or, in older hosts,
// main: the same function under a second name, given by the link step).
#include "frame/VstAbi.h"
#include "relay/Factory.h"

extern "C" VST_EXPORT AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback audioMaster) noexcept {
  // No exception unwinds into the host: one thrown while the instance is made
  // (the host's own callback may throw) gives the host no plug-in.
  try {
    // A host that answers 0 to the version query gets no plug-in.
    if (!audioMaster || audioMaster(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
    AudioEffect* effect = createEffectInstance(audioMaster);
    return effect ? effect->getAeffect() : nullptr;
  } catch (...) {
    return nullptr;
  }
}
