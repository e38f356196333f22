#include "formats/SimdSelect.h"

#include "formats/CpuInfo.h"
#include "formats/Sse2SampleOps.h"
#include "formats/SseSampleOps.h"

namespace tovik::formats {

bool InstallSseOps(SampleOpsTable& table, uint32_t features, SimdBuild build) {
  if ((features & kCpuFeatureSse) == 0) return false;
  table.AddFloat = sse::AddFloat;
  table.AddFloatTo = sse::AddFloatTo;
  table.AccumulateFloat = sse::AccumulateFloat;
  table.ScaleFloat = sse::ScaleFloat;
  table.ScaleFloatTo = sse::ScaleFloatTo;
  table.MultiplyFloat = sse::MultiplyFloat;
  table.MixFloat = sse::MixFloat;
  table.SoftClipFloat = sse::SoftClipFloat;
  table.SoftClipFloatTo = sse::SoftClipFloatTo;
  table.PeakFloat = sse::PeakFloat;
  table.RmsFloat = sse::RmsFloat;
  if (build == SimdBuild::k32Bit && (features & kCpuFeatureMmx) != 0)
    table.FloatToShort = sse::FloatToShortMmx;
  return true;
}

bool InstallSse2Ops(SampleOpsTable& table, uint32_t features, SimdBuild build) {
  if ((features & kCpuFeatureSse2) == 0) return false;
  if (build == SimdBuild::k64Bit) table.FloatToShort = sse2::FloatToShort;
  table.DoubleToShort = sse2::DoubleToShort;
  table.Int24ToFloat = sse2::Int24ToFloat;
  table.Int24ToDouble = sse2::Int24ToDouble;
  table.FloatToInt24 = sse2::FloatToInt24;
  table.DoubleToInt24 = sse2::DoubleToInt24;
  table.Int32ToFloat = sse2::Int32ToFloat;
  table.IntNToFloat = sse2::IntNToFloat;
  table.FloatToInt32 = sse2::FloatToInt32;
  table.DoubleToInt32 = sse2::DoubleToInt32;
  table.FloatToIntN = sse2::FloatToIntN;
  table.DoubleToIntN = sse2::DoubleToIntN;
  table.AddDouble = sse2::AddDouble;
  table.AddDoubleTo = sse2::AddDoubleTo;
  table.AccumulateDouble = sse2::AccumulateDouble;
  table.ScaleDouble = sse2::ScaleDouble;
  table.ScaleDoubleTo = sse2::ScaleDoubleTo;
  table.MultiplyDouble = sse2::MultiplyDouble;
  table.MixDouble = sse2::MixDouble;
  table.SoftClipDouble = sse2::SoftClipDouble;
  table.SoftClipDoubleTo = sse2::SoftClipDoubleTo;
  table.PeakDouble = sse2::PeakDouble;
  table.RmsDouble = sse2::RmsDouble;
  return true;
}

bool InstallSse2WireOps(WireChannelOpsTable& table, uint32_t features, SimdBuild build) {
  if ((features & kCpuFeatureSse2) == 0) return false;
  table.EncodeUnsigned8 =
      build == SimdBuild::k64Bit ? sse2::EncodeUnsigned8TiesAway : sse2::EncodeUnsigned8TiesEven;
  table.DecodeUnsigned8 = sse2::DecodeUnsigned8;
  table.EncodeFloat24 = sse2::EncodeFloat24;
  table.DecodeFloat24 = sse2::DecodeFloat24;
  return true;
}

}  // namespace tovik::formats

bool SelectSseOps() {
  return tovik::formats::InstallSseOps(SampleOps, CpuInfo.features);
}

bool SelectSse2Ops() {
  if (!tovik::formats::InstallSse2Ops(SampleOps, CpuInfo.features)) return false;
  tovik::formats::InstallSse2WireOps(WireChannelOps, CpuInfo.features);
  return true;
}

void UsePlainSampleOps() {
  SampleOps = PlainSampleOps();
  WireChannelOps = PlainWireChannelOps();
}
