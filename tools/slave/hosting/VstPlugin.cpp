#include "VstPlugin.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ModuleLoader.h"
#include "WireEvents.h"
#include "frame/VstAbi.h"

namespace tovik::slave::hosting {

namespace {

using PluginMain = AEffect*(VSTCALLBACK*)(audioMasterCallback);

// Parameters a plug-in may announce; more is taken as a broken plug-in.
constexpr VstInt32 kMostParameters = 100000;
constexpr VstInt32 kMostPins = 1024;

// What the host callback needs of one instance. Found through the effect's
// resvd1 (the host's field); while the plug-in's main function runs, before
// the effect exists, through the thread's `constructing`.
struct Context {
  double rate = 48000.0;
  int32_t maxBlock = 1024;
  int32_t frames = 0;
  bool running = false;
  const VstTimeInfo* timeSource = nullptr;
  VstTimeInfo time{};
  CEventList* out = nullptr;
};

thread_local Context* constructing = nullptr;

Context* ContextOf(AEffect* effect) {
  if (effect != nullptr && effect->resvd1 != 0) return reinterpret_cast<Context*>(effect->resvd1);
  return constructing;
}

void CopyText(void* ptr, const char* text, size_t capacity) {
  if (ptr == nullptr) return;
  std::strncpy(static_cast<char*>(ptr), text, capacity - 1);
  static_cast<char*>(ptr)[capacity - 1] = '\0';
}

// The events a plug-in sends (audioMasterProcessEvents) into the running
// instance's list. [audio path]: copies into fixed storage only.
void TakeEvents(Context* context, const VstEvents* events) {
  if (context == nullptr || context->out == nullptr || events == nullptr) return;
  const VstInt32 count =
      std::min<VstInt32>(events->numEvents, static_cast<VstInt32>(CEventList::kDefaultEvents));
  for (VstInt32 i = 0; i < count; ++i) {
    const VstEvent* event = events->events[i];
    if (event == nullptr) continue;
    // Within the part being run: a plug-in's frame is not trusted further.
    const int32_t last = std::max<int32_t>(0, context->frames - 1);
    const int32_t frame = std::min<int32_t>(last, std::max<VstInt32>(0, event->deltaFrames));
    if (event->type == kVstMidiType) {
      const auto* midi = reinterpret_cast<const VstMidiEvent*>(event);
      const auto* data = reinterpret_cast<const unsigned char*>(midi->midiData);
      const int32_t length = MidiMessageLength(data[0]);
      if (length > 0) context->out->Add(frame, data, static_cast<size_t>(length));
    } else if (event->type == kVstSysExType) {
      const auto* sysex = reinterpret_cast<const VstMidiSysexEvent*>(event);
      if (sysex->sysexDump != nullptr && sysex->dumpBytes > 0) {
        context->out->Add(frame, reinterpret_cast<const unsigned char*>(sysex->sysexDump),
                          static_cast<size_t>(sysex->dumpBytes));
      }
    }
  }
}

VstIntPtr VSTCALLBACK HostCallback(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                   void* ptr, float opt) {
  (void)index;
  (void)value;
  (void)opt;
  Context* context = ContextOf(effect);
  switch (opcode) {
    case audioMasterVersion:
      return kVstVersion;
    case audioMasterGetTime: {
      // The relayed block's time record, as the plug-in's host sent it.
      if (context == nullptr) return 0;
      if (context->timeSource != nullptr) {
        context->time = *context->timeSource;
      } else {
        context->time = VstTimeInfo{};
        context->time.tempo = 120.0;
        context->time.timeSigNumerator = 4;
        context->time.timeSigDenominator = 4;
      }
      context->time.sampleRate = context->rate;
      return reinterpret_cast<VstIntPtr>(&context->time);
    }
    case audioMasterProcessEvents:
      TakeEvents(context, static_cast<const VstEvents*>(ptr));
      return 1;
    case audioMasterGetSampleRate:
      return context != nullptr ? static_cast<VstIntPtr>(context->rate) : 0;
    case audioMasterGetBlockSize:
      return context != nullptr ? context->maxBlock : 0;
    case audioMasterGetCurrentProcessLevel:
      return context != nullptr && context->running ? 2 : 1;
    case audioMasterGetAutomationState:
      return 1;
    case audioMasterGetLanguage:
      return 1;
    case audioMasterGetVendorVersion:
      return 1;
    case audioMasterGetVendorString:
      CopyText(ptr, "Tovik", 64);
      return 1;
    case audioMasterGetProductString:
      CopyText(ptr, "tovik-slave", 64);
      return 1;
    case audioMasterWantMidi:
      return 1;
    case audioMasterCanDo: {
      if (ptr == nullptr) return 0;
      static const char* const kCan[] = {"sendVstEvents", "sendVstMidiEvent", "sendVstTimeInfo",
                                         "receiveVstEvents", "receiveVstMidiEvent"};
      for (const char* can : kCan) {
        if (std::strcmp(static_cast<const char*>(ptr), can) == 0) return 1;
      }
      return 0;
    }
    default:
      return 0;
  }
}

struct Module {
  tovik::host::CModuleLoader loader;
  PluginMain main = nullptr;
};

// A plug-in's text (name, parameter name) in a buffer larger than the 2.4
// limits, for plug-ins that write past them.
std::string AskText(AEffect* effect, VstInt32 opcode, VstInt32 index) {
  char text[512] = {};
  effect->dispatcher(effect, opcode, index, 0, text, 0.0f);
  text[sizeof text - 1] = '\0';
  std::string result = text;
  while (!result.empty() && (result.back() == ' ' || result.back() == '\t')) result.pop_back();
  while (!result.empty() && (result.front() == ' ' || result.front() == '\t')) result.erase(0, 1);
  return result;
}

bool CanDo(AEffect* effect, const char* what) {
  return effect->dispatcher(effect, effCanDo, 0, 0, const_cast<char*>(what), 0.0f) > 0;
}

// Makes an effect with its context set; null when the plug-in refuses.
AEffect* MakeEffect(const Module& module, Context* context) {
  constructing = context;
  AEffect* effect = module.main(HostCallback);
  constructing = nullptr;
  if (effect == nullptr || effect->magic != kEffectMagic) return nullptr;
  effect->resvd1 = reinterpret_cast<VstIntPtr>(context);
  return effect;
}

class CVstInstance final : public IPluginInstance {
 public:
  CVstInstance(std::shared_ptr<const Module> module, AEffect* effect, std::unique_ptr<Context> context,
               bool midiIn)
      : module_(std::move(module)), effect_(effect), context_(std::move(context)), midiIn_(midiIn) {
    inputs_.assign(static_cast<size_t>(std::max(1, effect_->numInputs)), nullptr);
    outputs_.assign(static_cast<size_t>(std::max(1, effect_->numOutputs)), nullptr);
    if (midiIn_) {
      eventsHeader_.assign(sizeof(VstEvents) + sizeof(VstEvent*) * CEventList::kDefaultEvents, 0);
      midi_.assign(CEventList::kDefaultEvents, VstMidiEvent{});
      sysex_.assign(CEventList::kDefaultEvents, VstMidiSysexEvent{});
      sysexBytes_.assign(CEventList::kDefaultBytes, 0);
    }
  }
  ~CVstInstance() override {
    Deactivate();
    effect_->dispatcher(effect_, effClose, 0, 0, nullptr, 0.0f);
  }

