#include "relay/Factory.h"

#include <new>

#include "formats/SimdSelect.h"
#include "relay/Tovik.h"

void* moduleInstance = nullptr;
bool convertersSelected = false;
bool socketStartupFailed = false;

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
  if (!convertersSelected) {
    // The processor-specific converters are installed here, once, before the
    // first object exists.
    SelectSseOps();
    SelectSse2Ops();
    convertersSelected = true;
  }
  CTovik* effect = new (std::nothrow) CTovik(audioMaster);
  if (!effect) return nullptr;
  if (socketStartupFailed) {
    delete effect;
    return nullptr;
  }
  return effect;
}
