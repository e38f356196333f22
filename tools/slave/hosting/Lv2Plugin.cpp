#include "Lv2Plugin.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/options/options.h>
#include <lv2/parameters/parameters.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "Lv2Worker.h"

namespace tovik::slave::hosting {

namespace {

// Room for one block's events either way, and more if the port asks for it.
constexpr size_t kAtomCapacity = 65536;

// The features an instance gets, besides those the plug-in may merely
// declare: hardRTCapable and inPlaceBroken describe the plug-in (the slave
// runs everything in real time and never in place); loadDefaultState is the
// slave restoring the plug-in's default state once it is made.
const char* const kProvidedFeatures[] = {
    LV2_URID__map,           LV2_URID__unmap,         LV2_OPTIONS__options, LV2_BUF_SIZE__boundedBlockLength,
    LV2_CORE__hardRTCapable, LV2_CORE__inPlaceBroken, LV2_CORE__isLive,     LV2_WORKER__schedule,
    LV2_STATE__loadDefaultState,
};

std::string NodeText(const LilvNode* node) {
  if (node == nullptr) return std::string();
  const char* text = lilv_node_as_string(node);
  return text != nullptr ? text : "";
}

float NodeFloat(const LilvNode* node, float otherwise) {
  if (node == nullptr || !(lilv_node_is_float(node) || lilv_node_is_int(node))) return otherwise;
  return lilv_node_as_float(node);
}

}  // namespace

struct CLv2Host::Impl {
  LilvWorld* world = nullptr;
  LilvNode* audioPort = nullptr;
  LilvNode* controlPort = nullptr;
  LilvNode* cvPort = nullptr;
  LilvNode* atomPort = nullptr;
  LilvNode* inputPort = nullptr;
  LilvNode* outputPort = nullptr;
  LilvNode* midiEvent = nullptr;
  LilvNode* connectionOptional = nullptr;
  LilvNode* minimumSize = nullptr;
  LilvNode* workerSchedule = nullptr;
  LilvNode* workerInterface = nullptr;
  LilvNode* loadDefaultState = nullptr;

  // The URID map: plug-ins map while they are made, never while a block runs,
  // so a lock is fine here.
  std::mutex mapLock;
  std::unordered_map<std::string, LV2_URID> ids;
  // A deque: a URI's text never moves once mapped (what unmap returns stays
  // valid while other threads map more).
  std::deque<std::string> uris{""};
  LV2_URID_Map map{this, &Impl::MapUri};
  LV2_URID_Unmap unmap{this, &Impl::UnmapUri};

  static LV2_URID MapUri(LV2_URID_Map_Handle handle, const char* uri) {
    auto* self = static_cast<Impl*>(handle);
    if (uri == nullptr) return 0;
    std::lock_guard<std::mutex> hold(self->mapLock);
    const auto found = self->ids.find(uri);
    if (found != self->ids.end()) return found->second;
    const auto id = static_cast<LV2_URID>(self->uris.size());
    self->uris.emplace_back(uri);
    self->ids.emplace(uri, id);
    return id;
  }
  static const char* UnmapUri(LV2_URID_Unmap_Handle handle, LV2_URID urid) {
    auto* self = static_cast<Impl*>(handle);
    std::lock_guard<std::mutex> hold(self->mapLock);
    return urid > 0 && urid < self->uris.size() ? self->uris[urid].c_str() : nullptr;
  }
  LV2_URID Map(const char* uri) { return MapUri(this, uri); }

