// The factory and the process-wide state shared by all instances.
#pragma once

#include "frame/AudioEffect.h"

// Module handle of this library, for the dialog resource (Windows).
extern void* moduleInstance;
// The processor-specific sample converters have been installed.
extern bool convertersSelected;
// Some instance could not start the socket library: every later creation in
// this process fails as well.
extern bool socketStartupFailed;

// Creates one plug-in object, or none (also when making it throws, e.g.
// std::bad_alloc or an exception from the host's callback). Called only by the
// entry point. [main-thread]
AudioEffect* createEffectInstance(audioMasterCallback audioMaster) noexcept;
