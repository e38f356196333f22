// The local block: its initial contents, the two roles and Reopen.
#include <gtest/gtest.h>

#include <cstring>

#include "link/SlaveLocalMem.h"

namespace {

TEST(SlaveLocalMem, FreshBlockHasOnlyItsMagic) {
  CSlaveLocalMem mem;
  const TransferBlock* block = mem.Block();
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(block) % 16);
  const auto* bytes = reinterpret_cast<const unsigned char*>(block);
  EXPECT_EQ(0, std::memcmp(bytes, "KTKT", 4));
  size_t nonZero = 0;
  for (size_t i = 4; i < sizeof(TransferBlock); ++i) nonZero += bytes[i] != 0;
  EXPECT_EQ(0u, nonZero);
  EXPECT_FALSE(mem.IsAttachedA());
  EXPECT_FALSE(mem.IsAttachedB());
}

TEST(SlaveLocalMem, OpenReturnsTheSameBlockUntouched) {
  CSlaveLocalMem mem;
  TransferBlock* block = mem.Block();
  block->msgCode = 11;
  block->sideAAttached = 1;
  block->outEventLength = 31;
  EXPECT_EQ(block, mem.Open());
  EXPECT_EQ(11, block->msgCode);
  EXPECT_EQ(1, block->sideAAttached);
  EXPECT_EQ(31, block->outEventLength);
}

TEST(SlaveLocalMem, InitWritesTheHeaderOnly) {
  CSlaveLocalMem mem;
  TransferBlock* block = mem.Block();
  std::memset(block, 0x5A, sizeof(TransferBlock));
  mem.Init();
  EXPECT_EQ(0, std::memcmp(block->magic, "KTKT", 4));
  EXPECT_EQ(0, block->sideAAttached);
  EXPECT_EQ(0, block->sideAIdent1);
  EXPECT_EQ(0, block->sideAIdent2);
  EXPECT_EQ(0, block->sideBAttached);
  EXPECT_EQ(0, block->sideBIdent1);
  EXPECT_EQ(0, block->sideBIdent2);
  EXPECT_EQ(0, block->msgCode);
  EXPECT_EQ(0, block->reserved);
  EXPECT_EQ(0, block->outEventLength);
  EXPECT_EQ(0, block->inEventLength);
  EXPECT_EQ(0x5A, block->padding[0]);
  EXPECT_EQ(0x5A, block->payload[0]);
  EXPECT_EQ(0x5A5A5A5A, block->frames);
}

TEST(SlaveMemRoles, TakingRoleATwiceSucceedsBothTimes) {
  CSlaveLocalMem mem;
  EXPECT_TRUE(mem.AttachA(true));
  EXPECT_TRUE(mem.AttachA(true));
  EXPECT_TRUE(mem.IsAttachedA());
  EXPECT_EQ(1, mem.Block()->sideAAttached);
  EXPECT_FALSE(mem.IsAttachedB());
}

TEST(SlaveMemRoles, TakingAMovesAnObjectOffB) {
  CSlaveLocalMem mem;
  ASSERT_TRUE(mem.AttachB(true));
  EXPECT_EQ(1, mem.Block()->sideBAttached);
  ASSERT_TRUE(mem.AttachA(true));
  EXPECT_EQ(1, mem.Block()->sideAAttached);
  EXPECT_EQ(0, mem.Block()->sideBAttached);
  EXPECT_TRUE(mem.HoldsRoleA());
  EXPECT_FALSE(mem.HoldsRoleB());
  ASSERT_TRUE(mem.AttachB(true));  // and back
  EXPECT_EQ(0, mem.Block()->sideAAttached);
  EXPECT_EQ(1, mem.Block()->sideBAttached);
}

TEST(SlaveMemRoles, ARoleHeldByAnotherPartyIsNeverTaken) {
  CSlaveLocalMem mem;
  mem.Block()->sideAAttached = 1;
  EXPECT_FALSE(mem.AttachA(true));
  EXPECT_FALSE(mem.HoldsRoleA());
  EXPECT_EQ(1, mem.Block()->sideAAttached);
  EXPECT_TRUE(mem.IsAttachedA());  // reports the block's byte, not the object's record

  mem.Block()->sideBAttached = 1;
  EXPECT_FALSE(mem.AttachB(true));
  EXPECT_FALSE(mem.HoldsRoleB());
}

TEST(SlaveMemRoles, GivingUpARoleNotHeldChangesNothing) {
  CSlaveLocalMem mem;
  mem.Block()->sideAAttached = 1;  // someone else's
  EXPECT_TRUE(mem.AttachA(false));
  EXPECT_EQ(1, mem.Block()->sideAAttached);
  EXPECT_TRUE(mem.AttachB(false));
  EXPECT_EQ(0, mem.Block()->sideBAttached);
}

TEST(SlaveMemRoles, GivingUpClearsTheBlockByte) {
  CSlaveLocalMem mem;
  ASSERT_TRUE(mem.AttachA(true));
  EXPECT_TRUE(mem.AttachA(false));
  EXPECT_EQ(0, mem.Block()->sideAAttached);
  EXPECT_FALSE(mem.IsAttachedA());
}

