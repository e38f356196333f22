/* A deliberately faulty LV2 plug-in for the slave's tests: a pass-through
 * that crashes (segmentation fault) or hangs in its run once it has run the
 * number of blocks its controls say (0: never). */
#include <lv2/core/lv2.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

enum { kIn, kOut, kCrashAfter, kHangAfter, kPorts };

typedef struct {
  float* ports[kPorts];
  long runs;
} Faulty;

static LV2_Handle Instantiate(const LV2_Descriptor* descriptor, double rate, const char* path,
                              const LV2_Feature* const* features) {
  (void)descriptor;
  (void)rate;
  (void)path;
  (void)features;
  return calloc(1, sizeof(Faulty));
}

static void Connect(LV2_Handle handle, uint32_t port, void* data) {
  if (port < kPorts) ((Faulty*)handle)->ports[port] = (float*)data;
}

static void Run(LV2_Handle handle, uint32_t frames) {
  Faulty* self = (Faulty*)handle;
  ++self->runs;
  const long crashAfter = (long)*self->ports[kCrashAfter];
  const long hangAfter = (long)*self->ports[kHangAfter];
  if (crashAfter > 0 && self->runs > crashAfter) raise(SIGSEGV);
  if (hangAfter > 0 && self->runs > hangAfter) {
    for (;;) pause();
  }
  for (uint32_t i = 0; i < frames; ++i) self->ports[kOut][i] = self->ports[kIn][i];
}

static void Cleanup(LV2_Handle handle) {
  free(handle);
}

static const LV2_Descriptor kDescriptor = {"urn:tovik:test:faulty", Instantiate, Connect, NULL, Run, NULL, Cleanup,
                                           NULL};

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
  return index == 0 ? &kDescriptor : NULL;
}