  void ConnectInput(int32_t index, const float* buffer) override {
    // The plug-in's inputs are never written by it in processReplacing.
    if (index >= 0 && index < effect_->numInputs)
      inputs_[static_cast<size_t>(index)] = const_cast<float*>(buffer);
  }
  void ConnectOutput(int32_t index, float* buffer) override {
    if (index >= 0 && index < effect_->numOutputs) outputs_[static_cast<size_t>(index)] = buffer;
  }
  void Activate() override {
    if (active_) return;
    effect_->dispatcher(effect_, effMainsChanged, 0, 1, nullptr, 0.0f);
    effect_->dispatcher(effect_, effStartProcess, 0, 0, nullptr, 0.0f);
    active_ = true;
  }
  void Deactivate() override {
    if (!active_) return;
    effect_->dispatcher(effect_, effStopProcess, 0, 0, nullptr, 0.0f);
    effect_->dispatcher(effect_, effMainsChanged, 0, 0, nullptr, 0.0f);
    active_ = false;
  }
  void SetTimeSource(const VstTimeInfo* time) override { context_->timeSource = time; }

  // [audio path]
  void Run(int32_t frames, const CEventList& in, CEventList* out) override {
    context_->out = out;
    context_->frames = frames;
    context_->running = true;
    if (midiIn_ && in.Count() > 0) SendEvents(in);
    const Clock::time_point began = Clock::now();
    effect_->processReplacing(effect_, inputs_.data(), outputs_.data(), frames);
    CountOwnTime(began);
    context_->running = false;
    context_->out = nullptr;
  }
  int64_t Latency() override { return effect_->initialDelay; }

