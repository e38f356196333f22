// The wire's 32-bit words, read and written at any alignment in the byte
// order both ends share (the messages carry native little-endian words).
// Used on the audio path: no allocation, no failure.
#pragma once

#include <cstdint>
#include <cstring>

namespace tovik::link {

inline int32_t ReadInt32(const unsigned char* p) {
  int32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

inline void WriteInt32(unsigned char* p, int32_t value) {
  std::memcpy(p, &value, sizeof value);
}

}  // namespace tovik::link