TEST(SlaveMemRoles, RecordAndBlockCanDiffer) {
  // The transport clears a side byte when a connection fails; the object's
  // record of its role stays, and taking the role again is then a no-op.
  CSlaveLocalMem mem;
  ASSERT_TRUE(mem.AttachA(true));
  mem.Block()->sideAAttached = 0;
  EXPECT_FALSE(mem.IsAttachedA());
  EXPECT_TRUE(mem.HoldsRoleA());
  EXPECT_TRUE(mem.AttachA(true));
  EXPECT_EQ(0, mem.Block()->sideAAttached);
}

TEST(SlaveMemIdent, IdentificationBytesOfBothSides) {
  CSlaveLocalMem mem;
  EXPECT_TRUE(mem.SetIdentA(1, 8));
  EXPECT_TRUE(mem.SetIdentB(3, 4));
  EXPECT_EQ(1, mem.Block()->sideAIdent1);
  EXPECT_EQ(8, mem.Block()->sideAIdent2);
  EXPECT_EQ(3, mem.Block()->sideBIdent1);
  EXPECT_EQ(4, mem.Block()->sideBIdent2);
  uint8_t b1 = 0, b2 = 0;
  mem.GetIdentB(b1, b2);
  EXPECT_EQ(3, b1);
  EXPECT_EQ(4, b2);
  mem.GetIdentA(b1, b2);
  EXPECT_EQ(1, b1);
  EXPECT_EQ(8, b2);
}

TEST(SlaveMemClose, WithoutABlockEverythingAnswersNoneOrZero) {
  CSlaveLocalMem mem;
  ASSERT_TRUE(mem.AttachA(true));
  ASSERT_TRUE(mem.SetIdentA(1, 8));
  mem.Close();
  EXPECT_EQ(nullptr, mem.Block());
  EXPECT_FALSE(mem.IsAttachedA());
  EXPECT_FALSE(mem.IsAttachedB());
  uint8_t b1 = 9, b2 = 9;
  mem.GetIdentA(b1, b2);
  EXPECT_EQ(0, b1);
  EXPECT_EQ(0, b2);
  b1 = b2 = 9;
  mem.GetIdentB(b1, b2);
  EXPECT_EQ(0, b1);
  EXPECT_EQ(0, b2);
  EXPECT_FALSE(mem.SetIdentA(1, 8));
  EXPECT_FALSE(mem.SetIdentB(1, 8));
  EXPECT_FALSE(mem.AttachA(false));
  EXPECT_FALSE(mem.AttachB(true));
  mem.Init();   // no block: nothing to do
  mem.Close();  // twice is harmless
}

TEST(SlaveMemBase, PlainObjectHasNoStorage) {
  CSlaveMem mem;
  EXPECT_EQ(nullptr, mem.Open());
  EXPECT_EQ(nullptr, mem.Block());
  EXPECT_FALSE(mem.AttachA(true));
  EXPECT_FALSE(mem.IsAttachedA());
  mem.Reopen();
  EXPECT_EQ(nullptr, mem.Block());
}

TEST(SlaveMemReopen, CarriesTheRoleIntoAFreshBlock) {
  CSlaveLocalMem mem;
  ASSERT_TRUE(mem.AttachA(true));
  mem.Block()->msgCode = 11;
  mem.Block()->outEventLength = 31;
  mem.Reopen();
  ASSERT_NE(nullptr, mem.Block());
  EXPECT_EQ(0, std::memcmp(mem.Block()->magic, "KTKT", 4));
  EXPECT_EQ(0, mem.Block()->msgCode);
  EXPECT_EQ(0, mem.Block()->outEventLength);
  EXPECT_EQ(1, mem.Block()->sideAAttached);
  EXPECT_EQ(0, mem.Block()->sideBAttached);
  EXPECT_TRUE(mem.HoldsRoleA());
}

TEST(SlaveMemReopen, WithoutRolesNothingIsMarked) {
  CSlaveLocalMem mem;
  mem.Reopen();
  ASSERT_NE(nullptr, mem.Block());
  EXPECT_EQ(0, mem.Block()->sideAAttached);
  EXPECT_EQ(0, mem.Block()->sideBAttached);
  EXPECT_FALSE(mem.HoldsRoleA());
  EXPECT_FALSE(mem.HoldsRoleB());
}

// A storage whose new blocks already show both roles taken, as a shared block
// would when another party holds them.
class CPreclaimedMem : public CSlaveLocalMem {
 public:
  void Init() override {
    CSlaveLocalMem::Init();
    if (claim) {
      Block()->sideAAttached = 1;
      Block()->sideBAttached = 1;
    }
  }
  bool claim = false;
};

TEST(SlaveMemReopen, GivesUpARoleAlreadyMarkedInTheNewBlock) {
  CPreclaimedMem mem;
  ASSERT_TRUE(mem.AttachB(true));
  mem.claim = true;
  mem.Reopen();
  ASSERT_NE(nullptr, mem.Block());
  EXPECT_FALSE(mem.HoldsRoleB());
  EXPECT_EQ(1, mem.Block()->sideBAttached);
}

}  // namespace