  ~Impl() {
    for (LilvNode* node : {audioPort, controlPort, cvPort, atomPort, inputPort, outputPort, midiEvent,
                           connectionOptional, minimumSize, workerSchedule, workerInterface,
                           loadDefaultState}) {
      lilv_node_free(node);
    }
    if (world != nullptr) lilv_world_free(world);
  }
};

namespace {

struct ControlPort {
  uint32_t index;
  std::string symbol;
  float minimum, maximum, fallback;
};

enum class PortUse { kAudioIn, kAudioOut, kControlIn, kControlOut, kAtomIn, kAtomOut, kCvIn, kCvOut, kNone };

class CLv2Type;

class CLv2Instance final : public IPluginInstance {
 public:
  CLv2Instance(std::shared_ptr<const CLv2Type> type, std::shared_ptr<CLv2Host::Impl> host)
      : type_(std::move(type)), host_(std::move(host)) {}
  ~CLv2Instance() override;
  bool Make(double rate, int32_t maxBlock, const std::vector<float>& controls, std::string* error);

  void ConnectInput(int32_t index, const float* buffer) override;
  void ConnectOutput(int32_t index, float* buffer) override;
  void Activate() override {
    if (!active_) lilv_instance_activate(instance_);
    active_ = true;
  }
  void Deactivate() override {
    if (active_) lilv_instance_deactivate(instance_);
    active_ = false;
  }
  void Run(int32_t frames, const CEventList& in, CEventList* out) override;
  int64_t Latency() override;
  void ListRunData(std::vector<const void*>* lines) const override;

 private:
  struct AtomBuffer {
    uint32_t port;
    bool midi;
    std::vector<uint64_t> storage;  // 8-byte aligned, as atoms need
    LV2_Atom_Sequence* Sequence() { return reinterpret_cast<LV2_Atom_Sequence*>(storage.data()); }
    uint32_t Capacity() const { return static_cast<uint32_t>(storage.size() * sizeof(uint64_t)); }
  };

  std::shared_ptr<const CLv2Type> type_;
  std::shared_ptr<CLv2Host::Impl> host_;
  LilvInstance* instance_ = nullptr;
  bool active_ = false;
  std::vector<float> values_;  // every port's control value, by port index
  std::vector<AtomBuffer> atomIns_, atomOuts_;
  std::vector<float> cvZero_, cvScratch_;
  int32_t nominal_ = 0, maximum_ = 0, minimum_ = 1;
  float rate_ = 0.0f;
  LV2_Options_Option options_[5] = {};
  LV2_Feature mapFeature_{}, unmapFeature_{}, optionsFeature_{}, boundedFeature_{};
  const LV2_Feature* features_[6] = {};
  // Only for plug-ins that use the worker extension.
  std::unique_ptr<CLv2Worker> worker_;
  LV2_URID sequenceType_ = 0, chunkType_ = 0, midiType_ = 0;
};

class CLv2Type final : public IPluginType, public std::enable_shared_from_this<CLv2Type> {
 public:
  CLv2Type(std::shared_ptr<CLv2Host::Impl> host, const LilvPlugin* plugin, std::string uri)
      : host_(std::move(host)), plugin_(plugin), id_(std::move(uri)) {}