 private:
  // [audio path] The part's messages as one VstEvents, in fixed storage.
  void SendEvents(const CEventList& in) {
    auto* events = reinterpret_cast<VstEvents*>(eventsHeader_.data());
    VstInt32 count = 0;
    size_t used = 0;
    for (size_t i = 0; i < in.Count() && i < CEventList::kDefaultEvents; ++i) {
      const CEventList::Event& event = in.At(i);
      const unsigned char* data = in.Data(event);
      if (data[0] == 0xF0) {
        if (event.size > sysexBytes_.size() - used) continue;
        std::memcpy(sysexBytes_.data() + used, data, event.size);
        VstMidiSysexEvent& sysex = sysex_[i];
        sysex = VstMidiSysexEvent{};
        sysex.type = kVstSysExType;
        sysex.byteSize = static_cast<VstInt32>(sizeof(VstMidiSysexEvent));
        sysex.deltaFrames = event.frame;
        sysex.dumpBytes = static_cast<VstInt32>(event.size);
        sysex.sysexDump = sysexBytes_.data() + used;
        used += event.size;
        events->events[count++] = reinterpret_cast<VstEvent*>(&sysex);
      } else {
        VstMidiEvent& midi = midi_[i];
        midi = VstMidiEvent{};
        midi.type = kVstMidiType;
        midi.byteSize = static_cast<VstInt32>(sizeof(VstMidiEvent));
        midi.deltaFrames = event.frame;
        for (uint32_t b = 0; b < event.size && b < 3; ++b) midi.midiData[b] = static_cast<char>(data[b]);
        events->events[count++] = reinterpret_cast<VstEvent*>(&midi);
      }
    }
    events->numEvents = count;
    events->reserved = 0;
    if (count == 0) return;
    const Clock::time_point began = Clock::now();
    effect_->dispatcher(effect_, effProcessEvents, 0, 0, events, 0.0f);
    CountOwnTime(began);
  }

  std::shared_ptr<const Module> module_;
  AEffect* effect_;
  std::unique_ptr<Context> context_;
  bool midiIn_;
  bool active_ = false;
  std::vector<float*> inputs_, outputs_;
  std::vector<unsigned char> eventsHeader_;
  std::vector<VstMidiEvent> midi_;
  std::vector<VstMidiSysexEvent> sysex_;
  std::vector<char> sysexBytes_;
};

class CVstType final : public IPluginType {
 public:
  const std::string& Id() const override { return id_; }
  const std::string& Name() const override { return name_; }
  int32_t AudioInputs() const override { return inputs_; }
  int32_t AudioOutputs() const override { return outputs_; }
  bool MidiInput() const override { return midiIn_; }
  bool MidiOutput() const override { return midiOut_; }
  std::vector<float> DefaultControls() const override { return defaults_; }

