// SpiOutputStream: owner of a decoded picture's two blocks.
#include <gtest/gtest.h>

#include "local_blocks.h"
#include "spi_output_stream.h"

// The blocks stand for a picture's header and pixels.
const SIZE_T kBlockSize = 40;

TEST(OutputStream, LocksOnceAndFreesOnSetAndDestruction) {
    HLOCAL info = NewBlock(kBlockSize), bits = NewBlock(kBlockSize);
    HLOCAL info2 = NewBlock(kBlockSize), bits2 = NewBlock(kBlockSize);
    {
        SpiOutputStream picture;
        EXPECT_EQ(nullptr, picture.LockInfo());
        picture.Set(info, bits);
        EXPECT_EQ(info, picture.GetInfoHandle());
        EXPECT_EQ(0u, LockCount(info)) << "Set locks nothing";
        void* first = picture.LockInfo();
        EXPECT_NE(nullptr, first);
        EXPECT_EQ(first, picture.LockInfo());
        EXPECT_EQ(1u, LockCount(info));
        EXPECT_NE(nullptr, picture.LockBits());
        EXPECT_EQ(1u, LockCount(bits));

        picture.Unlock();
        EXPECT_EQ(0u, LockCount(info));
        EXPECT_EQ(0u, LockCount(bits));
        picture.LockInfo();

        picture.Set(info2, bits2);
        EXPECT_TRUE(IsFreed(info));
        EXPECT_TRUE(IsFreed(bits));
        EXPECT_EQ(info2, picture.GetInfoHandle());
        EXPECT_EQ(bits2, picture.GetBitsHandle());
        picture.LockInfo();
        picture.LockBits();
    }
    EXPECT_TRUE(IsFreed(info2));
    EXPECT_TRUE(IsFreed(bits2));
}

TEST(OutputStream, ReleaseWithoutFreeingHandsTheBlocksOver) {
    HLOCAL info = NewBlock(kBlockSize), bits = NewBlock(kBlockSize);
    {
        SpiOutputStream picture;
        picture.Set(info, bits);
        picture.LockBits();
        picture.Release(0);
        EXPECT_EQ(nullptr, picture.GetInfoHandle());
        EXPECT_EQ(nullptr, picture.GetBitsHandle());
        EXPECT_EQ(nullptr, picture.LockBits());
    }
    EXPECT_TRUE(Allocated(info));
    EXPECT_TRUE(Allocated(bits));
    EXPECT_EQ(1u, LockCount(bits)) << "forgetting does not unlock";
    LocalUnlock(bits);

    SpiOutputStream picture;
    picture.Set(info, bits);
    picture.LockInfo();
    picture.Release(1);
    EXPECT_TRUE(IsFreed(info));
    EXPECT_TRUE(IsFreed(bits));
}

TEST(OutputStream, ABlockThatCannotBeLockedIsTriedAgain) {
    HLOCAL discarded = LocalAlloc(LMEM_MOVEABLE, 0);
    ASSERT_NE(nullptr, discarded);
    SpiOutputStream picture;
    picture.Set(discarded, nullptr);
    EXPECT_EQ(nullptr, picture.LockInfo());
    EXPECT_EQ(nullptr, picture.LockInfo());
    EXPECT_EQ(nullptr, picture.LockBits());
    picture.Release(1);
    EXPECT_EQ(nullptr, picture.GetInfoHandle());
}

TEST(OutputStream, OneBlockForBothIsFreedOnce) {
    HLOCAL both = NewBlock(kBlockSize);
    {
        SpiOutputStream picture;
        picture.Set(both, both);
        picture.LockInfo();
        picture.LockBits();
        EXPECT_EQ(2u, LockCount(both));
    }
    EXPECT_TRUE(IsFreed(both));
    EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));
}