  bool Check(std::string* error) {
    LilvNode* name = lilv_plugin_get_name(plugin_);
    name_ = name != nullptr ? NodeText(name) : id_;
    lilv_node_free(name);
    LilvNodes* required = lilv_plugin_get_required_features(plugin_);
    std::string missing;
    LILV_FOREACH(nodes, i, required) {
      const std::string feature = NodeText(lilv_nodes_get(required, i));
      bool provided = false;
      for (const char* ours : kProvidedFeatures) provided = provided || feature == ours;
      if (!provided && missing.empty()) missing = feature;
    }
    lilv_nodes_free(required);
    usesWorker_ = lilv_plugin_has_feature(plugin_, host_->workerSchedule) ||
                  lilv_plugin_has_extension_data(plugin_, host_->workerInterface);
    loadsDefaultState_ = lilv_plugin_has_feature(plugin_, host_->loadDefaultState);
    if (!missing.empty()) {
      *error = "LV2 plug-in " + id_ + " (" + name_ + ") requires the feature " + missing +
               ", which tovik-slave does not provide";
      return false;
    }
    const uint32_t count = lilv_plugin_get_num_ports(plugin_);
    uses_.assign(count, PortUse::kNone);
    latencyPort_ = lilv_plugin_has_latency(plugin_)
                       ? static_cast<int64_t>(lilv_plugin_get_latency_port_index(plugin_))
                       : -1;
    for (uint32_t p = 0; p < count; ++p) {
      const LilvPort* port = lilv_plugin_get_port_by_index(plugin_, p);
      const bool input = lilv_port_is_a(plugin_, port, host_->inputPort);
      const bool output = lilv_port_is_a(plugin_, port, host_->outputPort);
      const std::string symbol = NodeText(lilv_port_get_symbol(plugin_, port));
      if (input == output) {
        *error = "LV2 plug-in " + id_ + ": port '" + symbol + "' is neither an input nor an output";
        return false;
      }
      if (lilv_port_is_a(plugin_, port, host_->audioPort)) {
        uses_[p] = input ? PortUse::kAudioIn : PortUse::kAudioOut;
        (input ? audioIns_ : audioOuts_).push_back(p);
      } else if (lilv_port_is_a(plugin_, port, host_->controlPort)) {
        uses_[p] = input ? PortUse::kControlIn : PortUse::kControlOut;
        if (input) {
          LilvNode *def = nullptr, *min = nullptr, *max = nullptr;
          lilv_port_get_range(plugin_, port, &def, &min, &max);
          ControlPort control{p, symbol, NodeFloat(min, -INFINITY), NodeFloat(max, INFINITY), 0.0f};
          control.fallback = NodeFloat(def, std::isfinite(control.minimum) ? control.minimum : 0.0f);
          control.fallback = std::min(std::max(control.fallback, control.minimum), control.maximum);
          lilv_node_free(def);
          lilv_node_free(min);
          lilv_node_free(max);
          controls_.push_back(control);
        }
      } else if (lilv_port_is_a(plugin_, port, host_->atomPort)) {
        uses_[p] = input ? PortUse::kAtomIn : PortUse::kAtomOut;
        const bool midi = lilv_port_supports_event(plugin_, port, host_->midiEvent);
        if (midi && input && midiIn_ < 0) midiIn_ = p;
        if (midi && output && midiOut_ < 0) midiOut_ = p;
        LilvNode* size = lilv_port_get(plugin_, port, host_->minimumSize);
        if (size != nullptr && lilv_node_is_int(size)) {
          atomCapacity_ =
              std::max<size_t>(atomCapacity_, static_cast<size_t>(std::max(0, lilv_node_as_int(size))));
        }
        lilv_node_free(size);
      } else if (lilv_port_is_a(plugin_, port, host_->cvPort)) {
        uses_[p] = input ? PortUse::kCvIn : PortUse::kCvOut;
      } else if (!lilv_port_has_property(plugin_, port, host_->connectionOptional)) {
        *error = "LV2 plug-in " + id_ + ": port '" + symbol + "' is of a type tovik-slave cannot connect";
        return false;
      }
    }
    return true;
  }

  const std::string& Id() const override { return id_; }
  const std::string& Name() const override { return name_; }
  int32_t AudioInputs() const override { return static_cast<int32_t>(audioIns_.size()); }
  int32_t AudioOutputs() const override { return static_cast<int32_t>(audioOuts_.size()); }
  bool MidiInput() const override { return midiIn_ >= 0; }
  bool MidiOutput() const override { return midiOut_ >= 0; }

  std::vector<float> DefaultControls() const override {
    std::vector<float> values;
    for (const ControlPort& control : controls_) values.push_back(control.fallback);
    return values;
  }

