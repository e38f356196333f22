// Sample formats on the wire. The precision code is the number of bytes per sample:
//   1 "8bit unsigned char"     offset binary, silence 128, full scale 127 around it
//   2 "16bit signed int"       two's complement little-endian, full scale 32767
//   3 "24bit imprecise float"  the upper three bytes of a little-endian IEEE single (the low mantissa
//                              byte is dropped, truncating the magnitude toward zero)
//   4 "32bit float"            little-endian IEEE single, unchanged
// Wire audio is planar: each channel takes exactly n * code bytes, with no padding between channels.
//
// Both functions run on the audio thread: they allocate nothing, take no lock and never read or write
// beyond n samples / n * code bytes.
#pragma once

#include <cstdint>

// Display labels of the precision codes, indexed by code - 1.
extern const char* const kPrecisionLabels[4];

// Encodes one host channel of n floats into n * code wire bytes at dst and returns the number of bytes
// written. A null src (the host gave no buffer) is written as silence: bytes of 128 for code 1, zero bytes
// otherwise. Writes nothing and returns 0 for a code outside 1..4, for n <= 0 and for a null dst.
int32_t EncodeChannel(int32_t code, const float* src, unsigned char* dst, int32_t n);

// Decodes n wire samples of the given code at src into n floats at dst. Writes nothing for a code outside
// 1..4, for n <= 0 and for a null src or dst.
void DecodeChannel(int32_t code, const unsigned char* src, float* dst, int32_t n);
