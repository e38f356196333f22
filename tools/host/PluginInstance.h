// One plug-in loaded from its module file: the entry point, the plug-in record
// it returns and typed access to its dispatcher.
#pragma once

#include <string>

#include "ModuleLoader.h"
#include "frame/VstAbi.h"

namespace tovik::host {

class CPluginInstance {
 public:
  CPluginInstance() = default;
  ~CPluginInstance();
  CPluginInstance(const CPluginInstance&) = delete;
  CPluginInstance& operator=(const CPluginInstance&) = delete;

  // Loads the module, finds "VSTPluginMain" (or else "main"), calls it with
  // the host callback and checks the record it returns.
  bool Load(const std::string& path, audioMasterCallback callback, std::string& error);

  AEffect* Effect() const { return effect; }
  const char* EntryName() const { return entryName; }

  VstIntPtr Dispatch(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                     float opt = 0.0f) const;

  // Asks for a text through an opcode that fills a caller's buffer. The buffer
  // is far larger than the interface's limits, since plug-ins overrun them.
  std::string Text(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0) const;

  // effClose (after which the record is gone), then unloads the module.
  void Close();

 private:
  CModuleLoader module;
  AEffect* effect = nullptr;
  const char* entryName = "";
};

}  // namespace tovik::host
