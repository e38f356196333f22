#include "relay/Factory.h"

#include "formats/SimdSelect.h"
#include "relay/Tovik.h"

void* moduleInstance = nullptr;
bool convertersSelected = false;
bool socketStartupFailed = false;

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) noexcept {
  if (!convertersSelected) {
    // The processor-specific converters are installed here, once, before the
    // first object exists.
    SelectSseOps();
    SelectSse2Ops();
    convertersSelected = true;
  }
  CTovik* effect = nullptr;
  try {
    effect = new CTovik(audioMaster);
  } catch (...) {
    return nullptr;  // what the constructor had made is gone with it
  }
  if (socketStartupFailed) {
    delete effect;
    return nullptr;
  }
  return effect;
}
