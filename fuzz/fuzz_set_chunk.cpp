// The settings chunk a host restores: any bytes, any byteSize up to the bytes
// that exist (the chunk need not end in a NUL). Afterwards every setting must
// be inside its range, the chunk the plug-in writes must describe the same
// settings, and reading that chunk back must change nothing.
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

void CheckSettings(CTovik& t) {
  Check(std::memchr(I::Host(t), 0, CTovik::kHostLength + 1) != nullptr);
  Check(I::AudioPrec(t) >= 1 && I::AudioPrec(t) <= 4);
  Check(I::NumInputs(t) >= 0 && I::NumInputs(t) <= kMaxChannels);
  Check(I::NumOutputs(t) >= 1 && I::NumOutputs(t) <= kMaxChannels);
  for (VstInt32 index = 4; index <= 5; ++index) {
    const float value = t.getParameter(index);
    Check(value >= 0.0f && value <= 1.0f);
  }
}

struct Snapshot {
  char host[CTovik::kHostLength + 1];
  VstInt32 port, prec, inputs, outputs;
  bool synch, cfgDlg, trmSlave, stereo;

  explicit Snapshot(const CTovik& t)
      : port(I::Port(t)),
        prec(I::AudioPrec(t)),
        inputs(I::NumInputs(t)),
        outputs(I::NumOutputs(t)),
        synch(I::Synch(t)),
        cfgDlg(I::CfgDlg(t)),
        trmSlave(I::TrmSlave(t)),
        stereo(I::StereoPins(t)) {
    std::memcpy(host, I::Host(t), sizeof host);
  }
  bool operator==(const Snapshot& o) const {
    return std::strcmp(host, o.host) == 0 && port == o.port && prec == o.prec && inputs == o.inputs &&
           outputs == o.outputs && synch == o.synch && cfgDlg == o.cfgDlg && trmSlave == o.trmSlave &&
           stereo == o.stereo;
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tovik::fuzz::UsePrivateStore();
  plugin = new CTovik(tovik::fuzz::HostCallback());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  CTovik& t = *plugin;
  // Byte 0 shortens byteSize below the bytes that follow (0 to 3); the chunk
  // itself lies in a buffer of exactly its bytes.
  const size_t bytes = size - 1;
  const size_t cut = data[0] & 3;
  const auto byteSize = static_cast<VstInt32>(bytes > cut ? bytes - cut : 0);
  std::unique_ptr<char[]> chunk(new char[bytes ? bytes : 1]);
  if (bytes) std::memcpy(chunk.get(), data + 1, bytes);

  Check(t.setChunk(chunk.get(), byteSize, false) == 1);
  t.suspend();  // applies requested input/output changes
  CheckSettings(t);

  // What the plug-in saves describes what it holds, and loading it again
  // changes nothing.
  void* saved = nullptr;
  const VstInt32 length = t.getChunk(&saved, false);
  Check(saved && length > 0 && length <= 512);
  Check(static_cast<size_t>(length) == std::strlen(static_cast<const char*>(saved)) + 1);
  const Snapshot before(t);
  char copy[512];
  std::memcpy(copy, saved, static_cast<size_t>(length));
  Check(t.setChunk(copy, length, false) == 1);
  t.suspend();
  Check(Snapshot(t) == before);
  return 0;
}
