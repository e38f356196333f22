#include "support/FakeHost.h"

#include <atomic>

namespace tovik::test {
namespace {

// The plug-in may call back from any thread (the audio path asks for the time
// on the processing thread), so the current fake is process-wide.
std::atomic<FakeHost*> currentHost{nullptr};

}  // namespace

FakeHost::FakeHost() : previous_(currentHost.exchange(this)) {}

FakeHost::~FakeHost() {
  FakeHost* expected = this;
  currentHost.compare_exchange_strong(expected, previous_);
}

audioMasterCallback FakeHost::callback() {
  return &FakeHost::Dispatch;
}

FakeHost* FakeHost::current() {
  return currentHost.load();
}

VstIntPtr VSTCALLBACK FakeHost::Dispatch(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                         void* ptr, float opt) {
  FakeHost* host = currentHost.load();
  if (!host) return 0;
  HostCall call;
  call.effect = effect;
  call.opcode = opcode;
  call.index = index;
  call.value = value;
  call.ptr = ptr;
  call.opt = opt;
  if (opcode == audioMasterCanDo && ptr) call.text = static_cast<const char*>(ptr);
  {
    std::lock_guard<std::mutex> guard(host->mutex_);
    host->calls_.push_back(call);
  }
  return host->answer(call);
}

VstIntPtr FakeHost::answer(const HostCall& call) {
  VstIntPtr result = 0;
  if (onCall && onCall(call, &result)) return result;
  const auto fixed = answers.find(call.opcode);
  if (fixed != answers.end()) return fixed->second;
  switch (call.opcode) {
    case audioMasterVersion:
      return version;
    case audioMasterCanDo: {
      const auto found = canDo.find(call.text);
      return found != canDo.end() ? found->second : 0;
    }
    case audioMasterIOChanged:
      return ioChangedAnswer;
    case audioMasterGetTime:
      return reinterpret_cast<VstIntPtr>(timeInfo);
    default:
      return 0;
  }
}

std::vector<HostCall> FakeHost::calls() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return calls_;
}

size_t FakeHost::count(VstInt32 opcode) const {
  return callsOf(opcode).size();
}

std::vector<HostCall> FakeHost::callsOf(VstInt32 opcode) const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<HostCall> found;
  for (const HostCall& call : calls_) {
    if (call.opcode == opcode) found.push_back(call);
  }
  return found;
}

std::vector<std::string> FakeHost::canDoQueries() const {
  std::vector<std::string> texts;
  for (const HostCall& call : callsOf(audioMasterCanDo)) texts.push_back(call.text);
  return texts;
}

void FakeHost::clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  calls_.clear();
}

}  // namespace tovik::test
