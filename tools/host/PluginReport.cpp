#include "PluginReport.h"

#include <cstring>

#include "SettingsChunk.h"

namespace tovik::host {
namespace {

// Pins and parameters listed; a broken record with absurd counts is cut here.
constexpr VstInt32 kMaxListed = 256;

void PrintPins(FILE* out, const CPluginInstance& plugin, const char* word, VstInt32 count, VstInt32 opcode) {
  std::fprintf(out, "%ss: %d\n", word, static_cast<int>(count));
  for (VstInt32 i = 0; i < count && i < kMaxListed; ++i) {
    VstPinProperties pin;
    std::memset(&pin, 0, sizeof(pin));
    if (plugin.Dispatch(opcode, i, 0, &pin) == 0) {
      std::fprintf(out, "  %s %d: (no properties)\n", word, static_cast<int>(i));
      continue;
    }
    pin.label[sizeof(pin.label) - 1] = '\0';
    pin.shortLabel[sizeof(pin.shortLabel) - 1] = '\0';
    std::fprintf(out, "  %s %d: \"%s\"", word, static_cast<int>(i), pin.label);
    if (pin.shortLabel[0] != '\0') std::fprintf(out, " short \"%s\"", pin.shortLabel);
    std::fprintf(out, " flags %d", static_cast<int>(pin.flags));
    if (pin.flags & kVstPinIsActive) std::fprintf(out, " active");
    if (pin.flags & kVstPinIsStereo) std::fprintf(out, " stereo");
    if (pin.flags & kVstPinUseSpeaker)
      std::fprintf(out, " speaker %d", static_cast<int>(pin.arrangementType));
    std::fprintf(out, "\n");
  }
}

}  // namespace

std::string FourCharText(VstInt32 code) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    char c = static_cast<char>((static_cast<uint32_t>(code) >> shift) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text;
}

std::string EffectFlagNames(VstInt32 flags) {
  static const struct {
    VstInt32 bit;
    const char* name;
  } kNames[] = {
      {effFlagsHasEditor, "HasEditor"},
      {effFlagsHasClip, "HasClip"},
      {effFlagsHasVu, "HasVu"},
      {effFlagsCanMono, "CanMono"},
      {effFlagsCanReplacing, "CanReplacing"},
      {effFlagsProgramChunks, "ProgramChunks"},
      {effFlagsIsSynth, "IsSynth"},
      {effFlagsNoSoundInStop, "NoSoundInStop"},
      {effFlagsExtIsAsync, "ExtIsAsync"},
      {effFlagsExtHasBuffer, "ExtHasBuffer"},
      {effFlagsCanDoubleReplacing, "CanDoubleReplacing"},
  };
  std::string text;
  for (const auto& entry : kNames) {
    if (flags & entry.bit) {
      if (!text.empty()) text += ' ';
      text += entry.name;
    }
  }
  return text;
}

const char* CategoryName(VstIntPtr category) {
  static const char* const kNames[] = {"Unknown",     "Effect",         "Synth",  "Analysis",
                                       "Mastering",   "Spacializer",    "RoomFx", "SurroundFx",
                                       "Restoration", "OfflineProcess", "Shell",  "Generator"};
  if (category < 0 || category >= static_cast<VstIntPtr>(sizeof(kNames) / sizeof(kNames[0]))) return "?";
  return kNames[category];
}

void PrintPluginInfo(FILE* out, const std::string& path, const CPluginInstance& plugin) {
  const AEffect* e = plugin.Effect();
  std::fprintf(out, "plug-in: %s (entry %s)\n", path.c_str(), plugin.EntryName());
  std::fprintf(out, "effect name: %s\n", plugin.Text(effGetEffectName).c_str());
  std::fprintf(out, "vendor: %s\n", plugin.Text(effGetVendorString).c_str());
  std::fprintf(out, "product: %s\n", plugin.Text(effGetProductString).c_str());
  std::fprintf(out, "vendor version: %ld\n", static_cast<long>(plugin.Dispatch(effGetVendorVersion)));
  std::fprintf(out, "VST version: %ld\n", static_cast<long>(plugin.Dispatch(effGetVstVersion)));
  VstIntPtr category = plugin.Dispatch(effGetPlugCategory);
  std::fprintf(out, "category: %ld (%s)\n", static_cast<long>(category), CategoryName(category));
  std::fprintf(out, "unique id: '%s' (0x%08X)\n", FourCharText(e->uniqueID).c_str(),
               static_cast<unsigned>(e->uniqueID));
  std::fprintf(out, "version: %d\n", static_cast<int>(e->version));
  std::fprintf(out, "flags: 0x%X %s\n", static_cast<unsigned>(e->flags), EffectFlagNames(e->flags).c_str());
  std::fprintf(out, "initial delay: %d\n", static_cast<int>(e->initialDelay));
  std::fprintf(out, "programs: %d, current %ld \"%s\"\n", static_cast<int>(e->numPrograms),
               static_cast<long>(plugin.Dispatch(effGetProgram)), plugin.Text(effGetProgramName).c_str());
  PrintPins(out, plugin, "input", e->numInputs, effGetInputProperties);
  PrintPins(out, plugin, "output", e->numOutputs, effGetOutputProperties);
  std::fprintf(out, "parameters: %d\n", static_cast<int>(e->numParams));
  for (VstInt32 i = 0; i < e->numParams && i < kMaxListed; ++i) {
    float value = e->getParameter != nullptr ? e->getParameter(const_cast<AEffect*>(e), i) : 0.0f;
    std::string label = plugin.Text(effGetParamLabel, i);
    std::fprintf(out, "  parameter %d: \"%s\" = %.6f \"%s\"%s%s\n", static_cast<int>(i),
                 plugin.Text(effGetParamName, i).c_str(), static_cast<double>(value),
                 plugin.Text(effGetParamDisplay, i).c_str(), label.empty() ? "" : " ", label.c_str());
  }
  if (e->flags & effFlagsProgramChunks) {
    void* data = nullptr;
    VstIntPtr size = plugin.Dispatch(effGetChunk, 0, 0, &data);
    if (size <= 0 || data == nullptr) {
      std::fprintf(out, "settings chunk: none\n");
    } else {
      std::fprintf(out, "settings chunk: %ld bytes\n", static_cast<long>(size));
      const size_t bytes = size > (1 << 20) ? (1 << 20) : static_cast<size_t>(size);  // a sane bound
      CSettingsChunk chunk(static_cast<const char*>(data), bytes);
      for (const std::string& line : chunk.Lines()) std::fprintf(out, "  %s\n", line.c_str());
    }
  } else {
    std::fprintf(out, "settings chunk: none (no effFlagsProgramChunks)\n");
  }
  std::fflush(out);
}

}  // namespace tovik::host
