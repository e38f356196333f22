#include "PluginChain.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "WireEvents.h"
#include "formats/WireFormat.h"
#include "link/TransferBlock.h"
#if TOVIK_HAVE_LILV
#include "Lv2Plugin.h"
#endif
#include "VstPlugin.h"

namespace tovik::slave::hosting {

std::string ChainSpec::Describe() const {
  std::string text;
  for (const ChainStage& stage : stages) {
    if (!text.empty()) text += " -> ";
    text += stage.type->Name() + " <" + stage.type->Id() + ">";
  }
  return text;
}

#if !TOVIK_HAVE_LILV
class CLv2Host {};
#endif

CChainBuilder::CChainBuilder() = default;
CChainBuilder::~CChainBuilder() = default;

CLv2Host& CChainBuilder::Lv2() {
  if (!lv2_) lv2_ = std::make_unique<CLv2Host>();
  return *lv2_;
}

namespace {

// A path names a VST 2.4 file; anything with a scheme is an LV2 URI.
bool IsLv2Uri(const std::string& id) {
  const size_t colon = id.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  for (size_t i = 0; i < colon; ++i) {
    const char c = id[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
          c == '-' || c == '.')) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool CChainBuilder::AddPlugin(const std::string& id, std::string* error) {
  std::unique_ptr<CHangWatch> watch;
  if (loadLimitMs_ > 0) {
    // The block limit is never used here: only the set-up step is watched.
    watch = std::make_unique<CHangWatch>(loadLimitMs_, loadLog_, std::string(), loadLimitMs_,
                                         "tovik-slave: hung while ", 2);
  }
  CSetupStep step(watch.get(), "loading the plug-in " + id + " at start (--setup-ms " +
                                   std::to_string(loadLimitMs_) + "): nothing started");
  std::shared_ptr<const IPluginType> type;
  if (IsLv2Uri(id)) {
#if TOVIK_HAVE_LILV
    type = Lv2().Find(id, error);
#else
    *error = "cannot host the LV2 plug-in " + id + ": this tovik-slave was built without lilv (liblilv-dev)";
#endif
  } else if (VstLoadsInAChild(id, (loadLimitMs_ > 0 ? loadLimitMs_ : CHangWatch::kDefaultSetupMs) + 1000,
                              error)) {
    // Loaded first in a child process, so that one that crashes while it is
    // loaded is an error here rather than the slave's end (one that hangs is
    // ended by the watch above, a second before the child's own limit).
    type = FindVstPlugin(id, error);
  }
  if (!type) return false;
  spec_.stages.push_back(ChainStage{type, type->DefaultControls()});
  return true;
}

bool CChainBuilder::AddSetting(const std::string& text, std::string* error,
                               std::vector<std::string>* warnings) {
  if (spec_.stages.empty()) {
    *error = "--set " + text + " comes before any --plugin";
    return false;
  }
  const size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) {
    *error = "invalid setting '" + text + "' (NAME=VALUE)";
    return false;
  }
  ChainStage& stage = spec_.stages.back();
  std::string warning;
  if (!stage.type->ApplySetting(text.substr(0, equals), text.substr(equals + 1), &stage.controls, error,
                                &warning)) {
    return false;
  }
  if (!warning.empty()) warnings->push_back(warning);
  return true;
}

std::shared_ptr<const ChainSpec> CChainBuilder::Take() {
  auto spec = std::make_shared<ChainSpec>(std::move(spec_));
  spec_ = ChainSpec{};
  return spec;
}

void CChainBuilder::List(std::FILE* out) {
#if TOVIK_HAVE_LILV
  std::fprintf(out, "LV2 plug-ins (URI, name, audio inputs and outputs, MIDI):\n");
  Lv2().List(out);
#else
  std::fprintf(out, "LV2 plug-ins: none (this tovik-slave was built without lilv)\n");
#endif
  std::fprintf(out, "VST 2.4 plug-ins (file, name, audio inputs and outputs, MIDI):\n");
  ListVstPlugins(out, loadLimitMs_ > 0 ? loadLimitMs_ : CHangWatch::kDefaultSetupMs);
}

namespace {

bool AnyStageSendsEvents(const ChainSpec& spec) {
  for (const ChainStage& stage : spec.stages) {
    if (stage.type->MidiOutput()) return true;
  }
  return false;
}

}  // namespace

CPluginChain::CPluginChain(std::shared_ptr<const ChainSpec> spec)
    : spec_(std::move(spec)), sendsEvents_(AnyStageSendsEvents(*spec_)) {}

CPluginChain::~CPluginChain() {
  Release();
}

namespace {

// A rate the chain can run at: one out of range (none told yet, zero,
// negative, not a number) runs the chain at 44,100 Hz.
double UsableRate(double rate) {
  return rate > 0.0 && rate <= 1e6 ? rate : 44100.0;
}

}  // namespace

namespace {

// Asks for the cache line at address without waiting for it (never faults,
// whatever the address). A connection sleeps a block period between blocks,
// and meanwhile other processes push its data out of the caches: fetched
// one after the other as the code reaches them, the chain's pointers and
// buffers cost a full memory latency each; asked for together at the
// block's start, they arrive in parallel.
// (GCC, Clang and MinGW, the compilers the slave is built with, all have the
// builtin.)
inline void PrefetchLine(const void* address, bool write) {
  if (write) {
    __builtin_prefetch(address, 1);
  } else {
    __builtin_prefetch(address, 0);
  }
}

// The relayed time record as hosted plug-ins may trust it: a field that
// cannot be right (no positive time signature, a tempo that is no positive
// number, positions that are no numbers) loses its flag and gets a harmless
// value, so a plug-in never divides by a zero bar length or counts to NaN.
void MakeTrustworthy(VstTimeInfo* time) {
  auto drop = [time](VstInt32 flag) { time->flags &= ~flag; };
  if (!std::isfinite(time->samplePos)) time->samplePos = 0.0;
  if (!std::isfinite(time->nanoSeconds)) time->nanoSeconds = 0.0, drop(kVstNanosValid);
  if (!std::isfinite(time->ppqPos)) time->ppqPos = 0.0, drop(kVstPpqPosValid);
  if (!(std::isfinite(time->tempo) && time->tempo > 0.0 && time->tempo <= 10000.0)) {
    time->tempo = 120.0;
    drop(kVstTempoValid);
  }
  if (!std::isfinite(time->barStartPos)) time->barStartPos = 0.0, drop(kVstBarsValid);
  if (!std::isfinite(time->cycleStartPos) || !std::isfinite(time->cycleEndPos)) {
    time->cycleStartPos = time->cycleEndPos = 0.0;
    drop(kVstCyclePosValid);
  }
  if (time->timeSigNumerator <= 0 || time->timeSigDenominator <= 0) {
    time->timeSigNumerator = time->timeSigDenominator = 4;
    drop(kVstTimeSigValid);
  }
}

}  // namespace

bool CPluginChain::Matches(double rate, int32_t maxBlock, int32_t width) const {
  // Taken as Configure takes them: an unusable rate must not make the chain
  // again for every block.
  rate = UsableRate(rate);
  if (maxBlock <= 0) maxBlock = kDefaultBlock;
  maxBlock = std::min(maxBlock, kLargestBlock);
  width = std::min(std::max(width, 1), 16);
  return configured_ && rate == rate_ && maxBlock == maxBlock_ && width == width_;
}

void CPluginChain::Release() {
  Deactivate();
  retiredNs_ = PluginNanoseconds();
  for (size_t s = stages_.size(); s-- > 0;) {
    CSetupStep step(watch_, "closing " + StageName(s));
    stages_[s].instances.clear();
  }
  stages_.clear();
  runData_.clear();
  configured_ = false;
}

// [audio path]
int64_t CPluginChain::PluginNanoseconds() const {
  int64_t total = retiredNs_;
  for (const Stage& stage : stages_) {
    for (const auto& instance : stage.instances) total += instance->ProcessNanoseconds();
  }
  return total;
}

std::string CPluginChain::StageName(size_t stage) const {
  const IPluginType& type = *spec_->stages[stage].type;
  return type.Name() + " <" + type.Id() + ">";
}

bool CPluginChain::Configure(double rate, int32_t maxBlock, int32_t width, std::string* error) {
  Release();
  rate = UsableRate(rate);
  if (maxBlock <= 0) maxBlock = kDefaultBlock;
  maxBlock = std::min(maxBlock, kLargestBlock);
  width = std::min(std::max(width, 1), 16);
  rate_ = rate;
  maxBlock_ = maxBlock;
  width_ = width;
  const size_t frames = static_cast<size_t>(maxBlock);
  for (auto& set : buffers_) set.assign(static_cast<size_t>(width), std::vector<float>(frames, 0.0f));
  zero_.assign(frames, 0.0f);
  discard_.assign(frames, 0.0f);

  for (size_t s = 0; s < spec_->stages.size(); ++s) {
    const ChainStage& spec = spec_->stages[s];
    const IPluginType& type = *spec.type;
    auto& from = buffers_[s % 2];
    auto& to = buffers_[(s + 1) % 2];
    Stage stage;
    stage.midiIn = type.MidiInput();
    stage.midiOut = type.MidiOutput();
    const int32_t ins = type.AudioInputs();
    const int32_t outs = type.AudioOutputs();
    const bool grouped = ins > 0 && ins < width;
    const int32_t count = grouped ? (width + ins - 1) / ins : 1;
    std::vector<bool> written(static_cast<size_t>(width), false);
    for (int32_t k = 0; k < count; ++k) {
      std::unique_ptr<IPluginInstance> instance;
      {
        char at[64];
        std::snprintf(at, sizeof at, " at %g Hz", rate);
        CSetupStep step(watch_, "instantiating " + StageName(s) + at);
        instance = type.Instantiate(rate, maxBlock, spec.controls, error);
      }
      if (!instance) {
        Release();
        return false;
      }
      const int32_t first = grouped ? k * ins : 0;
      for (int32_t i = 0; i < ins; ++i) {
        const int32_t channel = first + i;
        instance->ConnectInput(i, channel < width ? from[static_cast<size_t>(channel)].data() : zero_.data());
      }
      // Grouped instances give back only as many outputs as they take inputs.
      const int32_t kept = grouped ? std::min(outs, ins) : outs;
      for (int32_t o = 0; o < outs; ++o) {
        const int32_t channel = first + o;
        if (o < kept && channel < width) {
          instance->ConnectOutput(o, to[static_cast<size_t>(channel)].data());
          written[static_cast<size_t>(channel)] = true;
        } else {
          instance->ConnectOutput(o, discard_.data());
        }
      }
      instance->SetTimeSource(&time_);
      stage.instances.push_back(std::move(instance));
    }
    for (int32_t c = 0; c < width; ++c) {
      if (!written[static_cast<size_t>(c)]) stage.silent.push_back(c);
    }
    stages_.push_back(std::move(stage));
  }
  // What every block touches besides the wire's audio (see PrefetchLine).
  runData_.clear();
  runData_.push_back(stages_.data());
  for (const Stage& stage : stages_) {
    runData_.push_back(stage.instances.data());
    for (const auto& instance : stage.instances) {
      runData_.push_back(instance.get());
      instance->ListRunData(&runData_);
    }
  }
  for (const auto& set : buffers_) {
    runData_.push_back(set.data());
    for (const std::vector<float>& channel : set) runData_.push_back(channel.data());
  }
  configured_ = true;
  return true;
}

void CPluginChain::Activate() {
  if (!configured_ || active_) return;
  for (size_t s = 0; s < stages_.size(); ++s) {
    CSetupStep step(watch_, "activating " + StageName(s));
    for (auto& instance : stages_[s].instances) instance->Activate();
  }
  active_ = true;
}

void CPluginChain::Deactivate() {
  if (!active_) return;
  for (size_t s = 0; s < stages_.size(); ++s) {
    CSetupStep step(watch_, "deactivating " + StageName(s));
    for (auto& instance : stages_[s].instances) instance->Deactivate();
  }
  active_ = false;
}

int64_t CPluginChain::Latency() {
  // Each plug-in's own figure within 0 to 2^31 - 1 frames: a plug-in that
  // reports nonsense cannot make the sum overflow or go negative.
  int64_t total = 0;
  for (Stage& stage : stages_) {
    if (!stage.instances.empty()) {
      total += std::min<int64_t>(std::max<int64_t>(stage.instances.front()->Latency(), 0), INT32_MAX);
    }
  }
  return total;
}

const float* CPluginChain::Output(int32_t channel) const {
  return buffers_[stages_.size() % 2][static_cast<size_t>(channel)].data();
}

// [audio path]
void CPluginChain::Run(int32_t frames, const CEventList& events, CEventList* eventsOut) {
  const CEventList* current = &events;
  int which = 0;
  for (size_t s = 0; s < stages_.size(); ++s) {
    Stage& stage = stages_[s];
    auto& to = buffers_[(s + 1) % 2];
    CEventList* sent = nullptr;
    if (stage.midiOut) {
      sent = &events_[which];
      sent->Clear();
    }
    for (size_t k = 0; k < stage.instances.size(); ++k) {
      stage.instances[k]->Run(frames, *current, k == 0 ? sent : nullptr);
    }
    for (int32_t c : stage.silent) {
      std::memset(to[static_cast<size_t>(c)].data(), 0, sizeof(float) * static_cast<size_t>(frames));
    }
    if (sent != nullptr) {
      // What a plug-in sends is what the plug-ins after it get, in time
      // order (as plug-ins take them), whatever order it sent them in.
      sent->SortByFrame();
      current = sent;
      which ^= 1;
    }
  }
  if (eventsOut == nullptr || current == &events) return;
  for (size_t i = 0; i < current->Count(); ++i) {
    const CEventList::Event& event = current->At(i);
    eventsOut->Add(event.frame, current->Data(event), event.size);
  }
}

// [audio path]
void CPluginChain::ProcessWire(int32_t precision, int32_t channels, int32_t frames, const unsigned char* in,
                               unsigned char* out, int32_t outChannels, const CEventList& events,
                               CEventList* eventsOut) {
  const int64_t channelBytes = int64_t{frames} * precision;
  for (const void* line : runData_) PrefetchLine(line, true);
  for (int32_t c = 0; c < channels; ++c) PrefetchLine(in + c * channelBytes, false);
  for (int32_t j = 0; j < outChannels; ++j) PrefetchLine(out + j * channelBytes, true);
  if (eventsOut != nullptr) eventsOut->Clear();
  VstTimeInfo block{};
  if (timeRecord_ != nullptr) {
    static_assert(sizeof(VstTimeInfo) == kTimeInfoBytes, "the wire's time record is a VstTimeInfo");
    std::memcpy(&block, timeRecord_, sizeof block);
    MakeTrustworthy(&block);
  } else {
    block.tempo = 120.0;
    block.timeSigNumerator = 4;
    block.timeSigDenominator = 4;
  }
  block.sampleRate = rate_;
  for (int32_t start = 0; start < frames; start += maxBlock_) {
    const int32_t n = std::min(maxBlock_, frames - start);
    const int64_t offset = int64_t{start} * precision;
    for (int32_t c = 0; c < width_; ++c) {
      if (c < channels) {
        DecodeChannel(precision, in + c * channelBytes + offset, Input(c), n);
      } else {
        std::memset(Input(c), 0, sizeof(float) * static_cast<size_t>(n));
      }
    }
    // This part's events, at frames from its start: those before the block
    // go first, those past its end last.
    part_.Clear();
    const bool firstPart = start == 0;
    const bool lastPart = start + n >= frames;
    for (size_t i = 0; i < events.Count(); ++i) {
      const CEventList::Event& event = events.At(i);
      int32_t frame = event.frame;
      if (frame < 0 || frame >= frames) {
        if (frame < 0 ? !firstPart : !lastPart) continue;
        frame = frame < 0 ? 0 : frames - 1;
      }
      if (frame < start || frame >= start + n) continue;
      part_.Add(frame - start, events.Data(event), event.size);
    }
    part_.SortByFrame();
    time_ = block;
    time_.samplePos = block.samplePos + start;
    if ((block.flags & kVstPpqPosValid) != 0 && (block.flags & kVstTempoValid) != 0 && start > 0) {
      time_.ppqPos = block.ppqPos + static_cast<double>(start) / rate_ * block.tempo / 60.0;
    }
    partOut_.Clear();
    Run(n, part_, eventsOut != nullptr ? &partOut_ : nullptr);
    for (int32_t j = 0; j < outChannels; ++j) {
      unsigned char* dst = out + j * channelBytes + offset;
      if (j < width_) {
        EncodeChannel(precision, Output(j), dst, n);
      } else {
        std::memset(dst, precision == 1 ? 128 : 0, static_cast<size_t>(int64_t{n} * precision));
      }
    }
    if (eventsOut != nullptr) {
      for (size_t i = 0; i < partOut_.Count(); ++i) {
        const CEventList::Event& event = partOut_.At(i);
        eventsOut->Add(event.frame + start, partOut_.Data(event), event.size);
      }
    }
  }
}

}  // namespace tovik::slave::hosting
