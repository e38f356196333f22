/* An LV2 test plug-in that uses the worker extension: every note-on it gets
 * is scheduled as work; the work answers with the note an octave higher, its
 * velocity 2 when it was worked on another thread than the run's (1 when on
 * the same); each answer is sent as a MIDI message at frame 0 of the next
 * run. A note-on of note 0 asks for a request larger than any host's ring
 * (refused), then reports the refusal as note 1. */
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

enum { kMidiIn, kMidiOut, kPorts };
enum { kMostPending = 64 };

typedef struct {
  const LV2_Atom_Sequence* in;
  LV2_Atom_Sequence* out;
  LV2_Worker_Schedule* schedule;
  LV2_URID midiEvent, sequence;
  pthread_t runThread;
  unsigned char pending[kMostPending][3];
  int pendingCount;
  unsigned char big[1 << 20];
} Worker;

static LV2_Handle Instantiate(const LV2_Descriptor* descriptor, double rate, const char* path,
                              const LV2_Feature* const* features) {
  (void)descriptor;
  (void)rate;
  (void)path;
  LV2_URID_Map* map = NULL;
  LV2_Worker_Schedule* schedule = NULL;
  for (int i = 0; features && features[i]; ++i) {
    if (!strcmp(features[i]->URI, LV2_URID__map)) map = (LV2_URID_Map*)features[i]->data;
    if (!strcmp(features[i]->URI, LV2_WORKER__schedule)) schedule = (LV2_Worker_Schedule*)features[i]->data;
  }
  if (!map || !schedule) return NULL;
  Worker* self = (Worker*)calloc(1, sizeof(Worker));
  if (!self) return NULL;
  self->schedule = schedule;
  self->midiEvent = map->map(map->handle, LV2_MIDI__MidiEvent);
  self->sequence = map->map(map->handle, LV2_ATOM__Sequence);
  return self;
}

static void Connect(LV2_Handle handle, uint32_t port, void* data) {
  Worker* self = (Worker*)handle;
  if (port == kMidiIn) self->in = (const LV2_Atom_Sequence*)data;
  if (port == kMidiOut) self->out = (LV2_Atom_Sequence*)data;
}

static void Run(LV2_Handle handle, uint32_t frames) {
  Worker* self = (Worker*)handle;
  (void)frames;
  __atomic_store_n(&self->runThread, pthread_self(), __ATOMIC_RELEASE);
  /* The answers of the works done since the last run. */
  const uint32_t capacity = self->out->atom.size;
  self->out->atom.type = self->sequence;
  self->out->atom.size = sizeof(LV2_Atom_Sequence_Body);
  self->out->body.unit = 0;
  self->out->body.pad = 0;
  for (int i = 0; i < self->pendingCount; ++i) {
    const uint32_t need = lv2_atom_pad_size(sizeof(LV2_Atom_Event) + 3);
    if (self->out->atom.size + need > capacity) break;
    LV2_Atom_Event* event = lv2_atom_sequence_end(&self->out->body, self->out->atom.size);
    event->time.frames = 0;
    event->body.size = 3;
    event->body.type = self->midiEvent;
    memcpy(event + 1, self->pending[i], 3);
    self->out->atom.size += need;
  }
  self->pendingCount = 0;
  LV2_ATOM_SEQUENCE_FOREACH(self->in, event) {
    const unsigned char* midi = (const unsigned char*)(event + 1);
    if (event->body.type != self->midiEvent || event->body.size != 3 || (midi[0] & 0xF0) != 0x90 || !midi[2])
      continue;
    if (midi[1] == 0) {
      /* Too large for any ring: must be refused, not crash or hang. */
      const LV2_Worker_Status status =
          self->schedule->schedule_work(self->schedule->handle, sizeof self->big, self->big);
      if (status == LV2_WORKER_ERR_NO_SPACE && self->pendingCount < kMostPending) {
        self->pending[self->pendingCount][0] = 0x90;
        self->pending[self->pendingCount][1] = 1;
        self->pending[self->pendingCount][2] = 1;
        ++self->pendingCount;
      }
      continue;
    }
    self->schedule->schedule_work(self->schedule->handle, 3, midi);
  }
}

static LV2_Worker_Status Work(LV2_Handle handle, LV2_Worker_Respond_Function respond,
                              LV2_Worker_Respond_Handle to, uint32_t size, const void* data) {
  Worker* self = (Worker*)handle;
  if (size != 3) return LV2_WORKER_ERR_UNKNOWN;
  const unsigned char* midi = (const unsigned char*)data;
  const pthread_t run = __atomic_load_n(&self->runThread, __ATOMIC_ACQUIRE);
  const unsigned char answer[3] = {midi[0], (unsigned char)((midi[1] + 12) & 0x7F),
                                   (unsigned char)(pthread_equal(run, pthread_self()) ? 1 : 2)};
  return respond(to, 3, answer);
}

static LV2_Worker_Status WorkResponse(LV2_Handle handle, uint32_t size, const void* data) {
  Worker* self = (Worker*)handle;
  if (size != 3 || self->pendingCount >= kMostPending) return LV2_WORKER_ERR_UNKNOWN;
  memcpy(self->pending[self->pendingCount++], data, 3);
  return LV2_WORKER_SUCCESS;
}

static const void* ExtensionData(const char* uri) {
  static const LV2_Worker_Interface worker = {Work, WorkResponse, NULL};
  return strcmp(uri, LV2_WORKER__interface) == 0 ? &worker : NULL;
}

static void Cleanup(LV2_Handle handle) {
  free(handle);
}

static const LV2_Descriptor kDescriptor = {
    "urn:tovik:test:worker", Instantiate, Connect, NULL, Run, NULL, Cleanup, ExtensionData};

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
  return index == 0 ? &kDescriptor : NULL;
}