  bool ApplySetting(const std::string& name, const std::string& value, std::vector<float>* controls,
                    std::string* error, std::string* warning) const override {
    size_t which = controls_.size();
    for (size_t i = 0; i < controls_.size(); ++i) {
      if (controls_[i].symbol == name) which = i;
    }
    if (which == controls_.size()) {
      std::string known;
      for (const ControlPort& control : controls_) known += (known.empty() ? "" : ", ") + control.symbol;
      *error = "LV2 plug-in " + id_ + " has no control input '" + name +
               "' (its controls: " + (known.empty() ? "none" : known) + ")";
      return false;
    }
    const char* text = value.c_str();
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text, &end);
    if (*text == '\0' || *end != '\0' || errno != 0 || !std::isfinite(parsed)) {
      *error = "invalid value '" + value + "' for control '" + name + "' of " + id_ + " (a number)";
      return false;
    }
    const ControlPort& control = controls_[which];
    float set = static_cast<float>(parsed);
    if (set < control.minimum || set > control.maximum) {
      set = std::min(std::max(set, control.minimum), control.maximum);
      char text2[256];
      std::snprintf(text2, sizeof text2, "%s=%s is out of the control's range (%g to %g): clamped to %g",
                    name.c_str(), value.c_str(), double{control.minimum}, double{control.maximum},
                    double{set});
      *warning = std::string(text2) + " (" + id_ + ")";
    }
    (*controls)[which] = set;
    return true;
  }

  std::unique_ptr<IPluginInstance> Instantiate(double rate, int32_t maxBlock,
                                               const std::vector<float>& controls,
                                               std::string* error) const override {
    auto instance = std::make_unique<CLv2Instance>(shared_from_this(), host_);
    if (!instance->Make(rate, maxBlock, controls, error)) return nullptr;
    return instance;
  }

