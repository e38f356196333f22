// The walk over the slave's events: the bytes of two msgEvents messages (the
// input split at a point it chooses) lie in the incoming event area in turn;
// the plug-in keeps the whole records and hands them to the host one call
// each. Every event the host receives must be a MIDI or SysEx event whose
// data lies inside the plug-in's own copy of the records.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "FuzzHost.h"
#include "relay/Tovik.h"
#include "support/TovikInspector.h"

namespace {

CTovik* plugin = nullptr;
size_t eventsSeen = 0;

void Check(bool condition) {
  if (!condition) std::abort();
}

void OnEvents(const VstEvents* events) {
  Check(events && events->numEvents == 1 && events->events[0]);
  const VstEvent* event = events->events[0];
  ++eventsSeen;
  if (event->type == kVstMidiType) {
    const auto* midi = reinterpret_cast<const VstMidiEvent*>(event);
    Check(midi->reserved1 == 0 && midi->reserved2 == 0);
    return;
  }
  Check(event->type == kVstSysExType);
  const auto* sysex = reinterpret_cast<const VstMidiSysexEvent*>(event);
  Check(sysex->dumpBytes >= 0 && sysex->resvd1 == 0 && sysex->resvd2 == 0);
  const unsigned char* area = TovikInspector::SlaveEvents(*plugin);
  const auto* dump = reinterpret_cast<const unsigned char*>(sysex->sysexDump);
  Check(dump >= area && dump + sysex->dumpBytes <= area + TovikInspector::SlaveEventCapacity(*plugin));
  // Touch every byte, as a host that copies the dump would.
  volatile unsigned sum = 0;
  for (VstInt32 i = 0; i < sysex->dumpBytes; ++i) sum = sum + dump[i];
}

void Deliver(const uint8_t* data, size_t size) {
  TransferBlock* block = TovikInspector::Block(*plugin);
  if (size > static_cast<size_t>(kEventAreaSize)) size = kEventAreaSize;
  std::memcpy(block->inEvents, data, size);
  block->inEventLength = static_cast<int32_t>(size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tovik::fuzz::UsePrivateStore();
  tovik::fuzz::HostAnswers().onEvents = &OnEvents;
  plugin = new CTovik(tovik::fuzz::HostCallback());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // Byte 0: where the first message ends; bit 7 of byte 1: whether the host
  // takes events at all.
  const size_t split = size > 2 ? data[0] % (size - 1) : 0;
  TovikInspector::SetHostReceivesEvents(*plugin, (data[1] & 0x80) == 0);
  const uint8_t* records = data + 2;
  const size_t length = size - 2;
  const size_t first = split < length ? split : length;

  eventsSeen = 0;
  Deliver(records, first);
  TovikInspector::KeepSlaveEvents(*plugin);
  Check(TovikInspector::Block(*plugin)->inEventLength == 0);
  Deliver(records + first, length - first);
  TovikInspector::KeepSlaveEvents(*plugin);
  TovikInspector::ForwardSlaveEvents(*plugin);
  Check(TovikInspector::Block(*plugin)->inEventLength == 0);
  // Each record is at least a tag and a SysEx event's fixed part long.
  Check(eventsSeen <= length / (1 + kSysexFixedPart));
  return 0;
}
