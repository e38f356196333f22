// FakeHost: a host callback for tests. The callback is a plain function
// pointer, so it reaches the fake through the one current FakeHost (the most
// recently constructed one that is still alive). Every call is recorded, and
// the answers are whatever the test put into the public members.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "frame/VstAbi.h"

namespace tovik::test {

struct HostCall {
  AEffect* effect = nullptr;
  VstInt32 opcode = 0;
  VstInt32 index = 0;
  VstIntPtr value = 0;
  void* ptr = nullptr;
  float opt = 0.0f;
  std::string text;  // ptr read as a C string for audioMasterCanDo, else empty
};

class FakeHost {
 public:
  FakeHost();
  ~FakeHost();
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;

  // The callback to hand to the plug-in; it answers 0 while no FakeHost lives.
  static audioMasterCallback callback();
  static FakeHost* current();

  // Answers. A capability missing from canDo is answered with 0.
  VstIntPtr version = 2400;
  std::map<std::string, VstIntPtr> canDo;
  VstIntPtr ioChangedAnswer = 1;
  VstTimeInfo* timeInfo = nullptr;
  // A fixed answer per opcode; it takes precedence over the members above.
  std::map<VstInt32, VstIntPtr> answers;
  // Called for every call before the answers above are looked at (outside the
  // recording lock, so it may call the plug-in back). Returning true makes
  // *answer the result.
  std::function<bool(const HostCall& call, VstIntPtr* answer)> onCall;

  // What the plug-in asked, in order.
  std::vector<HostCall> calls() const;
  size_t count(VstInt32 opcode) const;
  std::vector<HostCall> callsOf(VstInt32 opcode) const;
  // The capability texts asked through audioMasterCanDo, in order.
  std::vector<std::string> canDoQueries() const;
  void clear();

 private:
  static VstIntPtr VSTCALLBACK Dispatch(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                        void* ptr, float opt);
  VstIntPtr answer(const HostCall& call);

  FakeHost* previous_ = nullptr;
  mutable std::mutex mutex_;
  std::vector<HostCall> calls_;
};

}  // namespace tovik::test
