// string2parameter with any index and any text, on a host that accepts
// input/output changes and asynchronous processing (all seven parameters
// live). Every setting stays inside its range, and a display text read
// back through string2parameter selects the same value.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "FuzzHost.h"
#include "relay/Tovik.h"
#include "support/TovikInspector.h"

namespace {

using I = TovikInspector;
CTovik* plugin = nullptr;

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tovik::fuzz::UsePrivateStore();
  plugin = new CTovik(tovik::fuzz::HostCallback());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  CTovik& t = *plugin;
  // Byte 0 is the index (negative and past the last parameter included); the
  // rest is the text, in a buffer of exactly its bytes and the NUL.
  const auto index = static_cast<VstInt32>(static_cast<int8_t>(data[0]));
  std::unique_ptr<char[]> text(new char[size]);
  std::memcpy(text.get(), data + 1, size - 1);
  text[size - 1] = 0;

  const bool accepted = t.string2parameter(index, text.get());
  if (index < 0 || index >= 7) Check(!accepted);
  Check(I::AudioPrec(t) >= 1 && I::AudioPrec(t) <= 4);
  for (VstInt32 i = 0; i < 7; ++i) {
    const float value = t.getParameter(i);
    Check(value >= 0.0f && value <= 1.0f);
  }

  // The host shows the display text; typing it back selects the same value.
  if (index >= 0 && index < 7) {
    char display[64] = {};
    t.getParameterDisplay(index, display);
    const float shown = t.getParameter(index);
    Check(t.string2parameter(index, display));
    Check(t.getParameter(index) == shown);
  }
  return 0;
}