  std::shared_ptr<CLv2Host::Impl> host_;
  const LilvPlugin* plugin_;
  std::string id_, name_;
  std::vector<PortUse> uses_;
  std::vector<uint32_t> audioIns_, audioOuts_;
  std::vector<ControlPort> controls_;
  int64_t midiIn_ = -1, midiOut_ = -1, latencyPort_ = -1;
  size_t atomCapacity_ = kAtomCapacity;
  bool usesWorker_ = false;
  bool loadsDefaultState_ = false;
};

CLv2Instance::~CLv2Instance() {
  if (instance_ != nullptr) {
    Deactivate();
    worker_.reset();  // its thread may be working with the instance
    lilv_instance_free(instance_);
  }
}

bool CLv2Instance::Make(double rate, int32_t maxBlock, const std::vector<float>& controls,
                        std::string* error) {
  const CLv2Type& type = *type_;
  CLv2Host::Impl& host = *host_;
  sequenceType_ = host.Map(LV2_ATOM__Sequence);
  chunkType_ = host.Map(LV2_ATOM__Chunk);
  midiType_ = host.Map(LV2_MIDI__MidiEvent);
  const LV2_URID intType = host.Map(LV2_ATOM__Int);
  const LV2_URID floatType = host.Map(LV2_ATOM__Float);
  nominal_ = maxBlock;
  maximum_ = maxBlock;
  rate_ = static_cast<float>(rate);
  options_[0] = {LV2_OPTIONS_INSTANCE, 0,       host.Map(LV2_BUF_SIZE__minBlockLength),
                 sizeof(int32_t),      intType, &minimum_};
  options_[1] = {LV2_OPTIONS_INSTANCE, 0,       host.Map(LV2_BUF_SIZE__maxBlockLength),
                 sizeof(int32_t),      intType, &maximum_};
  options_[2] = {LV2_OPTIONS_INSTANCE, 0,       host.Map(LV2_BUF_SIZE__nominalBlockLength),
                 sizeof(int32_t),      intType, &nominal_};
  options_[3] = {LV2_OPTIONS_INSTANCE, 0,         host.Map(LV2_PARAMETERS__sampleRate),
                 sizeof(float),        floatType, &rate_};
  options_[4] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
  mapFeature_ = {LV2_URID__map, &host.map};
  unmapFeature_ = {LV2_URID__unmap, &host.unmap};
  optionsFeature_ = {LV2_OPTIONS__options, options_};
  boundedFeature_ = {LV2_BUF_SIZE__boundedBlockLength, nullptr};
  features_[0] = &mapFeature_;
  features_[1] = &unmapFeature_;
  features_[2] = &optionsFeature_;
  features_[3] = &boundedFeature_;
  features_[4] = nullptr;
  if (type.usesWorker_) {
    worker_ = std::make_unique<CLv2Worker>();
    features_[4] = worker_->Feature();
  }
  features_[5] = nullptr;
  instance_ = lilv_plugin_instantiate(type.plugin_, rate, features_);
  if (instance_ == nullptr) {
    char text[64];
    std::snprintf(text, sizeof text, "%g Hz", rate);
    *error = "LV2 plug-in " + type.id_ + " (" + type.name_ + ") could not be instantiated at " + text;
    return false;
  }
  if (worker_) {
    worker_->Start(static_cast<const LV2_Worker_Interface*>(
                       lilv_instance_get_extension_data(instance_, LV2_WORKER__interface)),
                   lilv_instance_get_handle(instance_));
  }
  if (type.loadsDefaultState_) {
    // The plug-in's own description holds its default state (a sampler's
    // sample, say). Port values stay as --set or the defaults have them.
    LilvState* state = lilv_state_new_from_world(host.world, &host.map, lilv_plugin_get_uri(type.plugin_));
    if (state != nullptr) {
      lilv_state_restore(state, instance_, nullptr, nullptr, 0, features_);
      lilv_state_free(state);
    }
  }
  values_.assign(type.uses_.size(), 0.0f);
  for (size_t i = 0; i < type.controls_.size() && i < controls.size(); ++i) {
    values_[type.controls_[i].index] = controls[i];
  }
  cvZero_.assign(static_cast<size_t>(maxBlock), 0.0f);
  cvScratch_.assign(static_cast<size_t>(maxBlock), 0.0f);
  const size_t words = (type.atomCapacity_ + sizeof(uint64_t) - 1) / sizeof(uint64_t);
  for (uint32_t p = 0; p < type.uses_.size(); ++p) {
    switch (type.uses_[p]) {
      case PortUse::kControlIn:
      case PortUse::kControlOut:
        lilv_instance_connect_port(instance_, p, &values_[p]);
        break;
      case PortUse::kAtomIn:
      case PortUse::kAtomOut: {
        auto& list = type.uses_[p] == PortUse::kAtomIn ? atomIns_ : atomOuts_;
        list.push_back(AtomBuffer{
            p, static_cast<int64_t>(p) == (type.uses_[p] == PortUse::kAtomIn ? type.midiIn_ : type.midiOut_),
            std::vector<uint64_t>(words, 0)});
        break;
      }
      case PortUse::kCvIn:
        lilv_instance_connect_port(instance_, p, cvZero_.data());
        break;
      case PortUse::kCvOut:
        lilv_instance_connect_port(instance_, p, cvScratch_.data());
        break;
      case PortUse::kNone:
        lilv_instance_connect_port(instance_, p, nullptr);
        break;
      default:
        break;  // audio: the chain connects it
    }
  }
  // Connected once the lists stop growing (their storage no longer moves).
  for (AtomBuffer& buffer : atomIns_) {
    lv2_atom_sequence_clear(buffer.Sequence());
    buffer.Sequence()->atom.type = sequenceType_;
    lilv_instance_connect_port(instance_, buffer.port, buffer.Sequence());
  }
  for (AtomBuffer& buffer : atomOuts_) lilv_instance_connect_port(instance_, buffer.port, buffer.Sequence());
  return true;
}

void CLv2Instance::ConnectInput(int32_t index, const float* buffer) {
  // LV2 takes a non-const pointer for every port; inputs are only read.
  lilv_instance_connect_port(instance_, type_->audioIns_[static_cast<size_t>(index)],
                             const_cast<float*>(buffer));
}

void CLv2Instance::ConnectOutput(int32_t index, float* buffer) {
  lilv_instance_connect_port(instance_, type_->audioOuts_[static_cast<size_t>(index)], buffer);
}

// [audio path]
void CLv2Instance::Run(int32_t frames, const CEventList& in, CEventList* out) {
  for (AtomBuffer& buffer : atomIns_) {
    LV2_Atom_Sequence* sequence = buffer.Sequence();
    lv2_atom_sequence_clear(sequence);
    sequence->atom.type = sequenceType_;
    if (!buffer.midi) continue;
    const uint32_t capacity = buffer.Capacity() - static_cast<uint32_t>(sizeof(LV2_Atom));
    // A sequence is in time order; a plug-in before this one may have sent
    // its messages out of order: one earlier than the last goes at its frame.
    int32_t last = 0;
    for (size_t i = 0; i < in.Count(); ++i) {
      const CEventList::Event& event = in.At(i);
      const uint32_t need = lv2_atom_pad_size(static_cast<uint32_t>(sizeof(LV2_Atom_Event)) + event.size);
      if (sequence->atom.size + need > capacity) break;
      auto* record = lv2_atom_sequence_end(&sequence->body, sequence->atom.size);
      last = std::max(last, std::min(std::max(event.frame, 0), frames - 1));
      record->time.frames = last;
      record->body.size = event.size;
      record->body.type = midiType_;
      std::memcpy(record + 1, in.Data(event), event.size);
      sequence->atom.size += need;
    }
  }
  for (AtomBuffer& buffer : atomOuts_) {
    LV2_Atom_Sequence* sequence = buffer.Sequence();
    sequence->atom.type = chunkType_;
    sequence->atom.size = buffer.Capacity() - static_cast<uint32_t>(sizeof(LV2_Atom));
  }
  const Clock::time_point began = Clock::now();
  if (worker_) {
    worker_->EnterRun();
    lilv_instance_run(instance_, static_cast<uint32_t>(frames));
    worker_->LeaveRun();
    worker_->DeliverAnswers();
  } else {
    lilv_instance_run(instance_, static_cast<uint32_t>(frames));
  }
  CountOwnTime(began);
  if (out == nullptr) return;
  for (AtomBuffer& buffer : atomOuts_) {
    if (!buffer.midi) continue;
    LV2_Atom_Sequence* sequence = buffer.Sequence();
    const uint32_t capacity = buffer.Capacity() - static_cast<uint32_t>(sizeof(LV2_Atom));
    if (sequence->atom.type != sequenceType_ || sequence->atom.size > capacity ||
        sequence->atom.size < sizeof(LV2_Atom_Sequence_Body)) {
      continue;
    }
    // Walked within what the plug-in says it wrote and the buffer's end.
    const auto* end = reinterpret_cast<const unsigned char*>(&sequence->body) + sequence->atom.size;
    const auto* at = reinterpret_cast<const unsigned char*>(lv2_atom_sequence_begin(&sequence->body));
    while (at + sizeof(LV2_Atom_Event) <= end) {
      const auto* event = reinterpret_cast<const LV2_Atom_Event*>(at);
      if (event->body.size > static_cast<uint32_t>(end - at) - sizeof(LV2_Atom_Event)) break;
      if (event->body.type == midiType_) {
        const auto frame =
            static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(event->time.frames, 0), frames - 1));
        out->Add(frame, reinterpret_cast<const unsigned char*>(event + 1), event->body.size);
      }
      at += lv2_atom_pad_size(static_cast<uint32_t>(sizeof(LV2_Atom_Event)) + event->body.size);
    }
  }
}

