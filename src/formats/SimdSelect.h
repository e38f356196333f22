// Choice of the processor-specific sample-operation variants.
//
// The factory runs SelectSseOps() and then SelectSse2Ops() once, before the first plug-in object exists
// (see createEffectInstance); afterwards `SampleOps` is only read. Neither is called on the audio thread,
// and neither takes a lock: the host creates plug-ins on one thread.
#pragma once

#include <cstdint>

#include "formats/SampleOps.h"
#include "formats/WireChannelOps.h"

// Installs the SSE variants of the eleven float arithmetic slots (and, in the 32-bit build, the SSE+MMX
// FloatToShort when MMX is reported too) when `CpuInfo` reports SSE. Returns false, changing nothing,
// otherwise.
bool SelectSseOps();

// Installs the SSE2 variants of the conversions and the double arithmetic slots when `CpuInfo` reports
// SSE2 (the 32-bit build leaves FloatToShort to SelectSseOps), together with the SSE2 wire converters of
// codes 1 and 3 (`WireChannelOps`, same results as the portable ones). Returns false, changing nothing,
// otherwise.
bool SelectSse2Ops();

// Puts every slot of `SampleOps` and `WireChannelOps` back to its plain variant: for tests and for
// measuring the variants against each other.
// Must not run while another thread may call through `SampleOps`.
void UsePlainSampleOps();

namespace tovik::formats {

// The build whose slot assignment is wanted: the 32-bit build installs FloatToShort with the SSE slots.
enum class SimdBuild {
  k64Bit,
  k32Bit,
};

inline constexpr SimdBuild kSimdBuild = sizeof(void*) == 4 ? SimdBuild::k32Bit : SimdBuild::k64Bit;

// The selection behind SelectSseOps / SelectSse2Ops, on any table and any feature word (leaf 1 EDX).
// Replaces exactly the slots the features allow and returns whether the SSE (SSE2) bit was set. A second
// call with the same arguments changes nothing.
bool InstallSseOps(SampleOpsTable& table, uint32_t features, SimdBuild build = kSimdBuild);
bool InstallSse2Ops(SampleOpsTable& table, uint32_t features, SimdBuild build = kSimdBuild);

// The SSE2 wire converters of codes 1 and 3 (the 8-bit encoder with the build's rounding rule); returns
// whether the SSE2 bit was set.
bool InstallSse2WireOps(WireChannelOpsTable& table, uint32_t features, SimdBuild build = kSimdBuild);

}  // namespace tovik::formats
