#include "VstPlugin.h"

namespace tovik::slave::hosting {

std::shared_ptr<const IPluginType> FindVstPlugin(const std::string& path, std::string* error) {
  *error = "cannot host " + path + ": VST 2.4 plug-ins are not supported yet (use an LV2 URI)";
  return nullptr;
}

void ListVstPlugins(std::FILE* out) {
  std::fprintf(out, "  (VST 2.4 hosting is not supported yet)\n");
}

}  // namespace tovik::slave::hosting