  bool ApplySetting(const std::string& name, const std::string& value, std::vector<float>* controls,
                    std::string* error, std::string* warning) const override {
    size_t index = params_.size();
    for (size_t i = 0; i < params_.size() && index == params_.size(); ++i) {
      if (params_[i] == name) index = i;
    }
    for (size_t i = 0; i < params_.size() && index == params_.size(); ++i) {
      if (strcasecmp(params_[i].c_str(), name.c_str()) == 0) index = i;
    }
    if (index == params_.size() && !name.empty() &&
        name.find_first_not_of("0123456789") == std::string::npos && name.size() < 10) {
      index = static_cast<size_t>(std::strtoul(name.c_str(), nullptr, 10));
      if (index >= params_.size()) {
        *error = "VST 2.4 plug-in " + id_ + " has no parameter " + name + " (it has " +
                 std::to_string(params_.size()) + ", from 0)";
        return false;
      }
    }
    if (index == params_.size()) {
      std::string names;
      for (size_t i = 0; i < params_.size() && i < 40; ++i) names += (i > 0 ? ", " : "") + params_[i];
      if (params_.size() > 40) names += ", ...";
      *error = "VST 2.4 plug-in " + id_ + " has no parameter '" + name + "' (its parameters: " + names + ")";
      return false;
    }
    char* end = nullptr;
    errno = 0;
    const double number = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || errno != 0 || number != number) {
      *error = "invalid value '" + value + "' for parameter '" + name + "' (a number from 0 to 1)";
      return false;
    }
    double clamped = std::min(1.0, std::max(0.0, number));
    if (clamped != number) {
      *warning = name + "=" + value + " is out of the parameter's range (0 to 1): clamped to " +
                 (clamped > 0.5 ? "1" : "0");
    }
    (*controls)[index] = static_cast<float>(clamped);
    return true;
  }

  std::unique_ptr<IPluginInstance> Instantiate(double rate, int32_t maxBlock,
                                               const std::vector<float>& controls,
                                               std::string* error) const override {
    auto context = std::make_unique<Context>();
    context->rate = rate;
    context->maxBlock = maxBlock;
    AEffect* effect = MakeEffect(*module_, context.get());
    if (effect == nullptr) {
      *error = "VST 2.4 plug-in " + name_ + " <" + id_ + "> refused to start";
      return nullptr;
    }
    effect->dispatcher(effect, effOpen, 0, 0, nullptr, 0.0f);
    if (effect->numInputs != inputs_ || effect->numOutputs != outputs_) {
      effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
      *error = "VST 2.4 plug-in " + name_ + " <" + id_ + "> changed its channel counts";
      return nullptr;
    }
    effect->dispatcher(effect, effSetSampleRate, 0, 0, nullptr, static_cast<float>(rate));
    effect->dispatcher(effect, effSetBlockSize, 0, maxBlock, nullptr, 0.0f);
    for (size_t i = 0; i < controls.size() && i < static_cast<size_t>(effect->numParams); ++i) {
      effect->setParameter(effect, static_cast<VstInt32>(i), controls[i]);
    }
    return std::make_unique<CVstInstance>(module_, effect, std::move(context), midiIn_);
  }

  static std::shared_ptr<const IPluginType> Load(const std::string& path, std::string* error);

