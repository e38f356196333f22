#include "formats/WireFormat.h"

#include <cstring>
#include <limits>

#include "formats/PlainMath.h"
#include "formats/SampleOps.h"
#include "formats/WireChannelOps.h"

// The wire is little-endian, as is every processor the plug-in is built for; codes 2 and 4 rely on it.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the wire format assumes a little-endian host");
static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559, "IEEE 754 single required");

const char* const kPrecisionLabels[4] = {"8bit unsigned char", "16bit signed int", "24bit imprecise float",
                                         "32bit float"};

namespace {

using tovik::formats::EncodeUnsigned8;
using tovik::formats::kPlainMath;

constexpr float kUnsigned8ToFloat = 0x1.020408p-7f;  // the float nearest 1/127, bits 0x3C010204

bool ValidCode(int32_t code) {
  return code >= 1 && code <= 4;
}

void EncodeUnsigned8Channel(const float* src, unsigned char* dst, int32_t n) {
  int32_t i = 0;
  for (; n - i >= 4; i += 4) {
    dst[i] = EncodeUnsigned8<kPlainMath>(src[i]);
    dst[i + 1] = EncodeUnsigned8<kPlainMath>(src[i + 1]);
    dst[i + 2] = EncodeUnsigned8<kPlainMath>(src[i + 2]);
    dst[i + 3] = EncodeUnsigned8<kPlainMath>(src[i + 3]);
  }
  for (; i < n; ++i) dst[i] = EncodeUnsigned8<kPlainMath>(src[i]);
}

void DecodeUnsigned8Channel(const unsigned char* src, float* dst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) dst[i] = static_cast<float>(src[i] - 128) * kUnsigned8ToFloat;
}

// Bytes 1..3 of each little-endian single.
void EncodeFloat24Channel(const float* src, unsigned char* dst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    uint32_t bits;
    std::memcpy(&bits, &src[i], sizeof bits);
    unsigned char* out = dst + 3 * static_cast<size_t>(i);
    out[0] = static_cast<unsigned char>(bits >> 8);
    out[1] = static_cast<unsigned char>(bits >> 16);
    out[2] = static_cast<unsigned char>(bits >> 24);
  }
}

void DecodeFloat24Channel(const unsigned char* src, float* dst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    const unsigned char* in = src + 3 * static_cast<size_t>(i);
    const uint32_t bits = (uint32_t{in[0]} << 8) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 24);
    std::memcpy(&dst[i], &bits, sizeof bits);
  }
}

constexpr WireChannelOpsTable kPlainWireChannelOps = {EncodeUnsigned8Channel, DecodeUnsigned8Channel,
                                                      EncodeFloat24Channel, DecodeFloat24Channel};

}  // namespace

WireChannelOpsTable WireChannelOps = kPlainWireChannelOps;

const WireChannelOpsTable& PlainWireChannelOps() {
  return kPlainWireChannelOps;
}

int32_t EncodeChannel(int32_t code, const float* src, unsigned char* dst, int32_t n) {
  if (!ValidCode(code) || n <= 0 || dst == nullptr || n > std::numeric_limits<int32_t>::max() / code)
    return 0;
  const int32_t bytes = n * code;
  if (src == nullptr) {
    std::memset(dst, code == 1 ? 128 : 0, static_cast<size_t>(bytes));
    return bytes;
  }
  switch (code) {
    case 1:
      WireChannelOps.EncodeUnsigned8(src, dst, n);
      break;
    case 2:
      // The 16-bit slot accesses its int16 buffer byte-wise, so any address of the wire area is fine.
      SampleOps.FloatToShort(src, reinterpret_cast<int16_t*>(dst), n);
      break;
    case 3:
      WireChannelOps.EncodeFloat24(src, dst, n);
      break;
    default:
      std::memcpy(dst, src, static_cast<size_t>(bytes));
      break;
  }
  return bytes;
}

void DecodeChannel(int32_t code, const unsigned char* src, float* dst, int32_t n) {
  if (!ValidCode(code) || n <= 0 || src == nullptr || dst == nullptr) return;
  switch (code) {
    case 1:
      WireChannelOps.DecodeUnsigned8(src, dst, n);
      break;
    case 2:
      SampleOps.ShortToFloat(reinterpret_cast<const int16_t*>(src), dst, n);
      break;
    case 3:
      WireChannelOps.DecodeFloat24(src, dst, n);
      break;
    default:
      std::memcpy(dst, src, sizeof(float) * static_cast<size_t>(n));
      break;
  }
}
