#include "formats/SampleOps.h"

#include "formats/PlainSampleOps.h"

namespace {

namespace plain = tovik::formats::plain;

// In slot order; a constant expression, so `SampleOps` is filled before any code of the library runs.
constexpr SampleOpsTable kPlainSampleOps = {
    plain::Swap16,        plain::Swap24,         plain::Swap32,          plain::Swap64,
    plain::ShortToFloat,  plain::ShortToDouble,  plain::FloatToShort,    plain::DoubleToShort,
    plain::Int24ToFloat,  plain::Int24ToDouble,  plain::FloatToInt24,    plain::DoubleToInt24,
    plain::Int32ToFloat,  plain::Int32ToDouble,  plain::IntNToFloat,     plain::IntNToDouble,
    plain::FloatToInt32,  plain::DoubleToInt32,  plain::FloatToIntN,     plain::DoubleToIntN,
    plain::DoubleToFloat, plain::FloatToDouble,  plain::AddFloat,        plain::AddDouble,
    plain::AddFloatTo,    plain::AddDoubleTo,    plain::AccumulateFloat, plain::AccumulateDouble,
    plain::ScaleFloat,    plain::ScaleDouble,    plain::ScaleFloatTo,    plain::ScaleDoubleTo,
    plain::MultiplyFloat, plain::MultiplyDouble, plain::MixFloat,        plain::MixDouble,
    plain::RampFloat,     plain::RampDouble,     plain::RampFloatTo,     plain::RampDoubleTo,
    plain::FadeFloat,     plain::FadeDouble,     plain::FadeFloatTo,     plain::FadeDoubleTo,
    plain::SoftClipFloat, plain::SoftClipDouble, plain::SoftClipFloatTo, plain::SoftClipDoubleTo,
    plain::PeakFloat,     plain::PeakDouble,     plain::RmsFloat,        plain::RmsDouble,
    plain::SanitizeFloat, plain::SanitizeDouble,
};

}  // namespace

SampleOpsTable SampleOps = kPlainSampleOps;

const SampleOpsTable& PlainSampleOps() {
  return kPlainSampleOps;
}