 private:
  std::shared_ptr<Module> module_;
  std::string id_, name_;
  int32_t inputs_ = 0, outputs_ = 0;
  bool midiIn_ = false, midiOut_ = false;
  std::vector<std::string> params_;
  std::vector<float> defaults_;
};

std::shared_ptr<const IPluginType> CVstType::Load(const std::string& path, std::string* error) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    *error =
        "cannot host " + path + ": " + std::strerror(errno) + " (an ID is an LV2 URI or a VST 2.4 .so file)";
    return nullptr;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = "cannot host " + path + ": not a file (an ID is an LV2 URI or a VST 2.4 .so file)";
    return nullptr;
  }
  auto module = std::make_shared<Module>();
  std::string reason;
  if (!module->loader.Open(path, reason)) {
    *error = "cannot host " + path + ": not a loadable module: " + reason;
    return nullptr;
  }
  module->main = reinterpret_cast<PluginMain>(module->loader.Symbol("VSTPluginMain"));
  if (module->main == nullptr) module->main = reinterpret_cast<PluginMain>(module->loader.Symbol("main"));
  if (module->main == nullptr) {
    *error = "cannot host " + path + ": not a VST 2.4 plug-in (it exports no VSTPluginMain)";
    return nullptr;
  }
  Context context;
  AEffect* effect = MakeEffect(*module, &context);
  if (effect == nullptr) {
    *error = "cannot host " + path + ": its VSTPluginMain made no VST 2.4 effect";
    return nullptr;
  }
  effect->dispatcher(effect, effOpen, 0, 0, nullptr, 0.0f);
  auto type = std::make_shared<CVstType>();
  type->module_ = module;
  type->id_ = path;
  type->name_ = AskText(effect, effGetEffectName, 0);
  if (type->name_.empty()) type->name_ = AskText(effect, effGetProductString, 0);
  if (type->name_.empty()) type->name_ = path.substr(path.find_last_of('/') + 1);
  bool usable = true;
  if (effect->numInputs < 0 || effect->numInputs > kMostPins || effect->numOutputs < 0 ||
      effect->numOutputs > kMostPins || effect->numParams < 0 || effect->numParams > kMostParameters) {
    *error = "cannot host " + path + ": its channel or parameter counts are out of range";
    usable = false;
  } else if ((effect->flags & effFlagsCanReplacing) == 0) {
    *error = "cannot host " + path + ": it has no processReplacing (VST 2.4 requires it)";
    usable = false;
  }
  if (usable) {
    type->inputs_ = effect->numInputs;
    type->outputs_ = effect->numOutputs;
    type->midiIn_ = (effect->flags & effFlagsIsSynth) != 0 || CanDo(effect, "receiveVstEvents") ||
                    CanDo(effect, "receiveVstMidiEvent");
    type->midiOut_ = CanDo(effect, "sendVstEvents") || CanDo(effect, "sendVstMidiEvent");
    for (VstInt32 i = 0; i < effect->numParams; ++i) {
      std::string name = AskText(effect, effGetParamName, i);
      type->params_.push_back(name.empty() ? std::to_string(i) : name);
      type->defaults_.push_back(std::min(1.0f, std::max(0.0f, effect->getParameter(effect, i))));
    }
  }
  effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
  if (!usable) return nullptr;
  return type;
}

void ListDirectory(const std::string& directory, int depth, std::vector<std::string>* files) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = directory + "/" + name;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode) && depth < 4) {
      ListDirectory(path, depth + 1, files);
    } else if (S_ISREG(info.st_mode) && name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0) {
      if (std::find(files->begin(), files->end(), path) == files->end()) files->push_back(path);
    }
  }
}

}  // namespace

std::shared_ptr<const IPluginType> FindVstPlugin(const std::string& path, std::string* error) {
  return CVstType::Load(path, error);
}