void CLv2Instance::ListRunData(std::vector<const void*>* lines) const {
  // Each block clears the input sequences and sets the outputs' capacity.
  for (const std::vector<AtomBuffer>* list : {&atomIns_, &atomOuts_}) {
    if (list->empty()) continue;
    lines->push_back(list->data());
    for (const AtomBuffer& buffer : *list) lines->push_back(buffer.storage.data());
  }
}

int64_t CLv2Instance::Latency() {
  if (type_->latencyPort_ < 0) return 0;
  const float value = values_[static_cast<size_t>(type_->latencyPort_)];
  return std::isfinite(value) && value > 0.0f ? static_cast<int64_t>(std::lround(value)) : 0;
}

}  // namespace

CLv2Host::CLv2Host() : impl_(std::make_shared<Impl>()) {
  Impl& impl = *impl_;
  impl.world = lilv_world_new();
  lilv_world_load_all(impl.world);
  impl.audioPort = lilv_new_uri(impl.world, LV2_CORE__AudioPort);
  impl.controlPort = lilv_new_uri(impl.world, LV2_CORE__ControlPort);
  impl.cvPort = lilv_new_uri(impl.world, LV2_CORE__CVPort);
  impl.atomPort = lilv_new_uri(impl.world, LV2_ATOM__AtomPort);
  impl.inputPort = lilv_new_uri(impl.world, LV2_CORE__InputPort);
  impl.outputPort = lilv_new_uri(impl.world, LV2_CORE__OutputPort);
  impl.midiEvent = lilv_new_uri(impl.world, LV2_MIDI__MidiEvent);
  impl.connectionOptional = lilv_new_uri(impl.world, LV2_CORE__connectionOptional);
  impl.minimumSize = lilv_new_uri(impl.world, "http://lv2plug.in/ns/ext/resize-port#minimumSize");
  impl.workerSchedule = lilv_new_uri(impl.world, LV2_WORKER__schedule);
  impl.workerInterface = lilv_new_uri(impl.world, LV2_WORKER__interface);
  impl.loadDefaultState = lilv_new_uri(impl.world, LV2_STATE__loadDefaultState);
}

