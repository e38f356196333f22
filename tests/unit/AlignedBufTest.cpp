// TAlignedBuf: aligned, zero-filled growth that never shrinks.
#include <gtest/gtest.h>

#include <cstdint>

#include "link/AlignedBuf.h"

namespace {

using Buf = TAlignedBuf<unsigned char, 16>;

bool Aligned16(const void* p) {
  return reinterpret_cast<uintptr_t>(p) % 16 == 0;
}

TEST(AlignedBuf, StartsEmpty) {
  Buf buf;
  EXPECT_EQ(nullptr, buf.Data());
  EXPECT_EQ(0, buf.Size());
  EXPECT_EQ(0, buf.Capacity());
  EXPECT_FALSE(buf.Resize(0));
  EXPECT_EQ(nullptr, buf.Data());
  EXPECT_EQ(0, buf.Size());
}

TEST(AlignedBuf, GrowthIsAlignedZeroFilledAndExact) {
  for (int32_t n : {1, 7, 16, 100, 4097}) {
    Buf buf;
    ASSERT_TRUE(buf.Resize(n));
    EXPECT_TRUE(Aligned16(buf.Data()));
    EXPECT_EQ(n, buf.Size());
    EXPECT_EQ(n, buf.Capacity());
    for (int32_t i = 0; i < n; ++i) ASSERT_EQ(0, buf.Data()[i]);
  }
}

TEST(AlignedBuf, GrowthKeepsTheContentsAndZerosTheRest) {
  Buf buf;
  ASSERT_TRUE(buf.Resize(10));
  for (int i = 0; i < 10; ++i) buf.Data()[i] = static_cast<unsigned char>(i + 1);
  ASSERT_TRUE(buf.Resize(1000));
  EXPECT_TRUE(Aligned16(buf.Data()));
  EXPECT_EQ(1000, buf.Capacity());
  for (int i = 0; i < 10; ++i) EXPECT_EQ(i + 1, buf.Data()[i]);
  for (int i = 10; i < 1000; ++i) ASSERT_EQ(0, buf.Data()[i]);
}

TEST(AlignedBuf, GrowthCopiesOnlyTheElementsInUse) {
  Buf buf;
  ASSERT_TRUE(buf.Resize(32));
  for (int i = 0; i < 32; ++i) buf.Data()[i] = 0x77;
  ASSERT_TRUE(buf.Resize(4));   // size 4, capacity 32
  ASSERT_TRUE(buf.Resize(64));  // only 4 elements travel
  for (int i = 0; i < 4; ++i) EXPECT_EQ(0x77, buf.Data()[i]);
  for (int i = 4; i < 64; ++i) ASSERT_EQ(0, buf.Data()[i]) << i;
}

TEST(AlignedBuf, SmallerSizeKeepsDataAndCapacity) {
  Buf buf;
  ASSERT_TRUE(buf.Resize(100));
  unsigned char* data = buf.Data();
  data[50] = 9;
  ASSERT_TRUE(buf.Resize(20));
  EXPECT_EQ(data, buf.Data());
  EXPECT_EQ(20, buf.Size());
  EXPECT_EQ(100, buf.Capacity());
  ASSERT_TRUE(buf.Resize(100));  // within the capacity: no new storage
  EXPECT_EQ(data, buf.Data());
  EXPECT_EQ(9, buf.Data()[50]);
  ASSERT_TRUE(buf.Resize(0));  // still has storage
  EXPECT_EQ(0, buf.Size());
  EXPECT_EQ(100, buf.Capacity());
  EXPECT_TRUE(buf.Resize(-5));  // counts as 0
  EXPECT_EQ(0, buf.Size());
}

TEST(AlignedBuf, FailedGrowthLeavesItEmpty) {
  struct Mebibyte {
    unsigned char bytes[1 << 20];
  };
  TAlignedBuf<Mebibyte, 16> buf;
  ASSERT_TRUE(buf.Resize(1));
  buf.Data()[0].bytes[0] = 1;
  EXPECT_FALSE(buf.Resize(INT32_MAX));  // 2 PiB: no allocator grants that
  EXPECT_EQ(nullptr, buf.Data());
  EXPECT_EQ(0, buf.Size());
  EXPECT_EQ(0, buf.Capacity());
  ASSERT_TRUE(buf.Resize(1));  // usable again, freshly zeroed
  EXPECT_EQ(0, buf.Data()[0].bytes[0]);
}

TEST(AlignedBuf, FreeReturnsTheStorage) {
  Buf buf;
  ASSERT_TRUE(buf.Resize(256));
  buf.Free();
  EXPECT_EQ(nullptr, buf.Data());
  EXPECT_EQ(0, buf.Size());
  EXPECT_EQ(0, buf.Capacity());
  ASSERT_TRUE(buf.Resize(8));
  EXPECT_EQ(0, buf.Data()[7]);
}

TEST(AlignedBuf, WiderElementsAndAlignments) {
  TAlignedBuf<float, 32> floats;
  ASSERT_TRUE(floats.Resize(33));
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(floats.Data()) % 32);
  EXPECT_EQ(0.0f, floats.Data()[32]);
}

}  // namespace