std::vector<std::string> VstSearchPath() {
  std::vector<std::string> directories;
  for (const char* variable : {"VST_PATH", "LXVST_PATH"}) {
    const char* value = std::getenv(variable);
    if (value == nullptr) continue;
    std::string list = value;
    size_t start = 0;
    while (start <= list.size()) {
      const size_t colon = std::min(list.find(':', start), list.size());
      if (colon > start) directories.push_back(list.substr(start, colon - start));
      start = colon + 1;
    }
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') directories.push_back(std::string(home) + "/.vst");
  directories.push_back("/usr/lib/vst");
  directories.push_back("/usr/lib/lxvst");
  return directories;
}

namespace {

// The list line of one file. Run in a process of its own.
std::string DescribeVstFile(const std::string& file) {
  std::string error;
  const std::shared_ptr<const IPluginType> type = FindVstPlugin(file, &error);
  if (!type) return file + "\t(not usable: " + error + ")\n";
  return file + "\t" + type->Name() + "\t" + std::to_string(type->AudioInputs()) + " in, " +
         std::to_string(type->AudioOutputs()) + " out" + (type->MidiInput() ? ", MIDI in" : "") +
         (type->MidiOutput() ? ", MIDI out" : "") + "\n";
}

// How loading a file in a child process ended.
struct ChildLoad {
  bool ran = false;  // false: no child could be made
  bool timedOut = false;
  int signal = 0;    // the signal that ended it (0: none)
  std::string line;  // what DescribeVstFile said there
};

// Loads the file in a child process, so that a plug-in that crashes or hangs
// while it is loaded costs only that process; waits at most limitMs for it.
ChildLoad LoadInAChild(const std::string& file, int32_t limitMs) {
  ChildLoad result;
  int fds[2];
  if (pipe(fds) != 0) return result;
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    // Ends by itself should its parent be gone before it (the slave's set-up
    // watch may end the slave first).
    alarm(static_cast<unsigned>(limitMs / 1000 + 2));
    const std::string line = DescribeVstFile(file);
    size_t done = 0;
    while (done < line.size()) {
      const ssize_t wrote = write(fds[1], line.data() + done, line.size() - done);
      if (wrote <= 0) break;
      done += static_cast<size_t>(wrote);
    }
    _exit(0);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return result;
  }
  result.ran = true;
  std::string& line = result.line;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  bool timedOut = false;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char chunk[1024];
    const ssize_t got = read(fds[0], chunk, sizeof chunk);
    if (got <= 0) break;
    line.append(chunk, static_cast<size_t>(got));
  }
  close(fds[0]);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  result.timedOut = timedOut;
  if (!timedOut && WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

// Why loading the file in a child went wrong ("" when it did not).
std::string ChildLoadFault(const ChildLoad& load, int32_t limitMs) {
  if (load.timedOut) return "no answer within " + std::to_string(limitMs) + " ms of loading it, --setup-ms";
  if (load.signal != 0) {
    return "it crashed while loading: signal " + std::to_string(load.signal) + " (" + strsignal(load.signal) +
           ")";
  }
  if (load.line.empty()) return "it ended the process while loading";
  return std::string();
}

// The list line of one file, loaded in a child process.
std::string ProbeVstFile(const std::string& file, int32_t limitMs) {
  const ChildLoad load = LoadInAChild(file, limitMs);
  if (!load.ran) return DescribeVstFile(file);
  const std::string fault = ChildLoadFault(load, limitMs);
  return fault.empty() ? load.line : file + "\t(not usable: " + fault + ")\n";
}

}  // namespace

bool VstLoadsInAChild(const std::string& path, int32_t limitMs, std::string* error) {
  const ChildLoad load = LoadInAChild(path, limitMs);
  const std::string fault = load.ran ? ChildLoadFault(load, limitMs) : std::string();
  if (fault.empty()) return true;
  *error = "cannot host " + path + ": " + fault;
  return false;
}

void ListVstPlugins(std::FILE* out, int32_t limitMs) {
  std::vector<std::string> files;
  for (const std::string& directory : VstSearchPath()) ListDirectory(directory, 0, &files);
  for (const std::string& file : files) std::fputs(ProbeVstFile(file, limitMs).c_str(), out);
}

}  // namespace tovik::slave::hosting