CLv2Host::~CLv2Host() = default;

uint32_t CLv2Host::MapUri(const char* uri) {
  return Impl::MapUri(impl_.get(), uri);
}

const char* CLv2Host::UnmapUri(uint32_t id) {
  return Impl::UnmapUri(impl_.get(), id);
}

std::shared_ptr<const IPluginType> CLv2Host::Find(const std::string& uri, std::string* error) {
  LilvNode* node = lilv_new_uri(impl_->world, uri.c_str());
  const LilvPlugin* plugin =
      node != nullptr ? lilv_plugins_get_by_uri(lilv_world_get_all_plugins(impl_->world), node) : nullptr;
  lilv_node_free(node);
  if (plugin == nullptr) {
    *error = "no LV2 plug-in has the URI " + uri +
             " (see tovik-slave --list-plugins; LV2_PATH sets where to look)";
    return nullptr;
  }
  auto type = std::make_shared<CLv2Type>(impl_, plugin, uri);
  if (!type->Check(error)) return nullptr;
  return type;
}

void CLv2Host::List(std::FILE* out) {
  const LilvPlugins* plugins = lilv_world_get_all_plugins(impl_->world);
  LILV_FOREACH(plugins, i, plugins) {
    const LilvPlugin* plugin = lilv_plugins_get(plugins, i);
    const std::string uri = NodeText(lilv_plugin_get_uri(plugin));
    CLv2Type type(impl_, plugin, uri);
    std::string error;
    const bool usable = type.Check(&error);
    std::fprintf(out, "%s\t%s\t%d in, %d out%s%s%s\n", uri.c_str(), type.Name().c_str(), type.AudioInputs(),
                 type.AudioOutputs(), type.MidiInput() ? ", MIDI in" : "",
                 type.MidiOutput() ? ", MIDI out" : "",
                 usable ? "" : "\t(not usable: needs something tovik-slave does not provide)");
  }
}

}  // namespace tovik::slave::hosting
