// The plain variants of the sample operations: portable C++ that runs on any processor. They are the
// initial content of `SampleOps` and stay there for every slot the processor-specific selection does not
// replace. Callers never name them; they go through `SampleOps` (tests reach them through
// `PlainSampleOps()`). Rules and argument order: see SampleOpsTable.
#pragma once

#include <cstdint>

namespace tovik::formats::plain {

void Swap16(void* buffer, int32_t count);
void Swap24(void* buffer, int32_t count);
void Swap32(void* buffer, int32_t count);
void Swap64(void* buffer, int32_t count);

void ShortToFloat(const int16_t* src, float* dst, int32_t count);
void ShortToDouble(const int16_t* src, double* dst, int32_t count);
void FloatToShort(const float* src, int16_t* dst, int32_t count);
void DoubleToShort(const double* src, int16_t* dst, int32_t count);

void Int24ToFloat(const uint8_t* src, float* dst, int32_t count);
void Int24ToDouble(const uint8_t* src, double* dst, int32_t count);
void FloatToInt24(const float* src, uint8_t* dst, int32_t count);
void DoubleToInt24(const double* src, uint8_t* dst, int32_t count);

void Int32ToFloat(const int32_t* src, float* dst, int32_t count);
void Int32ToDouble(const int32_t* src, double* dst, int32_t count);
void IntNToFloat(const int32_t* src, float* dst, int32_t bits, int32_t count);
void IntNToDouble(const int32_t* src, double* dst, int32_t bits, int32_t count);
void FloatToInt32(const float* src, int32_t* dst, int32_t count);
void DoubleToInt32(const double* src, int32_t* dst, int32_t count);
void FloatToIntN(const float* src, int32_t* dst, int32_t bits, int32_t count);
void DoubleToIntN(const double* src, int32_t* dst, int32_t bits, int32_t count);

void DoubleToFloat(const double* src, float* dst, int32_t count);
void FloatToDouble(const float* src, double* dst, int32_t count);

void AddFloat(float* buffer, int32_t count, double value);
void AddDouble(double* buffer, int32_t count, double value);
void AddFloatTo(const float* src, float* dst, int32_t count, double value);
void AddDoubleTo(const double* src, double* dst, int32_t count, double value);
void AccumulateFloat(const float* src, float* dst, int32_t count);
void AccumulateDouble(const double* src, double* dst, int32_t count);
void ScaleFloat(float* buffer, int32_t count, double gain);
void ScaleDouble(double* buffer, int32_t count, double gain);
void ScaleFloatTo(const float* src, float* dst, int32_t count, double gain);
void ScaleDoubleTo(const double* src, double* dst, int32_t count, double gain);
void MultiplyFloat(const float* src, float* dst, int32_t count);
void MultiplyDouble(const double* src, double* dst, int32_t count);
void MixFloat(const float* src, float* dst, int32_t count, double gain);
void MixDouble(const double* src, double* dst, int32_t count, double gain);

void RampFloat(float* buffer, int32_t count, double startGain, double endGain);
void RampDouble(double* buffer, int32_t count, double startGain, double endGain);
void RampFloatTo(const float* src, float* dst, int32_t count, double startGain, double endGain);
void RampDoubleTo(const double* src, double* dst, int32_t count, double startGain, double endGain);

void FadeFloat(float* buffer, int32_t count, double factor, double& gain);
void FadeDouble(double* buffer, int32_t count, double factor, double& gain);
void FadeFloatTo(const float* src, float* dst, int32_t count, double factor, double& gain);
void FadeDoubleTo(const double* src, double* dst, int32_t count, double factor, double& gain);

void SoftClipFloat(float* buffer, int32_t count);
void SoftClipDouble(double* buffer, int32_t count);
void SoftClipFloatTo(const float* src, float* dst, int32_t count);
void SoftClipDoubleTo(const double* src, double* dst, int32_t count);

float PeakFloat(const float* buffer, int32_t count);
double PeakDouble(const double* buffer, int32_t count);
float RmsFloat(const float* buffer, int32_t count);
double RmsDouble(const double* buffer, int32_t count);

bool SanitizeFloat(float* buffer, int32_t count);
bool SanitizeDouble(double* buffer, int32_t count);

}  // namespace tovik::formats::plain
