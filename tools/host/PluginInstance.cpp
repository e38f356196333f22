#include "PluginInstance.h"

#include <cstdio>
#include <cstring>

namespace tovik::host {
namespace {

using EntryProc = AEffect*(VSTCALLBACK*)(audioMasterCallback);

}  // namespace

CPluginInstance::~CPluginInstance() {
  Close();
}

bool CPluginInstance::Load(const std::string& path, audioMasterCallback callback, std::string& error) {
  if (!module.Open(path, error)) return false;
  void* entry = module.Symbol("VSTPluginMain");
  entryName = "VSTPluginMain";
  if (entry == nullptr) {
    entry = module.Symbol("main");
    entryName = "main";
  }
  if (entry == nullptr) {
    error = "the module exports neither VSTPluginMain nor main";
    module.Close();
    return false;
  }
  EntryProc proc;
  static_assert(sizeof(proc) == sizeof(entry), "function and data pointers differ in size");
  std::memcpy(&proc, &entry, sizeof(proc));
  effect = proc(callback);
  if (effect == nullptr) {
    error = std::string(entryName) + " returned no plug-in";
    module.Close();
    return false;
  }
  if (effect->magic != kEffectMagic) {
    char text[96];
    std::snprintf(text, sizeof(text), "the plug-in record has magic 0x%08X, not 0x%08X ('VstP')",
                  static_cast<unsigned>(effect->magic), static_cast<unsigned>(kEffectMagic));
    error = text;
    effect = nullptr;  // not a record we can talk to; never call into it
    module.Close();
    return false;
  }
  if (effect->dispatcher == nullptr) {
    error = "the plug-in record has no dispatcher";
    effect = nullptr;
    module.Close();
    return false;
  }
  return true;
}

VstIntPtr CPluginInstance::Dispatch(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                    float opt) const {
  if (effect == nullptr) return 0;
  return effect->dispatcher(effect, opcode, index, value, ptr, opt);
}

std::string CPluginInstance::Text(VstInt32 opcode, VstInt32 index, VstIntPtr value) const {
  char buffer[1024];
  std::memset(buffer, 0, sizeof(buffer));
  Dispatch(opcode, index, value, buffer);
  buffer[sizeof(buffer) - 1] = '\0';
  return buffer;
}

void CPluginInstance::Close() {
  if (effect != nullptr) {
    Dispatch(effClose);
    effect = nullptr;
  }
  module.Close();
}

}  // namespace tovik::host
