// The per-user store file holding any bytes. Reading a value never fails in
// any way but a false result; after a successful write, the value read back
// is the value written, and every line that is not that value's is kept.
#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzHost.h"
#include "platform/UserStore.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

const char* const kNames[] = {"NumInputs", "NumOutputs", "ConfigDlg", "TermSlave", "StereoPins",
                              "AudioPrec", "numinputs",  "",          "A",         "Name=With"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tovik::fuzz::UsePrivateStore();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static tovik::platform::UserStore store("Software\\Kestrane\\TovikFuzz");
  Check(store.Open());
  // Byte 0 picks the value written; the rest is the file.
  const unsigned pick = data[0] % 6;
  std::FILE* file = std::fopen(store.Path(), "wb");
  Check(file != nullptr);
  if (size > 1) Check(std::fwrite(data + 1, 1, size - 1, file) == size - 1);
  std::fclose(file);

  bool found[10];
  int32_t values[10];
  for (int i = 0; i < 10; ++i) {
    values[i] = 0x5A5A5A5A;
    found[i] = store.ReadInt(kNames[i], &values[i]);
    if (!found[i]) Check(values[i] == 0x5A5A5A5A);  // a failed read stores nothing
  }

  const auto written = static_cast<int32_t>(data[0] * 0x01010101u);
  if (store.WriteInt(kNames[pick], written)) {
    int32_t value = 0;
    Check(store.ReadInt(kNames[pick], &value) && value == written);
    for (int i = 0; i < 10; ++i) {
      if (strcasecmp(kNames[i], kNames[pick]) == 0) continue;
      int32_t again = 0x5A5A5A5A;
      Check(store.ReadInt(kNames[i], &again) == found[i] && again == values[i]);
    }
  }
  store.Close();
  return 0;
}
