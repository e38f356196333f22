// What the slave's chain needs from one hosted plug-in, whatever its format:
// a type found and checked once when the slave starts (before any connection
// process is forked), and the instances each connection makes of it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frame/VstAbi.h"

namespace tovik::slave::hosting {

// The MIDI and SysEx messages of one block (or of a part of one), in the
// order they arrived, each at its frame. Capacity is fixed when it is made:
// adding and clearing never allocate.
class CEventList {
 public:
  struct Event {
    int32_t frame;
    uint32_t offset;  // into the byte pool
    uint32_t size;
  };
  static constexpr size_t kDefaultEvents = 2048;
  static constexpr size_t kDefaultBytes = 65536;

  CEventList(size_t events = kDefaultEvents, size_t bytes = kDefaultBytes) : events_(events), bytes_(bytes) {}

  // [audio path]
  void Clear() {
    count_ = 0;
    used_ = 0;
  }
  // False (and nothing added) when the message is empty or does not fit.
  bool Add(int32_t frame, const unsigned char* data, size_t size) {
    if (size == 0 || count_ == events_.size() || size > bytes_.size() - used_) return false;
    for (size_t i = 0; i < size; ++i) bytes_[used_ + i] = data[i];
    events_[count_++] = Event{frame, static_cast<uint32_t>(used_), static_cast<uint32_t>(size)};
    used_ += size;
    return true;
  }
  // [audio path] Puts the messages in frame order, keeping the order of
  // those at the same frame (plug-ins take them in time order only).
  void SortByFrame() {
    for (size_t i = 1; i < count_; ++i) {
      const Event moving = events_[i];
      size_t j = i;
      for (; j > 0 && events_[j - 1].frame > moving.frame; --j) events_[j] = events_[j - 1];
      events_[j] = moving;
    }
  }
  size_t Count() const { return count_; }
  const Event& At(size_t i) const { return events_[i]; }
  const unsigned char* Data(const Event& event) const { return bytes_.data() + event.offset; }

 private:
  std::vector<Event> events_;
  std::vector<unsigned char> bytes_;
  size_t count_ = 0;
  size_t used_ = 0;
};

// One running instance of a plug-in. Made, connected, activated and
// deactivated off the audio path; Run is on it.
class IPluginInstance {
 public:
  virtual ~IPluginInstance() = default;
  // Buffers hold at least the maximum block length given at instantiation
  // and stay valid until the next call for the same port or the instance's
  // end. Inputs are never written by the chain while a Run is in progress.
  virtual void ConnectInput(int32_t index, const float* buffer) = 0;
  virtual void ConnectOutput(int32_t index, float* buffer) = 0;
  virtual void Activate() = 0;
  virtual void Deactivate() = 0;
  // [audio path] Processes frames (1 to the maximum block length) frames;
  // events in are at frames 0 to frames - 1; events the plug-in sends go to
  // out (when not null), in order.
  virtual void Run(int32_t frames, const CEventList& in, CEventList* out) = 0;
  // The plug-in's own latency in frames (valid after activation; for some
  // formats only after a first Run).
  virtual int64_t Latency() = 0;
  // Where the time information of the block being run is (the relayed
  // record), for formats that ask for it; set off the audio path.
  virtual void SetTimeSource(const VstTimeInfo* time) { (void)time; }
  // Appends where the instance's own data that every Run reads or writes
  // lies (one address a cache line), off the audio path: the chain asks for
  // all of it at once when a block starts, rather than meeting each line
  // cold in turn after the connection has slept a block period.
  virtual void ListRunData(std::vector<const void*>* lines) const { (void)lines; }

  // Time spent in the plug-in's own code during Runs since the instance was
  // made (its process call, its event call, its worker's answers), in
  // nanoseconds; the Run's own conversions around them are not counted.
  int64_t ProcessNanoseconds() const { return processNs_; }

 protected:
  using Clock = std::chrono::steady_clock;
  // [audio path] Counts the time since began as the plug-in's own (the
  // steady clock reads without a system call).
  void CountOwnTime(Clock::time_point began) {
    processNs_ += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - began).count();
  }

 private:
  int64_t processNs_ = 0;
};

// A plug-in found and checked at start: its ports, and the settings of one
// place in a chain.
class IPluginType {
 public:
  virtual ~IPluginType() = default;
  // Its ID as given (URI or path) and its display name.
  virtual const std::string& Id() const = 0;
  virtual const std::string& Name() const = 0;
  virtual int32_t AudioInputs() const = 0;
  virtual int32_t AudioOutputs() const = 0;
  virtual bool MidiInput() const = 0;
  virtual bool MidiOutput() const = 0;
  // The controls of one place in a chain, each at the plug-in's default.
  virtual std::vector<float> DefaultControls() const = 0;
  // Sets one control from `NAME=VALUE` text. False with a message when NAME
  // names no control or VALUE is no number; a value out of range is clamped
  // and a warning said.
  virtual bool ApplySetting(const std::string& name, const std::string& value, std::vector<float>* controls,
                            std::string* error, std::string* warning) const = 0;
  // A new instance at `rate` that never gets more than maxBlock frames a Run,
  // with its controls set. Null with a message when the plug-in refuses.
  virtual std::unique_ptr<IPluginInstance> Instantiate(double rate, int32_t maxBlock,
                                                       const std::vector<float>& controls,
                                                       std::string* error) const = 0;
};

}  // namespace tovik::slave::hosting
